"""End-to-end analyses of real observation/navigation pairs, checked through the JSON text with
invariants an independent observer can verify."""
import json
import math

import pytest

import tessora_cn0 as t
from conftest import data_path

PAIRS = [
    ("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx", "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"),
    ("rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx", "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx"),
    ("goGPS_MATLAB/default/RINEX/zimm0010.21o", "rinex/NAV/V2/cbw10010.21n"),
    ("gnsstk-data/arlm200a.15o", "gnsstk-data/arlm200a.15n"),
    ("georinex/CEBR00ESP_R_20182000000_01D_30S_MO.rnx", None),
]


@pytest.mark.parametrize("obs,nav", PAIRS)
def test_invariants(obs, nav):
    obs_path = str(data_path(obs))
    nav_path = str(data_path(nav)) if nav else None
    r = t.analyze_cn0(obs_path, nav_path, 10.0)
    j = json.loads(r.to_json())
    s = j["summary"]
    assert s["total_observations"] == r.total_observations > 0

    # Sky views: every point lands in one matrix cell; coverage counts the distinct cells.
    counts = j["heatmap"]["count_matrix"]
    assert len(counts) == 18 and all(len(row) == 36 for row in counts)
    assert sum(map(sum, counts)) == s["total_observations"]
    cells = {(p["azimuth_bin"], p["elevation_bin"]) for p in j["skyplot"]["heatmap_points"]}
    assert len(cells) == len(j["skyplot"]["heatmap_points"])
    assert sum(p["count"] for p in j["skyplot"]["heatmap_points"]) == s["total_observations"]
    assert j["skyplot"]["coverage_percent"] == pytest.approx(len(cells) / 648 * 100)
    assert sum(len(tr["points"]) for tr in j["skyplot"]["traces"]) == s["total_observations"]

    # With geometry every accepted value sits at or above the mask.
    if nav:
        for tr in j["skyplot"]["traces"]:
            assert all(p["elevation"] >= 10.0 for p in tr["points"]), tr["satellite"]

    # Every satellite named by an anomaly dropped by more than 10 dB against its own mean.
    series = j["timeseries"]["satellite_timeseries"]
    for a in j["anomalies"]:
        assert len(a["affected_satellites"]) >= 2
        for sat in a["affected_satellites"]:
            mean = j["satellite_stats"][sat]["mean_cn0"]
            values = [p["cn0"] for p in series[sat]["cn0_series"] if p["timestamp"] == a["timestamp"]]
            assert values and max(mean - v for v in values) > 10.0, (sat, a["timestamp"])
        assert a["cn0_drop"] > 10.0
    assert s["anomaly_count"] == len(j["anomalies"]) == s["critical_count"] + s["high_count"] + s["low_count"]

    # Statistics agree with the time series.
    ts = j["timeseries"]
    assert len(ts["timestamps"]) == len(ts["mean_cn0"]) == len(ts["satellite_count"])
    assert ts["timestamps"] == sorted(ts["timestamps"])
    assert s["min_cn0"] <= s["mean_cn0"] <= s["max_cn0"]
    assert sum(c["observation_count"] for c in j["constellation_stats"].values()) == s["total_observations"]

    # Visibility: rates are percentages; a geodetic station confirms most predictions.
    v = j["visibility"]
    if nav:
        assert v["has_prediction"] and v["prediction_source"].startswith("BRDC Navigation (")
        assert 0.0 <= v["confirmation_rate"] <= 100.0
        assert set(v["by_system"]) == {"GPS", "GLONASS", "Galileo", "BeiDou"}
        for st in v["by_system"].values():
            assert 0.0 <= st["confirmation_rate"] <= 100.0
        assert v["confirmation_rate"] > 90.0
    else:
        assert v is None
    q = j["quality_score"]
    assert q["grade"] in "ABCDF" and 0.0 <= q["overall"] <= 100.0
    assert math.isclose(q["overall"], 0.35 * q["cn0_score"] + 0.25 * q["coverage_score"] + 0.4 * q["consistency_score"])
