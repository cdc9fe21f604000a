// Transparent input: whatever an entry point reads (a file, or bytes from Python) goes through
// expand_content first. The encoding is recognised from the content, never from a file name:
// compression layers (gzip, Unix compress, bzip2, in any nesting up to kMaxLayers) are removed,
// then a Hatanaka-compacted text is restored to RINEX. Plain input passes through uncopied.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
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

// Decoding beside its reader: for a large compressed or Hatanaka-compacted input, the decoding
// stages (decompression, then restoring the compact text) run on threads of their own, each
// writing into a channel, while the caller reads the text coming out of the last one. The result
// is the same as expand_content's: only the time it takes differs, on a machine with spare cores.
class ExpandStream {
public:
    // Inputs smaller than this are decoded at once: threads would cost more than they save.
    static constexpr std::size_t kStreamThreshold = std::size_t{1} << 20;

    // Starts decoding `bytes`, which must stay alive and unchanged until the stream is destroyed.
    static std::unique_ptr<ExpandStream> start(std::string_view bytes, std::uint64_t limit = kDefaultExpandLimit,
                                               std::size_t stream_threshold = kStreamThreshold);
    ~ExpandStream();  // stops and joins whatever still runs

    // True when the whole text is already there: plain input, input small enough to decode at
    // once, or a decoding error found at once (error() then says which).
    bool complete() const { return !last_; }
    // The whole text, when complete and decoded.
    const Expected<ExpandedContent>& content() const { return content_; }
    // Otherwise: the channel of the last stage, and a guess at the text's length.
    Channel& channel() { return *last_; }
    std::uint64_t size_hint() const { return size_hint_; }
    // Waits for the stages to end. The first stage that failed gives the error; an exception a
    // stage raised (out of memory) is raised again here.
    DecodeError finish();

private:
    ExpandStream();
    // Starts the stages; false when this input is better decoded at once.
    bool start_stages(std::string_view bytes, std::uint64_t limit, bool compressed);
    void stop();
    struct Stage;
    std::vector<std::unique_ptr<Stage>> stages_;
    Channel* last_ = nullptr;
    Expected<ExpandedContent> content_;
    std::uint64_t size_hint_ = 0;
};

}  // namespace tessora
