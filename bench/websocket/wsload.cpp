// wsload: WebSocket (and raw byte stream) echo load generator with per-message validation.
//
// Each event-loop thread owns an epoll set and a share of the connections. Every echoed message
// is compared byte for byte with what was sent, in order; the round trip of each message is
// timed from the loop iteration that queued it to the one that read its echo.
#include "bench/websocket/WsClientDeflate.h"
#include "bench/websocket/WsClientFrame.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace wsload;

enum class TMode { mEcho, mChurn, mIdle };
enum class TTransport { tWebSocket, tRawUpgrade, tRawTcp };

struct TOptions {
    std::string Host = "127.0.0.1";
    std::uint16_t Port = 2001;
    std::string Path = "/ws/";
    int Connections = 1;
    int InFlight = 1;
    std::size_t Size = 32;
    double Duration = 5;
    double Warmup = 1;
    bool Binary = false;
    bool ExpectGreeting = false;
    std::string Greeting = "Hello From Server.";
    TMode Mode = TMode::mEcho;
    TTransport Transport = TTransport::tWebSocket;
    std::string RawUpgrade = "raw";
    bool Tls = false;     // wss:// (or --tls): every connection over TLS, certificates unchecked.
    bool Deflate = false; // Offer permessage-deflate, require it, compress every message sent.
    int Threads = 1;
    double ConnectTimeout = 30;
    int ConnectBatch = 128;
    double CloseWait = 1;
    double DrainTimeout = 5;
    double CycleTimeout = 5;
};

// The run's phases, advanced by the main thread only.
enum TPhase : int { phSetup, phWarmup, phMeasure, phDrain, phStop };

std::atomic<int> GPhase{phSetup};
std::atomic<int> GReady{0};   // Connections through their handshake (and greeting).
std::atomic<int> GFailed{0};  // Connections that failed before being ready.
std::atomic<int> GDrained{0}; // Loops with nothing more in flight.

// The client side of every TLS connection; created by main before the loops start, read-only
// afterwards (OpenSSL allows one context to be shared by threads).
SSL_CTX* GTlsContext = nullptr;

std::uint64_t NowNs() {
    timespec T;
    clock_gettime(CLOCK_MONOTONIC, &T);
    return std::uint64_t(T.tv_sec) * 1000000000u + std::uint64_t(T.tv_nsec);
}

constexpr std::size_t ReadChunk = 64 * 1024;
constexpr std::size_t MaxHandshakeHead = 16 * 1024;
constexpr std::size_t MaxErrorTexts = 5;
constexpr std::size_t MaxSamplesPerLoop = 8u * 1024 * 1024; // 32 MiB of samples at most.
constexpr std::size_t MaxMessage = 64u * 1024 * 1024;

// Payload of message Seq: its number in 8 letters (so a reordered or repeated echo never
// matches), then a run of a repeating alphabet shifted by the number. Text payloads are
// ASCII; binary payloads use all 256 byte values.
class TPayloads {
public:
    TPayloads(std::size_t Size, bool Binary) : FSize(Size), FBinary(Binary) {
        const std::size_t Period = Binary ? 256 : 26;
        FPattern.resize(Size + Period);
        for (std::size_t I = 0; I < FPattern.size(); ++I) {
            FPattern[I] = Binary ? std::uint8_t(I % 256) : std::uint8_t('a' + I % 26);
        }
        FBuffer.resize(Size);
    }

    std::span<const std::uint8_t> Make(std::uint64_t Seq) {
        const std::size_t Period = FBinary ? 256 : 26;
        const std::size_t Head = std::min<std::size_t>(8, FSize);
        std::uint64_t N = Seq;
        for (std::size_t I = 0; I < Head; ++I) {
            FBuffer[I] = std::uint8_t('A' + N % 26);
            N /= 26;
        }
        if (FSize > Head) {
            std::memcpy(FBuffer.data() + Head, FPattern.data() + Head + Seq % Period, FSize - Head);
        }
        return FBuffer;
    }

private:
    std::size_t FSize;
    bool FBinary;
    std::vector<std::uint8_t> FPattern;
    std::vector<std::uint8_t> FBuffer;
};

enum class TState {
    sIdle,       // Not started, or between churn cycles.
    sConnecting, // Non-blocking connect under way.
    sTls,        // TLS handshake under way.
    sHandshake,  // Upgrade request sent, waiting for the 101 head.
    sGreeting,   // Waiting for the server's first message.
    sOpen,       // Echoing (or holding, when idle).
    sClosing,    // Close frame sent, waiting for the server's.
    sAwaitEof,   // Close handshake done, waiting for the server to end TCP.
    sFailed
};

const char* StateName(TState State) {
    switch (State) {
    case TState::sIdle:
        return "idle";
    case TState::sConnecting:
        return "connecting";
    case TState::sTls:
        return "tls-handshake";
    case TState::sHandshake:
        return "handshake";
    case TState::sGreeting:
        return "greeting";
    case TState::sOpen:
        return "open";
    case TState::sClosing:
        return "closing";
    case TState::sAwaitEof:
        return "await-eof";
    case TState::sFailed:
        return "failed";
    }
    return "?";
}

struct TConnection {
    int Fd = -1;
    SSL* Ssl = nullptr; // Owned; with TLS, from the end of the connect to CloseSocket.
    std::unique_ptr<TMessageDeflate> Deflate; // When the server accepted permessage-deflate.
    int Id = 0;
    TState State = TState::sIdle;
    bool Ready = false; // Counted in GReady.
    bool Dirty = false; // On the loop's list of connections with bytes to send.
    bool WantWrite = false;
    std::vector<std::uint8_t> Pending; // Received bytes not yet parsed (a partial frame).
    std::vector<std::uint8_t> Out;
    std::size_t OutSent = 0;
    std::vector<std::uint8_t> Message; // A fragmented message being assembled.
    bool InMessage = false;
    bool MessageCompressed = false; // The message being assembled has RSV1 on its first frame.
    TOpcode MessageOpcode = TOpcode::opText;
    std::string Key;
    std::uint64_t Sent = 0;
    std::uint64_t Received = 0;
    std::vector<std::uint64_t> SendTimes; // Ring of InFlight send times, indexed by Seq.
    std::size_t RawOffset = 0;            // Bytes of the current raw message matched so far.
    std::uint64_t CycleStart = 0;
    std::uint64_t Deadline = 0;
};

struct TStats {
    std::uint64_t Messages = 0;    // Echoes (or churn cycles) completed while measuring.
    std::uint64_t AllMessages = 0; // The same over the whole run, warm-up and drain included.
    std::uint64_t Bytes = 0;
    std::uint64_t Errors = 0;
    std::uint64_t Pings = 0;
    std::uint64_t CloseTimeouts = 0;
    std::uint64_t Lost = 0;             // Messages never echoed by the end of the drain.
    std::vector<std::uint32_t> Samples; // Round trips in nanoseconds (capped at ~4.3 s).
    std::vector<std::string> ErrorTexts;
};

class TLoop {
public:
    TLoop(const TOptions& Options, const sockaddr_in& Address, int First, int Count)
        : FOptions(Options)
        , FAddress(Address)
        , FPayloads(Options.Size, Options.Binary)
        , FRandom(0x9E3779B97F4A7C15ull ^ std::uint64_t(First + 1) * 0x2545F4914F6CDD1Dull) {
        FEpoll = epoll_create1(EPOLL_CLOEXEC);
        for (int I = 0; I < Count; ++I) {
            auto Connection = std::make_unique<TConnection>();
            Connection->Id = First + I;
            Connection->SendTimes.resize(std::size_t(Options.InFlight));
            FConnections.push_back(std::move(Connection));
        }
        FScratch.resize(ReadChunk);
        FStats.Samples.reserve(std::min<std::size_t>(MaxSamplesPerLoop, 1u << 20));
    }

    ~TLoop() {
        for (auto& Connection : FConnections) {
            CloseSocket(*Connection); // the TLS session too, for connections still open
        }
        if (FEpoll >= 0) {
            close(FEpoll);
        }
    }

    TLoop(const TLoop&) = delete;
    TLoop& operator=(const TLoop&) = delete;

    TStats& Stats() { return FStats; }

    void Run() {
        if (FEpoll < 0) {
            for (auto& Connection : FConnections) {
                Fail(*Connection, "epoll_create1 failed");
            }
            return;
        }
        int Seen = phSetup;
        std::uint64_t LastScan = 0;
        bool DrainReported = false;
        if (FOptions.Mode != TMode::mChurn) {
            StartMore();
        }
        epoll_event Events[256];
        while (true) {
            const int Phase = GPhase.load();
            if (Phase != Seen) {
                Seen = Phase;
                if (Phase == phStop) {
                    break;
                }
                OnPhase(Phase);
            }
            const int Count = epoll_wait(FEpoll, Events, 256, 5);
            FNow = NowNs();
            for (int I = 0; I < Count; ++I) {
                auto& Connection = *static_cast<TConnection*>(Events[I].data.ptr);
                if (Connection.State == TState::sFailed || Connection.Fd < 0) {
                    continue;
                }
                const std::uint32_t What = Events[I].events;
                if (What & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
                    OnWritable(Connection);
                }
                if (Connection.Fd >= 0 && (What & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
                    OnReadable(Connection);
                }
            }
            if (FOptions.Mode != TMode::mChurn && Seen == phSetup) {
                StartMore();
            }
            FlushDirty();
            if (FNow - LastScan > 50'000'000) {
                LastScan = FNow;
                ScanDeadlines();
            }
            if (Seen == phDrain && !DrainReported && Drained()) {
                DrainReported = true;
                GDrained.fetch_add(1);
            }
        }
        // Whatever is still in flight was never echoed.
        for (auto& Connection : FConnections) {
            if (Connection->State == TState::sOpen && FOptions.Mode != TMode::mChurn) {
                const std::uint64_t Missing = Connection->Sent - Connection->Received;
                if (Missing > 0) {
                    FStats.Lost += Missing;
                    Error(*Connection, std::to_string(Missing) + " message(s) never echoed");
                }
            } else if (Connection->State != TState::sOpen && Connection->State != TState::sIdle &&
                       Connection->State != TState::sFailed) {
                Error(*Connection, std::string("still in state ") + StateName(Connection->State) +
                                       " at the end");
            }
        }
    }

private:
    const TOptions& FOptions;
    sockaddr_in FAddress;
    int FEpoll = -1;
    std::vector<std::unique_ptr<TConnection>> FConnections;
    std::vector<TConnection*> FDirty;
    std::vector<std::uint8_t> FScratch;
    std::vector<std::uint8_t> FCompressed; // A message being compressed.
    std::vector<std::uint8_t> FInflated;   // A message inflated, while it is checked.
    std::string FTlsError;                 // What the last failed TLS call said.
    TPayloads FPayloads;
    std::uint64_t FRandom;
    std::uint64_t FNow = NowNs();
    std::size_t FNextToStart = 0; // Set-up phase: connections not yet started begin here.
    int FInSetup = 0;             // Connections started but not yet ready or failed.
    bool FLoadStarted = false;    // The warm-up or the measurement has begun on this loop.
    TStats FStats;

    std::uint64_t NextRandom() { // xorshift64*
        FRandom ^= FRandom >> 12;
        FRandom ^= FRandom << 25;
        FRandom ^= FRandom >> 27;
        return FRandom * 0x2545F4914F6CDD1Dull;
    }

    void Error(TConnection& Connection, const std::string& Text) {
        ++FStats.Errors;
        if (FStats.ErrorTexts.size() < MaxErrorTexts) {
            FStats.ErrorTexts.push_back("connection " + std::to_string(Connection.Id) + ": " +
                                        Text);
        }
    }

    void CloseSocket(TConnection& Connection) {
        if (Connection.Ssl != nullptr) {
            SSL_free(Connection.Ssl); // No close_notify: the socket closes at once.
            Connection.Ssl = nullptr;
        }
        Connection.Deflate.reset();
        Connection.MessageCompressed = false;
        if (Connection.Fd >= 0) {
            close(Connection.Fd); // Also leaves the epoll set: the descriptor is not shared.
            Connection.Fd = -1;
        }
        Connection.Pending.clear();
        Connection.Out.clear();
        Connection.OutSent = 0;
        Connection.WantWrite = false;
        Connection.InMessage = false;
        Connection.Message.clear();
    }

    void Fail(TConnection& Connection, const std::string& Text) {
        if (Connection.State == TState::sFailed) {
            return;
        }
        Error(Connection, std::string(StateName(Connection.State)) + ": " + Text);
        if (!Connection.Ready && FOptions.Mode != TMode::mChurn) {
            GFailed.fetch_add(1);
            --FInSetup;
        }
        CloseSocket(Connection);
        Connection.State = TState::sFailed;
    }

    // Connection set-up is paced: at most ConnectBatch handshakes per loop at once, so that
    // thousands of connections do not overflow the server's accept backlog.
    void StartMore() {
        while (FNextToStart < FConnections.size() && FInSetup < FOptions.ConnectBatch) {
            ++FInSetup;
            StartConnect(*FConnections[FNextToStart++]);
        }
    }

    // The load starts with the first phase that runs it. Without a warm-up the main thread
    // passes from the warm-up to the measurement at once, and a loop may never see the former.
    void OnPhase(int Phase) {
        if ((Phase == phWarmup || Phase == phMeasure) && !FLoadStarted) {
            FLoadStarted = true;
            for (auto& Connection : FConnections) {
                if (FOptions.Mode == TMode::mChurn) {
                    StartConnect(*Connection);
                } else if (Connection->State == TState::sOpen) {
                    Pump(*Connection);
                }
            }
            FlushDirty();
        }
        // Idle: the hold is over and every connection that is still open echoes one message.
        if (Phase == phDrain && FOptions.Mode == TMode::mIdle) {
            for (auto& Connection : FConnections) {
                if (Connection->State == TState::sOpen) {
                    SendMessage(*Connection);
                    MarkDirty(*Connection);
                }
            }
            FlushDirty();
        }
    }

    bool Drained() const {
        for (const auto& Connection : FConnections) {
            if (FOptions.Mode == TMode::mChurn) {
                if (Connection->State != TState::sIdle && Connection->State != TState::sFailed) {
                    return false;
                }
            } else if (Connection->State == TState::sOpen &&
                       Connection->Sent != Connection->Received) {
                return false;
            }
        }
        return true;
    }

    void StartConnect(TConnection& Connection) {
        Connection.CycleStart = FNow = NowNs();
        Connection.State = TState::sConnecting;
        Connection.Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (Connection.Fd < 0) {
            Fail(Connection, std::string("socket: ") + std::strerror(errno));
            return;
        }
        const int One = 1;
        setsockopt(Connection.Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
        if (connect(Connection.Fd, reinterpret_cast<const sockaddr*>(&FAddress), sizeof FAddress) <
                0 &&
            errno != EINPROGRESS) {
            Fail(Connection, std::string("connect: ") + std::strerror(errno));
            return;
        }
        epoll_event Event{};
        Event.events = EPOLLIN | EPOLLOUT;
        Event.data.ptr = &Connection;
        if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, Connection.Fd, &Event) < 0) {
            Fail(Connection, std::string("epoll_ctl: ") + std::strerror(errno));
        }
    }

    void SetWriteInterest(TConnection& Connection, bool Want) {
        if (Connection.WantWrite == Want || Connection.Fd < 0) {
            return;
        }
        Connection.WantWrite = Want;
        epoll_event Event{};
        Event.events = EPOLLIN | (Want ? EPOLLOUT : 0u);
        Event.data.ptr = &Connection;
        epoll_ctl(FEpoll, EPOLL_CTL_MOD, Connection.Fd, &Event);
    }

    void OnWritable(TConnection& Connection) {
        if (Connection.State == TState::sConnecting) {
            int Error = 0;
            socklen_t Length = sizeof Error;
            getsockopt(Connection.Fd, SOL_SOCKET, SO_ERROR, &Error, &Length);
            if (Error != 0) {
                Fail(Connection, std::string("connect: ") + std::strerror(Error));
                return;
            }
            Connection.WantWrite = true; // Registered with EPOLLOUT until now.
            SetWriteInterest(Connection, false);
            if (FOptions.Tls) {
                StartTls(Connection);
            } else {
                Connected(Connection);
            }
            return;
        }
        if (Connection.State == TState::sTls) {
            ContinueTls(Connection);
            return;
        }
        Flush(Connection);
    }

    // The transport is up (TCP, and TLS when asked for): the upgrade, or the raw echo, begins.
    void Connected(TConnection& Connection) {
        if (FOptions.Transport == TTransport::tRawTcp) {
            BecomeOpen(Connection);
        } else {
            SendUpgrade(Connection);
        }
    }

    void StartTls(TConnection& Connection) {
        Connection.Ssl = SSL_new(GTlsContext);
        if (Connection.Ssl == nullptr || SSL_set_fd(Connection.Ssl, Connection.Fd) != 1) {
            Fail(Connection, "SSL_new failed");
            return;
        }
        SSL_set_connect_state(Connection.Ssl);
        Connection.State = TState::sTls;
        ContinueTls(Connection);
    }

    void ContinueTls(TConnection& Connection) {
        ERR_clear_error();
        const int Result = SSL_do_handshake(Connection.Ssl);
        if (Result == 1) {
            SetWriteInterest(Connection, false);
            Connected(Connection);
            return;
        }
        switch (SSL_get_error(Connection.Ssl, Result)) {
        case SSL_ERROR_WANT_READ:
            SetWriteInterest(Connection, false);
            return;
        case SSL_ERROR_WANT_WRITE:
            SetWriteInterest(Connection, true);
            return;
        default:
            TlsFailure(Connection, Result);
            Fail(Connection, "TLS handshake: " + FTlsError);
            return;
        }
    }

    // Sets errno (and FTlsError) for a TLS call that returned Result: EAGAIN when it waits for
    // the socket, 0 for the peer's end of the stream (also without close_notify), else -1.
    ssize_t TlsFailure(TConnection& Connection, int Result) {
        const int Error = SSL_get_error(Connection.Ssl, Result);
        if (Error == SSL_ERROR_WANT_READ || Error == SSL_ERROR_WANT_WRITE) {
            errno = EAGAIN;
            return -1;
        }
        if (Error == SSL_ERROR_ZERO_RETURN) {
            return 0;
        }
        if (Error == SSL_ERROR_SYSCALL && errno != 0) {
            FTlsError = std::strerror(errno);
            return -1;
        }
        char Text[256] = "TLS error";
        if (const unsigned long Code = ERR_get_error(); Code != 0) {
            ERR_error_string_n(Code, Text, sizeof Text);
        }
        FTlsError = Text;
        errno = EPROTO;
        return -1;
    }

    // One write or read on the connection, plain or through TLS, with send's and recv's
    // results: bytes, 0 for the end of the stream (reads), -1 with errno.
    ssize_t WriteSome(TConnection& Connection, const std::uint8_t* Data, std::size_t Size) {
        if (Connection.Ssl == nullptr) {
            return send(Connection.Fd, Data, Size, MSG_NOSIGNAL);
        }
        ERR_clear_error();
        const int Written =
            SSL_write(Connection.Ssl, Data, int(std::min<std::size_t>(Size, 1 << 30)));
        return Written > 0 ? Written : TlsFailure(Connection, Written);
    }

    ssize_t ReadSome(TConnection& Connection, std::uint8_t* Data, std::size_t Size) {
        if (Connection.Ssl == nullptr) {
            return recv(Connection.Fd, Data, Size, 0);
        }
        ERR_clear_error();
        const int Read = SSL_read(Connection.Ssl, Data, int(std::min<std::size_t>(Size, 1 << 30)));
        return Read > 0 ? Read : TlsFailure(Connection, Read);
    }

    std::string IoError(const TConnection& Connection) const {
        return Connection.Ssl != nullptr && errno == EPROTO ? FTlsError : std::strerror(errno);
    }

    void SendUpgrade(TConnection& Connection) {
        std::string Request = "GET " + FOptions.Path + " HTTP/1.1\r\nHost: " + FOptions.Host + ":" +
                              std::to_string(FOptions.Port) + "\r\n";
        if (FOptions.Transport == TTransport::tRawUpgrade) {
            Request += "Upgrade: " + FOptions.RawUpgrade + "\r\nConnection: Upgrade\r\n\r\n";
        } else {
            std::uint8_t Nonce[16];
            const std::uint64_t A = NextRandom();
            const std::uint64_t B = NextRandom();
            std::memcpy(Nonce, &A, 8);
            std::memcpy(Nonce + 8, &B, 8);
            Connection.Key = Base64(Nonce);
            Request += "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " +
                       Connection.Key + "\r\nSec-WebSocket-Version: 13\r\n";
            if (FOptions.Deflate) {
                Request += "Sec-WebSocket-Extensions: permessage-deflate\r\n";
            }
            Request += "\r\n";
        }
        Connection.Out.insert(Connection.Out.end(), Request.begin(), Request.end());
        Connection.State = TState::sHandshake;
        MarkDirty(Connection);
    }

    void MarkDirty(TConnection& Connection) {
        if (!Connection.Dirty) {
            Connection.Dirty = true;
            FDirty.push_back(&Connection);
        }
    }

    void FlushDirty() {
        for (TConnection* Connection : FDirty) {
            Connection->Dirty = false;
            if (Connection->Fd >= 0 && !Connection->WantWrite) {
                Flush(*Connection);
            }
        }
        FDirty.clear();
    }

    void Flush(TConnection& Connection) {
        while (Connection.OutSent < Connection.Out.size()) {
            const ssize_t Written =
                WriteSome(Connection, Connection.Out.data() + Connection.OutSent,
                          Connection.Out.size() - Connection.OutSent);
            if (Written < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    SetWriteInterest(Connection, true);
                    return;
                }
                if (errno == EINTR) {
                    continue;
                }
                Fail(Connection, "send: " + IoError(Connection));
                return;
            }
            Connection.OutSent += std::size_t(Written);
        }
        Connection.Out.clear();
        Connection.OutSent = 0;
        SetWriteInterest(Connection, false);
    }

    void OnReadable(TConnection& Connection) {
        if (Connection.State == TState::sTls) {
            ContinueTls(Connection);
            return;
        }
        // A full chunk may mean more is waiting; a few rounds keep one busy connection from
        // starving the others. A TLS read returns one record at most: only EAGAIN says more.
        for (int Round = 0; Round < 4 && Connection.Fd >= 0; ++Round) {
            const ssize_t Read = ReadSome(Connection, FScratch.data(), FScratch.size());
            if (Read < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return;
                }
                if (errno == EINTR) {
                    continue;
                }
                Fail(Connection, "recv: " + IoError(Connection));
                return;
            }
            if (Read == 0) {
                OnEof(Connection);
                return;
            }
            Consume(Connection, std::span<const std::uint8_t>(FScratch.data(), std::size_t(Read)));
            if (Connection.Ssl == nullptr && std::size_t(Read) < FScratch.size()) {
                return;
            }
        }
    }

    void OnEof(TConnection& Connection) {
        if (Connection.State == TState::sAwaitEof) {
            CloseSocket(Connection);
            NextCycle(Connection);
            return;
        }
        Fail(Connection, "the server closed the connection");
    }

    void NextCycle(TConnection& Connection) {
        Connection.State = TState::sIdle;
        if (GPhase.load() <= phMeasure) {
            StartConnect(Connection);
        }
    }

    // Parses from the pending bytes when a partial frame is waiting, else straight from the
    // read buffer; whatever stays incomplete is kept for the next read.
    void Consume(TConnection& Connection, std::span<const std::uint8_t> Data) {
        if (!Connection.Pending.empty()) {
            Connection.Pending.insert(Connection.Pending.end(), Data.begin(), Data.end());
            const std::size_t Used = ConsumeAll(Connection, Connection.Pending);
            if (Connection.State != TState::sFailed) {
                Connection.Pending.erase(Connection.Pending.begin(),
                                         Connection.Pending.begin() + std::ptrdiff_t(Used));
            }
            return;
        }
        const std::size_t Used = ConsumeAll(Connection, Data);
        if (Connection.State != TState::sFailed && Connection.Fd >= 0 && Used < Data.size()) {
            Connection.Pending.assign(Data.begin() + std::ptrdiff_t(Used), Data.end());
        }
    }

    std::size_t ConsumeAll(TConnection& Connection, std::span<const std::uint8_t> Data) {
        std::size_t Offset = 0;
        while (Offset < Data.size() && Connection.Fd >= 0) {
            const std::size_t Used = Step(Connection, Data.subspan(Offset));
            if (Used == 0) {
                break;
            }
            Offset += Used;
        }
        return Offset;
    }

    std::size_t Step(TConnection& Connection, std::span<const std::uint8_t> Data) {
        switch (Connection.State) {
        case TState::sHandshake:
            return StepHandshake(Connection, Data);
        case TState::sOpen:
            if (FOptions.Transport != TTransport::tWebSocket) {
                return StepRaw(Connection, Data);
            }
            [[fallthrough]];
        case TState::sGreeting:
        case TState::sClosing:
            return StepFrame(Connection, Data);
        case TState::sAwaitEof:
            Fail(Connection, "bytes after the close frame");
            return 0;
        default:
            Fail(Connection, "unexpected bytes");
            return 0;
        }
    }

    static std::string HeaderValue(std::string_view Head, std::string_view Name) {
        std::size_t Position = Head.find("\r\n");
        while (Position != std::string_view::npos && Position + 2 < Head.size()) {
            const std::size_t Start = Position + 2;
            const std::size_t End = Head.find("\r\n", Start);
            const std::string_view Line =
                Head.substr(Start, (End == std::string_view::npos ? Head.size() : End) - Start);
            const std::size_t Colon = Line.find(':');
            if (Colon == Name.size() &&
                std::equal(Name.begin(), Name.end(), Line.begin(), [](char A, char B) {
                    return std::tolower(static_cast<unsigned char>(A)) ==
                           std::tolower(static_cast<unsigned char>(B));
                })) {
                std::string_view Value = Line.substr(Colon + 1);
                while (!Value.empty() && (Value.front() == ' ' || Value.front() == '\t')) {
                    Value.remove_prefix(1);
                }
                while (!Value.empty() && (Value.back() == ' ' || Value.back() == '\t')) {
                    Value.remove_suffix(1);
                }
                return std::string(Value);
            }
            Position = End;
        }
        return {};
    }

    static std::string Lower(std::string Text) {
        for (char& C : Text) {
            C = char(std::tolower(static_cast<unsigned char>(C)));
        }
        return Text;
    }

    std::size_t StepHandshake(TConnection& Connection, std::span<const std::uint8_t> Data) {
        const std::string_view Text(reinterpret_cast<const char*>(Data.data()), Data.size());
        const std::size_t End = Text.find("\r\n\r\n");
        if (End == std::string_view::npos) {
            if (Data.size() > MaxHandshakeHead) {
                Fail(Connection, "handshake answer head above 16 KiB");
            }
            return 0;
        }
        const std::string_view Head = Text.substr(0, End + 2);
        const std::string_view StatusLine = Head.substr(0, Head.find("\r\n"));
        if (StatusLine.rfind("HTTP/1.1 101", 0) != 0) {
            Fail(Connection, "upgrade refused: " + std::string(StatusLine));
            return 0;
        }
        if (FOptions.Transport == TTransport::tWebSocket) {
            if (Lower(HeaderValue(Head, "Upgrade")) != "websocket") {
                Fail(Connection, "101 without \"Upgrade: websocket\"");
                return 0;
            }
            if (Lower(HeaderValue(Head, "Connection")).find("upgrade") == std::string::npos) {
                Fail(Connection, "101 without \"Connection: Upgrade\"");
                return 0;
            }
            const std::string Accept = HeaderValue(Head, "Sec-WebSocket-Accept");
            if (Accept != AcceptKey(Connection.Key)) {
                Fail(Connection, "wrong Sec-WebSocket-Accept \"" + Accept + "\"");
                return 0;
            }
            const std::string Extensions = HeaderValue(Head, "Sec-WebSocket-Extensions");
            if (FOptions.Deflate) {
                TDeflateAnswer Answer;
                const std::string Problem = Extensions.empty()
                                                ? "the server declined permessage-deflate"
                                                : ParseDeflateAnswer(Extensions, Answer);
                if (!Problem.empty()) {
                    Fail(Connection, Problem);
                    return 0;
                }
                Connection.Deflate = std::make_unique<TMessageDeflate>(Answer);
            } else if (!Extensions.empty()) {
                Fail(Connection, "an extension was accepted that was never offered");
                return 0;
            }
        }
        if (FOptions.ExpectGreeting) {
            Connection.State = TState::sGreeting;
        } else {
            BecomeOpen(Connection);
        }
        return End + 4;
    }

    void BecomeOpen(TConnection& Connection) {
        Connection.State = TState::sOpen;
        if (FOptions.Mode == TMode::mChurn) {
            static constexpr std::uint8_t Normal[2] = {0x03, 0xE8}; // 1000
            AppendFrame(Connection.Out, TOpcode::opClose, Normal, std::uint32_t(NextRandom()));
            Connection.State = TState::sClosing;
            MarkDirty(Connection);
            return;
        }
        if (!Connection.Ready) {
            Connection.Ready = true;
            --FInSetup;
            GReady.fetch_add(1);
        }
        const int Phase = GPhase.load();
        if (Phase == phWarmup || Phase == phMeasure) {
            Pump(Connection);
        }
    }

    // Keeps InFlight messages outstanding on an open connection while the load runs.
    void Pump(TConnection& Connection) {
        if (FOptions.Mode != TMode::mEcho) {
            return;
        }
        const int Phase = GPhase.load();
        if (Phase != phWarmup && Phase != phMeasure) {
            return;
        }
        const auto InFlight = std::uint64_t(FOptions.InFlight);
        while (Connection.Sent - Connection.Received < InFlight) {
            SendMessage(Connection);
        }
        MarkDirty(Connection);
    }

    // Queues the connection's next message (compressed when permessage-deflate is on).
    void SendMessage(TConnection& Connection) {
        const std::uint64_t Seq = Connection.Sent++;
        const auto Payload = FPayloads.Make(Seq);
        if (FOptions.Transport != TTransport::tWebSocket) {
            Connection.Out.insert(Connection.Out.end(), Payload.begin(), Payload.end());
        } else {
            const TOpcode Opcode = FOptions.Binary ? TOpcode::opBinary : TOpcode::opText;
            if (Connection.Deflate) {
                FCompressed.clear();
                Connection.Deflate->Compress(Payload, FCompressed);
                AppendFrame(Connection.Out, Opcode, FCompressed, std::uint32_t(NextRandom()), true);
            } else {
                AppendFrame(Connection.Out, Opcode, Payload, std::uint32_t(NextRandom()));
            }
        }
        Connection.SendTimes[Seq % std::uint64_t(FOptions.InFlight)] = FNow;
    }

    void OnEcho(TConnection& Connection) {
        const std::uint64_t Seq = Connection.Received++;
        ++FStats.AllMessages;
        const int Phase = GPhase.load();
        // Idle: the one echo per connection after the hold is what is counted.
        if (Phase == phMeasure || (FOptions.Mode == TMode::mIdle && Phase == phDrain)) {
            ++FStats.Messages;
            FStats.Bytes += FOptions.Size;
            if (FStats.Samples.size() < MaxSamplesPerLoop) {
                const std::uint64_t Took =
                    FNow - Connection.SendTimes[Seq % std::uint64_t(FOptions.InFlight)];
                FStats.Samples.push_back(std::uint32_t(std::min<std::uint64_t>(Took, UINT32_MAX)));
            }
        }
        Pump(Connection);
    }

    // A raw echo is a byte stream: the bytes must come back in order, however they are cut.
    std::size_t StepRaw(TConnection& Connection, std::span<const std::uint8_t> Data) {
        if (FOptions.Mode == TMode::mChurn || Connection.Received == Connection.Sent) {
            Fail(Connection, "bytes that were never sent");
            return 0;
        }
        std::size_t Offset = 0;
        while (Offset < Data.size()) {
            if (Connection.Received == Connection.Sent) {
                Fail(Connection, "more bytes than were sent");
                return 0;
            }
            const auto Expected = FPayloads.Make(Connection.Received);
            const std::size_t Take =
                std::min(Data.size() - Offset, FOptions.Size - Connection.RawOffset);
            if (std::memcmp(Data.data() + Offset, Expected.data() + Connection.RawOffset, Take) !=
                0) {
                Fail(Connection,
                     "echoed bytes differ from message " + std::to_string(Connection.Received));
                return 0;
            }
            Offset += Take;
            Connection.RawOffset += Take;
            if (Connection.RawOffset == FOptions.Size) {
                Connection.RawOffset = 0;
                OnEcho(Connection);
            }
        }
        return Offset;
    }

    std::size_t StepFrame(TConnection& Connection, std::span<const std::uint8_t> Data) {
        TFrame Frame;
        std::size_t Used = 0;
        try {
            Used = ParseFrame(Data, Frame, Connection.Deflate != nullptr);
        } catch (const EFrameError& E) {
            Fail(Connection, E.what());
            return 0;
        }
        if (Used == 0) {
            return 0;
        }
        switch (Frame.Opcode) {
        case TOpcode::opPing:
            ++FStats.Pings;
            AppendFrame(Connection.Out, TOpcode::opPong, Frame.Payload,
                        std::uint32_t(NextRandom()));
            MarkDirty(Connection);
            return Used;
        case TOpcode::opPong:
            return Used;
        case TOpcode::opClose:
            OnClose(Connection, Frame.Payload);
            return Used;
        case TOpcode::opContinuation:
            if (!Connection.InMessage) {
                Fail(Connection, "continuation frame without a message");
                return 0;
            }
            if (Connection.Message.size() + Frame.Payload.size() > MaxMessage) {
                Fail(Connection, "fragmented message above 64 MiB");
                return 0;
            }
            Connection.Message.insert(Connection.Message.end(), Frame.Payload.begin(),
                                      Frame.Payload.end());
            if (Frame.Fin) {
                Connection.InMessage = false;
                if (Connection.MessageCompressed) {
                    if (!Inflate(Connection, Connection.Message)) {
                        return 0;
                    }
                    OnMessage(Connection, Connection.MessageOpcode, FInflated);
                } else {
                    OnMessage(Connection, Connection.MessageOpcode, Connection.Message);
                }
                Connection.Message.clear();
            }
            return Used;
        default:
            if (Connection.InMessage) {
                Fail(Connection, "new message inside a fragmented one");
                return 0;
            }
            if (Frame.Fin && Frame.Compressed) {
                if (!Inflate(Connection, Frame.Payload)) {
                    return 0;
                }
                OnMessage(Connection, Frame.Opcode, FInflated);
            } else if (Frame.Fin) {
                OnMessage(Connection, Frame.Opcode, Frame.Payload);
            } else {
                Connection.InMessage = true;
                Connection.MessageCompressed = Frame.Compressed;
                Connection.MessageOpcode = Frame.Opcode;
                Connection.Message.assign(Frame.Payload.begin(), Frame.Payload.end());
            }
            return Used;
        }
    }

    // Inflates a compressed message into FInflated; false (the connection failed) when it
    // does not inflate.
    bool Inflate(TConnection& Connection, std::span<const std::uint8_t> Payload) {
        try {
            Connection.Deflate->Inflate(Payload, FInflated, MaxMessage);
            return true;
        } catch (const EFrameError& E) {
            Fail(Connection, E.what());
            return false;
        }
    }

    void OnClose(TConnection& Connection, std::span<const std::uint8_t> Payload) {
        if (Connection.State == TState::sClosing) {
            if (Payload.size() < 2 || ((Payload[0] << 8) | Payload[1]) != 1000) {
                Fail(Connection, "close answered without code 1000");
                return;
            }
            ++FStats.AllMessages;
            if (GPhase.load() == phMeasure) {
                ++FStats.Messages;
                if (FStats.Samples.size() < MaxSamplesPerLoop) {
                    FStats.Samples.push_back(std::uint32_t(
                        std::min<std::uint64_t>(FNow - Connection.CycleStart, UINT32_MAX)));
                }
            }
            // The server ends TCP first, so that the waiting state stays on its side.
            Connection.State = TState::sAwaitEof;
            Connection.Deadline = FNow + std::uint64_t(FOptions.CloseWait * 1e9);
            return;
        }
        std::string Text = "server sent a close frame";
        if (Payload.size() >= 2) {
            Text += " with code " + std::to_string((Payload[0] << 8) | Payload[1]);
            if (Payload.size() > 2) {
                Text += " \"" + std::string(Payload.begin() + 2, Payload.end()) + "\"";
            }
        }
        Fail(Connection, Text);
    }

    void OnMessage(TConnection& Connection, TOpcode Opcode, std::span<const std::uint8_t> Data) {
        if (Connection.State == TState::sGreeting) {
            const std::string_view Text(reinterpret_cast<const char*>(Data.data()), Data.size());
            if (Opcode != TOpcode::opText || Text != FOptions.Greeting) {
                Fail(Connection, "first message is not the greeting \"" + FOptions.Greeting +
                                     "\" but \"" + std::string(Text.substr(0, 80)) + "\"");
                return;
            }
            BecomeOpen(Connection);
            return;
        }
        if (Connection.State == TState::sClosing) {
            return; // Data the server sent before it saw our close.
        }
        if (FOptions.Mode == TMode::mChurn || Connection.Received == Connection.Sent) {
            Fail(Connection,
                 "a message that was never sent (" + std::to_string(Data.size()) + " bytes)");
            return;
        }
        const TOpcode Want = FOptions.Binary ? TOpcode::opBinary : TOpcode::opText;
        if (Opcode != Want) {
            Fail(Connection, "echo of message " + std::to_string(Connection.Received) +
                                 " came back with opcode " + std::to_string(int(Opcode)));
            return;
        }
        const auto Expected = FPayloads.Make(Connection.Received);
        if (Data.size() != Expected.size() ||
            std::memcmp(Data.data(), Expected.data(), Data.size()) != 0) {
            Fail(Connection, "echo of message " + std::to_string(Connection.Received) +
                                 " differs (" + std::to_string(Data.size()) + " bytes, " +
                                 std::to_string(Expected.size()) + " expected)");
            return;
        }
        OnEcho(Connection);
    }

    void ScanDeadlines() {
        const auto CycleLimit = std::uint64_t(FOptions.CycleTimeout * 1e9);
        for (auto& Connection : FConnections) {
            switch (Connection->State) {
            case TState::sAwaitEof:
                if (FNow > Connection->Deadline) {
                    ++FStats.CloseTimeouts;
                    CloseSocket(*Connection);
                    NextCycle(*Connection);
                }
                break;
            case TState::sConnecting:
            case TState::sHandshake:
            case TState::sGreeting:
            case TState::sClosing:
                if (FOptions.Mode == TMode::mChurn && FNow - Connection->CycleStart > CycleLimit) {
                    Fail(*Connection, "churn cycle took longer than the cycle time-out");
                }
                break;
            default:
                break;
            }
        }
    }
};

[[noreturn]] void Usage(const char* Problem) {
    if (Problem != nullptr) {
        std::fprintf(stderr, "wsload: %s\n\n", Problem);
    }
    std::fprintf(
        stderr,
        "usage: wsload [options] [ws[s]://HOST:PORT/PATH]\n"
        "  --host H (127.0.0.1) --port P (2001) --path P (/ws/)\n"
        "  --connections N (1)   --inflight K (1)   --size BYTES (32)   --binary\n"
        "  --duration S (5)      --warmup S (1)     --threads T (1)\n"
        "  --expect-greeting     --greeting TEXT (\"Hello From Server.\")\n"
        "  --churn       connect, handshake, greeting, close handshake, repeat\n"
        "  --idle        open the connections, hold them for --duration seconds, then each\n"
        "                echoes one message\n"
        "  --tls         over TLS (as a wss:// URL does); certificates are not checked\n"
        "  --permessage-deflate  offer it, require it, compress every message sent\n"
        "  --raw         upgrade with \"Upgrade: <--raw-upgrade, raw>\", then a raw byte echo\n"
        "  --raw-tcp     plain TCP byte echo, no HTTP at all\n"
        "  --connect-timeout S (30) --connect-batch N (128) --close-wait S (1)\n"
        "  --drain-timeout S (5)    --cycle-timeout S (5)\n"
        "Prints a human line, then \"result key=value ...\". Exits 1 on any error.\n");
    std::exit(2);
}

double ParseNumber(const std::string& Name, const std::string& Text, double Min, double Max) {
    char* End = nullptr;
    errno = 0;
    const double Value = std::strtod(Text.c_str(), &End);
    if (Text.empty() || *End != '\0' || errno != 0 || !(Value >= Min && Value <= Max)) {
        const std::string Problem = "bad value \"" + Text + "\" for " + Name + " (" +
                                    std::to_string(Min) + " to " + std::to_string(Max) + ")";
        Usage(Problem.c_str());
    }
    return Value;
}

void ParseUrl(TOptions& Options, const std::string& Url) {
    const bool Secure = Url.rfind("wss://", 0) == 0;
    if (!Secure && Url.rfind("ws://", 0) != 0) {
        Usage("only ws:// and wss:// URLs");
    }
    Options.Tls = Options.Tls || Secure;
    const std::string Rest = Url.substr(Secure ? 6 : 5);
    const std::size_t Slash = Rest.find('/');
    const std::string Authority = Rest.substr(0, Slash);
    Options.Path = Slash == std::string::npos ? "/" : Rest.substr(Slash);
    const std::size_t Colon = Authority.rfind(':');
    Options.Host = Authority.substr(0, Colon);
    if (Colon != std::string::npos) {
        Options.Port = std::uint16_t(ParseNumber("port", Authority.substr(Colon + 1), 1, 65535));
    } else {
        Options.Port = Secure ? 443 : 80;
    }
}

TOptions ParseOptions(int Argc, char** Argv) {
    TOptions Options;
    for (int I = 1; I < Argc; ++I) {
        std::string Name = Argv[I];
        std::string Value;
        bool HasValue = false;
        if (const std::size_t Equals = Name.find('=');
            Name.rfind("--", 0) == 0 && Equals != std::string::npos) {
            Value = Name.substr(Equals + 1);
            Name = Name.substr(0, Equals);
            HasValue = true;
        }
        auto Next = [&]() -> std::string {
            if (HasValue) {
                return Value;
            }
            if (I + 1 >= Argc) {
                const std::string Problem = Name + " needs a value";
                Usage(Problem.c_str());
            }
            return Argv[++I];
        };
        if (Name == "--help" || Name == "-h") {
            Usage(nullptr);
        } else if (Name == "--host") {
            Options.Host = Next();
        } else if (Name == "--port") {
            Options.Port = std::uint16_t(ParseNumber(Name, Next(), 1, 65535));
        } else if (Name == "--path") {
            Options.Path = Next();
        } else if (Name == "--connections") {
            Options.Connections = int(ParseNumber(Name, Next(), 1, 1000000));
        } else if (Name == "--inflight") {
            Options.InFlight = int(ParseNumber(Name, Next(), 1, 100000));
        } else if (Name == "--size") {
            Options.Size = std::size_t(ParseNumber(Name, Next(), 0, double(MaxMessage)));
        } else if (Name == "--duration") {
            Options.Duration = ParseNumber(Name, Next(), 0.01, 86400);
        } else if (Name == "--warmup") {
            Options.Warmup = ParseNumber(Name, Next(), 0, 3600);
        } else if (Name == "--threads") {
            Options.Threads = int(ParseNumber(Name, Next(), 1, 256));
        } else if (Name == "--binary") {
            Options.Binary = true;
        } else if (Name == "--expect-greeting") {
            Options.ExpectGreeting = true;
        } else if (Name == "--greeting") {
            Options.Greeting = Next();
            Options.ExpectGreeting = true;
        } else if (Name == "--churn") {
            Options.Mode = TMode::mChurn;
        } else if (Name == "--idle") {
            Options.Mode = TMode::mIdle;
        } else if (Name == "--raw") {
            Options.Transport = TTransport::tRawUpgrade;
        } else if (Name == "--raw-upgrade") {
            Options.Transport = TTransport::tRawUpgrade;
            Options.RawUpgrade = Next();
        } else if (Name == "--tls") {
            Options.Tls = true;
        } else if (Name == "--permessage-deflate") {
            Options.Deflate = true;
        } else if (Name == "--raw-tcp") {
            Options.Transport = TTransport::tRawTcp;
        } else if (Name == "--connect-timeout") {
            Options.ConnectTimeout = ParseNumber(Name, Next(), 0.1, 3600);
        } else if (Name == "--connect-batch") {
            Options.ConnectBatch = int(ParseNumber(Name, Next(), 1, 100000));
        } else if (Name == "--close-wait") {
            Options.CloseWait = ParseNumber(Name, Next(), 0, 60);
        } else if (Name == "--drain-timeout") {
            Options.DrainTimeout = ParseNumber(Name, Next(), 0.1, 600);
        } else if (Name == "--cycle-timeout") {
            Options.CycleTimeout = ParseNumber(Name, Next(), 0.1, 600);
        } else if (Name.rfind("ws://", 0) == 0 || Name.rfind("wss://", 0) == 0) {
            ParseUrl(Options, Name);
        } else {
            const std::string Problem = "unknown argument \"" + Name + "\"";
            Usage(Problem.c_str());
        }
    }
    if (Options.Mode == TMode::mChurn && Options.Transport != TTransport::tWebSocket) {
        Usage("--churn is a WebSocket scenario");
    }
    if (Options.Transport != TTransport::tWebSocket && Options.Size == 0) {
        Usage("a raw echo needs --size of at least 1");
    }
    if (Options.Transport != TTransport::tWebSocket && Options.Deflate) {
        Usage("a raw echo has no permessage-deflate");
    }
    if (Options.Transport != TTransport::tWebSocket && Options.ExpectGreeting) {
        Usage("a raw echo has no greeting");
    }
    if (Options.Path.empty() || Options.Path[0] != '/') {
        Usage("--path must start with '/'");
    }
    Options.Threads = std::min(Options.Threads, Options.Connections);
    return Options;
}

bool Resolve(const std::string& Host, std::uint16_t Port, sockaddr_in& Address) {
    Address = {};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    if (inet_pton(AF_INET, Host.c_str(), &Address.sin_addr) == 1) {
        return true;
    }
    addrinfo Hints{};
    Hints.ai_family = AF_INET;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo* Found = nullptr;
    if (getaddrinfo(Host.c_str(), nullptr, &Hints, &Found) != 0 || Found == nullptr) {
        return false;
    }
    Address.sin_addr = reinterpret_cast<sockaddr_in*>(Found->ai_addr)->sin_addr;
    freeaddrinfo(Found);
    return true;
}

void SleepSeconds(double Seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
}

// Waits up to Seconds for Done(), checking every millisecond.
template <typename TPredicate>
bool WaitFor(double Seconds, TPredicate Done) {
    const auto Limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds);
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= Limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

double Micros(std::uint32_t Nanos) {
    return Nanos / 1000.0;
}

} // namespace

int main(int Argc, char** Argv) {
    const TOptions Options = ParseOptions(Argc, Argv);
    std::signal(SIGPIPE, SIG_IGN);
    // Thousands of connections need descriptors: take all the hard limit allows.
    rlimit Limit{};
    if (getrlimit(RLIMIT_NOFILE, &Limit) == 0 && Limit.rlim_cur < Limit.rlim_max) {
        Limit.rlim_cur = Limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &Limit);
    }
    sockaddr_in Address{};
    if (!Resolve(Options.Host, Options.Port, Address)) {
        std::fprintf(stderr, "wsload: cannot resolve \"%s\"\n", Options.Host.c_str());
        return 2;
    }

    if (Options.Tls) {
        GTlsContext = SSL_CTX_new(TLS_client_method());
        if (GTlsContext == nullptr) {
            std::fprintf(stderr, "wsload: SSL_CTX_new failed\n");
            return 2;
        }
        // The load runs against test servers with throw-away certificates. A peer that ends
        // TCP without close_notify (after the close handshake) ends the stream like one with.
        SSL_CTX_set_verify(GTlsContext, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_options(GTlsContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_mode(GTlsContext,
                         SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }

    std::vector<std::unique_ptr<TLoop>> Loops;
    int First = 0;
    for (int I = 0; I < Options.Threads; ++I) {
        const int Count = Options.Connections / Options.Threads +
                          (I < Options.Connections % Options.Threads ? 1 : 0);
        Loops.push_back(std::make_unique<TLoop>(Options, Address, First, Count));
        First += Count;
    }
    std::vector<std::thread> Threads;
    for (auto& Loop : Loops) {
        Threads.emplace_back([&Loop] { Loop->Run(); });
    }

    std::string SetupProblem;
    if (Options.Mode != TMode::mChurn) {
        const bool Settled = WaitFor(Options.ConnectTimeout, [&] {
            return GReady.load() + GFailed.load() >= Options.Connections;
        });
        if (!Settled) {
            SetupProblem = std::to_string(Options.Connections - GReady.load() - GFailed.load()) +
                           " connection(s) not ready within the connect time-out";
        } else if (GFailed.load() > 0) {
            SetupProblem = std::to_string(GFailed.load()) + " connection(s) failed to open";
        }
    }

    double Measured = 0;
    if (SetupProblem.empty()) {
        if (Options.Mode == TMode::mIdle) {
            std::printf("ready connections=%d\n", Options.Connections);
            std::fflush(stdout);
            const auto T0 = std::chrono::steady_clock::now();
            SleepSeconds(Options.Duration);
            Measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
            // Each connection still answers: one echo per connection.
            GPhase.store(phDrain);
            WaitFor(Options.DrainTimeout, [&] { return GDrained.load() >= int(Loops.size()); });
        } else {
            GPhase.store(phWarmup);
            SleepSeconds(Options.Warmup);
            const auto T0 = std::chrono::steady_clock::now();
            GPhase.store(phMeasure);
            SleepSeconds(Options.Duration);
            GPhase.store(phDrain);
            Measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
            WaitFor(Options.DrainTimeout, [&] { return GDrained.load() >= int(Loops.size()); });
        }
    }
    GPhase.store(phStop);
    for (auto& Thread : Threads) {
        Thread.join();
    }

    TStats Total;
    for (auto& Loop : Loops) {
        TStats& Stats = Loop->Stats();
        Total.Messages += Stats.Messages;
        Total.AllMessages += Stats.AllMessages;
        Total.Bytes += Stats.Bytes;
        Total.Errors += Stats.Errors;
        Total.Pings += Stats.Pings;
        Total.CloseTimeouts += Stats.CloseTimeouts;
        Total.Lost += Stats.Lost;
        Total.Samples.insert(Total.Samples.end(), Stats.Samples.begin(), Stats.Samples.end());
        for (auto& Text : Stats.ErrorTexts) {
            if (Total.ErrorTexts.size() < MaxErrorTexts) {
                Total.ErrorTexts.push_back(Text);
            }
        }
    }
    Loops.clear(); // Their connections' TLS states go before the context.
    if (GTlsContext != nullptr) {
        SSL_CTX_free(GTlsContext);
    }
    if (!SetupProblem.empty()) {
        ++Total.Errors;
        Total.ErrorTexts.insert(Total.ErrorTexts.begin(), SetupProblem);
    }
    for (const auto& Text : Total.ErrorTexts) {
        std::fprintf(stderr, "wsload: error: %s\n", Text.c_str());
    }

    auto& Samples = Total.Samples;
    auto Percentile = [&Samples](double Fraction) -> std::uint32_t {
        if (Samples.empty()) {
            return 0;
        }
        const auto Index = std::min(Samples.size() - 1, std::size_t(Fraction * Samples.size()));
        std::nth_element(Samples.begin(), Samples.begin() + std::ptrdiff_t(Index), Samples.end());
        return Samples[Index];
    };
    const std::uint32_t P50 = Percentile(0.50);
    const std::uint32_t P90 = Percentile(0.90);
    const std::uint32_t P99 = Percentile(0.99);
    const std::uint32_t Max =
        Samples.empty() ? 0 : *std::max_element(Samples.begin(), Samples.end());
    const double Rate = Measured > 0 ? double(Total.Messages) / Measured : 0;

    const char* Mode = Options.Mode == TMode::mChurn                  ? "churn"
                       : Options.Mode == TMode::mIdle                 ? "idle"
                       : Options.Transport == TTransport::tWebSocket  ? "echo"
                       : Options.Transport == TTransport::tRawUpgrade ? "raw"
                                                                      : "raw-tcp";
    if (Options.Mode == TMode::mIdle) {
        std::printf("%d idle connections held %.1f s, then %llu echoed one message each "
                    "(p50 %.0f us p99 %.0f us max %.0f us): %s\n",
                    Options.Connections, Measured, static_cast<unsigned long long>(Total.Messages),
                    Micros(P50), Micros(P99), Micros(Max), Total.Errors == 0 ? "ok" : "ERRORS");
    } else if (Options.Mode == TMode::mChurn) {
        std::printf("churn x %d: %.0f connections/s, cycle p50 %.0f us p90 %.0f us p99 %.0f us "
                    "max %.0f us, %llu close wait(s) expired, %llu error(s)\n",
                    Options.Connections, Rate, Micros(P50), Micros(P90), Micros(P99), Micros(Max),
                    static_cast<unsigned long long>(Total.CloseTimeouts),
                    static_cast<unsigned long long>(Total.Errors));
    } else {
        std::printf("%d conn x %d in flight x %zu B %s: %.0f msg/s, %.2f MB/s, p50 %.0f us "
                    "p90 %.0f us p99 %.0f us max %.0f us, %llu error(s)\n",
                    Options.Connections, Options.InFlight, Options.Size,
                    Options.Transport != TTransport::tWebSocket ? "raw"
                    : Options.Binary                            ? "binary"
                                                                : "text",
                    Rate, Rate * double(Options.Size) / 1e6, Micros(P50), Micros(P90), Micros(P99),
                    Micros(Max), static_cast<unsigned long long>(Total.Errors));
    }
    std::printf("result mode=%s connections=%d inflight=%d size=%zu binary=%d threads=%d "
                "seconds=%.3f count=%llu total=%llu rate=%.1f p50_us=%.1f p90_us=%.1f p99_us=%.1f "
                "max_us=%.1f errors=%llu lost=%llu pings=%llu close_timeouts=%llu tls=%d "
                "deflate=%d\n",
                Mode, Options.Connections, Options.InFlight, Options.Size, int(Options.Binary),
                Options.Threads, Measured, static_cast<unsigned long long>(Total.Messages),
                static_cast<unsigned long long>(Total.AllMessages), Rate, Micros(P50), Micros(P90),
                Micros(P99), Micros(Max), static_cast<unsigned long long>(Total.Errors),
                static_cast<unsigned long long>(Total.Lost),
                static_cast<unsigned long long>(Total.Pings),
                static_cast<unsigned long long>(Total.CloseTimeouts), int(Options.Tls),
                int(Options.Deflate));
    std::fflush(stdout);
    return Total.Errors == 0 ? 0 : 1;
}
