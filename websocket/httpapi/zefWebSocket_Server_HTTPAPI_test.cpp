// zefWebSocket_Server_HTTPAPI tests: the component over the real platform library on loopback
// sockets (free ports): echo, every kind of disconnect, refused upgrades, plain answers,
// activation and the release of every connection and record.
#include "websocket/httpapi/zefWebSocket_Server_HTTPAPI.h"

#include "testing/Loopback.h"
#include "testing/TestCertificate.h"
#include "testing/WebSocketTestClient.h"
#include "websocket/core/zefBase_Helpers.h"
#include "websocket/httpapi/zefWebSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zef {
namespace {

using namespace std::chrono_literals;
using testing::TWebSocketTestClient;
using testsupport::FreePort;

/// Counts the component's connect and disconnect events and lets the test wait for them.
class TEventCounter {
public:
    void Connected() {
        std::scoped_lock Lock(FLock);
        ++FConnects;
        FChanged.notify_all();
    }
    void Disconnected() {
        std::scoped_lock Lock(FLock);
        ++FDisconnects;
        FChanged.notify_all();
    }
    /// Bounded generously for a sanitized build on a loaded machine: it ends at the event.
    bool WaitDisconnects(int aCount) {
        std::unique_lock Lock(FLock);
        return FChanged.wait_for(Lock, 60s, [&] { return FDisconnects >= aCount; });
    }
    int Connects() {
        std::scoped_lock Lock(FLock);
        return FConnects;
    }
    int Disconnects() {
        std::scoped_lock Lock(FLock);
        return FDisconnects;
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged; // Signalled under FLock on every event.
    int FConnects = 0;                // Guarded by FLock.
    int FDisconnects = 0;             // Guarded by FLock.
};

/// An echo component on a free loopback port with only its binding registered.
class TEchoServer {
public:
    explicit TEchoServer(bool aAsynchronous = false,
                         const std::function<void(TzefWebSocketServer_HTTPAPI&)>& aConfigure = {}) {
        for (int Attempt = 0; Attempt < 10 && FPort == 0; ++Attempt) {
            FServer = std::make_unique<TzefWebSocketServer_HTTPAPI>();
            FServer->SetHost("");
            FServer->SetThreadPoolSize(4);
            FServer->SetAsynchronous(aAsynchronous);
            FServer->OnConnect = [this](TzefWSConnection& Connection) {
                Events.Connected();
                Connection.WriteData("Hello From Server.", 0, TwsStreaming::stmNone);
            };
            FServer->OnMessage = [](TzefWSConnection& Connection, const std::string& Text) {
                Connection.WriteData(Text, 0, TwsStreaming::stmNone);
            };
            FServer->OnDisconnect = [this](TzefWSConnection&, int) { Events.Disconnected(); };
            if (aConfigure) {
                aConfigure(*FServer);
            }
            std::uint16_t Candidate = FreePort();
            FServer->Bindings().NewBinding("127.0.0.1", Candidate, "/ws/");
            try {
                FServer->SetActive(true);
                FPort = Candidate;
            } catch (const std::exception&) {
                FServer.reset(); // The port was taken meanwhile: another one.
            }
        }
    }
    TzefWebSocketServer_HTTPAPI& Server() { return *FServer; }
    std::uint16_t Port() const { return FPort; }
    /// A client past the handshake and the greeting.
    bool Open(TWebSocketTestClient& aClient) {
        return aClient.Open(FPort, "/ws/") &&
               aClient.ReadMessage().value_or("") == "Hello From Server.";
    }
    /// The whole answer to a plain request, up to the end of the connection.
    std::string Http(const std::string& aRequest) {
        TWebSocketTestClient Client;
        if (!Client.Connect("127.0.0.1", FPort) || !Client.SendRaw(aRequest)) {
            return "<no connection>";
        }
        return Client.ReadUntilClosed().value_or("<not closed>");
    }

    TEventCounter Events;

private:
    std::unique_ptr<TzefWebSocketServer_HTTPAPI> FServer;
    std::uint16_t FPort = 0;
};

std::string Get(const std::string& aPath, const std::string& aExtra = "") {
    return "GET " + aPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + aExtra + "\r\n";
}

std::string StatusLine(const std::string& aAnswer) {
    return aAnswer.substr(0, aAnswer.find("\r\n"));
}

std::string BodyOf(const std::string& aAnswer) {
    std::size_t At = aAnswer.find("\r\n\r\n");
    return At == std::string::npos ? std::string() : aAnswer.substr(At + 4);
}

// ---------------------------------------------------------------------------------------------

struct TDisconnectCase {
    const char* Name;
    void (*End)(TWebSocketTestClient& Client);
};

const TDisconnectCase DisconnectCases[] = {
    {"close frame",
     [](TWebSocketTestClient& C) {
         C.SendClose(1000);
         C.ReadUntilClosed();
         C.Close(); // The listener's lingering close waits for the client's end.
     }},
    {"end of stream", [](TWebSocketTestClient& C) { C.ShutdownSend(); }},
    {"reset", [](TWebSocketTestClient& C) { C.Reset(); }},
    {"reset mid-frame",
     [](TWebSocketTestClient& C) {
         C.SendRaw(std::string("\x81\x8A\x01\x02\x03\x04"
                               "ab",
                               8));
         C.Reset();
     }},
    {"end of stream mid-header",
     [](TWebSocketTestClient& C) {
         C.SendRaw(std::string("\x81", 1));
         C.ShutdownSend();
     }},
    {"unmasked frame (protocol error)",
     [](TWebSocketTestClient& C) {
         C.SendFrame(0x1, "not masked", true, false);
         C.ReadUntilClosed();
         C.Close(); // The listener's lingering close waits for the client's end.
     }},
    {"reserved opcode",
     [](TWebSocketTestClient& C) {
         C.SendFrame(0x3, "x");
         C.ReadUntilClosed();
         C.Close(); // The listener's lingering close waits for the client's end.
     }},
};

/// Whether the transport's record count settles at aCount (bounded generously for a loaded
/// machine; the poll ends as soon as it does).
bool WaitForContextCount(TEchoServer& aEcho, std::size_t aCount) {
    const auto Deadline = std::chrono::steady_clock::now() + 30s;
    while (aEcho.Server().HTTPServer()->ContextCount() != aCount) {
        if (std::chrono::steady_clock::now() > Deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class TzefWSServer_HTTPAPI_Modes : public ::testing::TestWithParam<bool> {};

TEST_P(TzefWSServer_HTTPAPI_Modes, EchoesAndReleasesEverythingAfterEveryKindOfDisconnect) {
    {
        TEchoServer Echo(GetParam());
        ASSERT_NE(Echo.Port(), 0);
        int Ended = 0;
        for (const TDisconnectCase& Case : DisconnectCases) {
            SCOPED_TRACE(Case.Name);
            TWebSocketTestClient Client;
            ASSERT_TRUE(Echo.Open(Client));
            // Around the first reads' size (a 504-byte text is a 512-byte masked frame), then
            // larger than every read, then small again (the buffer shrinks back) and around
            // the small size once more.
            for (std::size_t Size :
                 {std::size_t(0), std::size_t(5), HTTPAPIFirstReadSize - 9,
                  HTTPAPIFirstReadSize - 8, HTTPAPIFirstReadSize - 7, HTTPAPIReadSize,
                  std::size_t(70000), std::size_t(5), HTTPAPIFirstReadSize - 7, std::size_t(0),
                  HTTPAPIFirstReadSize - 9, std::size_t(70000)}) {
                std::string Text(Size, 'q');
                ASSERT_TRUE(Client.SendText(Text));
                ASSERT_EQ(Client.ReadMessage().value_or("<none>"), Text);
            }
            EXPECT_EQ(Echo.Server().Count(), 1);
            Case.End(Client);
            ++Ended;
            ASSERT_TRUE(Echo.Events.WaitDisconnects(Ended));
            // The registry lets go before the event, and no received request is held: the
            // one record left is the listener's receive waiting for the next request. The
            // listener may not have posted that one yet when its thread was held off the CPU
            // since the handshake, so the count is awaited rather than read once.
            EXPECT_EQ(Echo.Server().Count(), 0);
            EXPECT_TRUE(WaitForContextCount(Echo, 1u))
                << Echo.Server().HTTPServer()->ContextCount();
        }
        EXPECT_EQ(Echo.Events.Connects(), Ended);
        Echo.Server().SetActive(false);
        EXPECT_FALSE(Echo.Server().Active());
    }
    // Released connections wait for the deferred release; none outlives the component.
    EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 0);
}

TEST_P(TzefWSServer_HTTPAPI_Modes, ABroadcastMadeOnceTheClientHasItsUpgradeAnswerReachesIt) {
    // No greeting: the client's first message is the broadcast, or the echo that follows it
    // when the broadcast passed the connection by.
    TEchoServer Echo(GetParam(),
                     [](TzefWebSocketServer_HTTPAPI& Server) { Server.OnConnect = nullptr; });
    ASSERT_NE(Echo.Port(), 0);
    // The server's worker goes on with the upgrade while the client already reads the answer:
    // repeated, so that broadcasts land in that stretch.
    for (int Round = 0; Round < 300; ++Round) {
        SCOPED_TRACE(Round);
        TWebSocketTestClient Client;
        ASSERT_TRUE(Client.Open(Echo.Port(), "/ws/"));
        Echo.Server().Broadcast("to all");
        ASSERT_TRUE(Client.SendText("echo"));
        ASSERT_EQ(Client.ReadMessage().value_or("<none>"), "to all");
        ASSERT_EQ(Client.ReadMessage().value_or("<none>"), "echo");
    }
}

TEST_P(TzefWSServer_HTTPAPI_Modes, StoppingWithOpenConnectionsEndsThemAndFreesEverything) {
    TEchoServer Echo(GetParam());
    ASSERT_NE(Echo.Port(), 0);
    std::vector<std::unique_ptr<TWebSocketTestClient>> Clients;
    for (int I = 0; I < 5; ++I) {
        Clients.push_back(std::make_unique<TWebSocketTestClient>());
        ASSERT_TRUE(Echo.Open(*Clients.back()));
    }
    ASSERT_EQ(Echo.Server().Count(), 5);
    Echo.Server().SetActive(false);
    EXPECT_EQ(Echo.Server().Count(), 0);
    EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 0);
    for (auto& Client : Clients) {
        EXPECT_TRUE(Client->ReadUntilClosed().has_value());
    }
}

/// A masked client frame with a zero mask key (the payload goes as it is).
std::string MaskedFrame(std::uint8_t aOpcode, const std::string& aPayload) {
    std::string Frame(1, char(0x80 | aOpcode));
    if (aPayload.size() < 126) {
        Frame += char(0x80 | aPayload.size());
    } else if (aPayload.size() < 65536) {
        Frame += char(0x80 | 126);
        Frame += char(aPayload.size() >> 8);
        Frame += char(aPayload.size() & 0xFF);
    } else {
        Frame += char(0x80 | 127);
        for (int Shift = 56; Shift >= 0; Shift -= 8) {
            Frame += char((std::uint64_t(aPayload.size()) >> Shift) & 0xFF);
        }
    }
    Frame.append(4, '\0');
    return Frame + aPayload;
}

// A client that sends its last message, its close frame and the end of its stream in one go
// gets the echo, then the close reply, in that order (the echo was lost when the end of the
// stream arrived with the bytes it answered).
TEST_P(TzefWSServer_HTTPAPI_Modes, AClientThatHalfClosesAfterItsLastMessageGetsItsEcho) {
    struct TCase {
        const char* Name;
        std::size_t Size;
        bool CloseFrame; // else the stream just ends after the message
    };
    const TCase Cases[] = {
        {"short message and close frame", 5, true},
        {"message over several reads and close frame", 70000, true},
        {"short message, no close frame", 5, false},
        {"message over several reads, no close frame", 70000, false},
    };
    TEchoServer Echo(GetParam());
    ASSERT_NE(Echo.Port(), 0);
    int Ended = 0;
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TWebSocketTestClient Client;
        ASSERT_TRUE(Echo.Open(Client));
        std::string Text(Case.Size, 'e');
        for (std::size_t I = 0; I < Text.size(); I += 7) {
            Text[I] = char('a' + I % 26);
        }
        std::string Bytes = MaskedFrame(0x1, Text);
        if (Case.CloseFrame) {
            Bytes += MaskedFrame(0x8, std::string("\x03\xE8", 2));
        }
        ASSERT_TRUE(Client.SendRaw(Bytes));
        Client.ShutdownSend();
        auto Reply = Client.ReadFrame();
        ASSERT_TRUE(Reply.has_value());
        EXPECT_EQ(Reply->Opcode, 0x1);
        EXPECT_TRUE(Reply->Payload == Text) << Reply->Payload.size() << " bytes came back";
        if (Case.CloseFrame) {
            auto Close = Client.ReadFrame();
            ASSERT_TRUE(Close.has_value());
            EXPECT_EQ(Close->Opcode, 0x8);
            EXPECT_EQ(Close->CloseCode(), 1000);
        }
        EXPECT_EQ(Client.ReadUntilClosed().value_or("<not closed>"), "");
        ASSERT_TRUE(Echo.Events.WaitDisconnects(++Ended));
    }
    EXPECT_EQ(Echo.Server().Count(), 0);
}

// Writes queued through QueueOptions are sent (they were only freed at the close): soon after
// they are queued, in level order, each connection's in the order they were queued.
TEST_P(TzefWSServer_HTTPAPI_Modes, QueuedWritesAreSentInLevelOrder) {
    TEchoServer Echo(GetParam(), [](TzefWebSocketServer_HTTPAPI& Server) {
        Server.QueueOptions().Text().SetLevel(TwsQueueMsgLevels::qmLevel2);
        Server.QueueOptions().Binary().SetLevel(TwsQueueMsgLevels::qmLevel0);
        Server.QueueOptions().Ping().SetLevel(TwsQueueMsgLevels::qmLevel1);
        // One message asks for three writes, queued text first: they leave by level.
        Server.OnMessage = [](TzefWSConnection& Connection, const std::string& Text) {
            Connection.WriteData("text " + Text, 0, TwsStreaming::stmNone);
            Connection.Ping("ping " + Text);
            rtl::TMemoryStream Data;
            const std::string Bytes = "binary " + Text;
            Data.Write(Bytes.data(), std::int64_t(Bytes.size()));
            Connection.WriteData(Data, 0, TwsStreaming::stmNone);
        };
    });
    ASSERT_NE(Echo.Port(), 0);
    TWebSocketTestClient Client;
    ASSERT_TRUE(Echo.Open(Client)); // the greeting was queued too
    for (int Round = 0; Round < 3; ++Round) {
        SCOPED_TRACE(Round);
        const std::string Tag = std::to_string(Round);
        ASSERT_TRUE(Client.SendText(Tag));
        const std::pair<std::uint8_t, std::string> Expected[] = {
            {0x2, "binary " + Tag}, {0x9, "ping " + Tag}, {0x1, "text " + Tag}};
        for (const auto& [Opcode, Payload] : Expected) {
            auto Frame = Client.ReadFrame(10s);
            ASSERT_TRUE(Frame.has_value()) << "nothing more came";
            EXPECT_EQ(Frame->Opcode, Opcode);
            EXPECT_EQ(Frame->Payload, Payload);
        }
    }
}

// Writes queued from other threads (by GUID) go out too, soon and without a read to carry
// them; each writer's arrive in the order it queued them, mixed with the answers to the
// client's own messages.
TEST_P(TzefWSServer_HTTPAPI_Modes, QueuedWritesFromOtherThreadsKeepTheirOrder) {
    TEchoServer Echo(GetParam(), [](TzefWebSocketServer_HTTPAPI& Server) {
        Server.QueueOptions().Text().SetLevel(TwsQueueMsgLevels::qmLevel0);
    });
    ASSERT_NE(Echo.Port(), 0);
    TWebSocketTestClient Client;
    ASSERT_TRUE(Echo.Open(Client));
    ASSERT_EQ(Echo.Server().Count(), 1);
    const std::string Guid = Echo.Server().GetConnectionByIndex(0)->Guid();
    // One write by GUID alone, with nothing else going on, is sent.
    ASSERT_TRUE(Echo.Server().WriteData(Guid, "alone"));
    ASSERT_EQ(Client.ReadMessage(nullptr, 10s).value_or("<none>"), "alone");
    constexpr int Count = 300;
    std::vector<std::thread> Writers;
    for (int Writer = 0; Writer < 2; ++Writer) {
        Writers.emplace_back([&Echo, &Guid, Writer] {
            for (int I = 0; I < Count; ++I) {
                Echo.Server().WriteData(Guid,
                                        "w" + std::to_string(Writer) + " " + std::to_string(I));
            }
        });
    }
    for (int I = 0; I < Count; ++I) {
        ASSERT_TRUE(Client.SendText("c " + std::to_string(I)));
    }
    for (std::thread& Writer : Writers) {
        Writer.join();
    }
    // The next number expected from each source: writer 0, writer 1, the echoes.
    std::map<std::string, int> Next{{"w0", 0}, {"w1", 0}, {"c", 0}};
    for (int Received = 0; Received < 3 * Count; ++Received) {
        const auto Message = Client.ReadMessage(nullptr, 10s);
        ASSERT_TRUE(Message.has_value()) << Received << " messages came";
        const std::size_t Blank = Message->find(' ');
        ASSERT_NE(Blank, std::string::npos) << *Message;
        const std::string Source = Message->substr(0, Blank);
        ASSERT_EQ(Next.count(Source), 1u) << *Message;
        ASSERT_EQ(std::stoi(Message->substr(Blank + 1)), Next[Source]) << "out of order";
        ++Next[Source];
    }
}

INSTANTIATE_TEST_SUITE_P(SendModes, TzefWSServer_HTTPAPI_Modes, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                             return std::string(Info.param ? "Asynchronous" : "Synchronous");
                         });

// A compressed connection ends on a worker while the owner stops the component: its release
// runs into the stop, which must neither lose it nor free it under the stop's own feet.
TEST(TzefWSServer_HTTPAPI, AConnectionEndingAsTheStopBeginsIsFreedWithTheComponent) {
    constexpr int Rounds = 100;
    struct TCase {
        const char* Name;
        bool CloseHandshake; // The client closes with a close frame; else it just drops.
        bool Deactivate;     // SetActive(false) before the component goes; else its destructor.
    };
    const TCase Cases[] = {
        {"close handshake, deactivated", true, true},
        {"close handshake, destroyed while active", true, false},
        {"dropped, deactivated", false, true},
        {"dropped, destroyed while active", false, false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        for (int Round = 0; Round < Rounds; ++Round) {
            SCOPED_TRACE(Round);
            {
                TEchoServer Echo(false, [](TzefWebSocketServer_HTTPAPI& Server) {
                    Server.Extensions().PerMessage_Deflate().SetEnabled(true);
                });
                ASSERT_NE(Echo.Port(), 0);
                TWebSocketTestClient Client;
                ASSERT_TRUE(Client.Open(Echo.Port(), "/ws/",
                                        {"Sec-WebSocket-Extensions: permessage-deflate"}));
                ASSERT_NE(Client.ResponseHeader("Sec-WebSocket-Extensions"), "");
                auto Greeting = Client.ReadFrame();
                ASSERT_TRUE(Greeting.has_value());
                EXPECT_EQ(Greeting->Rsv, 0x4); // Deflated.
                if (Case.CloseHandshake) {
                    ASSERT_TRUE(Client.SendClose(1000));
                    ASSERT_TRUE(Client.ReadUntilClosed().has_value());
                }
                // The client's end completes the server's disconnect wait: the connection's
                // last operation ends on a worker while the stop below begins.
                Client.Close();
                if (Case.Deactivate) {
                    Echo.Server().SetActive(false);
                    EXPECT_FALSE(Echo.Server().Active());
                }
            }
            ASSERT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 0);
        }
    }
}

TEST(TzefWSServer_HTTPAPI, ManyClientsAtOnceGetOnlyTheirOwnEchoes) {
    TEchoServer Echo;
    ASSERT_NE(Echo.Port(), 0);
    constexpr int Clients = 8;
    std::vector<std::unique_ptr<TWebSocketTestClient>> List;
    for (int I = 0; I < Clients; ++I) {
        List.push_back(std::make_unique<TWebSocketTestClient>());
        ASSERT_TRUE(Echo.Open(*List.back()));
    }
    for (int Round = 0; Round < 20; ++Round) {
        for (int I = 0; I < Clients; ++I) {
            ASSERT_TRUE(
                List[std::size_t(I)]->SendText(std::to_string(I) + "/" + std::to_string(Round)));
        }
    }
    for (int Round = 0; Round < 20; ++Round) {
        for (int I = 0; I < Clients; ++I) {
            EXPECT_EQ(List[std::size_t(I)]->ReadMessage().value_or(""),
                      std::to_string(I) + "/" + std::to_string(Round));
        }
    }
}

TEST(TzefWSServer_HTTPAPI, AConnectionClosedByTheServerEndsWithoutWaitingForThePeer) {
    TEchoServer Echo(false, [](TzefWebSocketServer_HTTPAPI& Server) {
        Server.OnMessage = [](TzefWSConnection& Connection, const std::string& Text) {
            if (Text == "bye") {
                Connection.Close(4000);
            }
        };
    });
    ASSERT_NE(Echo.Port(), 0);
    TWebSocketTestClient Client;
    ASSERT_TRUE(Echo.Open(Client));
    ASSERT_TRUE(Client.SendText("bye"));
    auto Frame = Client.ReadFrame();
    ASSERT_TRUE(Frame.has_value());
    EXPECT_EQ(Frame->Opcode, 0x8);
    EXPECT_EQ(Frame->CloseCode(), 4000);
    // The client does not answer; the server ends the connection anyway.
    EXPECT_TRUE(Client.ReadUntilClosed().has_value());
    Client.Close();
    ASSERT_TRUE(Echo.Events.WaitDisconnects(1));
    EXPECT_EQ(Echo.Server().Count(), 0);
}

TEST(TzefWSServer_HTTPAPI, RefusedUpgradesAreAnsweredAndLeaveNoConnection) {
    TEchoServer Echo(false, [](TzefWebSocketServer_HTTPAPI& Server) {
        Server.SecurityOptions().SetOriginsAllowed("http://good.example");
    });
    ASSERT_NE(Echo.Port(), 0);
    struct TCase {
        const char* Name;
        std::vector<std::string> Headers;
        int Status;
        const char* Reason;
    };
    const TCase Cases[] = {
        {"no key",
         {"Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13"},
         400,
         "Error Decoding Header: WebSocket-Key"},
        {"origin not allowed",
         {"Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Origin: http://evil.example"},
         403,
         "Origin http://evil.example not allowed"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TWebSocketTestClient Client;
        ASSERT_TRUE(Client.Connect("127.0.0.1", Echo.Port()));
        EXPECT_EQ(Client.Handshake("/ws/", Case.Headers, false), Case.Status);
        auto Body = Client.ReadUntilClosed();
        ASSERT_TRUE(Body.has_value()) << "the connection stayed open";
        EXPECT_EQ(*Body, std::string(Case.Reason) + "\r\n");
        EXPECT_EQ(Echo.Server().Count(), 0);
    }
    EXPECT_EQ(Echo.Events.Connects(), 0);
    Echo.Server().SetActive(false);
    EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 0);
}

TEST(TzefWSServer_HTTPAPI, AListedConnectionThatEndsUnannouncedWaitsForTheDeferredRelease) {
    // The handshake's handler drops the client, so the 101 fails after the connection was
    // registered: a ping or broadcast may have taken it from the registry meanwhile, so it
    // is not freed at once.
    TEchoServer Echo(false, [](TzefWebSocketServer_HTTPAPI& Server) {
        Server.OnHandshake = [](TzefWSConnection& Connection, rtl::TStringList&) {
            Connection.DisconnectPeer();
        };
    });
    ASSERT_NE(Echo.Port(), 0);
    TzefWebSocketServer_HTTPAPI& Server = Echo.Server();
    Server.SetConnectionsFreeGrace(std::chrono::hours(1)); // Only the stop frees it.
    TWebSocketTestClient Client;
    ASSERT_TRUE(Client.Connect("127.0.0.1", Echo.Port()));
    EXPECT_EQ(Client.Handshake("/ws/"), 0);
    // Released or freed: either ends the wait.
    auto Deadline = std::chrono::steady_clock::now() + 30s;
    while (Server.ConnectionsFreeCount() == 0 && TzefWSConnection_HTTPAPI::InstanceCount() > 0 &&
           std::chrono::steady_clock::now() < Deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(Server.ConnectionsFreeCount(), 1u);
    EXPECT_EQ(Server.Count(), 0);
    EXPECT_EQ(Echo.Events.Connects(), 0);
    EXPECT_EQ(Echo.Events.Disconnects(), 0);
    Server.SetActive(false);
    EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 0);
}

TEST(TzefWSServer_HTTPAPI, AStopKeepsReleasedConnectionsUntilItsWorkersAreGone) {
    // The stop's first step ends the deferred release while the workers still run: one of
    // them may use a connection released a moment ago, so that one is freed at the stop's end.
    TEchoServer Echo;
    ASSERT_NE(Echo.Port(), 0);
    TzefWebSocketServer_HTTPAPI& Server = Echo.Server();
    Server.SetConnectionsFreeGrace(std::chrono::hours(1));
    {
        TWebSocketTestClient Client;
        ASSERT_TRUE(Echo.Open(Client));
    }
    ASSERT_TRUE(Echo.Events.WaitDisconnects(1));
    auto Deadline = std::chrono::steady_clock::now() + 30s;
    while (Server.ConnectionsFreeCount() == 0 && std::chrono::steady_clock::now() < Deadline) {
        std::this_thread::sleep_for(1ms); // Released right after the disconnect event.
    }
    ASSERT_EQ(Server.ConnectionsFreeCount(), 1u);
    Server.StopConnectionsFree(); // What the stop does first, with the listener still there.
    EXPECT_EQ(Server.ConnectionsFreeCount(), 1u);
    EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 1);
    Server.SetActive(false);
    EXPECT_EQ(Server.ConnectionsFreeCount(), 0u);
    EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 0);
}

TEST(TzefWSServer_HTTPAPI, PlainRequests) {
    struct TCase {
        const char* Name;
        int ResponseNo; // What the request handler answers; -1: no handler.
        const char* Path;
        const char* Status; // "" when the connection ends without an answer.
        const char* Body;
    };
    const TCase Cases[] = {
        {"built-in page", -1, "/ws/zefWebSockets.html", "HTTP/1.1 200 OK", nullptr},
        {"no handler", -1, "/ws/other", "", ""},
        {"handler answers 200", 200, "/ws/other?x=1", "HTTP/1.1 200 OK", "answer for /ws/other"},
        {"handler leaves 0", 0, "/ws/other", "HTTP/1.1 404 Not Found", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TEchoServer Echo(false, [&](TzefWebSocketServer_HTTPAPI& Server) {
            if (Case.ResponseNo < 0) {
                return;
            }
            int Number = Case.ResponseNo;
            Server.OnHTTPRequest = [Number](TzefWSConnection_HTTPAPI&,
                                            const THttpServerRequest& Request,
                                            THttpServerResponse& Response) {
                Response.ResponseNo = std::uint32_t(Number);
                Response.ContentType = "text/plain";
                Response.ContentText = "answer for " + Request.Document;
            };
        });
        ASSERT_NE(Echo.Port(), 0);
        std::string Answer = Echo.Http(Get(Case.Path));
        EXPECT_EQ(StatusLine(Answer), Case.Status) << Answer.substr(0, 300);
        if (Case.Body != nullptr) {
            EXPECT_EQ(BodyOf(Answer), Case.Body);
        }
        Echo.Server().SetActive(false);
        EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 0);
    }
}

// Over https (a binding with a certificate, curl as the client) the built-in page names the
// secure schemes and a plain request reaches its handler with its https URL.
TEST(TzefWSServer_HTTPAPI, ServesHttpsThroughABindingWithACertificate) {
    testsupport::TTestCertificate Certificate;
    ASSERT_TRUE(Certificate.Valid());
    std::unique_ptr<TzefWebSocketServer_HTTPAPI> Server;
    std::uint16_t Port = 0;
    for (int Attempt = 0; Attempt < 10 && Port == 0; ++Attempt) {
        Server = std::make_unique<TzefWebSocketServer_HTTPAPI>();
        Server->SetHost("");
        Server->SetThreadPoolSize(2);
        Server->OnHTTPRequest = [](TzefWSConnection_HTTPAPI& aConnection, const THttpServerRequest&,
                                   THttpServerResponse& aResponse) {
            aResponse.ResponseNo = 200;
            aResponse.ContentType = "text/plain";
            aResponse.ContentText = "url=" + aConnection.URL();
        };
        const std::uint16_t Candidate = FreePort();
        Server->Bindings().NewBinding("127.0.0.1", Candidate, "/ws/", true, Certificate.HashText());
        try {
            Server->SetActive(true);
            Port = Candidate;
        } catch (const std::exception&) {
            Server.reset(); // The port was taken meanwhile: another one.
        }
    }
    ASSERT_NE(Port, 0);
    const std::string Base = "127.0.0.1:" + std::to_string(Port);
    const std::string Page = testsupport::RunCommand("curl -sk --max-time 30 https://" + Base +
                                                     "/ws/zefWebSockets.html");
    EXPECT_NE(Page.find("\"https://" + Base + "/\""), std::string::npos) << Page.substr(0, 300);
    EXPECT_NE(Page.find("\"wss://" + Base + "\""), std::string::npos);
    EXPECT_EQ(Page.find("{%"), std::string::npos); // every placeholder filled
    EXPECT_EQ(testsupport::RunCommand("curl -sk --max-time 30 'https://" + Base + "/ws/x?y=1'"),
              "url=https://" + Base + "/ws/x?y=1");
    Server->SetActive(false);
    Server.reset();
    EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), 0);
    // The binding stays in the platform's configuration after the stop, as on Windows.
    const THttpApiFunctions& Api = LoadHttpApi();
    ASSERT_EQ(Api.HttpInitialize(HTTPAPI_VERSION_2, HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    HTTP_SERVICE_CONFIG_SSL_SET Set{};
    Set.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&Address);
    EXPECT_EQ(Api.HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                                 sizeof Set, nullptr),
              NO_ERROR);
    EXPECT_EQ(Api.HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
}

TEST(TzefWSServer_HTTPAPI, ServerSentEventsCarryTheEchoOfAPostedMessage) {
    TEchoServer Echo(false, [](TzefWebSocketServer_HTTPAPI& Server) {
        Server.FallBack().ServerSentEvents().SetEnabled(true);
    });
    ASSERT_NE(Echo.Port(), 0);
    // The long-polling posts go to the server's root.
    TzefWebSocketServer_HTTPAPI& Server = Echo.Server();
    Server.SetActive(false);
    Server.Bindings().NewBinding("127.0.0.1", Echo.Port(), "/zef/xhr/");
    Server.SetActive(true);
    TWebSocketTestClient Stream;
    ASSERT_TRUE(Stream.Connect("127.0.0.1", Echo.Port()));
    ASSERT_TRUE(Stream.SendRaw(Get("/ws/", "Accept: text/event-stream\r\n")));
    // The head once, then one event per block, each ended by an empty line.
    std::string Head;
    while (Head.find("\r\n\r\n") == std::string::npos) {
        auto Byte = Stream.ReadExactly(1);
        ASSERT_TRUE(Byte.has_value()) << Head;
        Head += *Byte;
    }
    EXPECT_EQ(StatusLine(Head), "HTTP/1.1 200 OK");
    EXPECT_NE(Head.find("Content-Type: text/event-stream"), std::string::npos);
    std::string Events;
    while (std::count(Events.begin(), Events.end(), '\n') < 6) {
        auto Byte = Stream.ReadExactly(1);
        ASSERT_TRUE(Byte.has_value()) << Events;
        Events += *Byte;
    }
    EXPECT_EQ(Events.rfind("retry: ", 0), 0u) << Events;
    std::size_t At = Events.find("data: ");
    ASSERT_NE(At, std::string::npos);
    std::string Guid = Events.substr(At + 6, 32);
    EXPECT_EQ(Events.substr(At), "data: " + Guid + "\r\n\r\ndata: " + Guid + "\r\n\r\n");
    ASSERT_EQ(Echo.Server().Count(), 1);

    std::string Answer = Echo.Http(
        "POST /zef/xhr/" + Guid + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(StatusLine(Answer), "HTTP/1.1 200 OK");
    EXPECT_EQ(Stream.ReadExactly(15).value_or(""), "data: hello\r\n\r\n");
    // The stream stays registered until the client goes or the component stops.
    Server.SetActive(false);
    EXPECT_EQ(Server.Count(), 0);
    EXPECT_TRUE(Stream.ReadUntilClosed().has_value());
}

TEST(TzefWSServer_HTTPAPI, AnEventStreamLearnsItsGuidBeforeAnyBroadcastReachesIt) {
    TEchoServer Echo(false, [](TzefWebSocketServer_HTTPAPI& Server) {
        Server.FallBack().ServerSentEvents().SetEnabled(true);
    });
    ASSERT_NE(Echo.Port(), 0);
    // The client takes the first data event for its GUID: a broadcast that went ahead of it
    // would send its posts nowhere. Broadcasts run all the time while streams open.
    std::atomic<bool> Done{false};
    std::thread Broadcaster([&] {
        while (!Done.load()) {
            Echo.Server().Broadcast("to all");
            std::this_thread::yield();
        }
    });
    auto ReadBlock = [](TWebSocketTestClient& aStream) {
        std::string Block;
        while (Block.size() < 4 || Block.compare(Block.size() - 4, 4, "\r\n\r\n") != 0) {
            auto Byte = aStream.ReadExactly(1);
            if (!Byte) {
                return Block + "<end>";
            }
            Block += *Byte;
        }
        return Block;
    };
    for (int Round = 0; Round < 20 && !::testing::Test::HasFailure(); ++Round) {
        SCOPED_TRACE(Round);
        TWebSocketTestClient Stream;
        ASSERT_TRUE(Stream.Connect("127.0.0.1", Echo.Port()));
        ASSERT_TRUE(Stream.SendRaw(Get("/ws/", "Accept: text/event-stream\r\n")));
        EXPECT_EQ(StatusLine(ReadBlock(Stream)), "HTTP/1.1 200 OK");
        EXPECT_EQ(ReadBlock(Stream).rfind("retry: ", 0), 0u);
        std::string Guid = ReadBlock(Stream);
        EXPECT_EQ(Guid.size(), 6u + 32u + 4u) << Guid;
        EXPECT_EQ(ReadBlock(Stream), Guid);
    }
    Done = true;
    Broadcaster.join();
}

TEST(TzefWSServer_HTTPAPI, BasicAuthenticationGuardsPlainRequests) {
    TEchoServer Echo(false, [](TzefWebSocketServer_HTTPAPI& Server) {
        Server.Authentication().SetEnabled(true);
        Server.Authentication().Basic().SetEnabled(true);
        Server.Authentication().AuthUsers().Add("alice=secret");
        Server.OnHTTPRequest = [](TzefWSConnection_HTTPAPI&, const THttpServerRequest& Request,
                                  THttpServerResponse& Response) {
            Response.ResponseNo = 200;
            Response.ContentType = "text/plain";
            Response.ContentText = "hello " + Request.AuthUsername;
        };
    });
    ASSERT_NE(Echo.Port(), 0);
    struct TCase {
        const char* Name;
        std::string Extra;
        const char* Status;
    };
    const TCase Cases[] = {
        {"no credentials", "", "HTTP/1.1 401 Unauthorized"},
        {"wrong password", "Authorization: Basic YWxpY2U6d3Jvbmc=\r\n",
         "HTTP/1.1 401 Unauthorized"},
        {"right password", "Authorization: Basic YWxpY2U6c2VjcmV0\r\n", "HTTP/1.1 200 OK"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::string Answer = Echo.Http(Get("/ws/data", Case.Extra));
        EXPECT_EQ(StatusLine(Answer), Case.Status) << Answer.substr(0, 300);
        if (StatusLine(Answer) == "HTTP/1.1 401 Unauthorized") {
            EXPECT_NE(Answer.find("WWW-Authenticate: Basic realm=\"zefWebSockets 4.4.2\""),
                      std::string::npos);
        } else {
            EXPECT_EQ(BodyOf(Answer), "hello alice");
        }
    }
}

TEST(TzefWSServer_HTTPAPI, ActivationRegistersThePrefixesOnceAndAFailedStartLeavesItInactive) {
    TEchoServer First;
    ASSERT_NE(First.Port(), 0);
    EXPECT_TRUE(First.Server().Active());
    std::string Binding = "http://127.0.0.1:" + std::to_string(First.Port()) + "/ws/";
    ASSERT_EQ(First.Server().URLs().Count(), 1u);
    EXPECT_EQ(First.Server().URLs()[0], Binding);

    // Host and port of its own, a duplicate binding (registered once), then a clash with the
    // first component's prefix: the start fails and leaves nothing behind.
    TzefWebSocketServer_HTTPAPI Second;
    std::uint16_t Own = FreePort();
    Second.SetPort(Own);
    Second.Bindings().NewBinding("127.0.0.1", Own, "/");
    Second.Bindings().NewBinding("127.0.0.1", First.Port(), "/ws/");
    EXPECT_FALSE(Second.Active());
    try {
        Second.SetActive(true);
        ADD_FAILURE() << "the clash was not refused";
    } catch (const TzefWSException& E) {
        EXPECT_STRNE(E.what(), "");
    }
    EXPECT_FALSE(Second.Active());
    EXPECT_EQ(Second.HTTPServer(), nullptr);
    EXPECT_EQ(Second.URLs().Count(), 0u);

    // Without the clash the same component starts, with its own prefix once.
    Second.Bindings().Clear();
    Second.Bindings().NewBinding("127.0.0.1", Own, "/");
    Second.SetActive(true);
    EXPECT_TRUE(Second.Active());
    ASSERT_EQ(Second.URLs().Count(), 1u);
    EXPECT_EQ(Second.URLs()[0], "http://127.0.0.1:" + std::to_string(Own) + "/");
    Second.SetActive(false);
    EXPECT_FALSE(Second.Active());
    // The first one still serves.
    TWebSocketTestClient Client;
    EXPECT_TRUE(First.Open(Client));
}

TEST(TzefWSServer_HTTPAPI, DefaultsOfTheComponent) {
    TzefWebSocketServer_HTTPAPI Server;
    EXPECT_EQ(Server.Host(), "127.0.0.1");
    EXPECT_EQ(Server.Port(), 80);
    EXPECT_FALSE(Server.Asynchronous());
    EXPECT_EQ(Server.ThreadPoolSize(), 32);
    EXPECT_EQ(Server.MaxConnections(), 0);
    EXPECT_EQ(Server.MaxBandwidth(), 0);
    EXPECT_FALSE(Server.Timeouts().Enabled());
    EXPECT_EQ(Server.Timeouts().MinSendRate(), 150);
    EXPECT_EQ(Server.Timeouts().EntityBody(), 120);
    EXPECT_EQ(Server.NotifyEvents(), TwsNotifyEvent::neNoSync);
    EXPECT_FALSE(Server.Active());
}

} // namespace
} // namespace zef
