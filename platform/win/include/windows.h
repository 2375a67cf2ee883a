// windows.h: the Win32 types, constants and functions this platform layer provides on Linux.
//
// Code written for Windows compiles against it unchanged. WCHAR is wchar_t (32 bits here), so
// L"..." literals and the wcs* functions work as they do on Windows. Every function is
// implemented in the platform_win shared library, with the Windows return values and
// GetLastError codes for the arguments it supports.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cwchar>

// ---- Base types ------------------------------------------------------------------------------
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef char CHAR;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef short SHORT;
typedef std::uint32_t DWORD;
typedef std::uint32_t ULONG;
typedef std::int32_t LONG;
typedef std::int32_t INT;
typedef std::uint32_t UINT;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::uint64_t DWORD64;
typedef std::uintptr_t ULONG_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t DWORD_PTR;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t INT_PTR;
typedef std::size_t SIZE_T;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HRSRC;
typedef HANDLE HGLOBAL;
typedef wchar_t WCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef ULONG_PTR* PULONG_PTR;
typedef ULONGLONG* PULONGLONG;
typedef LONG HRESULT;
typedef LONG NTSTATUS;
typedef volatile LONG* PLONG_VOLATILE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef WINAPI
#define WINAPI
#endif
#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef APIENTRY
#define APIENTRY
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
} GUID, UUID, *PGUID;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/// The record of one overlapped operation. Internal holds the completion status (an NTSTATUS
/// mapped from the Win32 code) and InternalHigh the byte count once it has completed.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        } s;
        PVOID Pointer;
    } u;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _OVERLAPPED_ENTRY {
    ULONG_PTR lpCompletionKey;
    LPOVERLAPPED lpOverlapped;
    ULONG_PTR Internal;
    DWORD dwNumberOfBytesTransferred;
} OVERLAPPED_ENTRY, *LPOVERLAPPED_ENTRY;

// ---- Error codes (winerror.h) ---------------------------------------------------------------
#define NO_ERROR 0L
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_BAD_NETPATH 53L
#define ERROR_NETNAME_DELETED 64L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_ARGUMENTS 160L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_MORE_DATA 234L
#define WAIT_TIMEOUT 258L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_TIMEOUT 1460L
#define ERROR_NOT_FOUND 1168L
#define ERROR_CONNECTION_INVALID 1229L
#define ERROR_CONNECTION_ABORTED 1236L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_ABANDONED_WAIT_0 735L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_BAD_FORMAT 11L
#define ERROR_BAD_COMMAND 22L
#define ERROR_GEN_FAILURE 31L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_DISK_FULL 112L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_PIPE_BUSY 231L
#define ERROR_NO_DATA 232L
#define ERROR_PIPE_NOT_CONNECTED 233L
#define ERROR_DIRECTORY 267L
#define ERROR_PARTIAL_COPY 299L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_ARITHMETIC_OVERFLOW 534L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_TOKEN 1008L
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_INVALID_NETNAME 1214L
#define ERROR_NO_NETWORK 1222L
#define ERROR_CANCELLED 1223L
#define ERROR_CONNECTION_REFUSED 1225L
#define ERROR_GRACEFUL_DISCONNECT 1226L
#define ERROR_REQUEST_ABORTED 1235L
#define ERROR_RETRY 1237L
#define ERROR_REVISION_MISMATCH 1306L
#define ERROR_NO_SUCH_LOGON_SESSION 1312L
#define ERROR_INVALID_SID 1337L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

// NTSTATUS values kept in OVERLAPPED.Internal and OVERLAPPED_ENTRY.Internal.
#define STATUS_SUCCESS (static_cast<NTSTATUS>(0x00000000L))
#define STATUS_PENDING (static_cast<NTSTATUS>(0x00000103L))

#define WAIT_IO_COMPLETION 0x000000C0u
#define STILL_ACTIVE 259L

// ---- Errors -----------------------------------------------------------------------------------
extern "C" {
DWORD WINAPI GetLastError() noexcept;
void WINAPI SetLastError(DWORD dwErrCode) noexcept;
BOOL WINAPI CloseHandle(HANDLE hObject) noexcept;
}

// ---- Interlocked operations (compiler intrinsics on Windows as well) --------------------------
// Every one is a full barrier. Increment/Decrement/Add return the new value, Exchange,
// ExchangeAdd, And, Or and Xor the old one, CompareExchange the initial one.
inline LONG InterlockedIncrement(volatile LONG* Addend) noexcept {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* Addend) noexcept {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* Target, LONG Value) noexcept {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value) noexcept {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(volatile LONG* Addend, LONG Value) noexcept {
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange,
                                       LONG Comparand) noexcept {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedAnd(volatile LONG* Destination, LONG Value) noexcept {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedOr(volatile LONG* Destination, LONG Value) noexcept {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedXor(volatile LONG* Destination, LONG Value) noexcept {
    return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedIncrement64(volatile LONGLONG* Addend) noexcept {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedDecrement64(volatile LONGLONG* Addend) noexcept {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedExchange64(volatile LONGLONG* Target, LONGLONG Value) noexcept {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedExchangeAdd64(volatile LONGLONG* Addend, LONGLONG Value) noexcept {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedAdd64(volatile LONGLONG* Addend, LONGLONG Value) noexcept {
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedCompareExchange64(volatile LONGLONG* Destination, LONGLONG Exchange,
                                             LONGLONG Comparand) noexcept {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) noexcept {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comparand) noexcept {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline void MemoryBarrier() noexcept {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not model fences; a locked instruction is a full barrier on x86.
    static volatile LONG Barrier = 0;
    __atomic_exchange_n(&Barrier, 0, __ATOMIC_SEQ_CST);
#else
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

// ---- Critical sections and slim reader/writer locks ------------------------------------------
/// A re-entrant lock with the Windows layout. LockCount is the lock word here (0 free, 1 held,
/// 2 held with sleepers) and OwningThread the owner's thread id; the other members are unused.
typedef struct _RTL_CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION, RTL_CRITICAL_SECTION;

/// A slim reader/writer lock: one pointer-sized word, zero when free (SRWLOCK_INIT), needing no
/// clean-up. Not re-entrant. The word's two halves are the lock state and the count of writers
/// waiting (a waiting writer holds back new readers).
typedef struct _RTL_SRWLOCK {
    PVOID Ptr;
} SRWLOCK, *PSRWLOCK, RTL_SRWLOCK;
#define SRWLOCK_INIT                                                                               \
    { nullptr }

typedef BYTE BOOLEAN;

extern "C" {
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept;
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD dwSpinCount) noexcept;
BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                        DWORD Flags) noexcept;
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept;
/// TRUE when the lock was free or already held by the caller (then counted once more).
[[nodiscard]] BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept;
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept;
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept;

void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) noexcept;
void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock) noexcept;
void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock) noexcept;
void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) noexcept;
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) noexcept;
[[nodiscard]] BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK SRWLock) noexcept;
[[nodiscard]] BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK SRWLock) noexcept;
}

// ---- Events, threads and waits ----------------------------------------------------------------
typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

extern "C" {
/// An unnamed event; a name fails with ERROR_NOT_SUPPORTED (no cross-process objects here).
[[nodiscard]] HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                         BOOL bInitialState, LPCWSTR lpName) noexcept;
[[nodiscard]] HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                         BOOL bInitialState, LPCSTR lpName) noexcept;
BOOL WINAPI SetEvent(HANDLE hEvent) noexcept;
BOOL WINAPI ResetEvent(HANDLE hEvent) noexcept;

/// WAIT_OBJECT_0 when the event or thread is signalled within dwMilliseconds (an auto-reset
/// event is reset by the wait it satisfies), WAIT_TIMEOUT, or WAIT_FAILED with the error.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) noexcept;
DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) noexcept;
/// Waits for one (WAIT_OBJECT_0 + its index, the lowest signalled) or all of 1 to
/// MAXIMUM_WAIT_OBJECTS handles. A handle given twice to a wait for all fails with
/// ERROR_INVALID_PARAMETER.
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) noexcept;
DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                      DWORD dwMilliseconds, BOOL bAlertable) noexcept;

/// Runs lpStartAddress(lpParameter) on a new thread, whose handle is signalled when it ends.
/// dwCreationFlags may hold CREATE_SUSPENDED (started by ResumeThread) and
/// STACK_SIZE_PARAM_IS_A_RESERVATION.
[[nodiscard]] HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                         SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                         LPVOID lpParameter, DWORD dwCreationFlags,
                                         LPDWORD lpThreadId) noexcept;
/// Starts a thread created suspended; returns the previous suspend count (1, then 0), or
/// (DWORD)-1 with the error.
DWORD WINAPI ResumeThread(HANDLE hThread) noexcept;
/// STILL_ACTIVE while the thread runs, then its routine's result.
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) noexcept;
DWORD WINAPI GetThreadId(HANDLE Thread) noexcept;
/// The calling thread's id (the kernel's thread id).
DWORD WINAPI GetCurrentThreadId() noexcept;
DWORD WINAPI GetCurrentProcessId() noexcept;
/// The pseudo-handles (HANDLE)-2 and (HANDLE)-1: CloseHandle accepts them and does nothing,
/// waits refuse them (ERROR_INVALID_HANDLE).
HANDLE WINAPI GetCurrentThread() noexcept;
HANDLE WINAPI GetCurrentProcess() noexcept;
void WINAPI Sleep(DWORD dwMilliseconds) noexcept;
DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) noexcept;
BOOL WINAPI SwitchToThread() noexcept;

/// Milliseconds since an arbitrary start (the monotonic clock); GetTickCount wraps after 49.7 days.
DWORD WINAPI GetTickCount() noexcept;
ULONGLONG WINAPI GetTickCount64() noexcept;
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) noexcept;
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) noexcept;
}

// ---- I/O completion ports and overlapped results ----------------------------------------------
/// TRUE once the operation has completed (its status is no longer STATUS_PENDING).
#define HasOverlappedIoCompleted(lpOverlapped)                                                     \
    (static_cast<NTSTATUS>(__atomic_load_n(&(lpOverlapped)->Internal, __ATOMIC_ACQUIRE)) !=        \
     STATUS_PENDING)

extern "C" {
/// FileHandle INVALID_HANDLE_VALUE with no ExistingCompletionPort: a new port that lets
/// NumberOfConcurrentThreads (0: the processor count) workers run at once. A handle with a port:
/// associates it with CompletionKey and returns the port. A handle with none: a new port, then
/// the association. ERROR_INVALID_PARAMETER for a handle that does no overlapped I/O or is
/// associated already, ERROR_INVALID_HANDLE for unknown handles.
[[nodiscard]] HANDLE WINAPI CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                                                   ULONG_PTR CompletionKey,
                                                   DWORD NumberOfConcurrentThreads) noexcept;
/// Dequeues one packet. TRUE for a successful operation. FALSE with *lpOverlapped set and the
/// operation's error as last error for a failed one; FALSE with *lpOverlapped nullptr and
/// WAIT_TIMEOUT on time-out, ERROR_ABANDONED_WAIT_0 when the port is closed during the wait,
/// ERROR_INVALID_HANDLE for a closed or unknown port.
BOOL WINAPI GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                                      PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                                      DWORD dwMilliseconds) noexcept;
/// Dequeues up to ulCount packets at once (each entry's Internal holds its status); TRUE with
/// *ulNumEntriesRemoved >= 1, or FALSE as GetQueuedCompletionStatus without a packet.
BOOL WINAPI GetQueuedCompletionStatusEx(HANDLE CompletionPort,
                                        LPOVERLAPPED_ENTRY lpCompletionPortEntries, ULONG ulCount,
                                        PULONG ulNumEntriesRemoved, DWORD dwMilliseconds,
                                        BOOL fAlertable) noexcept;
/// Queues a packet exactly as given, with a success status.
BOOL WINAPI PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                       ULONG_PTR dwCompletionKey,
                                       LPOVERLAPPED lpOverlapped) noexcept;
/// The result of an overlapped operation: TRUE with the byte count, FALSE with the operation's
/// error, or FALSE with ERROR_IO_INCOMPLETE while it is pending and bWait is FALSE. With bWait
/// it waits on the OVERLAPPED's event, or for the completion itself when there is none.
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) noexcept;
BOOL WINAPI GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                  LPDWORD lpNumberOfBytesTransferred, DWORD dwMilliseconds,
                                  BOOL bAlertable) noexcept;
/// Cancels the pending operation of lpOverlapped (every one of hFile when nullptr); they
/// complete with ERROR_OPERATION_ABORTED. FALSE with ERROR_NOT_FOUND when none is pending.
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) noexcept;
BOOL WINAPI CancelIo(HANDLE hFile) noexcept;
}

// ---- Thread pool work items -------------------------------------------------------------------
#define WT_EXECUTEDEFAULT 0x00000000u
#define WT_EXECUTEINIOTHREAD 0x00000001u
#define WT_EXECUTEINPERSISTENTTHREAD 0x00000080u
#define WT_EXECUTELONGFUNCTION 0x00000010u

extern "C" {
/// Runs Function(Context) on a thread of the process-wide pool, which adds threads while all of
/// its threads are busy (up to 512; further items wait their turn) and lets idle ones end. FALSE
/// with ERROR_NOT_ENOUGH_MEMORY when the item cannot be queued.
BOOL WINAPI QueueUserWorkItem(LPTHREAD_START_ROUTINE Function, PVOID Context, ULONG Flags) noexcept;
}

// ---- System message texts and local memory ----------------------------------------------------
typedef HANDLE HLOCAL;
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
#define MAKELANGID(p, s) ((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))
#define PRIMARYLANGID(lgid) (static_cast<WORD>(lgid) & 0x3ff)

extern "C" {
/// The English system text of dwMessageId (FROM_SYSTEM, or FROM_HMODULE), or the text of
/// lpSource (FROM_STRING), with its inserts (%1 to %99, %1!fmt!) taken from Arguments (a
/// va_list*, or a DWORD_PTR array with ARGUMENT_ARRAY) unless IGNORE_INSERTS. Returns the
/// characters stored without the terminator, or 0 with ERROR_MR_MID_NOT_FOUND (unknown code),
/// ERROR_RESOURCE_LANG_NOT_FOUND (a language other than neutral or English),
/// ERROR_INSUFFICIENT_BUFFER or ERROR_INVALID_PARAMETER. ALLOCATE_BUFFER stores a LocalAlloc'ed
/// buffer (free it with LocalFree) in *(LPWSTR*)lpBuffer.
DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) noexcept;
/// As FormatMessageW, in 8-bit text (UTF-8, which covers the ASCII system texts).
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments) noexcept;
[[nodiscard]] HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) noexcept;
/// nullptr on success, as on Windows.
HLOCAL WINAPI LocalFree(HLOCAL hMem) noexcept;
}

// ---- Run-time loading of libraries -----------------------------------------------------------
// Windows declares INT_PTR (*)(); void (*)() is the type g++ lets every caller cast to its own
// function type without a -Wcast-function-type warning, and nobody calls a FARPROC as it is.
typedef void(WINAPI* FARPROC)();

#define SEM_FAILCRITICALERRORS 0x0001u
#define SEM_NOGPFAULTERRORBOX 0x0002u
#define SEM_NOALIGNMENTFAULTEXCEPT 0x0004u
#define SEM_NOOPENFILEERRORBOX 0x8000u

#define DONT_RESOLVE_DLL_REFERENCES 0x00000001u
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002u
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000u

extern "C" {
/// Loads a library by its Windows name. "kernel32.dll", "ws2_32.dll" and the other system
/// libraries this layer stands in for give this library itself; "<name>.dll" (any letter case,
/// ".dll" optional) gives lib<name>.so from the executable's folder, else from the library
/// search path; a name with a '/' is loaded as it is. ERROR_MOD_NOT_FOUND when nothing loads.
[[nodiscard]] HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) noexcept;
[[nodiscard]] HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) noexcept;
/// As LoadLibraryW; hFile must be nullptr, the search flags are accepted and change nothing.
[[nodiscard]] HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile,
                                            DWORD dwFlags) noexcept;
/// The exported function or variable lpProcName of hModule (nullptr: the program), or nullptr
/// with ERROR_PROC_NOT_FOUND (also for ordinals) or ERROR_INVALID_HANDLE.
[[nodiscard]] FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) noexcept;
/// Releases one LoadLibrary of hModule; FALSE with ERROR_INVALID_HANDLE for any other value.
BOOL WINAPI FreeLibrary(HMODULE hLibModule) noexcept;
/// nullptr: the program. Otherwise a library that is already loaded (no reference is added),
/// or nullptr with ERROR_MOD_NOT_FOUND.
[[nodiscard]] HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) noexcept;
/// The full path of the program (nullptr) or of a loaded library; truncated, nSize returned and
/// ERROR_INSUFFICIENT_BUFFER set when it does not fit.
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) noexcept;
/// Sets the process's error mode and returns the previous one.
UINT WINAPI SetErrorMode(UINT uMode) noexcept;
UINT WINAPI GetErrorMode() noexcept;
}

// ---- Operating-system version -----------------------------------------------------------------
#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_SERVER 0x0000003

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW,
    *PRTL_OSVERSIONINFOEXW;

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

extern "C" {
/// Windows 10 (10.0.19041, a workstation). dwOSVersionInfoSize must be the size of the
/// OSVERSIONINFOW or OSVERSIONINFOEXW given: otherwise FALSE with ERROR_INSUFFICIENT_BUFFER.
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) noexcept;
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) noexcept;
/// The ntdll form: STATUS_SUCCESS, or STATUS_INVALID_PARAMETER for a wrong size.
NTSTATUS WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) noexcept;
/// Major version in the low byte, minor in the next, build in the high word.
DWORD WINAPI GetVersion() noexcept;
}

// ---- Program resources ------------------------------------------------------------------------
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define RT_RCDATA MAKEINTRESOURCEW(10)

extern "C" {
/// The resource lpName (case-insensitive) of type RT_RCDATA embedded in the program or one of
/// its libraries (hModule nullptr or any module: they share one registry), or nullptr with
/// ERROR_RESOURCE_TYPE_NOT_FOUND or ERROR_RESOURCE_NAME_NOT_FOUND.
[[nodiscard]] HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) noexcept;
[[nodiscard]] HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) noexcept;
/// The resource's bytes, valid for the life of the process (not NUL-terminated).
[[nodiscard]] LPVOID WINAPI LockResource(HGLOBAL hResData) noexcept;
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) noexcept;
/// Nothing to free: FALSE, as on Windows.
BOOL WINAPI FreeResource(HGLOBAL hResData) noexcept;
}

// ---- The Windows names without the W suffix (this layer is always Unicode) ---------------------
#define CreateEvent CreateEventW
#define FormatMessage FormatMessageW
#define LoadLibrary LoadLibraryW
#define LoadLibraryEx LoadLibraryExW
#define GetModuleHandle GetModuleHandleW
#define GetModuleFileName GetModuleFileNameW
#define FindResource FindResourceW
#define GetVersionEx GetVersionExW
typedef OSVERSIONINFOW OSVERSIONINFO;
typedef OSVERSIONINFOEXW OSVERSIONINFOEX;

// As on Windows, the full header also brings the RPC and component-object declarations.
#ifndef WIN32_LEAN_AND_MEAN
#include <objbase.h>
#include <rpc.h>
#endif
