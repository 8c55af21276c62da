// End to end over real sockets: three connected pharmacies propose objects,
// refresh and confirm step by step, each answer checked for what every step
// of a walk holds, with the central tables and the data files checked along
// the way:
// - a producer, an article group, a measure name and a supplier are each
//   inserted, updated and deleted through every pharmacy; a supplier whose
//   sticker is taken is refused;
// - articles with their measures, substitutes and dependent rows;
// - a producer's delete that one pharmacy refuses, with every pharmacy's
//   status at every step, the waiting rule for an idle pharmacy, and a
//   confirmation from a pharmacy without a status row.
#include <algorithm>

#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "nomsync_test_util.h"

using namespace nomsync_test;
using A = TCentralSyncAction;
using K = TNomObjectActualizationType;
using R = TNomCheckReason;
using S = std::map<int, int>;

namespace {

// Three connected pharmacies and what every step of a walk holds.
class WalkFixture : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        for (const auto& p : Pharmacies()) clients[p.id] = Connect();
    }

    const std::string& Password(int ph) { return Pharmacies()[ph - 1].password; }

    // An admitted proposal's answer (its ActionRequestID is 0 when the
    // object was refused).
    std::unique_ptr<TPharmServerNomActualizationResult> Propose(int ph, TNomenclatureObject& obj,
                                                                TNomObjectActualizationType kind) {
        auto r = Ask<TPharmServerNomActualizationResult>(
            *clients[ph], *MakeActualization(ph, Password(ph), obj, type, kind, "walk"));
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_TRUE(r->RequestProceeded);
        EXPECT_EQ(r->RequestProcessError, "");
        EXPECT_EQ(r->CentralSyncAction, TCentralSyncAction::csaNomRequestResponse);
        EXPECT_EQ(r->NextDataResponseCheckInterval, kind == TNomObjectActualizationType::noatUpdate ? -1 : 0);
        EXPECT_EQ(AuthorizedFlag(*r), 1);
        return r;
    }

    std::unique_ptr<TPharmServerNomActualizationResult> Refresh(int ph) {
        auto r = nomsync_test::Refresh(*clients[ph], ph, Password(ph));
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_FALSE(r->RequestProceeded);
        return r;
    }

    // Refreshes and expects the given action on the given request.
    std::unique_ptr<TPharmServerNomActualizationResult> Expect(int ph, int64_t request, TCentralSyncAction action,
                                                               TNomCheckReason reason) {
        auto r = Refresh(ph);
        EXPECT_EQ(r->ActionRequestID, request) << "pharmacy " << ph;
        EXPECT_EQ(r->CentralSyncAction, action) << "pharmacy " << ph << " got " << EnumIdent(r->CentralSyncAction);
        EXPECT_EQ(r->NomCheckReason, reason) << "pharmacy " << ph;
        EXPECT_EQ(r->NomObjectType, type);
        EXPECT_EQ(r->NextDataResponseCheckInterval, -1);
        EXPECT_EQ(r->Data.Size() == 0, reason == TNomCheckReason::ncrDelete);
        return r;
    }

    std::unique_ptr<TPharmServerNomActualizationResult> ExpectNoData(int ph, int64_t request) {
        auto r = Refresh(ph);
        EXPECT_EQ(r->CentralSyncAction, TCentralSyncAction::csaNoData)
            << "pharmacy " << ph << " got " << EnumIdent(r->CentralSyncAction);
        EXPECT_EQ(r->ActionRequestID, request);
        EXPECT_EQ(r->NextDataResponseCheckInterval, 180000);
        EXPECT_EQ(r->Data.Size(), 0);
        return r;
    }

    void Confirm(int ph, int64_t request, TCentralSyncAction action, bool checkResult = true) {
        auto r = nomsync_test::Confirm(*clients[ph], ph, Password(ph), request, action, checkResult);
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_EQ(r->NextDataResponseCheckInterval, 180000);
        EXPECT_EQ(AuthorizedFlag(*r), 1);
    }

    // Refresh and confirm the given step for each pharmacy in turn.
    void Step(int64_t request, TCentralSyncAction action, TNomCheckReason reason,
              std::vector<int> pharmacies = {1, 2, 3}, bool checkResult = true) {
        for (int ph : pharmacies) {
            Expect(ph, request, action, reason);
            Confirm(ph, request, action, checkResult);
        }
    }

    TNomObjectType type = TNomObjectType::notProducer;  // of the objects proposed and handed out
    std::map<int, std::unique_ptr<PharmClient>> clients;
};

class CatalogueWalk : public WalkFixture {
protected:
    // The bytes of the object in compressed object data, read as the class reads them.
    std::string DataBytes(const CatalogueClass& c, TMemoryStream& data) {
        auto obj = TNomenclatureObject::GetNomObjectClass(c.type).New(nullptr);
        data.SetPosition(0);
        TNomenclatureObject::LoadFromCompressedStream(*obj, data);
        return WireBytes(*obj);
    }
    // The same of a request's object data file (kind "I", "U" or "D").
    std::string FileBytes(const CatalogueClass& c, int64_t request, const char* kind) {
        TMemoryStream data(TempDir::Read(dataDir + Format("/%d.%s%sD", {request, c.extLetters, kind})));
        return DataBytes(c, data);
    }

    // The request's row, with "1" when it was applied as it was proposed and
    // "NULL" while it has no process date.
    std::string Request(int64_t id) {
        return db.ScalarStr(Format("SELECT CONCAT_WS('|', CONCAT(NOM_ID, ACTION_ID, SYNC_REQUIRED, IS_PROCESSED, "
                                   "NOM_KEY), IFNULL(PROCESS_DATE = ACTION_DATE, 'NULL'), PHARM_ID, USER_ID, REMARK) "
                                   "FROM ACTION_REQUEST WHERE ID = %d",
                                   {id}));
    }
};

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

using ProducerWalk = WalkFixture;

}  // namespace

// ---------------------------------------------------------------------------
// Every catalogue class

TEST_F(CatalogueWalk, InsertUpdateAndDeleteOfEachClassThroughEveryPharmacy) {
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        type = c.type;
        const std::string nom = std::to_string(NomIDOf(c.type));
        auto name = [&](int64_t id) {
            return db.ScalarStr(Format("SELECT NAME FROM %s WHERE ID = %d", {c.table, id}));
        };

        // Insert, proposed by pharmacy 1: applied at once.
        auto inserted = c.filled(nullptr, Cp(u8"Алфа"));
        const int64_t R1 = Propose(1, *inserted, K::noatInsert)->ActionRequestID;
        ASSERT_GT(R1, 0);
        const int64_t id = db.ScalarInt(Format("SELECT MAX(ID) FROM %s", {c.table}));
        EXPECT_EQ(name(id), Cp(u8"Алфа"));
        EXPECT_EQ(Request(R1), nom + "1FF" + std::to_string(id) + "|1|1|0|walk");
        inserted->SetID(static_cast<int32_t>(id));
        EXPECT_EQ(FileBytes(c, R1, "I"), WireBytes(*inserted));

        // Update, proposed by pharmacy 2: waits for every pharmacy.
        auto updated = c.filled(nullptr, Cp(u8"Бета"));
        updated->SetID(static_cast<int32_t>(id));
        const int64_t R2 = Propose(2, *updated, K::noatUpdate)->ActionRequestID;
        EXPECT_EQ(Request(R2), nom + "2FF" + std::to_string(id) + "|NULL|2|0|walk");
        EXPECT_EQ(FileBytes(c, R2, "U"), WireBytes(*updated));

        for (int ph = 1; ph <= 3; ++ph) {
            auto r = Expect(ph, R1, A::csaDataReceiving, R::ncrInsert);
            EXPECT_EQ(r->NomKey, id);
            EXPECT_EQ(DataBytes(c, r->Data), WireBytes(*inserted));
            Confirm(ph, R1, A::csaDataReceiving);
            r = Expect(ph, R2, A::csaDataReceiving, R::ncrUpdate);
            EXPECT_EQ(DataBytes(c, r->Data), WireBytes(*updated));
            Confirm(ph, R2, A::csaDataReceiving);
            EXPECT_EQ(name(id), Cp(ph < 3 ? u8"Алфа" : u8"Бета"));
            EXPECT_EQ(IsProcessed(R1) + IsProcessed(R2), ph < 3 ? "FF" : "TT");
            for (int64_t request : {R1, R2})  // the pharmacies so far have finished, the others not begun
                EXPECT_EQ(Statuses(request), (S{{1, 5}, {2, ph < 2 ? 0 : 5}, {3, ph < 3 ? 0 : 5}}));
        }

        // Delete, proposed by pharmacy 3: locked, checked, then applied.
        auto gone = TNomenclatureObject::GetNomObjectClass(c.type).New(nullptr);
        gone->SetID(static_cast<int32_t>(id));
        const int64_t R3 = Propose(3, *gone, K::noatDelete)->ActionRequestID;
        EXPECT_EQ(Request(R3), nom + "3TF" + std::to_string(id) + "|NULL|3|0|walk");
        EXPECT_EQ(FileBytes(c, R3, "D"), WireBytes(*gone));
        for (int ph = 1; ph <= 3; ++ph) {
            Step(R3, A::csaLock, R::ncrDelete, {ph});
            Step(R3, A::csaCheck, R::ncrDelete, {ph});
        }
        for (int ph = 1; ph <= 3; ++ph) {
            Step(R3, A::csaDataReceiving, R::ncrDelete, {ph});
            EXPECT_EQ(db.ScalarInt(Format("SELECT COUNT(*) FROM %s", {c.table})), ph < 3 ? 1 : 0);
        }
        EXPECT_EQ(Statuses(R3), (std::map<int, int>{{1, 5}, {2, 5}, {3, 5}}));
        EXPECT_EQ(IsProcessed(R3), "T");
    }
}

TEST_F(CatalogueWalk, SupplierStickerClashesAreRefused) {
    db.Exec("INSERT INTO SUPPLIER (ID, STICKER, NAME) VALUES (5, 'AB', 'held')");
    type = TNomObjectType::notSupplier;
    auto refused = [&](int ph, TSupplier& s, K kind) { EXPECT_EQ(Propose(ph, s, kind)->ActionRequestID, 0); };
    TSupplier clash(nullptr);
    FillSupplier(clash, "AB", "new");
    refused(1, clash, K::noatInsert);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM SUPPLIER"), 1);

    // A pending update of supplier 5 to sticker "XY" holds that sticker too.
    TSupplier renamed(nullptr);
    FillSupplier(renamed, "XY", "held");
    renamed.SetID(5);
    const int64_t R1 = Propose(1, renamed, K::noatUpdate)->ActionRequestID;
    ASSERT_GT(R1, 0);
    FillSupplier(clash, "XY", "new");
    refused(2, clash, K::noatInsert);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST"), 1);

}

// ---------------------------------------------------------------------------
// Articles

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
    // Measures, the atomic one's factor, substitutes, the NZOK part.
    EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT_WS('|', (SELECT COUNT(*) FROM MEASURE WHERE ARTICLE_ID = %d), "
                                  "(SELECT FACTOR FROM MEASURE WHERE ARTICLE_ID = %d AND IS_ATOMIC = 'T'), (SELECT "
                                  "COUNT(*) FROM SUBSTITUDE_ARTICLE WHERE ARTICLE_ID = %d), (SELECT NZOK_CODE FROM "
                                  "ARTICLE_NZOK WHERE ID = %d))",
                                  {id, id, id, id})),
              "3|100|2|NZ1");
    for (int ph = 1; ph <= 3; ++ph) {
        auto d = DecodeData<TArticle>(Expect(ph, req, A::csaDataReceiving, R::ncrInsert)->Data);
        EXPECT_EQ(Format("%d|%s|%s|%d|%d|%d", {d->ID(), d->ANAME(), d->NZOK_CODE(), d->MeasuresTable().RecordCount(),
                                               d->AtomicMeasureFactor(), d->Substitudes().GetCount()}),
                  std::to_string(id) + "|Aspirin|NZ1|3|100|2");
        Confirm(ph, req, A::csaDataReceiving);
    }
    EXPECT_EQ(Statuses(req), (S{{1, 5}, {2, 5}, {3, 5}}));
    EXPECT_EQ(IsProcessed(req), "T");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE"), 1);  // an accepted insert stays
}

TEST_F(ArticleWalk, UpdateIsAppliedOnlyWhenEveryPharmacyAcceptsAndADeleteTakesTheDependentRows) {
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

    // A delete removes the article with its dependent rows.
    TArticle gone(nullptr);
    gone.SetID(5);
    const int64_t req = Propose(1, gone, K::noatDelete)->ActionRequestID;
    ASSERT_GT(req, 0);
    Step(req, A::csaLock, R::ncrDelete);
    Step(req, A::csaCheck, R::ncrDelete);
    Step(req, A::csaDataReceiving, R::ncrDelete);
    EXPECT_EQ(IsProcessed(req), "T");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ARTICLE"), 1);  // the substitute article 6 stays
    // (The refused update's temporary measure belongs to no article.)
    for (const char* t : {"ARTICLE_NZOK", "ARTICLE_INFO", "MEASURE WHERE ARTICLE_ID > 0", "SUBSTITUDE_ARTICLE",
                          "DENIAL", "SUPPLIER_CODE", "INVENTORY_CHECK"})
        EXPECT_EQ(Count(std::string("SELECT COUNT(*) FROM ") + t), 0) << t;
}

// ---------------------------------------------------------------------------
// A refused delete and idle pharmacies

TEST_F(ProducerWalk, DeleteRefusedByOnePharmacyIsUnlockedEverywhereAndNotApplied) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (8, 'P')");
    TProducer gone(nullptr);
    gone.SetID(8);
    const int64_t D = Propose(3, gone, K::noatDelete)->ActionRequestID;
    ASSERT_GT(D, 0);

    // ---- pharmacy 1 locks and accepts, then waits for the others' checks
    EXPECT_EQ(Expect(1, D, A::csaLock, R::ncrDelete)->NomKey, 8);
    Confirm(1, D, A::csaLock);
    EXPECT_EQ(Statuses(D), (S{{1, 1}, {2, 0}, {3, 0}}));
    Step(D, A::csaCheck, R::ncrDelete, {1});
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 0}, {3, 0}}));
    auto waiting = ExpectNoData(1, D);  // the answer already names the request
    EXPECT_EQ(waiting->NomKey, 8);
    EXPECT_EQ(waiting->NomObjectType, TNomObjectType::notProducer);

    // ---- pharmacy 2 refuses and unlocks
    Step(D, A::csaLock, R::ncrDelete, {2});
    Step(D, A::csaCheck, R::ncrDelete, {2}, false);
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 3}, {3, 0}}));
    Step(D, A::csaUnlock, R::ncrDelete, {2});
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 4}, {3, 0}}));
    ExpectNoData(2, 0);  // finished here; waits for the request to close

    // A lock confirmed on a row past locking keeps its status, and the row
    // counts as touched now.
    db.Exec(Format("UPDATE action_request_status SET MODIFY_DATE = NOW() - INTERVAL 1 DAY "
                   "WHERE ACTION_REQUEST_ID = %d AND PHARM_ID = 1", {D}));
    Confirm(1, D, A::csaLock);
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 4}, {3, 0}}));
    EXPECT_EQ(db.ScalarInt(Format("SELECT MODIFY_DATE > NOW() - INTERVAL 1 HOUR FROM action_request_status "
                                  "WHERE ACTION_REQUEST_ID = %d AND PHARM_ID = 1", {D})), 1);

    // ---- pharmacy 3 accepts and is told to unlock (pharmacy 2 refused)
    Step(D, A::csaLock, R::ncrDelete, {3});
    Step(D, A::csaCheck, R::ncrDelete, {3});
    Step(D, A::csaUnlock, R::ncrDelete, {3});
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 4}, {3, 5}}));
    EXPECT_EQ(IsProcessed(D), "F");

    // ---- pharmacy 1 unlocks last and closes the refused delete
    Step(D, A::csaUnlock, R::ncrDelete, {1});
    EXPECT_EQ(Statuses(D), (S{{1, 5}, {2, 4}, {3, 5}}));
    EXPECT_EQ(IsProcessed(D), "T");
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PRODUCER"), 1);  // refused: not deleted
    EXPECT_EQ(log.Messages("TObject"), std::vector<std::string>{"ActionID: 3 AFinalStatus: F"});
    for (int ph = 1; ph <= 3; ++ph) ExpectNoData(ph, 0);
}

// The waiting rule with an idle pharmacy that has already checked: it does
// not let a pharmacy that has checked too pass, only one that has finished.
TEST_F(ProducerWalk, IdlePharmacyPastTheCheckHoldsOnlyUntilTheOthersFinish) {
    db.EditOptions([](TOptions& o) {
        o.UseDebugMode = true;
        o.SetSynchRequiredRequestsWaitingTimeInMins(15);
    });
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY) "
            "VALUES (70, 4, 3, NOW(), 'T', 'F', 8), (71, 4, 3, NOW(), 'F', 'F', 9)");
    // Pharmacy 2 has checked and accepted request 70, then gone quiet for 14
    // minutes: less than the waiting time of 15.
    db.Exec("INSERT INTO action_request_status VALUES "
            "(70, 1, 2, NOW()), (70, 2, 2, NOW() - INTERVAL 14 MINUTE), (70, 3, 5, NOW()), "
            "(71, 1, 0, NOW()), (71, 2, 0, NOW()), (71, 3, 0, NOW())");
    Expect(1, 70, A::csaDataReceiving, R::ncrDelete);
    ExpectNoData(3, 0);  // finished, waits for the request to close

    // Sixteen minutes: idle for longer than the waiting time.
    db.Exec("UPDATE action_request_status SET MODIFY_DATE = NOW() - INTERVAL 16 MINUTE "
            "WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 2");
    // A pharmacy that has checked is not let past: the final step as usual.
    Expect(1, 70, A::csaDataReceiving, R::ncrDelete);
    // A pharmacy that has finished passes it and gets the next request.
    log.Clear();
    auto r = Expect(3, 71, A::csaDataReceiving, R::ncrDelete);
    EXPECT_EQ(r->NomKey, 9);
    auto lines = log.Messages("TZorvelCentralNomSyncServerSrv");
    ASSERT_EQ(lines.size(), 5u) << ::testing::PrintToString(lines);
    const std::string skipped =
        "ActionRequestID skipped (Reason -> ACTION_REQUEST_ID = 70, PHARM_ID = 2, REQUEST_STATUS = 2, MODIFY_DATE = ";
    EXPECT_EQ(lines[2].rfind(skipped, 0), 0u) << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 2), ")!");
    lines.erase(lines.begin() + 2);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "LoadMinUnprocessedActionRequestData: ActionrequestID = 70",
                         "ActionRequestIsOnStatusWaitingByPharmacy called for actionrequestid = 70",
                         "status waiting AActionRequestID = 70", "next actionrequestid = 71"}));

    // The idle pharmacy had refused: the others are told to unlock.
    db.Exec("UPDATE action_request_status SET REQUEST_STATUS = 3, MODIFY_DATE = NOW() - INTERVAL 16 MINUTE "
            "WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 2");
    Expect(1, 70, A::csaUnlock, R::ncrDelete);
    Expect(3, 71, A::csaDataReceiving, R::ncrDelete);

    // An idle pharmacy that has not checked yet lets a pharmacy that has
    // checked pass as well.
    db.Exec("UPDATE action_request_status SET REQUEST_STATUS = 1, MODIFY_DATE = NOW() - INTERVAL 16 MINUTE "
            "WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 2");
    Expect(1, 71, A::csaDataReceiving, R::ncrDelete);
    // Pharmacy 2 itself is never held by its own row.
    Expect(2, 70, A::csaCheck, R::ncrDelete);
    // Nor does one idle before it locked.
    db.Exec("UPDATE action_request_status SET REQUEST_STATUS = 0 WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 2");
    Expect(1, 71, A::csaDataReceiving, R::ncrDelete);
    // A pharmacy that has not checked the request itself is never let past it.
    db.Exec("UPDATE action_request_status SET REQUEST_STATUS = 1 WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 1");
    Expect(1, 70, A::csaCheck, R::ncrDelete);
}

// An idle pharmacy that has not locked yet holds a pharmacy that has checked
// only for the waiting time (of one or two digits of minutes); after it, the
// request is passed and the next one handed out.
TEST_F(ProducerWalk, IdlePharmacyBeforeItsLockHoldsOnlyForTheWaitingTime) {
    db.EditOptions([](TOptions& o) { o.UseDebugMode = true; });
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY) "
            "VALUES (80, 4, 3, NOW(), 'T', 'F', 8), (81, 4, 3, NOW(), 'F', 'F', 9)");
    db.Exec("INSERT INTO action_request_status VALUES (80, 1, 2, NOW()), (80, 2, 0, NOW()), (80, 3, 0, NOW()), "
            "(81, 1, 0, NOW()), (81, 2, 0, NOW()), (81, 3, 0, NOW())");
    const struct {
        int waiting, idle;  // minutes
        bool passed;
    } cases[] = {{5, 3, false}, {5, 6, true}, {15, 14, false}, {15, 16, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Format("waiting %d, idle %d", {c.waiting, c.idle}));
        db.EditOptions([&](TOptions& o) { o.SetSynchRequiredRequestsWaitingTimeInMins(c.waiting); });
        db.Exec(Format("UPDATE action_request_status SET MODIFY_DATE = NOW() - INTERVAL %d MINUTE "
                       "WHERE ACTION_REQUEST_ID = 80 AND PHARM_ID = 3", {c.idle}));
        log.Clear();
        if (!c.passed) {
            ExpectNoData(1, 80);
            continue;
        }
        Expect(1, 81, A::csaDataReceiving, R::ncrDelete);
        const auto lines = log.Messages("TZorvelCentralNomSyncServerSrv");
        EXPECT_NE(std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
                      return l.rfind("ActionRequestID skipped (Reason -> ACTION_REQUEST_ID = 80, PHARM_ID = 3, "
                                     "REQUEST_STATUS = 0, MODIFY_DATE = ", 0) == 0;
                  }),
                  lines.end())
            << ::testing::PrintToString(lines);
    }
}

// A confirmation from a pharmacy without a status row of the request writes
// no row; when every row there is finished, it still closes the request.
TEST_F(ProducerWalk, ConfirmationWithoutItsOwnRowStillClosesAFinishedRequest) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (8, 'P')");
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY) "
            "VALUES (90, 4, 3, NOW(), 'T', 'F', 8)");
    db.Exec("INSERT INTO action_request_status VALUES (90, 1, 5, NOW()), (90, 2, 5, NOW())");
    Confirm(3, 90, A::csaDataReceiving);
    EXPECT_EQ(Statuses(90), (S{{1, 5}, {2, 5}}));
    EXPECT_EQ(IsProcessed(90), "T");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 0);
    EXPECT_EQ(log.Messages("TObject"), (std::vector<std::string>{"ActionID: 3 AFinalStatus: T", "DeleteFromDB: 8"}));
}
