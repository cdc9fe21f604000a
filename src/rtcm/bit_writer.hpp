// Bit-level writing of RTCM 3 payloads, the inverse of BitReader: fields most significant bit
// first, without alignment; the payload is padded with zero bits to a whole byte.
#pragma once

#include <cstdint>
#include <string>

namespace tessora::rtcm {

class BitWriter {
public:
    // Unsigned field of `n` bits (0..64); bits of `v` above the field are dropped.
    void u(unsigned n, std::uint64_t v) {
        for (unsigned k = n; k-- > 0;) bit((v >> k) & 1u);
    }
    // Two's complement field of `n` bits; the caller keeps `v` within the field's range.
    void s(unsigned n, std::int64_t v) { u(n, static_cast<std::uint64_t>(v)); }
    // Sign-magnitude field of `n` bits: a sign bit, then n-1 bits of magnitude.
    void sm(unsigned n, std::int64_t v) {
        u(1, v < 0 ? 1 : 0);
        u(n - 1, static_cast<std::uint64_t>(v < 0 ? -v : v));
    }
    std::size_t bits() const { return bits_; }
    // The payload: whole bytes, the last one padded with zero bits.
    const std::string& bytes() const { return out_; }

private:
    void bit(std::uint64_t b) {
        if ((bits_ & 7) == 0) out_.push_back('\0');
        if (b) out_.back() = static_cast<char>(static_cast<unsigned char>(out_.back()) | (0x80u >> (bits_ & 7)));
        ++bits_;
    }
    std::string out_;
    std::size_t bits_ = 0;
};

}  // namespace tessora::rtcm
