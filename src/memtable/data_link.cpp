#include "memtable/data_link.h"

#include <algorithm>

#include "memtable/buffered_dataset.h"

TDataLink::~TDataLink() {
    if (dataSource_) {
        auto& v = dataSource_->links_;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
        dataSource_ = nullptr;
    }
}

void TDataLink::SetDataSource(TDataSource* source) {
    if (source == dataSource_) return;
    if (dataSource_) {
        auto& v = dataSource_->links_;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    dataSource_ = source;
    if (dataSource_) dataSource_->links_.push_back(this);
    UpdateState();
}

TBufferedDataSet* TDataLink::DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }

void TDataLink::UpdateState() {
    bool active = dataSource_ && dataSource_->State() != TDataSetState::dsInactive;
    if (active != active_) {
        active_ = active;
        ActiveChanged();
    }
}

void TDataLink::DataEvent(TDataEvent event, intptr_t info) {
    if (event == TDataEvent::deUpdateState) {
        UpdateState();
        return;
    }
    if (!active_) return;
    switch (event) {
        case TDataEvent::deFieldChange:
        case TDataEvent::deRecordChange:
            RecordChanged(reinterpret_cast<TField*>(info));
            break;
        case TDataEvent::deDataSetChange: DataSetChanged(); break;
        case TDataEvent::deDataSetScroll: DataSetScrolled(static_cast<int>(info)); break;
        case TDataEvent::deLayoutChange: LayoutChanged(); break;
        case TDataEvent::deCheckBrowseMode: CheckBrowseMode(); break;
        default: break;
    }
}

TDataSource::~TDataSource() {
    if (dataSet_) dataSet_->UnregisterDataSource(this);
    dataSet_ = nullptr;
    state_ = TDataSetState::dsInactive;
    std::vector<TDataLink*> links = links_;
    for (TDataLink* link : links) {
        link->dataSource_ = nullptr;
        link->UpdateState();
    }
    links_.clear();
}

void TDataSource::SetDataSet(TBufferedDataSet* dataSet) {
    if (dataSet == dataSet_) return;
    if (dataSet_) dataSet_->UnregisterDataSource(this);
    dataSet_ = dataSet;
    if (dataSet_) dataSet_->RegisterDataSource(this);
    UpdateState();
}

void TDataSource::SetEnabled(bool value) {
    enabled_ = value;
    UpdateState();
}

void TDataSource::UpdateState() {
    TDataSetState s = enabled_ && dataSet_ ? dataSet_->State() : TDataSetState::dsInactive;
    if (s == state_) return;
    state_ = s;
    std::vector<TDataLink*> links = links_;
    for (TDataLink* link : links)
        if (std::find(links_.begin(), links_.end(), link) != links_.end())
            link->DataEvent(TDataEvent::deUpdateState, 0);
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
    if (event == TDataEvent::deUpdateState) {
        UpdateState();
        return;
    }
    if (state_ == TDataSetState::dsInactive) return;
    std::vector<TDataLink*> links = links_;
    for (TDataLink* link : links)
        if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->DataEvent(event, info);
}

void TMasterDataLink::SetFieldNames(const std::string& names) {
    if (names == fieldNames_) return;
    fieldNames_ = names;
    ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
    fields_.clear();
    if (Active() && DataSet()) {
        std::vector<TBufferField*> list;
        DataSet()->GetFieldList(list, fieldNames_);
        fields_.assign(list.begin(), list.end());
    }
    if (detail_->Active()) {
        if (Active() && !fields_.empty()) {
            if (OnMasterChange) OnMasterChange();
        } else if (OnMasterDisable) {
            OnMasterDisable();
        }
    }
}

void TMasterDataLink::RecordChanged(TField* field) {
    if (DataSource()->State() == TDataSetState::dsSetKey || !detail_->Active() || fields_.empty()) return;
    if (field && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
    if (OnMasterChange) OnMasterChange();
}

void TMasterDataLink::CheckBrowseMode() {
    if (detail_->Active()) detail_->CheckBrowseMode();
}
