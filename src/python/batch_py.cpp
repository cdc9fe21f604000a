// analyze_many: many analyses on a pool of native threads, one result (or exception) per file.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sched.h>

#include <chrono>
#include <system_error>

#include "cn0/analyze.hpp"
#include "python/classes.hpp"

namespace tessora::py {
namespace {

struct Job {
    std::string obs;
    std::optional<std::string> nav;
};

// One outcome per job; `out_of_memory` when its analysis ran out of memory.
struct BatchOutcome {
    AnalysisOutcome outcome;
    bool out_of_memory = false;
};

std::size_t cpu_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

// Converts nav_paths: None, one path for every file, or a sequence parallel to obs_paths whose
// items are paths or None.
bool conv_nav_paths(PyObject* o, std::size_t n, const std::optional<std::string>& fallback,
                    std::vector<std::optional<std::string>>& out) {
    out.assign(n, fallback);
    if (absent(o)) return true;
    if (PyUnicode_Check(o)) {
        std::string_view p;
        if (!conv_text(o, "nav_paths", p)) return false;
        out.assign(n, std::string(p));
        return true;
    }
    if (!PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument 'nav_paths': expected str, None or a sequence of str, got %s",
                     Py_TYPE(o)->tp_name);
        return false;
    }
    Ref seq = Ref::steal(PySequence_Fast(o, "argument 'nav_paths': expected a sequence"));
    if (!seq) return false;
    const Py_ssize_t m = PySequence_Fast_GET_SIZE(seq.get());
    if (static_cast<std::size_t>(m) != n) {
        PyErr_Format(PyExc_ValueError, "nav_paths has %zd entries for %zu observation files", m, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < m; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (item == Py_None) {
            out[static_cast<std::size_t>(i)].reset();
            continue;
        }
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argument 'nav_paths': expected a sequence of str or None, found an item of type %s",
                         Py_TYPE(item)->tp_name);
            return false;
        }
        std::string_view p;
        if (!conv_text(item, "nav_paths", p)) return false;
        out[static_cast<std::size_t>(i)] = std::string(p);
    }
    return true;
}

// The Python value of one outcome: an AnalysisResult, or the exception analyze_cn0 would raise.
PyObject* outcome_object(BatchOutcome& b) {
    if (b.out_of_memory) return PyObject_CallFunction(PyExc_MemoryError, nullptr);
    AnalysisOutcome& o = b.outcome;
    PyObject* type = PyExc_ValueError;
    std::string message = o.message;
    switch (o.failure) {
        case AnalysisFailure::none: {
            Ref result = Ref::steal(wrap_analysis_result(std::move(o.result)));
            if (!result || !o.interference) return result.release();
            Ref report = Ref::steal(wrap_interference_report(std::move(*o.interference)));
            if (!report) return nullptr;
            return PyTuple_Pack(2, result.get(), report.get());
        }
        case AnalysisFailure::obs_unreadable:
            type = PyExc_OSError;
            message = std::string(kObsReadPrefix) + message;
            break;
        case AnalysisFailure::nav_unreadable:
            type = PyExc_OSError;
            message = std::string(kNavReadPrefix) + message;
            break;
        default: break;
    }
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return nullptr;
    return PyObject_CallOneArg(type, text.get());
}

// The pool: workers take the next job until none is left or the caller stops them.
class Pool {
public:
    Pool(const std::vector<Job>& jobs, const AnalysisConfig& config, bool interference, std::vector<BatchOutcome>& out)
        : jobs_(jobs), config_(config), interference_(interference), out_(out) {}
    ~Pool() { stop_and_join(); }

    // Starts `n` workers; false (with RuntimeError set) when no thread can be had.
    bool start(std::size_t n) {
        try {
            for (std::size_t i = 0; i < n; ++i) threads_.emplace_back([this] { work(); });
        } catch (const std::system_error& e) {
            if (threads_.empty()) {
                PyErr_Format(PyExc_RuntimeError, "cannot start a worker thread: %s", e.what());
                return false;
            }
        }
        return true;
    }

    // Waits (without the interpreter lock) up to `timeout` for more jobs to finish; returns the
    // number finished.
    std::size_t wait_beyond(std::size_t seen, std::chrono::milliseconds timeout) {
        std::size_t done = 0;
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, timeout, [&] { return done_ > seen; });
        done = done_;
        Py_END_ALLOW_THREADS
        return done;
    }

    void stop_and_join() {
        stop_.store(true);
        Py_BEGIN_ALLOW_THREADS  // a verbose analysis takes the lock for its progress lines
        for (auto& t : threads_)
            if (t.joinable()) t.join();
        Py_END_ALLOW_THREADS
        threads_.clear();
    }

private:
    void work() {
        for (;;) {
            const std::size_t i = next_.fetch_add(1);
            if (i >= jobs_.size() || stop_.load()) return;
            BatchOutcome& b = out_[i];
            try {
                const Job& j = jobs_[i];
                b.outcome = analyze_files(j.obs, j.nav ? &*j.nav : nullptr, config_, stderr_progress(config_.verbose),
                                          interference_);
            } catch (const std::bad_alloc&) {
                b.out_of_memory = true;
            }
            {
                std::lock_guard<std::mutex> lock(m_);
                ++done_;
            }
            cv_.notify_one();
        }
    }

    const std::vector<Job>& jobs_;
    const AnalysisConfig& config_;
    const bool interference_;
    std::vector<BatchOutcome>& out_;
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::condition_variable cv_;
    std::size_t done_ = 0;
};

PyObject* analyze_many(PyObject*, PyObject* args, PyObject* kwargs) {
    // Positional: obs_paths and nav_paths; the rest by keyword only.
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > 2) {
        PyErr_Format(PyExc_TypeError, "analyze_many() takes at most 2 positional arguments (%zd given)", npos);
        return nullptr;
    }
    PyObject* a[8];
    static const char* const ordered[] = {"obs_paths", "nav_paths", "min_elevation", "systems",
                                          "config", "workers", "progress", "interference"};
    if (!bind_args("analyze_many", ordered, 8, 1, args, kwargs, a)) return nullptr;
    PyObject *obs_arg = a[0], *nav_arg = a[1], *elev_arg = a[2], *systems_arg = a[3], *config_arg = a[4],
             *workers_arg = a[5], *progress_arg = a[6];
    bool interference = false;
    if (!absent(a[7]) && !conv_bool(a[7], "interference", interference)) return nullptr;

    std::vector<std::string> obs_paths;
    if (!conv_text_list(obs_arg, "obs_paths", obs_paths)) return nullptr;
    double min_elevation = 5.0;
    if (elev_arg && !conv_float(elev_arg, "min_elevation", min_elevation)) return nullptr;
    std::optional<std::vector<std::string>> systems;
    if (!absent(systems_arg)) {
        std::vector<std::string> v;
        if (!conv_text_list(systems_arg, "systems", v)) return nullptr;
        systems = std::move(v);
    }
    AnalysisConfig config;
    std::optional<std::string> default_nav;
    if (!absent(config_arg)) {
        if (!conv_instance(config_arg, g_analysis_config_type, "config")) return nullptr;
        if (elev_arg || !absent(systems_arg)) {
            PyErr_SetString(PyExc_TypeError,
                            "analyze_many(): min_elevation and systems come from config when config is given");
            return nullptr;
        }
        ReadBorrow guard(borrow_of<ConfigPayload>(config_arg));
        if (!guard.ok()) return nullptr;
        config = *analysis_config_of(config_arg);
        default_nav = config.nav_file;
    } else {
        config = quick_analysis_config(min_elevation, std::move(systems));
    }
    std::uint64_t workers = 0;
    if (!absent(workers_arg)) {
        if (!conv_count(workers_arg, "workers", workers)) return nullptr;
        if (workers == 0) {
            PyErr_SetString(PyExc_ValueError, "workers must be at least 1");
            return nullptr;
        }
    }
    if (!absent(progress_arg) && !PyCallable_Check(progress_arg)) {
        PyErr_Format(PyExc_TypeError, "argument 'progress': expected a callable, got %s", Py_TYPE(progress_arg)->tp_name);
        return nullptr;
    }
    std::vector<std::optional<std::string>> nav_paths;
    if (!conv_nav_paths(nav_arg, obs_paths.size(), default_nav, nav_paths)) return nullptr;

    const std::size_t n = obs_paths.size();
    std::vector<Job> jobs(n);
    for (std::size_t i = 0; i < n; ++i) jobs[i] = Job{std::move(obs_paths[i]), std::move(nav_paths[i])};
    std::vector<BatchOutcome> outcomes(n);
    if (n > 0) {
        const std::size_t pool_size = static_cast<std::size_t>(std::min<std::uint64_t>(workers ? workers : cpu_count(), n));
        Pool pool(jobs, config, interference, outcomes);
        if (!pool.start(pool_size)) return nullptr;
        std::size_t reported = 0;
        while (reported < n) {
            const std::size_t done = pool.wait_beyond(reported, std::chrono::milliseconds(100));
            // Ctrl-C and a failing progress callback stop the batch: what runs finishes, the rest
            // is not started.
            if (PyErr_CheckSignals() < 0) return nullptr;
            for (; reported < done; ++reported) {
                if (absent(progress_arg)) continue;
                Ref r = Ref::steal(PyObject_CallFunction(progress_arg, "nn", static_cast<Py_ssize_t>(reported + 1),
                                                         static_cast<Py_ssize_t>(n)));
                if (!r) return nullptr;
            }
        }
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return internal_error("Python API call failed");
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* o = outcome_object(outcomes[i]);
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
    }
    return list.release();
}

// _visibility_timeline(obs_path, nav_path, min_elevation): the satellites predicted and observed
// at each epoch, for reports. Not part of the package's names.
PyObject* visibility_timeline_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"obs_path", "nav_path", "min_elevation"};
    PyObject* a[3];
    if (!bind_args("_visibility_timeline", names, 3, 2, args, kwargs, a)) return nullptr;
    std::string_view obs_path, nav_path;
    double min_elevation = 5.0;
    if (!conv_text(a[0], "obs_path", obs_path) || !conv_text(a[1], "nav_path", nav_path)) return nullptr;
    if (a[2] && !conv_float(a[2], "min_elevation", min_elevation)) return nullptr;
    AnalysisFailure failure = AnalysisFailure::none;
    std::string message;
    VisibilityTimeline tl;
    if (!without_gil([&] {
            auto obs = load_observations(obs_path, failure, message);
            if (!obs) return;
            auto nav = load_navigation(nav_path, failure, message);
            if (!nav) return;
            tl = visibility_timeline(quick_analysis_config(min_elevation, std::nullopt), obs, nav);
        }))
        return nullptr;
    // The same messages as analyze_cn0, so that a caller can tell which of the two files failed.
    if (failure == AnalysisFailure::obs_unreadable) return raise(PyExc_OSError, std::string(kObsReadPrefix) + message);
    if (failure == AnalysisFailure::nav_unreadable) return raise(PyExc_OSError, std::string(kNavReadPrefix) + message);
    if (failure != AnalysisFailure::none) return raise(PyExc_ValueError, message);
    Ref d = Ref::steal(make_dict());
    if (!d) return nullptr;
    const auto as_int = [](std::uint32_t v) { return make_uint(v); };
    if (!dict_set(d.get(), "timestamps", make_str_list(tl.timestamps)) ||
        !dict_set(d.get(), "predicted", make_list(tl.predicted, as_int)) ||
        !dict_set(d.get(), "observed", make_list(tl.observed, as_int)))
        return nullptr;
    return d.release();
}

}  // namespace

PyMethodDef kVisibilityTimelineDef = {
    "_visibility_timeline", reinterpret_cast<PyCFunction>(visibility_timeline_py), METH_VARARGS | METH_KEYWORDS,
    "_visibility_timeline(obs_path, nav_path, min_elevation=5.0)\n--\n\n"
    "Satellites predicted and observed at each epoch (for reports)"};

PyMethodDef kAnalyzeManyDef = {
    "analyze_many", reinterpret_cast<PyCFunction>(analyze_many), METH_VARARGS | METH_KEYWORDS,
    "analyze_many(obs_paths, nav_paths=None, *, min_elevation=5.0, systems=None, config=None, workers=None, "
    "progress=None, interference=False)\n--\n\n"
    "Analyse many observation files on a pool of native threads\n"
    "\n"
    "obs_paths: a sequence of observation file paths (plain or compressed).\n"
    "nav_paths: None, one navigation file for every observation file, or a sequence parallel to\n"
    "    obs_paths whose items are paths or None.\n"
    "min_elevation, systems: as for analyze_cn0, whose fixed settings the analyses use; or\n"
    "config: an AnalysisConfig supplying every setting instead (its nav_file serves every file\n"
    "    when nav_paths is None).\n"
    "workers: number of threads, by default the number of CPUs this process may use.\n"
    "progress: a callable called with (done, total) from the calling thread as files finish.\n"
    "interference: also run detect_interference on the same records (its elevation mask and\n"
    "    systems from the settings; every system when they name none).\n"
    "\n"
    "Returns a list in the order of obs_paths: for each file its AnalysisResult (with interference,\n"
    "a tuple (AnalysisResult, InterferenceReport)), or the exception\n"
    "analyze_cn0 would have raised for it (OSError, ValueError). One bad file never stops the\n"
    "batch; the results equal those of analyze_cn0 run one after the other."};

}  // namespace tessora::py
