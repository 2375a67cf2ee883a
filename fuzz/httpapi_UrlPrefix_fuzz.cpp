// httpapi_UrlPrefix: URL prefixes parsed, rebuilt and parsed again to the same key.
#include "platform/httpapi/UrlPrefix.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using namespace httpapi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    auto Copy = std::make_unique<char[]>(Size);
    std::copy(Data, Data + Size, Copy.get());
    TUrlPrefix Prefix;
    if (ParseUrlPrefix({Copy.get(), Size}, Prefix) != NO_ERROR) {
        return 0;
    }
    std::string Host;
    switch (Prefix.Kind) {
    case THostKind::StrongWildcard:
        Host = "+";
        break;
    case THostKind::WeakWildcard:
        Host = "*";
        break;
    case THostKind::IpAddress:
        Host = Prefix.Host.find(':') != std::string::npos ? "[" + Prefix.Host + "]" : Prefix.Host;
        break;
    case THostKind::Explicit:
        Host = Prefix.Host;
        break;
    }
    const std::string Rebuilt =
        Prefix.Scheme + "://" + Host + ":" + std::to_string(Prefix.Port) + Prefix.Path;
    TUrlPrefix Again;
    if (ParseUrlPrefix(Rebuilt, Again) != NO_ERROR || Again.Key() != Prefix.Key()) {
        __builtin_trap();
    }
    if (!Prefix.MatchesPath(Prefix.Path) || Prefix.Port == 0 || Prefix.Path.back() != '/') {
        __builtin_trap();
    }
    return 0;
}
