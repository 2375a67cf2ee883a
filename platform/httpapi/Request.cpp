// Request: one parsed request on its way to the application, and its HTTP_REQUEST_V2 record.
#include "platform/httpapi/Request.h"

#include "platform/httpapi/TlsStream.h"
#include "platform/httpapi/UrlPrefix.h"
#include "platform/rtl/NameIndex.h"
#include "platform/rtl/Utf.h"
#include "platform/win/include/HttpHeaderNames.h"

#include <algorithm>
#include <cstring>
#include <netinet/in.h>

namespace httpapi {

namespace {

// A header is looked up once per request line: the indexes compare only the names of its length.
constexpr rtl::TNameIndex RequestHeaderIndex(HttpRequestHeaderNames);
constexpr rtl::TNameIndex ResponseHeaderIndex(HttpResponseHeaderNames);

constexpr std::size_t Align(std::size_t Value, std::size_t To) noexcept {
    return (Value + To - 1) / To * To;
}

// Windows reports IPv4 peers as AF_INET even on a dual-stack socket.
sockaddr_storage Unmapped(const sockaddr_storage& Address) noexcept {
    if (Address.ss_family != AF_INET6) {
        return Address;
    }
    const auto& V6 = reinterpret_cast<const sockaddr_in6&>(Address);
    if (!IN6_IS_ADDR_V4MAPPED(&V6.sin6_addr)) {
        return Address;
    }
    sockaddr_storage Result{};
    auto& V4 = reinterpret_cast<sockaddr_in&>(Result);
    V4.sin_family = AF_INET;
    V4.sin_port = V6.sin6_port;
    std::memcpy(&V4.sin_addr, &V6.sin6_addr.s6_addr[12], 4);
    return Result;
}

constexpr std::size_t AddressSlot = Align(sizeof(sockaddr_in6), 8);

// The URL's parts are ASCII but for a decoded path or a query with UTF-8 in it: those (rare)
// ones are decoded twice, once to count and once to write, which keeps the usual request free
// of a wide copy.
std::size_t WideLength(std::string_view Utf8) {
    return rtl::IsAscii(Utf8) ? Utf8.size() : rtl::Utf8ToWide(Utf8).size();
}

// Writes Utf8 as wide characters at Where (an ill-formed sequence becomes U+FFFD); returns the
// end of what it wrote.
wchar_t* PutWide(wchar_t* Where, std::string_view Utf8) {
    if (rtl::IsAscii(Utf8)) {
        return std::copy(Utf8.begin(), Utf8.end(), Where);
    }
    const std::wstring Decoded = rtl::Utf8ToWide(Utf8);
    return std::copy(Decoded.begin(), Decoded.end(), Where);
}

} // namespace

int KnownRequestHeaderId(std::string_view Name) noexcept {
    return RequestHeaderIndex.Find(Name);
}

int KnownResponseHeaderId(std::string_view Name) noexcept {
    return ResponseHeaderIndex.Find(Name);
}

std::string_view KnownResponseHeaderName(int Id) noexcept {
    return Id >= 0 && Id < HttpHeaderResponseMaximum ? HttpResponseHeaderNames[Id]
                                                     : std::string_view();
}

void TRequest::Prepare() {
    FSchemeChars = WideLength(Url.Scheme) + 3;
    FHostChars = WideLength(Url.HostPort);
    FPathChars = WideLength(Url.Path);
    FQueryChars = WideLength(Url.Query);
    FUnknownCount = 0;
    std::size_t Size = Align(sizeof(HTTP_REQUEST_V2), 8) + 2 * AddressSlot;
    const std::size_t InfoCount = (BasicAuthInfo ? 1 : 0) + (Tls ? 1 : 0);
    Size += Align(InfoCount * sizeof(HTTP_REQUEST_INFO), 8);
    if (BasicAuthInfo) {
        Size += Align(sizeof(HTTP_REQUEST_AUTH_INFO), 8);
    }
    if (Tls) {
        Size += Align(sizeof(HTTP_SSL_INFO), 8) + Align(sizeof(HTTP_SSL_PROTOCOL_INFO), 8);
        Size += Tls->ServerCertIssuer.size() + 1 + Tls->ServerCertSubject.size() + 1;
    }
    Size += (FSchemeChars + FHostChars + FPathChars + FQueryChars + 1) * sizeof(wchar_t);
    if (Head.Verb == HttpVerbUnknown) {
        Size += Head.Method.size() + 1;
    }
    Size += Head.Target.size() + 1;
    for (const THeaderField& Field : Head.Headers) {
        if (Field.KnownId < 0) {
            ++FUnknownCount;
        }
        Size += Field.Name.size() + 1 + Field.Value.size() + 1;
    }
    Size += FUnknownCount * sizeof(HTTP_UNKNOWN_HEADER);
    FRecordSize = Size;
}

void TRequest::DropRecordText() noexcept {
    std::string().swap(Head.Method);
    std::string().swap(Head.Target);
    std::vector<THeaderField>().swap(Head.Headers);
    Url = TCookedUrl{};
}

std::size_t TRequest::RecordSize() const {
    return FRecordSize;
}

void TRequest::WriteRecord(void* Buffer) const {
    auto* Base = static_cast<char*>(Buffer);
    auto* Record = new (Base) HTTP_REQUEST_V2{};
    std::size_t Offset = Align(sizeof(HTTP_REQUEST_V2), 8);

    Record->Flags = Head.HasBody() ? HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS : 0;
    Record->ConnectionId = ConnectionId;
    Record->RequestId = Id;
    Record->UrlContext = UrlContext;
    Record->Version = {Head.Major, Head.Minor};
    Record->Verb = Head.Verb;
    Record->BytesReceived = Head.HeadBytes;

    const sockaddr_storage RemoteAddress = Unmapped(Remote.Get());
    const sockaddr_storage LocalAddress = Unmapped(Local.Get());
    std::memcpy(Base + Offset, &RemoteAddress, sizeof(sockaddr_in6));
    Record->Address.pRemoteAddress = reinterpret_cast<PSOCKADDR>(Base + Offset);
    Offset += AddressSlot;
    std::memcpy(Base + Offset, &LocalAddress, sizeof(sockaddr_in6));
    Record->Address.pLocalAddress = reinterpret_cast<PSOCKADDR>(Base + Offset);
    Offset += AddressSlot;

    // The request information entries, one array: authentication first, then TLS.
    const std::size_t InfoCount = (BasicAuthInfo ? 1 : 0) + (Tls ? 1 : 0);
    auto* Infos = reinterpret_cast<HTTP_REQUEST_INFO*>(Base + Offset);
    for (std::size_t I = 0; I < InfoCount; ++I) {
        new (&Infos[I]) HTTP_REQUEST_INFO{};
    }
    Offset += Align(InfoCount * sizeof(HTTP_REQUEST_INFO), 8);
    if (InfoCount > 0) {
        Record->RequestInfoCount = static_cast<USHORT>(InfoCount);
        Record->pRequestInfo = Infos;
    }
    std::size_t InfoIndex = 0;
    if (BasicAuthInfo) {
        // Basic credentials for an enabled scheme. The Windows listener checks them against
        // the machine's accounts; there are none to check against here, so the result is a
        // refused logon and the application decides from the Authorization header itself.
        HTTP_REQUEST_INFO* Info = &Infos[InfoIndex++];
        auto* Auth = new (Base + Offset) HTTP_REQUEST_AUTH_INFO{};
        Offset += Align(sizeof(HTTP_REQUEST_AUTH_INFO), 8);
        Auth->AuthStatus = HttpAuthStatusFailure;
        Auth->SecStatus = SEC_E_LOGON_DENIED;
        Auth->AuthType = HttpRequestAuthTypeBasic;
        Info->InfoType = HttpRequestInfoTypeAuth;
        Info->InfoLength = sizeof(HTTP_REQUEST_AUTH_INFO);
        Info->pInfo = Auth;
    }
    if (Tls) {
        // A request that came over TLS says so, with what the handshake settled; the raw
        // connection (the TLS layer under the HTTP one) has an id of its own, never 0.
        Record->RawConnectionId = ConnectionId;
        auto* Ssl = new (Base + Offset) HTTP_SSL_INFO{};
        Offset += Align(sizeof(HTTP_SSL_INFO), 8);
        Ssl->ServerCertKeySize = Tls->ServerCertKeySize;
        Ssl->ConnectionKeySize = Tls->ConnectionKeySize;
        Ssl->ServerCertIssuerSize = static_cast<ULONG>(Tls->ServerCertIssuer.size());
        Ssl->ServerCertSubjectSize = static_cast<ULONG>(Tls->ServerCertSubject.size());
        Record->pSslInfo = Ssl;
        HTTP_REQUEST_INFO* Info = &Infos[InfoIndex++];
        auto* Protocol = new (Base + Offset) HTTP_SSL_PROTOCOL_INFO{};
        Offset += Align(sizeof(HTTP_SSL_PROTOCOL_INFO), 8);
        Protocol->Protocol = Tls->Protocol;
        Protocol->CipherType = Tls->CipherType;
        Protocol->CipherStrength = Tls->CipherStrength;
        Protocol->HashType = Tls->HashType;
        Protocol->HashStrength = Tls->HashStrength;
        Protocol->KeyExchangeType = Tls->KeyExchangeType;
        Protocol->KeyExchangeStrength = Tls->KeyExchangeStrength;
        Info->InfoType = HttpRequestInfoTypeSslProtocol;
        Info->InfoLength = sizeof(HTTP_SSL_PROTOCOL_INFO);
        Info->pInfo = Protocol;
    }

    auto* Unknown = reinterpret_cast<HTTP_UNKNOWN_HEADER*>(Base + Offset);
    Offset += FUnknownCount * sizeof(HTTP_UNKNOWN_HEADER);
    Record->Headers.UnknownHeaderCount = static_cast<USHORT>(FUnknownCount);
    Record->Headers.pUnknownHeaders = FUnknownCount > 0 ? Unknown : nullptr;

    // The cooked URL: UTF-16 on Windows, wchar_t here; lengths in bytes without the NUL.
    auto* Wide = reinterpret_cast<wchar_t*>(Base + Offset);
    const std::size_t FullChars = FSchemeChars + FHostChars + FPathChars + FQueryChars;
    wchar_t* Next = PutWide(Wide, Url.Scheme);
    Next = PutWide(Next, "://");
    Next = PutWide(Next, Url.HostPort);
    Next = PutWide(Next, Url.Path);
    Next = PutWide(Next, Url.Query);
    *Next = L'\0';
    Offset += (FullChars + 1) * sizeof(wchar_t);
    HTTP_COOKED_URL& Cooked = Record->CookedUrl;
    Cooked.pFullUrl = Wide;
    Cooked.FullUrlLength = static_cast<USHORT>(FullChars * sizeof(wchar_t));
    Cooked.pHost = Wide + FSchemeChars;
    Cooked.HostLength = static_cast<USHORT>(FHostChars * sizeof(wchar_t));
    Cooked.pAbsPath = Wide + FSchemeChars + FHostChars;
    Cooked.AbsPathLength = static_cast<USHORT>(FPathChars * sizeof(wchar_t));
    if (FQueryChars > 0) {
        Cooked.pQueryString = Wide + FSchemeChars + FHostChars + FPathChars;
        Cooked.QueryStringLength = static_cast<USHORT>(FQueryChars * sizeof(wchar_t));
    }

    const auto PutString = [&](std::string_view Text) {
        char* Where = Base + Offset;
        std::memcpy(Where, Text.data(), Text.size());
        Where[Text.size()] = '\0';
        Offset += Text.size() + 1;
        return static_cast<PCSTR>(Where);
    };
    if (Head.Verb == HttpVerbUnknown) {
        Record->pUnknownVerb = PutString(Head.Method);
        Record->UnknownVerbLength = static_cast<USHORT>(Head.Method.size());
    }
    if (Tls) {
        Record->pSslInfo->pServerCertIssuer = PutString(Tls->ServerCertIssuer);
        Record->pSslInfo->pServerCertSubject = PutString(Tls->ServerCertSubject);
    }
    Record->pRawUrl = PutString(Head.Target);
    Record->RawUrlLength = static_cast<USHORT>(Head.Target.size());
    std::size_t UnknownIndex = 0;
    for (const THeaderField& Field : Head.Headers) {
        if (Field.KnownId >= 0) {
            HTTP_KNOWN_HEADER& Slot = Record->Headers.KnownHeaders[Field.KnownId];
            if (Slot.pRawValue == nullptr) {
                Slot.pRawValue = PutString(Field.Value);
                Slot.RawValueLength = static_cast<USHORT>(Field.Value.size());
            }
            continue; // repeated known headers were joined by the parser
        }
        HTTP_UNKNOWN_HEADER& Entry = Unknown[UnknownIndex++];
        Entry.pName = PutString(Field.Name);
        Entry.NameLength = static_cast<USHORT>(Field.Name.size());
        Entry.pRawValue = PutString(Field.Value);
        Entry.RawValueLength = static_cast<USHORT>(Field.Value.size());
    }
}

} // namespace httpapi
