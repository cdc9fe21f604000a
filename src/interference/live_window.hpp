// The trailing window of a stream that the file detector judges again and again: the CN0
// observables (S codes) of the epochs pushed, in one record, the oldest dropped as it grows.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "rinex/obs_data.hpp"

namespace tessora {

class CN0Window {
public:
    // Appends the epochs of `chunk` (later than those held) with their S observations only; the
    // header facts of the chunk (position, receiver, antenna, marker) replace those held when set.
    void append(const RinexObsData& chunk);
    // Drops the epochs more than `keep` seconds before the last one, once they are a fifth more.
    void trim(double keep);
    const RinexObsData& record() const { return rec_; }
    std::size_t epochs() const { return rec_.epochs.size(); }
    // Seconds of the last epoch after the first ever held.
    double last_seconds() const { return seconds_.empty() ? 0.0 : seconds_.back(); }
    double first_seconds() const { return seconds_.empty() ? 0.0 : seconds_.front(); }
    double seconds_of(const EpochTime& t) const;

private:
    std::uint32_t sat_id(std::string_view name);
    std::uint32_t code_id(char system, std::string_view code);

    RinexObsData rec_;
    std::deque<double> seconds_;  // per epoch of rec_
    std::optional<EpochTime> origin_;
    TextMap<std::uint32_t> sat_ids_, code_ids_;
    std::array<std::vector<std::uint32_t>, 128> position_;  // per system: code id -> column + 1
};

}  // namespace tessora
