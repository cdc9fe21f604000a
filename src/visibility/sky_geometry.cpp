#include "visibility/sky_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessora {

namespace {

// Receivers closer to the Earth's centre than this are placeholders, not positions.
constexpr double kMinReceiverRadius = 1000000.0;  // m

template <typename Map>
void collect_keys(const Map& map, std::vector<std::string>& out) {
    for (const auto& kv : map) out.push_back(kv.first);
}

}  // namespace

bool usable_receiver_position(const std::array<double, 3>& xyz) {
    for (double c : xyz)
        if (!std::isfinite(c)) return false;
    // hypot does not overflow for large finite components.
    return std::hypot(xyz[0], xyz[1], xyz[2]) >= kMinReceiverRadius;
}

SkyGeometry SkyGeometry::compute(const NavigationData& nav, const RinexObsData& obs, const Ecef& receiver) {
    SkyGeometry g;
    g.candidates_.reserve(nav.satellite_count());
    collect_keys(nav.gps, g.candidates_);
    collect_keys(nav.galileo, g.candidates_);
    collect_keys(nav.beidou, g.candidates_);
    collect_keys(nav.glonass, g.candidates_);
    // std::string compares as unsigned bytes: ascending byte order.
    std::sort(g.candidates_.begin(), g.candidates_.end());
    g.candidates_.erase(std::unique(g.candidates_.begin(), g.candidates_.end()), g.candidates_.end());

    g.by_obs_sat_.assign(obs.satellite_names.size(), std::numeric_limits<std::uint32_t>::max());
    for (std::size_t s = 0; s < obs.satellite_names.size(); ++s)
        if (auto c = g.candidate_index(obs.satellite_names[s])) g.by_obs_sat_[s] = static_cast<std::uint32_t>(*c);

    const std::size_t ne = obs.epochs.size();
    const std::size_t nc = g.candidates_.size();
    g.num_epochs_ = ne;
    g.cells_.assign(ne * nc, Cell{});
    if (ne == 0 || nc == 0) return g;

    std::vector<double> jd(ne);
    for (std::size_t e = 0; e < ne; ++e) jd[e] = julian_date(obs.epochs[e].time);

    const Receiver rx = prepare_receiver(receiver);
    for (std::size_t c = 0; c < nc; ++c) {
        const SatelliteOrbit orbit = find_satellite(nav, g.candidates_[c]);
        if (!orbit) continue;
        for (std::size_t e = 0; e < ne; ++e) {
            const std::optional<Ecef> pos = satellite_position(orbit, jd[e]);
            if (!pos) continue;
            const LookAngles la = look_angles(rx, *pos);
            Cell& cell = g.cells_[e * nc + c];
            cell.azimuth = la.azimuth;
            cell.elevation = la.elevation;
            cell.valid = true;
        }
    }
    return g;
}

std::optional<std::size_t> SkyGeometry::candidate_index(std::string_view sat) const {
    auto it = std::lower_bound(candidates_.begin(), candidates_.end(), sat,
                               [](const std::string& a, std::string_view b) { return std::string_view(a) < b; });
    if (it == candidates_.end() || std::string_view(*it) != sat) return std::nullopt;
    return static_cast<std::size_t>(it - candidates_.begin());
}

}  // namespace tessora
