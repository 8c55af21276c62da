// The binary form of the in-memory table: tagged values through the value
// filer.
#include <cstring>

#include "core/format.h"
#include "memtable/memtable.h"
#include "memtable/memtable_csv.h"
#include "memtable/memtable_internal.h"
#include "memtable/memtable_texts.h"
#include "memtable/value_filer.h"

using MemTableInternal::SavedFieldType;

namespace {

constexpr size_t kFilerBufferSize = 16384;

}  // namespace

// ================================================================ binary form

void TqdCustomMemTable::SaveToBinaryFile(const std::string& fileName, TqdMemTableSaveFlags flags) {
    TFileStream fs(fileName, FileMode::Create);
    if (OnSave) OnSave(*this, TqdMemTableStorageType::mtstBinaryFile, &fs);
    SaveToBinaryStream(fs, flags);
}

void TqdCustomMemTable::LoadFromBinaryFile(const std::string& fileName) {
    TFileStream fs(fileName, FileMode::OpenRead);
    if (OnLoad) OnLoad(*this, TqdMemTableStorageType::mtstBinaryFile, &fs);
    LoadFromBinaryStream(fs);
}

void TqdCustomMemTable::SaveToBinaryStream(TStream& stream, TqdMemTableSaveFlags flags) { SaveBinary(stream, flags); }

void TqdCustomMemTable::LoadFromBinaryStream(TStream& stream) { LoadBinary(stream); }

namespace {

// The writer of the binary form.
class TqdCustomMemTableWriter : public TValueWriter {
public:
    using TValueWriter::TValueWriter;
};

}  // namespace

void TqdCustomMemTable::SaveBinary(TStream& target, TqdMemTableSaveFlags flags) {
    SaveWith(target, flags, [&](TStream& out) {
        std::vector<TBufferField*> saved;
        for (int i = 0; i < FieldCount(); ++i)
            if (IsFieldSaved(Fields(i), flags)) saved.push_back(&Fields(i));
        TqdCustomMemTableWriter w(out, kFilerBufferSize);
        w.WriteSignature();
        w.WriteListBegin();
        if (flags & mtfSaveDef) {
            for (TBufferField* f : saved) {
                w.WriteString(f->FieldName());
                w.WriteString(FieldTypeShortName(f->DataType()));
                w.WriteInteger(f->Size());
                w.WriteString(f->DisplayName());
                w.WriteString(f->EditMask);
                w.WriteInteger(f->GetDisplayWidth());
                w.WriteBoolean(f->Required);
                w.WriteBoolean(f->ReadOnly);
            }
        }
        w.WriteListEnd();
        w.WriteListBegin();
        First();
        while (!Eof()) {
            bool accept = true;
            if (OnSaveRecord) OnSaveRecord(*this, accept);
            if (accept) {
                for (TBufferField* f : saved) {
                    if (f->IsNull()) {
                        w.WriteNull();
                        continue;
                    }
                    if (OnSaveField) OnSaveField(*this, f->Index(), *f);
                    switch (f->DataType()) {
                        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftWord:
                        case TFieldType::ftAutoInc:
                            w.WriteInteger(f->AsInteger());
                            break;
                        case TFieldType::ftLargeint:
                            // Values beyond 32 bits take the 64-bit tag.
                            w.WriteInteger(f->AsLargeInt());
                            break;
                        case TFieldType::ftBoolean:
                            w.WriteBoolean(f->AsBoolean());
                            break;
                        case TFieldType::ftFloat: case TFieldType::ftDate: case TFieldType::ftTime:
                        case TFieldType::ftDateTime:
                            w.WriteFloat(f->AsFloat());
                            break;
                        case TFieldType::ftCurrency: case TFieldType::ftBCD:
                            w.WriteFloat(f->AsCurrency().ToDouble());
                            break;
                        default:
                            w.WriteString(f->AsString());
                            break;
                    }
                }
            }
            Next();
        }
        w.WriteListEnd();
        w.FlushBuffer();
    });
}

void TqdCustomMemTable::LoadBinary(TStream& source) {
    LoadWith(source, [&](TStream& in) {
        TValueReader r(in, kFilerBufferSize);
        r.ReadSignature();
        r.ReadListBegin();
        bool definitions = false;
        while (!r.EndOfList()) {
            if (!definitions) {
                definitions = true;
                Close();
                FieldDefs().Clear();
                DeleteTable();
            }
            TSavedFieldDef field;
            field.name = r.ReadString();
            const std::string typeName = r.ReadString();
            field.size = r.ReadInteger();
            field.displayLabel = r.ReadString();
            field.editMask = r.ReadString();
            field.displayWidth = r.ReadInteger();
            field.required = r.ReadBoolean();
            field.readOnly = r.ReadBoolean();
            field.type = SavedFieldType(typeName, std::string());
            DefineSavedField(field);
        }
        r.ReadListEnd();
        if (definitions) Open();
        r.ReadListBegin();
        const int n = FieldCount();
        for (;;) {
            int tag = r.PeekTag();
            if (tag < 0) r.ReadListEnd();  // raises: the list has no end
            // A 0x00 ends the list when it is the last byte; followed by more
            // bytes it is the null first value of a record. So a binary table
            // must end its stream: one followed by other bytes in the same
            // stream is not supported.
            if (tag == ValueTag::kNull && (n == 0 || r.Remaining() <= 1)) break;
            // A value with no field to take it would never be consumed: the
            // list could not end.
            if (n == 0) throw EReadError("Invalid property value");
            Append();
            for (int i = 0; i < n; ++i) {
                TBufferField& f = Fields(i);
                if (r.PeekTag() == ValueTag::kNull) {
                    r.SkipTag();
                    f.Clear();
                } else {
                    switch (f.DataType()) {
                        case TFieldType::ftSmallint: case TFieldType::ftInteger: case TFieldType::ftWord:
                        case TFieldType::ftAutoInc:
                            f.SetAsInteger(r.ReadInteger());
                            break;
                        case TFieldType::ftLargeint:
                            f.SetAsLargeInt(r.ReadInt64());
                            break;
                        case TFieldType::ftBoolean:
                            f.SetAsBoolean(r.ReadBoolean());
                            break;
                        case TFieldType::ftFloat: case TFieldType::ftDate: case TFieldType::ftTime:
                        case TFieldType::ftDateTime:
                            f.SetAsFloat(r.ReadFloat());
                            break;
                        case TFieldType::ftCurrency: case TFieldType::ftBCD:
                            f.SetAsCurrency(Currency::FromDouble(r.ReadFloat()));
                            break;
                        default:
                            f.SetAsString(r.ReadString());
                            break;
                    }
                }
                if (OnLoadField) OnLoadField(*this, i, f);
            }
            bool accept = true;
            if (OnLoadRecord) OnLoadRecord(*this, accept);
            if (accept) Post();
            else Cancel();
        }
        r.ReadListEnd();
    });
}

