// TestClient: a blocking loopback TCP client for the listener's tests. Every wait is bounded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace httpapi::testing {

/// One TCP connection to 127.0.0.1. Not copyable; closes in its destructor.
class TTestClient {
public:
    static constexpr int WaitMs = 30000; // bound on every read (a loaded sanitizer build is slow)

    explicit TTestClient(std::uint16_t Port);
    ~TTestClient();
    TTestClient(const TTestClient&) = delete;
    TTestClient& operator=(const TTestClient&) = delete;

    bool Connected() const noexcept { return FFd >= 0; }
    bool Send(std::string_view Bytes);
    /// True when something (bytes or the end) can be read within Ms milliseconds.
    bool Readable(int Ms);
    /// Reads one response: head, then Content-Length bytes or chunks or (with neither) until
    /// the peer closes. nullopt when the connection ended first or the wait ran out.
    std::optional<std::string> ReadResponse();
    /// Reads exactly Count bytes.
    std::optional<std::string> ReadExactly(std::size_t Count);
    /// Reads until the peer closes (or resets); nullopt when the wait ran out.
    std::optional<std::string> ReadToEnd();
    /// Half-closes (no more requests) or closes the socket.
    void ShutdownWrite();
    void Close();
    /// Closes with a reset.
    void Reset();

private:
    bool Fill(); // reads more into FBuffer; false on close or time-out
    int FFd = -1;
    std::string FBuffer;
    bool FEnded = false;
};

/// The body of a response read by ReadResponse (after the blank line, de-chunked).
std::string ResponseBody(const std::string& Response);
/// The status code of a response ("HTTP/1.1 200 OK" gives 200), or 0.
int ResponseStatus(const std::string& Response);
/// The value of the first header Name in a response, or nullopt.
std::optional<std::string> ResponseHeader(const std::string& Response, std::string_view Name);
/// A port that was free a moment ago (bound to port 0 and released).
std::uint16_t FreePort();
/// Open descriptors of this process.
int OpenDescriptorCount();

} // namespace httpapi::testing
