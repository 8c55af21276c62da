// The catalogue service when a database connection drops inside a
// confirmation's transaction (before the commit or after it) or a data file
// cannot be written or read: every request is stored, handed out, closed and
// applied exactly once, at the latest by the first attempt after the fault.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "core/cp1251.h"
#include "nomsync_test_util.h"

namespace nomsync_test {
namespace {

using A = TCentralSyncAction;

class ConfirmFaults : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        // A payment request every pharmacy has to confirm; 1 and 2 have.
        db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, SYS_CMD) VALUES "
                "(30, 6, 1, NOW(), 'F', 'PAY:7:2026-01-05:120.50:BGN:INV-1:OK')");
        db.Exec("INSERT INTO action_request_status SELECT 30, id, IF(id < 3, 5, 0), NOW() FROM pharmacy WHERE id > 0");
        db.Exec("INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID) VALUES (30), (30)");
        // The connection of the last data module the service took.
        env.OnConnect = [this](TDMBase& dm) {
            std::string id = VarToStr(dm.GetScalar("SELECT CONNECTION_ID()"));
            std::lock_guard<std::mutex> g(lock);
            connection = id;
        };
    }
    // The confirmation's answer: "" or the failure's message.
    std::string Confirm() {
        auto r = Connect()->Call<TPharmServerConfirmActionResult>(
            *MakeConfirm(3, "pass-3", 30, A::csaDataReceiving, true, "13"));
        return r ? r->ErrorMessage : "no reply";
    }
    int Closings() {
        auto lines = log.Messages("TZorvelCentralNomSyncServerSrv");
        return static_cast<int>(std::count(lines.begin(), lines.end(), "Before SaveCorrectionsToCentralNom"));
    }
    void ExpectClosedOnce() {
        EXPECT_EQ(Statuses(30)[3], 5);
        EXPECT_EQ(IsProcessed(30), "T");
        EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE LOCAL_ID = 13"), 2);
        EXPECT_EQ(Closings(), 1);
    }

    std::string Connection() {
        std::lock_guard<std::mutex> g(lock);
        return connection;
    }

    std::mutex lock;
    std::string connection;
};

TEST_F(ConfirmFaults, DroppedBeforeTheCommitTheRetryClosesTheRequest) {
    // The request's row is held, so the confirmation waits inside its
    // transaction after writing its status row; there its connection drops.
    TDMBase holder;
    holder.StartTransaction(TIsolationLevel::ilReadCommitted);
    holder.OpenQuery("SELECT ID FROM ACTION_REQUEST WHERE ID = 30 FOR UPDATE");
    std::string failure;
    std::thread confirm([&] { failure = Confirm(); });
    bool waiting = false;
    try {
        for (int i = 0; i < 500 && !waiting; ++i) {  // gives up after about 10 s
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            waiting = !Connection().empty() &&
                      db.ScalarInt("SELECT COUNT(*) FROM information_schema.processlist WHERE INFO LIKE '%for update' "
                                   "AND ID = " + Connection()) > 0;
        }
        EXPECT_TRUE(waiting) << "the confirmation never waited for the request's row";
        db.Exec("KILL CONNECTION " + Connection());
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        holder.RollbackTransaction();
    }
    confirm.join();
    holder.RollbackTransaction();
    EXPECT_NE(failure, "");
    EXPECT_EQ(Statuses(30)[3], 0);
    EXPECT_EQ(IsProcessed(30), "F");
    EXPECT_EQ(Closings(), 0);

    env.OnConnect = nullptr;
    EXPECT_EQ(Confirm(), "");
    ExpectClosedOnce();
}

TEST_F(ConfirmFaults, DroppedAfterTheCommitTheRepeatedConfirmationChangesNothing) {
    EXPECT_EQ(Confirm(), "");
    db.Exec("KILL CONNECTION " + Connection());  // the answer is lost with it
    env.OnConnect = nullptr;
    EXPECT_EQ(Confirm(), "");  // the pharmacy sends it again
    ExpectClosedOnce();
}

class DataFileFaults : public ServiceFixture {
protected:
    std::unique_ptr<TPharmServerNomActualizationResult> Propose() {
        TSQLDataPack pack(nullptr);
        pack.SQLFB = {"UPDATE LOCAL_TABLE SET X = 1;"};
        pack.SQLMy = {"INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID, LOCAL_ID) VALUES (900, 1);"};
        return Ask<TPharmServerNomActualizationResult>(
            *Connect(), *MakeActualization(1, "pass-1", pack, TNomObjectType::notSQLDataPack,
                                           TNomObjectActualizationType::noatInsert, "pack"));
    }
    int64_t Stored() {
        return db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST WHERE REMARK = 'pack'") * 10 +
               db.ScalarInt("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE ACTION_REQUEST_ID = 900");
    }
};

TEST_F(DataFileFaults, AScriptThatCannotBeWrittenStoresNothingUntilItCan) {
    // The disk is full once the first script holds a part of its text, then
    // the folder refuses new files: neither stores the request.
    const std::vector<std::pair<std::string, std::function<void()>>> faults = {
        {"disk full", [&] { env.DiskRoom = 10; }},
        {"cannot create", [&] { env.OpenFault = [&](const std::string& p) {
             return p.rfind(sqlDir, 0) == 0 && TFaultEnv::Fail(EACCES); }; }},
    };
    for (const auto& [name, fault] : faults) {
        SCOPED_TRACE(name);
        fault();
        EXPECT_FALSE(Propose()->RequestProceeded);
        EXPECT_EQ(Stored(), 0);
        env.ClearFaults();
    }
    auto r = Propose();
    EXPECT_TRUE(r->RequestProceeded) << r->RequestProcessError;
    EXPECT_EQ(Stored(), 11);
}

TEST_F(DataFileFaults, AnObjectCopyThatCannotBeWrittenIsLoggedOnceAndTheRequestStands) {
    env.OpenFault = [&](const std::string& p) { return p.rfind(dataDir, 0) == 0 && TFaultEnv::Fail(ENOSPC); };
    auto r = Propose();
    EXPECT_TRUE(r->RequestProceeded) << r->RequestProcessError;
    EXPECT_EQ(Stored(), 11);
    const std::string logged =
        Format("Failed to save Nom Object Data for ActionRequestID = %d\r\n", {r->ActionRequestID}) + Cp(u8"Грешка: ");
    auto lines = log.Messages("TDMBase");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(logged, 0) == 0; }),
              1);
}

TEST_F(DataFileFaults, AScriptThatCannotBeReadIsHandedOutOnceItCanBe) {
    auto r = Propose();
    ASSERT_TRUE(r->RequestProceeded);
    const int64_t id = r->ActionRequestID;
    const std::string script = sqlDir + Format("/fb_%d.sql", {id});
    env.OpenFault = [&](const std::string& p) { return p == script && TFaultEnv::Fail(EIO); };

    EXPECT_NE(Refresh(*Connect(), 2, "pass-2")->ErrorMessage, "");
    EXPECT_EQ(Statuses(id)[2], 0);

    env.ClearFaults();
    auto got = Refresh(*Connect(), 2, "pass-2");
    EXPECT_EQ(got->ActionRequestID, id);
    EXPECT_EQ(DecodeData<TSQLDataPack>(got->Data)->SQLFB, (TStringLines{"UPDATE LOCAL_TABLE SET X = 1;"}));
}

}  // namespace
}  // namespace nomsync_test
