#include "vistel/project/values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "vistel/project/document.h"

namespace vistel {
namespace {

ScriptValue textValue(const std::string& text) {
  ScriptValue value;
  value.setText(text);
  return value;
}

ScriptValue numberValue(double number) {
  ScriptValue value;
  value.setNumber(number);
  return value;
}

TEST(ScriptValueTest, FreshValueHoldsEmptyExpressionText) {
  ScriptValue value;
  EXPECT_EQ(value.flags(), ScriptValue::HasText | ScriptValue::TextIsExpression);
  ASSERT_NE(value.toText(), nullptr);
  EXPECT_EQ(*value.toText(), "");
  EXPECT_EQ(value.toNumber(), 0);  // the empty literal
  EXPECT_FALSE(value.toTruth());   // the empty condition
  EXPECT_EQ(value.toColour(), 0u);
}

TEST(ScriptValueTest, SettingDropsEveryOtherForm) {
  ScriptValue value = textValue("#ff0000");
  EXPECT_EQ(value.flags(), 17);
  value.toNumber();
  value.toColour();
  EXPECT_EQ(value.flags(), 17 | ScriptValue::HasNumber | ScriptValue::HasColour);
  value.setNumber(3);
  EXPECT_EQ(value.flags(), 2);
  EXPECT_EQ(value.toColour(), 0u);  // a number has no colour, and nothing is cached
  EXPECT_EQ(value.flags(), 2);
  value.setText("4");
  EXPECT_EQ(value.flags(), 17);
  EXPECT_EQ(value.toNumber(), 4);
}

TEST(ScriptValueTest, NumberFromTextIsEvaluatedOnceAndKeepsText) {
  ScriptValue value = textValue("2*(3+4)");
  EXPECT_EQ(value.toNumber(), 14);
  EXPECT_EQ(value.flags(), 17 | ScriptValue::HasNumber);
  EXPECT_EQ(*value.toText(), "2*(3+4)");
  // The text is still what toTruth reads: as a condition it is a literal that
  // is no number (NaN), which counts as true.
  EXPECT_TRUE(value.toTruth());
  EXPECT_TRUE(std::isnan(textValue("abc").toNumber()));
}

TEST(ScriptValueTest, NumberFormatsAsFixedSixDigits) {
  ScriptValue value = numberValue(90);
  ASSERT_NE(value.toText(), nullptr);
  EXPECT_EQ(*value.toText(), "90.000000");
  // The formatted text is plain text, not an expression.
  EXPECT_EQ(value.flags(), ScriptValue::HasNumber | ScriptValue::HasText);
  EXPECT_EQ(*numberValue(-0.5).toText(), "-0.500000");
  EXPECT_EQ(*numberValue(1e20).toText(), "100000000000000000000.000000");
  EXPECT_EQ(*numberValue(std::numeric_limits<double>::infinity()).toText(), "inf");
  const std::string big = *numberValue(-std::numeric_limits<double>::max()).toText();
  EXPECT_EQ(big.size(), 317u);
  EXPECT_EQ(big.substr(0, 4), "-179");
}

TEST(ScriptValueTest, TruthOfNumbersAndConditions) {
  EXPECT_FALSE(numberValue(0).toTruth());
  EXPECT_TRUE(numberValue(-2).toTruth());
  EXPECT_TRUE(numberValue(std::numeric_limits<double>::quiet_NaN()).toTruth());
  EXPECT_TRUE(textValue("yes").toTruth());
  EXPECT_FALSE(textValue("off").toTruth());
  EXPECT_TRUE(textValue("2>1").toTruth());
  EXPECT_FALSE(textValue("(1=2)").toTruth());
  // A number that was formatted stays a number for toTruth.
  ScriptValue formatted = numberValue(0);
  formatted.toText();
  EXPECT_FALSE(formatted.toTruth());
}

TEST(ScriptValueTest, ColourForms) {
  EXPECT_EQ(textValue("#ff0000").toColour(), 0xFFFF0000u);
  EXPECT_EQ(textValue("#80ff0000").toColour(), 0x80FF0000u);
  EXPECT_EQ(textValue("#00FF7f").toColour(), 0xFF00FF7Fu);
  EXPECT_EQ(textValue("#abc").toColour(), 0xABCu);  // three digits: no alpha
  EXPECT_EQ(textValue("red").toColour(), 0u);
  EXPECT_EQ(textValue("#12345g78").toColour(), 0u);
  // More than eight digits keep the last eight.
  EXPECT_EQ(textValue("#1122334455").toColour(), 0x22334455u);
  // A bad digit zeroes the value, then seven characters still make it opaque.
  EXPECT_EQ(textValue("#ff00zz").toColour(), 0xFF000000u);
  // A text that is only a formatted number is no colour.
  ScriptValue formatted = numberValue(7);
  formatted.toText();
  EXPECT_EQ(formatted.toColour(), 0u);
}

TEST(ScriptValueTest, ColourIsCachedOnlyForHashTexts) {
  ScriptValue red = textValue("red");
  EXPECT_EQ(red.toColour(), 0u);
  EXPECT_EQ(red.flags() & ScriptValue::HasColour, 0);
  ScriptValue blue = textValue("#0000ff");
  EXPECT_EQ(blue.toColour(), 0xFF0000FFu);
  EXPECT_NE(blue.flags() & ScriptValue::HasColour, 0);
}

TEST(ScriptValueTest, TruthAndColourShareOneSlot) {
  // "#000001" is a literal that is no number, so as a condition it is true;
  // as a colour it is opaque 0x000001. Each reading evicts the other.
  ScriptValue value = textValue("#000001");
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(value.toTruth());
    EXPECT_NE(value.flags() & ScriptValue::HasTruth, 0);
    EXPECT_EQ(value.flags() & ScriptValue::HasColour, 0);
    EXPECT_EQ(value.toColour(), 0xFF000001u);
    EXPECT_NE(value.flags() & ScriptValue::HasColour, 0);
    EXPECT_EQ(value.flags() & ScriptValue::HasTruth, 0);
  }
  // A cached truth of 1 must not be read back as the colour 1, nor a cached
  // colour as a truth.
  ScriptValue zero = textValue("#000000");
  EXPECT_EQ(zero.toColour(), 0xFF000000u);
  EXPECT_TRUE(zero.toTruth());
  EXPECT_EQ(zero.toColour(), 0xFF000000u);
}

TEST(VariableScopeTest, LookupWalksTheParentChain) {
  VariableScope root;
  VariableScope view(&root);
  VariableScope shape(&view);
  root.setVariable("a", "root-a");
  root.setVariable("b", "root-b");
  view.setVariable("b", "view-b");
  EXPECT_EQ(*shape.getText("a"), "root-a");
  EXPECT_EQ(*shape.getText("b"), "view-b");
  EXPECT_EQ(*root.getText("b"), "root-b");
  EXPECT_EQ(shape.lookup("c"), nullptr);
  EXPECT_FALSE(shape.hasVariable("c"));
  EXPECT_TRUE(shape.hasVariable("a"));
  EXPECT_EQ(shape.lookup("a"), root.lookup("a"));
  // Absent names read as nothing.
  EXPECT_EQ(shape.getNumber("c"), 0);
  EXPECT_EQ(shape.getText("c"), nullptr);
  EXPECT_FALSE(shape.getTruth("c"));
  EXPECT_EQ(shape.getColour("c"), 0u);
  // Names are matched whole, byte for byte.
  root.setVariable("ab", "x");
  EXPECT_EQ(*shape.getText("a"), "root-a");
  EXPECT_EQ(shape.lookup("A"), nullptr);
}

TEST(VariableScopeTest, TypedGettersConvert) {
  VariableScope scope;
  scope.setVariable("n", "1+2");
  scope.setVariable("c", "#102030");
  scope.setVariable("t", "on");
  EXPECT_EQ(scope.getNumber("n"), 3);
  EXPECT_EQ(scope.getColour("c"), 0xFF102030u);
  EXPECT_TRUE(scope.getTruth("t"));
  scope.setNumber("x", 2.5);
  EXPECT_EQ(*scope.getText("x"), "2.500000");
}

TEST(VariableScopeTest, SetVariableWritesOwnVariableInterpolatedInParent) {
  VariableScope root;
  VariableScope view(&root);
  root.setVariable("a", "1");
  view.setVariable("a", "2");
  view.setVariable("b", "x[a]y");
  // The reference is read in the parent's scope, not the own one.
  EXPECT_EQ(*view.getText("b"), "x1y");
  // Setting a name the parent has creates an own variable; the parent keeps its own.
  VariableScope shape(&view);
  shape.setVariable("b", "new");
  EXPECT_EQ(*shape.getText("b"), "new");
  EXPECT_EQ(*view.getText("b"), "x1y");
  // A scope without parent keeps the text as written.
  root.setVariable("r", "[a]");
  EXPECT_EQ(*root.getText("r"), "[a]");
  // Setting again replaces the own value and its caches.
  view.setVariable("n", "4");
  EXPECT_EQ(view.getNumber("n"), 4);
  view.setVariable("n", "5");
  EXPECT_EQ(view.getNumber("n"), 5);
  EXPECT_EQ(view.lookup("n")->flags(), 17 | ScriptValue::HasNumber);
}

TEST(VariableScopeTest, SetNumberUpdatesNearestOrCreatesOwn) {
  VariableScope root;
  VariableScope view(&root);
  VariableScope shape(&view);
  root.setVariable("level", "1");
  shape.setNumber("level", 7);
  // The ancestor's value changed; no own variable appeared.
  EXPECT_EQ(root.getNumber("level"), 7);
  EXPECT_EQ(root.lookup("level")->flags(), ScriptValue::HasNumber);
  EXPECT_TRUE(shape.variables().empty());
  // The nearest one wins when several scopes have the name.
  view.setVariable("level", "2");
  shape.setNumber("level", 9);
  EXPECT_EQ(view.getNumber("level"), 9);
  EXPECT_EQ(root.getNumber("level"), 7);
  // An unknown name becomes an own variable.
  shape.setNumber("fresh", 3);
  ASSERT_EQ(shape.variables().size(), 1u);
  EXPECT_EQ(shape.variables().begin()->first, "fresh");
  EXPECT_EQ(root.lookup("fresh"), nullptr);
}

TEST(VariableScopeTest, InitFromAttributesInterpolatesEachInParent) {
  VariableScope root;
  root.setVariable("cam", "10.0.0.5");
  VariableScope view(&root);
  ProjectElement element;
  element.id = "v1";
  element.attributes = {{"src", "http://[cam]/jpg"}, {"fps", "5"}, {"bad", "x[cam"}};
  view.initFromAttributes(element);
  EXPECT_EQ(*view.getText("src"), "http://10.0.0.5/jpg");
  EXPECT_EQ(view.getNumber("fps"), 5);
  EXPECT_EQ(*view.getText("bad"), "");
  EXPECT_EQ(view.lookup("id"), nullptr);
  EXPECT_EQ(view.variables().size(), 3u);
  // Own variables are ordered byte-wise.
  std::string order;
  for (const auto& [name, value] : view.variables()) order += name + ",";
  EXPECT_EQ(order, "bad,fps,src,");
}

TEST(VariableScopeTest, Interpolation) {
  VariableScope scope;
  scope.setVariable("x", "1");
  scope.setNumber("n", 90);
  EXPECT_EQ(scope.interpolate("a[x]b"), "a1b");
  EXPECT_EQ(scope.interpolate("a[y]b"), "ab");
  EXPECT_EQ(scope.interpolate("a[x"), "");
  EXPECT_EQ(scope.interpolate("[x][x]-[n]"), "11-90.000000");
  EXPECT_EQ(scope.interpolate("no refs ] here"), "no refs ] here");
  EXPECT_EQ(scope.interpolate(""), "");
  EXPECT_EQ(scope.interpolate("[]"), "");
  // A "[" inside the name belongs to the name; the first "]" ends it.
  scope.setVariable("[x", "odd");
  EXPECT_EQ(scope.interpolate("<[[x]]>"), "<odd]>");
  // An unterminated "[" after good references still drops everything.
  EXPECT_EQ(scope.interpolate("[x] and [x"), "");
  // Substituted text is not interpolated again.
  scope.setVariable("ref", "[x]");
  EXPECT_EQ(scope.interpolate("[ref]"), "[x]");
}

TEST(VariableScopeTest, LongNamesExistNowhere) {
  VariableScope scope;
  const std::string longest(kMaxReferenceNameBytes, 'v');
  const std::string tooLong(kMaxReferenceNameBytes + 1, 'v');
  scope.setVariable(longest, "ok");
  scope.setVariable(tooLong, "hidden");
  // Truncating the long name would find the 259-byte one; it must find nothing.
  EXPECT_EQ(scope.interpolate("<[" + longest + "]>"), "<ok>");
  EXPECT_EQ(scope.interpolate("<[" + tooLong + "]>"), "<>");
  EXPECT_EQ(scope.interpolate("<[" + std::string(100000, 'v') + "]>"), "<>");
  // The scope itself still knows the long name; only references cannot reach it.
  EXPECT_EQ(*scope.getText(tooLong), "hidden");
}

TEST(VariableScopeTest, InterpolationStopsAtItsLimit) {
  VariableScope scope;
  const std::size_t piece = kMaxInterpolatedBytes / 4;
  scope.setVariable("big", std::string(piece, 'b'));
  // Exactly at the limit is still kept.
  const std::string four = scope.interpolate("[big][big][big][big]");
  EXPECT_EQ(four.size(), kMaxInterpolatedBytes);
  // One byte more, from a reference or from the text itself, drops it all.
  EXPECT_EQ(scope.interpolate("[big][big][big][big]x"), "");
  EXPECT_EQ(scope.interpolate("x[big][big][big][big]"), "");
  // Thousands of references to a long text end early instead of exhausting memory.
  std::string many;
  for (int i = 0; i < 100000; ++i) many += "[big]";
  EXPECT_EQ(scope.interpolate(many), "");
}

}  // namespace
}  // namespace vistel
