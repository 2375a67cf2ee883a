// Format: message texts with "%s" placeholders.
#include "platform/rtl/Format.h"

namespace rtl {

std::string FormatText(std::string_view Pattern, std::initializer_list<std::string_view> Args) {
    std::string Result;
    Result.reserve(Pattern.size() + 32);
    auto Next = Args.begin();
    for (std::size_t I = 0; I < Pattern.size(); ++I) {
        const char C = Pattern[I];
        if (C == '%' && I + 1 < Pattern.size()) {
            const char Kind = Pattern[I + 1];
            if (Kind == '%') {
                Result += '%';
                ++I;
                continue;
            }
            if (Kind == 's' && Next != Args.end()) {
                Result += *Next++;
                ++I;
                continue;
            }
        }
        Result += C;
    }
    return Result;
}

} // namespace rtl
