#include "common/file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessora {

namespace {

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r returns the message (possibly a static string), XSI fills buf.
    auto msg = [&]() -> const char* {
        auto r = strerror_r(err, buf, sizeof buf);
        if constexpr (std::is_same_v<decltype(r), char*>) return r;
        else return r == 0 ? buf : "Unknown error";
    }();
    std::string s(msg);
    s += " (os error ";
    s += std::to_string(err);
    s += ')';
    return s;
}

}  // namespace

bool read_whole_file(std::string_view path, std::string& out, std::string& error) {
    if (path.find('\0') != std::string_view::npos) {
        error = "file name contained an unexpected NUL byte";
        return false;
    }
    const std::string p(path);
    int fd;
    do {
        fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = os_error_text(errno);
        return false;
    }
    struct stat st {};
    std::size_t hint = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) hint = static_cast<std::size_t>(st.st_size);
    out.clear();
    out.resize(hint + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == out.size()) out.resize(out.size() * 2 + 4096);
        ssize_t r = ::read(fd, out.data() + used, out.size() - used);
        if (r < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            out.clear();
            error = os_error_text(err);
            return false;
        }
        if (r == 0) break;
        used += static_cast<std::size_t>(r);
    }
    ::close(fd);
    out.resize(used);
    return true;
}

std::string file_name_of(std::string_view path) {
    std::string_view last;
    bool have = false;
    std::size_t i = 0;
    bool first = true;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view comp = path.substr(i, j - i);
        if (!comp.empty() && !(comp == "." && !(first && i == 0))) {
            last = comp;
            have = true;
        }
        if (!comp.empty() || j < path.size()) first = false;
        i = j + 1;
    }
    if (!have || last == "." || last == "..") return "unknown.obs";
    return std::string(last);
}

}  // namespace tessora
