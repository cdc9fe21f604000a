// The observations of a record as tables.
//
// Long layout, one row per observation in file order (epoch, satellite, header code order):
//   time  timestamp[ns] in the file's time system; null for an epoch no timestamp can hold
//   sv    dictionary-encoded satellite identifier
//   code  dictionary-encoded observation code
//   value float64
//   lli   uint8, null where the loss-of-lock indicator is blank
//   ssi   uint8, null where the signal-strength indicator is blank
// The value and code columns point into the record's own arrays (no copy) whenever the record's
// satellites tile those arrays in order, which is every record except one where a satellite was
// written twice in an epoch.
//
// Wide layout, one row per (epoch, satellite): time, sv, then one float64 column per code name,
// in ascending order, null where the satellite has no such observation (as a pivoted frame).
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "columns/table.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

enum class ObsLayout { Long, Wide };

std::optional<ObsLayout> parse_obs_layout(std::string_view name);

std::shared_ptr<const Table> observation_table(std::shared_ptr<const RinexObsData> record, ObsLayout layout);

// The header's facts as schema metadata: version, marker, receiver, antenna, position (ECEF
// metres, JSON array; absent without one), position_geodetic (WGS 84 latitude, longitude in
// degrees and height in metres; absent for an unknown position), interval, time_system, filename.
void add_header_metadata(TableBuilder& b, const RinexObsData& r);

}  // namespace tessora
