// Pylon.HttpServer.Response: the response of one exchange and its framing rules.
#include "http/framework/Pylon.HttpServer.Response.h"

#include "http/framework/Pylon.HttpServer.Request.h"
#include "http/framework/Pylon.Utils.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/StringList.h"

#include <algorithm>
#include <charconv>
#include <climits>

namespace pylon {

namespace {

bool SeekStays(std::int64_t Position, std::int64_t Offset, rtl::TSeekOrigin Origin) {
    return (Origin == rtl::TSeekOrigin::soBeginning && Offset == Position) ||
           (Origin != rtl::TSeekOrigin::soBeginning && Offset == 0);
}

void AppendHex(std::string& Target, std::uint64_t Value) {
    char Buffer[20];
    const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value, 16);
    for (char* P = Buffer; P != Result.ptr; ++P) {
        *P = *P >= 'a' ? char(*P - 'a' + 'A') : *P;
    }
    Target.append(Buffer, Result.ptr);
}

} // namespace

// ---- THttpRawResponseStream ----

std::int64_t THttpRawResponseStream::Read(void* /*Buffer*/, std::int64_t /*Count*/) {
    return 0;
}

std::int64_t THttpRawResponseStream::Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) {
    if (!SeekStays(FStreamSize, Offset, Origin)) {
        throw rtl::EStreamError(std::string(SResponseStreamCannotSeek));
    }
    return FStreamSize;
}

std::int64_t THttpRawResponseStream::Write(const void* Buffer, std::int64_t Count) {
    THttpServerResponse& Response = *FResponse;
    if (Count <= 0 || Response.FClosed) {
        return 0;
    }
    Response.SendHeaders();
    std::int64_t Written = 0;
    if (Response.FSentChunked &&
        std::int64_t(FChunkCache.size()) + Count < std::int64_t(Response.FMinChunkSize)) {
        FChunkCache.append(static_cast<const char*>(Buffer), std::size_t(Count));
        Written = Count;
    } else {
        // More bytes than announced would be read by the client as the start of the next
        // response on the connection.
        if (!Response.FSentChunked && Response.FSentContentLength >= 0 &&
            FStreamSize + Count > Response.FSentContentLength) {
            throw EHttpResponseError(rtl::FormatText(
                SBodyExceedsContentLength, {std::to_string(Response.FSentContentLength)}));
        }
        Written = InternalWrite(Buffer, Count);
    }
    FStreamSize += Written;
    return Written;
}

std::int64_t THttpRawResponseStream::InternalWrite(const void* Buffer, std::int64_t Count) {
    const bool Chunked = FResponse->FramingChunked();
    if (Count == 0 && (!Chunked || FChunkCache.empty())) {
        return 0;
    }
    if (!Chunked) {
        return SendBuffer(Buffer, Count);
    }
    const std::int64_t Cached = std::int64_t(FChunkCache.size());
    FChunk.clear();
    AppendHex(FChunk, std::uint64_t(Cached + Count));
    FChunk += "\r\n";
    const std::int64_t SizeLine = std::int64_t(FChunk.size());
    FChunk.reserve(std::size_t(SizeLine + Cached + Count + 2));
    FChunk += FChunkCache;
    FChunk.append(static_cast<const char*>(Buffer), std::size_t(Count));
    FChunk += "\r\n";
    FChunkCache.clear();
    const std::int64_t Sent = SendBuffer(FChunk.data(), std::int64_t(FChunk.size()));
    return std::clamp<std::int64_t>(Sent - SizeLine - 2 - Cached, 0, Count);
}

std::int64_t THttpRawResponseStream::SendBuffer(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) {
        return 0;
    }
    THttpServerResponse& Response = *FResponse;
    Response.SendHeaders();
    if (!Response.FBodyExpected) {
        return Count; // HEAD: the body is counted as if sent, but never reaches the host.
    }
    const auto* Rest = static_cast<const std::uint8_t*>(Buffer);
    std::int64_t Taken = 0;
    while (Taken < Count) {
        const int Step = int(std::min<std::int64_t>(Count - Taken, INT_MAX));
        const int Got = Response.SendBody(Rest + Taken, Step);
        if (Got <= 0) {
            break;
        }
        Taken += std::min(Got, Step);
    }
    Response.FBodyBytesSent += Taken;
    return Taken;
}

void THttpRawResponseStream::Flush() {
    if (FResponse->FClosed || !FResponse->FramingChunked()) {
        return;
    }
    // The header handlers may still change the framing; decide on what is actually sent.
    FResponse->SendHeaders();
    if (!FResponse->FSentChunked) {
        return;
    }
    InternalWrite(nullptr, 0);
    static constexpr std::string_view LastChunk = "0\r\n\r\n";
    SendBuffer(LastChunk.data(), std::int64_t(LastChunk.size()));
}

// ---- THttpServerResponseStream ----

std::int64_t THttpServerResponseStream::Read(void* /*Buffer*/, std::int64_t /*Count*/) {
    return 0;
}

std::int64_t THttpServerResponseStream::Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) {
    if (!SeekStays(FStreamSize, Offset, Origin)) {
        throw rtl::EStreamError(std::string(SResponseStreamCannotSeek));
    }
    return FStreamSize;
}

std::int64_t THttpServerResponseStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0 || FResponse->FClosed) {
        return 0;
    }
    FResponse->SendHeaders();
    const std::int64_t Written = FResponse->RawWriter()->Stream().Write(Buffer, Count);
    FStreamSize += Written;
    return Written;
}

// ---- THttpServerResponse ----

void THttpServerResponse::SetStatusCode(int Value) {
    FStatusCode = Value;
    UpdateDefaultReason();
}

void THttpServerResponse::UpdateDefaultReason() {
    FStatusReason = TPylonUtils::GetStatusReason(FStatusCode);
}

rtl::TStream& THttpServerResponse::Content() {
    if (!FContent) {
        FContent.emplace(*this);
    }
    return *FContent;
}

bool THttpServerResponse::Chunked() const {
    const THttpHeaderInfo* Entry = FHeaders.Find("transfer-encoding");
    return Entry != nullptr && rtl::SameText(Entry->Value(), "chunked");
}

void THttpServerResponse::SetChunked(bool Value) {
    if (FHeadersSent) {
        return;
    }
    if (Value) {
        FHeaders.Remove("content-length");
        FHeaders.SetValue("transfer-encoding", "chunked");
    } else {
        FHeaders.Remove("transfer-encoding");
    }
}

std::int64_t THttpServerResponse::ContentLength() const {
    const THttpHeaderInfo* Entry = FHeaders.Find("content-length");
    return Entry != nullptr ? ParseContentLength(Entry->Value()) : -1;
}

void THttpServerResponse::SetContentLength(std::int64_t Value) {
    if (FHeadersSent) {
        return;
    }
    if (Value < 0) {
        FHeaders.Remove("content-length");
        return;
    }
    char Buffer[24];
    const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
    FHeaders.SetValue("content-length", std::string_view(Buffer, std::size_t(Result.ptr - Buffer)));
}

const std::shared_ptr<IHttpResponseBodyWriter>& THttpServerResponse::RawWriter() {
    if (!FRawWriter) {
        FRawWriter = std::make_shared<THttpRawResponseBodyWriter>(*this);
        FDefaultWriterInUse = true;
    }
    return FRawWriter;
}

std::shared_ptr<IHttpResponseBodyWriter> THttpServerResponse::CreateRawWriter() {
    return std::make_shared<THttpRawResponseBodyWriter>(*this);
}

int THttpServerResponse::GetMinorVersion() const {
    return FProtocol == "HTTP/1.1" ? 1 : FProtocol == "HTTP/1.0" ? 0 : -1;
}

void THttpServerResponse::RunOnHeaders() {
    if (FOnHeadersProcs.empty()) {
        return;
    }
    // A handler may add handlers; they join the chain for a later run without invalidating
    // the one running now.
    std::vector<THttpResponseProc> Chain = std::move(FOnHeadersProcs);
    FOnHeadersProcs.clear();
    struct TRestore {
        std::vector<THttpResponseProc>& Target;
        std::vector<THttpResponseProc>& Chain;
        ~TRestore() {
            for (THttpResponseProc& Added : Target) {
                Chain.push_back(std::move(Added));
            }
            Target = std::move(Chain);
        }
    } Restore{FOnHeadersProcs, Chain};
    for (std::size_t I = Chain.size(); I-- > 0;) {
        Chain[I](*this);
    }
}

void THttpServerResponse::SendHeaders() {
    if (FHeadersSent) {
        return;
    }
    if (FRunningOnHeaders) {
        throw EHttpResponseError(std::string(SBodyWrittenInHeaderHandler));
    }
    FRunningOnHeaders = true;
    try {
        RunOnHeaders();
    } catch (...) {
        FRunningOnHeaders = false;
        throw;
    }
    FRunningOnHeaders = false;

    if (ContentLength() == -1 && !Chunked()) {
        if (GetMinorVersion() != 0) {
            SetChunked(true);
        } else {
            FKeepAlive = false;
        }
    }
    const bool IsChunked = Chunked();
    if (IsChunked) {
        // A message never carries both: the length would contradict the chunk framing.
        FHeaders.Remove("content-length");
    }
    if (!FKeepAlive) {
        FHeaders.SetValue("connection", "close");
    } else if (GetMinorVersion() == 0) {
        FHeaders.SetValue("connection", "keep-alive");
    }
    FSentChunked = IsChunked;
    FSentContentLength = IsChunked ? -1 : ContentLength();
    FBodyExpected = !FSuppressBody && FSentContentLength != 0;
    SendResponse();
    FHeadersSent = true;
}

void THttpServerResponse::Close(std::span<const std::uint8_t> AContent) {
    if (FClosed) {
        return;
    }
    if (!FHeadersSent && !Chunked()) {
        SetContentLength(std::int64_t(AContent.size()));
    }
    if (!AContent.empty()) {
        Content().WriteAll(AContent.data(), std::int64_t(AContent.size()));
    }
    Close();
}

void THttpServerResponse::Close() {
    if (FClosed) {
        return;
    }
    RawWriter()->Flush();
    if (FHeadersSent) {
        if (FBodyExpected) {
            // Only the default writer counts what the host took.
            if (FDefaultWriterInUse && !FSentChunked && FSentContentLength > FBodyBytesSent) {
                FKeepAlive = false; // The client can only tell the body is short by the close.
            }
            EndResponse();
        }
    } else {
        if (ContentLength() == -1) {
            SetContentLength(0);
        }
        SendHeaders();
    }
    FClosed = true;
}

void THttpServerResponse::Abort() {
    if (FClosed) {
        return;
    }
    if (!FHeadersSent) {
        Close();
        return;
    }
    FKeepAlive = false;
    if (FBodyExpected) {
        EndResponse();
    }
    FClosed = true;
}

} // namespace pylon
