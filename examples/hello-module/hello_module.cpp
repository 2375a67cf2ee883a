// hello_module: a module of halden's HTTP server framework, served by its HTTP Server API host,
// as a program of your own would be: it greets every request under its base URL, naming the
// URL asked for. It serves until a line (or the end) of standard input.
//
//   hello_module http://127.0.0.1:8080/hello
//   hello_module https://127.0.0.1:8443/hello   (certificate: `httpcfg add sslcert ...`)
#include "http/framework/Pylon.HttpServer.Module.h"
#include "http/httpsys/Pylon.HttpSys.Server.h"
#include "platform/rtl/Exception.h"

#include <exception>
#include <iostream>
#include <memory>
#include <string>

namespace {

/// Answers 200 "text/plain" with a greeting and the URL asked for (its scheme tells whether
/// the request came over TLS). Keeps no state: any number of pool threads may call it at once.
class TGreetingModule final : public pylon::THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    void ProcessRequest(pylon::THttpServerContext& C) override {
        pylon::THttpServerResponse& Response = C.Response();
        Response.SetStatusCode(200);
        Response.SetContentType("text/plain");
        Response.Close("Hello from a module, at " + C.Request().RawUri() + "\n");
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " BASE_URL" << std::endl;
        return 2;
    }
    const std::string BaseUrl = argv[1];
    try {
        auto Server = std::make_unique<pylon::THttpSysServer>();
        Server->AddModule(std::make_unique<TGreetingModule>(BaseUrl));
        Server->Start();
        std::cout << "hello_module started at " << BaseUrl << std::endl;
        std::string Line;
        std::getline(std::cin, Line);
        Server.reset();
        return 0;
    } catch (const rtl::Exception& E) {
        std::cout << E.ClassName() << ": " << E.what() << std::endl;
    } catch (const std::exception& E) {
        std::cout << "Exception: " << E.what() << std::endl;
    }
    return 1;
}
