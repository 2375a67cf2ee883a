// Reactor: the listener's sockets (edge-triggered epoll), posted tasks and time-outs, polled by
// whichever thread waits in the API while nothing else polls.
#include "platform/httpapi/Reactor.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace httpapi {

namespace {
constexpr int MaxEvents = 256;
constexpr std::int64_t CorkMs = 1; // the longest output is held back while the process runs
// Spinning for the next message: only while at most this many sockets are ready per poll, and
// for twice the usual wait, at most SpinGap.
constexpr double SpinEventsPerPoll = 2.0;
constexpr std::chrono::microseconds SpinGap{150};
// A pass of the spin that took this long lost the CPU to another thread.
constexpr std::chrono::microseconds SpinPreempted{50};
} // namespace

std::int64_t MonotonicMs() noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TReactor::TReactor() {
    FEpoll = epoll_create1(EPOLL_CLOEXEC);
    FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FEpoll < 0 || FWake < 0) {
        if (FEpoll >= 0) {
            close(FEpoll);
        }
        if (FWake >= 0) {
            close(FWake);
        }
        throw std::runtime_error("epoll");
    }
    epoll_event Event{};
    Event.events = EPOLLIN | EPOLLET;
    Event.data.ptr = nullptr; // the wake-up descriptor
    epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &Event);
    win::SetPollSource(this);
}

TReactor::~TReactor() {
    Stop();
    close(FEpoll);
    close(FWake);
}

bool TReactor::Add(std::shared_ptr<TReactorClient> Client, int Fd, std::uint32_t Events) {
    TReactorClient* Raw = Client.get();
    {
        std::scoped_lock Lock(FLock);
        if (FStopped) {
            return false;
        }
        FClients.emplace(Raw, std::move(Client));
    }
    epoll_event Event{};
    Event.events = Events | EPOLLET;
    Event.data.ptr = Raw;
    if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, Fd, &Event) != 0) {
        std::shared_ptr<TReactorClient> Refused; // released outside the lock
        std::scoped_lock Lock(FLock);
        if (const auto It = FClients.find(Raw); It != FClients.end()) {
            Refused = std::move(It->second);
            FClients.erase(It);
        }
        return false;
    }
    return true;
}

void TReactor::Remove(TReactorClient* Client) {
    {
        std::scoped_lock Lock(FTimersLock);
        if (Client->FTimerSlot != TReactorClient::NoTimer) {
            EraseTimerLocked(Client->FTimerSlot);
        }
    }
    std::scoped_lock Lock(FLock);
    const auto It = FClients.find(Client);
    if (It != FClients.end()) {
        FGraveyard.push_back(std::move(It->second));
        FClients.erase(It);
    }
}

void TReactor::Post(std::function<void()> Task) {
    {
        std::scoped_lock Lock(FLock);
        if (FStopped) {
            return;
        }
        FTasks.push_back(std::move(Task));
    }
    FTasksPending = true;
    Interrupt();
}

void TReactor::Schedule(const std::shared_ptr<TReactorClient>& Client, std::int64_t DueMs) {
    std::scoped_lock Lock(FTimersLock);
    const std::size_t Slot = Client->FTimerSlot;
    if (Slot == TReactorClient::NoTimer) {
        FTimers.emplace_back(); // the only step that may throw
        PlaceTimerLocked(FTimers.size() - 1, TTimer{DueMs, Client});
        SiftUpLocked(FTimers.size() - 1);
    } else if (DueMs < FTimers[Slot].DueMs) {
        FTimers[Slot].DueMs = DueMs;
        SiftUpLocked(Slot);
    }
}

void TReactor::PlaceTimerLocked(std::size_t Slot, TTimer Timer) noexcept {
    Timer.Client->FTimerSlot = Slot;
    FTimers[Slot] = std::move(Timer);
}

void TReactor::SiftUpLocked(std::size_t Slot) noexcept {
    TTimer Moving = std::move(FTimers[Slot]);
    while (Slot > 0) {
        const std::size_t Parent = (Slot - 1) / 2;
        if (FTimers[Parent].DueMs <= Moving.DueMs) {
            break;
        }
        PlaceTimerLocked(Slot, std::move(FTimers[Parent]));
        Slot = Parent;
    }
    PlaceTimerLocked(Slot, std::move(Moving));
}

void TReactor::SiftDownLocked(std::size_t Slot) noexcept {
    TTimer Moving = std::move(FTimers[Slot]);
    const std::size_t Size = FTimers.size();
    for (;;) {
        std::size_t Child = 2 * Slot + 1;
        if (Child >= Size) {
            break;
        }
        if (Child + 1 < Size && FTimers[Child + 1].DueMs < FTimers[Child].DueMs) {
            ++Child;
        }
        if (Moving.DueMs <= FTimers[Child].DueMs) {
            break;
        }
        PlaceTimerLocked(Slot, std::move(FTimers[Child]));
        Slot = Child;
    }
    PlaceTimerLocked(Slot, std::move(Moving));
}

void TReactor::EraseTimerLocked(std::size_t Slot) noexcept {
    FTimers[Slot].Client->FTimerSlot = TReactorClient::NoTimer;
    const std::size_t Last = FTimers.size() - 1;
    if (Slot != Last) {
        PlaceTimerLocked(Slot, std::move(FTimers[Last]));
        FTimers.pop_back();
        // The entry moved in from the end may belong above or below its new place.
        if (Slot > 0 && FTimers[Slot].DueMs < FTimers[(Slot - 1) / 2].DueMs) {
            SiftUpLocked(Slot);
        } else {
            SiftDownLocked(Slot);
        }
    } else {
        FTimers.pop_back();
    }
}

void TReactor::Cork(const std::shared_ptr<TReactorClient>& Client) {
    std::scoped_lock Lock(FCorkedLock);
    FCorked.push_back(TCorked{MonotonicMs(), Client});
    FAnyCorked = true;
}

void TReactor::FlushCorks(std::int64_t HeldBeforeMs) noexcept {
    if (!FAnyCorked.load()) {
        return;
    }
    std::vector<std::shared_ptr<TReactorClient>> Due;
    {
        std::scoped_lock Lock(FCorkedLock);
        std::size_t Taken = 0;
        try {
            while (Taken < FCorked.size() && FCorked[Taken].SinceMs <= HeldBeforeMs) {
                if (auto Client = FCorked[Taken].Client.lock()) {
                    Due.push_back(std::move(Client));
                }
                ++Taken;
            }
        } catch (...) {
            // Out of memory: the rest go next time.
        }
        FCorked.erase(FCorked.begin(), FCorked.begin() + static_cast<std::ptrdiff_t>(Taken));
        FAnyCorked = !FCorked.empty();
    }
    for (const auto& Client : Due) {
        Client->OnFlush();
    }
}

void TReactor::Interrupt() noexcept {
    // Paired with Poll: either the poll sees the request before it waits, or this sees the
    // poll waiting and wakes it.
    FInterrupted = true;
    if (FWaiting.load()) {
        const std::uint64_t One = 1;
        [[maybe_unused]] const ssize_t Written = write(FWake, &One, sizeof(One));
    }
}

void TReactor::Poll(int TimeoutMs) noexcept {
    std::unique_lock Polling(FPollLock, std::try_to_lock);
    if (!Polling) {
        return; // another thread polls (the service thread taking over, or giving back)
    }
    std::vector<std::function<void()>> Tasks;
    std::vector<std::shared_ptr<TReactorClient>> Dead;
    {
        std::scoped_lock Lock(FLock);
        Dead.swap(FGraveyard); // the previous poll is over: nothing can still point at them
        if (FTasksPending.exchange(false)) {
            Tasks.swap(FTasks);
        }
    }
    Dead.clear(); // destroyed outside the lock: their destructors take their own locks
    for (auto& Task : Tasks) {
        try {
            Task();
        } catch (...) {
            // A task failing (out of memory) must not end the poll.
        }
    }
    if (TimeoutMs != 0) {
        // About to wait for the sockets: nothing held back may wait with us.
        FlushCorks(INT64_MAX);
    }
    epoll_event Events[MaxEvents];
    if (!Tasks.empty()) {
        TimeoutMs = 0; // the tasks may have made work for the caller: only look
    }
    const auto WaitStart = std::chrono::steady_clock::now();
    int Count = 0;
    if (TimeoutMs != 0 && FEventsPerPoll <= SpinEventsPerPoll && FGap <= SpinGap) {
        // One or two connections busy, each answered within a round trip: the next message
        // is due within microseconds. Waiting for it on the CPU costs less than the sleep and
        // wake-up it saves, and answers sooner. Idle connections never get here (their gaps
        // are long), and a CPU shared with others neither: a spin that loses the CPU stops.
        const auto SpinUntil = WaitStart + std::min(SpinGap, 2 * FGap);
        auto Last = WaitStart;
        while (true) {
            Count = epoll_wait(FEpoll, Events, MaxEvents, 0);
            const auto Now = std::chrono::steady_clock::now();
            if (Count != 0 || FInterrupted.load() || FTasksPending.load() || Now >= SpinUntil ||
                Now - Last > SpinPreempted) {
                break;
            }
            Last = Now;
        }
    }
    if (Count == 0) {
        FWaiting = true;
        if (FInterrupted.load() || FTasksPending.load()) {
            TimeoutMs = 0; // interrupted before waiting: only look
        }
        Count = epoll_wait(FEpoll, Events, MaxEvents, TimeoutMs);
        FWaiting = false;
    }
    FInterrupted = false;
    int ClientEvents = 0;
    for (int I = 0; I < Count; ++I) {
        if (Events[I].data.ptr == nullptr) {
            std::uint64_t Value = 0;
            [[maybe_unused]] const ssize_t Read = read(FWake, &Value, sizeof(Value));
            continue;
        }
        ++ClientEvents;
        static_cast<TReactorClient*>(Events[I].data.ptr)->OnEvents(Events[I].events);
    }
    if (ClientEvents > 0 && TimeoutMs != 0) {
        // Moving averages (weight 1/8) of how long the sockets kept us waiting and of how many
        // were ready at once.
        const auto Gap = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - WaitStart);
        FGap += (std::min(Gap, 4 * SpinGap) - FGap) / 8;
        FEventsPerPoll += (ClientEvents - FEventsPerPoll) / 8;
    }
    {
        std::scoped_lock Lock(FLock);
        Dead.swap(FGraveyard); // removed during this poll: its events are handled
    }
}

std::int64_t TReactor::Tick(std::int64_t NowMs) noexcept {
    std::vector<std::shared_ptr<TReactorClient>> Due;
    std::int64_t Next = -1;
    {
        std::scoped_lock Lock(FTimersLock);
        try {
            while (!FTimers.empty() && FTimers.front().DueMs <= NowMs) {
                Due.push_back(FTimers.front().Client);
                EraseTimerLocked(0);
            }
        } catch (...) {
            // Out of memory: the rest stay due for the next tick.
        }
        if (!FTimers.empty()) {
            Next = FTimers.front().DueMs;
        }
    }
    for (const auto& Client : Due) {
        Client->OnTick(NowMs);
    }
    Due.clear();
    FlushCorks(NowMs - CorkMs);
    if (FAnyCorked.load()) {
        Next = Next < 0 ? NowMs + CorkMs : std::min(Next, NowMs + CorkMs);
    }
    // Nobody polls now: what a poll would do at its start is done here.
    std::unique_lock Polling(FPollLock, std::try_to_lock);
    if (Polling) {
        std::vector<std::function<void()>> Tasks;
        std::vector<std::shared_ptr<TReactorClient>> Dead;
        {
            std::scoped_lock Lock(FLock);
            Dead.swap(FGraveyard);
            if (FTasksPending.exchange(false)) {
                Tasks.swap(FTasks);
            }
        }
        Dead.clear();
        for (auto& Task : Tasks) {
            try {
                Task();
            } catch (...) {
                // A task failing (out of memory) must not end the tick.
            }
        }
    }
    return Next;
}

void TReactor::Stop() {
    {
        std::scoped_lock Lock(FLock);
        if (FStopped) {
            return;
        }
        FStopped = true;
    }
    // No thread polls from here on.
    win::RemovePollSource(this);
    std::unordered_map<TReactorClient*, std::shared_ptr<TReactorClient>> Clients;
    {
        std::scoped_lock Lock(FLock);
        Clients.swap(FClients);
        FTasks.clear();
    }
    for (auto& [Raw, Client] : Clients) {
        Client->OnStop();
    }
    Clients.clear();
    std::vector<std::shared_ptr<TReactorClient>> Dead;
    {
        std::scoped_lock Lock(FLock);
        Dead.swap(FGraveyard);
    }
    {
        std::scoped_lock Lock(FCorkedLock);
        FCorked.clear();
        FAnyCorked = false;
    }
    std::vector<TTimer> Timers; // released outside the lock
    std::scoped_lock Lock(FTimersLock);
    for (TTimer& Timer : FTimers) {
        Timer.Client->FTimerSlot = TReactorClient::NoTimer;
    }
    Timers.swap(FTimers);
}

} // namespace httpapi
