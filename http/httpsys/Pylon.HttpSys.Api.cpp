// Pylon.HttpSys.Api: the run-time binding of httpapi.dll and the HTTP Server API error check.
#include "http/httpsys/Pylon.HttpSys.Api.h"

#include "platform/rtl/Format.h"

#include <mutex>
#include <windows.h>

namespace pylon {

namespace {

THttpApiFunctions GHttpApi; // Written once under GLoadOnce, read-only afterwards.
std::once_flag GLoadOnce;
bool GLoaded = false;             // Written once under GLoadOnce.
DWORD GLoadError = ERROR_SUCCESS; // Written once under GLoadOnce.

template <typename TFunction>
void Bind(HMODULE Library, const char* Name, TFunction& Target) {
    const FARPROC Address = GetProcAddress(Library, Name);
    if (Address == nullptr) {
        throw EHttpApiException(std::string(SHttpApiMissingMethod) + Name);
    }
    Target = reinterpret_cast<TFunction>(Address);
}

} // namespace

bool BindHttpApiLibrary(const wchar_t* LibraryName, THttpApiFunctions& Functions) {
    const UINT OldMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    const HMODULE Library = LoadLibraryW(LibraryName);
    const DWORD LoadError = GetLastError();
    SetErrorMode(OldMode);
    if (Library == nullptr) {
        SetLastError(LoadError);
        return false;
    }
    // The handle is never released: bound pointers of a process-wide table stay valid until
    // the program ends.
    THttpApiFunctions Bound;
    Bind(Library, "HttpInitialize", Bound.HttpInitialize);
    Bind(Library, "HttpTerminate", Bound.HttpTerminate);
    Bind(Library, "HttpCreateHttpHandle", Bound.HttpCreateHttpHandle);
    Bind(Library, "HttpCreateRequestQueue", Bound.HttpCreateRequestQueue);
    Bind(Library, "HttpCloseRequestQueue", Bound.HttpCloseRequestQueue);
    Bind(Library, "HttpSetRequestQueueProperty", Bound.HttpSetRequestQueueProperty);
    Bind(Library, "HttpQueryRequestQueueProperty", Bound.HttpQueryRequestQueueProperty);
    Bind(Library, "HttpShutdownRequestQueue", Bound.HttpShutdownRequestQueue);
    Bind(Library, "HttpReceiveClientCertificate", Bound.HttpReceiveClientCertificate);
    Bind(Library, "HttpCreateServerSession", Bound.HttpCreateServerSession);
    Bind(Library, "HttpCloseServerSession", Bound.HttpCloseServerSession);
    Bind(Library, "HttpSetServerSessionProperty", Bound.HttpSetServerSessionProperty);
    Bind(Library, "HttpAddUrl", Bound.HttpAddUrl);
    Bind(Library, "HttpRemoveUrl", Bound.HttpRemoveUrl);
    Bind(Library, "HttpCreateUrlGroup", Bound.HttpCreateUrlGroup);
    Bind(Library, "HttpCloseUrlGroup", Bound.HttpCloseUrlGroup);
    Bind(Library, "HttpAddUrlToUrlGroup", Bound.HttpAddUrlToUrlGroup);
    Bind(Library, "HttpRemoveUrlFromUrlGroup", Bound.HttpRemoveUrlFromUrlGroup);
    Bind(Library, "HttpSetUrlGroupProperty", Bound.HttpSetUrlGroupProperty);
    Bind(Library, "HttpReceiveHttpRequest", Bound.HttpReceiveHttpRequest);
    Bind(Library, "HttpReceiveRequestEntityBody", Bound.HttpReceiveRequestEntityBody);
    Bind(Library, "HttpSendHttpResponse", Bound.HttpSendHttpResponse);
    Bind(Library, "HttpSendResponseEntityBody", Bound.HttpSendResponseEntityBody);
    Bind(Library, "HttpWaitForDisconnect", Bound.HttpWaitForDisconnect);
    Bind(Library, "HttpCancelHttpRequest", Bound.HttpCancelHttpRequest);
    Bind(Library, "HttpWaitForDemandStart", Bound.HttpWaitForDemandStart);
    Bind(Library, "HttpFlushResponseCache", Bound.HttpFlushResponseCache);
    Bind(Library, "HttpAddFragmentToCache", Bound.HttpAddFragmentToCache);
    Bind(Library, "HttpReadFragmentFromCache", Bound.HttpReadFragmentFromCache);
    Bind(Library, "HttpSetServiceConfiguration", Bound.HttpSetServiceConfiguration);
    Bind(Library, "HttpDeleteServiceConfiguration", Bound.HttpDeleteServiceConfiguration);
    Bind(Library, "HttpQueryServiceConfiguration", Bound.HttpQueryServiceConfiguration);
    Functions = Bound;
    return true;
}

bool LoadHttpApiLibrary() {
    // A missing function leaves the flag unset, so the next caller hears about it as well.
    std::call_once(GLoadOnce, [] {
        GLoaded = BindHttpApiLibrary(L"httpapi.dll", GHttpApi);
        GLoadError = GLoaded ? ERROR_SUCCESS : GetLastError();
    });
    if (!GLoaded) {
        SetLastError(GLoadError); // Every caller learns why, not only the first.
    }
    return GLoaded;
}

const THttpApiFunctions& HttpApi() noexcept {
    return GHttpApi;
}

std::string SysErrorMessage(DWORD ErrorCode) {
    char Buffer[512];
    DWORD Length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, ErrorCode, 0, Buffer, sizeof Buffer, nullptr);
    if (Length == 0) {
        return "System error " + std::to_string(ErrorCode) + ".";
    }
    while (Length > 0 && (Buffer[Length - 1] == '\r' || Buffer[Length - 1] == '\n' ||
                          Buffer[Length - 1] == ' ')) {
        --Length;
    }
    return std::string(Buffer, Length);
}

void HttpCheck(ULONG HttpResult) {
    if (HttpResult != NO_ERROR) {
        throw EHttpApiException(std::string(SHttpApiError) + SysErrorMessage(HttpResult));
    }
}

} // namespace pylon
