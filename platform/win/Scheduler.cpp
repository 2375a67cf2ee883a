// Scheduler: how threads waiting in the platform sleep, wake each other and poll the listener.
#include "platform/win/Scheduler.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <sched.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace win {

namespace {

using TClock = std::chrono::steady_clock;

// The service thread ticks this often while the process is busy, and at least this often when
// it is idle (nothing polled, queued or deferred since the last tick).
constexpr std::chrono::milliseconds BusyTick{5};
constexpr std::chrono::milliseconds IdleTick{50};
// How often the CPU count is read again.
constexpr std::chrono::seconds CpuRefresh{1};

std::int64_t NowMs(TClock::time_point Time) noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Time.time_since_epoch()).count();
}

void FutexWait(std::atomic<std::uint32_t>& Word, std::uint32_t Expected,
               const timespec* Relative) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&Word), FUTEX_WAIT_PRIVATE, Expected,
            Relative, nullptr, 0);
}

void FutexWakeOne(std::atomic<std::uint32_t>& Word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&Word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

unsigned ReadAffinity() noexcept {
    cpu_set_t Set;
    CPU_ZERO(&Set);
    if (sched_getaffinity(0, sizeof(Set), &Set) != 0) {
        return 1;
    }
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&Set)));
}

/// What the scheduler keeps per thread. Never freed: another thread may still hold a pointer to
/// a thread's parker after the thread has ended (it was about to wake it); the slot then goes
/// to the next new thread, which takes that wake-up as a spurious one.
struct TThreadSlot {
    TParker Parker;
    bool Serving = false; // took work from a platform queue and has not waited since
    bool Polling = false; // inside the poll source's Poll
    TRunningCounter* RunningOn = nullptr;
    std::mutex DeferredLock;
    std::vector<TParker*> Deferred;               // Guarded by DeferredLock.
    std::atomic<std::int64_t> DeferredSinceMs{0}; // 0: nothing deferred
};

TThreadSlot& ThisSlot() noexcept;

} // namespace

class TScheduler {
public:
    TScheduler() : FCpus(ReadAffinity()) {}

    TThreadSlot* TakeSlot() {
        std::scoped_lock Lock(FSlotsLock);
        if (!FFreeSlots.empty()) {
            TThreadSlot* Slot = FFreeSlots.back();
            FFreeSlots.pop_back();
            return Slot;
        }
        auto* Slot = new TThreadSlot; // never freed (see TThreadSlot)
        FSlots.push_back(Slot);
        return Slot;
    }

    void GiveSlot(TThreadSlot* Slot) noexcept {
        Flush(*Slot);
        Slot->Serving = false;
        Slot->Polling = false;
        Slot->RunningOn = nullptr;
        std::scoped_lock Lock(FSlotsLock);
        try {
            FFreeSlots.push_back(Slot);
        } catch (...) {
            // Out of memory: the slot stays unused.
        }
    }

    // Releases what Slot's thread deferred.
    void Flush(TThreadSlot& Slot) noexcept {
        if (Slot.DeferredSinceMs.load(std::memory_order_relaxed) == 0) {
            return;
        }
        std::vector<TParker*> Taken;
        {
            std::scoped_lock Lock(Slot.DeferredLock);
            Taken.swap(Slot.Deferred);
            Slot.DeferredSinceMs.store(0, std::memory_order_relaxed);
        }
        for (TParker* Parker : Taken) {
            Parker->ReleaseNow();
        }
        // The vector's storage goes back to the slot for the next time.
        std::scoped_lock Lock(Slot.DeferredLock);
        if (Slot.Deferred.empty()) {
            Taken.clear();
            Slot.Deferred.swap(Taken);
        }
    }

    bool Defer(TThreadSlot& Slot, TParker& Parker) noexcept {
        std::scoped_lock Lock(Slot.DeferredLock);
        if (std::find(Slot.Deferred.begin(), Slot.Deferred.end(), &Parker) != Slot.Deferred.end()) {
            return true;
        }
        try {
            Slot.Deferred.push_back(&Parker);
        } catch (...) {
            return false; // out of memory: wake it now
        }
        if (Slot.DeferredSinceMs.load(std::memory_order_relaxed) == 0) {
            Slot.DeferredSinceMs.store(std::max<std::int64_t>(1, NowMs(TClock::now())),
                                       std::memory_order_relaxed);
        }
        return true;
    }

    // Leadership: at most one thread polls the source at a time. Returns the source to poll
    // (it stays valid until EndLead: its removal waits for the leader), or null.
    TPollSource* TryLead(TParker& Parker) noexcept {
        if (FSource.load() == nullptr || FLeader.load(std::memory_order_relaxed) != nullptr) {
            return nullptr;
        }
        TParker* Expected = nullptr;
        if (!FLeader.compare_exchange_strong(Expected, &Parker)) {
            return nullptr;
        }
        TPollSource* Source = FSource.load();
        if (Source == nullptr) {
            FLeader.store(nullptr);
            return nullptr;
        }
        FPolls.fetch_add(1, std::memory_order_relaxed);
        return Source;
    }

    void EndLead(bool Woken) noexcept {
        FLastPollEndMs.store(NowMs(TClock::now()), std::memory_order_relaxed);
        FLeader.store(nullptr);
        if (Woken && Cpus() > 1) {
            // Another CPU can poll while this thread serves what it found.
            OfferLeadership();
        }
    }

    void InterruptPoll() noexcept {
        ++FInterrupting; // the source's removal waits for this call to leave it
        if (TPollSource* Source = FSource.load()) {
            Source->Interrupt();
        }
        --FInterrupting;
    }

    void AddCandidate(TParker& Parker) noexcept {
        std::scoped_lock Lock(FCandidatesLock);
        try {
            FCandidates.push_back(&Parker);
        } catch (...) {
            // Out of memory: this thread only sleeps; another leads.
        }
    }

    void RemoveCandidate(TParker& Parker) noexcept {
        std::scoped_lock Lock(FCandidatesLock);
        const auto It = std::find(FCandidates.begin(), FCandidates.end(), &Parker);
        if (It != FCandidates.end()) {
            FCandidates.erase(It);
        }
    }

    // Wakes the latest sleeping thread to lead; false when none sleeps.
    bool OfferLeadership() noexcept {
        TParker* Chosen = nullptr;
        {
            std::scoped_lock Lock(FCandidatesLock);
            if (FCandidates.empty()) {
                return false;
            }
            Chosen = FCandidates.back();
            FCandidates.pop_back();
        }
        Chosen->ReleaseNow();
        return true;
    }

    void SetSource(TPollSource* Source) noexcept {
        FSource.store(Source);
        EnsureServiceThread();
        FServiceWake.notify_one();
    }

    void RemoveSource(TPollSource* Source) noexcept {
        TPollSource* Expected = Source;
        if (!FSource.compare_exchange_strong(Expected, nullptr)) {
            return;
        }
        // Wait for the thread polling it, a tick in progress and interruptions to leave it.
        while (FLeader.load() != nullptr || FTicking.load() || FInterrupting.load() != 0) {
            Source->Interrupt();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    unsigned Cpus() noexcept {
        const unsigned Forced = FForcedCpus.load(std::memory_order_relaxed);
        return Forced != 0 ? Forced : FCpus.load(std::memory_order_relaxed);
    }

    void ForceCpus(unsigned Count) noexcept { FForcedCpus = Count; }

    void Watch(const std::shared_ptr<TWatchedQueue>& Queue) noexcept {
        EnsureServiceThread();
        std::scoped_lock Lock(FWatchLock);
        try {
            FWatched.push_back(Queue);
        } catch (...) {
            // Out of memory: this queue then has no watch, as a port at a limit it never
            // reaches would not need one.
        }
    }

    void NoteActivity() noexcept { FActivity.fetch_add(1, std::memory_order_relaxed); }

private:
    void EnsureServiceThread() noexcept {
        std::call_once(FServiceOnce, [this] {
            try {
                // Detached: the scheduler is never destroyed, and the thread may be waiting
                // while the process exits.
                std::thread([this] { Serve(); }).detach();
            } catch (...) {
                // No thread: waiting threads still poll and wake each other; only the
                // listener's time-outs and the watch of blocked threads are missing.
            }
        });
    }

    // The service thread's body.
    void Serve() noexcept {
        TThreadSlot& Slot = ThisSlot();
        TParker& Self = Slot.Parker;
        std::uint64_t LastPolls = FPolls.load();
        std::uint64_t LastActivity = FActivity.load();
        auto LastCpuRead = TClock::now();
        bool Leading = false;
        while (true) {
            const auto Now = TClock::now();
            const std::int64_t Ms = NowMs(Now);
            bool Busy = false;
            std::int64_t NextDueMs = -1;
            if (FSource.load() != nullptr) {
                FTicking = true;
                if (TPollSource* Source = FSource.load()) {
                    NextDueMs = Source->Tick(Ms);
                }
                FTicking = false;
            }
            if (Now - LastCpuRead >= CpuRefresh) {
                FCpus = ReadAffinity();
                LastCpuRead = Now;
            }
            Busy = FlushStale(Ms) || Busy;
            Busy = WatchQueues(Now) || Busy;
            const std::uint64_t Polls = FPolls.load(std::memory_order_relaxed);
            const std::uint64_t Activity = FActivity.load(std::memory_order_relaxed);
            Busy = Busy || Polls != LastPolls || Activity != LastActivity;
            LastActivity = Activity;
            // Nobody polls and nobody has for a whole tick (every waiting thread is busy or
            // blocked): a sleeping thread takes over, or this one polls.
            const bool Vacant =
                FSource.load() != nullptr && FLeader.load() == nullptr &&
                (Leading || (Polls == LastPolls && Ms - FLastPollEndMs.load() >= BusyTick.count()));
            LastPolls = Polls;
            auto WakeAt = Now + (Busy ? BusyTick : IdleTick);
            if (NextDueMs >= 0) {
                WakeAt = std::min(WakeAt, TClock::time_point(std::chrono::milliseconds(NextDueMs)));
            }
            Leading = false;
            TPollSource* Source = Vacant && !OfferLeadership() ? TryLead(Self) : nullptr;
            if (Source != nullptr) {
                const auto Left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(WakeAt - TClock::now());
                Slot.Polling = true;
                Source->Poll(static_cast<int>(std::max<std::int64_t>(0, Left.count())));
                Slot.Polling = false;
                EndLead(false);
                Flush(Slot);
                Leading = true;
                LastPolls = FPolls.load(std::memory_order_relaxed);
                continue;
            }
            std::unique_lock Lock(FServiceLock);
            FServiceWake.wait_until(Lock, WakeAt);
        }
    }

    // Releases what threads deferred longer than a tick ago; true when any thread had some.
    bool FlushStale(std::int64_t NowMs) noexcept {
        std::vector<TThreadSlot*> Stale;
        bool Any = false;
        {
            std::scoped_lock Lock(FSlotsLock);
            for (TThreadSlot* Slot : FSlots) {
                const std::int64_t Since = Slot->DeferredSinceMs.load(std::memory_order_relaxed);
                if (Since != 0) {
                    Any = true;
                    if (NowMs - Since >= BusyTick.count()) {
                        try {
                            Stale.push_back(Slot);
                        } catch (...) {
                            // Out of memory: next tick.
                        }
                    }
                }
            }
        }
        for (TThreadSlot* Slot : Stale) {
            Flush(*Slot);
        }
        return Any;
    }

    bool WatchQueues(TClock::time_point Now) noexcept {
        std::vector<std::shared_ptr<TWatchedQueue>> Live;
        {
            std::scoped_lock Lock(FWatchLock);
            std::erase_if(FWatched, [](const std::weak_ptr<TWatchedQueue>& Queue) {
                return Queue.expired();
            });
            try {
                for (const auto& Queue : FWatched) {
                    if (auto Locked = Queue.lock()) {
                        Live.push_back(std::move(Locked));
                    }
                }
            } catch (...) {
                // Out of memory: the ones collected are watched.
            }
        }
        bool Busy = false;
        for (const auto& Queue : Live) {
            Busy = Queue->Watch(Now) || Busy;
        }
        return Busy;
    }

    std::atomic<TPollSource*> FSource{nullptr};
    std::atomic<TParker*> FLeader{nullptr};
    std::atomic<std::uint64_t> FPolls{0};
    std::atomic<std::int64_t> FLastPollEndMs{0};
    std::atomic<bool> FTicking{false};
    std::atomic<int> FInterrupting{0};
    std::atomic<std::uint64_t> FActivity{0};
    std::atomic<unsigned> FCpus;
    std::atomic<unsigned> FForcedCpus{0};

    std::mutex FCandidatesLock;
    std::vector<TParker*> FCandidates; // Guarded by FCandidatesLock. Sleeping, latest last.

    std::mutex FSlotsLock;
    std::vector<TThreadSlot*> FSlots;     // Guarded by FSlotsLock. Every slot ever made.
    std::vector<TThreadSlot*> FFreeSlots; // Guarded by FSlotsLock.

    std::mutex FWatchLock;
    std::vector<std::weak_ptr<TWatchedQueue>> FWatched; // Guarded by FWatchLock.

    std::once_flag FServiceOnce;
    std::mutex FServiceLock;
    std::condition_variable FServiceWake;
};

namespace {

TScheduler& Scheduler() noexcept {
    static auto* Instance = new TScheduler; // never destroyed: its thread runs until exit
    return *Instance;
}

// The calling thread's slot once it has one (null before, and once its thread-locals are
// being destroyed).
thread_local TThreadSlot* CurrentSlot = nullptr;

TThreadSlot& ThisSlot() noexcept {
    struct THolder {
        TThreadSlot* Slot = nullptr;
        ~THolder() {
            CurrentSlot = nullptr;
            if (Slot != nullptr) {
                Scheduler().GiveSlot(Slot);
            }
        }
    };
    thread_local THolder Holder;
    if (Holder.Slot == nullptr) {
        try {
            Holder.Slot = Scheduler().TakeSlot();
        } catch (...) {
            // Out of memory on a thread's first wait: nothing sensible can go on.
            std::terminate();
        }
        CurrentSlot = Holder.Slot;
    }
    return *Holder.Slot;
}

} // namespace

TParker& TParker::Current() noexcept {
    return ThisSlot().Parker;
}

void TParker::ReleaseNow() noexcept {
    const std::uint32_t Previous = FState.exchange(Released);
    if (Previous == Asleep) {
        FutexWakeOne(FState);
    } else if (Previous == Polling && (CurrentSlot == nullptr || this != &CurrentSlot->Parker)) {
        Scheduler().InterruptPoll();
    }
}

void TParker::Sleep(bool Timed, TClock::time_point Deadline) noexcept {
    TScheduler& S = Scheduler();
    S.AddCandidate(*this);
    std::uint32_t State = Idle;
    if (FState.compare_exchange_strong(State, Asleep)) {
        timespec Relative{};
        if (Timed) {
            const auto Left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(Deadline - TClock::now());
            const std::int64_t Nanoseconds = std::max<std::int64_t>(0, Left.count());
            Relative.tv_sec = static_cast<time_t>(Nanoseconds / 1000000000);
            Relative.tv_nsec = static_cast<long>(Nanoseconds % 1000000000);
        }
        // Returns at once when the word is no longer Asleep; a time-out or a signal comes back
        // as Asleep, which goes back to Idle below.
        FutexWait(FState, Asleep, Timed ? &Relative : nullptr);
        State = Asleep;
        FState.compare_exchange_strong(State, Idle);
    }
    S.RemoveCandidate(*this);
}

bool TParker::Wait(bool Timed, TClock::time_point Deadline) noexcept {
    TThreadSlot& Slot = ThisSlot();
    TScheduler& S = Scheduler();
    Slot.Serving = false;
    S.Flush(Slot);
    S.NoteActivity();
    while (true) {
        std::uint32_t State = FState.load();
        if (State == Released) {
            FState.store(Idle);
            return true;
        }
        int TimeoutMs = -1;
        if (Timed) {
            const auto Left = Deadline - TClock::now();
            if (Left <= TClock::duration::zero()) {
                return false;
            }
            // Rounded up: a poll that ends before the deadline would only poll again.
            TimeoutMs =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(Left).count());
        }
        if (TPollSource* Source = S.TryLead(*this)) {
            State = Idle;
            if (!FState.compare_exchange_strong(State, Polling)) {
                S.EndLead(false); // woken just now
                continue;
            }
            Slot.Polling = true;
            Source->Poll(TimeoutMs);
            Slot.Polling = false;
            const bool Woken = FState.exchange(Idle) == Released;
            S.EndLead(Woken);
            S.Flush(Slot);
            if (Woken) {
                return true;
            }
            continue;
        }
        Sleep(Timed, Deadline);
    }
}

void Wake(TParker& Parker) noexcept {
    // A thread that never waited here (or is ending) wakes at once.
    TThreadSlot* Slot = CurrentSlot;
    if (Slot != nullptr && &Parker != &Slot->Parker && (Slot->Serving || Slot->Polling) &&
        Scheduler().Defer(*Slot, Parker)) {
        return;
    }
    Parker.ReleaseNow();
}

void BeginServing() noexcept {
    ThisSlot().Serving = true;
}

void SetPollSource(TPollSource* Source) noexcept {
    Scheduler().SetSource(Source);
}

void RemovePollSource(TPollSource* Source) noexcept {
    Scheduler().RemoveSource(Source);
}

void WatchQueue(const std::shared_ptr<TWatchedQueue>& Queue) noexcept {
    Scheduler().Watch(Queue);
}

void SetRunningOn(TRunningCounter* Counter) noexcept {
    ThisSlot().RunningOn = Counter;
}

TRunningCounter* RunningOn() noexcept {
    return ThisSlot().RunningOn;
}

TBlockingScope::TBlockingScope() noexcept : FCounter(nullptr) {
    TThreadSlot* Slot = CurrentSlot; // a thread that never waited here has nothing to do
    if (Slot == nullptr) {
        return;
    }
    Scheduler().Flush(*Slot);
    FCounter = Slot->RunningOn;
    if (FCounter != nullptr) {
        FCounter->ThreadBlocks();
    }
}

TBlockingScope::~TBlockingScope() {
    if (FCounter != nullptr) {
        FCounter->ThreadRuns();
    }
}

unsigned ProcessCpus() noexcept {
    return Scheduler().Cpus();
}

void SetProcessCpusForTesting(unsigned Count) noexcept {
    Scheduler().ForceCpus(Count);
}

} // namespace win
