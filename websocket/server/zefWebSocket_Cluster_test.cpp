// zefWebSocket_Cluster: the messages between nodes, the link of a node to a real redis-server,
// and three server components (over the in-memory transport) as one cluster.
#include "websocket/server/zefWebSocket_Cluster.h"

#include "testing/RedisTestServer.h"
#include "testing/zefWebSocket_TestServer.h"
#include "websocket/core/zefBase_Helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

namespace zef {
namespace {

using testing::TRedisTestReply;
using testing::TRedisTestServer;
using testing::TzefWSTestServer;
using testing::TzefWSTestServerConnection;

constexpr std::chrono::seconds Bound{30};
const std::string Origin = "0123456789ABCDEF0123456789ABCDEF";

std::string AllBytes() {
    std::string Bytes;
    for (int I = 0; I < 256; ++I) {
        Bytes.push_back(char(I));
    }
    return Bytes;
}

// --- Messages ---

TEST(TzefWSClusterMessage, RoundTripTable) {
    struct TCase {
        const char* Name;
        TzefWSClusterMessage Message;
    };
    auto Make = [](TzefWSClusterKind aKind) {
        TzefWSClusterMessage Message;
        Message.Kind = aKind;
        Message.Origin = Origin;
        return Message;
    };
    std::vector<TCase> Cases;
    Cases.push_back({"empty text broadcast", Make(TzefWSClusterKind::ckBroadcastText)});
    {
        TzefWSClusterMessage M = Make(TzefWSClusterKind::ckBroadcastText);
        M.Channel = "news,sport";
        M.Protocol = "chat";
        M.Exclude = "A,B";
        M.Include = "C";
        M.Payload = "hello";
        Cases.push_back({"text broadcast with every field", M});
    }
    {
        TzefWSClusterMessage M = Make(TzefWSClusterKind::ckBroadcastBinary);
        M.Payload = AllBytes();
        M.Size = 7;
        M.Streaming = TwsStreaming::stmContinueAndLast;
        Cases.push_back({"binary broadcast of all 256 byte values", M});
    }
    {
        TzefWSClusterMessage M = Make(TzefWSClusterKind::ckWriteText);
        M.Guid = "0123456789ABCDEF0123456789ABCDEF";
        M.Payload = std::string(70000, 'x');
        Cases.push_back({"write of a long text", M});
    }
    {
        TzefWSClusterMessage M = Make(TzefWSClusterKind::ckWriteBinary);
        M.Guid = "G";
        M.Payload = AllBytes();
        M.Size = 0x7FFFFFFF;
        M.Streaming = TwsStreaming::stmFirst;
        Cases.push_back({"write of binary with the largest size", M});
    }
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::string Wire = EncodeClusterMessage(Case.Message);
        // Exact-size copy: a read past the end is caught by ASan.
        auto Copy = std::make_unique_for_overwrite<char[]>(Wire.size());
        std::copy(Wire.begin(), Wire.end(), Copy.get());
        std::string Error;
        auto Decoded = DecodeClusterMessage({Copy.get(), Wire.size()}, Error);
        ASSERT_TRUE(Decoded.has_value()) << Error;
        EXPECT_EQ(*Decoded, Case.Message);
        EXPECT_EQ(EncodeClusterMessage(*Decoded), Wire);
    }
}

TEST(TzefWSClusterMessage, DecodeRefusesWhatIsNotExactlyOneMessage) {
    TzefWSClusterMessage Good;
    Good.Kind = TzefWSClusterKind::ckWriteText;
    Good.Origin = Origin;
    Good.Guid = "G";
    Good.Payload = "hi";
    const std::string Wire = EncodeClusterMessage(Good);
    auto With = [&](std::size_t aAt, char aValue) {
        std::string Changed = Wire;
        Changed[aAt] = aValue;
        return Changed;
    };
    // Offsets: magic 0-1, version 2, kind 3, origin 4-35, GUID length 36-39, GUID 40, size
    // 41-44, streaming 45, payload length 46-49, payload 50-51.
    struct TCase {
        const char* Name;
        std::string Input;
        const char* Reason;
    };
    const TCase Cases[] = {
        {"empty", "", "shorter"},
        {"garbage", "hello", "shorter"},
        {"another magic", With(0, 'X'), "not a cluster message"},
        {"version 2", With(2, 2), "unknown version 2"},
        {"kind 0", With(3, 0), "unknown kind 0"},
        {"kind 5", With(3, 5), "unknown kind 5"},
        {"lower-case origin", With(4, 'a'), "malformed origin"},
        {"GUID length past the end", With(36, 0x7F), "truncated"},
        {"size with the sign bit", With(41, char(0x80)), "fragment size"},
        {"streaming 5", With(45, 5), "unknown streaming mode 5"},
        {"payload length one short", With(49, 1), "bytes after the payload"},
        {"payload length one long", With(49, 3), "truncated"},
        {"a byte after the payload", Wire + "!", "bytes after the payload"},
        {"write without a GUID",
         std::string(Wire.substr(0, 36)) + std::string(4, '\0') + Wire.substr(41),
         "write without a GUID"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        auto Copy = std::make_unique_for_overwrite<char[]>(Case.Input.size());
        std::copy(Case.Input.begin(), Case.Input.end(), Copy.get());
        std::string Error;
        EXPECT_FALSE(DecodeClusterMessage({Copy.get(), Case.Input.size()}, Error).has_value());
        EXPECT_NE(Error.find(Case.Reason), std::string::npos) << Error;
    }
    // Every proper prefix of a well-formed message is refused.
    for (std::size_t Length = 0; Length < Wire.size(); ++Length) {
        auto Copy = std::make_unique_for_overwrite<char[]>(Length);
        std::copy(Wire.begin(), Wire.begin() + std::ptrdiff_t(Length), Copy.get());
        std::string Error;
        EXPECT_FALSE(DecodeClusterMessage({Copy.get(), Length}, Error).has_value()) << Length;
    }
}

// --- The link of one node ---

/// What a node's link handed over: delivered messages and reports, with waits on them.
class TNodeEvents {
public:
    TzefWSCluster::TDeliverEvent Deliver() {
        return [this](const TzefWSClusterMessage& aMessage) {
            std::scoped_lock Lock(FLock);
            FDelivered.push_back(aMessage);
            FChanged.notify_all();
        };
    }
    TzefWSCluster::TReportEvent Report() {
        return [this](const std::string& aText) {
            std::scoped_lock Lock(FLock);
            FReports.push_back(aText);
            FChanged.notify_all();
        };
    }
    /// Waits until aCount messages were delivered; a copy of them all.
    std::vector<TzefWSClusterMessage> WaitDelivered(std::size_t aCount) {
        std::unique_lock Lock(FLock);
        FChanged.wait_for(Lock, Bound, [&] { return FDelivered.size() >= aCount; });
        return FDelivered;
    }
    /// Waits for a report containing aText; true when one came.
    bool WaitReport(const std::string& aText, std::chrono::milliseconds aTimeout = Bound) {
        std::unique_lock Lock(FLock);
        return FChanged.wait_for(Lock, aTimeout, [&] {
            return std::any_of(FReports.begin(), FReports.end(), [&](const std::string& R) {
                return R.find(aText) != std::string::npos;
            });
        });
    }
    std::vector<std::string> Reports() {
        std::scoped_lock Lock(FLock);
        return FReports;
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged; // Signalled under FLock.
    std::vector<TzefWSClusterMessage> FDelivered;
    std::vector<std::string> FReports;
};

TzefWSCluster_Options Options(std::uint16_t aPort, const std::string& aNode,
                              const std::string& aPrefix = "test") {
    TzefWSCluster_Options Result;
    Result.SetEnabled(true);
    Result.SetPort(aPort);
    Result.SetNodeName(aNode);
    Result.SetChannelPrefix(aPrefix);
    Result.SetReconnectMin(20);
    Result.SetReconnectMax(200);
    Result.SetErrorInterval(0);
    Result.SetTimeout(20000); // Generous: a sanitized build on a loaded machine answers slowly.
    return Result;
}

TzefWSClusterMessage Text(const std::string& aPayload) {
    TzefWSClusterMessage Message;
    Message.Kind = TzefWSClusterKind::ckBroadcastText;
    Message.Payload = aPayload;
    return Message;
}

// Lets aDuration pass: between two looks at a state that offers no notification, and for the
// checks that something does not happen within a while.
void Idle(std::chrono::milliseconds aDuration) {
    poll(nullptr, 0, int(aDuration.count()));
}

// Waits until aLink's statistics satisfy aCheck.
bool WaitStatistics(TzefWSCluster& aLink,
                    const std::function<bool(const TzefWSClusterStatistics&)>& aCheck) {
    const auto Deadline = std::chrono::steady_clock::now() + Bound;
    while (!aCheck(aLink.Statistics())) {
        if (std::chrono::steady_clock::now() >= Deadline) {
            return false;
        }
        Idle(std::chrono::milliseconds(10));
    }
    return true;
}

std::optional<std::int64_t> CountOf(TzefWSCluster& aLink) {
    std::mutex Lock;
    std::condition_variable Done;
    std::optional<std::optional<std::int64_t>> Result;
    if (!aLink.RequestCount([&](std::optional<std::int64_t> aCount) {
            std::scoped_lock Guard(Lock);
            Result = aCount;
            Done.notify_all();
        })) {
        return std::nullopt;
    }
    std::unique_lock Guard(Lock);
    Done.wait_for(Guard, Bound, [&] { return Result.has_value(); });
    return Result ? *Result : std::nullopt;
}

std::vector<std::string> Sorted(std::vector<std::string> aItems) {
    std::sort(aItems.begin(), aItems.end());
    return aItems;
}

TEST(TzefWSCluster, NodesExchangeMessagesInOrderAndSkipTheirOwn) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNodeEvents EventsA;
    TNodeEvents EventsB;
    TzefWSCluster A(EventsA.Deliver(), EventsA.Report());
    TzefWSCluster B(EventsB.Deliver(), EventsB.Report());
    A.Start(Options(Redis.Port(), "a"));
    B.Start(Options(Redis.Port(), "b"));
    // Start returns once the first attempt has ended: here the link is up.
    ASSERT_TRUE(A.Statistics().Connected);
    ASSERT_TRUE(B.Statistics().Connected);
    EXPECT_EQ(A.NodeName(), "a");
    EXPECT_EQ(A.Instance().size(), 32u);
    EXPECT_NE(A.Instance(), B.Instance());
    constexpr int Count = 200;
    for (int I = 0; I < Count; ++I) {
        ASSERT_TRUE(A.Publish(Text(std::to_string(I))));
    }
    auto AtB = EventsB.WaitDelivered(Count);
    ASSERT_EQ(AtB.size(), std::size_t(Count));
    for (int I = 0; I < Count; ++I) {
        EXPECT_EQ(AtB[std::size_t(I)].Payload, std::to_string(I));
        EXPECT_EQ(AtB[std::size_t(I)].Origin, A.Instance());
    }
    // A's own messages came back on the channel too: the first A delivers is B's.
    ASSERT_TRUE(B.Publish(Text("from b")));
    auto AtA = EventsA.WaitDelivered(1);
    ASSERT_EQ(AtA.size(), 1u);
    EXPECT_EQ(AtA[0].Payload, "from b");
    EXPECT_TRUE(WaitStatistics(A, [&](auto& S) { return S.Published == Count; }));
    EXPECT_EQ(A.Statistics().Dropped, 0u);
    EXPECT_TRUE(EventsA.Reports().empty());
}

TEST(TzefWSCluster, EachNodeListsItsConnectionsAndTheCountSumsTheLiveNodes) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNodeEvents Events;
    TzefWSCluster A(Events.Deliver(), Events.Report());
    TzefWSCluster B(Events.Deliver(), Events.Report());
    A.Start(Options(Redis.Port(), "a"));
    B.Start(Options(Redis.Port(), "b"));
    A.ConnectionAdded("G1");
    A.ConnectionAdded("G2");
    B.ConnectionAdded("G3");
    auto Members = [&](const std::vector<std::string>& aExpected) {
        return [aExpected](const TRedisTestReply& aReply) {
            return Sorted(aReply.Elements) == aExpected;
        };
    };
    EXPECT_TRUE(Redis.WaitFor({"SMEMBERS", "test:node:a"}, Members({"G1", "G2"})));
    EXPECT_TRUE(Redis.WaitFor({"SMEMBERS", "test:node:b"}, Members({"G3"})));
    EXPECT_EQ(CountOf(A), std::optional<std::int64_t>(3));
    A.ConnectionRemoved("G1");
    EXPECT_TRUE(Redis.WaitFor({"SMEMBERS", "test:node:a"}, Members({"G2"})));
    EXPECT_EQ(CountOf(B), std::optional<std::int64_t>(2));
    // Every entry expires: the node's list and the nodes' index.
    const TRedisTestReply Expiry = Redis.Command({"PTTL", "test:node:a"});
    EXPECT_GT(Expiry.Integer, 0);
    EXPECT_LE(Expiry.Integer, 30000);
    EXPECT_GT(Redis.Command({"PTTL", "test:nodes"}).Integer, 0);
    // A node that stops takes its list with it.
    A.Join();
    EXPECT_EQ(Redis.Command({"EXISTS", "test:node:a"}).Integer, 0);
    EXPECT_EQ(CountOf(B), std::optional<std::int64_t>(1));
    EXPECT_FALSE(A.RequestCount([](std::optional<std::int64_t>) {}));
}

TEST(TzefWSCluster, ALiveNodeRefreshesItsListAndADeadOnesListExpires) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNodeEvents Events;
    TzefWSCluster_Options Short = Options(Redis.Port(), "live");
    Short.SetKeyExpiry(600);
    TzefWSCluster Live(Events.Deliver(), Events.Report());
    Live.Start(Short);
    Live.ConnectionAdded("G1");
    ASSERT_TRUE(Redis.WaitFor({"SCARD", "test:node:live"},
                              [](const TRedisTestReply& R) { return R.Integer == 1; }));
    const long long Left = Redis.Command({"PTTL", "test:node:live"}).Integer;
    EXPECT_GT(Left, 0);
    EXPECT_LE(Left, 600);
    // The node refreshes its list every third of the expiry: the time of expiry moves on.
    const long long First = Redis.Command({"PEXPIRETIME", "test:node:live"}).Integer;
    EXPECT_TRUE(Redis.WaitFor({"PEXPIRETIME", "test:node:live"},
                              [&](const TRedisTestReply& R) { return R.Integer > First; }));
    // A node killed outright leaves what it last wrote: its list with its expiry, and its entry
    // in the nodes' index. Both go: the list expires, the count leaves the entry out once its
    // time is over, and the next refresh of any node prunes it.
    auto RedisTime = [&] {
        const TRedisTestReply Time = Redis.Command({"TIME"});
        return Time.Elements.size() == 2
                   ? std::stoll(Time.Elements[0]) * 1000 + std::stoll(Time.Elements[1]) / 1000
                   : 0;
    };
    const long long Expiry = RedisTime() + 2000;
    Redis.Command({"SADD", "test:node:dead", "G8", "G9"});
    Redis.Command({"PEXPIREAT", "test:node:dead", std::to_string(Expiry)});
    Redis.Command({"ZADD", "test:nodes", std::to_string(Expiry), "dead"});
    const std::optional<std::int64_t> WithTheDead = CountOf(Live);
    if (RedisTime() < Expiry) { // Its time is not over yet: its connections still count.
        EXPECT_EQ(WithTheDead, std::optional<std::int64_t>(3));
    }
    EXPECT_TRUE(Redis.WaitFor({"EXISTS", "test:node:dead"},
                              [](const TRedisTestReply& R) { return R.Integer == 0; }));
    EXPECT_TRUE(Redis.WaitFor({"ZSCORE", "test:nodes", "dead"},
                              [](const TRedisTestReply& R) { return R.Nil; }));
    EXPECT_EQ(CountOf(Live), std::optional<std::int64_t>(1));
}

TEST(TzefWSCluster, RedisDownAtStartDropsAndReportsThenTheLinkComesUp) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    ASSERT_TRUE(Redis.Stop());
    TNodeEvents EventsA;
    TNodeEvents EventsB;
    TzefWSCluster A(EventsA.Deliver(), EventsA.Report());
    A.Start(Options(Redis.Port(), "a"));
    EXPECT_FALSE(A.Statistics().Connected);
    EXPECT_FALSE(A.Publish(Text("lost")));
    EXPECT_TRUE(
        EventsA.WaitReport("cannot reach Redis at 127.0.0.1:" + std::to_string(Redis.Port())));
    EXPECT_TRUE(EventsA.WaitReport("dropped (the link to Redis is down)"));
    EXPECT_GE(A.Statistics().Dropped, 1u);
    A.ConnectionAdded("G1"); // Listed once the link is up.
    ASSERT_TRUE(Redis.Restart());
    ASSERT_TRUE(WaitStatistics(A, [](auto& S) { return S.Connected; }));
    EXPECT_TRUE(Redis.WaitFor({"SMEMBERS", "test:node:a"},
                              [](const TRedisTestReply& R) { return R.Elements.size() == 1; }));
    TzefWSCluster B(EventsB.Deliver(), EventsB.Report());
    B.Start(Options(Redis.Port(), "b"));
    ASSERT_TRUE(A.Publish(Text("after")));
    auto AtB = EventsB.WaitDelivered(1);
    ASSERT_EQ(AtB.size(), 1u);
    EXPECT_EQ(AtB[0].Payload, "after");
}

TEST(TzefWSCluster, ALostRedisIsReportedAndTheLinkComesBackWithTheList) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNodeEvents EventsA;
    TNodeEvents EventsB;
    TzefWSCluster A(EventsA.Deliver(), EventsA.Report());
    TzefWSCluster B(EventsB.Deliver(), EventsB.Report());
    A.Start(Options(Redis.Port(), "a"));
    B.Start(Options(Redis.Port(), "b"));
    A.ConnectionAdded("G1");
    ASSERT_TRUE(Redis.WaitFor({"SCARD", "test:node:a"},
                              [](const TRedisTestReply& R) { return R.Integer == 1; }));
    ASSERT_TRUE(Redis.Stop());
    EXPECT_TRUE(EventsA.WaitReport("lost the link to Redis"));
    A.ConnectionAdded("G2");      // While down: only remembered.
    ASSERT_TRUE(Redis.Restart()); // Nothing kept: the nodes list themselves again.
    ASSERT_TRUE(WaitStatistics(A, [](auto& S) { return S.Connected && S.Connects == 2; }));
    ASSERT_TRUE(WaitStatistics(B, [](auto& S) { return S.Connected && S.Connects == 2; }));
    EXPECT_TRUE(Redis.WaitFor({"SMEMBERS", "test:node:a"}, [](const TRedisTestReply& R) {
        return Sorted(R.Elements) == std::vector<std::string>{"G1", "G2"};
    }));
    ASSERT_TRUE(A.Publish(Text("again")));
    auto AtB = EventsB.WaitDelivered(1);
    ASSERT_EQ(AtB.size(), 1u);
    EXPECT_EQ(AtB[0].Payload, "again");
}

TEST(TzefWSCluster, BadAndOversizedMessagesFromTheChannelAreDroppedWithAReport) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNodeEvents EventsA;
    TNodeEvents EventsB;
    TzefWSCluster A(EventsA.Deliver(), EventsA.Report());
    TzefWSCluster_Options Limited = Options(Redis.Port(), "b");
    Limited.SetMaxMessageSize(1000);
    TzefWSCluster B(EventsB.Deliver(), EventsB.Report());
    A.Start(Options(Redis.Port(), "a"));
    B.Start(Limited);
    TzefWSClusterMessage Big = Text(std::string(1000, 'x'));
    Big.Origin = A.Instance();
    struct TCase {
        const char* Name;
        std::string Payload;
        const char* Report;
    };
    const TCase Cases[] = {
        {"garbage", "hello", "1 malformed message from Redis dropped (shorter"},
        {"another version", "ZC\x02\x01" + std::string(32, 'A'), "unknown version 2"},
        {"over the limit", EncodeClusterMessage(Big), "bytes from Redis exceeds the limit of 1000"},
        // Larger than the limit by more than a reply's framing: the subscription is reset
        // before the whole of it is read, and comes back.
        {"far over the limit", std::string(300000, 'y'), "lost the link to Redis"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(Redis.Command({"PUBLISH", "test:messages", Case.Payload}).Integer, 2);
        EXPECT_TRUE(EventsB.WaitReport(Case.Report)) << ::testing::PrintToString(EventsB.Reports());
        ASSERT_TRUE(WaitStatistics(B, [](auto& S) { return S.Connected; }));
        // Nothing was delivered, and the node goes on: the next good message arrives.
        const std::string Marker = std::string("after ") + Case.Name;
        const std::size_t Before = EventsB.WaitDelivered(0).size();
        ASSERT_TRUE(A.Publish(Text(Marker)));
        auto AtB = EventsB.WaitDelivered(Before + 1);
        ASSERT_GT(AtB.size(), Before);
        EXPECT_EQ(AtB.back().Payload, Marker);
    }
    EXPECT_EQ(B.Statistics().Malformed, 2u);
    // A message over the limit is not sent either.
    TzefWSCluster_Options Small = Options(Redis.Port(), "c");
    Small.SetMaxMessageSize(100);
    TNodeEvents EventsC;
    TzefWSCluster C(EventsC.Deliver(), EventsC.Report());
    C.Start(Small);
    EXPECT_FALSE(C.Publish(Text(std::string(100, 'z'))));
    EXPECT_TRUE(EventsC.WaitReport("exceeds the limit of 100 bytes"));
}

TEST(TzefWSCluster, OutgoingMessagesAreBoundedWhileRedisDoesNotTakeThem) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNodeEvents Events;
    TzefWSCluster_Options Bounded = Options(Redis.Port(), "a");
    Bounded.SetMaxQueueSize(64 * 1024);
    Bounded.SetTimeout(60000); // The pause must not be taken for a lost link here.
    TzefWSCluster A(Events.Deliver(), Events.Report());
    A.Start(Bounded);
    ASSERT_TRUE(WaitStatistics(A, [](auto& S) { return S.Connected; }));
    Redis.Pause();
    // The kernel's socket buffers and one chunk in hiredis take some; then the queue fills.
    const std::string Payload(8 * 1024, 'p');
    int Taken = 0;
    bool Refused = false;
    for (int I = 0; I < 100000 && !Refused; ++I) {
        Refused = !A.Publish(Text(Payload));
        Taken += Refused ? 0 : 1;
    }
    EXPECT_TRUE(Refused);
    EXPECT_TRUE(Events.WaitReport("dropped (the queue to Redis is full)"));
    Redis.Resume();
    // What was taken goes out once Redis reads again.
    EXPECT_TRUE(WaitStatistics(A, [&](auto& S) { return S.Published == std::uint64_t(Taken); }));
    EXPECT_TRUE(A.Publish(Text("after")));
}

TEST(TzefWSCluster, ARedisThatStopsAnsweringIsTakenAsLost) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNodeEvents Events;
    TzefWSCluster_Options Quick = Options(Redis.Port(), "a");
    Quick.SetTimeout(300);
    Quick.SetKeyExpiry(900); // A refresh at least every 300 ms is an answer awaited.
    TzefWSCluster A(Events.Deliver(), Events.Report());
    A.Start(Quick);
    // A loaded machine may take the first attempts for lost too; the link comes up in the end.
    ASSERT_TRUE(WaitStatistics(A, [](auto& S) { return S.Connected; }));
    Redis.Pause();
    EXPECT_TRUE(Events.WaitReport("lost the link to Redis at " + Redis.Address() +
                                  " (no answer within 300 ms)"));
    Redis.Resume();
    EXPECT_TRUE(WaitStatistics(A, [](auto& S) { return S.Connected && S.Connects >= 2; }));
}

TEST(TzefWSCluster, PasswordTable) {
    TRedisTestServer Redis("s3cret");
    ASSERT_TRUE(Redis.Running());
    struct TCase {
        const char* Name;
        std::string Password;
        const char* Report; // nullptr: the link comes up.
    };
    const TCase Cases[] = {
        {"right", "s3cret", nullptr},
        {"wrong", "guess", "Redis refused the password"},
        {"none", "", "NOAUTH"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TNodeEvents Events;
        TzefWSCluster_Options WithPassword = Options(Redis.Port(), Case.Name);
        WithPassword.SetPassword(Case.Password);
        TzefWSCluster Link(Events.Deliver(), Events.Report());
        Link.Start(WithPassword);
        if (Case.Report == nullptr) {
            EXPECT_TRUE(Link.Statistics().Connected);
            EXPECT_EQ(CountOf(Link), std::optional<std::int64_t>(0));
        } else {
            EXPECT_FALSE(Link.Statistics().Connected);
            EXPECT_TRUE(Events.WaitReport(Case.Report))
                << ::testing::PrintToString(Events.Reports());
        }
    }
}

TEST(TzefWSCluster, ReportsComeAtMostOncePerInterval) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    ASSERT_TRUE(Redis.Stop());
    TNodeEvents Events;
    TzefWSCluster_Options Slow = Options(Redis.Port(), "a");
    Slow.SetErrorInterval(3600 * 1000);
    TzefWSCluster A(Events.Deliver(), Events.Report());
    A.Start(Slow);
    ASSERT_TRUE(Events.WaitReport("cannot reach Redis"));
    for (int I = 0; I < 50; ++I) {
        EXPECT_FALSE(A.Publish(Text("x")));
    }
    // Every attempt to reconnect fails too (at most 200 ms apart here); none of it is reported
    // before the hour is over.
    Idle(std::chrono::milliseconds(500));
    EXPECT_EQ(Events.Reports().size(), 1u);
    EXPECT_EQ(A.Statistics().Dropped, 50u);
}

// --- Three server components as one cluster ---

std::string TextFrame(const std::string& aText) {
    return std::string{char(0x81), char(aText.size())} + aText;
}

/// One node: a server component over the in-memory transport with the cluster on.
struct TNode {
    explicit TNode(std::uint16_t aRedisPort, const std::string& aName, bool aCluster = true) {
        Server.Cluster().Assign(Options(aRedisPort, aName, "servers"));
        Server.Cluster().SetEnabled(aCluster);
        Server.RegisterProtocol("chat");
        Server.OnError = [this](TzefWSConnection* aConnection, const std::string& aError) {
            if (aConnection == nullptr) {
                std::scoped_lock Lock(ErrorsLock);
                Errors.push_back(aError);
                ErrorRaised.notify_all();
            }
        };
        Server.SetActive(true);
    }
    ~TNode() { Server.SetActive(false); }
    TzefWSTestServerConnection& Open(std::vector<std::string> aExtra = {}) {
        auto Connection = Server.NewConnection({});
        for (const std::string& Line :
             {std::string("GET /ws/ HTTP/1.1"), std::string("Host: 127.0.0.1:2001"),
              std::string("Upgrade: websocket"), std::string("Connection: Upgrade"),
              std::string("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="),
              std::string("Sec-WebSocket-Version: 13")}) {
            Connection->HeadersRequest().Add(Line);
        }
        for (const std::string& Line : aExtra) {
            Connection->HeadersRequest().Add(Line);
        }
        TzefWSTestServerConnection* Raw = Connection.get();
        EXPECT_TRUE(Server.Upgrade(Connection).Registered);
        return *Raw;
    }
    /// Waits for an error event without a connection that contains aText.
    bool WaitError(const std::string& aText) {
        std::unique_lock Lock(ErrorsLock);
        return ErrorRaised.wait_for(Lock, Bound, [&] {
            return std::any_of(Errors.begin(), Errors.end(), [&](const std::string& E) {
                return E.find(aText) != std::string::npos;
            });
        });
    }
    std::mutex ErrorsLock;
    std::condition_variable ErrorRaised; // Signalled under ErrorsLock.
    std::vector<std::string> Errors;     // Guarded by ErrorsLock.
    TzefWSTestServer Server;
};

// Waits until aConnection's output ends with aTail; its whole output then.
std::string OutputEndingWith(TzefWSTestServerConnection& aConnection, const std::string& aTail) {
    const auto Deadline = std::chrono::steady_clock::now() + Bound;
    std::string Output = aConnection.Output();
    while (Output.size() < aTail.size() ||
           Output.compare(Output.size() - aTail.size(), aTail.size(), aTail) != 0) {
        if (std::chrono::steady_clock::now() >= Deadline) {
            break;
        }
        aConnection.WaitForOutput(Output.size() + 1, std::chrono::milliseconds(100));
        Output = aConnection.Output();
    }
    return Output;
}

TEST(TzefWSServer_BaseCluster, BroadcastTableAcrossNodes) {
    struct TCase {
        const char* Name;
        std::string Protocol, Exclude, Include, Channel;
        std::vector<int> Reached; // A (plain, node 1), B (plain, "news", node 2), C (chat, 3).
    };
    const TCase Cases[] = {
        {"everything empty", "", "", "", "", {0, 1}},
        {"protocol chat", "chat", "", "", "", {2}},
        {"protocol in other case", "CHAT", "", "", "", {2}},
        {"include B", "", "", "@1", "", {1}},
        {"exclude A", "", "@0", "", "", {1}},
        {"include list", "", "", "@0,@1", "", {0, 1}},
        {"blank after comma", "", "", "@0, @1", "", {0}},
        {"channel", "", "", "", "news", {1}},
        {"channel list", "", "", "", "other,news", {1}},
    };
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNode Node1(Redis.Port(), "n1");
    TNode Node2(Redis.Port(), "n2");
    TNode Node3(Redis.Port(), "n3");
    TzefWSTestServerConnection* Connections[] = {&Node1.Open(), &Node2.Open(),
                                                 &Node3.Open({"Sec-WebSocket-Protocol: chat"})};
    Connections[1]->DoSubscribe("news");
    auto Expand = [&](std::string Text) {
        for (int I = 0; I < 3; ++I) {
            Text = ReplaceText(Text, "@" + std::to_string(I), Connections[I]->Guid());
        }
        return Text;
    };
    std::string Expected[3];
    int Round = 0;
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const std::string Message = "m" + std::to_string(Round);
        Node1.Server.Broadcast(Message, Case.Channel, Case.Protocol, Expand(Case.Exclude),
                               Expand(Case.Include));
        rtl::TMemoryStream Data("\x01\x02");
        Node1.Server.Broadcast(Data, Case.Channel, Case.Protocol, Expand(Case.Exclude),
                               Expand(Case.Include));
        // A marker through the same node comes after whatever the broadcasts brought.
        const std::string Marker = "end" + std::to_string(Round++);
        for (int I = 0; I < 3; ++I) {
            if (std::find(Case.Reached.begin(), Case.Reached.end(), I) != Case.Reached.end()) {
                Expected[I] += TextFrame(Message) + "\x82\x02\x01\x02";
            }
            EXPECT_TRUE(Node1.Server.WriteData(Connections[I]->Guid(), Marker));
            Expected[I] += TextFrame(Marker);
            EXPECT_EQ(OutputEndingWith(*Connections[I], TextFrame(Marker)), Expected[I]) << I;
        }
    }
    for (TNode* Node : {&Node1, &Node2, &Node3}) {
        std::scoped_lock Lock(Node->ErrorsLock);
        EXPECT_TRUE(Node->Errors.empty()) << ::testing::PrintToString(Node->Errors);
    }
}

TEST(TzefWSServer_BaseCluster, WriteDataByGuidReachesTheNodeThatHoldsIt) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNode Node1(Redis.Port(), "n1");
    TNode Node2(Redis.Port(), "n2");
    TzefWSTestServerConnection& Local = Node1.Open();
    TzefWSTestServerConnection& Remote = Node2.Open();
    EXPECT_TRUE(Node1.Server.WriteData(Local.Guid(), "here"));
    EXPECT_TRUE(Node1.Server.WriteData(Remote.Guid(), "there"));
    rtl::TMemoryStream Data("\x07");
    EXPECT_TRUE(Node1.Server.WriteData(Remote.Guid(), Data));
    EXPECT_EQ(Local.Output(), TextFrame("here"));
    EXPECT_EQ(OutputEndingWith(Remote, "\x82\x01\x07"), TextFrame("there") + "\x82\x01\x07");
    // A GUID that is not this node's goes to the cluster, which no node answers.
    EXPECT_TRUE(Node1.Server.WriteData("NOSUCHGUID", "lost"));
    EXPECT_FALSE(Node1.Server.WriteData("", "x"));
    // A connection of this node that no longer takes messages is not looked for elsewhere.
    Local.SetDisconnected(true);
    EXPECT_FALSE(Node1.Server.WriteData(Local.Guid(), "x"));
    EXPECT_TRUE(Node1.Server.WriteData(Remote.Guid(), "last"));
    EXPECT_EQ(OutputEndingWith(Remote, TextFrame("last")),
              TextFrame("there") + "\x82\x01\x07" + TextFrame("last"));
}

TEST(TzefWSServer_BaseCluster, MessagesOfOneSenderKeepTheirOrder) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNode Node1(Redis.Port(), "n1");
    TNode Node2(Redis.Port(), "n2");
    TzefWSTestServerConnection& Target = Node2.Open();
    std::string Expected;
    for (int I = 0; I < 300; ++I) {
        const std::string Text = std::to_string(I);
        if (I % 3 == 0) {
            ASSERT_TRUE(Node1.Server.WriteData(Target.Guid(), Text));
        } else {
            Node1.Server.Broadcast(Text);
        }
        Expected += TextFrame(Text);
    }
    EXPECT_EQ(OutputEndingWith(Target, TextFrame("299")), Expected);
}

TEST(TzefWSServer_BaseCluster, TheConnectionCountCoversEveryNode) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNode Node1(Redis.Port(), "n1");
    TNode Node2(Redis.Port(), "n2");
    Node1.Open();
    Node2.Open();
    TzefWSTestServerConnection& Leaving = Node2.Open();
    auto Count = [](TzefWSServer_Base& aServer) {
        std::mutex Lock;
        std::condition_variable Done;
        std::optional<std::optional<std::int64_t>> Result;
        EXPECT_TRUE(aServer.ClusterCount([&](std::optional<std::int64_t> aCount) {
            std::scoped_lock Guard(Lock);
            Result = aCount;
            Done.notify_all();
        }));
        std::unique_lock Guard(Lock);
        Done.wait_for(Guard, Bound, [&] { return Result.has_value(); });
        return Result ? *Result : std::nullopt;
    };
    // Each node lists its connections as they come; the count is Redis's view of them.
    ASSERT_TRUE(Redis.WaitFor({"SCARD", "servers:node:n2"},
                              [](const TRedisTestReply& R) { return R.Integer == 2; }));
    ASSERT_TRUE(Redis.WaitFor({"SCARD", "servers:node:n1"},
                              [](const TRedisTestReply& R) { return R.Integer == 1; }));
    EXPECT_EQ(Count(Node1.Server), std::optional<std::int64_t>(3));
    Node2.Server.OnServerDisconnectEvent(Leaving, 1000);
    ASSERT_TRUE(Redis.WaitFor({"SCARD", "servers:node:n2"},
                              [](const TRedisTestReply& R) { return R.Integer == 1; }));
    EXPECT_EQ(Count(Node1.Server), std::optional<std::int64_t>(2));
    // A node's stop takes its connections out of the count.
    Node2.Server.SetActive(false);
    EXPECT_EQ(Count(Node1.Server), std::optional<std::int64_t>(1));
}

TEST(TzefWSServer_BaseCluster, WithoutTheOptionANodeIsItsOwnCluster) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TNode Alone(Redis.Port(), "alone", false);
    TNode Other(Redis.Port(), "other");
    TzefWSTestServerConnection& Mine = Alone.Open();
    TzefWSTestServerConnection& Theirs = Other.Open();
    EXPECT_EQ(Alone.Server.ClusterLink(), nullptr);
    EXPECT_FALSE(Alone.Server.WriteData(Theirs.Guid(), "x"));
    Alone.Server.Broadcast("only here");
    EXPECT_EQ(Mine.Output(), TextFrame("only here"));
    std::optional<std::int64_t> Count;
    EXPECT_TRUE(
        Alone.Server.ClusterCount([&](std::optional<std::int64_t> aCount) { Count = aCount; }));
    EXPECT_EQ(Count, std::optional<std::int64_t>(1));
    // Nothing of the other node reaches it: a marker written on the other node comes last.
    Other.Server.Broadcast("elsewhere");
    EXPECT_EQ(OutputEndingWith(Theirs, TextFrame("elsewhere")), TextFrame("elsewhere"));
    EXPECT_EQ(Mine.Output(), TextFrame("only here"));
    EXPECT_EQ(Redis.Command({"EXISTS", "servers:node:alone"}).Integer, 0);
}

TEST(TzefWSServer_BaseCluster, ClusterFaultsReachOnErrorWithoutAConnection) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    ASSERT_TRUE(Redis.Stop());
    TNode Node(Redis.Port(), "n1");
    TzefWSTestServerConnection& Connection = Node.Open();
    // Local delivery goes on without Redis.
    Node.Server.Broadcast("local");
    EXPECT_EQ(Connection.Output(), TextFrame("local"));
    EXPECT_FALSE(Node.Server.WriteData("ELSEWHERE", "x"));
    EXPECT_FALSE(Node.Server.ClusterCount([](std::optional<std::int64_t>) {}));
    EXPECT_TRUE(
        Node.WaitError("Cluster: cannot reach Redis at 127.0.0.1:" + std::to_string(Redis.Port())));
    EXPECT_TRUE(Node.WaitError("dropped (the link to Redis is down)"));
    EXPECT_FALSE(Connection.Disconnected());
}

} // namespace
} // namespace zef
