// WsClientDeflate tests: the server's answer to the offer, the protocol's own compressed
// examples, and messages compressed here inflating in a server-side zlib stream.
#include "bench/websocket/WsClientDeflate.h"

#include "bench/websocket/WsClientFrame.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace wsload {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> List) {
    std::vector<std::uint8_t> Out;
    for (int Value : List) {
        Out.push_back(std::uint8_t(Value));
    }
    return Out;
}

std::string Text(const std::vector<std::uint8_t>& Data) {
    return std::string(Data.begin(), Data.end());
}

std::span<const std::uint8_t> View(const std::string& Data) {
    return {reinterpret_cast<const std::uint8_t*>(Data.data()), Data.size()};
}

TEST(ParseDeflateAnswer, AcceptsWhatThePlainOfferAllowsAndNothingElse) {
    const struct {
        const char* Value;
        bool Valid;
        bool ServerNoContextTakeover;
        bool ClientNoContextTakeover;
        int ServerMaxWindowBits;
    } Cases[] = {
        {"permessage-deflate", true, false, false, 15},
        {"PerMessage-Deflate ", true, false, false, 15},
        {"permessage-deflate; server_no_context_takeover", true, true, false, 15},
        {"permessage-deflate;client_no_context_takeover", true, false, true, 15},
        {"permessage-deflate; server_max_window_bits=8", true, false, false, 8},
        {"permessage-deflate; server_max_window_bits=\"15\"; server_no_context_takeover", true,
         true, false, 15},
        {"permessage-deflate; server_max_window_bits=7", false, false, false, 15},
        {"permessage-deflate; server_max_window_bits=16", false, false, false, 15},
        {"permessage-deflate; server_max_window_bits", false, false, false, 15},
        {"permessage-deflate; server_max_window_bits=1x", false, false, false, 15},
        {"permessage-deflate; client_max_window_bits=15", false, false, false, 15},
        {"permessage-deflate; client_max_window_bits", false, false, false, 15},
        {"permessage-deflate; server_no_context_takeover; server_no_context_takeover", false, false,
         false, 15},
        {"permessage-deflate; server_no_context_takeover=1", false, false, false, 15},
        {"permessage-deflate; mystery", false, false, false, 15},
        {"permessage-deflate, permessage-deflate", false, false, false, 15},
        {"x-webkit-deflate-frame", false, false, false, 15},
        {"", false, false, false, 15},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Value);
        TDeflateAnswer Answer;
        Answer.ServerMaxWindowBits = 99; // Left alone unless the answer is accepted.
        const std::string Problem = ParseDeflateAnswer(Case.Value, Answer);
        EXPECT_EQ(Problem.empty(), Case.Valid) << Problem;
        if (Case.Valid) {
            EXPECT_EQ(Answer.ServerNoContextTakeover, Case.ServerNoContextTakeover);
            EXPECT_EQ(Answer.ClientNoContextTakeover, Case.ClientNoContextTakeover);
            EXPECT_EQ(Answer.ServerMaxWindowBits, Case.ServerMaxWindowBits);
        } else {
            EXPECT_EQ(Answer.ServerMaxWindowBits, 99);
        }
    }
}

TEST(MessageDeflate, InflatesTheProtocolExamples) {
    TMessageDeflate Deflate({});
    std::vector<std::uint8_t> Out;
    // "Hello" compressed, then again referring to the first one (the window is kept).
    Deflate.Inflate(Bytes({0xF2, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00}), Out, 1000);
    EXPECT_EQ(Text(Out), "Hello");
    Deflate.Inflate(Bytes({0xF2, 0x00, 0x11, 0x00, 0x00}), Out, 1000);
    EXPECT_EQ(Text(Out), "Hello");
    // A stored block.
    Deflate.Inflate(Bytes({0x00, 0x05, 0x00, 0xFA, 0xFF, 'H', 'e', 'l', 'l', 'o', 0x00}), Out,
                    1000);
    EXPECT_EQ(Text(Out), "Hello");
    // A final block: the stream ends with the message and the next one starts afresh.
    Deflate.Inflate(Bytes({0xF3, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00, 0x00}), Out, 1000);
    EXPECT_EQ(Text(Out), "Hello");
    Deflate.Inflate(Bytes({0xF2, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00}), Out, 1000);
    EXPECT_EQ(Text(Out), "Hello");
}

TEST(MessageDeflate, InflateStopsAtTheLimitAndAtCorruptData) {
    std::string Long(100000, 'a');
    for (std::size_t I = 0; I < Long.size(); I += 7) {
        Long[I] = char('a' + I % 26);
    }
    const struct {
        const char* Name;
        std::size_t Limit;
        bool Valid;
    } Cases[] = {{"limit is the size", Long.size(), true},
                 {"limit one below", Long.size() - 1, false},
                 {"limit far below", 10, false}};
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TMessageDeflate Sender({});
        std::vector<std::uint8_t> Wire;
        Sender.Compress(View(Long), Wire);
        TMessageDeflate Receiver({});
        std::vector<std::uint8_t> Out;
        if (Case.Valid) {
            Receiver.Inflate(Wire, Out, Case.Limit);
            EXPECT_EQ(Text(Out), Long);
        } else {
            EXPECT_THROW(Receiver.Inflate(Wire, Out, Case.Limit), EFrameError);
        }
    }
    TMessageDeflate Receiver({});
    std::vector<std::uint8_t> Out;
    // Block type 3 is reserved.
    EXPECT_THROW(Receiver.Inflate(Bytes({0xFF, 0xFF, 0xFF}), Out, 1000), EFrameError);
}

// A server's inflater for the client's messages: raw deflate, window 15, kept across messages
// unless Reset.
class TServerInflate {
public:
    TServerInflate() { inflateInit2(&FStream, -15); }
    ~TServerInflate() { inflateEnd(&FStream); }
    TServerInflate(const TServerInflate&) = delete;
    TServerInflate& operator=(const TServerInflate&) = delete;
    std::string Message(std::vector<std::uint8_t> Payload) {
        Payload.insert(Payload.end(), {0x00, 0x00, 0xFF, 0xFF});
        std::string Out(1 << 20, '\0');
        FStream.next_in = Payload.data();
        FStream.avail_in = uInt(Payload.size());
        FStream.next_out = reinterpret_cast<Bytef*>(Out.data());
        FStream.avail_out = uInt(Out.size());
        const int Result = inflate(&FStream, Z_SYNC_FLUSH);
        EXPECT_EQ(Result, Z_OK);
        EXPECT_EQ(FStream.avail_in, 0u);
        Out.resize(Out.size() - FStream.avail_out);
        return Out;
    }

private:
    z_stream FStream{};
};

TEST(MessageDeflate, MessagesInflateOnTheServerSideWithAndWithoutContextTakeover) {
    const std::string Messages[] = {"Hello", "Hello", "", std::string(70000, 'x') + "end",
                                    "Hello again, Hello"};
    for (bool Reset : {false, true}) {
        SCOPED_TRACE(Reset ? "client_no_context_takeover" : "context takeover");
        TDeflateAnswer Answer;
        Answer.ClientNoContextTakeover = Reset;
        TMessageDeflate Sender(Answer);
        TServerInflate Kept;
        std::size_t Sizes[2] = {0, 0};
        for (const std::string& Message : Messages) {
            std::vector<std::uint8_t> Wire = {0xEE}; // Appending keeps what is already there.
            Sender.Compress(View(Message), Wire);
            ASSERT_EQ(Wire[0], 0xEE);
            Wire.erase(Wire.begin());
            if (Reset) {
                TServerInflate Fresh; // Each message must decode on its own.
                EXPECT_EQ(Fresh.Message(Wire), Message);
            } else {
                EXPECT_EQ(Kept.Message(Wire), Message);
            }
            if (Message == "Hello") {
                Sizes[Sizes[0] == 0 ? 0 : 1] = Wire.size();
            }
        }
        // With the window kept the second "Hello" is a back-reference: shorter than the first.
        if (Reset) {
            EXPECT_EQ(Sizes[1], Sizes[0]);
        } else {
            EXPECT_LT(Sizes[1], Sizes[0]);
        }
    }
}

} // namespace
} // namespace wsload
