// httpapi_hello: a hello server written directly on the HTTP Server API, for load tests.
//
// Usage: httpapi_hello PORT [THREADS]. Every request under http://+:PORT/ gets 200 with
// "Hello, World!" (13 bytes, text/plain). Receiving threads loop on a synchronous receive.
// Stops on SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <http.h>
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

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: httpapi_hello PORT [THREADS]\n");
        return 2;
    }
    const int Port = std::atoi(argv[1]);
    const int Threads = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
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
    const std::wstring Url = L"http://+:" + std::to_wstring(Port) + L"/";
    ULONG Result = HttpInitialize(Version, HTTP_INITIALIZE_SERVER, nullptr);
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
    std::printf("httpapi_hello listening on port %d with %d thread(s)\n", Port, Threads);
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
    HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
    return 0;
}
