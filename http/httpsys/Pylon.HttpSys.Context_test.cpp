// Pylon.HttpSys.Context: a platform request record as a framework exchange.
#include "http/httpsys/Pylon.HttpSys.Context.h"
#include "platform/rtl/StringList.h"

#include <gtest/gtest.h>

#include <cstring>

namespace pylon {
namespace {

/// Lays out a request record and its strings in a request buffer, as the platform does.
class TRecordBuilder {
public:
    TRecordBuilder() : FBuffer(THttpSysRequestBuffer::Acquire()) {
        std::memset(FBuffer.Data(), 0, FBuffer.Size());
        FUsed = sizeof(HTTP_REQUEST);
        Req().RequestId = 77;
        Req().ConnectionId = 55;
        Req().Version = HTTP_VERSION_1_1;
        Req().Verb = HttpVerbGET;
    }
    HTTP_REQUEST& Req() { return *FBuffer.Request(); }
    const char* Text(std::string_view Value) {
        char* Target = static_cast<char*>(FBuffer.Data()) + FUsed;
        std::memcpy(Target, Value.data(), Value.size());
        FUsed += Value.size();
        return Target;
    }
    void RawUrl(std::string_view Url) {
        Req().pRawUrl = Text(Url);
        Req().RawUrlLength = USHORT(Url.size());
    }
    void Known(HTTP_HEADER_ID Id, std::string_view Value) {
        Req().Headers.KnownHeaders[Id].pRawValue = Text(Value);
        Req().Headers.KnownHeaders[Id].RawValueLength = USHORT(Value.size());
    }
    void Unknown(std::string_view Name, std::string_view Value) {
        FUnknown[FUnknownCount].pName = Text(Name);
        FUnknown[FUnknownCount].NameLength = USHORT(Name.size());
        FUnknown[FUnknownCount].pRawValue = Text(Value);
        FUnknown[FUnknownCount].RawValueLength = USHORT(Value.size());
        ++FUnknownCount;
        Req().Headers.pUnknownHeaders = FUnknown;
        Req().Headers.UnknownHeaderCount = USHORT(FUnknownCount);
    }
    THttpSysRequestBuffer Take() { return std::move(FBuffer); }

private:
    THttpSysRequestBuffer FBuffer;
    std::size_t FUsed;
    HTTP_UNKNOWN_HEADER FUnknown[4]{};
    int FUnknownCount = 0;
};

TEST(THttpSysRequest, MethodOfEveryVerb) {
    struct TCase {
        HTTP_VERB Verb;
        const char* Unknown;
        const char* Expected;
    };
    const TCase Cases[] = {
        {HttpVerbUnparsed, nullptr, ""},       {HttpVerbInvalid, nullptr, ""},
        {HttpVerbOPTIONS, nullptr, "OPTIONS"}, {HttpVerbGET, nullptr, "GET"},
        {HttpVerbHEAD, nullptr, "HEAD"},       {HttpVerbPOST, nullptr, "POST"},
        {HttpVerbDELETE, nullptr, "DELETE"},   {HttpVerbSEARCH, nullptr, "SEARCH"},
        {HttpVerbUnknown, "PATCH", "PATCH"},   {HttpVerbUnknown, "brew", "brew"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Expected);
        TRecordBuilder Builder;
        Builder.Req().Verb = Case.Verb;
        if (Case.Unknown != nullptr) {
            Builder.Req().pUnknownVerb = Builder.Text(Case.Unknown);
            Builder.Req().UnknownVerbLength = USHORT(std::strlen(Case.Unknown));
        }
        Builder.RawUrl("/");
        THttpSysContext Context(Builder.Take(), nullptr);
        EXPECT_EQ(Context.SysRequest().Method(), Case.Expected);
        EXPECT_EQ(Context.Request().Method(), Case.Expected);
    }
}

TEST(THttpSysRequest, FullUrlFromRawUrl) {
    struct TCase {
        const char* Raw;
        const char* Expected;
    };
    constexpr TCase Cases[] = {
        {"/vek/orbis/hello?x=1", "http://h:2001/vek/orbis/hello?x=1"},
        {"vek/orbis", "http://h:2001/vek/orbis"},
        {"", "http://h:2001"},
        {"http://other:81/a", "http://other:81/a"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Raw);
        EXPECT_EQ(THttpSysRequest::FullUrlFromRawUrl(Case.Raw, "http", "h:2001"), Case.Expected);
    }
}

TEST(THttpSysContext, FillsTheFrameworkRequest) {
    TRecordBuilder Builder;
    Builder.Req().Verb = HttpVerbPOST;
    Builder.Req().Version = HTTP_VERSION_1_0;
    Builder.RawUrl("/vek/orbis/hello/x?y=1");
    Builder.Known(HttpHeaderHost, "127.0.0.1:2001");
    Builder.Known(HttpHeaderContentLength, "5");
    Builder.Unknown("X-Custom-Name", "Value One");
    THttpSysContext Context(Builder.Take(), nullptr);
    EXPECT_EQ(Context.ContextId(), 77u);
    EXPECT_EQ(Context.ConnectionId(), 55u);
    THttpServerRequest& Request = Context.Request();
    EXPECT_EQ(Request.Method(), "POST");
    EXPECT_EQ(Request.RawUri(), "http://127.0.0.1:2001/vek/orbis/hello/x?y=1");
    EXPECT_EQ(Request.Protocol(), "HTTP/1.0");
    EXPECT_EQ(Request.Headers().Get("host"), "127.0.0.1:2001");
    EXPECT_EQ(Request.Headers().Get("x-custom-name"), "Value One");
    for (const THttpHeaderInfo& Header : Request.Headers().AllHeaders()) {
        EXPECT_EQ(Header.Name(), rtl::LowerCase(Header.Name()));
    }
    ASSERT_NE(Request.ContentStream(), nullptr);
    EXPECT_EQ(Request.ContentStream()->Size(), 5);
    EXPECT_EQ(Request.RemoteIp(), ""); // The record names no client address.
}

TEST(THttpSysContext, HttpOneOneKeepsTheFrameworkDefaultProtocol) {
    TRecordBuilder Builder;
    Builder.RawUrl("/");
    THttpSysContext Context(Builder.Take(), nullptr);
    EXPECT_EQ(Context.Request().Protocol(), "HTTP/1.1");
    EXPECT_EQ(Context.Request().Uri().Path(), "/");
}

} // namespace
} // namespace pylon
