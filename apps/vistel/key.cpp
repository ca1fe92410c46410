// `vistel key`: key texts are enciphered, so nobody can write one by hand; this
// is how authors turn four corner points into a key and back.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "command_line.h"
#include "commands.h"
#include "vistel/project/encoding.h"
#include "vistel/scene/geometry.h"

namespace vistel::cli {

const char* const kKeyHelp =
    "usage: vistel key encode X0 Y0 X1 Y1 X2 Y2 X3 Y3\n"
    "       vistel key decode TEXT\n"
    "\n"
    "encode prints the 44-character key text of a key quad: the normalised image\n"
    "positions (-0.5 .. 0.5, y downwards) of the reference square's corners\n"
    "(0,0), (1,0), (1,1), (0,1), in that order.\n"
    "decode prints the eight numbers of a key text, separated by blanks; it exits\n"
    "with 1 when the text does not hold a whole key (32 bytes).\n";

namespace {

bool parseFloat(const std::string& text, float& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  out = std::strtof(text.c_str(), &end);
  return end == text.c_str() + text.size() && errno != ERANGE && std::isfinite(out);
}

std::string formatFloat(float x) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(x));
  return buffer;
}

}  // namespace

int runKey(const std::vector<std::string>& args, Io io) {
  std::vector<std::string> words;
  CommandLine line(CommandLine::Dashes::Ignored);
  line.words(words, SIZE_MAX, {}, CommandLine::Words::Only);
  std::string error;
  if (!line.parse(args, error)) return usageError(io, "key", error);
  if (words.empty()) return usageError(io, "key", "missing encode or decode");
  if (words[0] == "encode") {
    if (words.size() != 9) return usageError(io, "key", "encode needs eight numbers");
    float v[8];
    for (int i = 0; i < 8; ++i) {
      if (!parseFloat(words[i + 1], v[i])) {
        return usageError(io, "key", "not a finite number: '" + words[i + 1] + "'");
      }
    }
    const KeyQuad quad{{v[0], v[1]}, {v[2], v[3]}, {v[4], v[5]}, {v[6], v[7]}};
    io.out << encodeKeyText(keyQuadToBytes(quad)) << "\n";
    return kExitOk;
  }
  if (words[0] == "decode") {
    if (words.size() != 2) return usageError(io, "key", "decode needs one TEXT");
    const std::vector<std::uint8_t> bytes = decodeKeyText(words[1]);
    const auto quad = keyQuadFromBytes(bytes);
    if (!quad) {
      io.err << "vistel key: '" << words[1] << "' holds " << bytes.size()
             << " bytes, not a whole key (32 bytes)\n";
      return kExitFailure;
    }
    const KeyQuad& q = *quad;
    const float v[8] = {q.p0.x, q.p0.y, q.p1.x, q.p1.y, q.p2.x, q.p2.y, q.p3.x, q.p3.y};
    for (int i = 0; i < 8; ++i) io.out << (i ? " " : "") << formatFloat(v[i]);
    io.out << "\n";
    return kExitOk;
  }
  return usageError(io, "key", "unknown subcommand '" + words[0] + "'");
}

}  // namespace vistel::cli
