// zefWebSocket_Extensions: the set of compression extensions of a component or connection.
#include "websocket/core/zefWebSocket_Extensions.h"

#include "websocket/core/zefBase_Classes.h"

namespace zef {

void TzefWSExtensions::Assign(const TzefWSExtensions& Source) {
    SetMode(Source.FMode);
    FDeflateFrame.Assign(Source.FDeflateFrame);
    FPerMessage_Deflate.Assign(Source.FPerMessage_Deflate);
}

void TzefWSExtensions::SetMode(TwsApplicationMode Value) {
    FMode = Value;
    FDeflateFrame.SetMode(Value);
    FPerMessage_Deflate.SetMode(Value);
}

void TzefWSExtensions::DecodeExtensions(const std::string& aExtensions) {
    TzefDelimitedStringList Offers;
    Offers.SetDelimitedText(aExtensions);
    for (const std::string& Offer : Offers) {
        if (FPerMessage_Deflate.Enabled() && !FPerMessage_Deflate.Active()) {
            FPerMessage_Deflate.SetActive(FPerMessage_Deflate.DecodeExtension(Offer));
        }
        if (FDeflateFrame.Enabled() && !FPerMessage_Deflate.Active()) {
            FDeflateFrame.SetActive(FDeflateFrame.DecodeExtension(Offer));
        }
    }
    // One compression extension at a time: both would claim RSV1.
    if (FPerMessage_Deflate.Active()) {
        FDeflateFrame.SetActive(false);
    }
    FExtensionNegotiated = Compression();
}

void TzefWSExtensions::WriteHeader(rtl::TStringList& aHeader) {
    bool Client = FMode == TwsApplicationMode::appClient;
    if (Client ? FPerMessage_Deflate.Enabled() : FPerMessage_Deflate.Active()) {
        aHeader.Add(FPerMessage_Deflate.GetHeaderExtension());
    }
    if (Client ? FDeflateFrame.Enabled() : FDeflateFrame.Active()) {
        aHeader.Add(FDeflateFrame.GetHeaderExtension());
    }
}

TzefWSExtension_Base* TzefWSExtensions::ActiveExtension() {
    if (FPerMessage_Deflate.Active()) {
        return &FPerMessage_Deflate;
    }
    if (FDeflateFrame.Active()) {
        return &FDeflateFrame;
    }
    return nullptr;
}

void TzefWSExtensions::DecodeHeader(std::uint8_t aByte, bool aContinuation) {
    if (TzefWSExtension_Base* Extension = ActiveExtension()) {
        Extension->DecodeHeader(aByte, aContinuation);
    }
}

void TzefWSExtensions::EncodeHeader(std::uint8_t& aByte, TOpcode aOpCode) {
    if (TzefWSExtension_Base* Extension = ActiveExtension()) {
        Extension->EncodeHeader(aByte, aOpCode);
    }
}

bool TzefWSExtensions::MessageCompressed() const {
    if (FPerMessage_Deflate.Active()) {
        return FPerMessage_Deflate.MessageCompressed();
    }
    return FDeflateFrame.Active() && FDeflateFrame.MessageCompressed();
}

void TzefWSExtensions::ReadPayload(rtl::TMemoryStream& aData, std::size_t aFrom, bool aFinal,
                                   std::size_t aLimit) {
    TzefWSExtension_Base* Extension = ActiveExtension();
    if (Extension && Extension->MessageCompressed()) {
        Extension->InflatePayload(aData, aFrom, aFinal, aLimit);
    }
}

void TzefWSExtensions::WritePayload(std::span<const std::uint8_t> aInput,
                                    std::vector<std::uint8_t>& aOutput, bool aFinal) {
    if (TzefWSExtension_Base* Extension = ActiveExtension()) {
        Extension->DeflatePayload(aInput, aOutput, aFinal);
    } else {
        aOutput.insert(aOutput.end(), aInput.begin(), aInput.end());
    }
}

void TzefWSExtensions::ReadStream(rtl::TMemoryStream& aStream, std::size_t aLimit) {
    ReadPayload(aStream, 0, true, aLimit);
    aStream.SetPosition(0);
}

void TzefWSExtensions::WriteStream(rtl::TMemoryStream& aStream) {
    if (Compression()) {
        std::vector<std::uint8_t> Output;
        WritePayload(aStream.Bytes(), Output, true);
        aStream.Clear();
        aStream.WriteAll(Output.data(), std::int64_t(Output.size()));
        aStream.SetPosition(0);
    }
}

rtl::TStringList& TzefWSExtensions::List() {
    if (!FList) {
        FList = std::make_unique<rtl::TStringList>();
    }
    FList->Clear();
    if (FPerMessage_Deflate.Active()) {
        FList->Add("permessage-deflate");
    }
    if (FDeflateFrame.Active()) {
        FList->Add("x-webkit-deflate-frame");
    }
    return *FList;
}

} // namespace zef
