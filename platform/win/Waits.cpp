// Waits: waitable objects (events, threads) and the waits on one or several of them.
#include "platform/win/Waits.h"

#include "platform/win/Scheduler.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <optional>

namespace win {

struct TWaiter {
    std::condition_variable Wake;
};

namespace {

TWaiter& ThisThreadWaiter() noexcept {
    thread_local TWaiter Waiter;
    return Waiter;
}

DWORD FailWait(DWORD Code) noexcept {
    SetLastError(Code);
    return WAIT_FAILED;
}

// Takes the objects of a satisfied wait; returns its result, or nothing while not satisfied.
// Called under DispatcherLock().
std::optional<DWORD> TrySatisfy(const std::shared_ptr<TWaitableObject>* Objects, DWORD Count,
                                bool All) noexcept {
    if (All) {
        for (DWORD I = 0; I < Count; ++I) {
            if (!Objects[I]->IsSignalled()) {
                return std::nullopt;
            }
        }
        for (DWORD I = 0; I < Count; ++I) {
            Objects[I]->Acquire();
        }
        return WAIT_OBJECT_0;
    }
    for (DWORD I = 0; I < Count; ++I) {
        if (Objects[I]->IsSignalled()) {
            Objects[I]->Acquire();
            return WAIT_OBJECT_0 + I;
        }
    }
    return std::nullopt;
}

DWORD Wait(DWORD Count, const HANDLE* Handles, bool All, DWORD Milliseconds) noexcept {
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || Handles == nullptr) {
        return FailWait(ERROR_INVALID_PARAMETER);
    }
    std::array<std::shared_ptr<TWaitableObject>, MAXIMUM_WAIT_OBJECTS> Objects;
    for (DWORD I = 0; I < Count; ++I) {
        Objects[I] = ReferenceHandleAs<TWaitableObject>(Handles[I]);
        if (!Objects[I]) {
            return FailWait(ERROR_INVALID_HANDLE);
        }
        // Waiting for all of one object twice could never be satisfied atomically.
        if (All &&
            std::find(Objects.begin(), Objects.begin() + I, Objects[I]) != Objects.begin() + I) {
            return FailWait(ERROR_INVALID_PARAMETER);
        }
    }
    const auto Deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
    TWaiter& Waiter = ThisThreadWaiter();
    // The thread blocks from the first wait on: it stops counting as running on its queue.
    std::optional<TBlockingScope> Blocking;
    std::unique_lock Lock(DispatcherLock());
    bool Registered = false;
    std::optional<DWORD> Result;
    try {
        for (;;) {
            Result = TrySatisfy(Objects.data(), Count, All);
            if (Result || Milliseconds == 0) {
                break;
            }
            if (!Blocking) {
                Lock.unlock(); // the scope takes the queue's lock, never under this one
                Blocking.emplace();
                Lock.lock();
                continue;
            }
            if (!Registered) {
                for (DWORD I = 0; I < Count; ++I) {
                    Objects[I]->AddWaiter(&Waiter);
                }
                Registered = true;
            }
            if (Milliseconds == INFINITE) {
                Waiter.Wake.wait(Lock);
            } else if (Waiter.Wake.wait_until(Lock, Deadline) == std::cv_status::timeout) {
                Result = TrySatisfy(Objects.data(), Count, All);
                break;
            }
        }
    } catch (...) {
        // Only the registration can fail (out of memory): report it, not a time-out.
        for (DWORD I = 0; I < Count; ++I) {
            Objects[I]->RemoveWaiter(&Waiter);
        }
        return FailWait(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (Registered) {
        for (DWORD I = 0; I < Count; ++I) {
            Objects[I]->RemoveWaiter(&Waiter);
        }
    }
    return Result ? *Result : WAIT_TIMEOUT;
}

} // namespace

std::mutex& DispatcherLock() noexcept {
    // Never destroyed: detached threads may still signal objects while the process exits.
    static auto* Lock = new std::mutex;
    return *Lock;
}

void TWaitableObject::AddWaiter(TWaiter* Waiter) {
    FWaiters.push_back(Waiter);
}

void TWaitableObject::RemoveWaiter(TWaiter* Waiter) noexcept {
    FWaiters.erase(std::remove(FWaiters.begin(), FWaiters.end(), Waiter), FWaiters.end());
}

void TWaitableObject::WakeWaiters() noexcept {
    for (TWaiter* Waiter : FWaiters) {
        Waiter->Wake.notify_one();
    }
}

void TEvent::Set() noexcept {
    std::scoped_lock Lock(DispatcherLock());
    FSignalled = true;
    // Every waiter re-checks: for an auto-reset event the first to run takes it, the others
    // go back to waiting.
    WakeWaiters();
}

void TEvent::Reset() noexcept {
    std::scoped_lock Lock(DispatcherLock());
    FSignalled = false;
}

void TEvent::Acquire() noexcept {
    if (!FManualReset) {
        FSignalled = false;
    }
}

bool SignalEvent(HANDLE Event) noexcept {
    const std::shared_ptr<TEvent> Object = ReferenceHandleAs<TEvent>(Event);
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    Object->Set();
    return true;
}

} // namespace win

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName) noexcept {
    if (lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    try {
        HANDLE Handle = win::RegisterHandle(
            std::make_shared<win::TEvent>(bManualReset != FALSE, bInitialState != FALSE));
        if (Handle == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        SetLastError(ERROR_SUCCESS);
        return Handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) noexcept {
    if (lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent) noexcept {
    return win::SignalEvent(hEvent) ? TRUE : FALSE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) noexcept {
    const std::shared_ptr<win::TEvent> Object = win::ReferenceHandleAs<win::TEvent>(hEvent);
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Object->Reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) noexcept {
    return win::Wait(1, &hHandle, false, dwMilliseconds);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds,
                                   BOOL /*bAlertable*/) noexcept {
    return win::Wait(1, &hHandle, false, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) noexcept {
    return win::Wait(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                      DWORD dwMilliseconds, BOOL /*bAlertable*/) noexcept {
    return win::Wait(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}

} // extern "C"
