#include "interference/live_memory.hpp"

#include "interference/template_combine.hpp"

namespace tessora {

namespace {

constexpr double kDaySeconds = 86400.0;

}  // namespace

void StreamNoise::add(double seconds, std::string text, std::vector<SlotNoise> slots, double keep_from) {
    stretches_.emplace_back(seconds, std::move(slots));
    until_seconds_ = seconds;
    until_text_ = std::move(text);
    while (!stretches_.empty() && stretches_.front().first < keep_from - kDaySeconds) stretches_.pop_front();
}

std::vector<SlotNoise> StreamNoise::pooled_before(double first) const {
    std::vector<SlotNoise> out;
    for (const auto& [until, slots] : stretches_) {
        if (until > first || until < first - kDaySeconds) continue;
        if (out.empty()) out.assign(slots.size(), SlotNoise{});
        for (std::size_t k = 0; k < slots.size() && k < out.size(); ++k) {
            out[k].near += slots[k].near;
            out[k].at += slots[k].at;
            out[k].beyond += slots[k].beyond;
        }
    }
    return out;
}

void StreamTemplates::add(double now, const CN0Template& own) {
    if (own.signals.empty()) return;
    taken_at_ = now;
    clean_.emplace_back(now, own);
    while (clean_.front().first < now - kDaySeconds) clean_.pop_front();
    std::vector<const CN0Template*> days;
    for (const auto& [t, tpl] : clean_) days.push_back(&tpl);
    combined_ = combine_templates(days, own.station);
}

}  // namespace tessora
