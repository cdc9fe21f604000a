// How the C library's heap gives memory back to the system.
//
// glibc starts with a 128 KiB mmap threshold and trim threshold and raises both, up to 32 MiB and
// 64 MiB, the first time it frees a large mapped block. Until then every freed block at the top
// of a heap is given back at once, and every block above the threshold is mapped and unmapped by
// itself. The heaps of threads other than the main one are worse off: they grow one mprotect call
// at a time, a heap is unmapped as soon as it is empty and the next allocation maps a new one. An
// analysis allocates and frees some sixty megabytes of result and working memory, so each
// analysis on a thread faulted all of it in afresh (about 14,000 page faults for a day file), and
// every mprotect and munmap takes the process's memory-map lock, which the page faults of the
// other threads need too, and interrupts them for a TLB shootdown.
//
// settle_heap_thresholds() sets, once per process: the mmap threshold and the trim threshold to
// glibc's own upper bounds for them (32 MiB and 64 MiB), and a top pad of 64 MiB, with which a
// thread's heap is extended in one step and kept when it empties. Freed memory up to that much
// per heap stays with the process for the next analysis instead of going back to the system. It
// leaves the heap alone when the process was started with its own malloc settings
// (GLIBC_TUNABLES naming a malloc tunable, or one of the MALLOC_*_ variables), and does nothing
// outside glibc.
#pragma once

namespace tessora {

void settle_heap_thresholds();

}  // namespace tessora
