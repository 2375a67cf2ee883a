// ServiceConfig: the listener's configuration records (URL reservations, API-wide time-outs,
// SSL certificate bindings).
#include "platform/httpapi/ServiceConfig.h"

#include "platform/httpapi/UrlPrefix.h"
#include "platform/rtl/Utf.h"

#include <arpa/inet.h>
#include <cstring>
#include <cwchar>
#include <netinet/in.h>

namespace httpapi {

namespace {

bool SafeWide(PCWSTR Text, std::wstring& Result) {
    if (Text == nullptr) {
        return false;
    }
    const std::size_t Length = std::wcslen(Text);
    if (Length == 0 || Length > 16384) {
        return false;
    }
    Result.assign(Text, Length);
    return true;
}

// The reservation key: the prefix as parsed (case and host form normalised).
bool ReservationKey(const std::wstring& Prefix, std::string& Key) {
    std::string Utf8;
    try {
        Utf8 = rtl::WideToUtf8(Prefix);
    } catch (...) {
        return false;
    }
    TUrlPrefix Parsed;
    if (ParseUrlPrefix(Utf8, Parsed) != NO_ERROR) {
        return false;
    }
    Key = Parsed.Key();
    return true;
}

// The binding key of an IP:port socket address ("1.2.3.4:443", "[::1]:443"); empty for
// anything that is not an IPv4 or IPv6 address with a port.
std::string SslKey(const sockaddr* Address) {
    char Text[INET6_ADDRSTRLEN] = {};
    if (Address == nullptr) {
        return {};
    }
    if (Address->sa_family == AF_INET) {
        const auto* V4 = reinterpret_cast<const sockaddr_in*>(Address);
        inet_ntop(AF_INET, &V4->sin_addr, Text, sizeof(Text));
        return V4->sin_port == 0 ? std::string()
                                 : std::string(Text) + ":" + std::to_string(ntohs(V4->sin_port));
    }
    if (Address->sa_family == AF_INET6) {
        const auto* V6 = reinterpret_cast<const sockaddr_in6*>(Address);
        if (IN6_IS_ADDR_V4MAPPED(&V6->sin6_addr)) {
            inet_ntop(AF_INET, &V6->sin6_addr.s6_addr[12], Text, sizeof(Text));
            return V6->sin6_port == 0
                       ? std::string()
                       : std::string(Text) + ":" + std::to_string(ntohs(V6->sin6_port));
        }
        inet_ntop(AF_INET6, &V6->sin6_addr, Text, sizeof(Text));
        return V6->sin6_port == 0
                   ? std::string()
                   : "[" + std::string(Text) + "]:" + std::to_string(ntohs(V6->sin6_port));
    }
    return {};
}

std::size_t SocketLength(const sockaddr_storage& Address) {
    return Address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
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
        return SetSsl(Information, Length);
    case HttpServiceConfigUrlAclInfo: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_URLACL_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto* Record = static_cast<const HTTP_SERVICE_CONFIG_URLACL_SET*>(Information);
        std::wstring Prefix;
        std::wstring Sddl;
        std::string Key;
        if (!SafeWide(Record->KeyDesc.pUrlPrefix, Prefix) ||
            !SafeWide(Record->ParamDesc.pStringSecurityDescriptor, Sddl) ||
            !ReservationKey(Prefix, Key) || Sddl.rfind(L"D:", 0) != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        std::scoped_lock Lock(FLock);
        if (FUrlAcls.contains(Key)) {
            return ERROR_ALREADY_EXISTS;
        }
        FUrlAcls.emplace(Key, std::make_pair(Prefix, Sddl));
        return NO_ERROR;
    }
    case HttpServiceConfigTimeout: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_TIMEOUT_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto* Record = static_cast<const HTTP_SERVICE_CONFIG_TIMEOUT_SET*>(Information);
        const std::uint16_t Seconds = Record->ParamDesc == 0 ? 120 : Record->ParamDesc;
        if (Record->KeyDesc == IdleConnectionTimeout) {
            FIdle = Seconds;
        } else if (Record->KeyDesc == HeaderWaitTimeout) {
            FHeaderWait = Seconds;
        } else {
            return ERROR_INVALID_PARAMETER;
        }
        return NO_ERROR;
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
        return DeleteSsl(Information, Length);
    case HttpServiceConfigUrlAclInfo: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_URLACL_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto* Record = static_cast<const HTTP_SERVICE_CONFIG_URLACL_SET*>(Information);
        std::wstring Prefix;
        std::string Key;
        if (!SafeWide(Record->KeyDesc.pUrlPrefix, Prefix) || !ReservationKey(Prefix, Key)) {
            return ERROR_INVALID_PARAMETER;
        }
        std::scoped_lock Lock(FLock);
        return FUrlAcls.erase(Key) > 0 ? NO_ERROR : ERROR_FILE_NOT_FOUND;
    }
    case HttpServiceConfigTimeout: {
        if (Length < sizeof(HTTP_SERVICE_CONFIG_TIMEOUT_SET)) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        const auto* Record = static_cast<const HTTP_SERVICE_CONFIG_TIMEOUT_SET*>(Information);
        if (Record->KeyDesc == IdleConnectionTimeout) {
            FIdle = 120;
        } else if (Record->KeyDesc == HeaderWaitTimeout) {
            FHeaderWait = 120;
        } else {
            return ERROR_INVALID_PARAMETER;
        }
        return NO_ERROR;
    }
    default:
        return ERROR_NOT_SUPPORTED;
    }
}

DWORD TServiceConfig::WriteUrlAcl(const std::wstring& Prefix, const std::wstring& Sddl,
                                  void* Output, ULONG OutputLength, ULONG* ReturnLength) {
    const std::size_t Needed = sizeof(HTTP_SERVICE_CONFIG_URLACL_SET) +
                               (Prefix.size() + 1 + Sddl.size() + 1) * sizeof(wchar_t);
    if (ReturnLength != nullptr) {
        *ReturnLength = static_cast<ULONG>(Needed);
    }
    if (Output == nullptr || OutputLength < Needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    auto* Record = new (Output) HTTP_SERVICE_CONFIG_URLACL_SET{};
    auto* Text = reinterpret_cast<wchar_t*>(Record + 1);
    std::wmemcpy(Text, Prefix.c_str(), Prefix.size() + 1);
    Record->KeyDesc.pUrlPrefix = Text;
    Text += Prefix.size() + 1;
    std::wmemcpy(Text, Sddl.c_str(), Sddl.size() + 1);
    Record->ParamDesc.pStringSecurityDescriptor = Text;
    return NO_ERROR;
}

DWORD TServiceConfig::Query(HTTP_SERVICE_CONFIG_ID ConfigId, const void* Input, ULONG InputLength,
                            void* Output, ULONG OutputLength, ULONG* ReturnLength) {
    if (ConfigId == HttpServiceConfigSSLCertInfo) {
        return QuerySsl(Input, InputLength, Output, OutputLength, ReturnLength);
    }
    if (ConfigId != HttpServiceConfigUrlAclInfo) {
        return ERROR_NOT_SUPPORTED;
    }
    if (Input == nullptr || InputLength < sizeof(HTTP_SERVICE_CONFIG_URLACL_QUERY)) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto* Query = static_cast<const HTTP_SERVICE_CONFIG_URLACL_QUERY*>(Input);
    std::scoped_lock Lock(FLock);
    if (Query->QueryDesc == HttpServiceConfigQueryExact) {
        std::wstring Prefix;
        std::string Key;
        if (!SafeWide(Query->KeyDesc.pUrlPrefix, Prefix) || !ReservationKey(Prefix, Key)) {
            return ERROR_INVALID_PARAMETER;
        }
        const auto It = FUrlAcls.find(Key);
        if (It == FUrlAcls.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        return WriteUrlAcl(It->second.first, It->second.second, Output, OutputLength, ReturnLength);
    }
    if (Query->QueryDesc == HttpServiceConfigQueryNext) {
        if (Query->dwToken >= FUrlAcls.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        auto It = FUrlAcls.begin();
        std::advance(It, Query->dwToken);
        return WriteUrlAcl(It->second.first, It->second.second, Output, OutputLength, ReturnLength);
    }
    return ERROR_INVALID_PARAMETER;
}

DWORD TServiceConfig::SetSsl(const void* Information, ULONG Length) {
    if (Length < sizeof(HTTP_SERVICE_CONFIG_SSL_SET)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const auto& Record = *static_cast<const HTTP_SERVICE_CONFIG_SSL_SET*>(Information);
    const std::string Key = SslKey(Record.KeyDesc.pIpPort);
    const HTTP_SERVICE_CONFIG_SSL_PARAM& Param = Record.ParamDesc;
    if (Key.empty() || Param.pSslHash == nullptr || Param.SslHashLength == 0 ||
        Param.SslHashLength > 64) {
        return ERROR_INVALID_PARAMETER;
    }
    TSslBinding Binding;
    std::memcpy(&Binding.Address, Record.KeyDesc.pIpPort,
                Record.KeyDesc.pIpPort->sa_family == AF_INET ? sizeof(sockaddr_in)
                                                             : sizeof(sockaddr_in6));
    const auto* Hash = static_cast<const std::uint8_t*>(Param.pSslHash);
    Binding.Hash.assign(Hash, Hash + Param.SslHashLength);
    Binding.AppId = Param.AppId;
    if (Param.pSslCertStoreName != nullptr &&
        !SafeWide(Param.pSslCertStoreName, Binding.StoreName)) {
        return ERROR_INVALID_PARAMETER;
    }
    Binding.CheckMode = Param.DefaultCertCheckMode;
    Binding.Freshness = Param.DefaultRevocationFreshnessTime;
    Binding.RetrievalTimeout = Param.DefaultRevocationUrlRetrievalTimeout;
    Binding.Flags = Param.DefaultFlags;
    {
        std::scoped_lock Lock(FLock);
        if (FSslBindings.contains(Key)) {
            return ERROR_ALREADY_EXISTS; // delete it first, as on Windows
        }
    }
    std::string StoreName;
    try {
        StoreName = rtl::WideToUtf8(Binding.StoreName);
    } catch (...) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD Error = NO_ERROR;
    Binding.Context = LoadServerContext(StoreName, Binding.Hash, Error);
    if (!Binding.Context) {
        return ERROR_NO_SUCH_LOGON_SESSION; // Windows: "the SSL certificate used is invalid"
    }
    std::scoped_lock Lock(FLock);
    if (!FSslBindings.emplace(Key, std::move(Binding)).second) {
        return ERROR_ALREADY_EXISTS; // set by another thread meanwhile
    }
    return NO_ERROR;
}

DWORD TServiceConfig::DeleteSsl(const void* Information, ULONG Length) {
    if (Length < sizeof(HTTP_SERVICE_CONFIG_SSL_SET)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const auto& Record = *static_cast<const HTTP_SERVICE_CONFIG_SSL_SET*>(Information);
    const std::string Key = SslKey(Record.KeyDesc.pIpPort);
    if (Key.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<TTlsContext> Released; // after the lock
    std::scoped_lock Lock(FLock);
    const auto It = FSslBindings.find(Key);
    if (It == FSslBindings.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    Released = std::move(It->second.Context);
    FSslBindings.erase(It);
    return NO_ERROR;
}

DWORD TServiceConfig::QuerySsl(const void* Input, ULONG InputLength, void* Output,
                               ULONG OutputLength, ULONG* ReturnLength) {
    if (Input == nullptr || InputLength < sizeof(HTTP_SERVICE_CONFIG_SSL_QUERY)) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto& Query = *static_cast<const HTTP_SERVICE_CONFIG_SSL_QUERY*>(Input);
    std::scoped_lock Lock(FLock);
    std::map<std::string, TSslBinding>::const_iterator It;
    if (Query.QueryDesc == HttpServiceConfigQueryExact) {
        const std::string Key = SslKey(Query.KeyDesc.pIpPort);
        if (Key.empty()) {
            return ERROR_INVALID_PARAMETER;
        }
        It = FSslBindings.find(Key);
        if (It == FSslBindings.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
    } else if (Query.QueryDesc == HttpServiceConfigQueryNext) {
        if (Query.dwToken >= FSslBindings.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        It = FSslBindings.begin();
        std::advance(It, Query.dwToken);
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    // The record, then the address, the hash and the store name, all inside Output.
    const TSslBinding& Binding = It->second;
    const std::size_t AddressAt = (sizeof(HTTP_SERVICE_CONFIG_SSL_SET) + 7) & ~std::size_t(7);
    const std::size_t HashAt = AddressAt + sizeof(sockaddr_storage);
    const std::size_t NameAt = (HashAt + Binding.Hash.size() + 7) & ~std::size_t(7);
    const std::size_t Needed =
        NameAt + (Binding.StoreName.empty() ? 0 : (Binding.StoreName.size() + 1) * sizeof(WCHAR));
    if (ReturnLength != nullptr) {
        *ReturnLength = static_cast<ULONG>(Needed);
    }
    if (Output == nullptr || OutputLength < Needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    auto* Base = static_cast<char*>(Output);
    auto* Record = new (Base) HTTP_SERVICE_CONFIG_SSL_SET{};
    std::memcpy(Base + AddressAt, &Binding.Address, SocketLength(Binding.Address));
    Record->KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(Base + AddressAt);
    std::memcpy(Base + HashAt, Binding.Hash.data(), Binding.Hash.size());
    Record->ParamDesc.pSslHash = Base + HashAt;
    Record->ParamDesc.SslHashLength = static_cast<ULONG>(Binding.Hash.size());
    Record->ParamDesc.AppId = Binding.AppId;
    if (!Binding.StoreName.empty()) {
        auto* Name = reinterpret_cast<PWSTR>(Base + NameAt);
        std::memcpy(Name, Binding.StoreName.c_str(),
                    (Binding.StoreName.size() + 1) * sizeof(WCHAR));
        Record->ParamDesc.pSslCertStoreName = Name;
    }
    Record->ParamDesc.DefaultCertCheckMode = Binding.CheckMode;
    Record->ParamDesc.DefaultRevocationFreshnessTime = Binding.Freshness;
    Record->ParamDesc.DefaultRevocationUrlRetrievalTimeout = Binding.RetrievalTimeout;
    Record->ParamDesc.DefaultFlags = Binding.Flags;
    return NO_ERROR;
}

std::shared_ptr<TTlsContext> TServiceConfig::SslContext(const sockaddr_storage& Local) {
    const std::string Exact = SslKey(reinterpret_cast<const sockaddr*>(&Local));
    if (Exact.empty()) {
        return nullptr;
    }
    const std::string Port = Exact.substr(Exact.rfind(':'));
    std::scoped_lock Lock(FLock);
    for (const std::string& Key : {Exact, "0.0.0.0" + Port, "[::]" + Port}) {
        const auto It = FSslBindings.find(Key);
        if (It != FSslBindings.end()) {
            return It->second.Context;
        }
    }
    return nullptr;
}

} // namespace httpapi
