// CompletionReporter: reports an object's overlapped completions in order, outside its lock.
#include "platform/httpapi/CompletionReporter.h"

namespace httpapi {

std::uint64_t TCompletionReporter::Add(const TPendingIo& Io, DWORD Status, DWORD Bytes) noexcept {
    try {
        FQueued.push_back({Io, Status, Bytes});
    } catch (...) {
        // Out of memory: reported at once, under the lock, and not numbered (a wait for it
        // waits for the ones before it).
        Io.Complete(Status, Bytes);
        return FMade;
    }
    return ++FMade;
}

void TCompletionReporter::WaitReported(std::uint64_t Number) noexcept {
    if (FReported.load() >= Number) {
        return; // The usual case: this thread reported it itself.
    }
    ++FWaiters;
    for (std::uint64_t Seen = FReported.load(); Seen < Number; Seen = FReported.load()) {
        FReported.wait(Seen);
    }
    --FWaiters;
}

void TCompletionReporter::UnlockAndReport(std::unique_lock<std::mutex>& Lock) noexcept {
    if (FQueued.empty()) {
        Lock.unlock();
        return;
    }
    // One thread reports at a time; one that finds another reporting leaves its own to it
    // (marking "more"), unless that one just finished.
    int State = FState.load();
    while (State != Idle) {
        if (FState.compare_exchange_weak(State, MoreToReport)) {
            Lock.unlock();
            return;
        }
    }
    FState = Reporting;
    std::vector<TCompletion> Batch;
    Batch.swap(FQueued);
    Lock.unlock();
    while (true) {
        for (const TCompletion& Completion : Batch) {
            Completion.Io.Complete(Completion.Status, Completion.Bytes);
        }
        FReported += Batch.size();
        if (FWaiters.load() > 0) {
            FReported.notify_all();
        }
        Batch.clear();
        // Usually nobody added any meanwhile: done without taking the lock again.
        int Expected = Reporting;
        if (FState.compare_exchange_strong(Expected, Idle)) {
            return;
        }
        FState = Reporting;
        Lock.lock();
        Batch.swap(FQueued);
        Lock.unlock();
    }
}

} // namespace httpapi
