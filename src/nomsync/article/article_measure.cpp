#include "nomsync/article/article_measure.h"
#include "nomsync/caller_transaction_log.h"

#include "core/dataset.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "core/log.h"
#include "core/options.h"
#include "core/text.h"
#include "protocol/nv_stream_utils.h"

TArticleMeasure::TArticleMeasure(TDMBase* adm) : TNomenclatureObject(adm) { TArticleMeasure::Clear(); }

const std::string& TArticleMeasure::TempMeasureInsertSQL() {
    static const std::string sql =
        "INSERT INTO MEASURE (`ARTICLE_ID`,`MEASURE_NAME_ID`,`FACTOR`,`IS_ATOMIC`) "
        "VALUES (:ARTICLE_ID,:MEASURE_NAME_ID,:FACTOR,:IS_ATOMIC)";
    return sql;
}

const std::string& TArticleMeasure::UpdateTableInsertSQL() {
    static const std::string sql =
        "INSERT INTO NOM_UPDATE_MEASURE \r\n"
        "(ACTION_REQUEST_ID, ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC, TEMP_ID)\r\n"
        "VALUES \r\n"
        "(:ACTION_REQUEST_ID, :ID, :ARTICLE_ID, :MEASURE_NAME_ID, :FACTOR, :IS_ATOMIC, :TEMP_ID);";
    return sql;
}

void TArticleMeasure::Assign(const TNomenclatureObject& source) {
    const auto* src = dynamic_cast<const TArticleMeasure*>(&source);
    VT_ASSERT(src != nullptr, "Invalid assign operation on TArticleMeasure");
    TNomenclatureObject::Assign(source);
    ARTICLE_ID = src->ARTICLE_ID;
    MEASURE_NAME_ID = src->MEASURE_NAME_ID;
    FACTOR = src->FACTOR;
    IS_ATOMIC = src->IS_ATOMIC;
}

void TArticleMeasure::LoadFromDataSet(const TDataSet& dataSet) {
    TNomenclatureObject::SetID(dataSet.FieldByName("ID").AsInteger());
    ARTICLE_ID = dataSet.FieldByName("ARTICLE_ID").AsInteger();
    MEASURE_NAME_ID = dataSet.FieldByName("MEASURE_NAME_ID").AsInteger();
    FACTOR = dataSet.FieldByName("FACTOR").AsInteger();
    IS_ATOMIC = dataSet.FieldByName("IS_ATOMIC").AsString() == "T";
}

void TArticleMeasure::Clear() {
    TNomenclatureObject::Clear();
    ARTICLE_ID = -1;
    MEASURE_NAME_ID = -1;
    FACTOR = 0;
    IS_ATOMIC = true;
}

void TArticleMeasure::SetParams(TQuery& query) {
    const TFieldType i = TFieldType::ftInteger;
    dm_->SetParams(query, {"ID", "ARTICLE_ID", "MEASURE_NAME_ID", "FACTOR", "IS_ATOMIC", "ACTION_REQUEST_ID"},
                   {i, i, i, i, TFieldType::ftString, i},
                   {Variant(GetID()), Variant(ARTICLE_ID), Variant(MEASURE_NAME_ID), Variant(FACTOR),
                    Variant(std::string(BoolChars[IS_ATOMIC])), Variant(ActionRequestID())});
}

// The temporary MEASURE row of a new measure, committed at once. Nothing
// deletes it when the request is refused or never applied: the pharmacies'
// clients are built on these IDs travelling to them.
int32_t TArticleMeasure::GetNewTempMeasureID() {
    int32_t result = -1;
    auto q = dm_->CreateQuery(TempMeasureInsertSQL());
    LogCallerTransactionCommit(*this, *dm_, "Temporary measure");
    dm_->StartTransaction(TIsolationLevel::ilReadCommitted);
    try {
        const TFieldType i = TFieldType::ftInteger;
        dm_->SetParams(*q, {"ARTICLE_ID", "MEASURE_NAME_ID", "FACTOR", "IS_ATOMIC"}, {i, i, i, TFieldType::ftString},
                       {Variant(int32_t{0}), Variant(MEASURE_NAME_ID), Variant(FACTOR),
                        Variant(std::string(BoolChars[IS_ATOMIC]))});
        q->ExecSQL();
        result = dm_->GetLastInsertID();
        Log(ClassName(), "getNewTempMeasureID: Insert measures... " + IntToStr(result));
        dm_->CommitTransaction();
    } catch (...) {
        dm_->RollbackTransactionQuietly();
        throw;
    }
    return result;
}

void TArticleMeasure::SaveToUpdateTable(const TNomUpdateTablePrivateParams&) {
    auto q = dm_->CreateQuery(UpdateTableInsertSQL());
    const int32_t tempID = GetID() <= 0 ? GetNewTempMeasureID() : 0;
    dm_->SetParam(*q, "TEMP_ID", TFieldType::ftInteger, Variant(tempID));
    SetParams(*q);
    LogCallerTransactionCommit(*this, *dm_, "Staged measure");
    dm_->StartTransaction(TIsolationLevel::ilReadCommitted);
    try {
        q->ExecSQL();
        dm_->CommitTransaction();
    } catch (...) {
        dm_->RollbackTransactionQuietly();
        throw;
    }
}

void TArticleMeasure::LoadFromReader(TNVBinReader& reader) {
    TNomenclatureObject::LoadFromReader(reader);
    SetID(reader.ReadInteger());
    ARTICLE_ID = reader.ReadInteger();
    MEASURE_NAME_ID = reader.ReadInteger();
    FACTOR = reader.ReadInteger();
    IS_ATOMIC = reader.ReadBoolean();
}

void TArticleMeasure::SaveToWriter(TNVBinWriter& writer) {
    writer.WriteInteger(GetID());
    writer.WriteInteger(ARTICLE_ID);
    writer.WriteInteger(MEASURE_NAME_ID);
    writer.WriteInteger(FACTOR);
    writer.WriteBoolean(IS_ATOMIC);
}
