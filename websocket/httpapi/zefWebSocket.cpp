// zefWebSocket: the published WebSocket server component over the HTTP Server API.
#include "websocket/httpapi/zefWebSocket.h"

namespace zef {

TzefWebSocketServer_HTTPAPI::TzefWebSocketServer_HTTPAPI() = default;

TzefWebSocketServer_HTTPAPI::~TzefWebSocketServer_HTTPAPI() {
    Shutdown();
}

} // namespace zef
