// Resources: the registry of the raw-data resources embedded into a program at build time.
#pragma once

#include <cstddef>
#include <windows.h>

namespace win {

/// Registers one embedded RT_RCDATA resource under Name (matched case-insensitively). Called
/// by the code that platform_embed_resources() generates, during static initialisation; Data
/// must stay valid for the life of the process. A name registered again keeps its first data.
void RegisterResource(const wchar_t* Name, const void* Data, std::size_t Size) noexcept;

} // namespace win
