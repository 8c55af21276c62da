// The database data module against the real test instance.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

#include "core/cp1251.h"
#include "core/datetime.h"
#include "core/db/dm_base.h"
#include "core/db/dm_unit.h"
#include "core/db/env_vars.h"
#include "core/env/env.h"
#include "core/env/posix_env.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "core/options.h"
#include "support/expect_raises.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

namespace {

class DMBaseTest : public ::testing::Test {
protected:
    // The current row as "NAME=value|..." (null as "null"), or its field
    // types as "NAME:ftType(size,precision)|...".
    static std::string Row(TQuery& q, bool types = false) {
        std::string out;
        for (int i = 0; i < q.FieldCount(); ++i) {
            const TField& f = q.Fields(i);
            out += (i ? "|" : "") + f.FieldName() + (types ? ":" : "=");
            if (types)
                out += FieldTypeName(f.DataType()) + ("(" + std::to_string(f.Size()) + "," +
                                                      std::to_string(f.Precision()) + ")");
            else
                out += f.IsNull() ? "null" : f.AsString();
        }
        return out;
    }
    int64_t Count(const std::string& table) { return db.ScalarInt("SELECT COUNT(*) FROM " + table); }

    TestDatabase db;
    TestLog log;
};

// An environment whose options name another default database.
class OtherDatabaseEnv : public TEnvWrapper {
public:
    explicit OtherDatabaseEnv(std::string name) : TEnvWrapper(TEnv::Default()), name_(std::move(name)) {}
    std::shared_ptr<const TOptions> Options() override {
        auto o = std::make_shared<TOptions>(*TEnvWrapper::Options());
        o->DataBaseName = name_;
        return o;
    }

private:
    std::string name_;
};

TEST_F(DMBaseTest, ConnectsInCodePage1251WithNonStrictModeWithTheOptionsOfItsEnvironment) {
    TDMBase dm;
    ASSERT_TRUE(dm.Connected()) << dm.LastError();
    EXPECT_EQ(dm.LastError(), "");
    EXPECT_EQ(dm.DataBaseName(), db.Name());
    EXPECT_EQ(VarToStr(dm.GetScalar("SELECT CONCAT_WS(' ', @@character_set_client, @@character_set_connection, "
                                    "@@character_set_results, @@session.sql_mode, DATABASE())")),
              "cp1251 cp1251 cp1251 NO_ENGINE_SUBSTITUTION " + db.Name());
    EXPECT_EQ(&TDMBase().Env(), &TEnv::Default());
    EXPECT_EQ(&TEnv::Default().ConnectDatabase()->Env(), &TEnv::Default());
    OtherDatabaseEnv env("information_schema");
    auto other = env.ConnectDatabase();
    EXPECT_EQ(&other->Env(), &env);
    EXPECT_EQ(VarToStr(other->GetScalar("SELECT DATABASE()")), "information_schema");
}

TEST_F(DMBaseTest, ServerDownLeavesLastErrorAndRaisesAtFirstQuery) {
    DefaultPosixEnv().SetDatabasePort(1);  // nothing listens there
    TDMBase dm;
    DefaultPosixEnv().SetDatabasePort(db.Port());
    EXPECT_FALSE(dm.Connected());
    EXPECT_EQ(dm.LastErrorNumber(), 2006u);
    ExpectRaises<EDatabaseError>([&] { dm.OpenQuery("SELECT 1"); }, dm.LastError());
    EXPECT_THROW(dm.ExecSQL("SELECT 1"), EDatabaseError);
    EXPECT_THROW(dm.StartTransaction(TIsolationLevel::ilReadCommitted), EDatabaseError);
    // Nothing open: these do nothing.
    EXPECT_NO_THROW(dm.CommitTransaction());
    EXPECT_NO_THROW(dm.RollbackTransaction());
    // Quoting works without a connection, the same way.
    EXPECT_EQ(dm.QuoteString(std::string("it's \\ \0\n", 9)), "'it\\'s \\\\ \\0\\n'");
    // The production port is 3306 unless the tests say otherwise.
    DefaultPosixEnv().SetDatabasePort(0);
    EXPECT_EQ(TEnv::Default().DatabasePort(), 3306);
    DefaultPosixEnv().SetDatabasePort(db.Port());
}

TEST_F(DMBaseTest, TransactionsReadCommittedRowsASecondStartCommitsTheFirstAndEndingNoneDoesNothing) {
    TDMBase dm;
    EXPECT_EQ(dm.StartTransaction(TIsolationLevel::ilReadCommitted), 1);
    EXPECT_EQ(VarToInt64Def(dm.GetScalar("SELECT COUNT(*) FROM pharmacy"), -1), 0);
    db.Exec("INSERT INTO pharmacy (id) VALUES (1)");  // committed by another connection
    // Under repeatable read the first read's snapshot would still show 0.
    EXPECT_EQ(VarToInt64Def(dm.GetScalar("SELECT COUNT(*) FROM pharmacy"), -1), 1);
    dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (2)");
    EXPECT_EQ(Count("pharmacy"), 1);  // not visible elsewhere yet
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    EXPECT_EQ(Count("pharmacy"), 2);  // committed by the second start
    dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (3)");
    dm.RollbackTransaction();
    EXPECT_FALSE(dm.InTransaction());
    // Without a transaction, commit and rollback do nothing; a second commit neither.
    dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (4)");
    EXPECT_NO_THROW(dm.RollbackTransaction());
    EXPECT_NO_THROW(dm.CommitTransaction());
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (5)");
    dm.CommitTransaction();
    dm.CommitTransaction();
    EXPECT_EQ(Count("pharmacy"), 4);
}

// A quiet rollback ends the transaction whatever happened to the connection.
TEST_F(DMBaseTest, AConnectionLostInATransactionFailsThePlainRollbackOnly) {
    TDMBase quiet, plain;
    for (TDMBase* dm : {&quiet, &plain}) {
        dm->StartTransaction(TIsolationLevel::ilReadCommitted);
        dm->ExecSQL("INSERT INTO pharmacy (id) VALUES (" + std::to_string(dm == &quiet ? 1 : 2) + ")");
        db.Exec("KILL CONNECTION " + VarToStr(dm->GetScalar("SELECT CONNECTION_ID()")));
    }
    EXPECT_NO_THROW(quiet.RollbackTransactionQuietly());
    EXPECT_FALSE(quiet.InTransaction());
    EXPECT_THROW(plain.RollbackTransaction(), EDatabaseError);
    EXPECT_EQ(Count("pharmacy"), 0);  // the server discarded the rows
}

// Parameters in quotes and comments are left alone by the parser (its own tests).
TEST_F(DMBaseTest, TextParametersRoundTripByteForByte) {
    TDMBase dm;
    const std::vector<std::string> texts = {
        "O'Brien \\ \"quoted\" '); DROP TABLE pharmacy; -- ",
        Cp(u8"Аптека „Здраве“ №1 – София"),
        std::string("tab\tnew\nline\rcr\x1a" "end"),
        "trailing backslash \\",
        ":NOT_A_PARAM inside a value",
        std::string("nul\0byte", 8),
    };
    int id = 0;
    for (const auto& t : texts) {
        auto q = dm.CreateQuery("INSERT INTO pharmacy (id, name, inet_pass) VALUES (:ID, :NAME, :NAME)");
        dm.SetParams(*q, {"ID", "NAME"}, {TFieldType::ftInteger, TFieldType::ftString},
                     {Variant(int32_t(++id)), Variant(t)});
        EXPECT_EQ(q->ExecSQL(), 1);
        auto r = dm.CreateQuery("SELECT name, inet_pass FROM pharmacy WHERE name = :NAME");
        dm.SetParam(*r, "NAME", TFieldType::ftString, Variant(t));
        r->Open();
        EXPECT_EQ(Row(*r), "name=" + t + "|inet_pass=" + t);
    }
    EXPECT_EQ(Count("pharmacy"), static_cast<int64_t>(texts.size()));
    // The Cyrillic text is stored as cp1251 bytes.
    EXPECT_EQ(db.ScalarStr("SELECT HEX(name) FROM pharmacy WHERE id = 2").substr(0, 12), "C0EFF2E5EAE0");
    // Several rows change through one statement; a statement without rows cannot be opened.
    auto u = dm.CreateQuery("UPDATE pharmacy SET name = :N WHERE id > :ID");
    dm.SetParams(*u, {"N", "ID"}, {TFieldType::ftString, TFieldType::ftInteger}, {Variant("z"), Variant(int32_t(4))});
    EXPECT_EQ(u->ExecSQL(), 2);
    EXPECT_THROW(dm.OpenQuery("UPDATE pharmacy SET name = 'y' WHERE id = 1"), EDatabaseError);
}

TEST_F(DMBaseTest, TypedParametersBindNumbersDatesAndNull) {
    TDMBase dm;
    auto q = dm.CreateQuery(
        "SELECT :I AS I, :L AS L, :F AS F, :C AS C, :D AS D, :S AS S, :N AS N, :B AS B, :U AS U, :V AS V");
    dm.SetParam(*q, "I", TFieldType::ftInteger, Variant(int32_t(-2147483647 - 1)));
    dm.SetParam(*q, "L", TFieldType::ftLargeint, Variant(int64_t(9007199254740993LL)));
    dm.SetParam(*q, "F", TFieldType::ftFloat, Variant(0.1));
    dm.SetParam(*q, "C", TFieldType::ftCurrency, Variant(Currency::FromRaw(-123456789012345LL)));
    dm.SetParam(*q, "D", TFieldType::ftDateTime, Variant::FromDate(EncodeDateTime(2026, 12, 5, 18, 5, 9)));
    dm.SetParam(*q, "S", TFieldType::ftString, Variant(int32_t(42)));
    dm.SetParam(*q, "N", TFieldType::ftInteger, Variant::Null());
    dm.SetParam(*q, "B", TFieldType::ftBoolean, Variant(true));
    // U never set: NULL. V typed by its value.
    q->ParamByName("V").Value = Variant(int64_t(7));
    EXPECT_EQ(q->ExpandedSQL(),
              "SELECT -2147483648 AS I, 9007199254740993 AS L, 0.1 AS F, -12345678901.2345 AS C, "
              "'2026-12-05 18:05:09' AS D, '42' AS S, NULL AS N, 1 AS B, NULL AS U, 7 AS V");
    q->Open();
    EXPECT_EQ(Row(*q), "I=-2147483648|L=9007199254740993|F=0.1|C=-12345678901.2345|D=2026-12-05 18:05:09|S=42|"
                       "N=null|B=1|U=null|V=7");
    dm.SetParam(*q, "F", TFieldType::ftFloat, Variant(std::numeric_limits<double>::infinity()));
    EXPECT_THROW(q->Open(), EDatabaseError);  // a non-finite float is refused
    auto ins = dm.CreateQuery("INSERT INTO ACTION_REQUEST (NOM_ID, ACTION_ID, ACTION_DATE) VALUES (1, 1, :ACTION_DATE)");
    dm.SetDateTimeParam(*ins, "ACTION_DATE", EncodeDateTime(2026, 12, 5, 18, 5, 9));
    EXPECT_EQ(ins->ParamByName("ACTION_DATE").DataType, TFieldType::ftString);
    EXPECT_EQ(ins->ParamByName("ACTION_DATE").Value.AsString(), "2026-12-05 18:05:09");
    ins->ExecSQL();
    auto r = dm.OpenQuery("SELECT ACTION_DATE FROM ACTION_REQUEST");
    EXPECT_EQ(r->Fields(0).DataType(), TFieldType::ftDateTime);
    EXPECT_EQ(r->Fields(0).AsDateTime(), EncodeDateTime(2026, 12, 5, 18, 5, 9));
}

// A repeated name, in any letter case, is one parameter: the parser's tests.
TEST_F(DMBaseTest, ParameterNamesAndLists) {
    TDMBase dm;
    // An unknown name raises; unequal lists assert before anything is set.
    auto q = dm.CreateQuery("SELECT :A, :B");
    EXPECT_THROW(dm.SetParam(*q, "C", TFieldType::ftInteger, Variant(int32_t(1))), EDatabaseError);
    try {
        dm.SetParams(*q, {"A", "B"}, {TFieldType::ftInteger}, {Variant(int32_t(1)), Variant(int32_t(2))});
        ADD_FAILURE() << "unequal lists were accepted";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Assertion failure (DMBaseUnit.pas, line ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(q->ParamByName("A").Value.IsEmpty());
}

// The connection's mode cuts over-long text and takes an empty text as 0
// instead of failing; tables resolve in any letter case.
TEST_F(DMBaseTest, OverLongTextIsCutAndTableNamesResolveInEitherLetterCase) {
    TDMBase dm;
    dm.ExecSQL("INSERT INTO PRODUCER (NAME, TAX_NO) VALUES ('" + std::string(150, 'n') + "', '12345678901234')");
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT(LENGTH(NAME), ' ', TAX_NO) FROM PRODUCER"), "100 1234567890");
    dm.ExecSQL("INSERT INTO pharmacy (id, last_archive_num) VALUES (1, '')");
    EXPECT_EQ(db.ScalarInt("SELECT last_archive_num FROM pharmacy"), 0);
    dm.ExecSQL("INSERT INTO ACTION_REQUEST (NOM_ID, ACTION_ID, ACTION_DATE) VALUES (1, 1, NOW())");
    dm.ExecSQL("INSERT INTO `ACTION_REQUEST_STATUS` SELECT 1, P.ID, 0, CURRENT_TIMESTAMP FROM PHARMACY P");
    const struct { const char* sql; int64_t want; } counts[] = {
        {"select count(*) from action_request_status", 1}, {"select count(*) from Action_Request", 1},
        {"select count(*) from NOM_UPDATE_ARTICLE_INFO", 0}};
    for (const auto& c : counts) EXPECT_EQ(VarToInt64Def(dm.GetScalar(c.sql), -1), c.want) << c.sql;
    EXPECT_EQ(dm.GetRowCount("ACTION_REQUEST_status"), 1);
}

// An environment without options fails the data module's assertion, which
// names the data module's unit; the environment variables without a data
// module name theirs.
TEST(DMBase, NoOptionsFailTheAssertionOfItsUnit) {
    struct NoOptionsEnv : TEnvWrapper {
        NoOptionsEnv() : TEnvWrapper(TEnv::Default()) {}
        std::shared_ptr<const TOptions> Options() override { return nullptr; }
    } env;
    try {
        TDMBase dm(env);
        ADD_FAILURE() << "created without options";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Options not assigned! (DMBaseUnit.pas, line ", 0), 0u) << e.what();
    }
    try {
        TZVL2EnvironmentVariables vars(nullptr, "");
        ADD_FAILURE() << "loaded without a data module";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Data module not assigned! (VantrellEnvVars.pas, line ", 0), 0u)
            << e.what();
    }
}

TEST_F(DMBaseTest, FieldTypesSizesAndValuesComeFromTheResult) {
    TDMBase dm;
    db.Exec("INSERT INTO ARTICLE (ID, NAME, CYR_NAME, IS_DRUG, DESCRIPTION, VAT, DEFAULT_DIRECT_SALE_PRICE) "
            "VALUES (5, 'Aspirin', 'x', 'T', NULL, 20.5, 1.2345)");
    auto q = dm.OpenQuery("SELECT ID, NAME, IS_DRUG, DESCRIPTION, VAT, DEFAULT_DIRECT_SALE_PRICE, GENERICA, "
                          "COUNT(*) OVER () AS TOTAL, CAST('2026-12-05' AS DATE) AS D, CAST('18:05:09' AS TIME) AS T, "
                          "CAST('2026-12-05 18:05:09' AS DATETIME) AS DT, CAST(-1234567 AS DECIMAL(7,0)) AS N, "
                          "CAST(-1.5 AS DECIMAL(6,2)) AS M FROM ARTICLE");
    EXPECT_EQ(Row(*q, true),
              "ID:ftInteger(0,0)|NAME:ftString(255,0)|IS_DRUG:ftFixedChar(1,0)|DESCRIPTION:ftMemo(0,0)|"
              "VAT:ftFloat(0,0)|DEFAULT_DIRECT_SALE_PRICE:ftBCD(4,19)|GENERICA:ftString(255,0)|"
              "TOTAL:ftLargeint(0,0)|D:ftDate(0,0)|T:ftTime(0,0)|DT:ftDateTime(0,0)|N:ftBCD(0,7)|M:ftBCD(2,6)");
    EXPECT_EQ(Row(*q), "ID=5|NAME=Aspirin|IS_DRUG=T|DESCRIPTION=null|VAT=20.5|DEFAULT_DIRECT_SALE_PRICE=1.2345|"
                       "GENERICA=null|TOTAL=1|D=05.12.2026|T=30.12.1899 18:05:09|DT=05.12.2026 18:05:09|"
                       "N=-1234567|M=-1.5");
    // NULL reads as 0, empty text, false.
    EXPECT_EQ(q->FieldByName("GENERICA").AsString(), "");
    EXPECT_EQ(q->FieldByName("DESCRIPTION").AsInteger(), 0);
    EXPECT_FALSE(q->FieldByName("DESCRIPTION").AsBoolean());
    EXPECT_EQ(q->FieldByName("DESCRIPTION").AsFloat(), 0.0);
    EXPECT_EQ(q->FieldByName("D").AsDateTime(), EncodeDateTime(2026, 12, 5));
    EXPECT_NEAR(q->FieldByName("T").AsDateTime(), EncodeDateTime(1899, 12, 30, 18, 5, 9), 1e-9);
    EXPECT_NEAR(q->FieldByName("DT").AsDateTime(), EncodeDateTime(2026, 12, 5, 18, 5, 9), 1e-9);
    EXPECT_EQ(q->FieldByName("N").AsCurrency().raw, -12345670000LL);
    EXPECT_EQ(q->FieldByName("M").AsCurrency().raw, -15000);
    // Decimals of four places read and land exactly, as currency.
    db.Exec("INSERT INTO ARTICLE_GROUP (ID, NAME, MAX_OVERRATE, DEFAULT_DISCOUNT) "
            "VALUES (1, 'a', 92233720368.5477, -0.0001), (2, 'b', 0.1, 12345678901.2345)");
    q = dm.OpenQuery("SELECT MAX_OVERRATE, DEFAULT_DISCOUNT FROM ARTICLE_GROUP ORDER BY ID");
    EXPECT_EQ(q->Fields(0).AsVariant().Type(), VarType::Currency);
    EXPECT_EQ(q->Fields(0).AsCurrency().raw, 922337203685477LL);
    EXPECT_EQ(q->Fields(1).AsCurrency().raw, -1);
    q->Next();
    EXPECT_EQ(Row(*q), "MAX_OVERRATE=0.1|DEFAULT_DISCOUNT=12345678901.2345");
    auto u = dm.CreateQuery("UPDATE ARTICLE_GROUP SET CUSTOM_CARDS_DISCOUNT = :C WHERE ID = 2");
    dm.SetParam(*u, "C", TFieldType::ftCurrency, Variant(Currency::FromRaw(987654321098765LL)));
    u->ExecSQL();
    EXPECT_EQ(db.ScalarStr("SELECT CUSTOM_CARDS_DISCOUNT FROM ARTICLE_GROUP WHERE ID = 2"), "98765432109.8765");
}

TEST_F(DMBaseTest, FieldLookupIsCaseInsensitiveFirstOfDuplicatesUnknownRaisesBitsAreIntegers) {
    TDMBase dm;
    auto q = dm.OpenQuery("SELECT 1 AS ID, 2 AS ACTION_REQUEST_ID, 3 AS id, 4 AS action_request_id");
    EXPECT_EQ(q->FieldCount(), 4);
    EXPECT_EQ(q->FieldByName("id").AsInteger(), 1);
    EXPECT_EQ(q->FieldByName("Action_Request_ID").AsInteger(), 2);
    EXPECT_EQ(q->FindField("NOPE"), nullptr);
    EXPECT_THROW(q->FieldByName("NOPE"), EDatabaseError);
    dm.ExecSQL("CREATE TABLE `REPL_ITEMS_7` (`ID` INTEGER NOT NULL, `OP` INTEGER, PRIMARY KEY (`ID`))");
    dm.ExecSQL("alter table `REPL_ITEMS_7` add isValid BIT default 0;");
    dm.ExecSQL("INSERT INTO repl_items_7 (ID, OP, isValid) VALUES (1, 1, 0), (2, 2, 1)");
    q = dm.OpenQuery("SELECT ID, isValid FROM repl_items_7 ORDER BY ID");
    EXPECT_EQ(Row(*q, true), "ID:ftInteger(0,0)|isValid:ftInteger(0,0)");
    EXPECT_FALSE(q->FieldByName("ISVALID").AsBoolean());
    q->Next();
    EXPECT_EQ(Row(*q), "ID=2|isValid=1");
    EXPECT_TRUE(q->FieldByName("isValid").AsBoolean());
}

TEST_F(DMBaseTest, CursorWalksTheRowsAndOutlivesItsDataModuleReadOnly) {
    TDMBase dm;
    db.Exec("INSERT INTO pharmacy (id) VALUES (3), (7), (9)");
    auto q = dm.OpenQuery("SELECT id FROM pharmacy ORDER BY id");
    EXPECT_TRUE(q->Active());
    EXPECT_EQ(q->RecordCount(), 3);
    EXPECT_TRUE(q->Bof());
    // Each step: the id reached, the record number, at the start, at the end.
    std::string walk;
    auto note = [&] {
        walk += std::to_string(q->FieldByName("id").AsInteger()) + "#" + std::to_string(q->RecNo()) +
                (q->Bof() ? "B" : "") + (q->Eof() ? "E" : "") + " ";
    };
    for (q->First(); !q->Eof(); q->Next()) note();
    note();
    q->Last();
    note();
    for (int i = 0; i < 3; ++i) q->Prior(), note();
    EXPECT_EQ(walk, "3#1B 7#2 9#3 9#3E 9#3E 7#2 3#1 3#1B ");
    q->Close();
    EXPECT_FALSE(q->Active());
    EXPECT_EQ(q->FindField("id"), nullptr);

    auto empty = dm.OpenQuery("SELECT id FROM pharmacy WHERE id < 0");
    EXPECT_TRUE(empty->Eof() && empty->Bof());
    EXPECT_EQ(empty->RecordCount(), 0);
    EXPECT_EQ(empty->RecNo(), 0);
    EXPECT_TRUE(empty->FieldByName("id").IsNull());
    std::unique_ptr<TQuery> outlived;
    {
        TDMBase dm;
        outlived = dm.OpenQuery("SELECT 1 AS A");
    }
    EXPECT_EQ(outlived->FieldByName("A").AsInteger(), 1);  // the stored rows stay readable
    EXPECT_THROW(outlived->Open(), EDatabaseError);
}

TEST_F(DMBaseTest, ScalarsLastInsertIdAndSeveralStatementsWhichStopAtTheFirstErrorAndLoadNoLocalFile) {
    TDMBase dm;
    EXPECT_TRUE(dm.GetScalar("SELECT id FROM pharmacy").IsNull());
    // Beyond the signed range of 64 bits, still exact.
    EXPECT_EQ(VarToStr(dm.GetScalar("SELECT CAST(18446744073709551615 AS UNSIGNED)")), "18446744073709551615");
    dm.ExecSQL("INSERT INTO ACTION_REQUEST (NOM_ID, ACTION_ID, ACTION_DATE) VALUES (1, 1, NOW())");
    dm.ExecSQL("INSERT INTO ACTION_REQUEST (NOM_ID, ACTION_ID, ACTION_DATE) VALUES (1, 2, NOW())");
    EXPECT_EQ(dm.GetLastInsertID(), 2);
    dm.NextIDValue(6);  // the generator's procedure leaves it alone
    EXPECT_EQ(dm.GetLastInsertID(), 2);
    // Inserting 0 into an auto-increment key draws a new identity.
    dm.ExecSQL("INSERT INTO SUBSTITUDE_ARTICLE (ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) VALUES (0, 1, 2)");
    EXPECT_EQ(dm.GetLastInsertID(), 1);
    EXPECT_THROW(dm.GetScalar("SELECT * FROM no_such_table"), EDatabaseError);
    EXPECT_EQ(dm.LastErrorNumber(), 1146u);  // the server's "table doesn't exist"

    EXPECT_TRUE(dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (1);\r\nINSERT INTO pharmacy (id) VALUES (2); "));
    EXPECT_THROW(dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (3); INSERT INTO no_such_table VALUES (1); "
                            "INSERT INTO pharmacy (id) VALUES (4);"),
                 EDatabaseError);
    EXPECT_EQ(Count("pharmacy"), 3);
    // The connection is still in step after the failure and after result sets.
    EXPECT_TRUE(dm.ExecSQL("SELECT 1; SELECT 2; /* done */"));
    EXPECT_EQ(VarToInt64Def(dm.GetScalar("SELECT COUNT(*) FROM pharmacy"), -1), 3);
    // A query whose text holds several statements yields the first result set.
    auto q = dm.OpenQuery("SET @x = 5; SELECT @x AS X; SELECT 6");
    EXPECT_EQ(q->FieldByName("X").AsInteger(), 5);
    EXPECT_EQ(VarToInt64Def(dm.GetScalar("SELECT 7"), -1), 7);
    // Local files cannot be loaded through the connection.
    TempDir dir;
    const std::string file = dir.Write("rows.txt", "9\tname\n");
    EXPECT_THROW(dm.ExecSQL("LOAD DATA LOCAL INFILE '" + file + "' INTO TABLE pharmacy (id, name)"), EDatabaseError);
    EXPECT_EQ(Count("pharmacy"), 3);
}

TEST_F(DMBaseTest, ColumnListsRowCountsAndExistenceTakeNamesAsValues) {
    TDMBase dm;
    EXPECT_EQ(dm.GetColumnList("pharmacy", false), "id,name,inet_pass,last_archive_num,last_update_date");
    EXPECT_EQ(dm.GetColumnList("PHARMACY", true), ":id,:name,:inet_pass,:last_archive_num,:last_update_date");
    EXPECT_EQ(dm.GetColumnList("SUBSTITUDE_ARTICLE", false), "ARTICLE_ID,SUBSTITUDE_ARTICLE_ID");
    // Unknown, and a name with a quote: a value, not SQL.
    EXPECT_EQ(dm.GetColumnList("no_such_table", false) + dm.GetColumnList("x' OR '1'='1", false), "");
    // A table whose only column is its auto-increment key has none.
    dm.ExecSQL("CREATE TABLE ONLY_KEY (ID INT NOT NULL AUTO_INCREMENT PRIMARY KEY)");
    EXPECT_EQ(dm.GetColumnList("ONLY_KEY", true), "");
    std::vector<std::string> cols = {"stale"};
    dm.GetNonAutoIncColumns("action_request_status", cols);
    EXPECT_EQ(cols, (std::vector<std::string>{"ACTION_REQUEST_ID", "PHARM_ID", "REQUEST_STATUS", "MODIFY_DATE"}));
    EXPECT_EQ(dm.GetRowCount("pharmacy"), 0);
    db.Exec("INSERT INTO pharmacy (id) VALUES (1), (2)");
    EXPECT_EQ(dm.GetRowCount("PHARMACY"), 2);
    EXPECT_THROW(dm.GetRowCount("pharmacy; DROP TABLE pharmacy"), EDatabaseError);
    EXPECT_EQ(TDMBase::QuoteIdentifier("a`b"), "`a``b`");
    EXPECT_EQ(dm.QuoteString("it's \\"), "'it\\'s \\\\'");
    EXPECT_EQ(Count("pharmacy"), 2);
    // Stored procedures by name in any letter case.
    const std::string proc = "Sp_Mixed_Case_" + std::to_string(::getpid());
    dm.ExecSQL("CREATE PROCEDURE " + proc + "() SELECT 1 AS X");
    EXPECT_TRUE(dm.StoredProcExists(LowerCase1251(proc)));
    EXPECT_TRUE(dm.StoredProcExists(UpperCase1251(proc)));
    EXPECT_TRUE(dm.StoredProcExists("sp_nextidvalue"));
    EXPECT_FALSE(dm.StoredProcExists("SP_DELETE_ARTICLEGROUP_" + std::to_string(::getpid())));
    EXPECT_FALSE(dm.StoredProcExists("x') OR ('1'='1"));
    // Producers, and shelves of the central office only.
    db.Exec("INSERT INTO PRODUCER (ID, NAME) VALUES (17, 'p')");
    db.Exec("INSERT INTO SHELF (ID, PHARM_ID) VALUES (5, 3)");
    EXPECT_TRUE(dm.ProducerExists(17));
    EXPECT_FALSE(dm.ProducerExists(18));
    EXPECT_TRUE(dm.ShelfExists(1));
    EXPECT_FALSE(dm.ShelfExists(5));
    EXPECT_TRUE(dm.RecordExistsFmt("SELECT ID FROM SHELF WHERE ID = %d AND PHARM_ID = %d", {5, 3}));
    EXPECT_FALSE(dm.RecordExistsFmt("SELECT ID FROM SHELF WHERE ID = %d AND PHARM_ID = %d", {5, 4}));
}

// Stored procedures, and the identity generator that is one.
TEST_F(DMBaseTest, CallStoredProcedureTypesItsParametersAndRefusesNamesThatAreNoIdentifiers) {
    // Strings, 8-, 32- and 64-bit integers, currency and doubles get a type of
    // their own (a double named as a date or time is one); 16-bit integers,
    // dates, Booleans and nulls stay variants.
    db.Exec("CREATE PROCEDURE P_TYPES(IN S VARCHAR(20), IN I32 INT, IN I8 INT, IN I16 INT, IN I64 BIGINT, "
            "IN C DECIMAL(19,4), IN ATime DOUBLE, IN ADATE DATETIME, IN PRICE DOUBLE, IN D DATETIME, IN B INT, "
            "IN N INT) SELECT S, I32, I8, I16, I64, C, ATime, ADATE, PRICE, D, B, N");
    TDMBase dm;
    Variant results;
    const TDateTime when = EncodeDateTime(2026, 12, 5, 18, 5, 9);
    dm.CallStoredProcedure("P_TYPES", {"S", "I32", "I8", "I16", "I64", "C", "ATime", "ADATE", "PRICE", "D", "B", "N"},
                           {Variant(Cp(u8"О'Нийл")), Variant(int32_t(-5)), Variant(int8_t(-5)), Variant(int16_t(300)),
                            Variant(int64_t(5000000000LL)), Variant(Currency::FromRaw(123456)), Variant(1.5),
                            Variant(when), Variant(2.5), Variant::FromDate(when), Variant(true), Variant::Null()},
                           results, false);
    std::string got;  // the log (a parameter's type as "name:type"), then the values
    for (std::string line : log.Messages("TDMBase"))
        got += (line.find(" = ft") != std::string::npos ? line.replace(line.find(" = ft"), 5, ":") : line) + " ";
    // ATime went as the date 1.5 stands for, which the DOUBLE column reads as its year.
    for (size_t i = 0; i < results.ArrayLength(); ++i) got += "|" + VarToStr(results[i]);
    EXPECT_EQ(got, "call P_TYPES(:S,\r\n:I32,\r\n:I8,\r\n:I16,\r\n:I64,\r\n:C,\r\n:ATime,\r\n:ADATE,\r\n:PRICE,"
                   "\r\n:D,\r\n:B,\r\n:N) S:Variant S:String I32:Variant I32:Integer I8:Variant I8:Smallint "
                   "I16:Variant I64:Variant I64:Largeint C:Variant C:Currency ATime:Variant ATime:DateTime "
                   "ADATE:Variant ADATE:DateTime PRICE:Variant PRICE:Float D:Variant B:Variant N:Variant BEFORE OPEN "
                   "qryCallStoredProcedure AFTER OPEN qryCallStoredProcedure BEFORE FIELDBYNAME AFTER FIELDBYNAME |" +
                   Cp(u8"О'Нийл") +
                   "|-5|-5|300|5000000000|12.3456|1899|05.12.2026 18:05:09|2.5|05.12.2026 18:05:09|1|");
    EXPECT_TRUE(results[11].IsNull());
    // An error of the call passes on; the log ends before the open.
    EXPECT_THROW(dm.CallStoredProcedure("SP_MISSING", {"AID", "ARES"}, {Variant(int32_t(1)), Variant("F")},
                                        results, false),
                 EDatabaseError);
    EXPECT_EQ(log.Messages("TDMBase").back(), "BEFORE OPEN qryCallStoredProcedure");
    // Ignored: the call goes on and fails at the first column; with no names
    // there is nothing to read and the result is null.
    EXPECT_THROW(dm.CallStoredProcedure("SP_MISSING", {"AID"}, {Variant(int32_t(1))}, results, true), EDatabaseError);
    EXPECT_EQ(log.Messages("TDMBase").back(), "BEFORE FIELDBYNAME");
    results = Variant(int32_t(5));
    EXPECT_NO_THROW(dm.CallStoredProcedure("SP_MISSING", {}, {}, results, true));
    EXPECT_TRUE(results.IsNull());
    // Fewer values than names: the text and the parameters that have a value
    // are logged, then the missing value fails before anything is sent.
    log.Clear();
    EXPECT_THROW(dm.CallStoredProcedure("P_ECHO", {"AID", "ARES"}, {Variant(int32_t(6))}, results, false),
                 ERangeError);
    EXPECT_EQ(log.Messages("TDMBase"),
              (std::vector<std::string>{"call P_ECHO(:AID,\r\n:ARES)", "AID = ftVariant", "AID = ftInteger"}));
    // A name that is no identifier is refused unrun.
    const std::string names[] = {"", "P1; DROP TABLE pharmacy", "P1()", "P`1", "P 1", "P1--", Cp(u8"П1"),
                                 "x(); DROP TABLE pharmacy; call y"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        for (bool ignore : {false, true})
            ExpectRaises<EDatabaseError>([&] { dm.CallStoredProcedure(name, {}, {}, results, ignore); },
                                         "Invalid stored procedure name '" + name + "'");
    }
    EXPECT_NO_THROW(db.Exec("SELECT COUNT(*) FROM pharmacy"));  // still there
    db.Exec("CREATE PROCEDURE zeta_z9() SELECT 1");  // every letter from a to z may stand in a name
    EXPECT_NO_THROW(dm.CallStoredProcedure("zeta_z9", {}, {}, results, false));

    // The generator hands out the next value, 1 for an unknown one, unique
    // across connections and transactions; a null value reads as 0.
    db.Exec("UPDATE ZVL_GENERATORS SET ID_VALUE = 41 WHERE GENERATOR_ID = 6");
    log.Clear();
    EXPECT_EQ(dm.NextIDValue(6), 42);
    EXPECT_EQ(dm.NextIDValue(123), 1);
    const std::vector<std::string> lines = log.Messages("TDMBase");  // two calls as above
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0] + "|" + lines[2] + "|" + lines[4],
              "call sp_NextIDValue(:AGENERATOR_ID,\r\n:AID_VALUE)|AGENERATOR_ID = ftInteger|AID_VALUE = ftLargeint");
    std::vector<int64_t> drawn(30);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&drawn, t] {
            TDMBase own;
            for (int i = 0; i < 10; ++i) {
                if (t % 2) own.StartTransaction(TIsolationLevel::ilReadCommitted);
                drawn[t * 10 + i] = own.NextIDValue(6);
                own.CommitTransaction();
            }
        });
    for (auto& th : threads) th.join();
    const std::set<int64_t> all(drawn.begin(), drawn.end());
    EXPECT_EQ(Format("%d %d %d", {int64_t(all.size()), *all.begin(),
                                  db.ScalarInt("SELECT ID_VALUE FROM ZVL_GENERATORS WHERE GENERATOR_ID = 6")}),
              "30 43 72");
    db.Exec("DROP PROCEDURE sp_NextIDValue");
    db.Exec("CREATE PROCEDURE sp_NextIDValue(IN AGENERATOR_ID INT, IN AID_VALUE BIGINT) "
            "SELECT AGENERATOR_ID AS AGENERATOR_ID, NULL AS AID_VALUE");
    EXPECT_EQ(dm.NextIDValue(6), 0);
}


// Environment variables: switches read one at a time; a full load, which
// takes the central rows, the first of duplicate names in exact case, and
// writes missing variables (with the generator's next ids) and modified
// ones back at its end.
TEST_F(DMBaseTest, EnvironmentVariablesReadBoolWritesNothingAFullLoadWritesBackAtItsEnd) {
    db.Exec("INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES "
            "(1, 'IsT', 'T', 0), (2, 'IsF', 'F', 0), (3, 'IsEmpty', '', 0), (4, 'IsNull', NULL, 0), "
            "(5, 'IsLower', 't', 0), (6, 'IsOne', '1', 0), (7, 'IsTrue', 'True', 0), (8, 'Elsewhere', 'T', 5), "
            "(9, 'lettercase', 'T', 0)");
    TDMBase dm;
    // Missing or null: the default.
    const struct { const char* name; bool byDefault, want; } cases[] = {
        {"Missing", false, false}, {"Missing", true, true}, {"IsNull", true, true},   {"IsNull", false, false},
        {"IsT", false, true},      {"IsF", true, false},    {"IsEmpty", true, false}, {"IsLower", true, false},
        {"IsOne", true, false},    {"IsTrue", true, false},   {"Elsewhere", false, false},
        // The server compares names without regard to case; the variable list
        // does not, so a row spelled otherwise leaves the default in force.
        {"lettercase", false, true}, {"LetterCase", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TZVL2EnvironmentVariables::ReadBool(&dm, c.name, c.byDefault), c.want);
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ZVL_ENV_VARS"), 9);
    const std::string stored = "SELECT GROUP_CONCAT(CONCAT(ID, ' ', VAR_NAME, '=', IFNULL(VAR_VALUE, ''), '@', "
                               "PHARM_ID) ORDER BY ID SEPARATOR ' ') FROM ZVL_ENV_VARS "
                               "WHERE ID IN (1, 4, 10) OR ID > 100";
    db.Exec("INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES (10, 'IsT', 'two', 0)");
    db.Exec("UPDATE ZVL_GENERATORS SET ID_VALUE = 100 WHERE GENERATOR_ID = 6");
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (4)");
    {
        TZVL2EnvironmentVariables vars(&dm, "");
        ASSERT_EQ(vars.GetCount(), 8);
        EXPECT_THROW(vars.GetVar(8), EListError);
        EXPECT_THROW(vars.GetVar(-1), EListError);
        EXPECT_NO_THROW(vars.GetVar(0));
        EXPECT_EQ(vars.FindVar("IsT")->ID * 10 + vars.FindVar("IsNull")->Value.IsNull(), 11);
        EXPECT_TRUE(vars.FindVar("ist") == nullptr && vars.FindVar("Elsewhere") == nullptr);
        EXPECT_FALSE(vars.IsModified());
        Variant v;
        vars.GetValue("NewSwitch", Variant("F"), v);
        EXPECT_EQ(v.AsString() + std::to_string(vars.GetBool("AnotherNew", true)), "F1");
        EXPECT_TRUE(vars.IsModified());
        EXPECT_EQ(vars.FindVar("NewSwitch")->ID, -1);
        vars.FindVar("IsT")->Value = Variant("changed");
        vars.FindVar("IsT")->Modified = true;
        // The write-back commits the caller's transaction, once.
        vars.WriteBack();
        EXPECT_FALSE(dm.InTransaction() || vars.FindVar("IsT")->Modified);
        EXPECT_EQ(vars.FindVar("AnotherNew")->ID, 102);
    }
    EXPECT_EQ(db.ScalarStr(stored), "1 IsT=changed@0 4 IsNull=@0 10 IsT=two@0 101 NewSwitch=F@0 102 AnotherNew=T@0");
    // The generator's next id is taken: the insert fails, and rolls the
    // transaction back, or is logged when left to the destructor.
    db.Exec("INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES (103, 'Taken', 'x', 3)");
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (5)");
    for (bool thrown : {true, false}) {
        EXPECT_TRUE(log.Messages("TZVL2EnvironmentVariables").empty());  // the destructor did not try again
        TZVL2EnvironmentVariables vars(&dm, "");
        Variant v;
        vars.GetValue("Y", Variant("1"), v);
        if (thrown) {
            EXPECT_THROW(vars.WriteBack(), EDatabaseError);
        }
    }
    EXPECT_FALSE(dm.InTransaction());
    EXPECT_EQ(Count("pharmacy"), 1);
    const std::vector<std::string> failed = log.Messages("TZVL2EnvironmentVariables");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].rfind("Writing the environment variables failed: ", 0), 0u);
    EXPECT_EQ(db.ScalarStr(stored), "1 IsT=changed@0 4 IsNull=@0 10 IsT=two@0 101 NewSwitch=F@0 102 AnotherNew=T@0 "
                                    "103 Taken=x@3");
    db.Exec("DROP TABLE ZVL_ENV_VARS");
    EXPECT_THROW(TZVL2EnvironmentVariables::ReadBool(&dm, "NomSyncServerPaused", false), EDatabaseError);
}


// A full load writes its missing variables when it goes, not before, and a
// second write-back writes nothing more.
TEST_F(DMBaseTest, EnvironmentVariablesOfAFullLoadAreWrittenWhenTheObjectGoesAndOnce) {
    db.Exec("UPDATE ZVL_GENERATORS SET ID_VALUE = 100 WHERE GENERATOR_ID = 6");
    const std::string stored = "SELECT GROUP_CONCAT(CONCAT(ID, ' ', VAR_NAME, '=', VAR_VALUE, '@', PHARM_ID) "
                               "ORDER BY ID SEPARATOR ' ') FROM ZVL_ENV_VARS";
    TDMBase dm;
    {
        TZVL2EnvironmentVariables vars(&dm, "");
        Variant v;
        vars.GetValue("NewSwitch", Variant("F"), v);
        EXPECT_EQ(Count("ZVL_ENV_VARS"), 0);
    }
    EXPECT_EQ(db.ScalarStr(stored), "101 NewSwitch=F@0");
    {
        TZVL2EnvironmentVariables vars(&dm, "");
        Variant v;
        vars.GetValue("X", Variant("1"), v);
        vars.WriteBack();
        vars.FindVar("X")->Value = Variant("2");  // not marked modified: not written
        vars.WriteBack();
    }
    EXPECT_EQ(db.ScalarStr(stored), "101 NewSwitch=F@0 102 X=1@0");
}

// A unit on the data module: the transactions of several steps stored
// together or not at all.
class DMUnitTest : public DMBaseTest {
protected:
    // The pharmacy ids other connections see, in order ("" for none).
    std::string Visible() {
        std::string ids;
        for (auto& r : db.Rows("SELECT id FROM pharmacy ORDER BY id")) ids += std::to_string(r[0].AsInteger());
        return ids;
    }
};

// Steps inside a unit, as a class's code takes them: a digit inserts that
// pharmacy, S starts a transaction, C commits, R rolls back, Q rolls back
// quietly, D runs a statement that commits by itself, M resumes the unit.
// Whether the unit is committed at its end decides what stays.
TEST_F(DMUnitTest, StepsFoldIntoOneTransaction) {
    struct Case {
        const char* steps;
        bool commit;
        const char* stored;
        int restarts;
    } cases[] = {
        {"1C2", true, "12", 0},      // a step's commit is folded
        {"1S2C3C", true, "123", 0},  // so is a step's start
        {"1C2R3", true, "3", 1},     // a rollback empties the unit, which goes on
        {"1Q2S3R", true, "", 2},
        {"1C2C", false, "", 0},      // a unit that is not committed stores nothing
        {"", true, "", 0},
        {"1DM2", false, "1", 0},     // DDL commits what came before it only
        {"1M2", false, "", 0},       // resuming an intact unit changes nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        db.Exec("DELETE FROM pharmacy");
        TDMBase dm;
        {
            TDMUnit unit(dm, "test");
            EXPECT_EQ(dm.Unit(), &unit);
            for (const char* p = c.steps; *p; ++p) {
                switch (*p) {
                    case 'S': EXPECT_EQ(dm.StartTransaction(TIsolationLevel::ilReadCommitted), 1); break;
                    case 'C': dm.CommitTransaction(); break;
                    case 'R': dm.RollbackTransaction(); break;
                    case 'Q': dm.RollbackTransactionQuietly(); break;
                    case 'D': dm.ExecSQL("CREATE TABLE IF NOT EXISTS unit_scratch (id INT)"); break;
                    case 'M': unit.Resume(); break;
                    default: dm.ExecSQL(std::string("INSERT INTO pharmacy (id, name) VALUES (") + *p + ", 'x')");
                }
                EXPECT_TRUE(dm.InTransaction());
                // Nothing is seen before the unit commits, but what DDL committed.
                if (!std::strchr(c.steps, 'D')) {
                    EXPECT_EQ(Visible(), "");
                }
            }
            EXPECT_EQ(unit.Restarts(), c.restarts);
            if (c.commit) unit.Commit();
            EXPECT_EQ(unit.Open(), !c.commit);
        }
        EXPECT_EQ(Visible(), c.stored);
        // The data module's transactions act on the server again.
        EXPECT_EQ(dm.Unit(), nullptr);
        EXPECT_FALSE(dm.InTransaction());
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        dm.ExecSQL("INSERT INTO pharmacy (id, name) VALUES (9, 'after')");
        dm.RollbackTransaction();
        EXPECT_EQ(Visible(), c.stored);
    }
}

TEST_F(DMUnitTest, OpenTransactionIsCommittedFirstUnitsDoNotNestFoldedStepsAreLoggedInDebugMode) {
    TDMBase dm;
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm.ExecSQL("INSERT INTO pharmacy (id, name) VALUES (1, 'before')");
    TDMUnit unit(dm, "outer");
    EXPECT_EQ(Visible(), "1");
    EXPECT_THROW(TDMUnit(dm, "inner"), EAssertionFailed);
    EXPECT_EQ(dm.Unit(), &unit);
    // Another data module has transactions of its own.
    TDMBase second;
    second.StartTransaction(TIsolationLevel::ilReadCommitted);
    second.ExecSQL("INSERT INTO pharmacy (id, name) VALUES (2, 'second')");
    second.CommitTransaction();
    EXPECT_EQ(Visible(), "12");
    // Folded steps are logged in debug mode only.
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    EXPECT_TRUE(log.Messages("TDMBase").empty());
    db.EditOptions([&](TOptions& o) { o.UseDebugMode = true; });
    TDMBase logged;
    TDMUnit loggedUnit(logged, "proposal of TProducer");
    logged.StartTransaction(TIsolationLevel::ilReadCommitted);
    loggedUnit.SetLabel("ActionRequestID = 17");
    logged.CommitTransaction();
    logged.RollbackTransaction();
    EXPECT_EQ(log.Messages("TDMBase"),
              (std::vector<std::string>{"StartTransaction folded into the unit of proposal of TProducer",
                                        "Commit folded into the unit of ActionRequestID = 17",
                                        "Rollback in the unit of ActionRequestID = 17: it goes on from empty"}));
}


// The central database schema (db/schema.sql) against what the services'
// statements need: identity columns, nullable columns, column order where a
// statement names no columns, and fixed rows. The catalogue statements
// themselves run in the catalogue classes' own tests.
class DbSchemaTest : public DMBaseTest {
protected:
    // Columns of a table in column order.
    std::vector<std::string> Columns(const std::string& table) {
        std::vector<std::string> out;
        for (const auto& row : db.Rows("SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '" +
                                       db.Name() + "' AND TABLE_NAME = '" + table + "' ORDER BY ORDINAL_POSITION"))
            out.push_back(UpperCase1251(row[0].AsString()));
        return out;
    }
    std::string ColumnInfo(const std::string& table, const std::string& column, const std::string& what) {
        return db.ScalarStr("SELECT " + what + " FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = '" +
                            db.Name() + "' AND TABLE_NAME = '" + table + "' AND COLUMN_NAME = '" + column + "'");
    }
};

// Every table with an identity column, and only those: the services supply
// the keys of the others themselves.
TEST_F(DbSchemaTest, IdentityColumnsWhereTheServicesReadTheLastInsertId) {
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(UPPER(TABLE_NAME) ORDER BY UPPER(TABLE_NAME)) FROM "
                           "information_schema.COLUMNS WHERE TABLE_SCHEMA = '" + db.Name() +
                           "' AND EXTRA LIKE '%auto_increment%'"),
              "ACTION_REQUEST,ARTICLE,ARTICLE_GROUP,MEASURE,MEASURE_NAME,PAYMENT_CENTRAL,PRODUCER,"
              "SUBSTITUDE_ARTICLE,SUPPLIER");
}

// The new measures and substitute links of one request are all staged with
// ID 0; a central link written with ID 0 draws a new identity.
TEST_F(DbSchemaTest, NewMeasuresAndSubstituteLinksOfOneRequestShareIdZero) {
    TDMBase dm;
    for (int i = 1; i <= 2; ++i) {
        dm.ExecSQLFmt("INSERT INTO NOM_UPDATE_MEASURE (ACTION_REQUEST_ID, ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, "
                      "IS_ATOMIC, TEMP_ID) VALUES (3, 0, 0, %d, %d, 'F', 0)", {i, i});
        dm.ExecSQLFmt("INSERT INTO NOM_UPDATE_SUBSTITUDE_ARTICLE (ACTION_REQUEST_ID, ID, ARTICLE_ID, "
                      "SUBSTITUDE_ARTICLE_ID) VALUES (3, 0, 5, %d)", {5 + i});
        dm.ExecSQLFmt("INSERT INTO SUBSTITUDE_ARTICLE (ID, ARTICLE_ID, SUBSTITUDE_ARTICLE_ID) VALUES (0, 5, %d)", {5 + i});
        EXPECT_EQ(dm.GetLastInsertID(), i);
    }
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT((SELECT COUNT(*) FROM NOM_UPDATE_MEASURE WHERE ACTION_REQUEST_ID = 3), ' ', "
                           "(SELECT COUNT(*) FROM NOM_UPDATE_SUBSTITUDE_ARTICLE WHERE ACTION_REQUEST_ID = 3))"),
              "2 2");
}

TEST_F(DbSchemaTest, ColumnsThatTheServicesWriteAsNullAreNullable) {
    const std::vector<std::pair<const char*, const char*>> nullable = {
        {"ACTION_REQUEST", "PROCESS_DATE"}, {"ACTION_REQUEST", "DEST_PHARM_ID"}, {"ACTION_REQUEST", "SYS_CMD"},
        {"PHARMACY", "LAST_ARCHIVE_NUM"}, {"ZVL_ENV_VARS", "VAR_VALUE"}, {"ARTICLE", "DRUG_TYPE_ID"},
        {"ARTICLE", "GENERICA"}, {"ARTICLE", "ATC_CODE"}, {"ARTICLE", "ACTIVE_QUANTITY"},
        {"ARTICLE", "DESCRIPTION"}, {"ARTICLE", "BARCODE1"}, {"ARTICLE", "BARCODE2"},
        {"NOM_UPDATE_ARTICLE", "DRUG_TYPE_ID"}, {"NOM_UPDATE_ARTICLE", "QUANTITY_LEFT_DIRECT_SALE"},
        {"NOM_UPDATE_ARTICLE", "LAST_DELIVERY_ITEM_SALE_PRICE"}, {"NOM_UPDATE_ARTICLE", "DIRECT_SALE_MARGE"},
        {"NOM_UPDATE_ARTICLE_NZOK", "NZOK_CODE"}, {"NOM_UPDATE_ARTICLE_NZOK", "QUANTITY_LEFT_SALE_NZOK"},
        {"PRODUCER", "ADDRESS"}, {"PRODUCER", "VAT_ID"}, {"SUPPLIER", "ADDRESS"}, {"SUPPLIER", "EMAIL"},
        {"NOM_UPDATE_SUPPLIER", "BANK_ADDRESS"}, {"NOM_UPDATE_PRODUCER", "IBAN_VAT_ACCOUNT"}};
    // Every column's nullability in one read of the dictionary, so that each
    // column is looked up in the same answer.
    std::set<std::string> nullableNow;
    for (const auto& row : db.Rows("SELECT UPPER(TABLE_NAME), UPPER(COLUMN_NAME) FROM information_schema.COLUMNS "
                                   "WHERE TABLE_SCHEMA = '" + db.Name() + "' AND IS_NULLABLE = 'YES'"))
        nullableNow.insert(row[0].AsString() + "." + row[1].AsString());
    ASSERT_FALSE(nullableNow.empty()) << "the dictionary listed no nullable column";
    for (const auto& [t, c] : nullable) EXPECT_TRUE(nullableNow.count(std::string(t) + "." + c)) << t << "." << c;
    // "T"/"F" flags are one character; money keeps four decimals.
    EXPECT_EQ(ColumnInfo("ARTICLE", "IS_DRUG", "COLUMN_TYPE"), "char(1)");
    EXPECT_EQ(ColumnInfo("ACTION_REQUEST", "SYNC_REQUIRED", "COLUMN_TYPE"), "char(1)");
    EXPECT_EQ(ColumnInfo("ARTICLE", "DEFAULT_NZOK_SALE_PRICE", "NUMERIC_SCALE"), "4");
    EXPECT_EQ(ColumnInfo("ARTICLE_GROUP", "CUSTOM_CARDS_DISCOUNT", "NUMERIC_SCALE"), "4");
    EXPECT_EQ(ColumnInfo("ARTICLE_NZOK", "DAY_DOSE_ALLOWED", "NUMERIC_SCALE"), "4");
}

TEST_F(DbSchemaTest, FixedRowsColumnOrderAndCharacterSet) {
    EXPECT_EQ(Columns("action_request_status"),
              (std::vector<std::string>{"ACTION_REQUEST_ID", "PHARM_ID", "REQUEST_STATUS", "MODIFY_DATE"}));
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM SHELF WHERE ID = 1 AND PHARM_ID = 0"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ZVL_GENERATORS WHERE GENERATOR_ID = 6"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db.Name() +
                           "' AND ENGINE <> 'InnoDB'"),
              0);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" + db.Name() +
                           "' AND TABLE_COLLATION NOT LIKE 'cp1251%'"),
              0);
}

}  // namespace
