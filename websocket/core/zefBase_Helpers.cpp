// zefBase_Helpers: identifiers, ticks, text tests and conversions, byte helpers and the
// main-thread hand-off.
#include "websocket/core/zefBase_Helpers.h"

#include "platform/rtl/Exception.h"
#include "platform/rtl/MainThread.h"
#include "platform/rtl/StringList.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <objbase.h>

namespace zef {

namespace {

char LowerAscii(char C) noexcept {
    return (C >= 'A' && C <= 'Z') ? char(C + ('a' - 'A')) : C;
}

/// The same n bytes at A and B, ASCII letters in either case.
bool EqualText(const char* A, const char* B, std::size_t aCount) noexcept {
    for (std::size_t I = 0; I < aCount; ++I) {
        if (A[I] != B[I] && LowerAscii(A[I]) != LowerAscii(B[I])) {
            return false;
        }
    }
    return true;
}

/// The general matcher: greedy, with one back-tracking point; linear in practice, never
/// recursive.
bool MatchesMaskGeneral(std::string_view aText, std::string_view aMask) noexcept {
    std::size_t T = 0, M = 0, StarM = std::string_view::npos, StarT = 0;
    while (T < aText.size()) {
        if (M < aMask.size() && aMask[M] == '*') {
            StarM = M++;
            StarT = T;
        } else if (M < aMask.size() &&
                   (aMask[M] == '?' || LowerAscii(aMask[M]) == LowerAscii(aText[T]))) {
            ++M;
            ++T;
        } else if (StarM != std::string_view::npos) {
            M = StarM + 1;
            T = ++StarT;
        } else {
            return false;
        }
    }
    while (M < aMask.size() && aMask[M] == '*') {
        ++M;
    }
    return M == aMask.size();
}

} // namespace

std::string NewGuid() {
    GUID Guid{};
    if (CoCreateGuid(&Guid) != S_OK) {
        throw rtl::Exception("CoCreateGuid failed");
    }
    // The registry form without braces and hyphens: the fields in order, upper-case hex.
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string Text(32, '0');
    auto Put = [&Text, At = std::size_t(0)](std::uint32_t aValue, int aDigits) mutable {
        for (int I = aDigits - 1; I >= 0; --I) {
            Text[At + std::size_t(I)] = Digits[aValue & 0xF];
            aValue >>= 4;
        }
        At += std::size_t(aDigits);
    };
    Put(std::uint32_t(Guid.Data1), 8);
    Put(Guid.Data2, 4);
    Put(Guid.Data3, 4);
    for (std::uint8_t Byte : Guid.Data4) {
        Put(Byte, 2);
    }
    return Text;
}

std::uint64_t GetTicks() noexcept {
    return std::uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count());
}

double Now() noexcept {
    auto Stamp = std::chrono::system_clock::now();
    std::time_t Seconds = std::chrono::system_clock::to_time_t(Stamp);
    std::tm Local{};
    localtime_r(&Seconds, &Local);
    auto Millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(Stamp.time_since_epoch()).count() %
        1000;
    // Days from 1899-12-30 to 1970-01-01 are 25569; the local offset is folded in.
    double LocalSeconds = double(Seconds) + double(Local.tm_gmtoff) + double(Millis) / 1000.0;
    return 25569.0 + LocalSeconds / 86400.0;
}

std::string ReplaceText(std::string_view aText, std::string_view aFrom, std::string_view aTo) {
    if (aFrom.empty()) {
        return std::string(aText);
    }
    std::string Result;
    std::size_t Start = 0;
    for (std::size_t At = aText.find(aFrom); At != std::string_view::npos;
         At = aText.find(aFrom, Start)) {
        Result.append(aText.substr(Start, At - Start));
        Result.append(aTo);
        Start = At + aFrom.size();
    }
    Result.append(aText.substr(Start));
    return Result;
}

bool ContainsText(std::string_view aText, std::string_view aSubText) noexcept {
    if (aSubText.empty()) {
        return true;
    }
    if (aSubText.size() > aText.size()) {
        return false;
    }
    // Candidates are the places where the first character matches, in either case, found with
    // memchr; only those are compared.
    const char Lower = LowerAscii(aSubText[0]);
    const char Upper = (Lower >= 'a' && Lower <= 'z') ? char(Lower - ('a' - 'A')) : Lower;
    const std::size_t Rest = aSubText.size() - 1;
    const char* At = aText.data();
    const char* End = aText.data() + (aText.size() - aSubText.size()) + 1; // Past the last start.
    while (At < End) {
        const auto* L = static_cast<const char*>(std::memchr(At, Lower, std::size_t(End - At)));
        const auto* U =
            Upper == Lower
                ? nullptr
                : static_cast<const char*>(std::memchr(At, Upper, std::size_t(End - At)));
        const char* Candidate = L == nullptr ? U : (U == nullptr ? L : std::min(L, U));
        if (Candidate == nullptr) {
            return false;
        }
        if (EqualText(Candidate + 1, aSubText.data() + 1, Rest)) {
            return true;
        }
        At = Candidate + 1;
    }
    return false;
}

bool MatchesMask(std::string_view aText, std::string_view aMask) noexcept {
    // The shapes the library uses ("Name: *", "*value", "*part*", no wildcard at all) are
    // answered directly; any other mask goes to the general matcher.
    const std::size_t Stars = std::size_t(std::count(aMask.begin(), aMask.end(), '*'));
    if (aMask.find('?') == std::string_view::npos && Stars <= 2) {
        if (Stars == 0) {
            return aText.size() == aMask.size() &&
                   EqualText(aText.data(), aMask.data(), aMask.size());
        }
        if (Stars == 1 && aMask.back() == '*') {
            const std::size_t Prefix = aMask.size() - 1;
            return aText.size() >= Prefix && EqualText(aText.data(), aMask.data(), Prefix);
        }
        if (Stars == 1 && aMask.front() == '*') {
            const std::size_t Suffix = aMask.size() - 1;
            return aText.size() >= Suffix &&
                   EqualText(aText.data() + aText.size() - Suffix, aMask.data() + 1, Suffix);
        }
        if (Stars == 2 && aMask.size() >= 2 && aMask.front() == '*' && aMask.back() == '*') {
            return ContainsText(aText, aMask.substr(1, aMask.size() - 2));
        }
    }
    return MatchesMaskGeneral(aText, aMask);
}

std::string EncodeBase64(std::span<const std::uint8_t> aBytes) {
    static constexpr char Alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string Result;
    Result.reserve((aBytes.size() + 2) / 3 * 4);
    std::size_t I = 0;
    for (; I + 3 <= aBytes.size(); I += 3) {
        std::uint32_t V =
            (std::uint32_t(aBytes[I]) << 16) | (std::uint32_t(aBytes[I + 1]) << 8) | aBytes[I + 2];
        Result += Alphabet[(V >> 18) & 63];
        Result += Alphabet[(V >> 12) & 63];
        Result += Alphabet[(V >> 6) & 63];
        Result += Alphabet[V & 63];
    }
    std::size_t Rest = aBytes.size() - I;
    if (Rest > 0) {
        std::uint32_t V = std::uint32_t(aBytes[I]) << 16;
        if (Rest == 2) {
            V |= std::uint32_t(aBytes[I + 1]) << 8;
        }
        Result += Alphabet[(V >> 18) & 63];
        Result += Alphabet[(V >> 12) & 63];
        Result += Rest == 2 ? Alphabet[(V >> 6) & 63] : '=';
        Result += '=';
    }
    return Result;
}

std::string DecodeBase64(std::string_view aText) {
    std::string Result;
    std::uint32_t Accumulator = 0;
    int Bits = 0;
    for (char C : aText) {
        int V;
        if (C >= 'A' && C <= 'Z') {
            V = C - 'A';
        } else if (C >= 'a' && C <= 'z') {
            V = C - 'a' + 26;
        } else if (C >= '0' && C <= '9') {
            V = C - '0' + 52;
        } else if (C == '+') {
            V = 62;
        } else if (C == '/') {
            V = 63;
        } else if (C == '=') {
            break;
        } else {
            continue;
        }
        Accumulator = (Accumulator << 6) | std::uint32_t(V);
        Bits += 6;
        if (Bits >= 8) {
            Bits -= 8;
            Result += char((Accumulator >> Bits) & 0xFF);
        }
    }
    return Result;
}

std::int64_t StrToInt64(std::string_view aText) {
    std::string_view Digits = aText;
    if (!Digits.empty() && Digits.front() == '+') {
        Digits.remove_prefix(1);
        if (!Digits.empty() && Digits.front() == '-') {
            Digits = {};
        }
    }
    std::int64_t Value = 0;
    auto [End, Error] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Value);
    if (Digits.empty() || Error != std::errc() || End != Digits.data() + Digits.size()) {
        throw rtl::EConvertError("'" + std::string(aText) + "' is not a valid integer value");
    }
    return Value;
}

void QueueToMainThread(std::function<void()> aMethod) {
    rtl::QueueToMainThread(std::move(aMethod));
}

void SynchronizeWithMainThread(std::function<void()> aMethod) {
    rtl::SynchronizeWithMainThread(std::move(aMethod));
}

void AppendBytes(std::span<const std::uint8_t> aBytes, std::vector<std::uint8_t>& aTarget) {
    aTarget.insert(aTarget.end(), aBytes.begin(), aBytes.end());
}

void KeepLastBytes(rtl::TMemoryStream& aStream, std::int64_t aCount) {
    std::int64_t Size = aStream.Size();
    if (aCount < 0 || Size <= aCount) {
        return;
    }
    std::uint8_t* Data = aStream.Memory();
    std::copy(Data + (Size - aCount), Data + Size, Data);
    aStream.SetSize(aCount);
    aStream.SetPosition(0);
}

void ParseURL(std::string_view aURL, std::string& aProtocol, std::string& aHost, std::string& aPort,
              std::string& aPath, std::string& aQuery) {
    aProtocol.clear();
    aHost.clear();
    aPort.clear();
    aPath.clear();
    aQuery.clear();
    std::string_view Rest = aURL;
    if (auto At = Rest.find("://"); At != std::string_view::npos) {
        aProtocol = Rest.substr(0, At);
        Rest.remove_prefix(At + 3);
    }
    if (auto At = Rest.find('?'); At != std::string_view::npos) {
        aQuery = Rest.substr(At + 1);
        Rest = Rest.substr(0, At);
    }
    std::string_view Authority = Rest;
    if (auto At = Rest.find('/'); At != std::string_view::npos) {
        aPath = Rest.substr(At);
        Authority = Rest.substr(0, At);
    }
    // A bracketed IPv6 literal keeps its colons.
    std::size_t Colon = Authority.rfind(':');
    std::size_t Bracket = Authority.rfind(']');
    if (Colon != std::string_view::npos && (Bracket == std::string_view::npos || Colon > Bracket)) {
        aPort = Authority.substr(Colon + 1);
        Authority = Authority.substr(0, Colon);
    }
    aHost = Authority;
}

void SplitText(std::string& aText, std::string_view aDelimiter, bool aRemove,
               std::string& aBefore) {
    std::size_t At = std::string::npos;
    if (!aDelimiter.empty() && aDelimiter.size() <= aText.size()) {
        auto It = std::search(aText.begin(), aText.end(), aDelimiter.begin(), aDelimiter.end(),
                              [](char A, char B) { return LowerAscii(A) == LowerAscii(B); });
        if (It != aText.end()) {
            At = std::size_t(It - aText.begin());
        }
    }
    if (At == std::string::npos) {
        aBefore = aText;
        if (aRemove) {
            aText.clear();
        }
        return;
    }
    std::string Before = aText.substr(0, At);
    if (aRemove) {
        aText.erase(0, At + aDelimiter.size());
    }
    aBefore = std::move(Before);
}

} // namespace zef
