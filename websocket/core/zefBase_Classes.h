// zefBase_Classes: the library's base text classes: the comma list, the text stream and the
// header list.
#pragma once

#include "platform/rtl/Stream.h"
#include "platform/rtl/StringList.h"

#include <string>
#include <string_view>

namespace zef {

// The component root and the timer class of this unit are added with the component layer.

/// A string list whose delimiter is the comma and whose delimiting is strict: only the
/// delimiter separates items, blanks stay part of them, double quotes still group. Users that
/// need another delimiter set it after creation.
class TzefDelimitedStringList : public rtl::TStringList {
public:
    TzefDelimitedStringList() {
        SetDelimiter(',');
        SetStrictDelimiter(true);
    }
};

/// The text stream used for text payloads and buffers: an in-memory byte stream of UTF-8.
class TzefStringStream : public rtl::TMemoryStream {
public:
    using rtl::TMemoryStream::TMemoryStream;
};

/// A list of header lines ("Name: value"), line 0 usually the request line, with
/// case-insensitive lookup by name. One thread at a time.
class TzefHeaderList : public rtl::TStringList {
public:
    /// Index of the first line whose name (the text before its first ':') equals aName,
    /// ignoring ASCII letter case; -1 when there is none.
    int IndexOfHeader(std::string_view aName) const;
    /// The value of the first line named aName, without the blanks around it; "" when absent.
    std::string GetHeaderValue(std::string_view aName) const;
};

} // namespace zef
