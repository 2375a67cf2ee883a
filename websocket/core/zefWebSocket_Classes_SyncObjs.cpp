// zefWebSocket_Classes_SyncObjs: the re-entrant lock and the list with its own lock.
#include "websocket/core/zefWebSocket_Classes_SyncObjs.h"

#include <cstdio>

namespace zef {

std::string AddressToHex(const void* Item) {
    char Buffer[2 * sizeof(void*) + 1];
    std::snprintf(Buffer, sizeof(Buffer), "%0*llX", int(2 * sizeof(void*)),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(Item)));
    return Buffer;
}

} // namespace zef
