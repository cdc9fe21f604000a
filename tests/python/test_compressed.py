"""Compressed input: every reading entry point takes gzip, bzip2, Unix compress and Hatanaka
content, recognised from the bytes and never from the file name, and gives exactly what the
expanded text gives."""
import bz2
import csv
import gzip
import json
import random

import pytest

import tessora_cn0 as t
from analysis_files import flat_file
from conftest import DATA_DIR, data_path
from lzw_writer import lzw_compress
from rinex_builder import hl
from test_navigation import header, kepler_v3

OBS = flat_file(n_epochs=30, drop_at=12, drop_sats=("G01", "E11"))
NAV = header() + kepler_v3("G01") + kepler_v3("E11")

ENCODINGS = {
    "plain": lambda b: b,
    "gzip": gzip.compress,
    "gzip, two members": lambda b: gzip.compress(b[:1000]) + gzip.compress(b[1000:]),
    "bzip2": bz2.compress,
    "compress": lzw_compress,
    "gzip of bzip2": lambda b: gzip.compress(bz2.compress(b)),
}
# Names that say nothing true about the content.
MISLEADING = {"plain": "site.obs.gz", "gzip": "site.rnx", "gzip, two members": "site.21o.Z", "bzip2": "site.crx",
              "compress": "site.obs", "gzip of bzip2": "site.bz2"}


def views(obs):
    return (repr(obs), obs.debug_info(), obs.snr_stats_by_satellite(), obs.satellites_by_system(),
            obs.obs_types_by_system(), obs.marker_name, obs.interval)


@pytest.fixture(scope="module")
def plain_results(tmp_path_factory):
    d = tmp_path_factory.mktemp("plain")
    (d / "a.obs").write_bytes(OBS)
    (d / "a.nav").write_bytes(NAV)
    return {
        "obs": views(t.read_rinex_obs(str(d / "a.obs"))),
        "nav": repr(t.read_navigation(str(d / "a.nav"))),
        "analysis": t.analyze_cn0(str(d / "a.obs"), str(d / "a.nav")).to_json(),
        "analysis_without_nav": t.analyze_cn0(str(d / "a.obs")).to_json(),
    }


@pytest.mark.parametrize("encoding", list(ENCODINGS))
def test_every_entry_point_reads_every_encoding(encoding, tmp_path, plain_results):
    encode = ENCODINGS[encoding]
    obs_bytes, nav_bytes = encode(OBS), encode(NAV)
    obs_path, nav_path = tmp_path / MISLEADING[encoding], tmp_path / ("n" + MISLEADING[encoding])
    obs_path.write_bytes(obs_bytes)
    nav_path.write_bytes(nav_bytes)

    # The station name falls back to the file name only when the header has none, and this one has.
    assert views(t.read_rinex_obs(str(obs_path))) == plain_results["obs"]
    assert views(t.read_rinex_obs_bytes(obs_bytes, "x")) == plain_results["obs"]
    assert views(t.parse_rinex(obs_bytes, "x")) == plain_results["obs"]
    assert repr(t.read_navigation(str(nav_path))) == plain_results["nav"]
    assert repr(t.read_navigation_bytes(nav_bytes)) == plain_results["nav"]

    assert t.analyze_cn0(str(obs_path), str(nav_path)).to_json() == plain_results["analysis"]
    assert t.analyze_cn0(str(obs_path)).to_json() == plain_results["analysis_without_nav"]
    analyzer = t.CN0Analyzer(t.AnalysisConfig(time_bin_seconds=60, anomaly_sensitivity=0.0, nav_file=str(nav_path)))
    assert analyzer.analyze_file(str(obs_path)).to_json() == plain_results["analysis"]
    assert analyzer.analyze_with_nav(str(obs_path), str(nav_path)).to_json() == plain_results["analysis"]


def test_hatanaka_content_alone_or_compressed(tmp_path, plain_results):
    hatanaka = pytest.importorskip("hatanaka")
    crx = hatanaka.compress(OBS, compression="none")
    assert crx.startswith(b"3.0 ") and b"CRINEX VERS" in crx.split(b"\n")[0]
    for content in (crx, gzip.compress(crx), bz2.compress(crx), lzw_compress(crx)):
        path = tmp_path / "site.obs"
        path.write_bytes(content)
        assert views(t.read_rinex_obs(str(path))) == plain_results["obs"]
        assert views(t.read_rinex_obs_bytes(content, "x")) == plain_results["obs"]
        assert t.analyze_cn0(str(path), None).to_json() == plain_results["analysis_without_nav"]


def test_damaged_content_is_a_clear_value_error(tmp_path):
    z = gzip.compress(OBS)
    cut = z[:-20]
    with pytest.raises(ValueError) as e:
        t.read_rinex_obs_bytes(cut, "x")
    assert str(e.value) == ("gzip: truncated stream: the data end before the end of the compressed stream "
                            f"at byte offset {len(cut)}")
    path = tmp_path / "cut.gz"
    path.write_bytes(cut)
    for call in (lambda: t.read_rinex_obs(str(path)), lambda: t.analyze_cn0(str(path)),
                 lambda: t.CN0Analyzer(t.AnalysisConfig()).analyze_file(str(path)),
                 lambda: t.read_navigation(str(path)), lambda: t.analyze_cn0(str(tmp_path / "ok.obs"), str(path))):
        (tmp_path / "ok.obs").write_bytes(OBS)
        with pytest.raises(ValueError, match=r"^gzip: truncated stream: .* at byte offset \d+$"):
            call()

    flipped = bytearray(bz2.compress(OBS))
    flipped[len(flipped) // 2] ^= 0x08
    with pytest.raises(ValueError, match=r"^bzip2: corrupt data .*at byte offset \d+$"):
        t.read_navigation_bytes(bytes(flipped))
    with pytest.raises(ValueError, match=r"^gzip: unexpected data after the end of the compressed stream at byte offset "):
        t.parse_rinex(z + b"trailing text", "x")
    with pytest.raises(ValueError, match=r"^compress \(\.Z\): the content ends inside a line \(a truncated file\?\)"):
        t.read_rinex_obs_bytes(lzw_compress(OBS[:-7]), "x")

    # A compact file whose data lines break the format.
    crx = (hl("3.0                 COMPACT RINEX FORMAT", "CRINEX VERS   / TYPE")
           + hl("RNX2CRX ver.4.1.0                       25-Jul-22 10:40", "CRINEX PROG / DATE")
           + OBS.decode().split("END OF HEADER\n")[0] + "END OF HEADER\n"
           + "> 2024 03 05 07 00  0.0000000  0  1".ljust(41) + "G01\n\n3&21000000000 3&45x00\n")
    with pytest.raises(ValueError) as e:
        t.read_rinex_obs_bytes(gzip.compress(crx.encode()), "x")
    assert str(e.value).startswith("Hatanaka CRINEX 3.0 (inside gzip): invalid observation field '3&45x00' at line ")


def test_content_that_only_resembles_a_signature_is_plain():
    # Too short to be a signature: plain text, and the reader reports what it lacks.
    for content in (b"\x1f", b"BZh", b"BZhx rest"):
        with pytest.raises(ValueError, match="^No END OF HEADER found$"):
            t.read_rinex_obs_bytes(content, "x")
    # Decoded content is read by the same reader, with the same message.
    with pytest.raises(ValueError, match="^No END OF HEADER found$"):
        t.read_rinex_obs_bytes(gzip.compress(b"not rinex at all\n"), "x")


def manifest_rows():
    path = DATA_DIR / "compressed" / "MANIFEST.tsv"
    if not path.exists():
        return []
    with open(path, newline="") as f:
        return [r for r in csv.DictReader(f, delimiter="\t") if r["plain_copy_in_this_folder"] != "-"]


@pytest.mark.parametrize("row", manifest_rows(), ids=lambda r: r["compressed_path"])
def test_real_compressed_files_read_like_their_plain_copies(row):
    compressed = str(data_path("compressed/" + row["compressed_path"]))
    plain = str(data_path(row["plain_copy_in_this_folder"]))
    if "_MN" in plain or plain.endswith("n"):
        assert repr(t.read_navigation(compressed)) == repr(t.read_navigation(plain))
        return
    a = t.read_rinex_obs_bytes(open(compressed, "rb").read(), "same.name")
    b = t.read_rinex_obs_bytes(open(plain, "rb").read(), "same.name")
    assert views(a) == views(b)


def test_a_real_day_analyses_the_same_compressed():
    obs = data_path("compressed/rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.crx.gz")
    nav = data_path("compressed/rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx.gz")
    plain = t.analyze_cn0(str(data_path("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx")),
                          str(data_path("rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx")))
    assert t.analyze_cn0(str(obs), str(nav)).to_json() == plain.to_json()


# ----------------------------------------------------------------------------- valid UTF-8 texts
def v2_file(entry):
    text = (hl("     2.11           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE")
            + hl("SITE", "MARKER NAME") + hl("     2    C1    S1", "# / TYPES OF OBSERV") + hl("", "END OF HEADER"))
    for k in range(3):
        text += f" 24  3  5  7  0{30.0 * k:11.7f}  0  2G01{entry}\n"
        text += "  21000000.000          45.000\n" * 2
    return text.encode()


def test_identifiers_beginning_with_a_multibyte_character_give_valid_texts(tmp_path):
    # A three-byte satellite entry read as it stands: its system is its whole first character.
    obs = t.read_rinex_obs_bytes(v2_file("é1"), "x")
    assert obs.satellites_by_system() == {"G": ["G01"], "é": ["é1"]}
    path = tmp_path / "x.21o"
    path.write_bytes(v2_file("é1"))
    r = t.analyze_cn0(str(path))
    assert r.constellations == ["GPS", "é"]
    assert json.loads(r.to_json())["summary"]["systems_observed"] == ["GPS", "é"]
    assert "é" in r.to_json_pretty()


def test_mutated_real_files_always_give_valid_texts(tmp_path):
    source = data_path("rinex/OBS/V2/wsra0010.21o").read_bytes()
    lines = source.split(b"\n")
    epoch_lines = [i for i, line in enumerate(lines) if line[:3] == b" 21" and len(line) > 35]
    rng = random.Random(2024)
    inserts = ["é", "\u00a0", "€", "\U0001f600", "\ufffd"]
    path = tmp_path / "m.obs"
    non_ascii_systems = 0
    for i in range(200):
        mutated = list(lines)
        for _ in range(rng.randint(1, 4)):  # characters dropped into satellite lists
            k = rng.choice(epoch_lines)
            col = 32 + 3 * rng.randrange(4)
            mutated[k] = mutated[k][:col] + rng.choice(inserts).encode() + mutated[k][col + 1:]
        data = bytearray(b"\n".join(mutated))
        for _ in range(rng.randint(0, 8)):  # and anywhere else
            at = rng.randrange(len(data))
            if rng.random() < 0.5:
                data[at:at] = rng.choice(inserts).encode()
            else:
                data[at] = rng.randrange(256)
        path.write_bytes(bytes(data))
        try:
            r = t.analyze_cn0(str(path))
        except ValueError:
            continue
        non_ascii_systems += any(ord(c) > 127 for c in "".join(r.constellations))
        json.loads(r.to_json())
        r.get_systems(), r.to_json_pretty(), r.get_anomalies(), r.get_skyplot_data(), r.get_satellite_ids()
        r.station_name, repr(r), r.visibility_debug()
        obs = t.read_rinex_obs(str(path))
        obs.debug_info(), obs.satellites_by_system(), obs.snr_stats_by_satellite()
    assert non_ascii_systems > 20  # the case this guards stays covered
