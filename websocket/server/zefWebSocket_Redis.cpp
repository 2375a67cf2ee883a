// zefWebSocket_Redis: one connection to a Redis server over hiredis's asynchronous API.
#include "websocket/server/zefWebSocket_Redis.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <hiredis/async.h>
#include <poll.h>

namespace zef {

namespace {

// SIGPIPE stays blocked on every thread that drives a connection: hiredis writes with write(),
// which raises it when Redis has closed the socket, and it would end the process.
void BlockBrokenPipe() {
    thread_local bool Blocked = false;
    if (!Blocked) {
        sigset_t Set;
        sigemptyset(&Set);
        sigaddset(&Set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &Set, nullptr);
        Blocked = true;
    }
}

// Takes back a SIGPIPE that a failed write left pending on this thread.
void TakePendingBrokenPipe() {
    sigset_t Pending;
    sigemptyset(&Pending);
    if (sigpending(&Pending) == 0 && sigismember(&Pending, SIGPIPE) == 1) {
        sigset_t Set;
        sigemptyset(&Set);
        sigaddset(&Set, SIGPIPE);
        const timespec None{0, 0};
        while (sigtimedwait(&Set, nullptr, &None) < 0 && errno == EINTR) {
        }
    }
}

void Convert(const redisReply& aSource, TzefRedisReply& aTarget) {
    switch (aSource.type) {
    case REDIS_REPLY_STATUS:
        aTarget.Kind = TzefRedisReply::TKind::rkStatus;
        aTarget.Text = std::string_view(aSource.str, aSource.len);
        break;
    case REDIS_REPLY_ERROR:
        aTarget.Kind = TzefRedisReply::TKind::rkError;
        aTarget.Text = std::string_view(aSource.str, aSource.len);
        break;
    case REDIS_REPLY_INTEGER:
        aTarget.Kind = TzefRedisReply::TKind::rkInteger;
        aTarget.Integer = aSource.integer;
        break;
    case REDIS_REPLY_STRING:
        aTarget.Kind = TzefRedisReply::TKind::rkString;
        aTarget.Text = std::string_view(aSource.str, aSource.len);
        break;
    case REDIS_REPLY_ARRAY:
        aTarget.Kind = TzefRedisReply::TKind::rkArray;
        aTarget.Elements.resize(aSource.elements);
        for (std::size_t I = 0; I < aSource.elements; ++I) {
            if (aSource.element[I] != nullptr) {
                Convert(*aSource.element[I], aTarget.Elements[I]);
            }
        }
        break;
    default:
        aTarget.Kind = TzefRedisReply::TKind::rkNil;
        break;
    }
}

} // namespace

TzefRedisConnection::~TzefRedisConnection() {
    Close();
}

bool TzefRedisConnection::Connect(const std::string& aHost, int aPort) {
    Close();
    FLastError.clear();
    redisAsyncContext* Context = redisAsyncConnect(aHost.c_str(), aPort);
    if (Context == nullptr) {
        FLastError = "out of memory";
        return false;
    }
    if (Context->err != 0) {
        FLastError = Context->errstr != nullptr ? Context->errstr : "cannot connect";
        redisAsyncFree(Context);
        return false;
    }
    FContext = Context;
    FState = TState::rsConnecting;
    FWantRead = false;
    FWantWrite = true; // A non-blocking connect ends when the socket becomes writable.
    Context->data = this;
    Context->ev.data = this;
    Context->ev.addRead = &OnAddRead;
    Context->ev.delRead = &OnDelRead;
    Context->ev.addWrite = &OnAddWrite;
    Context->ev.delWrite = &OnDelWrite;
    Context->ev.cleanup = &OnCleanup;
    // The hooks are in place before the callbacks: setting the connect callback asks for a
    // write event.
    redisAsyncSetConnectCallback(Context, &OnConnect);
    redisAsyncSetDisconnectCallback(Context, &OnDisconnect);
    return true;
}

void TzefRedisConnection::Close() {
    if (FContext != nullptr) {
        if (FLastError.empty()) {
            FLastError = "closed";
        }
        // Runs every pending handler with null and, through the cleanup hook, clears FContext.
        redisAsyncFree(FContext);
        FContext = nullptr;
    }
    FState = TState::rsClosed;
    FWantRead = false;
    FWantWrite = false;
    EndPending();
}

void TzefRedisConnection::EndPending() {
    // Handlers that hiredis did not end (it should have): each runs once with null.
    std::list<std::unique_ptr<TPending>> Taken;
    Taken.swap(FPending);
    FAwaiting = 0;
    for (std::unique_ptr<TPending>& Entry : Taken) {
        if (!Entry->Ended) {
            Entry->Ended = true;
            try {
                if (Entry->Done) {
                    Entry->Done(nullptr);
                }
            } catch (...) {
                // A handler's failure must not stop the others from ending.
            }
        }
    }
}

int TzefRedisConnection::Fd() const {
    return FContext != nullptr ? FContext->c.fd : -1;
}

short TzefRedisConnection::PollEvents() const {
    if (FContext == nullptr) {
        return 0;
    }
    short Events = 0;
    // Always read once connected: the end of the connection and subscription messages come
    // without being asked for.
    if (FWantRead || FState == TState::rsConnected) {
        Events |= POLLIN;
    }
    if (FWantWrite || FState == TState::rsConnecting) {
        Events |= POLLOUT;
    }
    return Events;
}

void TzefRedisConnection::HandleEvents(short aRevents) {
    BlockBrokenPipe();
    if (FContext == nullptr) {
        return;
    }
    const bool Failed = (aRevents & (POLLERR | POLLHUP)) != 0;
    bool Written = false;
    if (FState == TState::rsConnecting && ((aRevents & POLLOUT) != 0 || Failed)) {
        // Completes (or fails) the connect and writes what was queued meanwhile.
        redisAsyncHandleWrite(FContext);
        Written = true;
    }
    if (FContext != nullptr && (aRevents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        redisAsyncHandleRead(FContext);
    }
    if (FContext != nullptr && !Written && (aRevents & POLLOUT) != 0 &&
        FState == TState::rsConnected && FWantWrite) {
        redisAsyncHandleWrite(FContext);
    }
    if (FContext == nullptr) {
        // hiredis ended the connection (and freed its context) inside the calls above.
        TakePendingBrokenPipe();
        FState = TState::rsClosed;
        if (FLastError.empty()) {
            FLastError = "connection lost";
        }
        EndPending();
    }
}

bool TzefRedisConnection::Command(std::initializer_list<std::string_view> aArguments,
                                  TzefRedisReplyEvent aDone) {
    return Command(std::vector<std::string_view>(aArguments), std::move(aDone));
}

bool TzefRedisConnection::Command(const std::vector<std::string_view>& aArguments,
                                  TzefRedisReplyEvent aDone) {
    std::vector<const char*> Argv;
    std::vector<std::size_t> Lengths;
    Argv.reserve(aArguments.size());
    Lengths.reserve(aArguments.size());
    for (std::string_view Argument : aArguments) {
        Argv.push_back(Argument.data());
        Lengths.push_back(Argument.size());
    }
    return Queue(int(Argv.size()), Argv.data(), Lengths.data(), std::move(aDone), false);
}

bool TzefRedisConnection::Subscribe(const std::string& aChannel, TzefRedisReplyEvent aMessage) {
    const char* Argv[] = {"SUBSCRIBE", aChannel.c_str()};
    const std::size_t Lengths[] = {9, aChannel.size()};
    return Queue(2, Argv, Lengths, std::move(aMessage), true);
}

bool TzefRedisConnection::Queue(int aCount, const char** aArgv, const std::size_t* aLengths,
                                TzefRedisReplyEvent aDone, bool aPersistent) {
    if (FContext == nullptr) {
        return false;
    }
    auto Entry = std::make_unique<TPending>();
    Entry->Done = std::move(aDone);
    Entry->Persistent = aPersistent;
    Entry->Owner = this;
    TPending* Raw = Entry.get();
    FPending.push_back(std::move(Entry));
    Raw->Self = std::prev(FPending.end());
    // hiredis keeps Raw as the command's private data; the entry stays in FPending until its
    // reply (or the connection's end) comes back through OnReply.
    if (redisAsyncCommandArgv(FContext, &OnReply, Raw, aCount, aArgv, aLengths) != REDIS_OK) {
        FPending.erase(Raw->Self);
        return false;
    }
    if (!aPersistent) {
        ++FAwaiting;
    }
    return true;
}

std::size_t TzefRedisConnection::PendingOutput() const {
    return FContext != nullptr && FContext->c.obuf != nullptr ? sdslen(FContext->c.obuf) : 0;
}

std::size_t TzefRedisConnection::PendingInput() const {
    if (FContext == nullptr || FContext->c.reader == nullptr) {
        return 0;
    }
    const redisReader& Reader = *FContext->c.reader;
    return Reader.len > Reader.pos ? Reader.len - Reader.pos : 0;
}

void TzefRedisConnection::OnReply(redisAsyncContext* /*aContext*/, void* aReply, void* aPrivate) {
    auto* Entry = static_cast<TPending*>(aPrivate);
    if (Entry == nullptr || Entry->Ended) {
        return;
    }
    TzefRedisConnection& Owner = *Entry->Owner;
    const auto* Reply = static_cast<const redisReply*>(aReply);
    if (Reply == nullptr) {
        Entry->Ended = true;
    }
    try {
        if (Entry->Done) {
            if (Reply != nullptr) {
                TzefRedisReply Converted;
                Convert(*Reply, Converted);
                Entry->Done(&Converted);
            } else {
                Entry->Done(nullptr);
            }
        }
    } catch (...) {
        // A handler's failure must not unwind through hiredis.
    }
    // A subscription's entry stays (hiredis calls it again, at the latest with null when the
    // connection ends); it goes with Close.
    if (!Entry->Persistent) {
        if (Owner.FAwaiting > 0) {
            --Owner.FAwaiting;
        }
        Owner.FPending.erase(Entry->Self);
    }
}

void TzefRedisConnection::OnConnect(const redisAsyncContext* aContext, int aStatus) {
    auto* Self = static_cast<TzefRedisConnection*>(aContext->data);
    if (aStatus == REDIS_OK) {
        Self->FState = TState::rsConnected;
        redisEnableKeepAlive(const_cast<redisContext*>(&aContext->c));
    } else if (Self->FLastError.empty()) {
        // hiredis frees the context right after this callback.
        Self->FLastError = aContext->c.errstr;
    }
}

void TzefRedisConnection::OnDisconnect(const redisAsyncContext* aContext, int aStatus) {
    auto* Self = static_cast<TzefRedisConnection*>(aContext->data);
    if (aStatus != REDIS_OK && Self->FLastError.empty()) {
        Self->FLastError = aContext->c.errstr;
    }
    Self->FState = TState::rsClosed;
}

void TzefRedisConnection::OnAddRead(void* aPrivate) {
    static_cast<TzefRedisConnection*>(aPrivate)->FWantRead = true;
}

void TzefRedisConnection::OnDelRead(void* aPrivate) {
    static_cast<TzefRedisConnection*>(aPrivate)->FWantRead = false;
}

void TzefRedisConnection::OnAddWrite(void* aPrivate) {
    static_cast<TzefRedisConnection*>(aPrivate)->FWantWrite = true;
}

void TzefRedisConnection::OnDelWrite(void* aPrivate) {
    static_cast<TzefRedisConnection*>(aPrivate)->FWantWrite = false;
}

void TzefRedisConnection::OnCleanup(void* aPrivate) {
    // The context is being freed (by Close or by hiredis after an error); its error text is
    // still readable here.
    auto* Self = static_cast<TzefRedisConnection*>(aPrivate);
    if (Self->FContext != nullptr && Self->FLastError.empty() && Self->FContext->c.err != 0) {
        Self->FLastError = Self->FContext->c.errstr;
    }
    Self->FContext = nullptr;
    Self->FWantRead = false;
    Self->FWantWrite = false;
}

} // namespace zef
