#include "rtcm/assemble.hpp"

#include <algorithm>
#include <cmath>

#include "rtcm/gnss_time.hpp"

namespace tessora::rtcm {

namespace {

constexpr std::int64_t kMoscowAheadMs = 3 * 3600 * 1000;  // Moscow time = UTC + 3 h
constexpr std::int64_t kBeidouBehindMs = 14000;            // BeiDou time = GPS time - 14 s
constexpr int kMaxLeap = 40;
constexpr std::string_view kSystemOrder = "GREJCIS";
constexpr char kObsKinds[4] = {'C', 'L', 'D', 'S'};

std::int64_t floor_mod(std::int64_t v, std::int64_t m) {
    const std::int64_t r = v % m;
    return r < 0 ? r + m : r;
}

// The value congruent to `v` modulo `period` nearest to `anchor`.
std::int64_t nearest(std::int64_t v, std::int64_t period, std::int64_t anchor) {
    const double k = std::floor(static_cast<double>(anchor - v) / static_cast<double>(period) + 0.5);
    return v + static_cast<std::int64_t>(k) * period;
}

std::size_t system_rank(char system) {
    const std::size_t r = kSystemOrder.find(system);
    return r == std::string_view::npos ? kSystemOrder.size() : r;
}

}  // namespace

std::uint32_t EpochAssembler::intern(std::vector<std::string>& names, TextMap<std::uint32_t>& index, std::string_view s) {
    auto it = index.find(s);
    if (it != index.end()) return it->second;
    const auto id = static_cast<std::uint32_t>(names.size());
    names.emplace_back(s);
    index.emplace(std::string(s), id);
    return id;
}

std::uint32_t EpochAssembler::sat_id(std::string_view sat) {
    const std::size_t system = kSystemOrder.find(sat.empty() ? ' ' : sat[0]);
    const bool usual = system != std::string_view::npos && sat.size() == 3 && sat[1] >= '0' && sat[1] <= '9' &&
                       sat[2] >= '0' && sat[2] <= '9';
    if (!usual) return intern(sat_names_, sat_index_, sat);
    std::uint16_t& slot = sat_fast_[system * 100 + static_cast<std::size_t>((sat[1] - '0') * 10 + (sat[2] - '0'))];
    if (slot == 0) slot = static_cast<std::uint16_t>(intern(sat_names_, sat_index_, sat) + 1);
    return slot - 1u;
}

std::uint32_t EpochAssembler::code_id(const char code[2]) {
    const bool usual = code[0] >= '0' && code[0] <= '9' && code[1] >= 'A' && code[1] <= 'Z';
    if (!usual) return intern(code_names_, code_index_, std::string_view(code, 2));
    std::uint16_t& slot = code_fast_[static_cast<std::size_t>((code[0] - '0') * 26 + (code[1] - 'A'))];
    if (slot == 0) slot = static_cast<std::uint16_t>(intern(code_names_, code_index_, std::string_view(code, 2)) + 1);
    return slot - 1u;
}

EpochAssembler::Track& EpochAssembler::track(std::uint32_t sat, std::uint32_t code) {
    if (tracks_.size() <= sat) tracks_.resize(sat + 1);
    auto& of_sat = tracks_[sat];
    if (of_sat.size() <= code) of_sat.resize(code + 1);
    return of_sat[code];
}

std::optional<std::int64_t> EpochAssembler::place(const ObsMessage& m, int leap, std::int64_t& of_day) const {
    const std::int64_t leap_ms = std::int64_t{leap} * 1000;
    // GLONASS: the day of week counts only until something has dated the stream; after that the
    // time of day is placed on the day nearest to the stream's time, as some senders write day 0
    // whatever the day.
    const bool has_day = m.clock == EpochClock::week_ms || (m.clock == EpochClock::glonass_day_ms && m.day < 7 && !last_);
    if (has_day) {
        std::int64_t week_ms = m.time_ms;
        if (m.system == 'C' && !beidou_in_gps_time_) week_ms += kBeidouBehindMs;
        if (m.clock == EpochClock::glonass_day_ms) week_ms += std::int64_t{m.day} * kDayMs - kMoscowAheadMs + leap_ms;
        week_ms = floor_mod(week_ms, kWeekMs);
        return last_ ? nearest(week_ms, kWeekMs, *last_) : week_ms;
    }
    of_day = floor_mod(std::int64_t{m.time_ms} - kMoscowAheadMs + leap_ms, kDayMs);
    if (!last_) return std::nullopt;
    return nearest(of_day, kDayMs, *last_);
}

// Messages of one epoch follow each other with the multiple-message bit set on all but the last,
// and they carry the same instant. A GLONASS message in such a chain behind a message of another
// system therefore tells the leap seconds (its UTC-based time is that many seconds behind), and
// a BeiDou message there tells whether the sender wrote BeiDou time, as BeiDou MSM normally
// carry, or GPS time, as some early receivers did.
void EpochAssembler::learn_from_chain(const ObsMessage& m) {
    if (!chain_open_ || !chain_time_ || chain_system_ == m.system) return;
    const std::int64_t before = floor_mod(*chain_time_, kWeekMs);
    if (m.system == 'C' && m.clock == EpochClock::week_ms) {
        if (m.time_ms == before) beidou_in_gps_time_ = true;
        if (floor_mod(std::int64_t{m.time_ms} + kBeidouBehindMs, kWeekMs) == before) beidou_in_gps_time_ = false;
        return;
    }
    if (m.system != 'R') return;
    // The time of day alone: the day of week is not trusted (see place()).
    const std::int64_t utc = std::int64_t{m.time_ms} - kMoscowAheadMs;
    const std::int64_t diff = floor_mod(floor_mod(before, kDayMs) - utc, kDayMs);
    if (diff % 1000 == 0 && diff / 1000 <= kMaxLeap) learned_leap_ = static_cast<int>(diff / 1000);
}

void EpochAssembler::add(const ObsMessage& m, int leap) {
    learn_from_chain(m);
    std::int64_t of_day = 0;
    auto t = place(m, learned_leap_.value_or(leap), of_day);
    if (!t) {
        waiting_.push_back(Waiting{m, of_day});
        return;
    }
    // Within a chain of one epoch's messages, a time whole days away from the chain's is the
    // chain's: a sender that writes the time of day where the time of week belongs.
    if (chain_open_ && chain_time_ && *t != *chain_time_ && (*t - *chain_time_) % kDayMs == 0) t = *chain_time_;
    commit(m, *t);
    chain_time_ = *t;
    chain_system_ = m.system;
    chain_open_ = m.more;
    if (!m.more) last_closed_ = *t;
    if (!waiting_.empty()) place_waiting(*t);
}

void EpochAssembler::place_waiting(std::int64_t anchor) {
    std::deque<Waiting> w;
    w.swap(waiting_);
    for (const Waiting& x : w) commit(x.message, nearest(x.of_day, kDayMs, anchor));
}

void EpochAssembler::learn_channel(const std::string& sat, int channel) {
    if (channel >= -7 && channel <= 13) channels_[sat] = channel;
}

// Loss-of-lock indicator of a cell: bit 0 when the lock time went down since the signal's last
// epoch (the receiver lost lock in between) or when the signal was missing from its system's
// previous epoch; bit 1 when the half-cycle ambiguity is unresolved.
std::uint8_t EpochAssembler::loss_of_lock(std::uint32_t sat, std::uint32_t code, char system, std::int64_t t,
                                          const ObsCell& c) {
    std::uint8_t lli = c.half_cycle ? 2 : 0;
    if (c.lock_ms < 0.0) return lli;
    const SystemEpochs& se = systems_[static_cast<unsigned char>(system) & 0x7F];
    Track& tr = track(sat, code);
    if (tr.known && tr.last_epoch != t) {
        const bool decreased = c.lock_ms < tr.lock_ms;
        const bool reappeared = se.previous && tr.last_epoch < *se.previous;
        if (decreased || reappeared) lli |= 1;
    }
    tr.known = true;
    tr.lock_ms = c.lock_ms;
    tr.last_epoch = t;
    return lli;
}

void EpochAssembler::commit(const ObsMessage& m, std::int64_t t) {
    SystemEpochs& se = systems_[static_cast<unsigned char>(m.system) & 0x7F];
    if (se.current != t) {
        se.previous = se.current;
        se.current = t;
    }
    std::vector<Cell>& cells = epochs_[t];
    if (index_epoch_ != t) {  // the cells of another epoch than the last one written
        for (std::uint32_t i = 0; i < cells.size(); ++i) {
            Track& tr = track(cells[i].sat, cells[i].code);
            tr.in_epoch = t;
            tr.pos = i;
        }
        index_epoch_ = t;
    }
    for (const ObsCell& c : m.cells) {
        Cell x;
        x.sat = sat_id(c.sat);
        x.code = code_id(c.code);
        x.pseudorange = c.pseudorange;
        x.phase_range = c.phase_range;
        x.range_rate = c.range_rate;
        x.cnr = c.cnr;
        x.channel = c.channel;
        if (c.channel != kNoChannel) {
            if (sat_channel_.size() <= x.sat) sat_channel_.resize(x.sat + 1, kNoChannel);
            if (sat_channel_[x.sat] != c.channel) {
                sat_channel_[x.sat] = c.channel;
                learn_channel(c.sat, c.channel);
            }
        }
        x.lli = loss_of_lock(x.sat, x.code, m.system, t, c);
        Track& tr = track(x.sat, x.code);
        if (tr.in_epoch == t) {
            cells[tr.pos] = x;  // a signal given twice in one epoch: the later message holds
        } else {
            tr.in_epoch = t;
            tr.pos = static_cast<std::uint32_t>(cells.size());
            cells.push_back(x);
        }
    }
    if (cells.empty()) {
        epochs_.erase(t);
        index_epoch_.reset();
    }
    if (!last_ || t > *last_) last_ = t;
}

std::optional<std::int64_t> EpochAssembler::first_epoch() const {
    if (epochs_.empty()) return std::nullopt;
    return epochs_.begin()->first;
}

std::optional<std::int64_t> EpochAssembler::last_epoch() const {
    if (epochs_.empty()) return std::nullopt;
    return epochs_.rbegin()->first;
}

// ------------------------------------------------------------------------------------------
// The record.

namespace {

// The four observations RINEX 3 gives a signal: pseudorange (m), phase (cycles), Doppler (Hz) and
// signal strength (dB-Hz), in the order of kObsKinds; NaN where absent. Phase and Doppler need
// the carrier (`factor`, its frequency over the speed of light; NaN when unknown); RINEX counts a
// Doppler shift positive for an approaching satellite, the opposite sign of the range rate.
std::array<double, 4> observables(double factor, double pr, double phase_range, double rate, double cnr) {
    std::array<double, 4> v{pr, phase_range * factor, -rate * factor, cnr};
    for (double& x : v)
        if (!std::isfinite(x) || x == 0.0) x = kAbsent;  // the record never stores a zero
    return v;
}

double median_spacing(const std::vector<Epoch>& epochs) {
    std::vector<double> d;
    for (std::size_t i = 1; i < epochs.size(); ++i) d.push_back(exact_seconds_between(epochs[i].time, epochs[i - 1].time));
    if (d.empty()) return 0.0;
    std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2), d.end());
    return std::round(d[d.size() / 2] * 1000.0) / 1000.0;
}

}  // namespace

EpochAssembler::Carriers EpochAssembler::carriers() const {
    Carriers k;
    k.codes = code_names_.size();
    k.factor.assign(sat_names_.size() * k.codes, kAbsent);
    k.channel.assign(sat_names_.size(), kNoChannel);
    for (std::uint32_t s = 0; s < sat_names_.size(); ++s) {
        const std::string& sat = sat_names_[s];
        if (sat[0] == 'R')
            if (auto it = channels_.find(sat); it != channels_.end()) k.channel[s] = it->second;
        for (std::uint32_t c = 0; c < k.codes; ++c)
            if (const auto hz = carrier_hz(sat[0], code_names_[c][0], k.channel[s])) k.factor[s * k.codes + c] = *hz / kSpeedOfLight;
    }
    return k;
}

std::array<double, 4> EpochAssembler::values_of(const Cell& c, const Carriers& k) const {
    double factor = k.factor[c.sat * k.codes + c.code];
    // A message that carried the satellite's frequency channel gives the carrier of its cells.
    if (c.channel != kNoChannel && c.channel != k.channel[c.sat]) {
        const auto hz = carrier_hz(sat_names_[c.sat][0], code_names_[c.code][0], c.channel);
        factor = hz ? *hz / kSpeedOfLight : kAbsent;
    }
    return observables(factor, c.pseudorange, c.phase_range, c.range_rate, c.cnr);
}

namespace {

constexpr std::array<std::uint8_t, 128> make_system_ranks() {
    std::array<std::uint8_t, 128> r{};
    for (auto& x : r) x = static_cast<std::uint8_t>(kSystemOrder.size());
    for (std::size_t i = 0; i < kSystemOrder.size(); ++i) r[static_cast<unsigned char>(kSystemOrder[i])] = static_cast<std::uint8_t>(i);
    return r;
}

constexpr std::array<std::uint8_t, 128> kSystemRanks = make_system_ranks();

}  // namespace

std::size_t EpochAssembler::Slots::of(char system, std::uint32_t code, int kind) const {
    return (kSystemRanks[static_cast<unsigned char>(system) & 0x7F] * codes + code) * 4 + static_cast<std::size_t>(kind);
}

// The header's lists: which (system, signal, kind) the record holds, each system's codes in
// ascending order; the position in its list and the record's code of every slot.
EpochAssembler::Slots EpochAssembler::header_lists(RinexObsData& rec, TextMap<std::uint32_t>& code_ids,
                                                   const Carriers& carriers) const {
    Slots s;
    s.codes = code_names_.size();
    std::vector<char> present((kSystemOrder.size() + 1) * s.codes * 4, 0);
    for (const auto& [t, cells] : epochs_)
        for (const Cell& c : cells) {
            const auto v = values_of(c, carriers);
            for (int k = 0; k < 4; ++k)
                if (!std::isnan(v[k])) present[s.of(sat_names_[c.sat][0], c.code, k)] = 1;
        }
    s.position.assign(present.size(), 0);
    s.code_id.assign(present.size(), 0);
    for (char system : kSystemOrder) {
        std::vector<std::pair<std::string, std::size_t>> list;
        for (std::uint32_t code = 0; code < s.codes; ++code)
            for (int k = 0; k < 4; ++k)
                if (present[s.of(system, code, k)]) list.emplace_back(kObsKinds[k] + code_names_[code], s.of(system, code, k));
        if (list.empty()) continue;
        std::sort(list.begin(), list.end());
        ObsTypeList types{system, {}};
        for (std::uint32_t i = 0; i < list.size(); ++i) {
            s.code_id[list[i].second] = intern(rec.code_names, code_ids, list[i].first);
            s.position[list[i].second] = i;
            types.codes.push_back(s.code_id[list[i].second]);
        }
        rec.obs_types.push_back(std::move(types));
    }
    return s;
}

// Rank of every satellite: system order, then number.
std::vector<std::uint32_t> EpochAssembler::satellite_ranks() const {
    std::vector<std::uint32_t> by_name(sat_names_.size()), rank(sat_names_.size());
    for (std::uint32_t i = 0; i < by_name.size(); ++i) by_name[i] = i;
    std::sort(by_name.begin(), by_name.end(), [&](std::uint32_t a, std::uint32_t b) {
        const std::string &sa = sat_names_[a], &sb = sat_names_[b];
        return std::make_pair(system_rank(sa[0]), std::string_view(sa)) < std::make_pair(system_rank(sb[0]), std::string_view(sb));
    });
    for (std::uint32_t i = 0; i < by_name.size(); ++i) rank[by_name[i]] = i;
    return rank;
}

// Appends the observations of one satellite's cells [begin, end) in the order of its system's
// list; false when none of them holds a value.
bool EpochAssembler::append_satellite(RinexObsData& rec, const Slots& slots, const Carriers& carriers,
                                      const Cell* const* begin, const Cell* const* end, std::vector<std::uint32_t>& sat_ids,
                                      std::vector<Value>& values) const {
    values.clear();
    const std::string& name = sat_names_[(*begin)->sat];
    for (auto* c = begin; c != end; ++c) {
        const auto v = values_of(**c, carriers);
        for (int k = 0; k < 4; ++k) {
            if (std::isnan(v[k])) continue;
            const std::size_t at = slots.of(name[0], (*c)->code, k);
            // The loss-of-lock indicator belongs to the phase.
            const std::uint8_t lli = (k == 1 && (*c)->lli != 0) ? (*c)->lli : 0xF;
            values.push_back(Value{slots.position[at], slots.code_id[at], v[k], static_cast<std::uint8_t>(lli << 4 | 0xF)});
        }
    }
    if (values.empty()) return false;
    std::sort(values.begin(), values.end(), [](const Value& a, const Value& b) { return a.position < b.position; });
    std::uint32_t& id = sat_ids[(*begin)->sat];
    if (id == UINT32_MAX) {
        id = static_cast<std::uint32_t>(rec.satellite_names.size());
        rec.satellite_names.push_back(name);
    }
    rec.sat_entries.push_back(SatelliteEntry{id,
                                             static_cast<std::uint32_t>(rec.obs_values.size()),
                                             static_cast<std::uint32_t>(values.size())});
    for (const Value& v : values) {
        rec.obs_values.push_back(v.v);
        rec.obs_codes.push_back(v.code);
        rec.obs_indicators.push_back(v.ind);
    }
    return true;
}

void EpochAssembler::build(RinexObsData& rec, std::int32_t week) const {
    rec.version = 3.05;
    rec.time_system = "GPS";
    TextMap<std::uint32_t> code_ids;
    std::vector<std::uint32_t> sat_ids(sat_names_.size(), UINT32_MAX);  // record id of each satellite
    const Carriers carriers = this->carriers();
    const Slots slots = header_lists(rec, code_ids, carriers);
    std::vector<Value> values;
    const std::vector<std::uint32_t> rank = satellite_ranks();
    std::size_t total = 0;  // at most the values the cells hold
    for (const auto& [t, cells] : epochs_)
        for (const Cell& c : cells)
            total += !std::isnan(c.pseudorange) + !std::isnan(c.phase_range) + !std::isnan(c.range_rate) + !std::isnan(c.cnr);
    rec.obs_values.reserve(total);
    rec.obs_codes.reserve(total);
    rec.obs_indicators.reserve(total);
    std::vector<const Cell*> order;
    std::vector<std::uint32_t> start(rank.size() + 1);
    for (const auto& [t, cells] : epochs_) {
        // The cells in satellite order (a counting sort on the satellites' ranks); each
        // satellite's cells keep their order of arrival.
        std::fill(start.begin(), start.end(), 0u);
        for (const Cell& c : cells) ++start[rank[c.sat] + 1];
        for (std::size_t r = 1; r < start.size(); ++r) start[r] += start[r - 1];
        order.resize(cells.size());
        for (const Cell& c : cells) order[start[rank[c.sat]]++] = &c;
        Epoch e;
        e.time = gps_calendar(static_cast<double>(std::int64_t{week} * kWeekMs + t) / 1000.0);
        e.sat_begin = static_cast<std::uint32_t>(rec.sat_entries.size());
        for (std::size_t i = 0; i < order.size();) {
            std::size_t j = i;
            while (j < order.size() && order[j]->sat == order[i]->sat) ++j;
            if (append_satellite(rec, slots, carriers, order.data() + i, order.data() + j, sat_ids, values)) ++e.sat_count;
            i = j;
        }
        if (e.sat_count > 0) rec.epochs.push_back(e);
    }
    rec.interval = median_spacing(rec.epochs);
    // The slot table as the RINEX header gives it: slot numbers without leading zeros.
    std::vector<std::pair<int, int>> glonass;
    for (const auto& [sat, channel] : channels_)
        if (sat.size() == 3 && sat[0] == 'R') glonass.emplace_back((sat[1] - '0') * 10 + (sat[2] - '0'), channel);
    std::sort(glonass.begin(), glonass.end());
    for (const auto& [slot, channel] : glonass) rec.glonass_slots.emplace_back(std::to_string(slot), channel);
}

bool EpochAssembler::take_completed(RinexObsData& rec, std::int32_t week) {
    return take_completed_before(rec, week, INT64_MAX);
}

bool EpochAssembler::take_completed_before(RinexObsData& rec, std::int32_t week, std::int64_t before) {
    if (!last_) return false;
    const std::int64_t limit = std::min(before, last_closed_ && *last_closed_ >= *last_ ? *last_ + 1 : *last_);
    // The epochs still open wait aside while the others are built, then come back.
    std::map<std::int64_t, std::vector<Cell>> open;
    for (auto it = epochs_.lower_bound(limit); it != epochs_.end();) open.insert(epochs_.extract(it++));
    const bool any = !epochs_.empty();
    if (any) build(rec, week);
    epochs_.swap(open);
    index_epoch_.reset();
    return any;
}

}  // namespace tessora::rtcm
