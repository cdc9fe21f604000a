// The header of a written RINEX 3.05 observation file.
#pragma once

#include <string>

#include "rinex/obs_write_plan.hpp"
#include "rinex/obs_writer.hpp"

namespace tessora {

// From RINEX VERSION / TYPE to END OF HEADER, every line ended by '\n'. `options.date` must be
// set.
std::string rinex_header_text(const RinexObsData& rec, const WritePlan& plan, const RinexWriteOptions& options);

}  // namespace tessora
