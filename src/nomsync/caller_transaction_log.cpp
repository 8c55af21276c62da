#include "nomsync/caller_transaction_log.h"

#include "core/db/dm_base.h"
#include "core/env/env.h"
#include "core/format.h"
#include "core/log.h"
#include "core/options.h"
#include "nomsync/nomenclature_object.h"

void LogCallerTransactionCommit(const TNomenclatureObject& obj, const TDMBase& dm, const char* step) {
    if (!dm.InTransaction()) return;
    auto options = dm.Env().Options();
    if (!options || !options->UseDebugMode) return;
    std::string text = Format("%s commits the open transaction of its caller", {step});
    if (obj.ActionRequestID() > 0) text += Format(" (ActionRequestID = %d)", {obj.ActionRequestID()});
    dm.Env().Log(obj.ClassName(), text);
}
