// Persistence of the in-memory table, the parts both forms share: which
// fields are saved, the frame around saving and loading, and the definitions
// of saved fields. The CSV text form is in memtable_csv.cpp, the binary form
// of tagged values in memtable_binary.cpp. Numbers and dates are written and
// read in a notation given to the conversions explicitly; nothing
// process-wide is changed.
#include <cstring>

#include "core/format.h"
#include "memtable/memtable.h"
#include "memtable/memtable_csv.h"
#include "memtable/memtable_internal.h"
#include "memtable/memtable_texts.h"
#include "memtable/value_filer.h"

using MemTableInternal::IsSupportedType;
using MemTableInternal::LoadingScope;

TFieldType MemTableInternal::SavedFieldType(const std::string& typeName, const std::string& context) {
    TFieldType type;
    if (!FindFieldTypeByShortName(typeName, type) || !IsSupportedType(type))
        throw EMemTableError(Format(MemTableTexts::kUnknownFieldType, {typeName}) + context);
    return type;
}

// ================================================================ field selection

bool TqdCustomMemTable::IsFieldSaved(const TBufferField& field, TqdMemTableSaveFlags flags) const {
    if (IsBinaryFieldType(field.DataType())) return flags & mtfSaveBlobs;
    bool saved;
    switch (field.FieldKind()) {
        case TFieldKind::fkData: saved = flags & mtfSaveData; break;
        case TFieldKind::fkCalculated: saved = flags & mtfSaveCalculated; break;
        case TFieldKind::fkLookup: saved = flags & mtfSaveLookup; break;
        default: saved = true; break;
    }
    if (saved && !field.Visible && !(flags & mtfSaveNonVisible)) saved = false;
    return saved;
}

// ================================================================ save and load frames

void TqdCustomMemTable::SaveWith(TStream& target, TqdMemTableSaveFlags flags,
                                 const std::function<void(TStream&)>& write) {
    CheckBrowseMode();
    TBookmark bm = GetBookmark();
    const bool savedFiltered = filtered_;
    if (savedFiltered && (flags & mtfSaveFiltered)) filtered_ = false;
    DisableControls();
    try {
        TMemoryStream mem;
        write(OnCompressSave ? static_cast<TStream&>(mem) : target);
        if (OnCompressSave) {
            mem.SetPosition(0);
            OnCompressSave(mem, target);
        }
    } catch (...) {
        filtered_ = savedFiltered;
        RestorePosition(bm);
        EnableControls();
        throw;
    }
    filtered_ = savedFiltered;
    RestorePosition(bm);
    EnableControls();
}

void TqdCustomMemTable::LoadWith(TStream& source, const std::function<void(TStream&)>& read) {
    TBookmark bm = GetBookmark();
    const bool savedPersistent = persistent_;
    persistent_ = false;
    DisableControls();
    try {
        LoadingScope loading(loading_);
        TMemoryStream plain;
        TStream* in = &source;
        if (OnDecompressLoad) {
            OnDecompressLoad(source, plain);
            plain.SetPosition(0);
            in = &plain;
        }
        read(*in);
    } catch (...) {
        if (State() == TDataSetState::dsInsert || State() == TDataSetState::dsEdit) {
            try {
                Cancel();
            } catch (...) {
            }
        }
        RestorePosition(bm);
        EnableControls();
        persistent_ = savedPersistent;
        throw;
    }
    RestorePosition(bm);
    EnableControls();
    persistent_ = savedPersistent;
}

void TqdCustomMemTable::DefineSavedField(const TSavedFieldDef& def) {
    FieldDefs().Add(def.name, def.type, def.size, def.required);
    TBufferField& f = CreateField(def.name, def.type, def.size);
    f.Required = def.required;
    f.DisplayLabel = def.displayLabel;
    f.EditMask = def.editMask;
    f.ReadOnly = def.readOnly;
    f.DisplayWidth = def.displayWidth;
    f.Visible = def.visible;
}
