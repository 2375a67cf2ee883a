// Pylon.Win.Socket: client addresses as text.
#include "http/httpsys/Pylon.Win.Socket.h"

#include <gtest/gtest.h>

#include <cstring>

namespace pylon {
namespace {

TEST(SockAddrToString, NumericHostOfEachFamily) {
    ASSERT_TRUE(LoadSocketLibrary());
    InitSocketLibrary();
    sockaddr_in V4{};
    V4.sin_family = AF_INET;
    V4.sin_port = htons(2001);
    V4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 V6{};
    V6.sin6_family = AF_INET6;
    V6.sin6_addr = in6addr_loopback;
    sockaddr Other{};
    Other.sa_family = AF_UNIX;
    struct TCase {
        const char* Name;
        const SOCKADDR* Addr;
        const char* Expected;
    };
    const TCase Cases[] = {
        {"IPv4 loopback", reinterpret_cast<const SOCKADDR*>(&V4), "127.0.0.1"},
        {"IPv6 loopback", reinterpret_cast<const SOCKADDR*>(&V6), "::1"},
        {"other family", &Other, ""},
        {"no address", nullptr, ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(SockAddrToString(Case.Addr), Case.Expected);
    }
}

} // namespace
} // namespace pylon
