// UrlPrefix: the Windows UrlPrefix syntax (scheme://host:port/path/) and how a prefix matches.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <windows.h>

namespace httpapi {

/// The four host categories, in routing precedence.
enum class THostKind : std::uint8_t {
    StrongWildcard, // "+"
    Explicit,       // a name
    IpAddress,      // an IPv4 literal or a bracketed IPv6 literal
    WeakWildcard,   // "*"
};

/// One parsed prefix. Host is lower case (IPv6 without brackets); Path is lower case, starts
/// and ends with '/', and is compared case-insensitively like the Windows listener does.
struct TUrlPrefix {
    std::string Scheme;
    THostKind Kind = THostKind::WeakWildcard;
    std::string Host;
    std::uint16_t Port = 0;
    std::string Path;

    /// The text that identifies the prefix for duplicate detection and removal.
    std::string Key() const;
    /// True when a request path (decoded, lower case not required) lies under this prefix:
    /// it starts with Path, or equals Path without its trailing slash.
    bool MatchesPath(std::string_view RequestPath) const noexcept;
};

/// Parses a prefix. Returns NO_ERROR, ERROR_INVALID_PARAMETER for a malformed prefix, or
/// ERROR_NOT_SUPPORTED for an IPv4 literal that is not a usable unicast address.
DWORD ParseUrlPrefix(std::string_view Text, TUrlPrefix& Prefix);

/// ASCII lower case (URLs and host names are case-insensitive in ASCII only).
std::string AsciiLower(std::string_view Text);
bool AsciiEqualNoCase(std::string_view A, std::string_view B) noexcept;

} // namespace httpapi
