#include "rtcm/frame.hpp"

#include <array>

#include "rtcm/bits.hpp"

namespace tessora::rtcm {

namespace {

constexpr std::uint32_t kCrcPolynomial = 0x1864CFB;

constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i << 16;
        for (int k = 0; k < 8; ++k) {
            c <<= 1;
            if (c & 0x1000000) c ^= kCrcPolynomial;
        }
        t[i] = c & 0xFFFFFF;
    }
    return t;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

// Slicing by eight: the checksum kept in the top 24 bits of a 32-bit register, and tables that
// advance it over a byte followed by 0..7 zero bytes, so that eight bytes take eight independent
// lookups.
using SliceTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr SliceTables make_slice_tables() {
    SliceTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) t[0][i] = kCrcTable[i] << 8;
    for (std::size_t k = 1; k < 8; ++k)
        for (std::uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}

constexpr SliceTables kSlices = make_slice_tables();

std::uint32_t load_be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::uint32_t crc24q(const unsigned char* p, std::size_t n) {
    std::uint32_t r = 0;  // the checksum << 8
    for (; n >= 8; p += 8, n -= 8) {
        const std::uint32_t a = r ^ load_be32(p), b = load_be32(p + 4);
        r = kSlices[7][a >> 24] ^ kSlices[6][(a >> 16) & 0xFF] ^ kSlices[5][(a >> 8) & 0xFF] ^ kSlices[4][a & 0xFF] ^
            kSlices[3][b >> 24] ^ kSlices[2][(b >> 16) & 0xFF] ^ kSlices[1][(b >> 8) & 0xFF] ^ kSlices[0][b & 0xFF];
    }
    for (; n > 0; ++p, --n) r = (r << 8) ^ kSlices[0][(r >> 24) ^ *p];
    return r >> 8;
}

bool FrameScanner::checksum_holds(const unsigned char* frame, std::size_t len) {
    const unsigned char* c = frame + 3 + len;
    const std::uint32_t stored = (std::uint32_t{c[0]} << 16) | (std::uint32_t{c[1]} << 8) | c[2];
    return crc24q(frame, 3 + len) == stored;
}

std::string make_frame(std::string_view payload) {
    if (payload.size() > 1023) payload = payload.substr(0, 1023);
    std::string f;
    f.reserve(payload.size() + kFrameOverhead);
    f += static_cast<char>(kPreamble);
    f += static_cast<char>((payload.size() >> 8) & 0x03);
    f += static_cast<char>(payload.size() & 0xFF);
    f.append(payload);
    const std::uint32_t crc = crc24q(reinterpret_cast<const unsigned char*>(f.data()), f.size());
    f += static_cast<char>((crc >> 16) & 0xFF);
    f += static_cast<char>((crc >> 8) & 0xFF);
    f += static_cast<char>(crc & 0xFF);
    return f;
}

}  // namespace tessora::rtcm
