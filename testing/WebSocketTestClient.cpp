// WebSocketTestClient: a small blocking WebSocket client over a real loopback socket for tests:
// connect, opening handshake with optional extra headers, masked frames of any kind (well
// formed or not), frames read with a bounded wait, and the end of the connection observed.
#include "testing/WebSocketTestClient.h"

#include "bench/websocket/WsClientFrame.h"
#include "testing/Loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace zef::testing {

namespace {

std::mt19937& Random() {
    thread_local std::mt19937 Generator{std::random_device{}()};
    return Generator;
}

int RemainingMs(std::chrono::steady_clock::time_point aDeadline) {
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        aDeadline - std::chrono::steady_clock::now());
    return Left.count() < 0 ? 0 : int(Left.count());
}

bool SameTextNoCase(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) {
        return false;
    }
    for (std::size_t I = 0; I < A.size(); ++I) {
        char X = A[I] >= 'A' && A[I] <= 'Z' ? char(A[I] + 32) : A[I];
        char Y = B[I] >= 'A' && B[I] <= 'Z' ? char(B[I] + 32) : B[I];
        if (X != Y) {
            return false;
        }
    }
    return true;
}

} // namespace

int TWSFrame::CloseCode() const {
    if (Payload.size() < 2) {
        return 0;
    }
    return (std::uint8_t(Payload[0]) << 8) | std::uint8_t(Payload[1]);
}

std::string TWSFrame::CloseReason() const {
    return Payload.size() > 2 ? Payload.substr(2) : std::string();
}

TWebSocketTestClient::~TWebSocketTestClient() {
    Close();
}

bool TWebSocketTestClient::Connect(const std::string& aHost, std::uint16_t aPort,
                                   std::chrono::milliseconds aTimeout) {
    Close();
    FHost = aHost;
    FPort = aPort;
    FSocket = testsupport::ConnectTcp(aPort, aTimeout, aHost);
    return FSocket >= 0;
}

int TWebSocketTestClient::Handshake(const std::string& aPath,
                                    const std::vector<std::string>& aExtraHeaders,
                                    bool aStandardHeaders, std::chrono::milliseconds aTimeout) {
    std::uint8_t KeyBytes[16];
    for (std::uint8_t& Byte : KeyBytes) {
        Byte = std::uint8_t(Random()());
    }
    std::string Key = wsload::Base64(KeyBytes);
    std::string Request =
        "GET " + aPath + " HTTP/1.1\r\nHost: " + FHost + ":" + std::to_string(FPort) + "\r\n";
    if (aStandardHeaders) {
        Request += "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + Key +
                   "\r\nSec-WebSocket-Version: 13\r\n";
    }
    for (const std::string& Line : aExtraHeaders) {
        Request += Line + "\r\n";
    }
    Request += "\r\n";
    FResponseHead.clear();
    if (!SendRaw(Request)) {
        return 0;
    }
    auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    while (true) {
        std::size_t End = FPending.find("\r\n\r\n");
        if (End != std::string::npos) {
            FResponseHead = FPending.substr(0, End + 4);
            FPending.erase(0, End + 4);
            break;
        }
        if (!Fill(FPending.size() + 1, Deadline)) {
            return 0;
        }
    }
    int Status = 0;
    if (FResponseHead.size() > 12 && FResponseHead.compare(0, 5, "HTTP/") == 0) {
        Status = std::atoi(FResponseHead.c_str() + 9);
    }
    if (Status == 101 && aStandardHeaders &&
        // The load tool's accept key (OpenSSL's SHA-1 and Base64), never the server's own.
        ResponseHeader("Sec-WebSocket-Accept") != wsload::AcceptKey(Key)) {
        return -1;
    }
    return Status;
}

std::string TWebSocketTestClient::ResponseHeader(std::string_view aName) const {
    std::size_t At = FResponseHead.find("\r\n");
    while (At != std::string::npos && At + 2 < FResponseHead.size()) {
        std::size_t Start = At + 2;
        std::size_t End = FResponseHead.find("\r\n", Start);
        if (End == std::string::npos || End == Start) {
            break;
        }
        std::string_view Line(FResponseHead.data() + Start, End - Start);
        std::size_t Colon = Line.find(':');
        if (Colon != std::string_view::npos && SameTextNoCase(Line.substr(0, Colon), aName)) {
            std::string_view Value = Line.substr(Colon + 1);
            while (!Value.empty() && Value.front() == ' ') {
                Value.remove_prefix(1);
            }
            return std::string(Value);
        }
        At = End;
    }
    return {};
}

bool TWebSocketTestClient::Open(std::uint16_t aPort, const std::string& aPath,
                                const std::vector<std::string>& aExtraHeaders) {
    return Connect("127.0.0.1", aPort) && Handshake(aPath, aExtraHeaders) == 101;
}

bool TWebSocketTestClient::SendFrame(std::uint8_t aOpcode, std::string_view aPayload, bool aFin,
                                     bool aMask, std::uint8_t aRsv) {
    std::string Frame;
    Frame.reserve(aPayload.size() + 14);
    Frame.push_back(char((aFin ? 0x80 : 0) | ((aRsv & 7) << 4) | (aOpcode & 0x0F)));
    std::uint8_t MaskBit = aMask ? 0x80 : 0;
    if (aPayload.size() < 126) {
        Frame.push_back(char(MaskBit | aPayload.size()));
    } else if (aPayload.size() <= 0xFFFF) {
        Frame.push_back(char(MaskBit | 126));
        Frame.push_back(char(aPayload.size() >> 8));
        Frame.push_back(char(aPayload.size() & 0xFF));
    } else {
        Frame.push_back(char(MaskBit | 127));
        for (int Shift = 56; Shift >= 0; Shift -= 8) {
            Frame.push_back(char((std::uint64_t(aPayload.size()) >> Shift) & 0xFF));
        }
    }
    if (aMask) {
        std::uint8_t Key[4];
        for (std::uint8_t& Byte : Key) {
            Byte = std::uint8_t(Random()());
        }
        Frame.append(reinterpret_cast<const char*>(Key), 4);
        std::size_t Start = Frame.size();
        Frame.append(aPayload);
        for (std::size_t I = 0; I < aPayload.size(); ++I) {
            Frame[Start + I] = char(Frame[Start + I] ^ Key[I % 4]);
        }
    } else {
        Frame.append(aPayload);
    }
    return SendRaw(Frame);
}

bool TWebSocketTestClient::SendClose(int aCode, std::string_view aReason) {
    std::string Payload;
    if (aCode != 0) {
        Payload.push_back(char((aCode >> 8) & 0xFF));
        Payload.push_back(char(aCode & 0xFF));
        Payload.append(aReason);
    }
    return SendFrame(0x8, Payload);
}

bool TWebSocketTestClient::SendRaw(std::string_view aBytes) {
    if (FSocket < 0) {
        return false;
    }
    std::size_t Sent = 0;
    while (Sent < aBytes.size()) {
        ssize_t Count = ::send(FSocket, aBytes.data() + Sent, aBytes.size() - Sent, MSG_NOSIGNAL);
        if (Count < 0 && errno == EINTR) {
            continue;
        }
        if (Count <= 0) {
            return false;
        }
        Sent += std::size_t(Count);
    }
    return true;
}

bool TWebSocketTestClient::Fill(std::size_t aCount,
                                std::chrono::steady_clock::time_point aDeadline) {
    char Buffer[65536];
    while (FPending.size() < aCount) {
        if (FSocket < 0) {
            return false;
        }
        pollfd Poll{FSocket, POLLIN, 0};
        int Ready = ::poll(&Poll, 1, RemainingMs(aDeadline));
        if (Ready < 0 && errno == EINTR) {
            continue;
        }
        if (Ready <= 0) {
            return false;
        }
        ssize_t Count = ::recv(FSocket, Buffer, sizeof Buffer, 0);
        if (Count < 0 && errno == EINTR) {
            continue;
        }
        if (Count <= 0) {
            return false;
        }
        FPending.append(Buffer, std::size_t(Count));
    }
    return true;
}

std::optional<TWSFrame> TWebSocketTestClient::ReadFrame(std::chrono::milliseconds aTimeout) {
    auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    if (!Fill(2, Deadline)) {
        return std::nullopt;
    }
    auto Byte = [&](std::size_t I) { return std::uint8_t(FPending[I]); };
    TWSFrame Frame;
    Frame.Fin = (Byte(0) & 0x80) != 0;
    Frame.Rsv = std::uint8_t((Byte(0) >> 4) & 7);
    Frame.Opcode = Byte(0) & 0x0F;
    bool Masked = (Byte(1) & 0x80) != 0;
    std::uint64_t Length = Byte(1) & 0x7F;
    std::size_t Header = 2;
    if (Length == 126) {
        Header = 4;
    } else if (Length == 127) {
        Header = 10;
    }
    if (Masked) {
        Header += 4;
    }
    if (!Fill(Header, Deadline)) {
        return std::nullopt;
    }
    if (Length == 126) {
        Length = (std::uint64_t(Byte(2)) << 8) | Byte(3);
    } else if (Length == 127) {
        Length = 0;
        for (std::size_t I = 2; I < 10; ++I) {
            Length = (Length << 8) | Byte(I);
        }
    }
    if (Length > (std::uint64_t(1) << 31)) {
        return std::nullopt;
    }
    if (!Fill(Header + std::size_t(Length), Deadline)) {
        return std::nullopt;
    }
    Frame.Payload = FPending.substr(Header, std::size_t(Length));
    if (Masked) {
        for (std::size_t I = 0; I < Frame.Payload.size(); ++I) {
            Frame.Payload[I] = char(Frame.Payload[I] ^ FPending[Header - 4 + I % 4]);
        }
    }
    FPending.erase(0, Header + std::size_t(Length));
    return Frame;
}

std::optional<std::string> TWebSocketTestClient::ReadMessage(std::uint8_t* aOpcode,
                                                             std::chrono::milliseconds aTimeout) {
    auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    std::string Message;
    bool Started = false;
    while (true) {
        auto Frame = ReadFrame(std::chrono::milliseconds(RemainingMs(Deadline)));
        if (!Frame) {
            return std::nullopt;
        }
        if (Frame->Opcode >= 0x8) {
            if (Frame->Opcode == 0x8) {
                return std::nullopt;
            }
            continue;
        }
        if (!Started) {
            if (Frame->Opcode == 0) {
                return std::nullopt;
            }
            if (aOpcode != nullptr) {
                *aOpcode = Frame->Opcode;
            }
            Started = true;
        }
        Message += Frame->Payload;
        if (Frame->Fin) {
            return Message;
        }
    }
}

std::optional<std::string> TWebSocketTestClient::ReadExactly(std::size_t aCount,
                                                             std::chrono::milliseconds aTimeout) {
    if (!Fill(aCount, std::chrono::steady_clock::now() + aTimeout)) {
        return std::nullopt;
    }
    std::string Bytes = FPending.substr(0, aCount);
    FPending.erase(0, aCount);
    return Bytes;
}

std::optional<std::string>
TWebSocketTestClient::ReadUntilClosed(std::chrono::milliseconds aTimeout) {
    auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    char Buffer[65536];
    while (FSocket >= 0) {
        pollfd Poll{FSocket, POLLIN, 0};
        int Ready = ::poll(&Poll, 1, RemainingMs(Deadline));
        if (Ready < 0 && errno == EINTR) {
            continue;
        }
        if (Ready <= 0) {
            return std::nullopt;
        }
        ssize_t Count = ::recv(FSocket, Buffer, sizeof Buffer, 0);
        if (Count < 0 && errno == EINTR) {
            continue;
        }
        if (Count <= 0) {
            break;
        }
        FPending.append(Buffer, std::size_t(Count));
    }
    std::string All = std::move(FPending);
    FPending.clear();
    return All;
}

bool TWebSocketTestClient::NothingWithin(std::chrono::milliseconds aWait) {
    if (!FPending.empty()) {
        return false;
    }
    return !Fill(1, std::chrono::steady_clock::now() + aWait) && FPending.empty();
}

void TWebSocketTestClient::ShutdownSend() {
    if (FSocket >= 0) {
        ::shutdown(FSocket, SHUT_WR);
    }
}

void TWebSocketTestClient::Reset() {
    if (FSocket >= 0) {
        linger Linger{1, 0};
        setsockopt(FSocket, SOL_SOCKET, SO_LINGER, &Linger, sizeof Linger);
        ::close(FSocket);
        FSocket = -1;
    }
}

void TWebSocketTestClient::Close() {
    if (FSocket >= 0) {
        ::close(FSocket);
        FSocket = -1;
    }
    FPending.clear();
}

} // namespace zef::testing
