#include "rinex/obs_writer.hpp"

#include <cstring>
#include <ctime>

#include "archive/encoders.hpp"
#include "common/file.hpp"
#include "common/numbers.hpp"
#include "rinex/obs_format.hpp"
#include "rinex/obs_header_writer.hpp"

namespace tessora {

namespace {

using namespace rinex_format;

constexpr std::size_t kMaxCrinexSatellites = 1024;

WriteOutcome unwritable(std::string message) { return {WriteFailure::unwritable, std::move(message)}; }

// The first 35 columns of an epoch line: "> yyyy mm dd hh mm ss.sssssss  f nnn". Fails when a
// field does not fit its columns (the compact format finds the flag and count by column), or
// seconds of 100 and more, which would touch the minute.
bool epoch_head(const EpochTime& t, unsigned flag, std::size_t count, char (&head)[35]) {
    std::string sec;
    append_fixed(sec, t.second, 7);
    if (t.year < 0 || t.year > 9999 || t.month > 99 || t.day > 99 || t.hour > 99 || t.minute > 99 ||
        !std::isfinite(t.second) || sec.size() > 10 || flag > 9 || count > 999)
        return false;
    char* w = head;
    *w++ = '>';
    w = write_uint(w, static_cast<std::uint64_t>(t.year), 5);
    w = write_uint(w, t.month, 3, 2);
    w = write_uint(w, t.day, 3, 2);
    w = write_uint(w, t.hour, 3, 2);
    w = write_uint(w, t.minute, 3, 2);
    const std::size_t pad = 11 - sec.size();  // F11.7
    std::memset(w, ' ', pad);
    std::memcpy(w + pad, sec.data(), sec.size());
    w += 11;
    *w++ = ' ';
    *w++ = ' ';
    *w++ = static_cast<char>('0' + flag);
    write_uint(w, count, 3);
    return true;
}

std::string epoch_label(const EpochTime& t) {
    std::string s = "the epoch ";
    append_epoch_text(s, t);
    return s;
}

// The data section: per epoch, the observations of each satellite are put into their columns
// (values in thousandths, presence, indicator characters), then written as RINEX lines or
// handed to the compact encoder.
class EpochWriter {
public:
    EpochWriter(const RinexObsData& rec, const WritePlan& plan, const RinexWriteOptions& options, Buffer& out,
                Crinex3Encoder* crinex)
        : rec_(rec), plan_(plan), options_(options), out_(out), crinex_(crinex) {}

    WriteOutcome run() {
        for (const Epoch& e : rec_.epochs) {
            if (WriteOutcome r = gather(e); !r) return r;
            if (kept_.empty()) continue;  // nothing of it can be written: the reader would drop it
            if (e.flag > 6)
                return unwritable(epoch_label(e.time) + " has the flag " + std::to_string(e.flag) +
                                  ", which RINEX does not define (0 to 6)");
            char head[35];
            if (!epoch_head(e.time, e.flag, kept_.size(), head))
                return unwritable(epoch_label(e.time) + " (flag " + std::to_string(e.flag) + ", " +
                                  std::to_string(kept_.size()) + " satellites) does not fit a RINEX 3 epoch line");
            write_epoch(std::string_view(head, 35), e.flag >= 2 && e.flag <= 5);
        }
        return {};
    }

private:
    struct Line {
        const SatelliteEntry* sat;
        const SystemColumns* sys;
        std::size_t at;  // offset into the scratch arrays
    };
    const RinexObsData& rec_;
    const WritePlan& plan_;
    const RinexWriteOptions& options_;
    Buffer& out_;
    Crinex3Encoder* crinex_;
    std::vector<Line> kept_;
    std::vector<std::int64_t> values_;
    std::vector<std::uint8_t> present_;
    std::vector<char> flags_;
    std::string ids_, text_;

    WriteOutcome gather(const Epoch& e) {
        kept_.clear();
        values_.clear();
        present_.clear();
        flags_.clear();
        for (auto* s = rec_.sats_begin(e); s != rec_.sats_end(e); ++s) {
            const SystemColumns& sys = *plan_.of(rec_.sat_name(*s));  // the plan covers every satellite
            const std::size_t n = sys.names.size(), at = values_.size();
            values_.resize(at + n);
            present_.resize(at + n, 0);
            flags_.resize(2 * (at + n), ' ');
            bool any = false;
            if (WriteOutcome r = place(e, *s, sys, at, any); !r) return r;
            if (any) kept_.push_back(Line{s, &sys, at});
            else values_.resize(at), present_.resize(at), flags_.resize(2 * at);  // nothing to write
        }
        return {};
    }

    // Puts the observations of one satellite into its columns, from `at` in the scratch arrays.
    WriteOutcome place(const Epoch& e, const SatelliteEntry& s, const SystemColumns& sys, std::size_t at, bool& any) {
        std::int32_t prev = -1;
        for (std::uint32_t o = s.obs_begin; o < s.obs_begin + s.obs_count; ++o) {
            const std::int32_t col = WritePlan::column(sys, rec_.obs_codes[o], prev);
            if (col < 0)
                return unwritable("observation code '" + std::string(rec_.code_name(o)) + "' of " +
                                  std::string(rec_.sat_name(s)) + " is not announced for its system");
            prev = col;
            std::int64_t k;
            const FieldKind kind = to_thousandths(rec_.obs_values[o], k);
            if (kind == FieldKind::zero || (kind == FieldKind::unwritable && options_.blank_unwritable)) continue;
            if (kind == FieldKind::unwritable) {
                std::string v;
                append_shortest_plain(v, rec_.obs_values[o]);
                return unwritable("the value " + v + " of " + std::string(rec_.sat_name(s)) + " " +
                                  std::string(rec_.code_name(o)) + " at " + epoch_label(e.time) +
                                  " does not fit an F14.3 field");
            }
            const std::size_t i = at + static_cast<std::size_t>(col);
            values_[i] = k;
            present_[i] = 1;
            // Indicator digits; anything else the record might hold has no column.
            const std::uint8_t ind = rec_.obs_indicators[o];
            flags_[2 * i] = (ind >> 4) <= 9 ? static_cast<char>('0' + (ind >> 4)) : ' ';
            flags_[2 * i + 1] = (ind & 0xF) <= 9 ? static_cast<char>('0' + (ind & 0xF)) : ' ';
            any = true;
        }
        return {};
    }

    // One satellite's RINEX 3 line: the identifier, then F14.3, LLI and SSI per column, blank
    // where absent, without trailing blanks.
    void append_line(Buffer& out, const Line& l) {
        const std::size_t n = l.sys->names.size();
        out.reserve_more(3 + 16 * n + 1);
        char* const begin = out.tail();
        const std::string_view id = rec_.sat_name(*l.sat);
        std::memset(begin, ' ', 3);
        std::memcpy(begin, id.data(), id.size());
        char* w = begin + 3;
        char* end = w;
        for (std::size_t k = 0; k < n; ++k, w += 16) {
            const std::size_t i = l.at + k;
            if (!present_[i]) {
                std::memset(w, ' ', 16);
                continue;
            }
            write_f14_3(w, values_[i]);
            w[14] = flags_[2 * i];
            w[15] = flags_[2 * i + 1];
            end = w + (w[15] != ' ' ? 16 : w[14] != ' ' ? 15 : 14);
        }
        *end++ = '\n';
        out.commit(static_cast<std::size_t>(end - begin));
    }

    void write_epoch(std::string_view head, bool event) {
        if (!crinex_) {
            out_.append(head);
            out_.push_back('\n');
            for (const Line& l : kept_) append_line(out_, l);
            return;
        }
        if (event) {
            // The special records the record kept, as the observation lines they were read from.
            Buffer records;
            for (const Line& l : kept_) append_line(records, l);
            crinex_->event(head, records.view());
            return;
        }
        ids_.clear();
        for (const Line& l : kept_) {
            const std::string_view id = rec_.sat_name(*l.sat);
            ids_.append(id);
            ids_.append(3 - id.size(), ' ');
        }
        crinex_->epoch(head, ids_);
        for (std::size_t j = 0; j < kept_.size(); ++j) {
            const Line& l = kept_[j];
            crinex_->satellite(std::string_view(ids_).substr(3 * j, 3), static_cast<std::uint32_t>(l.sys->names.size()),
                               values_.data() + l.at, present_.data() + l.at, flags_.data() + 2 * l.at);
        }
    }
};

// Bytes of the plain text, roughly: for reserving the output at once.
std::size_t size_estimate(const RinexObsData& rec, const WritePlan& plan) {
    std::size_t n = 8192 + 36 * rec.epochs.size();
    for (const auto& s : rec.sat_entries) {
        const std::string_view name = rec.satellite_names[s.sat];
        const SystemColumns* sys = name.empty() ? nullptr : plan.of(name);
        n += 4 + 16 * (sys ? sys->names.size() : 0);
    }
    return n;
}

std::string now_text() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d %H%M%S UTC", &tm);
    return buf;
}

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        char c = s[s.size() - suffix.size() + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

}  // namespace

OutputEncoding output_encoding_of(std::string_view path) {
    OutputEncoding e;
    if (ends_with_nocase(path, ".gz")) {
        e.gzip = true;
        path.remove_suffix(3);
    }
    e.crinex = ends_with_nocase(path, ".crx");
    return e;
}

WriteOutcome write_rinex_obs_text(const RinexObsData& rec, Buffer& out, const RinexWriteOptions& options, bool crinex) {
    auto plan = plan_write(rec);
    if (!plan) return unwritable(plan.error());
    RinexWriteOptions opts = options;
    if (opts.date.empty()) opts.date = now_text();
    const std::string header = rinex_header_text(rec, *plan, opts);
    const std::size_t estimate = size_estimate(rec, *plan);
    out.reserve(out.size() + (crinex ? estimate / 3 : estimate));
    if (!crinex) {
        out.append(header);
        return EpochWriter(rec, *plan, opts, out, nullptr).run();
    }
    // The decoders keep the state of at most this many satellites.
    if (rec.satellite_names.size() > kMaxCrinexSatellites && rec.distinct_satellites().size() > kMaxCrinexSatellites)
        return unwritable("the compact format holds at most 1024 distinct satellites");
    Crinex3Encoder encoder(out);
    encoder.header(header, opts.program, opts.date);
    return EpochWriter(rec, *plan, opts, out, &encoder).run();
}

WriteOutcome write_rinex_obs_file(const RinexObsData& rec, std::string_view path, const RinexWriteOptions& options) {
    const OutputEncoding enc = output_encoding_of(path);
    Buffer text;
    if (WriteOutcome r = write_rinex_obs_text(rec, text, options, enc.crinex); !r) return r;
    Buffer packed;
    if (enc.gzip) {
        gzip_compress(text.view(), packed);
        text = Buffer();
    }
    std::string error;
    if (!write_whole_file(path, enc.gzip ? packed.view() : text.view(), error)) return {WriteFailure::io, error};
    return {};
}

}  // namespace tessora
