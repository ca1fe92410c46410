// The editor's checks: each kind of problem found where it is, named by the
// element to jump to, and none in a sound project.
#include "vistel/scene/project_problems.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/scene_project.h"
#include "support/test_paths.h"

namespace vistel {
namespace {

using Kind = ProjectProblem::Kind;
using Element = ProblemPlace::Element;

std::string key(const KeyQuad& q) { return test::keyText(q); }

TEST(ProjectProblems, TheDemoHasNone) {
  const auto doc = test::loadProject(test::readFile(test::sourceDir() / "examples/demo/demo.xml"));
  ASSERT_NE(doc, nullptr);
  const auto problems = findProjectProblems(*doc);
  EXPECT_TRUE(problems.empty()) << problems.front().message;
}

TEST(ProjectProblems, EachKindIsFoundAtItsElement) {
  const std::string a = key(kImageCornerKey);
  const auto doc = test::loadProject(
      "<quilo startview='a'>"
      "<view id='a' lens='kamolens0'><edge link='ab'/><edge link='gone'/><edge link='bc'/></view>"
      "<view id='b' lens='fisheye'/>"
      "<view id='c'/>"
      "<view id='island' lens='short'/>"
      "<lens id='short'>AAAA</lens>"
      "<link id='ab' from='a' to='b'><key time='0'>" +
      a + "</key><key time='1'>" + a +
      "</key></link>"
      "<link id='bc' from='b' to='c'><key time='0'>" +
      a +
      "</key><key time='1'>broken</key></link>"
      "<link id='bx' from='b' to='x'><key time='0.5'>" +
      a +
      "</key></link>"
      "</quilo>");
  ASSERT_NE(doc, nullptr);
  const auto problems = findProjectProblems(*doc);
  const auto has = [&](Kind kind, Element element, const std::string& view, const std::string& link,
                       std::size_t index) {
    return std::any_of(problems.begin(), problems.end(), [&](const ProjectProblem& p) {
      return p.kind == kind && p.place.element == element && p.place.view == view &&
             p.place.link == link && p.place.index == index && !p.message.empty();
    });
  };
  EXPECT_TRUE(has(Kind::UnknownLens, Element::View, "b", "", 0));
  EXPECT_TRUE(has(Kind::UnknownLens, Element::View, "island", "", 0));  // 3 bytes are no lens
  EXPECT_TRUE(has(Kind::UnreachedView, Element::View, "island", "", 0));
  EXPECT_TRUE(has(Kind::EdgeLinkMissing, Element::Edge, "a", "", 1));
  EXPECT_TRUE(has(Kind::EdgeWrongEnd, Element::Edge, "a", "", 2));  // bc starts at b
  EXPECT_TRUE(has(Kind::KeyWithoutBytes, Element::Key, "", "bc", 1));
  EXPECT_TRUE(has(Kind::LinkKeysMissing, Element::Link, "", "bc", 0));
  EXPECT_TRUE(has(Kind::LinkKeysMissing, Element::Link, "", "bx", 0));
  EXPECT_TRUE(has(Kind::LinkViewMissing, Element::Link, "", "bx", 0));
  // c is reached through bc even though bc's edge is misplaced; a and b are fine.
  EXPECT_EQ(problems.size(), 9u);

  const auto none = test::loadProject("<quilo><view id='a'/></quilo>");
  const auto missing = test::loadProject("<quilo startview='z'><view id='a'/></quilo>");
  for (const auto* d : {none.get(), missing.get()}) {
    const auto found = findProjectProblems(*d);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, Kind::NoStartView);
    EXPECT_EQ(found[0].place.element, Element::Root);
  }
}

}  // namespace
}  // namespace vistel
