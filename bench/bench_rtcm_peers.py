#!/usr/bin/env python3
"""RTCM 3 decoding against independent peers, in one run: ESBC's day (2020-06-25, 30 s, GPS, GLONASS,
Galileo, SBAS, QZSS and BeiDou) encoded by to_rtcm3 as MSM7 with its ephemerides, then decoded by
read_rtcm3, parsed by pyrtcm, and converted to RINEX 3 by RTKLIB's convbin. Also the encoding itself,
and read_rinex_obs of the same day's RINEX file for MB/s.

Usage: python3 bench/bench_rtcm_peers.py [--repeats N] [--json OUT] [DATA_DIR]
Times are medians of N interleaved repeats (pyrtcm once: it takes seconds). Peers that are not
installed are left out.
"""
import argparse
import io
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import tessora_cn0 as t

OBS = "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"
NAV = "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"


def timed(f):
    t0 = time.perf_counter()
    value = f()
    return time.perf_counter() - t0, value


def pyrtcm_parse(data):
    from pyrtcm import RTCMReader, ERR_RAISE
    n = 0
    for _raw, _parsed in RTCMReader(io.BytesIO(data), quitonerror=ERR_RAISE):
        n += 1
    return n


def convbin(path, workdir):
    out = os.path.join(workdir, "convbin.obs")
    subprocess.run(["convbin", "-r", "rtcm3", "-v", "3.04", "-tr", "2020/06/25", "00:00:00", "-o", out,
                    "-n", os.path.join(workdir, "convbin.nav"), path], check=True, capture_output=True)
    return os.path.getsize(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("data", nargs="?", default=os.environ.get("TESSORA_DATA_DIR",
                                                               str(pathlib.Path(__file__).resolve().parents[2] / "shared" / "data")))
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--json")
    args = ap.parse_args()
    obs_path, nav_path = os.path.join(args.data, OBS), os.path.join(args.data, NAV)
    obs, nav = t.read_rinex_obs(obs_path), t.read_navigation(nav_path)
    data = obs.to_rtcm3(nav, msm=7)
    rinex_bytes = os.path.getsize(obs_path)
    with tempfile.TemporaryDirectory() as tmp:
        stream = os.path.join(tmp, "esbc.rtcm3")
        pathlib.Path(stream).write_bytes(data)
        runs = {"read_rtcm3": [], "read_rinex_obs": [], "to_rtcm3": [], "convbin": []}
        have_convbin = shutil.which("convbin") is not None
        for _ in range(args.repeats):
            runs["read_rtcm3"].append(timed(lambda: t.read_rtcm3(data))[0])
            runs["read_rinex_obs"].append(timed(lambda: t.read_rinex_obs(obs_path))[0])
            runs["to_rtcm3"].append(timed(lambda: obs.to_rtcm3(nav, msm=7))[0])
            if have_convbin:
                runs["convbin"].append(timed(lambda: convbin(stream, tmp))[0])
        try:
            runs["pyrtcm"] = [timed(lambda: pyrtcm_parse(data))[0]]
        except ImportError:
            pass
    median = {k: statistics.median(v) for k, v in runs.items() if v}
    ours = median["read_rtcm3"]
    result = {
        "stream_bytes": len(data), "rinex_bytes": rinex_bytes, "epochs": obs.num_epochs,
        "seconds": median,
        "read_rtcm3_mb_s": len(data) / ours / 1e6,
        "read_rinex_obs_mb_s": rinex_bytes / median["read_rinex_obs"] / 1e6,
        "epochs_per_s": {"read_rtcm3": obs.num_epochs / ours, "read_rinex_obs": obs.num_epochs / median["read_rinex_obs"]},
        "speedup": {k: v / ours for k, v in median.items() if k in ("pyrtcm", "convbin")},
        "load": os.getloadavg(),
    }
    print(f"ESBC MSM7 stream: {len(data) / 1e6:.2f} MB, {obs.num_epochs} epochs (RINEX file {rinex_bytes / 1e6:.1f} MB)")
    for k, v in median.items():
        print(f"  {k:15s} {v * 1e3:9.1f} ms")
    print(f"  read_rtcm3 {result['read_rtcm3_mb_s']:.0f} MB/s of RTCM, read_rinex_obs {result['read_rinex_obs_mb_s']:.0f} MB/s "
          f"of RINEX; {result['epochs_per_s']['read_rtcm3']:.0f} vs {result['epochs_per_s']['read_rinex_obs']:.0f} epochs/s")
    for k, v in result["speedup"].items():
        print(f"  read_rtcm3 is {v:.0f}x faster than {k}")
    print(f"  load average {result['load'][0]:.2f}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(result, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
