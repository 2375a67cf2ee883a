// Pylon.HttpServer.Module: modules, the units of request handling, and their middleware.
#pragma once

#include "http/framework/Pylon.HttpServer.Context.h"
#include "http/framework/Pylon.Logger.h"
#include "http/framework/Pylon.Uri.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pylon {

/// A request handler; a closure that may capture state.
using THttpServerProc = std::function<void(THttpServerContext& Context)>;
/// Wraps the next handler of a chain into a new handler.
using THttpMiddlewareFunc = std::function<THttpServerProc(THttpServerProc Next)>;

/// Middleware: its function receives the next handler and returns the handler that runs in its
/// place, which may do its own work and call the next one, or answer by itself.
class IHttpServerMiddleware {
public:
    virtual ~IHttpServerMiddleware() = default;
    virtual THttpMiddlewareFunc GetMiddlewareFunc() = 0;
};

/// Runs a request through the middleware chain and then ProcessRequest. One object serves all
/// its requests on several worker threads at once: middleware is added before the server
/// starts and only read afterwards. Owned by the dispatcher once registered.
class TBaseHttpServerModule {
public:
    TBaseHttpServerModule() = default;
    TBaseHttpServerModule(const TBaseHttpServerModule&) = delete;
    TBaseHttpServerModule& operator=(const TBaseHttpServerModule&) = delete;
    virtual ~TBaseHttpServerModule() = default;

    virtual void SetLogEngine(std::shared_ptr<ILogEngine> Value) = 0;
    virtual std::shared_ptr<ILogEngine> GetLogEngine() const = 0;
    std::shared_ptr<ILogEngine> LogEngine() const { return GetLogEngine(); }
    /// Answers one request; concurrent calls must be tolerated.
    virtual void ProcessRequest(THttpServerContext& C) = 0;

    /// The first middleware added runs first (outermost).
    void AddMiddleware(std::shared_ptr<IHttpServerMiddleware> AMiddleware);
    /// Runs the chain, then closes the response if it is still open. Errors pass to the caller.
    void Execute(THttpServerContext& Context);

private:
    std::vector<std::shared_ptr<IHttpServerMiddleware>> FMiddlewareList;
};

/// The base of application modules: a base URL and a logger.
class THttpServerModule : public TBaseHttpServerModule {
public:
    explicit THttpServerModule(std::string_view ABaseUri) : FBaseUri(ABaseUri) {}

    void SetLogEngine(std::shared_ptr<ILogEngine> Value) override {
        FLogger.SetLogEngine(std::move(Value));
    }
    std::shared_ptr<ILogEngine> GetLogEngine() const override { return FLogger.LogEngine(); }
    const TUri& BaseUri() const { return FBaseUri; }
    /// AUri's segments after as many leading ones as BaseUri has (not compared); empty when
    /// AUri has no more segments than BaseUri.
    std::vector<std::string> GetRelativeSegments(const TUri& AUri) const;

protected:
    const TLogger& Logger() const { return FLogger; }

private:
    TUri FBaseUri;
    TLogger FLogger;
};

} // namespace pylon
