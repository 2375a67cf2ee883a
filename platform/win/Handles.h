// Handles: the process-wide handle table behind every HANDLE of the Win32 subset.
//
// One table per process: the programs and libhttpapi.so both link the platform_win shared
// library, so a handle made in one is found by the other (a request queue handle associated
// with a completion port, an event signalled by the listener).
#pragma once

#include <memory>
#include <windows.h>

namespace win {

/// An object reachable through a HANDLE. CloseHandle calls Close() and drops the table's
/// reference; the object lives on while anyone still holds a shared_ptr to it.
class THandleObject {
public:
    THandleObject() = default;
    THandleObject(const THandleObject&) = delete;
    THandleObject& operator=(const THandleObject&) = delete;
    virtual ~THandleObject() = default;
    /// Called once, by CloseHandle, before the table forgets the handle. Wakes waiters, fails
    /// pending operations with ERROR_OPERATION_ABORTED, and so on.
    virtual void Close() noexcept {}
    /// Associates the object with a completion port (CreateIoCompletionPort on an existing
    /// handle). Objects that do no overlapped I/O refuse with false.
    virtual bool AssociateCompletionPort(HANDLE /*Port*/, ULONG_PTR /*Key*/) noexcept {
        return false;
    }
    /// CancelIoEx: fails the pending operation of Overlapped (every pending one when nullptr)
    /// with ERROR_OPERATION_ABORTED through CompleteOverlapped. Returns ERROR_SUCCESS when it
    /// cancelled something, else ERROR_NOT_FOUND.
    virtual DWORD CancelIo(LPOVERLAPPED /*Overlapped*/) noexcept { return ERROR_NOT_FOUND; }
};

class TCompletionPort;

/// Adds Object to the table and returns its new handle (never reused within the process), or
/// nullptr when the table is full.
HANDLE RegisterHandle(std::shared_ptr<THandleObject> Object) noexcept;
/// The object behind Handle, or nullptr (with ERROR_INVALID_HANDLE set) for an unknown or
/// closed one.
std::shared_ptr<THandleObject> ReferenceHandle(HANDLE Handle) noexcept;
/// The object behind Handle when it is a T, or nullptr (with ERROR_INVALID_HANDLE set).
template <class T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE Handle) noexcept {
    return std::dynamic_pointer_cast<T>(ReferenceHandle(Handle));
}
/// Removes Handle from the table and returns its object (not yet closed), or nullptr.
std::shared_ptr<THandleObject> UnregisterHandle(HANDLE Handle) noexcept;

/// Marks an overlapped operation as started, before its call returns ERROR_IO_PENDING (or
/// completes): status STATUS_PENDING, no bytes, the OVERLAPPED's event (if any) reset.
void BeginOverlapped(LPOVERLAPPED Overlapped) noexcept;
/// Completes an overlapped operation: stores Status (a Win32 code, kept as its NTSTATUS) and
/// Bytes in the OVERLAPPED, signals its event when it has one, and queues a packet to Port with
/// Key when Port is set (unless the event handle's low bit is set, as on Windows). A closed or
/// unknown port drops the packet.
void CompleteOverlapped(HANDLE Port, ULONG_PTR Key, LPOVERLAPPED Overlapped, DWORD Status,
                        DWORD Bytes) noexcept;
/// The port behind a handle, for objects that complete often: keeping it saves the handle
/// table look-up of every completion. nullptr (ERROR_INVALID_HANDLE) for anything else.
std::shared_ptr<TCompletionPort> ReferenceCompletionPort(HANDLE Port) noexcept;
/// As above, to a port already referenced (nullptr: no port, only the event).
void CompleteOverlappedOnPort(TCompletionPort* Port, ULONG_PTR Key, LPOVERLAPPED Overlapped,
                              DWORD Status, DWORD Bytes) noexcept;

/// The NTSTATUS kept in OVERLAPPED.Internal for a Win32 code, and back. Codes without an NT
/// equivalent travel as FACILITY_NTWIN32 statuses (0xC007xxxx), so every code round-trips.
NTSTATUS Win32ToNtStatus(DWORD Code) noexcept;
DWORD NtStatusToWin32(NTSTATUS Status) noexcept;

/// The Win32 code for a POSIX errno value (the one place errno becomes a code).
DWORD ErrnoToWin32(int Errno) noexcept;

} // namespace win
