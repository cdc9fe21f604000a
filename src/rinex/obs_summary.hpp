// Summaries of an observation record for inspection: signal strength per satellite and system,
// and a text dump of what the reader found.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "rinex/obs_data.hpp"

namespace tessora {

// A CN0 value of an "S" observable is valid when 0 < value < 100 dB-Hz.
inline bool is_valid_cn0(double v) { return v > 0.0 && v < 100.0; }

struct SnrStats {
    std::string satellite;
    double obs_count = 0.0;    // stored "S" observations, every code counted
    double valid_count = 0.0;  // of which valid
    double mean_snr = 0.0;     // mean of the valid values, 0.0 when none
};

// One entry per satellite with at least one "S" observation, sorted by identifier.
std::vector<SnrStats> snr_stats_by_satellite(const RinexObsData& rec);

// Per system of the header's type lists: whether any announced code begins with "S".
// Sorted by system.
std::vector<std::pair<std::string, bool>> snr_availability(const RinexObsData& rec);

// Text dump of the record, sorted by key.
std::vector<std::pair<std::string, std::string>> debug_info(const RinexObsData& rec);

// "RinexObsData(version=3.04, epochs=2880, satellites=41)"
std::string obs_repr(const RinexObsData& rec);

}  // namespace tessora
