"""The HTML report: well-formed, self-contained, its images decode and its numbers are the result's."""
import base64
import io
import json
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

import tessora_cn0 as t

pytest.importorskip("matplotlib")
from tessora_cn0 import report  # noqa: E402

from rinex_builder import f3, v3_epoch, v3_header  # noqa: E402

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample"
OBS = str(SAMPLE / "SMPL00DNK_R_20240650700_01H_30S_MO.rnx")
NAV = str(SAMPLE / "SMPL00DNK_R_20240650700_01H_MN.rnx")
X = "{http://www.w3.org/1999/xhtml}"


def parse(page):
    assert page.startswith("<!DOCTYPE html>\n")
    return ET.fromstring(page)  # raises on anything not well-formed


def cells(root):
    return {td.get("data-key"): "".join(td.itertext()) for td in root.iter() if td.get("data-key")}


def table(root, table_id):
    tab = next(e for e in root.iter(X + "table") if e.get("id") == table_id)
    rows = [["".join(c.itertext()) for c in tr] for tr in tab.iter(X + "tr")]
    return rows[0], rows[1:]


def images(root):
    import matplotlib.image as mpimg

    out = []
    for img in root.iter(X + "img"):
        src = img.get("src")
        assert src.startswith("data:image/png;base64,")
        png = base64.b64decode(src[len("data:image/png;base64,"):], validate=True)
        assert png[:8] == b"\x89PNG\r\n\x1a\n"
        pixels = mpimg.imread(io.BytesIO(png), format="png")
        assert pixels.ndim == 3 and pixels.shape[0] > 200 and pixels.shape[1] > 300
        assert pixels[..., :3].std() > 0.01  # something is drawn
        out.append(img.get("alt"))
    return out


@pytest.fixture(scope="module")
def sample():
    r = t.analyze_cn0(OBS, NAV)
    return r, parse(report.render_html(r, obs_path=OBS, nav_path=NAV))


def test_report_is_self_contained_and_its_images_decode(sample):
    r, root = sample
    assert images(root) == ["CN0 against elevation per band with the template", "Degradation per band over time",
                            "Polar skyplot of the satellite traces coloured by CN0",
                            "Azimuth/elevation heatmap of mean CN0", "Mean CN0 and satellite count over time",
                            "Predicted and observed satellites over time"]
    # Nothing is fetched when the page is opened: no scripts, links, frames or remote sources.
    for e in root.iter():
        assert e.tag not in (X + "script", X + "link", X + "iframe", X + "object")
        for attr in ("src", "href"):
            assert not (e.get(attr) or "data:").split(":")[0] in ("http", "https", "file", "")


def test_numbers_shown_are_the_results(sample):
    r, root = sample
    c = cells(root)
    blocks = json.loads(r.to_json())
    q, s, v = blocks["quality_score"], blocks["summary"], blocks["visibility"]
    assert c["grade"] == r.quality_grade == q["grade"]
    assert c["score"] == f"{r.score:.1f}" == f"{q['overall']:.1f}"
    assert c["q_interpretation"] == r.summary
    assert (c["q_cn0"], c["q_coverage"], c["q_consistency"]) == (
        f"{q['cn0_score']:.1f}", f"{q['coverage_score']:.1f}", f"{q['consistency_score']:.1f}")
    assert c["station"] == r.station_name and c["start_time"] == r.start_time and c["end_time"] == r.end_time
    assert (c["total_epochs"], c["total_satellites"], c["total_observations"]) == (
        str(r.total_epochs), str(r.total_satellites), str(r.total_observations))
    assert c["mean_cn0"] == f"{r.mean_cn0:.1f}" and c["sky_coverage"] == f"{r.skyplot_coverage:.1f}"
    qs = r.quality_score
    assert (c["pp_overall"], c["pp_rating"], c["pp_stability"]) == (f"{qs.overall:.1f}", qs.rating,
                                                                   f"{qs.stability:.1f}")
    assert (c["jamming"], c["spoofing"], c["interference"]) == ("no", "no", "YES")
    assert (c["anomaly_count"], c["critical_count"], c["high_count"], c["low_count"]) == (
        str(s["anomaly_count"]), str(s["critical_count"]), str(s["high_count"]), str(s["low_count"]))
    assert c["confirmation_rate"] == f"{r.visibility_confirmation_rate:.1f}" == f"{v['confirmation_rate']:.1f}"
    assert c["mean_predicted"] == f"{r.visibility_mean_predicted:.1f}"
    assert c["vis_source"] == r.visibility_prediction_source

    head, rows = table(root, "constellations")
    assert [row[0] for row in rows] == r.constellations
    for row in rows:
        g = r.get_constellation_summary(row[0])
        assert row[1:] == [g[k] for k in ("satellite_count", "satellites_expected", "observation_count", "mean_cn0",
                                          "min_cn0", "max_cn0", "std_cn0", "availability_ratio", "cycle_slips",
                                          "data_gaps")]
    _, rows = table(root, "visibility_by_system")
    assert {row[0]: (int(row[1]), int(row[2])) for row in rows} == {
        k: (b["predicted_satellites"], b["observed_satellites"]) for k, b in v["by_system"].items()}
    _, rows = table(root, "anomalies")
    anomalies = r.get_anomalies()
    assert [(row[0], row[2], row[4]) for row in rows] == [(a["start_time"], a["severity"], a["description"])
                                                          for a in anomalies]
    assert [row[6] for row in rows] == [a["affected_satellites"].replace(",", ", ") for a in anomalies]


def test_interference_verdict_above_the_cn0_drop_detector(sample):
    r, root = sample
    found = t.detect_interference(OBS, NAV)
    headings = ["".join(h.itertext()) for h in root.iter(X + "h2")]
    assert headings.index("Interference verdict") == headings.index("CN0-drop detector: interference indications") - 1
    assert cells(root)["interference_verdict"].startswith(f"Interference: {len(found.events)} event")
    _, rows = table(root, "interference_events")
    assert [(row[0], row[1], row[2], row[4]) for row in rows] == [
        (e.kind, e.start, e.end, f"{e.peak_degradation_db:.1f}") for e in found.events]
    # Given a report, the page shows it rather than its own: a fixed threshold shows in the table.
    fixed = t.detect_interference(OBS, NAV, threshold_db=3.0)
    page = parse(report.render_html(r, obs_path=OBS, nav_path=NAV, interference=fixed))
    assert cells(page)["threshold_db"] == "3"


def test_without_navigation_or_files(tmp_path):
    r = t.analyze_cn0(OBS)
    root = parse(report.render_html(r))
    assert len(images(root)) == 3
    assert "No visibility prediction: the analysis had no navigation data." in "".join(root.itertext())
    # With navigation data but no file names, the tables stay and the timeline is left out.
    root = parse(report.render_html(t.analyze_cn0(OBS, NAV)))
    assert len(images(root)) == 3 and cells(root)["confirmation_rate"]
    path = tmp_path / "r.html"
    report.write_html(str(path), r, title="Station <A&B>")
    root = parse(path.read_text(encoding="utf-8"))
    assert root.find(f"{X}head/{X}title").text == "Station <A&B>"


def test_anomaly_table_is_capped(monkeypatch, sample):
    r, _ = sample
    monkeypatch.setattr(report, "MAX_ANOMALY_ROWS", 1)
    root = parse(report.render_html(r))
    _, rows = table(root, "anomalies")
    assert len(rows) == 1 and r.anomaly_count == 3
    assert "The first 1 of 3 anomalies; the JSON result holds them all." in "".join(root.itertext())


def test_skyplot_subsample_is_said(sample):
    r, _ = sample
    root = parse(report.render_html(r, max_skyplot_points=1000))
    caption = next(f for f in root.iter(X + "figcaption") if "traces" in "".join(f.itertext()))
    text = "".join(caption.itertext())
    total = sum(len(tr["cn0_values"].split(",")) for tr in r.get_skyplot_data())
    assert text.startswith(f"{r.skyplot_trace_count} traces, {total} points (")
    drawn = int(text.split("(")[1].split()[0])
    assert 500 <= drawn <= 1000 + r.skyplot_trace_count


def test_awkward_recordings_render(tmp_path):
    # Markup in the header's texts, and a file without a single CN0 value.
    types = {"G": ["C1C", "S1C"]}
    body = v3_epoch((2024, 1, 1, 0, 0, 0), {"G01": [f3("20000000.000"), f3("")]})
    path = tmp_path / "odd.rnx"
    path.write_text(v3_header(types, marker='<b>"A&B"</b>') + body)
    r = t.analyze_cn0(str(path))
    root = parse(report.render_html(r, obs_path=str(path)))
    assert cells(root)["station"] == '<b>"A&B"</b>'
    assert len(images(root)) == 3
    assert "No constellation has CN0 observations." in "".join(root.itertext())
    empty = tmp_path / "empty.rnx"
    empty.write_text(v3_header(types))
    root = parse(report.render_html(t.analyze_cn0(str(empty))))
    assert cells(root)["total_epochs"] == "0"


def test_rendering_leaves_matplotlib_state_alone():
    # Without pyplot there is no backend switch and no figure registered anywhere: a notebook's
    # figures and settings are untouched.
    code = ("import sys, tessora_cn0 as t; from tessora_cn0 import report; "
            f"report.render_html(t.analyze_cn0({OBS!r}, {NAV!r}), obs_path={OBS!r}, nav_path={NAV!r}); "
            "assert 'matplotlib.pyplot' not in sys.modules")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr


def test_json_blocks_are_the_bytes_of_to_json(sample):
    r, _ = sample
    text = r.to_json()
    whole = json.loads(text)
    assert list(whole) == ["file_info", "quality_score", "summary", "constellation_stats", "satellite_stats",
                           "timeseries", "skyplot", "heatmap", "anomalies", "visibility"]
    assert text == "{" + ",".join(f'"{k}":' + r._json_block(k) for k in whole) + "}"
    assert t.analyze_cn0(OBS)._json_block("visibility") == "null"
    with pytest.raises(ValueError, match="unknown JSON block: 'Heatmap'"):
        r._json_block("Heatmap")
    with pytest.raises(TypeError):
        r._json_block(1)
