#!/usr/bin/env python3
"""Column tables of observations: speed against pygnss-tec, export cost, and memory, in one run.

    python3 bench/bench_columns.py [DATA_DIR] [--repeats N] [--decompress-for-peer]

DATA_DIR defaults to $TESSORA_DATA_DIR, then to ../shared/data beside the repository. The day file
of ESBC (30 s, 2020-06-25) is used plain (.rnx) and gzip+Hatanaka compressed (.crx.gz).

1. Speed: `read_rinex_obs(path).observations().to_polars()` (long layout: one row per observation)
   against pygnss-tec's `gnss_tec.read_rinex_obs(path)[1].collect()` (its default layout: one row
   per epoch and satellite, one column per observation code). Both run in one child process per
   file, interleaved (the order swaps every repeat so that load hits both alike); medians of the
   repeats are compared. The first call of each in that process is printed apart as "first call":
   modules are already imported (their import times are printed), and the file's pages are not
   dropped from the page cache, so it is a first-call figure, not a cold-disk one.
2. Export cost: the time of `.observations()` (table build) and `.to_polars()` (polars import of
   the Arrow C stream) after the read, as a share of the read's time (medians).
3. Both figures again for the .crx.gz. If pygnss-tec cannot read it (or with --decompress-for-peer)
   the peer reads a plain copy written by the `hatanaka` package to a scratch folder, and its time
   excludes that decompression (printed apart).
4. Memory, in a fresh child process: Table.nbytes / num_rows (every buffer the table holds beyond
   the record), and the growth of the resident set (/proc/self/statm) on a first and a second export
   of the same table with pyarrow.table(t) and with to_polars(). A second export that copied the
   values would grow it by 8 B x rows; a deliberate copy of the values is measured as a control. The
   value buffer's address is compared across the table and every export.

The machine may be shared: the load average is printed before and after. Exit status 0 also when
the data or a library is missing (a message says what was skipped); 1 when a criterion fails.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PLAIN = "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"
COMPRESSED = "compressed/rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.crx.gz"

SPEED_MIN_RATIO = 5.0  # peer median / our median
EXPORT_MAX_SHARE = 0.25  # (build + polars import) / read
BYTES_PER_ROW_MAX = 24.0
SECOND_EXPORT_MAX_SHARE = 0.10  # RSS growth of a 2nd export / (8 B x rows)

# Times one file: ours (read, build, polars import) and the peer, interleaved.
SPEED = r"""
import json, sys, time
t0 = time.perf_counter(); import tessora_cn0; t_imp_ours = time.perf_counter() - t0
t0 = time.perf_counter(); import polars; t_imp_polars = time.perf_counter() - t0
path, peer_path, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
peer = peer_path != "-"
t_imp_peer = None
if peer:
    t0 = time.perf_counter(); import gnss_tec; t_imp_peer = time.perf_counter() - t0

def ours():
    c0 = time.process_time(); t0 = time.perf_counter()
    rec = tessora_cn0.read_rinex_obs(path); t1 = time.perf_counter()
    table = rec.observations(); t2 = time.perf_counter()
    frame = table.to_polars(); t3 = time.perf_counter()
    cpu = time.process_time() - c0
    rows = frame.height
    del frame, table, rec
    return {"read": t1 - t0, "build": t2 - t1, "polars": t3 - t2, "total": t3 - t0, "cpu": cpu, "rows": rows}

def theirs():
    c0 = time.process_time(); t0 = time.perf_counter()
    frame = gnss_tec.read_rinex_obs(peer_path)[1].collect()
    t1 = time.perf_counter()
    cpu = time.process_time() - c0
    shape = frame.shape
    del frame
    return {"total": t1 - t0, "cpu": cpu, "shape": shape}

out = {"import": {"tessora_cn0": t_imp_ours, "polars": t_imp_polars, "gnss_tec": t_imp_peer}}
out["first_ours"] = ours()
out["first_peer"] = theirs() if peer else None
out["ours"], out["peer"] = [], []
for i in range(repeats):
    if i % 2 == 0:
        out["ours"].append(ours())
        if peer: out["peer"].append(theirs())
    else:
        if peer: out["peer"].append(theirs())
        out["ours"].append(ours())
if peer:
    # Same observations on both sides? The peer's frame has one cell per observation code and row.
    frame = gnss_tec.read_rinex_obs(peer_path)[1].collect()
    codes = [c for c, t in frame.schema.items() if t == polars.Float64]
    system = polars.col("prn").cast(polars.String).str.slice(0, 1).alias("system")
    cells = frame.select(system, *[polars.col(c).is_not_null().cast(polars.Int64).alias(c) for c in codes])
    cells = cells.group_by("system").agg(polars.sum_horizontal(codes).sum().alias("n"))
    out["peer_by_system"] = dict(zip(cells["system"].to_list(), cells["n"].to_list()))
    mine = tessora_cn0.read_rinex_obs(path).observations().to_polars()
    mine = mine.filter(polars.col("value").is_not_nan()).group_by(polars.col("sv").cast(polars.String).str.slice(0, 1)).len()
    out["ours_by_system"] = dict(zip(mine["sv"].to_list(), mine["len"].to_list()))
print(json.dumps(out))
"""

# Memory of one table and of exporting it twice, in a process that does nothing else.
MEMORY = r"""
import json, sys
import numpy, polars, pyarrow
import tessora_cn0

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

def value_address_arrow(t):
    return t.column("value").chunks[0].buffers()[1].address

def value_address_polars(frame):
    return frame["value"].to_arrow().buffers()[1].address

out = {}
rec = tessora_cn0.read_rinex_obs(sys.argv[1])
b = rss(); table = rec.observations(); out["build_rss"] = rss() - b
out["rows"], out["nbytes"] = table.num_rows, table.nbytes
own = table.to_numpy()["value"]  # a view of the table's value buffer
out["addr_table"] = own.__array_interface__["data"][0]
# Nothing is freed from here on until the last measurement, so that no growth hides in freed memory.
b = rss(); p1 = pyarrow.table(table); out["pa_first"] = rss() - b
b = rss(); f1 = table.to_polars(); out["pl_first"] = rss() - b
# Control: a real copy of the values must show up as about 8 B x rows.
b = rss(); copy = numpy.array(own, copy=True); copy += 0.0; out["control_copy"] = rss() - b
b = rss(); p2 = pyarrow.table(table); out["pa_second"] = rss() - b
b = rss(); f2 = table.to_polars(); out["pl_second"] = rss() - b
out["addr_exports"] = {"pyarrow 1st": value_address_arrow(p1), "pyarrow 2nd": value_address_arrow(p2),
                       "polars 1st": value_address_polars(f1), "polars 2nd": value_address_polars(f2)}
# Where polars' growth goes: its dictionary columns alone, then the other columns, each imported
# twice through the same C stream interface (the second import is the one measured).
dictionaries = p1.select(["sv", "code"])
others = p1.select([c for c in table.column_names if c not in ("sv", "code")])
d1 = polars.DataFrame(dictionaries); b = rss(); d2 = polars.DataFrame(dictionaries); out["pl_dictionaries"] = rss() - b
d3 = polars.DataFrame(others); b = rss(); d4 = polars.DataFrame(others); out["pl_others"] = rss() - b
# A second table of the same record: the buffers that point into the record are the same.
again = pyarrow.table(rec.observations())
out["shared_by_two_tables"] = {c: p1.column(c).chunks[0].buffers()[1].address == again.column(c).chunks[0].buffers()[1].address
                               for c in table.column_names}
out["column_bytes"] = {c: sum(x.size for x in p1.column(c).chunks[0].buffers() if x is not None) for c in table.column_names}
print(json.dumps(out))
"""


def data_dir(arg):
    d = arg or os.environ.get("TESSORA_DATA_DIR") or os.path.join(HERE, "..", "..", "shared", "data")
    return os.path.abspath(d)


def median(xs):
    s = sorted(xs)
    n = len(s)
    return s[n // 2] if n % 2 else 0.5 * (s[n // 2 - 1] + s[n // 2])


def has(module):
    r = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True)
    return r.returncode == 0


def run_child(code, *args, env=None):
    r = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True, env=env)
    if r.returncode != 0:
        raise RuntimeError(r.stderr.strip().splitlines()[-1] if r.stderr.strip() else f"exit {r.returncode}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def peer_reads(path):
    """Whether pygnss-tec reads this file (tried once, outside any timing)."""
    code = "import sys, gnss_tec; print(gnss_tec.read_rinex_obs(sys.argv[1])[1].collect().height)"
    r = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True)
    return r.returncode == 0, (r.stderr.strip().splitlines() or ["?"])[-1]


def decompress_for_peer(path, scratch):
    """A plain copy of a .crx.gz, written by the hatanaka package in the scratch folder; (path, seconds)."""
    import time

    import hatanaka

    local = os.path.join(scratch, os.path.basename(path))
    shutil.copyfile(path, local)  # hatanaka writes its output beside its input
    t0 = time.perf_counter()
    out = hatanaka.decompress_on_disk(local)
    return str(out), time.perf_counter() - t0


def ms(s):
    return f"{s * 1e3:8.1f} ms"


def speed_section(label, path, peer_path, repeats, peer_note, verdicts):
    print(f"\n== {label}: {os.path.basename(path)} ({os.path.getsize(path) / 1e6:.1f} MB)")
    if peer_note:
        print(f"   {peer_note}")
    r = run_child(SPEED, path, peer_path or "-", repeats)
    imp = r["import"]
    print(f"   imports: tessora_cn0 {ms(imp['tessora_cn0'])}, polars {ms(imp['polars'])}"
          + (f", gnss_tec {ms(imp['gnss_tec'])}" if imp["gnss_tec"] is not None else ""))
    o = r["ours"]
    rows = o[0]["rows"]
    med = {k: median([x[k] for x in o]) for k in ("read", "build", "polars", "total", "cpu")}
    f = r["first_ours"]
    print(f"   tessora_cn0 long table, {rows} rows, {repeats} repeats")
    print(f"     first call : read {ms(f['read'])}  build {ms(f['build'])}  to_polars {ms(f['polars'])}  "
          f"total {ms(f['total'])}  (cpu {ms(f['cpu'])})")
    print(f"     median     : read {ms(med['read'])}  build {ms(med['build'])}  to_polars {ms(med['polars'])}  "
          f"total {ms(med['total'])}  (cpu {ms(med['cpu'])})")
    print(f"     min..max total: {ms(min(x['total'] for x in o))} .. {ms(max(x['total'] for x in o))}")
    if r["peer"]:
        p = r["peer"]
        pm = median([x["total"] for x in p])
        pc = median([x["cpu"] for x in p])
        shape = p[0]["shape"]
        print(f"   pygnss-tec read_rinex_obs(...)[1].collect(), {shape[0]} rows x {shape[1]} columns (pivoted)")
        print(f"     first call : total {ms(r['first_peer']['total'])}  (cpu {ms(r['first_peer']['cpu'])})")
        print(f"     median     : total {ms(pm)}  (cpu {ms(pc)})")
        print(f"     min..max total: {ms(min(x['total'] for x in p))} .. {ms(max(x['total'] for x in p))}")
        mine, theirs = r["ours_by_system"], r["peer_by_system"]
        both = sorted(set(mine) & set(theirs))
        equal = all(mine[k] == theirs[k] for k in both)
        only = {k: v for k, v in sorted(mine.items()) if k not in theirs}
        print(f"   observations: ours {sum(mine.values())} values, the peer's frame {sum(theirs.values())} non-null "
              f"cells; per system {'equal' if equal else 'DIFFERENT'} on {''.join(both)}"
              + (f"; left out by the peer: " + ", ".join(f"{k} ({v} values)" for k, v in only.items()) if only else "")
              + ("" if equal else f" (ours {mine}, peer {theirs})"))
        ratio = pm / med["total"]
        print(f"   speed ratio (peer median / our median, end to end to a polars frame): {ratio:.1f}x"
              f"   first calls: {r['first_peer']['total'] / f['total']:.1f}x")
        verdicts.append((f"speed {label}: peer/ours >= {SPEED_MIN_RATIO:g}x", ratio >= SPEED_MIN_RATIO,
                         f"{ratio:.1f}x"))
    else:
        verdicts.append((f"speed {label}: peer/ours >= {SPEED_MIN_RATIO:g}x", None, "pygnss-tec missing"))
    share = (med["build"] + med["polars"]) / med["read"]
    print(f"   export cost after the read (medians): build {ms(med['build'])} ({med['build'] / med['read']:.1%}) "
          f"+ polars import {ms(med['polars'])} ({med['polars'] / med['read']:.1%}) = {share:.1%} of read")
    fshare = (f["build"] + f["polars"]) / f["read"]
    print(f"   export cost of the first call: {fshare:.1%} of its read")
    verdicts.append((f"export {label}: (build + to_polars) <= {EXPORT_MAX_SHARE:.0%} of read", share <= EXPORT_MAX_SHARE,
                     f"{share:.1%}"))


def memory_section(path, verdicts):
    print(f"\n== memory: long table of {os.path.basename(path)} (fresh process)")
    # A fixed mmap threshold: large blocks that glibc's malloc frees go back to the system instead of
    # being reused unseen by later allocations, so growth of the resident set shows every new block.
    m = run_child(MEMORY, path, env=dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072"))
    n = m["rows"]
    per_row = m["nbytes"] / n
    values = 8 * n
    print(f"   rows {n}; Table.nbytes {m['nbytes'] / 1e6:.2f} MB = {per_row:.2f} B/row; "
          f"RSS growth of observations() {m['build_rss'] / 1e6:.2f} MB")
    shared = [c for c, s in m["shared_by_two_tables"].items() if s]
    print(f"   columns whose buffer two tables of one record share (they point into the record): "
          f"{', '.join(shared) or 'none'}")
    cb = m["column_bytes"]
    own = sum(v for c, v in cb.items() if c not in shared)
    print("   Arrow buffer bytes per row by column: "
          + ", ".join(f"{c} {v / n:.2f}" for c, v in cb.items())
          + f"; those the table fills itself: {own / n:.2f} B/row (nbytes counts the blocks' capacity)")
    print(f"   values (8 B x rows): {values / 1e6:.2f} MB; control, a real copy of them: "
          f"RSS +{m['control_copy'] / 1e6:.2f} MB")
    print(f"   pyarrow.table(t): 1st export RSS +{m['pa_first'] / 1e6:.2f} MB (with pyarrow's one-off setup), "
          f"2nd +{m['pa_second'] / 1e6:.2f} MB ({m['pa_second'] / values:.1%} of 8 B x rows)")
    print(f"   t.to_polars()   : 1st export RSS +{m['pl_first'] / 1e6:.2f} MB (with polars' one-off setup), "
          f"2nd +{m['pl_second'] / 1e6:.2f} MB ({m['pl_second'] / values:.1%} of 8 B x rows)")
    print(f"   polars, a repeated import by columns: sv+code +{m['pl_dictionaries'] / 1e6:.2f} MB "
          f"({m['pl_dictionaries'] / n:.2f} B/row), time+value+lli+ssi +{m['pl_others'] / 1e6:.2f} MB "
          f"({m['pl_others'] / n:.2f} B/row)")
    addr = m["addr_exports"]
    same = all(a == m["addr_table"] for a in addr.values())
    print(f"   value buffer address: table {m['addr_table']:#x}; "
          + ", ".join(f"{k} {'same' if a == m['addr_table'] else hex(a)}" for k, a in addr.items()))
    verdicts.append((f"memory: Table.nbytes / num_rows <= {BYTES_PER_ROW_MAX:g} B", per_row <= BYTES_PER_ROW_MAX,
                     f"{per_row:.2f} B/row"))
    verdicts.append(("memory: exports share the table's value buffer (same address)", same,
                     "same" if same else "copied"))
    limit = SECOND_EXPORT_MAX_SHARE
    verdicts.append((f"memory: 2nd pyarrow.table(t) RSS growth < {limit:.0%} of 8 B x rows",
                     m["pa_second"] < limit * values, f"{m['pa_second'] / values:.1%}"))
    # polars turns every Arrow dictionary column into categoricals of its own on each import (new
    # index arrays for sv and code): that is its encoding, not a copy of the values. The values
    # and the other numeric columns must come through a second import without a copy.
    verdicts.append((f"memory: 2nd polars import of time, value, lli, ssi: RSS growth < {limit:.0%} of 8 B x rows",
                     m["pl_others"] < limit * values, f"{m['pl_others'] / values:.1%}"))
    print(f"   (a whole 2nd to_polars() adds {m['pl_second'] / n:.2f} B/row: polars re-encodes sv and code "
          f"as its own categoricals on every import)")


def main(argv=None):
    import argparse

    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("data", nargs="?")
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--decompress-for-peer", action="store_true",
                    help="let pygnss-tec read a hatanaka-decompressed copy of the .crx.gz even if it reads the .crx.gz")
    a = ap.parse_args(argv)
    data = data_dir(a.data)
    plain, compressed = os.path.join(data, PLAIN), os.path.join(data, COMPRESSED)
    if not os.path.exists(plain):
        print(f"skipped: {plain} is missing (set TESSORA_DATA_DIR or pass DATA_DIR)")
        return 0
    missing = [m for m in ("tessora_cn0", "polars", "pyarrow", "numpy") if not has(m)]
    if missing:
        print(f"skipped: {', '.join(missing)} not importable")
        return 0
    peer = has("gnss_tec")
    if not peer:
        print("pygnss-tec (gnss_tec) is not installed: speed is measured without the peer")
    load0 = os.getloadavg()
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cores, load average {load0[0]:.2f} {load0[1]:.2f} "
          f"{load0[2]:.2f}; repeats {a.repeats}")
    verdicts = []
    speed_section("plain", plain, plain if peer else None, a.repeats, "", verdicts)

    scratch = None
    try:
        if not os.path.exists(compressed):
            print(f"\n== compressed: {compressed} is missing, skipped")
            verdicts.append(("speed crx.gz", None, "file missing"))
        else:
            peer_path, note = None, ""
            if peer:
                ok, err = (False, "forced by --decompress-for-peer") if a.decompress_for_peer else peer_reads(compressed)
                if ok:
                    peer_path, note = compressed, "pygnss-tec reads the .crx.gz itself; both sides decompress"
                elif has("hatanaka"):
                    scratch = tempfile.mkdtemp(prefix="bench_columns_")
                    peer_path, secs = decompress_for_peer(compressed, scratch)
                    note = (f"pygnss-tec does not read the .crx.gz ({err}); it reads a plain copy decompressed by "
                            f"the hatanaka package in {secs * 1e3:.0f} ms, not counted in its time")
                else:
                    note = f"pygnss-tec does not read the .crx.gz ({err}) and hatanaka is missing: no peer"
            speed_section("crx.gz", compressed, peer_path, a.repeats, note, verdicts)
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)

    memory_section(plain, verdicts)
    load1 = os.getloadavg()
    print(f"\nload average at the end {load1[0]:.2f} {load1[1]:.2f} {load1[2]:.2f}")
    failed = False
    for name, ok, figure in verdicts:
        word = "SKIP" if ok is None else ("PASS" if ok else "FAIL")
        failed |= ok is False
        print(f"{word}  {name}: {figure}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
