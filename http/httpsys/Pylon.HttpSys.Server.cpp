// Pylon.HttpSys.Server: a server that runs its modules on the HTTP Server API.
#include "http/httpsys/Pylon.HttpSys.Server.h"

#include "http/httpsys/Pylon.HttpSys.Api.h"
#include "http/httpsys/Pylon.Win.Socket.h"
#include "platform/rtl/Format.h"

#include <chrono>
#include <string>

namespace pylon {

// ---- THttpSysEvent ----

void THttpSysEvent::Set() {
    // Notified under the lock: a waiter that sees the event may free it once it holds the lock.
    std::scoped_lock Lock(FLock);
    FSignalled = true;
    FChanged.notify_all();
}

void THttpSysEvent::Reset() {
    std::scoped_lock Lock(FLock);
    FSignalled = false;
}

bool THttpSysEvent::WaitFor(DWORD Timeout) {
    std::unique_lock Lock(FLock);
    return FChanged.wait_for(Lock, std::chrono::milliseconds(Timeout),
                             [this] { return FSignalled; });
}

// ---- TCustomHttpSysServer ----

TCustomHttpSysServer::TCustomHttpSysServer()
    : FSession(std::make_unique<THttpSysSession>())
    , FLogger(std::make_unique<TLogger>())
    , FMainEvent(std::make_unique<THttpSysEvent>(true))
    , FThreadPool(std::make_unique<TWinThreadPool>())
    , FDispatcher(std::make_unique<THttpDispatcher>()) {
}

TCustomHttpSysServer::~TCustomHttpSysServer() {
    try {
        Stop();
    } catch (...) {
        // Freeing goes on: the platform objects are released with the session.
    }
    JoinMainThread();
    FSession.reset();
    FMainEvent.reset();
    FThreadPool.reset();
    FLogger.reset();
    FDispatcher.reset();
}

void TCustomHttpSysServer::AddModule(std::unique_ptr<THttpServerModule> AModule) {
    FDispatcher->AddModule(std::move(AModule));
}

void TCustomHttpSysServer::SetLogEngine(std::shared_ptr<ILogEngine> Value) {
    FLogger->SetLogEngine(Value);
    FDispatcher->SetLogEngine(std::move(Value));
}

void TCustomHttpSysServer::Start() {
    if (!IsRunning()) {
        InternalStart();
    }
}

void TCustomHttpSysServer::Stop() {
    if (!IsRunning()) {
        return;
    }
    FStopRequested = true;
    FThreadPool->Stop();
    FSession->Stop();
    if (WaitMainThread()) {
        JoinMainThread();
    }
}

bool TCustomHttpSysServer::WaitMainThread() {
    return FMainEvent->WaitFor(MainThreadTimeout);
}

void TCustomHttpSysServer::JoinMainThread() {
    // The thread has signalled FMainEvent (or is about to end after closing the session), so
    // this does not wait long; joining keeps it from outliving the server.
    if (FMainThread.joinable()) {
        FMainThread.join();
    }
}

void TCustomHttpSysServer::BeforeStart() {
    InitSocketLibrary();
    rtl::TStringList& Prefixes = FSession->UrlPrefixes();
    Prefixes.Clear();
    for (const auto& Info : FDispatcher->ModulesInfo()) {
        const TUri& Uri = Info->BaseUri();
        // The platform takes only prefixes that end with "/"; it routes the path without the
        // final "/" to the prefix as well.
        std::string Path = Uri.OriginalPath();
        if (Path.empty() || Path.back() != '/') {
            Path += '/';
        }
        const std::string Port = std::to_string(Uri.Port());
        if (FKeepHostInUrlPrefixes) {
            Prefixes.Add(rtl::FormatText("%s://%s:%s%s", {Uri.Scheme(), Uri.Host(), Port, Path}));
        } else {
            Prefixes.Add(rtl::FormatText("%s://+:%s%s", {Uri.Scheme(), Port, Path}));
        }
    }
}

void TCustomHttpSysServer::InternalStart() {
    BeforeStart();
    FSession->Start();
    FThreadPool->Start();
    FStopRequested = false;
    JoinMainThread(); // One that ended by itself before this start.
    // Shared with the thread: it may signal only after the wait below has given up.
    auto StartEvent = std::make_shared<THttpSysEvent>(false);
    FMainThread = std::thread([this, StartEvent] { MainThreadProc(StartEvent); });
    if (!StartEvent->WaitFor(MainThreadTimeout)) {
        throw EHttpSysServerException(std::string(SCouldNotStartMainThread));
    }
}

void TCustomHttpSysServer::MainThreadProc(std::shared_ptr<THttpSysEvent> StartEvent) noexcept {
    if (FStopRequested) {
        return;
    }
    FMainEvent->Reset();
    StartEvent->Set();
    StartEvent.reset();
    try {
        while (!FStopRequested) {
            std::unique_ptr<THttpSysContext> C = FSession->GetContext();
            if (!C) {
                break; // The queue was closed.
            }
            if (FStopRequested) {
                continue; // Released unprocessed: the server is going away.
            }
            auto Item = std::make_unique<TServerWorkItem>(std::move(C), *this);
            if (!FThreadPool->QueueUserWorkItem(
                    Item.get(), [this](void* Sender) { WorkItemCallBack(Sender); })) {
                throw EHttpSysServerException(
                    rtl::FormatText(SThreadPoolError, {SysErrorMessage(GetLastError())}));
            }
            Item.release(); // WorkItemCallBack frees it.
        }
    } catch (const rtl::Exception& E) {
        try {
            FLogger->Log(rtl::FormatText(SLeavingMainLoop, {E.ClassName(), E.what()}));
        } catch (...) {
            // A log engine that fails has nowhere to report to; the thread still stops below.
        }
    } catch (const std::exception& E) {
        try {
            FLogger->Log(rtl::FormatText(SLeavingMainLoop, {"std::exception", E.what()}));
        } catch (...) {
            // A log engine that fails has nowhere to report to; the thread still stops below.
        }
    } catch (...) {
        // Not an exception object: there is no text to log. The receiving thread's body must
        // not let it escape (that ends the process); the session is stopped below as usual.
    }
    try {
        FSession->Stop();
    } catch (...) {
        // The thread ends in any case; a later Stop or the destructor tries again.
    }
    FMainEvent->Set();
}

void TCustomHttpSysServer::WorkItemCallBack(void* Sender) noexcept {
    std::unique_ptr<TServerWorkItem> Item(static_cast<TServerWorkItem*>(Sender));
    if (FStopRequested) {
        return;
    }
    try {
        DoProcessRequest(Item->Context());
    } catch (...) {
        // The dispatcher answers every failure itself; a descendant's own must not end the
        // pool thread.
    }
}

void TCustomHttpSysServer::DoProcessRequest(THttpSysContext& Context) {
    FDispatcher->DispatchRequest(Context);
}

// ---- THttpSysServer ----

THttpSysServer::~THttpSysServer() {
    try {
        Stop();
    } catch (...) {
        // The base destructor tries again.
    }
    // Every work item has returned before the object starts to come apart, also one that
    // outlived the stop time-out: it still uses the server.
    ThreadPool().WaitWorkItems(INFINITE);
}

} // namespace pylon
