// RTSP camera addresses: what reaches the camera, and what is refused.
#include "vistel/imaging/rtsp_address.h"

#include <gtest/gtest.h>

namespace vistel {
namespace {

TEST(RtspAddressTest, SplitsTheAddressAndTakesOutOnlyTheTransport) {
  RtspAddress a;
  ASSERT_TRUE(parseRtspAddress(
      "RTSP://ad%40min:p@ss:w@cam.local:8554/live/ch1?transport=UDP&subtype=0", a));
  EXPECT_TRUE(a.hasUserInfo);
  EXPECT_EQ(a.user, "ad%40min");
  // The last "@" ends the user information; the first ":" ends the user.
  EXPECT_EQ(a.password, "p@ss:w");
  EXPECT_EQ(a.host, "cam.local");
  EXPECT_EQ(a.port, 8554);
  EXPECT_EQ(a.path, "/live/ch1?subtype=0");
  EXPECT_EQ(a.transport, RtspTransport::Udp);
  EXPECT_EQ(connectionUrl(a), "rtsp://ad%40min:p@ss:w@cam.local:8554/live/ch1?subtype=0");

  ASSERT_TRUE(parseRtspAddress("rtsp://[::1]/a?x=1&transport=tcp&y=2#frag", a));
  EXPECT_EQ(a.host, "[::1]");
  EXPECT_EQ(a.port, 0);
  EXPECT_FALSE(a.hasUserInfo);
  EXPECT_EQ(a.transport, RtspTransport::Tcp);
  EXPECT_EQ(connectionUrl(a), "rtsp://[::1]/a?x=1&y=2");

  // The camera's own parameters stay as written when the viewer's is absent.
  ASSERT_TRUE(parseRtspAddress("rtsp://cam?a=1&&transports=udp", a));
  EXPECT_EQ(a.path, "?a=1&&transports=udp");
  EXPECT_EQ(a.transport, RtspTransport::Tcp);
  ASSERT_TRUE(parseRtspAddress("rtsp://user@cam/x?transport=udp", a));
  EXPECT_EQ(connectionUrl(a), "rtsp://user@cam/x");
}

TEST(RtspAddressTest, RefusesWhatCannotBeConnectedTo) {
  RtspAddress a;
  a.host = "untouched";
  for (const char* bad :
       {"http://cam/x", "rtsp://", "rtsp:///path", "rtsp://user:pw@/x", "rtsp://cam:0/x",
        "rtsp://cam:65536/x", "rtsp://cam:8a/x", "rtsp://cam:/x", "rtsp://[::1/x",
        "rtsp://[::1]8554/x", "rtsp://cam/x?transport=http", "rtsp://cam/a b", "rtsp://cam/a\tb",
        "rtsp://cam/a\x7f"}) {
    EXPECT_FALSE(parseRtspAddress(bad, a)) << bad;
  }
  EXPECT_EQ(a.host, "untouched");
  EXPECT_TRUE(isRtspAddress("Rtsp://x"));
  EXPECT_FALSE(isRtspAddress("rtsps://x"));
}

}  // namespace
}  // namespace vistel
