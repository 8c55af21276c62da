// The process's one main loop and the timers that fire on it. Timer
// handlers run on the thread that runs the loop; an exception escaping a
// handler is reported (system log / standard error) and the loop goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class TMainLoop;

// A timer in the manner of the component framework's: an interval in
// milliseconds, an enabled flag, a handler. An interval of 0 never fires.
// Fires repeatedly while enabled; the handler may disable and re-enable it.
class TTimer {
public:
    explicit TTimer(TMainLoop* loop = nullptr);  // nullptr: the process's main loop
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    void SetInterval(uint32_t ms);
    uint32_t Interval() const;
    void SetEnabled(bool enabled);
    bool Enabled() const;
    void SetOnTimer(std::function<void()> handler);

private:
    friend class TMainLoop;
    struct State;
    std::shared_ptr<State> state_;
    TMainLoop* loop_;
};

class TMainLoop {
public:
    TMainLoop();
    ~TMainLoop();
    // The process's main loop (created on first use).
    static TMainLoop& Instance();
    // Runs timers until Terminate(); returns then.
    void Run();
    // Ends Run(); safe from any thread and from a signal-watching thread.
    void Terminate();
    bool Terminated() const;
    // Runs a task on the loop's thread as soon as possible.
    void Post(std::function<void()> task);

private:
    friend class TTimer;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
