// httpapi_raw_echo: a raw byte echo server written on the HTTP Server API the way a Windows
// completion-port server is: a listener thread receives requests synchronously, a pool of
// workers serves a completion port; each request is upgraded (101 with the opaque flag), then
// its bytes are read with overlapped reads and written back with synchronous sends until the
// client leaves, which a disconnect wait reports.
//
// Usage: httpapi_raw_echo [--port P (2003)] [--threads T (4)] [--pieces N (1)] [--buffer].
// Serves http://127.0.0.1:P/. --pieces sends each echo as N sends (the way a framing layer
// writes a header and a payload); --buffer marks them with the buffer-data flag, which lets the
// layer send the pieces of one answer together.
// Prints "httpapi_raw_echo ready on port P with T worker(s)" once it accepts connections.
// Stops on SIGINT or SIGTERM and then prints its counters: reads that brought bytes, bytes
// echoed, and completions the workers took, so that hand-offs per read can be checked.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <http.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

constexpr ULONG ReadSize = 16384;
constexpr ULONG_PTR QuitKey = 1;

enum TKind : LONG { kNew, kRead, kDisconnect };

struct TConnection;

struct TIoContext {
    OVERLAPPED Overlapped; // first: the OVERLAPPED's address is the context's
    TKind Kind;
    TConnection* Connection;
};

struct TConnection {
    TIoContext Read{};
    TIoContext Disconnect{};
    HTTP_REQUEST_ID RequestId = 0;
    HTTP_CONNECTION_ID ConnectionId = 0;
    volatile LONG References = 0;
    char Buffer[ReadSize];
};

HANDLE GQueue = nullptr;
HANDLE GPort = nullptr;
volatile LONGLONG GReads = 0;       // reads that brought bytes
volatile LONGLONG GBytes = 0;       // bytes echoed
volatile LONGLONG GCompletions = 0; // packets the workers took
volatile LONG GOpen = 0;            // connections not yet released
ULONG GPieces = 1;
ULONG GSendFlags = HTTP_SEND_RESPONSE_FLAG_MORE_DATA;

void Release(TConnection& Connection) {
    if (InterlockedDecrement(&Connection.References) == 0) {
        delete &Connection;
        InterlockedDecrement(&GOpen);
    }
}

void StartRead(TConnection& Connection) {
    // A read that finishes at once still queues its completion: the worker takes it there.
    const ULONG Result =
        HttpReceiveRequestEntityBody(GQueue, Connection.RequestId, 0, Connection.Buffer, ReadSize,
                                     nullptr, &Connection.Read.Overlapped);
    if (Result != NO_ERROR && Result != ERROR_IO_PENDING) {
        Release(Connection); // 38: the client closed; 1229: the connection is gone
    }
}

ULONG SendUpgrade(HTTP_REQUEST_ID Id) {
    HTTP_RESPONSE Response{};
    Response.StatusCode = 101;
    Response.pReason = "Switching Protocols";
    Response.ReasonLength = 19;
    Response.Headers.KnownHeaders[HttpHeaderUpgrade].pRawValue = "raw";
    Response.Headers.KnownHeaders[HttpHeaderUpgrade].RawValueLength = 3;
    HTTP_UNKNOWN_HEADER Connection{10, 7, "Connection", "Upgrade"};
    Response.Headers.UnknownHeaderCount = 1;
    Response.Headers.pUnknownHeaders = &Connection;
    return HttpSendHttpResponse(GQueue, Id,
                                HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                                &Response, nullptr, nullptr, nullptr, 0, nullptr, nullptr);
}

void Completed(TIoContext& Context, DWORD Bytes) {
    TConnection& Connection = *Context.Connection;
    switch (Context.Kind) {
    case kNew:
        if (SendUpgrade(Connection.RequestId) != NO_ERROR) {
            Connection.References = 1;
            Release(Connection);
            return;
        }
        Connection.References = 2; // the read and the disconnect wait
        Connection.Disconnect.Kind = kDisconnect;
        Connection.Disconnect.Connection = &Connection;
        if (const ULONG Result = HttpWaitForDisconnect(GQueue, Connection.ConnectionId,
                                                       &Connection.Disconnect.Overlapped);
            Result != ERROR_IO_PENDING && Result != NO_ERROR) {
            Release(Connection);
        }
        Connection.Read.Kind = kRead;
        StartRead(Connection);
        return;
    case kRead: {
        if (Bytes == 0) {
            Release(Connection); // the client is done, or the read failed
            return;
        }
        InterlockedIncrement64(&GReads);
        InterlockedExchangeAdd64(&GBytes, Bytes);
        const ULONG Pieces = std::min<ULONG>(GPieces, Bytes);
        ULONG Offset = 0;
        for (ULONG Piece = 0; Piece < Pieces; ++Piece) {
            const ULONG Size = Piece + 1 == Pieces ? Bytes - Offset : Bytes / Pieces;
            HTTP_DATA_CHUNK Chunk{};
            Chunk.DataChunkType = HttpDataChunkFromMemory;
            Chunk.FromMemory.pBuffer = Connection.Buffer + Offset;
            Chunk.FromMemory.BufferLength = Size;
            Offset += Size;
            if (HttpSendResponseEntityBody(GQueue, Connection.RequestId, GSendFlags, 1, &Chunk,
                                           nullptr, nullptr, 0, nullptr, nullptr) != NO_ERROR) {
                Release(Connection);
                return;
            }
        }
        StartRead(Connection);
        return;
    }
    case kDisconnect:
        Release(Connection);
        return;
    }
}

DWORD WINAPI Worker(LPVOID) {
    while (true) {
        DWORD Bytes = 0;
        ULONG_PTR Key = 0;
        LPOVERLAPPED Overlapped = nullptr;
        const BOOL Ok = GetQueuedCompletionStatus(GPort, &Bytes, &Key, &Overlapped, INFINITE);
        if (Key == QuitKey || Overlapped == nullptr) {
            return 0;
        }
        InterlockedIncrement64(&GCompletions);
        Completed(*reinterpret_cast<TIoContext*>(Overlapped), Ok ? Bytes : 0);
    }
}

DWORD WINAPI Listen(LPVOID) {
    std::vector<ULONGLONG> Storage((sizeof(HTTP_REQUEST) + 4096) / 8 + 1);
    HTTP_REQUEST_ID Id = HTTP_NULL_ID;
    while (true) {
        auto* Request = reinterpret_cast<HTTP_REQUEST*>(Storage.data());
        ULONG Bytes = 0;
        const ULONG Result = HttpReceiveHttpRequest(
            GQueue, Id, 0, Request, static_cast<ULONG>(Storage.size() * 8), &Bytes, nullptr);
        if (Result == ERROR_MORE_DATA) {
            Id = Request->RequestId;
            Storage.resize(Bytes / 8 + 1);
            continue;
        }
        Id = HTTP_NULL_ID;
        if (Result == ERROR_CONNECTION_INVALID) {
            continue;
        }
        if (Result != NO_ERROR) {
            return 0; // the queue was closed
        }
        auto* Connection = new TConnection;
        Connection->RequestId = Request->RequestId;
        Connection->ConnectionId = Request->ConnectionId;
        Connection->Read.Kind = kNew;
        Connection->Read.Connection = Connection;
        InterlockedIncrement(&GOpen);
        // The pool does everything else.
        PostQueuedCompletionStatus(GPort, 0, 0, &Connection->Read.Overlapped);
    }
}

[[noreturn]] void Usage(const char* Problem) {
    std::fprintf(stderr,
                 "httpapi_raw_echo: %s\nusage: httpapi_raw_echo [--port P] [--threads T] "
                 "[--pieces N] [--buffer]\n",
                 Problem);
    std::exit(2);
}

long Number(const char* Name, const char* Text, long Min, long Max) {
    char* End = nullptr;
    const long Value = Text == nullptr ? 0 : std::strtol(Text, &End, 10);
    if (Text == nullptr || *Text == '\0' || *End != '\0' || Value < Min || Value > Max) {
        const std::string Problem = std::string("bad value for ") + Name;
        Usage(Problem.c_str());
    }
    return Value;
}

} // namespace

int main(int argc, char** argv) {
    long Port = 2003;
    long Threads = 4;
    for (int I = 1; I < argc; ++I) {
        const char* Value = I + 1 < argc ? argv[I + 1] : nullptr;
        if (std::strcmp(argv[I], "--port") == 0) {
            Port = Number("--port", Value, 1, 65535);
        } else if (std::strcmp(argv[I], "--threads") == 0) {
            Threads = Number("--threads", Value, 1, 256);
        } else if (std::strcmp(argv[I], "--pieces") == 0) {
            GPieces = static_cast<ULONG>(Number("--pieces", Value, 1, 64));
        } else if (std::strcmp(argv[I], "--buffer") == 0) {
            GSendFlags |= HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA;
            continue;
        } else {
            Usage("unknown option");
        }
        ++I;
    }
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGINT);
    sigaddset(&Signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &Signals, nullptr); // every thread inherits the mask

    const HTTPAPI_VERSION Version = HTTPAPI_VERSION_2;
    HTTP_SERVER_SESSION_ID Session = HTTP_NULL_ID;
    HTTP_URL_GROUP_ID Group = HTTP_NULL_ID;
    HTTP_BINDING_INFO Binding{};
    const std::wstring Url = L"http://127.0.0.1:" + std::to_wstring(Port) + L"/";
    ULONG Result = HttpInitialize(Version, HTTP_INITIALIZE_SERVER, nullptr);
    if (Result == NO_ERROR) {
        Result = HttpCreateServerSession(Version, &Session, 0);
    }
    if (Result == NO_ERROR) {
        Result = HttpCreateUrlGroup(Session, &Group, 0);
    }
    if (Result == NO_ERROR) {
        Result = HttpCreateRequestQueue(Version, nullptr, nullptr, 0, &GQueue);
    }
    if (Result == NO_ERROR) {
        GPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, DWORD(Threads));
        if (GPort == nullptr || CreateIoCompletionPort(GQueue, GPort, 0, DWORD(Threads)) != GPort) {
            Result = GetLastError();
        }
    }
    if (Result == NO_ERROR) {
        Binding.Flags.Present = 1;
        Binding.RequestQueueHandle = GQueue;
        Result =
            HttpSetUrlGroupProperty(Group, HttpServerBindingProperty, &Binding, sizeof(Binding));
    }
    if (Result == NO_ERROR) {
        Result = HttpAddUrlToUrlGroup(Group, Url.c_str(), 0, 0);
    }
    if (Result != NO_ERROR) {
        std::fprintf(stderr, "httpapi_raw_echo: start failed with %u\n",
                     static_cast<unsigned>(Result));
        return 1;
    }
    std::vector<HANDLE> Workers;
    for (long I = 0; I < Threads; ++I) {
        Workers.push_back(CreateThread(nullptr, 0, &Worker, nullptr, 0, nullptr));
    }
    const HANDLE Listener = CreateThread(nullptr, 0, &Listen, nullptr, 0, nullptr);
    std::printf("httpapi_raw_echo ready on port %ld with %ld worker(s)\n", Port, Threads);
    std::fflush(stdout);

    int Signal = 0;
    sigwait(&Signals, &Signal);
    // Closing the queue ends the listener's receive and every connection's read and wait.
    HttpCloseRequestQueue(GQueue);
    WaitForSingleObject(Listener, INFINITE);
    CloseHandle(Listener);
    // The aborted operations release their connections; then the workers are told to go.
    for (int Round = 0; Round < 1000 && InterlockedCompareExchange(&GOpen, 0, 0) > 0; ++Round) {
        Sleep(10);
    }
    for (std::size_t I = 0; I < Workers.size(); ++I) {
        PostQueuedCompletionStatus(GPort, 0, QuitKey, nullptr);
    }
    WaitForMultipleObjects(static_cast<DWORD>(Workers.size()), Workers.data(), TRUE, INFINITE);
    for (HANDLE Thread : Workers) {
        CloseHandle(Thread);
    }
    CloseHandle(GPort);
    HttpCloseUrlGroup(Group);
    HttpCloseServerSession(Session);
    HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
    const LONGLONG Reads = GReads;
    const LONGLONG Completions = GCompletions;
    std::printf("httpapi_raw_echo: %lld read(s) with bytes, %lld byte(s) echoed, %lld "
                "completion(s) taken by the workers\n",
                static_cast<long long>(Reads), static_cast<long long>(GBytes),
                static_cast<long long>(Completions));
    return 0;
}
