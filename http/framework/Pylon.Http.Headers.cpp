// Pylon.Http.Headers: the header collection of requests and responses.
#include "http/framework/Pylon.Http.Headers.h"

#include "platform/rtl/StringList.h"
#include "platform/rtl/Utf.h"

#include <algorithm>

namespace pylon {

namespace {

char LowerAscii(char C) {
    return C >= 'A' && C <= 'Z' ? char(C - 'A' + 'a') : C;
}

// Stored names are lower case already, so only the asked name needs folding.
bool SameName(const std::string& Stored, std::string_view Asked) {
    if (Stored.size() != Asked.size()) {
        return false;
    }
    if (Stored == Asked) {
        return true; // asked in lower case, as the framework itself asks
    }
    for (std::size_t I = 0; I < Asked.size(); ++I) {
        if (Stored[I] != LowerAscii(Asked[I])) {
            return false;
        }
    }
    return true;
}

std::string LowerName(std::string_view Name) {
    std::string Result(Name);
    for (char& C : Result) {
        C = LowerAscii(C);
    }
    return Result;
}

} // namespace

const THttpHeaderInfo* THttpHeaders::Find(std::string_view HeaderName) const {
    for (const THttpHeaderInfo& Entry : FHeaders) {
        if (SameName(Entry.Name(), HeaderName)) {
            return &Entry;
        }
    }
    return nullptr;
}

std::vector<THttpHeaderInfo>::iterator THttpHeaders::FindEntry(std::string_view HeaderName) {
    return std::find_if(FHeaders.begin(), FHeaders.end(), [&](const THttpHeaderInfo& Entry) {
        return SameName(Entry.Name(), HeaderName);
    });
}

void THttpHeaders::Store(std::string_view HeaderName, std::string_view TrimmedValue) {
    const auto Existing = FindEntry(HeaderName);
    if (Existing != FHeaders.end()) {
        *Existing = THttpHeaderInfo(Existing->Name(), std::string(TrimmedValue));
        return;
    }
    if (FHeaders.capacity() == 0) {
        FHeaders.reserve(8); // A typical exchange stays within one allocation.
    }
    FHeaders.emplace_back(LowerName(HeaderName), std::string(TrimmedValue));
}

void THttpHeaders::SetValue(std::string_view HeaderName, std::string_view HeaderValue) {
    if (HeaderName.empty()) {
        return;
    }
    Store(HeaderName, rtl::Trim(HeaderValue));
}

void THttpHeaders::AddValue(std::string_view HeaderName, std::string_view HeaderValue) {
    const THttpHeaderInfo* Existing = Find(HeaderName);
    if (Existing == nullptr) {
        SetValue(HeaderName, HeaderValue);
        return;
    }
    std::string Folded = Existing->Value();
    Folded += ',';
    Folded += HeaderValue;
    SetValue(HeaderName, Folded);
}

std::string THttpHeaders::Get(std::string_view HeaderName) const {
    const THttpHeaderInfo* Entry = Find(HeaderName);
    return Entry != nullptr ? Entry->Value() : std::string();
}

bool THttpHeaders::GetIfExists(std::string_view HeaderName, std::string& HeaderValue) const {
    const THttpHeaderInfo* Entry = Find(HeaderName);
    if (Entry == nullptr) {
        return false;
    }
    HeaderValue = Entry->Value();
    return true;
}

void THttpHeaders::Remove(std::string_view HeaderName) {
    const auto Existing = FindEntry(HeaderName);
    if (Existing != FHeaders.end()) {
        FHeaders.erase(Existing);
    }
}

std::wstring THttpHeaders::GetRawWideHeaders() const {
    std::string Text;
    for (const THttpHeaderInfo& Entry : FHeaders) {
        Text += Entry.Name();
        Text += ':';
        Text += Entry.Value();
        Text += "\r\n";
    }
    Text += "\r\n";
    return rtl::Utf8ToWide(Text);
}

void THttpHeaders::SetRawWideHeaders(std::wstring_view Value) {
    SetRawHeaders(rtl::WideToUtf8(Value));
}

// Lines end at CR LF only (a lone CR or LF is part of the line); an empty line ends the block.
// A line starting with a blank continues the last header with one space; a line without a
// name is skipped and also drops the continuation lines after it.
void THttpHeaders::SetRawHeaders(std::string_view Value) {
    Clear();
    std::string LastName;
    while (!Value.empty()) {
        std::string_view Line;
        const std::size_t End = Value.find("\r\n");
        if (End == std::string_view::npos) {
            Line = Value;
            Value = {};
        } else {
            Line = Value.substr(0, End);
            Value.remove_prefix(End + 2);
        }
        if (Line.empty()) {
            break;
        }
        if (Line.front() == ' ' || Line.front() == '\t') {
            const std::size_t Start = Line.find_first_not_of(" \t");
            const std::string_view Rest =
                Start == std::string_view::npos ? std::string_view() : Line.substr(Start);
            if (!LastName.empty() && !Rest.empty()) {
                std::string Joined = Get(LastName);
                Joined += ' ';
                Joined += Rest;
                SetValue(LastName, Joined);
            }
            continue;
        }
        const std::size_t Colon = Line.find(':');
        if (Colon == std::string_view::npos) {
            LastName.clear();
            continue;
        }
        LastName = std::string(Line.substr(0, Colon));
        if (!LastName.empty()) {
            AddValue(LastName, rtl::Trim(Line.substr(Colon + 1)));
        }
    }
}

} // namespace pylon
