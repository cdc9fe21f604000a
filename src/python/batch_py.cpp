// analyze_many and iter_analyze: many analyses on a pool of native threads, one result (or
// exception) per file, all at the end in input order or one by one as they finish.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sched.h>

#include <chrono>
#include <system_error>

#include "cn0/analyze.hpp"
#include "common/heap_policy.hpp"
#include "interference/detect.hpp"
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

// The Python value of one outcome: an AnalysisResult (or the pair with its InterferenceReport),
// with `report_only` the InterferenceReport alone, or the exception analyze_cn0 would raise.
PyObject* outcome_object(BatchOutcome& b, bool report_only) {
    if (b.out_of_memory) return PyObject_CallFunction(PyExc_MemoryError, nullptr);
    AnalysisOutcome& o = b.outcome;
    PyObject* type = PyExc_ValueError;
    std::string message = o.message;
    switch (o.failure) {
        case AnalysisFailure::none: {
            if (report_only) {
                if (!o.interference) return internal_error("a detector run left no report");
                return wrap_interference_report(std::move(*o.interference));
            }
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

// The pool: workers take the jobs in index order and run each with `run(i)`, which touches no
// Python object, until none is left or the caller stops them. Each finished index is queued for
// the consumer. With a bound, a worker takes a new job only while fewer than `bound` jobs are
// running or finished and not yet taken: the consumer's pace then limits how many results exist
// at once, however many files there are.
class Pool {
public:
    using Run = std::function<void(std::size_t)>;
    enum class Next { taken, timeout, exhausted };

    Pool(std::size_t jobs, Run run, std::size_t bound = 0) : jobs_(jobs), run_(std::move(run)), bound_(bound) {}
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
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

    // Waits (without the interpreter lock) up to `timeout` for a finished job and takes it, which
    // frees its place under the bound. `index` is set when one was taken.
    Next take(std::size_t& index, std::chrono::milliseconds timeout) {
        Next next = Next::timeout;
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, timeout, [&] { return !finished_.empty() || taken_ >= jobs_; });
        if (!finished_.empty()) {
            index = finished_.front();
            finished_.pop_front();
            ++taken_;
            next = Next::taken;
        } else if (taken_ >= jobs_) {
            next = Next::exhausted;
        }
        lock.unlock();
        if (next == Next::taken) room_.notify_one();
        Py_END_ALLOW_THREADS
        return next;
    }

    // Jobs running finish; the others are not started. Called with the interpreter lock held.
    void stop_and_join() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        room_.notify_all();
        Py_BEGIN_ALLOW_THREADS  // a verbose analysis takes the lock for its progress lines
        for (auto& t : threads_)
            if (t.joinable()) t.join();
        Py_END_ALLOW_THREADS
        threads_.clear();
    }

private:
    void work() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            room_.wait(lock, [&] { return stop_ || next_ >= jobs_ || bound_ == 0 || next_ - taken_ < bound_; });
            if (stop_ || next_ >= jobs_) return;
            const std::size_t i = next_++;
            lock.unlock();
            run_(i);
            lock.lock();
            finished_.push_back(i);
            ++done_;
            cv_.notify_all();
        }
    }

    const std::size_t jobs_;
    const Run run_;
    const std::size_t bound_;  // 0: none
    std::vector<std::thread> threads_;
    std::mutex m_;
    std::condition_variable cv_;    // the consumer waits here for finished jobs
    std::condition_variable room_;  // the workers wait here for room under the bound
    std::deque<std::size_t> finished_;
    std::size_t next_ = 0, done_ = 0, taken_ = 0;
    bool stop_ = false;
};

// Runs one job: the analysis of a file (with the detector when asked for), or with `analysis`
// false only the detector on the records read, the report in `interference`.
void run_job(const Job& j, const AnalysisConfig& config, bool interference, bool analysis, BatchOutcome& b) {
    try {
        const std::string* nav_path = j.nav ? &*j.nav : nullptr;
        if (analysis) {
            b.outcome = analyze_files(j.obs, nav_path, config, stderr_progress(config.verbose), interference);
            return;
        }
        settle_heap_thresholds();
        AnalysisOutcome& o = b.outcome;
        std::shared_ptr<const NavigationData> nav;  // an RTCM 3 recording's own ephemerides, or the file's
        auto obs = load_observations(j.obs, o.failure, o.message, &nav);
        if (!obs) return;
        if (nav_path && !(nav = load_navigation(*nav_path, o.failure, o.message))) return;
        DetectorOptions options;
        options.min_elevation = config.min_elevation;
        if (config.systems) options.systems = system_letters(config.systems);
        o.interference = detect_interference(*obs, nav.get(), options);
        o.interference->filename = j.obs;
    } catch (const std::bad_alloc&) {
        b.out_of_memory = true;
    }
}

// The settings common to analyze_many and iter_analyze. The slots `a` are obs_paths, nav_paths,
// min_elevation, systems, config and workers, in that order.
struct BatchSettings {
    std::vector<std::string> obs_paths;
    AnalysisConfig config;
    std::optional<std::string> default_nav;
    std::uint64_t workers = 0;  // 0: one per CPU
};

bool conv_batch_settings(const char* fname, PyObject* const* a, BatchSettings& out) {
    PyObject *obs_arg = a[0], *elev_arg = a[2], *systems_arg = a[3], *config_arg = a[4], *workers_arg = a[5];
    if (!conv_text_list(obs_arg, "obs_paths", out.obs_paths)) return false;
    double min_elevation = 5.0;
    if (elev_arg && !conv_float(elev_arg, "min_elevation", min_elevation)) return false;
    std::optional<std::vector<std::string>> systems;
    if (!absent(systems_arg)) {
        std::vector<std::string> v;
        if (!conv_text_list(systems_arg, "systems", v)) return false;
        systems = std::move(v);
    }
    if (!absent(config_arg)) {
        if (!conv_instance(config_arg, g_analysis_config_type, "config")) return false;
        if (elev_arg || !absent(systems_arg)) {
            PyErr_Format(PyExc_TypeError, "%s(): min_elevation and systems come from config when config is given",
                         fname);
            return false;
        }
        ReadBorrow guard(borrow_of<ConfigPayload>(config_arg));
        if (!guard.ok()) return false;
        out.config = *analysis_config_of(config_arg);
        out.default_nav = out.config.nav_file;
    } else {
        out.config = quick_analysis_config(min_elevation, std::move(systems));
    }
    if (!absent(workers_arg)) {
        if (!conv_count(workers_arg, "workers", out.workers)) return false;
        if (out.workers == 0) {
            PyErr_SetString(PyExc_ValueError, "workers must be at least 1");
            return false;
        }
    }
    return true;
}

// The jobs of a batch, once nav_paths is converted (taking the observation paths).
bool make_jobs(PyObject* nav_arg, BatchSettings& s, std::vector<Job>& jobs) {
    std::vector<std::optional<std::string>> nav_paths;
    if (!conv_nav_paths(nav_arg, s.obs_paths.size(), s.default_nav, nav_paths)) return false;
    jobs.resize(s.obs_paths.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) jobs[i] = Job{std::move(s.obs_paths[i]), std::move(nav_paths[i])};
    return true;
}

bool check_positional(const char* fname, PyObject* args) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos <= 2) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes at most 2 positional arguments (%zd given)", fname, npos);
    return false;
}

std::size_t pool_size(std::uint64_t workers, std::size_t n) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(workers ? workers : cpu_count(), n));
}

PyObject* analyze_many(PyObject*, PyObject* args, PyObject* kwargs) {
    // Positional: obs_paths and nav_paths; the rest by keyword only.
    if (!check_positional("analyze_many", args)) return nullptr;
    PyObject* a[8];
    static const char* const ordered[] = {"obs_paths", "nav_paths", "min_elevation", "systems",
                                          "config", "workers", "progress", "interference"};
    if (!bind_args("analyze_many", ordered, 8, 1, args, kwargs, a)) return nullptr;
    PyObject *nav_arg = a[1], *progress_arg = a[6];
    bool interference = false;
    if (!absent(a[7]) && !conv_bool(a[7], "interference", interference)) return nullptr;
    BatchSettings settings;
    if (!conv_batch_settings("analyze_many", a, settings)) return nullptr;
    if (!absent(progress_arg) && !PyCallable_Check(progress_arg)) {
        PyErr_Format(PyExc_TypeError, "argument 'progress': expected a callable, got %s", Py_TYPE(progress_arg)->tp_name);
        return nullptr;
    }
    std::vector<Job> jobs;
    if (!make_jobs(nav_arg, settings, jobs)) return nullptr;

    const std::size_t n = jobs.size();
    const AnalysisConfig& config = settings.config;
    std::vector<BatchOutcome> outcomes(n);
    if (n > 0) {
        Pool pool(n, [&](std::size_t i) { run_job(jobs[i], config, interference, true, outcomes[i]); });
        if (!pool.start(pool_size(settings.workers, n))) return nullptr;
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
        PyObject* o = outcome_object(outcomes[i], false);
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
    }
    return list.release();
}

// ---------------------------------------------------------------- iter_analyze
// A streaming batch. The workers leave each outcome in its slot and queue its index; the
// consumer (__next__) takes the next index, turns the outcome into Python objects and frees the
// slot. The state lives on the heap: the workers hold its address.
struct StreamState {
    std::vector<Job> jobs;
    AnalysisConfig config;
    bool interference = false;
    bool analysis = true;
    std::vector<std::unique_ptr<BatchOutcome>> outcomes;  // written by the workers, index by index
    std::size_t yielded = 0;
    std::unique_ptr<Pool> pool;  // last: destroyed (stopped and joined) before what it works on
};
using StreamPayload = std::unique_ptr<StreamState>;

PyTypeObject* g_batch_iterator_type = nullptr;

PyObject* batch_iterator_next(PyObject* self) {
    StreamState& st = *payload_of<StreamPayload>(self);
    if (!st.pool || st.yielded >= st.jobs.size()) return nullptr;  // StopIteration
    std::size_t i = 0;
    for (;;) {
        const Pool::Next next = st.pool->take(i, std::chrono::milliseconds(100));
        if (next == Pool::Next::taken) break;
        if (next == Pool::Next::exhausted) return nullptr;
        if (PyErr_CheckSignals() < 0) return nullptr;  // Ctrl-C while waiting
    }
    std::unique_ptr<BatchOutcome> b = std::move(st.outcomes[i]);
    if (++st.yielded == st.jobs.size()) st.pool->stop_and_join();  // every worker has left
    if (!b) return PyErr_NoMemory();  // the worker could not allocate the outcome
    Ref item = Ref::steal(outcome_object(*b, !st.analysis));
    b.reset();
    if (!item) return nullptr;
    Ref index = Ref::steal(PyLong_FromSize_t(i));
    if (!index) return nullptr;
    return PyTuple_Pack(2, index.get(), item.get());
}

PyType_Slot kBatchIteratorSlots[] = {
    {Py_tp_doc, const_cast<char*>("The results of iter_analyze as the files finish: (index, item) tuples")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<StreamPayload>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(batch_iterator_next)},
    {0, nullptr},
};
PyType_Spec kBatchIteratorSpec = {"tessora_cn0.BatchIterator", sizeof(Box<StreamPayload>), 0, Py_TPFLAGS_DEFAULT,
                                  kBatchIteratorSlots};

PyObject* iter_analyze(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!check_positional("iter_analyze", args)) return nullptr;
    PyObject* a[8];
    static const char* const ordered[] = {"obs_paths", "nav_paths", "min_elevation", "systems",
                                          "config", "workers", "interference", "analysis"};
    if (!bind_args("iter_analyze", ordered, 8, 1, args, kwargs, a)) return nullptr;
    auto st = std::make_unique<StreamState>();
    if (!absent(a[6]) && !conv_bool(a[6], "interference", st->interference)) return nullptr;
    if (!absent(a[7]) && !conv_bool(a[7], "analysis", st->analysis)) return nullptr;
    BatchSettings settings;
    if (!conv_batch_settings("iter_analyze", a, settings)) return nullptr;
    if (!make_jobs(a[1], settings, st->jobs)) return nullptr;
    st->config = std::move(settings.config);

    const std::size_t n = st->jobs.size();
    st->outcomes.resize(n);
    const std::size_t size = pool_size(settings.workers, n);
    StreamState* s = st.get();
    if (n > 0) {
        // At most two outcomes per worker are held at once (running or waiting for the consumer):
        // a worker need not idle while the consumer turns the previous result into its row.
        st->pool = std::make_unique<Pool>(
            n,
            [s](std::size_t i) {
                std::unique_ptr<BatchOutcome> b;
                try {
                    b = std::make_unique<BatchOutcome>();
                } catch (const std::bad_alloc&) {
                    return;  // no slot: the consumer raises MemoryError for this file
                }
                run_job(s->jobs[i], s->config, s->interference, s->analysis, *b);
                s->outcomes[i] = std::move(b);
            },
            2 * size);
    }
    Ref it = Ref::steal(box_new<StreamPayload>(g_batch_iterator_type, std::move(st)));
    if (!it) return nullptr;
    if (s->pool && !s->pool->start(size)) return nullptr;  // the iterator's release joins what started
    return it.release();
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

PyTypeObject* add_batch_iterator_type(PyObject* module) {
    g_batch_iterator_type = add_type(module, &kBatchIteratorSpec);
    return g_batch_iterator_type;
}

PyMethodDef kIterAnalyzeDef = {
    "iter_analyze", reinterpret_cast<PyCFunction>(iter_analyze), METH_VARARGS | METH_KEYWORDS,
    "iter_analyze(obs_paths, nav_paths=None, *, min_elevation=5.0, systems=None, config=None, workers=None, "
    "interference=False, analysis=True)\n--\n\n"
    "Analyse many observation files on a pool of native threads, giving each result as it finishes\n"
    "\n"
    "The arguments mean what they mean for analyze_many. Returns a BatchIterator of (index, item)\n"
    "tuples in the order the files finish, where index is the file's position in obs_paths and item\n"
    "what analyze_many gives for it: the AnalysisResult, with interference the tuple\n"
    "(AnalysisResult, InterferenceReport), or the exception analyze_cn0 would have raised.\n"
    "analysis: with False no analysis runs; each item is the InterferenceReport of\n"
    "    detect_interference on the file (or the exception).\n"
    "\n"
    "The workers stay at most 2 x `workers` results ahead of the consumer, so memory is bounded by the\n"
    "workers, not by the number of files. Dropping the iterator stops the batch: what runs finishes,\n"
    "the rest is not started."};

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
