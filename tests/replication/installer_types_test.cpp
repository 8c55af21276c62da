// Every packet field type the column mapping takes, through the whole road:
// packet, staging copy, initial merge, and item insert and update.
#include "installer_fixture.h"

namespace installer_test {
namespace {

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
                S(text),
                S(Cp(u8"ш") + text),
                Variant(static_cast<int32_t>(-12)),
                Variant(static_cast<int32_t>(65000)),
                Variant(static_cast<int64_t>(5000000000LL + id)),
                Variant(flag),
                Variant(1.25),
                Variant(Currency::FromString("12.3456")),
                S("12345678.91"),
                D(2011, 4, 30),
                Variant::FromDate(EncodeDateTime(1899, 12, 30, 13, 14, 15)),
                D(2009, 3, 5, 14, 7, 9),
                S(std::string("\x00\x01\xFF" "blob", 7)),
                S(Cp(u8"бележка ") + text),
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
};

TEST_F(AllTypes, ValuesArriveUnchangedByMergeInsertAndUpdate) {
    WriteArchive(1, {ReplTables({{1, "ALLT"}}), Packet{"ALLT[1].xml", Fields(), {Values(1, true, "one")}}});
    Install(1);
    ASSERT_EQ(LastArchive(), 1) << ::testing::PrintToString(InstallerLog());
    std::string one = "one|" + Cp(u8"шone") + "|-12|65000|5000000001|1|1.25|12.3456|12345678.91|"
                      "2011-04-30 00:00:00|1899-12-30 13:14:15|2009-03-05 14:07:09|0001FF626C6F62|" +
                      Cp(u8"бележка one") + "|abc|";
    EXPECT_EQ(RowText(1), one);

    // Row 1 updated (flag off), row 2 inserted.
    WriteArchive(2, {ReplItems({{1, 2, 1, 1}, {2, 1, 1, 2}}),
                     Packet{"ALLT[1].xml", Fields(), {Values(1, false, "uno"), Values(2, true, "two")}}});
    Install(2);
    ASSERT_EQ(LastArchive(), 2);
    EXPECT_FALSE(Contains(InstallerLog(), Cp(u8"Грешка"))) << ::testing::PrintToString(InstallerLog());
    std::string uno = "uno|" + Cp(u8"шuno") + "|-12|65000|5000000001|0|1.25|12.3456|12345678.91|"
                      "2011-04-30 00:00:00|1899-12-30 13:14:15|2009-03-05 14:07:09|0001FF626C6F62|" +
                      Cp(u8"бележка uno") + "|abc|";
    EXPECT_EQ(RowText(1), uno);
    std::string two = "two|" + Cp(u8"шtwo") + "|-12|65000|5000000002|1|1.25|12.3456|12345678.91|"
                      "2011-04-30 00:00:00|1899-12-30 13:14:15|2009-03-05 14:07:09|0001FF626C6F62|" +
                      Cp(u8"бележка two") + "|abc|";
    EXPECT_EQ(RowText(2), two);
}

}  // namespace
}  // namespace installer_test
