// zefWebSocket_Server_Base: the server component shared by every transport (bindings, options,
// registry, events, broadcast, heartbeat, request classification), the server side of the
// opening handshake and the authentication schemes.
#pragma once

#include "platform/rtl/StringList.h"
#include "websocket/core/zefBase_Classes.h"
#include "websocket/core/zefTCP_Classes.h"
#include "websocket/core/zefWebSocket_Classes.h"
#include "websocket/core/zefWebSocket_Classes_Stream.h"
#include "websocket/server/zefWebSocket_Cluster.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zef {

// Refusals of the opening handshake.
inline constexpr std::string_view SErrorDecodingGET = "Error Decoding Header: GET";
inline constexpr std::string_view SErrorDecodingWebSocket = "Error Decoding Header: WebSocket";
inline constexpr std::string_view SErrorDecodingUpgrade = "Error Decoding Header: Upgrade";
inline constexpr std::string_view SErrorDecodingHost = "Error Decoding Header: Host";
inline constexpr std::string_view SErrorDecodingKey = "Error Decoding Header: WebSocket-Key";
inline constexpr std::string_view SErrorDecodingOrigin = "Error Decoding Header: Origin";
inline constexpr std::string_view SErrorDecodingVersion =
    "Error Decoding Header: WebSocket Version";
/// %s: the offered sub-protocols, each followed by a line break.
inline constexpr std::string_view SProtocolNotSupported = "Error Protocol: %s not supported.";
/// %s: the request's origin.
inline constexpr std::string_view SOriginNotAllowed = "Origin %s not allowed";
inline constexpr std::string_view SHeartBeatTimeout = "HeartBeat Timeout exceeded.";

/// A refused opening handshake. Status is the HTTP status with which a transport answers the
/// client before it drops the connection (400 for a malformed or unacceptable request, 403 for
/// a refused origin).
class TzefWSHandshakeRefused : public TzefWSException {
public:
    TzefWSHandshakeRefused(int aStatus, const std::string& aMessage)
        : TzefWSException(aMessage)
        , FStatus(aStatus) {}
    int Status() const noexcept { return FStatus; }

private:
    int FStatus;
};

/// The server's options copied to each new connection, and the built-in file switches.
class TzefWSOptionsServer {
public:
    void Assign(const TzefWSOptionsServer& Source) { *this = Source; }
    // ReadTimeOut and WriteTimeOut are carried but not consulted by the HTTP Server API
    // transport.
    bool CleanDisconnect() const { return FCleanDisconnect; }
    void SetCleanDisconnect(bool Value) { FCleanDisconnect = Value; }
    TwsFragmentedMessages FragmentedMessages() const { return FFragmentedMessages; }
    void SetFragmentedMessages(TwsFragmentedMessages Value) { FFragmentedMessages = Value; }
    bool HTMLFiles() const { return FHTMLFiles; }
    void SetHTMLFiles(bool Value) { FHTMLFiles = Value; }
    bool JavascriptFiles() const { return FJavascriptFiles; }
    void SetJavascriptFiles(bool Value) { FJavascriptFiles = Value; }
    int ReadTimeOut() const { return FReadTimeOut; }
    void SetReadTimeOut(int Value) { FReadTimeOut = Value; }
    int WriteTimeOut() const { return FWriteTimeOut; }
    void SetWriteTimeOut(int Value) { FWriteTimeOut = Value; }
    bool RaiseDisconnectExceptions() const { return FRaiseDisconnectExceptions; }
    void SetRaiseDisconnectExceptions(bool Value) { FRaiseDisconnectExceptions = Value; }
    bool ValidateUTF8() const { return FValidateUTF8; }
    void SetValidateUTF8(bool Value) { FValidateUTF8 = Value; }

private:
    bool FCleanDisconnect = false;
    TwsFragmentedMessages FFragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
    bool FHTMLFiles = true;
    bool FJavascriptFiles = true;
    int FReadTimeOut = 10;
    int FWriteTimeOut = 0;
    bool FRaiseDisconnectExceptions = true;
    bool FValidateUTF8 = false;
};

/// The origin allow-list (comma-separated; "" allows every origin).
class TzefWSSecurity_Options {
public:
    void Assign(const TzefWSSecurity_Options& Source) { *this = Source; }
    const std::string& OriginsAllowed() const { return FOriginsAllowed; }
    void SetOriginsAllowed(std::string Value) { FOriginsAllowed = std::move(Value); }

private:
    std::string FOriginsAllowed;
};

class TzefWSQueueServer_Options : public TzefWSQueueOptions {};

class TzefWSAuthenticationServer_URL : public TzefWSAuthentication_URL {};
class TzefWSAuthenticationServer_Session : public TzefWSAuthentication_Session {};
class TzefWSAuthenticationServer_Basic : public TzefWSAuthentication_Basic {};

/// Authentication of upgrades: AuthUsers holds user=password lines.
class TzefWSAuthenticationServer_Options : public TzefWSAuthentication_Options {
public:
    void Assign(const TzefWSAuthenticationServer_Options& Source) { *this = Source; }
    bool AllowNonAuth() const { return FAllowNonAuth; }
    void SetAllowNonAuth(bool Value) { FAllowNonAuth = Value; }
    rtl::TStringList& AuthUsers() { return FAuthUsers; }
    const rtl::TStringList& AuthUsers() const { return FAuthUsers; }
    TzefWSAuthenticationServer_URL& URL() { return FURL; }
    const TzefWSAuthenticationServer_URL& URL() const { return FURL; }
    TzefWSAuthenticationServer_Session& Session() { return FSession; }
    const TzefWSAuthenticationServer_Session& Session() const { return FSession; }
    TzefWSAuthenticationServer_Basic& Basic() { return FBasic; }
    const TzefWSAuthenticationServer_Basic& Basic() const { return FBasic; }

private:
    bool FAllowNonAuth = false;
    rtl::TStringList FAuthUsers;
    TzefWSAuthenticationServer_URL FURL;
    TzefWSAuthenticationServer_Session FSession;
    TzefWSAuthenticationServer_Basic FBasic;
};

class TzefWSFallBack_Flash {
public:
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    const std::string& Domain() const { return FDomain; }
    void SetDomain(std::string Value) { FDomain = std::move(Value); }
    const std::string& Ports() const { return FPorts; }
    void SetPorts(std::string Value) { FPorts = std::move(Value); }

private:
    bool FEnabled = false;
    std::string FDomain = "*";
    std::string FPorts = "*";
};

class TzefWSFallBack_SSE {
public:
    /// Seconds.
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    int Retry() const { return FRetry; }
    void SetRetry(int Value) { FRetry = Value; }

private:
    bool FEnabled = false;
    int FRetry = 3000;
};

class TzefWSFallBack_Options {
public:
    void Assign(const TzefWSFallBack_Options& Source) { *this = Source; }
    TzefWSFallBack_Flash& Flash() { return FFlash; }
    const TzefWSFallBack_Flash& Flash() const { return FFlash; }
    TzefWSFallBack_SSE& ServerSentEvents() { return FServerSentEvents; }
    const TzefWSFallBack_SSE& ServerSentEvents() const { return FServerSentEvents; }

private:
    TzefWSFallBack_Flash FFlash;
    TzefWSFallBack_SSE FServerSentEvents;
};

/// Base of a transport's TLS options.
class TzefWSSSL_Options_Base {
public:
    virtual ~TzefWSSSL_Options_Base() = default;
};

/// One listening binding.
class TzefWSBinding {
public:
    void Assign(const TzefWSBinding& Source) { *this = Source; }
    const std::string& Host() const { return FHost; }
    void SetHost(std::string Value) { FHost = std::move(Value); }
    TwsIPVersion IPVersion() const { return FIPVersion; }
    void SetIPVersion(TwsIPVersion Value) { FIPVersion = Value; }
    const std::string& Parameters() const { return FParameters; }
    void SetParameters(std::string Value) { FParameters = std::move(Value); }
    int Port() const { return FPort; }
    void SetPort(int Value) { FPort = Value; }
    bool SSL() const { return FSSL; }
    void SetSSL(bool Value) { FSSL = Value; }
    const std::string& SSLCertStoreName() const { return FSSLCertStoreName; }
    void SetSSLCertStoreName(std::string Value) { FSSLCertStoreName = std::move(Value); }
    const std::string& SSLHash() const { return FSSLHash; }
    void SetSSLHash(std::string Value) { FSSLHash = std::move(Value); }

private:
    std::string FHost;
    TwsIPVersion FIPVersion = TwsIPVersion::ipV4;
    std::string FParameters;
    int FPort = 0;
    bool FSSL = false;
    std::string FSSLCertStoreName;
    std::string FSSLHash;
};

/// The owned list of bindings.
class TzefWSBindings {
public:
    TzefWSBinding& NewBinding(const std::string& aHost, int aPort, const std::string& aParameters,
                              bool aSSL = false, const std::string& aSSLHash = "",
                              TwsIPVersion aIPVersion = TwsIPVersion::ipV4,
                              const std::string& aCertStoreName = "");
    TzefWSBinding& NewBinding(const TzefWSBinding& aBinding);
    void Clear();
    std::size_t Count() const { return FItems.size(); }
    TzefWSBinding& operator[](std::size_t Index) { return *FItems.at(Index); }
    /// "http[s]://Host:Port/Parameters/" (always ending in "/"); "" for an index out of range.
    std::string GetURL(std::size_t aIndex) const;

private:
    std::vector<std::unique_ptr<TzefWSBinding>> FItems;
};

/// The parsed view of one upgrade request. Built from the request's header lines; throws
/// TzefWSHandshakeRefused for a malformed request. Values are kept exactly as received.
class TzefWSHandShakeServer_Base : public TzefWSHandshake {
public:
    explicit TzefWSHandShakeServer_Base(const rtl::TStringList& aHeaders);
    const std::string& Get() const { return FGet; }
    const std::string& Host() const { return FHost; }
    const std::string& Origin() const { return FOrigin; }
    const std::string& Key() const { return FKey; }
    const std::string& Version() const { return FVersion; }
    TwsSpecification Specification() const { return TwsSpecification::spRFC6455; }
    bool IsConnection() const { return FIsConnection; }
    bool IsGET() const { return FIsGET; }
    bool IsHost() const { return FIsHost; }
    bool IsKey() const { return FIsKey; }
    bool IsOrigin() const { return FIsOrigin; }
    bool IsProtocols() const { return FIsProtocols; }
    bool IsUpgrade() const { return FIsUpgrade; }
    bool IsVersion() const { return FIsVersion; }
    bool IsExtensions() const { return FIsExtensions; }

private:
    std::string FGet;
    std::string FHost;
    std::string FOrigin;
    std::string FKey;
    std::string FVersion;
    bool FIsConnection = false;
    bool FIsGET = false;
    bool FIsHost = false;
    bool FIsKey = false;
    bool FIsOrigin = false;
    bool FIsProtocols = false;
    bool FIsUpgrade = false;
    bool FIsVersion = false;
    bool FIsExtensions = false;
};

/// The authentication state of one connection.
class TzefWSConnectionAuthentication {
public:
    bool Authenticated() const { return FAuthenticated; }
    void SetAuthenticated(bool Value) { FAuthenticated = Value; }
    TwsAuthentication AuthType() const { return FAuthType; }
    void SetAuthType(TwsAuthentication Value) { FAuthType = Value; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string Value) { FPassword = std::move(Value); }
    const std::string& User() const { return FUser; }
    void SetUser(std::string Value) { FUser = std::move(Value); }
    /// Created (a new GUID) on first read.
    const std::string& SessionID();
    void SetSessionID(std::string Value) { FSessionID = std::move(Value); }

private:
    bool FAuthenticated = false;
    TwsAuthentication FAuthType = TwsAuthentication::authNone;
    std::string FPassword;
    std::string FUser;
    std::string FSessionID;
};

class TzefWSServer_Base;

/// The server side of one connection: validates the upgrade, picks the sub-protocol, checks
/// the origin, composes the 101 answer and authenticates. The transport's worker thread that
/// handles the request drives it; one request at a time.
class TzefWSConnectionServer_Base : public TzefWSConnection_Base_Stream {
public:
    TzefWSConnectionServer_Base() = default;
    ~TzefWSConnectionServer_Base() override;

    /// The parsed request; created on first use from HeadersRequest (may throw).
    virtual TzefWSHandShakeServer_Base& HandShake();
    TzefWSConnectionAuthentication& Authentication();
    TzefWSAuthenticationEvent OnAuthentication;
    int AuthenticationCloseCode() const { return FAuthenticationCloseCode; }
    void SetAuthenticationCloseCode(int aCloseCode) { FAuthenticationCloseCode = aCloseCode; }
    const std::string& ServerOriginsAllowed() const { return FServerOriginsAllowed; }
    void SetServerOriginsAllowed(std::string Value) { FServerOriginsAllowed = std::move(Value); }

    /// The request document (GET, else POST), computed once.
    std::string URL() override;
    /// Fills HeadersResponse with the 101 answer. Throws TzefWSHandshakeRefused.
    void DoHandshake() override;
    /// Called first by DispatchRequest; nothing here.
    virtual void PrepareRequest() {}
    virtual void DoExtensions();
    virtual void CheckOrigin();
    void CheckOriginsAllowed();
    /// Protocol := the first registered protocol whose name occurs in the URL, else "".
    virtual void SelectProtocolFromURL();
    virtual void DoAuthentication();
    /// Answers 200 with aStream (from position 0) as body.
    virtual void SendHTTPResponse(rtl::TStream& aStream, const std::string& aContentType) = 0;
    virtual void SendNotFound() = 0;
    /// Answers 401 with a basic-authentication challenge.
    virtual void SendUnauthorized() = 0;

    /// Upgrade to /zef/auth/url/user/password; the resulting Authenticated.
    bool DoAuthURL(const std::string& aDocument);
    /// Basic credentials "user:password"; false without the event for any other form.
    bool DoAuthBasic(const std::string& aCredentials);
    /// Request /zef/req/auth/session/user/password: answers the new session identifier.
    void DoAuthSessionRequest(const std::string& aDocument);
    /// Serves the built-in files aFileNames (comma list) with the placeholders filled; see
    /// the implementation. True when answered.
    bool SendFile(const std::string& aFileNames, const std::string& aContentType,
                  bool aSendNotFound);
    /// Raises this connection's OnMessage (a message that arrived by another path).
    void RaiseMessage(const std::string& aText) { DoMessage(aText); }

protected:
    /// Selects the sub-protocol of the upgrade from the offer and Protocol (the server's list).
    std::string SelectProtocol();

private:
    std::unique_ptr<TzefWSHandShakeServer_Base> FHandShake;
    std::unique_ptr<TzefWSConnectionAuthentication> FAuthentication;
    int FAuthenticationCloseCode = 1000;
    std::string FServerOriginsAllowed;
    std::optional<std::string> FURL;
    /// In the server's registry; guarded by the registry's lock.
    bool FRegistered = false;

    friend class TzefWSServer_Base;
};

/// What a transport answers for a refused upgrade before dropping the connection.
struct TzefWSUpgradeRefusal {
    int Status = 400;
    std::string Reason;
};

/// The server component shared by every transport. Abstract: a transport provides the
/// registry storage and its locks, the listening and the sending. A transport's destructor
/// calls FreeAllTimers and then FreeConnections (its registry is gone once it is destroyed). The
/// owner's thread configures and activates it; transport workers and timer threads enter it
/// concurrently.
class TzefWSServer_Base : public TzefWSComponent_Server {
public:
    TzefWSServer_Base();
    ~TzefWSServer_Base() override;

    TzefWSBindings& Bindings();
    TzefWSOptionsServer& Options() { return FOptions; }
    void SetOptions(const TzefWSOptionsServer& Value) { FOptions.Assign(Value); }
    TzefWSQueueServer_Options& QueueOptions() { return FQueueOptions; }
    void SetQueueOptions(const TzefWSQueueServer_Options& Value) { FQueueOptions.Assign(Value); }
    TzefWSSecurity_Options& SecurityOptions() { return FSecurityOptions; }
    void SetSecurityOptions(const TzefWSSecurity_Options& Value) { FSecurityOptions.Assign(Value); }
    TzefWSAuthenticationServer_Options& Authentication() { return FAuthentication; }
    void SetAuthentication(const TzefWSAuthenticationServer_Options& Value) {
        FAuthentication.Assign(Value);
    }
    TzefWSFallBack_Options& FallBack() { return FFallBack; }
    void SetFallBack(const TzefWSFallBack_Options& Value) { FFallBack.Assign(Value); }
    /// Several servers as one through Redis (off by default); read when the component starts.
    TzefWSCluster_Options& Cluster() { return FCluster; }
    void SetCluster(const TzefWSCluster_Options& Value) { FCluster.Assign(Value); }
    /// The link to the other nodes: null until the component first started with the cluster
    /// on; then it lives as long as the component (running only while the component is active).
    TzefWSCluster* ClusterLink() const { return FClusterLink.load(); }
    /// The number of connections of the whole cluster, handed to aDone: on the cluster link's
    /// thread once Redis has answered (nullopt when the link was lost first). Without the
    /// cluster option this node is the cluster: aDone(Count()) runs at once. False (aDone not
    /// called) when the cluster's link is down.
    bool ClusterCount(TzefWSClusterCountEvent aDone);
    virtual std::string Host() = 0;
    virtual void SetHost(const std::string& Value) = 0;
    virtual int Port() = 0;
    virtual void SetPort(int Value) = 0;
    virtual bool Active() { return FActive.load(); }
    virtual void SetActive(bool Value);
    virtual bool SSL() { return FSSL; }
    virtual void SetSSL(bool Value) { FSSL = Value; }
    /// The inherited options with the file name cut to its folder (up to the last delimiter).
    TzefWSLogFile& LogFile() override;

    TzefWSAuthenticationEvent OnAuthentication;
    std::function<void(TzefWSServer_Base& Sender)> OnStartup;
    std::function<void(TzefWSServer_Base& Sender)> OnShutdown;

    // Registry (the transport's list; see LockList/ShareList).
    int Count();
    TzefWSConnectionServer_Base* GetConnectionByIndex(int Index);
    TzefWSConnectionServer_Base* GetConnectionByGuid(const std::string& aGUID);
    virtual void AddConnection(TzefWSConnectionServer_Base& Connection);
    virtual void RemoveConnection(TzefWSConnectionServer_Base& Connection);
    /// True while Connection is in the registry (read under the registry's lock).
    bool IsRegistered(TzefWSConnectionServer_Base& Connection);
    /// Frees every registered connection (after the cluster's delivery under way has ended).
    virtual void FreeConnections();
    /// Shared (read) access to the registry; paired with UnShareList.
    virtual TzefWSConnectionList& ShareList() = 0;
    virtual void UnShareList() = 0;

    /// Both forms reach every matching connection of this node and, with the cluster on, of
    /// every other node (handed to the cluster first, then written here).
    void Broadcast(const std::string& aMessage, const std::string& aChannel = "",
                   const std::string& aProtocol = "", const std::string& Exclude = "",
                   const std::string& Include = "");
    void Broadcast(rtl::TStream& aStream, const std::string& aChannel = "",
                   const std::string& aProtocol = "", const std::string& Exclude = "",
                   const std::string& Include = "", int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    /// To the connection aGUID: true when it was written here; with the cluster on, a GUID
    /// that is not this node's is handed to the cluster (true when the cluster took it; the
    /// node that holds the GUID writes it, no node when none does).
    bool WriteData(const std::string& aGUID, const std::string& aMessage);
    bool WriteData(const std::string& aGUID, rtl::TStream& aStream, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    void Ping() { DoPingAll(); }
    void DisconnectAll();

    /// Transport step 1: copies the settings and binds the events of a new connection.
    void PrepareConnection(TzefWSConnectionServer_Base& Connection);
    /// Classifies a request whose header lines are in the connection: 101 upgrade accepted,
    /// 200 answered here, 404 not handled (see the implementation for the steps).
    virtual int DispatchRequest(TzefWSConnectionServer_Base& Connection);
    /// Transport step 3 for a 101: registers the connection and composes the 101 answer into
    /// its HeadersResponse. On refusal the connection is unregistered again and the result
    /// says what to answer; the transport then answers and drops the connection.
    std::optional<TzefWSUpgradeRefusal> UpgradeConnection(TzefWSConnectionServer_Base& Connection);
    /// Built-in files for aRequestLine (the request's GET line, else ""); true when answered.
    virtual bool DoHTTPFileRequest(TzefWSConnectionServer_Base& Connection,
                                   const std::string& RequestLine, bool SendNotFound);
    virtual void DoProtocolPostRequest(TzefWSConnectionServer_Base& Connection);
    /// The judge of credentials bound to each connection's OnAuthentication.
    void OnServerAuthenticationEvent(TzefWSConnection& Connection, const std::string& aUser,
                                     const std::string& aPassword, bool& Authenticated);
    /// Upgrade to /zef/auth/session/ID: true once per stored session identifier.
    bool DoAuthSession(TzefWSConnectionServer_Base& Connection, const std::string& aDocument);
    /// Session-store entries (for observers).
    std::size_t SessionCount();
    /// Most session identifiers kept at once; a new one beyond it drops the oldest, so that
    /// session requests never grow the store without bound. Set before the server starts.
    std::size_t SessionLimit() const { return FSessionLimit; }
    void SetSessionLimit(std::size_t Value) { FSessionLimit = Value > 0 ? Value : 1; }

    // Bound to each connection's events by PrepareConnection.
    virtual void OnServerUpdateEvent(TzefWSConnection& Connection, int aType);
    virtual void OnServerMessageEvent(TzefWSConnection& Connection, const std::string& Text);
    virtual void OnServerBinaryEvent(TzefWSConnection& Connection, rtl::TMemoryStream& Data);
    virtual void OnServerFragmentedEvent(TzefWSConnection& Connection, rtl::TMemoryStream& Data,
                                         TOpcode OpCode, bool Continuation);
    virtual void OnServerDisconnectEvent(TzefWSConnection& Connection, int Code);

    /// Also list (remove) the connection in the cluster's view of this node.
    void DoNotifyConnect(TzefWSConnection* aConnection) override;
    void DoNotifyDisconnect(TzefWSConnection* aConnection) override;

protected:
    virtual void DoStart() = 0;
    virtual void DoStop() = 0;
    /// The one worker behind Broadcast (aType 1 text, 2 binary) and Ping (4).
    virtual void DoBroadcast(const std::string& aMessage, rtl::TStream* aStream, int aType,
                             const std::string& aChannel, const std::string& aProtocol,
                             const std::string& Exclude, const std::string& Include, int aSize,
                             TwsStreaming aStreaming);
    virtual void DoPingAll();
    void DoHeartBeat() override;
    void DoHeartBeatException(const std::exception& E) override;
    void DoHeartBeatTimeout() override;
    void DoHeartBeatTimeoutException(const std::exception& E) override;
    /// Stops and frees every timer; the most derived destructor calls it first, so that no
    /// tick runs into a half-destroyed object.
    void FreeAllTimers();

    std::atomic<bool> FActive{false}; // The transport keeps it current.

private:
    /// WriteData by GUID on this node's connections only (aText, else aStream): nullopt when
    /// none has aGUID.
    std::optional<bool> WriteLocal(const std::string& aGUID, const std::string* aText,
                                   rtl::TStream* aStream, int aSize, TwsStreaming aStreaming);
    /// The cluster's link starts before the transport (no connection is missed) and stops
    /// before it (StopCluster, so that nothing more arrives); JoinCluster waits for the delivery
    /// under way, before the transport frees the connections it may use.
    void StartCluster();
    void StopCluster();
    void JoinCluster();
    /// A message of another node, delivered to this node's connections (cluster's thread).
    void DeliverClusterMessage(const TzefWSClusterMessage& aMessage);
    void AcceptEventStream(TzefWSConnectionServer_Base& Connection);
    void DoXHRPost(TzefWSConnectionServer_Base& Connection);
    void SendFlashPolicy(TzefWSConnectionServer_Base& Connection);
    TzefDelimitedStringList& SessionIDList(); // Call under DoEnterCS(1).

    std::mutex FBindingsCreate;
    std::unique_ptr<TzefWSBindings> FBindings; // Created on first use under FBindingsCreate.
    TzefWSOptionsServer FOptions;
    TzefWSSecurity_Options FSecurityOptions;
    TzefWSQueueServer_Options FQueueOptions;
    std::unique_ptr<TzefDelimitedStringList> FSessionIDList; // Guarded by FCSArray[1].
    std::size_t FSessionLimit = 10000;
    TzefWSAuthenticationServer_Options FAuthentication;
    TzefWSFallBack_Options FFallBack;
    bool FSSL = false;
    TzefWSLogFile FLogFileView; // What the LogFile getter returns.
    TzefWSCluster_Options FCluster;
    // Created on the owner's thread at the first start with the cluster on, before any worker
    // exists, and kept until the component goes: workers read the pointer without a lock.
    std::unique_ptr<TzefWSCluster> FClusterOwned;
    std::atomic<TzefWSCluster*> FClusterLink{nullptr};
};

} // namespace zef
