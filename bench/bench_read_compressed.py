#!/usr/bin/env python3
"""Reading compressed day files: read_rinex_obs of the .crx.gz against read_rinex_obs of the plain
copy, and against the `hatanaka` package's decompress (which wraps the reference decoder), all in
one run; and the peak memory of reading the .crx.gz against its expanded size.

Usage: python3 bench/bench_read_compressed.py [--no-peer] [DATA_DIR]
Timings are the best of five reads (three for the peer), interleaved so that load on the machine
hits every contender alike. Peak memory is measured in a fresh child process that reads once.
"""
import json
import os
import subprocess
import sys

FILES = [  # (compressed, plain copy)
    ("compressed/rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.crx.gz",
     "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"),
    ("compressed/rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.crx.gz",
     "rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx"),
    ("compressed/rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.crx.gz",
     "rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx"),
    ("compressed/georinex/CEBR00ESP_R_20182000000_01D_30S_MO.crx.gz",
     "georinex/CEBR00ESP_R_20182000000_01D_30S_MO.rnx"),
    ("compressed/rinex/CRNX/V3/GRAS00FRA_R_20223151700_15M_01S_MO.crx.gz",
     "rinex/CRNX/V3/GRAS00FRA_R_20223151700_15M_01S_MO.rnx"),
]

TIMES = r"""
import json, sys, time
import tessora_cn0
compressed, plain, peer = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
if peer:
    import hatanaka
best = {"compressed": 1e9, "plain": 1e9, "peer": None}
for i in range(5):
    t0 = time.perf_counter(); a = tessora_cn0.read_rinex_obs(compressed); t1 = time.perf_counter(); del a
    b = tessora_cn0.read_rinex_obs(plain); t2 = time.perf_counter(); del b
    best["compressed"] = min(best["compressed"], t1 - t0)
    best["plain"] = min(best["plain"], t2 - t1)
    if peer and i < 3:
        t0 = time.perf_counter(); hatanaka.decompress(open(compressed, "rb").read()); t1 = time.perf_counter()
        best["peer"] = min(best["peer"] or 1e9, t1 - t0)
print(json.dumps(best))
"""

PEAK = r"""
import json, resource, sys
import tessora_cn0
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * 4096
base = rss()
r = tessora_cn0.read_rinex_obs(sys.argv[1])
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"peak_over_base": peak - base, "held": rss() - base}))
"""


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    peer = "--no-peer" not in sys.argv
    if peer:
        try:
            import hatanaka  # noqa: F401
        except ImportError:
            print("hatanaka is not installed: the peer column is left out")
            peer = False
    data = args[0] if args else os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")
    print(f"{'file':<44} {'.crx.gz s':>9} {'plain s':>8} {'ratio':>6} {'hatanaka s':>10} {'faster':>7} "
          f"{'peak MB':>8} {'expanded MB':>11} {'peak/exp':>8}")
    for compressed, plain in FILES:
        cpath, ppath = os.path.join(data, compressed), os.path.join(data, plain)
        if not (os.path.exists(cpath) and os.path.exists(ppath)):
            print(f"{os.path.basename(compressed):<44} missing")
            continue
        t = json.loads(subprocess.run([sys.executable, "-c", TIMES, cpath, ppath, "1" if peer else "0"],
                                      capture_output=True, text=True, check=True).stdout)
        m = json.loads(subprocess.run([sys.executable, "-c", PEAK, cpath],
                                      capture_output=True, text=True, check=True).stdout)
        expanded = os.path.getsize(ppath)
        peer_s = f"{t['peer']:10.3f}" if t["peer"] else f"{'-':>10}"
        faster = f"{t['peer'] / t['compressed']:6.1f}x" if t["peer"] else f"{'-':>7}"
        print(f"{os.path.basename(compressed):<44} {t['compressed']:9.3f} {t['plain']:8.3f} "
              f"{t['compressed'] / t['plain']:6.2f} {peer_s} {faster} {m['peak_over_base'] / 1e6:8.1f} "
              f"{expanded / 1e6:11.1f} {m['peak_over_base'] / expanded:8.2f}")


if __name__ == "__main__":
    main()
