// zefWebSocket_Extensions: negotiation, and compressed frames checked against zlib's own raw
// deflate and inflate on the peer's side.
#include "websocket/core/zefWebSocket_Extensions.h"

#include "testing/zefWebSocket_TestConnection.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace zef;
using namespace zef::testing;

namespace {

const std::uint8_t Key[4] = {0x11, 0x22, 0x33, 0x44};

// --- The peer: zlib's raw streams, driven the way RFC 7692 peers drive them ---

class TPeerDeflater {
public:
    TPeerDeflater(int aWindowBits, bool aNoContext) : FNoContext(aNoContext) {
        std::memset(&FZ, 0, sizeof(FZ));
        // zlib refuses a raw 8-bit window; peers use 9 for it (a smaller-window peer).
        int Bits = aWindowBits == 8 ? 9 : aWindowBits;
        EXPECT_EQ(deflateInit2(&FZ, 6, Z_DEFLATED, -Bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    }
    ~TPeerDeflater() { deflateEnd(&FZ); }
    TBytes Compress(std::string_view aText) {
        TBytes Out(aText.size() + 64);
        FZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aText.data()));
        FZ.avail_in = uInt(aText.size());
        FZ.next_out = Out.data();
        FZ.avail_out = uInt(Out.size());
        int Result = deflate(&FZ, Z_SYNC_FLUSH);
        Out.resize(Out.size() - FZ.avail_out);
        if (aText.empty() && Result == Z_BUF_ERROR) {
            return {0x00}; // zlib makes no second empty flush; RFC 7692 peers send 00.
        }
        EXPECT_EQ(Result, Z_OK);
        EXPECT_GE(Out.size(), 4u);
        Out.resize(Out.size() - 4); // the 00 00 FF FF tail
        if (FNoContext) {
            deflateReset(&FZ);
        }
        return Out;
    }

private:
    z_stream FZ;
    bool FNoContext;
};

class TPeerInflater {
public:
    explicit TPeerInflater(int aWindowBits) {
        std::memset(&FZ, 0, sizeof(FZ));
        EXPECT_EQ(inflateInit2(&FZ, -aWindowBits), Z_OK);
    }
    ~TPeerInflater() { inflateEnd(&FZ); }
    // Inflates one message's payload; nullopt when zlib fails.
    std::optional<std::string> Inflate(TBytes aPayload) {
        aPayload.insert(aPayload.end(), {0x00, 0x00, 0xFF, 0xFF});
        std::string Out;
        FZ.next_in = aPayload.data();
        FZ.avail_in = uInt(aPayload.size());
        char Buffer[4096];
        do {
            FZ.next_out = reinterpret_cast<Bytef*>(Buffer);
            FZ.avail_out = sizeof(Buffer);
            int Result = inflate(&FZ, Z_SYNC_FLUSH);
            if (Result != Z_OK && Result != Z_BUF_ERROR) {
                return std::nullopt;
            }
            Out.append(Buffer, sizeof(Buffer) - FZ.avail_out);
        } while (FZ.avail_in > 0 || FZ.avail_out == 0);
        return Out;
    }

private:
    z_stream FZ;
};

// Splits one unmasked server frame into its first byte and payload.
struct TParsedFrame {
    std::uint8_t First;
    TBytes Payload;
};

TParsedFrame ParseServerFrame(const TBytes& aFrame) {
    TParsedFrame Result{aFrame.at(0), {}};
    std::size_t At = 2;
    std::uint64_t Length = aFrame.at(1) & 0x7F;
    if (Length == 126) {
        Length = (std::uint64_t(aFrame.at(2)) << 8) | aFrame.at(3);
        At = 4;
    } else if (Length == 127) {
        Length = 0;
        for (int I = 0; I < 8; ++I) {
            Length = (Length << 8) | aFrame.at(2 + std::size_t(I));
        }
        At = 10;
    }
    EXPECT_EQ(aFrame.size(), At + Length);
    Result.Payload.assign(aFrame.begin() + std::ptrdiff_t(At), aFrame.end());
    return Result;
}

// A server connection whose extensions negotiated aOffer.
void Negotiate(TzefWSTestConnection& aConnection, const std::string& aOffer,
               bool aDeflateFrame = false) {
    TzefWSExtensions Config;
    Config.SetMode(TwsApplicationMode::appServer);
    Config.PerMessage_Deflate().SetEnabled(!aDeflateFrame);
    Config.DeflateFrame().SetEnabled(aDeflateFrame);
    aConnection.SetExtensions(Config);
    aConnection.Extensions().DecodeExtensions(aOffer);
    ASSERT_TRUE(aConnection.Extensions().ExtensionNegotiated());
}

std::string Sample(int aIndex) {
    return "The quick brown fox jumps over the lazy dog, message " + std::to_string(aIndex) +
           ", and again: the quick brown fox jumps over the lazy dog.";
}

} // namespace

struct TNegotiationCase {
    const char* Name;
    std::string Offer;
    bool PerMessageEnabled;
    bool DeflateFrameEnabled;
    std::vector<std::string> Answer; // header lines appended by WriteHeader
    int SendWindow;
    int ReceiveWindow;
    bool SendNoContext;
    bool ReceiveNoContext;
};

TEST(TzefWSExtensions, NegotiationTable) {
    const TNegotiationCase Cases[] = {
        {.Name = "plain offer",
         .Offer = "permessage-deflate",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {"Sec-WebSocket-Extensions: permessage-deflate"},
         .SendWindow = 15,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "bare client window",
         .Offer = "permessage-deflate; client_max_window_bits",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {"Sec-WebSocket-Extensions: permessage-deflate;client_max_window_bits=15"},
         .SendWindow = 15,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "client window 10 and server no context",
         .Offer = "permessage-deflate; client_max_window_bits=10; server_no_context_takeover",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {"Sec-WebSocket-Extensions: "
                    "permessage-deflate;client_max_window_bits=10;server_no_context_takeover"},
         .SendWindow = 15,
         .ReceiveWindow = 10,
         .SendNoContext = true,
         .ReceiveNoContext = false},
        {.Name = "standard server window name is honoured",
         .Offer = "permessage-deflate; server_max_window_bits=9",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {"Sec-WebSocket-Extensions: permessage-deflate;server_max_window_bits=9"},
         .SendWindow = 9,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "quoted value",
         .Offer = "permessage-deflate; server_max_window_bits=\"12\"",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {"Sec-WebSocket-Extensions: permessage-deflate;server_max_window_bits=12"},
         .SendWindow = 12,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "client no context",
         .Offer = "permessage-deflate;client_no_context_takeover",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {"Sec-WebSocket-Extensions: permessage-deflate;client_no_context_takeover"},
         .SendWindow = 15,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = true},
        {.Name = "unknown parameters are ignored",
         .Offer = "permessage-deflate; foo=1",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {"Sec-WebSocket-Extensions: permessage-deflate"},
         .SendWindow = 15,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "first acceptable offer wins",
         .Offer = "permessage-deflate; client_max_window_bits=9, permessage-deflate",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {"Sec-WebSocket-Extensions: permessage-deflate;client_max_window_bits=9"},
         .SendWindow = 15,
         .ReceiveWindow = 9,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "both enabled, only deflate-frame offered",
         .Offer = "x-webkit-deflate-frame",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = true,
         .Answer = {"Sec-WebSocket-Extensions: x-webkit-deflate-frame"},
         .SendWindow = 15,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "both enabled, both offered",
         .Offer = "x-webkit-deflate-frame, permessage-deflate",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = true,
         .Answer = {"Sec-WebSocket-Extensions: permessage-deflate"},
         .SendWindow = 15,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "disabled extension is not negotiated",
         .Offer = "permessage-deflate",
         .PerMessageEnabled = false,
         .DeflateFrameEnabled = false,
         .Answer = {},
         .SendWindow = 15,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
        {.Name = "name must match exactly",
         .Offer = "x-permessage-deflate-like",
         .PerMessageEnabled = true,
         .DeflateFrameEnabled = false,
         .Answer = {},
         .SendWindow = 15,
         .ReceiveWindow = 15,
         .SendNoContext = false,
         .ReceiveNoContext = false},
    };
    for (const TNegotiationCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSExtensions Config;
        Config.SetMode(TwsApplicationMode::appServer);
        Config.PerMessage_Deflate().SetEnabled(Case.PerMessageEnabled);
        Config.DeflateFrame().SetEnabled(Case.DeflateFrameEnabled);
        TzefWSExtensions Connection;
        Connection.Assign(Config);
        Connection.DecodeExtensions(Case.Offer);
        rtl::TStringList Header;
        Connection.WriteHeader(Header);
        EXPECT_EQ(std::vector<std::string>(Header.begin(), Header.end()), Case.Answer);
        EXPECT_EQ(Connection.ExtensionNegotiated(), !Case.Answer.empty());
        if (Connection.PerMessage_Deflate().Active()) {
            auto& P = Connection.PerMessage_Deflate();
            EXPECT_EQ(P.SendWindowBits(), Case.SendWindow);
            EXPECT_EQ(P.ReceiveWindowBits(), Case.ReceiveWindow);
            EXPECT_EQ(P.SendNoContextTakeOver(), Case.SendNoContext);
            EXPECT_EQ(P.ReceiveNoContextTakeOver(), Case.ReceiveNoContext);
        }
        // The component's configuration is never changed by a connection's negotiation.
        EXPECT_FALSE(Config.Compression());
    }
}

TEST(TzefWSExtensions, InvalidWindowValuesRaise) {
    const std::pair<const char*, const char*> Cases[] = {
        {"permessage-deflate; client_max_window_bits=7", "Invalid Value for WindowBits 7"},
        {"permessage-deflate; server_max_window_bits=16", "Invalid Value for WindowBits 16"},
    };
    for (const auto& [Offer, Message] : Cases) {
        SCOPED_TRACE(Offer);
        TzefWSExtensions Extensions;
        Extensions.SetMode(TwsApplicationMode::appServer);
        Extensions.PerMessage_Deflate().SetEnabled(true);
        try {
            Extensions.DecodeExtensions(Offer);
            ADD_FAILURE() << "no exception";
        } catch (const TzefWSException& E) {
            EXPECT_EQ(std::string(E.what()), Message);
        }
    }
    TzefWSExtensions Extensions;
    Extensions.PerMessage_Deflate().SetEnabled(true);
    EXPECT_THROW(Extensions.DecodeExtensions("permessage-deflate; client_max_window_bits=x"),
                 rtl::EConvertError);
    EXPECT_THROW(Extensions.DeflateFrame().SetWindowBits(16), TzefWSException);
}

TEST(TzefWSExtensions, ClientOfferAndList) {
    TzefWSExtensions Client;
    Client.SetMode(TwsApplicationMode::appClient);
    Client.PerMessage_Deflate().SetEnabled(true);
    Client.DeflateFrame().SetEnabled(true);
    rtl::TStringList Header;
    Client.WriteHeader(Header);
    EXPECT_EQ(std::vector<std::string>(Header.begin(), Header.end()),
              (std::vector<std::string>{
                  "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits",
                  "Sec-WebSocket-Extensions: x-webkit-deflate-frame"}));
    Client.PerMessage_Deflate().SetClientMaxWindowBits(10);
    Client.PerMessage_Deflate().SetServerMaxWindowBits(12);
    Client.PerMessage_Deflate().SetServerNoContextTakeOver(true);
    EXPECT_EQ(Client.PerMessage_Deflate().GetHeaderExtension(),
              "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits=10;"
              "server_max_window_bits=12;server_no_context_takeover");
    // The client reads the server's answer: what it names binds both directions.
    EXPECT_TRUE(Client.PerMessage_Deflate().DecodeExtension(
        "permessage-deflate;client_max_window_bits=9;server_max_window_bits=11"));
    EXPECT_EQ(Client.PerMessage_Deflate().SendWindowBits(), 9);
    EXPECT_EQ(Client.PerMessage_Deflate().ReceiveWindowBits(), 11);

    TzefWSExtensions Server;
    Server.PerMessage_Deflate().SetEnabled(true);
    Server.DeflateFrame().SetEnabled(true);
    Server.DecodeExtensions("permessage-deflate");
    EXPECT_EQ(std::vector<std::string>(Server.List().begin(), Server.List().end()),
              std::vector<std::string>{"permessage-deflate"});
}

TEST(TzefWSExtensions, AssignCopiesConfigurationOnly) {
    TzefWSExtensions Source;
    Source.SetMode(TwsApplicationMode::appServer);
    Source.PerMessage_Deflate().SetEnabled(true);
    Source.PerMessage_Deflate().SetServerMaxWindowBits(10);
    Source.PerMessage_Deflate().SetClientNoContextTakeOver(true);
    Source.PerMessage_Deflate().SetMemLevel(4);
    Source.DeflateFrame().SetWindowBits(9);
    Source.DecodeExtensions("permessage-deflate");
    TzefWSExtensions Copy;
    Copy.Assign(Source);
    EXPECT_EQ(Copy.Mode(), TwsApplicationMode::appServer);
    EXPECT_EQ(Copy.PerMessage_Deflate().Mode(), TwsApplicationMode::appServer);
    EXPECT_TRUE(Copy.PerMessage_Deflate().Enabled());
    EXPECT_EQ(Copy.PerMessage_Deflate().ServerMaxWindowBits(), 10);
    EXPECT_TRUE(Copy.PerMessage_Deflate().ClientNoContextTakeOver());
    EXPECT_EQ(Copy.PerMessage_Deflate().MemLevel(), 4);
    EXPECT_EQ(Copy.DeflateFrame().WindowBits(), 9);
    EXPECT_FALSE(Copy.PerMessage_Deflate().Active());
    EXPECT_FALSE(Copy.ExtensionNegotiated());
}

// The server's messages inflate with zlib for every window size, with and without context
// takeover, and incoming zlib-compressed messages inflate on the server.
TEST(TzefWSExtensions, PerMessageDeflateAgainstZlibForEveryWindow) {
    for (int Bits = 8; Bits <= 15; ++Bits) {
        for (bool NoContext : {false, true}) {
            SCOPED_TRACE("window " + std::to_string(Bits) + (NoContext ? " no context" : ""));
            std::string Offer =
                "permessage-deflate; server_max_window_bits=" + std::to_string(Bits) +
                "; client_max_window_bits=" + std::to_string(Bits);
            if (NoContext) {
                Offer += "; server_no_context_takeover; client_no_context_takeover";
            }
            TzefWSTestConnection Server;
            Negotiate(Server, Offer);
            TPeerInflater PeerIn(Bits);
            TPeerDeflater PeerOut(Bits, NoContext);
            TzefWSEventLog Log;
            Log.Attach(Server);
            std::string Big(5000, 'x');
            for (int I = 0; I < 2000; ++I) {
                Big[std::size_t(I) * 2] = char('a' + I % 26);
            }
            std::vector<std::string> Texts = {Sample(1), Sample(2), "", Sample(3), Big, Big, ""};
            for (const std::string& Text : Texts) {
                Server.WriteData(Text);
                TParsedFrame F = ParseServerFrame(Server.Written.back());
                EXPECT_EQ(F.First, 0xC1);
                auto Inflated = PeerIn.Inflate(F.Payload);
                ASSERT_TRUE(Inflated.has_value());
                EXPECT_EQ(*Inflated, Text);
                Server.Receive(Frame(0xC1, PeerOut.Compress(Text), Key));
                Server.ReadData(true);
            }
            EXPECT_EQ(Log.Messages, Texts);
        }
    }
}

TEST(TzefWSExtensions, ContextTakeoverShortensRepeatedMessages) {
    TzefWSTestConnection Server;
    Negotiate(Server, "permessage-deflate");
    Server.WriteData(Sample(7));
    Server.WriteData(Sample(7));
    std::size_t First = ParseServerFrame(Server.Written[0]).Payload.size();
    std::size_t Second = ParseServerFrame(Server.Written[1]).Payload.size();
    EXPECT_LT(Second * 3, First);
    TPeerInflater Peer(15);
    EXPECT_EQ(Peer.Inflate(ParseServerFrame(Server.Written[0]).Payload), Sample(7));
    EXPECT_EQ(Peer.Inflate(ParseServerFrame(Server.Written[1]).Payload), Sample(7));
}

// An empty message is the single byte 00: an empty stored block that does not end the peer's
// deflate stream, so later messages still inflate (03 00 would have ended it).
TEST(TzefWSExtensions, EmptyCompressedMessageKeepsThePeerStream) {
    TzefWSTestConnection Server;
    Negotiate(Server, "permessage-deflate");
    Server.WriteData(std::string("before"));
    Server.WriteData(std::string());
    Server.WriteData(std::string("before and after"));
    EXPECT_EQ(Server.Written[1], (TBytes{0xC1, 0x01, 0x00}));
    TPeerInflater Peer(15);
    EXPECT_EQ(Peer.Inflate(ParseServerFrame(Server.Written[0]).Payload), "before");
    EXPECT_EQ(Peer.Inflate(ParseServerFrame(Server.Written[1]).Payload), "");
    EXPECT_EQ(Peer.Inflate(ParseServerFrame(Server.Written[2]).Payload), "before and after");
}

// A peer that ends its stream for an empty message (03 00) and refers back afterwards is
// still understood.
TEST(TzefWSExtensions, PeerThatEndsItsStreamIsFollowed) {
    TzefWSTestConnection Server;
    Negotiate(Server, "permessage-deflate");
    TzefWSEventLog Log;
    Log.Attach(Server);
    TPeerDeflater Peer(15, false);
    Server.Receive(Frame(0xC1, Peer.Compress(Sample(1)), Key));
    Server.Receive(Frame(0xC1, TBytes{0x03, 0x00}, Key));
    Server.Receive(Frame(0xC1, Peer.Compress(Sample(1)), Key));
    Server.ReadData(true);
    EXPECT_EQ(Log.Messages, (std::vector<std::string>{Sample(1), "", Sample(1)}));
}

TEST(TzefWSExtensions, FragmentedCompressedMessageFromThePeer) {
    TPeerDeflater Peer(15, false);
    std::string Text = Sample(1) + Sample(2) + Sample(3);
    TBytes Payload = Peer.Compress(Text);
    std::size_t Third = Payload.size() / 3;
    TBytes A(Payload.begin(), Payload.begin() + std::ptrdiff_t(Third));
    TBytes B(Payload.begin() + std::ptrdiff_t(Third), Payload.begin() + std::ptrdiff_t(2 * Third));
    TBytes C(Payload.begin() + std::ptrdiff_t(2 * Third), Payload.end());
    TBytes Input = Concat(
        {Frame(0x41, A, Key), Frame(0x89, "p", Key), Frame(0x00, B, Key), Frame(0x80, C, Key)});
    for (std::size_t Chunk : {std::size_t(0), std::size_t(1), std::size_t(7)}) {
        SCOPED_TRACE(Chunk);
        TzefWSTestConnection Server;
        Negotiate(Server, "permessage-deflate");
        TzefWSEventLog Log;
        Log.Attach(Server);
        Server.ReadChunk = Chunk;
        Server.Receive(Input);
        Server.ReadData(true);
        EXPECT_EQ(Log.Messages, std::vector<std::string>{Text});
        EXPECT_EQ(Server.Output(), Frame(0x8A, "p"));
    }
}

// Our own fragmented and streamed sends: RSV1 on the first frame only, one stream segment.
TEST(TzefWSExtensions, FragmentedCompressedSendsInflateAsOneMessage) {
    TzefWSTestConnection Server;
    Negotiate(Server, "permessage-deflate");
    std::string Text = Sample(1) + Sample(2);
    Server.WriteData(Text, 40);
    Server.WriteData(std::string("abc"), 0, TwsStreaming::stmFirst);
    Server.WriteData(std::string("def"), 0, TwsStreaming::stmLast);
    TPeerInflater Peer(15);
    TBytes Message;
    std::vector<std::string> Got;
    for (const TBytes& Frame : Server.Written) {
        TParsedFrame F = ParseServerFrame(Frame);
        bool First = Message.empty();
        EXPECT_EQ((F.First & 0x40) != 0, First && (F.First & 0x0F) != 0);
        Message.insert(Message.end(), F.Payload.begin(), F.Payload.end());
        if (F.First & 0x80) {
            auto Inflated = Peer.Inflate(Message);
            ASSERT_TRUE(Inflated.has_value());
            Got.push_back(*Inflated);
            Message.clear();
        }
    }
    EXPECT_EQ(Got, (std::vector<std::string>{Text, "abcdef"}));
}

TEST(TzefWSExtensions, DeflateFrameAgainstZlib) {
    TzefWSTestConnection Server;
    Negotiate(Server, "x-webkit-deflate-frame", true);
    TzefWSEventLog Log;
    Log.Attach(Server);
    TPeerInflater PeerIn(15);
    TPeerDeflater PeerOut(15, false);
    for (const std::string& Text : {Sample(1), std::string(), Sample(1)}) {
        Server.WriteData(Text);
        TParsedFrame F = ParseServerFrame(Server.Written.back());
        EXPECT_EQ(F.First, 0xC1);
        EXPECT_EQ(PeerIn.Inflate(F.Payload), Text);
        Server.Receive(Frame(0xC1, PeerOut.Compress(Text), Key));
    }
    // Frame by frame: each continuation frame carries its own compressed payload.
    Server.Receive(Frame(0x41, PeerOut.Compress("ab"), Key));
    Server.Receive(Frame(0xC0, PeerOut.Compress("cd"), Key));
    Server.ReadData(true);
    EXPECT_EQ(Log.Messages, (std::vector<std::string>{Sample(1), "", Sample(1), "abcd"}));
}

TEST(TzefWSExtensions, DeflateFrameInflatesWithTheFullWindowWhateverItsOwnWindow) {
    // The extension negotiates no window, so a peer may compress with 32 KiB of history; our
    // smaller window bounds only what we send.
    TzefWSExtensions Config;
    Config.SetMode(TwsApplicationMode::appServer);
    Config.PerMessage_Deflate().SetEnabled(false);
    Config.DeflateFrame().SetEnabled(true);
    Config.DeflateFrame().SetWindowBits(9);
    TzefWSTestConnection Server;
    Server.SetExtensions(Config);
    Server.Extensions().DecodeExtensions("x-webkit-deflate-frame");
    ASSERT_TRUE(Server.Extensions().ExtensionNegotiated());
    TzefWSEventLog Log;
    Log.Attach(Server);
    std::string Block;
    std::uint32_t Seed = 12345;
    while (Block.size() < 4096) {
        Seed = Seed * 1103515245 + 12345;
        Block += char('a' + (Seed >> 16) % 26);
    }
    const std::string Text = Block + Block; // the second copy lies 4 KiB back
    TPeerDeflater PeerOut(15, false);
    Server.Receive(Frame(0xC1, PeerOut.Compress(Text), Key));
    Server.ReadData(true);
    EXPECT_EQ(Log.Messages, std::vector<std::string>{Text});
    Server.WriteData(Text);
    TPeerInflater PeerIn(9);
    EXPECT_EQ(PeerIn.Inflate(ParseServerFrame(Server.Written.back()).Payload), Text);
}

TEST(TzefWSExtensions, UncompressedMessagesPassWhileActive) {
    TzefWSTestConnection Server;
    Negotiate(Server, "permessage-deflate");
    TzefWSEventLog Log;
    Log.Attach(Server);
    Server.Receive(Frame(0x81, "plain", Key));
    Server.Receive(Frame(0x82, "bin", Key));
    Server.ReadData(true);
    EXPECT_EQ(Log.Messages, std::vector<std::string>{"plain"});
    EXPECT_EQ(Log.Binaries, std::vector<TBytes>{Bytes("bin")});
}

TEST(TzefWSExtensions, RsvRulesWithAnExtension) {
    const std::pair<std::uint8_t, bool> Cases[] = {
        {0xE1, false}, // RSV2 is not ours
        {0x91, false}, // neither is RSV3
        {0xC9, false}, // a control frame is never compressed
    };
    for (const auto& [First, Valid] : Cases) {
        SCOPED_TRACE(int(First));
        TzefWSTestConnection Server;
        Negotiate(Server, "permessage-deflate");
        Server.Receive(Frame(First, TBytes{0x00}, Key));
        EXPECT_THROW(Server.ReadData(true), TzefWSException);
        EXPECT_EQ(Server.Output(), (TBytes{0x88, 0x02, 0x03, 0xEA}));
        (void)Valid;
    }
}

TEST(TzefWSExtensions, CorruptCompressedDataRaises) {
    TzefWSTestConnection Server;
    Negotiate(Server, "permessage-deflate");
    Server.Receive(Frame(0xC1, TBytes{0xFF, 0xFF, 0xFF}, Key));
    try {
        Server.ReadData(true);
        ADD_FAILURE() << "no exception";
    } catch (const TzefWSException& E) {
        EXPECT_EQ(std::string(E.what()), "Error Deflating Frame.");
    }
}

// Inflating is bounded by MaxMessageSize: exactly the limit passes, one byte more is refused
// with 1009, and a small payload that inflates hugely never gets beyond the limit in memory.
TEST(TzefWSExtensions, InflatedSizeIsBounded) {
    const std::size_t Limit = 100000;
    for (std::size_t Size : {Limit, Limit + 1, std::size_t(8) * 1024 * 1024}) {
        SCOPED_TRACE(Size);
        TzefWSTestConnection Server;
        Negotiate(Server, "permessage-deflate");
        Server.SetMaxMessageSize(Limit);
        TzefWSEventLog Log;
        Log.Attach(Server);
        TPeerDeflater Peer(15, false);
        Server.Receive(Frame(0xC2, Peer.Compress(std::string(Size, '\0')), Key));
        std::string Error;
        try {
            Server.ReadData(true);
        } catch (const TzefWSException& E) {
            Error = E.what();
        }
        if (Size <= Limit) {
            EXPECT_EQ(Error, "");
            ASSERT_EQ(Log.Binaries.size(), 1u);
            EXPECT_EQ(Log.Binaries[0].size(), Size);
        } else {
            EXPECT_EQ(Error, "Message too big");
            EXPECT_EQ(Server.Output(), (TBytes{0x88, 0x02, 0x03, 0xF1}));
        }
    }
}

// A message that inflates to far more than 512 KiB from one small input step arrives whole.
TEST(TzefWSExtensions, LargeInflatedMessageIsComplete) {
    TzefWSTestConnection Server;
    Negotiate(Server, "permessage-deflate");
    TzefWSEventLog Log;
    Log.Attach(Server);
    std::string Text(3 * 1024 * 1024, 'a');
    for (std::size_t I = 0; I < Text.size(); I += 4099) {
        Text[I] = char('b' + I % 20);
    }
    TPeerDeflater Peer(15, false);
    Server.Receive(Frame(0xC1, Peer.Compress(Text), Key));
    Server.ReadData(true);
    ASSERT_EQ(Log.Messages.size(), 1u);
    EXPECT_TRUE(Log.Messages[0] == Text);
    // And the other way round.
    Server.WriteData(Text);
    TPeerInflater PeerIn(15);
    auto Inflated = PeerIn.Inflate(ParseServerFrame(Server.Written.back()).Payload);
    ASSERT_TRUE(Inflated.has_value());
    EXPECT_TRUE(*Inflated == Text);
}

TEST(TzefWSExtensions, WholeStreamOperations) {
    TzefWSExtension_PerMessage_Deflate Sender, Receiver;
    Sender.SetMode(TwsApplicationMode::appServer);
    Receiver.SetMode(TwsApplicationMode::appClient);
    ASSERT_TRUE(Sender.DecodeExtension("permessage-deflate"));
    ASSERT_TRUE(Receiver.DecodeExtension("permessage-deflate"));
    rtl::TMemoryStream Stream(Sample(4));
    ASSERT_TRUE(Sender.InflateFrame(Stream));
    EXPECT_NE(Stream.DataString(), Sample(4));
    ASSERT_TRUE(Receiver.DeflateFrame(Stream));
    EXPECT_EQ(Stream.DataString(), Sample(4));
    rtl::TMemoryStream Broken("\xFF\xFF");
    EXPECT_FALSE(Receiver.DeflateFrame(Broken));
}
