// ThreadPool: the process-wide pool behind QueueUserWorkItem.
#pragma once

#include <chrono>
#include <windows.h>

namespace win {

/// Upper bound of the pool's threads; further items wait for a free thread.
inline constexpr DWORD MaxPoolThreads = 512;

/// How long an idle pool thread waits for work before it ends (default 10 seconds).
void SetPoolIdleTimeout(std::chrono::milliseconds Timeout) noexcept;
/// The pool's threads now (running an item or idle).
DWORD PoolThreadCount() noexcept;
/// Waits until the pool has no thread left, up to Timeout; true when it has none.
bool WaitPoolEmpty(std::chrono::milliseconds Timeout) noexcept;

} // namespace win
