#include "core/stream.h"

#include <gtest/gtest.h>

namespace {

TEST(Stream, CopyFromTakesExactlyTheCountAcrossItsBufferAndAllFromTheStartForZero) {
    std::string bytes;
    for (int i = 0; i < 65536 + 3; ++i) bytes += static_cast<char>('a' + i % 23);
    // Counts around the copy's buffer of 64 KiB: one byte, a whole buffer, one past it.
    for (int64_t count : {int64_t{1}, int64_t{2}, int64_t{65536}, int64_t{65537}}) {
        TMemoryStream source(bytes), target;
        EXPECT_EQ(target.CopyFrom(source, count), count);
        EXPECT_EQ(target.Bytes(), bytes.substr(0, static_cast<size_t>(count))) << count;
        EXPECT_EQ(source.Position(), count);
    }
    TMemoryStream source(bytes), target;
    source.SetPosition(5);
    EXPECT_EQ(target.CopyFrom(source, 0), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(target.Bytes(), bytes);
}

}  // namespace
