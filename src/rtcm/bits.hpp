// Bit-level reading of RTCM 3 payloads and the frame checksum.
//
// RTCM 3 packs its fields most significant bit first, without alignment: a 12-bit message number,
// then fields of any width from 1 to 38 bits. Signed fields are two's complement, except a few
// GLONASS fields that carry a sign bit in front of the magnitude.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tessora::rtcm {

// CRC-24Q (polynomial 0x1864CFB, initial value 0, no reflection) of a byte range. A frame carries
// it over its preamble, header and payload in the three bytes that follow the payload.
std::uint32_t crc24q(const unsigned char* p, std::size_t n);

// Reads fields in order from a payload. Reading past the end never touches memory outside the
// payload: it gives zeros and marks the reader as overrun, so that a decoder reads a whole message
// and checks once, at the end, whether the message held everything it claimed.
class BitReader {
public:
    BitReader(const unsigned char* data, std::size_t bytes) : data_(data), bits_(bytes * 8) {}
    explicit BitReader(std::string_view payload)
        : BitReader(reinterpret_cast<const unsigned char*>(payload.data()), payload.size()) {}

    // Unsigned field of `n` bits (0..64).
    std::uint64_t u(unsigned n) {
        if (n == 0) return 0;
        if (n > 64 || pos_ + n > bits_) {
            overrun_ = true;
            pos_ = bits_;
            return 0;
        }
        // Up to 57 bits from one unaligned big-endian load when eight bytes remain; else a byte's
        // worth (or what is left of the current byte) at a time.
        const std::size_t byte = pos_ >> 3;
        if (n <= 57 && byte + 8 <= bits_ / 8) {
            std::uint64_t w;
            std::memcpy(&w, data_ + byte, 8);
            w = __builtin_bswap64(w);
            const std::uint64_t v = (w << (pos_ & 7)) >> (64 - n);
            pos_ += n;
            return v;
        }
        std::uint64_t v = 0;
        while (n > 0) {
            const unsigned offset = static_cast<unsigned>(pos_ & 7);
            const unsigned take = n < 8 - offset ? n : 8 - offset;
            const unsigned bits = (data_[pos_ >> 3] >> (8 - offset - take)) & ((1u << take) - 1);
            v = (v << take) | bits;
            pos_ += take;
            n -= take;
        }
        return v;
    }
    // Two's complement field of `n` bits (1..64).
    std::int64_t s(unsigned n) {
        const std::uint64_t v = u(n);
        if (n == 0 || n >= 64) return static_cast<std::int64_t>(v);
        const std::uint64_t sign = std::uint64_t{1} << (n - 1);
        return static_cast<std::int64_t>(v ^ sign) - static_cast<std::int64_t>(sign);
    }
    // Sign-magnitude field of `n` bits: a sign bit, then n-1 bits of magnitude.
    std::int64_t sm(unsigned n) {
        const bool negative = u(1) != 0;
        const auto magnitude = static_cast<std::int64_t>(u(n - 1));
        return negative ? -magnitude : magnitude;
    }
    void skip(std::size_t n) {
        if (pos_ + n > bits_) {
            overrun_ = true;
            pos_ = bits_;
        } else {
            pos_ += n;
        }
    }
    // Whether `n` more bits are in the payload (for counts read from the message itself).
    bool has(std::size_t n) const { return !overrun_ && n <= bits_ - pos_; }
    bool overrun() const { return overrun_; }
    std::size_t position() const { return pos_; }
    std::size_t size() const { return bits_; }

private:
    const unsigned char* data_;
    std::size_t bits_;
    std::size_t pos_ = 0;
    bool overrun_ = false;
};

// The message number: the first 12 bits of a payload; 0 for a payload shorter than that.
inline int message_type(std::string_view payload) {
    if (payload.size() < 2) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
    return (p[0] << 4) | (p[1] >> 4);
}

}  // namespace tessora::rtcm
