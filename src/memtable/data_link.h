// Data sources and the data links that follow a buffered dataset through
// them: a link hears of the dataset's state changes, scrolls, record and
// layout changes; the master link of a master-detail pair is one of them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TBufferedDataSet;
class TDataSource;
class TField;

enum class TDataSetState {
    dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue,
    dsOldValue, dsCurValue, dsBlockRead, dsInternalCalc, dsOpening
};
enum class TDataEvent {
    deFieldChange, deRecordChange, deDataSetChange, deDataSetScroll, deLayoutChange,
    deUpdateRecord, deUpdateState, deCheckBrowseMode
};

// Receives the events of a data source's dataset.
class TDataLink {
public:
    TDataLink() = default;
    virtual ~TDataLink();
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;

    TDataSource* DataSource() const { return dataSource_; }
    void SetDataSource(TDataSource* source);
    TBufferedDataSet* DataSet() const;
    // The data source is enabled and its dataset open.
    bool Active() const { return active_; }

protected:
    virtual void ActiveChanged() {}
    virtual void RecordChanged(TField* field) {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int distance) { DataSetChanged(); }
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void CheckBrowseMode() {}

private:
    friend class TDataSource;
    void DataEvent(TDataEvent event, intptr_t info);
    void UpdateState();
    TDataSource* dataSource_ = nullptr;
    bool active_ = false;
};

// Connects a dataset to the data links that follow it.
class TDataSource {
public:
    TDataSource() = default;
    explicit TDataSource(TBufferedDataSet* dataSet) { SetDataSet(dataSet); }
    ~TDataSource();
    TDataSource(const TDataSource&) = delete;
    TDataSource& operator=(const TDataSource&) = delete;

    TBufferedDataSet* DataSet() const { return dataSet_; }
    void SetDataSet(TBufferedDataSet* dataSet);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    TDataSetState State() const { return state_; }

private:
    friend class TBufferedDataSet;
    friend class TDataLink;
    void DataEvent(TDataEvent event, intptr_t info);
    void UpdateState();
    TBufferedDataSet* dataSet_ = nullptr;
    bool enabled_ = true;
    TDataSetState state_ = TDataSetState::dsInactive;
    std::vector<TDataLink*> links_;
};

// The link of a detail dataset to its master: resolves the master field
// names in the master dataset and reports master changes.
class TMasterDataLink : public TDataLink {
public:
    explicit TMasterDataLink(TBufferedDataSet* detail) : detail_(detail) {}
    const std::string& FieldNames() const { return fieldNames_; }
    void SetFieldNames(const std::string& names);
    // The master fields, while the link is active.
    const std::vector<TField*>& Fields() const { return fields_; }
    std::function<void()> OnMasterChange;
    std::function<void()> OnMasterDisable;

protected:
    void ActiveChanged() override;
    void RecordChanged(TField* field) override;
    void LayoutChanged() override { ActiveChanged(); }
    void CheckBrowseMode() override;

private:
    TBufferedDataSet* detail_;
    std::string fieldNames_;
    std::vector<TField*> fields_;
};
