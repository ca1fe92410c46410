#include "vistel/scene/scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/scene_project.h"

namespace vistel {
namespace {

using test::keyText;
using test::RecordingHost;
using Links = std::vector<std::string>;

const KeyQuad kQuadA{{-0.3f, -0.2f}, {0.2f, -0.25f}, {0.25f, 0.3f}, {-0.2f, 0.2f}};
const KeyQuad kQuadB{{-0.1f, -0.4f}, {0.4f, -0.3f}, {0.3f, 0.1f}, {-0.2f, 0.05f}};

// A scene over a manager that starts no threads: sources keep their
// placeholders, which is all these cases need.
struct SceneFixture : ::testing::Test {
  ImageSourceManager sources{ThreadStarter{}, 2048, 4096, 0, nullptr};
  Scene scene{sources};
  std::unique_ptr<ProjectDocument> document;
  RecordingHost host;

  void load(const std::string& xml) {
    document = test::loadProject(xml);
    ASSERT_TRUE(scene.rebuild(document.get()));
  }
  bool enter(std::vector<std::string> ids) { return scene.setCurrentViews(ids); }
  Links dispatch() {
    host.links.clear();
    scene.dispatchEvents(host);
    return host.links;
  }
  int useCount(const std::string& url) const {
    for (const auto& info : sources.sources()) {
      if (info.url == url) return info.useCount;
    }
    return -1;
  }
};

std::string linkXml(const std::string& keys, const std::string& attributes = "") {
  return "<quilo startview='a'><view id='a'/><view id='b'/><link id='l' from='a' to='b' " +
         attributes + ">" + keys + "</link></quilo>";
}

std::string key(const std::string& attributes, const KeyQuad& quad) {
  return "<key " + attributes + ">" + keyText(quad) + "</key>";
}

void expectNear(Vec2 got, Vec2 want) {
  EXPECT_NEAR(got.x, want.x, 1e-5f);
  EXPECT_NEAR(got.y, want.y, 1e-5f);
}

// Where the interpolated corners at `t` lie in each picture: srcH must carry
// them onto A's corners and dstH onto B's.
void expectInterpolated(const TransitionFrame& tf, float t) {
  const Vec2 a[4] = {kQuadA.p0, kQuadA.p1, kQuadA.p2, kQuadA.p3};
  const Vec2 b[4] = {kQuadB.p0, kQuadB.p1, kQuadB.p2, kQuadB.p3};
  for (int i = 0; i < 4; ++i) {
    const Vec2 q = a[i] + (b[i] - a[i]) * t;
    expectNear(applyToPoint(tf.srcH, q), a[i]);
    expectNear(applyToPoint(tf.dstH, q), b[i]);
  }
}

TEST_F(SceneFixture, KeysAtBothEndsInterpolateByProgressAndStopAt099) {
  load(linkXml(key("time='0'", kQuadA) + key("time='1'", kQuadB)));
  ASSERT_TRUE(scene.startTraversal("l", Direction::Forward));
  LinkTraversal& link = *scene.currentLink();
  link.setNavProgress(0.5f);
  auto tf = scene.transitionAt(link);
  EXPECT_FLOAT_EQ(tf->t, 0.5f / 0.99f);  // the blend weight reaches 1 at the last position
  expectInterpolated(*tf, 0.5f);

  link.setNavProgress(1.0f);
  tf = scene.transitionAt(link);
  EXPECT_EQ(link.navProgress(), 0.99f);
  EXPECT_EQ(tf->t, 1.0f);
  expectInterpolated(*tf, 0.99f);

  // Below the range, and no number at all, count as the start.
  for (float p : {-0.5f, std::numeric_limits<float>::quiet_NaN()}) {
    link.setNavProgress(p);
    EXPECT_EQ(scene.transitionAt(link)->t, 0.0f);
    EXPECT_EQ(link.navProgress(), 0.0f);
  }
}

TEST_F(SceneFixture, ReversedLinkMirrorsKeysAndSwapsEnds) {
  load(linkXml(key("time='0' blend='0'", kQuadA) + key("time='1' blend='1'", kQuadB)));
  ASSERT_TRUE(scene.startTraversal("l", Direction::Backward));
  LinkTraversal& link = *scene.currentLink();
  EXPECT_TRUE(link.reversed());
  EXPECT_EQ(*link.scope().getText("from"), "b");
  EXPECT_EQ(*link.scope().getText("to"), "a");
  ASSERT_EQ(link.keys().size(), 2u);
  LinkKey& first = *link.keys()[0];
  LinkKey& second = *link.keys()[1];
  EXPECT_EQ(first.time(), 0.0);
  EXPECT_EQ(first.scope().getNumber("blend"), 0.0);
  EXPECT_EQ(first.quad(), kQuadB);
  EXPECT_EQ(second.time(), 1.0);
  EXPECT_EQ(second.scope().getNumber("blend"), 1.0);
  EXPECT_EQ(second.quad(), kQuadA);

  // A link with only `from` keeps the view at the other end when reversed.
  load("<quilo><link id='l' from='a'>" + key("", kQuadA) + key("time='0.25'", kQuadA) +
       key("time='1'", kQuadB) + "</link></quilo>");
  ASSERT_TRUE(scene.startTraversal("l", Direction::Backward));
  EXPECT_EQ(scene.currentLink()->scope().getText("from"), nullptr);
  EXPECT_EQ(*scene.currentLink()->scope().getText("to"), "a");
  std::vector<double> times;
  for (const auto& k : scene.currentLink()->keys()) times.push_back(k->time());
  EXPECT_EQ(times, (std::vector<double>{0, 0.75, 1}));
}

TEST_F(SceneFixture, LinksWithoutKeysAroundEveryPositionAreRefused) {
  const std::string good =
      "<link id='ok'>" + key("time='0'", kQuadA) + key("time='1'", kQuadB) + "</link>";
  struct Case {
    std::string keys;
    bool forward, backward;
  } cases[] = {
      {key("time='0'", kQuadA) + key("time='1'", kQuadB), true, true},
      {key("time='0'", kQuadA) + "<key time='0.5'></key>" + key("time='1'", kQuadB), true, true},
      {key("", kQuadA) + key("time='0.995'", kQuadB), true, false},  // backwards: 0.005 and 1
      {key("time='0.2'", kQuadA) + key("time='1'", kQuadB), false, false},
      {key("time='0'", kQuadA) + key("time='0.99'", kQuadB), false, false},
      {"<key time='0'></key>" + key("time='1'", kQuadB), false, false},  // no key bytes
      {key("time='0'", kQuadA) + "<key time='1'>c2hvcnQ=</key>", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    load(linkXml(c.keys).insert(linkXml("").find("<link"), good));
    for (bool reversed : {false, true}) {
      ASSERT_TRUE(scene.startTraversal("ok", Direction::Forward));
      const bool accepted = reversed ? c.backward : c.forward;
      EXPECT_EQ(scene.startTraversal("l", reversed ? Direction::Backward : Direction::Forward),
                accepted)
          << reversed << " " << c.keys;
      EXPECT_EQ(scene.currentLink() != nullptr, accepted);
    }
  }
  EXPECT_FALSE(scene.startTraversal("missing", Direction::Forward));
  EXPECT_EQ(scene.currentLink(), nullptr);
  EXPECT_TRUE(scene.startTraversal("", Direction::Forward));
  EXPECT_EQ(scene.currentLink(), nullptr);
}

TEST_F(SceneFixture, LastKeyReachedDecidesWhichShapesShow) {
  load(linkXml(key("time='0' srcbuttons='true'", kQuadA) +
               key("time='0.5' srcbuttons='false' dstbuttons='yes'", kQuadA) +
               key("time='1'", kQuadB)));
  ASSERT_TRUE(scene.startTraversal("l", Direction::Forward));
  LinkTraversal& link = *scene.currentLink();
  for (float p : {0.0f, 0.25f, 0.49f, 0.5f, 0.75f, 1.0f}) {
    link.setNavProgress(p);
    EXPECT_EQ(scene.showsSourceButtons(link), p < 0.5f) << p;
    EXPECT_EQ(scene.showsDestinationButtons(link), p >= 0.5f) << p;
  }
}

TEST_F(SceneFixture, AKeyAtTheEndAppliesThereAndReversalSwapsWhoseShapesShow) {
  // Source shapes from the start, destination shapes instead at the end.
  load(linkXml(key("time='0' srcbuttons='true'", kQuadA) +
               key("time='1' srcbuttons='false' dstbuttons='true'", kQuadB)));
  struct Case {
    bool reversed;
    float progress;
    bool source, destination;
  } cases[] = {
      {false, 0.0f, true, false},
      {false, 0.98f, true, false},
      {false, 1.0f, false, true},
      // Backwards b is the source: the key that showed b's shapes at the end
      // shows them from the start, and a's show at the end.
      {true, 0.0f, true, false},
      {true, 0.98f, true, false},
      {true, 1.0f, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "reversed " << c.reversed << " at " << c.progress);
    ASSERT_TRUE(scene.startTraversal("l", c.reversed ? Direction::Backward : Direction::Forward));
    LinkTraversal& link = *scene.currentLink();
    link.setNavProgress(c.progress);
    // The renderer asks for the frame first, which stops the progress at 0.99.
    (void)scene.transitionAt(link);
    EXPECT_EQ(scene.showsSourceButtons(link), c.source);
    EXPECT_EQ(scene.showsDestinationButtons(link), c.destination);
  }
}

TEST_F(SceneFixture, KeysReadOnlyTheirOwnAttributes) {
  // Neither the root's time nor the link's dstbuttons belong to the keys.
  load(
      "<quilo startview='a' time='0.5' srcbuttons='1'><view id='a'/><view id='b'/>"
      "<link id='l' from='a' to='b' dstbuttons='true'>" +
      key("", kQuadA) + key("time='1'", kQuadB) + "</link></quilo>");
  for (bool reversed : {false, true}) {
    ASSERT_TRUE(scene.startTraversal("l", reversed ? Direction::Backward : Direction::Forward));
    LinkTraversal& link = *scene.currentLink();
    EXPECT_EQ(link.keys()[0]->time(), 0.0);
    EXPECT_EQ(link.keys()[1]->time(), 1.0);
    link.setNavProgress(0.5f);
    EXPECT_FALSE(scene.showsSourceButtons(link));
    EXPECT_FALSE(scene.showsDestinationButtons(link));
  }
}

const char* kTwoViews = R"(<quilo startview='a'>
  <view id='a' src='a.jpg' fps='5'>
    <script id='oninit'><play link='a-init'/></script>
    <script id='onexit'><play link='a-exit'/></script>
  </view>
  <view id='b' src='b.jpg'>
    <script id='oninit'><play link='b-init'/></script>
    <script id='onexit'><play link='b-exit'/></script>
  </view>
</quilo>)";

TEST_F(SceneFixture, CurrentViewsKeepTheirInstancesAndRaiseEnterAndLeave) {
  load(kTwoViews);
  ASSERT_TRUE(enter({"a"}));
  ViewInstance* a = scene.currentView(0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(sources.fps(a->request()), 5.0f);
  EXPECT_EQ(dispatch(), (Links{"a-init"}));

  ASSERT_TRUE(enter({"a", "b"}));
  EXPECT_EQ(scene.currentView(0), a);
  EXPECT_EQ(dispatch(), (Links{"b-init"}));

  ASSERT_TRUE(enter({"b"}));
  EXPECT_EQ(useCount("a.jpg"), 0);
  EXPECT_EQ(scene.disposalCount(), 1u);
  // The leaving view lives until its "onexit" has run.
  EXPECT_EQ(dispatch(), (Links{"a-exit"}));
  scene.clearDisposal();
  EXPECT_EQ(scene.disposalCount(), 0u);

  // An id naming no view leaves its place empty; the others still enter.
  EXPECT_FALSE(enter({"nowhere", "b"}));
  EXPECT_EQ(scene.currentView(0), nullptr);
  EXPECT_NE(scene.currentView(1), nullptr);
  EXPECT_EQ(dispatch(), Links{});
}

TEST_F(SceneFixture, AViewNamedTwiceIsOneInstanceInBothPlaces) {
  load(kTwoViews);
  ASSERT_TRUE(enter({"a", "a"}));
  ViewInstance* a = scene.currentView(0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(scene.currentView(1), a);
  EXPECT_EQ(useCount("a.jpg"), 1);
  EXPECT_EQ(dispatch(), (Links{"a-init"}));

  ASSERT_TRUE(enter({"b", "a"}));
  EXPECT_EQ(scene.currentView(1), a);
  EXPECT_EQ(scene.disposalCount(), 0u);
  ASSERT_TRUE(enter({"b", "b"}));
  EXPECT_EQ(useCount("a.jpg"), 0);
  EXPECT_EQ(useCount("b.jpg"), 1);
  EXPECT_EQ(scene.disposalCount(), 1u);
  EXPECT_EQ(dispatch(), (Links{"b-init", "a-exit"}));
  scene.clearDisposal();
  ASSERT_TRUE(enter({}));
  EXPECT_EQ(dispatch(), (Links{"b-exit"}));
}

TEST_F(SceneFixture, DestroyedInstancesTakeTheirQueuedEventsWithThem) {
  load(kTwoViews);
  ASSERT_TRUE(enter({"a"}));
  ASSERT_TRUE(enter({"b"}));                 // a's "onexit" waits in the queue...
  scene.clearDisposal();                     // ...and goes with a
  EXPECT_EQ(dispatch(), (Links{"b-init"}));  // with a, its "oninit" went too

  ASSERT_TRUE(enter({"a"}));
  EXPECT_EQ(useCount("b.jpg"), 0);
  load(kTwoViews);  // a project reload drops every instance and event
  EXPECT_EQ(scene.pendingEventCount(), 0u);
  EXPECT_EQ(scene.currentView(0), nullptr);
  EXPECT_EQ(useCount("a.jpg"), 0);
  EXPECT_EQ(dispatch(), Links{});
}

TEST_F(SceneFixture, ANewSrcMakesUpdateViewsSubscribeAnew) {
  load(kTwoViews);
  ASSERT_TRUE(enter({"a"}));
  ViewInstance& view = *scene.currentView(0);
  SourceRequest* first = view.request();
  EXPECT_FALSE(scene.updateViews());  // placeholder, timestamp 0: nothing new

  view.scope().setVariable("src", "c.jpg");
  view.scope().setNumber("fps", 2);
  EXPECT_TRUE(scene.updateViews());
  EXPECT_NE(view.request(), first);
  EXPECT_EQ(view.rememberedSrc(), "c.jpg");
  EXPECT_EQ(sources.fps(view.request()), 2.0f);
  EXPECT_EQ(useCount("a.jpg"), 0);
  EXPECT_EQ(useCount("c.jpg"), 1);
  EXPECT_FALSE(scene.updateViews());
}

// ---- Scripts ------------------------------------------------------------------

TEST_F(SceneFixture, ViewScriptsRunInOrderBeforeTheirShapes) {
  load(R"(<quilo startview='v'><view id='v'>
    <script id='oninit'><play link='v1'/></script>
    <shape><script id='oninit'><play link='s1'/></script></shape>
    <script id='oninit'><play link='v2'/></script>
  </view></quilo>)");
  ASSERT_TRUE(enter({"v"}));
  // The shape's own script keeps the view's from running for its event.
  EXPECT_EQ(dispatch(), (Links{"v1", "v2", "s1"}));
}

TEST_F(SceneFixture, EventsClimbToTheFirstObjectWithAMatchingScript) {
  load(R"(<quilo startview='v'>
    <script id='oninit'><play link='root'/></script>
    <view id='v'><script id='oninit'><play link='view'/></script><shape/><shape/></view>
    <view id='w'><shape/><script id='onclick'><play link='never'/></script></view>
  </quilo>)");
  ASSERT_TRUE(enter({"v"}));
  EXPECT_EQ(dispatch(), (Links{"view", "view", "view"}));
  ASSERT_TRUE(enter({"w"}));
  EXPECT_EQ(dispatch(), (Links{"root", "root"}));  // only w entered; v's "onexit" finds nothing
  ASSERT_TRUE(enter({}));
  EXPECT_EQ(dispatch(), Links{});
}

TEST_F(SceneFixture, ConditionsResolveInTheScriptThenItsOwnersChain) {
  load(R"(<quilo startview='v' n='1' z='3'><view id='v' x='2'>
    <script id='oninit' x='1' y='[n]'>
      <play cond='[x]=1' link='script-x'/>
      <play cond='([x]=1' link='malformed'/>
      <set link='set-does-nothing'/>
      <play dur='5'/>
      <play cond='[y]=2' link='y-now-2'/>
      <play cond='[z]=3' link='root-z' dur='1'/>
    </script>
    <shape x='1'><script id='oninit'><play cond='[x]=1' link='shape-x'/></script></shape>
    <shape><script id='oninit'><play cond='[x]=1' link='view-x'/></script></shape>
  </view></quilo>)");
  ASSERT_TRUE(enter({"v"}));
  EXPECT_EQ(dispatch(), (Links{"script-x", "root-z", "shape-x"}));
  // Script attributes are interpolated anew at each run.
  scene.root()->scope().setVariable("n", "2");
  scene.raiseEvent(scene.currentView(0), "oninit");
  EXPECT_EQ(dispatch(), (Links{"script-x", "y-now-2", "root-z"}));
}

}  // namespace
}  // namespace vistel
