// Pylon.Sys.ThreadPool: work items on the shared pool and the wait for them.
#include "http/httpsys/Pylon.Sys.ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace pylon {
namespace {

/// A gate the test opens; its destructor opens it so no item stays blocked after a failure.
struct TGate {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Open = false;
    int Entered = 0;
    void Pass() {
        std::unique_lock Guard(Lock);
        ++Entered;
        Changed.notify_all();
        Changed.wait_for(Guard, std::chrono::seconds(30), [this] { return Open; });
    }
    bool WaitEntered(int Count) {
        std::unique_lock Guard(Lock);
        return Changed.wait_for(Guard, std::chrono::seconds(10), [&] { return Entered >= Count; });
    }
    void Release() {
        std::scoped_lock Guard(Lock);
        Open = true;
        Changed.notify_all();
    }
    ~TGate() { Release(); }
};

TEST(TWinThreadPool, StopWithoutItemsReturnsTrue) {
    TWinThreadPool Pool;
    EXPECT_TRUE(Pool.Stop()); // Never started.
    Pool.Start();
    EXPECT_TRUE(Pool.Started());
    EXPECT_TRUE(Pool.Stop());
    EXPECT_FALSE(Pool.Started());
}

TEST(TWinThreadPool, RunsEveryItemWithItsContextAndWaitsForThem) {
    TWinThreadPool Pool;
    Pool.Start();
    std::atomic<int> Sum{0};
    int Values[16];
    for (int I = 0; I < 16; ++I) {
        Values[I] = I + 1;
        ASSERT_TRUE(Pool.QueueUserWorkItem(
            &Values[I], [&Sum](void* Sender) { Sum += *static_cast<int*>(Sender); }));
    }
    EXPECT_TRUE(Pool.Stop());
    EXPECT_EQ(Sum.load(), 16 * 17 / 2);
    EXPECT_EQ(Pool.WorkCount(), 0);
}

TEST(TWinThreadPool, AThrowingItemIsStillCounted) {
    TWinThreadPool Pool;
    Pool.Start();
    ASSERT_TRUE(Pool.QueueUserWorkItem(nullptr, [](void*) { throw std::runtime_error("x"); }));
    EXPECT_TRUE(Pool.Stop());
    EXPECT_EQ(Pool.WorkCount(), 0);
}

TEST(TWinThreadPool, StopReportsAnItemStillRunningAfterTheTimeout) {
    TGate Gate;
    TWinThreadPool Pool;
    Pool.SetStopTimeout(50);
    Pool.Start();
    ASSERT_TRUE(
        Pool.QueueUserWorkItem(&Gate, [](void* Sender) { static_cast<TGate*>(Sender)->Pass(); }));
    ASSERT_TRUE(Gate.WaitEntered(1));
    EXPECT_FALSE(Pool.Stop());
    Gate.Release();
    EXPECT_TRUE(Pool.WaitWorkItems(10000));
}

TEST(TWinThreadPool, DestroyingWaitsForAnItemThatOutlivedTheStopTimeout) {
    TGate Gate;
    std::atomic<bool> Finished{false};
    auto Pool = std::make_unique<TWinThreadPool>();
    Pool->SetStopTimeout(50);
    Pool->Start();
    ASSERT_TRUE(Pool->QueueUserWorkItem(&Gate, [&Finished](void* Sender) {
        static_cast<TGate*>(Sender)->Pass();
        Finished = true;
    }));
    ASSERT_TRUE(Gate.WaitEntered(1));
    EXPECT_FALSE(Pool->Stop());
    std::atomic<bool> FinishedBeforeFreed{false};
    std::thread Destroyer([&] {
        Pool.reset();
        FinishedBeforeFreed = Finished.load();
    });
    // Only widens the window in which a destructor that did not wait would free the pool.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Gate.Release();
    Destroyer.join();
    EXPECT_TRUE(FinishedBeforeFreed.load());
}

} // namespace
} // namespace pylon
