// End to end over real sockets: three pharmacies propose articles (insert,
// update, delete) and are walked through lock, check, unlock and data
// receiving, with the central tables checked along the way.
#include <gtest/gtest.h>

#include "article_test_util.h"
#include "walk_fixture.h"

using namespace nomsync_test;
using A = TCentralSyncAction;
using K = TNomObjectActualizationType;
using R = TNomCheckReason;

namespace {

class ArticleWalk : public WalkFixture {
protected:
    void SetUp() override {
        WalkFixture::SetUp();
        type = TNomObjectType::notArticle;
    }

    void SeedArticle5() {
        db.Exec("INSERT INTO ARTICLE (ID, NAME, CYR_NAME, BARCODE1) VALUES (5, 'old', 'old', 'B5'), (6, 's', 's', NULL);"
                "INSERT INTO ARTICLE_NZOK (ID, NZOK_CODE) VALUES (5, 'NZ5');"
                "INSERT INTO ARTICLE_INFO (ID) VALUES (5);"
                "INSERT INTO MEASURE (ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) VALUES "
                "(11, 5, 1, 1, 'F'), (12, 5, 2, 10, 'T');"
                "INSERT INTO SUBSTITUDE_ARTICLE (ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) VALUES (5, 6), (6, 5);"
                "INSERT INTO DENIAL (ID, ARTICLE_ID) VALUES (1, 5); INSERT INTO SUPPLIER_CODE (ID, ARTICLE_ID) "
                "VALUES (1, 5); INSERT INTO INVENTORY_CHECK (ID, ARTICLE_ID) VALUES (1, 5)");
    }
    // An update of article 5: renamed, with a third measure.
    void FillUpdate(TArticle& a, const std::string& name) {
        a.SetID(5);
        a.SetANAME(name);
        a.SetCYR_NAME(name);
        a.SetBARCODE1("B5");
        AddMeasure(a, 11, 1, 1, "F", "");
        AddMeasure(a, 12, 2, 10, "T", "");
        AddMeasure(a, 0, 3, 100, "F", "");
        a.SetMeasuresModified(true);
    }
    std::string Name5() { return db.ScalarStr("SELECT NAME FROM ARTICLE WHERE ID = 5"); }

};

using S = std::map<int, int>;

}  // namespace

TEST_F(ArticleWalk, InsertWithMeasuresAndSubstitutesReachesEveryPharmacy) {
    TArticle a(nullptr);
    FillArticle(a, "Aspirin", "380001", "NZ1", 30);
    AddSubstitute(a, 0, 40, Cp(u8"Аналгин"), true);
    AddSubstitute(a, 0, 41, "Paracetamol", true);
    const int64_t req = Propose(1, a, K::noatInsert)->ActionRequestID;
    ASSERT_GT(req, 0);
    const int64_t id = db.ScalarInt("SELECT ID FROM ARTICLE");
    EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT(NOM_ID, ACTION_ID, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY) FROM "
                                  "ACTION_REQUEST WHERE ID = %d",
                                  {req})),
              "11FF" + std::to_string(id));
    EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM MEASURE WHERE ARTICLE_ID = %d", {id})), 3);
    EXPECT_EQ(db.ScalarInt(Format("SELECT FACTOR FROM MEASURE WHERE ARTICLE_ID = %d AND IS_ATOMIC = 'T'", {id})), 100);
    EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM SUBSTITUDE_ARTICLE WHERE ARTICLE_ID = %d", {id})), 2);
    EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM NOM_UPDATE_SUBSTITUDE_ARTICLE WHERE ARTICLE_ID = %d", {id})), 2);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_MEASURE WHERE ID = 0 AND TEMP_ID > 0"), 3);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE_NZOK WHERE NZOK_CODE = 'NZ1'"), 1);

    for (int ph = 1; ph <= 3; ++ph) {
        auto r = Expect(ph, req, A::csaDataReceiving, R::ncrInsert);
        auto data = DecodeData<TArticle>(r->Data);
        EXPECT_EQ(data->ID(), id);
        EXPECT_EQ(data->ANAME(), "Aspirin");
        EXPECT_EQ(data->NZOK_CODE(), "NZ1");
        EXPECT_EQ(data->MeasuresTable().RecordCount(), 3);
        EXPECT_EQ(data->AtomicMeasureFactor(), 100);
        EXPECT_EQ(data->Substitudes().GetCount(), 2);
        Confirm(ph, req, A::csaDataReceiving);
    }
    EXPECT_EQ(Statuses(req), (S{{1, 5}, {2, 5}, {3, 5}}));
    EXPECT_EQ(IsProcessed(req), "T");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE"), 1);  // an accepted insert stays
}

TEST_F(ArticleWalk, UpdateThatNeedsSyncIsAppliedOnlyWhenEveryPharmacyAccepts) {
    SeedArticle5();
    TArticle refused(nullptr);
    FillUpdate(refused, "refused");
    const int64_t r1 = Propose(2, refused, K::noatUpdate)->ActionRequestID;
    ASSERT_GT(r1, 0);
    EXPECT_EQ(db.ScalarStr(Format("SELECT SYNC_REQUIRED FROM ACTION_REQUEST WHERE ID = %d", {r1})), "T");
    Step(r1, A::csaLock, R::ncrUpdate);
    Step(r1, A::csaCheck, R::ncrUpdate, {1});
    Step(r1, A::csaCheck, R::ncrUpdate, {2}, false);
    Step(r1, A::csaCheck, R::ncrUpdate, {3});
    Step(r1, A::csaUnlock, R::ncrUpdate);
    EXPECT_EQ(IsProcessed(r1), "T");
    EXPECT_EQ(Name5(), "old");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM MEASURE WHERE ARTICLE_ID = 5"), 2);

    TArticle accepted(nullptr);
    FillUpdate(accepted, "accepted");
    const int64_t r2 = Propose(3, accepted, K::noatUpdate)->ActionRequestID;
    ASSERT_GT(r2, 0);
    Step(r2, A::csaLock, R::ncrUpdate);
    Step(r2, A::csaCheck, R::ncrUpdate);
    for (int ph = 1; ph <= 3; ++ph) {
        auto r = Expect(ph, r2, A::csaDataReceiving, R::ncrUpdate);
        EXPECT_EQ(DecodeData<TArticle>(r->Data)->ANAME(), "accepted");
        EXPECT_EQ(Name5(), "old");
        Confirm(ph, r2, A::csaDataReceiving);
    }
    EXPECT_EQ(IsProcessed(r2), "T");
    EXPECT_EQ(Name5(), "accepted");
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(CONCAT(FACTOR, IS_ATOMIC) ORDER BY FACTOR) FROM MEASURE WHERE "
                           "ARTICLE_ID = 5"),
              "1F,10F,100T");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE_NZOK"), 0);  // the update carried no NZOK part
}

TEST_F(ArticleWalk, DeleteRemovesTheArticleWithItsDependentRows) {
    SeedArticle5();
    TArticle gone(nullptr);
    gone.SetID(5);
    const int64_t req = Propose(1, gone, K::noatDelete)->ActionRequestID;
    ASSERT_GT(req, 0);
    Step(req, A::csaLock, R::ncrDelete);
    Step(req, A::csaCheck, R::ncrDelete);
    Step(req, A::csaDataReceiving, R::ncrDelete);
    EXPECT_EQ(IsProcessed(req), "T");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE"), 1);  // the substitute article 6 stays
    for (const char* t : {"ARTICLE_NZOK", "ARTICLE_INFO", "MEASURE", "SUBSTITUDE_ARTICLE", "DENIAL", "SUPPLIER_CODE",
                          "INVENTORY_CHECK"})
        EXPECT_EQ(Count(std::string("SELECT COUNT(*) FROM ") + t), 0) << t;
}

TEST_F(ArticleWalk, BarcodeAndNzokCodeClashesAreRefused) {
    SeedArticle5();
    const struct {
        const char* barcode;
        const char* nzok;
    } cases[] = {{"B5", ""}, {"NEW", "NZ5"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.barcode);
        TArticle a(nullptr);
        FillArticle(a, "clash", c.barcode, c.nzok);
        EXPECT_EQ(Propose(1, a, K::noatInsert)->ActionRequestID, 0);
    }
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE"), 2);
    auto lines = log.Messages("TArticle");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        Cp(u8"Неуспешно създаване на заявка за добавяне на стока \"Кир clash\", защото съществува "
                           u8"друга стока в номенклатурата с баркод 1 или баркод 2 = \"B5\"!")),
              lines.end());
}
