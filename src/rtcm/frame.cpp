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

}  // namespace

std::uint32_t crc24q(const unsigned char* p, std::size_t n) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) crc = ((crc << 8) & 0xFFFFFF) ^ kCrcTable[(crc >> 16) ^ p[i]];
    return crc;
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
