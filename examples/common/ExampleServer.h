// ExampleServer: what the example servers share: their command-line flags, the configuration of
// the component from them, and the run until SIGTERM or SIGINT with the ready line.
#pragma once

#include "platform/rtl/Exception.h"
#include "websocket/httpapi/zefWebSocket.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace examples {

/// The flags' values, with their defaults.
struct TExampleOptions {
    std::string Host = "127.0.0.1";
    int Port = 2001;
    std::string Path = "/ws/";
    bool EchoBinary = false;
    bool PerMessageDeflate = false;
    int ServerMaxWindowBits = 15;
    int ClientMaxWindowBits = 15;
    bool ServerNoContextTakeover = false;
    bool ClientNoContextTakeover = false;
    bool DeflateFrame = false;
    int DeflateFrameWindowBits = 15;
    bool ValidateUTF8 = false;
    bool CleanDisconnect = false;
    std::size_t MaxMessageSize = 16u * 1024 * 1024;
    int HeartbeatMs = 0;
    int Threads = 32;
    int MaxConnections = 0;
    std::string TlsCertHash; // Empty: ws://.
    std::string TlsCertStore;
    // The cluster: on with --redis or --cluster.
    bool Cluster = false;
    std::string RedisHost = "127.0.0.1";
    int RedisPort = 6379;
    std::string ClusterName; // "" takes the program's name.
    std::string NodeName;    // "" takes host:pid.
    int ClusterExpirySeconds = 30;
};

/// A bad command line; the program prints the message and exits with status 2.
class EUsage : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EUsage"; }
};

/// The flags every example server takes, as lines of its usage text.
extern const std::string_view ExampleFlagsUsage;

/// Reads aArguments into aOptions; false for --help. Throws EUsage.
bool ParseExampleArguments(const std::vector<std::string>& aArguments, TExampleOptions& aOptions);

/// Sets up aServer from aOptions: the binding, compression, limits, heartbeat, threads and the
/// cluster (named aProgram unless --cluster names it). Cluster faults are printed on standard
/// output as "aProgram: TEXT" lines.
void ConfigureExampleServer(zef::TzefWebSocketServer_HTTPAPI& aServer,
                            const TExampleOptions& aOptions, const std::string& aProgram);

/// Adds a program's own handlers to the configured component before it starts.
using TExampleHandlers =
    std::function<void(zef::TzefWebSocketServer_HTTPAPI& aServer, const TExampleOptions& aOptions)>;

/// The whole program: parses the command line (usage errors: status 2; --help prints aUsage),
/// configures and starts the component, prints "aProgram listening on ws://HOST:PORT/PATH"
/// (wss:// with a certificate) once it is ready, and serves until SIGTERM or SIGINT (status 0). A start-up failure prints
/// "ClassName: message" and gives status 1.
int RunExampleServer(int argc, char** argv, const std::string& aProgram, std::string_view aUsage,
                     const TExampleHandlers& aHandlers);

} // namespace examples
