// The pool of open database connections beneath the data modules, against
// the real test instance.
#include <gtest/gtest.h>

#include <mysql.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/db/connection_pool.h"
#include "core/db/dm_base.h"
#include "core/exceptions.h"
#include "support/child_process.h"
#include "support/test_db.h"

namespace {

class ConnectionPoolTest : public ::testing::Test {
protected:
    TestDatabase db;

    TConnectionKey Key() const {
        auto o = db.Options();
        return {o->ServerName, db.Port(), o->UserName, o->Password, o->DataBaseName};
    }
    static int64_t ConnectionId(TDMBase& dm) { return VarToInt64Def(dm.GetScalar("SELECT CONNECTION_ID()"), 0); }
    // Sessions of the test account on this test's database, as the server sees them.
    int64_t ServerSessions() {
        return db.ScalarInt("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = '" + db.Name() + "'");
    }
    // Waits (bounded) until the server counts that many sessions matching
    // `where`: it ends a session shortly after its client closed it.
    void WaitSessions(int64_t expected, const std::string& where = "") {
        const std::string sql = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE " +
                                (where.empty() ? "DB = '" + db.Name() + "'" : where);
        for (int i = 0; i < 500 && db.ScalarInt(sql) != expected; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(db.ScalarInt(sql), expected) << sql;
    }
};

// The server's report of session state changes decides whether a connection
// is reset when it comes back: whatever a user left behind is gone for the
// next one, and a connection only read from comes back at once, unreset.
TEST_F(ConnectionPoolTest, OnlyAConnectionLeftAsItWasHandedOutSkipsTheReset) {
    TConnectionPool& pool = TConnectionPool::Instance();
    // The scalar as text, "error" when the statement fails.
    auto probe = [](TDMBase& dm, const std::string& sql) {
        try {
            return VarToStr(dm.GetScalar(sql));
        } catch (const EDatabaseError&) {
            return std::string("error");
        }
    };
    struct Case {
        const char* name;
        std::vector<const char*> use;  // what the first user runs
        const char* check;             // what the next user reads
        std::string expected;
        bool reset;
    };
    const std::vector<Case> cases{
        {"a plain select", {"SELECT COUNT(*) FROM pharmacy"}, "SELECT 1", "1", false},
        {"an insert in autocommit", {"INSERT INTO pharmacy (id, name) VALUES (9, 'kept')"},
         "SELECT COUNT(*) FROM pharmacy", "1", false},
        {"a user variable", {"SET @left_behind = 7"}, "SELECT COALESCE(@left_behind, 'none')", "none", true},
        {"a user variable in an expression", {"SELECT @left_behind := 7"}, "SELECT COALESCE(@left_behind, 'none')",
         "none", true},
        {"a temporary table", {"CREATE TEMPORARY TABLE left_behind (ID int)"}, "SELECT COUNT(*) FROM left_behind",
         "error", true},
        {"a session setting", {"SET SESSION sql_mode = 'STRICT_ALL_TABLES'"}, "SELECT @@session.sql_mode",
         "NO_ENGINE_SUBSTITUTION", true},
        {"a code page", {"SET NAMES utf8"}, "SELECT @@character_set_results", "cp1251", true},
        {"an isolation level", {"SET SESSION TRANSACTION ISOLATION LEVEL SERIALIZABLE"},
         "SELECT @@session.tx_isolation", "REPEATABLE-READ", true},
        {"an open transaction", {"START TRANSACTION", "INSERT INTO pharmacy (id, name) VALUES (1, 'uncommitted')"},
         "SELECT COUNT(*) FROM pharmacy WHERE id = 1", "0", true},
        {"a committed transaction", {"SET TRANSACTION ISOLATION LEVEL SERIALIZABLE", "START TRANSACTION",
                                     "INSERT INTO pharmacy (id, name) VALUES (2, 'x')", "COMMIT"},
         "SELECT COUNT(*) FROM pharmacy WHERE id = 2", "1", false},
        {"the next transaction's characteristics", {"SET TRANSACTION READ ONLY"},
         "DELETE FROM pharmacy WHERE id = 2 RETURNING id", "2", true},
        {"a prepared statement", {"PREPARE left_behind FROM 'SELECT 1'"}, "EXECUTE left_behind", "error", true},
        {"another database", {"USE mysql"}, "SELECT DATABASE()", db.Name(), true},
        {"a named lock", {"SELECT GET_LOCK('vt_pool_lock', 0)"}, "SELECT IS_FREE_LOCK('vt_pool_lock')", "1", true},
        {"a stored procedure", {"CALL vt_leaves_a_variable()"}, "SELECT COALESCE(@left_behind, 'none')", "none", true},
        {"a failing statement", {"SELECT * FROM no_such_table"}, "SELECT 1", "1", true},
    };
    db.Exec("CREATE PROCEDURE vt_leaves_a_variable() SELECT 7 INTO @left_behind");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pool.Settle();
        const uint64_t resets = pool.ResetCount();
        int64_t first = 0;
        {
            TDMBase dm;
            ASSERT_EQ(dm.LastError(), "");
            first = ConnectionId(dm);
            for (const char* sql : c.use) probe(dm, sql);
        }
        if (c.reset) pool.Settle();  // not taken while it is being reset
        TDMBase dm;
        EXPECT_EQ(ConnectionId(dm), first);  // the same connection, reused
        EXPECT_EQ(pool.ResetCount(), resets + (c.reset ? 1 : 0));
        EXPECT_EQ(probe(dm, c.check), c.expected);
    }
    // A transaction the data module began and left open is rolled back.
    pool.Settle();
    const uint64_t resets = pool.ResetCount();
    {
        TDMBase dm;
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        dm.ExecSQL("INSERT INTO pharmacy (id, name) VALUES (3, 'uncommitted')");
    }
    pool.Settle();
    EXPECT_EQ(pool.ResetCount(), resets + 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM pharmacy WHERE id = 3"), 0);
}

TEST_F(ConnectionPoolTest, AConnectionTheServerDroppedIsReplaced) {
    int64_t killed = 0;
    {
        TDMBase dm;
        killed = ConnectionId(dm);
    }
    TConnectionPool::Instance().Settle();  // reset and waiting
    db.Exec("KILL CONNECTION " + std::to_string(killed));
    WaitSessions(0, "ID = " + std::to_string(killed));
    TDMBase dm;
    EXPECT_EQ(dm.LastError(), "");
    EXPECT_NE(ConnectionId(dm), killed);
    EXPECT_EQ(VarToStr(dm.GetScalar("SELECT @@character_set_client")), "cp1251");
}

TEST_F(ConnectionPoolTest, AForkedChildOpensConnectionsOfItsOwn) {
    int64_t parentId = 0;
    {
        TDMBase dm;
        parentId = ConnectionId(dm);
    }
    TConnectionPool::Instance().Settle();  // waiting, and the pool's thread idle
    ChildProcess child;
    ASSERT_TRUE(child.Start([&] {
        int code = 0;
        for (int i = 0; i < 3; ++i) {  // gives connections back and takes them again
            TDMBase dm;
            if (!dm.Connected() || ConnectionId(dm) == parentId) code = 1;
        }
        return code;
    }));
    ASSERT_TRUE(child.WaitEnd(20000)) << "the child hangs";
    EXPECT_TRUE(WIFEXITED(child.Status()) && WEXITSTATUS(child.Status()) == 0);
    TDMBase dm;  // the parent's connection was left alone
    EXPECT_EQ(ConnectionId(dm), parentId);
}

// Every test's own database shows that the options in force choose the
// pool; a wrong password never gets a connection opened with the right one
// (a failed connect leaves its message and raises nothing, as a server that
// is down does in the data module's tests).
TEST_F(ConnectionPoolTest, AWrongPasswordGetsNoPooledConnection) {
    {
        TDMBase warm;  // a connection with the right password waits in the pool
    }
    db.EditOptions([](TOptions& o) { o.Password = "wrong"; });
    TDMBase refused;
    EXPECT_FALSE(refused.Connected());
    EXPECT_NE(refused.LastError().find("Access denied"), std::string::npos) << refused.LastError();
    EXPECT_THROW(refused.ExecSQL("SELECT 1"), EDatabaseError);
}

// The options in force choose the pool: another database gets a connection
// of its own. A failed connect leaves its message, raises nothing and keeps
// nothing in the pool.
TEST_F(ConnectionPoolTest, OptionsInForceChooseThePoolAFailedConnectKeepsNothing) {
    int64_t first = 0;
    {
        TDMBase dm;
        first = ConnectionId(dm);
    }
    {
        TestDatabase other;  // publishes options naming another database
        TDMBase dm;
        EXPECT_NE(ConnectionId(dm), first);
        EXPECT_EQ(VarToStr(dm.GetScalar("SELECT DATABASE()")), other.Name());
    }
    TConnectionPool pool;
    const struct { const char* name; int port; const char* password; const char* message; } cases[] = {
        {"nothing listens", 1, nullptr, "Can't connect"}, {"wrong password", 0, "wrong", "Access denied"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TConnectionKey key = Key();
        if (c.port) key.Port = c.port;
        if (c.password) key.Password = c.password;
        std::string error;
        EXPECT_EQ(pool.Acquire(key, error), nullptr);
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(pool.IdleCount(), 0u);
    }
}

TEST_F(ConnectionPoolTest, APoolKeepsAtMostItsBoundAndClosesIdleConnections) {
    TConnectionPool pool;
    const size_t open = TConnectionPool::kMaxIdle + 4;
    const int64_t before = ServerSessions();
    std::vector<st_mysql*> conns;
    std::string error;
    for (size_t i = 0; i < open; ++i) {
        conns.push_back(pool.Acquire(Key(), error));
        ASSERT_NE(conns.back(), nullptr) << error;
    }
    EXPECT_EQ(ServerSessions(), before + static_cast<int64_t>(open));
    for (st_mysql* c : conns) pool.Release(Key(), c);
    pool.Settle();
    EXPECT_EQ(pool.IdleCount(), TConnectionPool::kMaxIdle);
    WaitSessions(before + static_cast<int64_t>(TConnectionPool::kMaxIdle));

    const auto now = TConnectionPool::Clock::now();
    pool.CloseIdle(now + TConnectionPool::kIdleLimit - std::chrono::seconds(5));
    EXPECT_EQ(pool.IdleCount(), TConnectionPool::kMaxIdle);
    pool.CloseIdle(now + TConnectionPool::kIdleLimit + std::chrono::seconds(1));
    EXPECT_EQ(pool.IdleCount(), 0u);
    WaitSessions(before);

    // Once closed (process end), connections given back are closed at once.
    st_mysql* last = pool.Acquire(Key(), error);
    ASSERT_NE(last, nullptr) << error;
    pool.CloseAll();
    pool.Release(Key(), last);
    EXPECT_EQ(pool.IdleCount(), 0u);
    WaitSessions(before);
}

}  // namespace
