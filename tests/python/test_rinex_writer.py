"""RinexObsData.to_rinex: every real observation file that RINEX 3 can hold reads back as the same
record (observations, indicators, header facts), through every output encoding, and the
independent Hatanaka decompressor reads the compact files it writes."""
import csv
import gzip
import re

import numpy as np
import pytest

import tessora_cn0 as t
from conftest import DATA_DIR
from rinex_builder import f3, hl, v3_epoch, v3_header

try:
    import hatanaka
except ImportError:  # the writer's own round trips still run
    hatanaka = None

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")

ENCODINGS = [".rnx", ".rnx.gz", ".crx", ".crx.gz"]
# Codes the writer renames; any other code that is not three characters is refused.
RENAMED = {"D1": "D1C", "D2": "D2C", "D5": "D5Q"}
# Files of more epochs are written in one encoding only (rotating through them), which keeps the
# whole run to a few dozen seconds.
LARGE_EPOCHS = 1000


def undefined_flags(features):
    """Whether a manifest row's features name an epoch flag RINEX does not define (7 and above)."""
    m = re.search(r"epoch flags ([\d:,]+)", features or "")
    return bool(m) and any(int(f.split(":")[0]) > 6 for f in m.group(1).split(","))


def observation_files():
    rows = []
    for manifest, column, keep in (
        ("MANIFEST.tsv", "obs_path", lambda r: True),
        ("compressed/MANIFEST.tsv", "compressed_path",  # the plain copies are in the first list
         lambda r: r["plain_copy_in_this_folder"] == "-" and not re.search(r"(_MN|NAV/|n\.gz$|brdc)", r["compressed_path"])),
        ("stations/MANIFEST.tsv", "path", lambda r: r["kind"] == "obs"),
    ):
        path = DATA_DIR / manifest
        if not path.exists():
            continue
        prefix = str(path.parent.relative_to(DATA_DIR))
        with open(path, newline="") as f:
            rows += [((prefix + "/" + r[column]).lstrip("./"), undefined_flags(r.get("features")))
                     for r in csv.DictReader(f, delimiter="\t") if keep(r)]
    return rows


FILES = observation_files()


def expected_refusals(obs, undefined_flag=False):
    """Patterns of the messages to_rinex may give for a record RINEX 3 cannot hold: the first code
    without a RINEX 3 name in a system's list, for any system that has one, or an epoch flag
    RINEX does not define. Empty when the record can be held."""
    out = []
    for system, codes in obs.obs_types_by_system().items():
        bad = [c for c in codes if len(c) != 3 and c not in RENAMED]
        if bad:
            out.append(re.escape(f"Cannot write obs file: observation code '{bad[0]}' of system {system} "
                                 "has no RINEX 3 equivalent"))
    if undefined_flag:
        out.append(r"Cannot write obs file: the epoch \S+ has the flag [7-9], which RINEX does not define \(0 to 6\)")
    return out


def comparable(obs, renamed=False):
    """The observations as plain arrays: codes renamed as the writer names them, values rounded to
    the three decimals of the F14.3 field."""
    tab = obs.observations().to_arrow()
    code = pc.cast(tab["code"], pa.string()).to_numpy(zero_copy_only=False).astype(object)
    if renamed:
        for old, new in RENAMED.items():
            code[code == old] = new
    value = tab["value"].to_numpy()
    off = np.round(value * 1000) / 1000 != value
    value = value.copy()
    value[off] = [float(f"{v:.3f}") for v in value[off]]
    return {
        "time": tab["time"].to_numpy(),
        "sv": pc.cast(tab["sv"], pa.string()).to_numpy(zero_copy_only=False),
        "code": code,
        "value": value,
        "lli": tab["lli"].fill_null(255).to_numpy(),
        "ssi": tab["ssi"].fill_null(255).to_numpy(),
    }


def header_facts(obs):
    meta = obs.observations().metadata
    return {k: v for k, v in meta.items() if k not in ("version", "filename", "layout")}


def expect_same_record(original, back):
    assert back.version == 3.05
    assert header_facts(back) == header_facts(original)
    assert back.num_epochs == original.num_epochs
    assert back.satellites_by_system() == original.satellites_by_system()
    types = {s: [RENAMED.get(c, c) for c in codes] for s, codes in original.obs_types_by_system().items()}
    made_up = {s: codes for s, codes in back.obs_types_by_system().items() if s not in types}
    # Systems with satellites but no types (RINEX 2 reads them with the GPS list) get lists of their own.
    assert set(made_up) == set(original.satellites_by_system()) - set(types)
    assert {s: c for s, c in back.obs_types_by_system().items() if s in types} == types
    a, b = comparable(original, renamed=True), comparable(back)
    for key in a:
        np.testing.assert_array_equal(b[key], a[key], err_msg=key)


@pytest.mark.parametrize("index", range(len(FILES)), ids=lambda i: FILES[i][0])
def test_real_files_read_back_as_the_same_record(index, tmp_path):
    name, undefined_flag = FILES[index]
    original = t.read_rinex_obs(str(DATA_DIR / name))
    refusals = expected_refusals(original, undefined_flag)
    if refusals:
        with pytest.raises(ValueError) as e:
            original.to_rinex(str(tmp_path / "out.rnx"))
        assert any(re.fullmatch(p, str(e.value)) for p in refusals), str(e.value)
        assert not (tmp_path / "out.rnx").exists()
        return
    # Day files in one encoding each, rotating through them.
    small = original.num_epochs <= LARGE_EPOCHS
    for ending in ENCODINGS if small else [ENCODINGS[index % 4]]:
        out = str(tmp_path / ("out" + ending))
        original.to_rinex(out)
        expect_same_record(original, t.read_rinex_obs(out))
    if small and hatanaka:  # the reference decompressor restores the same record
        expanded = hatanaka.crx2rnx((tmp_path / "out.crx").read_bytes())
        expect_same_record(original, t.read_rinex_obs_bytes(expanded, "out.rnx"))


@pytest.mark.parametrize("name", ["gnsstk-data/mixed211.05o", "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"])
def test_the_reference_tools_read_and_write_alike(name, tmp_path):
    if hatanaka is None:
        pytest.skip("hatanaka is not installed")
    path = DATA_DIR / name
    if not path.exists():
        pytest.skip(f"real data file not available: {name}")
    original = t.read_rinex_obs(str(path))
    original.to_rinex(str(tmp_path / "a.crx"))
    original.to_rinex(str(tmp_path / "a.rnx"))
    original.to_rinex(str(tmp_path / "a.crx.gz"))
    expanded = hatanaka.crx2rnx((tmp_path / "a.crx").read_bytes())
    expect_same_record(original, t.read_rinex_obs_bytes(expanded, "a.rnx"))
    # The same text but the date in PGM / RUN BY / DATE (the second line).
    unpacked = hatanaka.decompress((tmp_path / "a.crx.gz").read_bytes()).split(b"\n")
    assert unpacked[:1] + unpacked[2:] == expanded.split(b"\n")[:1] + expanded.split(b"\n")[2:]
    if "ESBC" in name:
        # The reference compressor takes the plain text. (It copies cycle-slip epochs, flag 6, as
        # they stand, which the project's decoder does not follow: not for mixed211.05o.)
        crx = hatanaka.rnx2crx((tmp_path / "a.rnx").read_bytes())
        expect_same_record(original, t.read_rinex_obs_bytes(crx, "b"))


SMALL = (v3_header({"G": ["C1C", "L1C", "S1C"], "E": ["C1C", "S1C"]}, extra=hl("    30.000", "INTERVAL"))
         + v3_epoch((2024, 3, 5, 7, 4, 0.0), {"G01": [f3("20000000.123", "1", "7"), "", f3("45.25", " ", "8")],
                                              "E11": ["", f3("-0.004")]})
         + v3_epoch((2024, 3, 5, 7, 4, 30.0), {"G01": ["20000300.5", "-1.25", "45.5"]}, flag=6)).encode()


def test_small_record_written_as_the_format_lays_it_out(tmp_path):
    obs = t.read_rinex_obs_bytes(SMALL, "small.obs")
    obs.to_rinex(str(tmp_path / "small.rnx"))
    text = (tmp_path / "small.rnx").read_text()
    header, data = text.split("END OF HEADER\n")
    assert header.startswith("     3.05           OBSERVATION DATA    M")
    assert "G    3 C1C L1C S1C" in header and "    30.000" in header
    assert data.splitlines() == [
        "> 2024 03 05 07 04  0.0000000  0  2",
        "G01" + f3("20000000.123", "1", "7") + f3("") + f3("45.250", " ", "8"),
        "E11" + f3("") + f3("-0.004").rstrip(),
        "> 2024 03 05 07 04 30.0000000  6  1",
        "G01" + f3("20000300.500") + f3("-1.250") + f3("45.500").rstrip(),
    ]
    obs.to_rinex(str(tmp_path / "small.rnx.gz"))
    unpacked = gzip.decompress((tmp_path / "small.rnx.gz").read_bytes()).decode()
    # The same text but the date in PGM / RUN BY / DATE.
    assert unpacked.split("\n", 2)[2] == text.split("\n", 2)[2]


def test_errors(tmp_path):
    obs = t.read_rinex_obs_bytes(SMALL, "small.obs")
    with pytest.raises(OSError, match=r"^Cannot write obs file: No such file or directory \(os error 2\)$"):
        obs.to_rinex(str(tmp_path / "missing" / "a.rnx"))
    with pytest.raises(OSError, match=r"Is a directory"):
        obs.to_rinex(str(tmp_path))
    with pytest.raises(TypeError):
        obs.to_rinex(5)
    with pytest.raises(TypeError):
        obs.to_rinex()
    v2 = (hl("     2.11           OBSERVATION DATA    M", "RINEX VERSION / TYPE")
          + hl("     2    C1    S7", "# / TYPES OF OBSERV") + hl("", "END OF HEADER")
          + " 20  6 25  0  0  0.0000000  0  1G01\n" + f3("20000000.123") + f3("41.0") + "\n").encode()
    with pytest.raises(ValueError, match="^Cannot write obs file: observation code 'S7' of system G has no RINEX 3"):
        t.read_rinex_obs_bytes(v2, "x.obs").to_rinex(str(tmp_path / "x.rnx"))
    assert not (tmp_path / "x.rnx").exists()
