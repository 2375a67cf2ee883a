// PendingIo: an overlapped call of the listener that waits for its completion.
#pragma once

#include "platform/win/CompletionPort.h"

#include <http.h>
#include <memory>

namespace httpapi {

/// Where the completions of a queue's overlapped calls go: the port associated with the queue
/// (kept referenced, so a completion needs no handle look-up) and its key. No port: only the
/// OVERLAPPED's event is signalled.
struct TCompletionTarget {
    std::shared_ptr<win::TCompletionPort> Port;
    ULONG_PTR Key = 0;
};

/// One overlapped call that returned ERROR_IO_PENDING. The caller's buffer and OVERLAPPED stay
/// the caller's; they must live until the completion, as on Windows.
struct TPendingIo {
    LPOVERLAPPED Overlapped = nullptr;
    TCompletionTarget Target;
    void* Buffer = nullptr;
    ULONG Length = 0;
    ULONG Flags = 0;

    /// Publishes the result in the OVERLAPPED, signals its event and queues the packet.
    void Complete(DWORD Status, DWORD Bytes) const noexcept {
        win::CompleteOverlappedOnPort(Target.Port.get(), Target.Key, Overlapped, Status, Bytes);
    }
};

/// A completion decided under a lock, to be made once the lock is released: the thread it
/// wakes may want that lock at once.
struct TDeferredCompletion {
    TPendingIo Io;
    DWORD Status = NO_ERROR;
    DWORD Bytes = 0;
};

} // namespace httpapi
