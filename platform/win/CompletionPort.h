// CompletionPort: I/O completion ports and the completion of overlapped operations.
#pragma once

#include "platform/win/Handles.h"

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
/// (or are on their way with a wake-up) than the concurrency value, and a thread asking while
/// the port is at its limit waits too; a running thread that asks again takes the next packet
/// at once. Windows also stops counting a running thread while it blocks; the kernel does not
/// tell us, so the latest waiter watches a port at its limit: when packets stayed queued for
/// the watch period (DefaultWatchPeriod) and no thread took any, it looks at the running
/// threads' states and stops counting those that wait for something (a lock, I/O, a sleep),
/// as Windows would have. A blocked handler thus delays the port by that period at most and
/// never stalls it; a thread busy on a CPU keeps its place, as on Windows. A pool whose
/// concurrency is at least its thread count never reaches the limit and never watches.
class TCompletionPort final : public THandleObject,
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
    DWORD Concurrency() const noexcept { return FConcurrency; }
    /// Threads waiting in Dequeue now (lets tests know a waiter has really started waiting).
    std::size_t WaitingThreads() noexcept {
        std::scoped_lock Lock(FLock);
        return FWaiters.size();
    }
    /// Lets tests see the limit at work without a waiter stepping in meanwhile.
    void SetWatchPeriod(std::chrono::milliseconds Period) noexcept {
        std::scoped_lock Lock(FLock);
        FWatchPeriod = Period;
    }
    /// Threads counted as running on this port now, woken ones on their way included.
    std::size_t RunningThreads() noexcept {
        std::scoped_lock Lock(FLock);
        return FRunners.size() + FWoken;
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
        bool Watching = false;              // Guarded by the port's FLock.
        // The port this thread runs on (took packets from and has not asked again); only the
        // thread itself touches these. The weak reference tells a live port from a new one
        // made at a dead one's address, and lets the thread's end give its place back.
        TCompletionPort* RunningOn = nullptr;
        std::weak_ptr<TCompletionPort> RunningPort;
        bool Uncounted = false; // Guarded by RunningOn's FLock. Seen blocked while running.
        pid_t Tid = 0;          // The thread's id, for a look at its state.
        /// Sleeps until released, or until Deadline when Timed; true when released.
        bool Sleep(bool Timed, std::chrono::steady_clock::time_point Deadline) noexcept;
        void Release() noexcept;
    };

    // Packets live in a ring that only grows: no allocation per packet.
    void PushLocked(const OVERLAPPED_ENTRY& Packet);
    // Takes the most recent waiter off the list, signalled and counted in FWoken (LIFO, as
    // Windows does: its cache is the warmest); the caller notifies it once the lock is
    // released, so that the woken thread does not at once block on the lock its waker still
    // holds. Null when none waits.
    TWaiter* TakeWaiterLocked() noexcept;
    // After queuing: the waiter to wake, if the limit lets one run; else, when the latest
    // waiter sleeps without watching, that one, not signalled, to go back to sleep watching.
    TWaiter* WaiterForQueuedLocked() noexcept;
    bool BelowLimitLocked() const noexcept { return FRunners.size() + FWoken < FConcurrency; }
    // Ends Waiter's thread's running on whatever port it ran on.
    static void StopRunning(TWaiter& Waiter) noexcept;
    void LeaveRunning(TWaiter& Waiter) noexcept;
    void StopRunningLocked(TWaiter& Waiter) noexcept;
    // Stops counting the running threads that wait for something (a lock, I/O, a sleep).
    void UncountBlockedLocked() noexcept;
    // This thread's waiter; null when memory runs out.
    static TWaiter* ThisThreadWaiter() noexcept;

    const DWORD FConcurrency;
    std::mutex FLock;
    std::vector<TWaiter*> FRunners; // Guarded by FLock. Threads counted as running.
    std::size_t FWoken = 0;         // Guarded by FLock. Released, not yet back.
    std::chrono::milliseconds FWatchPeriod = DefaultWatchPeriod; // Guarded by FLock.
    std::uint64_t FTaken = 0;            // Guarded by FLock. Takes so far (progress).
    std::vector<OVERLAPPED_ENTRY> FRing; // Guarded by FLock.
    std::size_t FHead = 0;               // Guarded by FLock. Index of the oldest packet.
    std::size_t FCount = 0;              // Guarded by FLock.
    std::vector<TWaiter*> FWaiters;      // Guarded by FLock. Waiting threads, latest last.
    bool FClosed = false;                // Guarded by FLock.
};

} // namespace win
