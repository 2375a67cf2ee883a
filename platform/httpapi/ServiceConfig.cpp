// ServiceConfig: the service configuration over the shared store, and what the listener takes
// from it.
#include "platform/httpapi/ServiceConfig.h"

#include "platform/httpapi/Sddl.h"
#include "platform/httpapi/UrlPrefix.h"
#include "platform/rtl/Utf.h"

#include <arpa/inet.h>
#include <cstring>
#include <cwchar>
#include <netinet/in.h>
#include <openssl/ssl.h>

namespace httpapi {

namespace {

constexpr std::uint16_t DefaultTimeout = 120;
constexpr std::size_t MaxText = 16384;

bool SafeWide(PCWSTR Text, std::string& Result) {
    if (Text == nullptr) {
        return false;
    }
    const std::size_t Length = std::wcslen(Text);
    if (Length == 0 || Length > MaxText) {
        return false;
    }
    try {
        Result = rtl::WideToUtf8(std::wstring_view(Text, Length));
        return true;
    } catch (...) {
        return false;
    }
}

// An optional text member: nullptr and "" are both empty.
bool OptionalWide(PCWSTR Text, std::string& Result) {
    Result.clear();
    return Text == nullptr || *Text == L'\0' || SafeWide(Text, Result);
}

// The binding key of an IP:port socket address ("1.2.3.4:443", "[::1]:443"; an IPv4-mapped
// IPv6 address counts as IPv4); empty for anything else.
std::string AddressKey(const sockaddr* Address) {
    char Text[INET6_ADDRSTRLEN] = {};
    if (Address == nullptr) {
        return {};
    }
    if (Address->sa_family == AF_INET) {
        sockaddr_in V4{};
        std::memcpy(&V4, Address, sizeof(V4));
        inet_ntop(AF_INET, &V4.sin_addr, Text, sizeof(Text));
        return V4.sin_port == 0 ? std::string()
                                : std::string(Text) + ":" + std::to_string(ntohs(V4.sin_port));
    }
    if (Address->sa_family == AF_INET6) {
        sockaddr_in6 V6{};
        std::memcpy(&V6, Address, sizeof(V6));
        if (V6.sin6_port == 0) {
            return {};
        }
        const std::string Port = std::to_string(ntohs(V6.sin6_port));
        if (IN6_IS_ADDR_V4MAPPED(&V6.sin6_addr)) {
            inet_ntop(AF_INET, &V6.sin6_addr.s6_addr[12], Text, sizeof(Text));
            return std::string(Text) + ":" + Port;
        }
        inet_ntop(AF_INET6, &V6.sin6_addr, Text, sizeof(Text));
        return "[" + std::string(Text) + "]:" + Port;
    }
    return {};
}

// The port of a socket address (IPv4 or IPv6), 0 for anything else.
std::uint16_t PortOf(const sockaddr_storage& Address) {
    if (Address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(Address).sin_port);
    }
    if (Address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(Address).sin6_port);
    }
    return 0;
}

// The socket address of a binding key made by IpPortKey.
sockaddr_storage AddressOfKey(const std::string& Key) {
    sockaddr_storage Result{};
    const std::size_t Colon = Key.rfind(':');
    const auto Port = static_cast<std::uint16_t>(std::stoul(Key.substr(Colon + 1)));
    if (Key.front() == '[') {
        auto& V6 = reinterpret_cast<sockaddr_in6&>(Result);
        V6.sin6_family = AF_INET6;
        V6.sin6_port = htons(Port);
        inet_pton(AF_INET6, Key.substr(1, Colon - 2).c_str(), &V6.sin6_addr);
    } else {
        auto& V4 = reinterpret_cast<sockaddr_in&>(Result);
        V4.sin_family = AF_INET;
        V4.sin_port = htons(Port);
        inet_pton(AF_INET, Key.substr(0, Colon).c_str(), &V4.sin_addr);
    }
    return Result;
}

std::size_t SocketLength(const sockaddr_storage& Address) {
    return Address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

std::string GuidText(const GUID& Guid) {
    char Text[40];
    std::snprintf(Text, sizeof(Text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  Guid.Data1, Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2],
                  Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    return Text;
}

GUID GuidOf(const std::string& Text) {
    // Text is canonical ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}").
    GUID Guid{};
    const auto Hex = [&](std::size_t At, std::size_t Digits) {
        return static_cast<std::uint32_t>(std::stoul(Text.substr(At, Digits), nullptr, 16));
    };
    Guid.Data1 = Hex(1, 8);
    Guid.Data2 = static_cast<std::uint16_t>(Hex(10, 4));
    Guid.Data3 = static_cast<std::uint16_t>(Hex(15, 4));
    Guid.Data4[0] = static_cast<std::uint8_t>(Hex(20, 2));
    Guid.Data4[1] = static_cast<std::uint8_t>(Hex(22, 2));
    for (std::size_t I = 0; I < 6; ++I) {
        Guid.Data4[2 + I] = static_cast<std::uint8_t>(Hex(25 + 2 * I, 2));
    }
    return Guid;
}

// Lays out a record and the data its pointers reach in one caller buffer: each piece on an
// 8-byte boundary after the record.
class TLayout {
public:
    explicit TLayout(std::size_t Record) : FSize(Align(Record)) {}
    std::size_t Add(std::size_t Bytes) {
        const std::size_t At = FSize;
        FSize = Align(FSize + Bytes);
        return At;
    }
    std::size_t Size() const { return FSize; }

private:
    static std::size_t Align(std::size_t Value) { return (Value + 7) & ~std::size_t(7); }
    std::size_t FSize;
};

std::size_t WideBytes(const std::string& Text) {
    return (rtl::Utf8ToWide(Text).size() + 1) * sizeof(WCHAR);
}

PWSTR PutWide(char* Base, std::size_t At, const std::string& Text) {
    const std::wstring Wide = rtl::Utf8ToWide(Text);
    auto* Into = reinterpret_cast<PWSTR>(Base + At);
    std::wmemcpy(Into, Wide.c_str(), Wide.size() + 1);
    return Into;
}

// The record of a binding from the API's parameters (the key is the caller's).
DWORD ReadSslParam(const HTTP_SERVICE_CONFIG_SSL_PARAM& Param, TSslRecord& Record) {
    if (Param.pSslHash == nullptr || Param.SslHashLength == 0 || Param.SslHashLength > 64) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto* Hash = static_cast<const std::uint8_t*>(Param.pSslHash);
    Record.Hash.assign(Hash, Hash + Param.SslHashLength);
    Record.AppId = GuidText(Param.AppId);
    if (!OptionalWide(Param.pSslCertStoreName, Record.StoreName) ||
        !OptionalWide(Param.pDefaultSslCtlIdentifier, Record.CtlIdentifier) ||
        !OptionalWide(Param.pDefaultSslCtlStoreName, Record.CtlStoreName) ||
        (!Record.StoreName.empty() && CertStoreFolder(Record.StoreName).empty())) {
        return ERROR_INVALID_PARAMETER;
    }
    Record.CheckMode = Param.DefaultCertCheckMode;
    Record.Freshness = Param.DefaultRevocationFreshnessTime;
    Record.RetrievalTimeout = Param.DefaultRevocationUrlRetrievalTimeout;
    Record.Flags = Param.DefaultFlags;
    return NO_ERROR;
}

// Writes a binding's parameters and everything they point at (laid out by Layout).
void WriteSslParam(const TSslRecord& Record, char* Base, TLayout& Layout, std::size_t HashAt,
                   HTTP_SERVICE_CONFIG_SSL_PARAM& Param) {
    std::memcpy(Base + HashAt, Record.Hash.data(), Record.Hash.size());
    Param.pSslHash = Base + HashAt;
    Param.SslHashLength = static_cast<ULONG>(Record.Hash.size());
    Param.AppId = GuidOf(Record.AppId);
    if (!Record.StoreName.empty()) {
        Param.pSslCertStoreName =
            PutWide(Base, Layout.Add(WideBytes(Record.StoreName)), Record.StoreName);
    }
    if (!Record.CtlIdentifier.empty()) {
        Param.pDefaultSslCtlIdentifier =
            PutWide(Base, Layout.Add(WideBytes(Record.CtlIdentifier)), Record.CtlIdentifier);
    }
    if (!Record.CtlStoreName.empty()) {
        Param.pDefaultSslCtlStoreName =
            PutWide(Base, Layout.Add(WideBytes(Record.CtlStoreName)), Record.CtlStoreName);
    }
    Param.DefaultCertCheckMode = Record.CheckMode;
    Param.DefaultRevocationFreshnessTime = Record.Freshness;
    Param.DefaultRevocationUrlRetrievalTimeout = Record.RetrievalTimeout;
    Param.DefaultFlags = Record.Flags;
}

// The size the strings of a binding take after its record and hash.
std::size_t SslStringBytes(const TSslRecord& Record) {
    TLayout Layout(0);
    for (const std::string* Text :
         {&Record.StoreName, &Record.CtlIdentifier, &Record.CtlStoreName}) {
        if (!Text->empty()) {
            Layout.Add(WideBytes(*Text));
        }
    }
    return Layout.Size();
}

DWORD Needed(std::size_t Size, ULONG OutputLength, ULONG* ReturnLength, const void* Output,
             DWORD TooSmall = ERROR_INSUFFICIENT_BUFFER) {
    if (ReturnLength != nullptr) {
        *ReturnLength = static_cast<ULONG>(Size);
    }
    return Output == nullptr || OutputLength < Size ? TooSmall : NO_ERROR;
}

// The reservation key of a prefix (case and host form normalised), or false.
bool ReservationKey(const std::string& Url, std::string& Key) {
    TUrlPrefix Parsed;
    if (ParseUrlPrefix(Url, Parsed) != NO_ERROR) {
        return false;
    }
    Key = Parsed.Key();
    return true;
}

// The number a caller put into an enumeration member, read as a number: a value outside the
// enumeration is bad input to refuse, not a value to load as the enumeration's type.
template <class TEnum>
std::uint32_t RawValue(const TEnum& Member) {
    static_assert(sizeof(TEnum) == sizeof(std::uint32_t));
    std::uint32_t Value = 0;
    std::memcpy(&Value, &Member, sizeof(Value));
    return Value;
}

const char* TimeoutName(const HTTP_SERVICE_CONFIG_TIMEOUT_KEY& Key) {
    const std::uint32_t Value = RawValue(Key);
    return Value == IdleConnectionTimeout ? "idleconnection"
           : Value == HeaderWaitTimeout   ? "headerwait"
                                          : nullptr;
}

// The contexts a connection of one port chooses from by the name it asks for.
struct TByName {
    std::shared_ptr<TTlsContext> Base; // the address binding's, when there is one
    std::map<std::string, std::shared_ptr<TTlsContext>> Hosts; // by lower-case host name
};

int ChooseByName(SSL* Ssl, int* Alert, void* Argument) {
    const auto& Choice = *static_cast<const TByName*>(Argument);
    const char* Asked = SSL_get_servername(Ssl, TLSEXT_NAMETYPE_host_name);
    if (Asked != nullptr) {
        const std::string Name = AsciiLower(Asked);
        auto Found = Choice.Hosts.find(Name);
        // A wildcard binding ("*.example.org") covers one label.
        if (const std::size_t Dot = Name.find('.');
            Found == Choice.Hosts.end() && Dot != std::string::npos) {
            Found = Choice.Hosts.find("*" + Name.substr(Dot));
        }
        if (Found != Choice.Hosts.end()) {
            SSL_set_SSL_CTX(Ssl, Found->second->Context());
            return SSL_TLSEXT_ERR_OK;
        }
    }
    if (Choice.Base) {
        return SSL_TLSEXT_ERR_OK; // the address binding's certificate
    }
    *Alert = SSL_AD_UNRECOGNIZED_NAME;
    return SSL_TLSEXT_ERR_ALERT_FATAL;
}

// The listen list's key for an address record: its numeric text, or "" for a record that holds
// no IPv4 or IPv6 address of the right length.
std::string ListenKey(const HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM& Param) {
    const sockaddr* Address = Param.pAddress;
    if (Address == nullptr ||
        !((Address->sa_family == AF_INET && Param.AddrLength == sizeof(sockaddr_in)) ||
          (Address->sa_family == AF_INET6 && Param.AddrLength == sizeof(sockaddr_in6)))) {
        return {};
    }
    char Text[INET6_ADDRSTRLEN] = {};
    if (Address->sa_family == AF_INET) {
        sockaddr_in V4{};
        std::memcpy(&V4, Address, sizeof(V4));
        inet_ntop(AF_INET, &V4.sin_addr, Text, sizeof(Text));
    } else {
        sockaddr_in6 V6{};
        std::memcpy(&V6, Address, sizeof(V6));
        inet_ntop(AF_INET6, &V6.sin6_addr, Text, sizeof(Text));
    }
    return Text;
}

} // namespace

TServiceConfig& ServiceConfig() {
    static TServiceConfig Instance;
    return Instance;
}

DWORD TServiceConfig::Set(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Information, ULONG Length) {
    if (Information == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    switch (ConfigId) {
    case HttpServiceConfigSSLCertInfo:
        return SetSsl(Information, Length, false);
    case HttpServiceConfigSslSniCertInfo:
        return SetSsl(Information, Length, true);
    case HttpServiceConfigUrlAclInfo: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_URLACL_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto* Record = static_cast<const HTTP_SERVICE_CONFIG_URLACL_SET*>(Information);
        TUrlAclRecord Reservation;
        std::string Key;
        TSecurityDescriptor Descriptor;
        if (!SafeWide(Record->KeyDesc.pUrlPrefix, Reservation.Url) ||
            !SafeWide(Record->ParamDesc.pStringSecurityDescriptor, Reservation.Sddl) ||
            !ReservationKey(Reservation.Url, Key) ||
            ParseSddl(Reservation.Sddl, Descriptor) != NO_ERROR) {
            return ERROR_INVALID_PARAMETER;
        }
        return ConfigStore().Update([&](TStoreRecords& Records) -> DWORD {
            return Records.UrlAcls.emplace(Key, Reservation).second ? NO_ERROR
                                                                    : ERROR_ALREADY_EXISTS;
        });
    }
    case HttpServiceConfigTimeout: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_TIMEOUT_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto* Record = static_cast<const HTTP_SERVICE_CONFIG_TIMEOUT_SET*>(Information);
        const char* Name = TimeoutName(Record->KeyDesc);
        if (Name == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        const std::uint16_t Seconds = Record->ParamDesc;
        return ConfigStore().Update([&](TStoreRecords& Records) -> DWORD {
            return Records.Timeouts.emplace(Name, Seconds).second ? NO_ERROR : ERROR_ALREADY_EXISTS;
        });
    }
    case HttpServiceConfigIPListenList: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const std::string Key =
            ListenKey(*static_cast<const HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM*>(Information));
        if (Key.empty()) {
            return ERROR_INVALID_PARAMETER;
        }
        return ConfigStore().Update([&](TStoreRecords& Records) -> DWORD {
            return Records.ListenAddresses.insert(Key).second ? NO_ERROR : ERROR_ALREADY_EXISTS;
        });
    }
    default:
        return ERROR_NOT_SUPPORTED;
    }
}

DWORD TServiceConfig::Delete(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Information,
                             ULONG Length) {
    if (Information == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    switch (ConfigId) {
    case HttpServiceConfigSSLCertInfo:
        return DeleteSsl(Information, Length, false);
    case HttpServiceConfigSslSniCertInfo:
        return DeleteSsl(Information, Length, true);
    case HttpServiceConfigUrlAclInfo: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_URLACL_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto* Record = static_cast<const HTTP_SERVICE_CONFIG_URLACL_SET*>(Information);
        std::string Url;
        std::string Key;
        if (!SafeWide(Record->KeyDesc.pUrlPrefix, Url) || !ReservationKey(Url, Key)) {
            return ERROR_INVALID_PARAMETER;
        }
        return ConfigStore().Update([&](TStoreRecords& Records) -> DWORD {
            return Records.UrlAcls.erase(Key) > 0 ? NO_ERROR : ERROR_FILE_NOT_FOUND;
        });
    }
    case HttpServiceConfigTimeout: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_TIMEOUT_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto* Record = static_cast<const HTTP_SERVICE_CONFIG_TIMEOUT_SET*>(Information);
        const char* Name = TimeoutName(Record->KeyDesc);
        if (Name == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        return ConfigStore().Update([&](TStoreRecords& Records) -> DWORD {
            return Records.Timeouts.erase(Name) > 0 ? NO_ERROR : ERROR_FILE_NOT_FOUND;
        });
    }
    case HttpServiceConfigIPListenList: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const std::string Key =
            ListenKey(*static_cast<const HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM*>(Information));
        if (Key.empty()) {
            return ERROR_INVALID_PARAMETER;
        }
        return ConfigStore().Update([&](TStoreRecords& Records) -> DWORD {
            return Records.ListenAddresses.erase(Key) > 0 ? NO_ERROR : ERROR_FILE_NOT_FOUND;
        });
    }
    default:
        return ERROR_NOT_SUPPORTED;
    }
}

DWORD TServiceConfig::Query(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Input, ULONG InputLength,
                            void* Output, ULONG OutputLength, ULONG* ReturnLength) {
    try {
        switch (ConfigId) {
        case HttpServiceConfigSSLCertInfo:
            return QuerySsl(Input, InputLength, Output, OutputLength, ReturnLength, false);
        case HttpServiceConfigSslSniCertInfo:
            return QuerySsl(Input, InputLength, Output, OutputLength, ReturnLength, true);
        case HttpServiceConfigUrlAclInfo:
            return QueryUrlAcl(Input, InputLength, Output, OutputLength, ReturnLength);
        case HttpServiceConfigTimeout:
            return QueryTimeout(Input, InputLength, Output, OutputLength, ReturnLength);
        case HttpServiceConfigIPListenList:
            return QueryListen(Output, OutputLength, ReturnLength);
        default:
            return ERROR_NOT_SUPPORTED;
        }
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD TServiceConfig::QueryUrlAcl(const void* Input, ULONG InputLength, void* Output,
                                  ULONG OutputLength, ULONG* ReturnLength) {
    if (Input == nullptr || InputLength < sizeof(HTTP_SERVICE_CONFIG_URLACL_QUERY)) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto& Query = *static_cast<const HTTP_SERVICE_CONFIG_URLACL_QUERY*>(Input);
    std::shared_ptr<const TStoreRecords> Records;
    if (const DWORD Read = ConfigStore().Read(Records); Read != NO_ERROR) {
        return Read;
    }
    const TUrlAclRecord* Found = nullptr;
    const std::uint32_t Type = RawValue(Query.QueryDesc);
    if (Type == HttpServiceConfigQueryExact) {
        std::string Url;
        std::string Key;
        if (!SafeWide(Query.KeyDesc.pUrlPrefix, Url) || !ReservationKey(Url, Key)) {
            return ERROR_INVALID_PARAMETER;
        }
        const auto It = Records->UrlAcls.find(Key);
        if (It == Records->UrlAcls.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        Found = &It->second;
    } else if (Type == HttpServiceConfigQueryNext) {
        if (Query.dwToken >= Records->UrlAcls.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        Found = &std::next(Records->UrlAcls.begin(), Query.dwToken)->second;
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    TLayout Layout(sizeof(HTTP_SERVICE_CONFIG_URLACL_SET));
    const std::size_t UrlAt = Layout.Add(WideBytes(Found->Url));
    const std::size_t SddlAt = Layout.Add(WideBytes(Found->Sddl));
    if (const DWORD Room = Needed(Layout.Size(), OutputLength, ReturnLength, Output);
        Room != NO_ERROR) {
        return Room;
    }
    auto* Base = static_cast<char*>(Output);
    auto* Record = new (Base) HTTP_SERVICE_CONFIG_URLACL_SET{};
    Record->KeyDesc.pUrlPrefix = PutWide(Base, UrlAt, Found->Url);
    Record->ParamDesc.pStringSecurityDescriptor = PutWide(Base, SddlAt, Found->Sddl);
    return NO_ERROR;
}

DWORD TServiceConfig::QueryTimeout(const void* Input, ULONG InputLength, void* Output,
                                   ULONG OutputLength, ULONG* ReturnLength) {
    if (Input == nullptr || InputLength < sizeof(HTTP_SERVICE_CONFIG_TIMEOUT_KEY)) {
        return ERROR_INVALID_PARAMETER;
    }
    const char* Name = TimeoutName(*static_cast<const HTTP_SERVICE_CONFIG_TIMEOUT_KEY*>(Input));
    if (Name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<const TStoreRecords> Records;
    if (const DWORD Read = ConfigStore().Read(Records); Read != NO_ERROR) {
        return Read;
    }
    const auto It = Records->Timeouts.find(Name);
    if (It == Records->Timeouts.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    // The Windows listener reports a short buffer for a time-out as ERROR_MORE_DATA.
    if (const DWORD Room = Needed(sizeof(HTTP_SERVICE_CONFIG_TIMEOUT_PARAM), OutputLength,
                                  ReturnLength, Output, ERROR_MORE_DATA);
        Room != NO_ERROR) {
        return Room;
    }
    const HTTP_SERVICE_CONFIG_TIMEOUT_PARAM Seconds = It->second;
    std::memcpy(Output, &Seconds, sizeof(Seconds));
    return NO_ERROR;
}

DWORD TServiceConfig::QueryListen(void* Output, ULONG OutputLength, ULONG* ReturnLength) {
    std::shared_ptr<const TStoreRecords> Records;
    if (const DWORD Read = ConfigStore().Read(Records); Read != NO_ERROR) {
        return Read;
    }
    const std::size_t Count = Records->ListenAddresses.size();
    const std::size_t Size = offsetof(HTTP_SERVICE_CONFIG_IP_LISTEN_QUERY, AddrList) +
                             std::max<std::size_t>(Count, ANYSIZE_ARRAY) * sizeof(SOCKADDR_STORAGE);
    if (const DWORD Room = Needed(Size, OutputLength, ReturnLength, Output); Room != NO_ERROR) {
        return Room;
    }
    std::memset(Output, 0, Size);
    auto* Query = static_cast<HTTP_SERVICE_CONFIG_IP_LISTEN_QUERY*>(Output);
    Query->AddrCount = static_cast<ULONG>(Count);
    std::size_t I = 0;
    for (const std::string& Address : Records->ListenAddresses) {
        sockaddr_storage& Into = Query->AddrList[I++];
        if (Address.find(':') != std::string::npos) {
            auto& V6 = reinterpret_cast<sockaddr_in6&>(Into);
            V6.sin6_family = AF_INET6;
            inet_pton(AF_INET6, Address.c_str(), &V6.sin6_addr);
        } else {
            auto& V4 = reinterpret_cast<sockaddr_in&>(Into);
            V4.sin_family = AF_INET;
            inet_pton(AF_INET, Address.c_str(), &V4.sin_addr);
        }
    }
    return NO_ERROR;
}

DWORD TServiceConfig::SetSsl(const void* Information, ULONG Length, bool Sni) {
    TSslRecord Record;
    if (Sni) {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_SSL_SNI_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto& Set = *static_cast<const HTTP_SERVICE_CONFIG_SSL_SNI_SET*>(Information);
        std::string Host;
        const std::uint16_t Port = PortOf(Set.KeyDesc.IpPort);
        if (Port == 0 || !SafeWide(Set.KeyDesc.Host, Host) ||
            !HostPortKey(Host + ":" + std::to_string(Port), Record.Key)) {
            return ERROR_INVALID_PARAMETER;
        }
        if (const DWORD Read = ReadSslParam(Set.ParamDesc, Record); Read != NO_ERROR) {
            return Read;
        }
    } else {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_SSL_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto& Set = *static_cast<const HTTP_SERVICE_CONFIG_SSL_SET*>(Information);
        Record.Key = AddressKey(Set.KeyDesc.pIpPort);
        if (Record.Key.empty()) {
            return ERROR_INVALID_PARAMETER;
        }
        if (const DWORD Read = ReadSslParam(Set.ParamDesc, Record); Read != NO_ERROR) {
            return Read;
        }
    }
    return ConfigStore().Update([&](TStoreRecords& Records) -> DWORD {
        auto& Bindings = Sni ? Records.SniCerts : Records.SslCerts;
        if (Bindings.contains(Record.Key)) {
            return ERROR_ALREADY_EXISTS;
        }
        // The certificate must be in its store with its key, as on Windows ("the SSL
        // certificate used is invalid" otherwise). Checked once the caller is known to be
        // allowed to write the store.
        DWORD Error = NO_ERROR;
        if (!LoadServerContext(Record.StoreName, Record.Hash, Error)) {
            return ERROR_NO_SUCH_LOGON_SESSION;
        }
        Bindings.emplace(Record.Key, Record);
        return NO_ERROR;
    });
}

DWORD TServiceConfig::DeleteSsl(const void* Information, ULONG Length, bool Sni) {
    std::string Key;
    if (Sni) {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_SSL_SNI_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto& Set = *static_cast<const HTTP_SERVICE_CONFIG_SSL_SNI_SET*>(Information);
        std::string Host;
        const std::uint16_t Port = PortOf(Set.KeyDesc.IpPort);
        if (Port == 0 || !SafeWide(Set.KeyDesc.Host, Host) ||
            !HostPortKey(Host + ":" + std::to_string(Port), Key)) {
            return ERROR_INVALID_PARAMETER;
        }
    } else {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_SSL_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        Key = AddressKey(
            static_cast<const HTTP_SERVICE_CONFIG_SSL_SET*>(Information)->KeyDesc.pIpPort);
        if (Key.empty()) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    return ConfigStore().Update([&](TStoreRecords& Records) -> DWORD {
        return (Sni ? Records.SniCerts : Records.SslCerts).erase(Key) > 0 ? NO_ERROR
                                                                          : ERROR_FILE_NOT_FOUND;
    });
}

DWORD TServiceConfig::QuerySsl(const void* Input, ULONG InputLength, void* Output,
                               ULONG OutputLength, ULONG* ReturnLength, bool Sni) {
    std::uint32_t Type = 0;
    DWORD Token = 0;
    std::string Key;
    if (Sni) {
        if (Input == nullptr || InputLength < sizeof(HTTP_SERVICE_CONFIG_SSL_SNI_QUERY)) {
            return ERROR_INVALID_PARAMETER;
        }
        const auto& Query = *static_cast<const HTTP_SERVICE_CONFIG_SSL_SNI_QUERY*>(Input);
        Type = RawValue(Query.QueryDesc);
        Token = Query.dwToken;
        if (Type == HttpServiceConfigQueryExact) {
            std::string Host;
            const std::uint16_t Port = PortOf(Query.KeyDesc.IpPort);
            if (Port == 0 || !SafeWide(Query.KeyDesc.Host, Host) ||
                !HostPortKey(Host + ":" + std::to_string(Port), Key)) {
                return ERROR_INVALID_PARAMETER;
            }
        }
    } else {
        if (Input == nullptr || InputLength < sizeof(HTTP_SERVICE_CONFIG_SSL_QUERY)) {
            return ERROR_INVALID_PARAMETER;
        }
        const auto& Query = *static_cast<const HTTP_SERVICE_CONFIG_SSL_QUERY*>(Input);
        Type = RawValue(Query.QueryDesc);
        Token = Query.dwToken;
        if (Type == HttpServiceConfigQueryExact) {
            Key = AddressKey(Query.KeyDesc.pIpPort);
            if (Key.empty()) {
                return ERROR_INVALID_PARAMETER;
            }
        }
    }
    if (Type != HttpServiceConfigQueryExact && Type != HttpServiceConfigQueryNext) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<const TStoreRecords> Records;
    if (const DWORD Read = ConfigStore().Read(Records); Read != NO_ERROR) {
        return Read;
    }
    const auto& Bindings = Sni ? Records->SniCerts : Records->SslCerts;
    const TSslRecord* Found = nullptr;
    if (Type == HttpServiceConfigQueryExact) {
        const auto It = Bindings.find(Key);
        if (It == Bindings.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        Found = &It->second;
    } else {
        if (Token >= Bindings.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        Found = &std::next(Bindings.begin(), Token)->second;
    }
    // The record, then (for an address binding) the address, the hash and the strings, all
    // inside Output.
    TLayout Layout(Sni ? sizeof(HTTP_SERVICE_CONFIG_SSL_SNI_SET)
                       : sizeof(HTTP_SERVICE_CONFIG_SSL_SET));
    const std::size_t AddressAt = Sni ? 0 : Layout.Add(sizeof(sockaddr_storage));
    const std::string Host = Sni ? Found->Key.substr(0, Found->Key.rfind(':')) : std::string();
    const std::size_t HostAt = Sni ? Layout.Add(WideBytes(Host)) : 0;
    const std::size_t HashAt = Layout.Add(Found->Hash.size());
    const std::size_t Size = Layout.Size() + SslStringBytes(*Found);
    if (const DWORD Room = Needed(Size, OutputLength, ReturnLength, Output); Room != NO_ERROR) {
        return Room;
    }
    auto* Base = static_cast<char*>(Output);
    std::memset(Base, 0, Size);
    if (Sni) {
        auto* Record = new (Base) HTTP_SERVICE_CONFIG_SSL_SNI_SET{};
        const auto Port =
            static_cast<std::uint16_t>(std::stoul(Found->Key.substr(Found->Key.rfind(':') + 1)));
        auto& Any = reinterpret_cast<sockaddr_in&>(Record->KeyDesc.IpPort);
        Any.sin_family = AF_INET;
        Any.sin_port = htons(Port);
        Record->KeyDesc.Host = PutWide(Base, HostAt, Host);
        WriteSslParam(*Found, Base, Layout, HashAt, Record->ParamDesc);
    } else {
        auto* Record = new (Base) HTTP_SERVICE_CONFIG_SSL_SET{};
        const sockaddr_storage Address = AddressOfKey(Found->Key);
        std::memcpy(Base + AddressAt, &Address, SocketLength(Address));
        Record->KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(Base + AddressAt);
        WriteSslParam(*Found, Base, Layout, HashAt, Record->ParamDesc);
    }
    return NO_ERROR;
}

std::uint16_t TServiceConfig::Timeout(const char* Name) {
    std::shared_ptr<const TStoreRecords> Records;
    if (ConfigStore().Read(Records) != NO_ERROR) {
        return DefaultTimeout;
    }
    const auto It = Records->Timeouts.find(Name);
    return It == Records->Timeouts.end() || It->second == 0 ? DefaultTimeout : It->second;
}

std::uint16_t TServiceConfig::IdleConnection() {
    return Timeout("idleconnection");
}

std::uint16_t TServiceConfig::HeaderWait() {
    return Timeout("headerwait");
}

std::vector<std::string> TServiceConfig::ListenAddresses() {
    std::shared_ptr<const TStoreRecords> Records;
    if (ConfigStore().Read(Records) != NO_ERROR) {
        return {};
    }
    return {Records->ListenAddresses.begin(), Records->ListenAddresses.end()};
}

DWORD TServiceConfig::MayRegister(const TUrlPrefix& Prefix) {
    const TCaller Caller = TCaller::Current();
    if (Caller.Uid == 0) {
        return NO_ERROR;
    }
    std::shared_ptr<const TStoreRecords> Records;
    if (const DWORD Read = ConfigStore().Read(Records); Read != NO_ERROR) {
        return Read;
    }
    const TUrlAclRecord* Closest = nullptr;
    std::size_t ClosestLength = 0;
    for (const auto& [Key, Record] : Records->UrlAcls) {
        TUrlPrefix Reserved;
        if (ParseUrlPrefix(Record.Url, Reserved) != NO_ERROR || Reserved.Scheme != Prefix.Scheme ||
            Reserved.Kind != Prefix.Kind || Reserved.Host != Prefix.Host ||
            Reserved.Port != Prefix.Port || Reserved.Path.size() > Prefix.Path.size() ||
            !AsciiEqualNoCase(Reserved.Path,
                              std::string_view(Prefix.Path).substr(0, Reserved.Path.size()))) {
            continue;
        }
        if (Closest == nullptr || Reserved.Path.size() > ClosestLength) {
            Closest = &Record;
            ClosestLength = Reserved.Path.size();
        }
    }
    if (Closest == nullptr) {
        return NO_ERROR;
    }
    TSecurityDescriptor Descriptor;
    return ParseSddl(Closest->Sddl, Descriptor) == NO_ERROR && MayListen(Descriptor, Caller)
               ? NO_ERROR
               : ERROR_ACCESS_DENIED;
}

std::shared_ptr<TTlsContext> TServiceConfig::ContextOf(const TSslRecord& Record) {
    // FLock held by the caller.
    const std::string Key = Record.StoreName + "/" + HexOf(Record.Hash);
    if (const auto It = FContexts.find(Key); It != FContexts.end()) {
        return It->second;
    }
    DWORD Error = NO_ERROR;
    auto Context = LoadServerContext(Record.StoreName, Record.Hash, Error);
    FContexts[Key] = Context;
    return Context;
}

std::shared_ptr<TTlsContext> TServiceConfig::SslContext(const sockaddr_storage& Local) {
    const std::string Exact = AddressKey(reinterpret_cast<const sockaddr*>(&Local));
    if (Exact.empty()) {
        return nullptr;
    }
    std::shared_ptr<const TStoreRecords> Records;
    if (ConfigStore().Read(Records) != NO_ERROR) {
        return nullptr;
    }
    const std::string PortText = Exact.substr(Exact.rfind(':'));
    const auto Port = static_cast<std::uint16_t>(std::stoul(PortText.substr(1)));
    std::scoped_lock Lock(FLock);
    if (FContextsOf != Records) {
        // Another reading of the store: bindings may have changed, and so the certificates.
        FContexts.clear();
        FByName.clear();
        FContextsOf = Records;
    }
    const TSslRecord* ByAddress = nullptr;
    for (const std::string& Key : {Exact, "0.0.0.0" + PortText, "[::]" + PortText}) {
        if (const auto It = Records->SslCerts.find(Key); It != Records->SslCerts.end()) {
            ByAddress = &It->second;
            break;
        }
    }
    bool Named = false;
    for (const auto& [Key, Record] : Records->SniCerts) {
        Named = Named || Key.ends_with(PortText);
    }
    if (!Named) {
        return ByAddress != nullptr ? ContextOf(*ByAddress) : nullptr;
    }
    if (const auto It = FByName.find(Port); It != FByName.end()) {
        return It->second;
    }
    // A context of its own for the port, whose callback picks the host name's certificate.
    auto Choice = std::make_shared<TByName>();
    for (const auto& [Key, Record] : Records->SniCerts) {
        if (Key.ends_with(PortText)) {
            if (auto Context = ContextOf(Record)) {
                Choice->Hosts[Key.substr(0, Key.size() - PortText.size())] = std::move(Context);
            }
        }
    }
    std::shared_ptr<TTlsContext> Front;
    DWORD Error = NO_ERROR;
    if (ByAddress != nullptr) {
        // A fresh context of the address binding's certificate: the callback is set on it.
        Choice->Base = LoadServerContext(ByAddress->StoreName, ByAddress->Hash, Error);
        if (Choice->Base && SSL_CTX_up_ref(Choice->Base->Context()) == 1) {
            Front = std::make_shared<TTlsContext>(Choice->Base->Context(), Choice);
        }
    } else {
        Front = NewServerContext(Choice);
    }
    if (Front) {
        SSL_CTX_set_tlsext_servername_callback(Front->Context(), ChooseByName);
        SSL_CTX_set_tlsext_servername_arg(Front->Context(), Choice.get());
    }
    FByName[Port] = Front;
    return Front;
}

} // namespace httpapi
