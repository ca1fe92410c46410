#include "vistel/platform/cookie_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <vector>

#include "vistel/platform/cookie_store_p.h"
#include "vistel/platform/cookie_text_p.h"
#include "vistel/platform/curl_runtime_p.h"

// libcurl's cookie engine holds the cookies (one share handle for every
// transfer) and reads what servers set. Three things stay here because libcurl
// cannot do them as this store must: its jar writer creates a new file with the
// process umask (0644, while the jar may hold camera passwords), saves session
// cookies too and reports no failed write; its jar reader takes lines this one
// refuses (a "MAYBE" flag read as FALSE, "..x" kept as another domain, a value
// with ';' that a request would send as two cookies); and it has no look-up of
// the cookies for an address, so getCookie applies the rules it sends by to its
// list. A "Set-Cookie:" line given to it without a domain would go to every
// host, so setCookie hands it a jar line for the address instead.

namespace vistel {

namespace {

// A jar larger than this was not written by us; only its first part is read.
constexpr std::size_t kMaxJarBytes = 1 << 20;
constexpr std::string_view kJarHeader =
    "# Netscape HTTP Cookie File\n"
    "# Written by the Vistel viewer; edits are lost when it next saves.\n";

struct ShareDeleter {
  void operator()(CURLSH* share) const noexcept { curl_share_cleanup(share); }
};

struct UrlParts {
  std::string host;  // lower case, an IPv6 address without brackets
  std::string path;
  bool secureContext = false;  // secure cookies go there
};

std::optional<UrlParts> splitUrl(std::string_view url) {
  detail::CurlUrl handle(curl_url());
  if (!handle) return std::nullopt;
  const std::string text(url);
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return std::nullopt;
  auto part = [&](CURLUPart which) -> std::optional<std::string> {
    char* raw = nullptr;
    if (curl_url_get(handle.get(), which, &raw, 0) != CURLUE_OK) return std::nullopt;
    detail::CurlString owned(raw);
    return std::string(owned.get());
  };
  const auto scheme = part(CURLUPART_SCHEME);
  const auto host = part(CURLUPART_HOST);
  if (!scheme || !host || (*scheme != "http" && *scheme != "https")) return std::nullopt;
  UrlParts parts;
  // libcurl files the cookies of [::1] under "::1".
  parts.host = detail::bareHost(*host);
  for (char& c : parts.host)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  parts.path = part(CURLUPART_PATH).value_or("/");
  // libcurl sends secure cookies over plain http to the loopback names too.
  parts.secureContext = *scheme == "https" || parts.host == "localhost" ||
                        parts.host == "127.0.0.1" || parts.host == "::1";
  return parts;
}

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool isLive(const detail::CookieRecord& record, std::int64_t now) {
  return record.expires == 0 || record.expires > now;
}

// Replaces `path` by `text` in one step, readable by the owner only.
bool writeJarFile(const std::filesystem::path& path, const std::string& text) {
  std::error_code ec;
  const auto dir = path.parent_path();
  if (!dir.empty() && !std::filesystem::exists(dir, ec)) {
    std::filesystem::create_directories(dir, ec);
    if (ec) return false;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
  }
  auto temporary = path;
  temporary += ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      ok = false;
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace

struct CookieStore::Impl {
  Impl() {
    if (!detail::ensureCurlRuntime()) return;
    share.reset(curl_share_init());
    control.reset(curl_easy_init());
    if (!share || !control) return;
    usable =
        curl_share_setopt(share.get(), CURLSHOPT_LOCKFUNC, &Impl::lockShare) == CURLSHE_OK &&
        curl_share_setopt(share.get(), CURLSHOPT_UNLOCKFUNC, &Impl::unlockShare) == CURLSHE_OK &&
        curl_share_setopt(share.get(), CURLSHOPT_USERDATA, this) == CURLSHE_OK &&
        curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) == CURLSHE_OK &&
        curl_easy_setopt(control.get(), CURLOPT_SHARE, share.get()) == CURLE_OK &&
        curl_easy_setopt(control.get(), CURLOPT_COOKIEFILE, "") == CURLE_OK;
  }

  ~Impl() {
    // The control handle holds a reference to the share; it must go first.
    control.reset();
    share.reset();
  }

  static void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    if (data >= 0 && data < CURL_LOCK_DATA_LAST) static_cast<Impl*>(user)->shareLocks[data].lock();
  }
  static void unlockShare(CURL*, curl_lock_data data, void* user) {
    if (data >= 0 && data < CURL_LOCK_DATA_LAST)
      static_cast<Impl*>(user)->shareLocks[data].unlock();
  }

  // The first use reads the default jar unless useJar chose one before.
  void ensureJarLocked() {
    if (jarChosen) return;
    jarChosen = true;
    jar = defaultJarPath();
    (void)loadLocked();
  }

  std::vector<detail::CookieRecord> listLocked() const {
    std::vector<detail::CookieRecord> records;
    curl_slist* raw = nullptr;
    if (curl_easy_getinfo(control.get(), CURLINFO_COOKIELIST, &raw) != CURLE_OK) return records;
    detail::CurlSlist list(raw);
    for (const curl_slist* item = list.get(); item; item = item->next)
      if (auto record = detail::parseCookieLine(item->data)) records.push_back(std::move(*record));
    return records;
  }

  bool addLocked(const detail::CookieRecord& record) {
    const std::string line = detail::formatCookieLine(record);
    return curl_easy_setopt(control.get(), CURLOPT_COOKIELIST, line.c_str()) == CURLE_OK;
  }

  // What the jar should hold now: the unexpired persistent cookies, sorted so
  // that an unchanged store gives the same text.
  std::string jarTextLocked() const {
    const auto now = nowSeconds();
    std::vector<std::string> lines;
    for (const auto& record : listLocked())
      if (record.expires != 0 && record.expires > now)
        lines.push_back(detail::formatCookieLine(record));
    std::sort(lines.begin(), lines.end());
    std::string text(kJarHeader);
    for (const auto& line : lines) text += line + '\n';
    return text;
  }

  bool loadLocked() {
    (void)curl_easy_setopt(control.get(), CURLOPT_COOKIELIST, "ALL");
    written.reset();
    bool ok = true;
    if (!jar.empty()) {
      std::error_code ec;
      if (std::filesystem::exists(jar, ec)) {
        std::ifstream in(jar, std::ios::binary);
        if (!in) ok = false;
        const auto now = nowSeconds();
        std::string line;
        std::size_t consumed = 0;
        while (in && consumed < kMaxJarBytes && std::getline(in, line)) {
          consumed += line.size() + 1;
          auto record = detail::parseCookieLine(line);
          if (!record || record->expires == 0 || record->expires <= now) continue;
          // Older jars filed IPv6 cameras under "[::1]", a name libcurl never asks for.
          record->domain = std::string(detail::bareHost(record->domain));
          (void)addLocked(*record);
        }
      }
    }
    if (ok) written = jarTextLocked();
    return ok;
  }

  bool saveLocked() {
    if (jar.empty()) return false;
    std::string text = jarTextLocked();
    if (written && *written == text) return true;
    if (!writeJarFile(jar, text)) return false;
    written = std::move(text);
    return true;
  }

  // Guards each kind of data libcurl shares between the handles; only libcurl
  // takes these, through lockShare/unlockShare. Always taken after `mutex`.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks;
  std::unique_ptr<CURLSH, ShareDeleter> share;  // set in the constructor only
  bool usable = false;                          // set in the constructor only

  mutable std::mutex mutex;
  detail::CurlEasy control;            // guarded by mutex: never performs, lists and sets cookies
  std::filesystem::path jar;           // guarded by mutex
  bool jarChosen = false;              // guarded by mutex
  std::optional<std::string> written;  // guarded by mutex: jar text as last read or written
};

CookieStore::CookieStore() : impl_(std::make_unique<Impl>()) {}
CookieStore::~CookieStore() = default;

CookieStore& CookieStore::instance() {
  static CookieStore store;
  return store;
}

std::filesystem::path CookieStore::defaultJarPath() {
  const std::filesystem::path tail = std::filesystem::path("vistel") / "cookies.txt";
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
    return std::filesystem::path(data) / tail;
  std::filesystem::path home;
  if (const char* env = std::getenv("HOME"); env && env[0] == '/') {
    home = env;
  } else {
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
      home = found->pw_dir;
  }
  if (home.empty()) return {};
  return home / ".local" / "share" / tail;
}

bool CookieStore::setCookie(std::string_view url, std::string_view name, std::string_view data) {
  const auto parts = splitUrl(url);
  const auto now = nowSeconds();
  const auto parsed = detail::parseCookieData(data, now);
  if (!parts || !parsed || !detail::isCookieName(name)) return false;

  detail::CookieRecord record;
  record.name = std::string(name);
  record.value = parsed->value;
  record.path = parsed->path.value_or(detail::defaultCookiePath(parts->path));
  record.secure = parsed->secure;
  record.httpOnly = parsed->httpOnly;
  record.expires = parsed->expires.value_or(0);
  record.domain = parts->host;
  const bool address = detail::isAddressHost(parts->host);
  if (parsed->domain && detail::bareHost(*parsed->domain) != parts->host) {
    // A domain attribute may widen the cookie to the host's parent domain,
    // never to another site or from an address literal.
    detail::CookieRecord scope;
    scope.domain = *parsed->domain;
    scope.includeSubdomains = true;
    if (address || parsed->domain->find('.') == std::string::npos ||
        !detail::domainMatches(scope, parts->host))
      return false;
    record.domain = *parsed->domain;
    record.includeSubdomains = true;
  } else if (parsed->domain && !address) {
    record.includeSubdomains = true;
  }

  std::lock_guard lock(impl_->mutex);
  impl_->ensureJarLocked();
  if (!impl_->usable || !impl_->addLocked(record)) return false;
  (void)impl_->saveLocked();
  if (!isLive(record, now)) return true;
  // libcurl drops lines it cannot take without saying so; look the cookie up.
  for (const auto& stored : impl_->listLocked())
    if (stored == record) return true;
  return false;
}

std::optional<std::string> CookieStore::getCookie(std::string_view url,
                                                  std::string_view name) const {
  const auto parts = splitUrl(url);
  if (!parts) return std::nullopt;
  const auto now = nowSeconds();
  std::lock_guard lock(impl_->mutex);
  impl_->ensureJarLocked();
  if (!impl_->usable) return std::nullopt;
  // A request lists the cookies of one name longest path first, then longest
  // domain, then oldest; libcurl's list keeps one domain's cookies in the
  // order they came, so the first of equals is the oldest.
  std::optional<detail::CookieRecord> best;
  for (auto& record : impl_->listLocked()) {
    if (record.name != name || !isLive(record, now) || (record.secure && !parts->secureContext) ||
        !detail::domainMatches(record, parts->host) ||
        !detail::pathMatches(record.path, parts->path))
      continue;
    if (!best || record.path.size() > best->path.size() ||
        (record.path.size() == best->path.size() && record.domain.size() > best->domain.size()))
      best = std::move(record);
  }
  if (!best) return std::nullopt;
  return std::move(best->value);
}

bool CookieStore::useJar(const std::filesystem::path& path) {
  std::lock_guard lock(impl_->mutex);
  impl_->jarChosen = true;
  impl_->jar = path;
  return impl_->usable && impl_->loadLocked();
}

std::filesystem::path CookieStore::jarPath() const {
  std::lock_guard lock(impl_->mutex);
  impl_->ensureJarLocked();
  return impl_->jar;
}

bool CookieStore::save() {
  std::lock_guard lock(impl_->mutex);
  impl_->ensureJarLocked();
  return impl_->usable && impl_->saveLocked();
}

bool CookieStore::reload() {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->jarChosen) {
    impl_->jarChosen = true;
    impl_->jar = defaultJarPath();
  }
  return impl_->usable && impl_->loadLocked();
}

namespace detail {

bool CookieStoreAccess::attach(CURL* easy) {
  auto& impl = *CookieStore::instance().impl_;
  std::lock_guard lock(impl.mutex);
  impl.ensureJarLocked();
  return impl.usable && curl_easy_setopt(easy, CURLOPT_SHARE, impl.share.get()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "") == CURLE_OK;
}

void CookieStoreAccess::persist() {
  auto& impl = *CookieStore::instance().impl_;
  std::lock_guard lock(impl.mutex);
  if (impl.jarChosen && impl.usable) (void)impl.saveLocked();
}

}  // namespace detail

}  // namespace vistel
