// korvo against hostile clients: the real program on port 2001, fed frames of every failure
// row, oversized messages, a client that never reads, clients vanishing mid-frame and a flood
// of connections. Each case checks the close code the client gets and that korvo goes on
// serving others. Two cases need options korvo leaves off and run against wsecho, the same
// component and transport with them switched on.
#include "testing/Loopback.h"
#include "testing/ProcessLimits.h"
#include "testing/TestProgram.h"
#include "testing/WebSocketTestClient.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::TTestProgram;
using zef::testing::TWebSocketTestClient;
using zef::testing::TWSFrame;

constexpr std::uint16_t KorvoPort = 2001;
constexpr const char* StartLine = "zefWebSockets Server started at ws://127.0.0.1:2001/ws";
constexpr std::size_t MaxMessageSize = 16u << 20; // the connections' default message limit
// wsecho's limit here: far below the bomb below, so that what stays resident tells an inflater
// that stopped at the limit (a few MiB) from one that did not (64 MiB and more).
constexpr std::size_t WsEchoMaxMessageSize = 1u << 20;

/// A frame header (FIN set unless told otherwise) with a masking key of zeros, so the payload
/// goes out as it is.
std::string MaskedHeader(std::uint8_t aFirst, std::uint64_t aLength) {
    std::string Header(1, char(aFirst));
    if (aLength < 126) {
        Header += char(0x80 | aLength);
    } else if (aLength <= 0xFFFF) {
        Header += char(0x80 | 126);
        Header += char(aLength >> 8);
        Header += char(aLength & 0xFF);
    } else {
        Header += char(0x80 | 127);
        for (int Shift = 56; Shift >= 0; Shift -= 8) {
            Header += char((aLength >> Shift) & 0xFF);
        }
    }
    return Header + std::string(4, '\0');
}

std::string CloseCode(int aCode) {
    return {char(aCode >> 8), char(aCode & 0xFF)};
}

/// Resident memory of a process in KiB, 0 when it cannot be read.
long ResidentKiB(pid_t aPid) {
    std::ifstream Status("/proc/" + std::to_string(aPid) + "/status");
    std::string Line;
    while (std::getline(Status, Line)) {
        if (Line.rfind("VmRSS:", 0) == 0) {
            return std::stol(Line.substr(6));
        }
    }
    return 0;
}

/// The descriptor limit, raised to the hard limit before anything starts (the program under
/// test inherits it): the floods need thousands of sockets on both sides.
const rlim_t DescriptorLimit = testsupport::RaiseDescriptorLimit();

/// A server program on port 2001 under attack: it must print its ready line first, and serve a
/// fresh client after every test.
class HostileServer : public ::testing::Test {
protected:
    HostileServer(const char* aProgram, const std::vector<std::string>& aArguments,
                  std::string aReadyLine)
        : FProgram(aProgram, aArguments)
        , FReadyLine(std::move(aReadyLine)) {}
    void SetUp() override {
        auto Line = FProgram.ReadLine();
        ASSERT_TRUE(Line.has_value()) << "the server printed nothing";
        ASSERT_EQ(*Line, FReadyLine);
    }
    void TearDown() override {
        if (!HasFatalFailure()) {
            ExpectServed();
        }
    }
    /// A client past the handshake and the greeting.
    static void OpenGreeted(TWebSocketTestClient& aClient,
                            const std::vector<std::string>& aHeaders = {}) {
        ASSERT_TRUE(aClient.Open(KorvoPort, "/ws/", aHeaders)) << aClient.ResponseHead();
        EXPECT_EQ(aClient.ReadMessage().value_or("<none>"), "Hello From Server.");
    }
    /// A fresh client is greeted and gets its echo.
    static void ExpectServed() {
        TWebSocketTestClient Client;
        OpenGreeted(Client);
        ASSERT_TRUE(Client.SendText("still here"));
        EXPECT_EQ(Client.ReadMessage().value_or("<none>"), "still here");
    }
    /// The next frames up to a close frame: its code, or 0 when the connection ended without
    /// one. The connection must then end.
    static int CloseCodeReceived(TWebSocketTestClient& aClient) {
        for (;;) {
            std::optional<TWSFrame> Frame = aClient.ReadFrame();
            if (!Frame) {
                return 0;
            }
            if (Frame->Opcode == 0x8) {
                EXPECT_TRUE(aClient.ReadUntilClosed().has_value()) << "not closed after 0x8";
                return Frame->CloseCode();
            }
        }
    }

    TTestProgram FProgram;
    std::string FReadyLine;
};

class KorvoHostile : public HostileServer {
protected:
    KorvoHostile() : HostileServer(KORVO_PROGRAM, {}, StartLine) {}
};

/// The same component and transport with what korvo leaves off switched on: close frames for
/// faults found in a frame's header, and permessage-deflate.
class WsEchoHostile : public HostileServer {
protected:
    WsEchoHostile()
        : HostileServer(
              WSECHO_PROGRAM,
              {"--port", std::to_string(KorvoPort), "--clean-disconnect", "--permessage-deflate",
               "--max-message-size", std::to_string(WsEchoMaxMessageSize)},
              "wsecho listening on ws://127.0.0.1:" + std::to_string(KorvoPort) + "/ws/") {}
};

struct TBadFrameCase {
    const char* Name;
    std::string Bytes; // sent raw after the greeting
    int Code;
};

// Faults found in the frame's header (and the message limits): the close frame with the code,
// then the end of the connection.
std::vector<TBadFrameCase> HeaderFaults(std::size_t aLimit = MaxMessageSize) {
    const std::string Text = "abc";
    return {
        {"unmasked client frame", std::string("\x81\x03", 2) + Text, 1002},
        {"RSV1 without an extension", MaskedHeader(0xC1, 3) + Text, 1002},
        {"RSV2 without an extension", MaskedHeader(0xA1, 3) + Text, 1002},
        {"RSV3 without an extension", MaskedHeader(0x91, 3) + Text, 1002},
        {"opcode 0x3", MaskedHeader(0x83, 3) + Text, 1002},
        {"opcode 0xB", MaskedHeader(0x8B, 3) + Text, 1002},
        {"fragmented ping", MaskedHeader(0x09, 3) + Text, 1002},
        {"ping announcing 126 bytes", MaskedHeader(0x89, 126) + std::string(126, 'p'), 1002},
        {"continuation without a start", MaskedHeader(0x80, 3) + Text, 1002},
        {"text inside an unfinished message",
         MaskedHeader(0x01, 3) + Text + MaskedHeader(0x81, 3) + Text, 1002},
        {"binary inside an unfinished message",
         MaskedHeader(0x02, 3) + Text + MaskedHeader(0x82, 3) + Text, 1002},
        {"64-bit length with the top bit set",
         std::string("\x81\xFF\x80\x00\x00\x00\x00\x00\x00\x00", 10) + std::string(4, '\0'), 1009},
        {"text frame one byte over the limit", MaskedHeader(0x81, aLimit + 1), 1009},
    };
}

// Faults found in a close frame's payload, and the codes that are accepted.
std::vector<TBadFrameCase> CloseFrames() {
    return {
        {"close with one byte", MaskedHeader(0x88, 1) + "x", 1002},
        {"close code 0", MaskedHeader(0x88, 2) + CloseCode(0), 1002},
        {"close code 999", MaskedHeader(0x88, 2) + CloseCode(999), 1002},
        {"close code 1004", MaskedHeader(0x88, 2) + CloseCode(1004), 1002},
        {"close code 1005", MaskedHeader(0x88, 2) + CloseCode(1005), 1002},
        {"close code 1006", MaskedHeader(0x88, 2) + CloseCode(1006), 1002},
        {"close code 1012", MaskedHeader(0x88, 2) + CloseCode(1012), 1002},
        {"close code 1015", MaskedHeader(0x88, 2) + CloseCode(1015), 1002},
        {"close code 2999", MaskedHeader(0x88, 2) + CloseCode(2999), 1002},
        {"close code 5000", MaskedHeader(0x88, 2) + CloseCode(5000), 1002},
        {"close code 65535", MaskedHeader(0x88, 2) + CloseCode(65535), 1002},
        {"empty close", MaskedHeader(0x88, 0), 1000},
        {"close code 1000", MaskedHeader(0x88, 2) + CloseCode(1000), 1000},
        {"close code 1003", MaskedHeader(0x88, 2) + CloseCode(1003), 1000},
        {"close code 1007", MaskedHeader(0x88, 2) + CloseCode(1007), 1000},
        {"close code 1011", MaskedHeader(0x88, 2) + CloseCode(1011), 1000},
        {"close code 3000", MaskedHeader(0x88, 2) + CloseCode(3000), 1000},
        {"close code 4999", MaskedHeader(0x88, 2) + CloseCode(4999), 1000},
        // korvo validates UTF-8, close reasons included.
        {"invalid UTF-8 close reason", MaskedHeader(0x88, 4) + CloseCode(1000) + "\xC3\x28", 1007},
    };
}

TEST_F(KorvoHostile, CloseFramesGetTheirCloseCode) {
    for (const TBadFrameCase& Case : CloseFrames()) {
        SCOPED_TRACE(Case.Name);
        TWebSocketTestClient Client;
        OpenGreeted(Client);
        ASSERT_TRUE(Client.SendRaw(Case.Bytes));
        EXPECT_EQ(CloseCodeReceived(Client), Case.Code);
        ExpectServed();
    }
}

// A frame-header fault sends its close frame only with CleanDisconnect on, which korvo and
// this wsecho turn on.
TEST_F(KorvoHostile, HeaderFaultsGetTheirCloseCode) {
    for (const TBadFrameCase& Case : HeaderFaults()) {
        SCOPED_TRACE(Case.Name);
        TWebSocketTestClient Client;
        OpenGreeted(Client);
        ASSERT_TRUE(Client.SendRaw(Case.Bytes));
        EXPECT_EQ(CloseCodeReceived(Client), Case.Code);
        ExpectServed();
    }
}

TEST_F(WsEchoHostile, HeaderFaultsGetTheirCloseCode) {
    for (const TBadFrameCase& Case : HeaderFaults(WsEchoMaxMessageSize)) {
        SCOPED_TRACE(Case.Name);
        TWebSocketTestClient Client;
        OpenGreeted(Client);
        ASSERT_TRUE(Client.SendRaw(Case.Bytes));
        EXPECT_EQ(CloseCodeReceived(Client), Case.Code);
        ExpectServed();
    }
}

TEST_F(KorvoHostile, FragmentedMessageOverTheLimitEndsTheConnection) {
    // Fragments that each fit, adding up to one byte more than a message may hold.
    TWebSocketTestClient Client;
    OpenGreeted(Client);
    const std::string Piece(1u << 20, 'f');
    for (std::size_t Sent = 0; Sent < MaxMessageSize; Sent += Piece.size()) {
        ASSERT_TRUE(Client.SendFrame(Sent == 0 ? 0x1 : 0x0, Piece, false));
    }
    Client.SendFrame(0x0, "x", true); // may fail once the server has closed
    EXPECT_EQ(CloseCodeReceived(Client), 1009);
}

TEST_F(KorvoHostile, FragmentedMessageAtTheLimitIsEchoed) {
    TWebSocketTestClient Client;
    OpenGreeted(Client);
    const std::string Piece(1u << 20, 'f');
    for (std::size_t Sent = 0; Sent < MaxMessageSize; Sent += Piece.size()) {
        ASSERT_TRUE(
            Client.SendFrame(Sent == 0 ? 0x1 : 0x0, Piece, Sent + Piece.size() == MaxMessageSize));
    }
    // 16 MiB checked and echoed: minutes under ThreadSanitizer on a loaded machine.
    const std::optional<std::string> Echo = Client.ReadMessage(nullptr, 240s);
    ASSERT_TRUE(Echo.has_value());
    EXPECT_EQ(Echo->size(), MaxMessageSize);
}

// korvo declines compression; wsecho negotiates it.
TEST_F(WsEchoHostile, DecompressionBombGets1009WithoutTheMemory) {
    TWebSocketTestClient Client;
    ASSERT_TRUE(Client.Open(KorvoPort, "/ws/", {"Sec-WebSocket-Extensions: permessage-deflate"}));
    ASSERT_NE(Client.ResponseHeader("Sec-WebSocket-Extensions").find("permessage-deflate"),
              std::string::npos);
    // The greeting comes compressed (RSV1).
    std::optional<TWSFrame> Greeting = Client.ReadFrame();
    ASSERT_TRUE(Greeting.has_value());
    EXPECT_EQ(Greeting->Rsv, 0x4);
    // 64 MiB of zeros as one compressed message (raw deflate, flushed, the closing
    // 00 00 FF FF left out): about 64 KiB on the wire, 64 times the message limit inflated.
    const std::string Zeros(64u << 20, '\0');
    z_stream Stream{};
    ASSERT_EQ(deflateInit2(&Stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
    std::string Bits(deflateBound(&Stream, uLong(Zeros.size())) + 16, '\0');
    Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Zeros.data()));
    Stream.avail_in = uInt(Zeros.size());
    Stream.next_out = reinterpret_cast<Bytef*>(Bits.data());
    Stream.avail_out = uInt(Bits.size());
    ASSERT_EQ(deflate(&Stream, Z_SYNC_FLUSH), Z_OK);
    Bits.resize(Bits.size() - Stream.avail_out - 4);
    deflateEnd(&Stream);
    const long Before = ResidentKiB(FProgram.Pid());
    ASSERT_TRUE(Client.SendFrame(0x1, Bits, true, true, 0x4));
    EXPECT_EQ(CloseCodeReceived(Client), 1009);
    // The inflater stopped at the limit: nowhere near 64 MiB more stayed resident.
    EXPECT_LT(ResidentKiB(FProgram.Pid()) - Before, 32L * 1024);
}

TEST_F(KorvoHostile, ClientThatNeverReadsIsDroppedWithBoundedMemory) {
    const long Before = ResidentKiB(FProgram.Pid());
    ASSERT_GT(Before, 0);
    // A raw client with a tiny receive buffer that upgrades and then never reads a byte.
    const int Socket = testsupport::ConnectTcp(KorvoPort, std::chrono::seconds(30), "127.0.0.1",
                                               /*aReceiveBuffer=*/4096);
    ASSERT_GE(Socket, 0);
    timeval Timeout{2, 0}; // a stalled send gives up soon; the drop is awaited below
    ::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &Timeout, sizeof Timeout);
    const std::string Upgrade =
        "GET /ws/ HTTP/1.1\r\nHost: 127.0.0.1:2001\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n";
    auto SendAll = [Socket](std::string_view aBytes) {
        while (!aBytes.empty()) {
            const ssize_t Sent = ::send(Socket, aBytes.data(), aBytes.size(), MSG_NOSIGNAL);
            if (Sent <= 0) {
                return false;
            }
            aBytes.remove_prefix(std::size_t(Sent));
        }
        return true;
    };
    ASSERT_TRUE(SendAll(Upgrade));
    // 1 KiB messages echoed into a socket nobody reads: the server may hold a bounded backlog,
    // then it must give the connection up. 262,144 messages (256 MiB) is far past any sane
    // bound. The messages are small because the send time-out grows with the output stuck past
    // the server's high water mark, at most one echo: at the default minimum send rate
    // (150 bytes/s) a 64 KiB echo could hold the connection for up to 7 minutes, a 1 KiB one
    // holds it for 8 s at most.
    constexpr int Messages = 256 * 1024;
    const std::string Frame = MaskedHeader(0x81, 1024) + std::string(1024, 'm');
    int Sent = 0;
    while (Sent < Messages && SendAll(Frame)) {
        ++Sent;
    }
    const int Error = errno;
    const long After = ResidentKiB(FProgram.Pid());
    EXPECT_LT(Sent, Messages) << "korvo still takes messages from a client that never reads";
    // Either the server already dropped the connection, or it stopped reading (its echoes are
    // stuck) and must drop it within its send time-out.
    bool Dropped = Error == ECONNRESET || Error == EPIPE;
    if (!Dropped) {
        pollfd Poll{Socket, 0, 0}; // errors and hang-ups are always reported
        Dropped = ::poll(&Poll, 1, 120000) == 1 && (Poll.revents & (POLLERR | POLLHUP)) != 0;
    }
    ::close(Socket);
    EXPECT_TRUE(Dropped) << "the stalled connection was still open; send ended with "
                         << std::strerror(Error) << " after " << Sent << " messages";
    EXPECT_LT(After - Before, 128L * 1024) << "before " << Before << " KiB, after " << After;
}

TEST_F(KorvoHostile, ClientsVanishingMidFrameLeaveTheServerServing) {
    const std::string Partial[] = {
        std::string("\x81", 1),                          // one byte of a header
        MaskedHeader(0x81, 1000).substr(0, 4),           // in the masking key
        MaskedHeader(0x81, 1000) + std::string(10, 'a'), // in the payload
        MaskedHeader(0x81, 70000) + std::string(30000, 'a'),
        MaskedHeader(0x01, 3) + "abc" + MaskedHeader(0x80, 100), // in a continuation
    };
    for (const std::string& Bytes : Partial) {
        SCOPED_TRACE(Bytes.size());
        for (bool Reset : {true, false}) {
            TWebSocketTestClient Client;
            OpenGreeted(Client);
            ASSERT_TRUE(Client.SendRaw(Bytes));
            if (Reset) {
                Client.Reset();
            } else {
                Client.Close();
            }
            ExpectServed();
        }
    }
}

TEST_F(KorvoHostile, FloodOfConnectionsDoesNotStopService) {
    // 1,000 upgraded connections at once next to 1,000 that never finish their handshake.
    // 1,000 of each where the descriptor limit allows (each takes one here and one in korvo).
    const int Flood = int(std::min<rlim_t>(1000, (DescriptorLimit - 100) / 2));
    std::vector<std::unique_ptr<TWebSocketTestClient>> Open, Stuck;
    for (int I = 0; I < Flood; ++I) {
        Open.push_back(std::make_unique<TWebSocketTestClient>());
        ASSERT_TRUE(Open.back()->Open(KorvoPort, "/ws/")) << I;
        Stuck.push_back(std::make_unique<TWebSocketTestClient>());
        ASSERT_TRUE(Stuck.back()->Connect("127.0.0.1", KorvoPort)) << I;
        ASSERT_TRUE(Stuck.back()->SendRaw("GET /ws/ HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    }
    ExpectServed();
    // Every flooding connection still works.
    for (int I = 0; I < Flood; I += 97) {
        EXPECT_EQ(Open[std::size_t(I)]->ReadMessage().value_or("<none>"), "Hello From Server.");
        ASSERT_TRUE(Open[std::size_t(I)]->SendText("x" + std::to_string(I)));
        EXPECT_EQ(Open[std::size_t(I)]->ReadMessage().value_or("<none>"), "x" + std::to_string(I));
    }
    // Half vanish with a reset, the rest close normally.
    for (int I = 0; I < Flood; ++I) {
        if (I % 2 == 0) {
            Open[std::size_t(I)]->Reset();
            Stuck[std::size_t(I)]->Reset();
        }
    }
    Open.clear();
    Stuck.clear();
    ExpectServed();
}

} // namespace
