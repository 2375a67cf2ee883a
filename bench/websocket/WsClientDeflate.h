// WsClientDeflate: permessage-deflate for the load tool's client connections: the server's
// answer to the offer, and the compression of each message in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wsload {

/// What the server accepted in answer to the plain offer "permessage-deflate".
struct TDeflateAnswer {
    bool ServerNoContextTakeover = false;
    bool ClientNoContextTakeover = false;
    int ServerMaxWindowBits = 15;
};

/// Parses the value of the server's Sec-WebSocket-Extensions header. Returns an empty string
/// and fills Answer when it accepts permessage-deflate with parameters the offer allows; else
/// says what is wrong (another extension, more than one, an unknown or repeated parameter, a
/// window size outside 8..15, client_max_window_bits, which the offer did not include).
std::string ParseDeflateAnswer(std::string_view Value, TDeflateAnswer& Answer);

/// One connection's compressor (messages sent) and decompressor (messages received). Each keeps
/// its window across messages unless the answer says that side starts afresh every message.
/// Not thread-safe: one connection, one loop thread.
class TMessageDeflate {
public:
    explicit TMessageDeflate(const TDeflateAnswer& Answer);
    ~TMessageDeflate();
    TMessageDeflate(const TMessageDeflate&) = delete;
    TMessageDeflate& operator=(const TMessageDeflate&) = delete;

    /// Appends Message compressed: raw deflate, flushed to a byte boundary, the final empty
    /// stored block's 00 00 FF FF removed.
    void Compress(std::span<const std::uint8_t> Message, std::vector<std::uint8_t>& Out);
    /// Replaces Out with the message a compressed payload holds. Throws EFrameError for data
    /// that does not inflate or a message longer than Limit.
    void Inflate(std::span<const std::uint8_t> Payload, std::vector<std::uint8_t>& Out,
                 std::size_t Limit);

private:
    struct TStreams;
    std::unique_ptr<TStreams> FStreams;
    bool FResetOutgoing;
    bool FResetIncoming;
};

} // namespace wsload
