// zefWebSocket_Classes_Stream: the frame codec through the in-memory transport.
#include "websocket/core/zefWebSocket_Classes_Stream.h"

#include "testing/zefWebSocket_TestConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace zef;
using namespace zef::testing;

namespace {

const std::uint8_t Key[4] = {0x37, 0xFA, 0x21, 0x3D};

TBytes Masked(std::uint8_t aFirst, std::string_view aPayload, int aForce = 0) {
    return Frame(aFirst, aPayload, Key, aForce);
}

TBytes CloseFrame(int aCode) {
    return {0x88, 0x02, std::uint8_t(aCode >> 8), std::uint8_t(aCode & 0xFF)};
}

TBytes ClosePayload(int aCode, std::string_view aReason = {}) {
    TBytes Payload{std::uint8_t(aCode >> 8), std::uint8_t(aCode & 0xFF)};
    Payload.insert(Payload.end(), aReason.begin(), aReason.end());
    return Payload;
}

struct TReadOutcome {
    std::vector<std::string> Messages;
    std::vector<TBytes> Binaries;
    std::vector<TzefWSEventLog::TFragment> Fragments;
    TBytes Output;
    std::string Error; // "" when the reader raised nothing
    int DisconnectPeerCalls = 0;
    int CloseCode = 0;
    std::string CloseReason;
};

using TConfigure = std::function<void(TzefWSTestConnection&)>;

// Feeds Input to a fresh server connection: whole (Split npos, Chunk 0), one byte per read
// (Chunk 1), or in two deliveries split at Split.
TReadOutcome RunReader(const TBytes& aInput, const TConfigure& aConfigure, std::size_t aSplit,
                       std::size_t aChunk, bool aRequireMask = true) {
    TzefWSTestConnection Connection;
    TzefWSEventLog Log;
    Log.Attach(Connection);
    if (aConfigure) {
        aConfigure(Connection);
    }
    Connection.ReadChunk = aChunk;
    TReadOutcome Outcome;
    try {
        if (aSplit < aInput.size()) {
            // Exact-size pieces: a read past either end is caught by ASan.
            TBytes First(aInput.begin(), aInput.begin() + std::ptrdiff_t(aSplit));
            TBytes Second(aInput.begin() + std::ptrdiff_t(aSplit), aInput.end());
            Connection.Receive(First);
            Connection.ReadData(aRequireMask);
            Connection.Receive(Second);
            Connection.ReadData(aRequireMask);
        } else {
            Connection.Receive(aInput);
            Connection.ReadData(aRequireMask);
        }
    } catch (const TzefWSException& E) {
        Outcome.Error = E.what();
    }
    Outcome.Messages = Log.Messages;
    Outcome.Binaries = Log.Binaries;
    Outcome.Fragments = Log.Fragments;
    Outcome.Output = Connection.Output();
    Outcome.DisconnectPeerCalls = Connection.DisconnectPeerCalls;
    Outcome.CloseCode = Connection.CloseCode();
    Outcome.CloseReason = Connection.CloseReason();
    return Outcome;
}

// Every way of delivering the input must give the same outcome.
void ExpectSameForEveryDelivery(const TBytes& aInput, const TConfigure& aConfigure,
                                const std::function<void(const TReadOutcome&)>& aCheck,
                                bool aRequireMask = true) {
    {
        SCOPED_TRACE("whole");
        aCheck(RunReader(aInput, aConfigure, std::size_t(-1), 0, aRequireMask));
    }
    {
        SCOPED_TRACE("byte by byte");
        aCheck(RunReader(aInput, aConfigure, std::size_t(-1), 1, aRequireMask));
    }
    for (std::size_t Split = 1; Split < aInput.size(); ++Split) {
        SCOPED_TRACE("split at " + std::to_string(Split));
        aCheck(RunReader(aInput, aConfigure, Split, 0, aRequireMask));
    }
}

struct TReadCase {
    const char* Name;
    TBytes Input;
    std::vector<std::string> Messages;
    TBytes Output;           // frames the server wrote in answer
    std::string Error;       // "" for none
    int DisconnectPeerCalls; // 1 when the connection ended
    bool RequireMask = true;
    TConfigure Configure = nullptr;
};

std::string Repeat(char C, std::size_t N) {
    return std::string(N, C);
}

std::vector<TReadCase> ReadCases() {
    std::string P125 = Repeat('p', 125);
    return {
        {"masked text", Masked(0x81, "Hello"), {"Hello"}, {}, "", 0},
        {"unmasked text without mask requirement",
         Frame(0x81, "Hello"),
         {"Hello"},
         {},
         "",
         0,
         false},
        {"empty text", Masked(0x81, ""), {""}, {}, "", 0},
        {"two messages in one read",
         Concat({Masked(0x81, "a"), Masked(0x81, "bc")}),
         {"a", "bc"},
         {},
         "",
         0},
        {"non-minimal 16-bit length", Masked(0x81, "abc", 126), {"abc"}, {}, "", 0},
        {"non-minimal 64-bit length", Masked(0x81, "abc", 127), {"abc"}, {}, "", 0},
        {"unmasked zero-length 16-bit frame is an empty message",
         Frame(0x81, "", nullptr, 126),
         {""},
         {},
         "",
         0,
         false},
        {"three fragments",
         Concat({Masked(0x01, "Hel"), Masked(0x00, "lo "), Masked(0x80, "World")}),
         {"Hello World"},
         {},
         "",
         0},
        {"ping between fragments is answered at once",
         Concat({Masked(0x01, "Hel"), Masked(0x89, "x"), Masked(0x80, "lo")}),
         {"Hello"},
         Frame(0x8A, "x"),
         "",
         0},
        {"ping of 125 bytes", Masked(0x89, P125), {}, Frame(0x8A, P125), "", 0},
        {"empty ping", Masked(0x89, ""), {}, Frame(0x8A, ""), "", 0},
        {"unsolicited pong is ignored", Masked(0x8A, "zz"), {}, {}, "", 0},
        {"ping announcing 126 bytes",
         Masked(0x89, Repeat('p', 126)),
         {},
         CloseFrame(1002),
         std::string(SControlTooLong),
         1},
        {"continuation without a message",
         Masked(0x80, "x"),
         {},
         CloseFrame(1002),
         std::string(SUnfragmentedAfterContinuation),
         1},
        {"text while a message is unfinished",
         Concat({Masked(0x01, "a"), Masked(0x81, "b")}),
         {},
         CloseFrame(1002),
         std::string(STextAfterContinuation),
         1},
        {"binary while a message is unfinished",
         Concat({Masked(0x02, "a"), Masked(0x82, "b")}),
         {},
         CloseFrame(1002),
         std::string(SBinaryAfterContinuation),
         1},
        {"text while unfinished, after a ping",
         Concat({Masked(0x01, "a"), Masked(0x89, ""), Masked(0x81, "b")}),
         {},
         Concat({Frame(0x8A, ""), CloseFrame(1002)}),
         std::string(STextAfterContinuation),
         1},
        {"continuation after a finished fragmented message",
         Concat({Masked(0x01, "a"), Masked(0x80, "b"), Masked(0x80, "c")}),
         {"ab"},
         CloseFrame(1002),
         std::string(SUnfragmentedAfterContinuation),
         1},
        {"opcode 3", Masked(0x83, "x"), {}, CloseFrame(1002), std::string(SInvalidOpCode), 1},
        {"opcode 0xB", Masked(0x8B, "x"), {}, CloseFrame(1002), std::string(SInvalidOpCode), 1},
        {"RSV1 without extension",
         Masked(0xC1, "x"),
         {},
         CloseFrame(1002),
         std::string(SInvalidRSV),
         1},
        {"RSV3 without extension",
         Masked(0x91, "x"),
         {},
         CloseFrame(1002),
         std::string(SInvalidRSV),
         1},
        {"fragmented ping",
         Masked(0x09, "x"),
         {},
         CloseFrame(1002),
         std::string(SControlFragmented),
         1},
        {"unmasked frame when a mask is required",
         Frame(0x81, "x"),
         {},
         CloseFrame(1002),
         std::string(SNotMasked),
         1},
        {"close with one byte",
         Frame(0x88, std::string_view("\x03", 1), Key),
         {},
         CloseFrame(1002),
         std::string(SInvalidCloseLength),
         1},
        {"close without payload", Masked(0x88, ""), {}, CloseFrame(1000), "", 1},
        {"invalid UTF-8 text",
         Masked(0x81, "\xED\xA0\x80"),
         {},
         CloseFrame(1007),
         std::string(SInvalidUTF8),
         1,
         true,
         [](TzefWSTestConnection& C) { C.SetValidateUTF8(true); }},
        {"lone F4 at the end passes, decoded without it",
         Masked(0x81, "ab\xF4"),
         {"ab"},
         {},
         "",
         0,
         true,
         [](TzefWSTestConnection& C) { C.SetValidateUTF8(true); }},
        {"invalid UTF-8 is delivered when validation is off",
         Masked(0x81, "\xC0\x80"),
         {"\xC0\x80"},
         {},
         "",
         0},
        {"frame at the message size limit",
         Masked(0x81, "0123456789"),
         {"0123456789"},
         {},
         "",
         0,
         true,
         [](TzefWSTestConnection& C) { C.SetMaxMessageSize(10); }},
        {"frame beyond the message size limit",
         Masked(0x81, "0123456789X"),
         {},
         CloseFrame(1009),
         std::string(SMessageTooBig),
         1,
         true,
         [](TzefWSTestConnection& C) { C.SetMaxMessageSize(10); }},
        {"fragments beyond the message size limit",
         Concat({Masked(0x01, "012345"), Masked(0x80, "6789X")}),
         {},
         CloseFrame(1009),
         std::string(SMessageTooBig),
         1,
         true,
         [](TzefWSTestConnection& C) { C.SetMaxMessageSize(10); }},
        {"fragments at the message size limit",
         Concat({Masked(0x01, "01234"), Masked(0x80, "56789")}),
         {"0123456789"},
         {},
         "",
         0,
         true,
         [](TzefWSTestConnection& C) { C.SetMaxMessageSize(10); }},
    };
}

} // namespace

TEST(TzefWSConnection_Base_Stream, ReaderCaseTable) {
    for (const TReadCase& Case : ReadCases()) {
        SCOPED_TRACE(Case.Name);
        ExpectSameForEveryDelivery(
            Case.Input, Case.Configure,
            [&](const TReadOutcome& Got) {
                EXPECT_EQ(Got.Messages, Case.Messages);
                EXPECT_EQ(Got.Output, Case.Output);
                EXPECT_EQ(Got.Error, Case.Error);
                EXPECT_EQ(Got.DisconnectPeerCalls, Case.DisconnectPeerCalls);
            },
            Case.RequireMask);
    }
}

TEST(TzefWSConnection_Base_Stream, ReaderErrorsWithoutRaiseStillCloseAndDrop) {
    TzefWSTestConnection Connection;
    Connection.SetRaiseDisconnectExceptions(false);
    Connection.Receive(Masked(0x83, "x"));
    EXPECT_NO_THROW(Connection.ReadData(true));
    EXPECT_EQ(Connection.Output(), CloseFrame(1002));
    EXPECT_EQ(Connection.DisconnectPeerCalls, 1);
    EXPECT_TRUE(Connection.Disconnected());
}

struct TCloseCase {
    int Code;
    bool Valid;
};

TEST(TzefWSConnection_Base_Stream, CloseCodeRanges) {
    const TCloseCase Cases[] = {{0, false},   {999, false},  {1000, true},  {1001, true},
                                {1003, true}, {1004, false}, {1005, false}, {1006, false},
                                {1007, true}, {1011, true},  {1012, false}, {2999, false},
                                {3000, true}, {4999, true},  {5000, false}, {65535, false}};
    for (const TCloseCase& Case : Cases) {
        for (bool WithReason : {false, true}) {
            SCOPED_TRACE(std::to_string(Case.Code) + (WithReason ? " with reason" : ""));
            TBytes Payload = ClosePayload(Case.Code, WithReason ? "bye" : "");
            TReadOutcome Got = RunReader(Frame(0x88, Payload, Key), nullptr, std::size_t(-1), 0);
            EXPECT_EQ(Got.Output, CloseFrame(Case.Valid ? 1000 : 1002));
            EXPECT_EQ(Got.Error, Case.Valid ? "" : std::string(SInvalidCloseCode));
            EXPECT_EQ(Got.DisconnectPeerCalls, 1);
            EXPECT_EQ(Got.CloseCode, Case.Code);
            if (Case.Valid) {
                EXPECT_EQ(Got.CloseReason, WithReason ? "bye" : "");
            }
        }
    }
}

TEST(TzefWSConnection_Base_Stream, CloseReasonMustBeUtf8WhenValidating) {
    auto Configure = [](TzefWSTestConnection& C) { C.SetValidateUTF8(true); };
    TReadOutcome Got =
        RunReader(Frame(0x88, ClosePayload(1000, "\xFF"), Key), Configure, std::size_t(-1), 0);
    EXPECT_EQ(Got.Output, CloseFrame(1007));
    EXPECT_EQ(Got.Error, std::string(SInvalidUTF8));
}

// A peer's close is answered whatever CleanDisconnect says: without the answer every client
// sees an abnormal closure (1006).
TEST(TzefWSConnection_Base_Stream, PeerCloseIsAnsweredWithoutCleanDisconnect) {
    TReadOutcome Got = RunReader(
        Frame(0x88, ClosePayload(1001), Key),
        [](TzefWSTestConnection& C) { C.SetCleanDisconnect(false); }, std::size_t(-1), 0);
    EXPECT_EQ(Got.Output, CloseFrame(1000));
    EXPECT_EQ(Got.DisconnectPeerCalls, 1);
    // A protocol error, in contrast, just drops the connection when CleanDisconnect is off.
    Got = RunReader(
        Masked(0x83, "x"), [](TzefWSTestConnection& C) { C.SetCleanDisconnect(false); },
        std::size_t(-1), 0);
    EXPECT_TRUE(Got.Output.empty());
    EXPECT_EQ(Got.DisconnectPeerCalls, 1);
}

// 64-bit lengths are read whole: a frame announcing 2^32 + 5 bytes is refused as too big, not
// misread as a 5-byte frame.
TEST(TzefWSConnection_Base_Stream, LengthIsNotCutTo32Bits) {
    TBytes Input{0x82, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05};
    Input.insert(Input.end(), Key, Key + 4);
    Input.insert(Input.end(), {'a', 'b', 'c', 'd', 'e'});
    ExpectSameForEveryDelivery(Input, nullptr, [](const TReadOutcome& Got) {
        EXPECT_TRUE(Got.Binaries.empty());
        EXPECT_EQ(Got.Output, CloseFrame(1009));
        EXPECT_EQ(Got.Error, std::string(SMessageTooBig));
    });
    // The top bit, which RFC 6455 forbids, is as far beyond any limit.
    Input[2] = 0x80;
    TReadOutcome Got = RunReader(Input, nullptr, std::size_t(-1), 0);
    EXPECT_EQ(Got.Output, CloseFrame(1009));
}

TEST(TzefWSConnection_Base_Stream, LargeBinaryMessageInSmallReads) {
    TBytes Payload(70000);
    for (std::size_t I = 0; I < Payload.size(); ++I) {
        Payload[I] = std::uint8_t(I * 7 + I / 256);
    }
    TBytes Input = Frame(0x82, Payload, Key);
    for (std::size_t Chunk :
         {std::size_t(0), std::size_t(1), std::size_t(1000), std::size_t(16385)}) {
        SCOPED_TRACE(Chunk);
        TReadOutcome Got = RunReader(Input, nullptr, std::size_t(-1), Chunk);
        ASSERT_EQ(Got.Binaries.size(), 1u);
        EXPECT_EQ(Got.Binaries[0], Payload);
    }
}

TEST(TzefWSConnection_Base_Stream, AllByteValuesRoundTripThroughWriterAndReader) {
    TBytes Payload(256 * 3);
    for (std::size_t I = 0; I < Payload.size(); ++I) {
        Payload[I] = std::uint8_t(I);
    }
    for (bool ClientRole : {false, true}) {
        SCOPED_TRACE(ClientRole ? "client writes masked" : "server writes unmasked");
        TzefWSTestConnection Writer;
        Writer.SetMasked(ClientRole);
        rtl::TMemoryStream Stream;
        Stream.WriteAll(Payload.data(), std::int64_t(Payload.size()));
        Writer.WriteData(Stream);
        ASSERT_EQ(Writer.Written.size(), 1u);
        ExpectSameForEveryDelivery(
            Writer.Written[0], nullptr,
            [&](const TReadOutcome& Got) {
                ASSERT_EQ(Got.Binaries.size(), 1u);
                EXPECT_EQ(Got.Binaries[0], Payload);
            },
            ClientRole);
    }
}

struct TFragmentModeCase {
    TwsFragmentedMessages Mode;
    std::vector<bool> Continuations; // of the OnFragmented events
    std::vector<std::string> FragmentTexts;
    std::vector<std::string> Messages;
};

TEST(TzefWSConnection_Base_Stream, FragmentedMessagesModes) {
    TBytes Input = Concat({Masked(0x01, "Hel"), Masked(0x89, "p"), Masked(0x00, "lo "),
                           Masked(0x80, "World"), Masked(0x81, "x")});
    const TFragmentModeCase Cases[] = {
        {TwsFragmentedMessages::frgOnlyBuffer, {}, {}, {"Hello World", "x"}},
        {TwsFragmentedMessages::frgOnlyFragmented,
         {true, true, false, false},
         {"Hel", "lo ", "World", "x"},
         {}},
        {TwsFragmentedMessages::frgAll,
         {true, true, false, false},
         {"Hel", "Hello ", "Hello World", "x"},
         {"Hello World", "x"}},
    };
    for (const TFragmentModeCase& Case : Cases) {
        SCOPED_TRACE(int(Case.Mode));
        ExpectSameForEveryDelivery(
            Input, [&](TzefWSTestConnection& C) { C.SetFragmentedMessages(Case.Mode); },
            [&](const TReadOutcome& Got) {
                EXPECT_EQ(Got.Messages, Case.Messages);
                EXPECT_EQ(Got.Output, Frame(0x8A, "p"));
                ASSERT_EQ(Got.Fragments.size(), Case.Continuations.size());
                for (std::size_t I = 0; I < Got.Fragments.size(); ++I) {
                    EXPECT_EQ(Got.Fragments[I].Continuation, Case.Continuations[I]);
                    EXPECT_EQ(Got.Fragments[I].OpCode, TOpcode::opText);
                    EXPECT_EQ(
                        std::string(Got.Fragments[I].Data.begin(), Got.Fragments[I].Data.end()),
                        Case.FragmentTexts[I]);
                }
            });
    }
}

TEST(TzefWSConnection_Base_Stream, MessageObjectIsResetAfterDelivery) {
    TzefWSTestConnection Connection;
    Connection.Receive(Masked(0x81, "Hello"));
    Connection.ReadData(true);
    EXPECT_EQ(Connection.WSMessage().State(), 0);
    EXPECT_EQ(Connection.WSMessage().OpCode(), TOpcode::opNone);
}

TEST(TzefWSConnection_Base_Stream, ThrowingHandlerLeavesTheReaderReady) {
    TzefWSTestConnection Connection;
    int Calls = 0;
    Connection.OnMessage = [&](TzefWSConnection&, const std::string&) {
        if (++Calls == 1) {
            throw std::runtime_error("handler");
        }
    };
    Connection.Receive(Masked(0x81, "a"));
    EXPECT_THROW(Connection.ReadData(true), std::runtime_error);
    Connection.Receive(Masked(0x81, "b"));
    Connection.ReadData(true);
    EXPECT_EQ(Calls, 2);
}

// --- Writers ---

struct TWriteCase {
    const char* Name;
    std::function<void(TzefWSTestConnection&)> Write;
    std::vector<TBytes> Frames;
};

TEST(TzefWSConnection_Base_Stream, WriterCaseTable) {
    std::string Text70000(70000, 'z');
    TBytes Long{0x82, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x11, 0x70};
    Long.insert(Long.end(), Text70000.begin(), Text70000.end());
    std::string T126(126, 'a'), T65535(65535, 'b'), T65536(65536, 'c');
    auto Header = [](std::initializer_list<std::uint8_t> H, const std::string& Body) {
        TBytes F(H);
        F.insert(F.end(), Body.begin(), Body.end());
        return F;
    };
    const TWriteCase Cases[] = {
        {"text", [](auto& C) { C.WriteData(std::string("Hello")); }, {Frame(0x81, "Hello")}},
        {"empty text", [](auto& C) { C.WriteData(std::string()); }, {{0x81, 0x00}}},
        {"126 bytes use the 16-bit form",
         [&](auto& C) { C.WriteData(T126); },
         {Header({0x81, 0x7E, 0x00, 0x7E}, T126)}},
        {"65535 bytes",
         [&](auto& C) { C.WriteData(T65535); },
         {Header({0x81, 0x7E, 0xFF, 0xFF}, T65535)}},
        {"65536 bytes use the 64-bit form",
         [&](auto& C) { C.WriteData(T65536); },
         {Header({0x81, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}, T65536)}},
        {"70000-byte binary",
         [&](auto& C) {
             rtl::TMemoryStream S(Text70000);
             C.WriteData(S);
         },
         {Long}},
        {"10 characters in pieces of 4",
         [](auto& C) { C.WriteData(std::string("0123456789"), 4); },
         {Frame(0x01, "0123"), Frame(0x00, "4567"), Frame(0x80, "89")}},
        {"size not exceeded",
         [](auto& C) { C.WriteData(std::string("0123"), 4); },
         {Frame(0x81, "0123")}},
        {"streaming first, continue, last",
         [](auto& C) {
             C.WriteData(std::string("a"), 0, TwsStreaming::stmFirst);
             C.WriteData(std::string("b"), 0, TwsStreaming::stmContinue);
             C.WriteData(std::string("c"), 0, TwsStreaming::stmLast);
         },
         {Frame(0x01, "a"), Frame(0x00, "b"), Frame(0x80, "c")}},
        {"streaming continue-and-last cut into pieces",
         [](auto& C) { C.WriteData(std::string("abcde"), 2, TwsStreaming::stmContinueAndLast); },
         {Frame(0x00, "ab"), Frame(0x00, "cd"), Frame(0x80, "e")}},
        {"binary streaming",
         [](auto& C) {
             rtl::TMemoryStream A("a"), B("b");
             C.WriteData(A, 0, TwsStreaming::stmFirst);
             C.WriteData(B, 0, TwsStreaming::stmContinueAndLast);
         },
         {Frame(0x02, "a"), Frame(0x80, "b")}},
        {"close", [](auto& C) { C.Close(); }, {CloseFrame(1000)}},
        {"close with a code", [](auto& C) { C.Close(1001); }, {CloseFrame(1001)}},
        {"ping", [](auto& C) { C.Ping(std::string("hi")); }, {Frame(0x89, "hi")}},
        {"nothing before the handshake",
         [](auto& C) {
             C.SetEnabled(false);
             C.WriteData(std::string("x"));
             rtl::TMemoryStream S("y");
             C.WriteData(S);
         },
         {}},
        {"hixie-76 text",
         [](auto& C) {
             C.SetSpecification(TwsSpecification::spHixie76);
             C.WriteData(std::string("hi"));
         },
         {{0x00, 'h', 'i', 0xFF}}},
        {"raw TCP text and stream",
         [](auto& C) {
             C.SetTransport(TwsTransport::trpTCP);
             C.WriteData(std::string("ab"));
             rtl::TMemoryStream S("cd");
             C.WriteData(S);
         },
         {Bytes("ab"), Bytes("cd")}},
    };
    for (const TWriteCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestConnection Connection;
        Case.Write(Connection);
        EXPECT_EQ(Connection.Written, Case.Frames);
        EXPECT_EQ(Connection.WriteBeginCalls, Connection.WriteEndCalls);
        EXPECT_EQ(Connection.DisconnectPeerCalls, 0);
    }
}

TEST(TzefWSConnection_Base_Stream, ServerSentEventsBlock) {
    const std::string HeaderBlock = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                    "Cache-Control: no-cache, no-store, max-age=0, "
                                    "must-revalidate\r\nExpires: Fri, 01 Jan 1990 00:00:00 "
                                    "GMT\r\nPragma: no-cache\r\nConnection: close\r\n\r\n";
    const std::pair<const char*, const char*> Cases[] = {
        {"hello", "data: hello\r\n\r\n"}, {"data: x", "data: x\r\n\r\n"},
        {"RETRY: 5", "RETRY: 5\r\n\r\n"}, {"event: e", "event: e\r\n\r\n"},
        {"id:7", "id:7\r\n\r\n"},         {"identity", "data: identity\r\n\r\n"},
    };
    for (const auto& [Text, Line] : Cases) {
        SCOPED_TRACE(Text);
        TzefWSTestConnection Connection;
        Connection.SetTransport(TwsTransport::trpSSE);
        Connection.WriteData(std::string(Text));
        Connection.WriteData(std::string(Text));
        // The head goes once; each event ends with its empty line.
        ASSERT_EQ(Connection.Written.size(), 2u);
        EXPECT_EQ(Connection.Written[0], Bytes(HeaderBlock + Line));
        EXPECT_EQ(Connection.Written[1], Bytes(Line));
    }
    TzefWSTestConnection Connection;
    Connection.SetTransport(TwsTransport::trpSSE);
    Connection.Ping("7");
    EXPECT_EQ(Connection.Written[0], Bytes(HeaderBlock + "event: Ping\ndata: 7\r\n\r\n"));
}

TEST(TzefWSConnection_Base_Stream, MaskedWritesUnmaskToTheText) {
    TzefWSTestConnection Connection;
    Connection.SetMasked(true);
    Connection.WriteData(std::string("Hello"));
    const TBytes& F = Connection.Written.at(0);
    ASSERT_EQ(F.size(), 2u + 4u + 5u);
    EXPECT_EQ(F[0], 0x81);
    EXPECT_EQ(F[1], 0x85);
    std::string Text;
    for (std::size_t I = 0; I < 5; ++I) {
        Text += char(F[6 + I] ^ F[2 + I % 4]);
    }
    EXPECT_EQ(Text, "Hello");
}

TEST(TzefWSConnection_Base_Stream, FailedWriteRaisesAndReleasesTheLock) {
    for (bool Silent : {false, true}) {
        TzefWSTestConnection Connection;
        Connection.FailWriteAt = 0;
        Connection.FailSilently = Silent;
        try {
            Connection.WriteData(std::string("x"));
            ADD_FAILURE() << "no exception";
        } catch (const TzefWSException& E) {
            EXPECT_EQ(std::string(E.what()), "Error writing message peer gone.");
            EXPECT_EQ(E.ClassName(), Silent ? "EzefSilentException" : "TzefWSException");
        }
        EXPECT_EQ(Connection.WriteEndCalls, 1);
        // The write lock is free again: another thread can write.
        std::thread Other([&] { Connection.WriteData(std::string("y")); });
        Other.join();
        EXPECT_EQ(Connection.Written, std::vector<TBytes>{Frame(0x81, "y")});
    }
}

TEST(TzefWSConnection_Base_Stream, DisconnectRunsOnce) {
    TzefWSTestConnection Connection;
    Connection.Disconnect();
    Connection.Disconnect(1002);
    Connection.DoDisconnect("", 1000);
    EXPECT_EQ(Connection.Written, std::vector<TBytes>{CloseFrame(1000)});
    EXPECT_EQ(Connection.DisconnectPeerCalls, 1);
}

TEST(TzefWSConnection_Base_Stream, CloseDoesNotDropTheTransportAndIsSentOnce) {
    TzefWSTestConnection Connection;
    Connection.Close();
    EXPECT_EQ(Connection.DisconnectPeerCalls, 0);
    EXPECT_TRUE(Connection.Disconnected());
    // When the transport then reports the end, no second close frame goes out.
    Connection.DoDisconnect("", 1000);
    EXPECT_EQ(Connection.Written, std::vector<TBytes>{CloseFrame(1000)});
    EXPECT_EQ(Connection.DisconnectPeerCalls, 1);
}

TEST(TzefWSConnection_Base_Stream, NothingIsSentAfterTheCloseFrame) {
    TzefWSTestConnection Connection;
    Connection.Close();
    Connection.WriteData(std::string("late"));
    Connection.Ping("late");
    rtl::TMemoryStream Data("late");
    Connection.WriteData(Data);
    EXPECT_EQ(Connection.Written, std::vector<TBytes>{CloseFrame(1000)});
}

TEST(TzefWSConnection_Base_Stream, DisconnectOfAGoneTransportDoesNothing) {
    TzefWSTestConnection Connection;
    Connection.PeerConnected = false;
    Connection.DoDisconnect("boom", 1002);
    EXPECT_TRUE(Connection.Written.empty());
    EXPECT_EQ(Connection.DisconnectPeerCalls, 0);
}

TEST(TzefWSConnection_Base_Stream, SilentFailureOfTheCloseFrameFollowsRaiseDisconnectExceptions) {
    for (bool Raise : {false, true}) {
        TzefWSTestConnection Connection;
        Connection.SetRaiseDisconnectExceptions(Raise);
        Connection.FailWriteAt = 0;
        Connection.FailSilently = true;
        if (Raise) {
            EXPECT_THROW(Connection.Disconnect(), EzefSilentException);
        } else {
            EXPECT_NO_THROW(Connection.Disconnect());
        }
        EXPECT_EQ(Connection.DisconnectPeerCalls, 1);
    }
}

TEST(TzefWSConnection_Base_Stream, AbortConnectionDropsWithoutCloseFrame) {
    TzefWSTestConnection Connection;
    Connection.AbortConnection();
    Connection.AbortConnection();
    EXPECT_TRUE(Connection.Written.empty());
    EXPECT_EQ(Connection.DisconnectPeerCalls, 1);
    EXPECT_TRUE(Connection.Disconnected());
}

TEST(TzefWSConnection_Base_Stream, PongMatching) {
    TzefWSTestConnection Connection;
    Connection.Ping("one");
    Connection.Ping("two");
    EXPECT_GT(Connection.FirstPing(), 0.0);
    EXPECT_EQ(Connection.QueuePingList().Count(), 2u);
    // A pong for the second ping frees the oldest remembered ping.
    Connection.Receive(Masked(0x8A, "two"));
    Connection.ReadData(true);
    EXPECT_EQ(Connection.Pong(), "two");
    EXPECT_EQ(Connection.QueuePingList().Count(), 1u);
    EXPECT_GT(Connection.LastPong(), 0.0);
    // The last matched payload answers a later Ping with the same text at once.
    EXPECT_TRUE(Connection.Ping("two", 50));
    EXPECT_FALSE(Connection.Ping("two", 0));
    // A pong that matches nothing ends the connection with 1000.
    Connection.Receive(Masked(0x8A, "other"));
    try {
        Connection.ReadData(true);
        ADD_FAILURE() << "no exception";
    } catch (const TzefWSException& E) {
        EXPECT_EQ(std::string(E.what()), std::string(SPongMismatch));
    }
    EXPECT_EQ(Connection.Written.back(), CloseFrame(1000));
}

TEST(TzefWSConnection_Base_Stream, PongMustBeUtf8WhenValidating) {
    TzefWSTestConnection Connection;
    Connection.SetValidateUTF8(true);
    Connection.Ping("x");
    Connection.Receive(Masked(0x8A, "\xC3"));
    try {
        Connection.ReadData(true);
        ADD_FAILURE() << "no exception";
    } catch (const TzefWSException& E) {
        EXPECT_EQ(std::string(E.what()), std::string(SInvalidUTF8));
    }
    EXPECT_EQ(Connection.Written.back(), CloseFrame(1007));
}

TEST(TzefWSConnection_Base_Stream, PingWaitsForItsPong) {
    TzefWSTestConnection Connection;
    std::promise<void> PingSent;
    Connection.OnWrite = [&] { PingSent.set_value(); };
    auto Result = std::async(std::launch::async, [&] { return Connection.Ping("p", 10000); });
    ASSERT_EQ(PingSent.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    Connection.OnWrite = nullptr;
    Connection.Receive(Masked(0x8A, "p"));
    Connection.ReadData(true);
    ASSERT_EQ(Result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(Result.get());
}

TEST(TzefWSConnection_Base_Stream, RememberedPingsAreBounded) {
    TzefWSTestConnection Connection;
    for (std::size_t I = 0; I < TzefThreadListQueuePings::MaxPings + 5; ++I) {
        Connection.Ping(std::to_string(I));
    }
    EXPECT_EQ(Connection.QueuePingList().Count(), TzefThreadListQueuePings::MaxPings);
}

TEST(TzefWSConnection_Base_Stream, Hixie76Reader) {
    TBytes Input{0x00, 'h', 'i', 0xFF, 0x13, 0x00, 0xFF, 0xFF, 0x00};
    auto Configure = [](TzefWSTestConnection& C) {
        C.SetSpecification(TwsSpecification::spHixie76);
        C.SetTransport(TwsTransport::trpHixie76);
    };
    ExpectSameForEveryDelivery(Input, Configure, [](const TReadOutcome& Got) {
        EXPECT_EQ(Got.Messages, (std::vector<std::string>{"hi", ""}));
        EXPECT_EQ(Got.Output, (TBytes{0xFF, 0x00}));
    });
}

struct TTCPCase {
    const char* Name;
    TtcpEOFScanBuffer Scan;
    std::vector<std::string> Chunks;
    std::vector<std::string> Messages;
};

TEST(TzefWSConnection_Base_Stream, RawTCPReader) {
    const TTCPCase Cases[] = {
        {"every chunk", TtcpEOFScanBuffer::eofScanNone, {"ab", "c\n"}, {"ab", "c\n"}},
        {"latest bytes",
         TtcpEOFScanBuffer::eofScanLatestBytes,
         {"ab", "c\n", "d\ne\n"},
         {"abc\n", "d\ne\n"}},
        {"all bytes",
         TtcpEOFScanBuffer::eofScanAllBytes,
         {"ab", "c\nd", "\ne\nf"},
         {"abc\n", "d\n", "e\n"}},
    };
    for (const TTCPCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzefWSTestConnection Connection;
        TzefWSEventLog Log;
        Log.Attach(Connection);
        Connection.SetTransport(TwsTransport::trpTCP);
        Connection.SetTCPEndOfFrameScanBuffer(Case.Scan);
        Connection.AddTCPEndOfFrame('\n');
        for (const std::string& Chunk : Case.Chunks) {
            Connection.Receive(Chunk);
            Connection.ReadData(false);
        }
        std::vector<std::string> Got;
        for (const TBytes& B : Log.Binaries) {
            Got.emplace_back(B.begin(), B.end());
        }
        EXPECT_EQ(Got, Case.Messages);
    }
}

TEST(IsValidUTF8Bytes, CaseTable) {
    const std::pair<std::string_view, bool> Cases[] = {
        {"", true},
        {"plain", true},
        {"\xC2\x80", true},
        {"\xC1\xBF", false},
        {"\xE0\xA0\x80", true},
        {"\xE0\x9F\xBF", false},
        {"\xED\x9F\xBF", true},
        {"\xED\xA0\x80", false},
        {"\xEF\xBF\xBF", true},
        {"\xF0\x90\x80\x80", true},
        {"\xF0\x8F\xBF\xBF", false},
        {"\xF4\x8F\xBF\xBF", true},
        {"\xF4\x90\x80\x80", false},
        {"\xF5\x80\x80\x80", false},
        {"\xF4", true},
        {"a\xF4", true},
        {"\xF3", false},
        {"\xE2\x82", false},
        {"\x80", false},
        {"\xFF", false},
        // ASCII runs of a machine word and more, around the multi-byte forms.
        {"abcdefgh\x80", false},
        {"abcdefgh\xF4", true},
        {"abcdefg\xE2\x82", false},
        {"abcdefghijklmnop\xC2\x80qrstuvwxyz", true},
        {"\xC2\x80"
         "01234567"
         "\xED\xA0\x80",
         false},
    };
    for (const auto& [Text, Valid] : Cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(Text)));
        TBytes Copy(Text.begin(), Text.end());
        EXPECT_EQ(IsValidUTF8Bytes(Copy), Valid);
    }
}

TEST(IsValidUTF8Bytes, OneBadByteAtEveryPositionOfAnAsciiRun) {
    for (std::size_t Length = 1; Length <= 40; ++Length) {
        for (std::size_t At = 0; At < Length; ++At) {
            TBytes Text(Length, 'a');
            ASSERT_TRUE(IsValidUTF8Bytes(Text));
            Text[At] = 0xBF;
            ASSERT_FALSE(IsValidUTF8Bytes(Text)) << "length " << Length << " at " << At;
        }
    }
}

TEST(MaskBytes, MatchesByteWiseMaskingAtEveryOffsetAndLength) {
    for (std::size_t Offset = 0; Offset < 4; ++Offset) {
        for (std::size_t Length = 0; Length < 200; ++Length) {
            TBytes Data(Length), Expected(Length);
            for (std::size_t I = 0; I < Length; ++I) {
                Data[I] = std::uint8_t(I * 31 + 7);
                Expected[I] = std::uint8_t(Data[I] ^ Key[(Offset + I) % 4]);
            }
            MaskBytes(Data.data(), Length, Key, Offset);
            ASSERT_EQ(Data, Expected) << "offset " << Offset << " length " << Length;
        }
    }
}
