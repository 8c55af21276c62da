#include "protocol/component_stream.h"

#include <cstring>
#include <limits>

#include "core/cp1251.h"
#include "core/format.h"
#include "protocol/extended80.h"
#include "protocol/pharm_classes.h"
#include "protocol/value_encoding.h"

namespace {

const char kSignature[4] = {'T', 'P', 'F', '0'};
// Child objects are never sent; the few a stream might still carry are read
// and dropped, up to this nesting depth.
constexpr int kMaxChildDepth = 8;

}  // namespace

// ------------------------------------------------------------------ writer

void TComponentWriter::WriteShortString(const std::string& s) {
    const uint8_t len = static_cast<uint8_t>(s.size() > 255 ? 255 : s.size());
    WriteBytes(&len, 1);
    WriteBytes(s.data(), len);
}

void TComponentWriter::WriteInteger(int64_t v) {
    uint8_t buf[kMaxIntegerValueSize];
    WriteBytes(buf, static_cast<int64_t>(EncodeIntegerValue(v, buf)));
}

void TComponentWriter::WriteString(const std::string& s) {
    uint8_t head[kMaxStringHeadSize];
    WriteBytes(head, static_cast<int64_t>(EncodeStringHead(s.size(), head)));
    WriteBytes(s.data(), static_cast<int64_t>(s.size()));
}

void TComponentWriter::WriteIdent(const char* ident) {
    WriteTag(cvIdent);
    WriteShortString(ident);
}

void TComponentWriter::WriteFloat(double v) {
    uint8_t buf[kExtendedValueSize];
    EncodeExtendedValue(v, buf);
    WriteBytes(buf, sizeof buf);
}

void TComponentWriter::WriteBinary(const TMemoryStream& data) {
    const std::string& bytes = data.Bytes();
    if (bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        throw ERangeError("Range check error");
    uint8_t head[5];
    WriteBytes(head, static_cast<int64_t>(EncodeTaggedNumber(cvBinary, static_cast<int32_t>(bytes.size()), head)));
    WriteBytes(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// ------------------------------------------------------------------ reader

void TComponentReader::InvalidPropertyValue() { throw EReadError("Invalid property value"); }
void TComponentReader::ReadError() { throw EReadError("Stream read error"); }

int64_t TComponentReader::BytesLeft() {
    const int64_t left = stream_.Size() - stream_.Position();
    return left > 0 ? left : 0;
}

void TComponentReader::ReadBytes(void* data, int64_t count) {
    if (count < 0 || count > BytesLeft()) ReadError();
    if (count > 0 && stream_.Read(data, count) != count) ReadError();
}

uint8_t TComponentReader::ReadTag() {
    uint8_t t;
    ReadBytes(&t, 1);
    return t;
}

uint8_t TComponentReader::PeekTag() {
    const uint8_t t = ReadTag();
    stream_.Seek(-1, SeekOrigin::Current);
    return t;
}

std::string TComponentReader::ReadShortString() {
    const uint8_t len = ReadTag();
    std::string s(len, '\0');
    ReadBytes(s.data(), len);
    return s;
}

int64_t TComponentReader::ReadIntegerValue(bool allowInt64) {
    uint8_t buf[8];
    switch (ReadTag()) {
        case cvInt8: ReadBytes(buf, 1); return static_cast<int8_t>(buf[0]);
        case cvInt16: ReadBytes(buf, 2); return GetLE<int16_t>(buf);
        case cvInt32: ReadBytes(buf, 4); return GetLE<int32_t>(buf);
        case cvInt64:
            if (!allowInt64) InvalidPropertyValue();
            ReadBytes(buf, 8);
            return GetLE<int64_t>(buf);
        default: InvalidPropertyValue();
    }
}

std::string TComponentReader::ReadStringValue() {
    int64_t len;
    switch (ReadTag()) {
        case cvString: len = ReadTag(); break;
        case cvLString: {
            uint8_t buf[4];
            ReadBytes(buf, 4);
            len = GetLE<int32_t>(buf);
            if (len < 0 || len > BytesLeft()) ReadError();
            break;
        }
        default: InvalidPropertyValue();
    }
    std::string s(static_cast<size_t>(len), '\0');
    ReadBytes(s.data(), len);
    return s;
}

double TComponentReader::ReadFloatValue() {
    if (PeekTag() == cvExtended) {
        ReadTag();
        uint8_t buf[10];
        ReadBytes(buf, 10);
        return Extended80ToDouble(buf);
    }
    return static_cast<double>(ReadIntegerValue(true));
}

std::string TComponentReader::ReadIdentValue() {
    switch (ReadTag()) {
        case cvIdent: return ReadShortString();
        case cvFalse: return "False";
        case cvTrue: return "True";
        default: InvalidPropertyValue();
    }
}

void TComponentReader::ReadBinaryInto(TMemoryStream& target) {
    if (ReadTag() != cvBinary) InvalidPropertyValue();
    uint8_t buf[4];
    ReadBytes(buf, 4);
    const int32_t count = GetLE<int32_t>(buf);
    if (count < 0 || count > BytesLeft()) ReadError();
    // Write at the target's position, reading straight into its storage.
    const int64_t pos = target.Position();
    std::string& bytes = target.Bytes();
    if (static_cast<int64_t>(bytes.size()) < pos + count) bytes.resize(static_cast<size_t>(pos + count));
    ReadBytes(bytes.data() + pos, count);
    target.SetPosition(0);
}

// ------------------------------------------------------------------ codec

namespace {

bool IsStored(const TPropInfo& p, const TComponent& c) {
    if (p.NeverStored) return false;
    switch (p.Kind) {
        case TPropKind::pkInteger: return !p.Default || p.GetOrd(c) != *p.Default;
        case TPropKind::pkInt64: return p.GetOrd(c) != 0;
        case TPropKind::pkBoolean:
        case TPropKind::pkEnumeration: return true;
        case TPropKind::pkString: return !p.GetStr(c).empty();
        case TPropKind::pkDateTime: return p.GetFloat(c) != 0;
    }
    return true;
}

void WriteProperty(const TPropInfo& p, const TComponent& c, TComponentWriter& w) {
    w.WriteShortString(p.Name);
    switch (p.Kind) {
        case TPropKind::pkInteger:
        case TPropKind::pkInt64: w.WriteInteger(p.GetOrd(c)); break;
        case TPropKind::pkBoolean: w.WriteBoolean(p.GetOrd(c) != 0); break;
        case TPropKind::pkEnumeration: {
            const char* id = p.EnumType->Identifier(static_cast<int>(p.GetOrd(c)));
            VT_ASSERT(id != nullptr, "Enumeration value out of range");
            w.WriteIdent(id);
            break;
        }
        case TPropKind::pkString: w.WriteString(p.GetStr(c)); break;
        case TPropKind::pkDateTime: w.WriteFloat(p.GetFloat(c)); break;
    }
}

void ReadProperty(const TPropInfo& p, TComponent& c, TComponentReader& r) {
    switch (p.Kind) {
        case TPropKind::pkInteger: p.SetOrd(c, r.ReadIntegerValue(false)); break;
        case TPropKind::pkInt64: p.SetOrd(c, r.ReadIntegerValue(true)); break;
        case TPropKind::pkBoolean: {
            const std::string id = r.ReadIdentValue();
            if (SameText1251(id, "False")) p.SetOrd(c, 0);
            else if (SameText1251(id, "True")) p.SetOrd(c, 1);
            else TComponentReader::InvalidPropertyValue();
            break;
        }
        case TPropKind::pkEnumeration: {
            const int ord = p.EnumType->Find(r.ReadIdentValue());
            if (ord < 0) TComponentReader::InvalidPropertyValue();
            p.SetOrd(c, ord);
            break;
        }
        case TPropKind::pkString: p.SetStr(c, r.ReadStringValue()); break;
        case TPropKind::pkDateTime: p.SetFloat(c, r.ReadFloatValue()); break;
    }
}

void WriteObject(const TComponent& c, TComponentWriter& w) {
    const TPharmClassInfo& info = c.ClassInfo();
    w.WriteShortString(info.ClassName);
    w.WriteShortString("");
    for (const TPropInfo& p : info.Properties)
        if (IsStored(p, c)) WriteProperty(p, c, w);
    for (const TDefinedPropInfo& d : info.DefinedProperties) {
        w.WriteShortString(d.Name);
        d.Write(c, w);
    }
    w.WriteTag(cvNull);   // end of properties
    w.WriteTag(cvNull);   // end of children
}

std::unique_ptr<TComponent> ReadObject(TComponentReader& r, int depth) {
    const std::string className = r.ReadShortString();
    const TPharmClassInfo* info = FindPharmClass(className);
    if (!info) throw EClassNotFound(Format("Class %s not found", {className}));
    std::unique_ptr<TComponent> obj = info->Create();
    obj->Name = r.ReadShortString();

    while (r.PeekTag() != cvNull) {
        const std::string name = r.ReadShortString();
        if (const TPropInfo* p = info->FindProperty(name)) {
            ReadProperty(*p, *obj, r);
        } else if (const TDefinedPropInfo* d = info->FindDefinedProperty(name)) {
            d->Read(*obj, r);
        } else {
            throw EReadError(Format("Property %s does not exist", {name}));
        }
    }
    r.ReadTag();

    while (r.PeekTag() != cvNull) {
        if (depth >= kMaxChildDepth) throw EReadError("Invalid stream format");
        ReadObject(r, depth + 1);   // owned by nothing here: dropped
    }
    r.ReadTag();
    return obj;
}

}  // namespace

void WritePharmComponent(TStream& stream, const TComponent& component) {
    stream.SetSize(0);
    stream.SetPosition(0);
    TComponentWriter w(stream);
    w.WriteBytes(kSignature, 4);
    WriteObject(component, w);
    stream.SetPosition(0);
}

std::unique_ptr<TComponent> ReadPharmComponent(TStream& stream) {
    stream.SetPosition(0);
    TComponentReader r(stream);
    char sig[4];
    r.ReadBytes(sig, 4);
    if (std::memcmp(sig, kSignature, 4) != 0) throw EReadError("Invalid stream format");
    return ReadObject(r, 0);
}

std::string EncodePharmComponent(const TComponent& component) {
    TMemoryStream ms;
    WritePharmComponent(ms, component);
    return std::move(ms.Bytes());
}

std::unique_ptr<TComponent> DecodePharmComponent(std::string bytes) {
    TMemoryStream ms(std::move(bytes));
    return ReadPharmComponent(ms);
}
