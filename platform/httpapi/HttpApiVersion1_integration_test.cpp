// HttpApiVersion1 integration: what the documented version 1.0 samples use, on real loopback
// sockets: URLs registered on the request queue itself (HttpCreateHttpHandle, HttpAddUrl,
// HttpRemoveUrl) and responses sent from a file (HttpDataChunkFromFileHandle).
#include "testing/HttpTestClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <http.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

namespace fs = std::filesystem;

constexpr HTTPAPI_VERSION Version1 = HTTPAPI_VERSION_1;

std::wstring WideUrl(std::uint16_t Port, const std::string& Path) {
    const std::string Url = "http://127.0.0.1:" + std::to_string(Port) + Path;
    return std::wstring(Url.begin(), Url.end());
}

/// HttpInitialize with the server flag for the test's life.
class TInitialized {
public:
    TInitialized() {
        EXPECT_EQ(HttpInitialize(Version1, HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
    }
    ~TInitialized() { EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR); }
    TInitialized(const TInitialized&) = delete;
    TInitialized& operator=(const TInitialized&) = delete;
};

/// Receives one request on Queue (synchronously, as the samples do) into Buffer.
HTTP_REQUEST* ReceiveOne(HANDLE Queue, std::vector<char>& Buffer) {
    Buffer.assign(sizeof(HTTP_REQUEST) + 4096, 0);
    auto* Request = reinterpret_cast<HTTP_REQUEST*>(Buffer.data());
    ULONG Read = 0;
    const ULONG Result = HttpReceiveHttpRequest(Queue, HTTP_NULL_ID, 0, Request,
                                                static_cast<ULONG>(Buffer.size()), &Read, nullptr);
    EXPECT_EQ(Result, NO_ERROR);
    return Result == NO_ERROR ? Request : nullptr;
}

ULONG ReplyText(HANDLE Queue, HTTP_REQUEST_ID Id, const std::string& Body) {
    HTTP_RESPONSE Response{};
    Response.StatusCode = 200;
    Response.pReason = "OK";
    Response.ReasonLength = 2;
    HTTP_DATA_CHUNK Chunk{};
    Chunk.DataChunkType = HttpDataChunkFromMemory;
    Chunk.FromMemory.pBuffer = const_cast<char*>(Body.data());
    Chunk.FromMemory.BufferLength = static_cast<ULONG>(Body.size());
    Response.EntityChunkCount = 1;
    Response.pEntityChunks = &Chunk;
    ULONG Sent = 0;
    return HttpSendHttpResponse(Queue, Id, 0, &Response, nullptr, &Sent, nullptr, 0, nullptr,
                                nullptr);
}

/// A temporary file with the given content, removed at the end.
class TTempFile {
public:
    explicit TTempFile(const std::string& Content) {
        std::string Template = (fs::temp_directory_path() / "httpapi-chunk-XXXXXX").string();
        const int Fd = mkstemp(Template.data());
        EXPECT_GE(Fd, 0);
        close(Fd);
        FPath = Template;
        std::ofstream(FPath, std::ios::binary) << Content;
    }
    ~TTempFile() { fs::remove(FPath); }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    const fs::path& Path() const { return FPath; }
    HANDLE Open(DWORD Access = GENERIC_READ) const {
        return CreateFileA(FPath.c_str(), Access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

private:
    fs::path FPath;
};

} // namespace

TEST(HttpApiVersion1, UrlsRegisterOnTheQueueAndServe) {
    TInitialized Initialized;
    HANDLE Queue = nullptr;
    ASSERT_EQ(HttpCreateHttpHandle(&Queue, 0), NO_ERROR);
    const std::uint16_t Port = FreePort();
    const std::wstring Url = WideUrl(Port, "/v1/");
    ASSERT_EQ(HttpAddUrl(Queue, Url.c_str(), nullptr), NO_ERROR);
    EXPECT_EQ(HttpAddUrl(Queue, Url.c_str(), nullptr), ERROR_ALREADY_EXISTS);

    std::thread Server([&] {
        std::vector<char> Buffer;
        if (HTTP_REQUEST* Request = ReceiveOne(Queue, Buffer)) {
            EXPECT_EQ(ReplyText(Queue, Request->RequestId, "version one"), NO_ERROR);
        }
    });
    THttpTestClient Client(Port);
    ASSERT_TRUE(Client.Send("GET /v1/x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const auto Response = Client.ReadResponse();
    Server.join();
    ASSERT_TRUE(Response);
    EXPECT_EQ(ResponseStatus(*Response), 200);
    EXPECT_EQ(ResponseBody(*Response), "version one");

    EXPECT_EQ(HttpRemoveUrl(Queue, Url.c_str()), NO_ERROR);
    EXPECT_EQ(HttpRemoveUrl(Queue, Url.c_str()), ERROR_FILE_NOT_FOUND);
    // Nothing listens on the port any more.
    THttpTestClient Late(Port);
    EXPECT_FALSE(Late.Connected());
    EXPECT_TRUE(CloseHandle(Queue));
}

TEST(HttpApiVersion1, BadCallsAreRefused) {
    TInitialized Initialized;
    HANDLE Version1Queue = nullptr;
    HANDLE Version2Queue = nullptr;
    ASSERT_EQ(HttpCreateHttpHandle(&Version1Queue, 0), NO_ERROR);
    ASSERT_EQ(HttpCreateRequestQueue(HTTPAPI_VERSION HTTPAPI_VERSION_2, nullptr, nullptr, 0,
                                     &Version2Queue),
              NO_ERROR);
    const std::wstring Url = WideUrl(FreePort(), "/");
    int Reserved = 0;
    struct TCase {
        const char* Name;
        ULONG Got;
        ULONG Expected;
    };
    const TCase Cases[] = {
        {"no handle", HttpAddUrl(nullptr, Url.c_str(), nullptr), ERROR_INVALID_HANDLE},
        {"no URL", HttpAddUrl(Version1Queue, nullptr, nullptr), ERROR_INVALID_PARAMETER},
        {"reserved set", HttpAddUrl(Version1Queue, Url.c_str(), &Reserved),
         ERROR_INVALID_PARAMETER},
        {"malformed URL", HttpAddUrl(Version1Queue, L"http://127.0.0.1:/x", nullptr),
         ERROR_INVALID_PARAMETER},
        {"version 2.0 queue", HttpAddUrl(Version2Queue, Url.c_str(), nullptr),
         ERROR_INVALID_PARAMETER},
        {"remove before any add", HttpRemoveUrl(Version1Queue, Url.c_str()), ERROR_FILE_NOT_FOUND},
        {"remove, no handle", HttpRemoveUrl(nullptr, Url.c_str()), ERROR_INVALID_HANDLE},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(Case.Got, Case.Expected);
    }
    EXPECT_EQ(HttpCloseRequestQueue(Version1Queue), NO_ERROR);
    EXPECT_EQ(HttpAddUrl(Version1Queue, Url.c_str(), nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(HttpCloseRequestQueue(Version2Queue), NO_ERROR);
}

// A queue closed with CloseHandle (as the sample does) gives its URLs back: another queue can
// register them.
TEST(HttpApiVersion1, ClosingTheQueueReleasesItsUrls) {
    TInitialized Initialized;
    const std::wstring Url = WideUrl(FreePort(), "/again/");
    for (int Round = 0; Round < 3; ++Round) {
        SCOPED_TRACE(Round);
        HANDLE Queue = nullptr;
        ASSERT_EQ(HttpCreateHttpHandle(&Queue, 0), NO_ERROR);
        ASSERT_EQ(HttpAddUrl(Queue, Url.c_str(), nullptr), NO_ERROR);
        if (Round % 2 == 0) {
            EXPECT_TRUE(CloseHandle(Queue));
        } else {
            EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
        }
    }
}

struct TFileChunkCase {
    const char* Name;
    ULONGLONG Start;
    ULONGLONG Length;
    ULONG Expected;
    const char* Body; // when sent
};

constexpr TFileChunkCase FileChunkCases[] = {
    {"whole file", 0, HTTP_BYTE_RANGE_TO_EOF, NO_ERROR, "0123456789"},
    {"a range", 2, 5, NO_ERROR, "23456"},
    {"from the middle to the end", 7, HTTP_BYTE_RANGE_TO_EOF, NO_ERROR, "789"},
    {"empty at the end", 10, HTTP_BYTE_RANGE_TO_EOF, NO_ERROR, ""},
    {"start past the end", 11, 1, ERROR_INVALID_PARAMETER, nullptr},
    {"length past the end", 5, 6, ERROR_INVALID_PARAMETER, nullptr},
};

TEST(HttpApiFileChunks, RangesOfAFileAreSentWithTheirLength) {
    TInitialized Initialized;
    HANDLE Queue = nullptr;
    ASSERT_EQ(HttpCreateHttpHandle(&Queue, 0), NO_ERROR);
    const std::uint16_t Port = FreePort();
    ASSERT_EQ(HttpAddUrl(Queue, WideUrl(Port, "/file/").c_str(), nullptr), NO_ERROR);
    TTempFile File("0123456789");
    for (const TFileChunkCase& Case : FileChunkCases) {
        SCOPED_TRACE(Case.Name);
        THttpTestClient Client(Port);
        ASSERT_TRUE(Client.Send("GET /file/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        std::vector<char> Buffer;
        HTTP_REQUEST* Request = ReceiveOne(Queue, Buffer);
        ASSERT_NE(Request, nullptr);
        const HANDLE Handle = File.Open();
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        HTTP_RESPONSE Response{};
        Response.StatusCode = 200;
        HTTP_DATA_CHUNK Chunk{};
        Chunk.DataChunkType = HttpDataChunkFromFileHandle;
        Chunk.FromFileHandle.ByteRange.StartingOffset.QuadPart = Case.Start;
        Chunk.FromFileHandle.ByteRange.Length.QuadPart = Case.Length;
        Chunk.FromFileHandle.FileHandle = Handle;
        Response.EntityChunkCount = 1;
        Response.pEntityChunks = &Chunk;
        ULONG Sent = 0;
        EXPECT_EQ(HttpSendHttpResponse(Queue, Request->RequestId, 0, &Response, nullptr, &Sent,
                                       nullptr, 0, nullptr, nullptr),
                  Case.Expected);
        EXPECT_TRUE(CloseHandle(Handle));
        if (Case.Body == nullptr) {
            // Refused: the request is still the application's to answer.
            EXPECT_EQ(ReplyText(Queue, Request->RequestId, "refused"), NO_ERROR);
        }
        const auto Answer = Client.ReadResponse();
        ASSERT_TRUE(Answer);
        EXPECT_EQ(ResponseBody(*Answer), Case.Body == nullptr ? "refused" : Case.Body);
        if (Case.Body != nullptr) {
            EXPECT_EQ(ResponseHeader(*Answer, "Content-Length"),
                      std::to_string(std::string(Case.Body).size()));
        }
    }
    EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
}

// The sample's shape: the head with the more-data flag, then the file as the entity body, with
// an overlapped send that reports through its event; the file is closed before the client reads.
TEST(HttpApiFileChunks, EntityBodyFromAFileAndOverlappedCompletion) {
    TInitialized Initialized;
    HANDLE Queue = nullptr;
    ASSERT_EQ(HttpCreateHttpHandle(&Queue, 0), NO_ERROR);
    const std::uint16_t Port = FreePort();
    ASSERT_EQ(HttpAddUrl(Queue, WideUrl(Port, "/post/").c_str(), nullptr), NO_ERROR);
    const std::string Content(200000, 'f');
    TTempFile File(Content);
    THttpTestClient Client(Port);
    ASSERT_TRUE(Client.Send("GET /post/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::vector<char> Buffer;
    HTTP_REQUEST* Request = ReceiveOne(Queue, Buffer);
    ASSERT_NE(Request, nullptr);

    HTTP_RESPONSE Response{};
    Response.StatusCode = 200;
    const std::string Length = std::to_string(Content.size());
    Response.Headers.KnownHeaders[HttpHeaderContentLength].pRawValue = Length.c_str();
    Response.Headers.KnownHeaders[HttpHeaderContentLength].RawValueLength =
        static_cast<USHORT>(Length.size());
    ULONG Sent = 0;
    ASSERT_EQ(HttpSendHttpResponse(Queue, Request->RequestId, HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                                   &Response, nullptr, &Sent, nullptr, 0, nullptr, nullptr),
              NO_ERROR);
    const HANDLE Handle = File.Open();
    ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
    HTTP_DATA_CHUNK Chunk{};
    Chunk.DataChunkType = HttpDataChunkFromFileHandle;
    Chunk.FromFileHandle.ByteRange.Length.QuadPart = HTTP_BYTE_RANGE_TO_EOF;
    Chunk.FromFileHandle.FileHandle = Handle;
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const ULONG Result = HttpSendResponseEntityBody(Queue, Request->RequestId, 0, 1, &Chunk,
                                                    nullptr, nullptr, 0, &Overlapped, nullptr);
    EXPECT_TRUE(Result == NO_ERROR || Result == ERROR_IO_PENDING) << Result;
    EXPECT_TRUE(CloseHandle(Handle));
    DWORD Bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(Queue, &Overlapped, &Bytes, TRUE));
    EXPECT_EQ(Bytes, Content.size());
    CloseHandle(Overlapped.hEvent);
    const auto Answer = Client.ReadResponse();
    ASSERT_TRUE(Answer);
    EXPECT_EQ(ResponseBody(*Answer), Content);
    EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
}

TEST(HttpApiFileChunks, BadFileHandlesAreRefused) {
    TInitialized Initialized;
    HANDLE Queue = nullptr;
    ASSERT_EQ(HttpCreateHttpHandle(&Queue, 0), NO_ERROR);
    const std::uint16_t Port = FreePort();
    ASSERT_EQ(HttpAddUrl(Queue, WideUrl(Port, "/bad/").c_str(), nullptr), NO_ERROR);
    TTempFile File("data");
    const HANDLE WriteOnly = File.Open(GENERIC_WRITE);
    const HANDLE Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct TCase {
        const char* Name;
        HANDLE Handle;
        ULONG Expected;
    };
    const TCase Cases[] = {
        {"no handle", nullptr, ERROR_INVALID_HANDLE},
        {"not a file", Event, ERROR_INVALID_HANDLE},
        {"opened for writing only", WriteOnly, ERROR_ACCESS_DENIED},
    };
    THttpTestClient Client(Port);
    ASSERT_TRUE(Client.Send("GET /bad/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::vector<char> Buffer;
    HTTP_REQUEST* Request = ReceiveOne(Queue, Buffer);
    ASSERT_NE(Request, nullptr);
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        HTTP_RESPONSE Response{};
        Response.StatusCode = 200;
        HTTP_DATA_CHUNK Chunk{};
        Chunk.DataChunkType = HttpDataChunkFromFileHandle;
        Chunk.FromFileHandle.ByteRange.Length.QuadPart = HTTP_BYTE_RANGE_TO_EOF;
        Chunk.FromFileHandle.FileHandle = Case.Handle;
        Response.EntityChunkCount = 1;
        Response.pEntityChunks = &Chunk;
        EXPECT_EQ(HttpSendHttpResponse(Queue, Request->RequestId, 0, &Response, nullptr, nullptr,
                                       nullptr, 0, nullptr, nullptr),
                  Case.Expected);
    }
    EXPECT_EQ(ReplyText(Queue, Request->RequestId, "still answered"), NO_ERROR);
    const auto Answer = Client.ReadResponse();
    ASSERT_TRUE(Answer);
    EXPECT_EQ(ResponseBody(*Answer), "still answered");
    CloseHandle(WriteOnly);
    CloseHandle(Event);
    EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
}

// The limit on file bytes in one send, at its edge: a sparse file of exactly the limit is sent,
// one byte more is refused before anything is read.
TEST(HttpApiFileChunks, SixtyFourMebibytesAtMostInOneSend) {
    TInitialized Initialized;
    HANDLE Queue = nullptr;
    ASSERT_EQ(HttpCreateHttpHandle(&Queue, 0), NO_ERROR);
    const std::uint16_t Port = FreePort();
    ASSERT_EQ(HttpAddUrl(Queue, WideUrl(Port, "/big/").c_str(), nullptr), NO_ERROR);
    TTempFile File("");
    constexpr ULONGLONG Limit = 64ull << 20;
    fs::resize_file(File.Path(), Limit + 1);
    const HANDLE Handle = File.Open();
    ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
    for (const ULONGLONG Length : {Limit + 1, Limit}) {
        SCOPED_TRACE(Length);
        THttpTestClient Client(Port);
        ASSERT_TRUE(Client.Send("GET /big/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        std::vector<char> Buffer;
        HTTP_REQUEST* Request = ReceiveOne(Queue, Buffer);
        ASSERT_NE(Request, nullptr);
        HTTP_RESPONSE Response{};
        Response.StatusCode = 200;
        HTTP_DATA_CHUNK Chunk{};
        Chunk.DataChunkType = HttpDataChunkFromFileHandle;
        Chunk.FromFileHandle.ByteRange.Length.QuadPart = Length;
        Chunk.FromFileHandle.FileHandle = Handle;
        Response.EntityChunkCount = 1;
        Response.pEntityChunks = &Chunk;
        const ULONG Expected = Length > Limit ? ULONG(ERROR_NOT_ENOUGH_MEMORY) : ULONG(NO_ERROR);
        std::thread Reader;
        std::optional<std::string> Answer;
        if (Expected == NO_ERROR) {
            Reader = std::thread([&] { Answer = Client.ReadResponse(); });
        }
        EXPECT_EQ(HttpSendHttpResponse(Queue, Request->RequestId, 0, &Response, nullptr, nullptr,
                                       nullptr, 0, nullptr, nullptr),
                  Expected);
        if (Expected != NO_ERROR) {
            EXPECT_EQ(ReplyText(Queue, Request->RequestId, "too big"), NO_ERROR);
            Answer = Client.ReadResponse();
            ASSERT_TRUE(Answer);
            EXPECT_EQ(ResponseBody(*Answer), "too big");
        } else {
            Reader.join();
            ASSERT_TRUE(Answer);
            EXPECT_EQ(ResponseBody(*Answer).size(), Limit);
        }
    }
    CloseHandle(Handle);
    EXPECT_EQ(HttpCloseRequestQueue(Queue), NO_ERROR);
}
