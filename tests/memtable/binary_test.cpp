// The binary form of tagged values and the persistent mode.
#include <cmath>
#include <filesystem>

#include "memtable/value_filer.h"
#include "memtable_test_util.h"
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

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
}

TEST(MemTableBinary, RecordBytesAndTheirIntegerForms) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
    EXPECT_EQ(SaveBin(*t, mtfSaveData), "TPF0" + B({1, 0, 1, 0}));
    AppendRow(*t, {Variant(5), Variant("ab")});
    EXPECT_EQ(SaveBin(*t, mtfSaveData), "TPF0" + B({1, 0, 1, 2, 5, 6, 2, 'a', 'b', 0}));
    // 16- and 32-bit integers, a long string, an empty one.
    auto u = MakeTable({{"I", TFieldType::ftInteger}, {"S", TFieldType::ftMemo}});
    AppendRow(*u, {Variant(-129), Variant(std::string(300, 'z'))});
    AppendRow(*u, {Variant(70000), Variant("")});
    EXPECT_EQ(SaveBin(*u, mtfSaveData | mtfSaveBlobs), "TPF0" + B({1, 0, 1, 3, 0x7F, 0xFF, 0x0C, 0x2C, 0x01, 0, 0}) +
                                                         std::string(300, 'z') + B({4, 0x70, 0x11, 0x01, 0x00, 0, 0}));
    // 64-bit integers beyond 32 bits take the wide tag, and read back.
    auto l = MakeTable({{"L", TFieldType::ftLargeint}});
    AppendRow(*l, {Variant(INT64_C(0x123456789))});
    AppendRow(*l, {Variant(INT64_C(-2))});
    const std::string bytes = SaveBin(*l, mtfSaveData);
    EXPECT_EQ(bytes, "TPF0" + B({1, 0, 1, 0x13, 0x89, 0x67, 0x45, 0x23, 0x01, 0, 0, 0, 2, 0xFE, 0}));
    l->EmptyTable();
    LoadBin(*l, bytes);
    EXPECT_EQ(Column(*l, "L"), (Strings{"4886718345", "-2"}));
}

TEST(MemTableBinary, DefinitionBytesLoadIntoAnyStructure) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}});
    t->FieldByName("ID").Required = true;
    EXPECT_EQ(SaveBin(*t, mtfSaveData | mtfSaveDef),
              "TPF0" + B({1, 6, 2, 'I', 'D', 6, 7}) + "Integer" + B({2, 0, 6, 2, 'I', 'D', 6, 0, 2, 10, 9, 8, 0, 1, 0}));
    auto defs = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
    AppendRow(*defs, {Variant(5), Variant("ab")});
    std::string withDefs = SaveBin(*defs, mtfSaveData | mtfSaveDef);
    std::string withoutDefs = SaveBin(*defs, mtfSaveData);
    auto other = MakeTable({{"X", TFieldType::ftFloat}}, false);
    LoadBin(*other, withDefs);
    EXPECT_TRUE(other->Active());
    EXPECT_EQ(other->FieldDefs().Count(), 2);
    EXPECT_EQ(Column(*other, "NAME"), (Strings{"ab"}));
    // Without definitions: into an open table with the same fields only.
    auto same = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
    LoadBin(*same, withoutDefs);
    LoadBin(*same, withoutDefs);
    EXPECT_EQ(same->RecordCount(), 2);
    auto closed = MakeTable({{"ID", TFieldType::ftInteger}}, false);
    EXPECT_THROW(LoadBin(*closed, withoutDefs), EDatabaseError);
    auto swapped = MakeTable({{"NAME", TFieldType::ftString, 10}, {"ID", TFieldType::ftInteger}});
    EXPECT_THROW(LoadBin(*swapped, withoutDefs), EReadError);
    EXPECT_EQ(swapped->State(), TDataSetState::dsBrowse);
    EXPECT_EQ(swapped->RecordCount(), 0);
}

TEST(MemTableBinary, CurrencyWithFourDecimalsFloatsAsExtendedValues) {
    auto t = MakeTable({{"C", TFieldType::ftCurrency}, {"BCD", TFieldType::ftBCD, 4}});
    AppendRow(*t, {Variant(1.23456), Variant(Currency::FromString("9.8765"))});
    auto u = MakeTable({{"C", TFieldType::ftCurrency}, {"BCD", TFieldType::ftBCD, 4}});
    LoadBin(*u, SaveBin(*t, mtfSaveData));
    u->First();
    EXPECT_DOUBLE_EQ(u->FieldByName("C").AsFloat(), 1.2346);
    EXPECT_EQ(u->FieldByName("BCD").AsCurrency(), Currency::FromString("9.8765"));
    uint8_t x[10];
    DoubleToExtended(1.5, x);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(x), 10), B({0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F}));
    for (double d : {0.0, -0.0, 1.0, -2.75, 1e-310, 1.7976931348623157e308, 123456.789, 0.1}) {
        DoubleToExtended(d, x);
        EXPECT_EQ(ExtendedToDouble(x), d);
    }
    DoubleToExtended(INFINITY, x);
    EXPECT_TRUE(std::isinf(ExtendedToDouble(x)));
}

TEST(MemTableBinary, AllTypesAndRecordsWhoseFirstValueIsNullRoundTrip) {
    auto t = MakeTable({{"SI", TFieldType::ftSmallint}, {"W", TFieldType::ftWord}, {"A", TFieldType::ftAutoInc},
                        {"L", TFieldType::ftLargeint}, {"B", TFieldType::ftBoolean}, {"F", TFieldType::ftFloat},
                        {"D", TFieldType::ftDate}, {"T", TFieldType::ftTime}, {"DT", TFieldType::ftDateTime},
                        {"S", TFieldType::ftString, 8}, {"BL", TFieldType::ftBlob}});
    TDateTime dt = EncodeDateTime(2001, 9, 9, 1, 46, 40);
    AppendRow(*t, {Variant(-7), Variant(65000), Variant(4), Variant(INT64_C(-5000000000)), Variant(true),
                   Variant(-0.125), Variant::FromDate(dt), Variant::FromDate(dt), Variant::FromDate(dt),
                   Variant("text"), Variant(std::string("\0\1\2", 3))});
    std::string bytes = SaveBin(*t, mtfSaveData | mtfSaveDef | mtfSaveBlobs);
    TNVMemTable u;
    LoadBin(u, bytes);
    ASSERT_TRUE(u.Active());
    EXPECT_EQ(u.FieldCount(), 11);
    u.First();
    EXPECT_EQ(u.FieldByName("SI").AsInteger(), -7);
    EXPECT_EQ(u.FieldByName("W").AsInteger(), 65000);
    EXPECT_EQ(u.FieldByName("L").AsLargeInt(), INT64_C(-5000000000));
    EXPECT_TRUE(u.FieldByName("B").AsBoolean());
    EXPECT_DOUBLE_EQ(u.FieldByName("F").AsFloat(), -0.125);
    EXPECT_DOUBLE_EQ(u.FieldByName("D").AsDateTime(), std::trunc(dt));
    EXPECT_NEAR(u.FieldByName("DT").AsDateTime(), dt, 1e-9);
    EXPECT_EQ(u.FieldByName("BL").AsString(), std::string("\0\1\2", 3));
    EXPECT_EQ(SaveBin(u, mtfSaveData | mtfSaveDef | mtfSaveBlobs), bytes);
    auto n = MakeTable({{"A", TFieldType::ftInteger}, {"B", TFieldType::ftString, 5}});
    AppendRow(*n, {Variant(1), Variant("x")});
    AppendRow(*n, {Variant::Null(), Variant("y")});
    AppendRow(*n, {Variant::Null(), Variant::Null()});
    AppendRow(*n, {Variant(4), Variant::Null()});
    std::string nullBytes = SaveBin(*n, mtfSaveData);
    auto m = MakeTable({{"A", TFieldType::ftInteger}, {"B", TFieldType::ftString, 5}});
    LoadBin(*m, nullBytes);
    EXPECT_EQ(Column(*m, "A"), (Strings{"1", "<null>", "<null>", "4"}));
    EXPECT_EQ(Column(*m, "B"), (Strings{"x", "y", "<null>", "<null>"}));
    // The last record null first: its record still reads.
    auto v = MakeTable({{"A", TFieldType::ftInteger}});
    AppendRow(*v, {Variant::Null()});
    auto w = MakeTable({{"A", TFieldType::ftInteger}});
    LoadBin(*w, SaveBin(*v, mtfSaveData));
    EXPECT_EQ(w->RecordCount(), 1);
}

TEST(MemTableBinary, ReaderErrorsAndValuesForATableWithoutFields) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}});
    ExpectRaises<EReadError>([&] { LoadBin(*t, "TPF1" + B({1, 0, 1, 0})); }, "Invalid stream format");
    ExpectRaises<EReadError>([&] { LoadBin(*t, "TPF0" + B({1, 0, 1, 2})); }, "Stream read error");
    // A long string whose length exceeds the bytes left fails before any
    // allocation of that size.
    auto s = MakeTable({{"S", TFieldType::ftMemo}});
    EXPECT_THROW(LoadBin(*s, "TPF0" + B({1, 0, 1, 0x0C, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0})), EReadError);
    EXPECT_THROW(LoadBin(*t, "TPF0" + B({1, 0, 1, 6, 1, 'a', 0})), EReadError);
    const std::string variantField =
        "TPF0" + B({1, 6, 1, 'X', 6, 7}) + "Variant" + B({2, 0, 6, 0, 6, 0, 2, 0, 8, 8, 0, 1, 0});
    ExpectRaises<EMemTableError>([&] { LoadBin(*t, variantField); },
        "Unbekannter Feldtyp (Variant)");
    TNVMemTable none;
    none.Open();
    ASSERT_EQ(none.FieldCount(), 0);
    // An empty record list reads; a value with no field to take it cannot be
    // consumed and is refused instead of adding records without end.
    LoadBin(none, "TPF0" + B({1, 0, 1, 0}));
    EXPECT_EQ(none.RecordCount(), 0);
    ExpectRaises<EReadError>([&] { LoadBin(none, "TPF0" + B({1, 0, 1, 2, 5, 0})); }, "Invalid property value");
    EXPECT_EQ(none.RecordCount(), 0);
}

TEST(MemTableBinary, EventsOfTheBinaryForm) {
    auto t = MakeTable({{"A", TFieldType::ftInteger}, {"B", TFieldType::ftInteger}});
    AppendRow(*t, {Variant(1), Variant::Null()});
    AppendRow(*t, {Variant(2), Variant(3)});
    int saveFieldCalls = 0;
    t->OnSaveField = [&](TqdCustomMemTable&, int, TBufferField&) { ++saveFieldCalls; };
    std::string bytes = SaveBin(*t, mtfSaveData);
    EXPECT_EQ(saveFieldCalls, 3);  // not for the null value
    auto u = MakeTable({{"A", TFieldType::ftInteger}, {"B", TFieldType::ftInteger}});
    int loadFieldCalls = 0;
    u->OnLoadField = [&](TqdCustomMemTable&, int, TBufferField&) { ++loadFieldCalls; };
    u->OnLoadRecord = [](TqdCustomMemTable& ds, bool& accept) { accept = ds.FieldByName("A").AsInteger() == 2; };
    LoadBin(*u, bytes);
    EXPECT_EQ(loadFieldCalls, 4);
    EXPECT_EQ(Column(*u, "A"), (Strings{"2"}));
}

class MemTablePersistent : public ::testing::Test {
protected:
    std::unique_ptr<TNVMemTable> Make(TqdMemTablePersistentSaveFormat format) {
        auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}}, false);
        t->SetPersistentFile(dir.File("table.dat"));
        t->SetPersistent(true);
        t->SetPersistentSaveFormat(format);
        return t;
    }
    TempDir dir;
};

TEST_F(MemTablePersistent, MissingFileOpensEmptyAndIsCreatedAtClose) {
    auto t = Make(TqdMemTablePersistentSaveFormat::mtsfBinary);
    EXPECT_EQ(t->PersistentSaveOptions(), mtfSaveData | mtfSaveNonVisible);
    t->Open();
    EXPECT_EQ(t->RecordCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("table.dat")));
    AppendRow(*t, {Variant(2), Variant("b")});
    AppendRow(*t, {Variant(1), Variant("a")});
    t->Close();
    EXPECT_EQ(TempDir::Read(dir.File("table.dat")),
              "TPF0" + B({1, 0, 1, 2, 2, 6, 1, 'b', 2, 1, 6, 1, 'a', 0}));
    EXPECT_FALSE(std::filesystem::exists(dir.File("table.dat.tmp")));
    t->SetSortFields("ID");
    t->Open();
    // Reloaded and, with AutoSort, sorted; the cursor on the first record.
    EXPECT_EQ(t->RecNo(), 1);
    EXPECT_EQ(Column(*t, "NAME"), (Strings{"a", "b"}));
}

TEST_F(MemTablePersistent, CsvFormat) {
    auto t = Make(TqdMemTablePersistentSaveFormat::mtsfCSV);
    t->SetPersistentSaveOptions(mtfSaveData | mtfSaveDef);
    t->Open();
    AppendRow(*t, {Variant(7), Variant("seven")});
    t->Close();
    EXPECT_NE(TempDir::Read(dir.File("table.dat")).find("\"7\",\"seven\""), std::string::npos);
    auto u = Make(TqdMemTablePersistentSaveFormat::mtsfCSV);
    u->Open();
    EXPECT_EQ(Column(*u, "NAME"), (Strings{"seven"}));
    EXPECT_TRUE(u->Persistent());
}

TEST_F(MemTablePersistent, DestructionWritesTheFileUnlessItHasNoName) {
    auto t = Make(TqdMemTablePersistentSaveFormat::mtsfBinary);
    t->SetPersistentFile("");
    t->Open();
    AppendRow(*t, {Variant(3), Variant("c")});
    t->Close();
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
    // Destruction writes the file.
    {
        auto w = Make(TqdMemTablePersistentSaveFormat::mtsfBinary);
        w->Open();
        AppendRow(*w, {Variant(3), Variant("c")});
    }
    auto u = Make(TqdMemTablePersistentSaveFormat::mtsfBinary);
    u->Open();
    EXPECT_EQ(Column(*u, "ID"), (Strings{"3"}));
}

TEST_F(MemTablePersistent, BinaryFilesAndTheirEvents) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}});
    AppendRow(*t, {Variant(1)});
    TqdMemTableStorageType seen = TqdMemTableStorageType::mtstDataSet;
    t->OnSave = [&](TqdCustomMemTable&, TqdMemTableStorageType st, TStream*) { seen = st; };
    t->SaveToBinaryFile(dir.File("x.bin"), mtfSaveData | mtfSaveDef);
    EXPECT_EQ(seen, TqdMemTableStorageType::mtstBinaryFile);
    TNVMemTable u;
    u.LoadFromBinaryFile(dir.File("x.bin"));
    EXPECT_EQ(Column(u, "ID"), (Strings{"1"}));
}

}  // namespace

namespace {

TEST(MemTablePersistentFailure, FailedSaveKeepsThePreviousFileAnUnwritableOneStillReleasesTheTable) {
    TempDir dir;
    auto t = MakeTable({{"ID", TFieldType::ftInteger}}, false);
    t->SetPersistent(true);
    t->SetPersistentFile(dir.File("t.dat"));
    t->Open();
    AppendRow(*t, {Variant(1)});
    t->Close();
    std::string before = TempDir::Read(dir.File("t.dat"));
    t->Open();
    AppendRow(*t, {Variant(2)});
    t->OnSaveRecord = [](TqdCustomMemTable&, bool&) { throw EDatabaseError("disk full"); };
    EXPECT_THROW(t->Close(), EDatabaseError);
    EXPECT_EQ(TempDir::Read(dir.File("t.dat")), before);
    t->OnSaveRecord = nullptr;
    t->Close();
    EXPECT_NE(TempDir::Read(dir.File("t.dat")), before);
    auto u = MakeTable({{"ID", TFieldType::ftInteger}});
    u->SetPersistent(true);
    u->SetPersistentFile(dir.File("no/such/folder/u.dat"));
    AppendRow(*u, {Variant(1)});
    EXPECT_THROW(u->Close(), EInOutError);
    EXPECT_TRUE(u->Active());
    u.reset();  // no leak, no error
}

}  // namespace
