#pragma once

// The checks that stand between a web page and the server: who may open a
// session (token, Host and Origin of the WebSocket upgrade, a cap on
// sessions), how much a page may send (message sizes and rate), and what a
// page may make the server fetch (its own project or none; camera addresses;
// silent URLs). Every check returns a verdict and never throws.
//
// Thread-safety: the free functions are pure; a RateLimiter belongs to one
// session and is used from one thread at a time; a ServePolicy is built
// before the server starts and only read afterwards.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vistel::web {

// Largest text message a page may send: commands and events, and the
// messages that carry a project text (the hello with a page's <param>s,
// Project and SetProjectXMLBuffer).
inline constexpr std::size_t kMaxCommandBytes = 64 * 1024;
inline constexpr std::size_t kMaxProjectBytes = 1024 * 1024;

// What the operator allowed, fixed for the server's life.
struct ServePolicy {
  // The token a page must give (the element's token attribute); empty: none
  // needed (only allowed on a loopback address).
  std::string token;
  // Host header values the server answers to ("name:port", lower case).
  std::vector<std::string> hostNames;
  // Origin header values whose pages may open a session ("scheme://host[:port]").
  std::vector<std::string> origins;
  // Page projects (--allow-page-projects): Project, SetProjectXMLBuffer and
  // the project-making <param>s of a page are refused without it.
  bool allowPageProjects = false;
  // Folder of the server's project: file:// pictures of page projects and
  // Recalibrate must lie inside it.
  std::filesystem::path projectFolder;
  // Recalibrate from a page (--allow-recalibrate).
  bool allowRecalibrate = false;
  // Hosts a page's ExecSilentURL may reach (--allow-silent-url HOST); empty:
  // ExecSilentURL is off.
  std::vector<std::string> silentUrlHosts;
  // Sessions open at once; a further upgrade is answered 503.
  std::size_t maxSessions = 16;
  // Messages a page may send per second on average, and in one burst.
  double messagesPerSecond = 250;
  double messageBurst = 500;
};

// Compares a page's token with the expected one in time that does not depend
// on where they differ (nor on the given token's length). False for an empty
// expected token.
[[nodiscard]] bool tokenMatches(std::string_view given, std::string_view expected);

// True for 127.0.0.0/8, ::1 and "localhost".
[[nodiscard]] bool isLoopbackHost(std::string_view host);

// The Host header of an upgrade names this server (DNS rebinding: a page of
// another name that resolves to us must not reach the sessions).
[[nodiscard]] bool hostAllowed(const ServePolicy& policy, std::string_view hostHeader);
// The Origin header names a page the operator allowed. A missing Origin
// (no browser) is refused.
[[nodiscard]] bool originAllowed(const ServePolicy& policy, std::string_view origin);

// The parts of an absolute URL the checks need; `valid` false when the text
// is no scheme://authority URL.
struct UrlParts {
  bool valid = false;
  std::string scheme;  // lower case
  std::string host;    // lower case, without brackets or port
  std::string path;    // from the first "/" after the authority (may be empty)
  bool hasUserInfo = false;
};
[[nodiscard]] UrlParts parseUrl(std::string_view url);

// Empty when a page may make the server fetch `address` as a picture: an
// http or https URL, or a file:// picture inside `folder`; otherwise the
// reason, without the address's user information.
[[nodiscard]] std::string checkPictureAddress(std::string_view address,
                                              const std::filesystem::path& folder);
// Empty when every view (and view template) of the project `text` names a
// picture checkPictureAddress accepts, and none computes its address from
// variables; otherwise the reason.
[[nodiscard]] std::string checkPageProject(std::string_view text,
                                           const std::filesystem::path& folder);
// Empty when ExecSilentURL may request `url`: http or https to one of `hosts`.
[[nodiscard]] std::string checkSilentUrl(std::string_view url,
                                         const std::vector<std::string>& hosts);

// `text` with the user name and password of every URL in it replaced by
// "***", so no camera password reaches a page or a log.
[[nodiscard]] std::string maskPasswords(std::string_view text);

// A token bucket: `perSecond` messages on average, `burst` at once.
class RateLimiter {
 public:
  RateLimiter(double perSecond, double burst);
  // Takes one message arriving at `nowMs` (a wrapping millisecond clock).
  // False when the page sends faster than allowed.
  [[nodiscard]] bool take(std::uint32_t nowMs);

 private:
  double perSecond_;
  double burst_;
  double tokens_;
  std::uint32_t lastMs_ = 0;
  bool started_ = false;
};

}  // namespace vistel::web
