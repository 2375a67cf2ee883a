// Pylon.Win.Socket: the run-time binding of the socket functions that print client addresses.
#pragma once

#include "platform/rtl/Exception.h"

#include <string>
#include <string_view>
#include <winsock2.h>

namespace pylon {

/// ws2_32.dll lacks a function the host needs.
class EWinSocketException : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EWinSocketException"; }
};

inline constexpr std::string_view SSocketMissingMethod = "ws2_32.dll - Could not find method: ";

/// Loads ws2_32.dll and binds GetNameInfoW and InetPtonW, once per process. False when the
/// library cannot be loaded; throws EWinSocketException for a missing function.
bool LoadSocketLibrary();
/// Loads the library and starts the socket library (version 2.2), once; at program end it is
/// cleaned up again. Safe to call from several threads.
void InitSocketLibrary();
/// The numeric host text of an IPv4 or IPv6 address; "" for any other address, a null one,
/// or when the socket library is not started.
std::string SockAddrToString(const SOCKADDR* Addr);

} // namespace pylon
