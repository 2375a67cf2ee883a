// Utf: UTF-8 validation and conversion between UTF-8 text and wide (UTF-32 wchar_t) text.
#pragma once

#include <string>
#include <string_view>

namespace rtl {

/// True when every byte of Text is below 0x80.
bool IsAscii(std::string_view Text) noexcept;
/// True when Text is well-formed UTF-8: no overlong forms, no surrogates, nothing above
/// U+10FFFF, no truncated sequence.
bool IsValidUtf8(std::string_view Text) noexcept;
/// Decodes UTF-8; every ill-formed sequence becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view Text);
/// Encodes wide text as UTF-8; a surrogate or a value above U+10FFFF becomes U+FFFD.
std::string WideToUtf8(std::wstring_view Text);

} // namespace rtl
