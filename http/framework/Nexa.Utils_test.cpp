// Nexa.Utils: tests of ISO dates and times, time-zone modes, Base64, GUIDs and percent-encoding.
#include "http/framework/Nexa.Utils.h"
#include "platform/rtl/Exception.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

namespace pylon {
namespace {

constexpr double OneMs = 1.0 / 86'400'000.0;

TDateTime At(int Y, int M, int D, int H = 0, int N = 0, int S = 0, int Ms = 0) {
    return TNexaUtils::EncodeDate(Y, M, D) + TNexaUtils::EncodeTime(H, N, S, Ms);
}

// Exact-size copy: a read past the end is caught by ASan.
template <typename TFunc>
auto WithExactCopy(std::string_view Text, TFunc&& Func) {
    auto Copy = std::make_unique_for_overwrite<char[]>(Text.size());
    std::copy(Text.begin(), Text.end(), Copy.get());
    return Func(std::string_view(Copy.get(), Text.size()));
}

// Restores the default mode and notation however a test ends.
struct TSettingsGuard {
    ~TSettingsGuard() {
        DefaultTimeZoneMode = TTimeZoneMode::Error;
        FullISOTimeNotation = false;
    }
};

TEST(TNexaUtils, EncodeDateKnownDaysAndRange) {
    EXPECT_EQ(TNexaUtils::EncodeDate(1899, 12, 30), 0);
    EXPECT_EQ(TNexaUtils::EncodeDate(1970, 1, 1), 25569);
    EXPECT_EQ(TNexaUtils::EncodeDate(2000, 2, 29), 36585);
    EXPECT_THROW(TNexaUtils::EncodeDate(2001, 2, 29), rtl::EConvertError);
    EXPECT_THROW(TNexaUtils::EncodeDate(0, 1, 1), rtl::EConvertError);
    EXPECT_THROW(TNexaUtils::EncodeDate(2020, 13, 1), rtl::EConvertError);
    EXPECT_THROW(TNexaUtils::EncodeTime(24, 0, 0, 0), rtl::EConvertError);
    EXPECT_THROW(TNexaUtils::EncodeTime(0, 60, 0, 0), rtl::EConvertError);
    const TDateParts Parts = TNexaUtils::DecodeDate(At(2020, 7, 19, 23, 59));
    EXPECT_EQ(Parts.Year * 10000 + Parts.Month * 100 + Parts.Day, 20200719);
}

TEST(TNexaUtils, DecodeTimeCarriesARoundedFullDay) {
    // One hundredth of a millisecond before midnight rounds to the next day, never to 24:00.
    const TDateTime Value = TNexaUtils::EncodeDate(2020, 7, 19) + 1 - OneMs / 100;
    EXPECT_EQ(TNexaUtils::DateTimeToISO(Value), "2020-07-20");
    EXPECT_THROW(TNexaUtils::DateToISO(std::nan("")), rtl::EConvertError);
}

TEST(TNexaUtils, FormatsDatesAndTimes) {
    TSettingsGuard Guard;
    struct TCase {
        TDateTime Value;
        bool Full;
        const char* Expected;
    };
    const TCase Cases[] = {
        {At(2020, 7, 19), false, "2020-07-19"},
        {At(2020, 7, 19), true, "2020-07-19T00:00"},
        {At(2020, 7, 19, 10, 30), false, "2020-07-19T10:30"},
        {TNexaUtils::EncodeTime(10, 30, 0, 0), false, "10:30"},
        {TNexaUtils::EncodeTime(10, 30, 5, 0), false, "10:30:05"},
        {TNexaUtils::EncodeTime(10, 30, 5, 250), false, "10:30:05.250"},
        {At(1, 1, 1), false, "0001-01-01"},
        {At(9999, 12, 31, 23, 59, 59, 999), false, "9999-12-31T23:59:59.999"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Expected);
        EXPECT_EQ(TNexaUtils::DateTimeToISO(Case.Value, Case.Full), Case.Expected);
    }
    FullISOTimeNotation = true;
    EXPECT_EQ(TNexaUtils::TimeToISO(TNexaUtils::EncodeTime(10, 30, 0, 0)), "10:30:00.000");
}

struct TParseCase {
    const char* Text;
    std::optional<TDateTime> Expected; // nullopt: refused (False)
};

TEST(TNexaUtils, TryISOToDateTimeInModeError) {
    const TParseCase Cases[] = {
        {"", 0.0},
        {"2020-07-19", At(2020, 7, 19)},
        {"2020-07-19T10:30", At(2020, 7, 19, 10, 30)},
        {"2020-07-19T10:30:05", At(2020, 7, 19, 10, 30, 5)},
        {"2020-07-19T10:30:05.250", At(2020, 7, 19, 10, 30, 5, 250)},
        {"10:30", TNexaUtils::EncodeTime(10, 30, 0, 0)},
        {"T10:30", TNexaUtils::EncodeTime(10, 30, 0, 0)},
        {"2020-07-19T10:30Z", std::nullopt},
        {"2020-07-19T10:30+02:00", std::nullopt},
        {"2020-07-19T", At(2020, 7, 19)},
        {"2020-07-1", std::nullopt},
        {"2020/07/19", std::nullopt},
        {"2020-07-19T10", std::nullopt},
        {"2020-07-19T10:3", std::nullopt},
        {"2020-07-19T10:30:05.25", std::nullopt},
        {"2020-07-19T10:30:05.2500", std::nullopt},
        {"2020-07-19T10:30x", std::nullopt},
        {"2020-07-19T10:30+02", std::nullopt},
        {"2020-07-19T10:30Zx", std::nullopt},
        {"+020-07-19", std::nullopt},
        {"2020-07-19T1a:30", std::nullopt},
    };
    for (const TParseCase& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        TDateTime Got = -1;
        const bool Ok = WithExactCopy(Case.Text, [&](std::string_view Text) {
            return TNexaUtils::TryISOToDateTime(Text, Got, TTimeZoneMode::Error);
        });
        ASSERT_EQ(Ok, Case.Expected.has_value());
        if (Ok) {
            EXPECT_NEAR(Got, *Case.Expected, OneMs / 10);
        } else {
            EXPECT_EQ(Got, 0);
        }
    }
}

TEST(TNexaUtils, OutOfRangeFieldsRaiseInsteadOfReturningFalse) {
    TDateTime Got = 0;
    EXPECT_THROW(TNexaUtils::TryISOToDate("2020-13-01", Got), rtl::EConvertError);
    EXPECT_THROW(TNexaUtils::TryISOToDateTime("2020-07-19T24:00", Got), rtl::EConvertError);
    EXPECT_TRUE(TNexaUtils::TryISOToDate("", Got));
    EXPECT_EQ(Got, 0);
    EXPECT_FALSE(TNexaUtils::TryISOToDate("2020-07-1", Got));
}

TEST(TNexaUtils, TimeZoneModes) {
    struct TCase {
        const char* Text;
        TTimeZoneMode Mode;
        std::optional<TDateTime> Expected;
    };
    const TCase Cases[] = {
        {"2020-07-19T10:30Z", TTimeZoneMode::Error, std::nullopt},
        {"2020-07-19T10:30Z", TTimeZoneMode::Ignore, At(2020, 7, 19, 10, 30)},
        {"2020-07-19T10:30Z", TTimeZoneMode::AsUTC, At(2020, 7, 19, 10, 30)},
        {"2020-07-19T10:30+02:00", TTimeZoneMode::AsUTC, At(2020, 7, 19, 8, 30)},
        {"2020-07-19T10:30-05:30", TTimeZoneMode::AsUTC, At(2020, 7, 19, 16, 0)},
        {"2020-07-19T01:00+02:00", TTimeZoneMode::AsUTC, At(2020, 7, 18, 23, 0)},
        {"2020-07-19T10:30", TTimeZoneMode::Ignore, At(2020, 7, 19, 10, 30)},
        {"2020-07-19T10:30", TTimeZoneMode::AsLocal, At(2020, 7, 19, 10, 30)},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        TDateTime Got = 0;
        const bool Ok = TNexaUtils::TryISOToDateTime(Case.Text, Got, Case.Mode);
        ASSERT_EQ(Ok, Case.Expected.has_value());
        if (Ok) {
            EXPECT_NEAR(Got, *Case.Expected, OneMs / 10);
        }
    }
}

TEST(TNexaUtils, LocalConversionsFollowTheMachineZone) {
    // A fixed zone without daylight saving: five hours behind UTC.
    const char* Saved = std::getenv("TZ");
    const std::string Previous = Saved != nullptr ? Saved : "";
    setenv("TZ", "EST5", 1);
    tzset();
    TDateTime Got = 0;
    EXPECT_TRUE(TNexaUtils::TryISOToDateTime("2020-07-19T10:30", Got, TTimeZoneMode::AsUTC));
    EXPECT_NEAR(Got, At(2020, 7, 19, 15, 30), OneMs / 10);
    EXPECT_TRUE(TNexaUtils::TryISOToDateTime("2020-07-19T10:30Z", Got, TTimeZoneMode::AsLocal));
    EXPECT_NEAR(Got, At(2020, 7, 19, 5, 30), OneMs / 10);
    // Only the time of day is kept: 02:00Z is 21:00 of the day before.
    EXPECT_TRUE(TNexaUtils::TryISOToTime("02:00Z", Got, TTimeZoneMode::AsLocal));
    EXPECT_NEAR(Got, TNexaUtils::EncodeTime(21, 0, 0, 0), OneMs / 10);
    if (Saved != nullptr) {
        setenv("TZ", Previous.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(TNexaUtils, TryISOToTimeUsesTheDefaultMode) {
    TSettingsGuard Guard;
    TDateTime Got = 0;
    EXPECT_FALSE(TNexaUtils::TryISOToTime("10:30Z", Got));
    DefaultTimeZoneMode = TTimeZoneMode::Ignore;
    EXPECT_TRUE(TNexaUtils::TryISOToTime("10:30Z", Got));
    EXPECT_NEAR(Got, TNexaUtils::EncodeTime(10, 30, 0, 0), OneMs / 10);
    DefaultTimeZoneMode = TTimeZoneMode::AsUTC;
    EXPECT_TRUE(TNexaUtils::TryISOToTime("10:30+02:00", Got));
    EXPECT_NEAR(Got, TNexaUtils::EncodeTime(8, 30, 0, 0), OneMs / 10);
    EXPECT_TRUE(TNexaUtils::TryISOToTime("01:00+02:00", Got));
    EXPECT_NEAR(Got, TNexaUtils::EncodeTime(23, 0, 0, 0), OneMs / 10);
}

TEST(TNexaUtils, Base64KnownVectors) {
    struct TCase {
        std::string_view Plain;
        std::string_view Encoded;
    };
    const TCase Cases[] = {{"", ""},        {"f", "Zg=="},         {"fo", "Zm8="},
                           {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                           {"abc", "YWJj"}, {"foobar", "Zm9vYmFy"}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Plain));
        EXPECT_EQ(TNexaUtils::EncodeBase64(Case.Plain), Case.Encoded);
        const auto Decoded = WithExactCopy(
            Case.Encoded, [](std::string_view Text) { return TNexaUtils::DecodeBase64(Text); });
        EXPECT_EQ(std::string(Decoded.begin(), Decoded.end()), Case.Plain);
        // Without the fill characters.
        const std::string_view Bare = Case.Encoded.substr(0, Case.Encoded.find('='));
        const auto BareDecoded = WithExactCopy(
            Bare, [](std::string_view Text) { return TNexaUtils::DecodeBase64(Text); });
        EXPECT_EQ(std::string(BareDecoded.begin(), BareDecoded.end()), Case.Plain);
    }
    EXPECT_EQ(TNexaUtils::InternalEncodeBase64(
                  std::vector<std::uint8_t>{'f'},
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", false),
              "Zg");
}

TEST(TNexaUtils, Base64RoundTripsAllByteValuesInBothAlphabets) {
    std::vector<std::uint8_t> All(256);
    for (int I = 0; I < 256; ++I) {
        All[std::size_t(I)] = std::uint8_t(I);
    }
    for (std::size_t Length = 0; Length <= All.size(); ++Length) {
        const std::span<const std::uint8_t> Input(All.data(), Length);
        const std::string Encoded = TNexaUtils::EncodeBase64(Input);
        ASSERT_EQ(Encoded.size(), (Length + 2) / 3 * 4);
        std::string UrlSafe = Encoded;
        for (char& C : UrlSafe) {
            C = C == '+' ? '-' : C == '/' ? '_' : C;
        }
        for (const std::string& Text : {Encoded, UrlSafe}) {
            const auto Decoded =
                WithExactCopy(Text, [](std::string_view T) { return TNexaUtils::DecodeBase64(T); });
            ASSERT_TRUE(std::equal(Decoded.begin(), Decoded.end(), Input.begin(), Input.end()))
                << Length;
        }
    }
    // A single trailing character is ignored.
    EXPECT_EQ(TNexaUtils::DecodeBase64("YWJjZ"), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
}

TEST(TNexaUtils, TryStringToGuid) {
    TGuid Guid;
    ASSERT_TRUE(TNexaUtils::TryStringToGuid("01234567-89ab-CDEF-0123-456789abcdef", Guid));
    EXPECT_EQ(Guid.D1, 0x01234567u);
    EXPECT_EQ(Guid.D2, 0x89ab);
    EXPECT_EQ(Guid.D3, 0xcdef);
    EXPECT_EQ(Guid.D4[0], 0x01);
    EXPECT_EQ(Guid.D4[7], 0xef);
    const TGuid Before = Guid;
    for (const char* Bad :
         {"", "{01234567-89ab-cdef-0123-456789abcdef}", "01234567-89ab-cdef-0123-456789abcdeg",
          "01234567x89ab-cdef-0123-456789abcdef", "01234567-89ab-cdef-0123-456789abcde"}) {
        SCOPED_TRACE(Bad);
        EXPECT_FALSE(TNexaUtils::TryStringToGuid(Bad, Guid));
        EXPECT_EQ(Guid, Before);
    }
}

TEST(TNexaUtils, PercentEncodeAndCombineUrl) {
    EXPECT_EQ(TNexaUtils::PercentEncode(" /"), "%20%2F");
    EXPECT_EQ(TNexaUtils::PercentEncode("Az0!'()*-._~"), "Az0!'()*-._~");
    EXPECT_EQ(TNexaUtils::PercentEncode("\xE2\x82\xAC"), "%E2%82%AC");
    EXPECT_EQ(TNexaUtils::PercentEncode(std::string_view("\0", 1)), "%00");
    EXPECT_EQ(TNexaUtils::CombineUrlFast("http://h/a", "b"), "http://h/a/b");
    EXPECT_EQ(TNexaUtils::CombineUrlFast("http://h/a/", "b"), "http://h/a/b");
    EXPECT_EQ(TNexaUtils::CombineUrlFast("", "b"), "b");
}

TEST(TNexaUtils, IsLetterIsUnicodeAware) {
    EXPECT_TRUE(TNexaUtils::IsLetter(U'a'));
    EXPECT_TRUE(TNexaUtils::IsLetter(U'\u00E9'));
    EXPECT_FALSE(TNexaUtils::IsLetter(U'1'));
    EXPECT_FALSE(TNexaUtils::IsLetter(U':'));
    EXPECT_FALSE(TNexaUtils::IsLetter(char32_t(0x110000)));
}

} // namespace
} // namespace pylon
