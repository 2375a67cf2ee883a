// zefWebSocket_HTTPAPI_Server: the HTTP Server API listener thread (session, URL group, request
// queue, request receive loop) and its completion-port worker pool.
#include "websocket/httpapi/zefWebSocket_HTTPAPI_Server.h"

#include "platform/rtl/Format.h"
#include "platform/rtl/Utf.h"
#include "websocket/core/zefWebSocket_Types.h"
#include "websocket/httpapi/zefWebSocket_Classes_HTTPAPI.h"

#include <algorithm>
#include <combaseapi.h>
#include <cstring>
#include <winsock2.h>

namespace zef {

namespace {

constexpr HTTPAPI_VERSION Version2 = HTTPAPI_VERSION_2;
/// The request record plus room for the request's head.
constexpr std::size_t RequestBufferSize = sizeof(HTTP_REQUEST) + 16384;
/// The largest request head the listener grows its buffer for; the platform refuses larger
/// heads itself.
constexpr std::size_t MaxRequestBufferSize = sizeof(HTTP_REQUEST) + 256 * 1024;
constexpr DWORD WorkerWait = 10000;
constexpr std::size_t MaxLogFolder = 212;

} // namespace

// ---------------------------------------------------------------------------------------------
// Pool

TzefThreadPool_Thread::TzefThreadPool_Thread(TzefThreadPool* Owner)
    : FOwner(Owner)
    , FThread([this] { Execute(); }) {
}

TzefThreadPool_Thread::~TzefThreadPool_Thread() {
    if (FThread.joinable()) {
        FThread.join();
    }
}

void TzefThreadPool_Thread::Execute() {
    if (FOwner == nullptr) {
        return;
    }
    while (true) {
        DWORD Bytes = 0;
        ULONG_PTR Key = 0;
        LPOVERLAPPED Overlapped = nullptr;
        BOOL Ok = GetQueuedCompletionStatus(FOwner->IOCompletition(), &Bytes, &Key, &Overlapped,
                                            WorkerWait);
        if (Overlapped == ShutdownPacket) {
            return;
        }
        try {
            if (Ok) {
                if (Overlapped != nullptr) {
                    FOwner->DoCompletion(*this, Bytes,
                                         TzefHTTPAPIContext::FromOverlapped(Overlapped));
                }
            } else if (Overlapped != nullptr) {
                FOwner->DoFailedCompletion(TzefHTTPAPIContext::FromOverlapped(Overlapped));
            } else if (GetLastError() != WAIT_TIMEOUT) {
                return; // The port is gone.
            }
        } catch (...) {
            // A completion's failure never ends the worker; its record was released.
        }
        if (FShutdown.load()) {
            return;
        }
    }
}

TzefThreadPool::TzefThreadPool(HANDLE aFileHandle, HANDLE aCompletionPort, int aThreads)
    : FThreads(aThreads <= 0 ? 1 : aThreads) {
    FIOCompletition = CreateIoCompletionPort(aFileHandle, aCompletionPort, 0, DWORD(FThreads));
    if (FIOCompletition == nullptr) {
        return;
    }
    FThreadList.reserve(std::size_t(FThreads));
    for (int I = 0; I < FThreads; ++I) {
        FThreadList.push_back(std::make_unique<TzefThreadPool_Thread>(this));
    }
}

TzefThreadPool::~TzefThreadPool() {
    StopWorkers();
}

void TzefThreadPool::StopWorkers() {
    if (FIOCompletition == nullptr) {
        FThreadList.clear();
        return;
    }
    // Packets are taken in order: every completion queued before the shutdown packets is
    // handled before the last worker ends.
    for (std::size_t I = 0; I < FThreadList.size(); ++I) {
        PostQueuedCompletionStatus(FIOCompletition, 0, 0, ShutdownPacket);
    }
    FThreadList.clear(); // Joins each worker.
    // A packet posted after the shutdown packets (a connection's flush packet, from a writer
    // on another thread) found no worker: its record is released here, unprocessed.
    DWORD Bytes = 0;
    ULONG_PTR Key = 0;
    LPOVERLAPPED Overlapped = nullptr;
    while (GetQueuedCompletionStatus(FIOCompletition, &Bytes, &Key, &Overlapped, 0) ||
           Overlapped != nullptr) {
        if (Overlapped != nullptr && Overlapped != ShutdownPacket) {
            DoFailedCompletion(TzefHTTPAPIContext::FromOverlapped(Overlapped));
        }
        Overlapped = nullptr;
    }
    CloseHandle(FIOCompletition);
    FIOCompletition = nullptr;
}

TzefServer_ThreadPool::TzefServer_ThreadPool(HANDLE aFileHandle, TzefHTTPServerAPI& aServer,
                                             HANDLE aCompletionPort, int aThreads)
    : TzefThreadPool(aFileHandle, aCompletionPort, aThreads)
    , FServer(aServer) {
    if (FIOCompletition == nullptr) {
        return;
    }
    if (CreateIoCompletionPort(aServer.ReqQueue(), FIOCompletition, 0, DWORD(FThreads)) ==
        nullptr) {
        StopWorkers(); // Without the queue's completions the pool would serve nothing.
    }
}

TzefHTTP_ThreadPool::~TzefHTTP_ThreadPool() {
    StopWorkers();
}

void TzefHTTP_ThreadPool::DoCompletion(TzefThreadPool_Thread& /*Thread*/, DWORD aBytes,
                                       TzefHTTPAPIContext* aContext) {
    if (aContext->method == THTTPAPIMethods::mthProcessQueues) {
        // The connection's own packet, no platform operation: the application's completion
        // handler never sees it.
        TzefWSConnection_HTTPAPI* Connection = aContext->connection;
        try {
            Connection->DoFlushQueues();
        } catch (...) {
            // DoFlushQueues ends the connection itself.
        }
        Connection->EndOperation(aContext);
        return;
    }
    bool Handled = false;
    try {
        FServer.DoAsynchronousEvent(*aContext, Handled);
    } catch (...) {
        Handled = false;
    }
    if (Handled) {
        return; // The handler owns the record now.
    }
    TzefWSConnection_HTTPAPI* Connection = aContext->connection;
    switch (aContext->method) {
    case THTTPAPIMethods::mthReceiveHttpRequest:
        try {
            if (Connection == nullptr) {
                FServer.DoConnectEvent(*aContext);
            }
        } catch (...) {
            // The record is released below whatever the handler did.
        }
        FServer.DeleteContext(aContext);
        return;
    case THTTPAPIMethods::mthReceiveRequestEntityBody:
        try {
            if (Connection != nullptr) {
                Connection->DoReadData(aBytes);
            }
        } catch (...) {
            // DoReadData ends the connection itself.
        }
        break;
    case THTTPAPIMethods::mthSendDisconnect:
    case THTTPAPIMethods::mthWaitForDisconnect:
        try {
            FServer.DoDisconnectEvent(*aContext);
        } catch (...) {
            // The record is released below.
        }
        break;
    case THTTPAPIMethods::mthProcessQueues:
        break; // Handled above.
    case THTTPAPIMethods::mthSendHttpResponse:
    case THTTPAPIMethods::mthSendResponseEntityBody:
    case THTTPAPIMethods::mthCancelHttpRequest:
    case THTTPAPIMethods::mthUnknown:
        break;
    }
    if (Connection != nullptr) {
        Connection->EndOperation(aContext);
    }
}

void TzefHTTP_ThreadPool::DoFailedCompletion(TzefHTTPAPIContext* aContext) {
    if (aContext->method == THTTPAPIMethods::mthReceiveHttpRequest) {
        FServer.DeleteContext(aContext);
        return;
    }
    TzefWSConnection_HTTPAPI* Connection = aContext->connection;
    if (Connection == nullptr) {
        return;
    }
    // A failed disconnect wait means the connection is gone (or the queue closed): no read is
    // started on it any more.
    if (aContext->method == THTTPAPIMethods::mthWaitForDisconnect) {
        Connection->SetDisconnected(true);
    }
    Connection->EndOperation(aContext);
}

// ---------------------------------------------------------------------------------------------
// Listener

TzefHTTPServerAPI::TzefHTTPServerAPI(bool CreateSuspended, int aThreads) : FApi(LoadHttpApi()) {
    try {
        CheckError(FApi.HttpInitialize(Version2, HTTP_INITIALIZE_SERVER, nullptr));
        FServerInitialized = true;
        CheckError(FApi.HttpInitialize(Version2, HTTP_INITIALIZE_CONFIG, nullptr));
        FConfigInitialized = true;
        CheckError(FApi.HttpCreateServerSession(Version2, &FServerSessionID, 0));
        CheckError(FApi.HttpCreateUrlGroup(FServerSessionID, &FUrlGroupID, 0));
        CheckError(FApi.HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &FReqQueue));
        HTTP_BINDING_INFO Binding{};
        Binding.Flags.Present = 1;
        Binding.RequestQueueHandle = FReqQueue;
        CheckError(FApi.HttpSetUrlGroupProperty(FUrlGroupID, HttpServerBindingProperty, &Binding,
                                                sizeof Binding));
        FThreadPool =
            std::make_unique<TzefHTTP_ThreadPool>(INVALID_HANDLE_VALUE, *this, nullptr, aThreads);
        if (FThreadPool->IOCompletition() == nullptr) {
            CheckError(GetLastError() != NO_ERROR ? GetLastError() : ERROR_INVALID_HANDLE);
        }
    } catch (...) {
        FThreadPool.reset();
        if (FReqQueue != nullptr) {
            FApi.HttpCloseRequestQueue(FReqQueue);
        }
        if (FUrlGroupID != 0) {
            FApi.HttpCloseUrlGroup(FUrlGroupID);
        }
        if (FServerSessionID != 0) {
            FApi.HttpCloseServerSession(FServerSessionID);
        }
        if (FConfigInitialized) {
            FApi.HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr);
        }
        if (FServerInitialized) {
            FApi.HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
        }
        throw;
    }
    if (!CreateSuspended) {
        Start();
    }
}

TzefHTTPServerAPI::~TzefHTTPServerAPI() {
    FTerminated = true;
    // Closing the queue ends the blocked receive and every pending operation on its
    // connections; their completions are queued to the pool before it is told to stop.
    if (FReqQueue != nullptr) {
        FApi.HttpCloseRequestQueue(FReqQueue);
    }
    if (FThread.joinable()) {
        FThread.join();
    }
    FThreadPool.reset();
    ClearContexts();
    if (FUrlGroupID != 0) {
        FApi.HttpCloseUrlGroup(FUrlGroupID);
    }
    if (FServerSessionID != 0) {
        FApi.HttpCloseServerSession(FServerSessionID);
    }
    if (FConfigInitialized) {
        FApi.HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr);
    }
    if (FServerInitialized) {
        FApi.HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
    }
}

void TzefHTTPServerAPI::Start() {
    if (!FThread.joinable()) {
        FThread = std::thread([this] { Execute(); });
    }
}

HANDLE TzefHTTPServerAPI::IOCompletition() const {
    return FThreadPool ? FThreadPool->IOCompletition() : nullptr;
}

int TzefHTTPServerAPI::ThreadCount() const {
    return FThreadPool ? FThreadPool->ThreadCount() : 0;
}

std::size_t TzefHTTPServerAPI::ContextCount() {
    std::size_t Count = FContexts.ShareList().size();
    FContexts.UnShareList(); // Pairs with ShareList.
    return Count;
}

TzefHTTPAPIContext* TzefHTTPServerAPI::AddContext(std::unique_ptr<TzefHTTPAPIContext> aContext) {
    TzefHTTPAPIContext* Raw = aContext.get();
    auto& List = FContexts.LockList();
    try {
        List.push_back(std::move(aContext));
    } catch (...) {
        FContexts.UnLockList(); // Pairs with LockList.
        throw;
    }
    FContexts.UnLockList(); // Pairs with LockList.
    return Raw;
}

void TzefHTTPServerAPI::DeleteContext(TzefHTTPAPIContext* aContext) {
    std::unique_ptr<TzefHTTPAPIContext> Found;
    auto& List = FContexts.LockList();
    for (std::size_t I = List.size(); I-- > 0;) {
        if (List[I].get() == aContext) {
            Found = std::move(List[I]);
            List[I] = std::move(List.back());
            List.pop_back();
            break;
        }
    }
    FContexts.UnLockList(); // Pairs with LockList.
    // Found (if any) is freed here, outside the lock.
}

void TzefHTTPServerAPI::ClearContexts() {
    std::vector<std::unique_ptr<TzefHTTPAPIContext>> Taken;
    Taken.swap(FContexts.LockList());
    FContexts.UnLockList(); // Pairs with LockList.
}

ULONG TzefHTTPServerAPI::Receive(TzefHTTPAPIContext& aContext, ULONG& aBytes) {
    aBytes = 0;
    ULONG Result = FApi.HttpReceiveHttpRequest(FReqQueue, HTTP_NULL_ID, 0, aContext.request,
                                               ULONG(aContext.buffer.size() * 8), &aBytes, nullptr);
    if (Result != ERROR_MORE_DATA) {
        return Result;
    }
    // A head larger than the buffer: the request stays available under its id for a second
    // call with a buffer of the size the platform asked for.
    HTTP_REQUEST_ID Id = aContext.request->RequestId;
    std::size_t Needed = aBytes;
    if (Needed == 0 || Needed > MaxRequestBufferSize) {
        FApi.HttpCancelHttpRequest(FReqQueue, Id, nullptr);
        return ERROR_MORE_DATA;
    }
    aContext.buffer.clear();
    aContext.buffer.resize((Needed + 7) / 8);
    aContext.request = reinterpret_cast<HTTP_REQUEST*>(aContext.buffer.data());
    std::memset(aContext.request, 0, sizeof(HTTP_REQUEST));
    aBytes = 0;
    Result = FApi.HttpReceiveHttpRequest(FReqQueue, Id, 0, aContext.request,
                                         ULONG(aContext.buffer.size() * 8), &aBytes, nullptr);
    if (Result == ERROR_MORE_DATA) {
        FApi.HttpCancelHttpRequest(FReqQueue, Id, nullptr);
    }
    return Result;
}

void TzefHTTPServerAPI::Execute() {
    try {
        if (FBasicAuthentication) {
            ApplyBasicAuthentication();
        }
        if (OnStartup) {
            OnStartup(*this);
        }
    } catch (...) {
        // The listener serves whatever its start-up handler did.
    }
    while (!FTerminated.load()) {
        try {
            auto Owned = std::make_unique<TzefHTTPAPIContext>();
            // The head's room is not zero-filled: the platform writes what it delivers, and
            // clearing 16 KiB per request cost more than the rest of the listener's pass.
            Owned->buffer.resize((RequestBufferSize + 7) / 8);
            Owned->method = THTTPAPIMethods::mthReceiveHttpRequest;
            Owned->reqqueue = FReqQueue;
            Owned->request = reinterpret_cast<HTTP_REQUEST*>(Owned->buffer.data());
            std::memset(Owned->request, 0, sizeof(HTTP_REQUEST));
            Owned->iocompletition = IOCompletition();
            TzefHTTPAPIContext* Context = AddContext(std::move(Owned));
            ULONG Bytes = 0;
            ULONG Result = Receive(*Context, Bytes);
            if (FTerminated.load()) {
                DeleteContext(Context);
                break;
            }
            if (Result == NO_ERROR) {
                if (!PostQueuedCompletionStatus(Context->iocompletition, Bytes, 0,
                                                &Context->overlapped)) {
                    DeleteContext(Context);
                }
                continue;
            }
            // Nothing will complete this record: it goes at once.
            DeleteContext(Context);
            if (Result == ERROR_MORE_DATA || Result == ERROR_IO_PENDING ||
                Result == ERROR_CONNECTION_INVALID) {
                continue;
            }
            break; // The queue is closed (or broken): the listener ends.
        } catch (...) {
            // One failed pass does not end the listener.
        }
    }
    try {
        if (OnShutdown) {
            OnShutdown(*this);
        }
    } catch (...) {
        // The thread ends anyway.
    }
}

void TzefHTTPServerAPI::ApplyBasicAuthentication() {
    static const std::wstring Realm = rtl::Utf8ToWide(SSoftwareName);
    HTTP_SERVER_AUTHENTICATION_INFO Info{};
    Info.Flags.Present = 1;
    Info.AuthSchemes = HTTP_AUTH_ENABLE_BASIC;
    Info.BasicParams.RealmLength = USHORT(Realm.size() * sizeof(wchar_t));
    Info.BasicParams.Realm = const_cast<PWSTR>(Realm.c_str());
    CheckError(FApi.HttpSetUrlGroupProperty(FUrlGroupID, HttpServerAuthenticationProperty, &Info,
                                            sizeof Info));
}

void TzefHTTPServerAPI::DoConnectEvent(TzefHTTPAPIContext& aContext) {
    if (OnConnect) {
        OnConnect(*this, aContext);
    }
}

void TzefHTTPServerAPI::DoDisconnectEvent(TzefHTTPAPIContext& aContext) {
    if (OnDisconnect) {
        OnDisconnect(*this, aContext);
    }
    DeleteContext(&aContext);
}

void TzefHTTPServerAPI::DoAsynchronousEvent(TzefHTTPAPIContext& aContext, bool& Handled) {
    if (OnAsynchronous) {
        OnAsynchronous(*this, aContext, Handled);
    }
}

int TzefHTTPServerAPI::AddUrl(const std::string& aURL) {
    if (FReqQueue == nullptr) {
        return -1;
    }
    std::wstring Url = rtl::Utf8ToWide(aURL);
    ULONG Result = FApi.HttpAddUrlToUrlGroup(FUrlGroupID, Url.c_str(), 0, 0);
    CheckError(Result);
    return int(Result);
}

int TzefHTTPServerAPI::RemoveUrl(const std::string& aURL) {
    if (FReqQueue == nullptr) {
        return -1;
    }
    std::wstring Url = rtl::Utf8ToWide(aURL);
    ULONG Result = FApi.HttpRemoveUrlFromUrlGroup(FUrlGroupID, Url.c_str(), 0);
    CheckError(Result);
    return int(Result);
}

std::uint8_t TzefHTTPServerAPI::GetUCharByte(char aChar) {
    static constexpr std::string_view Digits = "0123456789ABCDEF";
    char Upper = (aChar >= 'a' && aChar <= 'z') ? char(aChar - 'a' + 'A') : aChar;
    std::size_t At = Digits.find(Upper);
    return At == std::string_view::npos ? 0 : std::uint8_t(At);
}

std::vector<std::uint8_t> TzefHTTPServerAPI::HexToBytes(const std::string& aHex) {
    std::vector<std::uint8_t> Bytes(aHex.size() / 2);
    for (std::size_t I = 0; I < Bytes.size(); ++I) {
        Bytes[I] = std::uint8_t(GetUCharByte(aHex[2 * I]) * 16 + GetUCharByte(aHex[2 * I + 1]));
    }
    return Bytes;
}

void TzefHTTPServerAPI::ConfigureSSLCert(const std::string& aHost, int aPort,
                                         const std::string& aHash,
                                         const std::string& aCertStoreName) {
    if (aHash.empty()) {
        throw TzefWSException(std::string(SErrorSSLHashNotFound));
    }
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(std::uint16_t(aPort));
    if (inet_pton(AF_INET, aHost.c_str(), &Address.sin_addr) != 1) {
        Address.sin_addr.s_addr = 0;
    }
    std::vector<std::uint8_t> Hash = HexToBytes(aHash);
    std::wstring Store = rtl::Utf8ToWide(aCertStoreName);
    HTTP_SERVICE_CONFIG_SSL_SET Set{};
    Set.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&Address);
    Set.ParamDesc.SslHashLength = ULONG(Hash.size());
    Set.ParamDesc.pSslHash = Hash.data();
    if (CoCreateGuid(&Set.ParamDesc.AppId) != 0) {
        std::memset(&Set.ParamDesc.AppId, 0, sizeof Set.ParamDesc.AppId);
    }
    Set.ParamDesc.pSslCertStoreName = aCertStoreName.empty() ? nullptr : Store.data();
    ULONG Result = FApi.HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                                    sizeof Set, nullptr);
    if (Result == ERROR_ALREADY_EXISTS) {
        CheckError(FApi.HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                                       sizeof Set, nullptr));
        Result = FApi.HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                                  sizeof Set, nullptr);
    }
    CheckError(Result);
}

void TzefHTTPServerAPI::LogStart(const std::string& aLogFolder, THttpApiLoggingType aType,
                                 const std::string& aSoftwareName,
                                 THttpApiLoggingRollOver aRolloverType, std::uint32_t aRolloverSize,
                                 THttpApiLogFields aLogFields, THttpApiLoggingFlags aFlags) {
    if (aLogFolder.empty()) {
        throw TzefWSException(std::string(SLogStartEmptyFolder));
    }
    std::wstring Folder = rtl::Utf8ToWide(aLogFolder);
    if (Folder.size() > MaxLogFolder) {
        throw TzefWSException(rtl::FormatText(SLogFolderTooLong, {aLogFolder}));
    }
    std::wstring Software = rtl::Utf8ToWide(aSoftwareName);
    HTTP_LOGGING_INFO Info{};
    Info.Flags.Present = 1;
    Info.LoggingFlags = aFlags;
    Info.SoftwareName = Software.c_str();
    Info.SoftwareNameLength = USHORT(Software.size() * sizeof(wchar_t));
    Info.DirectoryName = Folder.c_str();
    Info.DirectoryNameLength = USHORT(Folder.size() * sizeof(wchar_t));
    Info.Format = HTTP_LOGGING_TYPE(aType);
    Info.Fields = aType == THttpApiLoggingType::hltNCSA ? AllLogFields : aLogFields;
    Info.RolloverType = HTTP_LOGGING_ROLLOVER_TYPE(aRolloverType);
    if (aRolloverType == THttpApiLoggingRollOver::hlrSize) {
        Info.RolloverSize = aRolloverSize;
    }
    CheckError(
        FApi.HttpSetUrlGroupProperty(FUrlGroupID, HttpServerLoggingProperty, &Info, sizeof Info));
    FLogData = &FLogDataStorage.Base;
}

void TzefHTTPServerAPI::SetTimeouts(int aEntityBody, int aDrainEntityBody, int aRequestQueue,
                                    int aIdleConnection, int aHeaderWait, int aMinSendRate) {
    HTTP_TIMEOUT_LIMIT_INFO Info{};
    Info.Flags.Present = 1;
    Info.EntityBody = USHORT(aEntityBody);
    Info.DrainEntityBody = USHORT(aDrainEntityBody);
    Info.RequestQueue = USHORT(aRequestQueue);
    Info.IdleConnection = USHORT(aIdleConnection);
    Info.HeaderWait = USHORT(aHeaderWait);
    Info.MinSendRate = ULONG(aMinSendRate);
    CheckError(
        FApi.HttpSetUrlGroupProperty(FUrlGroupID, HttpServerTimeoutsProperty, &Info, sizeof Info));
}

void TzefHTTPServerAPI::SetMaxConnections(int aValue) {
    if (FUrlGroupID == 0) {
        return;
    }
    HTTP_CONNECTION_LIMIT_INFO Limit{};
    Limit.Flags.Present = 1;
    Limit.MaxConnections = aValue <= 0 ? HTTP_LIMIT_INFINITE : ULONG(aValue);
    HTTP_QOS_SETTING_INFO Info{};
    Info.QosType = HttpQosSettingTypeConnectionLimit;
    Info.QosSetting = &Limit;
    CheckError(
        FApi.HttpSetUrlGroupProperty(FUrlGroupID, HttpServerQosProperty, &Info, sizeof Info));
}

void TzefHTTPServerAPI::SetMaxBandwidth(int aValue) {
    if (FUrlGroupID == 0) {
        return;
    }
    HTTP_BANDWIDTH_LIMIT_INFO Limit{};
    Limit.Flags.Present = 1;
    Limit.MaxBandwidth = aValue <= 0 ? HTTP_LIMIT_INFINITE : ULONG(std::max(aValue, 1024));
    HTTP_QOS_SETTING_INFO Info{};
    Info.QosType = HttpQosSettingTypeBandwidth;
    Info.QosSetting = &Limit;
    CheckError(FApi.HttpSetServerSessionProperty(FServerSessionID, HttpServerQosProperty, &Info,
                                                 sizeof Info));
    CheckError(
        FApi.HttpSetUrlGroupProperty(FUrlGroupID, HttpServerQosProperty, &Info, sizeof Info));
}

} // namespace zef
