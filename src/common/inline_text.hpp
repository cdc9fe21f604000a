// A short text kept inside the object: up to 30 bytes without any heap block, longer texts on
// the heap. It exists for the epoch timestamps of the time series ("2024-03-05T07:09:03.500Z",
// 24 bytes): a day's result holds one per CN0 value and per constellation bin, several hundred
// thousand of them, and std::string (15 bytes of inline room) would give each its own heap block,
// to be allocated while the result is built and freed one by one when it is dropped. The object
// is 32 bytes, the size of a std::string.
#pragma once

#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

namespace tessora {

class InlineText {
public:
    static constexpr std::size_t kInlineCapacity = 30;

    InlineText() noexcept { tag_ = 0; }
    InlineText(std::string_view s) { set(s); }  // NOLINT: implicit, like std::string
    InlineText(const char* s) : InlineText(std::string_view(s)) {}
    InlineText(const std::string& s) : InlineText(std::string_view(s)) {}
    InlineText(const InlineText& o) { set(o.view()); }
    InlineText(InlineText&& o) noexcept {
        std::memcpy(bytes_, o.bytes_, sizeof bytes_);
        tag_ = o.tag_;
        o.tag_ = 0;
    }
    InlineText& operator=(const InlineText& o) {
        if (this != &o) {
            InlineText copy(o);
            swap(copy);
        }
        return *this;
    }
    InlineText& operator=(InlineText&& o) noexcept {
        if (this != &o) {
            release();
            std::memcpy(bytes_, o.bytes_, sizeof bytes_);
            tag_ = o.tag_;
            o.tag_ = 0;
        }
        return *this;
    }
    ~InlineText() { release(); }

    void swap(InlineText& o) noexcept {
        char b[sizeof bytes_];
        std::memcpy(b, bytes_, sizeof b);
        std::memcpy(bytes_, o.bytes_, sizeof b);
        std::memcpy(o.bytes_, b, sizeof b);
        std::swap(tag_, o.tag_);
    }

    std::string_view view() const noexcept {
        if (tag_ != kOnHeap) return {bytes_, tag_};
        Heap h;
        std::memcpy(&h, bytes_, sizeof h);
        return {h.data, h.size};
    }
    operator std::string_view() const noexcept { return view(); }  // NOLINT: implicit on purpose
    std::string str() const { return std::string(view()); }
    const char* data() const noexcept { return view().data(); }
    std::size_t size() const noexcept { return view().size(); }
    bool empty() const noexcept { return size() == 0; }

    bool operator==(std::string_view s) const noexcept { return view() == s; }
    friend std::ostream& operator<<(std::ostream& os, const InlineText& t) { return os << t.view(); }

private:
    struct Heap {
        char* data;
        std::size_t size;
    };
    static constexpr unsigned char kOnHeap = 0xFF;
    static_assert(sizeof(Heap) <= 31);

    void set(std::string_view s) {
        if (s.size() <= kInlineCapacity) {
            if (!s.empty()) std::memcpy(bytes_, s.data(), s.size());
            tag_ = static_cast<unsigned char>(s.size());
            return;
        }
        Heap h{new char[s.size()], s.size()};
        std::memcpy(h.data, s.data(), s.size());
        std::memcpy(bytes_, &h, sizeof h);
        tag_ = kOnHeap;
    }
    void release() noexcept {
        if (tag_ != kOnHeap) return;
        Heap h;
        std::memcpy(&h, bytes_, sizeof h);
        delete[] h.data;
        tag_ = 0;
    }

    char bytes_[31];
    unsigned char tag_;  // the inline length, or kOnHeap
};

static_assert(sizeof(InlineText) == 32);

}  // namespace tessora
