// Application of replication items: pruning of duplicates, inserts, updates
// and deletes by key, the two sweeps, the statement helpers, and every packet
// field type the column mapping takes through the whole road (packet, staging
// copy, initial merge, item insert and update).
#include "installer_fixture.h"

#include "replication/packet/replication_items.h"

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
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM repl_items_5"), 7);  // items 2 and 3 pruned
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM repl_items_5 WHERE ID IN (2, 3)"), 0);
    EXPECT_EQ(db.ScalarStr("SELECT CAST(CHANGED AS CHAR) FROM STOCK WHERE ID = 7 AND PHARM_ID = 5"),
              "2009-03-05 14:07:09");
    auto lines = InstallerLog();
    EXPECT_TRUE(Contains(lines, "Set Regular Data"));
    EXPECT_FALSE(Contains(lines, Cp(u8"Грешка")));
}

TEST_F(ItemsTest, UpdateAndDeleteOfTheSameKeyBothApply) {
    WriteArchive(2, {ReplItems({{1, 3, 1, 1}, {2, 2, 1, 1}, {3, 2, 1, 2}}),
                     Stock({StockRow(1, "back", 1), {I(2), S("two*"), Null(), I(22)}})});
    Install(2);
    // Delete, then an update that finds no row; a null date-time is written as null.
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"2:two*:22"}));
    EXPECT_TRUE(db.Scalar("SELECT CHANGED FROM STOCK WHERE ID = 2 AND PHARM_ID = 5").IsNull());
}

TEST_F(ItemsTest, SecondSweepRetriesFailedItemsAndLogsWhatStillFails) {
    WriteArchive(2, {ReplItems({
                         {1, 1, 2, 100},  // child before its parent: fails in sweep 0, works in sweep 1
                         {2, 1, 3, 10},   // the parent
                         {3, 1, 2, 101},  // child of a parent that never comes: fails twice
                     }),
                     Packet{"CHILD[1].xml", ChildFields(), {{I(100), I(10)}, {I(101), I(77)}}},
                     Packet{"PARENT[1].xml", ParentFields(), {{I(10), S("p")}}}});
    Install(2);
    EXPECT_EQ(LastArchive(), 2);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM CHILD WHERE ID = 100 AND PHARM_ID = 5"), 1);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM CHILD WHERE ID = 101"), 0);
    std::vector<std::string> errors;
    for (const auto& l : InstallerLog())
        if (l.rfind(Cp(u8"Грешка при актуализиране: "), 0) == 0) errors.push_back(l);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(Cp(u8"Грешка при актуализиране: \r\nНомер на ред 101#2: "), 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find("foreign key"), std::string::npos);
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM repl_items_5 WHERE isValid = 1"), 2);
}

TEST_F(ItemsTest, StagingCopiesWithoutPacketsKeepEarlierRows) {
    // Archive 2 carries no STOCK packets: the update reads the staging copy
    // that archive 1 left.
    db.Exec("UPDATE STOCK SET QTY = 0 WHERE PHARM_ID = 5");
    WriteArchive(2, {ReplItems({{1, 2, 1, 2}})});
    Install(2);
    EXPECT_EQ(StockOf(), (std::vector<std::string>{"1:one:0", "2:two:20"}));
}

TEST_F(ItemsTest, NewPacketColumnsReachTheRightCentralColumns) {
    auto fields = StockFields();
    fields.push_back({"NOTE", TFieldType::ftString, 20});
    WriteArchive(2, {ReplItems({{1, 1, 1, 3}, {2, 2, 1, 1}}),
                     Packet{"STOCK[1].xml", fields,
                            {{I(3), S("three"), Null(), I(3), S("n3")}, {I(1), S("one"), Null(), I(1), S("n1")}}}});
    Install(2);
    auto rows = db.Rows("SELECT ID, NOTE, PHARM_ID FROM STOCK WHERE PHARM_ID = 5 ORDER BY ID");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(VarToStr(rows[0][1]), "n1");
    EXPECT_EQ(VarToStr(rows[2][1]), "n3");
    EXPECT_EQ(rows[2][2].AsInteger(), 5);
}

TEST_F(ItemsTest, ANewTableOfARegularArchiveIsRegistered) {
    WriteArchive(2, {ReplItems({{1, 1, 4, 1}}),
                     Packet{"notes[1].xml", {{"ID", TFieldType::ftInteger}, {"TXT", TFieldType::ftMemo}},
                            {{I(1), S(Cp(u8"бележка"))}}}});
    Install(2);
    EXPECT_EQ(db.ScalarStr("SELECT TABLE_NAME FROM repl_tables_5 WHERE ID = 4"), "NOTES");
    EXPECT_EQ(db.ScalarStr("SELECT TXT FROM NOTES WHERE ID = 1 AND PHARM_ID = 5"), Cp(u8"бележка"));
}

// Every packet field type, with the characters XML escapes, through the whole
// road, from packets in each encoding.
class AllTypes : public InstallerTest {
protected:
    static std::vector<TPacketFieldDef> Fields() {
        return {{"ID", TFieldType::ftInteger},
                {"S", TFieldType::ftString, 20},
                {"W", TFieldType::ftWideString, 10},
                {"SI", TFieldType::ftSmallint},
                {"WO", TFieldType::ftWord},
                {"LI", TFieldType::ftLargeint},
                {"B", TFieldType::ftBoolean},
                {"F", TFieldType::ftFloat},
                {"C", TFieldType::ftCurrency},
                {"BC", TFieldType::ftBCD, 2, 10},
                {"DA", TFieldType::ftDate},
                {"TI", TFieldType::ftTime},
                {"DT", TFieldType::ftDateTime},
                {"BL", TFieldType::ftBlob},
                {"ME", TFieldType::ftMemo},
                {"FC", TFieldType::ftFixedChar, 3}};
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
        return text + " <&>|" + Cp(u8"ш") + text + "|-12|65000|500000000" + std::to_string(id) + "|" + (flag ? "1" : "0") +
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

}  // namespace
}  // namespace installer_test
