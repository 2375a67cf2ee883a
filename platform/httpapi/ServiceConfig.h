// ServiceConfig: the listener's configuration records (URL reservations, API-wide time-outs,
// SSL certificate bindings).
//
// Windows keeps these machine-wide and across reboots; here they live in the process's memory,
// from the first HttpSetServiceConfiguration to the end of the process.
#pragma once

#include "platform/httpapi/CertStore.h"

#include <atomic>
#include <cstdint>
#include <http.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace httpapi {

/// Safe for concurrent use.
class TServiceConfig {
public:
    DWORD Set(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Information, ULONG Length);
    DWORD Delete(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Information, ULONG Length);
    DWORD Query(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Input, ULONG InputLength, void* Output,
                ULONG OutputLength, ULONG* ReturnLength);

    std::uint16_t IdleConnection() const noexcept { return FIdle.load(); }
    std::uint16_t HeaderWait() const noexcept { return FHeaderWait.load(); }
    /// The TLS context bound to a connection's local address and port (the exact address
    /// first, then the wildcard address of its family), or nullptr.
    std::shared_ptr<TTlsContext> SslContext(const sockaddr_storage& Local);

private:
    DWORD WriteUrlAcl(const std::wstring& Prefix, const std::wstring& Sddl, void* Output,
                      ULONG OutputLength, ULONG* ReturnLength);

    // One SSL certificate binding (HttpServiceConfigSSLCertInfo), with the context made from
    // its certificate when it was set.
    struct TSslBinding {
        sockaddr_storage Address{};
        std::vector<std::uint8_t> Hash;
        GUID AppId{};
        std::wstring StoreName; // empty: "MY"
        DWORD CheckMode = 0;
        DWORD Freshness = 0;
        DWORD RetrievalTimeout = 0;
        DWORD Flags = 0;
        std::shared_ptr<TTlsContext> Context;
    };
    DWORD SetSsl(const void* Information, ULONG Length);
    DWORD DeleteSsl(const void* Information, ULONG Length);
    DWORD QuerySsl(const void* Input, ULONG InputLength, void* Output, ULONG OutputLength,
                   ULONG* ReturnLength);

    std::mutex FLock;
    std::map<std::string, TSslBinding> FSslBindings; // Guarded by FLock. By "address:port".
    std::map<std::string, std::pair<std::wstring, std::wstring>> FUrlAcls; // Guarded by FLock.
    std::atomic<std::uint16_t> FIdle{120};
    std::atomic<std::uint16_t> FHeaderWait{120};
};

/// The process's configuration store.
TServiceConfig& ServiceConfig();

} // namespace httpapi
