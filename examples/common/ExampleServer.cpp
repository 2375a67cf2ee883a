// ExampleServer: the example servers' flags, configuration and run.
#include "examples/common/ExampleServer.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace examples {

const std::string_view ExampleFlagsUsage =
    R"(  --host HOST                          listen address (default 127.0.0.1)
  --port N                             port (default 2001)
  --path PATH                          path of the endpoint (default /ws/)
  --echo-binary [on|off]               pass binary messages on too (default off)
  --permessage-deflate [on|off]        offer permessage-deflate (default off)
  --server-max-window-bits N           permessage-deflate, 8..15 (default 15)
  --client-max-window-bits N           permessage-deflate, 8..15 (default 15)
  --server-no-context-takeover [on|off]  permessage-deflate (default off)
  --client-no-context-takeover [on|off]  permessage-deflate (default off)
  --deflate-frame [on|off]             x-webkit-deflate-frame (default off)
  --deflate-frame-window-bits N        x-webkit-deflate-frame, 8..15 (default 15)
  --validate-utf8 [on|off]             refuse invalid UTF-8 with 1007 (default off)
  --clean-disconnect [on|off]          send a close frame before dropping (default off)
  --max-message-size N                 largest message accepted, bytes (default 16777216)
  --heartbeat MS                       ping every MS milliseconds, rounded up to
                                       whole seconds (default 0: off)
  --threads N                          worker threads (default 32)
  --max-connections N                  connection limit (default 0: none)
  --tls-cert-hash HEX                  serve wss:// with the certificate whose SHA-1
                                       thumbprint (40 hex digits) is HEX, from the
                                       HTTP Server API's certificate store
  --tls-cert-store NAME                that store's name (default MY)
  --redis HOST:PORT                    join a cluster through this Redis (default: no
                                       cluster; 127.0.0.1:6379 with --cluster alone)
  --cluster NAME                       the cluster's name (default: the program's name)
  --node NAME                          this server's name in the cluster (default
                                       host:pid; names must differ)
  --cluster-expiry S                   seconds a server's list of connections outlives
                                       it in Redis, 1..86400 (default 30)
  --help                               this text
)";

namespace {

std::optional<bool> ParseSwitch(std::string_view aText) {
    if (aText == "on" || aText == "true" || aText == "1" || aText == "yes") {
        return true;
    }
    if (aText == "off" || aText == "false" || aText == "0" || aText == "no") {
        return false;
    }
    return std::nullopt;
}

long long ParseNumber(const std::string& aFlag, const std::string& aText, long long aMin,
                      long long aMax) {
    char* End = nullptr;
    long long Value = std::strtoll(aText.c_str(), &End, 10);
    if (aText.empty() || End == nullptr || *End != '\0' || Value < aMin || Value > aMax) {
        throw EUsage(aFlag + " needs a number from " + std::to_string(aMin) + " to " +
                     std::to_string(aMax) + ", not \"" + aText + "\"");
    }
    return Value;
}

// HOST:PORT, the port after the last colon.
void ParseRedis(const std::string& aFlag, const std::string& aText, TExampleOptions& aOptions) {
    std::size_t Colon = aText.rfind(':');
    if (Colon == std::string::npos || Colon == 0) {
        throw EUsage(aFlag + " needs HOST:PORT, not \"" + aText + "\"");
    }
    aOptions.RedisHost = aText.substr(0, Colon);
    aOptions.RedisPort = int(ParseNumber(aFlag, aText.substr(Colon + 1), 1, 65535));
}

// Cluster faults arrive on the cluster's threads; one line each, whole. Those reported while the
// server starts wait for its ready line, which comes first.
std::mutex OutputLock;
bool Ready = false;            // Guarded by OutputLock.
std::vector<std::string> Held; // Guarded by OutputLock.

void PrintLine(const std::string& aLine) {
    std::scoped_lock Lock(OutputLock);
    if (Ready) {
        std::cout << aLine << std::endl;
    } else {
        Held.push_back(aLine);
    }
}

void PrintReadyLine(const std::string& aLine) {
    std::scoped_lock Lock(OutputLock);
    std::cout << aLine << "\n";
    for (const std::string& Line : Held) {
        std::cout << Line << "\n";
    }
    std::cout << std::flush;
    Held.clear();
    Ready = true;
}

} // namespace

bool ParseExampleArguments(const std::vector<std::string>& aArguments, TExampleOptions& aOptions) {
    for (std::size_t I = 0; I < aArguments.size(); ++I) {
        std::string Flag = aArguments[I];
        std::optional<std::string> Inline;
        if (std::size_t Equals = Flag.find('='); Equals != std::string::npos) {
            Inline = Flag.substr(Equals + 1);
            Flag.resize(Equals);
        }
        auto Value = [&]() -> std::string {
            if (Inline) {
                return *Inline;
            }
            if (I + 1 >= aArguments.size()) {
                throw EUsage(Flag + " needs a value");
            }
            return aArguments[++I];
        };
        // A switch stands alone (on) or takes on/off.
        auto Switch = [&]() -> bool {
            if (Inline) {
                auto Parsed = ParseSwitch(*Inline);
                if (!Parsed) {
                    throw EUsage(Flag + " takes on or off, not \"" + *Inline + "\"");
                }
                return *Parsed;
            }
            if (I + 1 < aArguments.size()) {
                if (auto Parsed = ParseSwitch(aArguments[I + 1])) {
                    ++I;
                    return *Parsed;
                }
            }
            return true;
        };
        if (Flag == "--help" || Flag == "-h") {
            return false;
        } else if (Flag == "--host") {
            aOptions.Host = Value();
        } else if (Flag == "--port") {
            aOptions.Port = int(ParseNumber(Flag, Value(), 1, 65535));
        } else if (Flag == "--path") {
            aOptions.Path = Value();
            if (aOptions.Path.empty() || aOptions.Path.front() != '/') {
                aOptions.Path.insert(aOptions.Path.begin(), '/');
            }
            if (aOptions.Path.back() != '/') {
                aOptions.Path += '/';
            }
        } else if (Flag == "--echo-binary") {
            aOptions.EchoBinary = Switch();
        } else if (Flag == "--permessage-deflate") {
            aOptions.PerMessageDeflate = Switch();
        } else if (Flag == "--server-max-window-bits") {
            aOptions.ServerMaxWindowBits = int(ParseNumber(Flag, Value(), 8, 15));
        } else if (Flag == "--client-max-window-bits") {
            aOptions.ClientMaxWindowBits = int(ParseNumber(Flag, Value(), 8, 15));
        } else if (Flag == "--server-no-context-takeover") {
            aOptions.ServerNoContextTakeover = Switch();
        } else if (Flag == "--client-no-context-takeover") {
            aOptions.ClientNoContextTakeover = Switch();
        } else if (Flag == "--deflate-frame") {
            aOptions.DeflateFrame = Switch();
        } else if (Flag == "--deflate-frame-window-bits") {
            aOptions.DeflateFrameWindowBits = int(ParseNumber(Flag, Value(), 8, 15));
        } else if (Flag == "--validate-utf8") {
            aOptions.ValidateUTF8 = Switch();
        } else if (Flag == "--clean-disconnect") {
            aOptions.CleanDisconnect = Switch();
        } else if (Flag == "--max-message-size") {
            aOptions.MaxMessageSize =
                std::size_t(ParseNumber(Flag, Value(), 1, 1024LL * 1024 * 1024));
        } else if (Flag == "--heartbeat") {
            aOptions.HeartbeatMs = int(ParseNumber(Flag, Value(), 0, 86400000));
        } else if (Flag == "--threads") {
            aOptions.Threads = int(ParseNumber(Flag, Value(), 1, 1024));
        } else if (Flag == "--max-connections") {
            aOptions.MaxConnections = int(ParseNumber(Flag, Value(), 0, 1000000000));
        } else if (Flag == "--tls-cert-hash") {
            aOptions.TlsCertHash = Value();
            if (aOptions.TlsCertHash.size() != 40 ||
                aOptions.TlsCertHash.find_first_not_of("0123456789abcdefABCDEF") !=
                    std::string::npos) {
                throw EUsage(Flag + " needs a SHA-1 thumbprint of 40 hex digits, not \"" +
                             aOptions.TlsCertHash + "\"");
            }
        } else if (Flag == "--tls-cert-store") {
            aOptions.TlsCertStore = Value();
        } else if (Flag == "--redis") {
            ParseRedis(Flag, Value(), aOptions);
            aOptions.Cluster = true;
        } else if (Flag == "--cluster") {
            aOptions.ClusterName = Value();
            if (aOptions.ClusterName.empty()) {
                throw EUsage("--cluster needs a name");
            }
            aOptions.Cluster = true;
        } else if (Flag == "--node") {
            aOptions.NodeName = Value();
            if (aOptions.NodeName.empty()) {
                throw EUsage("--node needs a name");
            }
        } else if (Flag == "--cluster-expiry") {
            aOptions.ClusterExpirySeconds = int(ParseNumber(Flag, Value(), 1, 86400));
        } else {
            throw EUsage("unknown option \"" + aArguments[I] + "\" (see --help)");
        }
    }
    return true;
}

void ConfigureExampleServer(zef::TzefWebSocketServer_HTTPAPI& aServer,
                            const TExampleOptions& aOptions, const std::string& aProgram) {
    // Only the binding is registered, not the component's own host and port.
    aServer.SetHost("");
    aServer.Bindings().NewBinding(aOptions.Host, aOptions.Port, aOptions.Path,
                                  !aOptions.TlsCertHash.empty(), aOptions.TlsCertHash,
                                  zef::TwsIPVersion::ipV4, aOptions.TlsCertStore);
    zef::TzefWSExtensions& Extensions = aServer.Extensions();
    zef::TzefWSExtension_PerMessage_Deflate& PerMessage = Extensions.PerMessage_Deflate();
    PerMessage.SetEnabled(aOptions.PerMessageDeflate);
    PerMessage.SetServerMaxWindowBits(aOptions.ServerMaxWindowBits);
    PerMessage.SetClientMaxWindowBits(aOptions.ClientMaxWindowBits);
    PerMessage.SetServerNoContextTakeOver(aOptions.ServerNoContextTakeover);
    PerMessage.SetClientNoContextTakeOver(aOptions.ClientNoContextTakeover);
    zef::TzefWSExtension_DeflateFrame& DeflateFrame = Extensions.DeflateFrame();
    DeflateFrame.SetEnabled(aOptions.DeflateFrame);
    DeflateFrame.SetWindowBits(aOptions.DeflateFrameWindowBits);
    aServer.Options().SetValidateUTF8(aOptions.ValidateUTF8);
    aServer.Options().SetCleanDisconnect(aOptions.CleanDisconnect);
    if (aOptions.HeartbeatMs > 0) {
        aServer.HeartBeat().SetEnabled(true);
        aServer.HeartBeat().SetInterval((aOptions.HeartbeatMs + 999) / 1000);
    }
    aServer.SetThreadPoolSize(aOptions.Threads);
    aServer.SetMaxConnections(aOptions.MaxConnections);
    if (aOptions.Cluster) {
        zef::TzefWSCluster_Options& Cluster = aServer.Cluster();
        Cluster.SetEnabled(true);
        Cluster.SetHost(aOptions.RedisHost);
        Cluster.SetPort(aOptions.RedisPort);
        Cluster.SetChannelPrefix(aOptions.ClusterName.empty() ? aProgram : aOptions.ClusterName);
        Cluster.SetNodeName(aOptions.NodeName);
        Cluster.SetKeyExpiry(aOptions.ClusterExpirySeconds * 1000);
        aServer.OnError = [aProgram](zef::TzefWSConnection* aConnection,
                                     const std::string& aError) {
            if (aConnection == nullptr) {
                PrintLine(aProgram + ": " + aError);
            }
        };
    }
}

int RunExampleServer(int argc, char** argv, const std::string& aProgram, std::string_view aUsage,
                     const TExampleHandlers& aHandlers) {
    TExampleOptions Options;
    try {
        std::vector<std::string> Arguments(argv + 1, argv + argc);
        if (!ParseExampleArguments(Arguments, Options)) {
            std::cout << aUsage;
            return 0;
        }
    } catch (const EUsage& E) {
        std::cerr << aProgram << ": " << E.what() << "\n";
        return 2;
    }
    // The stop signals are taken by this thread alone: every thread started later inherits the
    // blocked mask.
    sigset_t Stop;
    sigemptyset(&Stop);
    sigaddset(&Stop, SIGTERM);
    sigaddset(&Stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &Stop, nullptr);
    try {
        auto Server = std::make_unique<zef::TzefWebSocketServer_HTTPAPI>();
        ConfigureExampleServer(*Server, Options, aProgram);
        if (aHandlers) {
            aHandlers(*Server, Options);
        }
        Server->SetActive(true);
        PrintReadyLine(aProgram + " listening on " + (Options.TlsCertHash.empty() ? "ws" : "wss") +
                       "://" + Options.Host + ":" +
                       std::to_string(Options.Port) + Options.Path);
        const timespec Poll{0, 10 * 1000 * 1000};
        while (Server->Active()) {
            if (sigtimedwait(&Stop, nullptr, &Poll) > 0) {
                break;
            }
        }
        Server->SetActive(false);
        Server.reset();
    } catch (const rtl::Exception& E) {
        std::scoped_lock Lock(OutputLock);
        std::cout << E.ClassName() << ": " << E.what() << std::endl;
        return 1;
    } catch (const std::exception& E) {
        std::scoped_lock Lock(OutputLock);
        std::cout << "Exception: " << E.what() << std::endl;
        return 1;
    }
    return 0;
}

} // namespace examples
