// Connection: one client TCP connection; parses requests, hands them to queues, writes answers.
#pragma once

#include "platform/httpapi/CompletionReporter.h"
#include "platform/httpapi/PendingIo.h"
#include "platform/httpapi/Reactor.h"
#include "platform/httpapi/Request.h"
#include "platform/httpapi/RequestParser.h"
#include "platform/httpapi/Router.h"
#include "platform/httpapi/TlsStream.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <http.h>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

namespace httpapi {

class TRequestQueue;

/// One client connection. Owned by its reactor (and kept alive by the requests that name it).
/// The reactor thread reads and parses; application threads read bodies and send, writing to
/// the socket themselves. Every field below is guarded by FLock. Requests are handled one at a
/// time: the next pipelined request is parsed once the previous response is complete, so
/// responses always leave in request order. Lock order: a connection's lock, then the driver's,
/// then a queue's; a queue never takes a connection's lock while holding its own.
class TConnection final : public TReactorClient, public std::enable_shared_from_this<TConnection> {
public:
    static constexpr std::size_t InputLimit = 64 * 1024;  // buffered, unparsed input
    static constexpr std::size_t HighWater = 256 * 1024;  // unsent output that blocks senders
    static constexpr std::size_t CorkLimit = 64 * 1024;   // held pieces of one response
    static constexpr std::int64_t CorkMs = 1;             // longest a piece is held
    static constexpr std::int64_t LingerMs = 2000;        // reading after our last byte
    static constexpr std::size_t IdleInputCapacity = 512; // kept by emptied input
    static constexpr std::size_t IdleOutputCapacity = 16 * 1024; // kept by emptied output

    /// Tls: the server context of an https port (the connection then speaks TLS), or null.
    /// Throws ETlsSetupError when its TLS session cannot be made.
    TConnection(std::shared_ptr<TReactor> Reactor, std::shared_ptr<TRouter> Router, int Fd,
                const sockaddr_storage& Local, const sockaddr_storage& Remote,
                std::shared_ptr<TTlsContext> Tls = nullptr);
    ~TConnection() override;

    HTTP_CONNECTION_ID Id() const noexcept { return FId; }
    /// Reactor thread, right after registration: arms the idle timer, reads what is there.
    void Start() noexcept;
    void OnEvents(std::uint32_t Events) noexcept override;
    void OnTick(std::int64_t NowMs) noexcept override;
    void OnFlush() noexcept override;
    void OnStop() noexcept override;

    /// Any thread, without the connection's lock (queues ask while holding theirs).
    bool Closed() const noexcept;
    /// Any thread: resets the connection (queue closed, request cancelled); its pending
    /// overlapped reads and disconnect waits end with Status.
    void Abort(DWORD Status = ERROR_CONNECTION_INVALID) noexcept;

    /// HttpReceiveRequestEntityBody for Request (the connection's current request). On an
    /// upgraded connection it returns what has arrived (at least a byte); with an OVERLAPPED a
    /// read that would wait returns ERROR_IO_PENDING and completes through Target.
    DWORD ReadBody(const TRequest& Request, ULONG Flags, char* Buffer, ULONG Length,
                   ULONG& BytesRead, LPOVERLAPPED Overlapped = nullptr,
                   const TCompletionTarget& Target = {});
    /// HttpWaitForDisconnect: NO_ERROR (synchronous) or ERROR_IO_PENDING once the connection
    /// ends; ERROR_CONNECTION_INVALID when it already has.
    DWORD WaitForDisconnect(LPOVERLAPPED Overlapped, const TCompletionTarget& Target);
    /// CancelIoEx: ends the pending read, disconnect wait or send Overlapped (all when
    /// nullptr) with 995. True when there was one. A cancelled send resets the connection:
    /// the bytes after it could only arrive out of place.
    bool CancelIo(LPOVERLAPPED Overlapped) noexcept;

    struct TSendPiece {
        const char* Data;
        std::size_t Size;
    };
    /// One send of part of a response (HttpSendHttpResponse or HttpSendResponseEntityBody).
    struct TSendCall {
        bool IsHead = false; // the head (status line and headers) comes first, in Head
        // The caller's text; the connection copies what must outlive the call.
        std::string_view Head{};
        std::span<const TSendPiece> Pieces{}; // the caller's; kept until an overlapped send ends
        bool Final = false;                   // ends the response
        bool CloseAfter = false;              // closes the connection once the response is out
        bool DropBody = false;                // a response to HEAD: the pieces are discarded
        bool Opaque = false; // a 101 head: the connection becomes a raw byte channel
        // On an upgraded connection whose application is still handling a read, the bytes
        // are held until it posts its next read (at most CorkMs and CorkLimit), so that
        // several answers to one read leave in one write.
        bool Buffered = false;
        LPOVERLAPPED Overlapped = nullptr;
        TCompletionTarget Target{}; // where an overlapped send completes
    };
    /// Sends part of Request's response. After an opaque head, later sends write their bytes
    /// as they are. Returns NO_ERROR, ERROR_CONNECTION_INVALID (client gone, request finished)
    /// or ERROR_INVALID_PARAMETER (head sent twice, body before head).
    /// With an OVERLAPPED, a send that would wait for the client (unsent output above the high
    /// water mark, or earlier sends still waiting) returns ERROR_IO_PENDING: its pieces stay
    /// the caller's until it completes through the target, in order, with its byte count.
    DWORD Send(const TRequest& Request, TSendCall Call, ULONG& BytesSent);

private:
    enum class TPhase : std::uint8_t { Head, Delivered, Opaque, Draining, Closing, Closed };

    /// An overlapped send waiting for room; the pieces point into the caller's memory.
    struct TQueuedSend {
        TPendingIo Io;
        std::string Head;
        std::vector<iovec> Pieces;
        std::size_t Total = 0;
        bool Final = false;
        bool Opaque = false;
    };

    /// Holds the connection's lock; releasing it reports the completions made meanwhile.
    struct TLockGuard {
        explicit TLockGuard(TConnection& Connection) : Owner(Connection), Lock(Connection.FLock) {}
        ~TLockGuard() {
            Owner.UnlockAndComplete(Lock);
            if (ReportedBeforeReturn != 0) {
                Owner.FReporter.WaitReported(ReportedBeforeReturn);
            }
        }
        TLockGuard(const TLockGuard&) = delete;
        TLockGuard& operator=(const TLockGuard&) = delete;
        TConnection& Owner;
        std::unique_lock<std::mutex> Lock;
        // Set by CompleteAtOnceLocked: the number of the completion that must be reported
        // before the call returns (0: no wait).
        std::uint64_t ReportedBeforeReturn = 0;
    };
    /// One HttpReceiveRequestEntityBody call, as the read paths take it.
    struct TReadCall {
        const TRequest& Request;
        ULONG Flags;
        char* Buffer;
        ULONG Length;
        LPOVERLAPPED Overlapped;
        const TCompletionTarget& Target;
    };
    // The upgraded channel's read: what has arrived, at least a byte.
    DWORD ReadOpaqueLocked(TLockGuard& Guard, const TReadCall& Call, ULONG& BytesRead);
    // The request body's read, de-chunked, with the entity-body time-out.
    DWORD ReadEntityBodyLocked(TLockGuard& Guard, const TReadCall& Call, ULONG& BytesRead);
    // Completions are reported after the lock is released (see TCompletionReporter).
    void CompleteLocked(const TPendingIo& Io, DWORD Status, DWORD Bytes) noexcept;
    void UnlockAndComplete(std::unique_lock<std::mutex>& Lock) noexcept;
    // An overlapped call that finished at once: its completion is reported before the call
    // returns, as on Windows, where the caller may read the OVERLAPPED (or reuse it) as soon
    // as the call says NO_ERROR.
    void CompleteAtOnceLocked(TLockGuard& Guard, const TPendingIo& Io, DWORD Bytes) noexcept;
    // Before a wait: reports what is waiting, then takes the lock again.
    void FlushLocked(std::unique_lock<std::mutex>& Lock) noexcept;

    void PumpLocked() noexcept;
    void ReadLocked() noexcept;
    void ProcessLocked() noexcept;
    void DeliverLocked();
    void AnswerLocked(TListenerAnswer Answer) noexcept;
    void StartClosingLocked() noexcept;
    void NextRequestLocked() noexcept;
    void FinishResponseLocked() noexcept;
    bool WriteLocked(const iovec* Extra, std::size_t ExtraCount) noexcept;
    // Writes a send's bytes (or holds them, corked) and makes the phase change they end.
    bool SendLocked(const iovec* Vectors, std::size_t Count, std::size_t Total, bool Final,
                    bool Opaque, bool Hold) noexcept;
    // Writes queued sends while there is room, completing each; arms the send-rate timer.
    void PumpSendsLocked() noexcept;
    void ArmSendTimerLocked() noexcept;
    void FailSendsLocked(DWORD Status) noexcept;
    void UncorkLocked() noexcept;
    void CloseLocked(bool Reset) noexcept;
    void ArmLocked(std::uint16_t Seconds) noexcept;
    // Asks the reactor for a tick at DueMs unless an earlier one is pending (0: none needed).
    void ScheduleLocked(std::int64_t DueMs) noexcept;
    std::int64_t NextDeadlineLocked() const noexcept;
    void ResumeReading() noexcept;
    void ShutdownWriteLocked() noexcept; // our last byte is out: close_notify, then FIN
    // Upgraded connections: hands arrived bytes to pending reads; ends them at the peer's end.
    void ServeReadsLocked() noexcept;
    std::size_t TakeInputLocked(char* Buffer, std::size_t Length) noexcept;
    std::size_t PendingInput() const noexcept { return FInput.size() - FInputStart; }
    std::size_t PendingOutput() const noexcept { return FOutput.size() - FOutputStart; }

    /// What the connection knows of the request it answers: set by one assignment when a
    /// request is delivered, so nothing of the one before is left over.
    struct TCurrentRequest {
        HTTP_REQUEST_ID Id = HTTP_NULL_ID;
        std::weak_ptr<TRequestQueue> Queue;
        std::weak_ptr<TRequest> Delivered;
        std::int64_t QueueDeadline = 0; // 0: no request-queue timer
        bool KeepAlive = true;
        bool Expect100 = false;
        bool HeadSent = false;
        bool CloseAfter = false;
        bool DropBody = false;
        bool SendsEnded = false; // a queued send ends the response
        // Upgraded: a read returned data and the next one is not posted yet.
        bool ReadHandedOut = false;
    };

    const HTTP_CONNECTION_ID FId;
    const std::shared_ptr<TReactor> FReactor;
    const std::shared_ptr<TRouter> FRouter;
    const TSocketAddress FLocal;
    const TSocketAddress FRemote;
    const std::string FLocalText; // "address:port", the host of HTTP/1.0 requests without one
    const std::string FLocalIp;   // the local address alone, for IP-bound prefixes
    const std::uint16_t FLocalPort;

    std::atomic<bool> FClosed{false}; // set once the socket is closed
    std::mutex FLock;
    std::condition_variable FChanged;        // input arrived, output drained, or closed
    int FFd;                                 // Guarded by FLock. -1 once closed.
    TPhase FPhase = TPhase::Head;            // Guarded by FLock.
    std::string FInput;                      // Guarded by FLock.
    std::size_t FInputStart = 0;             // Guarded by FLock.
    std::string FOutput;                     // Guarded by FLock.
    std::size_t FOutputStart = 0;            // Guarded by FLock.
    std::unique_ptr<TRequestParser> FParser; // Guarded by FLock. Null once opaque.
    std::unique_ptr<TTlsStream> FTls;        // Guarded by FLock. Null: plain TCP.
    TCurrentRequest FRequest;                // Guarded by FLock.
    TTimeouts FTimeouts;                     // Guarded by FLock.
    std::int64_t FDeadline = 0;              // Guarded by FLock. 0: no timer.
    std::int64_t FTickDue = 0;               // Guarded by FLock. Earliest tick asked for.
    std::int64_t FCorkSince = 0;             // Guarded by FLock. 0: nothing held.
    bool FPeerClosed = false;                // Guarded by FLock.
    bool FHangupSeen = false;                // Guarded by FLock. epoll reported a hang-up.
    bool FReadPaused = false;                // Guarded by FLock.
    bool FResumePosted = false;              // Guarded by FLock.
    bool FShutdownAfterFlush = false;        // Guarded by FLock.
    bool FOpaque = false;                    // Guarded by FLock. A 101 made it a byte channel.
    DWORD FAbortStatus = NO_ERROR; // Guarded by FLock. Set by Abort: how pending operations end.
    // Guarded by FLock. The connection count of the URL group this connection is counted in.
    std::shared_ptr<std::atomic<ULONG>> FGroupConnections;
    std::vector<TPendingIo> FPendingReads;    // Guarded by FLock. Overlapped reads, in order.
    std::vector<TPendingIo> FDisconnectWaits; // Guarded by FLock.
    std::vector<TQueuedSend> FPendingSends;   // Guarded by FLock. Overlapped sends, in order.
    TCompletionReporter FReporter;            // Its queue is guarded by FLock.
    // Guarded by FLock. A receiver to be woken when the lock is released (it waits for the
    // request delivered under it).
    win::TParker* FArrivedReceiver = nullptr;
    std::int64_t FSendDeadline = 0; // Guarded by FLock. Minimum send rate of queued sends.
    std::size_t FSendMark = 0;      // Guarded by FLock. Unsent output when it was armed.
    bool FWriteBlocked = false;     // Guarded by FLock. Plain socket full until EPOLLOUT.
};

} // namespace httpapi
