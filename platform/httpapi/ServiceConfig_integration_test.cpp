// ServiceConfig integration: the service configuration through the exported API, as Windows
// callers use it: sizes asked for first, enumeration with QueryNext, the short-buffer codes,
// records kept on disk for the next reader, and bad records refused.
#include "testing/TestConfigStore.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <http.h>
#include <string>
#include <vector>

using namespace httpapi::testing;

namespace {

/// HttpInitialize with the configuration flag for the test's life, and a store of its own.
class TServiceConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(
            HttpInitialize(HTTPAPI_VERSION HTTPAPI_VERSION_2, HTTP_INITIALIZE_CONFIG, nullptr),
            NO_ERROR);
    }
    void TearDown() override {
        EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr), NO_ERROR);
    }
    ULONG Reserve(const std::wstring& Url, const std::wstring& Sddl = L"D:(A;;GX;;;WD)") {
        std::wstring Prefix = Url;
        std::wstring Descriptor = Sddl;
        HTTP_SERVICE_CONFIG_URLACL_SET Set{};
        Set.KeyDesc.pUrlPrefix = Prefix.data();
        Set.ParamDesc.pStringSecurityDescriptor = Descriptor.data();
        return HttpSetServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set, sizeof(Set),
                                           nullptr);
    }
    TTestConfigStore FStore;
};

HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM ListenParam(const char* Address, sockaddr_in& Storage) {
    Storage = {};
    Storage.sin_family = AF_INET;
    inet_pton(AF_INET, Address, &Storage.sin_addr);
    return {sizeof(sockaddr_in), reinterpret_cast<PSOCKADDR>(&Storage)};
}

} // namespace

TEST_F(TServiceConfigTest, ReservationsEnumerateInKeyOrderWithSizesFirst) {
    const std::wstring Urls[] = {L"http://+:8081/b/", L"http://+:8080/a/", L"https://+:8443/"};
    for (const std::wstring& Url : Urls) {
        ASSERT_EQ(Reserve(Url), NO_ERROR);
    }
    HTTP_SERVICE_CONFIG_URLACL_QUERY Query{};
    Query.QueryDesc = HttpServiceConfigQueryNext;
    std::vector<std::wstring> Seen;
    for (Query.dwToken = 0;; ++Query.dwToken) {
        ULONG Needed = 0;
        const ULONG Sized =
            HttpQueryServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Query,
                                          sizeof(Query), nullptr, 0, &Needed, nullptr);
        if (Sized == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(Sized, ERROR_INSUFFICIENT_BUFFER);
        // One byte short is still too short; the size given is enough.
        std::vector<std::uint64_t> Buffer(Needed / 8 + 1);
        ULONG Again = 0;
        EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Query,
                                                sizeof(Query), Buffer.data(), Needed - 1, &Again,
                                                nullptr),
                  ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(Again, Needed);
        ASSERT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Query,
                                                sizeof(Query), Buffer.data(), Needed, &Needed,
                                                nullptr),
                  NO_ERROR);
        const auto* Set = reinterpret_cast<const HTTP_SERVICE_CONFIG_URLACL_SET*>(Buffer.data());
        // Every pointer leads into the caller's buffer.
        const auto* Begin = reinterpret_cast<const char*>(Buffer.data());
        const auto* Url = reinterpret_cast<const char*>(Set->KeyDesc.pUrlPrefix);
        EXPECT_TRUE(Url >= Begin && Url < Begin + Needed);
        Seen.emplace_back(Set->KeyDesc.pUrlPrefix);
        EXPECT_EQ(std::wstring(Set->ParamDesc.pStringSecurityDescriptor), L"D:(A;;GX;;;WD)");
    }
    EXPECT_EQ(Seen, (std::vector<std::wstring>{L"http://+:8080/a/", L"http://+:8081/b/",
                                               L"https://+:8443/"}));
}

TEST_F(TServiceConfigTest, BadReservationsAreRefusedAndNothingIsWritten) {
    struct TCase {
        const char* Name;
        std::wstring Url;
        std::wstring Sddl;
    };
    const TCase Cases[] = {
        {"no port", L"http://+/a/", L"D:(A;;GX;;;WD)"},
        {"upper-case scheme", L"HTTP://+:80/a/", L"D:(A;;GX;;;WD)"},
        {"descriptor without DACL", L"http://+:80/a/", L"O:BA"},
        {"unknown SID alias", L"http://+:80/a/", L"D:(A;;GX;;;ZZ)"},
        {"empty descriptor", L"http://+:80/a/", L""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(Reserve(Case.Url, Case.Sddl), ERROR_INVALID_PARAMETER);
    }
    EXPECT_FALSE(std::filesystem::exists(FStore.RecordsFile()));
}

TEST_F(TServiceConfigTest, TimeoutsAndTheirShortBuffer) {
    HTTP_SERVICE_CONFIG_TIMEOUT_KEY Key = HeaderWaitTimeout;
    HTTP_SERVICE_CONFIG_TIMEOUT_PARAM Value = 0;
    ULONG Needed = 0;
    EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Key, sizeof(Key),
                                            &Value, sizeof(Value), &Needed, nullptr),
              ERROR_FILE_NOT_FOUND);
    HTTP_SERVICE_CONFIG_TIMEOUT_SET Set{HeaderWaitTimeout, 42};
    ASSERT_EQ(
        HttpSetServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Set, sizeof(Set), nullptr),
        NO_ERROR);
    EXPECT_EQ(
        HttpSetServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Set, sizeof(Set), nullptr),
        ERROR_ALREADY_EXISTS);
    // A short buffer for a time-out is ERROR_MORE_DATA, as on Windows.
    EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Key, sizeof(Key),
                                            &Value, 1, &Needed, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(Needed, sizeof(Value));
    ASSERT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Key, sizeof(Key),
                                            &Value, sizeof(Value), &Needed, nullptr),
              NO_ERROR);
    EXPECT_EQ(Value, 42);
    HTTP_SERVICE_CONFIG_TIMEOUT_SET Unknown{};
    std::uint32_t Bad = 7;
    std::memcpy(&Unknown.KeyDesc, &Bad, sizeof(Bad));
    EXPECT_EQ(HttpSetServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Unknown,
                                          sizeof(Unknown), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Set, sizeof(Set),
                                             nullptr),
              NO_ERROR);
    EXPECT_EQ(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Set, sizeof(Set),
                                             nullptr),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(TServiceConfigTest, ListenListIsOneRecordOfAddresses) {
    sockaddr_in First{};
    sockaddr_in Second{};
    auto A = ListenParam("127.0.0.1", First);
    auto B = ListenParam("10.1.2.3", Second);
    ASSERT_EQ(
        HttpSetServiceConfiguration(nullptr, HttpServiceConfigIPListenList, &A, sizeof(A), nullptr),
        NO_ERROR);
    ASSERT_EQ(
        HttpSetServiceConfiguration(nullptr, HttpServiceConfigIPListenList, &B, sizeof(B), nullptr),
        NO_ERROR);
    EXPECT_EQ(
        HttpSetServiceConfiguration(nullptr, HttpServiceConfigIPListenList, &A, sizeof(A), nullptr),
        ERROR_ALREADY_EXISTS);
    auto Short = A;
    Short.AddrLength = sizeof(sockaddr_in) - 1;
    EXPECT_EQ(HttpSetServiceConfiguration(nullptr, HttpServiceConfigIPListenList, &Short,
                                          sizeof(Short), nullptr),
              ERROR_INVALID_PARAMETER);
    ULONG Needed = 0;
    EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigIPListenList, nullptr, 0,
                                            nullptr, 0, &Needed, nullptr),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Needed, offsetof(HTTP_SERVICE_CONFIG_IP_LISTEN_QUERY, AddrList) +
                          2 * sizeof(SOCKADDR_STORAGE));
    std::vector<std::uint64_t> Buffer(Needed / 8 + 1);
    ASSERT_EQ(HttpQueryServiceConfiguration(nullptr, HttpServiceConfigIPListenList, nullptr, 0,
                                            Buffer.data(), Needed, &Needed, nullptr),
              NO_ERROR);
    const auto& List = *reinterpret_cast<const HTTP_SERVICE_CONFIG_IP_LISTEN_QUERY*>(Buffer.data());
    ASSERT_EQ(List.AddrCount, 2u);
    char Text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(List.AddrList[0]).sin_addr, Text,
              sizeof(Text));
    EXPECT_STREQ(Text, "10.1.2.3"); // in key order
    EXPECT_EQ(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigIPListenList, &A, sizeof(A),
                                             nullptr),
              NO_ERROR);
    EXPECT_EQ(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigIPListenList, &A, sizeof(A),
                                             nullptr),
              ERROR_FILE_NOT_FOUND);
}

// Enumeration members hold whatever number the caller put there: one outside the enumeration
// is refused (read as a number, never loaded as the enumeration's type).
TEST_F(TServiceConfigTest, QueryTypesOutsideTheEnumerationAreRefused) {
    const std::uint32_t Bad = 7;
    HTTP_SERVICE_CONFIG_URLACL_QUERY Reservations{};
    std::memcpy(&Reservations.QueryDesc, &Bad, sizeof(Bad));
    HTTP_SERVICE_CONFIG_SSL_QUERY Bindings{};
    std::memcpy(&Bindings.QueryDesc, &Bad, sizeof(Bad));
    HTTP_SERVICE_CONFIG_SSL_SNI_QUERY Named{};
    std::memcpy(&Named.QueryDesc, &Bad, sizeof(Bad));
    HTTP_SERVICE_CONFIG_TIMEOUT_KEY Timeout{};
    std::memcpy(&Timeout, &Bad, sizeof(Bad));
    struct TCase {
        const char* Name;
        HTTP_SERVICE_CONFIG_ID Id;
        const void* Input;
        ULONG Length;
    };
    const TCase Cases[] = {
        {"reservations", HttpServiceConfigUrlAclInfo, &Reservations, sizeof(Reservations)},
        {"address bindings", HttpServiceConfigSSLCertInfo, &Bindings, sizeof(Bindings)},
        {"host-name bindings", HttpServiceConfigSslSniCertInfo, &Named, sizeof(Named)},
        {"time-outs", HttpServiceConfigTimeout, &Timeout, sizeof(Timeout)},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        ULONG Needed = 0;
        EXPECT_EQ(HttpQueryServiceConfiguration(nullptr, Case.Id, const_cast<void*>(Case.Input),
                                                Case.Length, nullptr, 0, &Needed, nullptr),
                  ERROR_INVALID_PARAMETER);
    }
}

TEST_F(TServiceConfigTest, IdsThisLayerDoesNotKeepAreNotSupported) {
    int Anything = 0;
    for (const HTTP_SERVICE_CONFIG_ID Id :
         {HttpServiceConfigCache, HttpServiceConfigSslCcsCertInfo, HttpServiceConfigSetting}) {
        SCOPED_TRACE(static_cast<int>(Id));
        EXPECT_EQ(HttpSetServiceConfiguration(nullptr, Id, &Anything, sizeof(Anything), nullptr),
                  ERROR_NOT_SUPPORTED);
    }
}
