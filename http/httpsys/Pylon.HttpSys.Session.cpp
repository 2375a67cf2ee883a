// Pylon.HttpSys.Session: the platform session, URL group and request queue of a server.
#include "http/httpsys/Pylon.HttpSys.Session.h"

#include "http/httpsys/Pylon.HttpSys.Api.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/Utf.h"

#include <utility>
#include <windows.h>

namespace pylon {

namespace {

constexpr HTTPAPI_VERSION Version1 = HTTPAPI_VERSION_1;
constexpr HTTPAPI_VERSION Version2 = HTTPAPI_VERSION_2;

} // namespace

THttpSysSession::THttpSysSession() : FUrlPrefixes(std::make_unique<rtl::TStringList>()) {
    OSVERSIONINFOW Info{};
    Info.dwOSVersionInfoSize = sizeof Info;
    if (GetVersionExW(&Info) && Info.dwMajorVersion < 6) {
        throw EHttpSysWindowsNotSupported(std::string(SWindowsNotSupported));
    }
    // Without the library there is no platform to initialise: say so instead of calling
    // through unbound functions.
    if (!LoadHttpApiLibrary()) {
        throw EHttpApiException(
            rtl::FormatText(SHttpApiNotLoaded, {SysErrorMessage(GetLastError())}));
    }
    HttpCheck(HttpApi().HttpInitialize(Version2, HTTP_INITIALIZE_SERVER, nullptr));
    FInitialized = true;
}

THttpSysSession::~THttpSysSession() {
    try {
        Stop();
    } catch (...) {
        // The platform objects are gone with the process in any case.
    }
    if (FInitialized) {
        HttpApi().HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
    }
}

void THttpSysSession::Start() {
    std::scoped_lock Lock(FControlSection);
    if (FStarted) {
        return;
    }
    if (FUrlPrefixes->Count() == 0) {
        throw EHttpSysSessionException(std::string(SNoUrlPrefix));
    }
    const THttpApiFunctions& Api = HttpApi();
    if (FSessionId == HTTP_NULL_ID) {
        HttpCheck(Api.HttpCreateServerSession(Version2, &FSessionId, 0));
    }
    if (FUrlGroupId == HTTP_NULL_ID) {
        HttpCheck(Api.HttpCreateUrlGroup(FSessionId, &FUrlGroupId, 0));
    }
    for (std::size_t I = 0; I < FUrlPrefixes->Count(); ++I) {
        const std::string& Prefix = (*FUrlPrefixes)[I];
        const ULONG Result =
            Api.HttpAddUrlToUrlGroup(FUrlGroupId, rtl::Utf8ToWide(Prefix).c_str(), 0, 0);
        if (Result != NO_ERROR) {
            throw EHttpSysSessionException(
                rtl::FormatText(SCouldNotAddUrl, {Prefix, SysErrorMessage(Result)}));
        }
    }
    if (FQueueID.load() == nullptr) {
        HANDLE Queue = nullptr;
        HttpCheck(Api.HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &Queue));
        FQueueID = Queue;
    }
    HTTP_BINDING_INFO Binding{};
    Binding.Flags.Present = 1;
    Binding.RequestQueueHandle = FQueueID.load();
    HttpCheck(Api.HttpSetUrlGroupProperty(FUrlGroupId, HttpServerBindingProperty, &Binding,
                                          sizeof Binding));
    FStarted = true;
}

void THttpSysSession::Unbind() {
    HTTP_BINDING_INFO Binding{};
    Binding.Flags.Present = 0;
    Binding.RequestQueueHandle = nullptr;
    HttpCheck(HttpApi().HttpSetUrlGroupProperty(FUrlGroupId, HttpServerBindingProperty, &Binding,
                                                sizeof Binding));
}

void THttpSysSession::Stop() {
    std::scoped_lock Lock(FControlSection);
    if (!FStarted) {
        return;
    }
    FStarted = false;
    const THttpApiFunctions& Api = HttpApi();
    Unbind();
    // Closing the queue ends a receive blocked in GetContext with ERROR_OPERATION_ABORTED.
    HttpCheck(Api.HttpCloseRequestQueue(FQueueID.exchange(nullptr)));
    HttpCheck(Api.HttpRemoveUrlFromUrlGroup(FUrlGroupId, nullptr, HTTP_URL_FLAG_REMOVE_ALL));
    HttpCheck(Api.HttpCloseUrlGroup(std::exchange(FUrlGroupId, HTTP_NULL_ID)));
    HttpCheck(Api.HttpCloseServerSession(std::exchange(FSessionId, HTTP_NULL_ID)));
}

std::unique_ptr<THttpSysContext> THttpSysSession::GetContext() {
    const HANDLE Queue = FQueueID.load();
    if (Queue == nullptr) {
        return nullptr;
    }
    THttpSysRequestBuffer Buffer = THttpSysRequestBuffer::Acquire();
    HTTP_REQUEST_ID RequestId = HTTP_NULL_ID;
    for (;;) {
        ULONG Bytes = 0;
        const ULONG Result = HttpApi().HttpReceiveHttpRequest(Queue, RequestId, 0, Buffer.Request(),
                                                              Buffer.Size(), &Bytes, nullptr);
        if (Result == NO_ERROR) {
            return std::make_unique<THttpSysContext>(std::move(Buffer), Queue);
        }
        if (Result == ERROR_MORE_DATA) {
            RequestId = Buffer.Request()->RequestId;
            Buffer.Resize(Bytes);
        } else if ((Result == ERROR_INVALID_PARAMETER || Result == ERROR_CONNECTION_INVALID) &&
                   RequestId != HTTP_NULL_ID) {
            RequestId = HTTP_NULL_ID; // The client left while its request was being fetched.
        } else if (Result == ERROR_OPERATION_ABORTED ||
                   (Result == ERROR_INVALID_HANDLE && FQueueID.load() != Queue)) {
            return nullptr; // Closed during the receive, or just before it began.
        } else {
            HttpCheck(Result);
        }
    }
}

void THttpSysSession::SetQueueLength(ULONG Value) {
    const HANDLE Queue = FQueueID.load();
    if (Queue == nullptr) {
        throw EHttpSysSessionException(std::string(SQueueLengthNotStarted));
    }
    HttpCheck(HttpApi().HttpSetRequestQueueProperty(Queue, HttpServerQueueLengthProperty, &Value,
                                                    sizeof Value, 0, nullptr));
}

void THttpSysSession::ReserveUrlPrefix(const std::string& AUrlPrefix) {
    if (!LoadHttpApiLibrary()) {
        throw EHttpApiException(
            rtl::FormatText(SHttpApiNotLoaded, {SysErrorMessage(GetLastError())}));
    }
    const THttpApiFunctions& Api = HttpApi();
    HttpCheck(Api.HttpInitialize(Version1, HTTP_INITIALIZE_CONFIG, nullptr));
    std::wstring Prefix = rtl::Utf8ToWide(AUrlPrefix);
    std::wstring Security = L"D:(A;;GA;;;WD)";
    HTTP_SERVICE_CONFIG_URLACL_SET Set{};
    Set.KeyDesc.pUrlPrefix = Prefix.data();
    Set.ParamDesc.pStringSecurityDescriptor = Security.data();
    const ULONG Result = Api.HttpSetServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set,
                                                         sizeof Set, nullptr);
    const ULONG Terminated = Api.HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr);
    HttpCheck(Result);
    HttpCheck(Terminated);
}

} // namespace pylon
