// Memory: the process heap (GetProcessHeap, HeapAlloc and friends) over the C library's allocator.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <windows.h>

namespace {

// The process heap's handle: a fixed value that no handle of the table ever takes (those count
// up from the bottom; the pseudo-handles of the process and the thread are -1 and -2).
HANDLE const ProcessHeap = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-3));

// Every block starts with a header that keeps the size asked for (HeapSize), 16 bytes so that
// the caller's part keeps malloc's alignment.
struct alignas(16) THeader {
    SIZE_T Size;
};

THeader* HeaderOf(LPCVOID Block) noexcept {
    return reinterpret_cast<THeader*>(const_cast<char*>(static_cast<const char*>(Block))) - 1;
}

constexpr SIZE_T MaxBlock = std::numeric_limits<SIZE_T>::max() / 2 - sizeof(THeader);

bool KnownHeap(HANDLE Heap) noexcept {
    if (Heap != ProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

HANDLE WINAPI GetProcessHeap() noexcept {
    return ProcessHeap;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) noexcept {
    if (!KnownHeap(hHeap)) {
        return nullptr;
    }
    if (dwBytes > MaxBlock) {
        return nullptr; // as on Windows, a failed allocation sets no error code
    }
    void* Raw = (dwFlags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, sizeof(THeader) + dwBytes)
                                                  : std::malloc(sizeof(THeader) + dwBytes);
    if (Raw == nullptr) {
        return nullptr;
    }
    auto* Header = static_cast<THeader*>(Raw);
    Header->Size = dwBytes;
    return Header + 1;
}

LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) noexcept {
    if (!KnownHeap(hHeap)) {
        return nullptr;
    }
    if (lpMem == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    THeader* Header = HeaderOf(lpMem);
    const SIZE_T Old = Header->Size;
    if (dwBytes > MaxBlock || ((dwFlags & HEAP_REALLOC_IN_PLACE_ONLY) != 0 && dwBytes > Old)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if ((dwFlags & HEAP_REALLOC_IN_PLACE_ONLY) != 0) {
        Header->Size = dwBytes; // shrinking keeps the block where it is
        return lpMem;
    }
    void* Raw = std::realloc(Header, sizeof(THeader) + dwBytes);
    if (Raw == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Header = static_cast<THeader*>(Raw);
    Header->Size = dwBytes;
    char* Block = reinterpret_cast<char*>(Header + 1);
    if ((dwFlags & HEAP_ZERO_MEMORY) != 0 && dwBytes > Old) {
        std::memset(Block + Old, 0, dwBytes - Old);
    }
    return Block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD /*dwFlags*/, LPVOID lpMem) noexcept {
    if (!KnownHeap(hHeap)) {
        return FALSE;
    }
    if (lpMem != nullptr) {
        std::free(HeaderOf(lpMem));
    }
    return TRUE;
}

SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD /*dwFlags*/, LPCVOID lpMem) noexcept {
    if (!KnownHeap(hHeap)) {
        return static_cast<SIZE_T>(-1);
    }
    if (lpMem == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<SIZE_T>(-1);
    }
    return HeaderOf(lpMem)->Size;
}

} // extern "C"
