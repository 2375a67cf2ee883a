// Resources: the registry of the raw-data resources embedded into a program at build time.
#include "platform/win/Resources.h"

#include <cwctype>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace win {

namespace {

/// One resource; its address is the HRSRC, so entries are never moved or removed.
struct TResource {
    const void* Data;
    DWORD Size;
};

std::wstring UpperCase(const wchar_t* Name) {
    std::wstring Upper(Name);
    for (wchar_t& C : Upper) {
        C = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(C)));
    }
    return Upper;
}

/// Filled during static initialisation, read by any thread afterwards.
class TResourceRegistry {
public:
    void Add(const wchar_t* Name, const void* Data, std::size_t Size) {
        std::scoped_lock Lock(FLock);
        FResources.try_emplace(UpperCase(Name), std::make_unique<TResource>(
                                                    TResource{Data, static_cast<DWORD>(Size)}));
    }
    const TResource* Find(const wchar_t* Name) {
        const std::wstring Key = UpperCase(Name);
        std::scoped_lock Lock(FLock);
        const auto It = FResources.find(Key);
        return It == FResources.end() ? nullptr : It->second.get();
    }
    bool Owns(const void* Resource) {
        std::scoped_lock Lock(FLock);
        for (const auto& [Name, Entry] : FResources) {
            if (Entry.get() == Resource) {
                return true;
            }
        }
        return false;
    }

private:
    std::mutex FLock;
    std::unordered_map<std::wstring, std::unique_ptr<TResource>> FResources; // Guarded by FLock.
};

TResourceRegistry& Registry() {
    // Created on first use, as registrations run from other libraries' static initialisers.
    static auto* Instance = new TResourceRegistry;
    return *Instance;
}

} // namespace

void RegisterResource(const wchar_t* Name, const void* Data, std::size_t Size) noexcept {
    try {
        Registry().Add(Name, Data, Size);
    } catch (...) {
        // Out of memory during start-up: the resource is simply not found later.
    }
}

} // namespace win

extern "C" {

HRSRC WINAPI FindResourceW(HMODULE /*hModule*/, LPCWSTR lpName, LPCWSTR lpType) noexcept {
    if (lpType != RT_RCDATA) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    // Resources are embedded by file name; numbered ones do not exist.
    if (lpName == nullptr || IS_INTRESOURCE(lpName)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    try {
        const win::TResource* Resource = win::Registry().Find(lpName);
        if (Resource == nullptr) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        return const_cast<win::TResource*>(Resource);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HGLOBAL WINAPI LoadResource(HMODULE /*hModule*/, HRSRC hResInfo) noexcept {
    if (hResInfo == nullptr || !win::Registry().Owns(hResInfo)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void*>(static_cast<const win::TResource*>(hResInfo)->Data);
}

LPVOID WINAPI LockResource(HGLOBAL hResData) noexcept {
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE /*hModule*/, HRSRC hResInfo) noexcept {
    if (hResInfo == nullptr || !win::Registry().Owns(hResInfo)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<const win::TResource*>(hResInfo)->Size;
}

BOOL WINAPI FreeResource(HGLOBAL /*hResData*/) noexcept {
    return FALSE;
}

} // extern "C"
