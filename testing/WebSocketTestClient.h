// WebSocketTestClient: a small blocking WebSocket client over a real loopback socket for tests:
// connect, opening handshake with optional extra headers, masked frames of any kind (well
// formed or not), frames read with a bounded wait, and the end of the connection observed.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zef::testing {

/// One frame as received (the server never masks).
struct TWSFrame {
    bool Fin = true;
    std::uint8_t Rsv = 0; // The three RSV bits, RSV1 the highest (0x4).
    std::uint8_t Opcode = 0;
    std::string Payload;
    /// Close frames: the code (0 without a payload) and the reason.
    int CloseCode() const;
    std::string CloseReason() const;
};

/// A blocking client. One thread at a time. Every wait is bounded by the timeout given (or
/// DefaultTimeout); nothing in it sleeps.
class TWebSocketTestClient {
public:
    /// Generous: a server under ThreadSanitizer on a loaded machine answers large messages
    /// slowly; the waits end as soon as the bytes are there.
    static constexpr std::chrono::milliseconds DefaultTimeout{60000};

    TWebSocketTestClient() = default;
    TWebSocketTestClient(const TWebSocketTestClient&) = delete;
    TWebSocketTestClient& operator=(const TWebSocketTestClient&) = delete;
    ~TWebSocketTestClient(); // Closes the socket.

    /// Connects to aHost (an IPv4 literal) and aPort (testsupport::ConnectTcp); false when it
    /// cannot.
    bool Connect(const std::string& aHost, std::uint16_t aPort,
                 std::chrono::milliseconds aTimeout = DefaultTimeout);
    /// Sends an upgrade request for aPath (Host, Upgrade, Connection, a random key and version
    /// 13 unless aStandardHeaders is false) plus aExtraHeaders ("Name: value" each), and reads
    /// the response head (up to its blank line). Returns the status (0 when no head arrived);
    /// the head is in ResponseHead(). For 101 the accept key is checked (status -1 when wrong).
    int Handshake(const std::string& aPath, const std::vector<std::string>& aExtraHeaders = {},
                  bool aStandardHeaders = true,
                  std::chrono::milliseconds aTimeout = DefaultTimeout);
    const std::string& ResponseHead() const { return FResponseHead; }
    /// The value of a header of the response head ("" when absent; name case ignored).
    std::string ResponseHeader(std::string_view aName) const;
    /// Connect and Handshake in one; true for a 101 with the right accept key.
    bool Open(std::uint16_t aPort, const std::string& aPath,
              const std::vector<std::string>& aExtraHeaders = {});

    /// Sends one frame; masked with a random key unless aMask is false. Any opcode and RSV
    /// bits, so that malformed frames can be sent too.
    bool SendFrame(std::uint8_t aOpcode, std::string_view aPayload, bool aFin = true,
                   bool aMask = true, std::uint8_t aRsv = 0);
    bool SendText(std::string_view aText) { return SendFrame(0x1, aText); }
    bool SendBinary(std::string_view aData) { return SendFrame(0x2, aData); }
    bool SendPing(std::string_view aData) { return SendFrame(0x9, aData); }
    bool SendPong(std::string_view aData) { return SendFrame(0xA, aData); }
    /// A close frame with aCode (and aReason); aCode 0 sends an empty close frame.
    bool SendClose(int aCode = 1000, std::string_view aReason = {});
    /// Sends bytes as they are (for partial frames and garbage).
    bool SendRaw(std::string_view aBytes);

    /// Reads one frame; nullopt on time-out, on the end of the connection or on a frame that
    /// is not well formed.
    std::optional<TWSFrame> ReadFrame(std::chrono::milliseconds aTimeout = DefaultTimeout);
    /// Reads frames until a data message is complete (continuations assembled; control frames
    /// in between are skipped, pings not answered). The opcode of the message goes to aOpcode.
    std::optional<std::string> ReadMessage(std::uint8_t* aOpcode = nullptr,
                                           std::chrono::milliseconds aTimeout = DefaultTimeout);
    /// Reads exactly aCount raw bytes; nullopt on time-out or end.
    std::optional<std::string> ReadExactly(std::size_t aCount,
                                           std::chrono::milliseconds aTimeout = DefaultTimeout);
    /// Reads until the server ends the connection; the bytes that came before it, or nullopt
    /// on time-out. A reset counts as an end.
    std::optional<std::string> ReadUntilClosed(std::chrono::milliseconds aTimeout = DefaultTimeout);
    /// True when nothing arrives within aWait (bytes that do arrive are kept for the next
    /// read). For "not echoed" checks, follow it with a positive check on the same connection.
    bool NothingWithin(std::chrono::milliseconds aWait);

    /// Shuts the sending side down (the server reads the end of the stream).
    void ShutdownSend();
    /// Closes the socket so that the server sees a reset (linger 0).
    void Reset();
    /// Closes the socket normally.
    void Close();
    bool Connected() const { return FSocket >= 0; }

private:
    bool Fill(std::size_t aCount, std::chrono::steady_clock::time_point aDeadline);

    int FSocket = -1;
    std::string FPending; // Bytes received and not yet taken.
    std::string FResponseHead;
    std::string FHost;
    std::uint16_t FPort = 0;
};

} // namespace zef::testing
