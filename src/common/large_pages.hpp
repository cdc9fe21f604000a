// An allocator for the large arrays of a record (observation values, line tables): blocks of a
// few megabytes or more are mapped directly and asked to use transparent huge pages, which turns
// the thousands of page faults of a day file's arrays into a handful. Smaller blocks come from
// the usual heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include <sys/mman.h>

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
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapped)
            std::free(p);
        else
            ::munmap(p, bytes);
    }
    template <typename U>
    bool operator==(const LargePageAllocator<U>&) const noexcept {
        return true;
    }
};

template <typename T>
using LargeVector = std::vector<T, LargePageAllocator<T>>;

}  // namespace tessora
