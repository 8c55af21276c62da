#include "protocol/nv_stream_utils.h"

#include <bit>
#include <cstring>
#include <limits>

#include "core/cp1251.h"
#include "protocol/extended80.h"

namespace {

const char kIncorrectValue[] = "Incorrect value";
const char kIncorrectIdentifier[] = "Incorrect identifier";

template <typename T>
void PutLE(uint8_t* out, T v) {
    using U = std::make_unsigned_t<T>;
    U u = static_cast<U>(v);
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
}

template <typename T>
T GetLE(const uint8_t* in) {
    using U = std::make_unsigned_t<T>;
    U u = 0;
    for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<U>(static_cast<U>(in[i]) << (8 * i));
    return static_cast<T>(u);
}

}  // namespace

// ---------------------------------------------------------------- writer base

TNVWriter::TNVWriter(TStream* stream) : stream_(stream) {
    VT_ASSERT(stream != nullptr, "Parameter is not assigned");
}

void TNVWriter::Write(const void* buffer, int64_t count) { stream_->WriteBuffer(buffer, count); }

void TNVWriter::WriteValue(uint8_t tag) { Write(&tag, 1); }

void TNVWriter::WriteChar(char c) { WriteString(std::string(1, c)); }

// ---------------------------------------------------------------- reader base

TNVReader::TNVReader(TStream* stream) : stream_(stream) {
    VT_ASSERT(stream != nullptr, "Parameter is not assigned");
}

int64_t TNVReader::BytesLeft() const {
    const int64_t left = stream_->Size() - stream_->Position();
    return left > 0 ? left : 0;
}

void TNVReader::Read(void* buffer, int64_t count) {
    if (count < 0 || count > BytesLeft()) throw EInvalidValue(kIncorrectValue);
    if (count > 0 && stream_->Read(buffer, count) != count) throw EInvalidValue(kIncorrectValue);
}

std::string TNVReader::ReadStr() {
    uint8_t len = 0;
    Read(&len, 1);
    std::string s(len, '\0');
    Read(s.data(), len);
    return s;
}

uint8_t TNVReader::ReadValue() {
    uint8_t tag = 0;
    Read(&tag, 1);
    return tag;
}

// ---------------------------------------------------------------- binary writer

void TNVBinWriter::WriteStr(const std::string& s) {
    const uint8_t len = static_cast<uint8_t>(s.size() > 255 ? 255 : s.size());
    Write(&len, 1);
    Write(s.data(), len);
}

void TNVBinWriter::WriteBoolean(bool v) { WriteValue(v ? nvtTrue : nvtFalse); }

void TNVBinWriter::WriteFloat(double v) {
    uint8_t buf[11];
    buf[0] = nvtExtended;
    const TExtended80 e = DoubleToExtended80(v);
    std::memcpy(buf + 1, e.data(), e.size());
    Write(buf, sizeof buf);
}

void TNVBinWriter::WriteSingle(float v) {
    uint8_t buf[5];
    buf[0] = nvtSingle;
    PutLE(buf + 1, std::bit_cast<uint32_t>(v));
    Write(buf, sizeof buf);
}

void TNVBinWriter::WriteCurrency(Currency v) {
    uint8_t buf[9];
    buf[0] = nvtCurrency;
    PutLE(buf + 1, v.raw);
    Write(buf, sizeof buf);
}

void TNVBinWriter::WriteDate(TDateTime v) {
    uint8_t buf[9];
    buf[0] = nvtDate;
    PutLE(buf + 1, std::bit_cast<uint64_t>(v));
    Write(buf, sizeof buf);
}

void TNVBinWriter::WriteIdent(const std::string& s) {
    if (SameText1251(s, "False")) {
        WriteValue(nvtFalse);
    } else if (SameText1251(s, "True")) {
        WriteValue(nvtTrue);
    } else if (SameText1251(s, "Null")) {
        WriteValue(nvtNull);
    } else if (SameText1251(s, "nil")) {
        WriteValue(nvtNil);
    } else {
        WriteValue(nvtIdent);
        WriteStr(s);
    }
}

void TNVBinWriter::WriteInteger(int32_t v) {
    uint8_t buf[5];
    if (v >= -128 && v <= 127) {
        buf[0] = nvtInt8;
        buf[1] = static_cast<uint8_t>(static_cast<int8_t>(v));
        Write(buf, 2);
    } else if (v >= -32768 && v <= 32767) {
        buf[0] = nvtInt16;
        PutLE(buf + 1, static_cast<int16_t>(v));
        Write(buf, 3);
    } else {
        buf[0] = nvtInt32;
        PutLE(buf + 1, v);
        Write(buf, 5);
    }
}

void TNVBinWriter::WriteInt64(int64_t v) {
    if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
        WriteInteger(static_cast<int32_t>(v));
        return;
    }
    uint8_t buf[9];
    buf[0] = nvtInt64;
    PutLE(buf + 1, v);
    Write(buf, sizeof buf);
}

void TNVBinWriter::WriteVariant(const Variant& v) {
    switch (v.Type()) {
        case VarType::Empty: WriteValue(nvtNil); break;
        case VarType::Null: WriteValue(nvtNull); break;
        case VarType::ShortInt:
        case VarType::SmallInt:
        case VarType::Integer: WriteInteger(v.AsInteger()); break;
        case VarType::Int64: WriteInt64(v.AsInt64()); break;
        case VarType::Single: WriteSingle(static_cast<float>(v.AsDouble())); break;
        case VarType::Double: WriteFloat(v.AsDouble()); break;
        case VarType::Currency: WriteCurrency(v.AsCurrency()); break;
        case VarType::Date: WriteDate(v.AsDateTime()); break;
        case VarType::Boolean: WriteBoolean(v.AsBoolean()); break;
        case VarType::String: WriteString(v.AsString()); break;
        default: throw EVariantError("Unsupported variant type");
    }
}

void TNVBinWriter::WriteString(const std::string& s) {
    if (s.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        throw ERangeError("Range check error");
    if (s.size() <= 255) {
        uint8_t head[2] = {nvtString, static_cast<uint8_t>(s.size())};
        Write(head, 2);
    } else {
        uint8_t head[5];
        head[0] = nvtLString;
        PutLE(head + 1, static_cast<int32_t>(s.size()));
        Write(head, 5);
    }
    Write(s.data(), static_cast<int64_t>(s.size()));
}

void TNVBinWriter::WriteWideString(const std::u16string& w) {
    if (w.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 2))
        throw ERangeError("Range check error");
    uint8_t head[5];
    head[0] = nvtWString;
    PutLE(head + 1, static_cast<int32_t>(w.size()));
    Write(head, 5);
    std::string bytes(w.size() * 2, '\0');
    for (size_t i = 0; i < w.size(); ++i) {
        bytes[2 * i] = static_cast<char>(w[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(w[i] >> 8);
    }
    Write(bytes.data(), static_cast<int64_t>(bytes.size()));
}

void TNVBinWriter::WriteStringStream(const TStringStream& ss) { WriteString(ss.DataString()); }

void TNVBinWriter::WriteBuffer(const void* buffer, int32_t count) {
    if (count < 0) throw EInvalidValue(kIncorrectValue);
    WriteValue(nvtBuffer);
    WriteInteger(count);
    Write(buffer, count);
}

// ---------------------------------------------------------------- binary reader

int32_t TNVBinReader::ReadIntegerData(uint8_t tag) {
    uint8_t buf[4];
    switch (tag) {
        case nvtInt8: Read(buf, 1); return static_cast<int8_t>(buf[0]);
        case nvtInt16: Read(buf, 2); return GetLE<int16_t>(buf);
        case nvtInt32: Read(buf, 4); return GetLE<int32_t>(buf);
        default: throw EInvalidValue(kIncorrectValue);
    }
}

int32_t TNVBinReader::ReadCheckedLength(int64_t unit) {
    uint8_t buf[4];
    Read(buf, 4);
    const int32_t n = GetLE<int32_t>(buf);
    if (n < 0 || static_cast<int64_t>(n) * unit > BytesLeft()) throw EInvalidValue(kIncorrectValue);
    return n;
}

bool TNVBinReader::ReadBoolean() { return ReadValue() == nvtTrue; }

char TNVBinReader::ReadChar() {
    if (ReadValue() != nvtString) throw EInvalidValue(kIncorrectValue);
    uint8_t len = 0;
    Read(&len, 1);
    if (len != 1) throw EInvalidValue(kIncorrectValue);
    char c = 0;
    Read(&c, 1);
    return c;
}

int32_t TNVBinReader::ReadInteger() { return ReadIntegerData(ReadValue()); }

double TNVBinReader::ReadFloat() {
    const uint8_t tag = ReadValue();
    if (tag != nvtExtended) return ReadIntegerData(tag);
    uint8_t buf[10];
    Read(buf, 10);
    return Extended80ToDouble(buf);
}

float TNVBinReader::ReadSingle() {
    const uint8_t tag = ReadValue();
    if (tag != nvtSingle) return static_cast<float>(ReadIntegerData(tag));
    uint8_t buf[4];
    Read(buf, 4);
    return std::bit_cast<float>(GetLE<uint32_t>(buf));
}

Currency TNVBinReader::ReadCurrency() {
    const uint8_t tag = ReadValue();
    if (tag != nvtCurrency) return Currency::FromInt(ReadIntegerData(tag));
    uint8_t buf[8];
    Read(buf, 8);
    return Currency::FromRaw(GetLE<int64_t>(buf));
}

TDateTime TNVBinReader::ReadDate() {
    const uint8_t tag = ReadValue();
    if (tag != nvtDate) return ReadIntegerData(tag);
    uint8_t buf[8];
    Read(buf, 8);
    return std::bit_cast<double>(GetLE<uint64_t>(buf));
}

int64_t TNVBinReader::ReadInt64() {
    const uint8_t tag = ReadValue();
    if (tag != nvtInt64) return ReadIntegerData(tag);
    uint8_t buf[8];
    Read(buf, 8);
    return GetLE<int64_t>(buf);
}

std::string TNVBinReader::ReadIdent() {
    switch (ReadValue() & 0x7F) {
        case nvtNull: return "Null";
        case nvtIdent: return ReadStr();
        case nvtFalse: return "False";
        case nvtTrue: return "True";
        case nvtNil: return "nil";
        default: throw EInvalidIdentified(kIncorrectIdentifier);
    }
}

std::string TNVBinReader::ReadString() {
    int32_t len;
    switch (ReadValue()) {
        case nvtString: {
            uint8_t b = 0;
            Read(&b, 1);
            len = b;
            break;
        }
        case nvtLString: len = ReadCheckedLength(1); break;
        default: throw EInvalidValue(kIncorrectValue);
    }
    std::string s(static_cast<size_t>(len), '\0');
    Read(s.data(), len);
    return s;
}

std::u16string TNVBinReader::ReadWideString() {
    if (ReadValue() != nvtWString) throw EInvalidValue(kIncorrectValue);
    const int32_t n = ReadCheckedLength(2);
    std::string bytes(static_cast<size_t>(n) * 2, '\0');
    Read(bytes.data(), static_cast<int64_t>(bytes.size()));
    std::u16string w(static_cast<size_t>(n), u'\0');
    for (int32_t i = 0; i < n; ++i)
        w[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                     (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    return w;
}

std::unique_ptr<TStringStream> TNVBinReader::ReadStringStream() {
    return std::make_unique<TStringStream>(ReadString());
}

int32_t TNVBinReader::ReadBuffer(void* buffer, int32_t capacity) {
    if (ReadValue() != nvtBuffer) throw EInvalidValue(kIncorrectValue);
    const int32_t count = ReadInteger();
    if (count < 0 || count > capacity || count > BytesLeft()) throw EInvalidValue(kIncorrectValue);
    Read(buffer, count);
    return count;
}

std::string TNVBinReader::ReadBufferBytes() {
    if (ReadValue() != nvtBuffer) throw EInvalidValue(kIncorrectValue);
    const int32_t count = ReadInteger();
    if (count < 0 || count > BytesLeft()) throw EInvalidValue(kIncorrectValue);
    std::string bytes(static_cast<size_t>(count), '\0');
    Read(bytes.data(), count);
    return bytes;
}

Variant TNVBinReader::ReadVariant() {
    const int64_t pos = Stream().Position();
    const uint8_t tag = ReadValue();
    Stream().SetPosition(pos);
    switch (tag) {
        case nvtNull:
        case nvtIdent:
        case nvtFalse:
        case nvtTrue: {
            const std::string id = ReadIdent();
            if (id == "False") return Variant(false);
            if (id == "True") return Variant(true);
            if (id == "Null") return Variant::Null();
            return Variant(id);
        }
        case nvtInt8:
        case nvtInt16:
        case nvtInt32: return Variant(ReadInteger());
        case nvtExtended: return Variant(ReadFloat());
        case nvtString:
        case nvtLString: return Variant(ReadString());
        case nvtNil: ReadValue(); return Variant();
        case nvtSingle: return Variant(static_cast<double>(ReadSingle()));
        case nvtCurrency: return Variant(ReadCurrency());
        case nvtDate: return Variant::FromDate(ReadDate());
        case nvtWString: return Variant(ReadWideString());
        case nvtInt64: return Variant(ReadInt64());
        default: throw EInvalidValue(kIncorrectValue);
    }
}
