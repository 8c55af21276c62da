// Shared part of the fuzz targets of the in-memory table readers: after a
// load, every record and value is read and the table is written again in
// both forms, so that whatever the reader accepted is exercised.
#pragma once

#include <cstdint>
#include <string>

#include "memtable/memtable.h"

inline void DefineEveryType(TNVMemTable& t) {
    const struct { const char* name; TFieldType type; int size; } fields[] = {
        {"S", TFieldType::ftString, 8},   {"SI", TFieldType::ftSmallint, 0}, {"I", TFieldType::ftInteger, 0},
        {"W", TFieldType::ftWord, 0},     {"B", TFieldType::ftBoolean, 0},   {"F", TFieldType::ftFloat, 0},
        {"C", TFieldType::ftCurrency, 0}, {"BCD", TFieldType::ftBCD, 4},     {"D", TFieldType::ftDate, 0},
        {"T", TFieldType::ftTime, 0},     {"DT", TFieldType::ftDateTime, 0}, {"BY", TFieldType::ftBytes, 4},
        {"A", TFieldType::ftAutoInc, 0},  {"BL", TFieldType::ftBlob, 0},     {"M", TFieldType::ftMemo, 0},
        {"L", TFieldType::ftLargeint, 0}};
    for (const auto& f : fields) t.FieldDefs().Add(f.name, f.type, f.size);
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
