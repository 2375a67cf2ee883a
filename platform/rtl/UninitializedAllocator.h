// UninitializedAllocator: an allocator whose containers leave new scalar elements unset.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace rtl {

/// Allocates like std::allocator, but an element constructed without arguments is
/// default-initialised: a vector of scalars grown through it is not zero-filled. For buffers
/// that are written before they are read (received bytes, a platform's request record).
template <typename T>
class TUninitializedAllocator : public std::allocator<T> {
public:
    template <typename U>
    struct rebind {
        using other = TUninitializedAllocator<U>;
    };
    TUninitializedAllocator() = default;
    template <typename U>
    TUninitializedAllocator(const TUninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* aAt) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(aAt)) U;
    }
    template <typename U, typename... TArgs>
    void construct(U* aAt, TArgs&&... aArgs) {
        std::allocator_traits<std::allocator<T>>::construct(*this, aAt,
                                                            std::forward<TArgs>(aArgs)...);
    }
};

} // namespace rtl
