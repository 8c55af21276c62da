#include "support/xml_packet_writer.h"

#include <charconv>
#include <fstream>

#include "core/cp1251.h"
#include "core/currency.h"
#include "core/date_text.h"
#include "core/exceptions.h"

namespace {

std::string Base64Encode(const std::string& in) {
    static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t n = 0;
        for (size_t k = 0; k < 3; ++k)
            n = n << 8 | (i + k < in.size() ? static_cast<unsigned char>(in[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= in.size() - i ? kB64[(n >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// The packet's field type and subtype (nullptr: none) of each type the reader maps.
struct TypeText {
    TFieldType type;
    const char* fieldtype;
    const char* subtype;
};
const TypeText kTypeTexts[] = {
    {TFieldType::ftString, "string", nullptr},      {TFieldType::ftFixedChar, "string", "FixedChar"},
    {TFieldType::ftGuid, "string", "Guid"},         {TFieldType::ftWideString, "string.uni", nullptr},
    {TFieldType::ftSmallint, "i2", nullptr},        {TFieldType::ftInteger, "i4", nullptr},
    {TFieldType::ftAutoInc, "i4", "Autoinc"},       {TFieldType::ftLargeint, "i8", nullptr},
    {TFieldType::ftWord, "ui2", nullptr},           {TFieldType::ftBoolean, "boolean", nullptr},
    {TFieldType::ftFloat, "r8", nullptr},           {TFieldType::ftCurrency, "r8", "Money"},
    {TFieldType::ftBCD, "fixed", nullptr},          {TFieldType::ftFMTBcd, "fixedFMT", nullptr},
    {TFieldType::ftDate, "date", nullptr},          {TFieldType::ftTime, "time", nullptr},
    {TFieldType::ftDateTime, "dateTime", nullptr},  {TFieldType::ftTimeStamp, "SQLdateTime", nullptr},
    {TFieldType::ftMemo, "bin.hex", "Text"},        {TFieldType::ftFmtMemo, "bin.hex", "Formatted"},
    {TFieldType::ftBlob, "bin.hex", "Binary"},      {TFieldType::ftGraphic, "bin.hex", "Graphics"},
    {TFieldType::ftBytes, "bin.hex", nullptr},      {TFieldType::ftVarBytes, "bin.hex", nullptr},
    {TFieldType::ftDataSet, "nested", nullptr},
};

TypeText FieldTypeText(TFieldType t) {
    for (const TypeText& tt : kTypeTexts)
        if (tt.type == t) return tt;
    return {t, "unknown", nullptr};
}

std::string ValueText(const TPacketFieldDef& def, const Variant& v) {
    switch (def.DataType) {
        case TFieldType::ftBoolean: return v.AsBoolean() ? "TRUE" : "FALSE";
        case TFieldType::ftFloat: {
            char buf[64];
            return std::string(buf, std::to_chars(buf, buf + sizeof buf, v.AsDouble()).ptr);
        }
        case TFieldType::ftCurrency: return v.AsCurrency().ToString();
        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftAutoInc:
        case TFieldType::ftWord: case TFieldType::ftLargeint:
            return std::to_string(v.AsInt64());
        case TFieldType::ftDate: return PacketDateText(v.AsDateTime());
        case TFieldType::ftTime: return PacketTimeText(v.AsDateTime());
        case TFieldType::ftDateTime: case TFieldType::ftTimeStamp: return PacketDateTimeText(v.AsDateTime());
        default:
            if (IsBinaryPacketType(def.DataType)) return Base64Encode(v.AsString());
            return v.AsString();
    }
}

// Escapes cp1251 text for an attribute value and encodes it.
void AppendAttrText(std::string& out, const std::string& cp, TPacketEncoding enc) {
    for (char ch : cp) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (ch == '&') out += "&amp;";
        else if (ch == '<') out += "&lt;";
        else if (ch == '>') out += "&gt;";
        else if (ch == '"') out += "&quot;";
        else if (c < 32 || (c >= 128 && enc == TPacketEncoding::Escaped)) out += "&#" + std::to_string(c) + ";";
        else if (c >= 128 && enc == TPacketEncoding::Utf8) out += Cp1251ToUtf8(std::string_view(&ch, 1));
        else out += ch;
    }
}

}  // namespace

std::string WriteXmlDataPacket(const std::vector<TPacketFieldDef>& fields,
                               const std::vector<std::vector<Variant>>& rows, TPacketEncoding encoding) {
    std::string out = encoding == TPacketEncoding::Escaped ? "<?xml version=\"1.0\""
                      : encoding == TPacketEncoding::Utf8 ? "<?xml version=\"1.0\" encoding=\"UTF-8\""
                                                          : "<?xml version=\"1.0\" encoding=\"windows-1251\"";
    out += " standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
    for (const TPacketFieldDef& f : fields) {
        TypeText tt = FieldTypeText(f.DataType);
        out += "<FIELD attrname=\"";
        AppendAttrText(out, f.Name, encoding);
        out += "\" fieldtype=\"" + std::string(tt.fieldtype) + "\"";
        if (f.DataType == TFieldType::ftBCD || f.DataType == TFieldType::ftFMTBcd) {
            out += " DECIMALS=\"" + std::to_string(f.Size) + "\" WIDTH=\"" + std::to_string(f.Precision) + "\"";
        } else if (f.DataType == TFieldType::ftWideString) {
            out += " WIDTH=\"" + std::to_string(f.Size * 2) + "\"";
        } else if (f.Size > 0 || f.DataType == TFieldType::ftString || f.DataType == TFieldType::ftFixedChar) {
            out += " WIDTH=\"" + std::to_string(f.Size) + "\"";
        }
        if (f.Required) out += " required=\"true\"";
        if (tt.subtype) out += " SUBTYPE=\"" + std::string(tt.subtype) + "\"";
        out += "/>";
    }
    out += "</FIELDS><PARAMS/></METADATA><ROWDATA>";
    for (const auto& row : rows) {
        if (row.size() != fields.size()) throw EListError("Packet row does not match the field list");
        out += "<ROW";
        for (size_t i = 0; i < fields.size(); ++i) {
            if (row[i].IsEmptyOrNull()) continue;
            out += " ";
            AppendAttrText(out, fields[i].Name, encoding);
            out += "=\"";
            AppendAttrText(out, ValueText(fields[i], row[i]), encoding);
            out += "\"";
        }
        out += "/>";
    }
    out += "</ROWDATA></DATAPACKET>\r\n";
    return out;
}

void SaveXmlDataPacket(const std::string& path, const std::vector<TPacketFieldDef>& fields,
                       const std::vector<std::vector<Variant>>& rows, TPacketEncoding encoding) {
    const std::string bytes = WriteXmlDataPacket(fields, rows, encoding);
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes))
        throw EInOutError("Cannot write file \"" + path + "\"");
}
