// BandwidthLimit: a token bucket pacing the senders of a session's or group's responses.
#include "platform/httpapi/BandwidthLimit.h"

#include "platform/httpapi/Reactor.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace httpapi {

std::int64_t TBandwidthLimit::Take(std::uint64_t Bytes, std::int64_t NowMs) noexcept {
    std::scoped_lock Lock(FLock);
    const double Burst = FRate; // one second's worth
    if (FLastMs < 0) {
        FTokens = Burst;
    } else if (NowMs > FLastMs) {
        FTokens = std::min(Burst, FTokens + double(FRate) * double(NowMs - FLastMs) / 1000.0);
    }
    FLastMs = std::max(FLastMs, NowMs);
    FTokens -= double(Bytes);
    if (FTokens >= 0) {
        return 0;
    }
    // The debt is paid at the rate: that long before these bytes may go.
    return static_cast<std::int64_t>(-FTokens * 1000.0 / double(FRate)) + 1;
}

void TBandwidthLimit::Acquire(std::uint64_t Bytes) {
    const std::int64_t Wait = Take(Bytes, MonotonicMs());
    if (Wait > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(Wait));
    }
}

} // namespace httpapi
