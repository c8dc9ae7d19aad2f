#include "platform/clock.hpp"
#include "platform/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace perfagent {
namespace {

TEST(DoubleText, WholeValuesKeepTrailingPointZero) {
    EXPECT_EQ(doubleText(3.0), "3.0");
    EXPECT_EQ(doubleText(250.0), "250.0");
    EXPECT_EQ(doubleText(0.0), "0.0");
    EXPECT_EQ(doubleText(-0.0), "-0.0");
    EXPECT_EQ(doubleText(1700000000123.0), "1700000000123.0");
    EXPECT_EQ(doubleText(1e15), "1000000000000000.0");
}

TEST(DoubleText, ShortestRoundTripDigits) {
    EXPECT_EQ(doubleText(12.5), "12.5");
    EXPECT_EQ(doubleText(0.1), "0.1");
    EXPECT_EQ(doubleText(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(doubleText(0.0001), "0.0001");
    EXPECT_EQ(doubleText(9.5367431640625e-07), "9.5367431640625e-07");
}

TEST(DoubleText, ExponentFormOutsideTheDecimalRange) {
    EXPECT_EQ(doubleText(1e16), "1e+16");
    EXPECT_EQ(doubleText(9007199254740992.0), "9.007199254740992e+15");
    EXPECT_EQ(doubleText(9007199254740991.0), "9007199254740991.0");
    EXPECT_EQ(doubleText(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
    EXPECT_EQ(doubleText(0.00001), "1e-05");
    EXPECT_EQ(doubleText(-2.5e-7), "-2.5e-07");
}

TEST(DoubleText, NonFiniteValues) {
    EXPECT_EQ(doubleText(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(doubleText(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(doubleText(std::nan("")), "nan");
}

TEST(FloatText, UsesTheFloatsOwnShortestDigits) {
    EXPECT_EQ(floatText(-1.0f), "-1.0");
    EXPECT_EQ(floatText(0.1f), "0.1");
    EXPECT_EQ(floatText(0.75f), "0.75");
}

TEST(OptionalText, QuotesAndEscapesOrSaysNil) {
    EXPECT_EQ(optionalText(std::nullopt), "nil");
    EXPECT_EQ(optionalText(std::string()), "Optional(\"\")");
    EXPECT_EQ(optionalText(std::string("login")), "Optional(\"login\")");
    EXPECT_EQ(optionalText(std::string("a\"b\\c\nd\te\x01")), "Optional(\"a\\\"b\\\\c\\nd\\te\\u{1}\")");
    EXPECT_EQ(optionalText(std::string("caf\xc3\xa9")), "Optional(\"caf\xc3\xa9\")");
}

TEST(RoundHalfAwayFromZero, RoundsHalvesOutward) {
    EXPECT_EQ(roundHalfAwayFromZero(2.5), 3.0);
    EXPECT_EQ(roundHalfAwayFromZero(10.4), 10.0);
    EXPECT_EQ(roundHalfAwayFromZero(-2.5), -3.0);
    EXPECT_EQ(roundHalfAwayFromZero(1700000000123.5), 1700000000124.0);
}

}  // namespace
}  // namespace perfagent
