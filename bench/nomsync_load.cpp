// Load benchmark of the catalogue synchronisation service (not a test).
//
// For each N it prepares a fresh database on the private MariaDB instance
// (127.0.0.1:$VT_TEST_DB_PORT, default 3307) with N pharmacies and
// `iterations` open action requests (inserts every pharmacy has to receive:
// producers, then, in a second run, articles with their NZOK part, three
// measures and two substitutes), starts the service in a child process, and runs N concurrent
// pharmacy connections, each logging in once before the clock starts (so
// that the timed run meets a server with its database connections open) and
// then looping
//     login -> refresh (receives its next request) -> confirm it
// `iterations` times. It reports requests per second, the median and 99th
// percentile latency of one request (frame sent to reply read), and the
// server process's resident memory (peak sampled during the run and the
// kernel's high-water mark). Every request must be answered without error;
// the program exits with status 1 otherwise.
//
// The N = 500 run is a confirmation storm: every pharmacy confirms the same
// request at about the same moment; its rate and p99 are printed beside the
// N = 10 run's. Then 50 active pharmacies run twice, alone and beside 5,000
// idle connections (each logged in once, then silent below the read
// time-out), printing both p99s and the server's resident memory per idle
// connection. With --soak SECONDS, 500 active pharmacies loop for that long
// and the resident memory at the end is printed beside its value after the
// first minute.
//
//     nomsync_load [--soak SECONDS] [iterations [N ...]]   defaults: 20 and 10 100 500
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mysql.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/format.h"
#include "core/options.h"
#include "net/open_file_limit.h"
#include "nomsync/nom_sync_service.h"
#include "protocol/component_stream.h"
#include "protocol/compressed_stream.h"
#include "protocol/customer_info.h"
#include "protocol/frame_io.h"
#include "protocol/pharm_classes.h"
#include "support/fault_env.h"
#include "support/test_db.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the requests handed out carry.
enum class Kind { Producer, Article };

struct RunResult {
    int n = 0;
    Kind kind = Kind::Producer;
    int64_t requests = 0;
    int64_t failures = 0;
    std::string firstFailure;
    double seconds = 0;
    double p50ms = 0, p99ms = 0, maxms = 0;
    // The same by command: login, refresh, confirm.
    double kindP50ms[3] = {}, kindP99ms[3] = {};
    long rssPeakKB = 0, rssHwmKB = 0;
    // With idle connections: the server's resident memory before they were
    // opened and once they were all logged in. In a soak: after the first
    // minute and at the end.
    long rssBeforeIdleKB = 0, rssWithIdleKB = 0;
    long rssMinuteKB = 0, rssEndKB = 0;
};

// What a run adds to the plain loop.
struct RunOptions {
    Kind kind = Kind::Producer;
    int idle = 0;            // connections that log in once and stay silent
    double soakSeconds = 0;  // > 0: loop until then (iterations is an upper bound)
};

long ReadStatusKB(pid_t pid, const char* key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t klen = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, klen, key) == 0) return std::atol(line.c_str() + klen + 1);
    return 0;
}

void Fill(TPharmServerLoginCommand& c, int pharm) {
    SetCommandCustomerLines(c, {"CustomerCode=" + std::to_string(pharm), "Password=bench-" + std::to_string(pharm)});
}

bool Authorized(TPharmServerLoginResult& r) {
    std::vector<std::string> lines;
    LoadStringsCompressed(lines, r.CustomerInfo);
    return std::find(lines.begin(), lines.end(), "CustomerAuthorized=1") != lines.end();
}

// The service in a child process; returns its pid and writes its port.
pid_t StartServer(uint16_t& port, int& stopFd) {
    int toParent[2], toChild[2];
    if (pipe(toParent) != 0 || pipe(toChild) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(toParent[0]);
        close(toChild[1]);
        uint16_t p = 0;
        {
            TFaultEnv env;  // the real environment, keeping the options published here
            TZorvelCentralNomSyncServerSrv srv(env, 0, "127.0.0.1");
            bool started = false;
            try {
                srv.ServiceStart(started);
                p = srv.BoundPort();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "server start failed: %s\n", e.what());
            }
            [[maybe_unused]] ssize_t w = write(toParent[1], &p, sizeof p);
            char b;
            while (read(toChild[0], &b, 1) > 0) {
            }
            bool stopped = false;
            srv.ServiceStop(stopped);
        }
        _exit(0);
    }
    close(toParent[1]);
    close(toChild[0]);
    if (read(toParent[0], &port, sizeof port) != sizeof port || port == 0)
        throw std::runtime_error("the server did not start");
    close(toParent[0]);
    stopFd = toChild[1];
    return pid;
}

// An article insert request r, applied centrally and staged as a pharmacy's
// proposal stages it: the article with its NZOK part, measures of FACTOR 1,
// 10 and 100 (new ones, with their temporary rows) and two substitutes.
void SeedArticleRequest(TestDatabase& db, int r) {
    db.Exec(Format(
        "INSERT INTO ARTICLE (ID, NAME, CYR_NAME, BARCODE1) VALUES (%0:d, 'Article %0:d', 'Article %0:d', 'B%0:d');"
        "INSERT INTO ARTICLE_NZOK (ID, NZOK_CODE) VALUES (%0:d, 'NZ%0:d');"
        "INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, IS_PROCESSED, PHARM_ID, "
        "NOM_KEY, PROCESS_DATE) VALUES (%0:d, 1, 1, NOW(), 'F', 'F', 1, %0:d, NOW());"
        "INSERT INTO NOM_UPDATE_ARTICLE (ACTION_REQUEST_ID, ID, NAME, CYR_NAME, GENERICA, BARCODE1, BASE_PRICE) "
        "VALUES (%0:d, %0:d, 'Article %0:d', 'Article %0:d', 'generic', 'B%0:d', 12.5);"
        "INSERT INTO NOM_UPDATE_ARTICLE_NZOK (ACTION_REQUEST_ID, ID, NZOK_CODE) VALUES (%0:d, %0:d, 'NZ%0:d');"
        "INSERT INTO MEASURE (ID, ARTICLE_ID, MEASURE_NAME_ID, FACTOR, IS_ATOMIC) VALUES "
        "(%1:d, 0, 1, 1, 'F'), (%1:d + 1, 0, 2, 10, 'F'), (%1:d + 2, 0, 3, 100, 'T');"
        "INSERT INTO NOM_UPDATE_MEASURE VALUES (%0:d, 0, %0:d, 1, 1, 'F', %1:d), (%0:d, 0, %0:d, 2, 10, 'F', %1:d + 1), "
        "(%0:d, 0, %0:d, 3, 100, 'T', %1:d + 2);"
        "INSERT INTO NOM_UPDATE_SUBSTITUDE_ARTICLE VALUES (%0:d, 0, %0:d, %0:d + 1), (%0:d, 0, %0:d, %0:d + 2)",
        {r, 3 * r}));
}

RunResult Run(int n, int iterations, const RunOptions& opt = {}) {
    RunResult res;
    res.n = n;
    res.kind = opt.kind;
    TestDatabase db;
    // N pharmacies; `iterations` insert requests, already applied centrally,
    // that every pharmacy has to receive.
    {
        std::string sql = "INSERT INTO pharmacy (id, name, inet_pass) VALUES (0, 'central', NULL)";
        for (int i = 1; i <= n; ++i) sql += Format(", (%d, 'pharmacy %d', 'bench-%d')", {i, i, i});
        db.Exec(sql);
        for (int r = 1; r <= iterations; ++r) {
            if (opt.kind == Kind::Article) {
                SeedArticleRequest(db, r);
                db.Exec(Format("INSERT INTO action_request_status SELECT %d, id, 0, NOW() FROM pharmacy WHERE id > 0",
                               {r}));
                continue;
            }
            db.Exec(Format("INSERT INTO PRODUCER (ID, NAME, ADDRESS, IS_ACTIVE) VALUES (%d, 'Producer %d', 'Sofia', 'T')",
                           {r, r}));
            db.Exec(Format("INSERT INTO ACTION_REQUEST (ID, NOM_ID, ACTION_ID, ACTION_DATE, SYNC_REQUIRED, "
                           "IS_PROCESSED, PHARM_ID, NOM_KEY, PROCESS_DATE) VALUES (%d, 4, 1, NOW(), 'F', 'F', 1, %d, NOW())",
                           {r, r}));
            db.Exec(Format("INSERT INTO NOM_UPDATE_PRODUCER (ACTION_REQUEST_ID, ID, NAME, ADDRESS, IS_ACTIVE) "
                           "VALUES (%d, %d, 'Producer %d', 'Sofia', 'T')",
                           {r, r, r}));
            db.Exec(Format("INSERT INTO action_request_status SELECT %d, id, 0, NOW() FROM pharmacy WHERE id > 0", {r}));
        }
    }

    uint16_t port = 0;
    int stopFd = -1;
    const pid_t server = StartServer(port, stopFd);

    std::atomic<int64_t> failures{0};
    std::atomic<bool> running{true};

    // The idle pharmacies: each logs in once (as one of the active
    // pharmacies) and then keeps its connection open without a word.
    asio::io_context idleIo;
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> idle;
    if (opt.idle > 0) {
        res.rssBeforeIdleKB = ReadStatusKB(server, "VmRSS:");
        for (int i = 0; i < opt.idle; ++i) {
            auto s = std::make_unique<asio::ip::tcp::socket>(idleIo);
            s->connect({asio::ip::make_address("127.0.0.1"), port});
            TPharmServerLoginCommand login;
            Fill(login, i % n + 1);
            WriteComponentFrame(*s, login, 120000);
            auto r = ReadComponentFrame(*s, 120000);
            auto* l = PharmCast<TPharmServerLoginResult>(r.get());
            if (!l || !Authorized(*l)) throw std::runtime_error("an idle pharmacy's login was refused");
            idle.push_back(std::move(s));
        }
        res.rssWithIdleKB = ReadStatusKB(server, "VmRSS:");
    }
    std::mutex failLock;
    std::vector<std::vector<double>> latencies(n);
    std::vector<std::vector<double>> kindLatencies[3] = {std::vector<std::vector<double>>(n),
                                                         std::vector<std::vector<double>>(n),
                                                         std::vector<std::vector<double>>(n)};
    std::barrier start(n + 1);

    long rssPeak = 0;
    const auto begun = Clock::now();
    const auto deadline = begun + std::chrono::milliseconds(static_cast<int64_t>(opt.soakSeconds * 1000));
    std::thread monitor([&] {
        while (running) {
            const long rss = ReadStatusKB(server, "VmRSS:");
            rssPeak = std::max(rssPeak, rss);
            if (res.rssMinuteKB == 0 && Clock::now() - begun >= std::chrono::minutes(1)) res.rssMinuteKB = rss;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    auto fail = [&](const std::string& what) {
        if (failures.fetch_add(1) == 0) {
            std::lock_guard<std::mutex> g(failLock);
            res.firstFailure = what;
        }
    };

    std::vector<std::thread> clients;
    for (int i = 0; i < n; ++i) {
        clients.emplace_back([&, i] {
            const int pharm = i + 1;
            auto& lat = latencies[i];
            lat.reserve(static_cast<size_t>(iterations) * 3);
            asio::io_context io;
            asio::ip::tcp::socket sock(io);
            bool connected = false;
            try {
                sock.connect({asio::ip::make_address("127.0.0.1"), port});
                sock.set_option(asio::ip::tcp::no_delay(true));
                // One login before the clock starts, so that the timed run
                // meets a server that has its database connections open,
                // not one just started.
                TPharmServerLoginCommand login;
                Fill(login, pharm);
                WriteComponentFrame(sock, login, 120000);
                auto lr = ReadComponentFrame(sock, 120000);
                auto* l = PharmCast<TPharmServerLoginResult>(lr.get());
                if (!l || !Authorized(*l)) throw std::runtime_error("login refused before the run");
                connected = true;
            } catch (const std::exception& e) {
                fail(std::string("connect: ") + e.what());
            }
            start.arrive_and_wait();
            if (!connected) {
                failures += iterations * 3 - 1;
                return;
            }
            for (auto& k : kindLatencies) k[i].reserve(static_cast<size_t>(iterations));
            auto call = [&](const TComponent& cmd, int kind) -> std::unique_ptr<TComponent> {
                const auto t0 = Clock::now();
                WriteComponentFrame(sock, cmd, 120000);
                auto r = ReadComponentFrame(sock, 120000);
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                lat.push_back(ms);
                kindLatencies[kind][i].push_back(ms);
                return r;
            };
            try {
                for (int it = 0; it < iterations && (opt.soakSeconds <= 0 || Clock::now() < deadline); ++it) {
                    TPharmServerLoginCommand login;
                    Fill(login, pharm);
                    auto lr = call(login, 0);
                    auto* l = PharmCast<TPharmServerLoginResult>(lr.get());
                    if (!l || !l->ErrorMessage.empty() || !Authorized(*l)) fail("login refused");

                    TPharmServerRefreshDataCommand refresh;
                    Fill(refresh, pharm);
                    auto rr = call(refresh, 1);
                    auto* r = PharmCast<TPharmServerNomActualizationResult>(rr.get());
                    if (!r || !r->ErrorMessage.empty() || r->CentralSyncAction != TCentralSyncAction::csaDataReceiving ||
                        r->ActionRequestID <= 0 || r->Data.Size() == 0) {
                        fail("refresh: " + (r ? r->ErrorMessage + " " + EnumIdent(r->CentralSyncAction) : "no result"));
                        continue;
                    }
                    TPharmServerConfirmActionCommand confirm;
                    Fill(confirm, pharm);
                    confirm.ActionRequestID = static_cast<int32_t>(r->ActionRequestID);
                    confirm.CentralSyncAction = TCentralSyncAction::csaDataReceiving;
                    auto cr = call(confirm, 2);
                    auto* c = PharmCast<TPharmServerConfirmActionResult>(cr.get());
                    if (!c || !c->ErrorMessage.empty()) fail("confirm: " + (c ? c->ErrorMessage : "no result"));
                }
            } catch (const std::exception& e) {
                fail(std::string("connection: ") + e.what());
            }
        });
    }
    start.arrive_and_wait();
    const auto t0 = Clock::now();
    for (auto& t : clients) t.join();
    res.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    running = false;
    monitor.join();
    res.rssPeakKB = rssPeak;
    res.rssEndKB = ReadStatusKB(server, "VmRSS:");
    idle.clear();
    res.rssHwmKB = ReadStatusKB(server, "VmHWM:");

    close(stopFd);
    int status = 0;
    waitpid(server, &status, 0);

    for (int k = 0; k < 3; ++k) {
        std::vector<double> one;
        for (auto& v : kindLatencies[k]) one.insert(one.end(), v.begin(), v.end());
        std::sort(one.begin(), one.end());
        if (one.empty()) continue;
        res.kindP50ms[k] = one[one.size() / 2];
        res.kindP99ms[k] = one[std::min(one.size() - 1, one.size() * 99 / 100)];
    }
    std::vector<double> all;
    for (auto& v : latencies) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    res.requests = static_cast<int64_t>(all.size());
    res.failures = failures;
    if (!all.empty()) {
        res.p50ms = all[all.size() / 2];
        res.p99ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
        res.maxms = all.back();
    }
    // Every request closed exactly once and every status row finished (a
    // soak stops at its time, with requests left).
    if (opt.soakSeconds > 0) return res;
    const int64_t open = db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST WHERE IS_PROCESSED <> 'T'");
    const int64_t unfinished = db.ScalarInt("SELECT COUNT(*) FROM action_request_status WHERE REQUEST_STATUS <> 5");
    if (open != 0 || unfinished != 0) {
        res.failures += 1;
        if (res.firstFailure.empty())
            res.firstFailure = Format("%d requests left open, %d status rows unfinished", {open, unfinished});
    }
    return res;
}

void PrintHeader() {
    std::printf("%-9s %6s %9s %7s %8s %9s %8s %8s %8s %12s %12s\n", "objects", "N", "requests", "failed", "seconds", "req/s",
                "p50 ms", "p99 ms", "max ms", "RSS peak MB", "RSS HWM MB");
}

// Prints a run's line; false when a request failed or went unanswered.
bool Report(const RunResult& r, int64_t expected) {
    std::printf("%-9s %6d %9lld %7lld %8.2f %9.0f %8.2f %8.2f %8.2f %12.1f %12.1f\n",
                r.kind == Kind::Article ? "articles" : "producers", r.n,
                static_cast<long long>(r.requests), static_cast<long long>(r.failures), r.seconds,
                r.requests / r.seconds, r.p50ms, r.p99ms, r.maxms, r.rssPeakKB / 1024.0, r.rssHwmKB / 1024.0);
    std::printf("%16s p50/p99 ms: login %.2f/%.2f, refresh %.2f/%.2f, confirm %.2f/%.2f\n", "", r.kindP50ms[0],
                r.kindP99ms[0], r.kindP50ms[1], r.kindP99ms[1], r.kindP50ms[2], r.kindP99ms[2]);
    const bool ok = r.failures == 0 && (expected < 0 || r.requests == expected);
    if (!ok) std::printf("       FAILED: %s\n", r.firstFailure.c_str());
    std::fflush(stdout);
    return ok;
}

}  // namespace

// The anchor: how many MariaDB connections one client thread opens (and
// closes) per second on the same instance, with the server's account.
double ConnectsPerSecond() {
    TestDatabase db;
    const auto o = db.Options();
    int64_t n = 0;
    const auto t0 = Clock::now();
    const auto until = t0 + std::chrono::seconds(2);
    while (Clock::now() < until) {
        MYSQL* m = mysql_init(nullptr);
        mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "cp1251");
        unsigned int protocol = MYSQL_PROTOCOL_TCP;
        mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &protocol);
        if (!mysql_real_connect(m, o->ServerName.c_str(), o->UserName.c_str(), o->Password.c_str(),
                                o->DataBaseName.c_str(), static_cast<unsigned>(db.Port()), nullptr, 0)) {
            std::fprintf(stderr, "connect failed: %s\n", mysql_error(m));
            mysql_close(m);
            return 0;
        }
        mysql_close(m);
        ++n;
    }
    return n / std::chrono::duration<double>(Clock::now() - t0).count();
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // The idle run holds thousands of connections (the server is a child
    // and inherits the limit).
    const uint64_t fdLimit = RaiseOpenFileLimit();
    double soakSeconds = 0;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--soak") {
        soakSeconds = std::atof(args[1].c_str());
        args.erase(args.begin(), args.begin() + 2);
    }
    int iterations = !args.empty() ? std::atoi(args[0].c_str()) : 20;
    std::vector<int> ns;
    for (size_t i = 1; i < args.size(); ++i) ns.push_back(std::atoi(args[i].c_str()));
    if (ns.empty()) ns = {10, 100, 500};
    if (iterations <= 0) iterations = 20;

    std::printf("Nom Sync load: each connection loops login, refresh, confirm %d times (open files limit %llu)\n",
                iterations, static_cast<unsigned long long>(fdLimit));
    PrintHeader();
    bool ok = true;
    const double connects = ConnectsPerSecond();
    double firstRate = 0;
    std::map<int, RunResult> byN;
    try {
        for (int n : ns) {
            RunResult r = Run(n, iterations);
            ok = Report(r, static_cast<int64_t>(n) * iterations * 3) && ok;
            byN[n] = r;
            if (firstRate == 0) firstRate = r.requests / r.seconds;
            RunOptions articles;
            articles.kind = Kind::Article;
            ok = Report(Run(n, iterations, articles), static_cast<int64_t>(n) * iterations * 3) && ok;
        }
        if (byN.count(10) && byN.count(500)) {
            const RunResult &a = byN[10], &b = byN[500];
            const double rate = (b.requests / b.seconds) / (a.requests / a.seconds);
            const double p99 = a.p99ms > 0 ? b.p99ms / a.p99ms : 0;
            std::printf("Confirmation storm N=500 against N=10: rate x%.2f (target >= 0.80), p99 x%.2f (target <= 10)%s\n",
                        rate, p99, rate >= 0.8 && p99 <= 10 ? "" : "  MISSED");
        }

        const int kActive = 50, kIdle = 5000;
        std::printf("\n%d active pharmacies, alone and beside %d idle connections:\n", kActive, kIdle);
        PrintHeader();
        RunResult alone = Run(kActive, iterations);
        ok = Report(alone, int64_t{kActive} * iterations * 3) && ok;
        RunOptions withIdle;
        withIdle.idle = kIdle;
        RunResult crowd = Run(kActive, iterations, withIdle);
        ok = Report(crowd, int64_t{kActive} * iterations * 3) && ok;
        const double perIdleKB = static_cast<double>(crowd.rssWithIdleKB - crowd.rssBeforeIdleKB) / kIdle;
        const double p99 = alone.p99ms > 0 ? crowd.p99ms / alone.p99ms : 0;
        std::printf("Idle connections: p99 x%.2f of the run without them (target <= 2), server RSS %.1f -> %.1f MB, "
                    "%.1f KiB per idle connection (target <= 64)%s\n",
                    p99, crowd.rssBeforeIdleKB / 1024.0, crowd.rssWithIdleKB / 1024.0, perIdleKB,
                    p99 <= 2 && perIdleKB <= 64 ? "" : "  MISSED");

        if (soakSeconds > 0) {
            std::printf("\nSoak: 500 active pharmacies for %.0f s:\n", soakSeconds);
            PrintHeader();
            RunOptions soak;
            soak.soakSeconds = soakSeconds;
            // More requests than the time allows, so that nobody runs dry.
            RunResult r = Run(500, static_cast<int>(std::max(40.0, soakSeconds * 3)), soak);
            ok = Report(r, -1) && ok;
            std::printf("Soak: server RSS after the first minute %.1f MB, at the end %.1f MB (x%.3f, target within 10%%)\n",
                        r.rssMinuteKB / 1024.0, r.rssEndKB / 1024.0,
                        r.rssMinuteKB > 0 ? static_cast<double>(r.rssEndKB) / r.rssMinuteKB : 0.0);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    std::printf("Anchor: one client thread opens %.0f MariaDB connections/s; N=%d serves %.2fx that in requests/s\n",
                connects, ns.front(), connects > 0 ? firstRate / connects : 0.0);
    return ok ? 0 : 1;
}
