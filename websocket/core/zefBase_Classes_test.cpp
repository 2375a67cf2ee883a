// zefBase_Classes: the comma list, the header list and the timer.
#include "websocket/core/zefBase_Classes.h"

#include "platform/rtl/MainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace zef;

TEST(TzefDelimitedStringList, CommaStrictQuotesGroup) {
    TzefDelimitedStringList List;
    List.SetDelimitedText("a, b,\"c,d\"");
    EXPECT_EQ(std::vector<std::string>(List.begin(), List.end()),
              (std::vector<std::string>{"a", " b", "c,d"}));
}

TEST(TzefHeaderList, CaseInsensitiveLookup) {
    TzefHeaderList Headers;
    Headers.Add("GET / HTTP/1.1");
    Headers.Add("Sec-WebSocket-Key:  abc ");
    Headers.Add("Host: x");
    EXPECT_EQ(Headers.IndexOfHeader("sec-websocket-key"), 1);
    EXPECT_EQ(Headers.GetHeaderValue("HOST"), "x");
    EXPECT_EQ(Headers.GetHeaderValue("Sec-WebSocket-Key"), "abc");
    EXPECT_EQ(Headers.IndexOfHeader("Origin"), -1);
    EXPECT_EQ(Headers.GetHeaderValue("Origin"), "");
}

/// The bound on waits for ticks: generous, a loaded machine may hold the timer's thread off the
/// CPU for a long time; the waits end as soon as the ticks are there.
constexpr std::chrono::seconds TickWait{30};

TEST(TzefTimer, TicksEveryRoundedInterval) {
    TzefTimer Timer;
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::chrono::steady_clock::time_point> Ticks; // Guarded by Lock.
    Timer.SetInterval(150);
    Timer.SetOnTimer([&](TzefTimer&) {
        std::scoped_lock Guard(Lock);
        Ticks.push_back(std::chrono::steady_clock::now());
        Changed.notify_all();
    });
    Timer.SetEnabled(true);
    std::unique_lock Guard(Lock);
    ASSERT_TRUE(Changed.wait_for(Guard, TickWait, [&] { return Ticks.size() >= 2; }));
    // Two 100 ms steps at least between two ticks.
    EXPECT_GE(Ticks[1] - Ticks[0], std::chrono::milliseconds(190));
    Guard.unlock();
    Timer.SetEnabled(false);
    EXPECT_FALSE(Timer.Enabled());
}

TEST(TzefTimer, DisablingDuringTheCountdownEndsWithoutATick) {
    TzefTimer Timer;
    std::atomic<int> Ticks{0};
    Timer.SetInterval(60000);
    Timer.SetOnTimer([&](TzefTimer&) { ++Ticks; });
    Timer.SetEnabled(true);
    Timer.SetEnabled(false);
    Timer.SetEnabled(true); // A fresh cycle loop.
    EXPECT_TRUE(Timer.Enabled());
    auto Start = std::chrono::steady_clock::now();
    {
        TzefTimer Gone;
        Gone.SetInterval(60000);
        Gone.SetEnabled(true);
    }
    // Far below the 60 s countdown, with room for a machine that holds the thread off the CPU.
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(30));
    EXPECT_EQ(Ticks.load(), 0);
}

TEST(TzefTimer, ExceptionGoesToOnExceptionAndTheTimerGoesOn) {
    TzefTimer Timer;
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::string> Errors; // Guarded by Lock.
    Timer.SetInterval(1);
    Timer.SetOnTimer([](TzefTimer&) { throw TzefWSException("tick failed"); });
    Timer.SetOnException([&](TzefTimer&, const std::exception& E) {
        std::scoped_lock Guard(Lock);
        Errors.push_back(E.what());
        Changed.notify_all();
    });
    Timer.SetEnabled(true);
    std::unique_lock Guard(Lock);
    ASSERT_TRUE(Changed.wait_for(Guard, TickWait, [&] { return Errors.size() >= 2; }));
    EXPECT_EQ(Errors[0], "tick failed");
}

TEST(TzefTimer, QueuedTicksRunOnTheMainThread) {
    for (TwsNotifyEvent Mode : {TwsNotifyEvent::neAsynchronous, TwsNotifyEvent::neSynchronous}) {
        SCOPED_TRACE(int(Mode));
        std::atomic<int> Ticks{0};
        std::atomic<bool> OnMain{true};
        {
            TzefTimer Timer;
            Timer.SetInterval(1);
            Timer.SetNotifyEvents(Mode);
            Timer.SetOnTimer([&](TzefTimer&) {
                OnMain = OnMain && rtl::IsMainThread();
                ++Ticks;
            });
            Timer.SetEnabled(true);
            auto Deadline = std::chrono::steady_clock::now() + TickWait;
            while (Ticks < 2 && std::chrono::steady_clock::now() < Deadline) {
                rtl::CheckSynchronize(std::chrono::milliseconds(10));
            }
        }
        EXPECT_GE(Ticks.load(), 2);
        EXPECT_TRUE(OnMain.load());
        int Before = Ticks;
        rtl::CheckSynchronize(); // A tick queued before the timer went never runs.
        EXPECT_EQ(Ticks.load(), Before);
    }
}

TEST(TzefTimer, FreedFromItsOwnTickEndsByItself) {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Freed = false; // Guarded by Lock.
    auto Timer = std::make_unique<TzefTimer>();
    Timer->SetInterval(1);
    Timer->SetOnTimer([&](TzefTimer&) {
        std::scoped_lock Guard(Lock);
        Timer.reset();
        Freed = true;
        Changed.notify_all();
    });
    Timer->SetEnabled(true);
    std::unique_lock Guard(Lock);
    EXPECT_TRUE(Changed.wait_for(Guard, TickWait, [&] { return Freed; }));
}
