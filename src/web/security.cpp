#include "vistel/web/security.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "vistel/platform/clock.h"
#include "vistel/project/document.h"
#include "vistel/project/project_holder.h"

namespace vistel::web {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool contains(const std::vector<std::string>& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// Characters that end a URL's authority.
bool endsAuthority(char c) {
  return c == '/' || c == '?' || c == '#' || c == '"' || c == '\'' || c == '<' || c == '>' ||
         c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool insideFolder(const std::filesystem::path& file, const std::filesystem::path& folder) {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::weakly_canonical(folder, ec);
  if (ec || base.empty()) return false;
  const std::filesystem::path target = std::filesystem::weakly_canonical(file, ec);
  if (ec) return false;
  auto b = base.begin();
  auto t = target.begin();
  for (; b != base.end(); ++b, ++t) {
    if (b->empty()) continue;  // a trailing separator
    if (t == target.end() || *t != *b) return false;
  }
  return t != target.end();
}

}  // namespace

bool tokenMatches(std::string_view given, std::string_view expected) {
  if (expected.empty()) return false;
  // Every byte of the expected token is looked at once, whatever `given` is,
  // and the lengths enter the result without an early return.
  unsigned difference = given.size() == expected.size() ? 0u : 1u;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = given.empty() ? 0 : static_cast<unsigned char>(given[i % given.size()]);
    difference |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return difference == 0;
}

bool isLoopbackHost(std::string_view host) {
  const std::string h = lower(host);
  if (h == "localhost" || h == "::1" || h == "[::1]") return true;
  if (!h.starts_with("127.")) return false;
  int dots = 0;
  for (char c : h) {
    if (c == '.') {
      ++dots;
    } else if (!std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return dots == 3;
}

bool hostAllowed(const ServePolicy& policy, std::string_view hostHeader) {
  return !hostHeader.empty() && contains(policy.hostNames, lower(hostHeader));
}

bool originAllowed(const ServePolicy& policy, std::string_view origin) {
  return !origin.empty() && contains(policy.origins, lower(origin));
}

UrlParts parseUrl(std::string_view url) {
  UrlParts parts;
  const std::size_t colon = url.find("://");
  if (colon == std::string_view::npos || colon == 0) return parts;
  for (char c : url.substr(0, colon)) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return parts;
    }
  }
  parts.scheme = lower(url.substr(0, colon));
  std::string_view rest = url.substr(colon + 3);
  std::size_t end = 0;
  while (end < rest.size() && !endsAuthority(rest[end])) ++end;
  std::string_view authority = rest.substr(0, end);
  parts.path.assign(rest.substr(end));
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    parts.hasUserInfo = true;
    authority.remove_prefix(at + 1);
  }
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return parts;
    parts.host = lower(authority.substr(1, close - 1));
  } else {
    parts.host = lower(authority.substr(0, authority.find(':')));
  }
  parts.valid = true;
  return parts;
}

std::string checkPictureAddress(std::string_view address, const std::filesystem::path& folder) {
  if (address.find('[') != std::string_view::npos) {
    return "a picture address computed from variables is refused";
  }
  if (address.starts_with("file://")) {
    const std::string_view name = address.substr(7);
    // The loader reads the name as it stands; refusing escapes keeps what is
    // checked here and what is opened the same text.
    if (name.empty() || name.find('%') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
      return "a file:// picture name must be a plain path";
    }
    const std::filesystem::path path(name);
    const std::filesystem::path file = path.is_absolute() ? path : folder / path;
    if (folder.empty() || !insideFolder(file, folder)) {
      return "file:// pictures must lie inside the project's folder";
    }
    return "";
  }
  const UrlParts url = parseUrl(address);
  if (!url.valid || (url.scheme != "http" && url.scheme != "https") || url.host.empty()) {
    return "pictures must be http, https or file:// inside the project's folder";
  }
  return "";
}

std::string checkPageProject(std::string_view text, const std::filesystem::path& folder) {
  ProjectHolder holder;
  (void)holder.load(text.data(), text.size());
  const ProjectDocument* document = holder.project();
  if (document == nullptr) return "";  // nothing that loads, nothing fetched
  for (const auto* table : {&document->views, &document->viewTemplates}) {
    for (const auto& [id, view] : *table) {
      const std::string* src = view->findAttribute("src");
      if (src == nullptr || src->empty()) continue;
      std::string reason = checkPictureAddress(*src, folder);
      if (!reason.empty()) return "view '" + maskPasswords(id) + "': " + reason;
    }
  }
  return "";
}

std::string checkSilentUrl(std::string_view url, const std::vector<std::string>& hosts) {
  if (hosts.empty()) return "ExecSilentURL is not enabled on this server";
  const UrlParts parts = parseUrl(url);
  if (!parts.valid || (parts.scheme != "http" && parts.scheme != "https")) {
    return "silent URLs must be http or https";
  }
  for (const std::string& host : hosts) {
    if (lower(host) == parts.host) return "";
  }
  return "the host of this silent URL is not allowed";
}

std::string maskPasswords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t scheme = text.find("://", pos);
    if (scheme == std::string_view::npos) break;
    const std::size_t start = scheme + 3;
    std::size_t end = start;
    while (end < text.size() && !endsAuthority(text[end])) ++end;
    out.append(text.substr(pos, start - pos));
    const std::string_view authority = text.substr(start, end - start);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
      out.append("***:***");
      out.append(authority.substr(at));
    } else {
      out.append(authority);
    }
    pos = end;
  }
  out.append(text.substr(pos));
  return out;
}

RateLimiter::RateLimiter(double perSecond, double burst)
    : perSecond_(perSecond), burst_(burst), tokens_(burst) {}

bool RateLimiter::take(std::uint32_t nowMs) {
  if (started_) {
    tokens_ = std::min(burst_, tokens_ + elapsedMs(nowMs, lastMs_) * perSecond_ / 1000.0);
  }
  started_ = true;
  lastMs_ = nowMs;
  if (tokens_ < 1.0) return false;
  tokens_ -= 1.0;
  return true;
}

}  // namespace vistel::web
