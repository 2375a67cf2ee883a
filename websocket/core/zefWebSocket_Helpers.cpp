// zefWebSocket_Helpers: the accept key and the request-inspection functions.
#include "websocket/core/zefWebSocket_Helpers.h"

#include "websocket/core/zefBase_Helpers.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace zef {

namespace {

/// SHA-1 (FIPS 180-4) of aData. The accept key hashes some 60 bytes per connection; the
/// library's generic digest interface cost several times the hash itself for that.
std::array<std::uint8_t, 20> Sha1(std::string_view aData) {
    std::uint32_t H[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    auto Compress = [&H](const std::uint8_t* aBlock) {
        std::uint32_t W[80];
        for (int T = 0; T < 16; ++T) {
            W[T] = std::uint32_t(aBlock[4 * T]) << 24 | std::uint32_t(aBlock[4 * T + 1]) << 16 |
                   std::uint32_t(aBlock[4 * T + 2]) << 8 | std::uint32_t(aBlock[4 * T + 3]);
        }
        for (int T = 16; T < 80; ++T) {
            W[T] = std::rotl(W[T - 3] ^ W[T - 8] ^ W[T - 14] ^ W[T - 16], 1);
        }
        std::uint32_t A = H[0], B = H[1], C = H[2], D = H[3], E = H[4];
        auto Round = [&](std::uint32_t aF, std::uint32_t aK, std::uint32_t aW) {
            const std::uint32_t Next = std::rotl(A, 5) + aF + E + aK + aW;
            E = D;
            D = C;
            C = std::rotl(B, 30);
            B = A;
            A = Next;
        };
        // The four stages in loops of their own: no test of the stage in every round.
        for (int T = 0; T < 20; ++T) {
            Round((B & C) | (~B & D), 0x5A827999u, W[T]);
        }
        for (int T = 20; T < 40; ++T) {
            Round(B ^ C ^ D, 0x6ED9EBA1u, W[T]);
        }
        for (int T = 40; T < 60; ++T) {
            Round((B & C) | (B & D) | (C & D), 0x8F1BBCDCu, W[T]);
        }
        for (int T = 60; T < 80; ++T) {
            Round(B ^ C ^ D, 0xCA62C1D6u, W[T]);
        }
        H[0] += A;
        H[1] += B;
        H[2] += C;
        H[3] += D;
        H[4] += E;
    };
    const auto* Bytes = reinterpret_cast<const std::uint8_t*>(aData.data());
    const std::size_t Full = aData.size() / 64;
    for (std::size_t I = 0; I < Full; ++I) {
        Compress(Bytes + 64 * I);
    }
    // The rest, the 0x80 marker and the message length in bits (big-endian) end the message
    // in one block, or in two when fewer than nine bytes are left in the first.
    std::uint8_t Tail[128] = {};
    const std::size_t Rest = aData.size() % 64;
    if (Rest > 0) {
        std::memcpy(Tail, Bytes + 64 * Full, Rest);
    }
    Tail[Rest] = 0x80;
    const std::size_t TailSize = Rest + 9 <= 64 ? 64 : 128;
    const std::uint64_t Bits = std::uint64_t(aData.size()) * 8;
    for (int I = 0; I < 8; ++I) {
        Tail[TailSize - 1 - std::size_t(I)] = std::uint8_t(Bits >> (8 * I));
    }
    Compress(Tail);
    if (TailSize == 128) {
        Compress(Tail + 64);
    }
    std::array<std::uint8_t, 20> Digest{};
    for (int I = 0; I < 5; ++I) {
        Digest[std::size_t(4 * I)] = std::uint8_t(H[I] >> 24);
        Digest[std::size_t(4 * I + 1)] = std::uint8_t(H[I] >> 16);
        Digest[std::size_t(4 * I + 2)] = std::uint8_t(H[I] >> 8);
        Digest[std::size_t(4 * I + 3)] = std::uint8_t(H[I]);
    }
    return Digest;
}

} // namespace

std::string GetWebSocketAccept(std::string_view aKey) {
    std::string Input;
    Input.reserve(aKey.size() + WebSocketGuid.size());
    Input.append(aKey).append(WebSocketGuid);
    return EncodeBase64(Sha1(Input));
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
