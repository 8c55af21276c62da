// The service application: the one process that hosts the services.
//
// Start-up: the configuration is loaded (its default folders created), the
// services data module is created, then the services in the order the
// factory gives them (each one's ServiceCreate runs). With "-INSTALL" or
// "/UNINSTALL" (any letter case; "-SILENT" suppresses the success message)
// the process registers or removes itself as a systemd service and ends.
// Otherwise each service to start runs its ServiceStart on a thread of its
// own while the calling thread runs the main loop; SIGTERM or SIGINT stop
// every started service (ServiceStop, on its own thread) and end the loop. A
// second signal during the stop ends the process at once. At the end the
// configuration keys the file lacks are written, then the services and the
// data module are freed.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/main_loop.h"
#include "core/service.h"

using TServiceFactory = std::function<std::vector<std::unique_ptr<TService>>()>;

// The command line as the application reads it. Words count only as
// separate arguments that begin with "-" or "/", in any letter case.
struct TCommandLine {
    bool Install = false;
    bool Uninstall = false;
    bool Silent = false;
    // "--services=Name1,Name2": the services to start (by service name, any
    // letter case). Without it every service whose StartType is stAuto starts.
    bool ServicesGiven = false;
    std::vector<std::string> Services;

    static TCommandLine Parse(const std::vector<std::string>& args);
};

// Exit status of Run.
enum TExitStatus : int {
    esOk = 0,
    esFailed = 1,       // registration failed, start-up failed, or no service ran
    esUsageError = 2,   // a service named on the command line does not exist
};

class TServiceApplication {
public:
    // Loop: the loop the calling thread runs (default: the process's main
    // loop, on which the services' timers fire).
    explicit TServiceApplication(TServiceFactory factory, TMainLoop* loop = nullptr);
    ~TServiceApplication();
    TServiceApplication(const TServiceApplication&) = delete;
    TServiceApplication& operator=(const TServiceApplication&) = delete;

    // Runs the whole process life; Args are the arguments after the
    // program name. Returns the exit status.
    int Run(const std::vector<std::string>& args);
    int Run(int argc, char** argv);

    // What SIGTERM does: asks every started service to stop, waits for their
    // ServiceStop, ends the loop. Safe from any thread; only the first call
    // acts.
    void RequestStop();

    // The folder systemd reads unit files from: $VT_SYSTEMD_UNIT_DIR, else
    // /etc/systemd/system.
    static std::string UnitFolder();
    // "<program>.service".
    static std::string UnitName();

    // The services, in creation order (empty before Run creates them).
    const std::vector<std::unique_ptr<TService>>& Services() const { return services_; }

private:
    struct Slot;
    int Install(const TCommandLine& cmd);
    int Uninstall(const TCommandLine& cmd);
    // Tells on stderr, for each service (or for all when none was created),
    // that installing or removing the unit failed; returns esFailed.
    int ReportUnitFailure(const char* perService, const char* forAll, const std::string& error);
    int Serve(const TCommandLine& cmd);
    void ServiceThread(Slot& slot);
    void StopAll();
    std::string UnitText(const TCommandLine& cmd) const;

    TServiceFactory factory_;
    TMainLoop* loop_;
    std::unique_ptr<TServicesData> data_;
    std::vector<std::unique_ptr<TService>> services_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::thread stopper_;  // runs the stop sequence asked for by RequestStop
    std::mutex lock_;
    bool stopperStarted_ = false;
    bool stopping_ = false;
    bool stopRequested_ = false;  // a stop was asked for (signal or RequestStop)
    int running_ = 0;             // service threads not yet ended
};
