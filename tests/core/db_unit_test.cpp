// A unit on the data module: the transactions of several steps stored
// together or not at all, against the real test instance.
#include <gtest/gtest.h>

#include <cstring>

#include "core/db/dm_base.h"
#include "core/db/dm_unit.h"
#include "core/exceptions.h"
#include "support/test_db.h"

namespace {

class DMUnitTest : public ::testing::Test {
protected:
    // The pharmacy ids other connections see, in order ("" for none).
    std::string Visible() {
        std::string ids;
        for (auto& r : db.Rows("SELECT id FROM pharmacy ORDER BY id")) ids += std::to_string(r[0].AsInteger());
        return ids;
    }

    TestLog log;
    TestDatabase db;
};

// Steps inside a unit, as a class's code takes them: a digit inserts that
// pharmacy, S starts a transaction, C commits, R rolls back, Q rolls back
// quietly, D runs a statement that commits by itself, M resumes the unit.
// Whether the unit is committed at its end decides what stays.
TEST_F(DMUnitTest, StepsFoldIntoOneTransaction) {
    struct Case {
        const char* steps;
        bool commit;
        const char* stored;
        int restarts;
    } cases[] = {
        {"1C2", true, "12", 0},      // a step's commit is folded
        {"1S2C3C", true, "123", 0},  // so is a step's start
        {"1C2R3", true, "3", 1},     // a rollback empties the unit, which goes on
        {"1Q2S3R", true, "", 2},
        {"1C2C", false, "", 0},      // a unit that is not committed stores nothing
        {"", true, "", 0},
        {"1DM2", false, "1", 0},     // DDL commits what came before it only
        {"1M2", false, "", 0},       // resuming an intact unit changes nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        db.Exec("DELETE FROM pharmacy");
        TDMBase dm;
        {
            TDMUnit unit(dm, "test");
            EXPECT_EQ(dm.Unit(), &unit);
            for (const char* p = c.steps; *p; ++p) {
                switch (*p) {
                    case 'S': EXPECT_EQ(dm.StartTransaction(TIsolationLevel::ilReadCommitted), 1); break;
                    case 'C': dm.CommitTransaction(); break;
                    case 'R': dm.RollbackTransaction(); break;
                    case 'Q': dm.RollbackTransactionQuietly(); break;
                    case 'D': dm.ExecSQL("CREATE TABLE IF NOT EXISTS unit_scratch (id INT)"); break;
                    case 'M': unit.Resume(); break;
                    default: dm.ExecSQL(std::string("INSERT INTO pharmacy (id, name) VALUES (") + *p + ", 'x')");
                }
                EXPECT_TRUE(dm.InTransaction());
                // Nothing is seen before the unit commits, but what DDL committed.
                if (!std::strchr(c.steps, 'D')) {
                    EXPECT_EQ(Visible(), "");
                }
            }
            EXPECT_EQ(unit.Restarts(), c.restarts);
            if (c.commit) unit.Commit();
            EXPECT_EQ(unit.Open(), !c.commit);
        }
        EXPECT_EQ(Visible(), c.stored);
        // The data module's transactions act on the server again.
        EXPECT_EQ(dm.Unit(), nullptr);
        EXPECT_FALSE(dm.InTransaction());
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        dm.ExecSQL("INSERT INTO pharmacy (id, name) VALUES (9, 'after')");
        dm.RollbackTransaction();
        EXPECT_EQ(Visible(), c.stored);
    }
}

TEST_F(DMUnitTest, OpenTransactionIsCommittedFirstUnitsDoNotNestFoldedStepsAreLoggedInDebugMode) {
    TDMBase dm;
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm.ExecSQL("INSERT INTO pharmacy (id, name) VALUES (1, 'before')");
    TDMUnit unit(dm, "outer");
    EXPECT_EQ(Visible(), "1");
    EXPECT_THROW(TDMUnit(dm, "inner"), EAssertionFailed);
    EXPECT_EQ(dm.Unit(), &unit);
    // Another data module has transactions of its own.
    TDMBase second;
    second.StartTransaction(TIsolationLevel::ilReadCommitted);
    second.ExecSQL("INSERT INTO pharmacy (id, name) VALUES (2, 'second')");
    second.CommitTransaction();
    EXPECT_EQ(Visible(), "12");
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug);
        db.EditOptions([&](TOptions& o) { o.UseDebugMode = debug; });
        log.Clear();
        TDMBase dm;
        TDMUnit unit(dm, "proposal of TProducer");
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        unit.SetLabel("ActionRequestID = 17");
        dm.CommitTransaction();
        dm.RollbackTransaction();
        unit.Commit();
        const std::vector<std::string> expected = {
            "StartTransaction folded into the unit of proposal of TProducer",
            "Commit folded into the unit of ActionRequestID = 17",
            "Rollback in the unit of ActionRequestID = 17: it goes on from empty"};
        EXPECT_EQ(log.Messages("TDMBase"), debug ? expected : std::vector<std::string>{});
    }
}

}  // namespace
