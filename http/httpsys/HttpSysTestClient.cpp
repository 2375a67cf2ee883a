// HttpSysTestClient: a blocking loopback HTTP/1.x client for the host's and halden's tests.
#include "http/httpsys/HttpSysTestClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace pylon::testing {

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

std::string Trim(std::string_view Text) {
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t')) {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t')) {
        Text.remove_suffix(1);
    }
    return std::string(Text);
}

int Connect(std::uint16_t Port) {
    const int Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Socket < 0) {
        return -1;
    }
    timeval Timeout{10, 0};
    ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout);
    ::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &Timeout, sizeof Timeout);
    int One = 1;
    ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) {
        ::close(Socket);
        return -1;
    }
    return Socket;
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

THttpTestClient::THttpTestClient(std::uint16_t Port) : FSocket(Connect(Port)) {
}

THttpTestClient::~THttpTestClient() {
    if (FSocket >= 0) {
        ::close(FSocket);
    }
}

void THttpTestClient::Send(std::string_view Bytes) {
    while (!Bytes.empty()) {
        const ssize_t Sent = ::send(FSocket, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
        if (Sent <= 0) {
            throw std::runtime_error("send failed");
        }
        Bytes.remove_prefix(std::size_t(Sent));
    }
}

bool THttpTestClient::Fill() {
    if (FEnded || FSocket < 0) {
        return false;
    }
    char Buffer[4096];
    const ssize_t Got = ::recv(FSocket, Buffer, sizeof Buffer, 0);
    if (Got <= 0) {
        FEnded = true;
        return false;
    }
    FInput.append(Buffer, std::size_t(Got));
    return true;
}

std::string THttpTestClient::ReadLine() {
    for (;;) {
        const std::size_t End = FInput.find("\r\n");
        if (End != std::string::npos) {
            std::string Line = FInput.substr(0, End);
            FInput.erase(0, End + 2);
            return Line;
        }
        if (!Fill()) {
            throw std::runtime_error("connection ended inside a line");
        }
    }
}

std::string THttpTestClient::ReadExactly(std::size_t Count) {
    while (FInput.size() < Count) {
        if (!Fill()) {
            throw std::runtime_error("connection ended inside a body");
        }
    }
    std::string Result = FInput.substr(0, Count);
    FInput.erase(0, Count);
    return Result;
}

THttpReply THttpTestClient::ReadReply(bool NoBody) {
    THttpReply Reply;
    const std::string StatusLine = ReadLine();
    const std::size_t First = StatusLine.find(' ');
    if (First == std::string::npos) {
        throw std::runtime_error("bad status line: " + StatusLine);
    }
    Reply.Protocol = StatusLine.substr(0, First);
    Reply.Status = std::stoi(StatusLine.substr(First + 1, 3));
    Reply.Reason = StatusLine.size() > First + 5 ? StatusLine.substr(First + 5) : "";
    for (std::string Line = ReadLine(); !Line.empty(); Line = ReadLine()) {
        const std::size_t Colon = Line.find(':');
        if (Colon == std::string::npos) {
            throw std::runtime_error("bad header line: " + Line);
        }
        Reply.Headers.emplace_back(Lower(Line.substr(0, Colon)), Trim(Line.substr(Colon + 1)));
    }
    if (NoBody || Reply.Status == 204 || Reply.Status == 304 || Reply.Status / 100 == 1) {
        return Reply;
    }
    if (Lower(Reply.Header("transfer-encoding")) == "chunked") {
        for (;;) {
            const std::size_t Size = std::stoul(ReadLine(), nullptr, 16);
            if (Size == 0) {
                while (!ReadLine().empty()) {
                }
                break;
            }
            Reply.Body += ReadExactly(Size);
            ReadLine();
        }
    } else if (Reply.HasHeader("content-length")) {
        Reply.Body = ReadExactly(std::stoul(Reply.Header("content-length")));
    } else {
        while (Fill()) {
        }
        Reply.Body = std::move(FInput);
        FInput.clear();
    }
    return Reply;
}

bool THttpTestClient::WaitClosed() {
    if (!FInput.empty()) {
        return false;
    }
    char Byte;
    const ssize_t Got = ::recv(FSocket, &Byte, 1, 0);
    // 0 is the orderly end; a reset also ends the connection. A time-out is not an end.
    return Got == 0 || (Got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

std::uint16_t FindFreePort() {
    const int Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    if (Socket < 0 || ::bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
        ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        if (Socket >= 0) {
            ::close(Socket);
        }
        throw std::runtime_error("no free port");
    }
    ::close(Socket);
    return ntohs(Address.sin_port);
}

bool PortAcceptsConnections(std::uint16_t Port) {
    const int Socket = Connect(Port);
    if (Socket < 0) {
        return false;
    }
    ::close(Socket);
    return true;
}

} // namespace pylon::testing
