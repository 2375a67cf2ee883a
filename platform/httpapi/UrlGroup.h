// UrlGroup: a URL group and a server session, as the driver keeps them.
#pragma once

#include "platform/httpapi/BandwidthLimit.h"
#include "platform/httpapi/RequestQueue.h"
#include "platform/httpapi/Router.h"

#include <atomic>
#include <http.h>
#include <memory>
#include <optional>

namespace httpapi {

/// Time-outs as set on a session or group: 0 in a field means "inherit".
struct TTimeoutSetting {
    std::uint16_t EntityBody = 0;
    std::uint16_t DrainEntityBody = 0;
    std::uint16_t IdleConnection = 0;
    std::uint16_t HeaderWait = 0;
    std::uint16_t RequestQueue = 0;
    ULONG MinSendRate = 0;
};

struct TServerSession {
    HTTP_SERVER_SESSION_ID Id = HTTP_NULL_ID;
    TTimeoutSetting Timeouts;
    std::shared_ptr<TW3CLog> Log;               // request log for groups without their own
    ULONG AuthSchemes = 0;                      // HTTP_AUTH_ENABLE_* for groups without their own
    std::shared_ptr<TBandwidthLimit> Bandwidth; // for groups without their own; null: none
};

/// Guarded by the driver's lock.
struct TUrlGroup {
    HTTP_URL_GROUP_ID Id = HTTP_NULL_ID;
    HTTP_SERVER_SESSION_ID SessionId = HTTP_NULL_ID;
    std::shared_ptr<TRequestQueue> Queue; // the binding; null when unbound
    TTimeoutSetting Timeouts;
    HTTP_ENABLED_STATE State = HttpEnabledStateActive;
    std::shared_ptr<TW3CLog> Log;               // null: the session's
    std::optional<ULONG> AuthSchemes;           // unset: the session's
    std::shared_ptr<TBandwidthLimit> Bandwidth; // null: the session's
    ULONG MaxConnections = 0;                   // 0: no limit
    // Connections holding a request of this group; shared with the connections counted.
    std::shared_ptr<std::atomic<ULONG>> Connections = std::make_shared<std::atomic<ULONG>>(0);
};

} // namespace httpapi
