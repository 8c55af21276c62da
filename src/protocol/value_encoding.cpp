#include "protocol/value_encoding.h"

#include <cstring>
#include <limits>

#include "core/exceptions.h"
#include "protocol/component_stream.h"
#include "protocol/extended80.h"
#include "protocol/nv_stream_utils.h"

// The encodings below serve both formats only while their tags agree.
namespace {
constexpr bool SameTag(uint8_t a, uint8_t b) { return a == b; }
}  // namespace
static_assert(SameTag(cvInt8, nvtInt8) && SameTag(cvInt16, nvtInt16) && SameTag(cvInt32, nvtInt32) &&
              SameTag(cvInt64, nvtInt64));
static_assert(SameTag(cvString, nvtString) && SameTag(cvLString, nvtLString) && SameTag(cvExtended, nvtExtended));

size_t EncodeIntegerValue(int64_t v, uint8_t* out) {
    if (v >= -128 && v <= 127) {
        out[0] = nvtInt8;
        out[1] = static_cast<uint8_t>(static_cast<int8_t>(v));
        return 2;
    }
    if (v >= -32768 && v <= 32767) return EncodeTaggedNumber(nvtInt16, static_cast<int16_t>(v), out);
    if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())
        return EncodeTaggedNumber(nvtInt32, static_cast<int32_t>(v), out);
    return EncodeTaggedNumber(nvtInt64, v, out);
}

size_t EncodeStringHead(size_t size, uint8_t* out) {
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) throw ERangeError("Range check error");
    if (size <= 255) {
        out[0] = nvtString;
        out[1] = static_cast<uint8_t>(size);
        return 2;
    }
    return EncodeTaggedNumber(nvtLString, static_cast<int32_t>(size), out);
}

void EncodeExtendedValue(double v, uint8_t* out) {
    out[0] = nvtExtended;
    const TExtended80 e = DoubleToExtended80(v);
    static_assert(sizeof(e) + 1 == kExtendedValueSize);
    std::memcpy(out + 1, e.data(), e.size());
}
