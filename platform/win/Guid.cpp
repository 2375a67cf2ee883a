// Guid: random UUIDs, their registry text, and the component-object library's start-up count.
#include "platform/win/Random.h"

#include <cerrno>
#include <combaseapi.h>
#include <cstring>
#include <rpc.h>

namespace {

// Fills Guid with 16 unpredictable bytes and marks it as a version-4 UUID (RFC 4122 variant).
// GUIDs name connections and long-polling sessions, so they must not be guessable; the
// generator is a per-thread key stream seeded from the kernel (no system call per GUID).
// False when the random source fails.
bool RandomGuid(GUID& Guid) noexcept {
    unsigned char Bytes[sizeof(GUID)];
    if (!win::RandomBytes(Bytes, sizeof(Bytes))) {
        return false;
    }
    std::memcpy(&Guid, Bytes, sizeof(Guid));
    Guid.Data3 = static_cast<std::uint16_t>((Guid.Data3 & 0x0FFF) | 0x4000);
    Guid.Data4[0] = static_cast<std::uint8_t>((Guid.Data4[0] & 0x3F) | 0x80);
    return true;
}

// The calling thread's component-object library state: initialisations not yet undone, and
// the model of the first one.
thread_local int ComInitCount = 0;
thread_local DWORD ComModel = 0;

} // namespace

extern "C" {

RPC_STATUS WINAPI UuidCreate(UUID* Uuid) noexcept {
    if (Uuid == nullptr) {
        return RPC_S_INVALID_ARG;
    }
    return RandomGuid(*Uuid) ? RPC_S_OK : RPC_S_UUID_NO_ADDRESS;
}

HRESULT WINAPI CoCreateGuid(GUID* pguid) noexcept {
    if (pguid == nullptr) {
        return E_POINTER;
    }
    // HRESULT_FROM_WIN32(RPC_S_UUID_NO_ADDRESS), as UuidCreate's failure surfaces on Windows.
    return RandomGuid(*pguid) ? S_OK : static_cast<HRESULT>(0x800706CBu);
}

int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) noexcept {
    constexpr int Length = 39; // "{" 8 "-" 4 "-" 4 "-" 4 "-" 12 "}" and the terminator.
    if (lpsz == nullptr || cchMax < Length) {
        return 0;
    }
    static constexpr char Hex[] = "0123456789ABCDEF";
    int At = 0;
    const auto Put = [&](std::uint64_t Value, int Digits) {
        for (int Shift = (Digits - 1) * 4; Shift >= 0; Shift -= 4) {
            lpsz[At++] = static_cast<OLECHAR>(Hex[(Value >> Shift) & 0xF]);
        }
    };
    lpsz[At++] = L'{';
    Put(rguid.Data1, 8);
    lpsz[At++] = L'-';
    Put(rguid.Data2, 4);
    lpsz[At++] = L'-';
    Put(rguid.Data3, 4);
    lpsz[At++] = L'-';
    Put(rguid.Data4[0], 2);
    Put(rguid.Data4[1], 2);
    lpsz[At++] = L'-';
    for (int I = 2; I < 8; ++I) {
        Put(rguid.Data4[I], 2);
    }
    lpsz[At++] = L'}';
    lpsz[At++] = L'\0';
    return At;
}

HRESULT WINAPI CoInitialize(LPVOID pvReserved) noexcept {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

HRESULT WINAPI CoInitializeEx(LPVOID /*pvReserved*/, DWORD dwCoInit) noexcept {
    const DWORD Model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (ComInitCount > 0) {
        if (Model != ComModel) {
            return RPC_E_CHANGED_MODE;
        }
        ++ComInitCount;
        return S_FALSE;
    }
    ComModel = Model;
    ComInitCount = 1;
    return S_OK;
}

void WINAPI CoUninitialize() noexcept {
    if (ComInitCount > 0) {
        --ComInitCount;
    }
}

} // extern "C"
