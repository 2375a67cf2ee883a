// Format: message texts with "%s" placeholders.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace rtl {

/// Replaces each "%s" of Pattern, left to right, with the next argument; "%%" gives "%".
/// Placeholders beyond the arguments stay as they are, arguments beyond the placeholders are
/// ignored: a message text never throws while an error is being reported.
std::string FormatText(std::string_view Pattern, std::initializer_list<std::string_view> Args);

} // namespace rtl
