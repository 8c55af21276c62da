#include "support/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

bool ChildProcess::Start(const std::function<int()>& body) {
    Kill();
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::setpgid(0, 0);
        int rc = 3;  // the body raised
        try {
            rc = body();
        } catch (...) {
        }
        std::fflush(nullptr);
        ::_exit(rc);
    }
    ::setpgid(pid, pid);  // also here: the group exists before any kill
    pid_ = pid;
    running_ = true;
    status_ = 0;
    return true;
}

void ChildProcess::Kill() {
    if (!running_) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    running_ = false;
}

bool ChildProcess::Alive() {
    if (running_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) running_ = false;
    return running_;
}

bool ChildProcess::WaitEnd(int limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (Alive()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
