// Fuzz target of the Hatanaka (CRINEX) decoder. With the first byte's bit 0 set, the rest is a
// whole compact file; otherwise it is the data section of one, behind a fixed CRINEX 1.0 or 3.0
// header (bit 1), so that mutations reach the epoch and satellite lines at once. Decoded text is
// read by the observation reader as well. With bit 2 set, the text is also gzip-compressed and
// decoded by the streaming stages, which must give what decoding at once gives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include <cstdio>

#include "archive/decoders.hpp"
#include "archive/expand.hpp"
#include "rinex/obs_reader.hpp"

namespace {

constexpr std::uint64_t kLimit = std::uint64_t{1} << 26;

std::string pad(std::string s, std::size_t n) {
    s.resize(n, ' ');
    return s;
}
std::string rec(const std::string& content, const std::string& label) { return pad(content, 60) + label + "\n"; }

std::string header3() {
    return rec("3.0                 COMPACT RINEX FORMAT", "CRINEX VERS   / TYPE") +
           rec("RNX2CRX ver.4.1.0                       25-Jul-22 10:40", "CRINEX PROG / DATE") +
           rec("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE") +
           rec("G    4 C1C L1C D1C S1C", "SYS / # / OBS TYPES") + rec("E    2 C1C S1C", "SYS / # / OBS TYPES") +
           rec("", "END OF HEADER");
}
std::string header1() {
    return rec("1.0                 COMPACT RINEX FORMAT", "CRINEX VERS   / TYPE") +
           rec("RNX2CRX ver.4.1.0                       01-Nov-22 12:28", "CRINEX PROG / DATE") +
           rec("     2.11           OBSERVATION DATA    G (GPS)", "RINEX VERSION / TYPE") +
           rec("     6    C1    L1    L2    P2    S1    S2", "# / TYPES OF OBSERV") + rec("", "END OF HEADER");
}

const std::string kData3 =
    pad("> 2020 06 25 00 00  0.0000000  0  2", 41) + "G01E05\n"
    "3&1234\n"
    "3&20000000123 3&100000000123 3&-123456 3&45250  1 7\n"
    "3&23000000000 3&47000\n"
    "                   3\n"
    "-12\n"
    "1000 2000 -1 250  2\n"
    "-5 0\n" +
    pad(">                              4  1", 35) + "\n"
    "EVENT COMMENT                                               COMMENT\n" +
    pad("> 2020 06 25 00 01  0.0000000  0  1", 41) + "G01\n"
    "\n"
    "3&10 3&20  4&77 3&-250 \n";
const std::string kData1 =
    "&20  6 25  0  0  0.0000000  0 14G01G02R03E04G 5G 6G07G08G09G10G11G12G13G14\n"
    "3&-123456789\n";

std::string data1_sats() {
    std::string s;
    for (int i = 0; i < 14; ++i) s += "3&20000000123 3&100000000123  3&80000000123 3&45000 3&40000  &1 7 5\n";
    s += "                3  1\n1\n";
    for (int i = 0; i < 14; ++i) s += (i % 3 ? "100 200  300 -250 250\n" : " 4&5     &8\n");
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string text;
    if (data[0] & 1) text.assign(rest);
    else text = ((data[0] & 2) ? header1() : header3()) + std::string(rest);
    if (data[0] & 4) {
        // gzip of the text, so that both stages (decompression, compact text) run.
        uLongf zlen = compressBound(static_cast<uLong>(text.size())) + 32;
        std::string z(zlen, '\0');
        z_stream zs{};
        deflateInit2(&zs, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        zs.next_in = reinterpret_cast<Bytef*>(text.data());
        zs.avail_in = static_cast<uInt>(text.size());
        zs.next_out = reinterpret_cast<Bytef*>(z.data());
        zs.avail_out = static_cast<uInt>(z.size());
        deflate(&zs, Z_FINISH);
        z.resize(zs.total_out);
        deflateEnd(&zs);
        if (data[0] & 8) z.resize(z.size() * 3 / 4);  // cut: both ways must fail alike
        const auto once = tessora::expand_content(z, kLimit);
        auto stream = tessora::ExpandStream::start(z, kLimit, 0);
        std::string streamed;
        tessora::DecodeError error;
        if (stream->complete()) {
            if (stream->content()) streamed = std::string(stream->content()->view());
            else error = stream->content().error();
        } else {
            tessora::Channel& ch = stream->channel();
            std::size_t n = 0, m;
            while ((m = ch.wait_beyond(n)) != n) n = m;
            streamed.assign(ch.data(), n);
            error = stream->finish();
        }
        if (once.ok() != !error || (once.ok() ? once->view() != streamed : once.error() != *error)) {
            std::fprintf(stderr, "once: %s\nstream: %s\n", once.ok() ? "ok" : once.error().c_str(), error ? error->c_str() : "ok");
            __builtin_trap();
        }
        if (once.ok() ? once->view() != streamed : once.error() != *error) __builtin_trap();
        return 0;
    }
    auto out = tessora::decode_crinex(text, kLimit);
    if (!out) return 0;
    if (out->size() > kLimit) __builtin_trap();
    if (out->size() > 0 && out->view().back() != '\n') __builtin_trap();
    (void)tessora::read_rinex_obs_text(out->view(), "fuzz.crx");
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    return {std::string(1, '\x00') + kData3, std::string(1, '\x02') + kData1 + data1_sats(),
            std::string(1, '\x04') + kData3, std::string(1, '\x06') + kData1 + data1_sats(),
            std::string(1, '\x0c') + kData3,
            std::string(1, '\x01') + header3() + kData3, std::string(1, '\x01') + header1() + kData1 + data1_sats()};
}
