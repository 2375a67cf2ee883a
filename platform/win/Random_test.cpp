// Random tests: the block function against the RFC's vector, and what the generator hands out.
#include "platform/win/Random.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

TEST(ChaCha20Block, MatchesTheRfcTestVector) {
    // RFC 8439, 2.3.2: key 00..1f, nonce 00 00 00 09 00 00 00 4a 00 00 00 00, counter 1.
    std::uint32_t Key[8];
    for (int I = 0; I < 8; ++I) {
        const auto Base = static_cast<std::uint32_t>(4 * I);
        Key[I] = Base | (Base + 1) << 8 | (Base + 2) << 16 | (Base + 3) << 24;
    }
    const std::uint32_t Nonce[3] = {0x09000000, 0x4a000000, 0x00000000};
    std::uint8_t Out[64];
    win::ChaCha20Block(Key, 1, Nonce, Out);
    const std::uint8_t Expected[64] = {
        0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3,
        0x20, 0x71, 0xc4, 0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22,
        0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e, 0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa,
        0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2, 0xb5, 0x12, 0x9c, 0xd1,
        0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e};
    EXPECT_EQ(std::memcmp(Out, Expected, sizeof(Out)), 0);
}

// Requests of every size across the refill boundary give distinct output that covers every
// byte value about evenly; a rough check that no piece of the stream is handed out twice or
// left zero.
TEST(RandomBytes, DistinctAcrossRefillsAndEvenlySpread) {
    std::set<std::array<std::uint8_t, 16>> Seen;
    std::array<std::size_t, 256> Counts{};
    std::size_t Total = 0;
    for (std::size_t Size = 1; Size <= 2100; Size += 7) {
        std::vector<std::uint8_t> Bytes(Size + 1, 0xA5);
        ASSERT_TRUE(win::RandomBytes(Bytes.data(), Size));
        EXPECT_EQ(Bytes[Size], 0xA5) << "wrote past the end at " << Size;
        for (std::size_t I = 0; I < Size; ++I) {
            ++Counts[Bytes[I]];
        }
        Total += Size;
        if (Size >= 16) {
            std::array<std::uint8_t, 16> Head;
            std::memcpy(Head.data(), Bytes.data(), 16);
            EXPECT_TRUE(Seen.insert(Head).second) << "repeated output at " << Size;
        }
    }
    for (const std::size_t Count : Counts) {
        EXPECT_GT(Count, Total / 256 / 2);
        EXPECT_LT(Count, Total / 256 * 2);
    }
}

// Two threads, and a forked child and its parent, never share output.
TEST(RandomBytes, ThreadsAndForkedChildrenDiffer) {
    std::array<std::uint8_t, 32> Main{}, Other{};
    ASSERT_TRUE(win::RandomBytes(Main.data(), Main.size())); // seeds this thread
    std::thread([&] { win::RandomBytes(Other.data(), Other.size()); }).join();
    EXPECT_NE(Main, Other);
    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    const pid_t Child = fork();
    ASSERT_GE(Child, 0);
    std::array<std::uint8_t, 32> Mine{};
    win::RandomBytes(Mine.data(), Mine.size());
    if (Child == 0) {
        [[maybe_unused]] const ssize_t Written = write(Pipe[1], Mine.data(), Mine.size());
        _exit(0);
    }
    std::array<std::uint8_t, 32> Theirs{};
    ASSERT_EQ(read(Pipe[0], Theirs.data(), Theirs.size()), static_cast<ssize_t>(Theirs.size()));
    waitpid(Child, nullptr, 0);
    close(Pipe[0]);
    close(Pipe[1]);
    EXPECT_NE(Mine, Theirs);
}
