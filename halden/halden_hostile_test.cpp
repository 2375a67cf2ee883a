// halden against hostile clients: the real program on port 2001, fed slow, oversized, vanishing
// and flooding connections. Each case checks the answer the client gets and that the server
// goes on serving others; at the end halden still answers and exits 0.
#include "halden/HelloWorldModule.h"
#include "testing/HttpTestClient.h"
#include "testing/ProcessLimits.h"
#include "testing/TestProgram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pylon {
namespace {

using namespace std::chrono_literals;
using testsupport::THttpReply;
using testsupport::THttpTestClient;
using testsupport::TTestProgram;

constexpr std::uint16_t HaldenPort = 2001;
constexpr std::string_view Hello = "GET /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n\r\n";
// The listener's limit on a request head (request line, header lines and their line ends).
constexpr std::size_t MaxRequestBytes = 16384;

/// The descriptor limit, raised to the hard limit before anything starts (the program under
/// test inherits it): the floods need thousands of sockets on both sides.
const rlim_t DescriptorLimit = testsupport::RaiseDescriptorLimit();

/// halden with its standard input on a pipe (its output is read only for the two start-up
/// lines), started by Start. Every wait is bounded; a program still running at the end is killed.
class THalden {
public:
    /// Starts the program; whether both start-up lines arrived in time.
    bool Start() {
        FProgram.emplace(HALDEN_PROGRAM, std::vector<std::string>{},
                         testsupport::TTestProgramStreams{.InputPipe = true});
        return FProgram->ReadLine().has_value() && FProgram->ReadLine().has_value();
    }
    bool Running() { return FProgram && FProgram->Running(); }
    /// Sends Enter; the exit status, or -1 when the program has not ended in time.
    int Stop() {
        if (!FProgram) {
            return -1;
        }
        FProgram->WriteInput("\n");
        return FProgram->WaitExit().value_or(-1);
    }

private:
    std::optional<TTestProgram> FProgram; // Empty until Start.
};

void ExpectHello(const THttpReply& Reply) {
    EXPECT_EQ(Reply.Status, 200);
    EXPECT_EQ(Reply.Body, HelloBody);
}

/// A fresh client is greeted.
void ExpectServed() {
    THttpTestClient Client(HaldenPort);
    ASSERT_TRUE(Client.Connected());
    EXPECT_TRUE(Client.Send(Hello));
    ExpectHello(Client.ReadReply());
}

/// A GET whose head is exactly Size bytes long, padded in one header of its own.
std::string HeadOfSize(std::size_t Size) {
    const std::string Start = "GET /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ";
    const std::string End = "\r\n\r\n";
    return Start + std::string(Size - Start.size() - End.size(), 'p') + End;
}

class HaldenHostile : public ::testing::Test {
protected:
    void SetUp() override {
        // Checked before the start: once halden runs, it holds the port itself.
        ASSERT_FALSE(testsupport::PortAcceptsConnections(HaldenPort)) << "port 2001 is taken";
        ASSERT_TRUE(FHalden.Start());
    }
    void TearDown() override {
        if (!HasFatalFailure()) {
            ExpectServed();
            EXPECT_EQ(FHalden.Stop(), 0);
        }
    }
    THalden FHalden;
};

TEST_F(HaldenHostile, SlowHeadersWaitWhileOthersAreServed) {
    // The header-wait time-out (120 s) is far longer than a test; what matters here is that
    // clients dribbling their heads hold nobody else up, and are served once they finish.
    const std::string_view Start = "GET /vek/orb";
    const std::string Rest = "is/hello HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::vector<THttpTestClient> Slow;
    for (int I = 0; I < 50; ++I) {
        Slow.emplace_back(HaldenPort);
    }
    for (THttpTestClient& Client : Slow) {
        ASSERT_TRUE(Client.Connected());
        ASSERT_TRUE(Client.Send(Start));
    }
    ExpectServed();
    for (std::size_t I = 0; I < Slow.size(); ++I) {
        EXPECT_FALSE(Slow[I].Readable(0)) << I; // no answer to half a request line
    }
    // One of them finishes a byte at a time, interleaved with whole requests from others.
    for (std::size_t I = 0; I < Rest.size(); ++I) {
        ASSERT_TRUE(Slow[0].Send(Rest.substr(I, 1)));
        if (I % 8 == 0) {
            ExpectServed();
        }
    }
    for (std::size_t I = 1; I < Slow.size(); ++I) {
        ASSERT_TRUE(Slow[I].Send(Rest));
    }
    for (std::size_t I = 0; I < Slow.size(); ++I) {
        SCOPED_TRACE(I);
        const std::string Answer = Slow[I].ReadToEnd().value_or("");
        EXPECT_TRUE(Answer.starts_with("HTTP/1.1 200 ")) << Answer;
        EXPECT_TRUE(Answer.ends_with(HelloBody)) << Answer;
        EXPECT_TRUE(Slow[I].EndedCleanly());
    }
}

struct TOversizedCase {
    const char* Name;
    std::string Request;
    int Status;
    std::string_view Heading; // In the listener's HTML body.
};

TEST_F(HaldenHostile, OversizedHeadsAreRefusedAtTheLimit) {
    const std::string LongField = "X-Long: " + std::string(MaxRequestBytes, 'f');
    std::string ManyFields;
    while (ManyFields.size() <= MaxRequestBytes) {
        ManyFields += "X-Field-" + std::to_string(ManyFields.size()) + ": value\r\n";
    }
    const TOversizedCase Cases[] = {
        {"head at the limit", HeadOfSize(MaxRequestBytes + 1), 200, "Hello"},
        {"head one byte over", HeadOfSize(MaxRequestBytes + 2), 400,
         "Bad Request - Request Too Long"},
        {"many small fields", "GET /vek/orbis/hello HTTP/1.1\r\n" + ManyFields + "\r\n", 400,
         "Bad Request - Request Too Long"},
        {"one field too long", "GET /vek/orbis/hello HTTP/1.1\r\n" + LongField + "\r\n\r\n", 400,
         "Bad Request - Header Field Too Long"},
        {"url too long",
         "GET /vek/orbis/hello/" + std::string(MaxRequestBytes, 'u') + " HTTP/1.1\r\n\r\n", 414,
         "Request URL Too Long"},
    };
    for (const TOversizedCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        THttpTestClient Client(HaldenPort);
        ASSERT_TRUE(Client.Connected());
        EXPECT_TRUE(Client.Send(Case.Request));
        const THttpReply Reply = Client.ReadReply();
        EXPECT_EQ(Reply.Status, Case.Status);
        EXPECT_NE(Reply.Body.find(Case.Heading), std::string::npos) << Reply.Body;
        if (Case.Status != 200) {
            EXPECT_TRUE(Client.WaitClosed()); // a refused head ends its connection
        }
        ExpectServed();
    }
}

TEST_F(HaldenHostile, FloodOfConnectionsDoesNotStopService) {
    // 2,000 at once where the descriptor limit allows (each takes one here and one in halden).
    const int Flood = int(std::min<rlim_t>(2000, DescriptorLimit - 100));
    std::vector<THttpTestClient> Idle;
    Idle.reserve(Flood);
    for (int I = 0; I < Flood; ++I) {
        Idle.emplace_back(HaldenPort);
        ASSERT_TRUE(Idle.back().Connected()) << I;
    }
    // Every other flooding connection has started a request; the rest said nothing.
    for (int I = 0; I < Flood; I += 2) {
        ASSERT_TRUE(Idle[std::size_t(I)].Send("GET /vek/orbis/hello HTTP/1.1\r\n"));
    }
    ExpectServed();
    // Half vanish at once with a reset, the others with an orderly close.
    for (int I = 0; I < Flood; ++I) {
        if (I % 2 == 0) {
            Idle[std::size_t(I)].Reset();
        }
    }
    Idle.clear();
    ExpectServed();
    EXPECT_TRUE(FHalden.Running());
}

TEST_F(HaldenHostile, ClientsVanishingMidRequestAndMidResponse) {
    // Mid-head, mid-body and mid-chunk: the server sees a reset where more bytes were due.
    const std::string Partial[] = {
        "GET /vek/orbis/hello HTTP/1.1\r\nHost: 127.",
        "POST /vek/orbis/hello HTTP/1.1\r\nContent-Length: 1000\r\n\r\nonly a little",
        "POST /vek/orbis/hello HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n100\r\nabc",
    };
    for (const std::string& Request : Partial) {
        SCOPED_TRACE(Request.substr(0, 20));
        THttpTestClient Client(HaldenPort);
        ASSERT_TRUE(Client.Connected());
        ASSERT_TRUE(Client.Send(Request));
        Client.Reset();
        ExpectServed();
    }
    // Mid-response: thousands of pipelined requests whose answers are never read, then a
    // reset while the server is still writing them.
    std::string Pipeline;
    for (int I = 0; I < 5000; ++I) {
        Pipeline += Hello;
    }
    for (int Round = 0; Round < 5; ++Round) {
        THttpTestClient Client(HaldenPort);
        ASSERT_TRUE(Client.Connected());
        Client.Send(Pipeline); // may stop early when the server's answers fill both buffers
        Client.Reset();
        ExpectServed();
    }
    EXPECT_TRUE(FHalden.Running());
}

TEST_F(HaldenHostile, BodyOverTheFrameworkLimitIsDrainedAndTheConnectionGoesOn) {
    // The hello module never reads the body; 40 MiB is past the framework's 32 MiB limit for
    // bodies it loads, so nothing may try to hold it. The answer comes after the head, the
    // listener discards the body, and the connection serves the next request.
    constexpr std::size_t BodySize = 40u << 20;
    THttpTestClient Client(HaldenPort);
    ASSERT_TRUE(Client.Connected());
    EXPECT_TRUE(
        Client.Send("POST /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                    std::to_string(BodySize) + "\r\n\r\n"));
    ExpectHello(Client.ReadReply());
    const std::string Block(1 << 20, 'b');
    for (std::size_t Sent = 0; Sent < BodySize; Sent += Block.size()) {
        ASSERT_TRUE(Client.Send(Block));
    }
    EXPECT_TRUE(Client.Send(Hello));
    ExpectHello(Client.ReadReply());
}

TEST_F(HaldenHostile, MalformedChunkedBodyEndsOnlyItsConnection) {
    const std::string Bodies[] = {
        "zz\r\n",                          // not a hexadecimal size
        "ffffffffffffffffffff\r\nabc\r\n", // a size past 64 bits
        "3\r\nabcXY",                      // chunk data not followed by CR LF
    };
    for (const std::string& Body : Bodies) {
        SCOPED_TRACE(Body);
        THttpTestClient Client(HaldenPort);
        ASSERT_TRUE(Client.Connected());
        ASSERT_TRUE(Client.Send(
            "POST /vek/orbis/hello HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + Body));
        ASSERT_TRUE(Client.Send(Hello));
        const std::string Answer = Client.ReadToEnd().value_or("");
        EXPECT_TRUE(Client.EndedCleanly()) << Answer;
        // Never a second greeting on a connection whose framing is lost.
        const std::size_t First = Answer.find(HelloBody);
        EXPECT_EQ(Answer.find(HelloBody, First == std::string::npos ? 0 : First + 1),
                  std::string::npos)
            << Answer;
        ExpectServed();
    }
}

} // namespace
} // namespace pylon
