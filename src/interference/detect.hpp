// The interference detector: common-mode CN0 degradation per frequency band against an
// elevation template (or, without elevations, each satellite's own level), with thresholds
// derived from the recording's own noise. It stands beside the CN0-drop anomalies of the
// analysis and shares nothing with them.
#pragma once

#include <string>

#include "interference/report.hpp"
#include "navigation/nav_data.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

// Fewer epochs with CN0 than this leave the noise unmeasurable: the report stays empty.
inline constexpr std::size_t kMinDetectorEpochs = 20;

// Never fails: a recording it cannot judge gives a report with `reason` set and no events.
// `nav` may be null. Runs on any thread.
InterferenceReport detect_interference(const RinexObsData& obs, const NavigationData* nav, const DetectorOptions& options);

// JSON texts (compact): the report (with its template) and a template alone. Keys in fixed
// order, floats in the shortest round-trip notation, NaN as null.
std::string to_json(const InterferenceReport& report);
std::string to_json(const CN0Template& t);

std::string report_repr(const InterferenceReport& r);
std::string event_repr(const InterferenceEvent& e);
std::string template_repr(const CN0Template& t);

}  // namespace tessora
