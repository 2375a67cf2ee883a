// zefWebSocket_Helpers: the accept key and the request-inspection functions.
#include "websocket/core/zefWebSocket_Helpers.h"

#include "websocket/core/zefBase_Helpers.h"

#include <openssl/sha.h>

namespace zef {

std::string GetWebSocketAccept(std::string_view aKey) {
    std::string Input(aKey);
    Input.append(WebSocketGuid);
    std::uint8_t Digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(Input.data()), Input.size(), Digest);
    return EncodeBase64(Digest);
}

namespace {

std::string_view FirstLine(const rtl::TStringList& aHeaders) {
    return aHeaders.Empty() ? std::string_view() : std::string_view(aHeaders[0]);
}

bool AnyLineContains(const rtl::TStringList& aHeaders, std::string_view aText) {
    for (const std::string& Line : aHeaders) {
        if (ContainsText(Line, aText)) {
            return true;
        }
    }
    return false;
}

// Characters from 1-based position 5 up to the blank before " HTTP", trimmed.
std::string DocumentOf(std::string_view aLine) {
    if (aLine.size() < 4) {
        return {};
    }
    std::size_t End = std::string_view::npos;
    for (std::size_t I = 0; I + 5 <= aLine.size(); ++I) {
        if (ContainsText(aLine.substr(I, 5), " HTTP")) {
            End = I;
            break;
        }
    }
    if (End == std::string_view::npos || End < 4) {
        return {};
    }
    return std::string(rtl::Trim(aLine.substr(4, End - 4)));
}

} // namespace

std::string GetRequestLine(const rtl::TStringList& aHeaders) {
    std::string_view Line = FirstLine(aHeaders);
    return MatchesMask(Line, "GET *") ? std::string(Line) : std::string();
}

std::string GetPostLine(const rtl::TStringList& aHeaders) {
    std::string_view Line = FirstLine(aHeaders);
    return MatchesMask(Line, "POST *") ? std::string(Line) : std::string();
}

std::string GetRequestDocument(const rtl::TStringList& aHeaders) {
    return DocumentOf(GetRequestLine(aHeaders));
}

std::string GetPostDocument(const rtl::TStringList& aHeaders) {
    return DocumentOf(GetPostLine(aHeaders));
}

std::string GetDocumentName(std::string_view aLine) {
    std::string Document = DocumentOf(aLine);
    std::size_t Slash = Document.rfind('/');
    return Slash == std::string::npos ? Document : Document.substr(Slash + 1);
}

bool IsHTTP1Request(const rtl::TStringList& aHeaders) {
    return !aHeaders.Empty() && MatchesMask(aHeaders[0], "*HTTP/1.*");
}

bool IsWebSocketUpgrade(const rtl::TStringList& aHeaders) {
    return IsHTTP1Request(aHeaders) && !GetRequestLine(aHeaders).empty() &&
           AnyLineContains(aHeaders, "Upgrade: websocket");
}

bool IsAuthSessionRequest(const rtl::TStringList& aHeaders) {
    return ContainsText(GetRequestLine(aHeaders), "GET /zef/req/auth/session/");
}

bool IsAuthURLRequest(const rtl::TStringList& aHeaders) {
    return ContainsText(GetRequestLine(aHeaders), "GET /zef/auth/url/");
}

bool IsAuthSessionUpgrade(const rtl::TStringList& aHeaders) {
    return ContainsText(GetRequestLine(aHeaders), "GET /zef/auth/session/");
}

bool HasBasicAuthorization(const rtl::TStringList& aHeaders) {
    return AnyLineContains(aHeaders, "Authorization: Basic");
}

std::string GetBasicCredentials(const rtl::TStringList& aHeaders) {
    for (const std::string& Line : aHeaders) {
        if (ContainsText(Line, "Authorization: Basic")) {
            return Line.size() > 21 ? DecodeBase64(std::string_view(Line).substr(21))
                                    : std::string();
        }
    }
    return {};
}

bool IsFlashPolicyRequest(const rtl::TStringList& aHeaders) {
    return !aHeaders.Empty() && aHeaders[0] == "<policy-file-request/>";
}

bool IsEventStreamRequest(const rtl::TStringList& aHeaders) {
    for (const std::string& Line : aHeaders) {
        if (MatchesMask(Line, "Accept: text/event-stream")) {
            return true;
        }
    }
    return false;
}

bool IsXHRPost(const rtl::TStringList& aHeaders) {
    return MatchesMask(GetPostLine(aHeaders), "POST /zef/xhr/*");
}

bool IsProtocolPost(const rtl::TStringList& aHeaders) {
    return MatchesMask(GetPostLine(aHeaders), "POST /zef/protocol/*");
}

std::vector<std::uint8_t> TextToBytes(std::string_view aText) {
    return std::vector<std::uint8_t>(aText.begin(), aText.end());
}

} // namespace zef
