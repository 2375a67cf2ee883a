// Random: cryptographically secure random bytes without a system call per request.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

/// Fills Buffer with Length unpredictable bytes: a ChaCha20 key stream per thread, seeded from
/// the kernel's random source, rekeyed from its own output after every use (so earlier output
/// cannot be recovered from the state), seeded again after 1 MiB and in a forked child. False
/// (nothing written) when the kernel's source fails.
bool RandomBytes(void* Buffer, std::size_t Length) noexcept;

/// The ChaCha20 block function (RFC 8439): 64 bytes of key stream for Key, Counter and Nonce.
void ChaCha20Block(const std::uint32_t Key[8], std::uint32_t Counter, const std::uint32_t Nonce[3],
                   std::uint8_t Out[64]) noexcept;

} // namespace win
