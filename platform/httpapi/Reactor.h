// Reactor: one epoll thread serving sockets (edge-triggered), posted tasks and a periodic tick.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace httpapi {

/// Milliseconds of a monotonic clock.
std::int64_t MonotonicMs() noexcept;

/// Something a reactor serves: a listening socket or a connection.
class TReactorClient {
public:
    TReactorClient() = default;
    TReactorClient(const TReactorClient&) = delete;
    TReactorClient& operator=(const TReactorClient&) = delete;
    virtual ~TReactorClient() = default;
    /// Reactor thread: the epoll events of the client's socket.
    virtual void OnEvents(std::uint32_t Events) noexcept = 0;
    /// Reactor thread, a few times a second and whenever corked output is waiting: time-outs.
    virtual void OnTick(std::int64_t NowMs) noexcept = 0;
    /// Reactor thread, when the reactor stops: close without waiting for anyone.
    virtual void OnStop() noexcept = 0;
};

/// One epoll thread. Clients are kept alive by the reactor from Add until Remove (and until the
/// batch of events being handled is over, so a stale event never reaches a freed client).
/// Add, Remove and Post are safe from any thread.
class TReactor {
public:
    TReactor();
    ~TReactor();
    TReactor(const TReactor&) = delete;
    TReactor& operator=(const TReactor&) = delete;

    /// Registers Fd (edge-triggered, with Events) for Client. False when epoll refuses.
    bool Add(std::shared_ptr<TReactorClient> Client, int Fd, std::uint32_t Events);
    /// Forgets Client. Its socket must already be closed.
    void Remove(TReactorClient* Client);
    /// Runs Task on the reactor thread soon. Dropped once the reactor has stopped.
    void Post(std::function<void()> Task);
    /// Output held back to be coalesced is waiting: tick every millisecond while any is.
    void CorkChanged(int Delta) noexcept { FCorked.fetch_add(Delta); }
    /// Stops the thread and closes every client still registered.
    void Stop();

private:
    void Run(std::stop_token Stop);
    void Wake() noexcept;
    void Tick(std::int64_t Now);

    int FEpoll = -1; // Owned.
    int FWake = -1;  // Owned: eventfd for posted tasks and stop.
    std::atomic<int> FCorked{0};
    std::mutex FLock;
    std::unordered_map<TReactorClient*, std::shared_ptr<TReactorClient>>
        FClients;                                            // Guarded by FLock.
    std::vector<std::shared_ptr<TReactorClient>> FGraveyard; // Guarded by FLock.
    std::vector<std::function<void()>> FTasks;               // Guarded by FLock.
    bool FStopped = false;                                   // Guarded by FLock.
    std::jthread FThread;
};

/// The reactors of the process: one per CPU this process may run on, at most four.
class TReactorPool {
public:
    TReactorPool();
    ~TReactorPool();
    /// The next reactor, round robin.
    std::shared_ptr<TReactor> Pick() noexcept;
    void Stop();

private:
    std::vector<std::shared_ptr<TReactor>> FReactors;
    std::atomic<std::size_t> FNext{0};
};

} // namespace httpapi
