// WsClientFrame: the client side of WebSocket framing for the load tool.
#include "bench/websocket/WsClientFrame.h"

#include <cstring>
#include <openssl/evp.h>
#include <openssl/sha.h>

namespace wsload {

namespace {

bool IsControl(std::uint8_t Opcode) {
    return (Opcode & 0x8) != 0;
}

bool IsKnown(std::uint8_t Opcode) {
    return Opcode <= 0x2 || (Opcode >= 0x8 && Opcode <= 0xA);
}

} // namespace

std::size_t ParseFrame(std::span<const std::uint8_t> Buffer, TFrame& Frame, bool Deflate) {
    if (Buffer.size() < 2) {
        return 0;
    }
    const std::uint8_t First = Buffer[0];
    const std::uint8_t Second = Buffer[1];
    const std::uint8_t Opcode = First & 0x0F;
    const bool Compressed = (First & 0x40) != 0;
    if ((First & 0x30) != 0 || (Compressed && !Deflate)) {
        throw EFrameError("reserved bits set without an extension");
    }
    if (!IsKnown(Opcode)) {
        throw EFrameError("unknown opcode " + std::to_string(Opcode));
    }
    if (Compressed && Opcode != 0x1 && Opcode != 0x2) {
        throw EFrameError("RSV1 on a control or continuation frame");
    }
    const bool Fin = (First & 0x80) != 0;
    if ((Second & 0x80) != 0) {
        throw EFrameError("masked frame from the server");
    }
    std::size_t Header = 2;
    std::uint64_t Length = Second & 0x7F;
    if (IsControl(Opcode) && (!Fin || Length > 125)) {
        throw EFrameError("fragmented or oversized control frame");
    }
    if (Length == 126) {
        if (Buffer.size() < 4) {
            return 0;
        }
        Length = (std::uint64_t{Buffer[2]} << 8) | Buffer[3];
        if (Length < 126) {
            throw EFrameError("16-bit length below 126");
        }
        Header = 4;
    } else if (Length == 127) {
        if (Buffer.size() < 10) {
            return 0;
        }
        Length = 0;
        for (std::size_t I = 2; I < 10; ++I) {
            Length = (Length << 8) | Buffer[I];
        }
        if (Length <= 0xFFFF) {
            throw EFrameError("64-bit length below 65536");
        }
        Header = 10;
    }
    if (Length > MaxFramePayload) {
        throw EFrameError("frame of " + std::to_string(Length) + " bytes above the limit");
    }
    if (Buffer.size() - Header < Length) {
        return 0;
    }
    Frame.Fin = Fin;
    Frame.Compressed = Compressed;
    Frame.Opcode = static_cast<TOpcode>(Opcode);
    Frame.Payload = Buffer.subspan(Header, static_cast<std::size_t>(Length));
    return Header + static_cast<std::size_t>(Length);
}

void AppendFrame(std::vector<std::uint8_t>& Out, TOpcode Opcode,
                 std::span<const std::uint8_t> Payload, std::uint32_t MaskKey, bool Compressed) {
    const std::size_t Start = Out.size();
    const std::uint64_t Length = Payload.size();
    std::size_t Header = 2;
    if (Length > 0xFFFF) {
        Header = 10;
    } else if (Length > 125) {
        Header = 4;
    }
    Out.resize(Start + Header + 4 + Payload.size());
    std::uint8_t* P = Out.data() + Start;
    P[0] = static_cast<std::uint8_t>(0x80 | (Compressed ? 0x40 : 0) |
                                     static_cast<std::uint8_t>(Opcode));
    if (Header == 2) {
        P[1] = static_cast<std::uint8_t>(0x80 | Length);
    } else if (Header == 4) {
        P[1] = 0x80 | 126;
        P[2] = static_cast<std::uint8_t>(Length >> 8);
        P[3] = static_cast<std::uint8_t>(Length);
    } else {
        P[1] = 0x80 | 127;
        for (int I = 0; I < 8; ++I) {
            P[2 + I] = static_cast<std::uint8_t>(Length >> (8 * (7 - I)));
        }
    }
    std::uint8_t Key[4];
    std::memcpy(Key, &MaskKey, 4);
    std::memcpy(P + Header, Key, 4);
    std::uint8_t* Data = P + Header + 4;
    const std::uint8_t* Source = Payload.data();
    std::size_t I = 0;
    // Eight bytes at a time: the key repeated twice lines up with every 8-byte block because
    // blocks start at multiples of 4 from the payload's first byte.
    std::uint64_t Wide;
    std::memcpy(&Wide, Key, 4);
    std::memcpy(reinterpret_cast<std::uint8_t*>(&Wide) + 4, Key, 4);
    for (; I + 8 <= Payload.size(); I += 8) {
        std::uint64_t Block;
        std::memcpy(&Block, Source + I, 8);
        Block ^= Wide;
        std::memcpy(Data + I, &Block, 8);
    }
    for (; I < Payload.size(); ++I) {
        Data[I] = Source[I] ^ Key[I % 4];
    }
}

std::string Base64(std::span<const std::uint8_t> Data) {
    std::string Out(4 * ((Data.size() + 2) / 3), '\0');
    const int Written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(Out.data()), Data.data(),
                                        static_cast<int>(Data.size()));
    Out.resize(static_cast<std::size_t>(Written));
    return Out;
}

std::string AcceptKey(std::string_view Key) {
    static constexpr std::string_view Guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string Joined(Key);
    Joined += Guid;
    std::uint8_t Digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(Joined.data()), Joined.size(), Digest);
    return Base64(Digest);
}

} // namespace wsload
