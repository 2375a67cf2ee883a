// Pylon.HttpSys.Context: one request from the HTTP Server API as a framework exchange.
#include "http/httpsys/Pylon.HttpSys.Context.h"

#include "http/framework/Pylon.Uri.h"
#include "http/httpsys/Pylon.HttpSys.Api.h"
#include "http/httpsys/Pylon.Win.Socket.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/NameIndex.h"
#include "platform/rtl/StringList.h"
#include "platform/win/include/HttpHeaderNames.h"

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>
#include <utility>

namespace pylon {

namespace {

inline constexpr std::string_view SHeaderTooLong =
    "HTTP Server API Error.\r\nThe response header %s is longer than 65535 bytes.";

// The platform's names of its verbs, indexed by HTTP_VERB.
constexpr std::array<std::string_view, HttpVerbMaximum> VerbNames = {
    "",         "",          "",      "OPTIONS", "GET",    "HEAD",  "POST",
    "PUT",      "DELETE",    "TRACE", "CONNECT", "TRACK",  "MOVE",  "COPY",
    "PROPFIND", "PROPPATCH", "MKCOL", "LOCK",    "UNLOCK", "SEARCH"};

// Every header of a response is looked up: the index compares only the names of its length.
constexpr rtl::TNameIndex ResponseHeaderIndex(HttpResponseHeaderNames);

int FindResponseHeader(std::string_view Name) noexcept {
    return ResponseHeaderIndex.Find(Name);
}

USHORT CheckedLength(std::string_view Name, std::size_t Length) {
    if (Length > std::numeric_limits<USHORT>::max()) {
        throw EHttpApiException(rtl::FormatText(SHeaderTooLong, {Name}));
    }
    return USHORT(Length);
}

// Text of the request record as AnsiToUnicode gives it, without the copy: the system's 8-bit
// code page is UTF-8 here, so the bytes are the text.
std::string_view RecordText(const char* Bytes, std::size_t Count) noexcept {
    return Bytes == nullptr ? std::string_view() : std::string_view(Bytes, Count);
}

bool ContainsToken(std::string_view Value, std::string_view Token) {
    std::string Lower = rtl::LowerCase(std::string(Value));
    return Lower.find(Token) != std::string::npos;
}

// Released request buffers, reused by the next receives. Never destroyed: worker threads may
// still return buffers while the program ends.
class TRequestBufferPool {
public:
    static TRequestBufferPool& Instance() {
        static TRequestBufferPool* Pool = new TRequestBufferPool;
        return *Pool;
    }
    std::unique_ptr<std::uint64_t[]> Take() {
        std::scoped_lock Lock(FLock);
        if (FFree.empty()) {
            return nullptr;
        }
        std::unique_ptr<std::uint64_t[]> Result = std::move(FFree.back());
        FFree.pop_back();
        return Result;
    }
    void Give(std::unique_ptr<std::uint64_t[]> Data) {
        std::scoped_lock Lock(FLock);
        if (FFree.size() < MaxFree) {
            FFree.push_back(std::move(Data));
        }
    }

private:
    // Enough for every request in flight at once in a busy server; more are simply freed.
    static constexpr std::size_t MaxFree = 1024;
    std::mutex FLock;
    std::vector<std::unique_ptr<std::uint64_t[]>> FFree; // Guarded by FLock.
};

// The memory of released contexts, reused by the next ones. A context is made on the receiving
// thread and freed on a worker, and is larger than the allocator's per-thread caches hold, so
// every one would otherwise take the allocator's slow path (and its consolidation of free
// memory) twice. Never destroyed, as the buffer pool.
class TContextMemoryPool {
public:
    static TContextMemoryPool& Instance() {
        static TContextMemoryPool* Pool = new TContextMemoryPool;
        return *Pool;
    }
    /// A block of sizeof(THttpSysContext) bytes, or nullptr when none is free.
    void* Take() noexcept {
        std::scoped_lock Lock(FLock);
        if (FFree.empty()) {
            return nullptr;
        }
        void* Block = FFree.back();
        FFree.pop_back();
        return Block;
    }
    /// False when the pool is full: the caller frees the block.
    bool Give(void* Block) noexcept {
        std::scoped_lock Lock(FLock);
        if (FFree.size() == MaxFree) {
            return false;
        }
        FFree.push_back(Block); // never grows: the room was reserved
        return true;
    }

private:
    TContextMemoryPool() { FFree.reserve(MaxFree); }
    // As many as requests in flight at once in a busy server; more are simply freed.
    static constexpr std::size_t MaxFree = 1024;
    std::mutex FLock;
    std::vector<void*> FFree; // Guarded by FLock.
};

constexpr std::size_t Words(ULONG Bytes) {
    return (std::size_t(Bytes) + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
}

} // namespace

// ---- THttpSysRequestBuffer ----

THttpSysRequestBuffer THttpSysRequestBuffer::Acquire() {
    THttpSysRequestBuffer Result;
    Result.FData = TRequestBufferPool::Instance().Take();
    if (!Result.FData) {
        Result.FData = std::make_unique_for_overwrite<std::uint64_t[]>(Words(DefaultSize));
    }
    Result.FSize = DefaultSize;
    return Result;
}

THttpSysRequestBuffer::THttpSysRequestBuffer(THttpSysRequestBuffer&& Other) noexcept
    : FData(std::move(Other.FData))
    , FSize(std::exchange(Other.FSize, 0)) {
}

THttpSysRequestBuffer& THttpSysRequestBuffer::operator=(THttpSysRequestBuffer&& Other) noexcept {
    if (this != &Other) {
        THttpSysRequestBuffer Old(std::move(*this));
        FData = std::move(Other.FData);
        FSize = std::exchange(Other.FSize, 0);
    }
    return *this;
}

THttpSysRequestBuffer::~THttpSysRequestBuffer() {
    // Only buffers of the default size are pooled: a rare large request does not keep its
    // memory.
    if (FData && FSize == DefaultSize) {
        try {
            TRequestBufferPool::Instance().Give(std::move(FData));
        } catch (...) {
            // The memory is freed instead.
        }
    }
}

void THttpSysRequestBuffer::Resize(ULONG Bytes) {
    if (Bytes <= FSize && FData) {
        return;
    }
    FData = std::make_unique_for_overwrite<std::uint64_t[]>(Words(Bytes));
    FSize = Bytes;
}

std::string AnsiToUnicode(const char* Bytes, std::size_t Count) {
    return Bytes == nullptr ? std::string() : std::string(Bytes, Count);
}

// ---- THttpSysRequest ----

THttpSysRequest::THttpSysRequest(THttpSysContext& AContext, THttpSysRequestBuffer ARequestBuffer)
    : FContext(&AContext)
    , FRequestBuffer(std::move(ARequestBuffer))
    , FReq(FRequestBuffer.Request()) {
}

std::string THttpSysRequest::Method() const {
    if (FReq->Verb == HttpVerbUnknown) {
        return AnsiToUnicode(FReq->pUnknownVerb, FReq->UnknownVerbLength);
    }
    if (FReq->Verb < 0 || FReq->Verb >= HttpVerbMaximum) {
        return {};
    }
    return std::string(VerbNames[FReq->Verb]);
}

std::string THttpSysRequest::RawUrl() const {
    return AnsiToUnicode(FReq->pRawUrl, FReq->RawUrlLength);
}

std::string THttpSysRequest::FullUrl() const {
    // Straight from the record: the raw URL and the host are the bytes AnsiToUnicode would copy.
    const HTTP_KNOWN_HEADER& Host = FReq->Headers.KnownHeaders[HttpHeaderHost];
    return FullUrlFromRawUrl(RecordText(FReq->pRawUrl, FReq->RawUrlLength), RequestScheme(),
                             RecordText(Host.pRawValue, Host.RawValueLength));
}

std::string THttpSysRequest::FullUrlFromRawUrl(std::string_view RawUrl, std::string_view Scheme,
                                               std::string_view Host) {
    if (TUri::HasScheme(RawUrl)) {
        return std::string(RawUrl);
    }
    std::string Result;
    Result.reserve(Scheme.size() + 3 + Host.size() + 1 + RawUrl.size());
    Result.append(Scheme).append("://").append(Host);
    if (!RawUrl.empty() && RawUrl.front() != '/') {
        Result += '/';
    }
    Result.append(RawUrl);
    return Result;
}

std::string THttpSysRequest::KnownHeader(HTTP_HEADER_ID HeaderId) const {
    if (HeaderId < 0 || HeaderId >= HttpHeaderRequestMaximum) {
        return {};
    }
    const HTTP_KNOWN_HEADER& Header = FReq->Headers.KnownHeaders[HeaderId];
    return AnsiToUnicode(Header.pRawValue, Header.RawValueLength);
}

std::string THttpSysRequest::RemoteIp() const {
    return SockAddrToString(FReq->Address.pRemoteAddress);
}

void THttpSysRequest::FillHeaders(THttpHeaders& AHeaders) const {
    AHeaders.Clear();
    const HTTP_REQUEST_HEADERS& Headers = FReq->Headers;
    for (int I = 0; I < HttpHeaderRequestMaximum; ++I) {
        const HTTP_KNOWN_HEADER& Header = Headers.KnownHeaders[I];
        if (Header.pRawValue != nullptr) {
            AHeaders.SetValue(HttpRequestHeaderNames[std::size_t(I)],
                              std::string_view(Header.pRawValue, Header.RawValueLength));
        }
    }
    for (USHORT I = 0; I < Headers.UnknownHeaderCount; ++I) {
        const HTTP_UNKNOWN_HEADER& Header = Headers.pUnknownHeaders[I];
        if (Header.pName == nullptr) {
            continue;
        }
        // The collection stores names in lower case itself.
        AHeaders.SetValue(std::string_view(Header.pName, Header.NameLength),
                          Header.pRawValue == nullptr
                              ? std::string_view()
                              : std::string_view(Header.pRawValue, Header.RawValueLength));
    }
}

// ---- THttpSysRequestStream ----

int THttpSysRequestStream::ReadBuffer(void* Buffer, int Count) {
    const THttpSysContext& Context = FRequest->Context();
    auto* Target = static_cast<std::uint8_t*>(Buffer);
    int Result = 0;
    ULONG Last = 1;
    while (Last > 0) {
        const int Remaining = Count - Result;
        if (Remaining <= 0) {
            break;
        }
        Last = 0;
        const ULONG Code = HttpApi().HttpReceiveRequestEntityBody(
            Context.QueueId(), Context.ContextId(),
            HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER, Target + Result, ULONG(Remaining),
            &Last, nullptr);
        if (Code == ERROR_HANDLE_EOF) {
            // Some platforms hand over the last bytes together with the end.
            Result += int(std::min<ULONG>(Last, ULONG(Remaining)));
            break;
        }
        HttpCheck(Code);
        Result += int(std::min<ULONG>(Last, ULONG(Remaining)));
    }
    return Result;
}

// ---- THttpSysResponse ----

void THttpSysResponse::UseClientConnection(int MinorVersion, std::string_view ConnectionHeader) {
    if (MinorVersion == 0) {
        SetKeepAlive(ContainsToken(ConnectionHeader, "keep-alive"));
    } else {
        SetKeepAlive(!ContainsToken(ConnectionHeader, "close"));
    }
}

void THttpSysResponse::SendResponse() {
    THttpSysContext& Context = *FContext;
    const THttpSysRequest& Request = Context.SysRequest();
    const std::string& Reason = StatusReason();
    FResponse.StatusCode = USHORT(StatusCode());
    FResponse.ReasonLength = CheckedLength("reason", Reason.size());
    FResponse.pReason = Reason.c_str();
    FResponse.Version.MajorVersion = USHORT(Request.MajorVersion());
    FResponse.Version.MinorVersion = USHORT(Request.MinorVersion());
    ULONG Flags = 0;
    if (ContentLength() != 0 && Request.RawRequest()->Verb != HttpVerbHEAD) {
        Flags = HTTP_SEND_RESPONSE_FLAG_MORE_DATA;
    } else if (!KeepAlive()) {
        Flags = HTTP_SEND_RESPONSE_FLAG_DISCONNECT;
    }
    UpdateResponseHeaders();
    FResponse.EntityChunkCount = 0;
    FResponse.pEntityChunks = nullptr;
    ULONG Sent = 0;
    HttpCheck(HttpApi().HttpSendHttpResponse(Context.QueueId(), Context.ContextId(), Flags,
                                             &FResponse, nullptr, &Sent, nullptr, 0, nullptr,
                                             nullptr));
}

int THttpSysResponse::SendBody(const void* PBuf, int BufferSize) {
    THttpSysContext& Context = *FContext;
    HTTP_DATA_CHUNK Chunk{};
    Chunk.DataChunkType = HttpDataChunkFromMemory;
    Chunk.FromMemory.pBuffer = const_cast<void*>(PBuf);
    Chunk.FromMemory.BufferLength = ULONG(BufferSize);
    ULONG Sent = 0;
    HttpCheck(HttpApi().HttpSendResponseEntityBody(Context.QueueId(), Context.ContextId(),
                                                   HTTP_SEND_RESPONSE_FLAG_MORE_DATA |
                                                       HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA,
                                                   1, &Chunk, &Sent, nullptr, 0, nullptr, nullptr));
    return int(Sent);
}

void THttpSysResponse::EndResponse() {
    THttpSysContext& Context = *FContext;
    const ULONG Flags = KeepAlive() ? 0 : HTTP_SEND_RESPONSE_FLAG_DISCONNECT;
    ULONG Sent = 0;
    HttpCheck(HttpApi().HttpSendResponseEntityBody(Context.QueueId(), Context.ContextId(), Flags, 0,
                                                   nullptr, &Sent, nullptr, 0, nullptr, nullptr));
}

void THttpSysResponse::AddUnknownHeader(std::string_view Name, std::string_view Value) {
    HTTP_UNKNOWN_HEADER Header{};
    Header.NameLength = CheckedLength(Name, Name.size());
    Header.pName = Name.data();
    Header.RawValueLength = CheckedLength(Name, Value.size());
    Header.pRawValue = Value.data();
    FUnknownHeaders.push_back(Header);
}

void THttpSysResponse::AddSetCookieHeaders(const THttpHeaderInfo& Header) {
    // The known Set-Cookie slot holds a single value; each cookie needs its own line.
    std::string_view Rest = Header.AnsiValue();
    while (!Rest.empty()) {
        const std::size_t Break = Rest.find('\n');
        const std::string_view Piece = Rest.substr(0, Break);
        if (!Piece.empty()) {
            AddUnknownHeader(Header.AnsiName(), Piece);
        }
        if (Break == std::string_view::npos) {
            break;
        }
        Rest.remove_prefix(Break + 1);
    }
}

void THttpSysResponse::UpdateResponseHeaders() {
    FUnknownHeaders.clear();
    for (HTTP_KNOWN_HEADER& Known : FResponse.Headers.KnownHeaders) {
        Known = HTTP_KNOWN_HEADER{};
    }
    for (const THttpHeaderInfo& Header : Headers().AllHeaders()) {
        const int Id = FindResponseHeader(Header.Name());
        if (Id < 0) {
            AddUnknownHeader(Header.AnsiName(), Header.AnsiValue());
        } else if (Id == HttpHeaderSetCookie) {
            AddSetCookieHeaders(Header);
        } else {
            HTTP_KNOWN_HEADER& Known = FResponse.Headers.KnownHeaders[Id];
            const std::string& Value = Header.AnsiValue();
            Known.RawValueLength = CheckedLength(Header.Name(), Value.size());
            Known.pRawValue = Value.empty() ? nullptr : Value.c_str();
        }
    }
    FResponse.Headers.UnknownHeaderCount = CheckedLength("count", FUnknownHeaders.size());
    FResponse.Headers.pUnknownHeaders = FUnknownHeaders.empty() ? nullptr : FUnknownHeaders.data();
}

// ---- THttpSysContext ----

void* THttpSysContext::operator new(std::size_t Size) {
    if (Size == sizeof(THttpSysContext)) {
        if (void* Block = TContextMemoryPool::Instance().Take()) {
            return Block;
        }
    }
    return ::operator new(Size); // a descendant's larger objects are not pooled
}

void THttpSysContext::operator delete(void* Block, std::size_t Size) noexcept {
    if (Size != sizeof(THttpSysContext) || !TContextMemoryPool::Instance().Give(Block)) {
        ::operator delete(Block); // unsized: clang leaves sized deallocation off
    }
}

THttpSysContext::THttpSysContext(THttpSysRequestBuffer RequestBuffer, HANDLE QueueId)
    : FContextId(RequestBuffer.Request()->RequestId)
    , FConnectionId(RequestBuffer.Request()->ConnectionId)
    , FQueueId(QueueId)
    , FResponse(*this)
    , FSysRequest(*this, std::move(RequestBuffer)) {
    FRequest.SetMethod(FSysRequest.Method());
    FRequest.SetRawUri(FSysRequest.FullUrl());
    if (FSysRequest.MinorVersion() == 0) {
        FRequest.SetProtocol("HTTP/1.0");
    }
    FSysRequest.FillHeaders(FRequest.Headers());
    FRequest.SetContentStream(
        std::make_unique<THttpSysRequestStream>(FSysRequest, FRequest.ContentLength()));
    FRequest.SetExtraInfo(std::make_shared<THttpSysRequestExtraInfo>(FSysRequest));
    FResponse.UseClientConnection(FSysRequest.MinorVersion(),
                                  FSysRequest.KnownHeader(HttpHeaderConnection));
}

} // namespace pylon
