// zefWebSocket_Server_Base: arbitrary request text through DispatchRequest and, for an accepted
// upgrade, the server handshake. Input: one option byte (authentication, its schemes, the
// fallbacks, an origin list, a registered sub-protocol), then the request, split into header
// lines at LF. A refused upgrade must leave the registry empty; an accepted one must compose
// the 101 answer.
#include "testing/zefWebSocket_TestServer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace zef;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) {
        return 0;
    }
    const std::uint8_t Options = Data[0];
    std::string_view Text(reinterpret_cast<const char*>(Data + 1), Size - 1);
    testing::TzefWSTestServer Server;
    Server.Authentication().SetEnabled(Options & 0x01);
    Server.Authentication().Basic().SetEnabled(Options & 0x02);
    Server.Authentication().SetAllowNonAuth(Options & 0x04);
    Server.Authentication().AuthUsers().Add("user=password");
    Server.FallBack().Flash().SetEnabled(Options & 0x08);
    Server.FallBack().ServerSentEvents().SetEnabled(Options & 0x10);
    if (Options & 0x20) {
        Server.SecurityOptions().SetOriginsAllowed("example.com,localhost");
    }
    if (Options & 0x40) {
        Server.RegisterProtocol("chat");
    }
    auto Connection = Server.NewConnection({});
    std::size_t Start = 0;
    while (Start <= Text.size()) {
        std::size_t End = Text.find('\n', Start);
        std::string_view Line = Text.substr(Start, End - Start);
        if (!Line.empty() && Line.back() == '\r') {
            Line.remove_suffix(1);
        }
        Connection->HeadersRequest().Add(std::string(Line));
        if (End == std::string_view::npos) {
            break;
        }
        Start = End + 1;
    }
    try {
        auto Outcome = Server.Upgrade(Connection);
        if (Outcome.Result != 101 && Outcome.Result != 200 && Outcome.Result != 404) {
            __builtin_trap();
        }
        if (Outcome.Refusal && Server.Count() != 0) {
            __builtin_trap();
        }
        if (Outcome.Registered &&
            (Server.Count() != 1 || Server.GetConnectionByIndex(0)->HeadersResponse()[0] !=
                                        "HTTP/1.1 101 Switching Protocols")) {
            __builtin_trap();
        }
    } catch (const rtl::EConvertError&) {
        // A Content-Length that is not a number: the transport ends the request.
    }
    return 0;
}
