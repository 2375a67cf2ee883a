// TlsStream: the TLS layer of one accepted connection.
#include "platform/httpapi/TlsStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <tuple>
#include <utility>

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

// The Windows security package's identifiers (schannel.h, wincrypt.h).
constexpr std::uint32_t SpProtTls10Server = 0x40;
constexpr std::uint32_t SpProtTls11Server = 0x100;
constexpr std::uint32_t SpProtTls12Server = 0x400;
constexpr std::uint32_t SpProtTls13Server = 0x1000;
constexpr std::uint32_t CalgDes = 0x6601;
constexpr std::uint32_t Calg3Des = 0x6603;
constexpr std::uint32_t CalgAes128 = 0x660e;
constexpr std::uint32_t CalgAes192 = 0x660f;
constexpr std::uint32_t CalgAes256 = 0x6610;
constexpr std::uint32_t CalgMd5 = 0x8003;
constexpr std::uint32_t CalgSha1 = 0x8004;
constexpr std::uint32_t CalgSha256 = 0x800c;
constexpr std::uint32_t CalgSha384 = 0x800d;
constexpr std::uint32_t CalgSha512 = 0x800e;
constexpr std::uint32_t CalgRsaKeyx = 0xa400;
constexpr std::uint32_t CalgDhEphem = 0xaa02;
constexpr std::uint32_t CalgEcdhEphem = 0xae06;

std::uint32_t ProtocolId(int Version) noexcept {
    switch (Version) {
    case TLS1_VERSION:
        return SpProtTls10Server;
    case TLS1_1_VERSION:
        return SpProtTls11Server;
    case TLS1_2_VERSION:
        return SpProtTls12Server;
    case TLS1_3_VERSION:
        return SpProtTls13Server;
    default:
        return 0;
    }
}

std::uint32_t CipherId(int Nid) noexcept {
    switch (Nid) {
    case NID_aes_128_gcm:
    case NID_aes_128_cbc:
    case NID_aes_128_ccm:
        return CalgAes128;
    case NID_aes_192_gcm:
    case NID_aes_192_cbc:
        return CalgAes192;
    case NID_aes_256_gcm:
    case NID_aes_256_cbc:
    case NID_aes_256_ccm:
        return CalgAes256;
    case NID_des_ede3_cbc:
        return Calg3Des;
    case NID_des_cbc:
        return CalgDes;
    default:
        return 0; // ChaCha20-Poly1305 and others have no identifier there
    }
}

// The digest of the handshake (for AEAD suites the only one the suite names), and its bits.
std::pair<std::uint32_t, std::uint32_t> HashId(const EVP_MD* Digest) noexcept {
    if (Digest == nullptr) {
        return {0, 0};
    }
    const std::uint32_t Bits = static_cast<std::uint32_t>(EVP_MD_get_size(Digest)) * 8;
    switch (EVP_MD_get_type(Digest)) {
    case NID_md5:
        return {CalgMd5, Bits};
    case NID_sha1:
        return {CalgSha1, Bits};
    case NID_sha256:
        return {CalgSha256, Bits};
    case NID_sha384:
        return {CalgSha384, Bits};
    case NID_sha512:
        return {CalgSha512, Bits};
    default:
        return {0, Bits};
    }
}

// The key exchange of a named group, and its size in bits; {0, 0} for none.
std::pair<std::uint32_t, std::uint32_t> GroupId(int Nid) noexcept {
    switch (Nid) {
    case NID_X9_62_prime256v1:
        return {CalgEcdhEphem, 256};
    case NID_secp384r1:
        return {CalgEcdhEphem, 384};
    case NID_secp521r1:
        return {CalgEcdhEphem, 521};
    case NID_X25519:
        return {CalgEcdhEphem, 255};
    case NID_X448:
        return {CalgEcdhEphem, 448};
    case NID_ffdhe2048:
        return {CalgDhEphem, 2048};
    case NID_ffdhe3072:
        return {CalgDhEphem, 3072};
    case NID_ffdhe4096:
        return {CalgDhEphem, 4096};
    case NID_ffdhe6144:
        return {CalgDhEphem, 6144};
    case NID_ffdhe8192:
        return {CalgDhEphem, 8192};
    default:
        return {0, 0};
    }
}

// "CN=..., O=..." in the certificate's order; UTF-8 kept as it is.
std::string NameText(const X509_NAME* Name) {
    std::string Text;
    BIO* Out = BIO_new(BIO_s_mem());
    if (Out == nullptr) {
        return Text;
    }
    constexpr unsigned long Flags = XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | ASN1_STRFLGS_ESC_2253 |
                                    ASN1_STRFLGS_ESC_CTRL | ASN1_STRFLGS_UTF8_CONVERT;
    if (X509_NAME_print_ex(Out, Name, 0, Flags) >= 0) {
        char* Data = nullptr;
        const long Size = BIO_get_mem_data(Out, &Data);
        if (Size > 0 && Data != nullptr) {
            Text.assign(Data, static_cast<std::size_t>(Size));
        }
    }
    BIO_free(Out);
    return Text;
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

std::shared_ptr<const TTlsFacts> TTlsStream::Facts() noexcept {
    if (FFacts || FSsl == nullptr || !SSL_is_init_finished(FSsl)) {
        return FFacts;
    }
    try {
        auto Facts = std::make_shared<TTlsFacts>();
        Facts->Protocol = ProtocolId(SSL_version(FSsl));
        if (const SSL_CIPHER* Cipher = SSL_get_current_cipher(FSsl)) {
            const int Bits = SSL_CIPHER_get_bits(Cipher, nullptr);
            Facts->ConnectionKeySize = static_cast<std::uint16_t>(Bits);
            Facts->CipherStrength = static_cast<std::uint32_t>(Bits);
            Facts->CipherType = CipherId(SSL_CIPHER_get_cipher_nid(Cipher));
            std::tie(Facts->HashType, Facts->HashStrength) =
                HashId(SSL_CIPHER_get_handshake_digest(Cipher));
            const int Exchange = SSL_CIPHER_get_kx_nid(Cipher);
            Facts->KeyExchangeType = Exchange == NID_kx_rsa   ? CalgRsaKeyx
                                     : Exchange == NID_kx_dhe ? CalgDhEphem
                                                              : CalgEcdhEphem;
            const auto [Type, Size] = GroupId(SSL_get_negotiated_group(FSsl));
            if (Type != 0) {
                Facts->KeyExchangeType = Type;
                Facts->KeyExchangeStrength = Size;
            }
        }
        if (X509* Certificate = SSL_get_certificate(FSsl)) {
            if (EVP_PKEY* Key = X509_get0_pubkey(Certificate)) {
                Facts->ServerCertKeySize = static_cast<std::uint16_t>(EVP_PKEY_get_bits(Key));
            }
            Facts->ServerCertIssuer = NameText(X509_get_issuer_name(Certificate));
            Facts->ServerCertSubject = NameText(X509_get_subject_name(Certificate));
        }
        ERR_clear_error();
        FFacts = std::move(Facts);
    } catch (...) {
        // Out of memory: the request goes without them.
    }
    return FFacts;
}

void TTlsStream::Shutdown() noexcept {
    if (FSsl != nullptr && SSL_is_init_finished(FSsl)) {
        SSL_shutdown(FSsl);
        ERR_clear_error();
    }
}

} // namespace httpapi
