// zefWebSocket_HTTPAPI_Server: the HTTP Server API listener thread (session, URL group, request
// queue, request receive loop) and its completion-port worker pool.
#pragma once

#include "platform/rtl/UninitializedAllocator.h"
#include "websocket/httpapi/zefWebSocket_HTTPAPI.h"
#include "websocket/httpapi/zefWebSocket_SRWLock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <http.h>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>
#include <windows.h>

namespace zef {

class TzefWSConnection_HTTPAPI;
class TzefHTTPServerAPI;

/// Which operation a context record belongs to.
enum class THTTPAPIMethods : std::uint8_t {
    mthUnknown,
    mthReceiveHttpRequest,
    mthSendHttpResponse,
    mthReceiveRequestEntityBody,
    mthSendResponseEntityBody,
    mthSendDisconnect,
    mthWaitForDisconnect,
    mthCancelHttpRequest,
    /// Not a platform call: a packet the connection posts to have its send queues flushed.
    mthProcessQueues
};

/// What an overlapped send keeps alive until its completion: the chunk, its bytes and, for a
/// response, the response record with the texts its headers point into.
struct TzefHTTPAPISendData {
    HTTP_DATA_CHUNK Chunk{};
    std::string Body;
    HTTP_RESPONSE Response{};
    std::string HeaderText;
    std::string Reason;
    std::string ContentType;
    std::vector<HTTP_UNKNOWN_HEADER> Unknown;
};

/// One operation handed to the platform. The platform returns the address of `overlapped` on
/// completion, which is the record's address: it must stay the first member.
struct TzefHTTPAPIContext {
    OVERLAPPED overlapped{};
    THTTPAPIMethods method = THTTPAPIMethods::mthUnknown;
    HANDLE reqqueue = nullptr;
    HANDLE iocompletition = nullptr;
    /// Points into `buffer` (received requests only).
    HTTP_REQUEST* request = nullptr;
    /// The request's storage, 8-byte aligned (received requests only). Only the request record
    /// at its start is zeroed: the platform writes the rest before anything reads it.
    std::vector<std::uint64_t, rtl::TUninitializedAllocator<std::uint64_t>> buffer;
    /// The data of an overlapped send; released with the record.
    std::unique_ptr<TzefHTTPAPISendData> datachunk;
    /// The connection whose operation this is; null for a freshly received request. Not owned.
    TzefWSConnection_HTTPAPI* connection = nullptr;
    /// A record that is a member of its connection and reused for each read or wait: releasing
    /// it only ends the operation, the connection keeps the record.
    bool Embedded = false;

    /// The record of a completion packet's overlapped pointer.
    static TzefHTTPAPIContext* FromOverlapped(LPOVERLAPPED aOverlapped) {
        return reinterpret_cast<TzefHTTPAPIContext*>(aOverlapped);
    }
};

/// The overlapped pointer of the packet that ends a worker.
inline LPOVERLAPPED const ShutdownPacket = reinterpret_cast<LPOVERLAPPED>(~std::uintptr_t(0));

class TzefThreadPool;

/// One worker: takes packets from its pool's port until it gets the shutdown packet.
class TzefThreadPool_Thread {
public:
    /// Starts the thread at once.
    explicit TzefThreadPool_Thread(TzefThreadPool* Owner);
    ~TzefThreadPool_Thread(); // Waits for the thread.
    void SetShutdown() { FShutdown = true; }

private:
    void Execute();

    std::atomic<bool> FShutdown{false};
    TzefThreadPool* FOwner; // Not owned: the pool outlives its workers.
    std::thread FThread;    // Declared last: started when everything else is set.
};

/// A completion port and its workers. Created and freed by its owner's thread; DoCompletion
/// runs on the workers, several at once.
class TzefThreadPool {
public:
    /// aThreads 0 counts as 1. Without a port (creation failed) no worker starts.
    TzefThreadPool(HANDLE aFileHandle, HANDLE aCompletionPort, int aThreads);
    TzefThreadPool(const TzefThreadPool&) = delete;
    TzefThreadPool& operator=(const TzefThreadPool&) = delete;
    /// Ends every worker (one shutdown packet each, queued after every pending completion, so
    /// that all of those are handled first), then closes the port.
    virtual ~TzefThreadPool();
    HANDLE IOCompletition() const { return FIOCompletition; }
    int ThreadCount() const { return int(FThreadList.size()); }

    /// One completion (a worker thread). aContext is the record of the packet.
    virtual void DoCompletion(TzefThreadPool_Thread& Thread, DWORD aBytes,
                              TzefHTTPAPIContext* aContext) = 0;
    /// A failed operation: the record is released without further processing.
    virtual void DoFailedCompletion(TzefHTTPAPIContext* aContext) = 0;

protected:
    /// Ends the workers; the most derived destructor calls it, so that no completion runs into
    /// a half-destroyed pool.
    void StopWorkers();

    HANDLE FIOCompletition = nullptr;
    std::vector<std::unique_ptr<TzefThreadPool_Thread>> FThreadList;
    int FThreads = 1;
};

/// A pool whose port also receives the completions of the server's request queue.
class TzefServer_ThreadPool : public TzefThreadPool {
public:
    TzefServer_ThreadPool(HANDLE aFileHandle, TzefHTTPServerAPI& aServer, HANDLE aCompletionPort,
                          int aThreads);

protected:
    TzefHTTPServerAPI& FServer; // Not owned: the server owns the pool.
};

/// The dispatch of the listener's records by operation.
class TzefHTTP_ThreadPool : public TzefServer_ThreadPool {
public:
    using TzefServer_ThreadPool::TzefServer_ThreadPool;
    ~TzefHTTP_ThreadPool() override;
    void DoCompletion(TzefThreadPool_Thread& Thread, DWORD aBytes,
                      TzefHTTPAPIContext* aContext) override;
    void DoFailedCompletion(TzefHTTPAPIContext* aContext) override;
};

using TzefWSHTTPAPIConnectEvent =
    std::function<void(TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& aConnection)>;
using TzefWSHTTPAPIDisconnectEvent =
    std::function<void(TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& aConnection)>;
using TzefWSHTTPAPIAsynchronousEvent =
    std::function<void(TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& aConnection, bool& Handled)>;
using TzefHTTPAPINotifyEvent = std::function<void(TzefHTTPServerAPI& Sender)>;

/// Everything the program holds of the HTTP Server API: session, URL group, request queue, the
/// in-flight received-request records and the worker pool. It is also the listener thread,
/// which receives each new request and hands it to the pool. Created, configured and freed by
/// the server component's thread; its events run on the workers (OnStartup and OnShutdown on
/// the listener thread). Assign the events before Start.
class TzefHTTPServerAPI {
public:
    /// Loads the library, initialises the platform, creates session, URL group, queue (bound to
    /// the group) and the pool of aThreads workers; starts the listener unless CreateSuspended.
    /// Throws rtl::Exception when the library is missing, TzefWSException for a failed call.
    TzefHTTPServerAPI(bool CreateSuspended, int aThreads);
    TzefHTTPServerAPI(const TzefHTTPServerAPI&) = delete;
    TzefHTTPServerAPI& operator=(const TzefHTTPServerAPI&) = delete;
    /// Closes the queue (every pending operation ends), waits for the listener thread, ends
    /// the pool after it has handled every completion, releases the remaining records, closes
    /// URL group and session and terminates the platform.
    ~TzefHTTPServerAPI();

    /// Starts the listener thread (once).
    void Start();
    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated.load(); }

    /// Adds or removes one URL prefix; the platform's result after CheckError. -1 without a
    /// queue.
    int AddUrl(const std::string& aURL);
    int RemoveUrl(const std::string& aURL);
    void ConfigureSSLCert(const std::string& aHost, int aPort, const std::string& aHash,
                          const std::string& aCertStoreName);
    void LogStart(const std::string& aLogFolder, THttpApiLoggingType aType,
                  const std::string& aSoftwareName, THttpApiLoggingRollOver aRolloverType,
                  std::uint32_t aRolloverSize, THttpApiLogFields aLogFields,
                  THttpApiLoggingFlags aFlags);
    void LogStop() { FLogData = nullptr; }
    void SetTimeouts(int aEntityBody, int aDrainEntityBody, int aRequestQueue, int aIdleConnection,
                     int aHeaderWait, int aMinSendRate);
    void SetMaxConnections(int aValue);
    void SetMaxBandwidth(int aValue);
    /// The value of one hexadecimal digit (either case); 0 for any other character.
    static std::uint8_t GetUCharByte(char aChar);
    /// Two characters make one byte, high digit first; a trailing odd character is ignored.
    static std::vector<std::uint8_t> HexToBytes(const std::string& aHex);

    HANDLE ReqQueue() const { return FReqQueue; }
    HTTP_URL_GROUP_ID UrlGroupID() const { return FUrlGroupID; }
    HANDLE IOCompletition() const;
    int ThreadCount() const;
    /// Log data handed to every send; null unless logging is on.
    PHTTP_LOG_DATA LogData() const { return FLogData.load(); }
    bool BasicAuthentication() const { return FBasicAuthentication; }
    void SetBasicAuthentication(bool Value) { FBasicAuthentication = Value; }
    /// Received-request records still alive (for observers and tests).
    std::size_t ContextCount();

    TzefWSHTTPAPIConnectEvent OnConnect;
    TzefWSHTTPAPIDisconnectEvent OnDisconnect;
    TzefHTTPAPINotifyEvent OnStartup;
    TzefHTTPAPINotifyEvent OnShutdown;
    TzefWSHTTPAPIAsynchronousEvent OnAsynchronous;

    // Called by the pool (worker threads).
    virtual void DoConnectEvent(TzefHTTPAPIContext& aContext);
    virtual void DoDisconnectEvent(TzefHTTPAPIContext& aContext);
    virtual void DoAsynchronousEvent(TzefHTTPAPIContext& aContext, bool& Handled);
    /// Takes a received-request record out of the list and frees it; nothing for others.
    void DeleteContext(TzefHTTPAPIContext* aContext);

private:
    void Execute();
    void ApplyBasicAuthentication();
    TzefHTTPAPIContext* AddContext(std::unique_ptr<TzefHTTPAPIContext> aContext);
    void ClearContexts();
    /// Receives one request into aContext, growing its buffer once when the request's head is
    /// larger; the platform's result.
    ULONG Receive(TzefHTTPAPIContext& aContext, ULONG& aBytes);

    const THttpApiFunctions& FApi;
    TzefSRWLockList<std::unique_ptr<TzefHTTPAPIContext>> FContexts;
    HTTP_SERVER_SESSION_ID FServerSessionID = 0;
    HTTP_URL_GROUP_ID FUrlGroupID = 0;
    HANDLE FReqQueue = nullptr;
    bool FServerInitialized = false;
    bool FConfigInitialized = false;
    std::unique_ptr<TzefHTTP_ThreadPool> FThreadPool;
    std::atomic<PHTTP_LOG_DATA> FLogData{nullptr};
    HTTP_LOG_FIELDS_DATA FLogDataStorage{}; // All zero: an empty log-fields record.
    std::atomic<bool> FBasicAuthentication{false};
    std::atomic<bool> FTerminated{false};
    std::thread FThread; // Declared last; joined by the destructor.
};

} // namespace zef
