// Driver: the process-wide listener: sessions, URL groups, registrations, listening sockets,
// reactors and routing.
#pragma once

#include "platform/httpapi/Listener.h"
#include "platform/httpapi/Reactor.h"
#include "platform/httpapi/Router.h"
#include "platform/httpapi/UrlGroup.h"
#include "platform/httpapi/UrlPrefix.h"

#include <atomic>
#include <http.h>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace httpapi {

/// Created by the first HttpInitialize with the server flag, ended by the last HttpTerminate.
/// Safe for concurrent use: configuration takes the lock exclusively, routing shares it.
class TDriver final : public TRouter, public std::enable_shared_from_this<TDriver> {
public:
    TDriver();
    ~TDriver() override;

    DWORD CreateSession(HTTP_SERVER_SESSION_ID& Id);
    DWORD CloseSession(HTTP_SERVER_SESSION_ID Id);
    DWORD SetSessionTimeouts(HTTP_SERVER_SESSION_ID Id, const TTimeoutSetting& Timeouts);
    bool SessionExists(HTTP_SERVER_SESSION_ID Id);

    DWORD CreateGroup(HTTP_SERVER_SESSION_ID SessionId, HTTP_URL_GROUP_ID& Id);
    DWORD CloseGroup(HTTP_URL_GROUP_ID Id);
    DWORD BindGroup(HTTP_URL_GROUP_ID Id, std::shared_ptr<TRequestQueue> Queue);
    DWORD SetGroupTimeouts(HTTP_URL_GROUP_ID Id, const TTimeoutSetting& Timeouts);
    DWORD SetGroupState(HTTP_URL_GROUP_ID Id, HTTP_ENABLED_STATE State);
    /// Logging and authentication of a session (Session true) or a URL group.
    DWORD SetLog(bool Session, HTTP_OPAQUE_ID Id, std::shared_ptr<TW3CLog> Log);
    DWORD SetAuthSchemes(bool Session, HTTP_OPAQUE_ID Id, ULONG Schemes);
    DWORD SetBandwidth(bool Session, HTTP_OPAQUE_ID Id, std::shared_ptr<TBandwidthLimit> Limit);
    DWORD SetConnectionLimit(HTTP_URL_GROUP_ID Id, ULONG MaxConnections);
    bool GroupExists(HTTP_URL_GROUP_ID Id);

    DWORD AddUrl(HTTP_URL_GROUP_ID Id, std::string_view Url, HTTP_URL_CONTEXT Context);
    /// Url empty with RemoveAll: every prefix of the group.
    DWORD RemoveUrl(HTTP_URL_GROUP_ID Id, std::string_view Url, bool RemoveAll);

    TRoute Route(const TCookedUrl& Url, std::uint16_t LocalPort, std::string_view LocalIp) override;
    TTimeouts ApiTimeouts() override;

    /// Closes every listener and connection (last HttpTerminate).
    void Shutdown();

private:
    struct TRegistration {
        TUrlPrefix Prefix;
        std::string Key;
        HTTP_URL_GROUP_ID Group;
        HTTP_URL_CONTEXT Context;
    };

    DWORD ReconcileLocked(std::uint16_t Port);
    void RemoveGroupUrlsLocked(HTTP_URL_GROUP_ID Id);
    TTimeouts EffectiveLocked(const TUrlGroup& Group) const;

    std::shared_ptr<TReactor> FReactor; // Shared with the connections; stopped by Shutdown.
    std::shared_mutex FLock;
    std::unordered_map<HTTP_SERVER_SESSION_ID, TServerSession> FSessions; // Guarded by FLock.
    std::unordered_map<HTTP_URL_GROUP_ID, TUrlGroup> FGroups;             // Guarded by FLock.
    std::vector<TRegistration> FRegistrations;                            // Guarded by FLock.
    std::map<std::uint16_t, std::vector<std::shared_ptr<TListener>>>
        FListeners; // Guarded by FLock.
};

/// Ids of sessions and groups: never reused within the process.
HTTP_OPAQUE_ID NextObjectId() noexcept;

} // namespace httpapi
