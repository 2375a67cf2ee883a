// zefWebSocket_Helpers: the accept key and the request-inspection functions.
#include "websocket/core/zefWebSocket_Helpers.h"

#include "websocket/core/zefBase_Helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <openssl/sha.h>
#include <string>

using namespace zef;

TEST(GetWebSocketAccept, SampleOfRFC6455) {
    EXPECT_EQ(GetWebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(GetWebSocketAccept("").size(), 28u);
    // The key is used exactly as received.
    EXPECT_NE(GetWebSocketAccept(" dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(GetWebSocketAccept, MatchesTheReferenceDigestForEveryKeyLength) {
    // Key lengths around each block boundary of the hashed text (key plus the 36-byte GUID):
    // one block, the length field spilling into a second, and several blocks.
    for (std::size_t Length = 0; Length <= 200; ++Length) {
        SCOPED_TRACE(Length);
        std::string Key(Length, '\0');
        for (std::size_t I = 0; I < Length; ++I) {
            Key[I] = char(I * 37 + Length);
        }
        std::string Input = Key + std::string(WebSocketGuid);
        std::uint8_t Digest[SHA_DIGEST_LENGTH];
        SHA1(reinterpret_cast<const unsigned char*>(Input.data()), Input.size(), Digest);
        EXPECT_EQ(GetWebSocketAccept(Key), EncodeBase64(Digest));
    }
}

namespace {

rtl::TStringList Request(std::initializer_list<std::string> Lines) {
    return {Lines};
}

} // namespace

TEST(RequestInspection, UpgradeRequest) {
    auto Headers = Request(
        {"GET /ws/ HTTP/1.1", "Host: 127.0.0.1:2001", "upgrade: WebSocket", "Connection: Upgrade"});
    EXPECT_TRUE(IsHTTP1Request(Headers));
    EXPECT_TRUE(IsWebSocketUpgrade(Headers));
    EXPECT_EQ(GetRequestLine(Headers), "GET /ws/ HTTP/1.1");
    EXPECT_EQ(GetRequestDocument(Headers), "/ws/");
    EXPECT_EQ(GetDocumentName(GetRequestLine(Headers)), "");
    EXPECT_EQ(GetPostLine(Headers), "");
    auto Http2 = Request({"GET /ws/ HTTP/2.0", "Upgrade: websocket"});
    EXPECT_FALSE(IsWebSocketUpgrade(Http2));
    auto NoUpgrade = Request({"GET /ws/ HTTP/1.1", "Host: x"});
    EXPECT_FALSE(IsWebSocketUpgrade(NoUpgrade));
}

TEST(RequestInspection, EmptyRequestGivesNothing) {
    rtl::TStringList Empty;
    EXPECT_EQ(GetRequestLine(Empty), "");
    EXPECT_EQ(GetPostLine(Empty), "");
    EXPECT_EQ(GetRequestDocument(Empty), "");
    EXPECT_EQ(GetPostDocument(Empty), "");
    EXPECT_EQ(GetBasicCredentials(Empty), "");
    EXPECT_EQ(GetDocumentName(""), "");
    for (auto Test : {IsHTTP1Request, IsWebSocketUpgrade, IsAuthSessionRequest, IsAuthURLRequest,
                      IsAuthSessionUpgrade, HasBasicAuthorization, IsFlashPolicyRequest,
                      IsEventStreamRequest, IsXHRPost, IsProtocolPost}) {
        EXPECT_FALSE(Test(Empty));
    }
}

struct TLineCase {
    const char* Line;
    bool (*Test)(const rtl::TStringList&);
    bool Expected;
};

TEST(RequestInspection, FirstLineTests) {
    const TLineCase Cases[] = {
        {"GET /zef/req/auth/session/x HTTP/1.1", IsAuthSessionRequest, true},
        {"GET /zef/auth/url/u/p HTTP/1.1", IsAuthURLRequest, true},
        {"GET /zef/auth/session/id HTTP/1.1", IsAuthSessionUpgrade, true},
        {"GET /zef/auth/session/id HTTP/1.1", IsAuthSessionRequest, false},
        {"<policy-file-request/>", IsFlashPolicyRequest, true},
        {"<policy-file-request/> ", IsFlashPolicyRequest, false},
        {"POST /zef/xhr/abc HTTP/1.1", IsXHRPost, true},
        {"post /zef/XHR/abc HTTP/1.1", IsXHRPost, true},
        {"POST /zef/protocol/abc HTTP/1.1", IsProtocolPost, true},
        {"GET /zef/protocol/abc HTTP/1.1", IsProtocolPost, false},
    };
    for (const TLineCase& Case : Cases) {
        SCOPED_TRACE(Case.Line);
        EXPECT_EQ(Case.Test(Request({Case.Line})), Case.Expected);
    }
}

TEST(RequestInspection, Documents) {
    EXPECT_EQ(GetPostDocument(Request({"POST /zef/xhr/a?b=1 HTTP/1.1"})), "/zef/xhr/a?b=1");
    EXPECT_EQ(GetDocumentName("GET /ws/zefWebSockets.js HTTP/1.1"), "zefWebSockets.js");
    EXPECT_EQ(GetRequestDocument(Request({"GET /no-version"})), "");
}

TEST(RequestInspection, BasicCredentialsAndEventStream) {
    auto Headers =
        Request({"GET / HTTP/1.1",
                 "Authorization: Basic " +
                     EncodeBase64(std::vector<std::uint8_t>{'u', 's', 'e', 'r', ':', 'p', 'w'})});
    EXPECT_TRUE(HasBasicAuthorization(Headers));
    EXPECT_EQ(GetBasicCredentials(Headers), "user:pw");
    EXPECT_TRUE(IsEventStreamRequest(Request({"GET / HTTP/1.1", "accept: TEXT/event-stream"})));
    EXPECT_FALSE(IsEventStreamRequest(Request({"GET / HTTP/1.1", "Accept: text/html"})));
}

TEST(TextToBytes, OneBytePerCharacter) {
    EXPECT_EQ(TextToBytes(std::string_view("a\0b", 3)), (std::vector<std::uint8_t>{'a', 0, 'b'}));
}
