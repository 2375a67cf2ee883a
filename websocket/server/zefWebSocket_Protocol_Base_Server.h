// zefWebSocket_Protocol_Base_Server: the built-in files (client library, Flash loader,
// event-source fallback, demo page) and the loading of the program's embedded resources.
#pragma once

#include "platform/rtl/Exception.h"
#include "websocket/server/zefWebSocket_HTTPResponse.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zef {

/// A named resource is not embedded in the program.
class EResNotFound : public rtl::Exception {
public:
    using rtl::Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EResNotFound"; }
};

/// Message of EResNotFound; %s is the resource name.
inline constexpr std::string_view SResNotFound = "Resource %s not found";

/// The bytes of the raw-data resource aName; nullopt when it is not embedded.
std::optional<std::vector<std::uint8_t>> LoadResourceBytes(std::string_view aName);
/// The raw-data resource aName as text, one character per byte. Throws EResNotFound.
std::string LoadResourceText(std::string_view aName);

/// Registers the four built-in files once, in their fixed order. Also run during static
/// initialisation; the server calls it as well, so that a program linking the library
/// statically always has them.
void RegisterProtocolFiles();

class TzefWSProtocol_JS_Base : public TzefWSHTTPResponse_Base {
public:
    void GetResponse(std::string& aResponse) override;
    std::string GetFileName() override { return "zefWebSockets.js"; }
};

class TzefWSProtocol_JS_Flash : public TzefWSHTTPResponse_Base {
public:
    void GetResponse(std::string& aResponse) override;
    std::string GetFileName() override { return "zefWebSocketsFlash.js"; }
};

class TzefWSProtocol_JS_EventSource : public TzefWSHTTPResponse_Base {
public:
    void GetResponse(std::string& aResponse) override;
    std::string GetFileName() override { return "zefWebSocketsEventSource.js"; }
};

class TzefWSProtocol_HTML_Base : public TzefWSHTTPResponse_Base {
public:
    void GetResponse(std::string& aResponse) override;
    std::string GetFileName() override { return "zefWebSockets.html"; }
};

} // namespace zef
