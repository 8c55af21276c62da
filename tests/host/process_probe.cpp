#include "host/process_probe.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace process_probe {

std::set<unsigned long> ListeningInodes(int port) {
    std::set<unsigned long> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream f(line);
            std::string sl, local, remote, state, queues, timer, retr, uid, timeout;
            unsigned long inode = 0;
            if (!(f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode)) continue;
            if (state != "0A") continue;  // LISTEN
            size_t colon = local.rfind(':');
            if (colon == std::string::npos) continue;
            if (std::stoi(local.substr(colon + 1), nullptr, 16) == port && inode != 0) inodes.insert(inode);
        }
    }
    return inodes;
}

bool ProcessHoldsSocket(pid_t pid, unsigned long inode) {
    const std::string want = "socket:[" + std::to_string(inode) + "]";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code ec2;
        if (std::filesystem::read_symlink(e.path(), ec2).string() == want) return true;
    }
    return false;
}

bool ProcessListensOn(pid_t pid, int port) {
    for (unsigned long inode : ListeningInodes(port))
        if (ProcessHoldsSocket(pid, inode)) return true;
    return false;
}

}  // namespace process_probe
