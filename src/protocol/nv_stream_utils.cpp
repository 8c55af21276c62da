#include "protocol/nv_stream_utils.h"

#include <bit>
#include <cstring>
#include <limits>

#include "core/cp1251.h"
#include "protocol/extended80.h"
#include "protocol/value_encoding.h"

namespace {

const char kIncorrectValue[] = "Incorrect value";
const char kIncorrectIdentifier[] = "Incorrect identifier";

// A missing stream fails the assertion under a fixed unit name and line: they
// are part of the reported text, which is then the same in every log whatever
// the layout of this file.
const char kAssertUnit[] = "NVStreamUtils.pas";
constexpr int kWriterAssertLine = 122;
constexpr int kReaderAssertLine = 146;

}  // namespace

// ---------------------------------------------------------------- writer base

TNVWriter::TNVWriter(TStream* stream) : stream_(stream) {
    if (stream == nullptr) RaiseAssertion("Parameter is not assigned", kAssertUnit, kWriterAssertLine);
}

void TNVWriter::Write(const void* buffer, int64_t count) { stream_->WriteBuffer(buffer, count); }

void TNVWriter::WriteValue(uint8_t tag) { Write(&tag, 1); }

void TNVWriter::WriteChar(char c) { WriteString(std::string(1, c)); }

// ---------------------------------------------------------------- reader base

TNVReader::TNVReader(TStream* stream) : stream_(stream) {
    if (stream == nullptr) RaiseAssertion("Parameter is not assigned", kAssertUnit, kReaderAssertLine);
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

template <typename T>
void TNVBinWriter::WriteTaggedNumber(uint8_t tag, T v) {
    uint8_t buf[1 + sizeof(T)];
    Write(buf, static_cast<int64_t>(EncodeTaggedNumber(tag, v, buf)));
}

void TNVBinWriter::WriteStr(const std::string& s) {
    const uint8_t len = static_cast<uint8_t>(s.size() > 255 ? 255 : s.size());
    Write(&len, 1);
    Write(s.data(), len);
}

void TNVBinWriter::WriteBoolean(bool v) { WriteValue(v ? nvtTrue : nvtFalse); }

void TNVBinWriter::WriteFloat(double v) {
    uint8_t buf[kExtendedValueSize];
    EncodeExtendedValue(v, buf);
    Write(buf, sizeof buf);
}

void TNVBinWriter::WriteSingle(float v) { WriteTaggedNumber(nvtSingle, std::bit_cast<uint32_t>(v)); }

void TNVBinWriter::WriteCurrency(Currency v) { WriteTaggedNumber(nvtCurrency, v.raw); }

void TNVBinWriter::WriteDate(TDateTime v) { WriteTaggedNumber(nvtDate, std::bit_cast<uint64_t>(v)); }

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
    uint8_t buf[kMaxIntegerValueSize];
    Write(buf, static_cast<int64_t>(EncodeIntegerValue(v, buf)));
}

void TNVBinWriter::WriteInt64(int64_t v) {
    // Within the 32-bit range the integer forms serve; 19 only beyond it.
    uint8_t buf[kMaxIntegerValueSize];
    Write(buf, static_cast<int64_t>(EncodeIntegerValue(v, buf)));
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
    uint8_t head[kMaxStringHeadSize];
    Write(head, static_cast<int64_t>(EncodeStringHead(s.size(), head)));
    Write(s.data(), static_cast<int64_t>(s.size()));
}

void TNVBinWriter::WriteWideString(const std::u16string& w) {
    if (w.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 2))
        throw ERangeError("Range check error");
    WriteTaggedNumber(nvtWString, static_cast<int32_t>(w.size()));
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

template <typename Raw, typename FromRaw, typename FromInt>
auto TNVBinReader::ReadTaggedNumber(uint8_t tag, FromRaw fromRaw, FromInt fromInt) {
    const uint8_t found = ReadValue();
    if (found != tag) return fromInt(ReadIntegerData(found));
    uint8_t buf[sizeof(Raw)];
    Read(buf, sizeof buf);
    return fromRaw(GetLE<Raw>(buf));
}

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
    return ReadTaggedNumber<uint32_t>(nvtSingle, [](uint32_t raw) { return std::bit_cast<float>(raw); },
                                      [](int32_t i) { return static_cast<float>(i); });
}

Currency TNVBinReader::ReadCurrency() {
    return ReadTaggedNumber<int64_t>(nvtCurrency, Currency::FromRaw, [](int32_t i) { return Currency::FromInt(i); });
}

TDateTime TNVBinReader::ReadDate() {
    return ReadTaggedNumber<uint64_t>(nvtDate, [](uint64_t raw) { return std::bit_cast<double>(raw); },
                                      [](int32_t i) { return static_cast<TDateTime>(i); });
}

int64_t TNVBinReader::ReadInt64() {
    return ReadTaggedNumber<int64_t>(nvtInt64, [](int64_t raw) { return raw; }, [](int32_t i) { return int64_t{i}; });
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
