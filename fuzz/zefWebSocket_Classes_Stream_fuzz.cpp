// zefWebSocket_Classes_Stream: arbitrary bytes into the frame reader, in every negotiated mode.
// The first input byte picks the mode: bits 0-1 the extension (none, permessage-deflate,
// permessage-deflate with small windows where the client keeps its context and the server does
// not, deflate-frame; the role picks which of the two the reader meets), bit 2 the
// role (server requiring masks / client), bits 3-4 how fragmented messages are delivered,
// bit 5 UTF-8 validation, bits 6-7 the read chunk size (1, 7, 4096, unlimited).
#include "testing/zefWebSocket_TestConnection.h"

#include <cstddef>
#include <cstdint>

using namespace zef;
using namespace zef::testing;

namespace {

constexpr std::size_t Limit = 1 << 20;

void Configure(TzefWSTestConnection& aConnection, std::uint8_t aMode) {
    aConnection.SetMaxMessageSize(Limit);
    aConnection.SetValidateUTF8((aMode & 0x20) != 0);
    aConnection.SetFragmentedMessages(TwsFragmentedMessages((aMode >> 3) % 3));
    const std::size_t Chunks[] = {1, 7, 4096, 0};
    aConnection.ReadChunk = Chunks[aMode >> 6];
    bool Client = (aMode & 0x04) != 0;
    aConnection.SetMasked(Client);
    int Extension = aMode & 0x03;
    if (Extension == 0) {
        return;
    }
    TzefWSExtensions Config;
    Config.SetMode(Client ? TwsApplicationMode::appClient : TwsApplicationMode::appServer);
    Config.PerMessage_Deflate().SetEnabled(Extension != 3);
    Config.DeflateFrame().SetEnabled(Extension == 3);
    aConnection.SetExtensions(Config);
    const char* Offer = Extension == 1   ? "permessage-deflate"
                        : Extension == 2 ? "permessage-deflate; client_max_window_bits=8; "
                                           "server_max_window_bits=9; server_no_context_takeover"
                                         : "x-webkit-deflate-frame";
    aConnection.Extensions().DecodeExtensions(Offer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1) {
        return 0;
    }
    std::uint8_t Mode = Data[0];
    TzefWSTestConnection Connection;
    Configure(Connection, Mode);
    std::size_t Delivered = 0;
    bool Compressed = (Mode & 0x03) != 0;
    Connection.OnMessage = [&](TzefWSConnection&, const std::string& Text) {
        if (Text.size() > Limit) {
            __builtin_trap();
        }
        Delivered += Text.size();
        // A delivered message goes out again and reads back unchanged.
        Connection.WriteData(Text);
    };
    Connection.OnBinary = [&](TzefWSConnection&, rtl::TMemoryStream& Bytes) {
        if (std::size_t(Bytes.Size()) > Limit) {
            __builtin_trap();
        }
        Delivered += std::size_t(Bytes.Size());
    };
    Connection.OnFragmented = [&](TzefWSConnection&, rtl::TMemoryStream& Bytes, TOpcode, bool) {
        if (std::size_t(Bytes.Size()) > Limit) {
            __builtin_trap();
        }
    };
    // Exact-size copy: a read past the end is caught by ASan.
    std::vector<std::uint8_t> Input(Data + 1, Data + Size);
    Connection.Receive(Input);
    try {
        Connection.ReadData((Mode & 0x04) == 0);
    } catch (const rtl::Exception&) {
        // Protocol errors and corrupt compressed data end the connection with an exception.
    }
    // Without compression a message can never be longer than the bytes that carried it.
    if (!Compressed && Connection.FragmentedMessages() == TwsFragmentedMessages::frgOnlyBuffer &&
        Delivered > Input.size()) {
        __builtin_trap();
    }
    return 0;
}
