// An allocator for the large arrays of an analysis (a record's observation values and line table,
// the accepted points, the sky geometry): blocks of a few megabytes or more come from the block
// cache, which maps them on transparent huge pages and keeps them, faulted in, for the next
// analysis. Smaller blocks come from the usual heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "common/block_cache.hpp"

namespace tessora {

template <typename T>
struct LargePageAllocator {
    using value_type = T;
    static constexpr std::size_t kMapped = std::size_t{4} << 20;

    LargePageAllocator() = default;
    template <typename U>
    LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapped) {
            void* p = std::malloc(bytes ? bytes : 1);
            if (!p) throw std::bad_alloc();
            return static_cast<T*>(p);
        }
        return static_cast<T*>(BlockCache::acquire(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapped)
            std::free(p);
        else
            BlockCache::release(p, bytes);
    }
    template <typename U>
    bool operator==(const LargePageAllocator<U>&) const noexcept {
        return true;
    }
};

template <typename T>
using LargeVector = std::vector<T, LargePageAllocator<T>>;

}  // namespace tessora
