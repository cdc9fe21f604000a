// Where every satellite with an ephemeris stands in the receiver's sky at every epoch of an
// observation record. Computed once per analysis and shared by the point extraction (azimuth and
// elevation of each CN0 value) and the visibility comparison, so that no satellite position is
// evaluated twice.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "navigation/geometry.hpp"
#include "navigation/nav_data.hpp"
#include "common/large_pages.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

// A receiver position usable for geometry: finite and at least 1000 km from the Earth's centre
// (phones and software receivers write 0, 0, 0).
bool usable_receiver_position(const std::array<double, 3>& xyz);

class SkyGeometry {
public:
    // Evaluates every candidate (every satellite key of the navigation data, sorted ascending by
    // byte value) at every epoch of `obs`, seen from `receiver`.
    static SkyGeometry compute(const NavigationData& nav, const RinexObsData& obs, const Ecef& receiver);

    const std::vector<std::string>& candidates() const { return candidates_; }
    std::size_t num_epochs() const { return num_epochs_; }

    // Look angles of candidate `c` at epoch `e` (index into obs.epochs); nullopt when the
    // satellite has no position then (no record close enough in time, implausible orbit).
    std::optional<LookAngles> at(std::size_t e, std::size_t c) const {
        const Cell& cell = cells_[e * candidates_.size() + c];
        if (!cell.valid) return std::nullopt;
        return LookAngles{cell.azimuth, cell.elevation};
    }

    // Candidate index of a satellite identifier, or nullopt when it has no ephemeris.
    std::optional<std::size_t> candidate_index(std::string_view sat) const;

    // Candidate index for each satellite id of the observation record (UINT32_MAX when none).
    const std::vector<std::uint32_t>& candidate_of_satellite() const { return by_obs_sat_; }

private:
    struct Cell {
        double azimuth = 0.0;
        double elevation = 0.0;
        bool valid = false;
    };
    std::vector<std::string> candidates_;
    std::vector<std::uint32_t> by_obs_sat_;
    std::size_t num_epochs_ = 0;
    LargeVector<Cell> cells_;  // epoch-major
};

}  // namespace tessora
