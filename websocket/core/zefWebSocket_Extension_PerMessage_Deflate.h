// zefWebSocket_Extension_PerMessage_Deflate: the "permessage-deflate" extension (RFC 7692).
#pragma once

#include "websocket/core/zefWebSocket_Extension_Base.h"

namespace zef {

/// One message is one deflate stream segment: the first frame carries RSV1, the sender strips
/// the sync-flush tail at the message end, the receiver puts it back. Window sizes and context
/// takeover per direction follow the negotiated parameters:
///
/// | Mode      | compressing                                   | inflating                      |
/// |-----------|-----------------------------------------------|--------------------------------|
/// | appServer | ServerMaxWindowBits, ServerNoContextTakeOver  | ClientMaxWindowBits (15 when   |
/// |           |                                               | the client did not offer it),  |
/// |           |                                               | ClientNoContextTakeOver        |
/// | appClient | ClientMaxWindowBits, ClientNoContextTakeOver  | ServerMaxWindowBits, Server... |
class TzefWSExtension_PerMessage_Deflate : public TzefWSExtension_Base {
public:
    TzefWSExtension_PerMessage_Deflate() = default;

    /// Copies Mode, Enabled, both window sizes, both context flags and MemLevel.
    void Assign(const TzefWSExtension_Base& Source) override;
    /// Client mode: rebuilds the offer from the settings first.
    std::string GetHeaderExtension() override;
    /// Server mode: judges one offer and builds the answer's value; client mode: reads the
    /// server's answer. Unknown parameters are ignored. A window value outside 8..15 throws
    /// TzefWSException (SInvalidWindowBits); a value that is not a number throws
    /// rtl::EConvertError. A declined offer leaves the settings unchanged.
    bool DecodeExtension(const std::string& aExtension) override;
    void DecodeHeader(std::uint8_t aByte, bool aContinuation) override;
    void EncodeHeader(std::uint8_t& aByte, TOpcode aOpCode) override;
    /// "permessage-deflate", and in client mode "permessage-deflate; client_max_window_bits".
    std::string GetName() const override;
    void InflatePayload(rtl::TMemoryStream& aData, std::size_t aFrom, bool aFinal,
                        std::size_t aLimit) override;
    void DeflatePayload(std::span<const std::uint8_t> aInput, std::vector<std::uint8_t>& aOutput,
                        bool aFinal) override;
    bool MessageCompressed() const override { return FMessageCompressed; }

    int ServerMaxWindowBits() const { return FServerMaxWindowBits; }
    void SetServerMaxWindowBits(int Value);
    bool ServerNoContextTakeOver() const { return FServerNoContextTakeOver; }
    void SetServerNoContextTakeOver(bool Value) { FServerNoContextTakeOver = Value; }
    int ClientMaxWindowBits() const { return FClientMaxWindowBits; }
    void SetClientMaxWindowBits(int Value);
    bool ClientNoContextTakeOver() const { return FClientNoContextTakeOver; }
    void SetClientNoContextTakeOver(bool Value) { FClientNoContextTakeOver = Value; }
    int MemLevel() const { return FMemLevel; }
    void SetMemLevel(int Value) { FMemLevel = Value; }

    /// Window sizes and context rules in force after negotiation (for tests and transports).
    int SendWindowBits() const { return FSendWindowBits; }
    int ReceiveWindowBits() const { return FReceiveWindowBits; }
    bool SendNoContextTakeOver() const { return FSendNoContext; }
    bool ReceiveNoContextTakeOver() const { return FReceiveNoContext; }

private:
    bool FMessageCompressed = false;
    int FServerMaxWindowBits = 15;
    bool FServerNoContextTakeOver = false;
    int FClientMaxWindowBits = 15;
    bool FClientNoContextTakeOver = false;
    int FMemLevel = 9;
    // Negotiated per direction.
    int FSendWindowBits = 15;
    int FReceiveWindowBits = 15;
    bool FSendNoContext = false;
    bool FReceiveNoContext = false;
    TzefDeflater FDeflater; // Send side: the writer, under the connection's write lock.
    TzefInflater FInflater; // Receive side: the reader's thread.
};

} // namespace zef
