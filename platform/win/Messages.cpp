// Messages: FormatMessage with the system's English message texts, and local memory.
#include "platform/rtl/Utf.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <windows.h>
#include <winsock2.h>

namespace {

struct TMessage {
    DWORD Code;
    const char* Text; // Without the line break that ends every system text.
};

// The system texts of every code this layer reports, as Windows words them.
constexpr TMessage Messages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_BAD_NETPATH, "The network path was not found."},
    {ERROR_NETNAME_DELETED, "The specified network name is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long."},
    {ERROR_NEGATIVE_SEEK,
     "An attempt was made to move the file pointer before the beginning of the file."},
    {ERROR_REGISTRY_CORRUPT, "The configuration registry database is corrupt."},
    {ERROR_FILE_CORRUPT, "The file or directory is corrupted and unreadable."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_INVALID_LEVEL, "The system call level is not correct."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_BAD_ARGUMENTS, "One or more arguments are not correct."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_PIPE_BUSY, "All pipe instances are busy."},
    {ERROR_NO_DATA, "The pipe is being closed."},
    {ERROR_PIPE_NOT_CONNECTED, "No process is on the other end of the pipe."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_PARTIAL_COPY, "Only part of a ReadProcessMemory or WriteProcessMemory request was "
                         "completed."},
    {ERROR_MR_MID_NOT_FOUND, "The system cannot find message text for message number 0x%1 in the "
                             "message file for %2."},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
    {ERROR_ARITHMETIC_OVERFLOW, "Arithmetic result exceeded 32 bits."},
    // winerror.h gives this code its symbol as its text.
    {ERROR_ABANDONED_WAIT_0, "ERROR_ABANDONED_WAIT_0"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_NO_TOKEN, "An attempt was made to reference a token that does not exist."},
    {ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_INVALID_NETNAME, "The format of the specified network name is invalid."},
    {ERROR_NO_NETWORK, "The network is not present or not started."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection."},
    {ERROR_GRACEFUL_DISCONNECT, "The network connection was gracefully closed."},
    {ERROR_CONNECTION_INVALID, "An operation was attempted on a nonexistent network connection."},
    {ERROR_REQUEST_ABORTED, "The request was aborted."},
    {ERROR_CONNECTION_ABORTED, "The network connection was aborted by the local system."},
    {ERROR_RETRY, "The operation could not be completed. A retry should be performed."},
    {ERROR_REVISION_MISMATCH, "Indicates two revision levels are incompatible."},
    {ERROR_NO_SUCH_LOGON_SESSION,
     "A specified logon session does not exist. It may already have been terminated."},
    {ERROR_INVALID_SID, "The security ID structure is invalid."},
    {ERROR_INVALID_SECURITY_DESCR, "The security descriptor structure is invalid."},
    {ERROR_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_INVALID_THREAD_ID, "The thread identifier is invalid."},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_INVALID_USER_BUFFER,
     "The supplied user buffer is not valid for the requested operation."},
    {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     "The specified resource type cannot be found in the image file."},
    {ERROR_RESOURCE_NAME_NOT_FOUND,
     "The specified resource name cannot be found in the image file."},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     "The specified resource language ID cannot be found in the image file."},
    {ERROR_NOT_ENOUGH_QUOTA, "Not enough quota is available to process this command."},
    {WSAEFAULT, "The system detected an invalid pointer address in attempting to use a pointer "
                "argument in a call."},
    {WSAEINVAL, "An invalid argument was supplied."},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used."},
    {WSASYSNOTREADY, "WSAStartup cannot function at this time because the underlying system it "
                     "uses to provide network services is currently unavailable."},
    {WSAVERNOTSUPPORTED, "The Windows Sockets version requested is not supported."},
    {WSANOTINITIALISED, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {WSAHOST_NOT_FOUND, "No such host is known."},
    {WSATRY_AGAIN, "This is usually a temporary error during hostname resolution and means that "
                   "the local server did not receive a response from an authoritative server."},
    {WSANO_RECOVERY, "A non-recoverable error occurred during a database lookup."},
    {WSANO_DATA, "The requested name is valid, but no data of the requested type was found."},
};

const char* FindMessage(DWORD Code) noexcept {
    // An HRESULT made from a Win32 code (FACILITY_WIN32) has that code's text.
    if ((Code & 0xFFFF0000u) == 0x80070000u) {
        Code &= 0xFFFFu;
    }
    for (const TMessage& Message : Messages) {
        if (Message.Code == Code) {
            return Message.Text;
        }
    }
    return nullptr;
}

// The inserts' values: a DWORD_PTR array, or values read from a va_list as far as needed.
class TArguments {
public:
    TArguments(va_list* List, bool IsArray) : FList(List), FIsArray(IsArray) {}
    std::optional<DWORD_PTR> Get(unsigned Number) {
        if (FList == nullptr) {
            return std::nullopt;
        }
        if (FIsArray) {
            return reinterpret_cast<const DWORD_PTR*>(FList)[Number - 1];
        }
        // A va_list can only be read in order: read up to the highest number used yet.
        while (FRead.size() < Number) {
            FRead.push_back(va_arg(*FList, DWORD_PTR));
        }
        return FRead[Number - 1];
    }

private:
    va_list* FList;
    bool FIsArray;
    std::vector<DWORD_PTR> FRead;
};

// One insert with its printf-style format ("s" when none is given). Strings are wide for the
// W function unless marked 'h', narrow for the A function unless marked 'l' or given as 'S'.
std::optional<std::wstring> FormatInsert(std::string Format, DWORD_PTR Value, bool Wide) {
    if (Format.empty() || Format.find('*') != std::string::npos) {
        return std::nullopt;
    }
    const char Conversion = Format.back();
    std::string Modifiers = Format.substr(0, Format.size() - 1);
    for (std::size_t At; (At = Modifiers.find("I64")) != std::string::npos;) {
        Modifiers.replace(At, 3, "ll");
    }
    for (std::size_t At; (At = Modifiers.find("I32")) != std::string::npos;) {
        Modifiers.erase(At, 3);
    }
    wchar_t Buffer[512];
    int Length;
    if (Conversion == 's' || Conversion == 'S') {
        bool WideString = Wide ? Conversion == 's' : Conversion == 'S';
        std::string Flags;
        for (char C : Modifiers) {
            if (C == 'h') {
                WideString = false;
            } else if (C == 'l' || C == 'w') {
                WideString = true;
            } else {
                Flags += C;
            }
        }
        std::wstring Text;
        if (Value == 0) {
            Text = L"(null)";
        } else if (WideString) {
            Text = reinterpret_cast<const wchar_t*>(Value);
        } else {
            Text = rtl::Utf8ToWide(reinterpret_cast<const char*>(Value));
        }
        const std::wstring Spec = rtl::Utf8ToWide("%" + Flags + "ls");
        std::vector<wchar_t> Out(Text.size() + 512);
        Length = std::swprintf(Out.data(), Out.size(), Spec.c_str(), Text.c_str());
        if (Length < 0) {
            return std::nullopt;
        }
        return std::wstring(Out.data(), static_cast<std::size_t>(Length));
    }
    if (std::string_view("diuoxXc").find(Conversion) == std::string_view::npos) {
        return std::nullopt;
    }
    const std::wstring Spec =
        rtl::Utf8ToWide("%" + Modifiers + (Conversion == 'c' ? "lc" : std::string(1, Conversion)));
    const bool Long = Modifiers.find("ll") != std::string::npos;
    if (Conversion == 'c') {
        Length = std::swprintf(Buffer, 512, Spec.c_str(), static_cast<wint_t>(Value));
    } else if (Long) {
        Length = std::swprintf(Buffer, 512, Spec.c_str(), static_cast<unsigned long long>(Value));
    } else {
        Length = std::swprintf(Buffer, 512, Spec.c_str(), static_cast<unsigned>(Value));
    }
    if (Length < 0) {
        return std::nullopt;
    }
    return std::wstring(Buffer, static_cast<std::size_t>(Length));
}

// Expands the escapes and inserts of a message text. Returns nothing for a bad insert.
std::optional<std::wstring> Expand(std::wstring_view Text, TArguments& Arguments, bool Wide,
                                   bool& Ended) {
    std::wstring Out;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] != L'%' || I + 1 == Text.size()) {
            Out += Text[I];
            continue;
        }
        const wchar_t Next = Text[++I];
        if (Next >= L'1' && Next <= L'9') {
            unsigned Number = static_cast<unsigned>(Next - L'0');
            if (I + 1 < Text.size() && Text[I + 1] >= L'0' && Text[I + 1] <= L'9') {
                Number = Number * 10 + static_cast<unsigned>(Text[++I] - L'0');
            }
            std::string Format = "s";
            if (I + 1 < Text.size() && Text[I + 1] == L'!') {
                const std::size_t Close = Text.find(L'!', I + 2);
                if (Close == std::wstring_view::npos) {
                    return std::nullopt;
                }
                Format = rtl::WideToUtf8(Text.substr(I + 2, Close - I - 2));
                I = Close;
            }
            const std::optional<DWORD_PTR> Value = Arguments.Get(Number);
            if (!Value) {
                return std::nullopt;
            }
            const std::optional<std::wstring> Inserted = FormatInsert(Format, *Value, Wide);
            if (!Inserted) {
                return std::nullopt;
            }
            Out += *Inserted;
            continue;
        }
        switch (Next) {
        case L'0':
            Ended = true;
            return Out;
        case L'n':
            Out += L"\r\n";
            break;
        case L'r':
            Out += L'\r';
            break;
        case L't':
            Out += L'\t';
            break;
        case L'b':
            Out += L' ';
            break;
        default: // "%%", "%.", "%!" and any other character stand for themselves.
            Out += Next;
            break;
        }
    }
    return Out;
}

// The whole FormatMessage, in wide text; nothing with the error set.
std::optional<std::wstring> Format(DWORD Flags, LPCVOID Source, DWORD MessageId, DWORD LanguageId,
                                   va_list* Arguments, bool Wide) {
    std::wstring Text;
    bool System = false;
    if ((Flags & FORMAT_MESSAGE_FROM_STRING) != 0) {
        if (Source == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return std::nullopt;
        }
        Text = Wide ? std::wstring(static_cast<const wchar_t*>(Source))
                    : rtl::Utf8ToWide(static_cast<const char*>(Source));
    } else if ((Flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE)) != 0) {
        // The libraries of this layer have no message tables of their own: a module's table is
        // the system's.
        const WORD Primary = PRIMARYLANGID(LanguageId);
        if (Primary != LANG_NEUTRAL && Primary != LANG_ENGLISH) {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return std::nullopt;
        }
        const char* Message = FindMessage(MessageId);
        if (Message == nullptr) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return std::nullopt;
        }
        Text = rtl::Utf8ToWide(Message);
        System = true;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    bool Ended = false;
    if ((Flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0) {
        TArguments Values(Arguments, (Flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0);
        std::optional<std::wstring> Expanded = Expand(Text, Values, Wide, Ended);
        if (!Expanded) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return std::nullopt;
        }
        Text = std::move(*Expanded);
    }
    // A system text's own line end is a regular line break, which a maximum width drops.
    if (System && !Ended && (Flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == 0) {
        Text += L"\r\n";
    }
    return Text;
}

template <class TChar>
DWORD Store(const std::basic_string<TChar>& Text, DWORD Flags, TChar* Buffer, DWORD Size) {
    if (Buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((Flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        const std::size_t Count = std::max<std::size_t>(Text.size() + 1, Size);
        auto* Memory = static_cast<TChar*>(LocalAlloc(LMEM_FIXED, Count * sizeof(TChar)));
        if (Memory == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(Memory, Text.c_str(), (Text.size() + 1) * sizeof(TChar));
        *reinterpret_cast<TChar**>(Buffer) = Memory;
        return static_cast<DWORD>(Text.size());
    }
    if (Text.size() + 1 > Size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(Buffer, Text.c_str(), (Text.size() + 1) * sizeof(TChar));
    return static_cast<DWORD>(Text.size());
}

} // namespace

extern "C" {

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) noexcept {
    try {
        const std::optional<std::wstring> Text =
            Format(dwFlags, lpSource, dwMessageId, dwLanguageId, Arguments, true);
        return Text ? Store(*Text, dwFlags, lpBuffer, nSize) : 0;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments) noexcept {
    try {
        const std::optional<std::wstring> Text =
            Format(dwFlags, lpSource, dwMessageId, dwLanguageId, Arguments, false);
        return Text ? Store(rtl::WideToUtf8(*Text), dwFlags, lpBuffer, nSize) : 0;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) noexcept {
    const std::size_t Bytes = uBytes == 0 ? 1 : uBytes;
    void* Memory = (uFlags & LMEM_ZEROINIT) != 0 ? std::calloc(1, Bytes) : std::malloc(Bytes);
    if (Memory == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return Memory;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) noexcept {
    std::free(hMem);
    return nullptr;
}

} // extern "C"
