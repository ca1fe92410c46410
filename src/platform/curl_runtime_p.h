#pragma once

// Process-wide libcurl start-up and the RAII owners of its handles. Private to
// the HTTP layer.

#include <curl/curl.h>

#include <memory>

namespace vistel::detail {

// Initialises libcurl once per process (later calls return the first result).
// Thread-safe. libcurl is never torn down: handles may still be released while
// static objects are destroyed at exit.
[[nodiscard]] bool ensureCurlRuntime();

struct CurlEasyDeleter {
  void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct CurlStringDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

}  // namespace vistel::detail
