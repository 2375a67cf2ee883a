// Pylon.Utils: fuzz target for percent-decoding, query strings, durations and header values.
#include "http/framework/Pylon.Utils.h"
#include "platform/rtl/Exception.h"
#include "platform/rtl/Utf.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The first byte picks the parser; the rest is its input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) {
        return 0;
    }
    const std::string_view Text(reinterpret_cast<const char*>(Data + 1), Size - 1);
    using pylon::TPylonUtils;
    switch (Data[0] % 5) {
    case 0: {
        const std::string Decoded = TPylonUtils::PercentDecode(Text);
        // Each input byte yields at most one replacement character (3 bytes).
        if (!rtl::IsValidUtf8(Decoded) || Decoded.size() > 3 * Text.size()) {
            __builtin_trap();
        }
        if (rtl::IsValidUtf8(Text) &&
            TPylonUtils::PercentDecode(TPylonUtils::PercentEncode(Text)) != Text) {
            __builtin_trap();
        }
        break;
    }
    case 1: {
        const bool DecodePlus = Size > 1 && (Data[1] & 1) != 0;
        const auto Params = TPylonUtils::GetQueryParams(Text, DecodePlus);
        std::string_view Query = Text;
        if (!Query.empty() && Query.front() == '?') {
            Query.remove_prefix(1);
        }
        const std::size_t Pieces =
            Query.empty() ? 0 : std::size_t(std::count(Query.begin(), Query.end(), '&')) + 1;
        if (Params.size() != Pieces) {
            __builtin_trap();
        }
        for (const auto& Param : Params) {
            if (!rtl::IsValidUtf8(Param.Key) || !rtl::IsValidUtf8(Param.Value)) {
                __builtin_trap();
            }
        }
        break;
    }
    case 2: {
        pylon::TDateTime Time = 0;
        try {
            if (TPylonUtils::TryDayTimeDurationToDateTime(Text, Time)) {
                const std::string Back = TPylonUtils::DateTimeToDayTimeDuration(Time);
                pylon::TDateTime Again = -1;
                if (!TPylonUtils::TryDayTimeDurationToDateTime(Back, Again) ||
                    std::abs(Again - Time) > 1e-6) {
                    __builtin_trap();
                }
            }
        } catch (const rtl::EConvertError&) {
            // Fields out of range are reported this way.
        }
        break;
    }
    case 3: {
        const pylon::THeaderParamsInfo Info = TPylonUtils::ParseHeaderParams(Text);
        if (Info.Value.size() > Text.size()) {
            __builtin_trap();
        }
        for (const auto& Param : Info.Params) {
            std::string Found;
            if (Param.Name.empty() || !Info.TryParamValue(Param.Name, Found)) {
                __builtin_trap();
            }
            for (const char C : Param.Name) {
                if (C >= 'A' && C <= 'Z') {
                    __builtin_trap();
                }
            }
        }
        break;
    }
    case 4: {
        // "accept|candidate,candidate,..."
        const std::size_t Bar = Text.find('|');
        const std::string_view Accept = Text.substr(0, Bar);
        std::vector<std::string> Values;
        if (Bar != std::string_view::npos) {
            std::string_view Rest = Text.substr(Bar + 1);
            while (!Rest.empty()) {
                const std::size_t Comma = std::min(Rest.find(','), Rest.size());
                Values.emplace_back(Rest.substr(0, Comma));
                Rest.remove_prefix(std::min(Comma + 1, Rest.size()));
            }
        }
        const std::string Type = TPylonUtils::AcceptsType(Accept, Values);
        const std::string Encoding = TPylonUtils::AcceptsEncoding(Accept, Values);
        // The answer is always one of the candidates, or nothing.
        for (const std::string* Answer : {&Type, &Encoding}) {
            if (!Answer->empty() &&
                std::find(Values.begin(), Values.end(), *Answer) == Values.end()) {
                __builtin_trap();
            }
        }
        break;
    }
    }
    return 0;
}
