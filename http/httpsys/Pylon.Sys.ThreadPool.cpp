// Pylon.Sys.ThreadPool: work items on the system's shared thread pool, waited for on stop.
#include "http/httpsys/Pylon.Sys.ThreadPool.h"

#include <chrono>
#include <memory>

namespace pylon {

// ---- TThreadPool ----

void TThreadPool::Start() {
    if (!FStarted) {
        DoStart();
        FStarted = true;
    }
}

bool TThreadPool::Stop() {
    if (!FStarted) {
        return true;
    }
    FStarted = false;
    const bool Result = WaitWorkItems(FStopTimeout);
    DoStop();
    return Result;
}

// ---- TWinThreadPool ----

TWinThreadPool::~TWinThreadPool() {
    Stop();
    // An item that outlived the stop time-out still counts itself down through this object
    // when it ends, so the object must not go before it does.
    WaitWorkItems(INFINITE);
}

bool TWinThreadPool::QueueUserWorkItem(void* Context, TNotifyEvent Proc) {
    auto Item = std::make_unique<TWinWorkItem>(std::move(Proc), Context, *this);
    ++FWorkCount;
    if (!::QueueUserWorkItem(&TWinWorkItem::WorkItemFunction, Item.get(), WT_EXECUTEDEFAULT)) {
        const DWORD Error = GetLastError();
        Item.reset();
        ItemDone();
        SetLastError(Error);
        return false;
    }
    Item.release(); // The platform's pool owns it until WorkItemFunction frees it.
    return true;
}

bool TWinThreadPool::WaitWorkItems(DWORD Timeout) {
    std::unique_lock Lock(FEventLock);
    return FEvent.wait_for(Lock, std::chrono::milliseconds(Timeout),
                           [this] { return FWorkCount.load() == 0; });
}

void TWinThreadPool::ItemDone() noexcept {
    // Counted down under the lock: a waiter that sees 0 may free the pool as soon as it holds
    // the lock, so nothing here may touch the pool after the lock is released.
    std::scoped_lock Lock(FEventLock);
    if (--FWorkCount == 0) {
        FEvent.notify_all();
    }
}

// ---- TWinWorkItem ----

DWORD WINAPI TWinWorkItem::WorkItemFunction(LPVOID Item) noexcept {
    std::unique_ptr<TWinWorkItem> Owned(static_cast<TWinWorkItem*>(Item));
    TWinThreadPool& Pool = *Owned->FPool;
    try {
        Owned->FProc(Owned->FContext);
    } catch (...) {
        // The procedure reports its own failures; an escaping one must not end the pool thread.
    }
    Owned.reset();
    Pool.ItemDone();
    return 0;
}

} // namespace pylon
