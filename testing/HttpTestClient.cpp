// HttpTestClient: a blocking loopback HTTP/1.x client for the tests of the listener, the host and
// the programs. Raw or parsed answers, chunked bodies decoded, every wait bounded.
#include "testing/HttpTestClient.h"

#include <cerrno>
#include <charconv>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

std::string Lower(std::string_view Text) {
    std::string Result(Text);
    for (char& C : Result) {
        if (C >= 'A' && C <= 'Z') {
            C = char(C - 'A' + 'a');
        }
    }
    return Result;
}

std::string_view Trim(std::string_view Text) {
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t')) {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t')) {
        Text.remove_suffix(1);
    }
    return Text;
}

/// A chunked body: how many bytes of Body it takes (last chunk and trailers included), and the
/// data of its chunks. Length is 0 while the body is incomplete or when it is malformed.
struct TChunked {
    std::size_t Length = 0;
    bool Malformed = false;
    std::string Data;
};

TChunked DecodeChunked(std::string_view Body) {
    TChunked Result;
    std::size_t At = 0;
    for (;;) {
        const std::size_t LineEnd = Body.find("\r\n", At);
        if (LineEnd == std::string_view::npos) {
            return Result;
        }
        std::size_t Size = 0;
        const auto [End, Error] =
            std::from_chars(Body.data() + At, Body.data() + LineEnd, Size, 16);
        if (Error != std::errc() || End == Body.data() + At) {
            Result.Malformed = true;
            return Result;
        }
        At = LineEnd + 2;
        if (Size == 0) {
            break;
        }
        if (Body.size() < At + Size + 2) {
            return Result;
        }
        if (Body.substr(At + Size, 2) != "\r\n") {
            Result.Malformed = true;
            return Result;
        }
        Result.Data.append(Body.substr(At, Size));
        At += Size + 2;
    }
    for (;;) { // Trailer lines up to an empty one.
        const std::size_t LineEnd = Body.find("\r\n", At);
        if (LineEnd == std::string_view::npos) {
            return Result;
        }
        const bool Last = LineEnd == At;
        At = LineEnd + 2;
        if (Last) {
            Result.Length = At;
            return Result;
        }
    }
}

bool IsChunked(const std::string& Head) {
    const auto Coding = ResponseHeader(Head, "Transfer-Encoding");
    return Coding && Lower(*Coding).find("chunked") != std::string::npos;
}

} // namespace

std::string THttpReply::Header(std::string_view Name) const {
    const std::string Key = Lower(Name);
    for (const auto& [HeaderName, Value] : Headers) {
        if (HeaderName == Key) {
            return Value;
        }
    }
    return {};
}

bool THttpReply::HasHeader(std::string_view Name) const {
    const std::string Key = Lower(Name);
    for (const auto& Entry : Headers) {
        if (Entry.first == Key) {
            return true;
        }
    }
    return false;
}

THttpReply ParseReply(std::string_view Response) {
    THttpReply Reply;
    const std::size_t HeadEnd = Response.find("\r\n\r\n");
    if (HeadEnd == std::string_view::npos) {
        throw std::runtime_error("no end of the head: " + std::string(Response));
    }
    std::string_view Head = Response.substr(0, HeadEnd + 2);
    const std::size_t StatusEnd = Head.find("\r\n");
    const std::string_view StatusLine = Head.substr(0, StatusEnd);
    const std::size_t First = StatusLine.find(' ');
    int Status = 0;
    if (First == std::string_view::npos || StatusLine.size() < First + 4 ||
        std::from_chars(StatusLine.data() + First + 1, StatusLine.data() + First + 4, Status).ec !=
            std::errc()) {
        throw std::runtime_error("bad status line: " + std::string(StatusLine));
    }
    Reply.Protocol = StatusLine.substr(0, First);
    Reply.Status = Status;
    Reply.Reason = StatusLine.size() > First + 5 ? StatusLine.substr(First + 5) : "";
    Head.remove_prefix(StatusEnd + 2);
    while (!Head.empty()) {
        const std::size_t LineEnd = Head.find("\r\n");
        const std::string_view Line = Head.substr(0, LineEnd);
        const std::size_t Colon = Line.find(':');
        if (Colon == std::string_view::npos) {
            throw std::runtime_error("bad header line: " + std::string(Line));
        }
        Reply.Headers.emplace_back(Lower(Line.substr(0, Colon)), Trim(Line.substr(Colon + 1)));
        Head.remove_prefix(LineEnd + 2);
    }
    Reply.Body = ResponseBody(std::string(Response));
    return Reply;
}

std::string ResponseBody(const std::string& Response) {
    const std::size_t HeadEnd = Response.find("\r\n\r\n");
    if (HeadEnd == std::string::npos) {
        return {};
    }
    std::string Body = Response.substr(HeadEnd + 4);
    if (!IsChunked(Response.substr(0, HeadEnd + 4))) {
        return Body;
    }
    return DecodeChunked(Body).Data;
}

int ResponseStatus(const std::string& Response) {
    if (Response.size() < 12 || Response.compare(0, 9, "HTTP/1.1 ") != 0) {
        return 0;
    }
    int Status = 0;
    std::from_chars(Response.data() + 9, Response.data() + 12, Status);
    return Status;
}

std::optional<std::string> ResponseHeader(const std::string& Response, std::string_view Name) {
    const std::size_t HeadEnd = Response.find("\r\n\r\n");
    std::size_t At = Response.find("\r\n");
    while (At != std::string::npos && At < HeadEnd) {
        const std::size_t LineStart = At + 2;
        const std::size_t LineEnd = Response.find("\r\n", LineStart);
        const std::string Line = Response.substr(LineStart, LineEnd - LineStart);
        const std::size_t Colon = Line.find(':');
        if (Colon == Name.size() && strncasecmp(Line.c_str(), Name.data(), Name.size()) == 0) {
            std::size_t ValueStart = Colon + 1;
            while (ValueStart < Line.size() && Line[ValueStart] == ' ') {
                ++ValueStart;
            }
            return Line.substr(ValueStart);
        }
        At = LineEnd;
    }
    return std::nullopt;
}

THttpTestClient::THttpTestClient(std::uint16_t aPort) : FSocket(ConnectTcp(aPort, Wait)) {
}

THttpTestClient::THttpTestClient(THttpTestClient&& Other) noexcept
    : FSocket(std::exchange(Other.FSocket, -1))
    , FBuffer(std::move(Other.FBuffer))
    , FEnded(Other.FEnded)
    , FReset(Other.FReset) {
}

THttpTestClient::~THttpTestClient() {
    Close();
}

bool THttpTestClient::Send(std::string_view Bytes) {
    while (!Bytes.empty() && FSocket >= 0) {
        pollfd Poll{FSocket, POLLOUT, 0};
        if (::poll(&Poll, 1, int(Wait.count())) <= 0) {
            return false;
        }
        const ssize_t Sent =
            ::send(FSocket, Bytes.data(), Bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (Sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return false;
        }
        Bytes.remove_prefix(std::size_t(Sent));
    }
    return Bytes.empty();
}

bool THttpTestClient::Readable(int Ms) {
    if (!FBuffer.empty() || FEnded) {
        return true;
    }
    pollfd Poll{FSocket, POLLIN, 0};
    return FSocket >= 0 && ::poll(&Poll, 1, Ms) > 0;
}

bool THttpTestClient::Fill() {
    if (FSocket < 0 || FEnded) {
        return false;
    }
    pollfd Poll{FSocket, POLLIN, 0};
    if (::poll(&Poll, 1, int(Wait.count())) <= 0) {
        return false;
    }
    char Chunk[65536];
    const ssize_t Got = ::recv(FSocket, Chunk, sizeof Chunk, 0);
    if (Got <= 0) {
        FEnded = true;
        FReset = Got < 0;
        return false;
    }
    FBuffer.append(Chunk, std::size_t(Got));
    return true;
}

std::optional<std::string> THttpTestClient::Take(std::size_t Count) {
    std::string Result = FBuffer.substr(0, Count);
    FBuffer.erase(0, Count);
    return Result;
}

std::optional<std::string> THttpTestClient::ReadExactly(std::size_t Count) {
    while (FBuffer.size() < Count) {
        if (!Fill()) {
            return std::nullopt;
        }
    }
    return Take(Count);
}

std::optional<std::string> THttpTestClient::ReadResponse(bool NoBody) {
    std::size_t HeadEnd;
    while ((HeadEnd = FBuffer.find("\r\n\r\n")) == std::string::npos) {
        if (!Fill()) {
            return std::nullopt;
        }
    }
    HeadEnd += 4;
    const std::string Head = FBuffer.substr(0, HeadEnd);
    const int Status = ResponseStatus(Head);
    if (NoBody || Status / 100 == 1 || Status == 204 || Status == 304) {
        return Take(HeadEnd);
    }
    if (IsChunked(Head)) {
        for (;;) {
            const TChunked Body = DecodeChunked(std::string_view(FBuffer).substr(HeadEnd));
            if (Body.Malformed) {
                return std::nullopt;
            }
            if (Body.Length > 0) {
                return Take(HeadEnd + Body.Length);
            }
            if (!Fill()) {
                return std::nullopt;
            }
        }
    }
    if (const auto Length = ResponseHeader(Head, "Content-Length")) {
        std::size_t Size = 0;
        std::from_chars(Length->data(), Length->data() + Length->size(), Size);
        return ReadExactly(HeadEnd + Size);
    }
    return ReadToEnd();
}

THttpReply THttpTestClient::ReadReply(bool NoBody) {
    const auto Response = ReadResponse(NoBody);
    if (!Response) {
        throw std::runtime_error("no whole answer: the connection ended or the wait ran out");
    }
    return ParseReply(*Response);
}

std::optional<std::string> THttpTestClient::ReadToEnd() {
    while (Fill()) {
    }
    if (!FEnded) {
        return std::nullopt;
    }
    return Take(FBuffer.size());
}

bool THttpTestClient::WaitClosed() {
    if (!FBuffer.empty()) {
        return false;
    }
    return !Fill() && FEnded;
}

void THttpTestClient::ShutdownWrite() {
    if (FSocket >= 0) {
        ::shutdown(FSocket, SHUT_WR);
    }
}

void THttpTestClient::Close() {
    if (FSocket >= 0) {
        ::close(FSocket);
        FSocket = -1;
    }
}

void THttpTestClient::Reset() {
    if (FSocket >= 0) {
        linger Linger{1, 0};
        ::setsockopt(FSocket, SOL_SOCKET, SO_LINGER, &Linger, sizeof Linger);
        Close();
    }
}

} // namespace testsupport
