// Nexa.Utils: base text utilities: ISO 8601 dates and times, Base64, GUID text, percent-encoding.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pylon {

/// Days since 1899-12-30; the fraction is the time of day.
using TDateTime = double;

/// How a parsed time-zone designator ("Z", "+02:00") is treated.
enum class TTimeZoneMode : std::uint8_t { Error, Ignore, AsUTC, AsLocal };

/// A designator read from text: signed offsets, and whether one was there at all.
struct TTimeZone {
    int HourOffset = 0;
    int MinuteOffset = 0;
    bool Present = false;
};

/// A GUID in its binary form.
struct TGuid {
    std::uint32_t D1 = 0;
    std::uint16_t D2 = 0;
    std::uint16_t D3 = 0;
    std::uint8_t D4[8] = {};
    friend bool operator==(const TGuid&, const TGuid&) = default;
};

/// Treatment of designators by the parsing operations without a mode argument. Process-wide,
/// meant to be set once at start.
inline std::atomic<TTimeZoneMode> DefaultTimeZoneMode{TTimeZoneMode::Error};
/// When true, TimeToISO always writes seconds and milliseconds. Process-wide.
inline std::atomic<bool> FullISOTimeNotation{false};

/// Calendar parts of a date-time value.
struct TDateParts {
    int Year = 0;
    int Month = 0;
    int Day = 0;
};
struct TTimeParts {
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int MilliSecond = 0;
};

/// Static utilities; never instantiated. Stateless apart from the two settings above.
class TNexaUtils {
public:
    TNexaUtils() = delete;

    /// Throws rtl::EConvertError for a year outside 1..9999 or an invalid month or day.
    static TDateTime EncodeDate(int Year, int Month, int Day);
    /// Throws rtl::EConvertError for an hour >= 24, a minute or second >= 60, or ms >= 1000.
    static TDateTime EncodeTime(int Hour, int Minute, int Second, int MilliSecond);
    static TDateParts DecodeDate(TDateTime Value);
    static TTimeParts DecodeTime(TDateTime Value);
    /// The local date and time now.
    static TDateTime Now();
    /// Local wall-clock time to UTC and back, by the machine's time zone.
    static TDateTime LocalToUniversal(TDateTime Value);
    static TDateTime UniversalToLocal(TDateTime Value);

    static std::string DateToISO(TDateTime Value);
    static std::string TimeToISO(TDateTime Value);
    static std::string DateTimeToISO(TDateTime Value, bool FullNotation = false);

    /// False for text of the wrong shape (DateTime then 0). Fields of the right shape but out of
    /// range throw rtl::EConvertError.
    static bool TryISOToDate(std::string_view Value, TDateTime& DateTime);
    static bool TryISOToTime(std::string_view Value, TDateTime& DateTime);
    static bool TryISOToTime(std::string_view Value, TDateTime& DateTime, TTimeZoneMode Mode);
    static bool TryISOToDateTime(std::string_view Value, TDateTime& DateTime);
    static bool TryISOToDateTime(std::string_view Value, TDateTime& DateTime, TTimeZoneMode Mode);

    static std::string EncodeBase64(std::span<const std::uint8_t> Input);
    static std::string EncodeBase64(std::string_view Input) {
        return EncodeBase64(
            std::span(reinterpret_cast<const std::uint8_t*>(Input.data()), Input.size()));
    }
    /// Accepts the standard and the URL-safe alphabet, with or without "=" fill; a single
    /// trailing character is ignored. Characters of neither alphabet count as value 0.
    static std::vector<std::uint8_t> DecodeBase64(std::string_view Input);
    /// Value without braces, in the registry form XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.
    static bool TryStringToGuid(std::string_view Value, TGuid& Guid);

    /// UTF-8 bytes of S; letters, digits and ! ' ( ) * - . _ ~ stay, every other byte is %XX.
    static std::string PercentEncode(std::string_view S);
    static std::string CombineUrlFast(std::string_view AbsoluteUrl, std::string_view RelativeUrl);

    /// Reads hh:nn[:ss[.zzz]] and an optional designator. False for any other shape.
    static bool InternalISOToTime(std::string_view Text, TDateTime& DateTime, TTimeZone& TimeZone);
    /// Applies Mode to a value read with TimeZone; false when Mode refuses it.
    static bool AdjustTimeZone(TDateTime& DateTime, const TTimeZone& TimeZone, TTimeZoneMode Mode);
    static std::string InternalEncodeBase64(std::span<const std::uint8_t> Input,
                                            std::string_view EncodeTable, bool Padding);
    /// ASCII digits only: a digit of another script could not be read as a number anyway.
    static bool IsDigit(char32_t C) noexcept { return C >= U'0' && C <= U'9'; }
    /// Unicode letter test.
    static bool IsLetter(char32_t C) noexcept;
};

} // namespace pylon
