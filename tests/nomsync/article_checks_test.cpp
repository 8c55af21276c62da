// The article against the real database, case by case: what an update
// writes and leaves, the producer and shelf repair, a failing save, the full
// measure merge, a staged proposal loaded back value for value, the pending
// deletes that refuse a new article, substitutes read from the update
// tables, a failing measure staging, a vanished measure name, the deletion
// with its dependent rows; without a database the measure texts a pharmacy
// sends longer than their fields and a record without an NZOK code.
#include <gtest/gtest.h>

#include "article_test_util.h"
#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/text.h"
#include "nomsync/article/article_measure.h"
#include "nomsync_test_util.h"

using namespace nomsync_test;

namespace {

using V = std::vector<std::string>;
using K = TNomObjectActualizationType;

class ArticleChecks : public NomDataFixture {
protected:
    std::string Str(const std::string& sql) { return db.ScalarStr(sql); }
    // "ARTICLE_ID/MEASURE_NAME_ID/FACTOR/IS_ATOMIC" of the MEASURE rows by FACTOR.
    V Measures(const std::string& where) {
        V out;
        for (auto& r : db.Rows("SELECT CONCAT_WS('/', ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) FROM MEASURE "
                               "WHERE " + where + " ORDER BY FACTOR, ID"))
            out.push_back(r[0].AsString());
        return out;
    }
    void Save(TArticle& a) {
        std::string msg = "x";
        ASSERT_TRUE(a.SaveToDB(msg)) << msg;
        EXPECT_EQ(msg, "");
    }
    // The log lines of the article that begin with the text.
    V LogLines(const std::string& begin) {
        V out;
        for (const auto& l : log.Messages("TArticle"))
            if (l.rfind(begin, 0) == 0) out.push_back(l);
        return out;
    }
    TDMBase dm;
};

// The article's measures as "ID/ARTICLE_ID/MEASURE_NAME_ID/FACTOR/IS_ATOMIC/MeasureName".
V MeasureRows(TArticle& a) {
    V rows;
    TNVMemTable& t = a.MeasuresTable();
    for (t.First(); !t.Eof(); t.Next()) {
        std::string r;
        for (int i = 0; i < t.FieldCount(); ++i) r += (i ? "/" : "") + t.Fields(i).AsString();
        rows.push_back(r);
    }
    return rows;
}

// The columns an update sets, and those it leaves as stored.
const char* const kUpdatedArticleColumns =
    "GROUP_ID, PRODUCER_ID, NAME, CYR_NAME, GENERICA, ATC_CODE, ACTIVE_QUANTITY, DESCRIPTION, VAT, BASE_PRICE, "
    "IS_DRUG, DRUG_TYPE_ID, IS_MINISTRY_PRICE, IS_INVENTORISED, BARCODE1, BARCODE2, PRINT_BARCODE, IS_SALABLE, "
    "WITH_PRESCRIPTION_ONLY, IS_MEDICINE";
const char* const kKeptArticleColumns =
    "SALE_DEFAULT_MEASURE_ID, MAX_OVERRATE, MIN_RESERVE, MAX_RESERVE, MIN_RESERVE_MEASURE_ID, SHELF_ID, "
    "AUTO_DELIVERY_MEASURE_ID, DEFAULT_DISCOUNT, DEFAULT_DIRECT_SALE_PRICE, DEFAULT_NZOK_SALE_PRICE, "
    "DIRECT_SALE_MAX_PRICE";
const char* const kUpdatedNzokColumns =
    "PRESCRIPTION_TYPE_ID, NZOK_CODE, NZOK_GROUP, QUANTITY_PER_PACK, MAX_PRICE, REINBURSEMENT, MAX_PRICE_OLD, "
    "REINBURSEMENT_OLD, IS_FREE, HAS_STICKER, IS_DIVISIBLE, DAY_DOSE_ALLOWED, IS_ACTIVE, IS_STANDALONE, "
    "IS_CONTROLLED_DOSE, MIN_AGE, MAX_AGE, PRESCRIPTION_PERIOD, PRODUCT_GROUP_ID, MEDICAL_ARTICLE_TYPE_ID, "
    "IS_FULLY_PAID";
const char* const kKeptNzokColumns =
    "MIN_RESERVE_NZOK, MAX_RESERVE_NZOK, MIN_RESERVE_NZOK_MEASURE_ID, NZOK_SHELF_ID, DEFAULT_DISCOUNT_NZOK";
// What FillArticle puts into those columns (producer 4 does not exist).
std::string FilledArticleColumns() {
    return "3|0|renamed|" + Cp(u8"Кир renamed") + "|gen|N02BE01|500 mg|desc|9|10|T|2|T|F|B|B-2|T|F|T|T";
}
const char* const kFilledNzokColumns = "2|NEW|7|30|9.5|4.25|9|4|T|F|T|1.5000|F|T|T|2.5|80|30|2|1|T";

}  // namespace

// ---------------------------------------------------------------------------
// Saving

// An update sets its 20 ARTICLE columns and leaves the other 11 as stored;
// its NZOK part updates 21 columns of an existing row and leaves 5, inserts
// a missing row in full, deletes a row the update no longer has. An update
// whose article vanished writes nothing, measures and substitutes included.
TEST_F(ArticleChecks, UpdateWritesItsColumnsLeavesTheRestAndFollowsTheNzokPart) {
    db.Exec("INSERT INTO SHELF (ID, PHARM_ID) VALUES (9, 0)");
    const struct {
        bool hasNzok, rowBefore;
        std::string after;  // the NZOK row's updated and kept columns, "" = no row
    } cases[] = {
        {true, true, std::string(kFilledNzokColumns) + "|61|62|63|64|65"},
        {true, false, std::string(kFilledNzokColumns) + "|3|30|41|9|3"},  // inserted in full
        {false, true, ""},
        {false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Format("NZOK part %d, row before %d", {int(c.hasNzok), int(c.rowBefore)}));
        db.Exec("DELETE FROM ARTICLE; DELETE FROM ARTICLE_NZOK;"
                "INSERT INTO ARTICLE (ID, NAME, IS_INVENTORISED, SALE_DEFAULT_MEASURE_ID, MAX_OVERRATE, MIN_RESERVE, "
                "MAX_RESERVE, MIN_RESERVE_MEASURE_ID, SHELF_ID, AUTO_DELIVERY_MEASURE_ID, DEFAULT_DISCOUNT, "
                "DEFAULT_DIRECT_SALE_PRICE, DEFAULT_NZOK_SALE_PRICE, DIRECT_SALE_MAX_PRICE) VALUES "
                "(5, 'old', 'T', 71, 72, 73, 74, 75, 76, 77, 78, 79.5, 80.25, 81.75)");
        if (c.rowBefore)
            db.Exec("INSERT INTO ARTICLE_NZOK (ID, NZOK_CODE, QUANTITY_PER_PACK, MIN_RESERVE_NZOK, MAX_RESERVE_NZOK, "
                    "MIN_RESERVE_NZOK_MEASURE_ID, NZOK_SHELF_ID, DEFAULT_DISCOUNT_NZOK) VALUES "
                    "(5, 'OLD', 66, 61, 62, 63, 64, 65)");
        TArticle a(&dm);
        FillArticle(a, "renamed", "B", c.hasNzok ? "NEW" : "", 40);
        a.SetNZOK_SHELF_ID(9);
        a.SetID(5);
        a.SetMeasuresModified(false);
        Save(a);
        EXPECT_EQ(a.NzokDataInDB, c.rowBefore);
        EXPECT_EQ(Str(Format("SELECT CONCAT_WS('|', %s) FROM ARTICLE", {kUpdatedArticleColumns})),
                  FilledArticleColumns());
        EXPECT_EQ(Str(Format("SELECT CONCAT_WS('|', %s) FROM ARTICLE", {kKeptArticleColumns})),
                  "71|72|73|74|75|76|77|78|79.5000|80.2500|81.75");
        EXPECT_EQ(Str(Format("SELECT CONCAT_WS('|', %s, %s) FROM ARTICLE_NZOK WHERE ID = 5",
                             {kUpdatedNzokColumns, kKeptNzokColumns})),
                  c.after);
    }

    // A vanished article: the look-ups and the repair of the object only; its
    // temporary measure is not taken over.
    db.Exec("INSERT INTO MEASURE (ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) VALUES (90, 0, 1, 1, 'F');"
            "INSERT INTO NOM_UPDATE_MEASURE VALUES (33, 0, 6, 1, 1, 'F', 90)");
    TArticle ghost(&dm);
    FillArticle(ghost, "ghost", "G", "NZG");
    AddSubstitute(ghost, 0, 40, "s", true);
    ghost.SetID(6);
    ghost.SetActionRequestID(33);
    Save(ghost);
    EXPECT_EQ(Format("%d %d", {ghost.PRODUCER_ID(), int(ghost.IS_INVENTORISED())}), "0 0");
    EXPECT_TRUE(ghost.Substitudes().Items[0]->IsNew);
    EXPECT_EQ(Str("SELECT GROUP_CONCAT(ID) FROM ARTICLE"), "5");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE_NZOK WHERE ID = 6") + Count("SELECT COUNT(*) FROM SUBSTITUDE_ARTICLE"),
              0);
    EXPECT_EQ(Measures("1"), (V{"0/1/1/F"}));
}

// A new article: a producer that does not exist becomes 0, a shelf without a
// central row (PHARM_ID 0) becomes 1, stored and in the object; the first
// measure marked atomic gives the mark up to the one of the largest factor.
TEST_F(ArticleChecks, InsertRepairsProducerAndShelvesAndMarksTheLargestFactorAtomic) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (4, 'p'); INSERT INTO SHELF (ID, PHARM_ID) VALUES (7, 0), (8, 3)");
    const struct {
        int32_t producer, shelf, nzokShelf;
        const char* stored;
    } cases[] = {{4, 7, 8, "4|7|1"}, {5, 8, 7, "0|1|7"}, {0, 9, 1, "0|1|1"}};
    for (const auto& c : cases) {
        TArticle a(&dm);
        FillArticle(a, "Aspirin", "", "NZ1");
        a.SetPRODUCER_ID(c.producer);
        a.SetSHELF_ID(c.shelf);
        a.SetNZOK_SHELF_ID(c.nzokShelf);
        Save(a);
        EXPECT_EQ(Format("%d|%d|%d", {a.PRODUCER_ID(), a.SHELF_ID(), a.NZOK_SHELF_ID()}), c.stored);
        EXPECT_EQ(Str(Format("SELECT CONCAT_WS('|', A.PRODUCER_ID, A.SHELF_ID, N.NZOK_SHELF_ID) FROM ARTICLE A JOIN "
                             "ARTICLE_NZOK N ON N.ID = A.ID WHERE A.ID = %d",
                             {a.ID()})),
                  c.stored);
    }
    db.Exec("DELETE FROM ARTICLE; DELETE FROM ARTICLE_NZOK; DELETE FROM MEASURE");
    TArticle a(&dm);
    FillArticle(a, "Aspirin", "380001", "NZ1", 30);
    a.SetSHELF_ID(77);
    TNVMemTable& t = a.MeasuresTable();
    for (t.First(); !t.Eof(); t.Next()) {
        t.Edit();
        t.FieldByName("IS_ATOMIC").SetAsString(t.FieldByName("FACTOR").AsInteger() == 1 ? "T" : "F");
        t.Post();
    }
    Save(a);
    const std::string id = std::to_string(a.ID());
    ASSERT_GT(a.ID(), 0);
    EXPECT_FALSE(a.Modified);
    EXPECT_EQ(Str("SELECT CONCAT_WS('|', NAME, PRODUCER_ID, SHELF_ID, IS_INVENTORISED, DRUG_TYPE_ID, BARCODE2, "
                  "DEFAULT_DIRECT_SALE_PRICE) FROM ARTICLE"),
              "Aspirin|4|1|F|2|380001-2|12.3456");
    EXPECT_EQ(Str("SELECT CONCAT_WS('|', ID, NZOK_CODE, QUANTITY_PER_PACK, HAS_STICKER, MIN_AGE) FROM ARTICLE_NZOK"),
              id + "|NZ1|30|F|2.5");
    EXPECT_EQ(Measures("1"), (V{id + "/1/1/F", id + "/2/10/F", id + "/3/100/T"}));
    EXPECT_EQ(MeasureRows(a), (V{"31/" + id + "/1/1/F/" + Cp(u8"кутия"), "32/" + id + "/2/10/F/" + Cp(u8"блистер"),
                                 "33/" + id + "/3/100/T/" + Cp(u8"таблетка")}));
    EXPECT_EQ(Format("%d %d %s", {a.AtomicMeasureID(), a.AtomicMeasureFactor(), a.AtomicMeasureName()}),
              "33 100 " + Cp(u8"таблетка"));
}

// A failing statement: False with the failure's message; the caller's
// transaction is rolled back, and without one the ARTICLE row written before
// the failure stays.
TEST_F(ArticleChecks, FailingSaveReportsTheMessageAndRollsBackTheCallersTransaction) {
    db.Exec("DROP TABLE ARTICLE_NZOK");
    for (bool inTransaction : {true, false}) {
        SCOPED_TRACE(inTransaction);
        TArticle a(&dm);
        FillArticle(a, "A", "1", "NZ");
        if (inTransaction) dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        std::string msg;
        EXPECT_FALSE(a.SaveToDB(msg));
        EXPECT_NE(LowerCase1251(msg).find("article_nzok"), std::string::npos) << msg;
        EXPECT_FALSE(dm.InTransaction());
        EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE"), inTransaction ? 0 : 1);
    }
}

// ---------------------------------------------------------------------------
// Measures

// An applied update merges the proposal's measures into the stored ones: a
// stored measure is found by its name, else by its ID, and updated; one found
// by neither is deleted; a new one comes through its temporary row; a row
// that matches no stored measure by name or ID is inserted. A stored measure
// that cannot be deleted fails the save with the measure-delete text.
TEST_F(ArticleChecks, FullMergeUpdatesDeletesAndInsertsMeasures) {
    SeedPharmacies(db, 1);
    db.Exec("INSERT INTO ARTICLE (ID, NAME) VALUES (5, 'a');"
            "INSERT INTO MEASURE (ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) VALUES "
            "(11, 5, 1, 1, 'F'), (12, 5, 2, 10, 'T'), (13, 5, 9, 50, 'F')");
    // Proposed: 11 renamed to 4, name 2 with factor 20, name 9 dropped, a new
    // name 3 of factor 100, and row 77 of name 8 that the article never had.
    TArticle a(&dm);
    a.SetID(5);
    a.SetANAME("merged");
    AddMeasure(a, 11, 4, 1, "F", "pack");
    AddMeasure(a, 12, 2, 20, "T", "strip");
    AddMeasure(a, 0, 3, 100, "F", "tab");
    AddMeasure(a, 77, 8, 5, "F", "half");
    a.SetMeasuresModified(true);
    a.SaveToUpdateTable(UpdateParams(2, 1));
    EXPECT_EQ(Str("SELECT SYNC_REQUIRED FROM ACTION_REQUEST"), "T");
    TArticle b(&dm);
    ASSERT_TRUE(b.LoadFromUpdateTable(a.ActionRequestID()));
    Save(b);
    EXPECT_EQ(Measures("1"), (V{"5/4/1/F", "5/8/5/F", "5/2/20/F", "5/3/100/T"}));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM MEASURE WHERE ID IN (13, 77)"), 0);

    db.Exec("CREATE TRIGGER MEASURE_SOLD BEFORE DELETE ON MEASURE FOR EACH ROW "
            "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'sold in this measure'");
    TArticle c(&dm);
    c.SetID(5);
    c.SetANAME("changed");
    AddMeasure(c, 11, 4, 1, "T", "pack");
    c.SetMeasuresModified(true);
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    std::string msg;
    EXPECT_FALSE(c.SaveToDB(msg));
    EXPECT_EQ(msg, Cp(u8"Грешка при изтриване на мярка от базата данни! Имате направени доставки/продажби от тази "
                      u8"стока в мерната единица."));
    EXPECT_FALSE(dm.InTransaction());
    EXPECT_EQ(Str("SELECT NAME FROM ARTICLE WHERE ID = 5"), "merged");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM MEASURE WHERE ARTICLE_ID = 5"), 4);
}

// The temporary MEASURE row is committed before the staged row is written:
// a failing staged row leaves it; a temporary row that cannot be written
// leaves no staged row.
TEST_F(ArticleChecks, FailingMeasureStagingKeepsItsTemporaryRow) {
    TArticleMeasure m(&dm);
    m.SetID(0);
    m.MEASURE_NAME_ID = 4;
    m.FACTOR = 10;
    m.SetActionRequestID(9);
    db.Exec("RENAME TABLE NOM_UPDATE_MEASURE TO NOM_UPDATE_MEASURE_OFF");
    EXPECT_ANY_THROW(m.SaveToUpdateTable(TNomUpdateTablePrivateParams()));
    EXPECT_FALSE(dm.InTransaction());
    EXPECT_EQ(Measures("1"), (V{"0/4/10/T"}));
    db.Exec("RENAME TABLE NOM_UPDATE_MEASURE_OFF TO NOM_UPDATE_MEASURE; RENAME TABLE MEASURE TO MEASURE_OFF");
    EXPECT_ANY_THROW(m.SaveToUpdateTable(TNomUpdateTablePrivateParams()));
    EXPECT_FALSE(dm.InTransaction());
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_MEASURE"), 0);
}

// A measure name whose central row vanished writes nothing and leaves the
// caller's transaction open.
TEST_F(ArticleChecks, VanishedMeasureNameCommitsNothing) {
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm.ExecSQL("INSERT INTO PRODUCER (NAME) VALUES ('caller')");
    TMeasureName m(&dm);
    FillMeasureName(m, "gone");
    m.SetID(6);
    std::string msg;
    EXPECT_TRUE(m.SaveToDB(msg));
    EXPECT_TRUE(dm.InTransaction());
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER") + Count("SELECT COUNT(*) FROM MEASURE_NAME"), 0);
    dm.RollbackTransaction();
}

// ---------------------------------------------------------------------------
// Staged proposals

// Everything staged comes back: the loaded article writes the same record
// as the staged one, once what loading derives is set on the latter (the
// request's flags, the atomic and pack measures; measure names are not
// staged). The two read-only amounts are staged as 0 and read back. A
// proposal without staged measures names none.
TEST_F(ArticleChecks, StagedProposalLoadsBackEveryValue) {
    SeedPharmacies(db, 1);
    TArticle a(&dm);
    FillArticle(a, "Aspirin", "380001", "NZ1", 40);
    a.SetID(12);
    a.SetSHELF_ID(4);
    a.SetNZOK_SHELF_ID(5);
    a.SaveToUpdateTable(UpdateParams(2, 1));
    const int32_t R = a.ActionRequestID();
    db.Exec(Format("INSERT INTO nom_update_article_info VALUES (%d, 'info', 'T', 'T')", {R}));
    TArticle b(&dm);
    ASSERT_TRUE(b.LoadFromUpdateTable(R));
    EXPECT_EQ(b.ActionRequestID(), R);
    EXPECT_TRUE(b.Modified && b.MeasuresModified() && b.HasNzokData && b.NzokDataInDB);
    a.Modified = a.NzokDataInDB = true;
    a.SetAtomicMeasureID(43);
    a.SetAtomicMeasureFactor(100);
    a.SetPackMeasureID(41);
    TNVMemTable& t = a.MeasuresTable();
    for (t.First(); !t.Eof(); t.Next()) {
        t.Edit();
        t.FieldByName("MeasureName").SetAsString("");
        t.Post();
    }
    EXPECT_EQ(WireBytes(b), WireBytes(a));

    EXPECT_EQ(Str("SELECT CONCAT_WS('|', LAST_DELIVERY_ITEM_SALE_PRICE, DIRECT_SALE_MARGE) FROM NOM_UPDATE_ARTICLE"),
              "0.0000|0");
    db.Exec("UPDATE NOM_UPDATE_ARTICLE SET LAST_DELIVERY_ITEM_SALE_PRICE = 3.5, DIRECT_SALE_MARGE = 12.25");
    TArticle c(&dm);
    ASSERT_TRUE(c.LoadFromUpdateTable(R));
    EXPECT_EQ(c.LAST_DELIVERY_ITEM_SALE_PRICE().ToDouble(), 3.5);
    EXPECT_EQ(c.DIRECT_SALE_MARGE(), 12.25);

    // Without staged measures the article names no measure: 0, not -1.
    db.Exec("DELETE FROM NOM_UPDATE_MEASURE");
    TArticle d(&dm);
    d.SetAtomicMeasureName("x");
    ASSERT_TRUE(d.LoadFromUpdateTable(R));
    EXPECT_EQ(Format("%d %d %d [%s]", {d.AtomicMeasureID(), d.AtomicMeasureFactor(), d.PackMeasureID(),
                                       d.AtomicMeasureName()}),
              "0 0 0 []");
    EXPECT_EQ(d.MeasuresTable().RecordCount(), 0);
}

// Substitutes read from the update tables come in the order of their names
// in nom_update_article, one link per row there (none: an empty name), not
// new, with RowID 0.
TEST_F(ArticleChecks, SubstitutesLoadFromTheUpdateTablesByName) {
    db.Exec("INSERT INTO NOM_UPDATE_SUBSTITUDE_ARTICLE (ACTION_REQUEST_ID, ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) "
            "VALUES (30, 1, 12, 40), (30, 2, 12, 41), (30, 3, 12, 42), (31, 4, 12, 43);"
            "INSERT INTO NOM_UPDATE_ARTICLE (ACTION_REQUEST_ID, ID, CYR_NAME) VALUES "
            "(90, 40, 'Beta'), (91, 40, 'Beta'), (92, 41, 'Alpha'), (93, 43, 'Other')");
    TArticle a(&dm);
    a.SetActionRequestID(30);
    V links;
    for (const auto& l : a.Substitudes().Items)
        links.push_back(Format("%d|%s|%d|%d|%d", {l->ArticleID, l->CyrName, l->RowID, int(l->IsNew),
                                                  l->ActionRequestID()}));
    EXPECT_EQ(links, (V{"42||0|0|30", "41|Alpha|0|0|30", "40|Beta|0|0|30", "40|Beta|0|0|30"}));
    a.Substitudes().SaveToDB();
    EXPECT_EQ(Count("SELECT COUNT(*) FROM SUBSTITUDE_ARTICLE"), 0);
}

// A proposed new article with three links, the second new: the save stores
// that one for the new article, the staging stages all three.
TEST_F(ArticleChecks, ProposedInsertStoresItsNewLinkAndStagesEveryLink) {
    SeedPharmacies(db, 1);
    db.Exec("ALTER TABLE ARTICLE AUTO_INCREMENT = 700");
    TArticle a(nullptr);
    FillArticle(a, "A", "");
    AddSubstitute(a, 5, 40, "first", false);
    AddSubstitute(a, 0, 41, "second", true);
    AddSubstitute(a, 7, 42, "third", false);
    auto cmd = MakeActualization(1, "pass-1", a, TNomObjectType::notArticle, K::noatInsert);
    int32_t req = 0;
    std::string msg;
    ASSERT_TRUE(TNomenclatureObject::ProcessNomActualization(dm, *cmd, req, msg)) << msg;
    ASSERT_GT(req, 0);
    const std::string row = Str("SELECT GROUP_CONCAT(ID, '/', ARTICLE_ID, '/', SUBSTITUDE_ARTICLE_ID) FROM "
                                "SUBSTITUDE_ARTICLE");
    const std::string newID = Str("SELECT MAX(ID) FROM SUBSTITUDE_ARTICLE");
    EXPECT_EQ(row, newID + "/700/41");
    EXPECT_EQ(Str(Format("SELECT GROUP_CONCAT(ID, '/', ARTICLE_ID, '/', SUBSTITUDE_ARTICLE_ID ORDER BY "
                         "SUBSTITUDE_ARTICLE_ID) FROM NOM_UPDATE_SUBSTITUDE_ARTICLE WHERE ACTION_REQUEST_ID = %d",
                         {req})),
              "5/700/40," + newID + "/700/41,7/700/42");
    // Its measures are staged as new ones, each with a temporary row.
    EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM NOM_UPDATE_MEASURE WHERE ACTION_REQUEST_ID = %d AND ID = 0 AND "
                           "TEMP_ID > 0",
                           {req})),
              3);
}

// A new link gets a central identity of its own, whatever row ID the
// pharmacy gave it; a stored link is not written again.
TEST_F(ArticleChecks, NewLinksGetCentralIdentities) {
    db.Exec("INSERT INTO SUBSTITUDE_ARTICLE (ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) VALUES (100, 50, 2)");
    TArticle a(&dm);
    FillArticle(a, "A", "");
    AddSubstitute(a, 0, 40, "new", true);
    AddSubstitute(a, 100, 41, "pharmacy's own row id", true);
    AddSubstitute(a, 7, 42, "stored", false);
    Save(a);
    const auto& items = a.Substitudes().Items;
    EXPECT_EQ(Format("%d %d %d", {items[0]->RowID, items[1]->RowID, items[2]->RowID}), "101 102 7");
    EXPECT_EQ(Str(Format("SELECT GROUP_CONCAT(ID, '>', SUBSTITUDE_ARTICLE_ID ORDER BY ID) FROM SUBSTITUDE_ARTICLE "
                         "WHERE ARTICLE_ID = %d",
                         {a.ID()})),
              "101>40,102>41");
}

// ---------------------------------------------------------------------------
// Admission, references, deletion

// A new article is refused by the latest pending, sync-required delete of
// one of its measure names or of its producer, and the log line names that
// request; a reference that names no measure, with no pack measure to fall
// back to, becomes -1 and is logged.
TEST_F(ArticleChecks, PendingDeletesNameTheLatestRequestAndAMissingPackMeasureIsLogged) {
    db.Exec("INSERT INTO MEASURE_NAME (ID, NAME) VALUES (6, 'm'); INSERT INTO PRODUCER (ID, NAME) VALUES (8, 'p');"
            "INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY) "
            "VALUES (60, 5, 3, NOW(), 'T', 'F', 6), (64, 5, 3, NOW(), 'T', 'F', 6), (69, 5, 3, NOW(), 'T', 'T', 6), "
            "(70, 5, 3, NOW(), 'F', 'F', 6), (71, 5, 2, NOW(), 'T', 'F', 6), (61, 4, 3, NOW(), 'T', 'F', 8), "
            "(65, 4, 3, NOW(), 'T', 'F', 8), (72, 4, 3, NOW(), 'T', 'T', 8), (73, 4, 3, NOW(), 'F', 'F', 8), "
            "(74, 4, 2, NOW(), 'T', 'F', 8);"
            "INSERT INTO action_request_status VALUES (60, 1, 0, NOW()), (64, 1, 0, NOW()), (69, 1, 0, NOW()), "
            "(70, 1, 0, NOW()), (71, 1, 0, NOW()), (61, 1, 0, NOW()), (65, 1, 0, NOW()), (72, 1, 0, NOW()), "
            "(73, 1, 0, NOW()), (74, 1, 0, NOW())");
    for (const auto& [measureName, producer] : {std::pair{6, 0}, {1, 8}}) {
        TArticle a(&dm);
        AddMeasure(a, 1, measureName, 1, "T", "");
        a.SetPRODUCER_ID(producer);
        EXPECT_FALSE(a.CanActualize(K::noatInsert)) << measureName;
    }
    EXPECT_EQ(log.Messages("TArticle"),
              (V{Cp(u8"Съществува заявка за изтриване с код 64 на мярка (ID=6), която е една от мерките на стоката, "
                    u8"която желаете да добавите!"),
                 Cp(u8"Съществува заявка за изтриване с код 65 на производител (ID=8), който е избран на стоката, "
                    u8"която желаете да добавите!")}));

    log.Clear();
    TArticle a(nullptr);
    a.SetID(7);
    AddMeasure(a, 12, 2, 10, "F", "");
    AddMeasure(a, 13, 3, 100, "T", "");
    a.SetSALE_DEFAULT_MEASURE_ID(12);
    a.ResolveMeasureReferences();
    EXPECT_EQ(Format("%d %d %d %d", {a.SALE_DEFAULT_MEASURE_ID(), a.MIN_RESERVE_MEASURE_ID(),
                                     a.MIN_RESERVE_NZOK_MEASURE_ID(), a.AUTO_DELIVERY_MEASURE_ID()}),
              "12 -1 -1 -1");
    EXPECT_EQ(log.Messages("TArticle"), V(3, "No pack measure (FACTOR 1) among the measures of article 7"));
}

// The deletion takes the article's rows from every dependent table, links
// in which it is the substitute included, and leaves the other articles'
// rows; without a data module nothing is deleted.
TEST_F(ArticleChecks, DeleteTakesTheDependentRowsOfThatArticleOnly) {
    for (const char* t : {"DENIAL", "SUPPLIER_CODE", "INVENTORY_CHECK"})
        db.Exec(Format("INSERT INTO %s (ID, ARTICLE_ID) VALUES (1, 5), (2, 6)", {t}));
    db.Exec("INSERT INTO ARTICLE (ID) VALUES (5), (6); INSERT INTO ARTICLE_NZOK (ID) VALUES (5), (6);"
            "INSERT INTO ARTICLE_INFO (ID) VALUES (5), (6); INSERT INTO MEASURE (ARTICLE_ID) VALUES (5), (6);"
            "INSERT INTO SUBSTITUDE_ARTICLE (ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) VALUES (5, 6), (6, 5), (6, 7)");
    TArticle storeless(nullptr);
    EXPECT_FALSE(storeless.DeleteFromDB(5));
    TArticle d(&dm);
    EXPECT_TRUE(d.DeleteFromDB(5));
    std::string left;
    for (const char* t : {"DENIAL", "SUPPLIER_CODE", "INVENTORY_CHECK", "MEASURE"})
        left += Str(Format("SELECT GROUP_CONCAT(ARTICLE_ID) FROM %s", {t})) + " ";
    for (const char* t : {"ARTICLE", "ARTICLE_NZOK", "ARTICLE_INFO"})
        left += Str(Format("SELECT GROUP_CONCAT(ID) FROM %s", {t})) + " ";
    left += Str("SELECT GROUP_CONCAT(ARTICLE_ID, '>', SUBSTITUDE_ARTICLE_ID) FROM SUBSTITUDE_ARTICLE");
    EXPECT_EQ(left, "6 6 6 6 6 6 6 6>7");
}

// A record with a barcode longer than its column is answered with the
// message naming it and stores nothing.
TEST_F(ArticleChecks, BadRecordIsAnsweredAndStoresNothing) {
    SeedPharmacies(db, 1);
    TArticle bad(nullptr);
    FillArticle(bad, "A", std::string(60, '7'));
    auto cmd = MakeActualization(1, "pass-1", bad, TNomObjectType::notArticle, K::noatInsert);
    int32_t id = -5;
    std::string msg;
    EXPECT_FALSE(TNomenclatureObject::ProcessNomActualization(dm, *cmd, id, msg));
    EXPECT_NE(msg.find("BARCODE1"), std::string::npos) << msg;
    for (const char* t : {"ACTION_REQUEST", "ARTICLE", "MEASURE", "NOM_UPDATE_ARTICLE"})
        EXPECT_EQ(Count(std::string("SELECT COUNT(*) FROM ") + t), 0) << t;
}

// Over the service: a new article whose barcode or NZOK code another article
// holds is refused (request 0), nothing is stored, and a barcode clash is
// logged with the article's Cyrillic name.
class ArticleProposals : public ServiceFixture {};

TEST_F(ArticleProposals, BarcodeAndNzokCodeClashesAreRefused) {
    db.Exec("INSERT INTO ARTICLE (ID, NAME, CYR_NAME, BARCODE1) VALUES (5, 'old', 'old', 'B5');"
            "INSERT INTO ARTICLE_NZOK (ID, NZOK_CODE) VALUES (5, 'NZ5')");
    auto client = Connect();
    for (const auto& [barcode, nzok] : {std::pair{"B5", ""}, {"NEW", "NZ5"}}) {
        TArticle a(nullptr);
        FillArticle(a, "clash", barcode, nzok);
        auto r = Ask<TPharmServerNomActualizationResult>(
            *client, *MakeActualization(1, "pass-1", a, TNomObjectType::notArticle, K::noatInsert));
        EXPECT_EQ(Format("%s|%d|%d", {r->ErrorMessage, int(r->RequestProceeded), r->ActionRequestID}), "|1|0")
            << barcode;
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST") + db.ScalarInt("SELECT COUNT(*) FROM MEASURE"), 0);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ARTICLE"), 1);
    EXPECT_EQ(log.Messages("TArticle"),
              V{Cp(u8"Неуспешно създаване на заявка за добавяне на стока \"Кир clash\", защото съществува друга "
                   u8"стока в номенклатурата с баркод 1 или баркод 2 = \"B5\"!")});
}

// ---------------------------------------------------------------------------
// Without a database

// A pharmacy's measure name longer than 20 characters and an atomic mark
// longer than 1 are cut to their fields, as the table stores them.
TEST(ArticleRecord, OverLongMeasureTextsAreCutToTheirFields) {
    TArticle empty(nullptr);
    const std::string full = WireBytes(empty);
    const std::string head = full.substr(0, full.size() - 2 - 2 - 7);  // counts 0 and 0, trailer
    const std::string name = Cp(u8"Флакон от сто милилитра");         // 23 characters
    TArticle b(nullptr);
    LoadWireBytes(b, head + Written([&](TNVBinWriter& w) {
                         w.WriteInteger(0);
                         w.WriteInteger(2);
                         for (int32_t v : {11, 5, 1, 1}) w.WriteInteger(v);
                         w.WriteString("TF");
                         w.WriteString(name);
                         for (int32_t v : {12, 5, 2, 10}) w.WriteInteger(v);
                         w.WriteString("F");
                         w.WriteString(name.substr(0, 20));
                         w.WriteString("SAL_1");
                     }));
    EXPECT_EQ(MeasureRows(b), (V{"11/5/1/1/T/" + name.substr(0, 20), "12/5/2/10/F/" + name.substr(0, 20)}));
}

// Without an NZOK code the record leaves the 25 NZOK values out, and they
// keep their defaults; Modified is the sender's. A fresh article's price
// limits are 0.00.
TEST(ArticleRecord, WithoutNzokCodeTheNzokValuesAreLeftOut) {
    TArticle a(nullptr);
    FillArticle(a, "Aspirin", "380001", "NZ1");
    a.SetNZOK_CODE("");
    a.Modified = false;
    const std::string bytes = WireBytes(a);
    TArticle b(nullptr);
    LoadWireBytes(b, bytes);
    EXPECT_EQ(Format("%d %d %d", {b.QUANTITY_PER_PACK(), int(b.HAS_STICKER()), int(b.Modified)}), "1 1 0");
    TArticle withCode(nullptr);
    FillArticle(withCode, "Aspirin", "380001", "NZ1");
    EXPECT_GT(WireBytes(withCode).size(), bytes.size() + 25);
    TArticle fresh(nullptr);
    EXPECT_EQ(fresh.DeliveryPriceLimit() + " " + fresh.SalePriceLimit(), "0.00 0.00");
}
