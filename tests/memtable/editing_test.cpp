// Editing, bookmarks and the auto-increment field.
#include <functional>

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

// The table after a step: the current record's ID and number, the state,
// and every record as ID:NAME (in browse state only: walking would post).
std::string Shown(TNVMemTable& t) {
    static const char* const kStates[] = {"inactive", "browse", "edit", "insert"};
    std::string s = t.FieldByName("ID").AsString() + "@" + std::to_string(t.RecNo()) + " " +
                    kStates[static_cast<int>(t.State())];
    if (t.State() != TDataSetState::dsBrowse) return s;
    const Strings ids = Column(t, "ID"), names = Column(t, "NAME");
    for (size_t i = 0; i < ids.size(); ++i) s += (i ? " " : " [") + ids[i] + ":" + names[i];
    return s + (ids.empty() ? " []" : "]");
}

void SetId(TNVMemTable& t, int id) { t.FieldByName("ID").SetAsInteger(id); }

TEST(MemTableEditing, StepsLeaveTheTableAsExpected) {
    const struct {
        const char* name;
        int rows;
        std::function<void(TNVMemTable&)> step;
        const char* want;
    } cases[] = {
        {"append on an empty table", 0, [](TNVMemTable& t) { t.Append(); EXPECT_TRUE(t.Eof()); SetId(t, 1); t.Post(); },
         "1@1 browse [1:<null>]"},
        {"insert on an empty table", 0, [](TNVMemTable& t) { t.Insert(); SetId(t, 5); t.Post(); },
         "5@1 browse [5:<null>]"},
        {"insert goes in front of the current record", 4,
         [](TNVMemTable& t) { t.SetRecNo(3); t.Insert(); SetId(t, 99); t.Post(); },
         "99@3 browse [1:r1 2:r2 99:<null> 3:r3 4:r4]"},
        {"an appended record is current once posted", 3, [](TNVMemTable& t) { t.Append(); SetId(t, 4); t.Post(); },
         "4@4 browse [1:r1 2:r2 3:r3 4:<null>]"},
        {"an inserted record is current once posted", 3,
         [](TNVMemTable& t) { t.SetRecNo(2); t.Insert(); SetId(t, 7); t.Post(); }, "7@2 browse [1:r1 7:<null> 2:r2 3:r3]"},
        {"edit and post overwrite the stored record", 3,
         [](TNVMemTable& t) {
             t.Next();
             t.Edit();
             t.FieldByName("NAME").SetAsString("two");
             EXPECT_EQ(t.FieldByName("NAME").OldValue().AsString(), "r2");
             EXPECT_EQ(t.FieldByName("NAME").AsString(), "two");
             t.Post();
         },
         "2@2 browse [1:r1 2:two 3:r3]"},
        {"a cancelled edit leaves the record as it was", 2,
         [](TNVMemTable& t) { t.Edit(); t.FieldByName("NAME").Clear(); SetId(t, 77); t.Cancel(); },
         "1@1 browse [1:r1 2:r2]"},
        {"leaving an untouched insert cancels it, a changed one is posted", 1,
         [](TNVMemTable& t) { t.Append(); t.First(); EXPECT_EQ(t.RecordCount(), 1); t.Append(); SetId(t, 2); t.First(); },
         "1@1 browse [1:r1 2:<null>]"},
        {"deleting the last record shows the one before", 3,
         [](TNVMemTable& t) { t.Last(); t.Delete(); EXPECT_FALSE(t.Eof()); }, "2@2 browse [1:r1 2:r2]"},
        {"deleting the first record shows the next", 2, [](TNVMemTable& t) { t.Delete(); }, "2@1 browse [2:r2]"},
        {"deleting the only record, then nothing to delete", 1,
         [](TNVMemTable& t) { t.Delete(); EXPECT_THROW(t.Delete(), EDatabaseError); }, "@-1 browse []"},
        {"delete during an edit ends it", 2, [](TNVMemTable& t) { t.Edit(); t.FieldByName("NAME").SetAsString("x"); t.Delete(); },
         "2@1 browse [2:r2]"},
        {"refresh during an edit posts it", 1,
         [](TNVMemTable& t) { t.Edit(); t.FieldByName("NAME").SetAsString("x"); t.Refresh(); }, "1@1 browse [1:x]"},
        {"post outside edit mode raises", 1, [](TNVMemTable& t) { EXPECT_THROW(t.Post(), EDatabaseError); },
         "1@1 browse [1:r1]"},
        {"a read-only table refuses changes", 1,
         [](TNVMemTable& t) {
             t.SetReadOnly(true);
             EXPECT_FALSE(t.CanModify());
             EXPECT_THROW(t.Append(), EDatabaseError);
             EXPECT_THROW(t.Insert(), EDatabaseError);
             EXPECT_THROW(t.AppendRecord({Variant(2)}), EDatabaseError);
             EXPECT_THROW(t.Edit(), EDatabaseError);
             EXPECT_THROW(t.Delete(), EDatabaseError);
         },
         "1@1 browse [1:r1]"},
        {"the post error event decides to fail", 0,
         [](TNVMemTable& t) {
             t.BeforePost = [](TBufferedDataSet& ds) {
                 if (ds.FieldByName("ID").AsInteger() < 0) throw EDatabaseError("negative");
             };
             t.OnPostError = [](TBufferedDataSet&, const EDatabaseError&, TDataAction& action) {
                 action = TDataAction::daFail;
             };
             t.Append();
             SetId(t, -1);
             EXPECT_THROW(t.Post(), EDatabaseError);
             EXPECT_EQ(Shown(t), "-1@-1 insert");
             t.Cancel();
         },
         "@-1 browse []"},
        {"insert record goes to the current position", 3,
         [](TNVMemTable& t) { t.SetRecNo(2); t.InsertRecord({Variant(50), Variant("x")}); }, "50@2 browse [1:r1 50:x 2:r2 3:r3]"},
        {"append record goes to the end", 2, [](TNVMemTable& t) { t.AppendRecord({Variant(60), Variant::Null()}); },
         "60@3 browse [1:r1 2:r2 60:<null>]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto t = Numbers(c.rows);
        c.step(*t);
        EXPECT_EQ(Shown(*t), c.want);
    }
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
        step("Append, Post", [&] { t->Append(); t->FieldByName("ID").SetAsInteger(3); t->Post(); }),
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
        "Append, Post: BeforeInsert BeforeScroll OnNewRecord AfterInsert AfterScroll BeforePost AfterPost",
        "Close: BeforeClose AfterClose",
        "Open: BeforeOpen AfterOpen",
    };
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(got[i], want[i]);
}

TEST(MemTableBookmarks, NameAPositionValidityComparisonAndNoneWhereNoRecord) {
    auto t = Numbers(6);
    t->SetRecNo(5);
    TBookmark bm = t->GetBookmark();
    ASSERT_EQ(bm.size(), 4u);
    t->SetRecNo(2);
    t->InsertRecord({Variant(100)});
    t->GotoBookmark(bm);
    EXPECT_EQ(Shown(*t).substr(0, 10), "4@5 browse");  // the position it named
    auto u = Numbers(3);
    const TBookmark first = u->GetBookmark();
    u->Last();
    const TBookmark last = u->GetBookmark();
    auto compared = [&] {
        std::string s = u->BookmarkValid(first) ? "valid" : "invalid";
        s += u->BookmarkValid(last) ? " valid" : " invalid";
        for (const auto& [a, b] : {std::pair(first, last), std::pair(last, first), std::pair(last, last),
                                   std::pair(last, TBookmark())})
            s += " " + std::to_string(u->CompareBookmarks(a, b));
        return s;
    };
    EXPECT_EQ(compared(), "valid valid -1 1 0 -1");
    u->Delete();
    EXPECT_EQ(compared(), "valid invalid -1 1 0 0");
    ExpectRaises<EMemTableError>([&] { u->GotoBookmark(last); }, "Lesezeichen 2 nicht gefunden.");
    u = Numbers(0);
    EXPECT_TRUE(u->GetBookmark().empty());
    u->GotoBookmark(TBookmark());  // nothing happens
    AppendRow(*u, {Variant(1)});
    u->Append();
    EXPECT_TRUE(u->GetBookmark().empty());
    u->Cancel();
}

TEST(MemTableAutoInc, ProposalsFollowThePostedMaximumUntilTheTableIsReopened) {
    auto t = MakeTable({{"ID", TFieldType::ftAutoInc}, {"NAME", TFieldType::ftString, 10}});
    std::string proposals;
    auto propose = [&](int posted) {
        t->Append();
        proposals += t->FieldByName("ID").AsString() + " ";
        if (posted < 0) return t->Cancel();
        t->FieldByName("ID").SetAsInteger(posted);
        t->Post();
    };
    propose(10);
    propose(-1);  // a cancelled insert does not advance
    propose(3);   // a smaller value keeps the maximum
    t->First();
    t->Delete();  // nor does deleting the largest lower it
    propose(-1);
    t->Close();
    t->Open();
    // Records appended at once never raise the maximum.
    t->AppendRecord({Variant::Empty(), Variant("a")});
    t->AppendRecord({Variant::Empty(), Variant("b")});
    EXPECT_EQ(Rows(*t), "0|a; 0|b");
    propose(-1);
    EXPECT_EQ(proposals, "0 11 11 11 0 ");
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
