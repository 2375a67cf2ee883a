// Request: one parsed request on its way to the application, and its HTTP_REQUEST_V2 record.
#pragma once

#include "platform/httpapi/CookedUrl.h"
#include "platform/httpapi/RequestParser.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <http.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

namespace httpapi {

class TConnection;
struct TTlsFacts;
class TW3CLog;
class TBandwidthLimit;

/// An IPv4 or IPv6 socket address in the room of the larger (a sockaddr_storage takes 128
/// bytes; every connection and request keeps two).
class TSocketAddress {
public:
    TSocketAddress() = default;
    explicit TSocketAddress(const sockaddr_storage& Address) noexcept {
        std::memcpy(&FAddress, &Address, sizeof(FAddress));
    }
    sockaddr_storage Get() const noexcept {
        sockaddr_storage Address{};
        std::memcpy(&Address, &FAddress, sizeof(FAddress));
        return Address;
    }

private:
    sockaddr_in6 FAddress{}; // an AF_INET address fills its start as a sockaddr_in
};

/// Immutable once delivered to a queue, so receivers copy it without the connection's lock.
struct TRequest {
    HTTP_REQUEST_ID Id = HTTP_NULL_ID;
    HTTP_CONNECTION_ID ConnectionId = HTTP_NULL_ID;
    HTTP_URL_CONTEXT UrlContext = 0;
    TRequestHead Head;
    TCookedUrl Url;
    TSocketAddress Remote;
    TSocketAddress Local;
    std::shared_ptr<TConnection> Connection;    // Shared: the request keeps its connection object.
    std::shared_ptr<TW3CLog> Log;               // where the answered request is logged, or null
    std::shared_ptr<TBandwidthLimit> Bandwidth; // paces the response's sends, or null
    bool BasicAuthInfo = false; // the record carries basic-authentication information
    // Came over TLS: the record carries the connection's TLS facts (pSslInfo and an
    // HttpRequestInfoTypeSslProtocol entry). Null for plain HTTP.
    std::shared_ptr<const TTlsFacts> Tls;
    std::int64_t ArrivedMs = 0; // monotonic time the head was complete (for time-taken)
    // Filled by the sends (any thread): what the log line reports.
    std::atomic<ULONGLONG> BytesSent{0};
    std::atomic<bool> HandedOut{false}; // a receive has given it to the application

    /// Computes the record's layout once (before the request is delivered).
    void Prepare();

    /// Bytes the self-contained record needs in the caller's buffer.
    std::size_t RecordSize() const;
    /// Writes the record into Buffer (8-byte aligned, at least RecordSize() bytes); every
    /// pointer in it points into Buffer.
    void WriteRecord(void* Buffer) const;
    /// The record went to the application: the texts only it needed (target, headers, URL)
    /// are dropped; what the answer and its log line need (verb, version, keep-alive, sizes)
    /// stays. An upgraded connection keeps its request for its whole life.
    void DropRecordText() noexcept;

private:
    // Wide characters of the cooked URL's parts, as the record carries them.
    std::size_t FSchemeChars = 0; // "://" included
    std::size_t FHostChars = 0;
    std::size_t FPathChars = 0;
    std::size_t FQueryChars = 0;
    std::size_t FUnknownCount = 0;
    std::size_t FRecordSize = 0;
};

/// The header id of a known request header name, or -1.
int KnownRequestHeaderId(std::string_view Name) noexcept;
/// The header id of a known response header name, or -1.
int KnownResponseHeaderId(std::string_view Name) noexcept;
/// The wire name of a known response header id (0..29).
std::string_view KnownResponseHeaderName(int Id) noexcept;

} // namespace httpapi
