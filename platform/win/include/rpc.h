// rpc.h: UUID creation of the RPC run-time library.
#pragma once

#include <windows.h>

typedef long RPC_STATUS;

#define RPC_S_OK 0L
#define RPC_S_UUID_NO_ADDRESS 1739L
#define RPC_S_INVALID_ARG 87L

WINAPI_BEGIN_C
/// A fresh random (version 4) UUID from the kernel's random source: RPC_S_OK, or
/// RPC_S_INVALID_ARG for nullptr, or RPC_S_UUID_NO_ADDRESS when no random bytes can be read.
WINAPI_NODISCARD RPC_STATUS WINAPI UuidCreate(UUID* Uuid) WINAPI_NOTHROW;
WINAPI_END_C
