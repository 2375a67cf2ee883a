// zefWebSocket_Server_HTTPAPI: the WebSocket server component over the HTTP Server API: URL
// prefixes, time-outs, limits, logging, certificates, one connection per received request, and
// the plain HTTP answers.
#pragma once

#include "websocket/httpapi/zefWebSocket_Classes_HTTPAPI.h"
#include "websocket/httpapi/zefWebSocket_HTTPAPI.h"
#include "websocket/httpapi/zefWebSocket_HTTPAPI_Server.h"
#include "websocket/httpapi/zefWebSocket_SRWLock.h"
#include "websocket/server/zefWebSocket_Server_Base.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zef {

/// The fixed identification of the library's maker in the plain answers.
inline constexpr std::string_view SServerHeader = "Server: www.zefwebsockets.local";
/// The 401 answer's body.
inline constexpr std::string_view SUnauthorizedBody =
    "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>";

class TzefWSHandShakeServer_HTTPAPI : public TzefWSHandShake_HTTPAPI {
public:
    using TzefWSHandShake_HTTPAPI::TzefWSHandShake_HTTPAPI;
};

/// The server's connection: adds the plain HTTP answers (200, 401, 404 and a refused upgrade's
/// answer). The component's worker that handles the request calls them.
class TzefWSConnectionServer_HTTPAPI : public TzefWSConnection_HTTPAPI {
public:
    void PrepareRequest() override {}
    void SendHTTPResponse(rtl::TStream& aStream, const std::string& aContentType) override;
    void SendNotFound() override;
    void SendUnauthorized() override;
    /// One plain answer: aStatus, aHeaderLines (CR LF separated "Name: value" lines; a status
    /// line among them is skipped; a Content-Type line overrides aContentType) and aBody. The
    /// caller ends the connection with DisconnectPeer.
    void SendResponse(const std::string& aHeaderLines, int aStatus, const std::string& aContentType,
                      std::string aBody);
};

/// The platform's time-outs (seconds; MinSendRate in bytes per second), applied when Enabled.
class TzefWSTimeouts_HTTPAPI {
public:
    void Assign(const TzefWSTimeouts_HTTPAPI& Source) { *this = Source; }
    int DrainEntityBody() const { return FDrainEntityBody; }
    void SetDrainEntityBody(int Value) { FDrainEntityBody = Value; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    int EntityBody() const { return FEntityBody; }
    void SetEntityBody(int Value) { FEntityBody = Value; }
    int HeaderWait() const { return FHeaderWait; }
    void SetHeaderWait(int Value) { FHeaderWait = Value; }
    int IdleConnection() const { return FIdleConnection; }
    void SetIdleConnection(int Value) { FIdleConnection = Value; }
    int MinSendRate() const { return FMinSendRate; }
    void SetMinSendRate(int Value) { FMinSendRate = Value; }
    int RequestQueue() const { return FRequestQueue; }
    void SetRequestQueue(int Value) { FRequestQueue = Value; }

private:
    int FDrainEntityBody = 120;
    bool FEnabled = false;
    int FEntityBody = 120;
    int FHeaderWait = 120;
    int FIdleConnection = 120;
    int FMinSendRate = 150;
    int FRequestQueue = 120;
};

/// The certificate of the component's own https prefix.
class TzefWSSSL_Options_HTTPAPI : public TzefWSSSL_Options_Base {
public:
    void Assign(const TzefWSSSL_Options_HTTPAPI& Source) {
        FCertStoreName = Source.FCertStoreName;
        FHash = Source.FHash;
    }
    const std::string& CertStoreName() const { return FCertStoreName; }
    void SetCertStoreName(std::string Value) { FCertStoreName = std::move(Value); }
    const std::string& Hash() const { return FHash; }
    void SetHash(std::string Value) { FHash = std::move(Value); }

private:
    std::string FCertStoreName;
    std::string FHash;
};

using TzefWSHTTPAPIRequestEvent =
    std::function<void(TzefWSConnection_HTTPAPI& aConnection,
                       const THttpServerRequest& aRequestInfo, THttpServerResponse& aResponseInfo)>;

/// The WebSocket server component over the HTTP Server API. The owner's thread configures,
/// activates and frees it; its events run on the pool's workers (OnStartup and OnShutdown on
/// the listener thread).
class TzefWSServer_HTTPAPI : public TzefWSServer_Base {
public:
    TzefWSServer_HTTPAPI();
    /// Ends the listener (every connection's operations end first) and frees every connection.
    ~TzefWSServer_HTTPAPI() override;

    bool IsDestroying() const override {
        return TzefWSServer_Base::IsDestroying() || FIsStopping.load();
    }
    /// True exactly while the listener exists.
    bool Active() override;
    /// Registers the prefixes and starts the listener (true), or stops and frees everything
    /// (false). A failed start leaves the component inactive, with no listener, and throws.
    void SetActive(bool Value) override;
    std::string Host() override { return FHost; }
    void SetHost(const std::string& Value) override { FHost = Value; }
    int Port() override { return FPort; }
    void SetPort(int Value) override { FPort = Value; }

    TzefWSConnectionList& LockList() override { return FConnections.LockList(); }
    void UnLockList() override { FConnections.UnLockList(); }
    TzefWSConnectionList& ShareList() override { return FConnections.ShareList(); }
    void UnShareList() override { FConnections.UnShareList(); }

    TzefWSTimeouts_HTTPAPI& Timeouts() { return FTimeouts; }
    void SetTimeouts(const TzefWSTimeouts_HTTPAPI& Value) { FTimeouts.Assign(Value); }
    TzefWSSSL_Options_HTTPAPI& SSLOptions() { return FSSLOptions; }
    virtual void SetSSLOptions(const TzefWSSSL_Options_HTTPAPI& Value) {
        FSSLOptions.Assign(Value);
    }
    /// Sends and disconnects through the completion port instead of blocking the caller.
    bool Asynchronous() const { return FAsynchronous; }
    void SetAsynchronous(bool Value) { FAsynchronous = Value; }
    int MaxConnections() const { return FMaxConnections; }
    void SetMaxConnections(int Value) { FMaxConnections = Value; }
    int ThreadPoolSize() const { return FThreadPoolSize; }
    void SetThreadPoolSize(int Value) { FThreadPoolSize = Value; }
    int MaxBandwidth() const { return FMaxBandwidth; }
    void SetMaxBandwidth(int Value) { FMaxBandwidth = Value; }
    /// The URL prefixes registered with the listener, in order.
    const rtl::TStringList& URLs() const { return FURLs; }
    /// The listener while active; null otherwise (owner's thread).
    TzefHTTPServerAPI* HTTPServer() const { return FTCPServer.get(); }

    TzefWSHTTPAPIAsynchronousEvent OnAsynchronous;
    TzefWSHTTPAPIRequestEvent OnHTTPRequest;

    // The listener's events (worker threads; startup and shutdown on the listener thread).
    virtual void OnHTTPAPIConnect(TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& aContext);
    virtual void OnHTTPAPIDisconnect(TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& aContext);
    virtual void OnHTTPAPIStartup(TzefHTTPServerAPI& Sender);
    virtual void OnHTTPAPIShutdown(TzefHTTPServerAPI& Sender);
    virtual void OnHTTPAPIAsynchronous(TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& aContext,
                                       bool& Handled);
    /// While stopping or destroying, a released connection is not announced.
    void DoNotifyDisconnect(TzefWSConnection* aConnection) override;
    /// While the listener runs only the timer stops: the waiting connections are freed once
    /// the listener and its workers are gone.
    void StopConnectionsFree() override;

protected:
    void DoStart() override;
    void DoStop() override;
    void DoWatchDogException(const std::exception& E) override;
    virtual void SendHTTPRequestResponse(TzefWSConnectionServer_HTTPAPI& aConnection,
                                         const THttpServerResponse& aResponse);
    virtual void DoHTTPRequest(TzefWSConnectionServer_HTTPAPI& aConnection,
                               THttpServerRequest& aRequest);
    /// Adds aURL to the listener unless it is registered already (letter case ignored).
    virtual void AddURL(const std::string& aURL);
    virtual bool DoHTTPAuthentication(TzefWSConnectionServer_HTTPAPI& aConnection,
                                      const THttpServerRequest& aRequest,
                                      THttpServerResponse& aResponse);
    virtual void DoOnHTTPRequest(TzefWSConnectionServer_HTTPAPI& aConnection,
                                 const THttpServerRequest& aRequest,
                                 THttpServerResponse& aResponse);
    /// The listener, created (and its events bound) on first use.
    TzefHTTPServerAPI& GetHTTPServer();
    /// Ends the timers, the listener and every connection. The most derived destructor calls
    /// it first, so that no worker calls into a half-destroyed object; later calls do nothing.
    void Shutdown();

private:
    void AddAuthenticationURLs(const std::string& aURL);
    void ReadBasicCredentials(TzefWSConnectionServer_HTTPAPI& aConnection,
                              THttpServerRequest& aRequest);
    /// The last operation of a connection ended: it leaves the registry and is announced and
    /// released (an upgraded one) or freed (any other); while stopping, it waits for the end
    /// of the stop.
    void ConnectionDone(TzefWSConnectionServer_HTTPAPI& aConnection);
    /// Frees the connections that ended while the component was stopping.
    void FreeEndedWhileStopping();
    /// Removes the prefixes, ends the listener and frees the connections.
    void TearDown();

    std::atomic<bool> FIsStopping{false};
    std::unique_ptr<TzefHTTPServerAPI> FTCPServer;   // Owner's thread only.
    std::atomic<bool> FHasListener{false};           // Mirrors FTCPServer for other threads.
    TzefSRWLockList<TzefWSConnection*> FConnections; // Entries owned by the component.
    std::mutex FEndedLock;
    // Connections that ended while stopping, owned until the stop's end. Guarded by FEndedLock.
    std::vector<TzefWSConnectionServer_HTTPAPI*> FEndedWhileStopping;
    TzefWSTimeouts_HTTPAPI FTimeouts;
    rtl::TStringList FURLs;
    std::string FHost = "127.0.0.1";
    int FPort = 80;
    TzefWSSSL_Options_HTTPAPI FSSLOptions;
    bool FAsynchronous = false;
    int FMaxConnections = 0;
    int FThreadPoolSize = 32;
    int FMaxBandwidth = 0;
};

} // namespace zef
