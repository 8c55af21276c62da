// Staging-table import: table creation from packets, column types, row
// import, and the merge of a pharmacy's staging copy into the shared table.
#include "installer_fixture.h"

#include "core/exceptions.h"
#include "replication/packet/packet_names.h"
#include "replication/packet/staging_import.h"

namespace installer_test {
namespace {

TEST(PacketNames, IdentifiersAndTablesTheInstallerRefuses) {
    EXPECT_TRUE(IsValidIdentifier("DENIAL"));
    EXPECT_TRUE(IsValidIdentifier(" _x9 "));
    EXPECT_TRUE(IsValidIdentifier(std::string(64, 'a')));
    EXPECT_FALSE(IsValidIdentifier(std::string(65, 'a')));
    for (const char* bad : {"", "9A", "A B", "A`B", "A'B", "A;DROP", "A-B", "A.B", "\xC0\xC1"})
        EXPECT_FALSE(IsValidIdentifier(bad)) << bad;
    EXPECT_EQ(QuoteIdent("a`b"), "`a``b`");
    EXPECT_THROW(CheckIdentifier("x y", "table"), EPacketError);
    EXPECT_EQ(CheckIdentifier(" x ", "table"), "x");

    EXPECT_TRUE(IsSplitTableName("ARTICLE_12"));
    EXPECT_TRUE(IsSplitTableName("ARTICLE_"));
    EXPECT_FALSE(IsSplitTableName("ARTICLE"));
    EXPECT_FALSE(IsSplitTableName("REPL_ITEMS"));
    for (const char* t : {"pharmacy", "ARTICLE", "article_nzok", "ACTION_REQUEST", "action_request_status",
                          "PAYMENT_CENTRAL", "ZVL_ENV_VARS", "NOM_UPDATE_ARTICLE", "REPL_ITEMS", "DENIAL_12",
                          "PRODUCER", "SUPPLIER", "MEASURE_NAME"})
        EXPECT_TRUE(IsCentralSystemTable(t)) << t;
    for (const char* t : {"DENIAL", "SUPPLIER_CODE", "STOCK", "PARCEL"}) EXPECT_FALSE(IsCentralSystemTable(t)) << t;
}

TEST(StagingImportSql, CreateStatementTextAndKey) {
    std::vector<TPacketFieldDef> f{{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 50}};
    EXPECT_EQ(TStagingImport::BuildCreateTableSQL(f, "ARTICLE"),
              "CREATE TABLE `ARTICLE`(\r\n `ID` int,\r\n `NAME` varchar(50),\r\n `PHARM_ID` int,\r\n"
              "PRIMARY KEY (`ID`, `PHARM_ID`)) ENGINE=InnoDB DEFAULT CHARSET=cp1251");
    EXPECT_EQ(TStagingImport::BuildCreateTableSQL(f, "ARTICLE_12"),
              "CREATE TABLE `ARTICLE_12`(\r\n `ID` int,\r\n `NAME` varchar(50),\r\n"
              "PRIMARY KEY (`ID`)) ENGINE=InnoDB DEFAULT CHARSET=cp1251");
    std::vector<TPacketFieldDef> noId{{"CODE", TFieldType::ftString, 5}, {"QTY", TFieldType::ftSmallint}};
    EXPECT_EQ(TStagingImport::BuildCreateTableSQL(noId, "X_3"),
              "CREATE TABLE `X_3`(\r\n `CODE` varchar(5),\r\n `QTY` smallint) ENGINE=InnoDB DEFAULT CHARSET=cp1251");
}

TEST(StagingImportSql, ColumnTypes) {
    auto type = [](TFieldType t, int size = 0, int prec = 0) {
        return TStagingImport::FieldToSQLType(TPacketFieldDef{"F", t, size, prec});
    };
    EXPECT_EQ(type(TFieldType::ftString, 30), "varchar(30)");
    EXPECT_EQ(type(TFieldType::ftWideString, 7), "varchar(7)");
    EXPECT_EQ(type(TFieldType::ftSmallint), "smallint");
    EXPECT_EQ(type(TFieldType::ftInteger), "int");
    EXPECT_EQ(type(TFieldType::ftWord), "int");
    EXPECT_EQ(type(TFieldType::ftLargeint), "BIGINT");
    EXPECT_EQ(type(TFieldType::ftBoolean), "bit");
    EXPECT_EQ(type(TFieldType::ftFloat), "double precision");
    EXPECT_EQ(type(TFieldType::ftCurrency), "DECIMAL(19,4)");  // no size: no valid pair
    EXPECT_EQ(type(TFieldType::ftCurrency, 12, 2), "numeric(12,2)");
    EXPECT_EQ(type(TFieldType::ftBCD, 3, 12), "numeric(12,3)");  // precision first, then size
    EXPECT_EQ(type(TFieldType::ftBCD, 5, 2), "DECIMAL(19,4)");
    EXPECT_EQ(type(TFieldType::ftDate), "datetime");
    EXPECT_EQ(type(TFieldType::ftTime), "datetime");
    EXPECT_EQ(type(TFieldType::ftDateTime), "datetime");
    EXPECT_EQ(type(TFieldType::ftBlob), "LONGBLOB");
    EXPECT_EQ(type(TFieldType::ftGraphic), "LONGBLOB");
    EXPECT_EQ(type(TFieldType::ftMemo), "text");
    EXPECT_EQ(type(TFieldType::ftFmtMemo), "text");
    EXPECT_EQ(type(TFieldType::ftFixedChar, 3), "char(3)");
    EXPECT_EQ(type(TFieldType::ftAutoInc), "unsupported field type");
    EXPECT_EQ(type(TFieldType::ftDataSet), "unsupported field type");
}

class StagingImport : public InstallerTest {
protected:
    std::string WritePacket(const std::string& name, const std::vector<TPacketFieldDef>& fields, const Rows& rows) {
        SaveXmlDataPacket(dir.File(name), fields, rows);
        return dir.File(name);
    }
    std::vector<std::string> Columns(const std::string& table) {
        std::vector<std::string> out;
        for (const auto& r : db.Rows("SELECT column_name FROM information_schema.columns WHERE table_schema = "
                                     "database() AND table_name = '" + table + "' ORDER BY ordinal_position"))
            out.push_back(VarToStr(r[0]));
        return out;
    }
    TempDir dir;
    TDMBase dm;
    TStagingImport imp{dm};
};

TEST_F(StagingImport, CreatesTablesAndAddsOnlyMissingColumns) {
    std::string v1 = WritePacket("STOCK[1].xml", StockFields(), {});
    auto ran = imp.CreateOrUpdateTable(v1, "STOCK");
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].rfind("CREATE TABLE `STOCK`(", 0), 0u);
    EXPECT_EQ(Columns("STOCK"), (std::vector<std::string>{"ID", "NAME", "CHANGED", "QTY", "PHARM_ID"}));
    imp.CreateOrUpdateTable(v1, "STOCK_5");
    EXPECT_EQ(Columns("STOCK_5"), (std::vector<std::string>{"ID", "NAME", "CHANGED", "QTY"}));
    EXPECT_TRUE(imp.TableExists("stock"));
    EXPECT_TRUE(imp.TableHasPharmID("STOCK"));
    EXPECT_FALSE(imp.TableHasPharmID("STOCK_5"));

    // The same packet again: nothing to do.
    EXPECT_TRUE(imp.CreateOrUpdateTable(v1, "STOCK").empty());

    // One more field, in another letter case for an existing one: one ALTER.
    auto fields = StockFields();
    fields[1].Name = "name";
    fields.push_back({"PRICE", TFieldType::ftCurrency});
    std::string v2 = WritePacket("STOCK[2].xml", fields, {});
    ran = imp.CreateOrUpdateTable(v2, "STOCK");
    EXPECT_EQ(ran, (std::vector<std::string>{"ALTER TABLE `STOCK` ADD `PRICE` DECIMAL(19,4);"}));
    EXPECT_EQ(Columns("STOCK").back(), "PRICE");

    // A column whose type the database refuses stays missing without an error.
    std::vector<TPacketFieldDef> bad = StockFields();
    bad.push_back({"KIDS", TFieldType::ftDataSet});
    imp.CreateOrUpdateTable(WritePacket("STOCK[3].xml", bad, {}), "STOCK");
    EXPECT_EQ(Columns("STOCK").size(), 6u);
    EXPECT_TRUE(log.Messages("TDMBase").size() >= 3);
    EXPECT_EQ(log.Messages("TDMBase").front(), "\"Show tables\" Table STOCK not exists");
}

TEST_F(StagingImport, ImportsFilesInBracketOrderWithTypesAndNulls) {
    db.Exec("CREATE TABLE STOCK (SEQ INT AUTO_INCREMENT PRIMARY KEY, ID INT, NAME VARCHAR(40), "
            "CHANGED DATETIME, QTY INT, PHARM_ID INT) ENGINE=InnoDB");
    WritePacket("STOCK[10].xml", StockFields(), {StockRow(10, "ten", 1)});
    WritePacket("STOCK[2].xml", StockFields(), {StockRow(2, "two", 1), {I(3), Null(), Null(), Null()}});
    WritePacket("STOCK[1].xml", StockFields(), {StockRow(1, Cp(u8"Аспирин 'forte'"), 1)});
    imp.ImportDataFiles(dir.Path(), {"STOCK[10].xml", "STOCK[2].xml", "STOCK[1].xml"}, "STOCK", 7);
    auto rows = db.Rows("SELECT ID, NAME, CHANGED, QTY, PHARM_ID FROM STOCK ORDER BY SEQ");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(VarToStr(rows[0][0]) + VarToStr(rows[1][0]) + VarToStr(rows[2][0]) + VarToStr(rows[3][0]), "12310");
    EXPECT_EQ(rows[0][1].AsString(), Cp(u8"Аспирин 'forte'"));
    EXPECT_EQ(DateTimeToSqlText(rows[0][2].AsDateTime()), "2009-03-05 14:07:09");
    EXPECT_EQ(rows[0][4].AsInteger(), 7);
    EXPECT_TRUE(rows[2][1].IsNull());
    EXPECT_TRUE(rows[2][2].IsNull());
    EXPECT_TRUE(rows[2][3].IsNull());
}

TEST_F(StagingImport, ParcelExpiryDatesBelowZeroBecomeZero) {
    std::vector<TPacketFieldDef> f{{"ID", TFieldType::ftInteger}, {"EXPIRY_DATE", TFieldType::ftDate}};
    Rows rows{{I(1), Variant::FromDate(-5)}, {I(2), Null()}, {I(3), D(2011, 4, 30)}};
    std::string file = WritePacket("PARCEL_X[1].xml", f, rows);
    imp.CreateOrUpdateTable(file, "PARCEL_X");
    imp.CreateOrUpdateTable(file, "OTHER");
    WritePacket("OTHER[1].xml", f, rows);
    imp.ImportDataFiles(dir.Path(), {"PARCEL_X[1].xml"}, "PARCEL_X", 5);
    imp.ImportDataFiles(dir.Path(), {"OTHER[1].xml"}, "OTHER", 5);
    EXPECT_EQ(db.ScalarStr("SELECT CAST(EXPIRY_DATE AS CHAR) FROM PARCEL_X WHERE ID = 1"), "1899-12-30 00:00:00");
    EXPECT_TRUE(db.Scalar("SELECT EXPIRY_DATE FROM PARCEL_X WHERE ID = 2").IsNull());
    EXPECT_EQ(db.ScalarStr("SELECT CAST(EXPIRY_DATE AS CHAR) FROM PARCEL_X WHERE ID = 3"), "2011-04-30 00:00:00");
    EXPECT_EQ(db.ScalarStr("SELECT CAST(EXPIRY_DATE AS CHAR) FROM OTHER WHERE ID = 1"), "1899-12-25 00:00:00");
}

TEST_F(StagingImport, AFailingRowNamesFileAndRowAndKeepsEarlierRows) {
    // Transactional tables take many rows per statement; the failing row is
    // still the one named, and the rows before it stay, in any batch.
    struct Case {
        const char* engine;
        int rows;
        int failing;  // the row that repeats the key of row 0
    };
    const Case cases[] = {{"InnoDB", 3, 2},     {"MyISAM", 3, 2},     {"InnoDB", 2500, 1700},
                          {"InnoDB", 2500, 1000}, {"InnoDB", 2500, 999}, {"MyISAM", 1200, 1100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.engine) + " row " + std::to_string(c.failing));
        Rows rows;
        for (int i = 0; i < c.rows; ++i) rows.push_back(StockRow(i == c.failing ? 1 : i + 1, "n" + std::to_string(i), i));
        WritePacket("STOCK[1].xml", StockFields(), rows);
        db.Exec("DROP TABLE IF EXISTS STOCK_5");
        db.Exec(std::string("CREATE TABLE STOCK_5 (ID INT PRIMARY KEY, NAME VARCHAR(40), CHANGED DATETIME, QTY INT) "
                            "ENGINE=") + c.engine);
        TDMBase dm;
        TStagingImport imp(dm);
        try {
            imp.ImportDataFiles(dir.Path(), {"STOCK[1].xml"}, "STOCK_5", 0);
            ADD_FAILURE() << "no error";
        } catch (const EDatabaseError& e) {
            const std::string head = Cp(u8"Файл:STOCK[1].xml Ред: ") + std::to_string(c.failing) + " Duplicate entry '1'";
            EXPECT_EQ(e.Message().rfind(head, 0), 0u) << e.Message();
        }
        EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM STOCK_5"), c.failing);
        EXPECT_EQ(db.ScalarInt("SELECT MAX(QTY) FROM STOCK_5"), c.failing - 1);
    }
}

TEST_F(StagingImport, ManyRowsPerStatementEndAsOneRowPerStatement) {
    // The same packets into a table taking rows one by one (MyISAM) and one
    // taking them in batches (InnoDB): the same rows, values and order.
    std::vector<TPacketFieldDef> fields = StockFields();
    fields.push_back({"PRICE", TFieldType::ftBCD, 4, 12});
    fields.push_back({"RATE", TFieldType::ftFloat});
    fields.push_back({"NOTE", TFieldType::ftMemo});
    Rows first, second;
    for (int i = 0; i < 2300; ++i) {
        Row r = StockRow(i, i % 3 ? Cp(u8"Аспирин 'forte' \\ ") + std::to_string(i) : std::string(), i * 7);
        r.push_back(i % 5 ? S(std::to_string(i) + ".1250") : Null());
        r.push_back(Variant(i / 3.0));
        r.push_back(S(std::string(static_cast<size_t>(i % 1400), 'x')));
        (i < 1500 ? first : second).push_back(r);
    }
    WritePacket("STOCK[1].xml", fields, first);
    WritePacket("STOCK[2].xml", fields, second);
    for (const char* engine : {"MyISAM", "InnoDB"}) {
        db.Exec(std::string("CREATE TABLE STOCK_") + engine + " (SEQ INT AUTO_INCREMENT PRIMARY KEY, ID INT, "
                "NAME VARCHAR(40), CHANGED DATETIME, QTY INT, PRICE DECIMAL(12,4), RATE DOUBLE, NOTE TEXT, "
                "PHARM_ID INT) ENGINE=" + engine);
        imp.ImportDataFiles(dir.Path(), {"STOCK[2].xml", "STOCK[1].xml"}, std::string("STOCK_") + engine, 9);
    }
    const std::string cols = "SEQ, ID, NAME, CHANGED, QTY, PRICE, RATE, NOTE, PHARM_ID";
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM STOCK_InnoDB"), 2300);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM (SELECT " + cols + " FROM STOCK_MyISAM UNION SELECT " + cols +
                           " FROM STOCK_InnoDB) u"),
              2300);
}

class StagingMerge : public StagingImport {
protected:
    void FillStaging(int rows) {
        db.Exec("DROP TABLE IF EXISTS STOCK, STOCK_5");
        db.Exec("CREATE TABLE STOCK (ID INT, NAME VARCHAR(40), QTY INT, PHARM_ID INT, PRIMARY KEY (ID, PHARM_ID))");
        db.Exec("CREATE TABLE STOCK_5 (ID INT PRIMARY KEY, NAME VARCHAR(40), QTY INT)");
        db.Exec("INSERT INTO STOCK_5 SELECT seq, CONCAT('n', seq), seq % 7 FROM seq_1_to_" + std::to_string(rows));
        db.Exec("INSERT INTO STOCK VALUES (1, 'old', 0, 5), (99999, 'old', 0, 5), (1, 'six', 0, 6)");
    }
    // The statements of one merge of STOCK for pharmacy 5.
    std::vector<std::string> Merge(const std::string& table = "STOCK", bool skip = false) {
        imp.MergeSplitTable(table, 5, skip);
        return imp.LastMergeStatements();
    }
};

// The pharmacy's rows are replaced (others kept) in chunks of 5,000 in key
// order; each merge reports only its own statements.
TEST_F(StagingMerge, ChunksOfFiveThousandInKeyOrder) {
    const std::string insert = "insert into `STOCK` (`ID`, `NAME`, `QTY`, `PHARM_ID`) (select `ID`, `NAME`, `QTY`, "
                               "5 as `PHARM_ID` from `STOCK_5`";
    for (int rows : {12000, 5000, 10000}) {
        SCOPED_TRACE(rows);
        FillStaging(rows);
        auto sql = Merge();
        ASSERT_EQ(sql.size(), rows == 5000 ? 2u : 4u);
        EXPECT_EQ(sql[0], "delete from `STOCK` where `PHARM_ID` = 5");
        EXPECT_EQ(sql[1].rfind(insert, 0), 0u) << sql[1];
        if (rows == 5000) {
            EXPECT_EQ(sql[1].find("limit"), std::string::npos);
        }
        for (size_t i = 1; rows != 5000 && i < sql.size(); ++i)
            EXPECT_NE(sql[i].find(" order by `ID` limit " + std::to_string((i - 1) * 5000) + ",5000)"),
                      std::string::npos)
                << sql[i];
        EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM STOCK WHERE PHARM_ID = 5 AND NAME = CONCAT('n', ID)"), rows);
        EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM STOCK WHERE PHARM_ID = 5"), rows);
        EXPECT_EQ(db.ScalarStr("SELECT NAME FROM STOCK WHERE PHARM_ID = 6"), "six");
    }
    // Missing tables or Skip: nothing happens.
    EXPECT_TRUE(Merge("NO_SUCH").empty());
    EXPECT_TRUE(Merge("STOCK", true).empty());
    db.Exec("CREATE TABLE LONE (ID INT, PHARM_ID INT)");
    EXPECT_TRUE(Merge("LONE").empty());
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM STOCK WHERE PHARM_ID = 5"), 10000);
}

TEST_F(StagingMerge, NamedColumnsKeepValuesInPlaceWhenOrdersDiffer) {
    // A column added later sits after PHARM_ID centrally, before it nowhere
    // in the staging copy.
    db.Exec("CREATE TABLE STOCK (ID INT, NAME VARCHAR(40), PHARM_ID INT, EXTRA INT, PRIMARY KEY (ID, PHARM_ID))");
    db.Exec("CREATE TABLE STOCK_5 (ID INT PRIMARY KEY, NAME VARCHAR(40), EXTRA INT)");
    db.Exec("INSERT INTO STOCK_5 VALUES (1, 'a', 42)");
    Merge();
    auto rows = db.Rows("SELECT ID, NAME, PHARM_ID, EXTRA FROM STOCK");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][2].AsInteger(), 5);
    EXPECT_EQ(rows[0][3].AsInteger(), 42);
}

TEST_F(StagingMerge, ATableWithoutPharmIdIsNeverEmptied) {
    db.Exec("CREATE TABLE SHARED_T (ID INT PRIMARY KEY, NAME VARCHAR(40))");
    db.Exec("CREATE TABLE SHARED_T_5 (ID INT PRIMARY KEY, NAME VARCHAR(40))");
    db.Exec("INSERT INTO SHARED_T VALUES (1, 'central'); INSERT INTO SHARED_T_5 VALUES (2, 'pharmacy')");
    EXPECT_THROW(Merge("SHARED_T"), EPacketError);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM SHARED_T"), 1);
}

}  // namespace
}  // namespace installer_test
