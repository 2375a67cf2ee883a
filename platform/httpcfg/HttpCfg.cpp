// HttpCfg: httpcfg, the netsh-style administration tool of the HTTP service configuration.
#include "platform/httpcfg/HttpCfg.h"

#include "platform/httpapi/CertStore.h"
#include "platform/httpapi/ConfigStore.h"
#include "platform/httpapi/Sddl.h"
#include "platform/httpapi/UrlPrefix.h"
#include "platform/rtl/Utf.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <http.h>
#include <map>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace httpcfg {

namespace {

using namespace httpapi;

/// A command line that cannot be carried out as written (exit status 2).
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// An operation that failed (exit status 1).
class TFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string Lower(std::string_view Text) {
    std::string Result(Text);
    std::transform(Result.begin(), Result.end(), Result.begin(),
                   [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
    return Result;
}

// The system's text of a code, on one line.
std::string SystemText(DWORD Code) {
    char Buffer[512] = {};
    const DWORD Length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, Code, 0, Buffer, sizeof(Buffer), nullptr);
    std::string Text(Buffer, Length);
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) {
        Text.pop_back();
    }
    return Text.empty() ? "error " + std::to_string(Code) : Text;
}

void Check(DWORD Result, const std::string& What) {
    if (Result != NO_ERROR) {
        throw TFailure(What + " failed, Error: " + std::to_string(Result) + ": " +
                       SystemText(Result));
    }
}

std::wstring Wide(const std::string& Text) {
    return rtl::Utf8ToWide(Text);
}

std::string Narrow(PCWSTR Text) {
    return Text == nullptr ? std::string() : rtl::WideToUtf8(Text);
}

/// The tag=value arguments of one command. A value without its tag takes the next tag in the
/// command's order, as netsh allows ("add urlacl http://+:80/ alice").
class TArguments {
public:
    TArguments(const std::vector<std::string>& Arguments, std::size_t From,
               std::vector<std::string> Tags, const std::string& Command)
        : FTags(std::move(Tags)) {
        std::size_t NextPositional = 0;
        for (std::size_t I = From; I < Arguments.size(); ++I) {
            const std::string& Argument = Arguments[I];
            const std::size_t Equals = Argument.find('=');
            std::string Tag;
            std::string Value;
            if (Equals != std::string::npos && Equals > 0 &&
                std::find(FTags.begin(), FTags.end(), Lower(Argument.substr(0, Equals))) !=
                    FTags.end()) {
                Tag = Lower(Argument.substr(0, Equals));
                Value = Argument.substr(Equals + 1);
            } else if (Equals != std::string::npos && Equals > 0 &&
                       Argument.find("://") == std::string::npos &&
                       Argument.find("(") == std::string::npos) {
                throw TUsageError("unknown parameter '" + Argument.substr(0, Equals) + "' for '" +
                                  Command + "'");
            } else {
                while (NextPositional < FTags.size() && FValues.contains(FTags[NextPositional])) {
                    ++NextPositional;
                }
                if (NextPositional == FTags.size()) {
                    throw TUsageError("unexpected argument '" + Argument + "' for '" + Command +
                                      "'");
                }
                Tag = FTags[NextPositional++];
                Value = Argument;
            }
            if (!FValues.emplace(Tag, Value).second) {
                throw TUsageError("'" + Tag + "' is given twice");
            }
        }
    }
    std::optional<std::string> Get(const std::string& Tag) const {
        const auto It = FValues.find(Tag);
        return It == FValues.end() ? std::nullopt : std::optional<std::string>(It->second);
    }
    std::string Required(const std::string& Tag, const std::string& Command) const {
        const auto Value = Get(Tag);
        if (!Value || Value->empty()) {
            throw TUsageError("'" + Command + "' needs " + Tag + "=");
        }
        return *Value;
    }

private:
    std::vector<std::string> FTags;
    std::map<std::string, std::string> FValues;
};

/// The configuration side of the API, initialised for the command's life.
class TConfigApi {
public:
    TConfigApi() {
        Check(HttpInitialize(HTTPAPI_VERSION HTTPAPI_VERSION_2, HTTP_INITIALIZE_CONFIG, nullptr),
              "HttpInitialize");
    }
    ~TConfigApi() { (void)HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr); }
    TConfigApi(const TConfigApi&) = delete;
    TConfigApi& operator=(const TConfigApi&) = delete;
};

bool YesNo(const std::optional<std::string>& Value, bool Default, const std::string& Tag) {
    if (!Value) {
        return Default;
    }
    const std::string Text = Lower(*Value);
    if (Text == "yes") {
        return true;
    }
    if (Text == "no") {
        return false;
    }
    throw TUsageError(Tag + "= takes yes or no, not '" + *Value + "'");
}

bool EnableDisable(const std::optional<std::string>& Value, bool Default, const std::string& Tag) {
    if (!Value) {
        return Default;
    }
    const std::string Text = Lower(*Value);
    if (Text == "enable") {
        return true;
    }
    if (Text == "disable") {
        return false;
    }
    throw TUsageError(Tag + "= takes enable or disable, not '" + *Value + "'");
}

std::uint32_t Number(const std::optional<std::string>& Value, std::uint32_t Max,
                     const std::string& Tag) {
    if (!Value) {
        return 0;
    }
    std::uint64_t Parsed = 0;
    const auto [End, Error] = std::from_chars(Value->data(), Value->data() + Value->size(), Parsed);
    if (Value->empty() || Error != std::errc() || End != Value->data() + Value->size() ||
        Parsed > Max) {
        throw TUsageError(Tag + "= takes a number from 0 to " + std::to_string(Max) + ", not '" +
                          *Value + "'");
    }
    return static_cast<std::uint32_t>(Parsed);
}

std::string CheckedUrl(const std::string& Url) {
    TUrlPrefix Prefix;
    if (ParseUrlPrefix(Url, Prefix) != NO_ERROR) {
        throw TUsageError("'" + Url +
                          "' is not a URL prefix (scheme://host:port/path/, host a name, an IP "
                          "address, + or *)");
    }
    return Url;
}

// The socket address of a binding key ("1.2.3.4:443", "[::1]:443").
sockaddr_storage AddressOf(const std::string& Key) {
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

std::string AddressText(const sockaddr* Address) {
    char Text[INET6_ADDRSTRLEN] = {};
    if (Address == nullptr) {
        return "(null)";
    }
    if (Address->sa_family == AF_INET) {
        sockaddr_in V4{};
        std::memcpy(&V4, Address, sizeof(V4));
        inet_ntop(AF_INET, &V4.sin_addr, Text, sizeof(Text));
        return std::string(Text) +
               (V4.sin_port != 0 ? ":" + std::to_string(ntohs(V4.sin_port)) : std::string());
    }
    sockaddr_in6 V6{};
    std::memcpy(&V6, Address, sizeof(V6));
    inet_ntop(AF_INET6, &V6.sin6_addr, Text, sizeof(Text));
    return V6.sin6_port != 0 ? "[" + std::string(Text) + "]:" + std::to_string(ntohs(V6.sin6_port))
                             : std::string(Text);
}

// Asks the API for one record: first for its size, then for the record (as Windows callers
// do). Empty when the query's answer is NotFound (the end of an enumeration, or no record).
std::vector<std::uint64_t> QueryRecord(HTTP_SERVICE_CONFIG_ID Id, const void* Query,
                                       ULONG QueryLength, DWORD NotFound, const std::string& What) {
    ULONG Needed = 0;
    DWORD Result = HttpQueryServiceConfiguration(nullptr, Id, const_cast<void*>(Query), QueryLength,
                                                 nullptr, 0, &Needed, nullptr);
    if (Result == NotFound) {
        return {};
    }
    if (Result != ERROR_INSUFFICIENT_BUFFER && Result != ERROR_MORE_DATA) {
        Check(Result == NO_ERROR ? DWORD(ERROR_INTERNAL_ERROR) : Result, What);
    }
    std::vector<std::uint64_t> Buffer(Needed / sizeof(std::uint64_t) + 1);
    Result = HttpQueryServiceConfiguration(nullptr, Id, const_cast<void*>(Query), QueryLength,
                                           Buffer.data(), static_cast<ULONG>(Buffer.size() * 8),
                                           &Needed, nullptr);
    if (Result == NotFound) {
        return {};
    }
    Check(Result, What);
    return Buffer;
}

// Warnings about the store's damaged lines (they were skipped; a write keeps them aside).
void WarnAboutDamage(std::ostream& Err, bool Writing) {
    std::shared_ptr<const TStoreRecords> Records;
    const DWORD Read = ConfigStore().Read(Records);
    if (Read != NO_ERROR) {
        throw TFailure("the configuration store " + TConfigStore::Folder() +
                       " cannot be read, Error: " + std::to_string(Read) + ": " + SystemText(Read));
    }
    for (const TStoreDamage& Damage : ConfigStore().Damage()) {
        Err << "httpcfg: warning: " << TConfigStore::Folder() << "/records line " << Damage.Line
            << " is damaged (" << Damage.Reason << ") and was skipped"
            << (Writing ? "; it is kept in " + TConfigStore::Folder() + "/records.damaged" : "")
            << "\n";
    }
}

// ---- urlacl -----------------------------------------------------------------------------------

int AddUrlAcl(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {"url", "user", "listen", "delegate", "sddl"},
                          "add urlacl");
    const std::string Url = CheckedUrl(Args.Required("url", "add urlacl"));
    std::string Sddl;
    if (const auto Given = Args.Get("sddl")) {
        if (Args.Get("user") || Args.Get("listen") || Args.Get("delegate")) {
            throw TUsageError("sddl= cannot be combined with user=, listen= or delegate=");
        }
        TSecurityDescriptor Descriptor;
        if (ParseSddl(*Given, Descriptor) != NO_ERROR) {
            throw TUsageError("'" + *Given +
                              "' is not a security descriptor this system reads "
                              "(D:(A;;GX;;;<SID>)...)");
        }
        Sddl = *Given;
    } else {
        const std::string User = Args.Required("user", "add urlacl");
        const auto Sid = SidOfAccount(User);
        if (!Sid) {
            throw TUsageError("no account is named '" + User +
                              "' (a user name, 'Unix Group\\name', 'Everyone')");
        }
        const bool Listen = YesNo(Args.Get("listen"), true, "listen");
        const bool Delegate = YesNo(Args.Get("delegate"), false, "delegate");
        if (!Listen && !Delegate) {
            throw TUsageError("listen=no with delegate=no grants nothing");
        }
        Sddl = "D:(A;;" +
               std::string(Listen && Delegate ? "GA"
                           : Listen           ? "GX"
                                              : "GW") +
               ";;;" + *Sid + ")";
    }
    TConfigApi Api;
    WarnAboutDamage(Err, true);
    std::wstring WideUrl = Wide(Url);
    std::wstring WideSddl = Wide(Sddl);
    HTTP_SERVICE_CONFIG_URLACL_SET Set{};
    Set.KeyDesc.pUrlPrefix = WideUrl.data();
    Set.ParamDesc.pStringSecurityDescriptor = WideSddl.data();
    Check(HttpSetServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set, sizeof(Set),
                                      nullptr),
          "Url reservation add");
    Out << "\nURL reservation successfully added\n\n";
    return ExitOk;
}

int DeleteUrlAcl(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {"url"}, "delete urlacl");
    const std::string Url = CheckedUrl(Args.Required("url", "delete urlacl"));
    TConfigApi Api;
    WarnAboutDamage(Err, true);
    std::wstring WideUrl = Wide(Url);
    HTTP_SERVICE_CONFIG_URLACL_SET Set{};
    Set.KeyDesc.pUrlPrefix = WideUrl.data();
    Check(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &Set, sizeof(Set),
                                         nullptr),
          "Url reservation delete");
    Out << "\nURL reservation successfully deleted\n\n";
    return ExitOk;
}

void PrintUrlAcl(const HTTP_SERVICE_CONFIG_URLACL_SET& Record, std::ostream& Out) {
    const std::string Sddl = Narrow(Record.ParamDesc.pStringSecurityDescriptor);
    Out << "    Reserved URL            : " << Narrow(Record.KeyDesc.pUrlPrefix) << "\n";
    TSecurityDescriptor Descriptor;
    if (ParseSddl(Sddl, Descriptor) == NO_ERROR) {
        for (const TAce& Ace : Descriptor.Dacl) {
            if (!Ace.Allow) {
                continue;
            }
            const bool All = (Ace.Rights & RightGenericAll) != 0;
            Out << "        User: " << AccountOfSid(Ace.Sid) << "\n"
                << "            Listen: "
                << (All || (Ace.Rights & RightGenericExecute) != 0 ? "Yes" : "No") << "\n"
                << "            Delegate: "
                << (All || (Ace.Rights & RightGenericWrite) != 0 ? "Yes" : "No") << "\n";
        }
    }
    Out << "            SDDL: " << Sddl << "\n\n";
}

int ShowUrlAcl(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {"url"}, "show urlacl");
    const auto Url = Args.Get("url");
    if (Url) {
        CheckedUrl(*Url);
    }
    TConfigApi Api;
    WarnAboutDamage(Err, false);
    Out << "\nURL Reservations:\n-----------------\n\n";
    HTTP_SERVICE_CONFIG_URLACL_QUERY Query{};
    std::wstring WideUrl = Url ? Wide(*Url) : std::wstring();
    if (Url) {
        Query.QueryDesc = HttpServiceConfigQueryExact;
        Query.KeyDesc.pUrlPrefix = WideUrl.data();
        const auto Record = QueryRecord(HttpServiceConfigUrlAclInfo, &Query, sizeof(Query),
                                        ERROR_FILE_NOT_FOUND, "Url reservation show");
        if (!Record.empty()) {
            PrintUrlAcl(*reinterpret_cast<const HTTP_SERVICE_CONFIG_URLACL_SET*>(Record.data()),
                        Out);
        }
        return ExitOk;
    }
    Query.QueryDesc = HttpServiceConfigQueryNext;
    for (Query.dwToken = 0;; ++Query.dwToken) {
        const auto Record = QueryRecord(HttpServiceConfigUrlAclInfo, &Query, sizeof(Query),
                                        ERROR_NO_MORE_ITEMS, "Url reservation show");
        if (Record.empty()) {
            return ExitOk;
        }
        PrintUrlAcl(*reinterpret_cast<const HTTP_SERVICE_CONFIG_URLACL_SET*>(Record.data()), Out);
    }
}

// ---- sslcert ----------------------------------------------------------------------------------

constexpr std::uint32_t NoRevocationCheck = 1;
constexpr std::uint32_t CachedRevocationOnly = 2;
constexpr std::uint32_t UseFreshnessTime = 4;
constexpr std::uint32_t NoUsageCheck = 0x10000;

/// The key of a binding command: ipport= or hostnameport=, exactly one.
struct TBindingKey {
    bool Sni = false;
    std::string Key; // canonical
};

TBindingKey BindingKey(const TArguments& Args, const std::string& Command) {
    const auto IpPort = Args.Get("ipport");
    const auto HostPort = Args.Get("hostnameport");
    if (IpPort.has_value() == HostPort.has_value()) {
        throw TUsageError("'" + Command + "' needs one of ipport= and hostnameport=");
    }
    TBindingKey Key;
    Key.Sni = HostPort.has_value();
    if (Key.Sni ? !HostPortKey(*HostPort, Key.Key) : !IpPortKey(*IpPort, Key.Key)) {
        throw TUsageError(Key.Sni ? "'" + *HostPort + "' is not a host name and port (host:443)"
                                  : "'" + *IpPort +
                                        "' is not an IP address and port (1.2.3.4:443, "
                                        "[::1]:443, 0.0.0.0:443)");
    }
    return Key;
}

/// A binding's key in the API's form.
class TApiBindingKey {
public:
    explicit TApiBindingKey(const TBindingKey& Key) {
        if (Key.Sni) {
            const std::size_t Colon = Key.Key.rfind(':');
            FHost = Wide(Key.Key.substr(0, Colon));
            auto& Any = reinterpret_cast<sockaddr_in&>(FAddress);
            Any.sin_family = AF_INET;
            Any.sin_port = htons(static_cast<std::uint16_t>(std::stoul(Key.Key.substr(Colon + 1))));
        } else {
            FAddress = AddressOf(Key.Key);
        }
    }
    PSOCKADDR Address() { return reinterpret_cast<PSOCKADDR>(&FAddress); }
    const sockaddr_storage& Storage() const { return FAddress; }
    PWSTR Host() { return FHost.data(); }

private:
    sockaddr_storage FAddress{};
    std::wstring FHost;
};

int AddSslCert(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2,
                          {"ipport", "certhash", "appid", "certstorename",
                           "verifyclientcertrevocation", "verifyrevocationwithcachedclientcertonly",
                           "usagecheck", "revocationfreshnesstime", "urlretrievaltimeout",
                           "sslctlidentifier", "sslctlstorename", "dsmapperusage",
                           "clientcertnegotiation", "hostnameport"},
                          "add sslcert");
    const TBindingKey Key = BindingKey(Args, "add sslcert");
    std::vector<std::uint8_t> Hash;
    const std::string HashText = Args.Required("certhash", "add sslcert");
    if (!BytesOfHex(HashText, Hash) || Hash.size() != 20) {
        throw TUsageError("'" + HashText +
                          "' is not a certificate hash (the SHA-1 thumbprint: 40 hex digits)");
    }
    std::string AppId;
    const std::string AppIdText = Args.Required("appid", "add sslcert");
    if (!ParseGuidText(AppIdText, AppId)) {
        throw TUsageError("'" + AppIdText +
                          "' is not a GUID ({xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx})");
    }
    const std::string StoreName = Args.Get("certstorename").value_or("");
    if (!StoreName.empty() && CertStoreFolder(StoreName).empty()) {
        throw TUsageError("'" + StoreName + "' is not a certificate store name");
    }
    std::uint32_t CheckMode = 0;
    if (!EnableDisable(Args.Get("verifyclientcertrevocation"), true,
                       "verifyclientcertrevocation")) {
        CheckMode |= NoRevocationCheck;
    }
    if (EnableDisable(Args.Get("verifyrevocationwithcachedclientcertonly"), false,
                      "verifyrevocationwithcachedclientcertonly")) {
        CheckMode |= CachedRevocationOnly;
    }
    if (!EnableDisable(Args.Get("usagecheck"), true, "usagecheck")) {
        CheckMode |= NoUsageCheck;
    }
    const std::uint32_t Freshness =
        Number(Args.Get("revocationfreshnesstime"), 0xFFFFFFFFu, "revocationfreshnesstime");
    if (Args.Get("revocationfreshnesstime")) {
        CheckMode |= UseFreshnessTime;
    }
    const std::uint32_t Retrieval =
        Number(Args.Get("urlretrievaltimeout"), 0xFFFFFFFFu, "urlretrievaltimeout");
    std::uint32_t Flags = 0;
    if (EnableDisable(Args.Get("dsmapperusage"), false, "dsmapperusage")) {
        Flags |= HTTP_SERVICE_CONFIG_SSL_FLAG_USE_DS_MAPPER;
    }
    if (EnableDisable(Args.Get("clientcertnegotiation"), false, "clientcertnegotiation")) {
        Flags |= HTTP_SERVICE_CONFIG_SSL_FLAG_NEGOTIATE_CLIENT_CERT;
    }
    std::wstring Store = Wide(StoreName);
    std::wstring CtlIdentifier = Wide(Args.Get("sslctlidentifier").value_or(""));
    std::wstring CtlStore = Wide(Args.Get("sslctlstorename").value_or(""));
    HTTP_SERVICE_CONFIG_SSL_PARAM Param{};
    Param.SslHashLength = static_cast<ULONG>(Hash.size());
    Param.pSslHash = Hash.data();
    std::sscanf(AppId.c_str(), "{%8x-%4hx-%4hx-%2hhx%2hhx-%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx}",
                &Param.AppId.Data1, &Param.AppId.Data2, &Param.AppId.Data3, &Param.AppId.Data4[0],
                &Param.AppId.Data4[1], &Param.AppId.Data4[2], &Param.AppId.Data4[3],
                &Param.AppId.Data4[4], &Param.AppId.Data4[5], &Param.AppId.Data4[6],
                &Param.AppId.Data4[7]);
    Param.pSslCertStoreName = Store.empty() ? nullptr : Store.data();
    Param.DefaultCertCheckMode = CheckMode;
    Param.DefaultRevocationFreshnessTime = Freshness;
    Param.DefaultRevocationUrlRetrievalTimeout = Retrieval;
    Param.pDefaultSslCtlIdentifier = CtlIdentifier.empty() ? nullptr : CtlIdentifier.data();
    Param.pDefaultSslCtlStoreName = CtlStore.empty() ? nullptr : CtlStore.data();
    Param.DefaultFlags = Flags;
    TConfigApi Api;
    WarnAboutDamage(Err, true);
    TApiBindingKey ApiKey(Key);
    if (Key.Sni) {
        HTTP_SERVICE_CONFIG_SSL_SNI_SET Set{};
        std::memcpy(&Set.KeyDesc.IpPort, &ApiKey.Storage(), sizeof(sockaddr_storage));
        Set.KeyDesc.Host = ApiKey.Host();
        Set.ParamDesc = Param;
        Check(HttpSetServiceConfiguration(nullptr, HttpServiceConfigSslSniCertInfo, &Set,
                                          sizeof(Set), nullptr),
              "SSL Certificate add");
    } else {
        HTTP_SERVICE_CONFIG_SSL_SET Set{};
        Set.KeyDesc.pIpPort = ApiKey.Address();
        Set.ParamDesc = Param;
        Check(HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set, sizeof(Set),
                                          nullptr),
              "SSL Certificate add");
    }
    Out << "\nSSL Certificate successfully added\n\n";
    return ExitOk;
}

int DeleteSslCert(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {"ipport", "hostnameport"}, "delete sslcert");
    const TBindingKey Key = BindingKey(Args, "delete sslcert");
    TConfigApi Api;
    WarnAboutDamage(Err, true);
    TApiBindingKey ApiKey(Key);
    if (Key.Sni) {
        HTTP_SERVICE_CONFIG_SSL_SNI_SET Set{};
        std::memcpy(&Set.KeyDesc.IpPort, &ApiKey.Storage(), sizeof(sockaddr_storage));
        Set.KeyDesc.Host = ApiKey.Host();
        Check(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSslSniCertInfo, &Set,
                                             sizeof(Set), nullptr),
              "SSL Certificate delete");
    } else {
        HTTP_SERVICE_CONFIG_SSL_SET Set{};
        Set.KeyDesc.pIpPort = ApiKey.Address();
        Check(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &Set,
                                             sizeof(Set), nullptr),
              "SSL Certificate delete");
    }
    Out << "\nSSL Certificate successfully deleted\n\n";
    return ExitOk;
}

std::string Enabled(bool Value) {
    return Value ? "Enabled" : "Disabled";
}

std::string OrNull(PCWSTR Text) {
    return Text == nullptr || *Text == L'\0' ? "(null)" : Narrow(Text);
}

void PrintSslParam(const std::string& KeyLine, const HTTP_SERVICE_CONFIG_SSL_PARAM& Param,
                   std::ostream& Out) {
    const auto* Hash = static_cast<const std::uint8_t*>(Param.pSslHash);
    const std::vector<std::uint8_t> Bytes(Hash, Hash + Param.SslHashLength);
    char AppId[40];
    std::snprintf(AppId, sizeof(AppId), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  Param.AppId.Data1, Param.AppId.Data2, Param.AppId.Data3, Param.AppId.Data4[0],
                  Param.AppId.Data4[1], Param.AppId.Data4[2], Param.AppId.Data4[3],
                  Param.AppId.Data4[4], Param.AppId.Data4[5], Param.AppId.Data4[6],
                  Param.AppId.Data4[7]);
    const std::uint32_t Mode = Param.DefaultCertCheckMode;
    Out << KeyLine << "    Certificate Hash             : " << HexOf(Bytes) << "\n"
        << "    Application ID               : " << AppId << "\n"
        << "    Certificate Store Name       : "
        << (Param.pSslCertStoreName == nullptr ? "(null)" : OrNull(Param.pSslCertStoreName)) << "\n"
        << "    Verify Client Certificate Revocation : " << Enabled((Mode & NoRevocationCheck) == 0)
        << "\n"
        << "    Verify Revocation Using Cached Client Certificate Only : "
        << Enabled((Mode & CachedRevocationOnly) != 0) << "\n"
        << "    Usage Check                  : " << Enabled((Mode & NoUsageCheck) == 0) << "\n"
        << "    Revocation Freshness Time    : " << Param.DefaultRevocationFreshnessTime << "\n"
        << "    URL Retrieval Timeout        : " << Param.DefaultRevocationUrlRetrievalTimeout
        << "\n"
        << "    Ctl Identifier               : " << OrNull(Param.pDefaultSslCtlIdentifier) << "\n"
        << "    Ctl Store Name               : " << OrNull(Param.pDefaultSslCtlStoreName) << "\n"
        << "    DS Mapper Usage              : "
        << Enabled((Param.DefaultFlags & HTTP_SERVICE_CONFIG_SSL_FLAG_USE_DS_MAPPER) != 0) << "\n"
        << "    Negotiate Client Certificate : "
        << Enabled((Param.DefaultFlags & HTTP_SERVICE_CONFIG_SSL_FLAG_NEGOTIATE_CLIENT_CERT) != 0)
        << "\n\n";
}

void PrintSsl(const std::vector<std::uint64_t>& Record, bool Sni, std::ostream& Out) {
    if (Sni) {
        const auto& Set = *reinterpret_cast<const HTTP_SERVICE_CONFIG_SSL_SNI_SET*>(Record.data());
        const auto Port = ntohs(reinterpret_cast<const sockaddr_in&>(Set.KeyDesc.IpPort).sin_port);
        PrintSslParam("    Hostname:port                : " + Narrow(Set.KeyDesc.Host) + ":" +
                          std::to_string(Port) + "\n",
                      Set.ParamDesc, Out);
    } else {
        const auto& Set = *reinterpret_cast<const HTTP_SERVICE_CONFIG_SSL_SET*>(Record.data());
        PrintSslParam("    IP:port                      : " + AddressText(Set.KeyDesc.pIpPort) +
                          "\n",
                      Set.ParamDesc, Out);
    }
}

int ShowSslCert(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {"ipport", "hostnameport"}, "show sslcert");
    std::optional<TBindingKey> Key;
    if (Args.Get("ipport") || Args.Get("hostnameport")) {
        Key = BindingKey(Args, "show sslcert");
    }
    TConfigApi Api;
    WarnAboutDamage(Err, false);
    Out << "\nSSL Certificate bindings:\n-------------------------\n\n";
    if (Key) {
        TApiBindingKey ApiKey(*Key);
        std::vector<std::uint64_t> Record;
        if (Key->Sni) {
            HTTP_SERVICE_CONFIG_SSL_SNI_QUERY Query{};
            Query.QueryDesc = HttpServiceConfigQueryExact;
            std::memcpy(&Query.KeyDesc.IpPort, &ApiKey.Storage(), sizeof(sockaddr_storage));
            Query.KeyDesc.Host = ApiKey.Host();
            Record = QueryRecord(HttpServiceConfigSslSniCertInfo, &Query, sizeof(Query),
                                 ERROR_FILE_NOT_FOUND, "SSL Certificate show");
        } else {
            HTTP_SERVICE_CONFIG_SSL_QUERY Query{};
            Query.QueryDesc = HttpServiceConfigQueryExact;
            Query.KeyDesc.pIpPort = ApiKey.Address();
            Record = QueryRecord(HttpServiceConfigSSLCertInfo, &Query, sizeof(Query),
                                 ERROR_FILE_NOT_FOUND, "SSL Certificate show");
        }
        if (!Record.empty()) {
            PrintSsl(Record, Key->Sni, Out);
        }
        return ExitOk;
    }
    HTTP_SERVICE_CONFIG_SSL_QUERY ByAddress{};
    ByAddress.QueryDesc = HttpServiceConfigQueryNext;
    for (ByAddress.dwToken = 0;; ++ByAddress.dwToken) {
        const auto Record = QueryRecord(HttpServiceConfigSSLCertInfo, &ByAddress, sizeof(ByAddress),
                                        ERROR_NO_MORE_ITEMS, "SSL Certificate show");
        if (Record.empty()) {
            break;
        }
        PrintSsl(Record, false, Out);
    }
    HTTP_SERVICE_CONFIG_SSL_SNI_QUERY ByName{};
    ByName.QueryDesc = HttpServiceConfigQueryNext;
    for (ByName.dwToken = 0;; ++ByName.dwToken) {
        const auto Record = QueryRecord(HttpServiceConfigSslSniCertInfo, &ByName, sizeof(ByName),
                                        ERROR_NO_MORE_ITEMS, "SSL Certificate show");
        if (Record.empty()) {
            return ExitOk;
        }
        PrintSsl(Record, true, Out);
    }
}

// ---- timeout ----------------------------------------------------------------------------------

HTTP_SERVICE_CONFIG_TIMEOUT_KEY TimeoutKey(const std::string& Type) {
    const std::string Text = Lower(Type);
    if (Text == "idleconnectiontimeout") {
        return IdleConnectionTimeout;
    }
    if (Text == "headerwaittimeout") {
        return HeaderWaitTimeout;
    }
    throw TUsageError("timeouttype= takes idleconnectiontimeout or headerwaittimeout, not '" +
                      Type + "'");
}

int AddTimeout(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {"timeouttype", "value"}, "add timeout");
    HTTP_SERVICE_CONFIG_TIMEOUT_SET Set{};
    Set.KeyDesc = TimeoutKey(Args.Required("timeouttype", "add timeout"));
    Set.ParamDesc =
        static_cast<USHORT>(Number(Args.Required("value", "add timeout"), 0xFFFF, "value"));
    TConfigApi Api;
    WarnAboutDamage(Err, true);
    Check(
        HttpSetServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Set, sizeof(Set), nullptr),
        "Timeout add");
    Out << "\nTimeout value successfully added\n\n";
    return ExitOk;
}

int DeleteTimeout(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {"timeouttype"}, "delete timeout");
    HTTP_SERVICE_CONFIG_TIMEOUT_SET Set{};
    Set.KeyDesc = TimeoutKey(Args.Required("timeouttype", "delete timeout"));
    TConfigApi Api;
    WarnAboutDamage(Err, true);
    Check(HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigTimeout, &Set, sizeof(Set),
                                         nullptr),
          "Timeout delete");
    Out << "\nTimeout value successfully deleted\n\n";
    return ExitOk;
}

int ShowTimeout(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {}, "show timeout");
    TConfigApi Api;
    WarnAboutDamage(Err, false);
    const auto Seconds = [](HTTP_SERVICE_CONFIG_TIMEOUT_KEY Key) -> std::string {
        const auto Record = QueryRecord(HttpServiceConfigTimeout, &Key, sizeof(Key),
                                        ERROR_FILE_NOT_FOUND, "Timeout show");
        if (Record.empty()) {
            return "120"; // not set: the default
        }
        HTTP_SERVICE_CONFIG_TIMEOUT_PARAM Value = 0;
        std::memcpy(&Value, Record.data(), sizeof(Value));
        return std::to_string(Value == 0 ? 120 : Value);
    };
    Out << "\nTimeout Values:\n---------------\n\n"
        << "    Idle connection timeout (secs)  : " << Seconds(IdleConnectionTimeout) << "\n"
        << "    Header wait timeout (secs)      : " << Seconds(HeaderWaitTimeout) << "\n\n";
    return ExitOk;
}

// ---- iplisten ---------------------------------------------------------------------------------

/// An address of the listen list in the API's form.
class TListenParam {
public:
    explicit TListenParam(const std::string& Text) {
        std::string Key;
        if (!ListenAddressKey(Text, Key)) {
            throw TUsageError("'" + Text + "' is not an IPv4 or IPv6 address");
        }
        if (Key.find(':') != std::string::npos) {
            auto& V6 = reinterpret_cast<sockaddr_in6&>(FAddress);
            V6.sin6_family = AF_INET6;
            inet_pton(AF_INET6, Key.c_str(), &V6.sin6_addr);
            FParam.AddrLength = sizeof(sockaddr_in6);
        } else {
            auto& V4 = reinterpret_cast<sockaddr_in&>(FAddress);
            V4.sin_family = AF_INET;
            inet_pton(AF_INET, Key.c_str(), &V4.sin_addr);
            FParam.AddrLength = sizeof(sockaddr_in);
        }
        FParam.pAddress = reinterpret_cast<PSOCKADDR>(&FAddress);
    }
    HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM* Param() { return &FParam; }

private:
    sockaddr_storage FAddress{};
    HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM FParam{};
};

int ChangeIpListen(const std::vector<std::string>& Arguments, bool Add, std::ostream& Out,
                   std::ostream& Err) {
    const std::string Command = Add ? "add iplisten" : "delete iplisten";
    const TArguments Args(Arguments, 2, {"ipaddress"}, Command);
    TListenParam Param(Args.Required("ipaddress", Command));
    TConfigApi Api;
    WarnAboutDamage(Err, true);
    const DWORD Result =
        Add ? HttpSetServiceConfiguration(nullptr, HttpServiceConfigIPListenList, Param.Param(),
                                          sizeof(HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM), nullptr)
            : HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigIPListenList, Param.Param(),
                                             sizeof(HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM), nullptr);
    Check(Result, Add ? "IP address add" : "IP address delete");
    Out << "\nIP address successfully " << (Add ? "added" : "deleted") << "\n\n";
    return ExitOk;
}

int ShowIpListen(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    const TArguments Args(Arguments, 2, {}, "show iplisten");
    TConfigApi Api;
    WarnAboutDamage(Err, false);
    const auto Record = QueryRecord(HttpServiceConfigIPListenList, nullptr, 0, ERROR_FILE_NOT_FOUND,
                                    "IP listen list show");
    Out << "\nIP addresses present in the IP listen list:\n"
           "-------------------------------------------\n\n";
    if (!Record.empty()) {
        const auto& List =
            *reinterpret_cast<const HTTP_SERVICE_CONFIG_IP_LISTEN_QUERY*>(Record.data());
        for (ULONG I = 0; I < List.AddrCount; ++I) {
            Out << "    " << AddressText(reinterpret_cast<const sockaddr*>(&List.AddrList[I]))
                << "\n";
        }
    }
    Out << "\n";
    return ExitOk;
}

// ---- import cert ------------------------------------------------------------------------------

struct TBioFree {
    void operator()(BIO* Bio) const noexcept { BIO_free(Bio); }
};
struct TX509Free {
    void operator()(X509* Certificate) const noexcept { X509_free(Certificate); }
};
struct TKeyFree {
    void operator()(EVP_PKEY* Key) const noexcept { EVP_PKEY_free(Key); }
};

std::string PemOf(X509* Certificate) {
    std::unique_ptr<BIO, TBioFree> Out(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(Out.get(), Certificate);
    char* Data = nullptr;
    const long Length = BIO_get_mem_data(Out.get(), &Data);
    return std::string(Data, static_cast<std::size_t>(Length));
}

void MakeFolders(const std::string& Folder, mode_t Mode) {
    for (std::size_t At = 1; At <= Folder.size(); ++At) {
        if (At == Folder.size() || Folder[At] == '/') {
            const std::string Part = Folder.substr(0, At);
            if (mkdir(Part.c_str(), At == Folder.size() ? Mode : 0755) != 0 && errno != EEXIST) {
                throw TFailure("cannot create " + Part + ": " + std::strerror(errno));
            }
        }
    }
}

int ImportCert(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream&) {
    const TArguments Args(Arguments, 2, {"file", "key", "certstorename"}, "import cert");
    const std::string File = Args.Required("file", "import cert");
    const std::string KeyFile = Args.Get("key").value_or(File);
    const std::string StoreName = Args.Get("certstorename").value_or("MY");
    const std::string Folder = CertStoreFolder(StoreName);
    if (Folder.empty()) {
        throw TUsageError("'" + StoreName + "' is not a certificate store name");
    }
    std::unique_ptr<BIO, TBioFree> Certificates(BIO_new_file(File.c_str(), "r"));
    if (!Certificates) {
        ERR_clear_error();
        throw TUsageError("cannot read '" + File + "': " + std::strerror(errno));
    }
    std::unique_ptr<X509, TX509Free> Leaf(
        PEM_read_bio_X509(Certificates.get(), nullptr, nullptr, nullptr));
    if (!Leaf) {
        ERR_clear_error();
        throw TUsageError("'" + File + "' holds no PEM certificate");
    }
    std::string Pem = PemOf(Leaf.get());
    // The chain after the leaf, if any.
    while (std::unique_ptr<X509, TX509Free> Next{
        PEM_read_bio_X509(Certificates.get(), nullptr, nullptr, nullptr)}) {
        Pem += PemOf(Next.get());
    }
    ERR_clear_error();
    std::unique_ptr<BIO, TBioFree> Keys(BIO_new_file(KeyFile.c_str(), "r"));
    std::unique_ptr<EVP_PKEY, TKeyFree> Key(
        Keys ? PEM_read_bio_PrivateKey(Keys.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!Key) {
        ERR_clear_error();
        throw TUsageError("'" + KeyFile + "' holds no unencrypted PEM private key");
    }
    if (X509_check_private_key(Leaf.get(), Key.get()) != 1) {
        ERR_clear_error();
        throw TUsageError("the private key of '" + KeyFile +
                          "' does not belong to the certificate of '" + File + "'");
    }
    std::unique_ptr<BIO, TBioFree> KeyOut(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(KeyOut.get(), Key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* KeyData = nullptr;
    const long KeyLength = BIO_get_mem_data(KeyOut.get(), &KeyData);
    Pem.append(KeyData, static_cast<std::size_t>(KeyLength));
    std::uint8_t Digest[20];
    unsigned int DigestLength = 0;
    X509_digest(Leaf.get(), EVP_sha1(), Digest, &DigestLength);
    const std::string Thumbprint = HexOf(std::vector<std::uint8_t>(Digest, Digest + DigestLength));
    // The key is a secret: the store's folders and files are the owner's and one group's
    // (a service that serves https without root is given that group).
    MakeFolders(Folder, 0750);
    const std::string Target = Folder + "/" + Thumbprint + ".pem";
    const std::string Temporary = Target + "." + std::to_string(getpid()) + ".tmp";
    const int Fd = open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (Fd < 0) {
        throw TFailure("cannot write " + Temporary + ": " + std::strerror(errno));
    }
    bool Written = fchmod(Fd, 0640) == 0;
    for (std::size_t Done = 0; Written && Done < Pem.size();) {
        const ssize_t Put = write(Fd, Pem.data() + Done, Pem.size() - Done);
        Written = Put > 0;
        Done += Put > 0 ? static_cast<std::size_t>(Put) : 0;
    }
    Written = Written && fsync(Fd) == 0;
    close(Fd);
    if (!Written || rename(Temporary.c_str(), Target.c_str()) != 0) {
        const std::string Reason = std::strerror(errno);
        unlink(Temporary.c_str());
        throw TFailure("cannot write " + Target + ": " + Reason);
    }
    Out << "\nCertificate imported into store " << StoreName << "\n"
        << "    Certificate Hash             : " << Thumbprint << "\n"
        << "    File                         : " << Target << "\n\n";
    return ExitOk;
}

// ---- dispatch ---------------------------------------------------------------------------------

using TCommand = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);

struct TEntry {
    const char* Verb;
    const char* Object;
    TCommand Command;
};

int AddIpListen(const std::vector<std::string>& A, std::ostream& O, std::ostream& E) {
    return ChangeIpListen(A, true, O, E);
}
int DeleteIpListen(const std::vector<std::string>& A, std::ostream& O, std::ostream& E) {
    return ChangeIpListen(A, false, O, E);
}

constexpr TEntry Commands[] = {
    {"add", "urlacl", AddUrlAcl},           {"delete", "urlacl", DeleteUrlAcl},
    {"show", "urlacl", ShowUrlAcl},         {"add", "sslcert", AddSslCert},
    {"delete", "sslcert", DeleteSslCert},   {"show", "sslcert", ShowSslCert},
    {"add", "timeout", AddTimeout},         {"delete", "timeout", DeleteTimeout},
    {"show", "timeout", ShowTimeout},       {"add", "iplisten", AddIpListen},
    {"delete", "iplisten", DeleteIpListen}, {"show", "iplisten", ShowIpListen},
    {"import", "cert", ImportCert},
};

} // namespace

std::string Usage() {
    return "usage: httpcfg <command> [tag=]value ...\n"
           "Administers the HTTP Server API's service configuration as `netsh http` does on "
           "Windows.\n"
           "\n"
           "  add urlacl [url=]URL [user=]NAME [listen=yes|no] [delegate=yes|no]\n"
           "  add urlacl [url=]URL sddl=SDDL\n"
           "  delete urlacl [url=]URL\n"
           "  show urlacl [[url=]URL]\n"
           "  add sslcert ipport=IP:PORT|hostnameport=HOST:PORT certhash=HASH appid={GUID}\n"
           "              [certstorename=NAME] [verifyclientcertrevocation=enable|disable]\n"
           "              [verifyrevocationwithcachedclientcertonly=enable|disable]\n"
           "              [usagecheck=enable|disable] [revocationfreshnesstime=SECONDS]\n"
           "              [urlretrievaltimeout=MS] [sslctlidentifier=TEXT] [sslctlstorename=NAME]\n"
           "              [dsmapperusage=enable|disable] [clientcertnegotiation=enable|disable]\n"
           "  delete sslcert ipport=IP:PORT|hostnameport=HOST:PORT\n"
           "  show sslcert [ipport=IP:PORT|hostnameport=HOST:PORT]\n"
           "  add timeout [timeouttype=]idleconnectiontimeout|headerwaittimeout [value=]SECONDS\n"
           "  delete timeout [timeouttype=]idleconnectiontimeout|headerwaittimeout\n"
           "  show timeout\n"
           "  add iplisten [ipaddress=]ADDRESS\n"
           "  delete iplisten [ipaddress=]ADDRESS\n"
           "  show iplisten\n"
           "  import cert [file=]PEM [key=PEM] [certstorename=NAME]\n"
           "\n"
           "NAME of a user: a user of this machine (also \"Unix User\\name\"), \"Unix "
           "Group\\name\",\n"
           "  \"Everyone\". HASH: the certificate's SHA-1 thumbprint (40 hex digits), as\n"
           "  `import cert` prints it. The configuration is kept in "
           "/var/lib/httpapi/serviceconfig\n"
           "  ($HTTPAPI_SERVICECONFIG), certificates in /var/lib/httpapi/certstore\n"
           "  ($HTTPAPI_CERTSTORE). Exit status: 0 done, 1 failed, 2 bad command line.\n";
}

int Run(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err) {
    try {
        if (Arguments.empty()) {
            throw TUsageError("no command (httpcfg --help lists them)");
        }
        const std::string First = Lower(Arguments[0]);
        if (First == "--help" || First == "-h" || First == "help" || First == "/?" ||
            First == "-?") {
            Out << Usage();
            return ExitOk;
        }
        if (Arguments.size() < 2) {
            throw TUsageError("'" + Arguments[0] +
                              "' needs an object (urlacl, sslcert, timeout, "
                              "iplisten, cert)");
        }
        const std::string Object = Lower(Arguments[1]);
        bool KnownVerb = false;
        for (const TEntry& Entry : Commands) {
            if (First == Entry.Verb) {
                KnownVerb = true;
                if (Object == Entry.Object) {
                    return Entry.Command(Arguments, Out, Err);
                }
            }
        }
        if (!KnownVerb) {
            throw TUsageError("unknown command '" + Arguments[0] +
                              "' (add, delete, show, import; httpcfg --help)");
        }
        throw TUsageError("unknown object '" + Arguments[1] + "' for '" + Arguments[0] +
                          "' (httpcfg --help)");
    } catch (const TUsageError& Error) {
        Err << "httpcfg: " << Error.what() << "\n";
        return ExitUsage;
    } catch (const TFailure& Error) {
        Err << "httpcfg: " << Error.what() << "\n";
        return ExitFailed;
    } catch (const std::exception& Error) {
        Err << "httpcfg: " << Error.what() << "\n";
        return ExitFailed;
    }
}

} // namespace httpcfg
