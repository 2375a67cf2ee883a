// Pylon.Win.Socket: the run-time binding of the socket functions that print client addresses.
#include "http/httpsys/Pylon.Win.Socket.h"

#include "platform/rtl/Utf.h"

#include <mutex>
#include <ws2tcpip.h>

namespace pylon {

namespace {

using TGetNameInfoW = decltype(&::GetNameInfoW);
using TInetPtonW = decltype(&::InetPtonW);

/// The bound library, started once and cleaned up when the program ends.
struct TSocketLibrary {
    std::once_flag LoadOnce;
    std::once_flag StartOnce;
    bool Loaded = false;  // Written once under LoadOnce.
    bool Started = false; // Written once under StartOnce.
    HMODULE Library = nullptr;
    TGetNameInfoW GetNameInfoW = nullptr;
    TInetPtonW InetPtonW = nullptr;

    ~TSocketLibrary() {
        if (Started) {
            WSACleanup();
        }
        if (Library != nullptr) {
            FreeLibrary(Library);
        }
    }
};

TSocketLibrary GSocket;

template <typename TFunction>
void Bind(HMODULE Library, const char* Name, TFunction& Target) {
    const FARPROC Address = GetProcAddress(Library, Name);
    if (Address == nullptr) {
        throw EWinSocketException(std::string(SSocketMissingMethod) + Name);
    }
    Target = reinterpret_cast<TFunction>(Address);
}

} // namespace

bool LoadSocketLibrary() {
    std::call_once(GSocket.LoadOnce, [] {
        const HMODULE Library = LoadLibraryW(L"ws2_32.dll");
        if (Library == nullptr) {
            return;
        }
        try {
            Bind(Library, "GetNameInfoW", GSocket.GetNameInfoW);
            Bind(Library, "InetPtonW", GSocket.InetPtonW);
        } catch (...) {
            FreeLibrary(Library);
            throw;
        }
        GSocket.Library = Library;
        GSocket.Loaded = true;
    });
    return GSocket.Loaded;
}

void InitSocketLibrary() {
    if (!LoadSocketLibrary()) {
        return;
    }
    std::call_once(GSocket.StartOnce, [] {
        WSADATA Data;
        GSocket.Started = WSAStartup(MAKEWORD(2, 2), &Data) == 0;
    });
}

std::string SockAddrToString(const SOCKADDR* Addr) {
    if (Addr == nullptr || !LoadSocketLibrary()) {
        return {};
    }
    socklen_t Length = 0;
    if (Addr->sa_family == AF_INET) {
        Length = 16;
    } else if (Addr->sa_family == AF_INET6) {
        Length = 28;
    }
    WCHAR Host[NI_MAXHOST];
    WCHAR Service[NI_MAXSERV];
    if (GSocket.GetNameInfoW(Addr, Length, Host, NI_MAXHOST, Service, NI_MAXSERV,
                             NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return {};
    }
    return rtl::WideToUtf8(Host);
}

} // namespace pylon
