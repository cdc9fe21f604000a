// gzip output through zlib's deflate, the output growing in place.
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

#include "archive/encoders.hpp"

namespace tessora {

void gzip_compress(std::string_view in, Buffer& out, int level) {
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
