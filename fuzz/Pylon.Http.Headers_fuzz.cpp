// Pylon.Http.Headers: fuzz target for parsing raw header blocks.
#include "http/framework/Pylon.Http.Headers.h"
#include "platform/rtl/Utf.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::pair<std::string, std::string>> Entries(const pylon::THttpHeaders& Headers) {
    std::vector<std::pair<std::string, std::string>> Result;
    for (const pylon::THttpHeaderInfo& Entry : Headers.AllHeaders()) {
        Result.emplace_back(Entry.Name(), Entry.Value());
    }
    return Result;
}

} // namespace

// The first byte picks how the rest becomes wide text: decoded as UTF-8, or taken four bytes
// at a time as raw wchar_t values (surrogates and values beyond Unicode included).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) {
        return 0;
    }
    std::wstring Text;
    if (Data[0] % 2 == 0) {
        Text = rtl::Utf8ToWide(std::string_view(reinterpret_cast<const char*>(Data + 1), Size - 1));
    } else {
        for (std::size_t I = 1; I + 4 <= Size; I += 4) {
            std::uint32_t Value = 0;
            std::memcpy(&Value, Data + I, 4);
            Text += wchar_t(Value);
        }
    }
    pylon::THttpHeaders Headers;
    Headers.SetRawWideHeaders(Text);
    const auto First = Entries(Headers);
    for (std::size_t I = 0; I < First.size(); ++I) {
        const auto& [Name, Value] = First[I];
        if (Name.empty() || Name.find(':') != std::string::npos || Headers.Get(Name) != Value) {
            __builtin_trap();
        }
        for (const char C : Name) {
            if (C >= 'A' && C <= 'Z') {
                __builtin_trap();
            }
        }
        if (!Value.empty() &&
            (std::uint8_t(Value.front()) <= ' ' || std::uint8_t(Value.back()) <= ' ')) {
            __builtin_trap();
        }
        for (std::size_t J = 0; J < I; ++J) {
            if (First[J].first == Name) {
                __builtin_trap();
            }
        }
    }
    // Writing the block out and parsing it again gives the same entries.
    pylon::THttpHeaders Again;
    Again.SetRawWideHeaders(Headers.RawWideHeaders());
    if (Entries(Again) != First) {
        __builtin_trap();
    }
    return 0;
}
