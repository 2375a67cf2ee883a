// zefWebSocket_Classes_HTTPAPI tests: what a connection takes from its received request (peer
// and local addresses, the request's header lines).
#include "websocket/httpapi/zefWebSocket_Classes_HTTPAPI.h"

#include "websocket/httpapi/zefWebSocket_Server_HTTPAPI.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace zef {
namespace {

TEST(TzefWSConnection_HTTPAPI, AddressesOfTheRequest) {
    struct TCase {
        const char* Remote; // IPv4 or IPv6 literal.
        int RemotePort;
        const char* Local;
        const wchar_t* Url;
        int LocalPort;
    };
    const TCase Cases[] = {
        {"0.0.0.0", 0, "127.0.0.1", L"http://127.0.0.1:2001/ws/", 2001},
        {"9.10.99.100", 65535, "10.0.0.1", L"http://host/ws/", 4321},
        {"255.255.255.255", 1, "192.168.100.200", L"http://[::1]:80/", 80},
        {"100.20.3.0", 5000, "1.2.3.4", nullptr, 4321},
        {"::1", 443, "fe80::1", L"http://h:8080/x", 8080},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Remote);
        sockaddr_storage Remote{};
        sockaddr_storage Local{};
        auto Fill = [](sockaddr_storage& aAddress, const char* aText, int aPort) {
            auto* V4 = reinterpret_cast<sockaddr_in*>(&aAddress);
            auto* V6 = reinterpret_cast<sockaddr_in6*>(&aAddress);
            if (inet_pton(AF_INET, aText, &V4->sin_addr) == 1) {
                V4->sin_family = AF_INET;
                V4->sin_port = htons(std::uint16_t(aPort));
            } else {
                ASSERT_EQ(inet_pton(AF_INET6, aText, &V6->sin6_addr), 1);
                V6->sin6_family = AF_INET6;
                V6->sin6_port = htons(std::uint16_t(aPort));
            }
        };
        Fill(Remote, Case.Remote, Case.RemotePort);
        Fill(Local, Case.Local, 4321);
        HTTP_REQUEST Request{};
        Request.Address.pRemoteAddress = reinterpret_cast<PSOCKADDR>(&Remote);
        Request.Address.pLocalAddress = reinterpret_cast<PSOCKADDR>(&Local);
        if (Case.Url != nullptr) {
            Request.CookedUrl.pFullUrl = Case.Url;
            Request.CookedUrl.FullUrlLength = USHORT(std::wcslen(Case.Url) * sizeof(wchar_t));
        }
        TzefWSConnectionServer_HTTPAPI Connection; // The concrete class of the component.
        Connection.SetHTTPRequest(&Request);
        Connection.SetHTTPRequestId(7);
        EXPECT_EQ(Connection.IP(), Case.Remote);
        EXPECT_EQ(Connection.Port(), Case.RemotePort);
        EXPECT_EQ(Connection.LocalIP(), Case.Local);
        EXPECT_EQ(Connection.LocalPort(), Case.LocalPort);
        Connection.SetHTTPRequest(nullptr);
        Connection.SetHTTPRequestId(0);
    }
}

TEST(TzefWSConnection_HTTPAPI, HeaderLinesAreTheRequestLineAndTheSplitHeaderText) {
    HTTP_REQUEST Request{};
    Request.Verb = HttpVerbGET;
    const std::string Url = "/ws/?a=b";
    Request.pRawUrl = Url.c_str();
    Request.RawUrlLength = USHORT(Url.size());
    auto SetKnown = [&Request](HTTP_HEADER_ID aId, const char* aValue) {
        Request.Headers.KnownHeaders[aId].pRawValue = aValue;
        Request.Headers.KnownHeaders[aId].RawValueLength = USHORT(std::strlen(aValue));
    };
    SetKnown(HttpHeaderConnection, "Upgrade");
    SetKnown(HttpHeaderHost, "127.0.0.1:2001");
    SetKnown(HttpHeaderUpgrade, "websocket");
    SetKnown(HttpHeaderAccept, ""); // Empty known values are left out.
    // A value holding a line break goes on as a line of its own, as in the text form.
    SetKnown(HttpHeaderUserAgent, "first\r\nsecond");
    const char* Names[] = {"Sec-WebSocket-Key", "X-Empty", "X-Broken"};
    const char* Values[] = {"dGhlIHNhbXBsZSBub25jZQ==", "", "a\r\n"};
    HTTP_UNKNOWN_HEADER Unknown[3] = {};
    for (int I = 0; I < 3; ++I) {
        Unknown[I].pName = Names[I];
        Unknown[I].NameLength = USHORT(std::strlen(Names[I]));
        Unknown[I].pRawValue = Values[I];
        Unknown[I].RawValueLength = USHORT(std::strlen(Values[I]));
    }
    Request.Headers.UnknownHeaderCount = 3;
    Request.Headers.pUnknownHeaders = Unknown;

    TzefWSConnectionServer_HTTPAPI Connection;
    Connection.SetHTTPRequest(&Request);
    Connection.DoReadHeaders();
    std::vector<std::string> Lines(Connection.HeadersRequest().begin(),
                                   Connection.HeadersRequest().end());
    std::vector<std::string> Expected = {"GET /ws/?a=b HTTP/1.1"};
    const std::string Text = TzefWSConnection_HTTPAPI::BuildHeaders(Request);
    for (std::size_t At = 0; At < Text.size();) {
        std::size_t End = Text.find("\r\n", At);
        Expected.push_back(Text.substr(At, End - At));
        At = End + 2;
    }
    EXPECT_EQ(Lines, Expected);
    EXPECT_EQ(Lines,
              (std::vector<std::string>{
                  "GET /ws/?a=b HTTP/1.1", "Connection: Upgrade", "Upgrade: websocket",
                  "Host: 127.0.0.1:2001", "User-Agent: first", "second",
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "X-Empty: ", "X-Broken: a", ""}));
    Connection.SetHTTPRequest(nullptr);
}

TEST(TzefWSConnection_HTTPAPI, ObjectsBeyondTheBlockCacheComeAndGo) {
    // Past the cache's size blocks go back to the allocator; blocks of another size never
    // enter it. Objects made from cached blocks are whole new objects.
    const int Before = TzefWSConnection_HTTPAPI::InstanceCount();
    const std::size_t Count = TzefWSConnection_HTTPAPI::ConnectionCacheSize + 10;
    for (int Round = 0; Round < 2; ++Round) {
        SCOPED_TRACE(Round);
        std::vector<std::unique_ptr<TzefWSConnection>> Connections;
        for (std::size_t I = 0; I < Count; ++I) {
            auto Connection = std::make_unique<TzefWSConnectionServer_HTTPAPI>();
            ASSERT_EQ(Connection->HTTPRequestId(), 0u);
            ASSERT_FALSE(Connection->Enabled());
            Connection->SetEnabled(true);
            Connections.push_back(std::move(Connection));
        }
        EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), Before + int(Count));
    }
    EXPECT_EQ(TzefWSConnection_HTTPAPI::InstanceCount(), Before);
}

} // namespace
} // namespace zef
