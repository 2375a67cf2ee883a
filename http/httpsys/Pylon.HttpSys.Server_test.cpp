// Pylon.HttpSys.Server: the host end to end on real loopback sockets.
#include "http/httpsys/Pylon.HttpSys.Api.h"
#include "http/httpsys/Pylon.HttpSys.Context.h"
#include "http/httpsys/Pylon.HttpSys.Server.h"
#include "testing/HttpTestClient.h"
#include "testing/PylonTestHost.h"
#include "testing/TestCertificate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace pylon {
namespace {

using testsupport::THttpReply;
using testsupport::THttpTestClient;

constexpr std::string_view Hello = "Hello, World!";

class TGreetModule : public THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    void ProcessRequest(THttpServerContext& C) override {
        C.Response().SetStatusCode(200);
        C.Response().SetContentType("text/plain");
        C.Response().Close(Hello);
    }
};

class TFailingModule : public THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    void ProcessRequest(THttpServerContext&) override { throw std::out_of_range("no such thing"); }
};

/// Reports what the host made of the request; reads the body.
class TEchoModule : public THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    void ProcessRequest(THttpServerContext& C) override {
        THttpServerRequest& Request = C.Request();
        const std::string Text =
            "method=" + Request.Method() + "\nurl=" + Request.RawUri() +
            "\nprotocol=" + Request.Protocol() +
            "\nbody=" + std::to_string(Request.Content().size()) + "\nip=" + Request.RemoteIp() +
            "\nx-large=" + std::to_string(Request.Headers().Get("x-large").size());
        C.Response().SetStatusCode(200);
        C.Response().Headers().SetValue("X-Custom-Name", "custom");
        C.Response().Headers().SetValue("set-cookie", "a=1\nb=2");
        C.Response().Close(Text);
    }
};

/// Reports how the host saw the request: secure or not, its scheme, the URL the framework got.
class TSecureModule : public THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    void ProcessRequest(THttpServerContext& C) override {
        THttpSysRequest& Sys = dynamic_cast<THttpSysContext&>(C).SysRequest();
        const std::string Text =
            std::string("secure=") + (Sys.IsSecureConnection() ? "yes" : "no") +
            "\nscheme=" + std::string(Sys.RequestScheme()) + "\nurl=" + C.Request().RawUri();
        C.Response().SetStatusCode(200);
        C.Response().SetContentType("text/plain");
        C.Response().Close(Text);
    }
};

class THttpSysServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Port = testsupport::FreePort();
        const std::string Base = "http://127.0.0.1:" + std::to_string(Port);
        Server = std::make_unique<THttpSysServer>();
        Log = std::make_shared<testing::TTestLogEngine>();
        Server->SetLogEngine(Log);
        Server->AddModule(std::make_unique<TGreetModule>(Base + "/vek/orbis/hello"));
        Server->AddModule(std::make_unique<TFailingModule>(Base + "/boom"));
        Server->AddModule(std::make_unique<TEchoModule>(Base + "/echo"));
        Server->Start();
        ASSERT_TRUE(Server->IsRunning());
    }
    std::string Get(std::string_view Path) {
        return "GET " + std::string(Path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    }

    std::uint16_t Port = 0;
    std::shared_ptr<testing::TTestLogEngine> Log;
    std::unique_ptr<THttpSysServer> Server;
};

void ExpectHello(const THttpReply& Reply) {
    EXPECT_EQ(Reply.Status, 200);
    EXPECT_EQ(Reply.Reason, "OK");
    EXPECT_EQ(Reply.Header("content-type"), "text/plain");
    EXPECT_EQ(Reply.Header("content-length"), "13");
    EXPECT_EQ(Reply.Body, Hello);
}

TEST_F(THttpSysServerTest, EveryRequestUnderThePrefixIsGreetedOnOneConnection) {
    const std::string Body(3000, 'b');
    const std::string Requests[] = {
        Get("/vek/orbis/hello"),
        Get("/vek/orbis/hello/"),
        Get("/vek/orbis/hello/any/deeper/path?x=1"),
        Get("/VEK/Orbis/HELLO"),
        "POST /vek/orbis/hello/any/deeper/path?x=1 HTTP/1.1\r\nHost: h\r\nContent-Length: " +
            std::to_string(Body.size()) + "\r\n\r\n" + Body,
        "PUT /vek/orbis/hello HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nabcde\r\n0\r\n\r\n",
        "DELETE /vek/orbis/hello HTTP/1.1\r\nHost: h\r\n\r\n",
        "OPTIONS /vek/orbis/hello HTTP/1.1\r\nHost: h\r\n\r\n",
        "PATCH /vek/orbis/hello HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nok",
        "BREW /vek/orbis/hello HTTP/1.1\r\nHost: h\r\n\r\n",
    };
    THttpTestClient Client(Port);
    ASSERT_TRUE(Client.Connected());
    for (const std::string& Request : Requests) {
        SCOPED_TRACE(Request.substr(0, Request.find('\r')));
        EXPECT_TRUE(Client.Send(Request));
        const THttpReply Reply = Client.ReadReply();
        ExpectHello(Reply);
        EXPECT_EQ(Reply.Protocol, "HTTP/1.1");
        EXPECT_NE(Reply.Header("connection"), "close");
    }
}

TEST_F(THttpSysServerTest, HttpOneZeroGetsItsFraming) {
    struct TCase {
        const char* Name;
        const char* Connection; // Header line sent, "" for none.
        bool KeptOpen;
    };
    constexpr TCase Cases[] = {
        {"plain", "", false},
        {"keep-alive asked", "Connection: keep-alive\r\n", true},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        THttpTestClient Client(Port);
        ASSERT_TRUE(Client.Connected());
        const std::string Request =
            std::string("GET /vek/orbis/hello HTTP/1.0\r\n") + Case.Connection + "\r\n";
        EXPECT_TRUE(Client.Send(Request));
        const THttpReply Reply = Client.ReadReply();
        ExpectHello(Reply);
        EXPECT_FALSE(Reply.HasHeader("transfer-encoding"));
        if (Case.KeptOpen) {
            EXPECT_EQ(Reply.Header("connection"), "keep-alive");
            EXPECT_TRUE(Client.Send(Request));
            ExpectHello(Client.ReadReply());
        } else {
            EXPECT_EQ(Reply.Header("connection"), "close");
            EXPECT_TRUE(Client.WaitClosed());
        }
    }
}

TEST_F(THttpSysServerTest, HeadGetsTheHeadersOnly) {
    THttpTestClient Client(Port);
    EXPECT_TRUE(Client.Send("HEAD /vek/orbis/hello HTTP/1.1\r\nHost: h\r\n\r\n"));
    const THttpReply Head = Client.ReadReply(true);
    EXPECT_EQ(Head.Status, 200);
    EXPECT_EQ(Head.Header("content-length"), "13");
    EXPECT_EQ(Head.Header("content-type"), "text/plain");
    // Had any body byte been sent, it would stand in front of the next status line.
    EXPECT_TRUE(Client.Send(Get("/vek/orbis/hello")));
    ExpectHello(Client.ReadReply());
}

TEST_F(THttpSysServerTest, OutsideThePrefixesTheListenerAnswers404) {
    for (const char* Path : {"/", "/vek/orbis/hellox", "/vek/orbis", "/other/vek/orbis/hello"}) {
        SCOPED_TRACE(Path);
        THttpTestClient Client(Port);
        EXPECT_TRUE(Client.Send(Get(Path)));
        const THttpReply Reply = Client.ReadReply();
        EXPECT_EQ(Reply.Status, 404);
        EXPECT_NE(Reply.Body, Hello);
    }
}

TEST_F(THttpSysServerTest, AFailingModuleGetsTheDispatchers500) {
    THttpTestClient Client(Port);
    EXPECT_TRUE(Client.Send(Get("/boom/x")));
    const THttpReply Reply = Client.ReadReply();
    EXPECT_EQ(Reply.Status, 500);
    EXPECT_EQ(Reply.Body, "Exception Class: std::out_of_range \r\nMessage: no such thing");
    ASSERT_EQ(Log->Lines().size(), 1u);
    EXPECT_EQ(Log->Lines()[0], "Exception on process requesting. std::out_of_range: no such thing");
    EXPECT_TRUE(Client.Send(Get("/vek/orbis/hello")));
    ExpectHello(Client.ReadReply());
}

TEST_F(THttpSysServerTest, TheModuleSeesTheRequestAndItsHeadersGoOut) {
    const std::string Body(10000, 'q');
    const std::string Large(5000, 'L');
    THttpTestClient Client(Port);
    EXPECT_TRUE(Client.Send("POST /echo/a?b=c HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(Port) +
                            "\r\nX-Large: " + Large + "\r\nContent-Length: " +
                            std::to_string(Body.size()) + "\r\n\r\n" + Body));
    const THttpReply Reply = Client.ReadReply();
    EXPECT_EQ(Reply.Status, 200);
    EXPECT_EQ(Reply.Body,
              "method=POST\nurl=http://127.0.0.1:" + std::to_string(Port) +
                  "/echo/a?b=c\nprotocol=HTTP/1.1\nbody=10000\nip=127.0.0.1\nx-large=5000");
    EXPECT_EQ(Reply.Header("x-custom-name"), "custom");
    int Cookies = 0;
    for (const auto& [Name, Value] : Reply.Headers) {
        if (Name == "set-cookie") {
            EXPECT_EQ(Value, Cookies == 0 ? "a=1" : "b=2");
            ++Cookies;
        }
    }
    EXPECT_EQ(Cookies, 2);
}

TEST_F(THttpSysServerTest, AfterStopThePortIsClosedAndStopAgainDoesNothing) {
    {
        THttpTestClient Client(Port);
        EXPECT_TRUE(Client.Send(Get("/vek/orbis/hello")));
        ExpectHello(Client.ReadReply());
    }
    Server->Stop();
    EXPECT_FALSE(Server->IsRunning());
    EXPECT_FALSE(testsupport::PortAcceptsConnections(Port));
    Server->Stop();
    Server->Start(); // And it serves again.
    THttpTestClient Client(Port);
    EXPECT_TRUE(Client.Send(Get("/vek/orbis/hello")));
    ExpectHello(Client.ReadReply());
}

TEST_F(THttpSysServerTest, ASecondServerOnTheSamePrefixFailsAtStart) {
    THttpSysServer Second;
    Second.AddModule(std::make_unique<TGreetModule>("http://127.0.0.1:" + std::to_string(Port) +
                                                    "/vek/orbis/hello"));
    try {
        Second.Start();
        FAIL() << "no exception";
    } catch (const EHttpSysSessionException& E) {
        EXPECT_TRUE(std::string(E.what()).starts_with("Could not add the following Url"));
    }
    EXPECT_FALSE(Second.IsRunning());
    THttpTestClient Client(Port); // The first one is unharmed.
    EXPECT_TRUE(Client.Send(Get("/vek/orbis/hello")));
    ExpectHello(Client.ReadReply());
}

TEST(TCustomHttpSysServer, PrefixesFromTheModulesBaseUrls) {
    struct TCase {
        bool KeepHost;
        const char* Expected;
    };
    constexpr TCase Cases[] = {
        {false, "http://+:2001/vek/orbis/hello/"},
        {true, "http://127.0.0.1:2001/vek/orbis/hello/"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Expected);
        // A subclass that stops after the prefixes are made: nothing listens on port 2001.
        class TProbe : public THttpSysServer {
        public:
            void Probe() { BeforeStart(); }
        } Server;
        Server.SetKeepHostInUrlPrefixes(Case.KeepHost);
        Server.AddModule(std::make_unique<TGreetModule>("http://127.0.0.1:2001/vek/orbis/hello"));
        Server.Probe();
        ASSERT_EQ(Server.Session().UrlPrefixes().Count(), 1u);
        EXPECT_EQ(Server.Session().UrlPrefixes()[0], Case.Expected);
    }
}

TEST(TCustomHttpSysServer, StopOfAServerNeverStartedReturnsAtOnce) {
    THttpSysServer Server;
    EXPECT_FALSE(Server.IsRunning());
    Server.Stop();
    EXPECT_TRUE(Server.WaitMainThread()); // Signalled: no main thread runs.
}

/// Binds (or with Delete, unbinds) the certificate to every address on Port, as an
/// administrator binds one for an https port.
ULONG BindCertificate(std::uint16_t Port, const std::vector<std::uint8_t>& Hash, bool Delete) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    HTTP_SERVICE_CONFIG_SSL_SET Set{};
    Set.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&Address);
    Set.ParamDesc.SslHashLength = static_cast<ULONG>(Hash.size());
    Set.ParamDesc.pSslHash = const_cast<std::uint8_t*>(Hash.data());
    const THttpApiFunctions& Api = HttpApi();
    return Delete ? Api.HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                                       sizeof(Set), nullptr)
                  : Api.HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                                    sizeof(Set), nullptr);
}

// A request that came over TLS is a secure connection and its URLs say https (the platform
// left the record's TLS information empty, so the host took every request for plain HTTP).
TEST(THttpSysServerTls, ARequestOverHttpsIsSecureAndItsUrlSaysHttps) {
    testsupport::TTestCertificate Certificate;
    ASSERT_TRUE(Certificate.Valid());
    ASSERT_TRUE(LoadHttpApiLibrary());
    constexpr HTTPAPI_VERSION Version2 = HTTPAPI_VERSION_2;
    ASSERT_EQ(HttpApi().HttpInitialize(Version2, HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
    const std::uint16_t Port = testsupport::FreePort();
    const std::string Base = "127.0.0.1:" + std::to_string(Port);
    ASSERT_EQ(BindCertificate(Port, Certificate.Hash(), false), NO_ERROR);
    {
        THttpSysServer Server;
        Server.AddModule(std::make_unique<TSecureModule>("https://" + Base + "/sec"));
        Server.Start();
        ASSERT_TRUE(Server.IsRunning());
        struct TCase {
            const char* Target;
            const char* Url; // what the framework's request carries
        };
        const TCase Cases[] = {
            {"/sec", "/sec"},
            {"/sec/a/b?x=1&y=2", "/sec/a/b?x=1&y=2"},
        };
        for (const TCase& Case : Cases) {
            SCOPED_TRACE(Case.Target);
            const std::string Reply = testsupport::RunCommand("curl -sk --max-time 30 'https://" +
                                                              Base + Case.Target + "'");
            EXPECT_EQ(Reply, "secure=yes\nscheme=https\nurl=https://" + Base + Case.Url);
        }
        Server.Stop();
    }
    EXPECT_EQ(BindCertificate(Port, Certificate.Hash(), true), NO_ERROR);
    EXPECT_EQ(HttpApi().HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
}

} // namespace
} // namespace pylon
