// The XML data packets inside the pharmacies' packet archives: the
// client-dataset XML form
//
//   <?xml version="1.0" encoding="windows-1251" standalone="yes"?>
//   <DATAPACKET Version="2.0">
//     <METADATA>
//       <FIELDS>
//         <FIELD attrname="ID" fieldtype="i4" required="true"/>
//         <FIELD attrname="NAME" fieldtype="string" WIDTH="50"/>
//       </FIELDS>
//       <PARAMS/>
//     </METADATA>
//     <ROWDATA>
//       <ROW ID="1" NAME="..."/>
//     </ROWDATA>
//   </DATAPACKET>
//
// Each FIELD gives a column (attrname, fieldtype with an optional SUBTYPE,
// WIDTH and DECIMALS); each ROW carries one attribute per non-null value,
// named after its field; a missing attribute is a null value.
//
// Field types and value texts:
//   string (SUBTYPE FixedChar, Guid)  ftString / ftFixedChar / ftGuid, WIDTH = size
//   string.uni                        ftWideString, WIDTH in bytes (two per character)
//   i1, i2 / i4 (SUBTYPE Autoinc) / i8  ftSmallint / ftInteger, ftAutoInc / ftLargeint
//   ui1, ui2 / ui4                    ftWord / ftLargeint
//   boolean                           ftBoolean, "TRUE" / "FALSE"
//   r4, r8 (SUBTYPE Money)            ftFloat / ftCurrency, '.' as the decimal separator
//   fixed, fixedFMT                   ftBCD / ftFMTBcd, WIDTH = precision, DECIMALS = size
//   date                              ftDate, "yyyymmdd"
//   time                              ftTime, "hh:nn:ssmmm"
//   dateTime, SQLdateTime             ftDateTime / ftTimeStamp, "yyyymmddThh:nn:ssmmm"
//   bin.hex (SUBTYPE Text, Formatted, WideText)  ftMemo / ftFmtMemo, plain text
//   bin.hex (SUBTYPE Binary, Graphics, ...)      ftBlob / ftGraphic..., base64
//   anything else (nested, ...)       ftUnknown / ftDataSet, values not read
// The date readers also take the ISO forms "yyyy-mm-dd" and
// "yyyy-mm-ddThh:nn:ss[.mmm]".
//
// Text: a packet that declares UTF-8 (or starts with its byte-order mark) is
// converted to code page 1251; any other packet is taken as code page 1251
// text, and there a character reference from 128 to 255 names a byte of that
// code page (the form in which packets without a declared encoding escape
// their extended characters); higher references are Unicode characters.
//
// Values: strings, memos and blobs are cp1251/byte strings; integers are
// Integer (Int64 for ftLargeint); Booleans Boolean; floats Double; currency
// Currency; BCD values keep their exact decimal text as a String; dates and
// times are Date variants (TDateTime). A packet with an unmerged change log
// (PARAMS CHANGE_LOG) raises EReadError; so does a value that cannot be read,
// unless the reader was given a handler for such values (then the value is
// null and the handler hears of it).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/variant.h"

// One field definition of a packet.
struct TPacketFieldDef {
    std::string Name;
    TFieldType DataType = TFieldType::ftUnknown;
    int Size = 0;        // string width; BCD decimals
    int Precision = 0;   // BCD digits
    bool Required = false;
};

// A value of a packet row that cannot be read as its field's type.
struct TUnreadableValue {
    size_t Row = 0;      // 0-based row of the packet
    std::string Field;   // the field's name
    std::string Text;    // the value's text (code page 1251)
};

// The field types whose packet values are base64 bytes.
bool IsBinaryPacketType(TFieldType t);

// A loaded packet: its field definitions and rows, readable and editable
// through the dataset interface (a cursor over the rows).
class TXmlDataPacket : public TDataSet {
public:
    TXmlDataPacket() = default;

    // Reads a packet; raises EInOutError when the file cannot be read and
    // EReadError when it is no data packet, or when it holds a value that
    // cannot be read and no handler is set. The cursor is on the first row
    // afterwards.
    void LoadFromFile(const std::string& path);
    void LoadFromString(const std::string& xml);
    void Close();
    // With a handler, a value that cannot be read loads as null and is
    // handed to it (in row order) instead of failing the whole packet.
    void SetOnUnreadableValue(std::function<void(const TUnreadableValue&)> handler) {
        onUnreadable_ = std::move(handler);
    }
    // Only the field definitions of a packet file; its rows are not read.
    static std::vector<TPacketFieldDef> ReadFieldDefs(const std::string& path);

    const std::vector<TPacketFieldDef>& FieldDefs() const { return defs_; }
    // Direct access, row and field 0-based.
    const Variant& Value(size_t row, size_t field) const { return rows_.at(row).at(field); }
    void SetValue(size_t row, size_t field, Variant v) { rows_.at(row).at(field) = std::move(v); }
    size_t RowCount() const { return rows_.size(); }

    bool Active() const override { return active_; }
    void First() override { cur_ = 0; }
    void Next() override { if (cur_ < rows_.size()) ++cur_; }
    void Prior() override { if (cur_ > 0) --cur_; }
    void Last() override { cur_ = rows_.empty() ? 0 : rows_.size() - 1; }
    bool Eof() const override { return cur_ >= rows_.size(); }
    bool Bof() const override { return cur_ == 0; }
    int RecordCount() const override { return static_cast<int>(rows_.size()); }
    int RecNo() const override { return cur_ < rows_.size() ? static_cast<int>(cur_) + 1 : 0; }
    Variant GetFieldValue(const TField& field) const override;
    void SetFieldValue(TField& field, const Variant& value) override;
    const char* ClassName() const override { return "TXmlDataPacket"; }

private:
    std::vector<TPacketFieldDef> defs_;
    std::vector<std::vector<Variant>> rows_;
    std::function<void(const TUnreadableValue&)> onUnreadable_;
    size_t cur_ = 0;
    bool active_ = false;
};
