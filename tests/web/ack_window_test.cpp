#include "vistel/web/ack_window.h"

#include <gtest/gtest.h>

namespace vistel::web {
namespace {

AckWindow::Frame frame(AckWindow& window, std::string bytes) {
  return {window.nextSequence(), std::move(bytes)};
}

TEST(AckWindow, AtMostTwoFramesOnTheirWay) {
  AckWindow window;
  ASSERT_TRUE(window.mayEncode());
  window.offer(frame(window, "1"));
  ASSERT_TRUE(window.takeForSending());
  window.offer(frame(window, "2"));
  // One sent and one waiting: a third would have nowhere to go.
  EXPECT_FALSE(window.mayEncode());
  const auto second = window.takeForSending();
  ASSERT_TRUE(second);
  EXPECT_EQ(window.unacknowledged(), 2u);
  EXPECT_FALSE(window.mayEncode());
  EXPECT_FALSE(window.takeForSending());

  EXPECT_TRUE(window.acknowledge(1));
  EXPECT_TRUE(window.mayEncode());
  EXPECT_EQ(window.unacknowledged(), 1u);
}

TEST(AckWindow, ANewerFrameReplacesOneNotYetSent) {
  AckWindow window;
  EXPECT_FALSE(window.offer(frame(window, "old")));
  EXPECT_TRUE(window.offer(frame(window, "new")));
  const auto sent = window.takeForSending();
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->bytes, "new");
  EXPECT_EQ(sent->sequence, 2u);
  EXPECT_FALSE(window.takeForSending());
  // The replaced frame was never sent, so its number is never outstanding.
  EXPECT_FALSE(window.acknowledge(1));
}

TEST(AckWindow, AcknowledgingALaterFrameReleasesEarlierOnes) {
  AckWindow window;
  for (int i = 0; i < 2; ++i) {
    window.offer(frame(window, "f"));
    ASSERT_TRUE(window.takeForSending());
  }
  EXPECT_FALSE(window.acknowledge(7));  // never sent: nothing changes
  EXPECT_EQ(window.unacknowledged(), 2u);
  EXPECT_TRUE(window.acknowledge(2));
  EXPECT_EQ(window.unacknowledged(), 0u);
  EXPECT_FALSE(window.acknowledge(1));
}

TEST(AckWindow, AHiddenPageGetsNothing) {
  AckWindow window;
  window.offer(frame(window, "waiting"));
  window.setVisible(false);
  EXPECT_FALSE(window.mayEncode());
  EXPECT_FALSE(window.takeForSending());
  window.offer(frame(window, "late"));  // encoded just before the page hid
  EXPECT_FALSE(window.takeForSending());
  window.setVisible(true);
  EXPECT_TRUE(window.mayEncode());
}

}  // namespace
}  // namespace vistel::web
