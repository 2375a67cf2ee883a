// Pylon.HttpServer.Request: the request of one exchange, its body stream and host extras.
#pragma once

#include "http/framework/Pylon.Http.Headers.h"
#include "http/framework/Pylon.Security.h"
#include "http/framework/Pylon.Uri.h"
#include "platform/rtl/Exception.h"
#include "platform/rtl/Stream.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pylon {

enum class THttpMethod : std::uint8_t { Other, Get, Post, Put, Delete, Head, Patch, Options };

/// What the host knows about a request beyond the HTTP message.
class IHttpRequestExtraInfo {
public:
    virtual ~IHttpRequestExtraInfo() = default;
    /// The client's address as text.
    virtual std::string RemoteIp() = 0;
};

/// The request body could not be loaded: too large, or shorter than its declared length.
class EHttpContentError : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EHttpContentError"; }
};

inline constexpr std::string_view SRequestStreamCannotSeek =
    "Http request stream cannot change position.";
inline constexpr std::string_view SContentTooLarge =
    "Request body of %s bytes exceeds the limit of %s bytes.";
inline constexpr std::string_view SUndeclaredContentTooLarge =
    "Request body exceeds the limit of %s bytes.";
inline constexpr std::string_view SContentTruncated =
    "Request body ended after %s of %s declared bytes.";

/// Forward-only request body supplied by the host. The position is the count read so far; a
/// seek that would move it throws rtl::EStreamError, writing takes nothing.
class THttpRequestStream : public rtl::TStream {
public:
    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) override;
    /// The declared length, or (when none was declared) the count read so far.
    std::int64_t Size() override;

    /// The declared body length, -1 when none was declared.
    virtual std::int64_t GetContentLength() = 0;
    /// Reads up to Count bytes; 0 when the body is exhausted.
    virtual int ReadBuffer(void* Buffer, int Count) = 0;

private:
    std::int64_t FStreamSize = 0;
};

/// The request of one exchange, filled by the host before dispatching and then read by the
/// framework; the parsed Uri and the loaded Content are made on first use. One worker thread
/// at a time, no lock.
class THttpServerRequest {
public:
    /// Bodies above this many bytes are refused unless the limit is raised per request.
    static constexpr std::int64_t DefaultMaxContentLength = 32 * 1024 * 1024;

    THttpServerRequest() = default;
    THttpServerRequest(const THttpServerRequest&) = delete;
    THttpServerRequest& operator=(const THttpServerRequest&) = delete;

    THttpHeaders& Headers() { return FHeaders; }
    const THttpHeaders& Headers() const { return FHeaders; }
    const std::string& Method() const { return FMethod; }
    void SetMethod(std::string Value) { FMethod = std::move(Value); }
    const std::string& RawUri() const { return FRawUri; }
    /// Also discards the parsed Uri, so the next read parses the new text.
    void SetRawUri(std::string Value);
    const std::string& Protocol() const { return FProtocol; }
    void SetProtocol(std::string Value) { FProtocol = std::move(Value); }
    const TUri& Uri();

    /// The body, loaded on the first call. Grows as bytes arrive (nothing is reserved for a
    /// declared length up front). Throws EHttpContentError, on this and every later call, when
    /// the body is larger than MaxContentLength or ends before its declared length.
    const std::vector<std::uint8_t>& Content();
    /// "content-length" as a decimal number; -1 when absent or not a number.
    std::int64_t ContentLength() const;
    std::int64_t MaxContentLength() const { return FMaxContentLength; }
    /// Takes effect when the body has not been loaded yet.
    void SetMaxContentLength(std::int64_t Value) { FMaxContentLength = Value; }
    /// Method compared exactly, letter case included.
    THttpMethod MethodType() const;
    /// 1 for "HTTP/1.1" and "HTTP/1.0", else -1.
    int MajorVersion() const;
    /// 1 for "HTTP/1.1", 0 for "HTTP/1.0", else -1.
    int MinorVersion() const;
    std::string RemoteIp() const;
    const std::shared_ptr<IHttpRequestExtraInfo>& ExtraInfo() const { return FExtraInfo; }
    void SetExtraInfo(std::shared_ptr<IHttpRequestExtraInfo> Value) {
        FExtraInfo = std::move(Value);
    }
    const std::shared_ptr<IUserIdentity>& User() const { return FUser; }
    void SetUser(std::shared_ptr<IUserIdentity> Value) { FUser = std::move(Value); }
    rtl::TStream* ContentStream() const { return FContentStream.get(); }
    void SetContentStream(std::unique_ptr<rtl::TStream> Value) {
        FContentStream = std::move(Value);
    }

private:
    void LoadContent();

    THttpHeaders FHeaders;
    std::string FMethod;
    std::string FRawUri;
    std::string FProtocol = "HTTP/1.1";
    std::optional<TUri> FUri; // Parsed on first use.
    std::vector<std::uint8_t> FContent;
    bool FContentLoaded = false;
    std::string FContentError; // Why the body could not be loaded; raised on every read.
    std::int64_t FMaxContentLength = DefaultMaxContentLength;
    std::unique_ptr<rtl::TStream> FContentStream;
    std::shared_ptr<IHttpRequestExtraInfo> FExtraInfo;
    std::shared_ptr<IUserIdentity> FUser;
};

/// "content-length" text as a decimal number, -1 when it is not one.
std::int64_t ParseContentLength(std::string_view Text) noexcept;

} // namespace pylon
