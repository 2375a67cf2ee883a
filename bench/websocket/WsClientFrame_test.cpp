// WsClientFrame tests: server frames parsed whole and at every prefix, client frames encoded.
#include "bench/websocket/WsClientFrame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wsload {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> List) {
    std::vector<std::uint8_t> Out;
    for (int Value : List) {
        Out.push_back(std::uint8_t(Value));
    }
    return Out;
}

std::vector<std::uint8_t> WithPayload(std::vector<std::uint8_t> Head, std::size_t Size) {
    for (std::size_t I = 0; I < Size; ++I) {
        Head.push_back(std::uint8_t(I * 7));
    }
    return Head;
}

struct TParseCase {
    const char* Name;
    std::vector<std::uint8_t> Wire;
    bool Valid;
    TOpcode Opcode;
    bool Fin;
    std::size_t PayloadSize;
    std::size_t PayloadOffset;
};

std::vector<TParseCase> ParseCases() {
    return {
        {"text Hello", Bytes({0x81, 0x05, 'H', 'e', 'l', 'l', 'o'}), true, TOpcode::opText, true, 5,
         2},
        {"empty binary", Bytes({0x82, 0x00}), true, TOpcode::opBinary, true, 0, 2},
        {"first fragment", Bytes({0x01, 0x03, 'H', 'e', 'l'}), true, TOpcode::opText, false, 3, 2},
        {"final continuation", Bytes({0x80, 0x02, 'l', 'o'}), true, TOpcode::opContinuation, true,
         2, 2},
        {"ping with payload", Bytes({0x89, 0x02, 'h', 'i'}), true, TOpcode::opPing, true, 2, 2},
        {"close 1000", Bytes({0x88, 0x02, 0x03, 0xE8}), true, TOpcode::opClose, true, 2, 2},
        {"125 bytes in 7 bits", WithPayload(Bytes({0x81, 125}), 125), true, TOpcode::opText, true,
         125, 2},
        {"126 bytes in 16 bits", WithPayload(Bytes({0x82, 126, 0x00, 126}), 126), true,
         TOpcode::opBinary, true, 126, 4},
        {"65535 bytes in 16 bits", WithPayload(Bytes({0x82, 126, 0xFF, 0xFF}), 65535), true,
         TOpcode::opBinary, true, 65535, 4},
        {"65536 bytes in 64 bits", WithPayload(Bytes({0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}), 65536),
         true, TOpcode::opBinary, true, 65536, 10},
        {"masked", Bytes({0x81, 0x81, 1, 2, 3, 4, 'x'}), false, {}, {}, 0, 0},
        {"reserved bit", Bytes({0xC1, 0x00}), false, {}, {}, 0, 0},
        {"unknown opcode 3", Bytes({0x83, 0x00}), false, {}, {}, 0, 0},
        {"unknown opcode 11", Bytes({0x8B, 0x00}), false, {}, {}, 0, 0},
        {"fragmented ping", Bytes({0x09, 0x00}), false, {}, {}, 0, 0},
        {"ping of 126 bytes", WithPayload(Bytes({0x89, 126, 0x00, 126}), 126), false, {}, {}, 0, 0},
        {"16-bit length below 126", Bytes({0x81, 126, 0x00, 125}), false, {}, {}, 0, 0},
        {"64-bit length below 65536",
         Bytes({0x81, 127, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}),
         false,
         {},
         {},
         0,
         0},
        {"length above the limit",
         Bytes({0x82, 127, 0, 0, 0, 0, 0x04, 0, 0, 1}),
         false,
         {},
         {},
         0,
         0},
        {"length with the top bit",
         Bytes({0x82, 127, 0x80, 0, 0, 0, 0, 0, 0, 0}),
         false,
         {},
         {},
         0,
         0},
    };
}

// Parses the first Length bytes of Wire from a copy that ends where the allocation ends: a read
// past the prefix is caught by ASan. One allocation of the whole frame's size serves every
// prefix of it (the prefix is copied to its tail); allocating each prefix anew made the 64 KiB
// case take minutes under ASan. nullopt: the parser threw.
std::optional<std::size_t> ParsePrefix(const std::vector<std::uint8_t>& Wire, std::size_t Length,
                                       TFrame& Frame, std::uint8_t* aBuffer) {
    std::uint8_t* Copy = aBuffer + (Wire.size() - Length);
    if (Length > 0) {
        std::memcpy(Copy, Wire.data(), Length);
    }
    try {
        const std::size_t Used = ParseFrame({Copy, Length}, Frame);
        if (Used > 0) {
            // Turn the payload into an offset into Wire: the copy is overwritten next.
            Frame.Payload = std::span<const std::uint8_t>(
                Wire.data() + (Frame.Payload.data() - Copy), Frame.Payload.size());
        }
        return Used;
    } catch (const EFrameError&) {
        return std::nullopt;
    }
}

TEST(ParseFrame, CaseTableWholeAndEveryPrefix) {
    for (const TParseCase& Case : ParseCases()) {
        SCOPED_TRACE(Case.Name);
        // At least one byte, so that the empty prefix too has an allocation to end at.
        auto Buffer = std::make_unique_for_overwrite<std::uint8_t[]>(Case.Wire.size() + 1);
        std::uint8_t* Tail = Buffer.get() + 1; // Case.Wire.size() bytes up to the end.
        TFrame Frame;
        const auto Whole = ParsePrefix(Case.Wire, Case.Wire.size(), Frame, Tail);
        if (!Case.Valid) {
            EXPECT_FALSE(Whole.has_value());
        } else {
            ASSERT_TRUE(Whole.has_value());
            EXPECT_EQ(*Whole, Case.Wire.size());
            EXPECT_EQ(Frame.Opcode, Case.Opcode);
            EXPECT_EQ(Frame.Fin, Case.Fin);
            EXPECT_EQ(Frame.Payload.size(), Case.PayloadSize);
            EXPECT_EQ(Frame.Payload.data(), Case.Wire.data() + Case.PayloadOffset);
        }
        // Byte by byte: every shorter prefix of a valid frame waits for more; an invalid frame
        // is refused as soon as its header shows the fault, or waits, but is never accepted.
        // The prefix length goes into the failure message only (a trace per prefix is slow).
        for (std::size_t Length = 0; Length < Case.Wire.size(); ++Length) {
            TFrame Partial;
            const auto Got = ParsePrefix(Case.Wire, Length, Partial, Tail);
            if (Case.Valid) {
                ASSERT_TRUE(Got.has_value()) << "prefix of " << Length << " bytes";
                EXPECT_EQ(*Got, 0u) << "prefix of " << Length << " bytes";
            } else if (Got.has_value()) {
                EXPECT_EQ(*Got, 0u) << "prefix of " << Length << " bytes";
            }
        }
    }
}

TEST(ParseFrame, TwoFramesBackToBackAreTakenOneAtATime) {
    const auto Wire = Bytes({0x81, 0x01, 'a', 0x89, 0x00, 0x82, 0x02, 1, 2});
    std::span<const std::uint8_t> Rest(Wire);
    const TOpcode Expected[] = {TOpcode::opText, TOpcode::opPing, TOpcode::opBinary};
    for (TOpcode Opcode : Expected) {
        TFrame Frame;
        const std::size_t Used = ParseFrame(Rest, Frame);
        ASSERT_GT(Used, 0u);
        EXPECT_EQ(Frame.Opcode, Opcode);
        Rest = Rest.subspan(Used);
    }
    EXPECT_TRUE(Rest.empty());
}

TEST(ParseFrame, Rsv1MarksTheFirstFrameOfACompressedMessageOnlyWithDeflate) {
    const struct {
        const char* Name;
        std::vector<std::uint8_t> Wire;
        bool Deflate;
        bool Valid;
        bool Compressed;
    } Cases[] = {
        {"compressed text", Bytes({0xC1, 0x01, 0x00}), true, true, true},
        {"compressed binary, first fragment", Bytes({0x42, 0x00}), true, true, true},
        {"plain text with deflate", Bytes({0x81, 0x00}), true, true, false},
        {"continuation with deflate", Bytes({0x80, 0x00}), true, true, false},
        {"compressed text without deflate", Bytes({0xC1, 0x00}), false, false, false},
        {"RSV1 on a continuation", Bytes({0xC0, 0x00}), true, false, false},
        {"RSV1 on a ping", Bytes({0xC9, 0x00}), true, false, false},
        {"RSV1 on a close", Bytes({0xC8, 0x00}), true, false, false},
        {"RSV2 with deflate", Bytes({0xA1, 0x00}), true, false, false},
        {"RSV3 with deflate", Bytes({0x91, 0x00}), true, false, false},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TFrame Frame;
        if (Case.Valid) {
            EXPECT_EQ(ParseFrame(Case.Wire, Frame, Case.Deflate), Case.Wire.size());
            EXPECT_EQ(Frame.Compressed, Case.Compressed);
        } else {
            EXPECT_THROW(ParseFrame(Case.Wire, Frame, Case.Deflate), EFrameError);
        }
    }
}

// Unmasks a client frame the way a server would, checking the header's form on the way.
std::vector<std::uint8_t> Unmask(const std::vector<std::uint8_t>& Wire, TOpcode Opcode) {
    EXPECT_EQ(Wire[0], 0x80 | std::uint8_t(Opcode));
    EXPECT_TRUE(Wire[1] & 0x80);
    std::size_t Length = Wire[1] & 0x7F;
    std::size_t Header = 2;
    if (Length == 126) {
        Length = (std::size_t(Wire[2]) << 8) | Wire[3];
        Header = 4;
        EXPECT_GE(Length, 126u);
    } else if (Length == 127) {
        Length = 0;
        for (int I = 2; I < 10; ++I) {
            Length = (Length << 8) | Wire[std::size_t(I)];
        }
        Header = 10;
        EXPECT_GT(Length, 65535u);
    }
    EXPECT_EQ(Wire.size(), Header + 4 + Length);
    std::vector<std::uint8_t> Out(Length);
    for (std::size_t I = 0; I < Length; ++I) {
        Out[I] = Wire[Header + 4 + I] ^ Wire[Header + I % 4];
    }
    return Out;
}

TEST(AppendFrame, RoundTripsEverySizeClassAndAllByteValues) {
    const std::size_t Sizes[] = {0, 1, 7, 8, 9, 125, 126, 255, 256, 65535, 65536, 100000};
    std::uint32_t Key = 0x12345678;
    for (std::size_t Size : Sizes) {
        SCOPED_TRACE(Size);
        std::vector<std::uint8_t> Payload(Size);
        for (std::size_t I = 0; I < Size; ++I) {
            Payload[I] = std::uint8_t(I * 131 + I / 256);
        }
        std::vector<std::uint8_t> Wire = {0xEE}; // Appending keeps what is already there.
        AppendFrame(Wire, TOpcode::opBinary, Payload, Key);
        ASSERT_EQ(Wire[0], 0xEE);
        Wire.erase(Wire.begin());
        EXPECT_EQ(Unmask(Wire, TOpcode::opBinary), Payload);
        Key = Key * 2654435761u + 1;
    }
}

TEST(AppendFrame, MatchesTheMaskedHelloOfTheProtocol) {
    const std::uint8_t KeyBytes[4] = {0x37, 0xFA, 0x21, 0x3D};
    std::uint32_t Key;
    std::memcpy(&Key, KeyBytes, 4);
    const std::string Hello = "Hello";
    std::vector<std::uint8_t> Wire;
    AppendFrame(Wire, TOpcode::opText,
                {reinterpret_cast<const std::uint8_t*>(Hello.data()), Hello.size()}, Key);
    EXPECT_EQ(Wire, Bytes({0x81, 0x85, 0x37, 0xFA, 0x21, 0x3D, 0x7F, 0x9F, 0x4D, 0x51, 0x58}));
}

TEST(AppendFrame, CompressedSetsRsv1) {
    const std::uint8_t Payload[] = {0xF2, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00};
    for (bool Compressed : {false, true}) {
        SCOPED_TRACE(Compressed);
        std::vector<std::uint8_t> Wire;
        AppendFrame(Wire, TOpcode::opText, Payload, 0, Compressed);
        EXPECT_EQ(Wire[0], Compressed ? 0xC1 : 0x81);
        EXPECT_EQ(Wire[1], 0x80 | sizeof Payload);
    }
}

TEST(AcceptKey, MatchesTheProtocolExample) {
    EXPECT_EQ(AcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Base64, PadsEveryRemainder) {
    const struct {
        const char* Input;
        const char* Expected;
    } Cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}};
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Input);
        EXPECT_EQ(
            Base64({reinterpret_cast<const std::uint8_t*>(Case.Input), std::strlen(Case.Input)}),
            Case.Expected);
    }
}

} // namespace
} // namespace wsload
