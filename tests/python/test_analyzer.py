"""CN0Analyzer and analyze_cn0: entry points, settings, errors and their order."""
import pytest

import tessora_cn0 as t
from analysis_files import flat_file

OBS = flat_file()


@pytest.fixture
def obs_path(tmp_path):
    p = tmp_path / "site0650.24o"
    p.write_bytes(OBS)
    return str(p)


def test_surface():
    A = t.CN0Analyzer
    assert A.__doc__ == "Python wrapper for CN0Analyzer - supports both config-based and direct API"
    assert A.__text_signature__ == "(config)"
    assert A.from_obs.__text_signature__ == "(obs_data, min_elevation=5.0, time_bin_seconds=60, systems=None)"
    assert A.from_obs.__doc__ == "Alternative constructor from observation data (legacy API)"
    assert A.set_navigation.__doc__ == "Set navigation data for satellite position computation (old API)"
    assert A.set_navigation.__text_signature__ == "($self, nav_data)"
    assert A.analyze.__doc__ == "Run CN0 analysis (old API - requires obs_data set via from_obs)"
    assert A.analyze_file.__doc__ == "Analyze RINEX observation file from path (new API)"
    assert A.analyze_with_nav.__text_signature__ == "($self, obs_path, nav_path)"
    assert A.analyze_with_nav.__doc__ == "Analyze with separate navigation file (new API)"
    assert t.analyze_cn0.__text_signature__ == "(obs_path, nav_path=None, min_elevation=5.0, systems=None)"
    assert t.analyze_cn0.__doc__ == "Quick analysis function"
    assert not [n for n in dir(t.CN0Analyzer(t.AnalysisConfig())) if not n.startswith("_")
                and n not in ("from_obs", "set_navigation", "analyze", "analyze_file", "analyze_with_nav")]


def test_analyze_without_observations():
    with pytest.raises(ValueError) as e:
        t.CN0Analyzer(t.AnalysisConfig()).analyze()
    assert str(e.value) == "No observation data. Use analyze_file() or CN0Analyzer.from_obs()"


def test_argument_errors():
    for call, name in ((lambda: t.CN0Analyzer(5), "config"),
                       (lambda: t.CN0Analyzer.from_obs("x"), "obs_data"),
                       (lambda: t.CN0Analyzer.from_obs(t.read_rinex_obs_bytes(OBS, "a"), "x"), "min_elevation"),
                       (lambda: t.CN0Analyzer.from_obs(t.read_rinex_obs_bytes(OBS, "a"), systems="GE"), "systems"),
                       (lambda: t.CN0Analyzer(t.AnalysisConfig()).set_navigation(None), "nav_data"),
                       (lambda: t.CN0Analyzer(t.AnalysisConfig()).analyze_file(1), "obs_path"),
                       (lambda: t.CN0Analyzer(t.AnalysisConfig()).analyze_with_nav("a", 1), "nav_path"),
                       (lambda: t.analyze_cn0(1), "obs_path"),
                       (lambda: t.analyze_cn0("a", min_elevation="high"), "min_elevation"),
                       (lambda: t.analyze_cn0("a", systems="G"), "systems")):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value).startswith(f"argument '{name}': "), str(e.value)
    with pytest.raises(OverflowError):
        t.CN0Analyzer.from_obs(t.read_rinex_obs_bytes(OBS, "a"), time_bin_seconds=-1)


def test_file_errors_and_prefixes(tmp_path, obs_path):
    missing = str(tmp_path / "missing.obs")
    with pytest.raises(OSError) as e:
        t.analyze_cn0(missing)
    assert str(e.value) == "Cannot read obs file: No such file or directory (os error 2)"
    with pytest.raises(OSError) as e:
        t.CN0Analyzer(t.AnalysisConfig()).analyze_file(missing)
    assert str(e.value) == "No such file or directory (os error 2)"
    with pytest.raises(OSError) as e:
        t.analyze_cn0(obs_path, missing)
    assert str(e.value) == "Cannot read nav file: No such file or directory (os error 2)"
    with pytest.raises(OSError) as e:
        t.CN0Analyzer(t.AnalysisConfig()).analyze_with_nav(obs_path, missing)
    assert str(e.value) == "No such file or directory (os error 2)"
    bad = tmp_path / "bad.obs"
    bad.write_text("no header\n")
    with pytest.raises(ValueError) as e:
        t.analyze_cn0(str(bad))
    assert str(e.value) == "No END OF HEADER found"
    # The observation file is read and parsed before the navigation file is opened.
    with pytest.raises(ValueError):
        t.CN0Analyzer(t.AnalysisConfig(nav_file=missing)).analyze_file(str(bad))
    with pytest.raises(OSError):
        t.CN0Analyzer(t.AnalysisConfig(nav_file=missing)).analyze_file(obs_path)
    badnav = tmp_path / "bad.nav"
    badnav.write_text("nothing\n")
    with pytest.raises(ValueError) as e:
        t.analyze_cn0(obs_path, str(badnav))
    assert str(e.value) == "No END OF HEADER found"


def test_system_reduction(obs_path):
    obs = t.read_rinex_obs(obs_path)
    all_sys = t.CN0Analyzer.from_obs(obs).analyze()
    assert all_sys.total_observations == 20 * 4
    # "GPS" and "Galileo" both reduce to G: Galileo is not selected.
    gg = t.CN0Analyzer.from_obs(obs, systems=["GPS", "Galileo"]).analyze()
    assert gg.total_observations == 20 * 2
    assert gg.get_constellation_summary("Galileo")["observation_count"] == "0"
    ge = t.analyze_cn0(obs_path, systems=("G", "E"))
    assert ge.total_observations == 20 * 3
    # An empty list selects nothing; None selects the default G, R, E, C.
    for empty in (t.CN0Analyzer.from_obs(obs, systems=[]).analyze(), t.analyze_cn0(obs_path, systems=[])):
        assert empty.total_observations == 0
        assert empty.quality_grade == "N/A" and empty.summary == "No data"
        assert empty.start_time == "2024-03-05T07:00:00.000Z"
    assert t.analyze_cn0(obs_path, systems=None).total_observations == 80
    assert t.CN0Analyzer(t.AnalysisConfig(systems=["R"])).analyze_file(obs_path).total_observations == 20


def test_elevation_mask_without_navigation(obs_path):
    # Without navigation every value sits at 45 degrees.
    assert t.analyze_cn0(obs_path, min_elevation=45).total_observations == 80
    low = t.analyze_cn0(obs_path, min_elevation=50)
    assert low.total_observations == 0 and low.total_epochs == 0 and low.start_time.startswith("2024")


def test_results_are_fresh_and_filename_empty(obs_path):
    a = t.CN0Analyzer(t.AnalysisConfig())
    r1, r2 = a.analyze_file(obs_path), a.analyze_file(obs_path)
    assert r1 is not r2 and r1.to_json() == r2.to_json()
    assert r1.filename == ""
    assert r1.station_name == "TEST"


def test_settings_reach_the_pipeline(obs_path):
    # CN0 window: values of 45 dB-Hz fall outside a window ending at 40.
    assert t.CN0Analyzer(t.AnalysisConfig(max_cn0=40)).analyze_file(obs_path).total_observations == 0
    assert t.CN0Analyzer(t.AnalysisConfig(min_cn0=45, max_cn0=45)).analyze_file(obs_path).total_observations == 80


def test_anomaly_switch_and_verbose(tmp_path, capfd):
    p = tmp_path / "drop.obs"
    p.write_bytes(flat_file(drop_at=12, drop_sats=("G01", "E11")))
    on = t.CN0Analyzer(t.AnalysisConfig()).analyze_file(str(p))
    assert on.anomaly_count == 1
    off = t.CN0Analyzer(t.AnalysisConfig(detect_anomalies=False)).analyze_file(str(p))
    assert off.anomaly_count == 0 and off.critical_count == 0 and off.get_anomalies() == []
    assert capfd.readouterr().err == ""
    t.CN0Analyzer(t.AnalysisConfig(verbose=True)).analyze_file(str(p))
    err = capfd.readouterr().err
    for stage in ("reading", "points", "statistics", "anomalies", "scoring"):
        assert stage in err, err


def test_set_navigation_replaces(tmp_path, obs_path):
    from test_navigation import header, kepler_v3

    obs = t.read_rinex_obs(obs_path)
    a = t.CN0Analyzer.from_obs(obs)
    assert not a.analyze().has_visibility_prediction
    n1 = t.read_navigation_bytes(header() + kepler_v3("G05") + kepler_v3("G07"))
    n2 = t.read_navigation_bytes(header() + kepler_v3("G05"))
    assert a.set_navigation(n1) is None
    assert a.set_navigation(n2) is None
    r = a.analyze()
    assert r.has_visibility_prediction
    assert r.visibility_prediction_source == "BRDC Navigation (1 satellites)"
    # analyze_with_nav uses its own file and leaves the analyzer's navigation alone.
    navp = tmp_path / "n.nav"
    navp.write_bytes(header() + kepler_v3("G05") + kepler_v3("G07") + kepler_v3("E11"))
    assert a.analyze_with_nav(obs_path, str(navp)).visibility_prediction_source == "BRDC Navigation (3 satellites)"
    assert a.analyze().visibility_prediction_source == "BRDC Navigation (1 satellites)"
    cfg = t.AnalysisConfig(nav_file=str(navp))
    assert t.CN0Analyzer(cfg).analyze_file(obs_path).visibility_prediction_source == "BRDC Navigation (3 satellites)"
    assert t.CN0Analyzer(cfg).analyze_with_nav(obs_path, str(navp)).has_visibility_prediction
