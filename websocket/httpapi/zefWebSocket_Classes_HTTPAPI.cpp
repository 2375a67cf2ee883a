// zefWebSocket_Classes_HTTPAPI: the WebSocket connection over one request of the HTTP Server
// API request queue (upgrade, reading, writing, disconnect detection).
#include "websocket/httpapi/zefWebSocket_Classes_HTTPAPI.h"

#include "platform/rtl/Utf.h"
#include "websocket/core/zefWebSocket_Types.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>
#include <winsock2.h>

namespace zef {

namespace {

/// The largest request body GetHttpServerRequest reads into memory.
constexpr std::uint32_t MaxRequestContent = 16u * 1024 * 1024;

std::string AddressText(const sockaddr* aAddress) {
    if (aAddress == nullptr) {
        return {};
    }
    char Text[64] = {};
    if (aAddress->sa_family == AF_INET) {
        // Dotted decimal by hand: the library's formatter goes through printf, which cost
        // more than the rest of a connection's address bookkeeping.
        const auto* V4 = reinterpret_cast<const sockaddr_in*>(aAddress);
        const auto* Bytes = reinterpret_cast<const std::uint8_t*>(&V4->sin_addr);
        std::string Dotted;
        for (int I = 0; I < 4; ++I) {
            if (I > 0) {
                Dotted += '.';
            }
            const unsigned Byte = Bytes[I];
            if (Byte >= 100) {
                Dotted += char('0' + Byte / 100);
            }
            if (Byte >= 10) {
                Dotted += char('0' + Byte / 10 % 10);
            }
            Dotted += char('0' + Byte % 10);
        }
        return Dotted;
    } else if (aAddress->sa_family == AF_INET6) {
        const auto* V6 = reinterpret_cast<const sockaddr_in6*>(aAddress);
        inet_ntop(AF_INET6, &V6->sin6_addr, Text, sizeof Text);
    }
    return Text;
}

int AddressPort(const sockaddr* aAddress) {
    if (aAddress == nullptr) {
        return 0;
    }
    if (aAddress->sa_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(aAddress)->sin_port);
    }
    if (aAddress->sa_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(aAddress)->sin6_port);
    }
    return 0;
}

/// The port of "scheme://host:port/..."; -1 when the URL names none.
int URLPort(const std::string& aURL) {
    std::size_t Scheme = aURL.find("://");
    if (Scheme == std::string::npos) {
        return -1;
    }
    std::size_t HostStart = Scheme + 3;
    std::size_t PathStart = aURL.find('/', HostStart);
    std::string Authority = aURL.substr(
        HostStart, PathStart == std::string::npos ? std::string::npos : PathStart - HostStart);
    std::size_t Colon = Authority.rfind(':');
    std::size_t Bracket = Authority.rfind(']');
    if (Colon == std::string::npos || (Bracket != std::string::npos && Colon < Bracket)) {
        return -1;
    }
    int Port = 0;
    for (std::size_t I = Colon + 1; I < Authority.size(); ++I) {
        if (Authority[I] < '0' || Authority[I] > '9' || Port > 65535) {
            return -1;
        }
        Port = Port * 10 + (Authority[I] - '0');
    }
    return Port;
}

std::string_view KnownValue(const HTTP_REQUEST& aRequest, HTTP_HEADER_ID aId) {
    const HTTP_KNOWN_HEADER& Header = aRequest.Headers.KnownHeaders[aId];
    if (Header.pRawValue == nullptr) {
        return {};
    }
    return {Header.pRawValue, Header.RawValueLength};
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool CacheConnectionBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool CacheConnectionBlocks = false;
#else
constexpr bool CacheConnectionBlocks = true;
#endif
#else
constexpr bool CacheConnectionBlocks = true;
#endif

/// Freed connection blocks of one size (the first size given back), for the next connection.
/// Any thread.
class TBlockCache {
public:
    void* Take(std::size_t aSize) {
        std::scoped_lock Lock(FLock);
        if (aSize != FSize || FBlocks.empty()) {
            return nullptr;
        }
        void* Block = FBlocks.back();
        FBlocks.pop_back();
        return Block;
    }
    /// False when the block is not kept (another size, or the cache is full).
    bool Give(void* aBlock, std::size_t aSize) noexcept {
        std::scoped_lock Lock(FLock);
        if (FSize == 0) {
            FSize = aSize;
            FBlocks.reserve(TzefWSConnection_HTTPAPI::ConnectionCacheSize);
        }
        if (aSize != FSize || FBlocks.size() >= FBlocks.capacity()) {
            return false;
        }
        FBlocks.push_back(aBlock); // Within the reserved room: never throws.
        return true;
    }

private:
    std::mutex FLock;
    std::size_t FSize = 0;      // Guarded by FLock.
    std::vector<void*> FBlocks; // Guarded by FLock.
};

/// Never destroyed: connections may be freed while the process ends.
TBlockCache& ConnectionBlocks() {
    static TBlockCache* Cache = new TBlockCache;
    return *Cache;
}

} // namespace

void* TzefWSConnection_HTTPAPI::operator new(std::size_t aSize) {
    if constexpr (CacheConnectionBlocks) {
        if (void* Block = ConnectionBlocks().Take(aSize)) {
            return Block;
        }
    }
    return ::operator new(aSize);
}

void TzefWSConnection_HTTPAPI::operator delete(void* aBlock, std::size_t aSize) noexcept {
    if constexpr (CacheConnectionBlocks) {
        if (aBlock != nullptr && ConnectionBlocks().Give(aBlock, aSize)) {
            return;
        }
    }
    ::operator delete(aBlock); // unsized: clang leaves sized deallocation off
}

std::atomic<int> TzefWSConnection_HTTPAPI::GInstances{0};

TzefWSConnection_HTTPAPI::TzefWSConnection_HTTPAPI() : FApi(&LoadHttpApi()) {
    FReadContext.method = THTTPAPIMethods::mthReceiveRequestEntityBody;
    FReadContext.connection = this;
    FReadContext.Embedded = true;
    FWaitContext.method = THTTPAPIMethods::mthWaitForDisconnect;
    FWaitContext.connection = this;
    FWaitContext.Embedded = true;
    FFlushContext.method = THTTPAPIMethods::mthProcessQueues;
    FFlushContext.connection = this;
    FFlushContext.Embedded = true;
    OnQueued = [this](TzefWSConnection&) { FlushSoon(); };
    GInstances.fetch_add(1);
}

TzefWSConnection_HTTPAPI::~TzefWSConnection_HTTPAPI() {
    GInstances.fetch_sub(1);
}

void TzefWSConnection_HTTPAPI::SetHTTPRequestId(std::uint64_t Value) {
    if (Value != 0 && FHTTPRequest != nullptr) {
        const HTTP_REQUEST& Request = *FHTTPRequest;
        FIP = AddressText(Request.Address.pRemoteAddress);
        FPort = AddressPort(Request.Address.pRemoteAddress);
        FLocalIP = AddressText(Request.Address.pLocalAddress);
        if (Request.CookedUrl.pFullUrl != nullptr) {
            FFullURL = rtl::WideToUtf8(std::wstring_view(
                Request.CookedUrl.pFullUrl, Request.CookedUrl.FullUrlLength / sizeof(wchar_t)));
        }
        int Port = FFullURL.empty() ? -1 : URLPort(FFullURL);
        FLocalPort = Port >= 0 ? Port : AddressPort(Request.Address.pLocalAddress);
        FVersion = Request.Version;
    }
    FHTTPRequestId = Value;
}

// --- Headers ---

std::string TzefWSConnection_HTTPAPI::BuildHeaders(const HTTP_REQUEST& aRequest) {
    std::size_t Length = 0;
    for (int I = 0; I < HttpHeaderRequestMaximum; ++I) {
        const HTTP_KNOWN_HEADER& Header = aRequest.Headers.KnownHeaders[I];
        if (Header.pRawValue != nullptr && Header.RawValueLength > 0) {
            Length += KnownRequestHeaderName(I).size() + 2 + Header.RawValueLength + 2;
        }
    }
    for (USHORT I = 0; I < aRequest.Headers.UnknownHeaderCount; ++I) {
        const HTTP_UNKNOWN_HEADER& Header = aRequest.Headers.pUnknownHeaders[I];
        Length += std::size_t(Header.NameLength) + 2 + Header.RawValueLength + 2;
    }
    std::string Text;
    Text.reserve(Length);
    for (int I = 0; I < HttpHeaderRequestMaximum; ++I) {
        const HTTP_KNOWN_HEADER& Header = aRequest.Headers.KnownHeaders[I];
        if (Header.pRawValue != nullptr && Header.RawValueLength > 0) {
            Text.append(KnownRequestHeaderName(I)).append(": ");
            Text.append(Header.pRawValue, Header.RawValueLength).append("\r\n");
        }
    }
    for (USHORT I = 0; I < aRequest.Headers.UnknownHeaderCount; ++I) {
        const HTTP_UNKNOWN_HEADER& Header = aRequest.Headers.pUnknownHeaders[I];
        Text.append(Header.pName, Header.NameLength).append(": ");
        Text.append(Header.pRawValue, Header.RawValueLength).append("\r\n");
    }
    assert(Text.size() == Length && "header text length");
    return Text;
}

void TzefWSConnection_HTTPAPI::DoReadHeaders() {
    TzefHeaderList& Lines = HeadersRequest();
    Lines.Clear();
    if (FHTTPRequest == nullptr) {
        return;
    }
    const HTTP_REQUEST& Request = *FHTTPRequest;
    // Room for the request line, every header and a post's empty line and body, taken at once.
    const bool WithBody = Request.Verb == HttpVerbPOST && ContentLengthOf(Request) > 0;
    std::size_t Count = 1 + Request.Headers.UnknownHeaderCount + (WithBody ? 2 : 0);
    for (int I = 0; I < HttpHeaderRequestMaximum; ++I) {
        Count += Request.Headers.KnownHeaders[I].RawValueLength > 0 ? 1 : 0;
    }
    Lines.SetCapacity(Count);
    std::string Line = Request.Verb == HttpVerbPOST ? "POST " : "GET ";
    if (Request.pRawUrl != nullptr) {
        Line.append(Request.pRawUrl, Request.RawUrlLength);
    }
    Line += " HTTP/1.1";
    Lines.Add(std::move(Line));
    // The lines of BuildHeaders' text, each made once: a value holding a line break goes on
    // as lines of its own, as it would when that text is split.
    auto AddHeader = [&Lines](std::string_view aName, std::string_view aValue) {
        std::string Text;
        Text.reserve(aName.size() + 2 + aValue.size());
        Text.append(aName).append(": ").append(aValue);
        if (Text.find("\r\n") == std::string::npos) {
            Lines.Add(std::move(Text));
            return;
        }
        std::size_t At = 0;
        for (;;) {
            std::size_t End = Text.find("\r\n", At);
            if (End == std::string::npos) {
                Lines.Add(Text.substr(At));
                return;
            }
            Lines.Add(Text.substr(At, End - At));
            At = End + 2;
        }
    };
    for (int I = 0; I < HttpHeaderRequestMaximum; ++I) {
        const HTTP_KNOWN_HEADER& Header = Request.Headers.KnownHeaders[I];
        if (Header.pRawValue != nullptr && Header.RawValueLength > 0) {
            AddHeader(KnownRequestHeaderName(I), {Header.pRawValue, Header.RawValueLength});
        }
    }
    for (USHORT I = 0; I < Request.Headers.UnknownHeaderCount; ++I) {
        const HTTP_UNKNOWN_HEADER& Header = Request.Headers.pUnknownHeaders[I];
        AddHeader({Header.pName, Header.NameLength}, {Header.pRawValue, Header.RawValueLength});
    }
    // A post's body follows the headers after an empty line, as one entry: the request
    // classification reads the long-polling and sub-protocol posts from there.
    if (WithBody) {
        Lines.Add("");
        Lines.Add(RequestBody());
    }
}

std::uint32_t TzefWSConnection_HTTPAPI::ContentLengthOf(const HTTP_REQUEST& aRequest) {
    std::string_view Length = KnownValue(aRequest, HttpHeaderContentLength);
    std::size_t At = 0;
    while (At < Length.size() && Length[At] == ' ') {
        ++At;
    }
    std::uint64_t Value = 0;
    while (At < Length.size() && Length[At] >= '0' && Length[At] <= '9' && Value <= 0xFFFFFFFFu) {
        Value = Value * 10 + std::uint64_t(Length[At] - '0');
        ++At;
    }
    return std::uint32_t(std::min<std::uint64_t>(Value, 0xFFFFFFFFu));
}

const std::string& TzefWSConnection_HTTPAPI::RequestBody() {
    if (FRequestBodyRead || FHTTPRequest == nullptr) {
        return FRequestBody;
    }
    FRequestBodyRead = true;
    // Bodies beyond the bound are read no further than it.
    std::uint32_t Wanted = std::min(ContentLengthOf(*FHTTPRequest), MaxRequestContent);
    FRequestBody.resize(Wanted);
    std::uint32_t Have = 0;
    while (Have < Wanted) {
        ULONG Got = 0;
        ULONG Code = FApi->HttpReceiveRequestEntityBody(
            FHTTPReqQueue, FHTTPRequestId.load(), HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER,
            FRequestBody.data() + Have, Wanted - Have, &Got, nullptr);
        if (Code == NO_ERROR || Code == ERROR_HANDLE_EOF) {
            Have += std::min<ULONG>(Got, Wanted - Have);
        }
        if (Code != NO_ERROR || Got == 0) {
            break;
        }
    }
    FRequestBody.resize(Have);
    return FRequestBody;
}

THttpServerRequest TzefWSConnection_HTTPAPI::GetHttpServerRequest() {
    THttpServerRequest Result;
    Result.ConnectionId = FHTTPConnectionId;
    if (FHTTPRequest == nullptr) {
        return Result;
    }
    const HTTP_REQUEST& Request = *FHTTPRequest;
    std::string_view Raw;
    if (Request.pRawUrl != nullptr) {
        Raw = {Request.pRawUrl, Request.RawUrlLength};
    }
    std::size_t Question = Raw.find('?');
    Result.Document = URLDecode(Raw.substr(0, Question));
    if (Question != std::string_view::npos) {
        Result.QueryParams = URLDecode(Raw.substr(Question + 1));
    }
    std::string_view Verb = VerbName(Request.Verb);
    if (!Verb.empty()) {
        Result.Method = Verb;
    } else if (Request.pUnknownVerb != nullptr) {
        Result.Method.assign(Request.pUnknownVerb, Request.UnknownVerbLength);
    }
    Result.ContentType = KnownValue(Request, HttpHeaderContentType);
    Result.AcceptEncoding = KnownValue(Request, HttpHeaderAcceptEncoding);
    Result.Cookies = KnownValue(Request, HttpHeaderCookie);
    Result.ContentLength = ContentLengthOf(Request);
    for (int I = 0; I < HttpHeaderRequestMaximum; ++I) {
        std::string_view Header = KnownValue(Request, HTTP_HEADER_ID(I));
        if (!Header.empty()) {
            Result.Headers.append(KnownRequestHeaderName(I)).append(": ");
            Result.Headers.append(Header).append("\r\n");
        }
    }
    if (Result.ContentLength > 0) {
        Result.Content = RequestBody();
    }
    return Result;
}

// --- Operation accounting ---

void TzefWSConnection_HTTPAPI::EndOperation(TzefHTTPAPIContext* aContext) {
    if (aContext != nullptr && !aContext->Embedded) {
        std::unique_ptr<TzefHTTPAPIContext> Owned;
        {
            std::scoped_lock Lock(FSendLock);
            auto It = std::find_if(FSendContexts.begin(), FSendContexts.end(),
                                   [&](const auto& Entry) { return Entry.get() == aContext; });
            if (It != FSendContexts.end()) {
                Owned = std::move(*It);
                FSendContexts.erase(It);
            }
        }
    }
    if (FOperations.fetch_sub(1) == 1) {
        // The last reference: nothing of the platform names this connection any more.
        if (OnOperationsDone) {
            OnOperationsDone(*this);
        }
    }
}

TzefHTTPAPIContext*
TzefWSConnection_HTTPAPI::NewSendContext(THTTPAPIMethods aMethod,
                                         std::unique_ptr<TzefHTTPAPISendData> aData) {
    // A connection whose operations have all ended is being released: nothing new may start.
    int Count = FOperations.load();
    do {
        if (Count <= 0) {
            return nullptr;
        }
    } while (!FOperations.compare_exchange_weak(Count, Count + 1));
    auto Context = std::make_unique<TzefHTTPAPIContext>();
    Context->method = aMethod;
    Context->reqqueue = FHTTPReqQueue;
    Context->iocompletition = FIOCompletition;
    Context->connection = this;
    Context->datachunk = aData ? std::move(aData) : std::make_unique<TzefHTTPAPISendData>();
    TzefHTTPAPIContext* Raw = Context.get();
    try {
        std::scoped_lock Lock(FSendLock);
        FSendContexts.push_back(std::move(Context));
    } catch (...) {
        FOperations.fetch_sub(1);
        throw;
    }
    return Raw;
}

void TzefWSConnection_HTTPAPI::DropSendContext(TzefHTTPAPIContext* aContext) {
    EndOperation(aContext);
}

// --- Upgrade ---

void TzefWSConnection_HTTPAPI::DoHandshake() {
    TzefWSConnectionServer_Base::DoHandshake();
    // Enabled before the answer goes: a client that has its 101 may have others broadcast to
    // it at once, and a broadcast that found the connection not yet enabled would pass it by.
    // The write lock keeps those writes behind the answer.
    EnterCS();
    try {
        SetEnabled(true);
        if (!SendUpgradeResponse()) {
            SetEnabled(false);
        }
    } catch (...) {
        SetEnabled(false);
        LeaveCS(); // Pairs with EnterCS.
        throw;
    }
    LeaveCS(); // Pairs with EnterCS.
}

bool TzefWSConnection_HTTPAPI::SendUpgradeResponse() {
    auto Data = std::make_unique<TzefHTTPAPISendData>();
    Data->HeaderText = HeadersResponse().Text();
    Data->Response.Version = FVersion;
    ParseHeaders(Data->Response, Data->HeaderText, Data->Unknown);
    SetStatus(Data->Response, 101, Data->Reason);
    return SendResponseRecord(std::move(Data),
                              HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA);
}

bool TzefWSConnection_HTTPAPI::SendResponseRecord(std::unique_ptr<TzefHTTPAPISendData> aData,
                                                  ULONG aFlags) {
    std::uint64_t Id = FHTTPRequestId.load();
    if (Id == 0) {
        return false;
    }
    ULONG Result = NO_ERROR;
    if (!FAsynchronous) {
        Result = FApi->HttpSendHttpResponse(FHTTPReqQueue, Id, aFlags, &aData->Response, nullptr,
                                            nullptr, nullptr, 0, nullptr, FHTTPLogData);
    } else {
        TzefHTTPAPIContext* Context =
            NewSendContext(THTTPAPIMethods::mthSendHttpResponse, std::move(aData));
        if (Context == nullptr) {
            return false;
        }
        Result = FApi->HttpSendHttpResponse(FHTTPReqQueue, Id, aFlags,
                                            &Context->datachunk->Response, nullptr, nullptr,
                                            nullptr, 0, &Context->overlapped, FHTTPLogData);
        if (Result == NO_ERROR || Result == ERROR_IO_PENDING) {
            return true; // The completion releases the record and its data.
        }
        DropSendContext(Context);
    }
    if (Result == NO_ERROR) {
        return true;
    }
    AbortConnection();
    return false;
}

// --- Reading ---

void TzefWSConnection_HTTPAPI::WaitForDisconnect() {
    if (FWaitStarted.exchange(true)) {
        return;
    }
    std::memset(&FWaitContext.overlapped, 0, sizeof FWaitContext.overlapped);
    FWaitContext.reqqueue = FHTTPReqQueue;
    FWaitContext.iocompletition = FIOCompletition;
    AddOperation(); // The caller holds a reference: the count is above zero.
    ULONG Result =
        FApi->HttpWaitForDisconnect(FHTTPReqQueue, FHTTPConnectionId, &FWaitContext.overlapped);
    if (Result == NO_ERROR || Result == ERROR_IO_PENDING) {
        return;
    }
    EndOperation(&FWaitContext);
    if (Result == ERROR_CONNECTION_INVALID) {
        SetCloseCode(0);
        DoDisconnected();
    } else {
        AbortConnection();
    }
}

TzefWSConnection_HTTPAPI::TReaderMark::TReaderMark(std::atomic<std::thread::id>& aReader)
    : FReader(aReader)
    , FOuter(aReader.load() != std::this_thread::get_id()) {
    if (FOuter) {
        FReader.store(std::this_thread::get_id());
    }
}

TzefWSConnection_HTTPAPI::TReaderMark::~TReaderMark() {
    if (FOuter) {
        FReader.store(std::thread::id());
    }
}

void TzefWSConnection_HTTPAPI::ReadEntityBody() {
    TReaderMark Mark(FReader);
    std::uint64_t Id = FHTTPRequestId.load();
    if (Id == 0 || Disconnected()) {
        return;
    }
    // Small until a read fills it, and small again once a read would have fitted the small
    // one: an idle connection's pending read holds little. Never zero-filled.
    const std::size_t Wanted = !FBuffer                                ? HTTPAPIFirstReadSize
                               : FBufferLength == FBufferSize          ? HTTPAPIReadSize
                               : FBufferLength <= HTTPAPIFirstReadSize ? HTTPAPIFirstReadSize
                                                                       : FBufferSize;
    if (Wanted != FBufferSize) {
        FBuffer.reset(new std::uint8_t[Wanted]);
        FBufferSize = Wanted;
    }
    FBufferLength = 0;
    FBufferPos = 0;
    std::memset(&FReadContext.overlapped, 0, sizeof FReadContext.overlapped);
    FReadContext.reqqueue = FHTTPReqQueue;
    FReadContext.iocompletition = FIOCompletition;
    AddOperation(); // Called on a thread that holds a reference.
    ULONG Result = FApi->HttpReceiveRequestEntityBody(
        FHTTPReqQueue, Id, 0, FBuffer.get(), ULONG(FBufferSize), nullptr, &FReadContext.overlapped);
    if (Result == NO_ERROR || Result == ERROR_IO_PENDING) {
        return; // The completion comes through the pool.
    }
    EndOperation(&FReadContext);
    if (Result == ERROR_CONNECTION_INVALID) {
        SetCloseCode(0);
        DoDisconnected();
    } else {
        AbortConnection(); // The end of the stream (38) or a failure: our side ends too.
    }
}

void TzefWSConnection_HTTPAPI::DoReadData(std::uint32_t aBytesReceived) {
    TReaderMark Mark(FReader);
    if (Disconnected()) {
        // The connection was closed from this side (a close frame went out) while the read was
        // pending: whatever the peer sent now, the channel ends here rather than waiting for
        // the peer to drop it.
        EndChannel();
        return;
    }
    FBufferLength = std::min<std::size_t>(aBytesReceived, FBufferSize);
    FBufferPos = 0;
    try {
        // A server takes only masked frames from its clients.
        ReadData(true);
    } catch (...) {
        try {
            DisconnectPeer(); // So that the platform ends the client's connection too.
        } catch (...) {
            // The connection ends below in any case; a failed disconnect leaves only the
            // platform's own time-out to close the socket.
        }
        DoDisconnected();
    }
}

void TzefWSConnection_HTTPAPI::ReadData(bool aRequireMask) {
    TReaderMark Mark(FReader);
    while (ReadableBytes() > 0 && !Disconnected() && !MustDisconnect()) {
        std::size_t Before = FBufferPos;
        if (Transport() == TwsTransport::trpTCP) {
            ReadTCP();
        } else if (Specification() == TwsSpecification::spRFC6455) {
            ReadFrame(aRequireMask);
        } else if (Specification() == TwsSpecification::spHixie76) {
            ReadHixie76();
        } else {
            break;
        }
        if (FBufferPos == Before) {
            break; // A reader that took nothing would take nothing again.
        }
    }
    if (!Disconnected() && !MustDisconnect()) {
        // What the application queued while it handled these bytes leaves before the next
        // read is posted.
        FlushQueues();
    }
    if (!Disconnected() && !MustDisconnect()) {
        ReadEntityBody();
    } else {
        EndChannel();
    }
}

void TzefWSConnection_HTTPAPI::FlushSoon() {
    if (!OnFlushQueues || FReader.load() == std::this_thread::get_id()) {
        return; // A read's end flushes what its handlers queued.
    }
    if (FFlushPosted.exchange(true)) {
        return; // The packet on its way flushes this item too.
    }
    // The packet holds a reference, as an operation does; a connection whose operations have
    // all ended is being released and flushes nothing more.
    int Count = FOperations.load();
    do {
        if (Count <= 0) {
            FFlushPosted = false;
            return;
        }
    } while (!FOperations.compare_exchange_weak(Count, Count + 1));
    std::memset(&FFlushContext.overlapped, 0, sizeof FFlushContext.overlapped);
    FFlushContext.iocompletition = FIOCompletition;
    if (FIOCompletition == nullptr ||
        !PostQueuedCompletionStatus(FIOCompletition, 0, 0, &FFlushContext.overlapped)) {
        FFlushPosted = false;
        EndOperation(&FFlushContext);
    }
}

void TzefWSConnection_HTTPAPI::DoFlushQueues() {
    // Cleared first: an item queued from now on posts a packet of its own.
    FFlushPosted = false;
    if (!Disconnected()) {
        FlushQueues();
    }
}

void TzefWSConnection_HTTPAPI::FlushQueues() {
    if (!OnFlushQueues || !HasQueued()) {
        return;
    }
    try {
        OnFlushQueues(*this);
    } catch (...) {
        AbortConnection(); // A write that failed: the connection cannot go on.
    }
}

void TzefWSConnection_HTTPAPI::EndChannel() {
    // Only a connection that was closed without its transport being dropped: the close
    // procedure drops the transport itself.
    if (Connected() && !DoDisconnectStarted()) {
        try {
            DisconnectPeer();
        } catch (...) {
            // The disconnect wait still reports the end.
        }
    }
}

std::size_t TzefWSConnection_HTTPAPI::ReadBytes(std::uint8_t* aBytes, std::size_t aCount) {
    std::size_t Count = std::min(aCount, FBufferLength - FBufferPos);
    if (Count > 0) {
        std::memcpy(aBytes, FBuffer.get() + FBufferPos, Count);
        FBufferPos += Count;
        AddRecBytes(std::int64_t(Count));
    }
    return Count;
}

void TzefWSConnection_HTTPAPI::ReleaseBuffers() {
    FBuffer.reset();
    FBufferSize = 0;
    FBufferLength = 0;
    FBufferPos = 0;
}

void TzefWSConnection_HTTPAPI::ClearReceiveBuffer() {
    // The buffer belongs to the thread that reads: a close made on another thread (the
    // application's) leaves it alone, and the reader, finding the connection closed, takes
    // nothing more from it.
    const std::thread::id Reader = FReader.load();
    if (Reader != std::thread::id() && Reader != std::this_thread::get_id()) {
        return;
    }
    FBufferLength = 0;
    FBufferPos = 0;
}

// --- Writing ---

void TzefWSConnection_HTTPAPI::WriteBytes(std::span<const std::uint8_t> aBytes) {
    std::uint64_t Id = FHTTPRequestId.load();
    if (Id == 0 || aBytes.empty()) {
        return;
    }
    if (Transport() == TwsTransport::trpSSE && !FResponseHeadSent.exchange(true)) {
        SendStreamHead(aBytes);
        return;
    }
    AddSendBytes(std::int64_t(aBytes.size()));
    ULONG Result = NO_ERROR;
    if (!FAsynchronous) {
        HTTP_DATA_CHUNK Chunk{};
        Chunk.DataChunkType = HttpDataChunkFromMemory;
        Chunk.FromMemory.pBuffer = const_cast<std::uint8_t*>(aBytes.data());
        Chunk.FromMemory.BufferLength = ULONG(aBytes.size());
        Result = FApi->HttpSendResponseEntityBody(
            FHTTPReqQueue, Id,
            HTTP_SEND_RESPONSE_FLAG_MORE_DATA | HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA, 1, &Chunk,
            nullptr, nullptr, 0, nullptr, FHTTPLogData);
    } else {
        // The caller reuses its buffer at once: the record keeps its own copy until the
        // completion.
        auto Data = std::make_unique<TzefHTTPAPISendData>();
        Data->Body.assign(reinterpret_cast<const char*>(aBytes.data()), aBytes.size());
        Data->Chunk.DataChunkType = HttpDataChunkFromMemory;
        Data->Chunk.FromMemory.pBuffer = Data->Body.data();
        Data->Chunk.FromMemory.BufferLength = ULONG(Data->Body.size());
        TzefHTTPAPIContext* Context =
            NewSendContext(THTTPAPIMethods::mthSendResponseEntityBody, std::move(Data));
        if (Context == nullptr) {
            return;
        }
        Result = FApi->HttpSendResponseEntityBody(
            FHTTPReqQueue, Id, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, 1, &Context->datachunk->Chunk,
            nullptr, nullptr, 0, &Context->overlapped, FHTTPLogData);
        if (Result == NO_ERROR || Result == ERROR_IO_PENDING) {
            return;
        }
        DropSendContext(Context);
    }
    if (Result == NO_ERROR) {
        return;
    }
    if (Result == ERROR_CONNECTION_INVALID) {
        SetCloseCode(0);
        DoDisconnected();
    } else {
        AbortConnection();
    }
}

void TzefWSConnection_HTTPAPI::SendStreamHead(std::span<const std::uint8_t> aBytes) {
    // The event stream's first block carries its response head: the platform sends the head
    // itself, so the block is split into a response (status and header lines) and its first
    // body bytes; the rest of the stream follows as body.
    std::string_view Block(reinterpret_cast<const char*>(aBytes.data()), aBytes.size());
    std::size_t End = Block.find("\r\n\r\n");
    if (End == std::string_view::npos || Block.compare(0, 5, "HTTP/") != 0) {
        AbortConnection();
        return;
    }
    AddSendBytes(std::int64_t(aBytes.size()));
    auto Data = std::make_unique<TzefHTTPAPISendData>();
    Data->Response.Version = FVersion;
    Data->HeaderText.assign(Block.substr(0, End + 2));
    ParseHeaders(Data->Response, Data->HeaderText, Data->Unknown);
    SetStatus(Data->Response, 200, Data->Reason);
    Data->Body.assign(Block.substr(End + 4));
    if (!Data->Body.empty()) {
        Data->Chunk.DataChunkType = HttpDataChunkFromMemory;
        Data->Chunk.FromMemory.pBuffer = Data->Body.data();
        Data->Chunk.FromMemory.BufferLength = ULONG(Data->Body.size());
        Data->Response.EntityChunkCount = 1;
        Data->Response.pEntityChunks = &Data->Chunk;
    }
    SendResponseRecord(std::move(Data),
                       HTTP_SEND_RESPONSE_FLAG_MORE_DATA | HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA);
}

void TzefWSConnection_HTTPAPI::DoPing(const std::string& aText) {
    try {
        TzefWSConnection_Base_Stream::DoPing(aText);
    } catch (...) {
        // A ping to a connection that is going away is nobody's error.
    }
}

void TzefWSConnection_HTTPAPI::DisconnectPeer() {
    std::uint64_t Id = FHTTPRequestId.load();
    if (Id == 0) {
        return;
    }
    ULONG Result = NO_ERROR;
    if (!FAsynchronous) {
        Result = FApi->HttpSendResponseEntityBody(FHTTPReqQueue, Id,
                                                  HTTP_SEND_RESPONSE_FLAG_DISCONNECT, 0, nullptr,
                                                  nullptr, nullptr, 0, nullptr, FHTTPLogData);
    } else {
        TzefHTTPAPIContext* Context = NewSendContext(THTTPAPIMethods::mthSendDisconnect, nullptr);
        if (Context == nullptr) {
            return;
        }
        Result = FApi->HttpSendResponseEntityBody(
            FHTTPReqQueue, Id, HTTP_SEND_RESPONSE_FLAG_DISCONNECT, 0, nullptr, nullptr, nullptr, 0,
            &Context->overlapped, FHTTPLogData);
        if (Result == NO_ERROR || Result == ERROR_IO_PENDING) {
            return;
        }
        DropSendContext(Context);
    }
    if (Result == ERROR_CONNECTION_INVALID) {
        SetCloseCode(0);
        DoDisconnected();
    } else if (Result == ERROR_INVALID_PARAMETER) {
        // Nothing was answered on the request, so no body can end it: the request is
        // cancelled, which closes the client's connection without an answer.
        FApi->HttpCancelHttpRequest(FHTTPReqQueue, Id, nullptr);
    }
}

void TzefWSConnection_HTTPAPI::DoDisconnected() {
    SetDisconnected(true);
    FHTTPRequestId = 0;
    TwsTransport Kind = Transport();
    if (Kind != TwsTransport::trpUndefined && Kind != TwsTransport::trpHTTP && OnDisconnect) {
        OnDisconnect(*this, 0);
    }
}

} // namespace zef
