// Escaping: hexadecimal digits and percent-escapes, every byte value and every malformed shape.
#include "platform/rtl/Escaping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

namespace rtl {
namespace {

// Exact-size copy: a read past the end is caught by ASan (a std::string's NUL would hide it).
std::unique_ptr<char[]> ExactCopy(std::string_view Text) {
    auto Copy = std::make_unique_for_overwrite<char[]>(Text.size());
    std::copy(Text.begin(), Text.end(), Copy.get());
    return Copy;
}

TEST(HexDigitValue, EveryCharacter) {
    for (int C = 0; C < 256; ++C) {
        SCOPED_TRACE(C);
        int Expected = -1;
        if (C >= '0' && C <= '9') {
            Expected = C - '0';
        } else if (C >= 'a' && C <= 'f') {
            Expected = C - 'a' + 10;
        } else if (C >= 'A' && C <= 'F') {
            Expected = C - 'A' + 10;
        }
        EXPECT_EQ(HexDigitValue(static_cast<char>(C)), Expected);
    }
}

struct TEscapeCase {
    const char* Name;
    std::string_view Text;
    std::size_t At;
    int Expected; // -1: no well-formed escape there
};

constexpr TEscapeCase EscapeCases[] = {
    {.Name = "upper case", .Text = "%4A", .At = 0, .Expected = 0x4A},
    {.Name = "lower case", .Text = "%4a", .At = 0, .Expected = 0x4A},
    {.Name = "zero byte", .Text = "%00", .At = 0, .Expected = 0},
    {.Name = "last byte value", .Text = "%fF", .At = 0, .Expected = 0xFF},
    {.Name = "at the very end", .Text = "ab%20", .At = 2, .Expected = 0x20},
    {.Name = "one digit left", .Text = "ab%2", .At = 2, .Expected = -1},
    {.Name = "nothing left", .Text = "ab%", .At = 2, .Expected = -1},
    {.Name = "position past the end", .Text = "%20", .At = 3, .Expected = -1},
    {.Name = "not a percent sign", .Text = "x20", .At = 0, .Expected = -1},
    {.Name = "first not hex", .Text = "%g0", .At = 0, .Expected = -1},
    {.Name = "second not hex", .Text = "%0g", .At = 0, .Expected = -1},
    {.Name = "sign is not a digit", .Text = "%+1", .At = 0, .Expected = -1},
};

TEST(PercentEscapeAt, CaseTable) {
    for (const TEscapeCase& Case : EscapeCases) {
        SCOPED_TRACE(Case.Name);
        const auto Copy = ExactCopy(Case.Text);
        EXPECT_EQ(PercentEscapeAt({Copy.get(), Case.Text.size()}, Case.At), Case.Expected);
    }
}

TEST(PercentEscapeAt, EveryByteValueRoundTrips) {
    constexpr char Digits[] = "0123456789ABCDEF";
    for (int Byte = 0; Byte < 256; ++Byte) {
        SCOPED_TRACE(Byte);
        const std::string Escape = {'%', Digits[Byte / 16], Digits[Byte % 16]};
        const auto Copy = ExactCopy(Escape);
        EXPECT_EQ(PercentEscapeAt({Copy.get(), 3}, 0), Byte);
    }
}

struct TDecodeCase {
    const char* Name;
    std::string_view Text;
    std::string_view Expected;
};

constexpr TDecodeCase DecodeCases[] = {
    {.Name = "plain", .Text = "abc", .Expected = "abc"},
    {.Name = "empty", .Text = "", .Expected = ""},
    {.Name = "escaped space", .Text = "a%20b", .Expected = "a b"},
    {.Name = "escape at the end", .Text = "a%41", .Expected = "aA"},
    {.Name = "truncated escape kept", .Text = "a%4", .Expected = "a%4"},
    {.Name = "lone percent kept", .Text = "%", .Expected = "%"},
    {.Name = "malformed escape kept", .Text = "%zz%41", .Expected = "%zzA"},
    {.Name = "escaped percent not decoded twice", .Text = "%2541", .Expected = "%41"},
    {.Name = "bytes that are not UTF-8",
     .Text = "%FF%00",
     .Expected = std::string_view("\xFF\0", 2)},
};

TEST(PercentDecodeLenient, CaseTable) {
    for (const TDecodeCase& Case : DecodeCases) {
        SCOPED_TRACE(Case.Name);
        const auto Copy = ExactCopy(Case.Text);
        EXPECT_EQ(PercentDecodeLenient({Copy.get(), Case.Text.size()}), Case.Expected);
    }
}

} // namespace
} // namespace rtl
