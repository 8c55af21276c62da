#include "replication/packet/xml_data_packet.h"

#include <pugixml.hpp>

#include <charconv>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "core/cp1251.h"
#include "core/currency.h"
#include "core/date_text.h"
#include "core/exceptions.h"
#include "core/format.h"

bool IsBinaryPacketType(TFieldType t) {
    switch (t) {
        case TFieldType::ftBlob: case TFieldType::ftGraphic: case TFieldType::ftParadoxOle:
        case TFieldType::ftDBaseOle: case TFieldType::ftTypedBinary: case TFieldType::ftBytes:
        case TFieldType::ftVarBytes:
            return true;
        default:
            return false;
    }
}

namespace {

// ---------------------------------------------------------------- text

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// The encoding named in the XML declaration ("" when none).
std::string DeclaredEncoding(const std::string& xml) {
    if (xml.compare(0, 5, "<?xml") != 0) return "";
    size_t end = xml.find("?>");
    if (end == std::string::npos) return "";
    std::string decl = xml.substr(0, end);
    size_t p = decl.find("encoding");
    if (p == std::string::npos) return "";
    p = decl.find_first_of("\"'", p);
    if (p == std::string::npos) return "";
    char q = decl[p];
    size_t e = decl.find(q, p + 1);
    if (e == std::string::npos) return "";
    return decl.substr(p + 1, e - p - 1);
}

// Code page 1251 packet text to UTF-8 for the parser. Character references
// from 128 to 255 are taken as cp1251 bytes and replaced by the character
// they stand for; every other reference is left to the parser.
std::string Cp1251PacketToUtf8(const std::string& raw) {
    std::string out;
    out.reserve(raw.size() + raw.size() / 8);
    size_t i = 0;
    while (i < raw.size()) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == '&' && i + 2 < raw.size() && raw[i + 1] == '#') {
            size_t j = i + 2;
            bool hex = j < raw.size() && (raw[j] == 'x' || raw[j] == 'X');
            if (hex) ++j;
            size_t start = j;
            unsigned long v = 0;
            while (j < raw.size() && j - start < 8 &&
                   (hex ? std::isxdigit(static_cast<unsigned char>(raw[j])) != 0
                        : (raw[j] >= '0' && raw[j] <= '9'))) {
                char d = raw[j];
                unsigned digit = d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10;
                v = v * (hex ? 16 : 10) + digit;
                ++j;
            }
            if (j > start && j < raw.size() && raw[j] == ';' && v >= 128 && v <= 255) {
                char b = static_cast<char>(v);
                out += Cp1251ToUtf8(std::string_view(&b, 1));
                i = j + 1;
                continue;
            }
            out += raw[i++];
            continue;
        }
        if (c < 128) {
            out += raw[i++];
            continue;
        }
        size_t j = i;
        while (j < raw.size() && static_cast<unsigned char>(raw[j]) >= 128) ++j;
        out += Cp1251ToUtf8(std::string_view(raw).substr(i, j - i));
        i = j;
    }
    return out;
}

// ---------------------------------------------------------------- base64

bool Base64Decode(const std::string& in, std::string& out) {
    out.clear();
    uint32_t acc = 0;
    int bits = 0;
    bool padding = false;
    for (char ch : in) {
        if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') continue;
        if (ch == '=') { padding = true; continue; }
        if (padding) return false;
        int v;
        if (ch >= 'A' && ch <= 'Z') v = ch - 'A';
        else if (ch >= 'a' && ch <= 'z') v = ch - 'a' + 26;
        else if (ch >= '0' && ch <= '9') v = ch - '0' + 52;
        else if (ch == '+') v = 62;
        else if (ch == '/') v = 63;
        else return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return true;
}

// ---------------------------------------------------------------- types

TFieldType MapFieldType(const std::string& type, const std::string& sub, int width) {
    if (type == "string") {
        if (IEquals(sub, "FixedChar")) return TFieldType::ftFixedChar;
        if (IEquals(sub, "Guid")) return TFieldType::ftGuid;
        return TFieldType::ftString;
    }
    if (type == "string.uni") return TFieldType::ftWideString;
    if (type == "i1" || type == "i2") return TFieldType::ftSmallint;
    if (type == "i4") return IEquals(sub, "Autoinc") ? TFieldType::ftAutoInc : TFieldType::ftInteger;
    if (type == "i8") return TFieldType::ftLargeint;
    if (type == "ui1" || type == "ui2") return TFieldType::ftWord;
    if (type == "ui4" || type == "ui8") return TFieldType::ftLargeint;
    if (type == "boolean") return TFieldType::ftBoolean;
    if (type == "r4" || type == "r8") return IEquals(sub, "Money") ? TFieldType::ftCurrency : TFieldType::ftFloat;
    if (type == "fixed") return TFieldType::ftBCD;
    if (type == "fixedFMT") return TFieldType::ftFMTBcd;
    if (type == "date") return TFieldType::ftDate;
    if (type == "time") return TFieldType::ftTime;
    if (type == "dateTime") return TFieldType::ftDateTime;
    if (type == "SQLdateTime") return TFieldType::ftTimeStamp;
    if (type == "bin.hex") {
        if (IEquals(sub, "Text") || IEquals(sub, "WideText")) return TFieldType::ftMemo;
        if (IEquals(sub, "Formatted")) return TFieldType::ftFmtMemo;
        if (IEquals(sub, "Graphics")) return TFieldType::ftGraphic;
        if (IEquals(sub, "Binary")) return TFieldType::ftBlob;
        if (IEquals(sub, "Ole")) return TFieldType::ftParadoxOle;
        if (IEquals(sub, "dBASEOle")) return TFieldType::ftDBaseOle;
        if (IEquals(sub, "TypedBinary")) return TFieldType::ftTypedBinary;
        if (sub.empty() && width > 0) return TFieldType::ftBytes;
        return TFieldType::ftBlob;
    }
    if (type == "nested") return TFieldType::ftDataSet;
    return TFieldType::ftUnknown;
}


// ---------------------------------------------------------------- values

bool ParseInt64(const std::string& s, int64_t& v) {
    std::string t = Trim(s);
    if (!t.empty() && t[0] == '+') t.erase(0, 1);
    auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    return r.ec == std::errc() && r.ptr == t.data() + t.size() && !t.empty();
}

bool ParseDouble(const std::string& s, double& v) {
    std::string t = Trim(s);
    if (!t.empty() && t[0] == '+') t.erase(0, 1);
    for (char& c : t)
        if (c == ',') c = '.';
    auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    return r.ec == std::errc() && r.ptr == t.data() + t.size() && !t.empty();
}

// Exact decimal text: optional sign, digits, optional '.' and digits.
bool NormalizeDecimal(const std::string& s, std::string& out) {
    std::string t = Trim(s);
    for (char& c : t)
        if (c == ',') c = '.';
    size_t i = 0;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
    bool digits = false, dot = false;
    for (size_t j = i; j < t.size(); ++j) {
        if (t[j] >= '0' && t[j] <= '9') digits = true;
        else if (t[j] == '.' && !dot) dot = true;
        else {
            // An exponent form: read as a double and print it plainly.
            double d;
            if (!ParseDouble(t, d)) return false;
            out = FloatToStr(d);
            return true;
        }
    }
    if (!digits) return false;
    out = t[0] == '+' ? t.substr(1) : t;
    return true;
}

// Reads one value text of a field; false when it cannot be read.
bool ReadValue(const TPacketFieldDef& def, const std::string& text, Variant& v) {
    switch (def.DataType) {
        case TFieldType::ftString: case TFieldType::ftFixedChar: case TFieldType::ftGuid:
        case TFieldType::ftWideString: case TFieldType::ftMemo: case TFieldType::ftFmtMemo:
            v = Variant(text);
            return true;
        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftAutoInc:
        case TFieldType::ftWord: {
            int64_t i;
            if (!ParseInt64(text, i) || i < INT32_MIN || i > INT32_MAX) return false;
            v = Variant(static_cast<int32_t>(i));
            return true;
        }
        case TFieldType::ftLargeint: {
            int64_t i;
            if (!ParseInt64(text, i)) return false;
            v = Variant(i);
            return true;
        }
        case TFieldType::ftBoolean: {
            std::string t = Trim(text);
            if (IEquals(t, "TRUE") || t == "1") v = Variant(true);
            else if (IEquals(t, "FALSE") || t == "0") v = Variant(false);
            else return false;
            return true;
        }
        case TFieldType::ftFloat: {
            double d;
            if (!ParseDouble(text, d)) return false;
            v = Variant(d);
            return true;
        }
        case TFieldType::ftCurrency: {
            std::string dec;
            if (!NormalizeDecimal(text, dec)) return false;
            try {
                v = Variant(Currency::FromString(dec));
            } catch (const Exception&) {
                return false;
            }
            return true;
        }
        case TFieldType::ftBCD: case TFieldType::ftFMTBcd: {
            std::string dec;
            if (!NormalizeDecimal(text, dec)) return false;
            v = Variant(dec);
            return true;
        }
        case TFieldType::ftDate: case TFieldType::ftTime: case TFieldType::ftDateTime:
        case TFieldType::ftTimeStamp: {
            const TPacketDateKind kind = def.DataType == TFieldType::ftDate   ? TPacketDateKind::Date
                                         : def.DataType == TFieldType::ftTime ? TPacketDateKind::Time
                                                                              : TPacketDateKind::DateTime;
            TDateTime dt;
            if (!ParsePacketDateText(kind, text, dt)) return false;
            v = Variant::FromDate(dt);
            return true;
        }
        default:
            if (IsBinaryPacketType(def.DataType)) {
                std::string bytes;
                if (!Base64Decode(text, bytes)) return false;
                v = Variant(bytes);
                return true;
            }
            // Types the server does not take (nested datasets and the like):
            // the value stays null; the table for it cannot be made anyway.
            v = Variant::Null();
            return true;
    }
}

int AttrInt(const pugi::xml_node& n, const char* name) {
    const char* s = n.attribute(name).as_string("");
    int64_t v;
    return ParseInt64(s, v) && v >= 0 && v <= INT32_MAX ? static_cast<int>(v) : 0;
}

}  // namespace

// ---------------------------------------------------------------- TXmlDataPacket

namespace {

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EInOutError("Cannot open file \"" + path + "\"");
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw EInOutError("Cannot read file \"" + path + "\"");
    return ss.str();
}

}  // namespace

void TXmlDataPacket::LoadFromFile(const std::string& path) { LoadFromString(ReadWholeFile(path)); }

std::vector<TPacketFieldDef> TXmlDataPacket::ReadFieldDefs(const std::string& path) {
    std::string xml = ReadWholeFile(path);
    size_t rows = xml.find("<ROWDATA");
    if (rows != std::string::npos) {
        xml.resize(rows);
        xml += "</DATAPACKET>";
    }
    TXmlDataPacket p;
    p.LoadFromString(xml);
    return p.defs_;
}

void TXmlDataPacket::Close() {
    defs_.clear();
    rows_.clear();
    ClearFields();
    cur_ = 0;
    active_ = false;
}

void TXmlDataPacket::LoadFromString(const std::string& xmlIn) {
    Close();
    std::string xml = xmlIn;
    bool utf8 = false;
    if (xml.size() >= 3 && xml.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        xml.erase(0, 3);
        utf8 = true;
    } else if (xml.size() >= 2 && ((xml[0] == '\xFF' && xml[1] == '\xFE') || (xml[0] == '\xFE' && xml[1] == '\xFF'))) {
        throw EReadError("Data packet in UTF-16 is not supported");
    }
    std::string enc = DeclaredEncoding(xml);
    if (IEquals(enc, "UTF-8") || IEquals(enc, "UTF8")) utf8 = true;
    if (!utf8) xml = Cp1251PacketToUtf8(xml);
    auto toCp = [](const char* s) { return Utf8ToCp1251(s); };

    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!r) throw EReadError(std::string("Invalid data packet: ") + r.description());
    pugi::xml_node packet = doc.child("DATAPACKET");
    if (!packet) throw EReadError("Invalid data packet: no DATAPACKET element");
    pugi::xml_node fields = packet.child("METADATA").child("FIELDS");
    if (!fields) throw EReadError("Invalid data packet: no METADATA/FIELDS element");
    pugi::xml_node params = packet.child("METADATA").child("PARAMS");
    if (params && !Trim(params.attribute("CHANGE_LOG").as_string("")).empty())
        throw EReadError("Data packet with an unmerged change log is not supported");

    std::unordered_map<std::string, size_t> byName;
    for (pugi::xml_node f : fields.children("FIELD")) {
        TPacketFieldDef def;
        def.Name = toCp(f.attribute("attrname").as_string(""));
        std::string type = f.attribute("fieldtype").as_string("");
        std::string sub = f.attribute("SUBTYPE").as_string("");
        int width = AttrInt(f, "WIDTH");
        def.DataType = MapFieldType(type, sub, width);
        if (def.DataType == TFieldType::ftBCD || def.DataType == TFieldType::ftFMTBcd) {
            def.Precision = width;
            def.Size = AttrInt(f, "DECIMALS");
        } else if (def.DataType == TFieldType::ftWideString) {
            def.Size = width / 2;
        } else {
            def.Size = width;
        }
        def.Required = IEquals(f.attribute("required").as_string(""), "true");
        if (def.Name.empty()) throw EReadError("Invalid data packet: field without a name");
        // Values are looked up by the attribute name as the parser gives it.
        byName.emplace(f.attribute("attrname").as_string(""), defs_.size());
        defs_.push_back(std::move(def));
    }

    size_t rowNo = 0;
    for (pugi::xml_node row : packet.child("ROWDATA").children("ROW")) {
        std::vector<Variant> values(defs_.size(), Variant::Null());
        for (pugi::xml_attribute a : row.attributes()) {
            auto it = byName.find(a.name());
            if (it == byName.end()) continue;  // RowState and the like
            const TPacketFieldDef& def = defs_[it->second];
            std::string text = toCp(a.value());
            if (ReadValue(def, text, values[it->second])) continue;
            if (!onUnreadable_)
                throw EReadError(Format("Invalid value '%s' of field %s in row %d of the data packet",
                                        {text, def.Name, static_cast<int32_t>(rowNo)}));
            values[it->second] = Variant::Null();
            onUnreadable_(TUnreadableValue{rowNo, def.Name, text});
        }
        rows_.push_back(std::move(values));
        ++rowNo;
    }

    for (size_t i = 0; i < defs_.size(); ++i) {
        auto field = std::make_unique<TField>(this, defs_[i].Name, defs_[i].DataType, defs_[i].Size);
        field->SetPrecision(defs_[i].Precision);
        field->SetFieldNo(static_cast<int>(i) + 1);
        field->Required = defs_[i].Required;
        AddField(std::move(field));
    }
    active_ = true;
    cur_ = 0;
}

Variant TXmlDataPacket::GetFieldValue(const TField& field) const {
    if (cur_ >= rows_.size()) return Variant::Null();
    return rows_[cur_].at(static_cast<size_t>(field.Index()));
}

void TXmlDataPacket::SetFieldValue(TField& field, const Variant& value) {
    if (cur_ >= rows_.size()) throw EDatabaseError("Dataset has no current record");
    rows_[cur_].at(static_cast<size_t>(field.Index())) = value;
}
