// Hatanaka-compacted RINEX (CRINEX 1.0 for RINEX 2, CRINEX 3.0 for RINEX 3) back to RINEX text.
//
// The compact file is a "CRINEX VERS / TYPE" and a "CRINEX PROG / DATE" record followed by the
// RINEX header unchanged. Each epoch of the data section is then:
//  - the epoch line as a text difference from the previous epoch line: a blank keeps the old
//    character, "&" stands for a blank, anything else replaces it, and characters past the old
//    end extend it. A line beginning with "&" (CRINEX 1) or ">" (CRINEX 3) starts afresh, and so
//    does every satellite after it (no arc or indicator carries over). The compact epoch line
//    carries the whole satellite list, from column 32 (CRINEX 1) or 41 (CRINEX 3), 3 characters
//    an entry;
//  - the receiver clock offset line (empty when there is none), a numeric field as below;
//  - one line per listed satellite: one numeric field per observation type of its system,
//    separated by single blanks (an empty field is a blank observation; fields missing at the end
//    are blank), then, after one more blank, the loss-of-lock and signal-strength characters of
//    all types as a text difference from the satellite's previous ones. A blank observation has
//    blank indicators, whatever the difference says.
// A numeric field is the value in units of the last written decimal, as an integer: either "M&v",
// which starts an arc of differences of order M at the value v, or the next difference of the arc.
// The difference order grows by one each epoch up to M. An arc ends when its observation is blank
// or its satellite is missing from an epoch; the next value then starts a new arc.
// Event epochs (flags 2 to 5) are followed by their special records, copied as they stand; the
// epoch after an event starts afresh.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "archive/channel.hpp"
#include "archive/decoders.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"

namespace tessora {

namespace {

constexpr std::size_t kMaxTypes = 999;      // the count fields hold three digits (I3; RINEX 2 I6)
constexpr std::size_t kMaxSatellites = 1024;  // distinct identifiers in one file
constexpr int kMaxOrder = 9;
constexpr std::size_t kNumberMax = 24;  // "-9223372036854775.808" and a margin

struct Failure {
    std::string what;
    bool complete = false;  // `what` is the whole message already
};

// One observable's arc: d[0] is the last value, d[j] its j-th difference.
struct Arc {
    std::int64_t d[kMaxOrder + 1];
    std::uint8_t order = 0;
    std::uint8_t level = 0;  // differences accumulated so far, at most order
    bool active = false;
};

struct Satellite {
    std::uint32_t key = 0;
    std::uint32_t ntypes = 0;
    std::uint64_t last_epoch = 0;  // number of the data epoch it was last listed in; 0 never
    std::uint32_t arc0 = 0;        // first arc in arcs_
    std::uint32_t flag0 = 0;       // first flag character in flags_
};

inline bool is_digit(char c) { return static_cast<unsigned>(c - '0') < 10; }

// Signed decimal integer, the whole text; false on anything else or on overflow.
inline bool parse_i64(const char* p, const char* e, std::int64_t& out) {
    bool neg = false;
    if (p < e && (*p == '-' || *p == '+')) {
        neg = *p == '-';
        ++p;
    }
    if (p == e) return false;
    std::uint64_t v = 0;
    const std::uint64_t lim = neg ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    for (; p < e; ++p) {
        const unsigned d = static_cast<unsigned>(*p - '0');
        if (d > 9) return false;
        if (v > (lim - d) / 10) return false;
        v = v * 10 + d;
    }
    out = neg ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    return true;
}

// Writes v / 10^decimals the way the RINEX writers of compact files do: no digit before the
// point when the integer part is zero (".250", "-.920"), right-aligned in `width` columns (wider
// when it does not fit). Returns the end of the written text.
inline char* write_fixed(char* w, std::int64_t v, int decimals, std::size_t width) {
    char tmp[kNumberMax];
    char* const end = tmp + kNumberMax;
    char* p = end;
    std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    for (int i = 0; i < decimals; ++i) {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    }
    *--p = '.';
    p = digits_back(p, u, false);
    if (v < 0) *--p = '-';
    const std::size_t len = static_cast<std::size_t>(end - p);
    if (len < width) {
        std::memset(w, ' ', width - len);
        w += width - len;
    }
    std::memcpy(w, p, len);
    return w + len;
}

// The same for an observation (three decimals, 14 columns), written in place; the two columns
// after it may be overwritten.
inline char* write_observation(char* w, std::int64_t v) {
    const std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    if (u >= 1000000000000ULL) return write_fixed(w, v, 3, 14);  // 13 digits or more
    std::memset(w, ' ', 16);
    const std::uint64_t frac = u % 1000;
    std::memcpy(w + 12, kDigitPairs + 2 * (frac % 100), 2);
    w[11] = static_cast<char>('0' + frac / 100);
    w[10] = '.';
    char* p = digits_back(w + 10, u / 1000, false);
    if (v < 0) p[-1] = '-';
    return w + 14;
}

inline char* rtrim(char* begin, char* w) {
    while (w > begin && w[-1] == ' ') --w;
    return w;
}

// Applies a text difference to `old` in place.
void apply_text_difference(std::string& old, std::string_view diff) {
    const std::size_t keep = std::min(old.size(), diff.size());
    for (std::size_t i = 0; i < keep; ++i) {
        const char c = diff[i];
        if (c == ' ') continue;
        old[i] = c == '&' ? ' ' : c;
    }
    for (std::size_t i = keep; i < diff.size(); ++i) old.push_back(diff[i] == '&' ? ' ' : diff[i]);
}

inline std::uint64_t load8(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Of eight text bytes, the first that is not a decimal digit: 0-7, or 8 when all are digits.
// Digit bytes become 0-9 under "^ 0x30"; any other byte then has its high bit set either by
// itself or after adding 0x76 (which cannot carry between bytes once the high bits are cleared).
inline unsigned digit_run(std::uint64_t w, std::uint64_t& values) {
    values = w ^ 0x3030303030303030ULL;
    const std::uint64_t bad =
        (values | ((values & 0x7F7F7F7F7F7F7F7FULL) + 0x7676767676767676ULL)) & 0x8080808080808080ULL;
    return bad ? static_cast<unsigned>(__builtin_ctzll(bad)) / 8 : 8;
}

// The value of the first n (1-8) digit bytes of `values` (as from digit_run), first byte most
// significant.
inline std::uint64_t digits_value(std::uint64_t values, unsigned n) {
    std::uint64_t v = values << (8 * (8 - n));  // the digits to the top, zero bytes before them
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >> 32;
    return v & 0xFFFFFFFFULL;
}

constexpr std::uint64_t kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// A plain difference at p: an optional "-" and 1 to 15 digits ended by a blank or the end of the
// line at e. Reads 17 bytes from p, which the caller guarantees exist (the line end is a
// non-digit, so the digits never run past e). On success p points at the character after them.
inline bool fast_difference(const char*& p, const char* e, std::int64_t& v) {
    const char* q = p;
    const bool neg = *q == '-';
    q += neg;
    std::uint64_t a, b;
    const unsigned n = digit_run(load8(q), a);
    if (n == 0) return false;
    std::uint64_t u;
    if (n < 8) {
        u = digits_value(a, n);
        q += n;
    } else {
        const unsigned m = digit_run(load8(q + 8), b);
        if (m == 8) return false;
        u = digits_value(a, 8);
        if (m > 0) u = u * kPow10[m] + digits_value(b, m);
        q += 8 + m;
    }
    if (q != e && *q != ' ') return false;
    v = neg ? -static_cast<std::int64_t>(u) : static_cast<std::int64_t>(u);
    p = q;
    return true;
}

// The compact text: whole, or arriving through a channel from the stage that decompresses it.
class Input {
public:
    explicit Input(std::string_view text) : data_(text.data()), size_(text.size()) {}
    explicit Input(Channel& channel) : data_(channel.data()), channel_(&channel) { size_ = channel.wait_beyond(0); }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Waits for more of the text; false at its end. The text grows by whole lines. Text before
    // `consumed` is not looked at again.
    bool more(std::size_t consumed) {
        if (!channel_) return false;
        if (consumed > kKeep) channel_->release(consumed - kKeep);
        const std::size_t n = channel_->wait_beyond(size_);
        if (n == size_) return false;
        size_ = n;
        return true;
    }

private:
    static constexpr std::size_t kKeep = std::size_t{1} << 20;  // a margin behind the reading position
    const char* data_;
    std::size_t size_ = 0;
    Channel* channel_ = nullptr;
};

class Decoder {
public:
    Decoder(Input input, std::uint64_t limit, int version, std::string_view origin, Buffer& out)
        : in_(input), limit_(limit), v3_(version == 3), out_(out) {
        name_ = v3_ ? "Hatanaka CRINEX 3.0" : "Hatanaka CRINEX 1.0";
        if (!origin.empty()) {
            name_ += " (inside ";
            name_ += origin;
            name_ += ')';
        }
        list_col_ = v3_ ? 41 : 32;
        set_safe_end();
        ntypes_.fill(0);
        table_.assign(2048, -1);
    }

    DecodeError run() {
        try {
            // A compact line is at most a few times shorter than the RINEX it stands for.
            out_.reserve(static_cast<std::size_t>(
                std::min<std::uint64_t>(std::uint64_t{7} * in_.size() / 2 + 65536, limit_ + 1)));
            read_header();
            read_data();
        } catch (const Failure& f) {
            if (f.complete) return f.what;
            std::string what = f.what + " at line ";
            append_uint(what, line_no_);
            what += " (byte offset ";
            append_uint(what, line_start_);
            what += ')';
            return name_ + ": " + what;
        }
        return std::nullopt;
    }

private:
    Input in_;
    std::uint64_t limit_;
    bool v3_;
    std::string name_;
    std::size_t list_col_;
    const char* safe_end_;        // fast field parsing may read 16 bytes from below this
    std::size_t pos_ = 0;         // start of the next line
    std::size_t line_start_ = 0;  // byte offset of the current line
    std::uint64_t line_no_ = 0;   // 1-based number of the current line
    Buffer& out_;

    std::array<std::uint32_t, 256> ntypes_{};  // per system letter (CRINEX 3)
    std::uint32_t ntypes_v2_ = 0;              // for every satellite (CRINEX 1)

    std::vector<Satellite> sats_;
    std::vector<std::int32_t> table_;  // open addressing: key -> index into sats_
    std::vector<Arc> arcs_;
    std::vector<char> flags_;
    std::vector<std::int64_t> values_;  // scratch: the values of one satellite line
    std::vector<std::uint8_t> blank_;

    std::string epoch_;  // the current epoch line, differences applied
    bool have_epoch_ = false;
    std::uint64_t data_epoch_ = 0;
    Arc clock_;

    [[noreturn]] void fail(std::string what) const { throw Failure{std::move(what)}; }

    // Fast field parsing reads up to 17 bytes past a field, all of them inside the text received.
    void set_safe_end() { safe_end_ = in_.size() > 32 ? in_.data() + in_.size() - 32 : in_.data(); }

    bool next_line(std::string_view& line) {
        if (pos_ >= in_.size()) {
            if (!in_.more(pos_)) return false;
            set_safe_end();
        }
        line_start_ = pos_;
        ++line_no_;
        const char* p = in_.data() + pos_;
        const std::size_t rem = in_.size() - pos_;
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', rem));
        std::size_t len = nl ? static_cast<std::size_t>(nl - p) : rem;
        pos_ += nl ? len + 1 : len;
        if (len > 0 && p[len - 1] == '\r') --len;
        line = std::string_view(p, len);
        return true;
    }

    void emit_line(std::string_view s) {
        out_.reserve_more(s.size() + 1);
        std::memcpy(out_.tail(), s.data(), s.size());
        out_.tail()[s.size()] = '\n';
        out_.commit(s.size() + 1);
    }

    void check_limit() {
        if (out_.size() > limit_) throw Failure{expand_limit_error(name_, limit_, line_start_), true};
    }

    // ------------------------------------------------------------------ header
    void read_header() {
        std::string_view line;
        if (!next_line(line)) fail("missing CRINEX VERS / TYPE record");
        if (!next_line(line)) fail("missing CRINEX PROG / DATE record");
        while (next_line(line)) {
            emit_line(line);
            if (line.size() < 60) continue;
            const std::string_view label = column_from(line, 60);
            if (label.find("END OF HEADER") != std::string_view::npos) return;
            if (v3_ && label.find("SYS / # / OBS TYPES") != std::string_view::npos) {
                if (line[0] == ' ') continue;  // continuation of the previous system's list
                ntypes_[static_cast<unsigned char>(line[0])] = type_count(column(line, 3, 6));
            } else if (!v3_ && label.find("# / TYPES OF OBSERV") != std::string_view::npos) {
                const std::string_view count = trim(column(line, 0, 6));
                if (!count.empty()) ntypes_v2_ = type_count(count);
            }
        }
        // No END OF HEADER: the header is handed on as it is and the reader reports it.
    }

    std::uint32_t type_count(std::string_view field) const {
        const auto n = parse_uint<std::uint32_t>(trim(field));
        if (!n) fail("unreadable number of observation types");
        if (*n > kMaxTypes) fail("implausible number of observation types");
        return *n;
    }

    // ------------------------------------------------------------------ data
    bool rest_is_blank() {
        while (in_.more(pos_)) {
        }
        set_safe_end();
        return trim(std::string_view(in_.data() + pos_, in_.size() - pos_)).empty();
    }

    void read_data() {
        std::string_view line;
        while (next_line(line)) {
            if (line.empty() && rest_is_blank()) return;  // blank lines closing the file
            const bool fresh = !line.empty() && line[0] == (v3_ ? '>' : '&');
            if (fresh) {
                // A line that starts afresh starts every satellite afresh as well: no arc or
                // indicator carries over it.
                epoch_.clear();
                have_epoch_ = true;
                ++data_epoch_;
            } else if (!have_epoch_) {
                fail("the epoch line is a difference from nothing (the first epoch, or one after an event)");
            }
            apply_text_difference(epoch_, line);
            const std::string_view ep = epoch_;
            const std::string_view flag_text = v3_ ? column(ep, 31, 32) : trim(column(ep, 26, 29));
            const std::string_view count_text = trim(v3_ ? column(ep, 32, 35) : column(ep, 29, 32));
            const unsigned flag = flag_text.size() == 1 && is_digit(flag_text[0]) ? flag_text[0] - '0' : 0;
            std::uint32_t count = 0;
            if (!count_text.empty()) {
                const auto c = parse_uint<std::uint32_t>(count_text);
                if (!c) fail("unreadable satellite count in the epoch line");
                count = *c;
            }
            if (flag >= 2 && flag <= 5)
                read_event(count);
            else
                read_epoch(count);
            check_limit();
        }
    }

    void read_event(std::uint32_t records) {
        emit_epoch_head(false, 0, 0);
        have_epoch_ = false;  // the epoch after an event starts afresh
        std::string_view line;
        for (std::uint32_t i = 0; i < records; ++i) {
            if (!next_line(line)) fail("the file ends inside the special records of an event");
            emit_line(line);
        }
    }

    void read_epoch(std::uint32_t count) {
        ++data_epoch_;
        if (epoch_.size() < list_col_ + std::size_t{3} * count) fail("the satellite list is shorter than its count");
        std::string_view line;
        if (!next_line(line)) fail("the file ends inside an epoch (no clock offset line)");
        bool has_clock = false;
        std::int64_t clock = 0;
        if (!line.empty()) {
            clock = decode_number(line, clock_, "receiver clock offset");
            has_clock = true;
        } else {
            clock_.active = false;
        }
        emit_epoch_head(has_clock, clock, count);
        if (!v3_) emit_v2_continuations(count);

        for (std::uint32_t i = 0; i < count; ++i) {
            const std::string_view id = std::string_view(epoch_).substr(list_col_ + 3 * std::size_t{i}, 3);
            if (!next_line(line)) fail("the file ends inside an epoch (missing satellite lines)");
            decode_satellite(satellite(id), id, line);
        }
    }

    // The epoch line as RINEX writes it: the date, flag and count, the first twelve of `count`
    // satellites (RINEX 2 only) and the clock offset.
    void emit_epoch_head(bool has_clock, std::int64_t clock, std::uint32_t count) {
        const std::string_view ep = epoch_;
        out_.reserve_more(list_col_ + 36 + kNumberMax + 2);
        char* const begin = out_.tail();
        char* w = begin;
        if (v3_) {
            const std::string_view head = ep.substr(0, std::min<std::size_t>(ep.size(), 41));
            std::memcpy(w, head.data(), head.size());
            w += head.size();
            if (has_clock) {
                std::memset(w, ' ', 41 - head.size());
                w = write_fixed(begin + 41, clock, 12, 15);
            }
        } else {
            const std::string_view head = ep.substr(0, std::min<std::size_t>(ep.size(), 32));
            std::memcpy(w, head.data(), head.size());
            w += head.size();
            if (count > 0) {  // the caller has checked that the list is long enough
                const std::size_t first = std::min<std::size_t>(count, 12) * 3;
                std::memcpy(w, ep.data() + 32, first);
                w += first;
            }
            if (has_clock) {
                const std::size_t used = static_cast<std::size_t>(w - begin);
                if (used < 68) {
                    std::memset(w, ' ', 68 - used);
                    w = begin + 68;
                }
                w = write_fixed(w, clock, 9, 12);
            }
        }
        if (!has_clock) w = rtrim(begin, w);
        *w++ = '\n';
        out_.commit(static_cast<std::size_t>(w - begin));
    }

    // RINEX 2 epoch lines hold twelve satellites; the rest follow on lines indented by 32 blanks.
    void emit_v2_continuations(std::uint32_t count) {
        for (std::uint32_t first = 12; first < count; first += 12) {
            const std::uint32_t n = std::min<std::uint32_t>(12, count - first);
            out_.reserve_more(32 + 36 + 1);
            char* const begin = out_.tail();
            std::memset(begin, ' ', 32);
            std::memcpy(begin + 32, epoch_.data() + 32 + 3 * std::size_t{first}, 3 * std::size_t{n});
            char* w = rtrim(begin, begin + 32 + 3 * n);
            *w++ = '\n';
            out_.commit(static_cast<std::size_t>(w - begin));
        }
    }

    // The satellite of an identifier, created on first sight; its arcs restart unless it was
    // listed in the previous data epoch.
    std::uint32_t satellite(std::string_view id) {
        const std::uint32_t key = static_cast<std::uint32_t>(static_cast<unsigned char>(id[0])) << 16 |
                                  static_cast<std::uint32_t>(static_cast<unsigned char>(id[1])) << 8 |
                                  static_cast<unsigned char>(id[2]);
        const std::size_t mask = table_.size() - 1;
        std::size_t h = (key * 2654435761u) & mask;
        while (table_[h] >= 0 && sats_[static_cast<std::size_t>(table_[h])].key != key) h = (h + 1) & mask;
        std::uint32_t s;
        if (table_[h] >= 0) {
            s = static_cast<std::uint32_t>(table_[h]);
        } else {
            if (sats_.size() >= kMaxSatellites) fail("too many distinct satellites");
            const std::uint32_t ntypes = v3_ ? ntypes_[static_cast<unsigned char>(id[0])] : ntypes_v2_;
            if (ntypes == 0) fail("satellite '" + std::string(id) + "' belongs to a system without observation types");
            Satellite sat;
            sat.key = key;
            sat.ntypes = ntypes;
            sat.arc0 = static_cast<std::uint32_t>(arcs_.size());
            sat.flag0 = static_cast<std::uint32_t>(flags_.size());
            arcs_.resize(arcs_.size() + ntypes);
            flags_.resize(flags_.size() + 2 * std::size_t{ntypes}, ' ');
            s = static_cast<std::uint32_t>(sats_.size());
            sats_.push_back(sat);
            table_[h] = static_cast<std::int32_t>(s);
        }
        Satellite& sat = sats_[s];
        if (sat.last_epoch + 1 != data_epoch_) {
            for (std::uint32_t k = 0; k < sat.ntypes; ++k) arcs_[sat.arc0 + k].active = false;
            std::fill_n(flags_.begin() + sat.flag0, 2 * std::size_t{sat.ntypes}, ' ');
        }
        sat.last_epoch = data_epoch_;
        return s;
    }

    // One numeric field: a new arc ("M&v") or the next difference of the current one.
    std::int64_t decode_number(std::string_view f, Arc& arc, const char* what) {
        const char* p = f.data();
        const char* const e = p + f.size();
        const char* amp = nullptr;
        if (e - p >= 2 && is_digit(p[0])) {
            if (p[1] == '&') amp = p + 1;
            else amp = static_cast<const char*>(std::memchr(p, '&', static_cast<std::size_t>(e - p)));
        }
        std::int64_t v;
        if (amp) {
            std::int64_t order;
            if (!parse_i64(p, amp, order) || order < 0 || order > kMaxOrder)
                fail(std::string("invalid difference order in the ") + what + " field '" + std::string(f) + "'");
            if (!parse_i64(amp + 1, e, v)) fail(std::string("invalid ") + what + " field '" + std::string(f) + "'");
            arc.active = true;
            arc.order = static_cast<std::uint8_t>(order);
            arc.level = 0;
            arc.d[0] = v;
            return v;
        }
        if (!parse_i64(p, e, v)) fail(std::string("invalid ") + what + " field '" + std::string(f) + "'");
        advance(arc, v, what);
        return arc.d[0];
    }

    // The next difference of an active arc.
    void advance(Arc& arc, std::int64_t v, const char* what) {
        if (!arc.active) [[unlikely]]
            fail(std::string("a difference without a preceding value in an ") + what + " field");
        const int m = arc.level < arc.order ? arc.level + 1 : arc.order;
        arc.level = static_cast<std::uint8_t>(m);
        std::int64_t* d = arc.d;
        d[m] = v;
        bool overflow = false;
        switch (m) {  // d[j] += d[j + 1] from j = m - 1 down to 0
            case 9: overflow |= __builtin_add_overflow(d[8], d[9], &d[8]); [[fallthrough]];
            case 8: overflow |= __builtin_add_overflow(d[7], d[8], &d[7]); [[fallthrough]];
            case 7: overflow |= __builtin_add_overflow(d[6], d[7], &d[6]); [[fallthrough]];
            case 6: overflow |= __builtin_add_overflow(d[5], d[6], &d[5]); [[fallthrough]];
            case 5: overflow |= __builtin_add_overflow(d[4], d[5], &d[4]); [[fallthrough]];
            case 4: overflow |= __builtin_add_overflow(d[3], d[4], &d[3]); [[fallthrough]];
            case 3: overflow |= __builtin_add_overflow(d[2], d[3], &d[2]); [[fallthrough]];
            case 2: overflow |= __builtin_add_overflow(d[1], d[2], &d[1]); [[fallthrough]];
            case 1: overflow |= __builtin_add_overflow(d[0], d[1], &d[0]); [[fallthrough]];
            default: break;
        }
        if (overflow) [[unlikely]]
            fail(std::string("the ") + what + " value overflows");
    }

    void decode_satellite(std::uint32_t s, std::string_view id, std::string_view line) {
        const Satellite sat = sats_[s];
        const std::uint32_t n = sat.ntypes;
        Arc* const arcs = arcs_.data() + sat.arc0;
        values_.resize(n);
        blank_.resize(n);
        // The numeric fields, each ended by a blank; what follows the last one is the indicator
        // difference.
        const char* p = line.data();
        const char* const e = p + line.size();
        bool more = true;
        for (std::uint32_t k = 0; k < n; ++k) {
            if (!more || p == e || *p == ' ') {
                blank_[k] = 1;
                arcs[k].active = false;
                if (more) {
                    if (p == e) more = false;
                    else ++p;
                }
                continue;
            }
            blank_[k] = 0;
            const char* q = p;
            std::int64_t v;
            if (q < safe_end_ && fast_difference(q, e, v)) {
                advance(arcs[k], v, "observation");
                values_[k] = arcs[k].d[0];
            } else {
                while (q < e && *q != ' ') ++q;
                values_[k] = decode_number(std::string_view(p, static_cast<std::size_t>(q - p)), arcs[k], "observation");
            }
            if (q == e) {
                more = false;
                p = e;
            } else {
                p = q + 1;
            }
        }
        char* const flags = flags_.data() + sat.flag0;
        if (more) {
            const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(e - p), 2 * std::size_t{n});
            for (std::size_t i = 0; i < len; ++i) {
                const char c = p[i];
                if (c != ' ') flags[i] = c == '&' ? ' ' : c;
            }
        }

        out_.reserve_more(3 + std::size_t{n} * (kNumberMax + 2) + n / 5 + 2);
        char* const begin = out_.tail();
        char* w = begin;
        char* line_begin = begin;
        if (v3_) {
            std::memcpy(w, id.data(), 3);
            w += 3;
        }
        for (std::uint32_t k = 0; k < n; ++k) {
            if (!v3_ && k > 0 && k % 5 == 0) {  // RINEX 2: five observations a line
                w = rtrim(line_begin, w);
                *w++ = '\n';
                line_begin = w;
            }
            if (blank_[k]) {
                // A blank observation has blank indicators, whatever the difference said.
                flags[2 * k] = flags[2 * k + 1] = ' ';
                std::memset(w, ' ', 16);
                w += 16;
                continue;
            }
            w = write_observation(w, values_[k]);
            *w++ = flags[2 * k];
            *w++ = flags[2 * k + 1];
        }
        w = rtrim(line_begin, w);
        *w++ = '\n';
        out_.commit(static_cast<std::size_t>(w - begin));
    }
};

}  // namespace

int crinex_version(std::string_view text) {
    const std::size_t nl = text.find('\n');
    std::string_view first = text.substr(0, nl);
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    if (first.size() < 60 || column_from(first, 60).find("CRINEX VERS") == std::string_view::npos) return 0;
    const std::string_view v = trim(column(first, 0, 20));
    if (v == "1.0") return 1;
    if (v == "3.0") return 3;
    return -1;
}

namespace {

DecodeError unsupported_version(std::string_view origin) {
    std::string name = "Hatanaka CRINEX";
    if (!origin.empty()) name += " (inside " + std::string(origin) + ")";
    return decode_error(name, "unsupported CRINEX version", 0);
}

}  // namespace

Expected<Buffer> decode_crinex(std::string_view text, std::uint64_t limit, std::string_view origin) {
    Buffer out;
    const int version = crinex_version(text);
    DecodeError e = version == 1 || version == 3 ? Decoder(Input(text), limit, version, origin, out).run()
                                                 : unsupported_version(origin);
    if (e) return Expected<Buffer>::failure(std::move(*e));
    out.shrink_to_fit();
    return out;
}

DecodeError decode_crinex_into(std::string_view text, std::uint64_t limit, Buffer& out) {
    const int version = crinex_version(text);
    if (version != 1 && version != 3) return unsupported_version({});
    return Decoder(Input(text), limit, version, {}, out).run();
}

DecodeError decode_crinex_into(Channel& input, std::uint64_t limit, std::string_view origin, Buffer& out) {
    Input in(input);
    const int version = crinex_version(std::string_view(in.data(), in.size()));
    if (version != 1 && version != 3) return unsupported_version(origin);
    return Decoder(in, limit, version, origin, out).run();
}

}  // namespace tessora
