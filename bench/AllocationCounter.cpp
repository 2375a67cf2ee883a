// AllocationCounter: replacement global operator new/delete that count allocations.
#include "bench/AllocationCounter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// Relaxed: the counters are read by the thread that made the allocations it measures.
std::atomic<std::uint64_t> GAllocations{0};
std::atomic<std::uint64_t> GAllocatedBytes{0};

void* Allocate(std::size_t Size, std::size_t Alignment) noexcept {
    GAllocations.fetch_add(1, std::memory_order_relaxed);
    GAllocatedBytes.fetch_add(Size, std::memory_order_relaxed);
    if (Size == 0) {
        Size = 1;
    }
    if (Alignment <= alignof(std::max_align_t)) {
        return std::malloc(Size);
    }
    // aligned_alloc wants a size that is a multiple of the alignment.
    return std::aligned_alloc(Alignment, (Size + Alignment - 1) / Alignment * Alignment);
}

void* AllocateOrThrow(std::size_t Size, std::size_t Alignment) {
    void* Memory = Allocate(Size, Alignment);
    if (!Memory) {
        throw std::bad_alloc();
    }
    return Memory;
}

} // namespace

namespace bench {

std::uint64_t AllocationCount() noexcept {
    return GAllocations.load(std::memory_order_relaxed);
}

std::uint64_t AllocatedBytes() noexcept {
    return GAllocatedBytes.load(std::memory_order_relaxed);
}

} // namespace bench

void* operator new(std::size_t Size) {
    return AllocateOrThrow(Size, 0);
}
void* operator new[](std::size_t Size) {
    return AllocateOrThrow(Size, 0);
}
void* operator new(std::size_t Size, std::align_val_t Alignment) {
    return AllocateOrThrow(Size, std::size_t(Alignment));
}
void* operator new[](std::size_t Size, std::align_val_t Alignment) {
    return AllocateOrThrow(Size, std::size_t(Alignment));
}
void* operator new(std::size_t Size, const std::nothrow_t&) noexcept {
    return Allocate(Size, 0);
}
void* operator new[](std::size_t Size, const std::nothrow_t&) noexcept {
    return Allocate(Size, 0);
}
void* operator new(std::size_t Size, std::align_val_t Alignment, const std::nothrow_t&) noexcept {
    return Allocate(Size, std::size_t(Alignment));
}
void* operator new[](std::size_t Size, std::align_val_t Alignment, const std::nothrow_t&) noexcept {
    return Allocate(Size, std::size_t(Alignment));
}

void operator delete(void* Memory) noexcept {
    std::free(Memory);
}
void operator delete[](void* Memory) noexcept {
    std::free(Memory);
}
void operator delete(void* Memory, std::size_t) noexcept {
    std::free(Memory);
}
void operator delete[](void* Memory, std::size_t) noexcept {
    std::free(Memory);
}
void operator delete(void* Memory, std::align_val_t) noexcept {
    std::free(Memory);
}
void operator delete[](void* Memory, std::align_val_t) noexcept {
    std::free(Memory);
}
void operator delete(void* Memory, std::size_t, std::align_val_t) noexcept {
    std::free(Memory);
}
void operator delete[](void* Memory, std::size_t, std::align_val_t) noexcept {
    std::free(Memory);
}
void operator delete(void* Memory, const std::nothrow_t&) noexcept {
    std::free(Memory);
}
void operator delete[](void* Memory, const std::nothrow_t&) noexcept {
    std::free(Memory);
}
void operator delete(void* Memory, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(Memory);
}
void operator delete[](void* Memory, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(Memory);
}
