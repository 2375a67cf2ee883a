// zefWebSocket_Extension_Base: the base of the compression extensions and the raw deflate
// streams they drive.
#pragma once

#include "platform/rtl/Stream.h"
#include "websocket/core/zefWebSocket_Types.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct z_stream_s;

namespace zef {

/// Message of an out-of-range window size; %s is the value.
inline constexpr std::string_view SInvalidWindowBits = "Invalid Value for WindowBits %s";
/// The compressed payload could not be inflated.
inline constexpr std::string_view SErrorDeflatingFrame = "Error Deflating Frame.";
/// The payload could not be deflated.
inline constexpr std::string_view SErrorInflatingFrame = "Error Inflating Frame.";

/// Raises TzefWSException with SInvalidWindowBits unless 8 <= Value <= 15.
void CheckWindowBits(int Value);

/// The four bytes a sync flush ends with; senders strip them and receivers put them back.
inline constexpr std::uint8_t DeflateTail[4] = {0x00, 0x00, 0xFF, 0xFF};

/// A persistent raw deflate stream (no zlib header). Messages compressed one after another
/// share the sliding window (context takeover) unless Reset is called in between. One thread at
/// a time.
class TzefDeflater {
public:
    TzefDeflater();
    ~TzefDeflater();
    TzefDeflater(const TzefDeflater&) = delete;
    TzefDeflater& operator=(const TzefDeflater&) = delete;

    /// Opens the stream. A window of 8 bits, which zlib's deflate cannot make, is served with
    /// run-length matches only (every distance is 1), so the output still fits a peer's
    /// 256-byte window. Returns false when zlib refuses.
    bool Init(int Level, int WindowBits, int MemLevel);
    bool Initialized() const { return FStream != nullptr; }
    /// Drops the window: the next message references nothing before it.
    bool Reset();
    /// Compresses aInput with a sync flush and appends the result to aOutput. With aStripTail
    /// the flush's closing 00 00 FF FF is left out (the end of a message). An empty input gives
    /// the single byte 00 when stripped. Returns false on a zlib failure.
    bool Compress(std::span<const std::uint8_t> aInput, std::vector<std::uint8_t>& aOutput,
                  bool aStripTail);

private:
    std::unique_ptr<z_stream_s> FStream; // Open between Init and destruction.
};

enum class TzefInflateResult : std::uint8_t { irOk, irError, irTooBig };

/// A persistent raw inflate stream. Keeps the window across messages unless Reset. A peer that
/// ends its deflate stream (a final block) is followed into its next stream with the window
/// kept, so such peers work with context takeover too. One thread at a time.
class TzefInflater {
public:
    TzefInflater();
    ~TzefInflater();
    TzefInflater(const TzefInflater&) = delete;
    TzefInflater& operator=(const TzefInflater&) = delete;

    /// Opens the stream; a window below 9 bits is opened as 9 (a 9-bit window inflates every
    /// 8-bit stream, and zlib peers asked for 8 bits send 9-bit streams).
    bool Init(int WindowBits);
    bool Initialized() const { return FStream != nullptr; }
    bool Reset();
    /// Inflates aInput and appends the plaintext to aOutput; with aFinal the sync-flush tail
    /// is fed after it. Fails with irTooBig as soon as aOutput would grow beyond aLimit bytes.
    TzefInflateResult Inflate(std::span<const std::uint8_t> aInput, bool aFinal,
                              rtl::TMemoryStream& aOutput, std::size_t aLimit);

private:
    TzefInflateResult Feed(std::span<const std::uint8_t> aInput, rtl::TMemoryStream& aOutput,
                           std::size_t aLimit);
    std::unique_ptr<z_stream_s> FStream;
    int FWindowBits = 15;
    bool FStreamEnded = false; // The peer's final block ended the current message's data.
};

/// Base of the compression extensions. Configuration (Enabled, Mode and the subclass's
/// settings) is copied with Assign; negotiation state lives in a connection's own copy. One
/// connection's reader uses the receive side and its writers (under the connection's write
/// lock) the send side.
class TzefWSExtension_Base {
public:
    TzefWSExtension_Base() = default;
    TzefWSExtension_Base(const TzefWSExtension_Base&) = delete;
    TzefWSExtension_Base& operator=(const TzefWSExtension_Base&) = delete;
    virtual ~TzefWSExtension_Base() = default;

    /// Copies Enabled (and, in subclasses, their settings).
    virtual void Assign(const TzefWSExtension_Base& Source);
    /// "Sec-WebSocket-Extensions: " and the header value.
    virtual std::string GetHeaderExtension();
    /// Whether the offer (one comma-separated item of the header) is accepted.
    virtual bool DecodeExtension(const std::string& aExtension);
    /// Records from a received frame's first byte whether its payload is compressed.
    /// aContinuation tells whether the frame continues a message.
    virtual void DecodeHeader(std::uint8_t aByte, bool aContinuation) = 0;
    /// Sets RSV1 on the first byte of an outgoing frame that carries compressed data.
    virtual void EncodeHeader(std::uint8_t& aByte, TOpcode aOpCode) = 0;
    virtual std::string GetName() const = 0;

    /// Inflates a received payload (the bytes of aData from aFrom on) in place. aFinal marks the
    /// last frame of a message. Throws TzefWSException (SErrorDeflatingFrame) for corrupt data
    /// and TzefWSMessageTooBig when aData would exceed aLimit bytes.
    virtual void InflatePayload(rtl::TMemoryStream& aData, std::size_t aFrom, bool aFinal,
                                std::size_t aLimit) = 0;
    /// Compresses an outgoing payload, appending to aOutput. aFinal marks the last frame of a
    /// message. Throws TzefWSException (SErrorInflatingFrame) on failure.
    virtual void DeflatePayload(std::span<const std::uint8_t> aInput,
                                std::vector<std::uint8_t>& aOutput, bool aFinal) = 0;
    /// Whether the payload of the frame being read is compressed.
    virtual bool MessageCompressed() const = 0;
    /// Inflates a whole received payload in place; false instead of an exception.
    bool DeflateFrame(rtl::TMemoryStream& aStream);
    /// Deflates a whole outgoing payload in place; false instead of an exception.
    bool InflateFrame(rtl::TMemoryStream& aStream);

    bool Active() const { return FActive; }
    void SetActive(bool Value) { FActive = Value; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    TwsApplicationMode Mode() const { return FMode; }
    void SetMode(TwsApplicationMode Value) { FMode = Value; }
    const std::string& HeaderExtension() const { return FHeaderExtension; }

protected:
    bool FActive = false;
    bool FEnabled = false;
    TwsApplicationMode FMode = TwsApplicationMode::appNone;
    std::string FHeaderExtension;
    /// Compressed input copied out of a payload that is inflated in place (reader's thread).
    std::vector<std::uint8_t> FScratch;
};

} // namespace zef
