// Utf: UTF-8 validation and conversion between UTF-8 text and wide (UTF-32 wchar_t) text.
#include "platform/rtl/Utf.h"

#include <cstdint>
#include <cstring>

namespace rtl {

namespace {

constexpr char32_t Replacement = 0xFFFD;

// Decodes one code point at Text[Pos]; advances Pos past it (one byte for an ill-formed start,
// so that decoding resynchronises). Returns false for an ill-formed sequence.
bool DecodeOne(std::string_view Text, std::size_t& Pos, char32_t& Code) noexcept {
    const auto Byte = [&](std::size_t I) { return std::uint8_t(Text[I]); };
    const std::uint8_t Lead = Byte(Pos);
    if (Lead < 0x80) {
        Code = Lead;
        ++Pos;
        return true;
    }
    std::size_t Length = 0;
    char32_t Min = 0;
    if ((Lead & 0xE0) == 0xC0) {
        Length = 2;
        Code = Lead & 0x1F;
        Min = 0x80;
    } else if ((Lead & 0xF0) == 0xE0) {
        Length = 3;
        Code = Lead & 0x0F;
        Min = 0x800;
    } else if ((Lead & 0xF8) == 0xF0) {
        Length = 4;
        Code = Lead & 0x07;
        Min = 0x10000;
    } else {
        ++Pos;
        return false;
    }
    if (Pos + Length > Text.size()) {
        ++Pos;
        return false;
    }
    for (std::size_t I = 1; I < Length; ++I) {
        const std::uint8_t Next = Byte(Pos + I);
        if ((Next & 0xC0) != 0x80) {
            ++Pos;
            return false;
        }
        Code = (Code << 6) | (Next & 0x3F);
    }
    if (Code < Min || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF)) {
        ++Pos;
        return false;
    }
    Pos += Length;
    return true;
}

void EncodeOne(char32_t Code, std::string& Out) {
    if (Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF)) {
        Code = Replacement;
    }
    if (Code < 0x80) {
        Out += char(Code);
    } else if (Code < 0x800) {
        Out += char(0xC0 | (Code >> 6));
        Out += char(0x80 | (Code & 0x3F));
    } else if (Code < 0x10000) {
        Out += char(0xE0 | (Code >> 12));
        Out += char(0x80 | ((Code >> 6) & 0x3F));
        Out += char(0x80 | (Code & 0x3F));
    } else {
        Out += char(0xF0 | (Code >> 18));
        Out += char(0x80 | ((Code >> 12) & 0x3F));
        Out += char(0x80 | ((Code >> 6) & 0x3F));
        Out += char(0x80 | (Code & 0x3F));
    }
}

// The length of the run of ASCII bytes at the start of Text, tested eight bytes at a time.
std::size_t AsciiRun(std::string_view Text) noexcept {
    constexpr std::uint64_t HighBits = 0x8080808080808080;
    std::size_t Pos = 0;
    for (; Pos + sizeof(std::uint64_t) <= Text.size(); Pos += sizeof(std::uint64_t)) {
        std::uint64_t Word = 0;
        std::memcpy(&Word, Text.data() + Pos, sizeof Word);
        if ((Word & HighBits) != 0) {
            break;
        }
    }
    while (Pos < Text.size() && std::uint8_t(Text[Pos]) < 0x80) {
        ++Pos;
    }
    return Pos;
}

} // namespace

bool IsAscii(std::string_view Text) noexcept {
    return AsciiRun(Text) == Text.size();
}

bool IsValidUtf8(std::string_view Text) noexcept {
    std::size_t Pos = 0;
    while (Pos < Text.size()) {
        // Fast path over ASCII runs.
        if (std::uint8_t(Text[Pos]) < 0x80) {
            Pos += AsciiRun(Text.substr(Pos));
            continue;
        }
        char32_t Code = 0;
        if (!DecodeOne(Text, Pos, Code)) {
            return false;
        }
    }
    return true;
}

std::wstring Utf8ToWide(std::string_view Text) {
    std::wstring Result;
    Result.reserve(Text.size());
    std::size_t Pos = 0;
    while (Pos < Text.size()) {
        char32_t Code = 0;
        if (!DecodeOne(Text, Pos, Code)) {
            Code = Replacement;
        }
        Result += wchar_t(Code);
    }
    return Result;
}

std::string WideToUtf8(std::wstring_view Text) {
    std::string Result;
    Result.reserve(Text.size());
    for (wchar_t C : Text) {
        EncodeOne(char32_t(C), Result);
    }
    return Result;
}

} // namespace rtl
