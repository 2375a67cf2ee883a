// TlsStream: the TLS layer of one accepted connection, over its non-blocking socket.
#pragma once

#include "platform/httpapi/CertStore.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <sys/uio.h>

typedef struct ssl_st SSL;

namespace httpapi {

/// A connection's TLS could not be set up (OpenSSL refused a new session for it).
class ETlsSetupError : public std::runtime_error {
public:
    ETlsSetupError() : std::runtime_error("TLS session set-up failed") {}
};

/// What the requests of one TLS connection report of it, in the Windows listener's terms:
/// key sizes in bits, names as "CN=..., O=..." text in the certificate's order, and the
/// protocol, cipher, hash and key exchange as the Windows security package's identifiers
/// (0 where that package has none).
struct TTlsFacts {
    std::uint16_t ServerCertKeySize = 0; // the server certificate's public key
    std::uint16_t ConnectionKeySize = 0; // the bulk cipher's key
    std::string ServerCertIssuer;
    std::string ServerCertSubject;
    std::uint32_t Protocol = 0; // SP_PROT_TLS1_x_SERVER
    std::uint32_t CipherType = 0;
    std::uint32_t CipherStrength = 0;
    std::uint32_t HashType = 0;
    std::uint32_t HashStrength = 0;
    std::uint32_t KeyExchangeType = 0;
    std::uint32_t KeyExchangeStrength = 0;
};

/// Server side of one TLS connection. Used under its connection's lock; not copyable. Calls
/// behave as recv/sendmsg on a non-blocking socket do: -1 with errno EAGAIN when the socket
/// cannot go on (the handshake included), another errno when the connection is broken.
class TTlsStream {
public:
    TTlsStream(std::shared_ptr<TTlsContext> Context, int Fd);
    ~TTlsStream();
    TTlsStream(const TTlsStream&) = delete;
    TTlsStream& operator=(const TTlsStream&) = delete;

    bool Valid() const noexcept { return FSsl != nullptr; }
    /// Decrypted bytes, 0 at the peer's end (close_notify or a plain close).
    ssize_t Receive(char* Buffer, std::size_t Length) noexcept;
    /// Encrypts and writes the vectors in order; returns how many of their bytes were taken.
    ssize_t Send(const iovec* Vectors, std::size_t Count) noexcept;
    /// Sends close_notify, if the socket takes it (before a graceful close).
    void Shutdown() noexcept;
    /// The last call stopped because the socket was full (even a read, in the handshake).
    bool WantsWrite() const noexcept { return FWantsWrite; }
    /// The session's facts, read once the handshake is complete (null before it, or when
    /// memory runs out); later calls return the same object.
    std::shared_ptr<const TTlsFacts> Facts() noexcept;

private:
    ssize_t Fail(int Result) noexcept;

    const std::shared_ptr<TTlsContext> FContext;
    SSL* FSsl = nullptr; // Owned.
    bool FWantsWrite = false;
    std::shared_ptr<const TTlsFacts> FFacts; // Shared with the requests that carry them.
};

} // namespace httpapi
