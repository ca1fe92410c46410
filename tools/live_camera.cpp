#include "live_camera.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "frame_code.h"

namespace vistel::sim {

namespace {

// ---------------------------------------------------------------------------
// Backdrops, one per camera and size, made once per process: the street takes
// far longer to render than a frame may, and tests start many simulators.

struct BackdropEntry {
  std::once_flag made;
  std::shared_ptr<const StreetBackdrop> backdrop;  // written once under `made`
};

std::mutex gBackdropsLock;
std::map<std::tuple<std::size_t, int, int>, std::shared_ptr<BackdropEntry>>
    gBackdrops;  // guarded by gBackdropsLock

std::shared_ptr<const StreetBackdrop> renderBackdrop(std::size_t camera, int width, int height) {
  auto made = std::make_shared<StreetBackdrop>();
  made->width = width;
  made->height = height;
  // Small pictures need the full supersampling against aliasing of the fine
  // paint; above 640 x 480 each pixel covers less ground and 2 x 2 is enough
  // (and keeps the cars cheap enough for 25 frames a second at 1920 x 1080).
  made->supersampling = width * height > 640 * 480 ? 2 : demo::kSupersampling;
  made->pixels = demo::renderCameraPicture(demo::demoCameras()[camera], width, height,
                                           made->supersampling, nullptr, &made->ground);
  const int tile = StreetBackdrop::kTile;
  made->tileColumns = (width + tile - 1) / tile;
  made->tileRows = (height + tile - 1) / tile;
  made->tileGround.resize(static_cast<std::size_t>(made->tileColumns) * made->tileRows);
  for (int row = 0; row < made->tileRows; ++row) {
    for (int column = 0; column < made->tileColumns; ++column) {
      // The tile's pixels and their neighbours: a pixel covers the ground
      // halfway to the next one.
      const int x0 = std::max(column * tile - 1, 0), x1 = std::min((column + 1) * tile, width - 1);
      const int y0 = std::max(row * tile - 1, 0), y1 = std::min((row + 1) * tile, height - 1);
      demo::GroundBox box{1e30, 1e30, -1e30, -1e30};
      for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
          const demo::GroundSample g = made->ground[static_cast<std::size_t>(y) * width + x];
          box.west = std::min<double>(box.west, g.x);
          box.east = std::max<double>(box.east, g.x);
          box.south = std::min<double>(box.south, g.y);
          box.north = std::max<double>(box.north, g.y);
        }
      }
      made->tileGround[static_cast<std::size_t>(row) * made->tileColumns + column] = box;
    }
  }
  return made;
}

// ---------------------------------------------------------------------------
// JPEG encoding into memory. libjpeg reports errors by calling error_exit,
// which must not return: it jumps back with longjmp, so the function that calls
// the library holds only trivially destructible locals.

struct ErrorContext {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void jumpBack(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorContext*>(cinfo->err)->jump, 1);
}

void ignoreMessage(j_common_ptr, int) {}

struct EncodeJob {
  ErrorContext error;
  jpeg_compress_struct cinfo;
  unsigned char* buffer = nullptr;  // malloc'd by libjpeg's memory destination
  unsigned long size = 0;
};

bool encodeGuarded(EncodeJob& job, JSAMPROW* rows, int width, int height, int quality,
                   const char* comment, std::size_t commentLength) {
  if (setjmp(job.error.jump) != 0) return false;
  jpeg_compress_struct& cinfo = job.cinfo;
  jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof(jpeg_compress_struct));
  jpeg_mem_dest(&cinfo, &job.buffer, &job.size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
#ifdef JCS_EXTENSIONS
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRX;  // the picture layout as it is, no conversion pass
#else
#error "libjpeg-turbo's colour space extensions are needed"
#endif
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  if (commentLength > 0) {
    jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(comment),
                      static_cast<unsigned int>(commentLength));
  }
  while (cinfo.next_scanline < cinfo.image_height) {
    jpeg_write_scanlines(&cinfo, rows + cinfo.next_scanline,
                         cinfo.image_height - cinfo.next_scanline);
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

std::optional<std::uint32_t> numberAfter(std::string_view text, std::string_view key) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::uint64_t value = 0;
  std::size_t i = at + key.size(), digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 10; ++i, ++digits) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (digits == 0 || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::shared_ptr<const StreetBackdrop> streetBackdrop(std::size_t camera, int width, int height) {
  if (camera >= demo::demoCameras().size() || width < kMinPictureWidth ||
      width > kMaxPictureWidth || height < kMinPictureHeight || height > kMaxPictureHeight) {
    return nullptr;
  }
  std::shared_ptr<BackdropEntry> entry;
  {
    std::lock_guard lock(gBackdropsLock);
    auto& slot = gBackdrops[{camera, width, height}];
    if (!slot) slot = std::make_shared<BackdropEntry>();
    entry = slot;
  }
  std::call_once(entry->made, [&] { entry->backdrop = renderBackdrop(camera, width, height); });
  return entry->backdrop;
}

bool encodeJpegInMemory(const std::uint8_t* pixels, int width, int height, int quality,
                        std::string_view comment, JpegBytes& out) {
  out.clear();
  if (pixels == nullptr || width <= 0 || height <= 0 || comment.size() > 65533) return false;
  std::vector<JSAMPROW> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    rows[static_cast<std::size_t>(y)] =
        const_cast<JSAMPLE*>(pixels + static_cast<std::size_t>(y) * width * 4);
  }
  EncodeJob job{};
  job.cinfo.err = jpeg_std_error(&job.error.manager);
  job.error.manager.error_exit = jumpBack;
  job.error.manager.emit_message = ignoreMessage;
  const bool encoded =
      encodeGuarded(job, rows.data(), width, height, quality, comment.data(), comment.size());
  jpeg_destroy_compress(&job.cinfo);
  if (encoded && job.buffer != nullptr) out.assign(job.buffer, job.buffer + job.size);
  std::free(job.buffer);
  return encoded && !out.empty();
}

std::string frameComment(std::string_view camera, std::uint32_t frameNumber, std::uint32_t sentMs) {
  return "vistel-sim camera=" + std::string(camera) + " frame=" + std::to_string(frameNumber) +
         " sent_ms=" + std::to_string(sentMs);
}

std::optional<FrameStamp> readFrameStamp(const std::uint8_t* jpeg, std::size_t length) {
  if (jpeg == nullptr || length < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::nullopt;
  std::size_t at = 2;
  while (at + 4 <= length && jpeg[at] == 0xFF) {
    const std::uint8_t marker = jpeg[at + 1];
    if (marker == 0xDA || marker == 0xD9) break;  // the scan: no more header segments
    const std::size_t segment = (static_cast<std::size_t>(jpeg[at + 2]) << 8) | jpeg[at + 3];
    if (segment < 2 || at + 2 + segment > length) break;
    if (marker == 0xFE) {
      const std::string_view text(reinterpret_cast<const char*>(jpeg + at + 4), segment - 2);
      constexpr std::string_view kPrefix = "vistel-sim camera=";
      if (text.starts_with(kPrefix)) {
        FrameStamp stamp;
        const std::size_t end = text.find(' ', kPrefix.size());
        stamp.camera = std::string(text.substr(kPrefix.size(), end - kPrefix.size()));
        const auto frame = numberAfter(text, " frame=");
        const auto sent = numberAfter(text, " sent_ms=");
        if (!frame || !sent) return std::nullopt;
        stamp.frameNumber = *frame;
        stamp.sentMs = *sent;
        return stamp;
      }
    }
    at += 2 + segment;
  }
  return std::nullopt;
}

LiveCamera::LiveCamera(std::shared_ptr<const StreetBackdrop> backdrop)
    : backdrop_(std::move(backdrop)) {}

void LiveCamera::draw(double seconds, std::uint32_t frameNumber,
                      std::vector<std::uint8_t>& out) const {
  const StreetBackdrop& b = *backdrop_;
  out = b.pixels;
  const demo::StreetTraffic traffic(seconds);
  const std::vector<demo::GroundBox>& boxes = traffic.boxes();
  const auto touches = [&boxes](const demo::GroundBox& area) {
    return std::any_of(boxes.begin(), boxes.end(),
                       [&area](const demo::GroundBox& box) { return box.overlaps(area); });
  };
  const auto groundAt = [&b](int x, int y) {
    x = std::clamp(x, 0, b.width - 1);
    y = std::clamp(y, 0, b.height - 1);
    return b.ground[static_cast<std::size_t>(y) * b.width + x];
  };
  const int tile = StreetBackdrop::kTile;
  for (int row = 0; row < b.tileRows; ++row) {
    for (int column = 0; column < b.tileColumns; ++column) {
      if (!touches(b.tileGround[static_cast<std::size_t>(row) * b.tileColumns + column])) continue;
      const int yEnd = std::min((row + 1) * tile, b.height);
      const int xEnd = std::min((column + 1) * tile, b.width);
      for (int y = row * tile; y < yEnd; ++y) {
        for (int x = column * tile; x < xEnd; ++x) {
          // The ground under the pixel, taken as a parallelogram from its
          // neighbours' centres, sampled like the street.
          const demo::GroundSample g = groundAt(x, y);
          const demo::GroundSample l = groundAt(x - 1, y), r = groundAt(x + 1, y);
          const demo::GroundSample u = groundAt(x, y - 1), d = groundAt(x, y + 1);
          const double ax = (r.x - l.x) / 2, ay = (r.y - l.y) / 2;  // one pixel right
          const double bx = (d.x - u.x) / 2, by = (d.y - u.y) / 2;  // one pixel down
          const double reachX = (std::fabs(ax) + std::fabs(bx)) / 2;
          const double reachY = (std::fabs(ay) + std::fabs(by)) / 2;
          if (!touches({g.x - reachX, g.y - reachY, g.x + reachX, g.y + reachY})) continue;
          std::uint8_t* p = out.data() + (static_cast<std::size_t>(y) * b.width + x) * 4;
          const demo::Rgb ground{double(p[2]), double(p[1]), double(p[0])};
          demo::Rgb sum;
          bool covered = false;
          const int n = b.supersampling;
          for (int sy = 0; sy < n; ++sy) {
            const double oy = (sy + 0.5) / n - 0.5;
            for (int sx = 0; sx < n; ++sx) {
              const double ox = (sx + 0.5) / n - 0.5;
              const auto cover =
                  traffic.coverAt({g.x + ox * ax + oy * bx, g.y + ox * ay + oy * by});
              demo::Rgb c = ground;
              if (cover) {
                covered = true;
                c.r += (cover->colour.r - c.r) * cover->opacity;
                c.g += (cover->colour.g - c.g) * cover->opacity;
                c.b += (cover->colour.b - c.b) * cover->opacity;
              }
              sum.r += c.r;
              sum.g += c.g;
              sum.b += c.b;
            }
          }
          if (!covered) continue;
          const auto byte = [n](double total) {
            return static_cast<std::uint8_t>(std::clamp(std::lround(total / (n * n)), 0L, 255L));
          };
          p[0] = byte(sum.b);
          p[1] = byte(sum.g);
          p[2] = byte(sum.r);
        }
      }
    }
  }
  drawFrameCode(out.data(), b.width, b.height, frameNumber);
}

}  // namespace vistel::sim
