#include "common/file.hpp"

#include "common/large_pages.hpp"

#include <algorithm>
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

namespace {

// Reads the file into `out` (std::string or FileBytes), growing it when the file is longer than
// its size said, or has none.
// Opens `path` (retrying when a signal interrupts), or gives -1 with `error` set. A name with a NUL
// byte would name another file, and is refused.
int open_path(std::string_view path, int flags, std::string& error) {
    if (path.find('\0') != std::string_view::npos) {
        error = "file name contained an unexpected NUL byte";
        return -1;
    }
    const std::string p(path);
    int fd;
    do {
        fd = ::open(p.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) error = os_error_text(errno);
    return fd;
}

template <typename Out, typename Reserve, typename Finish>
bool read_into(std::string_view path, Out& out, Reserve&& reserve, Finish&& finish, std::string& error) {
    const int fd = open_path(path, O_RDONLY | O_CLOEXEC, error);
    if (fd < 0) return false;
    struct stat st {};
    std::size_t hint = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) hint = static_cast<std::size_t>(st.st_size);
    std::size_t room = 0;
    try {
        room = reserve(out, 0, hint + 1);
    } catch (...) {
        ::close(fd);
        throw;
    }
    std::size_t used = 0;
    for (;;) {
        if (used == room) {
            try {
                room = reserve(out, used, room * 2 + 4096);
            } catch (...) {
                ::close(fd);
                throw;
            }
        }
        ssize_t r = ::read(fd, out.data() + used, room - used);
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
    finish(out, used);
    return true;
}

}  // namespace

bool read_whole_file(std::string_view path, std::string& out, std::string& error) {
    return read_into(
        path, out,
        [](std::string& s, std::size_t used, std::size_t n) {
            if (used == 0) s.clear();
            s.resize(n);
            return n;
        },
        [](std::string& s, std::size_t used) { s.resize(used); }, error);
}

bool read_whole_file(std::string_view path, FileBytes& out, std::string& error) {
    out.set_size(0);
    return read_into(
        path, out,
        [](FileBytes& b, std::size_t used, std::size_t n) {
            b.set_size(used);
            b.reserve(n);
            return b.capacity();
        },
        [](FileBytes& b, std::size_t used) { b.set_size(used); }, error);
}

bool write_whole_file(std::string_view path, std::string_view bytes, std::string& error) {
    const int fd = open_path(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, error);
    if (fd < 0) return false;
    const std::string p(path);
    int err = 0;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 30));
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
    if (err != 0) {
        ::unlink(p.c_str());  // no partial file behind
        error = os_error_text(err);
        return false;
    }
    return true;
}

FileBytes& FileBytes::operator=(FileBytes&& o) noexcept {
    if (this != &o) {
        free_storage();
        p_ = o.p_, size_ = o.size_, cap_ = o.cap_;
        o.p_ = nullptr, o.size_ = o.cap_ = 0;
    }
    return *this;
}

void FileBytes::reserve(std::size_t n) {
    if (n <= cap_) return;
    LargePageAllocator<char> alloc;
    char* q = alloc.allocate(n);
    if (size_) std::memcpy(q, p_, size_);
    free_storage();
    p_ = q;
    cap_ = n;
}

void FileBytes::free_storage() noexcept {
    if (p_) LargePageAllocator<char>().deallocate(p_, cap_);
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
