// RequestQueue: a request queue handle; parsed requests wait here for the application.
#pragma once

#include "platform/httpapi/Request.h"
#include "platform/win/Handles.h"

#include <condition_variable>
#include <deque>
#include <http.h>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace httpapi {

enum class TDeliverResult : std::uint8_t { Delivered, Full, Unavailable };

/// A request queue. Reactor threads deliver; application threads receive, from any number of
/// threads at once. Requests handed to the application stay here, by id, until answered.
class TRequestQueue : public win::THandleObject {
public:
    static constexpr ULONG DefaultQueueLength = 1000;

    TRequestQueue() = default;

    /// Reactor thread: queue Request, or refuse it when the queue is full or closed.
    TDeliverResult Deliver(std::shared_ptr<TRequest> Request);
    /// HttpReceiveHttpRequest, synchronous form.
    DWORD Receive(HTTP_REQUEST_ID RequestId, ULONG Flags, void* Buffer, ULONG Length,
                  ULONG* BytesReturned);
    /// A request handed to the application and not yet finished, or nullptr.
    std::shared_ptr<TRequest> Find(HTTP_REQUEST_ID RequestId);
    /// The application is done with the request (answered, or its connection is gone).
    void Finish(HTTP_REQUEST_ID RequestId);
    /// Fails every waiting receive with ERROR_OPERATION_ABORTED and resets the connections of
    /// every request still here. Later calls fail.
    void Close() noexcept override;
    bool Closed();

    /// CreateIoCompletionPort on the queue handle: completions of overlapped calls go there.
    bool AssociateCompletionPort(HANDLE Port, ULONG_PTR Key) noexcept override;
    /// The associated port and key (null port: none).
    std::pair<HANDLE, ULONG_PTR> CompletionPort();

    void SetQueueLength(ULONG Length);
    ULONG QueueLength();
    void SetVerbosity(HTTP_503_RESPONSE_VERBOSITY Verbosity);
    HTTP_503_RESPONSE_VERBOSITY Verbosity();

private:
    std::mutex FLock;
    std::condition_variable FArrived;
    std::deque<std::shared_ptr<TRequest>> FPending;                          // Guarded by FLock.
    std::unordered_map<HTTP_REQUEST_ID, std::shared_ptr<TRequest>> FClaimed; // Guarded by FLock.
    std::unordered_map<HTTP_REQUEST_ID, std::shared_ptr<TRequest>> FActive;  // Guarded by FLock.
    bool FClosed = false;                                                    // Guarded by FLock.
    ULONG FQueueLength = DefaultQueueLength;                                 // Guarded by FLock.
    HTTP_503_RESPONSE_VERBOSITY FVerbosity = Http503ResponseVerbosityBasic;  // Guarded by FLock.
    HANDLE FPort = nullptr;                                                  // Guarded by FLock.
    ULONG_PTR FKey = 0;                                                      // Guarded by FLock.
};

} // namespace httpapi
