// ServiceConfig: the HTTP Server API's service configuration (URL reservations, SSL
// certificate bindings by address and by host name, API-wide time-outs, the IP listen list)
// over the store on disk that every process shares (ConfigStore), and what the listener takes
// from it: the certificate of a connection, the reservations a registration must satisfy, the
// time-outs, the addresses to listen on.
//
// As on Windows the records are machine-wide and survive the process; a record is changed by
// deleting it and setting it again (setting one that exists fails with ERROR_ALREADY_EXISTS).
#pragma once

#include "platform/httpapi/CertStore.h"
#include "platform/httpapi/ConfigStore.h"

#include <cstdint>
#include <http.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace httpapi {

struct TUrlPrefix;

/// Safe for concurrent use.
class TServiceConfig {
public:
    /// HttpSetServiceConfiguration, HttpDeleteServiceConfiguration and
    /// HttpQueryServiceConfiguration for one configuration id (the handle and overlapped checks
    /// are the caller's). ERROR_NOT_SUPPORTED for the ids this layer does not keep.
    DWORD Set(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Information, ULONG Length);
    DWORD Delete(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Information, ULONG Length);
    DWORD Query(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Input, ULONG InputLength, void* Output,
                ULONG OutputLength, ULONG* ReturnLength);

    /// The API-wide time-outs in seconds (120 when none is set, or the store cannot be read).
    std::uint16_t IdleConnection();
    std::uint16_t HeaderWait();
    /// The IP listen list (empty: listen on every address).
    std::vector<std::string> ListenAddresses();
    /// Whether the calling process may register Prefix: NO_ERROR, or ERROR_ACCESS_DENIED when
    /// the closest reservation covering it (same scheme, host and port, the longest path that
    /// is a prefix of its path) does not grant this user listen rights. A prefix no reservation
    /// covers may be registered; root may register anything. When the store cannot be read, its
    /// error.
    DWORD MayRegister(const TUrlPrefix& Prefix);
    /// The TLS context for a connection to Local: a host-name binding of its port chosen by the
    /// name the client sends (SNI), else the binding of its address and port, else of the
    /// wildcard address of its family; nullptr when none applies.
    std::shared_ptr<TTlsContext> SslContext(const sockaddr_storage& Local);

private:
    DWORD SetSsl(const void* Information, ULONG Length, bool Sni);
    DWORD DeleteSsl(const void* Information, ULONG Length, bool Sni);
    DWORD QuerySsl(const void* Input, ULONG InputLength, void* Output, ULONG OutputLength,
                   ULONG* ReturnLength, bool Sni);
    DWORD QueryUrlAcl(const void* Input, ULONG InputLength, void* Output, ULONG OutputLength,
                      ULONG* ReturnLength);
    DWORD QueryTimeout(const void* Input, ULONG InputLength, void* Output, ULONG OutputLength,
                       ULONG* ReturnLength);
    DWORD QueryListen(void* Output, ULONG OutputLength, ULONG* ReturnLength);
    std::uint16_t Timeout(const char* Name);
    /// The context of one binding's certificate, made once per reading of the store.
    std::shared_ptr<TTlsContext> ContextOf(const TSslRecord& Record);

    std::mutex FLock;
    // The contexts made from the records of FContextsOf; another reading starts afresh.
    std::shared_ptr<const TStoreRecords> FContextsOf;              // Guarded by FLock.
    std::map<std::string, std::shared_ptr<TTlsContext>> FContexts; // Guarded by FLock.
    std::map<std::uint16_t, std::shared_ptr<TTlsContext>> FByName; // Guarded by FLock. By port.
};

/// The process's service configuration.
TServiceConfig& ServiceConfig();

} // namespace httpapi
