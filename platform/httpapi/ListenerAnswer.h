// ListenerAnswer: the responses the listener sends by itself (400 variants, 404, 411, 414, 501,
// 503, 505), in the Windows listener's shapes and texts, with this layer's Server header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace httpapi {

enum class TListenerAnswer : std::uint8_t {
    None,
    BadRequest,
    InvalidHostname,
    InvalidUrl,
    InvalidVerb,
    RequestTooLong,
    HeaderFieldTooLong,
    NotFound,
    LengthRequired,
    UrlTooLong,
    ServiceUnavailable,
    NotImplemented,
    VersionNotSupported,
};

/// The value of the Server header on every response: our name for this layer.
inline constexpr std::string_view ServerHeaderValue = "Linux-HTTPAPI/2.0";

/// The complete response (status line, headers, body) for Answer. Every answer closes the
/// connection ("Connection: close").
std::string ListenerAnswerText(TListenerAnswer Answer);

/// The status code of Answer (400, 404, ...).
int ListenerAnswerStatus(TListenerAnswer Answer) noexcept;

/// The current time as an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT"), cached per second.
std::string_view HttpDateNow();

} // namespace httpapi
