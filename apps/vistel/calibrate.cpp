// `vistel calibrate`: the control's Recalibrate from the shell, so a key pair
// can be corrected from two saved camera pictures without a host page.
#include <ostream>

#include "command_line.h"
#include "commands.h"
#include "vistel/calibration/calibrator.h"

namespace vistel::cli {

namespace {

// Above the result codes 0..4, which are the command's answers; 2 among them
// would otherwise be mistaken for a usage error (the BSD sysexits value).
constexpr int kExitCalibrateUsage = 64;

}  // namespace

const char* const kCalibrateHelp =
    "usage: vistel calibrate SOURCE_IMAGE SOURCE_KEY DESTINATION_IMAGE DESTINATION_KEY\n"
    "\n"
    "Corrects the source key of a camera pair as the control's Recalibrate does:\n"
    "both pictures are seen through their lens profiles (the source through\n"
    "kamolens0, the destination through kamolens1) in the region the two keys say\n"
    "they share, their displacement is measured by phase correlation, and the\n"
    "source key is moved by it. The destination key comes back unchanged.\n"
    "\n"
    "Images are JPEG file names or http:// URLs. Keys are 44-character key texts\n"
    "(see `vistel key`); an empty key (\"\") stands for the default key of its side.\n"
    "\n"
    "Prints the result code on the first line and, when it is 0, the new source\n"
    "key text and the destination key text on the next two. The exit status is\n"
    "the result code:\n"
    "  0   done\n"
    "  1   the source picture could not be loaded\n"
    "  2   the source key is neither empty nor 44 characters\n"
    "  3   the destination picture could not be loaded\n"
    "  4   the destination key is neither empty nor 44 characters\n"
    "  64  wrong arguments (nothing printed on standard output)\n";

int runCalibrate(const std::vector<std::string>& args, Io io) {
  std::vector<std::string> words;
  CommandLine line;
  line.words(words, 4, {}, CommandLine::Words::Only);
  std::string error;
  if (!line.parse(args, error) || words.size() != 4) {
    return usageError(io, "calibrate",
                      "needs SOURCE_IMAGE SOURCE_KEY DESTINATION_IMAGE DESTINATION_KEY",
                      kExitCalibrateUsage);
  }
  Calibrator calibrator;
  const int code = calibrator.recalibrate(words[0], words[1], words[2], words[3]);
  io.out << code << "\n";
  if (code == RecalibrateCode::Ok) {
    io.out << calibrator.sourceKeyText() << "\n" << calibrator.destinationKeyText() << "\n";
  }
  return code;
}

}  // namespace vistel::cli
