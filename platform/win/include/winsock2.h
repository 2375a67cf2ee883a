// winsock2.h: the Windows Sockets 2 types and the ws2_32 functions this platform layer provides.
//
// The address records are the POSIX ones under their Windows names, so a SOCKADDR_IN filled by
// Windows code is a sockaddr_in that getnameinfo and inet_ntop read directly. The byte-order
// functions (htons, ntohs, htonl, ntohl, inet_addr) are the C library's. The ws2_32 functions
// are implemented in the platform_win shared library, which LoadLibrary("ws2_32.dll") returns.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <windows.h>

#ifndef WSAAPI
#define WSAAPI
#endif

// ---- Types -------------------------------------------------------------------------------------
typedef UINT_PTR SOCKET;
typedef USHORT ADDRESS_FAMILY;

typedef struct sockaddr SOCKADDR, *PSOCKADDR, *LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN, *PSOCKADDR_IN, *LPSOCKADDR_IN;
typedef struct sockaddr_in6 SOCKADDR_IN6, *PSOCKADDR_IN6, *LPSOCKADDR_IN6;
typedef struct sockaddr_storage SOCKADDR_STORAGE, *PSOCKADDR_STORAGE, *LPSOCKADDR_STORAGE;
typedef struct in_addr IN_ADDR, *PIN_ADDR, *LPIN_ADDR;
typedef struct in6_addr IN6_ADDR, *PIN6_ADDR, *LPIN6_ADDR;

#define INVALID_SOCKET WINAPI_CAST(SOCKET, ~WINAPI_CAST(SOCKET, 0))
#define SOCKET_ERROR (-1)

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

/// What WSAStartup reports (the 64-bit Windows member order).
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

#ifndef MAKEWORD
#define MAKEWORD(a, b)                                                                             \
    WINAPI_CAST(WORD, (WINAPI_CAST(BYTE, a)) | (WINAPI_CAST(WORD, WINAPI_CAST(BYTE, b)) << 8))
#endif
#ifndef LOBYTE
#define LOBYTE(w) WINAPI_CAST(BYTE, WINAPI_CAST(DWORD_PTR, w) & 0xff)
#endif
#ifndef HIBYTE
#define HIBYTE(w) WINAPI_CAST(BYTE, (WINAPI_CAST(DWORD_PTR, w) >> 8) & 0xff)
#endif

// ---- Error codes (winerror.h, the WSA range) ---------------------------------------------------
#define WSA_NOT_ENOUGH_MEMORY 8L
#define WSA_INVALID_PARAMETER 87L
#define WSAEFAULT 10014L
#define WSAEINVAL 10022L
#define WSAEAFNOSUPPORT 10047L
#define WSASYSNOTREADY 10091L
#define WSAVERNOTSUPPORTED 10092L
#define WSANOTINITIALISED 10093L
#define WSAHOST_NOT_FOUND 11001L
#define WSATRY_AGAIN 11002L
#define WSANO_RECOVERY 11003L
#define WSANO_DATA 11004L

// ---- Functions ---------------------------------------------------------------------------------
WINAPI_BEGIN_C
/// Starts the socket library for this process (counted); only versions from 1.0 to 2.2 are
/// accepted: 0 and WSADATA filled, or WSAVERNOTSUPPORTED / WSAEFAULT.
WINAPI_NODISCARD int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) WINAPI_NOTHROW;
/// Ends one WSAStartup: 0, or SOCKET_ERROR with WSANOTINITIALISED when none is open.
int WSAAPI WSACleanup(void) WINAPI_NOTHROW;
/// The calling thread's last error (the same value GetLastError returns).
WINAPI_NODISCARD int WSAAPI WSAGetLastError(void) WINAPI_NOTHROW;
void WSAAPI WSASetLastError(int iError) WINAPI_NOTHROW;
WINAPI_END_C

// The name and address functions are declared by ws2tcpip.h on Windows; code that includes only
// winsock2.h finds them there as well here, which does no harm.
#include <ws2tcpip.h>
