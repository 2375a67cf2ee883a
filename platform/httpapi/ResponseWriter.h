// ResponseWriter: the status line and headers of an application's HTTP_RESPONSE, framed as the
// Windows listener frames them.
#pragma once

#include "platform/httpapi/RequestParser.h"

#include <http.h>
#include <string>

namespace httpapi {

/// A formatted head. Its text starts with the memory of the thread's previous head, given back
/// when it ends, so that a thread answering request after request formats without allocating.
struct TResponseHead {
    TResponseHead() noexcept;
    ~TResponseHead();
    TResponseHead(const TResponseHead&) = delete;
    TResponseHead& operator=(const TResponseHead&) = delete;

    std::string Text;        // status line, headers, blank line
    bool CloseAfter = false; // the connection ends with this response
    bool DropBody = false;   // a response to HEAD carries no body bytes
};

/// Formats Response for Request. BodyBytes is the size of the entity chunks sent in the same
/// call; Final is false when more body follows (the more-data flag). Adds Date and Server,
/// Content-Length when the whole body goes in this call and the application gave no length,
/// and Connection when the connection's fate needs saying. Refuses (ERROR_INVALID_PARAMETER)
/// a status outside 100-999, and CR, LF or NUL in the reason, a header name or a value.
DWORD FormatResponseHead(const HTTP_RESPONSE_V2& Response, ULONG Flags, const TRequestHead& Request,
                         ULONGLONG BodyBytes, bool Final, TResponseHead& Head);

} // namespace httpapi
