#include "replication/upload_names.h"

#include <dirent.h>
#include <sys/stat.h>

#include "core/cp1251.h"
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

std::vector<std::string> FindFilesNoCase(const std::string& folder, const std::string& name) {
    std::vector<std::string> found;
    DIR* d = ::opendir(folder.c_str());
    if (!d) return found;
    std::string base = folder;
    if (!base.empty() && base.back() != '/') base += '/';
    while (dirent* e = ::readdir(d)) {
        std::string entry = e->d_name;
        if (entry == "." || entry == ".." || !SameText1251(entry, name)) continue;
        struct stat st{};
        if (::lstat((base + entry).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (entry == name)
            found.insert(found.begin(), entry);
        else
            found.push_back(entry);
    }
    ::closedir(d);
    return found;
}

std::string FindFileNoCase(const std::string& folder, const std::string& name) {
    auto all = FindFilesNoCase(folder, name);
    return all.empty() ? std::string() : all.front();
}
