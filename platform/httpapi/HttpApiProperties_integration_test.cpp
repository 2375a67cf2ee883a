// HttpApi properties: W3C request logging and basic-authentication request information set
// through the exported API, on real loopback sockets.
#include "platform/httpapi/W3CLog.h"
#include "testing/HttpApiTestQueue.h"
#include "testing/HttpTestClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <http.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <windows.h>

using namespace testsupport;

namespace {

constexpr HTTPAPI_VERSION Version2 = HTTPAPI_VERSION_2;

using TServer = THttpApiTestQueue;

struct TRecord {
    alignas(8) char Bytes[sizeof(HTTP_REQUEST) + 8192];
    HTTP_REQUEST* Get() { return reinterpret_cast<HTTP_REQUEST*>(Bytes); }
};

/// An overlapped receive into aRecord with its own event. The destructor cancels it if it is
/// still pending and waits for its end, so the record is never written after it is gone.
class TPendingReceive {
public:
    TPendingReceive(HANDLE aQueue, TRecord& aRecord) : FQueue(aQueue) {
        FOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        FStarted = HttpReceiveHttpRequest(aQueue, HTTP_NULL_ID, 0, aRecord.Get(),
                                          sizeof(aRecord.Bytes), nullptr, &FOverlapped);
    }
    ~TPendingReceive() {
        if (FStarted == ERROR_IO_PENDING && !Done()) {
            CancelIoEx(FQueue, &FOverlapped);
            WaitForSingleObject(FOverlapped.hEvent, 10000);
        }
        CloseHandle(FOverlapped.hEvent);
    }
    TPendingReceive(const TPendingReceive&) = delete;
    TPendingReceive& operator=(const TPendingReceive&) = delete;

    ULONG Started() const { return FStarted; }
    bool Done() const { return WaitForSingleObject(FOverlapped.hEvent, 0) == WAIT_OBJECT_0; }
    /// The completed receive's Win32 code.
    DWORD Result() {
        DWORD Bytes = 0;
        return GetOverlappedResult(FQueue, &FOverlapped, &Bytes, FALSE) ? DWORD(NO_ERROR)
                                                                        : GetLastError();
    }

private:
    HANDLE FQueue;
    OVERLAPPED FOverlapped{};
    ULONG FStarted = NO_ERROR;
};

ULONG Answer(HANDLE Queue, HTTP_REQUEST_ID Id, USHORT Status, PHTTP_LOG_DATA LogData) {
    HTTP_RESPONSE Response{};
    Response.StatusCode = Status;
    Response.pReason = "OK";
    Response.ReasonLength = 2;
    return HttpSendHttpResponse(Queue, Id, 0, &Response, nullptr, nullptr, nullptr, 0, nullptr,
                                LogData);
}

std::string ReadAll(const std::filesystem::path& Path) {
    std::ifstream File(Path, std::ios::binary);
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

} // namespace

// A group's W3C log gets a line for each answer that carries log fields, in the day's file.
TEST(HttpApiLogging, GroupLogWritesAnsweredRequests) {
    TServer Server;
    const std::filesystem::path Folder =
        std::filesystem::temp_directory_path() / ("httpapi-log-" + std::to_string(getpid()));
    std::filesystem::remove_all(Folder);
    const std::wstring FolderName = Folder.wstring();
    const std::wstring Software = L"korvo";
    HTTP_LOGGING_INFO Logging{};
    Logging.Flags.Present = 1;
    Logging.SoftwareName = Software.c_str();
    Logging.SoftwareNameLength = static_cast<USHORT>(Software.size() * sizeof(WCHAR));
    Logging.DirectoryName = FolderName.c_str();
    Logging.DirectoryNameLength = static_cast<USHORT>(FolderName.size() * sizeof(WCHAR));
    Logging.Format = HttpLoggingTypeW3C;
    Logging.Fields = HTTP_LOG_FIELD_METHOD | HTTP_LOG_FIELD_URI_STEM | HTTP_LOG_FIELD_STATUS |
                     HTTP_LOG_FIELD_VERSION | HTTP_LOG_FIELD_BYTES_SENT;
    Logging.RolloverType = HttpLoggingRolloverDaily;
    ASSERT_EQ(HttpSetUrlGroupProperty(Server.Group(), HttpServerLoggingProperty, &Logging,
                                      sizeof(Logging)),
              NO_ERROR);
    HTTP_LOGGING_INFO Iis = Logging;
    Iis.Format = HttpLoggingTypeIIS;
    EXPECT_EQ(HttpSetServerSessionProperty(Server.Session(), HttpServerLoggingProperty, &Iis,
                                           sizeof(Iis)),
              ERROR_NOT_SUPPORTED);

    const std::wstring Stem = L"/logged";
    HTTP_LOG_FIELDS_DATA Fields{};
    Fields.Base.Type = HttpLogDataTypeFields;
    Fields.Method = const_cast<PCHAR>("GET");
    Fields.MethodLength = 3;
    Fields.UriStem = const_cast<PWCHAR>(Stem.c_str());
    Fields.UriStemLength = static_cast<USHORT>(Stem.size() * sizeof(WCHAR));
    Fields.ProtocolStatus = 200;
    HTTP_LOG_FIELDS_DATA Empty{}; // what an application passes when it leaves the fields to us
    for (PHTTP_LOG_DATA LogData :
         {reinterpret_cast<PHTTP_LOG_DATA>(&Fields), static_cast<PHTTP_LOG_DATA>(nullptr),
          reinterpret_cast<PHTTP_LOG_DATA>(&Empty)}) {
        THttpTestClient Client(Server.Port());
        Client.Send("GET /logged HTTP/1.1\r\nHost: x\r\n\r\n");
        TRecord Record;
        ULONG Bytes = 0;
        ASSERT_EQ(HttpReceiveHttpRequest(Server.Queue(), HTTP_NULL_ID, 0, Record.Get(),
                                         sizeof(Record.Bytes), &Bytes, nullptr),
                  NO_ERROR);
        ASSERT_EQ(Answer(Server.Queue(), Record.Get()->RequestId, 200, LogData), NO_ERROR);
        ASSERT_TRUE(Client.ReadResponse().has_value());
    }
    httpapi::TW3CLogSettings Settings;
    Settings.Rollover = HttpLoggingRolloverDaily;
    const std::string Name = httpapi::TW3CLog(Settings).FileName(
        httpapi::TW3CLog::TClock::now(), 1); // (a test run across midnight UTC would miss)
    const std::string Text = ReadAll(Folder / Name);
    const std::string Head = "#Software: korvo\r\n#Version: 1.0\r\n#Date: ";
    EXPECT_EQ(Text.rfind(Head, 0), 0u) << Text;
    const std::size_t Fields_ = Text.find("#Fields: cs-method cs-uri-stem sc-status sc-bytes "
                                          "cs-version\r\n");
    ASSERT_NE(Fields_, std::string::npos) << Text;
    const std::string Lines = Text.substr(Text.find('\n', Fields_) + 1);
    // Two lines: the full fields, and the listener's own fields only (no line without data).
    EXPECT_TRUE(Lines.starts_with("GET /logged 200 ")) << Lines;
    EXPECT_NE(Lines.find(" HTTP/1.1\r\n- - 0 "), std::string::npos) << Lines;
    EXPECT_EQ(std::count(Lines.begin(), Lines.end(), '\n'), 2) << Lines;
    std::filesystem::remove_all(Folder);
}

// Basic credentials of an enabled scheme come with an authentication record; bad Base64 is
// refused by the listener; other schemes are not offered.
TEST(HttpApiAuthentication, BasicCredentialsAreReported) {
    TServer Server;
    HTTP_SERVER_AUTHENTICATION_INFO Auth{};
    Auth.Flags.Present = 1;
    Auth.AuthSchemes = HTTP_AUTH_ENABLE_NTLM;
    EXPECT_EQ(HttpSetUrlGroupProperty(Server.Group(), HttpServerAuthenticationProperty, &Auth,
                                      sizeof(Auth)),
              ERROR_NOT_SUPPORTED);
    Auth.AuthSchemes = 0x40;
    EXPECT_EQ(HttpSetUrlGroupProperty(Server.Group(), HttpServerAuthenticationProperty, &Auth,
                                      sizeof(Auth)),
              ERROR_INVALID_PARAMETER);
    Auth.AuthSchemes = HTTP_AUTH_ENABLE_BASIC;
    ASSERT_EQ(HttpSetUrlGroupProperty(Server.Group(), HttpServerAuthenticationProperty, &Auth,
                                      sizeof(Auth)),
              NO_ERROR);
    struct TCase {
        const char* Header;
        int Expected; // 1: an auth record, 0: none, 400: the listener's answer
    };
    const TCase Cases[] = {
        {"", 0},
        {"Authorization: Basic dXNlcjpwYXNz\r\n", 1},
        {"Authorization: basic dXNlcjpwYXNzMQ==\r\n", 1},
        {"Authorization: Bearer abc\r\n", 0},
        {"Authorization: Basic dXNlcjpwYXN*\r\n", 400},
        {"Authorization: Basic dXNlcjpwYXN\r\n", 400},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Header);
        THttpTestClient Client(Server.Port());
        Client.Send(std::string("GET / HTTP/1.1\r\nHost: x\r\n") + Case.Header + "\r\n");
        if (Case.Expected == 400) {
            const auto Response = Client.ReadResponse();
            ASSERT_TRUE(Response.has_value()) << Case.Header;
            EXPECT_EQ(ResponseStatus(*Response), 400) << Case.Header;
            continue;
        }
        TRecord Record;
        ULONG Bytes = 0;
        ASSERT_EQ(HttpReceiveHttpRequest(Server.Queue(), HTTP_NULL_ID, 0, Record.Get(),
                                         sizeof(Record.Bytes), &Bytes, nullptr),
                  NO_ERROR);
        const HTTP_REQUEST& Request = *Record.Get();
        ASSERT_EQ(Request.RequestInfoCount, Case.Expected) << Case.Header;
        if (Case.Expected == 1) {
            ASSERT_EQ(Request.pRequestInfo[0].InfoType, HttpRequestInfoTypeAuth);
            const auto* Info =
                static_cast<const HTTP_REQUEST_AUTH_INFO*>(Request.pRequestInfo[0].pInfo);
            EXPECT_EQ(Info->AuthType, HttpRequestAuthTypeBasic);
            EXPECT_EQ(Info->AuthStatus, HttpAuthStatusFailure);
            // Inside the caller's buffer, like every pointer of the record.
            EXPECT_GE(reinterpret_cast<const char*>(Info), Record.Bytes);
            EXPECT_LT(reinterpret_cast<const char*>(Info), Record.Bytes + Bytes);
        }
        ASSERT_EQ(Answer(Server.Queue(), Request.RequestId, 200, nullptr), NO_ERROR);
    }
}

// The request-queue timer ends a request no application takes; the minimum send rate cuts a
// response its client does not read.
TEST(HttpApiTimeouts, RequestQueueAndMinimumSendRate) {
    TServer Server;
    HTTP_TIMEOUT_LIMIT_INFO Limits{};
    Limits.Flags.Present = 1;
    Limits.RequestQueue = 1;
    Limits.MinSendRate = 1024 * 1024;
    ASSERT_EQ(HttpSetUrlGroupProperty(Server.Group(), HttpServerTimeoutsProperty, &Limits,
                                      sizeof(Limits)),
              NO_ERROR);
    {
        // Nobody receives: the connection is reset once the request has waited its time.
        THttpTestClient Client(Server.Port());
        Client.Send("GET /waiting HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(Client.ReadToEnd(), "");
    }
    // The request that timed out is not handed out any more: the next one is.
    THttpTestClient Client(Server.Port());
    Client.Send("GET /next HTTP/1.1\r\nHost: x\r\n\r\n");
    TRecord Record;
    ULONG Bytes = 0;
    ASSERT_EQ(HttpReceiveHttpRequest(Server.Queue(), HTTP_NULL_ID, 0, Record.Get(),
                                     sizeof(Record.Bytes), &Bytes, nullptr),
              NO_ERROR);
    EXPECT_EQ(std::string(Record.Get()->pRawUrl, Record.Get()->RawUrlLength), "/next");
    HTTP_RESPONSE Response{};
    Response.StatusCode = 200;
    ASSERT_EQ(HttpSendHttpResponse(Server.Queue(), Record.Get()->RequestId,
                                   HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &Response, nullptr, nullptr,
                                   nullptr, 0, nullptr, nullptr),
              NO_ERROR);
    // The client reads nothing: sends stall, then fail once the rate is missed.
    const std::string Piece(64 * 1024, 'x');
    HTTP_DATA_CHUNK Chunk{};
    Chunk.DataChunkType = HttpDataChunkFromMemory;
    Chunk.FromMemory.pBuffer = const_cast<char*>(Piece.data());
    Chunk.FromMemory.BufferLength = static_cast<ULONG>(Piece.size());
    ULONG Result = NO_ERROR;
    std::size_t Sent = 0;
    while (Result == NO_ERROR && Sent < std::size_t(1) << 30) {
        Result = HttpSendResponseEntityBody(Server.Queue(), Record.Get()->RequestId,
                                            HTTP_SEND_RESPONSE_FLAG_MORE_DATA, 1, &Chunk, nullptr,
                                            nullptr, 0, nullptr, nullptr);
        Sent += Piece.size();
    }
    EXPECT_EQ(Result, ERROR_CONNECTION_INVALID);
    EXPECT_LT(Sent, std::size_t(64) << 20);
}

// The connection limit of a URL group: over it the listener answers 503; bandwidth settings
// are checked as Windows checks them.
TEST(HttpApiQos, ConnectionLimitAndBandwidthSettings) {
    TServer Server;
    HTTP_CONNECTION_LIMIT_INFO Connections{};
    Connections.Flags.Present = 1;
    Connections.MaxConnections = 1;
    HTTP_BANDWIDTH_LIMIT_INFO Bandwidth{};
    Bandwidth.Flags.Present = 1;
    struct TCase {
        const char* Name;
        bool Session;
        HTTP_QOS_SETTING_TYPE Type;
        ULONG Value;
        ULONG Expected;
    };
    const TCase Cases[] = {
        {.Name = "bandwidth below the minimum",
         .Session = true,
         .Type = HttpQosSettingTypeBandwidth,
         .Value = 1023,
         .Expected = ERROR_INVALID_PARAMETER},
        {.Name = "bandwidth at the minimum",
         .Session = true,
         .Type = HttpQosSettingTypeBandwidth,
         .Value = 1024,
         .Expected = NO_ERROR},
        {.Name = "unlimited bandwidth",
         .Session = false,
         .Type = HttpQosSettingTypeBandwidth,
         .Value = HTTP_LIMIT_INFINITE,
         .Expected = NO_ERROR},
        {.Name = "connection limit on a session",
         .Session = true,
         .Type = HttpQosSettingTypeConnectionLimit,
         .Value = 1,
         .Expected = ERROR_INVALID_PARAMETER},
        {.Name = "connection limit 0",
         .Session = false,
         .Type = HttpQosSettingTypeConnectionLimit,
         .Value = 0,
         .Expected = ERROR_INVALID_PARAMETER},
        {.Name = "flow rate",
         .Session = false,
         .Type = HttpQosSettingTypeFlowRate,
         .Value = 1,
         .Expected = ERROR_NOT_SUPPORTED},
        {.Name = "no bandwidth limit after all",
         .Session = true,
         .Type = HttpQosSettingTypeBandwidth,
         .Value = HTTP_LIMIT_INFINITE,
         .Expected = NO_ERROR},
        {.Name = "connection limit 1",
         .Session = false,
         .Type = HttpQosSettingTypeConnectionLimit,
         .Value = 1,
         .Expected = NO_ERROR},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        HTTP_QOS_SETTING_INFO Qos{Case.Type, nullptr};
        HTTP_FLOWRATE_INFO Flow{};
        if (Case.Type == HttpQosSettingTypeBandwidth) {
            Bandwidth.MaxBandwidth = Case.Value;
            Qos.QosSetting = &Bandwidth;
        } else if (Case.Type == HttpQosSettingTypeConnectionLimit) {
            Connections.MaxConnections = Case.Value;
            Qos.QosSetting = &Connections;
        } else {
            Qos.QosSetting = &Flow;
        }
        const ULONG Result =
            Case.Session
                ? HttpSetServerSessionProperty(Server.Session(), HttpServerQosProperty, &Qos,
                                               sizeof(Qos))
                : HttpSetUrlGroupProperty(Server.Group(), HttpServerQosProperty, &Qos, sizeof(Qos));
        EXPECT_EQ(Result, Case.Expected) << Case.Name;
    }
    // One connection holds a request: the next one's request gets 503.
    THttpTestClient First(Server.Port());
    First.Send("GET /first HTTP/1.1\r\nHost: x\r\n\r\n");
    TRecord Record;
    ULONG Bytes = 0;
    ASSERT_EQ(HttpReceiveHttpRequest(Server.Queue(), HTTP_NULL_ID, 0, Record.Get(),
                                     sizeof(Record.Bytes), &Bytes, nullptr),
              NO_ERROR);
    {
        THttpTestClient Second(Server.Port());
        Second.Send("GET /second HTTP/1.1\r\nHost: x\r\n\r\n");
        const auto Response = Second.ReadResponse();
        ASSERT_TRUE(Response.has_value());
        EXPECT_EQ(ResponseStatus(*Response), 503);
    }
    // Answered, the first connection stays (keep-alive) and still counts; closed, it does not.
    ASSERT_EQ(Answer(Server.Queue(), Record.Get()->RequestId, 200, nullptr), NO_ERROR);
    ASSERT_TRUE(First.ReadResponse().has_value());
    First.Send("GET /again HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(HttpReceiveHttpRequest(Server.Queue(), HTTP_NULL_ID, 0, Record.Get(),
                                     sizeof(Record.Bytes), &Bytes, nullptr),
              NO_ERROR);
    EXPECT_EQ(std::string(Record.Get()->pRawUrl, Record.Get()->RawUrlLength), "/again");
    ASSERT_EQ(Answer(Server.Queue(), Record.Get()->RequestId, 200, nullptr), NO_ERROR);
    ASSERT_TRUE(First.ReadResponse().has_value());
    First.Close();
    // The server notices the close on its own time: retry until a request gets through. A
    // receive waits in the queue all along, and each attempt waits for whichever comes first,
    // the request or the 503: a 503 not yet arrived must not send the test into a receive that
    // nothing will ever complete.
    TPendingReceive Receive(Server.Queue(), Record);
    ASSERT_EQ(Receive.Started(), ERROR_IO_PENDING);
    for (int Attempt = 0; Attempt < 100; ++Attempt) {
        THttpTestClient Third(Server.Port());
        Third.Send("GET /third HTTP/1.1\r\nHost: x\r\n\r\n");
        bool Refused = false;
        bool Received = false;
        for (int Poll = 0; Poll < 1000 && !Refused && !Received; ++Poll) {
            Received = Receive.Done();
            Refused = !Received && Third.Readable(10);
        }
        if (Received) {
            EXPECT_EQ(Receive.Result(), DWORD(NO_ERROR));
            EXPECT_EQ(std::string(Record.Get()->pRawUrl, Record.Get()->RawUrlLength), "/third");
            ASSERT_EQ(Answer(Server.Queue(), Record.Get()->RequestId, 200, nullptr), NO_ERROR);
            EXPECT_EQ(ResponseStatus(Third.ReadResponse().value_or("")), 200);
            return;
        }
        ASSERT_TRUE(Refused) << "neither the request nor an answer within 10 s";
        EXPECT_EQ(ResponseStatus(Third.ReadResponse().value_or("")), 503);
    }
    ADD_FAILURE() << "the closed connection is still counted";
}
