// Byte-level pieces shared by the protocol's two tagged-value formats, the
// component stream (component_stream.h) and the catalogue objects' tagged
// values (nv_stream_utils.h). Both write numbers little-endian, and both
// encode integers, strings and extended floats alike: the same tags, the
// same widths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

template <typename T>
inline void PutLE(uint8_t* out, T v) {
    using U = std::make_unsigned_t<T>;
    U u = static_cast<U>(v);
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
}

template <typename T>
inline T GetLE(const uint8_t* in) {
    using U = std::make_unsigned_t<T>;
    U u = 0;
    for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<U>(static_cast<U>(in[i]) << (8 * i));
    return static_cast<T>(u);
}

// Room for the longest encodings below.
constexpr size_t kMaxIntegerValueSize = 9;
constexpr size_t kMaxStringHeadSize = 5;
constexpr size_t kExtendedValueSize = 11;

// The smallest integer form of v: tag 2 (8-bit), 3 (16-bit), 4 (32-bit) or
// 19 (64-bit) and the number; returns the bytes written.
size_t EncodeIntegerValue(int64_t v, uint8_t* out);
// The head of a string value of `size` bytes: tag 6 and a length byte up to
// 255 bytes, else tag 12 and a 4-byte length; returns the bytes written.
// Raises ERangeError above 2 GiB - 1.
size_t EncodeStringHead(size_t size, uint8_t* out);
// Tag 5 and the 80-bit extended form of v (kExtendedValueSize bytes).
void EncodeExtendedValue(double v, uint8_t* out);

// A tag and a fixed-size number after it; returns the bytes written.
template <typename T>
inline size_t EncodeTaggedNumber(uint8_t tag, T v, uint8_t* out) {
    out[0] = tag;
    PutLE(out + 1, v);
    return 1 + sizeof(T);
}
