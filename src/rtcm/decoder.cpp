// The decoder: frames to messages, messages to the parts of a recording, and the recording.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <set>
#include <tuple>

#include "rtcm/assemble.hpp"
#include "rtcm/bits.hpp"
#include "rtcm/gnss_time.hpp"
#include "rtcm/messages.hpp"
#include "rtcm/rtcm.hpp"

namespace tessora::rtcm {

namespace {

constexpr int kCurrentLeap = 18;

template <typename M>
struct Arrived {
    M message;
    std::optional<std::int64_t> at;  // time line of the observations when it arrived
};

// The full week of a week number of `bits` bits: the latest such week not after `reference_week`.
std::int32_t unroll_week(unsigned week, unsigned bits, std::int32_t reference_week) {
    const std::int32_t period = std::int32_t{1} << bits;
    std::int32_t w = static_cast<std::int32_t>(week) % period;
    if (reference_week >= w) w += (reference_week - w) / period * period;
    return w;
}

std::int32_t week_of_seconds(double gps) {
    const double w = std::floor(gps / kWeekSeconds);
    return std::isfinite(w) && std::fabs(w) < 1e6 ? static_cast<std::int32_t>(w) : 0;
}

// Dates and file times the messages can refer to: GPS time from 1980 to 2106.
bool usable_gps(double gps) { return gps >= 0.0 && gps < 4e9; }

}  // namespace

struct RtcmDecoder::State {
    RtcmOptions options;
    FrameScanner frames;
    EpochAssembler epochs;
    std::map<int, std::uint64_t> counts;
    std::uint64_t malformed = 0;
    ObsMessage scratch;  // the message being decoded; its cells' storage is reused
    std::optional<int> station_id;
    std::optional<std::array<double, 3>> arp;
    std::optional<double> antenna_height;
    std::string antenna, receiver, firmware;
    std::vector<Arrived<KeplerMessage>> kepler;
    std::vector<Arrived<GlonassMessage>> glonass;
    // Ephemerides are broadcast again and again; each is kept once.
    std::set<std::tuple<char, unsigned, unsigned, double, double, double>> kepler_seen;
    std::set<std::tuple<unsigned, double, double, double>> glonass_seen;
    std::optional<int> ephemeris_leap;  // from the first ephemeris with a whole week

    // GPS - UTC for the GLONASS times being placed, from what is known of the date so far.
    int current_leap() const {
        if (options.date) return leap_seconds_at(gps_seconds(*options.date));
        if (options.file_time) return leap_seconds_at(gps_seconds_of_unix(*options.file_time));
        return ephemeris_leap.value_or(kCurrentLeap);
    }

    // GPS week of a full-week ephemeris (Galileo, BeiDou); 10-bit weeks need a reference.
    static std::int32_t full_gps_week(const KeplerMessage& k) {
        const auto w = static_cast<std::int32_t>(k.week);
        return k.system == 'E' ? w + kGalileoWeekOffset : w + kBeidouWeekOffset;
    }

    void on_payload(std::string_view payload);
    bool dispatch(int type, std::string_view payload);
    void on_station(const StationMessage& m);

    // The stream's week 0 as a GPS week, and how it was found.
    struct Week {
        std::int32_t week0 = 0;
        std::string source;
        std::optional<double> reference;  // the GPS time (s) the week was fitted to
    };
    Week resolve_week() const;
    std::int32_t rollover_reference() const;
    NavigationData build_nav(const Week& week) const;
    void describe(RtcmRecording& r, const Week& w, bool with_nav) const;
};

void RtcmDecoder::State::on_payload(std::string_view payload) {
    const int type = message_type(payload);
    ++counts[type];
    if (!dispatch(type, payload)) ++malformed;
}

// Decodes one message and commits what it gave; false when the message did not decode.
bool RtcmDecoder::State::dispatch(int type, std::string_view payload) {
    if (payload.size() < 2) return false;  // not even a message number
    if (msm_system(type) != 0) {
        if ((type - 1070) % 10 < 4) return true;  // MSM1..3 carry no signal strength
        if (!decode_msm(payload, scratch)) return false;
        if (!station_id) station_id = scratch.station;
        epochs.add(scratch, current_leap());
        return true;
    }
    switch (type) {
        case 1002: case 1004: case 1010: case 1012: {
            auto m = decode_legacy(payload);
            if (!m) return false;
            if (!station_id) station_id = m->station;
            epochs.add(*m, current_leap());
            return true;
        }
        case 1005: case 1006: case 1007: case 1008: case 1033: {
            auto m = decode_station(payload);
            if (!m) return false;
            on_station(*m);
            return true;
        }
        case 1019: case 1042: case 1044: case 1045: case 1046: {
            auto m = decode_kepler(payload);
            if (!m) return false;
            if (!kepler_seen.emplace(m->system, m->prn, m->week, m->toe, m->iode, m->m0).second) return true;
            kepler.push_back({*m, epochs.last_time()});
            if (!ephemeris_leap && m->week_bits > 10)
                ephemeris_leap = leap_seconds_at(full_gps_week(*m) * kWeekSeconds + m->toe);
            return true;
        }
        case 1020: {
            auto m = decode_glonass(payload);
            if (!m) return false;
            if (!glonass_seen.emplace(m->slot, m->tb, m->x, m->tau).second) return true;
            glonass.push_back({*m, epochs.last_time()});
            epochs.learn_channel(satellite_id('R', m->slot), m->channel);
            return true;
        }
        default:
            return true;  // not decoded, only counted
    }
}

void RtcmDecoder::State::on_station(const StationMessage& m) {
    if (!station_id) station_id = m.station;
    if (m.arp) arp = m.arp;
    if (m.antenna_height) antenna_height = m.antenna_height;
    if (m.antenna && !m.antenna->empty()) antenna = *m.antenna;
    if (m.receiver && !m.receiver->empty()) receiver = *m.receiver;
    if (m.firmware && !m.firmware->empty()) firmware = *m.firmware;
}

// Reference for 10-bit weeks: a full-week ephemeris of the stream, else the caller's date or file
// time, else the clock. A 10-bit week is taken as the latest week with that number not after it.
std::int32_t RtcmDecoder::State::rollover_reference() const {
    for (const auto& k : kepler)
        if (k.message.week_bits > 10) return full_gps_week(k.message) + 1;
    if (options.date) return week_of_seconds(gps_seconds(*options.date)) + 1;
    if (options.file_time) return week_of_seconds(gps_seconds_of_unix(*options.file_time)) + 1;
    return week_of_seconds(gps_seconds_of_unix(static_cast<double>(std::time(nullptr)))) + 1;
}

RtcmDecoder::State::Week RtcmDecoder::State::resolve_week() const {
    const auto first = epochs.first_epoch();
    // Week 0 of the time line that puts stream time `at` (ms) nearest to GPS time `gps` (s).
    // A date beyond any week (a caller's broken calendar time) gives week 0.
    auto fit = [](double gps, std::int64_t at) {
        const double w = std::floor((gps - static_cast<double>(at) / 1000.0) / kWeekSeconds + 0.5);
        return std::isfinite(w) && std::fabs(w) < 1e6 ? static_cast<std::int32_t>(w) : 0;
    };
    if (options.date) {
        const double gps = gps_seconds(*options.date);
        return {fit(gps, first.value_or(0)), "date", gps};
    }
    // A full-week ephemeris first; GPS and QZSS weeks are unrolled against the reference.
    const KeplerMessage* best = nullptr;
    std::optional<std::int64_t> best_at;
    for (const auto& k : kepler)
        if (!best || (best->week_bits == 10 && k.message.week_bits > 10)) {
            best = &k.message;
            best_at = k.at;
        }
    if (best) {
        const std::int32_t w = best->week_bits == 10 ? unroll_week(best->week, 10, rollover_reference())
                                                     : full_gps_week(*best);
        const double toe = static_cast<double>(w) * kWeekSeconds + best->toe +
                           (best->system == 'C' ? kBeidouSecondsBehind : 0.0);
        return {fit(toe, best_at.value_or(first.value_or(0))), "ephemeris", toe};
    }
    if (options.file_time) {
        const double gps = gps_seconds_of_unix(*options.file_time);
        return {fit(gps, epochs.last_epoch().value_or(0)), "file time", gps};
    }
    return {0, "none", std::nullopt};
}

NavigationData RtcmDecoder::State::build_nav(const Week& week0) const {
    NavigationData nav;
    const auto first = epochs.first_epoch();
    // When the ephemeris arrived: on the observations' time line, else (a stream of ephemerides
    // alone) at the time the week was fitted to.
    auto arrival_gps = [&](const std::optional<std::int64_t>& at) {
        if (!at && !first && week0.reference) return *week0.reference;
        return static_cast<double>(week0.week0) * kWeekSeconds + static_cast<double>(at.value_or(first.value_or(0))) / 1000.0;
    };
    for (const auto& [m, at] : kepler) {
        const double near = arrival_gps(at);
        std::int32_t week;  // in the numbering RINEX writes
        if (m.system == 'C') {
            week = unroll_week(m.week, 13, week_of_seconds(near) - kBeidouWeekOffset + 1);
        } else {
            // GPS, QZSS (10 bits) and Galileo (12 bits, from GPS week 1024): the week nearest the arrival.
            const std::int32_t offset = m.system == 'E' ? kGalileoWeekOffset : 0;
            const std::int32_t period = std::int32_t{1} << m.week_bits;
            const std::int32_t w = static_cast<std::int32_t>(m.week) + offset;
            const std::int32_t ref = week_of_seconds(near);
            week = w + static_cast<std::int32_t>(std::floor(static_cast<double>(ref - w) / period + 0.5)) * period;
        }
        KeplerEphemeris k = to_kepler(m, week);
        auto& map = m.system == 'C' ? nav.beidou : m.system == 'E' ? nav.galileo : nav.gps;
        auto& list = map[satellite_id(m.system, m.prn)];
        const bool repeated = std::any_of(list.begin(), list.end(), [&](const KeplerEphemeris& o) {
            return o.epoch == k.epoch && o.iode == k.iode && o.toe == k.toe;
        });
        if (!repeated) list.push_back(k);
    }
    for (const auto& [m, at] : glonass) {
        const double near = arrival_gps(at);
        GlonassEphemeris g = to_glonass(m, near, leap_seconds_at(near));
        const std::string key = satellite_id('R', g.slot);
        auto& list = nav.glonass[key];
        const bool repeated = std::any_of(list.begin(), list.end(), [&](const GlonassEphemeris& o) { return o.epoch == g.epoch; });
        if (!repeated) list.push_back(g);
        if (g.frequency_channel != 0) nav.glonass_channels[key] = g.frequency_channel;
    }
    return nav;
}

RtcmDecoder::RtcmDecoder(RtcmOptions options) : s_(std::make_unique<State>()) {
    if (options.date && !usable_gps(gps_seconds(*options.date))) options.date.reset();
    if (options.file_time && !usable_gps(gps_seconds_of_unix(*options.file_time))) options.file_time.reset();
    s_->options = std::move(options);
}
RtcmDecoder::~RtcmDecoder() = default;
RtcmDecoder::RtcmDecoder(RtcmDecoder&&) noexcept = default;
RtcmDecoder& RtcmDecoder::operator=(RtcmDecoder&&) noexcept = default;

void RtcmDecoder::feed(std::string_view bytes) {
    s_->frames.feed(bytes, [this](std::string_view payload) { s_->on_payload(payload); });
}

void RtcmDecoder::finish() { s_->frames.finish(); }

const FrameStats& RtcmDecoder::frame_stats() const { return s_->frames.stats(); }
const std::map<int, std::uint64_t>& RtcmDecoder::message_counts() const { return s_->counts; }
std::uint64_t RtcmDecoder::malformed() const { return s_->malformed; }
std::size_t RtcmDecoder::pending_bytes() const { return s_->frames.pending_bytes(); }

// The station facts, counts and navigation data of a recording.
void RtcmDecoder::State::describe(RtcmRecording& r, const Week& w, bool with_nav) const {
    r.week_source = w.source;
    if (with_nav && (!kepler.empty() || !glonass.empty())) r.nav = build_nav(w);
    r.obs.file_name = options.file_name;
    r.obs.marker_name = !options.marker_name.empty() ? options.marker_name
                        : station_id                 ? std::to_string(*station_id)
                                                     : options.file_name;
    r.obs.receiver_type = receiver;
    r.obs.receiver_firmware = firmware;
    r.obs.antenna_type = antenna;
    r.obs.approx_position = arp;
    r.message_counts = counts;
    r.skipped_bytes = frames.stats().skipped_bytes;
    r.crc_failures = frames.stats().crc_failures;
    r.malformed = malformed;
    r.station_id = station_id;
    r.antenna_height = antenna_height;
}

RtcmRecording RtcmDecoder::recording() const {
    const State& s = *s_;
    RtcmRecording r;
    const State::Week w = s.resolve_week();
    const std::int32_t week0 = w.week0;
    if (s.epochs.has_waiting()) {
        // GLONASS times of day that nothing dated: placed on the day of the reference, if any.
        EpochAssembler copy = s.epochs;
        const double anchor = w.reference ? *w.reference - static_cast<double>(week0) * kWeekSeconds : 0.0;
        copy.place_waiting(static_cast<std::int64_t>(anchor * 1000.0));
        copy.build(r.obs, week0);
    } else {
        s.epochs.build(r.obs, week0);
    }
    s.describe(r, w, true);
    return r;
}

RtcmRecording RtcmDecoder::take(bool with_nav) {
    State& s = *s_;
    RtcmRecording r;
    const State::Week w = s.resolve_week();
    s.epochs.take_completed(r.obs, w.week0);
    s.describe(r, w, with_nav);
    return r;
}

std::uint64_t RtcmDecoder::ephemerides() const { return s_->kepler.size() + s_->glonass.size(); }

RtcmRecording RtcmDecoder::take_before(const EpochTime& before, bool with_nav) {
    State& s = *s_;
    RtcmRecording r;
    const State::Week w = s.resolve_week();
    const double ms = (gps_seconds(before) - static_cast<double>(w.week0) * kWeekSeconds) * 1000.0;
    s.epochs.take_completed_before(r.obs, w.week0, static_cast<std::int64_t>(std::floor(ms)));
    s.describe(r, w, with_nav);
    return r;
}

void RtcmDecoder::set_date(const EpochTime& date) {
    if (usable_gps(gps_seconds(date))) s_->options.date = date;
}

RtcmRecording decode_rtcm3(std::string_view bytes, const RtcmOptions& options) {
    RtcmDecoder d(options);
    d.feed(bytes);
    d.finish();
    return d.recording();
}

bool looks_like_rtcm3(std::string_view head) {
    FrameScanner scanner;
    scanner.feed(head, [](std::string_view) {});
    const FrameStats& st = scanner.stats();
    return st.frames >= 2 && 2 * st.skipped_bytes < head.size();
}

}  // namespace tessora::rtcm
