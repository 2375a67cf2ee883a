// Threads tests: thread creation, suspension, exit codes, ids, sleeping and the clocks.
#include <gtest/gtest.h>

#include <atomic>
#include <windows.h>

namespace {

struct TThreadContext {
    HANDLE Go; // Signalled when the thread may end.
    std::atomic<bool> Started{false};
    std::atomic<DWORD> SeenId{0};
};

DWORD WINAPI RecordAndWait(LPVOID Parameter) {
    auto* Context = static_cast<TThreadContext*>(Parameter);
    Context->SeenId = GetCurrentThreadId();
    Context->Started = true;
    if (WaitForSingleObject(Context->Go, 10000) != WAIT_OBJECT_0) {
        return 99;
    }
    return 1234;
}

} // namespace

TEST(CreateThread, RunsTheRoutineAndKeepsItsExitCode) {
    TThreadContext Context;
    Context.Go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD Id = 0;
    HANDLE Thread = CreateThread(nullptr, 0, RecordAndWait, &Context, 0, &Id);
    ASSERT_NE(Thread, nullptr);
    EXPECT_NE(Id, 0u);
    EXPECT_EQ(GetThreadId(Thread), Id);
    DWORD Code = 0;
    ASSERT_TRUE(GetExitCodeThread(Thread, &Code));
    EXPECT_EQ(Code, static_cast<DWORD>(STILL_ACTIVE));
    SetEvent(Context.Go);
    ASSERT_EQ(WaitForSingleObject(Thread, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(Thread, &Code));
    EXPECT_EQ(Code, 1234u);
    EXPECT_EQ(Context.SeenId.load(), Id);
    EXPECT_NE(Id, GetCurrentThreadId());
    // An ended thread's handle stays signalled.
    EXPECT_EQ(WaitForSingleObject(Thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(Thread));
    EXPECT_TRUE(CloseHandle(Context.Go));
}

TEST(CreateThread, SuspendedThreadStartsOnResume) {
    TThreadContext Context;
    Context.Go = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE Thread = CreateThread(nullptr, 0, RecordAndWait, &Context, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(Thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(Thread, 20), WAIT_TIMEOUT);
    EXPECT_FALSE(Context.Started.load());
    EXPECT_EQ(ResumeThread(Thread), 1u);
    ASSERT_EQ(WaitForSingleObject(Thread, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(Context.Started.load());
    EXPECT_EQ(ResumeThread(Thread), 0u);
    CloseHandle(Thread);
    CloseHandle(Context.Go);
}

TEST(CreateThread, ClosingTheHandleLeavesTheThreadRunning) {
    TThreadContext Context;
    Context.Go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE Done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct TPair {
        TThreadContext* Context;
        HANDLE Done;
    } Pair{&Context, Done};
    HANDLE Thread = CreateThread(
        nullptr, 0,
        [](LPVOID Parameter) -> DWORD {
            auto* Both = static_cast<TPair*>(Parameter);
            const DWORD Result = RecordAndWait(Both->Context);
            SetEvent(Both->Done);
            return Result;
        },
        &Pair, 0, nullptr);
    ASSERT_NE(Thread, nullptr);
    ASSERT_TRUE(CloseHandle(Thread));
    SetEvent(Context.Go);
    EXPECT_EQ(WaitForSingleObject(Done, 10000), WAIT_OBJECT_0);
    CloseHandle(Done);
    CloseHandle(Context.Go);
}

TEST(CreateThread, BadArgumentsFail) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateThread(nullptr, 0, RecordAndWait, nullptr, 0x1000, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const HANDLE Bogus = reinterpret_cast<HANDLE>(0x7FFFFFF0);
    DWORD Code = 0;
    EXPECT_FALSE(GetExitCodeThread(Bogus, &Code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ResumeThread(Bogus), static_cast<DWORD>(-1));
    EXPECT_EQ(GetThreadId(Bogus), 0u);
    // An event is no thread.
    HANDLE Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(GetExitCodeThread(Event, &Code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(Event);
}

TEST(Threads, PseudoHandlesAndIds) {
    EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)));
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
    EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    EXPECT_NE(GetCurrentProcessId(), 0u);
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Clocks, TickCountsAndPerformanceCounterMoveForward) {
    const ULONGLONG Before = GetTickCount64();
    LARGE_INTEGER CounterBefore{}, CounterAfter{}, Frequency{};
    ASSERT_TRUE(QueryPerformanceCounter(&CounterBefore));
    Sleep(20);
    const ULONGLONG After = GetTickCount64();
    ASSERT_TRUE(QueryPerformanceCounter(&CounterAfter));
    ASSERT_TRUE(QueryPerformanceFrequency(&Frequency));
    // Sleep never returns early, so these are lower bounds only.
    EXPECT_GE(After - Before, 20u);
    ASSERT_GT(Frequency.QuadPart, 0);
    EXPECT_GE((CounterAfter.QuadPart - CounterBefore.QuadPart) * 1000 / Frequency.QuadPart, 20);
    const DWORD Wide = static_cast<DWORD>(GetTickCount64());
    EXPECT_LE(GetTickCount() - Wide, 1000u); // The same clock, truncated to 32 bits.
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
    Sleep(0);
    EXPECT_TRUE(SwitchToThread());
    EXPECT_EQ(SleepEx(1, FALSE), 0u);
}
