#include "vistel/web/protocol.h"

#include <gtest/gtest.h>

#include "vistel/web/security.h"

namespace vistel::web {
namespace {

TEST(WebProtocol, ReadsEveryKindWithItsFields) {
  ClientMessage hello = parseClientMessage(
      R"({"t":"hello","params":{"Preset1":"0.5;0,0;1;"},"width":800,"height":600,"visible":false})");
  ASSERT_EQ(hello.kind, ClientKind::Hello) << hello.error;
  EXPECT_EQ(hello.x, 800);
  EXPECT_EQ(hello.y, 600);
  EXPECT_FALSE(hello.flag);
  EXPECT_EQ(hello.args["Preset1"], "0.5;0,0;1;");

  ClientMessage call =
      parseClientMessage(R"({"t":"call","id":7,"m":"GotoPosition","a":[1,0,0,2]})");
  ASSERT_EQ(call.kind, ClientKind::Call);
  EXPECT_EQ(call.id, 7);
  EXPECT_EQ(call.member, "GotoPosition");
  EXPECT_EQ(call.args.size(), 4u);

  ClientMessage down = parseClientMessage(R"({"t":"down","b":2,"x":10,"y":-3})");
  ASSERT_EQ(down.kind, ClientKind::PointerDown);
  EXPECT_EQ(down.button, 2);
  EXPECT_EQ(down.y, -3);
  EXPECT_EQ(parseClientMessage(R"({"t":"ack","seq":4294967295})").sequence, 4294967295);
  EXPECT_EQ(parseClientMessage(R"({"t":"answer","id":3,"v":null})").kind, ClientKind::Answer);
  EXPECT_EQ(parseClientMessage(R"({"t":"wheel","d":-45})").x, -45);
  EXPECT_EQ(parseClientMessage(R"({"t":"show","v":true})").kind, ClientKind::Show);
  EXPECT_EQ(parseClientMessage(R"({"t":"key","down":true,"code":65,"flags":2})").y, 2);
}

TEST(WebProtocol, RefusesMalformedMessages) {
  for (const char* text : {
           "", "[]", "not json", R"({"t":5})", R"({"t":"launch"})", R"({"m":"Home"})",
           R"({"t":"call","m":"Home"})",                              // no id
           R"({"t":"call","id":1,"m":"Home","a":{}})",                // arguments not an array
           R"({"t":"down","b":1,"x":0,"y":0})",                       // middle button
           R"({"t":"move","x":1.5,"y":0})",                           // not a whole pixel
           R"({"t":"size","w":4294967296,"h":1})",                    // beyond int32
           R"({"t":"hello","params":{"a":1},"width":1,"height":1})",  // param not text
           R"({"t":"hello","params":{}})",                            // no size
       }) {
    const ClientMessage m = parseClientMessage(text);
    EXPECT_EQ(m.kind, ClientKind::Invalid) << text;
    EXPECT_FALSE(m.error.empty()) << text;
  }
}

TEST(WebProtocol, SizeCapsDependOnWhatTheMessageCarries) {
  const std::string padding(kMaxCommandBytes, 'x');
  // A command padded past 64 KiB is refused; a project text of the same size is not.
  const std::string command = R"({"t":"call","id":1,"m":"Home","a":[")" + padding + R"("]})";
  EXPECT_EQ(parseClientMessage(command).error, "message too large");
  const std::string project =
      R"({"t":"call","id":1,"m":"SetProjectXMLBuffer","a":[")" + padding + R"("]})";
  EXPECT_EQ(parseClientMessage(project).kind, ClientKind::Call);
  const std::string huge(kMaxProjectBytes + 1, ' ');
  EXPECT_EQ(parseClientMessage(huge).error, "message too large");
}

TEST(WebProtocol, FrameHeaderRoundTripsAndSnapshotCarriesItsName) {
  const std::string header = frameHeader(0xA1B2C3D4u, 2047, 1, 0xFFFFFFFEu);
  ASSERT_EQ(header.size(), kFrameHeaderBytes);
  std::uint32_t sequence = 0, readyMs = 0;
  std::int32_t width = 0, height = 0;
  ASSERT_TRUE(readFrameHeader(header + "jpeg", sequence, width, height, readyMs));
  EXPECT_EQ(sequence, 0xA1B2C3D4u);
  EXPECT_EQ(width, 2047);
  EXPECT_EQ(height, 1);
  EXPECT_EQ(readyMs, 0xFFFFFFFEu);
  EXPECT_FALSE(readFrameHeader(header.substr(0, 15), sequence, width, height, readyMs));
  EXPECT_FALSE(readFrameHeader("VSNP\x01\x02", sequence, width, height, readyMs));

  const std::string snapshot = snapshotMessage("a.jpg", "\xFF\xD8");
  EXPECT_EQ(snapshot, std::string("VSNP\x05\x00"
                                  "a.jpg\xFF\xD8",
                                  13));
}

TEST(WebProtocol, RepliesAreJsonEvenForBrokenText) {
  const auto reply = nlohmann::json::parse(errorReplyMessage(9, "bad \xFF byte"));
  EXPECT_EQ(reply["id"], 9);
  EXPECT_TRUE(reply["error"].is_string());
  EXPECT_EQ(nlohmann::json::parse(replyMessage(2, 1))["v"], 1);
}

}  // namespace
}  // namespace vistel::web
