// zefWebSocket: the published WebSocket server component over the HTTP Server API.
#pragma once

#include "websocket/httpapi/zefWebSocket_Server_HTTPAPI.h"

namespace zef {

/// The component the programs create: the HTTP Server API server with nothing added. The
/// owner's thread creates, configures, activates and frees it.
class TzefWebSocketServer_HTTPAPI : public TzefWSServer_HTTPAPI {
public:
    TzefWebSocketServer_HTTPAPI();
    ~TzefWebSocketServer_HTTPAPI() override;
};

} // namespace zef
