// Table operations and loading from another dataset.
#include "core/format.h"
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
    src->EnableControls();  // the load's own disabling was undone: one enabling balances
    EXPECT_FALSE(src->ControlsDisabled());
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
    // Only the data, into a table of its own structure: fields the query lacks stay null.
    auto own = MakeTable({{"ID", TFieldType::ftInteger}, {"OTHER", TFieldType::ftInteger}});
    own->LoadFromDataSet(&q, mtcpoOnlyData);
    EXPECT_EQ(Rows(*own), "1|<null>; 2|<null>");
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
    EXPECT_EQ(u.FieldCount(), 1);  // the calculated field object goes with the others
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

// Each group of properties goes only to a field of the group's class; the common ones go to every field.
TEST(MemTableOps, FieldPropertiesCopyGroupByGroup) {
    const std::initializer_list<FieldSpec> fields = {
        {"I", TFieldType::ftInteger}, {"F", TFieldType::ftFloat},   {"D", TFieldType::ftDateTime},
        {"B", TFieldType::ftBoolean}, {"S", TFieldType::ftString, 5}, {"M", TFieldType::ftMemo},
        {"XI", TFieldType::ftInteger}, {"XS", TFieldType::ftString, 5}, {"XB", TFieldType::ftBoolean},
        {"XF", TFieldType::ftFloat}};
    auto src = MakeTable(fields);
    for (int i = 0; i < src->FieldCount(); ++i) {
        TBufferField& f = src->Fields(i);
        f.EditMask = "m" + f.FieldName();
        f.DisplayWidth = 20 + i;
        f.DisplayLabel = "L" + f.FieldName();
        f.Required = f.ReadOnly = true;
        f.Visible = false;
        f.DefaultExpression = "d" + f.FieldName();
        f.Alignment = TAlignment::taCenter;
        f.DisplayFormat = "f" + f.FieldName();
        f.EditFormat = "e" + f.FieldName();
        f.MaxValue = 90 + i;
        f.MinValue = -i;
        f.SetPrecision(7);
        f.CurrencyDisplay = true;
        f.DisplayValues = "y;n";
        f.Transliterate = false;
        f.BlobType = 3;
    }
    // The X fields meet a field of another class: the integer's and the string's of the Boolean, and so on;
    // the float meets an integer: both numeric, so the formats go, but not the limits, precision or currency.
    auto dst = MakeTable({{"I", TFieldType::ftInteger}, {"F", TFieldType::ftFloat}, {"D", TFieldType::ftDateTime},
                          {"B", TFieldType::ftBoolean}, {"S", TFieldType::ftString, 5}, {"M", TFieldType::ftMemo},
                          {"XI", TFieldType::ftString, 5}, {"XS", TFieldType::ftBoolean},
                          {"XB", TFieldType::ftInteger}, {"XF", TFieldType::ftInteger},
                          {"OWN", TFieldType::ftInteger}});
    dst->CopyFieldProperties(src.get(), dst.get());
    dst->CopyFieldProperties(dst.get(), dst.get());  // the same table: nothing
    dst->CopyFieldProperties(nullptr, dst.get());
    auto describe = [](const TBufferField& f) {
        return f.EditMask + "," + std::to_string(f.DisplayWidth) + "," + f.DisplayLabel + "," +
               (f.Required ? "R" : "") + (f.ReadOnly ? "O" : "") + (f.Visible ? "V" : "") + "," +
               f.DefaultExpression + "," + std::to_string(static_cast<int>(f.Alignment)) + " | " + f.DisplayFormat +
               "," + f.EditFormat + "," + Format("%g,%g", {f.MaxValue, f.MinValue}) + "," +
               std::to_string(f.Precision()) + "," + (f.CurrencyDisplay ? "C" : "") + "," + f.DisplayValues + "," +
               (f.Transliterate ? "T" : "") + "," + std::to_string(f.BlobType);
    };
    const struct { const char* field; const char* want; } cases[] = {
        {"I", "mI,20,LI,RO,dI,2 | fI,eI,90,0,0,,,T,0"},
        {"F", "mF,21,LF,RO,dF,2 | fF,eF,91,-1,7,C,,T,0"},
        {"D", "mD,22,LD,RO,dD,2 | fD,,0,0,0,,,T,0"},
        {"B", "mB,23,LB,RO,dB,2 | ,,0,0,0,,y;n,T,0"},
        {"S", "mS,24,LS,RO,dS,2 | ,,0,0,0,,,,0"},
        {"M", "mM,25,LM,RO,dM,2 | ,,0,0,0,,,,3"},
        {"XI", "mXI,26,LXI,RO,dXI,2 | ,,0,0,0,,,T,0"},
        {"XS", "mXS,27,LXS,RO,dXS,2 | ,,0,0,0,,,T,0"},
        {"XB", "mXB,28,LXB,RO,dXB,2 | ,,0,0,0,,,T,0"},
        {"XF", "mXF,29,LXF,RO,dXF,2 | fXF,eXF,0,0,0,,,T,0"},
        {"OWN", ",0,,V,,0 | ,,0,0,0,,,T,0"},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(dst->FieldByName(c.field)), c.want) << c.field;
}

// With option 8 the source's lookup fields come along as lookup fields, each with one definition;
// without it the looked-up values are copied into a data field of the same name.
TEST(MemTableOps, LookupFieldsAreRecreatedOnlyWithTheirOption) {
    auto names = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
    AppendRow(*names, {Variant(1), Variant("one")});
    AppendRow(*names, {Variant(2), Variant("two")});
    TNVMemTable src;
    src.CreateField("REF", TFieldType::ftInteger);
    AddNameLookup(src, "REF_NAME", "REF", names.get());
    src.Open();
    AppendRow(src, {Variant(2)});
    AppendRow(src, {Variant(1)});
    for (int options : {mtcpoStructure | mtcpoLookup, mtcpoStructure}) {
        SCOPED_TRACE(options);
        TNVMemTable t;
        t.CreateTableAs(&src, options);
        EXPECT_EQ(t.FieldDefs().Count(), options & mtcpoLookup ? 1 : 2);
        EXPECT_EQ(t.FieldCount(), 2);
        t.LoadFromDataSet(&src, options);
        EXPECT_EQ(Rows(t), "2|two; 1|one");
        TBufferField& f = t.FieldByName("REF_NAME");
        EXPECT_EQ(f.FieldKind(), options & mtcpoLookup ? TFieldKind::fkLookup : TFieldKind::fkData);
        EXPECT_EQ(t.FieldCount(), 2);
        EXPECT_EQ(t.FieldDefs().Count(), 2);  // the open describes each field object once
        if (options & mtcpoLookup) {
            EXPECT_EQ(f.KeyFields + "|" + f.LookupKeyFields + "|" + f.LookupResultField, "REF|ID|NAME");
            EXPECT_EQ(f.LookupDataSet, names.get());
        }
        // A lookup field follows the looked-up table; a copied value stays.
        names->First();
        names->Edit();
        names->FieldByName("NAME").SetAsString("uno");
        names->Post();
        EXPECT_EQ(Rows(t), options & mtcpoLookup ? "2|two; 1|uno" : "2|two; 1|one");
        names->Edit();
        names->FieldByName("NAME").SetAsString("one");
        names->Post();
    }
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

// The measures table of an article, as the catalogue uses it: six definitions, emptied, filled, searched and
// taken over by another table with its structure.
TEST(MemTableOps, MeasuresTableWorkflow) {
    auto m = MakeTable({{"ID", TFieldType::ftInteger}, {"ARTICLE_ID", TFieldType::ftInteger},
                        {"MEASURE_NAME_ID", TFieldType::ftInteger}, {"FACTOR", TFieldType::ftInteger},
                        {"IS_ATOMIC", TFieldType::ftString, 1}, {"MeasureName", TFieldType::ftString, 20}});
    m->Close();
    EXPECT_FALSE(m->Active());
    m->Open();
    m->EmptyTable();
    for (int factor : {1, 10, 20}) {
        m->Append();
        m->FieldByName("ID").SetAsInteger(100 + factor);
        m->FieldByName("ARTICLE_ID").SetAsInteger(7);
        m->FieldByName("MEASURE_NAME_ID").SetAsInteger(factor);
        m->FieldByName("FACTOR").SetAsInteger(factor);
        m->FieldByName("IS_ATOMIC").SetAsString(factor == 20 ? "T" : "F");
        m->Post();
    }
    EXPECT_EQ(Row(*m), "120|7|20|20|T|<null>");  // the last row appended is current
    ASSERT_TRUE(m->Locate("IS_ATOMIC", Variant("T"), 0));
    EXPECT_EQ(m->FieldByName("ID").AsInteger(), 120);
    ASSERT_TRUE(m->Locate("FACTOR", Variant(1), 0));
    EXPECT_EQ(m->FieldByName("ID").AsInteger(), 101);
    m->AppendRecord({Variant(5), Variant(7), Variant(3), Variant(5), Variant("F"), Variant("box")});
    TNVMemTable copy;
    copy.LoadFromDataSet(m.get(), mtcpoStructure);
    EXPECT_EQ(Rows(copy), "101|7|1|1|F|<null>; 110|7|10|10|F|<null>; 120|7|20|20|T|<null>; 5|7|3|5|F|box");
    m->Close();  // closing discards the rows
    m->Open();
    EXPECT_EQ(m->RecordCount(), 0);
}

}  // namespace
