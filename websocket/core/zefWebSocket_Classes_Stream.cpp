// zefWebSocket_Classes_Stream: the frame codec and the close-and-disconnect procedure.
#include "websocket/core/zefWebSocket_Classes_Stream.h"

#include "platform/rtl/Format.h"
#include "websocket/core/zefBase_Helpers.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>

namespace zef {

bool IsValidUTF8Bytes(std::span<const std::uint8_t> aBytes) noexcept {
    const std::size_t N = aBytes.size();
    std::size_t I = 0;
    auto InRange = [&](std::size_t At, std::uint8_t Low, std::uint8_t High) {
        return At < N && aBytes[At] >= Low && aBytes[At] <= High;
    };
    while (I < N) {
        // Runs of ASCII, the bulk of most text, are passed a machine word at a time.
        for (std::uint64_t Word; I + 8 <= N; I += 8) {
            std::memcpy(&Word, aBytes.data() + I, 8);
            if ((Word & 0x8080808080808080u) != 0) {
                break;
            }
        }
        if (I == N) {
            break;
        }
        std::uint8_t B = aBytes[I];
        if (B < 0x80) {
            ++I;
            continue;
        }
        if (B >= 0xC2 && B <= 0xDF) {
            if (!InRange(I + 1, 0x80, 0xBF)) {
                return false;
            }
            I += 2;
        } else if (B >= 0xE0 && B <= 0xEF) {
            std::uint8_t Low = B == 0xE0 ? 0xA0 : 0x80;
            std::uint8_t High = B == 0xED ? 0x9F : 0xBF;
            if (!InRange(I + 1, Low, High) || !InRange(I + 2, 0x80, 0xBF)) {
                return false;
            }
            I += 3;
        } else if (B >= 0xF0 && B <= 0xF4) {
            if (B == 0xF4 && I + 1 == N) {
                return true; // A lone 0xF4 as the very last byte is accepted.
            }
            std::uint8_t Low = B == 0xF0 ? 0x90 : 0x80;
            std::uint8_t High = B == 0xF4 ? 0x8F : 0xBF;
            if (!InRange(I + 1, Low, High) || !InRange(I + 2, 0x80, 0xBF) ||
                !InRange(I + 3, 0x80, 0xBF)) {
                return false;
            }
            I += 4;
        } else {
            return false;
        }
    }
    return true;
}

void MaskBytes(std::uint8_t* aData, std::size_t aCount, const std::uint8_t aKey[4],
               std::size_t aOffset) noexcept {
    // The key as it lines up with aData[0]: byte I is aKey[(aOffset + I) % 4], the key word
    // rotated by aOffset bytes.
    std::uint32_t Word;
    std::memcpy(&Word, aKey, sizeof Word);
    const int Shift = int(aOffset & 3) * 8;
    if constexpr (std::endian::native == std::endian::little) {
        Word = std::rotr(Word, Shift);
    } else {
        Word = std::rotl(Word, Shift);
    }
    std::uint8_t Key[4];
    std::memcpy(Key, &Word, sizeof Key);
    // Sixteen bytes at a time as one vector (SSE2 on x86-64; the compiler splits it where the
    // machine has no such registers).
    using TBlock = std::uint32_t __attribute__((vector_size(16)));
    const TBlock Pattern = {Word, Word, Word, Word};
    std::size_t I = 0;
    for (; I + 64 <= aCount; I += 64) {
        // Four named blocks, not an array: the compiler kept a copy of an array on the stack.
        TBlock W0, W1, W2, W3;
        std::memcpy(&W0, aData + I, sizeof W0);
        std::memcpy(&W1, aData + I + 16, sizeof W1);
        std::memcpy(&W2, aData + I + 32, sizeof W2);
        std::memcpy(&W3, aData + I + 48, sizeof W3);
        W0 ^= Pattern;
        W1 ^= Pattern;
        W2 ^= Pattern;
        W3 ^= Pattern;
        std::memcpy(aData + I, &W0, sizeof W0);
        std::memcpy(aData + I + 16, &W1, sizeof W1);
        std::memcpy(aData + I + 32, &W2, sizeof W2);
        std::memcpy(aData + I + 48, &W3, sizeof W3);
    }
    for (; I + 16 <= aCount; I += 16) {
        TBlock W;
        std::memcpy(&W, aData + I, sizeof W);
        W ^= Pattern;
        std::memcpy(aData + I, &W, sizeof W);
    }
    for (; I + 4 <= aCount; I += 4) {
        std::uint32_t W;
        std::memcpy(&W, aData + I, sizeof W);
        W ^= Word;
        std::memcpy(aData + I, &W, sizeof W);
    }
    for (; I < aCount; ++I) {
        aData[I] ^= Key[I & 3];
    }
}

void TzefWSMsg::Clear() {
    FStream.reset();
    FContinuation = false;
    FFragmented = false;
    FMaskIndex = 0;
    FPayLoadLength = 0;
    FPLState = 0;
    FState = 0;
    FPayLoad = TPayload::pa7bits;
    FReadMasked = false;
    FOpCode = TOpcode::opNone;
    FFrameStart = 0;
    FFrameRead = 0;
}

rtl::TMemoryStream& TzefWSMsg::Stream() {
    if (!FStream) {
        if (FOpCode == TOpcode::opBinary) {
            FStream = std::make_unique<rtl::TMemoryStream>();
        } else {
            FStream = std::make_unique<TzefStringStream>();
        }
    }
    return *FStream;
}

void TzefThreadListQueuePings::Push(std::unique_ptr<TzefPing> aPing) {
    std::scoped_lock Lock(FLock);
    if (FList.size() >= MaxPings) {
        std::unique_ptr<TzefPing> Oldest(FList.front());
        FList.erase(FList.begin());
    }
    FList.push_back(aPing.release()); // Owned by the list: freed by Clear or MatchPong.
}

void TzefThreadListQueuePings::Clear() {
    std::scoped_lock Lock(FLock);
    for (TzefPing* Ping : FList) {
        std::unique_ptr<TzefPing> Owned(Ping);
    }
    FList.clear();
}

bool TzefThreadListQueuePings::MatchPong(const std::string& aText, bool& aEmpty) {
    std::scoped_lock Lock(FLock);
    aEmpty = FList.empty();
    for (TzefPing* Ping : FList) {
        if (Ping->Text == aText) {
            // The oldest remembered ping goes, not necessarily the matching one: pongs answer
            // pings in order, so the oldest is the one this pong stands for.
            std::unique_ptr<TzefPing> Oldest(FList.front());
            FList.erase(FList.begin());
            return true;
        }
    }
    return false;
}

std::size_t TzefThreadListQueuePings::Count() const {
    std::scoped_lock Lock(FLock);
    return FList.size();
}

TzefWSConnection_Base_Stream::TzefWSConnection_Base_Stream() = default;

TzefWSConnection_Base_Stream::~TzefWSConnection_Base_Stream() = default;

TzefHeaderList& TzefWSConnection_Base_Stream::HeadersRequest() {
    if (!FHeadersRequest) {
        FHeadersRequest = std::make_unique<TzefHeaderList>();
    }
    return *FHeadersRequest;
}

TzefWSMsg& TzefWSConnection_Base_Stream::WSMessage() {
    if (!FWSMessage) {
        FWSMessage = std::make_unique<TzefWSMsg>();
    }
    return *FWSMessage;
}

TzefWSMsg& TzefWSConnection_Base_Stream::WSControlCode() {
    if (!FWSControlCode) {
        FWSControlCode = std::make_unique<TzefWSMsg>();
    }
    return *FWSControlCode;
}

TzefThreadListQueuePings& TzefWSConnection_Base_Stream::QueuePingList() {
    std::scoped_lock Lock(FPingListCreate);
    if (!FQueuePingList) {
        FQueuePingList = std::make_unique<TzefThreadListQueuePings>();
    }
    return *FQueuePingList;
}

std::uint64_t TzefWSConnection_Base_Stream::GetPayLoadLength() {
    return FWSMSG ? FWSMSG->FPayLoadLength : 0;
}

void TzefWSConnection_Base_Stream::ProtocolError(std::string_view aMessage, int aCloseCode) {
    DoDisconnect(std::string(aMessage), aCloseCode);
}

// ---------------------------------------------------------------------------------------------
// Reader

void TzefWSConnection_Base_Stream::ReadFrame(bool aRequireMask) {
    if (!FWSMSG) {
        if (Disconnected()) {
            return;
        }
        FWSMSG = &WSMessage();
    }
    switch (FWSMSG->FState) {
    case 0:
    case 1:
    case 2:
    case 3:
        ReadHeaderStep(aRequireMask);
        break;
    case 4:
        ReadPayloadStep();
        break;
    default:
        SetDisconnected(true);
        break;
    }
}

void TzefWSConnection_Base_Stream::ReadHeaderStep(bool aRequireMask) {
    // The header is gathered in as few reads as the transport allows, but never beyond its
    // own end: the first two bytes tell how many more belong to it. When the transport holds
    // the rest already, the whole header is taken in this one step.
    for (;;) {
        TzefWSMsg& Header = *FWSMSG;
        std::size_t From = Header.FHeaderHave;
        std::size_t Got = ReadBytes(Header.FHeader + From, Header.FHeaderNeed - From);
        if (Got == 0) {
            SetDisconnected(true);
            return;
        }
        std::size_t Have = From + Got;
        Header.FHeaderHave = Have;
        if (From == 0) {
            std::uint8_t Bytes[14];
            std::memcpy(Bytes, Header.FHeader, Have);
            Header.FHeaderHave = 0;
            if (!FirstByte(Bytes[0])) {
                return;
            }
            // The first byte may have switched the current message; the header moves with it.
            std::memcpy(FWSMSG->FHeader, Bytes, Have);
            FWSMSG->FHeaderHave = Have;
            FWSMSG->FHeaderNeed = 2;
        }
        TzefWSMsg& M = *FWSMSG;
        if (From <= 1 && Have >= 2) {
            if (!SecondByte(M.FHeader[1], aRequireMask)) {
                return;
            }
        }
        if (M.FHeaderHave >= 2 && M.FHeaderHave == M.FHeaderNeed) {
            HeaderComplete();
            return;
        }
        if (ReadableBytes() == 0 || Disconnected() || MustDisconnect()) {
            return;
        }
    }
}

bool TzefWSConnection_Base_Stream::FirstByte(std::uint8_t aByte) {
    SetCloseCode(0);
    SetCloseReason("");
    FWSMSG->FContinuation = false;
    TzefWSMsg& Data = WSMessage();
    std::uint8_t Code = aByte & 0x0F;
    switch (Code) {
    case 0x0:
        FWSMSG = &Data;
        Data.FContinuation = true;
        if (Data.FOpCode == TOpcode::opNone) {
            ProtocolError(SUnfragmentedAfterContinuation, 1002);
            return false;
        }
        break;
    case 0x1:
    case 0x2:
        // A data message still waiting for its continuation frames may not be interrupted by
        // a new one (a control frame in between does not finish it).
        if (Data.FOpCode != TOpcode::opNone && Data.FFragmented) {
            ProtocolError(Code == 0x1 ? STextAfterContinuation : SBinaryAfterContinuation, 1002);
            return false;
        }
        Data.FOpCode = Code == 0x1 ? TOpcode::opText : TOpcode::opBinary;
        FWSMSG = &Data;
        break;
    case 0x8:
    case 0x9:
    case 0xA:
        WSControlCode().FOpCode = TOpcode(Code);
        FWSMSG = &WSControlCode();
        break;
    default:
        ProtocolError(SInvalidOpCode, 1002);
        return false;
    }
    TzefWSMsg& M = *FWSMSG;
    M.FFragmented = (aByte & 0x80) == 0;
    bool Control = IsControlOpCode(M.FOpCode);
    if (!M.FContinuation && (aByte & 0x70) != 0) {
        // Extensions define RSV1 only, and never for control frames.
        if (!Extensions().ExtensionNegotiated() || (aByte & 0x30) != 0 || Control) {
            ProtocolError(SInvalidRSV, 1002);
            return false;
        }
    }
    Extensions().DecodeHeader(aByte, M.FContinuation);
    if (M.FFragmented && Control) {
        ProtocolError(SControlFragmented, 1002);
        return false;
    }
    M.FState = 1;
    return true;
}

bool TzefWSConnection_Base_Stream::SecondByte(std::uint8_t aByte, bool aRequireMask) {
    TzefWSMsg& M = *FWSMSG;
    M.FReadMasked = true;
    if ((aByte & 0x80) == 0) {
        if (aRequireMask) {
            ProtocolError(SNotMasked, 1002);
            return false;
        }
        M.FReadMasked = false;
    }
    M.FMaskIndex = 0;
    M.FPLState = 0;
    std::uint8_t Length = aByte & 0x7F;
    std::size_t Extended = 0;
    if (Length < 126) {
        M.FPayLoad = TPayload::pa7bits;
        M.FPayLoadLength = Length;
    } else {
        M.FPayLoad = Length == 126 ? TPayload::pa16bits : TPayload::pa64bits;
        Extended = Length == 126 ? 2 : 8;
        if (IsControlOpCode(M.FOpCode)) {
            ProtocolError(SControlTooLong, 1002);
            return false;
        }
    }
    M.FHeaderNeed = 2 + Extended + (M.FReadMasked ? 4 : 0);
    M.FState = Extended ? 2 : (M.FReadMasked ? 3 : 4);
    return true;
}

void TzefWSConnection_Base_Stream::HeaderComplete() {
    TzefWSMsg& M = *FWSMSG;
    std::size_t At = 2;
    if (M.FPayLoad != TPayload::pa7bits) {
        std::size_t Count = M.FPayLoad == TPayload::pa16bits ? 2 : 8;
        std::uint64_t Length = 0;
        for (std::size_t I = 0; I < Count; ++I) {
            Length = (Length << 8) | M.FHeader[At + I];
        }
        M.FPayLoadLength = Length;
        M.FPLState = int(Count);
        At += Count;
    }
    if (M.FReadMasked) {
        std::memcpy(M.FMask, M.FHeader + At, 4);
        M.FMaskIndex = 3;
    }
    M.FHeaderHave = 0;
    M.FHeaderNeed = 2;
    // The whole message, not just this frame, must fit the limit (every 64-bit length with
    // its top bit set is far beyond it).
    std::size_t Buffered = M.HasStream() ? std::size_t(M.Stream().Size()) : 0;
    if (M.FPayLoadLength > MaxMessageSize() || Buffered + M.FPayLoadLength > MaxMessageSize()) {
        ProtocolError(SMessageTooBig, 1009);
        return;
    }
    M.FFrameStart = Buffered;
    M.FFrameRead = 0;
    if (M.FPayLoadLength > 0 && !IsControlOpCode(M.FOpCode)) {
        // A data message reuses the buffer of the previous one, and room for its first frame is
        // taken at once (within the limit checked above), so that payload is never moved.
        if (!M.HasStream() && FSpareStream) {
            M.FStream = std::move(FSpareStream);
        }
        // Continuation frames grow the buffer geometrically instead: an exact reservation per
        // frame would copy the message again for every small fragment.
        if (Buffered == 0) {
            M.Stream().Reserve(std::int64_t(M.FPayLoadLength));
        }
    }
    if (M.FPayLoadLength == 0) {
        FrameBodyComplete();
        return;
    }
    M.FState = 4;
}

void TzefWSConnection_Base_Stream::ReadPayloadStep() {
    TzefWSMsg& M = *FWSMSG;
    std::size_t Available = ReadableBytes();
    // Ask for what is there (the buffer is grown by exactly that), or for a chunk of
    // FReadBufferSize when the transport cannot tell.
    std::size_t Want = std::size_t(std::min<std::uint64_t>(
        M.FPayLoadLength, Available > 0 ? Available : std::size_t(FReadBufferSize)));
    rtl::TMemoryStream& Stream = M.Stream();
    std::size_t Old = std::size_t(Stream.Size());
    // Received bytes land in the message buffer directly (room not zero-filled first) and are
    // unmasked there.
    std::uint8_t* Room = Stream.Extend(std::int64_t(Want));
    std::size_t Got = ReadBytes(Room, Want);
    if (Got < Want) {
        Stream.SetSize(std::int64_t(Old + Got));
    }
    if (Got == 0) {
        SetDisconnected(true);
        return;
    }
    if (M.FReadMasked) {
        MaskBytes(Room, Got, M.FMask, std::size_t(M.FFrameRead));
    }
    M.FFrameRead += Got;
    M.FPayLoadLength -= Got;
    if (M.FPayLoadLength == 0) {
        FrameBodyComplete();
    }
}

void TzefWSConnection_Base_Stream::FrameBodyComplete() {
    TzefWSMsg& M = *FWSMSG;
    M.FPayLoadLength = M.FFrameRead;
    if (M.FOpCode == TOpcode::opClose) {
        HandleClose(M);
        return;
    }
    if (!IsControlOpCode(M.FOpCode) && Extensions().MessageCompressed()) {
        try {
            Extensions().ReadPayload(M.Stream(), M.FFrameStart, !M.FFragmented, MaxMessageSize());
        } catch (const TzefWSMessageTooBig&) {
            ProtocolError(SMessageTooBig, 1009);
            return;
        }
    }
    M.FPayLoadLength = 0;
    if (Connected()) {
        DoFrameComplete();
    }
}

void TzefWSConnection_Base_Stream::HandleClose(TzefWSMsg& aMsg) {
    FCloseReceived = true;
    std::span<const std::uint8_t> Payload;
    if (aMsg.HasStream()) {
        Payload = aMsg.Stream().Bytes();
    }
    if (Payload.size() == 1) {
        aMsg.Clear();
        ProtocolError(SInvalidCloseLength, 1002);
        return;
    }
    if (Payload.size() >= 2) {
        int Code = Payload[0] * 256 + Payload[1];
        SetCloseCode(Code);
        // A reason does not exempt the code from the RFC's rules.
        bool Valid = (Code >= 1000 && Code <= 1003) || (Code >= 1007 && Code <= 1011) ||
                     (Code >= 3000 && Code <= 4999);
        if (!Valid) {
            aMsg.Clear();
            ProtocolError(SInvalidCloseCode, 1002);
            return;
        }
        if (Payload.size() > 2) {
            TzefStringStream Reason;
            Reason.WriteAll(Payload.data() + 2, std::int64_t(Payload.size() - 2));
            Reason.SetPosition(0);
            std::string Text;
            aMsg.Clear();
            ReadUTF8Text(Reason, Text);
            if (FDoDisconnect) {
                return;
            }
            SetCloseReason(std::move(Text));
        }
    }
    aMsg.Clear();
    DoDisconnect("", 1000);
}

void TzefWSConnection_Base_Stream::DoFrameComplete() {
    TzefWSMsg& M = *FWSMSG;
    if (IsControlOpCode(M.FOpCode)) {
        DoReadMessage();
        return;
    }
    switch (FragmentedMessages()) {
    case TwsFragmentedMessages::frgOnlyBuffer:
        if (M.FFragmented) {
            M.FState = 0;
            M.FPLState = 0;
        } else {
            DoReadMessage();
        }
        break;
    case TwsFragmentedMessages::frgOnlyFragmented:
        DoReadFragment();
        break;
    case TwsFragmentedMessages::frgAll:
        DoReadFragment();
        if (!M.FFragmented) {
            DoReadMessage();
        }
        break;
    }
}

void TzefWSConnection_Base_Stream::DoReadFragment() {
    TzefWSMsg& M = *FWSMSG;
    TOpcode OpCode = M.FOpCode;
    bool More = M.FFragmented;
    M.FState = 0;
    M.FPLState = 0;
    if (FragmentedMessages() == TwsFragmentedMessages::frgOnlyFragmented) {
        // Each fragment is delivered alone; the message object is ready for the next frame
        // (and, after the last fragment, for the next message) before the handler runs.
        std::unique_ptr<rtl::TMemoryStream> Fragment = M.TakeStream();
        if (!More) {
            M.Clear();
        }
        if (!Fragment) {
            Fragment = std::make_unique<rtl::TMemoryStream>();
        }
        Fragment->SetPosition(0);
        DoFragmented(*Fragment, OpCode, More);
        return;
    }
    rtl::TMemoryStream& Buffer = M.Stream();
    Buffer.SetPosition(0);
    DoFragmented(Buffer, OpCode, More);
}

void TzefWSConnection_Base_Stream::DoReadMessage() {
    TzefWSMsg& M = *FWSMSG;
    TOpcode OpCode = M.FOpCode;
    // The message object is reset before any handler runs, so that a throwing handler leaves
    // the reader ready for the next frame.
    std::unique_ptr<rtl::TMemoryStream> Buffer = M.TakeStream();
    if (!Buffer) {
        Buffer = std::make_unique<TzefStringStream>();
    }
    Buffer->SetPosition(0);
    if (OpCode == TOpcode::opPong) {
        HandlePong(*Buffer);
        M.Clear();
        return;
    }
    M.Clear();
    switch (OpCode) {
    case TOpcode::opText: {
        // The delivered text reuses the room of the previous one, as the buffer does.
        std::string Text = std::move(FSpareText);
        ReadUTF8Text(*Buffer, Text);
        if (!FDoDisconnect) {
            DoMessage(Text);
        }
        if (Text.capacity() <= SpareStreamLimit) {
            Text.clear();
            FSpareText = std::move(Text);
        }
        break;
    }
    case TOpcode::opBinary:
        DoBinary(*Buffer);
        break;
    case TOpcode::opClose:
        DoDisconnect("", 1000);
        break;
    case TOpcode::opPing:
        WriteFrame(TOpcode::opPong, false, Buffer->Bytes());
        break;
    default:
        break;
    }
    // Buffers of ordinary messages are kept for the next one; a rare large one is let go.
    if (!IsControlOpCode(OpCode) && Buffer->Size() <= std::int64_t(SpareStreamLimit)) {
        Buffer->SetSize(0);
        FSpareStream = std::move(Buffer);
    }
}

void TzefWSConnection_Base_Stream::HandlePong(rtl::TMemoryStream& aPayload) {
    SetLastPong(Now());
    if (QueuePingList().Count() == 0) {
        return; // An unsolicited pong is ignored.
    }
    std::string Text;
    ReadUTF8Text(aPayload, Text);
    if (FDoDisconnect) {
        return;
    }
    bool Empty = false;
    if (QueuePingList().MatchPong(Text, Empty)) {
        SetPong(std::move(Text));
    } else if (!Empty) {
        DoDisconnect(std::string(SPongMismatch), 1000);
    }
}

bool TzefWSConnection_Base_Stream::IsValidUTF8(rtl::TMemoryStream& aStream) {
    return !ValidateUTF8() || aStream.Size() == 0 || IsValidUTF8Bytes(aStream.Bytes());
}

void TzefWSConnection_Base_Stream::ReadUTF8Text(rtl::TMemoryStream& aStream, std::string& aText) {
    if (!IsValidUTF8(aStream)) {
        aText.clear();
        ProtocolError(SInvalidUTF8, 1007);
        return;
    }
    aText.assign(aStream.View());
    // Validation lets a lone 0xF4 end the payload; decoding drops that cut-off sequence, so
    // the text handed on (and echoed) is UTF-8. The last byte of a whole sequence is never 0xF4.
    if (ValidateUTF8() && !aText.empty() && static_cast<std::uint8_t>(aText.back()) == 0xF4) {
        aText.pop_back();
    }
}

// ---------------------------------------------------------------------------------------------
// Hixie-76 and raw TCP readers

void TzefWSConnection_Base_Stream::ReadHixie76() {
    std::uint8_t Byte = 0;
    if (ReadBytes(&Byte, 1) == 0) {
        SetDisconnected(true);
        return;
    }
    if (FState == 0) {
        if (Byte == 0x00) {
            FState = 1;
        } else if (Byte == 0xFF) {
            // The closing 0xFF 0x00 may arrive in two reads: wait for its second byte.
            FState = 2;
        }
        return;
    }
    if (FState == 2) {
        FState = 0;
        if (Byte == 0x00) {
            WriteHixie76("", TOpcode::opClose);
        }
        return;
    }
    if (!FStream) {
        FStream = std::make_unique<TzefStringStream>();
    }
    if (Byte != 0xFF) {
        if (std::size_t(FStream->Size()) >= MaxMessageSize()) {
            FStream.reset();
            FState = 0;
            ProtocolError(SMessageTooBig, 1009);
            return;
        }
        FStream->WriteAll(&Byte, 1);
        return;
    }
    std::unique_ptr<rtl::TMemoryStream> Text = std::move(FStream);
    FState = 0;
    Text->SetPosition(0);
    std::string Message;
    ReadUTF8Text(*Text, Message);
    if (!FDoDisconnect) {
        DoMessage(Message);
    }
}

void TzefWSConnection_Base_Stream::DeliverTCP(std::span<const std::uint8_t> aBytes) {
    rtl::TMemoryStream Message;
    Message.WriteAll(aBytes.data(), std::int64_t(aBytes.size()));
    Message.SetPosition(0);
    DoBinary(Message);
}

void TzefWSConnection_Base_Stream::ReadTCP() {
    std::size_t Count = std::max<std::size_t>(ReadableBytes(), 1);
    std::vector<std::uint8_t> Chunk(Count);
    std::size_t Got = ReadBytes(Chunk.data(), Count);
    if (Got == 0) {
        SetDisconnected(true);
        return;
    }
    Chunk.resize(Got);
    const std::vector<std::uint8_t>& Delimiter = TCPEndOfFrame();
    TtcpEOFScanBuffer Scan = TCPEndOfFrameScanBuffer();
    // Without a delimiter nothing could ever end a message: every chunk is one.
    if (Scan == TtcpEOFScanBuffer::eofScanNone || Delimiter.empty()) {
        DeliverTCP(Chunk);
        return;
    }
    if (Scan == TtcpEOFScanBuffer::eofScanLatestBytes) {
        if (!FStream) {
            FStream = std::make_unique<rtl::TMemoryStream>();
        }
        if (std::size_t(FStream->Size()) + Got > MaxMessageSize()) {
            FStream.reset();
            ProtocolError(SMessageTooBig, 1009);
            return;
        }
        FStream->WriteAll(Chunk.data(), std::int64_t(Got));
        if (Got >= Delimiter.size() && std::equal(Delimiter.begin(), Delimiter.end(),
                                                  Chunk.end() - std::ptrdiff_t(Delimiter.size()))) {
            std::unique_ptr<rtl::TMemoryStream> Message = std::move(FStream);
            Message->SetPosition(0);
            DoBinary(*Message);
        }
        return;
    }
    if (FTCPBuffer.size() + Got > MaxMessageSize()) {
        FTCPBuffer.clear();
        ProtocolError(SMessageTooBig, 1009);
        return;
    }
    FTCPBuffer.insert(FTCPBuffer.end(), Chunk.begin(), Chunk.end());
    // Every complete message in the buffer is delivered; the rest waits for more bytes.
    for (;;) {
        auto Found =
            std::search(FTCPBuffer.begin(), FTCPBuffer.end(), Delimiter.begin(), Delimiter.end());
        if (Found == FTCPBuffer.end()) {
            break;
        }
        std::size_t End = std::size_t(Found - FTCPBuffer.begin()) + Delimiter.size();
        std::vector<std::uint8_t> Message(FTCPBuffer.begin(),
                                          FTCPBuffer.begin() + std::ptrdiff_t(End));
        FTCPBuffer.erase(FTCPBuffer.begin(), FTCPBuffer.begin() + std::ptrdiff_t(End));
        DeliverTCP(Message);
    }
}

// ---------------------------------------------------------------------------------------------
// Writers

std::uint8_t TzefWSConnection_Base_Stream::EncodeFirstByte(TOpcode aOpCode, bool aFragmented) {
    std::uint8_t Byte = std::uint8_t(aOpCode) & 0x0F;
    if (!aFragmented) {
        Byte |= 0x80;
    }
    if (!IsControlOpCode(aOpCode)) {
        Extensions().EncodeHeader(Byte, aOpCode);
    }
    return Byte;
}

void TzefWSConnection_Base_Stream::EncodeLength(std::uint64_t aLength,
                                                std::vector<std::uint8_t>& aHeader) {
    std::uint8_t MaskBit = Masked() ? 0x80 : 0x00;
    if (aLength < 126) {
        aHeader.push_back(std::uint8_t(MaskBit | aLength));
    } else if (aLength <= 0xFFFF) {
        aHeader.push_back(MaskBit | 126);
        aHeader.push_back(std::uint8_t(aLength >> 8));
        aHeader.push_back(std::uint8_t(aLength));
    } else {
        aHeader.push_back(MaskBit | 127);
        for (int Shift = 56; Shift >= 0; Shift -= 8) {
            aHeader.push_back(std::uint8_t(aLength >> Shift));
        }
    }
}

void TzefWSConnection_Base_Stream::GetMaskingKey(std::uint8_t aKey[4]) {
    thread_local std::mt19937 Generator{std::random_device{}()};
    std::uint32_t Value = Generator();
    std::memcpy(aKey, &Value, 4);
}

namespace {

// Releases the write lock and ends the buffered write however the frame write ends.
class TWriteScope {
public:
    explicit TWriteScope(TzefWSConnection_Base_Stream& aConnection, bool aLock)
        : FConnection(aConnection)
        , FLock(aLock) {
        if (FLock) {
            FConnection.EnterCS(); // Left in the destructor.
        }
        try {
            FConnection.WriteBegin();
        } catch (...) {
            if (FLock) {
                FConnection.LeaveCS();
            }
            throw;
        }
    }
    ~TWriteScope() {
        try {
            FConnection.WriteEnd();
        } catch (...) {
            // The write's own outcome is what the caller learns.
        }
        if (FLock) {
            FConnection.LeaveCS();
        }
    }
    TWriteScope(const TWriteScope&) = delete;
    TWriteScope& operator=(const TWriteScope&) = delete;

private:
    TzefWSConnection_Base_Stream& FConnection;
    bool FLock;
};

std::string WriteErrorText(const std::exception& E) {
    return rtl::FormatText(SErrorWritingMessage, {E.what()});
}

std::span<const std::uint8_t> TextBytes(const std::string& aText) {
    return {reinterpret_cast<const std::uint8_t*>(aText.data()), aText.size()};
}

// One application write as frames, by its streaming step. Frame(OpCode, More) sends the payload
// as one frame; Fragments(OpCode, Size, Continue) cuts it into frames of Size bytes. Fits: the
// payload needs no cutting. The first piece of a message carries the message's own opcode.
template <class TFrame, class TFragments>
void WriteByStreaming(TwsStreaming aStreaming, bool Fits, TOpcode aOpCode, int aSize, TFrame Frame,
                      TFragments Fragments) {
    switch (aStreaming) {
    case TwsStreaming::stmNone:
        if (Fits) {
            Frame(aOpCode, false);
        } else {
            Fragments(aOpCode, aSize, false);
        }
        break;
    case TwsStreaming::stmFirst:
        Frame(aOpCode, true);
        break;
    case TwsStreaming::stmContinue:
        Frame(TOpcode::opContinuation, true);
        break;
    case TwsStreaming::stmLast:
        Frame(TOpcode::opContinuation, false);
        break;
    case TwsStreaming::stmContinueAndLast:
        if (Fits) {
            Frame(TOpcode::opContinuation, false);
        } else {
            Fragments(aOpCode, aSize, true);
        }
        break;
    }
}

} // namespace

void TzefWSConnection_Base_Stream::WriteFrame(TOpcode aOpCode, bool aFragmented,
                                              std::span<const std::uint8_t> aPayload) {
    if (IsControlOpCode(aOpCode) && aPayload.size() > 125) {
        throw TzefWSException(std::string(SControlTooLong));
    }
    TWriteScope Scope(*this, true);
    // Nothing may follow a close frame; later writes are dropped like those made before the
    // handshake. Tested under the write lock, so no frame slips in after the close.
    if (FCloseSent && !FWritingClose) {
        return;
    }
    try {
        std::span<const std::uint8_t> Body = aPayload;
        if (!IsControlOpCode(aOpCode) && Extensions().Compression()) {
            FDeflated.clear();
            Extensions().WritePayload(aPayload, FDeflated, !aFragmented);
            Body = FDeflated;
        }
        FWriteBuffer.clear();
        FWriteBuffer.reserve(Body.size() + 14); // The longest header is 14 bytes.
        FWriteBuffer.push_back(EncodeFirstByte(aOpCode, aFragmented));
        EncodeLength(Body.size(), FWriteBuffer);
        std::size_t At = FWriteBuffer.size();
        if (Masked()) {
            std::uint8_t Key[4];
            GetMaskingKey(Key);
            FWriteBuffer.insert(FWriteBuffer.end(), Key, Key + 4);
            At += 4;
            FWriteBuffer.insert(FWriteBuffer.end(), Body.begin(), Body.end());
            MaskBytes(FWriteBuffer.data() + At, Body.size(), Key, 0);
        } else {
            FWriteBuffer.insert(FWriteBuffer.end(), Body.begin(), Body.end());
        }
        WriteBytes(FWriteBuffer);
        WriteFlush();
        // A connection keeps its buffers between frames, but not the room of a rare large one.
        // (Assigning {} would not: that is the initializer-list assignment, capacity kept.)
        if (FWriteBuffer.capacity() > 262144) {
            std::vector<std::uint8_t>().swap(FWriteBuffer);
            std::vector<std::uint8_t>().swap(FDeflated);
        }
    } catch (const EzefSilentException& E) {
        throw EzefSilentException(WriteErrorText(E));
    } catch (const std::exception& E) {
        throw TzefWSException(WriteErrorText(E));
    }
}

void TzefWSConnection_Base_Stream::WriteTextFrame(const std::string& aText, TOpcode aOpCode,
                                                  bool aFragmented) {
    WriteFrame(aOpCode, aFragmented, TextBytes(aText));
}

void TzefWSConnection_Base_Stream::WriteStreamFrame(rtl::TStream& aStream, TOpcode aOpCode,
                                                    bool aFragmented) {
    if (auto* Memory = dynamic_cast<rtl::TMemoryStream*>(&aStream)) {
        WriteFrame(aOpCode, aFragmented, Memory->Bytes());
        return;
    }
    rtl::TMemoryStream Copy;
    Copy.LoadFromStream(aStream);
    WriteFrame(aOpCode, aFragmented, Copy.Bytes());
}

void TzefWSConnection_Base_Stream::WriteTextFragments(const std::string& aText, TOpcode aOpCode,
                                                      int aSize, bool aContinue) {
    std::span<const std::uint8_t> Bytes = TextBytes(aText);
    std::size_t Piece = aSize > 0 ? std::size_t(aSize) : std::max<std::size_t>(Bytes.size(), 1);
    bool First = true;
    for (std::size_t At = 0; At < Bytes.size(); At += Piece) {
        std::size_t Count = std::min(Piece, Bytes.size() - At);
        bool More = At + Count < Bytes.size();
        TOpcode OpCode = First && !aContinue ? aOpCode : TOpcode::opContinuation;
        WriteFrame(OpCode, More, Bytes.subspan(At, Count));
        First = false;
    }
}

void TzefWSConnection_Base_Stream::WriteStreamFragments(rtl::TStream& aStream, TOpcode aOpCode,
                                                        int aSize, bool aContinue) {
    rtl::TMemoryStream Copy;
    rtl::TMemoryStream* Source = dynamic_cast<rtl::TMemoryStream*>(&aStream);
    if (!Source) {
        Copy.LoadFromStream(aStream);
        Source = &Copy;
    }
    std::span<const std::uint8_t> Bytes = Source->Bytes();
    std::size_t Piece = aSize > 0 ? std::size_t(aSize) : std::max<std::size_t>(Bytes.size(), 1);
    bool First = true;
    for (std::size_t At = 0; At < Bytes.size(); At += Piece) {
        std::size_t Count = std::min(Piece, Bytes.size() - At);
        bool More = At + Count < Bytes.size();
        TOpcode OpCode = First && !aContinue ? aOpCode : TOpcode::opContinuation;
        WriteFrame(OpCode, More, Bytes.subspan(At, Count));
        First = false;
    }
}

void TzefWSConnection_Base_Stream::WriteHixie76(const std::string& aText, TOpcode aOpCode) {
    std::vector<std::uint8_t> Frame;
    if (aOpCode == TOpcode::opText) {
        Frame.reserve(aText.size() + 2);
        Frame.push_back(0x00);
        Frame.insert(Frame.end(), aText.begin(), aText.end());
        Frame.push_back(0xFF);
    } else if (aOpCode == TOpcode::opClose) {
        Frame = {0xFF, 0x00};
    } else {
        return;
    }
    TWriteScope Scope(*this, false);
    WriteBytes(Frame);
    WriteFlush();
}

void TzefWSConnection_Base_Stream::WriteSSE(const std::string& aText) {
    TWriteScope Scope(*this, true);
    // The response head goes once, before the first event: the stream is one HTTP response.
    std::string Block;
    if (!FSSEHeadSent) {
        Block = "HTTP/1.1 200 OK\r\n"
                "Content-Type: text/event-stream\r\n"
                "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
                "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\n"
                "Pragma: no-cache\r\n"
                "Connection: close\r\n"
                "\r\n";
        FSSEHeadSent = true;
    }
    if (MatchesMask(aText, "data:*") || MatchesMask(aText, "retry:*") ||
        MatchesMask(aText, "event:*") || MatchesMask(aText, "id:*")) {
        Block += aText;
    } else {
        Block.append("data: ").append(aText);
    }
    // An event is dispatched by the empty line that ends it.
    Block += "\r\n\r\n";
    WriteBytes(TextBytes(Block));
}

void TzefWSConnection_Base_Stream::WriteTCP(const std::string& aText) {
    TWriteScope Scope(*this, false);
    WriteBytes(TextBytes(aText));
    WriteFlush();
}

void TzefWSConnection_Base_Stream::WriteTCP(rtl::TStream& aStream) {
    rtl::TMemoryStream Copy;
    rtl::TMemoryStream* Source = dynamic_cast<rtl::TMemoryStream*>(&aStream);
    if (!Source) {
        Copy.LoadFromStream(aStream);
        Source = &Copy;
    }
    TWriteScope Scope(*this, false);
    WriteBytes(Source->Bytes());
    WriteFlush();
}

void TzefWSConnection_Base_Stream::DoWriteData(const std::string& aText, int aSize,
                                               TwsStreaming aStreaming) {
    if (!Enabled()) {
        return;
    }
    if (Transport() == TwsTransport::trpSSE) {
        WriteSSE(aText);
        return;
    }
    if (Transport() == TwsTransport::trpTCP) {
        WriteTCP(aText);
        return;
    }
    if (Specification() == TwsSpecification::spHixie76) {
        WriteHixie76(aText, TOpcode::opText);
        return;
    }
    if (Specification() != TwsSpecification::spRFC6455) {
        return;
    }
    // Sizes count UTF-8 bytes, the unit the frames are cut in.
    WriteByStreaming(
        aStreaming, aSize <= 0 || aText.size() <= std::size_t(aSize), TOpcode::opText, aSize,
        [&](TOpcode OpCode, bool More) { WriteTextFrame(aText, OpCode, More); },
        [&](TOpcode OpCode, int Size, bool Continue) {
            WriteTextFragments(aText, OpCode, Size, Continue);
        });
}

void TzefWSConnection_Base_Stream::DoWriteData(rtl::TStream& aStream, int aSize,
                                               TwsStreaming aStreaming) {
    if (!Enabled()) {
        return;
    }
    if (Transport() == TwsTransport::trpTCP) {
        WriteTCP(aStream);
        return;
    }
    if (Specification() != TwsSpecification::spRFC6455) {
        return;
    }
    WriteByStreaming(
        aStreaming, aSize <= 0 || aStream.Size() <= aSize, TOpcode::opBinary, aSize,
        [&](TOpcode OpCode, bool More) { WriteStreamFrame(aStream, OpCode, More); },
        [&](TOpcode OpCode, int Size, bool Continue) {
            WriteStreamFragments(aStream, OpCode, Size, Continue);
        });
}

void TzefWSConnection_Base_Stream::DoPing(const std::string& aText) {
    TzefWSConnection::DoPing(aText);
    switch (Transport()) {
    case TwsTransport::trpRFC6455:
    case TwsTransport::trpFlash:
    case TwsTransport::trpRFC8441: {
        auto Ping = std::make_unique<TzefPing>();
        Ping->Date = Now();
        Ping->Text = aText;
        QueuePingList().Push(std::move(Ping));
        WriteTextFrame(aText, TOpcode::opPing, false);
        break;
    }
    case TwsTransport::trpSSE:
        WriteSSE("event: Ping\ndata: " + aText);
        break;
    case TwsTransport::trpTCP:
        WriteTCP(aText);
        break;
    default:
        break;
    }
}

void TzefWSConnection_Base_Stream::WriteClose(int aCloseCode) {
    SetDisconnected(true);
    ClearReceiveBuffer();
    TwsTransport Kind = Transport();
    if (Kind != TwsTransport::trpRFC6455 && Kind != TwsTransport::trpFlash &&
        Kind != TwsTransport::trpRFC8441) {
        return;
    }
    // After a close frame nothing more may be sent, another close frame included.
    if (FCloseSent.exchange(true)) {
        return;
    }
    std::uint8_t Payload[2] = {std::uint8_t((aCloseCode >> 8) & 0xFF),
                               std::uint8_t(aCloseCode & 0xFF)};
    std::scoped_lock Lock(FCS);
    FWritingClose = true;
    try {
        WriteFrame(TOpcode::opClose, false, Payload);
    } catch (...) {
        FWritingClose = false;
        throw;
    }
    FWritingClose = false;
}

void TzefWSConnection_Base_Stream::DoDisconnect(const std::string& aError, int aCloseCode) {
    if (FDoDisconnect) {
        return;
    }
    if (!Disconnected() && !Connected()) {
        return;
    }
    // Two threads may get here at once (a reader's protocol error and an application's
    // Disconnect): one of them runs the procedure.
    if (FDoDisconnect.exchange(true)) {
        return;
    }
    SetDisconnected(true);
    std::exception_ptr Failure;
    bool Silent = false;
    // A close frame received from the peer is always answered, whatever CleanDisconnect says:
    // RFC 6455 requires it, and without it the peer sees an abnormal closure.
    if (CleanDisconnect() || FCloseReceived) {
        try {
            WriteClose(aCloseCode);
        } catch (const EzefSilentException&) {
            Failure = std::current_exception();
            Silent = true;
        } catch (...) {
            Failure = std::current_exception();
        }
    }
    // The transport is dropped even when the close frame could not be written.
    try {
        DisconnectPeer();
    } catch (const EzefSilentException&) {
        if (!Failure) {
            Failure = std::current_exception();
            Silent = true;
        }
    } catch (...) {
        if (!Failure || Silent) {
            Failure = std::current_exception();
            Silent = false;
        }
    }
    if (Failure && (!Silent || RaiseDisconnectExceptions())) {
        std::rethrow_exception(Failure);
    }
    if (!aError.empty() && RaiseDisconnectExceptions()) {
        throw TzefWSException(aError);
    }
}

void TzefWSConnection_Base_Stream::AbortConnection() {
    if (Disconnected() || FDoDisconnect.exchange(true)) {
        SetDisconnected(true);
        return;
    }
    SetDisconnected(true);
    DisconnectPeer();
}

} // namespace zef
