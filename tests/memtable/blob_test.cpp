// Blob values and blob streams.
#include <algorithm>

#include "memtable_test_util.h"
#include "support/expect_raises.h"

namespace {

class MemTableBlob : public ::testing::Test {
protected:
    void SetUp() override {
        t = MakeTable({{"ID", TFieldType::ftInteger}, {"DATA", TFieldType::ftBlob}, {"NOTE", TFieldType::ftMemo}});
    }
    std::string Read(const char* field) {
        auto s = t->CreateBlobStream(t->FieldByName(field), TBlobStreamMode::bmRead);
        return s->Bytes();
    }
    std::unique_ptr<TNVMemTable> t;
};

TEST_F(MemTableBlob, ValuesLiveOutsideTheRecordAnEmptyOneIsNullOfSizeZero) {
    std::string big(100000, 'x');
    big[5] = '\0';
    AppendRow(*t, {Variant(1), Variant(big), Variant("memo text")});
    AppendRow(*t, {Variant(2), Variant("second"), Variant::Null()});
    EXPECT_EQ(Rows(*t), "1|" + big + "|memo text; 2|second|<null>");
    auto typed = MakeTable({{"B", TFieldType::ftTypedBinary}});  // a blob too
    AppendRow(*typed, {Variant(big)});
    EXPECT_EQ(typed->FieldByName("B").AsString(), big);
    t->Delete();
    EXPECT_EQ(t->RecordCount(), 1);
    EXPECT_EQ(t->FieldByName("DATA").AsString(), big);
    t->Append();
    {
        auto s = t->CreateBlobStream(t->FieldByName("DATA"), TBlobStreamMode::bmWrite);
        s->Close();
    }
    t->Post();
    EXPECT_TRUE(t->FieldByName("DATA").IsNull());
    // A blob object exists: the decompress event sees its (empty) bytes.
    int calls = 0;
    int64_t seenSize = -1;
    t->OnDecompressBlobStream = [&](TStream& compressed, TStream&) {
        ++calls;
        seenSize = compressed.Size();
    };
    EXPECT_EQ(Read("DATA"), "");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seenSize, 0);
    // A field never written has no blob at all.
    EXPECT_EQ(Read("NOTE"), "");
    EXPECT_EQ(calls, 1);
    // Byte fields hold their values like blobs.
    auto b = MakeTable({{"B", TFieldType::ftBytes, 4}, {"VB", TFieldType::ftVarBytes, 8}});
    AppendRow(*b, {Variant(std::string("\x01\x02\x00\x04", 4)), Variant("abc")});
    EXPECT_EQ(Rows(*b), std::string("\x01\x02\x00\x04", 4) + "|abc");
}

TEST_F(MemTableBlob, StreamsByModeAndState) {
    AppendRow(*t, {Variant(1), Variant("old")});
    // Writing needs edit mode and a writable field.
    ExpectRaises<EDatabaseError>([&] { t->CreateBlobStream(t->FieldByName("DATA"), TBlobStreamMode::bmWrite); },
        "Datensatz nicht im Editiermodus.");
    EXPECT_THROW(t->CreateBlobStream(t->FieldByName("DATA"), TBlobStreamMode::bmReadWrite), EDatabaseError);
    EXPECT_EQ(Read("DATA"), "old");
    EXPECT_THROW(t->CreateBlobStream(t->FieldByName("ID"), TBlobStreamMode::bmRead), EInvalidCast);
    t->Edit();
    t->FieldByName("DATA").ReadOnly = true;
    ExpectRaises<EDatabaseError>([&] { t->CreateBlobStream(t->FieldByName("DATA"), TBlobStreamMode::bmWrite); },
        "Feld DATA ist als schreibgesch\xFCtzt markiert");
    t->FieldByName("DATA").ReadOnly = false;
    // A read-write stream reads the value and changes nothing.
    {
        auto s = t->CreateBlobStream(t->FieldByName("DATA"), TBlobStreamMode::bmReadWrite);
        EXPECT_EQ(s->Bytes(), "old");
        s->WriteBuffer("new!", 4);
    }
    t->Post();
    EXPECT_EQ(t->FieldByName("DATA").AsString(), "old");
    // A new record reads empty.
    t->Append();
    EXPECT_EQ(Read("DATA"), "");
    EXPECT_TRUE(t->FieldByName("DATA").IsNull());
    t->Cancel();
}

TEST_F(MemTableBlob, CancelledEditsAndInsertsAndClosedTables) {
    AppendRow(*t, {Variant(1), Variant("old")});
    t->Edit();
    t->FieldByName("DATA").SetAsString("first replacement");
    t->FieldByName("DATA").SetAsString("second replacement");
    EXPECT_EQ(t->FieldByName("DATA").AsString(), "second replacement");
    t->Cancel();
    EXPECT_EQ(t->FieldByName("DATA").AsString(), "old");
    t->Edit();
    t->FieldByName("DATA").SetAsString("kept");
    t->Post();
    EXPECT_EQ(t->FieldByName("DATA").AsString(), "kept");
    t->Edit();
    t->FieldByName("DATA").Clear();
    t->Post();
    EXPECT_TRUE(t->FieldByName("DATA").IsNull());
    t->Append();
    t->FieldByName("DATA").SetAsString(std::string(5000, 'q'));
    t->Cancel();
    t->Append();
    t->FieldByName("NOTE").SetAsString("edit in progress");
    t->Close();  // an unfinished insert with a blob
    t->Open();
    EXPECT_EQ(t->RecordCount(), 0);
    AppendRow(*t, {Variant(1), Variant("x")});
    t->EmptyTable();
    EXPECT_EQ(t->RecordCount(), 0);
}

TEST_F(MemTableBlob, CompressEventsKeepTheStoredFormCompressedStoredOnceHoweverOftenClosed) {
    // The stored form: a marker, then the plain bytes reversed.
    t->OnCompressBlobStream = [](TStream& plain, TStream& packed) {
        std::string s = Contents(plain);
        s = "Z" + std::string(s.rbegin(), s.rend());
        packed.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
    };
    std::string stored;
    t->OnDecompressBlobStream = [&](TStream& packed, TStream& plain) {
        stored = Contents(packed);
        const std::string s(stored.rbegin(), stored.rend() - 1);  // without the marker
        plain.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
    };
    AppendRow(*t, {Variant(1), Variant("abc")});
    EXPECT_EQ(t->FieldByName("DATA").AsString(), "abc");
    EXPECT_EQ(stored, "Zcba");
    AppendRow(*t, {Variant(1), Variant("old"), Variant::Null()});
    t->Edit();
    auto s = t->CreateBlobStream(t->FieldByName("DATA"), TBlobStreamMode::bmWrite);
    s->Write("new", 3);
    s->Close();
    EXPECT_EQ(t->FieldByName("DATA").AsString(), "new");
    // A value set after the first close survives the stream's later closes.
    t->FieldByName("DATA").SetAsString("later");
    s->Write("!", 1);
    s->Close();
    s.reset();
    t->Post();
    EXPECT_EQ(t->FieldByName("DATA").AsString(), "later");
}

}  // namespace
