// Fuzz target of the navigation reader and the satellite positions computed from what it reads.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "navigation/geometry.hpp"
#include "navigation/nav_reader.hpp"

namespace {

volatile double g_sink;

template <typename Map>
void evaluate(const tessora::NavigationData& nav, const Map& map) {
    for (const auto& [id, list] : map) {
        const tessora::SatelliteOrbit orbit = tessora::find_satellite(nav, id);
        if (!orbit || list.empty()) continue;
        // At the first record's epoch, 20 min and 2 h later.
        const double jd = list.front().epoch_jd;
        for (double offset : {0.0, 20.0 / 1440.0, 2.0 / 24.0}) {
            if (auto p = tessora::satellite_position(orbit, jd + offset)) {
                const tessora::LookAngles la = tessora::look_angles(tessora::Ecef{3512000.0, 778000.0, 5248000.0}, *p);
                g_sink = la.azimuth + la.elevation;
            }
        }
        const tessora::Geodetic g = tessora::ecef_to_geodetic(static_cast<double>(list.size()), jd, -jd);
        g_sink = g.height;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto r = tessora::read_navigation_content(bytes);
    if (!r.ok()) return 0;
    const tessora::NavigationData& nav = r.value();
    evaluate(nav, nav.gps);
    evaluate(nav, nav.galileo);
    evaluate(nav, nav.beidou);
    evaluate(nav, nav.glonass);
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    const std::string v2 =
        "     2.11           N: GPS NAV DATA                         RINEX VERSION / TYPE\n"
        "                                                            END OF HEADER\n"
        " 1 05  4  2  0  0  0.0 1.234567890123D-04-1.000000000000D-12 0.000000000000D+00\n"
        "    3.900000000000D+01 6.431250000000D+01 4.463043627470D-09 1.524937188780D+00\n"
        "    3.350898623470D-06 4.913669428780D-03 1.201592385769D-05 5.153650751114D+03\n"
        "    4.320000000000D+05-1.117587089539D-08 1.963416451920D+00 8.009374141693D-08\n"
        "    9.513716339480D-01 1.533750000000D+02 1.058284045048D+00-8.088908031893D-09\n"
        "   -3.057270489640D-10 1.000000000000D+00 1.316000000000D+03 0.000000000000D+00\n"
        "    2.000000000000D+00 0.000000000000D+00-4.190951585770D-09 3.900000000000D+01\n"
        "    4.248000000000D+05 4.000000000000D+00\n";
    const std::string v2g =
        "     2.11           G: GLONASS NAV DATA                     RINEX VERSION / TYPE\n"
        "                                                            END OF HEADER\n"
        "22 18  7 28 23 45  0.0-5.727540701628D-05-0.000000000000D+00 8.637000000000D+04\n"
        "    2.253991210938D+03 2.744255065918D-01-1.862645149231D-09 0.000000000000D+00\n"
        "   -2.294026708984D+04-1.501589775085D+00 1.862645149231D-09-3.000000000000D+00\n"
        "    1.105810156250D+04-3.158493041992D+00-0.000000000000D+00 0.000000000000D+00\n";
    const std::string kepler =
        "G02 2022 06 08 10 00 00-6.528543308377E-04 3.410605131648E-13 0.000000000000E+00\n"
        "     9.600000000000E+01 3.384375000000E+01 4.106242470052E-09-2.157708626665E+00\n"
        "     1.812353730202E-06 2.041313482914E-02 9.221956133842E-06 5.153679471970E+03\n"
        "     2.952000000000E+05 3.594905138016E-07 2.277502707678E+00 2.756714820862E-07\n"
        "     9.659928182326E-01 2.033437500000E+02-1.414485730254E+00-7.679605600684E-09\n"
        "     5.857386840816E-11 1.000000000000E+00 2.213000000000E+03 0.000000000000E+00\n"
        "     2.800000000000E+00 0.000000000000E+00-1.769512891769E-08 9.600000000000E+01\n"
        "     2.880180000000E+05 4.000000000000E+00\n";
    const std::string glonass =
        "R03 2022 06 08 09 45 00 5.807634443045E-05 9.094947017729E-13 2.934000000000E+05\n"
        "    -1.158823828125E+04-5.671300888062E-01 0.000000000000E+00 0.000000000000E+00\n"
        "    -1.108993261719E+04-2.651433944702E+00 9.313225746155E-10 5.000000000000E+00\n"
        "     1.986426855469E+04-1.820190429688E+00-2.793967723846E-09 0.000000000000E+00\n";
    std::string beidou_geo = kepler;
    beidou_geo.replace(0, 3, "C03");
    beidou_geo.replace(beidou_geo.find("5.153679471970E+03"), 18, "6.493420000000E+03");
    std::string galileo = kepler;
    galileo.replace(0, 3, "E11");
    const std::string v3 =
        "     3.04           N: GNSS NAV DATA    M: MIXED            RINEX VERSION / TYPE\n"
        "                                                            END OF HEADER\n" +
        kepler + glonass + galileo + beidou_geo + "J01" + kepler.substr(3);
    const std::string v4 =
        "     4.00           N: GNSS NAV DATA    M: MIXED            RINEX VERSION / TYPE\n"
        "                                                            END OF HEADER\n"
        "> EPH G02 LNAV\n" + kepler + "> STO G26 LNAV\n    2022 06 10 19 56 48 GPUT      UTC(USNO)\n" +
        "> EPH R03 FDMA\n" + glonass + "     1.830000000000E+02-2.793967723846E-09 3.000000000000E+00\n" +
        "> EPH E11 INAV\n" + galileo + "> EPH C03 D2\n" + beidou_geo + "> EPH G05 CNAV\n" + kepler;
    return {v2, v2g, v3, v4};
}
