// The binary form of tagged values and the persistent mode.
#include <cmath>
#include <filesystem>

#include "memtable/value_filer.h"
#include "memtable_test_util.h"
#include "protocol/test_bytes.h"
#include "support/temp_dir.h"
#include "support/expect_raises.h"

namespace {

std::string SaveBin(TqdCustomMemTable& t, TqdMemTableSaveFlags flags) {
    TMemoryStream s;
    t.SaveToBinaryStream(s, flags);
    return s.Bytes();
}

void LoadBin(TqdCustomMemTable& t, const std::string& bytes) {
    TMemoryStream s(bytes);
    t.LoadFromBinaryStream(s);
}

TEST(MemTableBinary, RecordAndDefinitionBytesLoadIntoAnyStructure) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
    EXPECT_EQ(SaveBin(*t, mtfSaveData), "TPF0" + B({1, 0, 1, 0}));
    AppendRow(*t, {Variant(5), Variant("ab")});
    const std::string withoutDefs = SaveBin(*t, mtfSaveData);
    EXPECT_EQ(withoutDefs, "TPF0" + B({1, 0, 1, 2, 5, 6, 2, 'a', 'b', 0}));
    // 16-, 32- and 64-bit integers, a long string, an empty one.
    auto u = MakeTable({{"I", TFieldType::ftInteger}, {"S", TFieldType::ftMemo}, {"L", TFieldType::ftLargeint}});
    AppendRow(*u, {Variant(-129), Variant(std::string(300, 'z')), Variant(INT64_C(0x123456789))});
    AppendRow(*u, {Variant(70000), Variant(""), Variant(INT64_C(-2))});
    const std::string ints = SaveBin(*u, mtfSaveData | mtfSaveBlobs);
    EXPECT_EQ(ints, "TPF0" + B({1, 0, 1, 3, 0x7F, 0xFF, 0x0C, 0x2C, 0x01, 0, 0}) + std::string(300, 'z') +
                        B({0x13, 0x89, 0x67, 0x45, 0x23, 0x01, 0, 0, 0, 4, 0x70, 0x11, 0x01, 0x00, 0, 2, 0xFE, 0}));
    u->EmptyTable();
    LoadBin(*u, ints);
    EXPECT_EQ(Column(*u, "L"), (Strings{"4886718345", "-2"}));
    auto r = MakeTable({{"ID", TFieldType::ftInteger}});
    r->FieldByName("ID").Required = true;
    EXPECT_EQ(SaveBin(*r, mtfSaveData | mtfSaveDef),
              "TPF0" + B({1, 6, 2, 'I', 'D', 6, 7}) + "Integer" + B({2, 0, 6, 2, 'I', 'D', 6, 0, 2, 10, 9, 8, 0, 1, 0}));
    // With definitions: into a table of another structure, which takes them.
    auto other = MakeTable({{"X", TFieldType::ftFloat}}, false);
    LoadBin(*other, SaveBin(*t, mtfSaveData | mtfSaveDef));
    EXPECT_EQ(other->FieldDefs().Count(), 2);
    EXPECT_EQ(Rows(*other), "5|ab");
    // Without definitions: into an open table with the same fields only.
    LoadBin(*t, withoutDefs);
    EXPECT_EQ(t->RecordCount(), 2);
    auto closed = MakeTable({{"ID", TFieldType::ftInteger}}, false);
    EXPECT_THROW(LoadBin(*closed, withoutDefs), EDatabaseError);
    auto swapped = MakeTable({{"NAME", TFieldType::ftString, 10}, {"ID", TFieldType::ftInteger}});
    EXPECT_THROW(LoadBin(*swapped, withoutDefs), EReadError);
    EXPECT_EQ(swapped->State(), TDataSetState::dsBrowse);
    EXPECT_EQ(swapped->RecordCount(), 0);
}

TEST(MemTableBinary, EveryTypeNullFirstValuesAndEventsRoundTrip) {
    auto t = MakeTable({{"SI", TFieldType::ftSmallint}, {"W", TFieldType::ftWord}, {"A", TFieldType::ftAutoInc},
                        {"L", TFieldType::ftLargeint}, {"B", TFieldType::ftBoolean}, {"F", TFieldType::ftFloat},
                        {"D", TFieldType::ftDate}, {"T", TFieldType::ftTime}, {"DT", TFieldType::ftDateTime},
                        {"S", TFieldType::ftString, 8}, {"BL", TFieldType::ftBlob}, {"C", TFieldType::ftCurrency},
                        {"BCD", TFieldType::ftBCD, 4}});
    TDateTime dt = EncodeDateTime(2001, 9, 9, 1, 46, 40);
    AppendRow(*t, {Variant(-7), Variant(65000), Variant(4), Variant(INT64_C(-5000000000)), Variant(true),
                   Variant(-0.125), Variant::FromDate(dt), Variant::FromDate(dt), Variant::FromDate(dt),
                   Variant("text"), Variant("\1\2"), Variant(1.23456), Variant(Currency::FromString("9.8765"))});
    // Currency with four decimals travels as an extended float.
    const std::string bytes = SaveBin(*t, mtfSaveData | mtfSaveDef | mtfSaveBlobs);
    TNVMemTable u;
    LoadBin(u, bytes);
    EXPECT_EQ(Rows(u), "-7|65000|4|-5000000000|True|-0.125|09.09.2001|01:46:40|09.09.2001 01:46:40|text|\1\2|"
                       "1.2346|9.8765");
    EXPECT_EQ(SaveBin(u, mtfSaveData | mtfSaveDef | mtfSaveBlobs), bytes);
    // Both ends of the 16-bit range take the 16-bit form.
    std::string ends[2];
    for (int i : {0, 1}) {
        auto s = MakeTable({{"SI", TFieldType::ftSmallint}});
        AppendRow(*s, {Variant(i ? 32767 : -32768)});
        ends[i] = SaveBin(*s, mtfSaveData);
    }
    EXPECT_EQ(ends[0].size(), ends[1].size());
    uint8_t x[10];
    DoubleToExtended(1.5, x);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(x), 10), B({0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F}));
    for (double d : {0.0, -0.0, 1e-310, 1.7976931348623157e308, 0.1, double(INFINITY)}) {
        DoubleToExtended(d, x);
        EXPECT_EQ(ExtendedToDouble(x), d);
    }
    // Records whose first value is null, the last one too; events per value and record.
    auto n = MakeTable({{"A", TFieldType::ftInteger}, {"B", TFieldType::ftString, 5}});
    AppendRow(*n, {Variant(1), Variant("x")});
    AppendRow(*n, {Variant::Null(), Variant("y")});
    AppendRow(*n, {Variant(4), Variant::Null()});
    AppendRow(*n, {Variant::Null(), Variant::Null()});
    int saved = 0, loaded = 0;
    n->OnSaveField = [&](TqdCustomMemTable&, int, TBufferField&) { ++saved; };
    const std::string nullBytes = SaveBin(*n, mtfSaveData);
    EXPECT_EQ(saved, 4);  // not for the null values
    auto m = MakeTable({{"A", TFieldType::ftInteger}, {"B", TFieldType::ftString, 5}});
    LoadBin(*m, nullBytes);
    EXPECT_EQ(Rows(*m), "1|x; <null>|y; 4|<null>; <null>|<null>");
    auto one = MakeTable({{"A", TFieldType::ftInteger}});
    AppendRow(*one, {Variant::Null()});
    LoadBin(*one, SaveBin(*one, mtfSaveData));
    EXPECT_EQ(one->RecordCount(), 2);
    m->EmptyTable();
    m->OnLoadField = [&](TqdCustomMemTable&, int, TBufferField&) { ++loaded; };
    m->OnLoadRecord = [](TqdCustomMemTable& ds, bool& accept) { accept = !ds.FieldByName("B").IsNull(); };
    LoadBin(*m, nullBytes);
    EXPECT_EQ(loaded, 8);  // null values too
    EXPECT_EQ(Rows(*m), "1|x; <null>|y");
}

TEST(MemTableBinary, ReaderErrorsAndValuesForATableWithoutFields) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}});
    ExpectRaises<EReadError>([&] { LoadBin(*t, "TPF1" + B({1, 0, 1, 0})); }, "Invalid stream format");
    ExpectRaises<EReadError>([&] { LoadBin(*t, "TPF0" + B({1, 0, 1, 2})); }, "Stream read error");
    // A long string whose length exceeds the bytes left fails before any
    // allocation of that size.
    auto s = MakeTable({{"S", TFieldType::ftMemo}});
    EXPECT_THROW(LoadBin(*s, "TPF0" + B({1, 0, 1, 0x0C, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0})), EReadError);
    EXPECT_THROW(LoadBin(*s, "TPF0" + B({1, 0, 1, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0})), EReadError);  // negative
    EXPECT_THROW(LoadBin(*t, "TPF0" + B({1, 0, 1, 6, 1, 'a', 0})), EReadError);
    const std::string variantField =
        "TPF0" + B({1, 6, 1, 'X', 6, 7}) + "Variant" + B({2, 0, 6, 0, 6, 0, 2, 0, 8, 8, 0, 1, 0});
    ExpectRaises<EMemTableError>([&] { LoadBin(*t, variantField); }, "Unbekannter Feldtyp (Variant)");
    TNVMemTable none;
    none.Open();
    // An empty record list reads; a value with no field to take it cannot be
    // consumed and is refused instead of adding records without end.
    LoadBin(none, "TPF0" + B({1, 0, 1, 0}));
    ExpectRaises<EReadError>([&] { LoadBin(none, "TPF0" + B({1, 0, 1, 2, 5, 0})); }, "Invalid property value");
    EXPECT_EQ(none.RecordCount(), 0);
}

class MemTablePersistent : public ::testing::Test {
protected:
    std::unique_ptr<TNVMemTable> Make(TqdMemTablePersistentSaveFormat format, const std::string& file = "table.dat") {
        auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}}, false);
        t->SetPersistentFile(file.empty() ? "" : dir.File(file));
        t->SetPersistent(true);
        t->SetPersistentSaveFormat(format);
        return t;
    }
    TempDir dir;
};

TEST_F(MemTablePersistent, MissingFileOpensEmptyIsWrittenAtCloseOrDestructionInEitherFormBinaryFilesOnDemand) {
    auto t = Make(TqdMemTablePersistentSaveFormat::mtsfBinary);
    EXPECT_EQ(t->PersistentSaveOptions(), mtfSaveData | mtfSaveNonVisible);
    t->Open();
    EXPECT_EQ(t->RecordCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("table.dat")));
    AppendRow(*t, {Variant(2), Variant("b")});
    AppendRow(*t, {Variant(1), Variant("a")});
    t->Close();
    EXPECT_EQ(TempDir::Read(dir.File("table.dat")), "TPF0" + B({1, 0, 1, 2, 2, 6, 1, 'b', 2, 1, 6, 1, 'a', 0}));
    // A file name alone does not make a table persistent.
    auto plain = MakeTable({{"ID", TFieldType::ftInteger}}, false);
    plain->SetPersistentFile(dir.File("plain.dat"));
    plain->Open();
    AppendRow(*plain, {Variant(1)});
    plain->Close();
    EXPECT_FALSE(std::filesystem::exists(dir.File("plain.dat")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("table.dat.tmp")));
    t->SetSortFields("ID");
    t->Open();
    // Reloaded and, with AutoSort, sorted; the cursor on the first record.
    EXPECT_EQ(t->RecNo(), 1);
    EXPECT_EQ(Column(*t, "NAME"), (Strings{"a", "b"}));
    {
        auto c = Make(TqdMemTablePersistentSaveFormat::mtsfCSV, "t.csv");
        c->SetPersistentSaveOptions(mtfSaveData | mtfSaveDef);
        c->Open();
        AppendRow(*c, {Variant(7), Variant("seven")});
        auto unnamed = Make(TqdMemTablePersistentSaveFormat::mtsfBinary, "");
        unnamed->Open();
        AppendRow(*unnamed, {Variant(3), Variant("c")});
    }  // destruction writes the file, unless it has no name
    EXPECT_NE(TempDir::Read(dir.File("t.csv")).find("\"7\",\"seven\""), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
    auto u = Make(TqdMemTablePersistentSaveFormat::mtsfCSV, "t.csv");
    u->Open();
    EXPECT_EQ(Rows(*u), "7|seven");
    EXPECT_TRUE(u->Persistent());  // switched off for the load only
    // Binary files on demand, and the event that tells of them.
    TqdMemTableStorageType seen = TqdMemTableStorageType::mtstDataSet;
    u->OnSave = [&](TqdCustomMemTable&, TqdMemTableStorageType st, TStream*) { seen = st; };
    u->SaveToBinaryFile(dir.File("x.bin"), mtfSaveData | mtfSaveDef);
    EXPECT_EQ(seen, TqdMemTableStorageType::mtstBinaryFile);
    TNVMemTable v;
    v.LoadFromBinaryFile(dir.File("x.bin"));
    EXPECT_EQ(Rows(v), "7|seven");
}

TEST_F(MemTablePersistent, FailedSaveKeepsThePreviousFileAnUnwritableOneStillReleasesTheTable) {
    auto t = Make(TqdMemTablePersistentSaveFormat::mtsfBinary);
    t->Open();
    AppendRow(*t, {Variant(1)});
    t->Close();
    std::string before = TempDir::Read(dir.File("table.dat"));
    t->Open();
    AppendRow(*t, {Variant(2)});
    t->OnSaveRecord = [](TqdCustomMemTable&, bool&) { throw EDatabaseError("disk full"); };
    EXPECT_THROW(t->Close(), EDatabaseError);
    EXPECT_EQ(TempDir::Read(dir.File("table.dat")), before);
    t->OnSaveRecord = nullptr;
    t->Close();
    EXPECT_NE(TempDir::Read(dir.File("table.dat")), before);
    auto u = Make(TqdMemTablePersistentSaveFormat::mtsfBinary, "no/such/folder/u.dat");
    u->SetPersistent(false);
    u->Open();
    u->SetPersistent(true);
    AppendRow(*u, {Variant(1)});
    EXPECT_THROW(u->Close(), EInOutError);
    EXPECT_TRUE(u->Active());
    u.reset();  // no leak, no error
}

}  // namespace
