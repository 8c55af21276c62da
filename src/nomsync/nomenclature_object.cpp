#include "nomsync/nomenclature_object.h"

#include <memory>

#include "core/cp1251.h"
#include "core/dataset.h"
#include "core/db/dm_base.h"
#include "core/db/dm_unit.h"
#include "core/env/env.h"
#include "core/env/env_files.h"
#include "core/files.h"
#include "core/format.h"
#include "core/log.h"
#include "core/options.h"
#include "core/text.h"
#include "protocol/compressed_stream.h"
#include "protocol/customer_info.h"
#include "nomsync/caller_transaction_log.h"
#include "protocol/nv_stream_utils.h"

namespace {

std::string ExceptionText(const std::exception& e) { return e.what(); }

}  // namespace

// ---------------------------------------------------------------------------
// Class table

std::unique_ptr<TNomenclatureObject> TNomObjectClass::New(TDMBase* adm) const {
    return Create(adm);
}

// The six entries, indexed by TNomObjectType (nom_class_table.cpp).
extern const TNomObjectClass kNomObjectClassTable[];

const TNomObjectClass& TNomenclatureObject::GetNomObjectClass(TNomObjectType type) {
    bool isPharm = false;
    return NomObjectClassByType(type, isPharm);
}

const TNomObjectClass& TNomenclatureObject::NomObjectClassByType(TNomObjectType type, bool& isPharmObject) {
    isPharmObject = false;
    const int ord = static_cast<int>(type);
    VT_ASSERT(ord >= 0 && ord < 6,
              Format("Unable to Identify NomenclatureObjectClass by NomObjectType (%d)!", {ord}));
    const TNomObjectClass& cls = kNomObjectClassTable[ord];
    isPharmObject = cls.IsPharmObject;
    return cls;
}

TNomObjectType TNomenclatureObject::NomObjectTypeFromNomID(int32_t nomID) {
    // A number read from the database is checked before it becomes an index.
    const int64_t ord = static_cast<int64_t>(nomID) - 1;
    VT_ASSERT(ord >= 0 && ord < 6,
              Format("Unable to Identify NomenclatureObjectClass by NomObjectType (%d)!", {ord}));
    return static_cast<TNomObjectType>(ord);
}

TNomObjectType TNomenclatureObject::NomObjectTypeByClassName(const TNomenclatureObject& obj) {
    const std::string name = obj.ClassName();
    for (size_t i = 0; i < NomObjectClassNames.size(); ++i)
        if (SameText1251(name, NomObjectClassNames[i])) return static_cast<TNomObjectType>(i);
    throw Exception(Format("Unknown Nom object class %s!", {name}));
}

// ---------------------------------------------------------------------------
// TNomenclatureObject

TNomenclatureObject::TNomenclatureObject(TDMBase* adm) : dm_(adm), version_("1.0.1.1") {
    TNomenclatureObject::Clear();
}

TNomenclatureObject::~TNomenclatureObject() = default;

void TNomenclatureObject::Assign(const TNomenclatureObject& source) {
    VT_ASSERT(dynamic_cast<const TNomenclatureObject*>(&source) != nullptr,
              "Invalid assign operation on TNomenclatureObject");
    SetID(source.GetID());
    actionRequestID_ = source.actionRequestID_;
}

void TNomenclatureObject::SetID(int32_t value) { id_ = value; }

int32_t TNomenclatureObject::GetID() const { return id_; }

void TNomenclatureObject::LoadFromDataSet(const TDataSet& dataSet) {
    SetID(dataSet.FieldByName("ID").AsInteger());
    const TField* f = dataSet.FindField("ACTION_REQUEST_ID");
    actionRequestID_ = f ? f->AsInteger() : -1;
}

void TNomenclatureObject::SetUpdateTableParams(TQuery& query, const TNomUpdateTablePrivateParams& params) {
    const std::string remark = params.Remark.substr(0, 200);
    dm_->SetParams(query, {"PHARM_ID", "UPDATE_ACTION", "IS_PROCESSED", "APP_USER_ID", "REMARK"},
                   {TFieldType::ftInteger, TFieldType::ftInteger, TFieldType::ftString,
                    TFieldType::ftInteger, TFieldType::ftString},
                   {Variant(params.PharmID), Variant(static_cast<int32_t>(params.UpdateAction)),
                    Variant(std::string(BoolChars[params.IsProcessed])),
                    IfThenVar(params.AppUserID == -1, Variant::Null(), Variant(params.AppUserID)),
                    IfThenVar(params.Remark.empty(), Variant::Null(), Variant(Trim(remark)))});
}

void TNomenclatureObject::Clear() {
    id_ = -1;
    actionRequestID_ = -1;
}

bool TNomenclatureObject::IsEmpty() const { return GetID() == -1; }

void TNomenclatureObject::LoadFromReader(TNVBinReader& reader) { Clear(); }

// ---------------------------------------------------------------------------
// Action requests

void TNomenclatureObject::InsertActionRequest(const TNomUpdateTablePrivateParams& params) {
    const TNomObjectType nomType = NomObjectTypeByClassName(*this);
    const int32_t actionID = params.UpdateAction;
    const bool syncRequired = actionID == 3 || (actionID == 2 && UpdateRequiresSync());

    auto q = dm_->CreateQuery(
        "INSERT INTO ACTION_REQUEST (NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, "
        "REMARK, PHARM_ID, NOM_KEY, PROCESS_DATE, USER_ID, DEST_PHARM_ID) \r\n"
        "  VALUES (:NOM_ID, :ACTION_ID, :ACTION_DATE, :SYNC_REQUIRED, :IS_PROCESSED, :REMARK, "
        ":PHARM_ID, :NOM_KEY, :PROCESS_DATE, :USER_ID, :DEST_PHARM_ID);");
    dm_->SetParam(*q, "NOM_ID", TFieldType::ftInteger, Variant(NomIDOf(nomType)));
    dm_->SetParam(*q, "ACTION_ID", TFieldType::ftInteger, Variant(actionID));
    dm_->SetDateTimeParam(*q, "ACTION_DATE", params.ActionDate == 0 ? UnixToDateTime(dm_->Env().Now()) : params.ActionDate);
    dm_->SetParam(*q, "SYNC_REQUIRED", TFieldType::ftString, Variant(std::string(BoolChars[syncRequired])));
    dm_->SetParam(*q, "IS_PROCESSED", TFieldType::ftString, Variant(std::string(BoolChars[false])));
    dm_->SetParam(*q, "REMARK", TFieldType::ftString, Variant(params.Remark));
    dm_->SetParam(*q, "PHARM_ID", TFieldType::ftInteger, Variant(params.PharmID));
    dm_->SetParam(*q, "NOM_KEY", TFieldType::ftInteger, Variant(GetID()));
    if (params.ProcessDate > 0)
        dm_->SetDateTimeParam(*q, "PROCESS_DATE", params.ProcessDate);
    else
        dm_->SetParam(*q, "PROCESS_DATE", TFieldType::ftDateTime, Variant::Null());
    dm_->SetParam(*q, "USER_ID", TFieldType::ftInteger, Variant(params.AppUserID));
    if (params.DestPharmID > 0)
        dm_->SetParam(*q, "DEST_PHARM_ID", TFieldType::ftInteger, Variant(params.DestPharmID));
    else
        dm_->SetParam(*q, "DEST_PHARM_ID", TFieldType::ftInteger, Variant::Null());
    q->ExecSQL();
    actionRequestID_ = dm_->GetLastInsertID();
    if (TDMUnit* unit = dm_->Unit()) unit->SetLabel("ActionRequestID = " + IntToStr(actionRequestID_));

    dm_->ExecSQL(Format(
        "INSERT INTO `ACTION_REQUEST_STATUS` \r\n"
        "SELECT \r\n"
        "  %d as ACTION_REQUEST_ID, \r\n"
        "  P.ID as PHARM_ID, \r\n"
        "  0 as REQUEST_STATUS, \r\n"
        "  CURRENT_TIMESTAMP as MODIFY_DATE \r\n"
        "FROM PHARMACY P \r\n"
        "WHERE (P.`ID` > 0) ",
        {actionRequestID_}));
}

void TNomenclatureObject::Log(std::string_view sender, const std::string& msg) const {
    (dm_ ? dm_->Env() : TEnv::Default()).Log(sender, msg);
}

// ---------------------------------------------------------------------------
// Deletion through a stored procedure

bool TNomenclatureObject::DeleteByProcedure(const char* className, int32_t aid, int32_t apharmID) {
    TDMBase dm;
    try {
        dm.StartTransaction(TIsolationLevel::ilReadCommitted);
        const std::string tableName = std::string(className).substr(1);
        const std::string procName = "SP_DELETE_" + tableName;
        dm.Env().Log(kLogSenderDM, tableName);
        bool result;
        if (dm.StoredProcExists(procName)) {
            Variant results;
            if (apharmID == -1) {
                dm.Env().Log(kLogSenderDM, "before execute procedure " + procName);
                dm.CallStoredProcedure(UpperCase1251(procName), {"AID", "ARES"},
                                       {Variant(aid), Variant(std::string("F"))}, results, false);
                dm.Env().Log(kLogSenderDM, "after execute procedure " + procName);
                result = VarToStr(results[1]) == "T";
            } else {
                dm.Env().Log(kLogSenderDM, "before execute sprocedure " + procName);
                dm.CallStoredProcedure(UpperCase1251(procName), {"AID", "APHARM_ID", "ARES"},
                                       {Variant(aid), Variant(apharmID), Variant(std::string("F"))},
                                       results, false);
                dm.Env().Log(kLogSenderDM, "after execute procedure " + procName);
                result = VarToStr(results[2]) == "T";
            }
        } else {
            dm.Env().Log(kLogSenderDM, "before delete from table " + tableName);
            std::string sql = Format("DELETE FROM %s WHERE (ID = %d)", {tableName, aid});
            if (apharmID != -1) sql += Format(" AND (PHARM_ID = %d)", {apharmID});
            dm.ExecSQL(sql);
            dm.Env().Log(kLogSenderDM, "after delete from table " + tableName);
            result = true;
        }
        dm.CommitTransaction();
        return result;
    } catch (...) {
        // A failing rollback must not hide the error that led here.
        dm.RollbackTransactionQuietly();
        throw;
    }
}

// ---------------------------------------------------------------------------
// Object data streams and files

std::string TNomenclatureObject::NomDataFileExt(TNomObjectType type, TNomObjectActualizationType kind) {
    static const char* const letters[6] = {"A", "AG", "S", "P", "M", "S"};
    static const char* const kinds[3] = {"I", "U", "D"};
    const int t = static_cast<int>(type);
    const int k = static_cast<int>(kind);
    VT_ASSERT(t >= 0 && t < 6 && k >= 0 && k < 3, "Invalid nomenclature data file type");
    return std::string(letters[t]) + kinds[k] + "D";
}

void TNomenclatureObject::SaveToStream(TNomenclatureObject& obj, TStream& stream) {
    TNVBinWriter writer(&stream);
    obj.SaveToWriter(writer);
}

void TNomenclatureObject::SaveToCompressedStream(TNomenclatureObject& obj, TStream& dest) {
    TMemoryStream plain;
    SaveToStream(obj, plain);
    plain.SetPosition(0);
    CompressStream(plain, dest);
}

void TNomenclatureObject::SaveToFile(TNomenclatureObject& obj, const std::string& fileName) {
    TMemoryStream data;
    SaveToCompressedStream(obj, data);
    WriteWholeFile(obj.dm_->Env(), fileName, data.Bytes());
}

void TNomenclatureObject::LoadFromStream(TNomenclatureObject& obj, TStream& stream) {
    TNVBinReader reader(&stream);
    obj.LoadFromReader(reader);
}

void TNomenclatureObject::LoadFromCompressedStream(TNomenclatureObject& obj, TStream& source) {
    TMemoryStream plain;
    DecompressStream(source, plain, kMaxObjectDataSize);
    plain.SetPosition(0);
    LoadFromStream(obj, plain);
}

// ---------------------------------------------------------------------------
// Proposals

bool TNomenclatureObject::ProcessNomActualization(TDMBase& adm, TPharmServerNomActualizationCommand& command,
                                                  int32_t& actionRequestID, std::string& msg) {
    msg.clear();
    actionRequestID = 0;
    TNomUpdateTablePrivateParams params;

    int32_t pharmID = -1;
    if (!GetCommandCustomerCode(command, pharmID, true)) return false;
    params.PharmID = pharmID;
    params.UpdateAction = static_cast<int8_t>(ActionIDOf(command.NomObjectActualizationType));
    params.Remark = command.Remark;

    try {
        if (!command.IsPacketValid())
            throw EPharmCommandPacketStreamValidationError(
                Cp(u8"Невалидни данни за актуализация на обект в номенклатурата!"));
        bool isPharm = false;
        std::unique_ptr<TNomenclatureObject> obj =
            NomObjectClassByType(command.NomObjectType, isPharm).New(&adm);
        LoadFromCompressedStream(*obj, command.Data);

        if (obj->CanActualize(command.NomObjectActualizationType)) {
            // The central insert, the request with its status rows and the
            // staged rows are stored as one unit: a refresh sees the request
            // only together with its staged rows, and a failure or a crash
            // on the way leaves none of them. The classes' own commits fold
            // into the unit; a class's rollback empties it and it goes on.
            TDMUnit unit(adm, Format("proposal of %s", {obj->ClassName()}));
            if (params.UpdateAction == 1) {
                msg.clear();
                params.IsProcessed = obj->SaveToDB(msg);
                // An SQL pack's scripts may end the transaction themselves.
                unit.Resume();
            } else {
                params.IsProcessed = false;
            }
            params.ActionDate = UnixToDateTime(adm.Env().Now());
            params.AppUserID = 0;
            if (params.IsProcessed) params.ProcessDate = params.ActionDate;
            obj->SaveToUpdateTable(params);
            unit.Commit();
            actionRequestID = obj->ActionRequestID();

            try {
                const std::string fileName =
                    AddTrailingBackslash(adm.Env().Options()->NomObjectDataDir) + IntToStr(actionRequestID) + "." +
                    NomDataFileExt(command.NomObjectType, command.NomObjectActualizationType);
                SaveToFile(*obj, fileName);
            } catch (const std::exception& e) {
                adm.Env().Log(kLogSenderDM, "Failed to save Nom Object Data for ActionRequestID = " +
                                      IntToStr(actionRequestID) + "\r\n" + Cp(u8"Грешка: ") + ExceptionText(e));
            }
        } else {
            actionRequestID = 0;
        }
        return true;
    } catch (const std::exception& e) {
        msg = ExceptionText(e);
        return false;
    }
}

// ---------------------------------------------------------------------------
// Staged rows

bool TNomenclatureObject::LoadStagedRow(const char* table, int32_t actionRequestID) {
    auto q = dm_->OpenQuery(std::string("SELECT * FROM ") + table + " WHERE ACTION_REQUEST_ID = " +
                            IntToStr(actionRequestID));
    if (q->Eof()) {
        Clear();
        return false;
    }
    LoadFromDataSet(*q);
    return true;
}

void TNomenclatureObject::StageInOwnTransaction(const std::string& sql, const TNomUpdateTablePrivateParams& params,
                                                const char* step, const std::function<void(TQuery&)>& bind) {
    auto q = dm_->CreateQuery(sql);
    LogCallerTransactionCommit(*this, *dm_, step);
    dm_->StartTransaction(TIsolationLevel::ilReadCommitted);
    try {
        InsertActionRequest(params);
        bind(*q);
        q->ExecSQL();
        dm_->CommitTransaction();
    } catch (...) {
        dm_->RollbackTransactionQuietly();
        throw;
    }
}

// ---------------------------------------------------------------------------
// Closing of a finished request

bool TNomenclatureObject::FinalizeActionRequest(TDMBase& adm, int32_t actionRequestID) {
    try {
        int32_t nomID = 0, actionID = 0, nomKey = 0;
        {
            auto q = adm.OpenQuery("SELECT NOM_ID, ACTION_ID, NOM_KEY FROM ACTION_REQUEST WHERE ID = " +
                                   IntToStr(actionRequestID));
            if (!q->Eof()) {
                nomID = q->FieldByName("NOM_ID").AsInteger();
                actionID = q->FieldByName("ACTION_ID").AsInteger();
                nomKey = q->FieldByName("NOM_KEY").AsInteger();
            }
        }
        const Variant refused = adm.GetScalar(Format(
            "select \r\n"
            "  count(*) total_count \r\n"
            "from `action_request_status` ars \r\n"
            "where (ars.`action_request_id` = %d) and \r\n"
            "      (ars.`request_status` in (3, 4)) ",
            {actionRequestID}));
        const bool accepted = VarToInt64Def(refused, 0) == 0;
        adm.Env().Log(kLogSenderPlainObject, Format("ActionID: %d AFinalStatus: %s", {actionID, BoolChars[accepted]}));

        // Inserts were applied when proposed; refused updates and deletes
        // leave the catalogue as it is.
        const bool noAction = (actionID == 1 && accepted) || (actionID == 2 && !accepted) ||
                              (actionID == 3 && !accepted);
        if (noAction) return true;

        std::unique_ptr<TNomenclatureObject> obj = GetNomObjectClass(NomObjectTypeFromNomID(nomID)).New(&adm);
        if (actionID == 1 || actionID == 3) {
            obj->DeleteFromDB(nomKey);
            adm.Env().Log(kLogSenderPlainObject, Format("DeleteFromDB: %d", {nomKey}));
        } else if (actionID == 2) {
            std::string msg;
            if (!obj->LoadFromUpdateTable(actionRequestID)) {
                // Without its staged row the update would insert a blank object.
                adm.Env().Log(kLogSenderPlainObject,
                    Format("No staged data for ActionRequestID = %d: the update is not applied", {actionRequestID}));
            } else {
                const bool saved = obj->SaveToDB(msg);
                adm.Env().Log(kLogSenderPlainObject, Format("SaveToDB... %s", {msg}));
                if (!saved)
                    adm.Env().Log(kLogSenderPlainObject,
                        Format("SaveToDB failed for ActionRequestID = %d: %s", {actionRequestID, msg}));
            }
        }
        return true;
    } catch (const std::exception& e) {
        adm.Env().Log(kLogSenderPlainObject,
            Format("FinalizeActionRequest failed for ActionRequestID = %d: %s", {actionRequestID, ExceptionText(e)}));
        return false;
    } catch (...) {
        adm.Env().Log(kLogSenderPlainObject,
            Format("FinalizeActionRequest failed for ActionRequestID = %d", {actionRequestID}));
        return false;
    }
}

// ---------------------------------------------------------------------------
// TPharmNomenclatureObject

TPharmNomenclatureObject::TPharmNomenclatureObject(TDMBase* adm) : TNomenclatureObject(adm) {
    TPharmNomenclatureObject::Clear();
}

void TPharmNomenclatureObject::Assign(const TNomenclatureObject& source) {
    const auto* src = dynamic_cast<const TPharmNomenclatureObject*>(&source);
    VT_ASSERT(src != nullptr, "Invalid assign operation on TPharmNomenclatureObject");
    TNomenclatureObject::Assign(source);
    SetPharmID(src->GetPharmID());
    ActionID = src->ActionID;
}

void TPharmNomenclatureObject::Clear() {
    TNomenclatureObject::Clear();
    pharmID_ = -1;
    ActionID = -1;
}

bool TPharmNomenclatureObject::IsEmpty() const {
    return TNomenclatureObject::IsEmpty() && GetPharmID() == -1;
}

void TPharmNomenclatureObject::SetPharmID(int32_t value) { pharmID_ = value; }

int32_t TPharmNomenclatureObject::GetPharmID() const { return pharmID_; }
