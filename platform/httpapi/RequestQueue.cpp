// RequestQueue: a request queue handle; parsed requests wait here for the application.
#include "platform/httpapi/RequestQueue.h"

#include "platform/httpapi/Connection.h"
#include "platform/httpapi/Reactor.h"

#include <algorithm>
#include <vector>

namespace httpapi {

TDeliverResult TRequestQueue::Deliver(std::shared_ptr<TRequest> Request, TWakeUp* Later) {
    std::vector<std::shared_ptr<TRequest>> Dropped; // released after the lock
    std::unique_lock Lock(FLock);
    SweepLocked(Dropped);
    if (FClosed) {
        return TDeliverResult::Unavailable;
    }
    if (!FReceivers.empty()) {
        // A pending overlapped receive takes it at once (they are served in the order made).
        const TPendingIo Receiver = FReceivers.front();
        FReceivers.pop_front();
        ULONG Needed = 0;
        const DWORD Result =
            HandOutLocked(std::move(Request), Receiver.Buffer, Receiver.Length, Needed);
        Lock.unlock();
        if (Later != nullptr) {
            Later->Completion.emplace(TDeferredCompletion{Receiver, Result, Needed});
        } else {
            Receiver.Complete(Result, Needed);
        }
        return TDeliverResult::Delivered;
    }
    if (FPending.size() >= FQueueLength && !ReceivingLocked()) {
        return TDeliverResult::Full;
    }
    FPending.push_back(std::move(Request));
    win::TParker* Receiver = ReceiverForQueuedLocked();
    Lock.unlock();
    if (Later != nullptr) {
        Later->Receiver = Receiver;
    } else if (Receiver != nullptr) {
        win::Wake(*Receiver);
    }
    return TDeliverResult::Delivered;
}

bool TRequestQueue::ReceivingLocked() const noexcept {
    return !FWaiting.empty() || FWoken > 0 ||
           (FLastReceiveMs != 0 && MonotonicMs() - FLastReceiveMs < ReceivingMs);
}

win::TParker* TRequestQueue::ReceiverForQueuedLocked() noexcept {
    if (FWaiting.empty() || FWoken > 0) {
        return nullptr;
    }
    TWaitingReceiver* Receiver = FWaiting.back();
    FWaiting.pop_back();
    Receiver->Signalled = true;
    ++FWoken;
    return Receiver->Parker;
}

DWORD TRequestQueue::HandOutLocked(std::shared_ptr<TRequest> Request, void* Buffer, ULONG Length,
                                   ULONG& Needed) {
    Needed = static_cast<ULONG>(Request->RecordSize());
    if (Needed > Length) {
        // The request now belongs to its id: only a receive naming it gets it.
        auto* Record = new (Buffer) HTTP_REQUEST_V1{};
        Record->RequestId = Request->Id;
        Record->ConnectionId = Request->ConnectionId;
        FClaimed.emplace(Request->Id, std::move(Request));
        return ERROR_MORE_DATA;
    }
    Request->WriteRecord(Buffer);
    Request->DropRecordText();
    Request->HandedOut = true;
    FActive.emplace(Request->Id, std::move(Request));
    return NO_ERROR;
}

void TRequestQueue::SweepLocked(std::vector<std::shared_ptr<TRequest>>& Dropped) {
    for (const HTTP_REQUEST_ID Id : FRetired) {
        for (auto* Map : {&FActive, &FClaimed}) {
            const auto It = Map->find(Id);
            if (It != Map->end()) {
                Dropped.push_back(std::move(It->second));
                Map->erase(It);
            }
        }
    }
    FRetired.clear();
}

DWORD TRequestQueue::Receive(HTTP_REQUEST_ID RequestId, ULONG Flags, void* Buffer, ULONG Length,
                             ULONG* BytesReturned, LPOVERLAPPED Overlapped) {
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
    std::vector<std::shared_ptr<TRequest>> Dropped; // released after the lock
    std::unique_lock Lock(FLock);
    SweepLocked(Dropped);
    FLastReceiveMs = MonotonicMs();
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
            if (Overlapped != nullptr && !FClosed && FPending.empty()) {
                // Nothing waiting: the next delivered request completes this call.
                win::BeginOverlapped(Overlapped);
                FReceivers.push_back({Overlapped, FTarget, Buffer, Length, Flags});
                return ERROR_IO_PENDING;
            }
            if (!FClosed && FPending.empty()) {
                // Nothing here: wait (or poll the listener) until a delivery wakes us.
                TWaitingReceiver Me{&win::TParker::Current()};
                FWaiting.push_back(&Me);
                Lock.unlock();
                Me.Parker->Wait(false, {});
                Lock.lock();
                if (Me.Signalled) {
                    --FWoken;
                } else {
                    std::erase(FWaiting, &Me);
                }
                continue;
            }
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
    // More requests than this receiver takes: another waiting one may take the next.
    win::TParker* Next = FPending.empty() ? nullptr : ReceiverForQueuedLocked();
    ULONG Needed = 0;
    const DWORD Result = HandOutLocked(std::move(Request), Buffer, Length, Needed);
    if (BytesReturned != nullptr) {
        *BytesReturned = Needed;
    }
    const TCompletionTarget Target = FTarget;
    Lock.unlock();
    win::BeginServing();
    if (Next != nullptr) {
        win::Wake(*Next);
    }
    if (Overlapped != nullptr && Result == NO_ERROR) {
        // Done at once; the completion is still reported, as the Windows listener does.
        win::BeginOverlapped(Overlapped);
        TPendingIo{Overlapped, Target, Buffer, Length, Flags}.Complete(NO_ERROR, Needed);
    }
    return Result;
}

std::shared_ptr<TRequest> TRequestQueue::Find(HTTP_REQUEST_ID RequestId) {
    std::vector<std::shared_ptr<TRequest>> Dropped; // released after the lock
    std::scoped_lock Lock(FLock);
    SweepLocked(Dropped);
    const auto It = FActive.find(RequestId);
    return It == FActive.end() ? nullptr : It->second;
}

std::shared_ptr<TConnection> TRequestQueue::FindConnection(HTTP_CONNECTION_ID ConnectionId) {
    std::vector<std::shared_ptr<TRequest>> Dropped; // released after the lock
    std::scoped_lock Lock(FLock);
    SweepLocked(Dropped);
    for (const auto& [Id, Request] : FActive) {
        if (Request->ConnectionId == ConnectionId) {
            return Request->Connection;
        }
    }
    return nullptr;
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

void TRequestQueue::Retire(HTTP_REQUEST_ID RequestId) noexcept {
    std::scoped_lock Lock(FLock);
    try {
        FRetired.push_back(RequestId);
    } catch (...) {
        // Out of memory: the request then stays until the queue closes.
    }
}

void TRequestQueue::Close() noexcept {
    std::vector<std::shared_ptr<TRequest>> Orphans;
    std::deque<TPendingIo> Receivers;
    std::vector<win::TParker*> Waiting;
    {
        std::scoped_lock Lock(FLock);
        FClosed = true;
        for (TWaitingReceiver* Receiver : FWaiting) {
            Receiver->Signalled = true;
            ++FWoken;
            try {
                Waiting.push_back(Receiver->Parker);
            } catch (...) {
                win::Wake(*Receiver->Parker); // out of memory: under the lock
            }
        }
        FWaiting.clear();
        Receivers.swap(FReceivers);
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
        FRetired.clear();
    }
    for (win::TParker* Parker : Waiting) {
        win::Wake(*Parker);
    }
    for (const TPendingIo& Receiver : Receivers) {
        Receiver.Complete(ERROR_OPERATION_ABORTED, 0);
    }
    for (auto& Request : Orphans) {
        Request->Connection->Abort(ERROR_OPERATION_ABORTED);
    }
}

DWORD TRequestQueue::CancelIo(LPOVERLAPPED Overlapped) noexcept {
    std::vector<TPendingIo> Cancelled;
    std::vector<std::shared_ptr<TConnection>> Connections;
    {
        std::scoped_lock Lock(FLock);
        try {
            for (auto It = FReceivers.begin(); It != FReceivers.end();) {
                if (Overlapped == nullptr || It->Overlapped == Overlapped) {
                    Cancelled.push_back(*It);
                    It = FReceivers.erase(It);
                } else {
                    ++It;
                }
            }
            if (Overlapped == nullptr || Cancelled.empty()) {
                for (const auto& [Id, Request] : FActive) {
                    Connections.push_back(Request->Connection);
                }
            }
        } catch (...) {
            // Out of memory: what was collected is cancelled.
        }
    }
    bool Found = !Cancelled.empty();
    for (const TPendingIo& Receiver : Cancelled) {
        Receiver.Complete(ERROR_OPERATION_ABORTED, 0);
    }
    for (const auto& Connection : Connections) {
        if (Connection->CancelIo(Overlapped)) {
            Found = true;
            if (Overlapped != nullptr) {
                break;
            }
        }
    }
    return Found ? ERROR_SUCCESS : ERROR_NOT_FOUND;
}

bool TRequestQueue::Closed() {
    std::scoped_lock Lock(FLock);
    return FClosed;
}

bool TRequestQueue::AssociateCompletionPort(HANDLE Port, ULONG_PTR Key) noexcept {
    auto Object = win::ReferenceCompletionPort(Port);
    std::scoped_lock Lock(FLock);
    if (!Object || FTarget.Port) {
        return false; // a handle is associated with one port for its life
    }
    FTarget.Port = std::move(Object);
    FTarget.Key = Key;
    return true;
}

TCompletionTarget TRequestQueue::Target() {
    std::scoped_lock Lock(FLock);
    return FTarget;
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
