// Table operations of the in-memory table: defining and removing the
// structure, emptying, copying the structure, field properties and records of
// another dataset, and loading from another dataset.
#include <cmath>

#include "memtable/memtable.h"
#include "memtable/memtable_internal.h"

using MemTableInternal::IsSupportedType;
using MemTableInternal::LoadingScope;

void TqdCustomMemTable::CreateTable() {
    CheckInactive();
    if (FieldDefs().Count() == 0) {
        for (int i = 0; i < FieldCount(); ++i) {
            TBufferField& f = Fields(i);
            if (f.FieldKind() == TFieldKind::fkData) FieldDefs().Add(f.FieldName(), f.DataType(), f.Size(), f.Required);
        }
    }
    DestroyFields();
    CreateFields();
    sorted_ = false;
}

void TqdCustomMemTable::DeleteTable() {
    CheckInactive();
    DestroyFields();
}

void TqdCustomMemTable::EmptyTable() {
    // An unfinished edit would be posted into a record that goes now.
    if (State() == TDataSetState::dsEdit || State() == TDataSetState::dsInsert) Cancel();
    DisableControls();
    try {
        ClearRecords();
        if (Active()) {
            // The visible buffers show no record now.
            ClearBuffers();
        }
        First();
    } catch (...) {
        EnableControls();
        throw;
    }
    EnableControls();
}

void TqdCustomMemTable::CreateTableAs(TDataSet* source, int copyOptions) {
    CheckInactive();
    if (!source) return;
    auto* bsrc = dynamic_cast<TBufferedDataSet*>(source);
    if (bsrc) {
        bsrc->FieldDefs().Update();
        FieldDefs().Assign(bsrc->FieldDefs());
    } else {
        // A dataset without definitions of its own: its data fields describe it.
        FieldDefs().Clear();
        for (int i = 0; i < source->FieldCount(); ++i) {
            TField& f = source->Fields(i);
            if (f.FieldKind() == TFieldKind::fkData && FieldDefs().IndexOf(f.FieldName()) < 0)
                FieldDefs().Add(f.FieldName(), f.DataType(), f.Size(), f.Required);
        }
    }
    for (int i = FieldDefs().Count() - 1; i >= 0; --i) {
        const TFieldDef& d = FieldDefs().Items(i);
        TField* sf = source->FindField(d.Name);
        if (!IsSupportedType(d.DataType)) FieldDefs().Delete(i);
        else if ((copyOptions & mtcpoOnlyData) && !sf) FieldDefs().Delete(i);
        // A calculated or lookup field recreated below as what it is gets
        // that one definition, not a data definition of the same name too.
        else if (sf && ((sf->Lookup() && (copyOptions & mtcpoLookup)) ||
                        (sf->Calculated() && (copyOptions & mtcpoCalculated))))
            FieldDefs().Delete(i);
    }
    DestroyFields();
    if (bsrc && !bsrc->DefaultFields() && bsrc->FieldCount() > 0) CreateFields();
    for (int i = 0; i < source->FieldCount(); ++i) {
        TField& f = source->Fields(i);
        if ((f.Lookup() && (copyOptions & mtcpoLookup)) || (f.Calculated() && (copyOptions & mtcpoCalculated))) {
            if (!IsSupportedType(f.DataType())) continue;
            TBufferField& nf = CreateField(f.FieldName(), f.DataType(), f.Size(), f.FieldKind());
            if (auto* bf = dynamic_cast<TBufferField*>(&f)) {
                nf.KeyFields = bf->KeyFields;
                nf.LookupDataSet = bf->LookupDataSet;
                nf.LookupResultField = bf->LookupResultField;
                nf.LookupKeyFields = bf->LookupKeyFields;
            }
        }
    }
    if (copyOptions & mtcpoProperties) CopyFieldProperties(source, this);
    sorted_ = false;
}

void TqdCustomMemTable::CopyFieldProperties(TDataSet* source, TqdCustomMemTable* destination) {
    if (!source || !destination || source == destination) return;
    for (int i = 0; i < destination->FieldCount(); ++i) {
        TBufferField& d = destination->Fields(i);
        TField* s = source->FindField(d.FieldName());
        if (!s) continue;
        d.EditMask = s->EditMask;
        d.DisplayWidth = s->DisplayWidth;
        d.DisplayLabel = s->DisplayLabel;
        d.Required = s->Required;
        d.ReadOnly = s->ReadOnly;
        d.Visible = s->Visible;
        auto* bs = dynamic_cast<TBufferField*>(s);
        if (!bs) continue;
        d.DefaultExpression = bs->DefaultExpression;
        d.Alignment = bs->Alignment;
        TFieldType st = bs->DataType(), dt = d.DataType();
        bool sNumeric = IsIntegerFieldType(st) || IsFloatFieldType(st);
        bool dNumeric = IsIntegerFieldType(dt) || IsFloatFieldType(dt);
        // Each group is copied between fields of the same kind only.
        if (sNumeric && dNumeric) {
            d.DisplayFormat = bs->DisplayFormat;
            d.EditFormat = bs->EditFormat;
        }
        if (IsIntegerFieldType(st) && IsIntegerFieldType(dt)) {
            d.MaxValue = bs->MaxValue;
            d.MinValue = bs->MinValue;
        }
        if (IsDateTimeFieldType(st) && IsDateTimeFieldType(dt)) d.DisplayFormat = bs->DisplayFormat;
        if (st == TFieldType::ftBoolean && dt == TFieldType::ftBoolean) d.DisplayValues = bs->DisplayValues;
        if (IsStringFieldType(st) && IsStringFieldType(dt)) d.Transliterate = bs->Transliterate;
        if (IsFloatFieldType(st) && IsFloatFieldType(dt)) {
            d.MaxValue = bs->MaxValue;
            d.MinValue = bs->MinValue;
            d.SetPrecision(bs->Precision());
            d.CurrencyDisplay = bs->CurrencyDisplay;
        }
        if (IsBlobFieldType(st) && IsBlobFieldType(dt)) {
            d.BlobType = bs->BlobType;
            d.Transliterate = bs->Transliterate;
        }
    }
}

void TqdCustomMemTable::CopyRecords(TDataSet* source, TDataSet* destination, int limit) {
    if (!source || !destination || source == destination) return;
    auto* dest = dynamic_cast<TBufferedDataSet*>(destination);
    if (!dest) throw EDatabaseError("Cannot modify a read-only dataset");
    auto* destTable = dynamic_cast<TqdCustomMemTable*>(dest);
    bool dummy = false;
    LoadingScope loading(destTable ? destTable->loading_ : dummy);

    // Destination field i reads source field map[i]; lookup fields are left alone.
    enum class Kind { None, Mapped, Lookup };
    std::vector<Kind> kinds;
    std::vector<TField*> map;
    for (int i = 0; i < dest->FieldCount(); ++i) {
        TBufferField& f = dest->Fields(i);
        if (f.FieldKind() == TFieldKind::fkLookup) {
            kinds.push_back(Kind::Lookup);
            map.push_back(nullptr);
        } else if ((f.FieldKind() == TFieldKind::fkData || f.FieldKind() == TFieldKind::fkCalculated) &&
                   IsSupportedType(f.DataType())) {
            TField* s = source->FindField(f.FieldName());
            kinds.push_back(s ? Kind::Mapped : Kind::None);
            map.push_back(s);
        } else {
            kinds.push_back(Kind::None);
            map.push_back(nullptr);
        }
    }

    int copied = 0;
    source->First();
    while (!source->Eof()) {
        if (limit > 0 && copied >= limit) break;
        bool accept = true;
        if (source == this && OnSaveRecord) OnSaveRecord(*this, accept);
        if (!accept) {
            source->Next();
            continue;
        }
        dest->Append();
        for (int i = 0; i < dest->FieldCount(); ++i) {
            TBufferField& f = dest->Fields(i);
            if (source == this && OnSaveField) OnSaveField(*this, i, f);
            switch (kinds[static_cast<size_t>(i)]) {
                case Kind::None:
                    f.Clear();
                    break;
                case Kind::Lookup:
                    break;
                case Kind::Mapped: {
                    Variant v = map[static_cast<size_t>(i)]->AsVariant();
                    if (f.DataType() == TFieldType::ftLargeint && !v.IsNull() && !v.IsOrdinal() && !v.IsStringType()) {
                        // A floating value is cut to its whole part.
                        double d = std::trunc(v.AsDouble());
                        if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) throw ERangeError("Range check error");
                        f.SetAsLargeInt(static_cast<int64_t>(d));
                    } else {
                        f.SetAsVariant(v);
                    }
                    break;
                }
            }
            if (dest == this && OnLoadField) OnLoadField(*this, i, f);
        }
        accept = true;
        if (dest == this && OnLoadRecord) OnLoadRecord(*this, accept);
        if (accept) dest->Post();
        else dest->Cancel();
        ++copied;
        source->Next();
    }
}

void TqdCustomMemTable::LoadFromDataSet(TDataSet* source, int copyOptions) {
    if (!source || source == this) return;
    if (OnLoad) OnLoad(*this, TqdMemTableStorageType::mtstDataSet, nullptr);
    Close();
    auto* bsrc = dynamic_cast<TBufferedDataSet*>(source);
    const bool sourceWasOpen = source->Active();
    if (bsrc) bsrc->DisableControls();
    const bool savedFiltered = Filtered();
    TDataSource* savedMaster = MasterSource();
    DisableControls();
    TBookmark sourceBookmark;
    int sourceRecNo = 0;
    auto restore = [&]() {
        // Every step is undone even when one of them fails.
        try {
            SetMasterSource(savedMaster);
        } catch (...) {
        }
        try {
            SetFiltered(savedFiltered);
        } catch (...) {
        }
        EnableControls();
        if (bsrc) {
            if (!sourceWasOpen) {
                try {
                    bsrc->Close();
                } catch (...) {
                }
            }
            bsrc->EnableControls();
        }
    };
    try {
        if (!sourceWasOpen) {
            if (!bsrc) throw EDatabaseError("Cannot perform this operation on a closed dataset");
            bsrc->Open();
        } else if (bsrc) {
            sourceBookmark = bsrc->GetBookmark();
        } else {
            sourceRecNo = source->RecNo();
        }
        filtered_ = false;
        SetMasterSource(nullptr);
        if (bsrc) {
            bsrc->CheckBrowseMode();
            bsrc->UpdateCursorPos();
        }
        if (copyOptions & mtcpoStructure) CreateTableAs(source, copyOptions);
        Open();
        CheckBrowseMode();
        source->First();
        CopyRecords(source, this, 0);
        if (bsrc) {
            if (!sourceBookmark.empty() && bsrc->BookmarkValid(sourceBookmark)) bsrc->GotoBookmark(sourceBookmark);
        } else if (sourceRecNo > 0) {
            source->First();
            for (int i = 1; i < sourceRecNo && !source->Eof(); ++i) source->Next();
        }
        First();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    UpdateCursorPos();
    CursorPosChanged();
}
