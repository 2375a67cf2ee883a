// Files tests: CreateFile's dispositions and errors, reads and writes, positions, sizes,
// deletion and temporary names, on a private temporary folder.
#include "platform/win/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

/// A fresh folder, removed with everything in it at the end.
class TFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string Template = (fs::temp_directory_path() / "win-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(Template.data()), nullptr);
        FFolder = Template;
    }
    void TearDown() override {
        std::error_code Ignored;
        fs::remove_all(FFolder, Ignored);
    }
    std::wstring Wide(const std::string& Name) const {
        const std::string Path = (FFolder / Name).string();
        return std::wstring(Path.begin(), Path.end());
    }
    std::string Read(const std::string& Name) const {
        std::ifstream In(FFolder / Name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(In), {});
    }
    void Write(const std::string& Name, const std::string& Text) const {
        std::ofstream(FFolder / Name, std::ios::binary) << Text;
    }

    fs::path FFolder;
};

struct TDispositionCase {
    const char* Name;
    DWORD Disposition;
    bool Exists;
    bool Opens;
    DWORD Error;           // the last error after the call
    const char* Remaining; // the file's content afterwards (it held "old" when it existed)
};

constexpr TDispositionCase DispositionCases[] = {
    {"create new, absent", CREATE_NEW, false, true, ERROR_SUCCESS, ""},
    {"create new, present", CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
    {"create always, absent", CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
    {"create always, present", CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
    {"open always, absent", OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
    {"open always, present", OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
    {"open existing, absent", OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
    {"open existing, present", OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
    {"truncate existing, absent", TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
    {"truncate existing, present", TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
    {"unknown disposition", 9, true, false, ERROR_INVALID_PARAMETER, "old"},
};

} // namespace

TEST_F(TFilesTest, CreateFileDispositions) {
    for (const TDispositionCase& Case : DispositionCases) {
        SCOPED_TRACE(Case.Name);
        const std::string Name =
            std::string("f") + std::to_string(Case.Disposition) + (Case.Exists ? "e" : "a");
        if (Case.Exists) {
            Write(Name, "old");
        }
        const HANDLE File = CreateFileW(Wide(Name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, Case.Disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(GetLastError(), Case.Error);
        EXPECT_EQ(File != INVALID_HANDLE_VALUE, Case.Opens);
        if (File != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(File));
        }
        if (Case.Remaining == nullptr) {
            EXPECT_FALSE(fs::exists(FFolder / Name));
        } else {
            EXPECT_EQ(Read(Name), Case.Remaining);
        }
    }
}

TEST_F(TFilesTest, WriteSeekReadAndSize) {
    const HANDLE File = CreateFileA((FFolder / "data").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    DWORD Written = 0;
    ASSERT_TRUE(WriteFile(File, "hello, file", 11, &Written, nullptr));
    EXPECT_EQ(Written, 11u);
    LARGE_INTEGER Size{};
    ASSERT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, 11);
    LARGE_INTEGER Move{};
    Move.QuadPart = 7;
    LARGE_INTEGER At{};
    ASSERT_TRUE(SetFilePointerEx(File, Move, &At, FILE_BEGIN));
    EXPECT_EQ(At.QuadPart, 7);
    char Buffer[16] = {};
    DWORD Read = 0;
    ASSERT_TRUE(ReadFile(File, Buffer, sizeof(Buffer), &Read, nullptr));
    EXPECT_EQ(std::string(Buffer, Read), "file");
    // At the end: success with nothing.
    ASSERT_TRUE(ReadFile(File, Buffer, sizeof(Buffer), &Read, nullptr));
    EXPECT_EQ(Read, 0u);
    Move.QuadPart = -20;
    EXPECT_FALSE(SetFilePointerEx(File, Move, nullptr, FILE_END));
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_TRUE(FlushFileBuffers(File));
    EXPECT_TRUE(CloseHandle(File));
    EXPECT_EQ(this->Read("data"), "hello, file");
}

TEST_F(TFilesTest, AccessIsChecked) {
    Write("ro", "abc");
    const HANDLE ReadOnly = CreateFileW(Wide("ro").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(ReadOnly, INVALID_HANDLE_VALUE);
    DWORD Count = 0;
    EXPECT_FALSE(WriteFile(ReadOnly, "x", 1, &Count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    OVERLAPPED Overlapped{};
    char Byte = 0;
    EXPECT_FALSE(ReadFile(ReadOnly, &Byte, 1, &Count, &Overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ReadFile(ReadOnly, nullptr, 1, &Count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
    CloseHandle(ReadOnly);
    const HANDLE WriteOnly =
        CreateFileW(Wide("ro").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(WriteOnly, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(WriteOnly, &Byte, 1, &Count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(WriteOnly);
    EXPECT_FALSE(ReadFile(WriteOnly, &Byte, 1, &Count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(TFilesTest, BadNamesFoldersAndOverlappedAreRefused) {
    struct TCase {
        const char* Name;
        std::wstring File;
        DWORD Flags;
        DWORD Error;
    };
    const TCase Cases[] = {
        {"empty name", L"", 0, ERROR_PATH_NOT_FOUND},
        {"a folder", Wide(""), 0, ERROR_ACCESS_DENIED},
        {"missing folder", Wide("missing/file"), 0, ERROR_FILE_NOT_FOUND},
        {"overlapped", Wide("x"), FILE_FLAG_OVERLAPPED, ERROR_NOT_SUPPORTED},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(CreateFileW(Case.File.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, Case.Flags,
                              nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), Case.Error);
    }
    EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(TFilesTest, DeleteFileAndDeleteOnClose) {
    Write("gone", "x");
    EXPECT_TRUE(DeleteFileW(Wide("gone").c_str()));
    EXPECT_FALSE(fs::exists(FFolder / "gone"));
    EXPECT_FALSE(DeleteFileW(Wide("gone").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    fs::create_directory(FFolder / "sub");
    EXPECT_FALSE(DeleteFileA((FFolder / "sub").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    const HANDLE Temporary = CreateFileW(Wide("temp").c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(Temporary, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(fs::exists(FFolder / "temp"));
    // A reference held elsewhere (the HTTP Server API sending it) keeps the descriptor open.
    auto Held = win::ReferenceHandleAs<win::TFile>(Temporary);
    ASSERT_NE(Held, nullptr);
    EXPECT_TRUE(CloseHandle(Temporary));
    EXPECT_FALSE(fs::exists(FFolder / "temp"));
    EXPECT_EQ(write(Held->Fd(), "y", 1), 1);
}

TEST_F(TFilesTest, TempFileNames) {
    WCHAR Name[MAX_PATH];
    // A given number makes the name only.
    const std::wstring Folder = Wide("");
    EXPECT_EQ(GetTempFileNameW(Folder.c_str(), L"New_file", 0x1AB, Name), 0x1ABu);
    EXPECT_EQ(std::wstring(Name), Folder + L"New1AB.TMP");
    EXPECT_FALSE(fs::exists(FFolder / "New1AB.TMP"));
    EXPECT_EQ(GetTempFileNameW(Folder.c_str(), L"ab", 0x12345, Name), 0x2345u); // 16 bits
    EXPECT_EQ(std::wstring(Name), Folder + L"ab2345.TMP");
    // Number 0: a fresh name, created, never the same twice.
    WCHAR Second[MAX_PATH];
    const UINT First = GetTempFileNameW(Folder.c_str(), L"tmp", 0, Name);
    ASSERT_NE(First, 0u);
    ASSERT_NE(GetTempFileNameW(Folder.c_str(), L"tmp", 0, Second), 0u);
    EXPECT_NE(std::wstring(Name), std::wstring(Second));
    const std::string Narrow(Name, Name + std::wcslen(Name));
    EXPECT_TRUE(fs::exists(Narrow));
    EXPECT_EQ(fs::file_size(Narrow), 0u);
    // A folder that does not exist, and a name longer than MAX_PATH - 1.
    EXPECT_EQ(GetTempFileNameW(Wide("missing").c_str(), L"x", 0, Name), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    char Short[MAX_PATH];
    const std::string Long(MAX_PATH - 8, 'd'); // "d...d/ab1.TMP": MAX_PATH characters
    EXPECT_EQ(GetTempFileNameA(Long.c_str(), "ab", 1, Short), 0u);
    EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
    const std::string Fits(MAX_PATH - 9, 'd'); // MAX_PATH - 1 characters and the terminator
    EXPECT_EQ(GetTempFileNameA(Fits.c_str(), "ab", 1, Short), 1u);
    EXPECT_EQ(std::strlen(Short), std::size_t(MAX_PATH - 1));
}
