// A Variant in the sense the rest of the server relies on: empty and null
// kept apart, the integer widths, single, double, currency, date, Boolean,
// cp1251 string, wide string and one-dimensional arrays.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/currency.h"
#include "core/datetime.h"

enum class VarType {
    Empty, Null, ShortInt, SmallInt, Integer, Int64, Byte, Word, LongWord, UInt64,
    Single, Double, Currency, Date, Boolean, String, WideString, Array
};

// Name of a variant type as conversion errors show it ("Integer", "Null"...).
const char* VarTypeName(VarType t);

class Variant {
public:
    Variant() = default;                       // empty
    static Variant Null();
    static Variant Empty() { return Variant(); }

    Variant(bool v) : type_(VarType::Boolean), v_(static_cast<int64_t>(v)) {}
    Variant(int8_t v) : type_(VarType::ShortInt), v_(static_cast<int64_t>(v)) {}
    Variant(int16_t v) : type_(VarType::SmallInt), v_(static_cast<int64_t>(v)) {}
    Variant(int32_t v) : type_(VarType::Integer), v_(static_cast<int64_t>(v)) {}
    Variant(int64_t v) : type_(VarType::Int64), v_(v) {}
    Variant(long long v) : type_(VarType::Int64), v_(static_cast<int64_t>(v)) {}
    Variant(uint8_t v) : type_(VarType::Byte), v_(static_cast<int64_t>(v)) {}
    Variant(uint16_t v) : type_(VarType::Word), v_(static_cast<int64_t>(v)) {}
    Variant(uint32_t v) : type_(VarType::LongWord), v_(static_cast<int64_t>(v)) {}
    Variant(uint64_t v) : type_(VarType::UInt64), v_(static_cast<int64_t>(v)) {}
    Variant(float v) : type_(VarType::Single), v_(static_cast<double>(v)) {}
    Variant(double v) : type_(VarType::Double), v_(v) {}
    Variant(Currency v) : type_(VarType::Currency), v_(v.raw) {}
    Variant(const char* s) : type_(VarType::String), v_(std::string(s)) {}
    Variant(std::string s) : type_(VarType::String), v_(std::move(s)) {}
    Variant(std::u16string s) : type_(VarType::WideString), v_(std::move(s)) {}
    Variant(std::vector<Variant> items);        // array
    static Variant FromDate(TDateTime d);       // a date variant
    static Variant FromSingle(float f) { return Variant(f); }
    // A variant array of Count empty items (VarArrayCreate([0, Count-1], varVariant)).
    static Variant CreateArray(size_t count);

    VarType Type() const { return type_; }
    bool IsEmpty() const { return type_ == VarType::Empty; }
    bool IsNull() const { return type_ == VarType::Null; }
    bool IsEmptyOrNull() const { return IsEmpty() || IsNull(); }
    bool IsArray() const { return type_ == VarType::Array; }
    bool IsOrdinal() const;   // any integer type or Boolean
    bool IsFloat() const;     // single, double, currency or date
    bool IsStringType() const { return type_ == VarType::String || type_ == VarType::WideString; }

    // Conversions; each raises EVariantError for null and for types with no
    // conversion, and EConvertError for text that is no number or date.
    int32_t AsInteger() const;
    int64_t AsInt64() const;
    double AsDouble() const;
    Currency AsCurrency() const;
    TDateTime AsDateTime() const;
    bool AsBoolean() const;
    std::string AsString() const;   // cp1251 text
    std::u16string AsWideString() const;

    // Array access.
    size_t ArrayLength() const;
    const Variant& operator[](size_t i) const;
    Variant& operator[](size_t i);
    const std::vector<Variant>& Items() const;

    // Variant equality: same kind of value and equal (numbers across widths,
    // text by bytes); null equals only null.
    bool operator==(const Variant& o) const;
    bool operator!=(const Variant& o) const { return !(*this == o); }

private:
    VarType type_ = VarType::Empty;
    std::variant<std::monostate, int64_t, double, std::string, std::u16string,
                 std::shared_ptr<std::vector<Variant>>>
        v_;

    [[noreturn]] void CannotConvert(VarType to) const;
    int64_t IntPart() const { return std::get<int64_t>(v_); }
};

// Text of a variant; null and empty give the empty text.
std::string VarToStr(const Variant& v);
// Default when null (empty gives 0); otherwise the integer conversion.
int32_t VarToIntDef(const Variant& v, int32_t def);
int64_t VarToInt64Def(const Variant& v, int64_t def);
// A copy of A when the condition holds, else of B.
inline Variant IfThenVar(bool cond, const Variant& a, const Variant& b) { return cond ? a : b; }
inline bool VarIsNull(const Variant& v) { return v.IsNull(); }
inline bool VarIsEmpty(const Variant& v) { return v.IsEmpty(); }
