// Winsock tests: start-up counting and the address conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

// Holds one WSAStartup for the test's duration.
class TWsaSession {
public:
    TWsaSession() { Result = WSAStartup(MAKEWORD(2, 2), &Data); }
    ~TWsaSession() {
        if (Result == 0) {
            WSACleanup();
        }
    }
    WSADATA Data{};
    int Result = -1;
};

SOCKADDR_IN MakeIPv4(const char* Text, USHORT Port) {
    SOCKADDR_IN Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    Address.sin_addr.s_addr = inet_addr(Text);
    return Address;
}

} // namespace

TEST(WSAStartup, ReportsVersionTwoTwoAndCountsCleanups) {
    WSADATA Data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &Data), 0);
    EXPECT_EQ(Data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(Data.wHighVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &Data), 0);
    EXPECT_EQ(Data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &Data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), WSAEFAULT);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(GetNameInfoW, NeedsWSAStartup) {
    const SOCKADDR_IN Address = MakeIPv4("127.0.0.1", 80);
    WCHAR Host[NI_MAXHOST];
    EXPECT_EQ(GetNameInfoW(reinterpret_cast<const SOCKADDR*>(&Address), sizeof(Address), Host,
                           NI_MAXHOST, nullptr, 0, NI_NUMERICHOST),
              WSANOTINITIALISED);
}

TEST(GetNameInfoW, NumericHostAndServiceOfBothFamilies) {
    TWsaSession Session;
    ASSERT_EQ(Session.Result, 0);
    SOCKADDR_IN6 V6{};
    V6.sin6_family = AF_INET6;
    V6.sin6_port = htons(2001);
    ASSERT_EQ(InetPtonW(AF_INET6, L"fe80::1:2", &V6.sin6_addr), 1);
    const SOCKADDR_IN V4 = MakeIPv4("127.0.0.1", 2001);
    struct TCase {
        const char* Name;
        const SOCKADDR* Address;
        socklen_t Length;
        INT Expected;
        const wchar_t* Host;
    };
    const TCase Cases[] = {
        {"IPv4 loopback", reinterpret_cast<const SOCKADDR*>(&V4), 16, 0, L"127.0.0.1"},
        {"IPv6", reinterpret_cast<const SOCKADDR*>(&V6), 28, 0, L"fe80::1:2"},
        {"IPv4 length short", reinterpret_cast<const SOCKADDR*>(&V4), 15, WSAEFAULT, nullptr},
        {"IPv6 given the IPv4 length", reinterpret_cast<const SOCKADDR*>(&V6), 16, WSAEFAULT,
         nullptr},
        {"no address", nullptr, 16, WSAEFAULT, nullptr},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        WCHAR Host[NI_MAXHOST];
        WCHAR Service[NI_MAXSERV];
        const INT Result = GetNameInfoW(Case.Address, Case.Length, Host, NI_MAXHOST, Service,
                                        NI_MAXSERV, NI_NUMERICHOST | NI_NUMERICSERV);
        ASSERT_EQ(Result, Case.Expected);
        if (Result == 0) {
            EXPECT_EQ(std::wstring(Host), Case.Host);
            EXPECT_EQ(std::wstring(Service), L"2001");
        } else {
            EXPECT_EQ(WSAGetLastError(), Case.Expected);
        }
    }
}

TEST(GetNameInfoW, RefusesOtherFamiliesAndShortBuffers) {
    TWsaSession Session;
    ASSERT_EQ(Session.Result, 0);
    SOCKADDR_STORAGE Other{};
    Other.ss_family = AF_UNIX;
    WCHAR Host[NI_MAXHOST];
    EXPECT_EQ(GetNameInfoW(reinterpret_cast<const SOCKADDR*>(&Other), sizeof(Other), Host,
                           NI_MAXHOST, nullptr, 0, NI_NUMERICHOST),
              WSAEAFNOSUPPORT);
    const SOCKADDR_IN V4 = MakeIPv4("127.0.0.1", 1);
    // "127.0.0.1" needs 10 characters with its terminator: 9 is one short.
    WCHAR Exact[10];
    EXPECT_EQ(GetNameInfoW(reinterpret_cast<const SOCKADDR*>(&V4), sizeof(V4), Exact, 10, nullptr,
                           0, NI_NUMERICHOST),
              0);
    EXPECT_EQ(std::wstring(Exact), L"127.0.0.1");
    EXPECT_EQ(GetNameInfoW(reinterpret_cast<const SOCKADDR*>(&V4), sizeof(V4), Exact, 9, nullptr, 0,
                           NI_NUMERICHOST),
              WSAEFAULT);
}

TEST(InetPtonW, CaseTable) {
    struct TCase {
        const wchar_t* Text;
        INT Family;
        INT Expected;
    };
    const TCase Cases[] = {
        {L"127.0.0.1", AF_INET, 1},
        {L"255.255.255.255", AF_INET, 1},
        {L"256.0.0.1", AF_INET, 0},
        {L"1.2.3", AF_INET, 0},
        {L"", AF_INET, 0},
        {L"127.0.0.\u00e91", AF_INET, 0},
        {L"::1", AF_INET6, 1},
        {L"::1", AF_INET, 0},
        {L"2001:db8::8a2e:370:7334", AF_INET6, 1},
        {L"2001:db8:::1", AF_INET6, 0},
        {L"0000:0000:0000:0000:0000:ffff:192.168.100.228-and-far-too-long", AF_INET6, 0},
        {L"127.0.0.1", AF_UNIX, -1},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(Case.Family));
        IN6_ADDR Buffer{};
        EXPECT_EQ(InetPtonW(Case.Family, Case.Text, &Buffer), Case.Expected);
    }
    IN_ADDR V4{};
    ASSERT_EQ(InetPtonW(AF_INET, L"10.1.2.3", &V4), 1);
    EXPECT_EQ(V4.s_addr, inet_addr("10.1.2.3"));
    EXPECT_EQ(InetPtonW(AF_INET, nullptr, &V4), -1);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
}

TEST(InetNtopW, RoundTripsAndChecksTheBufferSize) {
    IN6_ADDR V6{};
    ASSERT_EQ(InetPtonW(AF_INET6, L"2001:db8::1", &V6), 1);
    WCHAR Text[INET6_ADDRSTRLEN];
    ASSERT_NE(InetNtopW(AF_INET6, &V6, Text, INET6_ADDRSTRLEN), nullptr);
    EXPECT_EQ(std::wstring(Text), L"2001:db8::1");
    IN_ADDR V4{};
    V4.s_addr = htonl(0x7F000001);
    // "127.0.0.1" plus its terminator: exactly 10 fits, 9 does not.
    EXPECT_EQ(InetNtopW(AF_INET, &V4, Text, 10), Text);
    EXPECT_EQ(std::wstring(Text), L"127.0.0.1");
    EXPECT_EQ(InetNtopW(AF_INET, &V4, Text, 9), nullptr);
    EXPECT_EQ(WSAGetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(InetNtopW(AF_UNIX, &V4, Text, 10), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}

TEST(ByteOrder, NetworkOrderHelpers) {
    EXPECT_EQ(ntohs(htons(0x1234)), 0x1234);
    EXPECT_EQ(ntohl(htonl(0x12345678u)), 0x12345678u);
    const std::uint32_t Loopback = inet_addr("127.0.0.1");
    unsigned char Bytes[4];
    std::memcpy(Bytes, &Loopback, 4);
    EXPECT_EQ(Bytes[0], 127);
    EXPECT_EQ(Bytes[3], 1);
    EXPECT_EQ(inet_addr("not an address"), INADDR_NONE);
}
