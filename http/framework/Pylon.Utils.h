// Pylon.Utils: percent-coding, query strings, status texts, dates, Base64 and header values.
#pragma once

#include "http/framework/Nexa.Utils.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pylon {

struct TNameValuePair {
    std::string Name;
    std::string Value;
    TNameValuePair() = default;
    TNameValuePair(std::string AName, std::string AValue)
        : Name(std::move(AName))
        , Value(std::move(AValue)) {}
    friend bool operator==(const TNameValuePair&, const TNameValuePair&) = default;
};

/// One "key=value" piece of a query string.
struct TQueryParam {
    std::string Key;
    std::string Value;
    friend bool operator==(const TQueryParam&, const TQueryParam&) = default;
};

/// A header value with its ";"-separated parameters (content type, content disposition).
struct THeaderParamsInfo {
    std::string Value;
    std::vector<TNameValuePair> Params;
    /// The first parameter named Name (ASCII case ignored), or "".
    std::string ParamValue(std::string_view Name) const;
    bool TryParamValue(std::string_view Name, std::string& Value) const;
};

/// One media range of an Accept list.
struct TAcceptItem {
    std::string TypeName;
    std::string SubType;
    double Q = 1;
};

/// How well a candidate matched an Accept list; Value -1 means not at all.
struct TMatchWeight {
    int Value = -1;
    double Q = 0;
    std::string TypeName;
};

/// Static utilities; never instantiated and stateless.
class TPylonUtils {
public:
    TPylonUtils() = delete;

    /// rtl::PercentDecodeLenient (a "%" without two hex digits stays literal), then bytes that
    /// are not well-formed UTF-8 become U+FFFD. "+" stays "+".
    static std::string PercentDecode(std::string_view S);
    static std::string PercentEncode(std::string_view S) { return TNexaUtils::PercentEncode(S); }
    /// Encoded segments joined with "/", without a leading "/".
    static std::string PercentEncode(std::span<const std::string> Segments);
    /// Splits at "&" (one pair per piece, empty pieces included); DecodePlus turns "+" into " ".
    static std::vector<TQueryParam> GetQueryParams(std::string_view Query, bool DecodePlus);
    static std::string CombineUrlFast(std::string_view AbsoluteUrl, std::string_view RelativeUrl) {
        return TNexaUtils::CombineUrlFast(AbsoluteUrl, RelativeUrl);
    }
    /// The reason text of a status code, "" for a code not in the table.
    static std::string_view GetStatusReason(int StatusCode) noexcept;

    static std::string DateToISO(TDateTime Value) { return TNexaUtils::DateToISO(Value); }
    static std::string TimeToISO(TDateTime Value) { return TNexaUtils::TimeToISO(Value); }
    static std::string DateTimeToISO(TDateTime Value, bool FullNotation = false) {
        return TNexaUtils::DateTimeToISO(Value, FullNotation);
    }
    static bool TryISOToDate(std::string_view Value, TDateTime& DateTime) {
        return TNexaUtils::TryISOToDate(Value, DateTime);
    }
    static bool TryISOToTime(std::string_view Value, TDateTime& DateTime) {
        return TNexaUtils::TryISOToTime(Value, DateTime);
    }
    static bool TryISOToDateTime(std::string_view Value, TDateTime& DateTime) {
        return TNexaUtils::TryISOToDateTime(Value, DateTime);
    }
    /// The Try forms; throw rtl::EConvertError "Value %s is not a valid datetime" on failure.
    static TDateTime ISOToDate(std::string_view Value);
    static TDateTime ISOToTime(std::string_view Value);
    static TDateTime ISOToDateTime(std::string_view Value);

    /// "P" + days "D", hours "H", minutes "M", seconds "S" (each only when not 0), or "P0D".
    static std::string DateTimeToDayTimeDuration(TDateTime Value);
    /// False unless Value starts with "P" and one group (digits, then D, H, M or S). Reading
    /// stops at the first text of another form. Out-of-range parts throw rtl::EConvertError.
    static bool TryDayTimeDurationToDateTime(std::string_view Value, TDateTime& Time);
    /// Seconds since 1970-01-01 of the value as it is, rounded half to even.
    static std::int64_t LocalDateTimeToUnix(TDateTime Value);
    static std::string DateTimeToJson(TDateTime Value);

    static std::string EncodeBase64(std::span<const std::uint8_t> Input) {
        return TNexaUtils::EncodeBase64(Input);
    }
    static std::vector<std::uint8_t> DecodeBase64(std::string_view Input) {
        return TNexaUtils::DecodeBase64(Input);
    }
    static std::string BasicAuthHeaderValue(std::string_view UserName, std::string_view Password);
    static bool TryStringToGuid(std::string_view Value, TGuid& Guid) {
        return TNexaUtils::TryStringToGuid(Value, Guid);
    }

    static void GetNameAndAnnotation(std::string_view Text, std::string& AName,
                                     std::string& AAnnotation);
    /// Name before the first Separator (which must not be the first character), Value after;
    /// otherwise Name "" and Value all of S.
    static void ExtractNameValue(std::string_view S, char Separator, std::string& Name,
                                 std::string& Value);
    /// "Name: Value" lines: Name trimmed, Value as it stands.
    static void ParseHeader(std::string_view Header, std::string& Name, std::string& Value);
    static THeaderParamsInfo ParseHeaderParams(std::string_view Header);
    static THeaderParamsInfo ParseContentType(std::string_view Value) {
        return ParseHeaderParams(Value);
    }
    static THeaderParamsInfo ParseContentDisposition(std::string_view Value) {
        return ParseHeaderParams(Value);
    }

    /// The best candidate the Accept list allows, or "". An empty Accept allows the first.
    static std::string AcceptsType(std::string_view Accept, std::span<const std::string> Values);
    static bool AcceptsType(std::string_view Accept, std::string_view Value);
    /// The best coding the Accept-Encoding list allows, or ""; "identity" stays acceptable
    /// unless the list names it.
    static std::string AcceptsEncoding(std::string_view Accept,
                                       std::span<const std::string> Values);
    static bool AcceptsEncoding(std::string_view Accept, std::string_view Value);

    static TAcceptItem ParseMediaItem(std::string_view Item);
    static std::vector<TAcceptItem> GetAcceptables(std::string_view Accept);
    static TMatchWeight MediaItemWeight(std::string_view Item,
                                        std::span<const TAcceptItem> Acceptables);
    static TMatchWeight BestAcceptableMatch(std::span<const TAcceptItem> Acceptables,
                                            std::span<const std::string> Values);
};

/// Conversion error text of ISOToDate, ISOToTime and ISOToDateTime.
inline constexpr std::string_view SInvalidDateTime = "Value %s is not a valid datetime";

} // namespace pylon
