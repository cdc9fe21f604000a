// The lines of a text for a reader that walks them by index: all of them at once for a text in
// memory, or as they arrive for a text that a decoding stage is still writing into a channel.
// Lines are split as split_lines does, and text that is not valid UTF-8 is repaired as
// DecodedText does; both work line by line, so the lines are the same either way.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "archive/channel.hpp"
#include "common/large_pages.hpp"
#include "common/text.hpp"

namespace tessora {

class LineSource {
public:
    explicit LineSource(std::string_view text) : text_(text) {
        lines_.reserve(text.size() / 64 + 16);
        append_lines(text_.view(), lines_);
    }
    // `size_hint`: a guess at the text's length, to size the line table.
    LineSource(Channel& channel, std::size_t size_hint) : text_(std::string_view()), channel_(&channel) {
        lines_.reserve(size_hint / 48 + 64);
    }
    LineSource(const LineSource&) = delete;
    LineSource& operator=(const LineSource&) = delete;

    // Whether line i exists, waiting for it while the text is still arriving.
    bool has(std::size_t i) { return i < lines_.size() || (channel_ && arrive(i)); }
    std::string_view operator[](std::size_t i) const { return lines_[i]; }
    // Lines known now (all of them for a text in memory).
    std::size_t known() const { return lines_.size(); }

private:
    bool arrive(std::size_t i);

    DecodedText text_;  // a text in memory
    LargeVector<std::string_view> lines_;
    Channel* channel_ = nullptr;
    std::size_t split_ = 0;          // bytes of the channel's text split so far
    std::deque<std::string> repaired_;  // repaired copies of arrived text that was not UTF-8
};

}  // namespace tessora
