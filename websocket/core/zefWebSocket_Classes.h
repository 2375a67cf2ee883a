// zefWebSocket_Classes: the WebSocket connection (state, options, send queues, subscriptions,
// write, ping and close operations) and the handshake's base view.
#pragma once

#include "platform/rtl/Stream.h"
#include "platform/rtl/StringList.h"
#include "websocket/core/zefBase_Classes.h"
#include "websocket/core/zefTCP_Classes.h"
#include "websocket/core/zefWebSocket_Classes_Queues.h"
#include "websocket/core/zefWebSocket_Extensions.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zef {

/// The queue level of one kind of write.
class TzefWSQueue {
public:
    void Assign(const TzefWSQueue& Source) { FLevel = Source.FLevel; }
    TwsQueueMsgLevels Level() const { return FLevel; }
    void SetLevel(TwsQueueMsgLevels Value) { FLevel = Value; }

private:
    TwsQueueMsgLevels FLevel = TwsQueueMsgLevels::qmNone;
};

/// Which queue level text, binary and ping writes use (qmNone: sent at once).
class TzefWSQueueOptions {
public:
    virtual ~TzefWSQueueOptions() = default;
    void Assign(const TzefWSQueueOptions& Source);
    TzefWSQueue& Binary() { return FBinary; }
    TzefWSQueue& Ping() { return FPing; }
    TzefWSQueue& Text() { return FText; }
    const TzefWSQueue& Binary() const { return FBinary; }
    const TzefWSQueue& Ping() const { return FPing; }
    const TzefWSQueue& Text() const { return FText; }

private:
    TzefWSQueue FBinary;
    TzefWSQueue FPing;
    TzefWSQueue FText;
};

/// One queued write.
class TzefQueueObject {
public:
    int Size() const { return FSize; }
    void SetSize(int Value) { FSize = Value; }
    TwsStreaming Streaming() const { return FStreaming; }
    void SetStreaming(TwsStreaming Value) { FStreaming = Value; }
    const std::string& Text() const { return FText; }
    void SetText(std::string Value) { FText = std::move(Value); }
    TOpcode OpCode() const { return FOpCode; }
    void SetOpCode(TOpcode Value) { FOpCode = Value; }
    /// The held copy; null until SetStream.
    rtl::TMemoryStream* Stream() const { return FStream.get(); }
    /// Replaces the held stream with a copy of all of aStream (read from position 0); the
    /// caller keeps its stream.
    void SetStream(rtl::TStream& aStream);

private:
    int FSize = 0;
    TwsStreaming FStreaming = TwsStreaming::stmNone;
    std::string FText;
    TOpcode FOpCode = TOpcode::opText;
    std::unique_ptr<rtl::TMemoryStream> FStream;
};

/// A locked list of queued writes; owns them. Any thread.
class TzefQueueList : public TzefThreadList<TzefQueueObject> {
public:
    TzefQueueList() { SetDuplicates(TDuplicates::dupAccept); }
    ~TzefQueueList() override { FreeObjects(); }
    /// Takes ownership of aItem and appends it.
    void Push(std::unique_ptr<TzefQueueObject> aItem);
    /// Moves every item out (oldest first) under the lock and empties the list.
    std::vector<std::unique_ptr<TzefQueueObject>> TakeAll();
    /// Frees and removes every item, oldest first.
    void FreeObjects();
    std::size_t Count() const;
};

/// Message of a failed frame write; %s is the transport's message.
inline constexpr std::string_view SErrorWritingMessage = "Error writing message %s.";

/// The default bound of a received message, compressed or inflated: 16 MiB.
inline constexpr std::size_t DefaultMaxMessageSize = 16u * 1024 * 1024;

/// One peer of a WebSocket component: identity, negotiated protocol and extensions, options,
/// send queues, close code and reason, ping bookkeeping and the events through which the
/// component learns of messages. Application code writes to it from any thread; the transport
/// reads on its own thread. Created and freed by the server component.
class TzefWSConnection : public TzefTCPConnection {
public:
    TzefWSConnection();
    ~TzefWSConnection() override;

    /// Copies aValue's configuration into this connection's extensions.
    virtual void SetExtensions(const TzefWSExtensions& aValue) { FExtensions.Assign(aValue); }
    TzefWSExtensions& Extensions() { return FExtensions; }
    /// The request URL (transport-defined).
    virtual std::string URL() = 0;

    /// Sends aText now, or queues it when QueueOptions.Text asks for it. aSize > 0 asks for
    /// fragments of at most aSize bytes; aStreaming sends one piece of a message that the
    /// caller fragments. Dropped silently before the handshake completes.
    void WriteData(const std::string& aText, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    /// The same for binary data, read from position 0 (QueueOptions.Binary).
    void WriteData(rtl::TStream& aStream, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    /// Writes aText and waits up to aTimeOut ms for MsgReceived to be set; "" on time-out.
    /// Never on the reader's thread: the reply would never be read.
    std::string WriteAndWaitData(const std::string& aText, int aTimeOut);
    /// Sends (or queues, per QueueOptions.Ping) a ping carrying aText.
    void Ping(const std::string& aText);
    /// Pings and waits up to aTimeOut ms for a pong with the same payload; false on time-out
    /// and at once for aTimeOut <= 0. Never on the reader's thread.
    bool Ping(const std::string& aText, int aTimeOut);

    void Close() { Close(1000); }
    /// Marks the connection disconnected (dropping queued writes) and, on the WebSocket
    /// transports, sends a close frame with aCloseCode; the peer's answer ends the connection.
    /// Other transports are disconnected at once.
    virtual void Close(int aCloseCode);
    void Disconnect() { Disconnect(1000); }
    virtual void Disconnect(int aCloseCode);
    /// Marks the connection disconnected; the stream level also sends the close frame.
    virtual void WriteClose(int aCloseCode);
    /// The close-and-disconnect procedure; here only the flag.
    virtual void DoDisconnect(const std::string& aError, int aCloseCode);
    /// The transport is still attached.
    virtual bool Connected() = 0;
    /// Drops the transport connection at once, without a close frame.
    virtual void DisconnectPeer() = 0;

    /// Subscribes to the comma-separated channels (strict: blanks belong to the names).
    void DoSubscribe(const std::string& aChannels);
    void DoUnSubscribe(const std::string& aChannels);
    /// True for an empty aChannel, or when one of its channels is subscribed.
    bool Subscribed(const std::string& aChannel);
    /// The subscribed channels; created on first use. Changed under indexed lock 0.
    rtl::TStringList& Subscriptions();

    int CloseCode() const { return FCloseCode.load(); }
    void SetCloseCode(int Value) { FCloseCode = Value; }
    const std::string& CloseReason() const { return FCloseReason; }
    void SetCloseReason(std::string Value) { FCloseReason = std::move(Value); }
    const std::string& MsgError() const { return FMsgError; }
    void SetMsgError(std::string Value) { FMsgError = std::move(Value); }
    TwsSpecification Specification() const { return FSpecification; }
    void SetSpecification(TwsSpecification Value) { FSpecification = Value; }
    bool Masked() const { return FMasked; }
    void SetMasked(bool Value) { FMasked = Value; }
    const std::string& Protocol() const { return FProtocol; }
    void SetProtocol(std::string Value) { FProtocol = std::move(Value); }
    bool ValidateUTF8() const { return FValidateUTF8; }
    void SetValidateUTF8(bool Value) { FValidateUTF8 = Value; }
    bool RaiseDisconnectExceptions() const { return FRaiseDisconnectExceptions; }
    void SetRaiseDisconnectExceptions(bool Value) { FRaiseDisconnectExceptions = Value; }
    TwsFragmentedMessages FragmentedMessages() const { return FFragmentedMessages; }
    void SetFragmentedMessages(TwsFragmentedMessages Value) { FFragmentedMessages = Value; }
    bool CleanDisconnect() const { return FCleanDisconnect; }
    void SetCleanDisconnect(bool Value) { FCleanDisconnect = Value; }
    /// Largest message (assembled from its frames, and again after inflating) accepted from
    /// the peer; a larger one is refused with close code 1009.
    std::size_t MaxMessageSize() const { return FMaxMessageSize; }
    void SetMaxMessageSize(std::size_t Value) { FMaxMessageSize = Value; }
    TzefWSQueueOptions& QueueOptions() { return FQueueOptions; }
    void SetQueueOptions(const TzefWSQueueOptions& Value) { FQueueOptions.Assign(Value); }
    TzefQueue& ProtocolData() { return FProtocolData; }
    const std::string& LastSubscription() const { return FLastSubscription; }
    void SetLastSubscription(std::string Value) { FLastSubscription = std::move(Value); }
    const std::string& LastUnSubscription() const { return FLastUnSubscription; }
    void SetLastUnSubscription(std::string Value) { FLastUnSubscription = std::move(Value); }
    bool Disconnected() const { return FDisconnected.load(); }
    /// Setting it while false first frees every queued write (levels 0, 1, 2).
    void SetDisconnected(bool Value);
    double LastPing() const { return FLastPing.load(); }
    double LastPong() const { return FLastPong.load(); }
    void SetLastPong(double Value) { FLastPong = Value; }
    double FirstPing() const { return FFirstPing.load(); }
    void SetFirstPing(double Value) { FFirstPing = Value; }
    std::string Pong() const;
    /// Extra response header lines of the opening handshake; created on first use.
    rtl::TStringList& HeadersResponse();
    bool Enabled() const { return FEnabled.load(); }
    void SetEnabled(bool Value) { FEnabled = Value; }
    /// The send queue of a level; created on first use.
    TzefQueueList& QueueLevel(TwsQueueMsgLevels aLevel);

    /// False when the send queues are empty; true when an item was queued since the last
    /// flush began (a lock-free test for the transport's read path).
    bool HasQueued() const { return FQueuedSinceFlush.load(); }
    /// Raised after WriteData or Ping put an item into a send queue (on the writer's thread,
    /// outside the queue's lock): the component is to flush the queues soon.
    std::function<void(TzefWSConnection& Connection)> OnQueued;

    TzefWSUpdateEvent OnUpdate;
    TzefWSMessageEvent OnMessage;
    TzefWSBinaryEvent OnBinary;
    TzefWSHandshakeEvent OnHandshake;
    TzefWSSubscriptionEvent OnSubscription;
    TzefWSSubscriptionEvent OnUnSubscription;
    TzefWSFragmentedEvent OnFragmented;

    /// Puts a ping into its queue level.
    virtual void QueuePing(const std::string& aText);
    /// Records the ping times; the stream level also remembers and sends the ping.
    virtual void DoPing(const std::string& aText);
    /// Sends text now (the frame codec).
    virtual void DoWriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) = 0;
    /// Sends a stream now (the frame codec).
    virtual void DoWriteData(rtl::TStream& aStream, int aSize, TwsStreaming aStreaming) = 0;

protected:
    /// Stores the payload of a pong that matched a sent ping and wakes Ping waiters.
    void SetPong(std::string Value);

    void DoMessage(const std::string& aText) {
        if (OnMessage) {
            OnMessage(*this, aText);
        }
    }
    void DoBinary(rtl::TMemoryStream& aData) {
        if (OnBinary) {
            OnBinary(*this, aData);
        }
    }
    void DoFragmented(rtl::TMemoryStream& aData, TOpcode aOpCode, bool aContinuation) {
        if (OnFragmented) {
            OnFragmented(*this, aData, aOpCode, aContinuation);
        }
    }

private:
    friend class TzefWSComponent; // Flushes the send queues, one flush at a time.
    TzefQueueList* ExistingQueue(int aIndex);
    void DoQueued() {
        FQueuedSinceFlush = true;
        if (OnQueued) {
            OnQueued(*this);
        }
    }

    TzefWSExtensions FExtensions;
    // One flush of the send queues at a time keeps the connection's writes in order.
    std::mutex FFlushLock;
    // Flushes asked for; a flush asked for while another runs is made by that one.
    std::atomic<int> FFlushRequests{0};
    // The thread that holds FFlushLock (a flush asked for from inside a flush, by a handler
    // its writes raised, is left to that flush too).
    std::atomic<std::thread::id> FFlushOwner{};
    // An item was queued after the last flush began taking the queues' items.
    std::atomic<bool> FQueuedSinceFlush{false};
    // Created on first use under FQueueCreate; each list has its own lock.
    std::mutex FQueueCreate;
    std::unique_ptr<TzefQueueList> FQueueLevel0;
    std::unique_ptr<TzefQueueList> FQueueLevel1;
    std::unique_ptr<TzefQueueList> FQueueLevel2;
    TzefWSQueueOptions FQueueOptions;
    // Set by the thread that learns of the end, which may be the stop's while a worker ends
    // the same connection.
    std::atomic<int> FCloseCode{0};
    std::string FCloseReason;
    std::string FMsgError;
    TwsSpecification FSpecification = TwsSpecification::spRFC6455;
    bool FMasked = false;
    std::string FProtocol;
    bool FValidateUTF8 = false;
    bool FRaiseDisconnectExceptions = true;
    TwsFragmentedMessages FFragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
    bool FCleanDisconnect = true;
    std::size_t FMaxMessageSize = DefaultMaxMessageSize;
    TzefQueue FProtocolData;
    std::unique_ptr<rtl::TStringList> FSubscriptions; // Guarded by FCSArray[0].
    std::string FLastSubscription;
    std::string FLastUnSubscription;
    std::atomic<bool> FDisconnected{false};
    std::atomic<double> FLastPing{0};
    std::atomic<double> FLastPong{0};
    std::atomic<double> FFirstPing{0};
    std::string FPong; // Guarded by FWaitLock.
    std::unique_ptr<rtl::TStringList> FHeadersResponse;
    std::atomic<bool> FEnabled{false};
};

/// The parsed view of one opening handshake: the requested sub-protocols and extensions as
/// received. The sub-class that parses the request fills them.
class TzefWSHandshake_Base {
public:
    virtual ~TzefWSHandshake_Base() = default;
    const std::string& Protocols() const { return FProtocols; }
    const std::string& Extensions() const { return FExtensions; }

protected:
    std::string FProtocols;
    std::string FExtensions;
};

class TzefWSComponent;

/// One pending notification of a queued event mode.
class TzefWSNotifyObject {
public:
    TzefWSConnection* Connection() const { return FConnection; }
    int Int() const { return FInt; }
    const std::string& Text() const { return FText; }
    const std::string& Text1() const { return FText1; }
    /// A fragmented message's notification: the fragment continues a message.
    bool Continuation() const { return FContinuation; }
    std::exception_ptr RawException() const { return FRawException; }
    /// The copied stream; created on first use.
    rtl::TMemoryStream& Stream();

private:
    friend class TzefWSObjectList;
    TzefWSConnection* FConnection = nullptr; // Not owned.
    int FInt = 0;
    std::exception_ptr FRawException;
    std::unique_ptr<rtl::TMemoryStream> FStream;
    std::string FText;
    std::string FText1;
    bool FContinuation = false;
};

/// A locked list of pending notifications or held messages; owns them. Any thread.
class TzefWSObjectList : public TzefThreadList<TzefWSNotifyObject> {
public:
    TzefWSObjectList() { SetDuplicates(TDuplicates::dupAccept); }
    ~TzefWSObjectList() override { DeleteAll(); }
    void AddNotifyObject(TzefWSConnection* aConnection);
    void AddNotifyObject(TzefWSConnection* aConnection, const std::string& aText);
    void AddNotifyObject(TzefWSConnection* aConnection, const std::string& aText,
                         const std::string& aText1);
    void AddNotifyObject(TzefWSConnection* aConnection, int aInt);
    void AddNotifyObject(TzefWSConnection* aConnection, rtl::TStream& aStream);
    void AddNotifyObject(TzefWSConnection* aConnection, rtl::TStream& aStream, TOpcode aOpCode,
                         bool aContinuation);
    void AddNotifyObject(TzefWSConnection* aConnection, const std::string& aText,
                         std::exception_ptr aException);
    /// Removes and returns the oldest entry; null when empty.
    std::unique_ptr<TzefWSNotifyObject> TakeFirst();
    /// Frees every entry.
    void DeleteAll();
    std::size_t Count() const;

private:
    void Push(std::unique_ptr<TzefWSNotifyObject> aObject);
};

/// Component level 3: the application's events, their delivery by NotifyEvents and held
/// messages. Notifications arrive on transport threads; the queued modes deliver on the
/// program's main thread (rtl::CheckSynchronize).
class TzefWSComponent_Base : public TzefTCPComponent_Base {
public:
    TzefWSComponent_Base();
    ~TzefWSComponent_Base() override;

    TzefWSConnectEvent OnConnect;
    TzefWSDisconnectEvent OnDisconnect;
    TzefWSMessageEvent OnMessage;
    TzefWSBinaryEvent OnBinary;
    TzefWSFragmentedEvent OnFragmented;
    TzefWSErrorEvent OnError;
    TzefExceptionEvent OnException;

    bool QueueMessages() const { return FQueueMessages.load(); }
    /// Ignored while held messages are being delivered. False delivers every held message
    /// (texts, then binaries, then fragments, each oldest first).
    virtual void SetQueueMessages(bool Value);
    /// Drops every held message, binary and fragment.
    void QueueClear() { DoQueueClear(); }

    // Entry points of the transport (see the class comment). A null connection is ignored.
    virtual void DoNotifyConnect(TzefWSConnection* aConnection);
    /// Releases the connection after the event (or after the queued event ran).
    virtual void DoNotifyDisconnect(TzefWSConnection* aConnection);
    virtual void DoNotifyMessage(TzefWSConnection* aConnection);
    virtual void DoNotifyBinary(TzefWSConnection* aConnection);
    virtual void DoNotifyFragmented(TzefWSConnection* aConnection, rtl::TMemoryStream& aStream,
                                    TOpcode aOpCode, bool aContinuation);
    virtual void DoNotifyError(TzefWSConnection* aConnection);
    virtual void DoNotifyException(TzefWSConnection* aConnection);
    /// Reports aError (OnError) and drops the connection. Never throws.
    virtual void DoError(TzefWSConnection* aConnection, const std::string& aError);
    /// Reports aMessage and aException (OnException) and drops the connection. Never throws.
    virtual void DoException(TzefWSConnection* aConnection, const std::string& aMessage,
                             std::exception_ptr aException);
    /// Takes ownership of aConnection: frees it at once here; servers defer it.
    virtual void ReleaseConnection(TzefWSConnection* aConnection);

    virtual void DoEventConnect(TzefWSConnection& aConnection);
    virtual void DoEventDisconnect(TzefWSConnection& aConnection, int aCode);
    virtual void DoEventMessage(TzefWSConnection& aConnection, const std::string& aText);
    virtual void DoEventBinary(TzefWSConnection& aConnection, rtl::TMemoryStream& aStream);
    virtual void DoEventFragmented(TzefWSConnection& aConnection, rtl::TMemoryStream& aStream,
                                   TOpcode aOpCode, bool aContinuation);
    virtual void DoEventError(TzefWSConnection* aConnection, const std::string& aError);
    virtual void DoEventException(TzefWSConnection* aConnection, const std::string& aMessage,
                                  std::exception_ptr aException);

protected:
    /// Held by a notifier that has just stored aText as aConnection's MsgReceived, around its
    /// DoNotifyMessage on the same thread: the first direct delivery of that connection's
    /// message hands aText to the handler instead of a copy of MsgReceived made under the
    /// connection's lock, unless MsgReceived was set again in between. Later deliveries (a
    /// second protocol object) copy MsgReceived again.
    class TStoredMessage {
    public:
        TStoredMessage(TzefWSConnection& aConnection, const std::string& aText) noexcept;
        ~TStoredMessage();
        TStoredMessage(const TStoredMessage&) = delete;
        TStoredMessage& operator=(const TStoredMessage&) = delete;
        /// The text this thread stored for aConnection, once; null when there is none.
        static const std::string* Take(const TzefWSConnection* aConnection) noexcept;

    private:
        const TzefWSConnection* FConnection;
        const std::string* FText;  // Null once taken.
        std::uint32_t FChanges;    // The connection's MsgReceivedChanges when aText was stored.
        TStoredMessage* FPrevious; // The marker of an enclosing notification on this thread.
        static thread_local TStoredMessage* GCurrent; // The innermost marker of this thread.
    };

    virtual void DoQueueMessages();
    virtual void DoQueueClear();
    /// Runs aDrain on the main thread: queued (neAsynchronous) or waited for (neSynchronous).
    void HandToMainThread(std::function<void()> aDrain);
    /// Drains of the queued modes; each runs on the main thread.
    void DrainConnect();
    void DrainDisconnect();
    void DrainMessage();
    void DrainBinary();
    void DrainFragmented();
    void DrainError();
    void DrainException();

private:
    TzefWSObjectList& List(std::unique_ptr<TzefWSObjectList>& aSlot);
    void Drain(std::unique_ptr<TzefWSObjectList>& aSlot,
               const std::function<void(TzefWSNotifyObject&)>& aDeliver);

    std::atomic<bool> FQueueMessages{false};
    std::atomic<bool> FQueueProcessing{false};
    std::mutex FListCreate; // Guards the creation of the lists below; each has its own lock.
    std::unique_ptr<TzefWSObjectList> FQueueMessage;
    std::unique_ptr<TzefWSObjectList> FQueueBinary;
    std::unique_ptr<TzefWSObjectList> FQueueFragmented;
    std::unique_ptr<TzefWSObjectList> FNotifyConnect;
    std::unique_ptr<TzefWSObjectList> FNotifyDisconnect;
    std::unique_ptr<TzefWSObjectList> FNotifyMessage;
    std::unique_ptr<TzefWSObjectList> FNotifyBinary;
    std::unique_ptr<TzefWSObjectList> FNotifyFragmented;
    std::unique_ptr<TzefWSObjectList> FNotifyError;
    std::unique_ptr<TzefWSObjectList> FNotifyException;
    /// Queued drains hold a weak reference: a drain that runs after the component is gone
    /// does nothing.
    std::shared_ptr<TzefWSComponent_Base*> FAlive;
};

/// A sub-protocol implementation: receives the notifications of connections that negotiated
/// its protocol (or one of its comma-separated protocols).
class TzefWSProtocol : public TzefWSComponent_Base {
public:
    ~TzefWSProtocol() override;
    const std::string& Guid() const { return FGuid; }
    void SetGuid(std::string Value) { FGuid = std::move(Value); }
    const std::string& Protocol() const { return FProtocol; }
    void SetProtocol(std::string Value) { FProtocol = std::move(Value); }
    TwsProtocolMessage MsgType() const { return FMsgType; }
    void SetMsgType(TwsProtocolMessage Value) { FMsgType = Value; }
    TzefWSRawMessageEvent OnRawMessage;
    /// Attaches to aComponent (which lists this object) or, with null, detaches.
    void SetComponent(TzefWSComponent* aComponent);
    TzefWSComponent* Component() const { return FComponent; }
    /// A POST to this protocol: returns the answer's body ("" here).
    virtual std::string DoPostRequest(TzefWSConnection& aConnection, const std::string& aArgument,
                                      const std::string& aBody);

private:
    std::string FGuid;
    std::string FProtocol;
    TwsProtocolMessage FMsgType = TwsProtocolMessage::msgText;
    TzefWSComponent* FComponent = nullptr; // Not owned: the component outlives its protocols.
};

/// An application object that takes the raw notifications instead of the component's events.
class TzefWSAPI : public TzefWSComponent_Base {
public:
    bool RawMessages() const { return FRawMessages; }
    void SetRawMessages(bool Value) { FRawMessages = Value; }
    TzefWSRawMessageEvent OnRawMessage;

private:
    bool FRawMessages = false;
};

class TzefWSDrafts {
public:
    bool Hixie76() const { return FHixie76; }
    void SetHixie76(bool Value) { FHixie76 = Value; }

private:
    bool FHixie76 = true;
};

class TzefWSSpecifications {
public:
    void Assign(const TzefWSSpecifications& Source) { *this = Source; }
    TzefWSDrafts& Drafts() { return FDrafts; }
    bool RFC6455() const { return FRFC6455; }
    void SetRFC6455(bool Value) { FRFC6455 = Value; }
    bool RFC8441() const { return FRFC8441; }
    void SetRFC8441(bool Value) { FRFC8441 = Value; }

private:
    TzefWSDrafts FDrafts;
    bool FRFC6455 = true;
    bool FRFC8441 = false;
};

class TzefWSLogFile : public TzefTCPLogFile {};

/// Interval and Timeout in seconds; Timeout 0: no time-out check.
class TzefWSHeartBeat_Options {
public:
    void Assign(const TzefWSHeartBeat_Options& Source) { *this = Source; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    int Interval() const { return FInterval; }
    void SetInterval(int Value) { FInterval = Value; }
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }

private:
    bool FEnabled = false;
    int FInterval = 300;
    int FTimeout = 0;
};

class TzefWSWatchDog_Options : public TzefTCPWatchDog_Options {};

/// Enabled flag shared by the small option classes.
class TzefWSEnabled_Options {
public:
    virtual ~TzefWSEnabled_Options() = default;
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }

protected:
    explicit TzefWSEnabled_Options(bool aEnabled) : FEnabled(aEnabled) {}

private:
    bool FEnabled;
};

class TzefWSConnections_Options : public TzefWSEnabled_Options {
public:
    TzefWSConnections_Options() : TzefWSEnabled_Options(true) {}
    void Assign(const TzefWSConnections_Options& Source) { *this = Source; }
    int CacheSize() const { return FCacheSize; }
    void SetCacheSize(int Value) { FCacheSize = Value; }
    int GroupLevel() const { return FGroupLevel; }
    void SetGroupLevel(int Value) { FGroupLevel = Value; }

private:
    int FCacheSize = 100;
    int FGroupLevel = 1;
};

class TzefWSChannels_Options : public TzefWSEnabled_Options {
public:
    TzefWSChannels_Options() : TzefWSEnabled_Options(true) {}
};

/// Interval in seconds.
class TzefWSConnectionsFree_Options : public TzefWSEnabled_Options {
public:
    TzefWSConnectionsFree_Options() : TzefWSEnabled_Options(true) {}
    int Interval() const { return FInterval; }
    void SetInterval(int Value) { FInterval = Value; }

private:
    int FInterval = 60;
};

class TzefWSOptimization_Options {
public:
    void Assign(const TzefWSOptimization_Options& Source) { *this = Source; }
    TzefWSConnections_Options& Connections() { return FConnections; }
    TzefWSChannels_Options& Channels() { return FChannels; }
    TzefWSConnectionsFree_Options& ConnectionsFree() { return FConnectionsFree; }

private:
    TzefWSConnections_Options FConnections;
    TzefWSChannels_Options FChannels;
    TzefWSConnectionsFree_Options FConnectionsFree;
};

class TzefWSAuthentication_Options : public TzefWSEnabled_Options {
public:
    TzefWSAuthentication_Options() : TzefWSEnabled_Options(false) {}
};
class TzefWSAuthentication_Session : public TzefWSAuthentication_Options {};
class TzefWSAuthentication_URL : public TzefWSAuthentication_Options {};
class TzefWSAuthentication_Basic : public TzefWSAuthentication_Options {};

/// The name of the built-in broker protocol (no broker object exists in this library).
inline constexpr std::string_view BrokerProtocolName = "broker.zef.local";

/// Component level 4: sub-protocol routing, the API object, the option objects, the
/// heartbeat and watchdog timers and the handshake event.
class TzefWSComponent : public TzefWSComponent_Base {
public:
    TzefWSComponent();
    ~TzefWSComponent() override;

    void EnterCS() { DoEnterCS(); } // Paired with LeaveCS.
    void LeaveCS() { DoLeaveCS(); }

    TzefWSHandshakeEvent OnHandshake;

    TzefWSSpecifications& Specifications() { return FSpecifications; }
    void SetSpecifications(const TzefWSSpecifications& Value) { FSpecifications.Assign(Value); }
    virtual TzefWSLogFile& LogFile() { return FLogFile; }
    void SetLogFile(const TzefWSLogFile& Value) { FLogFile.Assign(Value); }
    TzefWSHeartBeat_Options& HeartBeat() { return FHeartBeat; }
    void SetHeartBeat(const TzefWSHeartBeat_Options& Value) { FHeartBeat.Assign(Value); }
    TzefWSWatchDog_Options& WatchDog() { return FWatchDog; }
    void SetWatchDog(const TzefWSWatchDog_Options& Value) { FWatchDog.Assign(Value); }
    TzefTCPKeepAlive& TCPKeepAlive() { return FTCPKeepAlive; }
    TzefWSExtensions& Extensions() { return FExtensions; }
    void SetExtensions(const TzefWSExtensions& Value) { FExtensions.Assign(Value); }
    void SetNotifyEvents(TwsNotifyEvent Value) override;

    /// Attaches aObject (not owned) to this component's notifications.
    void RegisterProtocol(TzefWSProtocol& aObject) { aObject.SetComponent(this); }
    /// Creates an owned protocol object for aProtocol with the component's current handlers.
    void RegisterProtocol(const std::string& aProtocol);
    void UnRegisterProtocol(TzefWSProtocol& aObject) { aObject.SetComponent(nullptr); }
    /// Frees (or detaches) every protocol object whose Protocol equals aProtocol.
    void UnRegisterProtocol(const std::string& aProtocol);
    /// The registered protocols as comma text (broker first, GUID-prefixed where set).
    std::string GetProtocols();
    /// True when aProtocol names aObject (see the implementation for the accepted forms).
    virtual bool IsProtocolMatch(const std::string& aProtocol, const TzefWSProtocol& aObject);
    virtual void AddProtocolObject(TzefWSProtocol& aObject);
    virtual void RemoveProtocolObject(TzefWSProtocol& aObject);
    /// The matching protocol objects, in registration order.
    std::vector<TzefWSProtocol*> MatchingProtocols(const std::string& aProtocol);
    virtual void SetAPI(TzefWSAPI* aAPI) { FAPI = aAPI; }
    virtual void ClearAPI() { FAPI = nullptr; }
    TzefWSAPI* API() const { return FAPI; }

    void DoNotifyConnect(TzefWSConnection* aConnection) override;
    void DoNotifyDisconnect(TzefWSConnection* aConnection) override;
    void DoNotifyMessage(TzefWSConnection* aConnection) override;
    void DoNotifyBinary(TzefWSConnection* aConnection) override;
    void DoNotifyFragmented(TzefWSConnection* aConnection, rtl::TMemoryStream& aStream,
                            TOpcode aOpCode, bool aContinuation) override;
    void DoNotifyError(TzefWSConnection* aConnection) override;
    void DoNotifyException(TzefWSConnection* aConnection) override;
    void DoEventConnect(TzefWSConnection& aConnection) override;

    /// Raises OnHandshake with the connection's response lines: at once (neNoSync) or on the
    /// main thread while the caller waits.
    virtual void DoNotifyHandshake(TzefWSConnection& aConnection);
    virtual void DoEventHandshake(TzefWSConnection& aConnection, rtl::TStringList& aHeaders);
    /// Sends everything queued on the connection's levels 0, 1, 2 (nothing before the
    /// handshake completed).
    virtual void ProcessQueues(TzefWSConnection* aConnection);

    // Timers.
    virtual void StartHeartBeat();
    virtual void StopHeartBeat();
    virtual void StartHeartBeatTimeout();
    virtual void StopHeartBeatTimeout();
    virtual void StartWatchDog();
    virtual void StopWatchDog();
    int WatchDogAttempts() const { return FWatchDogAttempts.load(); }
    /// For observers and tests: the timers, null while not created.
    TzefTimer* HeartBeatTimer();
    TzefTimer* HeartBeatTimeoutTimer();
    TzefTimer* WatchDogTimer();

protected:
    virtual void DoHeartBeat() = 0;
    virtual void DoHeartBeatException(const std::exception& E) = 0;
    virtual void DoHeartBeatTimeout() = 0;
    virtual void DoHeartBeatTimeoutException(const std::exception& E) = 0;
    virtual void DoWatchDog();
    virtual void DoWatchDogException(const std::exception& E) = 0;
    void ProcessQueue(TzefWSConnection& aConnection, TzefQueueList& aQueue);
    /// Stops every timer and waits for their threads; the most derived destructor calls it.
    void FreeTimers();

    std::mutex FTimerLock; // Guards the timer slots (not the timers' own state).

private:
    std::vector<TzefWSProtocol*> FProtocolObjectList; // Not owning. Guarded by FProtocolLock.
    std::vector<std::unique_ptr<TzefWSProtocol>> FOwnedProtocols; // Guarded by FProtocolLock.
    std::mutex FProtocolLock;
    TzefWSAPI* FAPI = nullptr; // Not owned.
    TzefWSSpecifications FSpecifications;
    TzefWSLogFile FLogFile;
    TzefWSHeartBeat_Options FHeartBeat;
    TzefTCPKeepAlive FTCPKeepAlive;
    TzefWSWatchDog_Options FWatchDog;
    std::atomic<int> FWatchDogAttempts{0};
    TzefWSExtensions FExtensions;
    std::unique_ptr<TzefTimer> FHeartBeatTimer;        // Guarded by FTimerLock.
    std::unique_ptr<TzefTimer> FHeartBeatTimeoutTimer; // Guarded by FTimerLock.
    std::unique_ptr<TzefTimer> FWatchDogTimer;         // Guarded by FTimerLock.
};

/// A registry entry: refers to a connection (never owns it); its ID is the connection's GUID.
class TzefQueueItemConnection : public TzefQueueItemBase {
public:
    TzefWSConnection* Connection() const { return FConnection; }
    void SetConnection(TzefWSConnection* Value);

private:
    TzefWSConnection* FConnection = nullptr; // Not owned.
};

/// A channel entry: a connection subscribed to the channel named by Queue.
class TzefQueueItemChannel : public TzefQueueNameItemBase {
public:
    TzefWSConnection* Connection() const { return FConnection; }
    void SetConnection(TzefWSConnection* Value);

private:
    TzefWSConnection* FConnection = nullptr; // Not owned.
};

/// The connection cache of a server, grouped by the first GUID character.
class TzefCacheQueueListConnections : public TzefCacheQueueList {
public:
    TzefWSConnection* GetConnection(const std::string& aGuid);
};

/// The channel registry: one named queue per channel.
class TzefQueueListChannels : public TzefQueueNameListBase {
public:
    /// Appends, last channel first, the item with ID aID of each channel that holds one.
    void GetChannels(const std::string& aID, std::vector<TzefQueueItemBase*>& aList);
    /// Appends the connections of aChannel, last item first (the channel is created).
    void GetConnections(const std::string& aChannel, std::vector<TzefWSConnection*>& aList);
};

/// The registry list of a server transport; its entries are owned by the component.
using TzefWSConnectionList = std::vector<TzefWSConnection*>;

/// Ended connections waiting to be freed, each with the time it was queued, oldest first.
/// Owns its connections. Any thread.
class TzefConnectionsFreeList : public TzefQueueCommonT<TzefWSConnection> {
public:
    using TClock = std::chrono::steady_clock;
    TzefConnectionsFreeList() { SetOwnObjects(true); }
    ~TzefConnectionsFreeList() override { Clear(); }
    void Add(TzefWSConnection* aConnection, TClock::time_point aQueued);
    /// Frees, outside the lock, every connection queued at or before aCutoff.
    void FreeQueuedUpTo(TClock::time_point aCutoff);
    void Clear() override;

private:
    std::deque<TClock::time_point> FQueued; // Parallel to FList. Guarded by FLock.
};

/// Component level 5: the server's registry hooks, deferred release of ended connections and
/// the optimisation options.
class TzefWSComponent_Server : public TzefWSComponent {
public:
    TzefWSComponent_Server();
    ~TzefWSComponent_Server() override;

    TzefWSUnknownProtocolEvent OnUnknownProtocol;
    TzefWSOptimization_Options& Optimizations() { return FOptimizations; }
    void SetOptimizations(const TzefWSOptimization_Options& Value) { FOptimizations.Assign(Value); }
    void SetNotifyEvents(TwsNotifyEvent Value) override;

    /// The connection cache; created on first use with the optimisation options.
    TzefCacheQueueListConnections& Connections();
    /// The channel registry; created on first use.
    TzefQueueListChannels& Channels();
    /// Connections waiting for the deferred release.
    std::size_t ConnectionsFreeCount() const { return FConnectionsFree.Count(); }
    /// How long an ended connection is kept for a send that found it just before it ended.
    /// Each deferred release frees the connections queued longer ago than that, so memory
    /// under connection churn is bounded by the churn within this time, not within the
    /// timer's interval (which only sweeps what is left when no connection ends). At least 0.
    std::chrono::milliseconds ConnectionsFreeGrace() const { return FConnectionsFreeGrace.load(); }
    void SetConnectionsFreeGrace(std::chrono::milliseconds Value);

    /// Held by whoever goes on using connections found in the registry after its lock is
    /// released (broadcasts, writes by GUID, long-polling posts). A connection released while
    /// a use that began before its release is held stays queued until that use ends, however
    /// long it takes, even past its grace time.
    class TRegistryUse {
    public:
        explicit TRegistryUse(TzefWSComponent_Server& aOwner);
        ~TRegistryUse();
        TRegistryUse(const TRegistryUse&) = delete;
        TRegistryUse& operator=(const TRegistryUse&) = delete;

    private:
        TzefWSComponent_Server& FOwner;
        std::multiset<TzefConnectionsFreeList::TClock::time_point>::iterator FEntry;
    };

    void DoNotifyConnect(TzefWSConnection* aConnection) override;
    void DoNotifyDisconnect(TzefWSConnection* aConnection) override;
    void ReleaseConnection(TzefWSConnection* aConnection) override;
    virtual bool DoUnknownProtocol(TzefWSConnection& aConnection);

    virtual void StartConnectionsFree();
    /// Stops the timer and frees every waiting connection at once.
    virtual void StopConnectionsFree();
    TzefTimer* ConnectionsFreeTimer();

    /// Exclusive access to the transport's registry; paired with UnLockList.
    virtual TzefWSConnectionList& LockList() = 0;
    virtual void UnLockList() = 0;

protected:
    virtual void DoConnectionsFreeTimer();
    virtual void DoConnectionsFreeException(const std::exception& E);

private:
    std::mutex FRegistryCreate; // Guards the creation of the two registries.
    std::unique_ptr<TzefCacheQueueListConnections> FConnections;
    std::unique_ptr<TzefQueueListChannels> FChannels;
    TzefConnectionsFreeList FConnectionsFree;
    std::atomic<std::chrono::milliseconds> FConnectionsFreeGrace{std::chrono::seconds(1)};
    std::mutex FUsesLock;
    std::multiset<TzefConnectionsFreeList::TClock::time_point> FUses; // Guarded by FUsesLock.
    /// The latest release time whose connections no send can still be using.
    TzefConnectionsFreeList::TClock::time_point
    FreeCutoff(TzefConnectionsFreeList::TClock::time_point aNow);
    std::unique_ptr<TzefTimer> FConnectionsFreeTimer; // Guarded by FTimerLock.
    TzefWSOptimization_Options FOptimizations;
};

} // namespace zef
