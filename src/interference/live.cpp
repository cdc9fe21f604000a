#include "interference/live.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "interference/detect.hpp"
#include "interference/live_window.hpp"
#include "interference/robust.hpp"
#include "interference/live_memory.hpp"

namespace tessora {

namespace {

constexpr double kNaNv = std::numeric_limits<double>::quiet_NaN();
// A signal's own level follows its CN0 with this time constant, and counts after this much data.
constexpr double kLevelSeconds = 600.0;
constexpr double kLevelWarmUp = 120.0;
// A value counts toward the warm-up for the time since the previous one, up to this (the longest
// regular interval of reference stations): a level built on two values minutes apart is not yet one.
constexpr double kLevelStep = 30.0;
// A band's noise is measured over this much clean history, and judged only once half of it is in.
constexpr double kHistorySeconds = 3600.0;
// The largest clean drop is also kept over a day, as the maximum of each 10-minute block: a station
// whose bands dip together now and then (scintillation, a passing reflector) shows it within hours,
// not within every hour.
constexpr double kLongHistorySeconds = 86400.0;
constexpr double kBlockSeconds = 600.0;
// The fast judge's alarm: a drop beyond anything the band's clean history showed, by this factor,
// and never below this many of its sigmas.
constexpr double kBeyondHistory = 1.5;
constexpr double kLeastSigmas = 6.0;
// The band medians need signals from several satellites.
constexpr std::size_t kLeastSignals = 4;
// An event's peak is told again when it has grown by this much.
constexpr double kPeakStep = 1.0;
// Epochs this far before the last one judged start the judging again.
constexpr double kRestartAfter = 3600.0;
// A window judged clean gives a template once it spans this much of the stream.
constexpr double kLearnSeconds = 7200.0;

// Whether `now` lies in a later period of `length` seconds of the stream's clock than `last`: the
// rechecks and the templates taken keep to the same times of a stream whatever came before (an
// event's minute-by-minute rechecks do not shift the later ones), so that one stream is judged
// over the same windows however it was joined.
bool in_new_period(double now, double last, double length) {
    return std::floor(now / length) > std::floor(last / length);
}

struct Level {
    double level = 0.0, seen = 0.0, last = -1e300;
};

struct BandHistory {
    std::deque<std::pair<double, double>> values;  // (seconds, degradation) of clean epochs
    std::deque<std::pair<double, double>> blocks;  // (block's first second, largest degradation) over a day
    double centre = 0.0, scale = kNaNv, largest = 0.0;
    std::size_t since_measure = 0;
    int hot_run = 0;
    double run_start = 0.0;  // seconds of the run's first epoch
    std::string run_start_text;
};

struct Live {
    InterferenceEvent event;
    double start = 0.0, end = 0.0;  // seconds on the window's clock
    double fast_end = kNaNv;        // when the fast judge last saw it
    bool open = true, fast = false, confirmed = false;
    bool matched = false;           // taken by a file event in the current recheck
    bool withdrawn = false;         // closed because the file detector does not hold it
    double told_peak = 0.0;
    std::vector<std::string> told_bands;
};

}  // namespace

struct LiveDetector::State {
    LiveOptions o;
    std::shared_ptr<const NavigationData> nav;
    CN0Window window;
    std::unordered_map<std::string, Level> levels;
    std::array<BandHistory, kBandCount> history;
    std::vector<LiveBand> bands;
    std::vector<Live> events;
    double last_check = -1e300;
    double settled_until = -1e300;  // events ending before this are judged and told
    std::size_t pushed = 0;
    std::optional<EpochTime> last_epoch;
    CN0Template used;
    StreamTemplates learned;  // without a template given: the stream's own, from its clean windows
    StreamNoise noise;
    // Events the file detector held and told closed, while the window still holds them:
    // (first epoch, last epoch, seconds of the last).
    std::deque<std::tuple<std::string, std::string, double>> closed;

    bool busy() const {
        return std::any_of(events.begin(), events.end(), [](const Live& l) { return l.open; });
    }
    void fast_judge(const RinexObsData& rec, const Epoch& e, double t, std::vector<LiveChange>& out);
    void measure_history(BandHistory& h);
    void recheck(double now, bool final, std::vector<LiveChange>& out);
    void tell(Live& l, const char* action, std::vector<LiveChange>& out);
    std::optional<std::pair<std::string, double>> settled_epoch(double now) const;
};

// The last epoch of the window whose events are settled (text, seconds); none before the window
// reaches that far or when it was measured already.
std::optional<std::pair<std::string, double>> LiveDetector::State::settled_epoch(double now) const {
    const RinexObsData& rec = window.record();
    for (std::size_t i = rec.epochs.size(); i-- > 0;) {
        const double t = window.seconds_of(rec.epochs[i].time);
        if (t > now - o.settle_seconds) continue;
        if (t <= noise.until_seconds()) return std::nullopt;
        return std::make_pair(epoch_text(rec.epochs[i].time), t);
    }
    return std::nullopt;
}

void LiveDetector::State::measure_history(BandHistory& h) {
    std::vector<double> v;
    v.reserve(h.values.size());
    for (const auto& [t, d] : h.values) v.push_back(d);
    const RobustScale rs = robust_scale(v);
    h.centre = std::isnan(rs.centre) ? 0.0 : rs.centre;
    h.scale = std::isnan(rs.sigma) ? kNaNv : std::max(rs.sigma, 0.05);
    h.largest = 0.0;
    for (const auto& [t, d] : h.blocks) h.largest = std::max(h.largest, (d - h.centre) / h.scale);
    h.since_measure = 0;
}

// The fast judge at one epoch: each signal against its own level, the median drop per band, an
// alarm when a band passes its history's largest drop at two epochs running.
void LiveDetector::State::fast_judge(const RinexObsData& rec, const Epoch& e, double t, std::vector<LiveChange>& out) {
    std::array<std::vector<double>, kBandCount> drops;
    std::array<double, kBandCount> cn0_sum{};
    std::array<std::size_t, kBandCount> cn0_n{};
    // The fast judge's open event (until the file detector closes it).
    Live* open = nullptr;
    // The event the fast judge goes on with: its own, or one the file detector opened that is
    // still going (a jammer it confirmed is not a new event when the fast judge sees it too).
    for (Live& l : events)
        if (l.open && (l.fast || t - l.end <= 2 * kLevelWarmUp)) open = &l;
    for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s) {
        const std::string_view sat = rec.sat_name(*s);
        for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
            if (!rec.is_snr_code(rec.obs_codes[i])) continue;
            const Band b = band_of(sat[0], rec.code_name(i), rec.version);
            if (b == kNoBand) continue;
            const auto bi = static_cast<std::size_t>(b);
            const double cn0 = rec.obs_values[i];
            cn0_sum[bi] += cn0;
            ++cn0_n[bi];
            Level& lv = levels[std::string(sat) + std::string(rec.code_name(i))];
            if (t - lv.last > kLevelSeconds) lv = Level{cn0, 0.0, t};  // a new track, or one back after long
            if (lv.seen >= kLevelWarmUp) drops[bi].push_back(lv.level - cn0);
            // Levels stand still in the bands of an event while it lasts, so that they do not
            // follow the jammer down.
            const bool frozen = open && std::isnan(open->fast_end) && std::find(open->event.bands.begin(), open->event.bands.end(),
                                                  std::string(band_name(b))) != open->event.bands.end();
            if (!frozen) {
                const double a = 1.0 - std::exp(-(t - lv.last) / kLevelSeconds);
                lv.level += a * (cn0 - lv.level);
            }
            lv.seen += std::min(t - lv.last, kLevelStep);
            lv.last = t;
        }
    }
    bands.clear();
    std::vector<std::string> hot;
    double peak = 0.0, first_start = 1e300;
    std::string first_text;
    std::size_t with_data = 0;
    for (std::size_t b = 0; b < kBandCount; ++b) {
        if (cn0_n[b] == 0) continue;
        LiveBand lb{static_cast<Band>(b), cn0_sum[b] / static_cast<double>(cn0_n[b]), kNaNv, drops[b].size()};
        BandHistory& h = history[b];
        if (drops[b].size() >= kLeastSignals) {
            const double d = median_in_place(drops[b]);
            lb.degradation = d;
            ++with_data;
            const bool judged = !h.values.empty() && h.values.back().first - h.values.front().first >= kHistorySeconds / 2 &&
                                !std::isnan(h.scale);
            const double z = judged ? (d - h.centre) / h.scale : 0.0;
            const double level = std::max(kLeastSigmas, kBeyondHistory * h.largest);
            // Within an event a band stays in it down to half the level that opened it.
            const bool in_event = open && std::isnan(open->fast_end) && std::find(open->event.bands.begin(), open->event.bands.end(),
                                                    std::string(band_name(static_cast<Band>(b)))) != open->event.bands.end();
            const bool beyond = judged && z >= (in_event ? level / 2 : level);
            h.hot_run = beyond ? h.hot_run + 1 : 0;
            if (h.hot_run == 1) {
                h.run_start = t;
                h.run_start_text = epoch_text(e.time);
            }
            if (h.hot_run >= 2 || (open && beyond)) {
                hot.emplace_back(band_name(static_cast<Band>(b)));
                peak = std::max(peak, d);
                if (h.run_start < first_start) {
                    first_start = h.run_start;
                    first_text = h.run_start_text;
                }
            } else if (!beyond) {
                h.values.emplace_back(t, d);
                while (!h.values.empty() && t - h.values.front().first > kHistorySeconds) h.values.pop_front();
                const double block = std::floor(t / kBlockSeconds) * kBlockSeconds;
                if (h.blocks.empty() || h.blocks.back().first != block) h.blocks.emplace_back(block, d);
                else h.blocks.back().second = std::max(h.blocks.back().second, d);
                while (t - h.blocks.front().first > kLongHistorySeconds) h.blocks.pop_front();
                if (++h.since_measure >= 60 || std::isnan(h.scale)) measure_history(h);
            }
        }
        bands.push_back(lb);
    }
    if (hot.empty()) {
        if (open && std::isnan(open->fast_end)) open->fast_end = t;
        return;
    }
    if (open && !std::isnan(open->fast_end)) {
        if (t - open->fast_end > 2 * kLevelWarmUp) open = nullptr;  // long over: a new event
        else open->fast_end = kNaNv;                                 // back within minutes: the same
    }
    if (!open) {
        Live l;
        l.fast = true;
        l.start = first_start;
        l.end = t;
        l.event.start = first_text;
        events.push_back(l);
        open = &events.back();
    }
    open->end = t;
    open->event.end = epoch_text(e.time);
    open->event.duration = open->end - open->start;
    for (const std::string& b : hot)
        if (std::find(open->event.bands.begin(), open->event.bands.end(), b) == open->event.bands.end()) open->event.bands.push_back(b);
    std::sort(open->event.bands.begin(), open->event.bands.end(), [](const std::string& a, const std::string& b) {
        return std::find(std::begin(kBandNames), std::end(kBandNames), a) < std::find(std::begin(kBandNames), std::end(kBandNames), b);
    });
    if (peak > open->event.peak_degradation_db) {
        open->event.peak_degradation_db = peak;
        open->event.peak_time = epoch_text(e.time);
    }
    open->event.kind = open->event.bands.size() >= with_data && with_data > 1 ? "wideband" : "band-limited";
    if (open->told_bands.empty()) tell(*open, "open", out);
    else if (open->event.bands != open->told_bands || open->event.peak_degradation_db >= open->told_peak + kPeakStep)
        tell(*open, "update", out);
}

void LiveDetector::State::tell(Live& l, const char* action, std::vector<LiveChange>& out) {
    LiveChange c;
    c.action = action;
    c.event = l.event;
    c.confirmed = !l.withdrawn && (l.confirmed || !l.fast);
    if (c.action != "close") c.event.end.clear();  // an event still open has no end yet
    l.told_peak = l.event.peak_degradation_db;
    l.told_bands = l.event.bands;
    if (c.action == "open" && l.told_bands.empty()) l.told_bands = {"?"};
    out.push_back(std::move(c));
}

// The file detector over the window; its events become the events told.
void LiveDetector::State::recheck(double now, bool final, std::vector<LiveChange>& out) {
    last_check = now;
    const RinexObsData& rec = window.record();
    if (rec.epochs.size() < kMinDetectorEpochs) {
        if (final)
            for (Live& l : events)
                if (l.open) { l.open = false; tell(l, "close", out); }
        return;
    }
    DetectorOptions options = o.detector;
    if (!options.cn0_template && learned.combined()) options.cn0_template = &*learned.combined();
    // A clean window that spans two hours or more gives a template, one per window's length.
    const bool learning = !o.detector.cn0_template && window.last_seconds() - window.first_seconds() >= kLearnSeconds &&
                          in_new_period(now, learned.taken_at(), o.window_seconds);
    options.learn_own = learning;
    const std::vector<SlotNoise> before = noise.pooled_before(window.first_seconds());
    if (!before.empty()) options.noise_history = &before;
    const auto settled = final ? std::nullopt : settled_epoch(now);
    if (settled) options.noise_span = std::make_pair(noise.until_text(), settled->first);
    while (!closed.empty() && std::get<2>(closed.front()) < window.first_seconds()) closed.pop_front();
    for (const auto& [first, last, end] : closed) options.known_events.emplace_back(first, last);
    for (const Live& l : events)
        if (l.open && l.confirmed && !l.event.end.empty()) options.known_events.emplace_back(l.event.start, l.event.end);
    InterferenceReport r = detect_interference(rec, nav.get(), options);
    if (settled && !r.noise.empty()) noise.add(settled->second, settled->first, std::move(r.noise), now - o.window_seconds);
    for (Live& l : events) l.matched = false;
    used = options.cn0_template ? *options.cn0_template : r.cn0_template;
    if (learning && r.events.empty() && r.reason.empty()) {
        // The stream's own template keeps its curves only: each window fits the satellites'
        // offsets afresh, as the day's file fits its own.
        const auto curves_of = [](CN0Template t) {
            for (SignalTemplate& s : t.signals) s.offsets.clear();
            return t;
        };
        if (!learned.combined()) learned.add(now, curves_of(r.cn0_template));
        else if (r.own_template) learned.add(now, curves_of(*r.own_template));
    }
    for (const InterferenceEvent& f : r.events) {
        const auto fs = parse_epoch_text(f.start), fe = parse_epoch_text(f.end);
        if (!fs || !fe) continue;
        const double start = window.seconds_of(*fs), end = window.seconds_of(*fe);
        const bool done = final || now - end >= o.settle_seconds;
        // Judged and told before: an event that begins before the end of one told final is that
        // event seen again over a later window (often a little longer), not a new one.
        if (start < settled_until) continue;
        // The earliest open event this one overlaps that no other file event took in this pass.
        Live* match = nullptr;
        for (Live& l : events)
            if (!match && l.open && !l.matched && l.start <= end + 60.0 && l.end >= start - 60.0) match = &l;
        if (!match) {
            Live l;
            l.start = start;
            events.push_back(l);
            match = &events.back();
        }
        Live& l = *match;
        l.matched = true;
        const bool fresh = l.told_bands.empty();
        l.event = f;
        l.start = start;
        l.end = std::max(l.end, end);
        l.confirmed = true;
        if (fresh) tell(l, "open", out);
        else if (!done && (l.event.bands != l.told_bands || l.event.peak_degradation_db >= l.told_peak + kPeakStep))
            tell(l, "update", out);
        if (done) {
            l.open = false;
            tell(l, "close", out);
            closed.emplace_back(l.event.start, l.event.end, l.end);
            settled_until = std::max(settled_until, end + 1e-3);
        }
    }
    // Events the file detector does not hold: alarms of the fast judge it has not confirmed once it
    // could have, and events it told before and no longer finds now that their end has settled (the
    // newest epochs of an earlier window judged without what followed them). They close withdrawn,
    // "confirmed": false.
    for (Live& l : events) {
        if (!l.open || l.matched) continue;
        const bool over = !std::isnan(l.fast_end) && now - l.fast_end >= o.settle_seconds;
        const bool settled = l.confirmed && now - l.end >= o.settle_seconds;
        if (final || over || settled) {
            l.open = false;
            l.withdrawn = true;
            tell(l, "close", out);
            settled_until = std::max(settled_until, l.end + 1e-3);
        }
    }
    events.erase(std::remove_if(events.begin(), events.end(), [](const Live& l) { return !l.open; }), events.end());
}

LiveDetector::LiveDetector(LiveOptions options) : s_(std::make_unique<State>()) { s_->o = std::move(options); }
LiveDetector::~LiveDetector() = default;
LiveDetector::LiveDetector(LiveDetector&&) noexcept = default;
LiveDetector& LiveDetector::operator=(LiveDetector&&) noexcept = default;

void LiveDetector::set_navigation(std::shared_ptr<const NavigationData> nav) { s_->nav = std::move(nav); }

std::vector<LiveChange> LiveDetector::push(const RinexObsData& epochs) {
    // A stream joined before its ephemerides is dated by the host's clock until the first one
    // arrives; a recording replayed from another day then goes back in time. Judging starts
    // again on the stream's own time.
    if (s_->last_epoch && !epochs.epochs.empty() &&
        exact_seconds_between(*s_->last_epoch, epochs.epochs.front().time) > kRestartAfter) {
        auto fresh = std::make_unique<State>();
        fresh->o = s_->o;
        fresh->nav = s_->nav;
        s_ = std::move(fresh);
    }
    State& s = *s_;
    std::vector<LiveChange> out;
    const std::size_t before = s.window.epochs();
    s.window.append(epochs);
    const RinexObsData& rec = s.window.record();
    for (std::size_t i = before; i < rec.epochs.size(); ++i) {
        const Epoch& e = rec.epochs[i];
        const double t = s.window.seconds_of(e.time);
        s.fast_judge(rec, e, t, out);
        ++s.pushed;
        s.last_epoch = e.time;
    }
    const double now = s.window.last_seconds();
    const double every = s.busy() ? s.o.busy_recheck_seconds : s.o.recheck_seconds;
    if (in_new_period(now, s.last_check, every)) s.recheck(now, false, out);
    s.window.trim(s.o.window_seconds);
    return out;
}

std::vector<LiveChange> LiveDetector::finish(bool interrupted) {
    // The closes are the same either way; the caller marks those of an interrupted stream.
    static_cast<void>(interrupted);
    std::vector<LiveChange> out;
    s_->recheck(s_->window.last_seconds(), true, out);
    return out;
}

const std::vector<LiveBand>& LiveDetector::bands() const { return s_->bands; }
std::size_t LiveDetector::epochs() const { return s_->pushed; }
std::optional<EpochTime> LiveDetector::last_epoch() const { return s_->last_epoch; }
std::size_t LiveDetector::open_events() const {
    return static_cast<std::size_t>(std::count_if(s_->events.begin(), s_->events.end(), [](const Live& l) { return l.open; }));
}
const CN0Template& LiveDetector::cn0_template() const { return s_->used; }

}  // namespace tessora
