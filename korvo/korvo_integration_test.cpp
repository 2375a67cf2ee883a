// korvo end to end: the real program on port 2001, driven by real WebSocket and HTTP clients.
#include "testing/TestProgram.h"
#include "testing/WebSocketTestClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::TTestProgram;
using zef::testing::TWebSocketTestClient;
using zef::testing::TWSFrame;

constexpr std::uint16_t KorvoPort = 2001;
constexpr const char* StartLine = "zefWebSockets Server started at ws://127.0.0.1:2001/ws";

class Korvo : public ::testing::Test {
protected:
    void SetUp() override {
        auto Line = FProgram.ReadLine();
        ASSERT_TRUE(Line.has_value()) << "korvo printed nothing";
        ASSERT_EQ(*Line, StartLine);
    }
    /// A client past the handshake and the greeting.
    void OpenGreeted(TWebSocketTestClient& aClient) {
        ASSERT_TRUE(aClient.Open(KorvoPort, "/ws/")) << aClient.ResponseHead();
        std::uint8_t Opcode = 0;
        auto Greeting = aClient.ReadMessage(&Opcode);
        ASSERT_TRUE(Greeting.has_value());
        EXPECT_EQ(Opcode, 0x1);
        EXPECT_EQ(*Greeting, "Hello From Server.");
    }
    /// A plain HTTP exchange: the whole answer up to the end of the connection.
    std::string HttpGet(const std::string& aRequest) {
        TWebSocketTestClient Client;
        EXPECT_TRUE(Client.Connect("127.0.0.1", KorvoPort));
        EXPECT_TRUE(Client.SendRaw(aRequest));
        auto Answer = Client.ReadUntilClosed();
        EXPECT_TRUE(Answer.has_value()) << "the connection was not closed";
        return Answer.value_or("");
    }

    TTestProgram FProgram{KORVO_PROGRAM};
};

std::string Header(const std::string& aAnswer, const std::string& aName) {
    std::size_t At = aAnswer.find("\r\n" + aName + ":");
    if (At == std::string::npos) {
        return {};
    }
    At += aName.size() + 3;
    while (At < aAnswer.size() && aAnswer[At] == ' ') {
        ++At;
    }
    return aAnswer.substr(At, aAnswer.find("\r\n", At) - At);
}

std::string Body(const std::string& aAnswer) {
    std::size_t At = aAnswer.find("\r\n\r\n");
    return At == std::string::npos ? std::string() : aAnswer.substr(At + 4);
}

TEST_F(Korvo, GreetsFirstThenEchoesEveryTextUnchanged) {
    TWebSocketTestClient Client;
    OpenGreeted(Client);
    struct TCase {
        const char* Name;
        std::string Text;
    };
    std::string Large(1u << 20, '\0');
    for (std::size_t I = 0; I < Large.size(); ++I) {
        Large[I] = char('a' + I % 26);
    }
    const TCase Cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"125 bytes", std::string(125, 'a')},
        {"126 bytes", std::string(126, 'b')},
        {"65535 bytes", std::string(65535, 'c')},
        {"65536 bytes", std::string(65536, 'd')},
        {"1 MiB", Large},
        {"non-ASCII", "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        ASSERT_TRUE(Client.SendText(Case.Text));
        auto Frame = Client.ReadFrame();
        ASSERT_TRUE(Frame.has_value());
        EXPECT_TRUE(Frame->Fin);
        EXPECT_EQ(Frame->Opcode, 0x1);
        EXPECT_EQ(Frame->Rsv, 0);
        EXPECT_TRUE(Frame->Payload == Case.Text);
    }
}

TEST_F(Korvo, BinaryIsNotEchoedPingIsAnswered) {
    TWebSocketTestClient Client;
    OpenGreeted(Client);
    ASSERT_TRUE(Client.SendBinary(std::string("\x00\x01\x02", 3)));
    ASSERT_TRUE(Client.SendPing("are you there"));
    ASSERT_TRUE(Client.SendText("after"));
    // In order: the pong, then the echo of "after"; nothing for the binary message.
    auto Pong = Client.ReadFrame();
    ASSERT_TRUE(Pong.has_value());
    EXPECT_EQ(Pong->Opcode, 0xA);
    EXPECT_EQ(Pong->Payload, "are you there");
    auto Echo = Client.ReadFrame();
    ASSERT_TRUE(Echo.has_value());
    EXPECT_EQ(Echo->Opcode, 0x1);
    EXPECT_EQ(Echo->Payload, "after");
}

TEST_F(Korvo, CloseIsAnsweredWith1000AndTheConnectionEnds) {
    TWebSocketTestClient Client;
    OpenGreeted(Client);
    ASSERT_TRUE(Client.SendClose(1000, "bye"));
    auto Frame = Client.ReadFrame();
    ASSERT_TRUE(Frame.has_value());
    EXPECT_EQ(Frame->Opcode, 0x8);
    EXPECT_EQ(Frame->CloseCode(), 1000);
    auto Rest = Client.ReadUntilClosed();
    ASSERT_TRUE(Rest.has_value());
    EXPECT_EQ(*Rest, "");
}

TEST_F(Korvo, TwoClientsGetOnlyTheirOwnEchoes) {
    TWebSocketTestClient First;
    TWebSocketTestClient Second;
    OpenGreeted(First);
    OpenGreeted(Second);
    for (int I = 0; I < 50; ++I) {
        ASSERT_TRUE(First.SendText("first " + std::to_string(I)));
        ASSERT_TRUE(Second.SendText("second " + std::to_string(I)));
    }
    for (int I = 0; I < 50; ++I) {
        auto A = First.ReadMessage();
        auto B = Second.ReadMessage();
        ASSERT_TRUE(A.has_value() && B.has_value());
        EXPECT_EQ(*A, "first " + std::to_string(I));
        EXPECT_EQ(*B, "second " + std::to_string(I));
    }
}

TEST_F(Korvo, BuiltInFilesAreServedWithTheirContentTypes) {
    struct TCase {
        const char* Path;
        const char* ContentType;
        const char* Marker;
    };
    const TCase Cases[] = {
        {"/ws/zefWebSockets.html", "text/html; charset=utf-8", "<html"},
        {"/ws/zefWebSockets.js", "text/javascript", "WebSocket"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Path);
        std::string Answer =
            HttpGet(std::string("GET ") + Case.Path + " HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n\r\n");
        ASSERT_EQ(Answer.compare(0, 15, "HTTP/1.1 200 OK"), 0) << Answer.substr(0, 200);
        EXPECT_EQ(Header(Answer, "Content-Type"), Case.ContentType);
        EXPECT_NE(Body(Answer).find(Case.Marker), std::string::npos);
    }
}

TEST_F(Korvo, OtherPlainRequestsAreClosedWithoutAnAnswer) {
    std::string Answer = HttpGet("GET /ws/nothing-here HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n\r\n");
    EXPECT_EQ(Answer, "");
}

TEST_F(Korvo, RefusedUpgradesGetAnAnswerAndTheConnectionEnds) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Headers;
        int Status;
    };
    const TCase Cases[] = {
        {"no key", {"Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13"}, 400},
        {"unknown sub-protocol",
         {"Upgrade: websocket", "Connection: Upgrade",
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13",
          "Sec-WebSocket-Protocol: chat"},
         400},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TWebSocketTestClient Client;
        ASSERT_TRUE(Client.Connect("127.0.0.1", KorvoPort));
        EXPECT_EQ(Client.Handshake("/ws/", Case.Headers, false), Case.Status);
        auto Rest = Client.ReadUntilClosed();
        EXPECT_TRUE(Rest.has_value()) << "the connection stayed open";
    }
    // The server is unharmed: a proper client still gets its greeting.
    TWebSocketTestClient Client;
    OpenGreeted(Client);
}

TEST_F(Korvo, ClientsThatVanishLeaveTheServerServing) {
    for (int Round = 0; Round < 3; ++Round) {
        TWebSocketTestClient Reset;
        OpenGreeted(Reset);
        ASSERT_TRUE(Reset.SendRaw(std::string("\x81\x85\x01\x02", 4))); // Half a frame.
        Reset.Reset();
        TWebSocketTestClient Gone;
        OpenGreeted(Gone);
        Gone.ShutdownSend();
        auto Rest = Gone.ReadUntilClosed();
        EXPECT_TRUE(Rest.has_value());
    }
    TWebSocketTestClient Client;
    OpenGreeted(Client);
    ASSERT_TRUE(Client.SendText("still here"));
    EXPECT_EQ(Client.ReadMessage().value_or(""), "still here");
}

// Text that is not UTF-8 is refused with 1007 instead of being echoed as text (which every
// conforming client must refuse in turn); so is a close frame whose reason is not UTF-8.
TEST_F(Korvo, TextThatIsNotUtf8IsRefusedWith1007) {
    struct TCase {
        const char* Name;
        std::vector<std::pair<std::uint8_t, std::string>> Frames; // FIN bit and opcode, payload
    };
    const TCase Cases[] = {
        {"overlong encoding", {{0x81, "\xC0\xAF"}}},
        {"encoded surrogate", {{0x81, "ok \xED\xA0\x80"}}},
        {"above U+10FFFF", {{0x81, "\xF4\x90\x80\x80"}}},
        {"sequence cut off at the end", {{0x81, "price: \xE2\x82"}}},
        {"stray continuation byte", {{0x81, "a\x80z"}}},
        {"bad byte in the last fragment", {{0x01, "fine so far"}, {0x80, " then \xFF"}}},
        {"close reason that is not UTF-8", {{0x88, std::string("\x03\xE8\xC3\x28", 4)}}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TWebSocketTestClient Client;
        OpenGreeted(Client);
        for (const auto& [Opcode, Payload] : Case.Frames) {
            ASSERT_TRUE(Client.SendFrame(Opcode & 0x0F, Payload, (Opcode & 0x80) != 0));
        }
        auto Frame = Client.ReadFrame();
        ASSERT_TRUE(Frame.has_value()) << "the connection ended without a close frame";
        if (Frame->Opcode != 0x8) {
            ADD_FAILURE() << "echoed as opcode " << int(Frame->Opcode) << ": " << Frame->Payload;
            continue;
        }
        EXPECT_EQ(Frame->CloseCode(), 1007);
        EXPECT_TRUE(Client.ReadUntilClosed().has_value());
    }
    // Valid text still comes back as it was sent, also when a character spans two fragments;
    // a lone 0xF4 that ends a message is no character and does not come back.
    TWebSocketTestClient Client;
    OpenGreeted(Client);
    ASSERT_TRUE(Client.SendText("Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80"));
    EXPECT_EQ(Client.ReadMessage().value_or(""), "Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80");
    ASSERT_TRUE(Client.SendFrame(0x1, "1 \xE2\x82", false));
    ASSERT_TRUE(Client.SendFrame(0x0, "\xAC", true));
    EXPECT_EQ(Client.ReadMessage().value_or(""), "1 \xE2\x82\xAC");
    ASSERT_TRUE(Client.SendText("ab\xF4"));
    EXPECT_EQ(Client.ReadMessage().value_or("<none>"), "ab");
}

TEST_F(Korvo, ASecondKorvoOnTheSamePortPrintsTheFailureLineAndFails) {
    TTestProgram Second(KORVO_PROGRAM);
    auto Line = Second.ReadLine();
    ASSERT_TRUE(Line.has_value());
    EXPECT_NE(*Line, StartLine);
    EXPECT_EQ(Line->rfind("TzefWSException: ", 0), 0u) << *Line;
    EXPECT_EQ(Second.WaitExit(), std::optional<int>(1));
    // The first one still serves.
    TWebSocketTestClient Client;
    OpenGreeted(Client);
}

} // namespace

namespace {

TEST(KorvoAlone, WithoutTheHttpApiLibraryItPrintsTheFailureLineAndFails) {
    // A copy of the program beside its runtime library but without libhttpapi.so.
    namespace fs = std::filesystem;
    fs::path Source(KORVO_PROGRAM);
    fs::path Folder = fs::temp_directory_path() / ("korvo-alone-" + std::to_string(getpid()));
    fs::remove_all(Folder);
    fs::create_directories(Folder);
    fs::copy_file(Source, Folder / "korvo");
    // The runtime library by its soname, the name the program asks the loader for.
    fs::copy_file(Source.parent_path() / "libplatform_win.so.1", Folder / "libplatform_win.so.1");
    {
        TTestProgram Program((Folder / "korvo").string());
        auto Line = Program.ReadLine();
        ASSERT_TRUE(Line.has_value());
        EXPECT_EQ(*Line, "Exception: Unable to find httpapi.dll");
        EXPECT_EQ(Program.WaitExit(), std::optional<int>(1));
    }
    fs::remove_all(Folder);
}

// SIGTERM and SIGINT (Ctrl-C) close every connection as going away (1001), stop the component
// and end the program with status 0; under the sanitizers nothing may leak at that exit.
TEST(KorvoStop, ASignalClosesEveryConnectionWith1001AndExitsWithZero) {
    struct TCase {
        const char* Name;
        int Signal;
    };
    const TCase Cases[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TTestProgram Program(KORVO_PROGRAM);
        ASSERT_EQ(Program.ReadLine().value_or("<nothing>"), StartLine);
        std::vector<std::unique_ptr<TWebSocketTestClient>> Clients;
        for (int I = 0; I < 3; ++I) {
            Clients.push_back(std::make_unique<TWebSocketTestClient>());
            ASSERT_TRUE(Clients.back()->Open(KorvoPort, "/ws/"));
            ASSERT_EQ(Clients.back()->ReadMessage().value_or(""), "Hello From Server.");
            ASSERT_TRUE(Clients.back()->SendText("echo " + std::to_string(I)));
            ASSERT_EQ(Clients.back()->ReadMessage().value_or(""), "echo " + std::to_string(I));
        }
        Program.Signal(Case.Signal);
        for (auto& Client : Clients) {
            auto Frame = Client->ReadFrame();
            ASSERT_TRUE(Frame.has_value()) << "the connection ended without a close frame";
            EXPECT_EQ(Frame->Opcode, 0x8);
            EXPECT_EQ(Frame->CloseCode(), 1001);
            EXPECT_TRUE(Client->ReadUntilClosed().has_value());
        }
        EXPECT_EQ(Program.WaitExit(), std::optional<int>(0));
        EXPECT_EQ(Program.ReadAll(), ""); // the start line was all it printed
        TWebSocketTestClient Late;
        EXPECT_FALSE(Late.Connect("127.0.0.1", KorvoPort, 2s)); // nothing listens any more
    }
}

} // namespace
