#include "replication/packet/xml_data_packet.h"

#include <pugixml.hpp>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "core/cp1251.h"
#include "core/currency.h"
#include "core/datetime.h"
#include "core/exceptions.h"
#include "core/format.h"

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

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const std::string& in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t n = (static_cast<unsigned char>(in[i]) << 16) |
                     (static_cast<unsigned char>(in[i + 1]) << 8) | static_cast<unsigned char>(in[i + 2]);
        out += kB64[(n >> 18) & 63];
        out += kB64[(n >> 12) & 63];
        out += kB64[(n >> 6) & 63];
        out += kB64[n & 63];
    }
    if (i < in.size()) {
        uint32_t n = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += kB64[(n >> 18) & 63];
        out += kB64[(n >> 12) & 63];
        out += i + 1 < in.size() ? kB64[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

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

struct TypeText {
    const char* fieldtype;
    const char* subtype;  // nullptr: none
};

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

bool IsBinaryType(TFieldType t) {
    switch (t) {
        case TFieldType::ftBlob: case TFieldType::ftGraphic: case TFieldType::ftParadoxOle:
        case TFieldType::ftDBaseOle: case TFieldType::ftTypedBinary: case TFieldType::ftBytes:
        case TFieldType::ftVarBytes:
            return true;
        default:
            return false;
    }
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

bool ReadDigits(const std::string& s, size_t& pos, size_t count, int& v) {
    if (pos + count > s.size()) return false;
    v = 0;
    for (size_t i = 0; i < count; ++i) {
        char c = s[pos + i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    pos += count;
    return true;
}

// "yyyymmdd" or "yyyy-mm-dd".
bool ParseDatePart(const std::string& s, int& y, int& m, int& d) {
    size_t p = 0;
    if (!ReadDigits(s, p, 4, y)) return false;
    bool dashes = p < s.size() && s[p] == '-';
    if (dashes) ++p;
    if (!ReadDigits(s, p, 2, m)) return false;
    if (dashes) {
        if (p >= s.size() || s[p] != '-') return false;
        ++p;
    }
    if (!ReadDigits(s, p, 2, d)) return false;
    return p == s.size();
}

// "hh:nn[:ss[mmm|.mmm|,mmm]]".
bool ParseTimePart(const std::string& s, int& h, int& n, int& sec, int& ms) {
    size_t p = 0;
    sec = ms = 0;
    if (!ReadDigits(s, p, 2, h)) return false;
    if (p >= s.size() || s[p] != ':') return false;
    ++p;
    if (!ReadDigits(s, p, 2, n)) return false;
    if (p == s.size()) return true;
    if (s[p] != ':') return false;
    ++p;
    if (!ReadDigits(s, p, 2, sec)) return false;
    if (p == s.size()) return true;
    if (s[p] == '.' || s[p] == ',') ++p;
    size_t start = p;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
    if (p != s.size() || p == start) return false;
    std::string frac = s.substr(start, std::min<size_t>(3, p - start));
    while (frac.size() < 3) frac += '0';
    ms = std::stoi(frac);
    return true;
}

bool ParseDateTimeValue(TFieldType type, const std::string& raw, TDateTime& out) {
    std::string s = Trim(raw);
    int y = 1899, mo = 12, d = 30, h = 0, n = 0, sec = 0, ms = 0;
    try {
        if (type == TFieldType::ftTime) {
            size_t t = s.find('T');
            std::string tp = t == std::string::npos ? s : s.substr(t + 1);
            if (!ParseTimePart(tp, h, n, sec, ms)) return false;
            out = EncodeDateTime(1899, 12, 30, h, n, sec, ms);
            return true;
        }
        size_t t = s.find_first_of("T ");
        std::string dp = t == std::string::npos ? s : s.substr(0, t);
        if (!ParseDatePart(dp, y, mo, d)) return false;
        if (t != std::string::npos && !ParseTimePart(s.substr(t + 1), h, n, sec, ms)) return false;
        if (type == TFieldType::ftDate) h = n = sec = ms = 0;
        out = EncodeDateTime(y, mo, d, h, n, sec, ms);
        return true;
    } catch (const EConvertError&) {
        return false;
    }
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
            TDateTime dt;
            if (!ParseDateTimeValue(def.DataType, text, dt)) return false;
            v = Variant::FromDate(dt);
            return true;
        }
        default:
            if (IsBinaryType(def.DataType)) {
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

// ---------------------------------------------------------------- writer helpers

std::string FormatDateValue(TFieldType type, TDateTime dt) {
    DateParts p = DecodeDateTime(dt);
    char date[16], time[24];
    std::snprintf(date, sizeof date, "%04d%02d%02d", p.year, p.month, p.day);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d%03d", p.hour, p.minute, p.second, p.msec);
    if (type == TFieldType::ftDate) return date;
    if (type == TFieldType::ftTime) return time;
    return std::string(date) + "T" + time;
}

std::string FormatDouble(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

std::string ValueText(const TPacketFieldDef& def, const Variant& v) {
    switch (def.DataType) {
        case TFieldType::ftBoolean: return v.AsBoolean() ? "TRUE" : "FALSE";
        case TFieldType::ftFloat: return FormatDouble(v.AsDouble());
        case TFieldType::ftCurrency: return v.AsCurrency().ToString();
        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftAutoInc:
        case TFieldType::ftWord: case TFieldType::ftLargeint:
            return std::to_string(v.AsInt64());
        case TFieldType::ftDate: case TFieldType::ftTime: case TFieldType::ftDateTime:
        case TFieldType::ftTimeStamp:
            return FormatDateValue(def.DataType, v.AsDateTime());
        default:
            if (IsBinaryType(def.DataType)) return Base64Encode(v.AsString());
            return v.AsString();
    }
}

// Escapes cp1251 text for an attribute value and encodes it.
void AppendAttrText(std::string& out, const std::string& cp, TPacketEncoding enc) {
    for (char ch : cp) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (ch) {
            case '&': out += "&amp;"; continue;
            case '<': out += "&lt;"; continue;
            case '>': out += "&gt;"; continue;
            case '"': out += "&quot;"; continue;
            default: break;
        }
        if (c < 32) {
            out += "&#" + std::to_string(c) + ";";
        } else if (c < 128) {
            out += ch;
        } else if (enc == TPacketEncoding::Escaped) {
            out += "&#" + std::to_string(c) + ";";
        } else if (enc == TPacketEncoding::Utf8) {
            out += Cp1251ToUtf8(std::string_view(&ch, 1));
        } else {
            out += ch;
        }
    }
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
            if (!ReadValue(def, text, values[it->second]))
                throw EReadError(Format("Invalid value '%s' of field %s in row %d of the data packet",
                                        {text, def.Name, static_cast<int32_t>(rowNo)}));
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

// ---------------------------------------------------------------- writer

std::string WriteXmlDataPacket(const std::vector<TPacketFieldDef>& fields,
                               const std::vector<std::vector<Variant>>& rows, TPacketEncoding encoding) {
    std::string out;
    switch (encoding) {
        case TPacketEncoding::Cp1251:
            out += "<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"yes\"?>";
            break;
        case TPacketEncoding::Escaped: out += "<?xml version=\"1.0\" standalone=\"yes\"?>"; break;
        case TPacketEncoding::Utf8:
            out += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>";
            break;
    }
    out += "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
    for (const TPacketFieldDef& f : fields) {
        TypeText tt = FieldTypeText(f.DataType);
        out += "<FIELD attrname=\"";
        AppendAttrText(out, f.Name, encoding);
        out += "\" fieldtype=\"";
        out += tt.fieldtype;
        out += "\"";
        if (f.DataType == TFieldType::ftBCD || f.DataType == TFieldType::ftFMTBcd) {
            out += " DECIMALS=\"" + std::to_string(f.Size) + "\" WIDTH=\"" + std::to_string(f.Precision) + "\"";
        } else if (f.DataType == TFieldType::ftWideString) {
            out += " WIDTH=\"" + std::to_string(f.Size * 2) + "\"";
        } else if (f.Size > 0 || f.DataType == TFieldType::ftString || f.DataType == TFieldType::ftFixedChar) {
            out += " WIDTH=\"" + std::to_string(f.Size) + "\"";
        }
        if (f.Required) out += " required=\"true\"";
        if (tt.subtype) {
            out += " SUBTYPE=\"";
            out += tt.subtype;
            out += "\"";
        }
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
    std::string bytes = WriteXmlDataPacket(fields, rows, encoding);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw EInOutError("Cannot create file \"" + path + "\"");
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw EInOutError("Cannot write file \"" + path + "\"");
}
