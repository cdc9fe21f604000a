// RINEX observation reader (versions 2.x and 3.x).
#pragma once

#include <string_view>

#include "common/expected.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

// Parses the whole content of an observation file, plain or compressed (gzip, Unix compress,
// bzip2, Hatanaka; see archive/expand.hpp). `file_name` becomes the marker name when the header
// has none. The reader's own error is "No END OF HEADER found"; undecodable compressed content
// gives the decoder's message.
Expected<RinexObsData> read_rinex_obs(std::string_view bytes, std::string_view file_name);

// The same for content known to be plain RINEX text.
Expected<RinexObsData> read_rinex_obs_text(std::string_view text, std::string_view file_name);

}  // namespace tessora
