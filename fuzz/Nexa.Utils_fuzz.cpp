// Nexa.Utils: fuzz target for Base64, the ISO date and time parsers, and GUID text.
#include "http/framework/Nexa.Utils.h"
#include "platform/rtl/Exception.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// The first byte picks the parser (and for the time parsers the time-zone mode).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) {
        return 0;
    }
    const std::string_view Text(reinterpret_cast<const char*>(Data + 1), Size - 1);
    using pylon::TNexaUtils;
    const auto Mode = pylon::TTimeZoneMode((Data[0] / 8) % 4);
    try {
        switch (Data[0] % 8) {
        case 0: {
            const std::vector<std::uint8_t> Decoded = TNexaUtils::DecodeBase64(Text);
            if (Decoded.size() > (Text.size() + 2) / 4 * 3) {
                __builtin_trap();
            }
            // Decoded bytes survive a round trip.
            if (TNexaUtils::DecodeBase64(TNexaUtils::EncodeBase64(Decoded)) != Decoded) {
                __builtin_trap();
            }
            break;
        }
        case 1: {
            const std::span<const std::uint8_t> Bytes(Data + 1, Size - 1);
            const std::vector<std::uint8_t> Back =
                TNexaUtils::DecodeBase64(TNexaUtils::EncodeBase64(Bytes));
            if (!std::equal(Back.begin(), Back.end(), Bytes.begin(), Bytes.end())) {
                __builtin_trap();
            }
            break;
        }
        case 2: {
            pylon::TDateTime Date = -1;
            // A date that parses writes back as the very same text.
            if (TNexaUtils::TryISOToDate(Text, Date) && !Text.empty() &&
                TNexaUtils::DateToISO(Date) != Text) {
                __builtin_trap();
            }
            break;
        }
        case 3: {
            pylon::TDateTime Time = -1;
            if (TNexaUtils::TryISOToTime(Text, Time, Mode) && (Time < 0 || Time >= 1)) {
                __builtin_trap();
            }
            break;
        }
        case 4: {
            pylon::TDateTime Value = -1;
            if (TNexaUtils::TryISOToDateTime(Text, Value, Mode) && !std::isfinite(Value)) {
                __builtin_trap();
            }
            break;
        }
        case 5: {
            pylon::TDateTime Time = 0;
            pylon::TTimeZone Zone;
            if (TNexaUtils::InternalISOToTime(Text, Time, Zone) &&
                (Time < 0 || Time >= 1 || std::abs(Zone.HourOffset) > 99 ||
                 std::abs(Zone.MinuteOffset) > 99)) {
                __builtin_trap();
            }
            break;
        }
        default: {
            pylon::TGuid Guid;
            TNexaUtils::TryStringToGuid(Text, Guid);
            break;
        }
        }
    } catch (const rtl::EConvertError&) {
        // Fields of the right shape but out of range are reported this way.
    }
    return 0;
}
