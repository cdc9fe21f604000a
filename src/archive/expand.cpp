#include "archive/expand.hpp"

#include <system_error>

namespace tessora {

std::string_view encoding_name(Encoding e) {
    switch (e) {
        case Encoding::gzip: return "gzip";
        case Encoding::compress: return "compress (.Z)";
        case Encoding::bzip2: return "bzip2";
        case Encoding::crinex1: return "Hatanaka CRINEX 1.0";
        case Encoding::crinex3: return "Hatanaka CRINEX 3.0";
    }
    return "unknown";
}

std::string ExpandedContent::description() const {
    if (layers_.empty()) return "plain";
    std::string s;
    for (Encoding e : layers_) {
        if (!s.empty()) s += '+';
        s += encoding_name(e);
    }
    return s;
}

namespace {

// Text whose last line has no end. Content with control characters (other than tab, carriage
// return and line feed) in its last 4 KiB is binary, not text.
bool cut_text(const Buffer& b) {
    if (b.size() == 0 || b.data()[b.size() - 1] == '\n') return false;
    const std::size_t from = b.size() > 4096 ? b.size() - 4096 : 0;
    for (std::size_t i = from; i < b.size(); ++i) {
        const auto c = static_cast<unsigned char>(b.data()[i]);
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) return false;
    }
    return true;
}

}  // namespace

Expected<ExpandedContent> expand_content(std::string_view bytes, std::uint64_t limit) {
    using R = Expected<ExpandedContent>;
    ExpandedContent c;
    c.borrowed_ = bytes;
    std::string origin;  // the layers removed so far, for messages of the inner ones
    for (;;) {
        const std::string_view cur = c.view();
        Encoding e;
        if (has_gzip_magic(cur)) e = Encoding::gzip;
        else if (has_compress_magic(cur)) e = Encoding::compress;
        else if (has_bzip2_magic(cur)) e = Encoding::bzip2;
        else break;
        if (static_cast<int>(c.layers_.size()) >= kMaxLayers)
            return R::failure(decode_error(encoding_name(e), "more nested compression layers than " +
                                                                 std::to_string(kMaxLayers), 0));
        Expected<Buffer> out = e == Encoding::gzip       ? gunzip(cur, limit)
                               : e == Encoding::compress ? uncompress_lzw(cur, limit)
                                                         : bunzip2(cur, limit);
        // A .Z stream carries no length or checksum. RINEX text always ends its last line, so
        // text that stops inside a line is a cut file, not a short one. (Binary content, such as
        // an RTCM 3 recording, ends anywhere.)
        if (out && e == Encoding::compress && cut_text(*out))
            out = Expected<Buffer>::failure(
                decode_error(encoding_name(e), "the content ends inside a line (a truncated file?)", cur.size()));
        if (!out) return R::failure(origin.empty() ? out.error() : out.error() + " (inside " + origin + ")");
        if (!origin.empty()) origin += '+';
        origin += encoding_name(e);
        c.buffer_ = std::move(*out);
        c.owned_ = true;
        c.layers_.push_back(e);
    }
    const std::string_view cur = c.view();
    const int version = crinex_version(cur);
    if (version != 0) {
        Expected<Buffer> out = decode_crinex(cur, limit, origin);
        if (!out) return R::failure(out.error());
        c.buffer_ = std::move(*out);
        c.owned_ = true;
        c.layers_.push_back(version == 1 ? Encoding::crinex1 : Encoding::crinex3);
    }
    return R(std::move(c));
}

}  // namespace tessora

// ------------------------------------------------------------------------------ streaming
namespace tessora {

namespace {

// Room past the limit in a channel, so that a decoder reaches its own limit check first.
constexpr std::size_t kChannelSlack = std::size_t{1} << 20;

Encoding compression_of(std::string_view bytes) {
    return has_gzip_magic(bytes) ? Encoding::gzip : has_compress_magic(bytes) ? Encoding::compress : Encoding::bzip2;
}
bool is_compressed(std::string_view bytes) {
    return has_gzip_magic(bytes) || has_compress_magic(bytes) || has_bzip2_magic(bytes);
}

// One decoding stage on its own thread, writing into `out`.
template <typename F>
void run_stage(Channel& out, F decode) {
    try {
        Buffer buffer(out);
        if (DecodeError e = decode(buffer))
            out.fail(std::move(*e));
        else
            buffer.finish();
    } catch (const ChannelCancelled&) {
        out.fail(std::string("cancelled"));
    } catch (...) {
        out.fail(std::current_exception());
    }
}

DecodeError decompress_into(Encoding e, std::string_view in, std::uint64_t limit, Buffer& out) {
    DecodeError err = e == Encoding::gzip       ? gunzip_into(in, limit, out)
                      : e == Encoding::compress ? uncompress_lzw_into(in, limit, out)
                                                : bunzip2_into(in, limit, out);
    // A .Z stream carries no length or checksum: text cut inside a line is a cut file.
    if (!err && e == Encoding::compress && cut_text(out))
        err = decode_error(encoding_name(e), "the content ends inside a line (a truncated file?)", in.size());
    return err;
}

}  // namespace

struct ExpandStream::Stage {
    std::unique_ptr<Channel> out;
    std::thread thread;
};

ExpandStream::ExpandStream() : content_(ExpandedContent{}) {}

ExpandStream::~ExpandStream() { stop(); }

void ExpandStream::stop() {
    for (auto& s : stages_) s->out->cancel();
    for (auto& s : stages_)
        if (s->thread.joinable()) s->thread.join();
    stages_.clear();
    last_ = nullptr;
}

DecodeError ExpandStream::finish() {
    for (auto& s : stages_)
        if (s->thread.joinable()) s->thread.join();
    for (auto& s : stages_) {
        if (!s->out->failed()) continue;
        if (s->out->exception()) std::rethrow_exception(s->out->exception());
        return s->out->error();
    }
    return std::nullopt;
}

std::unique_ptr<ExpandStream> ExpandStream::start(std::string_view bytes, std::uint64_t limit,
                                                  std::size_t stream_threshold) {
    std::unique_ptr<ExpandStream> s(new ExpandStream());
    const bool compressed = is_compressed(bytes);
    const int crinex = compressed ? 0 : crinex_version(bytes);
    if (bytes.size() >= stream_threshold && (compressed || crinex == 1 || crinex == 3)) {
        try {
            if (s->start_stages(bytes, limit, compressed)) return s;
        } catch (const std::system_error&) {
            // No thread to be had: decode at once below.
        }
        s->stop();
    }
    s->content_ = expand_content(bytes, limit);
    return s;
}

bool ExpandStream::start_stages(std::string_view bytes, std::uint64_t limit, bool compressed) {
    ExpandStream* s = this;
    const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(limit, std::uint64_t{1} << 46)) +
                                 kChannelSlack;
    const auto add_stage = [&](auto body) -> Channel& {
        auto stage = std::make_unique<Stage>();
        stage->out = std::make_unique<Channel>(capacity);
        Channel& out = *stage->out;
        stage->thread = std::thread([&out, body] { run_stage(out, body); });
        s->stages_.push_back(std::move(stage));
        return out;
    };

    std::string origin;
    Channel* compact = nullptr;  // the compact text, when it is being decompressed
    if (compressed) {
        const Encoding e = compression_of(bytes);
        Channel& out = add_stage([e, bytes, limit](Buffer& b) { return decompress_into(e, bytes, limit, b); });
        const std::size_t first = out.wait_beyond(0);
        const std::string_view head(out.data(), first);
        if (is_compressed(head)) return false;  // nested compression is rare: decoded at once instead
        s->last_ = &out;
        s->size_hint_ = std::uint64_t{4} * bytes.size();
        const int version = crinex_version(head);
        if (version == 0) return true;  // plain RINEX inside: the reader takes it as it is
        origin = std::string(encoding_name(e));
        compact = &out;
    }
    Channel& out = compact ? add_stage([compact, limit, origin](Buffer& b) {
                                 return decode_crinex_into(*compact, limit, origin, b);
                             })
                           : add_stage([bytes, limit](Buffer& b) { return decode_crinex_into(bytes, limit, b); });
    s->last_ = &out;
    s->size_hint_ = std::uint64_t{7} * (compact ? s->size_hint_ : bytes.size()) / 2;
    return true;
}

}  // namespace tessora
