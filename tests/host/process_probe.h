// Helpers of the whole-process test: waiting with a deadline, a shell
// command's exit code and output, and who listens on a port (from
// /proc/net/tcp*), so that a test can tell its own server child's listener
// from another process's.
#pragma once

#include "support/shell.h"

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include <sys/types.h>

namespace process_probe {

// Polls cond every few milliseconds until it holds or the time is up;
// whether it held. Only a bound: nothing depends on how fast it holds.
template <class F>
bool WaitUntil(F cond, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Socket inodes of every listening TCP socket (IPv4 and IPv6) on the port.
std::set<unsigned long> ListeningInodes(int port);
// Whether process pid holds a descriptor of the socket with that inode.
bool ProcessHoldsSocket(pid_t pid, unsigned long inode);
// Whether process pid listens on the port (any address).
bool ProcessListensOn(pid_t pid, int port);

}  // namespace process_probe
