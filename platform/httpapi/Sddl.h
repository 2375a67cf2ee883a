// Sddl: the security descriptors of URL reservations (the SDDL text form of a DACL), the
// accounts they name, and the access check made when a URL is registered.
//
// Windows names accounts by SIDs. Here the well-known ones keep their meaning where Linux has
// one (Everyone, Authenticated Users and Users: every account; Administrators, SYSTEM: root),
// and Linux users and groups have the SIDs Samba gives them: S-1-22-1-<uid> ("Unix User\name")
// and S-1-22-2-<gid> ("Unix Group\name").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>
#include <windows.h>

namespace httpapi {

/// Access rights in an ACE: generic all, execute (listen: may register), write (delegate:
/// may hand the namespace on) and read.
inline constexpr std::uint32_t RightGenericAll = 0x10000000;
inline constexpr std::uint32_t RightGenericExecute = 0x20000000;
inline constexpr std::uint32_t RightGenericWrite = 0x40000000;
inline constexpr std::uint32_t RightGenericRead = 0x80000000;

/// One access-control entry: allowed or denied rights for one SID (canonical "S-1-..." form).
struct TAce {
    bool Allow = true;
    std::uint32_t Rights = 0;
    std::string Sid;
};

/// A parsed "D:(A;;GX;;;S-1-...)..." text. Only a DACL of allow and deny entries without flags
/// or object types is accepted: what URL reservations use.
struct TSecurityDescriptor {
    std::vector<TAce> Dacl;
};

/// Parses SDDL text (at most 16384 characters, at most 64 entries). ERROR_INVALID_PARAMETER for
/// anything else: another part than the DACL, unknown rights or SID aliases, malformed SIDs.
DWORD ParseSddl(std::string_view Text, TSecurityDescriptor& Result);

/// The process that registers: its effective user and every group it belongs to.
struct TCaller {
    uid_t Uid = 0;
    std::vector<gid_t> Groups;
    /// The calling process.
    static TCaller Current();
};

/// True when the descriptor lets Caller listen (register URLs): the first entry that names
/// the caller (or a group of its) and holds the listen right decides; root always may.
bool MayListen(const TSecurityDescriptor& Descriptor, const TCaller& Caller);

/// "S-1-22-1-<uid>" and "S-1-22-2-<gid>".
std::string UserSid(uid_t Uid);
std::string GroupSid(gid_t Gid);

/// The SID of an account name as netsh's user= takes it: "Everyone" (or "\Everyone"), a Linux
/// user name (also "Unix User\name"), "Unix Group\name", "BUILTIN\Administrators",
/// "BUILTIN\Users", "NT AUTHORITY\Authenticated Users", "NT AUTHORITY\SYSTEM". nullopt for a
/// name that maps to no account here.
std::optional<std::string> SidOfAccount(std::string_view Name);
/// The account name of a SID, as netsh shows it ("\Everyone", "Unix User\alice"); the SID
/// itself when it names no known account.
std::string AccountOfSid(std::string_view Sid);

} // namespace httpapi
