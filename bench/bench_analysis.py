#!/usr/bin/env python3
"""analyze_cn0 on the largest multi-GNSS daily file, with and without its navigation file, and the
JSON writing of that result. Usage: python3 bench/bench_analysis.py [DATA_DIR] [REPEATS]"""
import os
import sys
import time

import tessora_cn0 as t

data = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                                             "shared", "data")
repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
obs = os.path.join(data, "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx")
nav = os.path.join(data, "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx")


def best(fn):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


for label, nav_path in (("with navigation", nav), ("without navigation", None)):
    s, r = best(lambda: t.analyze_cn0(obs, nav_path))
    print(f"analyze_cn0 {label:<19} {s:6.3f} s  ({r!r})")
    for name, fn in (("to_json", r.to_json), ("to_json_pretty", r.to_json_pretty)):
        s, text = best(fn)
        mb = len(text.encode()) / 1e6
        print(f"  {name:<15} {mb:7.1f} MB in {s:6.3f} s = {mb / s:6.0f} MB/s")
