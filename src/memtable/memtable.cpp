#include "memtable/memtable.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/format.h"
#include "core/log.h"
#include "memtable/memtable_internal.h"
#include "memtable/memtable_texts.h"

using MemTableInternal::IsSupportedType;

namespace {

// Trailer behind the field area: 32-bit record number, one flag byte.
constexpr int kTrailerSize = 5;

}  // namespace

// ================================================================ TqdmBlob

void TqdmBlob::LoadFromStream(TStream& stream) {
    int64_t size = stream.Size();
    if (size < 0 || size > INT32_MAX) throw ERangeError("Range check error");
    Size = static_cast<int32_t>(size);
    Data.assign(static_cast<size_t>(Size), '\0');
    stream.SetPosition(0);
    if (Size > 0) stream.ReadBuffer(Data.data(), Size);
}

void TqdmBlob::SaveToStream(TStream& stream) const {
    stream.SetSize(Size);
    stream.SetPosition(0);
    if (Size > 0) stream.WriteBuffer(Data.data(), Size);
    stream.SetPosition(0);
}

// ================================================================ table: construction

TqdCustomMemTable::TqdCustomMemTable() : masterLink_(this) {
    masterLink_.OnMasterChange = [this] { MasterChanged(); };
    masterLink_.OnMasterDisable = [this] { MasterDisabled(); };
}

TqdCustomMemTable::~TqdCustomMemTable() {
    try {
        Close();
    } catch (...) {
        // A failing persistent save (or BeforeClose event) at destruction
        // cannot be reported: the table closes without them.
        persistent_ = false;
        BeforeClose = nullptr;
        AfterClose = nullptr;
        try {
            Close();
        } catch (...) {
        }
    }
    masterLink_.SetDataSource(nullptr);
}

void TqdCustomMemTable::SetCapacity(int value) {
    if (value < static_cast<int>(records_.size())) return;
    capacity_ = value;
    records_.reserve(static_cast<size_t>(value));
}

// ================================================================ layout

uint8_t* TqdCustomMemTable::FieldSlot(const TField& field, uint8_t* record) const {
    if (!record) return nullptr;
    int no = field.FieldNo();
    if (no > 0) {
        if (no > static_cast<int>(offsets_.size())) return nullptr;
        return record + offsets_[static_cast<size_t>(no - 1)];
    }
    if (no == 0) return nullptr;  // not bound
    const auto& f = static_cast<const TBufferField&>(field);
    return record + calcAreaOffset_ + f.Offset();
}

uint8_t* TqdCustomMemTable::GetActiveRecordBuffer() {
    switch (State()) {
        case TDataSetState::dsBrowse:
            return BufferRecordCount() == 0 ? nullptr : ActiveBuffer();
        case TDataSetState::dsEdit: case TDataSetState::dsInsert: case TDataSetState::dsNewValue:
        case TDataSetState::dsCurValue: case TDataSetState::dsBlockRead:
            return ActiveBuffer();
        case TDataSetState::dsCalcFields:
            return CalcBuffer();
        case TDataSetState::dsFilter:
            return filterBuffer_;
        case TDataSetState::dsOldValue:
            return oldValue_ ? oldValue_ : ActiveBuffer();
        default:
            return nullptr;
    }
}

int32_t TqdCustomMemTable::BufferRecNo(const uint8_t* buffer) const {
    int32_t v;
    std::memcpy(&v, buffer + trailerOffset_, 4);
    return v;
}

void TqdCustomMemTable::SetBufferRecNo(uint8_t* buffer, int32_t recNo) const {
    std::memcpy(buffer + trailerOffset_, &recNo, 4);
}

int TqdCustomMemTable::GetRecordSize() {
    if (fieldAreaSize_ >= 65536) throw ERangeError("Range check error");
    return fieldAreaSize_;
}

TRecordBuffer TqdCustomMemTable::AllocRecordBuffer() {
    auto* b = new uint8_t[static_cast<size_t>(std::max(recordSize_, 1))];
    std::memset(b, 0, static_cast<size_t>(std::max(recordSize_, 1)));
    return b;
}

void TqdCustomMemTable::FreeRecordBuffer(TRecordBuffer& buffer) {
    delete[] buffer;
    buffer = nullptr;
}

// ================================================================ blobs

uint32_t TqdCustomMemTable::SlotBlobHandle(const uint8_t* slot) {
    uint32_t h;
    std::memcpy(&h, slot + 1, 4);
    return h;
}

void TqdCustomMemTable::SetSlotBlobHandle(uint8_t* slot, uint32_t handle) { std::memcpy(slot + 1, &handle, 4); }

uint32_t TqdCustomMemTable::AddBlob(std::unique_ptr<TqdmBlob> blob) {
    if (!freeBlobHandles_.empty()) {
        uint32_t h = freeBlobHandles_.back();
        freeBlobHandles_.pop_back();
        blobs_[h - 1] = std::move(blob);
        return h;
    }
    blobs_.push_back(std::move(blob));
    return static_cast<uint32_t>(blobs_.size());
}

TqdmBlob* TqdCustomMemTable::BlobByHandle(uint32_t handle) const {
    if (handle == 0 || handle > blobs_.size()) return nullptr;
    return blobs_[handle - 1].get();
}

void TqdCustomMemTable::FreeBlob(uint32_t handle) {
    if (!BlobByHandle(handle)) return;
    blobs_[handle - 1].reset();
    freeBlobHandles_.push_back(handle);
    pendingBlobs_.erase(std::remove(pendingBlobs_.begin(), pendingBlobs_.end(), handle), pendingBlobs_.end());
}

bool TqdCustomMemTable::IsPendingBlob(uint32_t handle) const {
    return std::find(pendingBlobs_.begin(), pendingBlobs_.end(), handle) != pendingBlobs_.end();
}

void TqdCustomMemTable::FreeRecordBlobs(uint8_t* record) {
    if (!hasBlobs_ || !record) return;
    for (int i = 0; i < FieldDefs().Count() && i < static_cast<int>(offsets_.size()); ++i) {
        if (!IsBinaryFieldType(FieldDefs().Items(i).DataType)) continue;
        uint8_t* slot = record + offsets_[static_cast<size_t>(i)];
        FreeBlob(SlotBlobHandle(slot));
        SetSlotBlobHandle(slot, 0);
    }
}

void TqdCustomMemTable::ClearRecords() {
    if (hasBlobs_)
        for (auto& r : records_) FreeRecordBlobs(r.get());
    records_.clear();
    if (capacity_ > 0) records_.reserve(static_cast<size_t>(capacity_));
    currentIndex_ = -1;
    sorted_ = false;
}

// Drops what an unfinished edit or insert holds: the old-value copy and the
// blobs written during it that no stored record owns.
void TqdCustomMemTable::ReleaseEditState() {
    std::vector<uint32_t> pending = pendingBlobs_;
    for (uint32_t h : pending) FreeBlob(h);
    pendingBlobs_.clear();
    if (oldValue_) FreeRecordBuffer(oldValue_);
}

std::unique_ptr<TBlobStream> TqdCustomMemTable::CreateBlobStream(TBufferField& field, TBlobStreamMode mode) {
    if (!IsBinaryFieldType(field.DataType())) throw EInvalidCast("Invalid class typecast");
    return std::make_unique<TqdmBlobStream>(field, mode);
}

void TqdCustomMemTable::CloseBlob(TBufferField& field) {
    if (currentIndex_ >= 0 && currentIndex_ < static_cast<int>(records_.size()) && State() == TDataSetState::dsEdit)
        return;
    if (!IsBinaryFieldType(field.DataType())) return;
    uint8_t* slot = FieldSlot(field, GetActiveRecordBuffer());
    if (!slot) return;
    slot[0] = 0;
    SetSlotBlobHandle(slot, 0);
}

TqdmBlobStream::TqdmBlobStream(TBufferField& field, TBlobStreamMode mode)
    : field_(&field), fieldNo_(field.FieldNo()), mode_(mode) {
    table_ = dynamic_cast<TqdCustomMemTable*>(field.BufferedDataSet());
    if (!table_) throw EInvalidCast("Invalid class typecast");
    uint8_t* slot = table_->FieldSlot(field, table_->GetActiveRecordBuffer());
    if (!slot) return;
    hasSlot_ = true;
    if (mode != TBlobStreamMode::bmRead) {
        // As for SetFieldData: values the table loads itself pass.
        if (field.ReadOnly && !table_->loading_)
            throw EDatabaseError(Format(MemTableTexts::kFieldReadOnly, {field.DisplayName()}));
        if (table_->State() != TDataSetState::dsEdit && table_->State() != TDataSetState::dsInsert)
            throw EDatabaseError(MemTableTexts::kNotEditing);
    }
    if (mode == TBlobStreamMode::bmWrite) Truncate();
    else LoadFromRecord();
}

TqdmBlobStream::~TqdmBlobStream() {
    try {
        Close();
    } catch (...) {
        // Close is called explicitly where a failure must be reported.
    }
}

int64_t TqdmBlobStream::Write(const void* buffer, int64_t count) {
    int64_t n = TMemoryStream::Write(buffer, count);
    if (mode_ == TBlobStreamMode::bmWrite) modified_ = true;
    return n;
}

void TqdmBlobStream::LoadFromRecord() {
    uint8_t* slot = table_->FieldSlot(*field_, table_->GetActiveRecordBuffer());
    TqdmBlob* blob = slot ? table_->BlobByHandle(TqdCustomMemTable::SlotBlobHandle(slot)) : nullptr;
    if (blob) {
        if (table_->OnDecompressBlobStream) {
            TMemoryStream tmp;
            blob->SaveToStream(tmp);
            table_->OnDecompressBlobStream(tmp, *this);
        } else {
            // Loaded through the memory stream's own write, so that a read
            // does not count as a change.
            SetSize(0);
            if (blob->Size > 0) TMemoryStream::Write(blob->Data.data(), blob->Size);
        }
    }
    SetPosition(0);
}

void TqdmBlobStream::Truncate() {
    Clear();
    uint8_t* slot = table_->FieldSlot(*field_, table_->GetActiveRecordBuffer());
    if (slot) {
        uint32_t old = TqdCustomMemTable::SlotBlobHandle(slot);
        // A blob made during this same edit is no record's value: release it.
        if (old && table_->IsPendingBlob(old)) table_->FreeBlob(old);
        TqdCustomMemTable::SetSlotBlobHandle(slot, 0);
    }
    modified_ = true;
}

void TqdmBlobStream::Close() {
    if (closed_) return;
    closed_ = true;
    if (!modified_ || !hasSlot_) return;
    if (table_->State() != TDataSetState::dsEdit && table_->State() != TDataSetState::dsInsert) return;
    uint8_t* slot = table_->FieldSlot(*field_, table_->GetActiveRecordBuffer());
    if (!slot) return;
    auto blob = std::make_unique<TqdmBlob>();
    if (table_->OnCompressBlobStream) {
        TMemoryStream tmp;
        SetPosition(0);
        table_->OnCompressBlobStream(*this, tmp);
        tmp.SetPosition(0);
        blob->LoadFromStream(tmp);
    } else {
        blob->LoadFromStream(*this);
    }
    uint32_t old = TqdCustomMemTable::SlotBlobHandle(slot);
    if (old && table_->IsPendingBlob(old)) table_->FreeBlob(old);
    uint32_t h = table_->AddBlob(std::move(blob));
    table_->pendingBlobs_.push_back(h);
    TqdCustomMemTable::SetSlotBlobHandle(slot, h);
    slot[0] = Size() != 0 ? 1 : 0;
    field_->Modified = true;
    table_->DataEvent(TDataEvent::deFieldChange, reinterpret_cast<intptr_t>(field_));
}

// ================================================================ open and close

void TqdCustomMemTable::InternalInitFieldDefs() {
    autoincField_ = nullptr;
    lastAutoInc_ = -1;
    if (!DefaultFields() && FieldCount() > 0) {
        FieldDefs().Clear();
        for (int i = 0; i < FieldCount(); ++i) {
            TBufferField& f = Fields(i);
            FieldDefs().Add(f.FieldName(), f.DataType(), f.Size(), f.Required);
        }
    }
    for (int i = 0; i < FieldCount(); ++i)
        if (Fields(i).DataType() == TFieldType::ftAutoInc) {
            autoincField_ = &Fields(i);
            break;
        }
}

void TqdCustomMemTable::InternalOpen() {
    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    // The autoinc field of default fields exists only now.
    if (!autoincField_)
        for (int i = 0; i < FieldCount(); ++i)
            if (Fields(i).DataType() == TFieldType::ftAutoInc) {
                autoincField_ = &Fields(i);
                break;
            }
    size_t n = static_cast<size_t>(std::max(FieldDefs().Count(), FieldCount()));
    if (offsets_.size() < n) offsets_.resize(n);
    int running = 0;
    hasBlobs_ = false;
    for (int i = 0; i < FieldDefs().Count(); ++i) {
        const TFieldDef& d = FieldDefs().Items(i);
        if (!IsSupportedType(d.DataType))
            throw EMemTableError("Felddefinition " + d.Name + " (" + d.DisplayName() + ")" +
                                 Format(MemTableTexts::kUnsupportedType, {static_cast<int32_t>(d.DataType)}));
        offsets_[static_cast<size_t>(i)] = running;
        if (IsBinaryFieldType(d.DataType)) hasBlobs_ = true;
        running += 1 + FieldDataSize(d.DataType, d.Size);
    }
    BindFields(true);
    // The key and sort names may have changed since the field objects were
    // made: the lists follow them at every open (and the sort list again
    // whenever IndexFieldNames is set), so that a posted record is placed by
    // the fields the table sorts on now, never by a stale list.
    if (!DefaultFields()) {
        BuildFieldList(detailFieldList_, keyFields_);
        BuildFieldList(sortFieldList_, sortFields_);
    }
    currentIndex_ = -1;
    SetBookmarkSize(4);
    fieldAreaSize_ = running;
    trailerOffset_ = running;
    calcAreaOffset_ = running + kTrailerSize;
    recordSize_ = running + kTrailerSize + CalcFieldsSize();
    open_ = true;
}

void TqdCustomMemTable::InternalClose() {
    ClearRecords();
    ReleaseEditState();
    // No record is left: every blob object is gone with them.
    blobs_.clear();
    freeBlobHandles_.clear();
    open_ = false;
    BindFields(false);
    if (DefaultFields()) DestroyFields();
}

void TqdCustomMemTable::CreateFields() {
    TBufferedDataSet::CreateFields();
    offsets_.assign(static_cast<size_t>(FieldCount()), 0);
    BuildFieldList(detailFieldList_, keyFields_);
    BuildFieldList(sortFieldList_, sortFields_);
}

void TqdCustomMemTable::DestroyFields() {
    // The field lists refer to the field objects that go now.
    detailFieldList_.clear();
    sortFieldList_.clear();
    autoincField_ = nullptr;
    TBufferedDataSet::DestroyFields();
    offsets_.clear();
}

// ================================================================ field data

bool TqdCustomMemTable::GetFieldData(const TField& field, void* buffer) {
    if (!open_) return false;
    uint8_t* slot = FieldSlot(field, GetActiveRecordBuffer());
    if (!slot) return false;
    if (buffer && IsSupportedType(field.DataType()))
        std::memcpy(buffer, slot + 1, static_cast<size_t>(FieldDataSize(field.DataType(), field.Size())));
    return slot[0] != 0;
}

void TqdCustomMemTable::SetFieldData(TField& field, const void* buffer) {
    if (!open_) return;
    uint8_t* slot = FieldSlot(field, GetActiveRecordBuffer());
    if (!slot) return;
    auto& f = static_cast<TBufferField&>(field);
    // A read-only field still takes the values the table loads itself (from
    // a file or another dataset), so that a table saved with read-only
    // fields loads back.
    if (f.ReadOnly && !loading_ && State() != TDataSetState::dsCalcFields)
        throw EDatabaseError(Format(MemTableTexts::kFieldReadOnly, {f.DisplayName()}));
    if (f.FieldKind() == TFieldKind::fkData || f.FieldKind() == TFieldKind::fkInternalCalc) f.Validate(buffer);
    size_t size = static_cast<size_t>(FieldDataSize(f.DataType(), f.Size()));
    if (State() != TDataSetState::dsSetKey) {
        bool changed;
        if (!buffer || slot[0] == 0) {
            changed = true;
        } else if (IsStringFieldType(f.DataType())) {
            const char* a = reinterpret_cast<const char*>(slot + 1);
            const char* b = static_cast<const char*>(buffer);
            size_t la = strnlen(a, size), lb = strnlen(b, size);
            changed = la != lb || std::memcmp(a, b, la) != 0;
        } else {
            changed = std::memcmp(slot + 1, buffer, size) != 0;
        }
        if (changed) sorted_ = false;
    }
    slot[0] = buffer ? 1 : 0;
    if (buffer) std::memcpy(slot + 1, buffer, size);
    TDataSetState s = State();
    if (s != TDataSetState::dsCalcFields && s != TDataSetState::dsFilter && s != TDataSetState::dsNewValue)
        DataEvent(TDataEvent::deFieldChange, reinterpret_cast<intptr_t>(&f));
}

void TqdCustomMemTable::ClearCalcFields(TRecordBuffer buffer) {
    if (buffer && recordSize_ > calcAreaOffset_)
        std::memset(buffer + calcAreaOffset_, 0, static_cast<size_t>(recordSize_ - calcAreaOffset_));
}

// ================================================================ cursor

void TqdCustomMemTable::InternalFirst() { currentIndex_ = -1; }

void TqdCustomMemTable::InternalLast() { currentIndex_ = static_cast<int>(records_.size()); }

void TqdCustomMemTable::InternalSetToRecord(TRecordBuffer buffer) {
    int32_t r = BufferRecNo(buffer);
    currentIndex_ = r < 0 ? -1 : r - 1;
}

TGetResult TqdCustomMemTable::GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) {
    const int count = static_cast<int>(records_.size());
    // The cursor stays within -1 .. count.
    if (currentIndex_ > count) currentIndex_ = count;
    if (currentIndex_ < -1) currentIndex_ = -1;
    for (;;) {
        TGetResult r = TGetResult::grOK;
        switch (mode) {
            case TGetMode::gmCurrent:
                if (currentIndex_ < 0) r = TGetResult::grBOF;
                else if (currentIndex_ >= count) r = TGetResult::grEOF;
                break;
            case TGetMode::gmNext:
                if (currentIndex_ < count - 1) ++currentIndex_;
                else r = TGetResult::grEOF;
                break;
            case TGetMode::gmPrior:
                if (currentIndex_ > 0) --currentIndex_;
                else r = TGetResult::grBOF;
                break;
        }
        if (r != TGetResult::grOK) return r;
        std::memcpy(buffer, records_[static_cast<size_t>(currentIndex_)].get(), static_cast<size_t>(recordSize_));
        SetBufferRecNo(buffer, State() == TDataSetState::dsBrowse ? currentIndex_ + 1 : -1);
        buffer[trailerOffset_ + 4] = static_cast<uint8_t>(TBookmarkFlag::bfCurrent);
        // Calculated fields show the values of the record just read.
        GetCalcFields(buffer);
        if (FilterRecord(buffer)) return TGetResult::grOK;
        if (mode == TGetMode::gmCurrent) return TGetResult::grError;
    }
}

int TqdCustomMemTable::GetRecNo() {
    uint8_t* b = GetActiveRecordBuffer();
    return b ? BufferRecNo(b) : -1;
}

void TqdCustomMemTable::DoSetRecNo(int value) {
    CheckBrowseMode();
    if (value >= 1 && value <= static_cast<int>(records_.size())) {
        currentIndex_ = value - 1;
    } else {
        // Out of range: the cursor stays on the record it shows.
        if (BufferRecordCount() == 0) return;
        UpdateCursorPos();
    }
    CursorPosChanged();
    Resync(rmExact);
}

int TqdCustomMemTable::GetRecordCount() {
    if (!IsFiltering() || !open_) return static_cast<int>(records_.size());
    TDataSetState saved = SetTempState(TDataSetState::dsBrowse);
    int savedIndex = currentIndex_;
    uint8_t* scratch = AllocRecordBuffer();
    int count = 0;
    try {
        InternalFirst();
        while (GetRecord(scratch, TGetMode::gmNext, true) == TGetResult::grOK) ++count;
    } catch (...) {
        FreeRecordBuffer(scratch);
        currentIndex_ = savedIndex;
        RestoreState(saved);
        throw;
    }
    FreeRecordBuffer(scratch);
    currentIndex_ = savedIndex;
    RestoreState(saved);
    return count;
}

bool TqdCustomMemTable::FindRecord(bool restart, bool goForward) {
    CheckBrowseMode();
    DoBeforeScroll();
    SetFound(false);
    UpdateCursorPos();
    CursorPosChanged();
    const int count = static_cast<int>(records_.size());
    bool moved = false;
    if (goForward) {
        if (restart) currentIndex_ = -1;
        if (currentIndex_ < count - 1) {
            ++currentIndex_;
            moved = true;
        }
    } else {
        if (restart) currentIndex_ = count;
        if (currentIndex_ > 0) {
            currentIndex_ = std::min(currentIndex_, count) - 1;
            moved = true;
        }
    }
    if (moved) {
        Resync(rmExact | rmCenter);
        SetFound(true);
        DoAfterScroll();
    }
    return Found();
}

void TqdCustomMemTable::DoSetBlockReadSize(int value) {
    if (value == BlockReadSize()) return;
    if (value == 0 || value == -1) {
        TBufferedDataSet::DoSetBlockReadSize(0);
        if (value == 0) {
            CursorPosChanged();
            Resync(0);
        } else {
            Next();
        }
        return;
    }
    TBufferedDataSet::DoSetBlockReadSize(value);
    MoveBy(1);
}

// ================================================================ editing

void TqdCustomMemTable::InternalInitRecord(TRecordBuffer buffer) {
    std::memset(buffer, 0, static_cast<size_t>(recordSize_));
    SetBufferRecNo(buffer, -1);
}

void TqdCustomMemTable::DoOnNewRecord() {
    if (masterLink_.Active() && !masterLink_.Fields().empty()) {
        const auto& master = masterLink_.Fields();
        size_t n = std::min(master.size(), detailFieldList_.size());
        for (size_t i = 0; i < n; ++i) detailFieldList_[i]->SetAsVariant(master[i]->AsVariant());
    }
    TBufferedDataSet::DoOnNewRecord();
    if (autoincField_) {
        if (lastAutoInc_ == INT32_MAX) throw ERangeError("Range check error");
        autoincField_->SetAsInteger(lastAutoInc_ + 1);
    }
}

void TqdCustomMemTable::InternalEdit() {
    if (oldValue_) FreeRecordBuffer(oldValue_);
    oldValue_ = AllocRecordBuffer();
    std::memcpy(oldValue_, ActiveBuffer(), static_cast<size_t>(recordSize_));
}

void TqdCustomMemTable::InternalInsert() { InternalEdit(); }

void TqdCustomMemTable::InternalHandleException() {
    std::exception_ptr e = std::current_exception();
    if (!e) return;
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        Log(ClassName(), ex.what());
    } catch (...) {
        Log(ClassName(), "Unknown exception");
    }
}

void TqdCustomMemTable::InternalCancel() { ReleaseEditState(); }

void TqdCustomMemTable::InternalPost() {
    uint8_t* buf = ActiveBuffer();
    int position = BufferRecNo(buf) - 1;
    const int count = static_cast<int>(records_.size());
    if (State() == TDataSetState::dsEdit && (position < 0 || position >= count))
        throw EDatabaseError("Record not found");
    if (autoincField_) {
        uint8_t* slot = FieldSlot(*autoincField_, buf);
        if (slot) {
            int32_t v;
            std::memcpy(&v, slot + 1, 4);
            if (v > lastAutoInc_) lastAutoInc_ = v;
        }
    }
    if (State() != TDataSetState::dsEdit) {
        std::unique_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(recordSize_)]);
        std::memcpy(block.get(), buf, static_cast<size_t>(recordSize_));
        if (block[static_cast<size_t>(trailerOffset_ + 4)] == static_cast<uint8_t>(TBookmarkFlag::bfEOF)) {
            records_.push_back(std::move(block));
            position = static_cast<int>(records_.size()) - 1;
        } else {
            if (position < 0) position = 0;
            if (position > count) position = count;
            records_.insert(records_.begin() + position, std::move(block));
        }
        sorted_ = false;
    } else {
        uint8_t* stored = records_[static_cast<size_t>(position)].get();
        // Blobs the record held before the edit and no longer holds go now.
        if (hasBlobs_ && oldValue_) {
            for (int i = 0; i < FieldDefs().Count() && i < static_cast<int>(offsets_.size()); ++i) {
                if (!IsBinaryFieldType(FieldDefs().Items(i).DataType)) continue;
                int off = offsets_[static_cast<size_t>(i)];
                uint32_t before = SlotBlobHandle(oldValue_ + off);
                uint32_t after = SlotBlobHandle(buf + off);
                if (before && before != after) FreeBlob(before);
            }
        }
        std::memcpy(stored, buf, static_cast<size_t>(recordSize_));
    }
    // The blobs written during the edit now belong to the stored record.
    pendingBlobs_.clear();
    if (autoSort_ && !sortFieldList_.empty()) position = ReorderRecord(position);
    // The cursor stays on the record just posted.
    currentIndex_ = position;
    if (oldValue_) FreeRecordBuffer(oldValue_);
}

void TqdCustomMemTable::InternalAddRecord(TRecordBuffer buffer, bool append) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(recordSize_)]);
    std::memcpy(block.get(), buffer, static_cast<size_t>(recordSize_));
    int position;
    const int count = static_cast<int>(records_.size());
    if (append) {
        records_.push_back(std::move(block));
        position = count;
    } else {
        position = currentIndex_ < 0 ? 0 : std::min(currentIndex_, count);
        records_.insert(records_.begin() + position, std::move(block));
    }
    pendingBlobs_.clear();
    sorted_ = false;
    currentIndex_ = position;
}

void TqdCustomMemTable::InternalDelete() {
    // A delete during an edit ends the edit.
    ReleaseEditState();
    if (currentIndex_ < 0 || currentIndex_ >= static_cast<int>(records_.size())) return;
    if (hasBlobs_) FreeRecordBlobs(records_[static_cast<size_t>(currentIndex_)].get());
    records_.erase(records_.begin() + currentIndex_);
}

// ================================================================ bookmarks

namespace {

bool DecodeBookmark(const TBookmark& b, int32_t& v) {
    if (b.size() < 4) return false;
    std::memcpy(&v, b.data(), 4);
    return true;
}

}  // namespace

void TqdCustomMemTable::GetBookmarkData(TRecordBuffer buffer, TBookmark& data) {
    int32_t v = BufferRecNo(buffer) - 1;
    data.assign(reinterpret_cast<const char*>(&v), 4);
}

void TqdCustomMemTable::SetBookmarkData(TRecordBuffer buffer, const TBookmark& data) {
    int32_t v;
    if (DecodeBookmark(data, v)) SetBufferRecNo(buffer, v + 1);
}

TBookmarkFlag TqdCustomMemTable::GetBookmarkFlag(TRecordBuffer buffer) {
    uint8_t f = buffer[trailerOffset_ + 4];
    return f <= 3 ? static_cast<TBookmarkFlag>(f) : TBookmarkFlag::bfCurrent;
}

void TqdCustomMemTable::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
    buffer[trailerOffset_ + 4] = static_cast<uint8_t>(flag);
}

bool TqdCustomMemTable::BookmarkValid(const TBookmark& bookmark) {
    int32_t v;
    return DecodeBookmark(bookmark, v) && v >= 0 && v < static_cast<int>(records_.size());
}

int TqdCustomMemTable::CompareBookmarks(const TBookmark& b1, const TBookmark& b2) {
    bool v1 = BookmarkValid(b1), v2 = BookmarkValid(b2);
    if (v1 && v2) {
        int32_t a = 0, b = 0;
        DecodeBookmark(b1, a);
        DecodeBookmark(b2, b);
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    if (v1) return -1;
    if (v2) return 1;
    return 0;
}

void TqdCustomMemTable::InternalGotoBookmark(const TBookmark& bookmark) {
    int32_t v = -1;
    DecodeBookmark(bookmark, v);
    if (!BookmarkValid(bookmark)) throw EMemTableError(Format(MemTableTexts::kBookmarkNotFound, {v}));
    currentIndex_ = v;
}

// Goes back to a saved position after work that moved the cursor; a position
// that no longer exists, or whose record is now filtered out, leaves the
// cursor near it instead of failing the work.
void TqdCustomMemTable::RestorePosition(const TBookmark& bookmark) {
    if (!Active()) return;
    if (!bookmark.empty() && BookmarkValid(bookmark)) {
        try {
            GotoBookmark(bookmark);
            return;
        } catch (const EDatabaseError&) {
        }
    }
    if (State() == TDataSetState::dsBrowse) Resync(0);
}

// ================================================================ master-detail and filter

void TqdCustomMemTable::SetMasterSource(TDataSource* value) {
    if (value && IsLinkedTo(value)) throw EDatabaseError(MemTableTexts::kCircularLink);
    masterLink_.SetDataSource(value);
}

void TqdCustomMemTable::SetMasterFields(const std::string& value) {
    BuildFieldList(detailFieldList_, keyFields_);
    masterLink_.SetFieldNames(value);
}

bool TqdCustomMemTable::GetIsIndexField(const TField& field) {
    return std::find(detailFieldList_.begin(), detailFieldList_.end(), &field) != detailFieldList_.end();
}

void TqdCustomMemTable::MasterChanged() {
    const auto& master = masterLink_.Fields();
    if (master.empty()) return;
    if (master.size() != detailFieldList_.size()) throw EDatabaseError(MemTableTexts::kMasterDetailCount);
    if (static_cast<int>(masterKey_.size()) != recordSize_) masterKey_.assign(static_cast<size_t>(recordSize_), 0);
    for (size_t i = 0; i < master.size(); ++i)
        StoreFieldVariant(masterKey_.data(), *detailFieldList_[i], master[i]->AsVariant());
    CheckBrowseMode();
    First();
}

void TqdCustomMemTable::MasterDisabled() { First(); }

bool TqdCustomMemTable::IsFiltering() const {
    if (Filtered() && OnFilterRecord) return true;
    return masterLink_.DataSource() && !masterLink_.FieldNames().empty() && !detailFieldList_.empty();
}

bool TqdCustomMemTable::FilterRecord(uint8_t* record) {
    if (!IsFiltering()) return true;
    TDataSetState saved = SetTempState(TDataSetState::dsFilter);
    uint8_t* savedFilter = filterBuffer_;
    filterBuffer_ = record;
    bool accept = true;
    try {
        if (listHasCalc_) GetCalcFields(record);
        if (masterLink_.DataSource() && !masterLink_.FieldNames().empty()) {
            const uint8_t* key = static_cast<int>(masterKey_.size()) == recordSize_ ? masterKey_.data() : nullptr;
            accept = CompareRecordFields(key, 0, record, detailFieldList_) == 0;
        }
        if (accept && Filtered() && OnFilterRecord) OnFilterRecord(*this, accept);
    } catch (...) {
        filterBuffer_ = savedFilter;
        RestoreState(saved);
        throw;
    }
    filterBuffer_ = savedFilter;
    RestoreState(saved);
    return accept;
}

// ================================================================ persistent mode

void TqdCustomMemTable::DoAfterOpen() {
    if (persistent_ && !persistentFile_.empty() && std::filesystem::exists(persistentFile_)) {
        if (persistentSaveFormat_ == TqdMemTablePersistentSaveFormat::mtsfBinary) LoadFromBinaryFile(persistentFile_);
        else LoadFromFile(persistentFile_);
        First();
    }
    if (autoSort_) Sort(sortOptions_);
    TBufferedDataSet::DoAfterOpen();
}

void TqdCustomMemTable::DoBeforeClose() {
    TBufferedDataSet::DoBeforeClose();
    if (persistent_ && !persistentFile_.empty()) WritePersistentFile();
}

// The file is written beside its final name and renamed over it, so that a
// failing save leaves the previous file in place.
void TqdCustomMemTable::WritePersistentFile() {
    std::string tmp = persistentFile_ + ".tmp";
    try {
        if (persistentSaveFormat_ == TqdMemTablePersistentSaveFormat::mtsfBinary)
            SaveToBinaryFile(tmp, persistentSaveOptions_);
        else
            SaveToFile(tmp, persistentSaveOptions_);
    } catch (...) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw;
    }
    std::error_code ec;
    std::filesystem::rename(tmp, persistentFile_, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        throw EInOutError("Cannot create file \"" + persistentFile_ + "\". " + ec.message());
    }
}
