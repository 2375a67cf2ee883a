// NameIndex: the position of a name in a constant table, found without regard to ASCII case.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace rtl {

/// Finds a name of a constant table of names, without regard to ASCII letter case, and returns
/// its position or -1. The names are grouped by length when the index is built (at compile time
/// for a constexpr index), so a lookup compares only the few names of the asked length instead
/// of every name in turn. A table with a name longer than MaxLength, or with more than Slots
/// names of one length, is refused (std::length_error; a compile error for a constexpr index).
/// Refers to the table, which must outlive it (a static one). Immutable: any thread.
template <std::size_t Count, std::size_t MaxLength = 31, std::size_t Slots = 6>
class TNameIndex {
    static_assert(Count < 128, "positions are kept in 8 bits");

public:
    constexpr explicit TNameIndex(const std::string_view (&Names)[Count]) : FNames(Names) {
        Build();
    }
    constexpr explicit TNameIndex(const std::array<std::string_view, Count>& Names)
        : FNames(Names.data()) {
        Build();
    }

    /// The position of Name in the table, or -1.
    constexpr int Find(std::string_view Name) const noexcept {
        if (Name.size() > MaxLength) {
            return -1;
        }
        for (const std::int8_t Position : FByLength[Name.size()]) {
            if (Position < 0) {
                break;
            }
            if (SameLetters(Name, FNames[Position])) {
                return Position;
            }
        }
        return -1;
    }

private:
    static constexpr char Lower(char C) noexcept {
        return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
    }
    // A and B have the same length. Equal bytes (a name as the table spells it) skip the folding.
    static constexpr bool SameLetters(std::string_view A, std::string_view B) noexcept {
        for (std::size_t I = 0; I < A.size(); ++I) {
            if (A[I] != B[I] && Lower(A[I]) != Lower(B[I])) {
                return false;
            }
        }
        return true;
    }

    constexpr void Build() {
        for (auto& Positions : FByLength) {
            Positions.fill(-1);
        }
        for (std::size_t Position = 0; Position < Count; ++Position) {
            const std::size_t Length = FNames[Position].size();
            if (Length > MaxLength) {
                throw std::length_error("TNameIndex: a name is longer than MaxLength");
            }
            auto& Positions = FByLength[Length];
            std::size_t Free = 0;
            while (Free < Slots && Positions[Free] >= 0) {
                ++Free;
            }
            if (Free == Slots) {
                throw std::length_error("TNameIndex: more than Slots names of one length");
            }
            Positions[Free] = static_cast<std::int8_t>(Position);
        }
    }

    const std::string_view* FNames;
    std::array<std::array<std::int8_t, Slots>, MaxLength + 1> FByLength{};
};

} // namespace rtl
