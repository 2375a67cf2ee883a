// HttpApi integration: the exported API on real loopback sockets, as applications use it.
#include "testing/HttpTestClient.h"
#include "testing/TestConfigStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <http.h>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;
using httpapi::testing::TTestConfigStore;

namespace {

constexpr HTTPAPI_VERSION Version2 = HTTPAPI_VERSION_2;

using THandler = std::function<void(HANDLE Queue, const HTTP_REQUEST& Request)>;

ULONG Reply(HANDLE Queue, HTTP_REQUEST_ID Id, USHORT Status, const std::string& Body,
            ULONG Flags = 0) {
    HTTP_RESPONSE Response{};
    Response.StatusCode = Status;
    Response.pReason = "OK";
    Response.ReasonLength = 2;
    HTTP_DATA_CHUNK Chunk{};
    Chunk.DataChunkType = HttpDataChunkFromMemory;
    Chunk.FromMemory.pBuffer = const_cast<char*>(Body.data());
    Chunk.FromMemory.BufferLength = static_cast<ULONG>(Body.size());
    Response.EntityChunkCount = Body.empty() ? 0 : 1;
    Response.pEntityChunks = Body.empty() ? nullptr : &Chunk;
    ULONG Sent = 0;
    return HttpSendHttpResponse(Queue, Id, Flags, &Response, nullptr, &Sent, nullptr, 0, nullptr,
                                nullptr);
}

std::string Path(const HTTP_REQUEST& Request) {
    std::wstring Wide(Request.CookedUrl.pAbsPath,
                      Request.CookedUrl.AbsPathLength / sizeof(wchar_t));
    return std::string(Wide.begin(), Wide.end());
}

// A server made the way applications make one: session, URL group, queue, binding, prefixes,
// and one receiving thread that hands each request to a handler.
class TApiServer {
public:
    TApiServer() {
        EXPECT_EQ(
            HttpInitialize(Version2, HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr),
            NO_ERROR);
        EXPECT_EQ(HttpCreateServerSession(Version2, &FSession, 0), NO_ERROR);
        EXPECT_EQ(HttpCreateUrlGroup(FSession, &FGroup, 0), NO_ERROR);
        EXPECT_EQ(HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &FQueue), NO_ERROR);
        Bind(true);
    }
    ~TApiServer() {
        EXPECT_EQ(HttpShutdownRequestQueue(FQueue), NO_ERROR);
        if (FThread.joinable()) {
            FThread.join();
        }
        EXPECT_EQ(HttpCloseRequestQueue(FQueue), NO_ERROR);
        EXPECT_EQ(HttpRemoveUrlFromUrlGroup(FGroup, nullptr, HTTP_URL_FLAG_REMOVE_ALL), NO_ERROR);
        EXPECT_EQ(HttpCloseUrlGroup(FGroup), NO_ERROR);
        EXPECT_EQ(HttpCloseServerSession(FSession), NO_ERROR);
        EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER | HTTP_INITIALIZE_CONFIG, nullptr),
                  NO_ERROR);
    }

    void Bind(bool Present) {
        HTTP_BINDING_INFO Binding{};
        Binding.Flags.Present = Present ? 1 : 0;
        Binding.RequestQueueHandle = Present ? FQueue : nullptr;
        EXPECT_EQ(
            HttpSetUrlGroupProperty(FGroup, HttpServerBindingProperty, &Binding, sizeof(Binding)),
            NO_ERROR);
    }

    /// Registers Host + a free port + PathPart; returns the port.
    std::uint16_t AddFreePrefix(const std::wstring& Host, const std::wstring& PathPart,
                                HTTP_URL_CONTEXT Context = 0) {
        for (int Attempt = 0; Attempt < 20; ++Attempt) {
            const std::uint16_t Port = FreePort();
            const std::wstring Url = L"http://" + Host + L":" + std::to_wstring(Port) + PathPart;
            const ULONG Result = HttpAddUrlToUrlGroup(FGroup, Url.c_str(), Context, 0);
            if (Result == NO_ERROR) {
                return Port;
            }
            if (Result != ERROR_SHARING_VIOLATION) {
                ADD_FAILURE() << "HttpAddUrlToUrlGroup: " << Result;
                return 0;
            }
        }
        ADD_FAILURE() << "no free port";
        return 0;
    }

    ULONG AddUrl(const std::wstring& Url, HTTP_URL_CONTEXT Context = 0) {
        return HttpAddUrlToUrlGroup(FGroup, Url.c_str(), Context, 0);
    }

    /// Receives on a thread until the queue shuts down, answering through Handler.
    void Serve(THandler Handler) {
        FThread = std::thread([this, Handler = std::move(Handler)] {
            std::vector<std::uint64_t> Buffer(2048); // 16 KiB, 8-byte aligned
            while (true) {
                ULONG Bytes = 0;
                auto* Request = reinterpret_cast<HTTP_REQUEST*>(Buffer.data());
                const ULONG Result =
                    HttpReceiveHttpRequest(FQueue, HTTP_NULL_ID, 0, Request,
                                           static_cast<ULONG>(Buffer.size() * 8), &Bytes, nullptr);
                if (Result != NO_ERROR) {
                    EXPECT_EQ(Result, ERROR_OPERATION_ABORTED);
                    return;
                }
                Handler(FQueue, *Request);
            }
        });
    }

    HANDLE Queue() const { return FQueue; }
    HTTP_URL_GROUP_ID Group() const { return FGroup; }
    HTTP_SERVER_SESSION_ID Session() const { return FSession; }

private:
    HTTP_SERVER_SESSION_ID FSession = 0;
    HTTP_URL_GROUP_ID FGroup = 0;
    HANDLE FQueue = nullptr;
    std::thread FThread;
};

// Answers every request with 200 and the cooked path plus the URL context.
void EchoPath(HANDLE Queue, const HTTP_REQUEST& Request) {
    Reply(Queue, Request.RequestId, 200, Path(Request) + "#" + std::to_string(Request.UrlContext));
}

std::string MaskDate(std::string Response) {
    return std::regex_replace(Response, std::regex("Date: [^\r]*\r\n"), "Date: *\r\n");
}

std::string Get(std::uint16_t Port, const std::string& Target, const std::string& Host) {
    THttpTestClient Client(Port);
    Client.Send("GET " + Target + " HTTP/1.1\r\nHost: " + Host + "\r\n\r\n");
    return Client.ReadResponse().value_or("");
}

} // namespace

// The classic synchronous sample server of the API's documentation, written against the API.
TEST(HttpApiSample, ServesTheDocumentedLoop) {
    ASSERT_EQ(HttpInitialize(Version2, HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
    HTTP_SERVER_SESSION_ID Session = HTTP_NULL_ID;
    ASSERT_EQ(HttpCreateServerSession(Version2, &Session, 0), NO_ERROR);
    HTTP_URL_GROUP_ID Group = HTTP_NULL_ID;
    ASSERT_EQ(HttpCreateUrlGroup(Session, &Group, 0), NO_ERROR);
    HANDLE Queue = nullptr;
    ASSERT_EQ(HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &Queue), NO_ERROR);
    HTTP_BINDING_INFO Binding{};
    Binding.Flags.Present = 1;
    Binding.RequestQueueHandle = Queue;
    ASSERT_EQ(HttpSetUrlGroupProperty(Group, HttpServerBindingProperty, &Binding, sizeof(Binding)),
              NO_ERROR);
    std::uint16_t Port = 0;
    for (int Attempt = 0; Attempt < 20 && Port == 0; ++Attempt) {
        const std::uint16_t Candidate = FreePort();
        const std::wstring Url = L"http://localhost:" + std::to_wstring(Candidate) + L"/sample/";
        if (HttpAddUrlToUrlGroup(Group, Url.c_str(), 0, 0) == NO_ERROR) {
            Port = Candidate;
        }
    }
    ASSERT_NE(Port, 0);

    std::thread Server([Queue] {
        // Receive with a small buffer, grow it on ERROR_MORE_DATA, answer each request.
        ULONG Size = sizeof(HTTP_REQUEST) + 64;
        std::vector<std::uint64_t> Storage(Size / 8 + 1);
        HTTP_REQUEST_ID Id = HTTP_NULL_ID;
        for (int Served = 0; Served < 2;) {
            auto* Request = reinterpret_cast<HTTP_REQUEST*>(Storage.data());
            ULONG Bytes = 0;
            const ULONG Result =
                HttpReceiveHttpRequest(Queue, Id, 0, Request, Size, &Bytes, nullptr);
            if (Result == ERROR_MORE_DATA) {
                Id = Request->RequestId;
                Size = Bytes;
                Storage.assign(Size / 8 + 1, 0);
                continue;
            }
            ASSERT_EQ(Result, NO_ERROR);
            Id = HTTP_NULL_ID;
            HTTP_RESPONSE Response{};
            Response.StatusCode = 200;
            Response.pReason = "OK";
            Response.ReasonLength = 2;
            Response.Headers.KnownHeaders[HttpHeaderContentType].pRawValue = "text/html";
            Response.Headers.KnownHeaders[HttpHeaderContentType].RawValueLength = 9;
            char Body[] = "Hey! You hit the server \r\n";
            HTTP_DATA_CHUNK Chunk{};
            Chunk.DataChunkType = HttpDataChunkFromMemory;
            Chunk.FromMemory.pBuffer = Body;
            Chunk.FromMemory.BufferLength = static_cast<ULONG>(strlen(Body));
            Response.EntityChunkCount = 1;
            Response.pEntityChunks = &Chunk;
            ULONG Sent = 0;
            ASSERT_EQ(HttpSendHttpResponse(Queue, Request->RequestId, 0, &Response, nullptr, &Sent,
                                           nullptr, 0, nullptr, nullptr),
                      NO_ERROR);
            ++Served;
        }
    });
    {
        THttpTestClient Client(Port);
        ASSERT_TRUE(Client.Send("GET /sample/page?x=1 HTTP/1.1\r\nHost: localhost:" +
                                std::to_string(Port) + "\r\nUser-Agent: test\r\n\r\n"));
        const auto Response = Client.ReadResponse();
        ASSERT_TRUE(Response);
        EXPECT_EQ(MaskDate(*Response), "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                                       "Server: Linux-HTTPAPI/2.0\r\nDate: *\r\n"
                                       "Content-Length: 26\r\n\r\nHey! You hit the server \r\n");
        // A request whose head is larger than the first buffer arrives after one retry.
        ASSERT_TRUE(Client.Send("GET /sample/ HTTP/1.1\r\nHost: localhost\r\nX-Big: " +
                                std::string(3000, 'b') + "\r\n\r\n"));
        EXPECT_EQ(ResponseStatus(Client.ReadResponse().value_or("")), 200);
    }
    Server.join();
    EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
    EXPECT_EQ(HttpCloseUrlGroup(Group), NO_ERROR);
    EXPECT_EQ(HttpCloseServerSession(Session), NO_ERROR);
    EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
}

TEST(HttpApiRequest, RecordIsSelfContained) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/rec/", 0xdeadbeef);
    std::mutex Lock;
    std::condition_variable Done;
    std::vector<std::uint64_t> Copy(2048);
    bool Have = false;
    Server.Serve([&](HANDLE Queue, const HTTP_REQUEST& Request) {
        {
            std::scoped_lock Guard(Lock);
            const auto& Record = Request;
            EXPECT_EQ(Record.UrlContext, 0xdeadbeefu);
            EXPECT_EQ(Record.Verb, HttpVerbUnknown);
            EXPECT_STREQ(Record.pUnknownVerb, "XYZZY");
            EXPECT_EQ(Record.UnknownVerbLength, 5);
            EXPECT_STREQ(Record.pRawUrl, "/rec/a%20b?q=1");
            EXPECT_EQ(std::wstring(Record.CookedUrl.pFullUrl),
                      L"http://localhost:" + std::to_wstring(Port) + L"/rec/a b?q=1");
            EXPECT_EQ(std::wstring(Record.CookedUrl.pQueryString), L"?q=1");
            EXPECT_EQ(Record.CookedUrl.AbsPathLength, 8 * sizeof(wchar_t));
            EXPECT_EQ(Record.Version.MajorVersion, 1);
            EXPECT_EQ(Record.Version.MinorVersion, 1);
            EXPECT_EQ(Record.Headers.UnknownHeaderCount, 1);
            EXPECT_EQ(std::string(Record.Headers.pUnknownHeaders[0].pName), "Qux");
            EXPECT_EQ(std::string(Record.Headers.pUnknownHeaders[0].pRawValue), "foo baz");
            EXPECT_EQ(std::string(Record.Headers.KnownHeaders[HttpHeaderAccept].pRawValue), "a, b");
            EXPECT_EQ(Record.Headers.KnownHeaders[HttpHeaderReferer].pRawValue, nullptr);
            EXPECT_EQ(Record.Address.pRemoteAddress->sa_family, AF_INET);
            EXPECT_EQ(Record.Address.pLocalAddress->sa_family, AF_INET);
            EXPECT_EQ(
                ntohs(reinterpret_cast<const sockaddr_in*>(Record.Address.pLocalAddress)->sin_port),
                Port);
            EXPECT_EQ(Record.Flags, 0u);
            EXPECT_NE(Record.ConnectionId, HTTP_NULL_ID);
            // Plain HTTP: no TLS information, no request information entries.
            EXPECT_EQ(Record.pSslInfo, nullptr);
            EXPECT_EQ(Record.RawConnectionId, HTTP_NULL_ID);
            EXPECT_EQ(Record.RequestInfoCount, 0);
            EXPECT_EQ(Record.pRequestInfo, nullptr);
            Have = true;
        }
        Done.notify_all();
        Reply(Queue, Request.RequestId, 200, "ok");
    });
    THttpTestClient Client(Port);
    Client.Send("XYZZY /rec/a%20b?q=1 HTTP/1.1\r\nHost: localhost:" + std::to_string(Port) +
                "\r\nQux: foo baz \r\nAccept: a\r\nAccept: b\r\n\r\n");
    EXPECT_EQ(ResponseStatus(Client.ReadResponse().value_or("")), 200);
    std::unique_lock Guard(Lock);
    EXPECT_TRUE(Done.wait_for(Guard, std::chrono::seconds(10), [&] { return Have; }));
}

TEST(HttpApiRouting, HostCategoriesAndLongestPath) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/a/", 1);
    const std::wstring Base = L":" + std::to_wstring(Port);
    ASSERT_EQ(Server.AddUrl(L"http://+" + Base + L"/a/b/", 2), NO_ERROR);
    ASSERT_EQ(Server.AddUrl(L"http://LocalHost" + Base + L"/", 3), NO_ERROR);
    ASSERT_EQ(Server.AddUrl(L"http://*" + Base + L"/", 4), NO_ERROR);
    ASSERT_EQ(Server.AddUrl(L"http://127.0.0.1" + Base + L"/ip/", 5), NO_ERROR);
    EXPECT_EQ(Server.AddUrl(L"http://+" + Base + L"/A/", 9), ERROR_ALREADY_EXISTS);
    Server.Serve(EchoPath);
    struct TCase {
        const char* Target;
        const char* Host;
        const char* Body;
    };
    const TCase Cases[] = {
        {"/a/x", "localhost", "/a/x#1"},     {"/a/b/c", "localhost", "/a/b/c#2"},
        {"/A/B", "other", "/A/B#2"},         {"/a", "x", "/a#1"},
        {"/other", "LOCALHOST", "/other#3"}, {"/other", "example.org", "/other#4"},
        {"/ip/x", "example.org", "/ip/x#5"}, {"/a/b/../c", "h", "/a/c#1"},
        {"/a/%62/", "h", "/a/b/#2"},         {"http://localhost/z", "ignored", "/z#3"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Target) + " @ " + Case.Host);
        const std::string Response = Get(Port, Case.Target, Case.Host);
        EXPECT_EQ(ResponseStatus(Response), 200);
        EXPECT_EQ(ResponseBody(Response), Case.Body);
    }
    // Removing the weak wildcard makes unknown hosts invalid and known hosts 404.
    ASSERT_EQ(HttpRemoveUrlFromUrlGroup(Server.Group(), (L"http://*" + Base + L"/").c_str(), 0),
              NO_ERROR);
    ASSERT_EQ(HttpRemoveUrlFromUrlGroup(Server.Group(), (L"http://+" + Base + L"/a/").c_str(), 0),
              NO_ERROR);
    ASSERT_EQ(HttpRemoveUrlFromUrlGroup(Server.Group(), (L"http://+" + Base + L"/a/b/").c_str(), 0),
              NO_ERROR);
    ASSERT_EQ(HttpRemoveUrlFromUrlGroup(Server.Group(),
                                        (L"http://127.0.0.1" + Base + L"/ip/").c_str(), 0),
              NO_ERROR);
    EXPECT_EQ(HttpRemoveUrlFromUrlGroup(Server.Group(), (L"http://+" + Base + L"/a/").c_str(), 0),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ResponseStatus(Get(Port, "/x", "localhost")), 200);
    EXPECT_EQ(ResponseStatus(Get(Port, "/x", "example.org")), 400);
}

TEST(HttpApiRegistration, PrefixErrors) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    struct TCase {
        std::wstring Url;
        ULONG Expected;
    };
    const std::wstring P = std::to_wstring(Port);
    const TCase Cases[] = {
        {L"http://localhost:" + P, ERROR_INVALID_PARAMETER},
        {L"localhost:" + P + L"/", ERROR_INVALID_PARAMETER},
        {L"http://localhost/", ERROR_INVALID_PARAMETER},
        {L"http://localhost:/", ERROR_INVALID_PARAMETER},
        {L"http://localhost:0/", ERROR_INVALID_PARAMETER},
        {L"HTTP://localhost:" + P + L"/", ERROR_INVALID_PARAMETER},
        {L"http://192.:" + P + L"/", ERROR_NOT_SUPPORTED},
        {L"http://+:" + P + L"/", ERROR_ALREADY_EXISTS},
        {L"http://192.0.2.1:" + P + L"/", ERROR_INVALID_NETNAME},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Url.begin(), Case.Url.end()));
        EXPECT_EQ(Server.AddUrl(Case.Url), Case.Expected);
    }
    EXPECT_EQ(HttpAddUrlToUrlGroup(Server.Group(), nullptr, 0, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(HttpAddUrlToUrlGroup(0xdead, L"http://+:1234/", 0, 0), ERROR_INVALID_PARAMETER);
    // A port another socket holds.
    const int Holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(Holder, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)), 0);
    ASSERT_EQ(listen(Holder, 1), 0);
    socklen_t Length = sizeof(Address);
    getsockname(Holder, reinterpret_cast<sockaddr*>(&Address), &Length);
    const std::wstring Held = L"http://+:" + std::to_wstring(ntohs(Address.sin_port)) + L"/";
    EXPECT_EQ(Server.AddUrl(Held), ERROR_SHARING_VIOLATION);
    close(Holder);
}

TEST(HttpApiObjects, IdsAndVersions) {
    HTTP_SERVER_SESSION_ID Session = 0;
    EXPECT_EQ(HttpCreateServerSession(Version2, &Session, 0), ERROR_DLL_INIT_FAILED);
    ASSERT_EQ(HttpInitialize(Version2, HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
    EXPECT_EQ(HttpCreateServerSession(HTTPAPI_VERSION{1, 1}, &Session, 0), ERROR_REVISION_MISMATCH);
    EXPECT_EQ(HttpCreateServerSession(HTTPAPI_VERSION{3, 0}, &Session, 0), ERROR_REVISION_MISMATCH);
    EXPECT_EQ(HttpCreateServerSession(Version2, nullptr, 0), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(HttpCreateServerSession(Version2, &Session, 0), NO_ERROR);
    HTTP_URL_GROUP_ID Group = 7;
    EXPECT_EQ(HttpCreateUrlGroup(0, &Group, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Group, 7u);
    ASSERT_EQ(HttpCreateUrlGroup(Session, &Group, 0), NO_ERROR);
    // Closing the session closes its groups.
    EXPECT_EQ(HttpCloseServerSession(Session), NO_ERROR);
    EXPECT_EQ(HttpCloseUrlGroup(Group), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(HttpCloseServerSession(0xdead), ERROR_INVALID_PARAMETER);
    HANDLE Queue = nullptr;
    EXPECT_EQ(HttpCreateRequestQueue(HTTPAPI_VERSION{1, 0}, nullptr, nullptr, 0, &Queue),
              ERROR_REVISION_MISMATCH);
    ASSERT_EQ(HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &Queue), NO_ERROR);
    EXPECT_EQ(CloseHandle(Queue), TRUE); // a queue is a real handle
    std::vector<std::uint64_t> Buffer(512);
    ULONG Bytes = 0;
    EXPECT_EQ(HttpReceiveHttpRequest(Queue, 0, 0, reinterpret_cast<HTTP_REQUEST*>(Buffer.data()),
                                     4096, &Bytes, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(HttpCloseRequestQueue(Queue), ERROR_INVALID_HANDLE);
    EXPECT_EQ(HttpReceiveHttpRequest(nullptr, 0, 0, reinterpret_cast<HTTP_REQUEST*>(Buffer.data()),
                                     4096, &Bytes, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
    EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr), ERROR_INVALID_PARAMETER);
}

// The listener's own answers, on the exact bytes, each followed by the connection closing.
struct TAnswerCase {
    const char* Name;
    std::string Request;
    int Status;
    const char* Heading; // the page's <h2>
    int Length;
};

TEST(HttpApiListenerAnswers, ExactBytesThenClose) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"localhost", L"/app/");
    Server.Serve(EchoPath);
    const std::string Host = "Host: localhost\r\n";
    const TAnswerCase Cases[] = {
        {"no spaces", "foo\r\n\r\n", 400, "Bad Request", 311},
        {"lower-case version", "GET /app/ http/1.1\r\n" + Host + "\r\n", 400, "Bad Request", 311},
        {"version 0.1", "GET /app/ HTTP/0.1\r\n" + Host + "\r\n", 400, "Bad Request", 311},
        {"version 1.1.1", "GET /app/ HTTP/1.1.1\r\n" + Host + "\r\n", 400, "Bad Request", 311},
        {"version 2.0", "GET /app/ HTTP/2.0\r\n" + Host + "\r\n", 505, "Version Not Supported", 0},
        {"no host", "GET /app/ HTTP/1.1\r\n\r\n", 400, "Bad Request", 311},
        {"empty host", "GET /app/ HTTP/1.1\r\nHost:\r\n\r\n", 400, "Bad Request", 311},
        {"two hosts", "GET /app/ HTTP/1.1\r\n" + Host + Host + "\r\n", 400, "Bad Request", 311},
        {"negative length", "POST /app/ HTTP/1.1\r\n" + Host + "Content-Length: -10\r\n\r\n", 400,
         "Bad Request", 311},
        {"absurd length",
         "POST /app/ HTTP/1.1\r\n" + Host + "Content-Length: 99999999999999999999999\r\n\r\n", 400,
         "Bad Request", 311},
        {"two lengths",
         "POST /app/ HTTP/1.1\r\n" + Host + "Content-Length: 1\r\nContent-Length: 1\r\n\r\nx", 400,
         "Bad Request", 311},
        {"length and chunked",
         "POST /app/ HTTP/1.1\r\n" + Host +
             "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         400, "Bad Request", 311},
        {"chunked and length",
         "POST /app/ HTTP/1.1\r\n" + Host +
             "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n0\r\n\r\n",
         400, "Bad Request", 311},
        {"garbage coding", "GET /app/ HTTP/1.1\r\n" + Host + "Transfer-Encoding: garbage\r\n\r\n",
         501, "Not Implemented", 0},
        {"chunked twice",
         "POST /app/ HTTP/1.1\r\n" + Host +
             "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n",
         501, "Not Implemented", 0},
        {"no colon", "GET /app/ HTTP/1.1\r\n" + Host + "NoColon\r\n\r\n", 400, "Bad Request", 311},
        {"empty name", "GET /app/ HTTP/1.1\r\n" + Host + ": x\r\n\r\n", 400, "Bad Request", 311},
        {"bare LF", "GET /app/ HTTP/1.1\n" + Host + "\r\n", 400, "Bad Request", 311},
        {"bare LF in header", "GET /app/ HTTP/1.1\r\nHost: localhost\n\r\n", 400, "Bad Request",
         311},
        {"folded header", "GET /app/ HTTP/1.1\r\n" + Host + "X: a\r\n b\r\n\r\n", 400,
         "Bad Request", 311},
        {"separator verb", "G(T /app/ HTTP/1.1\r\n" + Host + "\r\n", 400,
         "Bad Request - Invalid Verb", 326},
        {"post without length", "POST /app/ HTTP/1.1\r\n" + Host + "\r\n", 411, "Length Required",
         344},
        {"put without length", "PUT /app/ HTTP/1.1\r\n" + Host + "\r\n", 411, "Length Required",
         344},
        {"not under a prefix", "GET /other HTTP/1.1\r\n" + Host + "\r\n", 404, "Not Found", 315},
        {"leaves the prefix", "GET /app/../ HTTP/1.1\r\n" + Host + "\r\n", 404, "Not Found", 315},
        {"above the root", "GET /../x HTTP/1.1\r\n" + Host + "\r\n", 400,
         "Bad Request - Invalid URL", 324},
        {"bad escape", "GET /app/%zz HTTP/1.1\r\n" + Host + "\r\n", 400,
         "Bad Request - Invalid URL", 324},
        {"long segment", "GET /app/" + std::string(261, 's') + " HTTP/1.1\r\n" + Host + "\r\n", 400,
         "Bad Request - Invalid URL", 324},
        {"unknown host", "GET /app/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400,
         "Bad Request - Invalid Hostname", 334},
        {"bad host", "GET /app/ HTTP/1.1\r\nHost: a b\r\n\r\n", 400,
         "Bad Request - Invalid Hostname", 334},
        {"long URL", "GET /app/" + std::string(20000, 'u') + " HTTP/1.1\r\n" + Host + "\r\n", 414,
         "Request URL Too Long", 329},
        {"long header",
         "GET /app/ HTTP/1.1\r\n" + Host + "X: " + std::string(20000, 'h') + "\r\n\r\n", 400,
         "Bad Request - Header Field Too Long", 342},
        {"many headers",
         [&] {
             std::string Text = "GET /app/ HTTP/1.1\r\n" + Host;
             for (int I = 0; I < 300; ++I) {
                 Text += "X-" + std::to_string(I) + ": " + std::string(60, 'v') + "\r\n";
             }
             return Text + "\r\n";
         }(),
         400, "Bad Request - Request Too Long", 346},
    };
    for (const TAnswerCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        THttpTestClient Client(Port);
        ASSERT_TRUE(Client.Connected());
        Client.Send(Case.Request);
        const auto Response = Client.ReadResponse();
        ASSERT_TRUE(Response);
        EXPECT_EQ(ResponseStatus(*Response), Case.Status);
        EXPECT_NE(Response->find("<h2>" + std::string(Case.Heading) + "</h2>"), std::string::npos);
        EXPECT_EQ(ResponseHeader(*Response, "Connection"), "close");
        EXPECT_EQ(ResponseHeader(*Response, "Server"), "Linux-HTTPAPI/2.0");
        EXPECT_EQ(ResponseHeader(*Response, "Content-Type"), "text/html; charset=us-ascii");
        if (Case.Length != 0) {
            EXPECT_EQ(ResponseHeader(*Response, "Content-Length"), std::to_string(Case.Length));
        }
        EXPECT_EQ(Client.ReadToEnd(), ""); // and then the connection ends
    }
    // The exact bytes of one answer.
    THttpTestClient Client(Port);
    Client.Send("GET /nowhere HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(MaskDate(Client.ReadResponse().value_or("")),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/html; charset=us-ascii\r\n"
              "Server: Linux-HTTPAPI/2.0\r\nDate: *\r\nConnection: close\r\nContent-Length: 315\r\n"
              "\r\n<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\"\"http://www.w3.org/TR/html4/"
              "strict.dtd\">\r\n<HTML><HEAD><TITLE>Not Found</TITLE>\r\n<META HTTP-EQUIV="
              "\"Content-Type\" Content=\"text/html; charset=us-ascii\"></HEAD>\r\n<BODY><h2>Not "
              "Found</h2>\r\n<hr><p>HTTP Error 404. The requested resource is not found.</p>\r\n"
              "</BODY></HTML>\r\n");
}

TEST(HttpApiListenerAnswers, UnboundGroupGets503) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    Server.Bind(false);
    const std::string Response = Get(Port, "/", "x");
    EXPECT_EQ(ResponseStatus(Response), 503);
    EXPECT_EQ(ResponseHeader(Response, "Content-Length"), "326");
}

// A client that sends its request and then shuts down its sending side gets the whole answer,
// also when the answer is larger than the socket takes at once (what the socket had not taken
// was dropped when the connection closed at the client's end of input).
TEST(HttpApiConnection, AHalfClosedClientGetsTheWholeAnswer) {
    const std::size_t Sizes[] = {13, 64 * 1024, 8 * 1024 * 1024};
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/big/");
    std::string Body(Sizes[2], 'b');
    for (std::size_t I = 0; I < Body.size(); I += 4093) {
        Body[I] = static_cast<char>('a' + I % 26);
    }
    Server.Serve([&](HANDLE Queue, const HTTP_REQUEST& Request) {
        const std::size_t Size = std::stoul(Path(Request).substr(5));
        EXPECT_EQ(Reply(Queue, Request.RequestId, 200, Body.substr(0, Size)), NO_ERROR);
    });
    for (const std::size_t Size : Sizes) {
        SCOPED_TRACE(Size);
        THttpTestClient Client(Port);
        Client.Send("GET /big/" + std::to_string(Size) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        Client.ShutdownWrite();
        const std::string Response = Client.ReadResponse().value_or("");
        EXPECT_EQ(ResponseStatus(Response), 200);
        const std::string Got = ResponseBody(Response);
        EXPECT_EQ(Got.size(), Size);
        EXPECT_TRUE(Got == Body.substr(0, Size)) << "the body differs";
        EXPECT_EQ(Client.ReadToEnd().value_or("<no end>").size(), 0u); // and then the end
    }
}

TEST(HttpApiConnection, KeepAliveAndPipeliningInOrder) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    std::mutex Lock;
    std::vector<HTTP_CONNECTION_ID> Connections;
    Server.Serve([&](HANDLE Queue, const HTTP_REQUEST& Request) {
        {
            std::scoped_lock Guard(Lock);
            Connections.push_back(Request.ConnectionId);
        }
        EchoPath(Queue, Request);
    });
    THttpTestClient Client(Port);
    std::string Burst;
    for (int I = 0; I < 5; ++I) {
        Burst += "GET /r" + std::to_string(I) + " HTTP/1.1\r\nHost: h\r\n\r\n";
    }
    Client.Send(Burst);
    for (int I = 0; I < 5; ++I) {
        const auto Response = Client.ReadResponse();
        ASSERT_TRUE(Response);
        EXPECT_EQ(ResponseBody(*Response), "/r" + std::to_string(I) + "#0");
        EXPECT_FALSE(ResponseHeader(*Response, "Connection"));
    }
    // HTTP/1.0 closes unless asked to keep the connection.
    Client.Send("GET /last HTTP/1.0\r\n\r\n");
    const auto Last = Client.ReadResponse();
    ASSERT_TRUE(Last);
    EXPECT_EQ(ResponseHeader(*Last, "Connection"), "close");
    EXPECT_EQ(Client.ReadToEnd(), "");
    std::scoped_lock Guard(Lock);
    ASSERT_EQ(Connections.size(), 6u);
    for (const HTTP_CONNECTION_ID Id : Connections) {
        EXPECT_EQ(Id, Connections.front());
    }
}

// Reads the whole body with small reads, then echoes it.
void EchoBody(HANDLE Queue, const HTTP_REQUEST& Request) {
    std::string Body;
    char Buffer[3];
    while (true) {
        ULONG Read = 0;
        const ULONG Result = HttpReceiveRequestEntityBody(Queue, Request.RequestId, 0, Buffer,
                                                          sizeof(Buffer), &Read, nullptr);
        if (Result == ERROR_HANDLE_EOF) {
            break;
        }
        if (Result != NO_ERROR) {
            return; // the client left
        }
        Body.append(Buffer, Read);
    }
    Reply(Queue, Request.RequestId, 200, Body);
}

TEST(HttpApiBody, ChunkedAndLengthBodies) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    Server.Serve(EchoBody);
    struct TCase {
        const char* Name;
        std::string Request;
        const char* Body;
    };
    const TCase Cases[] = {
        {"length", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 11\r\n\r\nhello world",
         "hello world"},
        {"chunked",
         "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6;x=y\r\n "
         "world\r\n0\r\nTrailer: t\r\n\r\n",
         "hello world"},
        {"empty", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        for (const bool ByteByByte : {false, true}) {
            THttpTestClient Client(Port);
            if (ByteByByte) {
                for (const char C : Case.Request) {
                    Client.Send(std::string(1, C));
                }
            } else {
                Client.Send(Case.Request);
            }
            const auto Response = Client.ReadResponse();
            ASSERT_TRUE(Response);
            EXPECT_EQ(ResponseBody(*Response), Case.Body);
            // The connection stays usable after the body.
            Client.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
            EXPECT_EQ(ResponseStatus(Client.ReadResponse().value_or("")), 200);
        }
    }
}

TEST(HttpApiBody, ExpectContinueAnsweredOnFirstRead) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    Server.Serve(EchoBody);
    THttpTestClient Client(Port);
    Client.Send("PUT / HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
    EXPECT_EQ(Client.ReadExactly(25), "HTTP/1.1 100 Continue\r\n\r\n");
    Client.Send("data");
    EXPECT_EQ(ResponseBody(Client.ReadResponse().value_or("")), "data");
}

TEST(HttpApiBody, UnreadBodyIsDrainedBeforeTheNextRequest) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    Server.Serve(EchoPath);
    THttpTestClient Client(Port);
    Client.Send("POST /one HTTP/1.1\r\nHost: h\r\nContent-Length: 100000\r\n\r\n");
    EXPECT_EQ(ResponseBody(Client.ReadResponse().value_or("")), "/one#0");
    Client.Send(std::string(100000, 'x') + "GET /two HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(ResponseBody(Client.ReadResponse().value_or("")), "/two#0");
}

TEST(HttpApiReceive, MoreDataKeepsTheRequestForItsId) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    THttpTestClient Client(Port);
    Client.Send("GET /big HTTP/1.1\r\nHost: h\r\nX-Long: " + std::string(2000, 'l') + "\r\n\r\n");
    std::vector<std::uint64_t> Small(sizeof(HTTP_REQUEST_V1) / 8 + 1);
    ULONG Needed = 0;
    auto* Record = reinterpret_cast<HTTP_REQUEST*>(Small.data());
    EXPECT_EQ(HttpReceiveHttpRequest(Server.Queue(), 0, 0, Record, 16, &Needed, nullptr),
              ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(HttpReceiveHttpRequest(Server.Queue(), 0, 0, Record, sizeof(HTTP_REQUEST_V1), &Needed,
                                     nullptr),
              ERROR_MORE_DATA);
    const HTTP_REQUEST_ID Id = Record->RequestId;
    EXPECT_NE(Id, HTTP_NULL_ID);
    EXPECT_GT(Needed, 2000u);
    EXPECT_EQ(HttpReceiveHttpRequest(Server.Queue(), 0xdeadbeef, 0, Record, sizeof(HTTP_REQUEST_V1),
                                     &Needed, nullptr),
              ERROR_CONNECTION_INVALID);
    std::vector<std::uint64_t> Large(Needed / 8 + 1);
    auto* Full = reinterpret_cast<HTTP_REQUEST*>(Large.data());
    ULONG Bytes = 0;
    ASSERT_EQ(HttpReceiveHttpRequest(Server.Queue(), Id, 0, Full, Needed, &Bytes, nullptr),
              NO_ERROR);
    EXPECT_EQ(Full->RequestId, Id);
    EXPECT_EQ(Bytes, Needed);
    EXPECT_STREQ(Full->pRawUrl, "/big");
    EXPECT_EQ(Reply(Server.Queue(), Id, 200, "ok"), NO_ERROR);
    EXPECT_EQ(ResponseBody(Client.ReadResponse().value_or("")), "ok");
    // The request is finished: its id is stale now.
    EXPECT_EQ(Reply(Server.Queue(), Id, 200, "again"), ERROR_CONNECTION_INVALID);
    char Buffer[4];
    ULONG Read = 0;
    EXPECT_EQ(HttpReceiveRequestEntityBody(Server.Queue(), Id, 0, Buffer, 4, &Read, nullptr),
              ERROR_CONNECTION_INVALID);
}

TEST(HttpApiReceive, ShutdownAndCloseAbortABlockedReceiver) {
    for (const bool UseClose : {false, true}) {
        SCOPED_TRACE(UseClose ? "close" : "shutdown");
        ASSERT_EQ(HttpInitialize(Version2, HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
        HANDLE Queue = nullptr;
        ASSERT_EQ(HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &Queue), NO_ERROR);
        std::atomic<ULONG> Result{0};
        std::thread Receiver([&] {
            std::vector<std::uint64_t> Buffer(512);
            ULONG Bytes = 0;
            Result = HttpReceiveHttpRequest(
                Queue, 0, 0, reinterpret_cast<HTTP_REQUEST*>(Buffer.data()), 4096, &Bytes, nullptr);
        });
        if (UseClose) {
            EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
        } else {
            EXPECT_EQ(HttpShutdownRequestQueue(Queue), NO_ERROR);
        }
        Receiver.join();
        // Closed before the receiver got in, the handle is simply gone.
        if (UseClose) {
            EXPECT_TRUE(Result == ERROR_OPERATION_ABORTED || Result == ERROR_INVALID_HANDLE);
        } else {
            EXPECT_EQ(Result, ERROR_OPERATION_ABORTED);
            EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
        }
        EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
    }
}

TEST(HttpApiSend, FramingAndFlags) {
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    Server.Serve([](HANDLE Queue, const HTTP_REQUEST& Request) {
        const std::string Which = Path(Request);
        if (Which == "/pieces") {
            // Head with more data, two body pieces, an empty end: Content-Length from the app.
            HTTP_RESPONSE Response{};
            Response.StatusCode = 200;
            Response.Headers.KnownHeaders[HttpHeaderContentLength].pRawValue = "8";
            Response.Headers.KnownHeaders[HttpHeaderContentLength].RawValueLength = 1;
            HTTP_UNKNOWN_HEADER Extra{5, 3, "X-One", "yes"};
            Response.Headers.UnknownHeaderCount = 1;
            Response.Headers.pUnknownHeaders = &Extra;
            ULONG Sent = 0;
            EXPECT_EQ(HttpSendHttpResponse(Queue, Request.RequestId,
                                           HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &Response, nullptr,
                                           &Sent, nullptr, 0, nullptr, nullptr),
                      NO_ERROR);
            for (const char* Piece : {"pong", "pang"}) {
                HTTP_DATA_CHUNK Chunk{};
                Chunk.DataChunkType = HttpDataChunkFromMemory;
                Chunk.FromMemory.pBuffer = const_cast<char*>(Piece);
                Chunk.FromMemory.BufferLength = 4;
                EXPECT_EQ(HttpSendResponseEntityBody(Queue, Request.RequestId,
                                                     HTTP_SEND_RESPONSE_FLAG_MORE_DATA |
                                                         HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA,
                                                     1, &Chunk, &Sent, nullptr, 0, nullptr,
                                                     nullptr),
                          NO_ERROR);
                EXPECT_EQ(Sent, 4u);
            }
            EXPECT_EQ(HttpSendResponseEntityBody(Queue, Request.RequestId, 0, 0, nullptr, &Sent,
                                                 nullptr, 0, nullptr, nullptr),
                      NO_ERROR);
        } else if (Which == "/disconnect") {
            EXPECT_EQ(
                Reply(Queue, Request.RequestId, 200, "bye", HTTP_SEND_RESPONSE_FLAG_DISCONNECT),
                NO_ERROR);
        } else if (Which == "/inject") {
            HTTP_RESPONSE Response{};
            Response.StatusCode = 200;
            Response.pReason = "OK\r\nX: y";
            Response.ReasonLength = 8;
            EXPECT_EQ(HttpSendHttpResponse(Queue, Request.RequestId, 0, &Response, nullptr, nullptr,
                                           nullptr, 0, nullptr, nullptr),
                      ERROR_INVALID_PARAMETER);
            Reply(Queue, Request.RequestId, 500, "refused");
        } else if (Which == "/head") {
            Reply(Queue, Request.RequestId, 200, "not sent");
        } else {
            Reply(Queue, Request.RequestId, 204, "");
        }
    });
    THttpTestClient Client(Port);
    Client.Send("GET /pieces HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(MaskDate(Client.ReadResponse().value_or("")),
              "HTTP/1.1 200 \r\nContent-Length: 8\r\nX-One: yes\r\nServer: Linux-HTTPAPI/2.0\r\n"
              "Date: *\r\n\r\npongpang");
    Client.Send("GET /inject HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(ResponseStatus(Client.ReadResponse().value_or("")), 500);
    // HEAD gets no body and no invented length, 204 none either, and the disconnect flag ends
    // the connection after its answer.
    Client.Send("HEAD /head HTTP/1.1\r\nHost: h\r\n\r\nGET /nocontent HTTP/1.1\r\nHost: h\r\n\r\n"
                "GET /disconnect HTTP/1.1\r\nHost: h\r\n\r\n");
    const auto Rest = Client.ReadToEnd();
    ASSERT_TRUE(Rest);
    EXPECT_EQ(MaskDate(*Rest),
              "HTTP/1.1 200 OK\r\nServer: Linux-HTTPAPI/2.0\r\nDate: *\r\n\r\n"
              "HTTP/1.1 204 OK\r\nServer: Linux-HTTPAPI/2.0\r\nDate: *\r\n\r\n"
              "HTTP/1.1 200 OK\r\nServer: Linux-HTTPAPI/2.0\r\nDate: *\r\nContent-Length: 3\r\n"
              "Connection: close\r\n\r\nbye");
}

// A send's chunks go out in order whatever their number: the few that fit the call's own room
// and the many that do not, with the head and in an entity-body send after it.
TEST(HttpApiSend, ManyChunksInOrder) {
    const auto ChunkTexts = [](int Count) {
        std::vector<std::string> Texts;
        for (int I = 0; I < Count; ++I) {
            Texts.push_back("c" + std::to_string(I) + ";");
        }
        return Texts;
    };
    TApiServer Server;
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    Server.Serve([&](HANDLE Queue, const HTTP_REQUEST& Request) {
        // "/head/N": N chunks with the head; "/body/N": the head, then N chunks in one body send.
        const std::string Which = Path(Request);
        const bool WithHead = Which.starts_with("/head/");
        const std::vector<std::string> Texts = ChunkTexts(std::stoi(Which.substr(6)));
        std::vector<HTTP_DATA_CHUNK> Chunks(Texts.size());
        for (std::size_t I = 0; I < Texts.size(); ++I) {
            Chunks[I].DataChunkType = HttpDataChunkFromMemory;
            Chunks[I].FromMemory.pBuffer = const_cast<char*>(Texts[I].data());
            Chunks[I].FromMemory.BufferLength = static_cast<ULONG>(Texts[I].size());
        }
        HTTP_RESPONSE Response{};
        Response.StatusCode = 200;
        ULONG Sent = 0;
        if (WithHead) {
            Response.EntityChunkCount = static_cast<USHORT>(Chunks.size());
            Response.pEntityChunks = Chunks.empty() ? nullptr : Chunks.data();
            EXPECT_EQ(HttpSendHttpResponse(Queue, Request.RequestId, 0, &Response, nullptr, &Sent,
                                           nullptr, 0, nullptr, nullptr),
                      NO_ERROR);
            return;
        }
        // The length, so that the connection stays open for the next case.
        std::size_t Total = 0;
        for (const std::string& Text : Texts) {
            Total += Text.size();
        }
        const std::string Length = std::to_string(Total);
        Response.Headers.KnownHeaders[HttpHeaderContentLength].pRawValue = Length.c_str();
        Response.Headers.KnownHeaders[HttpHeaderContentLength].RawValueLength =
            static_cast<USHORT>(Length.size());
        EXPECT_EQ(HttpSendHttpResponse(Queue, Request.RequestId, HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                                       &Response, nullptr, &Sent, nullptr, 0, nullptr, nullptr),
                  NO_ERROR);
        EXPECT_EQ(HttpSendResponseEntityBody(Queue, Request.RequestId, 0,
                                             static_cast<USHORT>(Chunks.size()),
                                             Chunks.empty() ? nullptr : Chunks.data(), &Sent,
                                             nullptr, 0, nullptr, nullptr),
                  NO_ERROR);
    });
    THttpTestClient Client(Port);
    for (const char* Kind : {"head", "body"}) {
        for (const int Count : {0, 1, 4, 5, 7, 8, 9, 20, 100}) {
            SCOPED_TRACE(std::string(Kind) + " " + std::to_string(Count));
            Client.Send("GET /" + std::string(Kind) + "/" + std::to_string(Count) +
                        " HTTP/1.1\r\nHost: h\r\n\r\n");
            std::string Expected;
            for (const std::string& Text : ChunkTexts(Count)) {
                Expected += Text;
            }
            const std::string Response = Client.ReadResponse().value_or("");
            EXPECT_EQ(ResponseStatus(Response), 200);
            EXPECT_EQ(ResponseBody(Response), Expected);
        }
    }
}

TEST(HttpApiBadInput, SlowHeadersHitTheHeaderWait) {
    TTestConfigStore Store; // the API-wide time-out is written to a store of this test's own
    TApiServer Server;
    HTTP_SERVICE_CONFIG_TIMEOUT_SET Timeout{HeaderWaitTimeout, 1};
    ASSERT_EQ(HttpSetServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Timeout,
                                          sizeof(Timeout), nullptr),
              NO_ERROR);
    const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
    Server.Serve(EchoPath);
    THttpTestClient Client(Port);
    Client.Send("GET / HTTP/1.1\r\nHo");
    EXPECT_EQ(Client.ReadToEnd(), ""); // closed without an answer, well within the wait bound
    ASSERT_EQ(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Timeout,
                                             sizeof(Timeout), nullptr),
              NO_ERROR);
}

// After the first request, the URL group's (or session's) time-outs apply to the connection.
TEST(HttpApiTimeouts, SessionTimeoutsApplyFromTheSecondRequest) {
    struct TCase {
        const char* Name;
        bool OnGroup;
        std::string Second; // what the client sends after the first answer
    };
    const TCase Cases[] = {
        {"idle on the session", false, ""},
        {"header wait on the group", true, "GET / HTTP/1.1\r\nHo"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TApiServer Server;
        HTTP_TIMEOUT_LIMIT_INFO Timeouts{};
        Timeouts.Flags.Present = 1;
        Timeouts.IdleConnection = 1;
        Timeouts.HeaderWait = 1;
        if (Case.OnGroup) {
            ASSERT_EQ(HttpSetUrlGroupProperty(Server.Group(), HttpServerTimeoutsProperty, &Timeouts,
                                              sizeof(Timeouts)),
                      NO_ERROR);
        } else {
            ASSERT_EQ(HttpSetServerSessionProperty(Server.Session(), HttpServerTimeoutsProperty,
                                                   &Timeouts, sizeof(Timeouts)),
                      NO_ERROR);
        }
        const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
        Server.Serve(EchoPath);
        THttpTestClient Client(Port);
        Client.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
        EXPECT_EQ(ResponseBody(Client.ReadResponse().value_or("")), "/#0");
        Client.Send(Case.Second);
        EXPECT_EQ(Client.ReadToEnd(), ""); // closed by the listener, well within the wait bound
    }
}

TEST(HttpApiBadInput, ClientsVanishingAndAFullQueue) {
    const int Before = OpenDescriptorCount();
    {
        TApiServer Server;
        const std::uint16_t Port = Server.AddFreePrefix(L"+", L"/");
        ULONG Length = 1;
        ASSERT_EQ(HttpSetRequestQueueProperty(Server.Queue(), HttpServerQueueLengthProperty,
                                              &Length, sizeof(Length), 0, nullptr),
                  NO_ERROR);
        HTTP_503_RESPONSE_VERBOSITY Verbosity = Http503ResponseVerbosityLimited;
        ASSERT_EQ(HttpSetRequestQueueProperty(Server.Queue(), HttpServer503VerbosityProperty,
                                              &Verbosity, sizeof(Verbosity), 0, nullptr),
                  NO_ERROR);
        // Nobody receives yet: one request waits in the queue, the other finds it full. Which
        // is which depends on the reactors; the refused one is answered at once.
        THttpTestClient First(Port);
        First.Send("GET /first HTTP/1.1\r\nHost: h\r\n\r\n");
        THttpTestClient Second(Port);
        Second.Send("GET /first HTTP/1.1\r\nHost: h\r\n\r\n");
        THttpTestClient* Refused = nullptr;
        for (int Round = 0; Round < 100 && Refused == nullptr; ++Round) {
            Refused = First.Readable(50) ? &First : Second.Readable(50) ? &Second : nullptr;
        }
        ASSERT_NE(Refused, nullptr);
        EXPECT_EQ(ResponseStatus(Refused->ReadResponse().value_or("")), 503);
        THttpTestClient& Waiting = Refused == &First ? Second : First;
        Length = 1000; // room again for the clients below, however the threads interleave
        ASSERT_EQ(HttpSetRequestQueueProperty(Server.Queue(), HttpServerQueueLengthProperty,
                                              &Length, sizeof(Length), 0, nullptr),
                  NO_ERROR);
        // Clients that leave mid-request, mid-body, or with a reset.
        for (int I = 0; I < 10; ++I) {
            THttpTestClient Partial(Port);
            Partial.Send("GET /partial HTTP/1.1\r\nHost:");
            if (I % 2 == 0) {
                Partial.Reset();
            }
        }
        Server.Serve([](HANDLE Queue, const HTTP_REQUEST& Request) {
            const std::string Which = Path(Request);
            if (Which == "/huge") {
                // The client stops reading and leaves: the send fails instead of hanging.
                std::string Big(1 << 20, 'z');
                ULONG Result = NO_ERROR;
                for (int I = 0; I < 64 && Result == NO_ERROR; ++I) {
                    HTTP_DATA_CHUNK Chunk{};
                    Chunk.DataChunkType = HttpDataChunkFromMemory;
                    Chunk.FromMemory.pBuffer = Big.data();
                    Chunk.FromMemory.BufferLength = static_cast<ULONG>(Big.size());
                    if (I == 0) {
                        HTTP_RESPONSE Response{};
                        Response.StatusCode = 200;
                        Response.EntityChunkCount = 1;
                        Response.pEntityChunks = &Chunk;
                        Result = HttpSendHttpResponse(
                            Queue, Request.RequestId, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &Response,
                            nullptr, nullptr, nullptr, 0, nullptr, nullptr);
                    } else {
                        Result = HttpSendResponseEntityBody(
                            Queue, Request.RequestId, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, 1, &Chunk,
                            nullptr, nullptr, 0, nullptr, nullptr);
                    }
                }
                EXPECT_EQ(Result, ERROR_CONNECTION_INVALID);
                return;
            }
            if (Which == "/body") {
                EchoBody(Queue, Request);
                return;
            }
            EchoPath(Queue, Request);
        });
        EXPECT_EQ(ResponseBody(Waiting.ReadResponse().value_or("")), "/first#0");
        {
            THttpTestClient Leaver(Port);
            Leaver.Send("POST /body HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\nabc");
        }
        {
            THttpTestClient Leaver(Port);
            Leaver.Send("GET /huge HTTP/1.1\r\nHost: h\r\n\r\n");
            Leaver.ReadExactly(1000);
            Leaver.Reset();
        }
        // The server still serves.
        EXPECT_EQ(ResponseBody(Get(Port, "/after", "h")), "/after#0");
    }
    EXPECT_EQ(OpenDescriptorCount(), Before);
}

TEST(HttpApiServiceConfig, UrlReservations) {
    TTestConfigStore Store;
    ASSERT_EQ(HttpInitialize(HTTPAPI_VERSION HTTPAPI_VERSION_1, HTTP_INITIALIZE_CONFIG, nullptr),
              NO_ERROR);
    wchar_t Prefix[] = L"http://+:2001/vek/";
    wchar_t Sddl[] = L"D:(A;;GA;;;WD)";
    HTTP_SERVICE_CONFIG_URLACL_SET Set{};
    Set.KeyDesc.pUrlPrefix = Prefix;
    Set.ParamDesc.pStringSecurityDescriptor = Sddl;
    ASSERT_EQ(HttpSetServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set, sizeof(Set),
                                          nullptr),
              NO_ERROR);
    EXPECT_EQ(HttpSetServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set, sizeof(Set),
                                          nullptr),
              ERROR_ALREADY_EXISTS);
    HTTP_SERVICE_CONFIG_URLACL_QUERY Query{};
    Query.QueryDesc = HttpServiceConfigQueryExact;
    Query.KeyDesc.pUrlPrefix = Prefix;
    ULONG Needed = 0;
    EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Query,
                                            sizeof(Query), nullptr, 0, &Needed, nullptr),
              ERROR_INSUFFICIENT_BUFFER);
    std::vector<std::uint64_t> Output(Needed / 8 + 1);
    ASSERT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Query,
                                            sizeof(Query), Output.data(), Needed, &Needed, nullptr),
              NO_ERROR);
    const auto* Found = reinterpret_cast<HTTP_SERVICE_CONFIG_URLACL_SET*>(Output.data());
    EXPECT_EQ(std::wstring(Found->ParamDesc.pStringSecurityDescriptor), Sddl);
    Query.QueryDesc = HttpServiceConfigQueryNext;
    Query.dwToken = 1000;
    EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Query,
                                            sizeof(Query), Output.data(), Needed, &Needed, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set,
                                             sizeof(Set), nullptr),
              NO_ERROR);
    EXPECT_EQ(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set,
                                             sizeof(Set), nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
    EXPECT_EQ(HttpSetServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set, sizeof(Set),
                                          nullptr),
              ERROR_DLL_INIT_FAILED);
}
