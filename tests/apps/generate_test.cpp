#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/http_test_server.h"
#include "support/test_paths.h"
#include "vistel/calibration/calibrator.h"
#include "vistel/host/generated_project.h"

namespace vistel {
namespace {

struct Result {
  int status;
  std::string out;
  std::string err;
};

// Runs the real executable in a session of its own (so it has no terminal and
// prompts on standard input and error), with `input` as standard input and a
// data folder of its own (no remembered credentials).
Result runGenerate(const std::string& arguments, const std::string& input = "") {
  const auto dir = test::scratchDir("cli-generate");
  EXPECT_TRUE(test::writeFile(dir / "in", input));
  const std::string command = "XDG_DATA_HOME=" + (dir / "data").string() + " setsid " +
                              VISTEL_CLI_PATH + " generate " + arguments + " <" +
                              (dir / "in").string() + " 2>" + (dir / "err").string();
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int raw = ::pclose(pipe);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out, test::readFile(dir / "err")};
}

TEST(CliGenerate, PrintsTheTwoCameraProjectFromParamsAndAParamFile) {
  const auto dir = test::scratchDir("cli-generate-params");
  ASSERT_TRUE(test::writeFile(dir / "params", "# two cameras\nFPS=25\nendImage=file:///b.jpg\n"));
  const Result r = runGenerate("--param topCameraAddress='file:///a.jpg?x=1&y=2' --params " +
                               (dir / "params").string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, generatedProject("file:///a.jpg?x=1&#38;y=2", 25.0f, "file:///b.jpg",
                                    kDefaultSourceKeyText, kDefaultDestinationKeyText) +
                       "\n");
}

TEST(CliGenerate, WithoutTwoCamerasPrintsTheProjectOrTheDefaultText) {
  EXPECT_EQ(runGenerate("--param 'Project=<quilo startview=\"v\"/>' --param startImage=a").out,
            "<quilo startview=\"v\"/>\n");
  EXPECT_EQ(runGenerate("").out, "vistel_project.xml\n");
  const Result bad = runGenerate("--param Project");
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(bad.out.empty());
  EXPECT_EQ(runGenerate("extra").status, 2);
}

TEST(CliGenerate, AsksForCredentialsWhenACameraAnswers401) {
  test::HttpTestServer camera([](test::HttpTestConnection& c) {
    const bool ok = test::hasBasicAuth(c.request(), "admin", "secret");
    c.send(test::httpResponse(ok ? 200 : 401, {{"WWW-Authenticate", "Basic realm=\"cam\""}}, ""));
  });
  const Result r = runGenerate("--timeout-ms 5000 --param topCameraAddress=" + camera.url("/a") +
                                   " --param bottomCameraAddress=" + camera.url("/b"),
                               "admin\nsecret\nn\n\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Authorization needed for: 127.0.0.1"), std::string::npos) << r.err;
  // The first camera got the answers; the empty user name cancelled the second.
  EXPECT_EQ(r.out, generatedProject(camera.urlWithCredentials("admin", "secret", "/a"), -1.0f, "",
                                    kDefaultSourceKeyText, kDefaultDestinationKeyText) +
                       "\n");
}

}  // namespace
}  // namespace vistel
