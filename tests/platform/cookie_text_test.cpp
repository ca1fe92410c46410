#include <gtest/gtest.h>

#include "vistel/platform/cookie_text_p.h"

namespace vistel::detail {
namespace {

TEST(CookieText, JarLinesRoundTrip) {
  CookieRecord record;
  record.domain = "camera.test";
  record.path = "/axis-cgi";
  record.expires = 2287094400;
  record.name = "vistel_auth";
  record.value = "QUJD+/0=";
  for (bool subdomains : {false, true})
    for (bool secure : {false, true})
      for (bool httpOnly : {false, true}) {
        record.includeSubdomains = subdomains;
        record.secure = secure;
        record.httpOnly = httpOnly;
        const auto line = formatCookieLine(record);
        EXPECT_EQ(parseCookieLine(line), record) << line;
      }
  record.value.clear();
  EXPECT_EQ(parseCookieLine(formatCookieLine(record)), record);
}

TEST(CookieText, JarLinesAsLibcurlWritesThem) {
  const auto wide = parseCookieLine(".Example.TEST\tTRUE\t/\tFALSE\t0\tn\tv\r\n");
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide->domain, "example.test");
  EXPECT_TRUE(wide->includeSubdomains);
  EXPECT_EQ(wide->expires, 0);
  // Six fields: a cookie with an empty value.
  const auto empty = parseCookieLine("h\tFALSE\t/\tFALSE\t5\tn");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->value, "");
}

TEST(CookieText, MalformedJarLinesAreRefused) {
  for (const char* line :
       {"", "# comment", "h\tFALSE\t/\tFALSE\t5", "h\tFALSE\t/\tFALSE\t5\tn\tv\textra",
        "h\tfalse\t/\tFALSE\t5\tn\tv", "h\tFALSE\tnoslash\tFALSE\t5\tn\tv",
        "h\tFALSE\t/\tFALSE\t-5\tn\tv", "h\tFALSE\t/\tFALSE\t5x\tn\tv",
        "h\tFALSE\t/\tFALSE\t99999999999999999999\tn\tv", "\tFALSE\t/\tFALSE\t5\tn\tv",
        "h h\tFALSE\t/\tFALSE\t5\tn\tv", "h\tFALSE\t/\tFALSE\t5\tn;\tv",
        "h\tFALSE\t/\tFALSE\t5\tn\tv;w"})
    EXPECT_FALSE(parseCookieLine(line).has_value()) << line;
}

TEST(CookieText, ValuesWithAttributes) {
  const std::int64_t now = 1'700'000'000;
  const auto plain = parseCookieData("  abc  ", now);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->value, "abc");
  EXPECT_FALSE(plain->expires.has_value());

  const auto full = parseCookieData(
      "QUJD;expires=Mon, 23-Jun-2042 00:00:00 GMT; Path=/cam; DOMAIN=.Example.Test; "
      "Secure; HttpOnly; Unknown=1",
      now);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->value, "QUJD");
  EXPECT_EQ(full->expires, 2287094400);  // 2042-06-23 00:00:00 UTC
  EXPECT_EQ(full->path, "/cam");
  EXPECT_EQ(full->domain, "example.test");
  EXPECT_TRUE(full->secure);
  EXPECT_TRUE(full->httpOnly);

  const auto maxAge = parseCookieData("v; max-age=60; expires=Mon, 23-Jun-2042 00:00:00 GMT", now);
  ASSERT_TRUE(maxAge);
  EXPECT_EQ(maxAge->expires, now + 60);
  const auto gone = parseCookieData("v; max-age=-1", now);
  ASSERT_TRUE(gone);
  EXPECT_LE(*gone->expires, now);

  for (const char* bad : {"v; expires=someday", "v; max-age=soon", "v; path=relative", "v\x01",
                          "v; domain=a b", "v; path=/\x7f"})
    EXPECT_FALSE(parseCookieData(bad, now).has_value()) << bad;
}

TEST(CookieText, NamesAndValues) {
  EXPECT_TRUE(isCookieName("vistel_auth"));
  for (const char* bad : {"", "a b", "a=b", "a;b", "a\tb", "(a)", "\xc3\xa9"})
    EXPECT_FALSE(isCookieName(bad)) << bad;
  EXPECT_TRUE(isCookieValue(""));
  EXPECT_TRUE(isCookieValue("a+b/c=="));
  EXPECT_FALSE(isCookieValue("a;b"));
  EXPECT_FALSE(isCookieValue(" padded"));
  EXPECT_FALSE(isCookieValue(std::string(kMaxCookieText + 1, 'a')));
  EXPECT_TRUE(isCookieValue("K\xc3\xb6ln"));  // servers send UTF-8
  EXPECT_FALSE(isCookieValue("a\x7f"));
}

TEST(CookieText, DomainAndPathRules) {
  CookieRecord hostOnly;
  hostOnly.domain = "example.test";
  EXPECT_TRUE(domainMatches(hostOnly, "EXAMPLE.test"));
  EXPECT_FALSE(domainMatches(hostOnly, "cam.example.test"));
  CookieRecord wide = hostOnly;
  wide.includeSubdomains = true;
  EXPECT_TRUE(domainMatches(wide, "cam.example.test"));
  EXPECT_FALSE(domainMatches(wide, "badexample.test"));
  EXPECT_FALSE(domainMatches(wide, "example.test.evil"));
  CookieRecord address;
  address.domain = "0.0.1";
  address.includeSubdomains = true;
  EXPECT_FALSE(domainMatches(address, "127.0.0.1"));  // addresses have no subdomains
  address.domain = "::1";
  EXPECT_TRUE(domainMatches(address, "[::1]"));

  EXPECT_TRUE(pathMatches("/", "/anything"));
  EXPECT_TRUE(pathMatches("/cam", "/cam"));
  EXPECT_TRUE(pathMatches("/cam", "/cam/video.cgi"));
  EXPECT_TRUE(pathMatches("/cam/", "/cam/video.cgi"));
  EXPECT_TRUE(pathMatches("/cam/", "/cam"));
  EXPECT_FALSE(pathMatches("/cam/", "/camera"));
  EXPECT_FALSE(pathMatches("/cam", "/camera"));
  EXPECT_FALSE(pathMatches("/cam/x", "/cam"));
  EXPECT_TRUE(pathMatches("/", ""));

  EXPECT_EQ(defaultCookiePath("/axis-cgi/mjpg/video.cgi"), "/axis-cgi/mjpg");
  EXPECT_EQ(defaultCookiePath("/video.cgi"), "/");
  EXPECT_EQ(defaultCookiePath("/"), "/");
  EXPECT_EQ(defaultCookiePath(""), "/");
  EXPECT_EQ(defaultCookiePath("relative/x"), "/");
}

}  // namespace
}  // namespace vistel::detail
