#include "replication/upload_names.h"

#include "core/cp1251.h"
#include "core/env/env.h"
#include "core/format.h"

std::string CleanFtpFileName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name)
        if (c != '\\' && c != '/') out += c;
    return Trim(out);
}

std::string PacketFileNamePart(const std::string& name) {
    size_t p = name.find_last_of("\\/:");
    return p == std::string::npos ? name : name.substr(p + 1);
}

bool IsSafeUploadName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') return false;
    }
    return true;
}

std::vector<std::string> FindFilesNoCase(TEnv& env, const std::string& folder, const std::string& name) {
    std::vector<std::string> found;
    std::string base = folder;
    if (!base.empty() && base.back() != '/') base += '/';
    for (const std::string& entry : env.ListFiles(base, "*")) {
        if (!SameText1251(entry, name) || !env.Stat(base + entry).IsFile) continue;
        if (entry == name)
            found.insert(found.begin(), entry);
        else
            found.push_back(entry);
    }
    return found;
}

std::string FindFileNoCase(TEnv& env, const std::string& folder, const std::string& name) {
    auto all = FindFilesNoCase(env, folder, name);
    return all.empty() ? std::string() : all.front();
}
