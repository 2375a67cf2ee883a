// Overlapped integration: completion ports, upgraded (opaque) connections and disconnect waits,
// through the exported API on real loopback sockets, written as a Windows program writes them.
#include "testing/HttpApiRawEcho.h"
#include "testing/HttpApiTestQueue.h"
#include "testing/HttpTestClient.h"
#include "testing/ProcessLimits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <http.h>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>
#include <windows.h>

using namespace testsupport;

namespace {

constexpr HTTPAPI_VERSION Version2 = HTTPAPI_VERSION_2;

// The upgrade tests serve under /echo/.
class TQueueFixture : public THttpApiTestQueue {
public:
    explicit TQueueFixture(const std::wstring& Path = L"/echo/") : THttpApiTestQueue(Path) {}
};

// The opaque 101 the echo server sends (Upgrade: websocket).
ULONG SendUpgrade(HANDLE Queue, HTTP_REQUEST_ID Id) {
    return SendOpaqueUpgrade(Queue, Id, "websocket");
}

ULONG SendBytes(HANDLE Queue, HTTP_REQUEST_ID Id, const void* Data, ULONG Size, ULONG Flags,
                LPOVERLAPPED Overlapped = nullptr) {
    HTTP_DATA_CHUNK Chunk{};
    Chunk.DataChunkType = HttpDataChunkFromMemory;
    Chunk.FromMemory.pBuffer = const_cast<void*>(Data);
    Chunk.FromMemory.BufferLength = Size;
    return HttpSendResponseEntityBody(Queue, Id, Flags, Size == 0 ? 0 : 1,
                                      Size == 0 ? nullptr : &Chunk, nullptr, nullptr, 0, Overlapped,
                                      nullptr);
}

// Reads a response head (up to its blank line).
std::string ReadHead(THttpTestClient& Client) {
    std::string Head;
    while (Head.size() < 4 || Head.compare(Head.size() - 4, 4, "\r\n\r\n") != 0) {
        const auto Byte = Client.ReadExactly(1);
        if (!Byte) {
            return Head;
        }
        Head += *Byte;
    }
    return Head;
}

// Asks for an upgrade of /echo/ (the server's side answers it).
bool RequestUpgrade(THttpTestClient& Client, std::uint16_t Port) {
    return Client.Send("GET /echo/ HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(Port) +
                       "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
}

// Asks for an upgrade and reads the 101's head.
std::string Upgrade(THttpTestClient& Client, std::uint16_t Port) {
    RequestUpgrade(Client, Port);
    return ReadHead(Client);
}

std::string Message(int Client, int Round) {
    std::string Text = "client " + std::to_string(Client) + " round " + std::to_string(Round);
    Text.append(static_cast<std::size_t>((Client * 7 + Round * 13) % 200), '.');
    return Text;
}

} // namespace

// Many clients, each upgrading and echoing its messages: nothing lost, nothing left behind.
TEST(OverlappedEcho, ConcurrentClientsEchoAndLeaveNothingBehind) {
    // Both ends of every connection live in this process: make room for them.
    const rlim_t Files = testsupport::RaiseDescriptorLimit(4096);
    const int Clients = std::min<int>(1000, static_cast<int>((Files - 200) / 2));
    constexpr int Rounds = 100;
    constexpr int ClientThreads = 4;
    TQueueFixture Fixture;
    THttpApiRawEcho Server(Fixture.Queue(), {.Workers = 4});
    ASSERT_TRUE(Server.Started());
    const int DescriptorsBefore = OpenDescriptorCount();
    std::atomic<int> Mismatches{0};
    std::vector<std::thread> Threads;
    for (int T = 0; T < ClientThreads; ++T) {
        Threads.emplace_back([&, T] {
            std::vector<std::unique_ptr<THttpTestClient>> Mine;
            for (int C = T; C < Clients; C += ClientThreads) {
                Mine.push_back(std::make_unique<THttpTestClient>(Fixture.Port()));
                if (Upgrade(*Mine.back(), Fixture.Port()).rfind("HTTP/1.1 101 ", 0) != 0) {
                    ++Mismatches;
                }
            }
            for (int Round = 0; Round < Rounds; ++Round) {
                for (std::size_t I = 0; I < Mine.size(); ++I) {
                    Mine[I]->Send(Message(T + int(I) * ClientThreads, Round));
                }
                for (std::size_t I = 0; I < Mine.size(); ++I) {
                    const std::string Expected = Message(T + int(I) * ClientThreads, Round);
                    if (Mine[I]->ReadExactly(Expected.size()) != Expected) {
                        ++Mismatches;
                    }
                }
            }
        });
    }
    for (auto& Thread : Threads) {
        Thread.join();
    }
    EXPECT_EQ(Mismatches.load(), 0);
    EXPECT_EQ(Server.Upgraded(), Clients);
    // The clients have closed their sockets: every connection ends through its disconnect wait.
    EXPECT_TRUE(Server.WaitReleased(Clients));
    EXPECT_EQ(OpenDescriptorCount(), DescriptorsBefore);
    // Closing the queue ends the listener's receive; then the pool ends.
    Fixture.CloseQueue();
    EXPECT_TRUE(Server.Stop());
    EXPECT_EQ(Server.ListenerResult(), long(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Server.Failures(), 0);
}

// A client that sends its last bytes and then shuts down its sending side gets the answer to
// every one of them before the application ends the connection (the answer to the last read
// was dropped: the channel began to close as soon as the last bytes were handed out).
TEST(OverlappedEcho, AHalfClosedClientGetsTheAnswerToItsLastBytes) {
    constexpr ULONG Buffered =
        HTTP_SEND_RESPONSE_FLAG_MORE_DATA | HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA;
    struct TCase {
        const char* Name;
        std::size_t Size;
        ULONG SendFlags;
        bool WithRequest; // the bytes and the end leave with the upgrade request
    };
    const TCase Cases[] = {
        {"100000 bytes, buffered sends", 100000, Buffered, false},
        {"100000 bytes, plain sends", 100000, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, false},
        {"100000 bytes behind the request", 100000, Buffered, true},
        {"one read's worth", THttpApiRawEcho::ReadSize, Buffered, false},
        {"one byte behind the request", 1, Buffered, true},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TQueueFixture Fixture;
        THttpApiRawEcho Server(Fixture.Queue(), {.Workers = 2, .SendFlags = Case.SendFlags});
        ASSERT_TRUE(Server.Started());
        std::string Data(Case.Size, '\0');
        for (std::size_t I = 0; I < Data.size(); ++I) {
            Data[I] = static_cast<char>(I * 7 % 251);
        }
        THttpTestClient Client(Fixture.Port());
        const std::string Request = "GET /echo/ HTTP/1.1\r\nHost: x\r\nUpgrade: raw\r\n\r\n";
        std::string Head;
        if (Case.WithRequest) {
            ASSERT_TRUE(Client.Send(Request + Data));
            Client.ShutdownWrite();
            Head = ReadHead(Client);
        } else {
            ASSERT_TRUE(Client.Send(Request));
            Head = ReadHead(Client);
            ASSERT_TRUE(Client.Send(Data));
            Client.ShutdownWrite();
        }
        EXPECT_EQ(Head.rfind("HTTP/1.1 101 ", 0), 0u) << Head;
        const auto Echoed = Client.ReadToEnd();
        ASSERT_TRUE(Echoed.has_value());
        EXPECT_EQ(Echoed->size(), Data.size());
        EXPECT_TRUE(*Echoed == Data) << "the echo differs from the bytes sent";
        EXPECT_TRUE(Server.WaitReleased(1));
        Fixture.CloseQueue();
        EXPECT_TRUE(Server.Stop());
        EXPECT_EQ(Server.Failures(), 0);
    }
}

namespace {

struct TAlignedRequest {
    alignas(8) char Bytes[sizeof(HTTP_REQUEST) + 4096];
    HTTP_REQUEST* Get() { return reinterpret_cast<HTTP_REQUEST*>(Bytes); }
};

// An OVERLAPPED with its own manual-reset event.
struct TEventOverlapped {
    OVERLAPPED Overlapped{};
    TEventOverlapped() { Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~TEventOverlapped() { CloseHandle(Overlapped.hEvent); }
    /// Waits (bounded) for the completion; returns its Win32 code and byte count.
    std::pair<DWORD, DWORD> Wait(HANDLE Queue) {
        DWORD Bytes = 0;
        if (WaitForSingleObject(Overlapped.hEvent, 10000) != WAIT_OBJECT_0) {
            return {WAIT_TIMEOUT, 0};
        }
        const BOOL Ok = GetOverlappedResult(Queue, &Overlapped, &Bytes, FALSE);
        return {Ok ? DWORD(NO_ERROR) : GetLastError(), Bytes};
    }
};

// Receives one request synchronously and upgrades it; returns its record.
HTTP_REQUEST ReceiveAndUpgrade(HANDLE Queue, TAlignedRequest& Storage) {
    ULONG Bytes = 0;
    EXPECT_EQ(HttpReceiveHttpRequest(Queue, HTTP_NULL_ID, 0, Storage.Get(), sizeof(Storage.Bytes),
                                     &Bytes, nullptr),
              NO_ERROR);
    EXPECT_EQ(SendUpgrade(Queue, Storage.Get()->RequestId), NO_ERROR);
    return *Storage.Get();
}

} // namespace

// Overlapped receives without a port signal their events; data that is there completes at once.
TEST(OverlappedReceive, EventsPendingAndImmediateResults) {
    TQueueFixture Fixture;
    TAlignedRequest Storage;
    TEventOverlapped First;
    ASSERT_EQ(HttpReceiveHttpRequest(Fixture.Queue(), HTTP_NULL_ID, 0, Storage.Get(),
                                     sizeof(Storage.Bytes), nullptr, &First.Overlapped),
              ERROR_IO_PENDING);
    DWORD Bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(Fixture.Queue(), &First.Overlapped, &Bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    THttpTestClient Client(Fixture.Port());
    ASSERT_TRUE(RequestUpgrade(Client, Fixture.Port()));
    const auto [Code, Size] = First.Wait(Fixture.Queue());
    ASSERT_EQ(Code, NO_ERROR);
    EXPECT_GT(Size, sizeof(HTTP_REQUEST_V1));
    const HTTP_REQUEST_ID Id = Storage.Get()->RequestId;
    ASSERT_EQ(SendUpgrade(Fixture.Queue(), Id), NO_ERROR);
    const std::string Head = ReadHead(Client);
    EXPECT_EQ(Head.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u) << Head;
    EXPECT_NE(Head.find("\r\nUpgrade: websocket\r\n"), std::string::npos) << Head;
    EXPECT_NE(Head.find("\r\nConnection: Upgrade\r\n"), std::string::npos) << Head;
    EXPECT_EQ(Head.find("Content-Length"), std::string::npos) << Head;
    EXPECT_EQ(Head.find("Transfer-Encoding"), std::string::npos) << Head;

    // A read with nothing there waits; the client's bytes complete it.
    char Buffer[8];
    TEventOverlapped Read;
    ASSERT_EQ(HttpReceiveRequestEntityBody(Fixture.Queue(), Id, 0, Buffer, sizeof(Buffer), nullptr,
                                           &Read.Overlapped),
              ERROR_IO_PENDING);
    ASSERT_TRUE(Client.Send("0123456789"));
    const auto [ReadCode, ReadBytes] = Read.Wait(Fixture.Queue());
    ASSERT_EQ(ReadCode, NO_ERROR);
    ASSERT_GE(ReadBytes, 1u);
    std::string Got(Buffer, ReadBytes);
    // The rest is already here: a synchronous read returns it, at most the buffer.
    while (Got.size() < 10) {
        ULONG More = 0;
        ASSERT_EQ(HttpReceiveRequestEntityBody(Fixture.Queue(), Id, 0, Buffer, sizeof(Buffer),
                                               &More, nullptr),
                  NO_ERROR);
        ASSERT_GE(More, 1u);
        ASSERT_LE(More, sizeof(Buffer));
        Got.append(Buffer, More);
    }
    EXPECT_EQ(Got, "0123456789");

    // Bytes sent on the opaque channel arrive raw; the disconnect flag ends it cleanly.
    ASSERT_EQ(SendBytes(Fixture.Queue(), Id, "raw\x00\xff", 5, HTTP_SEND_RESPONSE_FLAG_MORE_DATA),
              NO_ERROR);
    EXPECT_EQ(Client.ReadExactly(5), std::string("raw\x00\xff", 5));
    TEventOverlapped Disconnected;
    ASSERT_EQ(HttpWaitForDisconnect(Fixture.Queue(), Storage.Get()->ConnectionId,
                                    &Disconnected.Overlapped),
              ERROR_IO_PENDING);
    ASSERT_EQ(SendBytes(Fixture.Queue(), Id, nullptr, 0, HTTP_SEND_RESPONSE_FLAG_DISCONNECT),
              NO_ERROR);
    EXPECT_EQ(Client.ReadToEnd(), "");
    Client.Close();
    EXPECT_EQ(Disconnected.Wait(Fixture.Queue()).first, NO_ERROR);
    // The connection is gone: its request id is finished.
    ULONG Ignored = 0;
    EXPECT_EQ(HttpReceiveRequestEntityBody(Fixture.Queue(), Id, 0, Buffer, sizeof(Buffer), &Ignored,
                                           nullptr),
              ERROR_CONNECTION_INVALID);
    EXPECT_EQ(HttpWaitForDisconnect(Fixture.Queue(), Storage.Get()->ConnectionId, nullptr),
              ERROR_CONNECTION_INVALID);
}

// The peer closing ends a pending read with end-of-stream and completes the disconnect wait.
TEST(OverlappedOpaque, PeerCloseEndsReadsAndDisconnectWaits) {
    struct TCase {
        const char* Name;
        bool Reset;
        std::string Pending; // bytes the client sends before it goes
    };
    const TCase Cases[] = {
        {"close", false, ""}, {"close after data", false, "abc"}, {"reset", true, ""}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TQueueFixture Fixture;
        THttpTestClient Client(Fixture.Port());
        ASSERT_TRUE(RequestUpgrade(Client, Fixture.Port()));
        TAlignedRequest Storage;
        const HTTP_REQUEST Request = ReceiveAndUpgrade(Fixture.Queue(), Storage);
        EXPECT_EQ(ReadHead(Client).rfind("HTTP/1.1 101 ", 0), 0u);
        TEventOverlapped Disconnected;
        ASSERT_EQ(
            HttpWaitForDisconnect(Fixture.Queue(), Request.ConnectionId, &Disconnected.Overlapped),
            ERROR_IO_PENDING);
        if (!Case.Pending.empty()) {
            Client.Send(Case.Pending);
        }
        if (Case.Reset) {
            Client.Reset();
        } else {
            Client.Close();
        }
        // Bytes that arrived before the end are still handed out, then the end.
        std::string Got;
        char Buffer[2];
        while (true) {
            ULONG Bytes = 0;
            TEventOverlapped Read;
            ULONG Result =
                HttpReceiveRequestEntityBody(Fixture.Queue(), Request.RequestId, 0, Buffer,
                                             sizeof(Buffer), &Bytes, &Read.Overlapped);
            if (Result == ERROR_IO_PENDING) {
                std::tie(Result, Bytes) = Read.Wait(Fixture.Queue());
            }
            if (Result != NO_ERROR) {
                EXPECT_TRUE(Result == ERROR_HANDLE_EOF || Result == ERROR_CONNECTION_INVALID)
                    << Case.Name << " " << Result;
                break;
            }
            Got.append(Buffer, Bytes);
        }
        if (!Case.Reset) {
            EXPECT_EQ(Got, Case.Pending) << Case.Name;
        }
        EXPECT_EQ(Disconnected.Wait(Fixture.Queue()).first, NO_ERROR) << Case.Name;
    }
}

// A read or send that says NO_ERROR has reported already when it returns: the OVERLAPPED
// holds the result and its event is set, also while another thread is reporting the
// connection's earlier completions, so the caller may reuse the OVERLAPPED at once.
TEST(OverlappedOpaque, ACallThatCompletesAtOnceHasReportedWhenItReturns) {
    TQueueFixture Fixture;
    THttpTestClient Client(Fixture.Port());
    ASSERT_TRUE(RequestUpgrade(Client, Fixture.Port()));
    TAlignedRequest Storage;
    const HTTP_REQUEST Request = ReceiveAndUpgrade(Fixture.Queue(), Storage);
    ASSERT_EQ(ReadHead(Client).rfind("HTTP/1.1 101 ", 0), 0u);
    const auto Settle = [&](ULONG Result, ULONG Bytes, TEventOverlapped& Io) -> ULONG {
        if (Result == ERROR_IO_PENDING) {
            std::tie(Result, Bytes) = Io.Wait(Fixture.Queue());
            EXPECT_EQ(Result, NO_ERROR);
            return Bytes;
        }
        EXPECT_EQ(Result, NO_ERROR);
        EXPECT_EQ(WaitForSingleObject(Io.Overlapped.hEvent, 0), WAIT_OBJECT_0);
        DWORD Reported = 0;
        EXPECT_TRUE(GetOverlappedResult(Fixture.Queue(), &Io.Overlapped, &Reported, FALSE));
        EXPECT_EQ(Reported, Bytes);
        return Bytes;
    };
    std::string Sent;
    for (int I = 0; Sent.size() < 30000; ++I) {
        Sent += char(I * 7 % 251);
    }
    // Small pieces keep the reactor completing pending reads, and a second thread's sends
    // keep completions of the same connection coming from two threads at once.
    std::thread Writer([&] {
        for (std::size_t At = 0; At < Sent.size(); At += 5) {
            Client.Send(Sent.substr(At, 5));
        }
    });
    std::thread Sender([&] {
        for (int I = 0; I < 10000 && !::testing::Test::HasFailure(); ++I) {
            TEventOverlapped Io;
            const ULONG Result = SendBytes(Fixture.Queue(), Request.RequestId, "xyz", 3,
                                           HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &Io.Overlapped);
            EXPECT_EQ(Settle(Result, 3, Io), 3u);
        }
    });
    std::string Got;
    char Buffer[3];
    while (Got.size() < Sent.size() && !::testing::Test::HasFailure()) {
        TEventOverlapped Read;
        ULONG Bytes = 0;
        const ULONG Result =
            HttpReceiveRequestEntityBody(Fixture.Queue(), Request.RequestId, 0, Buffer,
                                         sizeof(Buffer), &Bytes, &Read.Overlapped);
        Got.append(Buffer, Settle(Result, Bytes, Read));
    }
    Writer.join();
    Sender.join();
    EXPECT_EQ(Got.size(), Sent.size());
    EXPECT_TRUE(Got == Sent) << "the bytes read differ from those sent";
}

// Closing the queue ends every outstanding operation with 995: receives, reads, waits.
TEST(OverlappedQueue, CloseAbortsEverythingWith995) {
    TQueueFixture Fixture;
    const HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_EQ(CreateIoCompletionPort(Fixture.Queue(), Port, 7, 1), Port);
    THttpTestClient Client(Fixture.Port());
    ASSERT_TRUE(RequestUpgrade(Client, Fixture.Port()));
    TAlignedRequest Storage;
    const HTTP_REQUEST Request = ReceiveAndUpgrade(Fixture.Queue(), Storage);

    OVERLAPPED Receives[3] = {};
    TAlignedRequest Buffers[3];
    for (int I = 0; I < 3; ++I) {
        ASSERT_EQ(HttpReceiveHttpRequest(Fixture.Queue(), HTTP_NULL_ID, 0, Buffers[I].Get(),
                                         sizeof(Buffers[I].Bytes), nullptr, &Receives[I]),
                  ERROR_IO_PENDING);
    }
    OVERLAPPED Read{};
    char Buffer[16];
    ASSERT_EQ(HttpReceiveRequestEntityBody(Fixture.Queue(), Request.RequestId, 0, Buffer,
                                           sizeof(Buffer), nullptr, &Read),
              ERROR_IO_PENDING);
    OVERLAPPED Wait{};
    ASSERT_EQ(HttpWaitForDisconnect(Fixture.Queue(), Request.ConnectionId, &Wait),
              ERROR_IO_PENDING);
    // CancelIoEx of one receive ends that one alone.
    ASSERT_TRUE(CancelIoEx(Fixture.Queue(), &Receives[1]));
    DWORD Bytes = 0;
    ULONG_PTR Key = 0;
    LPOVERLAPPED Done = nullptr;
    EXPECT_FALSE(GetQueuedCompletionStatus(Port, &Bytes, &Key, &Done, 10000));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Done, &Receives[1]);
    EXPECT_EQ(Key, 7u);

    Fixture.CloseQueue();
    std::vector<LPOVERLAPPED> Aborted;
    for (int I = 0; I < 4; ++I) {
        Done = nullptr;
        EXPECT_FALSE(GetQueuedCompletionStatus(Port, &Bytes, &Key, &Done, 10000));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        EXPECT_EQ(Bytes, 0u);
        Aborted.push_back(Done);
    }
    std::sort(Aborted.begin(), Aborted.end());
    std::vector<LPOVERLAPPED> Expected{&Receives[0], &Receives[2], &Read, &Wait};
    std::sort(Expected.begin(), Expected.end());
    EXPECT_EQ(Aborted, Expected);
    EXPECT_EQ(ReadHead(Client).rfind("HTTP/1.1 101 ", 0), 0u);
    EXPECT_EQ(Client.ReadToEnd(), ""); // the connection was reset
    CloseHandle(Port);
}

// HttpCancelHttpRequest resets the connection; its pending read ends, the client sees a reset.
TEST(OverlappedQueue, CancelRequestEndsItsConnection) {
    TQueueFixture Fixture;
    THttpTestClient Client(Fixture.Port());
    ASSERT_TRUE(RequestUpgrade(Client, Fixture.Port()));
    TAlignedRequest Storage;
    const HTTP_REQUEST Request = ReceiveAndUpgrade(Fixture.Queue(), Storage);
    TEventOverlapped Read;
    char Buffer[16];
    ASSERT_EQ(HttpReceiveRequestEntityBody(Fixture.Queue(), Request.RequestId, 0, Buffer,
                                           sizeof(Buffer), nullptr, &Read.Overlapped),
              ERROR_IO_PENDING);
    EXPECT_EQ(HttpCancelHttpRequest(Fixture.Queue(), Request.RequestId, nullptr), NO_ERROR);
    EXPECT_EQ(Read.Wait(Fixture.Queue()).first, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(ReadHead(Client).rfind("HTTP/1.1 101 ", 0), 0u);
    EXPECT_EQ(Client.ReadToEnd(), "");
    EXPECT_EQ(HttpCancelHttpRequest(Fixture.Queue(), Request.RequestId, nullptr),
              ERROR_CONNECTION_INVALID);
}

// The opaque flag only with a 101, and only for a request without a body.
TEST(OverlappedOpaque, OnlyA101WithoutBodyTurnsOpaque) {
    struct TCase {
        const char* Request;
        USHORT Status;
        ULONG Expected;
    };
    const TCase Cases[] = {
        {"GET /echo/ HTTP/1.1\r\nHost: x\r\n\r\n", 200, ERROR_INVALID_PARAMETER},
        {"POST /echo/ HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc", 101,
         ERROR_INVALID_PARAMETER},
        {"GET /echo/ HTTP/1.1\r\nHost: x\r\n\r\n", 101, NO_ERROR},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Request);
        TQueueFixture Fixture;
        THttpTestClient Client(Fixture.Port());
        Client.Send(Case.Request);
        TAlignedRequest Storage;
        ULONG Bytes = 0;
        ASSERT_EQ(HttpReceiveHttpRequest(Fixture.Queue(), HTTP_NULL_ID, 0, Storage.Get(),
                                         sizeof(Storage.Bytes), &Bytes, nullptr),
                  NO_ERROR);
        HTTP_RESPONSE Response{};
        Response.StatusCode = Case.Status;
        EXPECT_EQ(
            HttpSendHttpResponse(Fixture.Queue(), Storage.Get()->RequestId,
                                 HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                                 &Response, nullptr, nullptr, nullptr, 0, nullptr, nullptr),
            Case.Expected)
            << Case.Request;
    }
}

// A client that stops reading pushes back on the sender: the layer holds a bounded amount.
TEST(OverlappedOpaque, SlowReaderPushesBackOnTheSender) {
    TQueueFixture Fixture;
    THttpTestClient Client(Fixture.Port());
    ASSERT_TRUE(RequestUpgrade(Client, Fixture.Port()));
    TAlignedRequest Storage;
    const HTTP_REQUEST Request = ReceiveAndUpgrade(Fixture.Queue(), Storage);
    constexpr std::size_t Total = 64 * 1024 * 1024;
    std::atomic<std::size_t> Accepted{0};
    std::atomic<ULONG> LastResult{NO_ERROR};
    const HANDLE Stalled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread Sender([&] {
        const std::string Piece(64 * 1024, 'x');
        while (Accepted < Total) {
            const ULONG Result =
                SendBytes(Fixture.Queue(), Request.RequestId, Piece.data(),
                          static_cast<ULONG>(Piece.size()), HTTP_SEND_RESPONSE_FLAG_MORE_DATA);
            if (Result != NO_ERROR) {
                LastResult = Result;
                break;
            }
            Accepted += Piece.size();
        }
        SetEvent(Stalled);
    });
    // Without back-pressure the sender would be done at once; give it a bounded while.
    WaitForSingleObject(Stalled, 3000);
    Client.Reset();
    Sender.join();
    CloseHandle(Stalled);
    EXPECT_LT(Accepted.load(), std::size_t(16 * 1024 * 1024));
    EXPECT_EQ(LastResult.load(), ERROR_CONNECTION_INVALID);
}

// HttpWaitForDisconnect without an OVERLAPPED blocks until the connection ends; bad arguments
// are refused.
TEST(OverlappedOpaque, SynchronousDisconnectWaitAndArguments) {
    TQueueFixture Fixture;
    THttpTestClient Client(Fixture.Port());
    ASSERT_TRUE(RequestUpgrade(Client, Fixture.Port()));
    TAlignedRequest Storage;
    const HTTP_REQUEST Request = ReceiveAndUpgrade(Fixture.Queue(), Storage);
    struct TCase {
        const char* Name;
        HTTP_CONNECTION_ID Id;
        ULONG Reserved;
        ULONG Expected;
    };
    const TCase Cases[] = {
        {"no connection id", HTTP_NULL_ID, 0, ERROR_INVALID_PARAMETER},
        {"unknown connection", Request.ConnectionId + 1000000, 0, ERROR_CONNECTION_INVALID},
        {"reserved set", Request.ConnectionId, 1, ERROR_INVALID_PARAMETER},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        OVERLAPPED Overlapped{};
        EXPECT_EQ(HttpWaitForDisconnectEx(Fixture.Queue(), Case.Id, Case.Reserved, &Overlapped),
                  Case.Expected)
            << Case.Name;
    }
    EXPECT_EQ(HttpWaitForDisconnect(nullptr, Request.ConnectionId, nullptr), ERROR_INVALID_HANDLE);
    std::atomic<ULONG> Result{ERROR_IO_PENDING};
    std::thread Waiter(
        [&] { Result = HttpWaitForDisconnect(Fixture.Queue(), Request.ConnectionId, nullptr); });
    EXPECT_EQ(ReadHead(Client).rfind("HTTP/1.1 101 ", 0), 0u);
    Client.Close();
    Waiter.join(); // returns once the server has seen the close
    // NO_ERROR when the wait began first; 1229 ("already gone") when the close won the race.
    EXPECT_TRUE(Result == NO_ERROR || Result == ERROR_CONNECTION_INVALID) << Result;
}

namespace {

// An upgraded connection whose queue reports to a completion port (key 7).
struct TPortChannel {
    TQueueFixture Fixture;
    HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    THttpTestClient Client{Fixture.Port()};
    TAlignedRequest Storage;
    HTTP_REQUEST Request{};

    /// MinSendRate: the group's minimum send rate in bytes a second (0: the default).
    explicit TPortChannel(ULONG MinSendRate = 0) {
        EXPECT_EQ(CreateIoCompletionPort(Fixture.Queue(), Port, 7, 1), Port);
        if (MinSendRate != 0) {
            HTTP_TIMEOUT_LIMIT_INFO Limits{};
            Limits.Flags.Present = 1;
            Limits.MinSendRate = MinSendRate;
            EXPECT_EQ(HttpSetUrlGroupProperty(Fixture.Group(), HttpServerTimeoutsProperty, &Limits,
                                              sizeof(Limits)),
                      NO_ERROR);
        }
        EXPECT_TRUE(RequestUpgrade(Client, Fixture.Port()));
        Request = ReceiveAndUpgrade(Fixture.Queue(), Storage);
        EXPECT_EQ(ReadHead(Client).rfind("HTTP/1.1 101 ", 0), 0u);
    }
    ~TPortChannel() { CloseHandle(Port); }

    struct TPacket {
        BOOL Ok;
        DWORD Error;
        DWORD Bytes;
        LPOVERLAPPED Overlapped;
    };
    /// The next completion packet, waited for (bounded).
    TPacket Next(DWORD Milliseconds = 10000) {
        TPacket Packet{};
        ULONG_PTR Key = 0;
        Packet.Ok =
            GetQueuedCompletionStatus(Port, &Packet.Bytes, &Key, &Packet.Overlapped, Milliseconds);
        Packet.Error = Packet.Ok ? DWORD(NO_ERROR) : GetLastError();
        if (Packet.Overlapped != nullptr) {
            EXPECT_EQ(Key, 7u);
        }
        return Packet;
    }
};

// Overlapped sends on a channel whose client does not read: sends are issued until Pending of
// them wait (the first one that waits is the FirstPending'th). Every send's block is filled
// with its own index, so the client can check order.
struct TStalledSends {
    static constexpr std::size_t BlockSize = 64 * 1024;
    static constexpr std::size_t MaxImmediate = 16 * 1024 * 1024 / BlockSize;
    std::vector<std::string> Blocks;
    std::vector<OVERLAPPED> Overlapped;
    std::size_t FirstPending = 0;

    /// False when MaxImmediate sends completed at once (no back-pressure).
    bool Fill(HANDLE Queue, HTTP_REQUEST_ID Id, std::size_t Pending) {
        Blocks.reserve(MaxImmediate + Pending);
        Overlapped.resize(MaxImmediate + Pending); // never reallocated: the layer holds them
        for (std::size_t I = 0; I < MaxImmediate + Pending; ++I) {
            Blocks.emplace_back(BlockSize, static_cast<char>('A' + I % 50));
            const ULONG Result =
                SendBytes(Queue, Id, Blocks.back().data(), static_cast<ULONG>(BlockSize),
                          HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &Overlapped[I]);
            if (Result == ERROR_IO_PENDING && FirstPending == 0) {
                FirstPending = I + 1;
            }
            EXPECT_TRUE(Result == NO_ERROR || Result == ERROR_IO_PENDING) << Result;
            if (FirstPending != 0 && I + 1 == FirstPending - 1 + Pending) {
                Blocks.resize(I + 1);
                return true;
            }
        }
        return false;
    }
    std::size_t Count() const { return Blocks.size(); }
};

} // namespace

// A send the socket takes at once returns 0 and still reports its completion, through the port
// or the OVERLAPPED's event, with the byte count; so does a whole response.
TEST(OverlappedSend, ImmediateSendsStillReportTheirCompletion) {
    {
        TPortChannel Channel;
        OVERLAPPED Overlapped{};
        ASSERT_EQ(SendBytes(Channel.Fixture.Queue(), Channel.Request.RequestId, "hello", 5,
                            HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &Overlapped),
                  NO_ERROR);
        const auto Packet = Channel.Next();
        EXPECT_TRUE(Packet.Ok);
        EXPECT_EQ(Packet.Overlapped, &Overlapped);
        EXPECT_EQ(Packet.Bytes, 5u);
        EXPECT_EQ(Channel.Client.ReadExactly(5), "hello");
    }
    {
        TQueueFixture Fixture;
        THttpTestClient Client(Fixture.Port());
        Client.Send("GET /echo/ HTTP/1.1\r\nHost: x\r\n\r\n");
        TAlignedRequest Storage;
        ULONG Bytes = 0;
        ASSERT_EQ(HttpReceiveHttpRequest(Fixture.Queue(), HTTP_NULL_ID, 0, Storage.Get(),
                                         sizeof(Storage.Bytes), &Bytes, nullptr),
                  NO_ERROR);
        HTTP_RESPONSE Response{};
        Response.StatusCode = 200;
        Response.pReason = "OK";
        Response.ReasonLength = 2;
        HTTP_DATA_CHUNK Chunk{};
        Chunk.DataChunkType = HttpDataChunkFromMemory;
        Chunk.FromMemory.pBuffer = const_cast<char*>("body");
        Chunk.FromMemory.BufferLength = 4;
        Response.EntityChunkCount = 1;
        Response.pEntityChunks = &Chunk;
        TEventOverlapped Sent;
        ASSERT_EQ(HttpSendHttpResponse(Fixture.Queue(), Storage.Get()->RequestId, 0, &Response,
                                       nullptr, nullptr, nullptr, 0, &Sent.Overlapped, nullptr),
                  NO_ERROR);
        const auto [Code, Size] = Sent.Wait(Fixture.Queue());
        EXPECT_EQ(Code, NO_ERROR);
        const auto Answer = Client.ReadResponse();
        ASSERT_TRUE(Answer.has_value());
        EXPECT_EQ(Size, Answer->size());
        EXPECT_EQ(ResponseBody(*Answer), "body");
    }
}

// A client that does not read: overlapped sends then wait (997) instead of piling up in the
// layer, complete in call order once the client reads, and a synchronous send waits its turn.
TEST(OverlappedSend, BackPressurePendsAndCompletesInOrder) {
    TPortChannel Channel;
    const HANDLE Queue = Channel.Fixture.Queue();
    const HTTP_REQUEST_ID Id = Channel.Request.RequestId;
    TStalledSends Sends;
    ASSERT_TRUE(Sends.Fill(Queue, Id, 8)) << "no back-pressure";
    // The layer took a bounded amount before it made the caller wait.
    EXPECT_LT(Sends.FirstPending * TStalledSends::BlockSize, std::size_t(16 * 1024 * 1024));
    DWORD Bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(Queue, &Sends.Overlapped[Sends.Count() - 1], &Bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    std::atomic<ULONG> TailResult{ERROR_IO_PENDING};
    std::thread Tail(
        [&] { TailResult = SendBytes(Queue, Id, "tail", 4, HTTP_SEND_RESPONSE_FLAG_MORE_DATA); });
    // The client reads everything: every block in order, the synchronous tail last.
    for (std::size_t I = 0; I < Sends.Count(); ++I) {
        const auto Block = Channel.Client.ReadExactly(TStalledSends::BlockSize);
        ASSERT_TRUE(Block.has_value()) << I;
        ASSERT_EQ(*Block, Sends.Blocks[I]) << I;
    }
    EXPECT_EQ(Channel.Client.ReadExactly(4), "tail");
    Tail.join();
    EXPECT_EQ(TailResult.load(), NO_ERROR);
    for (std::size_t I = 0; I < Sends.Count(); ++I) {
        const auto Packet = Channel.Next();
        ASSERT_TRUE(Packet.Ok) << I << " " << Packet.Error;
        EXPECT_EQ(Packet.Overlapped, &Sends.Overlapped[I]) << I;
        EXPECT_EQ(Packet.Bytes, TStalledSends::BlockSize) << I;
    }
    EXPECT_EQ(Channel.Next(0).Overlapped, nullptr); // nothing more
}

// Sends waiting for a client that does not read end with 995 when the queue closes or the
// application cancels one of them (or all); the connection is reset.
TEST(OverlappedSend, CloseAndCancelEndWaitingSendsWith995) {
    enum class TAction { CloseQueue, CancelOne, CancelAll };
    for (const TAction Action : {TAction::CloseQueue, TAction::CancelOne, TAction::CancelAll}) {
        TPortChannel Channel;
        const HANDLE Queue = Channel.Fixture.Queue();
        TStalledSends Sends;
        ASSERT_TRUE(Sends.Fill(Queue, Channel.Request.RequestId, 4)) << "no back-pressure";
        const std::size_t Immediate = Sends.FirstPending - 1;
        for (std::size_t I = 0; I < Immediate; ++I) {
            const auto Packet = Channel.Next();
            ASSERT_TRUE(Packet.Ok);
            ASSERT_EQ(Packet.Overlapped, &Sends.Overlapped[I]);
        }
        switch (Action) {
        case TAction::CloseQueue:
            Channel.Fixture.CloseQueue();
            break;
        case TAction::CancelOne:
            ASSERT_TRUE(CancelIoEx(Queue, &Sends.Overlapped[Sends.Count() - 2]));
            break;
        case TAction::CancelAll:
            ASSERT_TRUE(CancelIoEx(Queue, nullptr));
            break;
        }
        // The pending sends end in order; one may have gone out just before.
        std::size_t Aborted = 0;
        for (std::size_t I = Immediate; I < Sends.Count(); ++I) {
            const auto Packet = Channel.Next();
            ASSERT_EQ(Packet.Overlapped, &Sends.Overlapped[I]) << I;
            if (!Packet.Ok) {
                EXPECT_EQ(Packet.Error, ERROR_OPERATION_ABORTED) << I;
                EXPECT_EQ(Packet.Bytes, 0u);
                ++Aborted;
            } else {
                EXPECT_EQ(Aborted, 0u) << "a send completed after an aborted one";
            }
        }
        EXPECT_GE(Aborted, 3u) << int(Action);
        EXPECT_TRUE(Channel.Client.ReadToEnd().has_value()); // reset: the stream ends
    }
}

// Sends waiting for a client that stops reading end the connection once the minimum send
// rate says so (here: within a second or two); they complete with 1229.
TEST(OverlappedSend, MinimumSendRateEndsWaitingSends) {
    TPortChannel Channel(1024 * 1024);
    TStalledSends Sends;
    ASSERT_TRUE(Sends.Fill(Channel.Fixture.Queue(), Channel.Request.RequestId, 2));
    for (std::size_t I = 0; I + 1 < Sends.FirstPending; ++I) {
        ASSERT_TRUE(Channel.Next().Ok);
    }
    for (std::size_t I = Sends.FirstPending - 1; I < Sends.Count(); ++I) {
        const auto Packet = Channel.Next();
        ASSERT_EQ(Packet.Overlapped, &Sends.Overlapped[I]);
        EXPECT_FALSE(Packet.Ok);
        EXPECT_EQ(Packet.Error, ERROR_CONNECTION_INVALID);
    }
    EXPECT_TRUE(Channel.Client.ReadToEnd().has_value());
}

// Buffer-data sends answering a read are held until the application posts its next read (or
// for a millisecond at most), then leave together, in order.
TEST(OverlappedSend, BufferedAnswersToAReadLeaveTogether) {
    for (const bool NextRead : {true, false}) {
        // Before the channel: the read left pending ends when the channel's queue closes.
        char Buffer[16];
        OVERLAPPED Read{};
        TPortChannel Channel;
        const HANDLE Queue = Channel.Fixture.Queue();
        const HTTP_REQUEST_ID Id = Channel.Request.RequestId;
        ASSERT_EQ(
            HttpReceiveRequestEntityBody(Queue, Id, 0, Buffer, sizeof(Buffer), nullptr, &Read),
            ERROR_IO_PENDING);
        ASSERT_TRUE(Channel.Client.Send("abc"));
        const auto Packet = Channel.Next();
        ASSERT_EQ(Packet.Overlapped, &Read);
        ASSERT_TRUE(Packet.Ok);
        for (const char* Piece : {"x", "yy", "zzz"}) {
            ASSERT_EQ(
                SendBytes(Queue, Id, Piece, static_cast<ULONG>(std::strlen(Piece)),
                          HTTP_SEND_RESPONSE_FLAG_MORE_DATA | HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA),
                NO_ERROR);
        }
        if (NextRead) {
            ASSERT_EQ(
                HttpReceiveRequestEntityBody(Queue, Id, 0, Buffer, sizeof(Buffer), nullptr, &Read),
                ERROR_IO_PENDING);
        }
        EXPECT_EQ(Channel.Client.ReadExactly(6), "xyyzzz") << NextRead;
        // A later one goes out as well: at once after a posted read, within the hold time
        // otherwise.
        ASSERT_EQ(
            SendBytes(Queue, Id, "!", 1,
                      HTTP_SEND_RESPONSE_FLAG_MORE_DATA | HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA),
            NO_ERROR);
        EXPECT_EQ(Channel.Client.ReadExactly(1), "!") << NextRead;
    }
}
