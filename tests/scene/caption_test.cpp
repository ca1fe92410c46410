// The placeholder's lettering: captions in a frame, clipped at its edges, and
// the words a view uses for its camera.
#include "vistel/scene/caption.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vistel/scene/source_caption.h"

namespace vistel {
namespace {

constexpr std::uint32_t kInk = 0xA0A0A0;

int inkIn(const std::vector<std::uint8_t>& rgb) {
  int lit = 0;
  for (std::size_t i = 0; i < rgb.size(); i += 3) lit += rgb[i] == kCaptionInk;
  return lit;
}

TEST(Caption, BoxIsBlackWithTheTextAndClippedToTheFrame) {
  const std::string text = "Camera silent (2)";
  const std::int32_t boxWidth = captionBoxWidth(text);
  EXPECT_EQ(boxWidth, 17 * 6 - 1 + 2 * kCaptionPadding);
  // The same letters as the picture of the caption box, upper-cased.
  const auto picture = captionPicture("CAMERA SILENT (2)", boxWidth, kCaptionHeight);
  EXPECT_EQ(captionPicture(text, boxWidth, kCaptionHeight), picture);
  EXPECT_GT(inkIn(picture), 100);

  constexpr std::int32_t W = 160, H = 40;
  std::vector<std::uint32_t> frame(W * H, 0x123456);
  drawCaption({frame.data(), W, H}, text, 80, 20);
  const std::int32_t left = 80 - boxWidth / 2, top = 20 - kCaptionHeight / 2;
  for (std::int32_t y = 0; y < H; ++y) {
    for (std::int32_t x = 0; x < W; ++x) {
      const bool inBox = x >= left && x < left + boxWidth && y >= top && y < top + kCaptionHeight;
      const std::uint32_t got = frame[std::size_t(y) * W + std::size_t(x)];
      if (!inBox) {
        ASSERT_EQ(got, 0x123456u) << x << "," << y;
        continue;
      }
      const std::size_t at =
          (std::size_t(y - top) * std::size_t(boxWidth) + std::size_t(x - left)) * 3;
      ASSERT_EQ(got, picture[at] ? kInk : 0u) << x << "," << y;
    }
  }

  // At a corner: only the part inside is drawn, nothing outside is touched.
  std::vector<std::uint32_t> small(20 * 10 + 8, 0x123456);
  drawCaption({small.data(), 20, 10}, text, 0, 0);
  EXPECT_NE(small[0], 0x123456u);
  for (std::size_t i = 200; i < small.size(); ++i) EXPECT_EQ(small[i], 0x123456u);
  drawCaption({small.data(), 20, 10}, text, -1000, 5000);  // wholly outside
  drawCaption({small.data(), 20, 10}, "", 10, 5);          // nothing to say
  EXPECT_EQ(small[19 + 9 * 20], 0x123456u);
  // Unknown characters are blank; a picture too small for the text cuts it.
  EXPECT_EQ(inkIn(captionPicture("~#%", 40, kCaptionHeight)), 0);
  EXPECT_LT(inkIn(captionPicture("CAMERA SILENT", 20, kCaptionHeight)),
            inkIn(captionPicture("CAMERA SILENT", 100, kCaptionHeight)));
  EXPECT_TRUE(captionPicture("X", 0, 5).empty());
}

TEST(SourceCaption, ReasonWithoutAPictureAndAgeOfAStaleOne) {
  ImageSourceManager::PictureStatus status;
  EXPECT_EQ(sourceCaption(status), "");  // waiting: the placeholder says so
  status.health.failure = SourceFailure::NotFound;
  status.health.httpStatus = 404;
  EXPECT_EQ(sourceCaption(status), "NOT FOUND (404)");
  status.health.failure = SourceFailure::ErrorStatus;
  status.health.httpStatus = 503;
  EXPECT_EQ(sourceCaption(status), "CAMERA ANSWERED 503");

  status.hasPicture = true;
  status.ageMs = 14999;
  EXPECT_EQ(sourceCaption(status), "");  // fresh, whatever failed since
  status.stale = true;
  status.health.failure = SourceFailure::None;
  EXPECT_EQ(sourceCaption(status), "PICTURE 14 S OLD");
  status.ageMs = 150000;
  status.health.failure = SourceFailure::NotReachable;
  EXPECT_EQ(sourceCaption(status), "PICTURE 2 MIN OLD: CAMERA NOT REACHABLE");
  status.ageMs = 3 * 3600000 + 5;
  status.health.failure = SourceFailure::None;
  EXPECT_EQ(sourceCaption(status), "PICTURE 3 H OLD");
}

TEST(SourceCaption, EveryReasonIsSetInLettersTheFontHas) {
  for (int i = static_cast<int>(SourceFailure::NotReachable);
       i <= static_cast<int>(SourceFailure::NoVideo); ++i) {
    ImageSourceManager::PictureStatus status;
    status.health.failure = static_cast<SourceFailure>(i);
    status.health.httpStatus = i % 2 ? 0 : 503;
    const std::string caption = sourceCaption(status);
    EXPECT_FALSE(caption.empty()) << i;
    for (const char c : caption) {
      if (c != ' ') {
        EXPECT_GT(inkIn(captionPicture(std::string(1, c), 7, 9)), 0) << caption << ": " << c;
      }
    }
  }
}

}  // namespace
}  // namespace vistel
