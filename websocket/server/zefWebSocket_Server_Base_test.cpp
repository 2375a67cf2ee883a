// zefWebSocket_Server_Base: the server component over the in-memory transport.
#include "websocket/server/zefWebSocket_Server_Base.h"

#include "platform/rtl/MainThread.h"
#include "testing/zefWebSocket_TestConnection.h"
#include "testing/zefWebSocket_TestServer.h"
#include "websocket/core/zefBase_Helpers.h"
#include "websocket/server/zefWebSocket_Protocol_Base_Server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace zef {
namespace {

using testing::TzefWSTestServer;
using testing::TzefWSTestServerConnection;
using TConnectionPtr = std::unique_ptr<TzefWSTestServerConnection>;

const std::string SampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string SampleAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

// The header lines of an upgrade to aPath, plus aExtra.
std::vector<std::string> UpgradeLines(const std::string& aPath = "/ws/",
                                      std::vector<std::string> aExtra = {}) {
    std::vector<std::string> Lines = {"GET " + aPath + " HTTP/1.1",
                                      "Host: 127.0.0.1:2001",
                                      "Upgrade: websocket",
                                      "Connection: Upgrade",
                                      "Sec-WebSocket-Key: " + SampleKey,
                                      "Sec-WebSocket-Version: 13"};
    Lines.insert(Lines.end(), aExtra.begin(), aExtra.end());
    return Lines;
}

TConnectionPtr Connect(TzefWSTestServer& aServer, const std::vector<std::string>& aLines) {
    TConnectionPtr Connection = aServer.NewConnection({});
    for (const std::string& Line : aLines) {
        Connection->HeadersRequest().Add(Line);
    }
    return Connection;
}

std::vector<std::string> Lines(const rtl::TStringList& aList) {
    return std::vector<std::string>(aList.begin(), aList.end());
}

// A registered, enabled connection (owned by the server).
TzefWSTestServerConnection& Open(TzefWSTestServer& aServer, const std::string& aPath = "/ws/",
                                 std::vector<std::string> aExtra = {}) {
    TConnectionPtr Connection = Connect(aServer, UpgradeLines(aPath, aExtra));
    TzefWSTestServerConnection* Raw = Connection.get();
    auto Outcome = aServer.Upgrade(Connection);
    EXPECT_TRUE(Outcome.Registered);
    return *Raw;
}

std::string TextFrame(const std::string& aText) {
    return std::string{char(0x81), char(aText.size())} + aText;
}

// --- Bindings and options ---

TEST(TzefWSBindings, GetURLTable) {
    struct TCase {
        const char* Name;
        std::string Parameters;
        bool SSL;
        std::string Expected;
    };
    const TCase Cases[] = {
        {"leading slash", "/ws/", false, "http://127.0.0.1:2001/ws/"},
        {"bare name", "ws", false, "http://127.0.0.1:2001/ws/"},
        {"empty", "", false, "http://127.0.0.1:2001/"},
        {"tls", "/ws/", true, "https://127.0.0.1:2001/ws/"},
        {"deeper path", "a/b", false, "http://127.0.0.1:2001/a/b/"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSBindings Bindings;
        Bindings.NewBinding("127.0.0.1", 2001, Case.Parameters, Case.SSL);
        EXPECT_EQ(Bindings.GetURL(0), Case.Expected);
        EXPECT_EQ(Bindings.GetURL(1), "");
    }
    TzefWSBindings Bindings;
    TzefWSBinding Copy = Bindings.NewBinding("h", 1, "p", true, "AB", TwsIPVersion::ipV6, "MY");
    EXPECT_EQ(Bindings.NewBinding(Copy).SSLCertStoreName(), "MY");
    EXPECT_EQ(Bindings.Count(), 2u);
    Bindings.Clear();
    EXPECT_EQ(Bindings.Count(), 0u);
}

TEST(TzefWSServer_Base, DefaultsAfterConstruction) {
    TzefWSTestServer Server;
    EXPECT_EQ(Server.NotifyEvents(), TwsNotifyEvent::neNoSync);
    EXPECT_EQ(Server.Extensions().Mode(), TwsApplicationMode::appServer);
    EXPECT_FALSE(Server.Options().CleanDisconnect());
    EXPECT_TRUE(Server.Options().HTMLFiles());
    EXPECT_TRUE(Server.Options().JavascriptFiles());
    EXPECT_EQ(Server.Options().ReadTimeOut(), 10);
    EXPECT_TRUE(Server.Options().RaiseDisconnectExceptions());
    EXPECT_FALSE(Server.Authentication().Enabled());
    EXPECT_TRUE(Server.Authentication().URL().Enabled());
    EXPECT_TRUE(Server.Authentication().Session().Enabled());
    EXPECT_FALSE(Server.Authentication().Basic().Enabled());
    EXPECT_FALSE(Server.FallBack().Flash().Enabled());
    EXPECT_EQ(Server.FallBack().Flash().Domain(), "*");
    EXPECT_EQ(Server.FallBack().ServerSentEvents().Retry(), 3000);
    EXPECT_EQ(Server.QueueOptions().Text().Level(), TwsQueueMsgLevels::qmNone);
    EXPECT_EQ(Server.Optimizations().Connections().CacheSize(), 100);
    EXPECT_TRUE(Server.Optimizations().ConnectionsFree().Enabled());
    EXPECT_EQ(Server.Optimizations().ConnectionsFree().Interval(), 60);
    EXPECT_EQ(Server.HeartBeat().Interval(), 300);
    EXPECT_EQ(Server.WatchDog().Interval(), 60);
    EXPECT_EQ(Server.Version(), "4.4.2");
    EXPECT_FALSE(Server.Active());
    EXPECT_EQ(Server.Count(), 0);
    // Setting an option copies into the owned object.
    TzefWSOptionsServer Options;
    Options.SetValidateUTF8(true);
    TzefWSOptionsServer* Owned = &Server.Options();
    Server.SetOptions(Options);
    EXPECT_EQ(&Server.Options(), Owned);
    EXPECT_TRUE(Server.Options().ValidateUTF8());
    // The log file options give their folder.
    Server.TzefWSComponent::LogFile().SetFileName("/var/log/korvo/traffic.log");
    EXPECT_EQ(Server.LogFile().FileName(), "/var/log/korvo/");
}

// --- Active lifecycle ---

TEST(TzefWSServer_Base, ActiveStartsOnceAndStopsOnce) {
    TzefWSTestServer Server;
    Server.SetActive(false);
    EXPECT_EQ(Server.Stops, 0);
    Server.SetActive(true);
    Server.SetActive(true);
    EXPECT_EQ(Server.Starts, 1);
    EXPECT_TRUE(Server.Active());
    ASSERT_NE(Server.ConnectionsFreeTimer(), nullptr);
    EXPECT_TRUE(Server.ConnectionsFreeTimer()->Enabled());
    EXPECT_EQ(Server.HeartBeatTimer(), nullptr);
    Server.SetActive(false);
    Server.SetActive(false);
    EXPECT_EQ(Server.Stops, 1);
    EXPECT_EQ(Server.ConnectionsFreeTimer(), nullptr);
    Server.SetActive(true);
    EXPECT_EQ(Server.Starts, 2);
}

TEST(TzefWSServer_Base, ActiveWhileLoadingOnlyStoresTheValue) {
    TzefWSTestServer Server;
    Server.SetLoading(true);
    Server.SetActive(true);
    EXPECT_EQ(Server.Starts, 0);
    EXPECT_TRUE(Server.Active());
}

TEST(TzefWSServer_Base, HeartBeatWithIntervalZeroDoesNotRun) {
    TzefWSTestServer Server;
    Server.HeartBeat().SetEnabled(true);
    Server.HeartBeat().SetInterval(0);
    Server.SetActive(true);
    ASSERT_NE(Server.HeartBeatTimer(), nullptr);
    EXPECT_FALSE(Server.HeartBeatTimer()->Enabled());
    Server.HeartBeat().SetInterval(5);
    Server.StartHeartBeat();
    EXPECT_TRUE(Server.HeartBeatTimer()->Enabled());
    EXPECT_EQ(Server.HeartBeatTimer()->Interval(), 5000);
    Server.SetActive(false);
    EXPECT_FALSE(Server.HeartBeatTimer()->Enabled());
}

TEST(TzefWSServer_Base, DeactivatingFreesConnectionsWaitingForRelease) {
    TzefWSTestServer Server;
    Server.SetActive(true);
    TzefWSTestServerConnection& Connection = Open(Server);
    int Disconnects = 0;
    Server.OnDisconnect = [&](TzefWSConnection&, int) { ++Disconnects; };
    Connection.SetDisconnected(true);
    Server.OnServerDisconnectEvent(Connection, 1000);
    EXPECT_EQ(Disconnects, 1);
    EXPECT_EQ(Server.Count(), 0);
    EXPECT_EQ(Server.ConnectionsFreeCount(), 1u);
    Server.SetActive(false);
    EXPECT_EQ(Server.ConnectionsFreeCount(), 0u);
}

// --- Handshake ---

TEST(TzefWSHandShakeServer_Base, AnswerTable) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Lines;
        std::vector<std::string> Answer; // Empty: refused with Refusal.
        std::string Refusal;
    };
    const std::vector<std::string> Plain = {
        "HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade",
        "Sec-WebSocket-Accept: " + SampleAccept, "Server: zefWebSockets 4.4.2"};
    auto With = [](std::vector<std::string> Lines, std::size_t Index, std::string Line) {
        if (Line.empty()) {
            Lines.erase(Lines.begin() + std::ptrdiff_t(Index));
        } else {
            Lines[Index] = Line;
        }
        return Lines;
    };
    const std::vector<std::string> Base = UpgradeLines();
    const TCase Cases[] = {
        {"sample request", Base, Plain, ""},
        {"lower-case names",
         {"GET /ws/ HTTP/1.1", "host: x", "upgrade: websocket", "connection: upgrade",
          "sec-websocket-key: " + SampleKey},
         Plain,
         ""},
        {"without optional lines",
         {"GET /ws/ HTTP/1.1", "Upgrade: websocket", "Sec-WebSocket-Key: " + SampleKey},
         Plain,
         ""},
        {"HTTP/1.0", With(Base, 0, "GET /ws/ HTTP/1.0"), {}, "Error Decoding Header: GET"},
        {"no key", With(Base, 4, ""), {}, "Error Decoding Header: WebSocket-Key"},
        {"key not at line start",
         With(Base, 4, "X-Sec-WebSocket-Key: " + SampleKey),
         {},
         "Error Decoding Header: WebSocket-Key"},
        {"keep-alive",
         With(Base, 3, "Connection: keep-alive"),
         {},
         "Error Decoding Header: Upgrade"},
        {"websocket2",
         With(Base, 2, "Upgrade: websocket2"),
         {},
         "Error Decoding Header: WebSocket"},
        {"forwarded host", With(Base, 1, "X-Forwarded-Host: a"), {}, "Error Decoding Header: Host"},
        {"origin not at line start",
         UpgradeLines("/ws/", {"X-Origin: a"}),
         {},
         "Error Decoding Header: Origin"},
        {"version not at line start",
         With(Base, 5, "X-Sec-WebSocket-Version: 13"),
         {},
         "Error Decoding Header: WebSocket Version"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        TConnectionPtr Connection = Connect(Server, Case.Lines);
        TzefWSTestServerConnection* Raw = Connection.get();
        auto Outcome = Server.Upgrade(Connection);
        EXPECT_EQ(Outcome.Result, 101);
        if (Case.Answer.empty()) {
            ASSERT_TRUE(Outcome.Refusal.has_value());
            EXPECT_EQ(Outcome.Refusal->Reason, Case.Refusal);
            EXPECT_EQ(Outcome.Refusal->Status, 400);
            EXPECT_EQ(Server.Count(), 0); // The refused connection left the registry.
            EXPECT_FALSE(Outcome.Registered);
        } else {
            ASSERT_FALSE(Outcome.Refusal.has_value()) << Outcome.Refusal->Reason;
            EXPECT_EQ(Lines(Raw->HeadersResponse()), Case.Answer);
            EXPECT_EQ(Raw->Transport(), TwsTransport::trpRFC6455);
            EXPECT_EQ(Server.Count(), 1);
        }
    }
}

TEST(TzefWSHandShakeServer_Base, ValuesAreKeptAsReceived) {
    rtl::TStringList Headers{"GET /ws/chat?x=1 HTTP/1.1",
                             "Host:  spaced ",
                             "Origin: http://a.example",
                             "Sec-WebSocket-Key: k",
                             "Sec-WebSocket-Protocol: a, b",
                             "Sec-WebSocket-Version: 13",
                             "Sec-WebSocket-Extensions: permessage-deflate"};
    TzefWSHandShakeServer_Base HandShake(Headers);
    EXPECT_EQ(HandShake.Get(), "/ws/chat?x=1");
    EXPECT_EQ(HandShake.Host(), " spaced ");
    EXPECT_EQ(HandShake.Origin(), "http://a.example");
    EXPECT_EQ(HandShake.Key(), "k");
    EXPECT_EQ(HandShake.Protocols(), "a, b");
    EXPECT_EQ(HandShake.Version(), "13");
    EXPECT_EQ(HandShake.Extensions(), "permessage-deflate");
    EXPECT_TRUE(HandShake.IsGET() && HandShake.IsHost() && HandShake.IsOrigin() &&
                HandShake.IsProtocols() && HandShake.IsVersion() && HandShake.IsExtensions());
    EXPECT_FALSE(HandShake.IsUpgrade() || HandShake.IsConnection());
    // Short and odd request lines never read outside the line.
    for (const char* Line : {"GET /", "GET /HTTP", "GET / HTTP", "GET / HTTP/", "xGET /HTTP/1.1"}) {
        SCOPED_TRACE(Line);
        rtl::TStringList Odd{Line, "Sec-WebSocket-Key: k"};
        try {
            TzefWSHandShakeServer_Base Parsed(Odd);
            EXPECT_LE(Parsed.Get().size(), std::string_view(Line).size());
        } catch (const TzefWSHandshakeRefused& E) {
            EXPECT_STREQ(E.what(), "Error Decoding Header: GET");
        }
    }
}

TEST(TzefWSConnectionServer_Base, SubProtocolTable) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Registered;
        std::string Offer;                   // "" : no protocol line.
        std::optional<std::string> Selected; // nullopt: refused.
    };
    const TCase Cases[] = {
        {"no offer", {"superchat"}, "", ""},
        {"second of two", {"superchat"}, "chat,superchat", "superchat"},
        {"as the client wrote it", {"superchat"}, "SuperChat", "SuperChat"},
        {"first acceptable in offer order", {"b", "a"}, "a,b", "a"},
        {"blank after the comma", {"superchat"}, "chat, superchat", std::nullopt},
        {"server has none", {}, "chat", std::nullopt},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        for (const std::string& Name : Case.Registered) {
            Server.RegisterProtocol(Name);
        }
        std::vector<std::string> Extra;
        if (!Case.Offer.empty()) {
            Extra.push_back("Sec-WebSocket-Protocol: " + Case.Offer);
        }
        TConnectionPtr Connection = Connect(Server, UpgradeLines("/ws/", Extra));
        TzefWSTestServerConnection* Raw = Connection.get();
        auto Outcome = Server.Upgrade(Connection);
        if (!Case.Selected) {
            ASSERT_TRUE(Outcome.Refusal.has_value());
            std::string Offered;
            for (const std::string& Entry : {std::string("chat"), std::string(" superchat")}) {
                if (Case.Offer.find(rtl::Trim(Entry)) != std::string::npos) {
                    Offered += Entry + "\r\n";
                }
            }
            EXPECT_EQ(Outcome.Refusal->Reason, "Error Protocol: " + Offered + " not supported.");
            continue;
        }
        ASSERT_FALSE(Outcome.Refusal.has_value()) << Outcome.Refusal->Reason;
        EXPECT_EQ(Raw->Protocol(), *Case.Selected);
        bool HasLine = false;
        for (const std::string& Line : Raw->HeadersResponse()) {
            HasLine |= Line == "Sec-WebSocket-Protocol: " + *Case.Selected;
        }
        EXPECT_EQ(HasLine, !Case.Selected->empty());
        EXPECT_EQ(Raw->HeadersResponse()[3], Case.Selected->empty()
                                                 ? "Sec-WebSocket-Accept: " + SampleAccept
                                                 : "Sec-WebSocket-Protocol: " + *Case.Selected);
    }
}

TEST(TzefWSConnectionServer_Base, OriginTable) {
    struct TCase {
        const char* Name;
        std::string Allowed;
        std::string Origin; // "" : no Origin line.
        bool Accepted;
    };
    const TCase Cases[] = {
        {"no list", "", "http://evil.example", true},
        {"contains the allowed name", "example.com", "http://www.EXAMPLE.com", true},
        {"other origin", "example.com", "http://evil.example", false},
        {"no origin line", "example.com", "", true},
        {"second entry", "a.org,example.com", "http://example.com", true},
        {"empty entry allows nothing", "a.org,", "http://b.org", false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        Server.SecurityOptions().SetOriginsAllowed(Case.Allowed);
        std::vector<std::string> Extra;
        if (!Case.Origin.empty()) {
            Extra.push_back("Origin: " + Case.Origin);
        }
        TConnectionPtr Connection = Connect(Server, UpgradeLines("/ws/", Extra));
        auto Outcome = Server.Upgrade(Connection);
        EXPECT_EQ(!Outcome.Refusal.has_value(), Case.Accepted);
        if (Outcome.Refusal) {
            EXPECT_EQ(Outcome.Refusal->Reason, "Origin " + Case.Origin + " not allowed");
            EXPECT_EQ(Outcome.Refusal->Status, 403);
        }
    }
}

TEST(TzefWSConnectionServer_Base, HandshakeEventEditsTheAnswer) {
    TzefWSTestServer Server;
    Server.OnHandshake = [](TzefWSConnection&, rtl::TStringList& Headers) {
        Headers.Add("X-Extra: 1");
    };
    TConnectionPtr Connection = Connect(Server, UpgradeLines());
    TzefWSTestServerConnection* Raw = Connection.get();
    ASSERT_TRUE(Server.Upgrade(Connection).Registered);
    EXPECT_EQ(Raw->HeadersResponse()[Raw->HeadersResponse().Count() - 1], "X-Extra: 1");

    Server.OnHandshake = [](TzefWSConnection&, rtl::TStringList&) {
        throw std::runtime_error("handler failed");
    };
    TConnectionPtr Failing = Connect(Server, UpgradeLines());
    auto Outcome = Server.Upgrade(Failing);
    ASSERT_TRUE(Outcome.Refusal.has_value());
    EXPECT_EQ(Outcome.Refusal->Status, 500);
    EXPECT_EQ(Server.Count(), 1);
}

TEST(TzefWSConnectionServer_Base, AHeartBeatDuringTheOpeningLeavesTheConnectionAlone) {
    // Registered before its handshake (and an event stream before its connect event), the
    // connection is not enabled until the client is answered: a heartbeat tick in between
    // neither pings it nor drops it.
    TzefWSTestServer Server;
    Server.FallBack().ServerSentEvents().SetEnabled(true);
    Server.OnHandshake = [&](TzefWSConnection&, rtl::TStringList&) { Server.Ping(); };
    Server.OnConnect = [&](TzefWSConnection& Connection) {
        if (Connection.Transport() == TwsTransport::trpSSE) {
            Server.Ping();
        }
    };
    TConnectionPtr Upgrade = Connect(Server, UpgradeLines());
    TzefWSTestServerConnection* Raw = Upgrade.get();
    ASSERT_TRUE(Server.Upgrade(Upgrade).Registered);
    EXPECT_EQ(Raw->DisconnectPeerCalls, 0);
    EXPECT_TRUE(Raw->Enabled());
    EXPECT_EQ(Raw->Output(), "");

    TConnectionPtr Stream = Connect(Server, {"GET /ws/ HTTP/1.1", "Accept: text/event-stream"});
    EXPECT_EQ(Server.DispatchRequest(*Stream), 200);
    EXPECT_EQ(Stream->DisconnectPeerCalls, 0);
    EXPECT_EQ(Stream->Output().find("event: Ping"), std::string::npos);
    Server.RemoveConnection(*Stream); // Registered by the acceptance; the test owns it.
}

TEST(TzefWSConnectionServer_Base, RFC6455SwitchedOffDisconnectsAfterTheAnswer) {
    TzefWSTestServer Server;
    Server.Specifications().SetRFC6455(false);
    int Connects = 0;
    Server.OnConnect = [&](TzefWSConnection&) { ++Connects; };
    TzefWSTestServerConnection& Connection = Open(Server);
    EXPECT_TRUE(Connection.Disconnected());
    EXPECT_EQ(Connects, 0);
}

// --- Authentication ---

TEST(TzefWSServer_Base, AuthenticationTable) {
    struct TCase {
        const char* Name;
        std::string Path;
        std::vector<std::string> Extra;
        bool Basic;
        bool AllowNonAuth;
        std::optional<bool> Handler; // The component's OnAuthentication sets this.
        int Result;
        bool Authenticated;
        TwsAuthentication AuthType;
    };
    const std::string GoodBasic =
        "Authorization: Basic " + EncodeBase64(testing::Bytes("user:password"));
    const std::string ColonBasic =
        "Authorization: Basic " + EncodeBase64(testing::Bytes("user:pass:word"));
    using A = TwsAuthentication;
    const TCase Cases[] = {
        {.Name = "url, right password",
         .Path = "/zef/auth/url/user/password",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = {},
         .Result = 101,
         .Authenticated = true,
         .AuthType = A::authURL},
        {.Name = "url, wrong password",
         .Path = "/zef/auth/url/user/wrong",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = {},
         .Result = 404,
         .Authenticated = false,
         .AuthType = A::authURL},
        {.Name = "url, user letter case",
         .Path = "/zef/auth/url/USER/password",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = {},
         .Result = 101,
         .Authenticated = true,
         .AuthType = A::authURL},
        {.Name = "url, wrong, non-auth allowed",
         .Path = "/zef/auth/url/user/wrong",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = true,
         .Handler = {},
         .Result = 101,
         .Authenticated = false,
         .AuthType = A::authURL},
        {.Name = "url, too few pieces",
         .Path = "/zef/auth/url/user",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = {},
         .Result = 404,
         .Authenticated = false,
         .AuthType = A::authNone},
        {.Name = "url, handler overrules",
         .Path = "/zef/auth/url/user/wrong",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = true,
         .Result = 101,
         .Authenticated = true,
         .AuthType = A::authURL},
        {.Name = "basic",
         .Path = "/ws/",
         .Extra = {GoodBasic},
         .Basic = true,
         .AllowNonAuth = false,
         .Handler = {},
         .Result = 101,
         .Authenticated = true,
         .AuthType = A::authBasic},
        {.Name = "basic switched off",
         .Path = "/ws/",
         .Extra = {GoodBasic},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = {},
         .Result = 404,
         .Authenticated = false,
         .AuthType = A::authNone},
        {.Name = "basic, colon in password",
         .Path = "/ws/",
         .Extra = {ColonBasic},
         .Basic = true,
         .AllowNonAuth = false,
         .Handler = true,
         .Result = 404,
         .Authenticated = false,
         .AuthType = A::authNone},
        {.Name = "none present, handler accepts",
         .Path = "/ws/",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = true,
         .Result = 101,
         .Authenticated = true,
         .AuthType = A::authNone},
        {.Name = "none present, handler refuses",
         .Path = "/ws/",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = false,
         .Result = 404,
         .Authenticated = false,
         .AuthType = A::authNone},
        {.Name = "none present, no handler",
         .Path = "/ws/",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = false,
         .Handler = {},
         .Result = 404,
         .Authenticated = false,
         .AuthType = A::authNone},
        {.Name = "none present, non-auth allowed",
         .Path = "/ws/",
         .Extra = {},
         .Basic = false,
         .AllowNonAuth = true,
         .Handler = {},
         .Result = 101,
         .Authenticated = false,
         .AuthType = A::authNone},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        Server.Authentication().SetEnabled(true);
        Server.Authentication().AuthUsers().Add("user=password");
        Server.Authentication().Basic().SetEnabled(Case.Basic);
        Server.Authentication().SetAllowNonAuth(Case.AllowNonAuth);
        std::vector<std::string> Seen;
        if (Case.Handler) {
            Server.OnAuthentication = [&](TzefWSConnection&, const std::string& aUser,
                                          const std::string& aPassword, bool& Authenticated) {
                Seen.push_back(aUser + "/" + aPassword);
                Authenticated = *Case.Handler;
            };
        }
        TConnectionPtr Connection = Connect(Server, UpgradeLines(Case.Path, Case.Extra));
        EXPECT_EQ(Server.DispatchRequest(*Connection), Case.Result);
        EXPECT_EQ(Connection->Authentication().Authenticated(), Case.Authenticated);
        EXPECT_EQ(Connection->Authentication().AuthType(), Case.AuthType);
        if (Case.Result == 404) {
            EXPECT_TRUE(Connection->HeadersRequest().Empty());
        }
        if (Case.Handler && Case.Path == "/ws/" && Case.Extra.empty()) {
            EXPECT_EQ(Seen, std::vector<std::string>{"/"});
        }
        if (std::string(Case.Name) == "basic, colon in password") {
            EXPECT_TRUE(Seen.empty());
        }
    }
}

TEST(TzefWSServer_Base, ChangedAuthenticationCloseCodeKeepsTheUpgrade) {
    TzefWSTestServer Server;
    Server.Authentication().SetEnabled(true);
    TConnectionPtr Connection = Connect(Server, UpgradeLines());
    Connection->SetAuthenticationCloseCode(4001);
    EXPECT_EQ(Server.DispatchRequest(*Connection), 101);
}

TEST(TzefWSServer_Base, SessionServesOneUpgrade) {
    TzefWSTestServer Server;
    Server.Authentication().SetEnabled(true);
    Server.Authentication().AuthUsers().Add("user=password");
    Server.RegisterProtocol("chat");

    TConnectionPtr Wrong = Connect(Server, {"GET /zef/req/auth/session/user/bad HTTP/1.1"});
    EXPECT_EQ(Server.DispatchRequest(*Wrong), 200);
    ASSERT_EQ(Wrong->Answers.size(), 1u);
    EXPECT_EQ(Wrong->Answers[0].Status, 404);
    // An empty user is judged like any other.
    TConnectionPtr Short = Connect(Server, {"GET /zef/req/auth/session/ HTTP/1.1"});
    EXPECT_EQ(Server.DispatchRequest(*Short), 200);
    ASSERT_EQ(Short->Answers.size(), 1u);
    EXPECT_EQ(Short->Answers[0].Status, 404);
    EXPECT_EQ(Server.SessionCount(), 0u);

    TConnectionPtr Request = Connect(Server, {"GET /zef/req/auth/session/user/password HTTP/1.1"});
    EXPECT_EQ(Server.DispatchRequest(*Request), 200);
    ASSERT_EQ(Request->Answers.size(), 1u);
    EXPECT_EQ(Request->Answers[0].Status, 200);
    EXPECT_EQ(Request->Answers[0].ContentType, "text/plain");
    const std::string& Body = Request->Answers[0].Body;
    ASSERT_GE(Body.size(), 34u);
    const std::string Identifier = Body.substr(0, 32);
    EXPECT_EQ(Identifier.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(Body, Identifier + "\r\n\r\nchat\r\n");
    EXPECT_EQ(Server.SessionCount(), 1u);

    for (int Attempt = 0; Attempt < 2; ++Attempt) {
        SCOPED_TRACE(Attempt);
        TConnectionPtr Upgrade = Connect(Server, UpgradeLines("/zef/auth/session/" + Identifier));
        EXPECT_EQ(Server.DispatchRequest(*Upgrade), Attempt == 0 ? 101 : 404);
        if (Attempt == 0) {
            EXPECT_EQ(Upgrade->Authentication().User(), "user");
            EXPECT_EQ(Upgrade->Authentication().Password(), "password");
            EXPECT_EQ(Upgrade->Authentication().SessionID(), Identifier);
        }
    }
    EXPECT_EQ(Server.SessionCount(), 0u);
    // Identifiers compare without regard to case; an empty one never matches.
    TConnectionPtr Again = Connect(Server, {"GET /zef/req/auth/session/user/password HTTP/1.1"});
    Server.DispatchRequest(*Again);
    std::string Lower = rtl::LowerCase(Again->Answers.at(0).Body.substr(0, 32));
    TConnectionPtr Empty = Connect(Server, UpgradeLines("/zef/auth/session/"));
    EXPECT_EQ(Server.DispatchRequest(*Empty), 404);
    TConnectionPtr Cased = Connect(Server, UpgradeLines("/zef/auth/session/" + Lower));
    EXPECT_EQ(Server.DispatchRequest(*Cased), 101);
}

// --- Classification and built-in answers ---

TEST(TzefWSServer_Base, DispatchRequestTable) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Lines;
        bool AcceptUnknown;
        int Result;
        TwsTransport Transport;
        std::size_t Answers;
    };
    using T = TwsTransport;
    const TCase Cases[] = {
        {"upgrade", UpgradeLines(), false, 101, T::trpUndefined, 0},
        {"plain GET", {"GET /ws/index.txt HTTP/1.1"}, false, 404, T::trpHTTP, 0},
        {"unknown script", {"GET /ws/other.js HTTP/1.1"}, false, 404, T::trpHTTP, 0},
        {"unknown page", {"GET /ws/other.html HTTP/1.1"}, false, 404, T::trpHTTP, 0},
        {"style sheet", {"GET /ws/site.css HTTP/1.1"}, false, 404, T::trpHTTP, 0},
        {"favicon", {"GET /favicon.ico HTTP/1.1"}, false, 404, T::trpHTTP, 0},
        {"POST elsewhere", {"POST /ws/ HTTP/1.1"}, false, 404, T::trpHTTP, 0},
        {"flash policy, fallback off", {"<policy-file-request/>"}, false, 404, T::trpFlash, 0},
        {"event stream, fallback off",
         {"GET /ws/ HTTP/1.1", "Accept: text/event-stream"},
         false,
         404,
         T::trpSSE,
         0},
        {"session request, auth off",
         {"GET /zef/req/auth/session/u/p HTTP/1.1"},
         false,
         200,
         T::trpUndefined,
         0},
        {"xhr post, unknown GUID", {"POST /zef/xhr/0123 HTTP/1.1"}, false, 200, T::trpUndefined, 0},
        {"xhr post, no GUID", {"POST /zef/xhr/ HTTP/1.1"}, false, 200, T::trpUndefined, 0},
        {"protocol post, no name",
         {"POST /zef/protocol/ HTTP/1.1"},
         false,
         200,
         T::trpUndefined,
         0},
        {"not HTTP", {"HELLO"}, false, 404, T::trpUndefined, 0},
        {"not HTTP, accepted", {"HELLO"}, true, 101, T::trpUndefined, 0},
        {"empty request", {}, false, 404, T::trpUndefined, 0},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        if (Case.AcceptUnknown) {
            Server.OnUnknownProtocol = [](TzefWSConnection&, bool& Accept) { Accept = true; };
        }
        TConnectionPtr Connection = Connect(Server, Case.Lines);
        EXPECT_EQ(Server.DispatchRequest(*Connection), Case.Result);
        EXPECT_EQ(Connection->Transport(), Case.Transport);
        EXPECT_EQ(Connection->Answers.size(), Case.Answers);
        EXPECT_EQ(Connection->Enabled(), Case.AcceptUnknown);
    }
}

std::string Filled(std::string aText, const std::string& aSSL) {
    aText = ReplaceText(aText, "{%host%}", "127.0.0.1");
    aText = ReplaceText(aText, "{%port%}", "2001");
    return ReplaceText(aText, "{%ssl%}", aSSL);
}

TEST(TzefWSServer_Base, BuiltInFileTable) {
    const std::string Js = LoadResourceText("ZEF_JS_ZEFWEBSOCKETS") + "\r\n";
    const std::string Flash = LoadResourceText("ZEF_JS_ZEFWEBSOCKETSFLASH") + "\r\n";
    const std::string Sse = LoadResourceText("ZEF_JS_ZEFWEBSOCKETSEVENTSOURCE") + "\r\n";
    const std::string Html = LoadResourceText("ZEF_HTML_ZEFWEBSOCKETS") + "\r\n";
    const auto Movie = LoadResourceBytes("ZEF_WEBSOCKETMAIN_SWF").value();
    struct TCase {
        const char* Name;
        std::string RequestLine;
        bool Flash;
        bool Sse;
        bool JsFiles;
        bool HtmlFiles;
        std::string FullURL;
        int Result;
        std::string ContentType; // "" : nothing answered.
        std::string Body;
        bool Disconnected;
    };
    const std::string JsType = "text/javascript";
    const std::string HtmlType = "text/html; charset=utf-8";
    const TCase Cases[] = {
        {.Name = "library",
         .RequestLine = "GET /ws/zefWebSockets.js HTTP/1.1",
         .Flash = false,
         .Sse = false,
         .JsFiles = true,
         .HtmlFiles = true,
         .FullURL = "",
         .Result = 200,
         .ContentType = JsType,
         .Body = Js,
         .Disconnected = true},
        {.Name = "library, any folder",
         .RequestLine = "GET /a/b/zefWebSockets.js HTTP/1.1",
         .Flash = false,
         .Sse = false,
         .JsFiles = true,
         .HtmlFiles = true,
         .FullURL = "",
         .Result = 200,
         .ContentType = JsType,
         .Body = Js,
         .Disconnected = true},
        {.Name = "library with both fallbacks",
         .RequestLine = "GET /ws/zefWebSockets.js HTTP/1.1",
         .Flash = true,
         .Sse = true,
         .JsFiles = true,
         .HtmlFiles = true,
         .FullURL = "",
         .Result = 200,
         .ContentType = JsType,
         .Body = Sse + Flash + Js,
         .Disconnected = true},
        {.Name = "library with flash",
         .RequestLine = "GET /ws/zefWebSockets.js HTTP/1.1",
         .Flash = true,
         .Sse = false,
         .JsFiles = true,
         .HtmlFiles = true,
         .FullURL = "",
         .Result = 200,
         .ContentType = JsType,
         .Body = Flash + Js,
         .Disconnected = true},
        {.Name = "library name is exact for fallbacks",
         .RequestLine = "GET /ws/ZEFWEBSOCKETS.JS HTTP/1.1",
         .Flash = true,
         .Sse = true,
         .JsFiles = true,
         .HtmlFiles = true,
         .FullURL = "",
         .Result = 200,
         .ContentType = JsType,
         .Body = Js,
         .Disconnected = true},
        {.Name = "scripts off",
         .RequestLine = "GET /ws/zefWebSockets.js HTTP/1.1",
         .Flash = false,
         .Sse = false,
         .JsFiles = false,
         .HtmlFiles = true,
         .FullURL = "",
         .Result = 404,
         .ContentType = "",
         .Body = "",
         .Disconnected = false},
        {.Name = "flash loader",
         .RequestLine = "GET /ws/zefWebSocketsFlash.js HTTP/1.1",
         .Flash = false,
         .Sse = false,
         .JsFiles = true,
         .HtmlFiles = true,
         .FullURL = "",
         .Result = 200,
         .ContentType = JsType,
         .Body = Flash,
         .Disconnected = true},
        {.Name = "demo page",
         .RequestLine = "GET /ws/ZEFWEBSOCKETS.HTML HTTP/1.1",
         .Flash = false,
         .Sse = false,
         .JsFiles = true,
         .HtmlFiles = true,
         .FullURL = "",
         .Result = 200,
         .ContentType = HtmlType,
         .Body = Filled(Html, ""),
         .Disconnected = true},
        {.Name = "demo page over https",
         .RequestLine = "GET /ws/zefWebSockets.html HTTP/1.1",
         .Flash = false,
         .Sse = false,
         .JsFiles = true,
         .HtmlFiles = true,
         .FullURL = "https://127.0.0.1:2001/ws/zefWebSockets.html",
         .Result = 200,
         .ContentType = HtmlType,
         .Body = Filled(Html, "s"),
         .Disconnected = true},
        {.Name = "pages off",
         .RequestLine = "GET /ws/zefWebSockets.html HTTP/1.1",
         .Flash = false,
         .Sse = false,
         .JsFiles = true,
         .HtmlFiles = false,
         .FullURL = "",
         .Result = 404,
         .ContentType = "",
         .Body = "",
         .Disconnected = false},
        {.Name = "flash movie",
         .RequestLine = "GET /ws/WebSocketMain.swf HTTP/1.1",
         .Flash = false,
         .Sse = false,
         .JsFiles = false,
         .HtmlFiles = false,
         .FullURL = "",
         .Result = 200,
         .ContentType = "application/x-shockwave-flash",
         .Body = std::string(Movie.begin(), Movie.end()),
         .Disconnected = false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        Server.FallBack().Flash().SetEnabled(Case.Flash);
        Server.FallBack().ServerSentEvents().SetEnabled(Case.Sse);
        Server.Options().SetJavascriptFiles(Case.JsFiles);
        Server.Options().SetHTMLFiles(Case.HtmlFiles);
        TConnectionPtr Connection = Connect(Server, {Case.RequestLine, "Host: 127.0.0.1:2001"});
        Connection->FullURL = Case.FullURL;
        EXPECT_EQ(Server.DispatchRequest(*Connection), Case.Result);
        if (Case.ContentType.empty()) {
            EXPECT_TRUE(Connection->Answers.empty());
        } else {
            ASSERT_EQ(Connection->Answers.size(), 1u);
            EXPECT_EQ(Connection->Answers[0].Status, 200);
            EXPECT_EQ(Connection->Answers[0].ContentType, Case.ContentType);
            EXPECT_TRUE(Connection->Answers[0].Body == Case.Body);
        }
        EXPECT_EQ(Connection->DisconnectPeerCalls, Case.Disconnected ? 1 : 0);
    }
}

TEST(TzefWSServer_Base, FileRequestWithSendNotFound) {
    TzefWSTestServer Server;
    TConnectionPtr Connection = Connect(Server, {});
    EXPECT_TRUE(Server.DoHTTPFileRequest(*Connection, "GET /ws/site.css HTTP/1.1", true));
    EXPECT_TRUE(Server.DoHTTPFileRequest(*Connection, "GET /favicon.ico HTTP/1.1", true));
    EXPECT_FALSE(Server.DoHTTPFileRequest(*Connection, "GET /favicon.ico HTTP/1.1", false));
    EXPECT_FALSE(Server.DoHTTPFileRequest(*Connection, "", true));
    ASSERT_EQ(Connection->Answers.size(), 1u);
    EXPECT_EQ(Connection->Answers[0].Status, 404);
}

TEST(TzefWSServer_Base, FlashPolicyIsTheExactBytes) {
    struct TCase {
        std::string Domain, Ports;
        std::size_t Size;
    };
    for (const TCase& Case : {TCase{"*", "*", 89}, TCase{"example.com", "2001", 102}}) {
        SCOPED_TRACE(Case.Domain);
        TzefWSTestServer Server;
        Server.FallBack().Flash().SetEnabled(true);
        Server.FallBack().Flash().SetDomain(Case.Domain);
        Server.FallBack().Flash().SetPorts(Case.Ports);
        TConnectionPtr Connection = Connect(Server, {"<policy-file-request/>"});
        EXPECT_EQ(Server.DispatchRequest(*Connection), 200);
        std::string Expected = "<cross-domain-policy><allow-access-from domain=\"" + Case.Domain +
                               "\" to-ports=\"" + Case.Ports + "\" /></cross-domain-policy>";
        Expected.push_back('\0');
        EXPECT_EQ(Connection->Output(), Expected);
        EXPECT_EQ(Connection->Output().size(), Case.Size);
        EXPECT_EQ(Connection->Transport(), TwsTransport::trpFlash);
        EXPECT_TRUE(Connection->Answers.empty());
    }
}

TEST(TzefWSServer_Base, EventStreamAcceptanceAndLongPollingPost) {
    TzefWSTestServer Server;
    Server.FallBack().ServerSentEvents().SetEnabled(true);
    Server.RegisterProtocol("news");
    std::vector<std::string> Events;
    Server.OnConnect = [&](TzefWSConnection& C) { Events.push_back("connect " + C.Protocol()); };
    Server.OnMessage = [&](TzefWSConnection&, const std::string& Text) {
        Events.push_back("message " + Text);
    };
    // The protocol object got the handlers registered before; these go to the component.
    Server.UnRegisterProtocol("news");
    Server.RegisterProtocol("news");
    TConnectionPtr Stream = Connect(Server, {"GET /ws/news HTTP/1.1", "Accept: text/event-stream"});
    TzefWSTestServerConnection* Raw = Stream.get();
    EXPECT_EQ(Server.DispatchRequest(*Stream), 200);
    EXPECT_EQ(Raw->Transport(), TwsTransport::trpSSE);
    EXPECT_TRUE(Raw->Enabled());
    EXPECT_EQ(Raw->Protocol(), "news");
    EXPECT_EQ(Events, std::vector<std::string>{"connect news"});
    const std::string Head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                             "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
                             "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\nPragma: no-cache\r\n"
                             "Connection: close\r\n\r\n";
    const std::string Guid = Raw->Guid();
    EXPECT_EQ(Raw->Output(), Head + "retry: 3000000\r\n\r\n" + "data: " + Guid + "\r\n\r\n" +
                                 "data: " + Guid + "\r\n\r\n");
    // Registered before its GUID went out, so a post that follows at once finds it; the
    // transport's own registration after the answer does not add it twice.
    EXPECT_EQ(Server.GetConnectionByGuid(Guid), Raw);
    Server.AddConnection(*Stream.release());
    EXPECT_EQ(Server.Count(), 1);

    // The browser posts its messages under the GUID.
    Raw->SetProtocol(""); // Reaches the component's own OnMessage.
    TConnectionPtr Post =
        Connect(Server, {"POST /zef/xhr/" + Guid + " HTTP/1.1", "Content-Length: 5", "", "hello"});
    EXPECT_EQ(Server.DispatchRequest(*Post), 200);
    ASSERT_EQ(Post->Answers.size(), 1u);
    EXPECT_EQ(Post->Answers[0].ContentType, "text/html");
    EXPECT_EQ(Post->Answers[0].Body, "");
    EXPECT_EQ(Events.back(), "message hello");
    // No length: answered, but no message.
    TConnectionPtr Empty =
        Connect(Server, {"POST /zef/xhr/" + Guid + " HTTP/1.1", "Content-Length: 0"});
    EXPECT_EQ(Server.DispatchRequest(*Empty), 200);
    EXPECT_EQ(Events.size(), 2u);
    // A length that is not a number is a conversion error.
    TConnectionPtr Bad =
        Connect(Server, {"POST /zef/xhr/" + Guid + " HTTP/1.1", "Content-Length: five"});
    EXPECT_THROW(Server.DispatchRequest(*Bad), rtl::EConvertError);
}

/// Notes the output at every release of the write lock while the connection is enabled: the
/// moments at which a writer on another thread, a broadcast, could put its bytes in between.
class TzefWriteLockWatch : public TzefWSTestServerConnection {
public:
    using TzefWSTestServerConnection::EnterCS;
    using TzefWSTestServerConnection::LeaveCS;
    void EnterCS() override {
        TzefWSTestServerConnection::EnterCS();
        ++FDepth;
    }
    void LeaveCS() override {
        if (--FDepth == 0 && Enabled()) {
            Openings.push_back(Output());
        }
        TzefWSTestServerConnection::LeaveCS();
    }
    std::vector<std::string> Openings;

private:
    int FDepth = 0; // Only this test's thread takes the lock.
};

TEST(TzefWSServer_Base, AnEventStreamIsEnabledOnlyOnceItsGuidIsOut) {
    // The client takes the first data event for its GUID: a broadcast that went ahead of the
    // GUID would send the client's posts nowhere.
    TzefWSTestServer Server;
    Server.FallBack().ServerSentEvents().SetEnabled(true);
    TzefWriteLockWatch Stream;
    Server.PrepareConnection(Stream);
    Stream.HeadersRequest().Add("GET /ws/ HTTP/1.1");
    Stream.HeadersRequest().Add("Accept: text/event-stream");
    EXPECT_EQ(Server.DispatchRequest(Stream), 200);
    const std::string Guid = Stream.Guid();
    ASSERT_FALSE(Stream.Openings.empty());
    for (const std::string& Opening : Stream.Openings) {
        EXPECT_NE(Opening.find("data: " + Guid + "\r\n\r\ndata: " + Guid + "\r\n\r\n"),
                  std::string::npos)
            << Opening;
    }
    Server.RemoveConnection(Stream); // Registered by the acceptance; the test owns it.
}

class TzefEchoProtocol : public TzefWSProtocol {
public:
    std::string DoPostRequest(TzefWSConnection&, const std::string& aArgument,
                              const std::string& aBody) override {
        return aArgument + "|" + aBody;
    }
};

TEST(TzefWSServer_Base, SubProtocolPost) {
    TzefWSTestServer Server;
    TzefEchoProtocol Protocol;
    Protocol.SetProtocol("echo");
    Server.RegisterProtocol(Protocol);
    struct TCase {
        const char* Name;
        std::vector<std::string> Lines;
        std::vector<std::string> Bodies;
    };
    const TCase Cases[] = {
        {"argument and body",
         {"POST /zef/protocol/echo/a/b HTTP/1.1", "Content-Length: 2", "", "hi"},
         {"a/b|hi"}},
        {"name only", {"POST /zef/protocol/echo HTTP/1.1", "Content-Length: 2", "", "hi"}, {"|hi"}},
        {"a single name matches exactly",
         {"POST /zef/protocol/ECHO HTTP/1.1", "Content-Length: 2", "", "hi"},
         {}},
        {"no body", {"POST /zef/protocol/echo/a HTTP/1.1", "Content-Length: 0"}, {}},
        {"unknown name",
         {"POST /zef/protocol/other/a HTTP/1.1", "Content-Length: 2", "", "hi"},
         {}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TConnectionPtr Connection = Connect(Server, Case.Lines);
        EXPECT_EQ(Server.DispatchRequest(*Connection), 200);
        std::vector<std::string> Bodies;
        for (const auto& Answer : Connection->Answers) {
            EXPECT_EQ(Answer.ContentType, "text/html");
            Bodies.push_back(Answer.Body);
        }
        EXPECT_EQ(Bodies, Case.Bodies);
    }
    Server.UnRegisterProtocol(Protocol);
}

// --- Registry, broadcast, writes ---

TEST(TzefWSServer_Base, RegistryOperations) {
    TzefWSTestServer Server;
    TzefWSTestServerConnection& A = Open(Server);
    TzefWSTestServerConnection& B = Open(Server);
    EXPECT_EQ(Server.Count(), 2);
    EXPECT_EQ(Server.GetConnectionByIndex(0), &A);
    EXPECT_EQ(Server.GetConnectionByIndex(1), &B);
    EXPECT_EQ(Server.GetConnectionByIndex(2), nullptr);
    EXPECT_EQ(Server.GetConnectionByIndex(-1), nullptr);
    EXPECT_EQ(Server.GetConnectionByGuid(B.Guid()), &B);
    EXPECT_EQ(Server.GetConnectionByGuid(rtl::LowerCase(B.Guid())), nullptr);
    EXPECT_EQ(Server.GetConnectionByGuid(""), nullptr);
    EXPECT_EQ(Server.Connections().GetConnection(A.Guid()), &A);
    Server.RemoveConnection(A);
    EXPECT_EQ(Server.Count(), 1);
    EXPECT_EQ(Server.GetConnectionByIndex(0), &B);
    Server.AddConnection(A);
    Server.FreeConnections();
    EXPECT_EQ(Server.Count(), 0);
}

TEST(TzefWSServer_Base, BroadcastTable) {
    struct TCase {
        const char* Name;
        std::string Protocol, Exclude, Include, Channel;
        std::vector<int> Reached; // Indices of A (plain), B (plain, subscribed "news"), C (chat).
    };
    const TCase Cases[] = {
        {"everything empty", "", "", "", "", {0, 1}},
        {"protocol chat", "chat", "", "", "", {2}},
        {"protocol in other case", "CHAT", "", "", "", {2}},
        {"include A", "", "", "@0", "", {0}},
        {"exclude A", "", "@0", "", "", {1}},
        {"include list", "", "", "@0,@1", "", {0, 1}},
        {"blank after comma", "", "", "@0, @1", "", {0}},
        {"channel", "", "", "", "news", {1}},
        {"channel list", "", "", "", "other,news", {1}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        Server.RegisterProtocol("chat");
        TzefWSTestServerConnection* Connections[] = {
            &Open(Server), &Open(Server), &Open(Server, "/ws/", {"Sec-WebSocket-Protocol: chat"})};
        Connections[1]->DoSubscribe("news");
        auto Expand = [&](std::string Text) {
            for (int I = 0; I < 3; ++I) {
                Text = ReplaceText(Text, "@" + std::to_string(I), Connections[I]->Guid());
            }
            return Text;
        };
        Server.Broadcast("hi", Case.Channel, Case.Protocol, Expand(Case.Exclude),
                         Expand(Case.Include));
        for (int I = 0; I < 3; ++I) {
            bool Expected =
                std::find(Case.Reached.begin(), Case.Reached.end(), I) != Case.Reached.end();
            EXPECT_EQ(Connections[I]->Output(), Expected ? TextFrame("hi") : "") << I;
        }
        rtl::TMemoryStream Data("\x01\x02");
        Server.Broadcast(Data, Case.Channel, Case.Protocol, Expand(Case.Exclude),
                         Expand(Case.Include));
        for (int I : Case.Reached) {
            EXPECT_EQ(Connections[I]->Output(), TextFrame("hi") + "\x82\x02\x01\x02") << I;
        }
    }
}

TEST(TzefWSServer_Base, WriteDataByGuid) {
    TzefWSTestServer Server;
    TzefWSTestServerConnection& A = Open(Server);
    EXPECT_TRUE(Server.WriteData(A.Guid(), "x"));
    rtl::TMemoryStream Data("\x07");
    EXPECT_TRUE(Server.WriteData(A.Guid(), Data));
    EXPECT_EQ(A.Output(), TextFrame("x") + "\x82\x01\x07");
    EXPECT_FALSE(Server.WriteData("NOPE", "x"));
    EXPECT_FALSE(Server.WriteData("NOPE", Data));
    A.SetEnabled(false);
    EXPECT_FALSE(Server.WriteData(A.Guid(), "x"));
    A.SetEnabled(true);
    A.SetDisconnected(true);
    EXPECT_FALSE(Server.WriteData(A.Guid(), "x"));
}

TEST(TzefWSServer_Base, PingAndDisconnectAll) {
    TzefWSTestServer Server;
    TzefWSTestServerConnection& Open1 = Open(Server);
    TzefWSTestServerConnection& NotEnabled = Open(Server);
    TzefWSTestServerConnection& Gone = Open(Server);
    NotEnabled.SetEnabled(false);
    Gone.SetDisconnected(true);
    Server.Ping();
    const std::string Sent = Open1.Output();
    ASSERT_EQ(Sent.size(), 19u);
    EXPECT_EQ(std::uint8_t(Sent[0]), 0x89);
    EXPECT_EQ(Sent[1], 17);
    EXPECT_EQ(Sent.substr(2).find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(Sent.substr(2, 2), "20");
    EXPECT_GT(Open1.LastPing(), 0);
    // Not yet enabled is still opening: neither pinged nor dropped.
    EXPECT_EQ(NotEnabled.DisconnectPeerCalls, 0);
    EXPECT_EQ(Gone.DisconnectPeerCalls, 1);
    EXPECT_EQ(NotEnabled.Output(), "");

    Server.DisconnectAll();
    EXPECT_EQ(Open1.DisconnectPeerCalls, 1);
    EXPECT_EQ(Gone.DisconnectPeerCalls, 1); // Already marked disconnected: left alone.
}

// --- Events ---

TEST(TzefWSServer_Base, MessageFlowsToOnMessageOnTheCallingThread) {
    TzefWSTestServer Server;
    std::vector<std::string> Log;
    std::thread::id Thread;
    Server.OnConnect = [&](TzefWSConnection&) { Log.push_back("connect"); };
    Server.OnMessage = [&](TzefWSConnection& C, const std::string& Text) {
        Thread = std::this_thread::get_id();
        Log.push_back("message " + Text);
        C.WriteData(Text);
    };
    Server.OnBinary = [&](TzefWSConnection&, rtl::TMemoryStream& Data) {
        Log.push_back("binary " + Data.DataString());
    };
    TzefWSTestServerConnection& Connection = Open(Server);
    const std::uint8_t Mask[4] = {1, 2, 3, 4};
    Connection.Receive(
        testing::Concat({testing::Frame(0x81, "echo", Mask), testing::Frame(0x82, "bin", Mask)}));
    Connection.ReadData(true);
    EXPECT_EQ(Log, (std::vector<std::string>{"connect", "message echo", "binary bin"}));
    EXPECT_EQ(Thread, std::this_thread::get_id());
    EXPECT_EQ(Connection.Output(), TextFrame("echo"));
    EXPECT_EQ(Connection.MsgReceived(), "echo");
}

TEST(TzefWSServer_Base, AMessageRaisedInsideAHandlerKeepsBothTexts) {
    // The delivered copy reuses the worker's room of the previous one: a delivery nested in a
    // handler must not write into the text the outer handler still holds.
    TzefWSTestServer Server;
    std::vector<std::string> Log;
    Server.OnMessage = [&](TzefWSConnection& C, const std::string& Text) {
        if (Text == "outer") {
            static_cast<TzefWSConnectionServer_Base&>(C).RaiseMessage("inner message");
        }
        Log.push_back(Text);
    };
    TzefWSTestServerConnection& Connection = Open(Server);
    const std::uint8_t Mask[4] = {9, 8, 7, 6};
    const std::string Large(100000, 'x');
    Connection.Receive(testing::Concat(
        {testing::Frame(0x81, "first", Mask), testing::Frame(0x81, "outer", Mask),
         testing::Frame(0x81, Large, Mask), testing::Frame(0x81, "after the large one", Mask)}));
    Connection.ReadData(true);
    EXPECT_EQ(Log, (std::vector<std::string>{"first", "inner message", "outer", Large,
                                             "after the large one"}));
    EXPECT_EQ(Connection.MsgReceived(), "after the large one");
}

TEST(TzefWSServer_Base, FailingHandlerReportsAndDropsTheConnection) {
    for (bool WithOnError : {true, false}) {
        SCOPED_TRACE(WithOnError);
        TzefWSTestServer Server;
        std::vector<std::string> Errors;
        if (WithOnError) {
            Server.OnError = [&](TzefWSConnection* C, const std::string& Error) {
                EXPECT_NE(C, nullptr);
                Errors.push_back(Error);
            };
        }
        Server.OnMessage = [](TzefWSConnection&, const std::string&) {
            throw std::runtime_error("handler failed");
        };
        TzefWSTestServerConnection& Connection = Open(Server);
        Server.OnServerMessageEvent(Connection, "x");
        EXPECT_EQ(Errors, WithOnError ? std::vector<std::string>{"handler failed"}
                                      : std::vector<std::string>{});
        EXPECT_TRUE(Connection.Disconnected());
        EXPECT_EQ(Connection.DisconnectPeerCalls, 1);
    }
}

TEST(TzefWSServer_Base, DisconnectReleasesIntoTheDeferredList) {
    for (bool Deferred : {true, false}) {
        SCOPED_TRACE(Deferred);
        TzefWSTestServer Server;
        Server.Optimizations().ConnectionsFree().SetEnabled(Deferred);
        std::vector<int> Codes;
        Server.OnDisconnect = [&](TzefWSConnection& C, int Code) {
            EXPECT_EQ(Server.Count(), 0); // Already out of the registry.
            Codes.push_back(Code);
            EXPECT_FALSE(C.Freed());
        };
        TzefWSTestServerConnection& Connection = Open(Server);
        const std::string Guid = Connection.Guid();
        Connection.SetCloseCode(1001);
        Server.OnServerDisconnectEvent(Connection, 1001);
        EXPECT_EQ(Codes, std::vector<int>{1001});
        EXPECT_EQ(Server.ConnectionsFreeCount(), Deferred ? 1u : 0u);
        EXPECT_EQ(Server.Connections().GetConnection(Guid), nullptr);
    }
}

// Connection churn: connect, upgrade, disconnect, many times over. Ended connections are kept
// only for the grace time, not until the deferred-release timer's next tick.
TEST(TzefWSServer_Base, ChurnKeepsOnlyConnectionsWithinTheGraceTime) {
    constexpr int Cycles = 500;
    struct TCase {
        const char* Name;
        std::chrono::milliseconds Grace;
        std::size_t Waiting; // Connections waiting for release after the churn.
    };
    const TCase Cases[] = {
        {"no grace: each release frees the ones before", std::chrono::milliseconds(0), 1},
        {"negative grace counts as none", std::chrono::milliseconds(-5), 1},
        {"grace longer than the churn keeps them all", std::chrono::hours(1), Cycles},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        Server.SetConnectionsFreeGrace(Case.Grace);
        EXPECT_GE(Server.ConnectionsFreeGrace().count(), 0);
        Server.SetActive(true);
        int Disconnects = 0;
        Server.OnDisconnect = [&](TzefWSConnection&, int) { ++Disconnects; };
        for (int I = 0; I < Cycles; ++I) {
            TzefWSTestServerConnection& Connection = Open(Server);
            Connection.SetDisconnected(true);
            Server.OnServerDisconnectEvent(Connection, 1000);
        }
        EXPECT_EQ(Disconnects, Cycles);
        EXPECT_EQ(Server.Count(), 0);
        EXPECT_EQ(Server.Connections().Count(), 0u);
        EXPECT_EQ(Server.ConnectionsFreeCount(), Case.Waiting);
        Server.SetActive(false); // Frees the rest.
        EXPECT_EQ(Server.ConnectionsFreeCount(), 0u);
    }
}

TEST(TzefWSServer_Base, ConnectionsFreeGraceDefaultsToOneSecond) {
    TzefWSTestServer Server;
    EXPECT_EQ(Server.ConnectionsFreeGrace(), std::chrono::seconds(1));
}

TEST(TzefWSServer_Base, HeldMessagesAreDeliveredInOrder) {
    TzefWSTestServer Server;
    std::vector<std::string> Log;
    Server.OnMessage = [&](TzefWSConnection&, const std::string& Text) { Log.push_back(Text); };
    Server.OnBinary = [&](TzefWSConnection&, rtl::TMemoryStream& D) {
        Log.push_back("b:" + D.DataString());
    };
    TzefWSTestServerConnection& Connection = Open(Server);
    Server.SetQueueMessages(true);
    for (const char* Text : {"1", "2", "3"}) {
        Server.OnServerMessageEvent(Connection, Text);
    }
    rtl::TMemoryStream Data("d");
    Server.OnServerBinaryEvent(Connection, Data);
    Server.OnServerMessageEvent(Connection, "4");
    EXPECT_TRUE(Log.empty());
    Server.SetQueueMessages(false);
    EXPECT_EQ(Log, (std::vector<std::string>{"1", "2", "3", "4", "b:d"}));
    Server.SetQueueMessages(true);
    Server.OnServerMessageEvent(Connection, "5");
    Server.QueueClear();
    Server.SetQueueMessages(false);
    EXPECT_EQ(Log.size(), 5u);
}

TEST(TzefWSServer_Base, SubProtocolConnectionsReachOnlyTheirProtocolObject) {
    TzefWSTestServer Server;
    std::vector<std::string> Log;
    Server.OnMessage = [&](TzefWSConnection&, const std::string& T) { Log.push_back("own " + T); };
    Server.RegisterProtocol("chat"); // Takes the component's handler of this moment.
    Server.OnMessage = [&](TzefWSConnection&, const std::string& T) { Log.push_back("new " + T); };
    TzefWSProtocol Object;
    Object.SetProtocol("a,b");
    Object.OnMessage = [&](TzefWSConnection&, const std::string& T) { Log.push_back("ab " + T); };
    Object.OnDisconnect = [&](TzefWSConnection&, int) { Log.push_back("ab gone"); };
    Server.RegisterProtocol(Object);
    EXPECT_EQ(Server.GetProtocols(), "chat,a,b");

    TzefWSTestServerConnection& Chat = Open(Server, "/ws/", {"Sec-WebSocket-Protocol: chat"});
    TzefWSTestServerConnection& B = Open(Server, "/ws/", {"Sec-WebSocket-Protocol: B"});
    TzefWSTestServerConnection& Plain = Open(Server);
    Server.OnServerMessageEvent(Chat, "1");
    Server.OnServerMessageEvent(B, "2");
    Server.OnServerMessageEvent(Plain, "3");
    Server.OnServerDisconnectEvent(B, 1000);
    EXPECT_EQ(Log, (std::vector<std::string>{"own 1", "ab 2", "new 3", "ab gone"}));
    Server.UnRegisterProtocol(Object);
    EXPECT_EQ(Server.GetProtocols(), "chat");
}

TEST(TzefWSComponent, IsProtocolMatchTable) {
    TzefWSTestServer Server;
    TzefWSProtocol Single, List;
    Single.SetProtocol("chat");
    Single.SetGuid("G1");
    List.SetProtocol("a,b");
    List.SetGuid("G2");
    struct TCase {
        const char* Protocol;
        const TzefWSProtocol* Object;
        bool Match;
    };
    const TCase Cases[] = {
        {"chat", &Single, true}, {"G1.chat", &Single, true}, {"CHAT", &Single, false},
        {"a,b", &List, true},    {"A", &List, true},         {"G2.b", &List, true},
        {"G2.B", &List, false},  {"c", &List, false},        {"", &Single, false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Protocol);
        EXPECT_EQ(Server.IsProtocolMatch(Case.Protocol, *Case.Object), Case.Match);
    }
}

// --- Main-thread delivery ---

// Runs aWork on a worker while this (main) thread processes queued calls until aDone holds.
template <typename TWork, typename TDone>
void WithWorker(TWork aWork, TDone aDone) {
    ASSERT_TRUE(rtl::IsMainThread());
    std::thread Worker(aWork);
    // Bounded generously: the wait ends as soon as aDone holds.
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!aDone() && std::chrono::steady_clock::now() < Deadline) {
        rtl::CheckSynchronize(std::chrono::milliseconds(10));
    }
    Worker.join();
    rtl::CheckSynchronize();
}

TEST(TzefWSServer_Base, QueuedModesDeliverOnTheMainThread) {
    for (TwsNotifyEvent Mode : {TwsNotifyEvent::neAsynchronous, TwsNotifyEvent::neSynchronous}) {
        SCOPED_TRACE(int(Mode));
        TzefWSTestServer Server;
        std::mutex Lock;
        std::vector<std::string> Log; // Guarded by Lock.
        auto Add = [&](std::string Entry) {
            EXPECT_TRUE(rtl::IsMainThread());
            std::scoped_lock Guard(Lock);
            Log.push_back(std::move(Entry));
        };
        Server.OnConnect = [&](TzefWSConnection&) { Add("connect"); };
        Server.OnMessage = [&](TzefWSConnection&, const std::string& T) { Add("message " + T); };
        Server.OnError = [&](TzefWSConnection*, const std::string& E) { Add("error " + E); };
        Server.OnDisconnect = [&](TzefWSConnection&, int Code) {
            Add("disconnect " + std::to_string(Code));
        };
        Server.OnHandshake = [&](TzefWSConnection&, rtl::TStringList& H) {
            Add("handshake");
            H.Add("X-Main: 1");
        };
        Server.SetNotifyEvents(Mode);
        TzefWSTestServerConnection* Connection = nullptr;
        bool WorkerDone = false;
        WithWorker(
            [&] {
                TConnectionPtr New = Connect(Server, UpgradeLines());
                Connection = New.get();
                Server.Upgrade(New);
                Server.OnServerMessageEvent(*Connection, "a");
                Server.OnServerMessageEvent(*Connection, "b");
                Connection->SetCloseCode(1000);
                Server.OnServerDisconnectEvent(*Connection, 1000);
                std::scoped_lock Guard(Lock);
                WorkerDone = true;
            },
            [&] {
                std::scoped_lock Guard(Lock);
                return WorkerDone && Log.size() >= 5;
            });
        std::scoped_lock Guard(Lock);
        EXPECT_EQ(Log, (std::vector<std::string>{"handshake", "connect", "message a", "message b",
                                                 "disconnect 1000"}));
        EXPECT_EQ(Connection->HeadersResponse()[Connection->HeadersResponse().Count() - 1],
                  "X-Main: 1");
        EXPECT_EQ(Server.ConnectionsFreeCount(), 1u);
    }
}

TEST(TzefWSServer_Base, QueuedNotificationsOfADestroyedComponentNeverRun) {
    bool Ran = false;
    {
        TzefWSTestServer Server;
        Server.OnMessage = [&](TzefWSConnection&, const std::string&) { Ran = true; };
        Server.SetNotifyEvents(TwsNotifyEvent::neAsynchronous);
        TzefWSTestServerConnection& Connection = Open(Server);
        std::thread Worker([&] { Server.OnServerMessageEvent(Connection, "late"); });
        Worker.join();
        // A disconnect still queued: the component frees the connection when it goes.
        std::thread Ender([&] { Server.OnServerDisconnectEvent(Connection, 1000); });
        Ender.join();
    }
    rtl::CheckSynchronize();
    EXPECT_FALSE(Ran);
}

// --- Timers ---

TEST(TzefWSComponent, WatchDogWithIntervalZeroDoesNotRun) {
    TzefWSTestServer Server;
    Server.WatchDog().SetEnabled(true);
    Server.WatchDog().SetInterval(0);
    Server.StartWatchDog();
    ASSERT_NE(Server.WatchDogTimer(), nullptr);
    EXPECT_FALSE(Server.WatchDogTimer()->Enabled());
    Server.StopWatchDog();
    EXPECT_EQ(Server.WatchDogTimer(), nullptr);
}

class TzefWatchDogProbe : public testing::TzefWSTestServer {
public:
    using TzefWSComponent::DoWatchDog;
};

TEST(TzefWSComponent, WatchDogThirdTickFreesTheTimer) {
    TzefWatchDogProbe Server;
    Server.WatchDog().SetEnabled(true);
    Server.WatchDog().SetAttempts(3);
    Server.StartWatchDog();
    for (int Tick = 1; Tick <= 3; ++Tick) {
        SCOPED_TRACE(Tick);
        EXPECT_NE(Server.WatchDogTimer(), nullptr);
        Server.DoWatchDog();
        EXPECT_EQ(Server.WatchDogAttempts(), Tick);
    }
    EXPECT_EQ(Server.WatchDogTimer(), nullptr);
    // A connection ends a watchdog run.
    Server.StartWatchDog();
    Open(Server);
    EXPECT_EQ(Server.WatchDogTimer(), nullptr);
    EXPECT_EQ(Server.WatchDogAttempts(), 0);
}

TEST(TzefWSServer_Base, HeartBeatTimeoutTable) {
    struct TCase {
        const char* Name;
        TwsTransport Transport;
        bool Answered;    // A pong came back right after the ping.
        int FirstPingAgo; // Seconds.
        bool Reported;
    };
    const TCase Cases[] = {
        {"answered", TwsTransport::trpRFC6455, true, 5, false},
        {"silent for long", TwsTransport::trpRFC6455, false, 5, true},
        {"silent, just started", TwsTransport::trpRFC6455, false, 0, false},
        {"other transport", TwsTransport::trpSSE, false, 5, false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestServer Server;
        Server.HeartBeat().SetInterval(1);
        Server.HeartBeat().SetTimeout(2);
        std::vector<std::string> Reports;
        Server.OnException = [&](TzefWSConnection* C, const std::exception& E) {
            EXPECT_NE(C, nullptr);
            Reports.push_back(E.what());
        };
        TzefWSTestServerConnection& Connection = Open(Server);
        Connection.SetTransport(Case.Transport);
        Connection.Ping("p");
        if (Case.Answered) {
            Connection.SetLastPong(Connection.LastPing());
        }
        Connection.SetFirstPing(Now() - Case.FirstPingAgo / 86400.0);
        Server.DoHeartBeatTimeout();
        EXPECT_EQ(Reports, Case.Reported ? std::vector<std::string>{"HeartBeat Timeout exceeded."}
                                         : std::vector<std::string>{});
        EXPECT_EQ(Connection.Disconnected(), Case.Reported);
        if (Case.Answered) {
            EXPECT_EQ(Connection.FirstPing(), 0);
        }
    }
}

TEST(TzefWSServer_Base, HeartBeatTickPingsAndStartsTheTimeoutTimer) {
    TzefWSTestServer Server;
    Server.HeartBeat().SetEnabled(true);
    Server.HeartBeat().SetTimeout(30);
    TzefWSTestServerConnection& Connection = Open(Server);
    Server.DoHeartBeat();
    EXPECT_EQ(std::uint8_t(Connection.Output().at(0)), 0x89);
    ASSERT_NE(Server.HeartBeatTimeoutTimer(), nullptr);
    EXPECT_TRUE(Server.HeartBeatTimeoutTimer()->Enabled());
    EXPECT_EQ(Server.HeartBeatTimeoutTimer()->Interval(), 30000);
}

TEST(TzefWSServer_Base, DeferredReleaseTimerFreesWaitingConnections) {
    TzefWSTestServer Server;
    Server.Optimizations().ConnectionsFree().SetInterval(0); // Ticks at once, repeatedly.
    TzefWSTestServerConnection& Connection = Open(Server);
    Server.OnServerDisconnectEvent(Connection, 1000);
    EXPECT_EQ(Server.ConnectionsFreeCount(), 1u);
    Server.StartConnectionsFree();
    // The release waits out the grace time (a second) first: the bound leaves room for a loaded
    // machine, and the poll does not take the CPU from the timer's thread.
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Server.ConnectionsFreeCount() > 0 && std::chrono::steady_clock::now() < Deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Server.ConnectionsFreeCount(), 0u);
    Server.StopConnectionsFree();
}

/// Lets the test run the deferred release's tick itself.
class TzefWSReleaseTickServer : public TzefWSTestServer {
public:
    using TzefWSTestServer::DoConnectionsFreeTimer;
};

TEST(TzefWSServer_Base, DeferredReleaseTickKeepsConnectionsWithinTheGraceTime) {
    // A broadcast, a write by GUID or a long-polling post that found a connection in the
    // registry just before it ended still uses it after the registry's lock: the tick frees
    // only the connections released longer ago than the grace time.
    TzefWSReleaseTickServer Server;
    Server.SetConnectionsFreeGrace(std::chrono::hours(1));
    TzefWSTestServerConnection& Connection = Open(Server);
    Server.OnServerDisconnectEvent(Connection, 1000);
    ASSERT_EQ(Server.ConnectionsFreeCount(), 1u);
    Server.DoConnectionsFreeTimer();
    ASSERT_EQ(Server.ConnectionsFreeCount(), 1u); // Before the connection is looked at again.
    EXPECT_FALSE(Connection.Freed());
    Server.SetConnectionsFreeGrace(std::chrono::milliseconds(0));
    Server.DoConnectionsFreeTimer();
    EXPECT_EQ(Server.ConnectionsFreeCount(), 0u);
}

TEST(TzefWSServer_Base, AConnectionEndingDuringABroadcastOutlivesTheBroadcast) {
    // The broadcast uses the connections it selected after the registry's lock is gone: one
    // that ends meanwhile stays however long the broadcast takes, past any grace time.
    TzefWSReleaseTickServer Server;
    Server.SetConnectionsFreeGrace(std::chrono::milliseconds(0));
    TzefWSTestServerConnection& First = Open(Server);
    TzefWSTestServerConnection& Second = Open(Server);
    bool Ended = false;
    First.OnWriteBytes = [&] {
        if (!std::exchange(Ended, true)) {
            Server.OnServerDisconnectEvent(Second, 1000);
            Server.DoConnectionsFreeTimer();
            EXPECT_EQ(Server.ConnectionsFreeCount(), 1u);
        }
    };
    Server.Broadcast("news");
    ASSERT_TRUE(Ended);
    EXPECT_EQ(Server.ConnectionsFreeCount(), 1u);
    Server.DoConnectionsFreeTimer(); // The broadcast is done: nothing holds it any more.
    EXPECT_EQ(Server.ConnectionsFreeCount(), 0u);
    First.OnWriteBytes = nullptr;
}

} // namespace
} // namespace zef

namespace zef {
namespace {

TEST(TzefWSComponent, ProcessQueuesSendsQueuedWritesAndPings) {
    TzefWSTestServer Server;
    Server.QueueOptions().Ping().SetLevel(TwsQueueMsgLevels::qmLevel2);
    Server.QueueOptions().Text().SetLevel(TwsQueueMsgLevels::qmLevel0);
    TzefWSTestServerConnection& Connection = Open(Server);
    Server.Ping();
    Server.Broadcast("queued");
    EXPECT_EQ(Connection.Output(), "");
    Server.ProcessQueues(&Connection);
    const std::string Sent = Connection.Output();
    ASSERT_EQ(Sent.size(), TextFrame("queued").size() + 19);
    EXPECT_EQ(Sent.substr(0, 8), TextFrame("queued")); // Level 0 before level 2.
    EXPECT_EQ(std::uint8_t(Sent[8]), 0x89);
    EXPECT_EQ(Connection.QueuePingList().Count(), 1u);
    Server.ProcessQueues(&Connection); // Nothing left.
    EXPECT_EQ(Connection.Output(), Sent);
    Server.ProcessQueues(nullptr);
}

// A flush asked for while a flush runs (here by the writes' own thread, as a handler its
// writes raise would) is made by the running one after what it took: in queue order, and
// every queued write raises OnQueued for the transport.
TEST(TzefWSComponent, AFlushAskedForDuringAFlushIsMadeByTheRunningOne) {
    TzefWSTestServer Server;
    Server.QueueOptions().Text().SetLevel(TwsQueueMsgLevels::qmLevel1);
    TzefWSTestServerConnection& Connection = Open(Server);
    int Queued = 0;
    Connection.OnQueued = [&](TzefWSConnection&) { ++Queued; };
    EXPECT_FALSE(Connection.HasQueued());
    Connection.WriteData("a");
    Connection.WriteData("b");
    EXPECT_TRUE(Connection.HasQueued());
    bool Asked = false;
    Connection.OnWriteBytes = [&] {
        if (!std::exchange(Asked, true)) {
            Connection.WriteData("c");
            Server.ProcessQueues(&Connection); // Returns at once: the running flush sends it.
            EXPECT_EQ(Connection.Output(), "");
        }
    };
    Server.ProcessQueues(&Connection);
    EXPECT_EQ(Connection.Output(), TextFrame("a") + TextFrame("b") + TextFrame("c"));
    EXPECT_EQ(Queued, 3);
    EXPECT_FALSE(Connection.HasQueued());
    Connection.OnWriteBytes = nullptr;
}

TEST(TzefWSComponent, APIObjectTakesPlainConnections) {
    for (bool Raw : {false, true}) {
        SCOPED_TRACE(Raw);
        TzefWSTestServer Server;
        TzefWSAPI Api;
        Api.SetRawMessages(Raw);
        std::vector<std::string> Log;
        Api.OnConnect = [&](TzefWSConnection&) { Log.push_back("api connect"); };
        Api.OnMessage = [&](TzefWSConnection&, const std::string& T) { Log.push_back("api " + T); };
        Api.OnRawMessage = [&](TzefWSConnection&, const std::string& T, bool&) {
            Log.push_back("raw " + T);
        };
        Server.OnConnect = [&](TzefWSConnection&) { Log.push_back("own connect"); };
        Server.OnMessage = [&](TzefWSConnection&, const std::string& T) {
            Log.push_back("own " + T);
        };
        Server.SetAPI(&Api);
        TzefWSTestServerConnection& Connection = Open(Server);
        Server.OnServerMessageEvent(Connection, "m");
        EXPECT_EQ(Log,
                  Raw ? (std::vector<std::string>{"api connect", "own connect", "raw m", "own m"})
                      : (std::vector<std::string>{"api connect", "api m"}));
        Server.ClearAPI();
    }
}

TEST(TzefWSComponent, ARawHandlerThatSetsMsgReceivedChangesWhatOnMessageGets) {
    // The component's handler gets the received text as it was stored, unless something set
    // MsgReceived in between: then it gets MsgReceived as it is now.
    TzefWSTestServer Server;
    TzefWSAPI Api;
    Api.SetRawMessages(true);
    Api.OnRawMessage = [](TzefWSConnection& C, const std::string&, bool&) {
        C.SetMsgReceived("changed by the raw handler");
    };
    std::vector<std::string> Log;
    Server.OnMessage = [&](TzefWSConnection&, const std::string& T) { Log.push_back(T); };
    Server.SetAPI(&Api);
    TzefWSTestServerConnection& Connection = Open(Server);
    Server.OnServerMessageEvent(Connection, "received");
    Api.OnRawMessage = nullptr;
    Server.OnServerMessageEvent(Connection, "received again");
    EXPECT_EQ(Log, (std::vector<std::string>{"changed by the raw handler", "received again"}));
    Server.ClearAPI();
}

TEST(TzefWSServer_Base, SessionStoreKeepsItsLimit) {
    TzefWSTestServer Server;
    Server.Authentication().SetEnabled(true);
    Server.Authentication().AuthUsers().Add("user=password");
    Server.SetSessionLimit(2);
    std::vector<std::string> Identifiers;
    for (int I = 0; I < 3; ++I) {
        TConnectionPtr Request =
            Connect(Server, {"GET /zef/req/auth/session/user/password HTTP/1.1"});
        Server.DispatchRequest(*Request);
        Identifiers.push_back(Request->Answers.at(0).Body.substr(0, 32));
    }
    EXPECT_EQ(Server.SessionCount(), 2u);
    for (int I = 0; I < 3; ++I) {
        SCOPED_TRACE(I);
        TConnectionPtr Upgrade =
            Connect(Server, UpgradeLines("/zef/auth/session/" + Identifiers[I]));
        EXPECT_EQ(Server.DispatchRequest(*Upgrade), I == 0 ? 404 : 101); // The oldest went.
    }
}

TEST(TzefWSServer_Base, ConcurrentWorkersShareTheRegistry) {
    TzefWSTestServer Server;
    std::atomic<int> Messages{0}, Connects{0}, Disconnects{0};
    Server.OnConnect = [&](TzefWSConnection&) { ++Connects; };
    Server.OnMessage = [&](TzefWSConnection& C, const std::string& Text) {
        ++Messages;
        C.WriteData(Text);
    };
    Server.OnDisconnect = [&](TzefWSConnection&, int) { ++Disconnects; };
    constexpr int Workers = 4, PerWorker = 25;
    std::vector<std::thread> Threads;
    for (int W = 0; W < Workers; ++W) {
        Threads.emplace_back([&] {
            for (int I = 0; I < PerWorker; ++I) {
                TzefWSTestServerConnection& Connection = Open(Server);
                Server.OnServerMessageEvent(Connection, "m");
                Server.Broadcast("all");
                EXPECT_TRUE(Server.WriteData(Connection.Guid(), "direct"));
                Server.OnServerDisconnectEvent(Connection, 1000);
            }
        });
    }
    for (std::thread& Thread : Threads) {
        Thread.join();
    }
    EXPECT_EQ(Connects.load(), Workers * PerWorker);
    EXPECT_EQ(Messages.load(), Workers * PerWorker);
    EXPECT_EQ(Disconnects.load(), Workers * PerWorker);
    EXPECT_EQ(Server.Count(), 0);
    EXPECT_EQ(Server.ConnectionsFreeCount(), std::size_t(Workers * PerWorker));
}

TEST(TzefWSServer_Base, ActiveHeartBeatPingsEveryConnection) {
    TzefWSTestServer Server;
    Server.HeartBeat().SetEnabled(true);
    Server.HeartBeat().SetInterval(1);
    TzefWSTestServerConnection& Connection = Open(Server);
    Server.SetActive(true);
    // The first beat comes after a second; the bound leaves room for a loaded machine.
    ASSERT_TRUE(Connection.WaitForOutput(19, std::chrono::seconds(30)));
    Server.SetActive(false);
    const std::string Sent = Connection.Output();
    EXPECT_EQ(std::uint8_t(Sent[0]), 0x89);
    EXPECT_EQ(Sent[1], 17);
    EXPECT_EQ(Server.HeartBeatTimeoutTimer(), nullptr); // Timeout 0: no time-out check.
}

} // namespace
} // namespace zef
