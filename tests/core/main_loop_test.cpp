#include "core/main_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

// Firing on the loop thread is checked by the service application's tests.
TEST(MainLoop, TimersFireUnlessDisabledOrOfIntervalZeroAndOutliveTheirHandlersExceptions) {
    TMainLoop loop;
    TTimer timer(&loop), zero(&loop), disabled(&loop), later(&loop);
    int ticks = 0, neverTicks = 0;
    timer.SetInterval(1);
    timer.SetOnTimer([&] {
        later.SetInterval(600000);  // a new interval counts from now
        if (++ticks == 1) throw std::runtime_error("Pass failed badly");
        loop.Terminate();
    });
    zero.SetInterval(0);
    zero.SetOnTimer([&] { ++neverTicks; });
    disabled.SetInterval(1);
    disabled.SetEnabled(false);
    disabled.SetOnTimer([&] { ++neverTicks; });
    later.SetInterval(500000);
    later.SetOnTimer([&] { ++neverTicks; });
    testing::internal::CaptureStderr();
    loop.Run();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Pass failed badly"), std::string::npos);
    EXPECT_EQ(ticks, 2);
    EXPECT_EQ(neverTicks, 0);
    EXPECT_TRUE(loop.Terminated());
}

TEST(MainLoop, AHandlerCanStopAndRestartItsTimer) {
    TMainLoop loop;
    TTimer timer(&loop), other(&loop);
    int ticks = 0, otherTicks = 0;
    timer.SetInterval(1);
    timer.SetOnTimer([&] {
        timer.SetEnabled(false);  // the pass runs with the timer stopped
        if (++ticks < 3) timer.SetEnabled(true);  // and enables it again at its end
    });
    other.SetInterval(5);
    other.SetOnTimer([&] {
        if (++otherTicks == 20) loop.Terminate();
    });
    loop.Run();
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(timer.Enabled());
}

TEST(MainLoop, PostTerminateAndEnableFromOtherThreadsWakeTheLoop) {
    TMainLoop loop;
    std::atomic<bool> ran{false};
    std::thread::id taskThread;
    std::thread poster([&] {
        loop.Post([&] {
            taskThread = std::this_thread::get_id();
            ran = true;
        });
        while (!ran) std::this_thread::yield();
        loop.Terminate();
    });
    loop.Run();
    poster.join();
    EXPECT_EQ(taskThread, std::this_thread::get_id());
    TMainLoop early;  // terminated before it runs: returns at once
    early.Terminate();
    early.Run();
    // The installer enables its timer on its service thread.
    TMainLoop woken;
    TTimer timer(&woken);
    timer.SetEnabled(false);
    timer.SetInterval(1);
    timer.SetOnTimer([&] { woken.Terminate(); });
    std::thread service([&] { timer.SetEnabled(true); });
    woken.Run();
    service.join();
    EXPECT_TRUE(woken.Terminated());
}

TEST(MainLoop, ATimerDestroyedInItsOwnHandlerIsSafe) {
    TMainLoop loop;
    auto timer = std::make_unique<TTimer>(&loop);
    timer->SetInterval(1);
    timer->SetOnTimer([&] {
        timer.reset();
        loop.Post([&] { loop.Terminate(); });
    });
    loop.Run();
    EXPECT_EQ(timer, nullptr);
}

}  // namespace
