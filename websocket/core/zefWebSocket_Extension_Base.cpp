// zefWebSocket_Extension_Base: the base of the compression extensions and the raw deflate
// streams they drive.
#include "websocket/core/zefWebSocket_Extension_Base.h"

#include "platform/rtl/Format.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace zef {

void CheckWindowBits(int Value) {
    if (Value < 8 || Value > 15) {
        throw TzefWSException(rtl::FormatText(SInvalidWindowBits, {std::to_string(Value)}));
    }
}

// Output grows in steps of this size; a message's output is appended, never copied twice.
static constexpr std::size_t OutputStep = 16384;

TzefDeflater::TzefDeflater() = default;

TzefDeflater::~TzefDeflater() {
    if (FStream) {
        deflateEnd(FStream.get());
    }
}

bool TzefDeflater::Init(int Level, int WindowBits, int MemLevel) {
    if (FStream) {
        deflateEnd(FStream.get());
        FStream.reset();
    }
    auto Stream = std::make_unique<z_stream_s>();
    std::memset(Stream.get(), 0, sizeof(z_stream_s));
    int Strategy = Z_DEFAULT_STRATEGY;
    if (WindowBits <= 8) {
        // zlib refuses a raw 8-bit deflate window; distance-1 matches fit any window.
        WindowBits = 9;
        Strategy = Z_RLE;
    }
    if (deflateInit2(Stream.get(), Level, Z_DEFLATED, -WindowBits, MemLevel, Strategy) != Z_OK) {
        return false;
    }
    FStream = std::move(Stream);
    return true;
}

bool TzefDeflater::Reset() {
    return FStream && deflateReset(FStream.get()) == Z_OK;
}

bool TzefDeflater::Compress(std::span<const std::uint8_t> aInput,
                            std::vector<std::uint8_t>& aOutput, bool aStripTail) {
    if (!FStream) {
        return false;
    }
    z_stream_s& Z = *FStream;
    Z.next_in = const_cast<Bytef*>(aInput.data());
    Z.avail_in = 0;
    std::size_t Remaining = aInput.size();
    std::size_t Start = aOutput.size();
    for (;;) {
        // avail_in is 32 bits; feed large inputs in pieces.
        if (Z.avail_in == 0 && Remaining > 0) {
            uInt Piece = uInt(std::min<std::size_t>(Remaining, 1u << 30));
            Z.avail_in = Piece;
            Remaining -= Piece;
        }
        std::size_t Used = aOutput.size();
        std::size_t Room = std::max(OutputStep, std::size_t(Z.avail_in) / 2 + 64);
        Room = std::min(Room, std::size_t(1) << 30);
        aOutput.resize(Used + Room);
        Z.next_out = aOutput.data() + Used;
        Z.avail_out = uInt(Room);
        int Flush = Remaining > 0 ? Z_NO_FLUSH : Z_SYNC_FLUSH;
        int Result = deflate(&Z, Flush);
        aOutput.resize(Used + (Room - Z.avail_out));
        if (Result != Z_OK && Result != Z_BUF_ERROR) {
            aOutput.resize(Start);
            return false;
        }
        // A sync flush is complete once deflate leaves output room unused.
        if (Flush == Z_SYNC_FLUSH && Z.avail_in == 0 && Z.avail_out != 0) {
            break;
        }
    }
    if (aOutput.size() == Start) {
        // zlib makes no second flush block without new input; an empty stored block is what
        // the flush would have been (the stream is byte-aligned after the previous flush).
        aOutput.insert(aOutput.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
    }
    if (aStripTail) {
        if (aOutput.size() - Start < 4 ||
            !std::equal(aOutput.end() - 4, aOutput.end(), std::begin(DeflateTail))) {
            aOutput.resize(Start);
            return false;
        }
        aOutput.resize(aOutput.size() - 4);
    }
    return true;
}

TzefInflater::TzefInflater() = default;

TzefInflater::~TzefInflater() {
    if (FStream) {
        inflateEnd(FStream.get());
    }
}

bool TzefInflater::Init(int WindowBits) {
    if (FStream) {
        inflateEnd(FStream.get());
        FStream.reset();
    }
    auto Stream = std::make_unique<z_stream_s>();
    std::memset(Stream.get(), 0, sizeof(z_stream_s));
    FWindowBits = std::max(WindowBits, 9);
    if (inflateInit2(Stream.get(), -FWindowBits) != Z_OK) {
        return false;
    }
    FStream = std::move(Stream);
    return true;
}

bool TzefInflater::Reset() {
    return FStream && inflateReset(FStream.get()) == Z_OK;
}

TzefInflateResult TzefInflater::Inflate(std::span<const std::uint8_t> aInput, bool aFinal,
                                        rtl::TMemoryStream& aOutput, std::size_t aLimit) {
    if (!FStream) {
        return TzefInflateResult::irError;
    }
    TzefInflateResult Result =
        FStreamEnded ? TzefInflateResult::irOk : Feed(aInput, aOutput, aLimit);
    // After a final block the message is over: the tail that receivers append belongs to no
    // block and is not fed.
    if (Result == TzefInflateResult::irOk && aFinal && !FStreamEnded) {
        Result = Feed(DeflateTail, aOutput, aLimit);
    }
    if (aFinal) {
        FStreamEnded = false;
    }
    return Result;
}

TzefInflateResult TzefInflater::Feed(std::span<const std::uint8_t> aInput,
                                     rtl::TMemoryStream& aOutput, std::size_t aLimit) {
    z_stream_s& Z = *FStream;
    Z.next_in = const_cast<Bytef*>(aInput.data());
    std::size_t Remaining = aInput.size();
    Z.avail_in = 0;
    for (;;) {
        // avail_in is 32 bits; feed large inputs in pieces.
        if (Z.avail_in == 0 && Remaining > 0) {
            uInt Piece = uInt(std::min<std::size_t>(Remaining, 1u << 30));
            Z.avail_in = Piece;
            Remaining -= Piece;
        }
        std::size_t Used = std::size_t(aOutput.Size());
        if (Used > aLimit) {
            return TzefInflateResult::irTooBig;
        }
        // One byte beyond the limit is enough to learn that the limit is exceeded; the output
        // grows geometrically so that large messages are not resized step by step.
        std::size_t Room =
            std::min({std::max(OutputStep, Used), aLimit - Used + 1, std::size_t(1) << 30});
        aOutput.SetSize(std::int64_t(Used + Room));
        Z.next_out = aOutput.Memory() + Used;
        Z.avail_out = uInt(Room);
        int Status = inflate(&Z, Z_SYNC_FLUSH);
        aOutput.SetSize(std::int64_t(Used + (Room - Z.avail_out)));
        if (std::size_t(aOutput.Size()) > aLimit) {
            return TzefInflateResult::irTooBig;
        }
        bool InputDone = Z.avail_in == 0 && Remaining == 0;
        if (Status == Z_STREAM_END) {
            // The peer ended its deflate stream with a final block. Its next stream may still
            // refer to the data so far, so the window survives the reset.
            Bytef Window[1u << 15];
            uInt WindowSize = sizeof(Window);
            if (inflateGetDictionary(&Z, Window, &WindowSize) != Z_OK || inflateReset(&Z) != Z_OK ||
                (WindowSize > 0 && inflateSetDictionary(&Z, Window, WindowSize) != Z_OK)) {
                return TzefInflateResult::irError;
            }
            // What follows the final block within this message is not deflate data.
            FStreamEnded = true;
            break;
        }
        if (Status == Z_BUF_ERROR) {
            // No progress: fine once the input is used up (the next frame brings more).
            if (InputDone) {
                break;
            }
            if (Z.avail_in == 0) {
                continue;
            }
            return TzefInflateResult::irError;
        }
        if (Status != Z_OK) {
            return TzefInflateResult::irError;
        }
        // With room left over, inflate has produced everything the input allows.
        if (InputDone && Z.avail_out != 0) {
            break;
        }
    }
    return TzefInflateResult::irOk;
}

void TzefWSExtension_Base::Assign(const TzefWSExtension_Base& Source) {
    FEnabled = Source.FEnabled;
}

std::string TzefWSExtension_Base::GetHeaderExtension() {
    return "Sec-WebSocket-Extensions: " + FHeaderExtension;
}

bool TzefWSExtension_Base::DecodeExtension(const std::string& /*aExtension*/) {
    return false;
}

bool TzefWSExtension_Base::DeflateFrame(rtl::TMemoryStream& aStream) {
    try {
        InflatePayload(aStream, 0, true, std::size_t(-1) / 2);
        aStream.SetPosition(0);
        return true;
    } catch (const TzefWSException&) {
        return false;
    }
}

bool TzefWSExtension_Base::InflateFrame(rtl::TMemoryStream& aStream) {
    try {
        std::vector<std::uint8_t> Output;
        DeflatePayload(aStream.Bytes(), Output, true);
        aStream.Clear();
        aStream.WriteAll(Output.data(), std::int64_t(Output.size()));
        aStream.SetPosition(0);
        return true;
    } catch (const TzefWSException&) {
        return false;
    }
}

} // namespace zef
