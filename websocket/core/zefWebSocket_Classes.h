// zefWebSocket_Classes: the WebSocket connection (state, options, send queues, subscriptions,
// write, ping and close operations) and the handshake's base view.
#pragma once

#include "platform/rtl/Stream.h"
#include "platform/rtl/StringList.h"
#include "websocket/core/zefTCP_Classes.h"
#include "websocket/core/zefWebSocket_Classes_Queues.h"
#include "websocket/core/zefWebSocket_Extensions.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

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

    int CloseCode() const { return FCloseCode; }
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
    TzefQueueList* ExistingQueue(int aIndex);

    TzefWSExtensions FExtensions;
    // Created on first use under FQueueCreate; each list has its own lock.
    std::mutex FQueueCreate;
    std::unique_ptr<TzefQueueList> FQueueLevel0;
    std::unique_ptr<TzefQueueList> FQueueLevel1;
    std::unique_ptr<TzefQueueList> FQueueLevel2;
    TzefWSQueueOptions FQueueOptions;
    int FCloseCode = 0;
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

} // namespace zef
