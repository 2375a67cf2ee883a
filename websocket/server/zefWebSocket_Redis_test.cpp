// zefWebSocket_Redis: one connection to a real redis-server, driven by a poll loop as its owner
// drives it.
#include "websocket/server/zefWebSocket_Redis.h"

#include "testing/RedisTestServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

namespace zef {
namespace {

using testing::TRedisTestServer;
using TKind = TzefRedisReply::TKind;
using TState = TzefRedisConnection::TState;

constexpr std::chrono::seconds Bound{30};

// Drives aConnection until aDone holds or aTimeout passes; true when it holds.
bool DriveUntil(TzefRedisConnection& aConnection, const std::function<bool()>& aDone,
                std::chrono::milliseconds aTimeout = Bound) {
    const auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    while (!aDone()) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        if (Left.count() <= 0 || aConnection.State() == TState::rsClosed) {
            return aDone();
        }
        pollfd Poll{aConnection.Fd(), aConnection.PollEvents(), 0};
        if (poll(&Poll, 1, int(Left.count())) > 0) {
            aConnection.HandleEvents(Poll.revents);
        }
    }
    return true;
}

/// A reply copied out of its handler.
struct TCopied {
    TKind Kind = TKind::rkNil;
    std::string Text;
    std::int64_t Integer = 0;
    std::vector<std::string> Elements;
};

TzefRedisReplyEvent CopyInto(std::optional<std::optional<TCopied>>& aSlot) {
    return [&aSlot](const TzefRedisReply* aReply) {
        if (aReply == nullptr) {
            aSlot.emplace(std::nullopt);
            return;
        }
        TCopied Copy{aReply->Kind, std::string(aReply->Text), aReply->Integer, {}};
        for (const TzefRedisReply& Element : aReply->Elements) {
            Copy.Elements.emplace_back(Element.Text);
        }
        aSlot.emplace(Copy);
    };
}

TEST(TzefRedisConnection, CommandsQueuedWhileConnectingGetTheirRepliesInOrder) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TzefRedisConnection Connection;
    ASSERT_TRUE(Connection.Connect("127.0.0.1", Redis.Port())) << Connection.LastError();
    EXPECT_EQ(Connection.State(), TState::rsConnecting);
    const std::string Binary("a\0b\r\n\xFF", 6);
    struct TCase {
        const char* Name;
        std::vector<std::string> Command;
        TKind Kind;
        std::string Text;
        std::int64_t Integer;
    };
    const std::vector<TCase> Cases = {
        {"status", {"SET", "k", Binary}, TKind::rkStatus, "OK", 0},
        {"binary-safe string", {"GET", "k"}, TKind::rkString, Binary, 0},
        {"integer", {"INCR", "n"}, TKind::rkInteger, "", 1},
        {"nil", {"GET", "missing"}, TKind::rkNil, "", 0},
        {"error", {"NOSUCHCOMMAND"}, TKind::rkError, "", 0},
        {"array", {"KEYS", "k"}, TKind::rkArray, "", 0},
    };
    std::vector<std::optional<std::optional<TCopied>>> Replies(Cases.size());
    std::vector<std::size_t> Order;
    for (std::size_t I = 0; I < Cases.size(); ++I) {
        std::vector<std::string_view> Arguments(Cases[I].Command.begin(), Cases[I].Command.end());
        auto Copy = CopyInto(Replies[I]);
        ASSERT_TRUE(Connection.Command(Arguments, [&, Copy, I](const TzefRedisReply* aReply) {
            Order.push_back(I);
            Copy(aReply);
        }));
    }
    EXPECT_EQ(Connection.PendingReplies(), Cases.size());
    ASSERT_TRUE(DriveUntil(Connection, [&] { return Order.size() == Cases.size(); }));
    EXPECT_EQ(Connection.State(), TState::rsConnected);
    EXPECT_EQ(Connection.PendingReplies(), 0u);
    for (std::size_t I = 0; I < Cases.size(); ++I) {
        SCOPED_TRACE(Cases[I].Name);
        EXPECT_EQ(Order[I], I);
        ASSERT_TRUE(Replies[I].has_value() && Replies[I]->has_value());
        const TCopied& Reply = **Replies[I];
        EXPECT_EQ(Reply.Kind, Cases[I].Kind);
        if (Cases[I].Kind == TKind::rkError) {
            EXPECT_NE(Reply.Text.find("unknown command"), std::string::npos) << Reply.Text;
        } else if (Cases[I].Kind == TKind::rkArray) {
            EXPECT_EQ(Reply.Elements, std::vector<std::string>{"k"});
        } else {
            EXPECT_EQ(Reply.Text, Cases[I].Text);
            EXPECT_EQ(Reply.Integer, Cases[I].Integer);
        }
    }
}

TEST(TzefRedisConnection, ARefusedConnectEndsWithItsReasonAndPendingCommandsWithNull) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    const std::uint16_t Port = Redis.Port();
    ASSERT_TRUE(Redis.Stop());
    TzefRedisConnection Connection;
    std::optional<std::optional<TCopied>> Reply;
    if (Connection.Connect("127.0.0.1", Port)) {
        ASSERT_TRUE(Connection.Command({"PING"}, CopyInto(Reply)));
        DriveUntil(Connection, [&] { return Connection.State() == TState::rsClosed; });
        ASSERT_TRUE(Reply.has_value());
        EXPECT_FALSE(Reply->has_value());
    }
    EXPECT_EQ(Connection.State(), TState::rsClosed);
    EXPECT_NE(Connection.LastError().find("refused"), std::string::npos) << Connection.LastError();
    EXPECT_EQ(Connection.Fd(), -1);
    EXPECT_EQ(Connection.PollEvents(), 0);
    EXPECT_FALSE(Connection.Command({"PING"}, nullptr));
}

TEST(TzefRedisConnection, ASubscriptionGetsItsConfirmationEveryMessageAndNullAtTheEnd) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TzefRedisConnection Connection;
    ASSERT_TRUE(Connection.Connect("127.0.0.1", Redis.Port()));
    std::vector<std::vector<std::string>> Seen;
    int Ends = 0;
    ASSERT_TRUE(Connection.Subscribe("news", [&](const TzefRedisReply* aReply) {
        if (aReply == nullptr) {
            ++Ends;
            return;
        }
        std::vector<std::string> Elements;
        for (const TzefRedisReply& Element : aReply->Elements) {
            Elements.emplace_back(Element.Kind == TKind::rkInteger ? std::to_string(Element.Integer)
                                                                   : std::string(Element.Text));
        }
        Seen.push_back(Elements);
    }));
    ASSERT_TRUE(DriveUntil(Connection, [&] { return Seen.size() == 1; }));
    EXPECT_EQ(Seen[0], (std::vector<std::string>{"subscribe", "news", "1"}));
    const std::string Payload("x\0y", 3);
    for (const std::string& Text : {std::string("first"), Payload}) {
        EXPECT_EQ(Redis.Command({"PUBLISH", "news", Text}).Integer, 1);
    }
    ASSERT_TRUE(DriveUntil(Connection, [&] { return Seen.size() == 3; }));
    EXPECT_EQ(Seen[1], (std::vector<std::string>{"message", "news", "first"}));
    EXPECT_EQ(Seen[2], (std::vector<std::string>{"message", "news", Payload}));
    EXPECT_EQ(Ends, 0);
    Connection.Close();
    EXPECT_EQ(Ends, 1);
    EXPECT_EQ(Connection.State(), TState::rsClosed);
    Connection.Close(); // A second close does nothing.
    EXPECT_EQ(Ends, 1);
}

TEST(TzefRedisConnection, ALostServerEndsTheConnectionWithoutEndingTheProcess) {
    // Writing to a socket whose peer has gone raises SIGPIPE unless it is blocked; the default
    // action would end this test process.
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TzefRedisConnection Connection;
    ASSERT_TRUE(Connection.Connect("127.0.0.1", Redis.Port()));
    std::optional<std::optional<TCopied>> First;
    ASSERT_TRUE(Connection.Command({"PING"}, CopyInto(First)));
    ASSERT_TRUE(DriveUntil(Connection, [&] { return First.has_value(); }));
    ASSERT_TRUE(Redis.Stop());
    int Ended = 0;
    const std::string Large(1 << 20, 'x');
    // Writes only (a read would see the end first): the first write after the peer has gone
    // draws a reset, the next one EPIPE and SIGPIPE. Each pending command ends with null.
    for (int I = 0; I < 64 && Connection.State() != TState::rsClosed; ++I) {
        Connection.Command({"SET", "k", Large}, [&](const TzefRedisReply* aReply) {
            Ended += aReply == nullptr ? 1 : 0;
        });
        Connection.HandleEvents(POLLOUT);
    }
    DriveUntil(Connection, [&] { return Connection.State() == TState::rsClosed; });
    EXPECT_EQ(Connection.State(), TState::rsClosed);
    EXPECT_FALSE(Connection.LastError().empty());
    EXPECT_GT(Ended, 0);
    sigset_t Pending;
    sigemptyset(&Pending);
    sigpending(&Pending);
    EXPECT_EQ(sigismember(&Pending, SIGPIPE), 0) << "a SIGPIPE was left pending";
}

TEST(TzefRedisConnection, CloseEndsEveryPendingCommandOnceWithNull) {
    TRedisTestServer Redis;
    ASSERT_TRUE(Redis.Running());
    TzefRedisConnection Connection;
    ASSERT_TRUE(Connection.Connect("127.0.0.1", Redis.Port()));
    int Nulls = 0;
    int Replies = 0;
    for (int I = 0; I < 3; ++I) {
        ASSERT_TRUE(Connection.Command({"PING"}, [&](const TzefRedisReply* aReply) {
            (aReply == nullptr ? Nulls : Replies) += 1;
        }));
    }
    Connection.Close();
    EXPECT_EQ(Nulls, 3);
    EXPECT_EQ(Replies, 0);
    EXPECT_EQ(Connection.PendingReplies(), 0u);
    EXPECT_EQ(Connection.PendingOutput(), 0u);
}

} // namespace
} // namespace zef
