// Utf: UTF-8 validation and conversion.
#include "platform/rtl/Utf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

namespace rtl {
namespace {

struct TUtf8Case {
    const char* Name;
    std::string_view Input;
    bool Valid;
};

TEST(IsValidUtf8, CaseTable) {
    const TUtf8Case Cases[] = {
        {"ascii", "hello", true},
        {"two bytes", "\xC3\xA9", true},
        {"three bytes", "\xE2\x82\xAC", true},
        {"four bytes", "\xF0\x9F\x98\x80", true},
        {"largest code point", "\xF4\x8F\xBF\xBF", true},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three bytes", "\xE0\x80\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"lone continuation", "\x80", false},
        {"truncated", "\xE2\x82", false},
        {"bad continuation", "\xC3\x28", false},
        {"invalid lead", "\xFF", false},
    };
    for (const TUtf8Case& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(IsValidUtf8(Case.Input), Case.Valid);
    }
}

// ASCII runs are tested eight bytes at a time: a byte at or above 0x80 must be seen at every
// position of a run, at every length around the word size, in an exact-size buffer.
TEST(IsAscii, HighByteAtEveryPositionOfRunsAroundTheWordSize) {
    for (std::size_t Length = 0; Length <= 40; ++Length) {
        SCOPED_TRACE(Length);
        auto Buffer = std::make_unique_for_overwrite<char[]>(Length);
        std::fill_n(Buffer.get(), Length, 'a');
        const std::string_view Text(Buffer.get(), Length);
        EXPECT_TRUE(IsAscii(Text));
        EXPECT_TRUE(IsValidUtf8(Text));
        for (std::size_t At = 0; At < Length; ++At) {
            SCOPED_TRACE(At);
            Buffer[At] = '\x80';
            EXPECT_FALSE(IsAscii(Text));
            EXPECT_FALSE(IsValidUtf8(Text)); // a lone continuation byte
            Buffer[At] = '\x7F';
            EXPECT_TRUE(IsAscii(Text));
            if (At + 2 <= Length) {
                Buffer[At] = '\xC3'; // a two-byte sequence after and before ASCII runs
                Buffer[At + 1] = '\xA9';
                EXPECT_FALSE(IsAscii(Text));
                EXPECT_TRUE(IsValidUtf8(Text));
                Buffer[At + 1] = 'a';
            }
            Buffer[At] = 'a';
        }
    }
}

TEST(Utf8ToWide, RoundTripsEveryPlaneAndReplacesIllFormedBytes) {
    const std::string Text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::wstring Wide = Utf8ToWide(Text);
    EXPECT_EQ(Wide, std::wstring(L"a\u00E9\u20AC\U0001F600"));
    EXPECT_EQ(WideToUtf8(Wide), Text);
    EXPECT_EQ(Utf8ToWide("x\xFFy"), std::wstring(L"x\uFFFDy"));
    EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD");
}

} // namespace
} // namespace rtl
