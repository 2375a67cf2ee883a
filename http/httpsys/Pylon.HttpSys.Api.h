// Pylon.HttpSys.Api: the run-time binding of httpapi.dll and the HTTP Server API error check.
#pragma once

#include "platform/rtl/Exception.h"

#include <http.h>
#include <string>
#include <string_view>

namespace pylon {

/// The only exception raised for a failed HTTP Server API call.
class EHttpApiException : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EHttpApiException"; }
};

inline constexpr std::string_view SHttpApiError = "HTTP Server API Error.\r\n";
inline constexpr std::string_view SHttpApiMissingMethod = "httpapi.dll - Could not find method: ";
inline constexpr std::string_view SHttpApiNotLoaded =
    "HTTP Server API Error.\r\nCould not load httpapi.dll: %s";

/// The HTTP Server API functions, bound by name from the loaded library.
struct THttpApiFunctions {
    decltype(&::HttpInitialize) HttpInitialize = nullptr;
    decltype(&::HttpTerminate) HttpTerminate = nullptr;
    decltype(&::HttpCreateHttpHandle) HttpCreateHttpHandle = nullptr;
    decltype(&::HttpCreateRequestQueue) HttpCreateRequestQueue = nullptr;
    decltype(&::HttpCloseRequestQueue) HttpCloseRequestQueue = nullptr;
    decltype(&::HttpSetRequestQueueProperty) HttpSetRequestQueueProperty = nullptr;
    decltype(&::HttpQueryRequestQueueProperty) HttpQueryRequestQueueProperty = nullptr;
    decltype(&::HttpShutdownRequestQueue) HttpShutdownRequestQueue = nullptr;
    decltype(&::HttpReceiveClientCertificate) HttpReceiveClientCertificate = nullptr;
    decltype(&::HttpCreateServerSession) HttpCreateServerSession = nullptr;
    decltype(&::HttpCloseServerSession) HttpCloseServerSession = nullptr;
    decltype(&::HttpSetServerSessionProperty) HttpSetServerSessionProperty = nullptr;
    decltype(&::HttpAddUrl) HttpAddUrl = nullptr;
    decltype(&::HttpRemoveUrl) HttpRemoveUrl = nullptr;
    decltype(&::HttpCreateUrlGroup) HttpCreateUrlGroup = nullptr;
    decltype(&::HttpCloseUrlGroup) HttpCloseUrlGroup = nullptr;
    decltype(&::HttpAddUrlToUrlGroup) HttpAddUrlToUrlGroup = nullptr;
    decltype(&::HttpRemoveUrlFromUrlGroup) HttpRemoveUrlFromUrlGroup = nullptr;
    decltype(&::HttpSetUrlGroupProperty) HttpSetUrlGroupProperty = nullptr;
    decltype(&::HttpReceiveHttpRequest) HttpReceiveHttpRequest = nullptr;
    decltype(&::HttpReceiveRequestEntityBody) HttpReceiveRequestEntityBody = nullptr;
    decltype(&::HttpSendHttpResponse) HttpSendHttpResponse = nullptr;
    decltype(&::HttpSendResponseEntityBody) HttpSendResponseEntityBody = nullptr;
    decltype(&::HttpWaitForDisconnect) HttpWaitForDisconnect = nullptr;
    decltype(&::HttpCancelHttpRequest) HttpCancelHttpRequest = nullptr;
    decltype(&::HttpWaitForDemandStart) HttpWaitForDemandStart = nullptr;
    decltype(&::HttpFlushResponseCache) HttpFlushResponseCache = nullptr;
    decltype(&::HttpAddFragmentToCache) HttpAddFragmentToCache = nullptr;
    decltype(&::HttpReadFragmentFromCache) HttpReadFragmentFromCache = nullptr;
    decltype(&::HttpSetServiceConfiguration) HttpSetServiceConfiguration = nullptr;
    decltype(&::HttpDeleteServiceConfiguration) HttpDeleteServiceConfiguration = nullptr;
    decltype(&::HttpQueryServiceConfiguration) HttpQueryServiceConfiguration = nullptr;
};

/// Loads httpapi.dll once per process (later calls give the first call's result) with
/// open-file error boxes suppressed and binds every function at once. False (the loader's error as
/// last error) when the library cannot be loaded; throws EHttpApiException naming the first
/// function the library lacks. Safe to call from several threads.
bool LoadHttpApiLibrary();
/// The bound functions; filled only after LoadHttpApiLibrary returned true.
const THttpApiFunctions& HttpApi() noexcept;
/// Loads the library LibraryName (a Windows name) and binds every function into Functions:
/// false when it cannot be loaded, EHttpApiException for a missing function. The library is
/// held until the program ends. LoadHttpApiLibrary is this call for "httpapi.dll".
bool BindHttpApiLibrary(const wchar_t* LibraryName, THttpApiFunctions& Functions);

/// Throws EHttpApiException ("HTTP Server API Error." CR LF and the system's text for the
/// code) for a non-zero result.
void HttpCheck(ULONG HttpResult);
/// The system's message text for an error code, without its trailing line break.
std::string SysErrorMessage(DWORD ErrorCode);

} // namespace pylon
