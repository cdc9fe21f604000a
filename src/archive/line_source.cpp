#include "archive/line_source.hpp"

namespace tessora {

bool LineSource::arrive(std::size_t i) {
    while (i >= lines_.size()) {
        const std::size_t n = channel_->wait_beyond(split_);
        if (n == split_) return false;  // the text has ended
        // Published text ends at a line end (only the very end may not), so every chunk splits
        // into whole lines, and an invalid sequence never spans two chunks.
        std::string_view chunk(channel_->data() + split_, n - split_);
        split_ = n;
        if (!is_valid_utf8(chunk)) {
            repaired_.emplace_back();
            append_utf8_lossy(repaired_.back(), chunk);
            chunk = repaired_.back();
        }
        append_lines(chunk, lines_);
    }
    return true;
}

}  // namespace tessora
