// JSON text of an analysis result: a compact form without any white space and an indented form
// (two spaces per nesting level). Both write every block of the record in its fixed member order;
// maps are written in key order, floats in the shortest round-trip notation, NaN and infinities
// as null.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "cn0/result.hpp"

namespace tessora {

std::string to_json(const AnalysisResult& result);
std::string to_json_pretty(const AnalysisResult& result);

// The top-level members of the JSON object, in the order they are written.
inline constexpr std::array<std::string_view, 10> kJsonBlocks = {
    "file_info", "quality_score", "summary", "constellation_stats", "satellite_stats",
    "timeseries", "skyplot", "heatmap", "anomalies", "visibility"};

// The compact text of one top-level member's value, byte for byte as to_json writes it there;
// nullopt for a key that is not one of kJsonBlocks.
std::optional<std::string> to_json_block(const AnalysisResult& result, std::string_view key);

}  // namespace tessora
