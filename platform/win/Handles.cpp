// Handles: the process-wide handle table behind every HANDLE of the Win32 subset.
#include "platform/win/Handles.h"

#include <cerrno>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace win {

namespace {

thread_local DWORD LastError = ERROR_SUCCESS; // Per thread, as on Windows.

// Handles are small multiples of 4, as on Windows, and never reused: a stale handle can only
// ever miss, never reach a newer object.
class THandleTable {
public:
    HANDLE Add(std::shared_ptr<THandleObject> Object) {
        std::scoped_lock Lock(FLock);
        if (FNext > MaxValue) {
            return nullptr;
        }
        const std::uintptr_t Value = FNext;
        FNext += 4;
        FObjects.emplace(Value, std::move(Object));
        return reinterpret_cast<HANDLE>(Value);
    }

    std::shared_ptr<THandleObject> Find(HANDLE Handle) {
        // Looked up by every call on a handle from every thread: readers share the lock.
        std::shared_lock Lock(FLock);
        const auto It = FObjects.find(reinterpret_cast<std::uintptr_t>(Handle));
        return It == FObjects.end() ? nullptr : It->second;
    }

    std::shared_ptr<THandleObject> Remove(HANDLE Handle) {
        std::scoped_lock Lock(FLock);
        const auto It = FObjects.find(reinterpret_cast<std::uintptr_t>(Handle));
        if (It == FObjects.end()) {
            return nullptr;
        }
        std::shared_ptr<THandleObject> Object = std::move(It->second);
        FObjects.erase(It);
        return Object;
    }

private:
    // Far below INVALID_HANDLE_VALUE (all ones) and pseudo-handles.
    static constexpr std::uintptr_t MaxValue = std::uintptr_t(1) << 46;

    std::shared_mutex FLock;
    std::uintptr_t FNext = 0x104; // Guarded by FLock.
    std::unordered_map<std::uintptr_t, std::shared_ptr<THandleObject>>
        FObjects; // Guarded by FLock.
};

THandleTable& Table() {
    // Never destroyed: handles may still be closed from static destructors of other libraries.
    static auto* Instance = new THandleTable;
    return *Instance;
}

} // namespace

HANDLE RegisterHandle(std::shared_ptr<THandleObject> Object) noexcept {
    try {
        return Object ? Table().Add(std::move(Object)) : nullptr;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<THandleObject> ReferenceHandle(HANDLE Handle) noexcept {
    std::shared_ptr<THandleObject> Object = Table().Find(Handle);
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return Object;
}

std::shared_ptr<THandleObject> UnregisterHandle(HANDLE Handle) noexcept {
    return Table().Remove(Handle);
}

DWORD ErrnoToWin32(int Errno) noexcept {
    switch (Errno) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EADDRINUSE:
        return ERROR_SHARING_VIOLATION;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ECONNRESET:
    case ENOTCONN:
        return ERROR_CONNECTION_INVALID;
    case ECONNABORTED:
        return ERROR_CONNECTION_ABORTED;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case ECANCELED:
        return ERROR_OPERATION_ABORTED;
    case EADDRNOTAVAIL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_INTERNAL_ERROR;
    }
}

} // namespace win

extern "C" {

DWORD WINAPI GetLastError() noexcept {
    return win::LastError;
}

void WINAPI SetLastError(DWORD dwErrCode) noexcept {
    win::LastError = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE hObject) noexcept {
    // The pseudo-handles of the current process (-1) and thread (-2) need no closing.
    if (hObject == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)) ||
        hObject == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2))) {
        return TRUE;
    }
    std::shared_ptr<win::THandleObject> Object = win::UnregisterHandle(hObject);
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Object->Close();
    return TRUE;
}

} // extern "C"
