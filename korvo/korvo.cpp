// korvo: the WebSocket echo server. Greets every connection and sends every text message back to
// the connection it came from, on ws://127.0.0.1:2001/ws/.
#include "platform/rtl/Exception.h"
#include "websocket/httpapi/zefWebSocket.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

/// The two event handlers. No state: they run on the component's workers, several at once.
class TzefServerClass {
public:
    void OnConnectEvent(zef::TzefWSConnection& Connection) {
        Connection.WriteData("Hello From Server.", 0, zef::TwsStreaming::stmNone);
    }
    void OnMessageEvent(zef::TzefWSConnection& Connection, const std::string& Text) {
        Connection.WriteData(Text, 0, zef::TwsStreaming::stmNone);
    }
};

} // namespace

int main() {
    try {
        auto Server = std::make_unique<zef::TzefWebSocketServer_HTTPAPI>();
        auto Handlers = std::make_unique<TzefServerClass>();
        try {
            Server->Bindings().NewBinding("127.0.0.1", 2001, "/ws/", false, "",
                                          zef::TwsIPVersion::ipV4, "");
            // Text that is not UTF-8 is refused (1007) instead of being echoed as text, which
            // every conforming client would have to reject; a refusal goes out as a close frame.
            Server->Options().SetValidateUTF8(true);
            Server->Options().SetCleanDisconnect(true);
            Server->OnConnect = [&Handlers](zef::TzefWSConnection& Connection) {
                Handlers->OnConnectEvent(Connection);
            };
            Server->OnMessage = [&Handlers](zef::TzefWSConnection& Connection,
                                            const std::string& Text) {
                Handlers->OnMessageEvent(Connection, Text);
            };
            Server->SetActive(true);
            std::cout << "zefWebSockets Server started at ws://127.0.0.1:2001/ws" << std::endl;
            while (Server->Active()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        } catch (...) {
            Handlers.reset();
            Server.reset();
            throw;
        }
        Handlers.reset();
        Server.reset();
    } catch (const rtl::Exception& E) {
        std::cout << E.ClassName() << ": " << E.what() << std::endl;
    }
    return 0;
}
