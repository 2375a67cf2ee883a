// StringList: an ordered list of text lines with delimited-text, name=value and text forms.
#include "platform/rtl/StringList.h"

#include "platform/rtl/Exception.h"

#include <gtest/gtest.h>

#include <vector>

namespace rtl {
namespace {

std::vector<std::string> Items(const TStringList& List) {
    return {List.begin(), List.end()};
}

struct TDelimitedCase {
    const char* Name;
    bool Strict;
    std::string_view Input;
    std::vector<std::string> Expected;
};

TEST(TStringList, SetDelimitedTextCaseTable) {
    const TDelimitedCase Cases[] = {
        {"plain", false, "a,b,c", {"a", "b", "c"}},
        {"blanks separate when not strict", false, "a b, c", {"a", "b", "c"}},
        {"blanks stay when strict", true, " a b, c", {" a b", " c"}},
        {"quotes group", false, R"("a b",c)", {"a b", "c"}},
        {"doubled quote", true, R"("say ""hi""",x)", {R"(say "hi")", "x"}},
        {"unclosed quote runs to the end", true, R"("abc,def)", {"abc,def"}},
        {"empty items", true, ",,", {"", "", ""}},
        {"trailing delimiter", false, "a,", {"a", ""}},
        {"empty text", true, "", {}},
    };
    for (const TDelimitedCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TStringList List;
        List.SetStrictDelimiter(Case.Strict);
        List.SetDelimitedText(Case.Input);
        EXPECT_EQ(Items(List), Case.Expected);
    }
}

TEST(TStringList, DelimitedTextRoundTripsQuotedItems) {
    TStringList List{"plain", "with, comma", R"(with "quote")", "with blank", ""};
    TStringList Again;
    Again.SetDelimitedText(List.DelimitedText());
    EXPECT_EQ(Items(Again), Items(List));

    List.SetStrictDelimiter(true);
    EXPECT_EQ(List.DelimitedText(), R"(plain,"with, comma","with ""quote""",with blank,)");
    List.SetDelimiter(';');
    EXPECT_EQ(List.DelimitedText(), R"(plain;with, comma;"with ""quote""";with blank;)");
}

TEST(TStringList, NameValueLinesAreFoundWithoutRegardToCase) {
    TStringList List{"User=alice", "Pass=a=b", "no separator"};
    EXPECT_EQ(List.Values("user"), "alice");
    EXPECT_EQ(List.Values("PASS"), "a=b");
    EXPECT_EQ(List.Values("missing"), "");
    EXPECT_EQ(List.IndexOfName("no separator"), -1);
    EXPECT_EQ(List.Names(1), "Pass");

    List.SetValues("USER", "bob");
    EXPECT_EQ(List[0], "USER=bob");
    List.SetValues("new", "1");
    EXPECT_EQ(List[3], "new=1");
    List.SetValues("pass", "");
    EXPECT_EQ(Items(List), (std::vector<std::string>{"USER=bob", "no separator", "new=1"}));

    List.SetCaseSensitive(true);
    EXPECT_EQ(List.IndexOfName("user"), -1);
    EXPECT_EQ(List.IndexOf("NO SEPARATOR"), -1);
}

TEST(TStringList, TextSplitsEveryLineBreakAndJoinsWithCrLf) {
    TStringList List;
    List.SetText("a\r\nb\nc\rd");
    EXPECT_EQ(Items(List), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(List.Text(), "a\r\nb\r\nc\r\nd\r\n");
    List.SetText("one\r\n\r\n");
    EXPECT_EQ(Items(List), (std::vector<std::string>{"one", ""}));
}

TEST(TStringList, IndexOutOfRangeThrows) {
    TStringList List{"a"};
    EXPECT_THROW((void)List[1], EListError);
    EXPECT_THROW(List.Delete(1), EListError);
    EXPECT_THROW(List.Insert(2, "x"), EListError);
    List.Insert(1, "b");
    EXPECT_EQ(List[1], "b");
}

TEST(TStringList, CapacityGrowsWithoutTouchingTheLines) {
    TStringList List{"a", "b"};
    List.SetCapacity(10);
    EXPECT_GE(List.Capacity(), 10u);
    List.SetCapacity(1); // Below Count: nothing changes.
    EXPECT_GE(List.Capacity(), 10u);
    EXPECT_EQ(List.Count(), 2u);
    EXPECT_EQ(List[1], "b");
}

} // namespace
} // namespace rtl
