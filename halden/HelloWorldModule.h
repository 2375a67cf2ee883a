// HelloWorldModule: the module that greets every request under its base URL.
#pragma once

#include "http/framework/Pylon.HttpServer.Module.h"

#include <string_view>

namespace pylon {

inline constexpr std::string_view HelloBaseUrl = "http://127.0.0.1:2001/vek/orbis/hello";
inline constexpr std::string_view HelloContentType = "text/plain";
inline constexpr std::string_view HelloBody = "Hello, World!";

/// Answers 200 "text/plain" "Hello, World!" whatever the request holds. Keeps no state, so
/// any number of worker threads may call it at once.
class THelloWorldModule : public THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    void ProcessRequest(THttpServerContext& C) override;
};

} // namespace pylon
