// MainThread: the program's main-thread call queue.
#include "platform/rtl/MainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(MainThread, QueuedCallsRunInOrderOnlyWhenTheMainThreadChecks) {
    ASSERT_TRUE(rtl::IsMainThread());
    std::vector<int> Order;
    std::thread Worker([&] {
        rtl::QueueToMainThread([&] { Order.push_back(1); });
        rtl::QueueToMainThread([&] { Order.push_back(2); });
    });
    Worker.join();
    EXPECT_TRUE(Order.empty());
    EXPECT_TRUE(rtl::CheckSynchronize());
    EXPECT_EQ(Order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(rtl::CheckSynchronize());
}

TEST(MainThread, SynchronizeWaitsForTheMainThreadAndRethrows) {
    std::atomic<bool> Ran{false};
    std::atomic<bool> Threw{false};
    std::thread Worker([&] {
        rtl::SynchronizeWithMainThread([&] { Ran = rtl::IsMainThread(); });
        try {
            rtl::SynchronizeWithMainThread([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error&) {
            Threw = true;
        }
    });
    // Each CheckSynchronize waits at most 100 ms; the loop is bounded.
    for (int I = 0; I < 1000 && !Threw; ++I) {
        rtl::CheckSynchronize(100ms);
    }
    Worker.join();
    EXPECT_TRUE(Ran);
    EXPECT_TRUE(Threw);
}

TEST(MainThread, SynchronizeOnTheMainThreadRunsInline) {
    bool Ran = false;
    rtl::SynchronizeWithMainThread([&] { Ran = true; });
    EXPECT_TRUE(Ran);
}

TEST(MainThread, BoundedSynchronizeGivesUpAndWithdrawsTheCall) {
    std::atomic<bool> Ran{false};
    bool Result = true;
    std::thread Worker([&] { Result = rtl::SynchronizeWithMainThread([&] { Ran = true; }, 10ms); });
    Worker.join();
    EXPECT_FALSE(Result);
    rtl::CheckSynchronize();
    EXPECT_FALSE(Ran);
}

TEST(MainThread, CheckSynchronizeOutsideTheMainThreadThrows) {
    bool Threw = false;
    std::thread Worker([&] {
        try {
            rtl::CheckSynchronize();
        } catch (const std::logic_error&) {
            Threw = true;
        }
    });
    Worker.join();
    EXPECT_TRUE(Threw);
}
