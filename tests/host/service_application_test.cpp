// The service application: its command line, registration, and serving the
// services on threads of their own (a real SIGTERM is the whole-process
// test's).
#include "host/service_application.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/app_paths.h"
#include "core/files.h"
#include "core/ini_file.h"
#include "core/options.h"
#include "host/dummy_service.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

using V = std::vector<std::string>;

TEST(CommandLine, WordsNeedADashOrSlashAndIgnoreCase) {
    EXPECT_TRUE(TCommandLine::Parse({"-INSTALL"}).Install);
    EXPECT_TRUE(TCommandLine::Parse({"/install"}).Install);
    EXPECT_TRUE(TCommandLine::Parse({"-InStAlL"}).Install);
    EXPECT_FALSE(TCommandLine::Parse({"INSTALL"}).Install);
    EXPECT_FALSE(TCommandLine::Parse({"-INSTALLX"}).Install);
    EXPECT_FALSE(TCommandLine::Parse({"--INSTALL"}).Install);
    EXPECT_FALSE(TCommandLine::Parse({"-INSTALL"}).Uninstall);
    EXPECT_TRUE(TCommandLine::Parse({"/UNINSTALL"}).Uninstall);
    auto both = TCommandLine::Parse({"-uninstall", "/Silent", "-install"});
    EXPECT_TRUE(both.Install && both.Uninstall && both.Silent);
    EXPECT_FALSE(TCommandLine::Parse({"-install", "SILENT"}).Silent);

    auto svc = TCommandLine::Parse({"--services=ZorvelCentralNomSyncServerSrv, other"});
    EXPECT_TRUE(svc.ServicesGiven);
    EXPECT_EQ(svc.Services, (V{"ZorvelCentralNomSyncServerSrv", "other"}));
    EXPECT_FALSE(TCommandLine::Parse({}).ServicesGiven);
}

// Each test has its own program folder, unit folder and main loop.
class HostTest : public ::testing::Test {
protected:
    TServiceFactory Factory() {
        return [this] {
            std::vector<std::unique_ptr<TService>> list;
            for (int i = 0; i < 3; ++i) {
                auto s = std::make_unique<TDummyService>(kNames[i], kDisplayNames[i], rec_);
                if (configure_) configure_(i, *s);
                list.push_back(std::move(s));
            }
            return list;
        };
    }
    std::string UnitPath() const { return units_.Path() + "/" + TServiceApplication::UnitName(); }
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
        EXPECT_TRUE(rec_.WaitFor("start:", starts)) << "the services did not start";
        app.RequestStop();
        return Join();
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

TEST_F(HostTest, InstallInAnyCaseWritesTheUnitAndEnds) {
    TServiceApplication app(Factory(), &loop_);
    testing::internal::CaptureStdout();
    int rc = app.Run({"/InStAlL"});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, esOk);
    EXPECT_NE(out.find("installed successfully"), std::string::npos) << out;
    std::string unit = TempDir::Read(UnitPath());
    for (std::string part : {"ExecStart=" + ProgramPath(),
                             std::string("Vantrell ReplData Server, Vantrell PacketInstallerService, Vantrell Nom Sync Server"),
                             "Environment=VT_BASE_DIR=" + base_.Path() + "\n", std::string("WantedBy=multi-user.target")})
        EXPECT_NE(unit.find(part), std::string::npos) << part << "\n" << unit;
    EXPECT_TRUE(FileExists(units_.Path() + "/multi-user.target.wants/" + TServiceApplication::UnitName()));
    // The services were created in order, never started, and freed.
    EXPECT_EQ(rec_.Events(), (V{"create:ZorvelCentralServerSrv", "create:VantrellPacketInstallerService",
                                "create:ZorvelCentralNomSyncServerSrv", "destroy:ZorvelCentralServerSrv",
                                "destroy:VantrellPacketInstallerService", "destroy:ZorvelCentralNomSyncServerSrv"}));
    // The configuration was loaded first (folders) and completed at the end.
    EXPECT_TRUE(DirectoryExists(base_.File("Archives")));
    EXPECT_EQ(ConfigKeys(), 20u);
    EXPECT_EQ(ServicesData, nullptr);
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
        {{"-install", "-SILENT"}, esOk, "", true},
        {{"/UNINSTALL"}, esOk, "removed successfully", false},
        {{"-UNINSTALL", "-INSTALL"}, esOk, "installed successfully", true},  // install wins
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.args[0]);
        TServiceApplication app(Factory(), &loop_);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(app.Run(r.args), r.rc);
        std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(r.out.empty() ? out.empty() : out.find(r.out) != std::string::npos) << out;
        for (const char* d : kDisplayNames)
            EXPECT_EQ(err.find("Service \"" + std::string(d) + "\" could not be removed") != std::string::npos,
                      r.rc == esFailed)
                << err;
        EXPECT_EQ(FileExists(UnitPath()), r.installed);
        EXPECT_EQ(FileExists(units_.Path() + "/multi-user.target.wants/" + TServiceApplication::UnitName()), r.installed);
    }
    ScopedEnv bad("VT_SYSTEMD_UNIT_DIR", base_.File("no/such/folder"));
    TServiceApplication app(Factory(), &loop_);
    testing::internal::CaptureStderr();
    EXPECT_EQ(app.Run({"-INSTALL", "-SILENT"}), esFailed);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Service \"Vantrell Nom Sync Server\" could not be installed"), std::string::npos) << err;
}

TEST_F(HostTest, ServesEveryServiceOnItsOwnThreadUntilStopped) {
    configure_ = [this](int, TDummyService& s) {
        s.OnStart = [this](bool&) { rec_.Add(ServicesData ? "data:1" : "data:0"); };
    };
    TServiceApplication app(Factory(), &loop_);
    RunAsync(app, {"INSTALL"});  // without "-" or "/" the word means nothing
    ASSERT_TRUE(rec_.WaitFor("start:", 3));
    EXPECT_FALSE(FileExists(UnitPath()));
    EXPECT_EQ(app.Services().size(), 3u);
    app.RequestStop();
    EXPECT_EQ(Join(), esOk);

    auto ev = rec_.Events();
    ASSERT_EQ(ev.size(), 15u);
    EXPECT_EQ(V(ev.begin(), ev.begin() + 3), (V{"create:ZorvelCentralServerSrv", "create:VantrellPacketInstallerService",
                                                "create:ZorvelCentralNomSyncServerSrv"}));
    EXPECT_EQ(rec_.Count("stop:"), 3u);
    EXPECT_EQ(V(ev.end() - 3, ev.end()), (V{"destroy:ZorvelCentralServerSrv", "destroy:VantrellPacketInstallerService",
                                            "destroy:ZorvelCentralNomSyncServerSrv"}));
    EXPECT_EQ(rec_.Count("data:1"), 3u);  // the data module exists while services start
    EXPECT_EQ(ConfigKeys(), 20u);
}

TEST_F(HostTest, ThreadsOfStartStopAndLoop) {
    std::thread::id ids[3][2];
    configure_ = [&](int i, TDummyService& s) {
        s.OnStop = [&ids, i, &s] {
            ids[i][0] = s.startThread;
            ids[i][1] = std::this_thread::get_id();
        };
    };
    TServiceApplication app(Factory(), &loop_);
    RunAndStop(app);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ids[i][0], ids[i][1]) << "start and stop on one service thread";
        EXPECT_NE(ids[i][0], loopThread_);
        for (int j = 0; j < i; ++j) EXPECT_NE(ids[i][0], ids[j][0]);
    }
}

TEST_F(HostTest, OnlyTheNamedServicesStartButAllAreCreated) {
    TServiceApplication app(Factory(), &loop_);
    EXPECT_EQ(RunAndStop(app, {"--services=zorvelcentralnomsyncserversrv"}, 1), esOk);
    EXPECT_EQ(rec_.Count("create:"), 3u);
    EXPECT_EQ(rec_.Count("destroy:"), 3u);
    EXPECT_EQ(rec_.Count("start:"), 1u);
    EXPECT_EQ(rec_.Count("start:ZorvelCentralNomSyncServerSrv"), 1u);
    EXPECT_EQ(rec_.Count("stop:"), 1u);
}

TEST_F(HostTest, AnUnknownServiceNameStartsNothing) {
    TServiceApplication app(Factory(), &loop_);
    testing::internal::CaptureStderr();
    EXPECT_EQ(app.Run({"--services=NoSuchService"}), esUsageError);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("NoSuchService"), std::string::npos);
    EXPECT_EQ(rec_.Count("start:"), 0u);
    EXPECT_EQ(rec_.Count("destroy:"), 3u);
}

// Records when the thread that made it ends (thread-local, made on first use).
struct TThreadEnd {
    TEventRecord& rec;
    ~TThreadEnd() { rec.Add("thread end"); }
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
    EXPECT_TRUE(rec_.WaitFor("thread end", 2));
    EXPECT_FALSE(loop_.Terminated()) << "the process ended while a service ran";
    app.RequestStop();
    EXPECT_EQ(Join(), esOk);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Service failed on start: no database"), std::string::npos) << err;
    EXPECT_EQ(rec_.Count("stop:"), 1u);  // the failed ones are not stopped
    EXPECT_EQ(rec_.Count("stop:ZorvelCentralServerSrv"), 1u);
}

TEST_F(HostTest, WhenEveryServiceFailsTheProcessEnds) {
    configure_ = [](int i, TDummyService& s) {
        if (i == 0) s.OnStart = [](bool& started) { started = false; };
        else s.OnStart = [](bool&) { throw std::runtime_error("broken"); };
    };
    TServiceApplication app(Factory(), &loop_);
    testing::internal::CaptureStderr();
    EXPECT_EQ(app.Run({}), esFailed);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rec_.Count("stop:"), 0u);
    EXPECT_EQ(ConfigKeys(), 20u);
}

TEST_F(HostTest, AStopErrorIsReportedWithExecute) {
    configure_ = [](int i, TDummyService& s) {
        if (i == 2) s.OnStop = [] { throw std::runtime_error("port stuck"); };
    };
    TServiceApplication app(Factory(), &loop_);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunAndStop(app), esOk);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Service failed on execute: port stuck"), std::string::npos);
    EXPECT_EQ(rec_.Count("destroy:"), 3u);
}

TEST_F(HostTest, AStopDuringALongStartWaitsForTheStartAndThenStops) {
    configure_ = [](int i, TDummyService& s) {
        // A start that retries until it is told to stop.
        if (i == 0) s.OnStart = [&s](bool&) {
            while (!s.WaitForStop(std::chrono::milliseconds(50))) {
            }
        };
    };
    TServiceApplication app(Factory(), &loop_);
    EXPECT_EQ(RunAndStop(app), esOk);
    EXPECT_EQ(rec_.Count("stop:"), 3u);
}

TEST_F(HostTest, TimersOfServicesFireOnTheLoopThread) {
    std::unique_ptr<TTimer> timer;
    std::atomic<int> ticks{0};
    std::thread::id tickThread;
    configure_ = [&](int i, TDummyService& s) {
        if (i != 1) return;
        s.OnStart = [&](bool&) {
            timer = std::make_unique<TTimer>(&loop_);
            timer->SetInterval(1);
            timer->SetOnTimer([&] {
                tickThread = std::this_thread::get_id();
                if (++ticks == 2) rec_.Add("ticked");
            });
        };
    };
    TServiceApplication app(Factory(), &loop_);
    RunAsync(app, {});
    ASSERT_TRUE(rec_.WaitFor("ticked", 1));
    app.RequestStop();
    Join();
    EXPECT_EQ(tickThread, loopThread_);
    timer.reset();
}

TEST_F(HostTest, AMissingConfigurationFolderValueStopsTheProcessBeforeTheServices) {
    base_.Write("vantrell_config.ini", "[Main]\r\nNomObjectDataDir=\r\n");
    TServiceApplication app(Factory(), &loop_);
    testing::internal::CaptureStderr();
    EXPECT_EQ(app.Run({}), esFailed);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Unable to create directory"), std::string::npos);
    EXPECT_EQ(rec_.Count("create:"), 0u);
}

}  // namespace
