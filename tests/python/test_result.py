"""AnalysisResult and QualityScore: getters, methods, number texts, JSON, and the module's order."""
import types
import json
import math

import pytest

import tessora_cn0 as t
from analysis_files import flat_file

GETTERS = [
    ("filename", "Get filename"), ("rinex_version", "Get RINEX version (placeholder)"),
    ("station_name", "Get station name (marker name)"), ("receiver_type", "Get receiver type"),
    ("antenna_type", "Get antenna type"), ("start_time", "Get start time"), ("end_time", "Get end time"),
    ("duration_hours", "Get duration in hours"), ("interval", "Get observation interval"),
    ("total_observations", "Get total observations"), ("total_satellites", "Get total satellites"),
    ("total_epochs", "Get total epochs (alias: epoch_count)"), ("epoch_count", "Get epoch count (alias for total_epochs)"),
    ("constellations", "Get constellations observed"), ("mean_cn0", "Get mean CN0 (alias: avg_cn0)"),
    ("avg_cn0", "Get average CN0 (alias for mean_cn0)"), ("min_cn0", "Get min CN0"), ("max_cn0", "Get max CN0"),
    ("cn0_std_dev", "Get CN0 standard deviation (computed from timeseries)"), ("anomaly_count", "Get anomaly count"),
    ("critical_count", "Get critical anomaly count"),
    ("jamming_detected", "Check if jamming detected\nReal jamming causes: severe CN0 drops (>10dB) across MULTIPLE "
                         "satellites simultaneously\nAND low average CN0 (<35 dB-Hz) or high percentage of critical anomalies"),
    ("spoofing_detected", "Check if spoofing detected\nReal spoofing indicators:\n1. Many unexpected satellites (>40% "
                          "not in ephemeris) with GOOD signals\n2. Satellites appearing with impossible geometry (wrong "
                          "hemisphere, etc.)\nNote: Low CN0 std deviation is NOT a spoofing indicator - it's actually good data!"),
    ("interference_detected", "Check if interference detected\nRequires meaningful anomaly count - not just isolated events"),
    ("quality_score", "Get quality score object with all metrics"),
    ("score", "Get quality score value (alias for overall)"), ("quality_grade", "Get quality grade"),
    ("summary", "Get summary interpretation"), ("skyplot_coverage", "Get skyplot coverage percent"),
    ("skyplot_trace_count", "Get number of skyplot traces"),
    ("visibility_prediction_source", "Get visibility prediction source"),
    ("visibility_confirmation_rate", "Get visibility confirmation rate"),
    ("visibility_mean_predicted", "Get mean predicted satellites"),
    ("visibility_mean_observed", "Get mean observed satellites"),
    ("visibility_mean_missing", "Get mean missing satellites per epoch"),
    ("visibility_mean_unexpected", "Get mean unexpected satellites per epoch (seen but not predicted)"),
    ("has_visibility_prediction", "Check if visibility prediction is available"),
    ("visibility_anomaly_count", "Get visibility anomaly count"),
    ("position_lat", "Get receiver latitude"), ("position_lon", "Get receiver longitude"),
]
METHODS = [
    ("to_json", "Convert to JSON string"), ("to_json_pretty", "Convert to pretty JSON string"),
    ("get_anomalies", "Get anomalies list"), ("get_constellation_summary", "Get constellation summary by name"),
    ("get_systems", "Get systems observed"), ("get_timeseries_data", "Get timeseries data as dict"),
    ("get_timestamps", "Get timeseries timestamps"), ("get_timeseries_cn0", "Get timeseries mean CN0 values"),
    ("get_skyplot_data", "Get skyplot data as list of trace dicts"),
    ("get_frequently_missing_satellites", "Get frequently missing satellites (possible obstructions)"),
    ("get_frequently_unexpected_satellites", "Get frequently unexpected satellites (possible spoofing)"),
    ("get_visibility_anomaly_types", "Get visibility anomaly types"),
    ("get_visibility_anomaly_descriptions", "Get visibility anomaly descriptions"),
    ("visibility_debug", "Get detailed visibility debug info per system"),
    ("get_mean_cn0_series", "Get timeseries mean CN0 values"), ("get_satellite_count_series", "Get timeseries satellite counts"),
    ("get_satellite_ids", "Get satellite IDs"), ("get_anomaly_timestamps", "Get anomaly timestamps"),
    ("get_anomaly_severities", "Get anomaly severities"), ("get_anomaly_cn0_drops", "Get anomaly CN0 drops"),
]


def analyze(data, tmp_path, name="f.obs", **kw):
    p = tmp_path / name
    p.write_bytes(data)
    return t.analyze_cn0(str(p), **kw)


def test_module_registration_order_and_docstrings():
    # Submodules (cli, report, dask) become attributes once imported, and the package adds functions
    # of its own Python (network_events); the extension module's names are the rest. An extension
    # function the package wraps (detect_interference, for the station store) keeps its place.
    names = [n for n, v in vars(t).items() if (not n.startswith("__") or n == "__version__")
             and (not isinstance(v, (types.ModuleType, types.FunctionType)) or hasattr(v, "__wrapped__"))]
    expected = ["VERSION", "__version__", "RinexObsData", "NavigationData", "AnalysisConfig", "CN0Analyzer",
                "AnalysisResult", "QualityScore", "read_rinex_obs", "read_rinex_obs_bytes", "parse_rinex",
                "read_navigation", "read_navigation_bytes", "analyze_cn0", "version", "download_tle",
                "parse_tle_content", "analyze_many"]
    assert [n for n in names if n in expected] == expected
    # The interference detector's classes and the batch iterator follow the analysis classes; their
    # functions follow the batch one.
    # The stream classes (RtcmStream, LiveDetector) come last among the classes.
    public = (expected[:8] + ["InterferenceReport", "InterferenceEvent", "CN0Template", "BatchIterator", "Table",
                              "RtcmStream", "LiveDetector"] + expected[8:]
              + ["detect_interference", "iter_analyze"]
              + ["RtcmRecording", "StationStore"])  # the package's own Python classes, after the extension's
    assert [n for n in names if not n.startswith("_")] == [n for n in public if not n.startswith("_")]
    class_docs = {"RinexObsData": "Python wrapper for RinexObsData", "NavigationData": "Python wrapper for NavigationData",
                  "AnalysisConfig": "Python wrapper for AnalysisConfig",
                  "CN0Analyzer": "Python wrapper for CN0Analyzer - supports both config-based and direct API",
                  "AnalysisResult": "Python wrapper for AnalysisResult",
                  "QualityScore": "Python wrapper for QualityScore with notebook-compatible attributes"}
    for name, doc in class_docs.items():
        assert getattr(t, name).__doc__ == doc
    for name in ("AnalysisResult", "QualityScore", "RinexObsData", "NavigationData"):
        with pytest.raises(TypeError) as e:
            getattr(t, name)()
        assert str(e.value) == f"No constructor defined for {name}"


def test_getter_and_method_tables():
    attrs = [n for n in vars(t.AnalysisResult) if not n.startswith("_")]
    assert [a for a in attrs if a in dict(GETTERS)] == [g for g, _ in GETTERS]
    for name, doc in GETTERS:
        assert getattr(t.AnalysisResult, name).__doc__ == doc, name
    assert [a for a in attrs if a in dict(METHODS)] == [m for m, _ in METHODS]
    for name, doc in METHODS:
        m = getattr(t.AnalysisResult, name)
        assert m.__doc__ == doc, name
        sig = "($self, name)" if name == "get_constellation_summary" else "($self)"
        assert m.__text_signature__ == sig


def test_result_without_navigation(tmp_path):
    r = analyze(flat_file(), tmp_path)
    assert r.rinex_version == "3.05"
    assert r.filename == ""
    assert r.start_time == "2024-03-05T07:00:00.000Z" and r.end_time == "2024-03-05T07:09:30.000Z"
    assert r.total_observations == 80 and r.total_satellites == 4 and r.total_epochs == r.epoch_count == 20
    assert r.mean_cn0 == r.avg_cn0 == 45.0
    assert r.constellations == r.get_systems() == ["GLONASS", "GPS", "Galileo"]
    assert not r.has_visibility_prediction
    assert r.visibility_prediction_source == "None"
    assert (r.visibility_confirmation_rate, r.visibility_mean_predicted, r.visibility_mean_observed,
            r.visibility_mean_missing, r.visibility_mean_unexpected, r.visibility_anomaly_count) == (0, 0, 0, 0, 0, 0)
    assert r.visibility_debug() == {}
    assert r.get_frequently_missing_satellites() == r.get_frequently_unexpected_satellites() == []
    assert r.get_visibility_anomaly_types() == r.get_visibility_anomaly_descriptions() == []
    assert repr(r) == "AnalysisResult(observations=80, satellites=4, epochs=20, mean_cn0=45.0, anomalies=0)"
    assert not (r.jamming_detected or r.spoofing_detected or r.interference_detected)
    # Everything sits in one sky cell (45 degrees, azimuth 0).
    assert r.skyplot_coverage == pytest.approx(100 / 648)
    assert r.skyplot_trace_count == 4
    sky = r.get_skyplot_data()
    assert {d["satellite"] for d in sky} == {"G01", "G02", "E11", "R05"}
    g1 = next(d for d in sky if d["satellite"] == "G01")
    assert set(g1) == {"satellite", "system", "azimuths", "elevations", "cn0_values"}
    assert g1["system"] == "GPS"
    assert g1["azimuths"] == ",".join(["0.0"] * 20) and g1["elevations"] == ",".join(["45.0"] * 20)
    assert next(d for d in sky if d["satellite"] == "R05")["system"] == "GLONASS"


def test_constellation_summary_texts(tmp_path):
    r = analyze(flat_file(), tmp_path)
    assert r.get_constellation_summary("gps") is None
    assert r.get_constellation_summary("Unknown") is None
    g = r.get_constellation_summary("GPS")
    assert set(g) == {"system", "constellation", "satellite_count", "satellites_observed", "satellites_expected",
                      "observation_count", "mean_cn0", "cn0_mean", "min_cn0", "max_cn0", "std_cn0", "cn0_std",
                      "availability_ratio", "cycle_slips", "data_gaps"}
    assert g["system"] == g["constellation"] == "GPS"
    assert g["satellite_count"] == g["satellites_observed"] == "2"
    assert g["satellites_expected"] == "12"          # fixed table without a prediction
    assert g["availability_ratio"] == "0.167"        # 2 / 12
    assert g["mean_cn0"] == g["cn0_mean"] == "45.0"
    assert g["std_cn0"] == g["cn0_std"] == "0.00"
    assert g["observation_count"] == "40" and g["cycle_slips"] == "0" and g["data_gaps"] == "0"
    with pytest.raises(TypeError) as e:
        r.get_constellation_summary(5)
    assert str(e.value).startswith("argument 'name': ")


def test_timeseries_hours_and_std(tmp_path):
    r = analyze(flat_file(n_epochs=4), tmp_path)
    d = r.get_timeseries_data()
    assert d["hours"] == [0.0, 0.008333333333333333, 0.016666666666666666, 0.025]
    assert d["mean_cn0"] == [45.0] * 4
    assert d["satellite_count"] == [4.0] * 4 and all(type(v) is float for v in d["satellite_count"])
    assert r.get_satellite_count_series() == [4] * 4
    assert r.get_timestamps()[1] == "2024-03-05T07:00:30.000Z"
    assert r.get_timeseries_cn0() == r.get_mean_cn0_series() == [45.0] * 4
    assert r.cn0_std_dev == 0.0
    # Without an INTERVAL record the hours come from the epoch times themselves.
    r2 = analyze(flat_file(n_epochs=3, interval=False), tmp_path, "noint.obs")
    assert r2.interval == 0.0
    assert r2.get_timeseries_data()["hours"] == pytest.approx([0.0, 30 / 3600, 60 / 3600], abs=1e-9)


def test_cn0_std_dev_is_population(tmp_path):
    # Two epochs whose mean CN0 is 40 and 42: population deviation 1.0.
    from rinex_builder import v3_epoch, v3_header

    text = v3_header({"G": ["S1C"]}) + v3_epoch((2024, 1, 1, 0, 0, 0.0), {"G01": ["40.0"]})
    text += v3_epoch((2024, 1, 1, 0, 0, 30.0), {"G01": ["42.0"]})
    assert analyze(text.encode(), tmp_path).cn0_std_dev == 1.0


def test_anomaly_views(tmp_path):
    r = analyze(flat_file(drop_at=12, drop_sats=("G01", "E11", "R05")), tmp_path)
    assert r.anomaly_count == 1 and r.critical_count == 1
    (a,) = r.get_anomalies()
    assert set(a) == {"start_time", "end_time", "severity", "anomaly_type", "description", "cn0_drop",
                      "affected_satellites", "affected_systems"}
    assert a["start_time"] == a["end_time"] == "2024-03-05T07:06:00.000Z"
    assert a["severity"] == "critical"
    assert a["anomaly_type"] == "Multi-system CN0 drop"
    # Baseline mean (19 * 45 + 25) / 20 = 44; drop 44 - 25 = 19.
    assert a["cn0_drop"] == "19"
    assert a["description"] == "19.0 dB-Hz drop affecting 3 satellite(s)"
    assert a["affected_satellites"] == "G01,E11,R05"
    assert r.get_anomaly_timestamps() == ["2024-03-05T07:06:00.000Z"]
    assert r.get_anomaly_severities() == ["critical"]
    assert r.get_anomaly_cn0_drops() == [19.0]
    assert repr(r).endswith("anomalies=1)")


def test_quality_score_object(tmp_path):
    r = analyze(flat_file(), tmp_path)
    q = r.quality_score
    assert type(q).__name__ == "QualityScore" and q is not r.quality_score
    # CN0 45 dB-Hz: cn0 100; availability 4 satellites of 12+10+9 expected; no gaps; spread 0; 3 systems.
    assert q.cn0_quality == 100.0
    assert q.availability == pytest.approx(4 / 31 * 100)
    assert q.continuity == 100.0 and q.stability == 100.0 and q.diversity == 75.0
    overall = 0.3 * 100 + 0.25 * (4 / 31 * 100) + 0.2 * 100 + 0.15 * 100 + 0.1 * 75
    assert q.overall == pytest.approx(overall)
    assert q.rating == "C - Fair" and q.post_processing_suitable is True
    assert repr(q) == f"QualityScore(overall={round(overall)}, rating='C - Fair')"
    for name in ("overall", "rating", "cn0_quality", "availability", "continuity", "stability", "diversity",
                 "post_processing_suitable"):
        with pytest.raises(AttributeError):
            setattr(q, name, 1)
    # The result's own score is a different number: 0.35 cn0 + 0.25 coverage + 0.4 consistency.
    assert r.score == pytest.approx(0.35 * 100 + 0.25 * (100 / 648) + 0.4 * 100)
    assert r.quality_grade == "C" and r.summary == "Fair GNSS signal quality with some issues"


def test_json_forms(tmp_path):
    r = analyze(flat_file(), tmp_path)
    compact, pretty = r.to_json(), r.to_json_pretty()
    a, b = json.loads(compact), json.loads(pretty)
    assert a == b
    assert list(a) == ["file_info", "quality_score", "summary", "constellation_stats", "satellite_stats",
                       "timeseries", "skyplot", "heatmap", "anomalies", "visibility"]
    assert compact.endswith('"visibility":null}')
    assert pretty.endswith('\n  "visibility": null\n}')
    assert '"interval":30.0' in compact
    assert a["summary"]["total_observations"] == 80
    assert sum(map(sum, a["heatmap"]["count_matrix"])) == 80
    assert a["heatmap"]["count_matrix"][9][0] == 80
    assert a["file_info"]["filename"] == ""


def test_empty_result(tmp_path):
    r = analyze(flat_file(), tmp_path, min_elevation=80)
    assert r.total_observations == 0 and r.quality_grade == "N/A" and r.summary == "No data"
    assert r.score == 0.0 and r.skyplot_trace_count == 0 and r.get_skyplot_data() == []
    assert r.get_anomalies() == [] and r.get_constellation_summary("GPS") is None
    assert repr(r) == "AnalysisResult(observations=0, satellites=0, epochs=0, mean_cn0=0.0, anomalies=0)"
    assert r.start_time == "2024-03-05T07:00:00.000Z" and r.station_name == "TEST"
    q = r.quality_score
    assert q.availability == 50.0 and q.stability == 62.5
