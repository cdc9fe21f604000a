"""Many files and many threads: analyze_many, the released interpreter lock and the thread-safe
borrow flags."""
import inspect
import os
import threading
import time

import pytest

import tessora_cn0 as t
from analysis_files import flat_file
from test_navigation import header, kepler_v3


@pytest.fixture
def files(tmp_path):
    paths = []
    for k in range(7):
        p = tmp_path / f"s{k}.obs"
        p.write_bytes(flat_file(n_epochs=20 + 5 * k, drop_at=10, drop_sats=("G01", "E11"), drop_db=5.0 + 3 * k))
        paths.append(str(p))
    nav = tmp_path / "a.nav"
    nav.write_bytes(header() + kepler_v3("G01") + kepler_v3("E11"))
    (tmp_path / "bad.obs").write_bytes(b"no header here\n")
    return paths, str(nav), str(tmp_path / "bad.obs"), str(tmp_path / "missing.obs")


def test_signature_and_registration():
    assert t.analyze_many.__text_signature__ == ("(obs_paths, nav_paths=None, *, min_elevation=5.0, systems=None, "
                                                 "config=None, workers=None, progress=None, interference=False)")
    assert str(inspect.signature(t.analyze_many)).startswith("(obs_paths, nav_paths=None, *, min_elevation=5.0")
    assert t.analyze_many.__doc__.startswith("Analyse many observation files on a pool of native threads")
    assert list(vars(t))[-1] == "analyze_many" or "analyze_many" in t.__all__


@pytest.mark.parametrize("workers", [1, 3, None])
def test_results_in_input_order_equal_serial_analyses(files, workers):
    paths, nav, bad, missing = files
    obs = paths[:3] + [bad] + paths[3:] + [missing]
    navs = [nav, None, nav, nav, None, nav, nav, None, nav]
    results = t.analyze_many(obs, navs, min_elevation=7.5, systems=["G", "E"], workers=workers)
    assert len(results) == len(obs)
    for path, n, r in zip(obs, navs, results):
        if path == bad:
            assert type(r) is ValueError and str(r) == "No END OF HEADER found"
        elif path == missing:
            assert type(r) is FileNotFoundError or type(r) is OSError
            assert str(r).startswith("Cannot read obs file: No such file or directory (os error 2)")
        else:
            assert isinstance(r, t.AnalysisResult)
            assert r.to_json() == t.analyze_cn0(path, n, 7.5, ["G", "E"]).to_json()


def test_nav_paths_forms(files):
    paths, nav, _, _ = files
    one = t.analyze_many(paths[:2], nav)
    assert [r.to_json() for r in one] == [t.analyze_cn0(p, nav).to_json() for p in paths[:2]]
    none = t.analyze_many(paths[:2])
    assert [r.to_json() for r in none] == [t.analyze_cn0(p).to_json() for p in paths[:2]]
    missing_nav = t.analyze_many(paths[:1], [nav + ".gone"])
    assert str(missing_nav[0]).startswith("Cannot read nav file: No such file or directory")
    assert t.analyze_many([]) == []


def test_settings_from_a_config(files):
    paths, nav, _, _ = files
    config = t.AnalysisConfig(min_elevation=10.0, anomaly_sensitivity=0.2, nav_file=nav, time_bin_seconds=30)
    results = t.analyze_many(paths[:3], config=config, workers=2)
    analyzer = t.CN0Analyzer(config)
    assert [r.to_json() for r in results] == [analyzer.analyze_file(p).to_json() for p in paths[:3]]
    with pytest.raises(TypeError, match="min_elevation and systems come from config"):
        t.analyze_many(paths, config=config, min_elevation=3.0)


def test_argument_errors(files):
    paths, nav, _, _ = files
    with pytest.raises(TypeError, match="^argument 'obs_paths': "):
        t.analyze_many(paths[0])
    with pytest.raises(TypeError, match="^argument 'obs_paths': "):
        t.analyze_many([paths[0], 3])
    with pytest.raises(TypeError, match="^argument 'nav_paths': "):
        t.analyze_many(paths, 5)
    with pytest.raises(TypeError, match="^argument 'nav_paths': "):
        t.analyze_many(paths[:2], [nav, b"x"])
    with pytest.raises(ValueError, match="^nav_paths has 1 entries for 2 observation files$"):
        t.analyze_many(paths[:2], [nav])
    with pytest.raises(TypeError, match="at most 2 positional arguments"):
        t.analyze_many(paths, None, 5.0)
    with pytest.raises(TypeError, match="^argument 'config': "):
        t.analyze_many(paths, config=object())
    with pytest.raises(ValueError, match="^workers must be at least 1$"):
        t.analyze_many(paths, workers=0)
    with pytest.raises(OverflowError):
        t.analyze_many(paths, workers=-1)
    with pytest.raises(TypeError, match="^argument 'progress': expected a callable"):
        t.analyze_many(paths, progress=3)
    with pytest.raises(TypeError, match="^argument 'min_elevation': "):
        t.analyze_many(paths, min_elevation="high")


def test_progress_is_reported_from_the_calling_thread(files):
    paths, _, _, _ = files
    calls = []
    t.analyze_many(paths, workers=3, progress=lambda done, total: calls.append((done, total, threading.get_ident())))
    assert [(d, n) for d, n, _ in calls] == [(k, len(paths)) for k in range(1, len(paths) + 1)]
    assert {ident for _, _, ident in calls} == {threading.get_ident()}


def test_a_failing_progress_callback_stops_the_batch(files):
    paths, _, _, _ = files

    def stop(done, total):
        raise KeyError(done)

    with pytest.raises(KeyError):
        t.analyze_many(paths * 3, workers=2, progress=stop)


# ----------------------------------------------------------------------------- the lock
def big_file(path, epochs=600):
    sats = tuple(f"G{k:02d}" for k in range(1, 13)) + tuple(f"E{k:02d}" for k in range(1, 13))
    path.write_bytes(flat_file(n_epochs=epochs, sats=sats, drop_at=300, drop_sats=sats[:6], second_signal=True))
    return str(path)


def runs_alongside(call):
    """How many times another Python thread ran while `call` ran in a worker thread."""
    done = threading.Event()
    ticks = 0
    worker = threading.Thread(target=lambda: (call(), done.set()))
    worker.start()
    while not done.is_set():
        ticks += 1
        time.sleep(0.0005)
    worker.join()
    return ticks


def test_the_lock_is_released_while_reading_and_analysing(tmp_path):
    path = big_file(tmp_path / "big.obs")
    data = open(path, "rb").read()
    calls = {
        # Each call repeated so that it lasts long enough to count on a loaded machine; with the
        # lock held throughout, the other thread would not run at all meanwhile.
        "read_rinex_obs": lambda: [t.read_rinex_obs(path) for _ in range(8)],
        "read_rinex_obs_bytes": lambda: [t.read_rinex_obs_bytes(data, "x") for _ in range(8)],
        "analyze_cn0": lambda: [t.analyze_cn0(path) for _ in range(3)],
        "analyze_file": lambda: [t.CN0Analyzer(t.AnalysisConfig()).analyze_file(path) for _ in range(3)],
        "to_json": lambda: [t.analyze_cn0(path).to_json_pretty() for _ in range(2)],
    }
    for name, call in calls.items():
        assert runs_alongside(call) > 5, name


def test_threads_running_analyses_at_once_get_the_serial_results(tmp_path):
    path = big_file(tmp_path / "big.obs", epochs=200)
    data = open(path, "rb").read()
    expected = t.analyze_cn0(path).to_json()
    obs_repr = repr(t.read_rinex_obs_bytes(data, "x"))
    errors = []

    def work():
        for _ in range(4):
            # A bytes object only this call holds: it must stay valid while the lock is released.
            if repr(t.read_rinex_obs_bytes(bytes(bytearray(data)), "x")) != obs_repr:
                errors.append("read")
            if t.analyze_cn0(path).to_json() != expected:
                errors.append("analysis")

    threads = [threading.Thread(target=work) for _ in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


def test_borrow_flags_refuse_conflicting_use_from_other_threads(tmp_path):
    path = big_file(tmp_path / "big.obs", epochs=900)
    nav = tmp_path / "a.nav"
    nav.write_bytes(header() + kepler_v3("G01"))
    nav_data = t.read_navigation(str(nav))
    analyzer = t.CN0Analyzer.from_obs(t.read_rinex_obs(path))
    done = threading.Event()
    refused = 0
    worker = threading.Thread(target=lambda: ([analyzer.analyze() for _ in range(3)], done.set()))
    worker.start()
    while not done.is_set():
        try:
            analyzer.set_navigation(nav_data)
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
            refused += 1
        time.sleep(0.0002)
    worker.join()
    assert refused > 0
    analyzer.set_navigation(nav_data)  # free again once the analyses are over


# ----------------------------------------------------------------------------- visibility over time
SAMPLE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "sample")


def test_visibility_timeline_counts_add_up_to_the_result_means():
    obs = os.path.join(SAMPLE_DIR, "SMPL00DNK_R_20240650700_01H_30S_MO.rnx")
    nav = os.path.join(SAMPLE_DIR, "SMPL00DNK_R_20240650700_01H_MN.rnx")
    if not os.path.exists(obs):
        pytest.skip("not run from a source tree")
    for mask in (5.0, 30.0):
        r = t.analyze_cn0(obs, nav, min_elevation=mask)
        tl = t._extension._visibility_timeline(obs, nav, mask)
        assert len(tl["timestamps"]) == t.read_rinex_obs(obs).num_epochs == 120
        assert tl["timestamps"][:2] == ["2024-03-05T07:00:00.000Z", "2024-03-05T07:00:30.000Z"]
        assert len(tl["predicted"]) == len(tl["observed"]) == len(tl["timestamps"])
        # The comparison's means are these per-epoch counts summed and divided by the epochs.
        assert sum(tl["predicted"]) / len(tl["predicted"]) == r.visibility_mean_predicted
        assert sum(tl["observed"]) / len(tl["observed"]) == r.visibility_mean_observed
    assert "_visibility_timeline" not in dir(t)
    with pytest.raises(OSError, match="^Cannot read nav file: "):
        t._extension._visibility_timeline(obs, obs + ".missing")
    with pytest.raises(OSError, match="^Cannot read obs file: "):
        t._extension._visibility_timeline(obs + ".missing", nav)


# ----------------------------------------------------------------------------- results as they finish
def sample_pair():
    obs = os.path.join(SAMPLE_DIR, "SMPL00DNK_R_20240650700_01H_30S_MO.rnx")
    if not os.path.exists(obs):
        pytest.skip("not run from a source tree")
    return obs, os.path.join(SAMPLE_DIR, "SMPL00DNK_R_20240650700_01H_MN.rnx")


def as_text(item):
    if isinstance(item, tuple):
        return tuple(as_text(x) for x in item)
    if isinstance(item, BaseException):
        return type(item), str(item)
    return item.to_json()


@pytest.mark.parametrize("interference", [False, True])
def test_iter_analyze_gives_every_file_once_as_analyze_many_does(files, interference):
    paths, nav, bad, missing = files
    obs = paths[:3] + [bad] + paths[3:] + [missing]
    navs = [nav, None, nav, nav, None, nav + ".gone", nav, None, nav]
    it = t.iter_analyze(obs, navs, min_elevation=7.5, systems=["G", "E"], workers=3, interference=interference)
    assert type(it) is t.BatchIterator and iter(it) is it
    got = list(it)
    assert sorted(i for i, _ in got) == list(range(len(obs)))
    expected = t.analyze_many(obs, navs, min_elevation=7.5, systems=["G", "E"], interference=interference)
    assert {i: as_text(item) for i, item in got} == {i: as_text(item) for i, item in enumerate(expected)}
    assert type(dict(got)[3]) is ValueError and isinstance(dict(got)[5], OSError)
    assert list(it) == [] and list(t.iter_analyze([])) == []


def test_iter_analyze_without_the_analysis_gives_the_detector_reports(files):
    obs, nav = sample_pair()
    got = dict(t.iter_analyze([obs, obs + ".missing", obs], nav, systems=["G"], analysis=False, workers=2))
    assert got[0].to_json() == got[2].to_json() == t.detect_interference(obs, nav, systems=["G"]).to_json()
    assert got[0].events and str(got[1]).startswith("Cannot read obs file: No such file")
    config = t.AnalysisConfig(min_elevation=15.0, nav_file=nav)
    (_, report), = t.iter_analyze([obs], config=config, analysis=False)
    assert report.to_json() == t.detect_interference(obs, nav, min_elevation=15.0).to_json()


def test_iter_analyze_argument_errors(files):
    paths, nav, _, _ = files
    with pytest.raises(TypeError, match="^argument 'obs_paths': "):
        t.iter_analyze(paths[0])
    with pytest.raises(ValueError, match="^nav_paths has 1 entries for 2 observation files$"):
        t.iter_analyze(paths[:2], [nav])
    with pytest.raises(TypeError, match=r"^iter_analyze\(\) takes at most 2 positional arguments"):
        t.iter_analyze(paths, None, 5.0)
    with pytest.raises(TypeError, match=r"^iter_analyze\(\): min_elevation and systems come from config"):
        t.iter_analyze(paths, config=t.AnalysisConfig(), systems=["G"])
    with pytest.raises(ValueError, match="^workers must be at least 1$"):
        t.iter_analyze(paths, workers=0)
    with pytest.raises(TypeError, match="^argument 'analysis': "):
        t.iter_analyze(paths, analysis="no")
    with pytest.raises(TypeError, match="No constructor defined"):
        t.BatchIterator()


def test_dropping_the_iterator_early_stops_the_workers(tmp_path):
    path = big_file(tmp_path / "big.obs", epochs=300)
    threads = len(os.listdir("/proc/self/task"))
    start = time.monotonic()
    t.analyze_cn0(path)
    one = time.monotonic() - start
    start = time.monotonic()
    it = t.iter_analyze([path] * 200, workers=2)
    next(it)
    del it  # the running analyses finish, the others never start
    # The whole batch would take about 100 analyses' time.
    assert time.monotonic() - start < 20 * one + 0.5
    assert len(os.listdir("/proc/self/task")) == threads


MEMORY_SCRIPT = r"""
import sys, time, tessora_cn0 as t
obs, nav = sys.argv[1:3]
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4
def peak(n):
    top = rss()
    for _ in t.iter_analyze([obs] * n, nav, workers=2, interference=True):
        time.sleep(0.01)  # a slow consumer: unbounded workers would finish everything meanwhile
        top = max(top, rss())
    return top
peak(3)
base = peak(3)
print(base, peak(30))
"""


def test_iter_analyze_memory_is_bounded_by_the_workers_not_the_files():
    import subprocess
    import sys

    obs, nav = sample_pair()
    run = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, obs, nav], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    few, many = map(int, run.stdout.split())
    # A finished result of the sample holds about 0.4 MB: 27 more held at once would add ~10 MB.
    assert many - few < 4096, (few, many)
