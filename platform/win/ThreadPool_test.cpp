// ThreadPool tests: work items run, run concurrently, the pool's bound, and its shrinking.
#include "platform/win/ThreadPool.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

/// Phases shared by the test and its work items: items count themselves in and wait for the
/// release. The destructor releases everything, so a failed assertion never leaves an item
/// blocked.
struct TGate {
    std::mutex Lock;
    std::condition_variable Changed;
    int Started = 0;   // Guarded by Lock.
    int Finished = 0;  // Guarded by Lock.
    bool Open = false; // Guarded by Lock.
    int Target = 0;    // Items that wait for each other before finishing (0: none wait).

    ~TGate() {
        Release();
        std::unique_lock Guard(Lock);
        Changed.wait_for(Guard, std::chrono::seconds(20), [this] { return Finished == Started; });
    }
    void Release() {
        {
            std::scoped_lock Guard(Lock);
            Open = true;
        }
        Changed.notify_all();
    }
    template <class TPredicate>
    bool WaitFor(TPredicate Predicate) {
        std::unique_lock Guard(Lock);
        return Changed.wait_for(Guard, std::chrono::seconds(20), Predicate);
    }
};

DWORD WINAPI GateItem(LPVOID Parameter) {
    auto* Gate = static_cast<TGate*>(Parameter);
    std::unique_lock Guard(Gate->Lock);
    ++Gate->Started;
    Gate->Changed.notify_all();
    Gate->Changed.wait_for(Guard, std::chrono::seconds(20), [Gate] {
        return Gate->Open || (Gate->Target > 0 && Gate->Started >= Gate->Target);
    });
    ++Gate->Finished;
    Gate->Changed.notify_all();
    return 0;
}

} // namespace

TEST(QueueUserWorkItem, RunsEveryItem) {
    TGate Gate;
    Gate.Open = true;
    constexpr int Items = 1000;
    for (int I = 0; I < Items; ++I) {
        ASSERT_TRUE(
            QueueUserWorkItem(GateItem, &Gate, I % 2 ? WT_EXECUTELONGFUNCTION : WT_EXECUTEDEFAULT));
    }
    EXPECT_TRUE(Gate.WaitFor([&] { return Gate.Finished == Items; }));
}

TEST(QueueUserWorkItem, ItemsRunConcurrently) {
    // Each item waits until all of them have started: only a pool that adds threads while
    // its threads are busy finishes.
    TGate Gate;
    Gate.Target = 16;
    for (int I = 0; I < Gate.Target; ++I) {
        ASSERT_TRUE(QueueUserWorkItem(GateItem, &Gate, WT_EXECUTEDEFAULT));
    }
    EXPECT_TRUE(Gate.WaitFor([&] { return Gate.Finished == Gate.Target; }));
}

TEST(QueueUserWorkItem, ThreadLimitTakesOnlyItsRange) {
    EXPECT_EQ(win::PoolThreadLimit(), win::MaxPoolThreads); // the default
    struct TCase {
        DWORD Limit;
        bool Taken;
    };
    const TCase Cases[] = {{0, false},
                           {1, true},
                           {win::MaxPoolThreads, true},
                           {win::MaxPoolThreads + 1, false},
                           {0xFFFFFFFFu, false}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(::testing::Message() << "limit " << Case.Limit);
        ASSERT_TRUE(win::SetPoolThreadLimit(7));
        EXPECT_EQ(win::SetPoolThreadLimit(Case.Limit), Case.Taken) << Case.Limit;
        EXPECT_EQ(win::PoolThreadLimit(), Case.Taken ? Case.Limit : 7u) << Case.Limit;
    }
    ASSERT_TRUE(win::SetPoolThreadLimit(win::MaxPoolThreads));
}

TEST(QueueUserWorkItem, ThreadsAreBoundedAndLaterItemsWait) {
    // A small limit: the bound is the same code at any size, and hundreds of threads are too
    // many for the thread sanitizer.
    constexpr DWORD Limit = 24;
    // Threads idle from earlier items would take more than the limit: let them end first.
    win::SetPoolIdleTimeout(std::chrono::milliseconds(20));
    ASSERT_TRUE(win::WaitPoolEmpty(std::chrono::seconds(20)));
    win::SetPoolIdleTimeout(std::chrono::seconds(10));
    ASSERT_TRUE(win::SetPoolThreadLimit(Limit));
    TGate Gate;
    constexpr int Items = static_cast<int>(Limit) + 8;
    for (int I = 0; I < Items; ++I) {
        ASSERT_TRUE(QueueUserWorkItem(GateItem, &Gate, WT_EXECUTELONGFUNCTION));
    }
    ASSERT_TRUE(Gate.WaitFor([&] { return Gate.Started == static_cast<int>(Limit); }));
    // No item finishes before the release, so no thread is free for the last eight.
    EXPECT_EQ(win::PoolThreadCount(), Limit);
    {
        std::scoped_lock Guard(Gate.Lock);
        EXPECT_EQ(Gate.Started, static_cast<int>(Limit));
    }
    Gate.Release();
    EXPECT_TRUE(Gate.WaitFor([&] { return Gate.Finished == Items; }));
    EXPECT_TRUE(win::SetPoolThreadLimit(win::MaxPoolThreads));
}

TEST(QueueUserWorkItem, IdleThreadsEnd) {
    win::SetPoolIdleTimeout(std::chrono::milliseconds(20));
    TGate Gate;
    Gate.Open = true;
    for (int I = 0; I < 4; ++I) {
        ASSERT_TRUE(QueueUserWorkItem(GateItem, &Gate, WT_EXECUTEDEFAULT));
    }
    EXPECT_TRUE(Gate.WaitFor([&] { return Gate.Finished == 4; }));
    EXPECT_TRUE(win::WaitPoolEmpty(std::chrono::seconds(20)));
    EXPECT_EQ(win::PoolThreadCount(), 0u);
    win::SetPoolIdleTimeout(std::chrono::seconds(10));
    // An emptied pool starts again.
    ASSERT_TRUE(QueueUserWorkItem(GateItem, &Gate, WT_EXECUTEDEFAULT));
    EXPECT_TRUE(Gate.WaitFor([&] { return Gate.Finished == 5; }));
}

TEST(QueueUserWorkItem, RefusesNoFunction) {
    EXPECT_FALSE(QueueUserWorkItem(nullptr, nullptr, WT_EXECUTEDEFAULT));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}
