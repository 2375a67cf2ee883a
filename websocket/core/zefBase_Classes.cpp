// zefBase_Classes: the library's base text classes.
#include "websocket/core/zefBase_Classes.h"

#include "platform/rtl/MainThread.h"

#include <chrono>

namespace zef {

int TzefHeaderList::IndexOfHeader(std::string_view aName) const {
    for (std::size_t I = 0; I < Count(); ++I) {
        std::string_view Line = (*this)[I];
        std::size_t Colon = Line.find(':');
        if (Colon != std::string_view::npos &&
            rtl::SameText(rtl::Trim(Line.substr(0, Colon)), aName)) {
            return int(I);
        }
    }
    return -1;
}

std::string TzefHeaderList::GetHeaderValue(std::string_view aName) const {
    int Index = IndexOfHeader(aName);
    if (Index < 0) {
        return {};
    }
    std::string_view Line = (*this)[std::size_t(Index)];
    return std::string(rtl::Trim(Line.substr(Line.find(':') + 1)));
}

struct TzefTimer::TState {
    mutable std::mutex Lock;
    std::condition_variable_any Wake;
    int Interval = 60000;                                   // Guarded by Lock.
    TwsNotifyEvent NotifyEvents = TwsNotifyEvent::neNoSync; // Guarded by Lock.
    TzefTimerEvent OnTimer;                                 // Guarded by Lock.
    TzefTimerOnException OnException;                       // Guarded by Lock.
    TzefTimer* Owner = nullptr; // Null once the owner is gone. Guarded by Lock.
    int Ticks = 0;              // Guarded by Lock.
};

TzefTimer::TzefTimer() : FState(std::make_shared<TState>()) {
    FState->Owner = this;
}

TzefTimer::~TzefTimer() {
    {
        std::scoped_lock Lock(FState->Lock);
        FState->Owner = nullptr;
    }
    FThread.request_stop();
    // A tick that frees its own timer cannot wait for itself: the thread ends after the tick
    // and keeps only the shared state alive.
    if (FThread.joinable() && FThread.get_id() == std::this_thread::get_id()) {
        FThread.detach();
    }
}

void TzefTimer::SetEnabled(bool Value) {
    FEnabled = Value;
    if (!Value) {
        FThread.request_stop();
        return;
    }
    if (FThread.joinable() && !FThread.get_stop_token().stop_requested()) {
        return;
    }
    // A thread that has ended cannot run again: a fresh one takes over.
    if (FThread.joinable()) {
        if (FThread.get_id() == std::this_thread::get_id()) {
            FThread.detach();
        } else {
            FThread.join();
        }
    }
    FThread = std::jthread(Run, FState);
}

int TzefTimer::Interval() const {
    std::scoped_lock Lock(FState->Lock);
    return FState->Interval;
}

void TzefTimer::SetInterval(int Value) {
    std::scoped_lock Lock(FState->Lock);
    FState->Interval = Value;
}

TwsNotifyEvent TzefTimer::NotifyEvents() const {
    std::scoped_lock Lock(FState->Lock);
    return FState->NotifyEvents;
}

void TzefTimer::SetNotifyEvents(TwsNotifyEvent Value) {
    std::scoped_lock Lock(FState->Lock);
    FState->NotifyEvents = Value;
}

void TzefTimer::SetOnTimer(TzefTimerEvent Value) {
    std::scoped_lock Lock(FState->Lock);
    FState->OnTimer = std::move(Value);
}

void TzefTimer::SetOnException(TzefTimerOnException Value) {
    std::scoped_lock Lock(FState->Lock);
    FState->OnException = std::move(Value);
}

int TzefTimer::Ticks() const {
    std::scoped_lock Lock(FState->Lock);
    return FState->Ticks;
}

void TzefTimer::Run(std::stop_token Stop, std::shared_ptr<TState> State) {
    using namespace std::chrono_literals;
    while (!Stop.stop_requested()) {
        try {
            std::unique_lock Lock(State->Lock);
            int Countdown = State->Interval;
            // At least one step per cycle: an interval of 0 would otherwise tick in a busy loop.
            do {
                // wait_for returns on time-out and on stop alike: the token tells them apart.
                State->Wake.wait_for(Lock, Stop, 100ms, [] { return false; });
                if (Stop.stop_requested()) {
                    return;
                }
                Countdown -= 100;
            } while (Countdown > 0);
            Lock.unlock();
            Tick(State, Stop);
        } catch (const std::exception& E) {
            std::unique_lock Lock(State->Lock);
            TzefTimerOnException Handler = State->OnException;
            TzefTimer* Owner = State->Owner;
            Lock.unlock();
            if (Handler && Owner) {
                try {
                    Handler(*Owner, E);
                } catch (...) {
                    // The exception handler's own failure must not end the timer thread.
                }
            }
        } catch (...) {
            // Not a std::exception: nothing to report it with; the next cycle runs.
        }
    }
}

void TzefTimer::Tick(const std::shared_ptr<TState>& State, std::stop_token Stop) {
    std::unique_lock Lock(State->Lock);
    TwsNotifyEvent Mode = State->NotifyEvents;
    Lock.unlock();
    // The handler runs only while the owner exists; it is read again on the thread that
    // delivers, so a timer freed in the meantime never ticks.
    auto Deliver = [State] {
        std::unique_lock Lock(State->Lock);
        TzefTimer* Owner = State->Owner;
        TzefTimerEvent Handler = State->OnTimer;
        ++State->Ticks;
        Lock.unlock();
        if (Owner && Handler) {
            Handler(*Owner);
        }
    };
    switch (Mode) {
    case TwsNotifyEvent::neNoSync:
        Deliver();
        break;
    case TwsNotifyEvent::neAsynchronous:
        rtl::QueueToMainThread(Deliver);
        break;
    case TwsNotifyEvent::neSynchronous:
        // Bounded waits, so that a stopped timer never hangs on a main thread that does not
        // process its queue.
        while (!Stop.stop_requested() &&
               !rtl::SynchronizeWithMainThread(Deliver, std::chrono::milliseconds(100))) {
        }
        break;
    }
}

} // namespace zef
