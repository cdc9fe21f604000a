"""TLE element-set counting and the catalogue download through a fake `curl`."""
import gc
import json
import os
import stat
import sys
import textwrap
import threading
import time

import pytest

import tessora_cn0 as t

SOURCES = [
    "https://celestrak.org/NORAD/elements/gp.php?GROUP=gnss&FORMAT=tle",
    "https://celestrak.org/NORAD/elements/gnss.txt",
    "https://celestrak.com/NORAD/elements/gnss.txt",
]
FAILED = "Failed to download TLE from all sources"
LIMIT = 64 * 1024 * 1024


# ---------------------------------------------------------------- element sets


def _checksum(line):
    return sum(int(c) if c.isdigit() else 1 if c == "-" else 0 for c in line) % 10


def _line1(satnum, intl, epoch):
    s = f"1 {satnum:05d}U {intl:<8} {epoch:14.8f}  .00000040  00000+0  00000+0 0  999"
    assert len(s) == 68
    return s + str(_checksum(s))


def _line2(satnum, inc, raan, ecc, argp, anomaly, mean_motion, rev):
    mm = mean_motion if isinstance(mean_motion, str) else f"{mean_motion:11.8f}"
    s = f"2 {satnum:05d} {inc:8.4f} {raan:8.4f} {ecc:07d} {argp:8.4f} {anomaly:8.4f} {mm:>11}{rev:5d}"
    assert len(s) == 68
    return s + str(_checksum(s))


def element_set(name, satnum=24876, mean_motion=2.00563381):
    return "\n".join(
        [
            name,
            _line1(satnum, "97035A", 24061.50512346),
            _line2(satnum, 55.614, 107.396, 45690, 52.325, 308.133, mean_motion, 19447),
        ]
    ) + "\n"


GPS = element_set("GPS BIIR-2  (PRN 13)", 24876, 2.00563381)
GLONASS = element_set("COSMOS 2425 (716)", 29672, 2.13103245)
GSAT = element_set("GSAT0101 (GALILEO-PFM)", 37846, 1.70475832)
GALILEO = element_set("GALILEO 26 (E12)", 43055, 1.70474436)
BEIDOU = element_set("BEIDOU-3 M1", 43001, 1.86230979)
QZSS = element_set("QZS-1 (MICHIBIKI-1)", 37158, 1.002788)
CATALOGUE = GPS + GLONASS + GSAT + GALILEO + BEIDOU + QZSS


def test_element_lines_have_catalogue_layout():
    for block in (GPS, QZSS):
        _, l1, l2 = block.splitlines()
        assert len(l1) == len(l2) == 69
        assert int(l1[-1]) == _checksum(l1[:-1]) and int(l2[-1]) == _checksum(l2[:-1])


# ---------------------------------------------------------------- parse_tle_content


def test_counts_gps_galileo_and_qzss_only():
    assert t.parse_tle_content(CATALOGUE) == 4
    assert [t.parse_tle_content(s) for s in (GPS, GLONASS, GSAT, GALILEO, BEIDOU, QZSS)] == [1, 0, 1, 1, 0, 1]
    assert t.parse_tle_content(GPS * 3 + QZSS) == 4  # duplicates count each time
    assert type(t.parse_tle_content(CATALOGUE)) is int


def test_too_few_lines_and_shifted_grouping():
    _, l1, l2 = GPS.splitlines()
    assert t.parse_tle_content("") == 0
    assert t.parse_tle_content(l1 + "\n" + l2 + "\n") == 0
    assert t.parse_tle_content(GPS + "\n" + QZSS) == 2
    assert t.parse_tle_content("\n  \n" + GPS + "\n" + GALILEO + "\n") == 2
    assert t.parse_tle_content(GPS.replace("\n", "\r\n")) == 1
    # Line 2 before line 1 is no set.
    assert t.parse_tle_content("\n".join(["GPS BIIR-2  (PRN 13)", l2, l1])) == 0


def test_mean_motion_must_be_positive():
    assert t.parse_tle_content(element_set("GPS BIIR-2  (PRN 13)", mean_motion=0.0)) == 0
    assert t.parse_tle_content(element_set("GPS BIIR-2  (PRN 13)", mean_motion=" " * 11)) == 0
    assert t.parse_tle_content(element_set("GPS BIIR-2  (PRN 13)", mean_motion=-2.0)) == 0
    assert t.parse_tle_content(element_set("GPS BIIR-2  (PRN 13)", mean_motion="2.0O563381")) == 0
    assert t.parse_tle_content(element_set("GPS BIIR-2  (PRN 13)", mean_motion=0.00000001)) == 1


@pytest.mark.parametrize(
    "name, counted",
    [
        ("GPS BIIF-1  (PRN 25)", 1),
        ("gps biir-2  (prn 13)", 1),  # upper-cased before matching
        ("GPS BIIR-2  (PRN)", 0),  # PRN without digits falls through to no rule
        ("QZS-4 GPS (PRN)", 1),  # ... or to the QZSS rule (J04)
        ("GPS (PRN 2147483648)", 0),  # beyond a signed 32-bit number
        ("NAVSTAR 43 (USA 132)", 0),
        ("GSAT0102 (GALILEO-FM2)", 1),
        ("galileo 26 (e12)", 1),
        ("GALILEO-FOC FM1", 0),
        ("GLONASS-K 1 (COSMOS 2471)", 0),
        ("BEIDOU QZS-1", 0),
        ("MICHIBIKI", 0),
        ("qzß-2", 1),  # full upper-casing: ß -> SS gives "QZSS-2"
        ("gpſ (prn 7)", 1),  # long s upper-cases to S
        ("\u00a0GPS BIIR-2  (PRN 13)\t", 1),
    ],
)
def test_names(name, counted):
    assert t.parse_tle_content(element_set(name)) == counted


def test_short_and_cut_lines_do_not_fail():
    name, l1, l2 = GPS.splitlines()
    assert t.parse_tle_content("\n".join([name, l1, l2[:62]])) == 0
    assert t.parse_tle_content("\n".join([name, l1[:30], l2])) == 0
    assert t.parse_tle_content("\n".join([name, "1", "2"])) == 0
    # "é" occupies bytes 62-63: the field ends before it and still reads " 2.0056338".
    assert t.parse_tle_content("\n".join([name, l1, l2[:52] + " 2.0056338é94478"])) == 1
    for cut in range(len(CATALOGUE) + 1):
        assert 0 <= t.parse_tle_content(CATALOGUE[:cut]) <= 4


def test_parse_arguments():
    assert t.parse_tle_content(content=GPS) == 1
    with pytest.raises(TypeError, match=r"^argument 'content': "):
        t.parse_tle_content(GPS.encode())
    with pytest.raises(TypeError, match=r"^argument 'content': "):
        t.parse_tle_content(None)
    with pytest.raises(TypeError):
        t.parse_tle_content()
    assert t.parse_tle_content.__doc__ == "Parse TLE content and return satellite count"
    assert t.parse_tle_content.__text_signature__ == "(content)"
    assert t.download_tle.__doc__ == "Download GNSS TLE from CelesTrak"
    assert t.download_tle.__text_signature__ == "()"
    with pytest.raises(TypeError):
        t.download_tle(1)


# ---------------------------------------------------------------- download_tle with a fake curl

FAKE_CURL = """\
#!{python}
import json, os, sys, time
here = os.path.dirname(os.path.abspath(__file__))
url = sys.argv[-1]
stdin_target = os.readlink("/proc/self/fd/0")
stdin_data = os.read(0, 100).decode("latin-1")
with open(os.path.join(here, "log.jsonl"), "a") as log:
    log.write(json.dumps({{"argv": sys.argv[1:], "stdin": stdin_target, "stdin_data": stdin_data}}) + "\\n")
plan = json.load(open(os.path.join(here, "plan.json"))).get(url, {{"status": 6}})
time.sleep(plan.get("sleep", 0))
if "err" in plan:
    with open(os.path.join(here, plan["err"]), "rb") as f:
        sys.stderr.buffer.write(f.read())
    sys.stderr.flush()
if "out" in plan:
    with open(os.path.join(here, plan["out"]), "rb") as f:
        sys.stdout.buffer.write(f.read())
    sys.stdout.flush()
sys.exit(plan.get("status", 0))
"""


class FakeCurl:
    def __init__(self, directory):
        self.dir = directory
        self.plan = {}
        self._n = 0
        path = directory / "curl"
        path.write_text(FAKE_CURL.format(python=sys.executable))
        path.chmod(path.stat().st_mode | stat.S_IXUSR)

    def answer(self, url, out=None, err=None, status=0, sleep=0):
        entry = {"status": status, "sleep": sleep}
        for key, data in (("out", out), ("err", err)):
            if data is not None:
                self._n += 1
                fname = f"{key}{self._n}.bin"
                (self.dir / fname).write_bytes(data.encode() if isinstance(data, str) else data)
                entry[key] = fname
        self.plan[url] = entry
        (self.dir / "plan.json").write_text(json.dumps(self.plan))

    def calls(self):
        log = self.dir / "log.jsonl"
        if not log.exists():
            return []
        return [json.loads(line) for line in log.read_text().splitlines()]


@pytest.fixture
def curl(tmp_path, monkeypatch):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    monkeypatch.setitem(os.environ, "PATH", f"{bindir}{os.pathsep}{os.environ.get('PATH', '')}")
    fake = FakeCurl(bindir)
    fake.answer(SOURCES[0], status=6)
    fake.answer(SOURCES[1], status=6)
    fake.answer(SOURCES[2], status=6)
    return fake


@pytest.fixture
def stdin_with_data():
    """Puts a pipe holding data on descriptor 0, so an inherited standard input would be seen."""
    r, w = os.pipe()
    os.write(w, b"INHERITED")
    os.close(w)
    saved = os.dup(0)
    os.dup2(r, 0)
    os.close(r)
    yield
    os.dup2(saved, 0)
    os.close(saved)


def _resources():
    # Objects other tests left for the collector close their files when it runs: count after it.
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


def _assert_no_children():
    with pytest.raises(ChildProcessError):
        os.waitpid(-1, os.WNOHANG)


def test_first_source_answers(curl, stdin_with_data):
    fds = _resources()
    curl.answer(SOURCES[0], out=CATALOGUE)
    assert t.download_tle() == CATALOGUE
    calls = curl.calls()
    assert [c["argv"] for c in calls] == [["-sL", "--connect-timeout", "10", SOURCES[0]]]
    assert calls[0]["stdin"] == "/dev/null" and calls[0]["stdin_data"] == ""
    assert _resources() == fds
    _assert_no_children()


@pytest.mark.parametrize(
    "first",
    [
        dict(out=CATALOGUE, status=22),  # e.g. HTTP error with --fail
        dict(out=CATALOGUE.encode() + b"\xff\xfe"),  # not UTF-8
        dict(out="<html><body>Service unavailable</body></html>\n"),
        dict(out=""),
        # An error page holding "1 " and "2 " but no element set.
        dict(out="<html><h1>Error 1 of 2 </h1><p>Try again in 2 minutes.</p></html>\n"),
        dict(out=BEIDOU + GLONASS),  # element sets, but none that counts
    ],
    ids=["exit-status", "invalid-utf8", "no-element-lines", "empty", "html-error-page", "nothing-counted"],
)
def test_rejected_source_falls_back_to_next(curl, first):
    curl.answer(SOURCES[0], **first)
    curl.answer(SOURCES[1], out=GPS + QZSS)
    assert t.download_tle() == GPS + QZSS
    assert [c["argv"][-1] for c in curl.calls()] == SOURCES[:2]


def test_third_source_and_output_unchanged(curl):
    text = "\r\n" + GALILEO.replace("\n", "\r\n") + "trailing  text without newline é"
    curl.answer(SOURCES[2], out=text)
    assert t.download_tle() == text
    assert [c["argv"] for c in curl.calls()] == [["-sL", "--connect-timeout", "10", u] for u in SOURCES]


def test_all_sources_fail_each_tried_once(curl, stdin_with_data):
    fds = _resources()
    with pytest.raises(IOError, match=f"^{FAILED}$"):
        t.download_tle()
    calls = curl.calls()
    assert [c["argv"] for c in calls] == [["-sL", "--connect-timeout", "10", u] for u in SOURCES]
    assert all(c["stdin"] == "/dev/null" and c["stdin_data"] == "" for c in calls)
    assert _resources() == fds
    _assert_no_children()


def test_no_curl_on_path(tmp_path, monkeypatch):
    empty = tmp_path / "empty"
    empty.mkdir()
    monkeypatch.setitem(os.environ, "PATH", str(empty))
    fds = _resources()
    with pytest.raises(OSError) as info:
        t.download_tle()
    assert type(info.value) is OSError and str(info.value) == FAILED
    assert _resources() == fds


def test_large_output_on_both_streams(curl):
    big = GPS * (10_000_000 // len(GPS) + 1)
    curl.answer(SOURCES[0], out=big, err="x" * 1_000_000)
    curl.answer(SOURCES[1], out=QZSS)
    start = time.monotonic()
    assert t.download_tle() == big
    assert time.monotonic() - start < 60


def test_output_limit_of_64_mib(curl):
    n = LIMIT // len(GPS)
    exact = GPS * n + "\n" * (LIMIT - n * len(GPS))
    assert len(exact) == LIMIT
    curl.answer(SOURCES[0], out=exact + "\n")  # one byte too many
    curl.answer(SOURCES[1], out=exact)
    curl.answer(SOURCES[2], out=QZSS)
    result = t.download_tle()
    assert len(result) == LIMIT and result == exact
    assert [c["argv"][-1] for c in curl.calls()] == SOURCES[:2]
    _assert_no_children()


def test_interpreter_lock_released_while_curl_runs(curl):
    curl.answer(SOURCES[0], out=GPS, sleep=1.0)
    ticks = [0]
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.005)

    worker = threading.Thread(target=tick)
    worker.start()
    try:
        time.sleep(0.05)
        before = ticks[0]
        assert t.download_tle() == GPS
        during = ticks[0] - before
    finally:
        stop.set()
        worker.join()
    # About 200 ticks fit in one second; with the lock held the thread could not run at all.
    assert during >= 50
