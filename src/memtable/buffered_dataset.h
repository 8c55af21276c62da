// The dataset base of the buffered datasets: a state machine over a ring of
// record buffers that a descendant fills through the record-buffer protocol
// (GetRecord, InternalPost, bookmarks...), field definitions and field
// objects, the editing operations, cursor moves, bookmarks, calculated
// fields and the dataset events; the data sources and data links that follow
// it are in data_link.h.
//
// It offers the common dataset interface (core/dataset.h), so code that reads
// rows reads a buffered dataset and a query result alike.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/exceptions.h"
#include "core/stream.h"
#include "memtable/data_link.h"
#include "memtable/fields.h"

enum class TGetMode { gmCurrent, gmNext, gmPrior };
enum class TGetResult { grOK, grBOF, grEOF, grError };
enum class TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };
enum class TDataAction { daFail, daAbort, daRetry };
enum class TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

using TResyncMode = unsigned;
constexpr TResyncMode rmExact = 1;
constexpr TResyncMode rmCenter = 2;

using TLocateOptions = unsigned;
constexpr TLocateOptions loCaseInsensitive = 1;
constexpr TLocateOptions loPartialKey = 2;

using TRecordBuffer = uint8_t*;
// A bookmark: BookmarkSize bytes; empty means none.
using TBookmark = std::string;

// Raised when an operation is aborted silently (an event chose daAbort).
VT_DECLARE_EXCEPTION(EAbort, Exception);

// Splits a ';'-separated field-name list; names are trimmed.
std::vector<std::string> SplitFieldNames(const std::string& names);

// A stream over one blob field of the current record. Changes reach the
// record when the stream is closed (Close, or its destruction).
class TBlobStream : public TMemoryStream {
public:
    virtual void Close() {}
};

class TBufferedDataSet : public TDataSet {
public:
    using TNotifyEvent = std::function<void(TBufferedDataSet&)>;
    using TFilterRecordEvent = std::function<void(TBufferedDataSet&, bool& accept)>;
    using TErrorEvent = std::function<void(TBufferedDataSet&, const EDatabaseError&, TDataAction&)>;

    TBufferedDataSet();
    ~TBufferedDataSet() override;

    const char* ClassName() const override { return "TBufferedDataSet"; }

    // ---- open and close ----
    bool Active() const override { return state_ != TDataSetState::dsInactive; }
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSetState State() const { return state_; }
    // Field objects made from the field definitions at open (no persistent
    // field objects existed).
    bool DefaultFields() const { return defaultFields_; }

    // ---- field definitions and fields ----
    TFieldDefs& FieldDefs() { return fieldDefs_; }
    const TFieldDefs& FieldDefs() const { return fieldDefs_; }
    // Brings the field definitions up to date (FieldDefs.Update).
    void InitFieldDefs();
    TBufferField& Fields(int i) const;
    TBufferField* FindField(const std::string& name) const;
    TBufferField& FieldByName(const std::string& name) const;
    // Creates a field object of this dataset while it is closed.
    TBufferField& CreateField(const std::string& name, TFieldType type, int size = 0,
                              TFieldKind kind = TFieldKind::fkData);
    // Fields named in a ';'-separated list (FieldByName raises for an unknown one).
    void GetFieldList(std::vector<TBufferField*>& list, const std::string& names) const;
    // Value of one field, or an array of the values of several ';'-separated fields.
    Variant FieldValues(const std::string& names) const;
    void SetFieldValues(const std::string& names, const Variant& values);
    int CalcFieldsSize() const { return calcFieldsSize_; }

    // ---- cursor ----
    void First() override;
    void Next() override;
    void Prior() override;
    void Last() override;
    int MoveBy(int distance);
    bool Eof() const override { return eof_; }
    bool Bof() const override { return bof_; }
    int RecordCount() const override;
    int RecNo() const override;
    void SetRecNo(int value) { DoSetRecNo(value); }
    bool FindFirst() { return FindRecord(true, true); }
    bool FindNext() { return FindRecord(false, true); }
    bool FindPrior() { return FindRecord(false, false); }
    bool FindLast() { return FindRecord(true, false); }
    bool Found() const { return found_; }
    void Refresh();

    // ---- editing ----
    void Append();
    void Insert();
    void Edit();
    void Post();
    void Cancel();
    void Delete();
    void AppendRecord(const std::vector<Variant>& values);
    void InsertRecord(const std::vector<Variant>& values);
    void CheckBrowseMode();
    void UpdateRecord();
    // Puts the descendant's cursor on the record the active buffer shows.
    void UpdateCursorPos();
    bool Modified() const { return modified_; }
    bool CanModify() { return GetCanModify(); }

    // ---- bookmarks ----
    TBookmark GetBookmark();
    void GotoBookmark(const TBookmark& bookmark);
    void FreeBookmark(TBookmark& bookmark) { bookmark.clear(); }
    TBookmark Bookmark() { return GetBookmark(); }
    void SetBookmark(const TBookmark& bookmark) { GotoBookmark(bookmark); }
    int BookmarkSize() const { return bookmarkSize_; }
    virtual bool BookmarkValid(const TBookmark& bookmark) { return false; }
    virtual int CompareBookmarks(const TBookmark& b1, const TBookmark& b2) { return 0; }

    // ---- searching ----
    virtual bool Locate(const std::string& keyFields, const Variant& keyValues, TLocateOptions options);
    virtual Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                           const std::string& resultFields);

    // ---- filtering ----
    bool Filtered() const { return filtered_; }
    virtual void SetFiltered(bool value);
    const std::string& Filter() const { return filter_; }

    // ---- controls ----
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return disableCount_ != 0; }

    // ---- block reading ----
    int BlockReadSize() const { return blockReadSize_; }
    void SetBlockReadSize(int value) { DoSetBlockReadSize(value); }

    // ---- blobs ----
    virtual std::unique_ptr<TBlobStream> CreateBlobStream(TBufferField& field, TBlobStreamMode mode);

    // ---- data sources ----
    // The data source this dataset follows (a detail's master source).
    virtual TDataSource* GetDataSource() const { return nullptr; }
    // Whether the data source's dataset, or one above it, is this dataset.
    bool IsLinkedTo(TDataSource* source) const;

    // ---- record buffers (used by the fields) ----
    virtual bool GetFieldData(const TField& field, void* buffer) = 0;
    virtual void SetFieldData(TField& field, const void* buffer) = 0;
    Variant GetFieldValue(const TField& field) const override;
    void SetFieldValue(TField& field, const Variant& value) override;
    TDataSetState SetTempState(TDataSetState state);
    void RestoreState(TDataSetState state);

    // ---- events ----
    TNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TNotifyEvent OnCalcFields, OnNewRecord;
    TFilterRecordEvent OnFilterRecord;
    TErrorEvent OnDeleteError, OnEditError, OnPostError;

protected:
    // ---- the record-buffer protocol a descendant serves ----
    virtual TRecordBuffer AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(TRecordBuffer& buffer) = 0;
    virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) = 0;
    virtual int GetRecordSize() = 0;
    virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
    virtual void InternalClose() = 0;
    virtual void InternalDelete() = 0;
    virtual void InternalFirst() = 0;
    virtual void InternalLast() = 0;
    virtual void InternalGotoBookmark(const TBookmark& bookmark) = 0;
    virtual void InternalInitFieldDefs() = 0;
    virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
    virtual void InternalOpen() = 0;
    virtual void InternalPost() = 0;
    virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
    virtual bool IsCursorOpen() const = 0;
    virtual void GetBookmarkData(TRecordBuffer buffer, TBookmark& data) = 0;
    virtual void SetBookmarkData(TRecordBuffer buffer, const TBookmark& data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) = 0;
    virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) = 0;

    virtual void InternalEdit() {}
    virtual void InternalInsert() {}
    virtual void InternalCancel() {}
    virtual void InternalHandleException() {}
    virtual bool GetCanModify() { return true; }
    virtual int GetRecNo() { return -1; }
    virtual void DoSetRecNo(int value) {}
    virtual int GetRecordCount() { return -1; }
    virtual bool FindRecord(bool restart, bool goForward) { return false; }
    virtual bool IsSequenced() { return true; }
    virtual void ClearCalcFields(TRecordBuffer buffer) {}
    virtual void CloseBlob(TBufferField& field) {}
    virtual bool GetIsIndexField(const TField& field) { return false; }
    virtual void DoSetBlockReadSize(int value);

    virtual void CreateFields();
    virtual void DestroyFields();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoOnNewRecord();

    void DoAfterClose() { if (AfterClose) AfterClose(*this); }
    void DoBeforeInsert() { if (BeforeInsert) BeforeInsert(*this); }
    void DoAfterInsert() { if (AfterInsert) AfterInsert(*this); }
    void DoBeforeScroll() { if (BeforeScroll) BeforeScroll(*this); }
    void DoAfterScroll() { if (AfterScroll) AfterScroll(*this); }

    // ---- base machinery for descendants ----
    TRecordBuffer ActiveBuffer() const;
    TRecordBuffer CalcBuffer() const { return calcBuffer_; }
    // Records held in the buffers (0 or 1: this base keeps one visible buffer).
    int BufferRecordCount() const { return recordCount_; }
    int BufferCount() const { return bufferCount_; }
    void SetBufListSize(int value);
    void BindFields(bool binding);
    void Resync(TResyncMode mode);
    void CursorPosChanged() { currentRecord_ = -1; }
    void SetState(TDataSetState value);
    void DataEvent(TDataEvent event, intptr_t info);
    void GetCalcFields(TRecordBuffer buffer);
    void CalculateFields(TRecordBuffer buffer);
    void CheckActive() const;
    void CheckInactive() const;
    void CheckCanModify();
    void ClearBuffers();
    void SetBookmarkSize(int size) { bookmarkSize_ = size; }
    void SetFound(bool value) { found_ = value; }
    void SetModified(bool value) { modified_ = value; }
    void FreeFieldBuffers();
    // Removes every field object.
    void ClearFieldObjects();

    std::string filter_;
    bool filtered_ = false;

private:
    friend class TBufferField;
    friend class TDataSource;

    void OpenCursor();
    void CloseCursor();
    void DoInternalOpen();
    void OpenCursorComplete();
    void BeginInsertAppend();
    void EndInsertAppend();
    // The new record's buffer: alone after the end (append) or before the
    // current record (insert).
    void PrepareAppendBuffer();
    void PrepareInsertBuffer();
    bool GetNextRecord();
    bool GetPriorRecord();
    // First (true) or Last (false).
    void MoveToEnd(bool first);
    void SetCurrentRecord(int index);
    void MoveBuffer(int curIndex, int newIndex);
    void ActivateBuffers();
    bool BookmarkAvailable();
    void CheckOperation(void (TBufferedDataSet::*operation)(), const TErrorEvent& errorEvent);
    void DoPostOperation() { InternalPost(); }
    void DoEditOperation() { InternalEdit(); }
    void DoDeleteOperation() { InternalDelete(); }
    void AddRecordWithValues(const std::vector<Variant>& values, bool append);
    void RegisterDataSource(TDataSource* source);
    void UnregisterDataSource(TDataSource* source);

    TFieldDefs fieldDefs_;
    TDataSetState state_ = TDataSetState::dsInactive;
    bool defaultFields_ = false;
    bool internalOpenComplete_ = false;
    std::vector<TRecordBuffer> buffers_;
    int bufferCount_ = 0;
    int recordCount_ = 0;
    int activeRecord_ = 0;
    int currentRecord_ = -1;
    bool bof_ = true;
    bool eof_ = true;
    bool modified_ = false;
    bool found_ = false;
    int bookmarkSize_ = 0;
    int calcFieldsSize_ = 0;
    TRecordBuffer calcBuffer_ = nullptr;
    int disableCount_ = 0;
    TDataSetState disableState_ = TDataSetState::dsInactive;
    TDataEvent enableEvent_ = TDataEvent::deDataSetChange;
    int blockReadSize_ = 0;
    std::vector<TDataSource*> dataSources_;
};
