#include "nomsync/incomplete_requests.h"

#include <memory>
#include <vector>

#include "core/db/dm_base.h"
#include "core/format.h"
#include "nomsync/nomenclature_object.h"

int CloseIncompleteRequests(TDMBase& dm, const std::function<void(const std::string&)>& log) {
    struct TOpenRequest {
        int32_t id;
        int32_t nomID;
        int64_t statusRows;
    };
    std::vector<TOpenRequest> open;
    {
        auto q = dm.OpenQuery(
            "select ar.`ID`, ar.`NOM_ID`, \r\n"
            "  (select count(*) from `action_request_status` ars where ars.`action_request_id` = ar.`ID`) status_rows \r\n"
            "from `action_request` ar \r\n"
            "where (ar.`IS_PROCESSED` = 'F') \r\n"
            "order by ar.`ID`");
        for (q->First(); !q->Eof(); q->Next())
            open.push_back({q->FieldByName("ID").AsInteger(), q->FieldByName("NOM_ID").AsInteger(),
                            q->FieldByName("status_rows").AsLargeInt()});
    }

    int closed = 0;
    for (const TOpenRequest& r : open) {
        std::unique_ptr<TNomenclatureObject> obj;
        bool staged = false;
        try {
            obj = TNomenclatureObject::GetNomObjectClass(TNomenclatureObject::NomObjectTypeFromNomID(r.nomID))
                      .New(&dm);
            staged = obj->LoadFromUpdateTable(r.id);
        } catch (const std::exception&) {
            continue;  // a type number outside the catalogue, or staged rows it cannot read
        }
        const char* missing = r.statusRows == 0 ? "no status rows" : !staged ? "no staged data" : nullptr;
        if (!missing) continue;
        dm.ExecSQL(Format("update action_request set is_processed='T' where (id = %d) and (is_processed = 'F')",
                          {r.id}));
        log(Format("ActionRequestID = %d was left incomplete by an earlier run (%s): closed as not applied",
                   {r.id, missing}));
        ++closed;
    }
    return closed;
}
