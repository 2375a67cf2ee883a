// CookedUrl: decoding and canonicalising request targets.
#include "platform/httpapi/CookedUrl.h"

#include <gtest/gtest.h>

namespace httpapi {
namespace {

struct TCookCase {
    const char* Target;
    const char* Host; // nullptr: no Host header
    TListenerAnswer Answer;
    const char* HostPort = "";
    const char* HostName = "";
    const char* Path = "";
    const char* Query = "";
};

const TCookCase CookCases[] = {
    {"/a/b?x=1", "Example.com:81", TListenerAnswer::None, "Example.com:81", "example.com", "/a/b",
     "?x=1"},
    {"/a%20b/%C3%A9", "h", TListenerAnswer::None, "h", "h", "/a b/\xC3\xA9", ""},
    {"/a/./b/../c/", "h", TListenerAnswer::None, "h", "h", "/a/c/", ""},
    {"/a/..", "h", TListenerAnswer::None, "h", "h", "/", ""},
    {"/a\\b", "h", TListenerAnswer::None, "h", "h", "/a/b", ""},
    // Dot segments are removed as they come; empty segments inside the path are kept.
    {"/a//b", "h", TListenerAnswer::None, "h", "h", "/a//b", ""},
    {"//a", "h", TListenerAnswer::None, "h", "h", "//a", ""},
    {"/a//..", "h", TListenerAnswer::None, "h", "h", "/a/", ""},
    {"/a//../..", "h", TListenerAnswer::None, "h", "h", "/", ""},
    {"/a/b/c/../../d/", "h", TListenerAnswer::None, "h", "h", "/a/d/", ""},
    {"/a/.../b/.c", "h", TListenerAnswer::None, "h", "h", "/a/.../b/.c", ""},
    // Decoded dots and separators count as written ones.
    {"/a/%2e%2E", "h", TListenerAnswer::None, "h", "h", "/", ""},
    {"/a%2Fb", "h", TListenerAnswer::None, "h", "h", "/a/b", ""},
    {"/a%5cb/..", "h", TListenerAnswer::None, "h", "h", "/a/", ""},
    {"http://Other:9/p?q", "ignored", TListenerAnswer::None, "Other:9", "other", "/p", "?q"},
    {"/", nullptr, TListenerAnswer::None, "127.0.0.1:80", "127.0.0.1", "/", ""},
    {"/", "[::1]:80", TListenerAnswer::None, "[::1]:80", "::1", "/", ""},
    {"/..", "h", TListenerAnswer::InvalidUrl},
    {"/%2", "h", TListenerAnswer::InvalidUrl},
    {"/%00", "h", TListenerAnswer::InvalidUrl},
    {"/%ff", "h", TListenerAnswer::InvalidUrl},
    {"//../..", "h", TListenerAnswer::InvalidUrl},
    // The whole decoded path must be UTF-8, also a segment that a later ".." removes, and a
    // sequence cannot run across a separator.
    {"/x/%FF/..", "h", TListenerAnswer::InvalidUrl},
    {"/%C3/%A9", "h", TListenerAnswer::InvalidUrl},
    {"relative", "h", TListenerAnswer::InvalidUrl},
    {"ftp://h/x", "h", TListenerAnswer::InvalidUrl},
    {"/", "bad host", TListenerAnswer::InvalidHostname},
    {"/", "h:port", TListenerAnswer::InvalidHostname},
    {"/", "[::1", TListenerAnswer::InvalidHostname},
};

TEST(CookUrl, Table) {
    for (const TCookCase& Case : CookCases) {
        SCOPED_TRACE(Case.Target);
        TRequestHead Head;
        Head.Verb = HttpVerbGET;
        Head.Target = Case.Target;
        if (Case.Host != nullptr) {
            Head.Headers.push_back({"Host", Case.Host});
        }
        TCookedUrl Url;
        ASSERT_EQ(CookUrl(Head, "127.0.0.1:80", Url), Case.Answer);
        if (Case.Answer == TListenerAnswer::None) {
            EXPECT_EQ(Url.HostPort, Case.HostPort);
            EXPECT_EQ(Url.HostName, Case.HostName);
            EXPECT_EQ(Url.Path, Case.Path);
            EXPECT_EQ(Url.Query, Case.Query);
        }
    }
}

TEST(CookUrl, SegmentLimits) {
    TRequestHead Head;
    Head.Verb = HttpVerbGET;
    Head.Headers.push_back({"Host", "h"});
    TCookedUrl Url;
    Head.Target = "/" + std::string(260, 's');
    EXPECT_EQ(CookUrl(Head, "", Url), TListenerAnswer::None);
    Head.Target = "/" + std::string(261, 's');
    EXPECT_EQ(CookUrl(Head, "", Url), TListenerAnswer::InvalidUrl);
    Head.Target.clear();
    for (int I = 0; I < 255; ++I) {
        Head.Target += "/s";
    }
    EXPECT_EQ(CookUrl(Head, "", Url), TListenerAnswer::None);
    Head.Target += "/s";
    EXPECT_EQ(CookUrl(Head, "", Url), TListenerAnswer::InvalidUrl);
}

} // namespace
} // namespace httpapi
