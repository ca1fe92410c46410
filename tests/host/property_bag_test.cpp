#include "vistel/host/property_bag.h"

#include <gtest/gtest.h>

#include "support/test_paths.h"

namespace vistel {
namespace {

TEST(PropertyBag, AbsentNamesLeaveTheOutputAndLaterValuesReplace) {
  PropertyBag bag;
  ASSERT_TRUE(bag.setAssignment("Project=<quilo a=\"1\"/>"));
  ASSERT_TRUE(bag.setAssignment("FPS="));
  ASSERT_TRUE(bag.set("FPS", "5"));
  std::string value = "kept";
  EXPECT_FALSE(bag.read("fps", value));  // letter case counts
  EXPECT_EQ(value, "kept");
  ASSERT_TRUE(bag.read("FPS", value));
  EXPECT_EQ(value, "5");
  ASSERT_TRUE(bag.read("Project", value));
  EXPECT_EQ(value, "<quilo a=\"1\"/>");  // split at the first "=" only
  EXPECT_EQ(bag.size(), 2u);

  EXPECT_FALSE(bag.setAssignment("no equals sign"));
  EXPECT_FALSE(bag.setAssignment("=value"));
  EXPECT_FALSE(bag.set(std::string(PropertyBag::kMaxNameBytes + 1, 'n'), "v"));
  EXPECT_FALSE(bag.set("a\nb", "v"));
  EXPECT_FALSE(bag.set("big", std::string(PropertyBag::kMaxValueBytes + 1, 'v')));
  for (std::size_t i = bag.size(); i < PropertyBag::kMaxProperties; ++i) {
    ASSERT_TRUE(bag.set("p" + std::to_string(i), ""));
  }
  EXPECT_FALSE(bag.set("one-too-many", ""));
  EXPECT_TRUE(bag.set("FPS", "6"));  // replacing needs no new room
}

TEST(PropertyBag, LinesSkipCommentsAndAreAllOrNothing) {
  PropertyBag bag;
  std::string reason;
  ASSERT_TRUE(
      bag.setLines("\xEF\xBB\xBF# cameras\r\nstartImage=a\r\n\nendImage= b \nstartImage=c", reason))
      << reason;
  std::string value;
  ASSERT_TRUE(bag.read("startImage", value));
  EXPECT_EQ(value, "c");
  ASSERT_TRUE(bag.read("endImage", value));
  EXPECT_EQ(value, " b ");  // values are not trimmed

  EXPECT_FALSE(bag.setLines("FPS=5\nPreset1\n", reason));
  EXPECT_NE(reason.find("line 2"), std::string::npos) << reason;
  EXPECT_FALSE(bag.contains("FPS"));
}

TEST(PropertyBag, CommandLineOptionsApplyInOrderAndLeaveOtherArguments) {
  const auto dir = test::scratchDir("property-options");
  ASSERT_TRUE(test::writeFile(dir / "params", "FPS=5\nProject=from file\n"));
  std::vector<std::string> args{"--param",  "FPS=1",
                                "--params", (dir / "params").string(),
                                "out.jpg",  "--param=Project=last",
                                "--",       "--param",
                                "x"};
  PropertyBag bag;
  std::string reason;
  ASSERT_TRUE(takePropertyOptions(args, bag, reason)) << reason;
  EXPECT_EQ(args, (std::vector<std::string>{"out.jpg", "--", "--param", "x"}));
  std::string value;
  ASSERT_TRUE(bag.read("FPS", value));
  EXPECT_EQ(value, "5");
  ASSERT_TRUE(bag.read("Project", value));
  EXPECT_EQ(value, "last");

  for (std::vector<std::string> bad : {std::vector<std::string>{"--param"},
                                       {"--param", "novalue"},
                                       {"--params", (dir / "absent").string()}}) {
    EXPECT_FALSE(takePropertyOptions(bad, bag, reason));
    EXPECT_FALSE(reason.empty());
  }
}

}  // namespace
}  // namespace vistel
