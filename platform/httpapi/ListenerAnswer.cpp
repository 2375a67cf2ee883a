// ListenerAnswer: the responses the listener sends by itself.
#include "platform/httpapi/ListenerAnswer.h"

#include <cstdio>
#include <ctime>

namespace httpapi {

namespace {

struct TAnswerText {
    int Status;
    std::string_view Reason;
    std::string_view Title;
    std::string_view Heading;
    std::string_view Message;
};

TAnswerText Describe(TListenerAnswer Answer) noexcept {
    switch (Answer) {
    case TListenerAnswer::None:
    case TListenerAnswer::BadRequest:
        break;
    case TListenerAnswer::InvalidHostname:
        return {400, "Bad Request", "Bad Request", "Bad Request - Invalid Hostname",
                "The request hostname is invalid."};
    case TListenerAnswer::InvalidUrl:
        return {400, "Bad Request", "Bad Request", "Bad Request - Invalid URL",
                "The request URL is invalid."};
    case TListenerAnswer::InvalidVerb:
        return {400, "Bad Request", "Bad Request", "Bad Request - Invalid Verb",
                "The request verb is invalid."};
    case TListenerAnswer::RequestTooLong:
        return {400, "Bad Request", "Bad Request", "Bad Request - Request Too Long",
                "The size of the request headers is too long."};
    case TListenerAnswer::HeaderFieldTooLong:
        return {400, "Bad Request", "Bad Request", "Bad Request - Header Field Too Long",
                "A request header field is too long."};
    case TListenerAnswer::NotFound:
        return {404, "Not Found", "Not Found", "Not Found", "The requested resource is not found."};
    case TListenerAnswer::LengthRequired:
        return {411, "Length Required", "Length Required", "Length Required",
                "The request must be chunked or have a content length."};
    case TListenerAnswer::UrlTooLong:
        return {414, "Request URL Too Long", "Request URL Too Long", "Request URL Too Long",
                "The request URL is too long."};
    case TListenerAnswer::ServiceUnavailable:
        return {503, "Service Unavailable", "Service Unavailable", "Service Unavailable",
                "The service is unavailable."};
    case TListenerAnswer::NotImplemented:
        return {501, "Not Implemented", "Not Implemented", "Not Implemented",
                "The request uses a feature that is not implemented."};
    case TListenerAnswer::VersionNotSupported:
        return {505, "HTTP Version Not Supported", "Version Not Supported", "Version Not Supported",
                "The request HTTP version is not supported."};
    }
    return {400, "Bad Request", "Bad Request", "Bad Request", "The request is badly formed."};
}

} // namespace

int ListenerAnswerStatus(TListenerAnswer Answer) noexcept {
    return Describe(Answer).Status;
}

std::string ListenerAnswerText(TListenerAnswer Answer) {
    const TAnswerText Text = Describe(Answer);
    const std::string Code = std::to_string(Text.Status);
    std::string Body;
    Body.reserve(400);
    Body += "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\"\"http://www.w3.org/TR/html4/"
            "strict.dtd\">\r\n";
    Body += "<HTML><HEAD><TITLE>";
    Body += Text.Title;
    Body += "</TITLE>\r\n";
    Body += "<META HTTP-EQUIV=\"Content-Type\" Content=\"text/html; charset=us-ascii\"></HEAD>\r\n";
    Body += "<BODY><h2>";
    Body += Text.Heading;
    Body += "</h2>\r\n<hr><p>HTTP Error ";
    Body += Code;
    Body += ". ";
    Body += Text.Message;
    Body += "</p>\r\n</BODY></HTML>\r\n";

    std::string Response;
    Response.reserve(Body.size() + 200);
    Response += "HTTP/1.1 ";
    Response += Code;
    Response += ' ';
    Response += Text.Reason;
    Response += "\r\nContent-Type: text/html; charset=us-ascii\r\nServer: ";
    Response += ServerHeaderValue;
    Response += "\r\nDate: ";
    Response += HttpDateNow();
    Response += "\r\nConnection: close\r\nContent-Length: ";
    Response += std::to_string(Body.size());
    Response += "\r\n\r\n";
    Response += Body;
    return Response;
}

std::string_view HttpDateNow() {
    // Per thread: no lock on the hot path, one formatting per thread and second.
    thread_local std::time_t CachedSecond = 0;
    thread_local char Cached[40] = {};
    const std::time_t Now = std::time(nullptr);
    if (Now != CachedSecond) {
        std::tm Parts{};
        gmtime_r(&Now, &Parts);
        // Fixed English names: the process locale must not change the wire format.
        static constexpr const char* Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        std::snprintf(Cached, sizeof(Cached), "%s, %02d %s %04d %02d:%02d:%02d GMT",
                      Days[Parts.tm_wday % 7], Parts.tm_mday, Months[Parts.tm_mon % 12],
                      Parts.tm_year + 1900, Parts.tm_hour, Parts.tm_min, Parts.tm_sec);
        CachedSecond = Now;
    }
    return Cached;
}

} // namespace httpapi
