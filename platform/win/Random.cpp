// Random: cryptographically secure random bytes without a system call per request.
#include "platform/win/Random.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <sys/random.h>
#include <unistd.h>

namespace win {

namespace {

constexpr std::size_t Blocks = 16; // key stream made at once: 1 KiB
constexpr std::size_t KeyBytes = 32;
constexpr std::size_t NonceBytes = 12;
constexpr std::size_t ReseedAfter = 1 << 20; // bytes handed out before the kernel is asked again

std::uint32_t Rotate(std::uint32_t Value, int Bits) noexcept {
    return (Value << Bits) | (Value >> (32 - Bits));
}

void QuarterRound(std::uint32_t* S, int A, int B, int C, int D) noexcept {
    S[A] += S[B];
    S[D] = Rotate(S[D] ^ S[A], 16);
    S[C] += S[D];
    S[B] = Rotate(S[B] ^ S[C], 12);
    S[A] += S[B];
    S[D] = Rotate(S[D] ^ S[A], 8);
    S[C] += S[D];
    S[B] = Rotate(S[B] ^ S[C], 7);
}

std::uint32_t LoadLittle(const std::uint8_t* Bytes) noexcept {
    return std::uint32_t(Bytes[0]) | std::uint32_t(Bytes[1]) << 8 | std::uint32_t(Bytes[2]) << 16 |
           std::uint32_t(Bytes[3]) << 24;
}

bool KernelRandom(std::uint8_t* Buffer, std::size_t Length) noexcept {
    std::size_t Filled = 0;
    while (Filled < Length) {
        const ssize_t Got = getrandom(Buffer + Filled, Length - Filled, 0);
        if (Got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        Filled += static_cast<std::size_t>(Got);
    }
    return true;
}

/// One thread's generator. The key and nonce of the next batch are taken from the start of the
/// current one, and every byte handed out is wiped from the buffer.
struct TGenerator {
    std::uint8_t Stream[Blocks * 64];
    std::size_t Next = sizeof(Stream); // first unused byte of Stream
    std::uint32_t Key[8] = {};
    std::uint32_t Nonce[3] = {};
    std::size_t SinceSeed = 0;
    pid_t Pid = 0;
    bool Seeded = false;

    ~TGenerator() {
        // Nothing of the key stream outlives the thread.
        volatile std::uint8_t* Bytes = Stream;
        for (std::size_t I = 0; I < sizeof(Stream); ++I) {
            Bytes[I] = 0;
        }
    }

    bool Seed() noexcept {
        std::uint8_t Fresh[KeyBytes + NonceBytes];
        if (!KernelRandom(Fresh, sizeof(Fresh))) {
            return false;
        }
        for (int I = 0; I < 8; ++I) {
            Key[I] ^= LoadLittle(Fresh + 4 * I);
        }
        for (int I = 0; I < 3; ++I) {
            Nonce[I] ^= LoadLittle(Fresh + KeyBytes + 4 * I);
        }
        std::memset(Fresh, 0, sizeof(Fresh));
        Pid = getpid();
        SinceSeed = 0;
        Seeded = true;
        Next = sizeof(Stream); // what was made from the old key is dropped
        return true;
    }

    void Refill() noexcept {
        for (std::uint32_t Block = 0; Block < Blocks; ++Block) {
            ChaCha20Block(Key, Block, Nonce, Stream + 64 * Block);
        }
        // Fast key erasure: the next key and nonce come from this batch and are never handed
        // out, so the state after a call reveals nothing of what it produced before.
        for (int I = 0; I < 8; ++I) {
            Key[I] = LoadLittle(Stream + 4 * I);
        }
        for (int I = 0; I < 3; ++I) {
            Nonce[I] = LoadLittle(Stream + KeyBytes + 4 * I);
        }
        std::memset(Stream, 0, KeyBytes + NonceBytes);
        Next = KeyBytes + NonceBytes;
    }

    bool Fill(std::uint8_t* Out, std::size_t Length) noexcept {
        if (!Seeded || SinceSeed >= ReseedAfter || Pid != getpid()) {
            if (!Seed()) {
                return false;
            }
        }
        SinceSeed += Length;
        while (Length > 0) {
            if (Next == sizeof(Stream)) {
                Refill();
            }
            const std::size_t Take = std::min(Length, sizeof(Stream) - Next);
            std::memcpy(Out, Stream + Next, Take);
            std::memset(Stream + Next, 0, Take);
            Next += Take;
            Out += Take;
            Length -= Take;
        }
        return true;
    }
};

} // namespace

void ChaCha20Block(const std::uint32_t Key[8], std::uint32_t Counter, const std::uint32_t Nonce[3],
                   std::uint8_t Out[64]) noexcept {
    const std::uint32_t Initial[16] = {
        0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, Key[0],  Key[1],   Key[2],   Key[3],
        Key[4],     Key[5],     Key[6],     Key[7],     Counter, Nonce[0], Nonce[1], Nonce[2]};
    std::uint32_t State[16];
    std::memcpy(State, Initial, sizeof(State));
    for (int Round = 0; Round < 10; ++Round) {
        QuarterRound(State, 0, 4, 8, 12);
        QuarterRound(State, 1, 5, 9, 13);
        QuarterRound(State, 2, 6, 10, 14);
        QuarterRound(State, 3, 7, 11, 15);
        QuarterRound(State, 0, 5, 10, 15);
        QuarterRound(State, 1, 6, 11, 12);
        QuarterRound(State, 2, 7, 8, 13);
        QuarterRound(State, 3, 4, 9, 14);
    }
    for (int I = 0; I < 16; ++I) {
        const std::uint32_t Word = State[I] + Initial[I];
        Out[4 * I] = static_cast<std::uint8_t>(Word);
        Out[4 * I + 1] = static_cast<std::uint8_t>(Word >> 8);
        Out[4 * I + 2] = static_cast<std::uint8_t>(Word >> 16);
        Out[4 * I + 3] = static_cast<std::uint8_t>(Word >> 24);
    }
}

bool RandomBytes(void* Buffer, std::size_t Length) noexcept {
    // On the heap: the static TLS block stays small.
    thread_local std::unique_ptr<TGenerator> Generator;
    if (!Generator) {
        Generator.reset(new (std::nothrow) TGenerator);
        if (!Generator) {
            auto* Bytes = static_cast<std::uint8_t*>(Buffer);
            return KernelRandom(Bytes, Length); // out of memory: straight from the kernel
        }
    }
    return Generator->Fill(static_cast<std::uint8_t*>(Buffer), Length);
}

} // namespace win
