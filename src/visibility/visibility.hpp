// Predicted versus observed satellites per epoch and constellation, and visibility anomalies.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rinex/obs_data.hpp"
#include "visibility/sky_geometry.hpp"
#include "visibility/visibility_result.hpp"

namespace tessora {

// Constellation name of a satellite identifier by its first character: C BeiDou, E Galileo,
// G GPS, J QZSS, R GLONASS, S SBAS; anything else (IRNSS included) and an empty identifier
// "Unknown". Returns a static text.
const char* system_name(std::string_view sat);

// Runs the comparison. `geometry` is absent when the observations have no usable receiver
// position; then (and when there are no epochs) the result has has_prediction true, an empty
// prediction source and zeros. `prediction_source` is "BRDC Navigation (N satellites)".
// `per_epoch`, when given, receives the number of satellites predicted and observed at each epoch
// of the record (empty when there is no prediction).
struct EpochVisibility {
    std::uint32_t predicted = 0;
    std::uint32_t observed = 0;
};
VisibilityResult predict_visibility(const std::optional<SkyGeometry>& geometry, const std::string& prediction_source,
                                    double elevation_mask, const RinexObsData& obs,
                                    std::vector<EpochVisibility>* per_epoch = nullptr);

}  // namespace tessora
