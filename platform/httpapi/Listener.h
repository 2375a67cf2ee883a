// Listener: one listening socket (an address and port that registered prefixes name).
#pragma once

#include "platform/httpapi/Reactor.h"
#include "platform/httpapi/Router.h"

#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>
#include <windows.h>

namespace httpapi {

class TConnection;

/// A listening socket, registered with the reactor with the connections it accepts. Opened by
/// the driver under its lock; closed the same way.
class TListener final : public TReactorClient {
public:
    /// Address: an IP literal, or empty for every address (IPv6 and IPv4). Secure: the port's
    /// prefixes are https; connections speak TLS with the certificate bound to their address.
    TListener(std::string Address, std::uint16_t Port, bool Secure = false);
    ~TListener() override;

    /// Binds and listens. NO_ERROR, ERROR_ACCESS_DENIED (privileged port),
    /// ERROR_SHARING_VIOLATION (port in use), or another code.
    DWORD Open(std::shared_ptr<TReactor> Reactor, std::shared_ptr<TRouter> Router,
               const std::shared_ptr<TListener>& Self);
    /// Stops listening at once (the port is free when this returns).
    void Close() noexcept;

    const std::string& Address() const noexcept { return FAddress; }
    std::uint16_t Port() const noexcept { return FPort; }
    bool Secure() const noexcept { return FSecure; }

    void OnEvents(std::uint32_t Events) noexcept override;
    void OnTick(std::int64_t) noexcept override {}
    void OnStop() noexcept override { Close(); }

private:
    // Accepts until the backlog is empty; connections to start on this thread go to ToStart.
    void AcceptAll(std::vector<std::shared_ptr<TConnection>>& ToStart) noexcept;

    const std::string FAddress;
    const std::uint16_t FPort;
    const bool FSecure;
    std::mutex FLock;
    int FFd = -1;                       // Guarded by FLock.
    sockaddr_storage FBound{};          // Guarded by FLock. The address and port bound.
    std::shared_ptr<TReactor> FReactor; // Guarded by FLock.
    std::shared_ptr<TRouter> FRouter;   // Guarded by FLock.
};

/// Maps a socket errno to the code the Windows listener gives for the same failure.
DWORD BindErrorToWin32(int Errno) noexcept;

} // namespace httpapi
