// WsClientFrame: the client side of WebSocket framing for the load tool (masked frames out,
// unmasked frames in) and the opening handshake's accept key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace wsload {

enum class TOpcode : std::uint8_t {
    opContinuation = 0x0,
    opText = 0x1,
    opBinary = 0x2,
    opClose = 0x8,
    opPing = 0x9,
    opPong = 0xA
};

/// A frame that broke the protocol; the message says what.
class EFrameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// One frame as it arrived. Payload points into the buffer given to ParseFrame.
struct TFrame {
    bool Fin = false;
    bool Compressed = false; // RSV1: the first frame of a compressed message.
    TOpcode Opcode = TOpcode::opContinuation;
    std::span<const std::uint8_t> Payload;
};

/// Largest payload a received frame may announce; larger ones are refused before any byte of
/// them is awaited, so a corrupt length cannot make the reader wait for or buffer gigabytes.
inline constexpr std::uint64_t MaxFramePayload = 64u * 1024 * 1024;

/// Parses one server frame from the start of Buffer. Returns the bytes it takes up, or 0 when
/// Buffer does not yet hold all of it (Frame is then unchanged). Throws EFrameError for a
/// masked frame, reserved bits or opcodes, a fragmented or oversized control frame, a length
/// not in its shortest form, or a payload above MaxFramePayload. With Deflate (permessage-deflate
/// was negotiated) RSV1 is allowed on the first frame of a text or binary message, and only there.
std::size_t ParseFrame(std::span<const std::uint8_t> Buffer, TFrame& Frame, bool Deflate = false);

/// Appends one final client frame: header, the masking key and the payload masked with it;
/// with Compressed, RSV1 set (a compressed text or binary message).
void AppendFrame(std::vector<std::uint8_t>& Out, TOpcode Opcode,
                 std::span<const std::uint8_t> Payload, std::uint32_t MaskKey,
                 bool Compressed = false);

/// Sec-WebSocket-Accept for a Sec-WebSocket-Key: Base64 of the SHA-1 of key and GUID.
std::string AcceptKey(std::string_view Key);

/// Base64 of Data (standard alphabet, padded).
std::string Base64(std::span<const std::uint8_t> Data);

} // namespace wsload
