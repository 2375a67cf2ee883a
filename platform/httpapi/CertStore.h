// CertStore: server certificates for https prefixes, found by their SHA-1 thumbprint in a
// folder of PEM files, and the TLS server contexts made from them.
//
// The store is a folder per store name under one root: <root>/<store name>/*.pem ("MY" when a
// binding names no store). Each PEM file holds a certificate (first), any chain certificates
// after it, and the private key. The root is /var/lib/httpapi/certstore unless the environment
// variable HTTPAPI_CERTSTORE names another folder (tests use a temporary one).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <windows.h>

typedef struct ssl_ctx_st SSL_CTX;

namespace httpapi {

inline constexpr const char* DefaultCertStoreRoot = "/var/lib/httpapi/certstore";
inline constexpr const char* CertStoreVariable = "HTTPAPI_CERTSTORE";

/// The folder of the store called StoreName ("" means "MY"); empty for a name that is not a
/// plain folder name.
std::string CertStoreFolder(const std::string& StoreName);

/// A TLS server context holding one certificate and its key (or, for a context that picks one
/// by the name the client asks for, none). Immutable; shared by connections.
class TTlsContext {
public:
    /// Companion: what the context's callbacks read, kept alive as long as the context.
    explicit TTlsContext(SSL_CTX* Context, std::shared_ptr<const void> Companion = {}) noexcept
        : FContext(Context)
        , FCompanion(std::move(Companion)) {}
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;
    SSL_CTX* Context() const noexcept { return FContext; }

private:
    SSL_CTX* const FContext; // Owned.
    const std::shared_ptr<const void> FCompanion;
};

/// A server context with the settings of LoadServerContext's and no certificate (a certificate
/// is chosen later, by the client's server name); nullptr when OpenSSL has no memory.
std::shared_ptr<TTlsContext> NewServerContext(std::shared_ptr<const void> Companion);

/// Finds the certificate whose SHA-1 thumbprint is Hash in the store and makes a server context
/// of it. Error: ERROR_FILE_NOT_FOUND (no such certificate or no usable key with it),
/// ERROR_INVALID_PARAMETER (a hash that is not 20 bytes or a bad store name).
std::shared_ptr<TTlsContext> LoadServerContext(const std::string& StoreName,
                                               const std::vector<std::uint8_t>& Hash, DWORD& Error);

} // namespace httpapi
