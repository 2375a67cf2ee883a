// zefWebSocket_Types: enumerations, event types and the exception class of the WebSocket library.
#pragma once

#include "platform/rtl/Exception.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace rtl {
class TMemoryStream;
class TStringList;
} // namespace rtl

namespace zef {

class TzefWSConnection;
class TzefTimer;

/// Message opcodes. The values are the wire values; opNone marks that no message is under way
/// and is never sent.
enum class TOpcode : std::uint8_t {
    opContinuation = 0x0,
    opText = 0x1,
    opBinary = 0x2,
    opClose = 0x8,
    opPing = 0x9,
    opPong = 0xA,
    opNone = 0xFF
};

enum class TwsSpecification : std::uint8_t { spRFC6455, spHixie76, spRFC8441 };
enum class TPayload : std::uint8_t { pa7bits, pa16bits, pa64bits };
enum class TwsNotifyEvent : std::uint8_t { neNoSync, neAsynchronous, neSynchronous };
enum class TwsTransport : std::uint8_t {
    trpUndefined,
    trpRFC6455,
    trpHixie76,
    trpFlash,
    trpSSE,
    trpTCP,
    trpHTTP,
    trpRFC8441,
    trpHTTP2
};
enum class TwsApplicationMode : std::uint8_t { appNone, appServer, appClient };
enum class TwsFragmentedMessages : std::uint8_t { frgOnlyBuffer, frgOnlyFragmented, frgAll };
enum class TwsStreaming : std::uint8_t {
    stmNone,
    stmFirst,
    stmContinue,
    stmLast,
    stmContinueAndLast
};
enum class TwsQueueMsgLevels : std::uint8_t { qmNone, qmLevel0, qmLevel1, qmLevel2 };
enum class TwsProtocolMessage : std::uint8_t { msgText, msgBinary, msgTextBinary };
enum class TwsIPVersion : std::uint8_t { ipV4, ipV6 };
enum class TwsAuthentication : std::uint8_t { authNone, authSession, authURL, authBasic };
enum class TtcpEOFScanBuffer : std::uint8_t { eofScanNone, eofScanLatestBytes, eofScanAllBytes };

/// True for opClose, opPing and opPong.
constexpr bool IsControlOpCode(TOpcode aOpCode) noexcept {
    return aOpCode == TOpcode::opClose || aOpCode == TOpcode::opPing || aOpCode == TOpcode::opPong;
}

using TzefWSConnectEvent = std::function<void(TzefWSConnection& Connection)>;
using TzefWSDisconnectEvent = std::function<void(TzefWSConnection& Connection, int Code)>;
using TzefWSMessageEvent =
    std::function<void(TzefWSConnection& Connection, const std::string& Text)>;
using TzefWSBinaryEvent =
    std::function<void(TzefWSConnection& Connection, rtl::TMemoryStream& Data)>;
using TzefWSFragmentedEvent = std::function<void(
    TzefWSConnection& Connection, rtl::TMemoryStream& Data, TOpcode OpCode, bool Continuation)>;
/// Connection is null for errors of the component itself.
using TzefWSErrorEvent =
    std::function<void(TzefWSConnection* Connection, const std::string& Error)>;
/// Connection is null for exceptions of the component itself.
using TzefExceptionEvent =
    std::function<void(TzefWSConnection* Connection, const std::exception& E)>;
using TzefWSHandshakeEvent =
    std::function<void(TzefWSConnection& Connection, rtl::TStringList& Headers)>;
using TzefWSUpdateEvent = std::function<void(TzefWSConnection& Connection, int aType)>;
using TzefWSSubscriptionEvent =
    std::function<void(TzefWSConnection& Connection, const std::string& Subscription)>;
using TzefWSUnknownProtocolEvent = std::function<void(TzefWSConnection& Connection, bool& Accept)>;
using TzefWSRawMessageEvent =
    std::function<void(TzefWSConnection& Connection, const std::string& Text, bool& Handled)>;
using TzefWSAuthenticationEvent =
    std::function<void(TzefWSConnection& Connection, const std::string& aUser,
                       const std::string& aPassword, bool& Authenticated)>;
using TzefTimerOnException = std::function<void(TzefTimer& Sender, const std::exception& E)>;

/// The library's exception: a message only.
class TzefWSException : public rtl::Exception {
public:
    using rtl::Exception::Exception;
    std::string_view ClassName() const noexcept override { return "TzefWSException"; }
};

/// A received message (or its inflated form) is larger than the connection allows. The reader
/// answers it with close code 1009.
class TzefWSMessageTooBig : public TzefWSException {
public:
    using TzefWSException::TzefWSException;
    std::string_view ClassName() const noexcept override { return "TzefWSMessageTooBig"; }
};

/// A transport failure that is expected in normal operation (the peer is already gone). The
/// disconnect procedure re-raises it only when the connection asks for disconnect exceptions.
class EzefSilentException : public TzefWSException {
public:
    using TzefWSException::TzefWSException;
    std::string_view ClassName() const noexcept override { return "EzefSilentException"; }
};

} // namespace zef
