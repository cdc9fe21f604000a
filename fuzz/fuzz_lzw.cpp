// Fuzz target of the Unix compress (.Z) decoder. The first byte picks the mode:
//  even: the rest is decoded as a .Z stream (given the signature when it lacks one);
//  odd:  the rest (after a settings byte) is a payload, written as .Z by the test writer with the
//        settings' code width and block mode, cut or damaged at a place the input chooses, and
//        decoded. An intact stream must give the payload back; a cut one an error or a prefix.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/decoders.hpp"
#include "../tests/support/lzw_encode.hpp"

namespace {
constexpr std::uint64_t kLimit = std::uint64_t{1} << 26;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0) {
        std::string z;
        if (!tessora::has_compress_magic(in)) z = "\x1f\x9d";
        z += in;
        auto out = tessora::uncompress_lzw(z, kLimit);
        if (out && out->size() > kLimit) __builtin_trap();
        return 0;
    }
    const unsigned settings = data[1];
    const std::string payload(in.substr(1));
    const unsigned max_bits = 9 + settings % 8;
    const bool block = (settings & 8) != 0, clear = (settings & 16) != 0;
    std::string z = tessora::test_support::lzw_encode(payload, max_bits, block, clear);
    const unsigned damage = settings >> 5;  // 0-3 intact, 4-5 cut, 6-7 a changed byte
    const std::size_t at = z.size() > 3 ? 3 + (payload.size() * 7919 + settings) % (z.size() - 3) : 0;
    if (damage >= 4 && damage <= 5) z.resize(at);
    if (damage >= 6 && at < z.size()) z[at] = static_cast<char>(z[at] ^ (1 + settings % 255));
    auto out = tessora::uncompress_lzw(z, kLimit);
    if (damage < 4) {
        if (!out || out->view() != payload) __builtin_trap();
    } else if (damage <= 5 && out) {
        if (payload.compare(0, out->size(), out->view()) != 0) __builtin_trap();
    }
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    const std::string text =
        "     2.11           OBSERVATION DATA    G (GPS)             RINEX VERSION / TYPE\n"
        " 20  6 25  0  0  0.0000000  0  2G01G02\n  20000000.123   100000000.123        45.000\n";
    std::string big;
    for (int i = 0; i < 400; ++i) big += text;
    std::vector<std::string> seeds;
    for (unsigned settings : {0u, 7u, 8u, 24u, 31u, 128u, 160u, 200u, 255u}) {
        seeds.push_back(std::string(1, '\x01') + static_cast<char>(settings) + text);
        seeds.push_back(std::string(1, '\x01') + static_cast<char>(settings) + big);
    }
    seeds.push_back(std::string(1, '\x00') + tessora::test_support::lzw_encode(big));
    seeds.push_back(std::string(1, '\x00') + tessora::test_support::lzw_encode(big, 9, false));
    return seeds;
}
