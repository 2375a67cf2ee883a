// zefWebSocket_HTTPAPI: the run-time binding of httpapi.dll, its error check, the logging
// enumerations, the plain-HTTP request and response records and the response-record routines.
#pragma once

#include "platform/rtl/Stream.h"

#include <cstdint>
#include <http.h>
#include <string>
#include <string_view>
#include <vector>
#include <windows.h>

namespace zef {

/// Raised (class Exception) when the listener cannot load the library.
inline constexpr std::string_view SUnableToFindHttpApi = "Unable to find httpapi.dll";
inline constexpr std::string_view SErrorSSLHashNotFound = "Error SSL Hash not found.";
inline constexpr std::string_view SLogStartEmptyFolder = "LogStart(aLogFolder=\"\")";
/// %s: the folder.
inline constexpr std::string_view SLogFolderTooLong = "aLogFolder is too long for LogStart(%s)";
/// The product name that the transport gives the platform's request log and its answers.
inline constexpr std::string_view SSoftwareName = "zefWebSockets 4.4.2";

/// The HTTP Server API functions, bound by name from the loaded library.
struct THttpApiFunctions {
    decltype(&::HttpInitialize) HttpInitialize = nullptr;
    decltype(&::HttpTerminate) HttpTerminate = nullptr;
    decltype(&::HttpCreateServerSession) HttpCreateServerSession = nullptr;
    decltype(&::HttpCloseServerSession) HttpCloseServerSession = nullptr;
    decltype(&::HttpCreateUrlGroup) HttpCreateUrlGroup = nullptr;
    decltype(&::HttpCloseUrlGroup) HttpCloseUrlGroup = nullptr;
    decltype(&::HttpCreateRequestQueue) HttpCreateRequestQueue = nullptr;
    decltype(&::HttpCloseRequestQueue) HttpCloseRequestQueue = nullptr;
    decltype(&::HttpSetUrlGroupProperty) HttpSetUrlGroupProperty = nullptr;
    decltype(&::HttpSetServerSessionProperty) HttpSetServerSessionProperty = nullptr;
    decltype(&::HttpSetRequestQueueProperty) HttpSetRequestQueueProperty = nullptr;
    decltype(&::HttpAddUrlToUrlGroup) HttpAddUrlToUrlGroup = nullptr;
    decltype(&::HttpRemoveUrlFromUrlGroup) HttpRemoveUrlFromUrlGroup = nullptr;
    decltype(&::HttpReceiveHttpRequest) HttpReceiveHttpRequest = nullptr;
    decltype(&::HttpReceiveRequestEntityBody) HttpReceiveRequestEntityBody = nullptr;
    decltype(&::HttpSendHttpResponse) HttpSendHttpResponse = nullptr;
    decltype(&::HttpSendResponseEntityBody) HttpSendResponseEntityBody = nullptr;
    decltype(&::HttpWaitForDisconnect) HttpWaitForDisconnect = nullptr;
    decltype(&::HttpCancelHttpRequest) HttpCancelHttpRequest = nullptr;
    decltype(&::HttpSetServiceConfiguration) HttpSetServiceConfiguration = nullptr;
    decltype(&::HttpDeleteServiceConfiguration) HttpDeleteServiceConfiguration = nullptr;
};

/// Loads httpapi.dll on the first call and binds its functions; later calls return the same
/// binding. Throws rtl::Exception SUnableToFindHttpApi when the library cannot be loaded, and
/// TzefWSException naming the function when the library lacks one. Any thread.
const THttpApiFunctions& LoadHttpApi();
/// True once LoadHttpApi has succeeded.
bool HttpApiLoaded() noexcept;

/// The system's message text for an error code, without its trailing line break.
std::string SysErrorMessage(DWORD aErrorCode);
/// Throws TzefWSException with the system's message text for a non-zero result.
void CheckError(ULONG aResult);

// The platform's request logging, each enumeration in the order of the platform's own values.
enum class THttpApiLoggingType : std::uint8_t { hltW3C, hltIIS, hltNCSA, hltRaw };
enum class THttpApiLoggingRollOver : std::uint8_t {
    hlrSize,
    hlrDaily,
    hlrWeekly,
    hlrMonthly,
    hlrHourly
};
enum class THttpApiLoggingFlag : std::uint8_t {
    hlfLocalTimeRollover,
    hlfUseUTF8Conversion,
    hlfLogErrorsOnly,
    hlfLogSuccessOnly
};
/// Set of THttpApiLoggingFlag: the n-th value is bit n.
using THttpApiLoggingFlags = std::uint32_t;
enum class THttpApiLogField : std::uint8_t {
    hlfDate,
    hlfTime,
    hlfClientIP,
    hlfUserName,
    hlfSiteName,
    hlfComputerName,
    hlfServerIP,
    hlfMethod,
    hlfURIStem,
    hlfURIQuery,
    hlfStatus,
    hlfWIN32Status,
    hlfBytesSent,
    hlfBytesRecv,
    hlfTimeTaken,
    hlfServerPort,
    hlfUserAgent,
    hlfCookie,
    hlfReferer,
    hlfVersion,
    hlfHost,
    hlfSubStatus
};
/// Set of THttpApiLogField: the n-th value is bit n.
using THttpApiLogFields = std::uint32_t;
/// Every one of the 22 log fields.
inline constexpr THttpApiLogFields AllLogFields = (1u << 22) - 1;
constexpr std::uint32_t FlagOf(THttpApiLoggingFlag aFlag) {
    return 1u << unsigned(aFlag);
}
constexpr std::uint32_t FieldOf(THttpApiLogField aField) {
    return 1u << unsigned(aField);
}

/// A plain HTTP request as the application's request event sees it.
struct THttpServerRequest {
    std::string Document;
    std::string Method;
    std::string Headers;
    std::string AcceptEncoding;
    std::string ContentType;
    std::string Content;
    std::string QueryParams;
    std::string Cookies;
    std::uint32_t ContentLength = 0;
    std::string AuthUsername;
    std::string AuthPassword;
    bool AuthExists = false;
    std::uint64_t ConnectionId = 0;
};

/// The answer the application's request event fills in.
struct THttpServerResponse {
    std::string ContentText;
    std::string ContentType;
    std::string CustomHeader;
    std::string AuthRealm;
    std::uint32_t ResponseNo = 0;
    rtl::TStream* ContentStream = nullptr; // Not owned.
};

/// The published reason phrase of a status code; other codes give their decimal digits.
std::string StatusText(int aCode);
/// Sets the status code and its reason. The reason text is kept in aReason, which must live
/// until the response has been sent.
void SetStatus(HTTP_RESPONSE& aResponse, int aCode, std::string& aReason);
/// An empty body leaves the response without entity and content type; otherwise aChunk (one
/// in-memory chunk over aBody) becomes the response's only chunk and Content-Type is set. aBody
/// and aContentType must live until the response has been sent.
void SetContent(HTTP_RESPONSE& aResponse, HTTP_DATA_CHUNK& aChunk, const std::string& aBody,
                const std::string& aContentType);
/// Parses header lines (CR and LF end a line; empty lines and lines without a colon are
/// skipped) into the response: known response headers by name (letter case ignored;
/// Connection always goes as an unknown header), any other line as an unknown header, stored
/// in aUnknown. Names and values point into aText, which must live until the send returns.
void ParseHeaders(HTTP_RESPONSE& aResponse, const std::string& aText,
                  std::vector<HTTP_UNKNOWN_HEADER>& aUnknown);

/// The published names of the request's known headers, in the platform's order.
std::string_view KnownRequestHeaderName(int aIndex);
/// The platform's name for verbs OPTIONS through SEARCH; "" for others.
std::string_view VerbName(HTTP_VERB aVerb);
/// rtl::PercentDecodeLenient: every well-formed %XX escape decoded, malformed ones kept.
std::string URLDecode(std::string_view aText);

} // namespace zef
