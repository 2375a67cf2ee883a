// BandwidthLimit: the bandwidth property of a session or URL group, as a token bucket that
// paces the senders of its responses.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace httpapi {

/// Bytes per second shared by every response of a session or URL group. Safe for concurrent
/// use; senders wait in Acquire (never while holding a connection's lock).
class TBandwidthLimit {
public:
    /// The smallest rate the Windows listener accepts (HTTP_MIN_ALLOWED_BANDWIDTH_THROTTLING_RATE).
    static constexpr std::uint32_t MinimumRate = 1024;

    explicit TBandwidthLimit(std::uint32_t BytesPerSecond) noexcept : FRate(BytesPerSecond) {}

    /// Takes Bytes from the bucket at time NowMs and returns how long the sender must wait
    /// first (0 when the bucket held them). A burst of up to one second's worth goes at once.
    std::int64_t Take(std::uint64_t Bytes, std::int64_t NowMs) noexcept;
    /// Take, then waits the time it returned.
    void Acquire(std::uint64_t Bytes);
    std::uint32_t Rate() const noexcept { return FRate; }

private:
    const std::uint32_t FRate;
    std::mutex FLock;
    double FTokens = 0;        // Guarded by FLock. May go negative: debt the next senders wait out.
    std::int64_t FLastMs = -1; // Guarded by FLock. -1: the bucket starts full.
};

} // namespace httpapi
