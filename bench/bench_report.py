#!/usr/bin/env python3
"""The HTML report of a full day: the ESBC00DNK day file with its navigation file.

Prints, best of N runs: the analysis, render_html (JSON blocks, figures, visibility timeline)
with writing the file, and the whole `tessora-cn0 report --html` command as a fresh process
(interpreter start, imports, analysis and report).

Usage: python3 bench/bench_report.py [DATA_DIR] [N]
"""
import os
import subprocess
import sys
import tempfile
import time

import tessora_cn0 as t
from tessora_cn0 import report

ESBC = "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"
ESBC_NAV = "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"


def best(n, fn):
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), max(times)


def main():
    data = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    obs, nav = os.path.abspath(os.path.join(data, ESBC)), os.path.abspath(os.path.join(data, ESBC_NAV))
    out = os.path.join(tempfile.mkdtemp(), "esbc.html")
    result = t.analyze_cn0(obs, nav)
    a = best(n, lambda: t.analyze_cn0(obs, nav))
    r = best(n, lambda: report.write_html(out, result, obs_path=obs, nav_path=nav))
    cmd = [sys.executable, "-m", "tessora_cn0", "report", obs, "--nav", nav, "--html", out]
    # From a scratch folder, so that a source tree in the working directory is not imported.
    c = best(n, lambda: subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, cwd=os.path.dirname(out)))
    print(f"load average {os.getloadavg()[0]:.2f}; best (worst) of {n}")
    print(f"analyze_cn0 with navigation   {a[0]:.3f} s ({a[1]:.3f})")
    print(f"render_html + write           {r[0]:.3f} s ({r[1]:.3f}), {os.path.getsize(out) / 1e6:.2f} MB")
    print(f"tessora-cn0 report --html     {c[0]:.3f} s ({c[1]:.3f}) as a fresh process")


if __name__ == "__main__":
    main()
