// Pylon.HttpServer.Module: modules, the units of request handling, and their middleware.
#include "http/framework/Pylon.HttpServer.Module.h"

namespace pylon {

void TBaseHttpServerModule::AddMiddleware(std::shared_ptr<IHttpServerMiddleware> AMiddleware) {
    FMiddlewareList.push_back(std::move(AMiddleware));
}

void TBaseHttpServerModule::Execute(THttpServerContext& Context) {
    if (FMiddlewareList.empty()) {
        ProcessRequest(Context); // The chain would be this call alone.
    } else {
        THttpServerProc Handler = [this](THttpServerContext& C) { ProcessRequest(C); };
        for (auto It = FMiddlewareList.rbegin(); It != FMiddlewareList.rend(); ++It) {
            Handler = (*It)->GetMiddlewareFunc()(std::move(Handler));
        }
        if (Handler) {
            Handler(Context);
        }
    }
    THttpServerResponse& Response = Context.Response();
    if (!Response.Closed()) {
        Response.Close();
    }
}

std::vector<std::string> THttpServerModule::GetRelativeSegments(const TUri& AUri) const {
    const std::vector<std::string>& Base = FBaseUri.Segments();
    const std::vector<std::string>& Segments = AUri.Segments();
    if (Segments.size() <= Base.size()) {
        return {};
    }
    return {Segments.begin() + std::ptrdiff_t(Base.size()), Segments.end()};
}

} // namespace pylon
