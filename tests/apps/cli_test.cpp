#include "cli.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/registration_scene.h"
#include "support/shell.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/project/encoding.h"

namespace vistel::cli {
namespace {

using Result = test::ShellResult;

Result runCli(std::vector<std::string> args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  const int status = run(args, {in, out, err});
  return {status, out.str(), err.str()};
}

nlohmann::json inspectText(const std::string& text) {
  const Result r = runCli({"inspect", "-"}, text);
  EXPECT_EQ(r.status, 0) << r.err;
  return nlohmann::json::parse(r.out);
}

// Runs the installed-style executable through the shell, for what only a real
// process shows: exit statuses and stream separation.
Result runBinary(const std::string& arguments) {
  return test::runShell(std::string(VISTEL_CLI_PATH) + " " + arguments);
}

TEST(Cli, UsageErrorsAreOneLineAndExitTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"eval", "--number"},
           {"eval", "--sideways", "1"},
           {"eval", "--number", "--text", "1"},
           {"eval", "--var", "novalue", "--interpolate", "x"},
           {"key", "encode", "1", "2"},
           {"key", "encode", "0", "0", "1", "0", "1", "1", "0", "zero"},
           {"key", "rotate"},
           {"inspect", "a.xml", "b.xml"},
       }) {
    const Result r = runCli(args);
    EXPECT_EQ(r.status, kExitUsage) << ::testing::PrintToString(args);
    EXPECT_TRUE(r.out.empty());
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
}

TEST(Cli, HelpNamesEveryCommandAndEachCommandExplainsItself) {
  const Result top = runCli({"--help"});
  EXPECT_EQ(top.status, 0);
  for (const char* name : {"inspect", "eval", "key", "calibrate", "generate"}) {
    EXPECT_NE(top.out.find(name), std::string::npos) << name;
    const Result sub = runCli({name, "--help"});
    EXPECT_EQ(sub.status, 0);
    EXPECT_NE(sub.out.find(std::string("vistel ") + name), std::string::npos) << sub.out;
  }
}

TEST(Cli, InspectPrintsTheModel) {
  const auto json = inspectText(R"(<quilo startview="a" extra="x">
      <script id="oninit"><set cond="[n]&gt;1" a="1" b="2"/><play link="l1" dur="5"/></script>
      <view id="a" src="cam.jpg"><preload>b;c</preload>
        <shape id="s" linecolor="#ff0000"><points>0.25,0.5;1,0</points></shape>
        <button id="btn"/><edge link="l1" dir="backward"/></view>
      <templates><view id="t"/><button id="tb"/><shape id="ts"/></templates>
      <link id="l1" from="a" to="b"><key time="0"></key></link>
      <embed id="e">QUJD</embed><lens id="lz">AAAA</lens>
    </quilo>)");
  EXPECT_EQ(json["root"], true);
  EXPECT_EQ(json["attributes"], nlohmann::json({{"extra", "x"}, {"startview", "a"}}));
  const auto& action = json["scripts"][0]["actions"];
  EXPECT_EQ(action[0]["kind"], "set");
  EXPECT_EQ(action[0]["cond"], "[n]>1");
  EXPECT_EQ(action[0]["args"], nlohmann::json({"a", "1", "b", "2"}));
  EXPECT_EQ(action[1]["kind"], "play");
  const auto& view = json["views"]["a"];
  EXPECT_EQ(view["preload"], nlohmann::json({"b", "c"}));
  EXPECT_EQ(view["shapes"][0]["points"], nlohmann::json::parse("[[0.25, 0.5], [1, 0]]"));
  EXPECT_EQ(view["buttons"][0]["id"], "btn");
  EXPECT_EQ(view["edges"][0]["attributes"]["dir"], "backward");
  EXPECT_TRUE(json["viewTemplates"].contains("t"));
  EXPECT_TRUE(json["buttonTemplates"].contains("tb"));
  EXPECT_TRUE(json["shapeTemplates"].contains("ts"));
  EXPECT_EQ(json["links"]["l1"]["keys"][0]["dataLength"], 0);
  EXPECT_FALSE(json["links"]["l1"]["keys"][0].contains("quad"));
  EXPECT_EQ(json["embeds"]["e"]["dataLength"], 3);
  EXPECT_EQ(json["lenses"]["lz"]["dataLength"], 3);
}

TEST(Cli, KeyTextsRoundTripThroughEncodeDecodeAndInspect) {
  const Result enc =
      runCli({"key", "encode", "-0.5", "-0.5", "0.5", "-0.5", "0.5", "0.5", "-0.1", "0.30000001"});
  ASSERT_EQ(enc.status, 0) << enc.err;
  const std::string text = enc.out.substr(0, enc.out.size() - 1);
  EXPECT_EQ(text.size(), 44u);
  EXPECT_EQ(text.back(), '=');

  const Result dec = runCli({"key", "decode", text});
  ASSERT_EQ(dec.status, 0) << dec.err;
  EXPECT_EQ(dec.out, "-0.5 -0.5 0.5 -0.5 0.5 0.5 -0.100000001 0.300000012\n");

  const auto json = inspectText("<quilo><link id=\"l\"><key>\n  " + text.substr(0, 20) + "\n  " +
                                text.substr(20) + "\n</key></link></quilo>");
  const auto& key = json["links"]["l"]["keys"][0];
  EXPECT_EQ(key["dataLength"], 32);
  const std::vector<float> quad = key["quad"];
  EXPECT_EQ(quad, (std::vector<float>{-0.5f, -0.5f, 0.5f, -0.5f, 0.5f, 0.5f, -0.1f, 0.3f}));

  const Result shortKey = runCli({"key", "decode", "QUJD"});
  EXPECT_EQ(shortKey.status, kExitFailure);
}

TEST(Cli, EvalModes) {
  EXPECT_EQ(runCli({"eval", "--number", "2*(3+4)"}).out, "14\n");
  EXPECT_EQ(runCli({"eval", "--number", "--", "-5"}).out, "-5\n");
  EXPECT_EQ(runCli({"eval", "--number", "0.1"}).out, "0.10000000000000001\n");
  EXPECT_EQ(runCli({"eval", "--number", "abc"}).out, "nan\n");
  EXPECT_EQ(runCli({"eval", "--number", "1/0"}).out, "inf\n");
  EXPECT_EQ(runCli({"eval", "--number", "0-1/0"}).out, "-inf\n");
  EXPECT_EQ(runCli({"eval", "--var", "n=5", "--condition", "[n]>3"}).out, "true\n");
  EXPECT_EQ(runCli({"eval", "--var", "n=5", "--condition", "[n]>-1"}).out, "false\n");
  EXPECT_EQ(runCli({"eval", "--var", "n=5", "--condition", "[n]$='5'"}).out, "true\n");
  EXPECT_EQ(runCli({"eval", "--condition", "[n]>3"}).out, "false\n");
  EXPECT_EQ(runCli({"eval", "--truth", "yes"}).out, "true\n");
  EXPECT_EQ(runCli({"eval", "--truth", "1=2"}).out, "false\n");
  EXPECT_EQ(runCli({"eval", "--text", "a b"}).out, "a b\n");
  EXPECT_EQ(runCli({"eval", "--colour", "#80ff0000"}).out, "0x80FF0000\n");
  EXPECT_EQ(runCli({"eval", "--colour", "#ff0000"}).out, "0xFFFF0000\n");
  EXPECT_EQ(runCli({"eval", "--colour", "red"}).out, "0x00000000\n");
  EXPECT_EQ(runCli({"eval", "--var", "x=1", "--interpolate", "a[x]b[y]c"}).out, "a1bc\n");
  EXPECT_EQ(runCli({"eval", "--var", "x=1", "--interpolate", "a[x"}).out, "\n");
}

TEST(Cli, RealProcessExitStatuses) {
  const auto dir = test::scratchDir("cli-status");
  ASSERT_TRUE(test::writeFile(dir / "empty.xml", "<other/>"));
  const Result noRoot = runBinary("inspect " + (dir / "empty.xml").string());
  EXPECT_EQ(noRoot.status, 1);
  EXPECT_EQ(nlohmann::json::parse(noRoot.out), nlohmann::json({{"root", false}}));

  const Result missing = runBinary("inspect " + (dir / "absent.xml").string());
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(missing.out.empty());
  EXPECT_NE(missing.err.find("absent.xml"), std::string::npos);

  const Result bad = runBinary("eval --number");
  EXPECT_EQ(bad.status, 2);

  const Result example =
      runBinary("inspect " + (test::sourceDir() / "examples/demo/demo.xml").string());
  EXPECT_EQ(example.status, 0) << example.err;
  const auto json = nlohmann::json::parse(example.out);
  EXPECT_EQ(json["views"].size(), 2u);
  EXPECT_EQ(json["links"].size(), 1u);
}

TEST(Cli, CalibrateMovesTheSourceKeyAndReportsResultCodes) {
  const auto dir = test::scratchDir("cli-calibrate");
  const Vec2 offset{0.1f, 0.05f};
  const test::PicturePair pair = test::shiftedPair(21, offset, 6, -5);
  const std::string source = (dir / "source.jpg").string(),
                    destination = (dir / "destination.jpg").string();
  ASSERT_TRUE(test::writeFile(
      source, test::encodeTestJpeg(test::rgbOf(pair.source, 640, 480), 640, 480, 95)));
  ASSERT_TRUE(test::writeFile(
      destination, test::encodeTestJpeg(test::rgbOf(pair.destination, 640, 480), 640, 480, 95)));
  const KeyQuad qS = test::offsetKey(kImageCornerKey, offset);
  const std::string sourceKey = encodeKeyText(keyQuadToBytes(qS));
  const std::string destinationKey = encodeKeyText(keyQuadToBytes(kImageCornerKey));

  const Result done = runBinary("calibrate " + source + " '" + sourceKey + "' " + destination +
                                " '" + destinationKey + "'");
  ASSERT_EQ(done.status, 0) << done.err;
  std::istringstream lines(done.out);
  std::string code, moved, kept;
  std::getline(lines, code);
  std::getline(lines, moved);
  std::getline(lines, kept);
  EXPECT_EQ(code, "0");
  EXPECT_EQ(kept, destinationKey);
  const auto quad = keyQuadFromBytes(decodeKeyText(moved));
  ASSERT_TRUE(quad);
  EXPECT_NEAR((quad->p0.x - qS.p0.x) * 640, 6, 0.05);
  EXPECT_NEAR((quad->p2.y - qS.p2.y) * 480, -5, 0.05);

  // Empty keys stand for the default pair.
  EXPECT_EQ(runCli({"calibrate", source, "", destination, ""}).status, 0);
  const std::string shortKey = sourceKey.substr(1);
  const std::string absent = (dir / "absent.jpg").string();
  struct Case {
    std::vector<std::string> args;
    int code;
  };
  for (const Case& c : {Case{{"calibrate", absent, sourceKey, destination, destinationKey}, 1},
                        Case{{"calibrate", source, shortKey, destination, destinationKey}, 2},
                        Case{{"calibrate", source, shortKey, absent, "x"}, 3},
                        Case{{"calibrate", source, "", destination, "x"}, 4}}) {
    const Result r = runCli(c.args);
    EXPECT_EQ(r.status, c.code) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, std::to_string(c.code) + "\n");
  }
  const Result usage = runBinary("calibrate " + source + " '' " + destination);
  EXPECT_EQ(usage.status, 64);
  EXPECT_TRUE(usage.out.empty());
  EXPECT_NE(usage.err.find("calibrate"), std::string::npos);
}

}  // namespace
}  // namespace vistel::cli
