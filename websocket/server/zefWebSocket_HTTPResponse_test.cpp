// zefWebSocket_HTTPResponse: registry of built-in files.
#include "websocket/server/zefWebSocket_HTTPResponse.h"

#include "websocket/server/zefWebSocket_Protocol_Base_Server.h"

#include <gtest/gtest.h>

namespace zef {
namespace {

TEST(TzefWSHTTPResponse, BuiltInFilesAreRegisteredOnceInOrder) {
    RegisterProtocolFiles();
    RegisterProtocolFiles();
    EXPECT_EQ(TzefWSHTTPResponse::Count(), 4u);
}

TEST(TzefWSHTTPResponse, GetResponseMessageTable) {
    RegisterProtocolFiles();
    const std::string Js = LoadResourceText("ZEF_JS_ZEFWEBSOCKETS");
    const std::string Flash = LoadResourceText("ZEF_JS_ZEFWEBSOCKETSFLASH");
    const std::string Html = LoadResourceText("ZEF_HTML_ZEFWEBSOCKETS");
    struct TCase {
        const char* Name;
        std::string FileNames;
        std::string Expected;
    };
    const TCase Cases[] = {
        {"one file", "zefWebSockets.js", Js + "\r\n"},
        {"letters ignore case", "ZEFWEBSOCKETS.HTML", Html + "\r\n"},
        {"list in order", "zefWebSocketsFlash.js,zefWebSockets.js", Flash + "\r\n" + Js + "\r\n"},
        {"unknown adds nothing", "other.js,zefWebSockets.js", Js + "\r\n"},
        {"nothing matched", "other.js", ""},
        {"blank is part of the name", " zefWebSockets.js", ""},
        {"empty", "", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(TzefWSHTTPResponse::GetResponseMessage(Case.FileNames), Case.Expected);
    }
}

TEST(LoadResourceText, BuiltInResourcesAreUtf8WithByteOrderMark) {
    for (const char* Name : {"ZEF_JS_ZEFWEBSOCKETS", "ZEF_JS_ZEFWEBSOCKETSFLASH",
                             "ZEF_JS_ZEFWEBSOCKETSEVENTSOURCE", "ZEF_HTML_ZEFWEBSOCKETS"}) {
        SCOPED_TRACE(Name);
        EXPECT_EQ(LoadResourceText(Name).substr(0, 3), "\xEF\xBB\xBF");
    }
    const std::string Page = LoadResourceText("ZEF_HTML_ZEFWEBSOCKETS");
    EXPECT_NE(Page.find("http{%ssl%}://{%host%}:{%port%}/"), std::string::npos);
    EXPECT_NE(Page.find("ws{%ssl%}://{%host%}:{%port%}"), std::string::npos);
}

TEST(LoadResourceText, MissingResourceRaisesResNotFound) {
    try {
        LoadResourceText("ZEF_NO_SUCH_RESOURCE");
        FAIL() << "no exception";
    } catch (const EResNotFound& E) {
        EXPECT_STREQ(E.what(), "Resource ZEF_NO_SUCH_RESOURCE not found");
    }
    EXPECT_FALSE(LoadResourceBytes("ZEF_NO_SUCH_RESOURCE").has_value());
}

TEST(LoadResourceBytes, FlashMovieIsCompressedSwf) {
    auto Movie = LoadResourceBytes("ZEF_WEBSOCKETMAIN_SWF");
    ASSERT_TRUE(Movie.has_value());
    ASSERT_GT(Movie->size(), 8u);
    EXPECT_EQ(std::string(Movie->begin(), Movie->begin() + 3), "CWS");
}

} // namespace
} // namespace zef
