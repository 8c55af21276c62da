// Fuzz target: the compressed-stream reader. Decompression either fails with
// its exceptions or produces exactly the counted bytes, which compress and
// decompress back to themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "protocol/compressed_stream.h"
#include "protocol/nv_stream_utils.h"

namespace {
// Small enough to keep every run fast.
constexpr int64_t kLimit = 1 << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        TMemoryStream src(bytes), dst;
        DecompressStream(src, dst, kLimit);
        const int32_t count = static_cast<int32_t>(static_cast<uint32_t>(data[0]) |
                                                   (static_cast<uint32_t>(data[1]) << 8) |
                                                   (static_cast<uint32_t>(data[2]) << 16) |
                                                   (static_cast<uint32_t>(data[3]) << 24));
        if (dst.Size() != count) __builtin_trap();
        TMemoryStream again, back;
        dst.SetPosition(0);
        CompressStream(dst, again);
        again.SetPosition(0);
        DecompressStream(again, back, kLimit);
        if (back.Bytes() != dst.Bytes()) __builtin_trap();
    } catch (const EDecompressionError&) {
    } catch (const EReadError&) {
    }
    // The same bytes as a customer-information block (a tagged string around
    // a compressed string list).
    try {
        TMemoryStream block(bytes);
        std::vector<std::string> lines;
        LoadStringsCompressed(lines, block);
    } catch (const EDecompressionError&) {
    } catch (const EReadError&) {
    } catch (const EInvalidValue&) {
    }
    return 0;
}
