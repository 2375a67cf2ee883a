// MainThread: the program's main-thread call queue.
#include "platform/rtl/MainThread.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace rtl {

namespace {

// One waiting or fire-and-forget call. A synchronous caller keeps a shared reference so that it
// can learn the outcome after the main thread is done with the entry.
struct TMainThreadCall {
    std::function<void()> Method;
    bool Waited = false;
    bool Started = false;  // Guarded by the queue's FLock.
    bool Finished = false; // Guarded by the queue's FLock.
    std::exception_ptr Error;
};

class TMainThreadQueue {
public:
    void Push(std::shared_ptr<TMainThreadCall> Call) {
        {
            std::scoped_lock Lock(FLock);
            FCalls.push_back(std::move(Call));
        }
        FChanged.notify_all();
    }

    bool WaitFinished(const std::shared_ptr<TMainThreadCall>& Call,
                      std::chrono::milliseconds Timeout, bool Bounded) {
        std::unique_lock Lock(FLock);
        auto Done = [&] { return Call->Finished; };
        if (!Bounded) {
            FChanged.wait(Lock, Done);
            return true;
        }
        if (FChanged.wait_for(Lock, Timeout, [&] { return Call->Finished || Call->Started; })) {
            // Once started, the call must be waited for: its captures live on our stack.
            FChanged.wait(Lock, Done);
            return true;
        }
        std::erase(FCalls, Call);
        return false;
    }

    bool RunAll(std::chrono::milliseconds Wait) {
        std::deque<std::shared_ptr<TMainThreadCall>> Calls;
        {
            std::unique_lock Lock(FLock);
            FChanged.wait_for(Lock, Wait, [&] { return !FCalls.empty(); });
            Calls.swap(FCalls);
            for (auto& Call : Calls) {
                Call->Started = true;
            }
        }
        for (auto& Call : Calls) {
            try {
                Call->Method();
            } catch (...) {
                if (Call->Waited) {
                    Call->Error = std::current_exception();
                }
            }
            {
                std::scoped_lock Lock(FLock);
                Call->Finished = true;
            }
            FChanged.notify_all();
        }
        return !Calls.empty();
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<std::shared_ptr<TMainThreadCall>> FCalls; // Guarded by FLock.
};

TMainThreadQueue& Queue() {
    static TMainThreadQueue Instance;
    return Instance;
}

// Captured while the static initialisers run, which is on the main thread.
const std::thread::id MainThreadId = std::this_thread::get_id();

} // namespace

bool IsMainThread() noexcept {
    return std::this_thread::get_id() == MainThreadId;
}

void QueueToMainThread(std::function<void()> Method) {
    auto Call = std::make_shared<TMainThreadCall>();
    Call->Method = std::move(Method);
    Queue().Push(std::move(Call));
}

static bool Synchronize(std::function<void()> Method, std::chrono::milliseconds Timeout,
                        bool Bounded) {
    if (IsMainThread()) {
        Method();
        return true;
    }
    auto Call = std::make_shared<TMainThreadCall>();
    Call->Method = std::move(Method);
    Call->Waited = true;
    Queue().Push(Call);
    if (!Queue().WaitFinished(Call, Timeout, Bounded)) {
        return false;
    }
    if (Call->Error) {
        std::rethrow_exception(Call->Error);
    }
    return true;
}

void SynchronizeWithMainThread(std::function<void()> Method) {
    Synchronize(std::move(Method), std::chrono::milliseconds(0), false);
}

bool SynchronizeWithMainThread(std::function<void()> Method, std::chrono::milliseconds Timeout) {
    return Synchronize(std::move(Method), Timeout, true);
}

bool CheckSynchronize(std::chrono::milliseconds Wait) {
    if (!IsMainThread()) {
        throw std::logic_error("CheckSynchronize called outside the main thread");
    }
    return Queue().RunAll(Wait);
}

} // namespace rtl
