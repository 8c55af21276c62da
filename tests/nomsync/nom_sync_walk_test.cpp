// End to end over real sockets: three pharmacies walked through lock,
// check, unlock and data receiving of a producer's delete that one of them
// refuses, with every pharmacy's status checked at every step, and the
// waiting rule for an idle pharmacy. (Inserts, updates and accepted deletes
// of every catalogue class are walked in the catalogue walk.)
#include <gtest/gtest.h>

#include "walk_fixture.h"

using namespace nomsync_test;
using A = TCentralSyncAction;
using R = TNomCheckReason;

namespace {

using ProducerWalk = WalkFixture;
using S = std::map<int, int>;

}  // namespace

TEST_F(ProducerWalk, DeleteRefusedByOnePharmacyIsUnlockedEverywhereAndNotApplied) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (8, 'P')");
    TProducer gone(nullptr);
    gone.SetID(8);
    const int64_t D = Propose(3, gone, TNomObjectActualizationType::noatDelete)->ActionRequestID;
    ASSERT_GT(D, 0);

    // ---- pharmacy 1 locks and accepts, then waits for the others' checks
    EXPECT_EQ(Expect(1, D, A::csaLock, R::ncrDelete)->NomKey, 8);
    Confirm(1, D, A::csaLock);
    EXPECT_EQ(Statuses(D), (S{{1, 1}, {2, 0}, {3, 0}}));
    Step(D, A::csaCheck, R::ncrDelete, {1});
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 0}, {3, 0}}));
    ExpectNoData(1, D);

    // ---- pharmacy 2 refuses and unlocks
    Step(D, A::csaLock, R::ncrDelete, {2});
    Step(D, A::csaCheck, R::ncrDelete, {2}, false);
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 3}, {3, 0}}));
    Step(D, A::csaUnlock, R::ncrDelete, {2});
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 4}, {3, 0}}));
    ExpectNoData(2, 0);  // finished here; waits for the request to close

    // A lock confirmed on a row past locking keeps its status.
    Confirm(1, D, A::csaLock);
    EXPECT_EQ(Statuses(D), (S{{1, 2}, {2, 4}, {3, 0}}));

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

    Step(R1, A::csaLock, R::ncrDelete, {1});
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
    Expect(1, R2, A::csaDataReceiving, R::ncrInsert);
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
    Expect(1, 70, A::csaDataReceiving, R::ncrDelete);
    ExpectNoData(3, 0);  // finished, waits for the request to close

    // Sixteen minutes: idle for longer than the waiting time.
    db.Exec("UPDATE action_request_status SET MODIFY_DATE = NOW() - INTERVAL 16 MINUTE "
            "WHERE ACTION_REQUEST_ID = 70 AND PHARM_ID = 2");
    // A pharmacy that has checked is not let past: the final step as usual.
    Expect(1, 70, A::csaDataReceiving, R::ncrDelete);
    // A pharmacy that has finished passes it and gets the next request.
    auto r = Expect(3, 71, A::csaDataReceiving, R::ncrDelete);
    EXPECT_EQ(r->NomKey, 9);

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
}
