"""to_rtcm3: a real multi-GNSS day (ESBC, 2020-06-25, with its navigation file) written as an RTCM 3
stream and read back: every observation within the message's resolution, pyrtcm's decoding of
every message, and the detector's verdict on the stream equal to its verdict on the file."""
import datetime
import io

import pytest

import tessora_cn0 as t
from conftest import data_path

OBS = "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"
NAV = "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"
# The largest difference each message keeps, by observation kind: half its unit (MSM7: ranges
# 2^-29 ms, phases 2^-31 ms, CN0 1/16 dB-Hz; MSM4: 2^-24 ms, 2^-29 ms, 1 dB-Hz), with the
# conversion of phase ranges to cycles and of range rates to Doppler.
TOLERANCE = {7: {"C": 3e-4, "L": 4e-4, "D": 3e-4, "S": 1 / 32}, 4: {"C": 9e-3, "L": 1.6e-3, "S": 0.5}}


@pytest.fixture(scope="module")
def day():
    return t.read_rinex_obs(str(data_path(OBS))), t.read_navigation(str(data_path(NAV)))


def long_table(obs):
    d = obs.observations().to_pandas()
    d["code"] = d.code.astype(str)
    return d.set_index(["time", "sv", "code"]).value


@pytest.mark.parametrize("msm", [7, 4])
def test_every_observation_comes_back_within_the_resolution(day, msm):
    obs, nav = day
    back = t.read_rtcm3(obs.to_rtcm3(nav, msm=msm))
    assert back.crc_failures == 0 and back.skipped_bytes == 0 and back.malformed == 0
    assert back.obs.num_epochs == obs.num_epochs and back.week_source == "ephemeris"
    a, b = long_table(obs), long_table(back.obs)
    # GLONASS L3 has no MSM signal number; MSM4 carries no Doppler.
    code, sv = a.index.get_level_values("code"), a.index.get_level_values("sv")
    keep = ~((sv.str[0] == "R") & (code.str[1] == "3"))
    if msm == 4:
        keep &= ~code.str.startswith("D")
    expected = a[keep]
    # A Doppler shift more than 1.6 m/s from the middle of its satellite's is beyond the fine
    # field of MSM7: a handful of noisy low-CN0 values.
    missing = set(expected.index) - set(b.index)
    assert not set(b.index) - set(expected.index)
    assert all(code.startswith("D") for _, _, code in missing) and len(missing) <= 1e-4 * len(expected)
    joined = expected.to_frame("rinex").join(b.to_frame("rtcm"), how="inner")
    difference = (joined.rinex - joined.rtcm).abs()
    for kind, limit in TOLERANCE[msm].items():
        worst = difference[joined.index.get_level_values("code").str.startswith(kind)].max()
        assert worst <= limit, (kind, worst)
    if msm == 7:  # ESBC's CN0 steps of 0.25 dB-Hz are multiples of 1/16: exact
        assert difference[joined.index.get_level_values("code").str.startswith("S")].max() == 0.0
    # The stream's ephemerides cover the file's satellites.
    assert repr(back.nav) == repr(nav)


def test_pyrtcm_decodes_every_message(day):
    pyrtcm = pytest.importorskip("pyrtcm")
    obs, nav = day
    for msm in (7, 4):
        stream = b"".join(data for _, data in obs._rtcm3_epochs(nav, msm, None, None)[:240])
        seen = {}
        for raw, parsed in pyrtcm.RTCMReader(io.BytesIO(stream), quitonerror=pyrtcm.ERR_RAISE):
            seen[parsed.identity] = seen.get(parsed.identity, 0) + 1
            if parsed.identity.endswith(str(msm)) and parsed.identity.startswith(("107", "108", "109", "110", "111", "112")):
                assert parsed.NCell > 0
        assert {"1005", "1033", "1019", "1020", "1042", "1046"} <= set(seen)
        assert {f"10{s}{msm}" for s in "789"} <= set(seen) and f"112{msm}" in seen


def test_arguments(day):
    obs, nav = day
    with pytest.raises(ValueError, match="msm must be 4 or 7"):
        obs.to_rtcm3(msm=5)
    with pytest.raises(TypeError):
        obs.to_rtcm3(nav, 7)  # msm is keyword-only
    with pytest.raises(TypeError, match="nav"):
        obs.to_rtcm3("not navigation data")
    # The per-epoch form picks epochs by the record's times, both ends included.
    first = datetime.datetime(2020, 6, 25, 10, 0)
    part = obs._rtcm3_epochs(None, 7, first, first + datetime.timedelta(minutes=5))
    assert [e[0] for e in part] == [first + datetime.timedelta(seconds=30 * k) for k in range(11)]
    assert b"".join(d for _, d in obs._rtcm3_epochs()) == obs.to_rtcm3()


def test_detector_finds_the_same_events_in_the_stream(day):
    obs, nav = day
    rec = t._inject_interference(obs, [
        dict(kind="jammer", start=10 * 3600.0, end=10 * 3600.0 + 600.0, db=8.0),
        dict(kind="jammer", start=15 * 3600.0, end=15 * 3600.0 + 1200.0, db=6.0, bands=["L1"]),
    ])
    on_file = t.detect_interference(rec, nav).events
    assert len(on_file) == 2
    for msm, peak_within in ((7, 0.2), (4, 1.0)):
        stream = t.read_rtcm3(rec.to_rtcm3(nav, msm=msm))
        on_stream = t.detect_interference(stream.obs, stream.nav).events
        assert len(on_stream) == len(on_file)
        for a, b in zip(on_file, on_stream):
            assert (a.bands, a.kind) == (b.bands, b.kind)
            assert abs(seconds(a.start) - seconds(b.start)) <= 30.0
            assert abs(a.peak_degradation_db - b.peak_degradation_db) <= peak_within


def seconds(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


def test_convbin_reads_the_stream_as_we_do(day, tmp_path):
    # RTKLIB's convbin turns two hours of the MSM7 stream into RINEX: the same signal strengths at
    # the same epochs and satellites as read_rtcm3 reads from the same bytes.
    import shutil
    import subprocess
    if shutil.which("convbin") is None:
        pytest.skip("RTKLIB's convbin is not installed")
    obs, nav = day
    start = datetime.datetime(2020, 6, 25, 6, 0)
    stream = b"".join(d for _, d in obs._rtcm3_epochs(nav, 7, start, start + datetime.timedelta(hours=2)))
    (tmp_path / "s.rtcm3").write_bytes(stream)
    subprocess.run(["convbin", "-r", "rtcm3", "-v", "3.04", "-tr", "2020/06/25", "06:00:00", "-od", "-os",
                    "-o", str(tmp_path / "s.obs"), str(tmp_path / "s.rtcm3")], check=True, capture_output=True, timeout=120)
    theirs = long_table(t.read_rinex_obs(str(tmp_path / "s.obs")))
    ours = long_table(t.read_rtcm3(stream).obs)
    theirs = theirs[theirs.index.get_level_values("code").str.startswith("S")]
    ours = ours[ours.index.get_level_values("code").str.startswith("S")]
    assert len(ours) > 20000 and set(theirs.index) == set(ours.index)
    joined = theirs.to_frame("convbin").join(ours.to_frame("ours"))
    assert (joined.convbin - joined.ours).abs().max() <= 0.001  # convbin writes three decimals
