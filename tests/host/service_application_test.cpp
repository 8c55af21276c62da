// The service application: its command line, registration, and serving the
// services on threads of their own (a real SIGTERM is the whole-process
// test's).
#include "host/service_application.h"
#include "host/service_factory.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/app_paths.h"
#include "core/files.h"
#include "core/ini_file.h"
#include "core/options.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

using V = std::vector<std::string>;

const char* const kNames[3] = {"ZorvelCentralServerSrv", "VantrellPacketInstallerService",
                               "ZorvelCentralNomSyncServerSrv"};
const char* const kDisplayNames[3] = {"Vantrell ReplData Server", "Vantrell PacketInstallerService",
                                      "Vantrell Nom Sync Server"};

// The events of all dummy services of one test, in the order they happened.
class TEventRecord {
public:
    void Add(const std::string& e) {
        std::lock_guard<std::mutex> g(m_);
        events_ += e + " ";
        cv_.notify_all();
    }
    std::string Events() const {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }
    // How many events begin with prefix; waits (at most 30 s) until there
    // are at least `wait` of them.
    size_t Count(const std::string& prefix, size_t wait = 0) {
        std::unique_lock<std::mutex> lk(m_);
        size_t n = 0;
        cv_.wait_for(lk, std::chrono::seconds(30), [&] {
            n = 0;
            for (size_t at = 0; (at = (" " + events_).find(" " + prefix, at)) != std::string::npos; ++at) ++n;
            return n >= wait;
        });
        return n;
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::string events_;
};

// Service i of kNames: records what happens to it as "<event>:<i>".
class TDummyService : public TService {
public:
    TDummyService(int i, TEventRecord& rec) : i_(i), rec_(rec) {}
    std::string Name() const override { return kNames[i_]; }
    std::string DisplayName() const override { return kDisplayNames[i_]; }
    const char* ClassName() const override { return "TDummyService"; }
    void ServiceCreate() override { Add("create"); }
    void ServiceDestroy() override { Add("destroy"); }
    void ServiceStart(bool& started) override {
        startThread = std::this_thread::get_id();
        Add("start");
        if (OnStart) OnStart(started);
    }
    void ServiceStop(bool&) override {
        Add("stop");
        if (OnStop) OnStop();
    }

    std::function<void(bool&)> OnStart;
    std::function<void()> OnStop;
    std::thread::id startThread;

private:
    void Add(const std::string& e) { rec_.Add(e + ":" + std::to_string(i_)); }
    int i_;
    TEventRecord& rec_;
};

// Each test has its own program folder, unit folder and main loop.
class HostTest : public ::testing::Test {
protected:
    TServiceFactory Factory() {
        return [this] {
            std::vector<std::unique_ptr<TService>> list;
            for (int i = 0; i < 3; ++i) {
                auto s = std::make_unique<TDummyService>(i, rec_);
                if (configure_) configure_(i, *s);
                list.push_back(std::move(s));
            }
            return list;
        };
    }
    std::string UnitPath(const std::string& folder = "") const {
        return units_.Path() + "/" + folder + TServiceApplication::UnitName();
    }
    size_t ConfigKeys() const { return TIniFile(base_.File("vantrell_config.ini")).ReadSection("Main").size(); }

    // Runs the application on a thread of its own (the thread that runs the
    // loop), as the main thread of the process would.
    void RunAsync(TServiceApplication& app, V args) {
        runner_ = std::thread([&app, args, this] {
            loopThread_ = std::this_thread::get_id();
            status_ = app.Run(args);
        });
    }
    int Join() {
        runner_.join();
        return status_;
    }
    // Runs the application until `starts` services have started, asks it to
    // stop, and returns its exit status.
    int RunAndStop(TServiceApplication& app, V args = {}, size_t starts = 3) {
        RunAsync(app, std::move(args));
        EXPECT_EQ(rec_.Count("start:", starts), starts) << "the services did not start";
        app.RequestStop();
        return Join();
    }
    // The exit status of a run to its end; its standard error in err.
    int Run(V args, std::string* err = nullptr) {
        TServiceApplication app(Factory(), &loop_);
        testing::internal::CaptureStderr();
        const int rc = app.Run(args);
        const std::string e = testing::internal::GetCapturedStderr();
        if (err) *err = e;
        return rc;
    }

    TempDir base_, units_;
    ScopedEnv baseEnv_{"VT_BASE_DIR", base_.Path()};
    ScopedEnv unitEnv_{"VT_SYSTEMD_UNIT_DIR", units_.Path()};
    TEventRecord rec_;
    std::function<void(int, TDummyService&)> configure_;
    TMainLoop loop_;
    std::thread runner_;
    std::thread::id loopThread_;
    int status_ = -1;
};

// The words count only as separate arguments beginning with "-" or "/", in
// any letter case; the services to start are a comma list.
TEST(CommandLine, WordsNeedADashOrSlashAndIgnoreCase) {
    const struct { V args; const char* want; } cases[] = {  // install, uninstall, silent
        {{"-INSTALL"}, "100"},  {{"/install"}, "100"}, {{"-InStAlL"}, "100"},  {{"INSTALL"}, "000"},
        {{"-INSTALLX"}, "000"}, {{"--INSTALL"}, "000"}, {{"/UNINSTALL"}, "010"},
        {{"-uninstall", "/Silent", "-install"}, "111"}, {{"-install", "SILENT"}, "100"}};
    for (const auto& c : cases) {
        const TCommandLine cmd = TCommandLine::Parse(c.args);
        EXPECT_EQ(std::string() + "01"[cmd.Install] + "01"[cmd.Uninstall] + "01"[cmd.Silent], c.want) << c.args[0];
        EXPECT_FALSE(cmd.ServicesGiven);
    }
    const TCommandLine svc = TCommandLine::Parse({"--services=ZorvelCentralNomSyncServerSrv, other"});
    EXPECT_TRUE(svc.ServicesGiven);
    EXPECT_EQ(svc.Services, (V{"ZorvelCentralNomSyncServerSrv", "other"}));
}

// The process hosts exactly these three services, made in this order, with
// the properties the service manager is told about.
TEST(ServiceFactory, CreatesTheThreeServicesInOrderWithTheirProperties) {
    auto services = CreateServices();
    ASSERT_EQ(services.size(), 3u);
    const struct { bool allowPause, interactive; TErrorSeverity severity; } want[3] = {
        {false, true, TErrorSeverity::esIgnore}, {true, false, TErrorSeverity::esNormal},
        {true, false, TErrorSeverity::esNormal}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(kNames[i]);
        const TService& s = *services[i];
        EXPECT_EQ(s.Name() + "|" + s.DisplayName(), std::string(kNames[i]) + "|" + kDisplayNames[i]);
        EXPECT_TRUE(s.AllowStop);
        EXPECT_EQ(s.AllowPause, want[i].allowPause);
        EXPECT_EQ(s.Interactive, want[i].interactive);
        EXPECT_EQ(s.ErrorSeverity, want[i].severity);
        EXPECT_EQ(s.StartType, TStartType::stAuto);
    }
}

// Runs in order: what each registration command line ends with, prints, and
// leaves installed.
TEST_F(HostTest, RegistrationCommandsInTurn) {
    const struct {
        V args;
        int rc;
        std::string out;
        bool installed;
    } runs[] = {
        {{"-UNINSTALL"}, esFailed, "", false},  // nothing is installed: every service says so
        {{"/InStAlL"}, esOk, "installed successfully", true},
        {{"/UNINSTALL"}, esOk, "removed successfully", false},
        {{"-install", "-SILENT"}, esOk, "", true},
        {{"-UNINSTALL", "-INSTALL"}, esOk, "installed successfully", true},  // install wins
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.args[0]);
        std::string err;
        testing::internal::CaptureStdout();
        EXPECT_EQ(Run(r.args, &err), r.rc);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(r.out.empty() ? out.empty() : out.find(r.out) != std::string::npos) << out;
        for (const char* d : kDisplayNames)
            EXPECT_EQ(err.find("Service \"" + std::string(d) + "\" could not be removed") != std::string::npos,
                      r.rc == esFailed)
                << err;
        EXPECT_EQ(FileExists(UnitPath()) + FileExists(UnitPath("multi-user.target.wants/")), 2 * r.installed);
    }
    std::string unit = TempDir::Read(UnitPath());
    for (std::string part : {"ExecStart=" + ProgramPath(),
                             std::string("Vantrell ReplData Server, Vantrell PacketInstallerService, Vantrell Nom Sync Server"),
                             "Environment=VT_BASE_DIR=" + base_.Path() + "\n", std::string("WantedBy=multi-user.target")})
        EXPECT_NE(unit.find(part), std::string::npos) << part << "\n" << unit;
    // The services were created in order, never started, and freed, run by run.
    EXPECT_EQ(rec_.Events().rfind("create:0 create:1 create:2 destroy:0 destroy:1 destroy:2 create:0 ", 0), 0u);
    EXPECT_EQ(rec_.Count("destroy:2"), 5u);
    // The configuration was loaded first (its folders made); no data module is left.
    EXPECT_TRUE(DirectoryExists(base_.File("Archives")));
    EXPECT_EQ(ServicesData, nullptr);
    // A word with a blank, a quote or a semicolon is quoted, "%" and "$" doubled.
    for (const auto& [folder, written] : {std::pair{"a b%$", "a b%%$$"}, {"a;b", "a;b"}, {"a'b", "a'b"}}) {
        ScopedEnv quoted("VT_BASE_DIR", base_.File(folder));
        EXPECT_EQ(Run({"-INSTALL", "-SILENT"}), esOk);
        const std::string line = "Environment=\"VT_BASE_DIR=" + base_.File(written) + "\"\n";
        EXPECT_NE(TempDir::Read(UnitPath()).find(line), std::string::npos) << TempDir::Read(UnitPath());
    }

    ScopedEnv bad("VT_SYSTEMD_UNIT_DIR", base_.File("no/such/folder"));
    std::string err;
    EXPECT_EQ(Run({"-INSTALL", "-SILENT"}, &err), esFailed);
    EXPECT_NE(err.find("Service \"Vantrell Nom Sync Server\" could not be installed"), std::string::npos) << err;
}

// Every service starts and stops on a thread of its own while the data
// module exists, their timers fire on the loop's thread, a stop error is
// reported and the services are still freed.
TEST_F(HostTest, ServesEveryServiceOnItsOwnThreadUntilStopped) {
    std::thread::id ids[3][2];
    std::unique_ptr<TTimer> timer;
    std::atomic<int> ticks{0};
    std::thread::id tickThread;
    configure_ = [&](int i, TDummyService& s) {
        s.OnStart = [&, i](bool&) {
            rec_.Add(ServicesData ? "data:1" : "data:0");
            if (i != 1) return;
            timer = std::make_unique<TTimer>(&loop_);
            timer->SetInterval(1);
            timer->SetOnTimer([&] {
                tickThread = std::this_thread::get_id();
                if (++ticks == 2) rec_.Add("ticked");
            });
        };
        s.OnStop = [&ids, i, &s] {
            ids[i][0] = s.startThread;
            ids[i][1] = std::this_thread::get_id();
            if (i == 2) throw std::runtime_error("port stuck");
        };
    };
    TServiceApplication app(Factory(), &loop_);
    testing::internal::CaptureStderr();
    RunAsync(app, {"INSTALL", "--INSTALL", "-INSTALLX"});  // none of them is the word
    ASSERT_EQ(rec_.Count("ticked", 1) + rec_.Count("start:", 3), 4u);
    EXPECT_FALSE(FileExists(UnitPath()));
    app.RequestStop();
    EXPECT_EQ(Join(), esOk);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Service failed on execute: port stuck"), std::string::npos);
    timer.reset();

    const std::string ev = rec_.Events();
    EXPECT_EQ(ev.substr(0, 27), "create:0 create:1 create:2 ");
    EXPECT_EQ(ev.substr(ev.size() - 30), "destroy:0 destroy:1 destroy:2 ");
    EXPECT_EQ(rec_.Count("stop:") + rec_.Count("data:1"), 6u);  // the data module exists while services start
    EXPECT_EQ(ConfigKeys(), 20u);
    EXPECT_EQ(tickThread, loopThread_);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ids[i][0], ids[i][1]) << "start and stop on one service thread";
        EXPECT_NE(ids[i][0], loopThread_);
        for (int j = 0; j < i; ++j) EXPECT_NE(ids[i][0], ids[j][0]);
    }
}

// Only the named services start, but all are created; an unknown name
// starts nothing.
TEST_F(HostTest, OnlyTheNamedServicesStartButAllAreCreated) {
    TServiceApplication app(Factory(), &loop_);
    EXPECT_EQ(RunAndStop(app, {"--services=zorvelcentralnomsyncserversrv"}, 1), esOk);
    const std::string created = "create:0 create:1 create:2 ", destroyed = "destroy:0 destroy:1 destroy:2 ";
    EXPECT_EQ(rec_.Events(), created + "start:2 stop:2 " + destroyed);
    std::string err;
    EXPECT_EQ(Run({"--services=NoSuchService"}, &err), esUsageError);
    EXPECT_NE(err.find("NoSuchService"), std::string::npos);
    EXPECT_EQ(rec_.Events(), created + "start:2 stop:2 " + destroyed + created + destroyed);
}

// Records when the thread that made it ends (thread-local, made on first use).
struct TThreadEnd {
    TEventRecord& rec;
    ~TThreadEnd() { rec.Add("thread-end"); }
};

TEST_F(HostTest, FailedStartsAreReportedAndTheOneLeftRuns) {
    configure_ = [this](int i, TDummyService& s) {
        if (i == 0) return;
        s.OnStart = [this, i](bool& started) {
            thread_local TThreadEnd end{rec_};
            if (i == 1) throw std::runtime_error("no database");
            started = false;
        };
    };
    TServiceApplication app(Factory(), &loop_);
    testing::internal::CaptureStderr();
    RunAsync(app, {});
    EXPECT_EQ(rec_.Count("thread-end", 2), 2u);
    EXPECT_FALSE(loop_.Terminated()) << "the process ended while a service ran";
    app.RequestStop();
    EXPECT_EQ(Join(), esOk);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Service failed on start: no database"), std::string::npos) << err;
    EXPECT_EQ(rec_.Count("stop:"), 1u);  // the failed ones are not stopped
    EXPECT_EQ(rec_.Count("stop:0"), 1u);

}

// When every service fails the process ends; a configuration folder value
// that cannot be made ends it before any service is created.
TEST_F(HostTest, WhenEveryServiceFailsTheProcessEnds) {
    configure_ = [](int i, TDummyService& s) {
        if (i == 0) s.OnStart = [](bool& started) { started = false; };
        else s.OnStart = [](bool&) { throw std::runtime_error("broken"); };
    };
    EXPECT_EQ(Run({}), esFailed);
    EXPECT_EQ(rec_.Count("stop:"), 0u);
    EXPECT_EQ(ConfigKeys(), 20u);

    base_.Write("vantrell_config.ini", "[Main]\r\nNomObjectDataDir=\r\n");
    std::string err;
    EXPECT_EQ(Run({}, &err), esFailed);
    EXPECT_NE(err.find("Unable to create directory"), std::string::npos);
    EXPECT_EQ(rec_.Count("create:"), 3u);
}

// A stop while a service still starts (as one that waits for its database)
// waits for the start to end and then stops every service.
TEST_F(HostTest, AStopDuringALongStartWaitsForTheStartAndThenStops) {
    configure_ = [](int i, TDummyService& s) {
        if (i == 0) s.OnStart = [&s](bool&) {
            while (!s.WaitForStop(std::chrono::milliseconds(50))) {
            }
        };
    };
    TServiceApplication app(Factory(), &loop_);
    EXPECT_EQ(RunAndStop(app), esOk);
    EXPECT_EQ(rec_.Count("stop:"), 3u);
}

}  // namespace
