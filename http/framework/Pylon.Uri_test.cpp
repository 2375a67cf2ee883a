// Pylon.Uri: tests of URL parsing, authority and scheme detection.
#include "http/framework/Pylon.Uri.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace pylon {
namespace {

struct TUriCase {
    const char* Text;
    const char* Scheme;
    const char* UserInfo;
    const char* Host;
    int Port;
    const char* Path;
    const char* OriginalPath;
    const char* Query;
    const char* OriginalQuery;
    const char* Fragment;
    std::vector<std::string> Segments;
    const char* Authority;
};

const TUriCase UriCases[] = {
    {"http://127.0.0.1:2001/vek/orbis/hello",
     "http",
     "",
     "127.0.0.1",
     2001,
     "/vek/orbis/hello",
     "/vek/orbis/hello",
     "",
     "",
     "",
     {"vek", "orbis", "hello"},
     "127.0.0.1:2001"},
    {"https://example.com",
     "https",
     "",
     "example.com",
     443,
     "/",
     "/",
     "",
     "",
     "",
     {},
     "example.com"},
    {"HTTP://Example.COM:80/",
     "http",
     "",
     "Example.COM",
     80,
     "/",
     "/",
     "",
     "",
     "",
     {},
     "Example.COM"},
    {"https://h:8443/x", "https", "", "h", 8443, "/x", "/x", "", "", "", {"x"}, "h:8443"},
    {"http://h/p%20q?a=%41+b#frag%20x",
     "http",
     "",
     "h",
     80,
     "/p q",
     "/p%20q",
     "?a=A+b",
     "?a=%41+b",
     "#frag x",
     {"p q"},
     "h"},
    {"http://h//a//b/", "http", "", "h", 80, "//a//b/", "//a//b/", "", "", "", {"a", "b"}, "h"},
    {"http://h/a%2Fb", "http", "", "h", 80, "/a/b", "/a%2Fb", "", "", "", {"a/b"}, "h"},
    {"/vek/orbis?x=1",
     "",
     "",
     "",
     80,
     "/vek/orbis",
     "/vek/orbis",
     "?x=1",
     "?x=1",
     "",
     {"vek", "orbis"},
     ""},
    {"ftp://user:pw@host:21/f",
     "ftp",
     "user:pw",
     "host",
     21,
     "/f",
     "/f",
     "",
     "",
     "",
     {"f"},
     "user:pw@host:21"},
    {"ftp://host/f", "ftp", "", "host", 0, "/f", "/f", "", "", "", {"f"}, "host"},
    {"://h/x", "", "", "h", 80, "/x", "/x", "", "", "", {"x"}, "h"},
    {"h:99999/x", "", "", "h", 80, "/x", "/x", "", "", "", {"x"}, "h"},
    {"http://h:abc/", "http", "", "h", 80, "/", "/", "", "", "", {}, "h"},
    {"http://h#only", "http", "", "h", 80, "/", "/", "", "", "#only", {}, "h"},
    {"http://h?q#f?g", "http", "", "h", 80, "/", "/", "?q", "?q", "#f?g", {}, "h"},
    {"", "", "", "", 80, "/", "/", "", "", "", {}, ""},
    {"1http://h/x", "", "", "1http", 80, "//h/x", "//h/x", "", "", "", {"h", "x"}, "1http"},
    {"\xC3\xA9t\xC3\xA9://h/", "\xC3\xA9t\xC3\xA9", "", "h", 0, "/", "/", "", "", "", {}, "h"},
};

TEST(TUri, ParsesEveryPart) {
    for (const TUriCase& Case : UriCases) {
        SCOPED_TRACE(Case.Text);
        const std::string_view Text = Case.Text;
        auto Copy = std::make_unique_for_overwrite<char[]>(Text.size());
        std::copy(Text.begin(), Text.end(), Copy.get());
        const TUri Uri(std::string_view(Copy.get(), Text.size()));
        EXPECT_EQ(Uri.Scheme(), Case.Scheme);
        EXPECT_EQ(Uri.UserInfo(), Case.UserInfo);
        EXPECT_EQ(Uri.Host(), Case.Host);
        EXPECT_EQ(Uri.Port(), Case.Port);
        EXPECT_EQ(Uri.Path(), Case.Path);
        EXPECT_EQ(Uri.OriginalPath(), Case.OriginalPath);
        EXPECT_EQ(Uri.Query(), Case.Query);
        EXPECT_EQ(Uri.OriginalQuery(), Case.OriginalQuery);
        EXPECT_EQ(Uri.Fragment(), Case.Fragment);
        EXPECT_EQ(Uri.Segments(), Case.Segments);
        EXPECT_EQ(Uri.Authority(), Case.Authority);
        EXPECT_EQ(Uri.OriginalUri(), Case.Text);
    }
}

TEST(TUri, CloneParsesTheSameText) {
    const TUri Uri("http://u@h:81/a?b#c");
    const std::unique_ptr<TUri> Copy = Uri.Clone();
    EXPECT_EQ(Copy->OriginalUri(), Uri.OriginalUri());
    EXPECT_EQ(Copy->Authority(), "u@h:81");
    EXPECT_EQ(Copy->Segments(), Uri.Segments());
}

TEST(TUri, HasScheme) {
    struct TCase {
        const char* Text;
        bool Expected;
    };
    const TCase Cases[] = {{"http://x", true}, {"a://", true},    {"://x", false}, {"/path", false},
                           {"http:/x", false}, {"h1://x", false}, {"", false},     {"http", false}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        EXPECT_EQ(TUri::HasScheme(Case.Text), Case.Expected);
    }
    EXPECT_EQ(TUri::PercentDecode("%41"), "A");
    EXPECT_EQ(TUri::PercentEncode("a b"), "a%20b");
}

} // namespace
} // namespace pylon
