// zefWebSocket_Cluster: arbitrary bytes as a message from another node. Whatever decodes must
// encode to exactly the same bytes (the wire form has one spelling per message), and a decoded
// message is never larger than its input; what does not decode has a reason.
#include "websocket/server/zefWebSocket_Cluster.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using namespace zef;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    std::string_view Input(reinterpret_cast<const char*>(Data), Size);
    std::string Error;
    std::optional<TzefWSClusterMessage> Message = DecodeClusterMessage(Input, Error);
    if (!Message) {
        if (Error.empty()) {
            __builtin_trap();
        }
        return 0;
    }
    if (Message->Payload.size() + Message->Guid.size() + Message->Channel.size() +
            Message->Protocol.size() + Message->Exclude.size() + Message->Include.size() >
        Size) {
        __builtin_trap();
    }
    if (EncodeClusterMessage(*Message) != Input) {
        __builtin_trap();
    }
    return 0;
}
