// Pylon.HttpServer.Dispatcher: the module registry, the router, and the error boundary.
#include "http/framework/Pylon.HttpServer.Dispatcher.h"

#include "platform/rtl/Exception.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/StringList.h"

#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

namespace pylon {

namespace {

// The readable name of an exception's dynamic type ("std::out_of_range").
std::string TypeName(const std::exception& E) {
    const char* Mangled = typeid(E).name();
    int Status = 0;
    char* Demangled = abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status);
    std::string Result = Status == 0 && Demangled != nullptr ? Demangled : Mangled;
    std::free(Demangled);
    return Result;
}

} // namespace

void THttpDispatcher::AddModule(std::unique_ptr<THttpServerModule> AModule) {
    auto BaseUri = std::make_unique<TUri>(AModule->BaseUri().OriginalUri());
    AddModule(std::move(BaseUri), std::move(AModule));
}

void THttpDispatcher::AddModule(std::unique_ptr<TUri> ABaseUri,
                                std::unique_ptr<TBaseHttpServerModule> AModule) {
    AModule->SetLogEngine(FLogger.LogEngine());
    FModules.push_back(
        std::make_unique<THttpServerModuleInfo>(std::move(ABaseUri), std::move(AModule)));
}

void THttpDispatcher::DispatchRequest(THttpServerContext& Context) noexcept {
    try {
        THttpServerRequest& Request = Context.Request();
        THttpServerResponse& Response = Context.Response();
        // The framing follows the client's protocol: an HTTP/1.0 client cannot read chunks.
        if (Response.Protocol() != Request.Protocol()) {
            Response.SetProtocol(Request.Protocol());
        }
        // A HEAD answer carries the headers of the GET answer but no body.
        if (Request.MethodType() == THttpMethod::Head) {
            Response.SetSuppressBody(true);
        }
        Response.SetStatusCode(400);
        ProcessRequest(Context);
        if (!Response.Closed()) {
            Response.Close();
        }
    } catch (const rtl::Exception& E) {
        HandleError(Context, E.ClassName(), E.what());
    } catch (const std::exception& E) {
        HandleError(Context, TypeName(E), E.what());
    } catch (...) {
        HandleError(Context, "unknown exception", "");
    }
}

void THttpDispatcher::HandleError(THttpServerContext& Context, std::string_view ClassName,
                                  std::string_view Message) noexcept {
    try {
        if (FLogger.LogEngine()) {
            FLogger.Log(rtl::FormatText(SExceptionLogLine, {ClassName, Message}));
        }
    } catch (...) {
        // A failing log engine must not keep the client from its answer.
    }
    try {
        THttpServerResponse& Response = Context.Response();
        if (Response.HeadersSent()) {
            // Part of the answer is on the wire: end it so the client sees it is incomplete.
            Response.Abort();
            return;
        }
        Response.Headers().Clear();
        Response.SetStatusCode(500);
        Response.SetContentType("text/plain");
        Response.SetContentLength(0);
        Response.SetChunked(false);
        if (FDetailedErrorResponse) {
            const std::string Body = rtl::FormatText(SExceptionResponseBody, {ClassName, Message});
            Response.SetContentLength(std::int64_t(Body.size()));
            Response.Content().WriteAll(Body);
        }
        if (!Response.Closed()) {
            Response.Close();
        }
    } catch (...) {
        // Errors while producing the error answer are dropped: the worker gets control back.
    }
}

void THttpDispatcher::ProcessRequest(THttpServerContext& Context) {
    THttpServerResponse& Response = Context.Response();
    Response.SetStatusCode(400);
    TBaseHttpServerModule* Module = FindModule(Context.Request().Uri());
    if (Module != nullptr) {
        Module->Execute(Context);
    } else {
        Response.SetStatusCode(404);
    }
}

TBaseHttpServerModule* THttpDispatcher::FindModule(const TUri& AUri) const {
    TBaseHttpServerModule* Result = nullptr;
    std::size_t Chosen = 0;
    const std::vector<std::string>& Segments = AUri.Segments();
    for (const auto& Info : FModules) {
        const std::vector<std::string>& Base = Info->BaseUri().Segments();
        const std::size_t N = Base.size();
        if (N == 0) {
            if (Result == nullptr) {
                Result = &Info->Module();
            }
            continue;
        }
        if (Segments.size() < N || N <= Chosen) {
            continue;
        }
        bool Equal = true;
        for (std::size_t I = 0; I < N && Equal; ++I) {
            Equal = rtl::SameText(Base[I], Segments[I]);
        }
        if (Equal) {
            Result = &Info->Module();
            Chosen = N;
        }
    }
    return Result;
}

} // namespace pylon
