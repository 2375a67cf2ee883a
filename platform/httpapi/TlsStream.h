// TlsStream: the TLS layer of one accepted connection, over its non-blocking socket.
#pragma once

#include "platform/httpapi/CertStore.h"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <sys/types.h>
#include <sys/uio.h>

typedef struct ssl_st SSL;

namespace httpapi {

/// A connection's TLS could not be set up (OpenSSL refused a new session for it).
class ETlsSetupError : public std::runtime_error {
public:
    ETlsSetupError() : std::runtime_error("TLS session set-up failed") {}
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

private:
    ssize_t Fail(int Result) noexcept;

    const std::shared_ptr<TTlsContext> FContext;
    SSL* FSsl = nullptr; // Owned.
    bool FWantsWrite = false;
};

} // namespace httpapi
