// zefTCP_Classes: the root of the connection classes: locks, identifier, counters, addresses,
// transport kind, last message and exception, raw-TCP delimiter and user data.
#pragma once

#include "platform/rtl/Stream.h"
#include "websocket/core/zefBase_Classes.h"
#include "websocket/core/zefWebSocket_Classes_SyncObjs.h"
#include "websocket/core/zefWebSocket_Types.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zef {

/// Root of the connection chain. Created and freed by a server component; written to by any
/// thread, read from by the transport's read thread (one read at a time).
class TzefTCPConnection_Base {
public:
    TzefTCPConnection_Base();
    TzefTCPConnection_Base(const TzefTCPConnection_Base&) = delete;
    TzefTCPConnection_Base& operator=(const TzefTCPConnection_Base&) = delete;
    virtual ~TzefTCPConnection_Base();

    // The write lock and the six indexed locks; EnterCS/LeaveCS are specified pairs.
    virtual void EnterCS() { FCS.Acquire(); }
    virtual void EnterCS(int aIndex) { FCSArray.at(std::size_t(aIndex)).Acquire(); }
    virtual void LeaveCS() { FCS.Release(); }
    virtual void LeaveCS(int aIndex) { FCSArray.at(std::size_t(aIndex)).Release(); }

    /// The transport's connection is alive.
    virtual bool Active() = 0;
    /// 32 upper-case hexadecimal digits, created on first read and fixed from then on.
    virtual std::string Guid();
    // Peer and local addresses: the transport fills them on first use.
    virtual std::string IP() { return FIP; }
    virtual std::string LocalIP() { return FLocalIP; }
    virtual int LocalPort() { return FLocalPort; }
    virtual int Port() { return FPort; }
    /// Tear down after a transport failure, without a close frame. Nothing here.
    virtual void AbortConnection() {}

    std::int64_t RecBytes() const { return FRecBytes.load(); }
    void AddRecBytes(std::int64_t Value) { FRecBytes += Value; }
    std::int64_t SendBytes() const { return FSendBytes.load(); }
    void AddSendBytes(std::int64_t Value) { FSendBytes += Value; }
    TwsTransport Transport() const { return FTransport.load(); }
    virtual void SetTransport(TwsTransport Value) { FTransport = Value; }

    /// The last text message, stored before the component is notified.
    std::string MsgReceived() const;
    /// Copies the text into the stored one's room (no allocation once it has held a message as
    /// long), then wakes the threads waiting for it.
    void SetMsgReceived(std::string_view Value);
    /// Copies MsgReceived into aText, reusing aText's room.
    void CopyMsgReceived(std::string& aText) const;
    /// How often MsgReceived was set so far (wraps around): a reader that remembered the count
    /// knows the text is still the one it stored while the count is unchanged.
    std::uint32_t MsgReceivedChanges() const { return FMsgReceivedChanges.load(); }
    /// Copy of the last binary message; created on first use.
    rtl::TMemoryStream& MsgBinaryReceived();
    const std::string& MsgException() const { return FMsgException; }
    void SetMsgException(std::string Value) { FMsgException = std::move(Value); }
    /// The last exception to report through OnException (shared, may be null).
    std::exception_ptr RawException() const { return FRawException; }
    void SetRawException(std::exception_ptr Value) { FRawException = std::move(Value); }
    TtcpEOFScanBuffer TCPEndOfFrameScanBuffer() const { return FTCPEndOfFrameScanBuffer; }
    void SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer Value) { FTCPEndOfFrameScanBuffer = Value; }
    const std::vector<std::uint8_t>& TCPEndOfFrame() const { return FTCPEndOfFrame; }
    void AddTCPEndOfFrame(std::uint8_t aByte) { FTCPEndOfFrame.push_back(aByte); }
    void ClearTCPEndOfFrame() { FTCPEndOfFrame.clear(); }
    /// Free slot for application data; not owned.
    void* Data() const { return FData; }
    void SetData(void* Value) { FData = Value; }
    /// Set just before the owner destroys the connection, so that a queued notification does
    /// not release it a second time.
    bool Freed() const { return FFreed.load(); }
    void MarkFreed() { FFreed = true; }

protected:
    /// Wakes threads waiting for MsgReceived or a pong (see the WebSocket connection).
    void NotifyWaiters();

    TzefCriticalSection FCS;                     // The write lock: one whole frame at a time.
    std::array<TzefCriticalSection, 6> FCSArray; // Index 0 guards the subscription list.
    std::string FIP;
    std::string FLocalIP;
    int FLocalPort = 0;
    int FPort = 0;
    mutable std::mutex FWaitLock;        // Guards FMsgReceived and what sub-classes wait on.
    std::condition_variable FWaitChange; // Signalled when those change.
    std::string FMsgReceived;            // Guarded by FWaitLock.
    bool FDisconnectedBase = false;      // The root flag; the WebSocket classes use their own.
    std::atomic<std::uint32_t> FMsgReceivedChanges{0}; // Changed under FWaitLock.

private:
    std::mutex FGuidLock;
    std::string FGuid; // Guarded by FGuidLock.
    std::atomic<std::int64_t> FRecBytes{0};
    std::atomic<std::int64_t> FSendBytes{0};
    std::atomic<TwsTransport> FTransport{TwsTransport::trpUndefined};
    std::unique_ptr<rtl::TMemoryStream> FMsgBinaryReceived; // Created on first use.
    std::string FMsgException;
    std::exception_ptr FRawException;
    TtcpEOFScanBuffer FTCPEndOfFrameScanBuffer = TtcpEOFScanBuffer::eofScanNone;
    std::vector<std::uint8_t> FTCPEndOfFrame;
    void* FData = nullptr; // Not owned.
    std::atomic<bool> FFreed{false};
};

/// A named level that transports and components refer to.
class TzefTCPConnection : public TzefTCPConnection_Base {};

/// Adds the component locks and the thread on which events run.
class TzefTCPComponent_Base : public TzefComponent_Base {
public:
    TwsNotifyEvent NotifyEvents() const { return FNotifyEvents.load(); }
    virtual void SetNotifyEvents(TwsNotifyEvent Value) { FNotifyEvents = Value; }

protected:
    // Specified pairs: every DoEnterCS is matched by a DoLeaveCS on the same thread.
    virtual void DoEnterCS() { FCS.Acquire(); }
    virtual void DoEnterCS(int aIndex) { FCSArray.at(std::size_t(aIndex)).Acquire(); }
    virtual void DoLeaveCS() { FCS.Release(); }
    virtual void DoLeaveCS(int aIndex) { FCSArray.at(std::size_t(aIndex)).Release(); }

    std::array<TzefCriticalSection, 6> FCSArray; // Index 1 guards the session store.
    TzefCriticalSection FCS;

private:
    std::atomic<TwsNotifyEvent> FNotifyEvents{TwsNotifyEvent::neNoSync};
};

/// A traffic log: transports that log read it.
class TzefTCPLogFile {
public:
    virtual ~TzefTCPLogFile() = default;
    void Assign(const TzefTCPLogFile& Source) {
        FEnabled = Source.FEnabled;
        FFileName = Source.FFileName;
    }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    const std::string& FileName() const { return FFileName; }
    void SetFileName(std::string Value) { FFileName = std::move(Value); }

private:
    bool FEnabled = false;
    std::string FFileName;
};

/// Socket keep-alive settings of socket transports.
class TzefTCPKeepAlive {
public:
    void Assign(const TzefTCPKeepAlive& Source) { *this = Source; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    int Time() const { return FTime; }
    void SetTime(int Value) { FTime = Value; }
    int Interval() const { return FInterval; }
    void SetInterval(int Value) { FInterval = Value; }

private:
    bool FEnabled = false;
    int FTime = 7200000;
    int FInterval = 1000;
};

/// The watchdog job: Interval in seconds, Attempts 0 for no limit.
class TzefTCPWatchDog_Options {
public:
    virtual ~TzefTCPWatchDog_Options() = default;
    void Assign(const TzefTCPWatchDog_Options& Source) {
        FEnabled = Source.FEnabled;
        FInterval = Source.FInterval;
        FAttempts = Source.FAttempts;
    }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }
    int Interval() const { return FInterval; }
    void SetInterval(int Value) { FInterval = Value; }
    int Attempts() const { return FAttempts; }
    void SetAttempts(int Value) { FAttempts = Value; }

private:
    bool FEnabled = false;
    int FInterval = 60;
    int FAttempts = 0;
};

} // namespace zef
