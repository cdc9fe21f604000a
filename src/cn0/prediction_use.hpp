// Whether a result's visibility comparison can be used by the indications and the score.
#pragma once

#include "cn0/result.hpp"

namespace tessora {

// The visibility block when it holds a real prediction; null otherwise. The block exists whenever
// navigation data was given, but without a usable receiver position (or without epochs) the
// comparison could not run: its source text is then empty and its numbers are placeholders,
// which must not count as a prediction of zero satellites.
inline const VisibilityResult* usable_prediction(const AnalysisResult& result) {
    if (!result.visibility || !result.visibility->has_prediction) return nullptr;
    if (result.visibility->prediction_source.empty()) return nullptr;
    return &*result.visibility;
}

}  // namespace tessora
