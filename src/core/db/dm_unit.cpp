#include "core/db/dm_unit.h"

#include <mysql.h>

#include "core/db/dm_base.h"
#include "core/env/env.h"
#include "core/exceptions.h"
#include "core/log.h"
#include "core/options.h"

TDMUnit::TDMUnit(TDMBase& dm, std::string label) : dm_(dm), label_(std::move(label)) {
    VT_ASSERT(dm_.unit_ == nullptr, "A unit is already open on this data module");
    dm_.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm_.unit_ = this;
    open_ = true;
}

TDMUnit::~TDMUnit() {
    if (!open_) return;
    open_ = false;
    dm_.unit_ = nullptr;
    dm_.RollbackTransactionQuietly();
}

template <class F>
void TDMUnit::Detached(F f) {
    dm_.unit_ = nullptr;
    try {
        f();
    } catch (...) {
        dm_.unit_ = this;
        throw;
    }
    dm_.unit_ = this;
}

void TDMUnit::Commit() {
    VT_ASSERT(open_, "The unit is not open");
    open_ = false;
    dm_.unit_ = nullptr;
    dm_.CommitTransaction();
}

void TDMUnit::Resume() {
    VT_ASSERT(open_, "The unit is not open");
    unsigned int status = 0;
    if (!dm_.conn_ || mariadb_get_infov(dm_.conn_, MARIADB_CONNECTION_SERVER_STATUS, &status) != 0) return;
    if (status & SERVER_STATUS_IN_TRANS) return;
    DebugLog("The unit of " + label_ + " was committed by a statement: it goes on from empty");
    Detached([&] {
        dm_.inTransaction_ = false;
        dm_.StartTransaction(TIsolationLevel::ilReadCommitted);
    });
}

void TDMUnit::DebugLog(const std::string& text) const {
    auto options = dm_.Env().Options();
    if (options && options->UseDebugMode) dm_.Env().Log(dm_.ClassName(), text);
}

int TDMUnit::FoldStart() {
    // The unit's own transaction is gone only when a restart failed; the
    // step then begins it again.
    if (!dm_.InTransaction()) Detached([&] { dm_.StartTransaction(TIsolationLevel::ilReadCommitted); });
    DebugLog("StartTransaction folded into the unit of " + label_);
    return 1;
}

void TDMUnit::FoldCommit() { DebugLog("Commit folded into the unit of " + label_); }

void TDMUnit::RollBackAndGoOn() {
    Detached([&] {
        dm_.RollbackTransaction();
        ++restarts_;
        DebugLog("Rollback in the unit of " + label_ + ": it goes on from empty");
        dm_.StartTransaction(TIsolationLevel::ilReadCommitted);
    });
}
