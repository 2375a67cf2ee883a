// ThreadPool: the process-wide pool behind QueueUserWorkItem.
#include "platform/win/ThreadPool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace win {

namespace {

struct TWorkItem {
    LPTHREAD_START_ROUTINE Function;
    PVOID Context;
};

/// Threads are added while every thread is busy and end after an idle time-out, so a burst of
/// long work items gets threads at once and a quiet process keeps none. Used from any thread.
class TPool {
public:
    bool Queue(TWorkItem Item) noexcept {
        std::unique_lock Lock(FLock);
        try {
            FItems.push_back(Item);
        } catch (...) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        // Idle and starting threads take queued items one each; start a thread when there are
        // more items than threads to take them.
        if (FItems.size() > FIdle + FStarting && FThreads < FLimit) {
            try {
                std::thread([this] { Run(); }).detach();
                ++FThreads;
                ++FStarting;
                return true;
            } catch (...) {
                if (FThreads == 0) {
                    // Nobody would ever run it.
                    FItems.pop_back();
                    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                    return false;
                }
            }
        }
        Lock.unlock();
        FWork.notify_one();
        return true;
    }

    void SetIdleTimeout(std::chrono::milliseconds Timeout) noexcept {
        {
            std::scoped_lock Lock(FLock);
            FIdleTimeout = Timeout;
        }
        // Idle threads start their new time-out now.
        FWork.notify_all();
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

private:
    void Run() noexcept {
        std::unique_lock Lock(FLock);
        --FStarting;
        for (;;) {
            ++FIdle;
            // Every wake-up starts the time-out again, so a changed time-out applies at once.
            while (FItems.empty() &&
                   FWork.wait_for(Lock, FIdleTimeout) == std::cv_status::no_timeout) {
            }
            --FIdle;
            if (FItems.empty()) {
                break;
            }
            const TWorkItem Item = FItems.front();
            FItems.pop_front();
            Lock.unlock();
            // A C++ exception cannot cross the C routine; one that does ends the process, as an
            // unhandled exception in a Windows pool thread does.
            Item.Function(Item.Context);
            Lock.lock();
        }
        --FThreads;
        FEnded.notify_all();
    }

    std::mutex FLock;
    std::condition_variable FWork;
    std::condition_variable FEnded;
    std::deque<TWorkItem> FItems;                  // Guarded by FLock.
    DWORD FThreads = 0;                            // Guarded by FLock.
    DWORD FIdle = 0;                               // Guarded by FLock.
    DWORD FStarting = 0;                           // Guarded by FLock.
    DWORD FLimit = MaxPoolThreads;                 // Guarded by FLock.
    std::chrono::milliseconds FIdleTimeout{10000}; // Guarded by FLock.
};

TPool& Pool() noexcept {
    // Never destroyed: its detached threads may still be waiting while the process exits.
    static auto* Instance = new TPool;
    return *Instance;
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
                              ULONG /*Flags*/) noexcept {
    if (Function == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return win::Pool().Queue({Function, Context}) ? TRUE : FALSE;
}

} // extern "C"
