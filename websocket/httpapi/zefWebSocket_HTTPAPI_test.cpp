// zefWebSocket_HTTPAPI tests: the response-record routines and the request-side helpers.
#include "websocket/httpapi/zefWebSocket_HTTPAPI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace zef {
namespace {

std::string Known(const HTTP_RESPONSE& aResponse, HTTP_HEADER_ID aId) {
    const HTTP_KNOWN_HEADER& Header = aResponse.Headers.KnownHeaders[aId];
    return Header.pRawValue == nullptr ? "<none>"
                                       : std::string(Header.pRawValue, Header.RawValueLength);
}

std::vector<std::string> Unknown(const HTTP_RESPONSE& aResponse) {
    std::vector<std::string> Lines;
    for (USHORT I = 0; I < aResponse.Headers.UnknownHeaderCount; ++I) {
        const HTTP_UNKNOWN_HEADER& Header = aResponse.Headers.pUnknownHeaders[I];
        Lines.push_back(std::string(Header.pName, Header.NameLength) + "=" +
                        std::string(Header.pRawValue, Header.RawValueLength));
    }
    return Lines;
}

TEST(ParseHeaders, KnownUnknownAndSkippedLines) {
    struct TCase {
        const char* Name;
        std::string Text;
        std::string Upgrade;
        std::string Server;
        std::vector<std::string> Unknown;
    };
    const TCase Cases[] = {
        {"upgrade answer",
         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: abc=\r\nServer: zef\r\n",
         "websocket",
         "zef",
         {"Connection=Upgrade", "Sec-WebSocket-Accept=abc="}},
        {"bare LF, empty lines, case and blanks",
         "\n\nupgrade:    WebSocket\n\nX-One:1\rX-Two:  two  \n",
         "WebSocket",
         "<none>",
         {"X-One=1", "X-Two=two  "}},
        {"lines without a colon and a value cut at a control character",
         "no colon here\r\nX-Tab: a\tb\r\n: empty name\r\n",
         "<none>",
         "<none>",
         {"X-Tab=a"}},
        {"nothing", "", "<none>", "<none>", {}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        HTTP_RESPONSE Response{};
        std::vector<HTTP_UNKNOWN_HEADER> Storage;
        ParseHeaders(Response, Case.Text, Storage);
        EXPECT_EQ(Known(Response, HttpHeaderUpgrade), Case.Upgrade);
        EXPECT_EQ(Known(Response, HttpHeaderServer), Case.Server);
        EXPECT_EQ(Known(Response, HttpHeaderConnection), "<none>");
        EXPECT_EQ(Unknown(Response), Case.Unknown);
    }
}

TEST(ParseHeaders, GrowsBeyondSixtyFourUnknownHeaders) {
    std::string Text;
    for (int I = 0; I < 100; ++I) {
        Text += "X-H" + std::to_string(I) + ": " + std::to_string(I) + "\r\n";
    }
    HTTP_RESPONSE Response{};
    std::vector<HTTP_UNKNOWN_HEADER> Storage;
    ParseHeaders(Response, Text, Storage);
    std::vector<std::string> Lines = Unknown(Response);
    ASSERT_EQ(Lines.size(), 100u);
    EXPECT_EQ(Lines[99], "X-H99=99");
}

TEST(StatusText, KnownCodesAndDigitsForOthers) {
    const std::pair<int, const char*> Cases[] = {
        {100, "Continue"},  {101, "Switching Protocols"}, {200, "OK"},  {302, "Moved Temporarily"},
        {404, "Not Found"}, {503, "Service Unavailable"}, {418, "418"}, {0, "0"},
    };
    for (const auto& [Code, Text] : Cases) {
        SCOPED_TRACE(Code);
        EXPECT_EQ(StatusText(Code), Text);
    }
}

TEST(SetContent, EmptyBodyLeavesNoEntityAndNoContentType) {
    struct TCase {
        const char* Name;
        std::string Body;
        USHORT Chunks;
        std::string ContentType;
    };
    const TCase Cases[] = {
        {"empty", "", 0, "<none>"},
        {"text", "hello", 1, "text/plain"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        HTTP_RESPONSE Response{};
        HTTP_DATA_CHUNK Chunk;
        std::string Type = "text/plain";
        SetContent(Response, Chunk, Case.Body, Type);
        EXPECT_EQ(Response.EntityChunkCount, Case.Chunks);
        EXPECT_EQ(Known(Response, HttpHeaderContentType), Case.ContentType);
        if (Case.Chunks == 1) {
            EXPECT_EQ(Chunk.FromMemory.BufferLength, Case.Body.size());
        }
    }
    HTTP_RESPONSE Response{};
    std::string Reason;
    SetStatus(Response, 418, Reason);
    EXPECT_EQ(Response.StatusCode, 418);
    EXPECT_EQ(std::string(Response.pReason, Response.ReasonLength), "418");
}

TEST(URLDecode, EscapesDecodedMalformedOnesKept) {
    const std::pair<const char*, const char*> Cases[] = {
        {"/a%20b", "/a b"}, {"%41%4a%4A", "AJJ"}, {"%", "%"}, {"%4", "%4"},
        {"%zz", "%zz"},     {"a+b", "a+b"},       {"", ""},   {"%e2%82%ac", "\xE2\x82\xAC"},
    };
    for (const auto& [Input, Expected] : Cases) {
        SCOPED_TRACE(Input);
        // Exact-size copy: a read past the end is caught by the sanitizer.
        std::size_t Length = std::strlen(Input);
        auto Copy = std::make_unique<char[]>(Length == 0 ? 1 : Length);
        std::memcpy(Copy.get(), Input, Length);
        EXPECT_EQ(URLDecode(std::string_view(Copy.get(), Length)), Expected);
    }
}

TEST(VerbName, PublishedNamesOnly) {
    EXPECT_EQ(VerbName(HttpVerbOPTIONS), "OPTIONS");
    EXPECT_EQ(VerbName(HttpVerbPOST), "POST");
    EXPECT_EQ(VerbName(HttpVerbSEARCH), "SEARCH");
    EXPECT_EQ(VerbName(HttpVerbUnknown), "");
    EXPECT_EQ(KnownRequestHeaderName(HttpHeaderUserAgent), "User-Agent");
    EXPECT_EQ(KnownRequestHeaderName(HttpHeaderRequestMaximum), "");
}

} // namespace
} // namespace zef
