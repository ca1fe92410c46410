#include "vistel/web/web_host_ui.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <system_error>

#include "vistel/host/vistel_control.h"

namespace vistel::web {

namespace {

using nlohmann::json;

std::string text(std::string_view s) { return std::string(s); }

// The page's answer as text, when it is one.
std::optional<std::string> answerText(const std::optional<json>& answer) {
  if (!answer || !answer->is_string()) return std::nullopt;
  return answer->get<std::string>();
}

// A download name the page chose, reduced to a harmless file name.
std::string downloadName(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  if (name.empty() || name == "." || name == "..") name = "snapshot";
  if (name.size() > 200) name.resize(200);
  if (!name.ends_with(".jpg") && !name.ends_with(".jpeg")) name += ".jpg";
  return name;
}

}  // namespace

WebHostUi::~WebHostUi() {
  if (!snapshotPath_.empty()) {
    std::error_code ec;
    std::filesystem::remove(snapshotPath_, ec);
  }
}

bool WebHostUi::promptCredentials(std::string_view host, Credentials& out) {
  const auto answer = link_.ask({{"kind", "credentials"}, {"host", text(host)}});
  if (!answer || !answer->is_object()) return false;
  const json& a = *answer;
  if (!a.contains("user") || !a["user"].is_string() || !a.contains("password") ||
      !a["password"].is_string()) {
    return false;
  }
  Credentials given;
  given.user = a["user"].get<std::string>();
  given.password = a["password"].get<std::string>();
  given.remember = a.value("remember", false);
  // The desktop dialog stays open while a field is empty; a page that sends
  // an empty one has cancelled.
  if (given.user.empty() || given.password.empty()) return false;
  out = std::move(given);
  return true;
}

void WebHostUi::messageBox(std::string_view caption, std::string_view message) {
  (void)link_.ask({{"kind", "message"}, {"caption", text(caption)}, {"text", text(message)}});
}

bool WebHostUi::askYesNo(std::string_view caption, std::string_view question) {
  const auto answer =
      link_.ask({{"kind", "yesno"}, {"caption", text(caption)}, {"text", text(question)}});
  return answer && answer->is_boolean() && answer->get<bool>();
}

bool WebHostUi::chooseSaveFile(const SaveFileRequest& request, std::string& path) {
  const auto name = answerText(link_.ask({{"kind", "save"},
                                          {"extension", text(request.defaultExtension)},
                                          {"name", "vistel-snapshot.jpg"}}));
  if (!name) return false;
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
  if (ec) folder = "/tmp";
  std::string pattern = (folder / "vistel-snapshot-XXXXXX").string();
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return false;
  ::close(fd);
  if (!snapshotPath_.empty()) std::filesystem::remove(snapshotPath_, ec);
  snapshotPath_ = pattern;
  snapshotName_ = downloadName(*name);
  path = pattern;
  return true;
}

std::optional<WebHostUi::Snapshot> WebHostUi::takeSnapshot() {
  if (snapshotPath_.empty()) return std::nullopt;
  Snapshot snapshot;
  snapshot.name = std::move(snapshotName_);
  {
    std::ifstream in(snapshotPath_, std::ios::binary);
    snapshot.jpeg.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::error_code ec;
  std::filesystem::remove(snapshotPath_, ec);
  snapshotPath_.clear();
  snapshotName_.clear();
  // An empty file: the engine wrote nothing (no frame yet).
  if (snapshot.jpeg.empty()) return std::nullopt;
  return snapshot;
}

bool WebHostUi::setClipboardText(std::string_view value) {
  const auto answer = link_.ask({{"kind", "clipboard"}, {"text", text(value)}});
  return answer && answer->is_boolean() && answer->get<bool>();
}

void WebHostUi::showAbout() {
  json links = json::array();
  for (std::string_view link : kAboutLinks) links.push_back(text(link));
  (void)link_.ask({{"kind", "about"},
                   {"product", text(kAboutProductName)},
                   {"version", text(kAboutVersionLine)},
                   {"makers", text(kAboutMakersLine)},
                   {"note", text(kAboutJpegNote)},
                   {"links", links}});
}

std::int32_t WebHostUi::trackPopupMenu(std::span<const MenuItem> items, std::int32_t screenX,
                                       std::int32_t screenY) {
  json list = json::array();
  for (const MenuItem& item : items) {
    list.push_back({{"c", item.command}, {"label", text(item.label)}});
  }
  const auto answer =
      link_.ask({{"kind", "menu"}, {"items", list}, {"x", screenX}, {"y", screenY}});
  if (!answer || !answer->is_number_integer()) return 0;
  const auto chosen = answer->get<std::int64_t>();
  // Only a command the menu offered runs.
  for (const MenuItem& item : items) {
    if (item.command != 0 && item.command == chosen) return item.command;
  }
  return 0;
}

}  // namespace vistel::web
