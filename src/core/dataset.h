// The dataset interface every row source of the server offers: query results
// of the database module and the in-memory table alike. Code that reads rows
// (loading catalogue objects, copying records, importing packets) is written
// against this interface only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/currency.h"
#include "core/datetime.h"
#include "core/variant.h"

// Field types, in the order of their ordinal values.
enum class TFieldType {
    ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD,
    ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic,
    ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar, ftWideString,
    ftLargeint, ftADT, ftArray, ftReference, ftDataSet, ftOraBlob, ftOraClob, ftVariant,
    ftInterface, ftIDispatch, ftGuid, ftTimeStamp, ftFMTBcd
};
const char* FieldTypeName(TFieldType t);  // "ftString", "ftInteger", ...

enum class TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc, fkAggregate };

class TDataSet;

// One column of a dataset. Its value is read from and written to the
// dataset's current record; the As* accessors convert the way the server's
// code expects (null reads as 0, empty text or False).
class TField {
public:
    TField(TDataSet* dataSet, std::string fieldName, TFieldType dataType, int size = 0);
    virtual ~TField() = default;

    TDataSet* DataSet() const { return dataSet_; }
    const std::string& FieldName() const { return fieldName_; }
    TFieldType DataType() const { return dataType_; }
    int Size() const { return size_; }
    void SetSize(int size) { size_ = size; }
    int Precision() const { return precision_; }
    void SetPrecision(int p) { precision_ = p; }
    int FieldNo() const { return fieldNo_; }          // 1-based position among the data fields
    void SetFieldNo(int n) { fieldNo_ = n; }
    int Index() const { return index_; }              // 0-based position in the dataset's field list
    void SetIndex(int i) { index_ = i; }
    TFieldKind FieldKind() const { return fieldKind_; }
    void SetFieldKind(TFieldKind k) { fieldKind_ = k; }
    bool Calculated() const { return fieldKind_ == TFieldKind::fkCalculated; }
    bool Lookup() const { return fieldKind_ == TFieldKind::fkLookup; }

    bool Visible = true;
    bool ReadOnly = false;
    bool Required = false;
    std::string DisplayLabel;   // empty: the field name
    int DisplayWidth = 0;
    std::string EditMask;

    // Value of the current record (null when there is none).
    virtual Variant GetAsVariant() const;
    virtual void SetAsVariant(const Variant& v);
    bool IsNull() const { return GetAsVariant().IsNull(); }
    bool IsBlob() const;

    std::string AsString() const;
    int32_t AsInteger() const;
    int64_t AsLargeInt() const;
    double AsFloat() const;
    Currency AsCurrency() const;
    TDateTime AsDateTime() const;
    bool AsBoolean() const;
    Variant AsVariant() const { return GetAsVariant(); }

    void SetAsString(const std::string& v) { SetAsVariant(Variant(v)); }
    void SetAsInteger(int32_t v) { SetAsVariant(Variant(v)); }
    void SetAsLargeInt(int64_t v) { SetAsVariant(Variant(v)); }
    void SetAsFloat(double v) { SetAsVariant(Variant(v)); }
    void SetAsCurrency(Currency v) { SetAsVariant(Variant(v)); }
    void SetAsDateTime(TDateTime v) { SetAsVariant(Variant::FromDate(v)); }
    void SetAsBoolean(bool v) { SetAsVariant(Variant(v)); }
    void Clear() { SetAsVariant(Variant::Null()); }

private:
    TDataSet* dataSet_;
    std::string fieldName_;
    TFieldType dataType_;
    int size_;
    int precision_ = 0;
    int fieldNo_ = 0;
    int index_ = 0;
    TFieldKind fieldKind_ = TFieldKind::fkData;
};

// Base of every dataset: a list of fields and a cursor over records.
// Descendants supply the records; reads of a field's value go through
// GetFieldValue, writes through SetFieldValue.
class TDataSet {
public:
    TDataSet() = default;
    virtual ~TDataSet();
    TDataSet(const TDataSet&) = delete;
    TDataSet& operator=(const TDataSet&) = delete;

    // Fields, in column order.
    int FieldCount() const { return static_cast<int>(fields_.size()); }
    TField& Fields(int i) const;
    // Case-insensitive; the first of several fields of the same name.
    TField* FindField(const std::string& name) const;
    // Raises EDatabaseError "Field '<name>' not found".
    TField& FieldByName(const std::string& name) const;
    std::vector<std::string> FieldNames() const;

    // Cursor.
    virtual bool Active() const = 0;
    virtual void First() = 0;
    virtual void Next() = 0;
    virtual void Prior() = 0;
    virtual void Last() = 0;
    virtual bool Eof() const = 0;
    virtual bool Bof() const = 0;
    virtual int RecordCount() const = 0;
    virtual int RecNo() const = 0;              // 1-based; 0 or -1 when there is no current record
    bool IsEmpty() const { return RecordCount() == 0; }

    // Value of a field in the current record; a dataset that cannot change
    // raises EDatabaseError from SetFieldValue.
    virtual Variant GetFieldValue(const TField& field) const = 0;
    virtual void SetFieldValue(TField& field, const Variant& value);

    // Class name for log lines and messages.
    virtual const char* ClassName() const { return "TDataSet"; }

protected:
    // Takes ownership; sets the field's index.
    TField& AddField(std::unique_ptr<TField> field);
    void ClearFields() { fields_.clear(); }
    std::vector<std::unique_ptr<TField>>& FieldList() { return fields_; }

private:
    std::vector<std::unique_ptr<TField>> fields_;
};
