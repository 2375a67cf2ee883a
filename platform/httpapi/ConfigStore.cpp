// ConfigStore: the service configuration's records on disk.
#include "platform/httpapi/ConfigStore.h"

#include "platform/httpapi/Sddl.h"
#include "platform/httpapi/UrlPrefix.h"
#include "platform/win/Handles.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace httpapi {

namespace {

constexpr std::string_view Header = "httpapi-serviceconfig 1";
constexpr std::string_view RecordsFile = "records";
constexpr std::string_view LockFile = "records.lock";
constexpr std::string_view DamagedFile = "records.damaged";

std::uint32_t Crc32(std::string_view Bytes) {
    static const auto Table = [] {
        std::array<std::uint32_t, 256> Built{};
        for (std::uint32_t I = 0; I < 256; ++I) {
            std::uint32_t Value = I;
            for (int Bit = 0; Bit < 8; ++Bit) {
                Value = (Value & 1) != 0 ? 0xEDB88320u ^ (Value >> 1) : Value >> 1;
            }
            Built[I] = Value;
        }
        return Built;
    }();
    std::uint32_t Crc = 0xFFFFFFFFu;
    for (const char C : Bytes) {
        Crc = Table[(Crc ^ static_cast<unsigned char>(C)) & 0xFF] ^ (Crc >> 8);
    }
    return Crc ^ 0xFFFFFFFFu;
}

std::string Hex8(std::uint32_t Value) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string Text(8, '0');
    for (int I = 7; I >= 0; --I, Value >>= 4) {
        Text[static_cast<std::size_t>(I)] = Digits[Value & 0xF];
    }
    return Text;
}

// A field's text with tab, line breaks, backslash and the other control characters escaped.
std::string Escape(std::string_view Field) {
    std::string Text;
    for (const char C : Field) {
        const auto Byte = static_cast<unsigned char>(C);
        if (C == '\\') {
            Text += "\\\\";
        } else if (C == '\t') {
            Text += "\\t";
        } else if (C == '\n') {
            Text += "\\n";
        } else if (C == '\r') {
            Text += "\\r";
        } else if (Byte < 0x20 || Byte == 0x7F) {
            Text += "\\x";
            Text += "0123456789abcdef"[Byte >> 4];
            Text += "0123456789abcdef"[Byte & 0xF];
        } else {
            Text += C;
        }
    }
    return Text;
}

int HexDigit(char C) {
    return C >= '0' && C <= '9' ? C - '0' : C >= 'a' && C <= 'f' ? C - 'a' + 10 : -1;
}

bool Unescape(std::string_view Field, std::string& Text) {
    Text.clear();
    for (std::size_t I = 0; I < Field.size(); ++I) {
        if (Field[I] != '\\') {
            Text += Field[I];
            continue;
        }
        if (++I == Field.size()) {
            return false;
        }
        switch (Field[I]) {
        case '\\':
            Text += '\\';
            break;
        case 't':
            Text += '\t';
            break;
        case 'n':
            Text += '\n';
            break;
        case 'r':
            Text += '\r';
            break;
        case 'x': {
            const int High = I + 1 < Field.size() ? HexDigit(Field[I + 1]) : -1;
            const int Low = I + 2 < Field.size() ? HexDigit(Field[I + 2]) : -1;
            if (High < 0 || Low < 0) {
                return false;
            }
            Text += static_cast<char>(High * 16 + Low);
            I += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

std::string Line(const std::vector<std::string>& Fields) {
    std::string Text;
    for (const std::string& Field : Fields) {
        if (!Text.empty()) {
            Text += '\t';
        }
        Text += Escape(Field);
    }
    return Text + '\t' + Hex8(Crc32(Text)) + '\n';
}

bool ParseNumber(std::string_view Text, std::uint32_t Max, std::uint32_t& Value) {
    if (Text.empty() || Text.size() > 10) {
        return false;
    }
    std::uint64_t Parsed = 0;
    const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Parsed);
    if (Error != std::errc() || End != Text.data() + Text.size() || Parsed > Max) {
        return false;
    }
    Value = static_cast<std::uint32_t>(Parsed);
    return true;
}

std::vector<std::string> SslFields(std::string_view Kind, const TSslRecord& Record) {
    return {std::string(Kind),
            Record.Key,
            HexOf(Record.Hash),
            Record.AppId,
            Record.StoreName,
            std::to_string(Record.CheckMode),
            std::to_string(Record.Freshness),
            std::to_string(Record.RetrievalTimeout),
            std::to_string(Record.Flags),
            Record.CtlIdentifier,
            Record.CtlStoreName};
}

// The reason a record's fields are refused, or empty when they make a record (added to Into).
std::string ReadRecord(const std::vector<std::string>& Fields, TStoreRecords& Into) {
    const std::string& Kind = Fields[0];
    if (Kind == "urlacl") {
        if (Fields.size() != 3) {
            return "a URL reservation has 2 fields";
        }
        TUrlPrefix Prefix;
        TSecurityDescriptor Descriptor;
        if (ParseUrlPrefix(Fields[1], Prefix) != NO_ERROR) {
            return "malformed URL";
        }
        if (ParseSddl(Fields[2], Descriptor) != NO_ERROR) {
            return "malformed security descriptor";
        }
        Into.UrlAcls[Prefix.Key()] = {Fields[1], Fields[2]};
        return {};
    }
    if (Kind == "sslcert" || Kind == "sslsni") {
        if (Fields.size() != 11) {
            return "a certificate binding has 10 fields";
        }
        TSslRecord Record;
        const bool Sni = Kind == "sslsni";
        if (!(Sni ? HostPortKey(Fields[1], Record.Key) : IpPortKey(Fields[1], Record.Key))) {
            return Sni ? "malformed host:port" : "malformed address:port";
        }
        if (!BytesOfHex(Fields[2], Record.Hash)) {
            return "malformed certificate hash";
        }
        if (!ParseGuidText(Fields[3], Record.AppId)) {
            return "malformed application id";
        }
        Record.StoreName = Fields[4];
        if (!ParseNumber(Fields[5], 0xFFFFFFFFu, Record.CheckMode) ||
            !ParseNumber(Fields[6], 0xFFFFFFFFu, Record.Freshness) ||
            !ParseNumber(Fields[7], 0xFFFFFFFFu, Record.RetrievalTimeout) ||
            !ParseNumber(Fields[8], 0xFFFFFFFFu, Record.Flags)) {
            return "malformed number";
        }
        Record.CtlIdentifier = Fields[9];
        Record.CtlStoreName = Fields[10];
        (Sni ? Into.SniCerts : Into.SslCerts)[Record.Key] = std::move(Record);
        return {};
    }
    if (Kind == "timeout") {
        std::uint32_t Seconds = 0;
        if (Fields.size() != 3 || (Fields[1] != "idleconnection" && Fields[1] != "headerwait") ||
            !ParseNumber(Fields[2], 0xFFFF, Seconds)) {
            return "malformed time-out";
        }
        Into.Timeouts[Fields[1]] = static_cast<std::uint16_t>(Seconds);
        return {};
    }
    if (Kind == "iplisten") {
        std::string Key;
        if (Fields.size() != 2 || !ListenAddressKey(Fields[1], Key)) {
            return "malformed listen address";
        }
        Into.ListenAddresses.insert(Key);
        return {};
    }
    return "unknown record kind";
}

struct TFd {
    int Fd = -1;
    explicit TFd(int Value) : Fd(Value) {}
    ~TFd() {
        if (Fd >= 0) {
            close(Fd);
        }
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
};

DWORD ErrnoCode(int Errno) {
    return Errno == ENOTDIR ? DWORD(ERROR_PATH_NOT_FOUND) : win::ErrnoToWin32(Errno);
}

// Reads the whole file behind Fd, at most MaxStoreBytes.
DWORD ReadAll(int Fd, std::string& Text) {
    Text.clear();
    char Buffer[65536];
    for (;;) {
        const ssize_t Got = read(Fd, Buffer, sizeof(Buffer));
        if (Got < 0 && errno == EINTR) {
            continue;
        }
        if (Got < 0) {
            return errno == EISDIR ? DWORD(ERROR_FILE_CORRUPT) : ErrnoCode(errno);
        }
        if (Got == 0) {
            return NO_ERROR;
        }
        if (Text.size() + static_cast<std::size_t>(Got) > MaxStoreBytes) {
            return ERROR_FILE_CORRUPT;
        }
        Text.append(Buffer, static_cast<std::size_t>(Got));
    }
}

bool WriteAll(int Fd, std::string_view Text) {
    while (!Text.empty()) {
        const ssize_t Put = write(Fd, Text.data(), Text.size());
        if (Put < 0 && errno == EINTR) {
            continue;
        }
        if (Put <= 0) {
            return false;
        }
        Text.remove_prefix(static_cast<std::size_t>(Put));
    }
    return true;
}

DWORD MakeFolders(const std::string& Folder) {
    if (Folder.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    for (std::size_t At = 1; At <= Folder.size(); ++At) {
        if (At == Folder.size() || Folder[At] == '/') {
            const std::string Part = Folder.substr(0, At);
            if (mkdir(Part.c_str(), 0755) != 0 && errno != EEXIST) {
                return ErrnoCode(errno);
            }
        }
    }
    struct stat Status {};
    if (stat(Folder.c_str(), &Status) != 0 || !S_ISDIR(Status.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return NO_ERROR;
}

std::atomic<unsigned> GTemporaryCount{0};

} // namespace

std::string HexOf(const std::vector<std::uint8_t>& Bytes) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string Text;
    for (const std::uint8_t Byte : Bytes) {
        Text += Digits[Byte >> 4];
        Text += Digits[Byte & 0xF];
    }
    return Text;
}

bool BytesOfHex(std::string_view Hex, std::vector<std::uint8_t>& Bytes) {
    Bytes.clear();
    if (Hex.size() < 2 || Hex.size() > 128 || Hex.size() % 2 != 0) {
        return false;
    }
    for (std::size_t I = 0; I < Hex.size(); I += 2) {
        const auto Lower = [](char C) { return C >= 'A' && C <= 'F' ? char(C - 'A' + 'a') : C; };
        const int High = HexDigit(Lower(Hex[I]));
        const int Low = HexDigit(Lower(Hex[I + 1]));
        if (High < 0 || Low < 0) {
            Bytes.clear();
            return false;
        }
        Bytes.push_back(static_cast<std::uint8_t>(High * 16 + Low));
    }
    return true;
}

bool ParseGuidText(std::string_view Text, std::string& Canonical) {
    // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, braces optional, any letter case.
    if (Text.size() == 38 && Text.front() == '{' && Text.back() == '}') {
        Text = Text.substr(1, 36);
    }
    if (Text.size() != 36) {
        return false;
    }
    Canonical = "{";
    for (std::size_t I = 0; I < 36; ++I) {
        const char C = Text[I];
        const bool Dash = I == 8 || I == 13 || I == 18 || I == 23;
        if (Dash != (C == '-')) {
            return false;
        }
        if (!Dash && !std::isxdigit(static_cast<unsigned char>(C))) {
            return false;
        }
        Canonical += static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    }
    Canonical += '}';
    return true;
}

bool IpPortKey(std::string_view Text, std::string& Key) {
    const std::size_t Colon = Text.rfind(':');
    if (Colon == std::string_view::npos || Colon == 0) {
        return false;
    }
    std::uint32_t Port = 0;
    if (!ParseNumber(Text.substr(Colon + 1), 65535, Port) || Port == 0) {
        return false;
    }
    std::string_view Host = Text.substr(0, Colon);
    const bool Bracketed = Host.size() > 2 && Host.front() == '[' && Host.back() == ']';
    if (Bracketed) {
        Host = Host.substr(1, Host.size() - 2);
    }
    const std::string Copy(Host);
    char Buffer[INET6_ADDRSTRLEN] = {};
    in6_addr V6{};
    in_addr V4{};
    if (!Bracketed && inet_pton(AF_INET, Copy.c_str(), &V4) == 1) {
        inet_ntop(AF_INET, &V4, Buffer, sizeof(Buffer));
        Key = std::string(Buffer) + ":" + std::to_string(Port);
        return true;
    }
    if (Bracketed && inet_pton(AF_INET6, Copy.c_str(), &V6) == 1) {
        inet_ntop(AF_INET6, &V6, Buffer, sizeof(Buffer));
        Key = "[" + std::string(Buffer) + "]:" + std::to_string(Port);
        return true;
    }
    return false;
}

bool HostPortKey(std::string_view Text, std::string& Key) {
    const std::size_t Colon = Text.rfind(':');
    if (Colon == std::string_view::npos || Colon == 0 || Colon > 253) {
        return false;
    }
    std::uint32_t Port = 0;
    if (!ParseNumber(Text.substr(Colon + 1), 65535, Port) || Port == 0) {
        return false;
    }
    // A DNS name: letters, digits, '-', '.', '_' and '*' (a wildcard label), no empty label.
    const std::string Host = AsciiLower(Text.substr(0, Colon));
    if (Host.front() == '.' || Host.back() == '.' || Host.find("..") != std::string::npos) {
        return false;
    }
    for (const char C : Host) {
        if (!((C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' || C == '.' ||
              C == '_' || C == '*')) {
            return false;
        }
    }
    Key = Host + ":" + std::to_string(Port);
    return true;
}

bool ListenAddressKey(std::string_view Text, std::string& Key) {
    if (Text.size() > 2 && Text.front() == '[' && Text.back() == ']') {
        Text = Text.substr(1, Text.size() - 2);
    }
    const std::string Copy(Text);
    char Buffer[INET6_ADDRSTRLEN] = {};
    in6_addr V6{};
    in_addr V4{};
    if (inet_pton(AF_INET, Copy.c_str(), &V4) == 1) {
        Key = inet_ntop(AF_INET, &V4, Buffer, sizeof(Buffer));
        return true;
    }
    if (inet_pton(AF_INET6, Copy.c_str(), &V6) == 1) {
        Key = inet_ntop(AF_INET6, &V6, Buffer, sizeof(Buffer));
        return true;
    }
    return false;
}

std::string FormatRecords(const TStoreRecords& Records) {
    std::string Text = std::string(Header) + "\n";
    for (const auto& [Key, Record] : Records.UrlAcls) {
        Text += Line({"urlacl", Record.Url, Record.Sddl});
    }
    for (const auto& [Key, Record] : Records.SslCerts) {
        Text += Line(SslFields("sslcert", Record));
    }
    for (const auto& [Key, Record] : Records.SniCerts) {
        Text += Line(SslFields("sslsni", Record));
    }
    for (const auto& [Name, Seconds] : Records.Timeouts) {
        Text += Line({"timeout", Name, std::to_string(Seconds)});
    }
    for (const std::string& Address : Records.ListenAddresses) {
        Text += Line({"iplisten", Address});
    }
    return Text;
}

TStoreRecords ParseRecords(std::string_view Text, std::vector<TStoreDamage>& Damage) {
    TStoreRecords Records;
    Damage.clear();
    std::size_t Number = 0;
    while (!Text.empty()) {
        ++Number;
        const std::size_t End = Text.find('\n');
        // A last line without its line break was cut short.
        const bool Complete = End != std::string_view::npos;
        const std::string_view Raw = Text.substr(0, Complete ? End : Text.size());
        Text.remove_prefix(Complete ? End + 1 : Text.size());
        const auto Reject = [&](std::string Reason) {
            Damage.push_back({Number, std::move(Reason), std::string(Raw)});
        };
        if (Number == 1) {
            if (Raw != Header) {
                Reject("not the store's header line");
            }
            continue;
        }
        if (!Complete) {
            Reject("cut short");
            continue;
        }
        if (Raw.size() > MaxRecordLine) {
            Reject("longer than " + std::to_string(MaxRecordLine) + " bytes");
            continue;
        }
        const std::size_t Tab = Raw.rfind('\t');
        if (Tab == std::string_view::npos || Raw.size() - Tab - 1 != 8 ||
            Hex8(Crc32(Raw.substr(0, Tab))) != Raw.substr(Tab + 1)) {
            Reject("checksum mismatch");
            continue;
        }
        std::vector<std::string> Fields;
        bool Escapes = true;
        for (std::string_view Rest = Raw.substr(0, Tab);;) {
            const std::size_t Next = Rest.find('\t');
            std::string Field;
            Escapes = Escapes && Unescape(Rest.substr(0, Next), Field);
            Fields.push_back(std::move(Field));
            if (Next == std::string_view::npos) {
                break;
            }
            Rest.remove_prefix(Next + 1);
        }
        if (!Escapes) {
            Reject("malformed escape");
            continue;
        }
        std::string Reason = ReadRecord(Fields, Records);
        if (!Reason.empty()) {
            Reject(std::move(Reason));
        }
    }
    return Records;
}

std::string TConfigStore::Folder() {
    const char* Variable = std::getenv(ConfigStoreVariable);
    return Variable != nullptr && *Variable != '\0' ? Variable : DefaultConfigStoreFolder;
}

DWORD TConfigStore::Read(std::shared_ptr<const TStoreRecords>& Records) {
    const std::string Where = Folder();
    const std::string Path = Where + "/" + std::string(RecordsFile);
    const auto IdentityOf = [](const struct stat& Status) {
        return TIdentity{Status.st_dev, Status.st_ino, Status.st_size,
                         std::int64_t(Status.st_mtim.tv_sec) * 1000000000 + Status.st_mtim.tv_nsec,
                         std::int64_t(Status.st_ctim.tv_sec) * 1000000000 + Status.st_ctim.tv_nsec};
    };
    // One stat when nothing changed (every TLS connection asks for its certificate): each
    // write replaces the file, so a new file means a new inode.
    struct stat Status {};
    TIdentity Identity;
    if (stat(Path.c_str(), &Status) != 0) {
        if (errno != ENOENT) {
            return ErrnoCode(errno);
        }
    } else if (!S_ISREG(Status.st_mode)) {
        return ERROR_FILE_CORRUPT;
    } else {
        Identity = IdentityOf(Status);
    }
    {
        std::scoped_lock Lock(FLock);
        if (FCache && FFolder == Where && FIdentity == Identity) {
            Records = FCache;
            return NO_ERROR;
        }
    }
    auto Fresh = std::make_shared<TStoreRecords>();
    std::vector<TStoreDamage> Damage;
    if (Identity.Size >= 0) {
        TFd File(open(Path.c_str(), O_RDONLY | O_CLOEXEC));
        if (File.Fd < 0) {
            return errno == ENOENT ? Read(Records) : ErrnoCode(errno); // replaced meanwhile
        }
        if (fstat(File.Fd, &Status) != 0) {
            return ErrnoCode(errno);
        }
        if (!S_ISREG(Status.st_mode)) {
            return ERROR_FILE_CORRUPT;
        }
        Identity = IdentityOf(Status); // of the file read, should it have been replaced
        std::string Text;
        const DWORD Read = ReadAll(File.Fd, Text);
        if (Read != NO_ERROR) {
            return Read;
        }
        *Fresh = ParseRecords(Text, Damage);
    }
    std::scoped_lock Lock(FLock);
    FFolder = Where;
    FIdentity = Identity;
    FCache = Fresh;
    FDamage = std::move(Damage);
    Records = std::move(Fresh);
    return NO_ERROR;
}

std::vector<TStoreDamage> TConfigStore::Damage() {
    std::scoped_lock Lock(FLock);
    return FFolder == Folder() ? FDamage : std::vector<TStoreDamage>();
}

DWORD TConfigStore::Update(const std::function<DWORD(TStoreRecords&)>& Change) {
    const std::string Where = Folder();
    DWORD Result = MakeFolders(Where);
    if (Result != NO_ERROR) {
        return Result;
    }
    const std::string LockPath = Where + "/" + std::string(LockFile);
    TFd Lock(open(LockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (Lock.Fd < 0) {
        return ErrnoCode(errno);
    }
    while (flock(Lock.Fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return ErrnoCode(errno);
        }
    }
    // Under the lock (released when Lock closes): the file as it is now, never a cached copy.
    const std::string Path = Where + "/" + std::string(RecordsFile);
    TStoreRecords Records;
    std::vector<TStoreDamage> Damage;
    {
        TFd File(open(Path.c_str(), O_RDONLY | O_CLOEXEC));
        if (File.Fd < 0 && errno != ENOENT) {
            return ErrnoCode(errno);
        }
        if (File.Fd >= 0) {
            struct stat Status {};
            if (fstat(File.Fd, &Status) != 0 || !S_ISREG(Status.st_mode)) {
                return ERROR_FILE_CORRUPT;
            }
            std::string Text;
            Result = ReadAll(File.Fd, Text);
            if (Result != NO_ERROR) {
                return Result;
            }
            Records = ParseRecords(Text, Damage);
        }
    }
    Result = Change(Records);
    if (Result != NO_ERROR) {
        return Result;
    }
    // The lines that could not be read go to the damaged-lines file before the file without
    // them replaces the old one: a record that cannot be read is kept, not dropped.
    const std::vector<TStoreDamage>& Kept = Damage;
    if (!Kept.empty()) {
        std::string Text;
        const std::time_t Now = std::time(nullptr);
        for (const TStoreDamage& Entry : Kept) {
            Text += "# " + std::to_string(Now) + " line " + std::to_string(Entry.Line) + ": " +
                    Entry.Reason + "\n" + Entry.Text + "\n";
        }
        const std::string DamagedPath = Where + "/" + std::string(DamagedFile);
        TFd Damaged(open(DamagedPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        if (Damaged.Fd < 0 || !WriteAll(Damaged.Fd, Text) || fsync(Damaged.Fd) != 0) {
            return Damaged.Fd < 0 ? ErrnoCode(errno) : DWORD(ERROR_DISK_FULL);
        }
    }
    const std::string Temporary = Where + "/.records." + std::to_string(getpid()) + "." +
                                  std::to_string(GTemporaryCount++) + ".tmp";
    {
        TFd File(open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (File.Fd < 0) {
            return ErrnoCode(errno);
        }
        // Readable by every process that loads the library, whatever the writer's umask.
        const bool Written = fchmod(File.Fd, 0644) == 0 &&
                             WriteAll(File.Fd, FormatRecords(Records)) && fsync(File.Fd) == 0;
        if (!Written) {
            const DWORD Failed = errno == ENOSPC ? DWORD(ERROR_DISK_FULL) : ErrnoCode(errno);
            unlink(Temporary.c_str());
            return Failed;
        }
    }
    if (rename(Temporary.c_str(), Path.c_str()) != 0) {
        const DWORD Failed = ErrnoCode(errno);
        unlink(Temporary.c_str());
        return Failed;
    }
    TFd Folder(open(Where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Folder.Fd >= 0) {
        fsync(Folder.Fd); // the rename itself reaches the disk
    }
    return NO_ERROR;
}

TConfigStore& ConfigStore() {
    static TConfigStore Instance;
    return Instance;
}

} // namespace httpapi
