// A service hosted by the server process. The host creates every service,
// runs each started service's ServiceStart on a thread of its own and its
// ServiceStop on shutdown; the services themselves have no work loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

enum class TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };
enum class TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };

class TService {
public:
    virtual ~TService() = default;

    // The service's registered name ("ZorvelCentralServerSrv") and display
    // name ("Vantrell ReplData Server").
    virtual std::string Name() const = 0;
    virtual std::string DisplayName() const = 0;
    // Class name as log lines show it ("TZorvelCentralServerSrv").
    virtual const char* ClassName() const = 0;

    bool AllowStop = true;
    bool AllowPause = false;
    bool Interactive = false;
    TErrorSeverity ErrorSeverity = TErrorSeverity::esNormal;
    TStartType StartType = TStartType::stAuto;

    // Run when the host creates and frees the service.
    virtual void ServiceCreate() {}
    virtual void ServiceDestroy() {}
    // Start and stop handlers; an exception out of ServiceStart means the
    // service did not start (the host reports "Service failed on start: ...").
    virtual void ServiceStart(bool& started) = 0;
    virtual void ServiceStop(bool& stopped) = 0;

    // Set by the host when the service is to stop, also while its
    // ServiceStart is still running: a start that waits or retries checks it
    // (or waits with WaitForStop) so that the process can end.
    bool StopRequested() const {
        std::lock_guard<std::mutex> g(stopLock_);
        return stopRequested_;
    }
    // Waits up to Timeout for a stop request; true when there is one.
    bool WaitForStop(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lk(stopLock_);
        return stopCv_.wait_for(lk, timeout, [this] { return stopRequested_; });
    }
    // Host side: asks the service to stop.
    void RequestStop() {
        {
            std::lock_guard<std::mutex> g(stopLock_);
            stopRequested_ = true;
        }
        stopCv_.notify_all();
    }

private:
    mutable std::mutex stopLock_;
    std::condition_variable stopCv_;
    bool stopRequested_ = false;
};
