// RINEX observation reader (versions 2.x and 3.x).
#pragma once

#include <string_view>

#include "common/expected.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

// Parses the whole content of an observation file. `file_name` becomes the marker name when the
// header has none. The only error is "No END OF HEADER found".
Expected<RinexObsData> read_rinex_obs(std::string_view bytes, std::string_view file_name);

}  // namespace tessora
