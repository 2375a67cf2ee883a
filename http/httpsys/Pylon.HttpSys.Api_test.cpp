// Pylon.HttpSys.Api: binding the platform library and checking its results.
#include "http/httpsys/Pylon.HttpSys.Api.h"

#include <gtest/gtest.h>

namespace pylon {
namespace {

TEST(HttpCheck, SuccessDoesNothing) {
    EXPECT_NO_THROW(HttpCheck(NO_ERROR));
}

TEST(HttpCheck, FailureRaisesWithTheSystemText) {
    struct TCase {
        ULONG Code;
        const char* Text;
    };
    constexpr TCase Cases[] = {
        {ERROR_ACCESS_DENIED, "Access is denied."},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
        {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Code);
        try {
            HttpCheck(Case.Code);
            FAIL() << "no exception";
        } catch (const EHttpApiException& E) {
            EXPECT_EQ(E.ClassName(), "EHttpApiException");
            EXPECT_EQ(std::string(E.what()), std::string("HTTP Server API Error.\r\n") + Case.Text);
        }
    }
}

TEST(BindHttpApiLibrary, AMissingLibraryIsReportedAsFalse) {
    THttpApiFunctions Functions;
    EXPECT_FALSE(BindHttpApiLibrary(L"no_such_library_here.dll", Functions));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(Functions.HttpInitialize, nullptr);
}

TEST(BindHttpApiLibrary, ALibraryWithoutTheFunctionsNamesTheFirstMissingOne) {
    THttpApiFunctions Functions;
    try {
        BindHttpApiLibrary(L"wintestmodule.dll", Functions);
        FAIL() << "no exception";
    } catch (const EHttpApiException& E) {
        EXPECT_EQ(std::string(E.what()), "httpapi.dll - Could not find method: HttpInitialize");
    }
    EXPECT_EQ(Functions.HttpInitialize, nullptr); // Nothing half-bound is handed out.
}

TEST(LoadHttpApiLibrary, BindsEveryFunctionOnce) {
    ASSERT_TRUE(LoadHttpApiLibrary());
    ASSERT_TRUE(LoadHttpApiLibrary());
    const THttpApiFunctions& Api = HttpApi();
    EXPECT_NE(Api.HttpInitialize, nullptr);
    EXPECT_NE(Api.HttpReceiveHttpRequest, nullptr);
    EXPECT_NE(Api.HttpQueryServiceConfiguration, nullptr);
}

} // namespace
} // namespace pylon
