// WsClientDeflate: permessage-deflate for the load tool's client connections.
#include "bench/websocket/WsClientDeflate.h"

#include "bench/websocket/WsClientFrame.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace wsload {

namespace {

constexpr std::uint8_t FlushTail[4] = {0x00, 0x00, 0xFF, 0xFF};

std::string_view Trim(std::string_view Text) {
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t')) {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t')) {
        Text.remove_suffix(1);
    }
    return Text;
}

bool SameText(std::string_view A, std::string_view B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
               return std::tolower(static_cast<unsigned char>(X)) ==
                      std::tolower(static_cast<unsigned char>(Y));
           });
}

} // namespace

std::string ParseDeflateAnswer(std::string_view Value, TDeflateAnswer& Answer) {
    if (Value.find(',') != std::string_view::npos) {
        return "more than one extension accepted";
    }
    TDeflateAnswer Parsed;
    bool Seen[3] = {false, false, false};
    std::size_t Start = 0;
    bool First = true;
    while (Start <= Value.size()) {
        const std::size_t End = std::min(Value.find(';', Start), Value.size());
        const std::string_view Item = Trim(Value.substr(Start, End - Start));
        Start = End + 1;
        if (First) {
            First = false;
            if (!SameText(Item, "permessage-deflate")) {
                return "extension \"" + std::string(Item) + "\" was never offered";
            }
            continue;
        }
        const std::size_t Equals = Item.find('=');
        const std::string_view Name = Trim(Item.substr(0, Equals));
        std::string_view Argument =
            Equals == std::string_view::npos ? std::string_view() : Trim(Item.substr(Equals + 1));
        if (Argument.size() >= 2 && Argument.front() == '"' && Argument.back() == '"') {
            Argument = Argument.substr(1, Argument.size() - 2);
        }
        int Index = -1;
        if (SameText(Name, "server_no_context_takeover")) {
            Index = 0;
        } else if (SameText(Name, "client_no_context_takeover")) {
            Index = 1;
        } else if (SameText(Name, "server_max_window_bits")) {
            Index = 2;
        } else if (SameText(Name, "client_max_window_bits")) {
            return "client_max_window_bits in the answer, but the offer did not include it";
        } else {
            return "unknown permessage-deflate parameter \"" + std::string(Name) + "\"";
        }
        if (Seen[Index]) {
            return "permessage-deflate parameter \"" + std::string(Name) + "\" given twice";
        }
        Seen[Index] = true;
        if (Index == 2) {
            if (Argument.size() < 1 || Argument.size() > 2 ||
                !std::all_of(Argument.begin(), Argument.end(),
                             [](char C) { return C >= '0' && C <= '9'; })) {
                return "server_max_window_bits needs a number from 8 to 15";
            }
            const int Bits = std::stoi(std::string(Argument));
            if (Bits < 8 || Bits > 15) {
                return "server_max_window_bits needs a number from 8 to 15";
            }
            Parsed.ServerMaxWindowBits = Bits;
        } else if (Equals != std::string_view::npos) {
            return "permessage-deflate parameter \"" + std::string(Name) + "\" takes no value";
        } else if (Index == 0) {
            Parsed.ServerNoContextTakeover = true;
        } else {
            Parsed.ClientNoContextTakeover = true;
        }
    }
    Answer = Parsed;
    return {};
}

struct TMessageDeflate::TStreams {
    z_stream Deflate{};
    z_stream Inflate{};
};

TMessageDeflate::TMessageDeflate(const TDeflateAnswer& Answer)
    : FStreams(std::make_unique<TStreams>())
    , FResetOutgoing(Answer.ClientNoContextTakeover)
    , FResetIncoming(Answer.ServerNoContextTakeover) {
    // Level 1: the load tool's own compression should cost it as little as possible. A window
    // of 15 bits inflates what any smaller server window produced.
    if (deflateInit2(&FStreams->Deflate, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    if (inflateInit2(&FStreams->Inflate, -15) != Z_OK) {
        deflateEnd(&FStreams->Deflate);
        throw std::runtime_error("inflateInit2 failed");
    }
}

TMessageDeflate::~TMessageDeflate() {
    deflateEnd(&FStreams->Deflate);
    inflateEnd(&FStreams->Inflate);
}

void TMessageDeflate::Compress(std::span<const std::uint8_t> Message,
                               std::vector<std::uint8_t>& Out) {
    z_stream& Stream = FStreams->Deflate;
    const std::size_t Start = Out.size();
    std::size_t Used = 0;
    Stream.next_in = const_cast<Bytef*>(Message.data());
    Stream.avail_in = static_cast<uInt>(Message.size());
    do {
        Out.resize(Start + Used + Message.size() / 2 + 64);
        Stream.next_out = Out.data() + Start + Used;
        Stream.avail_out = static_cast<uInt>(Out.size() - Start - Used);
        const int Result = deflate(&Stream, Z_SYNC_FLUSH);
        Used = Out.size() - Start - Stream.avail_out;
        if (Result != Z_OK && Result != Z_BUF_ERROR) {
            throw std::runtime_error("deflate failed");
        }
    } while (Stream.avail_out == 0 || Stream.avail_in != 0);
    // An empty message right after another flushes nothing: it goes as the one byte 00, the
    // start of an empty stored block whose rest the receiver appends.
    if (Used == 0) {
        Out.resize(Start + 1);
        Out[Start] = 0x00;
        return;
    }
    // A sync flush ends with an empty stored block, 00 00 FF FF: it is left off the wire.
    if (Used < 4 ||
        !std::equal(FlushTail, FlushTail + 4, Out.begin() + std::ptrdiff_t(Start + Used - 4))) {
        throw std::runtime_error("deflate output without the flush marker");
    }
    Out.resize(Start + Used - 4);
    if (FResetOutgoing) {
        deflateReset(&Stream);
    }
}

void TMessageDeflate::Inflate(std::span<const std::uint8_t> Payload, std::vector<std::uint8_t>& Out,
                              std::size_t Limit) {
    z_stream& Stream = FStreams->Inflate;
    std::size_t Produced = 0;
    bool Ended = false;
    // The payload, then the flush marker the sender left off.
    const std::span<const std::uint8_t> Pieces[2] = {Payload, {FlushTail, 4}};
    for (const auto& Piece : Pieces) {
        Stream.next_in = const_cast<Bytef*>(Piece.data());
        Stream.avail_in = static_cast<uInt>(Piece.size());
        // Until the piece is taken and the output did not fill up (more may be pending then).
        while (true) {
            if (Out.size() - Produced < 4096) {
                Out.resize(Produced + std::max<std::size_t>(16384, Produced));
            }
            Stream.next_out = Out.data() + Produced;
            Stream.avail_out = static_cast<uInt>(Out.size() - Produced);
            const int Result = inflate(&Stream, Z_SYNC_FLUSH);
            Produced = Out.size() - Stream.avail_out;
            if (Produced > Limit) {
                inflateReset(&Stream);
                throw EFrameError("inflated message above " + std::to_string(Limit) + " bytes");
            }
            if (Result == Z_STREAM_END) {
                Ended = true; // A final block: the next message starts a new stream.
                break;
            }
            const bool Stuck = Result == Z_BUF_ERROR && Stream.avail_in > 0 && Stream.avail_out > 0;
            if ((Result != Z_OK && Result != Z_BUF_ERROR) || Stuck) {
                const std::string Text = Stream.msg != nullptr ? Stream.msg : "no progress";
                inflateReset(&Stream);
                throw EFrameError("compressed message does not inflate: " + Text);
            }
            if (Stream.avail_in == 0 && Stream.avail_out > 0) {
                break;
            }
        }
        if (Ended) {
            break;
        }
    }
    Out.resize(Produced);
    if (Ended || FResetIncoming) {
        inflateReset(&Stream);
    }
}

} // namespace wsload
