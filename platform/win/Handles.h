// Handles: the process-wide handle table behind every HANDLE of the Win32 subset.
//
// One table per process: the programs and libhttpapi.so both link the platform_win shared
// library, so a handle made in one is found by the other (a request queue handle associated
// with a completion port, an event signalled by the listener).
#pragma once

#include <windows.h>

#include <memory>

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
};

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

/// Completes an overlapped operation: stores Status (a Win32 code) and Bytes in the OVERLAPPED,
/// then queues a packet to Port with Key when Port is set, or else signals the OVERLAPPED's
/// event when it has one.
void CompleteOverlapped(HANDLE Port, ULONG_PTR Key, LPOVERLAPPED Overlapped, DWORD Status,
                        DWORD Bytes) noexcept;

/// The Win32 code for a POSIX errno value (the one place errno becomes a code).
DWORD ErrnoToWin32(int Errno) noexcept;

} // namespace win
