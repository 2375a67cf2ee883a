// StringList: an ordered list of text lines with delimited-text, name=value and text forms.
#include "platform/rtl/StringList.h"

#include "platform/rtl/Exception.h"

#include <algorithm>

namespace rtl {

namespace {

char AsciiLower(char C) noexcept {
    return (C >= 'A' && C <= 'Z') ? char(C - 'A' + 'a') : C;
}

char AsciiUpper(char C) noexcept {
    return (C >= 'a' && C <= 'z') ? char(C - 'a' + 'A') : C;
}

bool IsBlank(char C) noexcept {
    return static_cast<unsigned char>(C) <= ' ';
}

[[noreturn]] void IndexError(std::size_t Index) {
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
}

} // namespace

bool SameText(std::string_view A, std::string_view B) noexcept {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
               return AsciiLower(X) == AsciiLower(Y);
           });
}

std::string LowerCase(std::string_view Value) {
    std::string Result(Value);
    std::transform(Result.begin(), Result.end(), Result.begin(), AsciiLower);
    return Result;
}

std::string UpperCase(std::string_view Value) {
    std::string Result(Value);
    std::transform(Result.begin(), Result.end(), Result.begin(), AsciiUpper);
    return Result;
}

std::string_view Trim(std::string_view Value) noexcept {
    while (!Value.empty() && IsBlank(Value.front())) {
        Value.remove_prefix(1);
    }
    while (!Value.empty() && IsBlank(Value.back())) {
        Value.remove_suffix(1);
    }
    return Value;
}

const std::string& TStringList::operator[](std::size_t Index) const {
    if (Index >= FItems.size()) {
        IndexError(Index);
    }
    return FItems[Index];
}

void TStringList::SetStrings(std::size_t Index, std::string Value) {
    if (Index >= FItems.size()) {
        IndexError(Index);
    }
    FItems[Index] = std::move(Value);
}

std::size_t TStringList::Add(std::string Value) {
    FItems.push_back(std::move(Value));
    return FItems.size() - 1;
}

void TStringList::AddStrings(const TStringList& Source) {
    FItems.insert(FItems.end(), Source.FItems.begin(), Source.FItems.end());
}

void TStringList::Insert(std::size_t Index, std::string Value) {
    if (Index > FItems.size()) {
        IndexError(Index);
    }
    FItems.insert(FItems.begin() + std::ptrdiff_t(Index), std::move(Value));
}

void TStringList::Delete(std::size_t Index) {
    if (Index >= FItems.size()) {
        IndexError(Index);
    }
    FItems.erase(FItems.begin() + std::ptrdiff_t(Index));
}

bool TStringList::SameText(std::string_view A, std::string_view B) const {
    return FCaseSensitive ? A == B : rtl::SameText(A, B);
}

int TStringList::IndexOf(std::string_view Value) const {
    for (std::size_t I = 0; I < FItems.size(); ++I) {
        if (SameText(FItems[I], Value)) {
            return int(I);
        }
    }
    return -1;
}

int TStringList::IndexOfName(std::string_view Name) const {
    for (std::size_t I = 0; I < FItems.size(); ++I) {
        const std::string_view Line = FItems[I];
        const std::size_t Separator = Line.find(FNameValueSeparator);
        if (Separator != std::string_view::npos && SameText(Line.substr(0, Separator), Name)) {
            return int(I);
        }
    }
    return -1;
}

std::string TStringList::Names(std::size_t Index) const {
    const std::string& Line = (*this)[Index];
    const std::size_t Separator = Line.find(FNameValueSeparator);
    return Separator == std::string::npos ? std::string() : Line.substr(0, Separator);
}

std::string TStringList::ValueFromIndex(std::size_t Index) const {
    const std::string& Line = (*this)[Index];
    const std::size_t Separator = Line.find(FNameValueSeparator);
    return Separator == std::string::npos ? std::string() : Line.substr(Separator + 1);
}

std::string TStringList::Values(std::string_view Name) const {
    const int Index = IndexOfName(Name);
    return Index < 0 ? std::string() : ValueFromIndex(std::size_t(Index));
}

void TStringList::SetValues(std::string_view Name, std::string_view Value) {
    const int Index = IndexOfName(Name);
    if (Value.empty()) {
        if (Index >= 0) {
            Delete(std::size_t(Index));
        }
        return;
    }
    std::string Line;
    Line.reserve(Name.size() + 1 + Value.size());
    Line.append(Name).append(1, FNameValueSeparator).append(Value);
    if (Index >= 0) {
        FItems[std::size_t(Index)] = std::move(Line);
    } else {
        FItems.push_back(std::move(Line));
    }
}

std::string TStringList::Text() const {
    std::size_t Length = 0;
    for (const std::string& Line : FItems) {
        Length += Line.size() + 2;
    }
    std::string Result;
    Result.reserve(Length);
    for (const std::string& Line : FItems) {
        Result.append(Line).append("\r\n");
    }
    return Result;
}

void TStringList::SetText(std::string_view Value) {
    FItems.clear();
    std::size_t Start = 0;
    while (Start < Value.size()) {
        std::size_t End = Start;
        while (End < Value.size() && Value[End] != '\r' && Value[End] != '\n') {
            ++End;
        }
        FItems.emplace_back(Value.substr(Start, End - Start));
        if (End < Value.size() && Value[End] == '\r') {
            ++End;
        }
        if (End < Value.size() && Value[End] == '\n') {
            ++End;
        }
        Start = End;
    }
}

std::string TStringList::Delimited(char Delimiter, char Quote, bool Strict) const {
    std::string Result;
    for (std::size_t I = 0; I < FItems.size(); ++I) {
        if (I > 0) {
            Result += Delimiter;
        }
        const std::string& Item = FItems[I];
        const bool NeedsQuotes = std::any_of(Item.begin(), Item.end(),
                                             [&](char C) {
                                                 return C == Delimiter || C == Quote || C == '\0' ||
                                                        (!Strict && IsBlank(C));
                                             }) ||
                                 (Item.empty() && FItems.size() == 1);
        if (!NeedsQuotes) {
            Result += Item;
            continue;
        }
        Result += Quote;
        for (char C : Item) {
            if (C == Quote) {
                Result += Quote;
            }
            Result += C;
        }
        Result += Quote;
    }
    return Result;
}

void TStringList::ParseDelimited(std::string_view Value, char Delimiter, char Quote, bool Strict) {
    FItems.clear();
    std::size_t P = 0;
    const std::size_t N = Value.size();
    auto SkipBlanks = [&] {
        if (!Strict) {
            while (P < N && IsBlank(Value[P])) {
                ++P;
            }
        }
    };
    SkipBlanks();
    while (P < N) {
        std::string Item;
        if (Value[P] == Quote) {
            // Quoted item: a doubled quote is one quote; an unclosed quote runs to the end.
            ++P;
            while (P < N) {
                if (Value[P] == Quote) {
                    if (P + 1 < N && Value[P + 1] == Quote) {
                        Item += Quote;
                        P += 2;
                        continue;
                    }
                    ++P;
                    break;
                }
                Item += Value[P++];
            }
        } else {
            const std::size_t Start = P;
            while (P < N && Value[P] != Delimiter && (Strict || !IsBlank(Value[P]))) {
                ++P;
            }
            Item.assign(Value.substr(Start, P - Start));
        }
        FItems.push_back(std::move(Item));
        SkipBlanks();
        if (P < N && Value[P] == Delimiter) {
            ++P;
            if (P == N) {
                FItems.emplace_back(); // a trailing delimiter ends with an empty item
            }
            SkipBlanks();
        }
    }
}

std::string TStringList::DelimitedText() const {
    return Delimited(FDelimiter, FQuoteChar, FStrictDelimiter);
}

void TStringList::SetDelimitedText(std::string_view Value) {
    ParseDelimited(Value, FDelimiter, FQuoteChar, FStrictDelimiter);
}

std::string TStringList::CommaText() const {
    return Delimited(',', '"', false);
}

void TStringList::SetCommaText(std::string_view Value) {
    ParseDelimited(Value, ',', '"', false);
}

} // namespace rtl
