// Helpers shared by the in-memory table tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "memtable/memtable.h"

struct FieldSpec {
    std::string name;
    TFieldType type;
    int size = 0;
};

// A table whose protected record-buffer operations tests may call.
class ProbeTable : public TNVMemTable {
public:
    using TqdCustomMemTable::GetRecord;
    using TqdCustomMemTable::InternalHandleException;
    using TqdCustomMemTable::IsSequenced;
    // Record number in the trailer of a buffer.
    int32_t BufferRecNo(const uint8_t* buffer) const {
        int32_t v;
        std::memcpy(&v, buffer + FieldAreaSize(), 4);
        return v;
    }
};

// Defines the fields, creates the table structure and opens it.
template <typename T = TNVMemTable>
std::unique_ptr<T> MakeTable(std::initializer_list<FieldSpec> fields, bool open = true) {
    auto t = std::make_unique<T>();
    for (const auto& f : fields) t->FieldDefs().Add(f.name, f.type, f.size);
    t->CreateTable();
    if (open) t->Open();
    return t;
}

// Values of one field over the table, in table order ("<null>" for null).
inline std::vector<std::string> Column(TBufferedDataSet& t, const std::string& field) {
    std::vector<std::string> out;
    t.First();
    while (!t.Eof()) {
        TBufferField& f = t.FieldByName(field);
        out.push_back(f.IsNull() ? "<null>" : f.AsString());
        t.Next();
    }
    return out;
}

// The current record's values as the process shows them, "|" between them ("<null>" for null).
inline std::string Row(TBufferedDataSet& t) {
    std::string s;
    for (int i = 0; i < t.FieldCount(); ++i) {
        TBufferField& f = t.Fields(i);
        s += (i ? "|" : "") + (f.IsNull() ? std::string("<null>") : f.GetText(TFormatSettings::Process()));
    }
    return s;
}

// Every record's Row, in table order, "; " between them.
inline std::string Rows(TBufferedDataSet& t) {
    std::string s;
    for (t.First(); !t.Eof(); t.Next()) s += (s.empty() ? "" : "; ") + Row(t);
    return s;
}

inline void AppendRow(TBufferedDataSet& t, std::initializer_list<Variant> values) {
    t.Append();
    int i = 0;
    for (const Variant& v : values) t.Fields(i++).SetAsVariant(v);
    t.Post();
}

// Opens T with an integer field V and a calculated field SQ = V * V, and
// appends the rows V = from..to.
inline void OpenSquaresTable(TNVMemTable& t, int from, int to) {
    t.CreateField("V", TFieldType::ftInteger);
    t.CreateField("SQ", TFieldType::ftInteger, 0, TFieldKind::fkCalculated);
    t.OnCalcFields = [](TBufferedDataSet& ds) {
        ds.FieldByName("SQ").SetAsInteger(ds.FieldByName("V").AsInteger() * ds.FieldByName("V").AsInteger());
    };
    t.Open();
    for (int i = from; i <= to; ++i) AppendRow(t, {Variant(i)});
}

// Adds to T (still closed) the lookup field Name: KeyField's value looked up
// as ID in Source, giving its NAME.
inline TBufferField& AddNameLookup(TNVMemTable& t, const std::string& name, const std::string& keyField,
                                   TBufferedDataSet* source) {
    TBufferField& f = t.CreateField(name, TFieldType::ftString, 10, TFieldKind::fkLookup);
    f.KeyFields = keyField, f.LookupDataSet = source, f.LookupKeyFields = "ID";
    f.LookupResultField = "NAME";
    return f;
}

// Every byte of a stream, from its start.
inline std::string Contents(TStream& s) {
    std::string bytes(static_cast<size_t>(s.Size()), '\0');
    s.SetPosition(0);
    if (!bytes.empty()) s.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    return bytes;
}

using Strings = std::vector<std::string>;
