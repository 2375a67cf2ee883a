// RequestQueue: a request queue handle; parsed requests wait here for the application.
#pragma once

#include "platform/httpapi/PendingIo.h"
#include "platform/httpapi/Request.h"
#include "platform/win/Handles.h"
#include "platform/win/Scheduler.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <http.h>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace httpapi {

class TConnection;

enum class TDeliverResult : std::uint8_t { Delivered, Full, Unavailable };

/// A request queue. Polling threads deliver; application threads receive, from any number of
/// threads at once. Requests handed to the application stay here, by id, until answered.
///
/// A full queue refuses a request (a 503, or a reset as the verbosity says) while the
/// application is not receiving. While it is (a receive waits, or one asked within the last
/// ReceivingMs), requests beyond the queue length wait here in order instead: their clients'
/// connections are read no further meanwhile, so the backlog is bounded by the connections,
/// and the request-queue time-out still ends a request left waiting too long. A burst from
/// thousands of clients is then served, not reset.
class TRequestQueue : public win::THandleObject {
public:
    static constexpr ULONG DefaultQueueLength = 1000;
    static constexpr std::int64_t ReceivingMs = 1000;

    TRequestQueue() = default;

    /// What a delivery leaves to a caller that holds a lock the woken thread may want at once:
    /// the completion of the pending receive that took the request, or the synchronous
    /// receiver to wake (win::Wake).
    struct TWakeUp {
        std::optional<TDeferredCompletion> Completion;
        win::TParker* Receiver = nullptr;
    };
    /// Polling thread: queue Request, or refuse it when the queue is full or closed. A pending
    /// receive takes it at once. Its completion, or the wake-up of a waiting receiver, is made
    /// here, or, with Later, left there for the caller.
    TDeliverResult Deliver(std::shared_ptr<TRequest> Request, TWakeUp* Later = nullptr);
    /// HttpReceiveHttpRequest. With an OVERLAPPED, a receive that would wait returns
    /// ERROR_IO_PENDING and completes when a request arrives (or 995 when the queue closes).
    /// A synchronous receive that waits polls the listener while nothing else does, and a
    /// request is handed to a waiting receiver only when no receiver is on its way back
    /// already (it takes the request when it asks again).
    DWORD Receive(HTTP_REQUEST_ID RequestId, ULONG Flags, void* Buffer, ULONG Length,
                  ULONG* BytesReturned, LPOVERLAPPED Overlapped = nullptr);
    /// A request handed to the application and not yet finished, or nullptr.
    std::shared_ptr<TRequest> Find(HTTP_REQUEST_ID RequestId);
    /// The connection of a request handed out and not yet finished, or nullptr.
    std::shared_ptr<TConnection> FindConnection(HTTP_CONNECTION_ID ConnectionId);
    /// The application is done with the request (answered, or its connection is gone).
    void Finish(HTTP_REQUEST_ID RequestId);
    /// Any thread, under a connection's lock: the request's connection has closed. The request
    /// is forgotten on the queue's next use (not here: that could end the connection object).
    void Retire(HTTP_REQUEST_ID RequestId) noexcept;
    /// Fails every waiting receive with ERROR_OPERATION_ABORTED and resets the connections of
    /// every request still here. Later calls fail.
    void Close() noexcept override;
    bool Closed();

    /// CreateIoCompletionPort on the queue handle: completions of overlapped calls go there.
    bool AssociateCompletionPort(HANDLE Port, ULONG_PTR Key) noexcept override;
    /// CancelIoEx on the queue handle: the pending receive Overlapped, or the pending body
    /// read or disconnect wait of a request, ends with 995 (every one of them when nullptr).
    DWORD CancelIo(LPOVERLAPPED Overlapped) noexcept override;
    /// Where completions go: the associated port and key (no port: events only).
    TCompletionTarget Target();

    void SetQueueLength(ULONG Length);
    ULONG QueueLength();
    void SetVerbosity(HTTP_503_RESPONSE_VERBOSITY Verbosity);
    HTTP_503_RESPONSE_VERBOSITY Verbosity();

private:
    // Writes Request into the caller's buffer (or claims it for its id when too small).
    DWORD HandOutLocked(std::shared_ptr<TRequest> Request, void* Buffer, ULONG Length,
                        ULONG& Needed);
    // Drops retired requests; the caller releases Dropped after unlocking.
    void SweepLocked(std::vector<std::shared_ptr<TRequest>>& Dropped);

    /// A synchronous receive waiting for a request, on its thread's stack.
    struct TWaitingReceiver {
        win::TParker* Parker;
        bool Signalled = false; // Guarded by FLock. Woken for a request, counted in FWoken.
    };
    bool ReceivingLocked() const noexcept;
    // Takes the latest waiting receiver for a queued request (Signalled, counted), unless a
    // woken one is on its way; null then or when none waits.
    win::TParker* ReceiverForQueuedLocked() noexcept;

    std::mutex FLock;
    std::vector<TWaitingReceiver*> FWaiting;        // Guarded by FLock. Latest last.
    std::size_t FWoken = 0;                         // Guarded by FLock. Receivers woken, not back.
    std::int64_t FLastReceiveMs = 0;                // Guarded by FLock. When a receive last asked.
    std::deque<std::shared_ptr<TRequest>> FPending; // Guarded by FLock.
    std::unordered_map<HTTP_REQUEST_ID, std::shared_ptr<TRequest>> FClaimed; // Guarded by FLock.
    std::unordered_map<HTTP_REQUEST_ID, std::shared_ptr<TRequest>> FActive;  // Guarded by FLock.
    bool FClosed = false;                                                    // Guarded by FLock.
    ULONG FQueueLength = DefaultQueueLength;                                 // Guarded by FLock.
    HTTP_503_RESPONSE_VERBOSITY FVerbosity = Http503ResponseVerbosityBasic;  // Guarded by FLock.
    std::deque<TPendingIo> FReceivers;     // Guarded by FLock. Overlapped receives, in order.
    std::vector<HTTP_REQUEST_ID> FRetired; // Guarded by FLock.
    TCompletionTarget FTarget;             // Guarded by FLock.
};

} // namespace httpapi
