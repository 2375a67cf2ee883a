// ws2tcpip.h: the protocol-independent name and address functions of ws2_32.
//
// NI_NUMERICHOST, NI_NUMERICSERV, NI_MAXHOST (1025) and NI_MAXSERV (32) are the C library's
// (<netdb.h>), passed through to getnameinfo unchanged.
#pragma once

#include <winsock2.h>

#ifndef INET_ADDRSTRLEN
#define INET_ADDRSTRLEN 22
#endif
#ifndef INET6_ADDRSTRLEN
#define INET6_ADDRSTRLEN 65
#endif

typedef WCHAR* PWCHAR;

WINAPI_BEGIN_C
/// The host and service texts of an IPv4 or IPv6 address. Returns 0, or a WSA error code (also
/// left in WSAGetLastError): WSANOTINITIALISED before WSAStartup, WSAEFAULT for a length that
/// does not fit the family or a buffer that is too small, WSAEAFNOSUPPORT for another family,
/// WSAHOST_NOT_FOUND for a name that cannot be given.
WINAPI_NODISCARD INT WSAAPI GetNameInfoW(const SOCKADDR* pSockaddr, socklen_t SockaddrLength,
                                         PWCHAR pNodeBuffer, DWORD NodeBufferSize,
                                         PWCHAR pServiceBuffer, DWORD ServiceBufferSize,
                                         INT Flags) WINAPI_NOTHROW;
/// Parses an IPv4 or IPv6 address text into pAddrBuf (an IN_ADDR or IN6_ADDR): 1 on success,
/// 0 for text that is no address, -1 with WSAEAFNOSUPPORT or WSAEFAULT.
WINAPI_NODISCARD INT WSAAPI InetPtonW(INT Family, PCWSTR pszAddrString,
                                      PVOID pAddrBuf) WINAPI_NOTHROW;
/// The text of an IPv4 or IPv6 address: pStringBuf, or nullptr with WSAEAFNOSUPPORT,
/// WSAEFAULT, or ERROR_INVALID_PARAMETER when StringBufSize (in characters) is too small.
WINAPI_NODISCARD PCWSTR WSAAPI InetNtopW(INT Family, const VOID* pAddr, PWSTR pStringBuf,
                                         size_t StringBufSize) WINAPI_NOTHROW;
WINAPI_END_C
