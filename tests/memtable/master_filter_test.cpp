// Master-detail links and filtering.
#include "memtable_test_util.h"
#include "support/expect_raises.h"

namespace {

class MemTableMasterDetail : public ::testing::Test {
protected:
    void SetUp() override {
        master = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
        AppendRow(*master, {Variant(1), Variant("one")});
        AppendRow(*master, {Variant(2), Variant("two")});
        AppendRow(*master, {Variant::Null(), Variant("none")});
        master->First();
        detail = MakeTable({{"MASTER_ID", TFieldType::ftInteger}, {"ITEM", TFieldType::ftString, 10}});
        detail->SetAutoSort(false);
        AppendRow(*detail, {Variant(1), Variant("a")});
        AppendRow(*detail, {Variant(2), Variant("b")});
        AppendRow(*detail, {Variant(1), Variant("c")});
        AppendRow(*detail, {Variant::Null(), Variant("d")});
        source.SetDataSet(master.get());
    }
    void Link() {
        detail->SetKeyFields("MASTER_ID");
        detail->SetMasterFields("ID");
        detail->SetMasterSource(&source);
    }
    std::unique_ptr<TNVMemTable> master, detail;
    TDataSource source;
};

// Counts what a linked control is told.
struct TEventCounter : TDataLink {
    int changes = 0, scrolls = 0, activations = 0;
    std::vector<TField*> recordChanges;  // the field changed, or none for the whole record
    void DataSetChanged() override { ++changes; }
    void DataSetScrolled(int) override { ++scrolls; }
    void ActiveChanged() override { ++activations; }
    void RecordChanged(TField* field) override { recordChanges.push_back(field); }
};

TEST_F(MemTableMasterDetail, DetailFollowsTheMasterRecordNewOnesCarryItsValues) {
    Link();
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"a", "c"}));
    EXPECT_EQ(detail->RecordCount(), 2);
    master->Next();
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"b"}));
    EXPECT_EQ(detail->RecordCount(), 1);
    // A null master value matches detail records whose field is null.
    master->Next();
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"d"}));
    TEventCounter control;
    control.SetDataSource(&source);
    master->Edit();
    master->FieldByName("ID").SetAsInteger(1);
    EXPECT_EQ(control.recordChanges, (std::vector<TField*>{nullptr, &master->FieldByName("ID")}));
    master->Post();
    EXPECT_EQ(detail->RecordCount(), 2);
    const int changes = control.changes;
    master->Append();  // the control is told of the new record
    EXPECT_EQ(control.changes, changes + 1);
    master->Cancel();
    // A new detail record carries the master's values before OnNewRecord.
    master->SetRecNo(2);
    Variant seen;
    detail->OnNewRecord = [&](TBufferedDataSet& ds) { seen = ds.FieldByName("MASTER_ID").AsVariant(); };
    detail->Append();
    EXPECT_EQ(seen.AsInteger(), 2);
    detail->FieldByName("ITEM").SetAsString("e");
    detail->Post();
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"b", "e"}));
}

TEST_F(MemTableMasterDetail, CircularLinksAndUnequalFieldListsAreRefused) {
    detail->SetKeyFields("MASTER_ID;ITEM");
    detail->SetMasterFields("ID");
    ExpectRaises<EDatabaseError>([&] { detail->SetMasterSource(&source); },
                                 "Die Anzahl der Hauptfelder stimmt nicht mit der Anzahl der Detailfelder \xFC" "berein.");
    Link();
    TDataSource detailSource(detail.get());
    master->SetKeyFields("ID");
    master->SetMasterFields("MASTER_ID");
    ExpectRaises<EDatabaseError>([&] { master->SetMasterSource(&detailSource); },
                                 "Zirkul\xE4re Datenverbindungen sind nicht erlaubt.");
    EXPECT_EQ(master->MasterSource(), nullptr);
    TDataSource self(detail.get());
    EXPECT_THROW(detail->SetMasterSource(&self), EDatabaseError);
    EXPECT_EQ(detail->MasterSource(), &source);
}

TEST_F(MemTableMasterDetail, ClosingOrDestroyingTheMasterReleasesTheDetail) {
    Link();
    master->Close();
    // The link is inactive; the last master values still filter.
    EXPECT_EQ(detail->RecordCount(), 2);
    master->Open();
    // The reopened master is empty: its null value matches the null detail.
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"d"}));
    // Destroyed before the detail: the link is inactive, the last values still filter.
    master.reset();
    EXPECT_EQ(source.DataSet(), nullptr);
    EXPECT_EQ(detail->RecordCount(), 1);
    detail->SetMasterSource(nullptr);
    EXPECT_EQ(detail->RecordCount(), 4);
}

TEST_F(MemTableMasterDetail, DisabledControlsDeferTheMasterChange) {
    Link();
    master->DisableControls();
    master->Next();
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"a", "c"}));
    master->EnableControls();
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"b"}));
}

TEST_F(MemTableMasterDetail, ASaveWalksTheRecordsUnseenByLinkedControls) {
    Link();
    master->Next();
    TEventCounter control;
    control.SetDataSource(&source);
    Strings detailDuringSave;
    master->OnCompressSave = [&](TStream& plain, TStream& target) {
        detailDuringSave = Column(*detail, "ITEM");
        target.CopyFrom(plain, 0);
    };
    TMemoryStream out;
    master->SaveToStream(out, mtfSaveData);
    EXPECT_GT(out.Size(), 0);
    EXPECT_EQ(detailDuringSave, (Strings{"b"}));
    EXPECT_EQ(master->RecNo(), 2);
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"b"}));
    EXPECT_EQ(control.scrolls, 0);
    EXPECT_EQ(control.changes, 1);  // one refresh when the save ends
}

TEST_F(MemTableMasterDetail, DestroyingTheDataSourceUnlinksTheDetailAndTheControls) {
    auto src = std::make_unique<TDataSource>(master.get());
    detail->SetKeyFields("MASTER_ID");
    detail->SetMasterFields("ID");
    detail->SetMasterSource(src.get());
    EXPECT_EQ(detail->RecordCount(), 2);
    TEventCounter control;
    control.SetDataSource(src.get());
    EXPECT_TRUE(control.Active());
    src.reset();
    EXPECT_EQ(detail->MasterSource(), nullptr);
    EXPECT_EQ(detail->RecordCount(), 4);
    EXPECT_FALSE(control.Active());
    EXPECT_EQ(control.DataSource(), nullptr);
    EXPECT_EQ(control.activations, 2);
    master->Next();  // the table no longer reaches the link
    EXPECT_EQ(control.scrolls, 0);
}

TEST(MemTableFilter, EventSeesCalculatedFieldsWithoutOneAllPassRejectingAllCountsZero) {
    TNVMemTable t;
    OpenSquaresTable(t, 1, 6);
    t.SetFiltered(true);
    EXPECT_EQ(t.RecordCount(), 6);
    t.SetFiltered(false);
    t.OnFilterRecord = [](TBufferedDataSet& ds, bool& accept) {
        accept = ds.FieldByName("SQ").AsInteger() % 2 == 0 && ds.FieldByName("SQ").AsInteger() > 5;
    };
    t.SetFiltered(true);
    EXPECT_EQ(Rows(t), "4|16; 6|36");
    EXPECT_EQ(t.RecordCount(), 2);
    EXPECT_FALSE(t.Locate("V", Variant(3), 0));
    ASSERT_TRUE(t.Locate("SQ", Variant(16), 0));
    EXPECT_EQ(t.FieldByName("V").AsInteger(), 4);
    // A step past the last shown record runs over the hidden ones behind it; a step back then goes to the
    // record before the last shown one.
    t.SetFiltered(false);
    t.OnFilterRecord = [](TBufferedDataSet& ds, bool& accept) { accept = ds.FieldByName("V").AsInteger() < 4; };
    t.SetFiltered(true);
    EXPECT_EQ(Column(t, "V"), (Strings{"1", "2", "3"}));
    t.Prior();
    EXPECT_EQ(t.FieldByName("V").AsInteger(), 2);
    t.SetFiltered(false);
    t.OnFilterRecord = [](TBufferedDataSet&, bool& accept) { accept = false; };
    t.SetFiltered(true);
    EXPECT_EQ(t.RecordCount(), 0);
    EXPECT_TRUE(t.Eof());
    EXPECT_TRUE(t.FieldByName("V").IsNull());
    EXPECT_EQ(t.RecNo(), -1);
    // A sort of the hidden records, on a calculated field, does not fail for want of a position.
    t.SortOn("SQ", mtcoDescending);
    t.SetFiltered(false);
    EXPECT_EQ(Column(t, "V"), (Strings{"6", "5", "4", "3", "2", "1"}));
}

// Record numbers run without gaps only while no filter is set; a master link alone does not count.
TEST_F(MemTableMasterDetail, IsSequencedOnlyWhileNotFiltered) {
    ProbeTable t;
    t.FieldDefs().Add("V", TFieldType::ftInteger);
    t.CreateTable();
    t.Open();
    EXPECT_TRUE(t.IsSequenced());
    for (int i = 1; i <= 3; ++i) AppendRow(t, {Variant(i)});
    t.SetFiltered(true);  // without an event, still a filter, one that passes everything
    EXPECT_FALSE(t.IsSequenced());
    EXPECT_EQ(Column(t, "V"), (Strings{"1", "2", "3"}));
    t.SetFiltered(false);
    EXPECT_TRUE(t.IsSequenced());
    t.SetKeyFields("V");
    t.SetMasterFields("ID");
    t.SetMasterSource(&source);
    EXPECT_EQ(t.RecordCount(), 1);  // the link filters: master ID 1
    EXPECT_TRUE(t.IsSequenced());
}

}  // namespace

// A lookup field takes the master's value by its key, and is saved only with its flag.
TEST_F(MemTableMasterDetail, LookupFieldsTakeTheirValueFromTheLookupDataSet) {
    TNVMemTable t;
    t.CreateField("REF", TFieldType::ftInteger);
    AddNameLookup(t, "REF_NAME", "REF", master.get());
    t.Open();
    AppendRow(t, {Variant(2)});
    AppendRow(t, {Variant(5)});
    EXPECT_EQ(Rows(t), "2|two; 5|<null>");
    TMemoryStream with, without;
    t.SaveToStream(with, mtfSaveData | mtfSaveLookup | mtfSkipRest);
    t.SaveToStream(without, mtfSaveData | mtfSkipRest);
    EXPECT_EQ(with.Bytes(), "\"REF\",\"REF_NAME\",\r\n\"2\",\"two\",\r\n\"5\",\r\n");
    EXPECT_EQ(without.Bytes(), "\"REF\",\r\n\"2\",\r\n\"5\"\r\n");
}

// The load replaces the records; the link holds none of them back and stays.
TEST_F(MemTableMasterDetail, LoadingIntoADetailKeepsItsLinkAndTakesEveryRecord) {
    Link();
    auto src = MakeTable({{"MASTER_ID", TFieldType::ftInteger}, {"ITEM", TFieldType::ftString, 10}});
    AppendRow(*src, {Variant(1), Variant("x")});
    AppendRow(*src, {Variant(2), Variant("y")});
    AppendRow(*src, {Variant(3), Variant("z")});
    detail->LoadFromDataSet(src.get(), mtcpoOnlyData);
    EXPECT_EQ(detail->MasterSource(), &source);
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"x"}));
    master->Next();
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"y"}));
    detail->SetMasterSource(nullptr);
    EXPECT_EQ(Column(*detail, "ITEM"), (Strings{"x", "y", "z"}));
}
