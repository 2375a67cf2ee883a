// httpapi_hello: a hello server written directly on the HTTP Server API, for load tests.
//
// Usage: httpapi_hello PORT [THREADS] [--https SHA1]. Every request under http://+:PORT/ gets 200
// with "Hello, World!" (13 bytes, text/plain). Receiving threads loop on a synchronous receive.
// With --https the prefix is https://+:PORT/ and the port is bound to the certificate whose SHA-1
// thumbprint (40 hex digits) is given, found in the certificate store ("MY" under the folder
// HTTPAPI_CERTSTORE names). Stops on SIGINT or SIGTERM.
#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <http.h>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <vector>

namespace {

void Serve(HANDLE Queue) {
    std::vector<std::uint64_t> Buffer(4096 / 8);
    char Body[] = "Hello, World!";
    HTTP_DATA_CHUNK Chunk{};
    Chunk.DataChunkType = HttpDataChunkFromMemory;
    Chunk.FromMemory.pBuffer = Body;
    Chunk.FromMemory.BufferLength = 13;
    HTTP_RESPONSE Response{};
    Response.StatusCode = 200;
    Response.pReason = "OK";
    Response.ReasonLength = 2;
    Response.Headers.KnownHeaders[HttpHeaderContentType].pRawValue = "text/plain";
    Response.Headers.KnownHeaders[HttpHeaderContentType].RawValueLength = 10;
    Response.EntityChunkCount = 1;
    Response.pEntityChunks = &Chunk;
    HTTP_REQUEST_ID Id = HTTP_NULL_ID;
    while (true) {
        auto* Request = reinterpret_cast<HTTP_REQUEST*>(Buffer.data());
        ULONG Bytes = 0;
        const ULONG Result = HttpReceiveHttpRequest(
            Queue, Id, 0, Request, static_cast<ULONG>(Buffer.size() * 8), &Bytes, nullptr);
        if (Result == ERROR_MORE_DATA) {
            Id = Request->RequestId;
            Buffer.resize(Bytes / 8 + 1);
            continue;
        }
        Id = HTTP_NULL_ID;
        if (Result == ERROR_CONNECTION_INVALID) {
            continue;
        }
        if (Result != NO_ERROR) {
            return; // the queue was shut down
        }
        HttpSendHttpResponse(Queue, Request->RequestId, 0, &Response, nullptr, nullptr, nullptr, 0,
                             nullptr, nullptr);
    }
}

// The thumbprint's bytes, or an empty list for text that is not 40 hex digits.
std::vector<std::uint8_t> ParseHash(const char* Text) {
    std::vector<std::uint8_t> Hash;
    if (std::strlen(Text) != 40) {
        return Hash;
    }
    for (int I = 0; I < 40; I += 2) {
        const std::string Pair(Text + I, 2);
        char* End = nullptr;
        const long Value = std::strtol(Pair.c_str(), &End, 16);
        if (*End != '\0' || !std::isxdigit(static_cast<unsigned char>(Pair[0]))) {
            return {};
        }
        Hash.push_back(static_cast<std::uint8_t>(Value));
    }
    return Hash;
}

// Binds the certificate to 0.0.0.0:Port in the service configuration.
ULONG BindCertificate(int Port, std::vector<std::uint8_t>& Hash) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<std::uint16_t>(Port));
    Address.sin_addr.s_addr = htonl(INADDR_ANY);
    HTTP_SERVICE_CONFIG_SSL_SET Set{};
    Set.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&Address);
    Set.ParamDesc.SslHashLength = static_cast<ULONG>(Hash.size());
    Set.ParamDesc.pSslHash = Hash.data();
    Set.ParamDesc.AppId.Data1 = 0x4e110;
    return HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set, sizeof(Set),
                                       nullptr);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> Positional;
    std::vector<std::uint8_t> Hash;
    bool Https = false;
    for (int I = 1; I < argc; ++I) {
        if (std::strcmp(argv[I], "--https") == 0 && I + 1 < argc) {
            Https = true;
            Hash = ParseHash(argv[++I]);
            if (Hash.empty()) {
                std::fprintf(stderr, "httpapi_hello: --https needs 40 hex digits\n");
                return 2;
            }
        } else {
            Positional.push_back(argv[I]);
        }
    }
    if (Positional.empty() || Positional.size() > 2) {
        std::fprintf(stderr, "usage: httpapi_hello PORT [THREADS] [--https SHA1]\n");
        return 2;
    }
    const int Port = std::atoi(Positional[0].c_str());
    const int Threads = Positional.size() > 1 ? std::max(1, std::atoi(Positional[1].c_str())) : 1;
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGINT);
    sigaddset(&Signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &Signals, nullptr); // every thread inherits the mask

    const HTTPAPI_VERSION Version = HTTPAPI_VERSION_2;
    HTTP_SERVER_SESSION_ID Session = HTTP_NULL_ID;
    HTTP_URL_GROUP_ID Group = HTTP_NULL_ID;
    HANDLE Queue = nullptr;
    HTTP_BINDING_INFO Binding{};
    const std::wstring Url =
        std::wstring(Https ? L"https" : L"http") + L"://+:" + std::to_wstring(Port) + L"/";
    ULONG Result =
        HttpInitialize(Version, HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr);
    if (Result == NO_ERROR && Https) {
        Result = BindCertificate(Port, Hash);
    }
    if (Result == NO_ERROR) {
        Result = HttpCreateServerSession(Version, &Session, 0);
    }
    if (Result == NO_ERROR) {
        Result = HttpCreateUrlGroup(Session, &Group, 0);
    }
    if (Result == NO_ERROR) {
        Result = HttpCreateRequestQueue(Version, nullptr, nullptr, 0, &Queue);
    }
    if (Result == NO_ERROR) {
        Binding.Flags.Present = 1;
        Binding.RequestQueueHandle = Queue;
        Result =
            HttpSetUrlGroupProperty(Group, HttpServerBindingProperty, &Binding, sizeof(Binding));
    }
    if (Result == NO_ERROR) {
        Result = HttpAddUrlToUrlGroup(Group, Url.c_str(), 0, 0);
    }
    if (Result != NO_ERROR) {
        std::fprintf(stderr, "httpapi_hello: start failed with %u\n",
                     static_cast<unsigned>(Result));
        return 1;
    }
    std::printf("httpapi_hello listening on %s port %d with %d thread(s)\n",
                Https ? "https" : "http", Port, Threads);
    std::fflush(stdout);
    std::vector<std::thread> Workers;
    for (int I = 0; I < Threads; ++I) {
        Workers.emplace_back(Serve, Queue);
    }
    int Signal = 0;
    sigwait(&Signals, &Signal);
    HttpShutdownRequestQueue(Queue);
    for (auto& Worker : Workers) {
        Worker.join();
    }
    HttpCloseRequestQueue(Queue);
    HttpCloseUrlGroup(Group);
    HttpCloseServerSession(Session);
    HttpTerminate(HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr);
    return 0;
}
