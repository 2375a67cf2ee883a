// Messages tests: the system texts, buffers, widths, languages and inserts of FormatMessage.
#include "platform/rtl/Utf.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <windows.h>
#include <winsock2.h>

namespace {

constexpr DWORD SystemFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// The system text of Code through FormatMessageW with an allocated buffer, or nothing.
std::optional<std::wstring> SystemText(DWORD Code, DWORD Language = 0) {
    LPWSTR Buffer = nullptr;
    const DWORD Length = FormatMessageW(SystemFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, Code,
                                        Language, reinterpret_cast<LPWSTR>(&Buffer), 0, nullptr);
    if (Length == 0) {
        return std::nullopt;
    }
    std::wstring Text(Buffer, Length);
    EXPECT_EQ(Buffer[Length], L'\0');
    EXPECT_EQ(LocalFree(Buffer), nullptr);
    return Text;
}

std::wstring FormatV(DWORD Flags, const wchar_t* Format, ...) {
    va_list Arguments;
    va_start(Arguments, Format);
    wchar_t Buffer[256];
    const DWORD Length =
        FormatMessageW(Flags | FORMAT_MESSAGE_FROM_STRING, Format, 0, 0, Buffer, 256, &Arguments);
    va_end(Arguments);
    return Length == 0 ? L"<failed>" : std::wstring(Buffer, Length);
}

} // namespace

TEST(FormatMessageW, SystemTextsAsWindowsWordsThem) {
    struct TCase {
        DWORD Code;
        const char* Text;
    };
    const TCase Cases[] = {
        {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_BAD_COMMAND, "The device does not recognize the command.\r\n"},
        {ERROR_SHARING_VIOLATION,
         "The process cannot access the file because it is being used by another process.\r\n"},
        {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
        {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {ERROR_INVALID_NAME,
         "The filename, directory name, or volume label syntax is incorrect.\r\n"},
        {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
        {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
        {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
        {ERROR_MORE_DATA, "More data is available.\r\n"},
        {WAIT_TIMEOUT, "The wait operation timed out.\r\n"},
        {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
        {ERROR_ABANDONED_WAIT_0, "ERROR_ABANDONED_WAIT_0\r\n"},
        {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread "
                                  "exit or an application request.\r\n"},
        {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
        {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
        {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
        {ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed.\r\n"},
        {ERROR_NOT_FOUND, "Element not found.\r\n"},
        {ERROR_INVALID_NETNAME, "The format of the specified network name is invalid.\r\n"},
        {ERROR_CONNECTION_INVALID,
         "An operation was attempted on a nonexistent network connection.\r\n"},
        {ERROR_CONNECTION_ABORTED, "The network connection was aborted by the local system.\r\n"},
        {ERROR_REVISION_MISMATCH, "Indicates two revision levels are incompatible.\r\n"},
        {ERROR_NO_SUCH_LOGON_SESSION,
         "A specified logon session does not exist. It may already have been terminated.\r\n"},
        {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
        {ERROR_MR_MID_NOT_FOUND, "The system cannot find message text for message number 0x%1 in "
                                 "the message file for %2.\r\n"},
        {WSANOTINITIALISED,
         "Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Code);
        EXPECT_EQ(SystemText(Case.Code), rtl::Utf8ToWide(Case.Text));
        char Narrow[512];
        const DWORD Length =
            FormatMessageA(SystemFlags, nullptr, Case.Code, 0, Narrow, sizeof(Narrow), nullptr);
        EXPECT_EQ(std::string(Narrow, Length), Case.Text);
    }
}

TEST(FormatMessageW, EveryCodeDefinedInTheHeadersHasAText) {
    // Read from the headers themselves, so that a code added there without a text fails here.
    const std::regex Define(R"(#define ((ERROR|WSA|WAIT)_?[A-Z0-9_]*|NO_ERROR) ([0-9]+)L)");
    int Found = 0;
    for (const char* Header : {"windows.h", "winsock2.h"}) {
        std::ifstream File(std::string(PLATFORM_WIN_INCLUDE_DIR) + "/" + Header);
        ASSERT_TRUE(File.good()) << Header;
        for (std::string Line; std::getline(File, Line);) {
            std::smatch Match;
            if (!std::regex_search(Line, Match, Define)) {
                continue;
            }
            SCOPED_TRACE(Match[1].str());
            ++Found;
            const std::optional<std::wstring> Text =
                SystemText(static_cast<DWORD>(std::stoul(Match[3].str())));
            ASSERT_TRUE(Text.has_value());
            EXPECT_TRUE(Text->ends_with(L".\r\n") || Match[1] == "ERROR_ABANDONED_WAIT_0");
        }
    }
    EXPECT_GT(Found, 80);
}

TEST(FormatMessageW, UnknownCodesAndOtherLanguagesFail) {
    EXPECT_EQ(SystemText(0x80070005u), L"Access is denied.\r\n"); // HRESULT_FROM_WIN32(5)
    for (const DWORD Code : {12345u, 999999u, 0x80070000u | 12345u, 0x80004005u}) {
        SCOPED_TRACE(Code);
        EXPECT_EQ(SystemText(Code), std::nullopt);
        EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    }
    EXPECT_TRUE(SystemText(ERROR_ACCESS_DENIED, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
    EXPECT_TRUE(SystemText(ERROR_ACCESS_DENIED, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)));
    EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED, 0x0407), std::nullopt); // German
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);
}

TEST(FormatMessageW, CallerBufferMustHoldTextAndTerminator) {
    const std::wstring Text = L"Access is denied.\r\n";
    const DWORD Exact = static_cast<DWORD>(Text.size() + 1);
    // Exact-size heap buffers: ASan catches a write past the end.
    auto Fits = std::make_unique<wchar_t[]>(Exact);
    EXPECT_EQ(
        FormatMessageW(SystemFlags, nullptr, ERROR_ACCESS_DENIED, 0, Fits.get(), Exact, nullptr),
        Text.size());
    EXPECT_EQ(std::wstring(Fits.get()), Text);
    auto Short = std::make_unique<wchar_t[]>(Exact - 1);
    EXPECT_EQ(FormatMessageW(SystemFlags, nullptr, ERROR_ACCESS_DENIED, 0, Short.get(), Exact - 1,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageW(SystemFlags, nullptr, ERROR_ACCESS_DENIED, 0, nullptr, 100, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // An allocated buffer is at least nSize characters and holds the text.
    LPSTR Allocated = nullptr;
    EXPECT_EQ(FormatMessageA(SystemFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                             ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&Allocated), 64,
                             nullptr),
              Text.size());
    ASSERT_NE(Allocated, nullptr);
    EXPECT_STREQ(Allocated, "Access is denied.\r\n");
    LocalFree(Allocated);
}

TEST(FormatMessageW, MaximumWidthDropsTheLineBreak) {
    wchar_t Buffer[128];
    const DWORD Length = FormatMessageW(SystemFlags | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                                        ERROR_INVALID_PARAMETER, 0, Buffer, 128, nullptr);
    EXPECT_EQ(std::wstring(Buffer, Length), L"The parameter is incorrect.");
}

TEST(FormatMessageW, InsertsAndEscapes) {
    const wchar_t* Name = L"queue";
    const DWORD_PTR Array[] = {reinterpret_cast<DWORD_PTR>(Name), 42, 0xBEEF};
    struct TCase {
        const wchar_t* Format;
        const wchar_t* Expected; // nullptr: must fail
    };
    const TCase Cases[] = {
        {L"%1 has %2!d! items", L"queue has 42 items"},
        {L"%2!04d!|%3!X!|%3!x!|%1!-6s!|", L"0042|BEEF|beef|queue |"},
        {L"100%% sure%.%!%n", L"100% sure.!\r\n"},
        {L"tab%tspace%bend%0 and not this", L"tab\tspace end"},
        {L"%2!d!%1", L"42queue"},
        {L"%1!*d!", nullptr},
        {L"%1!s", nullptr},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(rtl::WideToUtf8(Case.Format));
        wchar_t Buffer[128];
        const DWORD Length = FormatMessageW(
            FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, Case.Format, 0, 0, Buffer,
            128, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(Array)));
        if (Case.Expected == nullptr) {
            EXPECT_EQ(Length, 0u);
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        } else {
            EXPECT_EQ(std::wstring(Buffer, Length), Case.Expected);
        }
    }
    EXPECT_EQ(FormatV(0, L"%1 and %2!u!", L"text", 7u), L"text and 7");
    EXPECT_EQ(FormatV(FORMAT_MESSAGE_IGNORE_INSERTS, L"%1 stays"), L"%1 stays");
    // An insert without any arguments is refused, not read from nowhere.
    wchar_t Buffer[64];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, Buffer,
                             64, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // The A form takes narrow strings.
    const char* Narrow = "narrow";
    const DWORD_PTR NarrowArray[] = {reinterpret_cast<DWORD_PTR>(Narrow)};
    char Out[64];
    const DWORD Length =
        FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "<%1>", 0, 0,
                       Out, 64, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(NarrowArray)));
    EXPECT_EQ(std::string(Out, Length), "<narrow>");
    EXPECT_EQ(FormatMessageW(0, nullptr, 5, 0, Buffer, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(LocalAlloc, ZeroFilledAndFreed) {
    auto* Memory = static_cast<unsigned char*>(LocalAlloc(LPTR, 16));
    ASSERT_NE(Memory, nullptr);
    for (int I = 0; I < 16; ++I) {
        EXPECT_EQ(Memory[I], 0);
    }
    EXPECT_EQ(LocalFree(Memory), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}
