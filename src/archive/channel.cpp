#include "archive/channel.hpp"

#include <new>

#include <sys/mman.h>

namespace tessora {

Channel::Channel(std::size_t capacity) : cap_(capacity) {
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    p_ = static_cast<char*>(p);
#ifdef MADV_HUGEPAGE
    ::madvise(p, capacity, MADV_HUGEPAGE);
#endif
}

Channel::~Channel() { ::munmap(p_, cap_); }

void Channel::publish(std::size_t bytes) {
    word_.store(bytes, std::memory_order_release);
    word_.notify_all();
}

void Channel::end(std::uint64_t flags) {
    word_.store((word_.load(std::memory_order_relaxed) & kSize) | kEnded | flags, std::memory_order_release);
    word_.notify_all();
}

void Channel::finish(std::size_t bytes) {
    word_.store(bytes, std::memory_order_relaxed);
    end(0);
}

void Channel::fail(std::string message) {
    error_ = std::move(message);
    end(kFailed);
}

void Channel::fail(std::exception_ptr e) {
    exception_ = std::move(e);
    end(kFailed);
}

void Channel::release(std::size_t bytes) {
    constexpr std::size_t kStep = std::size_t{2} << 20;
    const std::size_t upto = bytes / kStep * kStep;
    if (upto <= released_) return;
    ::madvise(p_ + released_, upto - released_, MADV_DONTNEED);
    released_ = upto;
}

std::size_t Channel::wait_beyond(std::size_t seen) {
    for (;;) {
        const std::uint64_t w = word_.load(std::memory_order_acquire);
        const std::size_t n = static_cast<std::size_t>(w & kSize);
        if (n > seen || (w & kEnded)) return n;
        word_.wait(w, std::memory_order_acquire);
    }
}

}  // namespace tessora
