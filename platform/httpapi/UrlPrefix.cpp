// UrlPrefix: the Windows UrlPrefix syntax (scheme://host:port/path/) and how a prefix matches.
#include "platform/httpapi/UrlPrefix.h"

#include <algorithm>
#include <arpa/inet.h>

namespace httpapi {

namespace {

constexpr std::size_t MaxPrefixLength = 16384;

bool IsHostNameChar(char C) noexcept {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' ||
           C == '.' || C == '_' || static_cast<unsigned char>(C) >= 0x80;
}

} // namespace

std::string AsciiLower(std::string_view Text) {
    std::string Result(Text);
    for (char& C : Result) {
        if (C >= 'A' && C <= 'Z') {
            C = static_cast<char>(C - 'A' + 'a');
        }
    }
    return Result;
}

bool AsciiEqualNoCase(std::string_view A, std::string_view B) noexcept {
    if (A.size() != B.size()) {
        return false;
    }
    for (std::size_t I = 0; I < A.size(); ++I) {
        char X = A[I];
        char Y = B[I];
        if (X >= 'A' && X <= 'Z') {
            X = static_cast<char>(X - 'A' + 'a');
        }
        if (Y >= 'A' && Y <= 'Z') {
            Y = static_cast<char>(Y - 'A' + 'a');
        }
        if (X != Y) {
            return false;
        }
    }
    return true;
}

std::string TUrlPrefix::Key() const {
    return Scheme + "://" + std::to_string(static_cast<int>(Kind)) + Host + ":" +
           std::to_string(Port) + Path;
}

bool TUrlPrefix::MatchesPath(std::string_view RequestPath) const noexcept {
    if (RequestPath.size() >= Path.size()) {
        return AsciiEqualNoCase(RequestPath.substr(0, Path.size()), Path);
    }
    // "/base" reaches the prefix "/base/".
    return RequestPath.size() + 1 == Path.size() &&
           AsciiEqualNoCase(RequestPath, std::string_view(Path).substr(0, RequestPath.size()));
}

DWORD ParseUrlPrefix(std::string_view Text, TUrlPrefix& Prefix) {
    if (Text.empty() || Text.size() > MaxPrefixLength) {
        return ERROR_INVALID_PARAMETER;
    }
    TUrlPrefix Result;
    // Scheme: lower case only, as the Windows listener demands.
    if (Text.starts_with("http://")) {
        Result.Scheme = "http";
        Text.remove_prefix(7);
    } else if (Text.starts_with("https://")) {
        Result.Scheme = "https";
        Text.remove_prefix(8);
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    // Host.
    std::string_view Host;
    if (!Text.empty() && Text.front() == '[') {
        const std::size_t Close = Text.find(']');
        if (Close == std::string_view::npos) {
            return ERROR_INVALID_PARAMETER;
        }
        Host = Text.substr(1, Close - 1);
        Text.remove_prefix(Close + 1);
        in6_addr Address6{};
        const std::string HostText(Host);
        if (inet_pton(AF_INET6, HostText.c_str(), &Address6) != 1) {
            return ERROR_INVALID_PARAMETER;
        }
        char Canonical[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &Address6, Canonical, sizeof(Canonical));
        Result.Kind = THostKind::IpAddress;
        Result.Host = Canonical;
    } else {
        const std::size_t Colon = Text.find(':');
        if (Colon == std::string_view::npos) {
            return ERROR_INVALID_PARAMETER;
        }
        Host = Text.substr(0, Colon);
        Text.remove_prefix(Colon);
        if (Host.empty()) {
            return ERROR_INVALID_PARAMETER;
        }
        if (Host == "+") {
            Result.Kind = THostKind::StrongWildcard;
        } else if (Host == "*") {
            Result.Kind = THostKind::WeakWildcard;
        } else {
            if (!std::all_of(Host.begin(), Host.end(), IsHostNameChar) || Host.front() == '.' ||
                Host.find("..") != std::string_view::npos) {
                return ERROR_INVALID_PARAMETER;
            }
            const bool LooksNumeric = std::all_of(Host.begin(), Host.end(), [](char C) {
                return (C >= '0' && C <= '9') || C == '.';
            });
            if (LooksNumeric) {
                in_addr Address4{};
                const std::string HostText(Host);
                if (inet_pton(AF_INET, HostText.c_str(), &Address4) != 1) {
                    // "192." and the like: the Windows listener refuses these as unsupported.
                    return ERROR_NOT_SUPPORTED;
                }
                const std::uint32_t Value = ntohl(Address4.s_addr);
                if (Value == 0xFFFFFFFFu || (Value >> 28) == 0xE) {
                    return ERROR_NOT_SUPPORTED; // broadcast and multicast cannot be listened on
                }
                Result.Kind = THostKind::IpAddress;
                Result.Host = HostText;
            } else {
                Result.Kind = THostKind::Explicit;
                Result.Host = AsciiLower(Host);
            }
        }
    }
    // Port: decimal, no leading zero, 1-65535.
    if (Text.empty() || Text.front() != ':') {
        return ERROR_INVALID_PARAMETER;
    }
    Text.remove_prefix(1);
    std::size_t Digits = 0;
    std::uint32_t Port = 0;
    while (Digits < Text.size() && Text[Digits] >= '0' && Text[Digits] <= '9') {
        Port = Port * 10 + static_cast<std::uint32_t>(Text[Digits] - '0');
        if (Port > 65535) {
            return ERROR_INVALID_PARAMETER;
        }
        ++Digits;
    }
    if (Digits == 0 || Port == 0 || Text.front() == '0') {
        return ERROR_INVALID_PARAMETER;
    }
    Result.Port = static_cast<std::uint16_t>(Port);
    Text.remove_prefix(Digits);
    // Path: must be present (at least "/") and end with '/'.
    if (Text.empty() || Text.front() != '/' || Text.back() != '/') {
        return ERROR_INVALID_PARAMETER;
    }
    for (const char C : Text) {
        const auto Byte = static_cast<unsigned char>(C);
        if (Byte < 0x21 || Byte == 0x7F || C == '?' || C == '#' || C == '\\' || C == '%') {
            return ERROR_INVALID_PARAMETER;
        }
    }
    if (Text.find("//") != std::string_view::npos || Text.find("/./") != std::string_view::npos ||
        Text.find("/../") != std::string_view::npos) {
        return ERROR_INVALID_PARAMETER;
    }
    Result.Path = AsciiLower(Text);
    Prefix = std::move(Result);
    return NO_ERROR;
}

} // namespace httpapi
