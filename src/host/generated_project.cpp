#include "vistel/host/generated_project.h"

#include <charconv>
#include <initializer_list>

namespace vistel {

namespace {

constexpr std::string_view kBreak = "\t\t\t";

std::string sixDecimals(float value) {
  // Enough for the widest float (39 integer digits) with six decimals.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                    std::chars_format::fixed, 6);
  return result.ec == std::errc() ? std::string(buffer, result.ptr) : std::string("0.000000");
}

}  // namespace

std::string generatedProject(std::string_view startImage, float fps, std::string_view endImage,
                             std::string_view startKey, std::string_view endKey) {
  const std::string rate = sixDecimals(fps);
  std::string text;
  text.reserve(700 + startImage.size() + endImage.size() + startKey.size() + endKey.size());
  const auto line = [&text](std::initializer_list<std::string_view> pieces) {
    text += kBreak;
    for (const std::string_view piece : pieces) text += piece;
  };
  line({"<quilo startview=\"Cam0\">"});
  line({"<view id=\"Cam0\" src=\"", startImage, "\" fps=\"", rate, "\" lens=\"kamolens1\">"});
  line({"<edge link=\"Cam0Cam1\" angle=\"450\" len=\"282\" dir=\"backward\" />"});
  line({"</view>"});
  line({"<view id=\"Cam1\" src=\"", endImage, "\" fps=\"", rate, "\" lens=\"kamolens0\">"});
  line({"<edge link=\"Cam0Cam1\" angle=\"270\" len=\"282\" dir=\"forward\" />"});
  line({"</view>"});
  line({"<link id=\"Cam0Cam1\" from=\"Cam0\" to=\"Cam1\" tension=\"0.000000\">"});
  line({"<key time=\"0.000000\" blend=\"0.000000\" >", startKey, "</key>"});
  line({"<key time=\"1.000000\" blend=\"1.000000\" >", endKey, "</key>"});
  line({"</link>"});
  line({"</quilo>"});
  return text;
}

std::string escapeAmpersands(std::string_view address) {
  std::string out;
  out.reserve(address.size());
  for (const char c : address) {
    if (c == '&') {
      out += "&#38;";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace vistel
