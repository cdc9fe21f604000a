// Fuzz target of the analysis pipeline and the interference detector: observation text from the
// input, analysed without navigation data and with a fixed broadcast file whose satellites the
// seeds observe.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cn0/pipeline.hpp"
#include "interference/detect.hpp"
#include "interference/inject.hpp"
#include "navigation/nav_reader.hpp"
#include "rinex/obs_reader.hpp"

namespace {

volatile std::size_t g_sink;

const char kKepler[] =
    " 2022 06 08 10 00 00-6.528543308377E-04 3.410605131648E-13 0.000000000000E+00\n"
    "     9.600000000000E+01 3.384375000000E+01 4.106242470052E-09-2.157708626665E+00\n"
    "     1.812353730202E-06 2.041313482914E-02 9.221956133842E-06 5.153679471970E+03\n"
    "     2.952000000000E+05 3.594905138016E-07 2.277502707678E+00 2.756714820862E-07\n"
    "     9.659928182326E-01 2.033437500000E+02-1.414485730254E+00-7.679605600684E-09\n"
    "     5.857386840816E-11 1.000000000000E+00 2.213000000000E+03 0.000000000000E+00\n"
    "     2.800000000000E+00 0.000000000000E+00-1.769512891769E-08 9.600000000000E+01\n"
    "     2.880180000000E+05 4.000000000000E+00\n";

std::shared_ptr<const tessora::NavigationData> navigation() {
    const std::string text =
        std::string("     3.04           N: GNSS NAV DATA    M: MIXED            RINEX VERSION / TYPE\n"
                    "                                                            END OF HEADER\n") +
        "G02" + kKepler + "E11" + kKepler + "C21" + kKepler + "J01" + kKepler +
        "R03 2022 06 08 09 45 00 5.807634443045E-05 9.094947017729E-13 2.934000000000E+05\n"
        "    -1.158823828125E+04-5.671300888062E-01 0.000000000000E+00 0.000000000000E+00\n"
        "    -1.108993261719E+04-2.651433944702E+00 9.313225746155E-10 5.000000000000E+00\n"
        "     1.986426855469E+04-1.820190429688E+00-2.793967723846E-09 0.000000000000E+00\n";
    auto r = tessora::read_navigation_content(text);
    return std::make_shared<const tessora::NavigationData>(std::move(r.value()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // First byte: options; the rest is the observation file.
    const std::uint8_t opt = data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    auto r = tessora::read_rinex_obs(bytes, "fuzz.rnx");
    if (!r.ok()) return 0;
    tessora::AnalysisInput in;
    in.obs = std::make_shared<const tessora::RinexObsData>(std::move(r.value()));
    in.systems = (opt & 1) ? std::vector<char>{'G', 'R', 'E', 'C', 'J', 'S', 'I', '\0', '\xff'}
                           : std::vector<char>{'G', 'R', 'E', 'C'};
    in.min_elevation = (opt & 2) ? -90.0 : 5.0;
    in.verbose = (opt & 4) != 0;
    const tessora::ProgressSink sink = [](std::string_view line) { g_sink = line.size(); };
    g_sink = tessora::run_analysis(in, sink).summary.total_observations;
    in.navigation = navigation();
    const tessora::AnalysisResult res = tessora::run_analysis(in, sink);
    g_sink = res.timeseries.timestamps.size() + (res.visibility ? res.visibility->anomalies.size() : 0);
    // The interference detector on the same records, with and without elevations, and on a copy
    // with a jammer and a spoofer injected.
    tessora::DetectorOptions det;
    det.min_elevation = in.min_elevation;
    if (opt & 8) det.threshold_db = 3.0;
    if (opt & 1) det.systems = in.systems;
    g_sink = tessora::detect_interference(*in.obs, nullptr, det).events.size();
    const tessora::InterferenceReport with_nav = tessora::detect_interference(*in.obs, in.navigation.get(), det);
    g_sink = with_nav.series.size() + tessora::to_json(with_nav).size();
    tessora::Injection jam, spoof;
    jam.start = 30.0;
    jam.end = 150.0;
    jam.db = (opt & 16) ? 40.0 : 6.0;
    spoof.kind = tessora::InjectionKind::spoofer;
    spoof.start = 60.0;
    spoof.end = 1e9;
    const tessora::RinexObsData injected = tessora::inject_interference(*in.obs, {jam, spoof}, {});
    det.cn0_template = &with_nav.cn0_template;
    g_sink = tessora::detect_interference(injected, in.navigation.get(), det).events.size();
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    auto hl = [](std::string content, const std::string& label) {
        content.resize(60, ' ');
        return content + label + "\n";
    };
    const std::string header3 =
        hl("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE") +
        hl(" -4775500.0000   214700.0000  4211900.0000", "APPROX POSITION XYZ") +  // sees all of them
        hl("G    3 C1C S1C S2W", "SYS / # / OBS TYPES") + hl("R    2 C1C S1C", "SYS / # / OBS TYPES") +
        hl("E    2 C1C S1C", "SYS / # / OBS TYPES") + hl("C    2 C2I S2I", "SYS / # / OBS TYPES") +
        hl("J    2 C1C S1C", "SYS / # / OBS TYPES") + hl("S    2 C1C S1C", "SYS / # / OBS TYPES") +
        hl("", "END OF HEADER");
    std::string body3;
    for (int m = 0; m < 4; ++m) {
        body3 += "> 2022 06 08 10 0" + std::to_string(m) + "  0.0000000  0  6\n";
        body3 += "G02  22000000.000          45.250          41.000  \n";
        body3 += "R03  21000000.000          38.000  \n";
        body3 += "E11  23000000.000          " + std::string(m == 2 ? "           nan" : "        47.500") + "  \n";
        body3 += "C21  24000000.000          33.000  \n";
        body3 += "J01  25000000.000          40.000  \n";
        body3 += "S20  38000000.000          39.000  \n";
    }
    const std::string v2 =
        hl("     2.11           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE") +
        hl("        0.0000        0.0000        0.0000", "APPROX POSITION XYZ") +
        hl("     3    C1    S1    S2", "# / TYPES OF OBSERV") + hl("", "END OF HEADER") +
        " 22  6  8 10  0  0.0000000  0  2G02R03\n"
        "  22000000.000          45.000          40.000  \n"
        "  21000000.000          38.000  \n"
        " 22  6  8 10  0 30.0000000  0  1G02\n"
        "  22000000.000          46.000  \n";
    return {std::string(1, '\0') + header3 + body3, std::string(1, '\x07') + header3 + body3, std::string(1, '\x03') + v2};
}
