// zefWebSocket_Cluster: the cluster options, the messages between nodes and the link of one node
// to the others through Redis.
#include "websocket/server/zefWebSocket_Cluster.h"

#include "websocket/core/zefBase_Helpers.h"
#include "websocket/server/zefWebSocket_Redis.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace zef {

namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view Magic = "ZC";
constexpr std::uint8_t WireVersion = 1;
constexpr std::size_t OriginLength = 32;
constexpr std::size_t HeaderLength = Magic.size() + 2 + OriginLength;
/// Bytes of commands handed to hiredis at once; more wait in our own queue, which is bounded.
constexpr std::size_t WriteChunk = 256 * 1024;
/// What a subscription message carries besides its payload, at most (the reply's framing and
/// the channel's name); an unparsed backlog beyond the limit plus this is a reply that is too
/// large.
constexpr std::size_t ReplyOverhead = 64 * 1024;
/// GUIDs per presence command (Lua's unpack takes a few thousand values at most).
constexpr std::size_t PresenceBatch = 1000;

// Brings this node's list of connections up to date and refreshes its expiry. KEYS: the nodes'
// sorted set, this node's set. ARGV: expiry (ms), node name, "1" to empty the set first, the
// number of GUIDs to add, those GUIDs, then the GUIDs to remove. Redis's own clock dates the
// entries, so the nodes' clocks need not agree.
constexpr std::string_view PresenceScript = R"(local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local ttl = tonumber(ARGV[1])
if ARGV[3] == '1' then redis.call('DEL', KEYS[2]) end
local adds = tonumber(ARGV[4])
if adds > 0 then redis.call('SADD', KEYS[2], unpack(ARGV, 5, 4 + adds)) end
if #ARGV > 4 + adds then redis.call('SREM', KEYS[2], unpack(ARGV, 5 + adds, #ARGV)) end
redis.call('PEXPIRE', KEYS[2], ttl)
redis.call('ZADD', KEYS[1], now + ttl, ARGV[2])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
redis.call('PEXPIRE', KEYS[1], ttl)
return redis.call('SCARD', KEYS[2]))";

// The cluster's connection count: the sizes of the lists of the nodes that have not expired.
// KEYS: the nodes' sorted set. ARGV: the prefix of a node's set key.
constexpr std::string_view CountScript = R"(local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
local total = 0
for _, name in ipairs(redis.call('ZRANGE', KEYS[1], 0, -1)) do
  total = total + redis.call('SCARD', ARGV[1] .. name)
end
return total)";

// A node that stops takes its list with it. KEYS: the nodes' sorted set, this node's set.
// ARGV: node name.
constexpr std::string_view LeaveScript = R"(redis.call('DEL', KEYS[2])
redis.call('ZREM', KEYS[1], ARGV[1])
return 1)";

void PutLength(std::string& aOut, std::uint32_t aValue) {
    aOut.push_back(char((aValue >> 24) & 0xFF));
    aOut.push_back(char((aValue >> 16) & 0xFF));
    aOut.push_back(char((aValue >> 8) & 0xFF));
    aOut.push_back(char(aValue & 0xFF));
}

void PutText(std::string& aOut, std::string_view aText) {
    PutLength(aOut, std::uint32_t(aText.size()));
    aOut.append(aText);
}

bool IsBroadcast(TzefWSClusterKind aKind) {
    return aKind == TzefWSClusterKind::ckBroadcastText ||
           aKind == TzefWSClusterKind::ckBroadcastBinary;
}

bool IsUpperHex(std::string_view aText) {
    return std::all_of(aText.begin(), aText.end(),
                       [](char C) { return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F'); });
}

/// Reads the wire form front to back; every read checks what is left.
class TReader {
public:
    explicit TReader(std::string_view aData) : FData(aData) {}
    bool Take(std::size_t aCount, std::string_view& aOut) {
        if (FData.size() - FAt < aCount) {
            return false;
        }
        aOut = FData.substr(FAt, aCount);
        FAt += aCount;
        return true;
    }
    bool Word(std::uint32_t& aOut) {
        std::string_view Bytes;
        if (!Take(4, Bytes)) {
            return false;
        }
        aOut = 0;
        for (char C : Bytes) {
            aOut = (aOut << 8) | std::uint8_t(C);
        }
        return true;
    }
    bool Text(std::string& aOut) {
        std::uint32_t Length = 0;
        std::string_view Bytes;
        if (!Word(Length) || !Take(Length, Bytes)) {
            return false;
        }
        aOut.assign(Bytes);
        return true;
    }
    bool AtEnd() const { return FAt == FData.size(); }

private:
    std::string_view FData;
    std::size_t FAt = 0;
};

std::string HostName() {
    char Name[256] = {};
    if (gethostname(Name, sizeof Name - 1) != 0 || Name[0] == '\0') {
        return "localhost";
    }
    return Name;
}

std::string Address(const TzefWSCluster_Options& aOptions) {
    return aOptions.Host() + ":" + std::to_string(aOptions.Port());
}

} // namespace

// --- Messages ---

std::string EncodeClusterMessage(const TzefWSClusterMessage& aMessage) {
    std::string Out;
    Out.reserve(HeaderLength + 32 + aMessage.Channel.size() + aMessage.Protocol.size() +
                aMessage.Exclude.size() + aMessage.Include.size() + aMessage.Guid.size() +
                aMessage.Payload.size());
    Out.append(Magic);
    Out.push_back(char(WireVersion));
    Out.push_back(char(aMessage.Kind));
    std::string Origin = aMessage.Origin.substr(0, OriginLength);
    Origin.resize(OriginLength, '0');
    Out.append(Origin);
    if (IsBroadcast(aMessage.Kind)) {
        PutText(Out, aMessage.Channel);
        PutText(Out, aMessage.Protocol);
        PutText(Out, aMessage.Exclude);
        PutText(Out, aMessage.Include);
    } else {
        PutText(Out, aMessage.Guid);
    }
    PutLength(Out, std::uint32_t(std::max<std::int32_t>(aMessage.Size, 0)));
    Out.push_back(char(aMessage.Streaming));
    PutText(Out, aMessage.Payload);
    return Out;
}

std::optional<TzefWSClusterMessage> DecodeClusterMessage(std::string_view aData,
                                                         std::string& aError) {
    TReader Reader(aData);
    std::string_view Head;
    if (!Reader.Take(HeaderLength, Head)) {
        aError = "shorter than a message header (" + std::to_string(aData.size()) + " bytes)";
        return std::nullopt;
    }
    if (Head.substr(0, Magic.size()) != Magic) {
        aError = "not a cluster message";
        return std::nullopt;
    }
    if (std::uint8_t(Head[2]) != WireVersion) {
        aError = "unknown version " + std::to_string(std::uint8_t(Head[2]));
        return std::nullopt;
    }
    const std::uint8_t Kind = std::uint8_t(Head[3]);
    if (Kind < 1 || Kind > 4) {
        aError = "unknown kind " + std::to_string(Kind);
        return std::nullopt;
    }
    TzefWSClusterMessage Message;
    Message.Kind = TzefWSClusterKind(Kind);
    Message.Origin.assign(Head.substr(4, OriginLength));
    if (!IsUpperHex(Message.Origin)) {
        aError = "malformed origin";
        return std::nullopt;
    }
    bool Fields = IsBroadcast(Message.Kind)
                      ? Reader.Text(Message.Channel) && Reader.Text(Message.Protocol) &&
                            Reader.Text(Message.Exclude) && Reader.Text(Message.Include)
                      : Reader.Text(Message.Guid);
    std::uint32_t Size = 0;
    std::string_view Streaming;
    if (!Fields || !Reader.Word(Size) || !Reader.Take(1, Streaming) ||
        !Reader.Text(Message.Payload)) {
        aError = "truncated";
        return std::nullopt;
    }
    if (!Reader.AtEnd()) {
        aError = "bytes after the payload";
        return std::nullopt;
    }
    if (Size > std::uint32_t(INT32_MAX)) {
        aError = "fragment size out of range";
        return std::nullopt;
    }
    if (std::uint8_t(Streaming[0]) > std::uint8_t(TwsStreaming::stmContinueAndLast)) {
        aError = "unknown streaming mode " + std::to_string(std::uint8_t(Streaming[0]));
        return std::nullopt;
    }
    if (!IsBroadcast(Message.Kind) && Message.Guid.empty()) {
        aError = "write without a GUID";
        return std::nullopt;
    }
    Message.Size = std::int32_t(Size);
    Message.Streaming = TwsStreaming(std::uint8_t(Streaming[0]));
    return Message;
}

// --- Wake-up descriptor ---

TzefWSCluster::TWakeFd::TWakeFd() : FFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
}

TzefWSCluster::TWakeFd::~TWakeFd() {
    if (FFd >= 0) {
        close(FFd);
    }
}

void TzefWSCluster::TWakeFd::Signal() {
    const std::uint64_t One = 1;
    // A full counter (never in practice) already wakes the reader.
    [[maybe_unused]] ssize_t Written = write(FFd, &One, sizeof One);
}

void TzefWSCluster::TWakeFd::Clear() {
    std::uint64_t Value = 0;
    [[maybe_unused]] ssize_t Read = read(FFd, &Value, sizeof Value);
}

// --- The link thread's loop ---

/// The link thread's state: the two connections, the phase's timers and what is in flight.
/// Link thread only.
class TzefWSCluster::TLinkLoop {
public:
    TLinkLoop(TzefWSCluster& aOwner, const TzefWSCluster_Options& aOptions, std::string aNode)
        : FOwner(aOwner)
        , FOptions(aOptions)
        , FNode(std::move(aNode))
        , FChannel(aOptions.ChannelPrefix() + ":messages")
        , FNodesKey(aOptions.ChannelPrefix() + ":nodes")
        , FNodePrefix(aOptions.ChannelPrefix() + ":node:")
        , FNodeKey(FNodePrefix + FNode)
        , FRandom(std::random_device{}()) {}

    void Run(std::stop_token aStop);

private:
    void BeginConnect(TClock::time_point aNow);
    /// aReason by value: it may be FFailure itself, which is cleared here.
    void Fail(std::string aReason, TClock::time_point aNow);
    void SendOutgoing(TClock::time_point aNow, bool aAll);
    void SendPresence(TClock::time_point aNow);
    void SendPresenceBatch(bool aReset, const std::vector<std::string>& aAdds,
                           const std::vector<std::string>& aRemoves);
    void SendCounts(TClock::time_point aNow);
    void Leave();
    void Answered() { FLastAnswer = TClock::now(); }
    void BeforeCommand(TClock::time_point aNow) {
        if (FCommands.PendingReplies() == 0) {
            FLastAnswer = aNow; // The answer's time-out runs from the first command in flight.
        }
    }
    void FailLater(const std::string& aReason) {
        if (FFailure.empty()) {
            FFailure = aReason;
        }
    }

    TzefWSCluster& FOwner;
    const TzefWSCluster_Options FOptions;
    const std::string FNode;
    const std::string FChannel;
    const std::string FNodesKey;
    const std::string FNodePrefix;
    const std::string FNodeKey;
    std::minstd_rand FRandom;

    TPhase FPhase = TPhase::phDown;
    bool FPong = false;       // The command connection answered (after AUTH, when sent).
    bool FSubscribed = false; // The subscription is confirmed.
    bool FWasUp = false;      // The link was up since the last failure.
    std::string FFailure;     // Set by a handler; the loop fails the link with it.
    int FFailures = 0;        // Failed attempts in a row.
    TClock::time_point FRetryAt{};
    TClock::time_point FConnectStarted{};
    TClock::time_point FNextTouch{};
    TClock::time_point FLastAnswer{};
    TzefRedisConnection FCommands;
    TzefRedisConnection FSubscription; // Declared last: closed first, its handlers use the rest.
};

void TzefWSCluster::TLinkLoop::Run(std::stop_token aStop) {
    BeginConnect(TClock::now());
    const milliseconds Timeout(std::max(FOptions.Timeout(), 1));
    while (!aStop.stop_requested()) {
        TClock::time_point Now = TClock::now();
        if (!FFailure.empty()) {
            Fail(FFailure, Now);
        }
        if (FPhase == TPhase::phDown && Now >= FRetryAt) {
            BeginConnect(Now);
        } else if (FPhase == TPhase::phConnecting && Now - FConnectStarted >= Timeout) {
            Fail("no answer within " + std::to_string(Timeout.count()) + " ms", Now);
        } else if (FPhase == TPhase::phUp) {
            SendPresence(Now);
            SendCounts(Now);
            SendOutgoing(Now, false);
            if (FCommands.PendingReplies() > 0 && Now - FLastAnswer >= Timeout) {
                Fail("no answer within " + std::to_string(Timeout.count()) + " ms", Now);
            }
        }

        milliseconds Wait = std::min(FOwner.FlushReport(Now), milliseconds(1000));
        auto Until = [&](TClock::time_point aAt) {
            Wait = std::min(Wait, std::max(milliseconds(0),
                                           std::chrono::duration_cast<milliseconds>(aAt - Now) +
                                               milliseconds(1)));
        };
        if (FPhase == TPhase::phDown) {
            Until(FRetryAt);
        } else if (FPhase == TPhase::phConnecting) {
            Until(FConnectStarted + Timeout);
        } else {
            Until(FNextTouch);
            if (FCommands.PendingReplies() > 0) {
                Until(FLastAnswer + Timeout);
            }
        }
        pollfd Polls[3] = {{FOwner.FWake.Fd(), POLLIN, 0},
                           {FCommands.Fd(), FCommands.PollEvents(), 0},
                           {FSubscription.Fd(), FSubscription.PollEvents(), 0}};
        if (poll(Polls, 3, int(Wait.count())) < 0 && errno != EINTR) {
            Fail(std::string("poll failed: ") + std::strerror(errno), TClock::now());
            continue;
        }
        if (Polls[0].revents != 0) {
            FOwner.FWake.Clear();
        }
        if (Polls[1].revents != 0) {
            FCommands.HandleEvents(Polls[1].revents);
        }
        if (Polls[2].revents != 0) {
            FSubscription.HandleEvents(Polls[2].revents);
        }
        if (FPhase == TPhase::phDown) {
            continue;
        }
        Now = TClock::now();
        if (!FFailure.empty()) {
            // A refusal explains a closed connection better than the closing does.
            Fail(FFailure, Now);
        } else if (FCommands.State() == TzefRedisConnection::TState::rsClosed) {
            Fail(FCommands.LastError(), Now);
        } else if (FSubscription.State() == TzefRedisConnection::TState::rsClosed) {
            Fail(FSubscription.LastError(), Now);
        } else if (FSubscription.PendingInput() > FOptions.MaxMessageSize() + ReplyOverhead) {
            FOwner.NoteDropped(1, "a message from Redis exceeds the limit of " +
                                      std::to_string(FOptions.MaxMessageSize()) + " bytes");
            Fail("a message from Redis exceeds the limit of " +
                     std::to_string(FOptions.MaxMessageSize()) + " bytes",
                 Now);
        } else if (FPhase == TPhase::phConnecting && FPong && FSubscribed && FFailure.empty()) {
            FPhase = TPhase::phUp;
            FWasUp = true;
            FFailures = 0;
            FNextTouch = Now;
            ++FOwner.FConnects;
            FOwner.SetPhase(TPhase::phUp);
        }
    }
    Leave();
}

void TzefWSCluster::TLinkLoop::BeginConnect(TClock::time_point aNow) {
    FPhase = TPhase::phConnecting;
    FConnectStarted = aNow;
    FPong = false;
    FSubscribed = false;
    FFailure.clear();
    FOwner.SetPhase(TPhase::phConnecting);
    if (!FCommands.Connect(FOptions.Host(), FOptions.Port())) {
        Fail(FCommands.LastError(), aNow);
        return;
    }
    if (!FSubscription.Connect(FOptions.Host(), FOptions.Port())) {
        Fail(FSubscription.LastError(), aNow);
        return;
    }
    auto Refused = [this](const TzefRedisReply* aReply) {
        if (aReply != nullptr && aReply->Kind == TzefRedisReply::TKind::rkError) {
            FailLater("Redis refused the password: " + std::string(aReply->Text));
        }
    };
    if (!FOptions.Password().empty()) {
        // AUTH goes first on both; commands queued behind it are answered after it.
        FCommands.Command({"AUTH", FOptions.Password()}, Refused);
        FSubscription.Command({"AUTH", FOptions.Password()}, Refused);
    }
    FCommands.Command({"PING"}, [this](const TzefRedisReply* aReply) {
        if (aReply == nullptr) {
            return;
        }
        if (aReply->Kind == TzefRedisReply::TKind::rkError) {
            FailLater(std::string(aReply->Text));
        } else {
            FPong = true;
        }
    });
    FSubscription.Subscribe(FChannel, [this](const TzefRedisReply* aReply) {
        if (aReply == nullptr) {
            return;
        }
        if (aReply->Kind != TzefRedisReply::TKind::rkArray || aReply->Elements.size() < 3) {
            if (aReply->Kind == TzefRedisReply::TKind::rkError) {
                FailLater(std::string(aReply->Text));
            }
            return;
        }
        const std::string_view Type = aReply->Elements[0].Text;
        if (Type == "message") {
            FOwner.TakeIncoming(aReply->Elements[2].Text);
        } else if (Type == "subscribe") {
            FSubscribed = true;
        }
    });
}

void TzefWSCluster::TLinkLoop::Fail(std::string aReason, TClock::time_point aNow) {
    const bool WasUp = FWasUp;
    FWasUp = false;
    FPhase = TPhase::phDown;
    FFailure.clear();
    FOwner.SetPhase(TPhase::phDown); // Drops what waits to go out and fails the count requests.
    // Handlers of commands in flight run with null here: publishes not confirmed count as lost.
    FSubscription.Close();
    FCommands.Close();
    FOwner.NoteProblem((WasUp ? "lost the link to Redis at " : "cannot reach Redis at ") +
                       Address(FOptions) + " (" + aReason + ")");
    ++FFailures;
    const int Shift = std::min(FFailures - 1, 20);
    const std::int64_t Ceiling = std::max(FOptions.ReconnectMax(), 1);
    const std::int64_t Delay = std::min<std::int64_t>(
        Ceiling, std::int64_t(std::max(FOptions.ReconnectMin(), 1)) << Shift);
    // Between half and all of the delay: nodes that lost Redis together do not come back in step.
    std::uniform_int_distribution<std::int64_t> Jitter(Delay / 2, Delay);
    FRetryAt = aNow + milliseconds(Jitter(FRandom));
}

void TzefWSCluster::TLinkLoop::SendOutgoing(TClock::time_point aNow, bool aAll) {
    std::deque<std::string> Batch;
    while (aAll || FCommands.PendingOutput() < WriteChunk) {
        {
            std::scoped_lock Lock(FOwner.FLock);
            if (FOwner.FOutgoing.empty()) {
                return;
            }
            // Up to a chunk's worth at a time, so that the lock is held briefly.
            std::size_t Bytes = 0;
            while (!FOwner.FOutgoing.empty() && Bytes < WriteChunk) {
                Bytes += FOwner.FOutgoing.front().size();
                Batch.push_back(std::move(FOwner.FOutgoing.front()));
                FOwner.FOutgoing.pop_front();
            }
            FOwner.FOutgoingBytes -= std::min(FOwner.FOutgoingBytes, Bytes);
        }
        BeforeCommand(aNow);
        for (const std::string& Message : Batch) {
            const bool Queued = FCommands.Command(
                {"PUBLISH", FChannel, Message}, [this](const TzefRedisReply* aReply) {
                    if (aReply == nullptr) {
                        FOwner.NoteDropped(1, "the link to Redis was lost");
                        return;
                    }
                    Answered();
                    if (aReply->Kind == TzefRedisReply::TKind::rkError) {
                        FOwner.NoteDropped(1, "Redis refused it: " + std::string(aReply->Text));
                    } else {
                        ++FOwner.FPublished;
                    }
                });
            if (!Queued) {
                FOwner.NoteDropped(1, "the link to Redis was lost");
            }
        }
        Batch.clear();
    }
}

void TzefWSCluster::TLinkLoop::SendPresence(TClock::time_point aNow) {
    bool Reset = false;
    std::vector<std::string> Adds;
    std::vector<std::string> Removes;
    {
        std::scoped_lock Lock(FOwner.FLock);
        if (FOwner.FResync) {
            Reset = true;
            FOwner.FResync = false;
            FOwner.FToAdd.clear();
            FOwner.FToRemove.clear();
            Adds.assign(FOwner.FLocal.begin(), FOwner.FLocal.end());
        } else {
            Adds.assign(FOwner.FToAdd.begin(), FOwner.FToAdd.end());
            Removes.assign(FOwner.FToRemove.begin(), FOwner.FToRemove.end());
            FOwner.FToAdd.clear();
            FOwner.FToRemove.clear();
        }
    }
    if (!Reset && Adds.empty() && Removes.empty() && aNow < FNextTouch) {
        return;
    }
    BeforeCommand(aNow);
    std::size_t A = 0;
    std::size_t R = 0;
    do {
        std::vector<std::string> SomeAdds;
        std::vector<std::string> SomeRemoves;
        while (A < Adds.size() && SomeAdds.size() < PresenceBatch) {
            SomeAdds.push_back(std::move(Adds[A++]));
        }
        while (R < Removes.size() && SomeAdds.size() + SomeRemoves.size() < PresenceBatch) {
            SomeRemoves.push_back(std::move(Removes[R++]));
        }
        SendPresenceBatch(Reset, SomeAdds, SomeRemoves);
        Reset = false;
    } while (A < Adds.size() || R < Removes.size());
    FNextTouch = aNow + milliseconds(std::max(FOptions.KeyExpiry(), 300) / 3);
}

void TzefWSCluster::TLinkLoop::SendPresenceBatch(bool aReset, const std::vector<std::string>& aAdds,
                                                 const std::vector<std::string>& aRemoves) {
    const std::string Expiry = std::to_string(std::max(FOptions.KeyExpiry(), 300));
    const std::string AddCount = std::to_string(aAdds.size());
    std::vector<std::string_view> Arguments = {"EVAL",    PresenceScript,     "2",
                                               FNodesKey, FNodeKey,           Expiry,
                                               FNode,     aReset ? "1" : "0", AddCount};
    Arguments.insert(Arguments.end(), aAdds.begin(), aAdds.end());
    Arguments.insert(Arguments.end(), aRemoves.begin(), aRemoves.end());
    FCommands.Command(Arguments, [this](const TzefRedisReply* aReply) {
        if (aReply == nullptr) {
            return;
        }
        Answered();
        if (aReply->Kind == TzefRedisReply::TKind::rkError) {
            FOwner.NoteProblem("listing this node's connections in Redis failed (" +
                               std::string(aReply->Text) + ")");
        }
    });
}

void TzefWSCluster::TLinkLoop::SendCounts(TClock::time_point aNow) {
    std::vector<TzefWSClusterCountEvent> Requests;
    {
        std::scoped_lock Lock(FOwner.FLock);
        Requests.swap(FOwner.FCountRequests);
    }
    for (TzefWSClusterCountEvent& Done : Requests) {
        BeforeCommand(aNow);
        auto Shared = std::make_shared<TzefWSClusterCountEvent>(std::move(Done));
        const bool Queued =
            FCommands.Command({"EVAL", CountScript, "1", FNodesKey, FNodePrefix},
                              [this, Shared](const TzefRedisReply* aReply) {
                                  std::optional<std::int64_t> Count;
                                  if (aReply != nullptr) {
                                      Answered();
                                      if (aReply->Kind == TzefRedisReply::TKind::rkInteger) {
                                          Count = aReply->Integer;
                                      }
                                  }
                                  try {
                                      (*Shared)(Count);
                                  } catch (...) {
                                      // The application's handler must not end the link thread.
                                  }
                              });
        if (!Queued) {
            try {
                (*Shared)(std::nullopt);
            } catch (...) {
            }
        }
    }
}

void TzefWSCluster::TLinkLoop::Leave() {
    if (FPhase == TPhase::phUp) {
        const TClock::time_point Now = TClock::now();
        SendOutgoing(Now, true);
        BeforeCommand(Now);
        FCommands.Command({"EVAL", LeaveScript, "2", FNodesKey, FNodeKey, FNode}, nullptr);
        // What was queued goes out and is answered, within the time-out.
        const TClock::time_point Deadline =
            Now + milliseconds(std::clamp(FOptions.Timeout(), 1, 2000));
        while (FCommands.State() == TzefRedisConnection::TState::rsConnected &&
               (FCommands.PendingReplies() > 0 || FCommands.PendingOutput() > 0)) {
            const auto Left =
                std::chrono::duration_cast<milliseconds>(Deadline - TClock::now()).count();
            if (Left <= 0) {
                break;
            }
            pollfd Poll{FCommands.Fd(), FCommands.PollEvents(), 0};
            if (poll(&Poll, 1, int(Left)) > 0) {
                FCommands.HandleEvents(Poll.revents);
            }
        }
    }
    FPhase = TPhase::phDown;
    FSubscription.Close();
    FCommands.Close();
}

// --- The link ---

TzefWSCluster::TzefWSCluster(TDeliverEvent aDeliver, TReportEvent aReport)
    : FDeliver(std::move(aDeliver))
    , FReport(std::move(aReport)) {
}

TzefWSCluster::~TzefWSCluster() {
    Join();
}

void TzefWSCluster::Start(const TzefWSCluster_Options& aOptions) {
    Join();
    std::string Node = aOptions.NodeName().empty() ? HostName() + ":" + std::to_string(getpid())
                                                   : aOptions.NodeName();
    {
        std::scoped_lock Lock(FLock);
        FOptions.Assign(aOptions);
        FInstance = NewGuid();
        FNode = Node;
        FPhase = TPhase::phConnecting;
        FFirstAttemptDone = false;
        FOutgoing.clear();
        FOutgoingBytes = 0;
        FLocal.clear();
        FToAdd.clear();
        FToRemove.clear();
        FResync = true;
        FCountRequests.clear();
        FIncoming.clear();
        FIncomingBytes = 0;
    }
    {
        std::scoped_lock Lock(FReportLock);
        FReportInterval = milliseconds(std::max(aOptions.ErrorInterval(), 0));
        FDroppedSinceReport = 0;
        FMalformedSinceReport = 0;
        FProblem.clear();
        FLastReport.reset();
        FReportWoken = false;
    }
    FRunning = true;
    FDeliveryThread = std::jthread([this](std::stop_token Stop) { RunDelivery(Stop); });
    FLinkThread = std::jthread([this](std::stop_token Stop) { RunLink(Stop); });
    std::unique_lock Lock(FLock);
    FFirstAttempt.wait_for(Lock, milliseconds(std::max(aOptions.Timeout(), 1)) + milliseconds(500),
                           [this] { return FFirstAttemptDone; });
}

void TzefWSCluster::Stop() {
    FRunning = false;
    if (FLinkThread.joinable()) {
        FLinkThread.request_stop();
        FWake.Signal();
        FLinkThread.join();
    }
    std::uint64_t Lost = 0;
    {
        std::scoped_lock Lock(FLock);
        FPhase = TPhase::phStopped;
        Lost = FOutgoing.size() + FIncoming.size();
        FOutgoing.clear();
        FOutgoingBytes = 0;
        FIncoming.clear();
        FIncomingBytes = 0;
        FLocal.clear();
        FToAdd.clear();
        FToRemove.clear();
        if (FDeliveryThread.joinable()) {
            FDeliveryThread.request_stop();
        }
    }
    FArrived.notify_all();
    FDropped += Lost;
}

void TzefWSCluster::Join() {
    Stop();
    if (FDeliveryThread.joinable()) {
        FDeliveryThread.join();
    }
}

std::string TzefWSCluster::Instance() const {
    std::scoped_lock Lock(FLock);
    return FInstance;
}

std::string TzefWSCluster::NodeName() const {
    std::scoped_lock Lock(FLock);
    return FNode;
}

void TzefWSCluster::RunLink(std::stop_token aStop) {
    try {
        TzefWSCluster_Options Options;
        std::string Node;
        {
            std::scoped_lock Lock(FLock);
            Options.Assign(FOptions);
            Node = FNode;
        }
        TLinkLoop Loop(*this, Options, Node);
        Loop.Run(aStop);
    } catch (const std::exception& E) {
        NoteProblem(std::string("the link thread failed: ") + E.what());
        FlushReport(TClock::now() + std::chrono::hours(1));
    } catch (...) {
        NoteProblem("the link thread failed");
        FlushReport(TClock::now() + std::chrono::hours(1));
    }
    SetPhase(TPhase::phDown);
}

void TzefWSCluster::RunDelivery(std::stop_token aStop) {
    while (true) {
        std::string Data;
        {
            std::unique_lock Lock(FLock);
            FArrived.wait(Lock, aStop, [this] { return !FIncoming.empty(); });
            if (aStop.stop_requested()) {
                return;
            }
            Data = std::move(FIncoming.front());
            FIncoming.pop_front();
            FIncomingBytes -= std::min(FIncomingBytes, Data.size());
        }
        try {
            std::string Error;
            std::optional<TzefWSClusterMessage> Message = DecodeClusterMessage(Data, Error);
            if (!Message) {
                NoteMalformed(Error);
                continue;
            }
            FDeliver(*Message);
            ++FDelivered;
        } catch (const std::exception& E) {
            NoteProblem(std::string("delivering a message of another node failed: ") + E.what());
        } catch (...) {
            NoteProblem("delivering a message of another node failed");
        }
    }
}

bool TzefWSCluster::Publish(TzefWSClusterMessage aMessage) {
    std::size_t Limit = 0;
    std::size_t QueueLimit = 0;
    {
        std::scoped_lock Lock(FLock);
        if (FPhase == TPhase::phStopped) {
            return false;
        }
        aMessage.Origin = FInstance;
        Limit = FOptions.MaxMessageSize();
        QueueLimit = FOptions.MaxQueueSize();
    }
    std::string Data = EncodeClusterMessage(aMessage);
    if (Data.size() > Limit) {
        NoteDropped(1, "a message of " + std::to_string(Data.size()) +
                           " bytes exceeds the limit of " + std::to_string(Limit) + " bytes");
        return false;
    }
    bool LinkDown = false;
    {
        std::scoped_lock Lock(FLock);
        if (FPhase == TPhase::phStopped) {
            return false;
        }
        LinkDown = FPhase == TPhase::phDown;
        if (!LinkDown && FOutgoingBytes + Data.size() <= QueueLimit) {
            const bool WasEmpty = FOutgoing.empty();
            FOutgoingBytes += Data.size();
            FOutgoing.push_back(std::move(Data));
            // A queue that was not empty has its wake-up pending: the link thread takes every
            // queued message when it runs.
            if (WasEmpty) {
                FWake.Signal();
            }
            return true;
        }
    }
    NoteDropped(1, LinkDown ? "the link to Redis is down" : "the queue to Redis is full");
    return false;
}

void TzefWSCluster::ConnectionAdded(const std::string& aGuid) {
    bool Send = false;
    {
        std::scoped_lock Lock(FLock);
        if (FPhase == TPhase::phStopped) {
            return;
        }
        FLocal.insert(aGuid);
        if (!FResync) {
            FToRemove.erase(aGuid);
            FToAdd.insert(aGuid);
            Send = FPhase == TPhase::phUp;
        }
    }
    if (Send) {
        FWake.Signal();
    }
}

void TzefWSCluster::ConnectionRemoved(const std::string& aGuid) {
    bool Send = false;
    {
        std::scoped_lock Lock(FLock);
        if (FPhase == TPhase::phStopped) {
            return;
        }
        FLocal.erase(aGuid);
        if (!FResync) {
            if (FToAdd.erase(aGuid) == 0) {
                FToRemove.insert(aGuid);
            }
            Send = FPhase == TPhase::phUp;
        }
    }
    if (Send) {
        FWake.Signal();
    }
}

bool TzefWSCluster::RequestCount(TzefWSClusterCountEvent aDone) {
    {
        std::scoped_lock Lock(FLock);
        if (FPhase != TPhase::phUp) {
            return false;
        }
        FCountRequests.push_back(std::move(aDone));
    }
    FWake.Signal();
    return true;
}

TzefWSClusterStatistics TzefWSCluster::Statistics() const {
    TzefWSClusterStatistics Result;
    {
        std::scoped_lock Lock(FLock);
        Result.Connected = FPhase == TPhase::phUp;
    }
    Result.Published = FPublished.load();
    Result.Received = FReceived.load();
    Result.Delivered = FDelivered.load();
    Result.Dropped = FDropped.load();
    Result.Malformed = FMalformed.load();
    Result.Connects = FConnects.load();
    return Result;
}

void TzefWSCluster::SetPhase(TPhase aPhase) {
    std::vector<TzefWSClusterCountEvent> Failed;
    std::uint64_t Lost = 0;
    {
        std::scoped_lock Lock(FLock);
        if (FPhase == TPhase::phStopped) {
            return;
        }
        FPhase = aPhase;
        if (aPhase == TPhase::phDown) {
            // The list goes again once the link is back (Redis may have lost it meanwhile).
            FResync = true;
            FToAdd.clear();
            FToRemove.clear();
            Failed.swap(FCountRequests);
            Lost = FOutgoing.size();
            FOutgoing.clear();
            FOutgoingBytes = 0;
        }
        if (aPhase != TPhase::phConnecting) {
            FFirstAttemptDone = true;
        }
    }
    FFirstAttempt.notify_all();
    if (Lost > 0) {
        NoteDropped(Lost, "the link to Redis was lost");
    }
    for (TzefWSClusterCountEvent& Done : Failed) {
        try {
            Done(std::nullopt);
        } catch (...) {
        }
    }
}

void TzefWSCluster::TakeIncoming(std::string_view aPayload) {
    std::size_t Limit = 0;
    std::size_t QueueLimit = 0;
    {
        std::scoped_lock Lock(FLock);
        Limit = FOptions.MaxMessageSize();
        QueueLimit = FOptions.MaxQueueSize();
        // A node's own messages come back on the channel: it has delivered them already.
        if (aPayload.size() >= HeaderLength && aPayload.substr(0, Magic.size()) == Magic &&
            aPayload.substr(4, OriginLength) == FInstance) {
            return;
        }
    }
    if (aPayload.size() > Limit) {
        NoteDropped(1, "a message of " + std::to_string(aPayload.size()) +
                           " bytes from Redis exceeds the limit of " + std::to_string(Limit) +
                           " bytes");
        return;
    }
    ++FReceived;
    {
        std::scoped_lock Lock(FLock);
        if (FIncomingBytes + aPayload.size() <= QueueLimit) {
            FIncomingBytes += aPayload.size();
            FIncoming.emplace_back(aPayload);
            FArrived.notify_one();
            return;
        }
    }
    NoteDropped(1, "the delivery queue is full");
}

// --- Reports ---

void TzefWSCluster::NoteDropped(std::uint64_t aCount, const std::string& aReason) {
    FDropped += aCount;
    bool Wake = false;
    {
        std::scoped_lock Lock(FReportLock);
        FDroppedSinceReport += aCount;
        FDropReason = aReason;
        Wake = !std::exchange(FReportWoken, true);
    }
    if (Wake) {
        FWake.Signal();
    }
}

void TzefWSCluster::NoteMalformed(const std::string& aReason) {
    ++FMalformed;
    bool Wake = false;
    {
        std::scoped_lock Lock(FReportLock);
        ++FMalformedSinceReport;
        FMalformedReason = aReason;
        Wake = !std::exchange(FReportWoken, true);
    }
    if (Wake) {
        FWake.Signal();
    }
}

void TzefWSCluster::NoteProblem(const std::string& aText) {
    bool Wake = false;
    {
        std::scoped_lock Lock(FReportLock);
        FProblem = aText;
        Wake = !std::exchange(FReportWoken, true);
    }
    if (Wake) {
        FWake.Signal();
    }
}

std::chrono::milliseconds TzefWSCluster::FlushReport(TClock::time_point aNow) {
    std::string Text;
    milliseconds Interval(0);
    {
        std::scoped_lock Lock(FReportLock);
        if (FProblem.empty() && FDroppedSinceReport == 0 && FMalformedSinceReport == 0) {
            FReportWoken = false;
            return milliseconds(1000);
        }
        Interval = FReportInterval;
        if (FLastReport && aNow - *FLastReport < Interval) {
            return std::chrono::duration_cast<milliseconds>(Interval - (aNow - *FLastReport)) +
                   milliseconds(1);
        }
        Text = "Cluster: ";
        std::string Separator;
        if (!FProblem.empty()) {
            Text += FProblem;
            Separator = "; ";
        }
        if (FDroppedSinceReport > 0) {
            Text += Separator + std::to_string(FDroppedSinceReport) +
                    (FDroppedSinceReport == 1 ? " message" : " messages") + " dropped (" +
                    FDropReason + ")";
            Separator = "; ";
        }
        if (FMalformedSinceReport > 0) {
            Text += Separator + std::to_string(FMalformedSinceReport) + " malformed" +
                    (FMalformedSinceReport == 1 ? " message" : " messages") +
                    " from Redis dropped (" + FMalformedReason + ")";
        }
        FProblem.clear();
        FDroppedSinceReport = 0;
        FMalformedSinceReport = 0;
        FLastReport = aNow;
        FReportWoken = false;
    }
    try {
        if (FReport) {
            FReport(Text);
        }
    } catch (...) {
        // A failing report handler must not end the link thread.
    }
    return std::max(Interval, milliseconds(1));
}

} // namespace zef
