"""The monitor's HTTP server: its routes on a real server on 127.0.0.1, its metrics read by
Prometheus's own parser, and its status page rendered by headless Chromium."""
import gzip
import json
import math
import os
import re
import shutil
import subprocess
import threading
import time
import urllib.error
import urllib.request
from datetime import datetime, timedelta, timezone

import pytest

from tessora_cn0.monitor.server import MonitorServer, metrics_text

TIMEOUT = 30
NOW = datetime(2024, 3, 5, 7, 10, 3, tzinfo=timezone.utc)
BAD_NAME = 'ES"B\\C\nX'   # a quote, a backslash and a line feed: every escape of the label syntax


def iso(t):
    return t.strftime("%Y-%m-%dT%H:%M:%SZ")


def series(base, seconds=3600, step=1, drop=None, lost=None):
    """An hour of (time, mean CN0, degradation) ending at NOW; drop=(from_s, dB) lowers the end of it,
    lost=(from_s, to_s) leaves the CN0 out (a band lost)."""
    out = []
    for k in range(0, seconds, step):
        t = NOW - timedelta(seconds=seconds - k)
        d = 0.2 * math.sin(k / 37.0) + (drop[1] if drop and k >= drop[0] else 0.0)
        cn0 = base + 1.5 * math.sin(k / 900.0) - d
        if lost and lost[0] <= k < lost[1]:
            cn0 = d = None
        out.append([iso(t), None if cn0 is None else round(cn0, 2), None if d is None else round(d, 2)])
    return out


def station(name, state="connected", open_events=(), drop=None, lost=None, step=1, **fields):
    bands = {band: series(base, step=step, drop=drop, lost=lost)
             for band, base in (("L1", 45.0), ("L2", 39.5), ("L5", 48.0))}
    return {"station": name, "mount": f"{name}00DNK0", "state": state, "latency_s": 1.23, "rate_s": float(step),
            "satellites": 31, "epochs": 3600 // step, "last_epoch": iso(NOW - timedelta(seconds=1)), "outages": 0,
            "reconnects": 0, "crc_failures": 0, "bands": bands, "open_events": list(open_events),
            "degradation_db": {b: s[-1][2] for b, s in bands.items()}, **fields}


WIDEBAND = {"type": "event", "action": "open", "station": "ESBC", "start": iso(NOW - timedelta(minutes=6)),
            "peak_time": iso(NOW - timedelta(minutes=2)), "end": None, "peak_degradation_db": 8.4,
            "bands": ["L1", "L2", "L5"], "kind": "wideband"}


def realistic():
    """Six stations as a monitor would hold them, ESBC under a wideband jammer for its last 6 minutes."""
    closed = {"type": "event", "action": "close", "station": "ONSA", "start": iso(NOW - timedelta(minutes=50)),
              "peak_time": iso(NOW - timedelta(minutes=48)), "end": iso(NOW - timedelta(minutes=45)),
              "peak_degradation_db": 4.1, "bands": ["L1"], "kind": "band-limited"}
    wideband = dict(WIDEBAND)   # a copy of its own: tests change what they get
    stations = [station("BUDP"), station("ESBC", open_events=[wideband], drop=(3240, 8.0)),
                station("ONSA", step=30), station("SPT0", "outage", lost=(3300, 3600), outages=2, latency_s=None),
                station("GOPE", "disconnected", reconnects=5, satellites=None, bands={}, degradation_db={}),
                station("WTZR", "corrupted", crc_failures=17)]
    events = [{**closed, "action": "open", "end": None}, closed, wideband]
    return {"time": iso(NOW), "stations": stations, "events": events, "counts": {"events": 2, "open": 1}}


class Provider:
    """The server's input: the snapshots to give, one per call, the last one repeated; an exception
    among them is raised instead. Counts its calls."""

    def __init__(self, *snapshots):
        self.snapshots, self.calls = list(snapshots), 0

    def __call__(self):
        self.calls += 1
        item = self.snapshots[min(self.calls, len(self.snapshots)) - 1]
        if isinstance(item, Exception):
            raise item
        return item


@pytest.fixture
def serve():
    servers = []

    def start(snapshot, events=lambda: []):
        server = MonitorServer("127.0.0.1", 0, snapshot, events)
        server.start()
        servers.append(server)
        return "http://" + server.address

    yield start
    for server in servers:
        server.stop()


def get(url, headers=None):
    """(status, headers, body) of a GET, errors included."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}), timeout=TIMEOUT) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def test_routes(serve):
    snap = realistic()
    base = serve(lambda: snap, lambda: snap["events"])
    assert re.fullmatch(r"http://127\.0\.0\.1:\d+", base) and not base.endswith(":0")
    status, headers, body = get(base + "/")
    assert status == 200 and headers["Content-Type"] == "text/html; charset=utf-8"
    assert b"status.json" in body and "connect-src 'self'" in headers["Content-Security-Policy"]
    assert not re.search(rb"(src|href)=\"?(https?:)?//", body)  # nothing from elsewhere
    status, headers, body = get(base + "/status.json")
    assert status == 200 and headers["Content-Type"].startswith("application/json") and json.loads(body) == snap
    assert get(base + "/events")[2] == json.dumps(snap["events"], separators=(",", ":")).encode()
    for path in ("/nope", "/status.json/x", "/index.html"):
        assert get(base + path)[0] == 404
    with urllib.request.urlopen(urllib.request.Request(base + "/metrics", method="HEAD"), timeout=TIMEOUT) as r:
        assert r.status == 200 and r.read() == b"" and int(r.headers["Content-Length"]) > 1000
    status, headers, body = get(base + "/status.json", {"Accept-Encoding": "gzip"})
    assert headers["Content-Encoding"] == "gzip" and json.loads(gzip.decompress(body)) == snap


def test_status_thinned_for_the_page_and_nan_as_null(serve):
    snap = realistic()
    snap["stations"][0]["degradation_db"]["L1"] = float("nan")
    base = serve(lambda: snap)
    full = json.loads(get(base + "/status.json")[2])
    assert full["stations"][0]["degradation_db"]["L1"] is None and len(full["stations"][0]["bands"]["L1"]) == 3600
    thin = json.loads(get(base + "/status.json?points=60")[2])
    esbc, spt0 = thin["stations"][1]["bands"]["L1"], thin["stations"][3]["bands"]["L1"]
    assert 40 <= len(esbc) <= 60 and esbc == sorted(esbc)
    original = snap["stations"][1]["bands"]["L1"]
    assert min(p[1] for p in esbc) == min(p[1] for p in original) and esbc[-1][0] >= original[-5][0]
    assert any(p[1] is None for p in spt0) and all(p in snap["stations"][3]["bands"]["L1"] for p in spt0)
    assert len(snap["stations"][1]["bands"]["L1"]) == 3600  # the provider's snapshot is left as it was
    assert get(base + "/status.json?points=2")[0] == 400 and get(base + "/status.json?points=x")[0] == 400


def test_events_since(serve):
    lines = realistic()["events"] + [{"station": "X", "action": "open"}]  # a line without times
    base = serve(lambda: {}, lambda: lines)
    assert json.loads(get(base + "/events")[2]) == lines
    since = json.loads(get(base + "/events?since=" + iso(NOW - timedelta(minutes=10)))[2])
    assert since == [lines[2]]
    since = json.loads(get(base + "/events?since=2024-03-05T07:25:03%2B01:00")[2])  # ONSA's end, included
    assert since == lines[1:3]
    assert json.loads(get(base + "/events?since=2024-03-05")[2]) == lines[:3]
    assert get(base + "/events?since=yesterday")[0] == 400


def test_failing_provider_gives_500_and_the_server_goes_on(serve):
    provider = Provider(RuntimeError("station table\nbeing rebuilt"), realistic())
    base = serve(provider, Provider(KeyError("x")))
    status, headers, body = get(base + "/status.json")
    assert status == 500 and body == b"snapshot failed: RuntimeError: station table\n"
    assert get(base + "/status.json")[0] == 200 and get(base + "/metrics")[0] == 200
    assert get(base + "/events")[::2] == (500, b"events failed: KeyError: 'x'\n")
    assert provider.calls == 3


def test_a_slow_snapshot_blocks_no_other_request(serve):
    release = threading.Event()

    def slow():
        release.wait(10)
        return {"time": iso(NOW)}

    base = serve(slow, lambda: [{"station": "A"}])
    waiting = threading.Thread(target=get, args=(base + "/status.json",))
    waiting.start()
    try:
        time.sleep(0.2)
        began = time.monotonic()
        assert get(base + "/")[0] == 200 and get(base + "/events")[0] == 200
        assert time.monotonic() - began < 2 and waiting.is_alive()
    finally:
        release.set()
        waiting.join(TIMEOUT)


def test_stop_is_quick_and_nothing_is_logged(capfd):
    server = MonitorServer("127.0.0.1", 0, realistic, list)
    server.start()
    base = "http://" + server.address
    assert get(base + "/metrics")[0] == 200 and get(base + "/missing")[0] == 404
    began = time.monotonic()
    server.stop()
    assert time.monotonic() - began < 1.0
    with pytest.raises(urllib.error.URLError):
        urllib.request.urlopen(base + "/", timeout=TIMEOUT)
    assert capfd.readouterr().err == ""


# ----------------------------------------------------------------------------------------------
# Metrics

# A sample line of the text format: a name, labels whose values hold only the three escapes, a value.
_LABEL = r'[a-z]+="([^"\\\n]|\\[\\"n])*"'
_SAMPLE = re.compile(rf'[a-z_][a-z0-9_]*(\{{{_LABEL}(,{_LABEL})*\}})? -?\d+(\.\d+)?(e-?\d+)?')


def families(text):
    from prometheus_client.parser import text_string_to_metric_families
    return {f.name: f for f in text_string_to_metric_families(text)}


def values(family):
    return {tuple(sorted(s.labels.items())): s.value for s in family.samples}


def test_metrics_read_by_prometheus(serve):
    pytest.importorskip("prometheus_client")
    snap = realistic()
    esbc = snap["stations"][1]
    esbc["station"] = BAD_NAME
    for e in snap["events"][2:] + esbc["open_events"]:
        e["station"] = BAD_NAME
    snap["stations"][0]["degradation_db"]["L2"] = float("nan")
    snap["stations"].append({**station("BUDP"), "satellites": 99})   # the same station again: left out
    snap["events"].append({**WIDEBAND, "station": "ONSA", "kind": "wideband", "start": iso(NOW)})
    status, headers, body = get(serve(lambda: snap) + "/metrics")
    assert status == 200 and headers["Content-Type"] == "text/plain; version=0.0.4; charset=utf-8"
    text = body.decode()
    assert text == metrics_text(snap)
    for line in text.splitlines():
        assert line.startswith(("# HELP tessora_cn0_", "# TYPE tessora_cn0_")) or _SAMPLE.fullmatch(line), line
    got = families(text)
    assert {name: f.type for name, f in got.items()} == {
        "tessora_cn0_degradation_db": "gauge", "tessora_cn0_cn0_dbhz": "gauge",
        "tessora_cn0_satellites_tracked": "gauge", "tessora_cn0_latency_seconds": "gauge",
        "tessora_cn0_stream_up": "gauge", "tessora_cn0_outages": "counter", "tessora_cn0_reconnects": "counter",
        "tessora_cn0_epochs": "counter", "tessora_cn0_events": "counter", "tessora_cn0_open_events": "gauge"}
    assert all(s.name == "tessora_cn0_outages_total" for s in got["tessora_cn0_outages"].samples)
    bad = (("station", BAD_NAME),)
    deg = values(got["tessora_cn0_degradation_db"])
    assert deg[(("band", "L1"),) + bad] == esbc["degradation_db"]["L1"] and deg[(("band", "L1"), ("station", "BUDP"))]
    assert (("band", "L2"), ("station", "BUDP")) not in deg   # NaN left out
    cn0 = values(got["tessora_cn0_cn0_dbhz"])
    assert cn0[(("band", "L5"),) + bad] == esbc["bands"]["L5"][-1][1]
    assert (("band", "L1"), ("station", "SPT0")) not in cn0   # its band has no CN0 at the latest epoch
    assert values(got["tessora_cn0_satellites_tracked"])[(("station", "BUDP"),)] == 31
    assert (("station", "GOPE"),) not in values(got["tessora_cn0_satellites_tracked"])
    assert (("station", "SPT0"),) not in values(got["tessora_cn0_latency_seconds"])
    up = values(got["tessora_cn0_stream_up"])
    assert {k[0][1]: v for k, v in up.items()} == {"BUDP": 1, BAD_NAME: 1, "ONSA": 1, "SPT0": 0, "GOPE": 0, "WTZR": 0}
    assert values(got["tessora_cn0_reconnects"])[(("station", "GOPE"),)] == 5
    assert values(got["tessora_cn0_epochs"])[(("station", "ONSA"),)] == 120
    events = values(got["tessora_cn0_events"])
    assert events[(("kind", "wideband"),) + bad] == 1 and events[(("kind", "band-limited"),) + bad] == 0
    assert events[(("kind", "band-limited"), ("station", "ONSA"))] == 1   # open and close lines: one event
    assert events[(("kind", "wideband"), ("station", "ONSA"))] == 1
    assert events[(("kind", "wideband"), ("station", "BUDP"))] == 0
    assert values(got["tessora_cn0_open_events"])[bad] == 1


def test_metrics_of_an_empty_or_odd_snapshot():
    pytest.importorskip("prometheus_client")
    for snap in ({}, {"stations": None, "events": None}, {"stations": ["x", {"station": None}, {"mount": "M0"}]}):
        got = families(metrics_text(snap))
        assert len(got) == 10 and all(not f.samples for name, f in got.items() if name != "tessora_cn0_events")
    assert {s.labels["station"] for s in got["tessora_cn0_events"].samples} == {"M0"}


# ----------------------------------------------------------------------------------------------
# The page in headless Chromium

CHROMIUM = shutil.which("chromium") or ("/usr/bin/chromium" if os.path.exists("/usr/bin/chromium") else None)


def chromium(tmp_path, url, *args, budget=4000):
    if CHROMIUM is None:
        pytest.skip("chromium is not installed")
    cmd = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
           "--disable-background-networking", f"--user-data-dir={tmp_path / 'profile'}",
           f"--virtual-time-budget={budget}", *args, url]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def shown(dom):
    """The page's document as drawn, without its style and script."""
    return dom[dom.index("<header>"):dom.index("<script>")]


def cards(dom):
    """(station, state) of the station cards, in the page's order."""
    return re.findall(r'<span class="name">(.*?)</span>.*?<span class="state [^"]*">(.*?)</span>', dom)


def test_page_renders_the_snapshot(serve, tmp_path):
    snap = realistic()
    snap["stations"].append(station('<img src=x onerror="alert(1)">', mount="<b>M</b>"))
    dom = chromium(tmp_path, serve(lambda: snap) + "/", "--dump-dom")
    assert cards(dom)[:5] == [("ESBC", "connected"), ("GOPE", "disconnected"), ("SPT0", "outage"),
                              ("WTZR", "corrupted"), ("&lt;img src=x onerror=\"alert(1)\"&gt;", "connected")]
    assert '<span id="conn" class="live">live</span>' in dom and "<img" not in dom and "<b>M</b>" not in dom
    assert re.search(r'class="card st-connected has-open">.*?ESBC.*?<div class="ev k-wideband"><b>wideband</b> '
                     r'since 07:04:03 · peak 8.4 dB at 07:08:03 · L1, L2, L5</div>', dom)
    assert dom.count("<polyline") >= 15 and "no CN0 in the last hour" in dom   # GOPE has no series
    assert "7 stations (1 disconnected, 1 outage, 1 corrupted, 4 connected)" in dom
    table = dom[dom.index("Recent events"):]
    assert table.index("ESBC") < table.index("ONSA") and "band-limited" in table


def test_page_follows_the_snapshot_without_reloading(serve, tmp_path):
    first = realistic()
    second = json.loads(json.dumps(first))
    second["stations"][3]["state"], second["stations"][1]["open_events"] = "connected", []
    provider = Provider(first, second)
    dom = chromium(tmp_path, serve(provider) + "/", "--dump-dom", budget=9000)
    assert provider.calls >= 3 and ("SPT0", "connected") in cards(dom) and "has-open" not in shown(dom)
    # A fetch that fails leaves the last snapshot on the page, marked: the page was not loaded again.
    provider = Provider(first, RuntimeError("down"))
    dom = chromium(tmp_path, serve(provider) + "/", "--dump-dom", budget=9000)
    assert provider.calls >= 3 and ("SPT0", "outage") in cards(dom) and '<span id="conn" class="lost"' in dom
    assert "connection lost" in dom
    provider = Provider(first, RuntimeError("down"), RuntimeError("down"), second)
    dom = chromium(tmp_path, serve(provider) + "/", "--dump-dom", budget=12000)
    assert provider.calls >= 4 and ("SPT0", "connected") in cards(dom) and '<span id="conn" class="live">' in dom


def test_page_screenshot(serve, tmp_path):
    image = pytest.importorskip("PIL.Image")
    png = tmp_path / "monitor.png"
    chromium(tmp_path, serve(realistic) + "/", f"--screenshot={png}", "--window-size=1400,900")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with image.open(png) as img:
        assert img.size == (1400, 900)
        colours = {rgb for _, rgb in img.convert("RGB").getcolors(1 << 24)}
    # The state badges and card edges (green, orange, red, purple) and the chart lines were drawn.
    for rgb in ((0x2c, 0xa0, 0x2c), (0xff, 0x7f, 0x0e), (0xd6, 0x27, 0x28), (0x94, 0x67, 0xbd)):
        assert rgb in colours, rgb
    assert len(colours) > 200
