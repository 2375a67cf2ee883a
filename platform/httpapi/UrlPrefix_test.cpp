// UrlPrefix: parsing and matching of Windows URL prefixes.
#include "platform/httpapi/UrlPrefix.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace httpapi {
namespace {

struct TPrefixCase {
    const char* Text;
    DWORD Result;
    THostKind Kind = THostKind::WeakWildcard;
    const char* Host = "";
    std::uint16_t Port = 0;
    const char* Path = "";
};

const TPrefixCase PrefixCases[] = {
    {"http://+:80/", NO_ERROR, THostKind::StrongWildcard, "", 80, "/"},
    {"http://*:8080/a/B/", NO_ERROR, THostKind::WeakWildcard, "", 8080, "/a/b/"},
    {"https://Example.COM:443/x/", NO_ERROR, THostKind::Explicit, "example.com", 443, "/x/"},
    {"http://127.0.0.1:2001/ws/", NO_ERROR, THostKind::IpAddress, "127.0.0.1", 2001, "/ws/"},
    {"http://[::1]:2001/", NO_ERROR, THostKind::IpAddress, "::1", 2001, "/"},
    {"http://[0:0::1]:2001/", NO_ERROR, THostKind::IpAddress, "::1", 2001, "/"},
    {"http://localhost:65535/", NO_ERROR, THostKind::Explicit, "localhost", 65535, "/"},
    {"http://localhost:65536/", ERROR_INVALID_PARAMETER},
    {"http://localhost:50000", ERROR_INVALID_PARAMETER},
    {"localhost:50000/", ERROR_INVALID_PARAMETER},
    {"http://localhost/", ERROR_INVALID_PARAMETER},
    {"http://localhost:/", ERROR_INVALID_PARAMETER},
    {"http://localhost:0/", ERROR_INVALID_PARAMETER},
    {"http://localhost:080/", ERROR_INVALID_PARAMETER},
    {"http://localhost:*/", ERROR_INVALID_PARAMETER},
    {"HTTP://localhost:80/", ERROR_INVALID_PARAMETER},
    {"ftp://localhost:80/", ERROR_INVALID_PARAMETER},
    {"http://:80/", ERROR_INVALID_PARAMETER},
    {"http://a b:80/", ERROR_INVALID_PARAMETER},
    {"http://host:80/a", ERROR_INVALID_PARAMETER},
    {"http://host:80/a/../", ERROR_INVALID_PARAMETER},
    {"http://host:80/a?b/", ERROR_INVALID_PARAMETER},
    {"http://[::1:80/", ERROR_INVALID_PARAMETER},
    {"http://[zz]:80/", ERROR_INVALID_PARAMETER},
    {"http://192.:80/", ERROR_NOT_SUPPORTED},
    {"http://192.255.255.255.1:80/", ERROR_NOT_SUPPORTED},
    {"http://255.255.255.255:80/", ERROR_NOT_SUPPORTED},
    {"", ERROR_INVALID_PARAMETER},
};

TEST(TUrlPrefix, ParseTable) {
    for (const TPrefixCase& Case : PrefixCases) {
        SCOPED_TRACE(Case.Text);
        const std::string_view Text(Case.Text);
        auto Copy = std::make_unique_for_overwrite<char[]>(Text.size() + 1);
        std::copy(Text.begin(), Text.end(), Copy.get());
        TUrlPrefix Prefix;
        ASSERT_EQ(ParseUrlPrefix({Copy.get(), Text.size()}, Prefix), Case.Result);
        if (Case.Result == NO_ERROR) {
            EXPECT_EQ(Prefix.Kind, Case.Kind);
            EXPECT_EQ(Prefix.Host, Case.Host);
            EXPECT_EQ(Prefix.Port, Case.Port);
            EXPECT_EQ(Prefix.Path, Case.Path);
        }
    }
}

TEST(TUrlPrefix, KeyIgnoresCaseOfHostAndPath) {
    TUrlPrefix A;
    TUrlPrefix B;
    ASSERT_EQ(ParseUrlPrefix("http://Host:80/Dir/", A), NO_ERROR);
    ASSERT_EQ(ParseUrlPrefix("http://host:80/dir/", B), NO_ERROR);
    EXPECT_EQ(A.Key(), B.Key());
    ASSERT_EQ(ParseUrlPrefix("http://+:80/dir/", B), NO_ERROR);
    EXPECT_NE(A.Key(), B.Key());
}

TEST(TUrlPrefix, MatchesWholeSegmentsAndTheBareDirectory) {
    TUrlPrefix Prefix;
    ASSERT_EQ(ParseUrlPrefix("http://+:80/base/", Prefix), NO_ERROR);
    struct TCase {
        const char* Path;
        bool Matches;
    };
    const TCase Cases[] = {{"/base/", true},     {"/base", true}, {"/BASE/x", true},
                           {"/basement", false}, {"/bas", false}, {"/", false}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Path);
        EXPECT_EQ(Prefix.MatchesPath(Case.Path), Case.Matches);
    }
}

} // namespace
} // namespace httpapi
