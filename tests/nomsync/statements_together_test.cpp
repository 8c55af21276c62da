// Statements sent to the database together, in one text: what the
// confirmation of an action request relies on.
#include <gtest/gtest.h>

#include "core/db/dm_base.h"
#include "core/exceptions.h"
#include "support/test_db.h"

namespace {

TEST(StatementsTogether, EachRowReturningStatementGetsItsQueryInOrder) {
    TestDatabase db;
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (1, 'a', 'p1'), (2, 'b', 'p2')");
    TDMBase dm;
    // Separators present or missing, a statement without rows between, a
    // later statement seeing the earlier one's change.
    auto q = dm.OpenQueries({"update pharmacy set name = 'c' where id = 2; ",
                             "select id from pharmacy where id = 1", "select name from pharmacy where id = 2;",
                             "select count(*) from pharmacy where id > 5"});
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0]->FieldByName("id").AsInteger(), 1);
    EXPECT_EQ(q[1]->FieldByName("name").AsString(), "c");
    EXPECT_EQ(q[2]->Fields(0).AsInteger(), 0);
    q[0]->Next();
    EXPECT_TRUE(q[0]->Eof());

    // The first failing statement raises; the ones after it are not run, and
    // the connection goes on.
    EXPECT_THROW(dm.OpenQueries({"update pharmacy set name = 'd' where id = 1", "select nothing from nowhere",
                                 "update pharmacy set name = 'e' where id = 2"}),
                 EDatabaseError);
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(name ORDER BY id) FROM pharmacy"), "d,c");
    EXPECT_EQ(VarToInt64Def(dm.GetScalar("select 7"), 0), 7);
}

TEST(StatementsTogether, TransactionBegunWithItsFirstQuery) {
    TestDatabase db;
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (1, 'a', 'p1')");
    {
        TDMBase dm;
        auto q = dm.StartTransactionAndOpen(TIsolationLevel::ilReadCommitted, "select name from pharmacy where id = 1");
        EXPECT_EQ(q->FieldByName("name").AsString(), "a");
        EXPECT_EQ(VarToInt64Def(dm.GetScalar("select @@in_transaction"), 0), 1);
        dm.ExecSQL("update pharmacy set name = 'b' where id = 1");
        dm.RollbackTransaction();
        EXPECT_EQ(db.ScalarStr("SELECT name FROM pharmacy WHERE id = 1"), "a");

        // A query that fails leaves the transaction begun, and a rollback ends it.
        EXPECT_THROW(dm.StartTransactionAndOpen(TIsolationLevel::ilReadCommitted, "select nothing from nowhere"),
                     EDatabaseError);
        EXPECT_EQ(VarToInt64Def(dm.GetScalar("select @@in_transaction"), 0), 1);
        dm.RollbackTransaction();
        EXPECT_EQ(VarToInt64Def(dm.GetScalar("select @@in_transaction"), 0), 0);
    }
}

}  // namespace
