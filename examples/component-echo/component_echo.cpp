// component_echo: a WebSocket echo server built on korvo's component, as a program of your own
// would be: it greets each connection, sends every text message back, and stops cleanly on
// SIGTERM or SIGINT.
//
//   component_echo PORT [--https]
//
// It serves ws://127.0.0.1:PORT/echo/ (wss:// with --https: the certificate is the one an
// administrator bound to the port, `httpcfg add sslcert ipport=0.0.0.0:PORT ...`).
#include "platform/rtl/Exception.h"
#include "websocket/httpapi/zefWebSocket.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <pthread.h>
#include <string>

namespace {

/// The component with its endpoints served over TLS when asked: it registers the https form of
/// each URL and leaves the certificate to the machine's configuration, instead of binding one
/// itself (what a binding with SSL and a hash does).
class TEchoServer final : public zef::TzefWebSocketServer_HTTPAPI {
public:
    explicit TEchoServer(bool aSecure) : FSecure(aSecure) {}
    ~TEchoServer() override { Shutdown(); }

protected:
    void AddURL(const std::string& aURL) override {
        const bool Plain = aURL.rfind("http://", 0) == 0;
        TzefWebSocketServer_HTTPAPI::AddURL(FSecure && Plain ? "https://" + aURL.substr(7) : aURL);
    }

private:
    const bool FSecure;
};

int Usage(const char* Program) {
    std::cerr << "usage: " << Program << " PORT [--https]" << std::endl;
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::string(argv[2]) != "--https")) {
        return Usage(argv[0]);
    }
    char* End = nullptr;
    const long Port = std::strtol(argv[1], &End, 10);
    if (*End != '\0' || Port < 1 || Port > 65535) {
        return Usage(argv[0]);
    }
    const bool Secure = argc == 3;
    // SIGTERM and SIGINT are taken by this thread alone (sigwait below): the component's
    // threads, started after this, inherit the blocked mask.
    sigset_t Stop;
    sigemptyset(&Stop);
    sigaddset(&Stop, SIGTERM);
    sigaddset(&Stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &Stop, nullptr);
    try {
        TEchoServer Server(Secure);
        Server.SetHost(""); // no prefix of the component's own: only the endpoint's
        Server.Bindings().NewBinding("127.0.0.1", static_cast<int>(Port), "/echo/");
        Server.OnConnect = [](zef::TzefWSConnection& Connection) {
            Connection.WriteData("Hello From Server.", 0, zef::TwsStreaming::stmNone);
        };
        Server.OnMessage = [](zef::TzefWSConnection& Connection, const std::string& Text) {
            Connection.WriteData(Text, 0, zef::TwsStreaming::stmNone);
        };
        Server.SetActive(true);
        std::cout << "component_echo listening on " << (Secure ? "wss" : "ws")
                  << "://127.0.0.1:" << Port << "/echo/" << std::endl;
        int Signal = 0;
        sigwait(&Stop, &Signal);
        Server.SetActive(false);
        return 0;
    } catch (const rtl::Exception& E) {
        std::cout << E.ClassName() << ": " << E.what() << std::endl;
    } catch (const std::exception& E) {
        std::cout << "Exception: " << E.what() << std::endl;
    }
    return 1;
}
