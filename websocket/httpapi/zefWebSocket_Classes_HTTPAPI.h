// zefWebSocket_Classes_HTTPAPI: the WebSocket connection over one request of the HTTP Server
// API request queue (upgrade, reading, writing, disconnect detection).
#pragma once

#include "websocket/httpapi/zefWebSocket_HTTPAPI.h"
#include "websocket/httpapi/zefWebSocket_HTTPAPI_Server.h"
#include "websocket/server/zefWebSocket_Server_Base.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <http.h>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

namespace zef {

/// Size of each entity-body read of an upgraded connection.
inline constexpr std::size_t HTTPAPIReadSize = 16384;
/// Size of its first reads: most connections only ever get small messages, and an idle one
/// holds its pending read's buffer. A read that fills it grows the buffer to HTTPAPIReadSize;
/// a read that would have fitted it brings the buffer back to this size.
inline constexpr std::size_t HTTPAPIFirstReadSize = 512;

class TzefWSHandShake_HTTPAPI : public TzefWSHandShakeServer_Base {
public:
    using TzefWSHandShakeServer_Base::TzefWSHandShakeServer_Base;
};

/// A WebSocket connection whose transport is one request of the listener's queue. Created by
/// the server component on a worker; its reads, disconnect wait and (in asynchronous mode)
/// sends complete on the pool's workers; the application writes from any thread.
///
/// Lifetime: every operation handed to the platform holds one reference (and the connect
/// handler one while it runs). When the last one ends, OnOperationsDone runs, exactly once: only
/// then may the connection be released, so that no completion ever names a freed connection.
class TzefWSConnection_HTTPAPI : public TzefWSConnectionServer_Base {
public:
    TzefWSConnection_HTTPAPI();
    ~TzefWSConnection_HTTPAPI() override;

    /// Connection objects are taken from, and given back to, a cache of up to
    /// ConnectionCacheSize freed blocks of the most common size: a block of some 2.5 KiB is
    /// beyond the allocator's per-thread caches, and with objects freed on other threads than
    /// they were made on each allocation cost some 4,000 instructions. Sanitized builds use the
    /// allocator directly, so that a use after free is still caught.
    static void* operator new(std::size_t aSize);
    static void operator delete(void* aBlock, std::size_t aSize) noexcept;
    static constexpr std::size_t ConnectionCacheSize = 256;

    // --- Set by the server component before anything else runs ---
    HANDLE HTTPReqQueue() const { return FHTTPReqQueue; }
    void SetHTTPReqQueue(HANDLE Value) { FHTTPReqQueue = Value; }
    std::uint64_t HTTPRequestId() const { return FHTTPRequestId.load(); }
    /// Stores the id; a non-zero id also computes and keeps the addresses, ports and URL from
    /// HTTPRequest, which is valid only while the connect handling runs.
    void SetHTTPRequestId(std::uint64_t Value);
    std::uint64_t HTTPConnectionId() const { return FHTTPConnectionId; }
    void SetHTTPConnectionId(std::uint64_t Value) { FHTTPConnectionId = Value; }
    HTTP_REQUEST* HTTPRequest() const { return FHTTPRequest; }
    void SetHTTPRequest(HTTP_REQUEST* Value) { FHTTPRequest = Value; }
    PHTTP_LOG_DATA HTTPLogData() const { return FHTTPLogData; }
    void SetHTTPLogData(PHTTP_LOG_DATA Value) { FHTTPLogData = Value; }
    HANDLE iocompletition() const { return FIOCompletition; }
    void Setiocompletition(HANDLE Value) { FIOCompletition = Value; }
    bool Asynchronous() const { return FAsynchronous; }
    void SetAsynchronous(bool Value) { FAsynchronous = Value; }
    /// Received bytes not yet taken by the frame reader.
    std::span<const std::uint8_t> buffer() const {
        return {FBuffer.get() + FBufferPos, FBufferLength - FBufferPos};
    }
    /// Raised by DoDisconnected with code 0.
    TzefWSDisconnectEvent OnDisconnect;
    /// Runs once, when the last operation of the connection has ended (any thread).
    std::function<void(TzefWSConnection_HTTPAPI& Connection)> OnOperationsDone;
    /// Flushes the connection's send queues (the component's ProcessQueues); set by the
    /// server component. Run at the end of every read that left items queued, and on a worker
    /// soon after an item is queued on any other thread.
    std::function<void(TzefWSConnection_HTTPAPI& Connection)> OnFlushQueues;

    // --- Transport primitives ---
    bool Active() override { return Connected(); }
    bool Connected() override { return FHTTPRequestId.load() != 0; }
    std::string IP() override { return FIP; }
    std::string LocalIP() override { return FLocalIP; }
    int LocalPort() override { return FLocalPort; }
    int Port() override { return FPort; }
    /// The request's full URL.
    std::string URL() override { return FFullURL; }
    /// Ends the client's connection (a send with the disconnect flag).
    void DisconnectPeer() override;
    void ClearReceiveBuffer() override;
    /// The base handshake (fills HeadersResponse; throws TzefWSHandshakeRefused), then the 101
    /// answer with the opaque flag.
    void DoHandshake() override;
    void WriteBytes(std::span<const std::uint8_t> aBytes) override;
    void WriteBegin() override {}
    void WriteFlush() override {}
    void WriteEnd() override {}
    std::size_t ReadBytes(std::uint8_t* aBytes, std::size_t aCount) override;
    std::size_t ReadableBytes() override { return FBufferLength - FBufferPos; }
    /// Feeds the buffered bytes to the reader of the connection's transport, then starts the
    /// next read unless the connection is ending.
    void ReadData(bool aRequireMask) override;
    /// A ping that cannot be written is not an error of the caller.
    void DoPing(const std::string& aText) override;

    // --- Operations ---
    /// Starts the overlapped disconnect wait.
    virtual void WaitForDisconnect();
    /// Starts one overlapped read of HTTPAPIFirstReadSize bytes, or HTTPAPIReadSize after a
    /// read that filled its buffer, until a read would have fitted the smaller one again (only
    /// while connected).
    virtual void ReadEntityBody();
    /// The connection is gone: disconnected, no request id; raises OnDisconnect(0) unless the
    /// transport is trpUndefined or trpHTTP.
    virtual void DoDisconnected();
    /// A read completed with aBytesReceived bytes (a worker). Nothing once disconnected; an
    /// exception of the reader ends the connection.
    void DoReadData(std::uint32_t aBytesReceived);
    /// The flush packet arrived (a worker): flushes the send queues; a failure to write ends
    /// the connection.
    void DoFlushQueues();
    /// Rebuilds the request line and headers as text lines into HeadersRequest.
    void DoReadHeaders();
    /// The request as the application's request event sees it; reads the body when the request
    /// announces one.
    THttpServerRequest GetHttpServerRequest();
    /// The request's header lines: each known header present, then each unknown header, as
    /// "Name: value" CR LF.
    static std::string BuildHeaders(const HTTP_REQUEST& aRequest);
    /// The decimal value of the request's Content-Length (leading blanks skipped, digits up to
    /// the first other character; 0 when absent).
    static std::uint32_t ContentLengthOf(const HTTP_REQUEST& aRequest);
    /// The request's body, read on first use (at most 16 MiB; what arrived when it ends
    /// early). Only while the connect handling runs.
    const std::string& RequestBody();

    // --- Operation accounting (the pool and the server component) ---
    /// One more operation in flight.
    void AddOperation() { FOperations.fetch_add(1); }
    /// Ends aContext's operation (frees an owned send record) and drops its reference; the last
    /// one runs OnOperationsDone. aContext null: the connect handler's own reference.
    void EndOperation(TzefHTTPAPIContext* aContext);
    /// Operations in flight, the connect handler's reference included.
    int Operations() const { return FOperations.load(); }
    /// Live connection objects of this class in the process (for tests and observers).
    static int InstanceCount() { return GInstances.load(); }
    /// Gives back the read buffer's memory; for a connection whose operations have all ended
    /// and that waits for its deferred release.
    void ReleaseBuffers();

protected:
    /// Sends a response record (101 with the opaque flag, or a plain answer); false when the
    /// platform refused it (the connection is then aborted).
    bool SendResponseRecord(std::unique_ptr<TzefHTTPAPISendData> aData, ULONG aFlags);
    /// A new record for an overlapped send of this connection, kept in FSendContexts.
    TzefHTTPAPIContext* NewSendContext(THTTPAPIMethods aMethod,
                                       std::unique_ptr<TzefHTTPAPISendData> aData);
    /// Frees a send record that the platform did not take.
    void DropSendContext(TzefHTTPAPIContext* aContext);
    const THttpApiFunctions& Api() const { return *FApi; }

private:
    /// False when the platform refused the 101 (the connection is then aborted).
    bool SendUpgradeResponse();
    /// The first block of an event stream: its head as the response, the rest as body.
    void SendStreamHead(std::span<const std::uint8_t> aBytes);
    /// Drops the transport of a connection that is marked disconnected but still attached, so
    /// that no read is left waiting on a channel nobody reads any more.
    void EndChannel();
    /// An item was queued: the reader's own thread leaves it to the end of its read; any other
    /// thread posts one flush packet to the pool (unless one is on its way).
    void FlushSoon();
    /// Runs OnFlushQueues when something is queued; a failure to write ends the connection.
    void FlushQueues();

    static std::atomic<int> GInstances;
    const THttpApiFunctions* FApi;
    HANDLE FHTTPReqQueue = nullptr;
    std::atomic<std::uint64_t> FHTTPRequestId{0};
    std::uint64_t FHTTPConnectionId = 0;
    HTTP_REQUEST* FHTTPRequest = nullptr;  // Not owned; valid during the connect handling.
    PHTTP_LOG_DATA FHTTPLogData = nullptr; // Not owned: the listener's.
    HANDLE FIOCompletition = nullptr;
    bool FAsynchronous = false;
    HTTP_VERSION FVersion{1, 1};
    std::string FFullURL;
    std::string FRequestBody;
    bool FRequestBodyRead = false;
    // The read buffer: FBufferLength bytes arrived, FBufferPos taken. The reader's thread
    // (one read in flight at a time).
    std::unique_ptr<std::uint8_t[]> FBuffer; // FBufferSize bytes once the first read starts.
    std::size_t FBufferSize = 0;
    std::size_t FBufferLength = 0;
    std::size_t FBufferPos = 0;
    // The thread that works on the read buffer now (none: a default id). Set before it looks
    // at Disconnected, which a close on another thread sets before it looks at this: either
    // that close leaves the buffer to the reader, or the reader sees the connection closed.
    std::atomic<std::thread::id> FReader{};
    /// Marks the calling thread as the reader for its scope (nested marks keep the outer one).
    class TReaderMark {
    public:
        explicit TReaderMark(std::atomic<std::thread::id>& aReader);
        ~TReaderMark();
        TReaderMark(const TReaderMark&) = delete;
        TReaderMark& operator=(const TReaderMark&) = delete;

    private:
        std::atomic<std::thread::id>& FReader;
        bool FOuter;
    };
    TzefHTTPAPIContext FReadContext;            // Embedded; one read at a time.
    TzefHTTPAPIContext FWaitContext;            // Embedded; one disconnect wait.
    TzefHTTPAPIContext FFlushContext;           // Embedded; one flush packet at a time.
    std::atomic<bool> FFlushPosted{false};      // The flush packet is on its way.
    std::atomic<int> FOperations{1};            // The connect handler holds the first.
    std::atomic<bool> FWaitStarted{false};      // The disconnect wait runs (at most one).
    std::atomic<bool> FResponseHeadSent{false}; // An event stream's head went out.
    std::mutex FSendLock;
    std::vector<std::unique_ptr<TzefHTTPAPIContext>> FSendContexts; // Guarded by FSendLock.
};

} // namespace zef
