// Scheduler: how threads waiting in the platform sleep, wake each other and poll the listener.
//
// A thread that waits in the platform (a completion-port dequeue, a synchronous request
// receive, an idle thread-pool thread) and finds nothing queued does not simply sleep: while no
// other thread polls, it polls the listener's sockets itself (it leads), and serves what it
// finds through the call it waits in. A request or message is then read, handled and answered
// on one thread, with no wake-up in between. The others sleep on their own futex word until a
// queue hands them work or the leadership passes to them.
//
// The service thread keeps this live: when nobody has polled for a tick (every thread busy or
// blocked), it hands the leadership to a sleeping thread or polls itself; it runs the listener's
// time-outs, and it watches the queues whose running threads may have blocked.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace win {

/// What threads about to wait serve themselves: the HTTP listener's sockets. One per process,
/// installed by the library that owns it; called from any thread, one Poll at a time.
class TPollSource {
public:
    virtual ~TPollSource() = default;
    /// Serves what is ready, waiting up to TimeoutMs for something (-1: no limit, 0: no wait).
    /// Returns early after Interrupt. The completions and requests it makes go to their queues.
    virtual void Poll(int TimeoutMs) noexcept = 0;
    /// Makes a Poll waiting for sockets return soon. Any thread.
    virtual void Interrupt() noexcept = 0;
    /// Service thread: runs the time-outs due at NowMs (monotonic milliseconds); returns when
    /// the next one is due, or -1 when none is.
    virtual std::int64_t Tick(std::int64_t NowMs) noexcept = 0;
};

/// Installs the process's poll source (it replaces any other).
void SetPollSource(TPollSource* Source) noexcept;
/// Removes Source if it is the installed one; returns once no thread polls or ticks it.
void RemovePollSource(TPollSource* Source) noexcept;

/// A queue the service thread looks at every tick (a completion port, the work-item pool):
/// work that waited a whole tick while the queue was at its limit may mean that a running
/// thread has blocked outside the platform's own waits.
class TWatchedQueue {
public:
    virtual ~TWatchedQueue() = default;
    /// Service thread. True when the queue holds work now (the service thread then keeps
    /// ticking often).
    virtual bool Watch(std::chrono::steady_clock::time_point Now) noexcept = 0;
};

/// Adds a queue to the service thread's watch; it is dropped once it is destroyed.
void WatchQueue(const std::shared_ptr<TWatchedQueue>& Queue) noexcept;

/// How a thread waiting in the platform sleeps: one per thread, found with Current(). A queue
/// keeps the parkers of its waiting threads and wakes one with Wake(); a thread waits with
/// Wait() after it has put itself on its queue's list, and looks at the queue again whenever
/// Wait() returns (a wake-up may be spurious).
class TParker {
public:
    TParker() = default;
    TParker(const TParker&) = delete;
    TParker& operator=(const TParker&) = delete;

    /// The calling thread's parker.
    static TParker& Current() noexcept;

    /// Sleeps until woken, or until Deadline when Timed (false then). While nobody else polls
    /// the listener, polls it instead of sleeping. Ends the thread's serving (see BeginServing).
    bool Wait(bool Timed, std::chrono::steady_clock::time_point Deadline) noexcept;

private:
    friend void Wake(TParker& Parker) noexcept;
    friend class TScheduler;
    enum : std::uint32_t { Idle = 0, Released = 1, Asleep = 2, Polling = 3 };
    void ReleaseNow() noexcept;
    void Sleep(bool Timed, std::chrono::steady_clock::time_point Deadline) noexcept;

    std::atomic<std::uint32_t> FState{Idle}; // a futex word while Asleep
};

/// Wakes the thread behind Parker from its Wait (or makes its next Wait return at once). A
/// thread serving work it took from a platform queue, or polling, wakes others when it next
/// waits (or, at the latest, at the service thread's next tick): it is running anyway, and the
/// woken thread would only take the CPU from it.
void Wake(TParker& Parker) noexcept;

/// The calling thread took work from a platform queue and goes to serve it: wake-ups it makes
/// until its next wait are deferred to that wait.
void BeginServing() noexcept;

/// Hooks of a queue that counts the threads running its work (a completion port, the pool):
/// while such a thread blocks in a platform wait, it stops counting, as on Windows.
class TRunningCounter {
public:
    virtual ~TRunningCounter() = default;
    /// The calling thread, counted as running here, blocks now / runs again.
    virtual void ThreadBlocks() noexcept = 0;
    virtual void ThreadRuns() noexcept = 0;
};

/// The queue the calling thread counts as running on (nullptr: none). Set by the queue.
void SetRunningOn(TRunningCounter* Counter) noexcept;
TRunningCounter* RunningOn() noexcept;

/// Marks a platform wait of the calling thread (an event, a lock, a sleep, a send waiting for
/// the client): its deferred wake-ups go out, and it stops counting as running on its queue
/// until the scope ends.
class TBlockingScope {
public:
    TBlockingScope() noexcept;
    ~TBlockingScope();
    TBlockingScope(const TBlockingScope&) = delete;
    TBlockingScope& operator=(const TBlockingScope&) = delete;

private:
    TRunningCounter* FCounter;
};

/// The CPUs this process may run on (its affinity), at least 1; read again now and then.
unsigned ProcessCpus() noexcept;
/// Overrides ProcessCpus (0: read it again) for tests that need a given count.
void SetProcessCpusForTesting(unsigned Count) noexcept;

} // namespace win
