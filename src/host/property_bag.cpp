#include "vistel/host/property_bag.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace vistel {

namespace {

bool nameAcceptable(std::string_view name) {
  return !name.empty() && name.size() <= PropertyBag::kMaxNameBytes &&
         name.find_first_of("=\r\n") == std::string_view::npos;
}

bool readParamFile(const std::string& path, std::string& text, std::string& reason) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    reason = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string content;
  char buffer[65536];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    content.append(buffer, static_cast<std::size_t>(file.gcount()));
    if (content.size() > PropertyBag::kMaxFileBytes) {
      reason = path + " is larger than " + std::to_string(PropertyBag::kMaxFileBytes) + " bytes";
      return false;
    }
  }
  if (file.bad()) {
    reason = "cannot read " + path;
    return false;
  }
  text = std::move(content);
  return true;
}

}  // namespace

bool PropertyBag::set(std::string_view name, std::string_view value) {
  if (!nameAcceptable(name) || value.size() > kMaxValueBytes) return false;
  const auto found = values_.find(name);
  if (found != values_.end()) {
    found->second.assign(value);
    return true;
  }
  if (values_.size() >= kMaxProperties) return false;
  values_.emplace(std::string(name), std::string(value));
  return true;
}

bool PropertyBag::read(std::string_view name, std::string& value) const {
  const auto found = values_.find(name);
  if (found == values_.end()) return false;
  value = found->second;
  return true;
}

bool PropertyBag::setAssignment(std::string_view text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return false;
  return set(text.substr(0, equals), text.substr(equals + 1));
}

bool PropertyBag::setLines(std::string_view text, std::string& reason) {
  if (text.size() > kMaxFileBytes) {
    reason = "more than " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a byte-order mark
  PropertyBag staged = *this;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (!staged.setAssignment(line)) {
      reason = "line " + std::to_string(lineNumber) +
               (line.find('=') == std::string_view::npos
                    ? ": expected NAME=VALUE"
                    : ": name empty or too long, value too long, or too many properties");
      return false;
    }
  }
  *this = std::move(staged);
  return true;
}

bool takePropertyOptions(std::vector<std::string>& args, PropertyBag& bag, std::string& reason) {
  std::vector<std::string> rest;
  rest.reserve(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
      break;
    }
    std::string value;
    bool file = false;
    if (arg == "--param" || arg == "--params") {
      if (i + 1 >= args.size()) {
        reason = arg + " needs a value";
        return false;
      }
      file = arg == "--params";
      value = args[++i];
    } else if (arg.starts_with("--param=")) {
      value = arg.substr(8);
    } else if (arg.starts_with("--params=")) {
      file = true;
      value = arg.substr(9);
    } else {
      rest.push_back(arg);
      continue;
    }
    if (file) {
      std::string text;
      if (!readParamFile(value, text, reason)) return false;
      if (!bag.setLines(text, reason)) {
        reason = value + ": " + reason;
        return false;
      }
    } else if (!bag.setAssignment(value)) {
      reason = "--param '" + value.substr(0, 80) + "' is not NAME=VALUE with a name of 1 to " +
               std::to_string(PropertyBag::kMaxNameBytes) + " bytes";
      return false;
    }
  }
  args = std::move(rest);
  return true;
}

}  // namespace vistel
