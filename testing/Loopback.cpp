// Loopback: the socket chores every network test shares: a bounded connect, a free port, whether
// a port is taken, and this process's open descriptors.
#include "testing/Loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

int ConnectTcp(std::uint16_t aPort, std::chrono::milliseconds aTimeout, const std::string& aHost,
               int aReceiveBuffer) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(aPort);
    if (inet_pton(AF_INET, aHost.c_str(), &Address.sin_addr) != 1) {
        return -1;
    }
    const int Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (Socket < 0) {
        return -1;
    }
    if (aReceiveBuffer > 0) {
        ::setsockopt(Socket, SOL_SOCKET, SO_RCVBUF, &aReceiveBuffer, sizeof aReceiveBuffer);
    }
    int Result = ::connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
    if (Result != 0 && errno == EINPROGRESS) {
        pollfd Poll{Socket, POLLOUT, 0};
        if (::poll(&Poll, 1, int(aTimeout.count())) == 1) {
            int Error = 0;
            socklen_t Length = sizeof Error;
            ::getsockopt(Socket, SOL_SOCKET, SO_ERROR, &Error, &Length);
            Result = Error == 0 ? 0 : -1;
        }
    }
    if (Result != 0) {
        ::close(Socket);
        return -1;
    }
    ::fcntl(Socket, F_SETFL, ::fcntl(Socket, F_GETFL) & ~O_NONBLOCK);
    const int One = 1;
    ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    return Socket;
}

std::uint16_t FreePort() {
    const int Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Socket < 0) {
        return 0;
    }
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t Length = sizeof Address;
    std::uint16_t Port = 0;
    if (::bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
        ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) == 0) {
        Port = ntohs(Address.sin_port);
    }
    ::close(Socket);
    return Port;
}

bool PortAcceptsConnections(std::uint16_t aPort) {
    const int Socket = ConnectTcp(aPort);
    if (Socket < 0) {
        return false;
    }
    ::close(Socket);
    return true;
}

int OpenDescriptorCount() {
    int Count = 0;
    if (DIR* Folder = ::opendir("/proc/self/fd")) {
        while (::readdir(Folder) != nullptr) {
            ++Count;
        }
        ::closedir(Folder);
    }
    return Count - 3; // ".", ".." and the directory's own descriptor
}

} // namespace testsupport
