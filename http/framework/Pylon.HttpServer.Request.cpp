// Pylon.HttpServer.Request: the request of one exchange, its body stream and host extras.
#include "http/framework/Pylon.HttpServer.Request.h"

#include "platform/rtl/Format.h"

#include <algorithm>
#include <charconv>
#include <climits>

namespace pylon {

namespace {

// Declared bodies are read in steps of at most this size, so memory follows the bytes that
// actually arrive, not the length a client claims.
constexpr std::int64_t DeclaredReadStep = 64 * 1024;
// Bodies without a declared length grow by this much per read.
constexpr std::int64_t UndeclaredReadStep = 4096;

} // namespace

std::int64_t ParseContentLength(std::string_view Text) noexcept {
    std::int64_t Value = -1;
    const auto [Ptr, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Text.empty() || Error != std::errc() || Ptr != Text.data() + Text.size()) {
        return -1;
    }
    return Value;
}

std::int64_t THttpRequestStream::Read(void* Buffer, std::int64_t Count) {
    if (Count <= 0) {
        return 0;
    }
    const int Got = ReadBuffer(Buffer, int(std::min<std::int64_t>(Count, INT_MAX)));
    if (Got <= 0) {
        return 0;
    }
    FStreamSize += Got;
    return Got;
}

std::int64_t THttpRequestStream::Write(const void* /*Buffer*/, std::int64_t /*Count*/) {
    return 0;
}

std::int64_t THttpRequestStream::Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) {
    const bool Stays = (Origin == rtl::TSeekOrigin::soBeginning && Offset == FStreamSize) ||
                       (Origin != rtl::TSeekOrigin::soBeginning && Offset == 0);
    if (!Stays) {
        throw rtl::EStreamError(std::string(SRequestStreamCannotSeek));
    }
    return FStreamSize;
}

std::int64_t THttpRequestStream::Size() {
    const std::int64_t Length = GetContentLength();
    return Length == -1 ? FStreamSize : Length;
}

void THttpServerRequest::SetRawUri(std::string Value) {
    FRawUri = std::move(Value);
    FUri.reset();
}

const TUri& THttpServerRequest::Uri() {
    if (!FUri) {
        FUri.emplace(FRawUri);
    }
    return *FUri;
}

std::int64_t THttpServerRequest::ContentLength() const {
    const THttpHeaderInfo* Entry = FHeaders.Find("content-length");
    return Entry != nullptr ? ParseContentLength(Entry->Value()) : -1;
}

const std::vector<std::uint8_t>& THttpServerRequest::Content() {
    if (!FContentLoaded) {
        FContentLoaded = true;
        LoadContent();
    }
    if (!FContentError.empty()) {
        throw EHttpContentError(FContentError);
    }
    return FContent;
}

void THttpServerRequest::LoadContent() {
    const std::int64_t Declared = ContentLength();
    if (Declared == 0 || !FContentStream) {
        return;
    }
    const std::int64_t Limit = std::max<std::int64_t>(FMaxContentLength, 0);
    if (Declared > Limit) {
        FContentError =
            rtl::FormatText(SContentTooLarge, {std::to_string(Declared), std::to_string(Limit)});
        return;
    }
    // A negative declaration other than -1 is no length either: read to the end, bounded.
    const bool HasLength = Declared > 0;
    std::int64_t Received = 0;
    while (true) {
        if (HasLength && Received == Declared) {
            break;
        }
        if (!HasLength && Received == Limit) {
            std::uint8_t Probe = 0;
            if (FContentStream->Read(&Probe, 1) > 0) {
                FContent.clear();
                FContentError =
                    rtl::FormatText(SUndeclaredContentTooLarge, {std::to_string(Limit)});
            }
            break;
        }
        const std::int64_t Step = HasLength ? std::min(Declared - Received, DeclaredReadStep)
                                            : std::min(Limit - Received, UndeclaredReadStep);
        FContent.resize(std::size_t(Received + Step));
        const std::int64_t Got = std::clamp<std::int64_t>(
            FContentStream->Read(FContent.data() + Received, Step), 0, Step);
        Received += Got;
        FContent.resize(std::size_t(Received));
        if (Got == 0) {
            break;
        }
    }
    if (HasLength && Received < Declared) {
        // Never pad with zeros: a short body is reported, not passed on as complete.
        FContentError = rtl::FormatText(SContentTruncated,
                                        {std::to_string(Received), std::to_string(Declared)});
    }
}

THttpMethod THttpServerRequest::MethodType() const {
    struct TEntry {
        std::string_view Name;
        THttpMethod Method;
    };
    static constexpr TEntry Methods[] = {
        {"GET", THttpMethod::Get},        {"POST", THttpMethod::Post},
        {"PUT", THttpMethod::Put},        {"DELETE", THttpMethod::Delete},
        {"HEAD", THttpMethod::Head},      {"PATCH", THttpMethod::Patch},
        {"OPTIONS", THttpMethod::Options}};
    for (const TEntry& Entry : Methods) {
        if (FMethod == Entry.Name) {
            return Entry.Method;
        }
    }
    return THttpMethod::Other;
}

int THttpServerRequest::MajorVersion() const {
    return FProtocol == "HTTP/1.1" || FProtocol == "HTTP/1.0" ? 1 : -1;
}

int THttpServerRequest::MinorVersion() const {
    return FProtocol == "HTTP/1.1" ? 1 : FProtocol == "HTTP/1.0" ? 0 : -1;
}

std::string THttpServerRequest::RemoteIp() const {
    return FExtraInfo ? FExtraInfo->RemoteIp() : std::string();
}

} // namespace pylon
