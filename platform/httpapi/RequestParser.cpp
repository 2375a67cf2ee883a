// RequestParser: strict HTTP/1.1 request heads and de-chunked bodies, over Beast's basic_parser.
#include "platform/httpapi/RequestParser.h"

// Beast 1.74 asserts that input after a last chunk's need_more grows by at least two bytes,
// while its code handles one byte fine; a client sending byte by byte must not abort us, and
// the parser must behave the same in every build type.
#define BOOST_DISABLE_ASSERTS

#include "platform/httpapi/Request.h"
#include "platform/httpapi/UrlPrefix.h"

#include <algorithm>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <cstring>
#include <limits>

namespace httpapi {

namespace http = boost::beast::http;
using boost::beast::error_code;

namespace {

struct TVerbName {
    std::string_view Name;
    HTTP_VERB Verb;
};

constexpr TVerbName VerbNames[] = {
    {"OPTIONS", HttpVerbOPTIONS},     {"GET", HttpVerbGET},         {"HEAD", HttpVerbHEAD},
    {"POST", HttpVerbPOST},           {"PUT", HttpVerbPUT},         {"DELETE", HttpVerbDELETE},
    {"TRACE", HttpVerbTRACE},         {"CONNECT", HttpVerbCONNECT}, {"TRACK", HttpVerbTRACK},
    {"MOVE", HttpVerbMOVE},           {"COPY", HttpVerbCOPY},       {"PROPFIND", HttpVerbPROPFIND},
    {"PROPPATCH", HttpVerbPROPPATCH}, {"MKCOL", HttpVerbMKCOL},     {"LOCK", HttpVerbLOCK},
    {"UNLOCK", HttpVerbUNLOCK},       {"SEARCH", HttpVerbSEARCH},
};

// The bytes the head's framing check looks at: they end or break a line.
bool IsLineSpecial(char C) noexcept {
    return C == '\r' || C == '\n' || C == '\0';
}

// Headers whose repetition would make the request ambiguous.
bool IsSingleton(int KnownId) noexcept {
    return KnownId == HttpHeaderHost || KnownId == HttpHeaderContentLength ||
           KnownId == HttpHeaderTransferEncoding;
}

} // namespace

const std::string* TRequestHead::Find(std::string_view Name) const noexcept {
    for (const THeaderField& Field : Headers) {
        if (AsciiEqualNoCase(Field.Name, Name)) {
            return &Field.Value;
        }
    }
    return nullptr;
}

const std::string* TRequestHead::FindKnown(HTTP_HEADER_ID Id) const noexcept {
    for (const THeaderField& Field : Headers) {
        if (Field.KnownId == Id) {
            return &Field.Value;
        }
    }
    return nullptr;
}

class TRequestParser::TBeastParser : public http::basic_parser<true> {
public:
    explicit TBeastParser(TRequestHead& Head) : FHead(Head) {
        header_limit(static_cast<std::uint32_t>(MaxRequestBytes + 8));
        // The listener has no body limit: bodies are streamed. (Not boost::none: Boost 1.74
        // compares a length against an empty limit as exceeding it.)
        body_limit(std::numeric_limits<std::uint64_t>::max());
        eager(true);
    }

    TListenerAnswer Answer = TListenerAnswer::None;
    bool SawTransferEncoding = false;
    char* Sink = nullptr;
    std::size_t SinkSize = 0;
    std::size_t SinkUsed = 0;
    bool Discard = false;

private:
    void on_request_impl(http::verb, boost::beast::string_view Method,
                         boost::beast::string_view Target, int Version, error_code& Ec) override {
        FHead.Method.assign(Method.data(), Method.size());
        FHead.Target.assign(Target.data(), Target.size());
        FHead.Verb = HttpVerbUnknown;
        for (const TVerbName& Name : VerbNames) {
            if (Name.Name == std::string_view(Method.data(), Method.size())) {
                FHead.Verb = Name.Verb;
                break;
            }
        }
        FHead.Major = static_cast<USHORT>(Version / 10);
        FHead.Minor = static_cast<USHORT>(Version % 10);
        if (FHead.Major == 0) {
            Answer = TListenerAnswer::BadRequest;
            Ec = http::error::bad_version;
        } else if (FHead.Major > 1) {
            Answer = TListenerAnswer::VersionNotSupported;
            Ec = http::error::bad_version;
        }
    }

    void on_response_impl(int, boost::beast::string_view, int, error_code&) override {}

    void on_field_impl(http::field, boost::beast::string_view Name, boost::beast::string_view Value,
                       error_code& Ec) override {
        if (FHeaderDone) {
            return; // trailers of a chunked body are not passed on
        }
        const std::string_view NameView(Name.data(), Name.size());
        const std::string_view ValueView(Value.data(), Value.size());
        const int Known = KnownRequestHeaderId(NameView);
        if (Known == HttpHeaderTransferEncoding) {
            if (SawTransferEncoding || !AsciiEqualNoCase(ValueView, "chunked")) {
                Answer = TListenerAnswer::NotImplemented;
                Ec = http::error::bad_transfer_encoding;
                return;
            }
            SawTransferEncoding = true;
        }
        if (Known == HttpHeaderContentLength &&
            (ValueView.empty() ||
             ValueView.find_first_not_of("0123456789") != std::string_view::npos)) {
            Ec = http::error::bad_content_length;
            return;
        }
        if (Known >= 0) {
            // Names of one known header share its id; unknown names are never joined.
            for (THeaderField& Field : FHead.Headers) {
                if (Field.KnownId == Known) {
                    if (IsSingleton(Known)) {
                        Ec = http::error::bad_value;
                        return;
                    }
                    // One slot per known header in the record: repeated lines are joined.
                    Field.Value += ", ";
                    Field.Value.append(ValueView);
                    return;
                }
            }
        }
        if (FHead.Headers.empty()) {
            FHead.Headers.reserve(8); // a typical request's headers in one allocation
        }
        FHead.Headers.push_back({std::string(NameView), std::string(ValueView), Known});
    }

    void on_header_impl(error_code&) override {
        FHeaderDone = true;
        FHead.ContentLength = content_length() ? std::optional(*content_length()) : std::nullopt;
        FHead.Chunked = chunked();
        FHead.KeepAlive = keep_alive();
        if (const std::string* Expect = FHead.FindKnown(HttpHeaderExpect)) {
            FHead.Expect100 = AsciiEqualNoCase(*Expect, "100-continue");
        }
    }

    void on_body_init_impl(boost::optional<std::uint64_t> const&, error_code&) override {}

    std::size_t Take(boost::beast::string_view Body, error_code& Ec) {
        if (Discard) {
            return Body.size();
        }
        const std::size_t Room = SinkSize - SinkUsed;
        if (Room == 0) {
            Ec = http::error::need_buffer; // the caller's buffer is full; resume later
            return 0;
        }
        const std::size_t Count = std::min(Room, Body.size());
        std::memcpy(Sink + SinkUsed, Body.data(), Count);
        SinkUsed += Count;
        return Count;
    }

    std::size_t on_body_impl(boost::beast::string_view Body, error_code& Ec) override {
        return Take(Body, Ec);
    }

    void on_chunk_header_impl(std::uint64_t, boost::beast::string_view, error_code&) override {}

    std::size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view Body,
                                   error_code& Ec) override {
        return Take(Body, Ec);
    }

    void on_finish_impl(error_code&) override {}

    TRequestHead& FHead;
    bool FHeaderDone = false;
};

TRequestParser::TRequestParser() : FParser(std::make_unique<TBeastParser>(FHead)) {
}

TRequestParser::~TRequestParser() = default;

void TRequestParser::Reset() {
    // Beast's parser cannot be reset: build a fresh one in the same storage.
    FParser->~TBeastParser();
    FHead = TRequestHead();
    new (FParser.get()) TBeastParser(FHead);
    FAnswer = TListenerAnswer::None;
    FSkipped = 0;
    FScanned = 0;
    FLineStart = 0;
    FLines = 0;
    FOverflow = false;
    FHeadDone = false;
}

TRequestParser::TStatus TRequestParser::Fail(TListenerAnswer Answer) noexcept {
    FAnswer = Answer;
    return TStatus::Error;
}

TRequestParser::TStatus TRequestParser::ParseHead(std::string_view Input, std::size_t& Consumed) {
    Consumed = 0;
    if (FAnswer != TListenerAnswer::None) {
        return TStatus::Error;
    }
    // Empty lines before a request line are tolerated (clients that end a body with CRLF).
    while (FScanned == 0 && Input.size() >= FSkipped + 2 && Input[FSkipped] == '\r' &&
           Input[FSkipped + 1] == '\n') {
        FSkipped += 2;
        if (FSkipped > MaxRequestBytes) {
            return Fail(TListenerAnswer::BadRequest);
        }
    }
    if (FScanned == 0 && Input.size() == FSkipped + 1 && Input[FSkipped] == '\r') {
        return TStatus::NeedMore; // a CR that may start another empty line
    }
    const std::string_view Head = Input.substr(FSkipped);
    // Strict framing first: every line ends in CRLF, no bare CR or LF, no folded lines, no NUL.
    std::size_t End = 0;
    // Bytes that need no check of their own (not NUL, CR or LF, not the first of a line, not
    // at the size limit) are passed over in a tight loop first.
    const std::size_t PlainEnd = std::min(Head.size(), MaxRequestBytes);
    while (FScanned < Head.size()) {
        // A local index: the member would be stored back for every byte read through char.
        std::size_t Plain = FScanned;
        while (Plain < PlainEnd && Plain != FLineStart && !IsLineSpecial(Head[Plain])) {
            ++Plain;
        }
        FScanned = Plain;
        if (FScanned == Head.size()) {
            break;
        }
        const char C = Head[FScanned];
        if (C == '\0') {
            return Fail(TListenerAnswer::BadRequest);
        }
        if (C == '\n') {
            if (FScanned == 0 || Head[FScanned - 1] != '\r') {
                return Fail(TListenerAnswer::BadRequest); // bare LF
            }
            const std::size_t LineLength = FScanned - 1 - FLineStart;
            if (FOverflow) {
                return Fail(TListenerAnswer::RequestTooLong);
            }
            ++FLines;
            FLineStart = FScanned + 1;
            if (LineLength == 0) {
                if (FLines == 1) {
                    return Fail(TListenerAnswer::BadRequest);
                }
                End = FScanned + 1;
                ++FScanned;
                break;
            }
        } else if (C == '\r') {
            if (FScanned + 1 < Head.size() && Head[FScanned + 1] != '\n') {
                return Fail(TListenerAnswer::BadRequest); // bare CR
            }
        } else if ((C == ' ' || C == '\t') && FScanned == FLineStart && FLines > 0) {
            return Fail(TListenerAnswer::BadRequest); // obsolete line folding
        }
        ++FScanned;
        if (FScanned > MaxRequestBytes) {
            if (FLines == 0) {
                return Fail(TListenerAnswer::UrlTooLong);
            }
            if (FScanned - FLineStart > MaxFieldLength) {
                return Fail(TListenerAnswer::HeaderFieldTooLong);
            }
            // Over the total: this line's end tells whether the line alone is too long.
            FOverflow = true;
        }
    }
    if (End == 0) {
        if (FLines == 0 && FScanned > MaxRequestBytes) {
            return Fail(TListenerAnswer::UrlTooLong);
        }
        return TStatus::NeedMore;
    }

    error_code Ec;
    const std::size_t Used = FParser->put(boost::asio::const_buffer(Head.data(), End), Ec);
    if (Ec == http::error::need_more || (!Ec && !FParser->is_header_done())) {
        return Fail(TListenerAnswer::BadRequest); // a complete head that Beast still wants
    }
    if (Ec) {
        if (FParser->Answer != TListenerAnswer::None) {
            return Fail(FParser->Answer);
        }
        const std::string_view Line = Head.substr(0, Head.find("\r\n"));
        const bool ThreeParts = std::count(Line.begin(), Line.end(), ' ') == 2;
        if (Ec == http::error::bad_version && ThreeParts) {
            // A later major version in an HTTP/1 request line: say which versions we speak.
            const std::string_view Version = Line.substr(Line.rfind(' ') + 1);
            if (Version.size() == 8 && Version.starts_with("HTTP/") && Version[5] >= '2' &&
                Version[5] <= '9' && Version[6] == '.' && Version[7] >= '0' && Version[7] <= '9') {
                return Fail(TListenerAnswer::VersionNotSupported);
            }
        }
        if (Ec == http::error::bad_method && ThreeParts) {
            return Fail(TListenerAnswer::InvalidVerb);
        }
        if (Ec == http::error::bad_target) {
            return Fail(TListenerAnswer::InvalidUrl);
        }
        if (Ec == http::error::bad_transfer_encoding && FParser->SawTransferEncoding) {
            return Fail(TListenerAnswer::NotImplemented); // chunked given twice
        }
        return Fail(TListenerAnswer::BadRequest);
    }
    (void)Used;
    FHeadDone = true;
    FHead.HeadBytes = End;
    Consumed = FSkipped + End;

    // HTTP/1.1 needs exactly one non-empty Host.
    const std::string* Host = FHead.FindKnown(HttpHeaderHost);
    if (FHead.Minor >= 1 && (Host == nullptr || Host->empty())) {
        return Fail(TListenerAnswer::BadRequest);
    }
    if ((FHead.Verb == HttpVerbPOST || FHead.Verb == HttpVerbPUT) && !FHead.Chunked &&
        !FHead.ContentLength) {
        return Fail(TListenerAnswer::LengthRequired);
    }
    return TStatus::Head;
}

bool TRequestParser::ReadBody(std::string_view Input, char* Dest, std::size_t DestSize,
                              std::size_t& Consumed, std::size_t& Written) {
    Consumed = 0;
    Written = 0;
    if (!FHeadDone || FParser->is_done()) {
        return true;
    }
    FParser->Sink = Dest;
    FParser->SinkSize = DestSize;
    FParser->SinkUsed = 0;
    FParser->Discard = Dest == nullptr;
    bool Ok = true;
    while (Consumed < Input.size() && !FParser->is_done()) {
        error_code Ec;
        const std::size_t Used = FParser->put(
            boost::asio::const_buffer(Input.data() + Consumed, Input.size() - Consumed), Ec);
        Consumed += Used;
        if (Ec == http::error::need_buffer) {
            break;
        }
        if (Ec == http::error::need_more) {
            break;
        }
        if (Ec) {
            Ok = false;
            break;
        }
        if (Used == 0) {
            break;
        }
    }
    Written = FParser->SinkUsed;
    FParser->Sink = nullptr;
    FParser->SinkSize = 0;
    return Ok;
}

bool TRequestParser::BodyDone() const noexcept {
    return FHeadDone && FParser->is_done();
}

} // namespace httpapi
