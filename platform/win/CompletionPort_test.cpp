// CompletionPort tests: packets, time-outs, failed operations, closing, overlapped results,
// association and cancellation.
#include "platform/win/CompletionPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

/// A handle object doing overlapped I/O the way the request queue does: associated with one
/// port, it completes operations there and cancels the pending one on request.
class TFakeFile final : public win::THandleObject {
public:
    bool AssociateCompletionPort(HANDLE Port, ULONG_PTR Key) noexcept override {
        if (FPort != nullptr) {
            return false;
        }
        FPort = Port;
        FKey = Key;
        return true;
    }
    DWORD CancelIo(LPOVERLAPPED Overlapped) noexcept override {
        if (FPending == nullptr || (Overlapped != nullptr && Overlapped != FPending)) {
            return ERROR_NOT_FOUND;
        }
        LPOVERLAPPED Cancelled = FPending;
        FPending = nullptr;
        win::CompleteOverlapped(FPort, FKey, Cancelled, ERROR_OPERATION_ABORTED, 0);
        return ERROR_SUCCESS;
    }
    void Start(LPOVERLAPPED Overlapped) {
        win::BeginOverlapped(Overlapped);
        FPending = Overlapped;
    }
    void Finish(DWORD Status, DWORD Bytes) {
        LPOVERLAPPED Done = FPending;
        FPending = nullptr;
        win::CompleteOverlapped(FPort, FKey, Done, Status, Bytes);
    }
    HANDLE Port() const { return FPort; }
    ULONG_PTR Key() const { return FKey; }

private:
    HANDLE FPort = nullptr;
    ULONG_PTR FKey = 0;
    LPOVERLAPPED FPending = nullptr;
};

HANDLE NewPort() {
    return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 2);
}

// Waits (bounded) until Count threads wait on Port.
bool WaitForWaiters(HANDLE Port, std::size_t Count) {
    const auto Object = win::ReferenceCompletionPort(Port);
    for (int I = 0; I < 10000 && Object; ++I) {
        if (Object->WaitingThreads() >= Count) {
            return true;
        }
        Sleep(1);
    }
    return false;
}

struct TTake {
    BOOL Ok = FALSE;
    DWORD Error = 0;
    ULONG_PTR Key = 0;
};

TTake Take(HANDLE Port, DWORD Milliseconds) {
    TTake Result;
    DWORD Bytes = 0;
    LPOVERLAPPED Overlapped = nullptr;
    Result.Ok = GetQueuedCompletionStatus(Port, &Bytes, &Result.Key, &Overlapped, Milliseconds);
    Result.Error = Result.Ok ? 0 : GetLastError();
    return Result;
}

// A packet that comes from PostQueuedCompletionStatus or from a completed I/O operation.
void Queue(HANDLE Port, bool AsCompletion, ULONG_PTR Key, OVERLAPPED& Overlapped) {
    if (AsCompletion) {
        win::BeginOverlapped(&Overlapped);
        win::CompleteOverlapped(Port, Key, &Overlapped, ERROR_SUCCESS, 1);
    } else {
        PostQueuedCompletionStatus(Port, 1, Key, &Overlapped);
    }
}

} // namespace

TEST(CompletionPort, PostedPacketsComeBackUnchangedInOrder) {
    HANDLE Port = NewPort();
    ASSERT_NE(Port, nullptr);
    OVERLAPPED Overlapped{};
    const auto Sentinel = reinterpret_cast<LPOVERLAPPED>(static_cast<LONG_PTR>(-1));
    ASSERT_TRUE(PostQueuedCompletionStatus(Port, 11, 1, &Overlapped));
    ASSERT_TRUE(PostQueuedCompletionStatus(Port, 22, 2, nullptr));
    ASSERT_TRUE(PostQueuedCompletionStatus(Port, 33, 3, Sentinel));
    struct TExpected {
        DWORD Bytes;
        ULONG_PTR Key;
        LPOVERLAPPED Overlapped;
    };
    for (const TExpected& Expected :
         {TExpected{11, 1, &Overlapped}, TExpected{22, 2, nullptr}, TExpected{33, 3, Sentinel}}) {
        DWORD Bytes = 0;
        ULONG_PTR Key = 0;
        LPOVERLAPPED Got = &Overlapped;
        ASSERT_TRUE(GetQueuedCompletionStatus(Port, &Bytes, &Key, &Got, 0));
        EXPECT_EQ(Bytes, Expected.Bytes);
        EXPECT_EQ(Key, Expected.Key);
        EXPECT_EQ(Got, Expected.Overlapped);
    }
    // Posting never touches the OVERLAPPED.
    EXPECT_EQ(Overlapped.Internal, 0u);
    EXPECT_TRUE(CloseHandle(Port));
}

TEST(CompletionPort, TimeOutGivesFalseWithoutAPacket) {
    HANDLE Port = NewPort();
    for (const DWORD Timeout : {0u, 20u}) {
        SCOPED_TRACE(Timeout);
        DWORD Bytes = 7;
        ULONG_PTR Key = 7;
        OVERLAPPED Dummy{};
        LPOVERLAPPED Got = &Dummy;
        EXPECT_FALSE(GetQueuedCompletionStatus(Port, &Bytes, &Key, &Got, Timeout));
        EXPECT_EQ(Got, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    OVERLAPPED_ENTRY Entries[2];
    ULONG Removed = 9;
    EXPECT_FALSE(GetQueuedCompletionStatusEx(Port, Entries, 2, &Removed, 0, FALSE));
    EXPECT_EQ(Removed, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(Port);
}

TEST(CompletionPort, CompletedOperationsReportTheirStatus) {
    struct TCase {
        const char* Name;
        DWORD Status;
        DWORD Bytes;
    };
    const TCase Cases[] = {
        {"success", ERROR_SUCCESS, 100},      {"aborted", ERROR_OPERATION_ABORTED, 0},
        {"more data", ERROR_MORE_DATA, 4096}, {"connection gone", ERROR_CONNECTION_INVALID, 0},
        {"end of body", ERROR_HANDLE_EOF, 0}, {"unmapped code", ERROR_TIMEOUT, 3},
    };
    HANDLE Port = NewPort();
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        OVERLAPPED Overlapped{};
        win::BeginOverlapped(&Overlapped);
        EXPECT_FALSE(HasOverlappedIoCompleted(&Overlapped));
        win::CompleteOverlapped(Port, 42, &Overlapped, Case.Status, Case.Bytes);
        EXPECT_TRUE(HasOverlappedIoCompleted(&Overlapped));
        DWORD Bytes = 0;
        ULONG_PTR Key = 0;
        LPOVERLAPPED Got = nullptr;
        SetLastError(ERROR_SUCCESS);
        const BOOL Result = GetQueuedCompletionStatus(Port, &Bytes, &Key, &Got, 0);
        EXPECT_EQ(Result != FALSE, Case.Status == ERROR_SUCCESS);
        EXPECT_EQ(GetLastError(), Case.Status);
        EXPECT_EQ(Got, &Overlapped);
        EXPECT_EQ(Key, 42u);
        EXPECT_EQ(Bytes, Case.Bytes);
        SetLastError(ERROR_SUCCESS);
        Bytes = 0;
        EXPECT_EQ(GetOverlappedResult(nullptr, &Overlapped, &Bytes, FALSE) != FALSE,
                  Case.Status == ERROR_SUCCESS);
        EXPECT_EQ(GetLastError(), Case.Status);
        EXPECT_EQ(Bytes, Case.Bytes);
    }
    CloseHandle(Port);
}

TEST(CompletionPort, StatusesRoundTripThroughTheOverlapped) {
    struct TCase {
        DWORD Code;
        std::uint32_t Status; // 0: only the round trip is checked.
    };
    const TCase Cases[] = {
        {ERROR_SUCCESS, 0x00000000u},
        {ERROR_IO_PENDING, 0x00000103u},
        {ERROR_MORE_DATA, 0x80000005u},
        {ERROR_OPERATION_ABORTED, 0xC0000120u},
        {ERROR_INVALID_PARAMETER, 0xC000000Du},
        {ERROR_HANDLE_EOF, 0xC0000011u},
        {ERROR_CONNECTION_INVALID, 0xC000023Au},
        {ERROR_CONNECTION_ABORTED, 0xC0000241u},
        {ERROR_NETNAME_DELETED, 0xC000020Du},
        {ERROR_NOT_FOUND, 0xC0000225u},
        {ERROR_TIMEOUT, 0xC00705B4u},
        {ERROR_ALREADY_EXISTS, 0},
        {ERROR_ACCESS_DENIED, 0},
        {ERROR_NOT_SUPPORTED, 0},
        {ERROR_INVALID_HANDLE, 0},
        {ERROR_NOT_ENOUGH_MEMORY, 0},
        {ERROR_BROKEN_PIPE, 0},
        {12345, 0},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Code);
        const NTSTATUS Status = win::Win32ToNtStatus(Case.Code);
        if (Case.Status != 0 || Case.Code == ERROR_SUCCESS) {
            EXPECT_EQ(static_cast<std::uint32_t>(Status), Case.Status);
        }
        EXPECT_EQ(win::NtStatusToWin32(Status), Case.Code);
    }
    EXPECT_EQ(win::Win32ToNtStatus(ERROR_IO_PENDING), STATUS_PENDING);
    EXPECT_EQ(win::NtStatusToWin32(static_cast<NTSTATUS>(0xC0000001u)), ERROR_INTERNAL_ERROR);
}

TEST(CompletionPort, ClosingThePortReleasesEveryWaiter) {
    HANDLE Port = NewPort();
    constexpr int Waiters = 3;
    struct TResult {
        BOOL Returned = TRUE;
        DWORD Error = 0;
        LPOVERLAPPED Overlapped = nullptr;
    };
    std::vector<TResult> Results(Waiters);
    std::vector<std::thread> Threads;
    for (TResult& Result : Results) {
        Threads.emplace_back([Port, &Result] {
            DWORD Bytes = 0;
            ULONG_PTR Key = 0;
            OVERLAPPED Dummy{};
            Result.Overlapped = &Dummy;
            Result.Returned =
                GetQueuedCompletionStatus(Port, &Bytes, &Key, &Result.Overlapped, 20000);
            Result.Error = GetLastError();
        });
    }
    const bool AllWaiting = WaitForWaiters(Port, Waiters);
    // Queued packets are dropped with the port.
    PostQueuedCompletionStatus(Port, 1, 1, nullptr);
    ASSERT_TRUE(CloseHandle(Port));
    for (std::thread& Thread : Threads) {
        Thread.join();
    }
    ASSERT_TRUE(AllWaiting);
    int Abandoned = 0;
    for (const TResult& Result : Results) {
        EXPECT_EQ(Result.Overlapped, nullptr);
        if (Result.Returned == FALSE && Result.Error == ERROR_ABANDONED_WAIT_0) {
            ++Abandoned;
        } else {
            // The one packet posted before the close may have been taken by a waiter.
            EXPECT_TRUE(Result.Returned);
        }
    }
    EXPECT_GE(Abandoned, Waiters - 1);
    DWORD Bytes;
    ULONG_PTR Key;
    LPOVERLAPPED Got;
    EXPECT_FALSE(GetQueuedCompletionStatus(Port, &Bytes, &Key, &Got, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(PostQueuedCompletionStatus(Port, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(CompletionPort, ExDequeuesSeveralPacketsWithTheirStatuses) {
    HANDLE Port = NewPort();
    OVERLAPPED Failed{};
    for (ULONG_PTR Key = 1; Key <= 4; ++Key) {
        PostQueuedCompletionStatus(Port, static_cast<DWORD>(Key * 10), Key, nullptr);
    }
    win::CompleteOverlapped(Port, 5, &Failed, ERROR_OPERATION_ABORTED, 0);
    OVERLAPPED_ENTRY Entries[3];
    ULONG Removed = 0;
    ASSERT_TRUE(GetQueuedCompletionStatusEx(Port, Entries, 3, &Removed, 0, FALSE));
    ASSERT_EQ(Removed, 3u);
    for (ULONG I = 0; I < 3; ++I) {
        EXPECT_EQ(Entries[I].lpCompletionKey, I + 1);
        EXPECT_EQ(Entries[I].dwNumberOfBytesTransferred, (I + 1) * 10);
        EXPECT_EQ(Entries[I].Internal, 0u);
    }
    ASSERT_TRUE(GetQueuedCompletionStatusEx(Port, Entries, 3, &Removed, INFINITE, FALSE));
    ASSERT_EQ(Removed, 2u);
    EXPECT_EQ(Entries[1].lpOverlapped, &Failed);
    EXPECT_EQ(Entries[1].Internal, 0xC0000120u);
    EXPECT_FALSE(GetQueuedCompletionStatusEx(Port, nullptr, 3, &Removed, 0, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(Port);
}

TEST(CompletionPort, ManyProducersAndConsumersLoseNothing) {
    HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    constexpr int Producers = 4;
    constexpr int Consumers = 4;
    constexpr int PerProducer = 5000;
    const auto Stop = reinterpret_cast<LPOVERLAPPED>(static_cast<LONG_PTR>(-1));
    std::atomic<long long> Sum{0};
    std::atomic<long> Count{0};
    std::vector<std::thread> Threads;
    for (int C = 0; C < Consumers; ++C) {
        Threads.emplace_back([&] {
            for (;;) {
                DWORD Bytes = 0;
                ULONG_PTR Key = 0;
                LPOVERLAPPED Overlapped = nullptr;
                if (!GetQueuedCompletionStatus(Port, &Bytes, &Key, &Overlapped, 20000) ||
                    Overlapped == Stop) {
                    return;
                }
                Sum += static_cast<long long>(Key);
                ++Count;
            }
        });
    }
    std::vector<std::thread> ProducerThreads;
    for (int P = 0; P < Producers; ++P) {
        ProducerThreads.emplace_back([&] {
            for (ULONG_PTR Key = 1; Key <= PerProducer; ++Key) {
                PostQueuedCompletionStatus(Port, 0, Key, nullptr);
            }
        });
    }
    for (std::thread& Thread : ProducerThreads) {
        Thread.join();
    }
    for (int C = 0; C < Consumers; ++C) {
        PostQueuedCompletionStatus(Port, 0, 0, Stop);
    }
    for (std::thread& Thread : Threads) {
        Thread.join();
    }
    EXPECT_EQ(Count.load(), Producers * PerProducer);
    EXPECT_EQ(Sum.load(),
              Producers * (static_cast<long long>(PerProducer) * (PerProducer + 1) / 2));
    CloseHandle(Port);
}

TEST(CreateIoCompletionPort, AssociatesHandlesOnce) {
    auto File = std::make_shared<TFakeFile>();
    HANDLE FileHandle = win::RegisterHandle(File);
    HANDLE Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE Port = NewPort();
    const HANDLE Bogus = reinterpret_cast<HANDLE>(0x7FFFFFF0);
    struct TCase {
        const char* Name;
        HANDLE File;
        HANDLE Existing;
        bool Succeeds;
        DWORD Error;
    };
    const TCase Cases[] = {
        {"unknown handle", Bogus, Port, false, ERROR_INVALID_HANDLE},
        {"no file with an existing port", INVALID_HANDLE_VALUE, Port, false,
         ERROR_INVALID_PARAMETER},
        {"existing port that is no port", FileHandle, Event, false, ERROR_INVALID_PARAMETER},
        {"a handle without overlapped I/O", Event, Port, false, ERROR_INVALID_PARAMETER},
        {"association", FileHandle, Port, true, ERROR_SUCCESS},
        {"second association", FileHandle, Port, false, ERROR_INVALID_PARAMETER},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        SetLastError(ERROR_SUCCESS);
        const HANDLE Result = CreateIoCompletionPort(Case.File, Case.Existing, 77, 0);
        EXPECT_EQ(Result != nullptr, Case.Succeeds);
        if (Case.Succeeds) {
            EXPECT_EQ(Result, Port);
        }
        EXPECT_EQ(GetLastError(), Case.Error);
    }
    EXPECT_EQ(File->Port(), Port);
    EXPECT_EQ(File->Key(), 77u);
    // A handle with no port given gets a new one.
    auto Other = std::make_shared<TFakeFile>();
    HANDLE OtherHandle = win::RegisterHandle(Other);
    HANDLE NewOne = CreateIoCompletionPort(OtherHandle, nullptr, 5, 1);
    ASSERT_NE(NewOne, nullptr);
    EXPECT_NE(NewOne, Port);
    EXPECT_EQ(Other->Port(), NewOne);
    for (HANDLE Handle : {FileHandle, Event, Port, OtherHandle, NewOne}) {
        CloseHandle(Handle);
    }
}

TEST(CancelIoEx, CancelsThePendingOperationThroughItsHandle) {
    auto File = std::make_shared<TFakeFile>();
    HANDLE FileHandle = win::RegisterHandle(File);
    HANDLE Port = CreateIoCompletionPort(FileHandle, nullptr, 9, 1);
    ASSERT_NE(Port, nullptr);
    OVERLAPPED Overlapped{};
    OVERLAPPED Other{};
    File->Start(&Overlapped);
    EXPECT_FALSE(CancelIoEx(FileHandle, &Other));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    ASSERT_TRUE(CancelIoEx(FileHandle, &Overlapped));
    DWORD Bytes = 1;
    ULONG_PTR Key = 0;
    LPOVERLAPPED Got = nullptr;
    EXPECT_FALSE(GetQueuedCompletionStatus(Port, &Bytes, &Key, &Got, 0));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Got, &Overlapped);
    EXPECT_EQ(Key, 9u);
    EXPECT_FALSE(CancelIo(FileHandle));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    HANDLE Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(CancelIoEx(Event, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_FALSE(CancelIoEx(reinterpret_cast<HANDLE>(0x7FFFFFF0), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    for (HANDLE Handle : {FileHandle, Port, Event}) {
        CloseHandle(Handle);
    }
}

TEST(GetOverlappedResult, PendingThenCompletedWithAndWithoutEvent) {
    for (const bool WithEvent : {false, true}) {
        SCOPED_TRACE(WithEvent ? "with event" : "without event");
        auto File = std::make_shared<TFakeFile>(); // Not associated: no packet.
        HANDLE FileHandle = win::RegisterHandle(File);
        OVERLAPPED Overlapped{};
        Overlapped.hEvent = WithEvent ? CreateEventW(nullptr, TRUE, TRUE, nullptr) : nullptr;
        File->Start(&Overlapped);
        if (WithEvent) {
            EXPECT_EQ(WaitForSingleObject(Overlapped.hEvent, 0), WAIT_TIMEOUT);
        }
        DWORD Bytes = 0;
        EXPECT_FALSE(GetOverlappedResult(FileHandle, &Overlapped, &Bytes, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
        EXPECT_FALSE(GetOverlappedResultEx(FileHandle, &Overlapped, &Bytes, 10, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
        std::thread Completer([&] { File->Finish(ERROR_SUCCESS, 512); });
        EXPECT_TRUE(GetOverlappedResult(FileHandle, &Overlapped, &Bytes, TRUE));
        EXPECT_EQ(Bytes, 512u);
        Completer.join();
        if (WithEvent) {
            EXPECT_EQ(WaitForSingleObject(Overlapped.hEvent, 0), WAIT_OBJECT_0);
            CloseHandle(Overlapped.hEvent);
        }
        CloseHandle(FileHandle);
    }
    EXPECT_FALSE(GetOverlappedResult(nullptr, nullptr, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CompleteOverlapped, EventWithLowBitSetSkipsThePort) {
    HANDLE Port = NewPort();
    HANDLE Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(Event) | ULONG_PTR(1));
    win::BeginOverlapped(&Overlapped);
    win::CompleteOverlapped(Port, 1, &Overlapped, ERROR_SUCCESS, 8);
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_OBJECT_0);
    DWORD Bytes;
    ULONG_PTR Key;
    LPOVERLAPPED Got;
    EXPECT_FALSE(GetQueuedCompletionStatus(Port, &Bytes, &Key, &Got, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    // An event without the bit: both the event and the packet.
    Overlapped.hEvent = Event;
    ResetEvent(Event);
    win::CompleteOverlapped(Port, 1, &Overlapped, ERROR_SUCCESS, 8);
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetQueuedCompletionStatus(Port, &Bytes, &Key, &Got, 0));
    // A closed port drops the packet; the OVERLAPPED still gets its result.
    CloseHandle(Port);
    win::CompleteOverlapped(Port, 1, &Overlapped, ERROR_HANDLE_EOF, 0);
    EXPECT_EQ(win::NtStatusToWin32(static_cast<NTSTATUS>(Overlapped.Internal)), ERROR_HANDLE_EOF);
    CloseHandle(Event);
}

TEST(CompletionPort, TheLatestWaiterIsReleasedFirst) {
    HANDLE Port = NewPort();
    std::atomic<ULONG_PTR> FirstGot{0};
    std::atomic<ULONG_PTR> SecondGot{0};
    const auto Waiter = [Port](std::atomic<ULONG_PTR>& Got) {
        return std::thread([Port, &Got] {
            DWORD Bytes = 0;
            ULONG_PTR Key = 0;
            LPOVERLAPPED Overlapped = nullptr;
            if (GetQueuedCompletionStatus(Port, &Bytes, &Key, &Overlapped, 20000)) {
                Got = Key;
            }
        });
    };
    std::thread First = Waiter(FirstGot);
    const bool FirstWaits = WaitForWaiters(Port, 1);
    std::thread Second = Waiter(SecondGot);
    const bool BothWait = WaitForWaiters(Port, 2);
    PostQueuedCompletionStatus(Port, 0, 1, nullptr);
    Second.join();
    const auto Object = win::ReferenceCompletionPort(Port);
    const std::size_t StillWaiting = Object->WaitingThreads();
    PostQueuedCompletionStatus(Port, 0, 2, nullptr);
    First.join();
    EXPECT_TRUE(FirstWaits);
    EXPECT_TRUE(BothWait);
    EXPECT_EQ(SecondGot.load(), 1u);
    EXPECT_EQ(StillWaiting, 1u);
    EXPECT_EQ(FirstGot.load(), 2u);
    CloseHandle(Port);
}

namespace {

// A worker pool written as a Windows program writes one: threads on a port, an interlocked
// counter, a critical section, packets with OVERLAPPED -1 to end the workers.
struct TPool {
    HANDLE Port = nullptr;
    CRITICAL_SECTION Section{};
    volatile LONG Handled = 0;
    LONGLONG Sum = 0; // Guarded by Section.
};

DWORD WINAPI PoolWorker(LPVOID Parameter) {
    auto* Pool = static_cast<TPool*>(Parameter);
    const auto Shutdown = reinterpret_cast<LPOVERLAPPED>(static_cast<LONG_PTR>(-1));
    for (;;) {
        DWORD Bytes = 0;
        ULONG_PTR Key = 0;
        LPOVERLAPPED Overlapped = nullptr;
        if (!GetQueuedCompletionStatus(Pool->Port, &Bytes, &Key, &Overlapped, 10000)) {
            if (Overlapped == nullptr) {
                return GetLastError(); // Time-out or closed port: end with the reason.
            }
            continue;
        }
        if (Overlapped == Shutdown) {
            return 0;
        }
        InterlockedIncrement(&Pool->Handled);
        EnterCriticalSection(&Pool->Section);
        Pool->Sum += static_cast<LONGLONG>(Key) * Bytes;
        LeaveCriticalSection(&Pool->Section);
    }
}

} // namespace

TEST(CompletionPort, WindowsStyleWorkerPool) {
    constexpr int Workers = 4;
    constexpr int Packets = 2000;
    TPool Pool;
    InitializeCriticalSection(&Pool.Section);
    Pool.Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, Workers);
    ASSERT_NE(Pool.Port, nullptr);
    HANDLE Threads[Workers];
    for (HANDLE& Thread : Threads) {
        Thread = CreateThread(nullptr, 0, PoolWorker, &Pool, 0, nullptr);
        ASSERT_NE(Thread, nullptr);
    }
    for (int I = 1; I <= Packets; ++I) {
        ASSERT_TRUE(PostQueuedCompletionStatus(Pool.Port, 2, static_cast<ULONG_PTR>(I), nullptr));
    }
    for (int I = 0; I < Workers; ++I) {
        PostQueuedCompletionStatus(Pool.Port, 0, 0,
                                   reinterpret_cast<LPOVERLAPPED>(static_cast<LONG_PTR>(-1)));
    }
    ASSERT_EQ(WaitForMultipleObjects(Workers, Threads, TRUE, 20000), WAIT_OBJECT_0);
    for (HANDLE Thread : Threads) {
        DWORD Code = 1;
        GetExitCodeThread(Thread, &Code);
        EXPECT_EQ(Code, 0u);
        CloseHandle(Thread);
    }
    EXPECT_EQ(Pool.Handled, Packets);
    EXPECT_EQ(Pool.Sum, static_cast<LONGLONG>(Packets) * (Packets + 1));
    CloseHandle(Pool.Port);
    DeleteCriticalSection(&Pool.Section);
}

// The concurrency value: a packet wakes a waiter only while fewer threads run than it allows;
// the running thread, asking again, takes the packet at once; a thread that ends gives its
// place back.
TEST(CompletionPort, ConcurrencyLimitsTheThreadsWoken) {
    struct TCase {
        DWORD Concurrency;
        bool AsCompletion;
        bool SecondWaiterWoken;
    };
    // The port lets no more threads run than the process has CPUs: give it two, whatever the
    // machine.
    win::SetProcessCpusForTesting(2);
    for (const TCase& Case : {TCase{1, false, false}, TCase{1, true, false}, TCase{2, false, true},
                              TCase{2, true, true}}) {
        SCOPED_TRACE(testing::Message() << Case.Concurrency << " " << Case.AsCompletion);
        HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, Case.Concurrency);
        ASSERT_NE(Port, nullptr);
        const auto Object = win::ReferenceCompletionPort(Port);
        Object->SetWatchPeriod(std::chrono::hours(1));
        OVERLAPPED Packets[3]{};
        Queue(Port, Case.AsCompletion, 1, Packets[0]);
        std::promise<TTake> RunnerFirst;
        std::promise<void> RunnerGo;
        std::promise<TTake> RunnerSecond;
        std::thread Runner([&] {
            RunnerFirst.set_value(Take(Port, 20000));
            RunnerGo.get_future().wait();
            RunnerSecond.set_value(Take(Port, 0));
        });
        EXPECT_EQ(RunnerFirst.get_future().get().Key, 1u);
        EXPECT_EQ(Object->RunningThreads(), 1u);
        TTake WaiterGot;
        std::thread Waiter([&] { WaiterGot = Take(Port, 20000); });
        const bool Waiting = WaitForWaiters(Port, 1);
        Queue(Port, Case.AsCompletion, 2, Packets[1]);
        // The decision is made under the port's lock, within the call.
        EXPECT_EQ(Object->WaitingThreads(), Case.SecondWaiterWoken ? 0u : 1u);
        auto Second = RunnerSecond.get_future();
        if (Case.SecondWaiterWoken) {
            Waiter.join();
            EXPECT_EQ(WaiterGot.Key, 2u);
            RunnerGo.set_value();
            const TTake Got = Second.get();
            EXPECT_FALSE(Got.Ok);
            EXPECT_EQ(Got.Error, static_cast<DWORD>(WAIT_TIMEOUT));
            Runner.join();
        } else {
            RunnerGo.set_value();
            EXPECT_EQ(Second.get().Key, 2u);
            Runner.join(); // The ended runner gives its place to the waiter.
            Queue(Port, Case.AsCompletion, 3, Packets[2]);
            Waiter.join();
            EXPECT_EQ(WaiterGot.Key, 3u);
        }
        EXPECT_TRUE(Waiting);
        EXPECT_EQ(Object->RunningThreads(), 0u);
        CloseHandle(Port);
    }
    win::SetProcessCpusForTesting(0);
}

// A port never lets more threads run than the process has CPUs, whatever its concurrency
// value: with one CPU, a second packet waits for the running thread instead of waking another.
TEST(CompletionPort, NoMoreRunningThreadsThanCpus) {
    win::SetProcessCpusForTesting(1);
    HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 32);
    ASSERT_NE(Port, nullptr);
    const auto Object = win::ReferenceCompletionPort(Port);
    Object->SetWatchPeriod(std::chrono::hours(1));
    PostQueuedCompletionStatus(Port, 0, 1, nullptr);
    EXPECT_EQ(Take(Port, 0).Key, 1u); // this thread runs on the port now
    TTake WaiterGot;
    std::thread Waiter([&] { WaiterGot = Take(Port, 20000); });
    const bool Waiting = WaitForWaiters(Port, 1);
    PostQueuedCompletionStatus(Port, 0, 2, nullptr);
    EXPECT_EQ(Object->WaitingThreads(), 1u); // not woken
    EXPECT_EQ(Take(Port, 0).Key, 2u);        // the running thread takes it
    CloseHandle(Port);
    Waiter.join();
    win::SetProcessCpusForTesting(0);
    EXPECT_TRUE(Waiting);
    EXPECT_FALSE(WaiterGot.Ok);
    EXPECT_EQ(WaiterGot.Error, static_cast<DWORD>(ERROR_ABANDONED_WAIT_0));
}

// A running thread busy on a CPU keeps its place: time-outs end as time-outs and a new thread
// does not jump the limit. Once it blocks (Windows would stop counting it), a waiter takes the
// packet after a watch period.
TEST(CompletionPort, ABlockedRunningThreadDoesNotStallThePort) {
    HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(Port, nullptr);
    PostQueuedCompletionStatus(Port, 0, 1, nullptr);
    std::promise<TTake> Took;
    std::atomic<bool> Spin{true};
    std::promise<void> Unblock;
    std::thread Runner([&] {
        Took.set_value(Take(Port, 20000));
        while (Spin.load()) {
            // On a CPU (or ready for one) while counted as running.
        }
        Unblock.get_future().wait(); // Blocked while counted as running.
    });
    EXPECT_EQ(Took.get_future().get().Key, 1u);
    PostQueuedCompletionStatus(Port, 0, 2, nullptr);
    for (const DWORD Timeout : {0u, 5u}) {
        const TTake Got = Take(Port, Timeout);
        EXPECT_FALSE(Got.Ok);
        EXPECT_EQ(Got.Error, static_cast<DWORD>(WAIT_TIMEOUT));
    }
    Spin = false;
    EXPECT_EQ(Take(Port, 20000).Key, 2u);
    Unblock.set_value();
    Runner.join();
    // Both ended their running: the next packet goes at once.
    PostQueuedCompletionStatus(Port, 0, 3, nullptr);
    EXPECT_EQ(Take(Port, 0).Key, 3u);
    CloseHandle(Port);
}

// Closing wakes every waiter, at the limit too.
TEST(CompletionPort, ClosingAPortAtItsLimitReleasesItsWaiters) {
    HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(Port, nullptr);
    PostQueuedCompletionStatus(Port, 0, 1, nullptr);
    EXPECT_EQ(Take(Port, 0).Key, 1u); // This thread runs now: the port is at its limit.
    std::vector<TTake> Results(2);
    std::vector<std::thread> Threads;
    for (TTake& Result : Results) {
        Threads.emplace_back([Port, &Result] { Result = Take(Port, INFINITE); });
    }
    const bool AllWaiting = WaitForWaiters(Port, Results.size());
    CloseHandle(Port);
    for (std::thread& Thread : Threads) {
        Thread.join();
    }
    EXPECT_TRUE(AllWaiting);
    for (const TTake& Result : Results) {
        EXPECT_FALSE(Result.Ok);
        EXPECT_EQ(Result.Error, static_cast<DWORD>(ERROR_ABANDONED_WAIT_0));
    }
}
