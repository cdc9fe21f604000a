#include "common/heap_policy.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tessora {

namespace {

#if defined(__GLIBC__)
bool process_has_malloc_settings() {
    if (const char* t = std::getenv("GLIBC_TUNABLES"); t && std::strstr(t, "glibc.malloc.")) return true;
    for (const char* name : {"MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_", "MALLOC_TOP_PAD_", "MALLOC_MMAP_MAX_"})
        if (std::getenv(name)) return true;
    return false;
}
#endif

}  // namespace

void settle_heap_thresholds() {
#if defined(__GLIBC__)
    static std::once_flag once;
    std::call_once(once, [] {
        if (process_has_malloc_settings()) return;
        // glibc's own upper bounds for its dynamic thresholds on 64-bit systems.
        constexpr int kMmapThreshold = 32 << 20;
        constexpr int kTrimThreshold = 64 << 20;
        constexpr int kTopPad = 64 << 20;
        mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
        mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
        mallopt(M_TOP_PAD, kTopPad);
    });
#endif
}

}  // namespace tessora
