// RINEX navigation reader: version 2 (GPS, GLONASS; SBAS skipped), version 3 and version 4 layouts.
#pragma once

#include <string_view>

#include "common/expected.hpp"
#include "navigation/nav_data.hpp"

namespace tessora {

// Parses the whole content of a navigation file, plain or compressed (archive/expand.hpp). The
// reader's own error is "No END OF HEADER found"; malformed records are dropped and malformed
// data fields read as 0.0. Undecodable compressed content gives the decoder's message.
Expected<NavigationData> read_navigation_content(std::string_view bytes);

// One broadcast data field: the 19 columns from `start` (clamped to the line), white space
// removed, Fortran "D"/"d" exponent accepted; anything unreadable is 0.0.
double nav_data_field(std::string_view line, std::size_t start);

}  // namespace tessora
