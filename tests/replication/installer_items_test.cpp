// Application of replication items: pruning of duplicates, inserts, updates
// and deletes by key, the two sweeps, and every packet
// field type the column mapping takes through the whole road (packet, staging
// copy, initial merge, item insert and update); the staging tables and the
// packet reader on their own.
#include <gtest/gtest.h>

#include "installer_fixture.h"
#include "core/cp1251.h"
#include "core/datetime.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "replication/packet/packet_names.h"
#include "replication/packet/replication_items.h"
#include "replication/packet/staging_import.h"
#include "replication/packet/xml_data_packet.h"
#include "support/temp_dir.h"

namespace installer_test {
namespace {

class ItemsTest : public InstallerTest {
protected:
    // Archive 1 gives STOCK rows 1 and 2 (and table 2 CHILD, table 3 PARENT).
    void SetUp() override {
        db.Exec("CREATE TABLE PARENT (ID INT, NAME VARCHAR(40), PHARM_ID INT, PRIMARY KEY (ID, PHARM_ID)) "
                "ENGINE=InnoDB");
        db.Exec("CREATE TABLE CHILD (ID INT, PARENT_ID INT, PHARM_ID INT, PRIMARY KEY (ID, PHARM_ID), "
                "FOREIGN KEY (PARENT_ID, PHARM_ID) REFERENCES PARENT (ID, PHARM_ID)) ENGINE=InnoDB");
        WriteArchive(1, {ReplTables({{1, "STOCK"}, {2, "CHILD"}, {3, "PARENT"}}),
                         Stock({StockRow(1, "one", 10), StockRow(2, "two", 20)})});
        Install(1);
        ASSERT_EQ(LastArchive(), 1);
        log.Clear();
    }

    static std::vector<TPacketFieldDef> ChildFields() {
        return {{"ID", TFieldType::ftInteger}, {"PARENT_ID", TFieldType::ftInteger}};
    }
    static std::vector<TPacketFieldDef> ParentFields() {
        return {{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 40}};
    }
};

TEST_F(ItemsTest, DuplicatesArePrunedAndKeysAppliedInItemOrder) {
    WriteArchive(2, {ReplItems({
                         {1, 1, 1, 7},   // insert 7
                         {2, 2, 1, 7},   // update 7: shadowed by the insert
                         {3, 2, 1, 7},   // duplicate of item 2
                         {4, 2, 1, 2},   // update 2
                         {5, 3, 1, 2},   // then delete 2
                         {6, 1, 1, 1},   // insert of a key the pharmacy has: passed over
                         {8, 4, 1, 1},   // unknown operation
                         {9, 1, 99, 1},  // unknown table
                         {10, 1, 1, 50}, // insert of a key the staging copy lacks
                     }),
                     Stock({StockRow(7, "seven", 7), StockRow(2, "two*", 22), {I(1), S("one*"), Null(), I(11)}})});
    db.Exec("INSERT INTO STOCK (ID, NAME, QTY, PHARM_ID) VALUES (2, 'other pharmacy', 0, 6)");
    Install(2);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:10", "7:seven:7"}));
    EXPECT_EQ(StockOf(6), (std::vector<std::string>{"2:other pharmacy:0"}));
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(ID ORDER BY ID) FROM repl_items_5"), "1,4,5,6,8,9,10");  // 2, 3 pruned
    EXPECT_EQ(db.ScalarStr("SELECT CAST(CHANGED AS CHAR) FROM STOCK WHERE ID = 7 AND PHARM_ID = 5"),
              "2009-03-05 14:07:09");
    EXPECT_FALSE(Contains(InstallerLog(), Cp(u8"Грешка")));
}

// Failed items are tried again in a second sweep, and what still fails is
// logged; an item of a table without packets in the archive reads the staging
// copy an earlier archive left.
TEST_F(ItemsTest, SecondSweepRetriesFailedItemsAndLogsWhatStillFails) {
    db.Exec("UPDATE STOCK SET QTY = 0 WHERE PHARM_ID = 5");
    WriteArchive(2, {ReplItems({
                         {1, 1, 2, 100},  // child before its parent: fails in sweep 0, works in sweep 1
                         {2, 1, 3, 10},   // the parent
                         {3, 1, 2, 101},  // child of a parent that never comes: fails twice
                         {4, 2, 1, 2},    // STOCK row 2 from the staging copy
                     }),
                     Packet{"CHILD[1].xml", ChildFields(), {{I(100), I(10)}, {I(101), I(77)}}},
                     Packet{"PARENT[1].xml", ParentFields(), {{I(10), S("p")}}}});
    Install(2);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM CHILD WHERE ID = 100 AND PHARM_ID = 5"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM CHILD WHERE ID = 101"), 0);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:0", "2:two:20"}));
    const auto lines = InstallerLog();
    EXPECT_EQ(Count(lines, Cp(u8"Грешка при актуализиране: ")), 1) << ::testing::PrintToString(lines);
    EXPECT_EQ(Count(lines, Cp(u8"Грешка при актуализиране: \r\nНомер на ред 101#2: ")), 1);
    EXPECT_EQ(Count(lines, "foreign key"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM repl_items_5 WHERE isValid = 1"), 2);  // failed in sweep 0
}

// A new column of a packet reaches the central column of its name (added
// after PHARM_ID); a new table of a regular archive is registered.
TEST_F(ItemsTest, NewColumnsAndTablesOfARegularArchive) {
    auto fields = StockFields();
    fields.push_back({"NOTE", TFieldType::ftString, 20});
    // Key 2 is deleted, then updated: the update finds no row.
    WriteArchive(2, {ReplItems({{1, 1, 1, 3}, {2, 2, 1, 1}, {3, 1, 4, 1}, {4, 3, 1, 2}, {5, 2, 1, 2}}),
                     Packet{"STOCK[1].xml", fields,
                            {{I(3), S("three"), Null(), I(3), S("n3")}, {I(1), S("one"), Null(), I(1), S("n1")},
                             {I(2), S("back"), Null(), I(2), S("n2")}}},
                     Packet{"notes[1].xml", {{"ID", TFieldType::ftInteger}, {"TXT", TFieldType::ftMemo}},
                            {{I(1), S(Cp(u8"бележка"))}}}});
    Install(2);
    // A null date-time is written as null.
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(CONCAT_WS(':', ID, NOTE, IFNULL(CHANGED, 'null'), PHARM_ID) "
                           "ORDER BY ID) FROM STOCK WHERE PHARM_ID = 5"),
              "1:n1:null:5,3:n3:null:5");
    EXPECT_EQ(db.ScalarStr("SELECT TABLE_NAME FROM repl_tables_5 WHERE ID = 4"), "NOTES");
    EXPECT_EQ(db.ScalarStr("SELECT TXT FROM NOTES WHERE ID = 1 AND PHARM_ID = 5"), Cp(u8"бележка"));
}

// A value that cannot be read does not hold the archive back: it goes in as
// null, and the log names file, row, field and the text (on one line, cut
// when long), once per value.
TEST_F(ItemsTest, AnUnreadableValueIsImportedAsNullAndLogged) {
    std::string stock = WriteXmlDataPacket(StockFields(), {StockRow(3, "three", 333), StockRow(1, "one*", 111)});
    const std::string longText = "x&#13;&#10;" + std::string(120, 'y');
    for (auto [from, to] : {std::pair<std::string, std::string>{"QTY=\"333\"", "QTY=\"abc\""},
                            {"QTY=\"111\"", "QTY=\"1.5\""}}) {
        ASSERT_NE(stock.find(from), std::string::npos);
        stock.replace(stock.find(from), from.size(), to);
    }
    const std::string changed = "CHANGED=\"20090305T14:07:09000\"";
    stock.replace(stock.rfind(changed), changed.size(), "CHANGED=\"" + longText + "\"");
    const Packet items = ReplItems({{1, 1, 1, 3}, {2, 2, 1, 1}});
    std::ofstream(ArchivePath(2), std::ios::binary)
        << MakeRar4Archive({TRar4Entry::File(items.FileName, WriteXmlDataPacket(items.Fields, items.Data)),
                            TRar4Entry::File("STOCK[1].xml", stock)});
    log.Clear();
    Install(2);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one*:", "2:two:20", "3:three:"}));
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM STOCK WHERE PHARM_ID = 5 AND QTY IS NULL"), 2);
    EXPECT_EQ(db.ScalarStr("SELECT IFNULL(CHANGED, 'null') FROM STOCK WHERE PHARM_ID = 5 AND ID = 1"), "null");
    EXPECT_EQ(db.ScalarStr("SELECT CAST(CHANGED AS CHAR) FROM STOCK WHERE PHARM_ID = 5 AND ID = 3"),
              "2009-03-05 14:07:09");
    std::vector<std::string> unreadable;
    for (const std::string& l : log.Messages("TDMBase"))
        if (l.find("cannot be read") != std::string::npos) unreadable.push_back(l);
    EXPECT_EQ(unreadable, (std::vector<std::string>{
                              "File STOCK[1].xml row 0 field QTY: value 'abc' cannot be read, imported as null",
                              "File STOCK[1].xml row 1 field CHANGED: value 'x  " + std::string(97, 'y') +
                                  "...' cannot be read, imported as null",
                              "File STOCK[1].xml row 1 field QTY: value '1.5' cannot be read, imported as null"}));
    EXPECT_FALSE(Contains(InstallerLog(), Cp(u8"Грешка")));
}

// Every packet field type, with the characters XML escapes, through the whole
// road, from packets in each encoding.
class AllTypes : public InstallerTest {
protected:
    static std::vector<TPacketFieldDef> Fields() {
        using T = TFieldType;
        return {{"ID", T::ftInteger}, {"S", T::ftString, 20}, {"W", T::ftWideString, 10}, {"SI", T::ftSmallint},
                {"WO", T::ftWord}, {"LI", T::ftLargeint}, {"B", T::ftBoolean}, {"F", T::ftFloat}, {"C", T::ftCurrency},
                {"BC", T::ftBCD, 2, 10}, {"DA", T::ftDate}, {"TI", T::ftTime}, {"DT", T::ftDateTime}, {"BL", T::ftBlob},
                {"ME", T::ftMemo}, {"FC", T::ftFixedChar, 3}};
    }
    static Row Values(int id, bool flag, const std::string& text) {
        return {I(id),
                S(text + " <&>"),
                S(Cp(u8"ш") + text),
                Variant(static_cast<int32_t>(-12)),
                Variant(static_cast<int32_t>(65000)),
                Variant(static_cast<int64_t>(5000000000LL + id)),
                Variant(flag),
                Variant(0.1),
                Variant(Currency::FromString("12.3456")),
                S("12345678.91"),
                D(2011, 4, 30),
                Variant::FromDate(EncodeDateTime(1899, 12, 30, 13, 14, 15)),
                D(2009, 3, 5, 14, 7, 9),
                S(std::string("\x00\x01\xFF<&>\"", 7)),
                S(Cp(u8"бележка ") + text + "\r\n\t\"x\""),
                S("abc")};
    }
    std::string RowText(int id) {
        auto r = db.Rows(
            "SELECT S, W, SI, WO, LI, B+0, F, CAST(C AS CHAR), CAST(BC AS CHAR), CAST(DA AS CHAR), CAST(TI AS CHAR), "
            "CAST(DT AS CHAR), HEX(BL), ME, FC FROM ALLT WHERE PHARM_ID = 5 AND ID = " + std::to_string(id));
        if (r.size() != 1) return "rows: " + std::to_string(r.size());
        std::string out;
        for (const Variant& v : r[0]) out += VarToStr(v) + "|";
        return out;
    }
    // The row of Values(id, flag, text) as RowText gives it.
    static std::string Expected(const std::string& text, bool flag, int id) {
        return text + " <&>|" + Cp(u8"ш") + text + "|-12|65000|500000000" + std::to_string(id) + (flag ? "|1" : "|0") +
               "|0.1|12.3456|12345678.91|2011-04-30 00:00:00|1899-12-30 13:14:15|2009-03-05 14:07:09|0001FF3C263E22|" +
               Cp(u8"бележка ") + text + "\r\n\t\"x\"|abc|";
    }
};

TEST_F(AllTypes, ValuesArriveUnchangedByMergeInsertAndUpdate) {
    WriteArchive(1, {ReplTables({{1, "ALLT"}}), Packet{"ALLT[1].xml", Fields(), {Values(1, true, "one")}}}, kPharm,
                 TPacketEncoding::Escaped);
    Install(1);
    ASSERT_EQ(LastArchive(), 1) << ::testing::PrintToString(InstallerLog());
    EXPECT_EQ(RowText(1), Expected("one", true, 1));
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT(ENGINE, ' ', TABLE_COLLATION) FROM information_schema.tables WHERE "
                           "table_schema = database() AND table_name = 'ALLT'"),
              "InnoDB cp1251_general_ci");

    // Row 1 updated (flag off), row 2 inserted.
    WriteArchive(2, {ReplItems({{1, 2, 1, 1}, {2, 1, 1, 2}}),
                     Packet{"ALLT[1].xml", Fields(), {Values(1, false, "uno"), Values(2, true, "two")}}},
                 kPharm, TPacketEncoding::Utf8);

    Install(2);
    ASSERT_EQ(LastArchive(), 2);
    EXPECT_FALSE(Contains(InstallerLog(), Cp(u8"Грешка"))) << ::testing::PrintToString(InstallerLog());
    EXPECT_EQ(RowText(1), Expected("uno", false, 1));
    EXPECT_EQ(RowText(2), Expected("two", true, 2));
}

// ---- Staging tables (made from packets as the tests above read them back):
// row import, and the merge of a pharmacy's staging copy into the shared table.

class StagingImport : public InstallerTest {
protected:
    std::string WritePacket(const std::string& name, const std::vector<TPacketFieldDef>& fields, const Rows& rows) {
        SaveXmlDataPacket(dir.File(name), fields, rows);
        return dir.File(name);
    }
    TempDir dir;
    TDMBase dm;
    TStagingImport imp{dm};
};

TEST_F(StagingImport, ImportsFilesInBracketOrderWithTypesNullsAndParcelDates) {
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

    // Expiry dates of parcels below zero become zero, of other tables not.
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

// The statement that creates a table, to the character: the key line, the
// form of a staging copy (no PHARM_ID) and the form without ID.
TEST(StagingImportSql, CreateStatementTextAndKey) {
    const std::vector<TPacketFieldDef> f{{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 50}};
    const std::vector<TPacketFieldDef> noId{{"CODE", TFieldType::ftString, 5}, {"QTY", TFieldType::ftSmallint}};
    const struct {
        const std::vector<TPacketFieldDef>& fields;
        const char* table;
        const char* sql;
    } cases[] = {
        {f, "ARTICLE",
         "CREATE TABLE `ARTICLE`(\r\n `ID` int,\r\n `NAME` varchar(50),\r\n `PHARM_ID` int,\r\n"
         "PRIMARY KEY (`ID`, `PHARM_ID`)) ENGINE=InnoDB DEFAULT CHARSET=cp1251"},
        {f, "ARTICLE_12",
         "CREATE TABLE `ARTICLE_12`(\r\n `ID` int,\r\n `NAME` varchar(50),\r\n"
         "PRIMARY KEY (`ID`)) ENGINE=InnoDB DEFAULT CHARSET=cp1251"},
        {noId, "X_3", "CREATE TABLE `X_3`(\r\n `CODE` varchar(5),\r\n `QTY` smallint) ENGINE=InnoDB DEFAULT CHARSET=cp1251"},
        {noId, "X",
         "CREATE TABLE `X`(\r\n `CODE` varchar(5),\r\n `QTY` smallint,\r\n `PHARM_ID` int) ENGINE=InnoDB DEFAULT "
         "CHARSET=cp1251"},
        // The key field is found in any letter case.
        {{{"id", TFieldType::ftInteger}}, "Y_1", "CREATE TABLE `Y_1`(\r\n `id` int,\r\nPRIMARY KEY (`ID`)) ENGINE=InnoDB "
                                                 "DEFAULT CHARSET=cp1251"},
    };
    for (const auto& c : cases) EXPECT_EQ(TStagingImport::BuildCreateTableSQL(c.fields, c.table), c.sql) << c.table;
}

TEST(StagingImportSql, ColumnTypes) {
    using T = TFieldType;
    const struct {
        T type;
        int size, precision;
        const char* sql;
    } cases[] = {
        {T::ftString, 30, 0, "varchar(30)"}, {T::ftWideString, 7, 0, "varchar(7)"}, {T::ftSmallint, 0, 0, "smallint"},
        {T::ftInteger, 0, 0, "int"}, {T::ftWord, 0, 0, "int"}, {T::ftLargeint, 0, 0, "BIGINT"},
        {T::ftBoolean, 0, 0, "bit"}, {T::ftFloat, 0, 0, "double precision"},
        {T::ftCurrency, 0, 0, "DECIMAL(19,4)"},  // no size: no valid pair
        {T::ftCurrency, 12, 2, "numeric(12,2)"}, {T::ftBCD, 3, 12, "numeric(12,3)"},  // precision first, then size
        {T::ftBCD, 5, 2, "DECIMAL(19,4)"}, {T::ftBCD, 0, 1, "numeric(1,0)"}, {T::ftBCD, 38, 65, "numeric(65,38)"},
        {T::ftBCD, 0, 66, "DECIMAL(19,4)"}, {T::ftBCD, 39, 65, "DECIMAL(19,4)"}, {T::ftBCD, 0, 0, "DECIMAL(19,4)"},
        {T::ftBCD, -1, 5, "DECIMAL(19,4)"},
        {T::ftDate, 0, 0, "datetime"}, {T::ftTime, 0, 0, "datetime"}, {T::ftDateTime, 0, 0, "datetime"},
        {T::ftBlob, 0, 0, "LONGBLOB"}, {T::ftGraphic, 0, 0, "LONGBLOB"}, {T::ftMemo, 0, 0, "text"},
        {T::ftFmtMemo, 0, 0, "text"}, {T::ftFixedChar, 3, 0, "char(3)"},
        {T::ftAutoInc, 0, 0, "unsupported field type"}, {T::ftDataSet, 0, 0, "unsupported field type"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TStagingImport::FieldToSQLType(TPacketFieldDef{"F", c.type, c.size, c.precision}), c.sql)
            << static_cast<int>(c.type) << " " << c.size << "," << c.precision;
}

TEST_F(StagingImport, CreatesTablesAndAddsOnlyMissingColumns) {
    auto columns = [&](const std::string& table) {
        std::vector<std::string> out;
        for (const auto& r : db.Rows("SELECT column_name FROM information_schema.columns WHERE table_schema = "
                                     "database() AND table_name = '" + table + "' ORDER BY ordinal_position"))
            out.push_back(VarToStr(r[0]));
        return out;
    };
    std::string v1 = WritePacket("STOCK[1].xml", StockFields(), {});
    auto ran = imp.CreateOrUpdateTable(v1, "STOCK");
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].rfind("CREATE TABLE `STOCK`(", 0), 0u);
    EXPECT_EQ(columns("STOCK"), (std::vector<std::string>{"ID", "NAME", "CHANGED", "QTY", "PHARM_ID"}));
    imp.CreateOrUpdateTable(v1, "STOCK_5");
    EXPECT_EQ(columns("STOCK_5"), (std::vector<std::string>{"ID", "NAME", "CHANGED", "QTY"}));
    EXPECT_TRUE(imp.TableExists("STOCK") && !imp.TableExists("STOCK_6"));
    EXPECT_TRUE(imp.TableHasPharmID("STOCK"));
    EXPECT_FALSE(imp.TableHasPharmID("STOCK_5"));

    // The same packet again: nothing to do.
    EXPECT_TRUE(imp.CreateOrUpdateTable(v1, "STOCK").empty());

    // One more field, and another letter case for an existing one: one ALTER.
    auto fields = StockFields();
    fields[1].Name = "name";
    fields.push_back({"PRICE", TFieldType::ftCurrency});
    ran = imp.CreateOrUpdateTable(WritePacket("STOCK[2].xml", fields, {}), "STOCK");
    EXPECT_EQ(ran, (std::vector<std::string>{"ALTER TABLE `STOCK` ADD `PRICE` DECIMAL(19,4);"}));
    EXPECT_EQ(columns("STOCK").back(), "PRICE");

    // An ALTER the database refuses is passed over without an error, and
    // the next missing column is still added.
    std::vector<TPacketFieldDef> bad = StockFields();
    bad.push_back({"KIDS", TFieldType::ftDataSet});
    bad.push_back({"NOTE", TFieldType::ftString, 10});
    ran = imp.CreateOrUpdateTable(WritePacket("STOCK[3].xml", bad, {}), "STOCK");
    EXPECT_EQ(ran, (std::vector<std::string>{"ALTER TABLE `STOCK` ADD `KIDS` unsupported field type;",
                                             "ALTER TABLE `STOCK` ADD `NOTE` varchar(10);"}));
    EXPECT_EQ(columns("STOCK"), (std::vector<std::string>{"ID", "NAME", "CHANGED", "QTY", "PHARM_ID", "PRICE", "NOTE"}));
    const auto lines = log.Messages("TDMBase");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "\"Show tables\" Table STOCK not exists");
    EXPECT_EQ(lines[1], "\"Show tables\" Table STOCK_5 not exists");
    EXPECT_EQ(lines[2], "\"Show tables\" Table STOCK exists");
}

// The same packets into a table taking rows one by one (MyISAM) and one
// taking them many per statement (InnoDB): the same rows, values and order.
TEST_F(StagingImport, ManyRowsPerStatementEndAsOneRowPerStatement) {
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
    EXPECT_EQ(db.ScalarStr("SELECT CONCAT_WS('|', ID, NAME, QTY, PRICE, LENGTH(NOTE), PHARM_ID) FROM STOCK_InnoDB "
                           "WHERE SEQ = 2"),
              "1|" + Cp(u8"Аспирин 'forte' \\ ") + "1|7|1.1250|1|9");
}

// The merge of a staging copy: its statements, in chunks of 5,000 rows when
// it holds more (exactly 5,000 is one statement; 10,000 ends on an empty
// chunk), every row once; a shared table without PHARM_ID is never emptied.
class StagingMerge : public StagingImport {
protected:
    void FillStaging(int rows) {
        db.Exec("DROP TABLE IF EXISTS STOCK, STOCK_5");
        db.Exec("CREATE TABLE STOCK (ID INT, NAME VARCHAR(40), QTY INT, PHARM_ID INT, PRIMARY KEY (ID, PHARM_ID))");
        db.Exec("CREATE TABLE STOCK_5 (ID INT PRIMARY KEY, NAME VARCHAR(40), QTY INT)");
        db.Exec("INSERT INTO STOCK_5 SELECT seq, CONCAT('n', seq), seq % 7 FROM seq_1_to_" + std::to_string(rows));
        db.Exec("INSERT INTO STOCK VALUES (1, 'old', 0, 5), (99999, 'old', 0, 5), (1, 'six', 0, 6)");
    }
};

TEST_F(StagingMerge, ChunksOfFiveThousandInKeyOrder) {
    const std::string insert =
        "insert into `STOCK` (`ID`, `NAME`, `QTY`, `PHARM_ID`) (select `ID`, `NAME`, `QTY`, 5 as `PHARM_ID` from "
        "`STOCK_5`";
    const struct {
        int rows;
        std::vector<std::string> limits;  // of the inserts, "" for one without
    } cases[] = {
        {1, {""}},
        {4999, {""}},
        {5000, {""}},
        {5001, {" order by `ID` limit 0,5000)", " order by `ID` limit 5000,5000)"}},
        {10000, {" order by `ID` limit 0,5000)", " order by `ID` limit 5000,5000)", " order by `ID` limit 10000,5000)"}},
        {12000, {" order by `ID` limit 0,5000)", " order by `ID` limit 5000,5000)", " order by `ID` limit 10000,5000)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rows);
        FillStaging(c.rows);
        std::vector<std::string> expected{"delete from `STOCK` where `PHARM_ID` = 5"};
        for (const std::string& l : c.limits) expected.push_back(insert + (l.empty() ? ")" : l));
        imp.MergeSplitTable("STOCK", 5, false);
        EXPECT_EQ(imp.LastMergeStatements(), expected);
        EXPECT_EQ(db.ScalarStr("SELECT CONCAT_WS(' ', COUNT(*), COUNT(DISTINCT ID), SUM(NAME = CONCAT('n', ID))) "
                               "FROM STOCK WHERE PHARM_ID = 5"),
                  Format("%d %d %d", {c.rows, c.rows, c.rows}));
        EXPECT_EQ(db.ScalarStr("SELECT NAME FROM STOCK WHERE PHARM_ID = 6"), "six");
    }
}

TEST_F(StagingMerge, ATableWithoutPharmIdIsNeverEmptied) {
    db.Exec("CREATE TABLE SHARED_T (ID INT PRIMARY KEY, NAME VARCHAR(40))");
    db.Exec("CREATE TABLE SHARED_T_5 (ID INT PRIMARY KEY, NAME VARCHAR(40))");
    db.Exec("INSERT INTO SHARED_T VALUES (1, 'central')");
    db.Exec("INSERT INTO SHARED_T_5 VALUES (2, 'pharmacy')");
    EXPECT_THROW(imp.MergeSplitTable("SHARED_T", 5, false), EPacketError);
    EXPECT_EQ(db.ScalarStr("SELECT GROUP_CONCAT(NAME) FROM SHARED_T"), "central");
}

// The column lists of an item's insert and update.
TEST(ItemHelpers, SelectAndSetLists) {
    TXmlDataPacket row;
    row.LoadFromString(WriteXmlDataPacket({{"a", TFieldType::ftInteger}, {"ID", TFieldType::ftInteger},
                                           {"c", TFieldType::ftInteger}, {"pharm_id", TFieldType::ftInteger}},
                                          {}));
    EXPECT_EQ(TReplicationItems::BuildSelectFieldList(row, 5), "`a`, `ID`, `c`, `pharm_id`, 5 as `PHARM_ID`");
    EXPECT_EQ(TReplicationItems::BuildUpdateSetList(row, "id"), "`a` = :a, `c` = :c");
    EXPECT_EQ(TReplicationItems::BuildUpdateSetList(row, "c"), "`a` = :a, `ID` = :ID");
    TXmlDataPacket none;
    none.LoadFromString(WriteXmlDataPacket({}, {}));
    EXPECT_EQ(TReplicationItems::BuildSelectFieldList(none, 5), "5 as `PHARM_ID`");
    EXPECT_EQ(TReplicationItems::BuildUpdateSetList(none, "ID"), "");
}

// ---- The XML packet reader on packets as the pharmacies write them (the packets
// the tests above install come from the test writer, in every encoding).

// A packet as the pharmacies' program writes it, with its own value forms.
TEST(DataPacketReader, ReadsTheClientDatasetForms) {
    std::string xml =
        "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
        "<FIELD attrname=\"ID\" fieldtype=\"i4\" SUBTYPE=\"Autoinc\"/>"
        "<FIELD attrname=\"NAME\" fieldtype=\"string\" WIDTH=\"30\"/>"
        "<FIELD attrname=\"EXPIRY_DATE\" fieldtype=\"date\"/>"
        "<FIELD attrname=\"CHANGED\" fieldtype=\"dateTime\"/>"
        "<FIELD attrname=\"PRICE\" fieldtype=\"fixed\" DECIMALS=\"2\" WIDTH=\"10\"/>"
        "<FIELD attrname=\"W\" fieldtype=\"string.uni\" WIDTH=\"40\"/>"
        "<FIELD attrname=\"ACTIVE\" fieldtype=\"boolean\"/>"
        "<FIELD attrname=\"KIDS\" fieldtype=\"nested\"/>"
        "<FIELD attrname=\"N1\" fieldtype=\"string\" WIDTH=\"-5\"/>"
        "<FIELD attrname=\"N2\" fieldtype=\"string\" WIDTH=\"3000000000\"/>"
        "<FIELD attrname=\"N3\" fieldtype=\"string\" WIDTH=\"7x\"/>"
        "<FIELD attrname=\"F\" fieldtype=\"r8\"/>"
        "</FIELDS><PARAMS/></METADATA><ROWDATA>"
        "<ROW RowState=\"4\" ID=\"1\" NAME=\"&#192;&#1041;c\" EXPIRY_DATE=\"18991225\" "
        "CHANGED=\"20090305T14:07:09000\" PRICE=\"12.50\" ACTIVE=\"FALSE\" F=\"+2,5\"/>"
        "<ROW ID=\"2\" EXPIRY_DATE=\"2010-01-31\" CHANGED=\"2009-03-05T14:07:09.5\" ACTIVE=\"True\"/>"
        "</ROWDATA></DATAPACKET>";
    TXmlDataPacket p;
    p.LoadFromString(xml);
    ASSERT_EQ(p.FieldCount(), 12);
    // A width that is no 32-bit count gives no size.
    for (int i : {8, 9, 10}) EXPECT_EQ(p.FieldDefs()[i].Size, 0) << p.FieldDefs()[i].Name;
    EXPECT_EQ(p.FieldDefs()[0].DataType, TFieldType::ftAutoInc);
    EXPECT_EQ(p.FieldDefs()[4].DataType, TFieldType::ftBCD);
    EXPECT_EQ(p.FieldDefs()[4].Precision, 10);
    EXPECT_EQ(p.FieldDefs()[4].Size, 2);
    EXPECT_EQ(p.FieldDefs()[5].Size, 20);
    EXPECT_EQ(p.FieldDefs()[7].DataType, TFieldType::ftDataSet);
    ASSERT_EQ(p.RowCount(), 2u);
    // &#192; in a packet without a declared encoding is the cp1251 byte C0
    // (a Cyrillic A); &#1041; is the Unicode character (a Cyrillic Be).
    EXPECT_EQ(p.Value(0, 1).AsString(), Cp(u8"АБc"));
    EXPECT_DOUBLE_EQ(p.Value(0, 2).AsDateTime(), -5.0);
    EXPECT_EQ(DateTimeToSqlText(p.Value(0, 3).AsDateTime()), "2009-03-05 14:07:09");
    EXPECT_EQ(p.Value(0, 4).AsString(), "12.50");
    EXPECT_TRUE(p.Value(0, 5).IsNull());
    EXPECT_FALSE(p.Value(0, 6).AsBoolean());
    EXPECT_EQ(p.Value(0, 11).AsDouble(), 2.5);
    EXPECT_TRUE(p.Value(0, 7).IsNull());
    EXPECT_TRUE(p.Value(1, 1).IsNull());
    EXPECT_EQ(DateToText(p.Value(1, 2).AsDateTime()), "31.01.2010");
    EXPECT_TRUE(p.Value(1, 6).AsBoolean());
    // A byte order mark alone makes the packet UTF-8: text is converted and
    // a reference is a Unicode character, as XML has it.
    p.LoadFromString("\xEF\xBB\xBF<?xml version=\"1.0\"?><DATAPACKET Version=\"2.0\"><METADATA>"
                     "<FIELDS><FIELD attrname=\"NAME\" fieldtype=\"string\" WIDTH=\"30\"/></FIELDS></METADATA>"
                     "<ROWDATA><ROW NAME=\"" + std::string(reinterpret_cast<const char*>(u8"Ёлха &#192;")) +
                     "\"/></ROWDATA></DATAPACKET>");
    ASSERT_EQ(p.RowCount(), 1u);
    EXPECT_EQ(p.Value(0, 0).AsString(), Cp(u8"Ёлха À"));
}

TEST(DataPacketReader, BrokenPacketsRaise) {
    TXmlDataPacket p;
    EXPECT_THROW(p.LoadFromString("not xml at all"), EReadError);
    EXPECT_THROW(p.LoadFromString("<?xml version=\"1.0\"?><ROOT/>"), EReadError);
    const std::string brokenRow = "<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"ID\" fieldtype=\"i4\"/>"
                                  "</FIELDS></METADATA><ROWDATA><ROW ID=\"12x\"/></ROWDATA></DATAPACKET>";
    EXPECT_THROW(p.LoadFromString(brokenRow), EReadError);
    // The field definitions alone are read without the rows.
    TempDir dir;
    const auto defs = TXmlDataPacket::ReadFieldDefs(dir.Write("X[1].xml", brokenRow));
    ASSERT_EQ(defs.size(), 1u);
    EXPECT_EQ(defs[0].Name, "ID");
    EXPECT_THROW(p.LoadFromString("<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"ID\" fieldtype=\"i4\"/>"
                                  "</FIELDS><PARAMS CHANGE_LOG=\"1 0 4\"/></METADATA><ROWDATA><ROW ID=\"1\"/>"
                                  "</ROWDATA></DATAPACKET>"),
                 EReadError);
    EXPECT_THROW(p.LoadFromFile("/nonexistent/X[1].xml"), EInOutError);
    EXPECT_FALSE(p.Active());
}

// Every field type and null values written by the test writer, in each
// encoding, read back with their definitions and value types.
class DataPacketRoundTrip : public ::testing::TestWithParam<TPacketEncoding> {};

TEST_P(DataPacketRoundTrip, EveryTypeAndNullsSurvive) {
    using T = TFieldType;
    const std::vector<TPacketFieldDef> fields{
        {"ID", T::ftInteger, 0, 0, true}, {"NAME", T::ftString, 50},   {"WNAME", T::ftWideString, 20},
        {"CODE", T::ftFixedChar, 4},      {"QTY", T::ftSmallint},       {"BIG", T::ftLargeint},
        {"FLAG", T::ftBoolean},           {"RATE", T::ftFloat},         {"PRICE", T::ftCurrency},
        {"AMOUNT", T::ftBCD, 3, 12},      {"DAY", T::ftDate},           {"AT", T::ftTime},
        {"STAMP", T::ftDateTime},         {"NOTE", T::ftMemo},          {"PIC", T::ftBlob}};
    const Row full{I(7),
                   S(Cp(u8"Аналгин & \"Ко\" <таб.>")),
                   S(Cp(u8"Широк")),
                   S("AB12"),
                   I(-300),
                   Variant(int64_t(9000000000LL)),
                   Variant(true),
                   Variant(0.1),
                   Variant(Currency::FromString("12.3456")),
                   S("-123456789.125"),
                   D(2009, 3, 5),
                   Variant::FromDate(EncodeDateTime(1899, 12, 30, 14, 7, 9, 250)),
                   D(2009, 3, 5, 14, 7, 9),
                   S(Cp(u8"ред 1\r\nред 2\tкрай")),
                   S(std::string("\x00\x01\xFF<&>\"", 7))};
    Row keyOnly(fields.size(), Null());
    keyOnly[0] = I(8);
    TempDir dir;
    SaveXmlDataPacket(dir.File("ARTICLE[1].xml"), fields, {full, keyOnly}, GetParam());
    TXmlDataPacket p;
    p.LoadFromFile(dir.File("ARTICLE[1].xml"));
    ASSERT_EQ(p.RowCount(), 2u);
    ASSERT_EQ(p.FieldDefs().size(), fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        SCOPED_TRACE(fields[i].Name);
        const TPacketFieldDef& d = p.FieldDefs()[i];
        EXPECT_EQ(d.Name + " " + std::to_string(static_cast<int>(d.DataType)) + " " + std::to_string(d.Size) + " " +
                      std::to_string(d.Precision) + (d.Required ? " required" : ""),
                  fields[i].Name + " " + std::to_string(static_cast<int>(fields[i].DataType)) + " " +
                      std::to_string(fields[i].Size) + " " + std::to_string(fields[i].Precision) +
                      (i == 0 ? " required" : ""));
        const Variant& v = p.Value(0, i);
        if (v.Type() == VarType::Date)
            EXPECT_NEAR(v.AsDateTime(), full[i].AsDateTime(), 1e-8);
        else
            EXPECT_EQ(v.AsString(), full[i].AsString());
        EXPECT_EQ(p.Value(1, i).IsNull(), i > 0);
    }
    EXPECT_EQ(p.Value(0, 5).Type(), VarType::Int64);
    EXPECT_EQ(p.Value(0, 8).Type(), VarType::Currency);
    for (size_t i : {10, 11, 12}) EXPECT_EQ(p.Value(0, i).Type(), VarType::Date) << i;
}

INSTANTIATE_TEST_SUITE_P(Encodings, DataPacketRoundTrip,
                         ::testing::Values(TPacketEncoding::Cp1251, TPacketEncoding::Escaped, TPacketEncoding::Utf8));

TEST(DataPacketReader, CursorAndEditingThroughTheDatasetInterface) {
    TXmlDataPacket p;
    p.LoadFromString(WriteXmlDataPacket({{"ID", TFieldType::ftInteger}, {"EXPIRY_DATE", TFieldType::ftDate}},
                                        {{I(1), Variant::FromDate(-5)}, {I(2), Null()}}));
    EXPECT_TRUE(p.Active());
    TField& d = p.FieldByName("expiry_date");
    p.First();
    EXPECT_EQ(p.RecNo(), 1);
    d.SetAsVariant(Variant::FromDate(0));
    p.Next();
    EXPECT_TRUE(d.IsNull());
    EXPECT_EQ(p.FieldByName("ID").AsInteger(), 2);
    p.Next();
    EXPECT_TRUE(p.Eof());
    EXPECT_DOUBLE_EQ(p.Value(0, 1).AsDateTime(), 0.0);
    EXPECT_THROW(p.FieldByName("NOPE"), EDatabaseError);
}

// With a handler, a value that cannot be read is null and reported; the
// rest of its row and the rows after it are read as usual.
TEST(DataPacketReader, UnreadableValuesGoToTheHandlerAsNull) {
    const std::string xml =
        "<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"ID\" fieldtype=\"i4\"/>"
        "<FIELD attrname=\"D\" fieldtype=\"date\"/><FIELD attrname=\"B\" fieldtype=\"boolean\"/></FIELDS></METADATA>"
        "<ROWDATA><ROW ID=\"12x\" D=\"20100131\" B=\"TRUE\"/><ROW ID=\"2\" D=\"31.01.2010\" B=\"maybe\"/>"
        "<ROW ID=\"3\"/></ROWDATA></DATAPACKET>";
    TXmlDataPacket p;
    std::vector<std::string> seen;
    p.SetOnUnreadableValue(
        [&](const TUnreadableValue& u) { seen.push_back(std::to_string(u.Row) + " " + u.Field + " " + u.Text); });
    p.LoadFromString(xml);
    EXPECT_EQ(seen, (std::vector<std::string>{"0 ID 12x", "1 D 31.01.2010", "1 B maybe"}));
    ASSERT_EQ(p.RowCount(), 3u);
    EXPECT_TRUE(p.Value(0, 0).IsNull());
    EXPECT_EQ(DateToText(p.Value(0, 1).AsDateTime()), "31.01.2010");
    EXPECT_TRUE(p.Value(0, 2).AsBoolean());
    EXPECT_EQ(p.Value(1, 0).AsInteger(), 2);
    EXPECT_TRUE(p.Value(1, 1).IsNull() && p.Value(1, 2).IsNull());
    EXPECT_EQ(p.Value(2, 0).AsInteger(), 3);
}

}  // namespace
}  // namespace installer_test
