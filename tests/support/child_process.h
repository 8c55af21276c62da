// A child process of a test: forked to run a function (a server, an
// installer), killed with SIGKILL at a moment the test picks, and always
// reaped. The child leads a process group of its own, so that a kill also
// ends what it started (the extractor). A test that fails leaves nothing
// running behind.
#pragma once

#include <sys/types.h>

#include <functional>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Forks; the child runs body and ends with _exit of what it returns.
    // False when fork failed.
    bool Start(const std::function<int()>& body);
    // SIGKILL to the child's group and the child, then waits for its end.
    void Kill();
    // Whether the child still runs (reaps it when it has ended).
    bool Alive();
    // Waits for the child's end at most limitMs; whether it ended.
    bool WaitEnd(int limitMs);
    pid_t Pid() const { return pid_; }
    // The wait status of the ended child.
    int Status() const { return status_; }

private:
    pid_t pid_ = -1;
    bool running_ = false;
    int status_ = 0;
};
