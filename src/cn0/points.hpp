// The accepted CN0 values of one analysis, from which every later block is derived.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/large_pages.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

// One accepted CN0 value. Texts are referenced by index, not copied per point:
// `time` indexes PointSet::times (the distinct epoch timestamp texts, ascending), `satellite` the
// record's satellite_names, `signal` its code_names.
struct ObservationPoint {
    std::uint32_t time = 0;
    std::uint32_t satellite = 0;
    std::uint32_t signal = 0;
    const char* system = "";  // constellation name (static text)
    double cn0 = 0.0;
    double elevation = 0.0;
    double azimuth = 0.0;
};

struct PointSet {
    const RinexObsData* obs = nullptr;
    std::vector<std::string> times;       // distinct timestamp texts in ascending order
    LargeVector<ObservationPoint> points; // in acceptance order (epochs, then satellites, then signals)

    const std::string& timestamp(const ObservationPoint& p) const { return times[p.time]; }
    const std::string& satellite(const ObservationPoint& p) const { return obs->satellite_names[p.satellite]; }
    const std::string& signal(const ObservationPoint& p) const { return obs->code_names[p.signal]; }
};

}  // namespace tessora
