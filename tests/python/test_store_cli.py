"""tessora-cn0 store, report/batch --store, and a store written by several processes at once or by
one killed mid-write, all run as separate processes."""
import csv
import io
import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

import tessora_cn0 as t
from store_days import STATION, day_of, sample_day


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tessora_cn0", *map(str, args)], capture_output=True, text=True,
                          timeout=300, **kwargs)


def counts(path):
    """(days, events, the events the days announce, day templates) of a store, read by plain SQLite."""
    conn = sqlite3.connect(path)
    try:
        assert conn.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        return conn.execute("SELECT (SELECT count(*) FROM days), (SELECT count(*) FROM events), "
                            "(SELECT coalesce(sum(events), 0) FROM days), (SELECT count(*) FROM day_templates)"
                            ).fetchone()
    finally:
        conn.close()


def test_batch_and_report_record_into_the_store(tmp_path):
    files = [sample_day(tmp_path, w) for w in range(3)]
    store = tmp_path / "s.db"
    proc = run("batch", *(o for o, _ in files), "--nav", *(n for _, n in files), "--store", store, "--workers", "2")
    assert proc.returncode == 0, proc.stderr
    rows = list(csv.DictReader(io.StringIO(proc.stdout)))
    assert [r["interference_events"] for r in rows] == ["1", "1", "1"]
    assert counts(store) == (3, 3, 3, 0)  # every sample day has its jammer: no template
    # report --store prints what report prints, and records the day once however often it runs.
    obs, nav = sample_day(tmp_path, 3)
    plain = run("report", obs, "--nav", nav)
    for _ in range(2):
        stored = run("report", obs, "--nav", nav, "--store", store)
        assert stored.returncode == 0 and stored.stdout == plain.stdout, stored.stderr
    assert counts(store) == (4, 4, 4, 0)
    # A file that cannot be read fails as before and records nothing; a store that is not one fails
    # the command at once, naming it.
    proc = run("batch", obs + ".missing", "--store", store)
    assert proc.returncode == 1 and proc.stderr.startswith(f"tessora-cn0: {obs}.missing: ")
    assert counts(store) == (4, 4, 4, 0)
    (tmp_path / "notes.txt").write_text("not a store\n")
    proc = run("report", obs, "--nav", nav, "--store", tmp_path / "notes.txt")
    assert proc.returncode == 1 and proc.stderr == (f"tessora-cn0: {tmp_path / 'notes.txt'}: not a station store "
                                                    "(not an SQLite database)\n")


def test_network_records_its_days_and_network_events(tmp_path):
    # Two stations hear the same jammer; a second run over the same days replaces, never doubles.
    files = [sample_day(tmp_path, 0), sample_day(tmp_path, 0, marker="OTHR00DNK")]
    store = tmp_path / "s.db"
    args = ["network", *(o for o, _ in files), "--nav", *(n for _, n in files), "--workers", "2"]
    plain = run(*args)
    for _ in range(2):
        proc = run(*args, "--store", store)
        assert proc.returncode == 0 and proc.stdout == plain.stdout, proc.stderr
    rows = list(csv.DictReader(io.StringIO(plain.stdout)))
    assert {r["station"] for r in rows} == {STATION, "OTHR00DNK"} and {r["network_event"] for r in rows} == {"1"}
    assert counts(store) == (2, 2, 2, 0)
    with t.StationStore(store) as s:
        kept = s.network().to_numpy()
        assert sorted(kept["station"].tolist()) == ["OTHR00DNK", STATION]
        assert len(set(kept["network_event"].tolist())) == 1


@pytest.fixture
def filled(tmp_path):
    """A store of three clean days (templates) and two with events, of two stations."""
    path = tmp_path / "s.db"
    with t.StationStore(path) as store:
        for w in range(3):
            t.detect_interference(*sample_day(tmp_path, w), store=store, threshold_db=100.0)
        t.detect_interference(*sample_day(tmp_path, 3), store=store)
        t.detect_interference(*sample_day(tmp_path, 0, marker="OTHR00DNK"), store=store)
    return path


def test_store_list_show_events_forget(tmp_path, filled):
    proc = run("store", filled, "list")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].split() == ["station", "days", "clean", "events", "setups", "first", "..", "last"]
    assert lines[1].split() == ["OTHR00DNK", "1", "0", "1", "1", day_of(0), "..", day_of(0)]
    assert lines[2].split() == [STATION, "4", "3", "1", "1", day_of(0), "..", day_of(3)]

    page = tmp_path / "t.html"
    proc = run("store", filled, "show", STATION, "--html", page)
    assert proc.returncode == 0, proc.stderr
    assert "template of 3 clean days" in proc.stdout and proc.stdout.count("\n") == 4 + 4
    table = proc.stdout.splitlines()[3:]
    assert table[0].split()[:3] == ["day", "verdict", "mode"] and table[1].split()[:3] == [day_of(0), "clean", "elevation"]
    html = page.read_text()
    assert html.count("<svg") == 1 and html.count("<polyline") == len(t.StationStore(filled).template(STATION).signals)
    assert "http" not in html.replace('xmlns="http://www.w3.org/2000/svg"', "")  # nothing fetched

    proc = run("store", filled, "events", "--station", STATION, "--json")
    events = json.loads(proc.stdout)
    assert [(e["station"], e["day"], e["kind"]) for e in events] == [(STATION, day_of(3), "wideband")]
    proc = run("store", filled, "events", "--since", day_of(1), "--csv")
    assert [r["station"] for r in csv.DictReader(io.StringIO(proc.stdout))] == [STATION]
    proc = run("store", filled, "events", "--bbox", "0,0,1,1")
    assert proc.returncode == 0 and len(proc.stdout.splitlines()) == 1  # the header alone
    assert run("store", filled, "events", "--bbox", "1,2,3").returncode == 2

    proc = run("store", filled, "forget", f"{STATION}/{day_of(1)}")
    assert proc.returncode == 0 and "forgot 1 day" in proc.stderr
    assert "template of 2 clean days" in run("store", filled, "show", STATION).stdout
    proc = run("store", filled, "forget", "NOPE")
    assert proc.returncode == 1 and proc.stderr == f"tessora-cn0: {filled}: no station 'NOPE' in the store\n"
    proc = run("store", tmp_path / "absent.db", "list")
    assert proc.returncode == 1 and not (tmp_path / "absent.db").exists()


def test_four_processes_write_one_store_at_once(tmp_path):
    # Four batches over overlapping days: each day is judged by two of them, and kept once.
    files = [sample_day(tmp_path, w) for w in range(8)]
    store = tmp_path / "s.db"
    procs = []
    for k in range(4):
        mine = [files[(2 * k + j) % 8] for j in range(4)]
        procs.append(subprocess.Popen(
            [sys.executable, "-m", "tessora_cn0", "batch", *(o for o, _ in mine), "--nav", *(n for _, n in mine),
             "--store", str(store), "--workers", "1"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True))
    for p in procs:
        assert p.wait(timeout=300) == 0, p.stderr.read()
    assert counts(store) == (8, 8, 8, 0)
    with t.StationStore(store) as s:
        assert s.days().to_numpy()["day"].tolist() == [day_of(w) for w in range(8)]


WRITER = """
import sys, tessora_cn0 as t
files = [line.split() for line in open(sys.argv[2])]
store = t.StationStore(sys.argv[1])
while True:
    for obs, nav, clean in files:
        report = t.detect_interference(obs, nav, store=store, **({"threshold_db": 100.0} if clean == "1" else {}))
        print(report.timestamps[0][:10], flush=True)
"""


def test_a_writer_killed_anywhere_leaves_every_committed_day(tmp_path):
    listing = tmp_path / "files.txt"
    with open(listing, "w") as f:
        for w in range(6):
            obs, nav = sample_day(tmp_path, w)
            f.write(f"{obs} {nav} {w % 2}\n")
    store = tmp_path / "s.db"
    rng = random.Random(7)
    committed = set()
    for _ in range(5):
        proc = subprocess.Popen([sys.executable, "-c", WRITER, str(store), str(listing)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        first = proc.stdout.readline()  # one day committed, then a kill at a random moment
        assert first, proc.stderr.read()
        time.sleep(rng.uniform(0.0, 0.6))
        os.kill(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        committed.update(line for line in (first + out).split() if line)
        days, events, announced, templates = counts(store)
        assert events == announced and templates <= days
        with t.StationStore(store) as s:
            kept = set(s.days().to_numpy()["day"].tolist())
            assert committed <= kept and len(kept) == days
            learned = s.setups(STATION)[0]["template_days"] or []
            verdicts = dict(zip(s.days().to_numpy()["day"].tolist(), s.days().to_numpy()["verdict"].tolist()))
            assert all(verdicts[d] == "clean" for d in learned)
