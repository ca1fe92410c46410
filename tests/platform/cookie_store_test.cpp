// test-labels: threads network
#include "vistel/platform/cookie_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <thread>

#include "support/http_test_server.h"
#include "support/test_paths.h"
#include "vistel/platform/http_session.h"

namespace vistel {
namespace {

using test::HttpTestConnection;
using test::HttpTestServer;

constexpr const char* kFarFuture = ";expires=Mon, 23-Jun-2042 00:00:00 GMT";

class CookieStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    jar = test::scratchDir("cookie-store") / "jar" / "cookies.txt";
    ASSERT_TRUE(store.useJar(jar));
  }
  CookieStore& store = CookieStore::instance();
  std::filesystem::path jar;
};

// Answers every request; "/login" also sets the cookies given.
HttpTestServer::Handler loginServer(std::vector<std::string> setCookies) {
  return [setCookies](HttpTestConnection& c) {
    test::HttpTestHeaders headers;
    if (c.request().target == "/login")
      for (const auto& cookie : setCookies) headers.emplace_back("Set-Cookie", cookie);
    c.send(test::httpResponse(200, headers, "ok"));
  };
}

TEST_F(CookieStoreTest, CookiesFromOneSessionAreSentByAnotherSessionOnAnotherThread) {
  HttpTestServer server(loginServer({"sid=abc123; Path=/"}));
  {
    HttpSession first;
    auto response = first.open(server.url("/login"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status(), 200);
  }
  std::thread other([&] {
    HttpSession second;
    auto response = second.open(server.url("/cam/video.cgi"));
    EXPECT_TRUE(response);
  });
  other.join();
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].header("Cookie").has_value());
  EXPECT_EQ(requests[1].header("Cookie"), "sid=abc123");
  EXPECT_EQ(store.getCookie(server.url("/anything"), "sid"), "abc123");
}

TEST_F(CookieStoreTest, ACookieSetForAnAddressIsReadBackAndSentWithRequests) {
  HttpTestServer server(loginServer({}));
  const std::string address = server.url("/axis-cgi/mjpg/video.cgi");
  ASSERT_TRUE(store.setCookie(address, "vistel_auth", std::string("QUJD+/0=") + kFarFuture));
  // Just the value: callers do not strip a "name=" prefix.
  EXPECT_EQ(store.getCookie(address, "vistel_auth"), "QUJD+/0=");
  EXPECT_EQ(store.getCookie(server.url("/axis-cgi/mjpg/other.cgi"), "vistel_auth"), "QUJD+/0=");
  EXPECT_FALSE(store.getCookie(address, "other").has_value());
  // Another host (even the same machine under another name) does not get it.
  EXPECT_FALSE(store.getCookie(
      "http://localhost:" + std::to_string(server.port()) + "/axis-cgi/mjpg/video.cgi",
      "vistel_auth"));
  // Without a path attribute the cookie belongs to the address's folder.
  EXPECT_FALSE(store.getCookie(server.url("/other/video.cgi"), "vistel_auth"));

  HttpSession session;
  ASSERT_TRUE(session.open(address));
  ASSERT_TRUE(session.open(server.url("/other/video.cgi")));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Cookie"), "vistel_auth=QUJD+/0=");
  EXPECT_FALSE(requests[1].header("Cookie").has_value());
}

TEST_F(CookieStoreTest, SettingAgainReplacesAndAPastExpiryDeletes) {
  const std::string address = "http://camera.test/video.cgi";
  ASSERT_TRUE(store.setCookie(address, "token", std::string("one") + kFarFuture));
  ASSERT_TRUE(store.setCookie(address, "token", std::string("two") + kFarFuture));
  EXPECT_EQ(store.getCookie(address, "token"), "two");
  ASSERT_TRUE(store.setCookie(address, "token", "gone;expires=Thu, 01 Jan 1970 00:00:01 GMT"));
  EXPECT_FALSE(store.getCookie(address, "token").has_value());
  ASSERT_TRUE(store.setCookie(address, "token", "three; max-age=3600"));
  EXPECT_EQ(store.getCookie(address, "token"), "three");
  ASSERT_TRUE(store.setCookie(address, "token", "x; max-age=0"));
  EXPECT_FALSE(store.getCookie(address, "token").has_value());
}

TEST_F(CookieStoreTest, PathDomainAndSecureScopeTheCookie) {
  ASSERT_TRUE(store.setCookie("http://cam.example.test/a/b/c.cgi", "n", "deep; path=/a/b"));
  ASSERT_TRUE(store.setCookie("http://cam.example.test/", "n", "root; path=/"));
  EXPECT_EQ(store.getCookie("http://cam.example.test/a/b/c.cgi", "n"),
            "deep");  // longest path wins
  EXPECT_EQ(store.getCookie("http://cam.example.test/a/bc", "n"),
            "root");  // "/a/b" is no prefix of "/a/bc"
  EXPECT_EQ(store.getCookie("HTTP://CAM.Example.TEST/a/b", "n"), "deep");

  ASSERT_TRUE(store.setCookie("http://cam.example.test/", "wide", "yes; domain=.example.test"));
  EXPECT_EQ(store.getCookie("http://other.example.test/", "wide"), "yes");
  EXPECT_FALSE(store.getCookie("http://example.org/", "wide"));
  EXPECT_FALSE(store.setCookie("http://cam.example.test/", "evil", "x; domain=elsewhere.test"));
  EXPECT_FALSE(store.setCookie("http://10.0.0.5/", "evil", "x; domain=0.0.5"));

  ASSERT_TRUE(store.setCookie("https://cam.example.test/", "s", "secret; secure"));
  EXPECT_EQ(store.getCookie("https://cam.example.test/", "s"), "secret");
  EXPECT_FALSE(store.getCookie("http://cam.example.test/", "s"));
}

TEST_F(CookieStoreTest, MalformedInputChangesNothing) {
  EXPECT_FALSE(store.setCookie("not a url", "n", "v"));
  EXPECT_FALSE(store.setCookie("ftp://camera.test/", "n", "v"));
  EXPECT_FALSE(store.setCookie("http://camera.test/", "", "v"));
  EXPECT_FALSE(store.setCookie("http://camera.test/", "a=b", "v"));
  EXPECT_FALSE(store.setCookie("http://camera.test/", "n", "line\nbreak"));
  EXPECT_FALSE(store.setCookie("http://camera.test/", "n", "v;expires=not a date"));
  EXPECT_FALSE(store.getCookie("http://camera.test/", "n").has_value());
  EXPECT_FALSE(store.getCookie("garbage", "n").has_value());
}

TEST_F(CookieStoreTest, PersistentCookiesSurviveAReloadAndSessionCookiesDoNot) {
  ASSERT_TRUE(store.setCookie("http://camera.test/video.cgi", "vistel_auth",
                              std::string("kept") + kFarFuture));
  ASSERT_TRUE(store.setCookie("http://camera.test/video.cgi", "session", "dropped"));
  EXPECT_EQ(store.jarPath(), jar);
  const std::string text = test::readFile(jar);
  EXPECT_NE(text.find("vistel_auth\tkept"), std::string::npos) << text;
  EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
  struct stat info {};
  ASSERT_EQ(::stat(jar.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // the jar may hold camera credentials

  ASSERT_TRUE(store.reload());
  EXPECT_EQ(store.getCookie("http://camera.test/video.cgi", "vistel_auth"), "kept");
  EXPECT_FALSE(store.getCookie("http://camera.test/video.cgi", "session").has_value());

  // Another jar is another set of cookies; switching back finds them again.
  const auto otherJar = jar.parent_path() / "other.txt";
  ASSERT_TRUE(store.useJar(otherJar));
  EXPECT_FALSE(store.getCookie("http://camera.test/video.cgi", "vistel_auth").has_value());
  ASSERT_TRUE(store.useJar(jar));
  EXPECT_EQ(store.getCookie("http://camera.test/video.cgi", "vistel_auth"), "kept");
}

TEST_F(CookieStoreTest, CookiesSetByAServerReachTheJar) {
  HttpTestServer server(
      loginServer({"remember=me; Path=/; Expires=Wed, 01 Jan 2042 00:00:00 GMT", "temp=1"}));
  {
    HttpSession session;
    auto response = session.open(server.url("/login"));
    ASSERT_TRUE(response);
  }
  const std::string text = test::readFile(jar);
  EXPECT_NE(text.find("remember\tme"), std::string::npos) << text;
  EXPECT_EQ(text.find("temp"), std::string::npos) << text;
  ASSERT_TRUE(store.reload());
  EXPECT_EQ(store.getCookie(server.url("/"), "remember"), "me");
  EXPECT_FALSE(store.getCookie(server.url("/"), "temp").has_value());
}

TEST_F(CookieStoreTest, AJarWithForeignAndBrokenLinesLoadsWhatItCan) {
  const auto path = jar.parent_path() / "handmade.txt";
  ASSERT_TRUE(test::writeFile(path,
                              "# Netscape HTTP Cookie File\n"
                              "camera.test\tFALSE\t/\tFALSE\t2279000000\tgood\tvalue\n"
                              "camera.test\tFALSE\t/\tFALSE\t1000\texpired\tvalue\n"
                              "broken line without tabs\n"
                              "camera.test\tMAYBE\t/\tFALSE\t2279000000\tbadflag\tvalue\n"
                              "#HttpOnly_.example.test\tTRUE\t/\tFALSE\t2279000000\twide\tw\n"));
  ASSERT_TRUE(store.useJar(path));
  EXPECT_EQ(store.getCookie("http://camera.test/", "good"), "value");
  EXPECT_EQ(store.getCookie("http://cam.example.test/", "wide"), "w");
  EXPECT_FALSE(store.getCookie("http://camera.test/", "expired").has_value());
  EXPECT_FALSE(store.getCookie("http://camera.test/", "badflag").has_value());
}

// The value of each cookie as a request header lists it first.
std::map<std::string, std::string> firstValues(const std::string& header) {
  std::map<std::string, std::string> values;
  for (std::size_t start = 0; start < header.size();) {
    std::size_t end = header.find("; ", start);
    if (end == std::string::npos) end = header.size();
    const std::string pair = header.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    values.emplace(pair.substr(0, equals),
                   equals == std::string::npos ? "" : pair.substr(equals + 1));
    start = end + 2;
  }
  return values;
}

TEST_F(CookieStoreTest, TheGetterGivesWhatARequestSends) {
  const auto path = jar.parent_path() / "scopes.txt";
  ASSERT_TRUE(test::writeFile(path,
                              "127.0.0.1\tFALSE\t/\tFALSE\t2279000000\tplain\troot\n"
                              "127.0.0.1\tFALSE\t/cam\tFALSE\t2279000000\tplain\tdeeper\n"
                              ".0.0.1\tTRUE\t/\tFALSE\t2279000000\ttail\tt\n"
                              "127.0.0.1\tFALSE\t/\tTRUE\t2279000000\tsecure\ts\n"
                              "127.0.0.1\tFALSE\t/cam/\tFALSE\t2279000000\tslash\tx\n"
                              ".localhost\tTRUE\t/\tFALSE\t2279000000\tsite\twide\n"
                              "cam.localhost\tFALSE\t/\tFALSE\t2279000000\tsite\tnarrow\n"));
  ASSERT_TRUE(store.useJar(path));
  HttpTestServer server(loginServer({}));
  const std::string port = std::to_string(server.port());
  std::vector<std::string> addresses;
  for (const char* host : {"127.0.0.1", "cam.localhost"})
    for (const char* target : {"/", "/cam", "/cam/x", "/camera"})
      addresses.push_back(std::string("http://") + host + ":" + port + target);
  HttpSession session;
  for (const auto& address : addresses) ASSERT_TRUE(session.open(address)) << address;
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), addresses.size());
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const auto sent = firstValues(requests[i].header("Cookie").value_or(""));
    EXPECT_FALSE(sent.empty()) << addresses[i];
    for (const char* name : {"plain", "tail", "secure", "slash", "site"}) {
      const auto it = sent.find(name);
      const std::optional<std::string> expected =
          it == sent.end() ? std::nullopt : std::optional(it->second);
      EXPECT_EQ(store.getCookie(addresses[i], name), expected) << addresses[i] << " " << name;
    }
  }
}

TEST_F(CookieStoreTest, AnIpv6CamerasCookiesAreFiledUnderTheBareAddress) {
  // libcurl files the cookies of a server at [::1] under "::1"; the setter and
  // the getter must use the same name or requests never carry them.
  const auto path = jar.parent_path() / "ipv6.txt";
  // The second line is how jars of earlier versions filed a camera's password.
  ASSERT_TRUE(test::writeFile(path,
                              "::1\tFALSE\t/\tTRUE\t2279000000\tfromServer\ts\n"
                              "[::1]\tFALSE\t/old\tFALSE\t2279000000\tolder\to\n"));
  ASSERT_TRUE(store.useJar(path));
  EXPECT_EQ(store.getCookie("http://[::1]:8080/video.cgi", "fromServer"), "s");
  EXPECT_EQ(store.getCookie("http://[::1]/old/video.cgi", "older"), "o");
  ASSERT_TRUE(store.setCookie("http://[::1]/cam/video.cgi", "vistel_auth",
                              std::string("QUJD") + kFarFuture));
  EXPECT_NE(test::readFile(path).find("\n::1\tFALSE\t/cam\tFALSE\t2287094400\tvistel_auth\tQUJD"),
            std::string::npos)
      << test::readFile(path);
}

TEST_F(CookieStoreTest, AServerCookieWithEightBitBytesIsKept) {
  HttpTestServer server(
      loginServer({"city=K\xc3\xb6ln; Path=/; Expires=Wed, 01 Jan 2042 00:00:00 GMT"}));
  {
    HttpSession session;
    ASSERT_TRUE(session.open(server.url("/login")));
  }
  EXPECT_EQ(store.getCookie(server.url("/"), "city"), "K\xc3\xb6ln");
  ASSERT_TRUE(store.reload());
  EXPECT_EQ(store.getCookie(server.url("/"), "city"), "K\xc3\xb6ln");
}

TEST_F(CookieStoreTest, SettersAndRequestsOnManyThreadsDoNotInterfere) {
  HttpTestServer server(loginServer({"shared=1; Path=/"}));
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      HttpSession session;
      const std::string name = "t" + std::to_string(i);
      bool ok = true;
      for (int k = 0; k < 10; ++k) {
        ok = ok && store.setCookie(server.url("/"), name, std::to_string(k) + kFarFuture);
        ok = ok && session.open(server.url(k % 2 ? "/login" : "/cam")) != nullptr;
        ok = ok && store.getCookie(server.url("/"), name) == std::to_string(k);
      }
      if (ok) good.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 4);
  ASSERT_TRUE(store.reload());
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(store.getCookie(server.url("/"), "t" + std::to_string(i)), "9");
}

}  // namespace
}  // namespace vistel
