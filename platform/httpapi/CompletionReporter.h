// CompletionReporter: reports an object's overlapped completions in order, outside its lock.
#pragma once

#include "platform/httpapi/PendingIo.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace httpapi {

/// The completions an object (a connection) makes under its own lock, reported once the lock
/// is released: a thread woken by one must not find the lock still held by its waker. They
/// leave in the order they were made: one thread reports at a time, and one that finds another
/// reporting leaves its own to it (lock-free hand-over) instead of waiting. A call that must
/// not return before its own completion is out (an overlapped call that finished at once, as
/// on Windows) waits for it with WaitReported.
///
/// Add and Pending are called under the owner's lock (the one UnlockAndReport releases);
/// WaitReported without it. Any threads.
class TCompletionReporter {
public:
    /// Under the owner's lock: queues a completion; returns its number (1, 2, ...).
    std::uint64_t Add(const TPendingIo& Io, DWORD Status, DWORD Bytes) noexcept;
    /// Under the owner's lock: whether completions wait to be reported.
    bool Pending() const noexcept { return !FQueued.empty(); }
    /// Releases Lock (held), then reports what is queued; the thread that reports also reports
    /// what others queue meanwhile, so nothing is left behind.
    void UnlockAndReport(std::unique_lock<std::mutex>& Lock) noexcept;
    /// Returns once completions 1 to Number have been reported (at once in the usual case: this
    /// thread reported them itself).
    void WaitReported(std::uint64_t Number) noexcept;

private:
    struct TCompletion {
        TPendingIo Io;
        DWORD Status;
        DWORD Bytes;
    };
    static constexpr int Idle = 0;
    static constexpr int Reporting = 1;
    static constexpr int MoreToReport = 2;

    std::vector<TCompletion> FQueued;        // Guarded by the owner's lock. Made, not reported.
    std::uint64_t FMade = 0;                 // Guarded by the owner's lock. Queued, ever.
    std::atomic<int> FState{Idle};           // whether a thread reports, and whether more came
    std::atomic<std::uint64_t> FReported{0}; // of those made, reported
    std::atomic<int> FWaiters{0};            // calls waiting in WaitReported
};

} // namespace httpapi
