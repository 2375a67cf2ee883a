// Waits tests: events, and waits on one or several events and threads.
#include "platform/win/Waits.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

/// Closes a handle when the test leaves, whatever happens.
class THandleGuard {
public:
    explicit THandleGuard(HANDLE Handle) : FHandle(Handle) {}
    THandleGuard(const THandleGuard&) = delete;
    THandleGuard& operator=(const THandleGuard&) = delete;
    ~THandleGuard() {
        if (FHandle != nullptr) {
            CloseHandle(FHandle);
        }
    }
    HANDLE Get() const { return FHandle; }

private:
    HANDLE FHandle;
};

DWORD WINAPI WaitOnEvent(LPVOID Parameter) {
    // The thread's result is the wait's result.
    return WaitForSingleObject(static_cast<HANDLE>(Parameter), 10000);
}

} // namespace

TEST(Events, InitialStateAndResetMode) {
    struct TCase {
        const char* Name;
        BOOL ManualReset;
        BOOL Initial;
        DWORD FirstWait;
        DWORD SecondWait;
    };
    const TCase Cases[] = {
        {"manual, signalled", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {"manual, not signalled", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {"auto, signalled", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {"auto, not signalled", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        THandleGuard Event(CreateEventW(nullptr, Case.ManualReset, Case.Initial, nullptr));
        ASSERT_NE(Event.Get(), nullptr);
        EXPECT_EQ(WaitForSingleObject(Event.Get(), 0), Case.FirstWait);
        EXPECT_EQ(WaitForSingleObject(Event.Get(), 0), Case.SecondWait);
        ASSERT_TRUE(SetEvent(Event.Get()));
        EXPECT_EQ(WaitForSingleObject(Event.Get(), 0), WAIT_OBJECT_0);
        ASSERT_TRUE(ResetEvent(Event.Get()));
        EXPECT_EQ(WaitForSingleObject(Event.Get(), 0), WAIT_TIMEOUT);
    }
}

TEST(Events, TimedWaitOnAnUnsignalledEventTimesOut) {
    THandleGuard Event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(WaitForSingleObject(Event.Get(), 20), WAIT_TIMEOUT);
    const HANDLE Handles[] = {Event.Get()};
    EXPECT_EQ(WaitForMultipleObjects(1, Handles, TRUE, 20), WAIT_TIMEOUT);
}

TEST(Events, NamedEventsAndBadHandlesAreRefused) {
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Global\\Name"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Name"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    const HANDLE Bogus = reinterpret_cast<HANDLE>(0x7FFFFFF0);
    EXPECT_FALSE(SetEvent(Bogus));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(Bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE Event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(Event));
    EXPECT_EQ(WaitForSingleObject(Event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(Event));
}

TEST(WaitForMultipleObjects, AnyReturnsTheLowestSignalledIndex) {
    THandleGuard A(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    THandleGuard B(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    THandleGuard C(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE Handles[] = {A.Get(), B.Get(), C.Get()};
    EXPECT_EQ(WaitForMultipleObjects(3, Handles, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(C.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, Handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    SetEvent(B.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, Handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    // B is auto-reset: taken by the wait above.
    EXPECT_EQ(WaitForMultipleObjects(3, Handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    SetEvent(A.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, Handles, FALSE, INFINITE), WAIT_OBJECT_0);
}

TEST(WaitForMultipleObjects, AllTakesNothingUntilEveryObjectIsSignalled) {
    THandleGuard Manual(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    THandleGuard Auto(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    const HANDLE Handles[] = {Manual.Get(), Auto.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, TRUE, 0), WAIT_TIMEOUT);
    // The unsatisfied wait for all left the auto-reset event signalled.
    EXPECT_EQ(WaitForSingleObject(Auto.Get(), 0), WAIT_OBJECT_0);
    SetEvent(Auto.Get());
    SetEvent(Manual.Get());
    EXPECT_EQ(WaitForMultipleObjects(2, Handles, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Auto.Get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(Manual.Get(), 0), WAIT_OBJECT_0);
}

TEST(WaitForMultipleObjects, BadArgumentsFail) {
    THandleGuard Event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    HANDLE Many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& Handle : Many) {
        Handle = Event.Get();
    }
    struct TCase {
        const char* Name;
        DWORD Count;
        const HANDLE* Handles;
        BOOL All;
        DWORD Result;
        DWORD Error;
    };
    const TCase Cases[] = {
        {"no handles", 0, Many, FALSE, WAIT_FAILED, ERROR_INVALID_PARAMETER},
        {"too many handles", MAXIMUM_WAIT_OBJECTS + 1, Many, FALSE, WAIT_FAILED,
         ERROR_INVALID_PARAMETER},
        {"null array", 1, nullptr, FALSE, WAIT_FAILED, ERROR_INVALID_PARAMETER},
        {"duplicate in a wait for all", 2, Many, TRUE, WAIT_FAILED, ERROR_INVALID_PARAMETER},
        {"duplicate in a wait for any", 2, Many, FALSE, WAIT_OBJECT_0, ERROR_SUCCESS},
        {"the maximum", MAXIMUM_WAIT_OBJECTS, Many, FALSE, WAIT_OBJECT_0, ERROR_SUCCESS},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForMultipleObjects(Case.Count, Case.Handles, Case.All, 0), Case.Result);
        EXPECT_EQ(GetLastError(), Case.Error);
    }
}

TEST(Events, SetWakesAThreadWaitingWithoutLimit) {
    THandleGuard Event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    THandleGuard Thread(CreateThread(nullptr, 0, WaitOnEvent, Event.Get(), 0, nullptr));
    ASSERT_NE(Thread.Get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(Thread.Get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(Event.Get()));
    ASSERT_EQ(WaitForSingleObject(Thread.Get(), 10000), WAIT_OBJECT_0);
    DWORD Result = 0;
    ASSERT_TRUE(GetExitCodeThread(Thread.Get(), &Result));
    EXPECT_EQ(Result, WAIT_OBJECT_0);
}

TEST(Events, AutoResetReleasesOneWaiterPerSet) {
    THandleGuard Event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    THandleGuard First(CreateThread(nullptr, 0, WaitOnEvent, Event.Get(), 0, nullptr));
    THandleGuard Second(CreateThread(nullptr, 0, WaitOnEvent, Event.Get(), 0, nullptr));
    const HANDLE Threads[] = {First.Get(), Second.Get()};
    ASSERT_TRUE(SetEvent(Event.Get()));
    const DWORD Ended = WaitForMultipleObjects(2, Threads, FALSE, 10000);
    ASSERT_LT(Ended, WAIT_OBJECT_0 + 2);
    // Whichever came first took the event; the other still waits for it.
    const HANDLE Other = Threads[1 - (Ended - WAIT_OBJECT_0)];
    EXPECT_EQ(WaitForSingleObject(Other, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(Event.Get()));
    ASSERT_EQ(WaitForMultipleObjects(2, Threads, TRUE, 10000), WAIT_OBJECT_0);
    for (HANDLE Thread : Threads) {
        DWORD Result = 0;
        ASSERT_TRUE(GetExitCodeThread(Thread, &Result));
        EXPECT_EQ(Result, WAIT_OBJECT_0);
    }
    EXPECT_EQ(WaitForSingleObject(Event.Get(), 0), WAIT_TIMEOUT);
}

TEST(Events, ManySettersAndWaitersNeverLoseASignal) {
    // Each of the waiter threads takes Rounds signals of one auto-reset event; the setters
    // make exactly as many. Every Set is preceded by a wait for a free slot, so none is lost.
    constexpr int Waiters = 4;
    constexpr int Rounds = 500;
    THandleGuard Ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    THandleGuard Free(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    struct TContext {
        HANDLE Ready;
        HANDLE Free;
        std::atomic<int> Taken{0};
    } Context{Ready.Get(), Free.Get()};
    const auto Waiter = [](LPVOID Parameter) -> DWORD {
        auto* Shared = static_cast<TContext*>(Parameter);
        for (int I = 0; I < Rounds; ++I) {
            if (WaitForSingleObject(Shared->Ready, 10000) != WAIT_OBJECT_0) {
                return 1;
            }
            ++Shared->Taken;
            SetEvent(Shared->Free);
        }
        return 0;
    };
    HANDLE Threads[Waiters];
    for (HANDLE& Thread : Threads) {
        Thread = CreateThread(nullptr, 0, Waiter, &Context, 0, nullptr);
        ASSERT_NE(Thread, nullptr);
    }
    bool Failed = false;
    for (int I = 0; I < Waiters * Rounds && !Failed; ++I) {
        Failed = WaitForSingleObject(Free.Get(), 10000) != WAIT_OBJECT_0;
        SetEvent(Ready.Get());
    }
    EXPECT_FALSE(Failed);
    EXPECT_EQ(WaitForMultipleObjects(Waiters, Threads, TRUE, 10000), WAIT_OBJECT_0);
    for (HANDLE Thread : Threads) {
        DWORD Result = 1;
        GetExitCodeThread(Thread, &Result);
        EXPECT_EQ(Result, 0u);
        CloseHandle(Thread);
    }
    EXPECT_EQ(Context.Taken.load(), Waiters * Rounds);
}
