#include "core/db/env_vars.h"

#include "core/db/dm_base.h"
#include "core/env/env.h"
#include "core/exceptions.h"
#include "core/log.h"

namespace {
constexpr int32_t kEnvVarGenerator = 6;
// Assertions of the environment variables name their unit.
const char kAssertUnit[] = "VantrellEnvVars.pas";
}  // namespace

TZVL2EnvironmentVariables::TZVL2EnvironmentVariables(TDMBase* dm, const std::string& varName)
    : dm_(dm), loadAll_(varName.empty()) {
    VT_ASSERT_IN(kAssertUnit, dm_ != nullptr, "Data module not assigned!");
    std::string sql = "SELECT * FROM ZVL_ENV_VARS WHERE (PHARM_ID = 0)";
    if (!loadAll_) sql += " AND (VAR_NAME = :VAR_NAME)";
    auto q = dm_->CreateQuery(sql);
    if (!loadAll_) dm_->SetParam(*q, "VAR_NAME", TFieldType::ftString, Variant(varName));
    q->Open();
    for (q->First(); !q->Eof(); q->Next()) {
        std::string name = q->FieldByName("VAR_NAME").AsString();
        if (FindVar(name)) continue;  // a second row of the same name is ignored
        AddVar(name, q->FieldByName("VAR_VALUE").AsVariant(), q->FieldByName("ID").AsInteger());
    }
}

TZVL2EnvironmentVariables::~TZVL2EnvironmentVariables() {
    try {
        WriteBack();
    } catch (const std::exception& e) {
        dm_->Env().Log(ClassName(), std::string("Writing the environment variables failed: ") + e.what());
    } catch (...) {
        dm_->Env().Log(ClassName(), "Writing the environment variables failed");
    }
}

TEnvVar* TZVL2EnvironmentVariables::FindVar(const std::string& name) {
    for (auto& v : vars_)
        if (v->Name == name) return v.get();
    return nullptr;
}

TEnvVar& TZVL2EnvironmentVariables::GetVar(int index) {
    if (index < 0 || index >= GetCount())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return *vars_[static_cast<size_t>(index)];
}

TEnvVar& TZVL2EnvironmentVariables::AddVar(const std::string& name, const Variant& value, int32_t id) {
    auto v = std::make_unique<TEnvVar>();
    v->Name = name;
    v->Value = value;
    v->ID = id;
    v->Modified = id == -1;
    vars_.push_back(std::move(v));
    return *vars_.back();
}

void TZVL2EnvironmentVariables::GetValue(const std::string& name, const Variant& def, Variant& value) {
    TEnvVar* v = FindVar(name);
    if (!v) v = &AddVar(name, def, -1);
    value = v->Value;
}

bool TZVL2EnvironmentVariables::GetBool(const std::string& name, bool def) {
    const std::string defText = def ? "T" : "F";
    Variant value;
    GetValue(name, Variant(defText), value);
    const std::string text = value.IsNull() ? defText : VarToStr(value);
    return text == "T";
}

bool TZVL2EnvironmentVariables::IsModified() const {
    if (!loadAll_) return false;
    for (const auto& v : vars_)
        if (v->Modified) return true;
    return false;
}

void TZVL2EnvironmentVariables::WriteBack() {
    if (writeBackDone_) return;
    writeBackDone_ = true;
    if (!IsModified()) return;
    try {
        for (auto& v : vars_) {
            if (!v->Modified) continue;
            const bool isNew = v->ID == -1;
            auto q = dm_->CreateQuery(
                isNew ? "INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES (:ID, :VAR_NAME, :VAR_VALUE, 0)"
                      : "UPDATE ZVL_ENV_VARS SET VAR_NAME=:VAR_NAME, VAR_VALUE=:VAR_VALUE WHERE (ID = :ID) AND (PHARM_ID = 0)");
            const int32_t id = isNew ? static_cast<int32_t>(dm_->NextIDValue(kEnvVarGenerator)) : v->ID;
            dm_->SetParam(*q, "ID", TFieldType::ftInteger, Variant(id));
            dm_->SetParam(*q, "VAR_NAME", TFieldType::ftString, Variant(v->Name));
            dm_->SetParam(*q, "VAR_VALUE", TFieldType::ftString,
                          v->Value.IsNull() ? Variant::Null() : Variant(VarToStr(v->Value)));
            q->ExecSQL();
            v->ID = id;
            v->Modified = false;
        }
        dm_->CommitTransaction();
    } catch (...) {
        dm_->RollbackTransactionQuietly();
        throw;
    }
}

bool TZVL2EnvironmentVariables::ReadBool(TDMBase* dm, const std::string& name, bool def) {
    TZVL2EnvironmentVariables vars(dm, name);
    return vars.GetBool(name, def);
}
