#include "archive/expand.hpp"

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
        // content that stops inside a line is a cut file, not a short one.
        if (out && e == Encoding::compress && out->size() > 0 && out->data()[out->size() - 1] != '\n')
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
