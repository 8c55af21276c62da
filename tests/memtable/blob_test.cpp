// Blob values and blob streams.
#include <zlib.h>

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
    t->First();
    EXPECT_EQ(t->FieldByName("DATA").AsString(), big);
    EXPECT_EQ(t->FieldByName("NOTE").AsString(), "memo text");
    t->Next();
    EXPECT_EQ(t->FieldByName("DATA").AsString(), "second");
    EXPECT_TRUE(t->FieldByName("NOTE").IsNull());
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
    auto compress = [](TStream& plain, TStream& packed) {
        plain.SetPosition(0);
        std::string in(static_cast<size_t>(plain.Size()), '\0');
        if (!in.empty()) plain.ReadBuffer(in.data(), static_cast<int64_t>(in.size()));
        uLongf n = compressBound(in.size());
        std::string out(n, '\0');
        ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(in.data()),
                            in.size(), 9), Z_OK);
        uint32_t len = static_cast<uint32_t>(in.size());
        packed.WriteBuffer(&len, 4);
        packed.WriteBuffer(out.data(), static_cast<int64_t>(n));
    };
    int64_t storedSize = -1;
    auto decompress = [&](TStream& packed, TStream& plain) {
        storedSize = packed.Size();
        packed.SetPosition(0);
        uint32_t len;
        packed.ReadBuffer(&len, 4);
        std::string in(static_cast<size_t>(packed.Size() - 4), '\0');
        packed.ReadBuffer(in.data(), static_cast<int64_t>(in.size()));
        std::string out(len, '\0');
        uLongf n = len;
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(in.data()),
                             in.size()), Z_OK);
        plain.WriteBuffer(out.data(), static_cast<int64_t>(n));
    };
    t->OnCompressBlobStream = compress;
    t->OnDecompressBlobStream = decompress;
    std::string value(20000, 'a');
    AppendRow(*t, {Variant(1), Variant(value)});
    EXPECT_EQ(t->FieldByName("DATA").AsString(), value);
    EXPECT_GT(storedSize, 4);
    EXPECT_LT(storedSize, 200);
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

TEST(MemTableBytes, BytesFieldsHoldTheirValuesLikeBlobs) {
    auto t = MakeTable({{"B", TFieldType::ftBytes, 4}, {"VB", TFieldType::ftVarBytes, 8}});
    AppendRow(*t, {Variant(std::string("\x01\x02\x00\x04", 4)), Variant("abc")});
    t->First();
    EXPECT_EQ(t->FieldByName("B").AsString(), std::string("\x01\x02\x00\x04", 4));
    EXPECT_EQ(t->FieldByName("VB").AsString(), "abc");
}

}  // namespace
