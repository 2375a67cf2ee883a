// Pylon.HttpSys.Context: one request from the HTTP Server API as a framework exchange.
#pragma once

#include "http/framework/Pylon.HttpServer.Context.h"
#include "http/framework/Pylon.HttpServer.Request.h"
#include "http/framework/Pylon.HttpServer.Response.h"

#include <cstddef>
#include <cstdint>
#include <http.h>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pylon {

class THttpSysContext;

/// Bytes that hold one platform request record and everything it points to, aligned for the
/// record. Move-only; its memory goes back to the process-wide pool when it is released, so
/// a busy server receives without allocating.
class THttpSysRequestBuffer {
public:
    /// Every buffer holds at least this many bytes.
    static constexpr ULONG DefaultSize = 4096;

    /// A buffer of DefaultSize bytes, from the pool when it has one.
    static THttpSysRequestBuffer Acquire();

    THttpSysRequestBuffer() = default;
    THttpSysRequestBuffer(THttpSysRequestBuffer&& Other) noexcept;
    THttpSysRequestBuffer& operator=(THttpSysRequestBuffer&& Other) noexcept;
    ~THttpSysRequestBuffer();

    void* Data() const noexcept { return FData.get(); }
    ULONG Size() const noexcept { return FSize; }
    /// Makes room for at least Bytes bytes; the content is not kept.
    void Resize(ULONG Bytes);
    PHTTP_REQUEST Request() const noexcept { return static_cast<PHTTP_REQUEST>(Data()); }

private:
    std::unique_ptr<std::uint64_t[]> FData;
    ULONG FSize = 0;
};

/// The text of Count bytes of the system's 8-bit code page (UTF-8 here, as our text is).
std::string AnsiToUnicode(const char* Bytes, std::size_t Count);

/// The platform's view of one request: reads the request record in its buffer. Owned by its
/// context; one worker thread at a time.
class THttpSysRequest {
public:
    THttpSysRequest(THttpSysContext& AContext, THttpSysRequestBuffer ARequestBuffer);
    THttpSysRequest(const THttpSysRequest&) = delete;
    THttpSysRequest& operator=(const THttpSysRequest&) = delete;

    /// The verb's name; the request's own text for an unknown verb; "" for an unparsed or
    /// invalid one.
    std::string Method() const;
    std::string FullUrl() const;
    std::string RawUrl() const;
    bool IsSecureConnection() const noexcept { return FReq->pSslInfo != nullptr; }
    std::string_view RequestScheme() const noexcept {
        return IsSecureConnection() ? "https" : "http";
    }
    std::string Host() const { return KnownHeader(HttpHeaderHost); }
    int MajorVersion() const noexcept { return FReq->Version.MajorVersion; }
    int MinorVersion() const noexcept { return FReq->Version.MinorVersion; }
    /// "" when the request does not carry the header.
    std::string KnownHeader(HTTP_HEADER_ID HeaderId) const;
    std::string RemoteIp() const;
    /// Replaces AHeaders by the request's headers, every name in lower case.
    void FillHeaders(THttpHeaders& AHeaders) const;
    THttpSysContext& Context() const noexcept { return *FContext; }
    PHTTP_REQUEST RawRequest() const noexcept { return FReq; }

    /// The raw URL completed to an absolute one: a URL with its own scheme as it is, else
    /// scheme "://" Host header and the path (a "/" put in front when it lacks one).
    static std::string FullUrlFromRawUrl(std::string_view RawUrl, std::string_view Scheme,
                                         std::string_view Host);

private:
    THttpSysContext* FContext; // Not owned: the context owns this request.
    THttpSysRequestBuffer FRequestBuffer;
    PHTTP_REQUEST FReq; // The record at the start of FRequestBuffer.
};

/// The request body, read from the platform as the framework asks for it.
class THttpSysRequestStream : public THttpRequestStream {
public:
    THttpSysRequestStream(THttpSysRequest& ARequest, std::int64_t AContentLength)
        : FRequest(&ARequest)
        , FContentLength(AContentLength) {}
    std::int64_t GetContentLength() override { return FContentLength; }
    /// Fills Buffer until Count bytes arrived or the body ends; throws EHttpApiException when
    /// the platform fails.
    int ReadBuffer(void* Buffer, int Count) override;

private:
    THttpSysRequest* FRequest; // Not owned: the context owns both and frees this stream first.
    std::int64_t FContentLength;
};

/// The client address of a request for the framework.
class THttpSysRequestExtraInfo : public IHttpRequestExtraInfo {
public:
    explicit THttpSysRequestExtraInfo(THttpSysRequest& ASysRequest) : FSysRequest(&ASysRequest) {}
    std::string RemoteIp() override { return FSysRequest->RemoteIp(); }

private:
    THttpSysRequest* FSysRequest; // Not owned: lives as long as the context.
};

/// Sends the framework's response through the platform with synchronous calls.
class THttpSysResponse : public THttpServerResponse {
public:
    explicit THttpSysResponse(THttpSysContext& AContext) : FContext(&AContext) {}

    /// Whether the client wants its connection kept after this answer: HTTP/1.1 unless it
    /// sent "close", HTTP/1.0 only when it asked for "keep-alive".
    void UseClientConnection(int MinorVersion, std::string_view ConnectionHeader);
    /// The record of the last SendResponse, for tests.
    const HTTP_RESPONSE& SysResponse() const noexcept { return FResponse; }

protected:
    void EndResponse() override;
    void SendResponse() override;
    int SendBody(const void* PBuf, int BufferSize) override;

private:
    void UpdateResponseHeaders();
    void AddSetCookieHeaders(const THttpHeaderInfo& Header);
    void AddUnknownHeader(std::string_view Name, std::string_view Value);

    THttpSysContext* FContext; // Not owned: the context owns this response.
    HTTP_RESPONSE FResponse{};
    std::vector<HTTP_UNKNOWN_HEADER> FUnknownHeaders;
};

/// One request received from a request queue as a framework exchange. Made by the session on
/// the receiving thread, then used and freed by one worker thread.
class THttpSysContext : public THttpServerContext {
public:
    /// Takes the buffer holding a freshly received request.
    THttpSysContext(THttpSysRequestBuffer RequestBuffer, HANDLE QueueId);

    /// Contexts come and go with every request, made on one thread and freed on another: their
    /// memory is recycled through a process-wide pool.
    static void* operator new(std::size_t Size);
    static void operator delete(void* Block, std::size_t Size) noexcept;

    HTTP_REQUEST_ID ContextId() const noexcept { return FContextId; }
    HTTP_CONNECTION_ID ConnectionId() const noexcept { return FConnectionId; }
    HANDLE QueueId() const noexcept { return FQueueId; }
    THttpSysRequest& SysRequest() noexcept { return FSysRequest; }
    THttpSysResponse& SysResponse() noexcept { return FResponse; }

protected:
    THttpServerRequest& GetRequest() override { return FRequest; }
    THttpServerResponse& GetResponse() override { return FResponse; }

private:
    HTTP_REQUEST_ID FContextId;
    HTTP_CONNECTION_ID FConnectionId;
    HANDLE FQueueId;
    // Declared in reverse order of destruction: the framework request (whose body stream and
    // extras point at the platform request) goes first, the response last.
    THttpSysResponse FResponse;
    THttpSysRequest FSysRequest;
    THttpServerRequest FRequest;
};

} // namespace pylon
