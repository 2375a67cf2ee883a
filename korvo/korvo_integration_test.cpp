// korvo end to end: the real program on port 2001, driven by real WebSocket and HTTP clients.
#include "testing/TestProgram.h"
#include "testing/WebSocketTestClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zef::testing::TTestProgram;
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

TEST_F(Korvo, ASecondKorvoOnTheSamePortPrintsTheFailureLineAndExitsWithZero) {
    TTestProgram Second(KORVO_PROGRAM);
    auto Line = Second.ReadLine();
    ASSERT_TRUE(Line.has_value());
    EXPECT_NE(*Line, StartLine);
    EXPECT_EQ(Line->rfind("TzefWSException: ", 0), 0u) << *Line;
    EXPECT_EQ(Second.WaitExit(), std::optional<int>(0));
    // The first one still serves.
    TWebSocketTestClient Client;
    OpenGreeted(Client);
}

} // namespace

namespace {

TEST(KorvoAlone, WithoutTheHttpApiLibraryItPrintsTheFailureLineAndExitsWithZero) {
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
        EXPECT_EQ(Program.WaitExit(), std::optional<int>(0));
    }
    fs::remove_all(Folder);
}

} // namespace
