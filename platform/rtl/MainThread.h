// MainThread: the program's main-thread call queue (hand a call to the main thread, with or
// without waiting for it).
#pragma once

#include <chrono>
#include <functional>

namespace rtl {

/// True on the program's main thread: the thread that ran the static initialisers (the one
/// that runs main()).
bool IsMainThread() noexcept;

/// Appends Method to the main thread's queue and returns at once. It runs when the main thread
/// next calls CheckSynchronize; a program that never calls it never runs queued calls. An
/// exception thrown by a queued call is swallowed there (nobody is waiting for it).
void QueueToMainThread(std::function<void()> Method);

/// Runs Method on the main thread and waits until it has run; an exception it throws is
/// re-thrown here. Called on the main thread itself, Method runs at once (inline), since
/// waiting for oneself would never end. The wait has no limit: use the overload with a time
/// limit where the main thread may not be processing its queue.
void SynchronizeWithMainThread(std::function<void()> Method);

/// As above, but gives up after Timeout: returns false when Method had not started by then (it
/// is withdrawn and never runs). Once started, the call waits for it to end.
bool SynchronizeWithMainThread(std::function<void()> Method, std::chrono::milliseconds Timeout);

/// Called by the main thread: waits up to Wait for a queued call, then runs every queued call
/// in order. Returns true when at least one call ran. Throws std::logic_error when called on
/// another thread.
bool CheckSynchronize(std::chrono::milliseconds Wait = std::chrono::milliseconds(0));

} // namespace rtl
