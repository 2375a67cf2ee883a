#include "platform/httpapi/Reactor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace httpapi {
namespace {

// Allocations of the clients below that are still held (the object and, with it, the shared
// owners' count block).
int LiveAllocations = 0;

template <typename T>
struct TCountingAllocator {
    using value_type = T;
    TCountingAllocator() = default;
    template <typename U>
    TCountingAllocator(const TCountingAllocator<U>&) noexcept {}
    T* allocate(std::size_t Count) {
        ++LiveAllocations;
        return std::allocator<T>().allocate(Count);
    }
    void deallocate(T* Pointer, std::size_t Count) noexcept {
        --LiveAllocations;
        std::allocator<T>().deallocate(Pointer, Count);
    }
    template <typename U>
    bool operator==(const TCountingAllocator<U>&) const noexcept {
        return true;
    }
};

// Records the ticks it gets, in order, across all clients of a test.
struct TTickLog {
    std::vector<std::pair<int, std::int64_t>> Ticks; // client's number, the tick's time
};

class TFakeClient final : public TReactorClient {
public:
    TFakeClient(int Number, TTickLog* Log) : FNumber(Number), FLog(Log) {}
    void OnEvents(std::uint32_t) noexcept override {}
    void OnTick(std::int64_t NowMs) noexcept override {
        if (FLog != nullptr) {
            FLog->Ticks.emplace_back(FNumber, NowMs);
        }
    }
    void OnStop() noexcept override {}

private:
    int FNumber;
    TTickLog* FLog;
};


TEST(ReactorTimers, OneTimePerClientTheEarliestAskedFor) {
    TReactor Reactor;
    win::RemovePollSource(&Reactor); // the test ticks it, no other thread
    TTickLog Log;
    const auto A = std::make_shared<TFakeClient>(1, &Log);
    const auto B = std::make_shared<TFakeClient>(2, &Log);
    Reactor.Schedule(A, 1'000);
    Reactor.Schedule(A, 5'000); // later than the pending one: the pending one stays
    Reactor.Schedule(B, 3'000);
    Reactor.Schedule(B, 2'000); // earlier: replaces it

    EXPECT_EQ(Reactor.Tick(500), 1'000);
    EXPECT_TRUE(Log.Ticks.empty());
    EXPECT_EQ(Reactor.Tick(2'500), -1);
    EXPECT_EQ(Log.Ticks, (std::vector<std::pair<int, std::int64_t>>{{1, 2'500}, {2, 2'500}}));
    EXPECT_EQ(Reactor.Tick(10'000), -1); // each time ticks once
    EXPECT_EQ(Log.Ticks.size(), 2u);
}

// A client that closes leaves no trace in the timers: its memory goes with its last owner,
// not when the time-out it had asked for (minutes away) would have come.
TEST(ReactorTimers, RemoveReleasesTheClientAtOnce) {
    TReactor Reactor;
    win::RemovePollSource(&Reactor); // the test ticks it, no other thread
    {
        const auto Client =
            std::allocate_shared<TFakeClient>(TCountingAllocator<TFakeClient>(), 1, nullptr);
        Reactor.Schedule(Client, MonotonicMs() + 120'000);
        EXPECT_EQ(LiveAllocations, 1);
        Reactor.Remove(Client.get());
    }
    EXPECT_EQ(LiveAllocations, 0);
}

// Many clients asking for times, moving them earlier and leaving, against a model.
TEST(ReactorTimers, TicksComeInTimeOrderThroughRandomChurn) {
    TReactor Reactor;
    win::RemovePollSource(&Reactor); // the test ticks it, no other thread
    TTickLog Log;
    std::mt19937 Random(20261211);
    constexpr int ClientCount = 300;
    std::vector<std::shared_ptr<TFakeClient>> Clients;
    for (int I = 0; I < ClientCount; ++I) {
        Clients.push_back(std::make_shared<TFakeClient>(I, &Log));
    }
    std::map<int, std::int64_t> Pending; // client -> its time
    std::int64_t Now = 0;
    for (int Round = 0; Round < 50; ++Round) {
        for (int Step = 0; Step < 40; ++Step) {
            const int I = int(Random() % ClientCount);
            if (Random() % 5 == 0) {
                Reactor.Remove(Clients[I].get());
                Pending.erase(I);
                continue;
            }
            const std::int64_t Due = Now + 1 + std::int64_t(Random() % 1'000);
            Reactor.Schedule(Clients[I], Due);
            const auto It = Pending.find(I);
            if (It == Pending.end() || Due < It->second) {
                Pending[I] = Due;
            }
        }
        Now += 100;
        Log.Ticks.clear();
        const std::int64_t Next = Reactor.Tick(Now);

        std::vector<int> Expected;
        std::int64_t ExpectedNext = -1;
        for (auto It = Pending.begin(); It != Pending.end();) {
            if (It->second <= Now) {
                Expected.push_back(It->first);
                It = Pending.erase(It);
            } else {
                ExpectedNext = ExpectedNext < 0 ? It->second : std::min(ExpectedNext, It->second);
                ++It;
            }
        }
        std::vector<int> Ticked;
        for (const auto& [Number, At] : Log.Ticks) {
            Ticked.push_back(Number);
        }
        std::sort(Ticked.begin(), Ticked.end());
        ASSERT_EQ(Ticked, Expected) << "round " << Round;
        ASSERT_EQ(Next, ExpectedNext) << "round " << Round;
    }
}

} // namespace
} // namespace httpapi
