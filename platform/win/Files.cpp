// Files: CreateFile, ReadFile, WriteFile and the few file functions Windows programs lean on
// (temporary names, sizes, positions, deletion), over POSIX descriptors.
#include "platform/win/Files.h"

#include "platform/rtl/Utf.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace win {

TFile::~TFile() {
    close(FFd);
}

void TFile::Close() noexcept {
    if (FDeleteOnClose) {
        unlink(FPath.c_str());
    }
}

namespace {

void SetErrno() noexcept {
    SetLastError(ErrnoToWin32(errno));
}

std::shared_ptr<TFile> FileOf(HANDLE Handle) noexcept {
    auto File = ReferenceHandleAs<TFile>(Handle);
    if (!File) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return File;
}

bool Narrow(LPCWSTR Text, std::string& Result) noexcept {
    if (Text == nullptr) {
        return false;
    }
    try {
        Result = rtl::WideToUtf8(Text);
        return true;
    } catch (...) {
        return false;
    }
}

HANDLE Create(const std::string& Name, DWORD Access, DWORD Disposition, DWORD Flags) noexcept {
    if (Name.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if ((Flags & FILE_FLAG_OVERLAPPED) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED); // files are read and written synchronously here
        return INVALID_HANDLE_VALUE;
    }
    const bool Read = (Access & (GENERIC_READ | GENERIC_ALL)) != 0;
    const bool Write = (Access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    int Mode = Read && Write ? O_RDWR : Write ? O_WRONLY : Read ? O_RDONLY : O_PATH;
    Mode |= O_CLOEXEC;
    int Fd = -1;
    bool Existed = false;
    switch (Disposition) {
    case CREATE_NEW:
        Fd = open(Name.c_str(), Mode | O_CREAT | O_EXCL, 0666);
        if (Fd < 0 && errno == EEXIST) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        // First as a new file, so that the caller learns whether it existed.
        Fd = open(Name.c_str(), Mode | O_CREAT | O_EXCL, 0666);
        if (Fd < 0 && errno == EEXIST) {
            Existed = true;
            Fd = open(Name.c_str(), Mode | (Disposition == CREATE_ALWAYS ? O_TRUNC : 0));
        }
        break;
    case OPEN_EXISTING:
        Fd = open(Name.c_str(), Mode);
        break;
    case TRUNCATE_EXISTING:
        if (!Write) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        Fd = open(Name.c_str(), Mode | O_TRUNC);
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (Fd < 0) {
        SetErrno();
        return INVALID_HANDLE_VALUE;
    }
    struct stat Status {};
    if (fstat(Fd, &Status) != 0 || S_ISDIR(Status.st_mode)) {
        close(Fd);
        SetLastError(ERROR_ACCESS_DENIED); // a folder is no file
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<TFile> File;
    try {
        File = std::make_shared<TFile>(Fd, Access, Name, (Flags & FILE_FLAG_DELETE_ON_CLOSE) != 0);
    } catch (...) {
        close(Fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE Handle = RegisterHandle(File);
    if (Handle == nullptr) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(Existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return Handle;
}

// The name "<Path>/<Prefix><Number>.TMP" (Prefix cut to three characters), or empty when it
// would not fit MAX_PATH.
std::string TempName(std::string Path, const std::string& Prefix, UINT Number) {
    if (!Path.empty() && Path.back() != '/') {
        Path += '/';
    }
    char Digits[16];
    std::snprintf(Digits, sizeof(Digits), "%X", Number);
    // The prefix counts in characters; cut it on a UTF-8 character boundary.
    std::size_t Cut = 0;
    for (int Characters = 0; Cut < Prefix.size() && Characters < 3; ++Characters) {
        ++Cut;
        while (Cut < Prefix.size() && (static_cast<unsigned char>(Prefix[Cut]) & 0xC0) == 0x80) {
            ++Cut;
        }
    }
    return Path + Prefix.substr(0, Cut) + Digits + ".TMP";
}

UINT TempFileName(const std::string& Path, const std::string& Prefix, UINT Unique,
                  std::string& Result) noexcept {
    try {
        if (Unique != 0) {
            Result = TempName(Path, Prefix, Unique & 0xFFFF);
            return Unique & 0xFFFF;
        }
        // A number from the clock, then the next ones until a name is free (16 bits, as on
        // Windows; 0 is skipped since it means "choose one").
        UINT Number = static_cast<UINT>(GetTickCount64() & 0xFFFF);
        for (int Tried = 0; Tried < 0xFFFF; ++Tried) {
            Number = Number % 0xFFFF + 1;
            Result = TempName(Path, Prefix, Number);
            const int Fd = open(Result.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (Fd >= 0) {
                close(Fd);
                return Number;
            }
            if (errno != EEXIST) {
                SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno));
                return 0;
            }
        }
        SetLastError(ERROR_FILE_EXISTS);
        return 0;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

} // namespace

} // namespace win

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE /*hTemplateFile*/) noexcept {
    std::string Name;
    if (!win::Narrow(lpFileName, Name)) {
        SetLastError(lpFileName == nullptr ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return win::Create(Name, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE /*hTemplateFile*/) noexcept {
    try {
        return win::Create(lpFileName == nullptr ? std::string() : std::string(lpFileName),
                           dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) noexcept {
    const auto File = win::FileOf(hFile);
    if (!File) {
        return FALSE;
    }
    if (lpOverlapped != nullptr || lpNumberOfBytesRead == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfBytesRead = 0;
    if (!File->CanRead()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto* Into = static_cast<char*>(lpBuffer);
    DWORD Done = 0;
    while (Done < nNumberOfBytesToRead) {
        const ssize_t Got = read(File->Fd(), Into + Done, nNumberOfBytesToRead - Done);
        if (Got < 0 && errno == EINTR) {
            continue;
        }
        if (Got < 0) {
            *lpNumberOfBytesRead = Done;
            win::SetErrno();
            return FALSE;
        }
        if (Got == 0) {
            break; // end of the file: success with what was read
        }
        Done += static_cast<DWORD>(Got);
    }
    *lpNumberOfBytesRead = Done;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) noexcept {
    const auto File = win::FileOf(hFile);
    if (!File) {
        return FALSE;
    }
    if (lpOverlapped != nullptr || lpNumberOfBytesWritten == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfBytesWritten = 0;
    if (!File->CanWrite()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const auto* From = static_cast<const char*>(lpBuffer);
    DWORD Done = 0;
    while (Done < nNumberOfBytesToWrite) {
        const ssize_t Put = write(File->Fd(), From + Done, nNumberOfBytesToWrite - Done);
        if (Put < 0 && errno == EINTR) {
            continue;
        }
        if (Put < 0) {
            *lpNumberOfBytesWritten = Done;
            win::SetErrno();
            return FALSE;
        }
        Done += static_cast<DWORD>(Put);
    }
    *lpNumberOfBytesWritten = Done;
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) noexcept {
    const auto File = win::FileOf(hFile);
    if (!File) {
        return FALSE;
    }
    if (fsync(File->Fd()) != 0) {
        win::SetErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) noexcept {
    const auto File = win::FileOf(hFile);
    if (!File) {
        return FALSE;
    }
    struct stat Status {};
    if (lpFileSize == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (fstat(File->Fd(), &Status) != 0) {
        win::SetErrno();
        return FALSE;
    }
    lpFileSize->QuadPart = Status.st_size;
    return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) noexcept {
    const auto File = win::FileOf(hFile);
    if (!File) {
        return FALSE;
    }
    const int Whence = dwMoveMethod == FILE_BEGIN     ? SEEK_SET
                       : dwMoveMethod == FILE_CURRENT ? SEEK_CUR
                       : dwMoveMethod == FILE_END     ? SEEK_END
                                                      : -1;
    if (Whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const off_t At = lseek(File->Fd(), liDistanceToMove.QuadPart, Whence);
    if (At < 0) {
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : win::ErrnoToWin32(errno));
        return FALSE;
    }
    if (lpNewFilePointer != nullptr) {
        lpNewFilePointer->QuadPart = At;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) noexcept {
    if (lpFileName == nullptr || *lpFileName == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    struct stat Status {};
    if (lstat(lpFileName, &Status) == 0 && S_ISDIR(Status.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED); // folders go with RemoveDirectory
        return FALSE;
    }
    if (unlink(lpFileName) != 0) {
        win::SetErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) noexcept {
    std::string Name;
    if (!win::Narrow(lpFileName, Name)) {
        SetLastError(lpFileName == nullptr ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
        return FALSE;
    }
    return DeleteFileA(Name.c_str());
}

UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                             LPSTR lpTempFileName) noexcept {
    if (lpPathName == nullptr || lpTempFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        std::string Result;
        const UINT Number = win::TempFileName(
            lpPathName, lpPrefixString == nullptr ? "" : lpPrefixString, uUnique, Result);
        if (Number == 0) {
            return 0;
        }
        if (Result.size() >= MAX_PATH) {
            if (uUnique == 0) {
                unlink(Result.c_str());
            }
            SetLastError(ERROR_BUFFER_OVERFLOW);
            return 0;
        }
        std::memcpy(lpTempFileName, Result.c_str(), Result.size() + 1);
        return Number;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

UINT WINAPI GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique,
                             LPWSTR lpTempFileName) noexcept {
    std::string Path;
    std::string Prefix;
    if (lpTempFileName == nullptr || !win::Narrow(lpPathName, Path) ||
        (lpPrefixString != nullptr && !win::Narrow(lpPrefixString, Prefix))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        std::string Result;
        const UINT Number = win::TempFileName(Path, Prefix, uUnique, Result);
        if (Number == 0) {
            return 0;
        }
        const std::wstring Wide = rtl::Utf8ToWide(Result);
        if (Wide.size() >= MAX_PATH) {
            if (uUnique == 0) {
                unlink(Result.c_str());
            }
            SetLastError(ERROR_BUFFER_OVERFLOW);
            return 0;
        }
        std::wmemcpy(lpTempFileName, Wide.c_str(), Wide.size() + 1);
        return Number;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

} // extern "C"
