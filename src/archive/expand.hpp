// Transparent input: whatever an entry point reads (a file, or bytes from Python) goes through
// expand_content first. The encoding is recognised from the content, never from a file name:
// compression layers (gzip, Unix compress, bzip2, in any nesting up to kMaxLayers) are removed,
// then a Hatanaka-compacted text is restored to RINEX. Plain input passes through uncopied.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/buffer.hpp"
#include "archive/decoders.hpp"
#include "common/expected.hpp"

namespace tessora {

enum class Encoding : std::uint8_t { gzip, compress, bzip2, crinex1, crinex3 };

// Name of an encoding as the messages and the data manifests write it.
std::string_view encoding_name(Encoding e);

// Compression layers of one input at most; deeper nesting is refused.
inline constexpr int kMaxLayers = 4;

class ExpandedContent {
public:
    // The plain text: the caller's bytes when nothing was encoded, else the decoded copy.
    std::string_view view() const { return owned_ ? buffer_.view() : borrowed_; }
    // The layers that were removed, outermost first; empty for plain input.
    const std::vector<Encoding>& layers() const { return layers_; }
    // The layers joined with "+", e.g. "gzip+Hatanaka CRINEX 3.0"; "plain" when there were none.
    std::string description() const;

private:
    friend Expected<ExpandedContent> expand_content(std::string_view, std::uint64_t);
    std::string_view borrowed_;
    Buffer buffer_;
    bool owned_ = false;
    std::vector<Encoding> layers_;
};

// Removes every encoding layer of `bytes`. Errors name the encoding and the byte offset; the
// decoded content never exceeds `limit` bytes at any layer.
Expected<ExpandedContent> expand_content(std::string_view bytes, std::uint64_t limit = kDefaultExpandLimit);

}  // namespace tessora
