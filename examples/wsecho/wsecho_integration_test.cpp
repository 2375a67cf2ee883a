// wsecho end to end: the program's flags, its ready line, compression and its stop on SIGTERM.
#include "testing/Loopback.h"
#include "testing/TestProgram.h"
#include "testing/WebSocketTestClient.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
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

std::string RunCommand(const std::string& aCommand) {
    std::string Output;
    if (FILE* Pipe = popen(aCommand.c_str(), "r")) {
        char Buffer[256];
        while (fgets(Buffer, sizeof Buffer, Pipe) != nullptr) {
            Output += Buffer;
        }
        pclose(Pipe);
    }
    return Output;
}

// A throw-away certificate in a temporary store, which the program finds through
// HTTPAPI_CERTSTORE (inherited from this process).
class TCertificateStore {
public:
    TCertificateStore() {
        FRoot =
            std::filesystem::temp_directory_path() / ("wsecho-certs-" + std::to_string(getpid()));
        std::filesystem::remove_all(FRoot);
        std::filesystem::create_directories(FRoot / "MY");
        const std::string Key = (FRoot / "key.pem").string();
        const std::string Cert = (FRoot / "cert.pem").string();
        RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                   "-days 1 -subj /CN=localhost -keyout " +
                   Key + " -out " + Cert + " 2>/dev/null");
        RunCommand("cat " + Cert + " " + Key + " > " + (FRoot / "MY" / "server.pem").string());
        // "SHA1 Fingerprint=AB:CD:...": the hex digits without the colons.
        const std::string Print =
            RunCommand("openssl x509 -in " + Cert + " -noout -fingerprint -sha1");
        for (std::size_t I = Print.find('=') + 1; I < Print.size(); ++I) {
            if (std::isxdigit(static_cast<unsigned char>(Print[I]))) {
                FHash += Print[I];
            }
        }
        setenv("HTTPAPI_CERTSTORE", FRoot.c_str(), 1);
    }
    ~TCertificateStore() {
        unsetenv("HTTPAPI_CERTSTORE");
        std::filesystem::remove_all(FRoot);
    }
    const std::string& Hash() const { return FHash; }

private:
    std::filesystem::path FRoot;
    std::string FHash;
};

// A blocking TLS client on a loopback port (certificate not checked); reads wait 10 s at most.
class TTlsClient {
public:
    explicit TTlsClient(std::uint16_t aPort) {
        FContext = SSL_CTX_new(TLS_client_method());
        FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval Wait{10, 0};
        setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &Wait, sizeof Wait);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(aPort);
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(FFd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0) {
            FSsl = SSL_new(FContext);
            SSL_set_fd(FSsl, FFd);
            FConnected = SSL_connect(FSsl) == 1;
        }
    }
    ~TTlsClient() {
        if (FSsl != nullptr) {
            SSL_free(FSsl);
        }
        SSL_CTX_free(FContext);
        close(FFd);
    }
    TTlsClient(const TTlsClient&) = delete;
    TTlsClient& operator=(const TTlsClient&) = delete;
    bool Connected() const { return FConnected; }
    bool Write(const std::string& aData) {
        return SSL_write(FSsl, aData.data(), int(aData.size())) == int(aData.size());
    }
    /// Up to the head's blank line; empty on an error or time-out.
    std::string ReadHead() {
        std::string Head;
        while (Head.find("\r\n\r\n") == std::string::npos && Head.size() < 4096) {
            char C = 0;
            if (SSL_read(FSsl, &C, 1) != 1) {
                return {};
            }
            Head += C;
        }
        return Head;
    }
    std::string ReadExact(std::size_t aCount) {
        std::string Data(aCount, '\0');
        std::size_t Done = 0;
        while (Done < aCount) {
            const int Read = SSL_read(FSsl, Data.data() + Done, int(aCount - Done));
            if (Read <= 0) {
                return {};
            }
            Done += std::size_t(Read);
        }
        return Data;
    }

private:
    SSL_CTX* FContext = nullptr;
    SSL* FSsl = nullptr;
    int FFd = -1;
    bool FConnected = false;
};

TEST(WsEcho, TlsCertificateHashServesWss) {
    signal(SIGPIPE, SIG_IGN); // OpenSSL writes with write(): a refused peer must not kill us.
    TCertificateStore Store;
    ASSERT_EQ(Store.Hash().size(), 40u);
    std::unique_ptr<TTestProgram> Program;
    std::uint16_t Port = 0;
    for (int Attempt = 0; Attempt < 5 && Port == 0; ++Attempt) {
        const std::uint16_t Candidate = FreePort();
        Program = std::make_unique<TTestProgram>(
            WSECHO_PROGRAM, std::vector<std::string>{"--port", std::to_string(Candidate),
                                                     "--tls-cert-hash", Store.Hash()});
        auto Line = Program->ReadLine();
        if (Line &&
            *Line == "wsecho listening on wss://127.0.0.1:" + std::to_string(Candidate) + "/ws/") {
            Port = Candidate;
        }
    }
    ASSERT_NE(Port, 0);
    TTlsClient Client(Port);
    ASSERT_TRUE(Client.Connected());
    ASSERT_TRUE(
        Client.Write("GET /ws/ HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n"));
    const std::string Head = Client.ReadHead();
    EXPECT_EQ(Head.rfind("HTTP/1.1 101", 0), 0u) << Head;
    EXPECT_NE(Head.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos) << Head;
    EXPECT_EQ(Client.ReadExact(2), std::string("\x81\x12", 2));
    EXPECT_EQ(Client.ReadExact(18), "Hello From Server.");
    // "over tls" masked with the key 00 00 00 00, then its echo, unmasked.
    ASSERT_TRUE(Client.Write(std::string("\x81\x88\0\0\0\0over tls", 14)));
    EXPECT_EQ(Client.ReadExact(10), std::string("\x81\x08over tls", 10));
}

TEST(WsEcho, TlsCertificateHashMustNameACertificate) {
    TCertificateStore Store;
    const struct {
        const char* Name;
        std::string Hash;
        int Status;
    } Cases[] = {
        {"39 digits", std::string(39, 'a'), 2},
        {"41 digits", std::string(41, 'a'), 2},
        {"not hex", std::string(39, 'a') + "g", 2},
        {"no such certificate", std::string(40, '0'), 1},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TTestProgram Program(WSECHO_PROGRAM, {"--port", std::to_string(FreePort()),
                                              "--tls-cert-hash", Case.Hash});
        const std::string Output = Program.ReadAll();
        EXPECT_EQ(Program.WaitExit(), std::optional<int>(Case.Status));
        EXPECT_EQ(Output.find("listening"), std::string::npos) << Output;
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
