// Pylon.Sys.ThreadPool: work items on the system's shared thread pool, waited for on stop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <windows.h>

namespace pylon {

/// The procedure of a work item; Sender is the context object it was queued with.
using TNotifyEvent = std::function<void(void* Sender)>;

/// Runs work items and can wait until all of them have finished. Start and Stop come from one
/// controlling thread; QueueUserWorkItem from any thread.
class TThreadPool {
public:
    static constexpr DWORD DefaultStopTimeout = 20000;

    TThreadPool() = default;
    TThreadPool(const TThreadPool&) = delete;
    TThreadPool& operator=(const TThreadPool&) = delete;
    /// Derived pools stop themselves first, while their state still exists.
    virtual ~TThreadPool() = default;

    /// True when every queued item finished within Timeout milliseconds.
    virtual bool WaitWorkItems(DWORD Timeout) = 0;
    /// Runs Proc(Context) on a pool thread; false when the item cannot be queued (the last
    /// error says why).
    virtual bool QueueUserWorkItem(void* Context, TNotifyEvent Proc) = 0;

    void Start();
    /// True at once when not started; otherwise whether the running items finished within
    /// StopTimeout.
    bool Stop();
    DWORD StopTimeout() const noexcept { return FStopTimeout; }
    void SetStopTimeout(DWORD Value) noexcept { FStopTimeout = Value; }
    bool Started() const noexcept { return FStarted; }

protected:
    virtual void DoStart() {}
    virtual void DoStop() {}

private:
    DWORD FStopTimeout = DefaultStopTimeout;
    bool FStarted = false;
};

/// The operating system's shared pool; counts the items queued and not yet finished.
class TWinThreadPool : public TThreadPool {
public:
    TWinThreadPool() = default;
    ~TWinThreadPool() override;

    bool WaitWorkItems(DWORD Timeout) override;
    bool QueueUserWorkItem(void* Context, TNotifyEvent Proc) override;
    /// Items queued and not yet finished.
    LONG WorkCount() const noexcept { return FWorkCount.load(); }

private:
    friend class TWinWorkItem;
    void ItemDone() noexcept;

    // Raised without the lock, lowered under FEventLock; "signalled" while it is 0.
    std::atomic<LONG> FWorkCount{0};
    std::mutex FEventLock;
    std::condition_variable FEvent;
};

/// One queued item: the procedure, its context and the pool that counts it. Owned by the
/// platform's pool between queuing and the end of the item.
class TWinWorkItem {
public:
    TWinWorkItem(TNotifyEvent AProc, void* AContext, TWinThreadPool& APool)
        : FPool(&APool)
        , FContext(AContext)
        , FProc(std::move(AProc)) {}

    /// The entry the platform's pool calls with the item.
    static DWORD WINAPI WorkItemFunction(LPVOID Item) noexcept;

private:
    TWinThreadPool* FPool; // Not owned: the pool waits for its items before it goes.
    void* FContext;        // Not owned: the procedure frees it.
    TNotifyEvent FProc;
};

} // namespace pylon
