// zefWebSocket_Redis: one connection to a Redis server over hiredis's asynchronous API, driven by
// its owner's poll loop (hiredis 0.14 has no poll adapter of its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct redisAsyncContext;

namespace zef {

/// One reply of Redis, valid only while the handler that receives it runs (its texts point
/// into hiredis's reply object).
struct TzefRedisReply {
    enum class TKind : std::uint8_t { rkNil, rkStatus, rkError, rkInteger, rkString, rkArray };
    TKind Kind = TKind::rkNil;
    std::string_view Text; // rkStatus, rkError, rkString
    std::int64_t Integer = 0;
    std::vector<TzefRedisReply> Elements; // rkArray
};

/// Called once with the reply of a command; with null when the connection ended before the
/// reply came. A subscription's handler is called for its confirmation and for every message,
/// then once with null when the connection ends. Handlers run inside HandleEvents or Close;
/// they may queue further commands but must not call Close.
using TzefRedisReplyEvent = std::function<void(const TzefRedisReply* aReply)>;

/// One non-blocking connection to Redis. The owner's thread alone uses it: it polls Fd for
/// PollEvents and passes what poll reported to HandleEvents. Commands may be queued while the
/// connection is still being made; they go out once it is. SIGPIPE is blocked on the thread that
/// first handles events (hiredis writes with write(): a peer that has gone must not end the
/// process), and a SIGPIPE left pending by a failed write is taken again.
class TzefRedisConnection {
public:
    enum class TState : std::uint8_t { rsClosed, rsConnecting, rsConnected };

    TzefRedisConnection() = default;
    TzefRedisConnection(const TzefRedisConnection&) = delete;
    TzefRedisConnection& operator=(const TzefRedisConnection&) = delete;
    /// Closes the connection (pending handlers run with null).
    ~TzefRedisConnection();

    /// Starts connecting to aHost (a name or an address) and aPort without waiting. False, with
    /// LastError set, when the attempt failed at once; a connection that is still open is
    /// closed first.
    bool Connect(const std::string& aHost, int aPort);
    /// Ends the connection at once: pending commands are dropped and their handlers run with
    /// null. Nothing happens on a closed connection.
    void Close();

    TState State() const { return FState; }
    /// Why the connection ended (or failed to start); kept until the next Connect.
    const std::string& LastError() const { return FLastError; }
    /// The socket to poll; -1 when closed.
    int Fd() const;
    /// The poll events the connection waits for (POLLIN, POLLOUT); 0 when closed.
    short PollEvents() const;
    /// Reads and writes what poll reported in aRevents; the connection may be closed afterwards
    /// (State and LastError tell why).
    void HandleEvents(short aRevents);

    /// Queues one command (its arguments binary-safe). False when the connection is closed or
    /// hiredis refused it; aDone is then not called.
    bool Command(std::initializer_list<std::string_view> aArguments, TzefRedisReplyEvent aDone);
    bool Command(const std::vector<std::string_view>& aArguments, TzefRedisReplyEvent aDone);
    /// Subscribes to aChannel; see TzefRedisReplyEvent for when aMessage runs.
    bool Subscribe(const std::string& aChannel, TzefRedisReplyEvent aMessage);

    /// Bytes of queued commands not yet written to the socket.
    std::size_t PendingOutput() const;
    /// Bytes received that do not yet make a whole reply: one reply under way when it grows.
    std::size_t PendingInput() const;
    /// Commands sent whose replies have not come yet.
    std::size_t PendingReplies() const { return FAwaiting; }

private:
    struct TPending {
        TzefRedisReplyEvent Done;
        bool Persistent = false; // A subscription: called for every message.
        bool Ended = false;      // Called with null already.
        TzefRedisConnection* Owner = nullptr;
        std::list<std::unique_ptr<TPending>>::iterator Self;
    };

    bool Queue(int aCount, const char** aArgv, const std::size_t* aLengths,
               TzefRedisReplyEvent aDone, bool aPersistent);
    void EndPending();

    static void OnReply(redisAsyncContext* aContext, void* aReply, void* aPrivate);
    static void OnConnect(const redisAsyncContext* aContext, int aStatus);
    static void OnDisconnect(const redisAsyncContext* aContext, int aStatus);
    static void OnAddRead(void* aPrivate);
    static void OnDelRead(void* aPrivate);
    static void OnAddWrite(void* aPrivate);
    static void OnDelWrite(void* aPrivate);
    static void OnCleanup(void* aPrivate);

    redisAsyncContext* FContext = nullptr; // Owned; hiredis frees it itself on an error.
    TState FState = TState::rsClosed;
    bool FWantRead = false;
    bool FWantWrite = false;
    std::size_t FAwaiting = 0; // Non-persistent commands whose replies are due.
    std::string FLastError;
    // Handlers of the commands in flight, owned here; hiredis holds raw pointers to them
    // (its private data) and hands each back with its reply, when the entry is erased.
    std::list<std::unique_ptr<TPending>> FPending;
};

} // namespace zef
