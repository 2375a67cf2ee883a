// Memory tests: the process heap and the Rtl*Memory macros.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <windows.h>

TEST(ProcessHeap, AllocZeroResizeAndFree) {
    const HANDLE Heap = GetProcessHeap();
    ASSERT_NE(Heap, nullptr);
    EXPECT_EQ(GetProcessHeap(), Heap);
    auto* Block = static_cast<unsigned char*>(HeapAlloc(Heap, HEAP_ZERO_MEMORY, 100));
    ASSERT_NE(Block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(Block) % 16, 0u);
    EXPECT_EQ(HeapSize(Heap, 0, Block), 100u);
    for (int I = 0; I < 100; ++I) {
        ASSERT_EQ(Block[I], 0) << I;
    }
    std::memset(Block, 0xAB, 100);
    Block = static_cast<unsigned char*>(HeapReAlloc(Heap, HEAP_ZERO_MEMORY, Block, 300));
    ASSERT_NE(Block, nullptr);
    EXPECT_EQ(HeapSize(Heap, 0, Block), 300u);
    EXPECT_EQ(Block[99], 0xAB);
    EXPECT_EQ(Block[100], 0);
    EXPECT_EQ(Block[299], 0);
    // Growing in place is refused and leaves the block as it was; shrinking in place works.
    EXPECT_EQ(HeapReAlloc(Heap, HEAP_REALLOC_IN_PLACE_ONLY, Block, 301), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(HeapReAlloc(Heap, HEAP_REALLOC_IN_PLACE_ONLY, Block, 10), Block);
    EXPECT_EQ(HeapSize(Heap, 0, Block), 10u);
    EXPECT_TRUE(HeapFree(Heap, 0, Block));
    EXPECT_TRUE(HeapFree(Heap, 0, nullptr));
}

TEST(ProcessHeap, ZeroBytesAndImpossibleSizes) {
    const HANDLE Heap = GetProcessHeap();
    void* Empty = HeapAlloc(Heap, 0, 0);
    ASSERT_NE(Empty, nullptr);
    EXPECT_EQ(HeapSize(Heap, 0, Empty), 0u);
    EXPECT_TRUE(HeapFree(Heap, 0, Empty));
    EXPECT_EQ(HeapAlloc(Heap, 0, static_cast<SIZE_T>(-1)), nullptr);
    EXPECT_EQ(HeapAlloc(Heap, HEAP_GENERATE_EXCEPTIONS, static_cast<SIZE_T>(-1) / 2), nullptr);
}

TEST(ProcessHeap, OtherHandlesAreRefused) {
    const HANDLE NotAHeap = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(HeapAlloc(NotAHeap, 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(HeapFree(NotAHeap, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(GetProcessHeap()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(MemoryMacros, ZeroFillCopyAndMove) {
    char Buffer[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    ZeroMemory(Buffer, 2);
    EXPECT_EQ(std::memcmp(Buffer, "\0\0cdefgh", 8), 0);
    FillMemory(Buffer, 3, 'x');
    EXPECT_EQ(std::memcmp(Buffer, "xxxdefgh", 8), 0);
    CopyMemory(Buffer + 4, "1234", 4);
    EXPECT_EQ(std::memcmp(Buffer, "xxxd1234", 8), 0);
    MoveMemory(Buffer + 1, Buffer, 7); // overlapping
    EXPECT_EQ(std::memcmp(Buffer, "xxxxd123", 8), 0);
    RtlZeroMemory(Buffer, sizeof(Buffer));
    EXPECT_EQ(std::memcmp(Buffer, "\0\0\0\0\0\0\0\0", 8), 0);
    EXPECT_EQ(SecureZeroMemory(Buffer, 0), Buffer);
}
