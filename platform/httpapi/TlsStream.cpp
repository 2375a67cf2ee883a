// TlsStream: the TLS layer of one accepted connection.
#include "platform/httpapi/TlsStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

namespace httpapi {

namespace {

// One TLS record's worth: small pieces are gathered so that each goes out in one record.
constexpr std::size_t RecordBytes = 16384;

// OpenSSL's socket BIO writes with write(): a peer that has gone would raise SIGPIPE and end
// the whole process. This one is the same but sends with MSG_NOSIGNAL.
int SendNoSignal(BIO* Bio, const char* Data, int Size) {
    errno = 0;
    const ssize_t Sent = send(static_cast<int>(BIO_get_fd(Bio, nullptr)), Data,
                              static_cast<std::size_t>(Size), MSG_NOSIGNAL);
    BIO_clear_retry_flags(Bio);
    if (Sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(Bio);
    }
    return static_cast<int>(Sent);
}

const BIO_METHOD* SocketMethod() noexcept {
    static BIO_METHOD* const Method = [] {
        const BIO_METHOD* Base = BIO_s_socket();
        BIO_METHOD* Made = BIO_meth_new(BIO_TYPE_SOCKET, "httpapi socket");
        if (Made != nullptr) {
            BIO_meth_set_write(Made, SendNoSignal);
            BIO_meth_set_read(Made, BIO_meth_get_read(Base));
            BIO_meth_set_puts(Made, BIO_meth_get_puts(Base));
            BIO_meth_set_ctrl(Made, BIO_meth_get_ctrl(Base));
            BIO_meth_set_create(Made, BIO_meth_get_create(Base));
            BIO_meth_set_destroy(Made, BIO_meth_get_destroy(Base));
        }
        return Made;
    }();
    return Method;
}

} // namespace

TTlsStream::TTlsStream(std::shared_ptr<TTlsContext> Context, int Fd)
    : FContext(std::move(Context)) {
    FSsl = SSL_new(FContext->Context());
    BIO* Bio = SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (FSsl == nullptr || Bio == nullptr) {
        BIO_free(Bio);
        SSL_free(FSsl);
        FSsl = nullptr;
        return;
    }
    BIO_set_fd(Bio, Fd, BIO_NOCLOSE);
    SSL_set_bio(FSsl, Bio, Bio);
    if (FSsl != nullptr) {
        SSL_set_accept_state(FSsl);
    }
}

TTlsStream::~TTlsStream() {
    SSL_free(FSsl);
}

ssize_t TTlsStream::Fail(int Result) noexcept {
    const int Error = SSL_get_error(FSsl, Result);
    ERR_clear_error();
    switch (Error) {
    case SSL_ERROR_WANT_READ:
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_WANT_WRITE:
        FWantsWrite = true;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL:
        if (errno == 0 || errno == EAGAIN) {
            return 0; // the peer closed without close_notify: its end all the same
        }
        return -1;
    default:
        errno = ECONNRESET; // a broken handshake or record
        return -1;
    }
}

ssize_t TTlsStream::Receive(char* Buffer, std::size_t Length) noexcept {
    FWantsWrite = false;
    errno = 0;
    const int Result =
        SSL_read(FSsl, Buffer, static_cast<int>(std::min<std::size_t>(Length, 1 << 30)));
    return Result > 0 ? Result : Fail(Result);
}

ssize_t TTlsStream::Send(const iovec* Vectors, std::size_t Count) noexcept {
    FWantsWrite = false;
    ssize_t Taken = 0;
    char Gathered[RecordBytes];
    std::size_t Index = 0;
    std::size_t Offset = 0; // into Vectors[Index]
    while (Index < Count) {
        const char* Data = nullptr;
        std::size_t Size = 0;
        const std::size_t Left = Vectors[Index].iov_len - Offset;
        if (Left >= RecordBytes || Index + 1 == Count) {
            Data = static_cast<const char*>(Vectors[Index].iov_base) + Offset;
            Size = std::min(Left, std::size_t(1) << 30);
        } else {
            // Gather small pieces (a head and its body) into one record.
            std::size_t I = Index;
            std::size_t O = Offset;
            while (I < Count && Size < RecordBytes) {
                const std::size_t Take = std::min(Vectors[I].iov_len - O, RecordBytes - Size);
                std::memcpy(Gathered + Size, static_cast<const char*>(Vectors[I].iov_base) + O,
                            Take);
                Size += Take;
                O += Take;
                if (O == Vectors[I].iov_len) {
                    ++I;
                    O = 0;
                }
            }
            Data = Gathered;
        }
        if (Size == 0) {
            ++Index;
            Offset = 0;
            continue;
        }
        errno = 0;
        const int Result = SSL_write(FSsl, Data, static_cast<int>(Size));
        if (Result <= 0) {
            const ssize_t Failed = Fail(Result);
            if (Taken > 0 && (Failed < 0 && errno == EAGAIN)) {
                return Taken;
            }
            if (Failed == 0) {
                errno = EPIPE;
            }
            return Taken > 0 ? Taken : -1;
        }
        Taken += Result;
        // Advance over what was written.
        std::size_t Done = static_cast<std::size_t>(Result);
        while (Done > 0 && Index < Count) {
            const std::size_t Step = std::min(Done, Vectors[Index].iov_len - Offset);
            Done -= Step;
            Offset += Step;
            if (Offset == Vectors[Index].iov_len) {
                ++Index;
                Offset = 0;
            }
        }
        if (static_cast<std::size_t>(Result) < Size) {
            return Taken; // the socket took part of it: the caller keeps the rest
        }
    }
    return Taken;
}

void TTlsStream::Shutdown() noexcept {
    if (FSsl != nullptr && SSL_is_init_finished(FSsl)) {
        SSL_shutdown(FSsl);
        ERR_clear_error();
    }
}

} // namespace httpapi
