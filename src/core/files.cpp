#include "core/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/cp1251.h"
#include "core/exceptions.h"
#include "core/fd.h"

bool FileExists(const std::string& name) {
    struct stat st;
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& name) {
    struct stat st;
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& dir) {
    if (dir.empty()) throw EInOutError("Unable to create directory");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return DirectoryExists(dir);
}

bool MatchesMask(std::string_view name, std::string_view mask) {
    if (mask == "*.*" || mask == "*") return true;
    auto match = [](std::string_view n, std::string_view m) {
        size_t ni = 0, mi = 0, starM = std::string_view::npos, starN = 0;
        while (ni < n.size()) {
            if (mi < m.size() && m[mi] == '*') {
                starM = mi++;
                starN = ni;
            } else if (mi < m.size() && (m[mi] == '?' || UpCase1251(m[mi]) == UpCase1251(n[ni]))) {
                ++mi;
                ++ni;
            } else if (starM != std::string_view::npos) {
                mi = starM + 1;
                ni = ++starN;
            } else {
                return false;
            }
        }
        while (mi < m.size() && m[mi] == '*') ++mi;
        return mi == m.size();
    };
    if (match(name, mask)) return true;
    // "name.*" also matches "name": an empty extension is no extension.
    if (mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*")
        return match(name, mask.substr(0, mask.size() - 2));
    return false;
}

std::vector<TFoundEntry> FindEntries(const std::string& pathMask) {
    std::string dir, mask;
    size_t slash = pathMask.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        mask = pathMask;
    } else {
        dir = slash == 0 ? "/" : pathMask.substr(0, slash);
        mask = pathMask.substr(slash + 1);
    }
    std::vector<TFoundEntry> out;
    if (mask.empty()) return out;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (!MatchesMask(name, mask)) continue;
        bool isDir;
        if (e->d_type == DT_DIR) {
            isDir = true;
        } else if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            isDir = ::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        } else {
            isDir = false;
        }
        out.push_back({std::move(name), isDir});
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const TFoundEntry& a, const TFoundEntry& b) {
        int c = CompareText1251(a.Name, b.Name);
        return c != 0 ? c < 0 : a.Name < b.Name;
    });
    return out;
}

bool ForceDeleteFile(const std::string& name) {
    struct stat st;
    if (::lstat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    // A link is removed itself; changing its mode would change its target.
    if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) ::chmod(name.c_str(), st.st_mode | S_IWUSR);
    return ::unlink(name.c_str()) == 0;
}

bool DeleteDirTree(const std::string& dir) {
    std::string base = dir;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    // A link given as the tree itself is removed, never followed: what it
    // points at is not part of the tree.
    struct stat st;
    if (::lstat(base.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return ::unlink(base.c_str()) == 0;
    bool ok = true;
    for (const TFoundEntry& e : FindEntries(base + "/*")) {
        if (!ok) continue;  // after the first failure nothing more is deleted
        std::string path = base + "/" + e.Name;
        ok = e.IsDirectory ? DeleteDirTree(path) : ForceDeleteFile(path);
    }
    return ::rmdir(base.c_str()) == 0 && ok;
}

bool DeleteFilesByMask(const std::string& dir, const std::string& mask) {
    std::string base = dir;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    bool ok = true;
    for (const TFoundEntry& e : FindEntries(base + "/" + mask)) {
        if (e.IsDirectory) continue;
        if (!ok) break;
        ok = ::unlink((base + "/" + e.Name).c_str()) == 0;
    }
    return ok;
}

int32_t FileSizeByName(const std::string& name) {
    TUniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) throw EInOutError(std::strerror(errno));
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0) throw EInOutError(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw EInOutError(std::strerror(EISDIR));
    if (st.st_size > INT32_MAX) throw ERangeError("Range check error");
    return static_cast<int32_t>(st.st_size);
}

std::string AddTrailingBackslash(const std::string& s) {
    if (s.empty() || s.back() == '/') return s;
    return s + "/";
}

std::vector<std::string> GetDirectoryEntries(const std::string& dir, const std::string& mask,
                                             bool includeDirs, bool includeFiles) {
    std::vector<std::string> out;
    for (auto& e : FindEntries(dir + mask))
        if (e.IsDirectory ? includeDirs : includeFiles) out.push_back(std::move(e.Name));
    return out;
}

std::vector<std::string> GetFileList(const std::string& folder, const std::string& mask) {
    return GetDirectoryEntries(AddTrailingBackslash(folder), mask, false, true);
}
