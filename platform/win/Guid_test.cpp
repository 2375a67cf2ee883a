// Guid tests: random version-4 UUIDs, their registry text, and the COM start-up count.
#include "platform/rtl/Utf.h"

#include <gtest/gtest.h>

#include <combaseapi.h>
#include <cstring>
#include <objbase.h>
#include <rpc.h>
#include <set>
#include <string>
#include <thread>

namespace {

bool IsVersion4(const GUID& Guid) {
    return (Guid.Data3 >> 12) == 4 && (Guid.Data4[0] & 0xC0) == 0x80;
}

std::string Text(const GUID& Guid) {
    wchar_t Buffer[39];
    EXPECT_EQ(StringFromGUID2(Guid, Buffer, 39), 39);
    return rtl::WideToUtf8(Buffer);
}

} // namespace

TEST(UuidCreate, GivesDistinctVersionFourUuids) {
    std::set<std::string> Seen;
    for (int I = 0; I < 1000; ++I) {
        UUID Uuid{};
        ASSERT_EQ(UuidCreate(&Uuid), RPC_S_OK);
        EXPECT_TRUE(IsVersion4(Uuid));
        GUID Guid{};
        ASSERT_EQ(CoCreateGuid(&Guid), S_OK);
        EXPECT_TRUE(IsVersion4(Guid));
        Seen.insert(Text(Uuid));
        Seen.insert(Text(Guid));
    }
    EXPECT_EQ(Seen.size(), 2000u);
    EXPECT_EQ(UuidCreate(nullptr), RPC_S_INVALID_ARG);
    EXPECT_EQ(CoCreateGuid(nullptr), E_POINTER);
}

TEST(StringFromGUID2, RegistryFormInUpperCase) {
    const GUID Guid = {
        0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
    EXPECT_EQ(Text(Guid), "{0123ABCD-4567-89EF-FEDC-BA9876543210}");
    const GUID Zero{};
    EXPECT_EQ(Text(Zero), "{00000000-0000-0000-0000-000000000000}");
    // Exactly 39 characters fit; 38 do not, and nothing is written.
    wchar_t Short[38];
    std::wmemset(Short, L'x', 38);
    EXPECT_EQ(StringFromGUID2(Guid, Short, 38), 0);
    EXPECT_EQ(Short[0], L'x');
    EXPECT_EQ(StringFromGUID2(Guid, nullptr, 39), 0);
}

TEST(CoInitialize, CountsPerThreadAndKeepsItsModel) {
    // A fresh thread, so that no other test's state matters.
    std::thread([] {
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
        CoUninitialize(); // One too many: ignored.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
    std::thread([] {
        // Another thread has its own count.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(RPC_E_CHANGED_MODE));
}
