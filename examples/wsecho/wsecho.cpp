// wsecho: the echo server of korvo's component and transport with its options taken from the
// command line, for interoperability tests, benchmarks and evaluation.
#include "examples/common/ExampleServer.h"

#include <string>

namespace {

const std::string Usage = std::string(R"(Usage: wsecho [options]
Echo server over the HTTP Server API transport. Greets each connection with
"Hello From Server." and sends every text message back (binary messages too with
--echo-binary).

)") + std::string(examples::ExampleFlagsUsage) +
                          R"(
When ready it prints one line "wsecho listening on ws[s]://HOST:PORT/PATH".
SIGTERM or SIGINT stops it with exit status 0.
)";

void AddEchoHandlers(zef::TzefWebSocketServer_HTTPAPI& aServer,
                     const examples::TExampleOptions& aOptions) {
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
    return examples::RunExampleServer(argc, argv, "wsecho", Usage, AddEchoHandlers);
}
