// Staging-table import: table creation from packets, column types, row
// import, and the merge of a pharmacy's staging copy into the shared table.
#include "installer_fixture.h"

#include "core/exceptions.h"
#include "replication/packet/packet_names.h"
#include "replication/packet/staging_import.h"

namespace installer_test {
namespace {

// (The names an archive may not use are the archive tests'; these are the
// edges of an identifier.)
TEST(PacketNames, IdentifiersUpToSixtyFourLettersAndDigits) {
    for (std::string good : {std::string("DENIAL"), std::string(" _x9 "), std::string(64, 'a')})
        EXPECT_TRUE(IsValidIdentifier(good)) << good;
    for (std::string bad : {std::string(65, 'a'), std::string(), std::string("9A"), std::string("A-B"),
                            std::string("\xC0\xC1")})
        EXPECT_FALSE(IsValidIdentifier(bad)) << bad;
    EXPECT_EQ(CheckIdentifier(" x ", "table"), "x");
    EXPECT_TRUE(IsSplitTableName("ARTICLE_") && !IsSplitTableName("REPL_ITEMS"));
}

TEST(StagingImportSql, CreateStatementsAndColumnTypes) {
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
    // A currency or BCD without a valid size pair is DECIMAL(19,4); BCD
    // gives its precision first.
    using T = TFieldType;
    const TPacketFieldDef types[] = {
        {"", T::ftString, 30},  {"", T::ftWideString, 7}, {"", T::ftSmallint}, {"", T::ftInteger}, {"", T::ftWord},
        {"", T::ftLargeint},    {"", T::ftBoolean},       {"", T::ftFloat},    {"", T::ftCurrency},
        {"", T::ftCurrency, 12, 2}, {"", T::ftBCD, 3, 12}, {"", T::ftBCD, 5, 2}, {"", T::ftDate}, {"", T::ftTime},
        {"", T::ftDateTime},    {"", T::ftBlob},          {"", T::ftGraphic},  {"", T::ftMemo},    {"", T::ftFmtMemo},
        {"", T::ftFixedChar, 3}, {"", T::ftAutoInc}};
    std::string got;
    for (const auto& t : types) got += TStagingImport::FieldToSQLType(t) + ";";
    EXPECT_EQ(got, "varchar(30);varchar(7);smallint;int;int;BIGINT;bit;double precision;DECIMAL(19,4);numeric(12,2);"
                   "numeric(12,3);DECIMAL(19,4);datetime;datetime;datetime;LONGBLOB;LONGBLOB;text;text;char(3);"
                   "unsupported field type;");
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
    EXPECT_TRUE(imp.TableExists("stock") && imp.TableHasPharmID("STOCK"));
    // The same packet again: nothing to do.
    EXPECT_TRUE(imp.CreateOrUpdateTable(v1, "STOCK").empty());

    // One more field, in another letter case for an existing one: one ALTER.
    auto fields = StockFields();
    fields[1].Name = "name";
    fields.push_back({"PRICE", TFieldType::ftCurrency});
    ran = imp.CreateOrUpdateTable(WritePacket("STOCK[2].xml", fields, {}), "STOCK");
    EXPECT_EQ(ran, (std::vector<std::string>{"ALTER TABLE `STOCK` ADD `PRICE` DECIMAL(19,4);"}));

    // A column whose type the database refuses stays missing without an error.
    std::vector<TPacketFieldDef> bad = StockFields();
    bad.push_back({"KIDS", TFieldType::ftDataSet});
    imp.CreateOrUpdateTable(WritePacket("STOCK[3].xml", bad, {}), "STOCK");
    EXPECT_EQ(Columns("STOCK").size(), 6u);
    EXPECT_EQ(log.Messages("TDMBase").front(), "\"Show tables\" Table STOCK not exists");
}

TEST_F(StagingImport, ImportsFilesInBracketOrderWithTypesAndNulls) {
    db.Exec("CREATE TABLE STOCK (SEQ INT AUTO_INCREMENT PRIMARY KEY, ID INT, NAME VARCHAR(40), "
            "CHANGED DATETIME, QTY INT, PHARM_ID INT) ENGINE=InnoDB");
    WritePacket("STOCK[10].xml", StockFields(), {StockRow(10, "ten", 1)});
    WritePacket("STOCK[2].xml", StockFields(), {StockRow(2, "two", 1), {I(3), Null(), Null(), Null()}});
    WritePacket("STOCK[1].xml", StockFields(), {StockRow(1, Cp(u8"Аспирин 'forte' \\"), 1)});
    imp.ImportDataFiles(dir.Path(), {"STOCK[10].xml", "STOCK[2].xml", "STOCK[1].xml"}, "STOCK", 7);
    std::string got;
    for (const auto& r : db.Rows("SELECT ID, NAME, CAST(CHANGED AS CHAR), QTY, PHARM_ID FROM STOCK ORDER BY SEQ"))
        for (const Variant& v : r) got += (v.IsNull() ? "null" : VarToStr(v)) + (&v == &r.back() ? ";" : "|");
    EXPECT_EQ(got, "1|" + Cp(u8"Аспирин 'forte' \\") + "|2009-03-05 14:07:09|1|7;2|two|2009-03-05 14:07:09|1|7;"
                   "3|null|null|null|7;10|ten|2009-03-05 14:07:09|1|7;");
}

TEST_F(StagingImport, ParcelExpiryDatesBelowZeroBecomeZero) {
    std::vector<TPacketFieldDef> f{{"ID", TFieldType::ftInteger}, {"EXPIRY_DATE", TFieldType::ftDate}};
    Rows rows{{I(1), Variant::FromDate(-5)}, {I(2), Null()}, {I(3), D(2011, 4, 30)}};
    for (const char* table : {"PARCEL_X", "OTHER"}) {
        imp.CreateOrUpdateTable(WritePacket(std::string(table) + "[1].xml", f, rows), table);
        imp.ImportDataFiles(dir.Path(), {std::string(table) + "[1].xml"}, table, 5);
    }
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(IFNULL(CAST(EXPIRY_DATE AS CHAR), 'null') ORDER BY ID) FROM PARCEL_X"),
              "1899-12-30 00:00:00,null,2011-04-30 00:00:00");
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

// The merge names its columns: a column added later sits after PHARM_ID
// centrally, before it nowhere in the staging copy. Missing tables or Skip:
// nothing happens.
TEST_F(StagingImport, MergeNamesColumnsAndPassesOverMissingTables) {
    db.Exec("CREATE TABLE STOCK (ID INT, NAME VARCHAR(40), PHARM_ID INT, EXTRA INT, PRIMARY KEY (ID, PHARM_ID))");
    db.Exec("CREATE TABLE STOCK_5 (ID INT PRIMARY KEY, NAME VARCHAR(40), EXTRA INT)");
    db.Exec("INSERT INTO STOCK_5 VALUES (1, 'a', 42)");
    db.Exec("CREATE TABLE LONE (ID INT, PHARM_ID INT)");
    for (auto [table, skip] : {std::pair{"NO_SUCH", false}, {"STOCK", true}, {"LONE", false}}) {
        imp.MergeSplitTable(table, 5, skip);
        EXPECT_TRUE(imp.LastMergeStatements().empty()) << table;
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM STOCK"), 0);
    imp.MergeSplitTable("STOCK", 5, false);
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT_WS(':', ID, NAME, PHARM_ID, EXTRA) FROM STOCK"), "1:a:5:42");
}

}  // namespace
}  // namespace installer_test
