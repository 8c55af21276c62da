// End to end over real sockets: three pharmacies propose a producer
// (insert, update, delete) and are walked through lock, check, unlock and
// data receiving, with every pharmacy's status checked at every step; one
// pharmacy refuses the delete. (The rows a proposal writes and an accepted
// delete are walked for every catalogue class in the catalogue walk.)
#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "walk_fixture.h"

using namespace nomsync_test;
using A = TCentralSyncAction;

namespace {

class ProducerWalk : public WalkFixture {
protected:
    std::string ProducerName(int64_t id) {
        return db.ScalarStr(Format("SELECT NAME FROM PRODUCER WHERE ID = %d", {id}));
    }
    int64_t ProducerCount() { return db.ScalarInt("SELECT COUNT(*) FROM PRODUCER"); }

};

using S = std::map<int, int>;

}  // namespace

TEST_F(ProducerWalk, InsertUpdateDeleteThroughEveryPharmacy) {
    // ---- proposals ---------------------------------------------------------
    TProducer alpha(nullptr);
    FillProducer(alpha, Cp(u8"Алфа"));
    auto r1 = Propose(1, alpha, TNomObjectActualizationType::noatInsert);
    const int64_t R1 = r1->ActionRequestID;
    ASSERT_GT(R1, 0);
    EXPECT_EQ(r1->NextDataResponseCheckInterval, 0);  // the result's default for an insert
    ASSERT_EQ(ProducerCount(), 1);
    const int64_t P = db.ScalarInt("SELECT ID FROM PRODUCER");
    EXPECT_EQ(db.ScalarInt(Format("SELECT PHARM_ID FROM ACTION_REQUEST WHERE ID = %d", {R1})), 1);
    EXPECT_EQ(Statuses(R1), (S{{1, 0}, {2, 0}, {3, 0}}));

    TProducer changed(nullptr);
    FillProducer(changed, Cp(u8"Алфа Фарма"));
    changed.SetID(static_cast<int32_t>(P));
    changed.SetEmail("");
    auto r2 = Propose(2, changed, TNomObjectActualizationType::noatUpdate);
    const int64_t R2 = r2->ActionRequestID;
    EXPECT_EQ(r2->NextDataResponseCheckInterval, -1);

    TProducer gone(nullptr);
    gone.SetID(static_cast<int32_t>(P));
    auto r3 = Propose(3, gone, TNomObjectActualizationType::noatDelete);
    const int64_t R3 = r3->ActionRequestID;
    EXPECT_LT(R1, R2);
    EXPECT_LT(R2, R3);

    // ---- pharmacy 1: receives the insert and the update, locks and accepts the delete
    {
        auto r = Expect(1, R1, A::csaDataReceiving, TNomCheckReason::ncrInsert);
        EXPECT_EQ(r->NomKey, P);
        EXPECT_EQ(DecodeData<TProducer>(r->Data)->ProdName(), Cp(u8"Алфа"));
    }
    Confirm(1, R1, A::csaDataReceiving);
    EXPECT_EQ(Statuses(R1), (S{{1, 5}, {2, 0}, {3, 0}}));
    EXPECT_EQ(IsProcessed(R1), "F");
    {
        auto r = Expect(1, R2, A::csaDataReceiving, TNomCheckReason::ncrUpdate);  // R1 passed over
        auto data = DecodeData<TProducer>(r->Data);
        EXPECT_EQ(data->ProdName(), Cp(u8"Алфа Фарма"));
        EXPECT_EQ(data->ID(), P);
    }
    Confirm(1, R2, A::csaDataReceiving);
    EXPECT_EQ(Statuses(R2), (S{{1, 5}, {2, 0}, {3, 0}}));
    {
        auto r = Expect(1, R3, A::csaLock, TNomCheckReason::ncrDelete);
        EXPECT_EQ(r->NomKey, P);
    }
    Confirm(1, R3, A::csaLock);
    EXPECT_EQ(Statuses(R3), (S{{1, 1}, {2, 0}, {3, 0}}));
    Step(R3, A::csaCheck, TNomCheckReason::ncrDelete, {1});
    EXPECT_EQ(Statuses(R3), (S{{1, 2}, {2, 0}, {3, 0}}));
    ExpectNoData(1, R3);  // others have not checked yet

    // ---- pharmacy 2: receives both, refuses the delete
    Step(R1, A::csaDataReceiving, TNomCheckReason::ncrInsert, {2});
    Step(R2, A::csaDataReceiving, TNomCheckReason::ncrUpdate, {2});
    EXPECT_EQ(Statuses(R1), (S{{1, 5}, {2, 5}, {3, 0}}));
    EXPECT_EQ(IsProcessed(R1), "F");
    Step(R3, A::csaLock, TNomCheckReason::ncrDelete, {2});
    Step(R3, A::csaCheck, TNomCheckReason::ncrDelete, {2}, false);
    EXPECT_EQ(Statuses(R3), (S{{1, 2}, {2, 3}, {3, 0}}));
    Step(R3, A::csaUnlock, TNomCheckReason::ncrDelete, {2});
    EXPECT_EQ(Statuses(R3), (S{{1, 2}, {2, 4}, {3, 0}}));
    ExpectNoData(2, 0);  // finished here; waits for the request to close

    // A lock confirmed on a row past locking keeps its status.
    Confirm(1, R3, A::csaLock);
    EXPECT_EQ(Statuses(R3), (S{{1, 2}, {2, 4}, {3, 0}}));

    // ---- pharmacy 3: its confirmations close the insert and the update
    Step(R1, A::csaDataReceiving, TNomCheckReason::ncrInsert, {3});
    EXPECT_EQ(Statuses(R1), (S{{1, 5}, {2, 5}, {3, 5}}));
    EXPECT_EQ(IsProcessed(R1), "T");
    EXPECT_EQ(ProducerName(P), Cp(u8"Алфа"));  // an accepted insert stays as it was

    Step(R2, A::csaDataReceiving, TNomCheckReason::ncrUpdate, {3});
    EXPECT_EQ(IsProcessed(R2), "T");
    EXPECT_EQ(ProducerName(P), Cp(u8"Алфа Фарма"));
    EXPECT_EQ(db.ScalarInt(Format("SELECT EMAIL IS NULL FROM PRODUCER WHERE ID = %d", {P})), 1);

    Step(R3, A::csaLock, TNomCheckReason::ncrDelete, {3});
    Step(R3, A::csaCheck, TNomCheckReason::ncrDelete, {3});
    Expect(3, R3, A::csaUnlock, TNomCheckReason::ncrDelete);  // pharmacy 2 refused
    Confirm(3, R3, A::csaUnlock);
    EXPECT_EQ(Statuses(R3), (S{{1, 2}, {2, 4}, {3, 5}}));
    EXPECT_EQ(IsProcessed(R3), "F");

    // ---- pharmacy 1 unlocks last and closes the refused delete
    Step(R3, A::csaUnlock, TNomCheckReason::ncrDelete, {1});
    EXPECT_EQ(Statuses(R3), (S{{1, 5}, {2, 4}, {3, 5}}));
    EXPECT_EQ(IsProcessed(R3), "T");
    EXPECT_EQ(ProducerCount(), 1);  // refused: not deleted
    auto lines = log.Messages("TObject");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ActionID: 3 AFinalStatus: F"), lines.end());

    for (int ph = 1; ph <= 3; ++ph) ExpectNoData(ph, 0);
}

TEST_F(ProducerWalk, IdlePharmacyIsPassedAfterTheWaitingTime) {
    db.EditOptions([](TOptions& o) {
        o.UseDebugMode = true;
        o.SetSynchRequiredRequestsWaitingTimeInMins(5);
    });
    TProducer gone(nullptr);
    gone.SetID(1);
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (1, 'x')");
    auto r1 = Propose(1, gone, TNomObjectActualizationType::noatDelete);
    const int64_t R1 = r1->ActionRequestID;
    TProducer other(nullptr);
    FillProducer(other, "other");
    auto r2 = Propose(1, other, TNomObjectActualizationType::noatInsert);
    const int64_t R2 = r2->ActionRequestID;

    Step(R1, A::csaLock, TNomCheckReason::ncrDelete, {1});
    Confirm(1, R1, A::csaCheck, true);
    ExpectNoData(1, R1);  // pharmacies 2 and 3 are fresh: wait
    // Pharmacy 3 has been idle for three minutes, less than the waiting time of 5.
    db.Exec(Format("UPDATE action_request_status SET MODIFY_DATE = NOW() - INTERVAL 3 MINUTE "
                   "WHERE ACTION_REQUEST_ID = %d AND PHARM_ID = 3",
                   {R1}));
    ExpectNoData(1, R1);
    // Six minutes: pharmacy 1 passes the request.
    db.Exec(Format("UPDATE action_request_status SET MODIFY_DATE = NOW() - INTERVAL 6 MINUTE "
                   "WHERE ACTION_REQUEST_ID = %d AND PHARM_ID = 3",
                   {R1}));
    log.Clear();
    Expect(1, R2, A::csaDataReceiving, TNomCheckReason::ncrInsert);
    auto lines = log.Messages("TZorvelCentralNomSyncServerSrv");
    const std::string id1 = std::to_string(R1), id2 = std::to_string(R2);
    ASSERT_EQ(lines.size(), 5u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "LoadMinUnprocessedActionRequestData: ActionrequestID = " + id1);
    EXPECT_EQ(lines[1], "ActionRequestIsOnStatusWaitingByPharmacy called for actionrequestid = " + id1);
    EXPECT_EQ(lines[2].rfind("ActionRequestID skipped (Reason -> ACTION_REQUEST_ID = " + id1 +
                                 ", PHARM_ID = 3, REQUEST_STATUS = 0, MODIFY_DATE = ",
                             0),
              0u)
        << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 2), ")!");
    EXPECT_EQ(lines[3], "status waiting AActionRequestID = " + id1);
    EXPECT_EQ(lines[4], "next actionrequestid = " + id2);
}

// The waiting rule with an idle pharmacy that has already checked: it does
// not let a pharmacy that has checked too pass, only one that has finished.
TEST_F(ProducerWalk, IdlePharmacyPastTheCheckHoldsOnlyUntilTheOthersFinish) {
    db.EditOptions([](TOptions& o) { o.SetSynchRequiredRequestsWaitingTimeInMins(15); });
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY) "
            "VALUES (70, 4, 3, NOW(), 'T', 'F', 8), (71, 4, 3, NOW(), 'F', 'F', 9)");
    // Pharmacy 2 has checked and accepted request 70, then gone quiet for 14
    // minutes: less than the waiting time of 15.
    db.Exec("INSERT INTO action_request_status VALUES "
            "(70, 1, 2, NOW()), (70, 2, 2, NOW() - INTERVAL 14 MINUTE), (70, 3, 5, NOW()), "
            "(71, 1, 0, NOW()), (71, 2, 0, NOW()), (71, 3, 0, NOW())");
    Expect(1, 70, A::csaDataReceiving, TNomCheckReason::ncrDelete);
    ExpectNoData(3, 0);  // finished, waits for the request to close

    // Sixteen minutes: idle for longer than the waiting time.
    db.Exec("UPDATE action_request_status SET MODIFY_DATE = NOW() - INTERVAL 16 MINUTE "
            "WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 2");
    // A pharmacy that has checked is not let past: the final step as usual.
    Expect(1, 70, A::csaDataReceiving, TNomCheckReason::ncrDelete);
    // A pharmacy that has finished passes it and gets the next request.
    auto r = Expect(3, 71, A::csaDataReceiving, TNomCheckReason::ncrDelete);
    EXPECT_EQ(r->NomKey, 9);

    // The idle pharmacy had refused: the others are told to unlock.
    db.Exec("UPDATE action_request_status SET REQUEST_STATUS = 3, MODIFY_DATE = NOW() - INTERVAL 16 MINUTE "
            "WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 2");
    Expect(1, 70, A::csaUnlock, TNomCheckReason::ncrDelete);
    Expect(3, 71, A::csaDataReceiving, TNomCheckReason::ncrDelete);

    // An idle pharmacy that has not checked yet lets a pharmacy that has
    // checked pass as well.
    db.Exec("UPDATE action_request_status SET REQUEST_STATUS = 1, MODIFY_DATE = NOW() - INTERVAL 16 MINUTE "
            "WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 2");
    Expect(1, 71, A::csaDataReceiving, TNomCheckReason::ncrDelete);
    // Pharmacy 2 itself is never held by its own row.
    Expect(2, 70, A::csaCheck, TNomCheckReason::ncrDelete);
}
