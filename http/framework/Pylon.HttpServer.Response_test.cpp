// Pylon.HttpServer.Response: framing rules checked on the exact bytes handed to the host.
#include "http/framework/Pylon.HttpServer.Response.h"
#include "testing/PylonTestHost.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace pylon {
namespace {

using testing::TTestHttpResponse;
using testing::TWireCall;

std::string Repeat(char C, std::size_t Count) {
    return std::string(Count, C);
}

void Write(THttpServerResponse& Response, std::string_view Bytes) {
    Response.Content().WriteAll(Bytes);
}

std::vector<TWireCall> CallKinds(const TTestHttpResponse& Response) {
    std::vector<TWireCall> Result;
    for (const auto& Record : Response.Calls) {
        Result.push_back(Record.Call);
    }
    return Result;
}

constexpr auto R = TWireCall::SendResponse;
constexpr auto B = TWireCall::SendBody;
constexpr auto E = TWireCall::EndResponse;

TEST(THttpServerResponse, NewResponseDefaults) {
    TTestHttpResponse Response;
    EXPECT_EQ(Response.StatusCode(), 0);
    EXPECT_EQ(Response.StatusReason(), "");
    EXPECT_EQ(Response.ContentLength(), -1);
    EXPECT_FALSE(Response.Chunked());
    EXPECT_FALSE(Response.HeadersSent());
    EXPECT_FALSE(Response.Closed());
    EXPECT_EQ(Response.Protocol(), "HTTP/1.1");
    EXPECT_EQ(Response.MinChunkSize(), 16384);
    EXPECT_TRUE(Response.KeepAliveSetting());
    Response.SetStatusCode(404);
    EXPECT_EQ(Response.StatusReason(), "Not Found");
    Response.SetStatusReason("Gone Fishing");
    EXPECT_EQ(Response.StatusReason(), "Gone Fishing");
    Response.SetStatusCode(299);
    EXPECT_EQ(Response.StatusReason(), "");
    Response.SetContentType("text/plain");
    Response.SetContentEncoding("gzip");
    EXPECT_EQ(Response.Headers().Get("content-type"), "text/plain");
    EXPECT_EQ(Response.ContentEncoding(), "gzip");
}

struct TFramingCase {
    const char* Name;
    std::function<void(TTestHttpResponse&)> Run;
    std::string ExpectedWire;
    std::vector<TWireCall> ExpectedCalls;
    bool ExpectedKeepAlive;
};

std::vector<TFramingCase> FramingCases() {
    const std::string Chunk20000 = "4E20\r\n" + Repeat('y', 20000) + "\r\n";
    return {
        {"close untouched",
         [](TTestHttpResponse& Response) { Response.Close(); },
         "HTTP/1.1 0 \r\ncontent-length: 0\r\n\r\n",
         {R},
         true},
        {"close with 13 bytes",
         [](TTestHttpResponse& Response) {
             Response.SetStatusCode(200);
             Response.SetContentType("text/plain");
             Response.Close("Hello, World!");
         },
         "HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\ncontent-length: 13\r\n\r\nHello, World!",
         {R, B, E},
         true},
        {"ten bytes are chunked and cached until close",
         [](TTestHttpResponse& Response) {
             Write(Response, "0123456789");
             EXPECT_EQ(Response.Calls.size(), 1u);
             Response.Close();
         },
         "HTTP/1.1 0 \r\ntransfer-encoding: chunked\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n",
         {R, B, B, E},
         true},
        {"one write of 20000 bytes is one chunk at once",
         [](TTestHttpResponse& Response) {
             Write(Response, Repeat('y', 20000));
             EXPECT_EQ(Response.Count(TWireCall::SendBody), 1u);
             Response.Close();
         },
         "HTTP/1.1 0 \r\ntransfer-encoding: chunked\r\n\r\n" + Chunk20000 + "0\r\n\r\n",
         {R, B, B, E},
         true},
        {"cache sent when it reaches MinChunkSize",
         [](TTestHttpResponse& Response) {
             Response.SetMinChunkSize(8);
             Write(Response, "1234567"); // 7 < 8: cached
             EXPECT_EQ(Response.Count(TWireCall::SendBody), 0u);
             Write(Response, "8"); // 8: sent with the cache
             EXPECT_EQ(Response.Count(TWireCall::SendBody), 1u);
             Write(Response, "ab");
             Response.Close();
         },
         "HTTP/1.1 0 \r\ntransfer-encoding: chunked\r\n\r\n8\r\n12345678\r\n2\r\nab\r\n0\r\n\r\n",
         {R, B, B, B, E},
         true},
        {"HTTP/1.0 without length closes the connection",
         [](TTestHttpResponse& Response) {
             Response.SetProtocol("HTTP/1.0");
             Write(Response, "abc");
             Response.Close();
         },
         "HTTP/1.0 0 \r\nconnection: close\r\n\r\nabc",
         {R, B, E},
         false},
        {"HTTP/1.0 with length keeps alive",
         [](TTestHttpResponse& Response) {
             Response.SetProtocol("HTTP/1.0");
             Response.Close("abc");
         },
         "HTTP/1.0 0 \r\ncontent-length: 3\r\nconnection: keep-alive\r\n\r\nabc",
         {R, B, E},
         true},
        {"keep-alive off on HTTP/1.1 adds connection close",
         [](TTestHttpResponse& Response) {
             Response.SetKeepAliveSetting(false);
             Response.Close("x");
         },
         "HTTP/1.1 0 \r\ncontent-length: 1\r\nconnection: close\r\n\r\nx",
         {R, B, E},
         false},
        {"unknown protocol chunks",
         [](TTestHttpResponse& Response) {
             Response.SetProtocol("HTTP/2");
             Write(Response, "a");
             Response.Close();
         },
         "HTTP/2 0 \r\ntransfer-encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
         {R, B, B, E},
         true},
        {"explicit chunked close without body",
         [](TTestHttpResponse& Response) {
             Response.SetChunked(true);
             Response.Close();
         },
         "HTTP/1.1 0 \r\ntransfer-encoding: chunked\r\n\r\n0\r\n\r\n",
         {R, B, E},
         true},
        {"length and chunked never go out together",
         [](TTestHttpResponse& Response) {
             Response.SetChunked(true);
             EXPECT_FALSE(Response.Headers().Exists("content-length"));
             Response.SetContentLength(3);
             EXPECT_TRUE(Response.Headers().Exists("transfer-encoding"));
             EXPECT_TRUE(Response.Headers().Exists("content-length"));
             Response.Close("abc");
         },
         "HTTP/1.1 0 \r\ntransfer-encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         {R, B, B, E},
         true},
        {"setters ignored after the headers are sent",
         [](TTestHttpResponse& Response) {
             Response.SetContentLength(2);
             Write(Response, "a");
             Response.SetContentLength(50);
             Response.SetChunked(true);
             EXPECT_EQ(Response.ContentLength(), 2);
             EXPECT_FALSE(Response.Chunked());
             Write(Response, "b");
             Response.Close();
         },
         "HTTP/1.1 0 \r\ncontent-length: 2\r\n\r\nab",
         {R, B, B, E},
         true},
        {"host taking one byte per call",
         [](TTestHttpResponse& Response) {
             Response.MaxTakePerCall = 1;
             Response.Close("abc");
         },
         "HTTP/1.1 0 \r\ncontent-length: 3\r\n\r\nabc",
         {R, B, B, B, E},
         true},
        {"HEAD sends headers only and the host completes them",
         [](TTestHttpResponse& Response) {
             Response.SetSuppressBody(true);
             Response.Close("Hello, World!");
         },
         "HTTP/1.1 0 \r\ncontent-length: 13\r\n\r\n",
         {R},
         true},
        {"HEAD with a chunked body",
         [](TTestHttpResponse& Response) {
             Response.SetSuppressBody(true);
             Write(Response, Repeat('z', 20000));
             Response.Close();
         },
         "HTTP/1.1 0 \r\ntransfer-encoding: chunked\r\n\r\n",
         {R},
         true},
        {"close twice and writing after close send nothing more",
         [](TTestHttpResponse& Response) {
             Write(Response, "a");
             Response.Close();
             Response.Close();
             Response.Close("more");
             EXPECT_EQ(Response.Content().Write("x", 1), 0);
             EXPECT_EQ(Response.RawWriter()->Stream().Write("x", 1), 0);
             Response.Abort();
         },
         "HTTP/1.1 0 \r\ntransfer-encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
         {R, B, B, E},
         true},
        {"short body turns keep-alive off",
         [](TTestHttpResponse& Response) {
             Response.SetContentLength(5);
             Write(Response, "ab");
             Response.Close();
         },
         "HTTP/1.1 0 \r\ncontent-length: 5\r\n\r\nab",
         {R, B, E},
         false},
        {"abort leaves out the closing chunk",
         [](TTestHttpResponse& Response) {
             Response.SetMinChunkSize(1);
             Write(Response, "ab");
             Write(Response, "cd");
             Response.Abort();
             EXPECT_TRUE(Response.Closed());
         },
         "HTTP/1.1 0 \r\ntransfer-encoding: chunked\r\n\r\n2\r\nab\r\n2\r\ncd\r\n",
         {R, B, B, E},
         false},
        {"abort before the headers is close",
         [](TTestHttpResponse& Response) { Response.Abort(); },
         "HTTP/1.1 0 \r\ncontent-length: 0\r\n\r\n",
         {R},
         true},
        {"raw writer sends headers on first raw write",
         [](TTestHttpResponse& Response) {
             Response.SetContentLength(2);
             Response.RawWriter()->Stream().WriteAll("hi");
             Response.Close();
         },
         "HTTP/1.1 0 \r\ncontent-length: 2\r\n\r\nhi",
         {R, B, E},
         true},
    };
}

TEST(THttpServerResponse, Framing) {
    for (const TFramingCase& Case : FramingCases()) {
        SCOPED_TRACE(Case.Name);
        TTestHttpResponse Response;
        Case.Run(Response);
        EXPECT_TRUE(Response.Closed());
        EXPECT_TRUE(Response.HeadersSent());
        EXPECT_EQ(Response.Wire(), Case.ExpectedWire);
        EXPECT_EQ(CallKinds(Response), Case.ExpectedCalls);
        EXPECT_EQ(Response.KeepAliveSetting(), Case.ExpectedKeepAlive);
        EXPECT_TRUE(Response.Completed());
        EXPECT_EQ(Response.Violations, std::vector<std::string>());
    }
}

TEST(THttpServerResponse, ChunkedBodySplitAtEveryOffsetGivesTheSameBody) {
    const std::string Body = "The quick brown fox jumps over the lazy dog";
    for (int MinChunk : {1, 5, 16384}) {
        for (std::size_t Split = 0; Split <= Body.size(); ++Split) {
            SCOPED_TRACE(std::to_string(MinChunk) + "/" + std::to_string(Split));
            TTestHttpResponse Response;
            Response.SetMinChunkSize(MinChunk);
            Write(Response, std::string_view(Body).substr(0, Split));
            Write(Response, std::string_view(Body).substr(Split));
            Response.Close();
            // Undo the chunk framing and compare.
            std::string Wire = Response.Body();
            std::string Decoded;
            std::size_t Pos = 0;
            while (true) {
                const std::size_t LineEnd = Wire.find("\r\n", Pos);
                ASSERT_NE(LineEnd, std::string::npos);
                const std::size_t Size = std::stoul(Wire.substr(Pos, LineEnd - Pos), nullptr, 16);
                Pos = LineEnd + 2;
                if (Size == 0) {
                    EXPECT_EQ(Wire.substr(Pos), "\r\n");
                    break;
                }
                Decoded += Wire.substr(Pos, Size);
                EXPECT_EQ(Wire.substr(Pos + Size, 2), "\r\n");
                Pos += Size + 2;
            }
            EXPECT_EQ(Decoded, Body);
            EXPECT_EQ(Response.Violations, std::vector<std::string>());
        }
    }
}

TEST(THttpServerResponse, OnHeadersHandlersRunNewestFirstBeforeTheFramingDecision) {
    TTestHttpResponse Response;
    std::string Order;
    Response.OnHeaders([&](THttpServerResponse&) { Order += "A"; });
    Response.OnHeaders([&](THttpServerResponse& R) {
        Order += "B";
        R.SetContentLength(3);
        R.SetStatusCode(201);
    });
    Write(Response, "abc");
    Response.Close();
    EXPECT_EQ(Order, "BA");
    EXPECT_EQ(Response.Wire(), "HTTP/1.1 201 Created\r\ncontent-length: 3\r\n\r\nabc");
}

TEST(THttpServerResponse, FailedSendResponseLeavesHeadersUnsentAndRerunsTheHandlers) {
    TTestHttpResponse Response;
    int Runs = 0;
    Response.OnHeaders([&](THttpServerResponse&) { ++Runs; });
    Response.FailOnCall = 0;
    EXPECT_THROW(Response.Close("abc"), testing::ETestHostFailure);
    EXPECT_FALSE(Response.HeadersSent());
    EXPECT_FALSE(Response.Closed());
    Response.Close("abc");
    EXPECT_EQ(Runs, 2);
    EXPECT_EQ(Response.Wire(), "HTTP/1.1 0 \r\ncontent-length: 3\r\n\r\nabc");
}

TEST(THttpServerResponse, ABodyWriteInsideAHeaderHandlerIsRefused) {
    TTestHttpResponse Response;
    Response.OnHeaders([](THttpServerResponse& R) { R.Content().Write("x", 1); });
    EXPECT_THROW(Response.Close("abc"), EHttpResponseError);
    EXPECT_FALSE(Response.HeadersSent());
}

TEST(THttpServerResponse, BodyBeyondContentLengthIsRefused) {
    TTestHttpResponse Response;
    Response.SetContentLength(2);
    try {
        Write(Response, "abc");
        FAIL() << "no exception";
    } catch (const EHttpResponseError& Error) {
        EXPECT_STREQ(Error.what(), "Response body exceeds its content-length of 2 bytes.");
    }
    EXPECT_EQ(Response.Body(), "");
    TTestHttpResponse Empty;
    Empty.SetContentLength(0);
    EXPECT_THROW(Write(Empty, "a"), EHttpResponseError);
    Empty.Close();
    EXPECT_EQ(CallKinds(Empty), std::vector<TWireCall>{R}); // the host completed it already
    EXPECT_EQ(Empty.Violations, std::vector<std::string>());
}

TEST(THttpServerResponse, HostThatStopsTakingBytesIsAWriteError) {
    TTestHttpResponse Response;
    Response.TakeLimit = 5;
    Response.MaxTakePerCall = 2;
    EXPECT_THROW(Response.Close("Hello, World!"), rtl::EWriteError);
    EXPECT_EQ(Response.Body(), "Hello");
    EXPECT_FALSE(Response.Closed());
    // The raw stream itself reports the smaller count without an error.
    TTestHttpResponse Raw;
    Raw.TakeLimit = 2;
    Raw.SetContentLength(4);
    EXPECT_EQ(Raw.Content().Write("abcd", 4), 2);
    Raw.Close();
    EXPECT_FALSE(Raw.KeepAliveSetting());
}

// Collects the body itself instead of passing it to the host.
class TCollectingWriter : public IHttpResponseBodyWriter {
public:
    rtl::TStream& Stream() override { return FStream; }
    void Flush() override { ++Flushes; }
    int Flushes = 0;
    rtl::TMemoryStream FStream;
};

TEST(THttpServerResponse, ReplacedRawWriterReceivesTheBody) {
    TTestHttpResponse Response;
    auto Writer = std::make_shared<TCollectingWriter>();
    Response.SetRawWriter(Writer);
    Response.Close("abc");
    EXPECT_EQ(Writer->FStream.DataString(), "abc");
    EXPECT_EQ(Writer->Flushes, 1);
    EXPECT_EQ(CallKinds(Response), (std::vector<TWireCall>{R, E}));
    EXPECT_TRUE(Response.KeepAliveSetting());
    Response.SetRawWriter(nullptr);
    EXPECT_NE(Response.RawWriter(), nullptr);
}

TEST(THttpServerResponse, StreamsCannotSeekOrRead) {
    TTestHttpResponse Response;
    rtl::TStream& Content = Response.Content();
    char Buffer[4];
    EXPECT_EQ(Content.Read(Buffer, 4), 0);
    EXPECT_EQ(Content.Seek(0, rtl::TSeekOrigin::soCurrent), 0);
    Response.SetContentLength(3);
    Write(Response, "abc");
    EXPECT_EQ(Content.Seek(3, rtl::TSeekOrigin::soBeginning), 3);
    for (rtl::TStream* Stream : {&Content, &Response.RawWriter()->Stream()}) {
        EXPECT_EQ(Stream->Read(Buffer, 4), 0);
        try {
            Stream->Seek(0, rtl::TSeekOrigin::soBeginning);
            ADD_FAILURE() << "seek moved";
        } catch (const rtl::EStreamError& Error) {
            EXPECT_STREQ(Error.what(), "Http response stream cannot change position.");
        }
    }
}

} // namespace
} // namespace pylon
