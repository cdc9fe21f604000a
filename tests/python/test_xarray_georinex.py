"""RinexObsData.to_xarray(): its Dataset against georinex's on real files, and its layout against
the file's own header and the long observation table.

The georinex comparison here covers the files up to 1.5 MB and one RINEX 2 day file (well under
a minute); tests/crosscheck/xarray_crosscheck.py runs it on every file of the data folder.
"""
import importlib.util
import math
import pathlib

import pytest

import tessora_cn0 as t
from conftest import DATA_DIR, data_path

_SCRIPT = pathlib.Path(__file__).resolve().parents[1] / "crosscheck" / "xarray_crosscheck.py"
_DAY_FILE = "goGPS_MATLAB/default/RINEX/zimm0010.21o"
_SIZE_CAP = 1_500_000


def _crosscheck():
    spec = importlib.util.spec_from_file_location("xarray_crosscheck", _SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_dataset_matches_georinex():
    pytest.importorskip("xarray")
    pytest.importorskip("georinex")
    if not (DATA_DIR / "MANIFEST.tsv").exists():
        pytest.skip("real data folder not available")
    cc = _crosscheck()
    files = [r for r, size in cc.manifest(str(DATA_DIR)) if size <= _SIZE_CAP or r == _DAY_FILE]
    unexplained, read = [], 0
    for rel in files:
        _, status, _, bad = cc.compare(DATA_DIR / rel, rel)
        read += status.startswith("read")
        unexplained += [f"{rel}: {b}" for b in bad]
    assert not unexplained, "\n".join(unexplained[:20])
    assert read > len(files) // 2, f"georinex read only {read} of {len(files)} files"


def _header(path):
    """The header's observation codes as written (RINEX 2's one list, RINEX 3's per system), and
    whether it has an INTERVAL record."""
    v2, v3, system, interval = [], {}, None, False
    with open(path, errors="replace") as f:
        for line in f:
            label = line[60:]
            interval = interval or "INTERVAL" in label
            if "# / TYPES OF OBSERV" in label:
                v2 += [c for c in line[6:60].split()]
            elif "SYS / # / OBS TYPES" in label:
                system = line[0] if line[0] != " " else system
                v3.setdefault(system, []).extend(line[7:60].split())
            elif "END OF HEADER" in label:
                break
    return v2, v3, interval


@pytest.mark.parametrize("rel", [
    "gnsstk-data/mixed211.05o",  # a cycle-slip record (flag 6) at the time of the epoch before it
    "georinex/14601736.18o",  # RINEX 2 codes without any value (C8, L8)
    "rinex/OBS/V3/LARM0630.22O",  # RINEX 3 codes a present system announces without values
    "gnss_lib_py/pixel6.23o",  # no INTERVAL record; epochs at 0.1 microsecond digits
])
def test_dataset_layout(rel):
    """Every stored observation lands in its cell (the first one read where epochs share a time),
    every other cell is NaN, the variables are the header's codes as written, and a header
    without INTERVAL gets the median spacing of the epochs."""
    np = pytest.importorskip("numpy")
    pytest.importorskip("xarray")
    pytest.importorskip("pandas")
    path = data_path(rel)
    obs = t.read_rinex_obs(str(path))
    ds = obs.to_xarray()
    v2_codes, v3_codes, has_interval = _header(path)

    # Names: RINEX 2 as the header writes them (matched by position with the stored codes);
    # RINEX 3 the header's lists of the systems present.
    if obs.version < 3:
        stored = obs.obs_types_by_system()["G"]
        assert len(stored) == len(v2_codes)
        name = dict(zip(stored, v2_codes))
        assert set(ds.data_vars) == set(v2_codes)
    else:
        name = {}
        assert set(ds.data_vars) == {c for s in {v[0] for v in ds.sv.values} for c in v3_codes[s]}

    long = obs.observations("long").to_pandas()
    first = long.drop_duplicates(["time", "sv", "code"], keep="first").reset_index(drop=True)
    times = np.searchsorted(ds.time.values, first.time.to_numpy())
    svs = np.searchsorted(ds.sv.values, first.sv.astype(str).to_numpy())
    assert (ds.time.values[times] == first.time.to_numpy()).all()
    cells = 0
    for code, rows in first.groupby("code", observed=True):
        grid = ds[name.get(code, code)].values
        assert np.array_equal(grid[times[rows.index], svs[rows.index]], rows.value.to_numpy())
        cells += len(rows)
    assert sum(int((~np.isnan(ds[v].values)).sum()) for v in ds.data_vars) == cells
    if len(first) < len(long):  # epochs sharing a time: telling only where a later value differs
        later = long[long.duplicated(["time", "sv", "code"], keep="first")]
        pairs = first.merge(later, on=["time", "sv", "code"], suffixes=("", "_later"))
        assert (pairs.value != pairs.value_later).any()
    if not has_interval:
        spacing = np.median(np.diff(ds.time.values).astype("int64")) / 1e9
        assert math.isclose(ds.attrs["interval"], spacing)
