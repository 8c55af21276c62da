// Helpers of the catalogue synchronisation tests: a pharmacy client over a
// real socket, commands as a pharmacy's client fills them, a running service
// on a private database, and the producer, article group, measure name and
// supplier with every field set (the article's in article_test_util.h), their
// wire bytes, and proposals made of raw bytes.
#pragma once

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <memory>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/format.h"
#include "nomsync/article_group.h"
#include "nomsync/measure_name.h"
#include "nomsync/nom_sync_service.h"
#include "nomsync/nomenclature_object.h"
#include "nomsync/producer.h"
#include "nomsync/sql_data_pack.h"
#include "nomsync/supplier.h"
#include "protocol/component_stream.h"
#include "support/nv_written.h"
#include "protocol/compressed_stream.h"
#include "protocol/customer_info.h"
#include "protocol/frame_io.h"
#include "protocol/nv_stream_utils.h"
#include "protocol/pharm_classes.h"
#include "support/fault_env.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

#include "article_test_util.h"

// The listener of a service, for the tests that lower its connection bound or
// shorten its time-out before ServiceStart.
struct NomSyncServiceTestAccess {
    static TTcpServer& TcpServer(TZorvelCentralNomSyncServerSrv& s) { return s.tcpServer_; }
};

namespace nomsync_test {

template <class T>
std::unique_ptr<T> MakeCommand(int32_t code, const std::string& password) {
    auto c = std::make_unique<T>();
    SetCommandCustomerLines(*c, {"CompanyName=Test", "CustomerCode=" + std::to_string(code), "Password=" + password});
    return c;
}

inline std::unique_ptr<TPharmServerConfirmActionCommand> MakeConfirm(int32_t code, const std::string& password,
                                                                     int64_t requestID, TCentralSyncAction action,
                                                                     bool checkResult = true,
                                                                     const std::string& responseText = "") {
    auto c = MakeCommand<TPharmServerConfirmActionCommand>(code, password);
    c->ActionRequestID = static_cast<int32_t>(requestID);
    c->CentralSyncAction = action;
    c->CheckResult = checkResult;
    c->ResponseText = responseText;
    return c;
}

// "CustomerAuthorized=1" -> 1; -1 when the block cannot be read.
inline int AuthorizedFlag(TPharmServerLoginResult& r) {
    try {
        std::vector<std::string> lines;
        LoadStringsCompressed(lines, r.CustomerInfo);
        for (const auto& l : lines)
            if (l.rfind("CustomerAuthorized=", 0) == 0) return std::stoi(l.substr(19));
    } catch (...) {
    }
    return -1;
}

// A pharmacy's connection to the service.
class PharmClient {
public:
    explicit PharmClient(uint16_t port) : socket_(io_) {
        asio::ip::tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), port);
        socket_.connect(ep);
        socket_.set_option(asio::ip::tcp::no_delay(true));
    }
    ~PharmClient() {
        asio::error_code ec;
        socket_.close(ec);
    }

    void Send(const TComponent& c) { WriteComponentFrame(socket_, c, 10000); }
    void SendRaw(const std::string& bytes) { WriteAll(socket_, bytes.data(), bytes.size(), 10000); }
    // The next frame's object; raises EFrameTimeout when none comes in time
    // and EFrameConnectionClosed when the server closed the connection.
    std::unique_ptr<TComponent> Receive(int timeoutMs = 30000) { return ReadComponentFrame(socket_, timeoutMs); }

    // The reply to a command; one of another class fails the test and gives nullptr.
    template <class R>
    std::unique_ptr<R> Call(const TComponent& c) {
        Send(c);
        std::unique_ptr<TComponent> r = Receive();
        if (!r || &r->ClassInfo() != &R::StaticClassInfo()) {
            ADD_FAILURE() << "unexpected reply class " << (r ? r->ClassName() : "(none)");
            return nullptr;
        }
        return std::unique_ptr<R>(static_cast<R*>(r.release()));
    }

    // True when the server has closed the connection (waits up to timeoutMs).
    bool ClosedByServer(int timeoutMs) {
        try {
            char b;
            ReadExact(socket_, &b, 1, timeoutMs);
            return false;
        } catch (const EFrameConnectionClosed&) {
            return true;
        } catch (const EFrameTimeout&) {
            return false;
        }
    }

    asio::ip::tcp::socket& Socket() { return socket_; }

private:
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
};

// A call whose reply must be of class R; raises otherwise, which fails the test.
template <class R>
std::unique_ptr<R> Ask(PharmClient& c, const TComponent& cmd) {
    auto r = c.Call<R>(cmd);
    if (!r) throw std::runtime_error("no reply of the expected class");
    return r;
}
inline int LoginFlag(PharmClient& c, int32_t code, const std::string& password) {
    return AuthorizedFlag(*Ask<TPharmServerLoginResult>(c, *MakeCommand<TPharmServerLoginCommand>(code, password)));
}
inline std::unique_ptr<TPharmServerNomActualizationResult> Refresh(PharmClient& c, int32_t code,
                                                                   const std::string& password) {
    return Ask<TPharmServerNomActualizationResult>(c, *MakeCommand<TPharmServerRefreshDataCommand>(code, password));
}
template <class... Rest>
std::unique_ptr<TPharmServerConfirmActionResult> Confirm(PharmClient& c, int32_t code, const std::string& password,
                                                         int64_t requestID, Rest&&... rest) {
    return Ask<TPharmServerConfirmActionResult>(
        c, *MakeConfirm(code, password, requestID, std::forward<Rest>(rest)...));
}

// The pharmacies of the tests: 1, 2 and 3 with their passwords (and the
// central pseudo-pharmacy 0).
struct Pharmacy {
    int32_t id;
    std::string password;
};
inline const std::vector<Pharmacy>& Pharmacies() {
    static const std::vector<Pharmacy> p = {{1, "pass-1"}, {2, "pass-2"}, {3, "pass-3"}};
    return p;
}

inline void SeedPharmacies(TestDatabase& db, int count = 3) {
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (0, 'central', NULL)");
    for (int i = 1; i <= count; ++i)
        db.Exec(Format("INSERT INTO pharmacy (id, name, inet_pass) VALUES (%d, 'pharmacy %d', 'pass-%d')", {i, i, i}));
}

// A producer with every text filled.
inline void FillProducer(TProducer& p, const std::string& name) {
    p.SetIsActive(true);
    p.SetProdName(name);
    p.SetAddress("Sofia, 1 Main St");
    p.SetTel("+359 2 123");
    p.SetEmail("office@example.com");
    p.SetTaxNo("123456789");
    p.SetBulstat("987654321");
    p.SetBankName("Bank");
    p.SetBankAccount("ACC-1");
    p.SetBankCode("BNK1");
    p.SetIbanBankCode("BGBNK");
    p.SetIbanBankAccount("BG00BNK12345");
    p.SetIbanVatAccount("BG00VAT12345");
    p.SetVatID("BG123456789");
}

// The error an operation raises ("" when none).
template <class F>
std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// The tagged values an object writes.
inline std::string WireBytes(TNomenclatureObject& obj) {
    TMemoryStream s;
    TNomenclatureObject::SaveToStream(obj, s);
    return s.Bytes();
}

inline void LoadWireBytes(TNomenclatureObject& obj, const std::string& bytes) {
    TMemoryStream s(bytes);
    TNomenclatureObject::LoadFromStream(obj, s);
}

// Object data of a result decoded into an object of the given class.
template <class T>
std::unique_ptr<T> DecodeData(TMemoryStream& data) {
    auto obj = std::make_unique<T>(nullptr);
    data.SetPosition(0);
    TNomenclatureObject::LoadFromCompressedStream(*obj, data);
    return obj;
}

// An actualisation command whose object data are the given tagged-value
// bytes, or an object's.
inline std::unique_ptr<TPharmServerNomActualizationCommand> MakeActualizationOfBytes(
    int32_t code, const std::string& password, const std::string& plain, TNomObjectType type,
    TNomObjectActualizationType kind, const std::string& remark = "") {
    auto c = MakeCommand<TPharmServerNomActualizationCommand>(code, password);
    c->NomObjectType = type;
    c->NomObjectActualizationType = kind;
    c->Remark = remark;
    TMemoryStream s(plain);
    CompressStream(s, c->Data);
    c->Data.SetPosition(0);
    c->PacketSize = c->Data.Size();
    return c;
}
inline std::unique_ptr<TPharmServerNomActualizationCommand> MakeActualization(
    int32_t code, const std::string& password, TNomenclatureObject& obj, TNomObjectType type,
    TNomObjectActualizationType kind, const std::string& remark = "") {
    return MakeActualizationOfBytes(code, password, WireBytes(obj), type, kind, remark);
}

// What a proposal of the given pharmacy stages its object with.
inline TNomUpdateTablePrivateParams UpdateParams(int8_t action, int32_t pharm = 2) {
    TNomUpdateTablePrivateParams p;
    p.PharmID = pharm;
    p.UpdateAction = action;
    p.AppUserID = 0;
    return p;
}

// A private database, a log, and private folders for the object data and
// the SQL pack scripts, which the options point at.
class NomDataFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dataDir = dirs.Path() + "/nomdata";
        sqlDir = dirs.Path() + "/sqlpack";
        ForceDirectories(dataDir);
        ForceDirectories(sqlDir);
        db.EditOptions([&](TOptions& o) {
            o.NomObjectDataDir = dataDir;
            o.SQLCmdFilesFolder = sqlDir;
        });
    }

    int64_t Count(const std::string& sql) { return db.ScalarInt(sql); }

    TestLog log;
    TestDatabase db;
    TempDir dirs;
    std::string dataDir, sqlDir;
    TFaultEnv env;  // the real environment until a test sets a fault
};

// That with three pharmacies and a running service on a port of the
// system's choice.
class ServiceFixture : public NomDataFixture {
protected:
    void SetUp() override {
        NomDataFixture::SetUp();
        SeedPharmacies(db);
        srv = std::make_unique<TZorvelCentralNomSyncServerSrv>(env, 0, "127.0.0.1");
        TTcpServer& listener = NomSyncServiceTestAccess::TcpServer(*srv);
        if (connectionTimeoutMs) listener.ConnectionTimeoutMs = connectionTimeoutMs;
        if (maxConnections) listener.MaxConnections = maxConnections;
        bool started = false;
        srv->ServiceStart(started);
        ASSERT_TRUE(started);
    }
    void TearDown() override {
        if (srv) {
            bool stopped = false;
            srv->ServiceStop(stopped);
            srv.reset();
        }
    }
    // The listener's, when a fixture sets them.
    int connectionTimeoutMs = 0, maxConnections = 0;

    std::unique_ptr<PharmClient> Connect() { return std::make_unique<PharmClient>(srv->BoundPort()); }

    // REQUEST_STATUS of every pharmacy's row of a request, by pharmacy.
    std::map<int, int> Statuses(int64_t requestID) {
        std::map<int, int> m;
        for (auto& row : db.Rows(Format(
                 "SELECT PHARM_ID, REQUEST_STATUS FROM action_request_status WHERE ACTION_REQUEST_ID = %d",
                 {requestID})))
            m[row[0].AsInteger()] = row[1].AsInteger();
        return m;
    }
    std::string IsProcessed(int64_t requestID) {
        return db.ScalarStr(Format("SELECT IS_PROCESSED FROM ACTION_REQUEST WHERE ID = %d", {requestID}));
    }

    std::unique_ptr<TZorvelCentralNomSyncServerSrv> srv;
};

// ---------------------------------------------------------------------------
// Producers, article groups, measure names and suppliers

inline void FillGroup(TArticleGroup& g, const std::string& name) {
    g.NAME = name;
    g.MAX_OVERRATE = Currency::FromRaw(123456);      // 12.3456
    g.DEFAULT_DISCOUNT = Currency::FromRaw(50001);   // 5.0001
    g.TICKET_GROUP = 3;
    g.DEFAULT_NZOK_DISCOUNT = Currency::FromRaw(7);  // 0.0007
    g.CUSTOM_CARDS_DISCOUNT = Currency::FromRaw(-25000);
}

inline void FillMeasureName(TMeasureName& m, const std::string& name) {
    m.ANAME = name;
    m.SHORT_NAME = name.substr(0, 3) + ".";
}

inline void FillSupplier(TSupplier& s, const std::string& sticker, const std::string& name) {
    s.SetSticker(sticker);
    s.SetName(name);
    s.SetDiscountMethod(2);
    s.SetAddress("Varna, 5 Sea St");
    s.SetTel("+359 52 111");
    s.SetTaxNo("1234567890");
    s.SetBulstat("BG12345");
    s.SetBankName("Bank");
    s.SetBankAccount("ACC-2");
    s.SetBranchNo("07");
    s.SetBankAddress("Varna");
    s.SetBankCode("BNK2");
    s.IsTaxRegistered = false;
    s.SetPharmacyCode(4411);
    s.SetIbanBankCode("BGBNK2");
    s.SetIbanBankAccount("BG00BNK2");
    s.SetIbanVatAccount("BG00VAT2");
    s.SetVatID("BG1234567890");
    s.SetEmail("orders@example.com");
    s.IsNZOKSupplier = true;
}

// The four classes with what their tests share.
struct CatalogueClass {
    const char* name;
    TNomObjectType type;
    const char* table;       // central table; the update table is NOM_UPDATE_<table>
    const char* extLetters;  // of the nomenclature data files
    // An object with every field set, named name, ID -1.
    std::function<std::unique_ptr<TNomenclatureObject>(TDMBase*, const std::string& name)> filled;
};

// An object of class T filled by fill(object, name).
template <class T, class F>
std::function<std::unique_ptr<TNomenclatureObject>(TDMBase*, const std::string&)> Filled(F fill) {
    return [fill](TDMBase* dm, const std::string& name) {
        auto o = std::make_unique<T>(dm);
        fill(*o, name);
        return std::unique_ptr<TNomenclatureObject>(std::move(o));
    };
}

inline const std::vector<CatalogueClass>& CatalogueClasses() {
    static const std::vector<CatalogueClass> c = {
        {"TProducer", TNomObjectType::notProducer, "PRODUCER", "P", Filled<TProducer>(FillProducer)},
        {"TArticleGroup", TNomObjectType::notArticleGroup, "ARTICLE_GROUP", "AG", Filled<TArticleGroup>(FillGroup)},
        {"TMeasureName", TNomObjectType::notMeasureName, "MEASURE_NAME", "M", Filled<TMeasureName>(FillMeasureName)},
        {"TSupplier", TNomObjectType::notSupplier, "SUPPLIER", "S",
         Filled<TSupplier>([](TSupplier& s, const std::string& n) { FillSupplier(s, "", n); })},  // always admitted
    };
    return c;
}

inline std::unique_ptr<TNomenclatureObject> NewOf(const CatalogueClass& c, TDMBase* dm) {
    return TNomenclatureObject::GetNomObjectClass(c.type).New(dm);
}

}  // namespace nomsync_test
