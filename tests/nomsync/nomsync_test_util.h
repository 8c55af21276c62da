// Helpers of the catalogue synchronisation tests: a pharmacy client over a
// real socket, commands as a pharmacy's client fills them, a running service
// on a private database, and the producer, article group, measure name,
// supplier and article with every field set, their wire bytes, and proposals
// made of raw bytes.
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

#include "core/cp1251.h"
#include "core/files.h"
#include "core/format.h"
#include "nomsync/article/article.h"
#include "nomsync/article/article_substitudes.h"
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

// A call whose reply must be of class R; fails the test and raises otherwise.
template <class R>
std::unique_ptr<R> Ask(PharmClient& c, const TComponent& cmd) {
    c.Send(cmd);
    std::unique_ptr<TComponent> r = c.Receive();
    if (!r || &r->ClassInfo() != &R::StaticClassInfo()) {
        ADD_FAILURE() << "unexpected reply class " << (r ? r->ClassName() : "(none)");
        throw std::runtime_error("no reply of the expected class");
    }
    return std::unique_ptr<R>(static_cast<R*>(r.release()));
}
inline int LoginFlag(PharmClient& c, int32_t code, const std::string& password) {
    return AuthorizedFlag(*Ask<TPharmServerLoginResult>(c, *MakeCommand<TPharmServerLoginCommand>(code, password)));
}
inline std::unique_ptr<TPharmServerNomActualizationResult> Refresh(PharmClient& c, int32_t code,
                                                                   const std::string& password) {
    return Ask<TPharmServerNomActualizationResult>(c, *MakeCommand<TPharmServerRefreshDataCommand>(code, password));
}
inline std::unique_ptr<TPharmServerConfirmActionResult> Confirm(PharmClient& c, int32_t code,
                                                                const std::string& password, int64_t requestID,
                                                                TCentralSyncAction action, bool checkResult = true,
                                                                const std::string& responseText = "") {
    auto cmd = MakeCommand<TPharmServerConfirmActionCommand>(code, password);
    cmd->ActionRequestID = static_cast<int32_t>(requestID);
    cmd->CentralSyncAction = action;
    cmd->CheckResult = checkResult;
    cmd->ResponseText = responseText;
    return Ask<TPharmServerConfirmActionResult>(c, *cmd);
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

// ---------------------------------------------------------------------------
// Articles: an article with every value set, its measures and its substitutes

inline void AddMeasure(TArticle& a, int32_t id, int32_t nameID, int32_t factor, const char* atomic,
                       const std::string& name) {
    TNVMemTable& t = a.MeasuresTable();
    if (!t.Active()) t.Open();
    t.AppendRecord({Variant(id), Variant(a.ID()), Variant(nameID), Variant(factor), Variant(atomic), Variant(name)});
}

inline void AddSubstitute(TArticle& a, int32_t rowID, int32_t articleID, const std::string& name, bool isNew) {
    auto link = TArticleSubstitude::CreateOwned(a.DM(), &a.Substitudes());
    link->RowID = rowID;
    link->ArticleID = articleID;
    link->CyrName = name;
    link->IsNew = isNew;
    a.Substitudes().Items.push_back(std::move(link));
}

// Every value set (no NZOK part when nzokCode is empty); three measures of
// FACTOR 1, 10 and 100 with IDs base+1.. and measure names 1..3.
inline void FillArticle(TArticle& a, const std::string& name, const std::string& barcode,
                        const std::string& nzokCode = "", int32_t base = 0) {
    a.SetIS_SALABLE(false);
    a.SetGROUP_ID(3);
    a.SetPRODUCER_ID(4);
    a.SetSALE_DEFAULT_MEASURE_ID(base + 2);
    a.SetSHELF_ID(1);
    a.SetANAME(name);
    a.SetCYR_NAME(Cp(u8"Кир ") + name);
    a.SetGENERICA("gen");
    a.SetATC_CODE("N02BE01");
    a.SetACTIVE_QUANTITY("500 mg");
    a.SetDESCRIPTION("desc");
    a.SetVAT(9);
    a.SetMAX_OVERRATE(25.5);
    a.SetBASE_PRICE(10);
    a.SetMIN_RESERVE(2);
    a.SetMAX_RESERVE(20);
    a.SetMIN_RESERVE_MEASURE_ID(base + 1);
    a.SetIS_DRUG(true);
    a.SetDRUG_TYPE_ID(2);
    a.SetIS_MINISTRY_PRICE(true);
    a.SetIS_INVENTORISED(true);
    a.SetBARCODE1(barcode);
    a.SetBARCODE2(barcode.empty() ? "" : barcode + "-2");
    a.SetPRINT_BARCODE(true);
    a.SetAUTO_DELIVERY_MEASURE_ID(base + 3);
    a.SetDEFAULT_DISCOUNT(5);
    a.SetWITH_PRESCRIPTION_ONLY(true);
    a.SetDEFAULT_DIRECT_SALE_PRICE(Currency::FromString("12.3456"));
    a.SetDEFAULT_NZOK_SALE_PRICE(Currency::FromString("11.5"));
    a.SetIS_MEDICINE(true);
    a.SetDIRECT_SALE_MAX_PRICE(13.25);
    a.SetNZOK_CODE(nzokCode);
    a.HasNzokData = !nzokCode.empty();
    if (a.HasNzokData) {
        a.SetPRESCRIPTION_TYPE_ID(2);
        a.SetNZOK_GROUP(7);
        a.SetQUANTITY_PER_PACK(30);
        a.SetMAX_PRICE(9.5);
        a.SetREINBURSEMENT(4.25);
        a.SetMAX_PRICE_OLD(9);
        a.SetREINBURSEMENT_OLD(4);
        a.SetMIN_RESERVE_NZOK(3);
        a.SetMAX_RESERVE_NZOK(30);
        a.SetMIN_RESERVE_NZOK_MEASURE_ID(base + 1);
        a.SetNZOK_SHELF_ID(1);
        a.SetIS_FREE(true);
        a.SetHAS_STICKER(false);
        a.SetIS_DIVISIBLE(true);
        a.SetDAY_DOSE_ALLOWED(Currency::FromString("1.5"));
        a.SetIS_ACTIVE(false);
        a.SetIS_STANDALONE(true);
        a.SetIS_CONTROLLED_DOSE(true);
        a.SetMIN_AGE(2.5);
        a.SetMAX_AGE(80);
        a.SetDEFAULT_DISCOUNT_NZOK(3);
        a.SetPRESCRIPTION_PERIOD(30);
        a.SetPRODUCT_GROUP_ID(2);
        a.SetMEDICAL_ARTICLE_TYPE_ID(1);
        a.SetIS_FULLY_PAID(true);
    }
    a.SetADDITINAL_INFO("info");
    a.SetSHOW_ADDITIONAL_INFO_IN_DIRECT_SALE(true);
    a.SetSHOW_ADDITIONAL_INFO_IN_SALE_NZOK(true);
    AddMeasure(a, base + 1, 1, 1, "F", Cp(u8"кутия"));
    AddMeasure(a, base + 2, 2, 10, "F", Cp(u8"блистер"));
    AddMeasure(a, base + 3, 3, 100, "T", Cp(u8"таблетка"));
    a.SetMeasuresModified(true);
}

}  // namespace nomsync_test
