// Files: the file handle of CreateFile, ReadFile and WriteFile over a POSIX descriptor.
#pragma once

#include "platform/win/Handles.h"

#include <string>

namespace win {

/// An open file. The descriptor lives as long as the object: CloseHandle drops the table's
/// reference, and whoever still holds one (the HTTP Server API sending a file chunk) reads on.
/// Reads and writes at the file position are serialised by the descriptor itself; pread users
/// leave the position alone. Safe for concurrent use.
class TFile final : public THandleObject {
public:
    TFile(int Fd, DWORD Access, std::string Path, bool DeleteOnClose) noexcept
        : FFd(Fd)
        , FAccess(Access)
        , FPath(std::move(Path))
        , FDeleteOnClose(DeleteOnClose) {}
    ~TFile() override;
    void Close() noexcept override;

    int Fd() const noexcept { return FFd; }
    bool CanRead() const noexcept { return (FAccess & (GENERIC_READ | GENERIC_ALL)) != 0; }
    bool CanWrite() const noexcept { return (FAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0; }

private:
    const int FFd; // Owned.
    const DWORD FAccess;
    const std::string FPath;
    const bool FDeleteOnClose;
};

} // namespace win
