// ConfigStore: the service configuration's records on disk, shared by every process that loads
// the library (URL reservations, SSL certificate bindings by address and by host name, the
// API-wide time-outs, the IP listen list).
//
// One text file, <folder>/records, one record a line, each line ending in its own CRC-32: a
// damaged or cut line is found and skipped, every other record still loads. Writers take an
// exclusive lock on <folder>/records.lock, read the file afresh, change the records and replace
// the file atomically (a temporary file, fsync, rename, fsync of the folder); readers need no
// lock and see either the old or the new file. Damaged lines found by a writer are kept in
// <folder>/records.damaged, so that no record is lost unseen. The folder is
// /var/lib/httpapi/serviceconfig unless the environment variable HTTPAPI_SERVICECONFIG names
// another (tests use a temporary one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>
#include <windows.h>

namespace httpapi {

inline constexpr const char* DefaultConfigStoreFolder = "/var/lib/httpapi/serviceconfig";
inline constexpr const char* ConfigStoreVariable = "HTTPAPI_SERVICECONFIG";
/// A larger file is not read at all (ERROR_FILE_CORRUPT), and so never overwritten.
inline constexpr std::size_t MaxStoreBytes = 16u << 20;
/// A longer line is a damaged record.
inline constexpr std::size_t MaxRecordLine = 65536;

/// One SSL certificate binding: by IP address and port, or by host name and port (SNI).
struct TSslRecord {
    std::string Key;                // "1.2.3.4:443", "[::1]:443" or "host.example:443"
    std::vector<std::uint8_t> Hash; // the certificate's SHA-1 thumbprint
    std::string AppId;              // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", upper case
    std::string StoreName;          // empty: "MY"
    std::uint32_t CheckMode = 0;
    std::uint32_t Freshness = 0;
    std::uint32_t RetrievalTimeout = 0;
    std::uint32_t Flags = 0;
    std::string CtlIdentifier;
    std::string CtlStoreName;
    bool operator==(const TSslRecord&) const = default;
};

/// One URL reservation: the prefix as it was given and its security descriptor (SDDL).
struct TUrlAclRecord {
    std::string Url;
    std::string Sddl;
    bool operator==(const TUrlAclRecord&) const = default;
};

/// Every record of the store. The maps are ordered by key: the order of enumeration.
struct TStoreRecords {
    std::map<std::string, TUrlAclRecord> UrlAcls;  // by the prefix's key (TUrlPrefix::Key)
    std::map<std::string, TSslRecord> SslCerts;    // by "address:port"
    std::map<std::string, TSslRecord> SniCerts;    // by "host:port"
    std::map<std::string, std::uint16_t> Timeouts; // "idleconnection", "headerwait": seconds
    std::set<std::string> ListenAddresses;         // as inet_ntop writes them
    bool operator==(const TStoreRecords&) const = default;
};

/// A line of the file that was skipped: its number (from 1), why, and its text.
struct TStoreDamage {
    std::size_t Line = 0;
    std::string Reason;
    std::string Text;
};

/// The file's text for Records (header line first).
std::string FormatRecords(const TStoreRecords& Records);
/// Records from a file's text; each line that is damaged (cut, altered, unknown, invalid) is
/// reported in Damage and skipped.
TStoreRecords ParseRecords(std::string_view Text, std::vector<TStoreDamage>& Damage);

/// Canonical keys and checks shared by the API, the store and the tool. Each returns false for
/// a malformed value.
bool IpPortKey(std::string_view Text, std::string& Key);   // "1.2.3.4:443", "[::1]:443"
bool HostPortKey(std::string_view Text, std::string& Key); // "host:443" (host lower case)
bool ListenAddressKey(std::string_view Text, std::string& Key);
bool ParseGuidText(std::string_view Text, std::string& Canonical);
/// Lower-case hexadecimal of Bytes, and back (an even count of hex digits, 2 to 128).
std::string HexOf(const std::vector<std::uint8_t>& Bytes);
bool BytesOfHex(std::string_view Hex, std::vector<std::uint8_t>& Bytes);

/// The store of the folder ConfigStoreFolder() names at each call. Safe for concurrent use,
/// within a process and between processes.
class TConfigStore {
public:
    /// The folder in use: HTTPAPI_SERVICECONFIG, or the default.
    static std::string Folder();
    /// The records as the file holds them now; the file is read again only when it changed.
    /// NO_ERROR (no file: no records), or the reason it cannot be read at all:
    /// ERROR_ACCESS_DENIED, ERROR_FILE_CORRUPT (larger than MaxStoreBytes, not a file), or
    /// another code of the system's error. Damage() lists the lines skipped.
    DWORD Read(std::shared_ptr<const TStoreRecords>& Records);
    /// The damaged lines of the last reading of the current folder's file.
    std::vector<TStoreDamage> Damage();
    /// Changes the records: under the store's lock, reads the file afresh, applies Change and,
    /// when it returns NO_ERROR, writes the result atomically. Returns Change's result, or the
    /// error that kept the store from being read or written (nothing changed then).
    /// ERROR_ACCESS_DENIED when the caller may not write the folder.
    DWORD Update(const std::function<DWORD(TStoreRecords&)>& Change);

private:
    struct TIdentity {
        dev_t Device = 0;
        ino_t Inode = 0;
        off_t Size = -1;
        std::int64_t Modified = 0; // ns
        std::int64_t Changed = 0;  // ns
        bool operator==(const TIdentity&) const = default;
    };

    std::mutex FLock;
    std::string FFolder;                         // Guarded by FLock. Of the cached records.
    TIdentity FIdentity;                         // Guarded by FLock. Size -1: no file.
    std::shared_ptr<const TStoreRecords> FCache; // Guarded by FLock.
    std::vector<TStoreDamage> FDamage;           // Guarded by FLock.
};

/// The process's store.
TConfigStore& ConfigStore();

} // namespace httpapi
