// Shared part of the fuzz targets of the in-memory table readers: after a
// load, every record and value is read and the table is written again in
// both forms, so that whatever the reader accepted is exercised.
#pragma once

#include <cstdint>
#include <string>

#include "memtable/memtable.h"

inline void DefineEveryType(TNVMemTable& t) {
    t.FieldDefs().Add("S", TFieldType::ftString, 8);
    t.FieldDefs().Add("SI", TFieldType::ftSmallint);
    t.FieldDefs().Add("I", TFieldType::ftInteger);
    t.FieldDefs().Add("W", TFieldType::ftWord);
    t.FieldDefs().Add("B", TFieldType::ftBoolean);
    t.FieldDefs().Add("F", TFieldType::ftFloat);
    t.FieldDefs().Add("C", TFieldType::ftCurrency);
    t.FieldDefs().Add("BCD", TFieldType::ftBCD, 4);
    t.FieldDefs().Add("D", TFieldType::ftDate);
    t.FieldDefs().Add("T", TFieldType::ftTime);
    t.FieldDefs().Add("DT", TFieldType::ftDateTime);
    t.FieldDefs().Add("BY", TFieldType::ftBytes, 4);
    t.FieldDefs().Add("A", TFieldType::ftAutoInc);
    t.FieldDefs().Add("BL", TFieldType::ftBlob);
    t.FieldDefs().Add("M", TFieldType::ftMemo);
    t.FieldDefs().Add("L", TFieldType::ftLargeint);
    t.CreateTable();
}

inline void Exercise(TNVMemTable& t) {
    if (!t.Active()) return;
    for (t.First(); !t.Eof(); t.Next())
        for (int i = 0; i < t.FieldCount(); ++i) {
            TBufferField& f = t.Fields(i);
            (void)f.IsNull();
            (void)f.AsVariant();
        }
    TMemoryStream csv, bin;
    t.SaveToStream(csv, mtfSaveData | mtfSaveDef | mtfSaveBlobs | mtfSaveNonVisible);
    t.SaveToBinaryStream(bin, mtfSaveData | mtfSaveDef | mtfSaveBlobs | mtfSaveNonVisible);
    if (t.FieldCount() > 0) t.SortOn(t.Fields(0).FieldName(), mtcoCaseInsensitive);
}

// Loads the bytes into a table of every type and into a closed table, with
// the given reader.
template <typename Load>
void FuzzOne(const uint8_t* data, size_t size, Load load) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        TNVMemTable t;
        try {
            DefineEveryType(t);
            t.Open();
            TMemoryStream s(bytes);
            load(t, s);
            Exercise(t);
        } catch (const Exception&) {
        }
    }
    {
        TNVMemTable t;
        try {
            TMemoryStream s(bytes);
            load(t, s);
            Exercise(t);
        } catch (const Exception&) {
        }
    }
}
