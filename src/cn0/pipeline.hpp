// The analysis pipeline: one AnalysisInput in, one complete AnalysisResult out. It never fails.
#pragma once

#include <functional>
#include <string_view>

#include "cn0/config.hpp"
#include "cn0/result.hpp"

namespace tessora {

// Receives one progress line per stage (reading is reported by the caller) when the input asks
// for verbose output.
using ProgressSink = std::function<void(std::string_view)>;

AnalysisResult run_analysis(const AnalysisInput& input, const ProgressSink& progress = {});

}  // namespace tessora
