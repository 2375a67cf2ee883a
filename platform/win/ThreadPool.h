// ThreadPool: the process-wide pool behind QueueUserWorkItem.
#pragma once

#include <chrono>
#include <windows.h>

namespace win {

/// Upper bound of the pool's threads, and the default limit; further items wait for a free
/// thread.
inline constexpr DWORD MaxPoolThreads = 512;

/// Lowers (or restores) the pool's thread limit, 1 to MaxPoolThreads; false, and no change, for
/// any other value. Threads above a lowered limit finish their items; no new one starts until
/// the pool is under the limit. For tests and tools that cannot afford hundreds of threads.
bool SetPoolThreadLimit(DWORD Limit) noexcept;
/// The pool's thread limit now.
DWORD PoolThreadLimit() noexcept;

/// How long an idle pool thread waits for work before it ends (default 10 seconds).
void SetPoolIdleTimeout(std::chrono::milliseconds Timeout) noexcept;
/// The pool's threads now (running an item or idle).
DWORD PoolThreadCount() noexcept;
/// Waits until the pool has no thread left, up to Timeout; true when it has none.
bool WaitPoolEmpty(std::chrono::milliseconds Timeout) noexcept;

} // namespace win
