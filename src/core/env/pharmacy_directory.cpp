#include "core/env/pharmacy_directory.h"

#include "core/db/dm_base.h"
#include "core/env/env.h"
#include "core/files.h"
#include "core/format.h"
#include "core/options.h"

std::vector<std::string> TPharmacyDirectory::Load(TEnv& env) {
    std::vector<std::string> lines;
    std::unique_ptr<TDMBase> dm = env.ConnectDatabase();
    if (!dm->Connected()) return lines;
    auto q = dm->OpenQuery("select id, name, inet_pass from pharmacy;");
    for (q->First(); !q->Eof(); q->Next())
        lines.push_back(q->FieldByName("id").AsString() + "|" + q->FieldByName("name").AsString() + "|" +
                        q->FieldByName("inet_pass").AsString());
    return lines;
}

void TPharmacyDirectory::Reload(TEnv& env) {
    std::vector<std::string> lines = Load(env);
    std::lock_guard<std::mutex> g(lock_);
    list_ = std::move(lines);
}

std::vector<std::string> TPharmacyDirectory::List() const {
    std::lock_guard<std::mutex> g(lock_);
    return list_;
}

std::string TPharmacyDirectory::FolderNameOf(const std::string& line) {
    return "pharm" + line.substr(0, line.find('|'));
}

std::string TPharmacyDirectory::FolderOf(TEnv& env, int32_t id) {
    return AddTrailingBackslash(env.Options()->RarFilesDir) + Format("pharm%d", {id});
}

bool TPharmacyDirectory::CheckPassword(TDMBase& dm, int32_t id, const std::string& password) {
    if (password.empty()) return false;
    auto q = dm.CreateQuery("select id, inet_pass from pharmacy where id = :id");
    dm.SetParam(*q, "id", TFieldType::ftInteger, Variant(id));
    q->Open();
    for (q->First(); !q->Eof(); q->Next()) {
        const TField& pass = q->FieldByName("inet_pass");
        if (!pass.IsNull() && pass.AsString() == password) return true;
    }
    return false;
}
