// Catalogue objects against the real database: action requests with their
// status rows, the SQL pack's scripts, proposals and the closing of requests.
#include <sys/stat.h>

#include <functional>

#include <gtest/gtest.h>

#include "core/cp1251.h"
#include "core/db/dm_base.h"
#include "core/log.h"
#include "nomsync_test_util.h"

using namespace nomsync_test;

using NomDbTest = NomDataFixture;

// A row without the request column leaves ActionRequestID at -1; one
// without ID is refused.
TEST_F(NomDbTest, LoadFromDataSetTakesTheIdentityAndTheRequest) {
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

TEST_F(NomDbTest, SaveToUpdateTableWritesRequestStatusRowsAndStagedRow) {
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

TEST_F(NomDbTest, ObjectOutsideTheTableWritesNoRequest) {
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

TEST_F(NomDbTest, DeleteByProcedureFallsBackToTheTable) {
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (7, 'a'), (8, 'b')");
    EXPECT_TRUE(TNomenclatureObject::DeleteByProcedure("TProducer", 7, -1));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 1);
    auto lines = log.Messages("TDMBase");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "before delete from table Producer"), lines.end());
    // With a pharmacy, the condition joins in (PRODUCER has no PHARM_ID: the statement fails and rolls back).
    EXPECT_THROW(TNomenclatureObject::DeleteByProcedure("TProducer", 8, 5), EDatabaseError);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 1);
}

TEST_F(NomDbTest, DeleteByProcedureCallsTheProcedureWhenPresent) {
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

TEST_F(NomDbTest, DeleteByProcedurePassesOnTheCallsErrorWhenTheRollbackFailsToo) {
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

TEST_F(NomDbTest, SQLPackRunsCentralStatementsBetweenMarkers) {
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

TEST_F(NomDbTest, SQLPackStagesItsScriptsInFilesAndReadsThemBack) {
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

TEST_F(NomDbTest, SQLPackWithSystemCommandHandsOutTheCommandOnly) {
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
// Proposals

// A packet size that is not the data's, a customer code that is no number
// and a record of another class are refused before anything is stored.
TEST_F(NomDbTest, RefusedProposalsStoreNothing) {
    SeedPharmacies(db, 1);
    using Cmd = TPharmServerNomActualizationCommand;
    const std::string invalid = Cp(u8"Невалидни данни за актуализация на обект в номенклатурата!");
    struct Case {
        const char* what;
        std::function<void(Cmd&)> spoil;
        const char* msg;  // nullptr: any message
    };
    const Case cases[] = {
        {"no packet size", [](Cmd& c) { c.PacketSize = 0; }, invalid.c_str()},
        {"packet size beyond the data", [](Cmd& c) { c.PacketSize = c.Data.Size() + 1; }, invalid.c_str()},
        {"customer code no number", [](Cmd& c) { SetCommandCustomerLines(c, {"CustomerCode=abc"}); }, ""},
        {"record of another class", [](Cmd& c) { c.NomObjectType = TNomObjectType::notArticleGroup; }, nullptr},
    };
    TDMBase dm;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        TProducer proposed(nullptr);
        auto cmd = MakeActualization(1, "pass-1", proposed, TNomObjectType::notProducer,
                                     TNomObjectActualizationType::noatInsert);
        k.spoil(*cmd);
        int32_t id = -5;
        std::string msg = "x";
        EXPECT_FALSE(TNomenclatureObject::ProcessNomActualization(dm, *cmd, id, msg));
        if (k.msg)
            EXPECT_EQ(msg, k.msg);
        else
            EXPECT_TRUE(msg != "" && msg != "x") << msg;
        EXPECT_EQ(id, 0);
        EXPECT_EQ(Count("SELECT COUNT(*) FROM ACTION_REQUEST"), 0);
        EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 0);
    }
}

// ---------------------------------------------------------------------------
// Closing

TEST_F(NomDbTest, UpdateWithoutStagedRowInsertsNothing) {
    db.Exec("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, NOM_KEY) VALUES (40, 4, 2, NOW(), 3)");
    TDMBase dm;
    EXPECT_TRUE(TNomenclatureObject::FinalizeActionRequest(dm, 40));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM PRODUCER"), 0);
    auto lines = log.Messages("TObject");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ActionID: 2 AFinalStatus: T");
    EXPECT_NE(lines[1].find("ActionRequestID = 40"), std::string::npos) << lines[1];
}

TEST_F(NomDbTest, ClosingWithABadTypeNumberFailsAndIsLogged) {
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

TEST_F(NomDbTest, RefusedInsertIsUndoneAndAcceptedDeleteApplied) {
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
