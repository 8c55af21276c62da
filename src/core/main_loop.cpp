#include "core/main_loop.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "core/log.h"

using Clock = std::chrono::steady_clock;

struct TTimer::State {
    uint32_t interval = 1000;  // the framework's default
    bool enabled = true;
    std::function<void()> handler;
    Clock::time_point due;
};

struct TMainLoop::Impl {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    std::vector<std::shared_ptr<TTimer::State>> timers;
    bool terminated = false;

    // A timer counts down from now whenever it is enabled or its interval
    // changes; a timer with interval 0 or without handler never fires.
    static bool Armed(const TTimer::State& s) { return s.enabled && s.interval > 0 && s.handler; }
};

namespace {

// What escapes a task or a timer handler is reported and the loop goes on.
void RunGuarded(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        EventLogError(e.what());
    } catch (...) {
        EventLogError("Unknown exception");
    }
}

}  // namespace

TMainLoop::TMainLoop() : impl_(std::make_unique<Impl>()) {}
TMainLoop::~TMainLoop() = default;

TMainLoop& TMainLoop::Instance() {
    static TMainLoop loop;
    return loop;
}

void TMainLoop::Run() {
    std::unique_lock<std::mutex> lk(impl_->mutex);
    while (!impl_->terminated) {
        if (!impl_->tasks.empty()) {
            std::function<void()> task = std::move(impl_->tasks.front());
            impl_->tasks.pop_front();
            lk.unlock();
            RunGuarded(task);
            lk.lock();
            continue;
        }
        // The timer due first.
        std::shared_ptr<TTimer::State> next;
        for (const auto& t : impl_->timers)
            if (Impl::Armed(*t) && (!next || t->due < next->due)) next = t;
        const auto now = Clock::now();
        if (next && next->due <= now) {
            std::function<void()> handler = next->handler;
            next->due = now + std::chrono::milliseconds(next->interval);
            lk.unlock();
            RunGuarded(handler);
            lk.lock();
            // A handler that outlasts the interval is followed by one tick
            // at once, not by a burst of missed ones.
            if (next->due < Clock::now()) next->due = Clock::now();
            continue;
        }
        if (next)
            impl_->wake.wait_until(lk, next->due);
        else
            impl_->wake.wait(lk);
    }
}

void TMainLoop::Terminate() {
    {
        std::lock_guard<std::mutex> g(impl_->mutex);
        impl_->terminated = true;
    }
    impl_->wake.notify_all();
}

bool TMainLoop::Terminated() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->terminated;
}

void TMainLoop::Post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> g(impl_->mutex);
        impl_->tasks.push_back(std::move(task));
    }
    impl_->wake.notify_all();
}

// ---- TTimer ------------------------------------------------------------

TTimer::TTimer(TMainLoop* loop)
    : state_(std::make_shared<State>()), loop_(loop ? loop : &TMainLoop::Instance()) {
    std::lock_guard<std::mutex> g(loop_->impl_->mutex);
    state_->due = Clock::now() + std::chrono::milliseconds(state_->interval);
    loop_->impl_->timers.push_back(state_);
}

TTimer::~TTimer() {
    std::lock_guard<std::mutex> g(loop_->impl_->mutex);
    auto& timers = loop_->impl_->timers;
    timers.erase(std::remove(timers.begin(), timers.end(), state_), timers.end());
}

void TTimer::SetInterval(uint32_t ms) {
    {
        std::lock_guard<std::mutex> g(loop_->impl_->mutex);
        if (state_->interval == ms) return;
        state_->interval = ms;
        state_->due = Clock::now() + std::chrono::milliseconds(ms);
    }
    loop_->impl_->wake.notify_all();
}

uint32_t TTimer::Interval() const {
    std::lock_guard<std::mutex> g(loop_->impl_->mutex);
    return state_->interval;
}

void TTimer::SetEnabled(bool enabled) {
    {
        std::lock_guard<std::mutex> g(loop_->impl_->mutex);
        if (state_->enabled == enabled) return;
        state_->enabled = enabled;
        if (enabled) state_->due = Clock::now() + std::chrono::milliseconds(state_->interval);
    }
    loop_->impl_->wake.notify_all();
}

bool TTimer::Enabled() const {
    std::lock_guard<std::mutex> g(loop_->impl_->mutex);
    return state_->enabled;
}

void TTimer::SetOnTimer(std::function<void()> handler) {
    {
        std::lock_guard<std::mutex> g(loop_->impl_->mutex);
        state_->handler = std::move(handler);
        state_->due = Clock::now() + std::chrono::milliseconds(state_->interval);
    }
    loop_->impl_->wake.notify_all();
}
