#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <thread>
#include <vector>

#include "core/cp1251.h"
#include "core/exceptions.h"
#include "protocol/compressed_stream.h"
#include "protocol/nv_stream_utils.h"
#include "test_bytes.h"

namespace {

std::string Compressed(const std::string& plain) {
    TMemoryStream src(plain), dst;
    CompressStream(src, dst);
    return dst.Bytes();
}

std::string Decompressed(const std::string& packed) {
    TMemoryStream src(packed), dst;
    DecompressStream(src, dst);
    return dst.Bytes();
}

// A count and a zlib stream made by hand (to build damaged inputs).
std::string Framed(int32_t count, const std::string& zdata) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(static_cast<uint32_t>(count) >> (8 * i));
    return s + zdata;
}

std::string Zlib(const std::string& plain) {
    uLongf n = compressBound(plain.size());
    std::string out(n, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 9);
    out.resize(n);
    return out;
}

void ExpectDecompressionError(const std::string& packed) {
    TMemoryStream src(packed), dst;
    EXPECT_THROW(DecompressStream(src, dst), EDecompressionError) << Hex(packed.substr(0, 16));
}

std::string Sample(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    for (size_t i = 0; i < size; ++i) s += static_cast<char>('a' + rng() % 11);
    return s;
}

// A source that fails after its first chunk.
class TBrokenStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    int64_t Read(void* buffer, int64_t count) override {
        if (Position() > 0) throw EReadError("broken source");
        return TMemoryStream::Read(buffer, count);
    }
};

// A source that claims a size it does not hold.
class TClaimedSizeStream : public TMemoryStream {
public:
    explicit TClaimedSizeStream(int64_t claimed) : claimed_(claimed) {}
    int64_t Size() const override { return claimed_; }
    int64_t Read(void*, int64_t) override { return 0; }

private:
    int64_t claimed_;
};

// Every stream must be the zlib stream of its own source alone, whatever came before it.
void ExpectOwnStream(const std::string& plain) {
    EXPECT_EQ(Compressed(plain).substr(4), Zlib(plain)) << plain.size() << " bytes";
}

}  // namespace

TEST(CompressedStream, IsTheZlibStreamOfTheWholeSourceAtLevel9EvenWhenEmpty) {
    std::string plain;
    std::mt19937 rng(1);
    for (int i = 0; i < 300000; ++i) plain += static_cast<char>('a' + rng() % 7);
    const std::string packed = Compressed(plain);
    EXPECT_EQ(packed.substr(0, 4), Framed(static_cast<int32_t>(plain.size()), ""));
    EXPECT_EQ(packed.substr(4), Zlib(plain));
    EXPECT_EQ(Decompressed(packed), plain);
    const std::string empty = Compressed("");
    EXPECT_EQ(Hex(empty.substr(0, 6)), "00 00 00 00 78 DA");   // count 0, zlib header of level 9
    EXPECT_EQ(empty.substr(4), Zlib(""));
    EXPECT_EQ(Decompressed(empty), "");
}

TEST(CompressedStream, PositionsOfSourceAndDestination) {
    TMemoryStream src(std::string("abcdef")), dst(std::string("XY"));
    dst.SetPosition(2);
    CompressStream(src, dst);
    EXPECT_EQ(dst.Bytes().substr(0, 6), std::string("XY") + Framed(6, ""));
    dst.SetPosition(2);
    TMemoryStream out;
    DecompressStream(dst, out);
    EXPECT_EQ(out.Bytes(), "abcdef");
    // A source that is not at its start cannot deliver its whole size.
    TMemoryStream moved(std::string("abcdef")), sink;
    moved.SetPosition(3);
    EXPECT_THROW(CompressStream(moved, sink), EReadError);
    // The count holds up to 2 GiB - 1 bytes: a larger source is refused before
    // anything is written; the largest is counted (and then fails to deliver).
    for (int64_t claimed : {int64_t{INT32_MAX}, int64_t{INT32_MAX} + 1}) {
        TClaimedSizeStream huge(claimed);
        TMemoryStream out;
        if (claimed > INT32_MAX) {
            EXPECT_THROW(CompressStream(huge, out), ERangeError);
            EXPECT_EQ(out.Size(), 0);
        } else {
            EXPECT_THROW(CompressStream(huge, out), EReadError);
            EXPECT_EQ(Hex(out.Bytes().substr(0, 4)), "FF FF FF 7F");
        }
    }
    // Decompression stops after the counted stream.
    const std::string first = Compressed("first"), second = Compressed("second");
    TMemoryStream both(first + second), one, two;
    DecompressStream(both, one);
    EXPECT_EQ(one.Bytes(), "first");
    EXPECT_EQ(both.Position(), static_cast<int64_t>(first.size()));
    DecompressStream(both, two);
    EXPECT_EQ(two.Bytes(), "second");
}

TEST(CompressedStream, RefusesBadCountsDamagedDataAndBombs) {
    const std::string z = Zlib("hello world");
    EXPECT_EQ(Decompressed(Framed(11, z)), "hello world");
    ExpectDecompressionError(Framed(-1, z));                  // negative count
    ExpectDecompressionError(Framed(0x7FFFFFFF, z));          // above the limit
    ExpectDecompressionError(Framed(12, z));                  // stream ends before the count
    ExpectDecompressionError(Framed(10, z));                  // stream goes on after the count
    ExpectDecompressionError(Framed(11, z.substr(0, z.size() - 3)));   // truncated
    std::string bad = z;
    bad[0] = 0x12;                                            // not a zlib header
    ExpectDecompressionError(Framed(11, bad));
    std::string sum = z;
    sum[sum.size() - 1] ^= 1;                                 // Adler-32 mismatch
    ExpectDecompressionError(Framed(11, sum));
    ExpectDecompressionError(Framed(11, ""));
    TMemoryStream shortCount(B({1, 0})), dst;
    EXPECT_THROW(DecompressStream(shortCount, dst), EReadError);
    // The limit is the caller's to choose.
    TMemoryStream src(Framed(11, z)), out;
    EXPECT_THROW(DecompressStream(src, out, 10), EDecompressionError);
    // 32 MiB of zeros claimed as 1 MiB: inflation stops at the count, without producing the rest.
    const std::string bomb = Zlib(std::string(32 << 20, '\0'));
    TMemoryStream bombed(Framed(1 << 20, bomb)), inflated;
    EXPECT_THROW(DecompressStream(bombed, inflated), EDecompressionError);
    EXPECT_LE(inflated.Size(), 1 << 20);
}

TEST(CompressedStream, StringsAndStringLists) {
    const std::string packed = CompressString("abc");
    EXPECT_EQ(Hex(packed.substr(0, 4)), "05 00 00 00");
    EXPECT_EQ(packed.substr(4), Zlib(B({6, 3, 'a', 'b', 'c'})));
    EXPECT_EQ(DecompressString(packed), "abc");
    const std::string longText(1000, 'z');
    EXPECT_EQ(Hex(CompressString(longText).substr(0, 4)), "ED 03 00 00");   // 5 + 1000 bytes
    EXPECT_EQ(DecompressString(CompressString(longText)), longText);
    // The compressed content must be a tagged string.
    TMemoryStream plain(B({2, 1})), packedInt;
    CompressStream(plain, packedInt);
    EXPECT_THROW(DecompressString(packedInt.Bytes()), EInvalidValue);
    TMemoryStream ms(std::string("old content that goes away"));
    ms.SetPosition(5);
    const std::vector<std::string> lines = {"CustomerCode=12", Cp(u8"Password=тайна"), "", "x=y=z"};
    SaveStringsCompressed(ms, lines);
    EXPECT_EQ(ms.Position(), 0);
    // One tagged string whose content is the compressed string of the text.
    TNVBinReader r(&ms);
    EXPECT_EQ(DecompressString(r.ReadString()), StringsToText(lines));
    EXPECT_EQ(ms.Remaining(), 0);
    EXPECT_EQ(StringsToText(lines), "CustomerCode=12\r\n" + Cp(u8"Password=тайна") + "\r\n\r\nx=y=z\r\n");

    std::vector<std::string> back = {"stale"};
    ms.SetPosition(7);
    LoadStringsCompressed(back, ms);
    EXPECT_EQ(back, lines);

    TMemoryStream empty;
    SaveStringsCompressed(empty, {});
    std::vector<std::string> none = {"stale"};
    LoadStringsCompressed(none, empty);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(TextToStrings("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(TextToStrings("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
    EXPECT_TRUE(TextToStrings("").empty());
}

// Compressors are kept from one stream to the next, and shared between threads.
TEST(CompressedStream, EachStreamIsItsOwnAfterLargerSmallerAndBrokenOnesAndAtTheSameTime) {
    TBrokenStream broken(Sample(200000, 9));
    TMemoryStream dst;
    EXPECT_ANY_THROW(CompressStream(broken, dst));
    for (size_t size : {300000u, 0u, 17u, 70000u, 1u, 65536u}) ExpectOwnStream(Sample(size, static_cast<unsigned>(size)));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (unsigned i = 0; i < 20; ++i) ExpectOwnStream(Sample(100 + (t * 7919 + i * 104729) % 90000, t * 100 + i));
        });
    for (auto& th : threads) th.join();
}
