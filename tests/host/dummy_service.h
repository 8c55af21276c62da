// Services for the host's tests: each records what happens to it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/service.h"

// The events of all dummy services of one test, in the order they happened.
class TEventRecord {
public:
    void Add(const std::string& e) {
        {
            std::lock_guard<std::mutex> g(m_);
            events_.push_back(e);
        }
        cv_.notify_all();
    }
    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }
    size_t Count(const std::string& prefix) const {
        std::lock_guard<std::mutex> g(m_);
        size_t n = 0;
        for (auto& e : events_) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    // Waits (at most 30 s) until N events begin with Prefix.
    bool WaitFor(const std::string& prefix, size_t n) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::seconds(30), [&] {
            size_t k = 0;
            for (auto& e : events_) k += e.rfind(prefix, 0) == 0;
            return k >= n;
        });
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
};

class TDummyService : public TService {
public:
    TDummyService(std::string name, std::string display, TEventRecord& rec)
        : name_(std::move(name)), display_(std::move(display)), rec_(rec) {}

    std::string Name() const override { return name_; }
    std::string DisplayName() const override { return display_; }
    const char* ClassName() const override { return "TDummyService"; }

    void ServiceCreate() override { rec_.Add("create:" + name_); }
    void ServiceDestroy() override { rec_.Add("destroy:" + name_); }
    void ServiceStart(bool& started) override {
        startThread = std::this_thread::get_id();
        rec_.Add("start:" + name_);
        if (OnStart) OnStart(started);
    }
    void ServiceStop(bool& stopped) override {
        stopThread = std::this_thread::get_id();
        rec_.Add("stop:" + name_);
        if (OnStop) OnStop();
    }

    std::function<void(bool&)> OnStart;
    std::function<void()> OnStop;
    std::thread::id startThread, stopThread;

private:
    std::string name_, display_;
    TEventRecord& rec_;
};

inline const char* const kNames[3] = {"ZorvelCentralServerSrv", "VantrellPacketInstallerService",
                                      "ZorvelCentralNomSyncServerSrv"};
inline const char* const kDisplayNames[3] = {"Vantrell ReplData Server", "Vantrell PacketInstallerService",
                                             "Vantrell Nom Sync Server"};
