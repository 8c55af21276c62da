#include "memtable/value_filer.h"

#include <cmath>
#include <cstring>

#include "core/exceptions.h"

namespace {

[[noreturn]] void ReadFail() { throw EReadError("Stream read error"); }
[[noreturn]] void PropValueError() { throw EReadError("Invalid property value"); }

}  // namespace

void DoubleToExtended(double value, uint8_t out[10]) {
    uint64_t mant = 0;
    uint16_t se = std::signbit(value) ? 0x8000 : 0;
    if (std::isnan(value)) {
        se |= 0x7FFF;
        mant = 0xC000000000000000ull;
    } else if (std::isinf(value)) {
        se |= 0x7FFF;
        mant = 0x8000000000000000ull;
    } else if (value != 0) {
        int e = 0;
        double m = std::frexp(std::fabs(value), &e);  // m in [0.5, 1)
        mant = static_cast<uint64_t>(std::ldexp(m, 64));
        se |= static_cast<uint16_t>(e - 1 + 16383);
    }
    std::memcpy(out, &mant, 8);
    std::memcpy(out + 8, &se, 2);
}

double ExtendedToDouble(const uint8_t in[10]) {
    uint64_t mant;
    uint16_t se;
    std::memcpy(&mant, in, 8);
    std::memcpy(&se, in + 8, 2);
    bool neg = se & 0x8000;
    int exp = se & 0x7FFF;
    double v;
    if (exp == 0x7FFF) {
        v = (mant << 1) == 0 ? INFINITY : NAN;
    } else if (mant == 0) {
        v = 0.0;
    } else {
        v = std::ldexp(static_cast<double>(mant), exp - 16383 - 63);
    }
    return neg ? -v : v;
}

// ---------------------------------------------------------------- writer

TValueWriter::TValueWriter(TStream& stream, size_t bufferSize) : stream_(stream), capacity_(bufferSize) {
    buffer_.reserve(capacity_);
}

TValueWriter::~TValueWriter() {
    try {
        FlushBuffer();
    } catch (...) {
        // FlushBuffer is called explicitly where a failure must be reported.
    }
}

void TValueWriter::FlushBuffer() {
    if (buffer_.empty()) return;
    std::string out;
    out.swap(buffer_);
    buffer_.reserve(capacity_);
    stream_.WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
}

void TValueWriter::Put(const void* data, size_t n) {
    if (buffer_.size() + n > capacity_) FlushBuffer();
    if (n > capacity_) {
        stream_.WriteBuffer(data, static_cast<int64_t>(n));
        return;
    }
    buffer_.append(static_cast<const char*>(data), n);
}

void TValueWriter::WriteSignature() { Put("TPF0", 4); }

void TValueWriter::WriteListBegin() {
    uint8_t t = ValueTag::kList;
    Put(&t, 1);
}

void TValueWriter::WriteListEnd() {
    uint8_t t = ValueTag::kNull;
    Put(&t, 1);
}

void TValueWriter::WriteInteger(int64_t value) {
    uint8_t b[9];
    if (value >= -128 && value <= 127) {
        b[0] = ValueTag::kInt8;
        int8_t v = static_cast<int8_t>(value);
        std::memcpy(b + 1, &v, 1);
        Put(b, 2);
    } else if (value >= -32768 && value <= 32767) {
        b[0] = ValueTag::kInt16;
        int16_t v = static_cast<int16_t>(value);
        std::memcpy(b + 1, &v, 2);
        Put(b, 3);
    } else if (value >= INT32_MIN && value <= INT32_MAX) {
        b[0] = ValueTag::kInt32;
        int32_t v = static_cast<int32_t>(value);
        std::memcpy(b + 1, &v, 4);
        Put(b, 5);
    } else {
        b[0] = ValueTag::kInt64;
        std::memcpy(b + 1, &value, 8);
        Put(b, 9);
    }
}

void TValueWriter::WriteBoolean(bool value) {
    uint8_t t = value ? ValueTag::kTrue : ValueTag::kFalse;
    Put(&t, 1);
}

void TValueWriter::WriteFloat(double value) {
    uint8_t b[11];
    b[0] = ValueTag::kExtended;
    DoubleToExtended(value, b + 1);
    Put(b, 11);
}

void TValueWriter::WriteString(const std::string& value) {
    if (value.size() <= 255) {
        uint8_t b[2] = {ValueTag::kString, static_cast<uint8_t>(value.size())};
        Put(b, 2);
    } else {
        if (value.size() > static_cast<size_t>(INT32_MAX)) throw EStreamError("Stream write error");
        uint8_t b[5];
        b[0] = ValueTag::kLString;
        int32_t n = static_cast<int32_t>(value.size());
        std::memcpy(b + 1, &n, 4);
        Put(b, 5);
    }
    Put(value.data(), value.size());
}

// ---------------------------------------------------------------- reader

TValueReader::TValueReader(TStream& stream, size_t bufferSize) : stream_(stream) {
    buffer_.resize(bufferSize > 0 ? bufferSize : 1);
}

bool TValueReader::Fill() {
    if (pos_ < len_) return true;
    int64_t n = stream_.Read(buffer_.data(), static_cast<int64_t>(buffer_.size()));
    pos_ = 0;
    len_ = n > 0 ? static_cast<size_t>(n) : 0;
    return len_ > 0;
}

uint8_t TValueReader::ReadByte() {
    if (!Fill()) ReadFail();
    return static_cast<uint8_t>(buffer_[pos_++]);
}

void TValueReader::Read(void* data, size_t n) {
    auto* out = static_cast<char*>(data);
    while (n > 0) {
        if (!Fill()) ReadFail();
        size_t k = std::min(n, len_ - pos_);
        std::memcpy(out, buffer_.data() + pos_, k);
        pos_ += k;
        out += k;
        n -= k;
    }
}

int64_t TValueReader::Remaining() {
    int64_t streamLeft = stream_.Size() - stream_.Position();
    if (streamLeft < 0) streamLeft = 0;
    return streamLeft + static_cast<int64_t>(len_ - pos_);
}

int TValueReader::PeekTag() {
    if (!Fill()) return -1;
    return static_cast<uint8_t>(buffer_[pos_]);
}

void TValueReader::SkipTag() { ReadByte(); }

void TValueReader::ReadSignature() {
    char sig[4];
    Read(sig, 4);
    if (std::memcmp(sig, "TPF0", 4) != 0) throw EReadError("Invalid stream format");
}

void TValueReader::ReadListBegin() {
    if (ReadByte() != ValueTag::kList) PropValueError();
}

void TValueReader::ReadListEnd() {
    if (ReadByte() != ValueTag::kNull) PropValueError();
}

bool TValueReader::EndOfList() {
    int t = PeekTag();
    if (t < 0) ReadFail();
    return t == ValueTag::kNull;
}

int32_t TValueReader::ReadInteger() {
    switch (ReadByte()) {
        case ValueTag::kInt8: {
            int8_t v;
            Read(&v, 1);
            return v;
        }
        case ValueTag::kInt16: {
            int16_t v;
            Read(&v, 2);
            return v;
        }
        case ValueTag::kInt32: {
            int32_t v;
            Read(&v, 4);
            return v;
        }
        default:
            PropValueError();
    }
}

int64_t TValueReader::ReadInt64() {
    if (PeekTag() == ValueTag::kInt64) {
        SkipTag();
        int64_t v;
        Read(&v, 8);
        return v;
    }
    return ReadInteger();
}

double TValueReader::ReadFloat() {
    if (PeekTag() == ValueTag::kExtended) {
        SkipTag();
        uint8_t b[10];
        Read(b, 10);
        return ExtendedToDouble(b);
    }
    return ReadInteger();
}

std::string TValueReader::ReadString() {
    uint8_t tag = ReadByte();
    size_t n;
    if (tag == ValueTag::kString) {
        n = ReadByte();
    } else if (tag == ValueTag::kLString) {
        int32_t len;
        Read(&len, 4);
        // The length must be covered by the bytes that are left before
        // anything is allocated for it.
        if (len < 0 || len > Remaining()) ReadFail();
        n = static_cast<size_t>(len);
    } else {
        PropValueError();
    }
    std::string s(n, '\0');
    if (n) Read(s.data(), n);
    return s;
}

bool TValueReader::ReadBoolean() {
    switch (ReadByte()) {
        case ValueTag::kFalse: return false;
        case ValueTag::kTrue: return true;
        default: PropValueError();
    }
}
