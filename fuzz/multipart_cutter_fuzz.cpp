// A camera's multipart stream is hostile input: the cutter must stay inside
// its buffer whatever the bytes, hand out no empty picture, and cut the same
// pictures however the network splits the stream into reads. The probe's
// header rules take any text too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/imaging/multipart_cutter_p.h"
#include "vistel/imaging/stream_probe_p.h"

namespace {

struct Run {
  std::vector<std::string> parts;
  bool noLearn = false;
  std::size_t peak = 0;
};

// Cuts `stream`; read sizes come from `seed` (0: whole read steps).
Run cut(std::string_view stream, std::string_view boundary, bool noLearn, std::uint8_t seed) {
  Run run;
  vistel::detail::MultipartCutter cutter(boundary, noLearn);
  std::size_t offset = 0;
  std::uint32_t state = seed;
  cutter.run(
      [&](std::uint8_t* buffer, std::size_t size) {
        std::size_t n = std::min(size, stream.size() - offset);
        if (seed != 0) {
          state = state * 1103515245u + 12345u;
          n = std::min<std::size_t>(n, 1 + (state >> 16) % 64);
        }
        std::memcpy(buffer, stream.data() + offset, n);
        offset += n;
        return n;
      },
      [&](const std::uint8_t* data, std::size_t size) {
        run.parts.emplace_back(reinterpret_cast<const char*>(data), size);
      },
      [] { return false; });
  run.noLearn = cutter.noLearn();
  run.peak = cutter.peakBufferBytes();
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool noLearn = (data[0] & 1) != 0;
  const std::size_t boundaryLength = std::min<std::size_t>(data[0] >> 1, size - 2);
  const std::uint8_t seed = static_cast<std::uint8_t>(data[1] | 1);
  const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::string_view boundary = rest.substr(0, boundaryLength);
  const std::string_view stream = rest.substr(boundaryLength);

  const Run whole = cut(stream, boundary, noLearn, 0);
  std::size_t total = 0;
  for (const auto& part : whole.parts) {
    if (part.empty()) std::abort();
    total += part.size();
  }
  if (total > stream.size()) std::abort();
  if (whole.peak > stream.size() + 2 * vistel::detail::kStreamReadStep) std::abort();

  const Run pieces = cut(stream, boundary, noLearn, seed);
  if (pieces.parts != whole.parts || pieces.noLearn != whole.noLearn) std::abort();

  std::string probed = "kept";
  const int mode =
      vistel::detail::modeFromContentType(rest, probed, vistel::detail::kMaxDelimiterLength);
  if (mode < 0 || mode > 2 || probed.size() > vistel::detail::kMaxDelimiterLength) std::abort();
  if (mode != 2 && probed != "kept") std::abort();
  (void)vistel::detail::announcesPartLength(reinterpret_cast<const std::uint8_t*>(rest.data()),
                                            rest.size());
  return 0;
}
