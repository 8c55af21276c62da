// Sorting, placing posted records, and searching with Locate and Lookup.
#include <algorithm>
#include <random>

#include "core/cp1251.h"
#include "core/text.h"
#include "memtable_test_util.h"
#include "support/expect_raises.h"

namespace {

TEST(MemTableSort, NullsFirstAscendingLastDescendingCaseSeveralFieldsAndTypesCursorPositionKept) {
    auto t = MakeTable({{"K", TFieldType::ftInteger}, {"S", TFieldType::ftString, 5}, {"D", TFieldType::ftDate},
                        {"F", TFieldType::ftFloat}, {"B", TFieldType::ftBoolean}, {"L", TFieldType::ftLargeint},
                        {"W", TFieldType::ftWord}});
    TDateTime d1 = EncodeDateTime(2020, 1, 2), d0 = EncodeDateTime(1890, 5, 1);
    const Variant k[] = {Variant(3), Variant::Null(), Variant(1), Variant(2)};
    const char* const s[] = {"b", "A", "a", "B"};
    const double f[] = {2.5, -1.0, 9.0, -3.0};
    const int64_t l[] = {-5, INT64_C(1) << 40, 0, 7};
    const int w[] = {1, 60000, 2, 7};
    for (int i = 0; i < 4; ++i)
        t->AppendRecord({k[i], Variant(s[i]), Variant::FromDate(i < 2 ? d1 : d0), Variant(f[i]), Variant(i % 2 == 0),
                         Variant(l[i]), Variant(w[i])});
    const struct { const char* fields; TqdMemTableCompareOptions options; const char* want; } cases[] = {
        {"K", 0, "<null> 1 2 3"},
        {"K", mtcoDescending, "3 2 1 <null>"},
        {"S", 0, "1 <null> 3 2"},  // a A b B
        {"D;F", 0, "2 1 <null> 3"},
        {"B;F", 0, "2 <null> 3 1"},
        {"L", mtcoDescending, "<null> 2 1 3"},
        {"W", 0, "3 1 2 <null>"},  // unsigned: 60000 last
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields);
        t->SetRecNo(2);
        t->SortOn(c.fields, c.options);
        EXPECT_EQ(t->RecNo(), 2);
        std::string got;
        for (const std::string& k : Column(*t, "K")) got += (got.empty() ? "" : " ") + k;
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(t->SortedOn(), c.fields);
        EXPECT_TRUE(t->IsSorted());
    }
    t->SortOn("S", mtcoCaseInsensitive);
    const Strings byText = Column(*t, "S");
    EXPECT_TRUE(SameText1251(byText[0], "a") && SameText1251(byText[1], "a") && SameText1251(byText[2], "b"));
    // A partial key in the sort options stays in bounds.
    auto p = MakeTable({{"S", TFieldType::ftString, 8}});
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        std::string v(1 + rng() % 4, 'a');
        for (char& c : v) c = static_cast<char>('a' + rng() % 2);
        AppendRow(*p, {Variant(v)});
    }
    p->SortOn("S", mtcoPartialKey);
    EXPECT_EQ(p->RecordCount(), 300);
}

TEST(MemTableSort, EqualKeysFollowTheStoredRecordNumbersAsAStableSortWould) {
    auto many = MakeTable({{"K", TFieldType::ftInteger}, {"SEQ", TFieldType::ftInteger}});
    std::mt19937 rng(11);
    std::vector<std::pair<int, int>> rows;
    for (int i = 0; i < 2000; ++i) rows.emplace_back(static_cast<int>(rng() % 50), i);
    for (auto& r : rows) AppendRow(*many, {Variant(r.first), Variant(r.second)});
    // An edit stores the record number the record was read with: every record's position.
    for (many->First(); !many->Eof(); many->Next()) {
        many->Edit();
        many->FieldByName("SEQ").SetAsInteger(many->FieldByName("SEQ").AsInteger());
        many->Post();
    }
    many->SortOn("K", 0);
    std::stable_sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.first < b.first; });
    Strings expected;
    for (auto& r : rows) expected.push_back(std::to_string(r.second));
    EXPECT_EQ(Column(*many, "SEQ"), expected);
    // Descending negates the tie-break too.
    many->SortOn("K", mtcoDescending);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(Column(*many, "SEQ"), expected);
}

TEST(MemTableSort, SortFieldsStoresIndexFieldNamesSortsUnsuitableFieldsRaise) {
    auto t = MakeTable({{"V", TFieldType::ftInteger}, {"TAG", TFieldType::ftString, 10}});
    AppendRow(*t, {Variant(2), Variant("t0")});
    AppendRow(*t, {Variant(1), Variant("t1")});
    t->SetSortFields("V");
    EXPECT_EQ(Column(*t, "V"), (Strings{"2", "1"}));
    EXPECT_EQ(t->IndexFieldNames(), "V");
    t->SetIndexFieldNames("TAG");
    EXPECT_EQ(Column(*t, "TAG"), (Strings{"t0", "t1"}));
    t->SetSortOptions(mtcoDescending);
    t->SetIndexFieldNames("V");
    EXPECT_EQ(Column(*t, "V"), (Strings{"2", "1"}));
    auto u = MakeTable({{"ID", TFieldType::ftInteger}, {"B", TFieldType::ftMemo}});
    u->FieldByName("B").DisplayLabel = "Notiz";
    ExpectRaises<EDatabaseError>([&] { u->SortOn("ID;B", 0); }, "Kann Index f\xFCr das Feld Notiz nicht erzeugen");
    EXPECT_THROW(u->SortOn("NOPE", 0), EDatabaseError);
}

TEST(MemTableAutoSort, PostedRecordsFindTheirPlaceAndSwitchingOnSorts) {
    TNVMemTable t;
    t.FieldDefs().Add("V", TFieldType::ftInteger);
    t.SetSortFields("V");
    t.CreateTable();
    t.Open();
    EXPECT_TRUE(t.AutoSort());
    auto posted = [&](std::initializer_list<int> values) {
        for (int v : values) AppendRow(t, {Variant(v)});
        const std::string current = t.FieldByName("V").AsString() + "@" + std::to_string(t.RecNo());
        std::string all;
        for (const std::string& v : Column(t, "V")) all += " " + v;
        return current + all;
    };
    EXPECT_EQ(posted({2, 3, 4, 1}), "1@1 1 2 3 4");
    EXPECT_EQ(posted({5, 3}), "3@4 1 2 3 3 4 5");
    t.SetRecNo(1);
    t.Edit();
    t.FieldByName("V").SetAsInteger(10);
    t.Post();
    EXPECT_EQ(posted({}), "10@6 2 3 3 4 5 10");
    t.EmptyTable();
    t.SetSortOptions(mtcoDescending);
    EXPECT_EQ(posted({2, 7, 1, 5}), "5@2 7 5 2 1");
    // Switched off, records stay where posted; switching on sorts.
    t.EmptyTable();
    t.SetAutoSort(false);
    EXPECT_EQ(posted({3, 1, 2}), "2@3 3 1 2");
    t.SetAutoSort(true);
    EXPECT_EQ(posted({}), "1@3 3 2 1");
}

class MemTableLocate : public ::testing::Test {
protected:
    void SetUp() override {
        t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
        t->SetAutoSort(false);
    }
    std::unique_ptr<TNVMemTable> t;
};

// Appends "ID:NAME" records ("ID:" for a null name) given blank-separated.
void AppendRows(TNVMemTable& t, const std::string& rows) {
    for (const std::string& r : SplitByChars(rows, TCharSet(" "), false)) {
        const size_t colon = r.find(':');
        AppendRow(t, {Variant(std::stoi(r.substr(0, colon))),
                      colon + 1 == r.size() ? Variant::Null() : Variant(r.substr(colon + 1))});
    }
}

TEST_F(MemTableLocate, FindsTheFirstMatchOrLeavesTheCursor) {
    const Variant kOneX(std::vector<Variant>{Variant(1), Variant("x")});
    const struct {
        const char* rows;
        const char* sortOn;  // with the binary search, or "" for none
        const char* fields;
        Variant key;
        TLocateOptions options;
        const char* want;  // the found record as ID:NAME@RecNo, or "-"
    } cases[] = {
        {"", "", "ID", Variant(1), 0, "-"},
        {"", "ID", "ID", Variant(1), 0, "-"},
        {"1:A 2:ABC 3:AB", "", "NAME", Variant("AB"), loPartialKey, "2:ABC@2"},
        {"1:A 2:ABC 3:AB", "", "NAME", Variant("AB"), 0, "3:AB@3"},
        {"1:A 2:ABC 3:AB", "", "NAME", Variant("ab"), 0, "-"},
        {"1:A 2:ABC 3:AB", "", "NAME", Variant("ab"), loCaseInsensitive | loPartialKey, "2:ABC@2"},
        {"1:A 2:ABC 3:AB", "", "NAME", Variant("ABCD"), loPartialKey, "-"},
        {"1: 1:x", "", "ID;NAME", kOneX, 0, "1:x@2"},
        {"1: 1:x", "", "NAME", Variant::Null(), 0, "1:@1"},
        {"1:n 2:n 3:n", "", "ID", Variant(9), 0, "-"},
        // Equal names: the binary search lands on the middle one, the linear scan on the first.
        {"1:X 2:X 3:X 4:X 5:X 6:X 7:X", "NAME;ID", "NAME", Variant("X"), 0, "4:X@4"},
        {"1:X 2:X 3:X 4:X 5:X 6:X 7:X", "NAME;ID", "ID", Variant(6), 0, "6:X@6"},
        {"1:X 2:X 3:X 4:X 5:X 6:X 7:X", "", "NAME", Variant("X"), 0, "1:X@1"},
        // A case-insensitive search over a case-sensitive sort (a b B C).
        {"1:B 2:a 3:C 4:b", "NAME", "NAME", Variant("c"), loCaseInsensitive, "3:C@4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.rows) + " / " + c.sortOn + " / " + c.fields);
        t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
        t->SetAutoSort(false);
        AppendRows(*t, c.rows);
        t->SetDoBinaryLocate(*c.sortOn != 0);
        if (*c.sortOn) t->SortOn(c.sortOn, 0);
        t->SetRecNo(2);
        const int before = t->RecNo();
        const bool found = t->Locate(c.fields, c.key, c.options);
        EXPECT_EQ(found, t->Found());
        EXPECT_EQ(found ? t->FieldByName("ID").AsString() + ":" + t->FieldByName("NAME").AsString() + "@" +
                              std::to_string(t->RecNo())
                        : "-",
                  c.want);
        if (!found) {
            EXPECT_EQ(t->RecNo(), before);
        }
    }
}

TEST_F(MemTableLocate, BinarySearchFindsEveryKeyAscendingAndDescending) {
    for (int i = 0; i < 101; ++i) AppendRow(*t, {Variant(i * 3), Variant("n")});
    t->SetDoBinaryLocate(true);
    for (TqdMemTableCompareOptions opts : {TqdMemTableCompareOptions(0), mtcoDescending}) {
        t->SortOn("ID", opts);
        for (int i = 0; i < 101; ++i) {
            ASSERT_TRUE(t->Locate("ID", Variant(i * 3), 0)) << i;
            EXPECT_EQ(t->FieldByName("ID").AsInteger(), i * 3);
            EXPECT_FALSE(t->Locate("ID", Variant(i * 3 + 1), 0));
        }
        EXPECT_FALSE(t->Locate("ID", Variant(-1), 0));
    }
    // A changed value ends the sorted order and with it the binary search.
    t->First();
    t->Edit();
    t->FieldByName("ID").SetAsInteger(-50);
    t->Post();
    EXPECT_FALSE(t->IsSorted());
    EXPECT_TRUE(t->Locate("ID", Variant(-50), 0));
}

TEST_F(MemTableLocate, KeyFieldNamesMatchWholeAndLargeIntKeysExactly) {
    auto u = MakeTable({{"ID", TFieldType::ftInteger}, {"IDX", TFieldType::ftInteger}});
    for (int i = 0; i < 9; ++i) AppendRow(*u, {Variant(8 - i), Variant(i)});
    u->SetDoBinaryLocate(true);
    u->SortOn("IDX", 0);
    // Sorted on IDX, not on ID: the search on ID must scan.
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(u->Locate("ID", Variant(i), 0)) << i;
    // 64-bit keys are compared exactly.
    u = MakeTable({{"L", TFieldType::ftLargeint}});
    AppendRow(*u, {Variant(INT64_C(9007199254740993))});
    AppendRow(*u, {Variant(INT64_C(9007199254740992))});
    ASSERT_TRUE(u->Locate("L", Variant(INT64_C(9007199254740993)), 0));
    EXPECT_EQ(u->RecNo(), 1);
    ASSERT_TRUE(u->Locate("L", Variant(2.0), 0) == false);
}

TEST_F(MemTableLocate, KeyValueErrors) {
    AppendRow(*t, {Variant(1), Variant("a")});
    ExpectRaises<EMemTableError>([&] { t->Locate("ID;NAME", Variant(1), 0); }, "Mehr Felder als Werte");
    ExpectRaises<EMemTableError>([&] { t->Locate("", Variant(1), 0); },
        "Sie m\xFCssen mindestens ein Feld angeben");
    const Variant nested(std::vector<Variant>{Variant(std::vector<Variant>{Variant(1)})});
    ExpectRaises<EMemTableError>([&] { t->Locate("ID", nested, 0); },
        "Das Varianten-Array hat eine ung\xFCltige Dimensionierung");
    EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
    EXPECT_FALSE(t->ControlsDisabled());
    // Key values of two dimensions are refused before a pending edit is posted.
    t->First();
    t->Edit();
    t->FieldByName("NAME").SetAsString("changed");
    EXPECT_THROW(t->Locate("ID", Variant(std::vector<Variant>{Variant(std::vector<Variant>{Variant(1)})}), 0),
                 EMemTableError);
    EXPECT_EQ(t->State(), TDataSetState::dsEdit);
    t->Cancel();
    EXPECT_EQ(Column(*t, "NAME"), (Strings{"a"}));
}

TEST_F(MemTableLocate, LookupNeverMovesTheCursorLocateScrollsOnlyWhenFound) {
    for (int i = 1; i <= 3; ++i) AppendRow(*t, {Variant(i), Variant("n" + std::to_string(i))});
    t->SetRecNo(2);
    EXPECT_TRUE(t->Lookup("ID", Variant(9), "NAME").IsNull());
    EXPECT_EQ(t->RecNo(), 2);
    EXPECT_EQ(t->Lookup("ID", Variant(3), "NAME").AsString(), "n3");
    EXPECT_EQ(t->RecNo(), 2);
    Variant both = t->Lookup("NAME", Variant("n1"), "ID;NAME");
    ASSERT_TRUE(both.IsArray());
    EXPECT_EQ(both[0].AsInteger(), 1);
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
    AppendRow(*t, {Variant(1), Variant("a")});
    int before = 0, after = 0;
    t->BeforeScroll = [&](TBufferedDataSet&) { ++before; };
    t->AfterScroll = [&](TBufferedDataSet&) { ++after; };
    t->Locate("ID", Variant(5), 0);
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 0);
    t->Locate("NAME", Variant("a"), 0);  // found where the cursor stands
    EXPECT_EQ(after, 1);
}

// Words of a Bulgarian user's table, in the order the locale gives them with
// letter case counting: letters in alphabet order whatever their case (Latin,
// then Cyrillic, Ё with Е), other characters before digits before letters, Е
// before Ё, and small before capital only between texts alike in their letters
// (the first letter whose case differs decides).
const char8_t* const kWordsInOrder[] = {
    u8"-", u8"1a", u8"a b", u8"apple", u8"applE", u8"Apple", u8"banana", u8"Zebra", u8"а", u8"аб", u8"Аб",
    u8"бор", u8"Бор", u8"вода", u8"гора", u8"дом", u8"ёж", u8"елха", u8"Елха", u8"ёлха", u8"Ёлха", u8"елхи",
    u8"жаба", u8"и", u8"й", u8"йод", u8"щека", u8"ъгъл", u8"ьо", u8"юг", u8"ябълка", u8"Ябълка",
};

std::vector<std::string> WordsInOrder() {
    std::vector<std::string> words;
    for (const char8_t* w : kWordsInOrder) words.push_back(Cp(w));
    return words;
}

std::vector<std::string> Lowered(std::vector<std::string> words) {
    for (std::string& w : words) w = LowerCase1251(w);
    return words;
}

TEST(MemTableTextOrder, WordsSortAsTheLocaleOrdersThemWithAndWithoutLetterCase) {
    const Strings words = WordsInOrder();
    auto t = MakeTable({{"W", TFieldType::ftString, 20}});
    std::vector<std::string> shuffled = words;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
    for (const std::string& w : shuffled) AppendRow(*t, {Variant(w)});
    t->SortOn("W", 0);
    EXPECT_EQ(Column(*t, "W"), words);
    t->SortOn("W", mtcoDescending);
    EXPECT_EQ(Column(*t, "W"), Strings(words.rbegin(), words.rend()));
    // Without letter case, texts alike but for it are equal and may come in either order; Ё stays after Е.
    t->SortOn("W", mtcoCaseInsensitive);
    EXPECT_EQ(Lowered(Column(*t, "W")), Lowered(words));
    // Every byte has a place of its own; without letter case only a small and a capital letter meet.
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 256; ++y) {
            const std::string a(1, static_cast<char>(x)), b(1, static_cast<char>(y));
            const int cs = CollateStr1251(a, b), ci = CollateText1251(a, b);
            ASSERT_EQ(cs == 0, x == y) << x << " " << y;
            ASSERT_EQ(cs, -CollateStr1251(b, a)) << x << " " << y;
            ASSERT_EQ(ci == 0, UpCase1251(a[0]) == UpCase1251(b[0])) << x << " " << y;
            ASSERT_EQ(ci, ci == 0 ? 0 : cs) << x << " " << y;
        }
    // The names of things keep their byte order: capitals first, Ё before А.
    EXPECT_LT(CompareStr1251("B", "a"), 0);
    EXPECT_LT(CompareText1251(Cp(u8"ёлха"), Cp(u8"а")), 0);
}

TEST(MemTableTextOrder, SearchesFindTextsAlikeButForLetterCaseAndNothingElse) {
    const Strings words = WordsInOrder();
    const struct {
        const char8_t* key;
        TLocateOptions options;
        const char8_t* want;  // the word found, without letter case when the search ignores it; "" for none
    } cases[] = {
        {u8"ЕЛХА", loCaseInsensitive, u8"елха"},
        {u8"ЁЛХА", loCaseInsensitive, u8"ёлха"},
        {u8"Ёлха", 0, u8"Ёлха"},
        {u8"ёлха", 0, u8"ёлха"},
        {u8"ЁЛХА", 0, u8""},
        {u8"APPLE", loCaseInsensitive, u8"apple"},
        {u8"ЁЛ", loCaseInsensitive | loPartialKey, u8"ёлха"},
        {u8"ЯБЪЛ", loCaseInsensitive | loPartialKey, u8"ябълка"},
        {u8"Ябъл", loPartialKey, u8"Ябълка"},
        {u8"ябълки", loCaseInsensitive, u8""},
    };
    for (bool binary : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(Cp1251ToUtf8(Cp(c.key)) + (binary ? " binary" : " linear"));
            auto t = MakeTable({{"W", TFieldType::ftString, 20}});
            t->SetAutoSort(false);
            std::vector<std::string> shuffled = words;
            std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(9));
            for (const std::string& w : shuffled) AppendRow(*t, {Variant(w)});
            t->SetDoBinaryLocate(binary);
            if (binary) t->SortOn("W", (c.options & loCaseInsensitive) ? mtcoCaseInsensitive : 0);
            const bool found = t->Locate("W", Variant(Cp(c.key)), c.options);
            const std::string got = found ? t->FieldByName("W").AsString() : "";
            EXPECT_EQ((c.options & loCaseInsensitive) ? LowerCase1251(got) : got, Cp(c.want));
        }
    }
    // A case-insensitive search for a word that is stored only with Ё finds nothing, nor the other way round.
    auto t = MakeTable({{"W", TFieldType::ftString, 20}});
    AppendRow(*t, {Variant(Cp(u8"ёлха"))});
    AppendRow(*t, {Variant(Cp(u8"Елхи"))});
    EXPECT_FALSE(t->Locate("W", Variant(Cp(u8"елха")), loCaseInsensitive));
    EXPECT_FALSE(t->Locate("W", Variant(Cp(u8"ЁЛХИ")), loCaseInsensitive | loPartialKey));
    EXPECT_TRUE(t->Lookup("W", Variant(Cp(u8"елха")), "W").IsNull());
    EXPECT_EQ(t->Lookup("W", Variant(Cp(u8"Елхи")), "W").AsString(), Cp(u8"Елхи"));
}

}  // namespace
