#include <gtest/gtest.h>

#include "core/currency.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "core/variant.h"
#include "support/expect_raises.h"

TEST(Variant, EmptyAndNullAreDistinctAndDefaultsApplyToNullOnly) {
    Variant e, n = Variant::Null();
    EXPECT_TRUE(e.IsEmpty());
    EXPECT_TRUE(n.IsNull());
    EXPECT_FALSE(e == n);
    EXPECT_EQ(e.AsInteger(), 0);
    EXPECT_THROW(n.AsInteger(), EVariantError);
    ExpectRaises<EVariantError>([&] { n.AsDouble(); }, "Could not convert variant of type (Null) into type (Double)");
    EXPECT_THROW(n.AsCurrency(), EVariantError);
    EXPECT_THROW(n.AsBoolean(), EVariantError);
    EXPECT_EQ(VarToStr(n), "");
    EXPECT_EQ(VarToIntDef(Variant::Null(), 7), 7);
    EXPECT_EQ(VarToIntDef(Variant(), 7), 0);
    EXPECT_EQ(VarToIntDef(Variant("12"), 7), 12);
    EXPECT_THROW(VarToIntDef(Variant("12a"), 7), EConvertError);
    EXPECT_EQ(VarToInt64Def(Variant(int64_t{1} << 40), 0), int64_t{1} << 40);
    ExpectRaises<EConvertError>([&] { Variant("abc").AsInteger(); }, "'abc' is not a valid integer value");
}

TEST(Variant, NumericConversions) {
    EXPECT_EQ(Variant(2.5).AsInteger(), 2);   // ties to even
    EXPECT_EQ(Variant(3.5).AsInteger(), 4);
    EXPECT_EQ(Variant(true).AsInteger(), -1);
    EXPECT_EQ(Variant(Currency::FromRaw(23450)).AsDouble(), 2.345);
    EXPECT_EQ(Variant("1.25").AsCurrency().raw, 12500);
    EXPECT_EQ(Variant(" 1,5  ").AsDouble(), 1.5);  // blanks around, a comma for the point
    EXPECT_THROW(Variant("1.5 x").AsDouble(), EConvertError);
    EXPECT_EQ(Variant(int32_t{5}), Variant(int64_t{5}));
    EXPECT_EQ(Variant(2.5).AsString(), "2.5");
    EXPECT_EQ(Variant(Currency::FromRaw(-23400)).AsString(), "-2.34");
    // Wide text as it is, even where code page 1251 has no form; other text through it.
    EXPECT_EQ(Variant(std::u16string(u"\u4E2D\u0416")).AsWideString(), u"\u4E2D\u0416");
    EXPECT_EQ(Variant("\xC6").AsWideString(), u"\u0416");
}

TEST(Variant, ArraysCopyOnWrite) {
    Variant a = Variant::CreateArray(2);
    a[0] = Variant(int32_t{1});
    Variant b = a;
    b[0] = Variant("x");
    EXPECT_EQ(a[0].AsInteger(), 1);
    EXPECT_EQ(b[0].AsString(), "x");
    EXPECT_EQ(a.ArrayLength(), 2u);
    EXPECT_THROW(a[5], EVariantError);
}

TEST(Format, PositionalAndPlainSpecifiersFloatsInGeneralForm) {
    EXPECT_EQ(Format("%d-%s", {int32_t{5}, "a"}), "5-a");
    EXPECT_EQ(Format("REPL_ITEMS_%0:d ON REPL_ITEMS_%0:d", {int32_t{7}}), "REPL_ITEMS_7 ON REPL_ITEMS_7");
    EXPECT_EQ(Format("%1:s %0:s %s", {"a", "b"}), "b a b");
    EXPECT_EQ(Format("100%%", {}), "100%");
    EXPECT_EQ(Format("%g", {2.5}), "2.5");
    // %.Ng: N significant digits (1-14; otherwise 15), the general form.
    EXPECT_EQ(Format("%.3g|%.2g|%.20g|%.0g", {3.14159, 1234.0, 0.1, 2.0 / 3}),
              "3.14|1.2E3|0.1|0.666666666666667");
    EXPECT_EQ(Format("%.2f|%5d|%-3s|", {1.005, int32_t{42}, "x"}), "1.00|   42|x  |");
    EXPECT_THROW(Format("%d", {"x"}), EConvertError);
    // Currency is a float to %f; a text is not.
    EXPECT_EQ(Format("%.2f", {Variant(Currency::FromString("1.5"))}), "1.50");
    EXPECT_THROW(Format("%f", {"x"}), EConvertError);
    EXPECT_THROW(Format("%s %s", {"x"}), EConvertError);
    EXPECT_EQ(FloatToStr(0.0001), "0.0001");
    EXPECT_EQ(FloatToStr(1e20), "1E20");
    EXPECT_EQ(FloatToStr(-7.0), "-7");
    EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
    EXPECT_EQ(FloatToStr(123456.789), "123456.789");
}

TEST(Currency, ParsesAndPrintsExactly) {
    EXPECT_EQ(Currency::FromString("0.0001").raw, 1);
    EXPECT_EQ(Currency::FromString("-12.34567").raw, -123457);
    EXPECT_EQ(Currency::FromString("922337203685477.5807").raw, INT64_MAX);
    EXPECT_THROW(Currency::FromString("1e3"), EConvertError);
    EXPECT_EQ(Currency::FromRaw(INT64_MIN).ToString(), "-922337203685477.5808");
    EXPECT_THROW(Currency::FromDouble(1e300), EOverflow);
}

static Currency C(const char* s) { return Currency::FromString(s); }

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
    // The assertions name the rounding routines' unit.
    const struct { int32_t factor; const char* text; } bad[] = {
        {10001, "More than 4 decimal places not allowed in function RND. (NVMisc.pas, line "},
        {0, "The factor of function RND must be positive. (NVMisc.pas, line "},
        {-100, "The factor of function RND must be positive. (NVMisc.pas, line "},
    };
    for (const auto& b : bad) {
        try {
            RND(C("1"), b.factor, 0);
            ADD_FAILURE() << "no assertion for " << b.factor;
        } catch (const EAssertionFailed& e) {
            EXPECT_EQ(std::string(e.what()).rfind(b.text, 0), 0u) << e.what();
        }
    }
    Currency big = Currency::FromRaw(INT64_MAX - 1);
    EXPECT_THROW(RND(big, 1, 0), EOverflow);  // the next whole number does not fit
    EXPECT_THROW(RND(big, 1, 2), EOverflow);  // no room for the ten-thousandths either
    for (int64_t edge : {INT64_MAX, INT64_MIN}) EXPECT_EQ(RND(Currency::FromRaw(edge), 10000, 0).raw, edge);
    EXPECT_EQ(RND(C("900000000000000.5"), 1, 2), C("900000000000000"));
    EXPECT_EQ(RND(C("-900000000000000.5"), 1, 0), C("-900000000000001"));
    // The modes themselves are RND's (the table above); mode 0 of RoundByMode,
    // which RND's own mode 0 does not use, rounds half away from zero too.
    const struct { unsigned mode; long double x, want; } modes[] = {
        {0, 2.5L, 3.0L}, {0, -2.5L, -3.0L}, {0, 2.4999L, 2.0L}, {1, 2.0001L, 3.0L}, {1, 2.0L, 2.0L}, {5, -2.9L, -2.0L}};
    for (const auto& m : modes) EXPECT_EQ(RoundByMode(m.mode, m.x, 1), m.want) << m.mode << " " << double(m.x);
    try {
        RoundByMode(0, 1e30L, 10);
        FAIL() << "no overflow";
    } catch (const EOverflow& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Overflow on rounding ", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find(" with a factor of 10."), std::string::npos) << e.what();
    }
}
