// windows.h: the Win32 types, constants and functions this platform layer provides on Linux.
//
// Code written for Windows compiles against it unchanged, as C (C11 or later) and as C++. WCHAR
// is wchar_t (32 bits here), so L"..." literals and the wcs* functions work as they do on
// Windows. Every function is implemented in the platform_win shared library, with the Windows
// return values and GetLastError codes for the arguments it supports.
#pragma once

#ifdef __cplusplus
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#else
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>
#endif

// ---- Language glue ----------------------------------------------------------------------------
// C++ sees the functions as extern "C" and noexcept, and is told which results must be used; C
// sees plain declarations. The casts in the macros below are each language's own.
#ifdef __cplusplus
#define WINAPI_BEGIN_C extern "C" {
#define WINAPI_END_C }
#define WINAPI_NOTHROW noexcept
#define WINAPI_NODISCARD [[nodiscard]]
#define WINAPI_INLINE inline
#define WINAPI_NULL nullptr
#define WINAPI_FALSE false
#define WINAPI_CAST(Type, Value) (static_cast<Type>(Value))
#define WINAPI_REINTERPRET(Type, Value) (reinterpret_cast<Type>(Value))
#else
#define WINAPI_BEGIN_C
#define WINAPI_END_C
#define WINAPI_NOTHROW
#define WINAPI_NODISCARD
#define WINAPI_INLINE static inline
#define WINAPI_NULL ((void*)0)
#define WINAPI_FALSE 0
#define WINAPI_CAST(Type, Value) ((Type)(Value))
#define WINAPI_REINTERPRET(Type, Value) ((Type)(Value))
#endif

#ifndef EXTERN_C
#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif
#endif
#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif
#ifndef CONST
#define CONST const
#endif
#ifndef __cdecl
#define __cdecl
#endif

// ---- Base types ------------------------------------------------------------------------------
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef char CHAR;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef short SHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef size_t SIZE_T;
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
// This layer is always Unicode: the TCHAR names are the wide ones.
typedef WCHAR TCHAR;
typedef WCHAR* PTCHAR;
typedef LPWSTR LPTSTR;
typedef LPCWSTR LPCTSTR;
#define WINAPI_WIDE_TEXT(quote) L##quote
#define TEXT(quote) WINAPI_WIDE_TEXT(quote)

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

#define INVALID_HANDLE_VALUE WINAPI_REINTERPRET(HANDLE, WINAPI_CAST(LONG_PTR, -1))
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260
#define ANYSIZE_ARRAY 1
#define FIELD_OFFSET(type, field) WINAPI_CAST(LONG, offsetof(type, field))
// The address of the record of type whose member field is at address.
#define CONTAINING_RECORD(address, type, field)                                                    \
    WINAPI_REINTERPRET(type*, WINAPI_REINTERPRET(char*, address) - offsetof(type, field))

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
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
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
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_BUFFER_OVERFLOW 111L
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
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_FILE_CORRUPT 1392L
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
#define STATUS_SUCCESS WINAPI_CAST(NTSTATUS, 0x00000000L)
#define STATUS_PENDING WINAPI_CAST(NTSTATUS, 0x00000103L)

#define WAIT_IO_COMPLETION 0x000000C0u
#define STILL_ACTIVE 259L

// ---- Errors -----------------------------------------------------------------------------------
WINAPI_BEGIN_C
DWORD WINAPI GetLastError(void) WINAPI_NOTHROW;
void WINAPI SetLastError(DWORD dwErrCode) WINAPI_NOTHROW;
BOOL WINAPI CloseHandle(HANDLE hObject) WINAPI_NOTHROW;
WINAPI_END_C

// ---- Interlocked operations (compiler intrinsics on Windows as well) --------------------------
// Every one is a full barrier. Increment/Decrement/Add return the new value, Exchange,
// ExchangeAdd, And, Or and Xor the old one, CompareExchange the initial one.
WINAPI_INLINE LONG InterlockedIncrement(volatile LONG* Addend) WINAPI_NOTHROW {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONG InterlockedDecrement(volatile LONG* Addend) WINAPI_NOTHROW {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONG InterlockedExchange(volatile LONG* Target, LONG Value) WINAPI_NOTHROW {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value) WINAPI_NOTHROW {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONG InterlockedAdd(volatile LONG* Addend, LONG Value) WINAPI_NOTHROW {
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange,
                                              LONG Comparand) WINAPI_NOTHROW {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, WINAPI_FALSE, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
WINAPI_INLINE LONG InterlockedAnd(volatile LONG* Destination, LONG Value) WINAPI_NOTHROW {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONG InterlockedOr(volatile LONG* Destination, LONG Value) WINAPI_NOTHROW {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONG InterlockedXor(volatile LONG* Destination, LONG Value) WINAPI_NOTHROW {
    return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONGLONG InterlockedIncrement64(volatile LONGLONG* Addend) WINAPI_NOTHROW {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONGLONG InterlockedDecrement64(volatile LONGLONG* Addend) WINAPI_NOTHROW {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONGLONG InterlockedExchange64(volatile LONGLONG* Target,
                                             LONGLONG Value) WINAPI_NOTHROW {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONGLONG InterlockedExchangeAdd64(volatile LONGLONG* Addend,
                                                LONGLONG Value) WINAPI_NOTHROW {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONGLONG InterlockedAdd64(volatile LONGLONG* Addend, LONGLONG Value) WINAPI_NOTHROW {
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE LONGLONG InterlockedCompareExchange64(volatile LONGLONG* Destination,
                                                    LONGLONG Exchange,
                                                    LONGLONG Comparand) WINAPI_NOTHROW {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, WINAPI_FALSE, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
WINAPI_INLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) WINAPI_NOTHROW {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
WINAPI_INLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                      PVOID Comparand) WINAPI_NOTHROW {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, WINAPI_FALSE, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
WINAPI_INLINE void MemoryBarrier(void) WINAPI_NOTHROW {
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
    { WINAPI_NULL }

typedef BYTE BOOLEAN;

WINAPI_BEGIN_C
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) WINAPI_NOTHROW;
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD dwSpinCount) WINAPI_NOTHROW;
BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                        DWORD Flags) WINAPI_NOTHROW;
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) WINAPI_NOTHROW;
/// TRUE when the lock was free or already held by the caller (then counted once more).
WINAPI_NODISCARD BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    WINAPI_NOTHROW;
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) WINAPI_NOTHROW;
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) WINAPI_NOTHROW;

void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) WINAPI_NOTHROW;
void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock) WINAPI_NOTHROW;
void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock) WINAPI_NOTHROW;
void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) WINAPI_NOTHROW;
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) WINAPI_NOTHROW;
WINAPI_NODISCARD BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK SRWLock) WINAPI_NOTHROW;
WINAPI_NODISCARD BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK SRWLock) WINAPI_NOTHROW;
WINAPI_END_C

// ---- Events, threads and waits ----------------------------------------------------------------
typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

WINAPI_BEGIN_C
/// An unnamed event; a name fails with ERROR_NOT_SUPPORTED (no cross-process objects here).
WINAPI_NODISCARD HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes,
                                            BOOL bManualReset, BOOL bInitialState,
                                            LPCWSTR lpName) WINAPI_NOTHROW;
WINAPI_NODISCARD HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes,
                                            BOOL bManualReset, BOOL bInitialState,
                                            LPCSTR lpName) WINAPI_NOTHROW;
BOOL WINAPI SetEvent(HANDLE hEvent) WINAPI_NOTHROW;
BOOL WINAPI ResetEvent(HANDLE hEvent) WINAPI_NOTHROW;

/// WAIT_OBJECT_0 when the event or thread is signalled within dwMilliseconds (an auto-reset
/// event is reset by the wait it satisfies), WAIT_TIMEOUT, or WAIT_FAILED with the error.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) WINAPI_NOTHROW;
DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds,
                                   BOOL bAlertable) WINAPI_NOTHROW;
/// Waits for one (WAIT_OBJECT_0 + its index, the lowest signalled) or all of 1 to
/// MAXIMUM_WAIT_OBJECTS handles. A handle given twice to a wait for all fails with
/// ERROR_INVALID_PARAMETER.
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) WINAPI_NOTHROW;
DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                      DWORD dwMilliseconds, BOOL bAlertable) WINAPI_NOTHROW;

/// Runs lpStartAddress(lpParameter) on a new thread, whose handle is signalled when it ends.
/// dwCreationFlags may hold CREATE_SUSPENDED (started by ResumeThread) and
/// STACK_SIZE_PARAM_IS_A_RESERVATION.
WINAPI_NODISCARD HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                            SIZE_T dwStackSize,
                                            LPTHREAD_START_ROUTINE lpStartAddress,
                                            LPVOID lpParameter, DWORD dwCreationFlags,
                                            LPDWORD lpThreadId) WINAPI_NOTHROW;
/// Starts a thread created suspended; returns the previous suspend count (1, then 0), or
/// (DWORD)-1 with the error.
DWORD WINAPI ResumeThread(HANDLE hThread) WINAPI_NOTHROW;
/// STILL_ACTIVE while the thread runs, then its routine's result.
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) WINAPI_NOTHROW;
DWORD WINAPI GetThreadId(HANDLE Thread) WINAPI_NOTHROW;
/// The calling thread's id (the kernel's thread id).
DWORD WINAPI GetCurrentThreadId(void) WINAPI_NOTHROW;
DWORD WINAPI GetCurrentProcessId(void) WINAPI_NOTHROW;
/// The pseudo-handles (HANDLE)-2 and (HANDLE)-1: CloseHandle accepts them and does nothing,
/// waits refuse them (ERROR_INVALID_HANDLE).
HANDLE WINAPI GetCurrentThread(void) WINAPI_NOTHROW;
HANDLE WINAPI GetCurrentProcess(void) WINAPI_NOTHROW;
void WINAPI Sleep(DWORD dwMilliseconds) WINAPI_NOTHROW;
DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) WINAPI_NOTHROW;
BOOL WINAPI SwitchToThread(void) WINAPI_NOTHROW;

/// Milliseconds since an arbitrary start (the monotonic clock); GetTickCount wraps after 49.7 days.
DWORD WINAPI GetTickCount(void) WINAPI_NOTHROW;
ULONGLONG WINAPI GetTickCount64(void) WINAPI_NOTHROW;
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) WINAPI_NOTHROW;
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) WINAPI_NOTHROW;
WINAPI_END_C

// ---- I/O completion ports and overlapped results ----------------------------------------------
/// TRUE once the operation has completed (its status is no longer STATUS_PENDING).
#define HasOverlappedIoCompleted(lpOverlapped)                                                     \
    (WINAPI_CAST(NTSTATUS, __atomic_load_n(&(lpOverlapped)->Internal, __ATOMIC_ACQUIRE)) !=        \
     STATUS_PENDING)

WINAPI_BEGIN_C
/// FileHandle INVALID_HANDLE_VALUE with no ExistingCompletionPort: a new port that lets
/// NumberOfConcurrentThreads (0: the processor count) workers run at once. A handle with a port:
/// associates it with CompletionKey and returns the port. A handle with none: a new port, then
/// the association. ERROR_INVALID_PARAMETER for a handle that does no overlapped I/O or is
/// associated already, ERROR_INVALID_HANDLE for unknown handles.
WINAPI_NODISCARD HANDLE WINAPI
CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort, ULONG_PTR CompletionKey,
                       DWORD NumberOfConcurrentThreads) WINAPI_NOTHROW;
/// Dequeues one packet. TRUE for a successful operation. FALSE with *lpOverlapped set and the
/// operation's error as last error for a failed one; FALSE with *lpOverlapped nullptr and
/// WAIT_TIMEOUT on time-out, ERROR_ABANDONED_WAIT_0 when the port is closed during the wait,
/// ERROR_INVALID_HANDLE for a closed or unknown port.
BOOL WINAPI GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                                      PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                                      DWORD dwMilliseconds) WINAPI_NOTHROW;
/// Dequeues up to ulCount packets at once (each entry's Internal holds its status); TRUE with
/// *ulNumEntriesRemoved >= 1, or FALSE as GetQueuedCompletionStatus without a packet.
BOOL WINAPI GetQueuedCompletionStatusEx(HANDLE CompletionPort,
                                        LPOVERLAPPED_ENTRY lpCompletionPortEntries, ULONG ulCount,
                                        PULONG ulNumEntriesRemoved, DWORD dwMilliseconds,
                                        BOOL fAlertable) WINAPI_NOTHROW;
/// Queues a packet exactly as given, with a success status.
BOOL WINAPI PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                       ULONG_PTR dwCompletionKey,
                                       LPOVERLAPPED lpOverlapped) WINAPI_NOTHROW;
/// The result of an overlapped operation: TRUE with the byte count, FALSE with the operation's
/// error, or FALSE with ERROR_IO_INCOMPLETE while it is pending and bWait is FALSE. With bWait
/// it waits on the OVERLAPPED's event, or for the completion itself when there is none.
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) WINAPI_NOTHROW;
BOOL WINAPI GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                  LPDWORD lpNumberOfBytesTransferred, DWORD dwMilliseconds,
                                  BOOL bAlertable) WINAPI_NOTHROW;
/// Cancels the pending operation of lpOverlapped (every one of hFile when nullptr); they
/// complete with ERROR_OPERATION_ABORTED. FALSE with ERROR_NOT_FOUND when none is pending.
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) WINAPI_NOTHROW;
BOOL WINAPI CancelIo(HANDLE hFile) WINAPI_NOTHROW;
WINAPI_END_C

// ---- Thread pool work items -------------------------------------------------------------------
#define WT_EXECUTEDEFAULT 0x00000000u
#define WT_EXECUTEINIOTHREAD 0x00000001u
#define WT_EXECUTEINPERSISTENTTHREAD 0x00000080u
#define WT_EXECUTELONGFUNCTION 0x00000010u

WINAPI_BEGIN_C
/// Runs Function(Context) on a thread of the process-wide pool, which adds threads while all of
/// its threads are busy (up to 512; further items wait their turn) and lets idle ones end. FALSE
/// with ERROR_NOT_ENOUGH_MEMORY when the item cannot be queued.
BOOL WINAPI QueueUserWorkItem(LPTHREAD_START_ROUTINE Function, PVOID Context,
                              ULONG Flags) WINAPI_NOTHROW;
WINAPI_END_C

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
#define MAKELANGID(p, s) ((WINAPI_CAST(WORD, s) << 10) | WINAPI_CAST(WORD, p))
#define PRIMARYLANGID(lgid) (WINAPI_CAST(WORD, lgid) & 0x3ff)

WINAPI_BEGIN_C
/// The English system text of dwMessageId (FROM_SYSTEM, or FROM_HMODULE), or the text of
/// lpSource (FROM_STRING), with its inserts (%1 to %99, %1!fmt!) taken from Arguments (a
/// va_list*, or a DWORD_PTR array with ARGUMENT_ARRAY) unless IGNORE_INSERTS. Returns the
/// characters stored without the terminator, or 0 with ERROR_MR_MID_NOT_FOUND (unknown code),
/// ERROR_RESOURCE_LANG_NOT_FOUND (a language other than neutral or English),
/// ERROR_INSUFFICIENT_BUFFER or ERROR_INVALID_PARAMETER. ALLOCATE_BUFFER stores a LocalAlloc'ed
/// buffer (free it with LocalFree) in *(LPWSTR*)lpBuffer.
DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) WINAPI_NOTHROW;
/// As FormatMessageW, in 8-bit text (UTF-8, which covers the ASCII system texts).
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments) WINAPI_NOTHROW;
WINAPI_NODISCARD HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) WINAPI_NOTHROW;
/// nullptr on success, as on Windows.
HLOCAL WINAPI LocalFree(HLOCAL hMem) WINAPI_NOTHROW;
WINAPI_END_C

// ---- Run-time loading of libraries -----------------------------------------------------------
// Windows declares INT_PTR (*)(), which C keeps (a function pointer without a prototype); in C++
// void (*)() is the type g++ lets every caller cast to its own function type without a
// -Wcast-function-type warning, and nobody calls a FARPROC as it is.
#ifdef __cplusplus
typedef void(WINAPI* FARPROC)();
#else
typedef INT_PTR(WINAPI* FARPROC)();
#endif

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

WINAPI_BEGIN_C
/// Loads a library by its Windows name. "kernel32.dll", "ws2_32.dll" and the other system
/// libraries this layer stands in for give this library itself; "<name>.dll" (any letter case,
/// ".dll" optional) gives lib<name>.so from the executable's folder, else from the library
/// search path; a name with a '/' is loaded as it is. ERROR_MOD_NOT_FOUND when nothing loads.
WINAPI_NODISCARD HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) WINAPI_NOTHROW;
WINAPI_NODISCARD HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) WINAPI_NOTHROW;
/// As LoadLibraryW; hFile must be nullptr, the search flags are accepted and change nothing.
WINAPI_NODISCARD HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile,
                                               DWORD dwFlags) WINAPI_NOTHROW;
/// The exported function or variable lpProcName of hModule (nullptr: the program), or nullptr
/// with ERROR_PROC_NOT_FOUND (also for ordinals) or ERROR_INVALID_HANDLE.
WINAPI_NODISCARD FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) WINAPI_NOTHROW;
/// Releases one LoadLibrary of hModule; FALSE with ERROR_INVALID_HANDLE for any other value.
BOOL WINAPI FreeLibrary(HMODULE hLibModule) WINAPI_NOTHROW;
/// nullptr: the program. Otherwise a library that is already loaded (no reference is added),
/// or nullptr with ERROR_MOD_NOT_FOUND.
WINAPI_NODISCARD HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) WINAPI_NOTHROW;
/// The full path of the program (nullptr) or of a loaded library; truncated, nSize returned and
/// ERROR_INSUFFICIENT_BUFFER set when it does not fit.
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) WINAPI_NOTHROW;
/// Sets the process's error mode and returns the previous one.
UINT WINAPI SetErrorMode(UINT uMode) WINAPI_NOTHROW;
UINT WINAPI GetErrorMode(void) WINAPI_NOTHROW;
WINAPI_END_C

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

WINAPI_BEGIN_C
/// Windows 10 (10.0.19041, a workstation). dwOSVersionInfoSize must be the size of the
/// OSVERSIONINFOW or OSVERSIONINFOEXW given: otherwise FALSE with ERROR_INSUFFICIENT_BUFFER.
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) WINAPI_NOTHROW;
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) WINAPI_NOTHROW;
/// The ntdll form: STATUS_SUCCESS, or STATUS_INVALID_PARAMETER for a wrong size.
NTSTATUS WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) WINAPI_NOTHROW;
/// Major version in the low byte, minor in the next, build in the high word.
DWORD WINAPI GetVersion(void) WINAPI_NOTHROW;
WINAPI_END_C

// ---- Program resources ------------------------------------------------------------------------
#define IS_INTRESOURCE(r) ((WINAPI_REINTERPRET(ULONG_PTR, r) >> 16) == 0)
#define MAKEINTRESOURCEW(i) WINAPI_REINTERPRET(LPWSTR, WINAPI_CAST(ULONG_PTR, WINAPI_CAST(WORD, i)))
#define MAKEINTRESOURCEA(i) WINAPI_REINTERPRET(LPSTR, WINAPI_CAST(ULONG_PTR, WINAPI_CAST(WORD, i)))
#define RT_RCDATA MAKEINTRESOURCEW(10)

WINAPI_BEGIN_C
/// The resource lpName (case-insensitive) of type RT_RCDATA embedded in the program or one of
/// its libraries (hModule nullptr or any module: they share one registry), or nullptr with
/// ERROR_RESOURCE_TYPE_NOT_FOUND or ERROR_RESOURCE_NAME_NOT_FOUND.
WINAPI_NODISCARD HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName,
                                            LPCWSTR lpType) WINAPI_NOTHROW;
WINAPI_NODISCARD HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) WINAPI_NOTHROW;
/// The resource's bytes, valid for the life of the process (not NUL-terminated).
WINAPI_NODISCARD LPVOID WINAPI LockResource(HGLOBAL hResData) WINAPI_NOTHROW;
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) WINAPI_NOTHROW;
/// Nothing to free: FALSE, as on Windows.
BOOL WINAPI FreeResource(HGLOBAL hResData) WINAPI_NOTHROW;
WINAPI_END_C

// ---- Memory ------------------------------------------------------------------------------------
// The Rtl*Memory routines are the C library's, as on Windows (where they are macros too).
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define ZeroMemory RtlZeroMemory
#define FillMemory RtlFillMemory
#define CopyMemory RtlCopyMemory
#define MoveMemory RtlMoveMemory

/// Zeroes memory in a way the compiler never removes (for secrets about to be freed).
WINAPI_INLINE PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt) WINAPI_NOTHROW {
    volatile BYTE* Byte = WINAPI_CAST(volatile BYTE*, ptr);
    while (cnt-- > 0) {
        *Byte++ = 0;
    }
    return ptr;
}

#define HEAP_NO_SERIALIZE 0x00000001u
#define HEAP_GENERATE_EXCEPTIONS 0x00000004u
#define HEAP_ZERO_MEMORY 0x00000008u
#define HEAP_REALLOC_IN_PLACE_ONLY 0x00000010u

WINAPI_BEGIN_C
/// The process heap: a fixed handle that HeapAlloc, HeapReAlloc, HeapFree and HeapSize accept
/// (the C library's allocator underneath). CloseHandle refuses it.
HANDLE WINAPI GetProcessHeap(void) WINAPI_NOTHROW;
/// dwBytes from the heap (zeroed with HEAP_ZERO_MEMORY), or nullptr: no exception is raised,
/// HEAP_GENERATE_EXCEPTIONS included. Another heap handle fails with ERROR_INVALID_HANDLE.
WINAPI_NODISCARD LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags,
                                         SIZE_T dwBytes) WINAPI_NOTHROW;
/// Resizes a block; HEAP_ZERO_MEMORY zeroes the added bytes. HEAP_REALLOC_IN_PLACE_ONLY fails
/// (ERROR_NOT_ENOUGH_MEMORY) when the block would grow. nullptr on failure, the old block
/// untouched.
WINAPI_NODISCARD LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem,
                                           SIZE_T dwBytes) WINAPI_NOTHROW;
/// Frees a block (nullptr is accepted).
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) WINAPI_NOTHROW;
/// The size asked for when the block was allocated, or (SIZE_T)-1 with ERROR_INVALID_PARAMETER.
SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem) WINAPI_NOTHROW;
WINAPI_END_C

// ---- Files -------------------------------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

WINAPI_BEGIN_C
/// Opens or creates a file (the name is turned into UTF-8; '/' separates folders).
/// dwCreationDisposition CREATE_NEW (ERROR_FILE_EXISTS when it exists), CREATE_ALWAYS and
/// OPEN_ALWAYS (success with ERROR_ALREADY_EXISTS as the last error when it existed),
/// OPEN_EXISTING and TRUNCATE_EXISTING (ERROR_FILE_NOT_FOUND when it does not). The share mode
/// is accepted and not enforced; FILE_FLAG_DELETE_ON_CLOSE removes the file at CloseHandle;
/// FILE_FLAG_OVERLAPPED fails with ERROR_NOT_SUPPORTED. INVALID_HANDLE_VALUE on failure.
WINAPI_NODISCARD HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess,
                                           DWORD dwShareMode,
                                           LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                           DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                           HANDLE hTemplateFile) WINAPI_NOTHROW;
WINAPI_NODISCARD HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                                           DWORD dwShareMode,
                                           LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                           DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                           HANDLE hTemplateFile) WINAPI_NOTHROW;
/// Synchronous reads and writes at the file position (lpOverlapped must be nullptr, else
/// ERROR_INVALID_PARAMETER). A read at the end of the file succeeds with 0 bytes; a handle
/// opened without the access fails with ERROR_ACCESS_DENIED.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) WINAPI_NOTHROW;
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) WINAPI_NOTHROW;
BOOL WINAPI FlushFileBuffers(HANDLE hFile) WINAPI_NOTHROW;
BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) WINAPI_NOTHROW;
/// Moves the file position (FILE_BEGIN, FILE_CURRENT, FILE_END); a position before the start
/// fails with ERROR_NEGATIVE_SEEK.
BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) WINAPI_NOTHROW;
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) WINAPI_NOTHROW;
BOOL WINAPI DeleteFileA(LPCSTR lpFileName) WINAPI_NOTHROW;
/// "<lpPathName>/<the first three characters of lpPrefixString><uUnique in hex>.TMP" in
/// lpTempFileName (MAX_PATH characters). uUnique 0: a number is chosen and the file created
/// empty, so that the name is the caller's; otherwise only the name is made. Returns the
/// number, or 0 with the error (ERROR_PATH_NOT_FOUND, ERROR_BUFFER_OVERFLOW for a name longer
/// than MAX_PATH - 1).
UINT WINAPI GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique,
                             LPWSTR lpTempFileName) WINAPI_NOTHROW;
UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                             LPSTR lpTempFileName) WINAPI_NOTHROW;
WINAPI_END_C

// ---- The Windows names without the W suffix (this layer is always Unicode) ---------------------
#define CreateEvent CreateEventW
#define FormatMessage FormatMessageW
#define LoadLibrary LoadLibraryW
#define LoadLibraryEx LoadLibraryExW
#define GetModuleHandle GetModuleHandleW
#define GetModuleFileName GetModuleFileNameW
#define FindResource FindResourceW
#define GetVersionEx GetVersionExW
#define CreateFile CreateFileW
#define DeleteFile DeleteFileW
#define GetTempFileName GetTempFileNameW
typedef OSVERSIONINFOW OSVERSIONINFO;
typedef OSVERSIONINFOEXW OSVERSIONINFOEX;

// As on Windows, the full header also brings the RPC and component-object declarations.
#ifndef WIN32_LEAN_AND_MEAN
#include <objbase.h>
#include <rpc.h>
#endif
