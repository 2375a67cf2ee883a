// Pylon.HttpServer.Response: the response of one exchange and its framing rules.
#pragma once

#include "http/framework/Pylon.Http.Headers.h"
#include "platform/rtl/Exception.h"
#include "platform/rtl/Stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pylon {

class THttpServerResponse;

/// A handler run just before the headers go out; it may still change status and headers.
using THttpResponseProc = std::function<void(THttpServerResponse& Response)>;

/// The response cannot be sent as asked (for example more body than its content-length).
class EHttpResponseError : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EHttpResponseError"; }
};

inline constexpr std::string_view SResponseStreamCannotSeek =
    "Http response stream cannot change position.";
inline constexpr std::string_view SBodyExceedsContentLength =
    "Response body exceeds its content-length of %s bytes.";
inline constexpr std::string_view SBodyWrittenInHeaderHandler =
    "Response body written while its headers are being prepared.";

/// Where raw body bytes go: a stream, and a flush that finishes the body.
class IHttpResponseBodyWriter {
public:
    virtual ~IHttpResponseBodyWriter() = default;
    virtual rtl::TStream& Stream() = 0;
    /// Finishes the raw body (the closing chunk when chunking).
    virtual void Flush() = 0;
};

/// The raw body stream: frames bytes as chunks when the response is chunked (collecting small
/// writes until MinChunkSize) and passes them to the host. Owned by its writer; refers to the
/// response, which outlives it.
class THttpRawResponseStream : public rtl::TStream {
public:
    explicit THttpRawResponseStream(THttpServerResponse& Response) : FResponse(&Response) {}

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    /// Returns the count taken. Throws EHttpResponseError when a body with a content-length
    /// would grow beyond it. Takes nothing once the response is closed.
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) override;
    /// Sends what the chunk cache holds and the closing chunk; nothing when not chunking.
    void Flush();

private:
    std::int64_t InternalWrite(const void* Buffer, std::int64_t Count);
    /// Hands bytes to the host until all are taken or it takes none; returns the count taken.
    std::int64_t SendBuffer(const void* Buffer, std::int64_t Count);

    THttpServerResponse* FResponse; // Not owned: the response owns this stream's writer.
    std::int64_t FStreamSize = 0;
    std::string FChunkCache; // Body bytes not yet sent while chunking.
    std::string FChunk;      // One framed chunk; kept to reuse its memory.
};

/// The default writer: owns the raw stream of one response.
class THttpRawResponseBodyWriter : public IHttpResponseBodyWriter {
public:
    explicit THttpRawResponseBodyWriter(THttpServerResponse& Response) : FStream(Response) {}
    rtl::TStream& Stream() override { return FStream; }
    void Flush() override { FStream.Flush(); }

private:
    THttpRawResponseStream FStream;
};

/// The Content stream: sends the headers on the first write, then writes through RawWriter.
class THttpServerResponseStream : public rtl::TStream {
public:
    explicit THttpServerResponseStream(THttpServerResponse& Response) : FResponse(&Response) {}

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) override;

private:
    THttpServerResponse* FResponse; // Not owned: the response owns this stream.
    std::int64_t FStreamSize = 0;
};

/// The response of one exchange. It decides the framing (content length or chunked transfer
/// coding, keep-alive, when the headers go out); the host's descendant implements the three
/// wire operations:
/// - SendResponse: status line and headers, once (again only after it threw). When the
///   response carries no body ("content-length" 0, or SuppressBody for HEAD) the host completes
///   the response here and neither SendBody nor EndResponse follows.
/// - SendBody: body bytes exactly as they go on the wire (chunk-framed when chunking).
/// - EndResponse: once, from Close, when a body was expected; completes it, honouring KeepAlive.
/// One worker thread at a time, no lock.
class THttpServerResponse {
public:
    THttpServerResponse() = default;
    THttpServerResponse(const THttpServerResponse&) = delete;
    THttpServerResponse& operator=(const THttpServerResponse&) = delete;
    virtual ~THttpServerResponse() = default;

    int StatusCode() const { return FStatusCode; }
    /// Also sets StatusReason from the reason table ("" for a code not in it).
    void SetStatusCode(int Value);
    const std::string& StatusReason() const { return FStatusReason; }
    void SetStatusReason(std::string Value) { FStatusReason = std::move(Value); }
    THttpHeaders& Headers() { return FHeaders; }
    const THttpHeaders& Headers() const { return FHeaders; }
    /// The body stream, made on first use. Writing sends the headers first.
    rtl::TStream& Content();
    bool Closed() const { return FClosed; }
    bool HeadersSent() const { return FHeadersSent; }
    /// "transfer-encoding" is exactly "chunked" (ASCII case ignored).
    bool Chunked() const;
    /// Ignored once the headers are sent. True removes "content-length".
    void SetChunked(bool Value);
    /// "content-length" as a decimal number; -1 when absent or not a number.
    std::int64_t ContentLength() const;
    /// Ignored once the headers are sent; a negative value removes the header.
    void SetContentLength(std::int64_t Value);
    std::string ContentType() const { return FHeaders.Get("content-type"); }
    void SetContentType(std::string_view Value) { FHeaders.SetValue("content-type", Value); }
    std::string ContentEncoding() const { return FHeaders.Get("content-encoding"); }
    void SetContentEncoding(std::string_view Value) {
        FHeaders.SetValue("content-encoding", Value);
    }
    const std::string& Protocol() const { return FProtocol; }
    void SetProtocol(std::string Value) { FProtocol = std::move(Value); }
    int MinChunkSize() const { return FMinChunkSize; }
    void SetMinChunkSize(int Value) { FMinChunkSize = Value; }
    /// The default raw writer is made on first use.
    const std::shared_ptr<IHttpResponseBodyWriter>& RawWriter();
    /// An empty value brings the default writer back on the next read.
    void SetRawWriter(std::shared_ptr<IHttpResponseBodyWriter> Value) {
        FRawWriter = std::move(Value);
        FDefaultWriterInUse = false;
    }
    /// A response to HEAD: the framing is decided as usual, body bytes are counted but never
    /// passed to the host, and the host completes the response in SendResponse.
    bool SuppressBody() const { return FSuppressBody; }
    void SetSuppressBody(bool Value) { FSuppressBody = Value; }

    /// Sends AContent as the rest of the body and closes. On an open, unchunked response it
    /// sets "content-length" to its size. Throws rtl::EWriteError when the host stops taking
    /// bytes. Does nothing on a closed response.
    void Close(std::span<const std::uint8_t> AContent);
    void Close(std::string_view AContent) {
        Close(std::span(reinterpret_cast<const std::uint8_t*>(AContent.data()), AContent.size()));
    }
    /// Finishes the body and completes the response (an untouched one gets
    /// "content-length" 0). A body shorter than its content-length turns KeepAlive off, so
    /// the client sees the truncation. Does nothing on a closed response.
    void Close();
    /// Ends a response whose body cannot be completed: no closing chunk, KeepAlive off, so
    /// the host drops the connection and the client sees an incomplete answer. Before the
    /// headers are sent it is Close.
    void Abort();
    /// Adds a handler run just before the headers go out; the newest runs first.
    void OnHeaders(THttpResponseProc Proc) { FOnHeadersProcs.push_back(std::move(Proc)); }

protected:
    /// A new default writer for this response. The response makes its own default writer
    /// without calling this.
    virtual std::shared_ptr<IHttpResponseBodyWriter> CreateRawWriter();
    virtual void EndResponse() = 0;
    virtual void SendResponse() = 0;
    /// Returns how many bytes the host took; 0 means it takes no more.
    virtual int SendBody(const void* PBuf, int BufferSize) = 0;

    /// Runs the OnHeaders handlers, decides chunking and keep-alive, calls SendResponse.
    /// Nothing once the headers are sent.
    void SendHeaders();
    void UpdateDefaultReason();
    /// From this response's Protocol: 1 for "HTTP/1.1", 0 for "HTTP/1.0", else -1.
    int GetMinorVersion() const;
    bool KeepAlive() const { return FKeepAlive; }
    void SetKeepAlive(bool Value) { FKeepAlive = Value; }

private:
    friend class THttpRawResponseStream;
    friend class THttpServerResponseStream;

    void RunOnHeaders();
    /// Chunk framing as sent (frozen when the headers went out), else as currently set.
    bool FramingChunked() const { return FHeadersSent ? FSentChunked : Chunked(); }

    int FStatusCode = 0;
    std::string FStatusReason;
    THttpHeaders FHeaders;
    std::shared_ptr<IHttpResponseBodyWriter> FRawWriter; // Made on first use.
    std::optional<THttpServerResponseStream> FContent;   // Made on first use.
    bool FClosed = false;
    std::string FProtocol = "HTTP/1.1";
    bool FKeepAlive = true;
    bool FHeadersSent = false;
    int FMinChunkSize = 16384;
    std::vector<THttpResponseProc> FOnHeadersProcs; // Run newest first.
    bool FSuppressBody = false;
    bool FRunningOnHeaders = false;
    // Frozen when the headers go out:
    bool FSentChunked = false;
    std::int64_t FSentContentLength = -1; // -1 when chunked or undeclared.
    bool FBodyExpected = false;           // SendBody and EndResponse may follow SendResponse.
    std::int64_t FBodyBytesSent = 0;      // Unchunked body bytes the host has taken.
    bool FDefaultWriterInUse = false;     // FRawWriter is the one RawWriter() made.
};

} // namespace pylon
