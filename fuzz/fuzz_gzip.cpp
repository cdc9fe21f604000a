// Fuzz target of the gzip decoder (and, built as fuzz_bzip2, of the bzip2 decoder). The first
// byte picks the mode:
//  bit 0 clear: the rest is decoded as it is;
//  bit 0 set:   the rest (after a settings byte) is a payload, compressed by the library into one
//               or two members, then cut or damaged at a place the input chooses, and decoded. An
//               intact stream must give the payload back; a damaged one an error, or the payload
//               (a change in a header field no check covers), or for a cut between members the
//               first member's part.
#include <bzlib.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/decoders.hpp"

#ifndef TESSORA_FUZZ_BZIP2
#define TESSORA_FUZZ_BZIP2 0
#endif

namespace {

constexpr bool kBzip2 = TESSORA_FUZZ_BZIP2;
constexpr std::uint64_t kLimit = std::uint64_t{1} << 26;

std::string gzip_member(std::string_view s, int level) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, s.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(s.data()));
    zs.avail_in = static_cast<uInt>(s.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string bzip2_stream(std::string_view s, int level) {
    unsigned len = static_cast<unsigned>(s.size() + s.size() / 100 + 700);
    std::string out(len, '\0');
    BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(s.data()), static_cast<unsigned>(s.size()), level, 0, 30);
    out.resize(len);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    constexpr bool bz = kBzip2;
    const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto decode = [&](std::string_view z) { return bz ? tessora::bunzip2(z, kLimit) : tessora::gunzip(z, kLimit); };
    if ((data[0] & 1) == 0) {
        auto out = decode(in);
        if (out && out->size() > kLimit) __builtin_trap();
        return 0;
    }
    const unsigned settings = data[1];
    const std::string payload(in.substr(1));
    const std::size_t split = (settings & 4) ? payload.size() / 2 : payload.size();
    const int level = 1 + static_cast<int>(settings % 9);
    const std::string_view p(payload);
    const std::string first = bz ? bzip2_stream(p.substr(0, split), level) : gzip_member(p.substr(0, split), level);
    std::string z = first;
    if (split < payload.size()) z += bz ? bzip2_stream(p.substr(split), level) : gzip_member(p.substr(split), level);
    const unsigned damage = settings >> 5;  // 0-3 intact, 4-5 cut, 6-7 a changed byte
    const std::size_t at = (payload.size() * 7919 + settings) % z.size();
    if (damage >= 4 && damage <= 5) z.resize(at);
    if (damage >= 6) z[at] = static_cast<char>(z[at] ^ (1 + settings % 255));
    auto out = decode(z);
    if (damage < 4) {
        if (!out || out->view() != payload) __builtin_trap();
    } else if (out) {
        const bool whole = out->view() == payload;
        const bool first_member = damage <= 5 && at == first.size() && out->view() == p.substr(0, split);
        if (!whole && !first_member) __builtin_trap();
    }
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    const std::string text =
        "     3.04           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "> 2020 06 25 00 00  0.0000000  0  1\nG01  20000000.123 7 100000000.12345        45.250\n";
    std::string big;
    for (int i = 0; i < 300; ++i) big += text;
    std::vector<std::string> seeds;
    for (unsigned settings : {0u, 4u, 8u, 100u, 132u, 150u, 196u, 228u, 255u})
        seeds.push_back(std::string(1, '\x01') + static_cast<char>(settings) + big);
    if (kBzip2)
        seeds.push_back(std::string(1, '\x00') + bzip2_stream(big, 9) + bzip2_stream(text, 1));
    else
        seeds.push_back(std::string(1, '\x00') + gzip_member(big, 6) + gzip_member(text, 1));
    return seeds;
}
