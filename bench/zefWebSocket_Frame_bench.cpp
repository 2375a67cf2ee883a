// zefWebSocket_Frame_bench: microbenchmarks of the frame codec (server-side decoding of masked
// text frames, encoding, permessage-deflate) next to the peers that bound them: memcpy, a
// byte-at-a-time unmask loop and zlib's raw deflate/inflate called directly. Every benchmark
// reports the heap allocations per message it saw in its timed loop.
#include "bench/AllocationCounter.h"
#include "websocket/core/zefWebSocket_Classes_Stream.h"

#include <zlib.h>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;

/// What a socket read hands the reader at most.
constexpr std::size_t ReadSize = 16384;
constexpr std::uint8_t MaskKey[4] = {0x37, 0xFA, 0x21, 0x3D};
constexpr std::size_t MessageLimit = 64u << 20;

/// A transport over memory with nothing on the hot path but the copy a socket read makes:
/// reads hand out at most ReadSize bytes of a prepared wire image, writes are only counted
/// unless Capture keeps them (in a buffer reused from one message to the next).
class TBenchConnection : public zef::TzefWSConnection_Base_Stream {
public:
    explicit TBenchConnection(bool aClient) {
        SetTransport(zef::TwsTransport::trpRFC6455);
        SetEnabled(true);
        SetMasked(aClient);
        Extensions().SetMode(aClient ? zef::TwsApplicationMode::appClient
                                     : zef::TwsApplicationMode::appServer);
    }

    /// Activates permessage-deflate with its defaults (15-bit windows, context takeover): the
    /// server judges the offer, the client reads the same value as the answer.
    void NegotiateDeflate() {
        Extensions().PerMessage_Deflate().SetEnabled(true);
        Extensions().DecodeExtensions("permessage-deflate");
    }
    /// The next reads come from aWire, which must outlive them.
    void Feed(std::span<const std::uint8_t> aWire) {
        FInput = aWire;
        FRead = 0;
    }
    /// Runs the reader over everything fed, the way a transport's read loop does.
    void ReadAll() {
        while (FRead < FInput.size() && !Disconnected()) {
            std::size_t Before = FRead;
            ReadFrame(!Masked());
            if (FRead == Before) {
                break;
            }
        }
    }

    bool Capture = false;
    TBytes Output;
    std::size_t WrittenBytes = 0;

    bool Active() override { return true; }
    std::string URL() override { return "/"; }
    bool Connected() override { return true; }
    void DisconnectPeer() override {}
    void ClearReceiveBuffer() override { FRead = FInput.size(); }
    void DoHandshake() override {}
    void WriteBytes(std::span<const std::uint8_t> aBytes) override {
        WrittenBytes += aBytes.size();
        if (Capture) {
            Output.insert(Output.end(), aBytes.begin(), aBytes.end());
        } else {
            benchmark::DoNotOptimize(aBytes.data());
        }
    }
    void WriteBegin() override {}
    void WriteFlush() override {}
    void WriteEnd() override {}
    std::size_t ReadBytes(std::uint8_t* aBytes, std::size_t aCount) override {
        std::size_t Count = std::min({aCount, FInput.size() - FRead, ReadSize});
        std::memcpy(aBytes, FInput.data() + FRead, Count);
        FRead += Count;
        return Count;
    }
    std::size_t ReadableBytes() override { return std::min(FInput.size() - FRead, ReadSize); }
    void ReadData(bool aRequireMask) override {
        (void)aRequireMask;
        ReadAll();
    }

private:
    std::span<const std::uint8_t> FInput;
    std::size_t FRead = 0;
};

/// JSON-like records with varying numbers: compresses about as well as typical chat or API
/// traffic does.
TBytes TextPayload(std::size_t aSize) {
    std::string Text;
    std::uint32_t Seed = 12345;
    while (Text.size() < aSize) {
        Seed = Seed * 1103515245u + 12345u;
        std::uint32_t Value = Seed >> 8;
        Text += "{\"id\":" + std::to_string(Value % 100000) + ",\"user\":\"user" +
                std::to_string(Value % 977) + "\",\"score\":" + std::to_string(Value % 1000) +
                ",\"online\":" + (Value & 1 ? "true" : "false") + "},";
    }
    return TBytes(Text.begin(), Text.begin() + std::ptrdiff_t(aSize));
}

TBytes RandomPayload(std::size_t aSize) {
    std::mt19937 Generator(4242);
    TBytes Bytes(aSize);
    for (std::uint8_t& Byte : Bytes) {
        Byte = std::uint8_t(Generator());
    }
    return Bytes;
}

TBytes Payload(std::size_t aSize, bool aRandom) {
    return aRandom ? RandomPayload(aSize) : TextPayload(aSize);
}

/// Distinct messages of aSize bytes cut from 4 MiB of text or random bytes, so that with
/// context takeover a message never finds its own previous copy in the 32 KiB window.
class TMessagePool {
public:
    TMessagePool(std::size_t aSize, bool aRandom)
        : FSize(aSize)
        , FData(Payload(std::max<std::size_t>(PoolSize, aSize * 2), aRandom))
        , FCount(FData.size() / aSize) {}
    std::span<const std::uint8_t> Next() {
        std::span<const std::uint8_t> Message(FData.data() + FNext * FSize, FSize);
        FNext = (FNext + 1) % FCount;
        return Message;
    }
    std::size_t Count() const { return FCount; }
    std::span<const std::uint8_t> At(std::size_t aIndex) const {
        return {FData.data() + aIndex * FSize, FSize};
    }

private:
    static constexpr std::size_t PoolSize = 4u << 20;
    std::size_t FSize;
    TBytes FData;
    std::size_t FCount;
    std::size_t FNext = 0;
};

/// One final frame as a client sends it: masked with MaskKey.
TBytes MaskedFrame(std::uint8_t aFirst, std::span<const std::uint8_t> aPayload) {
    TBytes Out{aFirst};
    std::uint64_t Length = aPayload.size();
    if (Length < 126) {
        Out.push_back(std::uint8_t(0x80 | Length));
    } else if (Length <= 0xFFFF) {
        Out.insert(Out.end(), {0x80 | 126, std::uint8_t(Length >> 8), std::uint8_t(Length)});
    } else {
        Out.push_back(0x80 | 127);
        for (int Shift = 56; Shift >= 0; Shift -= 8) {
            Out.push_back(std::uint8_t(Length >> Shift));
        }
    }
    Out.insert(Out.end(), MaskKey, MaskKey + 4);
    for (std::size_t I = 0; I < aPayload.size(); ++I) {
        Out.push_back(std::uint8_t(aPayload[I] ^ MaskKey[I % 4]));
    }
    return Out;
}

std::string AsText(const TBytes& aBytes) {
    return std::string(aBytes.begin(), aBytes.end());
}

/// Throughput by uncompressed payload, messages, and the allocations the timed loop made.
void Report(benchmark::State& State, std::size_t aSize, const bench::TAllocationScope& aScope) {
    std::uint64_t Allocations = aScope.Count();
    std::uint64_t Bytes = aScope.Bytes();
    auto Iterations = std::int64_t(State.iterations());
    State.SetBytesProcessed(Iterations * std::int64_t(aSize));
    State.SetItemsProcessed(Iterations);
    double PerMessage = Iterations > 0 ? 1.0 / double(Iterations) : 0.0;
    State.counters["allocs/msg"] = double(Allocations) * PerMessage;
    State.counters["alloc_bytes/msg"] = double(Bytes) * PerMessage;
}

// --- The codec -----------------------------------------------------------------------------

/// Server side: one masked text frame per message, read in 16 KiB pieces, delivered through
/// OnMessage.
void DecodeMaskedText(benchmark::State& State) {
    const auto Size = std::size_t(State.range(0));
    const bool Validate = State.range(1) != 0;
    TBytes Data = TextPayload(Size);
    TBytes Wire = MaskedFrame(0x81, Data);
    TBenchConnection Server(false);
    Server.SetValidateUTF8(Validate);
    std::size_t Messages = 0;
    bool Correct = false;
    Server.OnMessage = [&](zef::TzefWSConnection&, const std::string& Text) {
        ++Messages;
        if (Messages == 1) {
            Correct = Text == AsText(Data);
        }
        benchmark::DoNotOptimize(Text.data());
    };
    Server.Feed(Wire);
    Server.ReadAll();
    if (!Correct || Server.Disconnected()) {
        State.SkipWithError("the decoded message differs from the one sent");
        return;
    }
    bench::TAllocationScope Scope;
    for (auto _ : State) {
        Server.Feed(Wire);
        Server.ReadAll();
    }
    Report(State, Size, Scope);
    if (Messages != std::size_t(State.iterations()) + 1) {
        State.SkipWithError("a message was lost");
    }
}

/// One text frame per message through WriteData: unmasked (server) or masked (client).
void EncodeText(benchmark::State& State) {
    const auto Size = std::size_t(State.range(0));
    const bool Client = State.range(1) != 0;
    const std::string Text = AsText(TextPayload(Size));
    TBenchConnection Connection(Client);
    // The first frame is checked by the reader of the other side.
    Connection.Capture = true;
    Connection.WriteData(Text);
    TBenchConnection Peer(!Client);
    bool Correct = false;
    Peer.OnMessage = [&](zef::TzefWSConnection&, const std::string& Received) {
        Correct = Received == Text;
    };
    Peer.Feed(Connection.Output);
    Peer.ReadAll();
    if (!Correct) {
        State.SkipWithError("the encoded frame does not decode to the message");
        return;
    }
    Connection.Capture = false;
    Connection.WrittenBytes = 0;
    bench::TAllocationScope Scope;
    for (auto _ : State) {
        Connection.WriteData(Text);
    }
    Report(State, Size, Scope);
    State.counters["wire_bytes/msg"] =
        double(Connection.WrittenBytes) / double(std::max<std::int64_t>(State.iterations(), 1));
}

/// permessage-deflate through the extension objects alone: the client's extension compresses,
/// the compressed bytes land in the receive buffer, the server's extension inflates them in
/// place. Context takeover on both sides, as negotiated by default.
void DeflateRoundTrip(benchmark::State& State) {
    const auto Size = std::size_t(State.range(0));
    TMessagePool Pool(Size, State.range(1) != 0);
    zef::TzefWSExtensions Client;
    zef::TzefWSExtensions Server;
    Client.SetMode(zef::TwsApplicationMode::appClient);
    Server.SetMode(zef::TwsApplicationMode::appServer);
    Client.PerMessage_Deflate().SetEnabled(true);
    Server.PerMessage_Deflate().SetEnabled(true);
    Server.DecodeExtensions("permessage-deflate");
    Client.DecodeExtensions("permessage-deflate");
    TBytes Compressed;
    rtl::TMemoryStream Received;
    std::uint64_t CompressedBytes = 0;
    auto RoundTrip = [&](std::span<const std::uint8_t> aMessage) {
        Compressed.clear();
        Client.WritePayload(aMessage, Compressed, true);
        CompressedBytes += Compressed.size();
        Server.DecodeHeader(0xC1, false);
        Received.SetSize(std::int64_t(Compressed.size()));
        std::memcpy(Received.Memory(), Compressed.data(), Compressed.size());
        Server.ReadPayload(Received, 0, true, MessageLimit);
    };
    // Once through the whole pool, every message checked.
    for (std::size_t I = 0; I < Pool.Count(); ++I) {
        std::span<const std::uint8_t> Message = Pool.Next();
        RoundTrip(Message);
        if (!std::equal(Message.begin(), Message.end(), Received.Bytes().begin(),
                        Received.Bytes().end())) {
            State.SkipWithError("the inflated message differs from the one compressed");
            return;
        }
    }
    CompressedBytes = 0;
    bench::TAllocationScope Scope;
    for (auto _ : State) {
        RoundTrip(Pool.Next());
    }
    Report(State, Size, Scope);
    State.counters["compressed/msg"] =
        double(CompressedBytes) / double(std::max<std::int64_t>(State.iterations(), 1));
}

/// The whole path with permessage-deflate: a client connection writes the message (compressed,
/// masked), the server connection reads the frame in 16 KiB pieces and inflates it.
void DeflateFramesRoundTrip(benchmark::State& State) {
    const auto Size = std::size_t(State.range(0));
    TMessagePool Pool(Size, State.range(1) != 0);
    std::vector<std::string> Texts;
    for (std::size_t I = 0; I < Pool.Count(); ++I) {
        Texts.emplace_back(AsText(TBytes(Pool.At(I).begin(), Pool.At(I).end())));
    }
    TBenchConnection Client(true);
    TBenchConnection Server(false);
    Client.NegotiateDeflate();
    Server.NegotiateDeflate();
    Server.SetMaxMessageSize(MessageLimit);
    Client.Capture = true;
    const std::string* Sent = nullptr;
    std::size_t Messages = 0;
    std::size_t Correct = 0;
    Server.OnMessage = [&](zef::TzefWSConnection&, const std::string& Received) {
        ++Messages;
        Correct += Received == *Sent;
    };
    std::size_t Next = 0;
    auto RoundTrip = [&] {
        Sent = &Texts[Next];
        Next = (Next + 1) % Texts.size();
        Client.Output.clear();
        Client.WriteData(*Sent);
        Server.Feed(Client.Output);
        Server.ReadAll();
    };
    for (std::size_t I = 0; I < Texts.size(); ++I) {
        RoundTrip();
    }
    if (Correct != Texts.size() || Server.Disconnected()) {
        State.SkipWithError("the inflated message differs from the one sent");
        return;
    }
    bench::TAllocationScope Scope;
    for (auto _ : State) {
        RoundTrip();
    }
    Report(State, Size, Scope);
    if (Correct != Messages || Messages != std::size_t(State.iterations()) + Texts.size()) {
        State.SkipWithError("a message was lost or changed");
    }
}

// --- The peers -----------------------------------------------------------------------------

/// Memory speed: one copy of the payload.
void PeerMemcpy(benchmark::State& State) {
    const auto Size = std::size_t(State.range(0));
    TBytes Source = TextPayload(Size);
    TBytes Target(Size);
    bench::TAllocationScope Scope;
    for (auto _ : State) {
        std::memcpy(Target.data(), Source.data(), Size);
        benchmark::DoNotOptimize(Target.data());
        benchmark::ClobberMemory();
    }
    Report(State, Size, Scope);
}

// Kept a byte loop: left to itself, the compiler would vectorise it.
__attribute__((noinline, optimize("no-tree-vectorize"))) void
UnmaskBytewise(std::uint8_t* aData, std::size_t aCount, const std::uint8_t aKey[4]) {
    for (std::size_t I = 0; I < aCount; ++I) {
        aData[I] ^= aKey[I % 4];
    }
}

/// The textbook unmask loop, one byte at a time, in place.
void PeerUnmaskBytewise(benchmark::State& State) {
    const auto Size = std::size_t(State.range(0));
    TBytes Data = TextPayload(Size);
    bench::TAllocationScope Scope;
    for (auto _ : State) {
        UnmaskBytewise(Data.data(), Size, MaskKey);
        benchmark::ClobberMemory();
    }
    Report(State, Size, Scope);
}

/// The codec's own word-at-a-time unmask, in place, without the reader around it.
void CoreMaskBytes(benchmark::State& State) {
    const auto Size = std::size_t(State.range(0));
    TBytes Data = TextPayload(Size);
    bench::TAllocationScope Scope;
    for (auto _ : State) {
        zef::MaskBytes(Data.data(), Size, MaskKey, 0);
        benchmark::ClobberMemory();
    }
    Report(State, Size, Scope);
}

/// zlib's raw deflate (level 1, 15-bit window, memLevel 9, as the extension uses) with a sync
/// flush and raw inflate, called directly on buffers prepared once; streams kept between
/// messages like context takeover.
void PeerZlibRoundTrip(benchmark::State& State) {
    const auto Size = std::size_t(State.range(0));
    TMessagePool Pool(Size, State.range(1) != 0);
    z_stream Deflater{};
    z_stream Inflater{};
    if (deflateInit2(&Deflater, 1, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK ||
        inflateInit2(&Inflater, -15) != Z_OK) {
        State.SkipWithError("zlib refused to initialise");
        return;
    }
    TBytes Compressed(deflateBound(&Deflater, uLong(Size)) + Size / 100 + 64);
    TBytes Plain(Size + 1);
    std::uint64_t CompressedBytes = 0;
    bool Failed = false;
    auto RoundTrip = [&](std::span<const std::uint8_t> aMessage) {
        Deflater.next_in = const_cast<Bytef*>(aMessage.data());
        Deflater.avail_in = uInt(Size);
        Deflater.next_out = Compressed.data();
        Deflater.avail_out = uInt(Compressed.size());
        Failed |= deflate(&Deflater, Z_SYNC_FLUSH) != Z_OK || Deflater.avail_in != 0;
        std::size_t CompressedSize = Compressed.size() - Deflater.avail_out;
        CompressedBytes += CompressedSize;
        Inflater.next_in = Compressed.data();
        Inflater.avail_in = uInt(CompressedSize);
        Inflater.next_out = Plain.data();
        Inflater.avail_out = uInt(Plain.size());
        Failed |= inflate(&Inflater, Z_SYNC_FLUSH) != Z_OK || Inflater.avail_in != 0 ||
                  Plain.size() - Inflater.avail_out != Size;
    };
    for (std::size_t I = 0; I < Pool.Count() && !Failed; ++I) {
        std::span<const std::uint8_t> Message = Pool.Next();
        RoundTrip(Message);
        Failed |= !std::equal(Message.begin(), Message.end(), Plain.begin());
    }
    if (Failed) {
        State.SkipWithError("zlib's round trip differs from the input");
    } else {
        CompressedBytes = 0;
        bench::TAllocationScope Scope;
        for (auto _ : State) {
            RoundTrip(Pool.Next());
        }
        Report(State, Size, Scope);
        State.counters["compressed/msg"] =
            double(CompressedBytes) / double(std::max<std::int64_t>(State.iterations(), 1));
        if (Failed) {
            State.SkipWithError("zlib failed in the timed loop");
        }
    }
    deflateEnd(&Deflater);
    inflateEnd(&Inflater);
}

void Sizes(benchmark::internal::Benchmark* Benchmark) {
    for (std::int64_t Size : {32, 1024, 16384, 1 << 20}) {
        Benchmark->Arg(Size);
    }
}

/// Each size with a second argument (0 or 1).
void SizesBy(benchmark::internal::Benchmark* Benchmark) {
    for (std::int64_t Flag : {0, 1}) {
        for (std::int64_t Size : {32, 1024, 16384, 1 << 20}) {
            Benchmark->Args({Size, Flag});
        }
    }
}

} // namespace

BENCHMARK(DecodeMaskedText)->ArgNames({"size", "validate_utf8"})->Apply(SizesBy);
BENCHMARK(EncodeText)->ArgNames({"size", "masked"})->Apply(SizesBy);
BENCHMARK(PeerMemcpy)->ArgName("size")->Apply(Sizes);
BENCHMARK(PeerUnmaskBytewise)->ArgName("size")->Apply(Sizes);
BENCHMARK(CoreMaskBytes)->ArgName("size")->Apply(Sizes);
BENCHMARK(DeflateRoundTrip)->ArgNames({"size", "random"})->Apply(SizesBy);
BENCHMARK(DeflateFramesRoundTrip)->ArgNames({"size", "random"})->Apply(SizesBy);
BENCHMARK(PeerZlibRoundTrip)->ArgNames({"size", "random"})->Apply(SizesBy);
