"""tessora-cn0 replay: a recording sent again as a paced RTCM 3 stream, into a file or to TCP clients
(read back by this package's decoder and by RTKLIB's str2str), run as a separate process."""
import pathlib
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

import tessora_cn0 as t
from conftest import data_path

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample"
OBS = SAMPLE / "SMPL00DNK_R_20240650700_01H_30S_MO.rnx"   # 120 epochs, 30 s apart, from 07:00:00
NAV = SAMPLE / "SMPL00DNK_R_20240650700_01H_MN.rnx"
FAST, TIMEOUT = "1e6", 30


def replay(*args):
    return subprocess.run([sys.executable, "-m", "tessora_cn0", "replay", *map(str, args)], capture_output=True,
                          timeout=TIMEOUT)


def serve(*args):
    """The replay process serving on a free port, and that port (from its stderr line)."""
    proc = subprocess.Popen([sys.executable, "-m", "tessora_cn0", "replay", str(OBS), "--nav", str(NAV), *args,
                             "--tcp", "127.0.0.1:0"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    ready = select.select([proc.stderr], [], [], TIMEOUT)[0]
    line = proc.stderr.readline().decode() if ready else ""
    found = re.fullmatch(r"tessora-cn0 replay: serving on 127\.0\.0\.1:(\d+)\n", line)
    if not found:
        proc.kill()
    assert found, line
    return proc, int(found.group(1))


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)


def read_all(sock):
    with sock:
        return b"".join(iter(lambda: sock.recv(65536), b""))


@pytest.fixture(scope="module")
def epochs():
    return t.read_rinex_obs(str(OBS))._rtcm3_epochs(nav=t.read_navigation(str(NAV)))


def first_epoch(received, epochs):
    """k where received is epochs[k:] joined (whole epochs up to the last); None otherwise."""
    starts = {sum(len(data) for _, data in epochs[:k]): k for k in range(len(epochs) + 1)}
    full = b"".join(data for _, data in epochs)
    return starts.get(len(full) - len(received)) if full.endswith(received) else None


def times_of(stream):
    table = t.read_rtcm3(stream, date="2024-03-05").obs.observations().to_arrow()
    return sorted(set(table.column("time").to_pylist()))


def cn0(rec):
    rows = rec.observations().to_arrow().to_pylist()
    return {(r["time"], r["sv"], r["code"]): r["value"] for r in rows if r["code"].startswith("S")}


def test_file_stdout_and_time_span(tmp_path, epochs):
    out, rec, nav = tmp_path / "s.rtcm3", t.read_rinex_obs(str(OBS)), t.read_navigation(str(NAV))
    assert replay(OBS, "--nav", NAV, "--speed", FAST, "--out", out).returncode == 0
    whole = rec.to_rtcm3(nav)
    assert out.read_bytes() == whole == b"".join(data for _, data in epochs)
    assert replay(OBS, "--nav", NAV, "--speed", FAST, "--out", "-").stdout == whole
    assert times_of(str(out)) == [when for when, _ in epochs] and len(epochs) == rec.num_epochs
    got, want = cn0(t.read_rtcm3(str(out), date="2024-03-05").obs), cn0(rec)   # MSM7: to 1/16 dB-Hz
    assert got.keys() == want.keys() and max(abs(got[k] - want[k]) for k in want) <= 1 / 32 + 1e-9
    msm4 = replay(OBS, "--msm", "4", "--speed", FAST, "--out", "-").stdout
    assert msm4 == rec.to_rtcm3(msm=4) != rec.to_rtcm3() and times_of(msm4) == times_of(whole)
    # --from and --until are both included.
    first, last = epochs[10][0], epochs[29][0]
    proc = replay(OBS, "--nav", NAV, "--speed", FAST, "--from", first.isoformat(), "--until", last.isoformat(),
                  "--out", "-")
    assert times_of(proc.stdout) == [when for when, _ in epochs[10:30]] and b"20 of 20 epochs" in proc.stderr
    assert proc.stdout == b"".join(data for _, data in rec._rtcm3_epochs(nav=nav, start=first, end=last))
    empty = replay(OBS, "--from", "2030-01-01T00:00:00", "--out", out)
    assert empty.returncode == 1
    assert empty.stderr.decode() == f"tessora-cn0: {OBS}: no epoch in the selected time span\n"


def test_pacing_keeps_the_gaps(tmp_path):
    # 20 epochs, 07:10:00 to 07:34:30 without 07:15:00-07:29:30: 1470 s of recording, 1 s at this speed
    # (0.4 s if the gap were closed up).
    head, body = OBS.read_text().split("END OF HEADER\n")
    epochs = ["> " + e for e in body.split("> ")[1:] if not "2024 03 05 07 15" <= e[:16] <= "2024 03 05 07 29"]
    gapped = tmp_path / "gapped.rnx"
    gapped.write_text(head + "END OF HEADER\n" + "".join(epochs))
    elapsed = []
    for speed in (FAST, "1470"):
        began = time.monotonic()
        assert replay(gapped, "--from", "2024-03-05T07:10", "--until", "2024-03-05T07:34:30", "--speed", speed,
                      "--out", tmp_path / speed).returncode == 0
        elapsed.append(time.monotonic() - began)
    assert 0.7 <= elapsed[1] - elapsed[0] <= 3.0, elapsed
    assert (tmp_path / "1470").read_bytes() == (tmp_path / FAST).read_bytes()
    assert len(times_of((tmp_path / "1470").read_bytes())) == 20


def test_tcp_clients_join_and_leave(epochs):
    proc, port = serve("--speed", "900")   # 120 epochs in 4 s, started without waiting for clients
    try:
        early, idle = connect(port), connect(port)   # idle reads nothing until the replay has ended
        connect(port).close()                        # gone at once
        time.sleep(1.5)
        late = connect(port)
        got_early, got_late = read_all(early), read_all(late)
        assert proc.wait(TIMEOUT) == 0
        got_idle = read_all(idle)
    finally:
        proc.kill()
    k_early, k_late, k_idle = (first_epoch(got, epochs) for got in (got_early, got_late, got_idle))
    assert None not in (k_early, k_late, k_idle) and k_early < 30 and k_idle < 30, (k_early, k_idle)
    assert k_early + 20 < k_late < len(epochs) - 20, (k_early, k_late)
    late_rec = t.read_rtcm3(got_late, date="2024-03-05")
    assert times_of(got_late) == [when for when, _ in epochs[k_late:]]
    assert 1005 in late_rec.message_counts and late_rec.crc_failures == late_rec.skipped_bytes == 0
    assert "to 4 clients" in proc.stderr.read().decode()


@pytest.mark.skipif(shutil.which("str2str") is None, reason="RTKLIB's str2str is not installed")
def test_str2str_relays_the_stream(tmp_path, epochs):
    relayed, relay = tmp_path / "relay.rtcm3", None
    proc, port = serve("--speed", "900")
    try:
        relay = subprocess.Popen(["str2str", "-in", f"tcpcli://127.0.0.1:{port}", "-out", f"file://{relayed}"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert proc.wait(TIMEOUT) == 0
        relay.send_signal(signal.SIGINT)   # str2str closes its streams on SIGINT
        relay.wait(TIMEOUT)
    finally:
        proc.kill()
        if relay is not None:
            relay.kill()
    k = first_epoch(relayed.read_bytes(), epochs)
    assert k is not None and k < len(epochs) - 30, k
    assert times_of(relayed.read_bytes()) == [when for when, _ in epochs[k:]]


def test_signals_stop_cleanly(tmp_path, epochs):
    out = tmp_path / "s.rtcm3"
    proc = subprocess.Popen([sys.executable, "-m", "tessora_cn0", "replay", str(OBS), "--nav", str(NAV),
                             "--out", str(out)], stderr=subprocess.DEVNULL)   # the recording's pace: an hour
    try:
        deadline = time.monotonic() + TIMEOUT
        while not (out.exists() and out.stat().st_size) and time.monotonic() < deadline:
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(TIMEOUT) == 0 and out.read_bytes() == epochs[0][1]   # the first epoch, whole
    finally:
        proc.kill()
    proc, port = serve()
    try:
        client = connect(port)
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(TIMEOUT) == 130
        assert read_all(client) in (b"", epochs[0][1])   # closed, not left hanging
    finally:
        proc.kill()


def test_bad_arguments_and_files(tmp_path):
    out = ("--out", tmp_path / "x")
    for args in (("--speed", "0", *out), ("--speed", "-1", *out), ("--from", "07:00 today", *out),
                 ("--tcp", "localhost"), ("--tcp", "127.0.0.1:70000"), ("--msm", "5", *out), ()):
        proc = replay(OBS, *args)
        assert proc.returncode == 2 and b"tessora-cn0 replay: error: " in proc.stderr, (args, proc.stderr)
    missing = tmp_path / "missing.rnx"
    proc = replay(missing, *out)
    assert proc.returncode == 1
    assert proc.stderr.decode() == f"tessora-cn0: {missing}: No such file or directory (os error 2)\n"
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        proc = replay(OBS, "--tcp", f"127.0.0.1:{port}")
    assert proc.returncode == 1 and proc.stderr.decode() == f"tessora-cn0: 127.0.0.1:{port}: Address already in use\n"


def test_rtcm_recording_replays_with_its_own_ephemerides():
    path = str(data_path("rtcm/GMSD7_20121014.rtcm3"))
    proc = replay(path, "--speed", FAST, "--out", "-")
    original, again = t.read_rtcm3(path, date="2012-10-14"), t.read_rtcm3(proc.stdout, date="2012-10-14")
    assert again.obs.num_epochs == original.obs.num_epochs and again.nav is not None
    assert again.message_counts.keys() & {1019, 1020}
