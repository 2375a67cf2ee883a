// W3CLog: request logging in the W3C extended format, into files that roll over by period or
// size, named and headed as the Windows listener names and heads them.
#pragma once

#include <chrono>
#include <cstdint>
#include <http.h>
#include <mutex>
#include <optional>
#include <string>

namespace httpapi {

/// The configuration of one log (HttpServerLoggingProperty, W3C format).
struct TW3CLogSettings {
    std::string Directory;    // UTF-8; created on the first logged request
    std::string SoftwareName; // the "#Software:" line; empty: the listener's own name
    ULONG Fields = 0;         // HTTP_LOG_FIELD_* bits
    ULONG Flags = 0;          // HTTP_LOGGING_FLAG_* bits
    HTTP_LOGGING_ROLLOVER_TYPE Rollover = HttpLoggingRolloverDaily;
    ULONG RolloverSize = 0; // bytes, Size roll-over only; HTTP_LIMIT_INFINITE: never
};

/// Checks a logging record as the Windows listener does and reads it. Returns NO_ERROR,
/// ERROR_INVALID_PARAMETER (bad record) or ERROR_NOT_SUPPORTED (IIS, NCSA and binary formats).
DWORD ReadLoggingInfo(const HTTP_LOGGING_INFO& Info, TW3CLogSettings& Settings);

/// One logged request: what the application passed (HTTP_LOG_FIELDS_DATA) and what the
/// listener knows itself (version, byte counts, time taken).
struct TW3CLogEntry {
    std::string UserName, SiteName, ComputerName, ClientIp, ServerIp, Method, UriStem, UriQuery;
    std::string UserAgent, Cookie, Referrer, Host, Version;
    USHORT ServerPort = 0;
    USHORT Status = 0;
    USHORT SubStatus = 0;
    ULONG Win32Status = 0;
    ULONGLONG BytesSent = 0;
    ULONGLONG BytesReceived = 0;
    ULONGLONG TimeTakenMs = 0;
};

/// Reads an application's HTTP_LOG_FIELDS_DATA (UTF-16 user name and stem, byte strings for the
/// rest); nullopt for any other log data type or a malformed record.
std::optional<TW3CLogEntry> ReadLogFields(const HTTP_LOG_DATA* LogData);

/// One log. Safe for concurrent use (one lock around each line).
class TW3CLog {
public:
    using TClock = std::chrono::system_clock;

    explicit TW3CLog(TW3CLogSettings Settings) : FSettings(std::move(Settings)) {}

    /// Appends Entry's line at time Now, starting a new file (with its header lines) when the
    /// period or size of the current one is over. False when the file cannot be written.
    bool Write(const TW3CLogEntry& Entry, TClock::time_point Now);

    /// The file name for time Now ("exYYMMDD.log", "extendNN.log", ...).
    std::string FileName(TClock::time_point Now, unsigned Sequence) const;
    /// The "#Fields:" line's names for the configured fields, in column order.
    std::string FieldNames() const;
    /// Entry's line (without the line end) at time Now.
    std::string Line(const TW3CLogEntry& Entry, TClock::time_point Now) const;

    const TW3CLogSettings& Settings() const noexcept { return FSettings; }

private:
    const TW3CLogSettings FSettings;
    std::mutex FLock;
    std::string FCurrentName;       // Guarded by FLock.
    unsigned FSequence = 1;         // Guarded by FLock. NN of "extendNN.log".
    std::uint64_t FCurrentSize = 0; // Guarded by FLock.
};

/// A log value as W3C lines carry it: "-" when empty, spaces and non-printable bytes as "+".
std::string W3CValue(std::string_view Value);

} // namespace httpapi
