// Locale-free number texts: the general and the fixed form, and parsing them back.
#include "NumberFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

TEST(NumberFormat, GeneralForm) {
    const std::pair<double, const char*> rows[] = {
        {0.0059448, "0.0059448"}, {-0.000202834, "-0.000202834"}, {123.4259, "123.4259"},
        {41.8123, "41.8123"},     {0.00001, "0.00001"},           {0.000009, "9E-6"},
        {-1.5e-7, "-1.5E-7"},     {0, "0"},                       {5, "5"},
        {0.1 + 0.2, "0.3"},       {1e15, "1E15"},                 {123456789012345.0, "123456789012345"},
    };
    for (const auto& [v, text] : rows) EXPECT_EQ(FormatReal(v), text) << v;
}

TEST(NumberFormat, FixedAndParsing) {
    EXPECT_EQ(FormatFixed(0.0059448), "0.00594480");
    EXPECT_EQ(FormatFixed(-0.000202834), "-0.00020283");
    EXPECT_EQ(FormatFixed(123.4259), "123.42590000");
    EXPECT_EQ(FormatFixed(-1e-12), "0.00000000");
    for (const auto& [text, v] : {std::pair{" -0.5 ", -0.5}, {"+2", 2.0}, {"1E-6", 1e-6}, {".5", 0.5}})
        EXPECT_EQ(ParseReal(text), v) << text;
    for (const char* bad : {"", " ", "abc", "1.2.3", "0x10", "inf", "nan", "1e", "--1", "1,5", "5 6", "1e999"})
        EXPECT_FALSE(ParseReal(bad).has_value()) << bad;
    EXPECT_EQ(ParseInt("12"), 12);
    for (const char* bad : {"12.5", "99999999999", "+-3"}) EXPECT_FALSE(ParseInt(bad).has_value()) << bad;
}

TEST(NumberFormat, EveryWrittenValueReadsBack) {
    // Fifteen digits, except where rounding to them would pass the largest double.
    for (double v : {1.7976931348623157e308, -1.7976931348623157e308, 1.79769313486231e308, 2.2250738585072014e-308,
                     4.9e-324, 123.42590000000001, -9.99999999999999e14}) {
        const auto back = ParseReal(FormatReal(v));
        ASSERT_TRUE(back.has_value()) << FormatReal(v);
        EXPECT_NEAR(*back, v, std::fabs(v) * 1e-14) << FormatReal(v);
    }
    EXPECT_EQ(FormatReal(1.7976931348623157e308), "1.7976931348623157E308");
}
