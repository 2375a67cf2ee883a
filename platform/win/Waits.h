// Waits: waitable objects (events, threads) and the waits on one or several of them.
//
// Every waitable object's state is guarded by one process-wide dispatcher lock, as in the
// Windows kernel: a wait for several objects checks and takes all of them atomically. A waiting
// thread registers its own condition variable with each object it waits on; signalling an object
// wakes exactly its registered waiters.
#pragma once

#include "platform/win/Handles.h"

#include <mutex>
#include <vector>

namespace win {

/// The per-thread record of a wait in progress (one per thread, reused by every wait).
struct TWaiter;

/// The lock guarding every waitable object's state.
std::mutex& DispatcherLock() noexcept;

/// An object a WaitFor... call can wait on. Used from any thread; state changes happen under
/// DispatcherLock().
class TWaitableObject : public THandleObject {
public:
    /// True when a wait on the object would be satisfied now. Called under DispatcherLock().
    virtual bool IsSignalled() const noexcept = 0;
    /// Called under DispatcherLock() when a wait is satisfied by the object (auto-reset events
    /// reset themselves here).
    virtual void Acquire() noexcept {}

    /// Registration of a waiting thread, under DispatcherLock().
    void AddWaiter(TWaiter* Waiter);
    void RemoveWaiter(TWaiter* Waiter) noexcept;

protected:
    /// Wakes every registered waiter; call under DispatcherLock() after becoming signalled.
    void WakeWaiters() noexcept;

private:
    std::vector<TWaiter*> FWaiters; // Guarded by DispatcherLock().
};

/// An event: manual reset (stays signalled until reset) or auto reset (the one wait it
/// satisfies resets it).
class TEvent final : public TWaitableObject {
public:
    TEvent(bool ManualReset, bool Signalled) : FManualReset(ManualReset), FSignalled(Signalled) {}
    void Set() noexcept;
    void Reset() noexcept;
    bool IsSignalled() const noexcept override { return FSignalled; }
    void Acquire() noexcept override;

private:
    const bool FManualReset;
    bool FSignalled; // Guarded by DispatcherLock().
};

/// Sets the event behind a handle: false (ERROR_INVALID_HANDLE) when it is no event.
bool SignalEvent(HANDLE Event) noexcept;

} // namespace win
