// Load benchmark of the catalogue synchronisation service (not a test).
//
// For each N it prepares a fresh database on the private MariaDB instance
// (127.0.0.1:$VT_TEST_DB_PORT, default 3307) with N pharmacies and
// `iterations` open action requests (producer inserts every pharmacy has to
// receive), starts the service in a child process, and runs N concurrent
// pharmacy connections, each looping
//     login -> refresh (receives its next request) -> confirm it
// `iterations` times. It reports requests per second, the median and 99th
// percentile latency of one request (frame sent to reply read), and the
// server process's resident memory (peak sampled during the run and the
// kernel's high-water mark). Every request must be answered without error;
// the program exits with status 1 otherwise.
//
//     nomsync_load [iterations [N ...]]      defaults: 20 and 10 100 500
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/format.h"
#include "core/options.h"
#include "nomsync/nom_sync_service.h"
#include "protocol/component_stream.h"
#include "protocol/compressed_stream.h"
#include "protocol/customer_info.h"
#include "protocol/frame_io.h"
#include "protocol/pharm_classes.h"
#include "support/test_db.h"

namespace {

using Clock = std::chrono::steady_clock;

struct RunResult {
    int n = 0;
    int64_t requests = 0;
    int64_t failures = 0;
    std::string firstFailure;
    double seconds = 0;
    double p50ms = 0, p99ms = 0, maxms = 0;
    long rssPeakKB = 0, rssHwmKB = 0;
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
            TZorvelCentralNomSyncServerSrv srv(0);
            srv.ReloadOptionsOnStart = false;
            srv.BindAddress = "127.0.0.1";
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

RunResult Run(int n, int iterations) {
    RunResult res;
    res.n = n;
    TestDatabase db;
    // N pharmacies; `iterations` producer insert requests, already applied
    // centrally, that every pharmacy has to receive.
    {
        std::string sql = "INSERT INTO pharmacy (id, name, inet_pass) VALUES (0, 'central', NULL)";
        for (int i = 1; i <= n; ++i) sql += Format(", (%d, 'pharmacy %d', 'bench-%d')", {i, i, i});
        db.Exec(sql);
        for (int r = 1; r <= iterations; ++r) {
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
    std::mutex failLock;
    std::vector<std::vector<double>> latencies(n);
    std::barrier start(n + 1);

    long rssPeak = 0;
    std::thread monitor([&] {
        while (running) {
            rssPeak = std::max(rssPeak, ReadStatusKB(server, "VmRSS:"));
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
                connected = true;
            } catch (const std::exception& e) {
                fail(std::string("connect: ") + e.what());
            }
            start.arrive_and_wait();
            if (!connected) {
                failures += iterations * 3 - 1;
                return;
            }
            auto call = [&](const TComponent& cmd) -> std::unique_ptr<TComponent> {
                const auto t0 = Clock::now();
                WriteComponentFrame(sock, cmd, 120000);
                auto r = ReadComponentFrame(sock, 120000);
                lat.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                return r;
            };
            try {
                for (int it = 0; it < iterations; ++it) {
                    TPharmServerLoginCommand login;
                    Fill(login, pharm);
                    auto lr = call(login);
                    auto* l = PharmCast<TPharmServerLoginResult>(lr.get());
                    if (!l || !l->ErrorMessage.empty() || !Authorized(*l)) fail("login refused");

                    TPharmServerRefreshDataCommand refresh;
                    Fill(refresh, pharm);
                    auto rr = call(refresh);
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
                    auto cr = call(confirm);
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
    res.rssHwmKB = ReadStatusKB(server, "VmHWM:");

    close(stopFd);
    int status = 0;
    waitpid(server, &status, 0);

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
    // Every request closed exactly once and every status row finished.
    const int64_t open = db.ScalarInt("SELECT COUNT(*) FROM ACTION_REQUEST WHERE IS_PROCESSED <> 'T'");
    const int64_t unfinished = db.ScalarInt("SELECT COUNT(*) FROM action_request_status WHERE REQUEST_STATUS <> 5");
    if (open != 0 || unfinished != 0) {
        res.failures += 1;
        if (res.firstFailure.empty())
            res.firstFailure = Format("%d requests left open, %d status rows unfinished", {open, unfinished});
    }
    return res;
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
    int iterations = argc > 1 ? std::atoi(argv[1]) : 20;
    std::vector<int> ns;
    for (int i = 2; i < argc; ++i) ns.push_back(std::atoi(argv[i]));
    if (ns.empty()) ns = {10, 100, 500};
    if (iterations <= 0) iterations = 20;

    std::printf("Nom Sync load: each connection loops login, refresh, confirm %d times\n", iterations);
    std::printf("%6s %9s %7s %8s %9s %8s %8s %8s %12s %12s\n", "N", "requests", "failed", "seconds", "req/s",
                "p50 ms", "p99 ms", "max ms", "RSS peak MB", "RSS HWM MB");
    bool ok = true;
    const double connects = ConnectsPerSecond();
    double firstRate = 0;
    for (int n : ns) {
        RunResult r;
        try {
            r = Run(n, iterations);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "N=%d: %s\n", n, e.what());
            return 2;
        }
        std::printf("%6d %9lld %7lld %8.2f %9.0f %8.2f %8.2f %8.2f %12.1f %12.1f\n", r.n,
                    static_cast<long long>(r.requests), static_cast<long long>(r.failures), r.seconds,
                    r.requests / r.seconds, r.p50ms, r.p99ms, r.maxms, r.rssPeakKB / 1024.0, r.rssHwmKB / 1024.0);
        if (firstRate == 0) firstRate = r.requests / r.seconds;
        if (r.failures != 0 || r.requests != static_cast<int64_t>(n) * iterations * 3) {
            std::printf("       FAILED: %s\n", r.firstFailure.c_str());
            ok = false;
        }
        std::fflush(stdout);
    }
    std::printf("Anchor: one client thread opens %.0f MariaDB connections/s; N=%d serves %.2fx that in requests/s\n",
                connects, ns.front(), connects > 0 ? firstRate / connects : 0.0);
    return ok ? 0 : 1;
}
