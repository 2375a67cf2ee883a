// zefWebSocket_Extensions: arbitrary extension offers, and arbitrary compressed payloads fed to
// the inflater. Input: the offer text up to the first NUL byte, then the payload. The payload
// goes through the extension the offer negotiated (its windows and context rules) as two
// messages of two frames each, and through a default permessage-deflate inflater whose output
// must deflate and inflate back to the same bytes. No inflation may pass the message limit.
#include "websocket/core/zefWebSocket_Extensions.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

using namespace zef;

namespace {

constexpr std::size_t Limit = 1 << 20;

// The payload, split in two frames, received twice by the negotiated extension: the second
// message relies on (or ignores) the window the first left behind.
void InflateNegotiated(TzefWSExtensions& aServer, std::span<const std::uint8_t> aPayload) {
    TzefWSExtension_Base* Extension = nullptr;
    if (aServer.PerMessage_Deflate().Active()) {
        Extension = &aServer.PerMessage_Deflate();
    } else if (aServer.DeflateFrame().Active()) {
        Extension = &aServer.DeflateFrame();
    } else {
        return;
    }
    const std::size_t Half = aPayload.size() / 2;
    for (int Message = 0; Message < 2; ++Message) {
        rtl::TMemoryStream Data;
        try {
            for (int Frame = 0; Frame < 2; ++Frame) {
                const auto Piece = Frame == 0 ? aPayload.first(Half) : aPayload.subspan(Half);
                const std::size_t From = std::size_t(Data.Size());
                Data.Seek(0, rtl::TSeekOrigin::soEnd);
                Data.WriteAll(Piece.data(), std::int64_t(Piece.size()));
                // A compressed text frame without FIN, then a compressed final continuation.
                Extension->DecodeHeader(Frame == 0 ? 0x41 : 0xC0, Frame != 0);
                Extension->InflatePayload(Data, From, Frame == 1, Limit);
                if (std::size_t(Data.Size()) > Limit) {
                    __builtin_trap();
                }
            }
        } catch (const TzefWSException&) {
            return; // corrupt data or a message over the limit ends the connection
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::uint8_t* Nul = static_cast<const std::uint8_t*>(std::memchr(Data, 0, Size));
    std::size_t OfferSize = Nul ? std::size_t(Nul - Data) : Size;
    std::string Offer(reinterpret_cast<const char*>(Data), OfferSize);
    TzefWSExtensions Server;
    Server.SetMode(TwsApplicationMode::appServer);
    Server.PerMessage_Deflate().SetEnabled(true);
    Server.DeflateFrame().SetEnabled(true);
    try {
        Server.DecodeExtensions(Offer);
    } catch (const rtl::Exception&) {
        return 0; // invalid window values and numbers are refused with an exception
    }
    rtl::TStringList Header;
    Server.WriteHeader(Header);
    if (Server.ExtensionNegotiated() != !Header.Empty()) {
        __builtin_trap();
    }
    // The client reads the server's answer; both sides must then agree.
    TzefWSExtensions Client;
    Client.SetMode(TwsApplicationMode::appClient);
    Client.PerMessage_Deflate().SetEnabled(true);
    if (Server.PerMessage_Deflate().Active()) {
        std::string Answer = Server.PerMessage_Deflate().HeaderExtension();
        if (!Client.PerMessage_Deflate().DecodeExtension(Answer)) {
            __builtin_trap();
        }
        if (Client.PerMessage_Deflate().SendWindowBits() >
                Server.PerMessage_Deflate().ReceiveWindowBits() ||
            Server.PerMessage_Deflate().SendWindowBits() >
                Client.PerMessage_Deflate().ReceiveWindowBits()) {
            __builtin_trap();
        }
    }
    if (!Nul) {
        return 0;
    }
    InflateNegotiated(Server, std::span(Nul + 1, Data + Size));
    TzefWSExtension_PerMessage_Deflate Inflater;
    Inflater.DecodeHeader(0xC1, false);
    Inflater.DecodeExtension("permessage-deflate");
    rtl::TMemoryStream Payload;
    Payload.WriteAll(Nul + 1, std::int64_t(Size - OfferSize - 1));
    try {
        Inflater.InflatePayload(Payload, 0, true, Limit);
    } catch (const TzefWSException&) {
        return 0;
    }
    if (std::size_t(Payload.Size()) > Limit) {
        __builtin_trap();
    }
    std::string Plain = Payload.DataString();
    TzefWSExtension_PerMessage_Deflate Sender, Receiver;
    Sender.DecodeExtension("permessage-deflate");
    Receiver.DecodeExtension("permessage-deflate");
    Receiver.DecodeHeader(0xC1, false);
    rtl::TMemoryStream Round(Plain);
    if (!Sender.InflateFrame(Round) || !Receiver.DeflateFrame(Round) ||
        Round.DataString() != Plain) {
        __builtin_trap();
    }
    return 0;
}
