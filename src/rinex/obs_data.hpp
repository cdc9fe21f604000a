// In-memory form of one RINEX observation file.
//
// The record is compact: observation codes and satellite identifiers are interned per record and
// the observations of all epochs live in flat arrays. Epochs keep their satellites in file order
// (the first line of a satellite fixes its place; a repeated line replaces its observations) and
// each satellite keeps its observations in the order of the header's code list.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/large_pages.hpp"
#include "rinex/epoch_time.hpp"

namespace tessora {

// Indicator digits 0-9; kNoIndicator when blank or not a digit.
inline constexpr std::uint8_t kNoIndicator = 0xFF;

struct Observation {
    double value = 0.0;
    std::optional<std::uint8_t> lli;
    std::optional<std::uint8_t> ssi;
};

// One satellite of one epoch: an identifier and a range of the record's observation arrays.
struct SatelliteEntry {
    std::uint32_t sat = 0;        // index into RinexObsData::satellite_names
    std::uint32_t obs_begin = 0;  // first observation
    std::uint32_t obs_count = 0;
};

struct Epoch {
    EpochTime time;
    std::uint8_t flag = 0;
    std::uint32_t sat_begin = 0;  // first entry in RinexObsData::sat_entries
    std::uint32_t sat_count = 0;
};

// Observation types announced for one constellation, in header (column) order.
struct ObsTypeList {
    char system = 0;
    std::vector<std::uint32_t> codes;  // indices into RinexObsData::code_names
};

// The time system of a file whose TIME OF FIRST OBS record names none: that of its single
// satellite system, GPS time for a mixed file.
std::string default_time_system(std::string_view file_system);

class RinexObsData {
public:
    double version = 0.0;
    std::string marker_name;
    std::string receiver_type;
    std::string receiver_firmware;  // REC # / TYPE / VERS, columns 41-60
    std::string antenna_type;
    std::optional<std::array<double, 3>> approx_position;
    double interval = 0.0;
    std::string time_system;  // of the epochs: "GPS", "GLO", "GAL", "BDT", "QZS", "IRN"
    std::string file_name;    // the name the record was read under
    std::vector<ObsTypeList> obs_types;                           // in order of first announcement
    std::vector<std::pair<std::string, std::int32_t>> glonass_slots;  // slot text -> channel
    std::vector<Epoch> epochs;

    // Interned texts.
    std::vector<std::string> code_names;
    std::vector<std::string> satellite_names;

    // Flat storage behind the epochs.
    LargeVector<SatelliteEntry> sat_entries;
    LargeVector<double> obs_values;
    LargeVector<std::uint32_t> obs_codes;
    LargeVector<std::uint8_t> obs_indicators;  // lli in the high nibble, ssi in the low; 0xF = absent

    // --- access -------------------------------------------------------------------------
    const ObsTypeList* types_of(char system) const {
        for (const auto& t : obs_types)
            if (t.system == system) return &t;
        return nullptr;
    }
    std::size_t num_epochs() const { return epochs.size(); }
    const SatelliteEntry* sats_begin(const Epoch& e) const { return sat_entries.data() + e.sat_begin; }
    const SatelliteEntry* sats_end(const Epoch& e) const { return sat_entries.data() + e.sat_begin + e.sat_count; }
    std::string_view sat_name(const SatelliteEntry& s) const { return satellite_names[s.sat]; }
    std::string_view code_name(std::uint32_t obs_index) const { return code_names[obs_codes[obs_index]]; }
    Observation observation(std::uint32_t obs_index) const {
        Observation o;
        o.value = obs_values[obs_index];
        const std::uint8_t ind = obs_indicators[obs_index];
        if ((ind >> 4) != 0xF) o.lli = static_cast<std::uint8_t>(ind >> 4);
        if ((ind & 0xF) != 0xF) o.ssi = static_cast<std::uint8_t>(ind & 0xF);
        return o;
    }
    // Whether code k of the code table begins with "S" (a signal-strength observable).
    bool is_snr_code(std::uint32_t code) const {
        const auto& c = code_names[code];
        return !c.empty() && c[0] == 'S';
    }
    std::optional<std::int32_t> glonass_channel(std::string_view slot) const {
        for (const auto& [k, v] : glonass_slots)
            if (k == slot) return v;
        return std::nullopt;
    }

    // Distinct satellite identifiers over all epochs, in order of first occurrence (indices into
    // satellite_names).
    std::vector<std::uint32_t> distinct_satellites() const;

    // Distinct satellites grouped by system (first character of the identifier); an empty
    // identifier has no system and is left out. Systems in order of first occurrence.
    std::vector<std::pair<std::string, std::vector<std::uint32_t>>> satellites_by_system() const;
};

}  // namespace tessora
