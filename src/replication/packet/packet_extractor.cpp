#include "replication/packet/packet_extractor.h"

#include <mutex>

#include "core/app_misc.h"
#include "core/app_paths.h"
#include "core/misc.h"

namespace {

std::mutex g_lock;
std::string g_path;
std::chrono::milliseconds g_timeout = kExecDefaultTimeout;

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

std::string PacketExtractorPath() {
    {
        std::lock_guard<std::mutex> l(g_lock);
        if (!g_path.empty()) return g_path;
    }
    std::string exe = ProgramPath();
    size_t cut = exe.rfind('/');
    return (cut == std::string::npos ? std::string() : exe.substr(0, cut + 1)) + kPacketExtractorName;
}

void SetPacketExtractorPath(const std::string& path) {
    std::lock_guard<std::mutex> l(g_lock);
    g_path = path;
}

std::chrono::milliseconds PacketExtractorTimeout() {
    std::lock_guard<std::mutex> l(g_lock);
    return g_timeout;
}

void SetPacketExtractorTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> l(g_lock);
    g_timeout = timeout;
}

std::string PacketExtractorCommandLine(const std::string& archive, const std::string& folder) {
    return Quote(PacketExtractorPath()) + " e -o+ " + Quote(archive) + " " + Quote(AddTrailingBackslash(folder));
}
