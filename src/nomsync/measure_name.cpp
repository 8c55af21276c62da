#include "nomsync/measure_name.h"

#include "core/dataset.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "nomsync/caller_transaction_log.h"
#include "nomsync/column_text.h"
#include "protocol/nv_stream_utils.h"

namespace {

constexpr size_t kNameWidth = 50;  // NAME and SHORT_NAME

}  // namespace

TMeasureName::TMeasureName(TDMBase* adm) : TNomenclatureObject(adm) {}

const std::string& TMeasureName::InsertSQL() {
    static const std::string sql = "INSERT INTO MEASURE_NAME (NAME, SHORT_NAME) VALUES (:NAME, :SHORT_NAME)";
    return sql;
}

const std::string& TMeasureName::UpdateSQL() {
    static const std::string sql = "UPDATE MEASURE_NAME SET NAME = :NAME, SHORT_NAME = :SHORT_NAME WHERE ID = :ID";
    return sql;
}

const std::string& TMeasureName::UpdateTableInsertSQL() {
    static const std::string sql =
        "INSERT INTO NOM_UPDATE_MEASURE_NAME (ACTION_REQUEST_ID, ID, NAME, SHORT_NAME) \r\n"
        "VALUES    (:ACTION_REQUEST_ID, :ID, :NAME, :SHORT_NAME)";
    return sql;
}

void TMeasureName::Assign(const TNomenclatureObject& source) {
    const auto* src = dynamic_cast<const TMeasureName*>(&source);
    VT_ASSERT(src != nullptr, "Invalid assign operation on TMeasureName!");
    TNomenclatureObject::Assign(source);
    ANAME = src->ANAME;
    SHORT_NAME = src->SHORT_NAME;
}

void TMeasureName::LoadFromDataSet(const TDataSet& dataSet) {
    TNomenclatureObject::LoadFromDataSet(dataSet);
    ANAME = dataSet.FieldByName("NAME").AsString();
    SHORT_NAME = dataSet.FieldByName("SHORT_NAME").AsString();
}

bool TMeasureName::DeleteFromDB(int32_t aid) {
    dm_->ExecSQL("DELETE FROM MEASURE_NAME WHERE ID = " + IntToStr(aid));
    return true;
}

void TMeasureName::Clear() {
    TNomenclatureObject::Clear();
    ANAME.clear();
    SHORT_NAME.clear();
}

bool TMeasureName::LoadFromUpdateTable(int32_t actionRequestID) {
    return LoadStagedRow("nom_update_measure_name", actionRequestID);
}

void TMeasureName::SetParams(TQuery& query) {
    if (query.FindParam("ID")) dm_->SetParam(query, "ID", TFieldType::ftInteger, Variant(GetID()));
    dm_->SetParams(query, {"NAME", "SHORT_NAME"}, {TFieldType::ftString, TFieldType::ftString},
                   {Variant(ANAME), Variant(SHORT_NAME)});
    if (query.FindParam("ACTION_REQUEST_ID"))
        dm_->SetParam(query, "ACTION_REQUEST_ID", TFieldType::ftInteger, Variant(ActionRequestID()));
}

void TMeasureName::InsertIntoDB() {
    try {
        auto q = dm_->CreateQuery(InsertSQL());
        SetParams(*q);
        q->ExecSQL();
        SetID(dm_->GetLastInsertID());
    } catch (...) {
        SetID(-1);
        throw;
    }
}

void TMeasureName::UpdateInDB() {
    auto q = dm_->CreateQuery(UpdateSQL());
    SetParams(*q);
    q->ExecSQL();
}

bool TMeasureName::ExistsInDB() {
    return dm_->RecordExists("SELECT ID FROM MEASURE_NAME WHERE ID = " + IntToStr(GetID()));
}

bool TMeasureName::SaveToDB(std::string& /*msg*/) {
    try {
        const bool exists = ExistsInDB();
        if (GetID() != -1 && !exists) return true;  // vanished centrally: nothing to write
        if (GetID() == -1)
            InsertIntoDB();
        else
            UpdateInDB();
        LogCallerTransactionCommit(*this, *dm_, "TMeasureName.SaveToDB");
        dm_->CommitTransaction();
        return GetID() != -1;
    } catch (...) {
        dm_->RollbackTransactionQuietly();
        throw;
    }
}

void TMeasureName::SaveToUpdateTable(const TNomUpdateTablePrivateParams& params) {
    StageInOwnTransaction(UpdateTableInsertSQL(), params, "TMeasureName.SaveToUpdateTable",
                          [this](TQuery& q) { SetParams(q); });
}

void TMeasureName::LoadFromReader(TNVBinReader& reader) {
    TNomenclatureObject::LoadFromReader(reader);
    SetID(reader.ReadInteger());
    ANAME = ColumnText(reader.ReadString(), kNameWidth, ClassName(), "NAME");
    SHORT_NAME = ColumnText(reader.ReadString(), kNameWidth, ClassName(), "SHORT_NAME");
}

void TMeasureName::SaveToWriter(TNVBinWriter& writer) {
    writer.WriteInteger(GetID());
    writer.WriteString(ANAME);
    writer.WriteString(SHORT_NAME);
}
