// Fuzz target for the RINEX 3 writer and the Hatanaka encoder: a record read from the input is
// written as RINEX 3 and as CRINEX 3; what the writer accepted must read back, and from the first
// record read back on, reading and writing must give the same text again (a fixed point), through
// the compact form as well.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/decoders.hpp"
#include "rinex/obs_reader.hpp"
#include "rinex/obs_writer.hpp"

namespace {

tessora::RinexWriteOptions fixed_options() {
    tessora::RinexWriteOptions o;
    o.date = "20240101 000000 UTC";
    return o;
}

std::string write(const tessora::RinexObsData& rec, bool crinex, bool& ok) {
    tessora::Buffer out;
    ok = static_cast<bool>(tessora::write_rinex_obs_text(rec, out, fixed_options(), crinex));
    return std::string(out.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto rec = tessora::read_rinex_obs(bytes, "fuzz.obs");
    if (!rec) return 0;
    bool ok = false;
    const std::string first = write(*rec, false, ok);
    if (!ok) return 0;
    // Read back once: a satellite whose observations did not follow its list's order now does.
    auto base = tessora::read_rinex_obs_text(first, "fuzz.obs");
    if (!base) __builtin_trap();
    const std::string text = write(*base, false, ok);
    if (!ok) __builtin_trap();
    const std::string compact = write(*base, true, ok);
    if (!ok && base->distinct_satellites().size() <= 1024) __builtin_trap();  // it holds what the text holds

    auto again = tessora::read_rinex_obs_text(text, "fuzz.obs");
    if (!again) __builtin_trap();
    bool ok2 = false;
    if (write(*again, false, ok2) != text || !ok2) __builtin_trap();

    if (!ok) return 0;
    auto expanded = tessora::decode_crinex(compact);
    if (!expanded) __builtin_trap();
    auto restored = tessora::read_rinex_obs_text(expanded->view(), "fuzz.obs");
    if (!restored) __builtin_trap();
    if (write(*restored, false, ok2) != text || !ok2) __builtin_trap();
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    const std::string h3 =
        "     3.04           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "TEST                                                        MARKER NAME\n"
        "1234                SEPT POLARX5        5.2.0               REC # / TYPE / VERS\n"
        "5678                TRM59800.00     NONE                    ANT # / TYPE\n"
        "  3582105.2910   532589.7313  5232754.8054                  APPROX POSITION XYZ\n"
        "G    5 C1C L1C D1C S1C S1C                                  SYS / # / OBS TYPES\n"
        "R    3 C1C L1C S1C                                          SYS / # / OBS TYPES\n"
        "E   14 C1C L1C D1C S1C C5Q L5Q D5Q S5Q C7Q L7Q D7Q S7Q C8Q  SYS / # / OBS TYPES\n"
        "       S8Q                                                  SYS / # / OBS TYPES\n"
        "    30.000                                                  INTERVAL\n"
        "  2020     6    25     0     0    0.0000000     GAL         TIME OF FIRST OBS\n"
        "  3 R01  1 R02 -4 R07  5                                    GLONASS SLOT / FRQ #\n"
        "                                                            END OF HEADER\n";
    const std::string d3 =
        "> 2020 06 25 00 00  0.0000000  0  3\n"
        "G01  20000000.123 7 100000000.123 5      -123.456 7        45.250          46.000\n"
        "R07  21000000.000    110000000.000 6        -0.500\n"
        "E05  23000000.000    120000000.000          1234.000          47.000  9999999999.999\n"
        "> 2020 06 25 00 00 30.0000000  1  2\n"
        "G01  20000300.123 7 100000300.123        -123.456 7        45.500\n"
        "G02  20000000.000\n"
        "> 2020 06 25 00 01  0.0000000  4  1\n"
        "G02  20000600.000\n"
        "> 2020 06 25 00 01 30.0000000  6  2\n"
        "E05  23000010.000 1  120000010.000 2\n"
        "G01  20000900.123 7 100000900.123 5      -123.456 7        45.750\n";
    const std::string h2 =
        "     2.11           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "SITE                                                        MARKER NAME\n"
        "     6    C1    L1    D1    P2    S1    S2                  # / TYPES OF OBSERV\n"
        "    30.0000                                                 INTERVAL\n"
        "                                                            END OF HEADER\n";
    const std::string d2 =
        " 20  6 25  0  0  0.0000000  0  4G01S20R03E04\n"
        "  20000000.123   100000000.123    80000000.123    20000001.000        45.000\n"
        "        40.000\n"
        "  20000000.123   100000000.123                                        44.000\n"
        "        39.000\n"
        "  21000000.123   110000000.123                                        43.000\n"
        "  22000000.123   120000000.123                                        42.000\n";
    return {h3 + d3, h2 + d2, h3, h3 + d2, h2 + d3};
}
