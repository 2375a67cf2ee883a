// HttpHeaderNames: the names of the HTTP Server API's known headers, indexed by HTTP_HEADER_ID.
//
// Not part of the Windows headers (the API names its known headers by id only): the listener
// and the hosts over it that need the names share this table. C++ only: in C it declares nothing.
#pragma once

#ifdef __cplusplus

#include <array>
#include <http.h>
#include <iterator>
#include <string_view>

/// The request headers in HTTP_HEADER_ID order (HttpHeaderCacheControl to HttpHeaderUserAgent),
/// spelt as usually written; names compare without regard to case.
inline constexpr std::array<std::string_view, HttpHeaderRequestMaximum> HttpRequestHeaderNames = {
    "Cache-Control",
    "Connection",
    "Date",
    "Keep-Alive",
    "Pragma",
    "Trailer",
    "Transfer-Encoding",
    "Upgrade",
    "Via",
    "Warning",
    "Allow",
    "Content-Length",
    "Content-Type",
    "Content-Encoding",
    "Content-Language",
    "Content-Location",
    "Content-MD5",
    "Content-Range",
    "Expires",
    "Last-Modified",
    "Accept",
    "Accept-Charset",
    "Accept-Encoding",
    "Accept-Language",
    "Authorization",
    "Cookie",
    "Expect",
    "From",
    "Host",
    "If-Match",
    "If-Modified-Since",
    "If-None-Match",
    "If-Range",
    "If-Unmodified-Since",
    "Max-Forwards",
    "Proxy-Authorization",
    "Referer",
    "Range",
    "TE",
    "Translate",
    "User-Agent",
};

/// The response headers in HTTP_HEADER_ID order (HttpHeaderCacheControl to
/// HttpHeaderWwwAuthenticate): the first ids, up to HttpHeaderAcceptRanges, are the request's.
inline constexpr std::array<std::string_view, HttpHeaderResponseMaximum> HttpResponseHeaderNames =
    [] {
        std::array<std::string_view, HttpHeaderResponseMaximum> Names{};
        for (int I = 0; I < HttpHeaderAcceptRanges; ++I) {
            Names[I] = HttpRequestHeaderNames[I];
        }
        constexpr std::string_view ResponseOnly[] = {
            "Accept-Ranges", "Age",    "ETag",       "Location", "Proxy-Authenticate",
            "Retry-After",   "Server", "Set-Cookie", "Vary",     "WWW-Authenticate"};
        static_assert(HttpHeaderAcceptRanges + std::size(ResponseOnly) ==
                      HttpHeaderResponseMaximum);
        for (std::size_t I = 0; I < std::size(ResponseOnly); ++I) {
            Names[HttpHeaderAcceptRanges + I] = ResponseOnly[I];
        }
        return Names;
    }();
static_assert(HttpRequestHeaderNames[HttpHeaderUserAgent] == "User-Agent");
static_assert(HttpResponseHeaderNames[HttpHeaderLastModified] == "Last-Modified");
static_assert(HttpResponseHeaderNames[HttpHeaderWwwAuthenticate] == "WWW-Authenticate");

#endif // __cplusplus
