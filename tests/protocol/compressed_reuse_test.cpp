// Compressors are kept from one stream to the next: every stream must still
// be the zlib stream of its own source alone, whatever came before it.
#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <thread>
#include <vector>

#include "core/exceptions.h"
#include "protocol/compressed_stream.h"

namespace {

std::string Zlib(const std::string& plain) {
    uLongf n = compressBound(plain.size());
    std::string out(n, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 9);
    out.resize(n);
    return out;
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

void ExpectOwnStream(const std::string& plain) {
    TMemoryStream src(plain), dst;
    CompressStream(src, dst);
    EXPECT_EQ(dst.Bytes().substr(4), Zlib(plain)) << plain.size() << " bytes";
}

TEST(CompressedReuse, EachStreamIsItsOwnAfterLargerSmallerAndBrokenOnes) {
    {
        TBrokenStream broken(Sample(200000, 9));
        TMemoryStream dst;
        EXPECT_ANY_THROW(CompressStream(broken, dst));
    }
    for (size_t size : {300000u, 0u, 17u, 70000u, 1u, 65536u}) ExpectOwnStream(Sample(size, static_cast<unsigned>(size)));
}

TEST(CompressedReuse, StreamsCompressedAtTheSameTime) {
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (unsigned i = 0; i < 20; ++i) ExpectOwnStream(Sample(100 + (t * 7919 + i * 104729) % 90000, t * 100 + i));
        });
    for (auto& th : threads) th.join();
}

}  // namespace
