// Pylon.Uri: fuzz target for URL parsing.
#include "http/framework/Pylon.Uri.h"
#include "platform/rtl/Utf.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
    const pylon::TUri Uri(Text);
    if (Uri.OriginalUri() != Text || Uri.Port() < 0 || Uri.Port() > 65535) {
        __builtin_trap();
    }
    if (Uri.OriginalPath().empty() || Uri.OriginalPath().front() != '/' || Uri.Path().empty() ||
        Uri.Path().front() != '/') {
        __builtin_trap();
    }
    // Every segment is a non-empty piece of the path, decoded into well-formed UTF-8.
    for (const std::string& Segment : Uri.Segments()) {
        if (Segment.empty() || !rtl::IsValidUtf8(Segment)) {
            __builtin_trap();
        }
    }
    if (Uri.Segments().size() > Uri.OriginalPath().size() / 2 + 1) {
        __builtin_trap();
    }
    if (!rtl::IsValidUtf8(Uri.Path()) || !rtl::IsValidUtf8(Uri.Query()) ||
        !rtl::IsValidUtf8(Uri.Fragment())) {
        __builtin_trap();
    }
    for (const char C : Uri.Scheme()) {
        if (C >= 'A' && C <= 'Z') {
            __builtin_trap();
        }
    }
    const auto Copy = Uri.Clone();
    if (Copy->Segments() != Uri.Segments() || Copy->Authority() != Uri.Authority() ||
        pylon::TUri::HasScheme(Text) != !Uri.Scheme().empty()) {
        __builtin_trap();
    }
    return 0;
}
