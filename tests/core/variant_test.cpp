#include <gtest/gtest.h>

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
    EXPECT_EQ(Variant(int32_t{5}), Variant(int64_t{5}));
    EXPECT_EQ(Variant(2.5).AsString(), "2.5");
    EXPECT_EQ(Variant(Currency::FromRaw(-23400)).AsString(), "-2.34");
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
