#!/usr/bin/env python3
"""Observation reading on the full-day files: throughput, peak memory, and georinex in the same run.

Usage: python3 bench/bench_read_obs.py [--no-peer] [DATA_DIR]
Each file is read in a fresh child process so that its peak resident memory can be measured alone.
georinex (an independent pure-Python reader) reads each file once; it can take minutes on a day file.
"""
import json
import os
import subprocess
import sys
import time

FILES = [
    "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx",
    "rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx",
    "rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx",
    "georinex/CEBR00ESP_R_20182000000_01D_30S_MO.rnx",
    "goGPS_MATLAB/default/RINEX/zimm0010.21o",
]

CHILD = r"""
import json, resource, sys, time, gc
import tessora_cn0
path = sys.argv[1]
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * 4096
base = rss()
t0 = time.perf_counter(); r = tessora_cn0.read_rinex_obs(path); first = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
held = rss() - base
del r; gc.collect()
best = first
for _ in range(4):
    t0 = time.perf_counter(); r = tessora_cn0.read_rinex_obs(path); best = min(best, time.perf_counter() - t0); del r
print(json.dumps({"best": best, "peak_over_base": peak - base, "held": held}))
"""

PEER = r"""
import sys, time, warnings, logging
logging.disable(logging.CRITICAL)
warnings.simplefilter("ignore")
import georinex
t0 = time.perf_counter(); georinex.load(sys.argv[1]); print(time.perf_counter() - t0)
"""


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    peer = "--no-peer" not in sys.argv
    data = args[0] if args else os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")
    print(f"{'file':<48} {'MB':>6} {'s':>7} {'MB/s':>7} {'peak/size':>9} {'georinex s':>10} {'ratio':>7}")
    for rel in FILES:
        path = os.path.join(data, rel)
        if not os.path.exists(path):
            print(f"{rel:<48} missing")
            continue
        size = os.path.getsize(path)
        out = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True)
        m = json.loads(out.stdout)
        peer_s = ratio = ""
        if peer:
            try:
                p = subprocess.run([sys.executable, "-c", PEER, path], capture_output=True, text=True, check=True,
                                   timeout=3600)
                peer_t = float(p.stdout.strip().splitlines()[-1])
                peer_s, ratio = f"{peer_t:10.1f}", f"{peer_t / m['best']:7.0f}x"
            except Exception as e:  # georinex fails on some files
                peer_s = "failed"
        print(f"{os.path.basename(rel):<48} {size / 1e6:6.1f} {m['best']:7.3f} {size / 1e6 / m['best']:7.1f} "
              f"{m['peak_over_base'] / size:9.2f} {peer_s:>10} {ratio:>7}", flush=True)


if __name__ == "__main__":
    main()
