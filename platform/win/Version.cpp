// Version: the operating-system version the programs see: Windows 10, version 2004.
#include <cstring>
#include <windows.h>

namespace {

constexpr DWORD Major = 10;
constexpr DWORD Minor = 0;
constexpr DWORD Build = 19041;

template <class TInfo>
void Fill(TInfo& Info) noexcept {
    Info.dwMajorVersion = Major;
    Info.dwMinorVersion = Minor;
    Info.dwBuildNumber = Build;
    Info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(Info.szCSDVersion, 0, sizeof(Info.szCSDVersion));
}

void FillEx(OSVERSIONINFOEXW& Info) noexcept {
    Info.wServicePackMajor = 0;
    Info.wServicePackMinor = 0;
    Info.wSuiteMask = 0x0100; // VER_SUITE_SINGLEUSERTS, as a desktop Windows reports.
    Info.wProductType = VER_NT_WORKSTATION;
    Info.wReserved = 0;
}

// Fills a W record of either size; false for any other size.
bool FillW(RTL_OSVERSIONINFOW* Info) noexcept {
    if (Info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)) {
        Fill(*Info);
        FillEx(*reinterpret_cast<OSVERSIONINFOEXW*>(Info));
        return true;
    }
    if (Info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOW)) {
        Fill(*Info);
        return true;
    }
    return false;
}

} // namespace

extern "C" {

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) noexcept {
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (!FillW(lpVersionInformation)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) noexcept {
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    Fill(*lpVersionInformation);
    return TRUE;
}

NTSTATUS WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) noexcept {
    if (lpVersionInformation == nullptr || !FillW(lpVersionInformation)) {
        return static_cast<NTSTATUS>(0xC000000Du); // STATUS_INVALID_PARAMETER
    }
    return STATUS_SUCCESS;
}

DWORD WINAPI GetVersion() noexcept {
    return (Build << 16) | (Minor << 8) | Major;
}

} // extern "C"
