#include "memtable/fields.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/cp1251.h"
#include "core/date_text.h"
#include "core/exceptions.h"
#include "core/format.h"
#include "memtable/buffered_dataset.h"

namespace {

const char* const kTypeNames[] = {
    "Unknown", "String", "SmallInt", "Integer", "Word", "Boolean", "Float", "Currency", "BCD",
    "Date", "Time", "DateTime", "Bytes", "VarBytes", "AutoInc", "Blob", "Memo", "Graphic",
    "FmtMemo", "ParadoxOle", "dBaseOle", "TypedBinary", "Cursor", "FixedChar", "WideString",
    "LargeInt", "ADT", "Array", "Reference", "DataSet", "HugeBlob", "HugeClob", "Variant",
    "Interface", "Dispatch", "Guid", "SQLTimeStamp", "FMTBcdField"};
constexpr int kTypeNameCount = sizeof kTypeNames / sizeof kTypeNames[0];

// Days from 1 January of year 1 to 30 December 1899, plus one.
constexpr int32_t kDateDelta = 693594;
constexpr double kMSecsPerDay = 86400000.0;
constexpr int kMaxStringSize = 8192;

[[noreturn]] void BadDate(const std::string& s, const char* what) {
    throw EConvertError("'" + s + "' is not a valid " + what);
}

}  // namespace

const char* FieldTypeShortName(TFieldType t) {
    int i = static_cast<int>(t);
    return i >= 0 && i < kTypeNameCount ? kTypeNames[i] : "";
}

bool FindFieldTypeByShortName(const std::string& name, TFieldType& type) {
    for (int i = 0; i < kTypeNameCount; ++i)
        if (name == kTypeNames[i]) {
            type = static_cast<TFieldType>(i);
            return true;
        }
    return false;
}

int FieldDataSize(TFieldType type, int size) {
    switch (type) {
        case TFieldType::ftString: case TFieldType::ftFixedChar: case TFieldType::ftWideString:
            return size + 1;
        case TFieldType::ftSmallint: case TFieldType::ftWord: case TFieldType::ftBoolean:
            return 2;
        case TFieldType::ftInteger: case TFieldType::ftAutoInc:
            return 4;
        case TFieldType::ftBytes: case TFieldType::ftVarBytes:
        case TFieldType::ftBlob: case TFieldType::ftMemo: case TFieldType::ftGraphic:
        case TFieldType::ftFmtMemo: case TFieldType::ftParadoxOle: case TFieldType::ftDBaseOle:
        case TFieldType::ftTypedBinary:
            return 4;
        case TFieldType::ftFloat: case TFieldType::ftCurrency: case TFieldType::ftDate:
        case TFieldType::ftTime: case TFieldType::ftDateTime: case TFieldType::ftLargeint:
            return 8;
        case TFieldType::ftBCD:
            return 34;
        default:
            return 0;
    }
}

bool IsStringFieldType(TFieldType t) {
    return t == TFieldType::ftString || t == TFieldType::ftFixedChar || t == TFieldType::ftWideString;
}

bool IsBlobFieldType(TFieldType t) {
    return t >= TFieldType::ftBlob && t <= TFieldType::ftTypedBinary;
}

bool IsBinaryFieldType(TFieldType t) {
    return t == TFieldType::ftBytes || t == TFieldType::ftVarBytes || IsBlobFieldType(t);
}

bool IsIntegerFieldType(TFieldType t) {
    return t == TFieldType::ftSmallint || t == TFieldType::ftInteger || t == TFieldType::ftWord ||
           t == TFieldType::ftAutoInc || t == TFieldType::ftLargeint;
}

bool IsFloatFieldType(TFieldType t) {
    return t == TFieldType::ftFloat || t == TFieldType::ftCurrency || t == TFieldType::ftBCD;
}

bool IsDateTimeFieldType(TFieldType t) {
    return t == TFieldType::ftDate || t == TFieldType::ftTime || t == TFieldType::ftDateTime;
}

TTimeStamp DateTimeToTimeStamp(TDateTime dt) {
    // Beyond the years 1..9999 there is no time stamp.
    if (!std::isfinite(dt) || dt < -693594.0 || dt > 2958466.0)
        throw EConvertError("'" + FloatToStr(dt) + "' is not a valid timestamp");
    int64_t ms = std::llround(dt * kMSecsPerDay);
    int64_t days = ms / 86400000;  // towards zero
    TTimeStamp ts;
    ts.Date = static_cast<int32_t>(kDateDelta + days);
    ts.Time = static_cast<int32_t>((ms < 0 ? -ms : ms) % 86400000);
    return ts;
}

TDateTime TimeStampToDateTime(const TTimeStamp& ts) {
    int64_t days = static_cast<int64_t>(ts.Date) - kDateDelta;
    double t = ts.Time / kMSecsPerDay;
    return days >= 0 ? static_cast<double>(days) + t : static_cast<double>(days) - t;
}

double TimeStampToMSecs(const TTimeStamp& ts) {
    return static_cast<double>(ts.Date) * kMSecsPerDay + ts.Time;
}

TTimeStamp MSecsToTimeStamp(double msecs) {
    TTimeStamp ts;
    if (!std::isfinite(msecs) || msecs < 0 || msecs > 3.0e6 * kMSecsPerDay) return ts;
    double days = std::trunc(msecs / kMSecsPerDay);
    ts.Date = static_cast<int32_t>(days);
    ts.Time = static_cast<int32_t>(std::llround(msecs - days * kMSecsPerDay));
    return ts;
}

const TFormatSettings& TFormatSettings::Process() {
    static const TFormatSettings fs;
    return fs;
}

const TFormatSettings& TFormatSettings::Neutral() {
    static const TFormatSettings fs = [] {
        TFormatSettings n;
        n.DecimalSeparator = '.';
        n.ThousandSeparator = ',';
        n.DateSeparator = '/';
        n.TimeSeparator = ':';
        n.ShortDateFormat = "dd/mm/yyyy";
        n.CurrencyString = "";
        n.CurrencyFormat = 0;
        n.NegCurrFormat = 1;
        return n;
    }();
    return fs;
}

std::string FormatDateText(TDateTime dt, const TFormatSettings& fs) {
    return FormatDateTimePattern(dt, fs.ShortDateFormat, fs.DateSeparator, fs.TimeSeparator);
}

std::string FormatTimeText(TDateTime dt, const TFormatSettings& fs) {
    return FormatDateTimePattern(dt, fs.LongTimeFormat, fs.DateSeparator, fs.TimeSeparator);
}

std::string FormatDateTimeText(TDateTime dt, const TFormatSettings& fs) {
    std::string s = FormatDateText(dt, fs);
    DateParts p = DecodeDateTime(dt);
    if (p.hour || p.minute || p.second || p.msec) {
        s += ' ';
        s += FormatTimeText(dt, fs);
    }
    return s;
}

TDateTime ParseDateText(const std::string& s, const TFormatSettings& fs) {
    size_t i = 0;
    double d;
    if (!ScanDateText(s, i, fs.ShortDateFormat, fs.DateSeparator, d)) BadDate(s, "date");
    while (i < s.size() && s[i] == ' ') ++i;
    if (i != s.size()) BadDate(s, "date");
    return d;
}

TDateTime ParseTimeText(const std::string& s, const TFormatSettings& fs) {
    size_t i = 0;
    double t;
    if (!ScanTimeText(s, i, fs.TimeSeparator, t) || i != s.size()) BadDate(s, "time");
    return t;
}

TDateTime ParseDateTimeText(const std::string& s, const TFormatSettings& fs) {
    size_t i = 0;
    double d = 0, t = 0;
    if (!ScanDateText(s, i, fs.ShortDateFormat, fs.DateSeparator, d)) {
        // A time alone is a time of day 0.
        i = 0;
        if (!ScanTimeText(s, i, fs.TimeSeparator, t) || i != s.size()) BadDate(s, "date and time");
        return t;
    }
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size()) {
        if (!ScanTimeText(s, i, fs.TimeSeparator, t) || i != s.size()) BadDate(s, "date and time");
    }
    return d >= 0 ? d + t : d - t;
}

std::string FormatFloatText(double v, const TFormatSettings& fs) {
    std::string s = FloatToStr(v);
    if (fs.DecimalSeparator != '.')
        for (char& c : s)
            if (c == '.') c = fs.DecimalSeparator;
    return s;
}

double ParseFloatText(const std::string& s, const TFormatSettings& fs) {
    std::string t = Trim(s);
    bool ok = !t.empty();
    bool seenDigit = false;
    for (char& c : t) {
        if (c == fs.DecimalSeparator) c = '.';
        else if (c == '.' && fs.DecimalSeparator != '.') ok = false;
        else if (c >= '0' && c <= '9') seenDigit = true;
        else if (c != '+' && c != '-' && c != 'e' && c != 'E') ok = false;
    }
    if (ok && seenDigit) {
        char* end = nullptr;
        double d = std::strtod(t.c_str(), &end);
        if (end && *end == 0 && std::isfinite(d)) return d;
    }
    throw EConvertError("'" + s + "' is not a valid floating point value");
}

// ---- field definitions ----

TFieldDef& TFieldDefs::Items(int i) {
    if (i < 0 || i >= Count()) throw EListError("List index out of bounds (" + std::to_string(i) + ")");
    return items_[static_cast<size_t>(i)];
}

const TFieldDef& TFieldDefs::Items(int i) const {
    if (i < 0 || i >= Count()) throw EListError("List index out of bounds (" + std::to_string(i) + ")");
    return items_[static_cast<size_t>(i)];
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
    if (name.empty()) throw EDatabaseError("Field name missing");
    if (IndexOf(name) >= 0) throw EDatabaseError("Duplicate field name '" + name + "'");
    TFieldDef d;
    d.Name = name;
    d.DataType = type;
    d.Size = size;
    d.Required = required;
    items_.push_back(d);
    Renumber();
    return items_.back();
}

void TFieldDefs::Delete(int i) {
    Items(i);
    items_.erase(items_.begin() + i);
    Renumber();
}

int TFieldDefs::IndexOf(const std::string& name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText1251(items_[static_cast<size_t>(i)].Name, name)) return i;
    return -1;
}

TFieldDef* TFieldDefs::Find(const std::string& name) {
    int i = IndexOf(name);
    return i < 0 ? nullptr : &items_[static_cast<size_t>(i)];
}

void TFieldDefs::Assign(const TFieldDefs& other) {
    if (&other == this) return;
    items_ = other.items_;
    Renumber();
}

void TFieldDefs::Update() {
    if (owner_) owner_->InitFieldDefs();
}

void TFieldDefs::Renumber() {
    for (size_t i = 0; i < items_.size(); ++i) items_[i].FieldNo = static_cast<int>(i) + 1;
}

// ---- fields ----

TBufferField::TBufferField(TBufferedDataSet* dataSet, const std::string& fieldName, TFieldType dataType,
                           int size, TFieldKind kind)
    : TField(dataSet, fieldName, dataType, size), owner_(dataSet) {
    SetFieldKind(kind);
    if (IsStringFieldType(dataType)) {
        if (size < 0 || size > kMaxStringSize) throw EDatabaseError("Invalid field size");
    } else if (dataType == TFieldType::ftBCD) {
        if (size < 0 || size > 32) throw EDatabaseError("Invalid field size");
    } else if (IsBinaryFieldType(dataType)) {
        if (size < 0) throw EDatabaseError("Invalid field size");
    } else if (size != 0) {
        throw EDatabaseError("Invalid field size");
    }
    if (dataType == TFieldType::ftSmallint) { MinValue = -32768; MaxValue = 32767; }
    if (dataType == TFieldType::ftWord) { MinValue = 0; MaxValue = 65535; }
    if (dataType == TFieldType::ftCurrency) CurrencyDisplay = true;
    if (IsFloatFieldType(dataType)) SetPrecision(15);
}

const char* TBufferField::FieldClassName() const {
    switch (DataType()) {
        case TFieldType::ftString: case TFieldType::ftFixedChar: return "TStringField";
        case TFieldType::ftWideString: return "TWideStringField";
        case TFieldType::ftSmallint: return "TSmallintField";
        case TFieldType::ftInteger: return "TIntegerField";
        case TFieldType::ftWord: return "TWordField";
        case TFieldType::ftBoolean: return "TBooleanField";
        case TFieldType::ftFloat: return "TFloatField";
        case TFieldType::ftCurrency: return "TCurrencyField";
        case TFieldType::ftBCD: return "TBCDField";
        case TFieldType::ftDate: return "TDateField";
        case TFieldType::ftTime: return "TTimeField";
        case TFieldType::ftDateTime: return "TDateTimeField";
        case TFieldType::ftBytes: return "TBytesField";
        case TFieldType::ftVarBytes: return "TVarBytesField";
        case TFieldType::ftAutoInc: return "TAutoIncField";
        case TFieldType::ftMemo: case TFieldType::ftFmtMemo: return "TMemoField";
        case TFieldType::ftGraphic: return "TGraphicField";
        case TFieldType::ftBlob: case TFieldType::ftParadoxOle: case TFieldType::ftDBaseOle:
        case TFieldType::ftTypedBinary: return "TBlobField";
        case TFieldType::ftLargeint: return "TLargeintField";
        case TFieldType::ftVariant: return "TVariantField";
        default: return "TField";
    }
}

int TBufferField::GetDisplayWidth() const {
    if (DisplayWidth > 0) return DisplayWidth;
    if (IsStringFieldType(DataType())) return Size();
    if (DataType() == TFieldType::ftBoolean) return 5;
    return 10;
}

bool TBufferField::GetData(void* buffer) const {
    if (isValidating_) {
        if (!validating_) return false;
        if (buffer) std::memcpy(buffer, validating_, static_cast<size_t>(DataSize()));
        return true;
    }
    if (!owner_) return false;
    return owner_->GetFieldData(*this, buffer);
}

void TBufferField::SetData(const void* buffer) {
    if (!owner_) throw EDatabaseError("Field '" + FieldName() + "' has no dataset");
    owner_->SetFieldData(*this, buffer);
}

void TBufferField::Validate(const void* buffer) {
    if (!OnValidate) return;
    isValidating_ = true;
    validating_ = buffer;
    try {
        OnValidate(*this);
    } catch (...) {
        isValidating_ = false;
        validating_ = nullptr;
        throw;
    }
    isValidating_ = false;
    validating_ = nullptr;
}

Variant TBufferField::BufferToVariant(const uint8_t* data) const {
    switch (DataType()) {
        case TFieldType::ftString: case TFieldType::ftFixedChar: case TFieldType::ftWideString: {
            const char* p = reinterpret_cast<const char*>(data);
            return Variant(std::string(p, strnlen(p, static_cast<size_t>(Size()))));
        }
        case TFieldType::ftSmallint: {
            int16_t v; std::memcpy(&v, data, 2);
            return Variant(static_cast<int32_t>(v));
        }
        case TFieldType::ftWord: {
            uint16_t v; std::memcpy(&v, data, 2);
            return Variant(static_cast<int32_t>(v));
        }
        case TFieldType::ftBoolean: {
            int16_t v; std::memcpy(&v, data, 2);
            return Variant(v != 0);
        }
        case TFieldType::ftInteger: case TFieldType::ftAutoInc: {
            int32_t v; std::memcpy(&v, data, 4);
            return Variant(v);
        }
        case TFieldType::ftFloat: case TFieldType::ftCurrency: {
            double v; std::memcpy(&v, data, 8);
            return Variant(v);
        }
        case TFieldType::ftBCD: {
            int64_t raw; std::memcpy(&raw, data, 8);
            return Variant(Currency::FromRaw(raw));
        }
        case TFieldType::ftDate: {
            TTimeStamp ts; std::memcpy(&ts.Date, data, 4);
            return Variant::FromDate(TimeStampToDateTime(ts));
        }
        case TFieldType::ftTime: {
            TTimeStamp ts; std::memcpy(&ts.Time, data, 4);
            ts.Date = kDateDelta;
            return Variant::FromDate(TimeStampToDateTime(ts));
        }
        case TFieldType::ftDateTime: {
            double ms; std::memcpy(&ms, data, 8);
            return Variant::FromDate(TimeStampToDateTime(MSecsToTimeStamp(ms)));
        }
        case TFieldType::ftLargeint: {
            int64_t v; std::memcpy(&v, data, 8);
            return Variant(v);
        }
        default:
            return Variant::Null();
    }
}

void TBufferField::CheckIntRange(int64_t v) const {
    if ((MinValue != 0 || MaxValue != 0) && (v < MinValue || v > MaxValue))
        throw ERangeError(Format("%d is not a valid value for field '%s'. The allowed range is %d to %d",
                                 {v, DisplayName(), static_cast<int64_t>(MinValue),
                                  static_cast<int64_t>(MaxValue)}));
}

void TBufferField::CheckFloatRange(double v) const {
    if ((MinValue != 0 || MaxValue != 0) && (v < MinValue || v > MaxValue))
        throw ERangeError(Format("%s is not a valid value for field '%s'. The allowed range is %s to %s",
                                 {FloatToStr(v), DisplayName(), FloatToStr(MinValue), FloatToStr(MaxValue)}));
}

void TBufferField::VariantToBuffer(const Variant& v, std::vector<uint8_t>& data) const {
    data.assign(static_cast<size_t>(std::max(DataSize(), 1)), 0);
    uint8_t* p = data.data();
    switch (DataType()) {
        case TFieldType::ftString: case TFieldType::ftFixedChar: case TFieldType::ftWideString: {
            std::string s = v.AsString();
            size_t n = std::min(s.size(), static_cast<size_t>(Size()));
            std::memcpy(p, s.data(), n);
            break;
        }
        case TFieldType::ftSmallint: case TFieldType::ftWord: {
            int32_t x = v.AsInteger();
            CheckIntRange(x);
            if (DataType() == TFieldType::ftWord) {
                uint16_t w = static_cast<uint16_t>(x);
                std::memcpy(p, &w, 2);
            } else {
                int16_t s = static_cast<int16_t>(x);
                std::memcpy(p, &s, 2);
            }
            break;
        }
        case TFieldType::ftBoolean: {
            int16_t b = v.AsBoolean() ? 1 : 0;
            std::memcpy(p, &b, 2);
            break;
        }
        case TFieldType::ftInteger: case TFieldType::ftAutoInc: {
            int32_t x = v.AsInteger();
            CheckIntRange(x);
            std::memcpy(p, &x, 4);
            break;
        }
        case TFieldType::ftLargeint: {
            int64_t x = v.AsInt64();
            CheckIntRange(x);
            std::memcpy(p, &x, 8);
            break;
        }
        case TFieldType::ftFloat: case TFieldType::ftCurrency: {
            double d = v.AsDouble();
            CheckFloatRange(d);
            std::memcpy(p, &d, 8);
            break;
        }
        case TFieldType::ftBCD: {
            Currency c = v.AsCurrency();
            CheckFloatRange(c.ToDouble());
            std::memcpy(p, &c.raw, 8);
            break;
        }
        case TFieldType::ftDate: {
            TTimeStamp ts = DateTimeToTimeStamp(v.AsDateTime());
            std::memcpy(p, &ts.Date, 4);
            break;
        }
        case TFieldType::ftTime: {
            TTimeStamp ts = DateTimeToTimeStamp(v.AsDateTime());
            std::memcpy(p, &ts.Time, 4);
            break;
        }
        case TFieldType::ftDateTime: {
            double ms = TimeStampToMSecs(DateTimeToTimeStamp(v.AsDateTime()));
            std::memcpy(p, &ms, 8);
            break;
        }
        default:
            throw EDatabaseError(Format("Field '%s' is of an unsupported type", {FieldName()}));
    }
}

std::string TBufferField::GetBlobValue() const {
    auto stream = owner_->CreateBlobStream(const_cast<TBufferField&>(*this), TBlobStreamMode::bmRead);
    std::string bytes = stream->Bytes();
    stream->Close();
    return bytes;
}

void TBufferField::SetBlobValue(const std::string& bytes) {
    auto stream = owner_->CreateBlobStream(*this, TBlobStreamMode::bmWrite);
    if (!bytes.empty()) stream->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream->Close();
}

Variant TBufferField::GetAsVariant() const {
    if (!owner_) return Variant::Null();
    std::vector<uint8_t> buf(static_cast<size_t>(std::max(DataSize(), 1)), 0);
    if (!GetData(buf.data())) return Variant::Null();
    if (IsBinaryFieldType(DataType())) {
        if (isValidating_) return Variant::Null();
        return Variant(GetBlobValue());
    }
    return BufferToVariant(buf.data());
}

void TBufferField::SetAsVariant(const Variant& v) {
    if (!owner_) throw EDatabaseError("Field '" + FieldName() + "' has no dataset");
    if (IsBinaryFieldType(DataType())) {
        SetBlobValue(v.IsEmptyOrNull() ? std::string() : v.AsString());
        return;
    }
    if (v.IsEmptyOrNull()) {
        SetData(nullptr);
        return;
    }
    if (v.IsStringType() && !IsStringFieldType(DataType())) {
        SetText(v.AsString(), TFormatSettings::Process());
        return;
    }
    std::vector<uint8_t> buf;
    VariantToBuffer(v, buf);
    SetData(buf.data());
}

std::string TBufferField::GetText(const TFormatSettings& fs) const {
    Variant v = GetAsVariant();
    if (v.IsNull()) return "";
    switch (DataType()) {
        case TFieldType::ftBoolean: {
            std::string t = "True", f = "False";
            if (!DisplayValues.empty()) {
                size_t semi = DisplayValues.find(';');
                t = DisplayValues.substr(0, semi);
                f = semi == std::string::npos ? std::string() : DisplayValues.substr(semi + 1);
            }
            return v.AsBoolean() ? t : f;
        }
        case TFieldType::ftFloat: case TFieldType::ftCurrency:
            return FormatFloatText(v.AsDouble(), fs);
        case TFieldType::ftBCD: {
            std::string s = v.AsCurrency().ToString();
            if (fs.DecimalSeparator != '.')
                for (char& c : s)
                    if (c == '.') c = fs.DecimalSeparator;
            return s;
        }
        case TFieldType::ftDate: return FormatDateText(v.AsDateTime(), fs);
        case TFieldType::ftTime: return FormatTimeText(v.AsDateTime(), fs);
        case TFieldType::ftDateTime: return FormatDateTimeText(v.AsDateTime(), fs);
        default:
            return v.AsString();
    }
}

void TBufferField::SetText(const std::string& text, const TFormatSettings& fs) {
    TFieldType t = DataType();
    if (IsStringFieldType(t)) {
        SetAsVariant(Variant(text));
        return;
    }
    if (IsBinaryFieldType(t)) {
        SetBlobValue(text);
        return;
    }
    if (t == TFieldType::ftBoolean) {
        std::string tt = "True", ff = "False";
        if (!DisplayValues.empty()) {
            size_t semi = DisplayValues.find(';');
            tt = DisplayValues.substr(0, semi);
            ff = semi == std::string::npos ? std::string() : DisplayValues.substr(semi + 1);
        }
        if (text.empty()) {
            if (ff.empty()) SetAsVariant(Variant(false));
            else if (tt.empty()) SetAsVariant(Variant(true));
            else SetData(nullptr);
            return;
        }
        if (SameText1251(text, ff.substr(0, text.size()))) SetAsVariant(Variant(false));
        else if (SameText1251(text, tt.substr(0, text.size()))) SetAsVariant(Variant(true));
        else throw EDatabaseError(Format("'%s' is not a valid boolean value for field '%s'", {text, DisplayName()}));
        return;
    }
    if (text.empty()) {
        SetData(nullptr);
        return;
    }
    switch (t) {
        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftWord:
        case TFieldType::ftAutoInc: case TFieldType::ftLargeint: {
            int64_t v;
            try {
                v = StrToInt64(Trim(text));
            } catch (const EConvertError&) {
                throw EDatabaseError(Format("'%s' is not a valid integer value for field '%s'", {text, DisplayName()}));
            }
            if (t != TFieldType::ftLargeint && (v < INT32_MIN || v > INT32_MAX))
                throw EDatabaseError(Format("'%s' is not a valid integer value for field '%s'", {text, DisplayName()}));
            SetAsVariant(t == TFieldType::ftLargeint ? Variant(v) : Variant(static_cast<int32_t>(v)));
            return;
        }
        case TFieldType::ftFloat: case TFieldType::ftCurrency: {
            double d;
            try {
                d = ParseFloatText(text, fs);
            } catch (const EConvertError&) {
                throw EDatabaseError(Format("'%s' is not a valid floating point value for field '%s'", {text, DisplayName()}));
            }
            SetAsVariant(Variant(d));
            return;
        }
        case TFieldType::ftBCD: {
            std::string s = Trim(text);
            for (char& c : s)
                if (c == fs.DecimalSeparator) c = '.';
            Currency c;
            try {
                c = Currency::FromString(s);
            } catch (const Exception&) {
                throw EDatabaseError(Format("'%s' is not a valid BCD value for field '%s'", {text, DisplayName()}));
            }
            SetAsVariant(Variant(c));
            return;
        }
        case TFieldType::ftDate: SetAsVariant(Variant::FromDate(ParseDateText(text, fs))); return;
        case TFieldType::ftTime: SetAsVariant(Variant::FromDate(ParseTimeText(text, fs))); return;
        case TFieldType::ftDateTime: SetAsVariant(Variant::FromDate(ParseDateTimeText(text, fs))); return;
        default:
            throw EDatabaseError(Format("Field '%s' is of an unsupported type", {FieldName()}));
    }
}

Variant TBufferField::OldValue() const { return ValueInState(TDataSetState::dsOldValue); }

Variant TBufferField::NewValue() const { return ValueInState(TDataSetState::dsNewValue); }

Variant TBufferField::ValueInState(TDataSetState state) const {
    if (!owner_) return Variant::Null();
    TDataSetState saved = owner_->SetTempState(state);
    Variant v;
    try {
        v = GetAsVariant();
    } catch (...) {
        owner_->RestoreState(saved);
        throw;
    }
    owner_->RestoreState(saved);
    return v;
}
