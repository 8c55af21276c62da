#include "core/app_paths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

std::string ProgramPath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./ZorvelCentralServer";
    return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramName() {
    std::string p = ProgramPath();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string ProgramFolder() {
    const char* base = std::getenv("VT_BASE_DIR");
    std::string dir;
    if (base && *base) {
        dir = base;
    } else {
        std::string p = ProgramPath();
        size_t slash = p.rfind('/');
        dir = slash == std::string::npos ? "." : p.substr(0, slash);
    }
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}
