#include "host/service_application.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/app_paths.h"
#include "core/cp1251.h"
#include "core/fd.h"
#include "core/format.h"
#include "core/options.h"
#include "core/log.h"
#include "core/text.h"
#include "host/console_out.h"
#include "net/open_file_limit.h"

// ---- Command line --------------------------------------------------------

TCommandLine TCommandLine::Parse(const std::vector<std::string>& args) {
    TCommandLine cmd;
    const std::string servicesPrefix = "--services=";
    for (const std::string& a : args) {
        if (a.size() >= servicesPrefix.size() && SameText1251(a.substr(0, servicesPrefix.size()), servicesPrefix)) {
            cmd.ServicesGiven = true;
            for (const std::string& name : SplitByChars(a.substr(servicesPrefix.size()), ",", false)) {
                std::string n = Trim(name);
                if (!n.empty()) cmd.Services.push_back(n);
            }
            continue;
        }
        if (a.size() < 2 || (a[0] != '-' && a[0] != '/')) continue;
        std::string word = a.substr(1);
        if (SameText1251(word, "INSTALL")) cmd.Install = true;
        else if (SameText1251(word, "UNINSTALL")) cmd.Uninstall = true;
        else if (SameText1251(word, "SILENT")) cmd.Silent = true;
    }
    return cmd;
}

// ---- Application ---------------------------------------------------------

struct TServiceApplication::Slot {
    TService* service = nullptr;
    std::thread thread;
    bool ran = false;  // ServiceStart succeeded
};

namespace {

const char* Message(const std::exception& e) { return e.what(); }

}  // namespace

TServiceApplication::TServiceApplication(TServiceFactory factory, TMainLoop* loop)
    : factory_(std::move(factory)), loop_(loop ? loop : &TMainLoop::Instance()) {}

TServiceApplication::~TServiceApplication() {
    if (stopper_.joinable()) stopper_.join();
    for (auto& slot : slots_)
        if (slot->thread.joinable()) slot->thread.join();
}

int TServiceApplication::Run(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return Run(args);
}

int TServiceApplication::Run(const std::vector<std::string>& args) {
    const TCommandLine cmd = TCommandLine::Parse(args);
    const bool serving = !cmd.Install && !cmd.Uninstall;

    // The stop signals are taken by a watcher thread; every thread started
    // from here on inherits the blocked mask, so no other thread gets them.
    sigset_t stopSignals, oldMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    if (serving) pthread_sigmask(SIG_BLOCK, &stopSignals, &oldMask);

    int status = esOk;
    bool optionsCreated = false;
    try {
        // The configuration comes first, also when the process only
        // registers or removes itself.
        CreateOptions();
        optionsCreated = true;
        data_ = std::make_unique<TServicesData>();
        ServicesData = data_.get();
        services_ = factory_ ? factory_() : std::vector<std::unique_ptr<TService>>{};
        for (auto& s : services_) s->ServiceCreate();
        if (cmd.Install) status = Install(cmd);
        else if (cmd.Uninstall) status = Uninstall(cmd);
        else status = Serve(cmd);
    } catch (const std::exception& e) {
        EventLogError(Message(e));
        status = esFailed;
    }

    // Process end: the configuration keys the file lacks are written, then
    // the services and the data module are freed.
    if (optionsCreated) {
        try {
            FreeOptions();
        } catch (const std::exception& e) {
            EventLogError(Message(e));
        }
    }
    if (stopper_.joinable()) stopper_.join();
    for (auto& s : services_) {
        try {
            s->ServiceDestroy();
        } catch (const std::exception& e) {
            EventLogError(Message(e));
        }
    }
    slots_.clear();
    services_.clear();
    ServicesData = nullptr;
    data_.reset();
    if (serving) pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    return status;
}

// ---- Serving -------------------------------------------------------------

int TServiceApplication::Serve(const TCommandLine& cmd) {
    // Which services start: those named on the command line, else every
    // automatic one; always in creation order.
    std::vector<TService*> toStart;
    if (cmd.ServicesGiven) {
        for (const std::string& name : cmd.Services) {
            bool found = false;
            for (auto& s : services_) found = found || SameText1251(s->Name(), name);
            if (!found) {
                std::string known;
                for (auto& s : services_) known += (known.empty() ? "" : ", ") + s->Name();
                WriteOut(stderr, Format("Unknown service \"%s\" (the services are: %s).", {name, known}));
                return esUsageError;
            }
        }
        for (auto& s : services_)
            for (const std::string& name : cmd.Services)
                if (SameText1251(s->Name(), name)) {
                    toStart.push_back(s.get());
                    break;
                }
    } else {
        for (auto& s : services_)
            if (s->StartType == TStartType::stAuto) toStart.push_back(s.get());
    }

    // Every pharmacy connection holds a descriptor.
    Log("TServiceApplication", Format("Open files limit: %d", {static_cast<int64_t>(RaiseOpenFileLimit())}));

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    TUniqueFd sigFdOwner(signalfd(-1, &stopSignals, SFD_CLOEXEC));
    TUniqueFd wakeFdOwner(eventfd(0, EFD_CLOEXEC));
    const int sigFd = sigFdOwner.Get(), wakeFd = wakeFdOwner.Get();
    std::thread watcher([this, sigFd, wakeFd] {
        // fds[0]: the wake-up at the end of serving; fds[1]: the signals.
        struct pollfd fds[2] = {{wakeFd, POLLIN, 0}, {sigFd, POLLIN, 0}};
        const nfds_t count = sigFd >= 0 ? 2 : 1;
        while (true) {
            int rc = ::poll(fds, count, -1);
            if (rc < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents) return;
            if (count < 2 || !fds[1].revents) continue;
            struct signalfd_siginfo si;
            if (::read(sigFd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) continue;
            bool again;
            {
                std::lock_guard<std::mutex> g(lock_);
                again = stopRequested_;
            }
            if (again) {
                EventLogError("A second stop signal: the process ends at once.");
                std::_Exit(esFailed);
            }
            RequestStop();
        }
    });
    if (sigFd < 0) {
        // Without a signal descriptor the watcher only waits to be woken.
        EventLogError(Format("Cannot watch the stop signals: %s", {std::string(std::strerror(errno))}));
    }

    {
        std::lock_guard<std::mutex> g(lock_);
        if (!stopping_) {
            running_ = static_cast<int>(toStart.size());
            for (TService* s : toStart) {
                slots_.push_back(std::make_unique<Slot>());
                slots_.back()->service = s;
            }
            for (auto& slot : slots_) slot->thread = std::thread([this, p = slot.get()] { ServiceThread(*p); });
        }
        if (slots_.empty()) loop_->Terminate();  // nothing to serve
    }

    loop_->Run();

    StopAll();
    uint64_t one = 1;
    if (wakeFd >= 0 && ::write(wakeFd, &one, sizeof one) < 0) {
    }
    watcher.join();
    // A stop in progress on the stopper thread ends before anything goes.
    if (stopper_.joinable()) stopper_.join();
    sigFdOwner.Reset();
    wakeFdOwner.Reset();

    std::lock_guard<std::mutex> g(lock_);
    bool anyRan = false;
    for (auto& slot : slots_) anyRan = anyRan || slot->ran;
    if (slots_.empty() || anyRan || stopRequested_) return esOk;
    return esFailed;  // every service failed to start
}

void TServiceApplication::ServiceThread(Slot& slot) {
    TService& svc = *slot.service;
    bool started = true;
    try {
        svc.ServiceStart(started);
    } catch (const std::exception& e) {
        EventLogError(Format("Service failed on %s: %s", {"start", std::string(Message(e))}));
        started = false;
    } catch (...) {
        EventLogError(Format("Service failed on %s: %s", {"start", "Unknown exception"}));
        started = false;
    }
    if (started) {
        {
            std::lock_guard<std::mutex> g(lock_);
            slot.ran = true;
        }
        while (!svc.WaitForStop(std::chrono::hours(1))) {
        }
        bool stopped = true;
        try {
            svc.ServiceStop(stopped);
        } catch (const std::exception& e) {
            EventLogError(Format("Service failed on %s: %s", {"execute", std::string(Message(e))}));
        } catch (...) {
            EventLogError(Format("Service failed on %s: %s", {"execute", "Unknown exception"}));
        }
    }
    bool last;
    {
        std::lock_guard<std::mutex> g(lock_);
        last = --running_ == 0 && !stopping_;
    }
    // When every service has ended by itself, the process ends.
    if (last) loop_->Terminate();
}

void TServiceApplication::RequestStop() {
    std::lock_guard<std::mutex> g(lock_);
    stopRequested_ = true;
    if (stopperStarted_) return;
    stopperStarted_ = true;
    stopper_ = std::thread([this] { StopAll(); });
}

void TServiceApplication::StopAll() {
    std::vector<Slot*> slots;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (stopping_) return;
        stopping_ = true;
        for (auto& s : slots_) slots.push_back(s.get());
    }
    for (Slot* s : slots) s->service->RequestStop();
    for (Slot* s : slots)
        if (s->thread.joinable()) s->thread.join();
    loop_->Terminate();
}
