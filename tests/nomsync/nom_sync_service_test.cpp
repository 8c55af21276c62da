// The Nom Sync service over real sockets: login, dispatch, the pause switch,
// what a pharmacy may send without harming the service, connection bounds,
// the SQL pack with its system command, and concurrent closing.
#include <algorithm>
#include <barrier>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "nomsync_test_util.h"

using namespace nomsync_test;
using A = TCentralSyncAction;

namespace {

std::string AccessMessage(size_t size) {
    return Cp(u8"Грешка при получаване на данните за достъп на аптеката!") + "\r" +
           Cp(u8"Вероятно е заради проблем в интернет връзката!") + "\r" + Cp(u8"Моля, опитайте отново!") +
           std::to_string(size);
}

// Waits (bounded) until the service has no connection thread left.
bool WaitNoConnections(TZorvelCentralNomSyncServerSrv& srv) {
    for (int i = 0; i < 200; ++i) {
        if (srv.ConnectionCount() == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class NomSyncService : public ServiceFixture {};

}  // namespace

// ---------------------------------------------------------------------------
// Login and dispatch

TEST_F(NomSyncService, LoginRightAndWrongPasswordsOnOneConnection) {
    auto c = Connect();
    auto ok = Ask<TPharmServerLoginResult>(*c, *MakeCommand<TPharmServerLoginCommand>(1, "pass-1"));
    EXPECT_EQ(AuthorizedFlag(*ok), 1);
    EXPECT_EQ(ok->ErrorMessage, "");
    EXPECT_TRUE(ok->IsCustomerInfoValid());
    auto wrong = Ask<TPharmServerLoginResult>(*c, *MakeCommand<TPharmServerLoginCommand>(1, "pass-2"));
    EXPECT_EQ(AuthorizedFlag(*wrong), 0);
    EXPECT_EQ(wrong->ErrorMessage, "");
    db.Exec("UPDATE pharmacy SET inet_pass = '' WHERE id = 3");
    // A password that tries to change the statement is only a wrong one; the
    // central pseudo-pharmacy cannot log in; letter case and trailing blanks
    // count, as on the FTP path; an empty stored password lets nobody in.
    const Pharmacy refused[] = {{1, "x' or '1'='1"}, {0, ""}, {1, "PASS-1"}, {1, "Pass-1"}, {1, "pass-1 "}, {3, ""}};
    for (const auto& p : refused) EXPECT_EQ(LoginFlag(*c, p.id, p.password), 0) << p.id << " " << p.password;

    // Nor does a wrong password change anything.
    TProducer p(nullptr);
    FillProducer(p, "nope");
    auto cmd = MakeActualization(2, "bad", p, TNomObjectType::notProducer, TNomObjectActualizationType::noatInsert);
    auto r = Ask<TPharmServerNomActualizationResult>(*c, *cmd);
    EXPECT_FALSE(r->RequestProceeded);
    EXPECT_EQ(AuthorizedFlag(*r), 0);
    EXPECT_EQ(r->ErrorMessage, "");
    EXPECT_EQ(r->ActionRequestID, 0);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PRODUCER"), 0);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST"), 0);

    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE) VALUES (5, 4, 1, NOW())");
    db.Exec("INSERT INTO action_request_status VALUES (5, 2, 0, NOW())");
    auto refresh = Refresh(*c, 2, "bad");
    EXPECT_EQ(AuthorizedFlag(*refresh), 0);
    EXPECT_EQ(refresh->CentralSyncAction, A::csaUnknown);
    EXPECT_EQ(AuthorizedFlag(*Confirm(*c, 2, "bad", 5, A::csaDataReceiving)), 0);
    EXPECT_EQ(Statuses(5), (std::map<int, int>{{2, 0}}));
}

// A login without customer information, a declared size differing from the
// block and a damaged block are answered with the access message (with the
// block's size) or the decoder's, not logged; commands of another class get
// no reply and the next frame is served; a request row whose type or action
// numbers are out of range is answered with the error. The connection goes on.
TEST_F(NomSyncService, WrongRequestsAreAnsweredOrPassedOverAndTheConnectionGoesOn) {
    auto c = Connect();
    TPharmServerLoginCommand bare;
    EXPECT_EQ(Ask<TPharmServerLoginResult>(*c, bare)->ErrorMessage, AccessMessage(0));
    auto cmd = MakeCommand<TPharmServerConfirmActionCommand>(1, "pass-1");
    cmd->CustomerInfoSize += 1;
    EXPECT_EQ(Ask<TPharmServerConfirmActionResult>(*c, *cmd)->ErrorMessage,
              AccessMessage(static_cast<size_t>(cmd->CustomerInfo.Size())));
    auto refresh = MakeCommand<TPharmServerRefreshDataCommand>(1, "pass-1");
    refresh->CustomerInfo.Bytes()[0] = 0x55;
    EXPECT_FALSE(Ask<TPharmServerNomActualizationResult>(*c, *refresh)->ErrorMessage.empty());
    EXPECT_TRUE(log.Messages("TZorvelCentralNomSyncServerSrv").empty());

    auto sendFile = MakeCommand<TPharmServerSendFileCommand>(1, "pass-1");
    sendFile->PacketFileName = "xml1.rar";
    c->Send(*sendFile);
    c->Send(*MakeCommand<TPharmServerLoginPacketCommand>(1, "pass-1"));  // a descendant of a handled class
    c->Send(TPharmServerLoginResult());                                   // a result sent as a request
    EXPECT_EQ(LoginFlag(*c, 1, "pass-1"), 1);

    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE) VALUES (9, 77, 2, NOW())");
    db.Exec("INSERT INTO action_request_status VALUES (9, 1, 0, NOW())");
    EXPECT_NE(Refresh(*c, 1, "pass-1")->ErrorMessage.find("(76)"), std::string::npos);
    db.Exec("UPDATE ACTION_REQUEST SET NOM_ID = 4, ACTION_ID = 9 WHERE ID = 9");
    EXPECT_NE(Refresh(*c, 1, "pass-1")->ErrorMessage.find("ACTION_ID"), std::string::npos);
    EXPECT_EQ(LoginFlag(*c, 1, "pass-1"), 1);
}

TEST_F(NomSyncService, FailedCentralInsertIsStillStagedAndAnswered) {
    auto c = Connect();
    TProducer p(nullptr);
    FillProducer(p, "x");
    db.Exec("DROP TABLE PRODUCER");
    auto cmd = MakeActualization(1, "pass-1", p, TNomObjectType::notProducer, TNomObjectActualizationType::noatInsert);
    auto r = Ask<TPharmServerNomActualizationResult>(*c, *cmd);
    EXPECT_TRUE(r->RequestProceeded);
    EXPECT_GT(r->ActionRequestID, 0);
    EXPECT_FALSE(r->RequestProcessError.empty());
    EXPECT_EQ(db.ScalarInt(Format("SELECT NOM_KEY FROM ACTION_REQUEST WHERE ID = %d", {r->ActionRequestID})), -1);
    EXPECT_EQ(db.ScalarInt(Format("SELECT PROCESS_DATE IS NULL FROM ACTION_REQUEST WHERE ID = %d", {r->ActionRequestID})),
              1);
    // Its staged row is there: it is handed out, with no central key.
    auto refresh = Refresh(*c, 2, "pass-2");
    EXPECT_EQ(refresh->ActionRequestID, r->ActionRequestID);
    EXPECT_EQ(refresh->CentralSyncAction, A::csaDataReceiving);
    EXPECT_EQ(refresh->NomKey, -1);
    EXPECT_EQ(DecodeData<TProducer>(refresh->Data)->ProdName(), "x");
}

// Object data that cannot be read (no compressed stream, a record cut short,
// a text too long for its column) is answered with RequestProceeded False and
// the failure in RequestProcessError; nothing is stored and the connection
// goes on.
TEST_F(NomSyncService, UnreadableObjectDataIsAnsweredWithItsMessage) {
    using K = TNomObjectActualizationType;
    auto c = Connect();
    TSupplier fine(nullptr), tooLong(nullptr);
    FillSupplier(fine, "ZZ", "fine");
    FillSupplier(tooLong, "ZZ", "fine");
    tooLong.SetAddress(std::string(256, 'a'));
    const std::string bytes = WireBytes(fine);
    std::vector<std::unique_ptr<TPharmServerNomActualizationCommand>> commands;
    commands.push_back(MakeCommand<TPharmServerNomActualizationCommand>(1, "pass-1"));
    commands[0]->NomObjectType = TNomObjectType::notProducer;
    const std::string junk("\x05\x00\x00\x00 this is no zlib stream", 28);
    commands[0]->Data.Write(junk.data(), static_cast<int64_t>(junk.size()));
    commands[0]->Data.SetPosition(0);
    commands[0]->PacketSize = commands[0]->Data.Size();
    for (const std::string& bad : {bytes.substr(0, bytes.size() / 2), WireBytes(tooLong)})
        commands.push_back(MakeActualizationOfBytes(1, "pass-1", bad, TNomObjectType::notSupplier, K::noatInsert));
    for (const auto& cmd : commands) {
        auto r = Ask<TPharmServerNomActualizationResult>(*c, *cmd);
        EXPECT_FALSE(r->RequestProceeded);
        EXPECT_NE(r->RequestProcessError, "");
        EXPECT_EQ(r->ErrorMessage, "");
        EXPECT_EQ(r->ActionRequestID, 0);
    }
    EXPECT_EQ(db.ScalarInt("SELECT (SELECT COUNT(*) FROM ACTION_REQUEST) + (SELECT COUNT(*) FROM SUPPLIER)"), 0);
    auto ok = Ask<TPharmServerNomActualizationResult>(
        *c, *MakeActualization(1, "pass-1", fine, TNomObjectType::notSupplier, K::noatInsert));
    EXPECT_TRUE(ok->RequestProceeded);
    EXPECT_GT(ok->ActionRequestID, 0);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM SUPPLIER WHERE STICKER = 'ZZ'"), 1);
}

// ---------------------------------------------------------------------------
// Pause switch

TEST_F(NomSyncService, PauseSwitchRefusesProposalsOnly) {
    db.Exec("INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES (1, 'NomSyncServerPaused', 'T', 0)");
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED) VALUES (5, 4, 3, NOW(), 'T')");
    db.Exec("INSERT INTO action_request_status VALUES (5, 1, 0, NOW())");
    auto c = Connect();
    TProducer p(nullptr);
    FillProducer(p, "paused");
    auto cmd = MakeActualization(1, "pass-1", p, TNomObjectType::notProducer, TNomObjectActualizationType::noatInsert);
    auto r = Ask<TPharmServerNomActualizationResult>(*c, *cmd);
    EXPECT_FALSE(r->RequestProceeded);
    EXPECT_EQ(r->ErrorMessage,
              Cp(u8"Временно е блокирано създаването на заявки за актуализаране на номенклатурите!"));
    EXPECT_EQ(AuthorizedFlag(*r), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PRODUCER"), 0);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST"), 1);

    // Login, refresh and confirmation go on.
    EXPECT_EQ(LoginFlag(*c, 1, "pass-1"), 1);
    auto refresh = Refresh(*c, 1, "pass-1");
    EXPECT_EQ(refresh->CentralSyncAction, A::csaLock);
    EXPECT_EQ(refresh->ActionRequestID, 5);
    EXPECT_EQ(Confirm(*c, 1, "pass-1", 5, A::csaLock)->ErrorMessage, "");
    EXPECT_EQ(Statuses(5), (std::map<int, int>{{1, 1}}));

    // Any value but "T" lets proposals through again.
    db.Exec("UPDATE ZVL_ENV_VARS SET VAR_VALUE = 't' WHERE ID = 1");
    EXPECT_TRUE(Ask<TPharmServerNomActualizationResult>(*c, *cmd)->RequestProceeded);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PRODUCER"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ZVL_ENV_VARS"), 1);
}

// ---------------------------------------------------------------------------
// What a pharmacy may send

TEST_F(NomSyncService, UndecodableFramesCloseTheConnectionOnly) {
    auto framed = [](const std::string& bytes) { return FrameHeader(static_cast<int64_t>(bytes.size())) + bytes; };
    std::string unknownClass = EncodePharmComponent(TPharmServerLoginCommand());
    unknownClass.replace(5, 5, "TXxxx");  // a class the registry does not know
    std::string wrongKind = EncodePharmComponent(*MakeCommand<TPharmServerConfirmActionCommand>(1, "pass-1"));
    const size_t at = wrongKind.find("CheckResult");
    ASSERT_NE(at, std::string::npos);
    wrongKind[at + 11] = 0x06;  // a string where a Boolean belongs
    struct Case {
        const char* what;
        std::string bytes;
        bool cutShort;
    };
    const Case cases[] = {
        {"not a component stream", FrameHeader(9) + "not-a-TPF", false},
        {"unknown class", framed(unknownClass), false},
        {"count far beyond any frame", std::string("\x7f\xff\xff\xff", 4), false},
        {"negative count", std::string("\xff\xff\xff\xfe", 4), false},
        {"frame cut short by the peer", FrameHeader(100) + "TPF0", true},
        {"property of the wrong kind", framed(wrongKind), false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        auto c = Connect();
        c->SendRaw(k.bytes);
        if (k.cutShort) c->Socket().shutdown(asio::ip::tcp::socket::shutdown_send);
        EXPECT_TRUE(c->ClosedByServer(10000));
    }
    EXPECT_TRUE(WaitNoConnections(*srv));
    EXPECT_EQ(LoginFlag(*Connect(), 3, "pass-3"), 1);

    // Such an end is logged only with UseDebugMode: the peer and the failure.
    EXPECT_EQ(log.Messages("TZorvelCentralNomSyncServerSrv"), std::vector<std::string>{});
    db.EditOptions([](TOptions& o) { o.UseDebugMode = true; });
    auto c = Connect();
    c->SendRaw(cases[0].bytes);
    EXPECT_TRUE(c->ClosedByServer(10000));
    EXPECT_TRUE(WaitNoConnections(*srv));
    auto lines = log.Messages("TZorvelCentralNomSyncServerSrv");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Connection 127.0.0.1", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" closed: "), std::string::npos) << lines[0];
}

// ---------------------------------------------------------------------------
// Connections

class ShortTimeout : public ServiceFixture {
protected:
    ShortTimeout() { connectionTimeoutMs = 300; }
};

TEST_F(ShortTimeout, IdleAndStalledConnectionsEndAtTheReadTimeout) {
    auto idle = Connect();
    auto stalled = Connect();
    stalled->SendRaw(std::string("\x00\x00", 2));  // half a count, then nothing
    auto partial = Connect();
    partial->SendRaw(FrameHeader(50) + "TPF0");  // part of a frame, then nothing
    // While they hang, another pharmacy is served.
    auto busy = Connect();
    EXPECT_EQ(LoginFlag(*busy, 2, "pass-2"), 1);
    for (auto* c : {idle.get(), stalled.get(), partial.get(), busy.get()}) EXPECT_TRUE(c->ClosedByServer(20000));
    EXPECT_TRUE(WaitNoConnections(*srv));
}

TEST_F(ShortTimeout, PeerThatStopsReadingIsDisconnected) {
    // A pack whose pharmacy script makes every answer about 2 MB.
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE) VALUES (60, 6, 1, NOW())");
    db.Exec("INSERT INTO action_request_status VALUES (60, 1, 0, NOW())");
    std::ofstream fb(sqlDir + "/fb_60.sql", std::ios::binary);
    std::mt19937 rng(12345);  // incompressible text
    for (int i = 0; i < 2000000; ++i) fb << (i % 100 == 99 ? '\n' : static_cast<char>('!' + rng() % 90));
    fb.close();
    std::ofstream(sqlDir + "/my_60.sql") << "";
    auto c = Connect();
    auto refresh = MakeCommand<TPharmServerRefreshDataCommand>(1, "pass-1");
    const std::string bytes = EncodePharmComponent(*refresh);
    const std::string frame = FrameHeader(static_cast<int64_t>(bytes.size())) + bytes;
    for (int i = 0; i < 40; ++i) c->SendRaw(frame);  // and never read an answer
    // The service gives up on the peer although it keeps its socket open.
    EXPECT_TRUE(WaitNoConnections(*srv));
}

class BoundedConnections : public ServiceFixture {
protected:
    BoundedConnections() { maxConnections = 2; }
};

TEST_F(BoundedConnections, PeersBeyondTheBoundWaitForAFreeThread) {
    auto a = Connect();
    auto b = Connect();
    auto login = MakeCommand<TPharmServerLoginCommand>(1, "pass-1");
    Ask<TPharmServerLoginResult>(*a, *login);
    Ask<TPharmServerLoginResult>(*b, *login);
    EXPECT_EQ(srv->ConnectionCount(), 2u);
    auto waiting = Connect();  // accepted by the system, not yet by the service
    waiting->Send(*login);
    EXPECT_THROW(waiting->Receive(500), EFrameTimeout);
    EXPECT_EQ(srv->ConnectionCount(), 2u);
    a.reset();
    auto r = waiting->Receive(20000);
    ASSERT_TRUE(r);
    EXPECT_STREQ(r->ClassName(), "TPharmServerLoginResult");
}

// Stop closes every connection; start opens again; a port in use fails the start.
TEST_F(NomSyncService, StopClosesConnectionsAndStartOpensAgain) {
    EXPECT_EQ(srv->Name() + "|" + srv->DisplayName() + "|" + srv->ClassName(),
              "ZorvelCentralNomSyncServerSrv|Vantrell Nom Sync Server|TZorvelCentralNomSyncServerSrv");
    auto a = Connect();
    auto b = Connect();
    EXPECT_EQ(LoginFlag(*a, 1, "pass-1"), 1);
    bool stopped = false;
    srv->ServiceStop(stopped);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(srv->ConnectionCount(), 0u);
    EXPECT_TRUE(a->ClosedByServer(10000));
    EXPECT_TRUE(b->ClosedByServer(10000));
    bool started = false;
    srv->ServiceStart(started);
    ASSERT_TRUE(started);
    EXPECT_EQ(LoginFlag(*Connect(), 1, "pass-1"), 1);
    TZorvelCentralNomSyncServerSrv other(env, srv->BoundPort(), "127.0.0.1");
    EXPECT_THROW(other.ServiceStart(started), EInOutError);
}

// ---------------------------------------------------------------------------
// SQL pack and the "PAY:" system command

TEST_F(NomSyncService, SQLPackAddressedToOnePharmacy) {
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, DEST_PHARM_ID) VALUES (20, 6, 1, NOW(), 2)");
    db.Exec("INSERT INTO action_request_status VALUES (20, 1, 0, NOW()), (20, 2, 0, NOW())");
    std::ofstream(sqlDir + "/fb_20.sql") << "FB LINE\r\n";
    std::ofstream(sqlDir + "/my_20.sql") << "MY LINE\r\n";
    auto c = Connect();
    for (const auto& p : {Pharmacies()[0], Pharmacies()[1]}) {
        auto d = DecodeData<TSQLDataPack>(Refresh(*c, p.id, p.password)->Data);
        EXPECT_EQ(d->SQLFB, p.id == 2 ? TStringLines{"FB LINE"} : TStringLines{}) << p.id;
        EXPECT_TRUE(d->SQLMy.empty());
    }
}

TEST_F(NomSyncService, PayCommandAnswerReachesPaymentCentral) {
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, SYS_CMD) VALUES "
            "(30, 6, 1, NOW(), 'F', 'PAY:7:2026-01-05:120.50:BGN:INV-1:OK'), "
            "(31, 6, 1, NOW(), 'F', 'PAY:7:2026-01-05:120.50:BGN')");
    db.Exec("INSERT INTO action_request_status SELECT a.ID, p.id, 0, NOW() FROM ACTION_REQUEST a, pharmacy p "
            "WHERE p.id > 0");
    db.Exec("INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID) VALUES (30), (30), (31)");
    std::map<int, std::unique_ptr<PharmClient>> cl;
    for (const auto& p : Pharmacies()) cl[p.id] = Connect();

    for (const auto& p : Pharmacies()) {
        auto r = Refresh(*cl[p.id], p.id, p.password);
        EXPECT_EQ(r->ActionRequestID, 30);
        EXPECT_EQ(r->NomCheckReason, TNomCheckReason::ncrInsert);
        auto d = DecodeData<TSQLDataPack>(r->Data);
        EXPECT_EQ(d->SQLFB,
                  (TStringLines{"/* <zvl_command>PAY:7:2026-01-05:120.50:BGN:INV-1:OK</zvl_command> */"}));
        EXPECT_TRUE(d->SQLMy.empty());
        // A non-numeric answer to the closing confirmation rolls it back.
        if (p.id == 3) {
            auto bad = Confirm(*cl[p.id], p.id, p.password, 30, A::csaDataReceiving, true, "abc");
            EXPECT_NE(bad->ErrorMessage.find("abc"), std::string::npos) << bad->ErrorMessage;
            EXPECT_EQ(Statuses(30)[3], 0);
            EXPECT_EQ(IsProcessed(30), "F");
        }
        EXPECT_EQ(Confirm(*cl[p.id], p.id, p.password, 30, A::csaDataReceiving, true, std::to_string(10 + p.id))
                      ->ErrorMessage,
                  "");
        EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE LOCAL_ID IS NOT NULL"), p.id < 3 ? 0 : 2);
    }
    EXPECT_EQ(IsProcessed(30), "T");
    // Only the closing confirmation's answer is applied, and logged.
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE ACTION_REQUEST_ID = 30 AND LOCAL_ID = 13"), 2);
    const auto lines = log.Messages("TZorvelCentralNomSyncServerSrv");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "execute sql: UPDATE PAYMENT_CENTRAL SET LOCAL_ID=13 WHERE ACTION_REQUEST_ID=30;"),
              lines.end());
    // A late confirmation of the closed request writes no answer again.
    Confirm(*cl[1], 1, "pass-1", 30, A::csaDataReceiving, true, "99");
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE LOCAL_ID = 99"), 0);

    // Five parts: nothing is written.
    for (const auto& p : Pharmacies())
        Confirm(*cl[p.id], p.id, p.password, 31, A::csaDataReceiving, true, "15");
    EXPECT_EQ(IsProcessed(31), "T");
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE ACTION_REQUEST_ID = 31 AND LOCAL_ID IS NULL"), 1);
}

// ---------------------------------------------------------------------------
// Concurrent closing

TEST_F(NomSyncService, LastConfirmationsAtTheSameMomentCloseOnce) {
    constexpr int kPharmacies = 8;
    constexpr int kRounds = 6;
    for (int i = 4; i <= kPharmacies; ++i)
        db.Exec(Format("INSERT INTO pharmacy (id, name, inet_pass) VALUES (%d, 'p', 'pass-%d')", {i, i}));
    // Update requests of SQL packs whose central script leaves one marker row
    // each time the request is applied.
    for (int round = 1; round <= kRounds; ++round) {
        const int id = 100 + round;
        db.Exec(Format("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED) "
                       "VALUES (%d, 6, 2, NOW(), 'F')",
                       {id}));
        db.Exec(Format("INSERT INTO action_request_status SELECT %d, id, 0, NOW() FROM pharmacy WHERE id > 0", {id}));
        std::ofstream(sqlDir + Format("/fb_%d.sql", {id})) << "\r\n";
        std::ofstream(sqlDir + Format("/my_%d.sql", {id}))
            << Format("INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID, LOCAL_ID) VALUES (%d, 1);\r\n", {id});
    }
    std::vector<std::unique_ptr<PharmClient>> clients;
    for (int i = 1; i <= kPharmacies; ++i) clients.push_back(Connect());

    for (int round = 1; round <= kRounds; ++round) {
        const int id = 100 + round;
        std::barrier sync(kPharmacies);
        std::vector<std::string> errors(kPharmacies);
        std::vector<std::thread> threads;
        for (int i = 0; i < kPharmacies; ++i) {
            threads.emplace_back([&, i] {
                sync.arrive_and_wait();
                try {
                    errors[i] = Confirm(*clients[i], i + 1, "pass-" + std::to_string(i + 1), id, A::csaDataReceiving)
                                    ->ErrorMessage;
                } catch (const std::exception& e) {
                    errors[i] = e.what();
                }
            });
        }
        for (auto& t : threads) t.join();
        for (int i = 0; i < kPharmacies; ++i) EXPECT_EQ(errors[i], "") << "pharmacy " << i + 1;
        EXPECT_EQ(IsProcessed(id), "T") << "round " << round;
        EXPECT_EQ(db.ScalarInt(Format("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE ACTION_REQUEST_ID = %d", {id})), 1)
            << "round " << round;
        for (auto [ph, st] : Statuses(id)) EXPECT_EQ(st, 5) << ph;
    }

    // Late and duplicate confirmations, and ones for requests that do not
    // exist, never apply anything again.
    for (int i = 0; i < kPharmacies; ++i)
        for (int64_t id : {101, 999999})
            EXPECT_EQ(Confirm(*clients[i], i + 1, "pass-" + std::to_string(i + 1), id, A::csaDataReceiving)->ErrorMessage,
                      "");
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PAYMENT_CENTRAL WHERE ACTION_REQUEST_ID = 101"), 1);
    auto closings = log.Messages("TObject");
    EXPECT_EQ(std::count(closings.begin(), closings.end(), std::string("ActionID: 2 AFinalStatus: T")), kRounds);
}
