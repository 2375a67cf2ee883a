// wschat end to end: one room on one server, then several servers as one room through a real
// Redis (Redis lost and back, a server killed), and nginx in front of them as the README shows.
#include "testing/RedisTestServer.h"
#include "testing/TestProgram.h"
#include "testing/Loopback.h"
#include "testing/WebSocketTestClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zef::testing::FindProgram;
using testsupport::FreePort;
using zef::testing::TRedisTestReply;
using zef::testing::TRedisTestServer;
using testsupport::TTestProgram;
using zef::testing::TWebSocketTestClient;

constexpr std::chrono::seconds Bound{60};

/// wschat on a free port with aFlags; Port is 0 when it did not become ready.
struct TWsChat {
    explicit TWsChat(std::vector<std::string> aFlags) {
        for (int Attempt = 0; Attempt < 5 && Port == 0; ++Attempt) {
            std::uint16_t Candidate = FreePort();
            std::vector<std::string> Arguments = aFlags;
            Arguments.insert(Arguments.end(), {"--port", std::to_string(Candidate)});
            Program = std::make_unique<TTestProgram>(WSCHAT_PROGRAM, Arguments);
            auto Line = Program->ReadLine();
            if (Line && *Line == "wschat listening on ws://127.0.0.1:" + std::to_string(Candidate) +
                                     "/ws/") {
                Port = Candidate;
            }
        }
    }
    /// Waits for an output line that contains aText (lines before it are skipped).
    bool WaitLine(const std::string& aText) {
        while (auto Line = Program->ReadLine()) {
            if (Line->find(aText) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::unique_ptr<TTestProgram> Program;
    std::uint16_t Port = 0;
};

/// The flags of a node of the cluster aName on aRedis.
std::vector<std::string> NodeFlags(const TRedisTestServer& aRedis, const std::string& aNode,
                                   const std::string& aName = "room") {
    return {"--threads", "4", "--redis", aRedis.Address(), "--cluster", aName, "--node", aNode};
}

/// A chat client: connected, its welcome read, its GUID known.
struct TChatClient {
    bool Open(std::uint16_t aPort) {
        if (!Client.Open(aPort, "/ws/")) {
            return false;
        }
        auto Welcome = Client.ReadMessage();
        if (!Welcome || Welcome->rfind("Welcome ", 0) != 0) {
            return false;
        }
        Guid = Welcome->substr(8);
        return true;
    }
    std::string Next() { return Client.ReadMessage().value_or("<nothing>"); }
    TWebSocketTestClient Client;
    std::string Guid;
};

bool IsGuid(const std::string& aText) {
    return aText.size() == 32 && std::all_of(aText.begin(), aText.end(), [](char C) {
               return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F');
           });
}

/// One plain GET; the whole answer (the server closes after it).
std::string Get(std::uint16_t aPort, const std::string& aPath) {
    TWebSocketTestClient Client;
    if (!Client.Connect("127.0.0.1", aPort)) {
        return {};
    }
    Client.SendRaw("GET " + aPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(aPort) +
                   "\r\nConnection: close\r\n\r\n");
    return Client.ReadUntilClosed().value_or("");
}

std::string ReadFile(const std::string& aPath) {
    std::ifstream File(aPath);
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

TEST(WsChat, OneServerIsARoom) {
    TWsChat Server({"--threads", "2"});
    ASSERT_NE(Server.Port, 0);
    TChatClient Alice;
    TChatClient Bob;
    ASSERT_TRUE(Alice.Open(Server.Port));
    ASSERT_TRUE(Bob.Open(Server.Port));
    EXPECT_TRUE(IsGuid(Alice.Guid)) << Alice.Guid;
    EXPECT_NE(Alice.Guid, Bob.Guid);
    // Every other message goes to everyone, the sender included, unchanged.
    ASSERT_TRUE(Alice.Client.SendText("hello /to all"));
    EXPECT_EQ(Alice.Next(), "hello /to all");
    EXPECT_EQ(Bob.Next(), "hello /to all");
    struct TCase {
        const char* Name;
        std::string Sent;
        std::optional<std::string> ToBob;   // nullopt: nothing
        std::optional<std::string> ToAlice; // the sender's answer; nullopt: nothing
    };
    const std::optional<std::string> Nothing;
    const TCase Cases[] = {
        {"to a GUID", "/to " + Bob.Guid + " psst", "psst", Nothing},
        {"empty text", "/to " + Bob.Guid + " ", "", Nothing},
        {"text with blanks", "/to " + Bob.Guid + " a  b ", "a  b ", Nothing},
        {"no text", "/to " + Bob.Guid, Nothing, "Usage: /to GUID text"},
        {"no GUID", "/to  psst", Nothing, "Usage: /to GUID text"},
        {"unknown GUID", "/to NOSUCHGUID psst", Nothing, "No connection NOSUCHGUID"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        ASSERT_TRUE(Alice.Client.SendText(Case.Sent));
        // A broadcast after it shows what came before.
        ASSERT_TRUE(Alice.Client.SendText("marker"));
        if (Case.ToAlice) {
            EXPECT_EQ(Alice.Next(), *Case.ToAlice);
        }
        EXPECT_EQ(Alice.Next(), "marker");
        if (Case.ToBob) {
            EXPECT_EQ(Bob.Next(), *Case.ToBob);
        }
        EXPECT_EQ(Bob.Next(), "marker");
    }
    // The chat page is a built-in file.
    const std::string Page = Get(Server.Port, "/ws/wschat.html");
    EXPECT_EQ(Page.rfind("HTTP/1.1 200", 0), 0u) << Page.substr(0, 200);
    EXPECT_NE(Page.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(Page.find("<title>wschat</title>"), std::string::npos);
    EXPECT_NE(Page.find("new WebSocket("), std::string::npos);
}

TEST(WsChat, HelpAndBadClusterFlags) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Flags;
        int Status;
    };
    const TCase Cases[] = {
        {"help", {"--help"}, 0},
        {"redis without a port", {"--redis", "localhost"}, 2},
        {"redis port out of range", {"--redis", "localhost:0"}, 2},
        {"empty cluster name", {"--cluster", ""}, 2},
        {"expiry 0", {"--cluster-expiry", "0"}, 2},
        {"expiry above a day", {"--cluster-expiry", "86401"}, 2},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TTestProgram Program(WSCHAT_PROGRAM, Case.Flags);
        std::string Output = Program.ReadAll();
        EXPECT_EQ(Program.WaitExit(), std::optional<int>(Case.Status));
        if (Case.Status == 0) {
            EXPECT_NE(Output.find("--redis HOST:PORT"), std::string::npos);
            EXPECT_NE(Output.find("--cluster NAME"), std::string::npos);
        }
    }
}

TEST(WsChat, ThreeServersAreOneRoom) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    std::vector<std::unique_ptr<TWsChat>> Nodes;
    for (int I = 1; I <= 3; ++I) {
        Nodes.push_back(std::make_unique<TWsChat>(NodeFlags(Redis, "n" + std::to_string(I))));
        ASSERT_NE(Nodes.back()->Port, 0);
    }
    // Two clients on each server.
    constexpr int ClientCount = 6;
    constexpr int PerClient = 20;
    std::vector<std::unique_ptr<TChatClient>> Clients;
    for (int I = 0; I < ClientCount; ++I) {
        Clients.push_back(std::make_unique<TChatClient>());
        ASSERT_TRUE(Clients.back()->Open(Nodes[std::size_t(I % 3)]->Port));
    }
    for (int I = 0; I < 3; ++I) {
        EXPECT_TRUE(Redis.WaitFor({"SCARD", "room:node:n" + std::to_string(I + 1)},
                                  [](const TRedisTestReply& R) { return R.Integer == 2; }));
    }
    // Every client speaks; every client hears every message once, each sender's in order.
    for (int N = 0; N < PerClient; ++N) {
        for (int I = 0; I < ClientCount; ++I) {
            ASSERT_TRUE(Clients[std::size_t(I)]->Client.SendText("c" + std::to_string(I) + ":" +
                                                                 std::to_string(N)));
        }
    }
    for (int I = 0; I < ClientCount; ++I) {
        SCOPED_TRACE("client " + std::to_string(I));
        std::map<int, int> Next; // Sender: the next number expected from it.
        for (int M = 0; M < ClientCount * PerClient; ++M) {
            const std::string Text = Clients[std::size_t(I)]->Next();
            const std::size_t Colon = Text.find(':');
            ASSERT_TRUE(Text.size() > 1 && Text[0] == 'c' && Colon != std::string::npos) << Text;
            const int Sender = std::stoi(Text.substr(1, Colon - 1));
            const int Number = std::stoi(Text.substr(Colon + 1));
            ASSERT_EQ(Number, Next[Sender]) << "from client " << Sender;
            ++Next[Sender];
        }
        for (int S = 0; S < ClientCount; ++S) {
            EXPECT_EQ(Next[S], PerClient) << "from client " << S;
        }
    }
    // A direct message to a client of another server reaches that client only: a broadcast of
    // the same sender after it comes to everyone, and the secret before it to the target only.
    TChatClient& Sender = *Clients[0];   // on n1
    TChatClient& Receiver = *Clients[2]; // on n3
    ASSERT_TRUE(Sender.Client.SendText("/to " + Receiver.Guid + " secret"));
    ASSERT_TRUE(Sender.Client.SendText("after"));
    for (int I = 0; I < ClientCount; ++I) {
        SCOPED_TRACE("client " + std::to_string(I));
        if (I == 2) {
            EXPECT_EQ(Clients[std::size_t(I)]->Next(), "secret");
        }
        EXPECT_EQ(Clients[std::size_t(I)]->Next(), "after");
    }
}

TEST(WsChat, RedisLostAndBackWithoutRestartingTheServers) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TWsChat One(NodeFlags(Redis, "n1"));
    TWsChat Two(NodeFlags(Redis, "n2"));
    ASSERT_NE(One.Port, 0);
    ASSERT_NE(Two.Port, 0);
    TChatClient Near; // on n1, with the speaker
    TChatClient Far;  // on n2
    TChatClient Speaker;
    ASSERT_TRUE(Near.Open(One.Port));
    ASSERT_TRUE(Far.Open(Two.Port));
    ASSERT_TRUE(Speaker.Open(One.Port));
    ASSERT_TRUE(Speaker.Client.SendText("before"));
    for (TChatClient* Client : {&Near, &Far, &Speaker}) {
        EXPECT_EQ(Client->Next(), "before");
    }
    ASSERT_TRUE(Redis.Stop());
    // Local delivery goes on; the server reports the loss and what it could not pass on.
    EXPECT_TRUE(One.WaitLine("wschat: Cluster: lost the link to Redis at " + Redis.Address()));
    ASSERT_TRUE(Speaker.Client.SendText("while down"));
    EXPECT_EQ(Speaker.Next(), "while down");
    EXPECT_EQ(Near.Next(), "while down");
    EXPECT_TRUE(One.WaitLine("dropped (the link to Redis is down)"));
    // Back, with nothing kept: both servers come back on their own and list their clients again.
    ASSERT_TRUE(Redis.Restart());
    EXPECT_TRUE(Redis.WaitFor({"SCARD", "room:node:n1"},
                              [](const TRedisTestReply& R) { return R.Integer == 2; }));
    EXPECT_TRUE(Redis.WaitFor({"SCARD", "room:node:n2"},
                              [](const TRedisTestReply& R) { return R.Integer == 1; }));
    ASSERT_TRUE(Speaker.Client.SendText("after"));
    EXPECT_EQ(Speaker.Next(), "after");
    EXPECT_EQ(Near.Next(), "after");
    // The message of the outage never reached the other server: the next one does.
    EXPECT_EQ(Far.Next(), "after");
}

TEST(WsChat, RedisUnreachableAtStartThenThere) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    ASSERT_TRUE(Redis.Stop());
    TWsChat One(NodeFlags(Redis, "n1"));
    ASSERT_NE(One.Port, 0); // Ready all the same.
    EXPECT_TRUE(One.WaitLine("wschat: Cluster: cannot reach Redis at " + Redis.Address()));
    TChatClient Alone;
    ASSERT_TRUE(Alone.Open(One.Port));
    ASSERT_TRUE(Alone.Client.SendText("local"));
    EXPECT_EQ(Alone.Next(), "local");
    ASSERT_TRUE(Redis.Restart());
    EXPECT_TRUE(Redis.WaitFor({"SCARD", "room:node:n1"},
                              [](const TRedisTestReply& R) { return R.Integer == 1; }));
    TWsChat Two(NodeFlags(Redis, "n2"));
    ASSERT_NE(Two.Port, 0);
    TChatClient Other;
    ASSERT_TRUE(Other.Open(Two.Port));
    ASSERT_TRUE(Other.Client.SendText("joined"));
    EXPECT_EQ(Alone.Next(), "joined");
    EXPECT_EQ(Other.Next(), "joined");
}

TEST(WsChat, AKilledServersClientsExpire) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    std::vector<std::string> Short = {"--cluster-expiry", "1"};
    std::vector<std::string> FlagsOne = NodeFlags(Redis, "n1");
    std::vector<std::string> FlagsTwo = NodeFlags(Redis, "n2");
    FlagsOne.insert(FlagsOne.end(), Short.begin(), Short.end());
    FlagsTwo.insert(FlagsTwo.end(), Short.begin(), Short.end());
    TWsChat One(FlagsOne);
    TWsChat Two(FlagsTwo);
    ASSERT_NE(One.Port, 0);
    ASSERT_NE(Two.Port, 0);
    TChatClient Stays;
    TChatClient Goes;
    ASSERT_TRUE(Stays.Open(One.Port));
    ASSERT_TRUE(Goes.Open(Two.Port));
    ASSERT_TRUE(Redis.WaitFor({"SMEMBERS", "room:node:n2"}, [&](const TRedisTestReply& R) {
        return R.Elements == std::vector<std::string>{Goes.Guid};
    }));
    const TRedisTestReply Left = Redis.Command({"PTTL", "room:node:n2"});
    EXPECT_GT(Left.Integer, 0);
    EXPECT_LE(Left.Integer, 1000);
    Two.Program->Signal(SIGKILL);
    EXPECT_EQ(Two.Program->WaitExit(), std::optional<int>(-1));
    // Nobody removed them: they expire.
    EXPECT_TRUE(Redis.WaitFor({"EXISTS", "room:node:n2"},
                              [](const TRedisTestReply& R) { return R.Integer == 0; }));
    EXPECT_TRUE(Redis.WaitFor({"ZSCORE", "room:nodes", "n2"},
                              [](const TRedisTestReply& R) { return R.Nil; }));
    EXPECT_EQ(Redis.Command({"SMEMBERS", "room:node:n1"}).Elements,
              std::vector<std::string>{Stays.Guid});
    ASSERT_TRUE(Stays.Client.SendText("still here"));
    EXPECT_EQ(Stays.Next(), "still here");
}

/// nginx with the README's configuration, its ports replaced by the test's.
class TNginx {
public:
    TNginx(const std::string& aSite) {
        const std::string Program = FindProgram("nginx");
        char Template[] = "/tmp/nginx-test-XXXXXX";
        if (Program.empty() || mkdtemp(Template) == nullptr) {
            return;
        }
        FFolder = Template;
        std::ofstream(FFolder + "/site.conf") << aSite;
        // One process (no master to leave workers behind), everything in the test's folder.
        std::ofstream(FFolder + "/nginx.conf")
            << "master_process off;\ndaemon off;\npid " << FFolder << "/nginx.pid;\n"
            << "error_log " << FFolder << "/error.log;\n"
            << "events { worker_connections 256; }\n"
            << "http {\n    access_log off;\n"
            << "    client_body_temp_path " << FFolder << "/body;\n"
            << "    proxy_temp_path " << FFolder << "/proxy;\n"
            << "    fastcgi_temp_path " << FFolder << "/fastcgi;\n"
            << "    uwsgi_temp_path " << FFolder << "/uwsgi;\n"
            << "    scgi_temp_path " << FFolder << "/scgi;\n"
            << "    include " << FFolder << "/site.conf;\n}\n";
        FProgram = std::make_unique<TTestProgram>(
            Program, std::vector<std::string>{"-p", FFolder, "-c", FFolder + "/nginx.conf", "-e",
                                              FFolder + "/error.log"});
    }
    ~TNginx() {
        if (FProgram) {
            FProgram->Signal(SIGTERM);
            FProgram->WaitExit();
        }
        if (!FFolder.empty()) {
            std::error_code Ignored;
            std::filesystem::remove_all(FFolder, Ignored);
        }
    }
    /// Waits until nginx accepts connections on aPort (it prints nothing when ready).
    bool WaitReady(std::uint16_t aPort) {
        const auto Deadline = std::chrono::steady_clock::now() + Bound;
        while (std::chrono::steady_clock::now() < Deadline) {
            if (!FProgram || FProgram->WaitExit(std::chrono::milliseconds(0)).has_value()) {
                return false; // It ended: see its error log.
            }
            TWebSocketTestClient Probe;
            if (Probe.Connect("127.0.0.1", aPort, std::chrono::milliseconds(200))) {
                return true;
            }
            poll(nullptr, 0, 20);
        }
        return false;
    }
    std::string ErrorLog() const { return ReadFile(FFolder + "/error.log"); }

private:
    std::string FFolder;
    std::unique_ptr<TTestProgram> FProgram;
};

TEST(WsChat, NginxInFrontOfThreeServersAsTheReadmeShows) {
    // The README shows the configuration file word for word.
    const std::string Site = ReadFile(SOURCE_FOLDER "/nginx-wschat.conf");
    ASSERT_FALSE(Site.empty());
    EXPECT_NE(ReadFile(README_FILE).find(Site), std::string::npos)
        << "README.md no longer shows examples/wschat/nginx-wschat.conf as it is";
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    std::vector<std::unique_ptr<TWsChat>> Nodes;
    std::string Configured = Site;
    for (int I = 1; I <= 3; ++I) {
        Nodes.push_back(std::make_unique<TWsChat>(NodeFlags(Redis, "n" + std::to_string(I))));
        ASSERT_NE(Nodes.back()->Port, 0);
        const std::string From = "127.0.0.1:210" + std::to_string(I) + ";";
        ASSERT_NE(Configured.find(From), std::string::npos);
        Configured.replace(Configured.find(From), From.size(),
                           "127.0.0.1:" + std::to_string(Nodes.back()->Port) + ";");
    }
    const std::uint16_t Front = FreePort();
    const std::string Listen = "listen 127.0.0.1:2100;";
    ASSERT_NE(Configured.find(Listen), std::string::npos);
    Configured.replace(Configured.find(Listen), Listen.size(),
                       "listen 127.0.0.1:" + std::to_string(Front) + ";");
    TNginx Nginx(Configured);
    ASSERT_TRUE(Nginx.WaitReady(Front)) << Nginx.ErrorLog();
    // Round robin: three clients through nginx, one on each server.
    std::vector<std::unique_ptr<TChatClient>> Clients;
    for (int I = 0; I < 3; ++I) {
        Clients.push_back(std::make_unique<TChatClient>());
        ASSERT_TRUE(Clients.back()->Open(Front)) << Clients.back()->Client.ResponseHead();
    }
    for (int I = 1; I <= 3; ++I) {
        EXPECT_TRUE(Redis.WaitFor({"SCARD", "room:node:n" + std::to_string(I)},
                                  [](const TRedisTestReply& R) { return R.Integer == 1; }));
    }
    ASSERT_TRUE(Clients[0]->Client.SendText("through nginx"));
    for (auto& Client : Clients) {
        EXPECT_EQ(Client->Next(), "through nginx");
    }
    ASSERT_TRUE(Clients[1]->Client.SendText("/to " + Clients[2]->Guid + " direct"));
    EXPECT_EQ(Clients[2]->Next(), "direct");
    const std::string Page = Get(Front, "/ws/wschat.html");
    EXPECT_EQ(Page.rfind("HTTP/1.1 200", 0), 0u) << Page.substr(0, 200);
    EXPECT_NE(Page.find("<title>wschat</title>"), std::string::npos);
}

} // namespace
