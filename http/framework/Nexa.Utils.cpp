// Nexa.Utils: base text utilities: ISO 8601 dates and times, Base64, GUID text, percent-encoding.
#include "http/framework/Nexa.Utils.h"

#include "platform/rtl/Escaping.h"
#include "platform/rtl/Exception.h"

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <cwctype>
#include <locale.h>

namespace pylon {

namespace {

constexpr std::int64_t MSecsPerDay = 86'400'000;
// 1899-12-30 counted from 1970-01-01.
constexpr std::int64_t UnixDateDelta = 25569;
// 9999-12-31 and 0001-01-01 as date-time values: the range every calendar operation accepts.
constexpr double MaxDateTime = 2958466.0;
constexpr double MinDateTime = -693594.0;

// Days from 1970-01-01 to a proleptic Gregorian date (Hinnant's civil algorithm).
std::int64_t DaysFromCivil(std::int64_t Y, unsigned M, unsigned D) {
    Y -= M <= 2 ? 1 : 0;
    const std::int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
    const unsigned Yoe = unsigned(Y - Era * 400);
    const unsigned Doy = (153 * (M > 2 ? M - 3 : M + 9) + 2) / 5 + D - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + std::int64_t(Doe) - 719468;
}

TDateParts CivilFromDays(std::int64_t Z) {
    Z += 719468;
    const std::int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
    const unsigned Doe = unsigned(Z - Era * 146097);
    const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
    const std::int64_t Y = std::int64_t(Yoe) + Era * 400;
    const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
    const unsigned Mp = (5 * Doy + 2) / 153;
    const unsigned D = Doy - (153 * Mp + 2) / 5 + 1;
    const unsigned M = Mp < 10 ? Mp + 3 : Mp - 9;
    return {int(Y + (M <= 2 ? 1 : 0)), int(M), int(D)};
}

bool IsLeapYear(int Year) {
    return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0);
}

int DaysInMonth(int Year, int Month) {
    static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return Month == 2 && IsLeapYear(Year) ? 29 : Days[Month - 1];
}

// A value splits into whole days (towards zero) and the time of day in milliseconds, which is
// the absolute fraction: -1.25 is the day before 1899-12-30 at 06:00. Rounding up to a full
// day carries into the day instead of producing 24:00.
void SplitDateTime(TDateTime Value, std::int64_t& Days, std::int64_t& MSecs) {
    if (!std::isfinite(Value) || Value >= MaxDateTime || Value <= MinDateTime) {
        throw rtl::EConvertError("Invalid date-time value");
    }
    const double Whole = std::trunc(Value);
    Days = std::int64_t(Whole);
    MSecs = std::llround(std::fabs(Value - Whole) * double(MSecsPerDay));
    if (MSecs >= MSecsPerDay) {
        MSecs -= MSecsPerDay;
        Days += Value < 0 ? -1 : 1;
    }
}

std::string Printf(const char* Pattern, int A, int B, int C, int D = 0) {
    char Buffer[64];
    const int Length = std::snprintf(Buffer, sizeof Buffer, Pattern, A, B, C, D);
    return std::string(Buffer, std::size_t(Length));
}

bool ReadDigits(std::string_view Text, std::size_t& Pos, std::size_t Count, int& Value) {
    if (Pos + Count > Text.size()) {
        return false;
    }
    int Result = 0;
    for (std::size_t I = 0; I < Count; ++I) {
        const char C = Text[Pos + I];
        if (!TNexaUtils::IsDigit(char32_t(C))) {
            return false;
        }
        Result = Result * 10 + (C - '0');
    }
    Pos += Count;
    Value = Result;
    return true;
}

TDateTime FromTm(const std::tm& Tm, std::int64_t MSecs) {
    const TDateTime Date = TNexaUtils::EncodeDate(Tm.tm_year + 1900, Tm.tm_mon + 1, Tm.tm_mday);
    return Date + TNexaUtils::EncodeTime(Tm.tm_hour, Tm.tm_min, Tm.tm_sec, int(MSecs));
}

std::tm ToTm(TDateTime Value, std::int64_t& MSecs) {
    std::int64_t Days = 0;
    std::int64_t TimeMSecs = 0;
    SplitDateTime(Value, Days, TimeMSecs);
    const TDateParts Date = CivilFromDays(Days - UnixDateDelta);
    std::tm Tm{};
    Tm.tm_year = Date.Year - 1900;
    Tm.tm_mon = Date.Month - 1;
    Tm.tm_mday = Date.Day;
    Tm.tm_hour = int(TimeMSecs / 3'600'000);
    Tm.tm_min = int(TimeMSecs / 60'000 % 60);
    Tm.tm_sec = int(TimeMSecs / 1000 % 60);
    Tm.tm_isdst = -1;
    MSecs = TimeMSecs % 1000;
    return Tm;
}

constexpr std::string_view Base64Table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Both alphabets at once: '+' and '-' are 62, '/' and '_' are 63. Anything else reads as 0.
constexpr std::uint8_t Base64Value(char C) {
    if (C >= 'A' && C <= 'Z') {
        return std::uint8_t(C - 'A');
    }
    if (C >= 'a' && C <= 'z') {
        return std::uint8_t(C - 'a' + 26);
    }
    if (C >= '0' && C <= '9') {
        return std::uint8_t(C - '0' + 52);
    }
    if (C == '+' || C == '-') {
        return 62;
    }
    if (C == '/' || C == '_') {
        return 63;
    }
    return 0;
}

bool ReadHex(std::string_view Text, std::size_t Pos, std::size_t Count, std::uint64_t& Value) {
    Value = 0;
    for (std::size_t I = 0; I < Count; ++I) {
        const int Digit = rtl::HexDigitValue(Text[Pos + I]);
        if (Digit < 0) {
            return false;
        }
        Value = Value * 16 + std::uint64_t(Digit);
    }
    return true;
}

} // namespace

TDateTime TNexaUtils::EncodeDate(int Year, int Month, int Day) {
    if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 ||
        Day > DaysInMonth(Year, Month)) {
        throw rtl::EConvertError("Invalid argument to date encode");
    }
    return double(DaysFromCivil(Year, unsigned(Month), unsigned(Day)) + UnixDateDelta);
}

TDateTime TNexaUtils::EncodeTime(int Hour, int Minute, int Second, int MilliSecond) {
    if (Hour < 0 || Hour >= 24 || Minute < 0 || Minute >= 60 || Second < 0 || Second >= 60 ||
        MilliSecond < 0 || MilliSecond >= 1000) {
        throw rtl::EConvertError("Invalid argument to time encode");
    }
    const std::int64_t MSecs =
        ((std::int64_t(Hour) * 60 + Minute) * 60 + Second) * 1000 + MilliSecond;
    return double(MSecs) / double(MSecsPerDay);
}

TDateParts TNexaUtils::DecodeDate(TDateTime Value) {
    std::int64_t Days = 0;
    std::int64_t MSecs = 0;
    SplitDateTime(Value, Days, MSecs);
    return CivilFromDays(Days - UnixDateDelta);
}

TTimeParts TNexaUtils::DecodeTime(TDateTime Value) {
    std::int64_t Days = 0;
    std::int64_t MSecs = 0;
    SplitDateTime(Value, Days, MSecs);
    return {int(MSecs / 3'600'000), int(MSecs / 60'000 % 60), int(MSecs / 1000 % 60),
            int(MSecs % 1000)};
}

TDateTime TNexaUtils::Now() {
    const auto Clock = std::chrono::system_clock::now();
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Clock);
    const auto MSecs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock.time_since_epoch()).count() %
        1000;
    std::tm Tm{};
    localtime_r(&Seconds, &Tm);
    return FromTm(Tm, MSecs < 0 ? 0 : MSecs);
}

TDateTime TNexaUtils::LocalToUniversal(TDateTime Value) {
    std::int64_t MSecs = 0;
    std::tm Tm = ToTm(Value, MSecs);
    const std::time_t Seconds = std::mktime(&Tm);
    std::tm Utc{};
    if (Seconds == std::time_t(-1) || gmtime_r(&Seconds, &Utc) == nullptr) {
        throw rtl::EConvertError("Local time cannot be converted to UTC");
    }
    return FromTm(Utc, MSecs);
}

TDateTime TNexaUtils::UniversalToLocal(TDateTime Value) {
    std::int64_t MSecs = 0;
    std::tm Tm = ToTm(Value, MSecs);
    const std::time_t Seconds = timegm(&Tm);
    std::tm Local{};
    if (localtime_r(&Seconds, &Local) == nullptr) {
        throw rtl::EConvertError("UTC cannot be converted to local time");
    }
    return FromTm(Local, MSecs);
}

std::string TNexaUtils::DateToISO(TDateTime Value) {
    const TDateParts Parts = DecodeDate(Value);
    return Printf("%.4d-%.2d-%.2d", Parts.Year, Parts.Month, Parts.Day);
}

std::string TNexaUtils::TimeToISO(TDateTime Value) {
    const TTimeParts Parts = DecodeTime(Value);
    if (Parts.MilliSecond != 0 || FullISOTimeNotation) {
        return Printf("%.2d:%.2d:%.2d.%.3d", Parts.Hour, Parts.Minute, Parts.Second,
                      Parts.MilliSecond);
    }
    if (Parts.Second != 0) {
        return Printf("%.2d:%.2d:%.2d", Parts.Hour, Parts.Minute, Parts.Second);
    }
    return Printf("%.2d:%.2d", Parts.Hour, Parts.Minute, 0);
}

std::string TNexaUtils::DateTimeToISO(TDateTime Value, bool FullNotation) {
    std::int64_t Days = 0;
    std::int64_t MSecs = 0;
    SplitDateTime(Value, Days, MSecs);
    if (!FullNotation && MSecs == 0) {
        return DateToISO(Value);
    }
    if (!FullNotation && Days == 0) {
        return TimeToISO(Value);
    }
    return DateToISO(Value) + "T" + TimeToISO(Value);
}

bool TNexaUtils::TryISOToDate(std::string_view Value, TDateTime& DateTime) {
    DateTime = 0;
    if (Value.empty()) {
        return true;
    }
    if (Value.size() != 10 || Value[4] != '-' || Value[7] != '-') {
        return false;
    }
    int Year = 0;
    int Month = 0;
    int Day = 0;
    std::size_t Pos = 0;
    if (!ReadDigits(Value, Pos, 4, Year) || !ReadDigits(Value, ++Pos, 2, Month) ||
        !ReadDigits(Value, ++Pos, 2, Day)) {
        return false;
    }
    DateTime = EncodeDate(Year, Month, Day);
    return true;
}

bool TNexaUtils::InternalISOToTime(std::string_view Text, TDateTime& DateTime,
                                   TTimeZone& TimeZone) {
    DateTime = 0;
    TimeZone = {};
    if (Text.empty()) {
        return true;
    }
    std::size_t Pos = 0;
    const auto AtEnd = [&] {
        return Pos == Text.size() || Text[Pos] == '+' || Text[Pos] == '-' || Text[Pos] == 'Z';
    };
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int MilliSecond = 0;
    if (!ReadDigits(Text, Pos, 2, Hour) || Pos >= Text.size() || Text[Pos++] != ':' ||
        !ReadDigits(Text, Pos, 2, Minute)) {
        return false;
    }
    if (!AtEnd()) {
        if (Text[Pos++] != ':' || !ReadDigits(Text, Pos, 2, Second)) {
            return false;
        }
        if (!AtEnd()) {
            if (Text[Pos++] != '.' || !ReadDigits(Text, Pos, 3, MilliSecond) || !AtEnd()) {
                return false;
            }
        }
    }
    TTimeZone Zone;
    if (Pos < Text.size()) {
        const char Designator = Text[Pos++];
        Zone.Present = true;
        if (Designator != 'Z') {
            if (!ReadDigits(Text, Pos, 2, Zone.HourOffset) || Pos >= Text.size() ||
                Text[Pos++] != ':' || !ReadDigits(Text, Pos, 2, Zone.MinuteOffset)) {
                return false;
            }
            if (Designator == '-') {
                Zone.HourOffset = -Zone.HourOffset;
                Zone.MinuteOffset = -Zone.MinuteOffset;
            }
        }
        if (Pos != Text.size()) {
            return false;
        }
    }
    DateTime = EncodeTime(Hour, Minute, Second, MilliSecond);
    TimeZone = Zone;
    return true;
}

bool TNexaUtils::AdjustTimeZone(TDateTime& DateTime, const TTimeZone& TimeZone,
                                TTimeZoneMode Mode) {
    const auto RemoveOffset = [&] {
        const int Offset = TimeZone.HourOffset * 60 + TimeZone.MinuteOffset;
        const double Magnitude = double(Offset < 0 ? -Offset : Offset) / (24.0 * 60.0);
        DateTime += Offset <= 0 ? Magnitude : -Magnitude;
    };
    switch (Mode) {
    case TTimeZoneMode::Error:
        return !TimeZone.Present;
    case TTimeZoneMode::Ignore:
        return true;
    case TTimeZoneMode::AsUTC:
        if (TimeZone.Present) {
            RemoveOffset();
        } else {
            DateTime = LocalToUniversal(DateTime);
        }
        return true;
    case TTimeZoneMode::AsLocal:
        if (TimeZone.Present) {
            RemoveOffset();
            DateTime = UniversalToLocal(DateTime);
        }
        return true;
    }
    return false;
}

bool TNexaUtils::TryISOToTime(std::string_view Value, TDateTime& DateTime) {
    return TryISOToTime(Value, DateTime, DefaultTimeZoneMode);
}

bool TNexaUtils::TryISOToTime(std::string_view Value, TDateTime& DateTime, TTimeZoneMode Mode) {
    TTimeZone Zone;
    if (!InternalISOToTime(Value, DateTime, Zone)) {
        return false;
    }
    // The adjustment needs a real date (daylight saving); only the time of day is kept, so
    // a shift across midnight wraps.
    TDateTime Full = std::trunc(Now()) + DateTime;
    if (!AdjustTimeZone(Full, Zone, Mode)) {
        return false;
    }
    DateTime = Full - std::floor(Full);
    return true;
}

bool TNexaUtils::TryISOToDateTime(std::string_view Value, TDateTime& DateTime) {
    return TryISOToDateTime(Value, DateTime, DefaultTimeZoneMode);
}

bool TNexaUtils::TryISOToDateTime(std::string_view Value, TDateTime& DateTime, TTimeZoneMode Mode) {
    DateTime = 0;
    if (Value.empty()) {
        return true;
    }
    TTimeZone Zone;
    TDateTime Result = 0;
    const std::size_t T = Value.find('T');
    if (T != std::string_view::npos) {
        TDateTime Date = 0;
        TDateTime Time = 0;
        if (!TryISOToDate(Value.substr(0, T), Date) ||
            !InternalISOToTime(Value.substr(T + 1), Time, Zone)) {
            return false;
        }
        Result = Date + Time;
    } else if (!TryISOToDate(Value, Result) && !InternalISOToTime(Value, Result, Zone)) {
        return false;
    }
    if (!AdjustTimeZone(Result, Zone, Mode)) {
        return false;
    }
    DateTime = Result;
    return true;
}

std::string TNexaUtils::EncodeBase64(std::span<const std::uint8_t> Input) {
    return InternalEncodeBase64(Input, Base64Table, true);
}

std::string TNexaUtils::InternalEncodeBase64(std::span<const std::uint8_t> Input,
                                             std::string_view EncodeTable, bool Padding) {
    std::string Result;
    Result.reserve((Input.size() + 2) / 3 * 4);
    std::size_t I = 0;
    for (; I + 3 <= Input.size(); I += 3) {
        const std::uint32_t Group =
            std::uint32_t(Input[I]) << 16 | std::uint32_t(Input[I + 1]) << 8 | Input[I + 2];
        Result += EncodeTable[Group >> 18 & 63];
        Result += EncodeTable[Group >> 12 & 63];
        Result += EncodeTable[Group >> 6 & 63];
        Result += EncodeTable[Group & 63];
    }
    const std::size_t Rest = Input.size() - I;
    if (Rest > 0) {
        std::uint32_t Group = std::uint32_t(Input[I]) << 16;
        if (Rest == 2) {
            Group |= std::uint32_t(Input[I + 1]) << 8;
        }
        Result += EncodeTable[Group >> 18 & 63];
        Result += EncodeTable[Group >> 12 & 63];
        if (Rest == 2) {
            Result += EncodeTable[Group >> 6 & 63];
        }
        if (Padding) {
            Result.append(3 - Rest, '=');
        }
    }
    return Result;
}

std::vector<std::uint8_t> TNexaUtils::DecodeBase64(std::string_view Input) {
    const std::size_t Groups = (Input.size() + 2) / 4;
    std::vector<std::uint8_t> Result;
    Result.reserve(Groups * 3);
    for (std::size_t G = 0; G < Groups; ++G) {
        const std::size_t Pos = G * 4;
        const std::size_t Available = std::min<std::size_t>(4, Input.size() - Pos);
        const std::uint32_t A = Base64Value(Input[Pos]);
        const std::uint32_t B = Base64Value(Input[Pos + 1]);
        Result.push_back(std::uint8_t(A << 2 | B >> 4));
        if (Available > 2 && Input[Pos + 2] != '=') {
            const std::uint32_t C = Base64Value(Input[Pos + 2]);
            Result.push_back(std::uint8_t((B & 15) << 4 | C >> 2));
            if (Available > 3 && Input[Pos + 3] != '=') {
                const std::uint32_t D = Base64Value(Input[Pos + 3]);
                Result.push_back(std::uint8_t((C & 3) << 6 | D));
            }
        }
    }
    return Result;
}

bool TNexaUtils::TryStringToGuid(std::string_view Value, TGuid& Guid) {
    // XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX
    if (Value.size() != 36 || Value[8] != '-' || Value[13] != '-' || Value[18] != '-' ||
        Value[23] != '-') {
        return false;
    }
    std::uint64_t D1 = 0;
    std::uint64_t D2 = 0;
    std::uint64_t D3 = 0;
    if (!ReadHex(Value, 0, 8, D1) || !ReadHex(Value, 9, 4, D2) || !ReadHex(Value, 14, 4, D3)) {
        return false;
    }
    TGuid Result;
    Result.D1 = std::uint32_t(D1);
    Result.D2 = std::uint16_t(D2);
    Result.D3 = std::uint16_t(D3);
    static constexpr std::size_t ByteAt[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (std::size_t I = 0; I < 8; ++I) {
        std::uint64_t Byte = 0;
        if (!ReadHex(Value, ByteAt[I], 2, Byte)) {
            return false;
        }
        Result.D4[I] = std::uint8_t(Byte);
    }
    Guid = Result;
    return true;
}

std::string TNexaUtils::PercentEncode(std::string_view S) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string Result;
    Result.reserve(S.size());
    for (const char C : S) {
        const auto Byte = std::uint8_t(C);
        const bool Plain = (Byte >= 'A' && Byte <= 'Z') || (Byte >= 'a' && Byte <= 'z') ||
                           (Byte >= '0' && Byte <= '9') ||
                           std::string_view("!'()*-._~").find(C) != std::string_view::npos;
        if (Plain) {
            Result += C;
        } else {
            Result += '%';
            Result += Hex[Byte >> 4];
            Result += Hex[Byte & 15];
        }
    }
    return Result;
}

std::string TNexaUtils::CombineUrlFast(std::string_view AbsoluteUrl, std::string_view RelativeUrl) {
    std::string Result(AbsoluteUrl);
    if (!Result.empty() && Result.back() != '/') {
        Result += '/';
    }
    Result += RelativeUrl;
    return Result;
}

bool TNexaUtils::IsLetter(char32_t C) noexcept {
    if (C < 0x80) {
        return (C >= U'A' && C <= U'Z') || (C >= U'a' && C <= U'z');
    }
    // The classification tables of the C.UTF-8 locale, without touching the process locale.
    static const locale_t Utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    if (Utf8Locale == locale_t(nullptr) || C > 0x10FFFF) {
        return false;
    }
    return iswalpha_l(wint_t(C), Utf8Locale) != 0;
}

} // namespace pylon
