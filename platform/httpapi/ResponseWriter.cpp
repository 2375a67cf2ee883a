// ResponseWriter: the status line and headers of an application's HTTP_RESPONSE.
#include "platform/httpapi/ResponseWriter.h"

#include "platform/httpapi/ListenerAnswer.h"
#include "platform/httpapi/Request.h"
#include "platform/httpapi/UrlPrefix.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <iterator>

namespace httpapi {

namespace {

// The text memory of the thread's last response head, waiting for its next one. Heads larger
// than KeptHeadBytes are not kept: a rare large head does not hold its memory.
constexpr std::size_t KeptHeadBytes = 4096;
thread_local std::string SpareHeadText;

bool SafeText(const char* Text, std::size_t Length) noexcept {
    if (Text == nullptr) {
        return Length == 0;
    }
    for (std::size_t I = 0; I < Length; ++I) {
        if (Text[I] == '\r' || Text[I] == '\n' || Text[I] == '\0') {
            return false; // no header injection through a value
        }
    }
    return true;
}

bool IsToken(const char* Text, std::size_t Length) noexcept {
    if (Text == nullptr || Length == 0) {
        return false;
    }
    for (std::size_t I = 0; I < Length; ++I) {
        const auto C = static_cast<unsigned char>(Text[I]);
        if (C <= 0x20 || C >= 0x7F ||
            std::string_view("()<>@,;:\\\"/[]?={}").find(static_cast<char>(C)) !=
                std::string_view::npos) {
            return false;
        }
    }
    return true;
}

void AppendDecimal(std::string& Text, ULONGLONG Value) {
    char Digits[24];
    const auto End = std::to_chars(std::begin(Digits), std::end(Digits), Value).ptr;
    Text.append(Digits, End);
}

void AddLine(std::string& Text, std::string_view Name, std::string_view Value) {
    Text += Name;
    Text += ": ";
    Text += Value;
    Text += "\r\n";
}

} // namespace

TResponseHead::TResponseHead() noexcept : Text(std::move(SpareHeadText)) {
    // A head made while another is alive on this thread (not the case in the API's calls)
    // finds the spare text taken and starts without memory.
    Text.clear();
}

TResponseHead::~TResponseHead() {
    if (Text.capacity() <= KeptHeadBytes) {
        SpareHeadText = std::move(Text);
    }
}

DWORD FormatResponseHead(const HTTP_RESPONSE_V2& Response, ULONG Flags, const TRequestHead& Request,
                         ULONGLONG BodyBytes, bool Final, TResponseHead& Head) {
    if (Response.StatusCode < 100 || Response.StatusCode > 999 ||
        !SafeText(Response.pReason, Response.ReasonLength)) {
        return ERROR_INVALID_PARAMETER;
    }
    const HTTP_RESPONSE_HEADERS& Headers = Response.Headers;
    std::uint32_t PresentIds = 0; // bit n: known header n has a value
    static_assert(HttpHeaderResponseMaximum <= 32);
    for (int Id = 0; Id < HttpHeaderResponseMaximum; ++Id) {
        const HTTP_KNOWN_HEADER& Slot = Headers.KnownHeaders[Id];
        if (Slot.pRawValue == nullptr) {
            if (Slot.RawValueLength != 0) {
                return ERROR_INVALID_PARAMETER;
            }
            continue;
        }
        if (!SafeText(Slot.pRawValue, Slot.RawValueLength)) {
            return ERROR_INVALID_PARAMETER;
        }
        PresentIds |= std::uint32_t(1) << Id;
    }
    if (Headers.UnknownHeaderCount > 0 && Headers.pUnknownHeaders == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    for (USHORT I = 0; I < Headers.UnknownHeaderCount; ++I) {
        const HTTP_UNKNOWN_HEADER& Unknown = Headers.pUnknownHeaders[I];
        if (!IsToken(Unknown.pName, Unknown.NameLength) ||
            !SafeText(Unknown.pRawValue, Unknown.RawValueLength)) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    if (Response.ResponseInfoCount > 0 && Response.pResponseInfo == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }

    const auto Known = [&](int Id) {
        const HTTP_KNOWN_HEADER& Slot = Headers.KnownHeaders[Id];
        return std::string_view(Slot.pRawValue == nullptr ? "" : Slot.pRawValue,
                                Slot.pRawValue == nullptr ? 0 : Slot.RawValueLength);
    };
    const auto Present = [&](int Id) { return (PresentIds & (std::uint32_t(1) << Id)) != 0; };

    std::string& Text = Head.Text;
    Text.clear();
    Text.reserve(256);
    // The response is always HTTP/1.1, whatever version the application names.
    Text += "HTTP/1.1 ";
    AppendDecimal(Text, Response.StatusCode);
    Text += ' ';
    if (Response.pReason != nullptr) {
        Text.append(Response.pReason, Response.ReasonLength);
    }
    Text += "\r\n";

    bool HasConnection = false;
    bool HasLength = Present(HttpHeaderContentLength);
    bool HasTransferEncoding = Present(HttpHeaderTransferEncoding);
    // The listener writes Date and Server itself.
    const std::uint32_t Written =
        PresentIds & ~(std::uint32_t(1) << HttpHeaderDate | std::uint32_t(1) << HttpHeaderServer);
    for (std::uint32_t Left = Written; Left != 0; Left &= Left - 1) {
        const int Id = std::countr_zero(Left); // the lowest id left, so in id order
        AddLine(Text, KnownResponseHeaderName(Id), Known(Id));
        if (Id == HttpHeaderConnection) {
            HasConnection = true;
            if (AsciiLower(Known(Id)).find("close") != std::string::npos) {
                Head.CloseAfter = true;
            }
        }
    }
    for (USHORT I = 0; I < Response.ResponseInfoCount; ++I) {
        const HTTP_RESPONSE_INFO& Info = Response.pResponseInfo[I];
        if (Info.Type != HttpResponseInfoTypeMultipleKnownHeaders || Info.pInfo == nullptr) {
            continue;
        }
        const auto* Multiple = static_cast<const HTTP_MULTIPLE_KNOWN_HEADERS*>(Info.pInfo);
        if (Multiple->HeaderId < 0 || Multiple->HeaderId >= HttpHeaderResponseMaximum ||
            (Multiple->KnownHeaderCount > 0 && Multiple->KnownHeaders == nullptr)) {
            return ERROR_INVALID_PARAMETER;
        }
        for (USHORT J = 0; J < Multiple->KnownHeaderCount; ++J) {
            const HTTP_KNOWN_HEADER& Value = Multiple->KnownHeaders[J];
            if (!SafeText(Value.pRawValue, Value.RawValueLength)) {
                return ERROR_INVALID_PARAMETER;
            }
            AddLine(Text, KnownResponseHeaderName(Multiple->HeaderId),
                    std::string_view(Value.pRawValue == nullptr ? "" : Value.pRawValue,
                                     Value.pRawValue == nullptr ? 0 : Value.RawValueLength));
        }
    }
    for (USHORT I = 0; I < Headers.UnknownHeaderCount; ++I) {
        const HTTP_UNKNOWN_HEADER& Unknown = Headers.pUnknownHeaders[I];
        const std::string_view Name(Unknown.pName, Unknown.NameLength);
        const std::string_view Value(Unknown.pRawValue == nullptr ? "" : Unknown.pRawValue,
                                     Unknown.pRawValue == nullptr ? 0 : Unknown.RawValueLength);
        AddLine(Text, Name, Value);
        if (AsciiEqualNoCase(Name, "Content-Length")) {
            HasLength = true;
        } else if (AsciiEqualNoCase(Name, "Transfer-Encoding")) {
            HasTransferEncoding = true;
        } else if (AsciiEqualNoCase(Name, "Connection")) {
            HasConnection = true;
            if (AsciiLower(Value).find("close") != std::string::npos) {
                Head.CloseAfter = true;
            }
        }
    }

    // Server: the application's value first, then ours.
    Text += "Server: ";
    if (Present(HttpHeaderServer)) {
        Text += Known(HttpHeaderServer);
        Text += ' ';
    }
    Text += ServerHeaderValue;
    Text += "\r\nDate: ";
    Text += HttpDateNow();
    Text += "\r\n";

    const bool IsHead = Request.Verb == HttpVerbHEAD;
    const bool NoBodyStatus =
        Response.StatusCode < 200 || Response.StatusCode == 204 || Response.StatusCode == 304;
    Head.DropBody = IsHead;
    if (!HasLength && !HasTransferEncoding && !NoBodyStatus) {
        if (Final) {
            if (!IsHead) {
                Text += "Content-Length: ";
                AppendDecimal(Text, BodyBytes);
                Text += "\r\n";
            }
        } else if (!IsHead) {
            // Neither length nor chunking and more to come: only closing can end the body.
            Head.CloseAfter = true;
        }
    }
    if ((Flags & HTTP_SEND_RESPONSE_FLAG_DISCONNECT) != 0 || !Request.KeepAlive) {
        Head.CloseAfter = true;
    }
    if (!HasConnection) {
        if (Head.CloseAfter) {
            Text += "Connection: close\r\n";
        } else if (Request.Minor == 0) {
            Text += "Connection: keep-alive\r\n"; // an HTTP/1.0 client asked to keep it
        }
    }
    Text += "\r\n";
    return NO_ERROR;
}

} // namespace httpapi
