// The CSV text form.
#include <algorithm>
#include <random>
#include <thread>

#include "memtable/memtable_csv.h"
#include "memtable_test_util.h"
#include "support/expect_raises.h"
#include "support/temp_dir.h"

namespace {

std::string SaveCsv(TqdCustomMemTable& t, TqdMemTableSaveFlags flags) {
    TMemoryStream s;
    t.SaveToStream(s, flags);
    return s.Bytes();
}

void LoadCsv(TqdCustomMemTable& t, const std::string& text) {
    TMemoryStream s(text);
    t.LoadFromStream(s);
}

std::unique_ptr<TNVMemTable> IdName() {
    auto t = MakeTable({{"ID", TFieldType::ftInteger}, {"NAME", TFieldType::ftString, 10}});
    AppendRow(*t, {Variant(1), Variant("a")});
    AppendRow(*t, {Variant(2), Variant::Null()});
    return t;
}

TEST(MemTableCsv, RecordsWithAndWithoutDefinitionsThatCarryLabelsMaskWidthAndFlags) {
    auto t = IdName();
    EXPECT_EQ(SaveCsv(*t, mtfSaveData),
              "\"ID\",\"NAME\",\r\n"
              "\"1\",\"a\",\r\n"
              "\"2\",\r\n");
    EXPECT_EQ(SaveCsv(*t, mtfSaveData | mtfSaveDef),
              "\"@@TABLEDEF START@@\"\r\n"
              "\"ID=Integer,0,\"\"ID\"\",\"\"\"\",10\"\r\n"
              "\"NAME=String,10,\"\"NAME\"\",\"\"\"\",10\"\r\n"
              "\"@@TABLEDEF END@@\"\r\n"
              "\"ID\",\"NAME\",\r\n"
              "\"1\",\"a\",\r\n"
              "\"2\",\r\n");
    TBufferField& f = t->FieldByName("NAME");
    f.DisplayLabel = "Na\"me, x";
    f.EditMask = "!aaa";
    f.DisplayWidth = 15;
    f.Required = true;
    f.ReadOnly = true;
    std::string text = SaveCsv(*t, mtfSaveData | mtfSaveDef);
    EXPECT_NE(text.find("\"NAME=String,10,\"\"Na\"\"\"\"me, x\"\",\"\"!aaa\"\",15,REQ,RO\"\r\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\"ID\",\"Na\"\"me, x\",\r\n"), std::string::npos);
    // Read back with every property, the read-only field still takes its values.
    TNVMemTable u;
    LoadCsv(u, text);
    EXPECT_EQ(SaveCsv(u, mtfSaveData | mtfSaveDef), text);
}

TEST(MemTableCsv, EscapesAndQuotesRoundTrip) {
    auto t = MakeTable({{"S", TFieldType::ftString, 40}, {"M", TFieldType::ftMemo}});
    std::string memo("line1\r\nline2 100%\0end", 21);
    AppendRow(*t, {Variant("say \"hi\", \r\n ok 5%"), Variant(memo)});
    std::string text = SaveCsv(*t, mtfSaveData | mtfSaveBlobs | mtfSaveDef);
    EXPECT_NE(text.find("\"say \"\"hi\"\", %c%n ok 5%%\",\"line1%c%nline2 100%%%0end\"\r\n"), std::string::npos)
        << text;
    TNVMemTable u;
    LoadCsv(u, text);
    u.First();
    EXPECT_EQ(u.FieldByName("S").AsString(), "say \"hi\", \r\n ok 5%");
    EXPECT_EQ(u.FieldByName("M").AsString(), memo);
    EXPECT_EQ(MemTableCsv::Unescape("%x%"), "%x%");
    EXPECT_EQ(MemTableCsv::SplitCommaText("Integer,0,\"a, b\",\"\",10"), (Strings{"Integer", "0", "a, b", "", "10"}));
    EXPECT_EQ(MemTableCsv::SplitCommaText("a b,"), (Strings{"a", "b", ""}));
}

TEST(MemTableCsv, SixBitText) {
    using MemTableCsv::Decode6Bit;
    using MemTableCsv::Encode6Bit;
    EXPECT_EQ(Encode6Bit("abc"), "A)V8");
    EXPECT_EQ(Encode6Bit(""), "");
    EXPECT_EQ(Encode6Bit("a").size(), 2u);
    EXPECT_EQ(Encode6Bit("ab").size(), 3u);
    std::mt19937 rng(3);
    for (int n = 0; n < 40; ++n) {
        std::string bytes(static_cast<size_t>(n), '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        std::string text = Encode6Bit(bytes);
        EXPECT_EQ(text.size(), static_cast<size_t>((4 * n + 2) / 3));
        EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '_'; }));
        EXPECT_EQ(Decode6Bit(text), bytes);
    }
    auto t = MakeTable({{"B", TFieldType::ftBlob}});
    AppendRow(*t, {Variant("abc")});
    EXPECT_EQ(SaveCsv(*t, mtfSaveBlobs), "\"B\",\r\n\"A)V8\"\r\n");
    // Without the blob flag the field is left out of every record line.
    EXPECT_EQ(SaveCsv(*t, mtfSaveData | mtfSaveNonVisible), "\"B\",\r\n\r\n");
}

TEST(MemTableCsv, NumbersAndDatesInTheNeutralNotationEveryTypeRoundTrips) {
    auto t = MakeTable({{"F", TFieldType::ftFloat}, {"D", TFieldType::ftDate}, {"DT", TFieldType::ftDateTime},
                        {"T", TFieldType::ftTime}, {"B", TFieldType::ftBoolean}, {"C", TFieldType::ftCurrency}});
    AppendRow(*t, {Variant(1234.5), Variant::FromDate(EncodeDateTime(2023, 12, 31)),
                   Variant::FromDate(EncodeDateTime(2024, 1, 2, 10, 20, 30)),
                   Variant::FromDate(EncodeDateTime(1899, 12, 30, 8, 5, 0)), Variant(false), Variant(2.5)});
    EXPECT_EQ(SaveCsv(*t, mtfSaveData),
              "\"F\",\"D\",\"DT\",\"T\",\"B\",\"C\",\r\n"
              "\"1234.5\",\"31/12/2023\",\"02/01/2024 10:20:30\",\"08:05:00\",\"False\",\"2.5\"\r\n");
    EXPECT_EQ(SaveCsv(*t, mtfSaveData | mtfSaveInLocalFormat),
              "\"F\",\"D\",\"DT\",\"T\",\"B\",\"C\",\r\n"
              "\"1234.5\",\"31.12.2023\",\"02.01.2024 10:20:30\",\"08:05:00\",\"False\",\"2.5\"\r\n");
    // The notation goes with each save, not process-wide: two tables saved at once each keep their own.
    TNVMemTable copy;
    copy.LoadFromDataSet(t.get(), mtcpoStructure);
    const std::string neutral = SaveCsv(*t, mtfSaveData), local = SaveCsv(copy, mtfSaveData | mtfSaveInLocalFormat);
    bool sameNeutral = true, sameLocal = true;
    std::thread other([&] {
        for (int i = 0; i < 200; ++i)
            sameLocal = sameLocal && SaveCsv(copy, mtfSaveData | mtfSaveInLocalFormat) == local;
    });
    for (int i = 0; i < 200; ++i) sameNeutral = sameNeutral && SaveCsv(*t, mtfSaveData) == neutral;
    other.join();
    EXPECT_TRUE(sameNeutral && sameLocal);
    // Read back in the neutral notation.
    TNVMemTable u;
    LoadCsv(u, SaveCsv(*t, mtfSaveData | mtfSaveDef));
    EXPECT_EQ(Rows(u), "1234.5|31.12.2023|02.01.2024 10:20:30|08:05:00|False|2.5");
    t = MakeTable({{"SI", TFieldType::ftSmallint}, {"I", TFieldType::ftInteger}, {"W", TFieldType::ftWord},
                        {"A", TFieldType::ftAutoInc}, {"L", TFieldType::ftLargeint}, {"BCD", TFieldType::ftBCD, 4},
                        {"FC", TFieldType::ftFixedChar, 3}, {"WS", TFieldType::ftWideString, 6},
                        {"G", TFieldType::ftGraphic}, {"VB", TFieldType::ftVarBytes, 10}});
    AppendRow(*t, {Variant(-5), Variant(7), Variant(65535), Variant(3), Variant(INT64_C(-1234567890123)),
                   Variant(Currency::FromString("-0.0125")), Variant("xyz"), Variant("wide"),
                   Variant(std::string("\xFF\x00\x01", 3)), Variant("vb")});
    std::string text = SaveCsv(*t, mtfSaveData | mtfSaveDef | mtfSaveBlobs);
    TNVMemTable w;
    LoadCsv(w, text);
    EXPECT_EQ(SaveCsv(w, mtfSaveData | mtfSaveDef | mtfSaveBlobs), text);
    EXPECT_EQ(Rows(w), "-5|7|65535|3|-1234567890123|-0.0125|xyz|wide|" + std::string("\xFF\x00\x01", 3) + "|vb");
}

TEST(MemTableCsv, LoadingIntoAnOpenTable) {
    auto t = IdName();
    LoadCsv(*t, "");
    EXPECT_EQ(t->RecordCount(), 2);
    LoadCsv(*t, "\"ID\",\"NAME\",\r\n");
    EXPECT_EQ(t->RecordCount(), 2);
    // Without definitions the records are appended to the open table.
    LoadCsv(*t, "\"ID\",\"NAME\",\r\n\"3\",\"c\",\r\n\"4\"");
    EXPECT_EQ(Rows(*t), "1|a; 2|<null>; 3|c; 4|<null>");
    // A text that begins with a line break ends at once.
    LoadCsv(*t, "\r\n\"ID\",\r\n\"9\"");
    EXPECT_EQ(t->RecordCount(), 4);
    // Characters before a value's opening quote are skipped; an unterminated value ends with its line.
    LoadCsv(*t, "\"ID\",\"NAME\",\r\nx\"5\",\"e\"\"f\",\r\n\"6\",\"unterm");
    EXPECT_EQ(Rows(*t), "1|a; 2|<null>; 3|c; 4|<null>; 5|e\"f; 6|unterm");
    // A definition block replaces the structure.
    LoadCsv(*t,
            "\"@@TABLEDEF START@@\"\r\n"
            "\"Q=String,3,\"\"Q\"\",\"\"\"\",3\"\r\n"
            "\"@@TABLEDEF END@@\"\r\n"
            "\"Q\",\r\n"
            "\"abc\",\r\n"
            "\"de\"\r\n");
    EXPECT_EQ(t->FieldCount(), 1);
    EXPECT_EQ(Column(*t, "Q"), (Strings{"abc", "de"}));
}

TEST(MemTableCsv, LineSeparatorsAndChunkBoundaries) {
    auto t = MakeTable({{"S", TFieldType::ftString, 100}});
    std::string text = "\"S\",\n";
    for (int i = 0; i < 300; ++i) {
        text += "\"" + std::string(50, static_cast<char>('a' + i % 26)) + "\",";
        text += i % 3 == 0 ? "\r\n" : (i % 3 == 1 ? "\n\r\n" : std::string("\0\r", 2));
    }
    LoadCsv(*t, text);
    EXPECT_EQ(t->RecordCount(), 300);
    t->Last();
    EXPECT_EQ(t->FieldByName("S").AsString(), std::string(50, static_cast<char>('a' + 299 % 26)));
}

TEST(MemTableCsv, InvisibleFieldsSkipRestAndDefinitionErrors) {
    TNVMemTable t;
    LoadCsv(t,
            "\"@@TABLEDEF START@@\"\r\n"
            "\"A=Integer,0,\"\"A\"\",\"\"\"\",10,INV\"\r\n"
            "\"B=Integer,0,\"\"B\"\",\"\"\"\",10\"\r\n"
            "\"@@TABLEDEF END@@\"\r\n"
            "\"A\",\"B\",\r\n"
            "\"1\",\"2\"\r\n");
    EXPECT_FALSE(t.FieldByName("A").Visible);
    // The writer never writes INV; an unsaved field still gets its comma.
    EXPECT_EQ(SaveCsv(t, mtfSaveData | mtfSaveDef),
              "\"@@TABLEDEF START@@\"\r\n"
              "\"A=Integer,0,\"\"A\"\",\"\"\"\",10\"\r\n"
              "\"B=Integer,0,\"\"B\"\",\"\"\"\",10\"\r\n"
              "\"@@TABLEDEF END@@\"\r\n"
              "\"A\",\"B\",\r\n"
              ",\"2\"\r\n");
    std::string skipped = SaveCsv(t, mtfSaveData | mtfSkipRest);
    EXPECT_EQ(skipped, "\"B\",\r\n\"2\"\r\n");
    // Read back by position, the value of B lands in A.
    t.EmptyTable();
    LoadCsv(t, skipped);
    EXPECT_EQ(Rows(t), "2|<null>");
    TNVMemTable bad;
    ExpectRaises<EMemTableError>(
        [&] { LoadCsv(bad, "\"@@TABLEDEF START@@\"\r\n\"X=Variant,0,\"\"X\"\",\"\"\"\",10\"\r\n"); },
        "Unbekannter Feldtyp (Variant) in der CSV Datei. (X=Variant,0,\"X\",\"\",10)");
    EXPECT_THROW(LoadCsv(bad, "\"@@TABLEDEF START@@\"\r\n\"X=Integer,zero,\"\"X\"\",\"\"\"\",10\"\r\n"),
                 EConvertError);
    EXPECT_THROW(LoadCsv(bad, "\"@@TABLEDEF START@@\"\r\n\"X=Integer\"\r\n"), EListError);
    TNVMemTable closed;
    EXPECT_THROW(LoadCsv(closed, "\"ID\",\r\n\"1\"\r\n"), EDatabaseError);
    EXPECT_FALSE(closed.ControlsDisabled());
}

// A calculated field is saved, with the value computed for each record, only with its flag; in both forms.
TEST(MemTableCsv, CalculatedFieldsAreSavedOnlyWithTheirFlag) {
    TNVMemTable t;
    OpenSquaresTable(t, 2, 3);
    const struct { TqdMemTableSaveFlags flags; const char* csv; } cases[] = {
        {mtfSaveData | mtfSaveCalculated, "\"V\",\"SQ\",\r\n\"2\",\"4\",\r\n\"3\",\"9\"\r\n"},
        {mtfSaveData, "\"V\",\"SQ\",\r\n\"2\",,\r\n\"3\",\r\n"},
        {mtfSaveData | mtfSkipRest, "\"V\",\r\n\"2\",\r\n\"3\"\r\n"},
        {mtfSaveCalculated | mtfSkipRest, "\"SQ\",\r\n\"4\",\r\n\"9\"\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(SaveCsv(t, c.flags), c.csv) << c.flags;
    // The binary form takes the computed values with the flag and leaves the field out without it.
    for (TqdMemTableSaveFlags flags : {mtfSaveData | mtfSaveDef | mtfSaveCalculated, mtfSaveData | mtfSaveDef}) {
        TMemoryStream bytes;
        t.SaveToBinaryStream(bytes, flags);
        bytes.SetPosition(0);
        TNVMemTable back;
        back.LoadFromBinaryStream(bytes);
        EXPECT_EQ(Rows(back), (flags & mtfSaveCalculated) ? "2|4; 3|9" : "2; 3");
    }
}

TEST(MemTableCsv, FilterPositionAndSaveEvents) {
    auto t = MakeTable({{"V", TFieldType::ftInteger}});
    for (int i = 1; i <= 4; ++i) AppendRow(*t, {Variant(i)});
    t->OnFilterRecord = [](TBufferedDataSet& ds, bool& accept) { accept = ds.FieldByName("V").AsInteger() > 2; };
    t->SetFiltered(true);
    t->Last();
    EXPECT_EQ(SaveCsv(*t, mtfSaveData), "\"V\",\r\n\"3\",\r\n\"4\"\r\n");
    EXPECT_EQ(SaveCsv(*t, mtfSaveData | mtfSaveFiltered), "\"V\",\r\n\"1\",\r\n\"2\",\r\n\"3\",\r\n\"4\"\r\n");
    EXPECT_TRUE(t->Filtered());
    EXPECT_EQ(t->FieldByName("V").AsInteger(), 4);
    t->SetFiltered(false);
    // A rejected last record leaves the comma of the line before it.
    t->OnSaveRecord = [](TqdCustomMemTable& ds, bool& accept) { accept = ds.FieldByName("V").AsInteger() != 4; };
    std::vector<int> fieldCalls;
    t->OnSaveField = [&](TqdCustomMemTable&, int i, TBufferField&) { fieldCalls.push_back(i); };
    EXPECT_EQ(SaveCsv(*t, mtfSaveData), "\"V\",\r\n\"1\",\r\n\"2\",\r\n\"3\",\r\n");
    EXPECT_EQ(fieldCalls.size(), 3u);
}

TEST(MemTableCsv, FilesCompressEventsWrapTheTextLoadEventsDecideAndAdjust) {
    auto reversed = [](TStream& from, TStream& to) {
        std::string s = Contents(from);
        std::reverse(s.begin(), s.end());
        to.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
    };
    TempDir dir;
    auto t = IdName();
    std::vector<TqdMemTableStorageType> seen;
    t->OnSave = [&](TqdCustomMemTable&, TqdMemTableStorageType st, TStream* s) {
        seen.push_back(st);
        EXPECT_NE(s, nullptr);
    };
    t->OnCompressSave = reversed;
    t->SaveToFile(dir.File("t.csv"), mtfSaveData | mtfSaveDef);
    const std::string packed = TempDir::Read(dir.File("t.csv"));
    EXPECT_EQ(packed, SaveCsv(*t, mtfSaveData | mtfSaveDef));
    EXPECT_EQ(packed.substr(0, 2), "\n\r");
    TNVMemTable u;
    u.OnLoad = [&](TqdCustomMemTable&, TqdMemTableStorageType st, TStream*) { seen.push_back(st); };
    u.OnDecompressLoad = reversed;
    u.OnLoadField = [](TqdCustomMemTable&, int i, TBufferField& f) {
        if (i == 0) f.SetAsInteger(f.AsInteger() * 10);
    };
    u.OnLoadRecord = [](TqdCustomMemTable& ds, bool& accept) { accept = ds.FieldByName("ID").AsInteger() != 20; };
    u.LoadFromFile(dir.File("t.csv"));
    EXPECT_EQ(Rows(u), "10|a");
    EXPECT_EQ(seen, (std::vector<TqdMemTableStorageType>{TqdMemTableStorageType::mtstFile,
                                                          TqdMemTableStorageType::mtstFile}));
    EXPECT_THROW(u.LoadFromFile(dir.File("missing.csv")), EInOutError);
}

}  // namespace
