// korvo: the WebSocket echo server. Greets every connection and sends every text message back to
// the connection it came from, on ws://127.0.0.1:2001/ws/. Runs until SIGINT (Ctrl-C) or
// SIGTERM, which close every connection as going away and end the program with status 0.
#include "platform/rtl/Exception.h"
#include "websocket/httpapi/zefWebSocket.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <string>
#include <vector>

namespace {

/// The close code of a server that goes away.
constexpr int GoingAway = 1001;
/// How often the run loop reads Active.
constexpr long PollNanoseconds = 10'000'000;

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

/// Sends every open connection a close frame with aCloseCode, then ends it.
void CloseEveryConnection(zef::TzefWebSocketServer_HTTPAPI& Server, int aCloseCode) {
    zef::TzefWSComponent_Server::TRegistryUse Use(Server); // Used after the registry's lock.
    std::vector<zef::TzefWSConnection*> Open;
    for (zef::TzefWSConnection* Entry : Server.ShareList()) {
        if (Entry != nullptr && Entry->Enabled() && !Entry->Disconnected()) {
            Open.push_back(Entry);
        }
    }
    Server.UnShareList(); // Pairs with ShareList.
    for (zef::TzefWSConnection* Connection : Open) {
        try {
            Connection->Close(aCloseCode);
            Connection->DisconnectPeer();
        } catch (...) {
            // A connection that went away meanwhile needs no goodbye.
        }
    }
}

} // namespace

int main() {
    // One malloc arena unless the environment chooses: a closed connection is freed a grace time
    // later, in a batch, on whichever worker releases it, and with an arena per busy thread the
    // holes those batches leave in every arena stay resident (the process grows for minutes under
    // connection churn to several times its live memory). The per-thread caches keep the one
    // arena's lock off the message path.
    if (std::getenv("MALLOC_ARENA_MAX") == nullptr) {
        mallopt(M_ARENA_MAX, 1);
    }
    // The stop signals are taken by the run loop only: blocked here, before any thread starts,
    // so that every thread of the component inherits the mask.
    sigset_t StopSignals;
    sigemptyset(&StopSignals);
    sigaddset(&StopSignals, SIGINT);
    sigaddset(&StopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &StopSignals, nullptr);
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
            const timespec Poll{0, PollNanoseconds};
            while (Server->Active()) {
                if (sigtimedwait(&StopSignals, nullptr, &Poll) > 0) {
                    CloseEveryConnection(*Server, GoingAway);
                    Server->SetActive(false);
                    break;
                }
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
        return 1; // A failed start is a failure.
    }
    return 0;
}
