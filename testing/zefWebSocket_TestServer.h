// zefWebSocket_TestServer: an in-memory server transport. The server keeps its registry in a
// vector under a reader/writer lock; its connections read from and write to byte buffers and
// record every HTTP answer, so that request handling is checked on exact lines and bytes.
#pragma once

#include "websocket/server/zefWebSocket_Server_Base.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

namespace zef::testing {

/// One HTTP answer given through the connection's answer operations.
struct TzefHTTPAnswer {
    int Status = 0;
    std::string ContentType;
    std::string Body;
};

/// A server connection over byte buffers. One thread at a time, except the write path, which
/// takes its own lock.
class TzefWSTestServerConnection : public TzefWSConnectionServer_Base {
public:
    TzefWSTestServerConnection() {
        FLocalIP = "127.0.0.1";
        FLocalPort = 2001;
    }

    // --- What the test drives and inspects ---
    void Receive(std::span<const std::uint8_t> aBytes) {
        FInput.insert(FInput.end(), aBytes.begin(), aBytes.end());
    }
    void SetLocal(const std::string& aIP, int aPort) {
        FLocalIP = aIP;
        FLocalPort = aPort;
    }
    /// When set, URL returns it (a transport that knows the full request URL).
    std::string FullURL;
    /// Called at the start of every WriteBytes, outside the write lock.
    std::function<void()> OnWriteBytes;
    std::vector<TzefHTTPAnswer> Answers;
    int DisconnectPeerCalls = 0;
    bool PeerConnected = true;
    /// All bytes written by WriteBytes.
    std::string Output() const {
        std::scoped_lock Lock(FWriteLock);
        return FOutput;
    }
    /// Waits up to aTimeout until at least aBytes have been written; false on time-out.
    bool WaitForOutput(std::size_t aBytes, std::chrono::milliseconds aTimeout) {
        std::unique_lock Lock(FWriteLock);
        return FWritten.wait_for(Lock, aTimeout, [&] { return FOutput.size() >= aBytes; });
    }
    std::size_t WriteCalls() const {
        std::scoped_lock Lock(FWriteLock);
        return FWriteCalls;
    }

    // --- Transport primitives ---
    bool Active() override { return PeerConnected; }
    std::string URL() override {
        return FullURL.empty() ? TzefWSConnectionServer_Base::URL() : FullURL;
    }
    bool Connected() override { return PeerConnected; }
    void DisconnectPeer() override {
        ++DisconnectPeerCalls;
        PeerConnected = false;
    }
    void ClearReceiveBuffer() override { FRead = FInput.size(); }
    void WriteBytes(std::span<const std::uint8_t> aBytes) override {
        if (OnWriteBytes) {
            OnWriteBytes();
        }
        std::scoped_lock Lock(FWriteLock);
        ++FWriteCalls;
        FOutput.append(aBytes.begin(), aBytes.end());
        FWritten.notify_all();
    }
    void WriteBegin() override {}
    void WriteFlush() override {}
    void WriteEnd() override {}
    std::size_t ReadBytes(std::uint8_t* aBytes, std::size_t aCount) override {
        std::size_t Count = std::min(aCount, FInput.size() - FRead);
        if (Count > 0) {
            std::memcpy(aBytes, FInput.data() + FRead, Count);
        }
        FRead += Count;
        return Count;
    }
    std::size_t ReadableBytes() override { return FInput.size() - FRead; }
    void ReadData(bool aRequireMask) override {
        while (FRead < FInput.size() && !Disconnected() && !MustDisconnect()) {
            std::size_t Before = FRead;
            ReadFrame(aRequireMask);
            if (FRead == Before) {
                break;
            }
        }
    }
    void SendHTTPResponse(rtl::TStream& aStream, const std::string& aContentType) override {
        aStream.SetPosition(0);
        rtl::TMemoryStream Copy;
        Copy.LoadFromStream(aStream);
        Answers.push_back({200, aContentType, Copy.DataString()});
    }
    void SendNotFound() override { Answers.push_back({404, "", ""}); }
    void SendUnauthorized() override { Answers.push_back({401, "", ""}); }

private:
    std::vector<std::uint8_t> FInput;
    std::size_t FRead = 0;
    mutable std::mutex FWriteLock;
    std::condition_variable FWritten; // Signalled under FWriteLock after each write.
    std::string FOutput;              // Guarded by FWriteLock.
    std::size_t FWriteCalls = 0;      // Guarded by FWriteLock.
};

/// The server over the in-memory transport. Starting and stopping only count.
class TzefWSTestServer : public TzefWSServer_Base {
public:
    ~TzefWSTestServer() override {
        MarkDestroying();
        FreeAllTimers();
        FreeConnections();
    }

    int Starts = 0;
    int Stops = 0;
    std::vector<std::string> WatchDogExceptions;

    /// A connection prepared as a transport prepares it, with aLines as its request (line 0
    /// the request line). The test owns it until it is registered.
    std::unique_ptr<TzefWSTestServerConnection>
    NewConnection(std::initializer_list<std::string> aLines) {
        auto Connection = std::make_unique<TzefWSTestServerConnection>();
        PrepareConnection(*Connection);
        for (const std::string& Line : aLines) {
            Connection->HeadersRequest().Add(Line);
        }
        return Connection;
    }

    /// What Upgrade did.
    struct TUpgrade {
        int Result = 0;
        std::optional<TzefWSUpgradeRefusal> Refusal;
        bool Registered = false;
    };
    /// Runs a request as a transport does: dispatch and, for a 101, register, handshake,
    /// "send" the answer, enable and raise the update event. A registered connection (also an
    /// event stream, which registers itself) passes to the server (aConnection lets go; keep a
    /// raw pointer beforehand); a refused one stays with the test, unregistered.
    TUpgrade Upgrade(std::unique_ptr<TzefWSTestServerConnection>& aConnection) {
        TUpgrade Outcome;
        Outcome.Result = DispatchRequest(*aConnection);
        if (Outcome.Result == 200 && IsRegistered(*aConnection)) {
            Outcome.Registered = true;
            aConnection.release(); // Now the server's.
            return Outcome;
        }
        if (Outcome.Result != 101 || aConnection->Enabled()) {
            return Outcome;
        }
        Outcome.Refusal = UpgradeConnection(*aConnection);
        if (Outcome.Refusal) {
            return Outcome;
        }
        Outcome.Registered = true;
        TzefWSTestServerConnection& Registered = *aConnection.release(); // Now the server's.
        Registered.SetEnabled(true);
        if (Registered.OnUpdate) {
            Registered.OnUpdate(Registered, 1);
        }
        return Outcome;
    }

    // Registry storage.
    TzefWSConnectionList& LockList() override {
        FRegistryLock.lock(); // Released by UnLockList.
        return FList;
    }
    void UnLockList() override { FRegistryLock.unlock(); }
    TzefWSConnectionList& ShareList() override {
        FRegistryLock.lock_shared(); // Released by UnShareList.
        return FList;
    }
    void UnShareList() override { FRegistryLock.unlock_shared(); }

    std::string Host() override { return FHost; }
    void SetHost(const std::string& Value) override { FHost = Value; }
    int Port() override { return FPort; }
    void SetPort(int Value) override { FPort = Value; }

    using TzefWSServer_Base::DoHeartBeat;
    using TzefWSServer_Base::DoHeartBeatTimeout;

protected:
    void DoStart() override {
        ++Starts;
        FActive = true;
    }
    void DoStop() override {
        ++Stops;
        FActive = false;
    }
    void DoWatchDogException(const std::exception& E) override {
        WatchDogExceptions.push_back(E.what());
    }

private:
    std::shared_mutex FRegistryLock;
    TzefWSConnectionList FList; // Guarded by FRegistryLock; entries owned by the server.
    std::string FHost = "127.0.0.1";
    int FPort = 80;
};

} // namespace zef::testing
