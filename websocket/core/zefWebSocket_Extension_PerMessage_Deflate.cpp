// zefWebSocket_Extension_PerMessage_Deflate: the "permessage-deflate" extension.
#include "websocket/core/zefWebSocket_Extension_PerMessage_Deflate.h"

#include "platform/rtl/StringList.h"
#include "websocket/core/zefBase_Helpers.h"

#include <algorithm>
#include <optional>

namespace zef {

void TzefWSExtension_PerMessage_Deflate::Assign(const TzefWSExtension_Base& Source) {
    TzefWSExtension_Base::Assign(Source);
    FMode = Source.Mode();
    if (auto* Other = dynamic_cast<const TzefWSExtension_PerMessage_Deflate*>(&Source)) {
        SetServerMaxWindowBits(Other->FServerMaxWindowBits);
        SetClientMaxWindowBits(Other->FClientMaxWindowBits);
        FServerNoContextTakeOver = Other->FServerNoContextTakeOver;
        FClientNoContextTakeOver = Other->FClientNoContextTakeOver;
        // Carried over so that a component's memory setting reaches its connections.
        FMemLevel = Other->FMemLevel;
    }
}

void TzefWSExtension_PerMessage_Deflate::SetServerMaxWindowBits(int Value) {
    CheckWindowBits(Value);
    FServerMaxWindowBits = Value;
}

void TzefWSExtension_PerMessage_Deflate::SetClientMaxWindowBits(int Value) {
    CheckWindowBits(Value);
    FClientMaxWindowBits = Value;
}

std::string TzefWSExtension_PerMessage_Deflate::GetName() const {
    return FMode == TwsApplicationMode::appClient ? "permessage-deflate; client_max_window_bits"
                                                  : "permessage-deflate";
}

std::string TzefWSExtension_PerMessage_Deflate::GetHeaderExtension() {
    if (FMode == TwsApplicationMode::appClient) {
        FHeaderExtension = "permessage-deflate; client_max_window_bits";
        if (FClientMaxWindowBits != 15) {
            FHeaderExtension.append("=").append(std::to_string(FClientMaxWindowBits));
        }
        if (FClientNoContextTakeOver) {
            FHeaderExtension += ";client_no_context_takeover";
        }
        if (FServerMaxWindowBits != 15) {
            FHeaderExtension.append(";server_max_window_bits=")
                .append(std::to_string(FServerMaxWindowBits));
        }
        if (FServerNoContextTakeOver) {
            FHeaderExtension += ";server_no_context_takeover";
        }
    }
    return TzefWSExtension_Base::GetHeaderExtension();
}

namespace {

int WindowValue(std::string_view aValue) {
    std::int64_t Value = StrToInt64(rtl::Trim(aValue));
    if (Value < 8 || Value > 15) {
        CheckWindowBits(Value < 0 ? -1 : int(std::min<std::int64_t>(Value, 1000)));
    }
    return int(Value);
}

} // namespace

bool TzefWSExtension_PerMessage_Deflate::DecodeExtension(const std::string& aExtension) {
    rtl::TStringList Items;
    Items.SetDelimiter(';');
    Items.SetStrictDelimiter(true);
    Items.SetDelimitedText(aExtension);
    if (Items.Empty() || !rtl::SameText(rtl::Trim(Items[0]), "permessage-deflate")) {
        return false;
    }
    std::optional<int> ClientWindow, ServerWindow;
    bool ClientWindowBare = false, ServerWindowBare = false;
    bool ClientNoContext = false, ServerNoContext = false;
    for (std::size_t I = 1; I < Items.Count(); ++I) {
        std::string_view Item = rtl::Trim(Items[I]);
        std::size_t Equals = Item.find('=');
        std::string_view Name = rtl::Trim(Item.substr(0, Equals));
        std::string_view Value =
            Equals == std::string_view::npos ? std::string_view() : Item.substr(Equals + 1);
        if (Value.size() >= 2 && Value.front() == '"' && Value.back() == '"') {
            Value = Value.substr(1, Value.size() - 2);
        }
        if (Name == "client_max_window_bits") {
            if (Equals == std::string_view::npos) {
                ClientWindowBare = true;
            } else {
                ClientWindow = WindowValue(Value);
            }
        } else if (Name == "server_max_window_bits") {
            if (Equals == std::string_view::npos) {
                ServerWindowBare = true;
            } else {
                ServerWindow = WindowValue(Value);
            }
        } else if (Name == "client_no_context_takeover") {
            ClientNoContext = true;
        } else if (Name == "server_no_context_takeover") {
            ServerNoContext = true;
        }
    }

    std::string Answer = "permessage-deflate";
    if (FMode == TwsApplicationMode::appClient) {
        // The server's answer binds both sides; what it leaves out is the default.
        FSendWindowBits = ClientWindow.value_or(FClientMaxWindowBits);
        FReceiveWindowBits = ServerWindow.value_or(15);
        FSendNoContext = ClientNoContext || FClientNoContextTakeOver;
        FReceiveNoContext = ServerNoContext;
    } else {
        if (ClientWindow) {
            FClientMaxWindowBits = *ClientWindow;
        }
        if (ClientWindow || ClientWindowBare) {
            Answer.append(";client_max_window_bits=").append(std::to_string(FClientMaxWindowBits));
            FReceiveWindowBits = FClientMaxWindowBits;
        } else {
            // A client that did not offer the parameter may use the full window.
            FReceiveWindowBits = 15;
        }
        if (ClientNoContext || FClientNoContextTakeOver) {
            FClientNoContextTakeOver = true;
            Answer += ";client_no_context_takeover";
        }
        if (ServerWindow) {
            FServerMaxWindowBits = std::min(*ServerWindow, FServerMaxWindowBits);
        }
        if (ServerWindow || ServerWindowBare) {
            Answer.append(";server_max_window_bits=").append(std::to_string(FServerMaxWindowBits));
        }
        if (ServerNoContext || FServerNoContextTakeOver) {
            FServerNoContextTakeOver = true;
            Answer += ";server_no_context_takeover";
        }
        FSendWindowBits = FServerMaxWindowBits;
        FSendNoContext = FServerNoContextTakeOver;
        FReceiveNoContext = FClientNoContextTakeOver;
    }
    FHeaderExtension = Answer;
    return true;
}

void TzefWSExtension_PerMessage_Deflate::DecodeHeader(std::uint8_t aByte, bool aContinuation) {
    // Only a message's first frame says whether it is compressed; control frames between
    // fragments must not change that.
    TOpcode OpCode = TOpcode(aByte & 0x0F);
    if (!aContinuation && !IsControlOpCode(OpCode)) {
        FMessageCompressed = (aByte & 0x40) != 0;
    }
}

void TzefWSExtension_PerMessage_Deflate::EncodeHeader(std::uint8_t& aByte, TOpcode aOpCode) {
    if (FActive && (aOpCode == TOpcode::opText || aOpCode == TOpcode::opBinary)) {
        aByte |= 0x40;
    }
}

void TzefWSExtension_PerMessage_Deflate::InflatePayload(rtl::TMemoryStream& aData,
                                                        std::size_t aFrom, bool aFinal,
                                                        std::size_t aLimit) {
    if (!FInflater.Initialized() && !FInflater.Init(FReceiveWindowBits)) {
        throw TzefWSException(std::string(SErrorDeflatingFrame));
    }
    std::span<const std::uint8_t> Received = aData.Bytes().subspan(aFrom);
    FScratch.assign(Received.begin(), Received.end());
    aData.SetSize(std::int64_t(aFrom));
    TzefInflateResult Result = FInflater.Inflate(FScratch, aFinal, aData, aLimit);
    if (Result == TzefInflateResult::irOk && aFinal && FReceiveNoContext && !FInflater.Reset()) {
        Result = TzefInflateResult::irError;
    }
    if (Result == TzefInflateResult::irTooBig) {
        throw TzefWSMessageTooBig("Inflated message too big");
    }
    if (Result != TzefInflateResult::irOk) {
        throw TzefWSException(std::string(SErrorDeflatingFrame));
    }
}

void TzefWSExtension_PerMessage_Deflate::DeflatePayload(std::span<const std::uint8_t> aInput,
                                                        std::vector<std::uint8_t>& aOutput,
                                                        bool aFinal) {
    if ((!FDeflater.Initialized() && !FDeflater.Init(1, FSendWindowBits, FMemLevel)) ||
        !FDeflater.Compress(aInput, aOutput, aFinal) ||
        (aFinal && FSendNoContext && !FDeflater.Reset())) {
        throw TzefWSException(std::string(SErrorInflatingFrame));
    }
}

} // namespace zef
