// Finding RTCM 3 frames in a byte stream.
//
// A frame is the preamble 0xD3, six reserved bits and a 10-bit payload length, the payload (at
// most 1023 bytes) and a CRC-24Q over everything before it. The scanner accepts a frame only when
// its checksum holds; after garbage, a failed checksum or a frame cut short it moves on to the next
// preamble byte and tries again there, so that one bad frame costs at most the bytes it spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessora::rtcm {

inline constexpr unsigned char kPreamble = 0xD3;
inline constexpr std::size_t kFrameOverhead = 6;  // 3 header bytes, 3 checksum bytes

struct FrameStats {
    std::uint64_t frames = 0;         // frames whose checksum held
    std::uint64_t skipped_bytes = 0;  // bytes outside such frames
    std::uint64_t crc_failures = 0;   // candidate frames (preamble, length, bytes) with a wrong checksum
};

// Incremental frame scanner: bytes may arrive in pieces of any size, and a frame split between two
// pieces is kept until its end arrives.
class FrameScanner {
public:
    // Scans `bytes` after whatever an earlier call left pending and calls `on_payload(payload)` for
    // every frame found. The payload view is valid during the call only.
    template <typename F>
    void feed(std::string_view bytes, F&& on_payload) {
        if (pending_.empty()) {
            const std::size_t used = scan(bytes, on_payload);
            pending_.assign(bytes.substr(used));
            return;
        }
        pending_.append(bytes);
        const std::size_t used = scan(pending_, on_payload);
        pending_.erase(0, used);
    }

    // The end of the stream: bytes still pending (a frame cut short) are skipped.
    void finish() {
        stats_.skipped_bytes += pending_.size();
        pending_.clear();
    }

    const FrameStats& stats() const { return stats_; }
    std::size_t pending_bytes() const { return pending_.size(); }

private:
    // Scans `s` and returns how many of its bytes are settled (frames found, bytes skipped); the
    // rest may still begin a frame.
    template <typename F>
    std::size_t scan(std::string_view s, F& on_payload) {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        const std::size_t n = s.size();
        std::size_t i = 0;
        while (i < n) {
            if (p[i] != kPreamble) {
                ++stats_.skipped_bytes;
                ++i;
                continue;
            }
            if (n - i < 3) break;  // the length is still to come
            const std::size_t len = (static_cast<std::size_t>(p[i + 1] & 0x03) << 8) | p[i + 2];
            if (n - i < len + kFrameOverhead) break;  // the rest of the frame is still to come
            if (checksum_holds(p + i, len)) {
                ++stats_.frames;
                on_payload(s.substr(i + 3, len));
                i += len + kFrameOverhead;
            } else {
                ++stats_.crc_failures;
                ++stats_.skipped_bytes;
                ++i;
            }
        }
        return i;
    }

    static bool checksum_holds(const unsigned char* frame, std::size_t len);

    std::string pending_;
    FrameStats stats_;
};

// A frame around `payload` (for tests and tools): preamble, length, payload, checksum. Payloads
// longer than 1023 bytes are cut to that length.
std::string make_frame(std::string_view payload);

}  // namespace tessora::rtcm
