// Hatanaka compaction of RINEX 3 observations (see encoders.hpp). The state kept here is the one
// decode_crinex rebuilds, step for step: which satellites were listed in the epoch before, each
// observable's arc of differences and each satellite's indicator characters.
#include <charconv>
#include <cstring>

#include "archive/encoders.hpp"

namespace tessora {

namespace {

constexpr std::size_t kListColumn = 41;  // the satellite list of a CRINEX 3 epoch line
// An indicator character the decoders may not know: the next one is written whatever it is.
constexpr char kUnknown = '\0';

void append_int(std::string& s, std::int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

void rtrim(std::string& s) {
    std::size_t n = s.size();
    while (n > 0 && s[n - 1] == ' ') --n;
    s.resize(n);
}

}  // namespace

void Crinex3Encoder::write_line(std::string_view line) {
    out_.reserve_more(line.size() + 1);
    std::memcpy(out_.tail(), line.data(), line.size());
    out_.tail()[line.size()] = '\n';
    out_.commit(line.size() + 1);
}

void Crinex3Encoder::header(std::string_view rinex_header, std::string_view program, std::string_view date) {
    std::string prog(program.substr(0, 40));
    prog.resize(40, ' ');
    std::string when(date.substr(0, 20));
    when.resize(20, ' ');
    write_line("3.0                 COMPACT RINEX FORMAT                    CRINEX VERS   / TYPE");
    write_line(prog + when + "CRINEX PROG / DATE");
    out_.append(rinex_header);
}

void Crinex3Encoder::epoch(std::string_view head, std::string_view ids) {
    std::string line(head);
    line.resize(kListColumn, ' ');
    line.append(ids);
    // The difference from the previous line, character by character.
    line_.clear();
    if (have_epoch_) {
        const std::size_t keep = std::min(epoch_.size(), line.size());
        for (std::size_t i = 0; i < keep; ++i)
            line_.push_back(line[i] == epoch_[i] ? ' ' : line[i] == ' ' ? '&' : line[i]);
        rtrim(line_);  // blanks that keep the old characters
        if (line.size() > keep) {
            // Past the old end every character counts, blanks too (the list's count says how
            // long it must be).
            line_.resize(keep, ' ');
            for (std::size_t i = keep; i < line.size(); ++i) line_.push_back(line[i] == ' ' ? '&' : line[i]);
        }
    }
    if (line_.empty()) {
        // Written whole: the decoder starts every satellite afresh.
        line_ = line;
        ++data_epoch_;
    }
    write_line(line_);
    write_line("");  // no receiver clock offset
    epoch_ = std::move(line);
    have_epoch_ = true;
    ++data_epoch_;
}

void Crinex3Encoder::event(std::string_view head, std::string_view records) {
    write_line(head);
    out_.append(records);
    ++data_epoch_;
    have_epoch_ = false;  // the epoch after an event is written whole
}

Crinex3Encoder::Satellite& Crinex3Encoder::satellite_state(std::string_view id, std::uint32_t n) {
    const std::uint32_t key = static_cast<std::uint32_t>(static_cast<unsigned char>(id[0])) << 16 |
                              static_cast<std::uint32_t>(static_cast<unsigned char>(id[1])) << 8 |
                              static_cast<unsigned char>(id[2]);
    auto [it, added] = index_.emplace(key, static_cast<std::uint32_t>(sats_.size()));
    if (added) {
        Satellite s;
        s.ntypes = n;
        s.arc0 = static_cast<std::uint32_t>(arcs_.size());
        s.flag0 = static_cast<std::uint32_t>(flags_.size());
        arcs_.resize(arcs_.size() + n);
        flags_.resize(flags_.size() + 2 * std::size_t{n}, kUnknown);
        sats_.push_back(s);
    }
    Satellite& s = sats_[it->second];
    if (s.last_epoch + 1 != data_epoch_) {
        // Not listed in the epoch before: its arcs start again, and its indicators are written
        // whole. (The reference decompressor keeps nothing it could apply a difference to.)
        for (std::uint32_t k = 0; k < s.ntypes; ++k) arcs_[s.arc0 + k].active = false;
        std::memset(flags_.data() + s.flag0, kUnknown, 2 * std::size_t{s.ntypes});
    }
    s.last_epoch = data_epoch_;
    return s;
}

// The difference of the arc's current order that takes its last value to `value`; the arc then
// holds `value` and its new differences.
std::int64_t Crinex3Encoder::next_difference(Arc& arc, std::int64_t value) {
    const int m = arc.level < kOrder ? arc.level + 1 : kOrder;
    arc.level = static_cast<std::uint8_t>(m);
    std::int64_t e = value;
    for (int j = 0; j < m; ++j) {
        const std::int64_t next = e - arc.d[j];
        arc.d[j] = e;
        e = next;
    }
    arc.d[m] = e;
    return e;
}

void Crinex3Encoder::satellite(std::string_view id, std::uint32_t n, const std::int64_t* values,
                               const std::uint8_t* present, const char* flags) {
    Satellite& s = satellite_state(id, n);
    Arc* const arcs = arcs_.data() + s.arc0;
    char* const old = flags_.data() + s.flag0;
    line_.clear();
    for (std::uint32_t k = 0; k < n; ++k) {
        Arc& arc = arcs[k];
        if (!present[k]) {
            arc.active = false;
        } else if (arc.active) {
            append_int(line_, next_difference(arc, values[k]));
        } else {
            arc = Arc{};
            arc.active = true;
            arc.d[0] = values[k];
            line_ += "3&";
            append_int(line_, values[k]);
        }
        line_.push_back(' ');
    }
    for (std::size_t i = 0; i < 2 * std::size_t{n}; ++i) {
        const char c = present[i / 2] ? flags[i] : ' ';
        line_.push_back(c == old[i] ? ' ' : c == ' ' ? '&' : c);
        old[i] = c;
    }
    rtrim(line_);
    write_line(line_);
}

}  // namespace tessora
