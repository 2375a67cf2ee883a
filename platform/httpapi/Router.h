// Router: what a connection asks of the process-wide tables when a request head is complete.
#pragma once

#include "platform/httpapi/CookedUrl.h"
#include "platform/httpapi/ListenerAnswer.h"

#include <atomic>
#include <cstdint>
#include <http.h>
#include <memory>
#include <string_view>
#include <sys/socket.h>

namespace httpapi {

class TRequestQueue;
class TW3CLog;
class TBandwidthLimit;

/// Time-outs in seconds; Disabled turns one off.
struct TTimeouts {
    static constexpr std::uint16_t Default = 120;
    static constexpr std::uint16_t Disabled = 0xFFFF;
    std::uint16_t EntityBody = Default;
    std::uint16_t DrainEntityBody = Default;
    std::uint16_t IdleConnection = Default;
    std::uint16_t HeaderWait = Default;
    std::uint16_t RequestQueue = Default;            // a request waiting for the application
    static constexpr ULONG DefaultMinSendRate = 150; // bytes per second
    static constexpr ULONG SendRateDisabled = 0xFFFFFFFF;
    ULONG MinSendRate = DefaultMinSendRate; // a response the client reads slower is cut
};

/// Where a request goes: a queue with the prefix's context, or the listener's own answer.
struct TRoute {
    TListenerAnswer Answer = TListenerAnswer::None;
    std::shared_ptr<TRequestQueue> Queue;
    HTTP_URL_CONTEXT Context = 0;
    TTimeouts Timeouts;           // the URL group's, for the connection's next requests
    std::shared_ptr<TW3CLog> Log; // where answered requests are logged; null: nowhere
    ULONG AuthSchemes = 0;        // HTTP_AUTH_ENABLE_* the listener handles
    std::shared_ptr<TBandwidthLimit> Bandwidth;      // paces the responses; null: unpaced
    std::shared_ptr<std::atomic<ULONG>> Connections; // the group's connection count
    ULONG MaxConnections = 0;                        // 0: no limit
};

/// Implemented by the driver; safe for concurrent use by every reactor thread.
class TRouter {
public:
    virtual ~TRouter() = default;
    /// LocalIp: the address the connection arrived on, as text ("127.0.0.1", "::1").
    virtual TRoute Route(const TCookedUrl& Url, std::uint16_t LocalPort,
                         std::string_view LocalIp) = 0;
    /// The process-wide header-wait and idle time-outs (used before a request is routed).
    virtual TTimeouts ApiTimeouts() = 0;
};

} // namespace httpapi
