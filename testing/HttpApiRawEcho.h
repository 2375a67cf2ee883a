// HttpApiRawEcho: a raw byte echo written on the HTTP Server API the way a Windows completion-port
// server is: a listener thread receives requests synchronously, a pool of workers serves a
// completion port; each request is upgraded (101 with the opaque flag), then its bytes are read
// with overlapped reads and written back with synchronous sends until the client leaves, which a
// disconnect wait reports. A read that reports the end of the client's input (the client shut
// down its sending side) is answered with a disconnecting send. The overlapped tests' echo and
// bench/httpapi_raw_echo's server.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <http.h>
#include <mutex>
#include <string_view>
#include <vector>
#include <windows.h>

namespace testsupport {

/// Answers request aId with 101 Switching Protocols, "Upgrade: <aProtocol>" and
/// "Connection: Upgrade", sent with the opaque flag: the connection becomes a raw byte channel.
/// The API's result code.
ULONG SendOpaqueUpgrade(HANDLE aQueue, HTTP_REQUEST_ID aId, std::string_view aProtocol);

/// Serves one request queue (created, bound and later closed by the caller). The caller closes
/// the queue, which ends the listener's receive and every connection's operations, then calls
/// Stop. Its counters may be read from any thread.
class THttpApiRawEcho {
public:
    /// The size of each read: one echo is at most this many bytes.
    static constexpr ULONG ReadSize = 16384;

    struct TOptions {
        DWORD Workers = 4;
        /// Each echo goes out as this many sends (the way a framing layer writes a header and a
        /// payload), with these flags (HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA lets the layer send
        /// the pieces together).
        ULONG Pieces = 1;
        ULONG SendFlags = HTTP_SEND_RESPONSE_FLAG_MORE_DATA;
        /// The 101's Upgrade header value.
        std::string_view UpgradeProtocol = "websocket";
    };

    /// Creates the completion port, associates the queue with it and starts the threads;
    /// Started() tells whether all of that succeeded.
    THttpApiRawEcho(HANDLE aQueue, TOptions aOptions);
    ~THttpApiRawEcho(); // Stop
    THttpApiRawEcho(const THttpApiRawEcho&) = delete;
    THttpApiRawEcho& operator=(const THttpApiRawEcho&) = delete;

    bool Started() const { return FStarted; }
    /// After the caller has closed the queue: waits for the listener, then (bounded) for the
    /// aborted operations to release their connections, then ends the workers. False when a
    /// wait ran out. Later calls do nothing and return true.
    bool Stop(std::chrono::milliseconds aWait = std::chrono::seconds(10));
    /// Waits (bounded) until aCount connections have been released in all.
    bool WaitReleased(long aCount, std::chrono::milliseconds aWait = std::chrono::seconds(30));

    long Upgraded() const { return FUpgraded; }
    /// Completions a worker could not attribute to an operation (always 0 in a sound run).
    long Failures() const { return FFailures; }
    /// The Win32 code that ended the listener's receive loop (ERROR_OPERATION_ABORTED once the
    /// queue is closed).
    long ListenerResult() const { return FListenerResult; }
    std::int64_t Reads() const { return FReads; }             // reads that brought bytes
    std::int64_t Bytes() const { return FBytes; }             // bytes echoed
    std::int64_t Completions() const { return FCompletions; } // packets the workers took

private:
    struct TConnection;
    struct TIoContext;
    static DWORD WINAPI Listen(LPVOID aSelf);
    static DWORD WINAPI Work(LPVOID aSelf);
    void Completed(TIoContext& aContext, DWORD aBytes, DWORD aStatus);
    void Echo(TConnection& aConnection, DWORD aBytes);
    void StartRead(TConnection& aConnection);
    void EndOfInput(TConnection& aConnection, DWORD aStatus);
    void Release(TConnection& aConnection);

    HANDLE FQueue;
    TOptions FOptions;
    HANDLE FPort = nullptr;
    HANDLE FListener = nullptr;
    std::vector<HANDLE> FWorkers;
    bool FStarted = false;
    std::mutex FLock;
    std::condition_variable FChanged; // Signalled when a connection is released.
    long FReleased = 0;               // Guarded by FLock.
    long FOpen = 0;                   // Guarded by FLock.
    std::atomic<long> FUpgraded{0};
    std::atomic<long> FFailures{0};
    std::atomic<long> FListenerResult{0};
    std::atomic<std::int64_t> FReads{0};
    std::atomic<std::int64_t> FBytes{0};
    std::atomic<std::int64_t> FCompletions{0};
};

} // namespace testsupport
