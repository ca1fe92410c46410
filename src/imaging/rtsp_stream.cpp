#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "vistel/imaging/rtsp_stream_p.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "vistel/imaging/nal_assembler_p.h"
#include "vistel/imaging/rtsp_answer.h"
#include "vistel/platform/clock.h"

namespace vistel::detail {

namespace {

// libav prints addresses, credentials included, in its own messages; the
// viewer keeps no log of its own either.
void discardLibavLog(void*, int, const char*, va_list) {}

void initialiseLibav() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(discardLibavLog);
    avformat_network_init();
  });
}

int interruptCallback(void* opaque) {
  return static_cast<RtspStream*>(opaque)->interrupted() ? 1 : 0;
}

bool isSupportedCodec(AVCodecID id) {
  return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC || id == AV_CODEC_ID_MJPEG;
}

// The error statuses libav turns the camera's answers into.
bool statusOfError(int error, RtspResult& result, int& status) {
  switch (error) {
    case AVERROR_HTTP_UNAUTHORIZED:
      result = RtspResult::PasswordRefused;
      status = 401;
      return true;
    case AVERROR_HTTP_NOT_FOUND:
      result = RtspResult::NotFound;
      status = 404;
      return true;
    case AVERROR_HTTP_FORBIDDEN:
      result = RtspResult::ErrorStatus;
      status = 403;
      return true;
    case AVERROR_HTTP_BAD_REQUEST:
      result = RtspResult::ErrorStatus;
      status = 400;
      return true;
    case AVERROR_HTTP_OTHER_4XX:
    case AVERROR_HTTP_SERVER_ERROR:
      result = RtspResult::ErrorStatus;
      status = 0;
      return true;
    default:
      return false;
  }
}

int swsColourSpace(AVColorSpace space, int height) {
  switch (space) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    default:
      // Unsaid: what cameras of that size use.
      return height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

// Sets the fourth byte of `count` pixels to 0 (whole words, which vectorise).
static_assert(std::endian::native == std::endian::little);
void clearFourthBytes(std::uint8_t* pixels, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t word;
    std::memcpy(&word, pixels + i * 4, 4);
    word &= 0x00FFFFFFu;  // the fourth byte is the top one
    std::memcpy(pixels + i * 4, &word, 4);
  }
}

bool isFullRangeFormat(int format) {
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
         format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P ||
         format == AV_PIX_FMT_YUVJ411P;
}

}  // namespace

struct RtspStream::Libav {
  // What goes to the decoder.
  enum class Feed {
    Parsed,    // whole pictures cut by libav's parser
    Units,     // whole H.264 units, a picture decoded as its slices come
    Pictures,  // whole H.265 pictures, handed on as their last slice comes
  };

  ~Libav() {
    sws_freeContext(scaler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    av_packet_free(&unitPacket);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
  }

  AVFormatContext* format = nullptr;
  AVCodecContext* decoder = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;  // the picture last reported, until the next nextPicture()
  SwsContext* scaler = nullptr;
  const SwsContext* detailsFor = nullptr;  // the scaler the colour details below were set on
  int colourSpace = -1;
  int fullRange = -1;
  int videoStream = -1;
  // H.264 goes to the decoder unit by unit, H.265 picture by picture, both
  // rebuilt here rather than cut into pictures by libav's parser (which holds
  // each picture back until the next one begins).
  Feed feed = Feed::Parsed;
  NalAssembler units;
  HevcPictureAssembler pictures;
  std::vector<std::uint8_t> ready;
  std::vector<HevcPictureAssembler::Picture> whole;  // whole H.265 pictures not yet decoded
  std::size_t nextWhole = 0;                         // from whole[nextWhole] on
  AVPacket* unitPacket = nullptr;
  std::uint32_t openedAt = 0;
  std::uint32_t connectTimeoutMs = 0;
  bool haveFrame = false;
};

const char* rtspResultName(RtspResult result) {
  switch (result) {
    case RtspResult::Ok:
      return "ok";
    case RtspResult::BadAddress:
      return "bad address";
    case RtspResult::NotReachable:
      return "not reachable";
    case RtspResult::NotFound:
      return "not found";
    case RtspResult::PasswordRefused:
      return "password refused";
    case RtspResult::ErrorStatus:
      return "error status";
    case RtspResult::NotACamera:
      return "not a camera";
    case RtspResult::NoVideo:
      return "no video";
    case RtspResult::UnsupportedCodec:
      return "unsupported codec";
    case RtspResult::Silent:
      return "silent";
    case RtspResult::ConnectionLost:
      return "connection lost";
    case RtspResult::Stopped:
      return "stopped";
  }
  return "?";
}

SourceFailure sourceFailureOf(RtspResult result) {
  switch (result) {
    case RtspResult::Ok:
    case RtspResult::Stopped:
      return SourceFailure::None;
    case RtspResult::BadAddress:
    case RtspResult::NotReachable:
      return SourceFailure::NotReachable;
    case RtspResult::NotFound:
      return SourceFailure::NotFound;
    case RtspResult::PasswordRefused:
      return SourceFailure::PasswordRefused;
    case RtspResult::ErrorStatus:
      return SourceFailure::ErrorStatus;
    case RtspResult::NotACamera:
      return SourceFailure::NotRtsp;
    case RtspResult::NoVideo:
      return SourceFailure::NoVideo;
    case RtspResult::UnsupportedCodec:
      return SourceFailure::UnsupportedCodec;
    case RtspResult::Silent:
      return SourceFailure::Silent;
    case RtspResult::ConnectionLost:
      return SourceFailure::ConnectionLost;
  }
  return SourceFailure::ConnectionLost;
}

RtspStream::RtspStream() { initialiseLibav(); }

RtspStream::~RtspStream() = default;

bool RtspStream::halted() const {
  return stop_.load(std::memory_order_acquire) || cancel_.load(std::memory_order_acquire);
}

bool RtspStream::interrupted() {
  if (halted()) return true;
  const std::uint32_t limit = silenceLimitMs_.load(std::memory_order_relaxed);
  if (elapsedMs(nowMs(), lastLifeSign_.load(std::memory_order_relaxed)) >
      static_cast<std::int32_t>(limit)) {
    silenced_.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

void RtspStream::stop() { stop_.store(true, std::memory_order_release); }

void RtspStream::cancel() { cancel_.store(true, std::memory_order_release); }

void RtspStream::clearCancel() { cancel_.store(false, std::memory_order_release); }

void RtspStream::setSilenceLimit(std::uint32_t ms) {
  silenceLimitMs_.store(ms, std::memory_order_relaxed);
}

void RtspStream::close() { av_.reset(); }

RtspResult RtspStream::open(const RtspAddress& address, const RtspOptions& options) {
  close();
  info_ = {};
  info_.transport = address.transport;
  picture_ = {};
  waitForKey_ = true;
  silenced_.store(false, std::memory_order_relaxed);
  if (halted()) return RtspResult::Stopped;
  if (address.host.empty()) return RtspResult::BadAddress;

  auto av = std::make_unique<Libav>();
  av->connectTimeoutMs = options.connectTimeoutMs;
  av->format = avformat_alloc_context();
  av->packet = av_packet_alloc();
  av->frame = av_frame_alloc();
  if (!av->format || !av->packet || !av->frame) return RtspResult::ConnectionLost;
  av->format->interrupt_callback = AVIOInterruptCB{interruptCallback, this};
  av->format->flags |= AVFMT_FLAG_NOBUFFER;

  AVDictionary* settings = nullptr;
  av_dict_set(&settings, "rtsp_transport", rtspTransportName(address.transport), 0);
  // Every kind of stream is set up (and all but the video discarded): asked
  // for video alone, a camera without any answers PLAY with an error that
  // does not say why.
  av_dict_set_int(&settings, "timeout", std::int64_t{options.connectTimeoutMs} * 1000, 0);
  if (address.transport == RtspTransport::Udp) {
    // A key picture arrives as one burst of datagrams; room for it.
    av_dict_set_int(&settings, "buffer_size", 4 << 20, 0);
  }
  const AVInputFormat* rtsp = av_find_input_format("rtsp");
  const std::string url = connectionUrl(address);
  av->openedAt = nowMs();
  lastLifeSign_.store(av->openedAt, std::memory_order_relaxed);
  int error = avformat_open_input(&av->format, url.c_str(), rtsp, &settings);
  av_dict_free(&settings);
  if (error < 0) {
    // avformat_open_input frees the context it was given.
    av->format = nullptr;
    if (halted()) return RtspResult::Stopped;
    RtspResult result = RtspResult::ConnectionLost;
    if (statusOfError(error, result, info_.httpStatus)) return result;
    if (silenced_.load(std::memory_order_relaxed) ||
        elapsedMs(nowMs(), av->openedAt) >= static_cast<std::int32_t>(options.connectTimeoutMs)) {
      // Connected, then nothing: the connect itself fails with its own error.
      if (error != AVERROR(ETIMEDOUT)) return RtspResult::Silent;
    }
    switch (error) {
      case AVERROR(ECONNREFUSED):
      case AVERROR(ETIMEDOUT):
      case AVERROR(EHOSTUNREACH):
      case AVERROR(ENETUNREACH):
      case AVERROR(EIO):  // the host name did not resolve
        return RtspResult::NotReachable;
      case AVERROR_INVALIDDATA:
      case AVERROR(ENOSYS):
        return RtspResult::NotACamera;
      case AVERROR_PROTOCOL_NOT_FOUND:
      case AVERROR(EINVAL):
        return RtspResult::BadAddress;
      default:
        return RtspResult::ConnectionLost;
    }
  }

  return setUpDecoder(std::move(av), options, Delivery::RtpPieces);
}

RtspResult RtspStream::openRecording(const std::string& path, const RtspOptions& options) {
  close();
  info_ = {};
  picture_ = {};
  waitForKey_ = true;
  silenced_.store(false, std::memory_order_relaxed);
  if (halted()) return RtspResult::Stopped;
  auto av = std::make_unique<Libav>();
  av->connectTimeoutMs = options.connectTimeoutMs;
  av->packet = av_packet_alloc();
  av->frame = av_frame_alloc();
  if (!av->packet || !av->frame) return RtspResult::ConnectionLost;
  av->openedAt = nowMs();
  lastLifeSign_.store(av->openedAt, std::memory_order_relaxed);
  // No interrupt callback: a file does not fall silent.
  if (avformat_open_input(&av->format, path.c_str(), nullptr, nullptr) < 0) {
    av->format = nullptr;
    return RtspResult::NotFound;
  }
  return setUpDecoder(std::move(av), options, Delivery::WholePictures);
}

RtspResult RtspStream::setUpDecoder(std::unique_ptr<Libav> owned, const RtspOptions& options,
                                    Delivery delivery) {
  Libav& av = *owned;
  const AVStream* video = nullptr;
  for (unsigned i = 0; i < av.format->nb_streams; ++i) {
    AVStream* stream = av.format->streams[i];
    if (!video && stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      video = stream;
      av.videoStream = static_cast<int>(i);
    } else {
      stream->discard = AVDISCARD_ALL;
    }
  }
  if (!video) {
    info_.codec = "none";
    return RtspResult::NoVideo;
  }
  const AVCodecID id = video->codecpar->codec_id;
  info_.codec = avcodec_get_name(id);
  if (const char* profile = avcodec_profile_name(id, video->codecpar->profile)) {
    info_.profile = profile;
  }
  if (!isSupportedCodec(id)) return RtspResult::UnsupportedCodec;
  const AVCodec* codec = avcodec_find_decoder(id);
  if (!codec) return RtspResult::UnsupportedCodec;
  av.decoder = avcodec_alloc_context3(codec);
  if (!av.decoder || avcodec_parameters_to_context(av.decoder, video->codecpar) < 0) {
    return RtspResult::UnsupportedCodec;
  }
  av.decoder->pkt_timebase = video->time_base;
  av.decoder->thread_count = options.decoderThreads < 1 ? 1 : options.decoderThreads;
  av.decoder->thread_type = options.frameThreads ? FF_THREAD_FRAME : FF_THREAD_SLICE;
  // Frame threads take whole pictures, cut by libav's parser.
  if ((id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC) && delivery == Delivery::RtpPieces &&
      !(options.frameThreads && options.decoderThreads > 1)) {
    av.unitPacket = av_packet_alloc();
    if (!av.unitPacket) return RtspResult::ConnectionLost;
    av.format->flags |= AVFMT_FLAG_NOPARSE | AVFMT_FLAG_NOFILLIN;
    if (id == AV_CODEC_ID_H264) {
      av.feed = Libav::Feed::Units;
      av.decoder->flags2 |= AV_CODEC_FLAG2_CHUNKS;
    } else {
      av.feed = Libav::Feed::Pictures;
      av.units = NalAssembler(NalCodec::H265);
    }
  }
  if (avcodec_open2(av.decoder, codec, nullptr) < 0) return RtspResult::UnsupportedCodec;
  av_ = std::move(owned);
  return RtspResult::Ok;
}

RtspResult RtspStream::nextPicture() {
  if (!av_) return RtspResult::ConnectionLost;
  Libav& av = *av_;
  av_frame_unref(av.frame);
  av.haveFrame = false;
  std::uint32_t lastPacketAt = nowMs();
  for (;;) {
    int error = avcodec_receive_frame(av.decoder, av.frame);
    if (error == 0) {
      // A damaged picture, and every picture until the next key picture (they
      // are predicted from the damage), is decoded but not shown.
      const bool damaged =
          av.frame->decode_error_flags != 0 || (av.frame->flags & AV_FRAME_FLAG_CORRUPT) != 0;
      if (damaged) waitForKey_ = true;
      if (!damaged && waitForKey_ && av.frame->key_frame) waitForKey_ = false;
      if (waitForKey_ || av.frame->width <= 0 || av.frame->height <= 0) {
        av_frame_unref(av.frame);
        continue;
      }
      av.haveFrame = true;
      picture_.width = av.frame->width;
      picture_.height = av.frame->height;
      picture_.keyPicture = av.frame->key_frame != 0;
      picture_.receivedMs = lastPacketAt;
      if (info_.profile.empty()) {
        if (const char* profile = avcodec_profile_name(av.decoder->codec_id, av.decoder->profile))
          info_.profile = profile;
      }
      lastLifeSign_.store(nowMs(), std::memory_order_relaxed);
      return RtspResult::Ok;
    }
    if (error != AVERROR(EAGAIN)) {
      if (error == AVERROR_EOF) return RtspResult::ConnectionLost;
      waitForKey_ = true;  // a decoding error
    }

    if (av.nextWhole < av.whole.size()) {
      // One whole picture at a time, each once the decoder's picture before is taken.
      const HevcPictureAssembler::Picture& picture = av.whole[av.nextWhole++];
      if (av_new_packet(av.unitPacket, static_cast<int>(picture.bytes.size())) < 0) {
        return RtspResult::ConnectionLost;
      }
      std::memcpy(av.unitPacket->data, picture.bytes.data(), picture.bytes.size());
      av.unitPacket->pts = picture.stamp;
      error = avcodec_send_packet(av.decoder, av.unitPacket);
      av_packet_unref(av.unitPacket);
      if (error < 0 && error != AVERROR(EAGAIN)) waitForKey_ = true;
      continue;
    }

    error = av_read_frame(av.format, av.packet);
    if (error < 0) {
      if (halted()) return RtspResult::Stopped;
      if (silenced_.load(std::memory_order_relaxed)) return RtspResult::Silent;
      // The socket's own read limit ends a connection that brings nothing.
      if (elapsedMs(nowMs(), lastLifeSign_.load(std::memory_order_relaxed)) >=
          static_cast<std::int32_t>(av.connectTimeoutMs)) {
        return RtspResult::Silent;
      }
      return RtspResult::ConnectionLost;
    }
    if (av.packet->stream_index != av.videoStream) {
      av_packet_unref(av.packet);
      continue;
    }
    lastPacketAt = nowMs();
    if ((av.packet->flags & AV_PKT_FLAG_CORRUPT) != 0) waitForKey_ = true;
    if (av.feed == Libav::Feed::Units) {
      av.ready.clear();
      if (av.units.add(av.packet->data, static_cast<std::size_t>(av.packet->size), av.ready) ==
          NalAssembler::Piece::Orphan) {
        waitForKey_ = true;
      }
      const std::int64_t pts = av.packet->pts;
      av_packet_unref(av.packet);
      if (av.ready.empty()) continue;
      if (av_new_packet(av.unitPacket, static_cast<int>(av.ready.size())) < 0) {
        return RtspResult::ConnectionLost;
      }
      std::memcpy(av.unitPacket->data, av.ready.data(), av.ready.size());
      av.unitPacket->pts = pts;
      error = avcodec_send_packet(av.decoder, av.unitPacket);
      av_packet_unref(av.unitPacket);
    } else if (av.feed == Libav::Feed::Pictures) {
      av.ready.clear();
      av.whole.clear();
      av.nextWhole = 0;
      if (av.units.add(av.packet->data, static_cast<std::size_t>(av.packet->size), av.ready) ==
          NalAssembler::Piece::Orphan) {
        waitForKey_ = true;
      }
      if (!av.ready.empty() && av.pictures.add(av.ready.data(), av.ready.size(), av.packet->pts,
                                               av.whole) == HevcPictureAssembler::Units::Damaged) {
        waitForKey_ = true;
      }
      av_packet_unref(av.packet);
      continue;  // the whole pictures go to the decoder above
    } else {
      error = avcodec_send_packet(av.decoder, av.packet);
      av_packet_unref(av.packet);
    }
    if (error < 0 && error != AVERROR(EAGAIN)) waitForKey_ = true;
  }
}

DecodedPicture RtspStream::convert() {
  DecodedPicture out;
  if (!av_ || !av_->haveFrame) return out;
  Libav& av = *av_;
  const AVFrame& frame = *av.frame;
  const int width = frame.width, height = frame.height;
  if (width <= 0 || height <= 0 || width > kMaxJpegSide || height > kMaxJpegSide) return out;
  av.scaler =
      sws_getCachedContext(av.scaler, width, height, static_cast<AVPixelFormat>(frame.format),
                           width, height, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!av.scaler) return out;
  const int fullRange =
      frame.color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(frame.format) ? 1 : 0;
  const int space = swsColourSpace(frame.colorspace, height);
  // Setting the details rebuilds the converter's tables: only when they change.
  if (av.scaler != av.detailsFor || space != av.colourSpace || fullRange != av.fullRange) {
    (void)sws_setColorspaceDetails(av.scaler, sws_getCoefficients(space), fullRange,
                                   sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    av.detailsFor = av.scaler;
    av.colourSpace = space;
    av.fullRange = fullRange;
  }
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  const std::size_t pictureBytes = rowBytes * static_cast<std::size_t>(height);
  const std::size_t bufferSize = pictureBytes + rowBytes + 4;
  auto pixels = newPictureBuffer(bufferSize);
  if (!pixels) return out;
  // In bands, so that each band's fourth bytes (the converter writes 255
  // there) are cleared while the band is still in the cache. The converter
  // takes each band's own source rows and the whole destination picture.
  const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  if (!format) return out;
  std::uint8_t* const planes[4] = {pixels.get(), nullptr, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(rowBytes), 0, 0, 0};
  constexpr int kBandRows = 32;  // a multiple of every chroma subsampling
  for (int top = 0; top < height; top += kBandRows) {
    const int rows = std::min(kBandRows, height - top);
    const std::uint8_t* sources[4] = {};
    for (int plane = 0; plane < 4; ++plane) {
      if (!frame.data[plane]) continue;
      const int shift = plane == 1 || plane == 2 ? format->log2_chroma_h : 0;
      sources[plane] =
          frame.data[plane] + static_cast<std::ptrdiff_t>(frame.linesize[plane]) * (top >> shift);
    }
    if (sws_scale(av.scaler, sources, frame.linesize, top, rows, planes, strides) <= 0) return out;
    clearFourthBytes(pixels.get() + rowBytes * static_cast<std::size_t>(top),
                     static_cast<std::size_t>(rows) * static_cast<std::size_t>(width));
  }
  // The spare row and bytes are zero whatever the converter's wide stores left there.
  std::memset(pixels.get() + pictureBytes, 0, rowBytes + 4);
  out.pixels = std::move(pixels);
  out.width = width;
  out.height = height;
  out.bufferSize = static_cast<std::int32_t>(bufferSize);
  return out;
}

}  // namespace vistel::detail

namespace vistel {

int rtspAnswerStatus(std::string_view address, std::uint32_t connectTimeoutMs,
                     std::uint32_t answerTimeoutMs) {
  RtspAddress parts;
  if (!parseRtspAddress(address, parts)) return 0;
  detail::RtspStream stream;
  stream.setSilenceLimit(answerTimeoutMs);
  detail::RtspOptions options;
  options.connectTimeoutMs = connectTimeoutMs;
  switch (stream.open(parts, options)) {
    case detail::RtspResult::Ok:
    case detail::RtspResult::UnsupportedCodec:  // it answered, with a stream we cannot show
    case detail::RtspResult::NoVideo:
      return 200;
    case detail::RtspResult::PasswordRefused:
    case detail::RtspResult::NotFound:
    case detail::RtspResult::ErrorStatus:
      return stream.info().httpStatus;
    default:
      return 0;
  }
}

}  // namespace vistel
