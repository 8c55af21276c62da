// Record layout, field definitions, field values and the cursor.
#include <cmath>
#include <utility>

#include "core/format.h"
#include "core/log.h"
#include "memtable_test_util.h"
#include "support/expect_raises.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

TEST(MemTableLayout, CalculatedFieldsLieBehindTheTrailerAFieldAreaOf64KIsARangeError) {
    TNVMemTable t;
    t.CreateField("A", TFieldType::ftInteger);
    TBufferField& c = t.CreateField("C", TFieldType::ftInteger, 0, TFieldKind::fkCalculated);
    t.OnCalcFields = [](TBufferedDataSet& ds) {
        ds.FieldByName("C").SetAsInteger(ds.FieldByName("A").AsInteger() * 2);
    };
    t.Open();
    // The calculated field also has a definition and an unused slot: null byte and data per field, then the
    // trailer (record number and bookmark flag).
    EXPECT_EQ(t.FieldAreaSize(), 10);
    EXPECT_EQ(t.RecordSize(), 10 + 5 + 5);
    EXPECT_EQ(c.FieldNo(), -1);
    AppendRow(t, {Variant(21)});
    AppendRow(t, {Variant(5)});
    EXPECT_EQ(Rows(t), "21|42; 5|10");
    for (int fields : {7, 8}) {
        TNVMemTable wide;
        for (int i = 0; i < fields; ++i) wide.FieldDefs().Add(Format("S%d", {i}), TFieldType::ftString, 8192);
        wide.Open();
        if (fields == 7) EXPECT_EQ(wide.GetRecordSize(), 7 * 8194);
        else EXPECT_THROW(wide.GetRecordSize(), ERangeError);
    }
}

// The field area holds per field a null byte and the data bytes of its type; the trailer follows it.
TEST(MemTableLayout, FieldAreaIsANullBytePlusTheDataOfEachType) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 20},
                        {"FLAG", TFieldType::ftBoolean}});
    EXPECT_EQ(std::to_string(t->FieldAreaSize()) + " " + std::to_string(t->GetRecordSize()) + " " +
                  std::to_string(t->RecordSize()),
              "30 30 35");
    const struct { TFieldType type; int size; int slot; } cases[] = {
        {TFieldType::ftSmallint, 0, 3}, {TFieldType::ftWord, 0, 3},       {TFieldType::ftFloat, 0, 9},
        {TFieldType::ftCurrency, 0, 9}, {TFieldType::ftBCD, 4, 35},       {TFieldType::ftDate, 0, 9},
        {TFieldType::ftTime, 0, 9},     {TFieldType::ftDateTime, 0, 9},   {TFieldType::ftLargeint, 0, 9},
        {TFieldType::ftBlob, 0, 5},     {TFieldType::ftMemo, 0, 5},       {TFieldType::ftAutoInc, 0, 5},
        {TFieldType::ftFixedChar, 3, 5}, {TFieldType::ftWideString, 5, 7}, {TFieldType::ftBytes, 8, 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeTable({{"F", c.type, c.size}})->FieldAreaSize(), c.slot) << static_cast<int>(c.type);
}

TEST(MemTableLayout, UnsupportedTypesAndSizesAreRefused) {
    TNVMemTable t;
    t.FieldDefs().Add("ID", TFieldType::ftInteger);
    t.FieldDefs().Add("V", TFieldType::ftVariant);
    ExpectRaises<EMemTableError>([&] { t.Open(); }, "Felddefinition V (V) Datentyp 32 nicht unterst\xFCtzt.)");
    EXPECT_FALSE(t.Active());
    EXPECT_EQ(t.FieldCount(), 0);  // default fields are removed again
    EXPECT_THROW(t.CreateField("S", TFieldType::ftString, 9000), EDatabaseError);
    EXPECT_THROW(t.CreateField("I", TFieldType::ftInteger, 4), EDatabaseError);
    EXPECT_THROW(t.CreateField("S2", TFieldType::ftString, -1), EDatabaseError);
}

// The fields as name#FieldNo ("default" when made from the definitions), then the definitions ("!" required).
std::string FieldsAndDefs(TNVMemTable& t) {
    std::string s = t.DefaultFields() ? "default" : "own";
    for (int i = 0; i < t.FieldCount(); ++i)
        s += " " + t.Fields(i).FieldName() + "#" + std::to_string(t.Fields(i).FieldNo());
    s += " /";
    for (int i = 0; i < t.FieldDefs().Count(); ++i)
        s += " " + t.FieldDefs()[i].Name + (t.FieldDefs()[i].Required ? "!" : "");
    return s;
}

TEST(MemTableLayout, DefaultFieldsLiveWhileOpenPersistentOnesRebuildTheDefinitions) {
    TNVMemTable t;
    t.FieldDefs().Add("ID", TFieldType::ftInteger);
    t.FieldDefs().Add("NAME", TFieldType::ftString, 10);
    t.Open();
    EXPECT_EQ(FieldsAndDefs(t), "default ID#1 NAME#2 / ID NAME");
    EXPECT_EQ(t.FieldByName("name").FieldNo(), 2);
    t.Close();
    EXPECT_EQ(FieldsAndDefs(t), "default / ID NAME");
    TNVMemTable p;
    p.FieldDefs().Add("OLD", TFieldType::ftInteger);
    p.CreateField("A", TFieldType::ftString, 4).Required = true;
    p.CreateField("B", TFieldType::ftAutoInc);
    p.Open();
    EXPECT_EQ(FieldsAndDefs(p), "own A#1 B#2 / A! B");
    EXPECT_EQ(std::as_const(p).FieldDefs().Items(0).Name, "A");
    EXPECT_THROW(std::as_const(p).FieldDefs().Items(2), EListError);
    EXPECT_THROW(p.FieldDefs().Items(2), EListError);
    EXPECT_EQ(p.FieldDefs()[1].DataType, TFieldType::ftAutoInc);
    p.Close();
    EXPECT_EQ(FieldsAndDefs(p), "own A#0 B#0 / A! B");  // kept, but no longer bound
}

TEST(MemTableFieldData, AnEmptyTableHasNoDataAReadOnlyFieldTakesNone) {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}});
    int32_t v = 7;
    EXPECT_FALSE(t->FieldByName("ID").GetData(&v));
    EXPECT_TRUE(t->FieldByName("ID").IsNull());
    EXPECT_EQ(t->RecNo(), -1);
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 0);
    TBufferField& f = t->FieldByName("ID");
    f.ReadOnly = true;
    f.DisplayLabel = "Nummer";
    t->Append();
    ExpectRaises<EDatabaseError>([&] { f.SetAsInteger(1); }, "Feld Nummer ist als schreibgesch\xFCtzt markiert");
    t->Cancel();
}

TEST(MemTableFieldData, ValuesOfEveryTypeRoundTripOutOfRangeOnesRaise) {
    auto t = MakeTable({{"SI", TFieldType::ftSmallint}, {"W", TFieldType::ftWord}, {"I", TFieldType::ftInteger},
                        {"B", TFieldType::ftBoolean}, {"F", TFieldType::ftFloat}, {"C", TFieldType::ftCurrency},
                        {"BCD", TFieldType::ftBCD, 4}, {"D", TFieldType::ftDate}, {"T", TFieldType::ftTime},
                        {"DT", TFieldType::ftDateTime}, {"L", TFieldType::ftLargeint},
                        {"S", TFieldType::ftString, 5}, {"FC", TFieldType::ftFixedChar, 2}});
    const Variant dt = Variant::FromDate(EncodeDateTime(2024, 2, 29, 13, 45, 7, 250));
    AppendRow(*t, {Variant(-32768), Variant(65535), Variant(INT32_MIN), Variant(true), Variant(1234.5),
                   Variant(Currency::FromString("12.3456")), Variant(Currency::FromString("-7.25")), dt, dt, dt,
                   Variant(INT64_C(9007199254740993)), Variant("abcdefgh"), Variant("xy")});
    // The string is cut to its size; the date and the time keep their parts.
    EXPECT_EQ(Row(*t), "-32768|65535|-2147483648|True|1234.5|12.3456|-7.25|29.02.2024|13:45:07|29.02.2024 13:45:07|"
                       "9007199254740993|abcde|xy");
    EXPECT_NEAR(t->FieldByName("T").AsDateTime(), 13.0 / 24 + 45.0 / 1440 + 7.25 / 86400, 1e-9);
    EXPECT_EQ(t->FieldByName("D").AsVariant().Type(), VarType::Date);
    // The 8-byte values read back whole through the variant form.
    const struct { const char* field; double want; } wide[] = {{"F", 1234.5}, {"C", 12.3456}, {"DT", dt.AsDouble()}};
    for (const auto& w : wide) EXPECT_EQ(t->FieldByName(w.field).AsVariant().AsDouble(), w.want) << w.field;
    EXPECT_EQ(t->FieldByName("L").AsVariant().AsInt64(), INT64_C(9007199254740993));
    t->Append();
    EXPECT_THROW(t->FieldByName("SI").SetAsInteger(40000), ERangeError);
    EXPECT_THROW(t->FieldByName("W").SetAsInteger(-1), ERangeError);
    EXPECT_THROW(t->FieldByName("I").SetAsString("12x"), EDatabaseError);
    EXPECT_THROW(t->FieldByName("B").SetAsString("maybe"), EDatabaseError);
    t->FieldByName("F").SetAsString("-15e2");
    t->FieldByName("B").SetAsString("f");
    t->FieldByName("I").SetAsString("");
    EXPECT_EQ(Row(*t), "<null>|<null>|<null>|False|-1500|<null>|<null>|<null>|<null>|<null>|<null>|<null>|<null>");
    t->Cancel();
}

class MemTableCursor : public ::testing::Test {
protected:
    void SetUp() override {
        t = MakeTable<ProbeTable>({{"ID", TFieldType::ftInteger}});
        for (int i = 1; i <= 3; ++i) AppendRow(*t, {Variant(i * 10)});
        t->First();
    }
    std::unique_ptr<ProbeTable> t;
};

// The cursor as ID@RecNo, with its Bof and Eof flags.
std::string At(TBufferedDataSet& t) {
    return t.FieldByName("ID").AsString() + "@" + std::to_string(t.RecNo()) + (t.Bof() ? " bof" : "") +
           (t.Eof() ? " eof" : "");
}

TEST_F(MemTableCursor, WalksForwardBackwardAndByNumber) {
    std::string walk = At(*t);
    auto step = [&](bool moved) { walk += std::string(moved ? " > " : " = ") + At(*t); };
    t->Next(), step(true);
    t->Next(), t->Next(), step(true);  // past the last record
    t->Last(), step(true);
    t->Prior(), step(true);
    step(t->MoveBy(-5) == -1);
    t->Next(), t->SetRecNo(0), t->SetRecNo(4), step(true);  // out of range: no move
    t->SetRecNo(3), step(true);
    step(t->FindNext());
    step(t->FindPrior());
    step(t->FindFirst());
    step(t->FindPrior());
    step(t->FindLast());
    EXPECT_EQ(walk, "10@1 bof > 20@2 > 30@3 eof > 30@3 eof > 20@2 > 10@1 bof > 20@2 > 30@3 = 30@3 > 20@2 > "
                    "10@1 = 10@1 > 30@3");
    EXPECT_EQ(t->RecordCount(), 3);
    // Block reading steps to the next record, numbered only when browsing, and once more when it ends; a size of
    // 0 leaves the cursor.
    t->First(), t->SetBlockReadSize(10);
    walk = At(*t) + (t->State() == TDataSetState::dsBlockRead ? " block" : "");
    t->SetBlockReadSize(-1), t->SetBlockReadSize(0);
    walk += " > " + At(*t) + (t->State() == TDataSetState::dsBrowse ? " browse" : "");
    EXPECT_EQ(walk, "20@-1 block > 30@3 browse");
}

// Reading past either end leaves the index on the record at that end; a record read outside browse state
// carries no number.
TEST_F(MemTableCursor, GetRecordStopsAtTheEndsAndNumbersOnlyWhileBrowsing) {
    std::vector<uint8_t> buf(static_cast<size_t>(t->RecordSize()));
    auto read = [&](TGetMode mode) {
        const TGetResult r = t->GetRecord(buf.data(), mode, true);
        static const char* const kResults[] = {"ok", "bof", "eof", "error"};
        return std::string(kResults[static_cast<int>(r)]) + " #" + std::to_string(t->BufferRecNo(buf.data())) +
               " @" + std::to_string(t->CurrentIndex());
    };
    t->Last();
    EXPECT_EQ(read(TGetMode::gmNext), "eof #0 @2");
    t->First();
    EXPECT_EQ(read(TGetMode::gmPrior), "bof #0 @0");
    t->Next();
    EXPECT_EQ(read(TGetMode::gmCurrent), "ok #2 @1");
    t->Edit();
    EXPECT_EQ(t->RecNo(), 2);  // the active buffer was read while browsing
    EXPECT_EQ(read(TGetMode::gmCurrent), "ok #-1 @1");
    t->Cancel();
    t->Append();
    EXPECT_EQ(t->RecNo(), -1);
    t->Cancel();
}

TEST_F(MemTableCursor, ReadsThroughTheCommonDatasetInterfaceAndCloseDiscards) {
    TDataSet& ds = *t;
    std::string seen;
    for (ds.First(); !ds.Eof(); ds.Next()) seen += ds.FieldByName("id").AsString() + " ";
    EXPECT_EQ(seen, "10 20 30 ");
    EXPECT_EQ(ds.FindField("nope"), nullptr);
    EXPECT_THROW(ds.FieldByName("nope"), EDatabaseError);
    t->Close();
    EXPECT_FALSE(t->Active());
    EXPECT_THROW(t->First(), EDatabaseError);
    t->Open();
    EXPECT_EQ(At(*t) + " " + std::to_string(t->RecordCount()), "@-1 bof eof 0");
}

// An exception handed to the table's handler is written to the process log with the table as sender.
TEST(MemTableExceptions, AHandledExceptionGoesToTheLogWithTheTableAsSender) {
    TempDir dir;
    ScopedEnv base("VT_BASE_DIR", dir.Path());
    TServicesData data;
    data.SetClock([] { return EncodeDateTime(2024, 3, 5, 10, 20, 30); });
    struct Installed {
        explicit Installed(TServicesData* d) { ServicesData = d; }
        ~Installed() { ServicesData = nullptr; }
    } installed(&data);
    auto t = MakeTable<ProbeTable>({{"ID", TFieldType::ftInteger}});
    try {
        t->Locate("", Variant(1), 0);
    } catch (...) {
        t->InternalHandleException();
    }
    try {
        throw std::runtime_error("plain");
    } catch (...) {
        t->InternalHandleException();
    }
    t->InternalHandleException();  // outside a handler there is nothing to write
    EXPECT_EQ(TempDir::Read(data.LogFileName()),
              "05.03.2024 10:20:30 [TNVMemTable] Sie m\xFCssen mindestens ein Feld angeben\r\n"
              "05.03.2024 10:20:30 [TNVMemTable] plain\r\n");
}

}  // namespace

TEST(MemTableFieldData, DateAndTimeTextsInTheProcessNotation) {
    auto t = MakeTable({{"D", TFieldType::ftDate}, {"T", TFieldType::ftTime}, {"DT", TFieldType::ftDateTime}});
    t->Append();
    const TFormatSettings& fs = TFormatSettings::Process();
    const int year = DecodeDateTime(Date()).year;
    const struct { const char* field; const char* text; TDateTime value; const char* shown; } good[] = {
        {"D", "15.03", EncodeDateTime(year, 3, 15), nullptr},  // a date without a year: this year's
        {"D", " 5.12.26 ", EncodeDateTime(2026, 12, 5), "05.12.2026"},
        {"T", "18:05", EncodeDateTime(1899, 12, 30, 18, 5), "18:05:00"},
        {"DT", "05.12.2026 18:05:09", EncodeDateTime(2026, 12, 5, 18, 5, 9), "05.12.2026 18:05:09"},
        {"DT", "05.12.2026", EncodeDateTime(2026, 12, 5), "05.12.2026"},
        {"DT", "18:05", EncodeDateTime(1899, 12, 30, 18, 5), nullptr},
        {"DT", "29.12.1899 06:00", -1.25, nullptr},  // before day 0 the time counts away from it too
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        TBufferField& f = t->FieldByName(c.field);
        f.SetText(c.text, fs);
        EXPECT_NEAR(f.AsDateTime(), c.value, 1e-9);
        if (c.shown) {
            EXPECT_EQ(f.GetText(fs), c.shown);
        }
    }
    const struct { const char* field; const char* text; const char* message; } bad[] = {
        {"T", "  ", "'  ' is not a valid time"},  // a blank time text is no time
        {"T", "18", "'18' is not a valid time"},
        {"D", "05.12.2026 x", "'05.12.2026 x' is not a valid date"},
        {"D", "31.02.2026", "'31.02.2026' is not a valid date"},
        {"DT", "05.12.2026 25:00", "'05.12.2026 25:00' is not a valid date and time"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.text);
        ExpectRaises<EConvertError>([&] { t->FieldByName(c.field).SetText(c.text, fs); }, c.message);
    }
    t->FieldByName("D").SetText("", fs);
    EXPECT_TRUE(t->FieldByName("D").IsNull());
}
