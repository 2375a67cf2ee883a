// Loopback: the socket chores every network test shares: a bounded connect, a free port, whether
// a port is taken, and this process's open descriptors.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace testsupport {

/// A TCP socket connected to aHost (an IPv4 literal) and aPort within aTimeout: close-on-exec,
/// TCP_NODELAY, blocking. aReceiveBuffer (bytes; 0 keeps the system's) is set before the
/// connection is made, so that the window offered to the peer is that small from the start. Its
/// descriptor, or -1 when the connection could not be made.
int ConnectTcp(std::uint16_t aPort, std::chrono::milliseconds aTimeout = std::chrono::seconds(30),
               const std::string& aHost = "127.0.0.1", int aReceiveBuffer = 0);
/// A TCP port that was free on every address a moment ago (bound to port 0 and released; a
/// caller that loses it to another program retries). 0 when none could be had.
std::uint16_t FreePort();
/// Whether something accepts TCP connections on 127.0.0.1:aPort.
bool PortAcceptsConnections(std::uint16_t aPort);
/// Open descriptors of this process.
int OpenDescriptorCount();

} // namespace testsupport
