// `vistel render`: runs the real viewer engine (its thread, the navigator, the
// image sources) into an offscreen frame, so a project can be looked at, and
// checked, without a window.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

#include "command_line.h"
#include "commands.h"
#include "vistel/engine/viewer_engine.h"
#include "vistel/host/preset_text.h"
#include "vistel/host/property_bag.h"
#include "vistel/host/terminal_ui.h"
#include "vistel/host/vistel_control.h"
#include "vistel/imaging/jpeg_codec.h"

namespace vistel::cli {

const char* const kRenderHelp =
    "usage: vistel render PROJECT --size WxH [--goto P;X,Y;Z;]... [--preset-time MS]\n"
    "                     [--wait-ms N] [--frames-dir DIR] --out FILE\n"
    "       vistel render [--param NAME=VALUE]... [--params FILE] --size WxH ... --out FILE\n"
    "\n"
    "Loads PROJECT (a file, or - for standard input) into the viewer engine with an\n"
    "offscreen window of WxH pixels, waits until every current view has a picture,\n"
    "travels to each --goto position in turn and writes the frame then shown to\n"
    "FILE: a JPEG, or a lossless binary PPM when FILE ends in .ppm. Relative\n"
    "file:// pictures are read from the project file's folder (the current\n"
    "directory for standard input).\n"
    "\n"
    "Instead of PROJECT, the viewer control's load-time properties may be given\n"
    "(as for `vistel generate`): the project is then the one the control loads for\n"
    "them, such as the generated two-camera project, with relative file://\n"
    "pictures read from the current directory. A camera answering 401 makes it ask\n"
    "for credentials on the terminal.\n"
    "\n"
    "  --size WxH         frame size, each side 1 to 2047\n"
    "  --goto P;X,Y;Z;    a position as the preset text gives it: progress along the\n"
    "                     link (0 to 1), pan X and Y (-0.5 to 0.5), zoom (0.24 to 4);\n"
    "                     repeat it to travel on (at most 100)\n"
    "  --preset-time MS   length of each travel (0 to 60000, default 1000)\n"
    "  --wait-ms N        wait at most N ms for the pictures (default 5000)\n"
    "  --frames-dir DIR   also write every frame rendered while travelling to DIR,\n"
    "                     numbered frame-00001 on, in the format of FILE\n"
    "  --out FILE         where the frame goes\n"
    "  --param NAME=VALUE one control property (repeatable; a later one wins)\n"
    "  --params FILE      control properties, NAME=VALUE lines\n"
    "\n"
    "A progress line goes to standard error every second while it waits for\n"
    "pictures. Cameras that fail are asked again, with growing pauses, until the\n"
    "wait ends; each camera that delivered nothing by then is named, with the\n"
    "reason when one is known. Exits with 0 when the frame was written, 1 when the\n"
    "project does not load, a current view's camera delivered no picture or\n"
    "nothing could be rendered, 2 on bad arguments.\n";

namespace {

constexpr std::int64_t kMaxWaitMs = 24 * 3600 * 1000;
constexpr std::int32_t kMaxPresetTimeMs = 60000;
constexpr std::size_t kMaxGotos = 100;
constexpr std::uint32_t kProgressEveryMs = 1000;
// How long the engine may take beyond a motion's own length, or to render
// its first frames, before the command gives up.
constexpr auto kEngineSlack = std::chrono::seconds(10);

struct RenderOptions {
  std::string project;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<NavPosition> gotos;
  std::int32_t presetTimeMs = 1000;
  std::int64_t waitMs = 5000;
  std::string framesDir;
  std::string out;
};

// A --goto text read as the control reads its presets; an unreadable text
// leaves navProgress below 0, which the range check below turns away.
NavPosition parsePresetText(std::string_view text) {
  const ViewPosition v = parsePreset(text);
  return NavPosition{v.navProgress, v.xOffset, v.yOffset, v.zoomFactor, true};
}

// The ranges the host accepts for a position (NaN fails every check).
bool positionInRange(const NavPosition& p) {
  return p.navProgress >= 0 && p.navProgress <= 1 && p.zoomFactor >= 0.24f && p.zoomFactor <= 4 &&
         p.xOffset >= -0.5f && p.xOffset <= 0.5f && p.yOffset >= -0.5f && p.yOffset <= 0.5f;
}

bool parseSize(const std::string& text, RenderOptions& options) {
  const std::size_t x = text.find('x');
  std::int64_t width = 0, height = 0;
  if (x == std::string::npos ||
      !parseWholeNumber(text.substr(0, x), 1, ViewerEngine::kMaxOutputSide, width) ||
      !parseWholeNumber(text.substr(x + 1), 1, ViewerEngine::kMaxOutputSide, height)) {
    return false;
  }
  options.width = static_cast<std::int32_t>(width);
  options.height = static_cast<std::int32_t>(height);
  return true;
}

// The name's extension in lower case, dot included; empty without one.
std::string extensionOf(const std::string& name) {
  std::string tail = std::filesystem::path(name).extension().string();
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return tail;
}

bool endsWithPpm(const std::string& name) { return extensionOf(name) == ".ppm"; }

// Names that promise another picture format than the JPEG written under them.
bool namesAnotherFormat(const std::string& name) {
  const std::string tail = extensionOf(name);
  for (const char* other : {".png", ".gif", ".bmp", ".webp", ".tif", ".tiff"}) {
    if (tail == other) return true;
  }
  return false;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Binary PPM (P6): red, green and blue of every pixel, rows top first.
bool writePpm(const std::filesystem::path& path, const std::uint32_t* pixels, std::int32_t width,
              std::int32_t height) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  std::vector<std::uint8_t> rgb(std::size_t(width) * std::size_t(height) * 3);
  for (std::size_t i = 0; i < std::size_t(width) * std::size_t(height); ++i) {
    rgb[3 * i] = static_cast<std::uint8_t>(pixels[i] >> 16);
    rgb[3 * i + 1] = static_cast<std::uint8_t>(pixels[i] >> 8);
    rgb[3 * i + 2] = static_cast<std::uint8_t>(pixels[i]);
  }
  const bool written = std::fprintf(file.get(), "P6\n%d %d\n255\n", width, height) > 0 &&
                       std::fwrite(rgb.data(), 1, rgb.size(), file.get()) == rgb.size();
  return std::fclose(file.release()) == 0 && written;
}

bool writeFrame(const std::filesystem::path& path, bool ppm, const std::uint32_t* pixels,
                std::int32_t width, std::int32_t height) {
  if (ppm) return writePpm(path, pixels, width, height);
  return encodeJpegFile(path.c_str(), reinterpret_cast<const std::uint8_t*>(pixels), width, height);
}

// The offscreen window: counts the frames the engine delivers and, while
// recording, writes each to a numbered file. The engine thread calls deliver;
// the command's thread reads and switches recording.
class OffscreenSink {
 public:
  static std::int32_t deliver(void* context, const std::uint32_t* pixels, std::int32_t,
                              const FrameRect& rect) {
    auto& sink = *static_cast<OffscreenSink*>(context);
    std::lock_guard<std::mutex> guard(sink.lock_);
    ++sink.frames_;
    if (sink.folder_.empty()) return 0;
    char name[32];
    std::snprintf(name, sizeof name, "frame-%05d.%s", ++sink.recorded_, sink.ppm_ ? "ppm" : "jpg");
    if (!writeFrame(sink.folder_ / name, sink.ppm_, pixels, rect.width, rect.height)) {
      sink.failed_ = true;
    }
    return 0;
  }

  std::int64_t frames() const {
    std::lock_guard<std::mutex> guard(lock_);
    return frames_;
  }
  void record(const std::filesystem::path& folder, bool ppm) {
    std::lock_guard<std::mutex> guard(lock_);
    folder_ = folder;
    ppm_ = ppm;
  }
  // Stops recording; false when a frame could not be written.
  bool stopRecording() {
    std::lock_guard<std::mutex> guard(lock_);
    folder_.clear();
    return !failed_;
  }
  int recorded() const {
    std::lock_guard<std::mutex> guard(lock_);
    return recorded_;
  }

 private:
  mutable std::mutex lock_;
  std::int64_t frames_ = 0;       // guarded by lock_, as the rest
  std::filesystem::path folder_;  // empty: not recording
  bool ppm_ = false;
  int recorded_ = 0;
  bool failed_ = false;
};

// Waits until `done` holds or `limit` passes, checking every 10 ms.
template <class Done>
bool waitFor(Done done, std::chrono::steady_clock::duration limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Waits (at most waitMs) until every current view with a picture name has a
// picture, printing progress. Cameras that fail meanwhile are asked again as
// their backoff allows (one that serves one client at a time may refuse the
// stream right after the probe), so a failure ends nothing early. Then names
// each camera that delivered nothing, with the reason when one is known.
// False when one did not, or when no view has a picture.
bool waitForPictures(const ViewerEngine& engine, std::int64_t waitMs, Io io) {
  const auto began = std::chrono::steady_clock::now();
  auto nextProgress = began + std::chrono::milliseconds(kProgressEveryMs);
  std::vector<ViewPicture> pictures;
  auto missing = [](const ViewPicture& p) {
    return p.state == ViewPicture::State::Waiting || p.state == ViewPicture::State::Failed;
  };
  for (;;) {
    pictures = engine.currentPictures();
    const auto waiting = std::count_if(pictures.begin(), pictures.end(), missing);
    const auto now = std::chrono::steady_clock::now();
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - began).count();
    if (waiting == 0 || waited >= waitMs) break;
    if (now >= nextProgress) {
      io.err << "vistel render: waiting for pictures, " << pictures.size() - waiting << " of "
             << pictures.size() << " views have one after " << waited / 1000 << " s\n";
      io.err.flush();
      nextProgress += std::chrono::milliseconds(kProgressEveryMs);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool any = false;
  bool all = true;
  for (const ViewPicture& picture : pictures) {
    if (picture.state == ViewPicture::State::Delivered) any = true;
    if (!missing(picture)) continue;
    all = false;
    io.err << "vistel render: no picture from " << maskCredentials(picture.source) << " (view '"
           << picture.viewId << "')";
    if (!picture.reason.empty()) io.err << ": " << picture.reason;
    io.err << "\n";
  }
  return any && all;
}

// Reads the arguments into `options` and `properties` (the project comes from
// control properties when `fromProperties`, and PROJECT must not be given).
// kExitOk, or the status of the usage error reported.
int parseArguments(const std::vector<std::string>& args, RenderOptions& options,
                   PropertyBag& properties, bool& fromProperties, Io io) {
  std::vector<std::string> projects;
  CommandLine line;
  line.properties(properties);
  line.option("--size", "--size needs WxH with each side from 1 to 2047",
              [&options](const std::string& value) { return parseSize(value, options); });
  line.option("--goto", [&options](const std::string& value) -> std::string {
    const NavPosition p = parsePresetText(value);
    if (!positionInRange(p)) {
      return "--goto '" + value +
             "' is no position: give P;X,Y;Z; with P 0 to 1, X and Y -0.5 to 0.5, Z 0.24 to 4";
    }
    if (options.gotos.size() >= kMaxGotos) return "at most 100 --goto positions";
    options.gotos.push_back(p);
    return "";
  });
  line.option("--preset-time", "--preset-time needs a whole number of ms from 0 to 60000",
              [&options](const std::string& value) {
                std::int64_t ms = 0;
                if (!parseWholeNumber(value, 0, kMaxPresetTimeMs, ms)) return false;
                options.presetTimeMs = static_cast<std::int32_t>(ms);
                return true;
              });
  line.option("--wait-ms", "--wait-ms needs a whole number of ms from 0 to 86400000",
              [&options](const std::string& value) {
                return parseWholeNumber(value, 0, kMaxWaitMs, options.waitMs);
              });
  line.option("--frames-dir", "--frames-dir needs a folder", [&options](const std::string& value) {
    if (value.empty()) return false;
    options.framesDir = value;
    return true;
  });
  line.option("--out", "--out needs a file name", [&options](const std::string& value) {
    if (value.empty()) return false;
    options.out = value;
    return true;
  });
  line.words(projects, 1, [](const std::string&) { return "one PROJECT only"; });
  std::string error;
  if (!line.parse(args, error)) return usageError(io, "render", error);

  fromProperties = line.gaveProperties();
  if (fromProperties && !projects.empty()) {
    return usageError(io, "render", "give PROJECT or control properties, not both");
  }
  if (!fromProperties && (projects.empty() || projects[0].empty())) {
    return usageError(io, "render", "missing PROJECT");
  }
  if (!projects.empty()) options.project = projects[0];
  if (options.width == 0) return usageError(io, "render", "missing --size WxH");
  if (options.out.empty()) return usageError(io, "render", "missing --out FILE");
  if (namesAnotherFormat(options.out)) {
    return usageError(io, "render",
                      "--out " + options.out + ": frames are written as JPEG or, for .ppm, PPM");
  }
  return kExitOk;
}

}  // namespace

int runRender(const std::vector<std::string>& args, Io io) {
  RenderOptions options;
  PropertyBag properties;
  bool fromProperties = false;
  if (const int status = parseArguments(args, options, properties, fromProperties, io);
      status != kExitOk) {
    return status;
  }
  std::string text, reason;
  const bool ppm = endsWithPpm(options.out);

  std::error_code error;
  std::filesystem::path base;
  if (fromProperties) {
    const auto ui = TerminalUi::forTerminal();
    VistelControl control(*ui, {});  // no engine of its own: only the project text is wanted
    control.load(properties);
    text = control.Project();
    options.project = "the properties' project";
    base = std::filesystem::current_path(error);
  } else {
    if (!readInput(options.project, io, text, reason)) return usageError(io, "render", reason);
    base = options.project == "-" ? std::filesystem::current_path(error)
                                  : std::filesystem::absolute(options.project, error).parent_path();
  }
  if (!options.framesDir.empty()) {
    std::filesystem::create_directories(options.framesDir, error);
    if (error) {
      io.err << "vistel render: cannot make " << options.framesDir << ": " << error.message()
             << "\n";
      return kExitFailure;
    }
  }

  OffscreenSink sink;
  const std::unique_ptr<ViewerEngine> engine =
      ViewerEngine::create(&sink, defaultThreadStarter(), &OffscreenSink::deliver);
  engine->postEvent(kEventCreated, 0, 0);
  engine->postEvent(kEventShow, 1, 0);
  engine->postEvent(kEventSize, options.width, options.height);
  if (!engine->loadProject(text.data(), text.size(), base.string())) {
    io.err << "vistel render: " << (options.project == "-" ? "standard input" : options.project)
           << " does not load: it needs a <quilo> root whose \"startview\" names a view\n";
    return kExitFailure;
  }
  engine->setPresetTime(options.presetTimeMs);

  if (!waitForPictures(*engine, options.waitMs, io)) {
    io.err << "vistel render: not every camera delivered a picture within " << options.waitMs
           << " ms; nothing written\n";
    return kExitFailure;
  }
  // Every pass that renders from now on began after the pictures were seen
  // there, and so shows them. The engine renders only when something changed,
  // so a frame is asked for.
  const std::int64_t seen = sink.frames();
  (void)engine->postEvent(kEventRepaint, 0, 0);
  if (!waitFor([&] { return sink.frames() >= seen + 1; }, kEngineSlack)) {
    io.err << "vistel render: nothing could be rendered\n";
    return kExitFailure;
  }

  if (!options.framesDir.empty() && !options.gotos.empty()) sink.record(options.framesDir, ppm);
  for (const NavPosition& target : options.gotos) {
    engine->postPosition(std::make_unique<NavPosition>(target), MotionTime::Preset);
    const auto limit = std::chrono::milliseconds(options.presetTimeMs) + kEngineSlack;
    if (!waitFor([&] { return !engine->isMoving(); }, limit)) {
      io.err << "vistel render: a --goto position was not reached in time\n";
      return kExitFailure;
    }
  }
  const bool recorded = sink.stopRecording();
  engine->suspend();  // the frame stays as it is while it is written
  if (!recorded) {
    io.err << "vistel render: cannot write every frame into " << options.framesDir << "\n";
    return kExitFailure;
  }

  std::vector<std::uint32_t> pixels;
  std::int32_t width = 0, height = 0;
  const bool written = ppm ? engine->copyFrame(pixels, width, height) &&
                                 writePpm(options.out, pixels.data(), width, height)
                           : engine->saveSnapshot(options.out.c_str());
  if (!written) {
    io.err << "vistel render: cannot write " << options.out << "\n";
    return kExitFailure;
  }
  io.out << "wrote " << options.out << " (" << options.width << "x" << options.height;
  if (sink.recorded() > 0) io.out << ", " << sink.recorded() << " frames in " << options.framesDir;
  io.out << ")\n";
  return kExitOk;
}

}  // namespace vistel::cli
