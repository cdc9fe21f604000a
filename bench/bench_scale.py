#!/usr/bin/env python3
"""Throughput and peak memory of `tessora-cn0 batch` and `tessora-cn0 network` over many day files.

The real day files of the data folder are repeated under distinct names (symbolic links in a
scratch folder) up to 10, 100 and 1,000 station-days. Each command runs in its own process with
--workers 1 and --workers 2; the figures are files per second and the process's peak resident
memory (from the kernel's accounting of the finished child).

    python3 bench/bench_scale.py [DATA_DIR] [--counts 10,100,1000] [--commands batch,network]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DAYS = [  # (observation file, navigation file) of the data folder
    ("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx", "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"),
    ("rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx", "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx"),
    ("rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx", "rinex/NAV/V3/GRAS00FRA_R_20242090000_01D_EN.rnx"),
    ("goGPS_MATLAB/default/RINEX/zimm0010.21o", "rinex/NAV/V2/cbw10010.21n"),
    ("georinex/CEBR00ESP_R_20182000000_01D_30S_MO.rnx", None),
]


def data_dir(arg):
    d = arg or os.environ.get("TESSORA_DATA_DIR") or os.path.join(HERE, "..", "..", "shared", "data")
    return os.path.abspath(d)


def make_inputs(root, data, count):
    """count observation links with distinct names (and their navigation files, one per file)."""
    obs, navs = [], []
    for i in range(count):
        o, n = DAYS[i % len(DAYS)]
        link = os.path.join(root, f"S{i:04d}_{os.path.basename(o)}")
        os.symlink(os.path.join(data, o), link)
        obs.append(link)
        navs.append(os.path.join(data, n) if n else None)
    return obs, navs


def run(command, obs, navs, workers, out_dir):
    """Runs one command in a child process; returns (seconds, peak RSS in MiB, exit status)."""
    # One navigation file per observation file; files without one get an empty navigation list
    # only when every file lacks one, so the day without navigation data is given its own.
    nav_args = ["--nav"] + [n or obs_nav_placeholder(out_dir) for n in navs]
    out = os.path.join(out_dir, f"{command}-{workers}.csv")
    args = [sys.executable, "-m", "tessora_cn0", command, *obs, *nav_args, "--workers", str(workers), "--csv", out]
    t0 = time.perf_counter()
    with open(os.path.join(out_dir, "stderr.txt"), "w") as err:
        proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=err)
        # wait4 gives this child's own resource use, its peak resident set among it.
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    seconds = time.perf_counter() - t0
    return seconds, usage.ru_maxrss / 1024.0, proc.returncode


_PLACEHOLDER = {}


def obs_nav_placeholder(out_dir):
    """A navigation file with a header and no records, for the day that has none."""
    if out_dir not in _PLACEHOLDER:
        path = os.path.join(out_dir, "empty.nav")
        with open(path, "w") as f:
            f.write("     3.04           N: GNSS NAV DATA    M: MIXED            RINEX VERSION / TYPE\n"
                    "                                                            END OF HEADER\n")
        _PLACEHOLDER[out_dir] = path
    return _PLACEHOLDER[out_dir]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("data", nargs="?")
    p.add_argument("--counts", default="10,100,1000")
    p.add_argument("--commands", default="network,batch")
    a = p.parse_args(argv)
    data = data_dir(a.data)
    if not os.path.isdir(data):
        print(f"skipped: no data folder at {data}")
        return 0
    counts = [int(c) for c in a.counts.split(",")]
    print(f"{'command':<8} {'files':>6} {'workers':>7} {'seconds':>8} {'files/s':>8} {'peak MiB':>9} {'exit':>4}")
    for count in counts:
        root = tempfile.mkdtemp(prefix="tessora-scale-")
        try:
            obs, navs = make_inputs(root, data, count)
            for command in a.commands.split(","):
                rates = {}
                for workers in (1, 2):
                    seconds, peak, status = run(command, obs, navs, workers, root)
                    rates[workers] = count / seconds
                    print(f"{command:<8} {count:>6} {workers:>7} {seconds:>8.1f} {rates[workers]:>8.1f} "
                          f"{peak:>9.0f} {status:>4}", flush=True)
                print(f"{command:<8} {count:>6} speed-up with 2 workers: {rates[2] / rates[1]:.2f}", flush=True)
        finally:
            shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
