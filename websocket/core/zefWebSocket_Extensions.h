// zefWebSocket_Extensions: the set of compression extensions of a component or connection.
#pragma once

#include "platform/rtl/StringList.h"
#include "websocket/core/zefWebSocket_Extension_DeflateFrame.h"
#include "websocket/core/zefWebSocket_Extension_PerMessage_Deflate.h"

#include <memory>

namespace zef {

/// Holds one object of each extension. A component's object is configuration; each connection
/// takes its own copy with Assign and negotiates in it. The frame codec calls the header and
/// payload operations: the reader's on its thread, the writers' under the write lock.
class TzefWSExtensions {
public:
    TzefWSExtensions() = default;
    TzefWSExtensions(const TzefWSExtensions&) = delete;
    TzefWSExtensions& operator=(const TzefWSExtensions&) = delete;

    /// Copies Mode and both extensions' configuration (not their negotiation state).
    void Assign(const TzefWSExtensions& Source);
    /// Server: negotiates the client's offer (the "Sec-WebSocket-Extensions" value). Each
    /// comma-separated offer in order may activate permessage-deflate (first acceptable one
    /// wins); deflate-frame is decided by each offer while permessage-deflate is not active.
    void DecodeExtensions(const std::string& aExtensions);
    /// Appends the extension header lines: client mode, for each enabled extension (the offer);
    /// otherwise, for each active one (the answer). permessage-deflate first.
    void WriteHeader(rtl::TStringList& aHeader);
    /// First byte of a received data or control frame.
    void DecodeHeader(std::uint8_t aByte, bool aContinuation);
    /// Header byte of an outgoing frame: sets RSV1 where a compressed payload follows.
    void EncodeHeader(std::uint8_t& aByte, TOpcode aOpCode);
    /// Whether the frame being read carries a compressed payload.
    bool MessageCompressed() const;
    /// Inflates the received bytes of aData from aFrom on in place (see the extensions).
    void ReadPayload(rtl::TMemoryStream& aData, std::size_t aFrom, bool aFinal, std::size_t aLimit);
    /// Deflates an outgoing payload when an extension is active, appending to aOutput.
    void WritePayload(std::span<const std::uint8_t> aInput, std::vector<std::uint8_t>& aOutput,
                      bool aFinal);
    /// Inflates a whole received message in place when it is compressed. Throws
    /// TzefWSException (SErrorDeflatingFrame) when it cannot.
    void ReadStream(rtl::TMemoryStream& aStream, std::size_t aLimit);
    /// Deflates a whole outgoing message in place when an extension is active. Throws
    /// TzefWSException (SErrorInflatingFrame) when it cannot.
    void WriteStream(rtl::TMemoryStream& aStream);

    bool ExtensionNegotiated() const { return FExtensionNegotiated; }
    /// An extension is active: outgoing data frames are compressed.
    bool Compression() const { return FDeflateFrame.Active() || FPerMessage_Deflate.Active(); }
    /// The active extensions' names, permessage-deflate first; rebuilt on every call.
    rtl::TStringList& List();
    TwsApplicationMode Mode() const { return FMode; }
    void SetMode(TwsApplicationMode Value);
    TzefWSExtension_DeflateFrame& DeflateFrame() { return FDeflateFrame; }
    TzefWSExtension_PerMessage_Deflate& PerMessage_Deflate() { return FPerMessage_Deflate; }

private:
    TzefWSExtension_Base* ActiveExtension();

    bool FExtensionNegotiated = false;
    TzefWSExtension_DeflateFrame FDeflateFrame;
    std::unique_ptr<rtl::TStringList> FList; // Created on first use.
    TwsApplicationMode FMode = TwsApplicationMode::appNone;
    TzefWSExtension_PerMessage_Deflate FPerMessage_Deflate;
};

} // namespace zef
