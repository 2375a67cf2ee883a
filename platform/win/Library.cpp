// Library: LoadLibrary and friends over dlopen, with the mapping of Windows library names.
#include "platform/win/Library.h"

#include "platform/rtl/Utf.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <unistd.h>
#include <unordered_map>
#include <windows.h>

namespace win {

namespace {

// The Windows system libraries whose functions this library provides.
constexpr std::string_view SelfNames[] = {"kernel32", "kernelbase", "ntdll",  "ws2_32",
                                          "ole32",    "combase",    "rpcrt4", "oleaut32"};

std::string ExecutablePath() {
    char Path[PATH_MAX];
    const ssize_t Length = readlink("/proc/self/exe", Path, sizeof(Path));
    return Length > 0 ? std::string(Path, static_cast<std::size_t>(Length)) : std::string();
}

/// The modules handed out by LoadLibrary (counted) and GetModuleHandle (count 0): only these
/// reach dlsym and dlclose, so a stray value fails cleanly instead of crashing. Process-wide.
class TModules {
public:
    void Loaded(void* Handle) {
        std::scoped_lock Lock(FLock);
        ++FCounts[Handle];
    }
    void Seen(void* Handle) {
        std::scoped_lock Lock(FLock);
        FCounts.try_emplace(Handle, 0);
    }
    bool Known(void* Handle) {
        std::scoped_lock Lock(FLock);
        return FCounts.contains(Handle);
    }
    /// Drops one LoadLibrary reference; false when there is none.
    bool Release(void* Handle) {
        std::scoped_lock Lock(FLock);
        const auto It = FCounts.find(Handle);
        if (It == FCounts.end() || It->second == 0) {
            return false;
        }
        if (--It->second == 0) {
            FCounts.erase(It);
        }
        // dlclose under the lock: a concurrent LoadLibrary of the same file gets the handle
        // back only after this reference is gone.
        dlclose(Handle);
        return true;
    }

private:
    std::mutex FLock;
    std::unordered_map<void*, long> FCounts; // Guarded by FLock.
};

TModules& Modules() {
    static auto* Instance = new TModules; // Never destroyed: libraries are freed at exit.
    return *Instance;
}

// This library's own file, for dlopen.
std::string SelfPath() {
    Dl_info Info{};
    if (dladdr(reinterpret_cast<void*>(&LoadLibraryW), &Info) == 0 || Info.dli_fname == nullptr) {
        return std::string();
    }
    return Info.dli_fname;
}

void* MainProgram() {
    return dlopen(nullptr, RTLD_NOW);
}

// dlopen of a looked-up name: Flags RTLD_NOW (load) or RTLD_NOW | RTLD_NOLOAD (find).
void* Open(const TLibraryLookup& Lookup, int Flags) {
    if (Lookup.Self) {
        const std::string Path = SelfPath();
        return Path.empty() ? nullptr : dlopen(Path.c_str(), Flags);
    }
    for (const std::string& Candidate : Lookup.Candidates) {
        if (void* Handle = dlopen(Candidate.c_str(), Flags)) {
            return Handle;
        }
    }
    return nullptr;
}

HMODULE Load(const char* Name) noexcept {
    try {
        if (Name == nullptr || *Name == '\0') {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        // FreeLibrary never unmaps: a library's detached threads (or a pool thread that ran its
        // code and holds its thread-local storage) may outlive the last FreeLibrary, and an
        // unmapped library under them is a crash at exit.
        void* Handle =
            Open(LookupLibrary(Name, ExecutableFolder()), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (Handle == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        Modules().Loaded(Handle);
        return Handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::string Narrow(LPCWSTR Text) {
    return Text == nullptr ? std::string() : rtl::WideToUtf8(Text);
}

std::atomic<UINT> ErrorMode{0};

} // namespace

TLibraryLookup LookupLibrary(std::string_view Name, std::string_view ExeFolder) {
    TLibraryLookup Lookup;
    if (Name.find('/') != std::string_view::npos) {
        Lookup.Candidates.emplace_back(Name);
        return Lookup;
    }
    // A Windows path names the file by its last part.
    if (const std::size_t Slash = Name.find_last_of('\\'); Slash != std::string_view::npos) {
        Name.remove_prefix(Slash + 1);
    }
    std::string Base(Name);
    std::transform(Base.begin(), Base.end(), Base.begin(),
                   [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
    if (Base.size() > 4 && Base.ends_with(".dll")) {
        Base.resize(Base.size() - 4);
    }
    if (std::find(std::begin(SelfNames), std::end(SelfNames), Base) != std::end(SelfNames)) {
        Lookup.Self = true;
        return Lookup;
    }
    const std::string File = "lib" + Base + ".so";
    if (!ExeFolder.empty()) {
        Lookup.Candidates.push_back(std::string(ExeFolder) + "/" + File);
    }
    Lookup.Candidates.push_back(File);
    // An installed library of this layer is found by its versioned name (the unversioned link
    // belongs to the development files).
    Lookup.Candidates.push_back(File + "." PLATFORM_SOVERSION);
    return Lookup;
}

std::string ExecutableFolder() {
    std::string Path = ExecutablePath();
    const std::size_t Slash = Path.find_last_of('/');
    return Slash == std::string::npos ? std::string() : Path.substr(0, Slash);
}

} // namespace win

extern "C" {

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) noexcept {
    try {
        if (lpLibFileName == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return win::Load(win::Narrow(lpLibFileName).c_str());
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) noexcept {
    return win::Load(lpLibFileName);
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD /*dwFlags*/) noexcept {
    if (hFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryW(lpLibFileName);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) noexcept {
    try {
        void* Module = hModule;
        if (Module == nullptr) {
            Module = win::MainProgram();
            win::Modules().Seen(Module);
        }
        if (!win::Modules().Known(Module)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        // Lookups by ordinal have no meaning for ELF libraries.
        if (lpProcName == nullptr || IS_INTRESOURCE(lpProcName)) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        void* Symbol = dlsym(Module, lpProcName);
        if (Symbol == nullptr) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(Symbol);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) noexcept {
    try {
        if (hLibModule == nullptr || !win::Modules().Release(hLibModule)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) noexcept {
    try {
        void* Handle = nullptr;
        if (lpModuleName == nullptr) {
            Handle = win::MainProgram();
        } else {
            Handle =
                win::Open(win::LookupLibrary(win::Narrow(lpModuleName), win::ExecutableFolder()),
                          RTLD_NOW | RTLD_NOLOAD);
            if (Handle != nullptr) {
                // RTLD_NOLOAD still counted a reference; GetModuleHandle adds none.
                dlclose(Handle);
            }
        }
        if (Handle == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        win::Modules().Seen(Handle);
        return Handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) noexcept {
    try {
        std::string Path;
        if (hModule != nullptr && hModule != win::MainProgram()) {
            link_map* Map = nullptr;
            if (!win::Modules().Known(hModule) || dlinfo(hModule, RTLD_DI_LINKMAP, &Map) != 0 ||
                Map == nullptr) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return 0;
            }
            Path = Map->l_name;
        }
        if (Path.empty()) {
            Path = win::ExecutablePath();
        }
        const std::wstring Wide = rtl::Utf8ToWide(Path);
        if (lpFilename == nullptr || nSize == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (Wide.size() + 1 > nSize) {
            std::wmemcpy(lpFilename, Wide.c_str(), nSize - 1);
            lpFilename[nSize - 1] = L'\0';
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return nSize;
        }
        std::wmemcpy(lpFilename, Wide.c_str(), Wide.size() + 1);
        return static_cast<DWORD>(Wide.size());
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

UINT WINAPI SetErrorMode(UINT uMode) noexcept {
    return win::ErrorMode.exchange(uMode);
}

UINT WINAPI GetErrorMode() noexcept {
    return win::ErrorMode.load();
}

} // extern "C"
