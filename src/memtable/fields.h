// Field definitions and field objects of the buffered datasets (the
// in-memory table). A field object reads and writes its value in the record
// buffer that its dataset hands out for the current state, in the buffer
// form of its type, and converts between that form and variants or text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/dataset.h"

class TBufferedDataSet;
enum class TDataSetState;  // buffered_dataset.h

// Name of a field type without the "ft" prefix ("Integer", "String", ...),
// the names of the field-type name table (38 entries); "" outside it.
const char* FieldTypeShortName(TFieldType t);
// The type whose short name equals name; false when there is none.
bool FindFieldTypeByShortName(const std::string& name, TFieldType& type);
// Bytes of a field's data in a record buffer (behind its null byte); 0 for
// types that have no buffer form.
int FieldDataSize(TFieldType type, int size);
bool IsStringFieldType(TFieldType t);      // String, FixedChar, WideString
bool IsBlobFieldType(TFieldType t);        // Blob .. TypedBinary
bool IsBinaryFieldType(TFieldType t);      // Bytes, VarBytes and the blob types
bool IsIntegerFieldType(TFieldType t);     // SmallInt, Integer, Word, AutoInc, LargeInt
bool IsFloatFieldType(TFieldType t);       // Float, Currency, BCD
bool IsDateTimeFieldType(TFieldType t);    // Date, Time, DateTime

// The time stamp of the date-time type: day number since 1 January of year 1
// (that day being 1) and milliseconds since midnight.
struct TTimeStamp {
    int32_t Time = 0;
    int32_t Date = 0;
};
TTimeStamp DateTimeToTimeStamp(TDateTime dt);
TDateTime TimeStampToDateTime(const TTimeStamp& ts);
double TimeStampToMSecs(const TTimeStamp& ts);
TTimeStamp MSecsToTimeStamp(double msecs);

// Number and date notation used to turn field values into text and back. The
// settings are always passed explicitly; nothing process-wide is changed.
struct TFormatSettings {
    char DecimalSeparator = '.';
    char ThousandSeparator = ',';
    char DateSeparator = '.';
    char TimeSeparator = ':';
    std::string ShortDateFormat = "dd.mm.yyyy";
    std::string LongTimeFormat = "hh:nn:ss";
    std::string CurrencyString;
    int CurrencyFormat = 0;
    int NegCurrFormat = 1;

    // The process's notation: ".", ":", "dd.mm.yyyy".
    static const TFormatSettings& Process();
    // The notation of the table files: "/" dates "dd/mm/yyyy", "." decimals,
    // "," thousands, ":" times, no currency string.
    static const TFormatSettings& Neutral();
};

std::string FormatDateText(TDateTime dt, const TFormatSettings& fs);
std::string FormatTimeText(TDateTime dt, const TFormatSettings& fs);
// Date, then a blank and the time unless the time is midnight.
std::string FormatDateTimeText(TDateTime dt, const TFormatSettings& fs);
// Raise EConvertError "'<s>' is not a valid date" / "... time" / "... date and time".
TDateTime ParseDateText(const std::string& s, const TFormatSettings& fs);
TDateTime ParseTimeText(const std::string& s, const TFormatSettings& fs);
TDateTime ParseDateTimeText(const std::string& s, const TFormatSettings& fs);
std::string FormatFloatText(double v, const TFormatSettings& fs);
double ParseFloatText(const std::string& s, const TFormatSettings& fs);

// One field definition: name, type, size and whether a value is required.
struct TFieldDef {
    std::string Name;
    TFieldType DataType = TFieldType::ftUnknown;
    int Size = 0;
    bool Required = false;
    int FieldNo = 0;   // 1-based position in its list
    // The name under which messages show the definition.
    const std::string& DisplayName() const { return Name; }
};

class TFieldDefs {
public:
    explicit TFieldDefs(TBufferedDataSet* owner) : owner_(owner) {}
    int Count() const { return static_cast<int>(items_.size()); }
    TFieldDef& Items(int i);
    const TFieldDef& Items(int i) const;
    TFieldDef& operator[](int i) { return Items(i); }
    TFieldDef& Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
    void Delete(int i);
    void Clear() { items_.clear(); }
    // Case-insensitive; -1 / none when absent.
    int IndexOf(const std::string& name) const;
    TFieldDef* Find(const std::string& name);
    void Assign(const TFieldDefs& other);
    // Brings the definitions up to date with the dataset's fields.
    void Update();

private:
    void Renumber();
    TBufferedDataSet* owner_;
    std::vector<TFieldDef> items_;
};

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

// A field of a buffered dataset. One class serves every supported type; its
// behaviour follows the data type, as the field classes of the type would.
class TBufferField : public TField {
public:
    TBufferField(TBufferedDataSet* dataSet, const std::string& fieldName, TFieldType dataType,
                 int size = 0, TFieldKind kind = TFieldKind::fkData);

    TBufferedDataSet* BufferedDataSet() const { return owner_; }
    // Bytes of the value in a record buffer.
    int DataSize() const { return FieldDataSize(DataType(), Size()); }
    // Offset of the slot in the calculated area (calculated and lookup fields).
    int Offset() const { return offset_; }
    void SetOffset(int o) { offset_ = o; }
    // Class name of the field class the type stands for ("TIntegerField", ...).
    const char* FieldClassName() const;

    std::string DisplayName() const { return DisplayLabel.empty() ? FieldName() : DisplayLabel; }
    // DisplayWidth, or the type's default when it is 0.
    int GetDisplayWidth() const;

    // Display and validation properties.
    std::string DisplayFormat;
    std::string EditFormat;
    std::string DefaultExpression;
    TAlignment Alignment = TAlignment::taLeftJustify;
    double MinValue = 0;          // with MaxValue: both 0 means no range check
    double MaxValue = 0;
    bool CurrencyDisplay = false; // the "Currency" display flag of float fields
    std::string DisplayValues;    // Boolean fields: "True;False" form
    bool Transliterate = true;
    int BlobType = 0;
    // Lookup fields.
    std::string KeyFields;
    TBufferedDataSet* LookupDataSet = nullptr;
    std::string LookupKeyFields;
    std::string LookupResultField;

    // Events: OnValidate runs on a value about to be stored (reading the field
    // inside it gives the new value); OnChange after a change.
    std::function<void(TBufferField&)> OnValidate;
    std::function<void(TBufferField&)> OnChange;

    bool Modified = false;

    // Value access through the dataset's record buffer.
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& v) override;
    // Text of the value in the given notation ("" for null).
    std::string GetText(const TFormatSettings& fs) const;
    // Stores the text, read in the given notation; an empty text clears
    // every type other than the string types.
    void SetText(const std::string& text, const TFormatSettings& fs);
    // Values in the old-value and new-value states.
    Variant OldValue() const;
    Variant NewValue() const;

    // Buffer-level access: the data bytes of the current record's slot.
    bool GetData(void* buffer) const;
    void SetData(const void* buffer);
    // Runs OnValidate on a value in buffer form.
    void Validate(const void* buffer);

    // Converters between buffer form and values, for the dataset's own use.
    Variant BufferToVariant(const uint8_t* data) const;
    void VariantToBuffer(const Variant& v, std::vector<uint8_t>& data) const;

private:
    // The value read with the owner put in the given state for the time.
    Variant ValueInState(TDataSetState state) const;
    void SetBlobValue(const std::string& bytes);
    std::string GetBlobValue() const;
    void CheckIntRange(int64_t v) const;
    void CheckFloatRange(double v) const;

    TBufferedDataSet* owner_;
    int offset_ = 0;
    const void* validating_ = nullptr;
    bool isValidating_ = false;
};
