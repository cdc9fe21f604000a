"""The interference detector on a real GPS day (zimm, with its navigation file) with interference
injected: a fast subset of what bench/eval_interference.py measures over many days and cases."""
import datetime
import json
import math

import pytest

import tessora_cn0 as t
from conftest import data_path

OBS = "goGPS_MATLAB/default/RINEX/zimm0010.21o"
NAV = "rinex/NAV/V2/cbw10010.21n"
START, LENGTH = 10 * 3600.0, 600.0  # a 10-minute window from 10:00, seconds after the first epoch
INTERVAL = 30.0


def seconds(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


@pytest.fixture(scope="module")
def day():
    obs = t.read_rinex_obs(str(data_path(OBS)))
    nav = t.read_navigation(str(data_path(NAV)))
    clean = t.detect_interference(obs, nav)
    return obs, nav, clean, seconds(clean.timestamps[0])


def injected(day, **injection):
    obs, nav, _, t0 = day
    rec = t._inject_interference(obs, [dict(start=START, end=START + LENGTH, **injection)])
    report = t.detect_interference(rec, nav)
    w0, w1 = t0 + START, t0 + START + LENGTH
    events = report.events
    inside = [e for e in events if seconds(e.start) < w1 and seconds(e.end) >= w0]
    outside = [e for e in events if not seconds(e.start) < w1 or not seconds(e.end) >= w0]
    return report, inside, outside, w0


def test_clean_day_gives_no_event(day):
    _, _, clean, _ = day
    assert clean.reason == "" and clean.mode != "none"
    # Something was measured: the L1 and L2 series carry a degradation nearly everywhere.
    for band in ("L1", "L2"):
        d = clean.series[band]["degradation"]
        assert sum(not math.isnan(x) for x in d) > 0.9 * len(clean.timestamps), band
    assert clean.events == []


@pytest.mark.parametrize("bands,kind", [(None, "wideband"), (["L1"], "band-limited")])
def test_plateau_found_at_onset_with_its_depth_and_bands(day, bands, kind):
    report, inside, outside, w0 = injected(day, db=10.0, bands=bands)
    assert outside == []
    assert len(inside) == 1, inside
    e = inside[0]
    assert abs(seconds(e.start) - w0) <= INTERVAL
    assert abs(seconds(e.end) - (w0 + LENGTH - INTERVAL)) <= INTERVAL
    assert e.peak_degradation_db == pytest.approx(10.0, abs=1.5)
    assert e.kind == kind
    if bands:
        assert e.bands == ["L1"]
        assert list(e.degradation_db) == ["L1"]
    else:
        assert {"L1", "L2"} <= set(e.bands)


def test_flat_cn0_window_is_spoofing_like(day):
    _, inside, outside, w0 = injected(day, kind="spoofer")
    spoof = [e for e in inside if e.kind == "spoofing-like"]
    assert spoof, inside
    assert abs(seconds(spoof[0].start) - w0) <= INTERVAL
    assert not any(e.kind == "spoofing-like" for e in outside)
    assert all(e.peak_degradation_db <= 3.0 for e in spoof)
    # Without elevations nothing tells one transmitter from the satellites' own levels: spoofing
    # is not claimed there.
    obs, _, _, _ = day
    rec = t._inject_interference(obs, [dict(kind="spoofer", start=START, end=START + LENGTH)])
    alone = t.detect_interference(rec)
    assert not alone.spoofing_judged and all(e.kind != "spoofing-like" for e in alone.events)


def test_every_band_falling_is_wideband_though_l1_falls_less(day):
    obs, nav, _, t0 = day
    window = dict(kind="jammer", start=START, end=START + LENGTH)
    rec = t._inject_interference(obs, [dict(window, db=5.0, bands=["L1"]), dict(window, db=8.0, bands=["L2", "L5"])])
    for n in (nav, None):
        [e] = t.detect_interference(rec, n).events
        # L5 (GPS Block IIF and III only) has too few satellites at 10:00 to be a band then.
        assert e.kind == "wideband" and e.bands[:2] == ["L1", "L2"]
        assert e.degradation_db["L1"] == pytest.approx(5.0, abs=1.5)
        assert abs(seconds(e.start) - (t0 + START)) <= INTERVAL


def test_short_drop_needs_more_than_a_long_one(day):
    # The evidence is summed over the event: a drop too small for two epochs is found when it holds.
    obs, nav, _, t0 = day
    found = {}
    for length in (60.0, 1800.0):
        rec = t._inject_interference(obs, [dict(kind="jammer", start=START, end=START + length, db=1.5, bands=["L1"])])
        report = t.detect_interference(rec, nav)
        found[length] = [e for e in report.events if seconds(e.start) < t0 + START + length]
    assert found[60.0] == [] and len(found[1800.0]) == 1


NYA1 = ("rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx", "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx")


def test_a_weak_jammer_of_four_hours_is_found():
    # 3 dB on every band for a sixth of the day: the block must not widen the series' scales
    # (the median of the day's degradation moves, its quartiles hold) and hide itself.
    obs, nav = t.read_rinex_obs(str(data_path(NYA1[0]))), t.read_navigation(str(data_path(NYA1[1])))
    start = 8 * 3600.0
    report = t.detect_interference(t._inject_interference(obs, [dict(db=3.0, start=start, end=start + 4 * 3600.0)]), nav)
    t0 = seconds(report.timestamps[0])
    inside = [e for e in report.events if seconds(e.start) < t0 + start + 4 * 3600 and seconds(e.end) >= t0 + start]
    assert inside and all(e.kind == "wideband" for e in inside)
    # Most of the four hours is covered, and the noise the bands report is that of a clean day.
    assert sum(seconds(e.end) - seconds(e.start) for e in inside) > 3 * 3600
    assert report.series["L1"]["noise_db"] < 1.5 * t.detect_interference(obs, nav).series["L1"]["noise_db"]


def test_stored_offsets_are_taken_where_they_tell_the_satellites_apart():
    obs, nav = t.read_rinex_obs(str(data_path(NYA1[0]))), t.read_navigation(str(data_path(NYA1[1])))
    own = json.loads(t.detect_interference(obs, nav).template.to_json())
    plain = json.loads(json.dumps(own))
    for sig in plain["signals"]:
        sig["offsets"] = {}
    without = t.detect_interference(obs, nav, template=t.CN0Template.from_json(json.dumps(plain)))

    def judged(change):
        doc = json.loads(json.dumps(own))
        for sig in doc["signals"]:
            sig["offsets"] = change(sig["offsets"])
        return t.detect_interference(obs, nav, template=t.CN0Template.from_json(json.dumps(doc)))

    # Every stored offset 2 dB higher (another receiver's level): taken, less the day's common
    # shift, they give each satellite its own level again; the degradation is the day's own.
    shifted = judged(lambda offs: {sat: [db + 2.0, n] for sat, (db, n) in offs.items()})
    # Offsets handed to the wrong satellites tell them apart worse than the day's own medians:
    # left aside, the day is judged as without any.
    rolled = judged(lambda offs: dict(zip(offs, list(offs.values())[1:] + list(offs.values())[:1])))
    for band in ("L1", "L2"):
        a, b, c = (r.series[band]["degradation"] for r in (without, shifted, rolled))
        assert c == a
        close = [abs(x - y) < 0.25 for x, y in zip(a, b) if x == x and y == y]
        assert len(close) > 0.9 * len(a) and sum(close) > 0.95 * len(close)
