// zefWebSocket_Classes: the WebSocket connection and the handshake's base view.
#include "websocket/core/zefWebSocket_Classes.h"

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

} // namespace zef
