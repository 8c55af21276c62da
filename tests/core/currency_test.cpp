#include "core/currency.h"

#include <gtest/gtest.h>

#include "core/exceptions.h"

namespace {

Currency C(const char* s) { return Currency::FromString(s); }

TEST(Rnd, TheStatedTable) {
    // Value, factor, mode (0 half away from zero, 1 away from zero, others
    // toward zero), result. Only the first dropped digit counts; thirds
    // round to the nearest 1/10000.
    const struct { const char* value; int factor, mode; const char* want; } cases[] = {
        {"2.345", 100, 0, "2.35"},  {"2.345", 100, 1, "2.35"},  {"2.345", 100, 2, "2.34"},
        {"-2.345", 100, 0, "-2.35"}, {"-2.345", 100, 2, "-2.34"}, {"2.341", 100, 0, "2.34"},
        {"2.341", 100, 1, "2.35"},  {"-2.341", 100, 1, "-2.35"}, {"2.3449", 100, 0, "2.34"},
        {"2.34", 100, 1, "2.34"},   {"0", 100, 0, "0"},          {"1.005", 100, 0, "1.01"},
        {"7.5", 1, 0, "8"},         {"7.5", 1, 7, "7"},          {"0.5", 3, 0, "0.6667"},
        {"0.5", 3, 2, "0.3333"},    {"0.5", 3, 1, "0.6667"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " " + std::to_string(c.factor) + " " + std::to_string(c.mode));
        EXPECT_EQ(RND(C(c.value), c.factor, c.mode), C(c.want));
    }
    EXPECT_EQ(RoundMoney(C("10.125"), 0), C("10.13"));
    EXPECT_EQ(RoundMoney(C("-0.005"), 0), C("-0.01"));
}

TEST(Rnd, FactorLimitsExtremeValuesAndRoundingModes) {
    EXPECT_EQ(RND(C("1.23456"), 10000, 0), C("1.2346"));
    try {
        RND(C("1"), 10001, 0);
        FAIL() << "no assertion";
    } catch (const EAssertionFailed& e) {
        EXPECT_NE(std::string(e.what()).find("More than 4 decimal places not allowed in function RND."),
                  std::string::npos);
    }
    EXPECT_THROW(RND(C("1"), 0, 0), EAssertionFailed);
    EXPECT_THROW(RND(C("1"), -100, 0), EAssertionFailed);
    Currency big = Currency::FromRaw(INT64_MAX - 1);
    EXPECT_THROW(RND(big, 1, 0), EOverflow);  // the next whole number does not fit
    EXPECT_THROW(RND(big, 1, 2), EOverflow);  // no room for the ten-thousandths either
    for (int64_t edge : {INT64_MAX, INT64_MIN}) EXPECT_EQ(RND(Currency::FromRaw(edge), 10000, 0).raw, edge);
    EXPECT_EQ(RND(C("900000000000000.5"), 1, 2), C("900000000000000"));
    EXPECT_EQ(RND(C("-900000000000000.5"), 1, 0), C("-900000000000001"));
    EXPECT_EQ(RoundByMode(0, 2.5L, 1), 3.0L);
    EXPECT_EQ(RoundByMode(0, -2.5L, 1), -3.0L);
    EXPECT_EQ(RoundByMode(1, 2.0001L, 1), 3.0L);
    EXPECT_EQ(RoundByMode(1, 2.0L, 1), 2.0L);
    EXPECT_EQ(RoundByMode(5, -2.9L, 1), -2.0L);
    try {
        RoundByMode(0, 1e30L, 10);
        FAIL() << "no overflow";
    } catch (const EOverflow& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Overflow on rounding ", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find(" with a factor of 10."), std::string::npos) << e.what();
    }
}

}  // namespace
