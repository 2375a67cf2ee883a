// zefWebSocket_HTTPAPI: the run-time binding of httpapi.dll, its error check, the logging
// enumerations, the plain-HTTP request and response records and the response-record routines.
#include "websocket/httpapi/zefWebSocket_HTTPAPI.h"

#include "platform/rtl/Escaping.h"
#include "platform/rtl/Exception.h"
#include "platform/rtl/StringList.h"
#include "platform/win/include/HttpHeaderNames.h"
#include "websocket/core/zefWebSocket_Types.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

namespace zef {

namespace {

std::mutex GLoadLock;
THttpApiFunctions GFunctions;     // Written once under GLoadLock before GLoaded is set.
std::atomic<bool> GLoaded{false}; // Set after GFunctions is complete.

template <class TFunction>
void Bind(HMODULE aModule, const char* aName, TFunction& aTarget) {
    FARPROC Address = GetProcAddress(aModule, aName);
    if (Address == nullptr) {
        throw TzefWSException(std::string("httpapi.dll - Could not find method: ") + aName);
    }
    aTarget = reinterpret_cast<TFunction>(Address);
}

bool IsControl(char aChar) {
    return static_cast<unsigned char>(aChar) < 32;
}

bool StartsWithText(std::string_view aText, std::string_view aPrefix) {
    if (aText.size() < aPrefix.size()) {
        return false;
    }
    for (std::size_t I = 0; I < aPrefix.size(); ++I) {
        char A = aText[I];
        char B = aPrefix[I];
        if (A >= 'a' && A <= 'z') {
            A = char(A - 'a' + 'A');
        }
        if (B >= 'a' && B <= 'z') {
            B = char(B - 'a' + 'A');
        }
        if (A != B) {
            return false;
        }
    }
    return true;
}

USHORT Length16(std::size_t aLength) {
    // Header values beyond 64 KiB cannot be described by the platform's records.
    return USHORT(aLength > 0xFFFF ? 0xFFFF : aLength);
}

} // namespace

const THttpApiFunctions& LoadHttpApi() {
    if (GLoaded.load()) {
        return GFunctions;
    }
    std::scoped_lock Lock(GLoadLock);
    if (GLoaded.load()) {
        return GFunctions;
    }
    HMODULE Module = LoadLibraryW(L"httpapi.dll");
    if (Module == nullptr) {
        throw rtl::Exception(std::string(SUnableToFindHttpApi));
    }
    THttpApiFunctions Functions;
    try {
        Bind(Module, "HttpInitialize", Functions.HttpInitialize);
        Bind(Module, "HttpTerminate", Functions.HttpTerminate);
        Bind(Module, "HttpCreateServerSession", Functions.HttpCreateServerSession);
        Bind(Module, "HttpCloseServerSession", Functions.HttpCloseServerSession);
        Bind(Module, "HttpCreateUrlGroup", Functions.HttpCreateUrlGroup);
        Bind(Module, "HttpCloseUrlGroup", Functions.HttpCloseUrlGroup);
        Bind(Module, "HttpCreateRequestQueue", Functions.HttpCreateRequestQueue);
        Bind(Module, "HttpCloseRequestQueue", Functions.HttpCloseRequestQueue);
        Bind(Module, "HttpSetUrlGroupProperty", Functions.HttpSetUrlGroupProperty);
        Bind(Module, "HttpSetServerSessionProperty", Functions.HttpSetServerSessionProperty);
        Bind(Module, "HttpSetRequestQueueProperty", Functions.HttpSetRequestQueueProperty);
        Bind(Module, "HttpAddUrlToUrlGroup", Functions.HttpAddUrlToUrlGroup);
        Bind(Module, "HttpRemoveUrlFromUrlGroup", Functions.HttpRemoveUrlFromUrlGroup);
        Bind(Module, "HttpReceiveHttpRequest", Functions.HttpReceiveHttpRequest);
        Bind(Module, "HttpReceiveRequestEntityBody", Functions.HttpReceiveRequestEntityBody);
        Bind(Module, "HttpSendHttpResponse", Functions.HttpSendHttpResponse);
        Bind(Module, "HttpSendResponseEntityBody", Functions.HttpSendResponseEntityBody);
        Bind(Module, "HttpWaitForDisconnect", Functions.HttpWaitForDisconnect);
        Bind(Module, "HttpCancelHttpRequest", Functions.HttpCancelHttpRequest);
        Bind(Module, "HttpSetServiceConfiguration", Functions.HttpSetServiceConfiguration);
        Bind(Module, "HttpDeleteServiceConfiguration", Functions.HttpDeleteServiceConfiguration);
    } catch (...) {
        FreeLibrary(Module);
        throw;
    }
    // The library stays loaded for the life of the process: completions may still run its code.
    GFunctions = Functions;
    GLoaded = true;
    return GFunctions;
}

bool HttpApiLoaded() noexcept {
    return GLoaded.load();
}

std::string SysErrorMessage(DWORD aErrorCode) {
    char Buffer[512];
    DWORD Length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, aErrorCode, 0, Buffer, sizeof Buffer, nullptr);
    std::string Text(Buffer, Length);
    while (!Text.empty() && (Text.back() == '\r' || Text.back() == '\n' || Text.back() == ' ')) {
        Text.pop_back();
    }
    if (Text.empty()) {
        Text = "System error " + std::to_string(aErrorCode);
    }
    return Text;
}

void CheckError(ULONG aResult) {
    if (aResult != NO_ERROR) {
        throw TzefWSException(SysErrorMessage(aResult));
    }
}

std::string StatusText(int aCode) {
    switch (aCode) {
    case 100:
        return "Continue";
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 203:
        return "Non-Authoritative Information";
    case 204:
        return "No Content";
    case 300:
        return "Multiple Choices";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Moved Temporarily";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 406:
        return "Not Acceptable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return std::to_string(aCode);
    }
}

void SetStatus(HTTP_RESPONSE& aResponse, int aCode, std::string& aReason) {
    aReason = StatusText(aCode);
    aResponse.StatusCode = USHORT(aCode);
    aResponse.pReason = aReason.c_str();
    aResponse.ReasonLength = Length16(aReason.size());
}

void SetContent(HTTP_RESPONSE& aResponse, HTTP_DATA_CHUNK& aChunk, const std::string& aBody,
                const std::string& aContentType) {
    std::memset(&aChunk, 0, sizeof aChunk);
    if (aBody.empty()) {
        aResponse.EntityChunkCount = 0;
        aResponse.pEntityChunks = nullptr;
        return;
    }
    aChunk.DataChunkType = HttpDataChunkFromMemory;
    aChunk.FromMemory.pBuffer = const_cast<char*>(aBody.data());
    aChunk.FromMemory.BufferLength = ULONG(aBody.size());
    aResponse.EntityChunkCount = 1;
    aResponse.pEntityChunks = &aChunk;
    aResponse.Headers.KnownHeaders[HttpHeaderContentType].pRawValue = aContentType.c_str();
    aResponse.Headers.KnownHeaders[HttpHeaderContentType].RawValueLength =
        Length16(aContentType.size());
}

void ParseHeaders(HTTP_RESPONSE& aResponse, const std::string& aText,
                  std::vector<HTTP_UNKNOWN_HEADER>& aUnknown) {
    aUnknown.clear();
    std::string_view Text(aText);
    std::size_t At = 0;
    while (At < Text.size()) {
        // By hand: find_first_of looks each character up in its set with a library call.
        std::size_t End = At;
        while (End < Text.size() && Text[End] != '\r' && Text[End] != '\n') {
            ++End;
        }
        std::string_view Line = Text.substr(At, End - At);
        At = End + 1;
        if (Line.empty()) {
            continue;
        }
        auto ValueAfter = [&](std::size_t aFrom) {
            std::size_t Begin = aFrom;
            while (Begin < Line.size() && Line[Begin] == ' ') {
                ++Begin;
            }
            std::size_t Stop = Begin;
            while (Stop < Line.size() && !IsControl(Line[Stop])) {
                ++Stop;
            }
            return Line.substr(Begin, Stop - Begin);
        };
        // A known name (which holds no colon but its last character) can only be the text up
        // to the line's first colon: only names of that length are compared.
        const std::size_t NameEnd = Line.find(':');
        bool Known = false;
        for (std::size_t I = 0;
             NameEnd != std::string_view::npos && I < HttpResponseHeaderNames.size(); ++I) {
            // Connection always goes out as an unknown header: the platform does not take it
            // as a known header of an opaque upgrade.
            const std::string_view Name = HttpResponseHeaderNames[I];
            if (I != HttpHeaderConnection && Name.size() == NameEnd && StartsWithText(Line, Name)) {
                std::string_view Value = ValueAfter(Name.size() + 1);
                aResponse.Headers.KnownHeaders[I].pRawValue = Value.data();
                aResponse.Headers.KnownHeaders[I].RawValueLength = Length16(Value.size());
                Known = true;
                break;
            }
        }
        if (Known) {
            continue;
        }
        std::size_t Colon = Line.find(':');
        std::size_t FirstControl = 0;
        while (FirstControl < Line.size() && !IsControl(Line[FirstControl])) {
            ++FirstControl;
        }
        if (Colon == std::string_view::npos || Colon > FirstControl || Colon == 0) {
            continue; // A status line, or no header at all.
        }
        std::string_view Value = ValueAfter(Colon + 1);
        HTTP_UNKNOWN_HEADER Header{};
        Header.pName = Line.data();
        Header.NameLength = Length16(Colon);
        Header.pRawValue = Value.data();
        Header.RawValueLength = Length16(Value.size());
        aUnknown.push_back(Header);
    }
    aResponse.Headers.UnknownHeaderCount = USHORT(aUnknown.size());
    aResponse.Headers.pUnknownHeaders = aUnknown.empty() ? nullptr : aUnknown.data();
}

std::string_view KnownRequestHeaderName(int aIndex) {
    if (aIndex < 0 || std::size_t(aIndex) >= HttpRequestHeaderNames.size()) {
        return {};
    }
    return HttpRequestHeaderNames[std::size_t(aIndex)];
}

std::string_view VerbName(HTTP_VERB aVerb) {
    static constexpr std::array<std::string_view, 17> Names = {
        "OPTIONS", "GET",  "HEAD",     "POST",      "PUT",   "DELETE", "TRACE",  "CONNECT", "TRACK",
        "MOVE",    "COPY", "PROPFIND", "PROPPATCH", "MKCOL", "LOCK",   "UNLOCK", "SEARCH"};
    int Index = int(aVerb) - int(HttpVerbOPTIONS);
    if (Index < 0 || std::size_t(Index) >= Names.size()) {
        return {};
    }
    return Names[std::size_t(Index)];
}

std::string URLDecode(std::string_view aText) {
    return rtl::PercentDecodeLenient(aText);
}

} // namespace zef
