// Driver: the process-wide listener: sessions, URL groups, registrations, listening sockets,
// reactors and routing.
#include "platform/httpapi/Driver.h"

#include "platform/httpapi/ServiceConfig.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace httpapi {

namespace {

std::atomic<HTTP_OPAQUE_ID> ObjectIdCounter{0x0100000000000001ull};

// An IP literal must name an address of this machine, even when a wider listener already
// covers its port.
DWORD CheckLocalAddress(const std::string& Host) {
    sockaddr_storage Address{};
    socklen_t Length = 0;
    if (Host.find(':') != std::string::npos) {
        auto& V6 = reinterpret_cast<sockaddr_in6&>(Address);
        V6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, Host.c_str(), &V6.sin6_addr);
        Length = sizeof(V6);
    } else {
        auto& V4 = reinterpret_cast<sockaddr_in&>(Address);
        V4.sin_family = AF_INET;
        inet_pton(AF_INET, Host.c_str(), &V4.sin_addr);
        Length = sizeof(V4);
    }
    const int Fd = socket(Address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0) {
        return ERROR_NOT_SUPPORTED;
    }
    const int Bound = bind(Fd, reinterpret_cast<const sockaddr*>(&Address), Length);
    const int Error = errno;
    close(Fd);
    return Bound == 0 ? NO_ERROR : BindErrorToWin32(Error);
}

std::uint16_t Pick(std::uint16_t Own, std::uint16_t Inherited) {
    return Own != 0 ? Own : Inherited;
}

} // namespace

HTTP_OPAQUE_ID NextObjectId() noexcept {
    return ObjectIdCounter.fetch_add(1);
}

TDriver::TDriver() : FReactor(std::make_shared<TReactor>()) {
}

TDriver::~TDriver() {
    Shutdown();
}

void TDriver::Shutdown() {
    std::map<std::uint16_t, std::vector<std::shared_ptr<TListener>>> Listeners;
    {
        std::unique_lock Lock(FLock);
        Listeners.swap(FListeners);
        FRegistrations.clear();
        FGroups.clear();
        FSessions.clear();
    }
    for (auto& [Port, List] : Listeners) {
        for (auto& Listener : List) {
            Listener->Close();
        }
    }
    FReactor->Stop();
}

DWORD TDriver::CreateSession(HTTP_SERVER_SESSION_ID& Id) {
    std::unique_lock Lock(FLock);
    TServerSession Session;
    Session.Id = NextObjectId();
    FSessions.emplace(Session.Id, Session);
    Id = Session.Id;
    return NO_ERROR;
}

DWORD TDriver::CloseSession(HTTP_SERVER_SESSION_ID Id) {
    std::unique_lock Lock(FLock);
    if (FSessions.erase(Id) == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    // Closing a session closes its URL groups.
    std::set<std::uint16_t> Ports;
    for (auto It = FGroups.begin(); It != FGroups.end();) {
        if (It->second.SessionId == Id) {
            for (const TRegistration& Registration : FRegistrations) {
                if (Registration.Group == It->first) {
                    Ports.insert(Registration.Prefix.Port);
                }
            }
            RemoveGroupUrlsLocked(It->first);
            It = FGroups.erase(It);
        } else {
            ++It;
        }
    }
    for (const std::uint16_t Port : Ports) {
        ReconcileLocked(Port);
    }
    return NO_ERROR;
}

DWORD TDriver::SetSessionTimeouts(HTTP_SERVER_SESSION_ID Id, const TTimeoutSetting& Timeouts) {
    std::unique_lock Lock(FLock);
    const auto It = FSessions.find(Id);
    if (It == FSessions.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    It->second.Timeouts = Timeouts;
    return NO_ERROR;
}

bool TDriver::SessionExists(HTTP_SERVER_SESSION_ID Id) {
    std::shared_lock Lock(FLock);
    return FSessions.contains(Id);
}

DWORD TDriver::CreateGroup(HTTP_SERVER_SESSION_ID SessionId, HTTP_URL_GROUP_ID& Id) {
    std::unique_lock Lock(FLock);
    if (!FSessions.contains(SessionId)) {
        return ERROR_INVALID_PARAMETER;
    }
    TUrlGroup Group;
    Group.Id = NextObjectId();
    Group.SessionId = SessionId;
    FGroups.emplace(Group.Id, Group);
    Id = Group.Id;
    return NO_ERROR;
}

DWORD TDriver::CloseGroup(HTTP_URL_GROUP_ID Id) {
    std::unique_lock Lock(FLock);
    if (!FGroups.contains(Id)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::set<std::uint16_t> Ports;
    for (const TRegistration& Registration : FRegistrations) {
        if (Registration.Group == Id) {
            Ports.insert(Registration.Prefix.Port);
        }
    }
    RemoveGroupUrlsLocked(Id);
    FGroups.erase(Id);
    for (const std::uint16_t Port : Ports) {
        ReconcileLocked(Port);
    }
    return NO_ERROR;
}

DWORD TDriver::BindGroup(HTTP_URL_GROUP_ID Id, std::shared_ptr<TRequestQueue> Queue) {
    std::unique_lock Lock(FLock);
    const auto It = FGroups.find(Id);
    if (It == FGroups.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    It->second.Queue = std::move(Queue);
    return NO_ERROR;
}

DWORD TDriver::SetGroupTimeouts(HTTP_URL_GROUP_ID Id, const TTimeoutSetting& Timeouts) {
    std::unique_lock Lock(FLock);
    const auto It = FGroups.find(Id);
    if (It == FGroups.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    It->second.Timeouts = Timeouts;
    return NO_ERROR;
}

DWORD TDriver::SetLog(bool Session, HTTP_OPAQUE_ID Id, std::shared_ptr<TW3CLog> Log) {
    std::unique_lock Lock(FLock);
    if (Session) {
        const auto It = FSessions.find(Id);
        if (It == FSessions.end()) {
            return ERROR_INVALID_PARAMETER;
        }
        It->second.Log = std::move(Log);
        return NO_ERROR;
    }
    const auto It = FGroups.find(Id);
    if (It == FGroups.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    It->second.Log = std::move(Log);
    return NO_ERROR;
}

DWORD TDriver::SetBandwidth(bool Session, HTTP_OPAQUE_ID Id,
                            std::shared_ptr<TBandwidthLimit> Limit) {
    std::unique_lock Lock(FLock);
    if (Session) {
        const auto It = FSessions.find(Id);
        if (It == FSessions.end()) {
            return ERROR_INVALID_PARAMETER;
        }
        It->second.Bandwidth = std::move(Limit);
        return NO_ERROR;
    }
    const auto It = FGroups.find(Id);
    if (It == FGroups.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    It->second.Bandwidth = std::move(Limit);
    return NO_ERROR;
}

DWORD TDriver::SetConnectionLimit(HTTP_URL_GROUP_ID Id, ULONG MaxConnections) {
    std::unique_lock Lock(FLock);
    const auto It = FGroups.find(Id);
    if (It == FGroups.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    It->second.MaxConnections = MaxConnections;
    return NO_ERROR;
}

DWORD TDriver::SetAuthSchemes(bool Session, HTTP_OPAQUE_ID Id, ULONG Schemes) {
    std::unique_lock Lock(FLock);
    if (Session) {
        const auto It = FSessions.find(Id);
        if (It == FSessions.end()) {
            return ERROR_INVALID_PARAMETER;
        }
        It->second.AuthSchemes = Schemes;
        return NO_ERROR;
    }
    const auto It = FGroups.find(Id);
    if (It == FGroups.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    It->second.AuthSchemes = Schemes;
    return NO_ERROR;
}

DWORD TDriver::SetGroupState(HTTP_URL_GROUP_ID Id, HTTP_ENABLED_STATE State) {
    std::unique_lock Lock(FLock);
    const auto It = FGroups.find(Id);
    if (It == FGroups.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    It->second.State = State;
    return NO_ERROR;
}

bool TDriver::GroupExists(HTTP_URL_GROUP_ID Id) {
    std::shared_lock Lock(FLock);
    return FGroups.contains(Id);
}

DWORD TDriver::AddUrl(HTTP_URL_GROUP_ID Id, std::string_view Url, HTTP_URL_CONTEXT Context) {
    TUrlPrefix Prefix;
    const DWORD Parsed = ParseUrlPrefix(Url, Prefix);
    if (Parsed != NO_ERROR) {
        return Parsed;
    }
    if (Prefix.Kind == THostKind::IpAddress) {
        const DWORD Local = CheckLocalAddress(Prefix.Host);
        if (Local != NO_ERROR) {
            return Local;
        }
    }
    // The URL reservations of the machine: a reserved namespace is its listed users' only.
    if (const DWORD Allowed = ServiceConfig().MayRegister(Prefix); Allowed != NO_ERROR) {
        return Allowed;
    }
    std::unique_lock Lock(FLock);
    if (!FGroups.contains(Id)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string Key = Prefix.Key();
    for (const TRegistration& Registration : FRegistrations) {
        if (Registration.Key == Key) {
            return ERROR_ALREADY_EXISTS;
        }
    }
    for (const TRegistration& Other : FRegistrations) {
        if (Other.Prefix.Port == Prefix.Port && Other.Prefix.Scheme != Prefix.Scheme) {
            return ERROR_INVALID_PARAMETER; // one port speaks either plain HTTP or TLS
        }
    }
    const std::uint16_t Port = Prefix.Port;
    FRegistrations.push_back({std::move(Prefix), std::move(Key), Id, Context});
    const DWORD Bound = ReconcileLocked(Port);
    if (Bound != NO_ERROR) {
        FRegistrations.pop_back();
        ReconcileLocked(Port);
        return Bound;
    }
    return NO_ERROR;
}

DWORD TDriver::RemoveUrl(HTTP_URL_GROUP_ID Id, std::string_view Url, bool RemoveAll) {
    std::unique_lock Lock(FLock);
    if (!FGroups.contains(Id)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::set<std::uint16_t> Ports;
    if (RemoveAll) {
        for (const TRegistration& Registration : FRegistrations) {
            if (Registration.Group == Id) {
                Ports.insert(Registration.Prefix.Port);
            }
        }
        RemoveGroupUrlsLocked(Id);
    } else {
        TUrlPrefix Prefix;
        const DWORD Parsed = ParseUrlPrefix(Url, Prefix);
        if (Parsed != NO_ERROR) {
            return Parsed;
        }
        const std::string Key = Prefix.Key();
        const auto It = std::find_if(FRegistrations.begin(), FRegistrations.end(),
                                     [&](const TRegistration& Registration) {
                                         return Registration.Group == Id && Registration.Key == Key;
                                     });
        if (It == FRegistrations.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        Ports.insert(It->Prefix.Port);
        FRegistrations.erase(It);
    }
    for (const std::uint16_t Port : Ports) {
        ReconcileLocked(Port);
    }
    return NO_ERROR;
}

void TDriver::RemoveGroupUrlsLocked(HTTP_URL_GROUP_ID Id) {
    std::erase_if(FRegistrations,
                  [Id](const TRegistration& Registration) { return Registration.Group == Id; });
}

DWORD TDriver::ReconcileLocked(std::uint16_t Port) {
    // A port is listened on while any prefix names it: on every address when a prefix has a
    // name or wildcard host, else on each IP literal named.
    std::set<std::string> Wanted;
    bool Secure = false;
    for (const TRegistration& Registration : FRegistrations) {
        if (Registration.Prefix.Port == Port) {
            Secure = Registration.Prefix.Scheme == "https";
            Wanted.insert(Registration.Prefix.Kind == THostKind::IpAddress
                              ? Registration.Prefix.Host
                              : std::string());
        }
    }
    if (Wanted.contains(std::string())) {
        // Every address, or those of the machine's IP listen list when it has any ("::" is
        // every address here too: the IPv6 wildcard socket takes IPv4 as well).
        const std::vector<std::string> Listed = ServiceConfig().ListenAddresses();
        const bool Every =
            Listed.empty() || std::find(Listed.begin(), Listed.end(), "::") != Listed.end();
        Wanted = Every ? std::set<std::string>{std::string()}
                       : std::set<std::string>(Listed.begin(), Listed.end());
    }
    std::vector<std::shared_ptr<TListener>>& Current = FListeners[Port];
    for (auto It = Current.begin(); It != Current.end();) {
        if (!Wanted.contains((*It)->Address())) {
            (*It)->Close(); // first, so that a wider listener can take the port
            It = Current.erase(It);
        } else {
            Wanted.erase((*It)->Address());
            ++It;
        }
    }
    DWORD Result = NO_ERROR;
    for (const std::string& Address : Wanted) {
        auto Listener = std::make_shared<TListener>(Address, Port, Secure);
        const DWORD Opened = Listener->Open(FReactor, shared_from_this(), Listener);
        if (Opened != NO_ERROR) {
            Result = Opened;
            break;
        }
        Current.push_back(std::move(Listener));
    }
    if (Current.empty()) {
        FListeners.erase(Port);
    }
    return Result;
}

TTimeouts TDriver::ApiTimeouts() {
    TTimeouts Timeouts;
    Timeouts.IdleConnection = ServiceConfig().IdleConnection();
    Timeouts.HeaderWait = ServiceConfig().HeaderWait();
    return Timeouts;
}

TTimeouts TDriver::EffectiveLocked(const TUrlGroup& Group) const {
    TTimeouts Result;
    TTimeoutSetting Session;
    if (const auto It = FSessions.find(Group.SessionId); It != FSessions.end()) {
        Session = It->second.Timeouts;
    }
    const TTimeoutSetting& Own = Group.Timeouts;
    Result.EntityBody = Pick(Own.EntityBody, Pick(Session.EntityBody, TTimeouts::Default));
    Result.DrainEntityBody =
        Pick(Own.DrainEntityBody, Pick(Session.DrainEntityBody, TTimeouts::Default));
    Result.IdleConnection =
        Pick(Own.IdleConnection, Pick(Session.IdleConnection, ServiceConfig().IdleConnection()));
    Result.HeaderWait =
        Pick(Own.HeaderWait, Pick(Session.HeaderWait, ServiceConfig().HeaderWait()));
    Result.RequestQueue = Pick(Own.RequestQueue, Pick(Session.RequestQueue, TTimeouts::Default));
    Result.MinSendRate = Own.MinSendRate != 0       ? Own.MinSendRate
                         : Session.MinSendRate != 0 ? Session.MinSendRate
                                                    : TTimeouts::DefaultMinSendRate;
    return Result;
}

TRoute TDriver::Route(const TCookedUrl& Url, std::uint16_t Port, std::string_view LocalIp) {
    TRoute Result;
    std::shared_lock Lock(FLock);
    const auto HostMatches = [&](const TUrlPrefix& Prefix) {
        switch (Prefix.Kind) {
        case THostKind::StrongWildcard:
        case THostKind::WeakWildcard:
            return true;
        case THostKind::Explicit:
            return Prefix.Host == Url.HostName;
        case THostKind::IpAddress:
            return Prefix.Host == LocalIp;
        }
        return false;
    };
    bool HostKnown = false;
    const TRegistration* Best = nullptr;
    // Categories in precedence order; the first one with a match decides.
    for (const THostKind Kind : {THostKind::StrongWildcard, THostKind::Explicit,
                                 THostKind::IpAddress, THostKind::WeakWildcard}) {
        for (const TRegistration& Registration : FRegistrations) {
            const TUrlPrefix& Prefix = Registration.Prefix;
            if (Prefix.Kind != Kind || Prefix.Port != Port || Prefix.Scheme != Url.Scheme ||
                !HostMatches(Prefix)) {
                continue;
            }
            HostKnown = true;
            if (Prefix.MatchesPath(Url.Path) &&
                (Best == nullptr || Prefix.Path.size() > Best->Prefix.Path.size())) {
                Best = &Registration;
            }
        }
        if (Best != nullptr) {
            break;
        }
    }
    if (Best == nullptr) {
        Result.Answer = HostKnown ? TListenerAnswer::NotFound : TListenerAnswer::InvalidHostname;
        return Result;
    }
    const auto Group = FGroups.find(Best->Group);
    if (Group == FGroups.end() || !Group->second.Queue ||
        Group->second.State != HttpEnabledStateActive || Group->second.Queue->Closed()) {
        Result.Answer = TListenerAnswer::ServiceUnavailable;
        return Result;
    }
    Result.Queue = Group->second.Queue;
    Result.Context = Best->Context;
    Result.Timeouts = EffectiveLocked(Group->second);
    Result.Log = Group->second.Log;
    Result.AuthSchemes = Group->second.AuthSchemes.value_or(0);
    Result.Bandwidth = Group->second.Bandwidth;
    Result.Connections = Group->second.Connections;
    Result.MaxConnections = Group->second.MaxConnections;
    if (const auto Session = FSessions.find(Group->second.SessionId); Session != FSessions.end()) {
        if (!Result.Log) {
            Result.Log = Session->second.Log;
        }
        if (!Result.Bandwidth) {
            Result.Bandwidth = Session->second.Bandwidth;
        }
        if (!Group->second.AuthSchemes) {
            Result.AuthSchemes = Session->second.AuthSchemes;
        }
    }
    return Result;
}

} // namespace httpapi
