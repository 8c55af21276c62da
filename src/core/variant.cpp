#include "core/variant.h"

#include <cmath>

#include "core/exceptions.h"
#include "core/format.h"
#include "core/cp1251.h"

const char* VarTypeName(VarType t) {
    switch (t) {
        case VarType::Empty: return "Empty";
        case VarType::Null: return "Null";
        case VarType::ShortInt: return "ShortInt";
        case VarType::SmallInt: return "Smallint";
        case VarType::Integer: return "Integer";
        case VarType::Int64: return "Int64";
        case VarType::Byte: return "Byte";
        case VarType::Word: return "Word";
        case VarType::LongWord: return "LongWord";
        case VarType::UInt64: return "UInt64";
        case VarType::Single: return "Single";
        case VarType::Double: return "Double";
        case VarType::Currency: return "Currency";
        case VarType::Date: return "Date";
        case VarType::Boolean: return "Boolean";
        case VarType::String: return "String";
        case VarType::WideString: return "OleStr";
        case VarType::Array: return "Array Variant";
    }
    return "Unknown";
}

Variant Variant::Null() {
    Variant v;
    v.type_ = VarType::Null;
    return v;
}

Variant::Variant(std::vector<Variant> items)
    : type_(VarType::Array), v_(std::make_shared<std::vector<Variant>>(std::move(items))) {}

Variant Variant::CreateArray(size_t count) { return Variant(std::vector<Variant>(count)); }

Variant Variant::FromDate(TDateTime d) {
    Variant v(d);
    v.type_ = VarType::Date;
    return v;
}

bool Variant::IsOrdinal() const {
    switch (type_) {
        case VarType::ShortInt: case VarType::SmallInt: case VarType::Integer: case VarType::Int64:
        case VarType::Byte: case VarType::Word: case VarType::LongWord: case VarType::UInt64:
        case VarType::Boolean:
            return true;
        default:
            return false;
    }
}

bool Variant::IsFloat() const {
    return type_ == VarType::Single || type_ == VarType::Double || type_ == VarType::Currency ||
           type_ == VarType::Date;
}

void Variant::CannotConvert(VarType to) const {
    throw EVariantError(Format("Could not convert variant of type (%s) into type (%s)",
                               {VarTypeName(type_), VarTypeName(to)}));
}

namespace {

int64_t RoundBankers(double d) { return static_cast<int64_t>(std::nearbyint(d)); }

bool ParseInt64(const std::string& s, int64_t& out) {
    std::string t = s;
    size_t b = t.find_first_not_of(' '), e = t.find_last_not_of(' ');
    if (b == std::string::npos) return false;
    t = t.substr(b, e - b + 1);
    size_t i = 0;
    bool neg = false;
    if (t[i] == '-' || t[i] == '+') { neg = t[i] == '-'; ++i; }
    int base = 10;
    if (i < t.size() && t[i] == '$') { base = 16; ++i; }
    else if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) { base = 16; i += 2; }
    if (i >= t.size()) return false;
    unsigned __int128 acc = 0;
    for (; i < t.size(); ++i) {
        char c = t[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        acc = acc * base + d;
        if (acc > static_cast<unsigned __int128>(INT64_MAX) + 1) return false;
    }
    if (!neg && acc > static_cast<unsigned __int128>(INT64_MAX)) return false;
    out = neg ? static_cast<int64_t>(-static_cast<__int128>(acc)) : static_cast<int64_t>(acc);
    return true;
}

double ParseFloat(const std::string& s) {
    std::string t = s;
    for (char& c : t)
        if (c == ',') c = '.';
    size_t b = t.find_first_not_of(' ');
    if (b == std::string::npos) throw EConvertError("'" + s + "' is not a valid floating point value");
    char* end = nullptr;
    double d = std::strtod(t.c_str() + b, &end);
    while (end && *end == ' ') ++end;
    if (end == t.c_str() + b || (end && *end)) throw EConvertError("'" + s + "' is not a valid floating point value");
    return d;
}

}  // namespace

int64_t Variant::AsInt64() const {
    switch (type_) {
        case VarType::Empty: return 0;
        case VarType::Boolean: return IntPart() ? -1 : 0;
        case VarType::ShortInt: case VarType::SmallInt: case VarType::Integer: case VarType::Int64:
        case VarType::Byte: case VarType::Word: case VarType::LongWord: case VarType::UInt64:
            return IntPart();
        case VarType::Single: case VarType::Double: case VarType::Date: {
            double d = std::get<double>(v_);
            if (!std::isfinite(d) || std::fabs(d) > 9.2e18) CannotConvert(VarType::Int64);
            return RoundBankers(d);
        }
        case VarType::Currency: {
            int64_t r = IntPart();
            int64_t q = r / Currency::kScale, m = r % Currency::kScale;
            // round half to even, as the variant conversion does
            if (std::llabs(m) > 5000 || (std::llabs(m) == 5000 && (q & 1))) q += r < 0 ? -1 : 1;
            return q;
        }
        case VarType::String: case VarType::WideString: {
            std::string s = AsString();
            int64_t out;
            if (ParseInt64(s, out)) return out;
            throw EConvertError("'" + s + "' is not a valid integer value");
        }
        default:
            CannotConvert(VarType::Int64);
    }
}

int32_t Variant::AsInteger() const {
    if (type_ == VarType::String || type_ == VarType::WideString) {
        std::string s = AsString();
        int64_t out;
        if (ParseInt64(s, out) && out >= INT32_MIN && out <= INT32_MAX) return static_cast<int32_t>(out);
        throw EConvertError("'" + s + "' is not a valid integer value");
    }
    int64_t v = AsInt64();
    if (v < INT32_MIN || v > INT32_MAX) {
        if (type_ == VarType::Int64 || type_ == VarType::UInt64 || type_ == VarType::LongWord)
            return static_cast<int32_t>(v);  // ordinal narrowing keeps the low bits
        throw ERangeError("Range check error");
    }
    return static_cast<int32_t>(v);
}

double Variant::AsDouble() const {
    switch (type_) {
        case VarType::Empty: return 0.0;
        case VarType::Boolean: return IntPart() ? -1.0 : 0.0;
        case VarType::Single: case VarType::Double: case VarType::Date: return std::get<double>(v_);
        case VarType::Currency: return static_cast<double>(IntPart()) / Currency::kScale;
        case VarType::UInt64: return static_cast<double>(static_cast<uint64_t>(IntPart()));
        case VarType::String: case VarType::WideString: return ParseFloat(AsString());
        default:
            if (IsOrdinal()) return static_cast<double>(IntPart());
            CannotConvert(VarType::Double);
    }
}

Currency Variant::AsCurrency() const {
    switch (type_) {
        case VarType::Currency: return Currency::FromRaw(IntPart());
        case VarType::String: case VarType::WideString: return Currency::FromString(AsString());
        case VarType::Single: case VarType::Double: case VarType::Date:
            return Currency::FromDouble(std::get<double>(v_));
        case VarType::Empty: return Currency();
        default:
            if (IsOrdinal()) return Currency::FromInt(AsInt64());
            CannotConvert(VarType::Currency);
    }
}

TDateTime Variant::AsDateTime() const {
    switch (type_) {
        case VarType::String: case VarType::WideString: return TextToDateTime(AsString());
        default:
            if (type_ == VarType::Null) CannotConvert(VarType::Date);
            return AsDouble();
    }
}

bool Variant::AsBoolean() const {
    switch (type_) {
        case VarType::Empty: return false;
        case VarType::String: case VarType::WideString: {
            std::string s = AsString();
            if (SameText1251(s, "true")) return true;
            if (SameText1251(s, "false")) return false;
            int64_t n;
            if (ParseInt64(s, n)) return n != 0;
            throw EConvertError("'" + s + "' is not a valid boolean value");
        }
        case VarType::Single: case VarType::Double: case VarType::Date:
            return std::get<double>(v_) != 0.0;
        default:
            if (IsOrdinal() || type_ == VarType::Currency) return IntPart() != 0;
            CannotConvert(VarType::Boolean);
    }
}

std::string Variant::AsString() const {
    switch (type_) {
        case VarType::Empty: return "";
        case VarType::Boolean: return IntPart() ? "True" : "False";
        case VarType::String: return std::get<std::string>(v_);
        case VarType::WideString: return Utf16ToCp1251(std::get<std::u16string>(v_));
        case VarType::Single: return FloatToStr(static_cast<float>(std::get<double>(v_)), 7);
        case VarType::Double: return FloatToStr(std::get<double>(v_));
        case VarType::Date: return DateTimeToText(std::get<double>(v_));
        case VarType::Currency: return Currency::FromRaw(IntPart()).ToString();
        case VarType::UInt64: return std::to_string(static_cast<uint64_t>(IntPart()));
        default:
            if (IsOrdinal()) return std::to_string(IntPart());
            CannotConvert(VarType::String);
    }
}

std::u16string Variant::AsWideString() const {
    if (type_ == VarType::WideString) return std::get<std::u16string>(v_);
    return Cp1251ToUtf16(AsString());
}

size_t Variant::ArrayLength() const {
    if (type_ != VarType::Array) throw EVariantError("Variant is not an array");
    return std::get<std::shared_ptr<std::vector<Variant>>>(v_)->size();
}

const std::vector<Variant>& Variant::Items() const {
    if (type_ != VarType::Array) throw EVariantError("Variant is not an array");
    return *std::get<std::shared_ptr<std::vector<Variant>>>(v_);
}

const Variant& Variant::operator[](size_t i) const {
    const auto& items = Items();
    if (i >= items.size()) throw EVariantError("Variant array index out of bounds");
    return items[i];
}

Variant& Variant::operator[](size_t i) {
    if (type_ != VarType::Array) throw EVariantError("Variant is not an array");
    auto& p = std::get<std::shared_ptr<std::vector<Variant>>>(v_);
    if (p.use_count() > 1) p = std::make_shared<std::vector<Variant>>(*p);  // copy on write
    if (i >= p->size()) throw EVariantError("Variant array index out of bounds");
    return (*p)[i];
}

bool Variant::operator==(const Variant& o) const {
    if (IsNull() || o.IsNull()) return IsNull() && o.IsNull();
    if (IsEmpty() || o.IsEmpty()) return IsEmpty() && o.IsEmpty();
    if (IsArray() || o.IsArray()) return IsArray() && o.IsArray() && Items() == o.Items();
    if (IsStringType() && o.IsStringType()) return AsString() == o.AsString();
    if (IsStringType() || o.IsStringType()) {
        try {
            if (IsOrdinal() || o.IsOrdinal()) return AsInt64() == o.AsInt64();
            return AsDouble() == o.AsDouble();
        } catch (const Exception&) {
            return false;
        }
    }
    if (type_ == VarType::Currency && o.type_ == VarType::Currency) return IntPart() == o.IntPart();
    if (IsOrdinal() && o.IsOrdinal()) return AsInt64() == o.AsInt64();
    return AsDouble() == o.AsDouble();
}

std::string VarToStr(const Variant& v) { return v.IsNull() ? std::string() : v.AsString(); }

int32_t VarToIntDef(const Variant& v, int32_t def) { return v.IsNull() ? def : v.AsInteger(); }

int64_t VarToInt64Def(const Variant& v, int64_t def) { return v.IsNull() ? def : v.AsInt64(); }
