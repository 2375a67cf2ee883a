// zefWebSocket_Server_HTTPAPI: the WebSocket server component over the HTTP Server API: URL
// prefixes, time-outs, limits, logging, certificates, one connection per received request, and
// the plain HTTP answers.
#include "websocket/httpapi/zefWebSocket_Server_HTTPAPI.h"

#include "platform/rtl/StringList.h"
#include "websocket/core/zefBase_Helpers.h"
#include "websocket/core/zefWebSocket_Helpers.h"

#include <exception>

namespace zef {

// ---------------------------------------------------------------------------------------------
// Connection answers

void TzefWSConnectionServer_HTTPAPI::SendResponse(const std::string& aHeaderLines, int aStatus,
                                                  const std::string& aContentType,
                                                  std::string aBody) {
    auto Data = std::make_unique<TzefHTTPAPISendData>();
    Data->Response.Version = HTTP_VERSION{1, 1};
    SetStatus(Data->Response, aStatus, Data->Reason);
    Data->Body = std::move(aBody);
    Data->ContentType = aContentType;
    SetContent(Data->Response, Data->Chunk, Data->Body, Data->ContentType);
    Data->HeaderText = aHeaderLines;
    ParseHeaders(Data->Response, Data->HeaderText, Data->Unknown);
    SendResponseRecord(std::move(Data),
                       HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA | HTTP_SEND_RESPONSE_FLAG_MORE_DATA);
}

void TzefWSConnectionServer_HTTPAPI::SendHTTPResponse(rtl::TStream& aStream,
                                                      const std::string& aContentType) {
    aStream.SetPosition(0);
    rtl::TMemoryStream Copy;
    Copy.LoadFromStream(aStream);
    std::string Lines =
        "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: " + aContentType + "\r\n" +
        std::string(SServerHeader) + "\r\n";
    SendResponse(Lines, 200, aContentType, Copy.DataString());
}

void TzefWSConnectionServer_HTTPAPI::SendNotFound() {
    SendResponse("", 404, "", "");
}

void TzefWSConnectionServer_HTTPAPI::SendUnauthorized() {
    std::string Lines = "HTTP/1.1 401 Unauthorized\r\nCache-Control: no-cache\r\n"
                        "Content-Type: text/html; charset=utf-8\r\n" +
                        std::string(SServerHeader) +
                        "\r\nWWW-Authenticate: Basic realm=\"zefWebSockets 4.4.2\"\r\n\r\n";
    SendResponse(Lines, 401, "text/html", std::string(SUnauthorizedBody));
}

// ---------------------------------------------------------------------------------------------
// Component

TzefWSServer_HTTPAPI::TzefWSServer_HTTPAPI() {
    SetNotifyEvents(TwsNotifyEvent::neNoSync);
    Extensions().SetMode(TwsApplicationMode::appServer);
}

TzefWSServer_HTTPAPI::~TzefWSServer_HTTPAPI() {
    Shutdown();
}

void TzefWSServer_HTTPAPI::Shutdown() {
    MarkDestroying();
    FIsStopping = true;
    FreeAllTimers();
    TearDown();
}

bool TzefWSServer_HTTPAPI::Active() {
    FActive = FHasListener.load();
    return FActive.load();
}

void TzefWSServer_HTTPAPI::SetActive(bool Value) {
    FActive = FHasListener.load();
    TzefWSServer_Base::SetActive(Value);
    FActive = FHasListener.load();
}

TzefHTTPServerAPI& TzefWSServer_HTTPAPI::GetHTTPServer() {
    if (!FTCPServer) {
        auto Server = std::make_unique<TzefHTTPServerAPI>(true, FThreadPoolSize);
        Server->OnConnect = [this](TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& C) {
            OnHTTPAPIConnect(Sender, C);
        };
        Server->OnDisconnect = [this](TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& C) {
            OnHTTPAPIDisconnect(Sender, C);
        };
        Server->OnStartup = [this](TzefHTTPServerAPI& Sender) { OnHTTPAPIStartup(Sender); };
        Server->OnShutdown = [this](TzefHTTPServerAPI& Sender) { OnHTTPAPIShutdown(Sender); };
        Server->OnAsynchronous = [this](TzefHTTPServerAPI& Sender, TzefHTTPAPIContext& C,
                                        bool& Handled) {
            OnHTTPAPIAsynchronous(Sender, C, Handled);
        };
        FTCPServer = std::move(Server);
        FHasListener = true;
    }
    return *FTCPServer;
}

void TzefWSServer_HTTPAPI::AddURL(const std::string& aURL) {
    for (const std::string& Entry : FURLs) {
        if (rtl::SameText(Entry, aURL)) {
            return;
        }
    }
    GetHTTPServer().AddUrl(aURL);
    FURLs.Add(aURL);
}

void TzefWSServer_HTTPAPI::AddAuthenticationURLs(const std::string& aURL) {
    std::string Protocol, Host, Port, Path, Query;
    ParseURL(aURL, Protocol, Host, Port, Path, Query);
    std::string Base = Protocol + "://" + Host + ":" + Port;
    if (Authentication().Session().Enabled()) {
        AddURL(Base + "/zef/req/auth/session/");
        AddURL(Base + "/zef/auth/session/");
    }
    if (Authentication().URL().Enabled()) {
        AddURL(Base + "/zef/auth/url/");
    }
}

void TzefWSServer_HTTPAPI::DoStart() {
    FIsStopping = false;
    try {
        if (LogFile().Enabled()) {
            GetHTTPServer().LogStart(LogFile().FileName(), THttpApiLoggingType::hltW3C,
                                     std::string(SSoftwareName), THttpApiLoggingRollOver::hlrDaily,
                                     0, AllLogFields,
                                     FlagOf(THttpApiLoggingFlag::hlfUseUTF8Conversion));
        }
        if (FTimeouts.Enabled()) {
            GetHTTPServer().SetTimeouts(FTimeouts.EntityBody(), FTimeouts.DrainEntityBody(),
                                        FTimeouts.RequestQueue(), FTimeouts.IdleConnection(),
                                        FTimeouts.HeaderWait(), FTimeouts.MinSendRate());
        }
        if (FMaxConnections > 0) {
            GetHTTPServer().SetMaxConnections(FMaxConnections);
        }
        if (FMaxBandwidth > 0) {
            GetHTTPServer().SetMaxBandwidth(FMaxBandwidth);
        }
        if (!FHost.empty() && FPort > 0) {
            std::string URL = std::string(SSL() ? "https" : "http") + "://" + FHost + ":" +
                              std::to_string(FPort) + "/";
            AddURL(URL);
            if (Authentication().Enabled()) {
                AddAuthenticationURLs(URL);
            }
            if (SSL()) {
                GetHTTPServer().ConfigureSSLCert("0.0.0.0", FPort, FSSLOptions.Hash(),
                                                 FSSLOptions.CertStoreName());
            }
        }
        TzefWSBindings& List = Bindings();
        for (std::size_t I = 0; I < List.Count(); ++I) {
            std::string URL = List.GetURL(I);
            AddURL(URL);
            if (Authentication().Enabled()) {
                AddAuthenticationURLs(URL);
            }
            if (List[I].SSL()) {
                GetHTTPServer().ConfigureSSLCert("0.0.0.0", List[I].Port(), List[I].SSLHash(),
                                                 List[I].SSLCertStoreName());
            }
        }
        TzefHTTPServerAPI& Server = GetHTTPServer();
        Server.SetBasicAuthentication(Authentication().Enabled() &&
                                      Authentication().Basic().Enabled());
        Server.Start();
    } catch (...) {
        // A half-started component would read as active with a listener that serves only
        // some of its prefixes: it goes back to inactive.
        FIsStopping = true;
        TearDown();
        throw;
    }
}

void TzefWSServer_HTTPAPI::DoStop() {
    FIsStopping = true;
    DisconnectAll();
    TearDown();
}

void TzefWSServer_HTTPAPI::TearDown() {
    if (FTCPServer) {
        for (std::size_t I = FURLs.Count(); I-- > 0;) {
            if (!FURLs[I].empty()) {
                try {
                    FTCPServer->RemoveUrl(FURLs[I]);
                } catch (...) {
                    // The listener goes anyway, and its prefixes with it.
                }
            }
        }
        if (LogFile().Enabled()) {
            FTCPServer->LogStop();
        }
        FTCPServer->Terminate();
        // Closing the queue ends every pending operation; the pool handles their completions
        // (each connection's last one frees it) before its workers end.
        FTCPServer.reset();
        FHasListener = false;
    }
    FURLs.Clear();
    FreeConnections();
    FreeEndedWhileStopping();
    // The pool's last completions released their connections after the deferred release was
    // stopped; no worker names them any more, so they go with the stop too.
    StopConnectionsFree();
    FActive = false;
}

void TzefWSServer_HTTPAPI::DoWatchDogException(const std::exception& E) {
    DoEventException(nullptr, E.what(), std::make_exception_ptr(TzefWSException(E.what())));
}

void TzefWSServer_HTTPAPI::DoNotifyDisconnect(TzefWSConnection* aConnection) {
    if (aConnection != nullptr && IsDestroying()) {
        ReleaseConnection(aConnection); // No event while stopping, but never a leak.
        return;
    }
    TzefWSServer_Base::DoNotifyDisconnect(aConnection);
}

void TzefWSServer_HTTPAPI::StopConnectionsFree() {
    if (FTCPServer) {
        // A stop begins here, while workers still run: one may be using a connection released
        // a moment ago that it found in the registry (a broadcast from a message handler, a
        // long-polling post). The stop frees the waiting connections after its pool drained.
        if (TzefTimer* Timer = ConnectionsFreeTimer()) {
            Timer->SetEnabled(false);
        }
        return;
    }
    TzefWSServer_Base::StopConnectionsFree();
}

// --- Listener events ---

void TzefWSServer_HTTPAPI::OnHTTPAPIConnect(TzefHTTPServerAPI& Sender,
                                            TzefHTTPAPIContext& aContext) {
    if (IsDestroying() || aContext.request == nullptr) {
        return;
    }
    auto Owned = std::make_unique<TzefWSConnectionServer_HTTPAPI>();
    Owned->SetHTTPReqQueue(aContext.reqqueue);
    Owned->SetHTTPRequest(aContext.request);
    Owned->SetHTTPConnectionId(aContext.request->ConnectionId);
    Owned->SetHTTPRequestId(aContext.request->RequestId);
    Owned->Setiocompletition(aContext.iocompletition);
    Owned->SetHTTPLogData(Sender.LogData());
    Owned->SetAsynchronous(FAsynchronous);
    PrepareConnection(*Owned);
    Owned->OnOperationsDone = [this](TzefWSConnection_HTTPAPI& Connection) {
        ConnectionDone(static_cast<TzefWSConnectionServer_HTTPAPI&>(Connection));
    };
    Owned->OnFlushQueues = [this](TzefWSConnection_HTTPAPI& Connection) {
        ProcessQueues(&Connection);
    };
    aContext.connection = Owned.get();
    // From here the connection's operation count owns it: this handler holds one reference,
    // given back at the end, and the last reference frees or releases the connection.
    TzefWSConnectionServer_HTTPAPI& Connection = *Owned.release();
    try {
        Connection.DoReadHeaders();
        const bool Upgrade = IsWebSocketUpgrade(Connection.HeadersRequest());
        const int Status = DispatchRequest(Connection);
        if (Status == 101 && Connection.Enabled()) {
            // A protocol the application accepted for itself: it reads the raw bytes.
            AddConnection(Connection);
            Connection.WaitForDisconnect();
            Connection.ReadEntityBody();
        } else if (Status == 101) {
            std::optional<TzefWSUpgradeRefusal> Refusal = UpgradeConnection(Connection);
            if (Refusal) {
                // The client learns why, and nothing of the connection stays behind.
                Connection.SendResponse("", Refusal->Status, "text/plain; charset=utf-8",
                                        Refusal->Reason + "\r\n");
                Connection.DisconnectPeer();
            } else if (Connection.Disconnected()) {
                // Gone before its connect event (a write after the answer failed): it ends
                // without a disconnect event too.
                Connection.SetEnabled(false);
            } else {
                Connection.WaitForDisconnect();
                Connection.SetEnabled(true);
                try {
                    if (Connection.OnUpdate) {
                        Connection.OnUpdate(Connection, 1);
                    }
                } catch (const std::exception& E) {
                    DoError(&Connection, E.what());
                }
                if (!Connection.Disconnected() && !Connection.MustDisconnect()) {
                    Connection.ReadEntityBody();
                }
            }
        } else if (Status == 200) {
            TwsTransport Kind = Connection.Transport();
            if (Kind == TwsTransport::trpFlash || Kind == TwsTransport::trpSSE) {
                AddConnection(Connection);
                Connection.WaitForDisconnect();
            } else {
                Connection.DisconnectPeer();
            }
        } else {
            if (Upgrade) {
                // An upgrade refused before its handshake (for instance by authentication).
                Connection.SendResponse("", Status, "text/plain; charset=utf-8",
                                        StatusText(Status) + "\r\n");
            } else if (Connection.Transport() == TwsTransport::trpHTTP) {
                THttpServerRequest Request = Connection.GetHttpServerRequest();
                DoHTTPRequest(Connection, Request);
            }
            Connection.DisconnectPeer();
        }
    } catch (const std::exception& E) {
        try {
            Connection.DisconnectPeer();
        } catch (...) {
            // The request has failed already and is reported (or was not an exception
            // object); a failed disconnect adds nothing a worker could act on.
        }
        DoEventError(&Connection, E.what());
    } catch (...) {
        try {
            Connection.DisconnectPeer();
        } catch (...) {
            // The request has failed already and is reported (or was not an exception
            // object); a failed disconnect adds nothing a worker could act on.
        }
    }
    Connection.SetHTTPRequest(nullptr); // The request record goes with this completion.
    Connection.EndOperation(nullptr);
}

void TzefWSServer_HTTPAPI::ConnectionDone(TzefWSConnectionServer_HTTPAPI& aConnection) {
    // A connection found in the registry may still be used by a broadcast, a ping or a write
    // by GUID that took it from there just before it left: it is never freed at once.
    bool Listed = false;
    try {
        Listed = IsRegistered(aConnection);
        RemoveConnection(aConnection);
    } catch (...) {
        // The connection is released whatever the registry did.
    }
    if (aConnection.Enabled() && !IsDestroying()) {
        aConnection.SetDisconnected(true);
        // The connection may wait a while for its deferred release: its read buffer goes now.
        aConnection.ReleaseBuffers();
        try {
            DoNotifyDisconnect(&aConnection); // Releases it, also when the handler raises.
        } catch (...) {
            // The notification has released the connection whatever it raised; the worker
            // that ends it must go on serving completions.
        }
        return;
    }
    if (IsDestroying()) {
        // The stop may still be telling the peers it found in the registry before this
        // connection left it: the connection stays until the stop is done with them.
        try {
            std::scoped_lock Lock(FEndedLock);
            FEndedWhileStopping.push_back(&aConnection);
            return;
        } catch (...) {
            // No room to keep it: freed at once.
        }
    } else if (Listed) {
        // Ended without being announced (its upgrade answer failed): no event, but the
        // deferred release all the same.
        aConnection.ReleaseBuffers();
        try {
            ReleaseConnection(&aConnection);
            return;
        } catch (...) {
            // No room to keep it: freed at once.
        }
    }
    aConnection.MarkFreed();
    std::unique_ptr<TzefWSConnectionServer_HTTPAPI> Owned(&aConnection);
}

void TzefWSServer_HTTPAPI::FreeEndedWhileStopping() {
    std::vector<TzefWSConnectionServer_HTTPAPI*> Taken;
    {
        std::scoped_lock Lock(FEndedLock);
        Taken.swap(FEndedWhileStopping);
    }
    for (TzefWSConnectionServer_HTTPAPI* Connection : Taken) {
        Connection->MarkFreed();
        std::unique_ptr<TzefWSConnectionServer_HTTPAPI> Owned(Connection);
    }
}

void TzefWSServer_HTTPAPI::OnHTTPAPIDisconnect(TzefHTTPServerAPI& /*Sender*/,
                                               TzefHTTPAPIContext& aContext) {
    if (aContext.connection == nullptr) {
        return;
    }
    // The client's connection ended: no further read starts. The announcement and the release
    // follow when the connection's last operation has ended.
    aContext.connection->SetDisconnected(true);
}

void TzefWSServer_HTTPAPI::OnHTTPAPIStartup(TzefHTTPServerAPI& /*Sender*/) {
    if (IsDestroying()) {
        return;
    }
    if (OnStartup) {
        OnStartup(*this);
    }
}

void TzefWSServer_HTTPAPI::OnHTTPAPIShutdown(TzefHTTPServerAPI& /*Sender*/) {
    if (IsDestroying()) {
        return;
    }
    if (OnShutdown) {
        OnShutdown(*this);
    }
}

void TzefWSServer_HTTPAPI::OnHTTPAPIAsynchronous(TzefHTTPServerAPI& Sender,
                                                 TzefHTTPAPIContext& aContext, bool& Handled) {
    if (IsDestroying()) {
        return;
    }
    if (OnAsynchronous) {
        OnAsynchronous(Sender, aContext, Handled);
    }
}

// --- Plain HTTP ---

void TzefWSServer_HTTPAPI::DoHTTPRequest(TzefWSConnectionServer_HTTPAPI& aConnection,
                                         THttpServerRequest& aRequest) {
    THttpServerResponse Response;
    if (Authentication().Enabled() && Authentication().Basic().Enabled()) {
        ReadBasicCredentials(aConnection, aRequest);
        if (!DoHTTPAuthentication(aConnection, aRequest, Response)) {
            return;
        }
    }
    DoOnHTTPRequest(aConnection, aRequest, Response);
}

void TzefWSServer_HTTPAPI::ReadBasicCredentials(TzefWSConnectionServer_HTTPAPI& aConnection,
                                                THttpServerRequest& aRequest) {
    const HTTP_REQUEST* Request = aConnection.HTTPRequest();
    if (Request == nullptr) {
        return;
    }
    for (USHORT I = 0; I < Request->RequestInfoCount; ++I) {
        const HTTP_REQUEST_INFO& Info = Request->pRequestInfo[I];
        if (Info.InfoType != HttpRequestInfoTypeAuth || Info.pInfo == nullptr) {
            continue;
        }
        const auto* Auth = static_cast<const HTTP_REQUEST_AUTH_INFO*>(Info.pInfo);
        if (Auth->AuthType != HttpRequestAuthTypeBasic) {
            continue;
        }
        std::string Credentials = GetBasicCredentials(aConnection.HeadersRequest());
        std::size_t Colon = Credentials.find(':');
        if (Colon != std::string::npos && Credentials.find(':', Colon + 1) == std::string::npos) {
            aRequest.AuthExists = true;
            aRequest.AuthUsername = Credentials.substr(0, Colon);
            aRequest.AuthPassword = Credentials.substr(Colon + 1);
        }
    }
}

bool TzefWSServer_HTTPAPI::DoHTTPAuthentication(TzefWSConnectionServer_HTTPAPI& aConnection,
                                                const THttpServerRequest& aRequest,
                                                THttpServerResponse& /*aResponse*/) {
    bool Authenticated = false;
    if (aRequest.AuthExists) {
        const rtl::TStringList& Users = Authentication().AuthUsers();
        if (Users.Count() > 0 && Users.IndexOfName(aRequest.AuthUsername) >= 0) {
            Authenticated = Users.Values(aRequest.AuthUsername) == aRequest.AuthPassword;
        }
        if (!Authenticated && OnAuthentication) {
            OnAuthentication(aConnection, aRequest.AuthUsername, aRequest.AuthPassword,
                             Authenticated);
        }
    }
    if (!Authenticated) {
        aConnection.SendUnauthorized();
    }
    return Authenticated;
}

void TzefWSServer_HTTPAPI::DoOnHTTPRequest(TzefWSConnectionServer_HTTPAPI& aConnection,
                                           const THttpServerRequest& aRequest,
                                           THttpServerResponse& aResponse) {
    if (!OnHTTPRequest) {
        return;
    }
    OnHTTPRequest(aConnection, aRequest, aResponse);
    SendHTTPRequestResponse(aConnection, aResponse);
}

void TzefWSServer_HTTPAPI::SendHTTPRequestResponse(TzefWSConnectionServer_HTTPAPI& aConnection,
                                                   const THttpServerResponse& aResponse) {
    if (aResponse.ResponseNo == 200) {
        TzefStringStream Body;
        Body.WriteAll(aResponse.ContentText.data(), std::int64_t(aResponse.ContentText.size()));
        aConnection.SendHTTPResponse(Body, aResponse.ContentType);
    } else {
        aConnection.SendNotFound();
    }
}

} // namespace zef
