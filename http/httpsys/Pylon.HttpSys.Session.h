// Pylon.HttpSys.Session: the platform session, URL group and request queue of a server.
#pragma once

#include "http/httpsys/Pylon.HttpSys.Context.h"
#include "platform/rtl/Exception.h"
#include "platform/rtl/StringList.h"

#include <atomic>
#include <http.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace pylon {

class EHttpSysSessionException : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EHttpSysSessionException"; }
};

class EHttpSysWindowsNotSupported : public EHttpSysSessionException {
public:
    using EHttpSysSessionException::EHttpSysSessionException;
    std::string_view ClassName() const noexcept override { return "EHttpSysWindowsNotSupported"; }
};

inline constexpr std::string_view SWindowsNotSupported =
    "Pylon Http.Sys Server not supported on this operating system.\r\nMinimum supported server: "
    "Windows Server 2008.\r\nMinimum supported desktop: Windows Vista.";
inline constexpr std::string_view SNoUrlPrefix =
    "You must specify a least one prefix in UrlPrefixes property.";
inline constexpr std::string_view SCouldNotAddUrl =
    "Could not add the following Url to the server.\r\nBe sure that you have reserved the Url in "
    "Http.Sys with proper permissions.\r\n\r\nUrl: %s\r\nError: %s";
inline constexpr std::string_view SQueueLengthNotStarted =
    "Cannot set queue length. Server not started.";

/// Owns the platform session, URL group and request queue and receives requests one at a
/// time. Start and Stop may come from any thread (serialised by FControlSection); GetContext
/// from one receiving thread, which a Stop on another thread wakes.
class THttpSysSession {
public:
    /// Initialises the platform. Throws EHttpSysWindowsNotSupported on an old system and
    /// EHttpApiException when httpapi.dll cannot be loaded or initialised.
    THttpSysSession();
    THttpSysSession(const THttpSysSession&) = delete;
    THttpSysSession& operator=(const THttpSysSession&) = delete;
    ~THttpSysSession();

    /// Opens session, URL group, prefixes, queue and binding; nothing when started. Ids made
    /// before a failure stay and are reused by the next Start.
    void Start();
    /// Unbinds and closes everything; nothing when not started.
    void Stop();
    /// Blocks until a request arrives; nullptr once the queue was closed. Throws
    /// EHttpApiException for any other failure.
    std::unique_ptr<THttpSysContext> GetContext();
    void SetQueueLength(ULONG Value);
    /// Reserves AUrlPrefix for everyone; needs no session.
    static void ReserveUrlPrefix(const std::string& AUrlPrefix);

    bool IsListening() const noexcept { return FStarted.load(); }
    /// Filled before Start; only read while started.
    rtl::TStringList& UrlPrefixes() noexcept { return *FUrlPrefixes; }
    HANDLE QueueId() const noexcept { return FQueueID.load(); }
    HTTP_SERVER_SESSION_ID SessionId() const noexcept { return FSessionId; }
    HTTP_URL_GROUP_ID UrlGroupID() const noexcept { return FUrlGroupId; }

private:
    void Unbind();

    std::recursive_mutex FControlSection;
    std::atomic<bool> FStarted{false};                // Changed under FControlSection.
    HTTP_SERVER_SESSION_ID FSessionId = HTTP_NULL_ID; // Guarded by FControlSection.
    HTTP_URL_GROUP_ID FUrlGroupId = HTTP_NULL_ID;     // Guarded by FControlSection.
    std::atomic<HANDLE> FQueueID{nullptr}; // Changed under FControlSection; read by GetContext.
    std::unique_ptr<rtl::TStringList> FUrlPrefixes;
    bool FInitialized = false;
};

} // namespace pylon
