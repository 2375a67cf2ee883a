// Sddl tests: descriptors parsed and refused, the listen check, account names and SIDs.
#include "platform/httpapi/Sddl.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace httpapi;

namespace {

struct TParseCase {
    const char* Name;
    const char* Text;
    bool Valid;
    std::size_t Entries;
};

constexpr TParseCase ParseCases[] = {
    {"listen for everyone", "D:(A;;GX;;;WD)", true, 1},
    {"all rights, numeric SID", "D:(A;;GA;;;S-1-5-11)", true, 1},
    {"user and group, combined rights", "D:(A;;GXGW;;;S-1-22-1-1000)(A;;GR;;;S-1-22-2-50)", true,
     2},
    {"hexadecimal rights", "D:(A;;0x20000000;;;S-1-22-1-7)", true, 1},
    {"deny entry", "D:(D;;GX;;;S-1-22-1-7)(A;;GX;;;WD)", true, 2},
    {"protected DACL", "D:P(A;;GX;;;WD)", true, 1},
    {"empty", "", false, 0},
    {"no DACL", "O:BAG:BA", false, 0},
    {"DACL without entries", "D:", false, 0},
    {"unknown alias", "D:(A;;GX;;;XX)", false, 0},
    {"unknown right", "D:(A;;GZ;;;WD)", false, 0},
    {"zero rights", "D:(A;;0x0;;;WD)", false, 0},
    {"audit type", "D:(AU;;GX;;;WD)", false, 0},
    {"flags on the entry", "D:(A;CI;GX;;;WD)", false, 0},
    {"object type", "D:(A;;GX;abc;;WD)", false, 0},
    {"five fields", "D:(A;;GX;;WD)", false, 0},
    {"unclosed", "D:(A;;GX;;;WD", false, 0},
    {"trailing text", "D:(A;;GX;;;WD)x", false, 0},
    {"SID without sub-authority", "D:(A;;GX;;;S-1-5)", false, 0},
    {"SID revision 2", "D:(A;;GX;;;S-2-5-11)", false, 0},
    {"SID with letters", "D:(A;;GX;;;S-1-5-1a)", false, 0},
    {"SID part too long", "D:(A;;GX;;;S-1-5-12345678901)", false, 0},
};

struct TListenCase {
    const char* Name;
    const char* Sddl;
    uid_t Uid;
    gid_t Group;
    bool Allowed;
};

constexpr TListenCase ListenCases[] = {
    {"everyone", "D:(A;;GX;;;WD)", 1000, 1000, true},
    {"authenticated users", "D:(A;;GX;;;AU)", 1000, 1000, true},
    {"the user by SID", "D:(A;;GX;;;S-1-22-1-1000)", 1000, 1000, true},
    {"another user", "D:(A;;GX;;;S-1-22-1-1001)", 1000, 1000, false},
    {"a group of the user", "D:(A;;GA;;;S-1-22-2-77)", 1000, 77, true},
    {"delegate only is no listen", "D:(A;;GW;;;WD)", 1000, 1000, false},
    {"read only is no listen", "D:(A;;GR;;;WD)", 1000, 1000, false},
    {"deny first wins", "D:(D;;GX;;;S-1-22-1-1000)(A;;GX;;;WD)", 1000, 1000, false},
    {"allow first wins", "D:(A;;GX;;;WD)(D;;GX;;;S-1-22-1-1000)", 1000, 1000, true},
    {"administrators only", "D:(A;;GX;;;BA)", 1000, 1000, false},
    {"root is never locked out", "D:(D;;GX;;;WD)", 0, 0, true},
};

} // namespace

TEST(ParseSddl, CaseTable) {
    for (const TParseCase& Case : ParseCases) {
        SCOPED_TRACE(Case.Name);
        TSecurityDescriptor Descriptor;
        EXPECT_EQ(ParseSddl(Case.Text, Descriptor) == NO_ERROR, Case.Valid);
        if (Case.Valid) {
            EXPECT_EQ(Descriptor.Dacl.size(), Case.Entries);
        }
    }
    TSecurityDescriptor Descriptor;
    ASSERT_EQ(ParseSddl("D:(A;;GX;;;WD)(A;;GA;;;s-1-022-1-0100)", Descriptor), NO_ERROR);
    EXPECT_EQ(Descriptor.Dacl[0].Sid, "S-1-1-0");
    EXPECT_EQ(Descriptor.Dacl[0].Rights, RightGenericExecute);
    EXPECT_EQ(Descriptor.Dacl[1].Sid, "S-1-22-1-100"); // canonical form
}

TEST(ParseSddl, LimitsAtTheirEdge) {
    std::string Entries;
    for (int I = 0; I < 64; ++I) {
        Entries += "(A;;GX;;;S-1-22-1-" + std::to_string(I) + ")";
    }
    TSecurityDescriptor Descriptor;
    EXPECT_EQ(ParseSddl("D:" + Entries, Descriptor), NO_ERROR);
    EXPECT_EQ(ParseSddl("D:" + Entries + "(A;;GX;;;WD)", Descriptor), ERROR_INVALID_PARAMETER);
    // 16384 characters at most.
    const std::string Base = "D:(A;;GX;;;WD)";
    std::string Padded = "D:P";
    while (Padded.size() + Base.size() - 2 < 16384) {
        Padded += "P";
    }
    Padded += Base.substr(2);
    ASSERT_EQ(Padded.size(), 16384u);
    EXPECT_EQ(ParseSddl(Padded, Descriptor), NO_ERROR);
    EXPECT_EQ(ParseSddl("D:P" + Padded.substr(2), Descriptor), ERROR_INVALID_PARAMETER);
}

TEST(MayListen, CaseTable) {
    for (const TListenCase& Case : ListenCases) {
        SCOPED_TRACE(Case.Name);
        TSecurityDescriptor Descriptor;
        ASSERT_EQ(ParseSddl(Case.Sddl, Descriptor), NO_ERROR);
        TCaller Caller;
        Caller.Uid = Case.Uid;
        Caller.Groups = {Case.Group};
        EXPECT_EQ(MayListen(Descriptor, Caller), Case.Allowed);
    }
}

TEST(Accounts, NamesAndSidsBothWays) {
    struct TCase {
        const char* Name;
        std::optional<std::string> Sid;
        const char* Shown; // AccountOfSid of the SID
    };
    const TCase Cases[] = {
        {"Everyone", "S-1-1-0", "\\Everyone"},
        {"\\Everyone", "S-1-1-0", "\\Everyone"},
        {"everyone", "S-1-1-0", "\\Everyone"},
        {"root", "S-1-22-1-0", "Unix User\\root"},
        {"Unix User\\root", "S-1-22-1-0", "Unix User\\root"},
        {"Unix Group\\root", "S-1-22-2-0", "Unix Group\\root"},
        {"BUILTIN\\Administrators", "S-1-5-32-544", "BUILTIN\\Administrators"},
        {"NT AUTHORITY\\Authenticated Users", "S-1-5-11", "NT AUTHORITY\\Authenticated Users"},
        {"no-such-user-here", std::nullopt, nullptr},
        {"Unix Group\\no-such-group-here", std::nullopt, nullptr},
        {"CONTOSO\\someone", std::nullopt, nullptr},
        {"", std::nullopt, nullptr},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const auto Sid = SidOfAccount(Case.Name);
        EXPECT_EQ(Sid, Case.Sid);
        if (Sid) {
            EXPECT_EQ(AccountOfSid(*Sid), Case.Shown);
        }
    }
    EXPECT_EQ(AccountOfSid("S-1-22-1-4000000000"), "Unix User\\4000000000");
    EXPECT_EQ(AccountOfSid("S-1-5-21-1-2-3-1001"), "S-1-5-21-1-2-3-1001");
}
