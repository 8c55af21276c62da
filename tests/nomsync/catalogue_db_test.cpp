// Catalogue objects against the real database: the central and staged rows
// of producers, article groups, measure names and suppliers with the
// transaction each of them opens or commits; refused proposals, deletion by
// procedure and the closing of requests; an article's staged proposal with
// its temporary measures, renamed measures and the admission checks.
#include <cstdio>
#include <functional>
#include <tuple>

#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/log.h"
#include "core/text.h"
#include "nomsync/article/article_measure.h"
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
    // The central row of id read into a new object of the class (a row
    // without a request takes none).
    std::unique_ptr<TNomenclatureObject> Central(const CatalogueClass& c, TDMBase& dm, int32_t id) {
        auto obj = NewOf(c, &dm);
        obj->SetActionRequestID(5);
        auto q = dm.OpenQuery(Format("SELECT * FROM %s WHERE ID = %d", {c.table, id}));
        EXPECT_FALSE(q->Eof()) << c.name;
        if (!q->Eof()) obj->LoadFromDataSet(*q);
        return obj;
    }
    // "ARTICLE_ID/MEASURE_NAME_ID/FACTOR/IS_ATOMIC" of the MEASURE rows by FACTOR.
    std::vector<std::string> Measures(const std::string& where) {
        std::vector<std::string> out;
        for (auto& r : db.Rows("SELECT CONCAT_WS('/', ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) FROM MEASURE "
                               "WHERE " + where + " ORDER BY FACTOR, ID"))
            out.push_back(r[0].AsString());
        return out;
    }
    TDMBase dm;
};

using V = std::vector<std::string>;

}  // namespace

// ---------------------------------------------------------------------------
// Central and staged rows

TEST_F(CatalogueDbTest, InsertReadsBackUpdateAndDeleteApplyAndAVanishedRowIsLeftAlone) {
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        auto obj = c.filled(&dm, Cp(u8"Първо"));
        std::string msg;
        ASSERT_TRUE(obj->SaveToDB(msg)) << msg;
        EXPECT_EQ(msg, "");
        const int32_t id = obj->ID();
        ASSERT_GT(id, 0);
        auto first = Central(c, dm, id);
        EXPECT_EQ(StoredBytes(*first, *obj), WireBytes(*obj));  // amounts exact too
        EXPECT_EQ(first->ActionRequestID(), -1);

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

TEST_F(CatalogueDbTest, StagedProposalReadsBackAndAMissingOneClears) {
    SeedPharmacies(db, 2);
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        auto obj = c.filled(&dm, "staged");
        obj->SetID(41);
        obj->SaveToUpdateTable(UpdateParams(2));
        const int32_t req = obj->ActionRequestID();
        ASSERT_GT(req, 0);
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
    // Empty optional texts are written as NULL, centrally and staged; texts
    // are trimmed when read back.
    TSupplier s(&dm), sBack(&dm);
    s.SetTaxNo(" 12 ");
    s.Modified = false;
    TProducer p(&dm), pBack(&dm);
    p.SetTaxNo(" 12 ");
    p.SetBulstat(" 2 ");
    p.SetIsActive(true);
    const std::tuple<TNomenclatureObject*, const char*, const char*, const char*> nulls[] = {
        {&s, "SUPPLIER", "NAME IS NULL, STICKER IS NULL, ADDRESS IS NULL AND EMAIL IS NULL AND VAT_ID IS NULL, "
                         "IS_TAX_REGISTERED, TAX_NO, IS_NZOK_SUPPLIER, PHARMACY_CODE", "0|0|1|T| 12 |F|-1"},
        {&p, "PRODUCER", "NAME IS NULL, ADDRESS IS NULL AND EMAIL IS NULL AND VAT_ID IS NULL, IS_ACTIVE, TAX_NO, "
                         "BULSTAT", "0|1|T| 12 | 2 "}};
    for (const auto& [obj, table, columns, row] : nulls) {
        std::string msg;
        ASSERT_TRUE(obj->SaveToDB(msg)) << msg;
        obj->SaveToUpdateTable(UpdateParams(1));
        for (const std::string t : {"", "NOM_UPDATE_"})
            EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT_WS('|', %s) FROM %s%s WHERE ID = %d",
                                          {columns, t, table, obj->ID()})), row) << t << table;
    }
    EXPECT_FALSE(s.Modified);  // the new identity is no change of the supplier's
    ASSERT_TRUE(sBack.LoadFromUpdateTable(s.ActionRequestID()) && pBack.LoadFromUpdateTable(p.ActionRequestID()));
    EXPECT_EQ(sBack.TaxNo() + "|" + pBack.TaxNo() + "|" + pBack.Bulstat() + "|" + pBack.Email() + "|" +
                  BoolChars[pBack.isActive()], "12|12|2||T");
    // The base reads ID, which a row must have, and ACTION_REQUEST_ID in any letter case.
    TProducer base(&dm);
    base.TNomenclatureObject::LoadFromDataSet(*dm.OpenQuery("SELECT 3 AS ID, 9 AS action_request_id"));
    EXPECT_EQ(Format("%d %d", {base.ID(), base.ActionRequestID()}), "3 9");
    EXPECT_THROW(base.TNomenclatureObject::LoadFromDataSet(*dm.OpenQuery("SELECT 'x' AS NAME")), EDatabaseError);
}

// How a failed save ends, and which saves commit a transaction the caller
// has open (logged in debug mode).
TEST_F(CatalogueDbTest, FailuresAndTheCallersTransaction) {
    using T = TNomObjectType;
    const struct {
        T type;
        bool stage;  // else save
        bool commitsCaller;
        const char* step;
    } cases[] = {
        {T::notArticleGroup, false, false, ""}, {T::notArticleGroup, true, true, "TArticleGroup.SaveToUpdateTable"},
        {T::notMeasureName, false, true, "TMeasureName.SaveToDB"},
        {T::notMeasureName, true, true, "TMeasureName.SaveToUpdateTable"},
        {T::notSupplier, false, true, "TSupplier.SaveToDB"}, {T::notSupplier, true, false, ""},
    };
    for (bool debug : {false, true}) {
        db.EditOptions([&](TOptions& o) { o.UseDebugMode = debug; });
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.step) + (debug ? " (debug)" : ""));
            log.Clear();
            TDMBase dm;
            dm.StartTransaction(TIsolationLevel::ilReadCommitted);
            dm.ExecSQL("INSERT INTO PRODUCER (NAME) VALUES ('caller')");
            auto obj = TNomenclatureObject::GetNomObjectClass(c.type).New(&dm);
            obj->SetActionRequestID(77);
            std::string msg;
            if (c.stage)
                obj->SaveToUpdateTable(UpdateParams(2));
            else
                EXPECT_TRUE(obj->SaveToDB(msg)) << msg;
            // A second connection sees the caller's row only when it was committed.
            EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM PRODUCER"), c.commitsCaller ? 1 : 0);
            const std::string expected = std::string(c.step) + " commits the open transaction of its caller";
            if (debug && c.commitsCaller)
                EXPECT_EQ(log.Messages(obj->ClassName()),
                          std::vector<std::string>{expected + " (ActionRequestID = 77)"});
            else
                EXPECT_EQ(log.Messages(obj->ClassName()), std::vector<std::string>{});
            dm.RollbackTransaction();
            db.Exec("DELETE FROM PRODUCER");
        }
    }

    // A measure staged as new commits as well, first for its temporary
    // MEASURE row; one with a central ID makes none.
    log.Clear();
    TArticleMeasure m(&dm);
    m.MEASURE_NAME_ID = 4;
    m.SetActionRequestID(9);
    for (int32_t id : {-3, 15}) {
        m.SetID(id);
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        m.SaveToUpdateTable(TNomUpdateTablePrivateParams());
        EXPECT_FALSE(dm.InTransaction());
    }
    const std::string temp = db.ScalarStr("SELECT GROUP_CONCAT(ID) FROM MEASURE WHERE MEASURE_NAME_ID = 4");
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(ID, '/', TEMP_ID ORDER BY ID) FROM NOM_UPDATE_MEASURE"),
              "-3/" + temp + ",15/0");
    const std::string commits = " commits the open transaction of its caller (ActionRequestID = 9)";
    EXPECT_EQ(log.Messages("TArticleMeasure"), (V{"Temporary measure" + commits,
                                                  "getNewTempMeasureID: Insert measures... " + temp,
                                                  "Staged measure" + commits}));

    // A measure name whose row has vanished commits nothing of its caller's.
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    TMeasureName vanished(&dm);
    vanished.SetID(6);
    std::string vanishedMsg;
    EXPECT_TRUE(vanished.SaveToDB(vanishedMsg));
    EXPECT_TRUE(dm.InTransaction());
    dm.RollbackTransaction();

    // Failing inserts: the group raises and leaves the transaction to its
    // caller; the measure name rolls back, raises and keeps ID -1; the
    // supplier and the producer roll back and report the failure with its
    // message.
    for (const auto& c : CatalogueClasses()) db.Exec(std::string("DROP TABLE ") + c.table);
    for (const auto& c : CatalogueClasses()) {
        SCOPED_TRACE(c.name);
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        auto obj = NewOf(c, &dm);
        const bool reports = c.type == T::notSupplier || c.type == T::notProducer;
        std::string msg;
        bool result = true;
        const std::string e = ErrorOf([&] { result = obj->SaveToDB(msg); });
        EXPECT_EQ(e.empty(), reports) << e;
        if (reports) {
            EXPECT_FALSE(result);
            EXPECT_NE(LowerCase1251(msg).find(LowerCase1251(obj->ClassName() + 1)), std::string::npos) << msg;
        }
        EXPECT_EQ(obj->ID(), -1);
        EXPECT_EQ(dm.InTransaction(), c.type == T::notArticleGroup);
        dm.RollbackTransaction();
    }

    // A staged row that cannot be written takes the group's and the measure
    // name's action request with it.
    const int64_t requests = Count("SELECT COUNT(*) FROM ACTION_REQUEST");
    for (T type : {T::notArticleGroup, T::notMeasureName}) {
        auto obj = TNomenclatureObject::GetNomObjectClass(type).New(&dm);
        db.Exec(std::string("DROP TABLE NOM_UPDATE_") + (type == T::notMeasureName ? "MEASURE_NAME" : "ARTICLE_GROUP"));
        EXPECT_THROW(obj->SaveToUpdateTable(UpdateParams(2)), EDatabaseError) << obj->ClassName();
        EXPECT_FALSE(dm.InTransaction());
    }
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), requests);
}

// The action request a staging writes, as its parameters give it: an empty
// remark as an empty text, no action date as the current time, a process
// date and a destination kept, one new status row per pharmacy above 0 (none
// without such pharmacies); SYNC_REQUIRED for a delete and for an article
// update that changes measures. An object outside the class table writes none.
TEST_F(CatalogueDbTest, StagingWritesTheActionRequestItsParametersGive) {
    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (0, 'central', NULL)");
    auto request = [&](int32_t id) {
        return db.ScalarStr(Format(
            "SELECT CONCAT_WS('|', CONCAT(NOM_ID, ACTION_ID, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY), "
            "IFNULL(DATE_FORMAT(ACTION_DATE, '%%Y-%%m-%%d %%H:%%i:%%s'), 'NULL'), "
            "IFNULL(DATE_FORMAT(PROCESS_DATE, '%%Y-%%m-%%d %%H:%%i:%%s'), 'NULL'), IFNULL(DEST_PHARM_ID, 'NULL'), "
            "IFNULL(REMARK, 'NULL'), PHARM_ID, USER_ID, (SELECT GROUP_CONCAT(PHARM_ID, ':', REQUEST_STATUS ORDER BY "
            "PHARM_ID) FROM action_request_status WHERE ACTION_REQUEST_ID = %d)) FROM ACTION_REQUEST WHERE ID = %d",
            {id, id}));
    };
    TProducer p(&dm);
    p.SetID(44);
    p.SetProdName("P");
    auto params = UpdateParams(3);
    params.ActionDate = EncodeDateTime(2026, 12, 5, 18, 0, 0);
    params.ProcessDate = EncodeDateTime(2026, 12, 5, 18, 5, 9);
    params.DestPharmID = 7;
    params.Remark = "r";
    p.SaveToUpdateTable(params);
    EXPECT_EQ(request(p.ActionRequestID()), "43TF44|2026-12-05 18:00:00|2026-12-05 18:05:09|7|r|2|0");

    db.Exec("INSERT INTO pharmacy (id, name, inet_pass) VALUES (1, 'a', 'x'), (2, 'b', 'y'), (3, 'c', 'z')");
    // Whole seconds of the coarse clock: up to a second behind Now(), so two seconds' slack.
    const TDateTime before = Now() - 2.0 / 86400;
    p.SaveToUpdateTable(UpdateParams(2));
    const int32_t id = p.ActionRequestID();
    EXPECT_EQ(request(id).substr(0, 6), "42FF44");
    EXPECT_EQ(request(id).substr(26), "|NULL|NULL||2|0|1:0,2:0,3:0");
    EXPECT_GE(db.Rows(Format("SELECT ACTION_DATE FROM ACTION_REQUEST WHERE ID = %d", {id}))[0][0].AsDateTime(), before);

    for (bool measures : {false, true}) {
        TArticle a(&dm);
        a.SetID(5);
        a.SetMeasuresModified(measures);
        a.SaveToUpdateTable(UpdateParams(2));
        EXPECT_EQ(request(a.ActionRequestID()).substr(0, 5), std::string("12") + (measures ? "T" : "F") + "F5");
    }

    class TOutside : public TProducer {
    public:
        using TProducer::TProducer;
        const char* ClassName() const override { return "TArticleMeasure"; }
    } outside(&dm);
    const int64_t requests = Count("SELECT COUNT(*) FROM ACTION_REQUEST");
    EXPECT_THROW(outside.SaveToUpdateTable(UpdateParams(1)), Exception);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), requests);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_PRODUCER"), 2);
}

// A record that cannot be read whole or carries a text too long for its
// column, a packet size that is not the data's, a customer code that is no
// number and a record of another class: answered with an error, nothing stored.
TEST_F(CatalogueDbTest, RefusedProposalsStoreNothing) {
    SeedPharmacies(db, 1);
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

// An SQL pack runs its central script statement by statement, without a
// transaction: a failing statement ends the run with False and its message,
// what ran before it stays. Staged, its scripts go to two files (lines ended
// by CR LF) and read back with the request's remark; a missing file fails
// the load.
TEST_F(CatalogueDbTest, SQLPackRunsItsCentralScriptAndStagesBothScriptsInFiles) {
    TSQLDataPack pack(&dm);
    pack.SQLMy = {"INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID, LOCAL_ID) VALUES (1, 1);/*stmt_lim*/",
                  "INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID, LOCAL_ID) VALUES (2, 2);", "/*stmt_lim*/", "  "};
    std::string msg;
    ASSERT_TRUE(pack.SaveToDB(msg)) << msg;
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PAYMENT_CENTRAL"), 2);
    pack.SQLMy = {"INSERT INTO PAYMENT_CENTRAL (ACTION_REQUEST_ID) VALUES (3);/*stmt_lim*/", "NOT SQL AT ALL"};
    EXPECT_FALSE(pack.SaveToDB(msg));
    EXPECT_NE(msg, "");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PAYMENT_CENTRAL"), 3);

    SeedPharmacies(db, 2);
    pack.Remark = "own";
    pack.SQLFB = {"UPDATE X SET Y = 1;", Cp(u8"-- коментар")};
    pack.SQLMy = {"SELECT 1"};
    auto params = UpdateParams(1);
    params.Remark = "pack";
    pack.SaveToUpdateTable(params);
    const int32_t id = pack.ActionRequestID();
    EXPECT_EQ(TempDir::Read(sqlDir + Format("/fb_%d.sql", {id})),
              "UPDATE X SET Y = 1;\r\n" + Cp(u8"-- коментар") + "\r\n");
    EXPECT_EQ(TempDir::Read(sqlDir + Format("/my_%d.sql", {id})), "SELECT 1\r\n");
    EXPECT_EQ(db.ScalarInt(Format("SELECT NOM_ID FROM ACTION_REQUEST WHERE ID = %d", {id})), 6);
    TSQLDataPack back(&dm);
    ASSERT_TRUE(back.LoadFromUpdateTable(id));
    EXPECT_EQ(back.Remark, "pack");
    EXPECT_EQ(back.SQLFB, pack.SQLFB);
    EXPECT_EQ(back.SQLMy, pack.SQLMy);
    std::remove((sqlDir + Format("/my_%d.sql", {id})).c_str());
    EXPECT_THROW(back.LoadFromUpdateTable(id), EInOutError);
}

// ---------------------------------------------------------------------------
// Deletion by procedure and the closing of requests

// The class's table when it has no procedure, else the procedure; a call
// that fails reports the server's answer to it, not the lost connection the
// rollback after it meets.
TEST_F(CatalogueDbTest, DeleteByProcedure) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (7, 'a'), (8, 'b')");
    EXPECT_TRUE(TNomenclatureObject::DeleteByProcedure("TProducer", 7, -1));
    // With a pharmacy, the condition joins in (PRODUCER has no PHARM_ID: the statement fails and rolls back).
    EXPECT_THROW(TNomenclatureObject::DeleteByProcedure("TProducer", 8, 5), EDatabaseError);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 1);
    // With a table that has PHARM_ID, the pharmacy condition selects the row.
    db.Exec("CREATE TABLE NomPharmDemo (ID INT NOT NULL, PHARM_ID INT NOT NULL)");
    db.Exec("INSERT INTO NomPharmDemo VALUES (7, 5), (7, 6), (8, 5), (8, 6)");
    EXPECT_TRUE(TNomenclatureObject::DeleteByProcedure("TNomPharmDemo", 7, 5));
    EXPECT_TRUE(TNomenclatureObject::DeleteByProcedure("TNomPharmDemo", 8, -1));
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(ID, '/', PHARM_ID) FROM NomPharmDemo"), "7/6");
    // Class names of their own, so that no other database of the server has
    // procedures of those names.
    db.Exec("CREATE TABLE NomProcDemo (ID INT NOT NULL PRIMARY KEY, PHARM_ID INT NOT NULL)");
    db.Exec("INSERT INTO NomProcDemo VALUES (7, 5), (8, 5)");
    db.ExecScript(
        "DELIMITER //\n"
        "CREATE PROCEDURE SP_DELETE_NOMPROCDEMO(IN AID INT, IN APHARM_ID INT, IN ARES CHAR(1))\n"
        "BEGIN\n"
        "  DELETE FROM NomProcDemo WHERE ID = AID AND PHARM_ID = APHARM_ID;\n"
        "  SELECT AID AS AID, APHARM_ID AS APHARM_ID, IF(ROW_COUNT() > 0, 'T', 'F') AS ARES;\n"
        "END //\n"
        "CREATE PROCEDURE SP_DELETE_NOMKILLDEMO(IN AID INT, IN ARES CHAR(1))\n"
        "BEGIN\n"
        "  KILL CONNECTION_ID();\n"
        "  SELECT AID AS AID, 'T' AS ARES;\n"
        "END //\n"
        "DELIMITER ;\n");
    EXPECT_TRUE(TNomenclatureObject::DeleteByProcedure("TNomProcDemo", 7, 5));
    EXPECT_FALSE(TNomenclatureObject::DeleteByProcedure("TNomProcDemo", 8, 6));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NomProcDemo"), 1);
    auto lines = log.Messages("TDMBase");
    for (const char* l : {"before delete from table Producer", "before execute sprocedure SP_DELETE_NomProcDemo",
                          "after execute procedure SP_DELETE_NomProcDemo"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), l), lines.end()) << l;
    const std::string e = ErrorOf([] { TNomenclatureObject::DeleteByProcedure("TNomKillDemo", 7, -1); });
    EXPECT_NE(e.find("Connection was killed"), std::string::npos) << e;
    EXPECT_EQ(e.find("Lost connection"), std::string::npos) << e;
}

// A refused delete leaves the row, a refused insert is undone, an accepted
// delete applied; a type number outside the catalogue, or a missing request
// (read as type 0), fails and is logged; an update without its staged row
// inserts nothing.
TEST_F(CatalogueDbTest, ClosingAppliesTheOutcome) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (3, 'a'), (4, 'b')");
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, NOM_KEY) VALUES "
            "(50, 4, 1, NOW(), 3), (51, 4, 3, NOW(), 4), (52, 4, 3, NOW(), 4), (41, 9, 3, NOW(), 3), "
            "(40, 4, 2, NOW(), 3)");
    db.Exec("INSERT INTO action_request_status VALUES (50, 1, 4, NOW()), (50, 2, 5, NOW()), "
            "(51, 1, 5, NOW()), (52, 1, 4, NOW())");
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 52));  // refused delete: nothing
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER WHERE ID = 4"), 1);
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 50));  // refused insert: undone
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER WHERE ID = 3"), 0);
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 51));  // accepted delete
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 0);
    EXPECT_FALSE(TNomenclatureObject::FinalizeActionRequest(dm, 41));
    EXPECT_FALSE(TNomenclatureObject::FinalizeActionRequest(dm, 4242));
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 40));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 0);
    const auto lines = log.Messages("TObject");
    ASSERT_EQ(lines.size(), 11u) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
              (std::vector<std::string>{"ActionID: 3 AFinalStatus: F", "ActionID: 1 AFinalStatus: F",
                                        "DeleteFromDB: 3", "ActionID: 3 AFinalStatus: T", "DeleteFromDB: 4"}));
    EXPECT_NE(lines[6].find("FinalizeActionRequest failed for ActionRequestID = 41"), std::string::npos);
    EXPECT_NE(lines[8].find("ActionRequestID = 4242"), std::string::npos);
    EXPECT_EQ(lines[9], "ActionID: 2 AFinalStatus: T");
    EXPECT_NE(lines[10].find("ActionRequestID = 40"), std::string::npos) << lines[10];
}

// ---------------------------------------------------------------------------
// Articles

TEST_F(CatalogueDbTest, ArticleStagedInsertLoadsBackWithTemporaryMeasures) {
    SeedPharmacies(db, 2);
    TArticle a(&dm);
    FillArticle(a, "Aspirin", "380001", "NZ1", 30);
    a.SetID(12);
    a.SetMAX_OVERRATE(100);
    AddSubstitute(a, 0, 40, "s", true);
    a.SaveToUpdateTable(UpdateParams(1, 1));
    const int32_t R = a.ActionRequestID();
    ASSERT_GT(R, 0);
    EXPECT_FALSE(a.Modified || a.IS_INVENTORISED());
    EXPECT_EQ(a.SALE_DEFAULT_MEASURE_ID(), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM action_request_status"), 2);
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT_WS('|', ID, SALE_DEFAULT_MEASURE_ID, IS_INVENTORISED, DIRECT_SALE_MARGE, "
                           "QUANTITY_LEFT_DIRECT_SALE IS NULL) FROM NOM_UPDATE_ARTICLE"),
              "12|32|F|0|1");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_ARTICLE_NZOK WHERE NZOK_CODE = 'NZ1'"), 1);
    // Every measure is staged as new, with a temporary MEASURE row.
    EXPECT_EQ(Count("SELECT COUNT(*) FROM NOM_UPDATE_MEASURE WHERE ID = 0 AND TEMP_ID > 0"), 3);
    EXPECT_EQ(Measures("ARTICLE_ID = 0"), (V{"0/1/1/F", "0/2/10/F", "0/3/100/T"}));
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT_WS('|', ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) FROM "
                           "NOM_UPDATE_SUBSTITUDE_ARTICLE"),
              "0|12|40");

    db.Exec(Format("UPDATE NOM_UPDATE_ARTICLE SET MAX_OVERRATE = 120 WHERE ACTION_REQUEST_ID = %d", {R}));
    db.Exec(Format("UPDATE NOM_UPDATE_ARTICLE_NZOK SET MIN_AGE = -2.345 WHERE ACTION_REQUEST_ID = %d", {R}));
    TArticle b(&dm);
    ASSERT_TRUE(b.LoadFromUpdateTable(R));
    EXPECT_EQ(b.ID(), 12);
    EXPECT_EQ(b.MAX_OVERRATE(), 100);
    EXPECT_EQ(b.SalePriceLimit(), "12.50");
    EXPECT_EQ(b.MIN_AGE(), -2.35);
    EXPECT_TRUE(b.HasNzokData && b.MeasuresModified() && b.Modified);
    const int64_t firstTemp = Count("SELECT MIN(TEMP_ID) FROM NOM_UPDATE_MEASURE");
    EXPECT_EQ(b.PackMeasureID(), firstTemp);
    EXPECT_EQ(b.AtomicMeasureFactor(), 100);
    ASSERT_EQ(b.Substitudes().GetCount(), 1);
    EXPECT_EQ(b.Substitudes().Items[0]->RowID, 0);

    // No staged article: cleared, but the staged measures still count.
    TArticle none(&dm);
    db.Exec(Format("UPDATE NOM_UPDATE_ARTICLE SET ACTION_REQUEST_ID = 999 WHERE ACTION_REQUEST_ID = %d", {R}));
    EXPECT_FALSE(none.LoadFromUpdateTable(R));
    EXPECT_EQ(none.ID(), -1);
    EXPECT_TRUE(none.MeasuresModified());
}

// Saved in full, an article binds NULL for empty optional texts and for a
// drug type foreign to it; saved for its measure names only, every changed
// measure is renamed; a temporary measure of a name the article already has
// is dropped; new substitute links are stored.
TEST_F(CatalogueDbTest, ArticleNullsRenamedMeasuresTemporaryMeasuresAndSubstitutes) {
    const std::tuple<bool, int32_t, const char*> drugTypes[] = {
        {true, 3, "NULL"}, {false, 1, "NULL"}, {true, 2, "2"}, {true, 1, "1"}};
    for (const auto& [isDrug, drugType, stored] : drugTypes) {
        TArticle a(&dm);
        a.SetIS_DRUG(isDrug);
        a.SetDRUG_TYPE_ID(drugType);
        std::string msg;
        ASSERT_TRUE(a.SaveToDB(msg)) << msg;
        EXPECT_FALSE(a.Modified);  // set by the writers, cleared by the save
        EXPECT_EQ(db.ScalarStr(Format("SELECT CONCAT_WS('|', IFNULL(DRUG_TYPE_ID, 'NULL'), NAME = '', CYR_NAME = '', "
                                      "GENERICA IS NULL AND ATC_CODE IS NULL AND ACTIVE_QUANTITY IS NULL AND "
                                      "DESCRIPTION IS NULL AND BARCODE1 IS NULL AND BARCODE2 IS NULL) FROM ARTICLE "
                                      "WHERE ID = %d",
                                      {a.ID()})),
                  std::string(stored) + "|1|1|1")
            << drugType;
    }
    db.Exec("INSERT INTO ARTICLE (ID, NAME) VALUES (5, 'a');"
            "INSERT INTO MEASURE (ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) VALUES "
            "(11, 5, 1, 1, 'F'), (12, 5, 2, 10, 'F'), (13, 5, 3, 50, 'T')");
    TArticle a(&dm);
    a.SetID(5);
    a.UpdateMeasureNamesOnly = true;
    AddMeasure(a, 11, 7, 99, "T", "");
    AddMeasure(a, 12, 8, 10, "F", "");
    a.SetMeasuresModified(true);
    std::string msg;
    ASSERT_TRUE(a.SaveToDB(msg)) << msg;
    EXPECT_EQ(Measures("ARTICLE_ID = 5"), (V{"5/7/1/F", "5/8/10/F", "5/3/50/T"}));

    db.Exec("INSERT INTO MEASURE (ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) VALUES (40, 0, 7, 1, 'F');"
            "INSERT INTO NOM_UPDATE_MEASURE VALUES (7, 0, 5, 7, 1, 'F', 40)");
    TArticle t(&dm);
    t.SetID(5);
    t.SetActionRequestID(7);
    t.SetNewMeasuresFromTempMeasures();
    EXPECT_EQ(Count("SELECT COUNT(*) FROM MEASURE WHERE ID = 40"), 0);
    const auto lines = log.Messages("TArticle");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Measure with ArticleID = 0 has been deleted!\rdelete from measure where id = 40"),
              lines.end());

    // A new link to a substitute gets a central identity; a stored one is not written again.
    TArticle linked(&dm);
    AddSubstitute(linked, 100, 41, "pharmacy's own row id", true);
    AddSubstitute(linked, 7, 42, "stored", false);
    ASSERT_TRUE(linked.SaveToDB(msg)) << msg;
    const auto& items = linked.Substitudes().Items;
    EXPECT_EQ(Format("%d %d", {items[0]->RowID, items[1]->RowID}),
              db.ScalarStr("SELECT GROUP_CONCAT(ID) FROM SUBSTITUDE_ARTICLE") + " 7");
}

TEST_F(CatalogueDbTest, CanActualizeRefusesClashesAndPendingDeletes) {
    db.Exec("INSERT INTO ARTICLE (ID, NAME, BARCODE1, BARCODE2) VALUES (1, 'a', 'B1', 'B2');"
            "INSERT INTO ARTICLE_NZOK (ID, NZOK_CODE) VALUES (1, 'NZ1');"
            "INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, IS_PROCESSED) VALUES (50, 1, 2, NOW(), 'F');"
            "INSERT INTO NOM_UPDATE_ARTICLE (ACTION_REQUEST_ID, ID, BARCODE1) VALUES (50, 2, 'PB');"
            "INSERT INTO NOM_UPDATE_ARTICLE_NZOK (ACTION_REQUEST_ID, ID, NZOK_CODE) VALUES (50, 2, 'PNZ');"
            "INSERT INTO MEASURE_NAME (ID, NAME) VALUES (6, 'm');"
            "INSERT INTO PRODUCER (ID, NAME) VALUES (8, 'p');"
            "INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, NOM_KEY) "
            "VALUES (60, 5, 3, NOW(), 'T', 'F', 6), (61, 4, 3, NOW(), 'T', 'F', 8);"
            "INSERT INTO action_request_status VALUES (60, 1, 0, NOW()), (61, 1, 0, NOW())");
    using K = TNomObjectActualizationType;
    const struct {
        const char* what;
        int32_t id;
        const char* b1;
        const char* nzok;
        int32_t measureName, producer;
        K kind;
        bool ok;
    } cases[] = {
        {"free insert", -1, "X", "NZX", 1, 0, K::noatInsert, true},
        {"barcode 1 is another's barcode 2", -1, "B2", "", 1, 0, K::noatInsert, false},
        {"own barcode on update", 1, "B1", "", 1, 0, K::noatUpdate, true},
        {"another's barcode on update", 3, "B1", "", 1, 0, K::noatUpdate, true},
        {"NZOK code of another", -1, "X", "NZ1", 1, 0, K::noatInsert, false},
        {"NZOK code of another on delete", 3, "", "NZ1", 1, 0, K::noatDelete, false},
        {"own NZOK code", 1, "", "NZ1", 1, 0, K::noatUpdate, true},
        {"barcode of a pending proposal", 3, "PB", "", 1, 0, K::noatUpdate, false},
        {"pending proposal of the same article", 2, "PB", "PNZ", 1, 0, K::noatUpdate, true},
        {"NZOK code of a pending proposal", -1, "", "PNZ", 1, 0, K::noatInsert, false},
        {"measure name about to be deleted", -1, "", "", 6, 0, K::noatInsert, false},
        {"producer about to be deleted", -1, "", "", 1, 8, K::noatInsert, false},
        {"pending deletes do not bind updates", 3, "", "", 6, 8, K::noatUpdate, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TArticle a(&dm);
        a.SetID(c.id);
        a.SetCYR_NAME("cyr");
        a.SetBARCODE1(c.b1);
        a.SetNZOK_CODE(c.nzok);
        a.SetPRODUCER_ID(c.producer);
        AddMeasure(a, 1, c.measureName, 1, "T", "");
        EXPECT_EQ(a.CanActualize(c.kind), c.ok);
    }
    // A measure name or producer still used by an article does not block.
    db.Exec("INSERT INTO MEASURE (ARTICLE_ID, MEASURE_NAME_ID) VALUES (1, 6); UPDATE ARTICLE SET PRODUCER_ID = 8");
    TArticle a(&dm);
    AddMeasure(a, 1, 6, 1, "T", "");
    a.SetPRODUCER_ID(8);
    EXPECT_TRUE(a.CanActualize(K::noatInsert));
    // A supplier's sticker must be free centrally and among the pending
    // supplier proposals (neither processed ones nor other classes' count),
    // its own rows excepted.
    db.Exec("INSERT INTO SUPPLIER (ID, STICKER, NAME) VALUES (8, 'AB', 'a'), (9, 'CD', 'c');"
            "INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, IS_PROCESSED) VALUES "
            "(70, 3, 2, NOW(), 'F'), (71, 3, 2, NOW(), 'T'), (72, 4, 2, NOW(), 'F');"
            "INSERT INTO NOM_UPDATE_SUPPLIER (ACTION_REQUEST_ID, ID, STICKER) VALUES (70, 9, 'QQ'), (71, 9, 'PP'), "
            "(72, 9, 'RR')");
    for (const auto& [id, sticker, ok] :
         {std::tuple{-1, "", true}, {-1, "AB", false}, {8, "AB", true}, {9, "AB", false}, {-1, "QQ", false},
          {9, "QQ", true}, {8, "QQ", false}, {-1, "PP", true}, {-1, "RR", true}}) {
        for (K kind : {K::noatInsert, K::noatUpdate, K::noatDelete}) {  // the same rule for every kind
            TSupplier s(&dm);
            s.SetID(id);
            s.SetSticker(sticker);
            EXPECT_EQ(s.CanActualize(kind), ok) << id << sticker << static_cast<int>(kind);
        }
    }
    // An empty sticker asks nothing; a sticker query that fails passes its error on.
    db.Exec("DROP TABLE SUPPLIER");
    TSupplier unchecked(&dm);
    EXPECT_TRUE(unchecked.CanActualize(K::noatInsert));
    unchecked.SetSticker("AB");
    EXPECT_THROW(unchecked.CanActualize(K::noatInsert), EDatabaseError);
    auto lines = log.Messages("TArticle");
    for (std::u8string_view l : {u8"Неуспешно създаване на заявка за добавяне на стока \"cyr\", защото съществува друга "
                                 u8"стока в номенклатурата с баркод 1 или баркод 2 = \"B2\"!",
                                 u8"Съществува заявка за изтриване с код 60 на мярка (ID=6), която е една от мерките на "
                                 u8"стоката, която желаете да добавите!"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), Cp(l)), lines.end()) << Cp(l);
}
