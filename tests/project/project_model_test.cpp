// The editor's project model: edits reach the element the loader uses and
// leave everything else in its place, undo and redo restore texts exactly,
// and refused edits record nothing.
#include "vistel/project/project_model.h"

#include <gtest/gtest.h>

#include <string>

#include "support/scene_project.h"
#include "vistel/project/encoding.h"
#include "vistel/project/project_holder.h"

namespace vistel {
namespace {

const KeyQuad kStart{{-0.2f, -0.1f}, {0.1f, -0.12f}, {0.15f, 0.2f}, {-0.25f, 0.18f}};
const KeyQuad kEnd{{0.0f, -0.3f}, {0.3f, -0.2f}, {0.2f, 0.1f}, {-0.1f, 0.0f}};

std::string keyText(const KeyQuad& q) { return test::keyText(q); }

// A project with much the editor does not edit, some of it in odd places.
constexpr const char* kRich = R"(<?xml version="1.0"?>
<!-- first comment -->
<quilo startview="a" title="T &amp; co">
  <script id="oninit"><set x="1"/></script>
  <view id="a" src="file://a.jpg" lens="kamolens0">
    <button id="b1"><script id="onclick"><play link="l"/></script></button>
    <edge link="l"/>
    <preload>b;c</preload>
    <shape id="s" linecolor="#ff00ff00"><points>0.1,0.1;0.9,0.1;0.5,0.9</points></shape>
    <gadget size="3"><view id="hidden"/></gadget>
  </view>

  <view id="b" src="file://b.jpg" lens="kamolens1"/>
  <view id="a" src="second-a-is-ignored"/>
  <templates><view id="b" src="template-b"/><shape id="t"/></templates>
  <embed id="e">AAEC</embed>
  <link id="l" from="a" to="b">
    <key time="0">
      KEYSTART
    </key>
    <key time="1">KEYEND</key>
  </link>
  <?editor keep="me"?>
</quilo>
<!-- last comment -->
)";

std::string richText() {
  std::string text = kRich;
  text.replace(text.find("KEYSTART"), 8, keyText(kStart));
  text.replace(text.find("KEYEND"), 6, keyText(kEnd));
  return text;
}

ProjectModel openRich() {
  ProjectModel model;
  const OpenOutcome outcome = model.open(richText());
  EXPECT_EQ(outcome.error, OpenError::None) << outcome.message;
  return model;
}

std::vector<std::size_t> positions(const std::string& text,
                                   std::initializer_list<const char*> needles) {
  std::vector<std::size_t> out;
  for (const char* needle : needles) out.push_back(text.find(needle));
  return out;
}

TEST(ProjectModel, WritesIndentedTextKeepingWhatItDoesNotEdit) {
  ProjectModel model = openRich();
  const std::string text = model.text();
  // Everything in its order, comments and the instruction included.
  const auto at = positions(
      text, {"<!-- first comment -->", "<script id=\"oninit\">", "<button id=\"b1\">",
             "<gadget size=\"3\">", "second-a-is-ignored", "<templates>",
             "<embed id=\"e\">AAEC</embed>", "<?editor keep=\"me\"?>", "<!-- last comment -->"});
  for (std::size_t i = 0; i < at.size(); ++i) {
    ASSERT_NE(at[i], std::string::npos) << i << "\n" << text;
    if (i > 0) {
      EXPECT_GT(at[i], at[i - 1]) << i;
    }
  }
  // One element a line, two blanks a level, the empty line kept.
  EXPECT_NE(text.find("\n  <view id=\"a\""), std::string::npos);
  EXPECT_NE(text.find("\n    <edge link=\"l\"/>\n"), std::string::npos);
  EXPECT_NE(text.find("</view>\n\n  <view id=\"b\""), std::string::npos);
  EXPECT_NE(text.find("title=\"T &amp; co\""), std::string::npos);
  // The key keeps its text as written; the loader reads the same bytes.
  const KeyElement& start = *model.document().findLink("l")->keys[0];
  EXPECT_EQ(keyQuadFromBytes(start.data), kStart);
  // Written again, the text does not change.
  ProjectModel again;
  ASSERT_EQ(again.open(text).error, OpenError::None);
  EXPECT_EQ(again.text(), text);
}

TEST(ProjectModel, RefusesWhatIsNoProject) {
  ProjectModel model = openRich();
  const std::string before = model.text();
  OpenOutcome broken = model.open("<quilo>\n<view id='a'>\n</quilo>");
  EXPECT_EQ(broken.error, OpenError::Malformed);
  EXPECT_EQ(broken.message.rfind("line 3: ", 0), 0u) << broken.message;
  EXPECT_EQ(model.open("<html/>").error, OpenError::NotAProject);
  EXPECT_EQ(model.open("").error, OpenError::Malformed);
  // Names that only an ISO-8859-1 document may hold (found by the fuzzer):
  // saved as UTF-8 they would end the project there, so it is not opened.
  const std::string latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?><quilo><templates>";
  OpenOutcome element = model.open(latin1 + "<b\xAAutton/></templates><link id='l'/></quilo>");
  EXPECT_EQ(element.error, OpenError::Malformed);
  EXPECT_NE(element.message.find("<b\xC2\xAAutton>"), std::string::npos) << element.message;
  OpenOutcome attribute = model.open(latin1 + "<view id='t' f\xB5='1'/></templates></quilo>");
  EXPECT_EQ(attribute.error, OpenError::Malformed);
  EXPECT_NE(attribute.message.find("\"f\xC2\xB5\" of <view>"), std::string::npos)
      << attribute.message;
  // Other ISO-8859-1 letters are written as UTF-8 and read back.
  ASSERT_EQ(model.open(latin1 + "<view id='\xE9t\xE9' \xE9='\xFF'/></templates></quilo>").error,
            OpenError::None);
  EXPECT_NE(model.text().find("<view id=\"\xC3\xA9t\xC3\xA9\" \xC3\xA9=\"\xC3\xBF\"/>"),
            std::string::npos)
      << model.text();
  ASSERT_EQ(model.open(before).error, OpenError::None);
  EXPECT_EQ(model.text(), before);
}

TEST(ProjectModel, EditsReachTheElementsTheLoaderUses) {
  ProjectModel model = openRich();
  // The first "a" is the view; the second, the template "b" and the view
  // inside the unknown <gadget> are not.
  ASSERT_EQ(model.setViewAttribute("a", "fps", "5"), EditResult::Done);
  ASSERT_EQ(model.setViewAttribute("b", "fps", "7"), EditResult::Done);
  const std::string text = model.text();
  EXPECT_NE(text.find("<view id=\"a\" src=\"file://a.jpg\" lens=\"kamolens0\" fps=\"5\">"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("<view id=\"a\" src=\"second-a-is-ignored\"/>"), std::string::npos);
  EXPECT_NE(text.find("<view id=\"b\" src=\"template-b\"/>"), std::string::npos);
  EXPECT_NE(text.find("<view id=\"hidden\"/>"), std::string::npos);
  EXPECT_EQ(*model.document().findView("b")->findAttribute("fps"), "7");
  EXPECT_EQ(model.setViewAttribute("hidden", "fps", "1"), EditResult::NotFound);
}

TEST(ProjectModel, LinkFromKeysWithEdgesAndRemovalWithThem) {
  ProjectModel model;
  ASSERT_EQ(model.addView("left", "file://l.jpg", "10", "kamolens0"), EditResult::Done);
  ASSERT_EQ(model.addView("right", "file://r.jpg", "", "kamolens1"), EditResult::Done);
  ASSERT_EQ(model.addView("right", "x", "", ""), EditResult::Refused);  // taken id
  EXPECT_EQ(*model.document().findAttribute("startview"), "left");

  LinkSpec spec;
  spec.from = "left";
  spec.to = "right";
  spec.startKeyText = "not a key";
  spec.endKeyText = keyText(kEnd);
  EXPECT_EQ(model.addLink(spec), EditResult::Refused);
  spec.startKeyText = keyText(kStart);
  spec.startKey.sourceShapes = false;
  ASSERT_EQ(model.addLink(spec), EditResult::Done);
  ASSERT_EQ(model.addLink(spec), EditResult::Done);  // a second one gets its own id
  const ProjectDocument& doc = model.document();
  const LinkElement* link = doc.findLink("leftright");
  ASSERT_NE(link, nullptr);
  ASSERT_NE(doc.findLink("leftright2"), nullptr);
  ASSERT_EQ(link->keys.size(), 2u);
  EXPECT_EQ(keyQuadFromBytes(link->keys[0]->data), kStart);
  EXPECT_EQ(keyQuadFromBytes(link->keys[1]->data), kEnd);
  EXPECT_EQ(*link->keys[0]->findAttribute("srcbuttons"), "false");
  EXPECT_EQ(*link->keys[1]->findAttribute("time"), "1");
  // Each view enters the link showing itself first.
  const ViewElement& left = *doc.findView("left");
  const ViewElement& right = *doc.findView("right");
  ASSERT_EQ(left.edges.size(), 2u);
  EXPECT_EQ(*left.edges[0]->findAttribute("link"), "leftright");
  EXPECT_EQ(*left.edges[0]->findAttribute("dir"), "forward");
  EXPECT_EQ(*right.edges[0]->findAttribute("dir"), "backward");

  // The newest link's edge first in the left view, then back to the end.
  ASSERT_EQ(model.moveEdge("left", 1, EdgePlacement::First), EditResult::Done);
  EXPECT_EQ(*model.document().findView("left")->edges[0]->findAttribute("link"), "leftright2");
  EXPECT_EQ(model.addEdge("left", "leftright", EdgePlacement::First), EditResult::Done);
  EXPECT_EQ(*model.document().findView("left")->edges[0]->findAttribute("link"), "leftright");
  // A view's edge goes alone; the link and the other view keep theirs.
  ASSERT_EQ(model.removeEdge("left", 0), EditResult::Done);
  ASSERT_EQ(model.document().findView("left")->edges.size(), 2u);
  EXPECT_EQ(*model.document().findView("left")->edges[0]->findAttribute("link"), "leftright2");
  EXPECT_EQ(model.document().findView("right")->edges.size(), 2u);
  EXPECT_EQ(model.removeEdge("left", 2), EditResult::NotFound);

  ASSERT_EQ(model.removeLink("leftright2"), EditResult::Done);
  EXPECT_EQ(model.document().findView("right")->edges.size(), 1u);
  ASSERT_EQ(model.removeView("right", LinkRemoval::WithLinks), EditResult::Done);
  EXPECT_EQ(model.document().findView("right"), nullptr);
  EXPECT_TRUE(model.document().links.empty());
  EXPECT_TRUE(model.document().findView("left")->edges.empty());
}

TEST(ProjectModel, KeysAreReplacedInPlaceOrAdded) {
  ProjectModel model = openRich();
  ASSERT_EQ(model.setLinkKeys("l", keyText(kEnd), keyText(kStart)), EditResult::Done);
  const LinkElement* link = model.document().findLink("l");
  ASSERT_EQ(link->keys.size(), 2u);
  EXPECT_EQ(keyQuadFromBytes(link->keys[0]->data), kEnd);
  EXPECT_EQ(keyQuadFromBytes(link->keys[1]->data), kStart);
  std::array<std::uint8_t, 32> nan;
  nan.fill(0xFF);  // eight NaNs
  EXPECT_EQ(model.setLinkKeys("l", encodeKeyText(nan), keyText(kStart)), EditResult::Refused);
  EXPECT_EQ(model.setLinkKeys("l", keyText(kStart).substr(0, 40), keyText(kStart)),
            EditResult::Refused);

  ProjectModel partial;
  ASSERT_EQ(partial
                .open("<quilo startview='a'><view id='a'/><view id='b'/>"
                      "<link id='l' from='a' to='b'><key time='0.5'>x</key></link></quilo>")
                .error,
            OpenError::None);
  ASSERT_EQ(partial.setLinkKeys("l", keyText(kStart), keyText(kEnd)), EditResult::Done);
  const LinkElement* made = partial.document().findLink("l");
  ASSERT_EQ(made->keys.size(), 3u);
  EXPECT_EQ(keyQuadFromBytes(made->keys[0]->data), kStart);
  EXPECT_EQ(made->keys[1]->dataLength, 0);  // the middle key as it was
  EXPECT_EQ(keyQuadFromBytes(made->keys[2]->data), kEnd);
}

TEST(ProjectModel, RenameFollowsTheViewEverywhere) {
  ProjectModel model = openRich();
  ASSERT_EQ(model.renameView("b", "a"), EditResult::Refused);
  ASSERT_EQ(model.renameView("a", "front"), EditResult::Done);
  const ProjectDocument& doc = model.document();
  EXPECT_EQ(*doc.findAttribute("startview"), "front");
  EXPECT_EQ(*doc.findLink("l")->findAttribute("from"), "front");
  EXPECT_EQ(doc.findView("a")->findAttribute("src")->substr(0, 6), "second");
  ASSERT_EQ(model.renameView("b", "back"), EditResult::Done);
  EXPECT_EQ(model.document().findView("front")->preload, (std::vector<std::string>{"back", "c"}));
  EXPECT_EQ(*model.document().findLink("l")->findAttribute("to"), "back");
}

TEST(ProjectModel, ShapesAreAddedRedrawnAndRemoved) {
  ProjectModel model = openRich();
  ShapeSpec spec;
  spec.id = "gate";
  spec.points = {{0.25f, 0.5f}, {0.75f, 0.5f}, {0.5f, 0.125f}};
  spec.projected = false;
  ASSERT_EQ(model.addShape("b", spec), EditResult::Done);
  const ShapeElement& made = *model.document().findView("b")->shapes[0];
  EXPECT_EQ(made.points, spec.points);
  EXPECT_EQ(*made.findAttribute("projected"), "false");

  // Loose text in a shape would join its points; a redrawn shape has none.
  ProjectModel odd;
  ASSERT_EQ(odd.open("<quilo startview='v'><view id='v'><shape>9<points>1,2</points>"
                     "<points>3,4</points></shape></view></quilo>")
                .error,
            OpenError::None);
  ASSERT_EQ(odd.document().findView("v")->shapes[0]->points.size(), 2u);
  const std::vector<PointF> points{{0.5f, 0.25f}, {0.125f, 0.75f}};
  ASSERT_EQ(odd.setShapePoints("v", 0, points), EditResult::Done);
  EXPECT_EQ(odd.document().findView("v")->shapes[0]->points, points);
  EXPECT_EQ(odd.setShapePoints("v", 0, {{NAN, 0.0f}}), EditResult::Refused);
  ASSERT_EQ(odd.setShapeAttribute("v", 0, "linecolor", "#ff0000"), EditResult::Done);
  ASSERT_EQ(odd.removeShape("v", 0), EditResult::Done);
  EXPECT_TRUE(odd.document().findView("v")->shapes.empty());
  EXPECT_EQ(odd.removeShape("v", 0), EditResult::NotFound);
}

TEST(ProjectModel, UndoAndRedoRestoreEveryStep) {
  ProjectModel model = openRich();
  EXPECT_FALSE(model.modified());
  std::vector<std::string> texts{model.text()};
  ASSERT_EQ(model.setRootAttribute("title", "Street"), EditResult::Done);
  texts.push_back(model.text());
  ASSERT_EQ(model.removeView("a", LinkRemoval::WithLinks), EditResult::Done);
  texts.push_back(model.text());
  ASSERT_EQ(model.setPreset(3, "0.50;0.10,-0.05;1.00;"), EditResult::Done);
  texts.push_back(model.text());
  // Changing nothing, and refused edits, are no steps.
  EXPECT_EQ(model.setRootAttribute("title", "Street"), EditResult::Unchanged);
  EXPECT_EQ(model.setPreset(16, "x"), EditResult::Refused);
  EXPECT_TRUE(model.modified());

  EXPECT_TRUE(model.undo());
  EXPECT_EQ(model.presets().preset(3), "");
  for (std::size_t i = texts.size() - 1; i-- > 0;) {
    EXPECT_EQ(model.text(), texts[i]) << i;
    if (i > 0) {
      EXPECT_TRUE(model.undo());
    }
  }
  EXPECT_FALSE(model.undo());
  EXPECT_FALSE(model.modified());
  EXPECT_TRUE(model.redo());
  EXPECT_TRUE(model.redo());
  EXPECT_EQ(model.text(), texts[2]);
  EXPECT_EQ(model.document().findView("a")->findAttribute("src")->substr(0, 6), "second");
  // A new edit drops what could have been redone.
  ASSERT_EQ(model.setRootAttribute("title", "Other"), EditResult::Done);
  EXPECT_FALSE(model.canRedo());
  model.markSaved();
  EXPECT_FALSE(model.modified());
}

TEST(PresetFile, SetsPresetsAndKeepsOtherLines) {
  PresetFile file = PresetFile::parse("# cameras\r\nFPS=5\nPreset2=a\nPreset2=b\nPreset9=c\n");
  EXPECT_EQ(file.preset(2), "b");
  ASSERT_TRUE(file.setPreset(2, "0.50;0,0;1.00;"));
  ASSERT_TRUE(file.setPreset(5, "five"));
  ASSERT_TRUE(file.setPreset(9, ""));
  EXPECT_FALSE(file.setPreset(0, "x"));
  EXPECT_FALSE(file.setPreset(1, "two\nlines"));
  EXPECT_EQ(file.text(), "# cameras\nFPS=5\nPreset2=0.50;0,0;1.00;\nPreset5=five\n");
  ASSERT_TRUE(file.setPreset(1, "one"));
  EXPECT_EQ(file.text(), "# cameras\nFPS=5\nPreset1=one\nPreset2=0.50;0,0;1.00;\nPreset5=five\n");
}

}  // namespace
}  // namespace vistel
