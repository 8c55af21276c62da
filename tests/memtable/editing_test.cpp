// Editing, bookmarks and the auto-increment field.
#include "core/format.h"
#include "memtable_test_util.h"
#include "support/expect_raises.h"

namespace {

std::unique_ptr<TNVMemTable> Numbers(int count) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
    for (int i = 1; i <= count; ++i) AppendRow(*t, {Variant(i), Variant(Format("r%d", {i}))});
    t->First();
    return t;
}

TEST(MemTableEditing, AppendOnEmptyTable) {
    auto t = Numbers(0);
    t->Append();
    EXPECT_TRUE(t->Eof());
    t->FieldByName("ID").SetAsInteger(1);
    t->Post();
    EXPECT_EQ(t->RecordCount(), 1);
    EXPECT_EQ(t->RecNo(), 1);
    EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
}

TEST(MemTableEditing, InsertGoesInFrontOfTheCurrentRecord) {
    auto t = Numbers(4);
    t->SetRecNo(3);
    t->Insert();
    t->FieldByName("ID").SetAsInteger(99);
    t->Post();
    EXPECT_EQ(Column(*t, "ID"), (Strings{"1", "2", "99", "3", "4"}));
    t->SetRecNo(3);
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 99);
}

TEST(MemTableEditing, PostedRecordIsCurrent) {
    auto t = Numbers(3);
    t->Append();
    t->FieldByName("ID").SetAsInteger(4);
    t->Post();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4);
    EXPECT_EQ(t->RecNo(), 4);
    t->SetRecNo(2);
    t->Insert();
    t->FieldByName("ID").SetAsInteger(7);
    t->Post();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 7);
    EXPECT_EQ(t->RecNo(), 2);
}

TEST(MemTableEditing, InsertOnEmptyTable) {
    auto t = Numbers(0);
    t->Insert();
    t->FieldByName("ID").SetAsInteger(5);
    t->Post();
    EXPECT_EQ(Column(*t, "ID"), (Strings{"5"}));
}

TEST(MemTableEditing, EditAndPostOverwritesTheStoredRecord) {
    auto t = Numbers(3);
    t->Next();
    t->Edit();
    t->FieldByName("NAME").SetAsString("two");
    EXPECT_EQ(t->FieldByName("NAME").OldValue().AsString(), "r2");
    EXPECT_EQ(t->FieldByName("NAME").AsString(), "two");
    t->Post();
    EXPECT_EQ(Column(*t, "NAME"), (Strings{"r1", "two", "r3"}));
}

TEST(MemTableEditing, EditThenCancelLeavesTheRecordAsItWas) {
    auto t = Numbers(2);
    t->Edit();
    t->FieldByName("NAME").Clear();
    t->FieldByName("ID").SetAsInteger(77);
    t->Cancel();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1);
    EXPECT_EQ(t->FieldByName("NAME").AsString(), "r1");
    EXPECT_EQ(Column(*t, "NAME"), (Strings{"r1", "r2"}));
}

TEST(MemTableEditing, CheckBrowseModeCancelsAnUntouchedInsert) {
    auto t = Numbers(1);
    t->Append();
    t->First();
    EXPECT_EQ(t->RecordCount(), 1);
    t->Append();
    t->FieldByName("ID").SetAsInteger(2);
    t->First();  // a changed insert is posted
    EXPECT_EQ(t->RecordCount(), 2);
}

TEST(MemTableEditing, DeleteTheLastRecord) {
    auto t = Numbers(3);
    t->Last();
    t->Delete();
    EXPECT_EQ(t->RecordCount(), 2);
    EXPECT_FALSE(t->Eof());
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
    t->First();
    t->Delete();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
    t->Delete();
    EXPECT_EQ(t->RecordCount(), 0);
    EXPECT_THROW(t->Delete(), EDatabaseError);
}

TEST(MemTableEditing, DeleteDuringAnEditEndsIt) {
    auto t = Numbers(2);
    t->Edit();
    t->FieldByName("NAME").SetAsString("x");
    t->Delete();
    EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
    EXPECT_EQ(Column(*t, "ID"), (Strings{"2"}));
}

TEST(MemTableEditing, PostOutsideEditModeRaises) {
    auto t = Numbers(1);
    EXPECT_THROW(t->Post(), EDatabaseError);
}

TEST(MemTableEditing, ReadOnlyTableRefusesChanges) {
    auto t = Numbers(1);
    t->SetReadOnly(true);
    EXPECT_FALSE(t->CanModify());
    EXPECT_THROW(t->Append(), EDatabaseError);
    EXPECT_THROW(t->Insert(), EDatabaseError);
    EXPECT_THROW(t->Edit(), EDatabaseError);
    EXPECT_THROW(t->Delete(), EDatabaseError);
    EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
    EXPECT_EQ(t->RecordCount(), 1);
}

TEST(MemTableEditing, EventsRunInOrder) {
    auto t = Numbers(0);
    std::vector<std::string> log;
    t->BeforeInsert = [&](TBufferedDataSet&) { log.push_back("BeforeInsert"); };
    t->OnNewRecord = [&](TBufferedDataSet&) { log.push_back("OnNewRecord"); };
    t->AfterInsert = [&](TBufferedDataSet&) { log.push_back("AfterInsert"); };
    t->BeforePost = [&](TBufferedDataSet&) { log.push_back("BeforePost"); };
    t->AfterPost = [&](TBufferedDataSet&) { log.push_back("AfterPost"); };
    t->Append();
    t->FieldByName("ID").SetAsInteger(1);
    t->Post();
    EXPECT_EQ(log, (Strings{"BeforeInsert", "OnNewRecord", "AfterInsert", "BeforePost", "AfterPost"}));
}

TEST(MemTableEditing, EveryEventOfATablesLifeInOrder) {
    std::vector<std::string> log;  // outlives the table, whose destruction closes it
    auto t = Numbers(2);
    const std::pair<TBufferedDataSet::TNotifyEvent TBufferedDataSet::*, const char*> events[] = {
        {&TBufferedDataSet::BeforeOpen, "BeforeOpen"},     {&TBufferedDataSet::AfterOpen, "AfterOpen"},
        {&TBufferedDataSet::BeforeClose, "BeforeClose"},   {&TBufferedDataSet::AfterClose, "AfterClose"},
        {&TBufferedDataSet::BeforeInsert, "BeforeInsert"}, {&TBufferedDataSet::AfterInsert, "AfterInsert"},
        {&TBufferedDataSet::BeforeEdit, "BeforeEdit"},     {&TBufferedDataSet::AfterEdit, "AfterEdit"},
        {&TBufferedDataSet::BeforePost, "BeforePost"},     {&TBufferedDataSet::AfterPost, "AfterPost"},
        {&TBufferedDataSet::BeforeCancel, "BeforeCancel"}, {&TBufferedDataSet::AfterCancel, "AfterCancel"},
        {&TBufferedDataSet::BeforeDelete, "BeforeDelete"}, {&TBufferedDataSet::AfterDelete, "AfterDelete"},
        {&TBufferedDataSet::BeforeScroll, "BeforeScroll"}, {&TBufferedDataSet::AfterScroll, "AfterScroll"},
        {&TBufferedDataSet::OnNewRecord, "OnNewRecord"}};
    for (const auto& [event, name] : events)
        (*t).*event = [&log, name = std::string(name)](TBufferedDataSet&) { log.push_back(name); };
    auto step = [&](const char* what, auto action) {
        log.clear();
        action();
        std::string all;
        for (const auto& e : log) all += (all.empty() ? "" : " ") + e;
        return std::string(what) + ": " + all;
    };
    const std::string got[] = {
        step("MoveBy(0)", [&] { EXPECT_EQ(t->MoveBy(0), 0); EXPECT_TRUE(t->Bof()); }),
        step("Next", [&] { t->Next(); }),
        step("Edit", [&] { t->Edit(); t->FieldByName("NAME").SetAsString("x"); }),
        step("Insert while editing", [&] { t->Insert(); }),
        step("Cancel", [&] { t->Cancel(); EXPECT_EQ(t->FieldByName("NAME").AsString(), "x"); }),
        step("Delete", [&] { t->Delete(); EXPECT_EQ(t->RecordCount(), 1); }),
        step("Close", [&] { t->Close(); }),
        step("Open", [&] { t->Open(); }),
    };
    const std::string want[] = {
        "MoveBy(0): BeforeScroll",  // no move, so no scroll to report
        "Next: BeforeScroll AfterScroll",
        "Edit: BeforeEdit AfterEdit",
        // The pending edit is posted before the insert begins.
        "Insert while editing: BeforePost AfterPost BeforeInsert BeforeScroll OnNewRecord AfterInsert AfterScroll",
        "Cancel: BeforeCancel BeforeScroll AfterCancel AfterScroll",
        "Delete: BeforeDelete BeforeScroll AfterDelete AfterScroll",
        "Close: BeforeClose AfterClose",
        "Open: BeforeOpen AfterOpen",
    };
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(got[i], want[i]);
}

TEST(MemTableEditing, PostErrorEventMayRetryOrFail) {
    auto t = Numbers(0);
    int calls = 0;
    t->BeforePost = [&](TBufferedDataSet& ds) {
        if (ds.FieldByName("ID").AsInteger() < 0) throw EDatabaseError("negative");
    };
    t->OnPostError = [&](TBufferedDataSet& ds, const EDatabaseError&, TDataAction& action) {
        ++calls;
        action = TDataAction::daFail;
    };
    t->Append();
    t->FieldByName("ID").SetAsInteger(-1);
    EXPECT_THROW(t->Post(), EDatabaseError);
    EXPECT_EQ(t->State(), TDataSetState::dsInsert);
    t->Cancel();
    EXPECT_EQ(t->RecordCount(), 0);
}

TEST(MemTableBookmarks, NameAPositionNotARecord) {
    auto t = Numbers(6);
    t->SetRecNo(5);
    TBookmark bm = t->GetBookmark();
    ASSERT_EQ(bm.size(), 4u);
    t->SetRecNo(2);
    t->Insert();
    t->FieldByName("ID").SetAsInteger(100);
    t->Post();
    t->GotoBookmark(bm);
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4);
    EXPECT_EQ(t->RecNo(), 5);
}

TEST(MemTableBookmarks, ValidityAndComparison) {
    auto t = Numbers(3);
    TBookmark first = t->GetBookmark();
    t->Last();
    TBookmark last = t->GetBookmark();
    EXPECT_TRUE(t->BookmarkValid(first));
    EXPECT_EQ(t->CompareBookmarks(first, last), -1);
    EXPECT_EQ(t->CompareBookmarks(last, first), 1);
    EXPECT_EQ(t->CompareBookmarks(last, last), 0);
    t->Delete();
    EXPECT_FALSE(t->BookmarkValid(last));
    EXPECT_EQ(t->CompareBookmarks(first, last), -1);
    EXPECT_EQ(t->CompareBookmarks(last, first), 1);
    EXPECT_EQ(t->CompareBookmarks(last, TBookmark()), 0);
    ExpectRaises<EMemTableError>([&] { t->GotoBookmark(last); }, "Lesezeichen 2 nicht gefunden.");
}

TEST(MemTableBookmarks, NoBookmarkOnEmptyTableOrNewRecord) {
    auto t = Numbers(0);
    EXPECT_TRUE(t->GetBookmark().empty());
    t->GotoBookmark(TBookmark());  // nothing happens
    AppendRow(*t, {Variant(1)});
    t->Append();
    EXPECT_TRUE(t->GetBookmark().empty());
    t->Cancel();
}

class MemTableAutoInc : public ::testing::Test {
protected:
    void SetUp() override { t = MakeTable({{"ID", TFieldType::ftAutoInc}, {"NAME", TFieldType::ftString, 10}}); }
    std::unique_ptr<TNVMemTable> t;
};

TEST_F(MemTableAutoInc, ProposalsFollowThePostedMaximum) {
    t->Append();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 0);
    t->FieldByName("ID").SetAsInteger(10);
    t->Post();
    t->Append();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 11);
    t->Cancel();
    t->Append();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 11);  // a cancelled insert does not advance
    t->FieldByName("ID").SetAsInteger(3);
    t->Post();
    t->Append();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 11);  // a smaller value keeps the maximum
    t->Cancel();
}

TEST_F(MemTableAutoInc, AppendRecordNeverRaisesTheMaximum) {
    t->AppendRecord({Variant::Empty(), Variant("a")});
    t->AppendRecord({Variant::Empty(), Variant("b")});
    EXPECT_EQ(Column(*t, "ID"), (Strings{"0", "0"}));
    EXPECT_EQ(Column(*t, "NAME"), (Strings{"a", "b"}));
}

TEST_F(MemTableAutoInc, DeletingDoesNotLowerAndReopeningResets) {
    t->Append();
    t->Post();
    t->Append();
    t->Post();
    t->Delete();
    t->Append();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
    t->Cancel();
    t->Close();
    t->Open();
    t->Append();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 0);
    t->Cancel();
}

TEST(MemTableRecordAtOnce, InsertRecordGoesToTheCurrentPosition) {
    auto t = Numbers(3);
    t->SetRecNo(2);
    t->InsertRecord({Variant(50), Variant("x")});
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 50);
    EXPECT_EQ(Column(*t, "ID"), (Strings{"1", "50", "2", "3"}));
    t->AppendRecord({Variant(60), Variant::Null()});
    EXPECT_EQ(Column(*t, "ID"), (Strings{"1", "50", "2", "3", "60"}));
    EXPECT_EQ(Column(*t, "NAME").back(), "<null>");
}

TEST(MemTableRecordAtOnce, FailingValueLeavesNothingBehind) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"B", TFieldType::ftBlob}});
    EXPECT_THROW(t->AppendRecord({Variant("no number"), Variant("blob")}), EDatabaseError);
    EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
    EXPECT_EQ(t->RecordCount(), 0);
    t->AppendRecord({Variant(1), Variant("blob")});
    EXPECT_EQ(t->FieldByName("B").AsString(), "blob");
}

}  // namespace
