// W3CLog: request logging in the W3C extended format.
#include "platform/httpapi/W3CLog.h"

#include "platform/rtl/Utf.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace httpapi {

namespace {

constexpr std::string_view DefaultSoftware = "Microsoft HTTP Server API 2.0";
// 424 bytes of UTF-16 on Windows: 212 characters, whatever the size of a WCHAR here.
constexpr std::size_t MaxDirectoryBytes = 212 * sizeof(WCHAR);
constexpr ULONG MinRolloverSize = 1024 * 1024;

// Column order: the fields' bit order, with s-port right after s-ip as in the Windows
// documentation's sample header (the only file layout shown for this listener).
struct TColumn {
    ULONG Bit;
    std::string_view Name;
};
constexpr std::array<TColumn, 22> Columns{{
    {HTTP_LOG_FIELD_DATE, "date"},
    {HTTP_LOG_FIELD_TIME, "time"},
    {HTTP_LOG_FIELD_CLIENT_IP, "c-ip"},
    {HTTP_LOG_FIELD_USER_NAME, "cs-username"},
    {HTTP_LOG_FIELD_SITE_NAME, "s-sitename"},
    {HTTP_LOG_FIELD_COMPUTER_NAME, "s-computername"},
    {HTTP_LOG_FIELD_SERVER_IP, "s-ip"},
    {HTTP_LOG_FIELD_SERVER_PORT, "s-port"},
    {HTTP_LOG_FIELD_METHOD, "cs-method"},
    {HTTP_LOG_FIELD_URI_STEM, "cs-uri-stem"},
    {HTTP_LOG_FIELD_URI_QUERY, "cs-uri-query"},
    {HTTP_LOG_FIELD_STATUS, "sc-status"},
    {HTTP_LOG_FIELD_WIN32_STATUS, "sc-win32-status"},
    {HTTP_LOG_FIELD_BYTES_SENT, "sc-bytes"},
    {HTTP_LOG_FIELD_BYTES_RECV, "cs-bytes"},
    {HTTP_LOG_FIELD_TIME_TAKEN, "time-taken"},
    {HTTP_LOG_FIELD_USER_AGENT, "cs(User-Agent)"},
    {HTTP_LOG_FIELD_COOKIE, "cs(Cookie)"},
    {HTTP_LOG_FIELD_REFERER, "cs(Referer)"},
    {HTTP_LOG_FIELD_VERSION, "cs-version"},
    {HTTP_LOG_FIELD_HOST, "cs-host"},
    {HTTP_LOG_FIELD_SUB_STATUS, "sc-substatus"},
}};

std::tm Broken(std::chrono::system_clock::time_point Now, bool Local) {
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
    std::tm Result{};
    if (Local) {
        localtime_r(&Seconds, &Result);
    } else {
        gmtime_r(&Seconds, &Result);
    }
    return Result;
}

std::string Two(int Value) {
    char Text[8];
    std::snprintf(Text, sizeof(Text), "%02d", Value % 100);
    return Text;
}

bool ReadWide(PCWSTR Text, USHORT Bytes, std::string& Result) {
    if (Bytes % sizeof(WCHAR) != 0 || (Bytes > 0 && Text == nullptr)) {
        return false;
    }
    try {
        Result = rtl::WideToUtf8(std::wstring_view(Text, Bytes / sizeof(WCHAR)));
    } catch (...) {
        return false;
    }
    return true;
}

template <class TEnum>
std::uint32_t RawEnum(const TEnum& Value) noexcept {
    static_assert(sizeof(TEnum) == sizeof(std::uint32_t));
    std::uint32_t Raw = 0;
    std::memcpy(&Raw, &Value, sizeof(Raw));
    return Raw;
}

} // namespace

DWORD ReadLoggingInfo(const HTTP_LOGGING_INFO& Info, TW3CLogSettings& Settings) {
    if (Info.Flags.Present == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    // The enumerations are read as the numbers an application may have put there.
    const std::uint32_t Format = RawEnum(Info.Format);
    const std::uint32_t Rollover = RawEnum(Info.RolloverType);
    if (Format != HttpLoggingTypeW3C) {
        return Format <= HttpLoggingTypeRaw ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER;
    }
    const ULONG KnownFlags = HTTP_LOGGING_FLAG_LOCAL_TIME_ROLLOVER |
                             HTTP_LOGGING_FLAG_USE_UTF8_CONVERSION |
                             HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY | HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY;
    if ((Info.LoggingFlags & ~KnownFlags) != 0 ||
        ((Info.LoggingFlags & HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY) != 0 &&
         (Info.LoggingFlags & HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY) != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Rollover > HttpLoggingRolloverHourly ||
        (Rollover == HttpLoggingRolloverSize && Info.RolloverSize < MinRolloverSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Info.DirectoryName == nullptr || Info.DirectoryNameLength == 0 ||
        Info.DirectoryNameLength > MaxDirectoryBytes ||
        (Info.SoftwareName == nullptr && Info.SoftwareNameLength != 0) ||
        Info.SoftwareNameLength > MAX_PATH * sizeof(WCHAR)) {
        return ERROR_INVALID_PARAMETER;
    }
    TW3CLogSettings Read;
    if (!ReadWide(Info.DirectoryName, Info.DirectoryNameLength, Read.Directory) ||
        !ReadWide(Info.SoftwareName, Info.SoftwareNameLength, Read.SoftwareName) ||
        Read.Directory.front() != '/') {
        return ERROR_INVALID_PARAMETER; // a fully qualified folder only
    }
    Read.Fields = Info.Fields;
    Read.Flags = Info.LoggingFlags;
    Read.Rollover = static_cast<HTTP_LOGGING_ROLLOVER_TYPE>(Rollover);
    Read.RolloverSize = Info.RolloverSize;
    Settings = std::move(Read);
    return NO_ERROR;
}

std::optional<TW3CLogEntry> ReadLogFields(const HTTP_LOG_DATA* LogData) {
    if (LogData == nullptr || LogData->Type != HttpLogDataTypeFields) {
        return std::nullopt;
    }
    const auto& Data = *reinterpret_cast<const HTTP_LOG_FIELDS_DATA*>(LogData);
    TW3CLogEntry Entry;
    const auto Bytes = [](PCHAR Text, USHORT Length, std::string& Result) {
        if (Length > 0 && Text == nullptr) {
            return false;
        }
        Result.assign(Text == nullptr ? "" : Text, Length);
        return true;
    };
    if (!ReadWide(Data.UserName, Data.UserNameLength, Entry.UserName) ||
        !ReadWide(Data.UriStem, Data.UriStemLength, Entry.UriStem) ||
        !Bytes(Data.ClientIp, Data.ClientIpLength, Entry.ClientIp) ||
        !Bytes(Data.ServerName, Data.ServerNameLength, Entry.ComputerName) ||
        !Bytes(Data.ServiceName, Data.ServiceNameLength, Entry.SiteName) ||
        !Bytes(Data.ServerIp, Data.ServerIpLength, Entry.ServerIp) ||
        !Bytes(Data.Method, Data.MethodLength, Entry.Method) ||
        !Bytes(Data.UriQuery, Data.UriQueryLength, Entry.UriQuery) ||
        !Bytes(Data.Host, Data.HostLength, Entry.Host) ||
        !Bytes(Data.UserAgent, Data.UserAgentLength, Entry.UserAgent) ||
        !Bytes(Data.Cookie, Data.CookieLength, Entry.Cookie) ||
        !Bytes(Data.Referrer, Data.ReferrerLength, Entry.Referrer)) {
        return std::nullopt;
    }
    Entry.ServerPort = Data.ServerPort;
    Entry.Status = Data.ProtocolStatus;
    Entry.Win32Status = Data.Win32Status;
    Entry.SubStatus = Data.SubStatus;
    return Entry;
}

std::string W3CValue(std::string_view Value) {
    if (Value.empty()) {
        return "-";
    }
    std::string Result(Value);
    for (char& Byte : Result) {
        const auto Code = static_cast<unsigned char>(Byte);
        if (Code <= 0x20 || Code == 0x7F) {
            Byte = '+';
        }
    }
    return Result;
}

std::string TW3CLog::FileName(TClock::time_point Now, unsigned Sequence) const {
    if (FSettings.Rollover == HttpLoggingRolloverSize) {
        return "extend" + std::to_string(Sequence) + ".log";
    }
    const std::tm Time =
        Broken(Now, (FSettings.Flags & HTTP_LOGGING_FLAG_LOCAL_TIME_ROLLOVER) != 0);
    std::string Name = "ex" + Two(Time.tm_year) + Two(Time.tm_mon + 1);
    switch (FSettings.Rollover) {
    case HttpLoggingRolloverDaily:
        Name += Two(Time.tm_mday);
        break;
    case HttpLoggingRolloverHourly:
        Name += Two(Time.tm_mday) + Two(Time.tm_hour);
        break;
    case HttpLoggingRolloverWeekly: {
        // Week of the month, weeks starting on Sunday: the first (partial) week is 01.
        const int FirstWeekday = ((Time.tm_wday - (Time.tm_mday - 1)) % 7 + 7) % 7;
        Name += Two((Time.tm_mday - 1 + FirstWeekday) / 7 + 1);
        break;
    }
    default:
        break; // monthly: the year and month alone
    }
    return Name + ".log";
}

std::string TW3CLog::FieldNames() const {
    std::string Result;
    for (const TColumn& Column : Columns) {
        if ((FSettings.Fields & Column.Bit) != 0) {
            if (!Result.empty()) {
                Result += ' ';
            }
            Result += Column.Name;
        }
    }
    return Result;
}

std::string TW3CLog::Line(const TW3CLogEntry& Entry, TClock::time_point Now) const {
    const std::tm Time = Broken(Now, false);
    char Date[32];
    char Clock[32];
    std::strftime(Date, sizeof(Date), "%Y-%m-%d", &Time);
    std::strftime(Clock, sizeof(Clock), "%H:%M:%S", &Time);
    std::string Result;
    for (const TColumn& Column : Columns) {
        if ((FSettings.Fields & Column.Bit) == 0) {
            continue;
        }
        std::string Value;
        switch (Column.Bit) {
        case HTTP_LOG_FIELD_DATE:
            Value = Date;
            break;
        case HTTP_LOG_FIELD_TIME:
            Value = Clock;
            break;
        case HTTP_LOG_FIELD_CLIENT_IP:
            Value = W3CValue(Entry.ClientIp);
            break;
        case HTTP_LOG_FIELD_USER_NAME:
            Value = W3CValue(Entry.UserName);
            break;
        case HTTP_LOG_FIELD_SITE_NAME:
            Value = W3CValue(Entry.SiteName);
            break;
        case HTTP_LOG_FIELD_COMPUTER_NAME:
            Value = W3CValue(Entry.ComputerName);
            break;
        case HTTP_LOG_FIELD_SERVER_IP:
            Value = W3CValue(Entry.ServerIp);
            break;
        case HTTP_LOG_FIELD_SERVER_PORT:
            Value = std::to_string(Entry.ServerPort);
            break;
        case HTTP_LOG_FIELD_METHOD:
            Value = W3CValue(Entry.Method);
            break;
        case HTTP_LOG_FIELD_URI_STEM:
            Value = W3CValue(Entry.UriStem);
            break;
        case HTTP_LOG_FIELD_URI_QUERY:
            Value = W3CValue(Entry.UriQuery);
            break;
        case HTTP_LOG_FIELD_STATUS:
            Value = std::to_string(Entry.Status);
            break;
        case HTTP_LOG_FIELD_WIN32_STATUS:
            Value = std::to_string(Entry.Win32Status);
            break;
        case HTTP_LOG_FIELD_BYTES_SENT:
            Value = std::to_string(Entry.BytesSent);
            break;
        case HTTP_LOG_FIELD_BYTES_RECV:
            Value = std::to_string(Entry.BytesReceived);
            break;
        case HTTP_LOG_FIELD_TIME_TAKEN:
            Value = std::to_string(Entry.TimeTakenMs);
            break;
        case HTTP_LOG_FIELD_USER_AGENT:
            Value = W3CValue(Entry.UserAgent);
            break;
        case HTTP_LOG_FIELD_COOKIE:
            Value = W3CValue(Entry.Cookie);
            break;
        case HTTP_LOG_FIELD_REFERER:
            Value = W3CValue(Entry.Referrer);
            break;
        case HTTP_LOG_FIELD_VERSION:
            Value = W3CValue(Entry.Version);
            break;
        case HTTP_LOG_FIELD_HOST:
            Value = W3CValue(Entry.Host);
            break;
        default:
            Value = std::to_string(Entry.SubStatus);
            break;
        }
        if (!Result.empty()) {
            Result += ' ';
        }
        Result += Value;
    }
    return Result;
}

bool TW3CLog::Write(const TW3CLogEntry& Entry, TClock::time_point Now) {
    const bool Error = Entry.Status >= 400;
    if (((FSettings.Flags & HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY) != 0 && !Error) ||
        ((FSettings.Flags & HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY) != 0 && Error)) {
        return true;
    }
    std::string Text = Line(Entry, Now);
    Text += "\r\n";
    std::scoped_lock Lock(FLock);
    try {
        namespace fs = std::filesystem;
        const fs::path Folder = fs::u8path(FSettings.Directory);
        std::error_code Ignored;
        fs::create_directories(Folder, Ignored); // the files appear with the first request
        std::string Name = FileName(Now, FSequence);
        if (FSettings.Rollover == HttpLoggingRolloverSize &&
            FSettings.RolloverSize != HTTP_LIMIT_INFINITE) {
            if (FCurrentName.empty()) {
                // Carry on after the files an earlier run left full.
                while (fs::exists(Folder / Name) &&
                       fs::file_size(Folder / Name) >= FSettings.RolloverSize) {
                    Name = FileName(Now, ++FSequence);
                }
            } else if (FCurrentSize + Text.size() > FSettings.RolloverSize) {
                Name = FileName(Now, ++FSequence);
            }
        }
        const bool Fresh = Name != FCurrentName;
        std::ofstream File(Folder / Name, std::ios::binary | std::ios::app);
        if (!File) {
            return false;
        }
        if (Fresh) {
            // A new file, or the first line of this log into an old one: head it.
            const std::tm Time = Broken(Now, false);
            char Created[32];
            std::strftime(Created, sizeof(Created), "%Y-%m-%d %H:%M:%S", &Time);
            std::string Header = "#Software: ";
            Header += FSettings.SoftwareName.empty() ? std::string(DefaultSoftware)
                                                     : FSettings.SoftwareName;
            Header += "\r\n#Version: 1.0\r\n#Date: ";
            Header += Created;
            Header += "\r\n#Fields: ";
            Header += FieldNames();
            Header += "\r\n";
            std::error_code SizeError;
            const auto Size = fs::file_size(Folder / Name, SizeError);
            FCurrentSize = (SizeError ? 0 : Size) + Header.size();
            FCurrentName = Name;
            File << Header;
        }
        File << Text;
        FCurrentSize += Text.size();
        File.flush();
        return static_cast<bool>(File);
    } catch (...) {
        return false;
    }
}

} // namespace httpapi
