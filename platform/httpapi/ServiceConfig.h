// ServiceConfig: the listener's configuration records (URL reservations, API-wide time-outs).
//
// Windows keeps these machine-wide and across reboots; here they live in the process's memory,
// from the first HttpSetServiceConfiguration to the end of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <http.h>
#include <map>
#include <mutex>
#include <string>

namespace httpapi {

/// Safe for concurrent use.
class TServiceConfig {
public:
    DWORD Set(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Information, ULONG Length);
    DWORD Delete(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Information, ULONG Length);
    DWORD Query(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Input, ULONG InputLength, void* Output,
                ULONG OutputLength, ULONG* ReturnLength);

    std::uint16_t IdleConnection() const noexcept { return FIdle.load(); }
    std::uint16_t HeaderWait() const noexcept { return FHeaderWait.load(); }

private:
    DWORD WriteUrlAcl(const std::wstring& Prefix, const std::wstring& Sddl, void* Output,
                      ULONG OutputLength, ULONG* ReturnLength);

    std::mutex FLock;
    std::map<std::string, std::pair<std::wstring, std::wstring>> FUrlAcls; // Guarded by FLock.
    std::atomic<std::uint16_t> FIdle{120};
    std::atomic<std::uint16_t> FHeaderWait{120};
};

/// The process's configuration store.
TServiceConfig& ServiceConfig();

} // namespace httpapi
