// TLS integration: certificate bindings through the service configuration, a certificate store
// of PEM files, and https and upgraded (wss-style) connections served over TLS.
#include "testing/HttpTestClient.h"
#include "testing/TestCertificate.h"
#include "testing/TestConfigStore.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <http.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

constexpr HTTPAPI_VERSION Version2 = HTTPAPI_VERSION_2;

// A throw-away certificate in a temporary store, found through HTTPAPI_CERTSTORE, and a service
// configuration of the test's own for the bindings it makes.
struct TCertificate : testsupport::TTestCertificate {
    httpapi::testing::TTestConfigStore Store;
};

ULONG Bind(const std::string& Ip, std::uint16_t Port, const std::vector<std::uint8_t>& Hash,
           bool Delete = false) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    inet_pton(AF_INET, Ip.c_str(), &Address.sin_addr);
    HTTP_SERVICE_CONFIG_SSL_SET Set{};
    Set.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&Address);
    Set.ParamDesc.SslHashLength = static_cast<ULONG>(Hash.size());
    Set.ParamDesc.pSslHash = const_cast<std::uint8_t*>(Hash.data());
    Set.ParamDesc.AppId.Data1 = 0x1234;
    return Delete ? HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                                   sizeof(Set), nullptr)
                  : HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                                sizeof(Set), nullptr);
}

// A blocking TLS client over a loopback socket; every read waits at most ten seconds.
class TTlsClient {
public:
    /// MaxVersion (TLS1_2_VERSION, ...), Ciphers (a TLS 1.2 cipher list or TLS 1.3 suites)
    /// and Groups limit what the client offers; 0 and null leave OpenSSL's defaults.
    explicit TTlsClient(std::uint16_t Port, int MaxVersion = 0, const char* Ciphers = nullptr,
                        const char* Groups = nullptr) {
        signal(SIGPIPE, SIG_IGN); // OpenSSL writes with write(): a refused peer must not kill us
        FContext = SSL_CTX_new(TLS_client_method());
        if (MaxVersion != 0) {
            SSL_CTX_set_max_proto_version(FContext, MaxVersion);
        }
        if (Ciphers != nullptr) {
            if (MaxVersion == TLS1_2_VERSION) {
                SSL_CTX_set_cipher_list(FContext, Ciphers);
            } else {
                SSL_CTX_set_ciphersuites(FContext, Ciphers);
            }
        }
        if (Groups != nullptr) {
            SSL_CTX_set1_groups_list(FContext, Groups);
        }
        FFd = ConnectTcp(Port);
        if (FFd < 0) {
            return;
        }
        timeval Wait{10, 0};
        setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &Wait, sizeof(Wait));
        FSsl = SSL_new(FContext);
        SSL_set_fd(FSsl, FFd);
        FConnected = SSL_connect(FSsl) == 1;
    }
    ~TTlsClient() {
        if (FSsl != nullptr) {
            SSL_free(FSsl);
        }
        SSL_CTX_free(FContext);
        if (FFd >= 0) {
            close(FFd);
        }
    }
    bool Connected() const { return FConnected; }
    bool Send(const std::string& Text) {
        return SSL_write(FSsl, Text.data(), static_cast<int>(Text.size())) ==
               static_cast<int>(Text.size());
    }
    /// Reads until Text holds Terminator (or Count bytes); empty on failure.
    std::string ReadUntil(const std::string& Terminator, std::size_t Count = 0) {
        while ((Count == 0 || FBuffer.size() < Count) &&
               (Terminator.empty() || FBuffer.find(Terminator) == std::string::npos)) {
            char Chunk[4096];
            const int Got = SSL_read(FSsl, Chunk, sizeof(Chunk));
            if (Got <= 0) {
                return {};
            }
            FBuffer.append(Chunk, static_cast<std::size_t>(Got));
        }
        const std::size_t End = Count != 0 ? Count : FBuffer.find(Terminator) + Terminator.size();
        std::string Result = FBuffer.substr(0, End);
        FBuffer.erase(0, End);
        return Result;
    }

private:
    SSL_CTX* FContext = nullptr;
    SSL* FSsl = nullptr;
    int FFd = -1;
    bool FConnected = false;
    std::string FBuffer;
};

struct TRecord {
    alignas(8) char Bytes[sizeof(HTTP_REQUEST) + 8192];
    HTTP_REQUEST* Get() { return reinterpret_cast<HTTP_REQUEST*>(Bytes); }
};

// An https prefix on a free port with the certificate bound to it, its queue ready to serve.
class TTlsServer {
public:
    explicit TTlsServer(const TCertificate& Certificate) {
        EXPECT_EQ(
            HttpInitialize(Version2, HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr),
            NO_ERROR);
        EXPECT_EQ(HttpCreateServerSession(Version2, &FSession, 0), NO_ERROR);
        EXPECT_EQ(HttpCreateUrlGroup(FSession, &FGroup, 0), NO_ERROR);
        EXPECT_EQ(HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &FQueue), NO_ERROR);
        HTTP_BINDING_INFO Binding{};
        Binding.Flags.Present = 1;
        Binding.RequestQueueHandle = FQueue;
        EXPECT_EQ(
            HttpSetUrlGroupProperty(FGroup, HttpServerBindingProperty, &Binding, sizeof(Binding)),
            NO_ERROR);
        for (int Attempt = 0; Attempt < 20 && FPort == 0; ++Attempt) {
            const std::uint16_t Candidate = FreePort();
            const std::wstring Url = L"https://127.0.0.1:" + std::to_wstring(Candidate) + L"/";
            if (HttpAddUrlToUrlGroup(FGroup, Url.c_str(), 0, 0) == NO_ERROR) {
                FPort = Candidate;
            }
        }
        EXPECT_NE(FPort, 0);
        FHash = Certificate.Hash();
        EXPECT_EQ(Bind("0.0.0.0", FPort, FHash), NO_ERROR);
    }
    ~TTlsServer() {
        EXPECT_EQ(Bind("0.0.0.0", FPort, FHash, true), NO_ERROR);
        EXPECT_EQ(HttpCloseRequestQueue(FQueue), NO_ERROR);
        EXPECT_EQ(HttpRemoveUrlFromUrlGroup(FGroup, nullptr, HTTP_URL_FLAG_REMOVE_ALL), NO_ERROR);
        EXPECT_EQ(HttpCloseUrlGroup(FGroup), NO_ERROR);
        EXPECT_EQ(HttpCloseServerSession(FSession), NO_ERROR);
        EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr),
                  NO_ERROR);
    }
    HANDLE Queue() const { return FQueue; }
    std::uint16_t Port() const { return FPort; }

private:
    HTTP_SERVER_SESSION_ID FSession = 0;
    HTTP_URL_GROUP_ID FGroup = 0;
    HANDLE FQueue = nullptr;
    std::uint16_t FPort = 0;
    std::vector<std::uint8_t> FHash;
};

} // namespace

// Certificate bindings: set, duplicate (183), query, delete, and a hash the store lacks.
TEST(HttpApiTls, CertificateBindings) {
    TCertificate Certificate;
    ASSERT_EQ(Certificate.Hash().size(), 20u);
    ASSERT_EQ(HttpInitialize(Version2, HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
    const std::uint16_t Port = FreePort();
    ASSERT_EQ(Bind("127.0.0.1", Port, Certificate.Hash()), NO_ERROR);
    EXPECT_EQ(Bind("127.0.0.1", Port, Certificate.Hash()), ERROR_ALREADY_EXISTS);

    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    inet_pton(AF_INET, "127.0.0.1", &Address.sin_addr);
    HTTP_SERVICE_CONFIG_SSL_QUERY Query{};
    Query.QueryDesc = HttpServiceConfigQueryExact;
    Query.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&Address);
    ULONG Needed = 0;
    EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Query,
                                            sizeof(Query), nullptr, 0, &Needed, nullptr),
              ERROR_INSUFFICIENT_BUFFER);
    std::vector<std::uint64_t> Output(Needed / 8 + 1);
    ASSERT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Query,
                                            sizeof(Query), Output.data(), Needed, &Needed, nullptr),
              NO_ERROR);
    const auto* Found = reinterpret_cast<const HTTP_SERVICE_CONFIG_SSL_SET*>(Output.data());
    ASSERT_EQ(Found->ParamDesc.SslHashLength, 20u);
    EXPECT_EQ(std::memcmp(Found->ParamDesc.pSslHash, Certificate.Hash().data(), 20), 0);
    EXPECT_EQ(Found->ParamDesc.AppId.Data1, 0x1234u);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(Found->KeyDesc.pIpPort)->sin_port, htons(Port));

    EXPECT_EQ(Bind("127.0.0.1", Port, Certificate.Hash(), true), NO_ERROR);
    EXPECT_EQ(Bind("127.0.0.1", Port, Certificate.Hash(), true), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Query,
                                            sizeof(Query), Output.data(), Needed, &Needed, nullptr),
              ERROR_FILE_NOT_FOUND);
    std::vector<std::uint8_t> Other = Certificate.Hash();
    Other[0] ^= 0xFF;
    EXPECT_EQ(Bind("127.0.0.1", Port, Other), ERROR_NO_SUCH_LOGON_SESSION);
    EXPECT_EQ(Bind("127.0.0.1", Port, std::vector<std::uint8_t>(19, 1)),
              ERROR_NO_SUCH_LOGON_SESSION);
    EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
}

// An https prefix is served over TLS; an upgraded connection echoes raw bytes over TLS too.
TEST(HttpApiTls, HttpsAndUpgradedConnections) {
    TCertificate Certificate;
    ASSERT_EQ(HttpInitialize(Version2, HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr),
              NO_ERROR);
    HTTP_SERVER_SESSION_ID Session = 0;
    HTTP_URL_GROUP_ID Group = 0;
    HANDLE Queue = nullptr;
    ASSERT_EQ(HttpCreateServerSession(Version2, &Session, 0), NO_ERROR);
    ASSERT_EQ(HttpCreateUrlGroup(Session, &Group, 0), NO_ERROR);
    ASSERT_EQ(HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &Queue), NO_ERROR);
    HTTP_BINDING_INFO Binding{};
    Binding.Flags.Present = 1;
    Binding.RequestQueueHandle = Queue;
    ASSERT_EQ(HttpSetUrlGroupProperty(Group, HttpServerBindingProperty, &Binding, sizeof(Binding)),
              NO_ERROR);
    std::uint16_t Port = 0;
    for (int Attempt = 0; Attempt < 20 && Port == 0; ++Attempt) {
        const std::uint16_t Candidate = FreePort();
        const std::wstring Url = L"https://127.0.0.1:" + std::to_wstring(Candidate) + L"/";
        if (HttpAddUrlToUrlGroup(Group, Url.c_str(), 0, 0) == NO_ERROR) {
            Port = Candidate;
        }
    }
    ASSERT_NE(Port, 0);
    const std::wstring Plain = L"http://127.0.0.1:" + std::to_wstring(Port) + L"/plain/";
    EXPECT_EQ(HttpAddUrlToUrlGroup(Group, Plain.c_str(), 0, 0), ERROR_INVALID_PARAMETER);

    // No certificate bound yet: the handshake fails.
    {
        TTlsClient Client(Port);
        EXPECT_FALSE(Client.Connected());
    }
    ASSERT_EQ(Bind("0.0.0.0", Port, Certificate.Hash()), NO_ERROR);
    {
        // Plain HTTP to a TLS port is no handshake: the connection ends, nothing is delivered.
        THttpTestClient Plain(Port);
        Plain.Send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_TRUE(Plain.ReadToEnd().has_value());
    }
    {
        TTlsClient Client(Port);
        ASSERT_TRUE(Client.Connected());
        ASSERT_TRUE(Client.Send("GET /hello?x=1 HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        TRecord Record;
        ULONG Bytes = 0;
        ASSERT_EQ(HttpReceiveHttpRequest(Queue, HTTP_NULL_ID, 0, Record.Get(), sizeof(Record.Bytes),
                                         &Bytes, nullptr),
                  NO_ERROR);
        const std::wstring Full(Record.Get()->CookedUrl.pFullUrl,
                                Record.Get()->CookedUrl.FullUrlLength / sizeof(wchar_t));
        EXPECT_EQ(Full, L"https://localhost/hello?x=1"); // the host as the client named it
        HTTP_RESPONSE Response{};
        Response.StatusCode = 200;
        HTTP_DATA_CHUNK Chunk{};
        Chunk.DataChunkType = HttpDataChunkFromMemory;
        Chunk.FromMemory.pBuffer = const_cast<char*>("hello");
        Chunk.FromMemory.BufferLength = 5;
        Response.EntityChunkCount = 1;
        Response.pEntityChunks = &Chunk;
        ASSERT_EQ(HttpSendHttpResponse(Queue, Record.Get()->RequestId, 0, &Response, nullptr,
                                       nullptr, nullptr, 0, nullptr, nullptr),
                  NO_ERROR);
        const std::string Head = Client.ReadUntil("\r\n\r\n");
        EXPECT_EQ(Head.rfind("HTTP/1.1 200 ", 0), 0u) << Head;
        EXPECT_EQ(Client.ReadUntil("", 5), "hello");
    }
    {
        TTlsClient Client(Port);
        ASSERT_TRUE(Client.Connected());
        ASSERT_TRUE(Client.Send("GET /chat HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\n\r\n"));
        TRecord Record;
        ULONG Bytes = 0;
        ASSERT_EQ(HttpReceiveHttpRequest(Queue, HTTP_NULL_ID, 0, Record.Get(), sizeof(Record.Bytes),
                                         &Bytes, nullptr),
                  NO_ERROR);
        const HTTP_REQUEST_ID Id = Record.Get()->RequestId;
        HTTP_RESPONSE Response{};
        Response.StatusCode = 101;
        ASSERT_EQ(HttpSendHttpResponse(
                      Queue, Id, HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                      &Response, nullptr, nullptr, nullptr, 0, nullptr, nullptr),
                  NO_ERROR);
        EXPECT_EQ(Client.ReadUntil("\r\n\r\n").rfind("HTTP/1.1 101 ", 0), 0u);
        // Large enough to span several TLS records both ways.
        std::string Message(100000, 'm');
        for (std::size_t I = 0; I < Message.size(); I += 7) {
            Message[I] = static_cast<char>('a' + I % 26);
        }
        ASSERT_TRUE(Client.Send(Message));
        std::string Echoed;
        std::vector<char> Buffer(16384);
        while (Echoed.size() < Message.size()) {
            OVERLAPPED Read{};
            Read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            ULONG Got = 0;
            ULONG Result = HttpReceiveRequestEntityBody(
                Queue, Id, 0, Buffer.data(), static_cast<ULONG>(Buffer.size()), &Got, &Read);
            if (Result == ERROR_IO_PENDING) {
                EXPECT_EQ(WaitForSingleObject(Read.hEvent, 10000), WAIT_OBJECT_0);
                DWORD Transferred = 0;
                Result = GetOverlappedResult(Queue, &Read, &Transferred, FALSE) ? NO_ERROR
                                                                                : GetLastError();
                Got = Transferred;
            }
            CloseHandle(Read.hEvent);
            ASSERT_EQ(Result, NO_ERROR);
            HTTP_DATA_CHUNK Chunk{};
            Chunk.DataChunkType = HttpDataChunkFromMemory;
            Chunk.FromMemory.pBuffer = Buffer.data();
            Chunk.FromMemory.BufferLength = Got;
            ASSERT_EQ(HttpSendResponseEntityBody(Queue, Id, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, 1,
                                                 &Chunk, nullptr, nullptr, 0, nullptr, nullptr),
                      NO_ERROR);
            Echoed.append(Buffer.data(), Got);
        }
        EXPECT_EQ(Client.ReadUntil("", Message.size()), Message);
        EXPECT_EQ(HttpSendResponseEntityBody(Queue, Id, HTTP_SEND_RESPONSE_FLAG_DISCONNECT, 0,
                                             nullptr, nullptr, nullptr, 0, nullptr, nullptr),
                  NO_ERROR);
        EXPECT_EQ(Client.ReadUntil("x"), ""); // close_notify, then the end
    }
    EXPECT_EQ(Bind("0.0.0.0", Port, Certificate.Hash(), true), NO_ERROR);
    EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
    EXPECT_EQ(HttpRemoveUrlFromUrlGroup(Group, nullptr, HTTP_URL_FLAG_REMOVE_ALL), NO_ERROR);
    EXPECT_EQ(HttpCloseUrlGroup(Group), NO_ERROR);
    EXPECT_EQ(HttpCloseServerSession(Session), NO_ERROR);
    EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
}

// A request that came over TLS says so as the Windows listener does: pSslInfo with the key
// sizes and the certificate's names, and an SslProtocol entry with protocol, cipher, hash and
// key exchange (they were missing: a TLS request looked like a plain one).
TEST(HttpApiTls, ARequestOverTlsCarriesItsTlsFacts) {
    // The Windows security package's identifiers.
    constexpr ULONG Tls12 = 0x400;       // SP_PROT_TLS1_2_SERVER
    constexpr ULONG Tls13 = 0x1000;      // SP_PROT_TLS1_3_SERVER
    constexpr ALG_ID Aes128 = 0x660e;    // CALG_AES_128
    constexpr ALG_ID Aes256 = 0x6610;    // CALG_AES_256
    constexpr ALG_ID Sha256 = 0x800c;    // CALG_SHA_256
    constexpr ALG_ID Sha384 = 0x800d;    // CALG_SHA_384
    constexpr ALG_ID EcdhEphem = 0xae06; // CALG_ECDH_EPHEM
    struct TCase {
        const char* Name;
        int MaxVersion;
        const char* Ciphers;
        const char* Group;
        ULONG Protocol;
        ALG_ID Cipher; // 0: one the security package has no identifier for
        ULONG Bits;
        ALG_ID Hash;
        ULONG HashBits;
        ULONG ExchangeBits;
    };
    const TCase Cases[] = {
        {"TLS 1.3 AES-128", 0, "TLS_AES_128_GCM_SHA256", "P-256", Tls13, Aes128, 128, Sha256, 256,
         256},
        {"TLS 1.3 AES-256", 0, "TLS_AES_256_GCM_SHA384", "X25519", Tls13, Aes256, 256, Sha384, 384,
         255},
        {"TLS 1.3 ChaCha20", 0, "TLS_CHACHA20_POLY1305_SHA256", "P-384", Tls13, 0, 256, Sha256, 256,
         384},
        {"TLS 1.2 AES-128", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256", "P-256", Tls12, Aes128,
         128, Sha256, 256, 256},
        {"TLS 1.2 AES-256", TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384", "P-256", Tls12, Aes256,
         256, Sha384, 384, 256},
    };
    TCertificate Certificate;
    TTlsServer Server(Certificate);
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TTlsClient Client(Server.Port(), Case.MaxVersion, Case.Ciphers, Case.Group);
        ASSERT_TRUE(Client.Connected());
        // Two requests on the connection: both carry the facts.
        for (int Round = 0; Round < 2; ++Round) {
            ASSERT_TRUE(Client.Send("GET /facts HTTP/1.1\r\nHost: localhost\r\n\r\n"));
            TRecord Record;
            ULONG Bytes = 0;
            ASSERT_EQ(HttpReceiveHttpRequest(Server.Queue(), HTTP_NULL_ID, 0, Record.Get(),
                                             sizeof(Record.Bytes), &Bytes, nullptr),
                      NO_ERROR);
            const HTTP_REQUEST& Request = *Record.Get();
            EXPECT_NE(Request.RawConnectionId, HTTP_NULL_ID);
            ASSERT_NE(Request.pSslInfo, nullptr);
            const HTTP_SSL_INFO& Ssl = *Request.pSslInfo;
            EXPECT_EQ(Ssl.ServerCertKeySize, 256); // the certificate's P-256 key
            EXPECT_EQ(Ssl.ConnectionKeySize, Case.Bits);
            ASSERT_NE(Ssl.pServerCertIssuer, nullptr);
            ASSERT_NE(Ssl.pServerCertSubject, nullptr);
            EXPECT_STREQ(Ssl.pServerCertIssuer, "CN=localhost"); // self-signed
            EXPECT_STREQ(Ssl.pServerCertSubject, "CN=localhost");
            EXPECT_EQ(Ssl.ServerCertIssuerSize, 12u);
            EXPECT_EQ(Ssl.ServerCertSubjectSize, 12u);
            EXPECT_EQ(Ssl.pClientCertInfo, nullptr);
            EXPECT_EQ(Ssl.SslClientCertNegotiated, 0u);
            ASSERT_EQ(Request.RequestInfoCount, 1);
            const HTTP_REQUEST_INFO& Info = Request.pRequestInfo[0];
            EXPECT_EQ(Info.InfoType, HttpRequestInfoTypeSslProtocol);
            ASSERT_EQ(Info.InfoLength, sizeof(HTTP_SSL_PROTOCOL_INFO));
            const auto& Protocol = *static_cast<const HTTP_SSL_PROTOCOL_INFO*>(Info.pInfo);
            EXPECT_EQ(Protocol.Protocol, Case.Protocol);
            EXPECT_EQ(Protocol.CipherType, Case.Cipher);
            EXPECT_EQ(Protocol.CipherStrength, Case.Bits);
            EXPECT_EQ(Protocol.HashType, Case.Hash);
            EXPECT_EQ(Protocol.HashStrength, Case.HashBits);
            EXPECT_EQ(Protocol.KeyExchangeType, EcdhEphem);
            EXPECT_EQ(Protocol.KeyExchangeStrength, Case.ExchangeBits);
            // Every pointer points into the caller's buffer.
            const auto Inside = [&](const void* Pointer) {
                return Pointer >= static_cast<const void*>(Record.Bytes) &&
                       Pointer < static_cast<const void*>(Record.Bytes + Bytes);
            };
            EXPECT_TRUE(Inside(Request.pSslInfo));
            EXPECT_TRUE(Inside(Ssl.pServerCertIssuer));
            EXPECT_TRUE(Inside(Ssl.pServerCertSubject));
            EXPECT_TRUE(Inside(Info.pInfo));
            EXPECT_TRUE(Inside(Request.pRequestInfo));
            HTTP_RESPONSE Response{};
            Response.StatusCode = 204;
            ASSERT_EQ(HttpSendHttpResponse(Server.Queue(), Request.RequestId, 0, &Response, nullptr,
                                           nullptr, nullptr, 0, nullptr, nullptr),
                      NO_ERROR);
            EXPECT_EQ(Client.ReadUntil("\r\n\r\n").rfind("HTTP/1.1 204 ", 0), 0u);
        }
    }
}
