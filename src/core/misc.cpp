#include "core/misc.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "core/cp1251.h"
#include "core/format.h"

extern char** environ;

// ---- Text ----------------------------------------------------------------

int LastCharPos(char ch, const std::string& s, int skip) {
    for (size_t i = s.size(); i > 0; --i) {
        if (s[i - 1] != ch) continue;
        if (skip-- <= 0) return static_cast<int>(i);
    }
    return 0;
}

bool IsDigitsOnly(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void ParseDelimitedText(const std::string& s, std::vector<std::string>& list, const TCharSet& delims,
                        bool clear) {
    // The list changes in one step: the pieces are collected first.
    std::vector<std::string> items;
    std::string piece;
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quoted) {
            if (c != '"') {
                piece += c;
            } else if (i + 1 < s.size() && s[i + 1] == '"') {
                piece += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (!delims.Contains(c)) {
            piece += c;
        } else {
            items.push_back(std::move(piece));
            piece.clear();
            if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
        }
    }
    if (!piece.empty()) items.push_back(std::move(piece));
    if (clear) list.clear();
    list.insert(list.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
}

std::vector<std::string> SplitDelimitedText(const std::string& s, const TCharSet& delims) {
    std::vector<std::string> list;
    ParseDelimitedText(s, list, delims, false);
    return list;
}

std::vector<std::string> SplitByChars(const std::string& s, const TCharSet& delims, bool keepEmpty) {
    std::vector<std::string> list;
    std::string piece;
    for (size_t i = 0; i < s.size(); ++i) {
        bool last = i + 1 == s.size();
        bool delim = delims.Contains(s[i]);
        if (delim || last) {
            if (last && !delim) piece += s[i];
            if (!piece.empty() || keepEmpty) list.push_back(piece);
            piece.clear();
        } else {
            piece += s[i];
        }
    }
    return list;
}

// ---- Rounding ------------------------------------------------------------

namespace {

using i128 = __int128;

// N / D rounded to the nearest integer, ties to even (D > 0).
i128 DivRoundEven(i128 n, i128 d) {
    i128 q = n / d, r = n % d;
    i128 twice = (r < 0 ? -r : r) * 2;
    if (twice > d || (twice == d && (q % 2 != 0))) q += n < 0 ? -1 : 1;
    return q;
}

Currency CurrencyFromWide(i128 raw) {
    if (raw > INT64_MAX || raw < INT64_MIN) throw EOverflow("Floating point overflow");
    return Currency::FromRaw(static_cast<int64_t>(raw));
}

}  // namespace

Currency RND(Currency value, int32_t factor, unsigned mode) {
    VT_ASSERT(factor <= 10000, "More than 4 decimal places not allowed in function RND.");
    VT_ASSERT(factor > 0, "The factor of function RND must be positive.");
    if (mode != 0) {
        long double r = RoundByMode(mode, static_cast<long double>(value.raw) / 10000.0L, factor);
        long double raw = std::nearbyint(r * 10000.0L);
        if (!(std::fabs(raw) < 9.2233720368547758e18L)) throw EOverflow("Floating point overflow");
        return Currency::FromRaw(static_cast<int64_t>(raw));
    }
    // Value x Factor is raw x Factor / 10000; the arithmetic is exact, so a
    // value such as 2.345 keeps its dropped digit 5.
    const i128 v = value.raw;
    const i128 t = v * factor / 10000;                 // truncated toward zero
    i128 d = (v * factor * 10 / 10000) % 10;           // the first digit dropped
    if (d < 0) d = -d;
    i128 steps = t;
    if (d >= 5) steps += v > 0 ? 1 : (v < 0 ? -1 : 0);
    // Steps / Factor as a currency value, rounded to the nearest 1/10000.
    return CurrencyFromWide(DivRoundEven(steps * 10000, factor));
}

Currency RoundMoney(Currency value, unsigned mode) { return RND(value, 100, mode); }

long double RoundByMode(unsigned mode, long double x, long double f) {
    const bool negative = x < 0;
    long double scaled = std::nearbyint(std::fabs(x * f) * 10000.0L);  // ties to even
    if (!(scaled < 9.2233720368547758e18L))
        throw EOverflow(Format("Overflow on rounding %g with a factor of %g.",
                               {static_cast<double>(x), static_cast<double>(f)}));
    i128 s = static_cast<int64_t>(scaled);
    if (mode == 0)
        s += 5000;
    else if (mode == 1 && s % 10000 != 0)
        s += 10000;
    s = s / 10000 * 10000;
    long double r = static_cast<long double>(s) / f / 10000.0L;
    return negative ? -r : r;
}

// ---- Files and folders -----------------------------------------------------

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
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EInOutError(std::strerror(errno));
    struct stat st;
    int rc = ::fstat(fd, &st);
    int err = errno;
    ::close(fd);
    if (rc != 0) throw EInOutError(std::strerror(err));
    if (S_ISDIR(st.st_mode)) throw EInOutError(std::strerror(EISDIR));
    if (st.st_size > INT32_MAX) throw ERangeError("Range check error");
    return static_cast<int32_t>(st.st_size);
}

// ---- Processes -------------------------------------------------------------

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
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        while (true) {
            int waitMs = -1;
            if (limited) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) { ::close(pidfd); return false; }
                waitMs = static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
            }
            struct pollfd p{pidfd, POLLIN, 0};
            int rc = ::poll(&p, 1, waitMs);
            if (rc > 0) break;
            if (rc < 0 && errno != EINTR) break;  // fall back to a plain wait
        }
        ::close(pidfd);
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
