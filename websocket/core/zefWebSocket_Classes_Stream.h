// zefWebSocket_Classes_Stream: the frame codec (RFC 6455 reader and writers, Hixie-76,
// server-sent events, raw TCP), the close-and-disconnect procedure and the transport
// primitives every transport supplies.
#pragma once

#include "websocket/core/zefBase_Classes.h"
#include "websocket/core/zefWebSocket_Classes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zef {

// Protocol errors of the reader; each ends the connection with the close code beside it.
inline constexpr std::string_view SUnfragmentedAfterContinuation =
    "Unfragmented message after continuation frame with FIN"; // 1002
inline constexpr std::string_view STextAfterContinuation =
    "OpCode error, received opText after Continuation not finished"; // 1002
inline constexpr std::string_view SBinaryAfterContinuation =
    "OpCode error, received opBinary after Continuation not finished";        // 1002
inline constexpr std::string_view SInvalidOpCode = "Invalid Control OptCode"; // 1002
inline constexpr std::string_view SInvalidRSV =
    "Invalid value of RSV while no Extension Negotiated"; // 1002
inline constexpr std::string_view SControlFragmented =
    "Control Message must not be fragmented";                           // 1002
inline constexpr std::string_view SNotMasked = "Message is not masked"; // 1002
inline constexpr std::string_view SControlTooLong =
    "Control frames are only allowed to have payload up to and including 125 octets"; // 1002
inline constexpr std::string_view SInvalidCloseLength =
    "Invalid Payload length for close code";                                // 1002
inline constexpr std::string_view SInvalidCloseCode = "Invalid close code"; // 1002
inline constexpr std::string_view SInvalidUTF8 = "Invalid UTF8 message";    // 1007
inline constexpr std::string_view SPongMismatch =
    "Received Pong is different from Sent Ping"; // 1000
/// A message (or its inflated form) larger than the connection's MaxMessageSize; 1009.
inline constexpr std::string_view SMessageTooBig = "Message too big";

/// Strict UTF-8 test of the reader: well-formed sequences only, except that a lone 0xF4 as the
/// very last byte is accepted.
bool IsValidUTF8Bytes(std::span<const std::uint8_t> aBytes) noexcept;
/// XORs aData with the 4-byte masking key, starting at key position aOffset % 4. Works a
/// machine word at a time.
void MaskBytes(std::uint8_t* aData, std::size_t aCount, const std::uint8_t aKey[4],
               std::size_t aOffset) noexcept;

/// The assembly state of one message direction on the read side. Reader's thread only.
class TzefWSMsg {
public:
    TzefWSMsg() { Clear(); }
    /// Frees the buffer and resets every field (opcode opNone, state 0).
    void Clear();
    /// Frees only the message buffer.
    void ClearStream() { FStream.reset(); }

    bool Continuation() const { return FContinuation; }
    bool Fragmented() const { return FFragmented; }
    int MaskIndex() const { return FMaskIndex; }
    TOpcode OpCode() const { return FOpCode; }
    TPayload PayLoad() const { return FPayLoad; }
    /// The payload length of the frame being read (64 bits: nothing is cut).
    std::uint64_t PayLoadLength() const { return FPayLoadLength; }
    int PLState() const { return FPLState; }
    bool ReadMasked() const { return FReadMasked; }
    int State() const { return FState; }
    /// The message buffer; created on first use (a memory stream for binary, a text stream
    /// otherwise).
    rtl::TMemoryStream& Stream();
    bool HasStream() const { return FStream != nullptr; }
    std::unique_ptr<rtl::TMemoryStream> TakeStream() { return std::move(FStream); }
    const std::uint8_t* Mask() const { return FMask; }

private:
    friend class TzefWSConnection_Base_Stream;
    bool FContinuation = false;
    bool FFragmented = false;
    int FMaskIndex = 0;
    TOpcode FOpCode = TOpcode::opNone;
    TPayload FPayLoad = TPayload::pa7bits;
    std::uint64_t FPayLoadLength = 0; // Bytes of the frame's payload still to read.
    int FPLState = 0;
    bool FReadMasked = false;
    int FState = 0;
    std::unique_ptr<rtl::TMemoryStream> FStream;
    std::uint8_t FMask[4] = {};
    // Header bytes gathered so far (at most 14) and how many the header needs in all.
    std::uint8_t FHeader[14] = {};
    std::size_t FHeaderHave = 0;
    std::size_t FHeaderNeed = 2;
    std::size_t FFrameStart = 0;  // Where this frame's payload begins in the buffer.
    std::uint64_t FFrameRead = 0; // Payload bytes of this frame read so far.
};

/// One sent ping, remembered for pong matching.
struct TzefPing {
    double Date = 0;
    std::string Text;
};

/// The locked list of remembered pings; owns them. At most MaxPings are kept: the oldest goes
/// first, so a peer that never answers cannot make it grow without end.
class TzefThreadListQueuePings : public TzefThreadList<TzefPing> {
public:
    static constexpr std::size_t MaxPings = 64;
    ~TzefThreadListQueuePings() override { Clear(); }
    void Push(std::unique_ptr<TzefPing> aPing);
    void Clear() override;
    /// Pong check: at the first remembered ping whose text equals aText, frees the oldest
    /// remembered ping and returns true; false when none matches. Sets aEmpty when the list
    /// held no ping at all.
    bool MatchPong(const std::string& aText, bool& aEmpty);
    std::size_t Count() const;
};

/// The framing level of a connection: reader, writers, close procedure. The reader runs on the
/// transport's read thread, one step at a time; writers run on any thread and serialise whole
/// frames on the write lock. The transport primitives are supplied by each transport.
class TzefWSConnection_Base_Stream : public TzefWSConnection {
public:
    TzefWSConnection_Base_Stream();
    ~TzefWSConnection_Base_Stream() override;

    // --- Reading (the transport's read thread) ---
    /// One step of the RFC 6455 reader: a piece of the frame header or one payload chunk.
    /// aRequireMask makes an unmasked frame a protocol error.
    void ReadFrame(bool aRequireMask);
    /// One step of the Hixie-76 reader.
    void ReadHixie76();
    /// The raw-TCP reader: takes every received byte and delivers per TCPEndOfFrameScanBuffer.
    void ReadTCP();
    /// Validates and decodes a text payload; protocol error 1007 when it is not UTF-8.
    virtual void ReadUTF8Text(rtl::TMemoryStream& aStream, std::string& aText);
    /// True when ValidateUTF8 is off, the stream is empty, or its bytes are strict UTF-8.
    bool IsValidUTF8(rtl::TMemoryStream& aStream);
    /// Payload length of the frame being read.
    virtual std::uint64_t GetPayLoadLength();

    // --- Writing (any thread) ---
    void WriteTextFrame(const std::string& aText, TOpcode aOpCode, bool aFragmented);
    void WriteStreamFrame(rtl::TStream& aStream, TOpcode aOpCode, bool aFragmented);
    void WriteTextFragments(const std::string& aText, TOpcode aOpCode, int aSize, bool aContinue);
    void WriteStreamFragments(rtl::TStream& aStream, TOpcode aOpCode, int aSize, bool aContinue);
    void WriteHixie76(const std::string& aText, TOpcode aOpCode);
    void WriteSSE(const std::string& aText);
    void WriteTCP(const std::string& aText);
    void WriteTCP(rtl::TStream& aStream);
    /// First header byte: wire opcode, FIN unless aFragmented, RSV1 where compressed.
    std::uint8_t EncodeFirstByte(TOpcode aOpCode, bool aFragmented);
    /// Length bytes (with the MASK bit when Masked) appended to aHeader.
    void EncodeLength(std::uint64_t aLength, std::vector<std::uint8_t>& aHeader);
    /// Four masking-key bytes from a per-thread generator seeded from the system's entropy.
    void GetMaskingKey(std::uint8_t aKey[4]);

    void DoWriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) override;
    void DoWriteData(rtl::TStream& aStream, int aSize, TwsStreaming aStreaming) override;
    void DoPing(const std::string& aText) override;
    /// Marks disconnected, clears the receive buffer and, on the WebSocket transports, sends
    /// the close frame (at most one per connection).
    void WriteClose(int aCloseCode) override;
    /// The close-and-disconnect procedure; runs once. Throws TzefWSException(aError) after the
    /// transport is dropped when aError is set and RaiseDisconnectExceptions is on.
    void DoDisconnect(const std::string& aError, int aCloseCode) override;
    /// Tears down without a close frame and without an exception.
    void AbortConnection() override;

    // --- Transport primitives ---
    /// Discards received bytes the reader has not taken.
    virtual void ClearReceiveBuffer() = 0;
    /// Sends the handshake response (server classes).
    virtual void DoHandshake() = 0;
    /// Hands one encoded frame to the transport.
    virtual void WriteBytes(std::span<const std::uint8_t> aBytes) = 0;
    virtual void WriteBegin() = 0;
    virtual void WriteFlush() = 0;
    /// Also called when the write failed.
    virtual void WriteEnd() = 0;
    /// Takes up to aCount received bytes into aBytes; fewer only when fewer are there; 0 means
    /// the peer is gone.
    virtual std::size_t ReadBytes(std::uint8_t* aBytes, std::size_t aCount) = 0;
    /// Received bytes not yet taken.
    virtual std::size_t ReadableBytes() = 0;
    /// The transport's read loop: feeds ReadFrame while bytes are there.
    virtual void ReadData(bool aRequireMask) = 0;

    /// Lines of the opening request (line 0: the request line); created on first use.
    TzefHeaderList& HeadersRequest();
    int ReadBufferSize() const { return FReadBufferSize; }
    void SetReadBufferSize(int Value) { FReadBufferSize = Value > 0 ? Value : 1; }
    bool MustDisconnect() const { return FMustDisconnect.load(); }
    void SetMustDisconnect(bool Value) { FMustDisconnect = Value; }
    bool DoDisconnectStarted() const { return FDoDisconnect.load(); }
    /// The data message and control message objects (created on first use).
    TzefWSMsg& WSMessage();
    TzefWSMsg& WSControlCode();
    /// Remembered pings awaiting their pong; created on first use.
    TzefThreadListQueuePings& QueuePingList();

protected:
    /// What a completely read frame does, by opcode and FragmentedMessages.
    virtual void DoFrameComplete();
    void DoReadMessage();
    void DoReadFragment();

private:
    void ProtocolError(std::string_view aMessage, int aCloseCode);
    void ReadHeaderStep(bool aRequireMask);
    bool FirstByte(std::uint8_t aByte);
    bool SecondByte(std::uint8_t aByte, bool aRequireMask);
    void HeaderComplete();
    void ReadPayloadStep();
    void FrameBodyComplete();
    void HandleClose(TzefWSMsg& aMsg);
    void HandlePong(rtl::TMemoryStream& aPayload);
    void WriteFrame(TOpcode aOpCode, bool aFragmented, std::span<const std::uint8_t> aPayload);
    void DeliverTCP(std::span<const std::uint8_t> aBytes);

    std::unique_ptr<TzefWSMsg> FWSMessage;     // Reader's thread.
    std::unique_ptr<TzefWSMsg> FWSControlCode; // Reader's thread.
    TzefWSMsg* FWSMSG = nullptr;               // The current message; not owned.
    int FReadBufferSize = 16384;
    std::unique_ptr<rtl::TMemoryStream> FStream; // Hixie-76 text and raw-TCP buffers.
    /// The buffer of the last delivered data message, kept for the next one (reader's thread).
    std::unique_ptr<rtl::TMemoryStream> FSpareStream;
    static constexpr std::size_t SpareStreamLimit = 1u << 20;
    /// The text of the last delivered text message, kept for the next one (reader's thread).
    std::string FSpareText;
    int FState = 0;                       // Hixie-76 reader state.
    std::vector<std::uint8_t> FTCPBuffer; // Raw-TCP bytes awaiting a delimiter.
    std::atomic<bool> FDoDisconnect{false};
    std::atomic<bool> FMustDisconnect{false};
    std::atomic<bool> FCloseSent{false}; // A close frame went out; never a second one.
    bool FWritingClose = false;          // The close frame itself is being written. Guarded by FCS.
    bool FSSEHeadSent = false; // The event stream's response head went out. Guarded by FCS.
    std::atomic<bool> FCloseReceived{false}; // The peer's close frame must be answered.
    std::mutex FPingListCreate;
    std::unique_ptr<TzefThreadListQueuePings> FQueuePingList; // Created under FPingListCreate.
    std::unique_ptr<TzefHeaderList> FHeadersRequest;
    std::vector<std::uint8_t> FWriteBuffer; // One encoded frame. Guarded by FCS.
    std::vector<std::uint8_t> FDeflated;    // Compressed payload. Guarded by FCS.
};

/// The handshake view of this level; the server's handshake derives from it.
class TzefWSHandshake : public TzefWSHandshake_Base {};

} // namespace zef
