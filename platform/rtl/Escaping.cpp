// Escaping: hexadecimal digits and percent-escapes ("%41"), decoded once for every layer.
#include "platform/rtl/Escaping.h"

namespace rtl {

int HexDigitValue(char C) noexcept {
    if (C >= '0' && C <= '9') {
        return C - '0';
    }
    if (C >= 'a' && C <= 'f') {
        return C - 'a' + 10;
    }
    if (C >= 'A' && C <= 'F') {
        return C - 'A' + 10;
    }
    return -1;
}

int PercentEscapeAt(std::string_view Text, std::size_t At) noexcept {
    if (At >= Text.size() || Text.size() - At < 3 || Text[At] != '%') {
        return -1;
    }
    const int High = HexDigitValue(Text[At + 1]);
    const int Low = HexDigitValue(Text[At + 2]);
    return High < 0 || Low < 0 ? -1 : High * 16 + Low;
}

std::string PercentDecodeLenient(std::string_view Text) {
    std::string Result;
    Result.reserve(Text.size());
    for (std::size_t I = 0; I < Text.size(); ++I) {
        const int Byte = Text[I] == '%' ? PercentEscapeAt(Text, I) : -1;
        if (Byte >= 0) {
            Result += static_cast<char>(Byte);
            I += 2;
        } else {
            Result += Text[I];
        }
    }
    return Result;
}

} // namespace rtl
