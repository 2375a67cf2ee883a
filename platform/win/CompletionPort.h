// CompletionPort: I/O completion ports and the completion of overlapped operations.
#pragma once

#include "platform/win/Handles.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace win {

/// A queue of completion packets with threads waiting on it. Owned by the handle table and by
/// whoever references it; used from any thread.
class TCompletionPort final : public THandleObject {
public:
    explicit TCompletionPort(DWORD Concurrency) : FConcurrency(Concurrency) {}
    /// Queues a packet; false (the packet dropped) once the port is closed or when memory runs
    /// out (ERROR_NOT_ENOUGH_MEMORY set).
    bool Post(const OVERLAPPED_ENTRY& Packet) noexcept;
    /// Takes 1 to Count packets, waiting up to Milliseconds for the first. Returns how many, or
    /// 0 with WAIT_TIMEOUT or ERROR_ABANDONED_WAIT_0 (closed during or before the wait) set.
    ULONG Dequeue(OVERLAPPED_ENTRY* Entries, ULONG Count, DWORD Milliseconds) noexcept;
    /// Wakes every waiter with ERROR_ABANDONED_WAIT_0 and drops the queued packets.
    void Close() noexcept override;
    DWORD Concurrency() const noexcept { return FConcurrency; }
    /// Threads waiting in Dequeue now (lets tests know a waiter has really started waiting).
    std::size_t WaitingThreads() noexcept {
        std::scoped_lock Lock(FLock);
        return FWaiters.size();
    }

private:
    /// A thread blocked in Dequeue; one per thread (a thread waits on one port at a time).
    /// It sleeps on its own futex word, outside the port's lock: a woken thread then takes the
    /// lock as an ordinary one (a condition variable would hand it over as contended and cost
    /// its waker another system call). Never freed (recycled when its thread ends): a waker
    /// may release it after the waiter has already left, which the next owner takes as a
    /// spurious wake-up.
    struct TWaiter {
        std::atomic<std::uint32_t> Wake{0}; // 0 idle, 1 released, 2 asleep (a futex word)
        bool Signalled = false;             // Guarded by the port's FLock.
        /// Sleeps until released, or until Deadline when Timed; true when released.
        bool Sleep(bool Timed, std::chrono::steady_clock::time_point Deadline) noexcept;
        void Release() noexcept;
    };

    // Packets live in a ring that only grows: no allocation per packet.
    void PushLocked(const OVERLAPPED_ENTRY& Packet);
    // Takes the most recent waiter off the list, signalled (LIFO, as Windows does: its cache
    // is the warmest); the caller notifies it once the lock is released, so that the woken
    // thread does not at once block on the lock its waker still holds. Null when none waits.
    TWaiter* TakeWaiterLocked() noexcept;
    // This thread's waiter; null when memory runs out.
    static TWaiter* ThisThreadWaiter() noexcept;

    const DWORD FConcurrency; // Kept for completeness; every worker may run at once here.
    std::mutex FLock;
    std::vector<OVERLAPPED_ENTRY> FRing; // Guarded by FLock.
    std::size_t FHead = 0;               // Guarded by FLock. Index of the oldest packet.
    std::size_t FCount = 0;              // Guarded by FLock.
    std::vector<TWaiter*> FWaiters;      // Guarded by FLock. Waiting threads, latest last.
    bool FClosed = false;                // Guarded by FLock.
};

} // namespace win
