// Fetching the GNSS element-set catalogue with the external `curl` program.
//
// The child is started with posix_spawnp (no shell), standard input on /dev/null and both output
// streams on close-on-exec pipes. Both pipes are drained together with poll(), so that a child
// writing a lot to one stream never blocks while we wait on the other. Every path kills (when
// needed) and reaps the child and closes every descriptor.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/text.hpp"
#include "tle/tle.hpp"

extern char** environ;

namespace tessora {
namespace {

using Clock = std::chrono::steady_clock;

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // close() is not retried on EINTR: on Linux the descriptor is released either way.
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

bool open_pipe(Fd& read_end, Fd& write_end) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    read_end = Fd(p[0]);
    write_end = Fd(p[1]);
    return true;
}

// A started child. Unless it has been reaped, the destructor kills its process group and reaps
// it, so that no path leaves a zombie or a runaway process behind.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!reaped_) {
            kill_all();
            wait_blocking();
        }
    }

    void kill_all() {
        // The child leads its own process group; the second call covers the short window before
        // the group exists.
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
    }

    // Reaps the child if it has ended; true when it has.
    bool try_wait() {
        for (;;) {
            const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                return true;
            }
            if (r == 0) return false;
            if (errno == EINTR) continue;
            reaped_ = true;  // ECHILD: someone else reaped it; nothing left to wait for
            status_ = -1;
            return true;
        }
    }

    void wait_blocking() {
        for (;;) {
            const pid_t r = ::waitpid(pid_, &status_, 0);
            if (r == pid_) break;
            if (r < 0 && errno == EINTR) continue;
            status_ = -1;
            break;
        }
        reaped_ = true;
    }

    int status() const { return status_; }

private:
    pid_t pid_;
    int status_ = -1;
    bool reaped_ = false;
};

// Milliseconds left until `deadline`, rounded up, at least 0 and at most INT_MAX.
int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<long long>(left, 0x7fffffff));
}

void sleep_ms(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1'000'000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Spawn attributes and file actions, destroyed on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool actions_ok = false, attr_ok = false;
    ~SpawnSetup() {
        if (actions_ok) posix_spawn_file_actions_destroy(&actions);
        if (attr_ok) posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

Expected<ChildOutput> run_and_capture(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                      std::size_t max_output) {
    using R = Expected<ChildOutput>;
    if (argv.empty()) return R::failure("no program given");
    // A deadline far beyond any download keeps the clock arithmetic clear of overflow.
    timeout = std::min<std::chrono::milliseconds>(timeout, std::chrono::hours(24 * 365));

    Fd out_r, out_w, err_r, err_w;
    if (!open_pipe(out_r, out_w) || !open_pipe(err_r, err_w)) return R::failure(std::strerror(errno));

    SpawnSetup setup;
    if (posix_spawn_file_actions_init(&setup.actions) != 0) return R::failure("cannot prepare the child");
    setup.actions_ok = true;
    if (posix_spawnattr_init(&setup.attr) != 0) return R::failure("cannot prepare the child");
    setup.attr_ok = true;

    // Standard input is /dev/null: the child must never read from our terminal or pipe. dup2
    // clears close-on-exec on the targets; the original pipe ends close at exec.
    if (posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(&setup.actions, out_w.get(), 1) != 0 ||
        posix_spawn_file_actions_adddup2(&setup.actions, err_w.get(), 2) != 0)
        return R::failure("cannot prepare the child");

    // Own process group (so a kill reaches the whole tree), default SIGPIPE disposition (the
    // Python interpreter ignores it, and ignored signals survive exec) and an empty signal mask.
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&empty);
    if (posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                  POSIX_SPAWN_SETSIGMASK) != 0 ||
        posix_spawnattr_setpgroup(&setup.attr, 0) != 0 || posix_spawnattr_setsigdefault(&setup.attr, &defaults) != 0 ||
        posix_spawnattr_setsigmask(&setup.attr, &empty) != 0)
        return R::failure("cannot prepare the child");

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    const Clock::time_point deadline = Clock::now() + timeout;
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
    if (rc != 0) return R::failure(std::strerror(rc));
    Child child(pid);
    out_w.reset();
    err_w.reset();

    ChildOutput result;
    Fd* fds[2] = {&out_r, &err_r};
    std::string* sinks[2] = {&result.out, &result.err};
    char buf[65536];
    while (out_r.valid() || err_r.valid()) {
        pollfd p[2];
        int map[2];
        nfds_t n = 0;
        for (int k = 0; k < 2; ++k) {
            if (!fds[k]->valid()) continue;
            p[n] = pollfd{fds[k]->get(), POLLIN, 0};
            map[n++] = k;
        }
        const int wait = remaining_ms(deadline);
        if (wait == 0) return R::failure("timed out");  // ~Child kills and reaps
        const int ready = ::poll(p, n, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return R::failure(std::strerror(errno));
        }
        for (nfds_t j = 0; j < n; ++j) {
            if (p[j].revents == 0) continue;
            const int k = map[j];
            const ssize_t got = ::read(fds[k]->get(), buf, sizeof buf);
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return R::failure(std::strerror(errno));
            }
            if (got == 0) {
                fds[k]->reset();  // end of stream
                continue;
            }
            if (sinks[k]->size() + static_cast<std::size_t>(got) > max_output) return R::failure("output too large");
            sinks[k]->append(buf, static_cast<std::size_t>(got));
        }
    }

    // Both streams are closed; the child normally ends right away, but one that closed its
    // streams early is still bound by the deadline.
    while (!child.try_wait()) {
        const int wait = remaining_ms(deadline);
        if (wait == 0) return R::failure("timed out");
        sleep_ms(std::min(wait, 10));
    }
    const int st = child.status();
    if (st != -1 && WIFEXITED(st)) {
        result.exited = true;
        result.exit_status = WEXITSTATUS(st);
    }
    return result;
}

bool accept_tle_output(const ChildOutput& run) {
    if (!run.exited || run.exit_status != 0) return false;
    if (!is_valid_utf8(run.out)) return false;
    const std::string_view text = run.out;
    if (text.find("1 ") == std::string_view::npos || text.find("2 ") == std::string_view::npos) return false;
    // An error page can contain "1 " and "2 " too: insist on an element set that counts.
    return parse_tle_content(text) > 0;
}

Expected<std::string> download_tle(std::chrono::milliseconds timeout, std::size_t max_output) {
    for (std::string_view url : kTleSources) {
        const std::vector<std::string> argv = {"curl", "-sL", "--connect-timeout", "10", std::string(url)};
        auto run = run_and_capture(argv, timeout, max_output);
        if (run && accept_tle_output(run.value())) return std::move(run.value().out);
    }
    return Expected<std::string>::failure(std::string(kTleDownloadFailed));
}

}  // namespace tessora
