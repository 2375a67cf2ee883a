// zefWebSocket_Server_Base: arbitrary request text through DispatchRequest and, for an accepted
// upgrade, the server handshake. Input: one option byte (authentication, its schemes, the
// fallbacks, an origin list, a registered sub-protocol), then up to eight requests separated
// by NUL bytes, each split into header lines at LF and run on its own connection of the same
// server. "{sid}" in a request stands for the session identifier the last session request
// was given, so session upgrades can succeed. A refused upgrade must leave the registry as it
// was; an accepted upgrade must compose the 101 answer, and an event stream stays registered.
#include "testing/zefWebSocket_TestServer.h"

#include <algorithm>
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
    std::string SessionID;
    std::size_t Registered = 0;
    std::size_t Begin = 0;
    for (int Request = 0; Request < 8 && Begin <= Text.size(); ++Request) {
        const std::size_t Nul = std::min(Text.find('\0', Begin), Text.size());
        std::string One(Text.substr(Begin, Nul - Begin));
        Begin = Nul + 1;
        for (std::size_t At = One.find("{sid}"); At != std::string::npos;
             At = One.find("{sid}", At + SessionID.size())) {
            One.replace(At, 5, SessionID);
        }
        auto Connection = Server.NewConnection({});
        auto* Raw = Connection.get();
        std::size_t Start = 0;
        while (Start <= One.size()) {
            std::size_t End = One.find('\n', Start);
            std::string_view Line = std::string_view(One).substr(Start, End - Start);
            if (!Line.empty() && Line.back() == '\r') {
                Line.remove_suffix(1);
            }
            Connection->HeadersRequest().Add(std::string(Line));
            if (End == std::string::npos) {
                break;
            }
            Start = End + 1;
        }
        try {
            auto Outcome = Server.Upgrade(Connection);
            if (Outcome.Result != 101 && Outcome.Result != 200 && Outcome.Result != 404) {
                __builtin_trap();
            }
            if (Outcome.Refusal && Server.Count() != Registered) {
                __builtin_trap();
            }
            if (Outcome.Registered) {
                ++Registered;
                if (Server.Count() != Registered ||
                    (Outcome.Result == 101 &&
                     Raw->HeadersResponse()[0] != "HTTP/1.1 101 Switching Protocols")) {
                    __builtin_trap();
                }
            } else if (Raw->Authentication().AuthType() == TwsAuthentication::authSession &&
                       Raw->Authentication().Authenticated()) {
                SessionID = Raw->Authentication().SessionID();
            }
        } catch (const rtl::EConvertError&) {
            // A Content-Length that is not a number: the transport ends the request.
        }
    }
    return 0;
}
