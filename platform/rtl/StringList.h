// StringList: an ordered list of text lines with delimited-text, name=value and text forms.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace rtl {

/// An ordered list of strings (UTF-8 text).
///
/// - `Text` joins the lines, each followed by CR LF; setting it splits at CR LF, LF or CR.
/// - `DelimitedText` joins the items with `Delimiter`, quoting with `QuoteChar` an item that
///   holds the delimiter, the quote, or (unless `StrictDelimiter`) a blank or control character;
///   setting it splits again. With `StrictDelimiter` only the delimiter separates items and
///   blanks stay part of them; otherwise blanks separate too. Quotes always group, and a doubled
///   quote inside a quoted item is one quote.
/// - `name=value` lines: `Names`, `Values`, `IndexOfName` use `NameValueSeparator`; names and
///   `IndexOf` compare without regard to ASCII letter case unless `CaseSensitive`.
/// One thread at a time, no lock.
class TStringList {
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> Lines) : FItems(Lines) {}

    std::size_t Count() const { return FItems.size(); }
    bool Empty() const { return FItems.empty(); }
    /// Lines the list holds room for; setting it below Count leaves the room as it is.
    std::size_t Capacity() const { return FItems.capacity(); }
    void SetCapacity(std::size_t Value) { FItems.reserve(Value); }
    /// Throws EListError for an index out of range.
    const std::string& operator[](std::size_t Index) const;
    const std::string& Strings(std::size_t Index) const { return (*this)[Index]; }
    void SetStrings(std::size_t Index, std::string Value);

    /// Appends Value; returns its index.
    std::size_t Add(std::string Value);
    void AddStrings(const TStringList& Source);
    void Insert(std::size_t Index, std::string Value);
    void Delete(std::size_t Index);
    void Clear() { FItems.clear(); }
    /// Copies the lines and every setting of Source.
    void Assign(const TStringList& Source) { *this = Source; }

    /// Index of the first line equal to Value, or -1.
    int IndexOf(std::string_view Value) const;
    /// Index of the first line whose name is Name, or -1.
    int IndexOfName(std::string_view Name) const;
    /// The name of line Index: the part before the separator, or "" when it has none.
    std::string Names(std::size_t Index) const;
    /// The part after the separator of line Index, or "" when it has none.
    std::string ValueFromIndex(std::size_t Index) const;
    /// The value of the first line named Name, or "".
    std::string Values(std::string_view Name) const;
    /// Replaces the value of the first line named Name, appends "Name=Value" when there is none,
    /// and deletes that line when Value is empty.
    void SetValues(std::string_view Name, std::string_view Value);

    std::string Text() const;
    void SetText(std::string_view Value);
    std::string DelimitedText() const;
    void SetDelimitedText(std::string_view Value);
    /// DelimitedText with ',' and '"' and blanks separating, whatever the list's own settings.
    std::string CommaText() const;
    void SetCommaText(std::string_view Value);

    char Delimiter() const { return FDelimiter; }
    void SetDelimiter(char Value) { FDelimiter = Value; }
    char QuoteChar() const { return FQuoteChar; }
    void SetQuoteChar(char Value) { FQuoteChar = Value; }
    bool StrictDelimiter() const { return FStrictDelimiter; }
    void SetStrictDelimiter(bool Value) { FStrictDelimiter = Value; }
    char NameValueSeparator() const { return FNameValueSeparator; }
    void SetNameValueSeparator(char Value) { FNameValueSeparator = Value; }
    bool CaseSensitive() const { return FCaseSensitive; }
    void SetCaseSensitive(bool Value) { FCaseSensitive = Value; }

    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

    friend bool operator==(const TStringList& A, const TStringList& B) {
        return A.FItems == B.FItems;
    }

private:
    bool SameText(std::string_view A, std::string_view B) const;
    std::string Delimited(char Delimiter, char Quote, bool Strict) const;
    void ParseDelimited(std::string_view Value, char Delimiter, char Quote, bool Strict);

    std::vector<std::string> FItems;
    char FDelimiter = ',';
    char FQuoteChar = '"';
    bool FStrictDelimiter = false;
    char FNameValueSeparator = '=';
    bool FCaseSensitive = false;
};

/// ASCII case-insensitive equality (header names, schemes, tokens).
bool SameText(std::string_view A, std::string_view B) noexcept;
/// ASCII lower-case copy.
std::string LowerCase(std::string_view Value);
/// ASCII upper-case copy.
std::string UpperCase(std::string_view Value);
/// Value without leading and trailing blanks and control characters (bytes <= ' ').
std::string_view Trim(std::string_view Value) noexcept;

} // namespace rtl
