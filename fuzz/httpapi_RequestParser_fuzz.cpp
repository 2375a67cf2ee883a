// httpapi_RequestParser: request heads and bodies fed in chunks; the record built from a parsed
// head is written into an exact-size buffer.
#include "platform/httpapi/CookedUrl.h"
#include "platform/httpapi/Request.h"
#include "platform/httpapi/RequestParser.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace httpapi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 2) {
        return 0;
    }
    // The first byte picks the network chunk size, the second the body buffer size.
    const std::size_t Chunk = Data[0] % 64 + 1;
    const std::size_t Sink = Data[1] % 16 + 1;
    const std::string Input(reinterpret_cast<const char*>(Data + 2), Size - 2);

    TRequestParser Parser;
    std::size_t Arrived = 0;
    std::size_t Consumed = 0;
    TRequestParser::TStatus Status = TRequestParser::TStatus::NeedMore;
    while (Status == TRequestParser::TStatus::NeedMore && Arrived < Input.size()) {
        Arrived = std::min(Input.size(), Arrived + Chunk);
        auto Copy = std::make_unique<char[]>(Arrived);
        std::memcpy(Copy.get(), Input.data(), Arrived);
        Status = Parser.ParseHead({Copy.get(), Arrived}, Consumed);
        if (Consumed > Arrived) {
            __builtin_trap();
        }
    }
    if (Status != TRequestParser::TStatus::Head) {
        if (Status == TRequestParser::TStatus::Error && Parser.Answer() == TListenerAnswer::None) {
            __builtin_trap(); // every refusal names its answer
        }
        return 0;
    }

    TRequest Request;
    Request.Head = Parser.Head();
    if (CookUrl(Request.Head, "127.0.0.1:80", Request.Url) == TListenerAnswer::None) {
        sockaddr_storage Address{};
        Address.ss_family = AF_INET;
        Request.Local = TSocketAddress(Address);
        Request.Remote = TSocketAddress(Address);
        Request.Prepare();
        const std::size_t RecordSize = Request.RecordSize();
        std::vector<std::uint64_t> Record(RecordSize / 8 + 1);
        Request.WriteRecord(Record.data());
    }

    // The body: whatever follows the head, in chunks, into a small buffer.
    std::string Buffered;
    std::size_t Next = Consumed;
    std::size_t BodyBytes = 0;
    std::size_t BodyInput = 0;
    for (int Guard = 0; Guard < 100000 && !Parser.BodyDone(); ++Guard) {
        const std::size_t Take = std::min(Chunk, Input.size() - Next);
        Buffered.append(Input, Next, Take);
        Next += Take;
        auto Out = std::make_unique<char[]>(Sink);
        std::size_t Used = 0;
        std::size_t Written = 0;
        if (!Parser.ReadBody(Buffered, Out.get(), Sink, Used, Written)) {
            break;
        }
        if (Used > Buffered.size() || Written > Sink) {
            __builtin_trap();
        }
        BodyBytes += Written;
        BodyInput += Used;
        Buffered.erase(0, Used);
        if (Take == 0 && Used == 0 && Written == 0) {
            break;
        }
    }
    if (BodyBytes > BodyInput) {
        __builtin_trap(); // decoding never makes bytes up
    }
    // A pipelined second request on the same (reset) parser.
    if (Parser.BodyDone()) {
        Parser.Reset();
        const std::string Rest = Buffered + Input.substr(Next);
        auto Copy = std::make_unique<char[]>(Rest.size());
        std::memcpy(Copy.get(), Rest.data(), Rest.size());
        std::size_t Second = 0;
        Parser.ParseHead({Copy.get(), Rest.size()}, Second);
        if (Second > Rest.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
