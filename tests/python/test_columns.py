"""Observations and results as columns: the tables against an independent reading of the file, every
consumer of the Arrow stream, zero-copy buffers, damaged records and the result tables."""
import gc
import json
import pathlib
import pickle

import numpy as np
import pytest

import tessora_cn0 as t
from rinex_builder import f3, v3_epoch, v3_header

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample"
OBS = str(SAMPLE / "SMPL00DNK_R_20240650700_01H_30S_MO.rnx")
NAV = str(SAMPLE / "SMPL00DNK_R_20240650700_01H_MN.rnx")


def reference_rows(path):
    """(time text, sv, code, value, lli, ssi) of every non-blank, non-zero field, read by columns."""
    lines = open(path).read().splitlines()
    end = next(i for i, line in enumerate(lines) if "END OF HEADER" in line)
    codes = {}
    for line in lines[:end]:
        if "SYS / # / OBS TYPES" in line:
            codes[line[0]] = line[7:60].split()
    rows = []
    for line in lines[end + 1:]:
        if line.startswith(">"):
            y, mo, d, h, mi, s = line[2:29].split()
            stamp = f"{y}-{mo}-{d}T{h}:{mi}:{float(s):06.3f}"
            continue
        for k, code in enumerate(codes[line[0]]):
            field = line[3 + 16 * k:3 + 16 * (k + 1)]
            if field[:14].strip() and float(field[:14]) != 0.0:
                ind = [int(c) if c.strip() else None for c in field[14:16].ljust(2)]
                rows.append((stamp, line[:3], code, float(field[:14]), ind[0], ind[1]))
    return rows


@pytest.fixture(scope="module")
def obs():
    return t.read_rinex_obs(OBS)


def rows_of(frame):
    """Rows of a pandas frame in the reference's form."""
    import pandas as pd

    def opt(v):
        return None if pd.isna(v) else int(v)
    return [(ts.strftime("%Y-%m-%dT%H:%M:") + f"{ts.second + ts.microsecond / 1e6:06.3f}", sv, code, value,
             opt(lli), opt(ssi))
            for ts, sv, code, value, lli, ssi in zip(frame["time"], frame["sv"], frame["code"], frame["value"],
                                                     frame["lli"], frame["ssi"])]


def test_long_table_is_the_file_field_by_field(obs):
    table = obs.observations()
    assert table.column_names == ["time", "sv", "code", "value", "lli", "ssi"]
    assert rows_of(table.to_pandas()) == reference_rows(OBS)
    meta = table.metadata
    assert (meta["version"], meta["marker"], meta["receiver"], meta["time_system"], meta["interval"]) == (
        "3.04", "SMPL00DNK", "SEPT POLARX5", "GPS", "30")
    assert json.loads(meta["position"]) == [3582105.291, 532589.7313, 5232754.8054]
    # Beyond the record: 8-byte times, 4-byte satellite indices, the two indicator bytes and bitmaps.
    assert table.nbytes / table.num_rows <= 24


def test_every_consumer_reads_the_same_stream(obs):
    import duckdb
    import polars as pl
    import pyarrow as pa

    obs_table = obs.observations()
    reference = obs_table.to_pandas()
    arrow = obs_table.to_arrow()
    assert arrow.schema.metadata[b"marker"] == b"SMPL00DNK"
    assert str(arrow.schema.field("sv").type) == "dictionary<values=string, indices=int32, ordered=0>"
    assert str(arrow.schema.field("time").type) == "timestamp[ns]"
    assert rows_of(arrow.to_pandas()) == rows_of(reference)
    import pandas as pd
    if hasattr(pd.DataFrame, "from_arrow"):  # pandas 3 reads the stream itself
        assert rows_of(pd.DataFrame.from_arrow(obs_table)) == rows_of(reference)
    frame = obs_table.to_polars()
    assert frame.schema["lli"] == pl.UInt8 and frame["lli"].null_count() == reference["lli"].isna().sum()
    assert frame["value"].to_list() == reference["value"].tolist()
    got = duckdb.sql("select code, count(*), sum(value) from obs_table group by code order by code").fetchall()
    want = reference.assign(code=reference["code"].astype(str)).groupby("code")["value"].agg(["count", "sum"])
    assert [(c, n, pytest.approx(s)) for c, n, s in got] == [(c, r["count"], r["sum"]) for c, r in want.iterrows()]
    # Both capsules can be taken again and again; each stream yields the whole table once.
    for _ in range(3):
        assert pa.schema(obs_table) == arrow.schema
        assert pa.table(obs_table).equals(arrow)


def test_buffers_are_shared_not_copied(obs):
    import pyarrow as pa

    table = obs.observations()
    a, b = table.to_numpy(), table.to_numpy()
    assert np.shares_memory(a["value"], b["value"]) and np.shares_memory(a["time"], b["time"])
    assert not a["value"].flags.writeable
    # The Arrow import points at the same memory: the value column never leaves the record.
    arrow = pa.table(table)
    assert arrow.column("value").chunks[0].buffers()[1].address == a["value"].ctypes.data
    # The arrays keep the record alive after the objects that made them are gone.
    first = float(a["value"][0])
    del table, b, arrow
    gc.collect()
    assert float(a["value"][0]) == first and a["time"][0] == np.datetime64("2024-03-05T07:00:00")


def test_wide_layout_is_the_pivot_of_the_long_one(obs):
    import polars as pl

    wide = obs.observations("wide").to_polars()
    long = obs.observations().to_polars().with_columns(pl.col("sv").cast(pl.String), pl.col("code").cast(pl.String))
    pivot = long.pivot(on="code", index=["time", "sv"], values="value", sort_columns=True)
    assert wide.columns == ["time", "sv"] + sorted(long["code"].unique().to_list())
    assert wide.with_columns(pl.col("sv").cast(pl.String)).equals(pivot.select(wide.columns))
    with pytest.raises(ValueError, match="layout must be 'long' or 'wide', not 'tall'"):
        obs.observations("tall")


def test_damaged_records_give_sound_tables():
    # A satellite written twice in an epoch: its second line replaces the first. An epoch of a year
    # no nanosecond timestamp can hold has no time.
    text = (v3_header({"G": ["C1C", "S1C"]})
            + v3_epoch((2024, 3, 5, 7, 0, 0.0), {"G01": ["2.0e7", "40.0"], "G02": [f3("2.1e7", "1", "5"), "41.0"]})
              .replace("  0  2\n", "  0  3\n")
            + "G01" + f3("20000111.000") + f3("44.000") + "\n"
            + v3_epoch((2300, 1, 1, 0, 0, 0.0), {"G03": ["", "39.5"]}))
    rec = t.read_rinex_obs_bytes(text.encode(), "dup.obs")
    cols = rec.observations().to_numpy()
    assert list(cols["sv"]) == ["G01", "G01", "G02", "G02", "G03"]
    assert list(cols["value"]) == [20000111.0, 44.0, 2.1e7, 41.0, 39.5]
    assert list(cols["lli"].filled(99)) == [99, 99, 1, 99, 99] and list(cols["ssi"].filled(99)) == [99, 99, 5, 99, 99]
    assert np.isnat(cols["time"][-1]) and not np.isnat(cols["time"][0])
    assert rec.observations().to_arrow().column("time").null_count == 1
    # A record without observations, restored from its pickle (its arrays never allocated).
    empty = pickle.loads(pickle.dumps(t.read_rinex_obs_bytes(v3_header({"G": ["S1C"]}).encode(), "empty.obs")))
    for layout in ("long", "wide"):
        table = empty.observations(layout)
        assert table.to_arrow().num_rows == 0 and table.to_polars().height == 0
        assert all(len(v) == 0 for v in table.to_numpy().values())


def test_result_tables_hold_what_the_result_holds():
    res = t.analyze_cn0(OBS, nav_path=NAV)
    doc = json.loads(res.to_json())
    points = res.points().to_pandas()
    series = doc["timeseries"]["satellite_timeseries"]
    assert len(points) == sum(len(s["cn0_series"]) for s in series.values())
    e01 = points[points["sv"] == "E01"]
    # Each point names its own signal: Galileo satellites have E1 and E5a CN0 at every epoch.
    assert set(e01["code"]) == {"S1C", "S5Q"}
    assert sorted(e01["cn0"]) == sorted(p["cn0"] for p in series["E01"]["cn0_series"])
    assert points["time"].is_monotonic_increasing
    ts = res.timeseries().to_numpy()
    assert list(ts["mean_cn0"]) == res.get_timeseries_cn0() and list(ts["satellite_count"]) == \
        res.get_satellite_count_series()
    anomalies = res.anomalies().to_pandas()
    assert list(anomalies["severity"]) == res.get_anomaly_severities()
    assert list(anomalies["affected_satellites"]) == [a["affected_satellites"] for a in doc["anomalies"]]


def test_interference_and_batch_tables():
    rep = t.detect_interference(OBS, NAV)
    events = rep.event_table().to_pandas()
    assert list(events["kind"]) == [e.kind for e in rep.events]
    for row, e in zip(events.itertuples(), rep.events):
        for band, value in e.degradation_db.items():
            assert getattr(row, f"degradation_db_{band}") == value
    deg = rep.degradation_table().to_polars()
    assert deg.height == len(rep.timestamps) * len(rep.bands)
    l1 = deg.filter(deg["band"] == "L1")["degradation_db"].to_list()
    assert [v for v in l1 if v is not None] == [v for v in rep.series["L1"]["degradation"] if v == v]
    results = t.analyze_many([OBS, OBS + ".missing"], NAV, interference=True)
    summary = t.summary_table(results, [OBS, OBS + ".missing"]).to_pandas()
    assert list(summary["file"]) == [OBS, OBS + ".missing"]
    assert summary["grade"][0] == results[0][0].quality_grade and summary["interference_events"][0] == len(rep.events)
    assert summary["error"][1].startswith("OSError") and summary["score"].isna().tolist() == [False, True]


def test_to_xarray_has_the_peer_layout(obs):
    ds = obs.to_xarray()
    assert ds.sizes["time"] == obs.num_epochs and list(ds.sv.values) == sorted(ds.sv.values)
    assert ds.attrs["time_system"] == "GPS" and ds.attrs["filename"].endswith("_MO.rnx")
    ref = reference_rows(OBS)[0]
    assert float(ds[ref[2]].sel(sv=ref[1]).isel(time=0)) == ref[3]
    assert np.isnan(ds["S5Q"].sel(sv="G01")).all()  # a Galileo code has no GPS values
