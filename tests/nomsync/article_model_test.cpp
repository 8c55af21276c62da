// The article without a database: defaults, writers, Assign, the wire
// record and what a pharmacy may send wrong inside it, the substitutes as a
// record-list source.
#include <cmath>

#include <gtest/gtest.h>

#include "article_test_util.h"
#include "nomsync/article/article_measure.h"
#include "nomsync/article/article_wire_checks.h"
#include "nomsync_test_util.h"
#include "protocol/nv_stream_utils.h"

using namespace nomsync_test;

namespace {

// Values written with a tagged-value writer.
template <class F>
std::string Written(F write) {
    TMemoryStream s;
    TNVBinWriter w(&s);
    write(w);
    return s.Bytes();
}

std::vector<std::vector<std::string>> Rows(TArticle& a) {
    std::vector<std::vector<std::string>> rows;
    TNVMemTable& t = a.MeasuresTable();
    for (t.First(); !t.Eof(); t.Next()) {
        rows.emplace_back();
        for (int i = 0; i < t.FieldCount(); ++i) rows.back().push_back(t.Fields(i).AsString());
    }
    return rows;
}

}  // namespace

TEST(ArticleModel, NewArticleHoldsTheDefaults) {
    TArticle a(nullptr);
    EXPECT_EQ(a.ID(), -1);
    EXPECT_EQ(a.ActionRequestID(), -1);
    EXPECT_EQ(a.VAT(), 20);
    for (int32_t v : {a.SHELF_ID(), a.NZOK_SHELF_ID(), a.MIN_RESERVE(), a.MAX_RESERVE(), a.MIN_RESERVE_NZOK(),
                      a.MAX_RESERVE_NZOK(), a.PRESCRIPTION_TYPE_ID(), a.QUANTITY_PER_PACK(), a.PRODUCT_GROUP_ID()})
        EXPECT_EQ(v, 1);
    for (int32_t v : {a.SALE_DEFAULT_MEASURE_ID(), a.MIN_RESERVE_MEASURE_ID(), a.MIN_RESERVE_NZOK_MEASURE_ID(),
                      a.AUTO_DELIVERY_MEASURE_ID(), a.AtomicMeasureID(), a.PackMeasureID()})
        EXPECT_EQ(v, -1);
    EXPECT_TRUE(a.IS_SALABLE() && a.HAS_STICKER() && a.IS_ACTIVE());
    EXPECT_EQ(a.DeliveryPriceLimit(), "0.00");
    EXPECT_FALSE(a.MeasuresTable().Active());
    EXPECT_FALSE(a.HasSubstitudes());
    EXPECT_FALSE(a.Modified);
}

TEST(ArticleModel, BasePriceSetsThePriceLimitsByBand) {
    const struct {
        double price;
        const char* delivery;
        const char* sale;
    } cases[] = {{1, "1.12", "1.33"},     {2, "2.20", "2.56"},       {7, "7.70", "8.96"},  {10, "10.90", "12.50"},
                 {30, "32.70", "37.50"}, {100, "107.00", "120.00"}, {0, "0.00", "0.00"}, {-4, "0.00", "0.00"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.price);
        TArticle a(nullptr);
        a.SetBASE_PRICE(c.price);
        EXPECT_EQ(a.DeliveryPriceLimit(), c.delivery);
        EXPECT_EQ(a.SalePriceLimit(), c.sale);
        EXPECT_TRUE(a.Modified);
    }
}

TEST(ArticleModel, CappedWritersAndTheModifiedFlags) {
    for (double v : {150.0, 100.0, -5.0}) {
        TArticle a(nullptr);
        a.SetMAX_OVERRATE(v);
        a.SetDEFAULT_DISCOUNT(v);
        EXPECT_EQ(a.MAX_OVERRATE(), std::min(v, 100.0));
        EXPECT_EQ(a.DEFAULT_DISCOUNT(), std::min(v, 100.0));
        EXPECT_TRUE(a.Modified);
    }
    TArticle a(nullptr);
    a.SetMeasuresModified(true);
    EXPECT_TRUE(a.Modified && a.MeasuresModified());
    a.SetMeasuresModified(false);
    EXPECT_TRUE(a.Modified);
    // Clear keeps what saving found out and resets the rest.
    a.IsExisting = a.NzokDataInDB = a.HasNzokData = true;
    a.Clear();
    EXPECT_TRUE(a.IsExisting && a.NzokDataInDB);
    EXPECT_FALSE(a.HasNzokData || a.Modified);
}

TEST(ArticleModel, AssignCopiesValuesFlagsAndMeasures) {
    TArticle src(nullptr), dst(nullptr), plain(nullptr);
    FillArticle(src, "Aspirin", "380001", "NZ1");
    src.SetID(7);
    plain.Assign(src);
    EXPECT_EQ(WireBytes(plain), WireBytes(src));
    AddSubstitute(dst, 1, 2, "x", false);
    dst.Assign(src);  // the substitutes stay the target's own
    EXPECT_EQ(dst.ID(), 7);
    EXPECT_TRUE(dst.Modified && dst.MeasuresModified() && dst.HasNzokData);
    EXPECT_EQ(Rows(dst), Rows(src));
    EXPECT_EQ(dst.Substitudes().GetCount(), 1);
    TArticleMeasure measure(nullptr);
    const std::string e = ErrorOf([&] { dst.Assign(measure); });
    EXPECT_EQ(e.rfind("Invalid assign operation on TArticle", 0), 0u) << e;
}

// ---------------------------------------------------------------------------
// The wire record

// Every cut of the record but the one without its trailer is refused.
TEST(ArticleWire, RecordRoundTripsByteForByteAndEveryCutIsRefused) {
    TArticle a(nullptr);
    FillArticle(a, "Aspirin", "380001", "NZ1");
    a.SetID(12);
    a.IsExisting = a.NzokDataInDB = a.ReservedFlag = a.UpdateMeasureNamesOnly = true;
    AddSubstitute(a, 5, 40, Cp(u8"Аналгин"), false);
    AddSubstitute(a, 0, 41, "Paracetamol", true);
    const std::string bytes = WireBytes(a);
    TArticle b(nullptr);
    LoadWireBytes(b, bytes);
    EXPECT_EQ(WireBytes(b), bytes);
    EXPECT_EQ(b.ID(), 12);
    EXPECT_EQ(b.ActionRequestID(), -1);
    EXPECT_FALSE(b.IS_SALABLE());
    EXPECT_EQ(b.MIN_AGE(), 2.5);
    EXPECT_TRUE(b.Modified && b.IsExisting && b.NzokDataInDB && b.ReservedFlag && b.UpdateMeasureNamesOnly);
    EXPECT_EQ(Rows(b), Rows(a));
    ASSERT_EQ(b.Substitudes().GetCount(), 2);
    EXPECT_TRUE(b.Substitudes().Items[1]->IsNew);
    EXPECT_EQ(b.Substitudes().Items[0]->CyrName, Cp(u8"Аналгин"));
    for (size_t n = 0; n < bytes.size(); ++n) {
        if (n == bytes.size() - 7) continue;  // without its trailer ("SAL_0") the record is whole
        TArticle cut(nullptr);
        EXPECT_ANY_THROW(LoadWireBytes(cut, bytes.substr(0, n))) << n;
    }
}

TEST(ArticleWire, WithoutNzokCodeTheNzokValuesAreLeftOutAndKeepTheirDefaults) {
    TArticle a(nullptr);
    FillArticle(a, "Aspirin", "380001", "NZ1");
    a.SetNZOK_CODE("");
    a.Modified = false;
    const std::string bytes = WireBytes(a);
    TArticle b(nullptr);
    LoadWireBytes(b, bytes);
    EXPECT_EQ(b.QUANTITY_PER_PACK(), 1);
    EXPECT_TRUE(b.HAS_STICKER());
    EXPECT_FALSE(b.Modified);  // the sender's flag, although every value was set
    TArticle withCode(nullptr);
    FillArticle(withCode, "Aspirin", "380001", "NZ1");
    EXPECT_GT(WireBytes(withCode).size(), bytes.size() + 25);  // 25 more values
}

namespace {

// An article's record without its saleable trailer ("SAL_0": 7 bytes).
std::string WithoutTrailer(TArticle& a) {
    std::string b = WireBytes(a);
    return b.substr(0, b.size() - 7);
}

}  // namespace

TEST(ArticleWire, SaleableTrailer) {
    TArticle a(nullptr);
    FillArticle(a, "A", "1");
    const std::string head = WithoutTrailer(a);
    const struct {
        std::string tail;
        bool salable;
    } cases[] = {{"", true},
                 {Written([](TNVBinWriter& w) { w.WriteString("SAL_0"); }), false},
                 {Written([](TNVBinWriter& w) { w.WriteString("SAL_1"); }), true},
                 {Written([](TNVBinWriter& w) { w.WriteString("SAL_"); }), true},
                 {Written([](TNVBinWriter& w) { w.WriteString("SAL_x"); }), true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        TArticle b(nullptr);
        LoadWireBytes(b, head + c.tail);
        EXPECT_EQ(b.IS_SALABLE(), c.salable);
    }
}

TEST(ArticleWire, WrongCountsLongTextsAndBadNumbersAreRefused) {
    // An empty article ends in: substitutes count 0, measures count 0, trailer.
    TArticle empty(nullptr);
    const std::string full = WireBytes(empty);
    const std::string head = full.substr(0, full.size() - 2 - 2 - 7);
    const auto measure = [](TNVBinWriter& w, const std::string& atomic, const std::string& name) {
        for (int i = 1; i <= 4; ++i) w.WriteInteger(i);
        w.WriteString(atomic);
        w.WriteString(name);
    };
    const auto link = [](TNVBinWriter& w) {
        w.WriteInteger(1);
        w.WriteInteger(2);
        w.WriteString("s");
        w.WriteBoolean(true);
    };
    const struct {
        const char* what;
        std::string tail;
    } cases[] = {
        {"negative substitutes", Written([](TNVBinWriter& w) { w.WriteInteger(-1); w.WriteInteger(0); })},
        {"huge substitutes", Written([](TNVBinWriter& w) { w.WriteInteger(0x7FFFFFFF); w.WriteInteger(0); })},
        {"more substitutes than sent", Written([&](TNVBinWriter& w) { w.WriteInteger(3); link(w); link(w); w.WriteInteger(0); })},
        {"fewer substitutes than sent", Written([&](TNVBinWriter& w) { w.WriteInteger(1); link(w); link(w); w.WriteInteger(0); })},
        {"negative measures", Written([](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(-5); })},
        {"huge measures", Written([](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(100000000); })},
        {"more measures than sent", Written([&](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(2); measure(w, "T", "m"); })},
        {"fewer measures than sent", Written([&](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(1); measure(w, "T", "m"); measure(w, "F", "n"); })},
        {"long measure name", Written([&](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(1); measure(w, "T", std::string(21, 'm')); })},
        {"long atomic mark", Written([&](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(1); measure(w, "TT", "m"); })},
        {"values after the trailer", Written([](TNVBinWriter& w) { w.WriteInteger(0); w.WriteInteger(0); w.WriteString("SAL_1"); w.WriteInteger(1); })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TArticle b(nullptr);
        EXPECT_ANY_THROW(LoadWireBytes(b, head + c.tail));
    }
    // Texts longer than their columns and numbers that are not finite.
    const std::vector<std::function<void(TArticle&)>> values = {
        [](TArticle& a) { a.SetBARCODE1(std::string(51, '1')); },
        [](TArticle& a) { a.SetNZOK_CODE(std::string(51, 'N')); },
        [](TArticle& a) { a.SetANAME(std::string(256, 'a')); },
        [](TArticle& a) { a.SetATC_CODE(std::string(51, 'c')); },
        [](TArticle& a) { a.SetVAT(NAN); },
        [](TArticle& a) { a.SetBASE_PRICE(INFINITY); },
        [](TArticle& a) { a.SetNZOK_CODE("N"); a.SetMIN_AGE(1e18); },
    };
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(i);
        TArticle a(nullptr), b(nullptr);
        values[i](a);
        try {
            LoadWireBytes(b, WireBytes(a));
            ADD_FAILURE() << "accepted";
        } catch (const EArticleRecordError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(Cp(u8"Невалидни данни"), 0), 0u);
        }
    }
}

TEST(ArticleSubstitudes, RecordListSource) {
    TArticle a(nullptr);
    AddSubstitute(a, 0, 40, "first", true);
    const IRecordListSource& src = a.Substitudes();
    ASSERT_EQ(src.GetFieldDefCount(), 2);
    EXPECT_EQ(src.GetFieldDef(1).Name, "CyrName");
    EXPECT_EQ(src.GetFieldDef(1).Size, 20);
    EXPECT_EQ(src.GetFieldDef(0).DataType, TFieldType::ftInteger);
    Variant v(int32_t{-9});
    src.GetFieldValue(0, "articleid", v);
    EXPECT_EQ(v.AsInteger(), 40);
    src.GetFieldValue(0, "CYRNAME", v);
    EXPECT_EQ(v.AsString(), "first");
    src.GetFieldValue(0, "other", v);
    EXPECT_EQ(v.AsString(), "first");
    TArticleSubstitude link(nullptr);
    EXPECT_FALSE(link.DeleteFromDB(1) || link.LoadFromUpdateTable(1));
    EXPECT_TRUE(link.CanActualize(TNomObjectActualizationType::noatDelete));
}

TEST(ArticleMeasure, DefaultsRecordAndAssign) {
    TArticleMeasure m(nullptr);
    EXPECT_TRUE(m.IS_ATOMIC);
    EXPECT_EQ(m.ARTICLE_ID, -1);
    EXPECT_EQ(m.MEASURE_NAME_ID, -1);
    m.SetID(300);
    m.ARTICLE_ID = 7;
    m.MEASURE_NAME_ID = 70000;
    m.FACTOR = 10;
    m.IS_ATOMIC = false;
    const std::string bytes = WireBytes(m);
    EXPECT_EQ(bytes, Written([](TNVBinWriter& w) {
                  for (int32_t v : {300, 7, 70000, 10}) w.WriteInteger(v);
                  w.WriteBoolean(false);
              }));
    TArticleMeasure n(nullptr), o(nullptr);
    LoadWireBytes(n, bytes);
    EXPECT_EQ(WireBytes(n), bytes);
    o.Assign(n);
    EXPECT_EQ(WireBytes(o), bytes);
    TArticle a(nullptr);
    EXPECT_THROW(o.Assign(a), EAssertionFailed);
    std::string msg;
    EXPECT_FALSE(o.SaveToDB(msg) || o.DeleteFromDB(1) || o.LoadFromUpdateTable(1));
}
