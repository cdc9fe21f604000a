#include "common/block_cache.hpp"

#include <bit>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TESSORA_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define TESSORA_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define TESSORA_POISON(p, n) ((void)(p), (void)(n))
#define TESSORA_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace tessora {

namespace {

struct Idle {
    void* p;
    std::size_t bytes;
    std::uint64_t stamp;  // the request count when it was given back
};

struct State {
    State() { idle.reserve(64); }
    std::mutex m;
    std::vector<Idle> idle;  // oldest first
    std::size_t idle_bytes = 0;
    std::size_t busy = 0;
    std::uint64_t requests = 0;
    std::uint64_t reused = 0;
    std::uint64_t mapped = 0;
};

// Never destroyed: records in static storage may give their blocks back during exit.
State& state() {
    static State* s = new State;
    return *s;
}

void* map_block(std::size_t bytes) {
    // Over-map by one granule and cut the ends so that the block starts on a 2 MiB boundary,
    // where the kernel can back it with huge pages from its first byte.
    const std::size_t span = bytes + BlockCache::kGranule;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const auto aligned = (start + BlockCache::kGranule - 1) & ~(std::uintptr_t{BlockCache::kGranule} - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t end = start + span, block_end = aligned + bytes;
    if (end > block_end) ::munmap(reinterpret_cast<void*>(block_end), end - block_end);
    void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return p;
}

// Moves the idle blocks that have waited longer than kMaxIdleAge, and then the oldest ones while
// more than kMaxIdleBytes are idle, to `out` (to be unmapped outside the lock).
// Leaves everything as it was when no room for `out` can be had.
void take_stale(State& s, std::vector<Idle>& out) noexcept {
    const auto stale = [&s](const Idle& b) {
        return s.requests - b.stamp > BlockCache::kMaxIdleAge || s.idle_bytes > BlockCache::kMaxIdleBytes;
    };
    if (s.idle.empty() || !stale(s.idle.front())) return;  // the usual case: nothing to drop
    try {
        out.reserve(s.idle.size());
    } catch (...) {
        return;  // dropped at a later request
    }
    std::size_t keep_from = 0;
    while (keep_from < s.idle.size() && stale(s.idle[keep_from])) {
        s.idle_bytes -= s.idle[keep_from].bytes;
        out.push_back(s.idle[keep_from]);
        ++keep_from;
    }
    s.idle.erase(s.idle.begin(), s.idle.begin() + static_cast<std::ptrdiff_t>(keep_from));
}

void unmap_all(const std::vector<Idle>& blocks) noexcept {
    for (const Idle& b : blocks) {
        TESSORA_UNPOISON(b.p, b.bytes);
        ::munmap(b.p, b.bytes);
    }
}

}  // namespace

std::size_t BlockCache::block_size(std::size_t bytes) noexcept {
    std::size_t g = bytes / kGranule + (bytes % kGranule != 0);
    if (g == 0) g = 1;
    if (g > 4) {
        // Keep the three leading bits of the granule count, rounding up: 4 to 7 (or 8) times a
        // power of two.
        const int shift = std::bit_width(g) - 3;
        const std::size_t unit = std::size_t{1} << shift;
        g = (g + unit - 1) & ~(unit - 1);
    }
    return g * kGranule;
}

void* BlockCache::acquire(std::size_t bytes) {
    if (bytes > (std::size_t{1} << 46)) throw std::bad_alloc();
    const std::size_t size = block_size(bytes);
    State& s = state();
    std::vector<Idle> stale;
    void* p = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.m);
        ++s.requests;
        // The most recently given back block of the size: its pages are the likeliest to be
        // still in the caches.
        for (std::size_t i = s.idle.size(); i-- > 0;)
            if (s.idle[i].bytes == size) {
                p = s.idle[i].p;
                s.idle_bytes -= size;
                s.idle.erase(s.idle.begin() + static_cast<std::ptrdiff_t>(i));
                ++s.reused;
                break;
            }
        if (!p) ++s.mapped;
        ++s.busy;
        take_stale(s, stale);
    }
    unmap_all(stale);
    if (p) {
        TESSORA_UNPOISON(p, size);
        return p;
    }
    try {
        return map_block(size);
    } catch (...) {
        std::lock_guard<std::mutex> lock(s.m);
        --s.busy;
        --s.mapped;
        throw;
    }
}

void BlockCache::release(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    const std::size_t size = block_size(bytes);
    State& s = state();
    std::vector<Idle> stale;
    bool kept = false;
    {
        std::lock_guard<std::mutex> lock(s.m);
        --s.busy;
        try {
            s.idle.push_back(Idle{p, size, s.requests});
            s.idle_bytes += size;
            kept = true;
            TESSORA_POISON(p, size);
        } catch (...) {
            // No room to remember it: it is unmapped below.
        }
        take_stale(s, stale);
    }
    unmap_all(stale);
    if (!kept) ::munmap(p, size);
}

std::size_t BlockCache::release_idle() noexcept {
    State& s = state();
    std::vector<Idle> all;
    {
        std::lock_guard<std::mutex> lock(s.m);
        all.swap(s.idle);
        s.idle_bytes = 0;
    }
    std::size_t bytes = 0;
    for (const Idle& b : all) bytes += b.bytes;
    unmap_all(all);
    return bytes;
}

void BlockCache::fill_idle(unsigned char byte) noexcept {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    for (const Idle& b : s.idle) {
        TESSORA_UNPOISON(b.p, b.bytes);
        std::memset(b.p, byte, b.bytes);
        TESSORA_POISON(b.p, b.bytes);
    }
}

BlockCacheStats BlockCache::stats() noexcept {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    BlockCacheStats st;
    st.idle_blocks = s.idle.size();
    st.idle_bytes = s.idle_bytes;
    st.busy_blocks = s.busy;
    st.reused = s.reused;
    st.mapped = s.mapped;
    return st;
}

}  // namespace tessora
