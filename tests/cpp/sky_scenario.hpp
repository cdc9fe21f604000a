// Small hand-made scenarios for the visibility and pipeline tests: a receiver on the equator at
// longitude 0, satellites placed on equatorial orbits at chosen longitudes (near the zenith, or
// on the far side of the Earth), and RINEX 3 observation text written epoch by epoch.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "navigation/geometry.hpp"
#include "navigation/nav_data.hpp"
#include "navigation/nav_reader.hpp"
#include "rinex/epoch_time.hpp"
#include "rinex/obs_reader.hpp"

namespace scenario {

using namespace tessora;

// Receiver on the equator at the prime meridian, on the ellipsoid.
inline constexpr double kReceiverX = 6378137.0;
inline constexpr double kOrbitRadius = 26560000.0;  // a GPS-like circular orbit
inline constexpr double kPi = 3.14159265358979323846;

inline EpochTime at(int hour, int minute, double second, int day = 1) {
    return EpochTime{2024, 1, static_cast<std::uint32_t>(day), static_cast<std::uint32_t>(hour),
                     static_cast<std::uint32_t>(minute), second};
}

// Epoch k of a 30-second series starting 2024-01-01 00:00:00.
inline EpochTime epoch30(int k) { return at(0, (k * 30) / 60, (k * 30) % 60); }

// Navigation data with satellites on circular equatorial orbits. A satellite placed at longitude
// L (degrees) at time t sits at (r cos L, r sin L, 0) in the Earth-fixed frame at t and drifts by
// about 0.25 degrees per minute: longitude 0 is the receiver's zenith, 180 the nadir.
struct Sky {
    NavigationData nav;

    void kepler(const std::string& id, double lon_deg, const EpochTime& t) {
        KeplerEphemeris k;
        k.epoch = t;
        k.sqrt_a = std::sqrt(kOrbitRadius);
        // toe = GPS seconds of week at t, so that the time from ephemeris is 0 at t; the node then
        // lies at the x axis and the mean anomaly alone sets the longitude.
        const double days = (julian_date(t) - 0.5) - 2444244.5;
        k.toe = (days - 7.0 * std::floor(days / 7.0)) * 86400.0;
        k.omega0 = orbit::kOmegaEarth * k.toe;
        k.m0 = lon_deg * kPi / 180.0;
        k.system = id[0];
        k.prepare();
        auto& map = id[0] == 'E' ? nav.galileo : id[0] == 'C' ? nav.beidou : nav.gps;
        map[id].push_back(k);
    }

    void glonass(const std::string& id, double lon_deg, const EpochTime& t) {
        GlonassEphemeris g;
        g.epoch = t;
        g.x = kOrbitRadius * std::cos(lon_deg * kPi / 180.0);
        g.y = kOrbitRadius * std::sin(lon_deg * kPi / 180.0);
        g.epoch_jd = julian_date(t);
        nav.glonass[id].push_back(g);
    }
};

inline std::string hl(const std::string& content, const std::string& label) {
    std::string s = content;
    s.resize(60, ' ');
    return s + label + "\n";
}

// One satellite line: identifier and its fields in the order C1C S1C S2W; an empty text leaves
// the field blank.
struct SatLine {
    std::string id;
    std::string s1c = "45.000";
    std::string s2w;
    std::string c1c = "22000000.000";
};

// RINEX 3 observation text, every system announcing C1C S1C S2W.
class ObsText {
public:
    explicit ObsText(std::optional<std::array<double, 3>> position = std::array<double, 3>{kReceiverX, 0.0, 0.0},
                     const std::string& position_text = "") {
        text_ = hl("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE") + hl("TEST", "MARKER NAME");
        if (!position_text.empty()) {
            text_ += hl(position_text, "APPROX POSITION XYZ");
        } else if (position) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%14.4f%14.4f%14.4f", (*position)[0], (*position)[1], (*position)[2]);
            text_ += hl(buf, "APPROX POSITION XYZ");
        }
        for (char sys : std::string("GRECJSI")) text_ += hl(std::string(1, sys) + "    3 C1C S1C S2W", "SYS / # / OBS TYPES");
        text_ += hl("", "END OF HEADER");
    }

    ObsText& epoch(const EpochTime& t, const std::vector<SatLine>& sats) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "> %04d %02u %02u %02u %02u%11.7f  0%3zu\n", t.year, t.month, t.day, t.hour,
                      t.minute, t.second, sats.size());
        text_ += buf;
        for (const SatLine& s : sats) text_ += s.id + field(s.c1c) + field(s.s1c) + field(s.s2w) + "\n";
        return *this;
    }

    // Satellites by identifier only, each with the default S1C value.
    ObsText& epoch(const EpochTime& t, const std::vector<std::string>& ids) {
        std::vector<SatLine> sats;
        for (const auto& id : ids) sats.push_back(SatLine{id});
        return epoch(t, sats);
    }

    const std::string& text() const { return text_; }

    RinexObsData read() const {
        auto r = read_rinex_obs(text_, "scenario.rnx");
        EXPECT_TRUE(r.ok());
        return r.ok() ? std::move(r.value()) : RinexObsData{};
    }

private:
    static std::string field(const std::string& v) {
        if (v.empty()) return std::string(16, ' ');
        return std::string(14 - std::min<std::size_t>(14, v.size()), ' ') + v + "  ";
    }
    std::string text_;
};

// Identifiers "G01".."G<n>" (or another letter).
inline std::vector<std::string> ids(char letter, int first, int last) {
    std::vector<std::string> out;
    for (int i = first; i <= last; ++i) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%c%02d", letter, i);
        out.emplace_back(buf);
    }
    return out;
}

inline std::vector<std::string> without(std::vector<std::string> v, const std::vector<std::string>& drop) {
    std::vector<std::string> out;
    for (auto& s : v)
        if (std::find(drop.begin(), drop.end(), s) == drop.end()) out.push_back(std::move(s));
    return out;
}

inline std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Real files beside the repository.
inline const std::filesystem::path kData = TESSORA_DATA_DIR;

inline std::optional<std::string> load_file(const std::string& rel) {
    std::ifstream f(kData / rel, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace scenario
