// Pylon.Utils: tests of percent-decoding, query strings, status texts, durations and headers.
#include "http/framework/Pylon.Utils.h"
#include "platform/rtl/Exception.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pylon {
namespace {

std::string DecodeExact(std::string_view Input) {
    auto Copy = std::make_unique_for_overwrite<char[]>(Input.size());
    std::copy(Input.begin(), Input.end(), Copy.get());
    return TPylonUtils::PercentDecode({Copy.get(), Input.size()});
}

TEST(TPylonUtils, PercentDecode) {
    struct TCase {
        std::string_view Input;
        std::string_view Expected;
    };
    const TCase Cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"a%20b", "a b"},
        {"%E2%82%AC", "\xE2\x82\xAC"},
        {"%e2%82%ac", "\xE2\x82\xAC"},
        {"100%", "100%"},
        {"%4g", "%4g"},
        {"%4", "%4"},
        {"%", "%"},
        {"a+b", "a+b"},
        {"%2F", "/"},
        {"%00", std::string_view("\0", 1)},
        {"%FF", "\xEF\xBF\xBD"},          // not UTF-8: replacement character
        {"\xE2\x82\xAC", "\xE2\x82\xAC"}, // raw UTF-8 passes
        {"\xC3", "\xEF\xBF\xBD"},
        {"%%41", "%A"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Input));
        EXPECT_EQ(DecodeExact(Case.Input), Case.Expected);
    }
}

TEST(TPylonUtils, PercentEncodeDecodeRoundTripOverAllByteValues) {
    std::string All;
    for (int I = 1; I < 128; ++I) {
        All += char(I);
    }
    All += "\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(DecodeExact(TPylonUtils::PercentEncode(All)), All);
}

TEST(TPylonUtils, PercentEncodeSegments) {
    const std::vector<std::string> Segments = {"", "a b", "c/d", "", "e"};
    EXPECT_EQ(TPylonUtils::PercentEncode(std::span<const std::string>(Segments)), "a%20b/c%2Fd//e");
    EXPECT_EQ(TPylonUtils::PercentEncode(std::span<const std::string>()), "");
}

TEST(TPylonUtils, GetQueryParams) {
    struct TCase {
        std::string_view Query;
        bool DecodePlus;
        std::vector<TQueryParam> Expected;
    };
    const TCase Cases[] = {
        {"", true, {}},
        {"?", true, {}},
        {"?a=1&b=x+y", true, {{"a", "1"}, {"b", "x y"}}},
        {"?a=1&b=x+y", false, {{"a", "1"}, {"b", "x+y"}}},
        {"flag", true, {{"", "flag"}}},
        {"a=1&&b=2", true, {{"a", "1"}, {"", ""}, {"b", "2"}}},
        {"a=1&", true, {{"a", "1"}, {"", ""}}},
        {"k%20ey=v%3Dx=y", true, {{"k ey", "v=x=y"}}},
        {"%+=+%", true, {{"% ", " %"}}},
        {"??a=1", true, {{"?a", "1"}}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Query));
        EXPECT_EQ(TPylonUtils::GetQueryParams(Case.Query, Case.DecodePlus), Case.Expected);
    }
}

TEST(TPylonUtils, StatusReasons) {
    struct TCase {
        int Code;
        std::string_view Text;
    };
    const TCase Cases[] = {{100, "Continue"},
                           {200, "OK"},
                           {203, "Non-Authoritative Information"},
                           {208, "Already Reported"},
                           {306, "Switch Proxy"},
                           {404, "Not Found"},
                           {413, "Request Entity Too Large"},
                           {414, "Request-URI Too Long"},
                           {416, "Request Range Not Satisfiable"},
                           {500, "Internal Server Error"},
                           {505, "Http Version Not Supported"},
                           {507, "Insufficient Storage"},
                           {0, ""},
                           {299, ""},
                           {308, ""},
                           {-1, ""}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Code);
        EXPECT_EQ(TPylonUtils::GetStatusReason(Case.Code), Case.Text);
    }
}

TEST(TPylonUtils, ISOToRaisesWithTheValue) {
    try {
        TPylonUtils::ISOToDateTime("tomorrow");
        FAIL() << "no exception";
    } catch (const rtl::EConvertError& E) {
        EXPECT_STREQ(E.what(), "Value tomorrow is not a valid datetime");
    }
    EXPECT_THROW(TPylonUtils::ISOToDate("2020-07"), rtl::EConvertError);
    EXPECT_THROW(TPylonUtils::ISOToTime("10:30Z"), rtl::EConvertError);
    EXPECT_EQ(TPylonUtils::ISOToDate("2020-07-19"), TNexaUtils::EncodeDate(2020, 7, 19));
}

TEST(TPylonUtils, DayTimeDurationToText) {
    struct TCase {
        TDateTime Value;
        std::string_view Expected;
    };
    const TCase Cases[] = {{1.5, "P1D12H"},
                           {0, "P0D"},
                           {TNexaUtils::EncodeTime(2, 30, 5, 999), "P2H30M5S"},
                           {3 + TNexaUtils::EncodeTime(0, 0, 1, 0), "P3D1S"}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Expected));
        EXPECT_EQ(TPylonUtils::DateTimeToDayTimeDuration(Case.Value), Case.Expected);
    }
}

TEST(TPylonUtils, DayTimeDurationFromText) {
    struct TCase {
        std::string_view Text;
        std::optional<TDateTime> Expected;
    };
    const TCase Cases[] = {
        {"P1D12H", 1.5},
        {"P0D", 0.0},
        {"PT1H", std::nullopt},
        {"P2H30X", TNexaUtils::EncodeTime(2, 0, 0, 0)},
        {"P1H2H", TNexaUtils::EncodeTime(2, 0, 0, 0)},
        {"P5M10S", TNexaUtils::EncodeTime(0, 5, 10, 0)},
        {"P", std::nullopt},
        {"", std::nullopt},
        {"X1D", std::nullopt},
        {"P12", std::nullopt},
        {"P1D12", 1.0},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Text));
        TDateTime Got = -1;
        auto Copy = std::make_unique_for_overwrite<char[]>(Case.Text.size());
        std::copy(Case.Text.begin(), Case.Text.end(), Copy.get());
        const bool Ok =
            TPylonUtils::TryDayTimeDurationToDateTime({Copy.get(), Case.Text.size()}, Got);
        ASSERT_EQ(Ok, Case.Expected.has_value());
        if (Ok) {
            EXPECT_NEAR(Got, *Case.Expected, 1e-9);
        }
    }
    TDateTime Got = 0;
    EXPECT_THROW(TPylonUtils::TryDayTimeDurationToDateTime("P24H", Got), rtl::EConvertError);
    EXPECT_THROW(TPylonUtils::TryDayTimeDurationToDateTime("P60S", Got), rtl::EConvertError);
    EXPECT_THROW(TPylonUtils::TryDayTimeDurationToDateTime("P99999999999D", Got),
                 rtl::EConvertError);
}

TEST(TPylonUtils, UnixAndJsonDates) {
    EXPECT_EQ(TPylonUtils::LocalDateTimeToUnix(25569), 0);
    EXPECT_EQ(TPylonUtils::LocalDateTimeToUnix(25570.5), 129600);
    EXPECT_EQ(TPylonUtils::LocalDateTimeToUnix(25568), -86400);
    EXPECT_EQ(TPylonUtils::DateTimeToJson(25570), "\\/Date(86400000)\\/");
    EXPECT_THROW(TPylonUtils::LocalDateTimeToUnix(1e300), rtl::EConvertError);
}

TEST(TPylonUtils, BasicAuthHeaderValue) {
    EXPECT_EQ(TPylonUtils::BasicAuthHeaderValue("Aladdin", "open sesame"),
              "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(TPylonUtils, NameValueSplitting) {
    struct TCase {
        std::string_view Text;
        std::string_view Name;
        std::string_view Value;
    };
    const TCase Cases[] = {{"a:b", "a", "b"},
                           {":b", "", ":b"},
                           {"ab", "", "ab"},
                           {"a:b:c", "a", "b:c"},
                           {"a:", "a", ""}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Text));
        std::string Name = "x";
        std::string Value = "x";
        TPylonUtils::ExtractNameValue(Case.Text, ':', Name, Value);
        EXPECT_EQ(Name, Case.Name);
        EXPECT_EQ(Value, Case.Value);
    }
    std::string Name;
    std::string Value;
    TPylonUtils::ParseHeader(" Content-Type : text/plain ", Name, Value);
    EXPECT_EQ(Name, "Content-Type");
    EXPECT_EQ(Value, " text/plain ");
    TPylonUtils::GetNameAndAnnotation("name@note@more", Name, Value);
    EXPECT_EQ(Name, "name");
    EXPECT_EQ(Value, "note@more");
    TPylonUtils::GetNameAndAnnotation("plain", Name, Value);
    EXPECT_EQ(Name, "plain");
    EXPECT_EQ(Value, "");
}

TEST(TPylonUtils, ParseHeaderParams) {
    THeaderParamsInfo Info = TPylonUtils::ParseContentType("text/html; charset=\"utf-8\"");
    EXPECT_EQ(Info.Value, "text/html");
    ASSERT_EQ(Info.Params.size(), 1u);
    EXPECT_EQ(Info.Params[0], TNameValuePair("charset", "utf-8"));
    EXPECT_EQ(Info.ParamValue("CHARSET"), "utf-8");
    EXPECT_EQ(Info.ParamValue("boundary"), "");

    Info = TPylonUtils::ParseContentDisposition(
        " attachment ;FileName=a.txt; =x; novalue; q=\"\"; n= \"a\" ");
    EXPECT_EQ(Info.Value, "attachment");
    const std::vector<TNameValuePair> Expected = {{"filename", "a.txt"}, {"q", "\"\""}, {"n", "a"}};
    EXPECT_EQ(Info.Params, Expected);
    std::string Value = "unchanged";
    EXPECT_FALSE(Info.TryParamValue("none", Value));
    EXPECT_EQ(Value, "unchanged");

    Info = TPylonUtils::ParseHeaderParams("  text/plain  ");
    EXPECT_EQ(Info.Value, "text/plain");
    EXPECT_TRUE(Info.Params.empty());
}

TEST(TPylonUtils, AcceptsType) {
    struct TCase {
        std::string_view Accept;
        std::vector<std::string> Values;
        std::string_view Expected;
    };
    const TCase Cases[] = {
        {"text/html, application/json;q=0.5", {"application/json", "text/html"}, "text/html"},
        {"application/json;q=0", {"application/json"}, ""},
        {"", {"a/b", "c/d"}, "a/b"},
        {"text/html", {}, ""},
        {"*/*", {"image/png"}, "image/png"},
        {"*", {"image/png"}, "image/png"},
        {"text/*;q=0.8, text/plain", {"text/html", "text/plain"}, "text/plain"},
        {"image/*", {"text/html"}, ""},
        {"text/html; q=0.2, */*;q=0.1", {"text/html", "application/xml"}, "text/html"},
        {"TEXT/HTML", {"text/html"}, "text/html"},
        {"text/html;q=abc", {"text/html"}, "text/html"},
        {"text/html;q=2", {"text/html"}, "text/html"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Accept));
        EXPECT_EQ(TPylonUtils::AcceptsType(Case.Accept, Case.Values), Case.Expected);
    }
    EXPECT_TRUE(TPylonUtils::AcceptsType("text/*", "text/css"));
    EXPECT_FALSE(TPylonUtils::AcceptsType("text/*", "image/png"));
}

TEST(TPylonUtils, AcceptsEncoding) {
    struct TCase {
        std::string_view Accept;
        std::vector<std::string> Values;
        std::string_view Expected;
    };
    const TCase Cases[] = {
        {"gzip", {"identity", "deflate"}, "identity"},
        {"gzip, identity;q=0", {"identity", "deflate"}, ""},
        {"gzip, deflate;q=0.5", {"deflate", "gzip"}, "gzip"},
        {"", {"gzip", "identity"}, "identity"},
        {"", {"gzip"}, ""},
        {"*", {"br"}, "br"},
        {"gzip;q=0", {"gzip", "Identity"}, "Identity"},
        {"gzip", {}, ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Accept));
        EXPECT_EQ(TPylonUtils::AcceptsEncoding(Case.Accept, Case.Values), Case.Expected);
    }
    EXPECT_TRUE(TPylonUtils::AcceptsEncoding("gzip", "gzip"));
    EXPECT_FALSE(TPylonUtils::AcceptsEncoding("gzip", "br"));
}

} // namespace
} // namespace pylon
