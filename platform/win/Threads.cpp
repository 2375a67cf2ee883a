// Threads: CreateThread and the thread handle, thread ids, Sleep and the clocks.
#include "platform/win/Scheduler.h"
#include "platform/win/Waits.h"

#include <condition_variable>
#include <ctime>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace win {

namespace {

/// A thread's handle object: signalled once its routine has returned. Shared by the handle
/// table and the running thread, so closing the handle early changes nothing for the thread.
class TThread final : public TWaitableObject {
public:
    TThread(LPTHREAD_START_ROUTINE Routine, LPVOID Parameter, bool Suspended)
        : FRoutine(Routine)
        , FParameter(Parameter)
        , FSuspended(Suspended) {}

    bool IsSignalled() const noexcept override { return FEnded; }

    /// The thread body: waits until resumed, runs the routine, then signals the handle.
    void Run() noexcept {
        FId = GetCurrentThreadId();
        {
            std::unique_lock Lock(DispatcherLock());
            FIdKnown = true;
            FStateChanged.notify_all();
            FStateChanged.wait(Lock, [this] { return !FSuspended; });
        }
        // A C++ exception cannot cross the C routine; one that does ends the process, as an
        // unhandled exception in a Windows thread does.
        const DWORD ExitCode = FRoutine(FParameter);
        std::scoped_lock Lock(DispatcherLock());
        FExitCode = ExitCode;
        FEnded = true;
        WakeWaiters();
    }

    /// Waits until the new thread has published its id.
    DWORD Id() noexcept {
        std::unique_lock Lock(DispatcherLock());
        FStateChanged.wait(Lock, [this] { return FIdKnown; });
        return FId;
    }

    DWORD Resume() noexcept {
        std::scoped_lock Lock(DispatcherLock());
        const DWORD Previous = FSuspended ? 1 : 0;
        FSuspended = false;
        FStateChanged.notify_all();
        return Previous;
    }

    DWORD ExitCode() noexcept {
        std::scoped_lock Lock(DispatcherLock());
        return FEnded ? FExitCode : static_cast<DWORD>(STILL_ACTIVE);
    }

private:
    const LPTHREAD_START_ROUTINE FRoutine;
    const LPVOID FParameter;
    std::condition_variable FStateChanged; // Waited on under DispatcherLock().
    bool FSuspended;                       // Guarded by DispatcherLock().
    bool FIdKnown = false;                 // Guarded by DispatcherLock().
    bool FEnded = false;                   // Guarded by DispatcherLock().
    DWORD FId = 0;                         // Guarded by DispatcherLock().
    DWORD FExitCode = 0;                   // Guarded by DispatcherLock().
};

ULONGLONG MonotonicNanoseconds() noexcept {
    timespec Now{};
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return static_cast<ULONGLONG>(Now.tv_sec) * 1000000000u + static_cast<ULONGLONG>(Now.tv_nsec);
}

} // namespace

} // namespace win

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, SIZE_T /*dwStackSize*/,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) noexcept {
    if (lpStartAddress == nullptr ||
        (dwCreationFlags & ~(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        auto Thread = std::make_shared<win::TThread>(lpStartAddress, lpParameter,
                                                     (dwCreationFlags & CREATE_SUSPENDED) != 0);
        HANDLE Handle = win::RegisterHandle(Thread);
        if (Handle == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        try {
            // Detached: the handle, not a join, tells when it has ended.
            std::thread([Thread] { Thread->Run(); }).detach();
        } catch (...) {
            win::UnregisterHandle(Handle);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (lpThreadId != nullptr) {
            *lpThreadId = Thread->Id();
        }
        return Handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

DWORD WINAPI ResumeThread(HANDLE hThread) noexcept {
    const auto Thread = win::ReferenceHandleAs<win::TThread>(hThread);
    if (!Thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    return Thread->Resume();
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) noexcept {
    const auto Thread = win::ReferenceHandleAs<win::TThread>(hThread);
    if (!Thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpExitCode = Thread->ExitCode();
    return TRUE;
}

DWORD WINAPI GetThreadId(HANDLE Thread) noexcept {
    if (Thread == GetCurrentThread()) {
        return GetCurrentThreadId();
    }
    const auto Object = win::ReferenceHandleAs<win::TThread>(Thread);
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return Object->Id();
}

DWORD WINAPI GetCurrentThreadId() noexcept {
    thread_local const DWORD Id = static_cast<DWORD>(gettid());
    return Id;
}

DWORD WINAPI GetCurrentProcessId() noexcept {
    return static_cast<DWORD>(getpid());
}

HANDLE WINAPI GetCurrentThread() noexcept {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

HANDLE WINAPI GetCurrentProcess() noexcept {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

void WINAPI Sleep(DWORD dwMilliseconds) noexcept {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    const win::TBlockingScope Blocking; // the thread blocks: it stops counting on its queue
    if (dwMilliseconds == INFINITE) {
        for (;;) {
            pause();
        }
    }
    timespec Remaining{static_cast<time_t>(dwMilliseconds / 1000),
                       static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&Remaining, &Remaining) != 0) {
        // Interrupted by a signal: sleep the rest.
    }
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL /*bAlertable*/) noexcept {
    Sleep(dwMilliseconds);
    return 0;
}

BOOL WINAPI SwitchToThread() noexcept {
    sched_yield();
    return TRUE;
}

DWORD WINAPI GetTickCount() noexcept {
    return static_cast<DWORD>(GetTickCount64());
}

ULONGLONG WINAPI GetTickCount64() noexcept {
    return win::MonotonicNanoseconds() / 1000000u;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) noexcept {
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(win::MonotonicNanoseconds());
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) noexcept {
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpFrequency->QuadPart = 1000000000; // The counter counts nanoseconds.
    return TRUE;
}

} // extern "C"
