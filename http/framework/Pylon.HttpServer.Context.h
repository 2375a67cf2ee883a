// Pylon.HttpServer.Context: the request and response of one exchange.
#pragma once

#include "http/framework/Pylon.HttpServer.Request.h"
#include "http/framework/Pylon.HttpServer.Response.h"

namespace pylon {

/// One exchange. The host's descendant owns the request and the response and frees them when
/// the exchange is over; one worker thread at a time.
class THttpServerContext {
public:
    THttpServerContext() = default;
    THttpServerContext(const THttpServerContext&) = delete;
    THttpServerContext& operator=(const THttpServerContext&) = delete;
    virtual ~THttpServerContext() = default;

    THttpServerRequest& Request() { return GetRequest(); }
    THttpServerResponse& Response() { return GetResponse(); }

protected:
    virtual THttpServerRequest& GetRequest() = 0;
    virtual THttpServerResponse& GetResponse() = 0;
};

} // namespace pylon
