// Sddl: URL reservation descriptors (SDDL), account names and the listen check.
#include "platform/httpapi/Sddl.h"

#include <algorithm>
#include <cctype>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace httpapi {

namespace {

constexpr std::size_t MaxSddlLength = 16384;
constexpr std::size_t MaxAces = 64;

constexpr std::string_view Everyone = "S-1-1-0";
constexpr std::string_view AuthenticatedUsers = "S-1-5-11";
constexpr std::string_view Users = "S-1-5-32-545";
constexpr std::string_view Administrators = "S-1-5-32-544";
constexpr std::string_view LocalSystem = "S-1-5-18";
constexpr std::string_view LocalService = "S-1-5-19";
constexpr std::string_view NetworkService = "S-1-5-20";
constexpr std::string_view UnixUserPrefix = "S-1-22-1-";
constexpr std::string_view UnixGroupPrefix = "S-1-22-2-";

struct TAlias {
    std::string_view Alias;
    std::string_view Sid;
    std::string_view Account; // as netsh shows it
};

constexpr TAlias Aliases[] = {
    {"WD", Everyone, "\\Everyone"},
    {"AU", AuthenticatedUsers, "NT AUTHORITY\\Authenticated Users"},
    {"BU", Users, "BUILTIN\\Users"},
    {"BA", Administrators, "BUILTIN\\Administrators"},
    {"SY", LocalSystem, "NT AUTHORITY\\SYSTEM"},
    {"LS", LocalService, "NT AUTHORITY\\LOCAL SERVICE"},
    {"NS", NetworkService, "NT AUTHORITY\\NETWORK SERVICE"},
};

bool AllDigits(std::string_view Text) {
    return !Text.empty() && Text.size() <= 10 &&
           std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// "S-1-<authority>-<sub>..." with decimal parts; returns the canonical text or empty.
std::string CanonicalSid(std::string_view Text) {
    for (const TAlias& Alias : Aliases) {
        if (Text == Alias.Alias) {
            return std::string(Alias.Sid);
        }
    }
    if (Text.size() < 5 || (Text[0] != 'S' && Text[0] != 's') || Text[1] != '-') {
        return {};
    }
    std::string Result = "S";
    std::size_t Parts = 0;
    std::size_t At = 2;
    while (At <= Text.size()) {
        const std::size_t Dash = std::min(Text.find('-', At), Text.size());
        const std::string_view Part = Text.substr(At, Dash - At);
        if (!AllDigits(Part) || (Parts == 0 && Part != "1")) {
            return {};
        }
        Result += '-';
        Result += std::to_string(std::stoull(std::string(Part)));
        ++Parts;
        At = Dash + 1;
    }
    // Revision, authority and at least one and at most 15 sub-authorities.
    return Parts >= 3 && Parts <= 17 ? Result : std::string();
}

bool ParseRights(std::string_view Text, std::uint32_t& Rights) {
    Rights = 0;
    if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
        std::uint64_t Value = 0;
        for (const char C : Text.substr(2)) {
            const int Digit = std::isdigit(static_cast<unsigned char>(C)) ? C - '0'
                              : (C >= 'a' && C <= 'f')                    ? C - 'a' + 10
                              : (C >= 'A' && C <= 'F')                    ? C - 'A' + 10
                                                                          : -1;
            if (Digit < 0 || Value > 0xFFFFFFFu) {
                return false;
            }
            Value = Value * 16 + static_cast<unsigned>(Digit);
        }
        Rights = static_cast<std::uint32_t>(Value);
        return Rights != 0;
    }
    if (Text.empty() || Text.size() % 2 != 0) {
        return false;
    }
    for (std::size_t I = 0; I < Text.size(); I += 2) {
        const std::string_view Right = Text.substr(I, 2);
        if (Right == "GA") {
            Rights |= RightGenericAll;
        } else if (Right == "GX") {
            Rights |= RightGenericExecute;
        } else if (Right == "GW") {
            Rights |= RightGenericWrite;
        } else if (Right == "GR") {
            Rights |= RightGenericRead;
        } else {
            return false;
        }
    }
    return true;
}

bool Matches(std::string_view Sid, const TCaller& Caller) {
    if (Sid == Everyone || Sid == AuthenticatedUsers || Sid == Users) {
        return true;
    }
    if (Sid == Administrators || Sid == LocalSystem) {
        return Caller.Uid == 0;
    }
    if (Sid == UserSid(Caller.Uid)) {
        return true;
    }
    return std::any_of(Caller.Groups.begin(), Caller.Groups.end(),
                       [&](gid_t Gid) { return Sid == GroupSid(Gid); });
}

std::optional<uid_t> UserId(std::string_view Name) {
    std::string Copy(Name);
    std::vector<char> Buffer(16384);
    passwd Entry{};
    passwd* Found = nullptr;
    if (getpwnam_r(Copy.c_str(), &Entry, Buffer.data(), Buffer.size(), &Found) != 0 ||
        Found == nullptr) {
        return std::nullopt;
    }
    return Found->pw_uid;
}

std::optional<gid_t> GroupId(std::string_view Name) {
    std::string Copy(Name);
    std::vector<char> Buffer(65536);
    group Entry{};
    group* Found = nullptr;
    if (getgrnam_r(Copy.c_str(), &Entry, Buffer.data(), Buffer.size(), &Found) != 0 ||
        Found == nullptr) {
        return std::nullopt;
    }
    return Found->gr_gid;
}

bool EqualNoCase(std::string_view A, std::string_view B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
               return std::tolower(static_cast<unsigned char>(X)) ==
                      std::tolower(static_cast<unsigned char>(Y));
           });
}

} // namespace

DWORD ParseSddl(std::string_view Text, TSecurityDescriptor& Result) {
    Result.Dacl.clear();
    if (Text.size() > MaxSddlLength || Text.substr(0, 2) != "D:") {
        return ERROR_INVALID_PARAMETER;
    }
    std::size_t At = 2;
    // Flags of the DACL itself (P, AI, AR) may precede the entries.
    while (At < Text.size() && Text[At] != '(') {
        const std::string_view Flag = Text.substr(At, 2);
        if (Text[At] == 'P') {
            ++At;
        } else if (Flag == "AI" || Flag == "AR") {
            At += 2;
        } else {
            return ERROR_INVALID_PARAMETER;
        }
    }
    while (At < Text.size()) {
        if (Text[At] != '(' || Result.Dacl.size() == MaxAces) {
            return ERROR_INVALID_PARAMETER;
        }
        const std::size_t Close = Text.find(')', At);
        if (Close == std::string_view::npos) {
            return ERROR_INVALID_PARAMETER;
        }
        std::vector<std::string_view> Fields;
        std::size_t From = At + 1;
        for (;;) {
            const std::size_t Semicolon = Text.find(';', From);
            if (Semicolon == std::string_view::npos || Semicolon > Close) {
                Fields.push_back(Text.substr(From, Close - From));
                break;
            }
            Fields.push_back(Text.substr(From, Semicolon - From));
            From = Semicolon + 1;
        }
        // type;flags;rights;object;inherited object;sid
        if (Fields.size() != 6 || (Fields[0] != "A" && Fields[0] != "D") || !Fields[1].empty() ||
            !Fields[3].empty() || !Fields[4].empty()) {
            return ERROR_INVALID_PARAMETER;
        }
        TAce Ace;
        Ace.Allow = Fields[0] == "A";
        Ace.Sid = CanonicalSid(Fields[5]);
        if (!ParseRights(Fields[2], Ace.Rights) || Ace.Sid.empty()) {
            return ERROR_INVALID_PARAMETER;
        }
        Result.Dacl.push_back(std::move(Ace));
        At = Close + 1;
    }
    return Result.Dacl.empty() ? ERROR_INVALID_PARAMETER : NO_ERROR;
}

TCaller TCaller::Current() {
    TCaller Caller;
    Caller.Uid = geteuid();
    Caller.Groups.push_back(getegid());
    const int Count = getgroups(0, nullptr);
    if (Count > 0) {
        std::vector<gid_t> More(static_cast<std::size_t>(Count));
        const int Got = getgroups(Count, More.data());
        if (Got > 0) {
            Caller.Groups.insert(Caller.Groups.end(), More.begin(), More.begin() + Got);
        }
    }
    return Caller;
}

bool MayListen(const TSecurityDescriptor& Descriptor, const TCaller& Caller) {
    if (Caller.Uid == 0) {
        return true; // the administrator: as on Windows, reservations never lock it out
    }
    constexpr std::uint32_t Listen = RightGenericAll | RightGenericExecute;
    for (const TAce& Ace : Descriptor.Dacl) {
        if ((Ace.Rights & Listen) != 0 && Matches(Ace.Sid, Caller)) {
            return Ace.Allow;
        }
    }
    return false;
}

std::string UserSid(uid_t Uid) {
    return std::string(UnixUserPrefix) + std::to_string(Uid);
}

std::string GroupSid(gid_t Gid) {
    return std::string(UnixGroupPrefix) + std::to_string(Gid);
}

std::optional<std::string> SidOfAccount(std::string_view Name) {
    if (Name.empty() || Name.size() > 256) {
        return std::nullopt;
    }
    for (const TAlias& Alias : Aliases) {
        const std::string_view Account = Alias.Account;
        const std::string_view Short = Account.substr(Account.find('\\') + 1);
        if (EqualNoCase(Name, Account) || EqualNoCase(Name, Short)) {
            return std::string(Alias.Sid);
        }
    }
    constexpr std::string_view UserDomain = "Unix User\\";
    constexpr std::string_view GroupDomain = "Unix Group\\";
    if (Name.size() > GroupDomain.size() &&
        EqualNoCase(Name.substr(0, GroupDomain.size()), GroupDomain)) {
        const auto Gid = GroupId(Name.substr(GroupDomain.size()));
        return Gid ? std::optional<std::string>(GroupSid(*Gid)) : std::nullopt;
    }
    if (Name.size() > UserDomain.size() &&
        EqualNoCase(Name.substr(0, UserDomain.size()), UserDomain)) {
        Name.remove_prefix(UserDomain.size());
    }
    if (Name.find('\\') != std::string_view::npos) {
        return std::nullopt; // a Windows domain: no account of this machine
    }
    const auto Uid = UserId(Name);
    return Uid ? std::optional<std::string>(UserSid(*Uid)) : std::nullopt;
}

std::string AccountOfSid(std::string_view Sid) {
    for (const TAlias& Alias : Aliases) {
        if (Sid == Alias.Sid) {
            return std::string(Alias.Account);
        }
    }
    const bool User = Sid.substr(0, UnixUserPrefix.size()) == UnixUserPrefix;
    const bool Group = Sid.substr(0, UnixGroupPrefix.size()) == UnixGroupPrefix;
    if (!User && !Group) {
        return std::string(Sid);
    }
    const std::string_view Number = Sid.substr(UnixUserPrefix.size());
    if (!AllDigits(Number)) {
        return std::string(Sid);
    }
    const unsigned long Id = std::stoul(std::string(Number));
    std::vector<char> Buffer(65536);
    if (User) {
        passwd Entry{};
        passwd* Found = nullptr;
        getpwuid_r(static_cast<uid_t>(Id), &Entry, Buffer.data(), Buffer.size(), &Found);
        return "Unix User\\" +
               (Found != nullptr ? std::string(Found->pw_name) : std::string(Number));
    }
    group Entry{};
    group* Found = nullptr;
    getgrgid_r(static_cast<gid_t>(Id), &Entry, Buffer.data(), Buffer.size(), &Found);
    return "Unix Group\\" + (Found != nullptr ? std::string(Found->gr_name) : std::string(Number));
}

} // namespace httpapi
