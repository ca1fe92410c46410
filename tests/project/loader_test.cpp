#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/test_paths.h"
#include "vistel/project/encoding.h"
#include "vistel/project/project_holder.h"
#include "vistel/project/project_holder_p.h"

namespace vistel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Loads `text` and keeps the holder alive for the test's assertions.
class Loaded {
 public:
  explicit Loaded(std::string_view text) { EXPECT_TRUE(holder_.load(text.data(), text.size())); }
  const ProjectDocument* operator->() const { return holder_.project(); }
  const ProjectDocument* get() const { return holder_.project(); }

 private:
  ProjectHolder holder_;
};

// Every field of the model as text, for whole-model comparisons and searches.
void dumpElement(const ProjectElement& e, std::string& out) {
  out += "id=" + e.id;
  for (const auto& [k, v] : e.attributes) out += " " + k + "=" + v;
  if (const auto* d = dynamic_cast<const DataElement*>(&e)) {
    out += " data(" + std::to_string(d->dataLength) + ")=";
    out.append(d->data.begin(), d->data.end());
  }
  if (const auto* s = dynamic_cast<const ScriptElement*>(&e)) {
    for (const ScriptAction& a : s->actions) {
      out += " action" + std::to_string(a.kind) + "[" + a.cond + "]";
      for (const std::string& arg : a.args) out += "," + arg;
    }
  }
  if (const auto* s = dynamic_cast<const ScriptedElement*>(&e)) {
    for (const auto& script : s->scripts) {
      out += " {script ";
      dumpElement(*script, out);
      out += "}";
    }
  }
  if (const auto* s = dynamic_cast<const ShapeElement*>(&e)) {
    for (const PointF& p : s->points)
      out += " (" + std::to_string(p.x) + "," + std::to_string(p.y) + ")";
  }
  if (const auto* v = dynamic_cast<const ViewElement*>(&e)) {
    for (const std::string& p : v->preload) out += " preload:" + p;
    for (const auto& b : v->buttons) {
      out += " {button ";
      dumpElement(*b, out);
      out += "}";
    }
    for (const auto& s : v->shapes) {
      out += " {shape ";
      dumpElement(*s, out);
      out += "}";
    }
    for (const auto& ed : v->edges) {
      out += " {edge ";
      dumpElement(*ed, out);
      out += "}";
    }
  }
  if (const auto* l = dynamic_cast<const LinkElement*>(&e)) {
    for (const auto& k : l->keys) {
      out += " {key ";
      dumpElement(*k, out);
      out += "}";
    }
  }
}

template <class T>
void dumpTable(const char* name, const ElementTable<T>& table, std::string& out) {
  for (const auto& [id, element] : table) {
    out += std::string("\n") + name + "[" + id + "] ";
    dumpElement(*element, out);
  }
}

std::string dump(const ProjectDocument* doc) {
  if (doc == nullptr) return "(none)";
  std::string out = "root ";
  dumpElement(*doc, out);
  dumpTable("buttonTemplate", doc->buttonTemplates, out);
  dumpTable("shapeTemplate", doc->shapeTemplates, out);
  dumpTable("viewTemplate", doc->viewTemplates, out);
  dumpTable("view", doc->views, out);
  dumpTable("link", doc->links, out);
  dumpTable("embed", doc->embeds, out);
  dumpTable("lens", doc->lenses, out);
  return out;
}

std::string keyText(std::uint8_t seed) {
  std::array<std::uint8_t, 32> plain{};
  for (std::size_t i = 0; i < plain.size(); ++i)
    plain[i] = static_cast<std::uint8_t>(seed * 31 + i);
  return encodeKeyText(plain);
}

Bytes keyBytes(std::uint8_t seed) {
  Bytes out(32);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(seed * 31 + i);
  return out;
}

// --- The root and the tables ----------------------------------------------------

TEST(LoaderRoot, EmptyRootGivesEmptyDocument) {
  Loaded doc(R"(<?xml version="1.0"?><quilo startview="a" extra="x"/>)");
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_TRUE(doc->views.empty() && doc->links.empty() && doc->lenses.empty() &&
              doc->embeds.empty());
  EXPECT_TRUE(doc->viewTemplates.empty() && doc->buttonTemplates.empty() &&
              doc->shapeTemplates.empty());
  EXPECT_TRUE(doc->scripts.empty());
  ASSERT_NE(doc->findAttribute("startview"), nullptr);
  EXPECT_EQ(*doc->findAttribute("startview"), "a");
  EXPECT_EQ(doc->findView("a"), nullptr);
}

TEST(LoaderRoot, NoRootElementGivesNoDocument) {
  for (const char* text : {"", "   ", "<project><view id='a'/></project>", "<<quilo/>",
                           "not xml at all", "<!-- only a comment -->", "\xff\xfe<quilo/>"}) {
    ProjectHolder holder;
    EXPECT_TRUE(holder.load(text, std::strlen(text)));
    EXPECT_EQ(holder.project(), nullptr) << text;
  }
  ProjectHolder holder;
  EXPECT_TRUE(holder.load(nullptr, 0));
  EXPECT_EQ(holder.project(), nullptr);
}

TEST(LoaderRoot, LoadReplacesAndReleaseHandsOver) {
  ProjectHolder holder;
  const std::string first = "<quilo><view id='a'/></quilo>";
  const std::string second = "<quilo><view id='b'/></quilo>";
  ASSERT_TRUE(holder.load(first.data(), first.size()));
  ASSERT_TRUE(holder.load(second.data(), second.size()));
  ASSERT_NE(holder.project(), nullptr);
  EXPECT_EQ(holder.project()->findView("a"), nullptr);
  EXPECT_NE(holder.project()->findView("b"), nullptr);
  std::unique_ptr<ProjectDocument> taken = holder.release();
  EXPECT_EQ(holder.project(), nullptr);
  ASSERT_NE(taken, nullptr);
  EXPECT_NE(taken->findView("b"), nullptr);
}

TEST(LoaderTables, ElementsGoToTheirTablesAndLists) {
  Loaded doc(R"(<quilo startview="v1">
    <view id="v1" src="http://cam/1" fps="10" lens="l1">
      <button id="b1" x="1"/>
      <shape id="s1" projected="1"><points>0,0;1,1</points></shape>
      <edge link="k1" dir="backward"/>
      <edge link="k2"/>
    </view>
    <view src="noid"/>
    <link id="k1" from="v1" to="v2" tension="0.5">
      <key time="0">)" +
             keyText(1) + R"(</key>
      <key time="1" blend="0.5">)" +
             keyText(2) + R"(</key>
    </link>
    <lens id="l1">AAEC</lens>
    <embed id="e1">Zm9vYmFy</embed>
  </quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  const ViewElement* v1 = doc->findView("v1");
  ASSERT_NE(v1, nullptr);
  EXPECT_EQ(v1->id, "v1");
  EXPECT_EQ(v1->findAttribute("id"), nullptr);
  EXPECT_EQ(*v1->findAttribute("src"), "http://cam/1");
  EXPECT_EQ(*v1->findAttribute("lens"), "l1");
  ASSERT_EQ(v1->buttons.size(), 1u);
  EXPECT_EQ(*v1->buttons[0]->findAttribute("x"), "1");
  ASSERT_EQ(v1->shapes.size(), 1u);
  EXPECT_EQ(v1->shapes[0]->points, (std::vector<PointF>{{0, 0}, {1, 1}}));
  ASSERT_EQ(v1->edges.size(), 2u);
  EXPECT_EQ(*v1->edges[0]->findAttribute("dir"), "backward");
  EXPECT_EQ(*v1->edges[1]->findAttribute("link"), "k2");

  // An element without id sits under the empty id.
  ASSERT_NE(doc->findView(""), nullptr);
  EXPECT_EQ(*doc->findView("")->findAttribute("src"), "noid");

  const LinkElement* link = doc->findLink("k1");
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(link->keys.size(), 2u);
  EXPECT_EQ(link->keys[0]->data, keyBytes(1));
  EXPECT_EQ(link->keys[0]->dataLength, 32);
  EXPECT_TRUE(link->keys[0]->hasQuad());
  EXPECT_EQ(link->keys[1]->data, keyBytes(2));
  EXPECT_EQ(*link->keys[1]->findAttribute("blend"), "0.5");

  const LensElement* lens = doc->findLens("l1");
  ASSERT_NE(lens, nullptr);
  EXPECT_EQ(lens->data, (Bytes{0, 1, 2}));
  EXPECT_EQ(lens->dataLength, 3);
  ASSERT_EQ(doc->embeds.count("e1"), 1u);
  EXPECT_EQ(doc->embeds.at("e1")->data, (Bytes{'f', 'o', 'o', 'b', 'a', 'r'}));
}

TEST(LoaderTables, TemplatesRouteViewsButtonsAndShapes) {
  Loaded doc(R"(<quilo>
    <templates>
      <view id="tv"><button id="inner"/><shape id="innerShape"/></view>
      <button id="tb"/>
      <shape id="ts"/>
      <templates><view id="nested"/></templates>
      <link id="notHere"/>
    </templates>
    <view id="real"/>
    <button id="stray"/>
  </quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_EQ(doc->findView("tv"), nullptr);
  ASSERT_EQ(doc->viewTemplates.count("tv"), 1u);
  const ViewElement& tv = *doc->viewTemplates.at("tv");
  ASSERT_EQ(tv.buttons.size(), 1u);
  EXPECT_EQ(tv.buttons[0]->id, "inner");
  ASSERT_EQ(tv.shapes.size(), 1u);
  EXPECT_EQ(doc->buttonTemplates.size(), 1u);
  EXPECT_EQ(doc->buttonTemplates.count("tb"), 1u);
  EXPECT_EQ(doc->shapeTemplates.size(), 1u);
  EXPECT_EQ(doc->shapeTemplates.count("ts"), 1u);
  // Nested templates and links inside templates are skipped with their content.
  EXPECT_EQ(doc->viewTemplates.count("nested"), 0u);
  EXPECT_TRUE(doc->links.empty());
  // After </templates> views go to views again; a button outside any view and
  // outside templates has no place.
  EXPECT_NE(doc->findView("real"), nullptr);
  EXPECT_EQ(doc->buttonTemplates.count("stray"), 0u);
}

TEST(LoaderTables, MisplacedAndUnknownElementsAreSkippedWithContent) {
  Loaded doc(R"(<quilo>
    <view id="a">
      <link id="inView"><key>)" +
             keyText(3) + R"(</key></link>
      <view id="inner"/>
      <button id="b"><shape id="inButton"/><button id="inButton2"/></button>
      <unknown><shape id="inUnknown"/></unknown>
      <key>AAAA</key>
    </view>
    <key>AAAA</key>
    <quilo><view id="inSecondRoot"/></quilo>
    <link id="l"><view id="inLink"/><lens id="inLink"/><key/></link>
    <lens id="le"><link id="inLens"/><view id="inLens"/></lens>
    <View id="caseMatters"/>
    <set x="1"><script id="inSet"/></set>
    <preload>a;b</preload>
    <points>1,2</points>
    <edge link="outsideView"/>
  </quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_EQ(doc->views.size(), 1u);
  const ViewElement* a = doc->findView("a");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->shapes.empty());
  ASSERT_EQ(a->buttons.size(), 1u);
  EXPECT_TRUE(a->buttons[0]->scripts.empty());
  EXPECT_TRUE(a->edges.empty());
  EXPECT_EQ(doc->links.size(), 1u);
  ASSERT_NE(doc->findLink("l"), nullptr);
  EXPECT_EQ(doc->findLink("l")->keys.size(), 1u);
  // A lens may stand inside a link (only views, buttons, shapes, templates and
  // other lenses exclude it); a link or view inside a lens may not.
  EXPECT_EQ(doc->lenses.size(), 2u);
  EXPECT_EQ(doc->lenses.count("inLink"), 1u);
  EXPECT_TRUE(doc->scripts.empty());
}

TEST(LoaderTables, EmbedsAreNotGuardedAgainstNesting) {
  // Neither link nor embed excludes the other or itself: both are taken, and
  // the text read by each end tag is what came since the previous end tag.
  Loaded doc(R"(<quilo><embed id="outer">Zm9v<embed id="inner">YmFy</embed>Zm9v</embed>
    <link id="l1"><link id="l2"><key>)" +
             keyText(4) + R"(</key></link><key/></link></quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  ASSERT_EQ(doc->embeds.size(), 2u);
  EXPECT_EQ(doc->embeds.at("inner")->data, (Bytes{'f', 'o', 'o', 'b', 'a', 'r'}));
  // The outer end tag finds no open embed (the inner one closed it).
  EXPECT_EQ(doc->embeds.at("outer")->dataLength, 0);
  EXPECT_EQ(doc->findLink("l2")->keys.size(), 1u);
  EXPECT_EQ(doc->findLink("l2")->keys[0]->data, keyBytes(4));
  // The inner </link> closed the open link, so the later key has no link.
  EXPECT_TRUE(doc->findLink("l1")->keys.empty());
}

TEST(LoaderTables, EdgeContentIsIgnoredButTheEdgeKept) {
  Loaded doc(R"(<quilo><view id="v"><preload>A</preload><edge link="l">B;C<script id="x"/><button/>
    <preload>D</preload></edge><preload>E</preload></view></quilo>)");
  const ViewElement* v = doc->findView("v");
  ASSERT_NE(v, nullptr);
  ASSERT_EQ(v->edges.size(), 1u);
  EXPECT_EQ(v->edges[0]->id, "");
  EXPECT_EQ(*v->edges[0]->findAttribute("link"), "l");
  EXPECT_TRUE(v->scripts.empty());
  EXPECT_TRUE(v->buttons.empty());
  EXPECT_EQ(v->preload, (std::vector<std::string>{"A", "E"}));
}

// --- Attributes and scripts ----------------------------------------------------------

TEST(LoaderScripts, ActionsKeepCondAndArgumentsInTagOrder) {
  Loaded doc(R"(<quilo><script id="oninit">
      <set a="1" cond="[x] > 2" b="2"/>
      <play link="l" dur="500" id="p"/>
      <set/>
    </script></quilo>)");
  ASSERT_EQ(doc->scripts.size(), 1u);
  const ScriptElement& s = *doc->scripts[0];
  EXPECT_EQ(s.id, "oninit");
  ASSERT_EQ(s.actions.size(), 3u);
  EXPECT_EQ(s.actions[0].kind, ScriptAction::Set);
  EXPECT_EQ(s.actions[0].cond, "[x] > 2");
  EXPECT_EQ(s.actions[0].args, (std::vector<std::string>{"a", "1", "b", "2"}));
  EXPECT_EQ(s.actions[1].kind, ScriptAction::Play);
  EXPECT_EQ(s.actions[1].cond, "");
  EXPECT_EQ(s.actions[1].args, (std::vector<std::string>{"link", "l", "dur", "500", "id", "p"}));
  EXPECT_TRUE(s.actions[2].args.empty());
}

TEST(LoaderScripts, ScriptsGoToTheInnermostOpenOwner) {
  Loaded doc(R"(<quilo>
    <script id="root1"/>
    <view id="v">
      <script id="view"/>
      <button><script id="button"/></button>
      <shape><script id="shape"><script id="nested"/><set x="1"/></script></shape>
    </view>
    <link id="l"><script id="inLink"/><key><script id="inKey"/></key></link>
    <templates><button id="tb"><script id="templateButton"/></button></templates>
  </quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  std::vector<std::string> rootIds;
  for (const auto& s : doc->scripts) rootIds.push_back(s->id);
  EXPECT_EQ(rootIds, (std::vector<std::string>{"root1", "inLink", "inKey"}));
  const ViewElement* v = doc->findView("v");
  ASSERT_EQ(v->scripts.size(), 1u);
  EXPECT_EQ(v->scripts[0]->id, "view");
  ASSERT_EQ(v->buttons[0]->scripts.size(), 1u);
  EXPECT_EQ(v->buttons[0]->scripts[0]->id, "button");
  ASSERT_EQ(v->shapes[0]->scripts.size(), 1u);
  EXPECT_EQ(v->shapes[0]->scripts[0]->id, "shape");
  // The nested script is skipped, but the action after it still counts.
  EXPECT_EQ(v->shapes[0]->scripts[0]->actions.size(), 1u);
  ASSERT_EQ(doc->buttonTemplates.at("tb")->scripts.size(), 1u);
}

TEST(LoaderScripts, SetOutsideAScriptSkipsItsContent) {
  Loaded doc(R"(<quilo><set a="1"><script id="hidden"><set b="2"/></script></set><play/></quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_TRUE(doc->scripts.empty());
}

// --- Text content -----------------------------------------------------------------------

std::vector<PointF> pointsOf(const std::string& text) {
  ProjectHolder holder;
  const std::string doc =
      "<quilo><view><shape><points>" + text + "</points></shape></view></quilo>";
  EXPECT_TRUE(holder.load(doc.data(), doc.size()));
  if (!holder.project() || !holder.project()->findView("") ||
      holder.project()->findView("")->shapes.empty()) {
    ADD_FAILURE() << "no shape for " << text;
    return {};
  }
  return holder.project()->findView("")->shapes[0]->points;
}

TEST(LoaderText, PointsParsing) {
  using P = std::vector<PointF>;
  EXPECT_EQ(pointsOf("1,2;3,4;5"), (P{{1, 2}, {3, 4}}));
  EXPECT_EQ(pointsOf("1,2;3,"), (P{{1, 2}}));
  EXPECT_EQ(pointsOf("1,2;3,4;"), (P{{1, 2}, {3, 4}}));
  EXPECT_EQ(pointsOf("1,;2,3"), P{});
  EXPECT_EQ(pointsOf(""), P{});
  EXPECT_EQ(pointsOf(",5"), (P{{0, 5}}));
  // Blanks and line breaks are dropped before parsing.
  EXPECT_EQ(pointsOf(" 0.25 , -0.5 ;\n\t 1e1,\r\n2E-1 "), (P{{0.25f, -0.5f}, {10, 0.2f}}));
  // The y text runs to the semicolon, commas included; only its numeric
  // prefix counts.
  EXPECT_EQ(pointsOf("1,2,3;4,5"), (P{{1, 2}, {4, 5}}));
  // Decimal prefixes only: no hexadecimal, no infinity or NaN words.
  EXPECT_EQ(pointsOf("abc,+.5x;0x10,7.;inf,nan;-,1e"), (P{{0, 0.5f}, {0, 7}, {0, 0}, {0, 1}}));
  const P extreme = pointsOf("1e999,-1e999;1e-999,-0");
  ASSERT_EQ(extreme.size(), 2u);
  EXPECT_EQ(extreme[0].x, INFINITY);
  EXPECT_EQ(extreme[0].y, -INFINITY);
  EXPECT_EQ(extreme[1].x, 0.0f);
  EXPECT_TRUE(std::signbit(extreme[1].y));
  // Values beyond float but within double narrow to infinity.
  EXPECT_EQ(pointsOf("1e300,3")[0].x, INFINITY);
}

// The number reader against strtod (the C library's decimal reader, in the
// C locale) on random decimal-looking texts, narrowed to float.
TEST(LoaderText, PointNumbersAgreeWithStrtod) {
  std::mt19937 rng(17);
  const std::string pool = "0123456789+-.eE";
  std::string doc;
  std::vector<float> expected;
  for (int i = 0; i < 2000; ++i) {
    std::string number(1 + rng() % 12, '0');
    for (char& c : number) c = pool[rng() % pool.size()];
    if (i % 50 == 0) number = std::string(400, '9') + ".5";
    if (i % 50 == 1) number = "0." + std::string(400, '0') + "7e100";
    if (i % 50 == 2) number = "0." + std::string(330, '0') + "7e10";
    doc += number + ",1;";
    expected.push_back(static_cast<float>(std::strtod(number.c_str(), nullptr)));
  }
  const std::vector<PointF> points = pointsOf(doc);
  ASSERT_EQ(points.size(), expected.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    ASSERT_EQ(points[i].x, expected[i]) << "number " << i;
  }
}

std::vector<std::string> preloadOf(const std::string& text) {
  ProjectHolder holder;
  const std::string doc = "<quilo><view id='v'><preload>" + text + "</preload></view></quilo>";
  EXPECT_TRUE(holder.load(doc.data(), doc.size()));
  return holder.project()->findView("v")->preload;
}

TEST(LoaderText, PreloadParsing) {
  using L = std::vector<std::string>;
  EXPECT_EQ(preloadOf("A;B;;C"), (L{"A", "B"}));
  EXPECT_EQ(preloadOf("A; B"), (L{"A", "B"}));
  EXPECT_EQ(preloadOf("A;"), (L{"A"}));
  EXPECT_EQ(preloadOf(";A"), L{});
  EXPECT_EQ(preloadOf(""), L{});
  EXPECT_EQ(preloadOf("view one;\tview\ntwo"), (L{"viewone", "viewtwo"}));
  // Bytes from 0x80 up are dropped like control characters.
  EXPECT_EQ(preloadOf("caf\xc3\xa9;\tx\x7f"), (L{"caf", "x\x7f"}));
}

TEST(LoaderText, ParsedTextCDataReferencesAndCommentsReadLikePlainText) {
  const std::string key = keyText(5);
  const std::string half1 = key.substr(0, 20), half2 = key.substr(20);
  // The same key written four ways.
  std::string refs;
  for (const char c : key) refs += "&#" + std::to_string(static_cast<int>(c)) + ";";
  Loaded doc(R"(<!DOCTYPE quilo [<!ENTITY half2 ")" + half2 + R"(">]><quilo><link id="l">
      <key>)" +
             key + R"(</key>
      <key><![CDATA[)" +
             half1 + "\n  " + half2 + R"(]]></key>
      <key>)" +
             refs + R"(</key>
      <key><!-- )" +
             keyText(6) + R"( -->)" + half1 + R"(<?pi )" + keyText(7) + R"(?>&half2;</key>
    </link></quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  const LinkElement* link = doc->findLink("l");
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(link->keys.size(), 4u);
  for (const auto& k : link->keys) EXPECT_EQ(k->data, keyBytes(5));
}

TEST(LoaderText, TextIsEverythingSinceThePreviousEndTag) {
  Loaded doc(R"(<quilo><view id="v"><preload>A;<button></button>B;C</preload>
    <shape><points>9,9;</points>1,2;<points>3,4</points></shape></view>
    <link id="l">)" +
             keyText(8).substr(0, 10) + "<key>" + keyText(8).substr(10) +
             R"(</key></link></quilo>)");
  const ViewElement* v = doc->findView("v");
  ASSERT_NE(v, nullptr);
  // </button> cleared "A;".
  EXPECT_EQ(v->preload, (std::vector<std::string>{"B", "C"}));
  // The text before <points> belongs to the second points element.
  EXPECT_EQ(v->shapes[0]->points, (std::vector<PointF>{{9, 9}, {1, 2}, {3, 4}}));
  // Text before <key> belongs to the key.
  ASSERT_EQ(doc->findLink("l")->keys.size(), 1u);
  EXPECT_EQ(doc->findLink("l")->keys[0]->data, keyBytes(8));
}

TEST(LoaderText, KeyLensAndEmbedData) {
  const std::string key = keyText(9);
  std::string indented;
  for (std::size_t i = 0; i < key.size(); i += 8) indented += "\n        " + key.substr(i, 8);
  Loaded doc(R"(<quilo><link id="l">
      <key/>
      <key>    </key>
      <key>)" +
             indented + "\n      " + R"(</key>
      <key>)" +
             encodeBase64(Bytes(20, 0x41)) + R"(</key>
      <key>====</key>
      <key>)" +
             key + "trailing" + R"(</key>
    </link><lens id="empty"></lens><embed id="bin">)" +
             encodeBase64(Bytes{0, 255, 128, 10}) + R"(</embed></quilo>)");
  const LinkElement* link = doc->findLink("l");
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(link->keys.size(), 6u);
  EXPECT_EQ(link->keys[0]->dataLength, 0);
  EXPECT_TRUE(link->keys[0]->data.empty());
  EXPECT_EQ(link->keys[1]->dataLength, 0);
  EXPECT_EQ(link->keys[2]->data, keyBytes(9));
  // A short key: 20 bytes, two blocks deciphered, the last four as decoded.
  EXPECT_EQ(link->keys[3]->dataLength, 20);
  EXPECT_FALSE(link->keys[3]->hasQuad());
  EXPECT_EQ(Bytes(link->keys[3]->data.begin() + 16, link->keys[3]->data.end()), Bytes(4, 0x41));
  EXPECT_EQ(link->keys[4]->dataLength, 0);
  // Decoding stops at the "=", the reported length counts every character.
  EXPECT_EQ(link->keys[5]->dataLength, 39);
  EXPECT_EQ(Bytes(link->keys[5]->data.begin(), link->keys[5]->data.begin() + 32), keyBytes(9));
  for (const auto& k : link->keys)
    EXPECT_EQ(k->data.size(), static_cast<std::size_t>(k->dataLength));
  EXPECT_EQ(doc->findLens("empty")->dataLength, 0);
  EXPECT_EQ(doc->embeds.at("bin")->data, (Bytes{0, 255, 128, 10}));
}

// --- Duplicates ------------------------------------------------------------------------

TEST(LoaderDuplicates, FirstElementWinsAndTheSecondIsDroppedWithItsContent) {
  Loaded doc(R"(<quilo>
    <view id="v" n="first"><button id="b1"/></view>
    <view id="v" n="second">
      <button id="b2"/><shape id="s2"><points>1,1</points><script id="x"/></shape>
      <edge link="e2"/><preload>p</preload><script id="onexit"/>
    </view>
    <view id="after"><button id="b3"/></view>
    <link id="l"><key>)" +
             keyText(10) + R"(</key></link>
    <link id="l" n="second"><key>)" +
             keyText(11) + R"(</key><key/></link>
    <lens id="x">AAAA</lens><lens id="x">AQEB</lens>
    <embed id="x">AAAA</embed><embed id="x">AQEB</embed>
    <templates><button id="t"><script id="keep"/></button><button id="t"><script id="drop"/></button>
      <view id="tv"/><view id="tv"><button/></view></templates>
  </quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_EQ(doc->views.size(), 2u);
  const ViewElement* v = doc->findView("v");
  EXPECT_EQ(*v->findAttribute("n"), "first");
  ASSERT_EQ(v->buttons.size(), 1u);
  EXPECT_EQ(v->buttons[0]->id, "b1");
  EXPECT_TRUE(v->shapes.empty() && v->edges.empty() && v->preload.empty() && v->scripts.empty());
  // The root did not adopt the discarded view's script, and the next view is
  // untouched.
  EXPECT_TRUE(doc->scripts.empty());
  ASSERT_EQ(doc->findView("after")->buttons.size(), 1u);

  const LinkElement* l = doc->findLink("l");
  EXPECT_EQ(l->findAttribute("n"), nullptr);
  ASSERT_EQ(l->keys.size(), 1u);
  EXPECT_EQ(l->keys[0]->data, keyBytes(10));
  EXPECT_EQ(doc->findLens("x")->data, Bytes(3, 0));
  EXPECT_EQ(doc->embeds.at("x")->data, Bytes(3, 0));
  ASSERT_EQ(doc->buttonTemplates.at("t")->scripts.size(), 1u);
  EXPECT_EQ(doc->buttonTemplates.at("t")->scripts[0]->id, "keep");
  EXPECT_TRUE(doc->viewTemplates.at("tv")->buttons.empty());
}

TEST(LoaderDuplicates, DiscardedElementsInsideKeptOnesAndTheReverse) {
  // A discarded link holding a kept one, and a kept link holding a discarded
  // one: each keeps exactly its own keys.
  Loaded doc(R"(<quilo><link id="a"/>
    <link id="a"><link id="b"><key>)" +
             keyText(12) + R"(</key></link></link>
    <link id="c"><link id="a"><key>)" +
             keyText(13) + R"(</key></link></link>
    <view id="last"/></quilo>)");
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_TRUE(doc->findLink("a")->keys.empty());
  ASSERT_EQ(doc->findLink("b")->keys.size(), 1u);
  EXPECT_EQ(doc->findLink("b")->keys[0]->data, keyBytes(12));
  EXPECT_TRUE(doc->findLink("c")->keys.empty());
  EXPECT_NE(doc->findView("last"), nullptr);
}

// --- Broken documents --------------------------------------------------------------------

TEST(LoaderBroken, TruncatedDocumentKeepsWhatWasBuilt) {
  const std::string full = R"(<quilo startview="v1">
    <view id="v1"><button/></view>
    <view id="v2"><edge link="l"/></view>
    <view id="v3" src="x"><button id="b"/><shape id="s"><points>1,2;3,4</points></shape><preload>v1</preload>)";
  Loaded doc(full);
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_EQ(doc->views.size(), 3u);
  const ViewElement* v3 = doc->findView("v3");
  ASSERT_NE(v3, nullptr);
  EXPECT_EQ(v3->buttons.size(), 1u);
  EXPECT_EQ(v3->shapes[0]->points.size(), 2u);
  EXPECT_EQ(v3->preload, std::vector<std::string>{"v1"});

  // Cut inside a key, a lens and an embed: those have no data.
  Loaded cutKey(R"(<quilo><link id="l"><key>)" + keyText(1) + "</ke");
  ASSERT_EQ(cutKey->findLink("l")->keys.size(), 1u);
  EXPECT_EQ(cutKey->findLink("l")->keys[0]->dataLength, 0);
  Loaded cutLens(R"(<quilo><lens id="l">AAAA)");
  EXPECT_EQ(cutLens->findLens("l")->dataLength, 0);

  // Every prefix of a document loads without harm.
  const std::string whole = full + R"(</view><link id="l" from="v1" to="v2"><key>)" + keyText(2) +
                            R"(</key></link><lens id="n">AAEC</lens></quilo>)";
  for (std::size_t n = 0; n <= whole.size(); ++n) {
    ProjectHolder holder;
    ASSERT_TRUE(holder.load(whole.data(), n));
  }
}

TEST(LoaderBroken, ParseErrorsStopAtTheirPlace) {
  Loaded duplicateAttribute(
      R"(<quilo><view id="a"/><view id="b" x="1" x="2"/><view id="c"/></quilo>)");
  EXPECT_NE(duplicateAttribute->findView("a"), nullptr);
  EXPECT_EQ(duplicateAttribute->findView("b"), nullptr);
  EXPECT_EQ(duplicateAttribute->findView("c"), nullptr);

  Loaded textAfterRoot(R"(<quilo><view id="a"/></quilo><view id="b"/>)");
  EXPECT_NE(textAfterRoot->findView("a"), nullptr);
  EXPECT_EQ(textAfterRoot->views.size(), 1u);

  Loaded badChar("<quilo><view id=\"a\"/>\x01<view id=\"b\"/></quilo>");
  EXPECT_NE(badChar->findView("a"), nullptr);
  EXPECT_EQ(badChar->findView("b"), nullptr);
}

// --- Piecewise feeding -----------------------------------------------------------------

TEST(LoaderChunks, PiecewiseFeedingBuildsTheSameModel) {
  std::string text = R"(<?xml version="1.0" encoding="UTF-8"?><quilo startview="v0">)";
  for (int i = 0; i < 20; ++i) {
    const std::string n = std::to_string(i);
    text += "<view id=\"v" + n + "\" src=\"http://camera/" + n + "\"><shape><points>0.5," + n +
            ";1,2</points><script id=\"onclick\"><play link=\"l" + n +
            "\"/></script></shape><preload>v" + n + ";x</preload><edge link=\"l" + n +
            "\"/></view><link id=\"l" + n + "\"><key time=\"" + n + "\">" +
            keyText(static_cast<std::uint8_t>(i)) + "</key></link><embed id=\"e" + n +
            "\"><![CDATA[" + encodeBase64(Bytes(static_cast<std::size_t>(i) * 3, 7)) +
            "]]></embed>";
  }
  text += "</quilo>";
  const std::string whole =
      dump(detail::loadProjectText(text.data(), text.size(), detail::kParseChunkBytes).get());
  ASSERT_NE(whole.find("view[v19]"), std::string::npos);
  for (const std::size_t chunk : {1u, 2u, 7u, 64u, 1000u}) {
    EXPECT_EQ(dump(detail::loadProjectText(text.data(), text.size(), chunk).get()), whole) << chunk;
  }
  // A broken document stops at the same place however it is fed.
  const std::string broken = text.substr(0, text.size() / 2) + "<<" + text.substr(text.size() / 2);
  const std::string brokenWhole =
      dump(detail::loadProjectText(broken.data(), broken.size(), 0).get());
  EXPECT_EQ(dump(detail::loadProjectText(broken.data(), broken.size(), 5).get()), brokenWhole);
}

// --- Hostile documents -----------------------------------------------------------------------

TEST(LoaderHostile, ExternalEntitiesAreNeverRead) {
  const auto dir = test::scratchDir("loader-external");
  const auto secretFile = dir / "secret.txt";
  const std::string secret = "TOPSECRETQUJDREVG";
  ASSERT_TRUE(test::writeFile(secretFile, secret));
  const std::string url = "file://" + secretFile.string();
  const std::string text =
      "<?xml version=\"1.0\" standalone=\"no\"?>\n"
      "<!DOCTYPE quilo [\n"
      "  <!ENTITY ext SYSTEM \"" +
      url +
      "\">\n"
      "  <!ENTITY rel SYSTEM \"secret.txt\">\n"
      "  <!ENTITY % pe SYSTEM \"" +
      url +
      "\">\n"
      "  %pe;\n"
      "]>\n"
      "<quilo startview=\"v\"><view id=\"v\"><preload>&ext;</preload></view>"
      "<embed id=\"e\">&ext;&rel;</embed><link id=\"l\"><key>&ext;</key></link>"
      "<view id=\"after\"/></quilo>";
  Loaded doc(text);
  ASSERT_NE(doc.get(), nullptr);
  const std::string model = dump(doc.get());
  EXPECT_EQ(model.find("SECRET"), std::string::npos) << model;
  // The secret decoded as Base64 must not show up either.
  const Bytes decodedSecret = decodeBase64(secret);
  EXPECT_EQ(
      std::search(model.begin(), model.end(), decodedSecret.begin(), decodedSecret.begin() + 6),
      model.end());
  EXPECT_TRUE(doc->findView("v")->preload.empty());
  EXPECT_EQ(doc->embeds.at("e")->dataLength, 0);
  // The references are skipped, not fatal.
  EXPECT_NE(doc->findView("after"), nullptr);
}

long maxResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(LoaderHostile, EntityExpansionBombStopsWithBoundedMemory) {
  std::string text = "<!DOCTYPE quilo [<!ENTITY lol0 \"lollollollollollollollollol\">";
  for (int i = 1; i <= 9; ++i) {
    text += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) text += "&lol" + std::to_string(i - 1) + ";";
    text += "\">";
  }
  text +=
      "]><quilo><view id=\"before\"/><view id=\"bomb\"><preload>&lol9;</preload></view>"
      "<view id=\"after\"/></quilo>";
  const long before = maxResidentKiB();
  Loaded doc(text);
  // Fully expanded the bomb would be 27 GB of text.
  EXPECT_LT(maxResidentKiB() - before, 512 * 1024);
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_NE(doc->findView("before"), nullptr);
  EXPECT_EQ(doc->findView("after"), nullptr);
  const ViewElement* bomb = doc->findView("bomb");
  ASSERT_NE(bomb, nullptr);
  EXPECT_TRUE(bomb->preload.empty());
}

TEST(LoaderHostile, AttributeDefaultsApplyButCannotAmplify) {
  Loaded ordinary(
      R"(<!DOCTYPE quilo [<!ATTLIST view fps CDATA "10">]><quilo><view id="a"/></quilo>)");
  ASSERT_NE(ordinary.get(), nullptr);
  ASSERT_NE(ordinary->findView("a")->findAttribute("fps"), nullptr);
  EXPECT_EQ(*ordinary->findView("a")->findAttribute("fps"), "10");

  // One long default copied into every small tag: 1.2 GB of attribute text
  // from a 240 kB document if nothing stopped it.
  std::string text = "<!DOCTYPE quilo [<!ATTLIST button pad CDATA \"" + std::string(60000, 'x') +
                     "\">]><quilo><view id=\"v\">";
  for (int i = 0; i < 20000; ++i) text += "<button/>";
  text += "</view><view id=\"after\"/></quilo>";
  Loaded doc(text);
  ASSERT_NE(doc.get(), nullptr);
  const ViewElement* v = doc->findView("v");
  ASSERT_NE(v, nullptr);
  std::size_t copied = 0;
  for (const auto& b : v->buttons) copied += b->findAttribute("pad")->size();
  EXPECT_GT(v->buttons.size(), 0u);
  EXPECT_LT(v->buttons.size(), 20000u);
  EXPECT_LE(copied, 100 * text.size() + 60000);
  EXPECT_EQ(doc->findView("after"), nullptr);
}

TEST(LoaderHostile, FewEntitiesWorkAndLongEntityChainsStop) {
  // Entities nest by recursion inside the parser; a long chain must stop
  // before the stack runs out. A short one is ordinary XML and works.
  auto chain = [](int count) {
    std::string text = "<!DOCTYPE quilo [<!ENTITY e0 \"A;B\">";
    for (int i = 1; i < count; ++i) {
      text += "<!ENTITY e" + std::to_string(i) + " \"&e" + std::to_string(i - 1) + ";\">";
    }
    return text + "]><quilo><view id=\"v\"><preload>&e" + std::to_string(count - 1) +
           ";</preload></view></quilo>";
  };
  const std::string few = chain(10);
  Loaded small(few);
  ASSERT_NE(small.get(), nullptr);
  EXPECT_EQ(small->findView("v")->preload, (std::vector<std::string>{"A", "B"}));

  const std::string many = chain(200000);
  Loaded big(many);
  EXPECT_EQ(big.get(), nullptr);
}

TEST(LoaderHostile, MillionNestedElementsAreSkippedIteratively) {
  constexpr int kDepth = 1'000'000;
  std::string text = "<quilo><view id=\"before\"/>";
  text.reserve(text.size() + kDepth * 7 + 100);
  for (int i = 0; i < kDepth; ++i) text += "<a>";
  for (int i = 0; i < kDepth; ++i) text += "</a>";
  text += "<view id=\"after\"/>";
  // The same depth of known elements that may not nest.
  for (int i = 0; i < kDepth / 4; ++i) text += "<view>";
  for (int i = 0; i < kDepth / 4; ++i) text += "</view>";
  text += "</quilo>";
  Loaded doc(text);
  ASSERT_NE(doc.get(), nullptr);
  EXPECT_NE(doc->findView("before"), nullptr);
  EXPECT_NE(doc->findView("after"), nullptr);
  EXPECT_EQ(doc->views.size(), 3u);
}

}  // namespace
}  // namespace vistel
