// wsecho end to end: the program's flags, its ready line, compression and its stop on SIGTERM.
#include "testing/Loopback.h"
#include "testing/TestProgram.h"
#include "testing/WebSocketTestClient.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

namespace {

using testsupport::FreePort;
using testsupport::TTestProgram;
using zef::testing::TWebSocketTestClient;

/// wsecho on a free port with aFlags; Port is 0 when it did not become ready.
struct TWsEcho {
    explicit TWsEcho(std::vector<std::string> aFlags, const std::string& aPath = "/ws/") {
        for (int Attempt = 0; Attempt < 5 && Port == 0; ++Attempt) {
            std::uint16_t Candidate = FreePort();
            std::vector<std::string> Arguments = aFlags;
            Arguments.insert(Arguments.end(), {"--port", std::to_string(Candidate)});
            Program = std::make_unique<TTestProgram>(WSECHO_PROGRAM, Arguments);
            auto Line = Program->ReadLine();
            if (Line && *Line == "wsecho listening on ws://127.0.0.1:" + std::to_string(Candidate) +
                                     aPath) {
                Port = Candidate;
            }
        }
    }
    std::unique_ptr<TTestProgram> Program;
    std::uint16_t Port = 0;
};

std::string Inflate(const std::string& aPayload) {
    z_stream Stream{};
    if (inflateInit2(&Stream, -15) != Z_OK) {
        return "<inflateInit2 failed>";
    }
    std::string Input = aPayload + std::string("\x00\x00\xff\xff", 4);
    std::string Output;
    char Chunk[16384];
    Stream.next_in = reinterpret_cast<Bytef*>(Input.data());
    Stream.avail_in = uInt(Input.size());
    int Result = Z_OK;
    do {
        Stream.next_out = reinterpret_cast<Bytef*>(Chunk);
        Stream.avail_out = sizeof Chunk;
        Result = inflate(&Stream, Z_SYNC_FLUSH);
        Output.append(Chunk, sizeof Chunk - Stream.avail_out);
    } while (Result == Z_OK && Stream.avail_out == 0);
    inflateEnd(&Stream);
    return Output;
}

TEST(WsEcho, ReadyLineGreetingAndEchoOnTheGivenPath) {
    TWsEcho Server({"--path", "/echo/", "--threads", "2"}, "/echo/");
    ASSERT_NE(Server.Port, 0);
    TWebSocketTestClient Client;
    ASSERT_TRUE(Client.Open(Server.Port, "/echo/")) << Client.ResponseHead();
    EXPECT_EQ(Client.ReadMessage().value_or("<none>"), "Hello From Server.");
    ASSERT_TRUE(Client.SendText("ping me"));
    EXPECT_EQ(Client.ReadMessage().value_or("<none>"), "ping me");
}

TEST(WsEcho, BinaryIsEchoedOnlyWithTheFlag) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Flags;
        bool Echoed;
    };
    const TCase Cases[] = {
        {"default", {}, false},
        {"--echo-binary", {"--echo-binary"}, true},
        {"--echo-binary off", {"--echo-binary", "off"}, false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TWsEcho Server(Case.Flags);
        ASSERT_NE(Server.Port, 0);
        TWebSocketTestClient Client;
        ASSERT_TRUE(Client.Open(Server.Port, "/ws/"));
        ASSERT_TRUE(Client.ReadMessage().has_value());
        ASSERT_TRUE(Client.SendBinary(std::string("\x00\xFF\x10", 3)));
        ASSERT_TRUE(Client.SendText("marker"));
        std::uint8_t Opcode = 0;
        auto First = Client.ReadMessage(&Opcode);
        ASSERT_TRUE(First.has_value());
        if (Case.Echoed) {
            EXPECT_EQ(Opcode, 0x2);
            EXPECT_EQ(*First, std::string("\x00\xFF\x10", 3));
            EXPECT_EQ(Client.ReadMessage().value_or(""), "marker");
        } else {
            EXPECT_EQ(Opcode, 0x1);
            EXPECT_EQ(*First, "marker");
        }
    }
}

TEST(WsEcho, PerMessageDeflateIsNegotiatedOnlyWhenSwitchedOn) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Flags;
        const char* Answer;
    };
    const TCase Cases[] = {
        {"off", {}, ""},
        {"on", {"--permessage-deflate"}, "permessage-deflate"},
        {"no context takeover",
         {"--permessage-deflate", "on", "--server-no-context-takeover"},
         "server_no_context_takeover"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TWsEcho Server(Case.Flags);
        ASSERT_NE(Server.Port, 0);
        TWebSocketTestClient Client;
        ASSERT_TRUE(Client.Connect("127.0.0.1", Server.Port));
        ASSERT_EQ(Client.Handshake("/ws/", {"Sec-WebSocket-Extensions: permessage-deflate"}), 101);
        std::string Answer = Client.ResponseHeader("Sec-WebSocket-Extensions");
        if (*Case.Answer == '\0') {
            EXPECT_EQ(Answer, "");
        } else {
            EXPECT_NE(Answer.find(Case.Answer), std::string::npos) << Answer;
        }
        auto Greeting = Client.ReadFrame();
        ASSERT_TRUE(Greeting.has_value());
        bool Compressed = (Greeting->Rsv & 0x4) != 0;
        EXPECT_EQ(Compressed, !Answer.empty());
        EXPECT_EQ(Compressed ? Inflate(Greeting->Payload) : Greeting->Payload,
                  "Hello From Server.");
    }
}

TEST(WsEcho, MaxMessageSizeRefusesLargerMessages) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Flags;
        bool CloseFrame; // With a clean disconnect the refusal comes as a close frame (1009).
    };
    const TCase Cases[] = {
        {"plain", {"--max-message-size", "16"}, false},
        {"clean disconnect", {"--max-message-size", "16", "--clean-disconnect"}, true},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TWsEcho Server(Case.Flags);
        ASSERT_NE(Server.Port, 0);
        TWebSocketTestClient Client;
        ASSERT_TRUE(Client.Open(Server.Port, "/ws/"));
        ASSERT_TRUE(Client.ReadMessage().has_value());
        ASSERT_TRUE(Client.SendText(std::string(16, 'a')));
        EXPECT_EQ(Client.ReadMessage().value_or(""), std::string(16, 'a'));
        ASSERT_TRUE(Client.SendText(std::string(17, 'a')));
        if (Case.CloseFrame) {
            auto Frame = Client.ReadFrame();
            ASSERT_TRUE(Frame.has_value());
            EXPECT_EQ(Frame->Opcode, 0x8);
            EXPECT_EQ(Frame->CloseCode(), 1009);
        }
        auto Rest = Client.ReadUntilClosed();
        ASSERT_TRUE(Rest.has_value());
        EXPECT_EQ(*Rest, "");
    }
}

TEST(WsEcho, HelpAndBadFlags) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Flags;
        int Status;
    };
    const TCase Cases[] = {
        {"help", {"--help"}, 0},
        {"unknown flag", {"--frobnicate"}, 2},
        {"port out of range", {"--port", "70000"}, 2},
        {"window bits out of range", {"--server-max-window-bits", "7"}, 2},
        {"missing value", {"--threads"}, 2},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TTestProgram Program(WSECHO_PROGRAM, Case.Flags);
        std::string Output = Program.ReadAll();
        EXPECT_EQ(Program.WaitExit(), std::optional<int>(Case.Status));
        if (Case.Status == 0) {
            EXPECT_NE(Output.find("--permessage-deflate"), std::string::npos);
        }
    }
}

TEST(WsEcho, SigtermStopsItWithStatusZero) {
    TWsEcho Server({});
    ASSERT_NE(Server.Port, 0);
    TWebSocketTestClient Client;
    ASSERT_TRUE(Client.Open(Server.Port, "/ws/"));
    ASSERT_TRUE(Client.ReadMessage().has_value());
    Server.Program->Signal(SIGTERM);
    EXPECT_EQ(Server.Program->WaitExit(), std::optional<int>(0));
    EXPECT_TRUE(Client.ReadUntilClosed().has_value());
}

} // namespace
