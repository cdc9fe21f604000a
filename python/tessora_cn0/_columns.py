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
    """A RinexObsData as an xarray.Dataset: dimensions time and sv (ascending), one float64
    variable per observation code with NaN where absent, and the header's facts as attributes."""
    import json

    xr = _need("xarray")
    np = _need("numpy")
    table = obs.observations("long")
    meta = table.metadata
    parts = {p[0]: p for p in _parts(table)}
    time = parts["time"][2].view("i8")
    valid = np.ones(len(time), dtype=bool) if parts["time"][3] is None else ~parts["time"][3]
    sv_codes, sv_names = parts["sv"][2], parts["sv"][4]
    code_codes, code_names = parts["code"][2], parts["code"][4]
    values = parts["value"][2]
    times, t_index = np.unique(time[valid], return_inverse=True)
    used_sv = np.unique(sv_codes[valid])
    sv_order = sorted(used_sv.tolist(), key=lambda k: sv_names[k])
    sv_pos = np.full(len(sv_names), -1, dtype=np.int64)
    sv_pos[sv_order] = np.arange(len(sv_order))
    s_index = sv_pos[sv_codes[valid]]
    codes, vals = code_codes[valid], values[valid]
    data = {}
    for c in sorted(set(np.unique(codes).tolist()), key=lambda k: code_names[k]):
        sel = codes == c
        grid = np.full((len(times), len(sv_order)), np.nan)
        grid[t_index[sel], s_index[sel]] = vals[sel]
        name = code_names[c]
        if name in data:  # one code name announced by several systems
            data[name] = np.where(np.isnan(grid), data[name], grid)
        else:
            data[name] = grid
    attrs = {"version": float(meta["version"]), "interval": float(meta["interval"]),
             "rinextype": "obs", "time_system": meta["time_system"], "filename": meta["filename"]}
    if "position" in meta:
        attrs["position"] = json.loads(meta["position"])
    for key in ("marker", "receiver", "antenna"):
        attrs[key] = meta[key]
    return xr.Dataset({k: (("time", "sv"), v) for k, v in sorted(data.items())},
                      coords={"time": times.view("datetime64[ns]"), "sv": [sv_names[k] for k in sv_order]},
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
