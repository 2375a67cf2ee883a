// Reactor: one epoll thread serving sockets (edge-triggered), posted tasks and a periodic tick.
#include "platform/httpapi/Reactor.h"

#include <algorithm>
#include <chrono>
#include <sched.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace httpapi {

namespace {
constexpr int TickMs = 100;
constexpr int MaxEvents = 256;
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
    FThread = std::jthread([this](std::stop_token Stop) { Run(Stop); });
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
    std::scoped_lock Lock(FLock);
    const auto It = FClients.find(Client);
    if (It != FClients.end()) {
        FGraveyard.push_back(std::move(It->second));
        FClients.erase(It);
    }
}

void TReactor::Post(std::function<void()> Task) {
    bool First = false;
    {
        std::scoped_lock Lock(FLock);
        if (FStopped) {
            return;
        }
        First = FTasks.empty();
        FTasks.push_back(std::move(Task));
    }
    if (First) {
        Wake();
    }
}

void TReactor::Wake() noexcept {
    const std::uint64_t One = 1;
    [[maybe_unused]] const ssize_t Written = write(FWake, &One, sizeof(One));
}

void TReactor::Stop() {
    if (!FThread.joinable()) {
        return;
    }
    FThread.request_stop();
    Wake();
    FThread.join();
    std::unordered_map<TReactorClient*, std::shared_ptr<TReactorClient>> Clients;
    {
        std::scoped_lock Lock(FLock);
        FStopped = true;
        Clients.swap(FClients);
        FTasks.clear();
    }
    for (auto& [Raw, Client] : Clients) {
        Client->OnStop();
    }
    std::vector<std::shared_ptr<TReactorClient>> Dead;
    {
        std::scoped_lock Lock(FLock);
        Dead.swap(FGraveyard);
    }
}

void TReactor::Tick(std::int64_t Now) {
    std::vector<std::shared_ptr<TReactorClient>> Clients;
    {
        std::scoped_lock Lock(FLock);
        Clients.reserve(FClients.size());
        for (auto& [Raw, Client] : FClients) {
            Clients.push_back(Client);
        }
    }
    for (auto& Client : Clients) {
        Client->OnTick(Now);
    }
}

void TReactor::Run(std::stop_token Stop) {
    epoll_event Events[MaxEvents];
    std::int64_t NextTick = MonotonicMs() + TickMs;
    while (!Stop.stop_requested()) {
        std::vector<std::function<void()>> Tasks;
        std::vector<std::shared_ptr<TReactorClient>> Dead;
        {
            std::scoped_lock Lock(FLock);
            Dead.swap(FGraveyard); // the previous batch is over: nothing can still point at them
            Tasks.swap(FTasks);
        }
        Dead.clear(); // destroyed outside the lock: their destructors take their own locks
        for (auto& Task : Tasks) {
            try {
                Task();
            } catch (...) {
                // A task failing (out of memory) must not end the reactor.
            }
        }
        const int Timeout = FCorked.load() > 0 ? 1 : TickMs;
        const int Count = epoll_wait(FEpoll, Events, MaxEvents, Timeout);
        for (int I = 0; I < Count; ++I) {
            if (Events[I].data.ptr == nullptr) {
                std::uint64_t Value = 0;
                [[maybe_unused]] const ssize_t Read = read(FWake, &Value, sizeof(Value));
                continue;
            }
            static_cast<TReactorClient*>(Events[I].data.ptr)->OnEvents(Events[I].events);
        }
        const std::int64_t Now = MonotonicMs();
        if (Now >= NextTick || FCorked.load() > 0) {
            try {
                Tick(Now);
            } catch (...) {
                // Out of memory while copying the client list: try again next time.
            }
            if (Now >= NextTick) {
                NextTick = Now + TickMs;
            }
        }
    }
}

TReactorPool::TReactorPool() {
    cpu_set_t Set;
    CPU_ZERO(&Set);
    int Count = 1;
    if (sched_getaffinity(0, sizeof(Set), &Set) == 0) {
        Count = CPU_COUNT(&Set);
    }
    Count = std::clamp(Count, 1, 4);
    for (int I = 0; I < Count; ++I) {
        FReactors.push_back(std::make_shared<TReactor>());
    }
}

TReactorPool::~TReactorPool() {
    Stop();
}

std::shared_ptr<TReactor> TReactorPool::Pick() noexcept {
    return FReactors[FNext.fetch_add(1) % FReactors.size()];
}

void TReactorPool::Stop() {
    for (auto& Reactor : FReactors) {
        Reactor->Stop();
    }
}

} // namespace httpapi
