// JSON text of an analysis result: a compact form without any white space and an indented form
// (two spaces per nesting level). Both write every block of the record in its fixed member order;
// maps are written in key order, floats in the shortest round-trip notation, NaN and infinities
// as null.
#pragma once

#include <string>

#include "cn0/result.hpp"

namespace tessora {

std::string to_json(const AnalysisResult& result);
std::string to_json_pretty(const AnalysisResult& result);

}  // namespace tessora
