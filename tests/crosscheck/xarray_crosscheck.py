#!/usr/bin/env python3
"""Compares RinexObsData.to_xarray() with georinex.load(), an independent RINEX reader.

For every observation file of the shared data folder (MANIFEST.tsv) that georinex reads with its
default settings: the times, satellites and variables (observation codes), every value (NaN where
georinex has none), dimension order and dtypes, and the attributes version, interval, position,
position_geodetic, rxmodel, time_system and filename. Every difference is counted under one of the
categories below, after checking that the file shows the stated cause; any other difference fails.

Differences that follow from this reader's rules and choices:
  zero_value           a value written as 0 is not stored: NaN here, 0.0 in georinex
  without_value        a satellite, epoch or code whose values are all blank or zero is not kept
                       (georinex keeps it, all NaN or 0)
  unparsed_epoch       an epoch whose seconds field does not parse ("0 .0000000") is skipped with
                       its satellites; georinex reads the integer part and keeps it
  second_60            an epoch written at 60 s is kept, as the next minute; georinex drops it
  undeclared_system    a RINEX 2 file whose RINEX VERSION / TYPE names one system holds satellites of
                       another: this reader keeps every satellite, georinex only the named system
  duplicate_position   two APPROX POSITION XYZ records: this reader keeps the last, georinex the first
  zero_position        an APPROX POSITION XYZ of 0 0 0 means unknown: no position_geodetic here
Differences where georinex is wrong (the RINEX line shows it):
  time_truncated       georinex truncates epoch seconds through a binary float: to whole
                       microseconds ("14.0001055" -> 14.000105, "16.9960000" -> 16.995999) and, in its
                       RINEX 2 reader, to whole milliseconds ("30.0020000" -> 30.001); an interval
                       derived from those times differs by as much
  time_unit            georinex's RINEX 3 time coordinate is datetime64[us], which cannot hold the
                       0.1 us digits that RINEX 3 epochs have; this one is datetime64[ns]
  crinex_version       for a Hatanaka-compressed RINEX 2 file georinex gives the compression's version
                       (CRINEX VERS / TYPE, "1.0") as the RINEX version
  rxmodel_tokens       georinex takes the words of REC # / TYPE / VERS between the first and the last
                       of all three fields, so a blank number or version, or a version of several
                       words, shifts the type ("u-blox" -> "", "TRIMBLE NETR9" -> "TRIMBLE NETR9 Nav")
  interval_one_system  without an INTERVAL record georinex's RINEX 2 reader takes the attributes of
                       whichever system it read last (set order, so it changes with PYTHONHASHSEED);
                       a system without epochs gives NaN
Differences of georinex's own layout:
  sv_file_order        its RINEX 3 reader concatenates the epochs of a one-system file, which leaves
                       the satellites in the order they first appear (its merge of several systems
                       sorts them); they are ascending here
  no_epoch_interval    its RINEX 3 reader gives no interval for a file without epochs (NaN here)
  georinex_attribute   attributes of its own: fast_processing (how it read the file) and the receiver
                       clock offsets (time_offset, receiver_clock_offset_applied), which this reader
                       does not keep
Reading options (the rest of the file is compared):
  fast_retry           georinex's default preallocation of epochs runs short; read with fast=False
  sv_over_36           georinex's RINEX 2 reader holds satellite numbers 1-36 only; read with `use`
                       leaving out the systems with higher numbers, which are not compared
Files georinex cannot read are listed with the reason and not compared: a file type it does not
know ("S (GEOSYNC)"), RINEX 4, and two epochs at one time (a flag-6 cycle-slip record after its
epoch), which it cannot align.

Usage: xarray_crosscheck.py [--max-mb MB] [--jobs N] [--compressed] [--cache DIR] [--only PATH ...] [DATA_DIR]
(--compressed adds the compressed originals of compressed/MANIFEST.tsv: .crx, .gz, .Z, .bz2).
Exit status 0 when every difference is explained, 1 otherwise, 77 without georinex or the data.
"""
import argparse
import collections
import concurrent.futures as cf
import csv
import decimal
import logging
import math
import os
import re
import sys
import time
import warnings

SKIP = 77
SYSTEMS = {"C", "E", "G", "J", "R", "S"}
# georinex's errors on files it cannot read: the reason, and what the file must show for it.
UNREADABLE = {
    "unknown file type": ("a file type in RINEX VERSION / TYPE that georinex does not know",
                          lambda header, epochs: header[0][40:41] not in "GREJCIM"),
    "unknown RINEX": ("RINEX 4, which georinex has no observation reader for",
                      lambda header, epochs: header[0][:9].strip().startswith("4")),
    "duplicate values": ("two epochs at one time, which georinex cannot align",
                         lambda header, epochs: len({e.ns for e in epochs}) < len(epochs)),
}
_EPOCH2 = re.compile(r"^ (\d\d| \d) ([ \d]\d) ([ \d]\d) ([ \d]\d) ([ \d]\d)(.{11})  (\d)")
_EPOCH3 = re.compile(r"^> (\d{4}) ([ \d]\d) ([ \d]\d) ([ \d]\d) ([ \d]\d)(.{11})  (\d)")


def _header(lines):
    out = []
    for ln in lines:
        out.append(ln)
        if "END OF HEADER" in ln[60:]:
            break
    return out


def _epoch_ns(y, mo, d, h, mi, sec_text):
    """The written epoch in ns since 1970 (exact decimal arithmetic), or None if unparsable."""
    import datetime

    try:
        sec = decimal.Decimal(sec_text.strip())
        day = datetime.date(y, mo, d).toordinal() - datetime.date(1970, 1, 1).toordinal()
    except (decimal.InvalidOperation, ValueError):
        return None
    return int((day * 86400 + h * 3600 + mi * 60) * 10**9 + sec * 10**9)


Epoch = collections.namedtuple("Epoch", "flag ns seconds minute")  # ns None: seconds field unparsable


def epoch_lines(lines, version):
    """The epoch lines of the data section with a date (event records may have none)."""
    out = []
    pattern = _EPOCH3 if version >= 3 else _EPOCH2
    for ln in lines:
        m = pattern.match(ln)
        if not m:
            continue
        y, mo, d, h, mi = (int(g) for g in m.groups()[:5])
        if version < 3:
            y += 2000 if y < 80 else 1900
        out.append(Epoch(int(m.group(7)), _epoch_ns(y, mo, d, h, mi, m.group(6)), m.group(6), (y, mo, d, h, mi)))
    return out


def load_georinex(path, ours_svs):
    """georinex's Dataset with default settings, else with the options its errors call for;
    returns (Dataset, notes, systems left out)."""
    import georinex as gr

    opts, notes = {}, []
    while True:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                logging.disable(logging.CRITICAL)
                return gr.load(path, **opts), notes, SYSTEMS - opts.get("use", SYSTEMS)
        except IndexError as e:
            if "fast" in str(e) and "fast" not in opts:
                opts["fast"] = False
                notes.append("fast_retry")
                continue
            over = {s[0] for s in ours_svs if s[1:].isdigit() and int(s[1:]) > 36}
            if "with size 36" in str(e) and over and "use" not in opts:
                opts["use"] = SYSTEMS - over
                notes.append("sv_over_36")
                continue
            raise
        finally:
            logging.disable(logging.NOTSET)


def _blank(values):
    """True when every value is NaN or 0 (what this reader does not store)."""
    import numpy as np

    return bool(np.all(np.isnan(values) | (values == 0)))


def _georinex_cached(path, rel, ours_svs, cache):
    """load_georinex, or its result kept in the folder `cache` from an earlier run (days files
    take georinex many minutes); an error is kept as well."""
    import pickle

    import georinex

    if cache is None:
        t0 = time.perf_counter()
        return (*load_georinex(path, ours_svs), time.perf_counter() - t0)
    stat = os.stat(path)
    key = os.path.join(cache, f"{rel.replace('/', '__')}.{stat.st_size}.{int(stat.st_mtime)}."
                              f"georinex-{georinex.__version__}.pickle")
    if not os.path.exists(key):
        t0 = time.perf_counter()
        try:
            result = (*load_georinex(path, ours_svs), time.perf_counter() - t0)
        except Exception as e:
            result = e
        os.makedirs(cache, exist_ok=True)
        with open(key + ".part", "wb") as f:
            pickle.dump(result, f)
        os.replace(key + ".part", key)
    with open(key, "rb") as f:
        result = pickle.load(f)
    if isinstance(result, Exception):
        raise result
    return result


def compare(path, rel, cache=None):
    """(rel, georinex status, Counter of explained differences, list of unexplained ones).

    Counts are of values, epochs, satellites, variables or attributes, whichever differs.
    """
    import numpy as np
    import xarray as xr

    import tessora_cn0

    counts, bad = collections.Counter(), []
    with open(path, "rb") as f:
        raw = f.read()
    crinex = None  # the CRINEX VERS / TYPE version of a Hatanaka-compressed file
    if re.search(r"\.(gz|Z|bz2|zip|crx)$|\.\d\d[dD]$", str(path)):
        import bz2
        import gzip

        import hatanaka  # a compressed original: its text, decompressed independently

        inner = gzip.decompress(raw) if raw[:2] == b"\x1f\x8b" else bz2.decompress(raw) if raw[:3] == b"BZh" else raw
        if b"CRINEX VERS" in inner[:80]:
            crinex = float(inner[:9])
        raw = hatanaka.decompress(raw)
    lines = raw.decode("ascii", errors="replace").replace("\r\n", "\n").split("\n")
    header = _header(lines)
    ours = tessora_cn0.read_rinex_obs(str(path)).to_xarray()
    version = ours.attrs["version"]
    try:
        theirs, notes, left_out, seconds = _georinex_cached(path, rel, ours.sv.values.tolist(), cache)
    except Exception as e:
        text = f"{type(e).__name__}: {str(e)[:90]}"
        known = next((v for key, v in UNREADABLE.items() if key in str(e)), None)
        if known is None:
            return rel, f"failed: {text}", counts, [f"georinex failed for an unknown reason: {text}"]
        reason, shown = known
        if not shown(header, [e for e in epoch_lines(lines, version) if e.ns is not None]):
            bad.append(f"georinex: {text}; the file does not show {reason}")
        return rel, f"unreadable: {reason}", counts, bad
    status = f"read{' (' + ', '.join(notes) + ')' if notes else ''} in {seconds:.1f} s"
    counts.update(notes)
    epochs = epoch_lines(lines, version)
    file_system = header[0][40:41] if header else ""

    # ---- layout
    for name, var in ours.data_vars.items():
        if var.dims != ("time", "sv") or var.dtype != np.float64:
            bad.append(f"{name}: dims {var.dims}, dtype {var.dtype}")
    if ours.time.dtype != np.dtype("datetime64[ns]"):
        bad.append(f"time dtype {ours.time.dtype}")
    for name, var in theirs.data_vars.items():
        if var.dims != ("time", "sv") or var.dtype != np.float64:
            bad.append(f"georinex {name}: dims {var.dims}, dtype {var.dtype}")
    for dim in ("time", "sv"):
        for ds, who in ((ours, "here"), (theirs, "in georinex")):
            if dim in ds.coords and list(ds[dim].values) != sorted(ds[dim].values):
                if who == "in georinex" and dim == "sv" and version >= 3 and len(
                        {ln[0] for ln in header if "SYS / # / OBS TYPES" in ln[60:] and ln[0] != " "}) == 1:
                    counts["sv_file_order"] += 1
                else:
                    bad.append(f"{dim} not ascending {who}")
    if theirs.sizes.get("sv") and theirs.sv.dtype != ours.sv.dtype:
        bad.append(f"sv dtype {ours.sv.dtype} here, {theirs.sv.dtype} in georinex")
    if theirs.sizes.get("time") and theirs.time.dtype != ours.time.dtype:
        if theirs.time.dtype == np.dtype("datetime64[us]") and version >= 3:
            counts["time_unit"] += 1
        else:
            bad.append(f"time dtype {theirs.time.dtype} in georinex")

    # ---- times. Every time here must be an epoch as written (exact decimal seconds), or one
    # written at 60 s, carried into the next minute.
    written = {e.ns for e in epochs if e.ns is not None}
    sixty = {_epoch_ns(*e.minute, "60") for e in epochs if e.seconds.strip().startswith("60")}
    ot = ours.time.values.astype("int64").tolist()
    gt = theirs.time.values.astype("datetime64[ns]").astype("int64").tolist() if theirs.sizes.get("time") else []
    for t in ot:
        if t not in written and t not in sixty:
            bad.append(f"time {np.datetime64(t, 'ns')} is no epoch of the file")
    # georinex's time of an epoch: the whole seconds, plus the fraction through a binary float cut
    # to whole microseconds, and in its RINEX 2 reader (datetime64[ms]) to whole milliseconds.
    truncated = {}
    for e in epochs:
        if e.ns is not None and re.fullmatch(r"\s*\d+\.?\d*", e.seconds):
            us = _epoch_ns(*e.minute, str(int(float(e.seconds)))) + int(float(e.seconds) % 1 * 1e6) * 1000
            truncated[us] = truncated[us - us % 1_000_000] = e.ns
    g_only, o_only = sorted(set(gt) - set(ot)), set(ot) - set(gt)
    to_ours = {t: truncated[t] for t in g_only if truncated.get(t) in o_only}
    counts["time_truncated"] += len(to_ours)
    if gt:  # georinex's times onto the written ones, in ns
        theirs = theirs.assign_coords(time=np.array([to_ours.get(t, t) for t in gt], dtype="datetime64[ns]"))
    g_only = [t for t in g_only if t not in to_ours]
    o_only = sorted(o_only - set(to_ours.values()))
    unparsed = set()  # georinex-only epochs whose seconds field this reader could not parse
    for t in g_only:
        minute = t - t % 60_000_000_000
        if any(e.ns is None and _epoch_ns(*e.minute, "0") == minute for e in epochs):
            unparsed.add(t)
            counts["unparsed_epoch"] += 1
        elif _blank(np.array([theirs[v].sel(time=np.datetime64(t, "ns")).values for v in theirs.data_vars])):
            counts["without_value"] += 1
        else:
            bad.append(f"epoch {np.datetime64(t, 'ns')} only in georinex")
    for t in o_only:
        if t in sixty:
            counts["second_60"] += 1
        else:
            bad.append(f"epoch {np.datetime64(t, 'ns')} only here")

    # ---- satellites and variables
    o_sv = set(ours.sv.values.tolist())
    g_sv = set(theirs.sv.values.tolist()) if theirs.sizes.get("sv") else set()

    def undeclared(sv):
        return version < 3 and file_system not in ("M", " ", "") and sv[0] != file_system

    for s in sorted(o_sv - g_sv):
        if s[0] in left_out:
            counts["sv_over_36"] += 1
        elif undeclared(s):
            counts["undeclared_system"] += 1
        else:
            bad.append(f"satellite {s} only here")
    kept = ~np.isin(np.array(gt, dtype=np.int64), np.array(sorted(unparsed), dtype=np.int64))
    for s in sorted(g_sv - o_sv):
        values = np.array([theirs[v].sel(sv=s).values for v in theirs.data_vars])
        if _blank(values):
            counts["without_value"] += 1
        elif _blank(values[:, kept]):  # values only at epochs this reader skipped
            counts["unparsed_epoch"] += 1
        else:
            bad.append(f"satellite {s} only in georinex, with values")
    o_var, g_var = set(ours.data_vars), set(theirs.data_vars)
    for v in sorted(o_var - g_var):
        bad.append(f"variable {v} only here")
    for v in sorted(g_var - o_var):
        if _blank(theirs[v].values):
            counts["without_value"] += 1
        else:
            bad.append(f"variable {v} only in georinex, with values")

    # ---- values, on the union of both grids
    for v in sorted(o_var & g_var):
        a, b = xr.align(ours[v], theirs[v].transpose("time", "sv"), join="outer")
        A, B = a.values, b.values
        an, bn = np.isnan(A), np.isnan(B)
        times, svs = a.time.values.astype("int64"), a.sv.values
        for i, k in zip(*np.nonzero(~((an & bn) | (A == B)))):
            t, s = int(times[i]), str(svs[k])
            if an[i, k] and B[i, k] == 0:
                counts["zero_value"] += 1
            elif an[i, k] and t in unparsed:
                counts["unparsed_epoch"] += 1
            elif bn[i, k] and s[0] in left_out:
                counts["sv_over_36"] += 1
            elif bn[i, k] and s not in g_sv and undeclared(s):
                counts["undeclared_system"] += 1
            elif bn[i, k] and t in o_only and t in sixty:
                counts["second_60"] += 1
            else:
                bad.append(f"{v} {np.datetime64(t, 'ns')} {s}: {A[i, k]} here, {B[i, k]} in georinex")

    # ---- attributes
    oa, ga = ours.attrs, theirs.attrs
    for key in ("version", "time_system", "filename"):
        if key == "version" and oa[key] != ga.get(key) and ga.get(key) == crinex:
            counts["crinex_version"] += 1
        elif oa.get(key) != ga.get(key):
            bad.append(f"{key}: {oa.get(key)!r} here, {ga.get(key)!r} in georinex")
    positions = [[float(x) for x in ln[:60].split()[:3]] for ln in header if "APPROX POSITION XYZ" in ln[60:]]
    if list(oa.get("position", [])) != list(ga.get("position", [])):
        if len(positions) > 1 and list(ga["position"]) == positions[0] and list(oa["position"]) == positions[-1]:
            counts["duplicate_position"] += 1
        else:
            bad.append(f"position: {oa.get('position')} here, {ga.get('position')} in georinex")
    elif "position_geodetic" in ga:  # georinex gives it when pymap3d is installed
        mine, its = oa.get("position_geodetic"), ga["position_geodetic"]
        if mine is None:
            if any(oa["position"]):
                bad.append("position_geodetic missing here")
            else:
                counts["zero_position"] += 1
        elif not (all(abs(m - i) < 1e-9 for m, i in zip(mine[:2], its[:2])) and abs(mine[2] - its[2]) < 1e-6):
            bad.append(f"position_geodetic: {mine} here, {its} in georinex")
    if "rxmodel" in ga and oa.get("rxmodel") != ga["rxmodel"]:
        rec = next((ln for ln in header if "REC # / TYPE / VERS" in ln[60:]), "")
        if ga["rxmodel"] == " ".join(rec[:60].split()[1:-1]) and oa.get("rxmodel") == rec[20:40].strip():
            counts["rxmodel_tokens"] += 1
        else:
            bad.append(f"rxmodel: {oa.get('rxmodel')!r} here, {ga['rxmodel']!r} in georinex")
    has_interval = any("INTERVAL" in ln[60:] for ln in header)
    oi, gi = oa["interval"], ga.get("interval")
    if not (oi == gi or (gi is not None and math.isnan(oi) and math.isnan(gi))):
        if not has_interval and gi is None and math.isnan(oi) and not ot:
            counts["no_epoch_interval"] += 1
        elif not has_interval and version < 3 and gi is not None and math.isnan(gi):
            counts["interval_one_system"] += 1
        elif not has_interval and gi is not None and to_ours and abs(oi - gi) < 1e-3:
            counts["time_truncated"] += 1
        else:
            bad.append(f"interval: {oi} here, {gi} in georinex")
    own = {"fast_processing", "time_offset", "receiver_clock_offset_applied"}
    counts["georinex_attribute"] += len(own & set(ga))
    checked = {"version", "time_system", "filename", "position", "position_geodetic", "rxmodel", "interval",
               "rinextype"}
    for key in sorted(set(ga) - own - checked):
        bad.append(f"attribute {key} only in georinex")
    if ga.get("rinextype") != oa["rinextype"]:
        bad.append(f"rinextype {ga.get('rinextype')!r} in georinex")
    return rel, status, +counts, bad


def manifest(data, compressed=False):
    """(path relative to the data folder, size of its text) of the observation files."""
    with open(os.path.join(data, "MANIFEST.tsv"), newline="") as f:
        plain = [row["obs_path"] for row in csv.DictReader(f, delimiter="\t")]
    out = [(r, os.path.getsize(os.path.join(data, r))) for r in plain]
    if compressed:  # the compressed originals of observation files
        with open(os.path.join(data, "compressed", "MANIFEST.tsv"), newline="") as f:
            out += [("compressed/" + row["compressed_path"], int(row["expanded_bytes"]))
                    for row in csv.DictReader(f, delimiter="\t")
                    if row["plain_copy_in_this_folder"] in plain or "_MO." in row["compressed_path"]]
    return out


def _run(args):
    path, rel, cache = args
    try:
        return compare(path, rel, cache)
    except Exception as e:  # a crash of the comparison itself is a failure, not a skip
        return rel, "error", collections.Counter(), [f"comparison failed: {type(e).__name__}: {e}"]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("data", nargs="?", default=os.environ.get(
        "TESSORA_DATA_DIR", os.path.join(here, "..", "..", "..", "shared", "data")))
    ap.add_argument("--max-mb", type=float, default=None, help="leave out files larger than this")
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--only", nargs="*", default=None, help="paths relative to the data folder")
    ap.add_argument("--compressed", action="store_true", help="also the compressed originals (compressed/)")
    ap.add_argument("--cache", default=None, help="folder keeping georinex's Datasets between runs")
    a = ap.parse_args(argv)
    try:
        import georinex  # noqa: F401
        import xarray  # noqa: F401
    except ImportError:
        print("georinex or xarray not installed: skipped")
        return SKIP
    if not os.path.exists(os.path.join(a.data, "MANIFEST.tsv")):
        print("real data folder not available: skipped")
        return SKIP
    files = manifest(a.data, a.compressed)
    if a.only:
        files = [(r, size) for r, size in files if r in a.only]
    jobs = [(os.path.join(a.data, r), r, a.cache) for r, size in files if a.max_mb is None or size <= a.max_mb * 1e6]
    totals, failures, t0 = collections.Counter(), 0, time.perf_counter()
    with cf.ProcessPoolExecutor(max_workers=a.jobs) as pool:
        for rel, status, counts, bad in pool.map(_run, jobs):
            totals.update(counts)
            detail = ", ".join(f"{k} {n}" for k, n in sorted(counts.items())) or "-"
            print(f"{rel}\t{status}\t{detail}\t{len(bad)} unexplained", flush=True)
            for b in bad[:8]:
                print(f"    UNEXPLAINED {b}")
            failures += bool(bad)
    print(f"{len(jobs)} files, {failures} with unexplained differences, {time.perf_counter() - t0:.0f} s; "
          + ", ".join(f"{k} {n}" for k, n in sorted(totals.items())))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
