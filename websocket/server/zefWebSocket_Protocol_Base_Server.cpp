// zefWebSocket_Protocol_Base_Server: the built-in files.
#include "websocket/server/zefWebSocket_Protocol_Base_Server.h"

#include "platform/rtl/Utf.h"

#include <mutex>
#include <windows.h>

namespace zef {

std::optional<std::vector<std::uint8_t>> LoadResourceBytes(std::string_view aName) {
    std::wstring Name = rtl::Utf8ToWide(aName);
    HRSRC Info = FindResourceW(nullptr, Name.c_str(), RT_RCDATA);
    if (!Info) {
        return std::nullopt;
    }
    HGLOBAL Handle = LoadResource(nullptr, Info);
    const void* Data = Handle ? LockResource(Handle) : nullptr;
    DWORD Size = SizeofResource(nullptr, Info);
    if (!Data && Size > 0) {
        return std::nullopt;
    }
    const auto* Bytes = static_cast<const std::uint8_t*>(Data);
    return std::vector<std::uint8_t>(Bytes, Bytes + Size);
}

std::string LoadResourceText(std::string_view aName) {
    auto Bytes = LoadResourceBytes(aName);
    if (!Bytes) {
        std::string Message(SResNotFound);
        Message.replace(Message.find("%s"), 2, aName);
        throw EResNotFound(Message);
    }
    return std::string(Bytes->begin(), Bytes->end());
}

void TzefWSProtocol_JS_Base::GetResponse(std::string& aResponse) {
    aResponse = LoadResourceText("ZEF_JS_ZEFWEBSOCKETS");
}

void TzefWSProtocol_JS_Flash::GetResponse(std::string& aResponse) {
    aResponse = LoadResourceText("ZEF_JS_ZEFWEBSOCKETSFLASH");
}

void TzefWSProtocol_JS_EventSource::GetResponse(std::string& aResponse) {
    aResponse = LoadResourceText("ZEF_JS_ZEFWEBSOCKETSEVENTSOURCE");
}

void TzefWSProtocol_HTML_Base::GetResponse(std::string& aResponse) {
    aResponse = LoadResourceText("ZEF_HTML_ZEFWEBSOCKETS");
}

void RegisterProtocolFiles() {
    static std::once_flag Once;
    std::call_once(Once, [] {
        TzefWSHTTPResponse::RegisterFileName<TzefWSProtocol_JS_Base>();
        TzefWSHTTPResponse::RegisterFileName<TzefWSProtocol_JS_Flash>();
        TzefWSHTTPResponse::RegisterFileName<TzefWSProtocol_JS_EventSource>();
        TzefWSHTTPResponse::RegisterFileName<TzefWSProtocol_HTML_Base>();
    });
}

namespace {

const bool Registered = (RegisterProtocolFiles(), true);

} // namespace

} // namespace zef
