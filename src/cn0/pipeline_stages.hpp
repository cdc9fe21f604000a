// The stages of the analysis pipeline, one function each, in the order run_analysis calls them.
// Exposed so that benchmarks and tests can time or examine one stage on its own.
#pragma once

#include <optional>
#include <string>

#include "cn0/config.hpp"
#include "cn0/points.hpp"
#include "cn0/result.hpp"
#include "visibility/sky_geometry.hpp"
#include "visibility/visibility_result.hpp"

namespace tessora {

// File information, receiver position and the time span of the record.
void fill_file_info(const RinexObsData& obs, FileInfo& info);

// Satellite look angles for the whole record, when the input has navigation data and the record
// a usable receiver position.
std::optional<SkyGeometry> analysis_geometry(const AnalysisInput& input);

// Every accepted CN0 value of the selected systems, above the elevation mask and inside the CN0
// window. `geometry` null: every satellite is taken at elevation 45 and azimuth 0.
PointSet extract_points(const AnalysisInput& input, const SkyGeometry* geometry);

// "BRDC Navigation (N satellites)" with N the number of satellites that have an ephemeris.
std::string prediction_source_text(const NavigationData& nav);

// Summary totals, per-satellite and per-constellation statistics and the time series. Reads the
// result's visibility block (satellites expected per constellation), so it runs after it.
void fill_statistics(const PointSet& points, AnalysisResult& result);

}  // namespace tessora
