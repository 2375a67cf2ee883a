// Pylon.HttpSys.Server: a server that runs its modules on the HTTP Server API.
#pragma once

#include "http/framework/Pylon.HttpServer.Dispatcher.h"
#include "http/framework/Pylon.HttpServer.Module.h"
#include "http/framework/Pylon.Logger.h"
#include "http/httpsys/Pylon.HttpSys.Context.h"
#include "http/httpsys/Pylon.HttpSys.Session.h"
#include "http/httpsys/Pylon.Sys.ThreadPool.h"
#include "platform/rtl/Exception.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace pylon {

class EHttpSysServerException : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EHttpSysServerException"; }
};

inline constexpr std::string_view SCouldNotStartMainThread = "Could not start server main thread";
inline constexpr std::string_view SThreadPoolError = "Thread Pool Error: %s";
inline constexpr std::string_view SLeavingMainLoop =
    "Leaving main server loop by exception. %s: %s";

/// A manual-reset event.
class THttpSysEvent {
public:
    explicit THttpSysEvent(bool Signalled) : FSignalled(Signalled) {}
    void Set();
    void Reset();
    /// True when the event is (or becomes) signalled within Timeout milliseconds.
    bool WaitFor(DWORD Timeout);

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FSignalled; // Guarded by FLock.
};

class TCustomHttpSysServer;

/// One received request on its way through the pool; owns the request's context.
class TServerWorkItem {
public:
    TServerWorkItem(std::unique_ptr<THttpSysContext> AContext, TCustomHttpSysServer& AServer)
        : FServer(&AServer)
        , FContext(std::move(AContext)) {}
    TCustomHttpSysServer& Server() const noexcept { return *FServer; }
    THttpSysContext& Context() const noexcept { return *FContext; }

private:
    TCustomHttpSysServer* FServer; // Not owned: the server waits for its work items.
    std::unique_ptr<THttpSysContext> FContext;
};

/// Serves its modules through the HTTP Server API: one main thread receives requests, the
/// system's shared pool answers them. Modules are added and settings made before Start, from
/// the one controlling thread that also calls Start, Stop and frees the server.
/// Work items call the virtual DoProcessRequest, so a descendant must stop the server in its
/// own destructor: once a destructor has run, the object is no longer of the descendant's
/// class, and an item still running would reach a half-destroyed object.
class TCustomHttpSysServer {
public:
    /// Initialises the platform (see THttpSysSession).
    TCustomHttpSysServer();
    TCustomHttpSysServer(const TCustomHttpSysServer&) = delete;
    TCustomHttpSysServer& operator=(const TCustomHttpSysServer&) = delete;
    virtual ~TCustomHttpSysServer();

    /// The dispatcher takes ownership.
    void AddModule(std::unique_ptr<THttpServerModule> AModule);
    /// Registers every module's URL prefix and starts serving; nothing while running. Throws
    /// when the prefixes, the session or the main thread cannot be started.
    void Start();
    /// Drains the pool, closes the session and waits for the main thread; nothing when stopped.
    void Stop();
    /// True when the main thread ended within 15 seconds.
    bool WaitMainThread();

    bool IsRunning() const noexcept { return FSession->IsListening(); }
    std::shared_ptr<ILogEngine> LogEngine() const { return FLogger->LogEngine(); }
    void SetLogEngine(std::shared_ptr<ILogEngine> Value);
    THttpDispatcher& Dispatcher() noexcept { return *FDispatcher; }
    THttpSysSession& Session() noexcept { return *FSession; }
    TThreadPool& ThreadPool() noexcept { return *FThreadPool; }
    bool KeepHostInUrlPrefixes() const noexcept { return FKeepHostInUrlPrefixes; }
    void SetKeepHostInUrlPrefixes(bool Value) noexcept { FKeepHostInUrlPrefixes = Value; }

protected:
    /// First step of every start: the socket library and the URL prefixes.
    virtual void BeforeStart();
    /// Answers one request on a pool thread.
    virtual void DoProcessRequest(THttpSysContext& Context);

private:
    static constexpr DWORD MainThreadTimeout = 15000;

    void InternalStart();
    void MainThreadProc(std::shared_ptr<THttpSysEvent> StartEvent) noexcept;
    void WorkItemCallBack(void* Sender) noexcept;
    void JoinMainThread();

    std::unique_ptr<THttpSysSession> FSession;
    std::unique_ptr<TLogger> FLogger;
    std::atomic<bool> FStopRequested{false};   // Read by the main thread and the work items.
    std::unique_ptr<THttpSysEvent> FMainEvent; // Signalled while no main thread runs.
    std::unique_ptr<TThreadPool> FThreadPool;
    std::unique_ptr<THttpDispatcher> FDispatcher;
    bool FKeepHostInUrlPrefixes = false;
    std::thread FMainThread; // Started by Start, joined by Stop and the destructor.
};

/// The server a program creates.
class THttpSysServer : public TCustomHttpSysServer {
public:
    using TCustomHttpSysServer::TCustomHttpSysServer;
    /// Stops first (see TCustomHttpSysServer's destructor).
    ~THttpSysServer() override;
};

} // namespace pylon
