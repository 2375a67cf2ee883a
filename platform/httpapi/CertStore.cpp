// CertStore: server certificates found by thumbprint in a folder of PEM files.
#include "platform/httpapi/CertStore.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace httpapi {

namespace {

struct TBioFree {
    void operator()(BIO* Bio) const noexcept { BIO_free(Bio); }
};
struct TX509Free {
    void operator()(X509* Certificate) const noexcept { X509_free(Certificate); }
};
struct TKeyFree {
    void operator()(EVP_PKEY* Key) const noexcept { EVP_PKEY_free(Key); }
};
struct TContextFree {
    void operator()(SSL_CTX* Context) const noexcept { SSL_CTX_free(Context); }
};

bool Thumbprint(X509* Certificate, std::uint8_t (&Digest)[20]) {
    unsigned int Length = 0;
    return X509_digest(Certificate, EVP_sha1(), Digest, &Length) == 1 && Length == 20;
}

// A server context with this layer's settings and no certificate yet.
SSL_CTX* NewContext() {
    std::unique_ptr<SSL_CTX, TContextFree> Context(SSL_CTX_new(TLS_server_method()));
    if (!Context || SSL_CTX_set_min_proto_version(Context.get(), TLS1_2_VERSION) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    // Writes resume from a moved buffer and may complete in part (non-blocking sockets).
    SSL_CTX_set_mode(Context.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(Context.get(), SSL_OP_NO_RENEGOTIATION);
    return Context.release();
}

// The server context of one PEM file, when its first certificate has the thumbprint Hash.
SSL_CTX* ContextFromFile(const std::filesystem::path& File, const std::vector<std::uint8_t>& Hash) {
    std::unique_ptr<BIO, TBioFree> Bio(BIO_new_file(File.c_str(), "r"));
    if (!Bio) {
        return nullptr;
    }
    std::unique_ptr<X509, TX509Free> Leaf(PEM_read_bio_X509(Bio.get(), nullptr, nullptr, nullptr));
    std::uint8_t Digest[20];
    if (!Leaf || !Thumbprint(Leaf.get(), Digest) || std::memcmp(Digest, Hash.data(), 20) != 0) {
        return nullptr;
    }
    std::unique_ptr<SSL_CTX, TContextFree> Context(NewContext());
    if (!Context || SSL_CTX_use_certificate_chain_file(Context.get(), File.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(Context.get(), File.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(Context.get()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return Context.release();
}

} // namespace

std::string CertStoreFolder(const std::string& StoreName) {
    const std::string Name = StoreName.empty() ? "MY" : StoreName;
    if (Name == "." || Name == ".." || Name.find('/') != std::string::npos ||
        Name.find('\0') != std::string::npos) {
        return {};
    }
    const char* Root = std::getenv(CertStoreVariable);
    std::string Folder = Root != nullptr && *Root != '\0' ? Root : DefaultCertStoreRoot;
    Folder += '/';
    Folder += Name;
    return Folder;
}

TTlsContext::~TTlsContext() {
    SSL_CTX_free(FContext);
}

std::shared_ptr<TTlsContext> NewServerContext(std::shared_ptr<const void> Companion) {
    SSL_CTX* Context = NewContext();
    if (Context == nullptr) {
        return nullptr;
    }
    try {
        return std::make_shared<TTlsContext>(Context, std::move(Companion));
    } catch (...) {
        SSL_CTX_free(Context);
        throw;
    }
}

std::shared_ptr<TTlsContext> LoadServerContext(const std::string& StoreName,
                                               const std::vector<std::uint8_t>& Hash,
                                               DWORD& Error) {
    Error = ERROR_INVALID_PARAMETER;
    const std::string Folder = CertStoreFolder(StoreName);
    if (Hash.size() != 20 || Folder.empty()) {
        return nullptr;
    }
    Error = ERROR_FILE_NOT_FOUND;
    std::error_code Failed;
    for (const auto& Entry : std::filesystem::directory_iterator(Folder, Failed)) {
        if (Entry.path().extension() != ".pem") {
            continue;
        }
        if (SSL_CTX* Context = ContextFromFile(Entry.path(), Hash)) {
            Error = NO_ERROR;
            return std::make_shared<TTlsContext>(Context);
        }
    }
    return nullptr;
}

} // namespace httpapi
