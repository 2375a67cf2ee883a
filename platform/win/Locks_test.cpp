// Locks tests: critical sections and slim reader/writer locks, alone and under contention.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>
#include <windows.h>

namespace {

// Runs Body on another thread and returns its result (the test's "other thread" probe).
template <class TBody>
auto OnOtherThread(TBody Body) {
    decltype(Body()) Result{};
    std::thread([&] { Result = Body(); }).join();
    return Result;
}

/// Joins the threads it is given when the test leaves, after setting Stop.
class TThreadGroup {
public:
    explicit TThreadGroup(std::atomic<bool>& Stop) : FStop(Stop) {}
    TThreadGroup(const TThreadGroup&) = delete;
    TThreadGroup& operator=(const TThreadGroup&) = delete;
    ~TThreadGroup() { JoinAll(); }
    template <class TBody>
    void Start(TBody Body) {
        FThreads.emplace_back(Body);
    }
    void JoinAll() {
        FStop = true;
        for (std::thread& Thread : FThreads) {
            if (Thread.joinable()) {
                Thread.join();
            }
        }
    }

private:
    std::atomic<bool>& FStop;
    std::vector<std::thread> FThreads;
};

} // namespace

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
    CRITICAL_SECTION Section;
    InitializeCriticalSection(&Section);
    EnterCriticalSection(&Section);
    EnterCriticalSection(&Section);
    EXPECT_TRUE(TryEnterCriticalSection(&Section));
    EXPECT_EQ(Section.RecursionCount, 3);
    EXPECT_FALSE(OnOtherThread([&] { return TryEnterCriticalSection(&Section) != FALSE; }));
    LeaveCriticalSection(&Section);
    LeaveCriticalSection(&Section);
    EXPECT_FALSE(OnOtherThread([&] { return TryEnterCriticalSection(&Section) != FALSE; }));
    LeaveCriticalSection(&Section);
    EXPECT_TRUE(OnOtherThread([&] {
        const bool Entered = TryEnterCriticalSection(&Section) != FALSE;
        if (Entered) {
            LeaveCriticalSection(&Section);
        }
        return Entered;
    }));
    DeleteCriticalSection(&Section);
}

TEST(CriticalSection, SerialisesConcurrentUpdates) {
    for (const DWORD SpinCount : {0u, 4000u}) {
        SCOPED_TRACE(SpinCount);
        CRITICAL_SECTION Section;
        ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&Section, SpinCount));
        constexpr int Threads = 4;
        constexpr int Rounds = 20000;
        long Counter = 0; // Plain on purpose: only the lock protects it.
        std::vector<std::thread> Workers;
        for (int T = 0; T < Threads; ++T) {
            Workers.emplace_back([&] {
                for (int I = 0; I < Rounds; ++I) {
                    EnterCriticalSection(&Section);
                    EnterCriticalSection(&Section);
                    ++Counter;
                    LeaveCriticalSection(&Section);
                    LeaveCriticalSection(&Section);
                }
            });
        }
        for (std::thread& Worker : Workers) {
            Worker.join();
        }
        EXPECT_EQ(Counter, Threads * Rounds);
        DeleteCriticalSection(&Section);
    }
}

TEST(SRWLock, IsOnePointerAndStartsFree) {
    static_assert(sizeof(SRWLOCK) == sizeof(void*));
    SRWLOCK Lock = SRWLOCK_INIT;
    EXPECT_TRUE(TryAcquireSRWLockExclusive(&Lock));
    ReleaseSRWLockExclusive(&Lock);
    InitializeSRWLock(&Lock);
    EXPECT_EQ(Lock.Ptr, nullptr);
}

TEST(SRWLock, SharedAdmitsReadersAndExclusiveAdmitsOne) {
    SRWLOCK Lock;
    InitializeSRWLock(&Lock);
    const auto TryShared = [&] {
        return OnOtherThread([&] {
            const bool Got = TryAcquireSRWLockShared(&Lock) != FALSE;
            if (Got) {
                ReleaseSRWLockShared(&Lock);
            }
            return Got;
        });
    };
    const auto TryExclusive = [&] {
        return OnOtherThread([&] {
            const bool Got = TryAcquireSRWLockExclusive(&Lock) != FALSE;
            if (Got) {
                ReleaseSRWLockExclusive(&Lock);
            }
            return Got;
        });
    };
    AcquireSRWLockShared(&Lock);
    EXPECT_TRUE(TryAcquireSRWLockShared(&Lock));
    EXPECT_TRUE(TryShared());
    EXPECT_FALSE(TryExclusive());
    ReleaseSRWLockShared(&Lock);
    EXPECT_FALSE(TryExclusive());
    ReleaseSRWLockShared(&Lock);
    EXPECT_TRUE(TryExclusive());
    AcquireSRWLockExclusive(&Lock);
    EXPECT_FALSE(TryShared());
    EXPECT_FALSE(TryExclusive());
    EXPECT_FALSE(TryAcquireSRWLockExclusive(&Lock)); // Not re-entrant.
    ReleaseSRWLockExclusive(&Lock);
    EXPECT_TRUE(TryShared());
    EXPECT_TRUE(TryExclusive());
}

TEST(SRWLock, ReadersSeeOnlyWholeUpdates) {
    // Writers keep two fields equal under the exclusive lock; readers check them under the
    // shared lock. Any overlap of a writer with anyone shows as a difference or a lost count.
    SRWLOCK Lock = SRWLOCK_INIT;
    long First = 0;
    long Second = 0;
    std::atomic<bool> Stop{false};
    std::atomic<long> Torn{0};
    std::atomic<long> Reads{0};
    constexpr int Writers = 2;
    constexpr int Rounds = 20000;
    {
        TThreadGroup Readers(Stop);
        for (int R = 0; R < 3; ++R) {
            Readers.Start([&] {
                while (!Stop) {
                    AcquireSRWLockShared(&Lock);
                    if (First != Second) {
                        ++Torn;
                    }
                    ReleaseSRWLockShared(&Lock);
                    ++Reads;
                }
            });
        }
        std::vector<std::thread> WriterThreads;
        for (int W = 0; W < Writers; ++W) {
            WriterThreads.emplace_back([&] {
                for (int I = 0; I < Rounds; ++I) {
                    AcquireSRWLockExclusive(&Lock);
                    ++First;
                    ++Second;
                    ReleaseSRWLockExclusive(&Lock);
                }
            });
        }
        for (std::thread& Writer : WriterThreads) {
            Writer.join();
        }
    }
    EXPECT_EQ(Torn.load(), 0);
    EXPECT_EQ(First, Writers * Rounds);
    EXPECT_EQ(Second, Writers * Rounds);
    EXPECT_GT(Reads.load(), 0);
}

TEST(SRWLock, AWaitingWriterIsNotStarvedByOverlappingReaders) {
    // The readers overlap so that there is always one holding the lock; the writer only gets
    // in because new readers wait while a writer does. The writer runs on a thread with a
    // bounded wait, so starvation fails the test instead of hanging it.
    SRWLOCK Lock = SRWLOCK_INIT;
    std::atomic<bool> Stop{false};
    TThreadGroup Readers(Stop);
    for (int R = 0; R < 4; ++R) {
        Readers.Start([&] {
            while (!Stop) {
                AcquireSRWLockShared(&Lock);
                SwitchToThread();
                ReleaseSRWLockShared(&Lock);
            }
        });
    }
    struct TWriter {
        SRWLOCK* Lock;
    } Writer{&Lock};
    HANDLE Thread = CreateThread(
        nullptr, 0,
        [](LPVOID Parameter) -> DWORD {
            auto* Context = static_cast<TWriter*>(Parameter);
            for (int I = 0; I < 200; ++I) {
                AcquireSRWLockExclusive(Context->Lock);
                ReleaseSRWLockExclusive(Context->Lock);
            }
            return 0;
        },
        &Writer, 0, nullptr);
    ASSERT_NE(Thread, nullptr);
    const DWORD Result = WaitForSingleObject(Thread, 20000);
    Readers.JoinAll();
    EXPECT_EQ(Result, WAIT_OBJECT_0);
    // After a failure the writer still finishes once the readers are gone.
    EXPECT_EQ(WaitForSingleObject(Thread, 20000), WAIT_OBJECT_0);
    CloseHandle(Thread);
}

TEST(Interlocked, ThirtyTwoAndSixtyFourBitOperations) {
    volatile LONG Value = 5;
    EXPECT_EQ(InterlockedIncrement(&Value), 6);
    EXPECT_EQ(InterlockedDecrement(&Value), 5);
    EXPECT_EQ(InterlockedExchange(&Value, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&Value, 3), 9);
    EXPECT_EQ(InterlockedAdd(&Value, 1), 13);
    EXPECT_EQ(InterlockedCompareExchange(&Value, 100, 12), 13); // No match: unchanged.
    EXPECT_EQ(Value, 13);
    EXPECT_EQ(InterlockedCompareExchange(&Value, 100, 13), 13);
    EXPECT_EQ(Value, 100);
    EXPECT_EQ(InterlockedAnd(&Value, 0x0F), 100);
    EXPECT_EQ(InterlockedOr(&Value, 0x10), 4);
    EXPECT_EQ(InterlockedXor(&Value, 0x14), 0x14);
    EXPECT_EQ(Value, 0);
    volatile LONGLONG Wide = 0x100000000LL;
    EXPECT_EQ(InterlockedIncrement64(&Wide), 0x100000001LL);
    EXPECT_EQ(InterlockedDecrement64(&Wide), 0x100000000LL);
    EXPECT_EQ(InterlockedExchange64(&Wide, 7), 0x100000000LL);
    EXPECT_EQ(InterlockedExchangeAdd64(&Wide, 0x100000000LL), 7);
    EXPECT_EQ(InterlockedAdd64(&Wide, 1), 0x100000008LL);
    EXPECT_EQ(InterlockedCompareExchange64(&Wide, 1, 0x100000008LL), 0x100000008LL);
    EXPECT_EQ(Wide, 1);
    int Target = 0;
    PVOID volatile Pointer = nullptr;
    EXPECT_EQ(InterlockedCompareExchangePointer(&Pointer, &Target, nullptr), nullptr);
    EXPECT_EQ(InterlockedExchangePointer(&Pointer, nullptr), &Target);
    volatile LONG Counter = 0;
    std::vector<std::thread> Threads;
    for (int T = 0; T < 4; ++T) {
        Threads.emplace_back([&] {
            for (int I = 0; I < 10000; ++I) {
                InterlockedIncrement(&Counter);
            }
        });
    }
    for (std::thread& Thread : Threads) {
        Thread.join();
    }
    MemoryBarrier();
    EXPECT_EQ(Counter, 40000);
}
