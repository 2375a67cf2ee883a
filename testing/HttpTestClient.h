// HttpTestClient: a blocking loopback HTTP/1.x client for the tests of the listener, the host and
// the programs. Raw or parsed answers, chunked bodies decoded, every wait bounded.
#pragma once

#include "testing/Loopback.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

/// One parsed answer.
struct THttpReply {
    std::string Protocol;
    int Status = 0;
    std::string Reason;
    std::vector<std::pair<std::string, std::string>> Headers; // Names in lower case.
    std::string Body;                                         // De-chunked.
    /// The value of a header, "" when absent.
    std::string Header(std::string_view Name) const;
    bool HasHeader(std::string_view Name) const;
};

/// Parses a whole answer as THttpTestClient::ReadResponse returns it. Throws
/// std::runtime_error on a malformed status or header line.
THttpReply ParseReply(std::string_view Response);
/// The body of an answer (after the blank line; de-chunked when its transfer coding says so).
std::string ResponseBody(const std::string& Response);
/// The status code of an answer ("HTTP/1.1 200 OK" gives 200), or 0.
int ResponseStatus(const std::string& Response);
/// The value of the first header Name of an answer (name case ignored), or nullopt.
std::optional<std::string> ResponseHeader(const std::string& Response, std::string_view Name);

/// One TCP connection to 127.0.0.1. Movable, not copyable; closes in its destructor. Every wait
/// for the peer (connect, a stalled send, a read) gives up after Wait, so a test fails instead
/// of hanging. One thread at a time.
class THttpTestClient {
public:
    /// Generous: a sanitized server on a loaded machine answers slowly; the waits end as soon as
    /// the bytes are there.
    static constexpr std::chrono::milliseconds Wait{30000};

    explicit THttpTestClient(std::uint16_t aPort);
    THttpTestClient(THttpTestClient&& Other) noexcept;
    THttpTestClient& operator=(THttpTestClient&&) = delete;
    THttpTestClient(const THttpTestClient&) = delete;
    THttpTestClient& operator=(const THttpTestClient&) = delete;
    ~THttpTestClient();

    bool Connected() const noexcept { return FSocket >= 0; }
    /// Whether every byte went out (false once the peer is gone or a send stalls for Wait).
    bool Send(std::string_view Bytes);
    /// True when something (bytes or the end) can be read within Ms milliseconds.
    bool Readable(int Ms);
    /// Reads one answer, as received: head, then Content-Length bytes, or chunks up to the last
    /// one and its trailers, or (with neither) everything until the peer closes. NoBody: an
    /// answer to HEAD. nullopt when the connection ended first or the wait ran out.
    std::optional<std::string> ReadResponse(bool NoBody = false);
    /// ReadResponse, parsed. Throws std::runtime_error when no whole answer came.
    THttpReply ReadReply(bool NoBody = false);
    /// Reads exactly Count bytes.
    std::optional<std::string> ReadExactly(std::size_t Count);
    /// Reads until the peer ends the connection (an orderly end or a reset); nullopt when the
    /// wait ran out.
    std::optional<std::string> ReadToEnd();
    /// Whether the peer ended the connection in order (not with a reset).
    bool EndedCleanly() const noexcept { return FEnded && !FReset; }
    /// Whether the peer ends the connection within Wait with no further bytes.
    bool WaitClosed();
    /// Half-closes (no more requests), closes, or closes with a reset (the client vanishes).
    void ShutdownWrite();
    void Close();
    void Reset();

private:
    bool Fill(); // Reads more into FBuffer; false at the end or on time-out.
    std::optional<std::string> Take(std::size_t Count);

    int FSocket = -1;
    std::string FBuffer; // Received and not yet taken.
    bool FEnded = false;
    bool FReset = false;
};

} // namespace testsupport
