// Pylon.Uri: the parsed, immutable form of a URL.
#include "http/framework/Pylon.Uri.h"

#include "http/framework/Nexa.Utils.h"
#include "http/framework/Pylon.Utils.h"
#include "platform/rtl/StringList.h"
#include "platform/rtl/Utf.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace pylon {

namespace {

// Decodes the UTF-8 sequence at Text[Pos]; Length 0 when it is ill-formed.
char32_t DecodeAt(std::string_view Text, std::size_t Pos, std::size_t& Length) {
    const auto Lead = std::uint8_t(Text[Pos]);
    if (Lead < 0x80) {
        Length = 1;
        return Lead;
    }
    std::size_t Count = (Lead & 0xE0) == 0xC0   ? 2
                        : (Lead & 0xF0) == 0xE0 ? 3
                        : (Lead & 0xF8) == 0xF0 ? 4
                                                : 0;
    if (Count == 0 || Pos + Count > Text.size() || !rtl::IsValidUtf8(Text.substr(Pos, Count))) {
        Length = 0;
        return 0;
    }
    char32_t Code = Lead & (0x7F >> Count);
    for (std::size_t I = 1; I < Count; ++I) {
        Code = Code << 6 | (std::uint8_t(Text[Pos + I]) & 0x3F);
    }
    Length = Count;
    return Code;
}

bool IsOneOf(char C, std::string_view Set) noexcept {
    for (const char Member : Set) {
        if (C == Member) {
            return true;
        }
    }
    return false;
}

// The text before the first of Stops (all of S when none occurs), removed from S. A plain scan:
// find_first_of calls a search of the stop set for every character of S.
std::string_view TakeUntil(std::string_view& S, std::string_view Stops) {
    std::size_t End = 0;
    while (End < S.size() && !IsOneOf(S[End], Stops)) {
        ++End;
    }
    const std::string_view Taken = S.substr(0, End);
    S.remove_prefix(End);
    return Taken;
}

} // namespace

TUri::TUri(std::string_view AUri) : FUri(AUri) {
    ParseUri(FUri);
}

std::size_t TUri::ExtractScheme(std::string_view S) {
    std::size_t Pos = 0;
    while (Pos < S.size()) {
        const char C = S[Pos];
        if ((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z')) {
            ++Pos; // an ASCII letter, the usual case, without decoding
            continue;
        }
        std::size_t Length = 0;
        const char32_t Code = DecodeAt(S, Pos, Length);
        if (Length == 0 || !TNexaUtils::IsLetter(Code)) {
            break;
        }
        Pos += Length;
    }
    return S.substr(Pos).starts_with("://") ? Pos : std::string_view::npos;
}

bool TUri::HasScheme(std::string_view S) {
    const std::size_t Length = ExtractScheme(S);
    return Length != std::string_view::npos && Length > 0;
}

std::string TUri::PercentDecode(std::string_view S) {
    return TPylonUtils::PercentDecode(S);
}

std::string TUri::PercentEncode(std::string_view S) {
    return TPylonUtils::PercentEncode(S);
}

void TUri::ParseUri(std::string_view S) {
    const std::size_t SchemeLength = ExtractScheme(S);
    if (SchemeLength != std::string_view::npos) {
        FScheme = rtl::LowerCase(S.substr(0, SchemeLength));
        S.remove_prefix(SchemeLength + 3);
    }
    std::string_view Authority = TakeUntil(S, "/?#");
    const std::size_t At = Authority.find('@');
    if (At != std::string_view::npos) {
        FUserInfo.assign(Authority.substr(0, At));
        Authority.remove_prefix(At + 1);
    }
    std::string_view PortText = "0";
    const std::size_t Colon = Authority.find(':');
    if (Colon != std::string_view::npos) {
        FHost.assign(Authority.substr(0, Colon));
        PortText = Authority.substr(Colon + 1);
    } else {
        FHost.assign(Authority);
    }
    if (!S.empty() && S.front() == '/') {
        FOriginalPath.assign(TakeUntil(S, "?#"));
    } else {
        FOriginalPath = "/";
    }
    if (!S.empty() && S.front() == '?') {
        FOriginalQuery.assign(TakeUntil(S, "#"));
    }
    FOriginalFragment.assign(S);

    std::string_view Rest = FOriginalPath;
    Rest.remove_prefix(1);
    FSegments.reserve(std::size_t(std::count(Rest.begin(), Rest.end(), '/')) + 1);
    while (!Rest.empty()) {
        const std::string_view Segment = TakeUntil(Rest, "/");
        if (!Segment.empty()) {
            FSegments.push_back(TPylonUtils::PercentDecode(Segment));
        }
        if (!Rest.empty()) {
            Rest.remove_prefix(1);
        }
    }

    int Port = 0;
    const auto [Ptr, Error] =
        std::from_chars(PortText.data(), PortText.data() + PortText.size(), Port);
    if (Error != std::errc() || Ptr != PortText.data() + PortText.size() || Port < 0 ||
        Port > 65535) {
        Port = 0;
    }
    if (Port == 0) {
        Port = FScheme.empty() || FScheme == "http" ? 80 : FScheme == "https" ? 443 : 0;
    }
    FPort = Port;
    FPath = TPylonUtils::PercentDecode(FOriginalPath);
    FQuery = TPylonUtils::PercentDecode(FOriginalQuery);
    FFragment = TPylonUtils::PercentDecode(FOriginalFragment);
}

bool TUri::IsDefaultPort() const {
    return FPort == 0 || (FPort == 80 && (FScheme == "http" || FScheme.empty())) ||
           (FPort == 443 && FScheme == "https");
}

std::string TUri::Authority() const {
    std::string Result;
    if (!FUserInfo.empty()) {
        Result = FUserInfo + "@";
    }
    Result += FHost;
    if (!IsDefaultPort()) {
        Result += ":" + std::to_string(FPort);
    }
    return Result;
}

} // namespace pylon
