// Winsock: the ws2_32 functions over the C library's socket address functions.
#include "platform/rtl/Utf.h"

#include <atomic>
#include <cstring>
#include <string>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

// Open WSAStartup calls of the process; the name functions refuse to work while it is 0, as on
// Windows.
std::atomic<long> StartupCount{0};

int FailWsa(int Code) noexcept {
    SetLastError(static_cast<DWORD>(Code));
    return Code;
}

int EaiToWsa(int Eai) noexcept {
    switch (Eai) {
    case EAI_FAMILY:
        return WSAEAFNOSUPPORT;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_MEMORY:
        return WSA_NOT_ENOUGH_MEMORY;
    case EAI_OVERFLOW:
        return WSAEFAULT;
    case EAI_BADFLAGS:
        return WSAEINVAL;
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    default:
        return WSANO_RECOVERY;
    }
}

// Copies Text with its terminator into a buffer of Size wide characters; false when it does not
// fit.
bool CopyWide(const char* Text, PWCHAR Buffer, DWORD Size) noexcept {
    try {
        const std::wstring Wide = rtl::Utf8ToWide(Text);
        if (Wide.size() + 1 > Size) {
            return false;
        }
        std::wmemcpy(Buffer, Wide.c_str(), Wide.size() + 1);
        return true;
    } catch (...) {
        return false;
    }
}

// An address text is plain ASCII; anything else can be no address.
bool NarrowAscii(PCWSTR Text, char* Buffer, std::size_t Size) noexcept {
    std::size_t I = 0;
    for (; Text[I] != L'\0'; ++I) {
        if (I + 1 >= Size || Text[I] < 0 || Text[I] > 0x7F) {
            return false;
        }
        Buffer[I] = static_cast<char>(Text[I]);
    }
    Buffer[I] = '\0';
    return true;
}

} // namespace

extern "C" {

int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) noexcept {
    const BYTE Major = LOBYTE(wVersionRequested);
    const BYTE Minor = HIBYTE(wVersionRequested);
    if (Major < 1) {
        return WSAVERNOTSUPPORTED;
    }
    if (lpWSAData == nullptr) {
        return WSAEFAULT;
    }
    // Windows grants the requested version up to 2.2 and reports 2.2 as the highest.
    const bool Above = Major > 2 || (Major == 2 && Minor > 2);
    std::memset(lpWSAData, 0, sizeof(WSADATA));
    lpWSAData->wVersion = Above ? MAKEWORD(2, 2) : wVersionRequested;
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(lpWSAData->szDescription, "WinSock 2.0");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    ++StartupCount;
    return 0;
}

int WSAAPI WSACleanup() noexcept {
    long Count = StartupCount.load();
    while (Count > 0 && !StartupCount.compare_exchange_weak(Count, Count - 1)) {
    }
    if (Count <= 0) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    return 0;
}

int WSAAPI WSAGetLastError() noexcept {
    return static_cast<int>(GetLastError());
}

void WSAAPI WSASetLastError(int iError) noexcept {
    SetLastError(static_cast<DWORD>(iError));
}

INT WSAAPI GetNameInfoW(const SOCKADDR* pSockaddr, socklen_t SockaddrLength, PWCHAR pNodeBuffer,
                        DWORD NodeBufferSize, PWCHAR pServiceBuffer, DWORD ServiceBufferSize,
                        INT Flags) noexcept {
    if (StartupCount.load() <= 0) {
        return FailWsa(WSANOTINITIALISED);
    }
    if (pSockaddr == nullptr) {
        return FailWsa(WSAEFAULT);
    }
    if (pSockaddr->sa_family != AF_INET && pSockaddr->sa_family != AF_INET6) {
        return FailWsa(WSAEAFNOSUPPORT);
    }
    const socklen_t Needed =
        pSockaddr->sa_family == AF_INET ? sizeof(SOCKADDR_IN) : sizeof(SOCKADDR_IN6);
    if (SockaddrLength < Needed) {
        return FailWsa(WSAEFAULT);
    }
    if ((pNodeBuffer == nullptr) != (NodeBufferSize == 0) ||
        (pServiceBuffer == nullptr) != (ServiceBufferSize == 0) ||
        (pNodeBuffer == nullptr && pServiceBuffer == nullptr)) {
        return FailWsa(WSAEINVAL);
    }
    char Host[NI_MAXHOST];
    char Service[NI_MAXSERV];
    const int Result = getnameinfo(
        pSockaddr, Needed, pNodeBuffer ? Host : nullptr, pNodeBuffer ? sizeof(Host) : 0,
        pServiceBuffer ? Service : nullptr, pServiceBuffer ? sizeof(Service) : 0, Flags);
    if (Result != 0) {
        return FailWsa(EaiToWsa(Result));
    }
    if ((pNodeBuffer && !CopyWide(Host, pNodeBuffer, NodeBufferSize)) ||
        (pServiceBuffer && !CopyWide(Service, pServiceBuffer, ServiceBufferSize))) {
        return FailWsa(WSAEFAULT);
    }
    return 0;
}

INT WSAAPI InetPtonW(INT Family, PCWSTR pszAddrString, PVOID pAddrBuf) noexcept {
    if (Family != AF_INET && Family != AF_INET6) {
        SetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    if (pszAddrString == nullptr || pAddrBuf == nullptr) {
        SetLastError(WSAEFAULT);
        return -1;
    }
    char Text[INET6_ADDRSTRLEN + 1];
    if (!NarrowAscii(pszAddrString, Text, sizeof(Text))) {
        return 0;
    }
    return inet_pton(Family, Text, pAddrBuf) == 1 ? 1 : 0;
}

PCWSTR WSAAPI InetNtopW(INT Family, const VOID* pAddr, PWSTR pStringBuf,
                        size_t StringBufSize) noexcept {
    if (Family != AF_INET && Family != AF_INET6) {
        SetLastError(WSAEAFNOSUPPORT);
        return nullptr;
    }
    if (pAddr == nullptr || pStringBuf == nullptr) {
        SetLastError(WSAEFAULT);
        return nullptr;
    }
    char Text[INET6_ADDRSTRLEN + 1];
    if (inet_ntop(Family, pAddr, Text, sizeof(Text)) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::size_t Length = std::strlen(Text);
    if (Length + 1 > StringBufSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (std::size_t I = 0; I <= Length; ++I) {
        pStringBuf[I] = static_cast<WCHAR>(static_cast<unsigned char>(Text[I]));
    }
    return pStringBuf;
}

} // extern "C"
