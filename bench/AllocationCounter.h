// AllocationCounter: counts the heap allocations of the benchmark process. The executable that
// links AllocationCounter.cpp replaces the global operator new and delete, so every allocation
// of the code under measurement (and of the standard library on its behalf) is seen.
#pragma once

#include <cstdint>

namespace bench {

/// Allocations (every operator new) since the process started; any thread.
std::uint64_t AllocationCount() noexcept;
/// Bytes asked for by those allocations.
std::uint64_t AllocatedBytes() noexcept;

/// Allocations and bytes since construction.
class TAllocationScope {
public:
    TAllocationScope() noexcept : FCount(AllocationCount()), FBytes(AllocatedBytes()) {}
    std::uint64_t Count() const noexcept { return AllocationCount() - FCount; }
    std::uint64_t Bytes() const noexcept { return AllocatedBytes() - FBytes; }

private:
    std::uint64_t FCount;
    std::uint64_t FBytes;
};

} // namespace bench
