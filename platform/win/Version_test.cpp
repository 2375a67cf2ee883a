// Version tests: the Windows 10 version record in every form the programs may ask for it.
#include <gtest/gtest.h>

#include <windows.h>

TEST(GetVersionExW, ReportsWindowsTenForBothRecordSizes) {
    OSVERSIONINFOEXW Ex{};
    Ex.dwOSVersionInfoSize = sizeof(Ex);
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&Ex)));
    EXPECT_EQ(Ex.dwMajorVersion, 10u);
    EXPECT_EQ(Ex.dwMinorVersion, 0u);
    EXPECT_EQ(Ex.dwBuildNumber, 19041u);
    EXPECT_EQ(Ex.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(Ex.wProductType, VER_NT_WORKSTATION);
    EXPECT_EQ(Ex.szCSDVersion[0], L'\0');
    OSVERSIONINFOW Plain{};
    Plain.dwOSVersionInfoSize = sizeof(Plain);
    ASSERT_TRUE(GetVersionExW(&Plain));
    EXPECT_EQ(Plain.dwMajorVersion, 10u);
    OSVERSIONINFOA Narrow{};
    Narrow.dwOSVersionInfoSize = sizeof(Narrow);
    ASSERT_TRUE(GetVersionExA(&Narrow));
    EXPECT_EQ(Narrow.dwBuildNumber, 19041u);
}

TEST(GetVersionExW, WrongSizesFail) {
    OSVERSIONINFOEXW Ex{};
    for (const DWORD Size : {0u, 4u, static_cast<DWORD>(sizeof(OSVERSIONINFOW) + 1)}) {
        SCOPED_TRACE(Size);
        Ex.dwOSVersionInfoSize = Size;
        EXPECT_FALSE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&Ex)));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&Ex)),
                  static_cast<NTSTATUS>(0xC000000Du));
    }
    EXPECT_FALSE(GetVersionExW(nullptr));
    EXPECT_EQ(RtlGetVersion(nullptr), static_cast<NTSTATUS>(0xC000000Du));
}

TEST(RtlGetVersion, ReportsWindowsTen) {
    RTL_OSVERSIONINFOW Info{};
    Info.dwOSVersionInfoSize = sizeof(Info);
    ASSERT_EQ(RtlGetVersion(&Info), STATUS_SUCCESS);
    EXPECT_EQ(Info.dwMajorVersion, 10u);
    EXPECT_EQ(Info.dwBuildNumber, 19041u);
    EXPECT_EQ(GetVersion(), (19041u << 16) | 10u);
}
