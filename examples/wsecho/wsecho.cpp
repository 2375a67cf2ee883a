// wsecho: the echo server of korvo's component and transport with its options taken from the
// command line, for interoperability tests, benchmarks and evaluation.
#include "platform/rtl/Exception.h"
#include "websocket/httpapi/zefWebSocket.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view Usage =
    R"(Usage: wsecho [options]
Echo server over the HTTP Server API transport. Greets each connection with
"Hello From Server." and sends every text message back.

  --host HOST                          listen address (default 127.0.0.1)
  --port N                             port (default 2001)
  --path PATH                          path of the endpoint (default /ws/)
  --echo-binary [on|off]               echo binary messages too (default off)
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
  --help                               this text

When ready it prints one line "wsecho listening on ws[s]://HOST:PORT/PATH".
SIGTERM or SIGINT stops it with exit status 0.
)";

struct TOptions {
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
};

class EUsage : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EUsage"; }
};

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

/// Returns false for --help.
bool ParseArguments(const std::vector<std::string>& aArguments, TOptions& aOptions) {
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
        } else {
            throw EUsage("unknown option \"" + aArguments[I] + "\" (see --help)");
        }
    }
    return true;
}

void Configure(zef::TzefWebSocketServer_HTTPAPI& aServer, const TOptions& aOptions) {
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
    const std::size_t MaxMessageSize = aOptions.MaxMessageSize;
    aServer.OnConnect = [MaxMessageSize](zef::TzefWSConnection& Connection) {
        // Set before the connection's first read, which starts after this event.
        Connection.SetMaxMessageSize(MaxMessageSize);
        Connection.WriteData("Hello From Server.", 0, zef::TwsStreaming::stmNone);
    };
    aServer.OnMessage = [](zef::TzefWSConnection& Connection, const std::string& Text) {
        Connection.WriteData(Text, 0, zef::TwsStreaming::stmNone);
    };
    if (aOptions.EchoBinary) {
        aServer.OnBinary = [](zef::TzefWSConnection& Connection, rtl::TMemoryStream& Data) {
            Connection.WriteData(Data, 0, zef::TwsStreaming::stmNone);
        };
    }
}

} // namespace

int main(int argc, char** argv) {
    TOptions Options;
    try {
        std::vector<std::string> Arguments(argv + 1, argv + argc);
        if (!ParseArguments(Arguments, Options)) {
            std::cout << Usage;
            return 0;
        }
    } catch (const EUsage& E) {
        std::cerr << "wsecho: " << E.what() << "\n";
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
        Configure(*Server, Options);
        Server->SetActive(true);
        std::cout << "wsecho listening on " << (Options.TlsCertHash.empty() ? "ws" : "wss") << "://"
                  << Options.Host << ":" << Options.Port << Options.Path << std::endl;
        const timespec Poll{0, 10 * 1000 * 1000};
        while (Server->Active()) {
            if (sigtimedwait(&Stop, nullptr, &Poll) > 0) {
                break;
            }
        }
        Server->SetActive(false);
        Server.reset();
    } catch (const rtl::Exception& E) {
        std::cout << E.ClassName() << ": " << E.what() << std::endl;
        return 1;
    } catch (const std::exception& E) {
        std::cout << "Exception: " << E.what() << std::endl;
        return 1;
    }
    return 0;
}
