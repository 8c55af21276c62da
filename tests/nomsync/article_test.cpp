// The article: without a database its price limits, writers, Assign, the
// wire record and what a pharmacy may send wrong inside it, the substitutes
// as a record-list source; against the real database staging a proposal and
// loading it back, renaming measures, and the admission checks. (The walks
// drive saving, updating and deleting.)
#include <cmath>

#include <gtest/gtest.h>

#include "article_test_util.h"
#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "nomsync/article/article_measure.h"
#include "nomsync/article/article_wire_checks.h"
#include "nomsync_test_util.h"
#include "protocol/nv_stream_utils.h"

using namespace nomsync_test;

namespace {

std::vector<std::vector<std::string>> Rows(TArticle& a) {
    std::vector<std::vector<std::string>> rows;
    TNVMemTable& t = a.MeasuresTable();
    for (t.First(); !t.Eof(); t.Next()) {
        rows.emplace_back();
        for (int i = 0; i < t.FieldCount(); ++i) rows.back().push_back(t.Fields(i).AsString());
    }
    return rows;
}

class ArticleDbTest : public NomDataFixture {
protected:
    // "ARTICLE_ID/MEASURE_NAME_ID/FACTOR/IS_ATOMIC" of the MEASURE rows by FACTOR.
    std::vector<std::string> Measures(const std::string& where) {
        std::vector<std::string> out;
        for (auto& r : db.Rows("SELECT CONCAT_WS('/', ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) FROM MEASURE "
                               "WHERE " + where + " ORDER BY FACTOR, ID"))
            out.push_back(r[0].AsString());
        return out;
    }
    TDMBase dm;
};

using V = std::vector<std::string>;

}  // namespace

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
    a.SetMeasuresModified(true);
    a.Clear();
    EXPECT_TRUE(a.IsExisting && a.NzokDataInDB);
    EXPECT_FALSE(a.HasNzokData || a.Modified || a.MeasuresModified());
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
        TArticle cut(nullptr);
        if (n != bytes.size() - 7) {
            EXPECT_ANY_THROW(LoadWireBytes(cut, bytes.substr(0, n))) << n;
            continue;
        }
        LoadWireBytes(cut, bytes.substr(0, n));  // without its trailer ("SAL_0") the record is whole
        EXPECT_TRUE(cut.IS_SALABLE());
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
    EXPECT_EQ(src.GetFieldDef(0).Size, 0);
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
    EXPECT_EQ(m.FACTOR, 0);
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

// ---------------------------------------------------------------------------
// Against the database

TEST_F(ArticleDbTest, StagedInsertLoadsBackWithTemporaryMeasures) {
    SeedPharmacies(db, 2);
    TArticle a(&dm);
    FillArticle(a, "Aspirin", "380001", "NZ1", 30);
    a.SetID(12);
    a.SetMAX_OVERRATE(100);
    AddSubstitute(a, 0, 40, "s", true);
    a.SaveToUpdateTable(UpdateParams(1, 1));
    const int32_t R = a.ActionRequestID();
    ASSERT_GT(R, 0);
    EXPECT_FALSE(a.Modified || a.IS_INVENTORISED());
    EXPECT_EQ(a.SALE_DEFAULT_MEASURE_ID(), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM action_request_status"), 2);
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT_WS('|', ID, SALE_DEFAULT_MEASURE_ID, IS_INVENTORISED, DIRECT_SALE_MARGE, "
                           "QUANTITY_LEFT_DIRECT_SALE IS NULL) FROM NOM_UPDATE_ARTICLE"),
              "12|32|F|0|1");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_ARTICLE_NZOK WHERE NZOK_CODE = 'NZ1'"), 1);
    // Every measure is staged as new, with a temporary MEASURE row.
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_MEASURE WHERE ID = 0 AND TEMP_ID > 0"), 3);
    EXPECT_EQ(Measures("ARTICLE_ID = 0"), (V{"0/1/1/F", "0/2/10/F", "0/3/100/T"}));
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT_WS('|', ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) FROM "
                           "NOM_UPDATE_SUBSTITUDE_ARTICLE"),
              "0|12|40");

    db.Exec(Format("UPDATE NOM_UPDATE_ARTICLE SET MAX_OVERRATE = 120 WHERE ACTION_REQUEST_ID = %d", {R}));
    db.Exec(Format("UPDATE NOM_UPDATE_ARTICLE_NZOK SET MIN_AGE = -2.345 WHERE ACTION_REQUEST_ID = %d", {R}));
    TArticle b(&dm);
    ASSERT_TRUE(b.LoadFromUpdateTable(R));
    EXPECT_EQ(b.ID(), 12);
    EXPECT_EQ(b.MAX_OVERRATE(), 100);
    EXPECT_EQ(b.SalePriceLimit(), "12.50");
    EXPECT_EQ(b.MIN_AGE(), -2.35);
    EXPECT_TRUE(b.HasNzokData && b.MeasuresModified() && b.Modified);
    const int64_t firstTemp = Count("SELECT MIN(TEMP_ID) FROM NOM_UPDATE_MEASURE");
    EXPECT_EQ(b.PackMeasureID(), firstTemp);
    EXPECT_EQ(b.AtomicMeasureFactor(), 100);
    ASSERT_EQ(b.Substitudes().GetCount(), 1);
    EXPECT_EQ(b.Substitudes().Items[0]->RowID, 0);

    // No staged article: cleared, but the staged measures still count.
    TArticle none(&dm);
    db.Exec(Format("UPDATE NOM_UPDATE_ARTICLE SET ACTION_REQUEST_ID = 999 WHERE ACTION_REQUEST_ID = %d", {R}));
    EXPECT_FALSE(none.LoadFromUpdateTable(R));
    EXPECT_EQ(none.ID(), -1);
    EXPECT_TRUE(none.MeasuresModified());
}

TEST_F(ArticleDbTest, NamesOnlyRenamesEveryChangedMeasure) {
    db.Exec("INSERT INTO ARTICLE (ID, NAME) VALUES (5, 'a');"
            "INSERT INTO MEASURE (ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) VALUES "
            "(11, 5, 1, 1, 'F'), (12, 5, 2, 10, 'F'), (13, 5, 3, 50, 'T')");
    TArticle a(&dm);
    a.SetID(5);
    a.UpdateMeasureNamesOnly = true;
    AddMeasure(a, 11, 7, 99, "T", "");
    AddMeasure(a, 12, 8, 10, "F", "");
    a.SetMeasuresModified(true);
    std::string msg;
    ASSERT_TRUE(a.SaveToDB(msg)) << msg;
    EXPECT_EQ(Measures("1"), (V{"5/7/1/F", "5/8/10/F", "5/3/50/T"}));
}

TEST_F(ArticleDbTest, CanActualizeRefusesClashesAndPendingDeletes) {
    db.Exec("INSERT INTO ARTICLE (ID, NAME, BARCODE1, BARCODE2) VALUES (1, 'a', 'B1', 'B2');"
            "INSERT INTO ARTICLE_NZOK (ID, NZOK_CODE) VALUES (1, 'NZ1');"
            "INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, IS_PROCESSED) VALUES (50, 1, 2, NOW(), 'F');"
            "INSERT INTO NOM_UPDATE_ARTICLE (ACTION_REQUEST_ID, ID, BARCODE1) VALUES (50, 2, 'PB');"
            "INSERT INTO NOM_UPDATE_ARTICLE_NZOK (ACTION_REQUEST_ID, ID, NZOK_CODE) VALUES (50, 2, 'PNZ');"
            "INSERT INTO MEASURE_NAME (ID, NAME) VALUES (6, 'm');"
            "INSERT INTO PRODUCER (ID, NAME) VALUES (8, 'p');"
            "INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY) "
            "VALUES (60, 5, 3, NOW(), 'T', 'F', 6), (61, 4, 3, NOW(), 'T', 'F', 8);"
            "INSERT INTO action_request_status VALUES (60, 1, 0, NOW()), (61, 1, 0, NOW())");
    using K = TNomObjectActualizationType;
    const struct {
        const char* what;
        int32_t id;
        const char* b1;
        const char* nzok;
        int32_t measureName, producer;
        K kind;
        bool ok;
    } cases[] = {
        {"free insert", -1, "X", "NZX", 1, 0, K::noatInsert, true},
        {"barcode 1 is another's barcode 2", -1, "B2", "", 1, 0, K::noatInsert, false},
        {"own barcode on update", 1, "B1", "", 1, 0, K::noatUpdate, true},
        {"another's barcode on update", 3, "B1", "", 1, 0, K::noatUpdate, true},
        {"NZOK code of another", -1, "X", "NZ1", 1, 0, K::noatInsert, false},
        {"NZOK code of another on delete", 3, "", "NZ1", 1, 0, K::noatDelete, false},
        {"own NZOK code", 1, "", "NZ1", 1, 0, K::noatUpdate, true},
        {"barcode of a pending proposal", 3, "PB", "", 1, 0, K::noatUpdate, false},
        {"pending proposal of the same article", 2, "PB", "PNZ", 1, 0, K::noatUpdate, true},
        {"NZOK code of a pending proposal", -1, "", "PNZ", 1, 0, K::noatInsert, false},
        {"measure name about to be deleted", -1, "", "", 6, 0, K::noatInsert, false},
        {"producer about to be deleted", -1, "", "", 1, 8, K::noatInsert, false},
        {"pending deletes do not bind updates", 3, "", "", 6, 8, K::noatUpdate, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TArticle a(&dm);
        a.SetID(c.id);
        a.SetCYR_NAME("cyr");
        a.SetBARCODE1(c.b1);
        a.SetNZOK_CODE(c.nzok);
        a.SetPRODUCER_ID(c.producer);
        AddMeasure(a, 1, c.measureName, 1, "T", "");
        EXPECT_EQ(a.CanActualize(c.kind), c.ok);
    }
    // A measure name or producer still used by an article does not block.
    db.Exec("INSERT INTO MEASURE (ARTICLE_ID, MEASURE_NAME_ID) VALUES (1, 6); UPDATE ARTICLE SET PRODUCER_ID = 8");
    TArticle a(&dm);
    AddMeasure(a, 1, 6, 1, "T", "");
    a.SetPRODUCER_ID(8);
    EXPECT_TRUE(a.CanActualize(K::noatInsert));
    auto lines = log.Messages("TArticle");
    for (std::u8string_view l : {u8"Неуспешно създаване на заявка за добавяне на стока \"cyr\", защото съществува друга "
                                 u8"стока в номенклатурата с баркод 1 или баркод 2 = \"B2\"!",
                                 u8"Съществува заявка за изтриване с код 60 на мярка (ID=6), която е една от мерките на "
                                 u8"стоката, която желаете да добавите!"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), Cp(l)), lines.end()) << Cp(l);
}
