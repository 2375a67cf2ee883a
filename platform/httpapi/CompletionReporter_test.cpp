// CompletionReporter tests: order across threads, and a finished call's wait for its own.
#include "platform/httpapi/CompletionReporter.h"

#include "platform/win/CompletionPort.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

using httpapi::TCompletionReporter;
using httpapi::TPendingIo;

/// An owner as a connection is one: a lock, under which completions are made, released by the
/// reporter. Every completion goes to one port with its number as the byte count.
struct TOwner {
    std::mutex Lock;
    TCompletionReporter Reporter;
    std::shared_ptr<win::TCompletionPort> Port = std::make_shared<win::TCompletionPort>(64);
    std::uint32_t Next = 0; // Guarded by Lock.

    std::uint64_t CompleteOne(OVERLAPPED& Overlapped) {
        std::unique_lock Guard(Lock);
        win::BeginOverlapped(&Overlapped);
        const std::uint64_t Number =
            Reporter.Add(TPendingIo{&Overlapped, {Port, 0}}, NO_ERROR, Next++);
        Reporter.UnlockAndReport(Guard);
        return Number;
    }
};

} // namespace

// Four threads make completions under the lock and report them after it: the port receives
// them in the order they were made, each once.
TEST(TCompletionReporter, ReportsInTheOrderMadeAcrossThreads) {
    TOwner Owner;
    constexpr int Threads = 4;
    constexpr int Each = 5000;
    std::vector<std::thread> Makers;
    std::vector<std::vector<OVERLAPPED>> Overlapped(Threads, std::vector<OVERLAPPED>(Each));
    for (int T = 0; T < Threads; ++T) {
        Makers.emplace_back([&, T] {
            for (OVERLAPPED& One : Overlapped[T]) {
                Owner.CompleteOne(One);
            }
        });
    }
    for (std::thread& Maker : Makers) {
        Maker.join();
    }
    std::vector<OVERLAPPED_ENTRY> Packets(Threads * Each);
    ULONG Taken = 0;
    while (Taken < Packets.size()) {
        const ULONG Got = Owner.Port->Dequeue(Packets.data() + Taken,
                                              static_cast<ULONG>(Packets.size() - Taken), 0);
        ASSERT_GT(Got, 0u) << "only " << Taken << " packets";
        Taken += Got;
    }
    for (ULONG I = 0; I < Taken; ++I) {
        ASSERT_EQ(Packets[I].dwNumberOfBytesTransferred, I);
    }
}

// A call that finished at once returns only when its own completion is out, even while
// another thread is still reporting earlier ones (then it is that thread that reports it).
TEST(TCompletionReporter, WaitReportedReturnsOnlyOnceTheCompletionIsOut) {
    TOwner Owner;
    constexpr int Rounds = 2000;
    std::vector<OVERLAPPED> Background(Rounds * 4);
    std::thread Busy([&] {
        for (OVERLAPPED& One : Background) {
            Owner.CompleteOne(One);
        }
    });
    for (int Round = 0; Round < Rounds; ++Round) {
        OVERLAPPED Mine{};
        const std::uint64_t Number = Owner.CompleteOne(Mine);
        Owner.Reporter.WaitReported(Number);
        ASSERT_NE(static_cast<NTSTATUS>(Mine.Internal), STATUS_PENDING) << "round " << Round;
    }
    Busy.join();
}
