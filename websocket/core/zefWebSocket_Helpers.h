// zefWebSocket_Helpers: the accept key and the request-inspection functions of the opening
// handshake.
#pragma once

#include "platform/rtl/StringList.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zef {

/// The GUID that RFC 6455 appends to the client's key.
inline constexpr std::string_view WebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

/// The "Sec-WebSocket-Accept" value for the client's "Sec-WebSocket-Key" value: Base64 of the
/// SHA-1 of the key (used exactly as received) and the WebSocket GUID; 28 characters.
std::string GetWebSocketAccept(std::string_view aKey);

// Request inspection. Each takes the request's header list (line 0: the request line) and
// never throws: a missing line yields "" or false. Wildcard tests match the whole line, and
// "contains" tests are substring tests, both ignoring ASCII letter case.

/// Line 0 when it matches "GET *", else "".
std::string GetRequestLine(const rtl::TStringList& aHeaders);
/// Line 0 when it matches "POST *", else "".
std::string GetPostLine(const rtl::TStringList& aHeaders);
/// The path (with query) of the GET line, trimmed; "" without a GET line or " HTTP".
std::string GetRequestDocument(const rtl::TStringList& aHeaders);
/// The same for the POST line.
std::string GetPostDocument(const rtl::TStringList& aHeaders);
/// The path of a request line, only the part after its last "/".
std::string GetDocumentName(std::string_view aLine);
bool IsHTTP1Request(const rtl::TStringList& aHeaders);
bool IsWebSocketUpgrade(const rtl::TStringList& aHeaders);
bool IsAuthSessionRequest(const rtl::TStringList& aHeaders);
bool IsAuthURLRequest(const rtl::TStringList& aHeaders);
bool IsAuthSessionUpgrade(const rtl::TStringList& aHeaders);
bool HasBasicAuthorization(const rtl::TStringList& aHeaders);
/// The Base64-decoded text after "Authorization: Basic " of the first such line ("user:pass").
std::string GetBasicCredentials(const rtl::TStringList& aHeaders);
bool IsFlashPolicyRequest(const rtl::TStringList& aHeaders);
bool IsEventStreamRequest(const rtl::TStringList& aHeaders);
bool IsXHRPost(const rtl::TStringList& aHeaders);
bool IsProtocolPost(const rtl::TStringList& aHeaders);

/// One byte per character: the text's bytes unchanged (for pure ASCII replies).
std::vector<std::uint8_t> TextToBytes(std::string_view aText);

} // namespace zef
