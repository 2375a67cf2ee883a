// CompletionPort: I/O completion ports and the completion of overlapped operations.
#pragma once

#include "platform/win/Handles.h"
#include "platform/win/Scheduler.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <vector>

namespace win {

/// A queue of completion packets with threads waiting on it. Owned by the handle table and by
/// whoever references it (always through a shared_ptr); used from any thread.
///
/// Concurrency as on Windows: a thread that took packets from the port counts as running there
/// until it asks the port again (or ends). A packet wakes a waiter only while fewer threads run
/// (or are on their way with a wake-up) than the port allows, and a thread asking while the port
/// is at its limit waits too; a running thread that asks again takes the next packet at once.
/// The port allows its concurrency value, but never more threads than the process has CPUs:
/// more could not run at once, and each would cost a wake-up. A running thread stops counting
/// while it blocks in a platform wait (an event, a lock, a sleep, a send waiting for its
/// client), as on Windows. The kernel does not tell us when it blocks elsewhere, so the service
/// thread watches a port at its limit: when packets stayed queued for the watch period
/// (DefaultWatchPeriod) and no thread took any, it looks at the running threads' states and
/// stops counting those that wait for something, as Windows would have. A blocked handler thus
/// delays the port by about that period at most and never stalls it; a thread busy on a CPU
/// keeps its place, as on Windows.
class TCompletionPort final : public THandleObject,
                              public TWatchedQueue,
                              public std::enable_shared_from_this<TCompletionPort> {
public:
    static constexpr std::chrono::milliseconds DefaultWatchPeriod{2};

    explicit TCompletionPort(DWORD Concurrency) : FConcurrency(Concurrency) {}
    /// Queues a packet; false (the packet dropped) once the port is closed or when memory runs
    /// out (ERROR_NOT_ENOUGH_MEMORY set).
    bool Post(const OVERLAPPED_ENTRY& Packet) noexcept;
    /// Takes 1 to Count packets, waiting up to Milliseconds for the first. Returns how many, or
    /// 0 with WAIT_TIMEOUT or ERROR_ABANDONED_WAIT_0 (closed during or before the wait) set.
    /// The calling thread then counts as running on this port.
    ULONG Dequeue(OVERLAPPED_ENTRY* Entries, ULONG Count, DWORD Milliseconds) noexcept;
    /// Wakes every waiter with ERROR_ABANDONED_WAIT_0 and drops the queued packets.
    void Close() noexcept override;
    /// Service thread: the watch of a port at its limit.
    bool Watch(std::chrono::steady_clock::time_point Now) noexcept override;
    DWORD Concurrency() const noexcept { return FConcurrency; }
    /// Threads waiting in Dequeue now (lets tests know a waiter has really started waiting).
    std::size_t WaitingThreads() noexcept {
        std::scoped_lock Lock(FLock);
        return FWaiters.size();
    }
    /// Lets tests see the limit at work without the watch stepping in meanwhile.
    void SetWatchPeriod(std::chrono::milliseconds Period) noexcept {
        std::scoped_lock Lock(FLock);
        FWatchPeriod = Period;
    }
    /// Threads counted as running on this port now, woken ones on their way included.
    std::size_t RunningThreads() noexcept {
        std::scoped_lock Lock(FLock);
        return FRunners.size() + FWoken;
    }

    /// This thread's record as a waiter and runner of ports.
    struct TWaiter;

private:
    friend class TPortRunningCounter;

    // Packets live in a ring that only grows: no allocation per packet.
    void PushLocked(const OVERLAPPED_ENTRY& Packet);
    // Takes the most recent waiter off the list, signalled and counted in FWoken (LIFO, as
    // Windows does: its cache is the warmest); the caller wakes it once the lock is released,
    // so that the woken thread does not at once block on the lock its waker still holds. Null
    // when none waits, or when the limit lets no further thread run.
    TWaiter* WaiterForQueuedLocked() noexcept;
    bool BelowLimitLocked() const noexcept;
    // Ends Waiter's thread's running on whatever port it ran on.
    static void StopRunning(TWaiter& Waiter) noexcept;
    void LeaveRunning(TWaiter& Waiter) noexcept;
    void StopRunningLocked(TWaiter& Waiter) noexcept;
    // The running thread Waiter blocks in a platform wait / runs again.
    void BlockRunning(TWaiter& Waiter) noexcept;
    void ResumeRunning(TWaiter& Waiter) noexcept;
    // Stops counting the running threads that wait for something (a lock, I/O, a sleep).
    void UncountBlockedLocked() noexcept;
    // This thread's waiter; null when memory runs out.
    static TWaiter* ThisThreadWaiter() noexcept;

    const DWORD FConcurrency;
    std::mutex FLock;
    std::vector<TWaiter*> FRunners; // Guarded by FLock. Threads counted as running.
    std::size_t FWoken = 0;         // Guarded by FLock. Released, not yet back.
    std::chrono::milliseconds FWatchPeriod = DefaultWatchPeriod; // Guarded by FLock.
    std::uint64_t FTaken = 0;      // Guarded by FLock. Takes so far (progress).
    std::uint64_t FWatchTaken = 0; // Guarded by FLock. FTaken when the watch began.
    std::chrono::steady_clock::time_point FWatchSince; // Guarded by FLock. Zero: not watching.
    std::vector<OVERLAPPED_ENTRY> FRing;               // Guarded by FLock.
    std::size_t FHead = 0;          // Guarded by FLock. Index of the oldest packet.
    std::size_t FCount = 0;         // Guarded by FLock.
    std::vector<TWaiter*> FWaiters; // Guarded by FLock. Waiting threads, latest last.
    bool FClosed = false;           // Guarded by FLock.
};

} // namespace win
