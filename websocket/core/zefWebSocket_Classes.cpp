// zefWebSocket_Classes: the WebSocket connection and the handshake's base view.
#include "websocket/core/zefWebSocket_Classes.h"

#include "platform/rtl/MainThread.h"
#include "websocket/core/zefBase_Classes.h"
#include "websocket/core/zefBase_Helpers.h"

#include <algorithm>
#include <chrono>

namespace zef {

void TzefWSQueueOptions::Assign(const TzefWSQueueOptions& Source) {
    FBinary.Assign(Source.FBinary);
    FPing.Assign(Source.FPing);
    FText.Assign(Source.FText);
}

void TzefQueueObject::SetStream(rtl::TStream& aStream) {
    auto Copy = std::make_unique<rtl::TMemoryStream>();
    Copy->LoadFromStream(aStream);
    FStream = std::move(Copy);
}

void TzefQueueList::Push(std::unique_ptr<TzefQueueObject> aItem) {
    std::scoped_lock Lock(FLock);
    FList.push_back(aItem.release()); // Owned by the list until TakeAll or FreeObjects.
}

std::vector<std::unique_ptr<TzefQueueObject>> TzefQueueList::TakeAll() {
    std::vector<std::unique_ptr<TzefQueueObject>> Items;
    std::scoped_lock Lock(FLock);
    Items.reserve(FList.size());
    for (TzefQueueObject* Item : FList) {
        Items.emplace_back(Item);
    }
    FList.clear();
    return Items;
}

void TzefQueueList::FreeObjects() {
    // The items die when the moved-out vector goes, oldest first.
    TakeAll();
}

std::size_t TzefQueueList::Count() const {
    std::scoped_lock Lock(FLock);
    return FList.size();
}

TzefWSConnection::TzefWSConnection() = default;

TzefWSConnection::~TzefWSConnection() = default;

TzefQueueList& TzefWSConnection::QueueLevel(TwsQueueMsgLevels aLevel) {
    std::scoped_lock Lock(FQueueCreate);
    std::unique_ptr<TzefQueueList>* Slot = &FQueueLevel0;
    if (aLevel == TwsQueueMsgLevels::qmLevel1) {
        Slot = &FQueueLevel1;
    } else if (aLevel == TwsQueueMsgLevels::qmLevel2) {
        Slot = &FQueueLevel2;
    }
    if (!*Slot) {
        *Slot = std::make_unique<TzefQueueList>();
    }
    return **Slot;
}

TzefQueueList* TzefWSConnection::ExistingQueue(int aIndex) {
    std::scoped_lock Lock(FQueueCreate);
    return aIndex == 0 ? FQueueLevel0.get() : aIndex == 1 ? FQueueLevel1.get() : FQueueLevel2.get();
}

void TzefWSConnection::SetDisconnected(bool Value) {
    if (!FDisconnected.load()) {
        for (int Index = 0; Index < 3; ++Index) {
            if (TzefQueueList* Queue = ExistingQueue(Index)) {
                Queue->FreeObjects();
            }
        }
    }
    FDisconnected = Value;
}

void TzefWSConnection::WriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) {
    TwsQueueMsgLevels Level = FQueueOptions.Text().Level();
    if (Level != TwsQueueMsgLevels::qmNone) {
        auto Item = std::make_unique<TzefQueueObject>();
        Item->SetOpCode(TOpcode::opText);
        Item->SetText(aText);
        Item->SetSize(aSize);
        Item->SetStreaming(aStreaming);
        QueueLevel(Level).Push(std::move(Item));
        DoQueued();
        return;
    }
    DoWriteData(aText, aSize, aStreaming);
}

void TzefWSConnection::WriteData(rtl::TStream& aStream, int aSize, TwsStreaming aStreaming) {
    TwsQueueMsgLevels Level = FQueueOptions.Binary().Level();
    if (Level != TwsQueueMsgLevels::qmNone) {
        auto Item = std::make_unique<TzefQueueObject>();
        Item->SetOpCode(TOpcode::opBinary);
        Item->SetStream(aStream);
        Item->SetSize(aSize);
        Item->SetStreaming(aStreaming);
        QueueLevel(Level).Push(std::move(Item));
        DoQueued();
        return;
    }
    DoWriteData(aStream, aSize, aStreaming);
}

std::string TzefWSConnection::WriteAndWaitData(const std::string& aText, int aTimeOut) {
    SetMsgReceived({});
    WriteData(aText, 0, TwsStreaming::stmNone);
    if (aTimeOut < 1) {
        return {};
    }
    std::unique_lock Lock(FWaitLock);
    FWaitChange.wait_for(Lock, std::chrono::milliseconds(aTimeOut),
                         [&] { return !FMsgReceived.empty(); });
    return FMsgReceived;
}

void TzefWSConnection::Ping(const std::string& aText) {
    if (FQueueOptions.Ping().Level() != TwsQueueMsgLevels::qmNone) {
        QueuePing(aText);
        DoQueued();
    } else {
        DoPing(aText);
    }
}

bool TzefWSConnection::Ping(const std::string& aText, int aTimeOut) {
    Ping(aText);
    if (aTimeOut <= 0) {
        return false;
    }
    std::unique_lock Lock(FWaitLock);
    return FWaitChange.wait_for(Lock, std::chrono::milliseconds(aTimeOut),
                                [&] { return FPong == aText; });
}

std::string TzefWSConnection::Pong() const {
    std::scoped_lock Lock(FWaitLock);
    return FPong;
}

void TzefWSConnection::SetPong(std::string Value) {
    {
        std::scoped_lock Lock(FWaitLock);
        FPong = std::move(Value);
    }
    NotifyWaiters();
}

void TzefWSConnection::QueuePing(const std::string& aText) {
    auto Item = std::make_unique<TzefQueueObject>();
    Item->SetOpCode(TOpcode::opPing);
    Item->SetText(aText);
    QueueLevel(FQueueOptions.Ping().Level()).Push(std::move(Item));
}

void TzefWSConnection::DoPing(const std::string& /*aText*/) {
    double Stamp = Now();
    if (FFirstPing.load() == 0) {
        FFirstPing = Stamp;
    }
    FLastPing = Stamp;
}

namespace {

bool IsWebSocketTransport(TwsTransport aTransport) {
    return aTransport == TwsTransport::trpRFC6455 || aTransport == TwsTransport::trpFlash ||
           aTransport == TwsTransport::trpRFC8441;
}

} // namespace

void TzefWSConnection::Close(int aCloseCode) {
    SetDisconnected(true);
    if (IsWebSocketTransport(Transport())) {
        WriteClose(aCloseCode);
    } else {
        DoDisconnect("", aCloseCode);
    }
}

void TzefWSConnection::Disconnect(int aCloseCode) {
    SetDisconnected(true);
    DoDisconnect("", aCloseCode);
}

void TzefWSConnection::WriteClose(int /*aCloseCode*/) {
    SetDisconnected(true);
}

void TzefWSConnection::DoDisconnect(const std::string& /*aError*/, int /*aCloseCode*/) {
    SetDisconnected(true);
}

void TzefWSConnection::DoSubscribe(const std::string& aChannels) {
    TzefDelimitedStringList Channels;
    Channels.SetDelimitedText(aChannels);
    for (const std::string& Channel : Channels) {
        if (Subscribed(Channel)) {
            continue;
        }
        EnterCS(0);
        try {
            Subscriptions().Add(Channel);
        } catch (...) {
            LeaveCS(0);
            throw;
        }
        LeaveCS(0);
        if (OnSubscription) {
            OnSubscription(*this, Channel);
        }
    }
}

void TzefWSConnection::DoUnSubscribe(const std::string& aChannels) {
    TzefDelimitedStringList Channels;
    Channels.SetDelimitedText(aChannels);
    for (const std::string& Channel : Channels) {
        bool Removed = false;
        {
            std::scoped_lock Lock(FCSArray[0]);
            int Index = Subscriptions().IndexOf(Channel);
            if (Index >= 0) {
                Subscriptions().Delete(std::size_t(Index));
                Removed = true;
            }
        }
        if (Removed && OnUnSubscription) {
            OnUnSubscription(*this, Channel);
        }
    }
}

bool TzefWSConnection::Subscribed(const std::string& aChannel) {
    if (aChannel.empty()) {
        return true;
    }
    TzefDelimitedStringList Channels;
    Channels.SetDelimitedText(aChannel);
    std::scoped_lock Lock(FCSArray[0]);
    rtl::TStringList& List = Subscriptions();
    return std::any_of(Channels.begin(), Channels.end(),
                       [&](const std::string& Name) { return List.IndexOf(Name) >= 0; });
}

rtl::TStringList& TzefWSConnection::Subscriptions() {
    std::scoped_lock Lock(FCSArray[0]);
    if (!FSubscriptions) {
        FSubscriptions = std::make_unique<rtl::TStringList>();
        // Channel names are exact: "a" and "A" are two channels.
        FSubscriptions->SetCaseSensitive(true);
    }
    return *FSubscriptions;
}

rtl::TStringList& TzefWSConnection::HeadersResponse() {
    if (!FHeadersResponse) {
        FHeadersResponse = std::make_unique<rtl::TStringList>();
    }
    return *FHeadersResponse;
}

// --- Notification objects ---

rtl::TMemoryStream& TzefWSNotifyObject::Stream() {
    if (!FStream) {
        FStream = std::make_unique<rtl::TMemoryStream>();
    }
    return *FStream;
}

void TzefWSObjectList::Push(std::unique_ptr<TzefWSNotifyObject> aObject) {
    std::scoped_lock Lock(FLock);
    FList.push_back(aObject.release()); // Owned by the list until TakeFirst or DeleteAll.
}

void TzefWSObjectList::AddNotifyObject(TzefWSConnection* aConnection) {
    auto Object = std::make_unique<TzefWSNotifyObject>();
    Object->FConnection = aConnection;
    Push(std::move(Object));
}

void TzefWSObjectList::AddNotifyObject(TzefWSConnection* aConnection, const std::string& aText) {
    auto Object = std::make_unique<TzefWSNotifyObject>();
    Object->FConnection = aConnection;
    Object->FText = aText;
    Push(std::move(Object));
}

void TzefWSObjectList::AddNotifyObject(TzefWSConnection* aConnection, const std::string& aText,
                                       const std::string& aText1) {
    auto Object = std::make_unique<TzefWSNotifyObject>();
    Object->FConnection = aConnection;
    Object->FText = aText;
    Object->FText1 = aText1;
    Push(std::move(Object));
}

void TzefWSObjectList::AddNotifyObject(TzefWSConnection* aConnection, int aInt) {
    auto Object = std::make_unique<TzefWSNotifyObject>();
    Object->FConnection = aConnection;
    Object->FInt = aInt;
    Push(std::move(Object));
}

void TzefWSObjectList::AddNotifyObject(TzefWSConnection* aConnection, rtl::TStream& aStream) {
    auto Object = std::make_unique<TzefWSNotifyObject>();
    Object->FConnection = aConnection;
    Object->Stream().LoadFromStream(aStream);
    Push(std::move(Object));
}

void TzefWSObjectList::AddNotifyObject(TzefWSConnection* aConnection, rtl::TStream& aStream,
                                       TOpcode aOpCode, bool aContinuation) {
    auto Object = std::make_unique<TzefWSNotifyObject>();
    Object->FConnection = aConnection;
    Object->Stream().LoadFromStream(aStream);
    Object->FInt = int(aOpCode);
    Object->FContinuation = aContinuation;
    Push(std::move(Object));
}

void TzefWSObjectList::AddNotifyObject(TzefWSConnection* aConnection, const std::string& aText,
                                       std::exception_ptr aException) {
    auto Object = std::make_unique<TzefWSNotifyObject>();
    Object->FConnection = aConnection;
    Object->FText = aText;
    Object->FRawException = std::move(aException);
    Push(std::move(Object));
}

std::unique_ptr<TzefWSNotifyObject> TzefWSObjectList::TakeFirst() {
    std::scoped_lock Lock(FLock);
    if (FList.empty()) {
        return nullptr;
    }
    std::unique_ptr<TzefWSNotifyObject> First(FList.front());
    FList.erase(FList.begin());
    return First;
}

void TzefWSObjectList::DeleteAll() {
    std::vector<TzefWSNotifyObject*> Items;
    {
        std::scoped_lock Lock(FLock);
        Items.swap(FList);
    }
    for (TzefWSNotifyObject* Item : Items) {
        std::unique_ptr<TzefWSNotifyObject> Owned(Item);
    }
}

std::size_t TzefWSObjectList::Count() const {
    std::scoped_lock Lock(FLock);
    return FList.size();
}

// --- TzefWSComponent_Base ---

namespace {

/// The most room of a delivered text copy that a worker thread keeps for the next one.
constexpr std::size_t SpareTextRoom = 64 * 1024;

// A handler's exception as the exception path reports it.
std::string MessageOf(const std::exception_ptr& aException) {
    try {
        if (aException) {
            std::rethrow_exception(aException);
        }
    } catch (const std::exception& E) {
        return E.what();
    } catch (...) {
        // Not an exception object: it has no message, and the report goes on without one.
    }
    return {};
}

} // namespace

TzefWSComponent_Base::TzefWSComponent_Base()
    : FAlive(std::make_shared<TzefWSComponent_Base*>(this)) {
}

TzefWSComponent_Base::~TzefWSComponent_Base() {
    MarkDestroying();
    FAlive.reset();
    // Connections whose disconnect event was still queued were handed over to this
    // component: they would otherwise never be freed.
    if (FNotifyDisconnect) {
        while (auto Entry = FNotifyDisconnect->TakeFirst()) {
            if (Entry->Connection() && !Entry->Connection()->Freed()) {
                Entry->Connection()->MarkFreed();
                std::unique_ptr<TzefWSConnection> Owned(Entry->Connection());
            }
        }
    }
}

TzefWSObjectList& TzefWSComponent_Base::List(std::unique_ptr<TzefWSObjectList>& aSlot) {
    std::scoped_lock Lock(FListCreate);
    if (!aSlot) {
        aSlot = std::make_unique<TzefWSObjectList>();
    }
    return *aSlot;
}

void TzefWSComponent_Base::HandToMainThread(std::function<void()> aDrain) {
    std::weak_ptr<TzefWSComponent_Base*> Alive = FAlive;
    auto Guarded = [Alive, Drain = std::move(aDrain)] {
        if (auto Self = Alive.lock()) {
            Drain();
        }
    };
    if (NotifyEvents() == TwsNotifyEvent::neAsynchronous) {
        rtl::QueueToMainThread(std::move(Guarded));
        return;
    }
    // neSynchronous: wait for the main thread, in bounded steps, so that a component being
    // destroyed never leaves a worker waiting for ever.
    while (!IsDestroying()) {
        if (rtl::SynchronizeWithMainThread(Guarded, std::chrono::milliseconds(100))) {
            return;
        }
    }
}

void TzefWSComponent_Base::Drain(std::unique_ptr<TzefWSObjectList>& aSlot,
                                 const std::function<void(TzefWSNotifyObject&)>& aDeliver) {
    if (IsDestroying()) {
        return;
    }
    TzefWSObjectList& Pending = List(aSlot);
    // The list stays locked while the handlers run: a worker adding to it waits meanwhile.
    Pending.LockList();
    try {
        while (auto Entry = Pending.TakeFirst()) {
            aDeliver(*Entry);
        }
    } catch (...) {
        Pending.UnlockList(); // Pairs with LockList above.
        throw;
    }
    Pending.UnlockList(); // Pairs with LockList above.
}

void TzefWSComponent_Base::DrainConnect() {
    Drain(FNotifyConnect, [this](TzefWSNotifyObject& E) { DoEventConnect(*E.Connection()); });
}

void TzefWSComponent_Base::DrainDisconnect() {
    Drain(FNotifyDisconnect, [this](TzefWSNotifyObject& E) {
        TzefWSConnection* Connection = E.Connection();
        try {
            DoEventDisconnect(*Connection, E.Int());
        } catch (...) {
            // The connection is released whatever the handler did.
        }
        if (!Connection->Freed()) {
            try {
                ReleaseConnection(Connection);
            } catch (...) {
                // Releasing only queues or frees the connection; the drain goes on with the
                // next notification whatever a subclass's release raised.
            }
        }
    });
}

void TzefWSComponent_Base::DrainMessage() {
    Drain(FNotifyMessage,
          [this](TzefWSNotifyObject& E) { DoEventMessage(*E.Connection(), E.Text()); });
}

void TzefWSComponent_Base::DrainBinary() {
    Drain(FNotifyBinary,
          [this](TzefWSNotifyObject& E) { DoEventBinary(*E.Connection(), E.Stream()); });
}

void TzefWSComponent_Base::DrainFragmented() {
    Drain(FNotifyFragmented, [this](TzefWSNotifyObject& E) {
        DoEventFragmented(*E.Connection(), E.Stream(), TOpcode(E.Int()), E.Continuation());
    });
}

void TzefWSComponent_Base::DrainError() {
    Drain(FNotifyError, [this](TzefWSNotifyObject& E) { DoEventError(E.Connection(), E.Text()); });
}

void TzefWSComponent_Base::DrainException() {
    Drain(FNotifyException, [this](TzefWSNotifyObject& E) {
        DoEventException(E.Connection(), E.Text(), E.RawException());
    });
}

void TzefWSComponent_Base::DoNotifyConnect(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
        DoEventConnect(*aConnection);
        return;
    }
    List(FNotifyConnect).AddNotifyObject(aConnection);
    HandToMainThread([this] { DrainConnect(); });
}

void TzefWSComponent_Base::DoNotifyDisconnect(TzefWSConnection* aConnection) {
    if (!aConnection) {
        return;
    }
    if (IsDestroying()) {
        // The transport has let go of it already: without an event it is still released,
        // also when the component began to stop after the transport decided to announce it.
        ReleaseConnection(aConnection);
        return;
    }
    if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
        // The connection is released even when the handler raises (then re-raised).
        std::exception_ptr Failure;
        try {
            DoEventDisconnect(*aConnection, aConnection->CloseCode());
        } catch (...) {
            Failure = std::current_exception();
        }
        ReleaseConnection(aConnection);
        if (Failure) {
            std::rethrow_exception(Failure);
        }
        return;
    }
    List(FNotifyDisconnect).AddNotifyObject(aConnection, aConnection->CloseCode());
    HandToMainThread([this] { DrainDisconnect(); });
}

thread_local TzefWSComponent_Base::TStoredMessage* TzefWSComponent_Base::TStoredMessage::GCurrent =
    nullptr;

TzefWSComponent_Base::TStoredMessage::TStoredMessage(TzefWSConnection& aConnection,
                                                     const std::string& aText) noexcept
    : FConnection(&aConnection)
    , FText(&aText)
    , FChanges(aConnection.MsgReceivedChanges())
    , FPrevious(GCurrent) {
    GCurrent = this;
}

TzefWSComponent_Base::TStoredMessage::~TStoredMessage() {
    GCurrent = FPrevious;
}

const std::string*
TzefWSComponent_Base::TStoredMessage::Take(const TzefWSConnection* aConnection) noexcept {
    TStoredMessage* Current = GCurrent;
    if (Current == nullptr || Current->FConnection != aConnection) {
        return nullptr;
    }
    const std::string* Text = Current->FText;
    Current->FText = nullptr;
    // A handler that ran before (a raw-message handler, say) may have set MsgReceived since.
    return aConnection->MsgReceivedChanges() == Current->FChanges ? Text : nullptr;
}

void TzefWSComponent_Base::DoNotifyMessage(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
        if (const std::string* Stored = TStoredMessage::Take(aConnection)) {
            DoEventMessage(*aConnection, *Stored);
            return;
        }
        // The handler gets a copy (another thread may change MsgReceived while it runs) made
        // in the room of this thread's previous one; a delivery nested in the handler finds
        // the room taken and makes its own.
        thread_local std::string Spare;
        std::string Text = std::move(Spare);
        aConnection->CopyMsgReceived(Text);
        DoEventMessage(*aConnection, Text);
        if (Text.capacity() <= SpareTextRoom) {
            Text.clear();
            Spare = std::move(Text);
        }
        return;
    }
    List(FNotifyMessage).AddNotifyObject(aConnection, aConnection->MsgReceived());
    HandToMainThread([this] { DrainMessage(); });
}

void TzefWSComponent_Base::DoNotifyBinary(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
        DoEventBinary(*aConnection, aConnection->MsgBinaryReceived());
        return;
    }
    List(FNotifyBinary).AddNotifyObject(aConnection, aConnection->MsgBinaryReceived());
    HandToMainThread([this] { DrainBinary(); });
}

void TzefWSComponent_Base::DoNotifyFragmented(TzefWSConnection* aConnection,
                                              rtl::TMemoryStream& aStream, TOpcode aOpCode,
                                              bool aContinuation) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
        DoEventFragmented(*aConnection, aStream, aOpCode, aContinuation);
        return;
    }
    List(FNotifyFragmented).AddNotifyObject(aConnection, aStream, aOpCode, aContinuation);
    HandToMainThread([this] { DrainFragmented(); });
}

void TzefWSComponent_Base::DoNotifyError(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
        DoEventError(aConnection, aConnection->MsgError());
        return;
    }
    List(FNotifyError).AddNotifyObject(aConnection, aConnection->MsgError());
    HandToMainThread([this] { DrainError(); });
}

void TzefWSComponent_Base::DoNotifyException(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
        DoEventException(aConnection, aConnection->MsgException(), aConnection->RawException());
        return;
    }
    List(FNotifyException)
        .AddNotifyObject(aConnection, aConnection->MsgException(), aConnection->RawException());
    HandToMainThread([this] { DrainException(); });
}

void TzefWSComponent_Base::DoError(TzefWSConnection* aConnection, const std::string& aError) {
    if (IsDestroying()) {
        return;
    }
    try {
        if (OnError && aConnection) {
            aConnection->SetMsgError(aError);
            DoNotifyError(aConnection);
        } else if (OnError) {
            DoEventError(nullptr, aError);
        }
    } catch (...) {
        // The error path reports; it never raises itself.
    }
    try {
        if (aConnection) {
            aConnection->AbortConnection();
        }
    } catch (...) {
        // Dropping a transport that is already broken may fail again; the connection is
        // ended either way, and the error path never raises itself.
    }
}

void TzefWSComponent_Base::DoException(TzefWSConnection* aConnection, const std::string& aMessage,
                                       std::exception_ptr aException) {
    if (IsDestroying()) {
        return;
    }
    try {
        if (OnException && aConnection) {
            aConnection->SetMsgException(aMessage);
            aConnection->SetRawException(aException);
            DoNotifyException(aConnection);
        } else if (OnException) {
            DoEventException(nullptr, aMessage, aException);
        }
    } catch (...) {
        // The exception path reports; it never raises itself.
    }
    try {
        if (aConnection) {
            aConnection->AbortConnection();
        }
    } catch (...) {
        // Dropping a transport that is already broken may fail again; the connection is
        // ended either way, and the error path never raises itself.
    }
}

void TzefWSComponent_Base::ReleaseConnection(TzefWSConnection* aConnection) {
    if (aConnection) {
        aConnection->MarkFreed();
        std::unique_ptr<TzefWSConnection> Owned(aConnection);
    }
}

void TzefWSComponent_Base::DoEventConnect(TzefWSConnection& aConnection) {
    if (OnConnect) {
        OnConnect(aConnection);
    }
}

void TzefWSComponent_Base::DoEventDisconnect(TzefWSConnection& aConnection, int aCode) {
    if (OnDisconnect) {
        OnDisconnect(aConnection, aCode);
    }
}

void TzefWSComponent_Base::DoEventMessage(TzefWSConnection& aConnection, const std::string& aText) {
    if (QueueMessages()) {
        List(FQueueMessage).AddNotifyObject(&aConnection, aText);
    } else if (OnMessage) {
        OnMessage(aConnection, aText);
    }
}

void TzefWSComponent_Base::DoEventBinary(TzefWSConnection& aConnection,
                                         rtl::TMemoryStream& aStream) {
    if (QueueMessages()) {
        List(FQueueBinary).AddNotifyObject(&aConnection, aStream);
    } else if (OnBinary) {
        aStream.SetPosition(0);
        OnBinary(aConnection, aStream);
    }
}

void TzefWSComponent_Base::DoEventFragmented(TzefWSConnection& aConnection,
                                             rtl::TMemoryStream& aStream, TOpcode aOpCode,
                                             bool aContinuation) {
    if (QueueMessages()) {
        List(FQueueFragmented).AddNotifyObject(&aConnection, aStream, aOpCode, aContinuation);
    } else if (OnFragmented) {
        aStream.SetPosition(0);
        OnFragmented(aConnection, aStream, aOpCode, aContinuation);
    }
}

void TzefWSComponent_Base::DoEventError(TzefWSConnection* aConnection, const std::string& aError) {
    if (OnError) {
        OnError(aConnection, aError);
    }
}

void TzefWSComponent_Base::DoEventException(TzefWSConnection* aConnection,
                                            const std::string& aMessage,
                                            std::exception_ptr aException) {
    if (!OnException) {
        return;
    }
    if (aException) {
        try {
            std::rethrow_exception(aException);
        } catch (const std::exception& E) {
            if (std::string_view(E.what()).empty()) {
                OnException(aConnection, TzefWSException(aMessage));
            } else {
                OnException(aConnection, E);
            }
            return;
        } catch (...) {
            // Not a std::exception: reported as a plain one carrying the message.
        }
    }
    OnException(aConnection, TzefWSException(aMessage.empty() ? MessageOf(aException) : aMessage));
}

void TzefWSComponent_Base::SetQueueMessages(bool Value) {
    if (FQueueProcessing.load()) {
        return;
    }
    FQueueMessages = Value;
    if (!Value) {
        FQueueProcessing = true;
        DoQueueMessages();
    }
}

void TzefWSComponent_Base::DoQueueMessages() {
    if (!FQueueProcessing.load()) {
        return;
    }
    try {
        // Held fragments are delivered after the binaries so that none is lost.
        for (auto* Slot : {&FQueueMessage, &FQueueBinary, &FQueueFragmented}) {
            TzefWSObjectList& Held = List(*Slot);
            while (auto Entry = Held.TakeFirst()) {
                if (Slot == &FQueueMessage) {
                    DoEventMessage(*Entry->Connection(), Entry->Text());
                } else if (Slot == &FQueueBinary) {
                    DoEventBinary(*Entry->Connection(), Entry->Stream());
                } else {
                    DoEventFragmented(*Entry->Connection(), Entry->Stream(), TOpcode(Entry->Int()),
                                      Entry->Continuation());
                }
            }
        }
    } catch (...) {
        FQueueProcessing = false;
        throw;
    }
    FQueueProcessing = false;
}

void TzefWSComponent_Base::DoQueueClear() {
    List(FQueueMessage).DeleteAll();
    List(FQueueBinary).DeleteAll();
    List(FQueueFragmented).DeleteAll();
}

// --- TzefWSProtocol ---

TzefWSProtocol::~TzefWSProtocol() {
    MarkDestroying();
    SetComponent(nullptr);
}

void TzefWSProtocol::SetComponent(TzefWSComponent* aComponent) {
    if (FComponent == aComponent) {
        return;
    }
    if (FComponent) {
        FComponent->RemoveProtocolObject(*this);
    }
    FComponent = aComponent;
    if (FComponent) {
        FComponent->AddProtocolObject(*this);
    }
}

std::string TzefWSProtocol::DoPostRequest(TzefWSConnection& /*aConnection*/,
                                          const std::string& /*aArgument*/,
                                          const std::string& /*aBody*/) {
    return {};
}

// --- TzefWSComponent ---

TzefWSComponent::TzefWSComponent() = default;

TzefWSComponent::~TzefWSComponent() {
    MarkDestroying();
    FreeTimers();
    std::vector<std::unique_ptr<TzefWSProtocol>> Owned;
    std::vector<TzefWSProtocol*> Attached;
    {
        std::scoped_lock Lock(FProtocolLock);
        Owned.swap(FOwnedProtocols);
        Attached = FProtocolObjectList;
    }
    for (TzefWSProtocol* Object : Attached) {
        Object->SetComponent(nullptr);
    }
}

void TzefWSComponent::FreeTimers() {
    std::unique_ptr<TzefTimer> HeartBeat, Timeout, WatchDog;
    {
        std::scoped_lock Lock(FTimerLock);
        HeartBeat = std::move(FHeartBeatTimer);
        Timeout = std::move(FHeartBeatTimeoutTimer);
        WatchDog = std::move(FWatchDogTimer);
    }
    // Freed outside the lock: a running tick may be waiting for it.
}

void TzefWSComponent::SetNotifyEvents(TwsNotifyEvent Value) {
    TzefWSComponent_Base::SetNotifyEvents(Value);
    std::scoped_lock Lock(FTimerLock);
    for (auto* Timer :
         {FHeartBeatTimer.get(), FHeartBeatTimeoutTimer.get(), FWatchDogTimer.get()}) {
        if (Timer) {
            Timer->SetNotifyEvents(Value);
        }
    }
}

void TzefWSComponent::RegisterProtocol(const std::string& aProtocol) {
    auto Object = std::make_unique<TzefWSProtocol>();
    Object->SetProtocol(aProtocol);
    Object->OnConnect = OnConnect;
    Object->OnDisconnect = OnDisconnect;
    Object->OnMessage = OnMessage;
    Object->OnBinary = OnBinary;
    Object->OnFragmented = OnFragmented;
    Object->OnError = OnError;
    Object->OnException = OnException;
    TzefWSProtocol& Added = *Object;
    {
        std::scoped_lock Lock(FProtocolLock);
        FOwnedProtocols.push_back(std::move(Object));
    }
    Added.SetComponent(this);
}

void TzefWSComponent::UnRegisterProtocol(const std::string& aProtocol) {
    std::vector<TzefWSProtocol*> Matches;
    {
        std::scoped_lock Lock(FProtocolLock);
        for (auto It = FProtocolObjectList.rbegin(); It != FProtocolObjectList.rend(); ++It) {
            if ((*It)->Protocol() == aProtocol) {
                Matches.push_back(*It);
            }
        }
    }
    for (TzefWSProtocol* Object : Matches) {
        Object->SetComponent(nullptr);
        std::unique_ptr<TzefWSProtocol> Freed;
        {
            std::scoped_lock Lock(FProtocolLock);
            auto It = std::find_if(FOwnedProtocols.begin(), FOwnedProtocols.end(),
                                   [Object](const auto& P) { return P.get() == Object; });
            if (It != FOwnedProtocols.end()) {
                Freed = std::move(*It);
                FOwnedProtocols.erase(It);
            }
        }
    }
}

std::string TzefWSComponent::GetProtocols() {
    TzefDelimitedStringList Result;
    std::scoped_lock Lock(FProtocolLock);
    for (TzefWSProtocol* Object : FProtocolObjectList) {
        if (Object->Protocol() == BrokerProtocolName) {
            Result.Add(std::string(BrokerProtocolName));
            break;
        }
    }
    for (TzefWSProtocol* Object : FProtocolObjectList) {
        if (Object->Protocol() == BrokerProtocolName) {
            continue;
        }
        TzefDelimitedStringList Items;
        Items.SetDelimitedText(Object->Protocol());
        for (const std::string& Item : Items) {
            Result.Add(Object->Guid().empty() ? Item : Object->Guid() + "." + Item);
        }
    }
    std::string Text;
    for (std::size_t I = 0; I < Result.Count(); ++I) {
        Text += (I ? "," : "") + Result[I];
    }
    return Text;
}

bool TzefWSComponent::IsProtocolMatch(const std::string& aProtocol, const TzefWSProtocol& aObject) {
    const std::string& Protocol = aObject.Protocol();
    if (aProtocol == aObject.Guid() + "." + Protocol || aProtocol == Protocol) {
        return true;
    }
    if (Protocol.find(',') == std::string::npos) {
        return false;
    }
    TzefDelimitedStringList Items;
    Items.SetDelimitedText(Protocol);
    for (const std::string& Item : Items) {
        if (aProtocol == aObject.Guid() + "." + Item || rtl::SameText(aProtocol, Item)) {
            return true;
        }
    }
    return false;
}

void TzefWSComponent::AddProtocolObject(TzefWSProtocol& aObject) {
    aObject.SetNotifyEvents(NotifyEvents());
    std::scoped_lock Lock(FProtocolLock);
    FProtocolObjectList.push_back(&aObject);
}

void TzefWSComponent::RemoveProtocolObject(TzefWSProtocol& aObject) {
    std::scoped_lock Lock(FProtocolLock);
    std::erase(FProtocolObjectList, &aObject);
}

std::vector<TzefWSProtocol*> TzefWSComponent::MatchingProtocols(const std::string& aProtocol) {
    std::vector<TzefWSProtocol*> Objects;
    {
        std::scoped_lock Lock(FProtocolLock);
        Objects = FProtocolObjectList;
    }
    std::erase_if(Objects, [&](TzefWSProtocol* O) { return !IsProtocolMatch(aProtocol, *O); });
    return Objects;
}

// Routing: a connection with a sub-protocol belongs to the matching protocol objects; one
// without goes to the API object when set, else to the component's own events.

void TzefWSComponent::DoNotifyConnect(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (!aConnection->Protocol().empty()) {
        for (TzefWSProtocol* Object : MatchingProtocols(aConnection->Protocol())) {
            Object->DoNotifyConnect(aConnection);
        }
        return;
    }
    if (TzefWSAPI* Api = FAPI) {
        Api->DoNotifyConnect(aConnection);
        if (!Api->RawMessages()) {
            return;
        }
    }
    TzefWSComponent_Base::DoNotifyConnect(aConnection);
}

void TzefWSComponent::DoNotifyDisconnect(TzefWSConnection* aConnection) {
    if (!aConnection) {
        return;
    }
    if (IsDestroying()) {
        ReleaseConnection(aConnection); // No event while stopping, but never a leak.
        return;
    }
    if (!aConnection->Protocol().empty()) {
        auto Objects = MatchingProtocols(aConnection->Protocol());
        if (Objects.empty() &&
            aConnection->Protocol().find(BrokerProtocolName) != std::string::npos) {
            Objects = MatchingProtocols(std::string(BrokerProtocolName));
        }
        if (!Objects.empty()) {
            // The protocol object delivers the event; the release stays with this component,
            // which owns the connection.
            Objects.front()->DoEventDisconnect(*aConnection, aConnection->CloseCode());
            ReleaseConnection(aConnection);
            return;
        }
        TzefWSComponent_Base::DoNotifyDisconnect(aConnection);
        return;
    }
    if (TzefWSAPI* Api = FAPI) {
        Api->DoEventDisconnect(*aConnection, aConnection->CloseCode());
        if (!Api->RawMessages()) {
            ReleaseConnection(aConnection);
            return;
        }
    }
    TzefWSComponent_Base::DoNotifyDisconnect(aConnection);
}

void TzefWSComponent::DoNotifyMessage(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (!aConnection->Protocol().empty()) {
        for (TzefWSProtocol* Object : MatchingProtocols(aConnection->Protocol())) {
            Object->DoNotifyMessage(aConnection);
        }
        return;
    }
    if (TzefWSAPI* Api = FAPI) {
        if (Api->RawMessages()) {
            if (Api->OnRawMessage) {
                bool Handled = false;
                Api->OnRawMessage(*aConnection, aConnection->MsgReceived(), Handled);
            }
        } else {
            Api->DoNotifyMessage(aConnection);
            return;
        }
    }
    TzefWSComponent_Base::DoNotifyMessage(aConnection);
}

void TzefWSComponent::DoNotifyBinary(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (!aConnection->Protocol().empty()) {
        for (TzefWSProtocol* Object : MatchingProtocols(aConnection->Protocol())) {
            Object->DoNotifyBinary(aConnection);
        }
        return;
    }
    if (FAPI && !FAPI->RawMessages()) {
        FAPI->DoNotifyBinary(aConnection);
        return;
    }
    TzefWSComponent_Base::DoNotifyBinary(aConnection);
}

void TzefWSComponent::DoNotifyFragmented(TzefWSConnection* aConnection, rtl::TMemoryStream& aStream,
                                         TOpcode aOpCode, bool aContinuation) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (!aConnection->Protocol().empty()) {
        for (TzefWSProtocol* Object : MatchingProtocols(aConnection->Protocol())) {
            Object->DoNotifyFragmented(aConnection, aStream, aOpCode, aContinuation);
        }
        return;
    }
    if (FAPI && !FAPI->RawMessages()) {
        FAPI->DoNotifyFragmented(aConnection, aStream, aOpCode, aContinuation);
        return;
    }
    TzefWSComponent_Base::DoNotifyFragmented(aConnection, aStream, aOpCode, aContinuation);
}

void TzefWSComponent::DoNotifyError(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (!aConnection->Protocol().empty()) {
        for (TzefWSProtocol* Object : MatchingProtocols(aConnection->Protocol())) {
            Object->DoNotifyError(aConnection);
        }
        return;
    }
    if (FAPI && !FAPI->RawMessages()) {
        FAPI->DoNotifyError(aConnection);
        return;
    }
    TzefWSComponent_Base::DoNotifyError(aConnection);
}

void TzefWSComponent::DoNotifyException(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (!aConnection->Protocol().empty()) {
        for (TzefWSProtocol* Object : MatchingProtocols(aConnection->Protocol())) {
            Object->DoNotifyException(aConnection);
        }
        return;
    }
    if (FAPI && !FAPI->RawMessages()) {
        FAPI->DoNotifyException(aConnection);
        return;
    }
    TzefWSComponent_Base::DoNotifyException(aConnection);
}

void TzefWSComponent::DoEventConnect(TzefWSConnection& aConnection) {
    StopWatchDog();
    FWatchDogAttempts = 0;
    TzefWSComponent_Base::DoEventConnect(aConnection);
}

void TzefWSComponent::DoNotifyHandshake(TzefWSConnection& aConnection) {
    if (IsDestroying()) {
        return;
    }
    if (NotifyEvents() == TwsNotifyEvent::neNoSync) {
        DoEventHandshake(aConnection, aConnection.HeadersResponse());
        return;
    }
    // The answer must not go out before the application has edited it: wait in every mode.
    std::exception_ptr Failure;
    auto Raise = [&] {
        try {
            DoEventHandshake(aConnection, aConnection.HeadersResponse());
        } catch (...) {
            Failure = std::current_exception();
        }
    };
    while (!IsDestroying()) {
        if (rtl::SynchronizeWithMainThread(Raise, std::chrono::milliseconds(100))) {
            break;
        }
    }
    if (Failure) {
        std::rethrow_exception(Failure);
    }
}

void TzefWSComponent::DoEventHandshake(TzefWSConnection& aConnection, rtl::TStringList& aHeaders) {
    if (OnHandshake) {
        OnHandshake(aConnection, aHeaders);
    }
}

void TzefWSComponent::ProcessQueues(TzefWSConnection* aConnection) {
    if (!aConnection || !aConnection->Enabled()) {
        return;
    }
    // One flush at a time per connection, so that its writes leave in the order they were
    // queued. A flush asked for while another runs is not waited for: the running one goes
    // round again and sends what was queued meanwhile.
    std::atomic<int>& Requests = aConnection->FFlushRequests;
    std::atomic<std::thread::id>& Owner = aConnection->FFlushOwner;
    Requests.fetch_add(1);
    if (Owner.load() == std::this_thread::get_id()) {
        return; // Inside this thread's own flush: it goes round again.
    }
    while (true) {
        int Seen = 0;
        {
            std::unique_lock Flush(aConnection->FFlushLock, std::try_to_lock);
            if (!Flush.owns_lock()) {
                return;
            }
            // The owner mark goes before the lock does, however the flush ends (a write may
            // raise).
            struct TOwned {
                std::atomic<std::thread::id>& Owner;
                ~TOwned() { Owner = std::thread::id(); }
            } Owned{Owner};
            Owner = std::this_thread::get_id();
            Seen = Requests.load();
            aConnection->FQueuedSinceFlush = false;
            for (auto Level : {TwsQueueMsgLevels::qmLevel0, TwsQueueMsgLevels::qmLevel1,
                               TwsQueueMsgLevels::qmLevel2}) {
                ProcessQueue(*aConnection, aConnection->QueueLevel(Level));
            }
        }
        if (Requests.compare_exchange_strong(Seen, 0)) {
            return;
        }
    }
}

void TzefWSComponent::ProcessQueue(TzefWSConnection& aConnection, TzefQueueList& aQueue) {
    // Items queued while these are sent wait for the next flush.
    for (const auto& Item : aQueue.TakeAll()) {
        switch (Item->OpCode()) {
        case TOpcode::opText:
            aConnection.DoWriteData(Item->Text(), Item->Size(), Item->Streaming());
            break;
        case TOpcode::opBinary:
            if (Item->Stream()) {
                aConnection.DoWriteData(*Item->Stream(), Item->Size(), Item->Streaming());
            }
            break;
        case TOpcode::opPing:
            aConnection.DoPing(Item->Text());
            break;
        default:
            break;
        }
    }
}

void TzefWSComponent::StartHeartBeat() {
    if (!FHeartBeat.Enabled()) {
        return;
    }
    std::scoped_lock Lock(FTimerLock);
    if (!FHeartBeatTimer) {
        FHeartBeatTimer = std::make_unique<TzefTimer>();
        FHeartBeatTimer->SetNotifyEvents(NotifyEvents());
        FHeartBeatTimer->SetOnTimer([this](TzefTimer&) { DoHeartBeat(); });
        FHeartBeatTimer->SetOnException(
            [this](TzefTimer&, const std::exception& E) { DoHeartBeatException(E); });
    }
    int Interval = FHeartBeat.Interval() * 1000;
    FHeartBeatTimer->SetInterval(Interval);
    if (Interval > 0 && !FHeartBeatTimer->Enabled()) {
        FHeartBeatTimer->SetEnabled(true);
    }
}

void TzefWSComponent::StopHeartBeat() {
    std::scoped_lock Lock(FTimerLock);
    if (FHeartBeatTimer) {
        FHeartBeatTimer->SetEnabled(false);
    }
}

void TzefWSComponent::StartHeartBeatTimeout() {
    if (FHeartBeat.Timeout() < 1) {
        return;
    }
    std::scoped_lock Lock(FTimerLock);
    if (!FHeartBeatTimeoutTimer) {
        FHeartBeatTimeoutTimer = std::make_unique<TzefTimer>();
        FHeartBeatTimeoutTimer->SetInterval(FHeartBeat.Timeout() * 1000);
        FHeartBeatTimeoutTimer->SetNotifyEvents(NotifyEvents());
        FHeartBeatTimeoutTimer->SetOnTimer([this](TzefTimer&) { DoHeartBeatTimeout(); });
        FHeartBeatTimeoutTimer->SetOnException(
            [this](TzefTimer&, const std::exception& E) { DoHeartBeatTimeoutException(E); });
    }
    if (!FHeartBeatTimeoutTimer->Enabled()) {
        FHeartBeatTimeoutTimer->SetEnabled(true);
    }
}

void TzefWSComponent::StopHeartBeatTimeout() {
    std::scoped_lock Lock(FTimerLock);
    if (FHeartBeatTimeoutTimer) {
        FHeartBeatTimeoutTimer->SetEnabled(false);
    }
}

void TzefWSComponent::StartWatchDog() {
    if (!FWatchDog.Enabled()) {
        return;
    }
    std::scoped_lock Lock(FTimerLock);
    if (!FWatchDogTimer) {
        FWatchDogTimer = std::make_unique<TzefTimer>();
        FWatchDogTimer->SetNotifyEvents(NotifyEvents());
        FWatchDogTimer->SetOnTimer([this](TzefTimer&) { DoWatchDog(); });
        FWatchDogTimer->SetOnException(
            [this](TzefTimer&, const std::exception& E) { DoWatchDogException(E); });
    }
    int Interval = FWatchDog.Interval() * 1000;
    FWatchDogTimer->SetInterval(Interval);
    if (Interval > 0 && !FWatchDogTimer->Enabled()) {
        FWatchDogTimer->SetEnabled(true);
    }
}

void TzefWSComponent::StopWatchDog() {
    std::unique_ptr<TzefTimer> Timer;
    {
        std::scoped_lock Lock(FTimerLock);
        Timer = std::move(FWatchDogTimer);
    }
    if (Timer) {
        Timer->SetEnabled(false);
    }
    // Freed here, outside the lock (from its own tick the thread ends by itself).
}

void TzefWSComponent::DoWatchDog() {
    if (FWatchDog.Attempts() >= 1) {
        if (++FWatchDogAttempts >= FWatchDog.Attempts()) {
            StopWatchDog();
        }
    }
}

TzefTimer* TzefWSComponent::HeartBeatTimer() {
    std::scoped_lock Lock(FTimerLock);
    return FHeartBeatTimer.get();
}

TzefTimer* TzefWSComponent::HeartBeatTimeoutTimer() {
    std::scoped_lock Lock(FTimerLock);
    return FHeartBeatTimeoutTimer.get();
}

TzefTimer* TzefWSComponent::WatchDogTimer() {
    std::scoped_lock Lock(FTimerLock);
    return FWatchDogTimer.get();
}

// --- Registry classes ---

void TzefQueueItemConnection::SetConnection(TzefWSConnection* Value) {
    FConnection = Value;
    SetID(Value ? Value->Guid() : std::string());
}

void TzefQueueItemChannel::SetConnection(TzefWSConnection* Value) {
    FConnection = Value;
    SetID(Value ? Value->Guid() : std::string());
}

TzefWSConnection* TzefCacheQueueListConnections::GetConnection(const std::string& aGuid) {
    auto* Item = dynamic_cast<TzefQueueItemConnection*>(GetItem(aGuid));
    return Item ? Item->Connection() : nullptr;
}

void TzefQueueListChannels::GetChannels(const std::string& aID,
                                        std::vector<TzefQueueItemBase*>& aList) {
    std::scoped_lock Lock(FLock);
    for (auto It = FList.rbegin(); It != FList.rend(); ++It) {
        if (TzefQueueItemBase* Item = (*It)->GetItem(aID)) {
            aList.push_back(Item);
        }
    }
}

void TzefQueueListChannels::GetConnections(const std::string& aChannel,
                                           std::vector<TzefWSConnection*>& aList) {
    std::scoped_lock Lock(FLock);
    TzefQueueNameBase& Channel = GetQueueByName(aChannel);
    for (std::size_t I = Channel.Count(); I-- > 0;) {
        if (auto* Item = dynamic_cast<TzefQueueItemChannel*>(Channel.GetItem(I))) {
            aList.push_back(Item->Connection());
        }
    }
}

// --- TzefConnectionsFreeList ---

void TzefConnectionsFreeList::Add(TzefWSConnection* aConnection, TClock::time_point aQueued) {
    std::scoped_lock Lock(FLock);
    FList.push_back(aConnection);
    try {
        FQueued.push_back(aQueued);
    } catch (...) {
        FList.pop_back(); // Left with the caller, as if never added.
        throw;
    }
}

void TzefConnectionsFreeList::FreeQueuedUpTo(TClock::time_point aCutoff) {
    std::vector<TzefWSConnection*> Due;
    {
        std::scoped_lock Lock(FLock);
        std::size_t N = 0;
        while (N < FQueued.size() && FQueued[N] <= aCutoff) {
            ++N;
        }
        if (N == 0) {
            return;
        }
        Due.assign(FList.begin(), FList.begin() + std::ptrdiff_t(N));
        FList.erase(FList.begin(), FList.begin() + std::ptrdiff_t(N));
        FQueued.erase(FQueued.begin(), FQueued.begin() + std::ptrdiff_t(N));
    }
    // Freed outside the lock: a connection's destructor must not stall the next release.
    for (TzefWSConnection* Connection : Due) {
        Dispose(Connection);
    }
}

void TzefConnectionsFreeList::Clear() {
    std::scoped_lock Lock(FLock);
    FQueued.clear();
    TzefQueueCommonT<TzefWSConnection>::Clear();
}

// --- TzefWSComponent_Server ---

TzefWSComponent_Server::TzefWSComponent_Server() {
    SetNotifyEvents(TwsNotifyEvent::neNoSync);
}

void TzefWSComponent_Server::SetConnectionsFreeGrace(std::chrono::milliseconds Value) {
    FConnectionsFreeGrace = std::max(Value, std::chrono::milliseconds(0));
}

TzefWSComponent_Server::TRegistryUse::TRegistryUse(TzefWSComponent_Server& aOwner)
    : FOwner(aOwner) {
    // Stamped before the registry is looked at: every connection it can find was released,
    // if at all, after this time.
    std::scoped_lock Lock(FOwner.FUsesLock);
    FEntry = FOwner.FUses.insert(TzefConnectionsFreeList::TClock::now());
}

TzefWSComponent_Server::TRegistryUse::~TRegistryUse() {
    std::scoped_lock Lock(FOwner.FUsesLock);
    FOwner.FUses.erase(FEntry);
}

TzefConnectionsFreeList::TClock::time_point
TzefWSComponent_Server::FreeCutoff(TzefConnectionsFreeList::TClock::time_point aNow) {
    auto Cutoff = aNow - FConnectionsFreeGrace.load();
    std::scoped_lock Lock(FUsesLock);
    if (!FUses.empty()) {
        // Strictly before the oldest use began: one released at that very tick may be in use.
        Cutoff = std::min(Cutoff, *FUses.begin() - TzefConnectionsFreeList::TClock::duration(1));
    }
    return Cutoff;
}

TzefWSComponent_Server::~TzefWSComponent_Server() {
    MarkDestroying();
    std::unique_ptr<TzefTimer> Timer;
    {
        std::scoped_lock Lock(FTimerLock);
        Timer = std::move(FConnectionsFreeTimer);
    }
    Timer.reset();
    FConnectionsFree.Clear();
}

void TzefWSComponent_Server::SetNotifyEvents(TwsNotifyEvent Value) {
    TzefWSComponent::SetNotifyEvents(Value);
    std::scoped_lock Lock(FTimerLock);
    if (FConnectionsFreeTimer) {
        FConnectionsFreeTimer->SetNotifyEvents(Value);
    }
}

TzefCacheQueueListConnections& TzefWSComponent_Server::Connections() {
    std::scoped_lock Lock(FRegistryCreate);
    if (!FConnections) {
        FConnections = std::make_unique<TzefCacheQueueListConnections>();
        FConnections->SetCacheSize(FOptimizations.Connections().CacheSize());
        FConnections->SetGroupLevel(FOptimizations.Connections().GroupLevel());
    }
    return *FConnections;
}

TzefQueueListChannels& TzefWSComponent_Server::Channels() {
    std::scoped_lock Lock(FRegistryCreate);
    if (!FChannels) {
        FChannels = std::make_unique<TzefQueueListChannels>();
    }
    return *FChannels;
}

void TzefWSComponent_Server::DoNotifyConnect(TzefWSConnection* aConnection) {
    if (IsDestroying() || !aConnection) {
        return;
    }
    if (FOptimizations.Connections().Enabled()) {
        auto Item = std::make_unique<TzefQueueItemConnection>();
        Item->SetConnection(aConnection);
        Connections().AddItem(Item.release()); // The cache's store owns its items.
    }
    TzefWSComponent::DoNotifyConnect(aConnection);
}

void TzefWSComponent_Server::DoNotifyDisconnect(TzefWSConnection* aConnection) {
    if (!aConnection) {
        return;
    }
    // Out of the caches also while stopping: no lookup may find a released connection.
    std::string Guid = aConnection->Guid();
    if (FOptimizations.Channels().Enabled()) {
        Channels().DeleteItem(Guid);
    }
    if (FOptimizations.Connections().Enabled()) {
        Connections().DeleteItem(Guid);
    }
    TzefWSComponent::DoNotifyDisconnect(aConnection);
}

void TzefWSComponent_Server::ReleaseConnection(TzefWSConnection* aConnection) {
    if (!aConnection) {
        return;
    }
    if (FOptimizations.ConnectionsFree().Enabled()) {
        // Each release also frees the queued connections past their grace time, so the list
        // holds the churn of one grace time, never of a whole timer interval.
        const auto Now = TzefConnectionsFreeList::TClock::now();
        FConnectionsFree.FreeQueuedUpTo(FreeCutoff(Now));
        FConnectionsFree.Add(aConnection, Now); // Owned by the list from now on.
        return;
    }
    TzefWSComponent::ReleaseConnection(aConnection);
}

bool TzefWSComponent_Server::DoUnknownProtocol(TzefWSConnection& aConnection) {
    bool Accept = false;
    if (OnUnknownProtocol) {
        OnUnknownProtocol(aConnection, Accept);
    }
    return Accept;
}

void TzefWSComponent_Server::StartConnectionsFree() {
    if (!FOptimizations.ConnectionsFree().Enabled()) {
        return;
    }
    std::scoped_lock Lock(FTimerLock);
    if (!FConnectionsFreeTimer) {
        FConnectionsFreeTimer = std::make_unique<TzefTimer>();
        FConnectionsFreeTimer->SetInterval(FOptimizations.ConnectionsFree().Interval() * 1000);
        FConnectionsFreeTimer->SetNotifyEvents(NotifyEvents());
        FConnectionsFreeTimer->SetOnTimer([this](TzefTimer&) { DoConnectionsFreeTimer(); });
        FConnectionsFreeTimer->SetOnException(
            [this](TzefTimer&, const std::exception& E) { DoConnectionsFreeException(E); });
    }
    FConnectionsFreeTimer->SetEnabled(true);
}

void TzefWSComponent_Server::StopConnectionsFree() {
    std::unique_ptr<TzefTimer> Timer;
    {
        std::scoped_lock Lock(FTimerLock);
        Timer = std::move(FConnectionsFreeTimer);
    }
    Timer.reset(); // Waits for a running tick.
    // Also without a timer: a connection released while the component was stopping waits here.
    FConnectionsFree.Clear();
}

TzefTimer* TzefWSComponent_Server::ConnectionsFreeTimer() {
    std::scoped_lock Lock(FTimerLock);
    return FConnectionsFreeTimer.get();
}

void TzefWSComponent_Server::DoConnectionsFreeTimer() {
    // Not all of them: one released a moment ago may still be in use by a send that found it
    // in the registry just before it ended. Those go with a later release or tick.
    FConnectionsFree.FreeQueuedUpTo(FreeCutoff(TzefConnectionsFreeList::TClock::now()));
}

void TzefWSComponent_Server::DoConnectionsFreeException(const std::exception& E) {
    DoEventException(nullptr, E.what(), std::make_exception_ptr(TzefWSException(E.what())));
}

} // namespace zef
