// Escaping: hexadecimal digits and percent-escapes ("%41"), decoded once for every layer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rtl {

/// The value of one hexadecimal digit ('0'-'9', 'a'-'f', 'A'-'F'), or -1 for any other
/// character. -1 is the failure value of every function here.
int HexDigitValue(char C) noexcept;

/// The byte that the percent-escape at Text[At] stands for (0-255), or -1 when Text holds no
/// well-formed escape there: Text[At] is not '%', fewer than two characters follow it, or one
/// of them is not a hexadecimal digit. Never reads past Text.
int PercentEscapeAt(std::string_view Text, std::size_t At) noexcept;

/// Text with every well-formed percent-escape replaced by its byte; a '%' that starts no
/// well-formed escape stays as it is. The result is bytes: it need not be valid UTF-8.
std::string PercentDecodeLenient(std::string_view Text);

} // namespace rtl
