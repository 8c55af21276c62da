#include "core/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "core/fd.h"
#include "core/files.h"
#include "core/format.h"

extern char** environ;

std::vector<std::string> SplitCommandLine(const std::string& cmd) {
    std::vector<std::string> args;
    size_t i = 0, n = cmd.size();
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (i < n && blank(cmd[i])) ++i;
    if (i >= n) return args;

    // The program name: quotes group, nothing is escaped.
    {
        std::string prog;
        bool quoted = false;
        for (; i < n && (quoted || !blank(cmd[i])); ++i) {
            if (cmd[i] == '"') quoted = !quoted;
            else prog += cmd[i];
        }
        args.push_back(std::move(prog));
    }

    while (true) {
        while (i < n && blank(cmd[i])) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || !blank(cmd[i]))) {
            if (cmd[i] == '\\') {
                size_t bs = 0;
                while (i < n && cmd[i] == '\\') { ++bs; ++i; }
                if (i < n && cmd[i] == '"') {
                    arg.append(bs / 2, '\\');
                    if (bs % 2) { arg += '"'; ++i; }
                } else {
                    arg.append(bs, '\\');
                }
            } else if (cmd[i] == '"') {
                if (quoted && i + 1 < n && cmd[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += cmd[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

namespace {

// Waits for the child; false when the time ran out first.
bool WaitForExit(pid_t pid, int& status, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const bool limited = timeout.count() > 0;
    const auto deadline = Clock::now() + timeout;
    TUniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (pidfd.Valid()) {
        while (true) {
            int waitMs = -1;
            if (limited) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) return false;
                waitMs = static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
            }
            struct pollfd p{pidfd.Get(), POLLIN, 0};
            int rc = ::poll(&p, 1, waitMs);
            if (rc > 0) break;
            if (rc < 0 && errno != EINTR) break;  // fall back to a plain wait
        }
        pidfd.Reset();
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) { status = 0; return true; }
        }
        return true;
    }
    // No process descriptors: poll the child's state.
    auto nap = std::chrono::milliseconds(2);
    while (true) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) { status = 0; return true; }
        if (limited && Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(nap);
        nap = std::min(nap * 2, std::chrono::milliseconds(100));
    }
}

}  // namespace

int ExecAndWait(const std::string& cmdLine, bool show, const std::string& workDir,
                std::chrono::milliseconds timeout) {
    std::vector<std::string> args = SplitCommandLine(cmdLine);
    if (args.empty() || args[0].empty()) return -1;
    // A relative program path counts from the caller's folder, not from the
    // child's working folder.
    if (args[0].find('/') != std::string::npos && args[0][0] != '/') {
        std::error_code ec;
        auto abs = std::filesystem::absolute(args[0], ec);
        if (!ec) args[0] = abs.string();
    }
    if (!workDir.empty() && !DirectoryExists(workDir)) return -1;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&fa, workDir.c_str());
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    // The child starts with default signal handling and nothing blocked
    // (the host blocks its stop signals), in a process group of its own so
    // that a time-out ends everything it started.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return -1;

    int status = 0;
    if (!WaitForExit(pid, status, timeout)) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        throw EExecError(Format("The program %s did not end within %s seconds and was stopped.",
                                {args[0], FloatToStr(static_cast<double>(timeout.count()) / 1000.0)}));
    }
    if (WIFSIGNALED(status))
        throw EExecError(Format("The program %s was ended by signal %d.", {args[0], WTERMSIG(status)}));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
