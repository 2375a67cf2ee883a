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
    {.Text = "http://127.0.0.1:2001/vek/orbis/hello",
     .Scheme = "http",
     .UserInfo = "",
     .Host = "127.0.0.1",
     .Port = 2001,
     .Path = "/vek/orbis/hello",
     .OriginalPath = "/vek/orbis/hello",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"vek", "orbis", "hello"},
     .Authority = "127.0.0.1:2001"},
    {.Text = "https://example.com",
     .Scheme = "https",
     .UserInfo = "",
     .Host = "example.com",
     .Port = 443,
     .Path = "/",
     .OriginalPath = "/",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {},
     .Authority = "example.com"},
    {.Text = "HTTP://Example.COM:80/",
     .Scheme = "http",
     .UserInfo = "",
     .Host = "Example.COM",
     .Port = 80,
     .Path = "/",
     .OriginalPath = "/",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {},
     .Authority = "Example.COM"},
    {.Text = "https://h:8443/x",
     .Scheme = "https",
     .UserInfo = "",
     .Host = "h",
     .Port = 8443,
     .Path = "/x",
     .OriginalPath = "/x",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"x"},
     .Authority = "h:8443"},
    {.Text = "http://h/p%20q?a=%41+b#frag%20x",
     .Scheme = "http",
     .UserInfo = "",
     .Host = "h",
     .Port = 80,
     .Path = "/p q",
     .OriginalPath = "/p%20q",
     .Query = "?a=A+b",
     .OriginalQuery = "?a=%41+b",
     .Fragment = "#frag x",
     .Segments = {"p q"},
     .Authority = "h"},
    {.Text = "http://h//a//b/",
     .Scheme = "http",
     .UserInfo = "",
     .Host = "h",
     .Port = 80,
     .Path = "//a//b/",
     .OriginalPath = "//a//b/",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"a", "b"},
     .Authority = "h"},
    {.Text = "http://h/a%2Fb",
     .Scheme = "http",
     .UserInfo = "",
     .Host = "h",
     .Port = 80,
     .Path = "/a/b",
     .OriginalPath = "/a%2Fb",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"a/b"},
     .Authority = "h"},
    {.Text = "/vek/orbis?x=1",
     .Scheme = "",
     .UserInfo = "",
     .Host = "",
     .Port = 80,
     .Path = "/vek/orbis",
     .OriginalPath = "/vek/orbis",
     .Query = "?x=1",
     .OriginalQuery = "?x=1",
     .Fragment = "",
     .Segments = {"vek", "orbis"},
     .Authority = ""},
    {.Text = "ftp://user:pw@host:21/f",
     .Scheme = "ftp",
     .UserInfo = "user:pw",
     .Host = "host",
     .Port = 21,
     .Path = "/f",
     .OriginalPath = "/f",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"f"},
     .Authority = "user:pw@host:21"},
    {.Text = "ftp://host/f",
     .Scheme = "ftp",
     .UserInfo = "",
     .Host = "host",
     .Port = 0,
     .Path = "/f",
     .OriginalPath = "/f",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"f"},
     .Authority = "host"},
    {.Text = "://h/x",
     .Scheme = "",
     .UserInfo = "",
     .Host = "h",
     .Port = 80,
     .Path = "/x",
     .OriginalPath = "/x",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"x"},
     .Authority = "h"},
    {.Text = "h:99999/x",
     .Scheme = "",
     .UserInfo = "",
     .Host = "h",
     .Port = 80,
     .Path = "/x",
     .OriginalPath = "/x",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"x"},
     .Authority = "h"},
    {.Text = "http://h:abc/",
     .Scheme = "http",
     .UserInfo = "",
     .Host = "h",
     .Port = 80,
     .Path = "/",
     .OriginalPath = "/",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {},
     .Authority = "h"},
    {.Text = "http://h#only",
     .Scheme = "http",
     .UserInfo = "",
     .Host = "h",
     .Port = 80,
     .Path = "/",
     .OriginalPath = "/",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "#only",
     .Segments = {},
     .Authority = "h"},
    {.Text = "http://h?q#f?g",
     .Scheme = "http",
     .UserInfo = "",
     .Host = "h",
     .Port = 80,
     .Path = "/",
     .OriginalPath = "/",
     .Query = "?q",
     .OriginalQuery = "?q",
     .Fragment = "#f?g",
     .Segments = {},
     .Authority = "h"},
    {.Text = "",
     .Scheme = "",
     .UserInfo = "",
     .Host = "",
     .Port = 80,
     .Path = "/",
     .OriginalPath = "/",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {},
     .Authority = ""},
    {.Text = "1http://h/x",
     .Scheme = "",
     .UserInfo = "",
     .Host = "1http",
     .Port = 80,
     .Path = "//h/x",
     .OriginalPath = "//h/x",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {"h", "x"},
     .Authority = "1http"},
    {.Text = "\xC3\xA9t\xC3\xA9://h/",
     .Scheme = "\xC3\xA9t\xC3\xA9",
     .UserInfo = "",
     .Host = "h",
     .Port = 0,
     .Path = "/",
     .OriginalPath = "/",
     .Query = "",
     .OriginalQuery = "",
     .Fragment = "",
     .Segments = {},
     .Authority = "h"},
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
