// Reactor: the listener's sockets (edge-triggered epoll), posted tasks and time-outs, polled by
// whichever thread waits in the API while nothing else polls.
#pragma once

#include "platform/win/Scheduler.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace httpapi {

/// Milliseconds of a monotonic clock (the clock of std::chrono::steady_clock).
std::int64_t MonotonicMs() noexcept;

/// Something a reactor serves: a listening socket or a connection.
class TReactorClient {
public:
    TReactorClient() = default;
    TReactorClient(const TReactorClient&) = delete;
    TReactorClient& operator=(const TReactorClient&) = delete;
    virtual ~TReactorClient() = default;
    /// The polling thread: the epoll events of the client's socket.
    virtual void OnEvents(std::uint32_t Events) noexcept = 0;
    /// The service thread, at or after a time the client asked for (Schedule): its time-outs.
    virtual void OnTick(std::int64_t NowMs) noexcept = 0;
    /// Output it holds back to send with more (Cork) goes out now.
    virtual void OnFlush() noexcept {}
    /// When the reactor stops: close without waiting for anyone.
    virtual void OnStop() noexcept = 0;

private:
    friend class TReactor;
    // Where the client's pending time sits in its reactor's timer heap; guarded by the
    // reactor's timer lock.
    static constexpr std::size_t NoTimer = ~std::size_t(0);
    std::size_t FTimerSlot = NoTimer;
};

/// The process's sockets. Threads waiting in the API poll it one at a time (it is the
/// platform's poll source); the platform's service thread runs its time-outs and polls it
/// when no waiting thread does. Clients are kept alive by the reactor from Add until Remove
/// (and until the poll that may still be handling their events is over, so a stale event
/// never reaches a freed client). Add, Remove, Post and Schedule are safe from any thread.
class TReactor final : public win::TPollSource {
public:
    TReactor();
    ~TReactor() override;
    TReactor(const TReactor&) = delete;
    TReactor& operator=(const TReactor&) = delete;

    /// Registers Fd (edge-triggered, with Events) for Client. False when epoll refuses.
    bool Add(std::shared_ptr<TReactorClient> Client, int Fd, std::uint32_t Events);
    /// Forgets Client. Its socket must already be closed.
    void Remove(TReactorClient* Client);
    /// Runs Task in the next poll (soon: a poll waiting for sockets is interrupted). Dropped
    /// once the reactor has stopped.
    void Post(std::function<void()> Task);
    /// Calls Client->OnTick at DueMs (monotonic) or soon after, unless it is removed by then.
    /// One time is pending per client, the earliest asked for; OnTick is called once for it and
    /// the client asks again for what follows. Remove drops the client's pending time, so a
    /// closed client is not held until its time-outs would have come.
    void Schedule(const std::shared_ptr<TReactorClient>& Client, std::int64_t DueMs);
    /// Client holds output back, to send it with what follows: it goes out (OnFlush) before the
    /// process would wait for sockets, or CorkMs later at the latest (the service thread's next
    /// tick).
    void Cork(const std::shared_ptr<TReactorClient>& Client);
    /// Closes every client still registered and takes the reactor off the platform.
    void Stop();

    // The platform's poll source.
    void Poll(int TimeoutMs) noexcept override;
    void Interrupt() noexcept override;
    std::int64_t Tick(std::int64_t NowMs) noexcept override;

private:
    struct TTimer {
        std::int64_t DueMs;
        std::shared_ptr<TReactorClient> Client;
    };

    int FEpoll = -1;                       // Owned.
    int FWake = -1;                        // Owned: eventfd that interrupts a poll.
    std::mutex FPollLock;                  // Held by the polling thread: one poll at a time.
    std::atomic<bool> FWaiting{false};     // a poll waits (or is about to) in epoll_wait
    std::atomic<bool> FInterrupted{false}; // the current poll is to return soon
    std::atomic<bool> FTasksPending{false};
    // Guarded by FPollLock: the usual wait for sockets, and sockets ready per poll.
    std::chrono::microseconds FGap{std::chrono::seconds(1)};
    double FEventsPerPoll = 16;
    std::mutex FLock;
    std::unordered_map<TReactorClient*, std::shared_ptr<TReactorClient>>
        FClients;                                            // Guarded by FLock.
    std::vector<std::shared_ptr<TReactorClient>> FGraveyard; // Guarded by FLock.
    std::vector<std::function<void()>> FTasks;               // Guarded by FLock.
    bool FStopped = false;                                   // Guarded by FLock.
    // Sends out what the corked clients hold: all of it, or what was held since before OlderThan.
    void FlushCorks(std::int64_t HeldBeforeMs) noexcept;

    struct TCorked {
        std::int64_t SinceMs;
        std::weak_ptr<TReactorClient> Client;
    };
    std::mutex FCorkedLock;
    std::vector<TCorked> FCorked; // Guarded by FCorkedLock. In the order they corked.
    std::atomic<bool> FAnyCorked{false};
    std::mutex FTimersLock;
    // Guarded by FTimersLock: a binary min-heap on DueMs, one entry per client, each client
    // knowing its slot (FTimerSlot) so that an entry can be moved or dropped in place.
    std::vector<TTimer> FTimers;
    void PlaceTimerLocked(std::size_t Slot, TTimer Timer) noexcept;
    void SiftUpLocked(std::size_t Slot) noexcept;
    void SiftDownLocked(std::size_t Slot) noexcept;
    void EraseTimerLocked(std::size_t Slot) noexcept;
};

} // namespace httpapi
