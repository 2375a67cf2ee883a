// HttpSysTestClient: a blocking loopback HTTP/1.x client for the host's and halden's tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pylon::testing {

/// One parsed answer.
struct THttpReply {
    std::string Protocol;
    int Status = 0;
    std::string Reason;
    std::vector<std::pair<std::string, std::string>> Headers; // Names in lower case.
    std::string Body;
    /// The value of a header, "" when absent.
    std::string Header(std::string_view Name) const;
    bool HasHeader(std::string_view Name) const;
};

/// One TCP connection to 127.0.0.1. Every read gives up after 10 seconds (the test fails
/// instead of hanging).
class THttpTestClient {
public:
    explicit THttpTestClient(std::uint16_t Port);
    THttpTestClient(const THttpTestClient&) = delete;
    THttpTestClient& operator=(const THttpTestClient&) = delete;
    ~THttpTestClient();

    bool Connected() const noexcept { return FSocket >= 0; }
    void Send(std::string_view Bytes);
    /// Reads one answer framed by content-length, chunks, or the end of the connection.
    /// NoBody: an answer to HEAD. Throws std::runtime_error on a malformed or missing answer.
    THttpReply ReadReply(bool NoBody = false);
    /// Whether the server closes the connection within 10 seconds with no further bytes.
    bool WaitClosed();

private:
    bool Fill(); // Reads more bytes into FInput; false at the end or on time-out.
    std::string ReadLine();
    std::string ReadExactly(std::size_t Count);

    int FSocket = -1;
    std::string FInput;
    bool FEnded = false;
};

/// A port on 127.0.0.1 that nothing listened on a moment ago.
std::uint16_t FindFreePort();
/// Whether something accepts TCP connections on 127.0.0.1:Port.
bool PortAcceptsConnections(std::uint16_t Port);

} // namespace pylon::testing
