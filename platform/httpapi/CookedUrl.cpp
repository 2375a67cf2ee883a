// CookedUrl: the decoded, canonical form of a request's URL that routing and HTTP_COOKED_URL use.
#include "platform/httpapi/CookedUrl.h"

#include "platform/httpapi/UrlPrefix.h"
#include "platform/rtl/Escaping.h"
#include "platform/rtl/Utf.h"

namespace httpapi {

namespace {

bool ValidHost(std::string_view Host, std::string& Name) {
    if (Host.empty()) {
        return false;
    }
    std::string_view NamePart = Host;
    std::string_view PortPart;
    if (Host.front() == '[') {
        const std::size_t Close = Host.find(']');
        if (Close == std::string_view::npos) {
            return false;
        }
        NamePart = Host.substr(1, Close - 1);
        const std::string_view Rest = Host.substr(Close + 1);
        if (!Rest.empty()) {
            if (Rest.front() != ':') {
                return false;
            }
            PortPart = Rest.substr(1);
        }
        for (const char C : NamePart) {
            if (rtl::HexDigitValue(C) < 0 && C != ':' && C != '.') {
                return false;
            }
        }
    } else {
        const std::size_t Colon = Host.find(':');
        if (Colon != std::string_view::npos) {
            NamePart = Host.substr(0, Colon);
            PortPart = Host.substr(Colon + 1);
        }
        for (const char C : NamePart) {
            const bool Ok = (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') ||
                            (C >= '0' && C <= '9') || C == '-' || C == '.' || C == '_';
            if (!Ok) {
                return false;
            }
        }
    }
    if (NamePart.empty() || PortPart.size() > 5) {
        return false;
    }
    for (const char C : PortPart) {
        if (C < '0' || C > '9') {
            return false;
        }
    }
    Name.assign(NamePart);
    for (char& C : Name) {
        if (C >= 'A' && C <= 'Z') {
            C = static_cast<char>(C - 'A' + 'a');
        }
    }
    return true;
}

// Percent-decodes and canonicalises an absolute path (Raw starts with '/') into Path. False:
// refused. One pass: each segment is decoded onto the end of Path and dropped again when it is
// a dot segment, so no decoded copy or segment list is made. A decoded '/' (or '\\') separates
// segments like a written one; the whole decoded path must be UTF-8, which holds exactly when
// every segment is, as '/' is a character of its own in UTF-8.
bool CookPath(std::string_view Raw, std::string& Path) {
    Path.reserve(Raw.size());
    Path.assign(1, '/');
    std::size_t Segments = 0; // in Path: "/" and the segments joined by '/'
    bool TrailingSlash = false;
    std::size_t I = 1;
    while (true) {
        const std::size_t Before = Path.size();
        if (Segments > 0) {
            Path += '/';
        }
        const std::size_t Start = Path.size();
        bool Last = true;
        for (; I < Raw.size(); ++I) {
            char C = Raw[I];
            if (C == '%') {
                const int Escaped = rtl::PercentEscapeAt(Raw, I);
                if (Escaped < 0) {
                    return false;
                }
                C = static_cast<char>(Escaped);
                I += 2;
            }
            const auto Byte = static_cast<unsigned char>(C);
            if (Byte < 0x20 || Byte == 0x7F) {
                return false; // restricted characters are refused, as by default on Windows
            }
            if (C == '/' || C == '\\') {
                Last = false;
                ++I;
                break;
            }
            Path += C;
        }
        const std::string_view Segment = std::string_view(Path).substr(Start);
        if (!rtl::IsValidUtf8(Segment)) {
            return false;
        }
        // Remove dot segments; a path that climbs above the root is refused.
        if (Segment == "..") {
            if (Segments == 0) {
                return false;
            }
            Path.resize(Before);
            --Segments;
            Path.resize(Segments == 0 ? 1 : Path.rfind('/'));
            TrailingSlash = true;
        } else if (Segment == "." || (Segment.empty() && Last)) {
            Path.resize(Before);
            TrailingSlash = true;
        } else {
            if (Segment.size() > TRequestParser::UrlSegmentMaxLength) {
                return false;
            }
            ++Segments;
            TrailingSlash = false;
        }
        if (Last) {
            break;
        }
    }
    if (Segments > TRequestParser::UrlSegmentMaxCount) {
        return false;
    }
    if (TrailingSlash && Path.back() != '/') {
        Path += '/';
    }
    return true;
}

} // namespace

TListenerAnswer CookUrl(const TRequestHead& Head, std::string_view LocalHost, TCookedUrl& Url) {
    std::string_view Target = Head.Target;
    std::string_view HostText;
    if (Target == "*") {
        if (Head.Verb != HttpVerbOPTIONS) {
            return TListenerAnswer::InvalidUrl;
        }
        Target = "/";
    } else if (Target.front() != '/') {
        // Absolute form: the host comes from the URL, not from the Host header.
        const std::size_t SchemeEnd = Target.find("://");
        if (SchemeEnd == std::string_view::npos) {
            return TListenerAnswer::InvalidUrl;
        }
        const std::string Scheme = AsciiLower(Target.substr(0, SchemeEnd));
        if (Scheme != "http" && Scheme != "https") {
            return TListenerAnswer::InvalidUrl;
        }
        Target.remove_prefix(SchemeEnd + 3);
        const std::size_t PathStart = Target.find_first_of("/?");
        HostText = Target.substr(0, PathStart);
        Target =
            PathStart == std::string_view::npos ? std::string_view("/") : Target.substr(PathStart);
        if (Target.front() == '?') {
            return TListenerAnswer::InvalidUrl;
        }
        if (HostText.empty()) {
            return TListenerAnswer::InvalidUrl;
        }
    }
    if (HostText.empty()) {
        const std::string* Host = Head.Find("Host");
        HostText = Host != nullptr ? std::string_view(*Host) : LocalHost;
    }
    if (!ValidHost(HostText, Url.HostName)) {
        return TListenerAnswer::InvalidHostname;
    }
    Url.HostPort.assign(HostText);
    const std::size_t QueryStart = Target.find('?');
    Url.Query.assign(QueryStart == std::string_view::npos ? std::string_view()
                                                          : Target.substr(QueryStart));
    if (Url.Query.find('#') != std::string::npos) {
        return TListenerAnswer::InvalidUrl;
    }
    if (!CookPath(Target.substr(0, QueryStart), Url.Path)) {
        return TListenerAnswer::InvalidUrl;
    }
    return TListenerAnswer::None;
}

} // namespace httpapi
