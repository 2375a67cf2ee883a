// TestClient: a blocking loopback TCP client for the listener's tests. Every wait is bounded.
#include "platform/httpapi/TestClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace httpapi::testing {

TTestClient::TTestClient(std::uint16_t Port) {
    const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0) {
        return;
    }
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0) {
        close(Fd);
        return;
    }
    const int One = 1;
    setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof(One));
    FFd = Fd;
}

TTestClient::~TTestClient() {
    Close();
}

bool TTestClient::Send(std::string_view Bytes) {
    while (!Bytes.empty() && FFd >= 0) {
        const ssize_t Sent = send(FFd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
        if (Sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        Bytes.remove_prefix(static_cast<std::size_t>(Sent));
    }
    return Bytes.empty();
}

bool TTestClient::Readable(int Ms) {
    if (!FBuffer.empty() || FEnded) {
        return true;
    }
    pollfd Poll{FFd, POLLIN, 0};
    return FFd >= 0 && poll(&Poll, 1, Ms) > 0;
}

bool TTestClient::Fill() {
    if (FFd < 0 || FEnded) {
        return false;
    }
    pollfd Poll{FFd, POLLIN, 0};
    if (poll(&Poll, 1, WaitMs) <= 0) {
        return false;
    }
    char Chunk[65536];
    const ssize_t Got = recv(FFd, Chunk, sizeof(Chunk), 0);
    if (Got <= 0) {
        FEnded = true;
        return false;
    }
    FBuffer.append(Chunk, static_cast<std::size_t>(Got));
    return true;
}

std::optional<std::string> TTestClient::ReadExactly(std::size_t Count) {
    while (FBuffer.size() < Count) {
        if (!Fill()) {
            return std::nullopt;
        }
    }
    std::string Result = FBuffer.substr(0, Count);
    FBuffer.erase(0, Count);
    return Result;
}

std::optional<std::string> TTestClient::ReadResponse() {
    std::size_t HeadEnd;
    while ((HeadEnd = FBuffer.find("\r\n\r\n")) == std::string::npos) {
        if (!Fill()) {
            return std::nullopt;
        }
    }
    HeadEnd += 4;
    const std::string Head = FBuffer.substr(0, HeadEnd);
    const int Status = ResponseStatus(Head);
    if (Status == 100 || Status == 204 || Status == 304) {
        FBuffer.erase(0, HeadEnd);
        return Head;
    }
    if (const auto Length = ResponseHeader(Head, "Content-Length")) {
        const std::size_t Total = HeadEnd + std::strtoull(Length->c_str(), nullptr, 10);
        while (FBuffer.size() < Total) {
            if (!Fill()) {
                return std::nullopt;
            }
        }
        std::string Result = FBuffer.substr(0, Total);
        FBuffer.erase(0, Total);
        return Result;
    }
    if (const auto Coding = ResponseHeader(Head, "Transfer-Encoding")) {
        while (FBuffer.find("\r\n0\r\n\r\n", HeadEnd - 2) == std::string::npos) {
            if (!Fill()) {
                return std::nullopt;
            }
        }
        const std::size_t Total = FBuffer.find("\r\n0\r\n\r\n", HeadEnd - 2) + 7;
        std::string Result = FBuffer.substr(0, Total);
        FBuffer.erase(0, Total);
        return Result;
    }
    while (Fill()) {
    }
    if (!FEnded) {
        return std::nullopt;
    }
    std::string Result = std::move(FBuffer);
    FBuffer.clear();
    return Result;
}

std::optional<std::string> TTestClient::ReadToEnd() {
    while (Fill()) {
    }
    if (!FEnded) {
        return std::nullopt;
    }
    std::string Result = std::move(FBuffer);
    FBuffer.clear();
    return Result;
}

void TTestClient::ShutdownWrite() {
    if (FFd >= 0) {
        shutdown(FFd, SHUT_WR);
    }
}

void TTestClient::Close() {
    if (FFd >= 0) {
        close(FFd);
        FFd = -1;
    }
}

void TTestClient::Reset() {
    if (FFd >= 0) {
        linger Linger{1, 0};
        setsockopt(FFd, SOL_SOCKET, SO_LINGER, &Linger, sizeof(Linger));
        Close();
    }
}

std::string ResponseBody(const std::string& Response) {
    const std::size_t HeadEnd = Response.find("\r\n\r\n");
    if (HeadEnd == std::string::npos) {
        return {};
    }
    std::string Body = Response.substr(HeadEnd + 4);
    if (!ResponseHeader(Response, "Transfer-Encoding")) {
        return Body;
    }
    std::string Plain;
    std::size_t At = 0;
    while (At < Body.size()) {
        const std::size_t LineEnd = Body.find("\r\n", At);
        if (LineEnd == std::string::npos) {
            break;
        }
        const std::size_t Size = std::strtoull(Body.substr(At, LineEnd - At).c_str(), nullptr, 16);
        if (Size == 0) {
            break;
        }
        Plain += Body.substr(LineEnd + 2, Size);
        At = LineEnd + 2 + Size + 2;
    }
    return Plain;
}

int ResponseStatus(const std::string& Response) {
    if (Response.size() < 12 || Response.compare(0, 9, "HTTP/1.1 ") != 0) {
        return 0;
    }
    return std::atoi(Response.substr(9, 3).c_str());
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

std::uint16_t FreePort() {
    const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address));
    socklen_t Length = sizeof(Address);
    getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &Length);
    close(Fd);
    return ntohs(Address.sin_port);
}

int OpenDescriptorCount() {
    int Count = 0;
    if (DIR* Folder = opendir("/proc/self/fd")) {
        while (readdir(Folder) != nullptr) {
            ++Count;
        }
        closedir(Folder);
    }
    return Count - 3; // ".", ".." and the directory's own descriptor
}

} // namespace httpapi::testing
