// zefWebSocket_Extension_DeflateFrame: the per-frame deflate extension "x-webkit-deflate-frame".
#pragma once

#include "websocket/core/zefWebSocket_Extension_Base.h"

namespace zef {

/// Every data frame's payload is deflated on its own (sync flush, tail stripped) with RSV1 set;
/// both directions use WindowBits and always keep the context.
class TzefWSExtension_DeflateFrame : public TzefWSExtension_Base {
public:
    TzefWSExtension_DeflateFrame() { FHeaderExtension = GetName(); }

    /// Copies Mode, Enabled and WindowBits.
    void Assign(const TzefWSExtension_Base& Source) override;
    /// Accepts an offer whose extension name is "x-webkit-deflate-frame" (letter case ignored);
    /// parameters are ignored.
    bool DecodeExtension(const std::string& aExtension) override;
    void DecodeHeader(std::uint8_t aByte, bool aContinuation) override;
    void EncodeHeader(std::uint8_t& aByte, TOpcode aOpCode) override;
    std::string GetName() const override { return "x-webkit-deflate-frame"; }
    void InflatePayload(rtl::TMemoryStream& aData, std::size_t aFrom, bool aFinal,
                        std::size_t aLimit) override;
    void DeflatePayload(std::span<const std::uint8_t> aInput, std::vector<std::uint8_t>& aOutput,
                        bool aFinal) override;
    bool MessageCompressed() const override { return FMessageCompressed; }

    int WindowBits() const { return FWindowBits; }
    /// Throws TzefWSException (SInvalidWindowBits) outside 8..15.
    void SetWindowBits(int Value);

private:
    int FWindowBits = 15;
    bool FMessageCompressed = false;
    TzefDeflater FDeflater; // Send side: the writer, under the connection's write lock.
    TzefInflater FInflater; // Receive side: the reader's thread.
};

} // namespace zef
