#!/usr/bin/python3
"""An RTSP camera on 127.0.0.1 for the tests and benchmarks: GStreamer's RTSP
server (Debian's gir1.2-gst-rtsp-server-1.0, through Python's GObject
bindings) serving a known picture, live, as H.264, H.265, MJPEG and VP8.

The picture is four coloured quarters (top left red, top right green, bottom
left blue, bottom right white) with the frame number drawn over the top-left
corner as two rows of black and white 16-pixel cells, in the layout of
tools/frame_code.h, so a reader of the stream can check what it got.

Mounts: /h264, /h265, /h265-slices (four slices a picture), /mjpeg (JPEG over
RTP), /vp8 (a codec the viewer does not take) and /audio (no video at all). One encoder per mount, shared by every client. With
--recorded MOUNT=FILE, a mount sends pictures encoded beforehand (by --record)
instead, in a loop, so that large pictures go out at their rate on a machine
whose encoders could not keep up; the frame number shown is then the picture's
place in the recording, over a moving scene (ffmpeg's testsrc2) rather than
the quarters.

  --record FILE --codec h264|h265 --frames N [--size --fps --keyint]
encodes N pictures into FILE (each picture's coded bytes after a 4-byte
big-endian length) and exits.

Prints "port N" once it listens, then, for each picture as its first RTP packet
leaves, "sent FRAME MS" (MS on the monotonic millisecond clock) when --log-sent
is given. Commands on standard input, one a line:
  stall       stop sending pictures (the connections stay open)
  resume      send pictures again
  drop N      lose the next N RTP packets (or the pictures that hold them) of every
              mount that has served
  quit        stop
It exits on end of input too."""

import argparse
import collections
import os
import subprocess
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

CELL = 16
COLUMNS = 16
ROWS = 2
BITS = 24
CHECK_BITS = 6


def crc6(value):
    crc = 0
    for bit in range(BITS - 1, -1, -1):
        top = (crc >> (CHECK_BITS - 1)) & 1
        crc = (crc << 1) & 0x3F
        if ((value >> bit) & 1) ^ top:
            crc ^= 0x03
    return crc


def cells_of(number):
    number %= 1 << BITS
    cells = [True, False]
    cells += [bool((number >> (BITS - 1 - i)) & 1) for i in range(BITS)]
    check = crc6(number)
    cells += [bool((check >> (CHECK_BITS - 1 - i)) & 1) for i in range(CHECK_BITS)]
    return cells


class Picture:
    """The still part of the picture, in BGRx, and the frame code drawn over it."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        half_w, half_h = width // 2, height // 2
        top = bytes([0, 0, 255, 0]) * half_w + bytes([0, 255, 0, 0]) * (width - half_w)
        bottom = bytes([255, 0, 0, 0]) * half_w + bytes([255, 255, 255, 0]) * (width - half_w)
        self.background = top * half_h + bottom * (height - half_h)
        self.white = bytes([255, 255, 255, 0]) * CELL
        self.black = bytes(4 * CELL)

    def frame(self, number, background=None):
        """Picture `number`: the quarters, or `background` (BGRx of the same
        size), with the frame code over it."""
        data = bytearray(self.background if background is None else background)
        if self.width < (COLUMNS + 1) * CELL or self.height < (ROWS + 1) * CELL:
            return bytes(data)
        cells = cells_of(number)
        stride = self.width * 4
        for row in range(ROWS):
            line = b"".join(
                self.white if cells[row * COLUMNS + c] else self.black for c in range(COLUMNS)
            )
            for y in range((row + 1) * CELL, (row + 2) * CELL):
                start = y * stride + CELL * 4
                data[start:start + len(line)] = line
        return bytes(data)


# Encoder and payloader of each mount.
ENCODERS = {
    "h264": ("x264enc tune=zerolatency speed-preset=ultrafast key-int-max={keyint} bframes=0 "
             "threads=1 ! video/x-h264,profile=constrained-baseline",
             "rtph264pay name=pay0 pt=96 config-interval=-1"),
    "h265": ("x265enc tune=zerolatency speed-preset=ultrafast key-int-max={keyint} "
             "option-string=\"pools=1:frame-threads=1\"",
             "rtph265pay name=pay0 pt=96 config-interval=-1"),
    # Four slices a picture, as cameras that cut pictures for loss or threads send.
    "h265-slices": ("x265enc tune=zerolatency speed-preset=ultrafast key-int-max={keyint} "
                    "option-string=\"pools=1:frame-threads=1:slices=4\"",
                    "rtph265pay name=pay0 pt=96 config-interval=-1"),
    "mjpeg": ("jpegenc quality=90", "rtpjpegpay name=pay0 pt=26"),
    "vp8": ("vp8enc deadline=1 keyframe-max-dist={keyint}", "rtpvp8pay name=pay0 pt=96"),
}

# How a recording's pictures are cut and described: whole pictures, with the
# parameter sets before every key picture.
PARSERS = {
    "h264": "h264parse config-interval=-1 ! video/x-h264,stream-format=byte-stream,alignment=au",
    "h265": "h265parse config-interval=-1 ! video/x-h265,stream-format=byte-stream,alignment=au",
}


def raw_caps(args):
    return "video/x-raw,format=BGRx,width=%d,height=%d,framerate=%d/1" % (
        args.width, args.height, args.fps)


def record(args):
    """Encodes args.frames pictures of the pattern into args.record."""
    picture = Picture(args.width, args.height)
    encoder = ENCODERS[args.codec][0].format(keyint=args.keyint)
    pipeline = Gst.parse_launch(
        "appsrc name=camera format=time block=true max-bytes=%d caps=%s ! videoconvert ! "
        "video/x-raw,format=I420 ! %s ! %s ! appsink name=out sync=false emit-signals=true" % (
            4 * args.width * args.height * 4, raw_caps(args), encoder, PARSERS[args.codec]))
    part = args.record + ".part"
    out = open(part, "wb")

    def on_sample(sink):
        data = sink.emit("pull-sample").get_buffer().extract_dup(0, 2 ** 31)
        out.write(len(data).to_bytes(4, "big") + data)
        return Gst.FlowReturn.OK

    pipeline.get_by_name("out").connect("new-sample", on_sample)
    pipeline.set_state(Gst.State.PLAYING)
    source = pipeline.get_by_name("camera")
    # A moving background (ffmpeg's testsrc2, as a camera's scene is not
    # still) under the frame code.
    size = args.width * args.height * 4
    scene = subprocess.Popen(
        ["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
         "testsrc2=size=%dx%d:rate=%d" % (args.width, args.height, args.fps),
         "-frames:v", str(args.frames), "-pix_fmt", "bgr0", "-f", "rawvideo", "-"],
        stdout=subprocess.PIPE)
    for number in range(args.frames):
        background = scene.stdout.read(size)
        if len(background) < size:
            break
        buffer = Gst.Buffer.new_wrapped(picture.frame(number, background))
        buffer.pts = number * Gst.SECOND // args.fps
        buffer.duration = Gst.SECOND // args.fps
        source.emit("push-buffer", buffer)
    scene.stdout.close()
    scene.wait()
    source.emit("end-of-stream")
    message = pipeline.get_bus().timed_pop_filtered(
        Gst.CLOCK_TIME_NONE, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    out.close()
    if message.type != Gst.MessageType.EOS:
        os.unlink(part)
        return 1
    os.rename(part, args.record)
    return 0


def read_recording(path):
    """The coded pictures of a file made by record()."""
    pictures = []
    with open(path, "rb") as f:
        while True:
            head = f.read(4)
            if len(head) < 4:
                return pictures
            pictures.append(f.read(int.from_bytes(head, "big")))


class Camera:
    def __init__(self, args):
        self.args = args
        self.picture = Picture(args.width, args.height)
        self.recorded = {}  # mount -> coded pictures sent in a loop
        self.lock = threading.Lock()
        self.stalled = False  # guarded by lock
        self.drops = {}  # guarded by lock: mount -> packets still to lose
        self.mounts = set()  # guarded by lock: mounts that have served a client
        self.sources = []  # (appsrc, state) per prepared media; main loop only

    def push_frames(self):
        with self.lock:
            stalled = self.stalled
        now = time.monotonic()
        for source, state in self.sources:
            clock = source.get_clock()
            # Not playing yet: the schedule starts when it does. A live source
            # gets its clock a moment before its base time; a picture stamped in
            # that moment would carry the clock's absolute time as its running
            # time, and every later one would queue behind it for hours.
            if clock is None or source.get_base_time() == 0:
                state["start"], state["next"] = now, 0
                continue
            # Every picture due by now, on a schedule of the media's own start,
            # so the rate does not drift with the timer's granularity.
            due = int((now - state["start"]) * self.args.fps) + 1
            if stalled:
                state["next"] = due  # the pictures of a stall are never sent
            pictures = state["recorded"]
            while state["next"] < due:
                number = state["next"]
                state["next"] += 1
                if pictures:
                    number %= len(pictures)
                    buffer = Gst.Buffer.new_wrapped(pictures[number])
                else:
                    buffer = Gst.Buffer.new_wrapped(self.picture.frame(number))
                # Stamped with the pipeline's running time now, so that the
                # server sends it at once rather than holding it back to a
                # schedule that began before the client's PLAY.
                pts = clock.get_time() - source.get_base_time()
                buffer.pts = max(pts, state["last_pushed"] + 1)
                buffer.duration = Gst.SECOND // self.args.fps
                state["last_pushed"] = buffer.pts
                state["numbers"].append(number)
                source.emit("push-buffer", buffer)
        return True

    def on_configure(self, factory, media, mount):
        element = media.get_element()
        payloader = element.get_by_name("pay0")
        state = {"next": 0, "last_pts": None, "last_pushed": 0, "numbers": collections.deque(),
                 "start": time.monotonic(), "recorded": self.recorded.get(mount)}
        with self.lock:
            self.mounts.add(mount)
        source = element.get_by_name("camera")
        if source is not None:
            self.sources.append((source, state))
            media.connect("unprepared", lambda m: self.forget(source))
        payloader.get_static_pad("src").add_probe(
            Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST, self.on_packet,
            (mount, state))

    def forget(self, source):
        self.sources = [entry for entry in self.sources if entry[0] is not source]

    def on_packet(self, pad, info, context):
        mount, state = context
        # Some payloaders push a picture's packets as one list.
        if info.type & Gst.PadProbeType.BUFFER_LIST:
            packets = info.get_buffer_list()
            count = packets.length()
            buffer = packets.get(0) if count else None
        else:
            buffer = info.get_buffer()
            count = 1
        if buffer is not None and buffer.pts != state["last_pts"]:
            # A new picture: they leave in the order they were pushed.
            state["last_pts"] = buffer.pts
            frame = state["numbers"].popleft() if state["numbers"] else None
            if self.args.log_sent and frame is not None:
                print("sent %s %d %d" % (mount, frame, int(time.monotonic() * 1000) & 0xFFFFFFFF),
                      flush=True)
        with self.lock:
            left = self.drops.get(mount, 0)
            if left > 0:
                self.drops[mount] = max(0, left - count)
                return Gst.PadProbeReturn.DROP
        return Gst.PadProbeReturn.OK

    def command(self, line):
        words = line.split()
        if not words:
            return
        with self.lock:
            if words[0] == "stall":
                self.stalled = True
            elif words[0] == "resume":
                self.stalled = False
            elif words[0] == "drop" and len(words) == 2:
                for mount in self.mounts:
                    self.drops[mount] = int(words[1])
        print("ok " + words[0], flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--size", default="640x480")
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--keyint", type=int, default=25)
    parser.add_argument("--credentials", default="", help="USER:PASSWORD wanted from clients")
    parser.add_argument("--auth", choices=["basic", "digest"], default="digest")
    parser.add_argument("--recorded", action="append", default=[],
                        help="MOUNT=FILE: send FILE's pictures (made by --record) at MOUNT")
    parser.add_argument("--log-sent", action="store_true")
    parser.add_argument("--record", default="", help="encode pictures into this file and exit")
    parser.add_argument("--codec", choices=sorted(PARSERS), default="h264")
    parser.add_argument("--frames", type=int, default=0)
    args = parser.parse_args()
    args.width, args.height = (int(v) for v in args.size.split("x"))

    Gst.init(None)
    if args.record:
        return record(args)
    camera = Camera(args)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    mounts = server.get_mount_points()

    if args.credentials:
        # One user, whose role the mounts below allow.
        user, password = args.credentials.split(":", 1)
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "user")
        if args.auth == "basic":
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(user, password), token)
        else:
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
            auth.add_digest(user, password, token)
        server.set_auth(auth)

    pipelines = {}
    for name, (encoder, payloader) in ENCODERS.items():
        pipelines["/" + name] = (
            "( appsrc name=camera is-live=true format=time do-timestamp=false caps=%s "
            "! videoconvert ! video/x-raw,format=I420 ! %s ! %s )" % (
                raw_caps(args), encoder.format(keyint=args.keyint), payloader))
    # A stream without video: a camera's microphone alone.
    pipelines["/audio"] = (
        "( audiotestsrc is-live=true wave=silence ! audioconvert ! mulawenc ! "
        "rtppcmupay name=pay0 pt=0 )")
    for entry in args.recorded:
        mount, path = entry.split("=", 1)
        codec = mount.lstrip("/")
        camera.recorded[mount] = read_recording(path)
        pipelines[mount] = (
            "( appsrc name=camera is-live=true format=time do-timestamp=false "
            "caps=video/x-%s,stream-format=byte-stream,alignment=au ! %s ! %s )" % (
                codec, PARSERS[codec], ENCODERS[codec][1]))

    for mount, launch in pipelines.items():
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(True)
        if args.credentials:
            permissions = GstRtspServer.RTSPPermissions()
            permissions.add_permission_for_role("user", "media.factory.access", True)
            permissions.add_permission_for_role("user", "media.factory.construct", True)
            factory.set_permissions(permissions)
        factory.connect("media-configure", camera.on_configure, mount)
        mounts.add_factory(mount, factory)

    if server.attach(None) == 0:
        print("cannot listen", file=sys.stderr, flush=True)
        return 1
    print("port %d" % server.get_bound_port(), flush=True)

    loop = GLib.MainLoop()
    GLib.timeout_add(5, camera.push_frames)

    def read_commands():
        for line in sys.stdin:
            if line.strip() == "quit":
                break
            GLib.idle_add(camera.command, line)
        GLib.idle_add(loop.quit)

    threading.Thread(target=read_commands, daemon=True).start()
    loop.run()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
