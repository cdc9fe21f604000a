"""Conversions of a Table to the libraries users compute with, each imported only when asked for.

pyarrow and polars read the table through the Arrow PyCapsule interface; numpy, pandas and
xarray through the column buffers, so that numbers and times are never copied.
"""

_EXTRAS = {"pyarrow": "arrow", "polars": "polars", "pandas": "pandas", "numpy": "numpy", "xarray": "xarray"}


def _need(module):
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(f"{module} is needed for this conversion: pip install 'tessora_cn0[{_EXTRAS[module]}]'") from e


def to_arrow(table):
    """The table as a pyarrow.Table, its schema metadata included."""
    pa = _need("pyarrow")
    return pa.table(table)


def to_polars(table):
    """The table as a polars.DataFrame."""
    pl = _need("polars")
    return pl.DataFrame(table)


# numpy dtypes of the fixed-width kinds
_DTYPES = {"float64": "<f8", "int64": "<i8", "uint32": "<u4", "uint8": "u1", "timestamp[ns]": "<i8"}


def _parts(table):
    """(name, kind, values, mask, extra) per column: values a numpy view of the column's memory,
    mask a boolean array (True where missing) or None."""
    np = _need("numpy")
    out = []
    n = table.num_rows
    for i in range(table.num_columns):
        name, kind, values, validity, extra = table._column(i)
        mask = None
        if validity is not None:
            bits = np.frombuffer(validity, dtype=np.uint8)
            mask = ~np.unpackbits(bits, count=n, bitorder="little").astype(bool)
        if kind in _DTYPES:
            values = np.frombuffer(values, dtype=_DTYPES[kind], count=n)
            if kind == "timestamp[ns]":
                values = values.view("datetime64[ns]")
        elif kind == "bool":
            values = np.unpackbits(np.frombuffer(values, dtype=np.uint8), count=n, bitorder="little").astype(bool)
        elif kind == "dictionary<string>":
            values = np.frombuffer(values, dtype="<i4", count=n)
        out.append((name, kind, values, mask, extra))
    return out


def _objects(np, texts, mask):
    arr = np.empty(len(texts), dtype=object)
    arr[:] = texts
    if mask is not None:
        arr[mask] = None
    return arr


def to_numpy(table):
    """The columns as a dict of numpy arrays.

    Floats and times point into the table's memory (NaN and NaT where missing, read-only);
    integers and booleans with missing values are masked arrays; texts are object arrays (None
    where missing), lists of texts object arrays of lists.
    """
    np = _need("numpy")
    out = {}
    for name, kind, values, mask, extra in _parts(table):
        if kind == "dictionary<string>":
            categories = _objects(np, extra, None)
            arr = categories[values] if len(categories) else np.empty(len(values), dtype=object)
            if mask is not None:
                arr[mask] = None
        elif kind in ("string", "list<string>"):
            arr = _objects(np, extra, mask)
        elif mask is not None and kind in ("int64", "uint32", "uint8", "bool"):
            arr = np.ma.MaskedArray(values, mask=mask)
        else:
            arr = values
        out[name] = arr
    return out


def to_pandas(table):
    """The table as a pandas.DataFrame: categorical texts, nullable integers and booleans, NaN and
    NaT where numbers and times are missing; numbers and times without a copy."""
    pd = _need("pandas")
    np = _need("numpy")
    cols = {}
    for name, kind, values, mask, extra in _parts(table):
        if kind == "dictionary<string>":
            codes = values if mask is None else np.where(mask, -1, values)
            col = pd.Categorical.from_codes(codes, categories=pd.Index(extra, dtype=object), validate=False)
        elif kind in ("string", "list<string>"):
            col = _objects(np, extra, mask)
        elif kind in ("int64", "uint32", "uint8"):
            col = values if mask is None else pd.arrays.IntegerArray(values, mask)
        elif kind == "bool":
            col = values if mask is None else pd.arrays.BooleanArray(values, mask)
        else:
            col = values
        cols[name] = col
    frame = pd.DataFrame(cols, copy=False)
    frame.attrs.update(table.metadata)
    return frame


def obs_to_xarray(obs):
    """A RinexObsData as an xarray.Dataset laid out as RINEX Datasets usually are: dimensions
    time and sv (both ascending); one float64 variable per observation code the header announces,
    NaN where absent (all NaN for a code without any value), RINEX 2 codes under the file's
    two-character names; the header's facts as attributes.

    Epochs that share one time (a cycle-slip record after its epoch, or an epoch written twice)
    become one time step, which keeps the first value read for each satellite and code.
    """
    import json
    import math

    xr = _need("xarray")
    np = _need("numpy")
    # The reader stores RINEX 2 codes under three-character names (S1 -> S1C, ...); a RINEX 2
    # code names no tracking channel, so the Dataset keeps the name the file wrote.
    v2_names = {"C1C": "C1", "C1P": "P1", "L1C": "L1", "S1C": "S1", "C2C": "C2", "C2P": "P2",
                "L2C": "L2", "S2C": "S2", "C5Q": "C5", "L5Q": "L5", "S5Q": "S5"}
    table = obs.observations("long")
    meta = table.metadata
    version = float(meta["version"])
    parts = {p[0]: p for p in _parts(table)}
    time = parts["time"][2].view("i8")
    valid = np.ones(len(time), dtype=bool) if parts["time"][3] is None else ~parts["time"][3]
    sv_ids, sv_names = parts["sv"][2][valid], parts["sv"][4]
    code_ids, code_names = parts["code"][2][valid], parts["code"][4]
    values = parts["value"][2][valid]
    times, t_index = np.unique(time[valid], return_inverse=True)

    used_svs = sorted(np.unique(sv_ids).tolist(), key=lambda k: sv_names[k])
    svs = [sv_names[k] for k in used_svs]
    sv_pos = np.full(len(sv_names), -1, dtype=np.int64)
    sv_pos[used_svs] = np.arange(len(used_svs))

    # The codes the header announces: for RINEX 2 its one list, for RINEX 3 the lists of the
    # systems that have satellites here.
    shown = set(code_names[k] for k in np.unique(code_ids).tolist())
    systems = {name[:1] for name in svs}
    for system, codes in obs.obs_types_by_system().items():
        if version < 3 or system in systems:
            shown.update(codes)
    rename = v2_names if version < 3 else {}
    names = sorted({rename.get(c, c) for c in shown})
    index = {name: i for i, name in enumerate(names)}
    code_pos = np.array([index.get(rename.get(c, c), -1) for c in code_names], dtype=np.int64)

    nt, ns = len(times), len(svs)
    cells = (code_pos[code_ids] * nt + t_index) * ns + sv_pos[sv_ids]
    if nt != obs.num_epochs or not valid.all():
        # Some epochs share a time: keep the first value of each cell.
        cells, first = np.unique(cells, return_index=True)
        values = values[first]
    cube = np.full((len(names), nt, ns), np.nan)
    cube.reshape(-1)[cells] = values

    attrs = {"version": version, "interval": float(meta["interval"]), "rinextype": "obs",
             "time_system": meta["time_system"], "filename": meta["filename"]}
    if not attrs["interval"] > 0:  # no INTERVAL record: the median epoch spacing, robust to gaps
        attrs["interval"] = float(np.median(np.diff(times))) / 1e9 if nt > 1 else math.nan
    attrs["rxmodel"] = meta["receiver"]  # the receiver type, under the name RINEX Datasets use
    if "position" in meta:
        attrs["position"] = json.loads(meta["position"])
    if "position_geodetic" in meta:  # WGS 84; absent for a 0 0 0 (unknown) position
        attrs["position_geodetic"] = tuple(json.loads(meta["position_geodetic"]))
    for key in ("marker", "receiver", "antenna"):
        attrs[key] = meta[key]
    width = max([3, *map(len, svs)])
    return xr.Dataset({name: (("time", "sv"), cube[i]) for i, name in enumerate(names)},
                      coords={"time": times.view("datetime64[ns]"), "sv": np.array(svs, dtype=f"U{width}")},
                      attrs=attrs)


def summary_table(results, paths=None):
    """One row per file of an analyze_many batch (the batch CSV's columns) as a Table.

    results are the AnalysisResult objects analyze_many returned, the exceptions it gave for
    files it could not read, or (AnalysisResult, InterferenceReport) pairs; paths name the files
    (the results' own file names when omitted).
    """
    from tessora_cn0 import tessora_cn0 as ext
    from tessora_cn0._summary import CONSTELLATIONS, COLUMNS, summary_row

    results = list(results)
    if paths is None:
        paths = [_path_of(r) for r in results]
    else:
        paths = [str(p) for p in paths]
        if len(paths) != len(results):
            raise ValueError(f"summary_table: {len(paths)} paths for {len(results)} results")
    rows = [summary_row(p, r) for p, r in zip(paths, results)]
    kinds = {"file": "string", "station": "string", "first_epoch": "timestamp[ns]", "grade": "dictionary<string>",
             "score": "float64", "jamming": "bool", "spoofing": "bool", "interference": "bool",
             "confirmation_rate": "float64", "anomaly_count": "int64", "error": "string",
             "interference_events": "int64", "worst_degradation_db": "float64",
             "interference_duration_s": "float64", "interference_kinds": "string"}
    kinds.update({f"mean_cn0_{c}": "float64" for c in CONSTELLATIONS})
    columns = [(name, kinds[name], [None if row[name] == "" else row[name] for row in rows]) for name in COLUMNS]
    return ext._make_table(columns, {})


def _path_of(result):
    if isinstance(result, tuple):
        result = result[0]
    return "" if isinstance(result, BaseException) else result.filename
