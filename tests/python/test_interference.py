"""detect_interference and its records: the verdict on the bundled sample, inputs as paths or
records, errors, pickling and JSON, stored templates, and the batch path."""
import json
import math
import os
import pickle

import pytest

import tessora_cn0 as t

ROOT = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "sample")
OBS = os.path.join(ROOT, "SMPL00DNK_R_20240650700_01H_30S_MO.rnx")
NAV = os.path.join(ROOT, "SMPL00DNK_R_20240650700_01H_MN.rnx")


@pytest.fixture(scope="module")
def report():
    return t.detect_interference(OBS, NAV)


def test_sample_event_is_found_as_wideband(report):
    # The sample holds one jammer, 14 dB on every signal, from 07:35 to 07:36.
    assert report.mode == "elevation" and report.reason == ""
    assert report.station == "SMPL00DNK" and report.filename == OBS
    assert report.bands == ["L1", "L2", "L5"] == list(report.series)
    assert len(report.events) == 1
    e = report.events[0]
    assert (e.kind, e.start, e.end) == ("wideband", "2024-03-05T07:35:00.000Z", "2024-03-05T07:36:00.000Z")
    assert e.bands == ["L1", "L2", "L5"] and set(e.degradation_db) == set(e.bands)
    assert e.peak_degradation_db == max(e.degradation_db.values()) > 10
    assert e.systems == ["GPS", "Galileo"] and set(e.satellites_lost) <= set(e.satellites_affected)
    assert e.duration == 60.0 and e.statistic > report.trigger_sigma
    series = report.series["L1"]
    assert len(series["degradation"]) == len(report.timestamps) == report.epochs == 120
    assert series["threshold_db"] < e.degradation_db["L1"]
    assert repr(e).startswith("InterferenceEvent(kind='wideband', start='2024-03-05T07:35:00.000Z'")
    assert repr(report) == ("InterferenceReport(station='SMPL00DNK', mode='elevation', events=1, "
                            "bands=['L1', 'L2', 'L5'])")


def test_records_paths_and_batch_agree(report):
    obs, nav = t.read_rinex_obs(OBS), t.read_navigation(NAV)
    by_record = json.loads(t.detect_interference(obs, nav).to_json())
    by_path = json.loads(report.to_json())
    assert by_path.pop("filename") == OBS and by_record.pop("filename") == ""
    assert by_record == by_path
    [(result, batch)] = t.analyze_many([OBS], NAV, interference=True)
    assert isinstance(result, t.AnalysisResult) and batch.to_json() == report.to_json()
    # Without navigation data each satellite's own level is the expectation: the jammer, which
    # lowers every signal alike, is found the same.
    alone = t.detect_interference(OBS)
    assert alone.mode == "baseline"
    at = alone.timestamps.index("2024-03-05T07:35:30.000Z")
    assert all(alone.series[b]["degradation"][at] > 10 for b in alone.bands)
    [e] = alone.events
    assert (e.kind, e.start, e.end) == ("wideband", "2024-03-05T07:35:00.000Z", "2024-03-05T07:36:00.000Z")


def test_pickles_json_and_stored_template(report):
    for o in (report, report.events[0], report.template):
        again = pickle.loads(pickle.dumps(o))
        assert type(again) is type(o) and repr(again) == repr(o)
    assert pickle.loads(pickle.dumps(report)).to_json() == report.to_json()
    doc = json.loads(report.to_json())
    assert doc["events"][0]["kind"] == "wideband" and doc["template"]["station"] == "SMPL00DNK"
    assert all(v is None or isinstance(v, float) for v in doc["series"][0]["degradation"])
    tpl = report.template
    assert ("G", "S1C") in tpl.signals
    curve = tpl.curve("G", "S1C")
    assert curve["band"] == "L1" and len(curve["cn0"]) == len(curve["elevation"]) == 45
    assert tpl.curve("G", "S9X") is None
    again = t.CN0Template.from_json(tpl.to_json())
    assert again.to_json() == tpl.to_json()
    # A stored template of the station serves another recording of it.
    with_template = t.detect_interference(OBS, NAV, template=again)
    assert [e.kind for e in with_template.events] == ["wideband"]
    # Each signal keeps its satellites' offsets against the curve; templates written before they
    # were kept (no "offsets") still read, with none.
    offsets = json.loads(tpl.to_json())["signals"][0]["offsets"]
    assert offsets and list(offsets) == sorted(offsets)
    assert all(db == round(db, 3) and samples >= 60 for db, samples in offsets.values())
    older = json.loads(tpl.to_json())
    for sig in older["signals"]:
        del sig["offsets"]
    assert all(s["offsets"] == {} for s in json.loads(t.CN0Template.from_json(json.dumps(older)).to_json())["signals"])
    sat = next(iter(offsets))
    bad_offsets = [tpl.to_json().replace(f'"offsets":{{"{sat}":[', f'"offsets":{{"{sat}":["x",', 1),
                   tpl.to_json().replace(f'"offsets":{{"{sat}":[', f'"offsets":[{{"{sat}":[', 1),
                   tpl.to_json().replace(f'"{sat}":[{offsets[sat][0]!r},', f'"{sat}":[{offsets[sat][0]!r},-', 1),
                   tpl.to_json().replace(f'"{sat}":[', f'"{sat}":[1,', 1)]
    assert all(b != tpl.to_json() for b in bad_offsets)
    for bad in ("", "[]", '{"station": "X"}', tpl.to_json().replace('"cn0":[', '"cn0":[1,', 1), *bad_offsets):
        with pytest.raises(ValueError, match="invalid CN0Template JSON"):
            t.CN0Template.from_json(bad)
    with pytest.raises(ValueError, match="invalid CN0Template state"):
        t.CN0Template._from_state(report.__reduce__()[1][0])


def test_errors_and_reports_that_say_why(tmp_path):
    with pytest.raises(OSError, match="^Cannot read obs file: "):
        t.detect_interference(OBS + ".missing", NAV)
    with pytest.raises(OSError, match="^Cannot read nav file: "):
        t.detect_interference(OBS, NAV + ".missing")
    junk = tmp_path / "junk.rnx"
    junk.write_text("no header here\n")
    with pytest.raises(ValueError):
        t.detect_interference(str(junk), NAV)
    with pytest.raises(TypeError, match="argument 'obs'"):
        t.detect_interference(3)
    with pytest.raises(TypeError, match="argument 'template'"):
        t.detect_interference(OBS, template="x")
    with pytest.raises(TypeError):
        t.detect_interference(OBS, NAV, 5.0)  # min_elevation is keyword-only
    for bad in (0.0, -1.0, math.nan, math.inf):
        with pytest.raises(ValueError, match="threshold_db"):
            t.detect_interference(OBS, threshold_db=bad)
    short = tmp_path / "short.rnx"
    lines = open(OBS).read().split("> 2024")
    short.write_text("> 2024".join(lines[:6]))
    r = t.detect_interference(str(short))
    assert r.events == [] and r.mode == "none"
    assert r.reason == "the recording is too short: 5 epochs with CN0, at least 20 are needed"
    assert t.detect_interference(OBS, systems=["C"]).reason == \
        "the recording has no CN0 observations of the selected systems"
    fixed = t.detect_interference(OBS, NAV, threshold_db=100.0)
    assert fixed.threshold_db == 100.0 and fixed.events == []
    for bad in (0.0, -0.5, math.nan, math.inf, 1001.0):
        with pytest.raises(ValueError, match="^false_alarms_per_day must be a positive number of at most 1000$"):
            t.detect_interference(OBS, false_alarms_per_day=bad)
    with pytest.raises(TypeError, match="argument 'false_alarms_per_day'"):
        t.detect_interference(OBS, false_alarms_per_day="often")


def test_false_alarm_rate_sets_the_thresholds(report):
    assert report.false_alarms_per_day == 0.002 and report.spoofing_judged
    strict = t.detect_interference(OBS, NAV, false_alarms_per_day=1e-6)
    loose = t.detect_interference(OBS, NAV, false_alarms_per_day=100.0)
    assert strict.false_alarms_per_day == 1e-6 and loose.false_alarms_per_day == 100.0
    # A rarer false alarm needs more evidence, in every band.
    for band in report.bands:
        assert strict.series[band]["trigger_sigma"] > report.series[band]["trigger_sigma"] > \
            loose.series[band]["trigger_sigma"], band
    # The statistic and its noise model travel with the report, through JSON and pickles.
    s = report.series["L1"]
    assert len(s["statistic"]) == report.epochs and s["tail_decay"] > 0 and s["tail_rate"] > 0
    again = pickle.loads(pickle.dumps(strict))
    assert again.false_alarms_per_day == 1e-6 and again.series["L1"]["statistic"] == strict.series["L1"]["statistic"]
    doc = json.loads(strict.to_json())
    assert doc["false_alarms_per_day"] == 1e-6 and doc["spoofing_judged"] is True
    # Without navigation data there is no elevation pattern to judge spoofing on.
    assert t.detect_interference(OBS).spoofing_judged is False
