// wschat: a chat room on korvo's component and transport, able to run on several servers as one
// (the component's cluster through Redis), with its flags taken from the command line.
#include "examples/common/ExampleServer.h"
#include "websocket/server/zefWebSocket_HTTPResponse.h"
#include "websocket/server/zefWebSocket_Protocol_Base_Server.h"

#include <string>

namespace {

const std::string Usage = std::string(R"(Usage: wschat [options]
Chat room over the HTTP Server API transport. Greets each connection with
"Welcome GUID" (its own GUID); every other text message is sent unchanged to
every client of the room, the sender included; "/to GUID text" sends only the
text, and only to that GUID. With --redis, the servers of one cluster are one
room. The chat page is PATH/wschat.html.

)") + std::string(examples::ExampleFlagsUsage) +
                          R"(
When ready it prints one line "wschat listening on ws://HOST:PORT/PATH"; cluster
faults follow as "wschat: Cluster: ..." lines. SIGTERM or SIGINT stops it with
exit status 0.
)";

/// The chat page, served as a built-in file.
class TChatPage : public zef::TzefWSHTTPResponse_Base {
public:
    void GetResponse(std::string& aResponse) override {
        aResponse = zef::LoadResourceText("WSCHAT.HTML");
    }
    std::string GetFileName() override { return "wschat.html"; }
};

constexpr std::string_view DirectPrefix = "/to ";

void AddChatHandlers(zef::TzefWebSocketServer_HTTPAPI& aServer,
                     const examples::TExampleOptions& aOptions) {
    const std::size_t MaxMessageSize = aOptions.MaxMessageSize;
    aServer.OnConnect = [MaxMessageSize](zef::TzefWSConnection& Connection) {
        // Set before the connection's first read, which starts after this event.
        Connection.SetMaxMessageSize(MaxMessageSize);
        Connection.WriteData("Welcome " + Connection.Guid(), 0, zef::TwsStreaming::stmNone);
    };
    zef::TzefWebSocketServer_HTTPAPI* Server = &aServer; // Outlives its handlers.
    aServer.OnMessage = [Server](zef::TzefWSConnection& Connection, const std::string& Text) {
        if (Text.compare(0, DirectPrefix.size(), DirectPrefix) != 0) {
            Server->Broadcast(Text);
            return;
        }
        // "/to GUID text": the GUID ends at the next blank; the text is all after it. A
        // message meant for one client never goes to the room, not even a malformed one.
        const std::size_t Blank = Text.find(' ', DirectPrefix.size());
        if (Blank == std::string::npos || Blank == DirectPrefix.size()) {
            Connection.WriteData("Usage: /to GUID text", 0, zef::TwsStreaming::stmNone);
            return;
        }
        const std::string Guid = Text.substr(DirectPrefix.size(), Blank - DirectPrefix.size());
        if (!Server->WriteData(Guid, Text.substr(Blank + 1))) {
            Connection.WriteData("No connection " + Guid, 0, zef::TwsStreaming::stmNone);
        }
    };
    if (aOptions.EchoBinary) {
        aServer.OnBinary = [Server](zef::TzefWSConnection& /*Connection*/,
                                    rtl::TMemoryStream& Data) { Server->Broadcast(Data); };
    }
}

} // namespace

int main(int argc, char** argv) {
    zef::TzefWSHTTPResponse::RegisterFileName<TChatPage>();
    return examples::RunExampleServer(argc, argv, "wschat", Usage, AddChatHandlers);
}
