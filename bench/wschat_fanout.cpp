// wschat_fanout: broadcast fan-out of wschat on three servers joined through Redis against the
// same on one server, in one run. One client sends numbered messages; every client (1,000 by
// default, spread evenly over the servers) must receive every one, in order; the figure is
// messages delivered per second. Servers and Redis run on core 0, the clients on core 1.
//
//   wschat_fanout --wschat build/release/bin/wschat [--connections 1000] [--messages 200]
//                 [--size 64] [--runs 3]
#include "testing/ProcessLimits.h"
#include "testing/RedisTestServer.h"
#include "testing/TestProgram.h"
#include "testing/Loopback.h"
#include "testing/WebSocketTestClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::FreePort;
using zef::testing::TRedisTestServer;
using testsupport::TTestProgram;
using TClock = std::chrono::steady_clock;

struct TSettings {
    std::string WsChat;
    int Connections = 1000;
    int Messages = 200;
    int Size = 64;
    int Runs = 3;
};

void PinTo(int aCore) {
    cpu_set_t Set;
    CPU_ZERO(&Set);
    CPU_SET(aCore, &Set);
    sched_setaffinity(0, sizeof Set, &Set);
}

[[noreturn]] void Fail(const std::string& aText) {
    std::fprintf(stderr, "wschat_fanout: %s\n", aText.c_str());
    std::exit(1);
}

/// One client socket: blocking while it connects and reads its welcome, then read through
/// epoll. Counts the messages that arrive and checks their numbers.
struct TClient {
    int Fd = -1;
    std::string Pending;
    int Received = 0;
    bool OutOfOrder = false;

    ~TClient() {
        if (Fd >= 0) {
            close(Fd);
        }
    }

    void Connect(std::uint16_t aPort) {
        Fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_port = htons(aPort);
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (Fd < 0 || connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) {
            Fail(std::string("connect: ") + std::strerror(errno));
        }
        int One = 1;
        setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
        const std::string Request =
            "GET /ws/ HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(aPort) +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n";
        SendAll(Request);
        // The answer's head, then the welcome frame.
        while (Pending.find("\r\n\r\n") == std::string::npos) {
            ReadSome();
        }
        if (Pending.rfind("HTTP/1.1 101", 0) != 0) {
            Fail("upgrade refused: " + Pending.substr(0, Pending.find("\r\n")));
        }
        Pending.erase(0, Pending.find("\r\n\r\n") + 4);
        std::string Welcome;
        while (!NextMessage(Welcome)) {
            ReadSome();
        }
        if (Welcome.rfind("Welcome ", 0) != 0) {
            Fail("no welcome: " + Welcome);
        }
    }

    void SendAll(const std::string& aBytes) {
        std::size_t Sent = 0;
        while (Sent < aBytes.size()) {
            ssize_t Count = send(Fd, aBytes.data() + Sent, aBytes.size() - Sent, MSG_NOSIGNAL);
            if (Count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd Writable{Fd, POLLOUT, 0};
                poll(&Writable, 1, 1000);
                continue;
            }
            if (Count <= 0) {
                Fail(std::string("send: ") + std::strerror(errno));
            }
            Sent += std::size_t(Count);
        }
    }

    /// Reads what is there; false when nothing was (non-blocking).
    bool ReadSome() {
        char Chunk[65536];
        ssize_t Count = recv(Fd, Chunk, sizeof Chunk, 0);
        if (Count == 0) {
            Fail("a server closed a connection");
        }
        if (Count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return false;
            }
            Fail(std::string("recv: ") + std::strerror(errno));
        }
        Pending.append(Chunk, std::size_t(Count));
        return true;
    }

    /// Takes one whole unmasked frame's payload out of Pending.
    bool NextMessage(std::string& aPayload) {
        if (Pending.size() < 2) {
            return false;
        }
        const auto* Bytes = reinterpret_cast<const unsigned char*>(Pending.data());
        std::size_t Length = Bytes[1] & 0x7F;
        std::size_t Header = 2;
        if (Length == 126) {
            if (Pending.size() < 4) {
                return false;
            }
            Length = (std::size_t(Bytes[2]) << 8) | Bytes[3];
            Header = 4;
        } else if (Length == 127) {
            if (Pending.size() < 10) {
                return false;
            }
            Length = 0;
            for (int I = 2; I < 10; ++I) {
                Length = (Length << 8) | Bytes[I];
            }
            Header = 10;
        }
        if (Pending.size() < Header + Length) {
            return false;
        }
        aPayload = Pending.substr(Header, Length);
        Pending.erase(0, Header + Length);
        return true;
    }

    /// Counts the whole messages in Pending; each must carry the next number.
    void Drain() {
        std::string Payload;
        while (NextMessage(Payload)) {
            const int Number = std::atoi(Payload.c_str());
            OutOfOrder = OutOfOrder || Number != Received;
            ++Received;
        }
    }
};

std::string MaskedText(const std::string& aText) {
    std::string Frame;
    Frame.push_back(char(0x81));
    if (aText.size() < 126) {
        Frame.push_back(char(0x80 | aText.size()));
    } else {
        Frame.push_back(char(0x80 | 126));
        Frame.push_back(char((aText.size() >> 8) & 0xFF));
        Frame.push_back(char(aText.size() & 0xFF));
    }
    const char Mask[4] = {0x12, 0x34, 0x56, 0x78};
    Frame.append(Mask, 4);
    for (std::size_t I = 0; I < aText.size(); ++I) {
        Frame.push_back(char(aText[I] ^ Mask[I % 4]));
    }
    return Frame;
}

/// CPU seconds (user and system, all threads) that process aPid has used so far.
double CpuSeconds(pid_t aPid) {
    FILE* File = std::fopen(("/proc/" + std::to_string(aPid) + "/stat").c_str(), "r");
    if (File == nullptr) {
        return 0;
    }
    char Line[4096] = {};
    const std::size_t Length = std::fread(Line, 1, sizeof Line - 1, File);
    std::fclose(File);
    // Fields after the command's closing parenthesis; utime and stime are the 14th and 15th.
    const char* At = std::strrchr(Line, ')');
    if (At == nullptr || std::size_t(At - Line) >= Length) {
        return 0;
    }
    unsigned long long User = 0;
    unsigned long long System = 0;
    if (std::sscanf(At + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &User,
                    &System) != 2) {
        return 0;
    }
    return double(User + System) / double(sysconf(_SC_CLK_TCK));
}

/// The servers of one scenario (started on core 0) and their clients.
struct TScenario {
    std::vector<std::unique_ptr<TTestProgram>> Servers;
    std::vector<std::uint16_t> Ports;
    pid_t Redis = -1;
    /// CPU seconds used by the servers (and Redis) during the measured runs.
    double Cpu = 0;
    double CpuNow() const;

    void Start(const TSettings& aSettings, int aServers, const TRedisTestServer* aRedis) {
        PinTo(0); // Inherited by the servers.
        for (int I = 0; I < aServers; ++I) {
            std::uint16_t Port = 0;
            for (int Attempt = 0; Attempt < 5 && Port == 0; ++Attempt) {
                const std::uint16_t Candidate = FreePort();
                std::vector<std::string> Arguments = {"--port", std::to_string(Candidate)};
                if (aRedis != nullptr) {
                    Arguments.insert(Arguments.end(),
                                     {"--redis", aRedis->Address(), "--cluster", "fanout", "--node",
                                      "n" + std::to_string(I)});
                }
                auto Program = std::make_unique<TTestProgram>(aSettings.WsChat, Arguments);
                auto Line = Program->ReadLine();
                if (Line && Line->find("listening") != std::string::npos) {
                    Port = Candidate;
                    Servers.push_back(std::move(Program));
                }
            }
            if (Port == 0) {
                Fail("wschat did not start");
            }
            Ports.push_back(Port);
        }
        PinTo(1);
    }
};

double TScenario::CpuNow() const {
    double Total = Redis > 0 ? CpuSeconds(Redis) : 0;
    for (const auto& Server : Servers) {
        Total += CpuSeconds(Server->Pid());
    }
    return Total;
}

/// Messages delivered per second over aRuns sends of aSettings.Messages messages each.
std::vector<double> Measure(const TSettings& aSettings, TScenario& aScenario) {
    std::vector<std::unique_ptr<TClient>> Clients;
    for (int I = 0; I < aSettings.Connections; ++I) {
        Clients.push_back(std::make_unique<TClient>());
        Clients.back()->Connect(aScenario.Ports[std::size_t(I) % aScenario.Ports.size()]);
    }
    int Epoll = epoll_create1(0);
    for (std::size_t I = 0; I < Clients.size(); ++I) {
        int Flags = fcntl(Clients[I]->Fd, F_GETFL);
        fcntl(Clients[I]->Fd, F_SETFL, Flags | O_NONBLOCK);
        epoll_event Event{};
        Event.events = EPOLLIN;
        Event.data.u64 = I;
        epoll_ctl(Epoll, EPOLL_CTL_ADD, Clients[I]->Fd, &Event);
    }
    std::vector<double> Rates;
    const std::string Padding(std::size_t(std::max(aSettings.Size - 8, 0)), 'x');
    for (int Run = 0; Run <= aSettings.Runs; ++Run) { // Run 0 warms up.
        for (auto& Client : Clients) {
            Client->Received = 0;
            Client->OutOfOrder = false;
        }
        const int Count = Run == 0 ? 10 : aSettings.Messages;
        std::string Burst;
        for (int N = 0; N < Count; ++N) {
            char Number[16];
            std::snprintf(Number, sizeof Number, "%07d ", N);
            Burst += MaskedText(Number + Padding);
        }
        const double CpuBefore = aScenario.CpuNow();
        const TClock::time_point Start = TClock::now();
        Clients[0]->SendAll(Burst);
        std::size_t Complete = 0;
        const TClock::time_point Deadline = Start + std::chrono::seconds(120);
        epoll_event Events[256];
        while (Complete < Clients.size()) {
            if (TClock::now() > Deadline) {
                Fail("timed out: " + std::to_string(Complete) + " of " +
                     std::to_string(Clients.size()) + " clients complete");
            }
            int Ready = epoll_wait(Epoll, Events, 256, 1000);
            for (int E = 0; E < Ready; ++E) {
                TClient& Client = *Clients[Events[E].data.u64];
                const bool WasComplete = Client.Received == Count;
                while (Client.ReadSome()) {
                }
                Client.Drain();
                if (Client.Received > Count || Client.OutOfOrder) {
                    Fail("a client received a message twice or out of order");
                }
                if (!WasComplete && Client.Received == Count) {
                    ++Complete;
                }
            }
        }
        const double Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
        if (Run > 0) {
            Rates.push_back(double(Count) * double(Clients.size()) / Seconds);
            aScenario.Cpu += aScenario.CpuNow() - CpuBefore;
        }
    }
    close(Epoll);
    return Rates;
}

double Median(std::vector<double> aValues) {
    std::sort(aValues.begin(), aValues.end());
    return aValues[aValues.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    TSettings Settings;
    for (int I = 1; I + 1 < argc; I += 2) {
        const std::string Flag = argv[I];
        const std::string Value = argv[I + 1];
        if (Flag == "--wschat") {
            Settings.WsChat = Value;
        } else if (Flag == "--connections") {
            Settings.Connections = std::max(1, std::atoi(Value.c_str()));
        } else if (Flag == "--messages") {
            Settings.Messages = std::max(1, std::atoi(Value.c_str()));
        } else if (Flag == "--size") {
            Settings.Size = std::clamp(std::atoi(Value.c_str()), 8, 65535);
        } else if (Flag == "--runs") {
            Settings.Runs = std::max(1, std::atoi(Value.c_str()));
        } else {
            Fail("unknown flag " + Flag);
        }
    }
    if (Settings.WsChat.empty()) {
        Fail("--wschat PATH is needed");
    }
    testsupport::RaiseDescriptorLimit(65536);
    std::printf("wschat fan-out: %d connections, %d messages of %d bytes per run, %d runs\n",
                Settings.Connections, Settings.Messages, Settings.Size, Settings.Runs);
    struct TResult {
        const char* Name;
        std::vector<double> Rates;
        double PerCpuSecond = 0; // Messages delivered per CPU second of servers and Redis.
    };
    const double Delivered =
        double(Settings.Runs) * double(Settings.Messages) * double(Settings.Connections);
    std::vector<TResult> Results;
    {
        TScenario One;
        One.Start(Settings, 1, nullptr);
        std::vector<double> Rates = Measure(Settings, One);
        Results.push_back({"1 server", Rates, Delivered / std::max(One.Cpu, 1e-9)});
    }
    {
        PinTo(0);
        TRedisTestServer Redis;
        if (!Redis.Running()) {
            Fail("redis-server did not start");
        }
        {
            TScenario One;
            One.Redis = Redis.Pid();
            One.Start(Settings, 1, &Redis);
            std::vector<double> Rates = Measure(Settings, One);
            Results.push_back({"1 server, cluster on", Rates, Delivered / std::max(One.Cpu, 1e-9)});
        }
        TScenario Three;
        Three.Redis = Redis.Pid();
        Three.Start(Settings, 3, &Redis);
        std::vector<double> Rates = Measure(Settings, Three);
        Results.push_back({"3 servers, cluster on", Rates, Delivered / std::max(Three.Cpu, 1e-9)});
    }
    for (const TResult& Result : Results) {
        std::printf("%-24s", Result.Name);
        for (double Rate : Result.Rates) {
            std::printf(" %10.0f", Rate);
        }
        std::printf("   median %10.0f delivered/s, %10.0f per CPU second\n", Median(Result.Rates),
                    Result.PerCpuSecond);
    }
    std::printf("ratio 3 servers / 1 server: %.2f in messages delivered per second, %.2f per CPU "
                "second\n",
                Median(Results[2].Rates) / Median(Results[0].Rates),
                Results[2].PerCpuSecond / Results[0].PerCpuSecond);
    return 0;
}
