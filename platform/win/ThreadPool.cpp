// ThreadPool: the process-wide pool behind QueueUserWorkItem.
#include "platform/win/ThreadPool.h"

#include "platform/win/Scheduler.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace win {

namespace {

struct TWorkItem {
    LPTHREAD_START_ROUTINE Function;
    PVOID Context;
    bool Long; // WT_EXECUTELONGFUNCTION: may wait long; runs outside the CPU limit
};

/// One pool thread, on its own stack; the pool's lists name it only while it runs (wakers copy
/// its parker, which outlives the thread).
struct TPoolThread {
    TParker* Parker = nullptr;
    pid_t Tid = 0;
    bool Idle = false;      // Guarded by the pool's lock. On the idle list.
    bool Signalled = false; // Guarded by the pool's lock. Woken for an item, counted in FWoken.
    bool Counted = false;   // Guarded by the pool's lock. Runs an item and counts as running.
    bool Blocked = false;   // Guarded by the pool's lock. Uncounted by a platform wait.
};

thread_local TPoolThread* ThisPoolThread = nullptr;

// Whether thread Tid is on a CPU or ready for one; one whose state cannot be read waits.
bool PoolThreadRunnable(pid_t Tid) noexcept {
    char Path[64];
    std::snprintf(Path, sizeof Path, "/proc/self/task/%d/stat", static_cast<int>(Tid));
    const int Fd = open(Path, O_RDONLY | O_CLOEXEC);
    if (Fd < 0) {
        return false;
    }
    char Text[512];
    const ssize_t Got = read(Fd, Text, sizeof Text - 1);
    close(Fd);
    if (Got <= 0) {
        return false;
    }
    Text[Got] = '\0';
    const char* End = std::strrchr(Text, ')');
    return End != nullptr && End[1] == ' ' && End[2] == 'R';
}

/// The pool: as many threads run items at once as the process has CPUs, as a Windows pool
/// keeps its running threads near the processor count. A thread that blocks in a platform wait
/// stops counting at once (another takes the next item); one that blocks elsewhere is seen by
/// the service thread's watch when items waited a whole watch period. Threads are started when
/// an item may run and none is idle, up to the thread limit, and end after an idle time-out,
/// so a burst of blocking items gets threads and a quiet process keeps none. An idle thread
/// polls the listener while nothing else does (see Scheduler). Used from any thread.
class TPool final : public TWatchedQueue, public TRunningCounter {
public:
    static constexpr std::chrono::milliseconds WatchPeriod{2};

    bool Queue(TWorkItem Item) noexcept {
        TParker* Woken = nullptr;
        {
            std::unique_lock Lock(FLock);
            try {
                FItems.push_back(Item);
            } catch (...) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return false;
            }
            if (!DispatchLocked(Woken, Item.Long)) {
                if (FThreads == 0) {
                    // Nobody would ever run it.
                    FItems.pop_back();
                    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                    return false;
                }
            }
        }
        if (Woken != nullptr) {
            Wake(*Woken);
        }
        return true;
    }

    void SetIdleTimeout(std::chrono::milliseconds Timeout) noexcept {
        std::vector<TParker*> Idle;
        {
            std::scoped_lock Lock(FLock);
            FIdleTimeout = Timeout;
            for (TPoolThread* Thread : FIdle) {
                try {
                    Idle.push_back(Thread->Parker);
                } catch (...) {
                    break; // out of memory: the others keep their old time-out
                }
            }
        }
        // Idle threads start their new time-out now.
        for (TParker* Parker : Idle) {
            Wake(*Parker);
        }
    }

    bool SetLimit(DWORD Limit) noexcept {
        if (Limit == 0 || Limit > MaxPoolThreads) {
            return false;
        }
        std::scoped_lock Lock(FLock);
        FLimit = Limit;
        return true;
    }

    DWORD Limit() noexcept {
        std::scoped_lock Lock(FLock);
        return FLimit;
    }

    DWORD ThreadCount() noexcept {
        std::scoped_lock Lock(FLock);
        return FThreads;
    }

    bool WaitEmpty(std::chrono::milliseconds Timeout) noexcept {
        std::unique_lock Lock(FLock);
        return FEnded.wait_for(Lock, Timeout, [this] { return FThreads == 0; });
    }

    bool Watch(std::chrono::steady_clock::time_point Now) noexcept override {
        std::vector<TParker*> Woken;
        {
            std::scoped_lock Lock(FLock);
            if (FItems.empty() || BelowLimitLocked()) {
                FWatchSince = {};
                return !FItems.empty();
            }
            if (FWatchSince == std::chrono::steady_clock::time_point{} || FTaken != FWatchTaken) {
                FWatchSince = Now;
                FWatchTaken = FTaken;
                return true;
            }
            if (Now - FWatchSince < WatchPeriod) {
                return true;
            }
            // Items waited a whole period and nobody took one: running threads that are not
            // on a CPU (nor ready for one) have blocked and no longer count.
            for (TPoolThread* Thread : FRunning) {
                if (!PoolThreadRunnable(Thread->Tid)) {
                    Thread->Counted = false;
                }
            }
            std::erase_if(FRunning, [](TPoolThread* Thread) { return !Thread->Counted; });
            FWatchSince = Now;
            for (std::size_t I = 0; I < FItems.size(); ++I) {
                TParker* Parker = nullptr;
                if (!DispatchLocked(Parker, false)) {
                    break;
                }
                if (Parker != nullptr) {
                    try {
                        Woken.push_back(Parker);
                    } catch (...) {
                        Wake(*Parker); // out of memory: under the lock
                    }
                }
            }
        }
        for (TParker* Parker : Woken) {
            Wake(*Parker);
        }
        return true;
    }

    void ThreadBlocks() noexcept override {
        TPoolThread* Thread = ThisPoolThread;
        if (Thread == nullptr) {
            return;
        }
        TParker* Woken = nullptr;
        {
            std::scoped_lock Lock(FLock);
            if (!Thread->Counted) {
                return;
            }
            Uncount(*Thread);
            Thread->Blocked = true;
            if (!FItems.empty()) {
                DispatchLocked(Woken, FItems.front().Long);
            }
        }
        if (Woken != nullptr) {
            Wake(*Woken);
        }
    }

    void ThreadRuns() noexcept override {
        TPoolThread* Thread = ThisPoolThread;
        if (Thread == nullptr) {
            return;
        }
        std::scoped_lock Lock(FLock);
        if (Thread->Blocked) {
            Thread->Blocked = false;
            Count(*Thread); // running again, above the limit if need be
        }
    }

private:
    bool BelowLimitLocked() const noexcept {
        const std::size_t Limit = std::min<std::size_t>(FLimit, ProcessCpus());
        return FRunning.size() + FWoken < Limit;
    }

    // An item waits: wake an idle thread for it, or start one, when one more may run. False
    // when a thread was needed and none could be started.
    bool DispatchLocked(TParker*& Woken, bool Long) noexcept {
        if (!Long && !BelowLimitLocked()) {
            return true; // a running thread takes it when it is done
        }
        if (!FIdle.empty()) {
            TPoolThread* Thread = FIdle.back();
            FIdle.pop_back();
            Thread->Idle = false;
            Thread->Signalled = true;
            ++FWoken;
            Woken = Thread->Parker;
            return true;
        }
        if (FThreads >= FLimit) {
            return true; // at the thread limit: the item waits for a free thread
        }
        try {
            std::thread([this] { Run(); }).detach();
        } catch (...) {
            return false;
        }
        ++FThreads;
        ++FWoken; // on its way: it takes an item first
        return true;
    }

    void Count(TPoolThread& Thread) {
        try {
            FRunning.push_back(&Thread);
            Thread.Counted = true;
        } catch (...) {
            // Out of memory: this thread is not counted.
        }
    }

    void Uncount(TPoolThread& Thread) noexcept {
        Thread.Counted = false;
        std::erase(FRunning, &Thread);
    }

    void Run() noexcept {
        TPoolThread Record;
        TPoolThread* const Thread = &Record;
        Thread->Parker = &TParker::Current();
        Thread->Tid = static_cast<pid_t>(syscall(SYS_gettid));
        ThisPoolThread = Thread;
        bool HasWakeUp = true; // started for an item
        std::unique_lock Lock(FLock);
        while (true) {
            if (!FItems.empty() && (HasWakeUp || FItems.front().Long || BelowLimitLocked())) {
                if (HasWakeUp) {
                    --FWoken;
                    HasWakeUp = false;
                }
                const TWorkItem Item = FItems.front();
                FItems.pop_front();
                ++FTaken;
                if (!Item.Long) {
                    Count(*Thread);
                }
                TParker* Woken = nullptr;
                if (!FItems.empty()) {
                    DispatchLocked(Woken, FItems.front().Long); // more waiting: pass it on
                }
                Lock.unlock();
                if (Woken != nullptr) {
                    Wake(*Woken);
                }
                SetRunningOn(this);
                BeginServing();
                // A C++ exception cannot cross the C routine; one that does ends the process,
                // as an unhandled exception in a Windows pool thread does.
                Item.Function(Item.Context);
                SetRunningOn(nullptr);
                Lock.lock();
                if (Thread->Counted) {
                    Uncount(*Thread);
                }
                Thread->Blocked = false;
                continue;
            }
            if (HasWakeUp) {
                --FWoken;
                HasWakeUp = false;
            }
            if (!Thread->Idle) {
                try {
                    FIdle.push_back(Thread);
                    Thread->Idle = true;
                } catch (...) {
                    break; // out of memory: this thread ends
                }
            }
            const auto Deadline = std::chrono::steady_clock::now() + FIdleTimeout;
            Lock.unlock();
            // While nothing else polls the listener, this thread polls it while it is idle.
            const bool Released = Thread->Parker->Wait(true, Deadline);
            Lock.lock();
            HasWakeUp = Thread->Signalled;
            Thread->Signalled = false;
            if (!Released && !HasWakeUp && Thread->Idle && FItems.empty()) {
                break; // idle for the whole time-out
            }
        }
        if (Thread->Idle) {
            std::erase(FIdle, Thread);
            Thread->Idle = false;
        }
        --FThreads;
        FEnded.notify_all();
        Lock.unlock();
        ThisPoolThread = nullptr;
    }

    std::mutex FLock;
    std::condition_variable FEnded;
    std::deque<TWorkItem> FItems;       // Guarded by FLock.
    std::vector<TPoolThread*> FIdle;    // Guarded by FLock. Idle threads, latest last.
    std::vector<TPoolThread*> FRunning; // Guarded by FLock. Threads counted as running.
    std::size_t FWoken = 0;             // Guarded by FLock. Woken or started, not yet back.
    DWORD FThreads = 0;                 // Guarded by FLock.
    DWORD FLimit = MaxPoolThreads;      // Guarded by FLock.
    std::uint64_t FTaken = 0;           // Guarded by FLock.
    std::uint64_t FWatchTaken = 0;      // Guarded by FLock.
    std::chrono::steady_clock::time_point FWatchSince; // Guarded by FLock.
    std::chrono::milliseconds FIdleTimeout{10000};     // Guarded by FLock.
};

TPool& Pool() noexcept {
    // Never destroyed: its detached threads may still be waiting while the process exits. The
    // owning pointer itself is kept here, so that it stays reachable (a leak checker reported
    // it lost when only the pool's address was kept).
    static std::shared_ptr<TPool>* const Owner = [] {
        auto* Made = new std::shared_ptr<TPool>(std::make_shared<TPool>());
        WatchQueue(*Made);
        return Made;
    }();
    return **Owner;
}

} // namespace

void SetPoolIdleTimeout(std::chrono::milliseconds Timeout) noexcept {
    Pool().SetIdleTimeout(Timeout);
}

bool SetPoolThreadLimit(DWORD Limit) noexcept {
    return Pool().SetLimit(Limit);
}

DWORD PoolThreadLimit() noexcept {
    return Pool().Limit();
}

DWORD PoolThreadCount() noexcept {
    return Pool().ThreadCount();
}

bool WaitPoolEmpty(std::chrono::milliseconds Timeout) noexcept {
    return Pool().WaitEmpty(Timeout);
}

} // namespace win

extern "C" {

BOOL WINAPI QueueUserWorkItem(LPTHREAD_START_ROUTINE Function, PVOID Context,
                              ULONG Flags) noexcept {
    if (Function == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const bool Long = (Flags & WT_EXECUTELONGFUNCTION) != 0;
    return win::Pool().Queue({Function, Context, Long}) ? TRUE : FALSE;
}

} // extern "C"
