// Handles tests: the handle table, CloseHandle, the per-thread last error and errno mapping.
#include "platform/win/Handles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <thread>

namespace {

/// Counts its Close() calls.
class TCountingObject final : public win::THandleObject {
public:
    void Close() noexcept override { ++Closed; }
    int Closed = 0;
};

} // namespace

TEST(HandleTable, RegisterReferenceAndCloseOnce) {
    auto Object = std::make_shared<TCountingObject>();
    HANDLE Handle = win::RegisterHandle(Object);
    ASSERT_NE(Handle, nullptr);
    EXPECT_EQ(win::ReferenceHandle(Handle), Object);
    EXPECT_EQ(win::ReferenceHandleAs<TCountingObject>(Handle), Object);
    ASSERT_TRUE(CloseHandle(Handle));
    EXPECT_EQ(Object->Closed, 1);
    EXPECT_EQ(win::ReferenceHandle(Handle), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(Handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Object->Closed, 1);
    EXPECT_EQ(win::RegisterHandle(nullptr), nullptr);
}

TEST(HandleTable, HandlesAreNeverReused) {
    std::set<HANDLE> Seen;
    for (int I = 0; I < 100; ++I) {
        HANDLE Handle = win::RegisterHandle(std::make_shared<TCountingObject>());
        ASSERT_NE(Handle, nullptr);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(Handle) % 4, 0u);
        EXPECT_TRUE(Seen.insert(Handle).second);
        CloseHandle(Handle);
    }
}

TEST(HandleTable, ReferenceAsTheWrongTypeFails) {
    HANDLE Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(win::ReferenceHandleAs<TCountingObject>(Event), nullptr);
    auto Object = win::UnregisterHandle(Event);
    EXPECT_NE(Object, nullptr);
    EXPECT_EQ(win::UnregisterHandle(Event), nullptr);
}

TEST(LastError, IsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD Other = 0;
    std::thread([&] {
        Other = GetLastError();
        SetLastError(ERROR_NOT_FOUND);
    }).join();
    EXPECT_EQ(Other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(ErrnoToWin32, CaseTable) {
    struct TCase {
        int Errno;
        DWORD Code;
    };
    const TCase Cases[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED},
        {EADDRINUSE, ERROR_SHARING_VIOLATION},
        {EINVAL, ERROR_INVALID_PARAMETER},
        {ECONNRESET, ERROR_CONNECTION_INVALID},
        {ECONNABORTED, ERROR_CONNECTION_ABORTED},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {ECANCELED, ERROR_OPERATION_ABORTED},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {EXDEV, ERROR_INTERNAL_ERROR},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Errno);
        EXPECT_EQ(win::ErrnoToWin32(Case.Errno), Case.Code);
    }
}
