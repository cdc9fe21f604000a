#include "navigation/nav_data.hpp"

#include <cmath>

#include "common/numbers.hpp"

namespace tessora {

void KeplerEphemeris::prepare() {
    epoch_jd = julian_date(epoch);
    semi_major = sqrt_a * sqrt_a;
    mean_motion = std::sqrt(orbit::kGmGps / (semi_major * semi_major * semi_major)) + delta_n;
    sqrt_1me2 = std::sqrt(1.0 - e * e);
}

std::string navigation_repr(const NavigationData& nav) {
    std::string s = "NavigationData(GPS=";
    append_uint(s, nav.gps.size());
    s += ", GLONASS=";
    append_uint(s, nav.glonass.size());
    s += ", Galileo=";
    append_uint(s, nav.galileo.size());
    s += ", BeiDou=";
    append_uint(s, nav.beidou.size());
    s += ')';
    return s;
}

}  // namespace tessora
