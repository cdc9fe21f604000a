// A growable byte buffer for decoded content. Growth goes through realloc, which for large blocks
// remaps pages instead of copying them, and new space is never zero-filled: expanding a 30 MB
// file costs no more than writing it once. Large buffers ask for transparent huge pages, which
// turns thousands of page faults into a handful.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include <sys/mman.h>

#include "archive/channel.hpp"

namespace tessora {

class Buffer {
public:
    Buffer() = default;
    // A buffer writing into a channel's region: it never moves, and every so often the lines
    // written so far are published to the channel's reader.
    explicit Buffer(Channel& channel) : p_(channel.data()), cap_(channel.capacity()), channel_(&channel) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept
        : p_(o.p_), size_(o.size_), cap_(o.cap_), channel_(o.channel_), published_(o.published_), scanned_(o.scanned_) {
        o.p_ = nullptr, o.size_ = o.cap_ = 0, o.channel_ = nullptr;
    }
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            if (!channel_) std::free(p_);
            p_ = o.p_, size_ = o.size_, cap_ = o.cap_, channel_ = o.channel_, published_ = o.published_,
            scanned_ = o.scanned_;
            o.p_ = nullptr, o.size_ = o.cap_ = 0, o.channel_ = nullptr;
        }
        return *this;
    }
    ~Buffer() {
        if (!channel_) std::free(p_);
    }

    char* data() { return p_; }
    const char* data() const { return p_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return cap_; }
    std::string_view view() const { return {p_ ? p_ : "", size_}; }

    // Makes room for at least `n` bytes in total; throws std::bad_alloc when memory runs out.
    // A channel's region is reserved whole already (the decoders stop at their limit before it
    // is full).
    void reserve(std::size_t n) {
        if (n <= cap_) return;
        if (channel_) throw std::bad_alloc();
        void* q = std::realloc(p_, n);
        if (!q) throw std::bad_alloc();
        p_ = static_cast<char*>(q);
        cap_ = n;
#ifdef MADV_HUGEPAGE
        constexpr std::size_t kHuge = std::size_t{2} << 20;
        if (n >= 2 * kHuge) {
            const auto a = (reinterpret_cast<std::uintptr_t>(p_) + kHuge - 1) & ~(kHuge - 1);
            const auto b = (reinterpret_cast<std::uintptr_t>(p_) + n) & ~(kHuge - 1);
            if (b > a) ::madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE);
        }
#endif
    }
    // Room for `extra` more bytes, growing by half again at least.
    void reserve_more(std::size_t extra) {
        if (cap_ - size_ >= extra) return;
        std::size_t want = cap_ + cap_ / 2;
        if (want < size_ + extra) want = size_ + extra;
        if (want < 4096) want = 4096;
        reserve(want);
    }
    // Free space after the content; commit() what was written there.
    char* tail() { return p_ + size_; }
    std::size_t spare() const { return cap_ - size_; }
    void commit(std::size_t n) {
        size_ += n;
        if (channel_ && size_ - scanned_ >= kPublishStep) publish_lines();
    }

    void append(std::string_view s) {
        reserve_more(s.size());
        if (!s.empty()) std::memcpy(p_ + size_, s.data(), s.size());
        commit(s.size());
    }
    void push_back(char c) {
        reserve_more(1);
        p_[size_] = c;
        commit(1);
    }
    void clear() { size_ = 0; }
    // Gives memory back once the final size is known.
    void shrink_to_fit() {
        if (channel_ || size_ == cap_ || size_ == 0) return;
        if (void* q = std::realloc(p_, size_)) {
            p_ = static_cast<char*>(q);
            cap_ = size_;
        }
    }

    // Publishes everything written as the complete text (a channel buffer only).
    void finish() {
        if (channel_) channel_->finish(size_);
    }

private:
    static constexpr std::size_t kPublishStep = std::size_t{1} << 18;

    // Publishes up to the last line end written; stops the writer when the reader has gone.
    void publish_lines() {
        if (channel_->cancelled()) throw ChannelCancelled{};
        const void* nl = ::memrchr(p_ + scanned_, '\n', size_ - scanned_);
        scanned_ = size_;
        if (!nl) return;
        published_ = static_cast<std::size_t>(static_cast<const char*>(nl) - p_) + 1;
        channel_->publish(published_);
    }

    char* p_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
    Channel* channel_ = nullptr;
    std::size_t published_ = 0;  // bytes made visible to the channel's reader
    std::size_t scanned_ = 0;    // bytes searched for a line end
};

}  // namespace tessora
