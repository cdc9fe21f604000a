// gzip output: through libdeflate when the build has it (a whole buffer at once, three to four
// times faster than zlib at the same level), else through zlib's deflate, the output growing in
// place.
#include <zlib.h>
#ifdef TESSORA_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <climits>
#include <new>

#include "archive/encoders.hpp"

namespace tessora {

namespace {

[[maybe_unused]] bool libdeflate_compress(std::string_view in, Buffer& out, int level) {
#ifdef TESSORA_HAVE_LIBDEFLATE
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    if (!c) throw std::bad_alloc();
    struct Free {
        libdeflate_compressor* c;
        ~Free() { libdeflate_free_compressor(c); }
    } free_it{c};
    const std::size_t bound = libdeflate_gzip_compress_bound(c, in.size());
    out.reserve_more(bound);
    const std::size_t n = libdeflate_gzip_compress(c, in.data(), in.size(), out.tail(), bound);
    if (n == 0) return false;
    out.commit(n);
    return true;
#else
    (void)in, (void)out, (void)level;
    return false;
#endif
}

}  // namespace

void gzip_compress(std::string_view in, Buffer& out, int level) {
    if (in.size() < (std::size_t{1} << 32) && libdeflate_compress(in, out, level)) return;
    z_stream z{};
    // 15 window bits plus 16: a gzip wrapper instead of zlib's own.
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
    struct End {
        z_stream* z;
        ~End() { deflateEnd(z); }
    } end{&z};
    out.reserve_more(in.size() / 8 + 1024);
    std::size_t pos = 0;
    constexpr std::size_t kStep = std::size_t{1} << 30;  // zlib's counters are 32-bit
    for (;;) {
        const std::size_t take = std::min(in.size() - pos, kStep);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + pos));
        z.avail_in = static_cast<uInt>(take);
        const int flush = pos + take == in.size() ? Z_FINISH : Z_NO_FLUSH;
        int rc;
        do {
            out.reserve_more(std::size_t{1} << 16);
            const std::size_t room = std::min<std::size_t>(out.spare(), UINT_MAX);
            z.next_out = reinterpret_cast<Bytef*>(out.tail());
            z.avail_out = static_cast<uInt>(room);
            rc = deflate(&z, flush);
            if (rc == Z_STREAM_ERROR) throw std::bad_alloc();
            out.commit(room - z.avail_out);
        } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
        pos += take;
        if (flush == Z_FINISH) return;
    }
}

}  // namespace tessora
