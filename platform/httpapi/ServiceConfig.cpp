// ServiceConfig: the listener's configuration records (URL reservations, API-wide time-outs).
#include "platform/httpapi/ServiceConfig.h"

#include "platform/httpapi/UrlPrefix.h"
#include "platform/rtl/Utf.h"

#include <cstring>
#include <cwchar>

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

} // namespace httpapi
