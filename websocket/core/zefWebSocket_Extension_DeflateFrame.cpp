// zefWebSocket_Extension_DeflateFrame: the per-frame deflate extension.
#include "websocket/core/zefWebSocket_Extension_DeflateFrame.h"

#include "platform/rtl/StringList.h"

#include <zlib.h>

namespace zef {

void TzefWSExtension_DeflateFrame::Assign(const TzefWSExtension_Base& Source) {
    TzefWSExtension_Base::Assign(Source);
    FMode = Source.Mode();
    if (auto* Other = dynamic_cast<const TzefWSExtension_DeflateFrame*>(&Source)) {
        SetWindowBits(Other->FWindowBits);
    }
}

void TzefWSExtension_DeflateFrame::SetWindowBits(int Value) {
    CheckWindowBits(Value);
    FWindowBits = Value;
}

bool TzefWSExtension_DeflateFrame::DecodeExtension(const std::string& aExtension) {
    std::string_view Name = aExtension;
    Name = Name.substr(0, Name.find(';'));
    if (!rtl::SameText(rtl::Trim(Name), GetName())) {
        return false;
    }
    FHeaderExtension = GetName();
    return true;
}

void TzefWSExtension_DeflateFrame::DecodeHeader(std::uint8_t aByte, bool /*aContinuation*/) {
    // Every frame carries its own compressed payload, continuation frames included.
    FMessageCompressed = (aByte & 0x40) != 0;
}

void TzefWSExtension_DeflateFrame::EncodeHeader(std::uint8_t& aByte, TOpcode aOpCode) {
    if (FActive && !IsControlOpCode(aOpCode)) {
        aByte |= 0x40;
    }
}

void TzefWSExtension_DeflateFrame::InflatePayload(rtl::TMemoryStream& aData, std::size_t aFrom,
                                                  bool /*aFinal*/, std::size_t aLimit) {
    // Nothing in the offer bounds the peer's window, so inflate with the largest one: a window
    // at least as large as the sender's always decodes, a smaller one fails on valid data.
    if (!FInflater.Initialized() && !FInflater.Init(MAX_WBITS)) {
        throw TzefWSException(std::string(SErrorDeflatingFrame));
    }
    std::span<const std::uint8_t> Received = aData.Bytes().subspan(aFrom);
    FScratch.assign(Received.begin(), Received.end());
    aData.SetSize(std::int64_t(aFrom));
    switch (FInflater.Inflate(FScratch, true, aData, aLimit)) {
    case TzefInflateResult::irOk:
        return;
    case TzefInflateResult::irTooBig:
        throw TzefWSMessageTooBig("Inflated message too big");
    case TzefInflateResult::irError:
        break;
    }
    throw TzefWSException(std::string(SErrorDeflatingFrame));
}

void TzefWSExtension_DeflateFrame::DeflatePayload(std::span<const std::uint8_t> aInput,
                                                  std::vector<std::uint8_t>& aOutput,
                                                  bool /*aFinal*/) {
    if ((!FDeflater.Initialized() && !FDeflater.Init(Z_DEFAULT_COMPRESSION, FWindowBits, 1)) ||
        !FDeflater.Compress(aInput, aOutput, true)) {
        throw TzefWSException(std::string(SErrorInflatingFrame));
    }
}

} // namespace zef
