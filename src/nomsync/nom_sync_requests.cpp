// Handing out action requests (refresh) and moving them on (confirmations).

#include "core/date_text.h"
#include "core/db/dm_base.h"
#include "core/format.h"
#include "core/options.h"
#include "core/text.h"
#include "nomsync/nom_sync_service.h"
#include "nomsync/nomenclature_object.h"
#include "nomsync/sql_data_pack.h"
#include "protocol/customer_info.h"

namespace {

// The current candidate of one refresh.
struct TCandidate {
    int32_t id = -1;
    bool syncRequired = false;
    int32_t status = 0;
    int32_t nomID = -1;
    int32_t actionID = -1;
    int32_t nomKey = -1;
    int32_t destPharmID = 0;
};

TNomCheckReason CheckReasonFromActionID(int32_t actionID) {
    // A number read from the database is checked before it becomes an
    // enumeration value.
    VT_ASSERT(actionID >= 1 && actionID <= 3, Format("Invalid ACTION_ID (%d) of an action request!", {actionID}));
    return static_cast<TNomCheckReason>(actionID);
}

// One refresh of one pharmacy.
class TRefresh {
public:
    TRefresh(TZorvelCentralNomSyncServerSrv& srv, TDMBase& dm, TPharmServerNomActualizationResult& result,
             int32_t pharmID)
        : srv_(srv), dm_(dm), result_(result), pharmID_(pharmID), options_(srv.Env().Options()) {}

    void Run() {
        int32_t current = -1;
        bool done = false;
        while (!done) {
            FindNext(current);
            if (cand_.id == -1) {
                NoData();
                done = true;
            } else if (cand_.status < 4) {
                done = FillAnswer();
                if (!done) current = cand_.id;
            } else if (cand_.syncRequired) {
                // Finished here, but the request is still open: wait for it.
                NoData();
                done = true;
            } else {
                current = cand_.id;
            }
        }
        result_.RequestProceeded = false;
    }

private:
    void DebugLog(const std::string& text) {
        if (options_->UseDebugMode) srv_.AL(srv_.ClassName(), text);
    }

    void LookUp(int32_t after) {
        cand_ = TCandidate();
        const std::string afterClause = after >= 0 ? "(ar.`ID` > " + IntToStr(after) + ") and " : std::string();
        auto q = dm_.OpenQuery(Format(
            "select \r\n"
            "  ar.`ID` act_request_id, \r\n"
            "  ar.`SYNC_REQUIRED` sync_req, \r\n"
            "  ar.`NOM_ID` nom_id, \r\n"
            "  ar.`ACTION_ID` action_id, \r\n"
            "  ar.`NOM_KEY`, \r\n"
            "  coalesce(ar.`DEST_PHARM_ID`, 0) dest_pharm_id, \r\n"
            "  ars.`request_status` req_status \r\n"
            "from `action_request` ar \r\n"
            "inner join `action_request_status` ars on (ars.`action_request_id` = ar.`ID`) \r\n"
            "where %s (ar.`IS_PROCESSED` = 'F') and (ars.`pharm_id` = %d) \r\n"
            "order by ar.`ID` \r\n"
            "limit 0,1 ",
            {afterClause, pharmID_}));
        if (q->Eof()) return;
        cand_.id = q->FieldByName("act_request_id").AsInteger();
        cand_.syncRequired = StrToBoolTF(q->FieldByName("sync_req").AsString());
        cand_.status = q->FieldByName("req_status").AsInteger();
        cand_.nomID = q->FieldByName("nom_id").AsInteger();
        cand_.actionID = q->FieldByName("action_id").AsInteger();
        cand_.nomKey = q->FieldByName("NOM_KEY").AsInteger();
        cand_.destPharmID = q->FieldByName("dest_pharm_id").AsInteger();
    }

    void FindNext(int32_t after) {
        LookUp(after);
        DebugLog("LoadMinUnprocessedActionRequestData: ActionrequestID = " + IntToStr(cand_.id));
        if (IsWaiting()) {
            DebugLog("status waiting AActionRequestID = " + IntToStr(cand_.id));
            do {
                LookUp(cand_.id);
                DebugLog("next actionrequestid = " + IntToStr(cand_.id));
            } while (IsWaiting());
        } else {
            DebugLog("status nonwaiting AActionRequestID = " + IntToStr(cand_.id));
        }
    }

    // ActionRequestIsOnStatusWaitingByPharmacy: another pharmacy has left the
    // sync-required candidate untouched for longer than the waiting time, so
    // this pharmacy may pass it.
    bool IsWaiting() {
        if (cand_.id == -1 || !cand_.syncRequired || cand_.status < 2) return false;
        DebugLog("ActionRequestIsOnStatusWaitingByPharmacy called for actionrequestid = " + IntToStr(cand_.id));
        const int32_t mins = options_->SynchRequiredRequestsWaitingTimeInMins();
        std::string mm = mins < 10 ? "0" : "";
        mm += IntToStr(mins);
        auto q = dm_.OpenQuery(Format(
            "select \r\n"
            "  ars.`pharm_id` act_req_pharm_id, \r\n"
            "  ars.`request_status` act_request_status, \r\n"
            "  ars.`modify_date` act_req_modify_date \r\n"
            "from `action_request_status` ars \r\n"
            "inner join `action_request` ar on (ars.`action_request_id` = ar.`ID`) \r\n"
            "where (ar.`ID` = %d) and (ar.`sync_required` = 'T') and (ar.`is_processed` = 'F') and "
            "(ars.request_status in (0,1,2,3)) and (ars.`pharm_id` <> %d) and "
            "(ADDTIME(ars.`modify_date`, '0 0:%s:0.00000') < current_timestamp) \r\n"
            "order by ar.`ID`, ars.`request_status` \r\n"
            "limit 0,1",
            {cand_.id, pharmID_, mm}));
        if (q->Eof()) return false;
        const int32_t otherStatus = q->FieldByName("act_request_status").AsInteger();
        bool waiting = otherStatus == 0 || otherStatus == 1 || cand_.status == 4 || cand_.status == 5;
        if (waiting && options_->UseDebugMode)
            DebugLog(Format(
                "ActionRequestID skipped (Reason -> ACTION_REQUEST_ID = %d, PHARM_ID = %d, REQUEST_STATUS = %d, "
                "MODIFY_DATE = %s)!",
                {cand_.id, q->FieldByName("act_req_pharm_id").AsInteger(), otherStatus,
                 DateTimeToFullText(q->FieldByName("act_req_modify_date").AsDateTime())}));
        return waiting;
    }

    int64_t CountOthers(const char* statusCondition) {
        return VarToInt64Def(dm_.GetScalar(Format(std::string("select \r\n"
                                                              "count(*) locked_count \r\n"
                                                              "from `action_request_status` ars \r\n"
                                                              "where \r\n"
                                                              "  (ars.`action_request_id` = %0:d) and \r\n") +
                                                      statusCondition + "  (ars.`pharm_id` != %1:d);",
                                                  {cand_.id, pharmID_})),
                             0);
    }

    void NoData() {
        result_.CentralSyncAction = TCentralSyncAction::csaNoData;
        result_.NextDataResponseCheckInterval = options_->NextDataResponseCheckTimeOut;
    }

    // Fills the answer for the candidate; true (done), or false when the
    // candidate is not ready to be handed out.
    bool FillAnswer() {
        // The object a pharmacy receives is the one staged under the request.
        // Without its staged rows (staged on a connection of the class's own
        // that has not committed yet) the request is passed over as not
        // ready, never handed out as a blank object. Deletes carry no data.
        const TNomCheckReason reason = CheckReasonFromActionID(cand_.actionID);
        std::unique_ptr<TNomenclatureObject> obj;
        if (reason != TNomCheckReason::ncrDelete) {
            obj = TNomenclatureObject::GetNomObjectClass(TNomenclatureObject::NomObjectTypeFromNomID(cand_.nomID))
                      .New(&dm_);
            if (!obj->LoadFromUpdateTable(cand_.id)) {
                DebugLog("ActionRequestID = " + IntToStr(cand_.id) + " passed over: its staged data is not there");
                return false;
            }
        }
        result_.ActionRequestID = cand_.id;
        result_.NomObjectType = TNomenclatureObject::NomObjectTypeFromNomID(cand_.nomID);
        result_.NomKey = cand_.nomKey;
        result_.CentralSyncAction = TCentralSyncAction::csaDataReceiving;
        if (cand_.syncRequired) {
            switch (cand_.status) {
                case 0: result_.CentralSyncAction = TCentralSyncAction::csaLock; break;
                case 1: result_.CentralSyncAction = TCentralSyncAction::csaCheck; break;
                case 3: result_.CentralSyncAction = TCentralSyncAction::csaUnlock; break;
                case 2:
                    if (CountOthers("  (ars.`request_status` < 2) and \r\n") > 0) {
                        // Someone has not checked yet: wait.
                        NoData();
                        return true;
                    }
                    if (CountOthers("  (ars.`request_status` in (3, 4)) and \r\n") > 0)
                        result_.CentralSyncAction = TCentralSyncAction::csaUnlock;
                    break;
                default: break;
            }
        }
        result_.NomCheckReason = reason;
        if (obj) {
            if (auto* pack = dynamic_cast<TSQLDataPack*>(obj.get())) {
                pack->ClearSQLMy();
                if (cand_.destPharmID > 0 && cand_.destPharmID != pharmID_) pack->ClearSQLFB();
            }
            result_.Data.Clear();
            TNomenclatureObject::SaveToCompressedStream(*obj, result_.Data);
            result_.Data.SetPosition(0);
        }
        result_.NextDataResponseCheckInterval = -1;
        return true;
    }

    TZorvelCentralNomSyncServerSrv& srv_;
    TDMBase& dm_;
    TPharmServerNomActualizationResult& result_;
    int32_t pharmID_;
    std::shared_ptr<const TOptions> options_;
    TCandidate cand_;
};

}  // namespace

std::unique_ptr<TPharmServerNomActualizationResult> TZorvelCentralNomSyncServerSrv::HandleRefreshData(
    TPharmServerRefreshDataCommand& command) {
    auto result = std::make_unique<TPharmServerNomActualizationResult>();
    int32_t pharmID = -1;
    std::unique_ptr<TDMBase> dm;
    if (!CheckPharmacyCommand(command, *result, pharmID, dm)) return result;
    TRefresh(*this, RequestDatabase(dm), *result, pharmID).Run();
    return result;
}

// ---------------------------------------------------------------------------
// Confirmations

int32_t TZorvelCentralNomSyncServerSrv::NextRequestStatus(bool syncRequired, int32_t current,
                                                          TCentralSyncAction action, bool checkResult) {
    using A = TCentralSyncAction;
    if (!syncRequired) return action == A::csaDataReceiving ? 5 : current;
    switch (current) {
        case 0: return action == A::csaLock ? 1 : current;
        case 1: return action == A::csaCheck ? (checkResult ? 2 : 3) : current;
        case 2: return action == A::csaUnlock || action == A::csaDataReceiving ? 5 : current;
        case 3: return action == A::csaUnlock || action == A::csaDataReceiving ? 4 : current;
        default: return current;
    }
}

std::unique_ptr<TPharmServerConfirmActionResult> TZorvelCentralNomSyncServerSrv::HandleConfirmAction(
    TPharmServerConfirmActionCommand& command) {
    auto result = std::make_unique<TPharmServerConfirmActionResult>();
    int32_t pharmID = -1;
    std::unique_ptr<TDMBase> dm;
    if (!CheckPharmacyCommand(command, *result, pharmID, dm)) return result;
    ApplyConfirmation(RequestDatabase(dm), command, pharmID);
    result->NextDataResponseCheckInterval = env_.Options()->NextDataResponseCheckTimeOut;
    return result;
}

void TZorvelCentralNomSyncServerSrv::ApplyConfirmation(TDMBase& dm, TPharmServerConfirmActionCommand& command,
                                                       int32_t pharmID) {
    const int32_t id = command.ActionRequestID;
    try {
        // Three round trips to the database: the transaction begins with the
        // read of the pharmacy's status; its status row moves on, the
        // request's row is locked and the unfinished rows are counted in one
        // text; then the commit (after the close, for the last one).
        //
        // The pharmacy's own status row moves on first; it is the only row
        // this step writes, so other pharmacies' confirmations of the same
        // request are not held up by it.
        bool syncRequired = false;
        int32_t status = 0;
        {
            auto q = dm.StartTransactionAndOpen(TIsolationLevel::ilReadCommitted,
                                                Format("select \r\n"
                                                       "  ar.`SYNC_REQUIRED` as sync_req, \r\n"
                                                       "  ar_s.`request_status` as req_stat \r\n"
                                                       "from `action_request` ar \r\n"
                                                       "inner join `action_request_status` ar_s on (ar_s.`action_request_id` = ar.`ID`) \r\n"
                                                       "where \r\n"
                                                       "  (ar.`ID` = %d) and \r\n"
                                                       "  (ar_s.`pharm_id` = %d) ",
                                                       {id, pharmID}));
            if (!q->Eof()) {
                syncRequired = q->FieldByName("sync_req").AsString() == "T";
                status = q->FieldByName("req_stat").AsInteger();
            }
        }
        const int32_t newStatus =
            NextRequestStatus(syncRequired, status, command.CentralSyncAction, command.CheckResult);
        auto update = dm.CreateQuery(
            "update `action_request_status` \r\n"
            "set request_status = :req_status, modify_date = CURRENT_TIMESTAMP \r\n"
            "where (action_request_id = :act_req_id) and (pharm_id = :pharm_id); ");
        dm.SetParam(*update, "req_status", TFieldType::ftInteger, Variant(newStatus));
        dm.SetParam(*update, "act_req_id", TFieldType::ftInteger, Variant(id));
        dm.SetParam(*update, "pharm_id", TFieldType::ftInteger, Variant(pharmID));

        // Then the request's row is locked: confirmations of one request are
        // serialised from here to the commit. Whoever takes the lock last
        // sees every other confirmation's status row committed (each took
        // the lock only after writing its own), so the last one closes the
        // request, and the flag read under the lock closes it once only. The
        // count runs after the lock is granted (it follows in the same text).
        auto results = dm.OpenQueries(
            {update->ExpandedSQL(),
             Format("select ar.`ID`, ar.`IS_PROCESSED` from `action_request` ar where (ar.`ID` = %d) for update", {id}),
             Format("select \r\n"
                    "  count(*) unfinished_total \r\n"
                    "from `action_request_status` ar_s \r\n"
                    "where \r\n"
                    "  (ar_s.`action_request_id` = %d) and \r\n"
                    "  (ar_s.`request_status` not in (4, 5));",
                    {id})});
        if (results.size() != 2) throw EDatabaseError("The statement returned no result set");
        TQuery& lock = *results[0];
        const bool requestOpen = !lock.Eof() && lock.FieldByName("IS_PROCESSED").AsString() == "F";
        TQuery& count = *results[1];
        const int64_t unfinished =
            VarToInt64Def(count.Eof() || count.FieldCount() == 0 ? Variant::Null() : count.Fields(0).AsVariant(), 0);
        if (unfinished == 0 && requestOpen) {
            dm.ExecSQL("update action_request set is_processed='T' where id = " + IntToStr(id));
            AL(ClassName(), "Before SaveCorrectionsToCentralNom");
            SaveCorrectionsToCentralNom(dm, command, id);
        }
        dm.CommitTransaction();
    } catch (...) {
        dm.RollbackTransactionQuietly();
        throw;
    }
}

void TZorvelCentralNomSyncServerSrv::SaveCorrectionsToCentralNom(TDMBase& dm,
                                                                 TPharmServerConfirmActionCommand& command,
                                                                 int32_t actionRequestID) {
    const bool ok = TNomenclatureObject::FinalizeActionRequest(dm, actionRequestID);
    if (!ok || command.ResponseText.empty()) return;
    const std::string sysCmd =
        VarToStr(dm.GetScalar("SELECT SYS_CMD FROM ACTION_REQUEST WHERE ID = " + IntToStr(actionRequestID)));
    if (sysCmd.rfind("PAY:", 0) != 0) return;
    const std::vector<std::string> parts = SplitByChars(sysCmd, ":", true);
    if (parts.size() != 7) return;
    const int32_t localID = StrToInt(command.ResponseText);
    AL(ClassName(), "execute sql: " + Format("UPDATE PAYMENT_CENTRAL SET LOCAL_ID=%d WHERE ACTION_REQUEST_ID=%d;",
                                              {localID, actionRequestID}));
    auto q = dm.CreateQuery("UPDATE PAYMENT_CENTRAL SET LOCAL_ID=:LOCAL_ID WHERE ACTION_REQUEST_ID=:ACTION_REQUEST_ID;");
    dm.SetParam(*q, "LOCAL_ID", TFieldType::ftInteger, Variant(localID));
    dm.SetParam(*q, "ACTION_REQUEST_ID", TFieldType::ftInteger, Variant(actionRequestID));
    q->ExecSQL();
}
