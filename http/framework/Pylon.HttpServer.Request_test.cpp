// Pylon.HttpServer.Request: tests of the request properties, its body stream and body loading.
#include "http/framework/Pylon.HttpServer.Request.h"
#include "testing/PylonTestHost.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace pylon {
namespace {

using testing::TTestGeneratedStream;
using testing::TTestRequestStream;

class TFixedExtraInfo : public IHttpRequestExtraInfo {
public:
    std::string RemoteIp() override { return "192.0.2.7"; }
};

TEST(THttpServerRequest, NewRequestDefaults) {
    THttpServerRequest Request;
    EXPECT_EQ(Request.Protocol(), "HTTP/1.1");
    EXPECT_EQ(Request.ContentLength(), -1);
    EXPECT_EQ(Request.RemoteIp(), "");
    EXPECT_TRUE(Request.Content().empty()); // no body stream
    Request.SetExtraInfo(std::make_shared<TFixedExtraInfo>());
    EXPECT_EQ(Request.RemoteIp(), "192.0.2.7");
}

TEST(THttpServerRequest, MethodTypeIsExact) {
    struct TCase {
        const char* Method;
        THttpMethod Expected;
    };
    const TCase Cases[] = {{"GET", THttpMethod::Get},         {"POST", THttpMethod::Post},
                           {"PUT", THttpMethod::Put},         {"DELETE", THttpMethod::Delete},
                           {"HEAD", THttpMethod::Head},       {"PATCH", THttpMethod::Patch},
                           {"OPTIONS", THttpMethod::Options}, {"get", THttpMethod::Other},
                           {"TRACE", THttpMethod::Other},     {"", THttpMethod::Other}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Method);
        THttpServerRequest Request;
        Request.SetMethod(Case.Method);
        EXPECT_EQ(Request.MethodType(), Case.Expected);
    }
}

TEST(THttpServerRequest, VersionsFromProtocol) {
    struct TCase {
        const char* Protocol;
        int Major;
        int Minor;
    };
    const TCase Cases[] = {{"HTTP/1.1", 1, 1},
                           {"HTTP/1.0", 1, 0},
                           {"HTTP/2", -1, -1},
                           {"http/1.1", -1, -1},
                           {"", -1, -1}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Protocol);
        THttpServerRequest Request;
        Request.SetProtocol(Case.Protocol);
        EXPECT_EQ(Request.MajorVersion(), Case.Major);
        EXPECT_EQ(Request.MinorVersion(), Case.Minor);
    }
}

TEST(THttpServerRequest, ContentLengthHeader) {
    struct TCase {
        const char* Value;
        std::int64_t Expected;
    };
    const TCase Cases[] = {{"13", 13},
                           {"0", 0},
                           {"abc", -1},
                           {"", -1},
                           {"12a", -1},
                           {"+5", -1},
                           {"-5", -5},
                           {"9223372036854775807", INT64_MAX},
                           {"9223372036854775808", -1}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Value);
        THttpServerRequest Request;
        Request.Headers().SetValue("Content-Length", Case.Value);
        EXPECT_EQ(Request.ContentLength(), Case.Expected);
    }
}

TEST(THttpServerRequest, WritingRawUriReparses) {
    THttpServerRequest Request;
    Request.SetRawUri("http://h/a/b");
    EXPECT_EQ(Request.Uri().Segments(), (std::vector<std::string>{"a", "b"}));
    Request.SetRawUri("http://h/c");
    EXPECT_EQ(Request.Uri().Path(), "/c");
}

TEST(THttpRequestStream, ReadsForwardOnly) {
    TTestRequestStream Stream("hello", 5);
    EXPECT_EQ(Stream.Seek(0, rtl::TSeekOrigin::soCurrent), 0);
    EXPECT_EQ(Stream.Size(), 5);
    char Buffer[3];
    EXPECT_EQ(Stream.Read(Buffer, 0), 0);
    EXPECT_EQ(Stream.Read(Buffer, 3), 3);
    EXPECT_EQ(Stream.Position(), 3);
    EXPECT_EQ(Stream.Seek(3, rtl::TSeekOrigin::soBeginning), 3);
    EXPECT_EQ(Stream.Seek(0, rtl::TSeekOrigin::soEnd), 3);
    EXPECT_EQ(Stream.Write("x", 1), 0);
    for (const auto& [Offset, Origin] :
         {std::pair{5, rtl::TSeekOrigin::soBeginning}, std::pair{0, rtl::TSeekOrigin::soBeginning},
          std::pair{1, rtl::TSeekOrigin::soCurrent}, std::pair{-1, rtl::TSeekOrigin::soEnd}}) {
        try {
            Stream.Seek(Offset, Origin);
            ADD_FAILURE() << "seek moved";
        } catch (const rtl::EStreamError& E) {
            EXPECT_STREQ(E.what(), "Http request stream cannot change position.");
        }
    }
    EXPECT_EQ(Stream.Position(), 3);
    TTestRequestStream Undeclared("abc", -1);
    EXPECT_EQ(Undeclared.Size(), 0);
    EXPECT_EQ(Undeclared.Read(Buffer, 3), 3);
    EXPECT_EQ(Undeclared.Size(), 3);
}

struct TContentCase {
    const char* Name;
    std::string Body;                    // bytes the stream holds
    const char* Declared;                // "content-length" header, nullptr for none
    int MaxPerRead;                      // bytes per read the stream delivers at most
    std::int64_t Max;                    // MaxContentLength
    std::optional<std::string> Expected; // nullopt: EHttpContentError
    const char* Error;
};

TEST(THttpServerRequest, LoadsContent) {
    const std::string Big(10000, 'b');
    const TContentCase Cases[] = {
        {.Name = "declared",
         .Body = "hello",
         .Declared = "5",
         .MaxPerRead = INT_MAX,
         .Max = 100,
         .Expected = "hello",
         .Error = nullptr},
        {.Name = "declared byte by byte",
         .Body = "hello",
         .Declared = "5",
         .MaxPerRead = 1,
         .Max = 100,
         .Expected = "hello",
         .Error = nullptr},
        {.Name = "declared zero reads nothing",
         .Body = "hello",
         .Declared = "0",
         .MaxPerRead = INT_MAX,
         .Max = 100,
         .Expected = "",
         .Error = nullptr},
        {.Name = "extra bytes beyond declared ignored",
         .Body = "hello",
         .Declared = "3",
         .MaxPerRead = INT_MAX,
         .Max = 100,
         .Expected = "hel",
         .Error = nullptr},
        {.Name = "undeclared grows",
         .Body = Big,
         .Declared = nullptr,
         .MaxPerRead = INT_MAX,
         .Max = 20000,
         .Expected = Big,
         .Error = nullptr},
        {.Name = "undeclared byte by byte",
         .Body = "abc",
         .Declared = nullptr,
         .MaxPerRead = 1,
         .Max = 100,
         .Expected = "abc",
         .Error = nullptr},
        {.Name = "invalid length is undeclared",
         .Body = "abc",
         .Declared = "abc",
         .MaxPerRead = INT_MAX,
         .Max = 100,
         .Expected = "abc",
         .Error = nullptr},
        {.Name = "negative length is undeclared",
         .Body = "abc",
         .Declared = "-7",
         .MaxPerRead = INT_MAX,
         .Max = 100,
         .Expected = "abc",
         .Error = nullptr},
        {.Name = "declared exactly the limit",
         .Body = "12345",
         .Declared = "5",
         .MaxPerRead = INT_MAX,
         .Max = 5,
         .Expected = "12345",
         .Error = nullptr},
        {.Name = "undeclared exactly the limit",
         .Body = "12345",
         .Declared = nullptr,
         .MaxPerRead = 2,
         .Max = 5,
         .Expected = "12345",
         .Error = nullptr},
        {.Name = "short body",
         .Body = "hel",
         .Declared = "5",
         .MaxPerRead = INT_MAX,
         .Max = 100,
         .Expected = std::nullopt,
         .Error = "Request body ended after 3 of 5 declared bytes."},
        {.Name = "empty body declared",
         .Body = "",
         .Declared = "5",
         .MaxPerRead = INT_MAX,
         .Max = 100,
         .Expected = std::nullopt,
         .Error = "Request body ended after 0 of 5 declared bytes."},
        {.Name = "declared over the limit",
         .Body = "123456",
         .Declared = "6",
         .MaxPerRead = INT_MAX,
         .Max = 5,
         .Expected = std::nullopt,
         .Error = "Request body of 6 bytes exceeds the limit of 5 bytes."},
        {.Name = "undeclared over the limit",
         .Body = "123456",
         .Declared = nullptr,
         .MaxPerRead = 2,
         .Max = 5,
         .Expected = std::nullopt,
         .Error = "Request body exceeds the limit of 5 bytes."},
    };
    for (const TContentCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        THttpServerRequest Request;
        if (Case.Declared != nullptr) {
            Request.Headers().SetValue("content-length", Case.Declared);
        }
        Request.SetMaxContentLength(Case.Max);
        Request.SetContentStream(std::make_unique<TTestRequestStream>(
            Case.Body, Request.ContentLength(), Case.MaxPerRead));
        for (int Read = 0; Read < 2; ++Read) { // the second read gives the same result
            if (Case.Expected) {
                const std::vector<std::uint8_t>& Got = Request.Content();
                EXPECT_EQ(std::string(Got.begin(), Got.end()), *Case.Expected);
            } else {
                try {
                    Request.Content();
                    ADD_FAILURE() << "no exception";
                } catch (const EHttpContentError& E) {
                    EXPECT_STREQ(E.what(), Case.Error);
                }
            }
        }
    }
}

TEST(THttpServerRequest, HugeDeclaredLengthAllocatesOnlyWhatArrives) {
    THttpServerRequest Request;
    Request.Headers().SetValue("content-length", "1000000000000");
    Request.SetMaxContentLength(INT64_MAX);
    auto Stream = std::make_unique<TTestRequestStream>("tiny", 1000000000000);
    TTestRequestStream& Body = *Stream;
    Request.SetContentStream(std::move(Stream));
    EXPECT_THROW(Request.Content(), EHttpContentError);
    // Reads ask for bounded steps; nothing near the declared size was ever reserved.
    EXPECT_LE(Body.LargestAsk(), 64 * 1024);
}

TEST(THttpServerRequest, LargeBodyArrivesInBoundedSteps) {
    THttpServerRequest Request;
    constexpr std::int64_t Size = 3 * 1024 * 1024 + 7;
    Request.Headers().SetValue("content-length", std::to_string(Size));
    Request.SetContentStream(std::make_unique<TTestGeneratedStream>(Size, Size));
    EXPECT_EQ(Request.Content().size(), std::size_t(Size));
    EXPECT_EQ(Request.Content().back(), 'x');
}

} // namespace
} // namespace pylon
