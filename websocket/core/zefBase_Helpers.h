// zefBase_Helpers: identifiers, ticks, text tests and conversions, byte helpers and the
// main-thread hand-off.
#pragma once

#include "platform/rtl/Stream.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zef {

/// A fresh GUID as 32 upper-case hexadecimal digits (no braces, no hyphens).
std::string NewGuid();
/// Milliseconds of a monotonic clock; only differences of two readings mean anything.
std::uint64_t GetTicks() noexcept;
/// Current local date-time as days since 1899-12-30 (fraction: time of day).
double Now() noexcept;

/// aText with every occurrence of aFrom replaced by aTo (an empty aFrom changes nothing).
std::string ReplaceText(std::string_view aText, std::string_view aFrom, std::string_view aTo);
/// aSubText occurs in aText, ignoring ASCII letter case. An empty aSubText occurs everywhere.
bool ContainsText(std::string_view aText, std::string_view aSubText) noexcept;
/// aText matches the file-name mask aMask ("*" any run, "?" one byte), ignoring letter case.
bool MatchesMask(std::string_view aText, std::string_view aMask) noexcept;
/// Standard Base64 with padding.
std::string EncodeBase64(std::span<const std::uint8_t> aBytes);
/// Decodes standard Base64. Malformed input gives a best effort: characters outside the
/// alphabet are skipped and decoding stops at the first "=".
std::string DecodeBase64(std::string_view aText);
/// The decimal 64-bit integer of aText (optional sign, no blanks). Throws rtl::EConvertError
/// for anything else, including values out of range.
std::int64_t StrToInt64(std::string_view aText);

/// Hands aMethod to the main thread and returns at once (see rtl::QueueToMainThread).
void QueueToMainThread(std::function<void()> aMethod);
/// Runs aMethod on the main thread and waits for it (see rtl::SynchronizeWithMainThread).
void SynchronizeWithMainThread(std::function<void()> aMethod);

/// Appends aBytes to aTarget.
void AppendBytes(std::span<const std::uint8_t> aBytes, std::vector<std::uint8_t>& aTarget);
/// Keeps only the last aCount bytes of aStream, rewritten from position 0; a stream not longer
/// than aCount is left as it is.
void KeepLastBytes(rtl::TMemoryStream& aStream, std::int64_t aCount);

/// Splits "scheme://host:port/path?query". Every output is emptied first; aPath keeps its
/// leading "/", aQuery is the text after "?".
void ParseURL(std::string_view aURL, std::string& aProtocol, std::string& aHost, std::string& aPort,
              std::string& aPath, std::string& aQuery);
/// aBefore := the part of aText before the first aDelimiter (case-insensitive search); with
/// aRemove, aText := the part after it. Without a match aBefore := aText and, with aRemove,
/// aText := "".
void SplitText(std::string& aText, std::string_view aDelimiter, bool aRemove, std::string& aBefore);

} // namespace zef
