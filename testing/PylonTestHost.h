// PylonTestHost: an in-memory host for the HTTP server framework that records the exact bytes.
#pragma once

#include "http/framework/Pylon.HttpServer.Context.h"
#include "http/framework/Pylon.HttpServer.Request.h"
#include "http/framework/Pylon.HttpServer.Response.h"
#include "http/framework/Pylon.Logger.h"
#include "platform/rtl/Exception.h"

#include <climits>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pylon::testing {

/// What a failing fake host operation raises.
class ETestHostFailure : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "ETestHostFailure"; }
};

enum class TWireCall : std::uint8_t { SendResponse, SendBody, EndResponse };

struct TWireRecord {
    TWireCall Call;
    std::string Bytes; // SendResponse: status line and headers as rendered; SendBody: the bytes.
    bool KeepAlive;    // The response's setting at the time of the call.
};

/// A response whose host side records every call. SendResponse renders "<protocol> <code>
/// <reason>" CR LF, each header "name: value" CR LF, and CR LF. The fake checks the host
/// contract and notes every breach in Violations; it can take few bytes per call, stop taking
/// after a total, or fail its N-th call.
class TTestHttpResponse : public THttpServerResponse {
public:
    std::vector<TWireRecord> Calls;
    std::vector<std::string> Violations;
    /// SendBody takes at most this many bytes per call.
    int MaxTakePerCall = INT_MAX;
    /// SendBody takes nothing once this many body bytes were taken (-1: no limit).
    std::int64_t TakeLimit = -1;
    /// The host call with this index (0-based, counting every kind) raises ETestHostFailure.
    int FailOnCall = -1;

    /// Every byte handed to the host, in order.
    std::string Wire() const;
    /// The SendBody bytes only.
    std::string Body() const;
    /// The SendResponse bytes of the last successful SendResponse.
    std::string Head() const;
    std::size_t Count(TWireCall Call) const;
    /// The host considers the response complete (after SendResponse without a body, or
    /// after EndResponse).
    bool Completed() const { return FCompleted; }
    bool KeepAliveSetting() const { return KeepAlive(); }
    void SetKeepAliveSetting(bool Value) { SetKeepAlive(Value); }

protected:
    void SendResponse() override;
    int SendBody(const void* PBuf, int BufferSize) override;
    void EndResponse() override;

private:
    void CountCall();

    int FCallIndex = 0;
    bool FHeaderSent = false;
    bool FCompleted = false;
    std::int64_t FTaken = 0;
};

/// A request body over a byte buffer. It can declare a length that differs from the bytes it
/// holds, and deliver at most MaxPerRead bytes per read.
class TTestRequestStream : public THttpRequestStream {
public:
    TTestRequestStream(std::string Bytes, std::int64_t DeclaredLength, int MaxPerRead = INT_MAX)
        : FBytes(std::move(Bytes))
        , FDeclaredLength(DeclaredLength)
        , FMaxPerRead(MaxPerRead) {}

    std::int64_t GetContentLength() override { return FDeclaredLength; }
    int ReadBuffer(void* Buffer, int Count) override;
    /// The largest Count any read asked for.
    int LargestAsk() const { return FLargestAsk; }
    int Reads() const { return FReads; }

private:
    std::string FBytes;
    std::size_t FPosition = 0;
    std::int64_t FDeclaredLength;
    int FMaxPerRead;
    int FLargestAsk = 0;
    int FReads = 0;
};

/// A request body that delivers Total bytes of 'x' without holding them.
class TTestGeneratedStream : public THttpRequestStream {
public:
    TTestGeneratedStream(std::int64_t Total, std::int64_t DeclaredLength)
        : FRemaining(Total)
        , FDeclaredLength(DeclaredLength) {}
    std::int64_t GetContentLength() override { return FDeclaredLength; }
    int ReadBuffer(void* Buffer, int Count) override;

private:
    std::int64_t FRemaining;
    std::int64_t FDeclaredLength;
};

/// One exchange: a request made from method, URL and protocol, and a recording response.
class TTestHttpContext : public THttpServerContext {
public:
    TTestHttpContext(std::string Method, std::string Url, std::string Protocol = "HTTP/1.1");
    TTestHttpResponse& TestResponse() { return FResponse; }

protected:
    THttpServerRequest& GetRequest() override { return FRequest; }
    THttpServerResponse& GetResponse() override { return FResponse; }

private:
    THttpServerRequest FRequest;
    TTestHttpResponse FResponse;
};

/// Collects log lines; safe for concurrent use.
class TTestLogEngine : public ILogEngine {
public:
    void Log(const std::string& Msg) override;
    std::vector<std::string> Lines() const;

private:
    mutable std::mutex FLock;
    std::vector<std::string> FLines; // Guarded by FLock.
};

} // namespace pylon::testing
