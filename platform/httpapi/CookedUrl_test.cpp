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
    {.Target = "/a/b?x=1",
     .Host = "Example.com:81",
     .Answer = TListenerAnswer::None,
     .HostPort = "Example.com:81",
     .HostName = "example.com",
     .Path = "/a/b",
     .Query = "?x=1"},
    {.Target = "/a%20b/%C3%A9",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a b/\xC3\xA9",
     .Query = ""},
    {.Target = "/a/./b/../c/",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a/c/",
     .Query = ""},
    {.Target = "/a/..",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/",
     .Query = ""},
    {.Target = "/a\\b",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a/b",
     .Query = ""},
    // Dot segments are removed as they come; empty segments inside the path are kept.
    {.Target = "/a//b",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a//b",
     .Query = ""},
    {.Target = "//a",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "//a",
     .Query = ""},
    {.Target = "/a//..",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a/",
     .Query = ""},
    {.Target = "/a//../..",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/",
     .Query = ""},
    {.Target = "/a/b/c/../../d/",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a/d/",
     .Query = ""},
    {.Target = "/a/.../b/.c",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a/.../b/.c",
     .Query = ""},
    // Decoded dots and separators count as written ones.
    {.Target = "/a/%2e%2E",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/",
     .Query = ""},
    {.Target = "/a%2Fb",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a/b",
     .Query = ""},
    {.Target = "/a%5cb/..",
     .Host = "h",
     .Answer = TListenerAnswer::None,
     .HostPort = "h",
     .HostName = "h",
     .Path = "/a/",
     .Query = ""},
    {.Target = "http://Other:9/p?q",
     .Host = "ignored",
     .Answer = TListenerAnswer::None,
     .HostPort = "Other:9",
     .HostName = "other",
     .Path = "/p",
     .Query = "?q"},
    {.Target = "/",
     .Host = nullptr,
     .Answer = TListenerAnswer::None,
     .HostPort = "127.0.0.1:80",
     .HostName = "127.0.0.1",
     .Path = "/",
     .Query = ""},
    {.Target = "/",
     .Host = "[::1]:80",
     .Answer = TListenerAnswer::None,
     .HostPort = "[::1]:80",
     .HostName = "::1",
     .Path = "/",
     .Query = ""},
    {.Target = "/..", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    {.Target = "/%2", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    {.Target = "/%00", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    {.Target = "/%ff", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    {.Target = "//../..", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    // The whole decoded path must be UTF-8, also a segment that a later ".." removes, and a
    // sequence cannot run across a separator.
    {.Target = "/x/%FF/..", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    {.Target = "/%C3/%A9", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    {.Target = "relative", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    {.Target = "ftp://h/x", .Host = "h", .Answer = TListenerAnswer::InvalidUrl},
    {.Target = "/", .Host = "bad host", .Answer = TListenerAnswer::InvalidHostname},
    {.Target = "/", .Host = "h:port", .Answer = TListenerAnswer::InvalidHostname},
    {.Target = "/", .Host = "[::1", .Answer = TListenerAnswer::InvalidHostname},
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
