// Connection: one client TCP connection; parses requests, hands them to queues, writes answers.
#include "platform/httpapi/Connection.h"

#include "platform/httpapi/RequestQueue.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <strings.h>
#include <sys/epoll.h>
#include <unistd.h>
#include <utility>

namespace httpapi {

namespace {

// Ids are never reused within the process, so a stale id can only miss.
std::atomic<std::uint64_t> NextConnectionId{1};
std::atomic<std::uint64_t> NextRequestId{1};

constexpr std::string_view ContinueLine = "HTTP/1.1 100 Continue\r\n\r\n";

// Base64 of "user:password": the alphabet, whole quanta, padding only at the end.
bool IsBasicCredentials(std::string_view Text) noexcept {
    while (!Text.empty() && Text.front() == ' ') {
        Text.remove_prefix(1);
    }
    if (Text.empty() || Text.size() % 4 != 0) {
        return false;
    }
    std::size_t Padding = 0;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        const char C = Text[I];
        if (C == '=') {
            ++Padding;
            continue;
        }
        if (Padding > 0 || !(std::isalnum(static_cast<unsigned char>(C)) || C == '+' || C == '/')) {
            return false;
        }
    }
    return Padding <= 2;
}

std::string AddressText(const sockaddr_storage& Address) {
    // Appended piece by piece: GCC 12 warns falsely about chains of string operator+.
    char Text[INET6_ADDRSTRLEN] = {};
    std::string Result;
    std::uint16_t Port = 0;
    if (Address.ss_family == AF_INET) {
        const auto& V4 = reinterpret_cast<const sockaddr_in&>(Address);
        inet_ntop(AF_INET, &V4.sin_addr, Text, sizeof(Text));
        Result.append(Text);
        Port = ntohs(V4.sin_port);
    } else {
        const auto& V6 = reinterpret_cast<const sockaddr_in6&>(Address);
        if (IN6_IS_ADDR_V4MAPPED(&V6.sin6_addr)) {
            inet_ntop(AF_INET, &V6.sin6_addr.s6_addr[12], Text, sizeof(Text));
            Result.append(Text);
        } else {
            inet_ntop(AF_INET6, &V6.sin6_addr, Text, sizeof(Text));
            Result.append(1, '[').append(Text).append(1, ']');
        }
        Port = ntohs(V6.sin6_port);
    }
    Result.append(1, ':').append(std::to_string(Port));
    return Result;
}

} // namespace

TConnection::TConnection(std::shared_ptr<TReactor> Reactor, std::shared_ptr<TRouter> Router, int Fd,
                         const sockaddr_storage& Local, const sockaddr_storage& Remote,
                         std::shared_ptr<TTlsContext> Tls)
    : FId(NextConnectionId.fetch_add(1))
    , FReactor(std::move(Reactor))
    , FRouter(std::move(Router))
    , FLocal(Local)
    , FRemote(Remote)
    , FLocalText(AddressText(Local))
    , FLocalIp(FLocalText.substr(FLocalText.front() == '[' ? 1 : 0,
                                 FLocalText.rfind(':') - (FLocalText.front() == '[' ? 2 : 0)))
    , FLocalPort(
          static_cast<std::uint16_t>(std::stoi(FLocalText.substr(FLocalText.rfind(':') + 1))))
    , FFd(Fd)
    , FParser(std::make_unique<TRequestParser>())
    , FTimeouts(FRouter->ApiTimeouts()) {
    if (Tls) {
        FTls = std::make_unique<TTlsStream>(std::move(Tls), Fd);
        if (!FTls->Valid()) {
            throw ETlsSetupError(); // the listener closes the socket
        }
    }
}

TConnection::~TConnection() {
    if (FFd >= 0) {
        close(FFd);
    }
}

void TConnection::Start() noexcept {
    TLockGuard Guard(*this);
    if (FPhase == TPhase::Head && FParser->Idle() && FDeadline == 0) {
        ArmLocked(FTimeouts.IdleConnection); // unless a head already started the header wait
    }
    PumpLocked();
}

void TConnection::OnEvents(std::uint32_t Events) noexcept {
    TLockGuard Guard(*this);
    if (FPhase == TPhase::Closed) {
        return; // a stale event from before the socket was closed
    }
    if ((Events & EPOLLOUT) != 0) {
        FWriteBlocked = false;
        if (PendingOutput() > 0 && FCorkSince == 0) {
            WriteLocked(nullptr, 0);
        }
        if (!FPendingSends.empty()) {
            PumpSendsLocked();
        }
    }
    if ((Events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0) {
        FHangupSeen = true;
    }
    if ((Events & EPOLLOUT) != 0 && FTls && FTls->WantsWrite()) {
        PumpLocked(); // the handshake stopped on a full socket: go on
    }
    if ((Events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0 && FPhase != TPhase::Closed) {
        PumpLocked();
    }
}

void TConnection::OnTick(std::int64_t NowMs) noexcept {
    TLockGuard Guard(*this);
    if (FTickDue <= NowMs) {
        FTickDue = 0; // this is the tick asked for (an earlier one may have come before)
    }
    if (FPhase == TPhase::Closed) {
        return;
    }
    if (FCorkSince != 0 && NowMs - FCorkSince >= CorkMs) {
        UncorkLocked();
        WriteLocked(nullptr, 0);
    }
    if (!FPendingSends.empty() && FPhase != TPhase::Closed) {
        PumpSendsLocked();
        if (FSendDeadline != 0 && NowMs >= FSendDeadline) {
            if (PendingOutput() >= FSendMark) {
                CloseLocked(true); // the client stopped reading (minimum send rate)
                return;
            }
            ArmSendTimerLocked();
        }
    }
    if (FRequest.QueueDeadline != 0 && NowMs >= FRequest.QueueDeadline) {
        FRequest.QueueDeadline = 0;
        const auto Waiting = FRequest.Delivered.lock();
        if (FPhase == TPhase::Delivered && Waiting && Waiting->Id == FRequest.Id &&
            !Waiting->HandedOut) {
            CloseLocked(true); // no application took it in time (the request-queue timer)
            return;
        }
    }
    if (FDeadline != 0 && NowMs >= FDeadline && FPhase != TPhase::Delivered) {
        // Header wait, idle connection, drain or linger time-out: the Windows listener closes.
        CloseLocked(false);
        return;
    }
    ScheduleLocked(NextDeadlineLocked());
}

void TConnection::OnFlush() noexcept {
    TLockGuard Guard(*this);
    if (FCorkSince != 0 && FPhase != TPhase::Closed) {
        UncorkLocked();
        WriteLocked(nullptr, 0);
    }
}

std::int64_t TConnection::NextDeadlineLocked() const noexcept {
    std::int64_t Next = 0;
    for (const std::int64_t Due :
         {FPhase == TPhase::Delivered ? 0 : FDeadline, FRequest.QueueDeadline, FSendDeadline}) {
        if (Due != 0 && (Next == 0 || Due < Next)) {
            Next = Due;
        }
    }
    return Next;
}

void TConnection::ScheduleLocked(std::int64_t DueMs) noexcept {
    if (DueMs == 0 || FPhase == TPhase::Closed || (FTickDue != 0 && FTickDue <= DueMs)) {
        return; // none needed, or an earlier tick comes anyway and asks again
    }
    try {
        FReactor->Schedule(shared_from_this(), DueMs);
        FTickDue = DueMs;
    } catch (...) {
        // Out of memory: the time-out is missed; the connection still ends with its client.
    }
}

void TConnection::OnStop() noexcept {
    TLockGuard Guard(*this);
    CloseLocked(true);
}

void TConnection::CompleteLocked(const TPendingIo& Io, DWORD Status, DWORD Bytes) noexcept {
    FReporter.Add(Io, Status, Bytes);
}

void TConnection::CompleteAtOnceLocked(TLockGuard& Guard, const TPendingIo& Io,
                                       DWORD Bytes) noexcept {
    Guard.ReportedBeforeReturn = FReporter.Add(Io, NO_ERROR, Bytes);
}

void TConnection::UnlockAndComplete(std::unique_lock<std::mutex>& Lock) noexcept {
    // A receiver waiting for the request delivered under the lock: woken once it is released.
    struct TNotifyArrived {
        win::TParker* Receiver;
        ~TNotifyArrived() {
            if (Receiver != nullptr) {
                win::Wake(*Receiver);
            }
        }
    } NotifyArrived{std::exchange(FArrivedReceiver, nullptr)};
    FReporter.UnlockAndReport(Lock);
}

void TConnection::FlushLocked(std::unique_lock<std::mutex>& Lock) noexcept {
    if (FReporter.Pending() || FArrivedReceiver != nullptr) {
        UnlockAndComplete(Lock);
        Lock.lock();
    }
}

bool TConnection::Closed() const noexcept {
    return FClosed.load();
}

void TConnection::Abort(DWORD Status) noexcept {
    TLockGuard Guard(*this);
    FAbortStatus = Status;
    CloseLocked(true);
}

void TConnection::ArmLocked(std::uint16_t Seconds) noexcept {
    FDeadline = Seconds == TTimeouts::Disabled ? 0 : MonotonicMs() + std::int64_t(Seconds) * 1000;
    ScheduleLocked(FDeadline);
}

void TConnection::PumpLocked() noexcept {
    try {
        for (int Round = 0; Round < 64 && FPhase != TPhase::Closed; ++Round) {
            ReadLocked();
            ProcessLocked();
            // Stopped at the input limit but the input was consumed: read on (edge-triggered,
            // the kernel will not tell us again).
            if (!FReadPaused || FPhase == TPhase::Delivered || FPhase == TPhase::Closed ||
                PendingInput() >= InputLimit) {
                break;
            }
        }
        if (FReadPaused && FPhase != TPhase::Delivered && FPhase != TPhase::Closed &&
            PendingInput() < InputLimit) {
            ResumeReading();
        }
    } catch (...) {
        CloseLocked(true); // out of memory: drop this client, keep the reactor
    }
}

void TConnection::ReadLocked() noexcept {
    FReadPaused = false;
    if (FFd < 0 || FPeerClosed) {
        return;
    }
    while (true) {
        if (FPhase == TPhase::Closing) {
            FInput.clear(); // after our last byte, input is only drained
            FInputStart = 0;
        }
        if (FInputStart > 0 && (FInputStart == FInput.size() || FInputStart > InputLimit / 2)) {
            FInput.erase(0, FInputStart);
            FInputStart = 0;
        }
        const std::size_t Room = InputLimit > PendingInput() ? InputLimit - PendingInput() : 0;
        if (Room == 0) {
            FReadPaused = true;
            return;
        }
        if (FPhase == TPhase::Opaque && PendingInput() == 0 && !FPendingReads.empty()) {
            // A read waits and nothing is held: the bytes go straight into its buffer.
            const TPendingIo Read = FPendingReads.front();
            auto* Into = static_cast<char*>(Read.Buffer);
            const ssize_t Got =
                FTls ? FTls->Receive(Into, Read.Length) : recv(FFd, Into, Read.Length, 0);
            if (Got > 0) {
                FPendingReads.erase(FPendingReads.begin());
                FRequest.ReadHandedOut = true;
                CompleteLocked(Read, NO_ERROR, static_cast<DWORD>(Got));
                if (static_cast<std::size_t>(Got) < Read.Length && !FHangupSeen && !FTls) {
                    return; // the socket is empty (see below)
                }
                continue;
            }
            if (Got == 0) {
                FPeerClosed = true;
                FChanged.notify_all();
                return;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                CloseLocked(true);
            }
            return;
        }
        // Into a stack buffer, then appended: growing the string first would zero-fill it.
        char Chunk[16384];
        const std::size_t Want = std::min<std::size_t>(Room, sizeof(Chunk));
        const ssize_t Got = FTls ? FTls->Receive(Chunk, Want) : recv(FFd, Chunk, Want, 0);
        if (Got > 0) {
            FInput.append(Chunk, static_cast<std::size_t>(Got));
            FChanged.notify_all();
            if (static_cast<std::size_t>(Got) < Want && !FHangupSeen && !FTls) {
                // The socket is empty: whatever arrives next raises a new edge, so the
                // read that would only say EAGAIN is saved. (A hang-up already signalled
                // raises none: then read on to the end.)
                return;
            }
            continue;
        }
        if (Got == 0) {
            FPeerClosed = true;
            FChanged.notify_all();
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            CloseLocked(true);
        }
        return;
    }
}

void TConnection::ProcessLocked() noexcept {
    while (FPhase != TPhase::Closed) {
        switch (FPhase) {
        case TPhase::Head: {
            if (PendingInput() == 0) {
                if (FPeerClosed) {
                    StartClosingLocked(); // after what the client is still owed
                }
                return;
            }
            const bool WasIdle = FParser->Idle();
            std::size_t Consumed = 0;
            const auto Status =
                FParser->ParseHead(std::string_view(FInput).substr(FInputStart), Consumed);
            if (Status == TRequestParser::TStatus::Error) {
                AnswerLocked(FParser->Answer());
                return;
            }
            if (Status == TRequestParser::TStatus::NeedMore) {
                if (FPeerClosed) {
                    StartClosingLocked(); // the client left in the middle of a request
                } else if (WasIdle && !FParser->Idle()) {
                    ArmLocked(FTimeouts.HeaderWait); // the first byte of a head starts the clock
                }
                return;
            }
            FInputStart += Consumed;
            try {
                DeliverLocked();
            } catch (...) {
                CloseLocked(true);
            }
            break;
        }
        case TPhase::Delivered:
            return; // the application reads the body and answers
        case TPhase::Opaque:
            ServeReadsLocked();
            return;
        case TPhase::Draining: {
            std::size_t Consumed = 0;
            std::size_t Written = 0;
            const bool Ok = FParser->ReadBody(std::string_view(FInput).substr(FInputStart), nullptr,
                                              0, Consumed, Written);
            FInputStart += Consumed;
            if (!Ok) {
                CloseLocked(true);
                return;
            }
            if (FParser->BodyDone()) {
                NextRequestLocked();
                break;
            }
            if (FPeerClosed) {
                StartClosingLocked();
            }
            return;
        }
        case TPhase::Closing:
            FInput.clear();
            FInputStart = 0;
            if (FPeerClosed && PendingOutput() == 0) {
                CloseLocked(false); // else the last write closes it
            }
            return;
        case TPhase::Closed:
            return;
        }
    }
}

void TConnection::DeliverLocked() {
    auto Request = std::make_shared<TRequest>();
    Request->Head = std::move(FParser->Head());
    Request->Local = FLocal;
    Request->Remote = FRemote;
    const TListenerAnswer Cooked = CookUrl(Request->Head, FLocalText, Request->Url);
    Request->Url.Scheme = FTls ? "https" : "http"; // the connection's, whatever the target says
    if (FTls) {
        Request->Tls = FTls->Facts();
        if (!Request->Tls) {
            throw std::bad_alloc(); // a TLS request never passes for a plain one
        }
    }
    if (Cooked != TListenerAnswer::None) {
        AnswerLocked(Cooked);
        return;
    }
    TRoute Route = FRouter->Route(Request->Url, FLocalPort, FLocalIp);
    if (Route.Answer != TListenerAnswer::None) {
        AnswerLocked(Route.Answer);
        return;
    }
    if (Route.Connections != FGroupConnections) {
        // Counted in the group of its latest request, while it is open.
        if (FGroupConnections) {
            --*FGroupConnections;
            FGroupConnections.reset();
        }
        if (Route.Connections) {
            const ULONG Count = ++*Route.Connections;
            if (Route.MaxConnections != 0 && Count > Route.MaxConnections) {
                --*Route.Connections;
                AnswerLocked(TListenerAnswer::ServiceUnavailable); // the group's limit
                return;
            }
            FGroupConnections = Route.Connections;
        }
    }
    Request->Log = Route.Log;
    Request->Bandwidth = Route.Bandwidth;
    Request->ArrivedMs = MonotonicMs();
    if ((Route.AuthSchemes & HTTP_AUTH_ENABLE_BASIC) != 0) {
        const std::string* Authorization = Request->Head.Find("Authorization");
        if (Authorization != nullptr && Authorization->size() >= 6 &&
            strncasecmp(Authorization->c_str(), "Basic ", 6) == 0) {
            if (!IsBasicCredentials(std::string_view(*Authorization).substr(6))) {
                AnswerLocked(TListenerAnswer::BadRequest); // the listener refuses bad Base64
                return;
            }
            Request->BasicAuthInfo = true;
        }
    }
    Request->Prepare();
    Request->Id = NextRequestId.fetch_add(1);
    Request->ConnectionId = FId;
    Request->UrlContext = Route.Context;
    Request->Connection = shared_from_this();

    FTimeouts = Route.Timeouts;
    FRequest = TCurrentRequest{
        .Id = Request->Id,
        .Queue = Route.Queue,
        .Delivered = Request,
        .QueueDeadline = FTimeouts.RequestQueue == TTimeouts::Disabled
                             ? 0
                             : MonotonicMs() + std::int64_t(FTimeouts.RequestQueue) * 1000,
        .KeepAlive = Request->Head.KeepAlive,
        .Expect100 = Request->Head.Expect100,
    };
    FPhase = TPhase::Delivered;
    FDeadline = 0; // the application holds the request: no listener timer runs
    ScheduleLocked(FRequest.QueueDeadline);
    // The receiver is woken once the lock is released: it answers on this connection, and
    // would otherwise find the lock still held here.
    TRequestQueue::TWakeUp WakeUp;
    const TDeliverResult Result = Route.Queue->Deliver(std::move(Request), &WakeUp);
    if (WakeUp.Completion) {
        CompleteLocked(WakeUp.Completion->Io, WakeUp.Completion->Status, WakeUp.Completion->Bytes);
    }
    if (WakeUp.Receiver != nullptr) {
        FArrivedReceiver = WakeUp.Receiver;
    }
    if (Result == TDeliverResult::Delivered) {
        return;
    }
    FRequest.QueueDeadline = 0;
    FRequest.Id = HTTP_NULL_ID;
    if (Result == TDeliverResult::Full &&
        Route.Queue->Verbosity() == Http503ResponseVerbosityBasic) {
        CloseLocked(true); // the Windows default for a full queue: reset, no answer
        return;
    }
    AnswerLocked(TListenerAnswer::ServiceUnavailable);
}

void TConnection::AnswerLocked(TListenerAnswer Answer) noexcept {
    try {
        FRequest.Id = HTTP_NULL_ID;
        FOutput += ListenerAnswerText(Answer);
        UncorkLocked();
        StartClosingLocked();
        WriteLocked(nullptr, 0);
    } catch (...) {
        CloseLocked(true);
    }
}

void TConnection::StartClosingLocked() noexcept {
    FPhase = TPhase::Closing;
    FShutdownAfterFlush = true;
    // The client gets what it is still owed first (a client that stops taking it is cut off
    // as an idle one); the linger after our last byte starts once that is out.
    if (PendingOutput() > 0) {
        ArmLocked(FTimeouts.IdleConnection);
    } else {
        FDeadline = MonotonicMs() + LingerMs;
        ScheduleLocked(FDeadline);
    }
    if (PendingOutput() == 0 && FFd >= 0) {
        ShutdownWriteLocked();
    }
    FInput.clear();
    FInputStart = 0;
    if (FPeerClosed) {
        if (PendingOutput() == 0) {
            CloseLocked(false);
        }
    }
}

void TConnection::NextRequestLocked() noexcept {
    FParser->Reset();
    FRequest.Id = HTTP_NULL_ID;
    FPhase = TPhase::Head;
    ArmLocked(PendingInput() > 0 ? FTimeouts.HeaderWait : FTimeouts.IdleConnection);
}

void TConnection::FinishResponseLocked() noexcept {
    FRequest.Id = HTTP_NULL_ID;
    if (FRequest.CloseAfter || !FRequest.KeepAlive) {
        StartClosingLocked();
        return;
    }
    if (FParser->BodyDone()) {
        NextRequestLocked();
    } else {
        // The application did not read the whole body: discard the rest, then go on.
        FPhase = TPhase::Draining;
        ArmLocked(FTimeouts.DrainEntityBody);
    }
    // Pipelined input may already be here; read on if reading had stopped.
    ProcessLocked();
    if (FReadPaused && FPhase != TPhase::Closed && FPhase != TPhase::Delivered) {
        ResumeReading();
    }
}

void TConnection::ResumeReading() noexcept {
    if (FResumePosted) {
        return;
    }
    FResumePosted = true;
    try {
        std::weak_ptr<TConnection> Self = weak_from_this();
        FReactor->Post([Self] {
            if (auto Connection = Self.lock()) {
                TLockGuard Guard(*Connection);
                Connection->FResumePosted = false;
                if (Connection->FPhase != TPhase::Closed) {
                    Connection->PumpLocked();
                }
            }
        });
    } catch (...) {
        FResumePosted = false;
    }
}

void TConnection::ShutdownWriteLocked() noexcept {
    if (FTls) {
        FTls->Shutdown();
    }
    shutdown(FFd, SHUT_WR);
}

void TConnection::UncorkLocked() noexcept {
    FCorkSince = 0;
}

bool TConnection::WriteLocked(const iovec* Extra, std::size_t ExtraCount) noexcept {
    if (FFd < 0) {
        return false;
    }
    constexpr std::size_t MaxVectors = 64;
    std::size_t Index = 0;
    while (true) {
        iovec Vectors[MaxVectors];
        std::size_t Count = 0;
        std::size_t Total = 0;
        if (PendingOutput() > 0) {
            Vectors[Count++] = {FOutput.data() + FOutputStart, PendingOutput()};
            Total += PendingOutput();
        }
        for (std::size_t I = Index; I < ExtraCount && Count < MaxVectors; ++I) {
            Vectors[Count++] = Extra[I];
            Total += Extra[I].iov_len;
        }
        if (Count == 0) {
            break;
        }
        msghdr Message{};
        Message.msg_iov = Vectors;
        Message.msg_iovlen = Count;
        const ssize_t Sent =
            FTls ? FTls->Send(Vectors, Count) : sendmsg(FFd, &Message, MSG_NOSIGNAL);
        if (Sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Keep the rest; EPOLLOUT brings the reactor back when the socket drains.
                FWriteBlocked = !FTls;
                try {
                    for (std::size_t I = Index; I < ExtraCount; ++I) {
                        FOutput.append(static_cast<const char*>(Extra[I].iov_base),
                                       Extra[I].iov_len);
                    }
                } catch (...) {
                    CloseLocked(true);
                    return false;
                }
                return true;
            }
            CloseLocked(true);
            return false;
        }
        // Account for what went out: the buffered output first, then the pieces in order.
        std::size_t Done = static_cast<std::size_t>(Sent);
        const std::size_t FromOutput = std::min(Done, PendingOutput());
        FOutputStart += FromOutput;
        Done -= FromOutput;
        if (PendingOutput() == 0) {
            if (FOutput.capacity() > IdleOutputCapacity) {
                std::string().swap(FOutput); // a burst's buffer is not kept for good
            } else {
                FOutput.clear();
            }
            FOutputStart = 0;
        }
        std::size_t I = Index;
        while (I < ExtraCount && Done >= Extra[I].iov_len) {
            Done -= Extra[I].iov_len;
            ++I;
        }
        Index = I;
        if (Done > 0) {
            // A piece went out in part: keep its tail, and everything after it, buffered.
            try {
                FOutput.append(static_cast<const char*>(Extra[Index].iov_base) + Done,
                               Extra[Index].iov_len - Done);
                ++Index;
                for (std::size_t J = Index; J < ExtraCount; ++J) {
                    FOutput.append(static_cast<const char*>(Extra[J].iov_base), Extra[J].iov_len);
                }
            } catch (...) {
                CloseLocked(true);
                return false;
            }
            Index = ExtraCount;
        }
        if (static_cast<std::size_t>(Sent) < Total) {
            continue; // try once more: the next call tells EAGAIN or takes more
        }
        if (Index >= ExtraCount && PendingOutput() == 0) {
            break;
        }
    }
    FChanged.notify_all();
    if (PendingOutput() == 0 && FShutdownAfterFlush && FFd >= 0) {
        ShutdownWriteLocked();
        FShutdownAfterFlush = false;
        FDeadline = MonotonicMs() + LingerMs;
        ScheduleLocked(FDeadline);
        if (FPeerClosed) {
            CloseLocked(false);
        }
    }
    return true;
}

void TConnection::CloseLocked(bool Reset) noexcept {
    if (FFd < 0) {
        FPhase = TPhase::Closed;
        FClosed = true;
        return;
    }
    UncorkLocked();
    // Closed before the socket is: once the client sees the end, no receive may still take
    // this connection's request for a live one.
    FClosed = true;
    if (Reset) {
        linger Linger{1, 0};
        setsockopt(FFd, SOL_SOCKET, SO_LINGER, &Linger, sizeof(Linger));
    }
    close(FFd);
    FFd = -1;
    FTls.reset();
    FPhase = TPhase::Closed;
    if (FGroupConnections) {
        --*FGroupConnections;
        FGroupConnections.reset();
    }
    FDeadline = 0;
    FInput.clear();
    FInput.shrink_to_fit();
    FInputStart = 0;
    FOutput.clear();
    FOutput.shrink_to_fit();
    FOutputStart = 0;
    FChanged.notify_all();
    // Pending overlapped operations end with the connection: reads with the end of the stream
    // (or the reason it was cut), disconnect waits with success, unless the queue or the
    // application ended it (then with the status it gave).
    const DWORD ReadStatus = FAbortStatus != NO_ERROR ? FAbortStatus
                             : FPeerClosed && !Reset  ? DWORD(ERROR_HANDLE_EOF)
                                                      : DWORD(ERROR_CONNECTION_INVALID);
    for (const TPendingIo& Read : FPendingReads) {
        CompleteLocked(Read, ReadStatus, 0);
    }
    FPendingReads.clear();
    for (const TPendingIo& Wait : FDisconnectWaits) {
        CompleteLocked(Wait, FAbortStatus, 0);
    }
    FDisconnectWaits.clear();
    FailSendsLocked(FAbortStatus != NO_ERROR ? FAbortStatus : DWORD(ERROR_CONNECTION_INVALID));
    if (FRequest.Id != HTTP_NULL_ID) {
        if (const auto Queue = FRequest.Queue.lock()) {
            Queue->Retire(FRequest.Id); // nobody can use the request any more
        }
    }
    try {
        FReactor->Remove(this);
    } catch (...) {
        // Remove only moves a pointer; nothing to undo.
    }
}

DWORD TConnection::ReadBody(const TRequest& Request, ULONG Flags, char* Buffer, ULONG Length,
                            ULONG& BytesRead, LPOVERLAPPED Overlapped,
                            const TCompletionTarget& Target) {
    BytesRead = 0;
    TLockGuard Guard(*this);
    const TReadCall Call{Request, Flags, Buffer, Length, Overlapped, Target};
    return FOpaque ? ReadOpaqueLocked(Guard, Call, BytesRead)
                   : ReadEntityBodyLocked(Guard, Call, BytesRead);
}

DWORD TConnection::ReadOpaqueLocked(TLockGuard& Guard, const TReadCall& Call, ULONG& BytesRead) {
    auto& Lock = Guard.Lock;
    if (FRequest.ReadHandedOut && FRequest.Id == Call.Request.Id) {
        // The application is done with the bytes it was given: what it answered them
        // with goes out now, together.
        FRequest.ReadHandedOut = false;
        if (FCorkSince != 0) {
            UncorkLocked();
            WriteLocked(nullptr, 0);
        }
    }
    while (true) {
        if (FRequest.Id != Call.Request.Id) {
            return ERROR_CONNECTION_INVALID;
        }
        if (FPendingReads.empty() && PendingInput() > 0) {
            BytesRead = static_cast<ULONG>(TakeInputLocked(Call.Buffer, Call.Length));
            FRequest.ReadHandedOut = true;
            if (Call.Overlapped != nullptr) {
                // Done at once; the completion is still reported.
                win::BeginOverlapped(Call.Overlapped);
                CompleteAtOnceLocked(
                    Guard,
                    TPendingIo{Call.Overlapped, Call.Target, Call.Buffer, Call.Length, Call.Flags},
                    BytesRead);
            }
            return NO_ERROR;
        }
        if (FPhase != TPhase::Opaque || FPeerClosed) {
            if (FPhase == TPhase::Opaque) {
                // The application has answered all it was given and now learns of the end:
                // our side ends once what it sent is out.
                StartClosingLocked();
            }
            // The end comes at once, even to an overlapped read, as on Windows.
            return FPeerClosed ? ERROR_HANDLE_EOF : ERROR_CONNECTION_INVALID;
        }
        if (Call.Overlapped != nullptr) {
            win::BeginOverlapped(Call.Overlapped);
            FPendingReads.push_back(
                {Call.Overlapped, Call.Target, Call.Buffer, Call.Length, Call.Flags});
            return ERROR_IO_PENDING;
        }
        FlushLocked(Lock);
        const win::TBlockingScope Blocking;
        FChanged.wait(Lock);
    }
}

DWORD TConnection::ReadEntityBodyLocked(TLockGuard& Guard, const TReadCall& Call,
                                        ULONG& BytesRead) {
    auto& Lock = Guard.Lock;
    if (FPhase != TPhase::Delivered || FRequest.Id != Call.Request.Id) {
        return ERROR_CONNECTION_INVALID;
    }
    if (FParser->BodyDone()) {
        return ERROR_HANDLE_EOF;
    }
    if (FRequest.Expect100 && !FRequest.HeadSent) {
        // The client waits for our word before sending the body: give it on the first read.
        FRequest.Expect100 = false;
        const iovec Continue{const_cast<char*>(ContinueLine.data()), ContinueLine.size()};
        UncorkLocked();
        if (!WriteLocked(&Continue, 1)) {
            return ERROR_CONNECTION_INVALID;
        }
    }
    std::size_t Total = 0;
    const auto Limit = std::chrono::seconds(
        FTimeouts.EntityBody == TTimeouts::Disabled ? 24 * 3600 : FTimeouts.EntityBody);
    auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (true) {
        std::size_t Consumed = 0;
        std::size_t Written = 0;
        const bool Ok =
            FParser->ReadBody(std::string_view(FInput).substr(FInputStart), Call.Buffer + Total,
                              Call.Length - Total, Consumed, Written);
        FInputStart += Consumed;
        Total += Written;
        if (Consumed > 0) {
            Deadline = std::chrono::steady_clock::now() + Limit;
            if (FReadPaused) {
                ResumeReading();
            }
        }
        if (!Ok) {
            CloseLocked(true); // a broken chunked body: nothing sensible can follow
            return ERROR_CONNECTION_INVALID;
        }
        if (FParser->BodyDone() || Total == Call.Length) {
            break;
        }
        if (Total > 0 && (Call.Flags & HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER) == 0) {
            break;
        }
        if (FPhase == TPhase::Closed || FPeerClosed) {
            if (Total > 0) {
                break;
            }
            return ERROR_CONNECTION_INVALID;
        }
        FlushLocked(Lock);
        const win::TBlockingScope Blocking;
        if (FChanged.wait_until(Lock, Deadline) == std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= Deadline) {
            CloseLocked(true); // entity-body time-out
            return ERROR_CONNECTION_INVALID;
        }
        if (FPhase != TPhase::Delivered || FRequest.Id != Call.Request.Id) {
            return ERROR_CONNECTION_INVALID;
        }
    }
    BytesRead = static_cast<ULONG>(Total);
    if (Total == 0) {
        return ERROR_HANDLE_EOF;
    }
    if (Call.Overlapped != nullptr) {
        // A plain body is read at once; the completion is still reported.
        win::BeginOverlapped(Call.Overlapped);
        CompleteAtOnceLocked(
            Guard, TPendingIo{Call.Overlapped, Call.Target, Call.Buffer, Call.Length, Call.Flags},
            BytesRead);
    }
    return NO_ERROR;
}

DWORD TConnection::Send(const TRequest& Request, TSendCall Call, ULONG& BytesSent) {
    BytesSent = 0;
    TLockGuard Guard(*this);
    auto& Lock = Guard.Lock;
    if (Call.Overlapped == nullptr) {
        // Bytes leave in call order: a synchronous send waits behind queued overlapped ones.
        if (!FPendingSends.empty() && FFd >= 0) {
            const win::TBlockingScope Blocking;
            FChanged.wait(Lock, [this] { return FPendingSends.empty() || FFd < 0; });
        }
    }
    if ((FPhase != TPhase::Delivered && FPhase != TPhase::Opaque) || FRequest.Id != Request.Id ||
        FRequest.SendsEnded) {
        return ERROR_CONNECTION_INVALID;
    }
    if (Call.IsHead == FRequest.HeadSent) {
        return ERROR_INVALID_PARAMETER; // two heads, or a body before the head
    }
    bool Channel = FPhase == TPhase::Opaque;
    for (const TQueuedSend& Queued : FPendingSends) {
        Channel = Channel || Queued.Opaque;
    }
    if (Channel) {
        Call.Final = Call.Final || Call.CloseAfter; // the channel ends with the disconnect flag
    }
    if (Call.IsHead) {
        FRequest.HeadSent = true;
        FRequest.DropBody = Call.DropBody;
    }
    FRequest.CloseAfter = FRequest.CloseAfter || Call.CloseAfter;
    std::size_t Total = Call.Head.size();
    // The head and the pieces: on the stack for the usual few, no allocation per send.
    iovec InlineVectors[8];
    std::vector<iovec> ManyVectors;
    iovec* Vectors = InlineVectors;
    if (Call.Pieces.size() + 1 > std::size(InlineVectors)) {
        ManyVectors.resize(Call.Pieces.size() + 1);
        Vectors = ManyVectors.data();
    }
    std::size_t Count = 0;
    if (!Call.Head.empty()) {
        Vectors[Count++] = {const_cast<char*>(Call.Head.data()), Call.Head.size()};
    }
    if (!FRequest.DropBody) {
        for (const TSendPiece& Piece : Call.Pieces) {
            if (Piece.Size > 0) {
                Vectors[Count++] = {const_cast<char*>(Piece.Data), Piece.Size};
                Total += Piece.Size;
            }
        }
    }
    if (Call.Overlapped != nullptr && (!FPendingSends.empty() || PendingOutput() > HighWater)) {
        // The client is behind: the send waits its turn with the caller's memory, so a
        // client that stops reading costs the layer no more than its high water mark.
        TQueuedSend Queued;
        Queued.Io = TPendingIo{Call.Overlapped, Call.Target};
        Queued.Total = Total;
        Queued.Final = Call.Final;
        Queued.Opaque = Call.Opaque;
        Queued.Pieces.assign(Vectors + (Call.Head.empty() ? 0 : 1), Vectors + Count);
        Queued.Head.assign(Call.Head);
        win::BeginOverlapped(Call.Overlapped);
        FPendingSends.push_back(std::move(Queued));
        FRequest.SendsEnded = Call.Final;
        if (FPendingSends.size() == 1) {
            ArmSendTimerLocked();
        }
        BytesSent = static_cast<ULONG>(Total);
        return ERROR_IO_PENDING;
    }
    const bool Hold =
        !Call.Final && !Call.Opaque && PendingOutput() + Total <= CorkLimit &&
        // More of this response follows at once: hold the piece and send it with the rest.
        (!Channel ||
         // An upgraded connection's answer to a read: it goes with the application's next read.
         (Call.Buffered && FRequest.ReadHandedOut));
    if (!SendLocked(Vectors, Count, Total, Call.Final, Call.Opaque, Hold)) {
        return ERROR_CONNECTION_INVALID;
    }
    BytesSent = static_cast<ULONG>(Total);
    if (Call.Overlapped != nullptr) {
        // Done at once; the completion is still reported, before any later send's.
        win::BeginOverlapped(Call.Overlapped);
        CompleteAtOnceLocked(Guard, TPendingIo{Call.Overlapped, Call.Target}, BytesSent);
        return NO_ERROR;
    }
    // A slow reader pushes back on the sender instead of growing our memory; one that reads
    // slower than the minimum send rate is cut off.
    while (PendingOutput() > HighWater && FFd >= 0) {
        FlushLocked(Lock);
        const std::size_t Before = PendingOutput();
        const ULONG Rate =
            FTimeouts.MinSendRate == 0 ? TTimeouts::DefaultMinSendRate : FTimeouts.MinSendRate;
        const auto Allowed = std::chrono::seconds(
            Rate == TTimeouts::SendRateDisabled ? 24 * 3600 : (Before - HighWater) / Rate + 1);
        const win::TBlockingScope Blocking;
        if (FChanged.wait_for(Lock, Allowed) == std::cv_status::timeout &&
            PendingOutput() >= Before) {
            CloseLocked(true); // the client stopped reading
            return ERROR_CONNECTION_INVALID;
        }
    }
    return NO_ERROR;
}

bool TConnection::SendLocked(const iovec* Vectors, std::size_t Count, std::size_t Total, bool Final,
                             bool Opaque, bool Hold) noexcept {
    if (Hold || FWriteBlocked) {
        if (FFd < 0) {
            return false;
        }
        // Held back, or the socket is full and EPOLLOUT will write these with what waits
        // already: either way one write call for all of it.
        try {
            FOutput.reserve(FOutput.size() + Total);
            for (std::size_t I = 0; I < Count; ++I) {
                FOutput.append(static_cast<const char*>(Vectors[I].iov_base), Vectors[I].iov_len);
            }
        } catch (...) {
            CloseLocked(true);
            return false;
        }
        if (Hold) {
            if (FCorkSince == 0 && PendingOutput() > 0) {
                FCorkSince = MonotonicMs();
                try {
                    FReactor->Cork(shared_from_this());
                } catch (...) {
                    UncorkLocked(); // out of memory: sent at once instead
                    WriteLocked(nullptr, 0);
                }
            }
            return true;
        }
        UncorkLocked();
    } else {
        UncorkLocked();
        if (!WriteLocked(Vectors, Count)) {
            return false;
        }
    }
    if (Opaque) {
        // From now on every byte either way is the application's: no more requests to parse.
        FOpaque = true;
        FPhase = TPhase::Opaque;
        FDeadline = 0;
        FParser.reset();
        ServeReadsLocked();
        if (FReadPaused && FPhase == TPhase::Opaque) {
            ResumeReading();
        }
    } else if (Final && FPhase == TPhase::Opaque) {
        StartClosingLocked();
    } else if (Final) {
        FinishResponseLocked();
    }
    return true;
}

void TConnection::PumpSendsLocked() noexcept {
    bool Done = false;
    while (!FPendingSends.empty() && FFd >= 0 && PendingOutput() <= HighWater) {
        TQueuedSend Send = std::move(FPendingSends.front());
        FPendingSends.erase(FPendingSends.begin());
        bool Sent = false;
        try {
            std::vector<iovec> Vectors;
            Vectors.reserve(Send.Pieces.size() + 1);
            if (!Send.Head.empty()) {
                Vectors.push_back({Send.Head.data(), Send.Head.size()});
            }
            Vectors.insert(Vectors.end(), Send.Pieces.begin(), Send.Pieces.end());
            Sent = SendLocked(Vectors.data(), Vectors.size(), Send.Total, Send.Final, Send.Opaque,
                              false);
        } catch (...) {
            CloseLocked(true); // out of memory: the stream cannot go on without this send
        }
        if (!Sent) {
            CompleteLocked(
                Send.Io, FAbortStatus != NO_ERROR ? FAbortStatus : DWORD(ERROR_CONNECTION_INVALID),
                0);
            break;
        }
        CompleteLocked(Send.Io, NO_ERROR, static_cast<DWORD>(Send.Total));
        Done = true;
    }
    if (Done) {
        FChanged.notify_all(); // a synchronous send may be waiting for its turn
        ArmSendTimerLocked();
    }
}

void TConnection::ArmSendTimerLocked() noexcept {
    FSendDeadline = 0;
    const ULONG Rate =
        FTimeouts.MinSendRate == 0 ? TTimeouts::DefaultMinSendRate : FTimeouts.MinSendRate;
    if (FPendingSends.empty() || Rate == TTimeouts::SendRateDisabled) {
        return;
    }
    // The allowance of a synchronous sender over the high water mark, measured the same way.
    const std::size_t Over = PendingOutput() > HighWater ? PendingOutput() - HighWater : 0;
    FSendDeadline = MonotonicMs() + static_cast<std::int64_t>(Over / Rate + 1) * 1000;
    ScheduleLocked(FSendDeadline);
    FSendMark = PendingOutput();
}

void TConnection::FailSendsLocked(DWORD Status) noexcept {
    for (const TQueuedSend& Send : FPendingSends) {
        CompleteLocked(Send.Io, Status, 0);
    }
    FPendingSends.clear();
    FSendDeadline = 0;
    FChanged.notify_all();
}

void TConnection::ServeReadsLocked() noexcept {
    while (!FPendingReads.empty() && PendingInput() > 0) {
        const TPendingIo Read = FPendingReads.front();
        FPendingReads.erase(FPendingReads.begin());
        const std::size_t Got = TakeInputLocked(static_cast<char*>(Read.Buffer), Read.Length);
        FRequest.ReadHandedOut = true;
        CompleteLocked(Read, NO_ERROR, static_cast<DWORD>(Got));
    }
    // The peer's end of input ends the channel once a read is told so, or at once when the
    // application is not reading; but while it holds the last bytes it was given, it may still
    // answer them: the end then waits for its next read.
    if (FPeerClosed && PendingInput() == 0 && FPhase == TPhase::Opaque &&
        (!FPendingReads.empty() || !FRequest.ReadHandedOut)) {
        for (const TPendingIo& Read : FPendingReads) {
            CompleteLocked(Read, ERROR_HANDLE_EOF, 0);
        }
        FPendingReads.clear();
        StartClosingLocked(); // our side ends once what we hold is sent
    }
}

std::size_t TConnection::TakeInputLocked(char* Buffer, std::size_t Length) noexcept {
    const std::size_t Got = std::min(Length, PendingInput());
    std::memcpy(Buffer, FInput.data() + FInputStart, Got);
    FInputStart += Got;
    if (PendingInput() == 0 && FInput.capacity() > IdleInputCapacity) {
        // All taken: a connection that goes quiet now keeps no large buffer.
        std::string().swap(FInput);
        FInputStart = 0;
    }
    if (FReadPaused) {
        ResumeReading(); // room again: read the socket on
    }
    return Got;
}

DWORD TConnection::WaitForDisconnect(LPOVERLAPPED Overlapped, const TCompletionTarget& Target) {
    TLockGuard Guard(*this);
    auto& Lock = Guard.Lock;
    if (FPhase == TPhase::Closed) {
        return ERROR_CONNECTION_INVALID;
    }
    if (Overlapped != nullptr) {
        win::BeginOverlapped(Overlapped);
        FDisconnectWaits.push_back({Overlapped, Target, nullptr, 0, 0});
        return ERROR_IO_PENDING;
    }
    const win::TBlockingScope Blocking;
    FChanged.wait(Lock, [this] { return FPhase == TPhase::Closed; });
    return NO_ERROR;
}

bool TConnection::CancelIo(LPOVERLAPPED Overlapped) noexcept {
    TLockGuard Guard(*this);
    bool Found = false;
    const auto Cancel = [&](auto& List) {
        for (auto It = List.begin(); It != List.end();) {
            if (Overlapped == nullptr || It->Overlapped == Overlapped) {
                CompleteLocked(*It, ERROR_OPERATION_ABORTED, 0);
                It = List.erase(It);
                Found = true;
            } else {
                ++It;
            }
        }
    };
    for (const TQueuedSend& Send : FPendingSends) {
        if (Overlapped == nullptr || Send.Io.Overlapped == Overlapped) {
            // The bytes after a cancelled send would arrive out of place: the connection ends,
            // and with it everything pending on it, with 995.
            FAbortStatus = ERROR_OPERATION_ABORTED;
            CloseLocked(true);
            return true;
        }
    }
    Cancel(FPendingReads);
    Cancel(FDisconnectWaits);
    return Found;
}

} // namespace httpapi
