// zefWebSocket_Cluster: several servers as one, with Redis as the pub/sub backplane: the cluster
// options, the messages that nodes exchange, and the link of one node to the others.
#pragma once

#include "websocket/core/zefWebSocket_Types.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

namespace zef {

/// The cluster property group of a server component. Off by default: a server without it
/// reaches only its own connections.
class TzefWSCluster_Options {
public:
    void Assign(const TzefWSCluster_Options& Source) { *this = Source; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    /// Redis's address (a name or an IP address) and port.
    const std::string& Host() const { return FHost; }
    void SetHost(std::string Value) { FHost = std::move(Value); }
    int Port() const { return FPort; }
    void SetPort(int Value) { FPort = Value; }
    /// Sent with AUTH when not empty.
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string Value) { FPassword = std::move(Value); }
    /// Names the cluster: the prefix of its pub/sub channel and of its keys. Nodes with the same
    /// prefix on the same Redis form one cluster.
    const std::string& ChannelPrefix() const { return FChannelPrefix; }
    void SetChannelPrefix(std::string Value) { FChannelPrefix = std::move(Value); }
    /// This node's name among the cluster's nodes (its connections are listed under it); ""
    /// takes the host name and the process id ("host:pid"). Names must differ between nodes.
    const std::string& NodeName() const { return FNodeName; }
    void SetNodeName(std::string Value) { FNodeName = std::move(Value); }
    /// Milliseconds a node's list of connections outlives the node's last sign of life; the
    /// node refreshes it every third of that time. At least 300.
    int KeyExpiry() const { return FKeyExpiry; }
    void SetKeyExpiry(int Value) { FKeyExpiry = Value; }
    /// Largest message (encoded, bytes) sent to or accepted from the other nodes; larger ones are
    /// dropped and reported.
    std::size_t MaxMessageSize() const { return FMaxMessageSize; }
    void SetMaxMessageSize(std::size_t Value) { FMaxMessageSize = Value; }
    /// Bytes of messages waiting to go out to Redis, and separately waiting to be delivered
    /// here, beyond which new messages are dropped and reported.
    std::size_t MaxQueueSize() const { return FMaxQueueSize; }
    void SetMaxQueueSize(std::size_t Value) { FMaxQueueSize = Value; }
    /// Milliseconds of the first wait before connecting again after a failure; each failure in a
    /// row doubles it, up to ReconnectMax.
    int ReconnectMin() const { return FReconnectMin; }
    void SetReconnectMin(int Value) { FReconnectMin = Value; }
    int ReconnectMax() const { return FReconnectMax; }
    void SetReconnectMax(int Value) { FReconnectMax = Value; }
    /// Milliseconds allowed for connecting and for each answer of Redis; beyond it the link is
    /// taken as lost. Starting the component waits at most this long for the first attempt.
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }
    /// Milliseconds between two reports through the component's error event; what happens in
    /// between is summed up in the next report.
    int ErrorInterval() const { return FErrorInterval; }
    void SetErrorInterval(int Value) { FErrorInterval = Value; }

private:
    bool FEnabled = false;
    std::string FHost = "127.0.0.1";
    int FPort = 6379;
    std::string FPassword;
    std::string FChannelPrefix = "zefWebSockets";
    std::string FNodeName;
    int FKeyExpiry = 30000;
    std::size_t FMaxMessageSize = 4u * 1024 * 1024;
    std::size_t FMaxQueueSize = 16u * 1024 * 1024;
    int FReconnectMin = 100;
    int FReconnectMax = 2000;
    int FTimeout = 5000;
    int FErrorInterval = 1000;
};

/// What a node asks the other nodes to do.
enum class TzefWSClusterKind : std::uint8_t {
    ckBroadcastText = 1,   // Broadcast of a text message
    ckBroadcastBinary = 2, // Broadcast of a binary message
    ckWriteText = 3,       // WriteData of a text message to one GUID
    ckWriteBinary = 4,     // WriteData of a binary message to one GUID
};

/// One message between the nodes of a cluster.
struct TzefWSClusterMessage {
    TzefWSClusterKind Kind = TzefWSClusterKind::ckBroadcastText;
    /// The sending node's instance (32 upper-case hexadecimal digits, new at every start).
    std::string Origin;
    std::string Channel, Protocol, Exclude, Include; // Broadcasts.
    std::string Guid;                                // Writes: the connection addressed.
    std::int32_t Size = 0;                           // Fragment size (binary), 0 for none.
    TwsStreaming Streaming = TwsStreaming::stmNone;  // Binary.
    std::string Payload;
    bool operator==(const TzefWSClusterMessage&) const = default;
};

/// The wire form: "ZC", version 1, the kind, the origin's 32 digits; then each text field as a
/// 32-bit big-endian length and its bytes (channel, protocol, exclude and include for
/// broadcasts, the GUID for writes); the size (32-bit big-endian, not negative), the streaming
/// mode (one byte) and the payload (length and bytes), with nothing after it.
std::string EncodeClusterMessage(const TzefWSClusterMessage& aMessage);
/// The message in aData; nullopt, with the reason in aError, for anything that is not exactly
/// one well-formed message.
std::optional<TzefWSClusterMessage> DecodeClusterMessage(std::string_view aData,
                                                         std::string& aError);

/// Counters of a node's link, since the component started.
struct TzefWSClusterStatistics {
    bool Connected = false;      // The link is up (both connections, subscribed).
    std::uint64_t Published = 0; // Messages Redis took from this node.
    std::uint64_t Received = 0;  // Messages of other nodes taken for delivery here.
    std::uint64_t Delivered = 0; // Of those, handed to the local connections.
    std::uint64_t Dropped = 0;   // Outgoing or incoming messages lost (link down, full, too big).
    std::uint64_t Malformed = 0; // Incoming messages that were not well formed.
    std::uint64_t Connects = 0;  // Times the link came up.
};

/// The cluster's connection count: the sum over the live nodes; nullopt when Redis did not
/// answer.
using TzefWSClusterCountEvent = std::function<void(std::optional<std::int64_t> Count)>;

/// The link of one node to the others through Redis. Owned by the server component, which
/// starts it before its transport and stops it before its transport stops. Its own thread
/// drives two connections to Redis (commands and the subscription) and never runs
/// application code but the report and the count's handler; a second thread delivers the other
/// nodes' messages through aDeliver. Every public operation is safe from any thread and never
/// waits for Redis (Start and Stop wait, bounded, on the owner's thread).
///
/// A write to a GUID of another node goes on the one channel like a broadcast, and the node that
/// holds the GUID writes it: no lookup in Redis on the message path, no entry that is stale or
/// not yet written when a client has just learnt a GUID, and one ordered stream per sender for
/// its broadcasts and writes alike. Every node looks at every such write, which costs little for
/// the few nodes of a cluster.
///
/// In Redis: the channel "<prefix>:messages" carries the messages; the set
/// "<prefix>:node:<name>" lists a node's connections and expires KeyExpiry after the node's last
/// refresh; the sorted set "<prefix>:nodes" lists the nodes by the time their list expires.
class TzefWSCluster {
public:
    /// Delivers one message of another node to this node's connections (delivery thread).
    using TDeliverEvent = std::function<void(const TzefWSClusterMessage& aMessage)>;
    /// Reports a fault (link thread or delivery thread), at most once per ErrorInterval.
    using TReportEvent = std::function<void(const std::string& aText)>;

    TzefWSCluster(TDeliverEvent aDeliver, TReportEvent aReport);
    TzefWSCluster(const TzefWSCluster&) = delete;
    TzefWSCluster& operator=(const TzefWSCluster&) = delete;
    /// Stops and joins both threads.
    ~TzefWSCluster();

    /// Starts with aOptions (a running link is stopped first) and waits until the first attempt
    /// to reach Redis has ended, at most aOptions.Timeout() ms. A node that could not reach Redis
    /// runs all the same and keeps trying.
    void Start(const TzefWSCluster_Options& aOptions);
    /// Ends the link: queued messages go out (at most Timeout ms), the node's list of connections
    /// is removed from Redis, the link thread ends; the delivery thread takes no further message.
    /// The delivery under way may still run: Join waits for it.
    void Stop();
    /// Stop, then waits for the delivery thread to end.
    void Join();
    bool Running() const { return FRunning.load(); }
    /// This start's instance id, which the other nodes see as the origin of its messages.
    std::string Instance() const;
    /// This node's name among the nodes ("" until started).
    std::string NodeName() const;

    /// Hands aMessage to the other nodes (its Origin is set here). False when it was dropped:
    /// the link is down, or the message or the queue is too large (counted and reported), or the
    /// link is not running.
    bool Publish(TzefWSClusterMessage aMessage);
    /// A connection of this node was announced or has ended: its GUID is listed in (removed
    /// from) this node's list in Redis, now or once the link is up again.
    void ConnectionAdded(const std::string& aGuid);
    void ConnectionRemoved(const std::string& aGuid);
    /// Asks Redis for the cluster's connection count. False when the link is not up (aDone is
    /// then not called); otherwise aDone runs once, on the link thread, with the count or with
    /// nullopt when the link was lost first. aDone must return quickly.
    bool RequestCount(TzefWSClusterCountEvent aDone);
    TzefWSClusterStatistics Statistics() const;

private:
    class TLinkLoop;
    enum class TPhase : std::uint8_t { phStopped, phDown, phConnecting, phUp };

    /// An eventfd that wakes the link thread's poll; owns the descriptor.
    class TWakeFd {
    public:
        TWakeFd();
        ~TWakeFd();
        TWakeFd(const TWakeFd&) = delete;
        TWakeFd& operator=(const TWakeFd&) = delete;
        int Fd() const { return FFd; }
        void Signal();
        void Clear();

    private:
        int FFd = -1;
    };

    void RunLink(std::stop_token aStop);
    void RunDelivery(std::stop_token aStop);
    /// Counts aCount lost messages; the next report names aReason.
    void NoteDropped(std::uint64_t aCount, const std::string& aReason);
    void NoteMalformed(const std::string& aReason);
    void NoteProblem(const std::string& aText);
    /// Emits the pending report when one is due (link thread); returns how long until the
    /// next check is needed.
    std::chrono::milliseconds FlushReport(std::chrono::steady_clock::time_point aNow);
    /// A message read from the channel (link thread): queued for the delivery thread unless it
    /// is this node's own, too large, or the queue is full.
    void TakeIncoming(std::string_view aPayload);
    /// The link's phase changed (link thread). Leaving phUp or phConnecting drops what waits
    /// to go out and fails the count requests.
    void SetPhase(TPhase aPhase);

    TDeliverEvent FDeliver;
    TReportEvent FReport;
    TWakeFd FWake;
    std::atomic<bool> FRunning{false};

    mutable std::mutex FLock;
    TzefWSCluster_Options FOptions;        // Guarded by FLock; changed only while stopped.
    std::string FInstance;                 // Guarded by FLock.
    std::string FNode;                     // Guarded by FLock.
    TPhase FPhase = TPhase::phStopped;     // Guarded by FLock.
    bool FFirstAttemptDone = false;        // Guarded by FLock.
    std::condition_variable FFirstAttempt; // Signalled under FLock.
    // Outgoing messages (encoded), oldest first. Guarded by FLock.
    std::deque<std::string> FOutgoing;
    std::size_t FOutgoingBytes = 0; // Guarded by FLock.
    // This node's connections, the changes not yet sent to Redis, and whether the whole list
    // must be sent again (after the link came up). Guarded by FLock.
    std::unordered_set<std::string> FLocal;
    std::unordered_set<std::string> FToAdd;
    std::unordered_set<std::string> FToRemove;
    bool FResync = true;
    // Count requests not yet sent. Guarded by FLock.
    std::vector<TzefWSClusterCountEvent> FCountRequests;
    // Incoming messages of other nodes, oldest first. Guarded by FLock.
    std::deque<std::string> FIncoming;
    std::size_t FIncomingBytes = 0;       // Guarded by FLock.
    std::condition_variable_any FArrived; // Signalled under FLock.

    // What the next report tells. Guarded by FReportLock.
    std::mutex FReportLock;
    std::chrono::milliseconds FReportInterval{0};
    std::uint64_t FDroppedSinceReport = 0;
    std::string FDropReason;
    std::uint64_t FMalformedSinceReport = 0;
    std::string FMalformedReason;
    std::string FProblem;
    std::optional<std::chrono::steady_clock::time_point> FLastReport;
    bool FReportWoken = false; // The link thread was woken for the pending report.

    std::atomic<std::uint64_t> FPublished{0};
    std::atomic<std::uint64_t> FReceived{0};
    std::atomic<std::uint64_t> FDelivered{0};
    std::atomic<std::uint64_t> FDropped{0};
    std::atomic<std::uint64_t> FMalformed{0};
    std::atomic<std::uint64_t> FConnects{0};

    std::jthread FDeliveryThread;
    std::jthread FLinkThread; // Declared last: stops first.
};

} // namespace zef
