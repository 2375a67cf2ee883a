// HttpApi: the exported HTTP Server API functions (C linkage) over the driver and its queues.
//
// Every function returns a Win32 code and never throws. Calls that take an OVERLAPPED and
// cannot complete at once (receives that would wait, disconnect waits, sends to a client that
// is behind) return ERROR_IO_PENDING
// and complete through the queue's completion port or the OVERLAPPED's event; calls that
// complete at once still report their completion, as the Windows listener does.
#include "platform/httpapi/BandwidthLimit.h"
#include "platform/httpapi/Connection.h"
#include "platform/httpapi/Driver.h"
#include "platform/httpapi/RequestQueue.h"
#include "platform/httpapi/ResponseWriter.h"
#include "platform/httpapi/ServiceConfig.h"
#include "platform/httpapi/W3CLog.h"
#include "platform/rtl/Utf.h"
#include "platform/win/Files.h"
#include "platform/win/Handles.h"

#include <cerrno>
#include <array>
#include <cstring>
#include <cwchar>
#include <http.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <span>
#include <typeinfo>
#include <vector>

using namespace httpapi;

namespace {

std::mutex GLock;
ULONG GServerInits = 0;                            // Guarded by GLock.
ULONG GConfigInits = 0;                            // Guarded by GLock.
std::shared_ptr<TDriver> GDriver;                  // Guarded by GLock.
std::vector<std::weak_ptr<TRequestQueue>> GQueues; // Guarded by GLock.

// A version 1.0 request queue (HttpCreateHttpHandle): HttpAddUrl registers on it directly, through
// a server session and URL group of its own, made with its first URL and bound to it.
struct TV1Queue {
    std::weak_ptr<TRequestQueue> Queue;
    HTTP_SERVER_SESSION_ID Session = HTTP_NULL_ID;
    HTTP_URL_GROUP_ID Group = HTTP_NULL_ID;
};
std::map<HANDLE, TV1Queue> GV1Queues; // Guarded by GLock. By queue handle.

std::shared_ptr<TDriver> Driver() {
    std::scoped_lock Lock(GLock);
    return GDriver;
}

bool VersionIs(const HTTPAPI_VERSION& Version, USHORT Major) {
    return Version.HttpApiMajorVersion == Major && Version.HttpApiMinorVersion == 0;
}

// Every call looks its queue up: the object's exact type is compared instead of a dynamic cast
// (no class derives from TRequestQueue), and the reference is passed on, not copied.
std::shared_ptr<TRequestQueue> Queue(HANDLE Handle) {
    std::shared_ptr<win::THandleObject> Object = win::ReferenceHandle(Handle);
    if (!Object) {
        return nullptr;
    }
    const win::THandleObject& Found = *Object;
    if (typeid(Found) != typeid(TRequestQueue)) {
        return nullptr;
    }
    return std::static_pointer_cast<TRequestQueue>(std::move(Object));
}

bool WideToUtf8(PCWSTR Text, std::string& Result) {
    if (Text == nullptr) {
        return false;
    }
    const std::size_t Length = std::wcslen(Text);
    if (Length > 65535) {
        return false;
    }
    try {
        Result = rtl::WideToUtf8(std::wstring_view(Text, Length));
    } catch (...) {
        return false;
    }
    return true;
}

TTimeoutSetting ReadTimeouts(const HTTP_TIMEOUT_LIMIT_INFO& Info) {
    TTimeoutSetting Setting;
    if (Info.Flags.Present != 0) {
        Setting.EntityBody = Info.EntityBody;
        Setting.DrainEntityBody = Info.DrainEntityBody;
        Setting.IdleConnection = Info.IdleConnection;
        Setting.HeaderWait = Info.HeaderWait;
        Setting.RequestQueue = Info.RequestQueue;
        Setting.MinSendRate = Info.MinSendRate;
    }
    return Setting;
}

// Properties this layer does not carry out yet are accepted only when they switch nothing on.
ULONG UnsupportedProperty(HTTP_SERVER_PROPERTY Property, const void* Information, ULONG Length) {
    if (Length < sizeof(HTTP_PROPERTY_FLAGS)) {
        return ERROR_INVALID_PARAMETER;
    }
    switch (Property) {
    case HttpServerAuthenticationProperty:
    case HttpServerLoggingProperty:
    case HttpServerQosProperty:
    case HttpServerExtendedAuthenticationProperty:
    case HttpServerChannelBindProperty:
    case HttpServerProtectionLevelProperty:
        if (Property != HttpServerQosProperty &&
            static_cast<const HTTP_PROPERTY_FLAGS*>(Information)->Present == 0) {
            return NO_ERROR;
        }
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

// HttpServerLoggingProperty of a session or URL group; Present 0 turns logging off.
ULONG SetLogging(TDriver& Found, bool Session, HTTP_OPAQUE_ID Id, const void* Information,
                 ULONG Length) {
    if (Length < sizeof(HTTP_LOGGING_INFO)) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto& Logging = *static_cast<const HTTP_LOGGING_INFO*>(Information);
    if (Logging.Flags.Present == 0) {
        return Found.SetLog(Session, Id, nullptr);
    }
    TW3CLogSettings Settings;
    const DWORD Read = ReadLoggingInfo(Logging, Settings);
    if (Read != NO_ERROR) {
        return Read;
    }
    return Found.SetLog(Session, Id, std::make_shared<TW3CLog>(std::move(Settings)));
}

// HttpServerAuthenticationProperty: the listener reports Basic credentials; the schemes that
// need Windows accounts or a domain are not offered.
ULONG SetAuthentication(TDriver& Found, bool Session, HTTP_OPAQUE_ID Id, const void* Information,
                        ULONG Length) {
    if (Length < sizeof(HTTP_SERVER_AUTHENTICATION_INFO)) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto& Auth = *static_cast<const HTTP_SERVER_AUTHENTICATION_INFO*>(Information);
    if (Auth.Flags.Present == 0) {
        return Found.SetAuthSchemes(Session, Id, 0);
    }
    if ((Auth.AuthSchemes & ~ULONG(HTTP_AUTH_ENABLE_ALL)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((Auth.AuthSchemes & ~ULONG(HTTP_AUTH_ENABLE_BASIC)) != 0) {
        return ERROR_NOT_SUPPORTED;
    }
    return Found.SetAuthSchemes(Session, Id, Auth.AuthSchemes);
}

// HttpServerQosProperty: bandwidth (session or group) and connection limit (group).
ULONG SetQos(TDriver& Found, bool Session, HTTP_OPAQUE_ID Id, const void* Information,
             ULONG Length) {
    if (Length < sizeof(HTTP_QOS_SETTING_INFO)) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto& Qos = *static_cast<const HTTP_QOS_SETTING_INFO*>(Information);
    if (Qos.QosSetting == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::uint32_t Type = 0; // read as the number the application put there
    std::memcpy(&Type, &Qos.QosType, sizeof(Type));
    switch (Type) {
    case HttpQosSettingTypeBandwidth: {
        const auto& Limit = *static_cast<const HTTP_BANDWIDTH_LIMIT_INFO*>(Qos.QosSetting);
        if (Limit.Flags.Present == 0 || Limit.MaxBandwidth == HTTP_LIMIT_INFINITE) {
            return Found.SetBandwidth(Session, Id, nullptr);
        }
        if (Limit.MaxBandwidth < HTTP_MIN_ALLOWED_BANDWIDTH_THROTTLING_RATE) {
            return ERROR_INVALID_PARAMETER;
        }
        return Found.SetBandwidth(Session, Id,
                                  std::make_shared<TBandwidthLimit>(Limit.MaxBandwidth));
    }
    case HttpQosSettingTypeConnectionLimit: {
        if (Session) {
            return ERROR_INVALID_PARAMETER; // a URL group's setting only
        }
        const auto& Limit = *static_cast<const HTTP_CONNECTION_LIMIT_INFO*>(Qos.QosSetting);
        const bool Unlimited =
            Limit.Flags.Present == 0 || Limit.MaxConnections == HTTP_LIMIT_INFINITE;
        if (!Unlimited && Limit.MaxConnections == 0) {
            return ERROR_INVALID_PARAMETER;
        }
        return Found.SetConnectionLimit(Id, Unlimited ? 0 : Limit.MaxConnections);
    }
    case HttpQosSettingTypeFlowRate:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

// Writes the log line of an answered request, when its group logs and the application passed
// log fields (the Windows listener logs nothing without them).
void LogAnswered(const TRequest& Request, const HTTP_LOG_DATA* LogData) noexcept {
    if (!Request.Log || LogData == nullptr) {
        return;
    }
    try {
        auto Entry = ReadLogFields(LogData);
        if (!Entry) {
            return;
        }
        Entry->Version =
            "HTTP/" + std::to_string(Request.Head.Major) + "." + std::to_string(Request.Head.Minor);
        Entry->BytesSent = Request.BytesSent.load();
        Entry->BytesReceived = Request.Head.HeadBytes + Request.Head.ContentLength.value_or(0);
        Entry->TimeTakenMs = static_cast<ULONGLONG>(MonotonicMs() - Request.ArrivedMs);
        Request.Log->Write(*Entry, TW3CLog::TClock::now());
    } catch (...) {
        // Logging never fails a response.
    }
}

// A response's file chunks are read into memory and sent from there: at most this much in one
// call (HttpSendHttpResponse or HttpSendResponseEntityBody); a larger send is refused with
// ERROR_NOT_ENOUGH_MEMORY before anything is read.
constexpr ULONGLONG MaxFileChunkBytes = 64ull << 20;

// The bytes of a file chunk's range, read into Into. The range lies within the file
// (HTTP_BYTE_RANGE_TO_EOF: up to its end); the file's position is left alone.
ULONG ReadFileChunk(const HTTP_DATA_CHUNK& Chunk, ULONGLONG& FileBytes, std::string& Into) {
    const auto File = win::ReferenceHandleAs<win::TFile>(Chunk.FromFileHandle.FileHandle);
    if (!File) {
        return ERROR_INVALID_HANDLE;
    }
    if (!File->CanRead()) {
        return ERROR_ACCESS_DENIED;
    }
    struct stat Status {};
    if (fstat(File->Fd(), &Status) != 0) {
        return win::ErrnoToWin32(errno);
    }
    const auto Size = static_cast<ULONGLONG>(Status.st_size);
    const ULONGLONG Start = Chunk.FromFileHandle.ByteRange.StartingOffset.QuadPart;
    ULONGLONG Length = Chunk.FromFileHandle.ByteRange.Length.QuadPart;
    if (Start > Size) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Length == HTTP_BYTE_RANGE_TO_EOF) {
        Length = Size - Start;
    }
    if (Length > Size - Start) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Length > MaxFileChunkBytes - FileBytes) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    FileBytes += Length;
    Into.resize(static_cast<std::size_t>(Length));
    std::size_t Done = 0;
    while (Done < Into.size()) {
        const ssize_t Got = pread(File->Fd(), Into.data() + Done, Into.size() - Done,
                                  static_cast<off_t>(Start + Done));
        if (Got < 0 && errno == EINTR) {
            continue;
        }
        if (Got < 0) {
            return win::ErrnoToWin32(errno);
        }
        if (Got == 0) {
            return ERROR_HANDLE_EOF; // the file shrank under us
        }
        Done += static_cast<std::size_t>(Got);
    }
    return NO_ERROR;
}

// The pieces of a send's data chunks: on the stack for the usual few (a response's body is
// typically one chunk), in a vector beyond that. Memory chunks point into the caller's buffers;
// file chunks are read into the object, which must outlive the send.
class TSendPieces {
public:
    TSendPieces() = default;
    TSendPieces(const TSendPieces&) = delete; // FPieces may point into FInline
    TSendPieces& operator=(const TSendPieces&) = delete;

    /// False with Error set for a chunk that cannot be sent; Total counts the bytes.
    bool Read(USHORT Count, const HTTP_DATA_CHUNK* Chunks, ULONGLONG& Total, ULONG& Error) {
        if (Count > 0 && Chunks == nullptr) {
            Error = ERROR_INVALID_PARAMETER;
            return false;
        }
        if (Count > FInline.size()) {
            FMany.resize(Count);
        }
        TConnection::TSendPiece* Pieces = Count > FInline.size() ? FMany.data() : FInline.data();
        ULONGLONG FileBytes = 0;
        for (USHORT I = 0; I < Count; ++I) {
            const HTTP_DATA_CHUNK& Chunk = Chunks[I];
            if (Chunk.DataChunkType == HttpDataChunkFromFileHandle) {
                if (FFiles.capacity() < Count) {
                    FFiles.reserve(Count); // never grows again: the pieces point into it
                }
                Error = ReadFileChunk(Chunk, FileBytes, FFiles.emplace_back());
                if (Error != NO_ERROR) {
                    return false;
                }
                Pieces[I] = {FFiles.back().data(), FFiles.back().size()};
                Total += FFiles.back().size();
                continue;
            }
            if (Chunk.DataChunkType != HttpDataChunkFromMemory) {
                Error = ERROR_NOT_SUPPORTED; // fragment-cache chunks are not served
                return false;
            }
            if (Chunk.FromMemory.BufferLength > 0 && Chunk.FromMemory.pBuffer == nullptr) {
                Error = ERROR_INVALID_PARAMETER;
                return false;
            }
            Pieces[I] = {static_cast<const char*>(Chunk.FromMemory.pBuffer),
                         Chunk.FromMemory.BufferLength};
            Total += Chunk.FromMemory.BufferLength;
        }
        FPieces = {Pieces, Count};
        return true;
    }
    std::span<const TConnection::TSendPiece> Pieces() const noexcept { return FPieces; }
    /// Some of the bytes were read from files (they live only as long as this object).
    bool HasFiles() const noexcept { return !FFiles.empty(); }

private:
    std::array<TConnection::TSendPiece, 4> FInline{};
    std::vector<TConnection::TSendPiece> FMany;
    std::vector<std::string> FFiles; // the bytes of the file chunks
    std::span<const TConnection::TSendPiece> FPieces;
};

// An overlapped call that finished at once still reports through the port or event.
ULONG Complete(TRequestQueue& RequestQueue, LPOVERLAPPED Overlapped, ULONG Result, ULONG Bytes) {
    if (Overlapped != nullptr && Result == NO_ERROR) {
        win::BeginOverlapped(Overlapped);
        TPendingIo{Overlapped, RequestQueue.Target()}.Complete(Result, Bytes);
    }
    return Result;
}

// The bookkeeping after a send: the bytes count, a final send logs and finishes the request
// (once queued it is the connection's: no later send may join it), a dead connection
// finishes it too. The connection itself reports an overlapped send's completion.
ULONG AfterSend(TRequestQueue& RequestQueue, TRequest& Request, ULONG Result, ULONG Sent,
                bool Final, PULONG BytesSent, PHTTP_LOG_DATA LogData) {
    const bool Accepted = Result == NO_ERROR || Result == ERROR_IO_PENDING;
    if (Accepted) {
        Request.BytesSent += Sent;
        if (Final) {
            LogAnswered(Request, LogData);
        }
    }
    if (Result == ERROR_CONNECTION_INVALID || (Accepted && Final)) {
        RequestQueue.Finish(Request.Id);
    }
    if (BytesSent != nullptr && Result == NO_ERROR) {
        *BytesSent = Sent;
    }
    return Result;
}

// The service configuration takes no service handle and no overlapped block here, and needs
// HttpInitialize with the configuration flag.
// Ends the session and URL group of version 1.0 queues that are closed (HttpCloseRequestQueue,
// or CloseHandle, which this library does not see), or of Only.
void DropV1QueuesLocked(TDriver& Found, HANDLE Only = nullptr) {
    for (auto It = GV1Queues.begin(); It != GV1Queues.end();) {
        const auto Open = Queue(It->first);
        const bool Closed = !Open || Open != It->second.Queue.lock();
        if (It->first != Only && !Closed) {
            ++It;
            continue;
        }
        if (It->second.Group != HTTP_NULL_ID) {
            Found.CloseGroup(It->second.Group);
            Found.CloseSession(It->second.Session);
        }
        It = GV1Queues.erase(It);
    }
}

ULONG CheckServiceCall(HANDLE ServiceHandle, LPOVERLAPPED pOverlapped) noexcept {
    if (ServiceHandle != nullptr || pOverlapped != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::scoped_lock Lock(GLock);
    return GConfigInits == 0 ? ULONG(ERROR_DLL_INIT_FAILED) : ULONG(NO_ERROR);
}

} // namespace

extern "C" {

ULONG WINAPI HttpInitialize(HTTPAPI_VERSION Version, ULONG Flags, PVOID pReserved) noexcept {
    if (pReserved != nullptr || (!VersionIs(Version, 1) && !VersionIs(Version, 2)) || Flags == 0 ||
        (Flags & ~ULONG(HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        std::scoped_lock Lock(GLock);
        if ((Flags & HTTP_INITIALIZE_SERVER) != 0) {
            if (GServerInits == 0) {
                GDriver = std::make_shared<TDriver>();
            }
            ++GServerInits;
        }
        if ((Flags & HTTP_INITIALIZE_CONFIG) != 0) {
            ++GConfigInits;
        }
        return NO_ERROR;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpTerminate(ULONG Flags, PVOID pReserved) noexcept {
    if (pReserved != nullptr || Flags == 0 ||
        (Flags & ~ULONG(HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<TDriver> Ended;
    std::vector<std::weak_ptr<TRequestQueue>> Queues;
    {
        std::scoped_lock Lock(GLock);
        if (((Flags & HTTP_INITIALIZE_SERVER) != 0 && GServerInits == 0) ||
            ((Flags & HTTP_INITIALIZE_CONFIG) != 0 && GConfigInits == 0)) {
            return ERROR_INVALID_PARAMETER;
        }
        if ((Flags & HTTP_INITIALIZE_CONFIG) != 0) {
            --GConfigInits;
        }
        if ((Flags & HTTP_INITIALIZE_SERVER) != 0 && --GServerInits == 0) {
            Ended = std::move(GDriver);
            Queues.swap(GQueues);
            GV1Queues.clear(); // their sessions and groups end with the driver
        }
    }
    if (Ended) {
        // The last user is gone: stop listening and end every wait on the queues.
        for (auto& Weak : Queues) {
            if (auto Open = Weak.lock()) {
                Open->Close();
            }
        }
        Ended->Shutdown();
    }
    return NO_ERROR;
}

ULONG WINAPI HttpCreateRequestQueue(HTTPAPI_VERSION Version, PCWSTR Name,
                                    PSECURITY_ATTRIBUTES SecurityAttributes, ULONG Flags,
                                    PHANDLE RequestQueueHandle) noexcept {
    (void)Name;
    (void)SecurityAttributes;
    if (!VersionIs(Version, 2)) {
        return ERROR_REVISION_MISMATCH;
    }
    if (RequestQueueHandle == nullptr ||
        (Flags & ~ULONG(HTTP_CREATE_REQUEST_QUEUE_FLAG_OPEN_EXISTING |
                        HTTP_CREATE_REQUEST_QUEUE_FLAG_CONTROLLER |
                        HTTP_CREATE_REQUEST_QUEUE_FLAG_DELEGATION)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((Flags & HTTP_CREATE_REQUEST_QUEUE_FLAG_OPEN_EXISTING) != 0) {
        return ERROR_NOT_SUPPORTED; // queues shared between processes are not offered
    }
    try {
        std::scoped_lock Lock(GLock);
        if (!GDriver) {
            return ERROR_DLL_INIT_FAILED;
        }
        auto Created = std::make_shared<TRequestQueue>();
        const HANDLE Handle = win::RegisterHandle(Created);
        if (Handle == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        std::erase_if(GQueues, [](const auto& Weak) { return Weak.expired(); });
        GQueues.push_back(Created);
        *RequestQueueHandle = Handle;
        return NO_ERROR;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpCreateHttpHandle(PHANDLE RequestQueueHandle, ULONG Reserved) noexcept {
    if (Reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const ULONG Created = HttpCreateRequestQueue(HTTPAPI_VERSION HTTPAPI_VERSION_2, nullptr,
                                                 nullptr, 0, RequestQueueHandle);
    if (Created != NO_ERROR) {
        return Created;
    }
    try {
        std::scoped_lock Lock(GLock);
        if (GDriver) {
            DropV1QueuesLocked(*GDriver); // those closed with CloseHandle meanwhile
        }
        GV1Queues[*RequestQueueHandle].Queue = Queue(*RequestQueueHandle);
        return NO_ERROR;
    } catch (...) {
        HttpCloseRequestQueue(*RequestQueueHandle);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpCloseRequestQueue(HANDLE RequestQueueHandle) noexcept {
    std::shared_ptr<win::THandleObject> Object = win::ReferenceHandle(RequestQueueHandle);
    if (!std::dynamic_pointer_cast<TRequestQueue>(Object)) {
        return ERROR_INVALID_HANDLE;
    }
    Object = win::UnregisterHandle(RequestQueueHandle);
    if (!Object) {
        return ERROR_INVALID_HANDLE; // closed by another thread meanwhile
    }
    Object->Close();
    try {
        std::scoped_lock Lock(GLock);
        if (GDriver && GV1Queues.contains(RequestQueueHandle)) {
            DropV1QueuesLocked(*GDriver, RequestQueueHandle);
        }
    } catch (...) {
        // Nothing to undo: the queue is closed; its registrations end with the driver.
    }
    return NO_ERROR;
}

ULONG WINAPI HttpShutdownRequestQueue(HANDLE RequestQueueHandle) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    Found->Close();
    return NO_ERROR;
}

ULONG WINAPI HttpSetRequestQueueProperty(HANDLE RequestQueueHandle, HTTP_SERVER_PROPERTY Property,
                                         PVOID PropertyInformation, ULONG PropertyInformationLength,
                                         ULONG Reserved1, PVOID Reserved2) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if (Reserved1 != 0 || Reserved2 != nullptr || PropertyInformation == nullptr ||
        PropertyInformationLength == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    switch (Property) {
    case HttpServerQueueLengthProperty: {
        if (PropertyInformationLength < sizeof(ULONG)) {
            return ERROR_INVALID_PARAMETER;
        }
        const ULONG Length = *static_cast<const ULONG*>(PropertyInformation);
        if (Length < HTTP_MIN_SERVER_QUEUE_LENGTH || Length > HTTP_MAX_SERVER_QUEUE_LENGTH) {
            return ERROR_INVALID_PARAMETER;
        }
        Found->SetQueueLength(Length);
        return NO_ERROR;
    }
    case HttpServer503VerbosityProperty: {
        if (PropertyInformationLength < sizeof(HTTP_503_RESPONSE_VERBOSITY)) {
            return ERROR_INVALID_PARAMETER;
        }
        const auto Verbosity =
            *static_cast<const HTTP_503_RESPONSE_VERBOSITY*>(PropertyInformation);
        if (Verbosity < Http503ResponseVerbosityBasic || Verbosity > Http503ResponseVerbosityFull) {
            return ERROR_INVALID_PARAMETER;
        }
        Found->SetVerbosity(Verbosity);
        return NO_ERROR;
    }
    case HttpServerStateProperty:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

ULONG WINAPI HttpQueryRequestQueueProperty(HANDLE RequestQueueHandle, HTTP_SERVER_PROPERTY Property,
                                           PVOID PropertyInformation,
                                           ULONG PropertyInformationLength, ULONG Reserved1,
                                           PULONG ReturnLength, PVOID Reserved2) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if (Reserved1 != 0 || Reserved2 != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    ULONG Value = 0;
    if (Property == HttpServerQueueLengthProperty) {
        Value = Found->QueueLength();
    } else if (Property == HttpServer503VerbosityProperty) {
        Value = static_cast<ULONG>(Found->Verbosity());
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    if (ReturnLength != nullptr) {
        *ReturnLength = sizeof(ULONG);
    }
    if (PropertyInformation == nullptr || PropertyInformationLength < sizeof(ULONG)) {
        return ERROR_MORE_DATA;
    }
    *static_cast<ULONG*>(PropertyInformation) = Value;
    return NO_ERROR;
}

ULONG WINAPI HttpReceiveClientCertificate(HANDLE, HTTP_CONNECTION_ID, ULONG,
                                          PHTTP_SSL_CLIENT_CERT_INFO, ULONG, PULONG,
                                          LPOVERLAPPED) noexcept {
    return ERROR_NOT_SUPPORTED;
}

ULONG WINAPI HttpCreateServerSession(HTTPAPI_VERSION Version,
                                     PHTTP_SERVER_SESSION_ID ServerSessionId,
                                     ULONG Reserved) noexcept {
    if (!VersionIs(Version, 1) && !VersionIs(Version, 2)) {
        return ERROR_REVISION_MISMATCH;
    }
    if (ServerSessionId == nullptr || Reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto Found = Driver();
    if (!Found) {
        return ERROR_DLL_INIT_FAILED;
    }
    try {
        return Found->CreateSession(*ServerSessionId);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpCloseServerSession(HTTP_SERVER_SESSION_ID ServerSessionId) noexcept {
    const auto Found = Driver();
    if (!Found) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        return Found->CloseSession(ServerSessionId);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpSetServerSessionProperty(HTTP_SERVER_SESSION_ID ServerSessionId,
                                          HTTP_SERVER_PROPERTY Property, PVOID PropertyInformation,
                                          ULONG PropertyInformationLength) noexcept {
    const auto Found = Driver();
    if (!Found || PropertyInformation == nullptr || PropertyInformationLength == 0 ||
        !Found->SessionExists(ServerSessionId)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        if (Property == HttpServerTimeoutsProperty) {
            if (PropertyInformationLength < sizeof(HTTP_TIMEOUT_LIMIT_INFO)) {
                return ERROR_INVALID_PARAMETER;
            }
            return Found->SetSessionTimeouts(
                ServerSessionId,
                ReadTimeouts(*static_cast<const HTTP_TIMEOUT_LIMIT_INFO*>(PropertyInformation)));
        }
        if (Property == HttpServerStateProperty) {
            return PropertyInformationLength < sizeof(HTTP_STATE_INFO) ? ERROR_INVALID_PARAMETER
                                                                       : ERROR_NOT_SUPPORTED;
        }
        if (Property == HttpServerLoggingProperty) {
            return SetLogging(*Found, true, ServerSessionId, PropertyInformation,
                              PropertyInformationLength);
        }
        if (Property == HttpServerAuthenticationProperty) {
            return SetAuthentication(*Found, true, ServerSessionId, PropertyInformation,
                                     PropertyInformationLength);
        }
        if (Property == HttpServerQosProperty) {
            return SetQos(*Found, true, ServerSessionId, PropertyInformation,
                          PropertyInformationLength);
        }
        return UnsupportedProperty(Property, PropertyInformation, PropertyInformationLength);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpCreateUrlGroup(HTTP_SERVER_SESSION_ID ServerSessionId,
                                PHTTP_URL_GROUP_ID pUrlGroupId, ULONG Reserved) noexcept {
    if (pUrlGroupId == nullptr || Reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto Found = Driver();
    if (!Found) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        return Found->CreateGroup(ServerSessionId, *pUrlGroupId);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpCloseUrlGroup(HTTP_URL_GROUP_ID UrlGroupId) noexcept {
    const auto Found = Driver();
    if (!Found) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        return Found->CloseGroup(UrlGroupId);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpAddUrlToUrlGroup(HTTP_URL_GROUP_ID UrlGroupId, PCWSTR pFullyQualifiedUrl,
                                  HTTP_URL_CONTEXT UrlContext, ULONG Reserved) noexcept {
    std::string Url;
    const auto Found = Driver();
    if (!Found || Reserved != 0 || !WideToUtf8(pFullyQualifiedUrl, Url)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        return Found->AddUrl(UrlGroupId, Url, UrlContext);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpRemoveUrlFromUrlGroup(HTTP_URL_GROUP_ID UrlGroupId, PCWSTR pFullyQualifiedUrl,
                                       ULONG Flags) noexcept {
    const auto Found = Driver();
    if (!Found || (Flags & ~ULONG(HTTP_URL_FLAG_REMOVE_ALL)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const bool RemoveAll = (Flags & HTTP_URL_FLAG_REMOVE_ALL) != 0;
    std::string Url;
    if (!RemoveAll && !WideToUtf8(pFullyQualifiedUrl, Url)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        return Found->RemoveUrl(UrlGroupId, Url, RemoveAll);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpSetUrlGroupProperty(HTTP_URL_GROUP_ID UrlGroupId, HTTP_SERVER_PROPERTY Property,
                                     PVOID PropertyInformation,
                                     ULONG PropertyInformationLength) noexcept {
    const auto Found = Driver();
    if (!Found || PropertyInformation == nullptr || PropertyInformationLength == 0 ||
        !Found->GroupExists(UrlGroupId)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        switch (Property) {
        case HttpServerBindingProperty: {
            if (PropertyInformationLength < sizeof(HTTP_BINDING_INFO)) {
                return ERROR_INVALID_PARAMETER;
            }
            const auto* Binding = static_cast<const HTTP_BINDING_INFO*>(PropertyInformation);
            std::shared_ptr<TRequestQueue> Bound;
            if (Binding->Flags.Present != 0) {
                Bound = Queue(Binding->RequestQueueHandle);
                if (!Bound) {
                    return ERROR_INVALID_PARAMETER;
                }
            }
            return Found->BindGroup(UrlGroupId, std::move(Bound));
        }
        case HttpServerTimeoutsProperty:
            if (PropertyInformationLength < sizeof(HTTP_TIMEOUT_LIMIT_INFO)) {
                return ERROR_INVALID_PARAMETER;
            }
            return Found->SetGroupTimeouts(
                UrlGroupId,
                ReadTimeouts(*static_cast<const HTTP_TIMEOUT_LIMIT_INFO*>(PropertyInformation)));
        case HttpServerStateProperty: {
            if (PropertyInformationLength < sizeof(HTTP_STATE_INFO)) {
                return ERROR_INVALID_PARAMETER;
            }
            const auto* State = static_cast<const HTTP_STATE_INFO*>(PropertyInformation);
            if (State->Flags.Present == 0) {
                return NO_ERROR;
            }
            if (State->State != HttpEnabledStateActive &&
                State->State != HttpEnabledStateInactive) {
                return ERROR_INVALID_PARAMETER;
            }
            return Found->SetGroupState(UrlGroupId, State->State);
        }
        case HttpServerLoggingProperty:
            return SetLogging(*Found, false, UrlGroupId, PropertyInformation,
                              PropertyInformationLength);
        case HttpServerAuthenticationProperty:
            return SetAuthentication(*Found, false, UrlGroupId, PropertyInformation,
                                     PropertyInformationLength);
        case HttpServerQosProperty:
            return SetQos(*Found, false, UrlGroupId, PropertyInformation,
                          PropertyInformationLength);
        default:
            return UnsupportedProperty(Property, PropertyInformation, PropertyInformationLength);
        }
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpAddUrl(HANDLE RequestQueueHandle, PCWSTR FullyQualifiedUrl,
                        PVOID Reserved) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    std::string Url;
    if (Reserved != nullptr || !WideToUtf8(FullyQualifiedUrl, Url)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        std::scoped_lock Lock(GLock);
        const auto It = GV1Queues.find(RequestQueueHandle);
        if (!GDriver || It == GV1Queues.end()) {
            return ERROR_INVALID_PARAMETER; // a version 2.0 queue registers through URL groups
        }
        TV1Queue& V1 = It->second;
        if (V1.Group == HTTP_NULL_ID) {
            HTTP_SERVER_SESSION_ID Session = HTTP_NULL_ID;
            HTTP_URL_GROUP_ID Group = HTTP_NULL_ID;
            ULONG Made = GDriver->CreateSession(Session);
            if (Made == NO_ERROR) {
                Made = GDriver->CreateGroup(Session, Group);
            }
            if (Made == NO_ERROR) {
                Made = GDriver->BindGroup(Group, Found);
            }
            if (Made != NO_ERROR) {
                if (Group != HTTP_NULL_ID) {
                    GDriver->CloseGroup(Group);
                }
                if (Session != HTTP_NULL_ID) {
                    GDriver->CloseSession(Session);
                }
                return Made;
            }
            V1.Session = Session;
            V1.Group = Group;
        }
        return GDriver->AddUrl(V1.Group, Url, 0);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpRemoveUrl(HANDLE RequestQueueHandle, PCWSTR FullyQualifiedUrl) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    std::string Url;
    if (!WideToUtf8(FullyQualifiedUrl, Url)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        std::scoped_lock Lock(GLock);
        const auto It = GV1Queues.find(RequestQueueHandle);
        if (!GDriver || It == GV1Queues.end()) {
            return ERROR_INVALID_PARAMETER;
        }
        if (It->second.Group == HTTP_NULL_ID) {
            return ERROR_FILE_NOT_FOUND;
        }
        return GDriver->RemoveUrl(It->second.Group, Url, false);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpReceiveHttpRequest(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId,
                                    ULONG Flags, PHTTP_REQUEST RequestBuffer,
                                    ULONG RequestBufferLength, PULONG BytesReturned,
                                    LPOVERLAPPED Overlapped) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    try {
        return Found->Receive(RequestId, Flags, RequestBuffer, RequestBufferLength, BytesReturned,
                              Overlapped);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpReceiveRequestEntityBody(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId,
                                          ULONG Flags, PVOID EntityBuffer, ULONG EntityBufferLength,
                                          PULONG BytesReturned, LPOVERLAPPED Overlapped) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if ((Flags & ~ULONG(HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER)) != 0 ||
        EntityBuffer == nullptr || EntityBufferLength == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto Request = Found->Find(RequestId);
    if (!Request) {
        return ERROR_CONNECTION_INVALID;
    }
    try {
        ULONG Read = 0;
        const ULONG Result =
            Request->Connection->ReadBody(*Request, Flags, static_cast<char*>(EntityBuffer),
                                          EntityBufferLength, Read, Overlapped, Found->Target());
        if (BytesReturned != nullptr && (Result == NO_ERROR || Result == ERROR_HANDLE_EOF)) {
            *BytesReturned = Read;
        }
        if (Result == ERROR_CONNECTION_INVALID) {
            Found->Finish(RequestId);
        }
        return Result;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpSendHttpResponse(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                                  PHTTP_RESPONSE HttpResponse, PHTTP_CACHE_POLICY CachePolicy,
                                  PULONG BytesSent, PVOID Reserved1, ULONG Reserved2,
                                  LPOVERLAPPED Overlapped, PHTTP_LOG_DATA LogData) noexcept {
    (void)CachePolicy;
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if (HttpResponse == nullptr || Reserved1 != nullptr || Reserved2 != 0 ||
        (Flags & ~ULONG(HTTP_SEND_RESPONSE_FLAG_VALID)) != 0 ||
        HttpResponse->EntityChunkCount > 100) {
        return ERROR_INVALID_PARAMETER;
    }
    const bool Opaque = (Flags & HTTP_SEND_RESPONSE_FLAG_OPAQUE) != 0;
    if (Opaque && HttpResponse->StatusCode != 101) {
        return ERROR_INVALID_PARAMETER; // only a 101 turns a connection into a byte channel
    }
    const auto Request = Found->Find(RequestId);
    if (!Request) {
        return ERROR_CONNECTION_INVALID;
    }
    if (Opaque && Request->Head.HasBody()) {
        return ERROR_INVALID_PARAMETER; // the body's bytes and the channel's would mix
    }
    try {
        TSendPieces Pieces;
        ULONGLONG Total = 0;
        ULONG Error = NO_ERROR;
        if (!Pieces.Read(HttpResponse->EntityChunkCount, HttpResponse->pEntityChunks, Total,
                         Error)) {
            return Error;
        }
        const bool Final = (Flags & HTTP_SEND_RESPONSE_FLAG_MORE_DATA) == 0 && !Opaque;
        TResponseHead Head;
        const ULONG Formatted =
            FormatResponseHead(*HttpResponse, Flags, Request->Head, Total, Final, Head);
        if (Formatted != NO_ERROR) {
            return Formatted;
        }
        if (Request->Bandwidth) {
            Request->Bandwidth->Acquire(Head.Text.size() + Total); // paced, outside every lock
        }
        ULONG Sent = 0;
        // File bytes live only for this call: such a send is made at once, and an overlapped
        // caller hears of it through its port or event.
        const LPOVERLAPPED Pending = Pieces.HasFiles() ? nullptr : Overlapped;
        const ULONG Result = Request->Connection->Send(
            *Request,
            {.IsHead = true,
             .Head = Head.Text,
             .Pieces = Pieces.Pieces(),
             .Final = Final,
             .CloseAfter = Head.CloseAfter && !Opaque,
             .DropBody = Head.DropBody,
             .Opaque = Opaque,
             .Buffered = (Flags & HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA) != 0,
             .Overlapped = Pending,
             .Target = Pending != nullptr ? Found->Target() : TCompletionTarget{}},
            Sent);
        const ULONG Done = AfterSend(*Found, *Request, Result, Sent, Final, BytesSent, LogData);
        return Pending == Overlapped ? Done : Complete(*Found, Overlapped, Done, Sent);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpSendResponseEntityBody(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId,
                                        ULONG Flags, USHORT EntityChunkCount,
                                        PHTTP_DATA_CHUNK EntityChunks, PULONG BytesSent,
                                        PVOID Reserved1, ULONG Reserved2, LPOVERLAPPED Overlapped,
                                        PHTTP_LOG_DATA LogData) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if (Reserved1 != nullptr || Reserved2 != 0 ||
        (Flags & ~ULONG(HTTP_SEND_RESPONSE_FLAG_VALID)) != 0 || EntityChunkCount > 9999 ||
        (Flags & HTTP_SEND_RESPONSE_FLAG_OPAQUE) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto Request = Found->Find(RequestId);
    if (!Request) {
        return ERROR_CONNECTION_INVALID;
    }
    try {
        TSendPieces Pieces;
        ULONGLONG Total = 0;
        ULONG Error = NO_ERROR;
        if (!Pieces.Read(EntityChunkCount, EntityChunks, Total, Error)) {
            return Error;
        }
        const bool Final = (Flags & HTTP_SEND_RESPONSE_FLAG_MORE_DATA) == 0;
        const bool Disconnect = (Flags & HTTP_SEND_RESPONSE_FLAG_DISCONNECT) != 0;
        if (Request->Bandwidth) {
            Request->Bandwidth->Acquire(Total); // paced, outside every lock
        }
        ULONG Sent = 0;
        const LPOVERLAPPED Pending = Pieces.HasFiles() ? nullptr : Overlapped; // as above
        const ULONG Result = Request->Connection->Send(
            *Request,
            {.Pieces = Pieces.Pieces(),
             .Final = Final,
             .CloseAfter = Disconnect,
             .Buffered = (Flags & HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA) != 0,
             .Overlapped = Pending,
             .Target = Pending != nullptr ? Found->Target() : TCompletionTarget{}},
            Sent);
        const ULONG Done = AfterSend(*Found, *Request, Result, Sent, Final, BytesSent, LogData);
        return Pending == Overlapped ? Done : Complete(*Found, Overlapped, Done, Sent);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpWaitForDisconnect(HANDLE RequestQueueHandle, HTTP_CONNECTION_ID ConnectionId,
                                   LPOVERLAPPED Overlapped) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if (ConnectionId == HTTP_NULL_ID) {
        return ERROR_INVALID_PARAMETER;
    }
    // Only a connection with a request handed out can be waited on (the Windows listener
    // refuses once the last response has been sent).
    const auto Connection = Found->FindConnection(ConnectionId);
    if (!Connection) {
        return ERROR_CONNECTION_INVALID;
    }
    try {
        return Connection->WaitForDisconnect(Overlapped, Found->Target());
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpWaitForDisconnectEx(HANDLE RequestQueueHandle, HTTP_CONNECTION_ID ConnectionId,
                                     ULONG Reserved, LPOVERLAPPED Overlapped) noexcept {
    if (Reserved != 0) {
        return Queue(RequestQueueHandle) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
    }
    return HttpWaitForDisconnect(RequestQueueHandle, ConnectionId, Overlapped);
}

ULONG WINAPI HttpCancelHttpRequest(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId,
                                   LPOVERLAPPED Overlapped) noexcept {
    const auto Found = Queue(RequestQueueHandle);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    const auto Request = Found->Find(RequestId);
    if (!Request) {
        return ERROR_CONNECTION_INVALID;
    }
    Request->Connection->Abort(ERROR_OPERATION_ABORTED); // the client sees a reset
    Found->Finish(RequestId);
    return Complete(*Found, Overlapped, NO_ERROR, 0);
}

ULONG WINAPI HttpWaitForDemandStart(HANDLE RequestQueueHandle, LPOVERLAPPED) noexcept {
    return Queue(RequestQueueHandle) ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE;
}

ULONG WINAPI HttpFlushResponseCache(HANDLE, PCWSTR, ULONG, LPOVERLAPPED) noexcept {
    return ERROR_NOT_SUPPORTED;
}

ULONG WINAPI HttpAddFragmentToCache(HANDLE, PCWSTR, PHTTP_DATA_CHUNK, PHTTP_CACHE_POLICY,
                                    LPOVERLAPPED) noexcept {
    return ERROR_NOT_SUPPORTED;
}

ULONG WINAPI HttpReadFragmentFromCache(HANDLE, PCWSTR, PHTTP_BYTE_RANGE, PVOID, ULONG, PULONG,
                                       LPOVERLAPPED) noexcept {
    return ERROR_NOT_SUPPORTED;
}

ULONG WINAPI HttpSetServiceConfiguration(HANDLE ServiceHandle, HTTP_SERVICE_CONFIG_ID ConfigId,
                                         PVOID pConfigInformation, ULONG ConfigInformationLength,
                                         LPOVERLAPPED pOverlapped) noexcept {
    if (const ULONG Result = CheckServiceCall(ServiceHandle, pOverlapped); Result != NO_ERROR) {
        return Result;
    }
    try {
        return ServiceConfig().Set(ConfigId, pConfigInformation, ConfigInformationLength);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpDeleteServiceConfiguration(HANDLE ServiceHandle, HTTP_SERVICE_CONFIG_ID ConfigId,
                                            PVOID pConfigInformation, ULONG ConfigInformationLength,
                                            LPOVERLAPPED pOverlapped) noexcept {
    if (const ULONG Result = CheckServiceCall(ServiceHandle, pOverlapped); Result != NO_ERROR) {
        return Result;
    }
    try {
        return ServiceConfig().Delete(ConfigId, pConfigInformation, ConfigInformationLength);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG WINAPI HttpQueryServiceConfiguration(HANDLE ServiceHandle, HTTP_SERVICE_CONFIG_ID ConfigId,
                                           PVOID pInput, ULONG InputLength, PVOID pOutput,
                                           ULONG OutputLength, PULONG pReturnLength,
                                           LPOVERLAPPED pOverlapped) noexcept {
    if (const ULONG Result = CheckServiceCall(ServiceHandle, pOverlapped); Result != NO_ERROR) {
        return Result;
    }
    try {
        return ServiceConfig().Query(ConfigId, pInput, InputLength, pOutput, OutputLength,
                                     pReturnLength);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // extern "C"
