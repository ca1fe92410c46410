#include "vistel/host/preset_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vistel {
namespace {

TEST(PresetText, FieldsEndAtSemicolonsAndTheMiddleOneNeedsAComma) {
  struct Case {
    const char* text;
    ViewPosition expected;
  };
  for (const Case& c : {
           Case{"0.5;0.1,0.2;2;", {0.5f, 0.1f, 0.2f, 2.0f}},
           Case{"0.50;0.10,-0.05;1.00;", {0.5f, 0.1f, -0.05f, 1.0f}},
           Case{"0.5;0.1,0.2;2", {0.5f, 0.1f, 0.2f, 0.0f}},  // last field without its ";"
           Case{"0.5;0.1;2;", {0.5f, 0.0f, 0.0f, 2.0f}},     // no "," keeps both offsets 0
           Case{"0.5;;2;", {0.5f, 0.0f, 0.0f, 2.0f}},
           Case{"0.5", {-1.0f, 0.0f, 0.0f, 0.0f}},  // not even the first field ends
           Case{"", {-1.0f, 0.0f, 0.0f, 0.0f}},
           Case{"x;,y;z;", {0.0f, 0.0f, 0.0f, 0.0f}},  // unreadable numbers read as 0
           Case{" 1e-1x;2,3,4;5;6;", {0.1f, 2.0f, 3.0f, 5.0f}},
       }) {
    EXPECT_EQ(parsePreset(c.text), c.expected) << c.text;
  }
  EXPECT_FALSE(parsePreset("").defined());
  EXPECT_FALSE(parsePreset("-0.1;0,0;1;").defined());
  EXPECT_TRUE(parsePreset("0;0,0;1;").defined());
}

TEST(PresetText, PositionTextRoundsToTwoDecimalsAndParsesBack) {
  EXPECT_EQ(formatPositionText(0.5f, 0.1f, -0.05f, 1.0f), "0.50;0.10,-0.05;1.00;");
  EXPECT_EQ(formatPositionText(1.0f, 0.125f, -0.004f, 3.999f), "1.00;0.12,-0.00;4.00;");
  const ViewPosition back = parsePreset(formatPositionText(0.25f, -0.5f, 0.5f, 0.24f));
  EXPECT_EQ(back, (ViewPosition{0.25f, -0.5f, 0.5f, 0.24f}));
}

TEST(PresetText, LeadingNumbersFollowTheDecimalGrammarOnly) {
  EXPECT_FLOAT_EQ(leadingDecimal("  -2.5e1xyz"), -25.0f);
  EXPECT_FLOAT_EQ(leadingDecimal(".5"), 0.5f);
  EXPECT_FLOAT_EQ(leadingDecimal("7."), 7.0f);
  EXPECT_FLOAT_EQ(leadingDecimal("3e"), 3.0f);    // an exponent needs digits
  EXPECT_FLOAT_EQ(leadingDecimal("0x10"), 0.0f);  // no hexadecimal
  EXPECT_FLOAT_EQ(leadingDecimal("nan"), 0.0f);
  EXPECT_FLOAT_EQ(leadingDecimal("-."), 0.0f);
  EXPECT_EQ(leadingDecimal("1e999"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(leadingDecimal("-1e39"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(leadingDecimal("1e-999"), 0.0f);

  EXPECT_EQ(leadingInteger(" 40000ms"), 40000);
  EXPECT_EQ(leadingInteger("-12.7"), -12);
  EXPECT_EQ(leadingInteger("abc"), 0);
  EXPECT_EQ(leadingInteger("99999999999999999999"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(leadingInteger("-99999999999999999999"), std::numeric_limits<std::int32_t>::min());

  float value = 7.0f;
  EXPECT_TRUE(parseDecimal(" 25 ", value));
  EXPECT_FLOAT_EQ(value, 25.0f);
  for (const char* bad : {"", " ", "25fps", "inf", "1,5"}) {
    EXPECT_FALSE(parseDecimal(bad, value)) << bad;
    EXPECT_FLOAT_EQ(value, 25.0f);
  }
}

}  // namespace
}  // namespace vistel
