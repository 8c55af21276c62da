// The catalogue service under faults: a proposal stored as one unit (the
// central insert, the request, its status rows and the staged row), a request
// without its staged row passed over, a start closing what an earlier run
// left incomplete, a database connection dropped inside a confirmation
// (before or after the commit), data files that cannot be written or read,
// the supplier's second connection lost, the database down for a while. Every request is stored, handed out, closed
// and applied exactly once, at the latest by the first attempt after the fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>

#include "core/cp1251.h"
#include "nomsync_test_util.h"
#include "support/private_db.h"

namespace nomsync_test {
namespace {

using A = TCentralSyncAction;

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
    auto stored = ProposeInsert(*c, "stored");
    ASSERT_TRUE(stored->RequestProceeded);
    // The producer's commit of its staging was folded into the unit.
    const auto dmLines = log.Messages("TDMBase");
    EXPECT_NE(std::find(dmLines.begin(), dmLines.end(),
                        Format("Commit folded into the unit of ActionRequestID = %d", {stored->ActionRequestID})),
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

// Over the service: a supplier proposal whose second connection (the last
// one a proposal makes) is lost is answered with the failure and stores
// nothing of it; proposed again, it is stored whole.
TEST_F(ProposalUnit, SupplierProposalWhoseSecondConnectionIsLostStoresNothing) {
    std::atomic<int> made{0}, dropAt{0};
    env.OnConnect = [&](TDMBase& dm) {
        if (++made != dropAt) return;
        TDMBase killer;  // outside the environment under test
        killer.ExecSQL("KILL CONNECTION " + VarToStr(dm.GetScalar("SELECT CONNECTION_ID()")));
    };
    auto c = Connect();
    auto propose = [&](const char* sticker) {
        TSupplier s(nullptr);
        FillSupplier(s, sticker, sticker);
        made = 0;
        return Ask<TPharmServerNomActualizationResult>(
            *c, *MakeActualization(1, "pass-1", s, TNomObjectType::notSupplier, TNomObjectActualizationType::noatInsert));
    };
    auto stored = [&] {
        return Count("SELECT COUNT(*) FROM SUPPLIER") * 100 + Count("SELECT COUNT(*) FROM ACTION_REQUEST") * 10 +
               Count("SELECT COUNT(*) FROM NOM_UPDATE_SUPPLIER");
    };
    ASSERT_TRUE(propose("AA")->RequestProceeded);
    ASSERT_GE(made, 2);  // the service's and the supplier's own
    EXPECT_EQ(stored(), 111);
    dropAt = made.load();
    auto lost = propose("BB");
    EXPECT_FALSE(lost->RequestProceeded);
    EXPECT_NE(lost->RequestProcessError, "");
    EXPECT_EQ(lost->ActionRequestID, 0);
    EXPECT_EQ(stored(), 111);
    dropAt = 0;
    auto again = propose("BB");
    EXPECT_TRUE(again->RequestProceeded) << again->RequestProcessError;
    EXPECT_EQ(stored(), 222);
    EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM NOM_UPDATE_SUPPLIER u JOIN SUPPLIER s ON s.ID = u.ID "
                           "WHERE u.ACTION_REQUEST_ID = %d AND s.STICKER = 'BB'",
                           {again->ActionRequestID})),
              1);
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
        return nomsync_test::Confirm(*Connect(), 3, "pass-3", 30, A::csaDataReceiving, true, "13")->ErrorMessage;
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
    // A status moves only by the step that follows it; any other leaves it.
    using A = TCentralSyncAction;
    const std::tuple<bool, int32_t, A, bool, int32_t> steps[] = {
        {false, 0, A::csaDataReceiving, true, 5}, {false, 3, A::csaDataReceiving, true, 5},
        {false, 2, A::csaLock, true, 2},          {false, 4, A::csaUnlock, false, 4},
        {true, 0, A::csaLock, true, 1},           {true, 1, A::csaCheck, true, 2},
        {true, 1, A::csaCheck, false, 3},         {true, 2, A::csaUnlock, true, 5},
        {true, 2, A::csaDataReceiving, true, 5},  {true, 3, A::csaUnlock, true, 4},
        {true, 3, A::csaDataReceiving, true, 4},  {true, 2, A::csaLock, true, 2},
        {true, 0, A::csaCheck, true, 0},          {true, 0, A::csaDataReceiving, true, 0},
        {true, 1, A::csaUnlock, true, 1},         {true, 4, A::csaUnlock, true, 4},
        {true, 5, A::csaDataReceiving, true, 5},  {true, 0, A::csaUnknown, true, 0}};
    for (const auto& [sync, from, action, ok, to] : steps)
        EXPECT_EQ(TZorvelCentralNomSyncServerSrv::NextRequestStatus(sync, from, action, ok), to)
            << sync << from << static_cast<int>(action) << ok;
    // Not sync-required: data receiving finishes from any status, nothing else moves it.
    for (int32_t from = 0; from <= 5; ++from) {
        EXPECT_EQ(TZorvelCentralNomSyncServerSrv::NextRequestStatus(false, from, A::csaDataReceiving, true), 5);
        EXPECT_EQ(TZorvelCentralNomSyncServerSrv::NextRequestStatus(false, from, A::csaLock, true), from);
        EXPECT_EQ(TZorvelCentralNomSyncServerSrv::NextRequestStatus(false, from, A::csaUnlock, false), from);
    }
}

class DataFileFaults : public ServiceFixture {
protected:
    // An SQL pack whose central script is two statements; the request's
    // remark is "pack".
    std::unique_ptr<TPharmServerNomActualizationResult> Propose() {
        TSQLDataPack pack(nullptr);
        pack.Remark = "own remark";
        pack.SQLFB = {"UPDATE LOCAL_TABLE SET X = 1;"};
        pack.SQLMy = {"INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID, LOCAL_ID) VALUES (900, 1);/*stmt_lim*/",
                      "INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID, LOCAL_ID) VALUES (901, 2);"};
        return Ask<TPharmServerNomActualizationResult>(
            *Connect(), *MakeActualization(1, "pass-1", pack, TNomObjectType::notSQLDataPack,
                                           TNomObjectActualizationType::noatInsert, "pack"));
    }
    int64_t Stored() {
        return db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST WHERE REMARK = 'pack'") * 10 +
               db.ScalarInt("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE ACTION_REQUEST_ID IN (900, 901)");
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
    EXPECT_EQ(Stored(), 12);
}

TEST_F(DataFileFaults, AnObjectCopyThatCannotBeWrittenIsLoggedOnceAndTheRequestStands) {
    env.OpenFault = [&](const std::string& p) { return p.rfind(dataDir, 0) == 0 && TFaultEnv::Fail(ENOSPC); };
    auto r = Propose();
    EXPECT_TRUE(r->RequestProceeded) << r->RequestProcessError;
    EXPECT_EQ(Stored(), 12);
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
    EXPECT_EQ(got->NomObjectType, TNomObjectType::notSQLDataPack);
    EXPECT_EQ(got->CentralSyncAction, A::csaDataReceiving);
    auto pack = DecodeData<TSQLDataPack>(got->Data);
    EXPECT_EQ(pack->SQLFB, (TStringLines{"UPDATE LOCAL_TABLE SET X = 1;"}));
    EXPECT_TRUE(pack->SQLMy.empty());  // the central script never leaves the centre
    EXPECT_EQ(pack->Remark, "pack");
    EXPECT_TRUE(std::filesystem::exists(dataDir + Format("/%d.SID", {id})));
}

// The supplier reads and writes its staged row on a second connection, made
// in its data module's environment: a connection lost there fails the staging
// and the loading (nothing staged, nothing read as blank), and the next
// attempt after the fault succeeds.
TEST_F(NomDataFixture, SupplierSecondConnectionLostFailsStagingAndLoading) {
    SeedPharmacies(db);
    std::unique_ptr<TDMBase> dm = env.ConnectDatabase();
    TSupplier s(dm.get());
    FillSupplier(s, "ZZ", "Wholesaler");
    // Every connection made while the fault is set is dropped as soon as it is made.
    int lost = 0;
    auto dropNewConnections = [&] {
        env.OnConnect = [&](TDMBase& own) {
            db.Exec("KILL CONNECTION " + VarToStr(own.GetScalar("SELECT CONNECTION_ID()")));
            ++lost;
        };
    };
    dropNewConnections();
    EXPECT_NE(ErrorOf([&] { s.SaveToUpdateTable(UpdateParams(2)); }), "");
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_SUPPLIER"), 0);

    env.ClearFaults();
    s.SaveToUpdateTable(UpdateParams(2));
    const int32_t request = s.ActionRequestID();
    EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM NOM_UPDATE_SUPPLIER WHERE ACTION_REQUEST_ID = %d AND STICKER = 'ZZ'",
                           {request})),
              1);

    TSupplier loaded(dm.get());
    dropNewConnections();
    EXPECT_NE(ErrorOf([&] { loaded.LoadFromUpdateTable(request); }), "");
    EXPECT_EQ(lost, 2);
    env.ClearFaults();
    EXPECT_TRUE(loaded.LoadFromUpdateTable(request));
    loaded.Modified = s.Modified;
    EXPECT_EQ(WireBytes(loaded), WireBytes(s));
}

class NomSyncOutage : public OwnDbInstance, public ServiceFixture {};

TEST_F(NomSyncOutage, RequestsFailWhileTheDatabaseIsDownAndSucceedOnceItIsBack) {
    // One producer insert every pharmacy has to receive.
    db.Exec("INSERT INTO PRODUCER (ID, NAME, ADDRESS, IS_ACTIVE) VALUES (1, 'Producer', 'Sofia', 'T')");
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, PHARM_ID, "
            "NOM_KEY, PROCESS_DATE) VALUES (1, 4, 1, NOW(), 'F', 'F', 1, 1, NOW())");
    db.Exec("INSERT INTO NOM_UPDATE_PRODUCER (ACTION_REQUEST_ID, ID, NAME, ADDRESS, IS_ACTIVE) "
            "VALUES (1, 1, 'Producer', 'Sofia', 'T')");
    db.Exec("INSERT INTO action_request_status SELECT 1, id, 0, NOW() FROM pharmacy WHERE id > 0");

    auto c = Connect();
    auto confirm = [&] { return Confirm(*c, 1, "pass-1", 1, TCentralSyncAction::csaDataReceiving)->ErrorMessage; };
    ASSERT_EQ(LoginFlag(*c, 1, "pass-1"), 1);

    instance.Stop();
    // Every request is still answered, on the same connection, with a failure.
    EXPECT_NE(LoginFlag(*c, 1, "pass-1"), 1);
    EXPECT_NE(Refresh(*c, 1, "pass-1")->ErrorMessage, "");
    EXPECT_NE(confirm(), "");

    instance.Start();
    db.Reconnect();
    EXPECT_EQ(Statuses(1), (std::map<int, int>{{1, 0}, {2, 0}, {3, 0}}));
    EXPECT_EQ(LoginFlag(*c, 1, "pass-1"), 1);
    auto r = Refresh(*c, 1, "pass-1");
    EXPECT_EQ(r->ErrorMessage, "");
    EXPECT_EQ(r->ActionRequestID, 1);
    EXPECT_EQ(r->CentralSyncAction, TCentralSyncAction::csaDataReceiving);
    EXPECT_EQ(confirm(), "");
    EXPECT_EQ(Statuses(1), (std::map<int, int>{{1, 5}, {2, 0}, {3, 0}}));
    EXPECT_EQ(IsProcessed(1), "F");
}

}  // namespace
}  // namespace nomsync_test
