// Resources tests: files embedded at build time (through a static library) found by name.
#include "platform/win/Resources.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Load(const wchar_t* Name) {
    HRSRC Resource = FindResourceW(nullptr, Name, RT_RCDATA);
    if (Resource == nullptr) {
        return "<missing>";
    }
    HGLOBAL Data = LoadResource(nullptr, Resource);
    const DWORD Size = SizeofResource(nullptr, Resource);
    EXPECT_NE(Data, nullptr);
    return std::string(static_cast<const char*>(LockResource(Data)), Size);
}

} // namespace

TEST(FindResourceW, FindsEmbeddedFilesByCaseInsensitiveName) {
    struct TCase {
        const wchar_t* Name;
        std::string Content;
    };
    const TCase Cases[] = {
        {L"HELLO.TXT", "Hello, resource.\n"},
        {L"hello.txt", "Hello, resource.\n"},
        {L"Page.Html", std::string("<html>\0\x01\xff</html>", 16)},
        {L"EMPTY.BIN", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(testing::Message() << Case.Content.size());
        EXPECT_EQ(Load(Case.Name), Case.Content);
    }
    EXPECT_FALSE(
        FreeResource(LoadResource(nullptr, FindResourceW(nullptr, L"HELLO.TXT", RT_RCDATA))));
}

TEST(FindResourceW, MissingNamesAndTypesFail) {
    EXPECT_EQ(FindResourceW(nullptr, L"NOPE.TXT", RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(FindResourceW(nullptr, L"HELLO.TXT", MAKEINTRESOURCEW(3)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    int NotAResource = 0;
    EXPECT_EQ(LoadResource(nullptr, &NotAResource), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SizeofResource(nullptr, nullptr), 0u);
}

TEST(RegisterResource, FirstRegistrationOfANameStays) {
    static const char First[] = "first";
    static const char Second[] = "second";
    win::RegisterResource(L"Registered.Twice", First, 5);
    win::RegisterResource(L"REGISTERED.TWICE", Second, 6);
    EXPECT_EQ(Load(L"registered.twice"), "first");
}
