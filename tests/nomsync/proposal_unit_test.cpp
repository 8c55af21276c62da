// A proposal is stored as one unit: the central insert, the action request,
// its status rows and the staged row become visible together, and a request
// whose staged row is not there is passed over (the crash test runs
// refreshes beside proposals and checks that none hands out a blank object).
#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "nomsync_test_util.h"

using namespace nomsync_test;
using A = TCentralSyncAction;

namespace {

class ProposalUnit : public ServiceFixture {
protected:
    std::unique_ptr<TPharmServerNomActualizationResult> ProposeInsert(PharmClient& c, const std::string& name) {
        TProducer p(nullptr);
        FillProducer(p, name);
        return Ask<TPharmServerNomActualizationResult>(
            c, *MakeActualization(1, "pass-1", p, TNomObjectType::notProducer, TNomObjectActualizationType::noatInsert));
    }
};

// A step that fails after the central insert: nothing of the proposal stays,
// and the pharmacy gets the error (it proposes again).
TEST_F(ProposalUnit, FailureAfterTheCentralInsertStoresNothing) {
    db.EditOptions([](TOptions& o) { o.UseDebugMode = true; });
    auto c = Connect();
    auto ok = ProposeInsert(*c, "stored");
    ASSERT_TRUE(ok->RequestProceeded);
    // The producer's commit of its staging was folded into the unit.
    const auto dmLines = log.Messages("TDMBase");
    EXPECT_NE(std::find(dmLines.begin(), dmLines.end(),
                        Format("Commit folded into the unit of ActionRequestID = %d", {ok->ActionRequestID})),
              dmLines.end());

    db.Exec("ALTER TABLE NOM_UPDATE_PRODUCER RENAME TO NOM_UPDATE_PRODUCER_GONE");
    auto r = ProposeInsert(*c, "lost");
    EXPECT_FALSE(r->RequestProceeded);
    EXPECT_NE(r->RequestProcessError.find("nom_update_producer"), std::string::npos) << r->RequestProcessError;
    EXPECT_EQ(r->ActionRequestID, 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 1);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), 1);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM action_request_status"), 3);
}

// A request whose staged row is not there (yet) is passed over, and handed
// out once it is; a delete carries no data and needs none.
TEST_F(ProposalUnit, RequestWithoutItsStagedRowIsPassedOverUntilItIsThere) {
    db.EditOptions([](TOptions& o) { o.UseDebugMode = true; });
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, NOM_KEY) VALUES "
            "(5, 4, 2, NOW(), 3), (6, 4, 2, NOW(), 4), (7, 4, 3, NOW(), 5)");
    db.Exec("INSERT INTO action_request_status VALUES (5, 1, 0, NOW()), (6, 1, 0, NOW()), (7, 1, 0, NOW())");
    db.Exec("INSERT INTO NOM_UPDATE_PRODUCER (ACTION_REQUEST_ID, ID, NAME) VALUES (6, 4, 'six')");
    auto c = Connect();
    struct Step {
        const char* sql;       // run before the refresh
        int64_t expected;      // request handed out
    } steps[] = {{"", 6},
                 {"UPDATE action_request_status SET REQUEST_STATUS = 5 WHERE ACTION_REQUEST_ID = 6", 7},
                 {"INSERT INTO NOM_UPDATE_PRODUCER (ACTION_REQUEST_ID, ID, NAME) VALUES (5, 3, 'five')", 5}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.expected);
        if (*s.sql) db.Exec(s.sql);
        auto r = Refresh(*c, 1, "pass-1");
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_EQ(r->ActionRequestID, s.expected);
        EXPECT_EQ(r->CentralSyncAction, A::csaDataReceiving);
        if (s.expected != 7) {
            EXPECT_EQ(DecodeData<TProducer>(r->Data)->ProdName(), s.expected == 5 ? "five" : "six");
        }
    }
    const auto lines = log.Messages("TZorvelCentralNomSyncServerSrv");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ActionRequestID = 5 passed over: its staged data is not there"),
              2);
}

// At start, the open requests an earlier run left without status rows or
// without staged rows are closed as not applied, each logged once.
TEST_F(ProposalUnit, StartClosesRequestsLeftIncompleteOnce) {
    struct Row {
        int id, nomID, statusRows;
        bool staged;
        const char* processed;  // IS_PROCESSED after the start
    } rows[] = {
        {10, 4, 3, true, "F"},   // complete
        {11, 4, 3, false, "T"},  // no staged row
        {12, 4, 0, true, "T"},   // no status rows
        {13, 77, 0, false, "F"}, // a type number outside the catalogue: left alone
        {14, 6, 3, true, "F"},   // an SQL pack with its script files
        {15, 6, 3, false, "F"},  // an SQL pack whose files cannot be read: left alone
    };
    for (const Row& r : rows) {
        db.Exec(Format("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE) VALUES (%d, %d, 2, NOW())",
                       {r.id, r.nomID}));
        for (int ph = 1; ph <= r.statusRows; ++ph)
            db.Exec(Format("INSERT INTO action_request_status VALUES (%d, %d, 0, NOW())", {r.id, ph}));
        if (r.staged && r.nomID == 4)
            db.Exec(Format("INSERT INTO NOM_UPDATE_PRODUCER (ACTION_REQUEST_ID, ID, NAME) VALUES (%d, 1, 'n')", {r.id}));
        if (r.staged && r.nomID == 6)
            for (const char* f : {"fb", "my"}) std::ofstream(sqlDir + Format("/%s_%d.sql", {f, r.id})) << "\r\n";
    }
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, IS_PROCESSED) VALUES (16, 4, 2, NOW(), 'T')");

    for (int start = 0; start < 2; ++start) {
        bool stopped = false, started = false;
        srv->ServiceStop(stopped);
        srv->ServiceStart(started);
        ASSERT_TRUE(started);
    }
    for (const Row& r : rows) EXPECT_EQ(IsProcessed(r.id), r.processed) << r.id;
    EXPECT_EQ(IsProcessed(16), "T");
    EXPECT_EQ(log.Messages("TZorvelCentralNomSyncServerSrv"),
              (std::vector<std::string>{
                  "ActionRequestID = 11 was left incomplete by an earlier run (no staged data): closed as not applied",
                  "ActionRequestID = 12 was left incomplete by an earlier run (no status rows): closed as not applied"}));
    EXPECT_EQ(log.Messages("TObject"), std::vector<std::string>{});  // nothing applied
}

}  // namespace
