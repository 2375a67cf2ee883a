// Listener: one listening socket (an address and port that registered prefixes name).
#include "platform/httpapi/Listener.h"

#include "platform/httpapi/Connection.h"
#include "platform/httpapi/ServiceConfig.h"
#include "platform/win/Handles.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace httpapi {

namespace {
constexpr DWORD ErrorInvalidNetname = ERROR_INVALID_NETNAME;
} // namespace

DWORD BindErrorToWin32(int Errno) noexcept {
    switch (Errno) {
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EADDRINUSE:
        return ERROR_SHARING_VIOLATION;
    case EADDRNOTAVAIL:
        return ErrorInvalidNetname;
    default:
        return win::ErrnoToWin32(Errno);
    }
}

TListener::TListener(std::string Address, std::uint16_t Port, bool Secure)
    : FAddress(std::move(Address))
    , FPort(Port)
    , FSecure(Secure) {
}

TListener::~TListener() {
    Close();
}

DWORD TListener::Open(std::shared_ptr<TReactor> Reactor, std::shared_ptr<TRouter> Router,
                      const std::shared_ptr<TListener>& Self) {
    sockaddr_storage Address{};
    socklen_t Length = 0;
    int Family = AF_INET6;
    if (FAddress.empty()) {
        auto& V6 = reinterpret_cast<sockaddr_in6&>(Address);
        V6.sin6_family = AF_INET6;
        V6.sin6_addr = in6addr_any;
        V6.sin6_port = htons(FPort);
        Length = sizeof(V6);
    } else if (FAddress.find(':') != std::string::npos) {
        auto& V6 = reinterpret_cast<sockaddr_in6&>(Address);
        V6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, FAddress.c_str(), &V6.sin6_addr);
        V6.sin6_port = htons(FPort);
        Length = sizeof(V6);
    } else {
        auto& V4 = reinterpret_cast<sockaddr_in&>(Address);
        V4.sin_family = AF_INET;
        inet_pton(AF_INET, FAddress.c_str(), &V4.sin_addr);
        V4.sin_port = htons(FPort);
        Length = sizeof(V4);
        Family = AF_INET;
    }
    int Fd = socket(Family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Fd < 0 && FAddress.empty()) {
        // No IPv6 on this machine: every IPv4 address instead.
        auto& V4 = reinterpret_cast<sockaddr_in&>(Address);
        std::memset(&Address, 0, sizeof(Address));
        V4.sin_family = AF_INET;
        V4.sin_addr.s_addr = htonl(INADDR_ANY);
        V4.sin_port = htons(FPort);
        Length = sizeof(V4);
        Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (Fd < 0) {
        return win::ErrnoToWin32(errno);
    }
    const int One = 1;
    const int Zero = 0;
    setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof(One));
    if (Address.ss_family == AF_INET6 && FAddress.empty()) {
        setsockopt(Fd, IPPROTO_IPV6, IPV6_V6ONLY, &Zero, sizeof(Zero));
    }
    if (bind(Fd, reinterpret_cast<const sockaddr*>(&Address), Length) != 0 ||
        listen(Fd, SOMAXCONN) != 0) {
        const int Error = errno;
        close(Fd);
        return BindErrorToWin32(Error);
    }
    {
        std::scoped_lock Lock(FLock);
        FFd = Fd;
        FBound = Address;
        FReactor = Reactor;
        FRouter = std::move(Router);
    }
    if (!Reactor->Add(Self, Fd, EPOLLIN)) {
        Close();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return NO_ERROR;
}

void TListener::Close() noexcept {
    std::shared_ptr<TReactor> Reactor;
    {
        std::scoped_lock Lock(FLock);
        if (FFd < 0) {
            return;
        }
        close(FFd);
        FFd = -1;
        Reactor = std::move(FReactor);
        FRouter.reset();
    }
    if (Reactor) {
        Reactor->Remove(this);
    }
}

void TListener::OnEvents(std::uint32_t) noexcept {
    // Connections are started once the lock is released: starting routes a request that may
    // already be there, under the driver's lock, which the driver also holds while it takes
    // this one to open or close the listener.
    std::vector<std::shared_ptr<TConnection>> ToStart;
    AcceptAll(ToStart);
    for (const std::shared_ptr<TConnection>& Connection : ToStart) {
        Connection->Start();
    }
}

void TListener::AcceptAll(std::vector<std::shared_ptr<TConnection>>& ToStart) noexcept {
    std::scoped_lock Lock(FLock);
    // Edge-triggered: accept until the backlog is empty.
    for (int Accepted = 0; FFd >= 0 && Accepted < 4096; ++Accepted) {
        sockaddr_storage Remote{};
        socklen_t RemoteLength = sizeof(Remote);
        const int Fd = accept4(FFd, reinterpret_cast<sockaddr*>(&Remote), &RemoteLength,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (Fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            // EAGAIN: done. EMFILE and the like: the client waits in the backlog until a
            // descriptor frees up; the next connection attempt wakes us again.
            return;
        }
        // Bound to one address, the listener knows where its clients arrive; bound to every
        // address, the socket tells.
        sockaddr_storage Local = FBound;
        if (FAddress.empty()) {
            socklen_t LocalLength = sizeof(Local);
            getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &LocalLength);
        }
        const int One = 1;
        setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof(One));
        std::shared_ptr<TTlsContext> Tls;
        if (FSecure) {
            // The certificate bound to the address the client reached; none, no TLS.
            Tls = ServiceConfig().SslContext(Local);
            if (!Tls) {
                close(Fd);
                continue;
            }
        }
        std::shared_ptr<TConnection> Connection;
        try {
            Connection =
                std::make_shared<TConnection>(FReactor, FRouter, Fd, Local, Remote, std::move(Tls));
            // From here the connection owns the descriptor.
            if (!FReactor->Add(Connection, Fd, EPOLLIN | EPOLLOUT | EPOLLRDHUP)) {
                continue;
            }
            // Data may have arrived before registration: read it now, once the lock is
            // released.
            ToStart.push_back(Connection);
        } catch (...) {
            if (!Connection) {
                // Out of memory, or no TLS session for it (ETlsSetupError), before the
                // connection took the descriptor: the client sees the connection closed.
                close(Fd);
            } else {
                Connection->Abort();
            }
        }
    }
}

} // namespace httpapi
