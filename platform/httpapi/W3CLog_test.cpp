// W3CLog: file names, header lines, field columns and roll-over of the W3C request log.
#include "platform/httpapi/W3CLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace httpapi;

namespace {

// 2026-03-05 07:08:09 UTC, a Thursday.
const TW3CLog::TClock::time_point Moment = TW3CLog::TClock::from_time_t(1772694489);

std::string ReadAll(const std::filesystem::path& Path) {
    std::ifstream File(Path, std::ios::binary);
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

class TTempFolder {
public:
    TTempFolder() {
        FPath = std::filesystem::temp_directory_path() /
                ("w3clog-" + std::to_string(getpid()) + "-" + std::to_string(++Counter));
        std::filesystem::remove_all(FPath);
    }
    ~TTempFolder() { std::filesystem::remove_all(FPath); }
    const std::filesystem::path& Path() const { return FPath; }

private:
    static inline int Counter = 0;
    std::filesystem::path FPath;
};

} // namespace

TEST(W3CLog, FileNamesFollowTheRollover) {
    struct TCase {
        HTTP_LOGGING_ROLLOVER_TYPE Rollover;
        unsigned Sequence;
        std::string Expected;
    };
    const TCase Cases[] = {
        {HttpLoggingRolloverDaily, 1, "ex260305.log"},
        {HttpLoggingRolloverHourly, 1, "ex26030507.log"},
        {HttpLoggingRolloverMonthly, 1, "ex2603.log"},
        {HttpLoggingRolloverWeekly, 1, "ex260301.log"}, // March 2026 starts on a Sunday
        {HttpLoggingRolloverSize, 1, "extend1.log"},
        {HttpLoggingRolloverSize, 12, "extend12.log"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(::testing::Message()
                     << "rollover " << Case.Rollover << ", sequence " << Case.Sequence);
        TW3CLogSettings Settings;
        Settings.Rollover = Case.Rollover;
        const TW3CLog Log(Settings);
        EXPECT_EQ(Log.FileName(Moment, Case.Sequence), Case.Expected) << Case.Rollover;
    }
    TW3CLogSettings Weekly;
    Weekly.Rollover = HttpLoggingRolloverWeekly;
    // 2026-03-08 is the second Sunday: the second week.
    EXPECT_EQ(TW3CLog(Weekly).FileName(Moment + std::chrono::hours(24 * 3), 1), "ex260302.log");
}

TEST(W3CLog, ColumnsAndValues) {
    TW3CLogSettings Settings;
    Settings.Fields = HTTP_LOG_FIELD_DATE | HTTP_LOG_FIELD_TIME | HTTP_LOG_FIELD_CLIENT_IP |
                      HTTP_LOG_FIELD_USER_NAME | HTTP_LOG_FIELD_SERVER_IP |
                      HTTP_LOG_FIELD_SERVER_PORT | HTTP_LOG_FIELD_METHOD | HTTP_LOG_FIELD_URI_STEM |
                      HTTP_LOG_FIELD_URI_QUERY | HTTP_LOG_FIELD_STATUS | HTTP_LOG_FIELD_USER_AGENT;
    const TW3CLog Log(Settings);
    EXPECT_EQ(Log.FieldNames(), "date time c-ip cs-username s-ip s-port cs-method cs-uri-stem "
                                "cs-uri-query sc-status cs(User-Agent)");
    TW3CLogEntry Entry;
    Entry.ClientIp = "127.0.0.1";
    Entry.ServerIp = "127.0.0.2";
    Entry.ServerPort = 8080;
    Entry.Method = "GET";
    Entry.UriStem = "/images/picture.jpg";
    Entry.Status = 200;
    Entry.UserAgent = "Mozilla/4.0 (compatible;\tMSIE)";
    EXPECT_EQ(Log.Line(Entry, Moment), "2026-03-05 07:08:09 127.0.0.1 - 127.0.0.2 8080 GET "
                                       "/images/picture.jpg - 200 Mozilla/4.0+(compatible;+MSIE)");
    EXPECT_EQ(TW3CLog(TW3CLogSettings{}).Line(Entry, Moment), ""); // no fields, nothing logged
}

TEST(W3CLog, WritesHeaderOncePerFileAndRollsOverDaily) {
    TTempFolder Folder;
    TW3CLogSettings Settings;
    Settings.Directory = (Folder.Path() / "logs").string();
    Settings.Fields = HTTP_LOG_FIELD_DATE | HTTP_LOG_FIELD_STATUS;
    TW3CLog Log(Settings);
    TW3CLogEntry Entry;
    Entry.Status = 200;
    ASSERT_TRUE(Log.Write(Entry, Moment));
    Entry.Status = 404;
    ASSERT_TRUE(Log.Write(Entry, Moment + std::chrono::hours(1)));
    ASSERT_TRUE(Log.Write(Entry, Moment + std::chrono::hours(24)));
    EXPECT_EQ(ReadAll(Folder.Path() / "logs" / "ex260305.log"),
              "#Software: Microsoft HTTP Server API 2.0\r\n#Version: 1.0\r\n"
              "#Date: 2026-03-05 07:08:09\r\n#Fields: date sc-status\r\n"
              "2026-03-05 200\r\n2026-03-05 404\r\n");
    EXPECT_EQ(ReadAll(Folder.Path() / "logs" / "ex260306.log"),
              "#Software: Microsoft HTTP Server API 2.0\r\n#Version: 1.0\r\n"
              "#Date: 2026-03-06 07:08:09\r\n#Fields: date sc-status\r\n2026-03-06 404\r\n");
}

TEST(W3CLog, SizeRolloverAndStatusFilters) {
    TTempFolder Folder;
    TW3CLogSettings Settings;
    Settings.Directory = Folder.Path().string();
    Settings.SoftwareName = "korvo";
    Settings.Fields = HTTP_LOG_FIELD_URI_STEM | HTTP_LOG_FIELD_STATUS;
    Settings.Rollover = HttpLoggingRolloverSize;
    Settings.RolloverSize = 1024 * 1024;
    Settings.Flags = HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY;
    TW3CLog Log(Settings);
    TW3CLogEntry Entry;
    Entry.UriStem = std::string(1000, 'a');
    Entry.Status = 200;
    ASSERT_TRUE(Log.Write(Entry, Moment)); // filtered out
    EXPECT_FALSE(std::filesystem::exists(Folder.Path() / "extend1.log"));
    Entry.Status = 500;
    for (int I = 0; I < 1100; ++I) {
        ASSERT_TRUE(Log.Write(Entry, Moment));
    }
    const auto First = std::filesystem::file_size(Folder.Path() / "extend1.log");
    EXPECT_LE(First, Settings.RolloverSize);
    EXPECT_GT(First, Settings.RolloverSize - 1100);
    EXPECT_TRUE(std::filesystem::exists(Folder.Path() / "extend2.log"));
    EXPECT_EQ(ReadAll(Folder.Path() / "extend2.log").rfind("#Software: korvo\r\n", 0), 0u);
    // A new log over the same folder goes on after the full file.
    TW3CLog Again(Settings);
    ASSERT_TRUE(Again.Write(Entry, Moment));
    EXPECT_FALSE(std::filesystem::exists(Folder.Path() / "extend3.log"));
}

TEST(W3CLog, LoggingInfoIsChecked) {
    const std::wstring Folder = L"/var/log/korvo";
    const std::wstring Software = L"korvo";
    HTTP_LOGGING_INFO Good{};
    Good.Flags.Present = 1;
    Good.DirectoryName = Folder.c_str();
    Good.DirectoryNameLength = static_cast<USHORT>(Folder.size() * sizeof(WCHAR));
    Good.SoftwareName = Software.c_str();
    Good.SoftwareNameLength = static_cast<USHORT>(Software.size() * sizeof(WCHAR));
    Good.Format = HttpLoggingTypeW3C;
    Good.Fields = 0x3FFFFF;
    Good.RolloverType = HttpLoggingRolloverDaily;
    const std::wstring Relative = L"logs";
    const std::wstring TooLong = L"/" + std::wstring(212, L'a');
    struct TCase {
        const char* Name;
        void (*Change)(HTTP_LOGGING_INFO&, const std::wstring&, const std::wstring&);
        DWORD Expected;
    };
    const TCase Cases[] = {
        {"good", [](auto&, auto&, auto&) {}, NO_ERROR},
        {"not present", [](auto& I, auto&, auto&) { I.Flags.Present = 0; },
         ERROR_INVALID_PARAMETER},
        {"IIS", [](auto& I, auto&, auto&) { I.Format = HttpLoggingTypeIIS; }, ERROR_NOT_SUPPORTED},
        {"bad format", [](auto& I, auto&, auto&) { I.Format = HTTP_LOGGING_TYPE(9); },
         ERROR_INVALID_PARAMETER},
        {"both filters",
         [](auto& I, auto&, auto&) {
             I.LoggingFlags =
                 HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY | HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY;
         },
         ERROR_INVALID_PARAMETER},
        {"small size",
         [](auto& I, auto&, auto&) {
             I.RolloverType = HttpLoggingRolloverSize;
             I.RolloverSize = 1024 * 1024 - 1;
         },
         ERROR_INVALID_PARAMETER},
        {"no folder", [](auto& I, auto&, auto&) { I.DirectoryName = nullptr; },
         ERROR_INVALID_PARAMETER},
        {"relative folder",
         [](auto& I, auto& R, auto&) {
             I.DirectoryName = R.c_str();
             I.DirectoryNameLength = static_cast<USHORT>(R.size() * sizeof(WCHAR));
         },
         ERROR_INVALID_PARAMETER},
        {"212 characters",
         [](auto& I, auto&, auto& L) {
             I.DirectoryName = L.c_str();
             I.DirectoryNameLength = 212 * sizeof(WCHAR);
         },
         DWORD(NO_ERROR)}, // 424 bytes: the longest folder
        {"213 characters",
         [](auto& I, auto&, auto& L) {
             I.DirectoryName = L.c_str();
             I.DirectoryNameLength = 213 * sizeof(WCHAR);
         },
         ERROR_INVALID_PARAMETER},
        {"software length without name", [](auto& I, auto&, auto&) { I.SoftwareName = nullptr; },
         ERROR_INVALID_PARAMETER},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        HTTP_LOGGING_INFO Info = Good;
        Case.Change(Info, Relative, TooLong);
        TW3CLogSettings Settings;
        EXPECT_EQ(ReadLoggingInfo(Info, Settings), Case.Expected) << Case.Name;
        if (std::string_view(Case.Name) == "good") {
            EXPECT_EQ(Settings.Directory, "/var/log/korvo");
            EXPECT_EQ(Settings.SoftwareName, "korvo");
        }
    }
}
