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

struct TypeText {
    const char* fieldtype;
    const char* subtype;  // nullptr: none
};

TypeText FieldTypeText(TFieldType t) {
    switch (t) {
        case TFieldType::ftString: return {"string", nullptr};
        case TFieldType::ftFixedChar: return {"string", "FixedChar"};
        case TFieldType::ftGuid: return {"string", "Guid"};
        case TFieldType::ftWideString: return {"string.uni", nullptr};
        case TFieldType::ftSmallint: return {"i2", nullptr};
        case TFieldType::ftInteger: return {"i4", nullptr};
        case TFieldType::ftAutoInc: return {"i4", "Autoinc"};
        case TFieldType::ftLargeint: return {"i8", nullptr};
        case TFieldType::ftWord: return {"ui2", nullptr};
        case TFieldType::ftBoolean: return {"boolean", nullptr};
        case TFieldType::ftFloat: return {"r8", nullptr};
        case TFieldType::ftCurrency: return {"r8", "Money"};
        case TFieldType::ftBCD: return {"fixed", nullptr};
        case TFieldType::ftFMTBcd: return {"fixedFMT", nullptr};
        case TFieldType::ftDate: return {"date", nullptr};
        case TFieldType::ftTime: return {"time", nullptr};
        case TFieldType::ftDateTime: return {"dateTime", nullptr};
        case TFieldType::ftTimeStamp: return {"SQLdateTime", nullptr};
        case TFieldType::ftMemo: return {"bin.hex", "Text"};
        case TFieldType::ftFmtMemo: return {"bin.hex", "Formatted"};
        case TFieldType::ftBlob: return {"bin.hex", "Binary"};
        case TFieldType::ftGraphic: return {"bin.hex", "Graphics"};
        case TFieldType::ftBytes: case TFieldType::ftVarBytes: return {"bin.hex", nullptr};
        case TFieldType::ftDataSet: return {"nested", nullptr};
        default: return {"unknown", nullptr};
    }
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
