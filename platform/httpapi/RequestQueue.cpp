// RequestQueue: a request queue handle; parsed requests wait here for the application.
#include "platform/httpapi/RequestQueue.h"

#include "platform/httpapi/Connection.h"

#include <vector>

namespace httpapi {

TDeliverResult TRequestQueue::Deliver(std::shared_ptr<TRequest> Request) {
    {
        std::scoped_lock Lock(FLock);
        if (FClosed) {
            return TDeliverResult::Unavailable;
        }
        if (FPending.size() >= FQueueLength) {
            return TDeliverResult::Full;
        }
        FPending.push_back(std::move(Request));
    }
    FArrived.notify_one();
    return TDeliverResult::Delivered;
}

DWORD TRequestQueue::Receive(HTTP_REQUEST_ID RequestId, ULONG Flags, void* Buffer, ULONG Length,
                             ULONG* BytesReturned) {
    if ((Flags &
         ~ULONG(HTTP_RECEIVE_REQUEST_FLAG_COPY_BODY | HTTP_RECEIVE_REQUEST_FLAG_FLUSH_BODY)) != 0 ||
        Buffer == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (reinterpret_cast<std::uintptr_t>(Buffer) % alignof(HTTP_REQUEST_V2) != 0) {
        return ERROR_NOACCESS;
    }
    if (Length < sizeof(HTTP_REQUEST_V1)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::unique_lock Lock(FLock);
    std::shared_ptr<TRequest> Request;
    if (RequestId != HTTP_NULL_ID) {
        const auto It = FClaimed.find(RequestId);
        if (It == FClaimed.end()) {
            return FClosed ? ERROR_OPERATION_ABORTED : ERROR_CONNECTION_INVALID;
        }
        Request = std::move(It->second);
        FClaimed.erase(It);
        if (Request->Connection->Closed()) {
            return ERROR_CONNECTION_INVALID;
        }
    } else {
        while (!Request) {
            FArrived.wait(Lock, [this] { return FClosed || !FPending.empty(); });
            if (FClosed) {
                return ERROR_OPERATION_ABORTED;
            }
            Request = std::move(FPending.front());
            FPending.pop_front();
            if (Request->Connection->Closed()) {
                Request.reset(); // the client left while its request waited
            }
        }
    }
    const std::size_t Needed = Request->RecordSize();
    if (Needed > Length) {
        // The request now belongs to its id: only a receive naming it gets it.
        auto* Record = new (Buffer) HTTP_REQUEST_V1{};
        Record->RequestId = Request->Id;
        Record->ConnectionId = Request->ConnectionId;
        if (BytesReturned != nullptr) {
            *BytesReturned = static_cast<ULONG>(Needed);
        }
        FClaimed.emplace(Request->Id, std::move(Request));
        return ERROR_MORE_DATA;
    }
    Request->WriteRecord(Buffer);
    if (BytesReturned != nullptr) {
        *BytesReturned = static_cast<ULONG>(Needed);
    }
    FActive.emplace(Request->Id, std::move(Request));
    return NO_ERROR;
}

std::shared_ptr<TRequest> TRequestQueue::Find(HTTP_REQUEST_ID RequestId) {
    std::scoped_lock Lock(FLock);
    const auto It = FActive.find(RequestId);
    return It == FActive.end() ? nullptr : It->second;
}

void TRequestQueue::Finish(HTTP_REQUEST_ID RequestId) {
    std::shared_ptr<TRequest> Request; // released outside the lock
    std::scoped_lock Lock(FLock);
    const auto It = FActive.find(RequestId);
    if (It != FActive.end()) {
        Request = std::move(It->second);
        FActive.erase(It);
    }
}

void TRequestQueue::Close() noexcept {
    std::vector<std::shared_ptr<TRequest>> Orphans;
    {
        std::scoped_lock Lock(FLock);
        FClosed = true;
        try {
            Orphans.reserve(FPending.size() + FClaimed.size() + FActive.size());
            for (auto& Request : FPending) {
                Orphans.push_back(std::move(Request));
            }
            for (auto& [Id, Request] : FClaimed) {
                Orphans.push_back(std::move(Request));
            }
            for (auto& [Id, Request] : FActive) {
                Orphans.push_back(std::move(Request));
            }
        } catch (...) {
            // Out of memory: the connections then end with their own time-outs.
        }
        FPending.clear();
        FClaimed.clear();
        FActive.clear();
    }
    FArrived.notify_all();
    for (auto& Request : Orphans) {
        Request->Connection->Abort();
    }
}

bool TRequestQueue::Closed() {
    std::scoped_lock Lock(FLock);
    return FClosed;
}

bool TRequestQueue::AssociateCompletionPort(HANDLE Port, ULONG_PTR Key) noexcept {
    std::scoped_lock Lock(FLock);
    if (FPort != nullptr) {
        return false; // a handle is associated with one port for its life
    }
    FPort = Port;
    FKey = Key;
    return true;
}

std::pair<HANDLE, ULONG_PTR> TRequestQueue::CompletionPort() {
    std::scoped_lock Lock(FLock);
    return {FPort, FKey};
}

void TRequestQueue::SetQueueLength(ULONG Length) {
    std::scoped_lock Lock(FLock);
    FQueueLength = Length;
}

ULONG TRequestQueue::QueueLength() {
    std::scoped_lock Lock(FLock);
    return FQueueLength;
}

void TRequestQueue::SetVerbosity(HTTP_503_RESPONSE_VERBOSITY Verbosity) {
    std::scoped_lock Lock(FLock);
    FVerbosity = Verbosity;
}

HTTP_503_RESPONSE_VERBOSITY TRequestQueue::Verbosity() {
    std::scoped_lock Lock(FLock);
    return FVerbosity;
}

} // namespace httpapi
