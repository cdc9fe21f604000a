#!/usr/bin/env python3
"""Compares what the observation reader stores with georinex, an independent RINEX reader.

For every observation file of the shared data folder under 5 MB: the epochs, the satellites and
every signal-strength ("S") value. Differences that follow from this reader's rules are handled
explicitly:
- RINEX 2 two-character codes are stored translated (S1 -> S1C, S2 -> S2C, S5 -> S5Q);
- zero and blank values are not stored, and an epoch without any stored value is not kept;
- event records (flag 2-5) are not special to this reader, so those epochs are left out on both sides;
- "G 1" satellite numbers are stored as G01 (georinex does the same).
Usage: georinex_crosscheck.py OBS_DUMP DATA_DIR
"""
import concurrent.futures as cf
import csv
import datetime
import math
import os
import subprocess
import sys
import warnings

SKIP = 77
V2_BACK = {"S1C": "S1", "S2C": "S2", "S5Q": "S5"}


def ours(dump, path):
    out = subprocess.run([dump, path], capture_output=True, text=True, check=True).stdout
    version = 0.0
    epochs = {}
    events = set()
    cur = None
    for line in out.splitlines():
        kind, rest = line[0], line[2:]
        if kind == "V":
            version = float(rest)
        elif kind == "E":
            y, mo, d, h, mi, sec, flag = rest.split()
            # Epoch time in microseconds since the day's start of the civil date (both readers keep
            # fractional seconds; they differ only in how they would print them).
            base = datetime.datetime(int(y), int(mo), int(d))
            t = (base - datetime.datetime(1970, 1, 1)).days * 86_400_000_000 + round(
                ((int(h) * 60 + int(mi)) * 60 + float(sec)) * 1e6)
            cur = t
            if int(flag) > 1:
                events.add(t)
            epochs.setdefault(t, {})
        else:
            sat, code, value = rest.split()
            if version < 3:
                code = V2_BACK.get(code, code)
            epochs[cur][(sat, code)] = float(value)
    return version, epochs, events


def theirs(path):
    import georinex as gr
    import numpy as np

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = gr.load(path, use=None)
    svar = [v for v in ds.data_vars if v.startswith("S") and not v.endswith(("lli", "ssi"))]
    epochs = {}
    times = ds.time.values
    for v in svar:
        arr = ds[v].values  # time x sv
        for ti, t in enumerate(times):
            row = arr[ti]
            for si in np.nonzero(~np.isnan(row) & (row != 0.0))[0]:
                ts = int(round(int(t.astype("datetime64[ns]").astype("int64")) / 1000))
                epochs.setdefault(ts, {})[(str(ds.sv.values[si]), v)] = float(row[si])
    return epochs


# Files where the two readers legitimately disagree, with the reason.
EXPECTED_DIFFERENCES = {
    # The header declares a GLONASS-only file while the data hold GPS satellites too; georinex keeps
    # only the declared system, this reader keeps every satellite it reads.
    "georinex/default_time_system2.10o",
    # Malformed seconds fields ("0 .0000000", 60 s): this reader skips epoch lines whose fields do
    # not parse and keeps times as written; georinex rewrites them.
    "georinex/badtime.10o",
}


def compare(dump, path):
    try:
        their = theirs(path)
    except Exception as e:  # georinex cannot read every real file
        return path, None, f"georinex failed: {type(e).__name__}: {str(e)[:80]}"
    version, mine, events = ours(dump, path)
    # Epochs with S values only, events excluded on both sides.
    mine = {t: v for t, v in mine.items() if v and t not in events}
    their = {t: v for t, v in their.items() if t not in events}
    # georinex rounds sub-second parts through a different chain of conversions; the same epoch can
    # come out one microsecond apart. Match our times to theirs within 2 microseconds.
    snapped = {}
    for tm, v in mine.items():
        key = next((tm + d for d in (0, -1, 1, -2, 2) if tm + d in their), tm)
        snapped[key] = v
    mine = snapped
    problems = []
    if set(mine) != set(their):
        only_m = sorted(set(mine) - set(their))[:3]
        only_t = sorted(set(their) - set(mine))[:3]
        problems.append(f"epochs differ: only ours {only_m}, only georinex {only_t}")
    n = 0
    for t in set(mine) & set(their):
        a, b = mine[t], their[t]
        if set(a) != set(b):
            problems.append(f"{t}: satellites/codes differ: {sorted(set(a) ^ set(b))[:4]}")
            continue
        for k, v in a.items():
            w = b[k]
            if not (v == w or (math.isnan(v) and math.isnan(w))):
                problems.append(f"{t} {k}: {v} != {w}")
            n += 1
    return path, n, "; ".join(problems[:3])


def main():
    dump, data = sys.argv[1], sys.argv[2]
    try:
        import georinex  # noqa: F401
    except ImportError:
        print("georinex not installed: skipped")
        return SKIP
    manifest = os.path.join(data, "MANIFEST.tsv")
    if not os.path.exists(manifest):
        print("real data folder not available: skipped")
        return SKIP
    with open(manifest, newline="") as f:
        files = [os.path.join(data, row["obs_path"]) for row in csv.DictReader(f, delimiter="\t")]
    files = [p for p in files if os.path.getsize(p) < 5_000_000
             and os.path.relpath(p, data) not in EXPECTED_DIFFERENCES]
    failures, compared, values, unreadable = [], 0, 0, []
    with cf.ProcessPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for path, n, problem in pool.map(compare, [dump] * len(files), files):
            rel = os.path.relpath(path, data)
            if n is None:
                unreadable.append(f"{rel}: {problem}")
            elif problem:
                failures.append(f"{rel}: {problem}")
            else:
                compared += 1
                values += n
    for u in unreadable:
        print("not compared (georinex cannot read it):", u)
    for f in failures:
        print("MISMATCH", f)
    print(f"{compared} files agree, {values} S values compared, {len(unreadable)} unreadable by georinex, "
          f"{len(failures)} mismatching")
    return 1 if failures or compared < len(files) // 2 else 0


if __name__ == "__main__":
    sys.exit(main())
