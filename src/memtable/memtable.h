// The in-memory table: a buffered dataset whose records are fixed-size byte
// blocks kept in one ordered list. It sorts and searches on its fields, can
// be the detail side of a master-detail link, keeps blob values in objects
// of their own, copies records from any dataset, and saves and loads itself
// as CSV text and in a binary form of tagged values; in persistent mode it
// reloads its file at every open and rewrites it at every close.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "core/stream.h"
#include "memtable/buffered_dataset.h"

// Every error the table raises itself.
VT_DECLARE_EXCEPTION(EMemTableError, Exception);
// A blob stream asked for a field that holds no blob.
VT_DECLARE_EXCEPTION(EInvalidCast, Exception);

// Compare options (bits).
using TqdMemTableCompareOptions = uint8_t;
constexpr TqdMemTableCompareOptions mtcoDescending = 1;
constexpr TqdMemTableCompareOptions mtcoCaseInsensitive = 2;
constexpr TqdMemTableCompareOptions mtcoPartialKey = 4;

// Save flags (bits of a 16-bit set).
using TqdMemTableSaveFlags = uint16_t;
constexpr TqdMemTableSaveFlags mtfSaveData = 1;
constexpr TqdMemTableSaveFlags mtfSaveCalculated = 2;
constexpr TqdMemTableSaveFlags mtfSaveLookup = 4;
constexpr TqdMemTableSaveFlags mtfSaveNonVisible = 8;
constexpr TqdMemTableSaveFlags mtfSaveBlobs = 16;
constexpr TqdMemTableSaveFlags mtfSaveDef = 32;
constexpr TqdMemTableSaveFlags mtfSkipRest = 64;
constexpr TqdMemTableSaveFlags mtfSaveFiltered = 128;
constexpr TqdMemTableSaveFlags mtfSaveInLocalFormat = 256;

enum class TqdMemTableStorageType { mtstDataSet, mtstStream, mtstBinaryStream, mtstFile, mtstBinaryFile };
enum class TqdMemTablePersistentSaveFormat { mtsfBinary = 0, mtsfCSV = 1 };

// Copy options of LoadFromDataSet and CreateTableAs (bits).
constexpr int mtcpoStructure = 1;
constexpr int mtcpoOnlyData = 2;        // drop definitions the source has no field for
constexpr int mtcpoProperties = 4;
constexpr int mtcpoLookup = 8;
constexpr int mtcpoCalculated = 16;

class TqdCustomMemTable;

using TqdmOnLoadRecord = std::function<void(TqdCustomMemTable& dataSet, bool& accept)>;
using TqdmOnSaveRecord = std::function<void(TqdCustomMemTable& dataSet, bool& accept)>;
using TqdmOnLoadField = std::function<void(TqdCustomMemTable& dataSet, int fieldNo, TBufferField& field)>;
using TqdmOnSaveField = std::function<void(TqdCustomMemTable& dataSet, int fieldNo, TBufferField& field)>;
using TqdmOnCompress = std::function<void(TStream& unCompressedStream, TStream& compressedStream)>;
using TqdmOnDeCompress = std::function<void(TStream& compressedStream, TStream& deCompressedStream)>;
using TqdmOnSave = std::function<void(TqdCustomMemTable& dataSet, TqdMemTableStorageType storageType, TStream* stream)>;
using TqdmOnLoad = std::function<void(TqdCustomMemTable& dataSet, TqdMemTableStorageType storageType, TStream* stream)>;

// One blob value of one stored record.
class TqdmBlob {
public:
    int32_t Size = 0;
    std::string Data;   // Size bytes (compressed when the compress event is used)

    // Size := the stream's size; the stream is read from its start.
    void LoadFromStream(TStream& stream);
    // The stream's content := the bytes; position 0 afterwards.
    void SaveToStream(TStream& stream) const;
};

// Blob stream of one field of the table's active record.
class TqdmBlobStream : public TBlobStream {
public:
    TqdmBlobStream(TBufferField& field, TBlobStreamMode mode);
    ~TqdmBlobStream() override;
    int64_t Write(const void* buffer, int64_t count) override;
    // Stores a modified value into the record (once); later calls do nothing.
    void Close() override;

private:
    void LoadFromRecord();
    void Truncate();

    TBufferField* field_;
    int fieldNo_;
    TqdCustomMemTable* table_;
    TBlobStreamMode mode_;
    bool hasSlot_ = false;
    bool modified_ = false;
    bool closed_ = false;
};

class TqdCustomMemTable : public TBufferedDataSet {
public:
    TqdCustomMemTable();
    ~TqdCustomMemTable() override;

    const char* ClassName() const override { return "TqdCustomMemTable"; }

    // ---- properties ----
    bool AutoSort() const { return autoSort_; }
    void SetAutoSort(bool value);
    const std::string& IndexFieldNames() const { return sortFields_; }
    void SetIndexFieldNames(const std::string& value);
    const std::string& KeyFields() const { return keyFields_; }
    void SetKeyFields(const std::string& value) { keyFields_ = value; }
    const std::string& SortFields() const { return sortFields_; }
    void SetSortFields(const std::string& value) { sortFields_ = value; }
    TqdMemTableCompareOptions SortOptions() const { return sortOptions_; }
    void SetSortOptions(TqdMemTableCompareOptions value) { sortOptions_ = value; }
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value) { readOnly_ = value; }
    const std::string& PersistentFile() const { return persistentFile_; }
    void SetPersistentFile(const std::string& value) { persistentFile_ = value; }
    bool Persistent() const { return persistent_; }
    void SetPersistent(bool value) { persistent_ = value; }
    TqdMemTableSaveFlags PersistentSaveOptions() const { return persistentSaveOptions_; }
    void SetPersistentSaveOptions(TqdMemTableSaveFlags value) { persistentSaveOptions_ = value; }
    TqdMemTablePersistentSaveFormat PersistentSaveFormat() const { return persistentSaveFormat_; }
    void SetPersistentSaveFormat(TqdMemTablePersistentSaveFormat value) { persistentSaveFormat_ = value; }
    const std::string& MasterFields() const { return masterLink_.FieldNames(); }
    void SetMasterFields(const std::string& value);
    TDataSource* MasterSource() const { return GetDataSource(); }
    void SetMasterSource(TDataSource* value);
    bool DoBinaryLocate() const { return doBinaryLocate_; }
    void SetDoBinaryLocate(bool value) { doBinaryLocate_ = value; }
    int Capacity() const { return capacity_; }
    void SetCapacity(int value);

    TqdmOnLoadRecord OnLoadRecord;
    TqdmOnSaveRecord OnSaveRecord;
    TqdmOnLoadField OnLoadField;
    TqdmOnSaveField OnSaveField;
    TqdmOnCompress OnCompressSave, OnCompressBlobStream;
    TqdmOnDeCompress OnDecompressLoad, OnDecompressBlobStream;
    TqdmOnSave OnSave;
    TqdmOnLoad OnLoad;

    // ---- state that callers may inspect ----
    int FieldAreaSize() const { return fieldAreaSize_; }
    int RecordSize() const { return recordSize_; }
    int CurrentIndex() const { return currentIndex_; }
    bool IsSorted() const { return sorted_; }
    const std::string& SortedOn() const { return sortedOn_; }
    int LastAutoIncValue() const { return lastAutoInc_; }
    // The field area's size; raises ERangeError at 65536 bytes or more.
    int GetRecordSize() override;

    // ---- sorting and searching ----
    void Sort(TqdMemTableCompareOptions options);
    void SortOn(const std::string& fieldNames, TqdMemTableCompareOptions options);
    bool Locate(const std::string& keyFields, const Variant& keyValues, TLocateOptions options) override;
    Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                   const std::string& resultFields) override;

    // ---- table operations ----
    void CreateTable();
    void DeleteTable();
    void EmptyTable();
    void CreateTableAs(TDataSet* source, int copyOptions);
    void CopyFieldProperties(TDataSet* source, TqdCustomMemTable* destination);
    void CopyRecords(TDataSet* source, TDataSet* destination, int limit = 0);
    void LoadFromDataSet(TDataSet* source, int copyOptions);

    // ---- persistence ----
    void SaveToFile(const std::string& fileName, TqdMemTableSaveFlags flags);
    void LoadFromFile(const std::string& fileName);
    void SaveToStream(TStream& stream, TqdMemTableSaveFlags flags);
    void LoadFromStream(TStream& stream);
    void SaveToBinaryFile(const std::string& fileName, TqdMemTableSaveFlags flags);
    void LoadFromBinaryFile(const std::string& fileName);
    void SaveToBinaryStream(TStream& stream, TqdMemTableSaveFlags flags);
    void LoadFromBinaryStream(TStream& stream);

    // ---- overrides of the dataset base ----
    bool GetFieldData(const TField& field, void* buffer) override;
    void SetFieldData(TField& field, const void* buffer) override;
    bool BookmarkValid(const TBookmark& bookmark) override;
    int CompareBookmarks(const TBookmark& b1, const TBookmark& b2) override;
    std::unique_ptr<TBlobStream> CreateBlobStream(TBufferField& field, TBlobStreamMode mode) override;
    TDataSource* GetDataSource() const override { return masterLink_.DataSource(); }

protected:
    TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(TRecordBuffer& buffer) override;
    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
    void InternalAddRecord(TRecordBuffer buffer, bool append) override;
    void InternalClose() override;
    void InternalDelete() override;
    void InternalFirst() override;
    void InternalLast() override;
    void InternalGotoBookmark(const TBookmark& bookmark) override;
    void InternalInitFieldDefs() override;
    void InternalInitRecord(TRecordBuffer buffer) override;
    void InternalOpen() override;
    void InternalPost() override;
    void InternalSetToRecord(TRecordBuffer buffer) override;
    bool IsCursorOpen() const override { return open_; }
    void GetBookmarkData(TRecordBuffer buffer, TBookmark& data) override;
    void SetBookmarkData(TRecordBuffer buffer, const TBookmark& data) override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
    void InternalEdit() override;
    void InternalInsert() override;
    void InternalCancel() override;
    // Called inside an exception handler: the exception goes to the
    // application's handler, the process log, with the table as sender.
    void InternalHandleException() override;
    bool GetCanModify() override { return !readOnly_; }
    int GetRecNo() override;
    void DoSetRecNo(int value) override;
    int GetRecordCount() override;
    bool FindRecord(bool restart, bool goForward) override;
    bool IsSequenced() override { return !Filtered(); }
    void ClearCalcFields(TRecordBuffer buffer) override;
    void CloseBlob(TBufferField& field) override;
    bool GetIsIndexField(const TField& field) override;
    void DoSetBlockReadSize(int value) override;
    void CreateFields() override;
    void DestroyFields() override;
    void DoAfterOpen() override;
    void DoBeforeClose() override;
    void DoOnNewRecord() override;

private:
    friend class TqdmBlobStream;

    // Record layout.
    uint8_t* FieldSlot(const TField& field, uint8_t* record) const;
    uint8_t* GetActiveRecordBuffer();
    int32_t BufferRecNo(const uint8_t* buffer) const;
    void SetBufferRecNo(uint8_t* buffer, int32_t recNo) const;
    void ClearRecords();
    void FreeRecordBlobs(uint8_t* record);
    void ReleaseEditState();

    // Blob objects, referred to from record slots by a 32-bit handle.
    uint32_t AddBlob(std::unique_ptr<TqdmBlob> blob);
    TqdmBlob* BlobByHandle(uint32_t handle) const;
    void FreeBlob(uint32_t handle);
    bool IsPendingBlob(uint32_t handle) const;
    static uint32_t SlotBlobHandle(const uint8_t* slot);
    static void SetSlotBlobHandle(uint8_t* slot, uint32_t handle);

    // Sorting and searching.
    void BuildFieldList(std::vector<TBufferField*>& list, const std::string& names);
    int CompareFieldValues(const uint8_t* a, const uint8_t* b, const TBufferField& field, bool caseInsensitive,
                           bool partialKey) const;
    int CompareRecordFields(const uint8_t* a, TqdMemTableCompareOptions options, const uint8_t* b,
                            const std::vector<TBufferField*>& list) const;
    int CompareRecordsForSort(uint8_t* a, uint8_t* b, const std::vector<TBufferField*>& list);
    int CompareRecordsForKey(uint8_t* key, uint8_t* record, const std::vector<TBufferField*>& list);
    void SortOnList(const std::vector<TBufferField*>& list);
    void QuickSort(int l, int r, const std::vector<TBufferField*>& list);
    int ReorderRecord(int position);
    bool InternalLocate(const std::string& keyFields, const Variant& keyValues, TLocateOptions options);
    bool BinaryLocateAllowed(const std::string& keyFields) const;
    void StoreKeyValues(uint8_t* buffer, const std::string& fieldNames, const Variant& values);
    void StoreFieldVariant(uint8_t* buffer, TBufferField& field, const Variant& value);
    void RestorePosition(const TBookmark& bookmark);

    // Master-detail and filtering.
    void MasterChanged();
    void MasterDisabled();
    bool IsFiltering() const;
    bool FilterRecord(uint8_t* record);

    // Persistence helpers.
    bool IsFieldSaved(const TBufferField& field, TqdMemTableSaveFlags flags) const;
    // Runs the writer of one saved form with the cursor, the filter and the
    // controls restored afterwards, whatever happens; the writer writes to
    // the target or, when OnCompressSave is set, to a buffer handed to it.
    void SaveWith(TStream& target, TqdMemTableSaveFlags flags, const std::function<void(TStream&)>& write);
    // Runs the reader of one saved form with the read-only guard lifted and
    // persistence off, the input passed through OnDecompressLoad when set; on
    // failure a record being added is cancelled. The cursor and the controls
    // are restored afterwards.
    void LoadWith(TStream& source, const std::function<void(TStream&)>& read);
    // A field definition as the saved forms hold it.
    struct TSavedFieldDef {
        std::string name;
        TFieldType type = TFieldType::ftUnknown;
        int size = 0;
        std::string displayLabel;
        std::string editMask;
        int displayWidth = 0;
        bool required = false;
        bool readOnly = false;
        bool visible = true;
    };
    // Adds the definition and creates its field.
    void DefineSavedField(const TSavedFieldDef& def);
    void SaveCsv(TStream& target, TqdMemTableSaveFlags flags);
    void LoadCsv(TStream& source);
    void SaveBinary(TStream& target, TqdMemTableSaveFlags flags);
    void LoadBinary(TStream& source);
    void WritePersistentFile();

    // Records.
    std::vector<std::unique_ptr<uint8_t[]>> records_;
    int currentIndex_ = -1;
    bool open_ = false;
    std::vector<int> offsets_;
    int fieldAreaSize_ = 0;
    int trailerOffset_ = 0;
    int calcAreaOffset_ = 0;
    int recordSize_ = 0;
    bool hasBlobs_ = false;
    TBufferField* autoincField_ = nullptr;
    int32_t lastAutoInc_ = -1;
    uint8_t* oldValue_ = nullptr;
    uint8_t* filterBuffer_ = nullptr;
    int capacity_ = 0;
    bool readOnly_ = false;
    // Set while the table loads records itself (files, another dataset):
    // read-only fields then take their values.
    bool loading_ = false;

    // Blobs.
    std::vector<std::unique_ptr<TqdmBlob>> blobs_;
    std::vector<uint32_t> freeBlobHandles_;
    std::vector<uint32_t> pendingBlobs_;

    // Sorting and searching.
    std::string keyFields_;
    std::string sortFields_;
    std::vector<TBufferField*> detailFieldList_;
    std::vector<TBufferField*> sortFieldList_;
    bool listHasCalc_ = false;
    bool autoSort_ = false;
    bool sorted_ = false;
    std::string sortedOn_;
    TqdMemTableCompareOptions sortOptions_ = 0;
    TqdMemTableCompareOptions sortedWith_ = 0;
    TqdMemTableCompareOptions locateOptions_ = 0;
    bool doBinaryLocate_ = false;

    // Master-detail.
    TMasterDataLink masterLink_;
    std::vector<uint8_t> masterKey_;

    // Persistence.
    std::string persistentFile_;
    bool persistent_ = false;
    TqdMemTableSaveFlags persistentSaveOptions_ = mtfSaveData | mtfSaveNonVisible;
    TqdMemTablePersistentSaveFormat persistentSaveFormat_ = TqdMemTablePersistentSaveFormat::mtsfBinary;
};

class TNVCustomMemTable : public TqdCustomMemTable {
public:
    TNVCustomMemTable() { SetAutoSort(true); }
    const char* ClassName() const override { return "TNVCustomMemTable"; }
};

// The table the rest of the server uses.
class TNVMemTable : public TNVCustomMemTable {
public:
    const char* ClassName() const override { return "TNVMemTable"; }
};
