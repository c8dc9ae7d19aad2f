#include "base/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace perfagent {
namespace {

TEST(DoubleText, ShortestRoundTripDigitsWithPointZeroOnWholeValuesAndExponentsOutsideTheDecimalRange) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0.0"}, {-0.0, "-0.0"}, {1700000000123.0, "1700000000123.0"}, {12.5, "12.5"}, {-42.0, "-42.0"}, {0.1 + 0.2, "0.30000000000000004"},
        {0.0001, "0.0001"}, {0.00001, "1e-05"}, {-2.5e-7, "-2.5e-07"}, {1e16, "1e+16"}, {9007199254740991.0, "9007199254740991.0"},
        {9007199254740992.0, "9.007199254740992e+15"}, {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::infinity(), "inf"}, {-std::numeric_limits<double>::infinity(), "-inf"}, {std::nan(""), "nan"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(doubleText(value), text);
    EXPECT_EQ(floatText(0.1f), "0.1");
}

TEST(OptionalText, QuotesAndEscapesOrSaysNil) {
    EXPECT_EQ(optionalText(std::nullopt), "nil");
    EXPECT_EQ(optionalText(std::string("a\"b\\c\nd\te\x01")), "Optional(\"a\\\"b\\\\c\\nd\\te\\u{1}\")");
    // Unquoted names keep quotes and backslashes but cannot break a line or reach the terminal raw.
    EXPECT_EQ(consoleText("a\"b\\c\nd\x1b[2J\x7f\xc3\xa9"), "a\"b\\c\\nd\\u{1b}[2J\\u{7f}\xc3\xa9");
}

}  // namespace
}  // namespace perfagent
