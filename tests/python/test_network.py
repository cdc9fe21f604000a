"""network_events (the join of station events in time) on small hand-made reports, and the
`network` command on the bundled sample: CSV rows, error rows, exit status and the HTML page."""
import csv
import itertools
import pathlib
import re
import subprocess
import sys
from types import SimpleNamespace as NS

import pytest

import tessora_cn0 as t
from tessora_cn0 import network

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample"
OBS = SAMPLE / "SMPL00DNK_R_20240650700_01H_30S_MO.rnx"
NAV = SAMPLE / "SMPL00DNK_R_20240650700_01H_MN.rnx"


def ev(start, end, db, kind="wideband", bands=("L1", "L2"), day="2024-05-03"):
    return NS(start=f"{day}T{start}.000Z", end=f"{day}T{end}.000Z", peak_degradation_db=db, kind=kind,
              bands=list(bands), degradation_db={b: db - i for i, b in enumerate(bands)})


def rep(station, *events, filename="", day="2024-05-03", lat=55.0, lon=8.0):
    return NS(station=station, filename=filename, latitude=lat, longitude=lon, reason="", events=list(events),
              timestamps=[f"{day}T00:00:00.000Z", f"{day}T23:59:30.000Z"])


def summary(events):
    return [(n.start, n.end, n.onset_order, n.kind) for n in events]


def test_overlap_tolerance_kinds_and_order_independence():
    reports = [rep("AAAA", ev("10:00:00", "10:10:00", 12.0)),
               rep("BBBB", ev("10:12:00", "10:20:00", 6.0, "band-limited", ("L5", "L1"))),
               rep("CCCC", ev("10:30:00", "10:40:00", 4.0)),
               rep("DDDD", ev("10:00:00", "10:05:00", 9.0)),   # same onset as AAAA: name breaks the tie
               rep("EEEE", ev("10:02:00", "10:08:00", 5.0, "spoofing-like"))]
    found = t.network_events(reports)
    assert summary(found) == [
        ("2024-05-03T10:00:00.000Z", "2024-05-03T10:20:00.000Z", ("AAAA", "DDDD", "BBBB"), "mixed"),
        ("2024-05-03T10:02:00.000Z", "2024-05-03T10:08:00.000Z", ("EEEE",), "spoofing-like"),
        ("2024-05-03T10:30:00.000Z", "2024-05-03T10:40:00.000Z", ("CCCC",), "wideband")]
    first = found[0]
    assert first.onset_spread == 720.0 and first.bands == ("L1", "L2", "L5")
    assert [s.peak_degradation_db for s in first.stations] == [12.0, 9.0, 6.0]
    # Gaps of exactly the tolerance still join; 120 s gaps do not at 60 s.
    assert [n.onset_order for n in t.network_events(reports, tolerance=600)][0] == \
        ("AAAA", "DDDD", "BBBB", "CCCC")
    assert len(t.network_events(reports, tolerance=60)) == 4
    for perm in itertools.permutations(reports):
        assert t.network_events(list(perm)) == found
    with pytest.raises(ValueError, match="tolerance"):
        t.network_events(reports, tolerance=-1)


def test_days_of_one_station_blank_marker_and_station_override():
    day1 = rep("NYA1", ev("23:50:00", "23:59:30", 7.0), filename="/d/NYA1_124.rnx", day="2024-05-03")
    day2 = rep("NYA1", ev("00:00:00", "00:10:00", 9.0, bands=("L5",), day="2024-05-04"),
               filename="/d/NYA1_125.rnx", day="2024-05-04")
    blank = rep("  ", ev("00:05:00", "00:06:00", 3.0, day="2024-05-04"), filename="/d/ABCD00XXX_R_1.rnx.gz")
    for order in ([day1, day2, blank], [blank, day2, day1]):
        [n] = t.network_events(order)
        assert n.onset_order == ("NYA1", "ABCD00XXX_R_1")
        nya = n.stations[0]
        assert (nya.onset, nya.end, nya.peak_degradation_db) == \
            ("2024-05-03T23:50:00.000Z", "2024-05-04T00:10:00.000Z", 9.0)
        assert nya.bands == ("L1", "L2", "L5") and nya.file == "/d/NYA1_124.rnx"
        assert nya.degradation_db == {"L1": 7.0, "L2": 6.0, "L5": 9.0}
    # (station, report) pairs give copies of one recording identities of their own.
    pairs = [(f"S{k}", rep("SAME", ev(f"10:0{k}:00", "10:20:00", 10.0 - k))) for k in range(3)]
    [n] = t.network_events(pairs)
    assert n.onset_order == ("S0", "S1", "S2") and n.onset_spread == 120.0


def cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tessora_cn0", "network", *map(str, args)], capture_output=True,
                          text=True, timeout=120, **kwargs)


def test_network_command_rows_errors_and_page(tmp_path):
    rows_csv, page, reports = tmp_path / "net.csv", tmp_path / "net.html", tmp_path / "reports"
    reports.mkdir()
    (reports / "SMPL00DNK.html").write_text("<html></html>")
    missing = tmp_path / "gone.rnx"
    proc = cli(OBS, missing, "--nav", NAV, "--csv", rows_csv, "--html", page, "--reports", reports,
               "--workers", 2)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.splitlines() == [
        f"tessora-cn0: {missing}: No such file or directory (os error 2)",
        f"tessora-cn0: 1 of 2 files read, 1 station; 1 network event (0 at several stations); rows in {rows_csv}"]
    with open(rows_csv, newline="") as f:
        rows = list(csv.DictReader(f))
    assert [r["station"] for r in rows] == ["SMPL00DNK", ""]
    event, error = rows
    assert (event["network_event"], event["kind"], event["stations_in_event"], event["bands"]) == \
        ("1", "wideband", "1", "L1;L2;L5")
    assert event["onset"] == event["network_start"] == "2024-03-05T07:35:00.000Z" and event["error"] == ""
    assert error["file"] == str(missing) and error["error"] and error["network_event"] == ""
    html = page.read_text()
    links = re.findall(r'(?:src|href)="([^"]*)"', html)
    assert "reports/SMPL00DNK.html" in links
    assert not [u for u in links if u.startswith(("http:", "https:", "//"))]
    assert html.count('src="data:image/png;base64,') == 2  # map and timeline; a single station: no close-up

    only_missing = cli(missing, tmp_path / "gone2.rnx")
    assert only_missing.returncode == 1 and only_missing.stdout.count("\n") == 3  # header and two error rows
    assert cli(OBS, "--tolerance", "-5").returncode == 2
    assert cli(OBS, OBS, OBS, "--nav", NAV, NAV).returncode == 2


def test_page_of_a_shared_event_links_relative_to_the_page(tmp_path):
    reports = [rep("AAAA", ev("10:00:00", "10:10:00", 12.0), filename="/d/AAAA.rnx"),
               rep("BBBB", ev("10:01:00", "10:10:00", 6.0), lat=55.2, lon=8.3), rep("QUIET", lat=None, lon=None)]
    (tmp_path / "reports").mkdir()
    (tmp_path / "reports" / "AAAA.html").write_text("")
    (tmp_path / "pages").mkdir()
    html = network.render_html([network.recording(r) for r in reports], reports_dir=str(tmp_path / "reports"),
                               page_dir=str(tmp_path / "pages"))
    # Map, timeline and the close-up of the one event of two stations; a link only where a page exists.
    assert html.count('src="data:image/png;base64,') == 3
    assert re.findall(r'href="([^"]*)"', html) == ["../reports/AAAA.html"]
    assert "1 network event, 1 seen by several stations" in html and "3 stations, 3 recordings" in html
    assert '<td class="num">60</td>' in html  # BBBB's onset, seconds after AAAA's


def test_date_axes_never_warn_whatever_the_span():
    # Stations recorded years apart put spans on the timeline that matplotlib's own date steps
    # cannot tick (about 4.5 to 5 years, among others): it would print a UserWarning to the terminal.
    import datetime
    import warnings

    import matplotlib.dates as mdates
    from matplotlib.figure import Figure

    from tessora_cn0.report import _date_axis

    start = mdates.date2num(datetime.datetime(2016, 2, 13))
    for days in [0.02 * k for k in range(1, 200, 7)] + [1.1 * k for k in range(1, 4400, 13)]:
        ax = Figure().add_subplot()
        ax.set_xlim(start, start + days)
        _date_axis(ax, True)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            ticks = ax.xaxis.get_major_locator()()
        assert 2 <= len(ticks) <= 12, days
