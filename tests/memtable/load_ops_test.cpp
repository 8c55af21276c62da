// Table operations and loading from another dataset.
#include "memtable_test_util.h"

namespace {

std::unique_ptr<TNVMemTable> Source() {
    auto s = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 20},
                        {"PRICE", TFieldType::ftCurrency}});
    AppendRow(*s, {Variant(1), Variant("one"), Variant(1.5)});
    AppendRow(*s, {Variant(2), Variant("two"), Variant::Null()});
    AppendRow(*s, {Variant(3), Variant("three"), Variant(3.25)});
    return s;
}

// A read-only row source of the common dataset interface, as a query result offers it.
struct RowsDataSet : TDataSet {
    RowsDataSet(std::vector<FieldSpec> columns, std::vector<std::vector<Variant>> values) : rows(std::move(values)) {
        for (auto& c : columns) AddField(std::make_unique<TField>(this, c.name, c.type, c.size));
    }
    bool Active() const override { return active; }
    void First() override { pos = 0; }
    void Next() override { pos += pos < RecordCount(); }
    void Prior() override { pos -= pos > 0; }
    void Last() override { pos = RecordCount() - 1; }
    bool Eof() const override { return pos >= RecordCount(); }
    bool Bof() const override { return pos == 0; }
    int RecordCount() const override { return static_cast<int>(rows.size()); }
    int RecNo() const override { return Eof() ? -1 : pos + 1; }
    Variant GetFieldValue(const TField& f) const override {
        return Eof() ? Variant::Null() : rows[static_cast<size_t>(pos)][static_cast<size_t>(f.Index())];
    }
    std::vector<std::vector<Variant>> rows;
    int pos = 0;
    bool active = true;
};

TEST(MemTableOps, LoadWithOnlyDataOrWithTheStructure) {
    auto src = Source();
    auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"EXTRA", TFieldType::ftString, 5},
                        {"NAME", TFieldType::ftString, 3}});
    AppendRow(*t, {Variant(99), Variant("gone"), Variant("x")});
    t->LoadFromDataSet(src.get(), mtcpoOnlyData);
    EXPECT_EQ(Rows(*t), "1|<null>|one; 2|<null>|two; 3|<null>|thr");
    TNVMemTable copy;
    copy.LoadFromDataSet(src.get(), mtcpoStructure);
    EXPECT_EQ(copy.RecNo(), 1);
    EXPECT_EQ(copy.FieldByName("NAME").Size(), 20);
    EXPECT_EQ(copy.FieldByName("PRICE").DataType(), TFieldType::ftCurrency);
    EXPECT_EQ(Rows(copy), "1|one|1.5; 2|two|<null>; 3|three|3.25");
}

TEST(MemTableOps, TheSourceIsLeftAsItWas) {
    // Closed: opened for the copy and closed again.
    auto closed = MakeTable({{"ID", TFieldType::ftInteger}}, false);
    closed->SetPersistentFile("");
    TNVMemTable t;
    t.LoadFromDataSet(closed.get(), mtcpoStructure);
    EXPECT_TRUE(!closed->Active() && t.Active() && t.RecordCount() == 0);
    EXPECT_FALSE(closed->ControlsDisabled() || t.ControlsDisabled());
    // Open, on its record, with its controls disabled as they were before.
    auto src = Source();
    src->SetRecNo(2);
    src->DisableControls();
    t.LoadFromDataSet(src.get(), mtcpoStructure);
    EXPECT_EQ(t.RecordCount(), 3);
    EXPECT_TRUE(src->Active() && src->ControlsDisabled());
    EXPECT_EQ(src->RecNo(), 2);
    // Loading from the table itself, or from nothing, does nothing.
    src->LoadFromDataSet(src.get(), mtcpoStructure);
    EXPECT_EQ(src->RecordCount(), 3);
    src->LoadFromDataSet(nullptr, mtcpoStructure);
    EXPECT_EQ(src->RecordCount(), 3);
    // A source that is not an in-memory table: its fields define the structure, it is put back on its record,
    // and a closed one cannot be opened.
    RowsDataSet q({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 30}, {"BIG", TFieldType::ftLargeint},
                   {"WHEN", TFieldType::ftDateTime}},
                  {{Variant(1), Variant("a"), Variant(INT64_C(1) << 40), Variant::FromDate(45000.5)},
                   {Variant(2), Variant::Null(), Variant::Null(), Variant("01.02.2003 04:05:06")}});
    q.Next();
    t.LoadFromDataSet(&q, mtcpoStructure);
    EXPECT_EQ(q.RecNo(), 2);
    EXPECT_EQ(t.FieldByName("NAME").Size(), 30);
    EXPECT_EQ(Rows(t), "1|a|1099511627776|15.03.2023 12:00:00; 2|<null>|<null>|01.02.2003 04:05:06");
    q.active = false;
    EXPECT_THROW(t.LoadFromDataSet(&q, mtcpoOnlyData), EDatabaseError);
    EXPECT_FALSE(t.ControlsDisabled());
}

TEST(MemTableOps, FilterAndMasterOfTheTableDoNotHoldBackRecords) {
    auto src = Source();
    auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 20}});
    t->OnFilterRecord = [](TBufferedDataSet&, bool& accept) { accept = false; };
    t->SetFiltered(true);
    t->LoadFromDataSet(src.get(), mtcpoOnlyData);
    EXPECT_TRUE(t->Filtered());
    EXPECT_EQ(t->RecordCount(), 0);
    t->SetFiltered(false);
    EXPECT_EQ(t->RecordCount(), 3);
}

TEST(MemTableOps, EmptyTableKeepsTheStructureDeleteTableNeedsItClosed) {
    auto t = Source();
    t->Edit();
    t->FieldByName("NAME").SetAsString("pending");
    t->EmptyTable();
    EXPECT_TRUE(t->Active() && t->Eof());
    AppendRow(*t, {Variant(4), Variant("four")});
    EXPECT_EQ(Rows(*t), "4|four|<null>");
    EXPECT_THROW(t->DeleteTable(), EDatabaseError);
    EXPECT_EQ(t->RecordCount(), 1);
    EXPECT_THROW(t->CreateTable(), EDatabaseError);
    EXPECT_THROW(t->CreateTableAs(nullptr, 0), EDatabaseError);
    t->Close();
    t->DeleteTable();
    EXPECT_EQ(t->FieldCount(), 0);
    EXPECT_EQ(t->FieldDefs().Count(), 3);
}

TEST(MemTableOps, CreateTableFromDefinitionsFieldsOrAnotherTable) {
    TNVMemTable t;
    t.CreateField("OBJ", TFieldType::ftInteger);
    t.FieldDefs().Add("DEF", TFieldType::ftString, 4);
    t.CreateTable();
    ASSERT_EQ(t.FieldCount(), 1);
    EXPECT_EQ(t.Fields(0).FieldName(), "DEF");
    // Without definitions, the data field objects define the table.
    TNVMemTable src;
    src.CreateField("C", TFieldType::ftInteger, 0, TFieldKind::fkCalculated);
    src.CreateField("A", TFieldType::ftInteger);
    src.CreateField("V", TFieldType::ftVariant);
    TNVMemTable as;
    as.CreateTableAs(&src, mtcpoCalculated);
    // The definition of the unsupported type is dropped, the calculated field has none.
    EXPECT_EQ(as.FieldDefs().Count(), 1);
    EXPECT_EQ(as.FieldDefs().IndexOf("V"), -1);
    ASSERT_NE(as.FindField("C"), nullptr);
    EXPECT_EQ(as.FindField("C")->FieldKind(), TFieldKind::fkCalculated);
    TNVMemTable u;
    u.CreateField("A", TFieldType::ftInteger);
    u.CreateField("C", TFieldType::ftInteger, 0, TFieldKind::fkCalculated);
    u.CreateTable();
    EXPECT_EQ(u.FieldDefs().Count(), 1);
}

// The properties of a field's class are copied, a read-only field still takes its values.
TEST(MemTableOps, FieldPropertiesCopyByClass) {
    auto src = Source();
    TBufferField& name = src->FieldByName("NAME");
    name.DisplayLabel = "Name";
    name.DisplayWidth = 33;
    name.Visible = name.Transliterate = false;
    name.ReadOnly = true;
    src->FieldByName("PRICE").DisplayFormat = "0.00";
    src->FieldByName("PRICE").MaxValue = 100;
    TNVMemTable t;
    t.LoadFromDataSet(src.get(), mtcpoStructure | mtcpoProperties);
    const TBufferField &n = t.FieldByName("NAME"), &p = t.FieldByName("PRICE");
    EXPECT_EQ(n.DisplayLabel + " " + std::to_string(n.DisplayWidth) + " " + p.DisplayFormat + " " +
                  std::to_string(p.MaxValue),
              "Name 33 0.00 100.000000");
    EXPECT_TRUE(!n.Visible && !n.Transliterate && n.ReadOnly && t.FieldByName("ID").Transliterate);
    EXPECT_EQ(Column(t, "NAME"), (Strings{"one", "two", "three"}));
}

TEST(MemTableOps, CopyRecordsEventsLimitAndConversions) {
    auto src = Source();
    auto dst = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 20}});
    // Events of the source fire when the table copies out of itself.
    src->OnSaveRecord = [](TqdCustomMemTable& ds, bool& accept) { accept = ds.FieldByName("ID").AsInteger() != 2; };
    src->CopyRecords(src.get(), dst.get());
    EXPECT_EQ(Column(*dst, "ID"), (Strings{"1", "3"}));
    dst->EmptyTable();
    dst->CopyRecords(src.get(), dst.get(), 2);
    EXPECT_EQ(Column(*dst, "ID"), (Strings{"1", "2"}));
    dst->OnLoadRecord = [](TqdCustomMemTable& ds, bool& accept) { accept = ds.FieldByName("ID").AsInteger() > 1; };
    dst->EmptyTable();
    dst->CopyRecords(src.get(), dst.get());
    EXPECT_EQ(Column(*dst, "ID"), (Strings{"2", "3"}));
    // A float copied into a 64-bit integer is cut to its whole part.
    src = MakeTable({{"L", TFieldType::ftFloat}, {"M", TFieldType::ftLargeint}});
    AppendRow(*src, {Variant(-7.9), Variant(INT64_C(9007199254740993))});
    dst = MakeTable({{"L", TFieldType::ftLargeint}, {"M", TFieldType::ftLargeint}});
    dst->CopyRecords(src.get(), dst.get());
    EXPECT_EQ(Rows(*dst), "-7|9007199254740993");
}

}  // namespace
