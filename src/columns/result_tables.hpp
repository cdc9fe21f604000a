// Tables of an analysis result and of an interference report. Times are timestamp[ns] parsed from
// the records' epoch texts (the file's time system), null where a text is not an epoch.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cn0/result.hpp"
#include "columns/table.hpp"
#include "interference/report.hpp"

namespace tessora {

// time, sv, system, code, cn0, azimuth, elevation: every accepted point of the satellites' CN0
// series, in time order, then by satellite.
std::shared_ptr<const Table> points_table(const AnalysisResult& r);
// time, mean_cn0, satellite_count: the result's time series.
std::shared_ptr<const Table> timeseries_table(const AnalysisResult& r);
// time, severity, event_type, description, cn0_drop, affected_satellites, affected_systems.
std::shared_ptr<const Table> anomalies_table(const AnalysisResult& r);

// start, end, peak_time, duration, peak_degradation_db, kind, bands, systems,
// satellites_affected, satellites_lost, statistic, then degradation_db_<band> per band of any
// event (null where the event did not affect the band).
std::shared_ptr<const Table> events_table(const InterferenceReport& r);
// time, band, degradation_db (null where the band had no signal), tracked, lost: one row per
// epoch and band.
std::shared_ptr<const Table> degradation_table(const InterferenceReport& r);

// Column builders for values that may be missing.
void add_times(TableBuilder& b, std::string name, const std::vector<std::string>& texts);
void add_optional_f64(TableBuilder& b, std::string name, const std::vector<std::optional<double>>& v);
void add_optional_i64(TableBuilder& b, std::string name, const std::vector<std::optional<std::int64_t>>& v);

}  // namespace tessora
