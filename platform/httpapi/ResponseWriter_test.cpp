// ResponseWriter: framing decisions for the application's responses.
#include "platform/httpapi/ResponseWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

namespace httpapi {
namespace {

struct TFrameCase {
    const char* Name;
    USHORT Status;
    HTTP_VERB Verb;
    USHORT Minor;
    bool KeepAlive;
    ULONG Flags;
    bool Final;
    const char* Length; // the application's Content-Length, or nullptr
    const char* Expected;
    bool CloseAfter;
};

const TFrameCase FrameCases[] = {
    {.Name = "single send",
     .Status = 200,
     .Verb = HttpVerbGET,
     .Minor = 1,
     .KeepAlive = true,
     .Flags = 0,
     .Final = true,
     .Length = nullptr,
     .Expected = "HTTP/1.1 200 R\r\nServer: S\r\nDate: D\r\nContent-Length: 13\r\n\r\n",
     .CloseAfter = false},
    {.Name = "more data with length",
     .Status = 200,
     .Verb = HttpVerbGET,
     .Minor = 1,
     .KeepAlive = true,
     .Flags = HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
     .Final = false,
     .Length = "13",
     .Expected = "HTTP/1.1 200 R\r\nContent-Length: 13\r\nServer: S\r\nDate: D\r\n\r\n",
     .CloseAfter = false},
    {.Name = "more data without length",
     .Status = 200,
     .Verb = HttpVerbGET,
     .Minor = 1,
     .KeepAlive = true,
     .Flags = HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
     .Final = false,
     .Length = nullptr,
     .Expected = "HTTP/1.1 200 R\r\nServer: S\r\nDate: D\r\nConnection: close\r\n\r\n",
     .CloseAfter = true},
    {.Name = "disconnect",
     .Status = 200,
     .Verb = HttpVerbGET,
     .Minor = 1,
     .KeepAlive = true,
     .Flags = HTTP_SEND_RESPONSE_FLAG_DISCONNECT,
     .Final = true,
     .Length = nullptr,
     .Expected = "HTTP/1.1 200 R\r\nServer: S\r\nDate: D\r\nContent-Length: 13\r\nConnection: "
                 "close\r\n\r\n",
     .CloseAfter = true},
    {.Name = "http/1.0 keep-alive",
     .Status = 200,
     .Verb = HttpVerbGET,
     .Minor = 0,
     .KeepAlive = true,
     .Flags = 0,
     .Final = true,
     .Length = nullptr,
     .Expected = "HTTP/1.1 200 R\r\nServer: S\r\nDate: D\r\nContent-Length: 13\r\nConnection: "
                 "keep-alive\r\n\r\n",
     .CloseAfter = false},
    {.Name = "http/1.0 close",
     .Status = 200,
     .Verb = HttpVerbGET,
     .Minor = 0,
     .KeepAlive = false,
     .Flags = 0,
     .Final = true,
     .Length = nullptr,
     .Expected = "HTTP/1.1 200 R\r\nServer: S\r\nDate: D\r\nContent-Length: 13\r\nConnection: "
                 "close\r\n\r\n",
     .CloseAfter = true},
    {.Name = "head",
     .Status = 200,
     .Verb = HttpVerbHEAD,
     .Minor = 1,
     .KeepAlive = true,
     .Flags = 0,
     .Final = true,
     .Length = nullptr,
     .Expected = "HTTP/1.1 200 R\r\nServer: S\r\nDate: D\r\n\r\n",
     .CloseAfter = false},
    {.Name = "304",
     .Status = 304,
     .Verb = HttpVerbGET,
     .Minor = 1,
     .KeepAlive = true,
     .Flags = 0,
     .Final = true,
     .Length = nullptr,
     .Expected = "HTTP/1.1 304 R\r\nServer: S\r\nDate: D\r\n\r\n",
     .CloseAfter = false},
};

TEST(FormatResponseHead, FramingTable) {
    for (const TFrameCase& Case : FrameCases) {
        SCOPED_TRACE(Case.Name);
        HTTP_RESPONSE Response{};
        Response.StatusCode = Case.Status;
        Response.pReason = "R";
        Response.ReasonLength = 1;
        if (Case.Length != nullptr) {
            Response.Headers.KnownHeaders[HttpHeaderContentLength].pRawValue = Case.Length;
            Response.Headers.KnownHeaders[HttpHeaderContentLength].RawValueLength =
                static_cast<USHORT>(std::strlen(Case.Length));
        }
        // The application's Date is replaced by the listener's.
        Response.Headers.KnownHeaders[HttpHeaderDate].pRawValue = "yesteryear";
        Response.Headers.KnownHeaders[HttpHeaderDate].RawValueLength = 10;
        TRequestHead Request;
        Request.Verb = Case.Verb;
        Request.Minor = Case.Minor;
        Request.KeepAlive = Case.KeepAlive;
        TResponseHead Head;
        ASSERT_EQ(FormatResponseHead(Response, Case.Flags, Request, 13, Case.Final, Head),
                  NO_ERROR);
        std::string Text = std::regex_replace(Head.Text, std::regex("Server: [^\r]*"), "Server: S");
        Text = std::regex_replace(Text, std::regex("Date: [^\r]*"), "Date: D");
        EXPECT_EQ(Text, Case.Expected);
        EXPECT_EQ(Head.CloseAfter, Case.CloseAfter);
    }
}

TEST(FormatResponseHead, ServerValueComesFirstThenOurs) {
    HTTP_RESPONSE Response{};
    Response.StatusCode = 200;
    Response.Headers.KnownHeaders[HttpHeaderServer].pRawValue = "App/1";
    Response.Headers.KnownHeaders[HttpHeaderServer].RawValueLength = 5;
    TResponseHead Head;
    ASSERT_EQ(FormatResponseHead(Response, 0, TRequestHead{}, 0, true, Head), NO_ERROR);
    EXPECT_NE(Head.Text.find("Server: App/1 Linux-HTTPAPI/2.0\r\n"), std::string::npos);
}

TEST(FormatResponseHead, RefusesInjection) {
    struct TCase {
        const char* Name;
        USHORT Status;
        const char* Reason;
        const char* HeaderName;
        const char* HeaderValue;
    };
    const TCase Cases[] = {
        {"status 99", 99, "", "A", "b"},         {"status 1000", 1000, "", "A", "b"},
        {"CR in reason", 200, "a\rb", "A", "b"}, {"LF in value", 200, "", "A", "b\nc"},
        {"colon in name", 200, "", "A:B", "b"},  {"space in name", 200, "", "A B", "b"},
        {"empty name", 200, "", "", "b"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        HTTP_RESPONSE Response{};
        Response.StatusCode = Case.Status;
        Response.pReason = Case.Reason;
        Response.ReasonLength = static_cast<USHORT>(std::strlen(Case.Reason));
        HTTP_UNKNOWN_HEADER Header{static_cast<USHORT>(std::strlen(Case.HeaderName)),
                                   static_cast<USHORT>(std::strlen(Case.HeaderValue)),
                                   Case.HeaderName, Case.HeaderValue};
        Response.Headers.UnknownHeaderCount = 1;
        Response.Headers.pUnknownHeaders = &Header;
        TResponseHead Head;
        EXPECT_EQ(FormatResponseHead(Response, 0, TRequestHead{}, 0, true, Head),
                  ERROR_INVALID_PARAMETER);
    }
}

} // namespace
} // namespace httpapi
