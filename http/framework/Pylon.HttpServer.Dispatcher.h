// Pylon.HttpServer.Dispatcher: the module registry, the router, and the error boundary.
#pragma once

#include "http/framework/Pylon.HttpServer.Context.h"
#include "http/framework/Pylon.HttpServer.Module.h"
#include "http/framework/Pylon.Logger.h"
#include "http/framework/Pylon.Uri.h"

#include <memory>
#include <string_view>
#include <vector>

namespace pylon {

inline constexpr std::string_view SExceptionLogLine = "Exception on process requesting. %s: %s";
inline constexpr std::string_view SExceptionResponseBody = "Exception Class: %s \r\nMessage: %s";

/// One registration: a module and the base URI it is registered under, both owned.
class THttpServerModuleInfo {
public:
    THttpServerModuleInfo(std::unique_ptr<TUri> ABaseUri,
                          std::unique_ptr<TBaseHttpServerModule> AModule)
        : FModule(std::move(AModule))
        , FBaseUri(std::move(ABaseUri)) {}
    TBaseHttpServerModule& Module() const { return *FModule; }
    const TUri& BaseUri() const { return *FBaseUri; }

private:
    std::unique_ptr<TBaseHttpServerModule> FModule;
    std::unique_ptr<TUri> FBaseUri;
};

/// Routes each request to the module whose base path is the longest whole-segment prefix of
/// the request path (ASCII case ignored), and turns every error of request handling into an
/// answer. Owned by the host. DispatchRequest runs on many worker threads at once; modules
/// are added and cleared only while no request is being dispatched.
class THttpDispatcher {
public:
    THttpDispatcher() = default;
    THttpDispatcher(const THttpDispatcher&) = delete;
    THttpDispatcher& operator=(const THttpDispatcher&) = delete;
    virtual ~THttpDispatcher() = default;

    /// Registers under a fresh copy of the module's BaseUri; the module gets the current
    /// LogEngine (a later change does not reach it).
    void AddModule(std::unique_ptr<THttpServerModule> AModule);
    void AddModule(std::unique_ptr<TUri> ABaseUri, std::unique_ptr<TBaseHttpServerModule> AModule);
    void ClearModules() { FModules.clear(); }
    /// Handles one request completely; never throws. Status 400 is preset, an unrouted request
    /// gets 404, an error before the headers went out 500 (with the error's class and message
    /// unless DetailedErrorResponse is off); an error after that ends the response early.
    void DispatchRequest(THttpServerContext& Context) noexcept;
    /// Registrations in the order they were made.
    const std::vector<std::unique_ptr<THttpServerModuleInfo>>& ModulesInfo() const {
        return FModules;
    }
    const std::vector<std::unique_ptr<THttpServerModuleInfo>>& GetModulesInfo() const {
        return FModules;
    }
    const std::shared_ptr<ILogEngine>& LogEngine() const { return FLogger.LogEngine(); }
    void SetLogEngine(std::shared_ptr<ILogEngine> Value) { FLogger.SetLogEngine(std::move(Value)); }

protected:
    /// Presets 400, then runs the matching module or sets 404.
    virtual void ProcessRequest(THttpServerContext& Context);
    TBaseHttpServerModule* FindModule(const TUri& AUri) const;
    bool DetailedErrorResponse() const { return FDetailedErrorResponse; }
    void SetDetailedErrorResponse(bool Value) { FDetailedErrorResponse = Value; }

private:
    void HandleError(THttpServerContext& Context, std::string_view ClassName,
                     std::string_view Message) noexcept;

    std::vector<std::unique_ptr<THttpServerModuleInfo>> FModules;
    bool FDetailedErrorResponse = true;
    TLogger FLogger;
};

} // namespace pylon
