// test-labels: threads network
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/http_test_server.h"
#include "support/shell.h"
#include "support/test_paths.h"
#include "vistel/calibration/calibrator.h"
#include "vistel/host/generated_project.h"

namespace vistel {
namespace {

using Result = test::ShellResult;

// Runs the real executable in a session of its own (so it has no terminal and
// prompts on standard input and error), with `input` as standard input and a
// data folder of its own (no remembered credentials).
Result runGenerate(const std::string& arguments, const std::string& input = "") {
  const auto dir = test::scratchDir("cli-generate");
  EXPECT_TRUE(test::writeFile(dir / "in", input));
  return test::runShell("XDG_DATA_HOME=" + (dir / "data").string() + " setsid " + VISTEL_CLI_PATH +
                        " generate " + arguments + " <" + (dir / "in").string());
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

TEST(CliGenerate, RenderTakesTheSamePropertiesAndShowsTheGeneratedProject) {
  const auto out = test::scratchDir("cli-render-params") / "frame.ppm";
  const std::string command = "cd '" + (test::sourceDir() / "examples" / "demo").string() +
                              "' && " + VISTEL_CLI_PATH +
                              " render --param topCameraAddress=file://left.jpg --param "
                              "bottomCameraAddress=file://right.jpg --param FPS=5 --size 64x48 "
                              "--goto '0;0,0;1;' --preset-time 0 --out " +
                              out.string() + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  ASSERT_EQ(::pclose(pipe), 0) << output;
  const std::string ppm = test::readFile(out);
  const std::string head = "P6\n64 48\n255\n";
  ASSERT_EQ(ppm.substr(0, head.size()), head);
  ASSERT_EQ(ppm.size(), head.size() + 64 * 48 * 3);
  // The first camera's picture fills the frame: far more than the blank frame's black.
  const auto lit = std::count_if(ppm.begin() + static_cast<std::ptrdiff_t>(head.size()), ppm.end(),
                                 [](char c) { return static_cast<unsigned char>(c) > 16; });
  EXPECT_GT(lit, 64 * 48 * 3 / 2);

  // PROJECT and properties exclude each other.
  const auto mixed =
      std::system((std::string(VISTEL_CLI_PATH) +
                   " render demo.xml --param FPS=5 --size 8x8 --out x.ppm 2>/dev/null")
                      .c_str());
  EXPECT_EQ(WEXITSTATUS(mixed), 2);
}

}  // namespace
}  // namespace vistel
