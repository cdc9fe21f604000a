"""read_rtcm3: RTCM 3 recordings as records, from paths (compressed too) and bytes, the week's
source, damaged streams, errors, and the analyses taking the records. Real recordings from the
data folder's rtcm/ (skipped without it)."""
import bz2
import datetime
import gzip
import pickle

import pytest

import tessora_cn0 as t
from conftest import data_path

GMSD7 = "rtcm/GMSD7_20121014.rtcm3"  # MSM7 of GPS, GLONASS, QZSS and BeiDou, ephemerides, 257 epochs
TESTGLO = "rtcm/testglo.rtcm3"      # legacy 1004/1012 with 1005 and ephemerides


@pytest.fixture(scope="module")
def gmsd7():
    path = data_path(GMSD7)
    return str(path), path.read_bytes()


def test_recording_from_path_and_bytes(gmsd7, tmp_path):
    path, data = gmsd7
    rec = t.read_rtcm3(path)
    assert isinstance(rec, t.RtcmRecording) and isinstance(rec.obs, t.RinexObsData)
    assert rec.obs.num_epochs == 257 and isinstance(rec.nav, t.NavigationData)
    assert {1077, 1087, 1117, 1127, 1019, 1020} <= set(rec.message_counts)
    assert rec.week_source == "ephemeris" and rec.crc_failures == 0
    assert set(rec.obs.satellites_by_system()) == {"C", "G", "J", "R"}
    # The CN0 of MSM7 carries 1/16 dB-Hz.
    s1c = rec.obs.observations().to_pandas()
    s1c = s1c[s1c.code.astype(str) == "S1C"]["value"]
    assert len(s1c) > 1000 and ((s1c * 16).round() == s1c * 16).all()
    # Bytes give the same record; a compressed copy is recognised by its content.
    same = t.read_rtcm3(data, date=datetime.date(2012, 10, 14))
    assert same.week_source == "date" and same.obs.num_epochs == 257
    packed = tmp_path / "gmsd7.bin"
    packed.write_bytes(gzip.compress(data))
    table = same.obs.observations().to_pandas()
    assert t.read_rtcm3(str(packed), date="2012-10-14").obs.observations().to_pandas().equals(table)
    again = pickle.loads(pickle.dumps(same))
    assert again.obs.observations().to_pandas().equals(table) and again.message_counts == same.message_counts
    assert repr(same).startswith("RtcmRecording(epochs=257, messages=")


def test_damaged_streams_are_skipped_and_counted(gmsd7):
    _, data = gmsd7
    clean = t.read_rtcm3(data, date="2012-10-14")
    # Garbage between frames, a cut frame at the end and flipped bits in the middle.
    middle = len(data) // 2
    flipped = bytearray(data)
    for k in range(middle, middle + 40, 7):
        flipped[k] ^= 0x10
    damaged = b"\xd3\x00\x13garbage" + bytes(flipped) + data[:200]
    rec = t.read_rtcm3(damaged, date="2012-10-14")
    assert rec.skipped_bytes > clean.skipped_bytes and rec.crc_failures >= 1
    # What was lost is whole messages: every epoch kept is one of the clean stream's.
    assert set(rec.obs.observations().to_pandas().time) <= set(clean.obs.observations().to_pandas().time)
    assert 200 < rec.obs.num_epochs <= 257
    noise = t.read_rtcm3(bytes(range(256)) * 64)
    assert noise.obs.num_epochs == 0 and noise.nav is None and noise.skipped_bytes == 256 * 64


def test_errors():
    with pytest.raises(OSError, match="^Cannot read RTCM 3 file: "):
        t.read_rtcm3("/nonexistent/stream.rtcm3")
    with pytest.raises(TypeError, match="argument 'source'"):
        t.read_rtcm3(3)
    with pytest.raises(TypeError, match="argument 'date'"):
        t.read_rtcm3(b"", date=20121014)
    for bad in ("2012-13-01", "2012-02-30", "12-10-14", "1979-12-31"):
        with pytest.raises(ValueError, match="date must be"):
            t.read_rtcm3(b"", date=bad)
    packed = gzip.compress(b"\xd3" * 1000)
    with pytest.raises(ValueError, match="^gzip: corrupt data .* at byte offset 11$"):
        t.read_rtcm3(packed[:10] + b"\xff" * 40 + packed[50:])


def test_analyses_take_the_records():
    # The stream's own ephemerides and reference position give the satellites' elevations: the
    # analysis predicts visibility and the detector sets CN0 against its template.
    rec = t.read_rtcm3(str(data_path(TESTGLO)))
    assert rec.nav is not None and {1005, 1019, 1020} <= set(rec.message_counts)
    analyzer = t.CN0Analyzer.from_obs(rec.obs)
    analyzer.set_navigation(rec.nav)
    analysis = analyzer.analyze()
    assert analysis.has_visibility_prediction and analysis.visibility_confirmation_rate > 0.5
    report = t.detect_interference(rec.obs, rec.nav)
    assert report.reason == "" and report.mode in ("elevation", "mixed") and report.events == []


def test_command_line_recognises_recordings_by_content(tmp_path):
    import csv
    import subprocess
    import sys

    def run(*args):
        return subprocess.run([sys.executable, "-m", "tessora_cn0", *map(str, args)], capture_output=True,
                              text=True, timeout=120)

    plain = data_path(TESTGLO)
    packed = tmp_path / "testglo.bin"  # no telling name: the content says what it is
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    info = run("info", packed)
    assert info.returncode == 0, info.stderr
    assert "RTCM 3        186x1004, 19x1005, 186x1012, 19x1019, 19x1020" in info.stdout
    assert "week from the ephemeris; ephemerides yes" in info.stdout and "epochs        186" in info.stdout
    # report and batch judge it with the stream's own ephemerides, as a RINEX day with its nav.
    report = run("report", packed)
    assert report.returncode == 0, report.stderr
    assert report.stdout.startswith("Interference: none found (elevation template")
    rows = tmp_path / "rows.csv"
    batch = run("batch", plain, packed, "--csv", rows)
    assert batch.returncode == 0, batch.stderr
    graded = list(csv.DictReader(open(rows)))
    assert [r["error"] for r in graded] == ["", ""] and graded[0]["grade"] == graded[1]["grade"] != ""
    # bzip2 and Unix compress are not inflated for a look at the head: recognised once RINEX fails.
    from lzw_writer import lzw_compress
    for name, content in (("testglo.bz2", bz2.compress(plain.read_bytes())), ("testglo.Z", lzw_compress(plain.read_bytes()))):
        (tmp_path / name).write_bytes(content)
        report = run("report", tmp_path / name)
        assert report.returncode == 0 and report.stdout.startswith("Interference: none found (elevation template"), name
