// combaseapi.h: component-object library start-up and GUID creation and formatting.
#pragma once

#include <windows.h>

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
#ifdef __cplusplus
typedef const GUID& REFGUID;
#else
typedef const GUID* REFGUID;
#endif
typedef GUID IID;
typedef GUID CLSID;

#define S_OK WINAPI_CAST(HRESULT, 0L)
#define S_FALSE WINAPI_CAST(HRESULT, 1L)
#define E_POINTER WINAPI_CAST(HRESULT, 0x80004003L)
#define E_INVALIDARG WINAPI_CAST(HRESULT, 0x80070057L)
#define E_OUTOFMEMORY WINAPI_CAST(HRESULT, 0x8007000EL)
#define RPC_E_CHANGED_MODE WINAPI_CAST(HRESULT, 0x80010106L)
#define SUCCEEDED(hr) (WINAPI_CAST(HRESULT, hr) >= 0)
#define FAILED(hr) (WINAPI_CAST(HRESULT, hr) < 0)

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

WINAPI_BEGIN_C
/// Initialises the library on the calling thread (apartment model): S_OK the first time, S_FALSE
/// when it already is, RPC_E_CHANGED_MODE when it is in the other model. Every success needs
/// one CoUninitialize.
HRESULT WINAPI CoInitialize(LPVOID pvReserved) WINAPI_NOTHROW;
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) WINAPI_NOTHROW;
void WINAPI CoUninitialize(void) WINAPI_NOTHROW;
/// A fresh random (version 4) GUID: S_OK, or E_POINTER / E_FAIL-like codes on failure.
WINAPI_NODISCARD HRESULT WINAPI CoCreateGuid(GUID* pguid) WINAPI_NOTHROW;
/// The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case): the characters
/// stored including the terminator (39), or 0 when cchMax is smaller than that.
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) WINAPI_NOTHROW;
WINAPI_END_C
