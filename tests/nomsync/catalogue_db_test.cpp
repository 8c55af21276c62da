// Catalogue objects against the real database: the central and staged rows
// of producers, article groups, measure names and suppliers with the
// transaction each of them opens or commits; action requests with their
// status rows, deletion by procedure, the SQL pack's scripts, refused
// proposals and the closing of requests.
#include <functional>

#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/log.h"
#include "core/text.h"
#include "nomsync_test_util.h"

using namespace nomsync_test;

namespace {

// Bytes of an object as read back from the database: the supplier's
// Modified flag is not stored, so it is compared as written.
std::string StoredBytes(TNomenclatureObject& read, const TNomenclatureObject& written) {
    if (auto* s = dynamic_cast<TSupplier*>(&read)) s->Modified = dynamic_cast<const TSupplier&>(written).Modified;
    return WireBytes(read);
}

class CatalogueDbTest : public NomDataFixture {
protected:
    // The central row of id read into a new object of the class.
    std::unique_ptr<TNomenclatureObject> Central(const CatalogueClass& c, TDMBase& dm, int32_t id) {
        auto obj = NewOf(c, &dm);
        auto q = dm.OpenQuery(Format("SELECT * FROM %s WHERE ID = %d", {c.table, id}));
        EXPECT_FALSE(q->Eof()) << c.name;
        if (!q->Eof()) obj->LoadFromDataSet(*q);
        return obj;
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Central and staged rows

TEST_F(CatalogueDbTest, InsertReadsBackUpdateAndDeleteApplyAndAVanishedRowIsLeftAlone) {
    TDMBase dm;
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        auto obj = c.filled(&dm, Cp(u8"Първо"));
        std::string msg;
        ASSERT_TRUE(obj->SaveToDB(msg)) << msg;
        EXPECT_EQ(msg, "");
        const int32_t id = obj->ID();
        ASSERT_GT(id, 0);
        EXPECT_EQ(StoredBytes(*Central(c, dm, id), *obj), WireBytes(*obj));  // amounts exact too

        auto changed = c.filled(&dm, Cp(u8"Второ") + " O'Neil \\ \"q\"");
        if (auto* g = dynamic_cast<TArticleGroup*>(changed.get())) g->TICKET_GROUP = 9;
        if (auto* s = dynamic_cast<TSupplier*>(changed.get())) s->SetAddress("");
        changed->SetID(id);
        ASSERT_TRUE(changed->SaveToDB(msg)) << msg;
        auto stored = Central(c, dm, id);
        if (auto* g = dynamic_cast<TArticleGroup*>(stored.get())) {
            // A group's change renames it and nothing else.
            EXPECT_EQ(g->NAME, Cp(u8"Второ") + " O'Neil \\ \"q\"");
            EXPECT_EQ(g->TICKET_GROUP, 3);
        } else {
            EXPECT_EQ(StoredBytes(*stored, *changed), WireBytes(*changed));
        }

        auto ghost = c.filled(&dm, "ghost");
        ghost->SetID(id + 100);
        EXPECT_TRUE(ghost->SaveToDB(msg));
        EXPECT_EQ(db.ScalarStr(Format("SELECT GROUP_CONCAT(NAME) FROM %s", {c.table})),
                  Cp(u8"Второ") + " O'Neil \\ \"q\"");

        EXPECT_TRUE(obj->DeleteFromDB(id));
        EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM %s", {c.table})), 0);
    }
    TSupplier storeless(nullptr);
    EXPECT_FALSE(storeless.DeleteFromDB(1));
}

TEST_F(CatalogueDbTest, StagedProposalWritesTheRequestAndReadsBack) {
    SeedPharmacies(db, 2);
    TDMBase dm;
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        auto obj = c.filled(&dm, "staged");
        obj->SetID(41);
        obj->SaveToUpdateTable(UpdateParams(2));
        const int32_t req = obj->ActionRequestID();
        ASSERT_GT(req, 0);
        EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT(NOM_ID, ACTION_ID, SYNC_REQUIRED, NOM_KEY) FROM ACTION_REQUEST "
                                      "WHERE ID = %d",
                                      {req})),
                  std::to_string(NomIDOf(c.type)) + "2F41");
        EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM action_request_status WHERE ACTION_REQUEST_ID = %d", {req})), 2);
        auto back = NewOf(c, &dm);
        ASSERT_TRUE(back->LoadFromUpdateTable(req));
        EXPECT_EQ(back->ActionRequestID(), req);
        EXPECT_EQ(StoredBytes(*back, *obj), WireBytes(*obj));
        EXPECT_FALSE(back->LoadFromUpdateTable(req + 1000));
        EXPECT_EQ(back->ID(), -1);
        auto fresh = NewOf(c, nullptr);
        if (auto* p = dynamic_cast<TProducer*>(fresh.get())) p->SetIsActive(true);  // kept by Clear
        EXPECT_EQ(StoredBytes(*back, *fresh), WireBytes(*fresh));  // cleared
    }
}

// The supplier and the producer write empty optional texts as NULL (the
// name stays a text) and trim what they read.
TEST_F(CatalogueDbTest, EmptyOptionalTextsAreWrittenAsNullAndTrimmedWhenRead) {
    TDMBase dm;
    TSupplier s(&dm);
    s.SetTaxNo(" 12 ");
    s.Modified = false;
    TProducer p(&dm);
    p.SetTaxNo(" 12 ");
    p.SetBulstat(" 2 ");
    p.SetIsActive(true);
    const struct {
        TNomenclatureObject& obj;
        const char* table;
        const char* columns;
        const char* row;
        const char* readBack;  // TaxNo (producer: |Bulstat|Email|IsActive) as read from the staged row
    } cases[] = {{s, "SUPPLIER",
                  "NAME IS NULL, STICKER IS NULL, ADDRESS IS NULL AND EMAIL IS NULL AND VAT_ID IS NULL, "
                  "IS_TAX_REGISTERED, TAX_NO, IS_NZOK_SUPPLIER, PHARMACY_CODE", "0|0|1|T| 12 |F|-1", "12"},
                 {p, "PRODUCER", "NAME IS NULL, ADDRESS IS NULL AND EMAIL IS NULL AND VAT_ID IS NULL, IS_ACTIVE, TAX_NO, BULSTAT",
                  "0|1|T| 12 | 2 ", "12|2||T"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        std::string msg;
        ASSERT_TRUE(c.obj.SaveToDB(msg)) << msg;
        EXPECT_GT(c.obj.ID(), 0);
        c.obj.SaveToUpdateTable(UpdateParams(1));
        for (const std::string& table : {std::string(c.table), std::string("NOM_UPDATE_") + c.table})
            EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT_WS('|', %s) FROM %s", {c.columns, table})), c.row) << table;
        auto back = TNomenclatureObject::GetNomObjectClass(TNomenclatureObject::NomObjectTypeByClassName(c.obj)).New(&dm);
        ASSERT_TRUE(back->LoadFromUpdateTable(c.obj.ActionRequestID()));
        std::string read;
        if (auto* b = dynamic_cast<TSupplier*>(back.get())) read = b->TaxNo();
        if (auto* b = dynamic_cast<TProducer*>(back.get()))
            read = b->TaxNo() + "|" + b->Bulstat() + "|" + b->Email() + "|" + BoolChars[b->isActive()];
        EXPECT_EQ(read, c.readBack);
    }
    EXPECT_FALSE(s.Modified);  // the new identity is no change of the supplier's
}

TEST_F(CatalogueDbTest, StickerMustBeFreeCentrallyAndAmongPendingProposals) {
    db.Exec("INSERT INTO SUPPLIER (ID, STICKER, NAME) VALUES (8, 'AB', 'a'), (9, 'CD', 'c')");
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, IS_PROCESSED) VALUES "
            "(50, 3, 2, NOW(), 'F'), (51, 3, 2, NOW(), 'T'), (52, 4, 2, NOW(), 'F')");
    db.Exec("INSERT INTO NOM_UPDATE_SUPPLIER (ACTION_REQUEST_ID, ID, STICKER) VALUES (50, 9, 'QQ'), (51, 9, 'PP'), "
            "(52, 9, 'RR')");
    struct Case {
        int32_t id;
        const char* sticker;
        bool admitted;
    };
    const Case cases[] = {
        {-1, "", true},    {-1, "AB", false}, {8, "AB", true},  {9, "AB", false}, {-1, "QQ", false},
        {9, "QQ", true},   {8, "QQ", false},  {-1, "PP", true}, {-1, "RR", true}, {-1, "ZZ", true},
    };
    TDMBase dm;
    for (const auto& c : cases) {
        for (auto kind : {TNomObjectActualizationType::noatInsert, TNomObjectActualizationType::noatUpdate,
                          TNomObjectActualizationType::noatDelete}) {
            SCOPED_TRACE(Format("%d %s %d", {c.id, c.sticker, static_cast<int>(kind)}));
            TSupplier s(&dm);
            s.SetID(c.id);
            s.SetSticker(c.sticker);
            EXPECT_EQ(s.CanActualize(kind), c.admitted);
        }
    }
    db.Exec("DROP TABLE SUPPLIER");
    TSupplier s(&dm);
    EXPECT_TRUE(s.CanActualize(TNomObjectActualizationType::noatInsert));  // an empty sticker asks nothing
    s.SetSticker("AB");
    EXPECT_THROW(s.CanActualize(TNomObjectActualizationType::noatInsert), EDatabaseError);
}

// How a failed save ends, and which saves commit a transaction the caller
// has open (logged in debug mode).
TEST_F(CatalogueDbTest, FailuresAndTheCallersTransaction) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<TNomenclatureObject>(TDMBase&)> make;
        std::function<void(TNomenclatureObject&)> run;
        bool commitsCaller;
        const char* step;
    };
    auto save = [](TNomenclatureObject& o) {
        std::string msg;
        if (!o.SaveToDB(msg)) throw Exception("False: " + msg);
    };
    auto stage = [](TNomenclatureObject& o) { o.SaveToUpdateTable(UpdateParams(2)); };
    auto group = [](TDMBase& dm) { return std::unique_ptr<TNomenclatureObject>(std::make_unique<TArticleGroup>(&dm)); };
    auto mname = [](TDMBase& dm) { return std::unique_ptr<TNomenclatureObject>(std::make_unique<TMeasureName>(&dm)); };
    auto supplier = [](TDMBase& dm) { return std::unique_ptr<TNomenclatureObject>(std::make_unique<TSupplier>(&dm)); };
    const Case cases[] = {
        {"group save", group, save, false, ""},
        {"group stage", group, stage, true, "TArticleGroup.SaveToUpdateTable"},
        {"measure name save", mname, save, true, "TMeasureName.SaveToDB"},
        {"measure name stage", mname, stage, true, "TMeasureName.SaveToUpdateTable"},
        {"supplier save", supplier, save, true, "TSupplier.SaveToDB"},
        {"supplier stage", supplier, stage, false, ""},
    };
    for (bool debug : {false, true}) {
        db.EditOptions([&](TOptions& o) { o.UseDebugMode = debug; });
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (debug ? " (debug)" : ""));
            log.Clear();
            TDMBase dm;
            dm.StartTransaction(TIsolationLevel::ilReadCommitted);
            dm.ExecSQL("INSERT INTO PRODUCER (NAME) VALUES ('caller')");
            auto obj = c.make(dm);
            obj->SetActionRequestID(77);
            c.run(*obj);
            // A second connection sees the caller's row only when it was committed.
            EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PRODUCER"), c.commitsCaller ? 1 : 0);
            const auto lines = log.Messages(obj->ClassName());
            const std::string expected = std::string(c.step) + " commits the open transaction of its caller";
            if (debug && c.commitsCaller)
                EXPECT_EQ(lines, std::vector<std::string>{expected + " (ActionRequestID = 77)"});
            else
                EXPECT_EQ(lines, std::vector<std::string>{});
            dm.RollbackTransaction();
            db.Exec("DELETE FROM PRODUCER");
        }
    }
    db.EditOptions([&](TOptions& o) { o.UseDebugMode = false; });

    // A measure name whose row has vanished commits nothing.
    TDMBase dm;
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    TMeasureName vanished(&dm);
    vanished.SetID(6);
    std::string msg;
    EXPECT_TRUE(vanished.SaveToDB(msg));
    EXPECT_TRUE(dm.InTransaction());
    dm.RollbackTransaction();

    // Failing inserts: the group raises and leaves the transaction to its
    // caller; the measure name rolls back, raises and keeps ID -1; the
    // supplier and the producer roll back and report the failure with its
    // message.
    db.Exec("DROP TABLE ARTICLE_GROUP");
    db.Exec("DROP TABLE MEASURE_NAME");
    db.Exec("DROP TABLE SUPPLIER");
    db.Exec("DROP TABLE PRODUCER");
    auto producer = [](TDMBase& dm) { return std::unique_ptr<TNomenclatureObject>(std::make_unique<TProducer>(&dm)); };
    using Make = std::function<std::unique_ptr<TNomenclatureObject>(TDMBase&)>;
    for (const Make& make : {Make(group), Make(mname), Make(supplier), Make(producer)}) {
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        auto obj = make(dm);
        SCOPED_TRACE(obj->ClassName());
        const bool reports = dynamic_cast<TSupplier*>(obj.get()) || dynamic_cast<TProducer*>(obj.get());
        const bool isGroup = dynamic_cast<TArticleGroup*>(obj.get()) != nullptr;
        msg.clear();
        bool result = true;
        const std::string e = ErrorOf([&] { result = obj->SaveToDB(msg); });
        EXPECT_EQ(e.empty(), reports) << e;
        if (reports) {
            EXPECT_FALSE(result);
            EXPECT_NE(LowerCase1251(msg).find(LowerCase1251(obj->ClassName() + 1)), std::string::npos) << msg;
        }
        EXPECT_EQ(obj->ID(), -1);
        EXPECT_EQ(dm.InTransaction(), isGroup);
        dm.RollbackTransaction();
    }

    // A failing staged row takes the group's and the measure name's action
    // request with it.
    db.Exec("DROP TABLE NOM_UPDATE_ARTICLE_GROUP");
    db.Exec("DROP TABLE NOM_UPDATE_MEASURE_NAME");
    const int64_t requests = Count("SELECT COUNT(*) FROM ACTION_REQUEST");
    for (const Make& make : {Make(group), Make(mname)}) {
        auto obj = make(dm);
        EXPECT_THROW(obj->SaveToUpdateTable(UpdateParams(2)), EDatabaseError) << obj->ClassName();
        EXPECT_FALSE(dm.InTransaction());
    }
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), requests);
}

// A record that cannot be read whole or carries a text too long for its
// column, a packet size that is not the data's, a customer code that is no
// number and a record of another class: answered with an error, nothing stored.
TEST_F(CatalogueDbTest, RefusedProposalsStoreNothing) {
    SeedPharmacies(db, 1);
    TDMBase dm;
    auto refused = [&](TPharmServerNomActualizationCommand& cmd, const char* message /* nullptr: any */) {
        int32_t id = -5;
        std::string msg = "x";
        EXPECT_FALSE(TNomenclatureObject::ProcessNomActualization(dm, cmd, id, msg));
        EXPECT_TRUE(message ? msg == message : msg != "" && msg != "x") << msg;
        EXPECT_EQ(id, 0);
    };
    for (const auto& c : CatalogueClasses()) {
        auto obj = c.filled(nullptr, "bad");
        const std::string whole = WireBytes(*obj);
        if (auto* g = dynamic_cast<TArticleGroup*>(obj.get())) g->NAME = std::string(256, 'g');
        if (auto* m = dynamic_cast<TMeasureName*>(obj.get())) m->SHORT_NAME = std::string(51, 'm');
        if (auto* s = dynamic_cast<TSupplier*>(obj.get())) s->SetBankName(std::string(256, 's'));
        std::vector<std::string> records = {whole.substr(0, whole.size() - 1), whole.substr(0, 3)};
        if (c.type != TNomObjectType::notProducer) records.push_back(WireBytes(*obj));  // its setters cut
        for (const auto& bytes : records) {
            for (auto kind : {TNomObjectActualizationType::noatInsert, TNomObjectActualizationType::noatUpdate}) {
                SCOPED_TRACE(Format("%s %d bytes, kind %d", {c.name, static_cast<int64_t>(bytes.size()),
                                                             static_cast<int>(kind)}));
                refused(*MakeActualizationOfBytes(1, "pass-1", bytes, c.type, kind), nullptr);
            }
        }
    }
    using Cmd = TPharmServerNomActualizationCommand;
    const std::string invalid = Cp(u8"Невалидни данни за актуализация на обект в номенклатурата!");
    const struct {
        const char* what;
        std::function<void(Cmd&)> spoil;
        const char* msg;
    } spoilt[] = {
        {"no packet size", [](Cmd& c) { c.PacketSize = 0; }, invalid.c_str()},
        {"packet size beyond the data", [](Cmd& c) { c.PacketSize = c.Data.Size() + 1; }, invalid.c_str()},
        {"customer code no number", [](Cmd& c) { SetCommandCustomerLines(c, {"CustomerCode=abc"}); }, ""},
        {"record of another class", [](Cmd& c) { c.NomObjectType = TNomObjectType::notArticleGroup; }, nullptr},
    };
    for (const auto& k : spoilt) {
        SCOPED_TRACE(k.what);
        TProducer proposed(nullptr);
        auto cmd = MakeActualization(1, "pass-1", proposed, TNomObjectType::notProducer,
                                     TNomObjectActualizationType::noatInsert);
        k.spoil(*cmd);
        refused(*cmd, k.msg);
    }
    for (const auto& c : CatalogueClasses())
        EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM %s", {c.table})) +
                      Count(Format("SELECT COUNT(*) FROM NOM_UPDATE_%s", {c.table})),
                  0)
            << c.table;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM action_request_status"), 0);
}

// A row without the request column leaves ActionRequestID at -1; one
// without ID is refused.
TEST_F(CatalogueDbTest, LoadFromDataSetTakesTheIdentityAndTheRequest) {
    TDMBase dm;
    TSQLDataPack o(&dm);
    o.SetActionRequestID(5);
    o.LoadFromDataSet(*dm.OpenQuery("SELECT '17' AS ID"));
    EXPECT_EQ(o.ID(), 17);
    EXPECT_EQ(o.ActionRequestID(), -1);
    o.LoadFromDataSet(*dm.OpenQuery("SELECT '3' AS ID, '9' AS action_request_id"));
    EXPECT_EQ(o.ActionRequestID(), 9);
    EXPECT_THROW(o.LoadFromDataSet(*dm.OpenQuery("SELECT 'x' AS NAME")), EDatabaseError);
}

// ---------------------------------------------------------------------------
// Action requests

TEST_F(CatalogueDbTest, SaveToUpdateTableWritesRequestStatusRowsAndStagedRow) {
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (0, 'c', NULL)");
    TDMBase dm;
    TProducer p(&dm);
    // A delete is sync-required; given dates and a destination are kept; no
    // pharmacy above 0: no status rows.
    auto params = UpdateParams(3);
    params.ProcessDate = EncodeDateTime(2026, 12, 5, 18, 5, 9);
    params.ActionDate = EncodeDateTime(2026, 12, 5, 18, 0, 0);
    params.DestPharmID = 7;
    p.SaveToUpdateTable(params);
    int32_t id = p.ActionRequestID();
    EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT_WS('|', SYNC_REQUIRED, PROCESS_DATE, ACTION_DATE, DEST_PHARM_ID) "
                                  "FROM ACTION_REQUEST WHERE ID = %d",
                                  {id})),
              "T|2026-12-05 18:05:09|2026-12-05 18:00:00|7");
    EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM action_request_status WHERE ACTION_REQUEST_ID = %d", {id})), 0);

    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (1, 'a', 'x'), (2, 'b', 'x'), (3, 'c', 'x')");
    p.SetID(44);
    p.SetProdName("P");
    const TDateTime before = Now() - 1.0 / 86400;
    p.SaveToUpdateTable(UpdateParams(2));
    id = p.ActionRequestID();
    ASSERT_GT(id, 0);
    // An empty remark is an empty text; no action date: now; pharmacies
    // above 0 only, all new.
    EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT_WS('|', NOM_ID, ACTION_ID, SYNC_REQUIRED, IS_PROCESSED, "
                                  "CONCAT('[', REMARK, ']'), PHARM_ID, NOM_KEY, PROCESS_DATE IS NULL, USER_ID, "
                                  "DEST_PHARM_ID IS NULL) FROM ACTION_REQUEST WHERE ID = %d",
                                  {id})),
              "4|2|F|F|[]|2|44|1|0|1");
    EXPECT_GE(db.Rows(Format("SELECT ACTION_DATE FROM ACTION_REQUEST WHERE ID = %d", {id}))[0][0].AsDateTime(), before);
    EXPECT_EQ(db.ScalarStr(Format("SELECT GROUP_CONCAT(PHARM_ID, ':', REQUEST_STATUS ORDER BY PHARM_ID) FROM "
                                  "action_request_status WHERE ACTION_REQUEST_ID = %d",
                                  {id})),
              "1:0,2:0,3:0");
    EXPECT_EQ(Count(Format("SELECT COUNT(*) FROM NOM_UPDATE_PRODUCER WHERE ACTION_REQUEST_ID = %d AND ID = 44 "
                           "AND NAME = 'P'",
                           {id})),
              1);
}

TEST_F(CatalogueDbTest, ObjectOutsideTheTableWritesNoRequest) {
    class TArticleMeasureLike : public TProducer {
    public:
        using TProducer::TProducer;
        const char* ClassName() const override { return "TArticleMeasure"; }
    };
    TDMBase dm;
    TArticleMeasureLike o(&dm);
    EXPECT_THROW(o.SaveToUpdateTable(UpdateParams(1)), Exception);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_PRODUCER"), 0);
}

TEST_F(CatalogueDbTest, DeleteByProcedureFallsBackToTheTable) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (7, 'a'), (8, 'b')");
    EXPECT_TRUE(TNomenclatureObject::DeleteByProcedure("TProducer", 7, -1));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 1);
    auto lines = log.Messages("TDMBase");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "before delete from table Producer"), lines.end());
    // With a pharmacy, the condition joins in (PRODUCER has no PHARM_ID: the statement fails and rolls back).
    EXPECT_THROW(TNomenclatureObject::DeleteByProcedure("TProducer", 8, 5), EDatabaseError);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 1);
}

TEST_F(CatalogueDbTest, DeleteByProcedureCallsTheProcedureWhenPresent) {
    // A class name of its own, so that no other database of the server has
    // a procedure of that name.
    db.Exec("CREATE TABLE NomProcDemo (ID INT NOT NULL PRIMARY KEY, PHARM_ID INT NOT NULL)");
    db.ExecScript(
        "DELIMITER //\n"
        "CREATE PROCEDURE SP_DELETE_NOMPROCDEMO(IN AID INT, IN APHARM_ID INT, IN ARES CHAR(1))\n"
        "BEGIN\n"
        "  DELETE FROM NomProcDemo WHERE ID = AID AND PHARM_ID = APHARM_ID;\n"
        "  SELECT AID AS AID, APHARM_ID AS APHARM_ID, IF(ROW_COUNT() > 0, 'T', 'F') AS ARES;\n"
        "END //\n"
        "DELIMITER ;\n");
    db.Exec("INSERT INTO NomProcDemo VALUES (7, 5), (8, 5)");
    EXPECT_TRUE(TNomenclatureObject::DeleteByProcedure("TNomProcDemo", 7, 5));
    EXPECT_FALSE(TNomenclatureObject::DeleteByProcedure("TNomProcDemo", 8, 6));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NomProcDemo"), 1);
    auto lines = log.Messages("TDMBase");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "before execute sprocedure SP_DELETE_NomProcDemo"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "after execute procedure SP_DELETE_NomProcDemo"), lines.end());
}

TEST_F(CatalogueDbTest, DeleteByProcedurePassesOnTheCallsErrorWhenTheRollbackFailsToo) {
    // The procedure ends its own connection: the call fails, and the
    // rollback after it cannot reach the server either.
    db.Exec("CREATE TABLE NomKillDemo (ID INT NOT NULL PRIMARY KEY)");
    db.ExecScript(
        "DELIMITER //\n"
        "CREATE PROCEDURE SP_DELETE_NOMKILLDEMO(IN AID INT, IN ARES CHAR(1))\n"
        "BEGIN\n"
        "  KILL CONNECTION_ID();\n"
        "  SELECT AID AS AID, 'T' AS ARES;\n"
        "END //\n"
        "DELIMITER ;\n");
    try {
        TNomenclatureObject::DeleteByProcedure("TNomKillDemo", 7, -1);
        ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
        // The server's answer to the call, not the lost connection that the
        // rollback met afterwards.
        const std::string what = e.what();
        EXPECT_NE(what.find("Connection was killed"), std::string::npos) << what;
        EXPECT_EQ(what.find("Lost connection"), std::string::npos) << what;
    }
}

// ---------------------------------------------------------------------------
// SQL pack

TEST_F(CatalogueDbTest, SQLPackRunsCentralStatementsBetweenMarkers) {
    TDMBase dm;
    TSQLDataPack pack(&dm);
    pack.SQLMy = {"INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID, LOCAL_ID) VALUES (1, 1);/*stmt_lim*/",
                  "INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID, LOCAL_ID) VALUES (2, 2);", "/*stmt_lim*/", "  "};
    std::string msg;
    ASSERT_TRUE(pack.SaveToDB(msg)) << msg;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PAYMENT_CENTRAL"), 2);

    pack.SQLMy = {"INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID) VALUES (3);/*stmt_lim*/", "NOT SQL AT ALL"};
    EXPECT_FALSE(pack.SaveToDB(msg));
    EXPECT_FALSE(msg.empty());
    // Without a transaction what ran before the failure stays.
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PAYMENT_CENTRAL"), 3);
}

TEST_F(CatalogueDbTest, SQLPackStagesItsScriptsInFilesAndReadsThemBack) {
    SeedPharmacies(db, 2);
    TDMBase dm;
    TSQLDataPack pack(&dm);
    pack.Remark = "pack";
    pack.SQLFB = {"UPDATE X SET Y = 1;", Cp(u8"-- коментар")};
    pack.SQLMy = {"SELECT 1"};
    auto params = UpdateParams(1);
    params.Remark = "pack";
    pack.SaveToUpdateTable(params);
    const int32_t id = pack.ActionRequestID();
    EXPECT_EQ(TempDir::Read(sqlDir + Format("/fb_%d.sql", {id})), "UPDATE X SET Y = 1;\r\n" + Cp(u8"-- коментар") + "\r\n");
    EXPECT_EQ(TempDir::Read(sqlDir + Format("/my_%d.sql", {id})), "SELECT 1\r\n");
    EXPECT_EQ(db.ScalarInt(Format("SELECT NOM_ID FROM ACTION_REQUEST WHERE ID = %d", {id})), 6);

    TSQLDataPack back(&dm);
    ASSERT_TRUE(back.LoadFromUpdateTable(id));
    EXPECT_EQ(back.Remark, "pack");
    EXPECT_EQ(back.SQLFB, pack.SQLFB);
    EXPECT_EQ(back.SQLMy, pack.SQLMy);

    // A missing script file fails the load.
    std::remove((sqlDir + Format("/my_%d.sql", {id})).c_str());
    EXPECT_THROW(back.LoadFromUpdateTable(id), EInOutError);
}

TEST_F(CatalogueDbTest, SQLPackWithSystemCommandHandsOutTheCommandOnly) {
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, REMARK, SYS_CMD) "
            "VALUES (31, 6, 1, NOW(), 'pay', 'PAY:1:2:3:4:5:6')");
    TDMBase dm;
    TSQLDataPack pack(&dm);
    ASSERT_TRUE(pack.LoadFromUpdateTable(31));  // no files needed
    EXPECT_EQ(pack.SQLFB, (TStringLines{"/* <zvl_command>PAY:1:2:3:4:5:6</zvl_command> */"}));
    EXPECT_TRUE(pack.SQLMy.empty());
    EXPECT_EQ(pack.Remark, "pay");
}

// ---------------------------------------------------------------------------
// Closing

TEST_F(CatalogueDbTest, UpdateWithoutStagedRowInsertsNothing) {
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, NOM_KEY) VALUES (40, 4, 2, NOW(), 3)");
    TDMBase dm;
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 40));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 0);
    auto lines = log.Messages("TObject");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ActionID: 2 AFinalStatus: T");
    EXPECT_NE(lines[1].find("ActionRequestID = 40"), std::string::npos) << lines[1];
}

TEST_F(CatalogueDbTest, ClosingWithABadTypeNumberFailsAndIsLogged) {
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, NOM_KEY) VALUES (41, 9, 3, NOW(), 3)");
    TDMBase dm;
    EXPECT_FALSE(TNomenclatureObject::FinalizeActionRequest(dm, 41));
    // A missing request reads as type 0 and fails the same way.
    EXPECT_FALSE(TNomenclatureObject::FinalizeActionRequest(dm, 4242));
    auto lines = log.Messages("TObject");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find("FinalizeActionRequest failed for ActionRequestID = 41"), std::string::npos);
    EXPECT_NE(lines[3].find("ActionRequestID = 4242"), std::string::npos);
}

TEST_F(CatalogueDbTest, RefusedInsertIsUndoneAndAcceptedDeleteApplied) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (3, 'a'), (4, 'b')");
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, NOM_KEY) VALUES "
            "(50, 4, 1, NOW(), 3), (51, 4, 3, NOW(), 4), (52, 4, 3, NOW(), 4)");
    db.Exec("INSERT INTO action_request_status VALUES (50, 1, 4, NOW()), (50, 2, 5, NOW()), "
            "(51, 1, 5, NOW()), (52, 1, 4, NOW())");
    TDMBase dm;
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 52));  // refused delete: nothing
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER WHERE ID = 4"), 1);
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 50));  // refused insert: undone
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER WHERE ID = 3"), 0);
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 51));  // accepted delete
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 0);
    auto lines = log.Messages("TObject");
    EXPECT_EQ(lines, (std::vector<std::string>{"ActionID: 3 AFinalStatus: F", "ActionID: 1 AFinalStatus: F",
                                               "DeleteFromDB: 3", "ActionID: 3 AFinalStatus: T", "DeleteFromDB: 4"}));
}
