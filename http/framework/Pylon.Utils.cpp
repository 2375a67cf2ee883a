// Pylon.Utils: percent-coding, query strings, status texts, dates, Base64 and header values.
#include "http/framework/Pylon.Utils.h"

#include "platform/rtl/Escaping.h"
#include "platform/rtl/Exception.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/StringList.h"
#include "platform/rtl/Utf.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace pylon {

namespace {

// Calls Piece for every part of S between Separator characters, empty parts included.
template <typename TFunc>
void SplitEach(std::string_view S, char Separator, TFunc&& Piece) {
    std::size_t Start = 0;
    while (true) {
        const std::size_t End = S.find(Separator, Start);
        if (End == std::string_view::npos) {
            Piece(S.substr(Start));
            return;
        }
        Piece(S.substr(Start, End - Start));
        Start = End + 1;
    }
}

std::string Unquote(std::string_view Value) {
    if (Value.size() > 2 && Value.front() == '"' && Value.back() == '"') {
        return std::string(Value.substr(1, Value.size() - 2));
    }
    return std::string(Value);
}

std::string DecodeQueryPart(std::string_view Part, bool DecodePlus) {
    if (!DecodePlus || Part.find('+') == std::string_view::npos) {
        return TPylonUtils::PercentDecode(Part);
    }
    // "+" as "%20" and "+" as " " decode alike: no escape can swallow the inserted "%".
    std::string Spaced(Part);
    for (char& C : Spaced) {
        if (C == '+') {
            C = ' ';
        }
    }
    return TPylonUtils::PercentDecode(Spaced);
}

[[noreturn]] void RaiseInvalidDateTime(std::string_view Value) {
    throw rtl::EConvertError(rtl::FormatText(SInvalidDateTime, {Value}));
}

} // namespace

std::string THeaderParamsInfo::ParamValue(std::string_view Name) const {
    std::string Result;
    TryParamValue(Name, Result);
    return Result;
}

bool THeaderParamsInfo::TryParamValue(std::string_view Name, std::string& Result) const {
    for (const TNameValuePair& Param : Params) {
        if (rtl::SameText(Param.Name, Name)) {
            Result = Param.Value;
            return true;
        }
    }
    return false;
}

std::string TPylonUtils::PercentDecode(std::string_view S) {
    if (S.find('%') == std::string_view::npos && rtl::IsValidUtf8(S)) {
        return std::string(S);
    }
    std::string Bytes = rtl::PercentDecodeLenient(S);
    if (!rtl::IsValidUtf8(Bytes)) {
        return rtl::WideToUtf8(rtl::Utf8ToWide(Bytes));
    }
    return Bytes;
}

std::string TPylonUtils::PercentEncode(std::span<const std::string> Segments) {
    std::string Result;
    for (const std::string& Segment : Segments) {
        if (!Result.empty()) {
            Result += '/';
        }
        Result += TNexaUtils::PercentEncode(Segment);
    }
    return Result;
}

std::vector<TQueryParam> TPylonUtils::GetQueryParams(std::string_view Query, bool DecodePlus) {
    if (!Query.empty() && Query.front() == '?') {
        Query.remove_prefix(1);
    }
    std::vector<TQueryParam> Result;
    if (Query.empty()) {
        return Result;
    }
    SplitEach(Query, '&', [&](std::string_view Piece) {
        const std::size_t Equal = Piece.find('=');
        if (Equal == std::string_view::npos) {
            Result.push_back({std::string(), DecodeQueryPart(Piece, DecodePlus)});
        } else {
            Result.push_back({DecodeQueryPart(Piece.substr(0, Equal), DecodePlus),
                              DecodeQueryPart(Piece.substr(Equal + 1), DecodePlus)});
        }
    });
    return Result;
}

std::string_view TPylonUtils::GetStatusReason(int StatusCode) noexcept {
    switch (StatusCode) {
    case 100:
        return "Continue";
    case 101:
        return "Switching Protocols";
    case 102:
        return "Processing";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 203:
        return "Non-Authoritative Information";
    case 204:
        return "No Content";
    case 205:
        return "Reset Content";
    case 206:
        return "Partial Content";
    case 207:
        return "Multi-Status";
    case 208:
        return "Already Reported";
    case 300:
        return "Multiple Choices";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 305:
        return "Use Proxy";
    case 306:
        return "Switch Proxy";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 402:
        return "Payment Required";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 406:
        return "Not Acceptable";
    case 407:
        return "Proxy Authentication Required";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Request Entity Too Large";
    case 414:
        return "Request-URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 416:
        return "Request Range Not Satisfiable";
    case 417:
        return "Expectation Failed";
    case 422:
        return "Unprocessable Entity";
    case 423:
        return "Locked";
    case 424:
        return "Failed Dependency";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    case 505:
        return "Http Version Not Supported";
    case 506:
        return "Variant Also Negotiates";
    case 507:
        return "Insufficient Storage";
    default:
        return {};
    }
}

TDateTime TPylonUtils::ISOToDate(std::string_view Value) {
    TDateTime Result = 0;
    if (!TryISOToDate(Value, Result)) {
        RaiseInvalidDateTime(Value);
    }
    return Result;
}

TDateTime TPylonUtils::ISOToTime(std::string_view Value) {
    TDateTime Result = 0;
    if (!TryISOToTime(Value, Result)) {
        RaiseInvalidDateTime(Value);
    }
    return Result;
}

TDateTime TPylonUtils::ISOToDateTime(std::string_view Value) {
    TDateTime Result = 0;
    if (!TryISOToDateTime(Value, Result)) {
        RaiseInvalidDateTime(Value);
    }
    return Result;
}

std::string TPylonUtils::DateTimeToDayTimeDuration(TDateTime Value) {
    TNexaUtils::DecodeTime(Value); // Rejects values outside the calendar's range.
    auto Days = std::int64_t(std::trunc(Value));
    auto MSecs = std::llround(std::fabs(Value - double(Days)) * 86'400'000.0);
    if (MSecs >= 86'400'000) {
        MSecs -= 86'400'000;
        Days += Value < 0 ? -1 : 1;
    }
    const std::int64_t Parts[3] = {MSecs / 3'600'000, MSecs / 60'000 % 60, MSecs / 1000 % 60};
    std::string Result = "P";
    if (Days != 0) {
        Result += std::to_string(Days) + "D";
    }
    static constexpr char Units[3] = {'H', 'M', 'S'};
    for (int I = 0; I < 3; ++I) {
        if (Parts[I] != 0) {
            Result += std::to_string(Parts[I]) + Units[I];
        }
    }
    if (Result.size() == 1) {
        Result += "0D";
    }
    return Result;
}

bool TPylonUtils::TryDayTimeDurationToDateTime(std::string_view Value, TDateTime& Time) {
    if (Value.empty() || Value.front() != 'P') {
        return false;
    }
    std::size_t Pos = 1;
    bool AnyGroup = false;
    int Parts[4] = {}; // D, H, M, S
    while (Pos < Value.size()) {
        std::size_t End = Pos;
        while (End < Value.size() && Value[End] >= '0' && Value[End] <= '9') {
            ++End;
        }
        if (End == Pos || End == Value.size()) {
            break;
        }
        const std::size_t Letter = std::string_view("DHMS").find(Value[End]);
        if (Letter == std::string_view::npos) {
            break;
        }
        int Number = 0;
        const auto [Ptr, Error] = std::from_chars(Value.data() + Pos, Value.data() + End, Number);
        if (Error != std::errc() || Ptr != Value.data() + End) {
            throw rtl::EConvertError(
                rtl::FormatText("'%s' is not a valid integer value",
                                {std::string_view(Value.data() + Pos, End - Pos)}));
        }
        Parts[Letter] = Number;
        AnyGroup = true;
        Pos = End + 1;
    }
    if (!AnyGroup) {
        return false;
    }
    Time = double(Parts[0]) + TNexaUtils::EncodeTime(Parts[1], Parts[2], Parts[3], 0);
    return true;
}

std::int64_t TPylonUtils::LocalDateTimeToUnix(TDateTime Value) {
    // nearbyint rounds half to even in the default rounding mode.
    const double Seconds = std::nearbyint((Value - 25569.0) * 86400.0);
    if (!std::isfinite(Seconds) || std::fabs(Seconds) > 9.0e15) {
        throw rtl::EConvertError("Invalid date-time value");
    }
    return std::int64_t(Seconds);
}

std::string TPylonUtils::DateTimeToJson(TDateTime Value) {
    return "\\/Date(" + std::to_string(LocalDateTimeToUnix(Value) * 1000) + ")\\/";
}

std::string TPylonUtils::BasicAuthHeaderValue(std::string_view UserName,
                                              std::string_view Password) {
    const std::string Pair = rtl::FormatText("%s:%s", {UserName, Password});
    return "Basic " + TNexaUtils::EncodeBase64(std::string_view(Pair));
}

void TPylonUtils::GetNameAndAnnotation(std::string_view Text, std::string& AName,
                                       std::string& AAnnotation) {
    const std::size_t At = Text.find('@');
    if (At == std::string_view::npos) {
        AName = std::string(Text);
        AAnnotation.clear();
    } else {
        AName = std::string(Text.substr(0, At));
        AAnnotation = std::string(Text.substr(At + 1));
    }
}

void TPylonUtils::ExtractNameValue(std::string_view S, char Separator, std::string& Name,
                                   std::string& Value) {
    const std::size_t Pos = S.find(Separator);
    if (Pos == std::string_view::npos || Pos == 0) {
        Name.clear();
        Value = std::string(S);
    } else {
        Name = std::string(S.substr(0, Pos));
        Value = std::string(S.substr(Pos + 1));
    }
}

void TPylonUtils::ParseHeader(std::string_view Header, std::string& Name, std::string& Value) {
    ExtractNameValue(Header, ':', Name, Value);
    Name = std::string(rtl::Trim(Name));
}

THeaderParamsInfo TPylonUtils::ParseHeaderParams(std::string_view Header) {
    THeaderParamsInfo Result;
    const std::size_t First = Header.find(';');
    if (First == std::string_view::npos) {
        Result.Value = std::string(rtl::Trim(Header));
        return Result;
    }
    Result.Value = std::string(rtl::Trim(Header.substr(0, First)));
    SplitEach(Header.substr(First + 1), ';', [&](std::string_view Piece) {
        const std::size_t Equal = Piece.find('=');
        // A parameter needs a name; " =x" has none either.
        if (Equal == std::string_view::npos || rtl::Trim(Piece.substr(0, Equal)).empty()) {
            return;
        }
        Result.Params.emplace_back(rtl::LowerCase(rtl::Trim(Piece.substr(0, Equal))),
                                   Unquote(rtl::Trim(Piece.substr(Equal + 1))));
    });
    return Result;
}

TAcceptItem TPylonUtils::ParseMediaItem(std::string_view Item) {
    Item = rtl::Trim(Item);
    TAcceptItem Result;
    std::string_view Range;
    bool FirstPiece = true;
    SplitEach(Item, ';', [&](std::string_view Piece) {
        if (FirstPiece) {
            Range = rtl::Trim(Piece);
            FirstPiece = false;
            return;
        }
        const std::size_t Equal = Piece.find('=');
        // Blanks around the name are skipped: "text/html; q=0.5" is the common spelling.
        if (Equal == std::string_view::npos || rtl::Trim(Piece.substr(0, Equal)) != "q") {
            return;
        }
        const std::string_view Text = rtl::Trim(Piece.substr(Equal + 1));
        double Q = 0;
        const auto [Ptr, Error] =
            std::from_chars(Text.data(), Text.data() + Text.size(), Q, std::chars_format::fixed);
        const bool Valid = !Text.empty() && Error == std::errc() &&
                           Ptr == Text.data() + Text.size() && Q >= 0 && Q <= 1;
        Result.Q = Valid ? Q : 1;
    });
    if (Range.empty() || Range == "*") {
        Range = "*/*";
    }
    const std::size_t Slash = Range.find('/');
    if (Slash == std::string_view::npos) {
        Result.TypeName = std::string(Range);
        Result.SubType = "*";
    } else {
        Result.TypeName = std::string(Range.substr(0, Slash));
        Result.SubType = std::string(Range.substr(Slash + 1));
    }
    return Result;
}

std::vector<TAcceptItem> TPylonUtils::GetAcceptables(std::string_view Accept) {
    std::vector<TAcceptItem> Result;
    SplitEach(Accept, ',',
              [&](std::string_view Piece) { Result.push_back(ParseMediaItem(Piece)); });
    return Result;
}

TMatchWeight TPylonUtils::MediaItemWeight(std::string_view Item,
                                          std::span<const TAcceptItem> Acceptables) {
    const TAcceptItem Candidate = ParseMediaItem(Item);
    TMatchWeight Result;
    for (const TAcceptItem& Acceptable : Acceptables) {
        const bool TypeEqual = rtl::SameText(Candidate.TypeName, Acceptable.TypeName);
        const bool SubEqual = rtl::SameText(Candidate.SubType, Acceptable.SubType);
        if (!TypeEqual && Candidate.TypeName != "*" && Acceptable.TypeName != "*") {
            continue;
        }
        if (!SubEqual && Candidate.SubType != "*" && Acceptable.SubType != "*") {
            continue;
        }
        const int Weight = TypeEqual && SubEqual ? 110 : TypeEqual ? 100 : SubEqual ? 10 : 0;
        if (Weight > Result.Value) {
            Result.Value = Weight;
            Result.Q = Acceptable.Q;
        }
    }
    return Result;
}

TMatchWeight TPylonUtils::BestAcceptableMatch(std::span<const TAcceptItem> Acceptables,
                                              std::span<const std::string> Values) {
    TMatchWeight Best;
    for (const std::string& Value : Values) {
        TMatchWeight Weight = MediaItemWeight(Value, Acceptables);
        if (Weight.Value == -1) {
            continue;
        }
        if (Weight.Value > Best.Value || (Weight.Value == Best.Value && Weight.Q > Best.Q) ||
            Best.Q == 0) {
            Best = std::move(Weight);
            Best.TypeName = Value;
        }
    }
    return Best;
}

std::string TPylonUtils::AcceptsType(std::string_view Accept, std::span<const std::string> Values) {
    if (Values.empty()) {
        return {};
    }
    if (Accept.empty()) {
        return Values.front();
    }
    const std::vector<TAcceptItem> Acceptables = GetAcceptables(Accept);
    TMatchWeight Best = BestAcceptableMatch(Acceptables, Values);
    return Best.Q > 0 ? std::move(Best.TypeName) : std::string();
}

bool TPylonUtils::AcceptsType(std::string_view Accept, std::string_view Value) {
    const std::string Values[] = {std::string(Value)};
    return !AcceptsType(Accept, Values).empty();
}

std::string TPylonUtils::AcceptsEncoding(std::string_view Accept,
                                         std::span<const std::string> Values) {
    if (Values.empty()) {
        return {};
    }
    // An empty Accept-Encoding lists nothing (it does not mean "*").
    const std::vector<TAcceptItem> Acceptables =
        Accept.empty() ? std::vector<TAcceptItem>() : GetAcceptables(Accept);
    TMatchWeight Best = BestAcceptableMatch(Acceptables, Values);
    if (Best.Q > 0) {
        return std::move(Best.TypeName);
    }
    bool NamesIdentity = false;
    for (const TAcceptItem& Item : Acceptables) {
        NamesIdentity = NamesIdentity || rtl::SameText(Item.TypeName, "identity");
    }
    if (!NamesIdentity && !rtl::SameText(Best.TypeName, "identity")) {
        for (const std::string& Value : Values) {
            if (rtl::SameText(Value, "identity")) {
                return Value;
            }
        }
    }
    return {};
}

bool TPylonUtils::AcceptsEncoding(std::string_view Accept, std::string_view Value) {
    const std::string Values[] = {std::string(Value)};
    return !AcceptsEncoding(Accept, Values).empty();
}

} // namespace pylon
