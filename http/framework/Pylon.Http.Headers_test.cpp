// Pylon.Http.Headers: tests of the header collection and its raw text forms.
#include "http/framework/Pylon.Http.Headers.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace pylon {
namespace {

std::map<std::string, std::string> Entries(const THttpHeaders& Headers) {
    std::map<std::string, std::string> Result;
    for (const THttpHeaderInfo& Entry : Headers.AllHeaders()) {
        Result[Entry.Name()] = Entry.Value();
    }
    return Result;
}

TEST(THttpHeaders, NamesMatchWithoutCaseAndAreStoredInLowerCase) {
    THttpHeaders Headers;
    Headers.SetValue("Content-Type", "  text/plain  ");
    EXPECT_EQ(Headers.Get("CONTENT-TYPE"), "text/plain");
    EXPECT_TRUE(Headers.Exists("content-type"));
    ASSERT_EQ(Headers.AllHeaders().size(), 1u);
    EXPECT_EQ(Headers.AllHeaders()[0].Name(), "content-type");
    EXPECT_EQ(Headers.AllHeaders()[0].AnsiName(), "content-type");
    EXPECT_EQ(Headers.AllHeaders()[0].AnsiValue(), "text/plain");
    Headers.SetValue("content-TYPE", "a");
    EXPECT_EQ(Entries(Headers), (std::map<std::string, std::string>{{"content-type", "a"}}));
    // Only A to Z fold.
    Headers.SetValue("X-\xC3\x89", "e");
    EXPECT_FALSE(Headers.Exists("x-\xC3\xA9"));
    EXPECT_TRUE(Headers.Exists("x-\xC3\x89"));
}

TEST(THttpHeaders, AddValueFoldsRepeatedNamesWithAComma) {
    THttpHeaders Headers;
    Headers.AddValue("Accept", "a");
    Headers.AddValue("accept", " b ");
    EXPECT_EQ(Headers.Get("accept"), "a, b");
    Headers.AddValue("x", "");
    Headers.AddValue("x", "");
    EXPECT_EQ(Headers.Get("x"), ",");
}

TEST(THttpHeaders, EmptyNamesAbsentNamesAndRemoval) {
    THttpHeaders Headers;
    Headers.SetValue("", "x");
    Headers.AddValue("", "x");
    EXPECT_TRUE(Headers.AllHeaders().empty());
    std::string Value = "kept";
    EXPECT_FALSE(Headers.GetIfExists("absent", Value));
    EXPECT_EQ(Value, "kept");
    EXPECT_EQ(Headers.Get("absent"), "");
    Headers.Remove("absent");
    Headers.SetValue("a", "1");
    Headers.SetValue("b", "2");
    EXPECT_TRUE(Headers.GetIfExists("A", Value));
    EXPECT_EQ(Value, "1");
    Headers.Remove("A");
    EXPECT_EQ(Entries(Headers), (std::map<std::string, std::string>{{"b", "2"}}));
    Headers.Clear();
    EXPECT_TRUE(Headers.AllHeaders().empty());
    const IReadOnlyHttpHeaders& View = Headers;
    EXPECT_FALSE(View.Exists("b"));
    EXPECT_TRUE(View.GetAllHeaders().empty());
}

TEST(THttpHeaders, RawWideHeadersText) {
    THttpHeaders Headers;
    EXPECT_EQ(Headers.RawWideHeaders(), L"\r\n");
    Headers.SetValue("accept", "x");
    EXPECT_EQ(Headers.RawWideHeaders(), L"accept:x\r\n\r\n");
    Headers.SetValue("x-euro", "\xE2\x82\xAC");
    EXPECT_EQ(Headers.GetRawWideHeaders(), L"accept:x\r\nx-euro:\u20AC\r\n\r\n");
}

TEST(THttpHeaders, SetRawWideHeaders) {
    struct TCase {
        const wchar_t* Name;
        std::wstring_view Raw;
        std::map<std::string, std::string> Expected;
    };
    const TCase Cases[] = {
        {L"fold and continue", L"A: 1\r\na: 2\r\n  3\r\n\r\n", {{"a", "1,2 3"}}},
        {L"stops at the empty line", L"a: 1\r\n\r\nb: 2\r\n", {{"a", "1"}}},
        {L"last line without CR LF", L"a: 1\r\nb:2", {{"a", "1"}, {"b", "2"}}},
        {L"lone LF stays in the line", L"a: 1\nb: 2\r\n", {{"a", "1\nb: 2"}}},
        {L"no colon drops continuation", L"a: 1\r\njunk\r\n\tmore\r\n", {{"a", "1"}}},
        {L"empty name drops continuation", L"a: 1\r\n: x\r\n more\r\n", {{"a", "1"}}},
        {L"continuation first is dropped", L" x\r\na:1\r\n", {{"a", "1"}}},
        {L"blank continuation adds nothing", L"a: 1\r\n \t \r\n", {{"a", "1"}}},
        {L"name is not trimmed", L"A : v\r\n", {{"a ", "v"}}},
        {L"value keeps inner colons", L"host: h:80\r\n", {{"host", "h:80"}}},
        {L"wide characters", L"x-name: \u00E9\u20AC\r\n", {{"x-name", "\xC3\xA9\xE2\x82\xAC"}}},
        {L"empty", L"", {}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(Case.Name)));
        auto Copy = std::make_unique_for_overwrite<wchar_t[]>(Case.Raw.size());
        std::copy(Case.Raw.begin(), Case.Raw.end(), Copy.get());
        THttpHeaders Headers;
        Headers.SetValue("old", "gone");
        Headers.SetRawWideHeaders({Copy.get(), Case.Raw.size()});
        EXPECT_EQ(Entries(Headers), Case.Expected);
    }
}

} // namespace
} // namespace pylon
