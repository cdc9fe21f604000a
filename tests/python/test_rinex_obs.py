"""RinexObsData: properties, summaries and printed form, on files built here and on real files."""
import pytest

import tessora_cn0 as t
from conftest import data_path
from rinex_builder import f3, hl, v3_epoch, v3_header


def read(text, name="test.obs"):
    return t.read_rinex_obs_bytes(text.encode() if isinstance(text, str) else text, name)


def test_properties_and_repr():
    text = v3_header({"G": ["C1C", "S1C"], "E": ["S1C"]}, version="3.04", extra=hl("    30.000", "INTERVAL"))
    text += v3_epoch((2024, 3, 5, 7, 4, 0.0), {"G01": ["1.0", "45.0"], "E11": ["40.0"]})
    text += v3_epoch((2024, 3, 5, 7, 4, 30.0), {"G02": ["1.0", "45.0"]})
    r = read(text)
    assert r.version == 3.04
    assert r.interval == 30.0
    assert r.num_epochs == 2
    assert r.num_satellites == 3
    assert r.marker_name == "TEST"
    assert r.receiver_type == "TESTREC"
    assert repr(r) == "RinexObsData(version=3.04, epochs=2, satellites=3)"
    assert str(r) == repr(r)
    for attr in ("version", "interval", "num_epochs", "num_satellites", "marker_name", "receiver_type"):
        with pytest.raises(AttributeError):
            setattr(r, attr, 1)
    docs = {n: getattr(t.RinexObsData, n).__doc__ for n in
            ("version", "interval", "num_epochs", "num_satellites", "marker_name", "receiver_type")}
    assert docs == {"version": "Get RINEX version", "interval": "Get interval", "num_epochs": "Get number of epochs",
                    "num_satellites": "Get number of satellites", "marker_name": "Get marker name",
                    "receiver_type": "Get receiver type"}


def test_receiver_antenna_and_position_of_the_header(tmp_path):
    import pickle

    # REC # / TYPE / VERS: number, type and firmware in columns 1-20, 21-40, 41-60; ANT # / TYPE:
    # number, then type and radome in columns 21-40.
    ant = hl("CR5200327016        LEIAR25.R4      LEIT", "ANT # / TYPE")
    text = v3_header({"G": ["C1C", "S1C"]}, extra=ant)
    text += v3_epoch((2024, 3, 5, 7, 4, 0.0), {"G01": ["20000000.0", "45.0"]})
    r = read(text)
    assert (r.receiver_type, r.receiver_firmware, r.antenna_type) == ("TESTREC", "1.0", "LEIAR25.R4      LEIT")
    assert r.approx_position == (3582105.291, 532589.7313, 5232754.8054)
    assert read(v3_header({"G": ["S1C"]}, position=None)).approx_position is None
    r.to_rinex(str(tmp_path / "w.rnx"))
    for back in (t.read_rinex_obs(str(tmp_path / "w.rnx")), pickle.loads(pickle.dumps(r))):
        assert (back.receiver_type, back.receiver_firmware, back.antenna_type, back.approx_position) == \
            (r.receiver_type, r.receiver_firmware, r.antenna_type, r.approx_position)
    # RTCM 1033 carries the receiver's type and firmware and the antenna descriptor.
    rtcm = t.read_rtcm3(r.to_rtcm3()).obs
    assert (rtcm.receiver_type, rtcm.receiver_firmware, rtcm.antenna_type) == ("TESTREC", "1.0", "LEIAR25.R4      LEIT")
    for attr in ("receiver_firmware", "antenna_type", "approx_position"):
        with pytest.raises(AttributeError):
            setattr(r, attr, 1)


def test_method_docstrings():
    M = t.RinexObsData
    assert M.satellites_by_system.__text_signature__ == "($self)"
    assert M.satellites_by_system.__doc__ == ("Get satellites grouped by constellation system\n"
                                              "Returns dict like {'G': ['G01', 'G02', ...], 'R': ['R01', ...], ...}")
    assert M.obs_types_by_system.__doc__ == (
        "Get observation types by constellation system\n"
        "Returns dict like {'G': ['C1C', 'L1C', 'S1C', ...], 'C': ['C1I', 'L1I', 'S1I', ...], ...}")
    assert M.snr_availability.__doc__ == "Check if S (SNR) observations exist for each system"
    assert M.debug_info.__doc__ == "Get detailed debug info about parsing"
    assert M.snr_stats_by_satellite.__doc__ == ("Get SNR statistics per satellite\n"
                                                "Returns HashMap with satellite ID as key, stats dict as value")


def test_announced_versus_observed_systems():
    types = {s: ["C1C", "S1C"] for s in "GRECJ"}
    types["C"] = ["C2I"]
    text = v3_header(types) + v3_epoch((2024, 1, 1, 0, 0, 0.0), {"G05": ["1.0", "44.0"], "E12": ["1.0", "41.0"]})
    text += v3_epoch((2024, 1, 1, 0, 0, 30.0), {"E12": ["1.0", "42.0"], "G03": ["1.0", "40.0"]})
    r = read(text)
    assert r.obs_types_by_system() == types
    assert r.satellites_by_system() == {"G": ["G05", "G03"], "E": ["E12"]}
    assert r.snr_availability() == {"G": True, "R": True, "E": True, "C": False, "J": True}
    info = r.debug_info()
    assert info["C_snr_types"] == "" and info["C_obs_types_count"] == "1"
    assert "R_satellites" not in info and "R_sat_list" not in info and info["R_obs_types"] == "C1C,S1C"
    assert info["G_sat_list"] == "G05,G03" and info["G_satellites"] == "2"
    assert info["num_satellites"] == "3" and info["version"] == "3.04"


def test_rinex2_translation_and_version_text():
    text = hl("     2.11           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE")
    text += hl("     3    C1    L1    S1", "# / TYPES OF OBSERV") + hl("", "END OF HEADER")
    text += " 24  3  5  7  4  0.0000000  0  2G01R02\n" + f3("1.0") + f3("2.0") + f3("45.0") + "\n"
    text += f3("1.0") + f3("2.0") + f3("120.0") + "\n"
    r = read(text)
    assert r.obs_types_by_system() == {s: ["C1C", "L1C", "S1C"] for s in "GREC"}
    assert r.snr_availability() == {s: True for s in "GREC"}
    assert repr(r) == "RinexObsData(version=2.11, epochs=1, satellites=2)"
    stats = r.snr_stats_by_satellite()
    assert stats == {"G01": {"obs_count": 1.0, "valid_count": 1.0, "mean_snr": 45.0},
                     "R02": {"obs_count": 1.0, "valid_count": 0.0, "mean_snr": 0.0}}
    assert all(type(v) is float for d in stats.values() for v in d.values())


def test_no_version_record_reads_as_rinex2():
    text = hl("     2    C1    S1", "# / TYPES OF OBSERV") + hl("", "END OF HEADER")
    text += " 24  3  5  7  4  0.0000000  0  1G01\n" + f3("1.0") + f3("45.0") + "\n"
    r = read(text, "unknown.obs")
    assert r.version == 0.0 and r.num_epochs == 1
    assert repr(r).startswith("RinexObsData(version=0.00,")
    assert r.marker_name == "unknown.obs"


def test_invalid_utf8_never_fails():
    text = v3_header({"G": ["S1C"]}, marker="ST\xe9").encode("latin-1")
    r = read(text + b"> 2024 01 01 00 00  0.0000000  0  1\nG01" + f3("4\xff5.0").encode("latin-1") + b"\n")
    assert r.marker_name == "ST\ufffd"
    assert r.num_epochs == 0


REAL_FILES = [
    ("rinex/CRNX/V3/KMS300DNK_R_20221591000_01H_30S_MO.rnx", 4.0),
    ("rinex/CRNX/V3/DOUR00BEL_R_20200130000_01D_30S_MO.rnx", 3.04),
    ("georinex/ab430140.18o", 2.11),
    ("georinex/demo.10o", 2.11),
]


@pytest.mark.parametrize("rel,version", REAL_FILES)
def test_real_files_are_consistent(rel, version):
    path = data_path(rel)
    r = t.read_rinex_obs(str(path))
    assert r.version == version
    by_sys = r.satellites_by_system()
    assert sum(len(v) for v in by_sys.values()) == r.num_satellites
    assert all(all(s.startswith(k) and len(s) == 3 for s in v) for k, v in by_sys.items())
    info = r.debug_info()
    assert int(info["num_epochs"]) == r.num_epochs > 0
    stats = r.snr_stats_by_satellite()
    for sat, st in stats.items():
        assert st["valid_count"] <= st["obs_count"]
        if st["valid_count"]:
            assert 0.0 < st["mean_snr"] < 100.0
