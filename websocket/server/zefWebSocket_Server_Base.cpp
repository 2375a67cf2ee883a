// zefWebSocket_Server_Base: the server component, the server handshake and authentication.
#include "websocket/server/zefWebSocket_Server_Base.h"

#include "websocket/core/zefBase_Helpers.h"
#include "websocket/core/zefWebSocket_Helpers.h"
#include "websocket/server/zefWebSocket_HTTPResponse.h"
#include "websocket/server/zefWebSocket_Protocol_Base_Server.h"

#include <cmath>
#include <ctime>
#include <shared_mutex>

namespace zef {

namespace {

std::string Fill(std::string_view aMessage, std::string_view aValue) {
    std::string Text(aMessage);
    Text.replace(Text.find("%s"), 2, aValue);
    return Text;
}

[[noreturn]] void Refuse(std::string_view aMessage, int aStatus = 400) {
    throw TzefWSHandshakeRefused(aStatus, std::string(aMessage));
}

// The pieces of aText split at aDelimiter, empty pieces included, nothing trimmed.
std::vector<std::string> SplitStrict(std::string_view aText, char aDelimiter) {
    std::vector<std::string> Pieces;
    std::size_t Start = 0;
    while (true) {
        std::size_t At = aText.find(aDelimiter, Start);
        Pieces.emplace_back(aText.substr(Start, At - Start));
        if (At == std::string_view::npos) {
            break;
        }
        Start = At + 1;
    }
    return Pieces;
}

// aText from the 0-based index aFrom on; "" when it is shorter.
std::string From(std::string_view aText, std::size_t aFrom) {
    return aFrom < aText.size() ? std::string(aText.substr(aFrom)) : std::string();
}

// The lines after the first empty line of the request, joined: a body that a transport left
// in the header list.
std::string BodyOf(const rtl::TStringList& aHeaders) {
    std::string Body;
    bool InBody = false;
    for (const std::string& Line : aHeaders) {
        if (InBody) {
            Body += Line;
        } else if (Line.empty()) {
            InBody = true;
        }
    }
    return Body;
}

// The request's Content-Length; 0 when absent. Throws rtl::EConvertError for a value that is
// not a number.
std::int64_t ContentLength(const TzefHeaderList& aHeaders) {
    if (aHeaders.IndexOfHeader("Content-Length") < 0) {
        return 0;
    }
    return StrToInt64(aHeaders.GetHeaderValue("Content-Length"));
}

// The whole of a stream, from its start, as bytes in a string; the position is put back.
std::string StreamText(rtl::TStream& aStream) {
    const std::int64_t Position = aStream.Position();
    aStream.SetPosition(0);
    std::string Bytes(std::size_t(std::max<std::int64_t>(aStream.Size(), 0)), '\0');
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const std::int64_t Read =
            aStream.Read(Bytes.data() + Done, std::int64_t(Bytes.size() - Done));
        if (Read <= 0) {
            break;
        }
        Done += std::size_t(Read);
    }
    Bytes.resize(Done);
    aStream.SetPosition(Position);
    return Bytes;
}

// Seconds between two date-times, truncated.
std::int64_t SecondsBetween(double A, double B) {
    return std::int64_t(std::fabs(A - B) * 86400.0 + 1e-6);
}

} // namespace

// --- Bindings ---

TzefWSBinding& TzefWSBindings::NewBinding(const std::string& aHost, int aPort,
                                          const std::string& aParameters, bool aSSL,
                                          const std::string& aSSLHash, TwsIPVersion aIPVersion,
                                          const std::string& aCertStoreName) {
    auto Binding = std::make_unique<TzefWSBinding>();
    Binding->SetHost(aHost);
    Binding->SetPort(aPort);
    Binding->SetParameters(aParameters);
    Binding->SetSSL(aSSL);
    Binding->SetSSLHash(aSSLHash);
    Binding->SetIPVersion(aIPVersion);
    Binding->SetSSLCertStoreName(aCertStoreName);
    FItems.push_back(std::move(Binding));
    return *FItems.back();
}

TzefWSBinding& TzefWSBindings::NewBinding(const TzefWSBinding& aBinding) {
    FItems.push_back(std::make_unique<TzefWSBinding>(aBinding));
    return *FItems.back();
}

void TzefWSBindings::Clear() {
    while (!FItems.empty()) {
        FItems.pop_back();
    }
}

std::string TzefWSBindings::GetURL(std::size_t aIndex) const {
    if (aIndex >= FItems.size()) {
        return {};
    }
    const TzefWSBinding& B = *FItems[aIndex];
    std::string URL =
        std::string(B.SSL() ? "https" : "http") + "://" + B.Host() + ":" + std::to_string(B.Port());
    if (!B.Parameters().empty()) {
        URL += B.Parameters().front() == '/' ? B.Parameters() : "/" + B.Parameters();
    }
    if (URL.back() != '/') {
        URL += '/';
    }
    return URL;
}

// --- Handshake ---

TzefWSHandShakeServer_Base::TzefWSHandShakeServer_Base(const rtl::TStringList& aHeaders) {
    // The first test that a line passes decides it; the tests are substring tests, so their
    // order matters (a "X-Forwarded-Host: " line is taken for a Host line and refused).
    for (const std::string& Line : aHeaders) {
        if (ContainsText(Line, "GET /")) {
            FIsGET = true;
            std::size_t P = Line.find("HTTP");
            if (P == std::string::npos || From(Line, P + 5) == "1.0") {
                Refuse(SErrorDecodingGET);
            }
            FGet = P > 5 ? Line.substr(4, P - 5) : std::string();
        } else if (ContainsText(Line, "Upgrade: ")) {
            FIsUpgrade = true;
            if (!MatchesMask(Line, "*websocket")) {
                Refuse(SErrorDecodingWebSocket);
            }
        } else if (ContainsText(Line, "Connection: ")) {
            FIsConnection = true;
            if (!MatchesMask(Line, "*Upgrade*")) {
                Refuse(SErrorDecodingUpgrade);
            }
        } else if (ContainsText(Line, "Host: ")) {
            FIsHost = true;
            if (!MatchesMask(Line, "Host: *")) {
                Refuse(SErrorDecodingHost);
            }
            FHost = From(Line, 6);
        } else if (ContainsText(Line, "Sec-WebSocket-Key: ")) {
            FIsKey = true;
            if (!MatchesMask(Line, "Sec-WebSocket-Key: *")) {
                Refuse(SErrorDecodingKey);
            }
            FKey = From(Line, 19);
        } else if (ContainsText(Line, "Origin: ")) {
            FIsOrigin = true;
            if (!MatchesMask(Line, "Origin: *")) {
                Refuse(SErrorDecodingOrigin);
            }
            FOrigin = From(Line, 8);
        } else if (ContainsText(Line, "Sec-WebSocket-Protocol: ")) {
            FIsProtocols = true;
            if (MatchesMask(Line, "Sec-WebSocket-Protocol: *")) {
                FProtocols = From(Line, 24);
            }
        } else if (ContainsText(Line, "Sec-WebSocket-Version: ")) {
            FIsVersion = true;
            if (!MatchesMask(Line, "Sec-WebSocket-Version: *")) {
                Refuse(SErrorDecodingVersion);
            }
            FVersion = From(Line, 23);
        } else if (ContainsText(Line, "Sec-WebSocket-Extensions: ")) {
            FIsExtensions = true;
            if (MatchesMask(Line, "Sec-WebSocket-Extensions: *")) {
                FExtensions = From(Line, 26);
            }
        }
    }
    if (!FIsKey) {
        Refuse(SErrorDecodingKey);
    }
}

const std::string& TzefWSConnectionAuthentication::SessionID() {
    if (FSessionID.empty()) {
        FSessionID = NewGuid();
    }
    return FSessionID;
}

// --- Server connection ---

TzefWSConnectionServer_Base::~TzefWSConnectionServer_Base() = default;

TzefWSHandShakeServer_Base& TzefWSConnectionServer_Base::HandShake() {
    if (!FHandShake) {
        FHandShake = std::make_unique<TzefWSHandShakeServer_Base>(HeadersRequest());
    }
    return *FHandShake;
}

TzefWSConnectionAuthentication& TzefWSConnectionServer_Base::Authentication() {
    if (!FAuthentication) {
        FAuthentication = std::make_unique<TzefWSConnectionAuthentication>();
    }
    return *FAuthentication;
}

std::string TzefWSConnectionServer_Base::URL() {
    if (!FURL) {
        std::string Document = GetRequestDocument(HeadersRequest());
        FURL = Document.empty() ? GetPostDocument(HeadersRequest()) : Document;
    }
    return *FURL;
}

std::string TzefWSConnectionServer_Base::SelectProtocol() {
    const std::string& Offer = HandShake().Protocols();
    if (Offer.empty()) {
        return {};
    }
    std::vector<std::string> Server = SplitStrict(Protocol(), ',');
    std::vector<std::string> Offered = SplitStrict(Offer, ',');
    for (const std::string& Entry : Offered) {
        for (const std::string& Name : Server) {
            if (!Name.empty() && rtl::SameText(Entry, Name)) {
                return Entry;
            }
        }
    }
    std::string List;
    for (const std::string& Entry : Offered) {
        List += Entry + "\r\n";
    }
    Refuse(Fill(SProtocolNotSupported, List));
}

void TzefWSConnectionServer_Base::CheckOrigin() {
    if (!FServerOriginsAllowed.empty()) {
        CheckOriginsAllowed();
    }
}

void TzefWSConnectionServer_Base::CheckOriginsAllowed() {
    const std::string& Origin = HandShake().Origin();
    if (Origin.empty()) {
        return;
    }
    for (const std::string& Allowed : SplitStrict(FServerOriginsAllowed, ',')) {
        // An empty entry (",," or a trailing comma) would allow every origin.
        if (!Allowed.empty() && ContainsText(Origin, Allowed)) {
            return;
        }
    }
    Refuse(Fill(SOriginNotAllowed, Origin), 403);
}

void TzefWSConnectionServer_Base::DoExtensions() {
    Extensions().DecodeExtensions(HandShake().Extensions());
}

void TzefWSConnectionServer_Base::DoHandshake() {
    SetSpecification(HandShake().Specification());
    SetProtocol(SelectProtocol());
    rtl::TStringList& Answer = HeadersResponse();
    Answer.Clear();
    Answer.SetCapacity(6); // The answer's own lines and one extension's, taken at once.
    CheckOrigin();
    DoExtensions();
    if (Transport() == TwsTransport::trpUndefined) {
        SetTransport(TwsTransport::trpRFC6455);
    }
    Answer.Add("HTTP/1.1 101 Switching Protocols");
    Answer.Add("Upgrade: websocket");
    Answer.Add("Connection: Upgrade");
    if (!Protocol().empty()) {
        Answer.Add("Sec-WebSocket-Protocol: " + Protocol());
    }
    Answer.Add("Sec-WebSocket-Accept: " + GetWebSocketAccept(HandShake().Key()));
    Answer.Add("Server: zefWebSockets 4.4.2");
    Extensions().WriteHeader(Answer);
    if (OnHandshake) {
        OnHandshake(*this, Answer);
    }
}

void TzefWSConnectionServer_Base::SelectProtocolFromURL() {
    std::string Url = URL();
    for (const std::string& Name : SplitStrict(Protocol(), ',')) {
        if (!Name.empty() && MatchesMask(Url, "*" + Name + "*")) {
            SetProtocol(Name);
            return;
        }
    }
    SetProtocol("");
}

void TzefWSConnectionServer_Base::DoAuthentication() {
    TzefWSConnectionAuthentication& Auth = Authentication();
    bool Authenticated = Auth.Authenticated();
    if (OnAuthentication) {
        OnAuthentication(*this, Auth.User(), Auth.Password(), Authenticated);
        Auth.SetAuthenticated(Authenticated);
    }
}

bool TzefWSConnectionServer_Base::DoAuthURL(const std::string& aDocument) {
    std::vector<std::string> Pieces = SplitStrict(aDocument, '/');
    if (Pieces.size() <= 5) {
        return false;
    }
    TzefWSConnectionAuthentication& Auth = Authentication();
    Auth.SetAuthType(TwsAuthentication::authURL);
    Auth.SetUser(Pieces[4]);
    Auth.SetPassword(Pieces[5]);
    DoAuthentication();
    return Auth.Authenticated();
}

bool TzefWSConnectionServer_Base::DoAuthBasic(const std::string& aCredentials) {
    std::vector<std::string> Pieces = SplitStrict(aCredentials, ':');
    if (Pieces.size() != 2) {
        return false;
    }
    TzefWSConnectionAuthentication& Auth = Authentication();
    Auth.SetAuthType(TwsAuthentication::authBasic);
    Auth.SetUser(Pieces[0]);
    Auth.SetPassword(Pieces[1]);
    DoAuthentication();
    return Auth.Authenticated();
}

void TzefWSConnectionServer_Base::DoAuthSessionRequest(const std::string& aDocument) {
    std::vector<std::string> Pieces = SplitStrict(aDocument, '/');
    if (Pieces.size() <= 5) {
        return;
    }
    TzefWSConnectionAuthentication& Auth = Authentication();
    Auth.SetAuthType(TwsAuthentication::authSession);
    Auth.SetUser(Pieces[5]);
    if (Pieces.size() > 6) {
        Auth.SetPassword(Pieces[6]);
    }
    DoAuthentication();
    if (!Auth.Authenticated()) {
        SendNotFound();
        return;
    }
    std::string Body = std::string(rtl::Trim(Auth.SessionID())) + "\r\n" +
                       std::string(rtl::Trim(Extensions().List().Text())) + "\r\n" +
                       std::string(rtl::Trim(Protocol())) + "\r\n";
    rtl::TMemoryStream Stream(Body);
    SendHTTPResponse(Stream, "text/plain");
}

bool TzefWSConnectionServer_Base::SendFile(const std::string& aFileNames,
                                           const std::string& aContentType, bool aSendNotFound) {
    std::string Text = TzefWSHTTPResponse::GetResponseMessage(aFileNames);
    if (!Text.empty()) {
        Text = ReplaceText(Text, "{%host%}", LocalIP());
        Text = ReplaceText(Text, "{%port%}", std::to_string(LocalPort()));
        Text =
            ReplaceText(Text, "{%ssl%}", rtl::UpperCase(URL().substr(0, 5)) == "HTTPS" ? "s" : "");
        rtl::TMemoryStream Stream(Text);
        SendHTTPResponse(Stream, aContentType);
        DisconnectPeer();
        return true;
    }
    if (aSendNotFound) {
        SendNotFound();
        DisconnectPeer();
        return true;
    }
    return false;
}

// --- Server component ---

TzefWSServer_Base::TzefWSServer_Base() {
    RegisterProtocolFiles();
    SetNotifyEvents(TwsNotifyEvent::neNoSync);
    FAuthentication.URL().SetEnabled(true);
    FAuthentication.Session().SetEnabled(true);
    FAuthentication.Basic().SetEnabled(false);
    Extensions().SetMode(TwsApplicationMode::appServer);
    FQueueOptions.Text().SetLevel(TwsQueueMsgLevels::qmNone);
    FQueueOptions.Binary().SetLevel(TwsQueueMsgLevels::qmNone);
    FQueueOptions.Ping().SetLevel(TwsQueueMsgLevels::qmNone);
}

TzefWSServer_Base::~TzefWSServer_Base() {
    MarkDestroying();
    FreeAllTimers();
    // Registered connections belong to the component; a transport whose list is already gone
    // has freed them itself.
}

void TzefWSServer_Base::FreeAllTimers() {
    FreeTimers();
    StopConnectionsFree();
    StopCluster();
}

TzefWSBindings& TzefWSServer_Base::Bindings() {
    std::scoped_lock Lock(FBindingsCreate);
    if (!FBindings) {
        FBindings = std::make_unique<TzefWSBindings>();
    }
    return *FBindings;
}

TzefWSLogFile& TzefWSServer_Base::LogFile() {
    TzefWSLogFile& Inherited = TzefWSComponent::LogFile();
    FLogFileView.Assign(Inherited);
    const std::string& Name = Inherited.FileName();
    std::size_t Slash = Name.find_last_of("/\\");
    FLogFileView.SetFileName(Slash == std::string::npos ? std::string()
                                                        : Name.substr(0, Slash + 1));
    return FLogFileView;
}

void TzefWSServer_Base::SetActive(bool Value) {
    if (IsLoading() || IsDesigning()) {
        FActive = Value;
        return;
    }
    if (Value && !FActive.load()) {
        StartCluster();
        try {
            DoStart();
        } catch (...) {
            JoinCluster();
            throw;
        }
        StartHeartBeat();
        StartConnectionsFree();
    } else if (!Value && FActive.load()) {
        StopConnectionsFree();
        StopHeartBeatTimeout();
        StopHeartBeat();
        StopCluster();
        DoStop();
        JoinCluster();
    }
}

// --- Cluster ---

void TzefWSServer_Base::StartCluster() {
    if (!FCluster.Enabled()) {
        return;
    }
    if (!FClusterOwned) {
        FClusterOwned = std::make_unique<TzefWSCluster>(
            [this](const TzefWSClusterMessage& aMessage) { DeliverClusterMessage(aMessage); },
            [this](const std::string& aText) { DoError(nullptr, aText); });
        FClusterLink = FClusterOwned.get();
    }
    FClusterOwned->Start(FCluster);
}

void TzefWSServer_Base::StopCluster() {
    if (TzefWSCluster* Link = FClusterLink.load()) {
        Link->Stop();
    }
}

void TzefWSServer_Base::JoinCluster() {
    if (TzefWSCluster* Link = FClusterLink.load()) {
        Link->Join();
    }
}

bool TzefWSServer_Base::ClusterCount(TzefWSClusterCountEvent aDone) {
    TzefWSCluster* Link = FClusterLink.load();
    if (Link == nullptr || !Link->Running()) {
        aDone(Count());
        return true;
    }
    return Link->RequestCount(std::move(aDone));
}

void TzefWSServer_Base::DeliverClusterMessage(const TzefWSClusterMessage& aMessage) {
    if (IsDestroying()) {
        return;
    }
    switch (aMessage.Kind) {
    case TzefWSClusterKind::ckBroadcastText:
        DoBroadcast(aMessage.Payload, nullptr, 1, aMessage.Channel, aMessage.Protocol,
                    aMessage.Exclude, aMessage.Include, 0, TwsStreaming::stmNone);
        break;
    case TzefWSClusterKind::ckBroadcastBinary: {
        rtl::TMemoryStream Data(aMessage.Payload);
        DoBroadcast({}, &Data, 2, aMessage.Channel, aMessage.Protocol, aMessage.Exclude,
                    aMessage.Include, aMessage.Size, aMessage.Streaming);
        break;
    }
    case TzefWSClusterKind::ckWriteText:
        WriteLocal(aMessage.Guid, &aMessage.Payload, nullptr, 0, TwsStreaming::stmNone);
        break;
    case TzefWSClusterKind::ckWriteBinary: {
        rtl::TMemoryStream Data(aMessage.Payload);
        WriteLocal(aMessage.Guid, nullptr, &Data, aMessage.Size, aMessage.Streaming);
        break;
    }
    }
}

void TzefWSServer_Base::DoNotifyConnect(TzefWSConnection* aConnection) {
    if (aConnection != nullptr) {
        if (TzefWSCluster* Link = FClusterLink.load()) {
            Link->ConnectionAdded(aConnection->Guid());
        }
    }
    TzefWSComponent_Server::DoNotifyConnect(aConnection);
}

void TzefWSServer_Base::DoNotifyDisconnect(TzefWSConnection* aConnection) {
    if (aConnection != nullptr) {
        if (TzefWSCluster* Link = FClusterLink.load()) {
            Link->ConnectionRemoved(aConnection->Guid());
        }
    }
    TzefWSComponent_Server::DoNotifyDisconnect(aConnection);
}

// --- Registry ---

void TzefWSServer_Base::AddConnection(TzefWSConnectionServer_Base& Connection) {
    TzefWSConnectionList& List = LockList();
    try {
        // A connection is registered once: an event stream registers itself before the client
        // learns its GUID, and the transport's registration after the answer finds it there.
        if (!Connection.FRegistered) {
            List.push_back(&Connection);
            Connection.FRegistered = true;
        }
    } catch (...) {
        UnLockList(); // Pairs with LockList.
        throw;
    }
    UnLockList(); // Pairs with LockList.
}

void TzefWSServer_Base::RemoveConnection(TzefWSConnectionServer_Base& Connection) {
    TzefWSConnectionList& List = LockList();
    // The entry with the connection's GUID is the connection itself (a GUID names one
    // connection for its life): it is found by address, without reading every entry's GUID,
    // and only looked for while the connection is listed.
    if (Connection.FRegistered) {
        const TzefWSConnection* Wanted = &Connection;
        for (std::size_t I = List.size(); I-- > 0;) {
            if (List[I] == Wanted) {
                Connection.FRegistered = false;
                List.erase(List.begin() + std::ptrdiff_t(I));
                break;
            }
        }
    }
    UnLockList(); // Pairs with LockList.
}

bool TzefWSServer_Base::IsRegistered(TzefWSConnectionServer_Base& Connection) {
    ShareList();
    const bool Result = Connection.FRegistered;
    UnShareList(); // Pairs with ShareList.
    return Result;
}

void TzefWSServer_Base::FreeConnections() {
    // The cluster's delivery thread may be writing to registered connections.
    JoinCluster();
    TzefWSConnectionList Taken;
    TzefWSConnectionList& List = LockList();
    Taken.swap(List);
    UnLockList(); // Pairs with LockList.
    // Freed outside the lock: a connection's destructor may reach back into the registry.
    for (TzefWSConnection* Connection : Taken) {
        if (Connection) {
            Connection->MarkFreed();
            std::unique_ptr<TzefWSConnection> Owned(Connection);
        }
    }
}

int TzefWSServer_Base::Count() {
    int Result = int(ShareList().size());
    UnShareList(); // Pairs with ShareList.
    return Result;
}

TzefWSConnectionServer_Base* TzefWSServer_Base::GetConnectionByIndex(int Index) {
    TzefWSConnectionList& List = ShareList();
    TzefWSConnection* Found =
        Index >= 0 && std::size_t(Index) < List.size() ? List[std::size_t(Index)] : nullptr;
    UnShareList(); // Pairs with ShareList.
    return static_cast<TzefWSConnectionServer_Base*>(Found);
}

TzefWSConnectionServer_Base* TzefWSServer_Base::GetConnectionByGuid(const std::string& aGUID) {
    TzefWSConnectionList& List = LockList();
    TzefWSConnection* Found = nullptr;
    for (TzefWSConnection* Entry : List) {
        if (!Entry) {
            continue;
        }
        try {
            if (Entry->Guid() == aGUID) {
                Found = Entry;
                break;
            }
        } catch (const std::exception& E) {
            DoException(Entry, E.what(), std::current_exception());
        }
    }
    UnLockList(); // Pairs with LockList.
    return static_cast<TzefWSConnectionServer_Base*>(Found);
}

// --- Connection events ---

void TzefWSServer_Base::PrepareConnection(TzefWSConnectionServer_Base& Connection) {
    Connection.SetServerOriginsAllowed(FSecurityOptions.OriginsAllowed());
    Connection.SetValidateUTF8(FOptions.ValidateUTF8());
    Connection.SetCleanDisconnect(FOptions.CleanDisconnect());
    Connection.SetRaiseDisconnectExceptions(FOptions.RaiseDisconnectExceptions());
    Connection.SetQueueOptions(FQueueOptions);
    Connection.SetFragmentedMessages(FOptions.FragmentedMessages());
    Connection.SetExtensions(Extensions());
    Connection.SetProtocol(GetProtocols());
    if (OnHandshake) {
        Connection.OnHandshake = [this](TzefWSConnection& C, rtl::TStringList&) {
            DoNotifyHandshake(C);
        };
    }
    Connection.SetMasked(false);
    Connection.OnUpdate = [this](TzefWSConnection& C, int aType) { OnServerUpdateEvent(C, aType); };
    Connection.OnMessage = [this](TzefWSConnection& C, const std::string& Text) {
        OnServerMessageEvent(C, Text);
    };
    Connection.OnBinary = [this](TzefWSConnection& C, rtl::TMemoryStream& Data) {
        OnServerBinaryEvent(C, Data);
    };
    Connection.OnFragmented = [this](TzefWSConnection& C, rtl::TMemoryStream& Data, TOpcode Op,
                                     bool Continuation) {
        OnServerFragmentedEvent(C, Data, Op, Continuation);
    };
    if (FAuthentication.Enabled()) {
        Connection.OnAuthentication = [this](TzefWSConnection& C, const std::string& aUser,
                                             const std::string& aPassword, bool& Authenticated) {
            OnServerAuthenticationEvent(C, aUser, aPassword, Authenticated);
        };
    }
}

void TzefWSServer_Base::OnServerUpdateEvent(TzefWSConnection& Connection, int aType) {
    if (aType != 1 || IsDestroying()) {
        return;
    }
    if (Connection.Specification() == TwsSpecification::spRFC6455 && !Specifications().RFC6455()) {
        Connection.Disconnect();
    }
    // A connection just dropped because its protocol version is switched off never connects.
    if (Connection.Enabled() && !Connection.Disconnected()) {
        DoNotifyConnect(&Connection);
    }
}

void TzefWSServer_Base::OnServerMessageEvent(TzefWSConnection& Connection,
                                             const std::string& Text) {
    if (IsDestroying()) {
        return;
    }
    try {
        Connection.SetMsgReceived(Text);
        TStoredMessage Stored(Connection, Text); // The handler gets Text itself, not a copy.
        DoNotifyMessage(&Connection);
    } catch (const std::exception& E) {
        DoError(&Connection, E.what());
    } catch (...) {
        DoError(&Connection, "Unknown exception");
    }
}

void TzefWSServer_Base::OnServerBinaryEvent(TzefWSConnection& Connection,
                                            rtl::TMemoryStream& Data) {
    if (IsDestroying()) {
        return;
    }
    try {
        Data.SetPosition(0);
        Connection.MsgBinaryReceived().Clear();
        Connection.MsgBinaryReceived().LoadFromStream(Data);
        DoNotifyBinary(&Connection);
    } catch (const std::exception& E) {
        DoError(&Connection, E.what());
    } catch (...) {
        DoError(&Connection, "Unknown exception");
    }
}

void TzefWSServer_Base::OnServerFragmentedEvent(TzefWSConnection& Connection,
                                                rtl::TMemoryStream& Data, TOpcode OpCode,
                                                bool Continuation) {
    if (IsDestroying()) {
        return;
    }
    try {
        DoNotifyFragmented(&Connection, Data, OpCode, Continuation);
    } catch (const std::exception& E) {
        DoError(&Connection, E.what());
    } catch (...) {
        DoError(&Connection, "Unknown exception");
    }
}

void TzefWSServer_Base::OnServerDisconnectEvent(TzefWSConnection& Connection, int /*Code*/) {
    if (IsDestroying()) {
        return;
    }
    try {
        RemoveConnection(static_cast<TzefWSConnectionServer_Base&>(Connection));
    } catch (...) {
        // The disconnect notification runs whatever happened here.
    }
    DoNotifyDisconnect(&Connection);
}

// --- Broadcast and writes ---

void TzefWSServer_Base::Broadcast(const std::string& aMessage, const std::string& aChannel,
                                  const std::string& aProtocol, const std::string& Exclude,
                                  const std::string& Include) {
    // The other nodes first: they write to their connections while this one writes to its own.
    if (TzefWSCluster* Link = FClusterLink.load()) {
        TzefWSClusterMessage Message;
        Message.Kind = TzefWSClusterKind::ckBroadcastText;
        Message.Channel = aChannel;
        Message.Protocol = aProtocol;
        Message.Exclude = Exclude;
        Message.Include = Include;
        Message.Payload = aMessage;
        Link->Publish(std::move(Message));
    }
    DoBroadcast(aMessage, nullptr, 1, aChannel, aProtocol, Exclude, Include, 0,
                TwsStreaming::stmNone);
}

void TzefWSServer_Base::Broadcast(rtl::TStream& aStream, const std::string& aChannel,
                                  const std::string& aProtocol, const std::string& Exclude,
                                  const std::string& Include, int aSize, TwsStreaming aStreaming) {
    if (TzefWSCluster* Link = FClusterLink.load()) {
        TzefWSClusterMessage Message;
        Message.Kind = TzefWSClusterKind::ckBroadcastBinary;
        Message.Channel = aChannel;
        Message.Protocol = aProtocol;
        Message.Exclude = Exclude;
        Message.Include = Include;
        Message.Size = aSize;
        Message.Streaming = aStreaming;
        Message.Payload = StreamText(aStream);
        Link->Publish(std::move(Message));
    }
    DoBroadcast({}, &aStream, 2, aChannel, aProtocol, Exclude, Include, aSize, aStreaming);
}

void TzefWSServer_Base::DoBroadcast(const std::string& aMessage, rtl::TStream* aStream, int aType,
                                    const std::string& aChannel, const std::string& aProtocol,
                                    const std::string& Exclude, const std::string& Include,
                                    int aSize, TwsStreaming aStreaming) {
    std::vector<std::string> Excluded =
        Exclude.empty() ? std::vector<std::string>() : SplitStrict(Exclude, ',');
    std::vector<std::string> Included =
        Include.empty() ? std::vector<std::string>() : SplitStrict(Include, ',');
    auto Contains = [](const std::vector<std::string>& List, const std::string& Guid) {
        return std::find(List.begin(), List.end(), Guid) != List.end();
    };
    TRegistryUse Use(*this); // The connections selected are used after the lock.
    std::vector<TzefWSConnection*> Selected;
    TzefWSConnectionList& List = LockList();
    for (TzefWSConnection* Entry : List) {
        if (!Entry) {
            continue;
        }
        try {
            if (!(Entry->Enabled() || !Entry->Disconnected() || aType == 4)) {
                continue;
            }
            std::string Guid = Entry->Guid();
            if ((!Exclude.empty() && Contains(Excluded, Guid)) ||
                (!Include.empty() && !Contains(Included, Guid))) {
                continue;
            }
            Selected.push_back(Entry);
        } catch (const std::exception& E) {
            DoException(Entry, E.what(), std::current_exception());
        }
    }
    UnLockList(); // Pairs with LockList.

    std::string Protocol = rtl::UpperCase(aProtocol);
    for (TzefWSConnection* Connection : Selected) {
        if (aType == 4) {
            if (!Connection->Disconnected() && Connection->Enabled()) {
                Connection->Ping(aMessage);
            } else if (Connection->Disconnected() ||
                       Connection->Transport() == TwsTransport::trpFlash) {
                Connection->DisconnectPeer();
            }
            // Otherwise it is still opening (registered for its handshake or its event
            // stream's connect event, not yet enabled): a tick in between must not drop it.
            continue;
        }
        // A connection still in its handshake is registered but takes no messages yet, and
        // its sub-protocol is being written by the handshake's thread: skip it before reading.
        if (!Connection->Enabled()) {
            continue;
        }
        if (rtl::UpperCase(Connection->Protocol()) != Protocol ||
            !Connection->Subscribed(aChannel)) {
            continue;
        }
        if (aType == 1) {
            Connection->WriteData(aMessage, 0, TwsStreaming::stmNone);
        } else if (aStream) {
            Connection->WriteData(*aStream, aSize, aStreaming);
        }
    }
}

bool TzefWSServer_Base::WriteData(const std::string& aGUID, const std::string& aMessage) {
    if (std::optional<bool> Written =
            WriteLocal(aGUID, &aMessage, nullptr, 0, TwsStreaming::stmNone)) {
        return *Written;
    }
    TzefWSCluster* Link = FClusterLink.load();
    if (Link == nullptr || aGUID.empty()) {
        return false;
    }
    TzefWSClusterMessage Message;
    Message.Kind = TzefWSClusterKind::ckWriteText;
    Message.Guid = aGUID;
    Message.Payload = aMessage;
    return Link->Publish(std::move(Message));
}

bool TzefWSServer_Base::WriteData(const std::string& aGUID, rtl::TStream& aStream, int aSize,
                                  TwsStreaming aStreaming) {
    if (std::optional<bool> Written = WriteLocal(aGUID, nullptr, &aStream, aSize, aStreaming)) {
        return *Written;
    }
    TzefWSCluster* Link = FClusterLink.load();
    if (Link == nullptr || aGUID.empty()) {
        return false;
    }
    TzefWSClusterMessage Message;
    Message.Kind = TzefWSClusterKind::ckWriteBinary;
    Message.Guid = aGUID;
    Message.Size = aSize;
    Message.Streaming = aStreaming;
    Message.Payload = StreamText(aStream);
    return Link->Publish(std::move(Message));
}

std::optional<bool> TzefWSServer_Base::WriteLocal(const std::string& aGUID,
                                                  const std::string* aText, rtl::TStream* aStream,
                                                  int aSize, TwsStreaming aStreaming) {
    TRegistryUse Use(*this); // The connection is used after the registry's lock.
    TzefWSConnectionServer_Base* Connection = GetConnectionByGuid(aGUID);
    if (!Connection) {
        return std::nullopt;
    }
    if (!Connection->Enabled() || Connection->Disconnected()) {
        return false;
    }
    try {
        if (aText != nullptr) {
            Connection->WriteData(*aText, 0, TwsStreaming::stmNone);
        } else if (aStream != nullptr) {
            Connection->WriteData(*aStream, aSize, aStreaming);
        }
        return true;
    } catch (const std::exception& E) {
        DoError(Connection, E.what());
    }
    return false;
}

void TzefWSServer_Base::DoPingAll() {
    // The local time as yyyymmddhhnnsszzz.
    auto Now = std::chrono::system_clock::now();
    std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
    int Millis =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() %
            1000);
    std::tm Local{};
    localtime_r(&Seconds, &Local);
    char Stamp[80];
    std::snprintf(Stamp, sizeof Stamp, "%04d%02d%02d%02d%02d%02d%03d", Local.tm_year + 1900,
                  Local.tm_mon + 1, Local.tm_mday, Local.tm_hour, Local.tm_min, Local.tm_sec,
                  Millis);
    DoBroadcast(Stamp, nullptr, 4, "", "", "", "", 0, TwsStreaming::stmNone);
}

void TzefWSServer_Base::DisconnectAll() {
    std::vector<TzefWSConnection*> Open;
    TzefWSConnectionList& List = ShareList();
    for (TzefWSConnection* Entry : List) {
        if (Entry && Entry->Active() && !Entry->Disconnected()) {
            Open.push_back(Entry);
        }
    }
    UnShareList(); // Pairs with ShareList.
    for (TzefWSConnection* Connection : Open) {
        Connection->DisconnectPeer();
    }
}

// --- Heartbeat ---

void TzefWSServer_Base::DoHeartBeat() {
    DoPingAll();
    if (HeartBeat().Timeout() >= 1) {
        StartHeartBeatTimeout();
    }
}

void TzefWSServer_Base::DoHeartBeatException(const std::exception& E) {
    DoEventException(nullptr, E.what(), std::make_exception_ptr(TzefWSException(E.what())));
}

void TzefWSServer_Base::DoHeartBeatTimeoutException(const std::exception& E) {
    DoEventException(nullptr, E.what(), std::make_exception_ptr(TzefWSException(E.what())));
}

void TzefWSServer_Base::DoHeartBeatTimeout() {
    const int Timeout = HeartBeat().Timeout();
    const int Interval = HeartBeat().Interval();
    const double Current = Now();
    TzefWSConnectionList& List = LockList();
    for (TzefWSConnection* Entry : List) {
        if (!Entry) {
            continue;
        }
        TwsTransport Kind = Entry->Transport();
        if (Kind != TwsTransport::trpRFC6455 && Kind != TwsTransport::trpHixie76 &&
            Kind != TwsTransport::trpFlash && Kind != TwsTransport::trpRFC8441) {
            continue;
        }
        if (SecondsBetween(Entry->LastPing(), Entry->LastPong()) < Timeout) {
            Entry->SetFirstPing(0);
            continue;
        }
        bool Expired =
            (Interval >= Timeout && SecondsBetween(Entry->LastPing(), Current) >= Timeout) ||
            (Timeout >= Interval && SecondsBetween(Entry->FirstPing(), Current) >= Timeout);
        if (Expired) {
            // Runs under the registry lock: OnException must not call registry operations.
            DoException(Entry, std::string(SHeartBeatTimeout),
                        std::make_exception_ptr(TzefWSException(std::string(SHeartBeatTimeout))));
        }
    }
    UnLockList(); // Pairs with LockList.
}

// --- Request classification ---

int TzefWSServer_Base::DispatchRequest(TzefWSConnectionServer_Base& Connection) {
    int Result = 404;
    Connection.PrepareRequest();
    TzefHeaderList& Headers = Connection.HeadersRequest();
    if (IsWebSocketUpgrade(Headers)) {
        Result = 101;
        if (FAuthentication.Enabled()) {
            TzefWSConnectionAuthentication& Auth = Connection.Authentication();
            if (FAuthentication.URL().Enabled() && IsAuthURLRequest(Headers)) {
                Connection.DoAuthURL(GetRequestDocument(Headers));
            } else if (FAuthentication.Session().Enabled() && IsAuthSessionUpgrade(Headers)) {
                Auth.SetAuthenticated(DoAuthSession(Connection, GetRequestDocument(Headers)));
            } else if (FAuthentication.Basic().Enabled() && HasBasicAuthorization(Headers)) {
                Auth.SetAuthenticated(Connection.DoAuthBasic(GetBasicCredentials(Headers)));
            } else if (OnAuthentication) {
                bool Authenticated = Auth.Authenticated();
                OnAuthentication(Connection, "", "", Authenticated);
                Auth.SetAuthenticated(Authenticated);
            }
            if (!Auth.Authenticated() && !FAuthentication.AllowNonAuth() &&
                Connection.AuthenticationCloseCode() == 1000) {
                Headers.Clear();
                Result = 404;
            }
        }
    } else if (IsAuthSessionRequest(Headers)) {
        if (FAuthentication.Enabled() && FAuthentication.Session().Enabled()) {
            Connection.DoAuthSessionRequest(GetRequestDocument(Headers));
        }
        Result = 200;
    } else if (IsXHRPost(Headers)) {
        DoXHRPost(Connection);
        Result = 200;
    } else if (IsProtocolPost(Headers)) {
        DoProtocolPostRequest(Connection);
        Result = 200;
    } else if (IsFlashPolicyRequest(Headers)) {
        Connection.SetTransport(TwsTransport::trpFlash);
        if (FFallBack.Flash().Enabled()) {
            SendFlashPolicy(Connection);
            Result = 200;
        }
    } else if (IsEventStreamRequest(Headers)) {
        Connection.SetTransport(TwsTransport::trpSSE);
        if (FFallBack.ServerSentEvents().Enabled()) {
            AcceptEventStream(Connection);
            Result = 200;
        }
    } else if (DoHTTPFileRequest(Connection, GetRequestLine(Headers), false)) {
        Result = 200;
    } else if (IsHTTP1Request(Headers)) {
        Connection.SetTransport(TwsTransport::trpHTTP);
    } else if (DoUnknownProtocol(Connection)) {
        Connection.SetEnabled(true);
        Result = 101;
    }
    return Result;
}

std::optional<TzefWSUpgradeRefusal>
TzefWSServer_Base::UpgradeConnection(TzefWSConnectionServer_Base& Connection) {
    AddConnection(Connection);
    try {
        Connection.DoHandshake();
        return std::nullopt;
    } catch (const TzefWSHandshakeRefused& E) {
        RemoveConnection(Connection);
        return TzefWSUpgradeRefusal{E.Status(), E.what()};
    } catch (const std::exception& E) {
        // A failing OnHandshake handler: the server's fault, not the client's.
        RemoveConnection(Connection);
        return TzefWSUpgradeRefusal{500, E.what()};
    }
}

bool TzefWSServer_Base::DoHTTPFileRequest(TzefWSConnectionServer_Base& Connection,
                                          const std::string& RequestLine, bool SendNotFound) {
    if (MatchesMask(RequestLine, "GET *.js *")) {
        if (!FOptions.JavascriptFiles()) {
            return false;
        }
        std::string Name = GetDocumentName(RequestLine);
        if (Name == "zefWebSockets.js") {
            if (FFallBack.Flash().Enabled()) {
                Name = "zefWebSocketsFlash.js," + Name;
            }
            if (FFallBack.ServerSentEvents().Enabled()) {
                Name = "zefWebSocketsEventSource.js," + Name;
            }
        }
        return Connection.SendFile(Name, "text/javascript", SendNotFound);
    }
    if (MatchesMask(RequestLine, "GET *.html *")) {
        return FOptions.HTMLFiles() &&
               Connection.SendFile(GetDocumentName(RequestLine), "text/html; charset=utf-8",
                                   SendNotFound);
    }
    if (MatchesMask(RequestLine, "GET *.css *")) {
        return FOptions.HTMLFiles() &&
               Connection.SendFile(GetDocumentName(RequestLine), "text/css", SendNotFound);
    }
    if (MatchesMask(RequestLine, "GET *WebSocketMain.swf *")) {
        if (auto Movie = LoadResourceBytes("ZEF_WEBSOCKETMAIN_SWF")) {
            rtl::TMemoryStream Stream;
            Stream.WriteAll(Movie->data(), std::int64_t(Movie->size()));
            Stream.SetPosition(0);
            Connection.SendHTTPResponse(Stream, "application/x-shockwave-flash");
        }
        return true;
    }
    if (MatchesMask(RequestLine, "GET *favicon*")) {
        return SendNotFound;
    }
    return false;
}

void TzefWSServer_Base::SendFlashPolicy(TzefWSConnectionServer_Base& Connection) {
    std::string Policy = "<cross-domain-policy><allow-access-from domain=\"" +
                         FFallBack.Flash().Domain() + "\" to-ports=\"" + FFallBack.Flash().Ports() +
                         "\" /></cross-domain-policy>";
    Policy.push_back('\0');
    std::vector<std::uint8_t> Bytes = TextToBytes(Policy);
    Connection.WriteBytes(Bytes);
}

void TzefWSServer_Base::AcceptEventStream(TzefWSConnectionServer_Base& Connection) {
    Connection.SelectProtocolFromURL();
    // Registered before the events below tell the client its GUID: the client posts under it
    // at once, and a post that found no connection would lose its message.
    AddConnection(Connection);
    DoNotifyConnect(&Connection);
    // Enabled under the write lock, which is held until the GUID is out: a broadcast waits
    // behind the opening events, since the client takes the first data event for its GUID.
    Connection.EnterCS();
    try {
        Connection.SetEnabled(true);
        Connection.WriteSSE(
            "retry: " + std::to_string(std::int64_t(FFallBack.ServerSentEvents().Retry()) * 1000));
        Connection.WriteSSE(Connection.Guid());
        Connection.WriteSSE(Connection.Guid());
    } catch (...) {
        Connection.LeaveCS(); // Pairs with EnterCS.
        throw;
    }
    Connection.LeaveCS(); // Pairs with EnterCS.
}

void TzefWSServer_Base::DoXHRPost(TzefWSConnectionServer_Base& Connection) {
    TzefHeaderList& Headers = Connection.HeadersRequest();
    std::string Guid = ReplaceText(GetPostDocument(Headers), "/zef/xhr/", "");
    if (Guid.empty()) {
        return;
    }
    TRegistryUse Use(*this); // The target is used after the registry's lock.
    TzefWSConnectionServer_Base* Target = GetConnectionByGuid(Guid);
    if (!Target) {
        return;
    }
    if (ContentLength(Headers) != 0) {
        Target->RaiseMessage(BodyOf(Headers));
    }
    rtl::TMemoryStream Empty;
    Connection.SendHTTPResponse(Empty, "text/html");
}

void TzefWSServer_Base::DoProtocolPostRequest(TzefWSConnectionServer_Base& Connection) {
    TzefHeaderList& Headers = Connection.HeadersRequest();
    std::string Rest = ReplaceText(GetPostDocument(Headers), "/zef/protocol/", "");
    std::vector<std::string> Pieces = SplitStrict(Rest, '/');
    const std::string& Name = Pieces.front();
    if (Name.empty()) {
        return;
    }
    std::string Argument;
    for (std::size_t I = 1; I < Pieces.size(); ++I) {
        Argument += (I > 1 ? "/" : "") + Pieces[I];
    }
    for (TzefWSProtocol* Object : MatchingProtocols(Name)) {
        if (ContentLength(Headers) == 0) {
            continue;
        }
        rtl::TMemoryStream Answer(Object->DoPostRequest(Connection, Argument, BodyOf(Headers)));
        Connection.SendHTTPResponse(Answer, "text/html");
    }
}

// --- Authentication ---

TzefDelimitedStringList& TzefWSServer_Base::SessionIDList() {
    if (!FSessionIDList) {
        FSessionIDList = std::make_unique<TzefDelimitedStringList>();
    }
    return *FSessionIDList;
}

std::size_t TzefWSServer_Base::SessionCount() {
    DoEnterCS(1);
    std::size_t Result = FSessionIDList ? FSessionIDList->Count() : 0;
    DoLeaveCS(1); // Pairs with DoEnterCS(1).
    return Result;
}

bool TzefWSServer_Base::DoAuthSession(TzefWSConnectionServer_Base& Connection,
                                      const std::string& aDocument) {
    std::vector<std::string> Pieces = SplitStrict(aDocument, '/');
    if (Pieces.size() <= 4 || Pieces[4].empty()) {
        return false;
    }
    const std::string& Identifier = Pieces[4];
    std::string Stored;
    bool Found = false;
    DoEnterCS(1);
    try {
        TzefDelimitedStringList& Store = SessionIDList();
        int Index = Store.IndexOfName(Identifier);
        if (Index >= 0) {
            Found = true;
            Stored = Store.ValueFromIndex(std::size_t(Index));
            // An identifier serves one upgrade only.
            Store.Delete(std::size_t(Index));
        }
    } catch (...) {
        DoLeaveCS(1); // Pairs with DoEnterCS(1).
        throw;
    }
    DoLeaveCS(1); // Pairs with DoEnterCS(1).
    if (!Found) {
        return false;
    }
    TzefWSConnectionAuthentication& Auth = Connection.Authentication();
    Auth.SetSessionID(Identifier);
    std::size_t Colon = Stored.find(':');
    Auth.SetUser(Stored.substr(0, Colon));
    Auth.SetPassword(Colon == std::string::npos ? std::string() : Stored.substr(Colon + 1));
    return true;
}

void TzefWSServer_Base::OnServerAuthenticationEvent(TzefWSConnection& Connection,
                                                    const std::string& aUser,
                                                    const std::string& aPassword,
                                                    bool& Authenticated) {
    const rtl::TStringList& Users = FAuthentication.AuthUsers();
    int Index = Users.IndexOfName(aUser);
    if (Index >= 0 && Users.ValueFromIndex(std::size_t(Index)) == aPassword) {
        Authenticated = true;
    }
    if (OnAuthentication) {
        OnAuthentication(Connection, aUser, aPassword, Authenticated);
    }
    auto* Server = dynamic_cast<TzefWSConnectionServer_Base*>(&Connection);
    if (Authenticated && Server &&
        Server->Authentication().AuthType() == TwsAuthentication::authSession) {
        std::string Identifier = Server->Authentication().SessionID();
        DoEnterCS(1);
        try {
            TzefDelimitedStringList& Store = SessionIDList();
            if (Store.IndexOfName(Identifier) < 0) {
                while (Store.Count() >= FSessionLimit) {
                    Store.Delete(0);
                }
                Store.Add(Identifier + "=" + aUser + ":" + aPassword);
            }
        } catch (...) {
            DoLeaveCS(1); // Pairs with DoEnterCS(1).
            throw;
        }
        DoLeaveCS(1); // Pairs with DoEnterCS(1).
    }
}

} // namespace zef
