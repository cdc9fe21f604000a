// A process-wide cache of large memory blocks: the arrays of one analysis (file bytes, a record's
// observation arrays and line table, the accepted points, the sky geometry) are tens of megabytes
// each, and an analysis frees them all when it ends. Mapping fresh pages for every analysis costs
// a page fault for each page (the kernel clears it first), and unmapping them costs a TLB
// shootdown on every core that runs a thread of the process: with analyses on several threads,
// each one stalls the others. Blocks given back here are kept, already faulted in, for the next
// analysis on any thread.
//
// Blocks are whole multiples of 2 MiB, aligned to 2 MiB and asked to use transparent huge pages.
// Sizes are rounded up to one of four classes per doubling (at most a quarter more than asked
// for), so that a block serves any later request of its class. The cache keeps at most
// kMaxIdleBytes of idle blocks, and drops a block that no request has taken for a while.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessora {

struct BlockCacheStats {
    std::size_t idle_blocks = 0;  // kept, waiting for a request
    std::size_t idle_bytes = 0;
    std::size_t busy_blocks = 0;  // handed out and not given back yet
    std::uint64_t reused = 0;     // requests served from the cache
    std::uint64_t mapped = 0;     // requests that mapped a new block
};

class BlockCache {
public:
    static constexpr std::size_t kGranule = std::size_t{2} << 20;
    static constexpr std::size_t kMaxIdleBytes = std::size_t{256} << 20;
    // A block idle while this many other blocks were handed out is unmapped.
    static constexpr std::uint64_t kMaxIdleAge = 256;

    // The size of the block that a request for `bytes` gets.
    static std::size_t block_size(std::size_t bytes) noexcept;

    // A block of block_size(bytes) bytes, with unspecified content; throws std::bad_alloc when no
    // memory can be mapped.
    static void* acquire(std::size_t bytes);
    // Gives back a block from acquire(bytes), with the same `bytes`.
    static void release(void* p, std::size_t bytes) noexcept;

    // Unmaps every idle block; returns the bytes given back to the system.
    static std::size_t release_idle() noexcept;
    // Overwrites every idle block with `byte` (for tests: users must not count on what a block
    // held before).
    static void fill_idle(unsigned char byte) noexcept;
    static BlockCacheStats stats() noexcept;
};

}  // namespace tessora
