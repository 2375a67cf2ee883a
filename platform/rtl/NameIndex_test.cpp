// NameIndex: names found in any ASCII letter case, others not, and the table limits.
#include "platform/rtl/NameIndex.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>

namespace rtl {
namespace {

// Several names of one length, and lengths with one name or none.
constexpr std::string_view Names[] = {"Host",         "Date",   "From",   "Content-Type",
                                      "Max-Forwards", "TE",     "Accept", "Cookie",
                                      "Expect",       "Pragma", ""};
constexpr TNameIndex Index(Names);

static_assert(Index.Find("host") == 0, "a constexpr index answers at compile time");

TEST(TNameIndex, EveryNameInAnyCase) {
    for (std::size_t I = 0; I < std::size(Names); ++I) {
        const std::string Name(Names[I]);
        SCOPED_TRACE(Name);
        std::string Upper = Name;
        std::string Lower = Name;
        for (std::size_t J = 0; J < Name.size(); ++J) {
            Upper[J] = Name[J] >= 'a' && Name[J] <= 'z' ? char(Name[J] - 'a' + 'A') : Name[J];
            Lower[J] = Name[J] >= 'A' && Name[J] <= 'Z' ? char(Name[J] - 'A' + 'a') : Name[J];
        }
        EXPECT_EQ(Index.Find(Name), int(I));
        EXPECT_EQ(Index.Find(Upper), int(I));
        EXPECT_EQ(Index.Find(Lower), int(I));
    }
}

TEST(TNameIndex, OtherNamesAreNotFound) {
    struct TCase {
        const char* Name;
        std::string_view Text;
    };
    const TCase Cases[] = {
        {"same length as several", "Hoss"},
        {"one letter off at the end", "Content-Typf"},
        {"prefix of a name", "Accep"},
        {"a name and more", "Accepts"},
        {"no name of that length", "Content-Typ"},
        {"longer than any name", std::string_view("X-A-Very-Long-Header-Name-Over-Limit")},
        {"letters that differ only beyond ASCII case", "H\xD0st"},
        {"a case fold that is not ASCII", "Ho\xC5\xBFt"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(Index.Find(Case.Text), -1);
    }
}

TEST(TNameIndex, RefusesTablesBeyondItsLimits) {
    static const std::array<std::string_view, 3> ThreeOfOneLength = {"ab", "cd", "ef"};
    EXPECT_THROW((TNameIndex<3, 31, 2>(ThreeOfOneLength)), std::length_error);
    EXPECT_NO_THROW((TNameIndex<3, 31, 3>(ThreeOfOneLength)));
    static const std::array<std::string_view, 1> Long = {"abcdef"};
    EXPECT_THROW((TNameIndex<1, 5>(Long)), std::length_error);
    EXPECT_EQ((TNameIndex<1, 6>(Long)).Find("ABCDEF"), 0);
}

} // namespace
} // namespace rtl
