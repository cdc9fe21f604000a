// A compact binary form of the records, so that they can leave the process (pickling, batch
// results gathered from other machines) and come back equal.
//
// Layout: the signature "TCN0", a record kind byte, a format version byte, the fields in
// declaration order (integers and floats little-endian, texts and lists with a 64-bit length),
// and a CRC-32 of all that precedes it. Decoding checks the checksum, every length against the
// bytes that remain, every text for UTF-8, and every index of a record into its own tables, so a
// cut, altered or hostile state is an error, never a record that could misbehave later.
#pragma once

#include <string>
#include <string_view>

#include "cn0/analysis_steps.hpp"
#include "cn0/config.hpp"
#include "cn0/result.hpp"
#include "common/expected.hpp"
#include "interference/report.hpp"
#include "navigation/nav_data.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

std::string encode_state(const RinexObsData& r);
std::string encode_state(const NavigationData& r);
std::string encode_state(const AnalysisConfig& r);
std::string encode_state(const AnalysisResult& r);
std::string encode_state(const QualityScoreValues& r);
std::string encode_state(const InterferenceReport& r);
std::string encode_state(const InterferenceEvent& r);
std::string encode_state(const CN0Template& r);

// Errors read "invalid <kind> state: <reason>", e.g. "invalid RinexObsData state: checksum mismatch".
Expected<RinexObsData> decode_observations_state(std::string_view state);
Expected<NavigationData> decode_navigation_state(std::string_view state);
Expected<AnalysisConfig> decode_config_state(std::string_view state);
Expected<AnalysisResult> decode_result_state(std::string_view state);
Expected<QualityScoreValues> decode_quality_state(std::string_view state);
Expected<InterferenceReport> decode_interference_state(std::string_view state);
Expected<InterferenceEvent> decode_event_state(std::string_view state);
Expected<CN0Template> decode_template_state(std::string_view state);

}  // namespace tessora
