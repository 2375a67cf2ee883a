// CookedUrl: the decoded, canonical form of a request's URL that routing and HTTP_COOKED_URL use.
#pragma once

#include "platform/httpapi/ListenerAnswer.h"
#include "platform/httpapi/RequestParser.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace httpapi {

/// The parts of a cooked URL. Path is percent-decoded UTF-8 with dot segments removed; Query is
/// as received, '?' included; HostPort is the host as the client named it (port included when
/// given); HostName is its lower-case name without port or brackets.
struct TCookedUrl {
    std::string Scheme = "http";
    std::string HostPort;
    std::string HostName;
    std::string Path;
    std::string Query;
};

/// Cooks the target of Head. LocalHost is the host text used when an HTTP/1.0 request has no
/// Host header (the connection's local address and port). Returns TListenerAnswer::None or the
/// answer that refuses the request.
TListenerAnswer CookUrl(const TRequestHead& Head, std::string_view LocalHost, TCookedUrl& Url);

} // namespace httpapi
