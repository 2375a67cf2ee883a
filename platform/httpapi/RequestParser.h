// RequestParser: strict HTTP/1.1 request heads and de-chunked bodies, over Beast's basic_parser.
#pragma once

#include "platform/httpapi/ListenerAnswer.h"

#include <cstddef>
#include <cstdint>
#include <http.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace httpapi {

struct THeaderField {
    std::string Name;
    std::string Value;
    int KnownId = -1; // the HTTP_HEADER_ID of a known request header (set by the parser), or -1
};

/// A parsed request head. Known headers seen twice are joined with ", "; unknown ones keep
/// every line.
struct TRequestHead {
    HTTP_VERB Verb = HttpVerbUnparsed;
    std::string Method;
    std::string Target;
    USHORT Major = 1;
    USHORT Minor = 1;
    std::vector<THeaderField> Headers;
    std::optional<std::uint64_t> ContentLength;
    bool Chunked = false;
    bool Expect100 = false;
    bool KeepAlive = true;
    std::size_t HeadBytes = 0; // request line and headers as received, CRLFs included

    /// The value of the first header named Name (case-insensitive), or nullptr.
    const std::string* Find(std::string_view Name) const noexcept;
    /// The value of the known request header Id, or nullptr.
    const std::string* FindKnown(HTTP_HEADER_ID Id) const noexcept;
    bool HasBody() const noexcept { return Chunked || ContentLength.value_or(0) > 0; }
};

/// Parses one request: first the head (ParseHead, until it returns Head or Error), then its
/// body (ReadBody, until BodyDone). One connection thread at a time; not copyable.
class TRequestParser {
public:
    /// Limits of the Windows listener's defaults (MaxRequestBytes, MaxFieldLength).
    static constexpr std::size_t MaxRequestBytes = 16384;
    static constexpr std::size_t MaxFieldLength = 16384;
    static constexpr std::size_t UrlSegmentMaxLength = 260;
    static constexpr std::size_t UrlSegmentMaxCount = 255;

    enum class TStatus : std::uint8_t { NeedMore, Head, Error };

    TRequestParser();
    ~TRequestParser();
    TRequestParser(const TRequestParser&) = delete;
    TRequestParser& operator=(const TRequestParser&) = delete;

    /// Starts over for the next request on the connection (reusing the parser's memory).
    void Reset();

    /// Looks for a complete head at the start of Input (all buffered bytes not yet consumed;
    /// the same bytes plus more on the next call). On Head, Consumed is the head's length and
    /// Head() is filled; on Error, Answer() tells what to send.
    TStatus ParseHead(std::string_view Input, std::size_t& Consumed);
    TListenerAnswer Answer() const noexcept { return FAnswer; }
    TRequestHead& Head() noexcept { return FHead; }
    /// True while no byte of a head has arrived (leading empty lines do not count).
    bool Idle() const noexcept { return FScanned == 0; }

    /// Decodes body bytes from Input into Dest. Consumed and Written tell how far it got.
    /// Returns false on a framing error (bad chunk). With Dest null, the bytes are discarded.
    bool ReadBody(std::string_view Input, char* Dest, std::size_t DestSize, std::size_t& Consumed,
                  std::size_t& Written);
    bool BodyDone() const noexcept;

private:
    class TBeastParser;
    TStatus Fail(TListenerAnswer Answer) noexcept;

    std::unique_ptr<TBeastParser> FParser;
    TRequestHead FHead;
    TListenerAnswer FAnswer = TListenerAnswer::None;
    // Incremental scan of the head, so that a slow client costs linear time.
    std::size_t FSkipped = 0;   // leading CRLFs before the request line
    std::size_t FScanned = 0;   // bytes of the head already checked
    std::size_t FLineStart = 0; // where the current line begins
    std::size_t FLines = 0;     // completed lines
    bool FOverflow = false;     // the head passed MaxRequestBytes within the current line
    bool FHeadDone = false;
};

} // namespace httpapi
