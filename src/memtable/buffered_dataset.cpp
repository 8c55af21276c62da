#include "memtable/buffered_dataset.h"

#include <algorithm>

#include "core/format.h"

namespace {

bool IsWriteMode(TDataSetState s) {
    switch (s) {
        case TDataSetState::dsEdit: case TDataSetState::dsInsert: case TDataSetState::dsSetKey:
        case TDataSetState::dsCalcFields: case TDataSetState::dsFilter: case TDataSetState::dsNewValue:
        case TDataSetState::dsInternalCalc:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::vector<std::string> SplitFieldNames(const std::string& names) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < names.size()) {
        size_t semi = names.find(';', pos);
        if (semi == std::string::npos) semi = names.size();
        out.push_back(Trim(names.substr(pos, semi - pos)));
        pos = semi + 1;
    }
    return out;
}

// ---------------------------------------------------------------- dataset

TBufferedDataSet::TBufferedDataSet() : fieldDefs_(this) {}

TBufferedDataSet::~TBufferedDataSet() {
    std::vector<TDataSource*> sources = dataSources_;
    for (TDataSource* s : sources) s->SetDataSet(nullptr);
}

void TBufferedDataSet::RegisterDataSource(TDataSource* source) { dataSources_.push_back(source); }

void TBufferedDataSet::UnregisterDataSource(TDataSource* source) {
    dataSources_.erase(std::remove(dataSources_.begin(), dataSources_.end(), source), dataSources_.end());
}

// ---- open and close ----

void TBufferedDataSet::SetActive(bool value) {
    if (Active() == value) return;
    if (value) {
        DoBeforeOpen();
        try {
            OpenCursor();
        } catch (...) {
            OpenCursorComplete();
            throw;
        }
        OpenCursorComplete();
    } else {
        DoBeforeClose();
        SetState(TDataSetState::dsInactive);
        CloseCursor();
        DoAfterClose();
    }
}

void TBufferedDataSet::OpenCursor() { DoInternalOpen(); }

void TBufferedDataSet::DoInternalOpen() {
    defaultFields_ = FieldCount() == 0;
    InternalOpen();
    internalOpenComplete_ = true;
    SetBufListSize(2);
    bufferCount_ = 1;
    // The first record is read as the browse state reads it, so that it
    // carries its record number.
    TDataSetState saved = state_;
    state_ = TDataSetState::dsBrowse;
    try {
        if (recordCount_ < bufferCount_) GetNextRecord();
    } catch (...) {
        state_ = saved;
        throw;
    }
    state_ = saved;
    bof_ = true;
}

void TBufferedDataSet::OpenCursorComplete() {
    if (internalOpenComplete_) {
        SetState(TDataSetState::dsBrowse);
        DoAfterOpen();
        if (recordCount_ > 0) DoAfterScroll();
    } else {
        SetState(TDataSetState::dsInactive);
        CloseCursor();
    }
}

void TBufferedDataSet::CloseCursor() {
    blockReadSize_ = 0;
    internalOpenComplete_ = false;
    FreeFieldBuffers();
    ClearBuffers();
    SetBufListSize(0);
    InternalClose();
    bufferCount_ = 0;
}

void TBufferedDataSet::DoAfterOpen() {
    if (AfterOpen) AfterOpen(*this);
}

void TBufferedDataSet::DoBeforeClose() {
    if (BeforeClose) BeforeClose(*this);
}

void TBufferedDataSet::DoBeforeOpen() {
    if (BeforeOpen) BeforeOpen(*this);
}

void TBufferedDataSet::DoOnNewRecord() {
    if (OnNewRecord) OnNewRecord(*this);
}

void TBufferedDataSet::SetState(TDataSetState value) {
    if (state_ == value) return;
    state_ = value;
    modified_ = false;
    DataEvent(TDataEvent::deUpdateState, 0);
}

TDataSetState TBufferedDataSet::SetTempState(TDataSetState state) {
    TDataSetState old = state_;
    state_ = state;
    ++disableCount_;
    return old;
}

void TBufferedDataSet::RestoreState(TDataSetState state) {
    state_ = state;
    if (disableCount_ > 0) --disableCount_;
}

void TBufferedDataSet::CheckActive() const {
    if (!Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TBufferedDataSet::CheckInactive() const {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
}

void TBufferedDataSet::CheckCanModify() {
    if (!GetCanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
}

// ---- fields ----

// While the cursor is open the definitions describe the open layout and
// cannot change; only a closed dataset rebuilds them.
void TBufferedDataSet::InitFieldDefs() {
    if (!IsCursorOpen()) InternalInitFieldDefs();
}

TBufferField& TBufferedDataSet::Fields(int i) const {
    return static_cast<TBufferField&>(TDataSet::Fields(i));
}

TBufferField* TBufferedDataSet::FindField(const std::string& name) const {
    return static_cast<TBufferField*>(TDataSet::FindField(name));
}

TBufferField& TBufferedDataSet::FieldByName(const std::string& name) const {
    return static_cast<TBufferField&>(TDataSet::FieldByName(name));
}

TBufferField& TBufferedDataSet::CreateField(const std::string& name, TFieldType type, int size, TFieldKind kind) {
    CheckInactive();
    if (name.empty()) throw EDatabaseError("Field name missing");
    if (FindField(name)) throw EDatabaseError("Duplicate field name '" + name + "'");
    auto f = std::make_unique<TBufferField>(this, name, type, size, kind);
    return static_cast<TBufferField&>(AddField(std::move(f)));
}

void TBufferedDataSet::ClearFieldObjects() { ClearFields(); }

void TBufferedDataSet::CreateFields() {
    for (int i = 0; i < fieldDefs_.Count(); ++i) {
        const TFieldDef& d = fieldDefs_.Items(i);
        if (d.DataType == TFieldType::ftUnknown) continue;
        TBufferField& f = CreateField(d.Name, d.DataType, d.Size);
        f.Required = d.Required;
    }
}

void TBufferedDataSet::DestroyFields() { ClearFieldObjects(); }

void TBufferedDataSet::BindFields(bool binding) {
    calcFieldsSize_ = 0;
    for (int i = 0; i < FieldCount(); ++i) {
        TBufferField& f = Fields(i);
        if (!binding) {
            f.SetFieldNo(0);
            continue;
        }
        if (f.FieldKind() == TFieldKind::fkCalculated || f.FieldKind() == TFieldKind::fkLookup) {
            f.SetFieldNo(-1);
            f.SetOffset(calcFieldsSize_);
            calcFieldsSize_ += f.DataSize() + 1;
        } else {
            TFieldDef* d = fieldDefs_.Find(f.FieldName());
            if (!d) throw EDatabaseError("Field '" + f.FieldName() + "' not found");
            if (d->DataType != f.DataType())
                throw EDatabaseError(Format("Type mismatch for field '%s', expecting: %s actual: %s",
                                            {f.DisplayName(), FieldTypeShortName(f.DataType()),
                                             FieldTypeShortName(d->DataType)}));
            if (d->Size != f.Size())
                throw EDatabaseError(Format("Size mismatch for field '%s', expecting: %d actual: %d",
                                            {f.DisplayName(), f.Size(), d->Size}));
            f.SetFieldNo(d->FieldNo);
        }
    }
}

void TBufferedDataSet::GetFieldList(std::vector<TBufferField*>& list, const std::string& names) const {
    list.clear();
    for (const std::string& n : SplitFieldNames(names)) list.push_back(&FieldByName(n));
}

Variant TBufferedDataSet::FieldValues(const std::string& names) const {
    if (names.find(';') == std::string::npos) return FieldByName(Trim(names)).GetAsVariant();
    std::vector<TBufferField*> list;
    GetFieldList(list, names);
    std::vector<Variant> values;
    for (TBufferField* f : list) values.push_back(f->GetAsVariant());
    return Variant(values);
}

void TBufferedDataSet::SetFieldValues(const std::string& names, const Variant& values) {
    if (names.find(';') == std::string::npos) {
        FieldByName(Trim(names)).SetAsVariant(values);
        return;
    }
    std::vector<TBufferField*> list;
    GetFieldList(list, names);
    for (size_t i = 0; i < list.size(); ++i)
        list[i]->SetAsVariant(values.IsArray() && i < values.ArrayLength() ? values[i] : Variant::Null());
}

Variant TBufferedDataSet::GetFieldValue(const TField& field) const {
    const auto* f = dynamic_cast<const TBufferField*>(&field);
    return f ? f->GetAsVariant() : Variant::Null();
}

void TBufferedDataSet::SetFieldValue(TField& field, const Variant& value) {
    auto* f = dynamic_cast<TBufferField*>(&field);
    if (!f) throw EDatabaseError("Field '" + field.FieldName() + "' does not belong to this dataset");
    f->SetAsVariant(value);
}

void TBufferedDataSet::GetCalcFields(TRecordBuffer buffer) {
    if (calcFieldsSize_ <= 0) return;
    TDataSetState saved = state_;
    state_ = TDataSetState::dsCalcFields;
    TRecordBuffer savedCalc = calcBuffer_;
    try {
        CalculateFields(buffer);
    } catch (...) {
        state_ = saved;
        calcBuffer_ = savedCalc;
        throw;
    }
    state_ = saved;
    calcBuffer_ = savedCalc;
}

void TBufferedDataSet::CalculateFields(TRecordBuffer buffer) {
    calcBuffer_ = buffer;
    if (state_ != TDataSetState::dsInternalCalc) {
        ClearCalcFields(buffer);
        for (int i = 0; i < FieldCount(); ++i) {
            TBufferField& f = Fields(i);
            if (f.FieldKind() != TFieldKind::fkLookup) continue;
            Variant v = Variant::Null();
            if (f.LookupDataSet && f.LookupDataSet != this && f.LookupDataSet->Active() && !f.KeyFields.empty())
                v = f.LookupDataSet->Lookup(f.LookupKeyFields, FieldValues(f.KeyFields), f.LookupResultField);
            f.SetAsVariant(v);
        }
    }
    if (OnCalcFields) OnCalcFields(*this);
}

void TBufferedDataSet::FreeFieldBuffers() {
    for (int i = 0; i < FieldCount(); ++i) {
        TBufferField& f = Fields(i);
        if (IsBinaryFieldType(f.DataType()) && f.Modified) CloseBlob(f);
        f.Modified = false;
    }
}

// ---- events ----

void TBufferedDataSet::DataEvent(TDataEvent event, intptr_t info) {
    if (event == TDataEvent::deFieldChange) {
        auto* f = reinterpret_cast<TBufferField*>(info);
        if (f && (f->FieldKind() == TFieldKind::fkData || f->FieldKind() == TFieldKind::fkInternalCalc))
            modified_ = true;
        if (state_ != TDataSetState::dsSetKey && calcFieldsSize_ > 0 &&
            (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert))
            GetCalcFields(ActiveBuffer());
        if (f && f->OnChange) f->OnChange(*f);
    }
    if (disableCount_ == 0 && state_ != TDataSetState::dsBlockRead) {
        std::vector<TDataSource*> sources = dataSources_;
        for (TDataSource* s : sources)
            if (std::find(dataSources_.begin(), dataSources_.end(), s) != dataSources_.end()) s->DataEvent(event, info);
    } else if ((event == TDataEvent::deUpdateState && state_ == TDataSetState::dsInactive) ||
               event == TDataEvent::deLayoutChange) {
        enableEvent_ = TDataEvent::deLayoutChange;
    }
}

void TBufferedDataSet::DisableControls() {
    if (disableCount_ == 0) {
        disableState_ = state_;
        enableEvent_ = TDataEvent::deDataSetChange;
    }
    ++disableCount_;
}

void TBufferedDataSet::EnableControls() {
    if (disableCount_ == 0) return;
    if (--disableCount_ != 0) return;
    if (disableState_ != state_) DataEvent(TDataEvent::deUpdateState, 0);
    if (disableState_ != TDataSetState::dsInactive && state_ != TDataSetState::dsInactive)
        DataEvent(enableEvent_, 0);
}

bool TBufferedDataSet::IsLinkedTo(TDataSource* source) const {
    while (source) {
        TBufferedDataSet* ds = source->DataSet();
        if (!ds) break;
        if (ds == this) return true;
        source = ds->GetDataSource();
    }
    return false;
}

// ---- buffers ----

TRecordBuffer TBufferedDataSet::ActiveBuffer() const {
    if (buffers_.empty()) return nullptr;
    return buffers_[static_cast<size_t>(activeRecord_)];
}

void TBufferedDataSet::SetBufListSize(int value) {
    while (static_cast<int>(buffers_.size()) > value) {
        TRecordBuffer b = buffers_.back();
        buffers_.pop_back();
        FreeRecordBuffer(b);
    }
    while (static_cast<int>(buffers_.size()) < value) buffers_.push_back(AllocRecordBuffer());
}

void TBufferedDataSet::ClearBuffers() {
    recordCount_ = 0;
    activeRecord_ = 0;
    currentRecord_ = -1;
    bof_ = true;
    eof_ = true;
}

void TBufferedDataSet::ActivateBuffers() {
    recordCount_ = 1;
    activeRecord_ = 0;
    currentRecord_ = 0;
    bof_ = false;
    eof_ = false;
}

void TBufferedDataSet::MoveBuffer(int curIndex, int newIndex) {
    if (curIndex == newIndex) return;
    TRecordBuffer b = buffers_[static_cast<size_t>(curIndex)];
    if (newIndex < curIndex) {
        for (int i = curIndex; i > newIndex; --i) buffers_[static_cast<size_t>(i)] = buffers_[static_cast<size_t>(i - 1)];
    } else {
        for (int i = curIndex; i < newIndex; ++i) buffers_[static_cast<size_t>(i)] = buffers_[static_cast<size_t>(i + 1)];
    }
    buffers_[static_cast<size_t>(newIndex)] = b;
}

void TBufferedDataSet::SetCurrentRecord(int index) {
    if (currentRecord_ == index) return;
    TRecordBuffer b = buffers_[static_cast<size_t>(index)];
    switch (GetBookmarkFlag(b)) {
        case TBookmarkFlag::bfCurrent:
        case TBookmarkFlag::bfInserted: InternalSetToRecord(b); break;
        case TBookmarkFlag::bfBOF: InternalFirst(); break;
        case TBookmarkFlag::bfEOF: InternalLast(); break;
    }
    currentRecord_ = index;
}

void TBufferedDataSet::UpdateCursorPos() {
    if (recordCount_ > 0) SetCurrentRecord(activeRecord_);
}

bool TBufferedDataSet::GetNextRecord() {
    TGetMode mode = TGetMode::gmNext;
    if (recordCount_ > 0) {
        SetCurrentRecord(recordCount_ - 1);
        if (state_ == TDataSetState::dsInsert && currentRecord_ == activeRecord_ &&
            GetBookmarkFlag(ActiveBuffer()) == TBookmarkFlag::bfCurrent)
            mode = TGetMode::gmCurrent;
    }
    bool ok = GetRecord(buffers_[static_cast<size_t>(recordCount_)], mode, true) == TGetResult::grOK;
    if (ok) {
        if (recordCount_ == 0) ActivateBuffers();
        else if (recordCount_ < bufferCount_) ++recordCount_;
        else MoveBuffer(0, recordCount_);
        currentRecord_ = recordCount_ - 1;
    } else {
        CursorPosChanged();
    }
    return ok;
}

bool TBufferedDataSet::GetPriorRecord() {
    if (recordCount_ > 0) SetCurrentRecord(0);
    bool ok = GetRecord(buffers_[static_cast<size_t>(recordCount_)], TGetMode::gmPrior, true) == TGetResult::grOK;
    if (ok) {
        if (recordCount_ == 0) {
            ActivateBuffers();
        } else {
            MoveBuffer(recordCount_, 0);
            if (recordCount_ < bufferCount_) {
                ++recordCount_;
                ++activeRecord_;
            }
        }
        currentRecord_ = 0;
    } else {
        CursorPosChanged();
    }
    return ok;
}

void TBufferedDataSet::Resync(TResyncMode mode) {
    TRecordBuffer spare = buffers_[static_cast<size_t>(recordCount_)];
    if (mode & rmExact) {
        CursorPosChanged();
        if (GetRecord(spare, TGetMode::gmCurrent, true) != TGetResult::grOK)
            throw EDatabaseError("Record not found");
    } else if (GetRecord(spare, TGetMode::gmCurrent, false) != TGetResult::grOK &&
               GetRecord(spare, TGetMode::gmNext, false) != TGetResult::grOK &&
               GetRecord(spare, TGetMode::gmPrior, false) != TGetResult::grOK) {
        ClearBuffers();
        DataEvent(TDataEvent::deDataSetChange, 0);
        return;
    }
    MoveBuffer(recordCount_, 0);
    ActivateBuffers();
    DataEvent(TDataEvent::deDataSetChange, 0);
}

// ---- cursor ----

void TBufferedDataSet::First() { MoveToEnd(true); }

void TBufferedDataSet::Last() { MoveToEnd(false); }

void TBufferedDataSet::MoveToEnd(bool first) {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    // The end moved to is flagged even when reading its record fails.
    bool& atEnd = first ? bof_ : eof_;
    try {
        if (first) {
            InternalFirst();
            GetNextRecord();
        } else {
            InternalLast();
            GetPriorRecord();
        }
    } catch (...) {
        atEnd = true;
        throw;
    }
    atEnd = true;
    DataEvent(TDataEvent::deDataSetChange, 0);
    DoAfterScroll();
}

void TBufferedDataSet::Next() { MoveBy(1); }

void TBufferedDataSet::Prior() { MoveBy(-1); }

int TBufferedDataSet::MoveBy(int distance) {
    CheckBrowseMode();
    int result = 0;
    DoBeforeScroll();
    if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
        bof_ = false;
        eof_ = false;
        while (distance > 0) {
            if (activeRecord_ < recordCount_ - 1) {
                ++activeRecord_;
            } else if (!GetNextRecord()) {
                eof_ = true;
                break;
            }
            --distance;
            ++result;
        }
        while (distance < 0) {
            if (activeRecord_ > 0) {
                --activeRecord_;
            } else if (!GetPriorRecord()) {
                bof_ = true;
                break;
            }
            ++distance;
            --result;
        }
        DataEvent(TDataEvent::deDataSetScroll, result);
        DoAfterScroll();
    }
    return result;
}

int TBufferedDataSet::RecordCount() const {
    return const_cast<TBufferedDataSet*>(this)->GetRecordCount();
}

int TBufferedDataSet::RecNo() const { return const_cast<TBufferedDataSet*>(this)->GetRecNo(); }

void TBufferedDataSet::Refresh() {
    CheckBrowseMode();
    UpdateCursorPos();
    Resync(0);
}

void TBufferedDataSet::DoSetBlockReadSize(int value) {
    if (value > 0) {
        CheckActive();
        SetState(TDataSetState::dsBlockRead);
    } else if (state_ == TDataSetState::dsBlockRead) {
        SetState(TDataSetState::dsBrowse);
    }
    blockReadSize_ = value;
}

// ---- editing ----

void TBufferedDataSet::CheckOperation(void (TBufferedDataSet::*operation)(), const TErrorEvent& errorEvent) {
    for (;;) {
        try {
            (this->*operation)();
            return;
        } catch (const EDatabaseError& e) {
            TDataAction action = TDataAction::daFail;
            if (errorEvent) errorEvent(*this, e, action);
            if (action == TDataAction::daFail) throw;
            if (action == TDataAction::daAbort) throw EAbort("Operation aborted");
        }
    }
}

void TBufferedDataSet::BeginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    DoBeforeInsert();
    DoBeforeScroll();
}

void TBufferedDataSet::EndInsertAppend() {
    SetState(TDataSetState::dsInsert);
    try {
        DoOnNewRecord();
    } catch (...) {
        UpdateCursorPos();
        InternalCancel();
        FreeFieldBuffers();
        SetState(TDataSetState::dsBrowse);
        Resync(0);
        throw;
    }
    modified_ = false;
    DataEvent(TDataEvent::deDataSetChange, 0);
    DoAfterInsert();
    DoAfterScroll();
}

void TBufferedDataSet::PrepareAppendBuffer() {
    ClearBuffers();
    TRecordBuffer b = buffers_[0];
    InternalInitRecord(b);
    ClearCalcFields(b);
    SetBookmarkFlag(b, TBookmarkFlag::bfEOF);
    recordCount_ = 1;
    bof_ = false;
}

void TBufferedDataSet::PrepareInsertBuffer() {
    TBookmark oldCurrent = GetBookmark();
    MoveBuffer(recordCount_, activeRecord_);
    TRecordBuffer b = ActiveBuffer();
    InternalInitRecord(b);
    ClearCalcFields(b);
    SetBookmarkFlag(b, TBookmarkFlag::bfInserted);
    if (recordCount_ == 0) SetBookmarkFlag(b, TBookmarkFlag::bfBOF);
    else SetBookmarkData(b, oldCurrent);
    if (recordCount_ < bufferCount_) ++recordCount_;
}

void TBufferedDataSet::Append() {
    BeginInsertAppend();
    PrepareAppendBuffer();
    InternalInsert();
    EndInsertAppend();
}

void TBufferedDataSet::Insert() {
    BeginInsertAppend();
    PrepareInsertBuffer();
    InternalInsert();
    EndInsertAppend();
}

void TBufferedDataSet::Edit() {
    if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
    if (recordCount_ == 0) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    if (BeforeEdit) BeforeEdit(*this);
    CheckOperation(&TBufferedDataSet::DoEditOperation, OnEditError);
    GetCalcFields(ActiveBuffer());
    SetState(TDataSetState::dsEdit);
    DataEvent(TDataEvent::deRecordChange, 0);
    if (AfterEdit) AfterEdit(*this);
}

void TBufferedDataSet::UpdateRecord() {
    if (!IsWriteMode(state_)) throw EDatabaseError("Dataset not in edit or insert mode");
    DataEvent(TDataEvent::deUpdateRecord, 0);
}

void TBufferedDataSet::Post() {
    UpdateRecord();
    if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
    DataEvent(TDataEvent::deCheckBrowseMode, 0);
    if (BeforePost) BeforePost(*this);
    CheckOperation(&TBufferedDataSet::DoPostOperation, OnPostError);
    FreeFieldBuffers();
    SetState(TDataSetState::dsBrowse);
    Resync(0);
    if (AfterPost) AfterPost(*this);
}

void TBufferedDataSet::Cancel() {
    if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
    DataEvent(TDataEvent::deCheckBrowseMode, 0);
    if (BeforeCancel) BeforeCancel(*this);
    bool scroll = state_ == TDataSetState::dsInsert;
    if (scroll) DoBeforeScroll();
    UpdateCursorPos();
    InternalCancel();
    FreeFieldBuffers();
    SetState(TDataSetState::dsBrowse);
    Resync(0);
    if (AfterCancel) AfterCancel(*this);
    if (scroll) DoAfterScroll();
}

void TBufferedDataSet::Delete() {
    CheckActive();
    if (state_ == TDataSetState::dsInsert || state_ == TDataSetState::dsSetKey) {
        Cancel();
        return;
    }
    if (recordCount_ == 0) throw EDatabaseError("Cannot perform this operation on an empty dataset");
    CheckCanModify();
    DataEvent(TDataEvent::deCheckBrowseMode, 0);
    if (BeforeDelete) BeforeDelete(*this);
    DoBeforeScroll();
    UpdateCursorPos();
    CheckOperation(&TBufferedDataSet::DoDeleteOperation, OnDeleteError);
    FreeFieldBuffers();
    SetState(TDataSetState::dsBrowse);
    Resync(0);
    if (AfterDelete) AfterDelete(*this);
    DoAfterScroll();
}

void TBufferedDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(TDataEvent::deCheckBrowseMode, 0);
    switch (state_) {
        case TDataSetState::dsEdit:
        case TDataSetState::dsInsert:
            UpdateRecord();
            if (modified_) Post();
            else Cancel();
            break;
        case TDataSetState::dsSetKey:
            Post();
            break;
        default:
            break;
    }
}

void TBufferedDataSet::AddRecordWithValues(const std::vector<Variant>& values, bool append) {
    BeginInsertAppend();
    if (append) PrepareAppendBuffer();
    else PrepareInsertBuffer();
    SetState(TDataSetState::dsInsert);
    try {
        DoOnNewRecord();
        DoAfterInsert();
        for (size_t i = 0; i < values.size() && static_cast<int>(i) < FieldCount(); ++i)
            if (!values[i].IsEmpty()) Fields(static_cast<int>(i)).SetAsVariant(values[i]);
        if (BeforePost) BeforePost(*this);
        InternalAddRecord(ActiveBuffer(), append);
    } catch (...) {
        InternalCancel();
        FreeFieldBuffers();
        SetState(TDataSetState::dsBrowse);
        Resync(0);
        throw;
    }
    FreeFieldBuffers();
    SetState(TDataSetState::dsBrowse);
    Resync(0);
    if (AfterPost) AfterPost(*this);
}

void TBufferedDataSet::AppendRecord(const std::vector<Variant>& values) { AddRecordWithValues(values, true); }

void TBufferedDataSet::InsertRecord(const std::vector<Variant>& values) { AddRecordWithValues(values, false); }

// ---- bookmarks ----

bool TBufferedDataSet::BookmarkAvailable() {
    return (state_ == TDataSetState::dsBrowse || state_ == TDataSetState::dsEdit ||
            state_ == TDataSetState::dsInsert) &&
           recordCount_ > 0 && GetBookmarkFlag(ActiveBuffer()) == TBookmarkFlag::bfCurrent;
}

TBookmark TBufferedDataSet::GetBookmark() {
    TBookmark bm;
    if (BookmarkAvailable()) GetBookmarkData(ActiveBuffer(), bm);
    return bm;
}

void TBufferedDataSet::GotoBookmark(const TBookmark& bookmark) {
    if (bookmark.empty()) return;
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(bookmark);
    Resync(rmExact | rmCenter);
    DoAfterScroll();
}

// ---- searching, filtering, blobs ----

bool TBufferedDataSet::Locate(const std::string&, const Variant&, TLocateOptions) {
    throw EDatabaseError("Capability not supported");
}

Variant TBufferedDataSet::Lookup(const std::string&, const Variant&, const std::string&) { return Variant::Null(); }

void TBufferedDataSet::SetFiltered(bool value) {
    if (Active()) {
        CheckBrowseMode();
        if (filtered_ != value) {
            filtered_ = value;
            First();
        }
    } else {
        filtered_ = value;
    }
}

std::unique_ptr<TBlobStream> TBufferedDataSet::CreateBlobStream(TBufferField&, TBlobStreamMode) {
    throw EDatabaseError("Capability not supported");
}
