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
        {"declared", "hello", "5", INT_MAX, 100, "hello", nullptr},
        {"declared byte by byte", "hello", "5", 1, 100, "hello", nullptr},
        {"declared zero reads nothing", "hello", "0", INT_MAX, 100, "", nullptr},
        {"extra bytes beyond declared ignored", "hello", "3", INT_MAX, 100, "hel", nullptr},
        {"undeclared grows", Big, nullptr, INT_MAX, 20000, Big, nullptr},
        {"undeclared byte by byte", "abc", nullptr, 1, 100, "abc", nullptr},
        {"invalid length is undeclared", "abc", "abc", INT_MAX, 100, "abc", nullptr},
        {"negative length is undeclared", "abc", "-7", INT_MAX, 100, "abc", nullptr},
        {"declared exactly the limit", "12345", "5", INT_MAX, 5, "12345", nullptr},
        {"undeclared exactly the limit", "12345", nullptr, 2, 5, "12345", nullptr},
        {"short body", "hel", "5", INT_MAX, 100, std::nullopt,
         "Request body ended after 3 of 5 declared bytes."},
        {"empty body declared", "", "5", INT_MAX, 100, std::nullopt,
         "Request body ended after 0 of 5 declared bytes."},
        {"declared over the limit", "123456", "6", INT_MAX, 5, std::nullopt,
         "Request body of 6 bytes exceeds the limit of 5 bytes."},
        {"undeclared over the limit", "123456", nullptr, 2, 5, std::nullopt,
         "Request body exceeds the limit of 5 bytes."},
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
