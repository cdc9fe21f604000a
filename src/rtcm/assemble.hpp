// Observation messages into epochs.
//
// Every message is placed on one time line, in milliseconds of GPS time counted from the start of
// the week of the first message that could be placed (the stream's week 0); the week itself is
// settled only when the recording is built. Messages with the same time form one epoch, whatever
// system or message type they come from. GLONASS times (Moscow time, UTC + 3 h) are converted
// with the leap seconds, BeiDou times (GPS - 14 s) with the constant offset.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/text.hpp"
#include "rinex/obs_data.hpp"
#include "rtcm/messages.hpp"

namespace tessora::rtcm {

class EpochAssembler {
public:
    // Adds a decoded message. `leap` is GPS - UTC for GLONASS times. A GLONASS message that gives
    // only a time of day waits until some message dates the stream.
    void add(const ObsMessage& m, int leap);

    // Time of the stream's last placed message (ms on the time line); nullopt before any.
    std::optional<std::int64_t> last_time() const { return last_; }
    std::optional<std::int64_t> first_epoch() const;
    std::optional<std::int64_t> last_epoch() const;
    bool has_waiting() const { return !waiting_.empty(); }
    // Places waiting messages nearest to `anchor` (ms on the time line).
    void place_waiting(std::int64_t anchor);

    // Frequency channel of a GLONASS satellite, learnt from the messages.
    void learn_channel(const std::string& sat, int channel);
    const TextMap<int>& channels() const { return channels_; }

    // Builds the observation record: the time line's 0 is the start of GPS week `week`.
    void build(RinexObsData& rec, std::int32_t week) const;
    // Builds the record of the epochs that are complete (before the latest epoch, or the latest
    // too once a message without the multiple-message bit closed it) and forgets them; the signals'
    // lock times, channels and names are kept for the epochs to come. False when none is complete.
    bool take_completed(RinexObsData& rec, std::int32_t week);
    // The same for the completed epochs before `before` (ms on the time line) only.
    bool take_completed_before(RinexObsData& rec, std::int32_t week, std::int64_t before);

private:
    struct Cell {
        std::uint32_t sat = 0;   // index into sat_names_
        std::uint32_t code = 0;  // index into code_names_ ("1C")
        double pseudorange, phase_range, range_rate, cnr;
        int channel;
        std::uint8_t lli;
    };
    struct Track {
        double lock_ms = 0.0;
        std::int64_t last_epoch = kNever;  // the signal's last epoch (for its lock time)
        std::int64_t in_epoch = kNever;    // the epoch whose cells hold the signal at `pos`
        std::uint32_t pos = 0;
        bool known = false;
    };
    static constexpr std::int64_t kNever = INT64_MIN;
    struct SystemEpochs {
        std::optional<std::int64_t> current, previous;
    };
    struct Waiting {
        ObsMessage message;
        std::int64_t of_day;  // GPS ms of day
    };

    // Positions of the observations in the header's lists, by (system, signal, kind).
    struct Slots {
        std::size_t codes = 0;
        std::vector<std::uint32_t> position, code_id;
        std::size_t of(char system, std::uint32_t code, int kind) const;
    };
    // Carrier frequency over the speed of light (cycles per metre, Hz per m/s) of every
    // (satellite, signal) pair, with the GLONASS channel it was computed for.
    struct Carriers {
        std::size_t codes = 0;
        std::vector<double> factor;  // satellite id * codes + signal id; NaN when unknown
        std::vector<int> channel;    // by satellite id
    };
    Carriers carriers() const;
    std::array<double, 4> values_of(const Cell& c, const Carriers& k) const;
    Slots header_lists(RinexObsData& rec, TextMap<std::uint32_t>& code_ids, const Carriers& carriers) const;
    std::vector<std::uint32_t> satellite_ranks() const;
    struct Value {
        std::uint32_t position, code;
        double v;
        std::uint8_t ind;
    };
    bool append_satellite(RinexObsData& rec, const Slots& slots, const Carriers& carriers,
                          const Cell* const* begin, const Cell* const* end, std::vector<std::uint32_t>& sat_ids,
                          std::vector<Value>& values) const;

    std::optional<std::int64_t> place(const ObsMessage& m, int leap, std::int64_t& of_day) const;
    void learn_from_chain(const ObsMessage& m);
    void commit(const ObsMessage& m, std::int64_t t);
    std::uint8_t loss_of_lock(std::uint32_t sat, std::uint32_t code, char system, std::int64_t t, const ObsCell& c);
    static std::uint32_t intern(std::vector<std::string>& names, TextMap<std::uint32_t>& index, std::string_view s);
    // Interned ids of a satellite and a signal, through small tables for the usual names ("G05",
    // "1C") and the maps for anything else.
    std::uint32_t sat_id(std::string_view sat);
    std::uint32_t code_id(const char code[2]);
    Track& track(std::uint32_t sat, std::uint32_t code);

    std::map<std::int64_t, std::vector<Cell>> epochs_;
    std::vector<std::string> sat_names_, code_names_;
    TextMap<std::uint32_t> sat_index_, code_index_;
    std::vector<std::vector<Track>> tracks_;  // by satellite id, then signal id
    std::array<std::uint16_t, 8 * 100> sat_fast_{};   // (system, number) -> id + 1
    std::array<std::uint16_t, 10 * 26> code_fast_{};  // (band digit, attribute letter) -> id + 1
    std::vector<int> sat_channel_;  // last channel a message gave, by satellite id
    // The epoch whose cells the tracks' positions describe.
    std::optional<std::int64_t> index_epoch_;
    std::array<SystemEpochs, 128> systems_{};
    TextMap<int> channels_;
    std::deque<Waiting> waiting_;
    std::optional<std::int64_t> last_;
    std::optional<std::int64_t> last_closed_;  // time of the last message that closed its epoch
    // The message before: its time, system and multiple-message bit.
    std::optional<std::int64_t> chain_time_;
    char chain_system_ = 0;
    bool chain_open_ = false;
    // Learnt from GLONASS and BeiDou messages in a chain with messages of other systems.
    std::optional<int> learned_leap_;
    bool beidou_in_gps_time_ = false;
};

}  // namespace tessora::rtcm
