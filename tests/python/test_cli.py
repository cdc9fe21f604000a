"""The tessora-cn0 command line, run as a separate process the way cron or a shell runs it."""
import bz2
import csv
import gzip
import io
import os
import pathlib
import pty
import subprocess
import sys
from types import SimpleNamespace

import pytest

import tessora_cn0 as t
from tessora_cn0._summary import COLUMNS, summary_row, verdict_lines

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample"
OBS = SAMPLE / "SMPL00DNK_R_20240650700_01H_30S_MO.rnx"
NAV = SAMPLE / "SMPL00DNK_R_20240650700_01H_MN.rnx"


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tessora_cn0", *map(str, args)], capture_output=True, text=True,
                          timeout=120, **kwargs)


def one_line_failure(proc, path):
    """Exit status 1 and exactly one stderr line naming the file, no traceback."""
    assert proc.returncode == 1, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and "Traceback" not in proc.stderr, proc.stderr
    assert lines[0].startswith(f"tessora-cn0: {path}: "), lines[0]
    return lines[0][len(f"tessora-cn0: {path}: "):]


@pytest.fixture(scope="module")
def result():
    return t.analyze_cn0(str(OBS), str(NAV))


def test_report_summary_and_outputs(tmp_path, result):
    js, pretty, page = tmp_path / "r.json", tmp_path / "p.json", tmp_path / "r.html"
    proc = run("report", OBS, "--nav", NAV, "--json", js, "--html", page)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    # The interference detector's verdict comes first: a headline, one line per event, a blank line.
    found = t.detect_interference(str(OBS), str(NAV))
    events = found.events
    assert out[0].startswith(f"Interference: {len(events)} event")
    assert out[0].endswith(f" (elevation template, {len(found.bands)} bands)")
    for line, e in zip(out[1:], events):
        assert line == (f"  {e.kind} {e.start[11:19]}–{e.end[11:19]} ({e.duration:g} s), peak "
                        f"{e.peak_degradation_db:.1f} dB at {e.peak_time[11:19]} in {', '.join(e.bands)}; "
                        f"{len(e.satellites_affected)} satellites affected, {len(e.satellites_lost)} lost")
    # The sample's event, 07:35 to 07:36 on GPS and Galileo together, is found as a wideband one.
    assert any(line.startswith("  wideband 07:35:00–07:36:00 (60 s), peak ") for line in out[1:len(events) + 1])
    assert out[len(events) + 1] == ""
    out = out[len(events) + 2:]
    assert out[1] == f"Grade {result.quality_grade}, score {result.score:.1f}: {result.summary}"
    assert out[2] == (f"Jamming no, spoofing no, interference YES; {result.anomaly_count} CN0-drop anomalies "
                      f"({result.critical_count} critical)")
    assert out[3].startswith(f"Confirmation {result.visibility_confirmation_rate:.1f} % ")
    rows = {line.split()[0]: line.split() for line in out[out.index("CN0 (dB-Hz) by constellation:") + 2:]}
    assert sorted(rows) == sorted(result.constellations)
    for name, cells in rows.items():
        c = result.get_constellation_summary(name)
        assert cells[1:] == [c[k] for k in ("satellite_count", "satellites_expected", "observation_count", "mean_cn0",
                                            "min_cn0", "max_cn0", "std_cn0", "availability_ratio", "cycle_slips",
                                            "data_gaps")]
    assert js.read_text() == result.to_json()
    assert page.read_text().startswith("<!DOCTYPE html>")
    assert run("report", OBS, "--nav", NAV, "--json", pretty, "--pretty").returncode == 0
    assert pretty.read_text() == result.to_json_pretty()
    # JSON on stdout replaces the text summary there.
    proc = run("report", OBS, "--json", "-")
    assert proc.returncode == 0 and proc.stdout == t.analyze_cn0(str(OBS)).to_json() + "\n"


def test_report_without_navigation_and_systems_by_name():
    proc = run("report", OBS, "--systems", "GPS,Galileo", "--min-elevation", "10")
    assert proc.returncode == 0, proc.stderr
    r = t.analyze_cn0(str(OBS), min_elevation=10.0, systems=["G", "E"])
    assert f"Grade {r.quality_grade}, score {r.score:.1f}: {r.summary}" in proc.stdout
    assert "Confirmation: no visibility prediction (no navigation data)" in proc.stdout
    assert proc.stdout.startswith("Interference: ")
    # Names and letters, in any case, repeated or not, select the same constellations.
    assert run("report", OBS, "--systems", "gps,galileo,G", "--min-elevation", "10").stdout == proc.stdout
    # The detector sees the same selection: the sample has no BeiDou.
    proc = run("report", OBS, "--systems", "C")
    reason = t.detect_interference(str(OBS), systems=["C"]).reason
    assert reason and proc.stdout.startswith(f"Interference: not judged ({reason})\n\n")


def test_verdict_words():
    ev = SimpleNamespace(kind="band-limited", start="2020-06-25T23:50:00.000Z", end="2020-06-26T00:10:00.000Z",
                         peak_time="2020-06-26T00:01:30.000Z", duration=1200.0, peak_degradation_db=7.31,
                         bands=["L2"], satellites_affected=["G01"], satellites_lost=[])
    rep = SimpleNamespace(reason="", mode="mixed", bands=["L1", "L2"], trigger_sigma=4.96, events=[],
                          timestamps=["2020-06-25T12:00:00.000Z", "2020-06-26T12:00:00.000Z"],
                          false_alarms_per_day=0.002, spoofing_judged=True)
    assert verdict_lines(rep) == [
        "Interference: none found (elevation template and satellite baselines, 2 bands; trigger 5.0 sigma, "
        "0.002 false alarms a day)"]
    # Without elevations the verdict says that spoofing was not judged.
    rep.spoofing_judged = False
    assert verdict_lines(rep)[0].startswith(
        "Interference: none found (elevation template and satellite baselines, 2 bands, spoofing not judged "
        "without elevations;")
    rep.spoofing_judged = True
    rep.events = [ev]
    # Across midnight the times carry their dates.
    assert verdict_lines(rep, "-") == [
        "Interference: 1 event (elevation template and satellite baselines, 2 bands)",
        "  band-limited 2020-06-25 23:50:00-2020-06-26 00:10:00 (20.0 min), peak 7.3 dB at 2020-06-26 00:01:30 "
        "in L2; 1 satellite affected, 0 lost"]


def test_compressed_inputs_everywhere(tmp_path):
    gz_obs, bz_nav = tmp_path / "s.rnx.gz", tmp_path / "n.rnx.bz2"
    gz_obs.write_bytes(gzip.compress(OBS.read_bytes()))
    bz_nav.write_bytes(bz2.compress(NAV.read_bytes()))
    plain = run("report", OBS, "--nav", NAV)
    packed = run("report", gz_obs, "--nav", bz_nav)
    assert packed.returncode == 0 and packed.stdout == plain.stdout
    info = run("info", gz_obs)
    assert info.returncode == 0 and info.stdout.replace(str(gz_obs), "X") == run("info", OBS).stdout.replace(
        str(OBS), "X")
    batch = run("batch", gz_obs, "--nav", bz_nav)
    assert batch.returncode == 0, batch.stderr
    row = next(csv.DictReader(io.StringIO(batch.stdout)))
    assert row["grade"] == t.analyze_cn0(str(OBS), str(NAV)).quality_grade


def test_unreadable_files_give_one_line_and_status_1(tmp_path):
    missing = tmp_path / "missing.rnx"
    garbage = tmp_path / "garbage.rnx"
    garbage.write_text("not a RINEX file\n")
    cut = tmp_path / "cut.rnx.gz"
    cut.write_bytes(gzip.compress(OBS.read_bytes())[:4000])
    assert one_line_failure(run("report", missing), missing) == "No such file or directory (os error 2)"
    assert one_line_failure(run("report", OBS, "--nav", missing), missing) == "No such file or directory (os error 2)"
    # A parse error carries no file name: the command finds which of the two files it was.
    assert one_line_failure(run("report", OBS, "--nav", garbage), garbage) == "No END OF HEADER found"
    assert one_line_failure(run("report", garbage, "--nav", NAV), garbage) == "No END OF HEADER found"
    assert "gzip" in one_line_failure(run("report", cut), cut)
    assert one_line_failure(run("info", garbage), garbage) == "No END OF HEADER found"
    assert one_line_failure(run("info", tmp_path), tmp_path) == "Is a directory (os error 21)"
    # An output that cannot be written is named the same way.
    unwritable = tmp_path / "no" / "such" / "dir.html"
    assert one_line_failure(run("report", OBS, "--json", unwritable), unwritable) == "No such file or directory"


def test_bad_arguments_give_status_2():
    for args in ([], ["report"], ["nope", str(OBS)], ["report", str(OBS), "--systems", "Q"],
                 ["report", str(OBS), "--systems", ","], ["report", str(OBS), "--min-elevation", "high"],
                 ["batch", str(OBS), "--workers", "0"], ["batch", str(OBS), str(OBS), "--nav", str(NAV), str(NAV),
                                                         str(NAV)]):
        proc = run(*args)
        assert proc.returncode == 2, (args, proc.stderr)
        assert "usage: tessora-cn0" in proc.stderr and "Traceback" not in proc.stderr
    assert run("--version").stdout == f"tessora-cn0 {t.__version__}\n"


def test_batch_rows_errors_and_order(tmp_path):
    copy = tmp_path / "copy.rnx"
    copy.write_bytes(OBS.read_bytes())
    missing = tmp_path / "missing.rnx"
    out = tmp_path / "rows.csv"
    files = [OBS, missing, copy]
    proc = run("batch", *files, "--nav", NAV, "--workers", "2", "--csv", out)
    assert proc.returncode == 1
    assert proc.stderr.splitlines() == [f"tessora-cn0: {missing}: No such file or directory (os error 2)",
                                        f"tessora-cn0: 2 of 3 files graded; rows in {out}"]
    assert proc.stdout == ""
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f))
    expected = t.analyze_many([str(p) for p in files], str(NAV), interference=True)
    assert [r["file"] for r in rows] == [str(p) for p in files]
    for row, p, res in zip(rows, files, expected):
        assert list(row) == COLUMNS
        assert row == {k: str(v) for k, v in summary_row(str(p), res).items()}
    assert rows[1]["error"] == "OSError: Cannot read obs file: No such file or directory (os error 2)"
    # The detector's columns, appended after the old ones: empty for the failed file, and for a
    # result without its report (as the Dask helper gathers them).
    assert COLUMNS[-4:] == ["interference_events", "worst_degradation_db", "interference_duration_s",
                            "interference_kinds"]
    assert [rows[1][k] for k in COLUMNS[-4:]] == [""] * 4
    assert [summary_row("x", expected[0][0])[k] for k in COLUMNS[-4:]] == [""] * 4
    events = expected[0][1].events
    for row in (rows[0], rows[2]):
        assert int(row["interference_events"]) == len(events) > 0
        assert float(row["worst_degradation_db"]) == max(round(e.peak_degradation_db, 1) for e in events)
        assert float(row["interference_duration_s"]) == pytest.approx(sum(e.duration for e in events), abs=0.05)
        assert row["interference_kinds"].split(";") == sorted({e.kind for e in events})
        assert "wideband" in row["interference_kinds"].split(";")
    # One navigation file per observation file; no progress bar when stderr is not a terminal.
    proc = run("batch", OBS, copy, "--nav", NAV, missing)
    assert proc.returncode == 1
    assert proc.stderr == f"tessora-cn0: {missing}: No such file or directory (os error 2)\n"
    rows = list(csv.DictReader(io.StringIO(proc.stdout)))
    assert rows[0]["confirmation_rate"] != "" and rows[1]["error"].startswith("OSError: Cannot read nav file")
    proc = run("batch", OBS, copy)
    assert proc.returncode == 0 and proc.stderr == ""
    assert len(list(csv.DictReader(io.StringIO(proc.stdout)))) == 2


def test_batch_progress_bar_on_a_terminal():
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "tessora_cn0", "batch", str(OBS), str(OBS), str(OBS)],
                            stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal closes when the process ends
            break
        if not chunk:
            break
        seen += chunk
    proc.communicate(timeout=120)
    os.close(master)
    assert proc.returncode == 0
    text = seen.decode()
    assert "\r[" in text and "] 3/3" in text and text.endswith("\n")


def test_info_summaries():
    obs = t.read_rinex_obs(str(OBS))
    proc = run("info", OBS)
    assert proc.returncode == 0
    lines = proc.stdout.splitlines()
    assert lines[1:7] == [f"RINEX version {obs.version:g}", f"marker        {obs.marker_name}",
                          f"receiver      {obs.receiver_type}", f"interval      {obs.interval:g} s",
                          f"epochs        {obs.num_epochs}", f"satellites    {obs.num_satellites}"]
    for system, ids in obs.satellites_by_system().items():
        at = next(i for i, line in enumerate(lines) if line.startswith(f"system {system}:"))
        assert lines[at].startswith(f"system {system}: {len(ids)} satellites, CN0 yes; observables "
                                    + " ".join(obs.obs_types_by_system()[system]))
        assert lines[at + 1].split() == ids


def test_console_script_is_installed():
    script = pathlib.Path(sys.executable).with_name("tessora-cn0")
    if not script.exists():
        pytest.skip("console script not beside this interpreter")
    proc = subprocess.run([str(script), "info", str(OBS)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout == run("info", OBS).stdout
