// zefBase_Helpers: identifiers, text helpers, byte helpers.
#include "websocket/core/zefBase_Helpers.h"

#include "platform/rtl/Exception.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

using namespace zef;

TEST(NewGuid, ThirtyTwoUpperHexDigitsAndFresh) {
    std::set<std::string> Seen;
    for (int I = 0; I < 100; ++I) {
        std::string Guid = NewGuid();
        ASSERT_EQ(Guid.size(), 32u);
        EXPECT_EQ(Guid.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        Seen.insert(Guid);
    }
    EXPECT_EQ(Seen.size(), 100u);
}

TEST(GetTicks, NeverGoesBack) {
    std::uint64_t A = GetTicks();
    EXPECT_GE(GetTicks(), A);
    EXPECT_GT(Now(), 40000.0); // after the year 2009
}

TEST(TextHelpers, CaseTable) {
    EXPECT_EQ(ReplaceText("a-b-c", "-", "+-"), "a+-b+-c");
    EXPECT_EQ(ReplaceText("abc", "", "x"), "abc");
    EXPECT_TRUE(ContainsText("upgrade: websocket", "Upgrade: WebSocket"));
    EXPECT_FALSE(ContainsText("upgrade", "upgrades"));
    EXPECT_TRUE(ContainsText("x", ""));
    const std::tuple<const char*, const char*, bool> Masks[] = {
        {"GET /ws/ HTTP/1.1", "GET *", true},
        {"get x", "GET *", true},
        {"GET", "GET *", false},
        {"abc", "a?c", true},
        {"abc", "a*", true},
        {"abc", "*c", true},
        {"abc", "*b", false},
        {"", "*", true},
        {"aXbXc", "*b*c", true},
        {"data: x", "data:*", true},
        {"HTTP/1.1", "*HTTP/1.*", true},
        {"HTTP/2", "*HTTP/1.*", false},
    };
    for (const auto& [Text, Mask, Expected] : Masks) {
        SCOPED_TRACE(std::string(Text) + " ~ " + Mask);
        EXPECT_EQ(MatchesMask(Text, Mask), Expected);
    }
}

namespace {

char Folded(char C) {
    return (C >= 'A' && C <= 'Z') ? char(C - 'A' + 'a') : C;
}

// Plain recursive references for the differential test below.
bool ReferenceMatch(std::string_view aText, std::string_view aMask) {
    if (aMask.empty()) {
        return aText.empty();
    }
    if (aMask[0] == '*') {
        for (std::size_t I = 0; I <= aText.size(); ++I) {
            if (ReferenceMatch(aText.substr(I), aMask.substr(1))) {
                return true;
            }
        }
        return false;
    }
    return !aText.empty() && (aMask[0] == '?' || Folded(aMask[0]) == Folded(aText[0])) &&
           ReferenceMatch(aText.substr(1), aMask.substr(1));
}

bool ReferenceContains(std::string_view aText, std::string_view aSubText) {
    std::string Text(aText), Sub(aSubText);
    for (char& C : Text) {
        C = Folded(C);
    }
    for (char& C : Sub) {
        C = Folded(C);
    }
    return Text.find(Sub) != std::string::npos;
}

} // namespace

TEST(TextHelpers, ContainsAndMasksAgreeWithPlainReferences) {
    // Every text and pattern up to three characters over a letter in both cases, characters
    // one bit away from each other's case ('@' and '`'), a byte above 127 and the wildcards:
    // only ASCII letters fold.
    const std::string Alphabet = "aAz@`\xC1*?";
    std::vector<std::string> Words = {""};
    for (std::size_t From = 0, Length = 1; Length <= 3; ++Length) {
        const std::size_t To = Words.size();
        for (std::size_t W = From; W < To; ++W) {
            for (char C : Alphabet) {
                Words.push_back(Words[W] + C);
            }
        }
        From = To;
    }
    for (const std::string& Text : Words) {
        for (const std::string& Pattern : Words) {
            ASSERT_EQ(MatchesMask(Text, Pattern), ReferenceMatch(Text, Pattern))
                << "\"" << Text << "\" ~ \"" << Pattern << "\"";
            ASSERT_EQ(ContainsText(Text, Pattern), ReferenceContains(Text, Pattern))
                << "\"" << Text << "\" in \"" << Pattern << "\"";
        }
    }
}

TEST(Base64, RoundTripOverAllByteValues) {
    std::vector<std::uint8_t> All(256);
    for (int I = 0; I < 256; ++I) {
        All[std::size_t(I)] = std::uint8_t(I);
    }
    for (std::size_t Length = 0; Length <= All.size(); Length += 37) {
        std::span<const std::uint8_t> Part(All.data(), Length);
        std::string Decoded = DecodeBase64(EncodeBase64(Part));
        EXPECT_EQ(Decoded, std::string(Part.begin(), Part.end()));
    }
    EXPECT_EQ(EncodeBase64(std::vector<std::uint8_t>{'f', 'o', 'o', 'b'}), "Zm9vYg==");
    EXPECT_EQ(DecodeBase64("Zm9v\r\nYg=="), "foob");
}

TEST(StrToInt64, CaseTable) {
    EXPECT_EQ(StrToInt64("15"), 15);
    EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(StrToInt64("+7"), 7);
    for (const char* Bad : {"", " 1", "1 ", "x", "9223372036854775808", "+-1", "1.0"}) {
        SCOPED_TRACE(Bad);
        EXPECT_THROW(StrToInt64(Bad), rtl::EConvertError);
    }
}

TEST(ByteHelpers, AppendAndKeepLast) {
    std::vector<std::uint8_t> Target{1};
    AppendBytes(std::vector<std::uint8_t>{2, 3}, Target);
    EXPECT_EQ(Target, (std::vector<std::uint8_t>{1, 2, 3}));
    rtl::TMemoryStream Stream("0123456789");
    Stream.SetPosition(7);
    KeepLastBytes(Stream, 4);
    EXPECT_EQ(Stream.DataString(), "6789");
    EXPECT_EQ(Stream.Position(), 0);
    KeepLastBytes(Stream, 10);
    EXPECT_EQ(Stream.DataString(), "6789");
}

TEST(ParseURL, CaseTable) {
    struct TCase {
        const char* URL;
        const char *Protocol, *Host, *Port, *Path, *Query;
    };
    const TCase Cases[] = {
        {"ws://127.0.0.1:2001/ws/?a=1", "ws", "127.0.0.1", "2001", "/ws/", "a=1"},
        {"http://host/path/doc.html", "http", "host", "", "/path/doc.html", ""},
        {"host:80", "", "host", "80", "", ""},
        {"wss://[::1]:443/x", "wss", "[::1]", "443", "/x", ""},
        {"", "", "", "", "", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.URL);
        std::string Protocol = "old", Host = "old", Port = "old", Path = "old", Query = "old";
        ParseURL(Case.URL, Protocol, Host, Port, Path, Query);
        EXPECT_EQ(Protocol, Case.Protocol);
        EXPECT_EQ(Host, Case.Host);
        EXPECT_EQ(Port, Case.Port);
        EXPECT_EQ(Path, Case.Path);
        EXPECT_EQ(Query, Case.Query);
    }
}

TEST(SplitText, CaseTable) {
    std::string Text = "Key: Value: More", Before;
    SplitText(Text, ": ", true, Before);
    EXPECT_EQ(Before, "Key");
    EXPECT_EQ(Text, "Value: More");
    SplitText(Text, "VALUE", false, Before);
    EXPECT_EQ(Before, "");
    EXPECT_EQ(Text, "Value: More");
    SplitText(Text, "#", true, Before);
    EXPECT_EQ(Before, "Value: More");
    EXPECT_EQ(Text, "");
}
