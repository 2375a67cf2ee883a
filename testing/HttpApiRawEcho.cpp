// HttpApiRawEcho: a raw byte echo written on the HTTP Server API the way a Windows completion-port
// server is. See the header.
#include "testing/HttpApiRawEcho.h"

#include <algorithm>
#include <tuple>

namespace testsupport {

namespace {

constexpr ULONG_PTR QuitKey = 1;

} // namespace

ULONG SendOpaqueUpgrade(HANDLE aQueue, HTTP_REQUEST_ID aId, std::string_view aProtocol) {
    HTTP_RESPONSE Response{};
    Response.StatusCode = 101;
    Response.pReason = "Switching Protocols";
    Response.ReasonLength = 19;
    Response.Headers.KnownHeaders[HttpHeaderUpgrade].pRawValue = aProtocol.data();
    Response.Headers.KnownHeaders[HttpHeaderUpgrade].RawValueLength = USHORT(aProtocol.size());
    HTTP_UNKNOWN_HEADER Connection{10, 7, "Connection", "Upgrade"};
    Response.Headers.UnknownHeaderCount = 1;
    Response.Headers.pUnknownHeaders = &Connection;
    return HttpSendHttpResponse(aQueue, aId,
                                HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                                &Response, nullptr, nullptr, nullptr, 0, nullptr, nullptr);
}

enum class TKind : LONG { New, Read, Disconnect };

struct THttpApiRawEcho::TIoContext {
    OVERLAPPED Overlapped; // First: the OVERLAPPED's address is the context's.
    TKind Kind;
    TConnection* Connection;
};

/// One upgraded connection, owned by its outstanding operations (References): the last one to
/// complete frees it.
struct THttpApiRawEcho::TConnection {
    TIoContext Read{};
    TIoContext Disconnect{};
    HTTP_REQUEST_ID RequestId = 0;
    HTTP_CONNECTION_ID ConnectionId = 0;
    std::atomic<int> References{0};
    char Buffer[ReadSize];
};

THttpApiRawEcho::THttpApiRawEcho(HANDLE aQueue, TOptions aOptions)
    : FQueue(aQueue)
    , FOptions(aOptions) {
    FPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, FOptions.Workers);
    if (FPort == nullptr || CreateIoCompletionPort(FQueue, FPort, 0, FOptions.Workers) != FPort) {
        return;
    }
    for (DWORD I = 0; I < FOptions.Workers; ++I) {
        FWorkers.push_back(CreateThread(nullptr, 0, &Work, this, 0, nullptr));
    }
    FListener = CreateThread(nullptr, 0, &Listen, this, 0, nullptr);
    FStarted = FListener != nullptr &&
               std::find(FWorkers.begin(), FWorkers.end(), nullptr) == FWorkers.end();
}

THttpApiRawEcho::~THttpApiRawEcho() {
    Stop();
}

bool THttpApiRawEcho::Stop(std::chrono::milliseconds aWait) {
    if (FPort == nullptr) {
        return true;
    }
    const DWORD Wait = DWORD(aWait.count());
    bool Ended = true;
    if (FListener != nullptr) {
        Ended = WaitForSingleObject(FListener, Wait) == WAIT_OBJECT_0;
        CloseHandle(FListener);
        FListener = nullptr;
    }
    {
        // The aborted operations release their connections on the workers.
        std::unique_lock Lock(FLock);
        Ended = FChanged.wait_for(Lock, aWait, [this] { return FOpen == 0; }) && Ended;
    }
    for (std::size_t I = 0; I < FWorkers.size(); ++I) {
        PostQueuedCompletionStatus(FPort, 0, QuitKey, nullptr);
    }
    if (!FWorkers.empty()) {
        Ended = WaitForMultipleObjects(DWORD(FWorkers.size()), FWorkers.data(), TRUE, Wait) ==
                    WAIT_OBJECT_0 &&
                Ended;
    }
    for (HANDLE Thread : FWorkers) {
        CloseHandle(Thread);
    }
    FWorkers.clear();
    CloseHandle(FPort);
    FPort = nullptr;
    return Ended;
}

bool THttpApiRawEcho::WaitReleased(long aCount, std::chrono::milliseconds aWait) {
    std::unique_lock Lock(FLock);
    return FChanged.wait_for(Lock, aWait, [&] { return FReleased >= aCount; });
}

DWORD WINAPI THttpApiRawEcho::Listen(LPVOID aSelf) {
    auto& Self = *static_cast<THttpApiRawEcho*>(aSelf);
    std::vector<ULONGLONG> Storage((sizeof(HTTP_REQUEST) + 4096) / 8 + 1);
    HTTP_REQUEST_ID Id = HTTP_NULL_ID;
    for (;;) {
        auto* Request = reinterpret_cast<HTTP_REQUEST*>(Storage.data());
        ULONG Bytes = 0;
        const ULONG Result = HttpReceiveHttpRequest(Self.FQueue, Id, 0, Request,
                                                    ULONG(Storage.size() * 8), &Bytes, nullptr);
        if (Result == ERROR_MORE_DATA) {
            Id = Request->RequestId;
            Storage.resize(Bytes / 8 + 1);
            continue;
        }
        Id = HTTP_NULL_ID;
        if (Result == ERROR_CONNECTION_INVALID) {
            continue; // The client left before its request could be taken.
        }
        if (Result != NO_ERROR) {
            Self.FListenerResult = long(Result); // The queue was closed.
            return 0;
        }
        auto* Connection = new TConnection;
        Connection->RequestId = Request->RequestId;
        Connection->ConnectionId = Request->ConnectionId;
        Connection->Read.Kind = TKind::New;
        Connection->Read.Connection = Connection;
        {
            std::scoped_lock Lock(Self.FLock);
            ++Self.FOpen;
        }
        // The pool does everything else.
        PostQueuedCompletionStatus(Self.FPort, 0, 0, &Connection->Read.Overlapped);
    }
}

DWORD WINAPI THttpApiRawEcho::Work(LPVOID aSelf) {
    auto& Self = *static_cast<THttpApiRawEcho*>(aSelf);
    for (;;) {
        DWORD Bytes = 0;
        ULONG_PTR Key = 0;
        LPOVERLAPPED Overlapped = nullptr;
        const BOOL Ok = GetQueuedCompletionStatus(Self.FPort, &Bytes, &Key, &Overlapped, INFINITE);
        if (Key == QuitKey) {
            return 0;
        }
        if (Overlapped == nullptr) {
            ++Self.FFailures;
            return 1;
        }
        ++Self.FCompletions;
        Self.Completed(*reinterpret_cast<TIoContext*>(Overlapped), Ok ? Bytes : 0,
                       Ok ? DWORD(NO_ERROR) : GetLastError());
    }
}

void THttpApiRawEcho::Completed(TIoContext& aContext, DWORD aBytes, DWORD aStatus) {
    TConnection& Connection = *aContext.Connection;
    switch (aContext.Kind) {
    case TKind::New:
        if (SendOpaqueUpgrade(FQueue, Connection.RequestId, FOptions.UpgradeProtocol) != NO_ERROR) {
            Connection.References = 1;
            Release(Connection);
            return;
        }
        ++FUpgraded;
        Connection.References = 2; // The read and the disconnect wait.
        Connection.Disconnect.Kind = TKind::Disconnect;
        Connection.Disconnect.Connection = &Connection;
        if (const ULONG Result = HttpWaitForDisconnect(FQueue, Connection.ConnectionId,
                                                       &Connection.Disconnect.Overlapped);
            Result != ERROR_IO_PENDING && Result != NO_ERROR) {
            Release(Connection);
        }
        Connection.Read.Kind = TKind::Read;
        StartRead(Connection);
        return;
    case TKind::Read:
        if (aBytes == 0) {
            EndOfInput(Connection, aStatus); // The client is done, or the read failed.
            return;
        }
        Echo(Connection, aBytes);
        return;
    case TKind::Disconnect:
        Release(Connection);
        return;
    }
}

void THttpApiRawEcho::Echo(TConnection& aConnection, DWORD aBytes) {
    ++FReads;
    FBytes += aBytes;
    const ULONG Pieces = std::min<ULONG>(FOptions.Pieces, aBytes);
    ULONG Offset = 0;
    for (ULONG Piece = 0; Piece < Pieces; ++Piece) {
        const ULONG Size = Piece + 1 == Pieces ? aBytes - Offset : aBytes / Pieces;
        HTTP_DATA_CHUNK Chunk{};
        Chunk.DataChunkType = HttpDataChunkFromMemory;
        Chunk.FromMemory.pBuffer = aConnection.Buffer + Offset;
        Chunk.FromMemory.BufferLength = Size;
        Offset += Size;
        if (HttpSendResponseEntityBody(FQueue, aConnection.RequestId, FOptions.SendFlags, 1, &Chunk,
                                       nullptr, nullptr, 0, nullptr, nullptr) != NO_ERROR) {
            Release(aConnection);
            return;
        }
    }
    StartRead(aConnection);
}

void THttpApiRawEcho::StartRead(TConnection& aConnection) {
    // A read that finishes at once still queues its completion: the worker takes it there.
    const ULONG Result =
        HttpReceiveRequestEntityBody(FQueue, aConnection.RequestId, 0, aConnection.Buffer, ReadSize,
                                     nullptr, &aConnection.Read.Overlapped);
    if (Result != NO_ERROR && Result != ERROR_IO_PENDING) {
        EndOfInput(aConnection, Result); // 38: the client closed; 1229: the connection is gone.
    }
}

void THttpApiRawEcho::EndOfInput(TConnection& aConnection, DWORD aStatus) {
    // The client has sent all it will and has had the echo of every byte: the application ends
    // the connection (a disconnecting send), then lets go of the read. A connection that is
    // already gone has nothing to end.
    if (aStatus == ERROR_HANDLE_EOF) {
        std::ignore = HttpSendResponseEntityBody(FQueue, aConnection.RequestId,
                                                 HTTP_SEND_RESPONSE_FLAG_DISCONNECT, 0, nullptr,
                                                 nullptr, nullptr, 0, nullptr, nullptr);
    }
    Release(aConnection);
}

void THttpApiRawEcho::Release(TConnection& aConnection) {
    if (--aConnection.References == 0) {
        delete &aConnection;
        std::scoped_lock Lock(FLock);
        --FOpen;
        ++FReleased;
        FChanged.notify_all();
    }
}

} // namespace testsupport
